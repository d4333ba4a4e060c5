// "modcfg pool": the pools of values for templates, and the rows of one.
#include "cli_commands.h"
#include "cli_db.h"
#include "cli_escape.h"
#include "cli_event.h"
#include "cli_history.h"
#include "cli_output.h"
#include "cli_text.h"
#include "store_csv.h"

#include <json-glib/json-glib.h>
#include <memory>

namespace
{

// The row's values as `pool show` gives them: a secret column's "***".
std::vector<std::string> shown_values(const store_pool_info &info, const store_row &r, bool show)
{
    std::vector<std::string> out = r.values;
    for (size_t i = 0; i < out.size() && i < info.columns.size() && !show; i++)
        for (const auto &secret : info.secret_columns)
            if (info.columns[i] == secret && !out[i].empty())
                out[i] = "***";
    return out;
}

// "pool list --json": one array, an object per pool.
std::string pools_json(const std::vector<store_pool_info> &pools)
{
    JsonBuilder *b = json_builder_new();
    json_builder_begin_array(b);
    for (const auto &p : pools) {
        json_builder_begin_object(b);
        json_builder_set_member_name(b, "pool");
        json_builder_add_string_value(b, cli_utf8(p.name).c_str());
        for (const auto &n : {std::make_pair("rows", p.rows), std::make_pair("held", p.held),
                              std::make_pair("free", p.free)}) {
            json_builder_set_member_name(b, n.first);
            json_builder_add_int_value(b, n.second);
        }
        json_builder_set_member_name(b, "columns");
        json_builder_begin_array(b);
        for (const auto &c : p.columns)
            json_builder_add_string_value(b, cli_utf8(c).c_str());
        json_builder_end_array(b);
        json_builder_end_object(b);
    }
    json_builder_end_array(b);
    return cli_json_finish(b);
}

// "pool show NAME --json": one object with the columns and every row.
void show_json(const char *name, const store_pool_info &info, const std::vector<store_row> &rows,
               bool show_secrets)
{
    JsonBuilder *b = json_builder_new();
    json_builder_begin_object(b);
    json_builder_set_member_name(b, "pool");
    json_builder_add_string_value(b, name);
    json_builder_set_member_name(b, "columns");
    json_builder_begin_array(b);
    for (const auto &c : info.columns)
        json_builder_add_string_value(b, c.c_str());
    json_builder_end_array(b);
    json_builder_set_member_name(b, "rows");
    json_builder_begin_array(b);
    for (const auto &r : rows) {
        json_builder_begin_object(b);
        json_builder_set_member_name(b, "seq");
        json_builder_add_int_value(b, r.seq);
        json_builder_set_member_name(b, "values");
        json_builder_begin_object(b);
        const std::vector<std::string> values = shown_values(info, r, show_secrets);
        for (size_t i = 0; i < info.columns.size(); i++) {
            json_builder_set_member_name(b, info.columns[i].c_str());
            json_builder_add_string_value(b, values[i].c_str());
        }
        json_builder_end_object(b);
        const std::pair<const char *, const std::string *> texts[] = {
            {"held_by", &r.held_by},
            {"held_since", &r.held_since},
            {"last_result", &r.last_result}};
        for (const auto &t : texts) {
            json_builder_set_member_name(b, t.first);
            if (t.second->empty())
                json_builder_add_null_value(b);
            else
                json_builder_add_string_value(b, t.second->c_str());
        }
        json_builder_end_object(b);
    }
    json_builder_end_array(b);
    json_builder_end_object(b);
    std::fprintf(cli_out, "%s\n", cli_json_finish(b).c_str());
}

// "pool release NAME ROW": the row free again, and a record saying so.
int release(store &db, const std::string &url, const char *pool, const char *seq_text,
            const char *station, bool force)
{
    char *end = nullptr;
    const long seq = std::strtol(seq_text, &end, 10);
    if (*seq_text == '\0' || *end != '\0' || seq <= 0) {
        cli_usage_error("pool", cli_format(cli_gettext("release: %s is no row number"),
                                           cli_printable(seq_text).c_str()));
        return CLI_EXIT_USAGE;
    }
    store_record r;
    gchar *uuid = g_uuid_string_random();
    r.id = uuid;
    g_free(uuid);
    r.time = store_now();
    r.station = cli_utf8(station && *station ? station : g_get_host_name());
    r.tool_version = MODCFG_VERSION;
    r.pool = pool;
    r.seq = seq;
    r.result = "released";
    r.note = force ? "released with --force" : "released";
    std::string why;
    const store_status st = db.pool_release(r, force, &why);
    if (st != store_status::ok) {
        cli_error(
            st == store_status::refused
                ? cli_format(cli_gettext("pool %s: %s; nothing was changed"),
                             cli_printable(pool).c_str(), why.c_str())
                : cli_format(cli_gettext("database: %s"), store_mask_secrets(url, why).c_str()));
        return st == store_status::refused ? CLI_EXIT_FAILED : CLI_EXIT_DB;
    }
    std::fprintf(cli_out, "pool %s row %ld released\n", cli_printable(pool).c_str(), seq);
    return 0;
}

} // namespace

