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

std::string utc_since(const std::string &t, bool *ok)
{
    std::string iso = t;
    if (iso.size() == 10)
        iso += "T00:00:00";
    GTimeZone *local = g_time_zone_new_local();
    GDateTime *dt = g_date_time_new_from_iso8601(iso.c_str(), local);
    g_time_zone_unref(local);
    *ok = dt != nullptr;
    if (!dt)
        return "";
    GDateTime *utc = g_date_time_to_utc(dt);
    gchar *s = g_date_time_format(utc, "%Y-%m-%dT%H:%M:%S.000000Z");
    std::string out = s;
    g_free(s);
    g_date_time_unref(utc);
    g_date_time_unref(dt);
    return out;
}

} // namespace

int cli_history_command(const cli_command &, int argc, char **argv)
{
    gchar *db_opt = nullptr, *since = nullptr;
    gboolean json = FALSE, sync = FALSE;
    const GOptionEntry entries[] = {
        {"db", 0, 0, G_OPTION_ARG_STRING, &db_opt, N_("The database (as for provision)"),
         N_("URL")},
        {"since", 0, 0, G_OPTION_ARG_STRING, &since,
         N_("Only records from this time on (ISO 8601, local time unless it has an offset; or a "
            "date)"),
         N_("TIME")},
        {"json", 0, 0, G_OPTION_ARG_NONE, &json, N_("One JSON object per line"), nullptr},
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
    if (!parsed || argc > 2) {
        cli_usage_error("history", parsed
                                       ? cli_format(cli_gettext("unexpected argument %s"), argv[2])
                                       : std::string(error->message));
        g_clear_error(&error);
        return CLI_EXIT_USAGE;
    }
    std::string from;
    if (since) {
        bool ok = false;
        from = utc_since(since, &ok);
        if (!ok) {
            cli_error(cli_format(cli_gettext("--since %s: not a time (2026-05-01 or "
                                             "2026-05-01T14:00:00)"),
                                 cli_printable(since).c_str()));
            return CLI_EXIT_USAGE;
        }
    }
    const std::string url = cli_db_url(db_opt);
    auto db = cli_db_open(url);
    if (!db)
        return CLI_EXIT_DB;
    if (sync && !cli_spool_send(*db, url, true))
        return CLI_EXIT_DB;
    std::vector<store_record> recs;
    std::string why;
    if (!db->history_list(argc > 1 ? argv[1] : "", from, &recs, &why)) {
        cli_error(cli_format(cli_gettext("database: %s"), why.c_str()));
        return CLI_EXIT_DB;
    }
    for (const auto &r : recs) {
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
            continue;
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
    }
    return 0;
}
