// The station history for the command line: what runs before any module
// is touched, one record per module (in the worker, or in the parent), and
// the spool when the server is away.
#include "cli_history.h"

#include "cli_db.h"

#include "cli_event.h"
#include "cli_output.h"
#include "cli_protocol.h"
#include "cli_report.h"
#include "cli_text.h"

#include "cli_escape.h"
#include "cli_ports.h"
#include "cli_secret.h"
#include "cli_template.h"
#include "cmd_file.h"
#include "module_session.h"
#include "store_csv.h"

#include <cstring>
#include <json-glib/json-glib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

std::string pool_from_file(const std::string &path)
{
    gchar *base = g_path_get_basename(path.c_str());
    std::string name = base;
    g_free(base);
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0)
        name.resize(dot);
    return name;
}

// Module texts are bytes; the servers keep UTF-8 text.
std::string text(const std::string &s)
{
    return cli_utf8(s);
}

} // namespace

namespace
{

// The rows a start check covers: a row bound to a MID is checked against
// that module alone, before it takes it, so that no MID makes a whole pool
// unusable.
std::vector<store_row> rows_without_mid(const std::vector<store_row> &rows)
{
    std::vector<store_row> out;
    for (const auto &r : rows)
        if (r.held_by.empty())
            out.push_back(r);
    return out;
}

} // namespace

// Imports --values (checked whole against the template inside the
// import: a refused file writes nothing), or checks the pool --pool names.
int cli_history::prepare_pool(const cli_db_options &o, const std::string &command,
                              const cli_run_options &run)
{
    pool_ = o.pool && *o.pool ? o.pool : pool_from_file(o.values);
    if (!g_utf8_validate(pool_.c_str(), -1, nullptr)) {
        cli_usage_error(command, cli_format(cli_gettext("%s: a pool's name is text; name it "
                                                        "with --pool NAME"),
                                            cli_printable(o.values).c_str()));
        return CLI_EXIT_USAGE;
    }
    const std::string file = cli_printable(o.values ? o.values : "");
    std::string error;
    if (o.values) {
        std::vector<std::string> columns;
        std::vector<store_row> rows;
        size_t empty = 0;
        if (!values_file_load(o.values, &columns, &rows, &error, &empty)) {
            cli_error(
                cli_format(cli_gettext("%s: %s; nothing was sent"), file.c_str(), error.c_str()));
            return CLI_EXIT_USAGE;
        }
        if (empty > 0)
            cli_error(cli_format(cli_gettext("%s: %zu empty rows skipped"), file.c_str(), empty));
        store_import_options io;
        io.secret_columns = template_secret_columns(run.lines, columns);
        io.check = [&run](const std::vector<std::string> &cols, const std::vector<store_row> &all,
                          std::string *why) {
            return template_check(run.lines, cols, rows_without_mid(all), why);
        };
        const store_status st = db_->pool_import(pool_, columns, rows, io, &error);
        if (st == store_status::refused) {
            cli_error(cli_format(cli_gettext("%s: pool %s: %s; nothing was sent"), file.c_str(),
                                 pool_.c_str(), error.c_str()));
            return CLI_EXIT_USAGE;
        }
        if (st == store_status::failed) {
            cli_error(cli_format(cli_gettext("database %s: %s"), store_url_shown(url_).c_str(),
                                 error.c_str()));
            return CLI_EXIT_DB;
        }
    }
    std::vector<store_row> rows;
    const store_status st = db_->pool_get(pool_, &columns_, &rows, &error);
    if (st != store_status::ok) {
        cli_error(st == store_status::refused
                      ? cli_format(cli_gettext("%s (import one with --values FILE)"), error.c_str())
                      : cli_format(cli_gettext("database %s: %s"), store_url_shown(url_).c_str(),
                                   error.c_str()));
        return st == store_status::refused ? CLI_EXIT_USAGE : CLI_EXIT_DB;
    }
    if (!o.values && !template_check(run.lines, columns_, rows_without_mid(rows), &error)) {
        cli_error(
            cli_format(cli_gettext("%s: %s; nothing was sent"), run.file.c_str(), error.c_str()));
        return CLI_EXIT_USAGE;
    }
    return 0;
}

int cli_history::prepare(const cli_db_options &o, const std::string &command, cli_run_options &run)
{
    task_ = run.task;
    show_secrets_ = o.show_secrets;
    if (o.no_history) {
        if (o.values || o.pool) {
            cli_usage_error(command, cli_gettext("--values and --pool need the database; "
                                                 "--no-history records nothing"));
            return CLI_EXIT_USAGE;
        }
        return 0;
    }
    const std::string url = cli_db_url(o.db);
    url_ = url;
    db_ = cli_db_open(url);
    if (!db_)
        return CLI_EXIT_DB;
    // Records a spool could not send stay there: said, and the run goes on.
    cli_spool_send(*db_, url_, false);
    station_ = o.station && *o.station ? o.station : g_get_host_name();
    file_ = run.file;
    if (!run.file.empty()) {
        gchar *bytes = nullptr;
        gsize size = 0;
        if (g_file_get_contents(run.file.c_str(), &bytes, &size, nullptr)) {
            gchar *sum = g_compute_checksum_for_data(G_CHECKSUM_SHA256,
                                                     reinterpret_cast<const guchar *>(bytes), size);
            sha256_ = sum;
            g_free(sum);
            g_free(bytes);
        }
    }
    if (o.values || o.pool) {
        const int status = prepare_pool(o, command, run);
        if (status != 0)
            return status;
        run.db_url = url;
        run.pool = pool_;
        run.pool_columns = columns_;
    }
    run.history = this;
    return 0;
}