int cli_pool_command(const cli_command &, int argc, char **argv)
{
    gchar *db_opt = nullptr, *station = nullptr;
    gboolean json = FALSE, force = FALSE, show_secrets = FALSE;
    const GOptionEntry entries[] = {
        {"db", 0, 0, G_OPTION_ARG_STRING, &db_opt, N_("The database (as for provision)"),
         N_("URL")},
        {"json", 0, 0, G_OPTION_ARG_NONE, &json, N_("JSON: an array of pools (list), or one object (show)"), nullptr},
        {"show-secrets", 0, 0, G_OPTION_ARG_NONE, &show_secrets,
         N_("Show the values of secret columns (show)"), nullptr},
        {"force", 0, 0, G_OPTION_ARG_NONE, &force,
         N_("Release a row whose module was verified (release)"), nullptr},
        {"station", 0, 0, G_OPTION_ARG_STRING, &station,
         N_("This station's name in the history (release; default: the host name)"), N_("NAME")},
        {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};
    GOptionContext *ctx = g_option_context_new(N_("list | show NAME | release NAME ROW"));
    cli_text_domain(ctx);
    g_option_context_set_summary(
        ctx, N_("Pools of values for command-file templates: \"list\" names each with its rows,\n"
                "held and free; \"show NAME\" gives every row, the module holding it, since when\n"
                "and its last result (secret columns as ***); \"release NAME ROW\" gives a row\n"
                "back for the next module, recorded in the history."));
    g_option_context_add_main_entries(ctx, entries, nullptr);
    GError *error = nullptr;
    const bool parsed = g_option_context_parse(ctx, &argc, &argv, &error);
    g_option_context_free(ctx);
    std::unique_ptr<gchar, decltype(&g_free)> db_keep(db_opt, g_free), st_keep(station, g_free);
    const std::string sub = argc > 1 ? argv[1] : "";
    if (!parsed || !((sub == "list" && argc == 2) || (sub == "show" && argc == 3) ||
                     (sub == "release" && argc == 4))) {
        cli_usage_error("pool", parsed ? cli_gettext("give list, show NAME or release NAME ROW")
                                       : error->message);
        g_clear_error(&error);
        return CLI_EXIT_USAGE;
    }
    const std::string url = cli_db_url(db_opt);
    auto db = cli_db_open(url, sub != "release");
    if (!db)
        return CLI_EXIT_DB;
    if (sub == "release")
        return release(*db, url, argv[2], argv[3], station, force);
    std::string why;
    if (sub == "list") {
        std::vector<store_pool_info> pools;
        if (!db->pool_list(&pools, &why)) {
            cli_error(
                cli_format(cli_gettext("database: %s"), store_mask_secrets(url, why).c_str()));
            return CLI_EXIT_DB;
        }
        if (json) {
            std::fprintf(cli_out, "%s\n", pools_json(pools).c_str());
            return 0;
        }
        for (const auto &p : pools)
            std::fprintf(cli_out, "%s  rows %ld  held %ld  free %ld  columns %s\n", p.name.c_str(),
                         p.rows, p.held, p.free, csv_line(p.columns).c_str());
        return 0;
    }
    store_pool_info info;
    std::vector<store_row> rows;
    const store_status st = db->pool_get(argv[2], &info, &rows, &why);
    const std::vector<std::string> &columns = info.columns;
    if (st != store_status::ok) {
        cli_error(st == store_status::refused
                      ? why
                      : cli_format(cli_gettext("database: %s"), why.c_str()));
        return st == store_status::refused ? CLI_EXIT_FAILED : CLI_EXIT_DB;
    }
    if (!json) {
        long held = 0, free = 0;
        for (const auto &r : rows) {
            held += r.held_since.empty() ? 0 : 1;
            free += r.held_by.empty() ? 1 : 0;
        }
        std::fprintf(cli_out, "pool %s  rows %zu  held %ld  free %ld  columns %s\n", argv[2],
                     rows.size(), held, free, csv_line(columns).c_str());
        for (const auto &r : rows) {
            std::string line =
                std::to_string(r.seq) + "  " + csv_line(shown_values(info, r, show_secrets)) + "  ";
            if (!r.held_since.empty())
                line += "held by " + r.held_by + " since " + r.held_since +
                        (r.last_result.empty() ? "" : ", last " + r.last_result);
            else if (!r.held_by.empty())
                line += "for " + r.held_by;
            else
                line += "free";
            std::fprintf(cli_out, "%s\n", cli_printable(line).c_str());
        }
        return 0;
    }
    show_json(argv[2], info, rows, show_secrets);
    return 0;
}
