// "modcfg history": the records of the modules handled, newest first.
#include "cli_commands.h"
#include "cli_escape.h"
#include "cli_event.h"
#include "cli_history.h"
#include "cli_output.h"
#include "cli_report.h"
#include "cli_text.h"

#include <json-glib/json-glib.h>
#include <memory>

namespace
{

// `t` (UTC) as the history's records write a time; `t` is given up.
std::string record_time(GDateTime *t)
{
    gchar *s = g_date_time_format(t, "%Y-%m-%dT%H:%M:%S.000000Z");
    std::string out = s;
    g_free(s);
    g_date_time_unref(t);
    return out;
}

std::string utc_since(const std::string &t, bool *ok)
{
    std::string iso = t;
    if (iso.size() == 10)
        iso += "T00:00:00";
    // Minutes without seconds ("2026-05-19T12:00") are a time too.
    if (iso.size() >= 16 && (iso.size() == 16 || iso.find_first_of("Z+-", 16) == 16) &&
        iso[13] == ':')
        iso.insert(16, ":00");
    GTimeZone *local = g_time_zone_new_local();
    GDateTime *dt = g_date_time_new_from_iso8601(iso.c_str(), local);
    g_time_zone_unref(local);
    *ok = dt != nullptr;
    if (!dt)
        return "";
    const std::string out = record_time(g_date_time_to_utc(dt));
    g_date_time_unref(dt);
    return out;
}

// A record begun before this and still in progress was cut off: no module
// takes longer than its longest time-out, with room for its record.
std::string interrupted_before()
{
    GDateTime *now = g_date_time_new_now_utc();
    const std::string out =
        record_time(g_date_time_add_seconds(now, -2.0 * CLI_MODULE_TIMEOUT_STRICT));
    g_date_time_unref(now);
    return out;
}

} // namespace

int cli_history_command(const cli_command &, int argc, char **argv)
{
    gchar *db_opt = nullptr, *since = nullptr;
    gboolean json = FALSE, sync = FALSE;
    gint64 limit = 0;
    const GOptionEntry entries[] = {
        {"db", 0, 0, G_OPTION_ARG_STRING, &db_opt, N_("The database (as for provision)"),
         N_("URL")},
        {"since", 0, 0, G_OPTION_ARG_STRING, &since,
         N_("Only records from this time on (ISO 8601, local time unless it has an offset; or a "
            "date)"),
         N_("TIME")},
        {"json", 0, 0, G_OPTION_ARG_NONE, &json, N_("One JSON object per line"), nullptr},
        {"limit", 0, 0, G_OPTION_ARG_INT64, &limit, N_("Only the newest N records"), N_("N")},
        {"sync", 0, 0, G_OPTION_ARG_NONE, &sync,
         N_("Send the records the spool kept while the database was away, then list"), nullptr},
        {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};
    GOptionContext *ctx = g_option_context_new(N_("[MID]"));
    cli_text_domain(ctx);
    g_option_context_set_summary(
        ctx, N_("The records of every module handled, newest first: all, or one module's."));
    g_option_context_add_main_entries(ctx, entries, nullptr);
    GError *error = nullptr;
    const bool parsed = g_option_context_parse(ctx, &argc, &argv, &error);
    g_option_context_free(ctx);
    std::unique_ptr<gchar, decltype(&g_free)> db_keep(db_opt, g_free), since_keep(since, g_free);
    if (!parsed || argc > 2 || limit < 0) {
        const std::string why = !parsed ? std::string(error->message)
                                : argc > 2
                                    ? cli_format(cli_gettext("unexpected argument %s"), argv[2])
                                    : std::string(cli_gettext("--limit takes a count"));
        cli_usage_error("history", why);
        g_clear_error(&error);
        return CLI_EXIT_USAGE;
    }
    std::string from;
    if (since) {
        bool ok = false;
        from = utc_since(since, &ok);
        if (!ok) {
            cli_error(cli_format(cli_gettext("--since %s: not a time (2026-05-01, "
                                             "2026-05-01T14:00 or 2026-05-01T14:00:00)"),
                                 cli_printable(since).c_str()));
            return CLI_EXIT_USAGE;
        }
    }
    const std::string url = cli_db_url(db_opt);
    auto db = cli_db_open(url, !sync);
    if (!db)
        return CLI_EXIT_DB;
    if (sync && !cli_spool_send(*db, url, true))
        return CLI_EXIT_DB;
    store_history_query q;
    q.mid = argc > 1 ? argv[1] : "";
    q.since = from;
    q.limit = limit;
    q.interrupted_before = interrupted_before();
    // Each record as it is read: the history may hold more than memory.
    const auto print = [&](const store_record &r) {
        if (!json) {
            char secs[32];
            std::snprintf(secs, sizeof secs, "%.2f s", r.seconds);
            std::string line =
                r.time + "  " + r.station + "  MID " + r.mid + "  " + r.result + "  " + secs;
            if (r.seq > 0)
                line += "  pool " + r.pool + " row " + std::to_string(r.seq);
            if (!r.file.empty())
                line += "  " + r.file;
            line += "  " + r.port + (r.restarted ? "  restarted" : "");
            std::fprintf(cli_out, "%s\n", cli_printable(line).c_str());
            return true;
        }
        JsonBuilder *b = json_builder_new();
        json_builder_begin_object(b);
        const std::pair<const char *, const std::string *> texts[] = {
            {"id", &r.id},           {"time", &r.time},
            {"station", &r.station}, {"tool_version", &r.tool_version},
            {"port", &r.port},       {"adapter", &r.adapter},
            {"mid", &r.mid},         {"version", &r.firmware},
            {"file", &r.file},       {"file_sha256", &r.file_sha256},
            {"result", &r.result},   {"note", &r.note}};
        for (const auto &t : texts) {
            json_builder_set_member_name(b, t.first);
            json_builder_add_string_value(b, t.second->c_str());
        }
        json_builder_set_member_name(b, "pool");
        if (r.seq > 0)
            json_builder_add_string_value(b, r.pool.c_str());
        else
            json_builder_add_null_value(b);
        json_builder_set_member_name(b, "row");
        if (r.seq > 0)
            json_builder_add_int_value(b, r.seq);
        else
            json_builder_add_null_value(b);
        json_builder_set_member_name(b, "seconds");
        json_builder_add_null_value(b);
        json_builder_set_member_name(b, "restarted");
        json_builder_add_boolean_value(b, r.restarted);
        json_builder_set_member_name(b, "settings");
        JsonParser *p = json_parser_new();
        if (json_parser_load_from_data(p, r.settings.c_str(), -1, nullptr) &&
            json_parser_get_root(p))
            json_builder_add_value(b, json_node_copy(json_parser_get_root(p)));
        else
            json_builder_add_null_value(b);
        g_object_unref(p);
        json_builder_end_object(b);
        std::fprintf(cli_out, "%s\n", cli_json_seconds(cli_json_finish(b), r.seconds).c_str());
        return true;
    };
    std::string why;
    if (!db->history_each(q, print, &why)) {
        cli_error(cli_format(cli_gettext("database: %s"), store_mask_secrets(url, why).c_str()));
        return CLI_EXIT_DB;
    }
    return 0;
}