bool cli_history::add(const cli_outcome &c)
{
    std::string error;
    if (keep_outcome(c, &error))
        return true;
    if (!failed_said_)
        cli_error(cli_format(cli_gettext("%s; a record is missing, the run fails"), error.c_str()));
    failed_said_ = true;
    return false;
}

bool cli_history::keep_outcome(const cli_outcome &c, std::string *why)
{
    return keep(record_of(c), why, false);
}

store_record cli_history::record_of(const cli_outcome &c) const
{
    store_record r;
    r.id = c.record_id;
    if (r.id.empty()) {
        gchar *uuid = g_uuid_string_random();
        r.id = uuid;
        g_free(uuid);
    }
    r.time = c.record_time.empty() ? store_now() : c.record_time;
    r.station = text(station_);
    r.tool_version = MODCFG_VERSION;
    r.port = text(c.label);
    r.adapter = text(c.adapter);
    if (!c.adapter.empty())
        for (const auto &p : cli_list_ports())
            if (p.device == c.adapter && !p.serial.empty())
                r.adapter += " serial " + text(p.serial);
    r.mid = text(c.mid);
    r.firmware = text(c.version);
    if (task_ != cli_task::read && task_ != cli_task::export_) {
        r.file = text(file_);
        r.file_sha256 = sha256_;
    }
    r.pool = c.seq > 0 ? pool_ : "";
    r.seq = c.seq;
    r.result = c.result;
    r.seconds = c.seconds;
    r.restarted = c.restarted;
    std::string note = c.note;
    // As the report has them: the line and the module's answer.
    for (const auto &u : c.unacked)
        note += (note.empty() ? "" : "; ") + ("not acknowledged: " + u);
    r.note = text(note);

    // Per setting what was sent, its answer, and what the module held:
    // from what happened, never from the file's plan.
    JsonBuilder *b = json_builder_new();
    json_builder_begin_array(b);
    const bool read = task_ == cli_task::read || task_ == cli_task::export_;
    std::vector<cli_setting_row> rows;
    if (read) {
        for (const auto &v : c.values) {
            cli_setting_row row;
            row.setting = v.first;
            row.held_known = true;
            row.held = v.second;
            rows.push_back(row);
        }
    } else {
        cli_facts f;
        f.task = task_;
        f.sent = c.sent;
        f.checked = c.checked;
        f.mid = c.mid;
        f.mid_after = c.mid_after;
        rows = cli_setting_rows(f);
    }
    for (const auto &row : rows) {
        auto shown = [&](const std::string &v) {
            return text(show_secrets_ ? v : cli_secret_masked(row.setting, v));
        };
        json_builder_begin_object(b);
        json_builder_set_member_name(b, "setting");
        json_builder_add_string_value(b, row.setting.c_str());
        if (row.sent) {
            json_builder_set_member_name(b, "sent");
            json_builder_add_string_value(b, shown(row.value_sent).c_str());
            json_builder_set_member_name(b, "acknowledged");
            json_builder_add_boolean_value(b, row.acked);
            if (!row.refusal.empty()) {
                json_builder_set_member_name(b, "answer");
                json_builder_add_string_value(b, text(row.refusal).c_str());
            }
        }
        json_builder_set_member_name(b, "held");
        if (row.held_known)
            json_builder_add_string_value(b, shown(row.held).c_str());
        else
            json_builder_add_null_value(b);
        json_builder_end_object(b);
    }
    json_builder_end_array(b);
    r.settings = cli_json_finish(b);
    return r;
}

// A worker writes to the database, each statement bounded, and to the
// spool when the database fails or does not answer in time; the parent
// writes to the spool only (its loop never waits on the database), and
// sends it at the end of the run.
bool cli_history::keep(const store_record &r, std::string *error, bool begin)
{
    auto write = [&](store &s) {
        return begin ? s.history_begin(r, error) : s.history_add(r, error);
    };
    std::string why = "the station keeps its own records in the spool during the run";
    if (in_worker_) {
        if (!db_) // a worker's own connection, made when first needed
            db_ = store_open(url_, worker_options(), error);
        if (db_ && !db_->lost() && write(*db_))
            return true;
        why = store_mask_secrets(url_, *error);
        spool_lost_ = !db_ || db_->lost();
    }
    if (!spool_)
        spool_ = store_open("sqlite:" + cli_spool_path(url_), error);
    if (!spool_ || !write(*spool_)) {
        *error = "history: " + why + "; spool: " + store_mask_secrets(url_, *error);
        return false;
    }
    spooled_ = why;
    return true;
}

store_options cli_history::worker_options()
{
    // Well inside the time a module may take: a record that cannot be
    // written by then waits in the spool.
    store_options o;
    o.lock_timeout_ms = CLI_RECORD_LOCK_MS;
    o.statement_timeout_ms = CLI_RECORD_STATEMENT_MS;
    return o;
}

void cli_history::end_of_run()
{
    if (!db_ || in_worker_ || (spooled_.empty() && !spool_said_))
        return;
    spool_.reset();
    if (db_->lost() || !cli_spool_send(*db_, url_, false))
        cli_error(cli_format(cli_gettext("records stay in the spool %s; \"modcfg history --sync\" "
                                         "sends them"),
                             cli_spool_path(url_).c_str()));
}

void cli_history::worker_begin(const std::string &label, const std::string &device)
{
    // Released, not closed: closing would end the parent's session on the
    // shared socket. The worker ends with _exit.
    (void)db_.release();
    (void)spool_.release();
    in_worker_ = true;
    worker_out_ = cli_outcome();
    worker_out_.label = label;
    worker_out_.adapter = device;
    worker_start_ = g_get_monotonic_time() / 1e6;
}

cli_event cli_history::worker_event(const cli_event &raw)
{
    // Masked as the parent masks them: a note or line in the record never
    // shows a key (the worker compared the values whole).
    const cli_event ev = show_secrets_ ? raw : cli_event_masked(raw);
    cli_outcome &o = worker_out_;
    const std::string &k = ev.kind;
    if (k == cli_ev::STAGE && ev.get("text") == "connect") {
        worker_start_ = g_get_monotonic_time() / 1e6;
    } else if (k == cli_ev::MODULE) {
        o.mid = ev.get("mid");
    } else if (k == cli_ev::VERSION) {
        o.version = ev.get("version");
    } else if (k == cli_ev::ROW) {
        o.seq = ev.get_long("seq");
        std::vector<std::vector<std::string>> recs;
        if (csv_parse(ev.get("values"), recs, nullptr) && !recs.empty())
            o.row_values = recs[0];
    } else if (k == cli_ev::VALUE) {
        o.values.emplace_back(ev.get("name"), ev.get("value"));
    } else if (k == cli_ev::CHECKED || k == cli_ev::SENT || k == cli_ev::ANSWER) {
        cli_outcome_take_fact(o, ev);
    } else if (k == cli_ev::UNVERIFIABLE) {
        o.unverifiable.push_back(ev.get("line"));
    } else if (k == cli_ev::RESULT && !o.mid.empty()) {
        // A module that never answered is the parent's to record (it
        // knows what went before); one that did is recorded here.
        o.result = ev.get("result");
        o.note = ev.get("note");
        o.restarted = ev.get_long("restarted") != 0;
        o.mid_after = ev.get("mid-after");
        o.seconds = g_get_monotonic_time() / 1e6 - worker_start_;
        cli_event out = ev;
        std::string error;
        spooled_.clear();
        if (!keep_outcome(o, &error))
            out.set("unrecorded", error);
        else if (spooled_.empty())
            out.set("recorded", 1L);
        else
            out.set("spooled", spooled_).set("lost", spool_lost_ ? 1L : 0L);
        return out;
    }
    return ev;
}

bool cli_history::worker_record_begin(cli_event *event)
{
    gchar *uuid = g_uuid_string_random();
    worker_out_.record_id = uuid;
    g_free(uuid);
    worker_out_.record_time = store_now();
    cli_outcome o = worker_out_;
    o.result = STORE_IN_PROGRESS;
    std::string error;
    spooled_.clear();
    if (!keep(record_of(o), &error, true)) {
        *event =
            cli_event(cli_ev::RESULT)
                .set("result", RESULT_NO_RECORD)
                .set("note", "the record could not be begun, the module was not touched: " + error);
        return false;
    }
    *event = cli_event(cli_ev::RECORD)
                 .set("id", worker_out_.record_id)
                 .set("time", worker_out_.record_time);
    if (!spooled_.empty())
        event->set("spooled", spooled_).set("lost", spool_lost_ ? 1L : 0L);
    return true;
}

void cli_history::worker_spooled(const cli_event &ev)
{
    if (ev.get("spooled").empty() || spool_said_)
        return;
    spool_said_ = true;
    cli_error(cli_format(cli_gettext("database: %s; records go to the spool %s until a run "
                                     "reaches the database again"),
                         ev.get("spooled").c_str(), cli_spool_path(url_).c_str()));
}

bool cli_history::worker_result(const cli_event &ev)
{
    worker_spooled(ev);
    const std::string why = ev.get("unrecorded");
    if (!why.empty()) {
        if (!failed_said_)
            cli_error(
                cli_format(cli_gettext("%s; a record is missing, the run fails"), why.c_str()));
        failed_said_ = true;
        return true;
    }
    return !ev.get("recorded").empty() || !ev.get("spooled").empty();
}
