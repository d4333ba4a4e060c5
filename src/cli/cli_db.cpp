// The command line's database options, where records go, and the spool.
#include "cli_db.h"

#include "cli_output.h"
#include "cli_text.h"

#include <cstring>
#include <sys/stat.h>

namespace
{

std::string data_dir()
{
    return std::string(g_get_user_data_dir()) + "/modcfg";
}

} // namespace

std::unique_ptr<store> cli_db_open(const std::string &url)
{
    std::string error;
    auto db = store_open(url, &error);
    if (!db)
        cli_error(cli_format(cli_gettext("database %s: %s"), store_url_shown(url).c_str(),
                             error.c_str()));
    return db;
}

// Sends the spool when the database is a server and the spool has records.
bool cli_spool_send(store &db, const std::string &url, bool say)
{
    if (std::strcmp(db.kind(), "postgresql") != 0)
        return true;
    struct stat st;
    if (stat(cli_spool_path(url).c_str(), &st) != 0)
        return true;
    std::string error;
    const long n = cli_spool_sync(db, url, &error);
    if (n < 0) {
        cli_error(
            cli_format(cli_gettext("spool %s: %s"), cli_spool_path(url).c_str(), error.c_str()));
        return false;
    }
    if (n > 0 || say) {
        std::fprintf(
            stderr, "modcfg: %s\n",
            cli_format(cli_gettext("%ld records from the spool sent to the database"), n).c_str());
        std::fflush(stderr);
    }
    return true;
}

cli_db_options::~cli_db_options()
{
    g_free(db);
    g_free(station);
    g_free(values);
    g_free(pool);
}

void cli_db_add_options(std::vector<GOptionEntry> &entries, cli_db_options &o, bool templates)
{
    entries.push_back({"db", 0, 0, G_OPTION_ARG_STRING, &o.db,
                       N_("Record the history here: a file, sqlite:FILE or postgresql://... "
                          "(default: $MODCFG_DB, else ~/.local/share/modcfg/history.sqlite)"),
                       N_("URL")});
    entries.push_back({"station", 0, 0, G_OPTION_ARG_STRING, &o.station,
                       N_("This station's name in the history (default: the host name)"),
                       N_("NAME")});
    entries.push_back({"no-history", 0, 0, G_OPTION_ARG_NONE, &o.no_history,
                       N_("Record nothing in the database"), nullptr});
    if (!templates)
        return;
    entries.push_back({"values", 0, 0, G_OPTION_ARG_FILENAME, &o.values,
                       N_("The command file is a template: ${NAME} takes each module's value from "
                          "this CSV file (imported as the pool --pool names, default the file's "
                          "name)"),
                       N_("FILE")});
    entries.push_back({"pool", 0, 0, G_OPTION_ARG_STRING, &o.pool,
                       N_("The command file is a template filled from this pool of values, one row "
                          "per module for good"),
                       N_("NAME")});
}

std::string cli_db_url(const char *option)
{
    if (option && *option)
        return option;
    const char *env = std::getenv("MODCFG_DB");
    if (env && *env)
        return env;
    return data_dir() + "/history.sqlite";
}

std::string cli_spool_path(const std::string &url)
{
    gchar *sum = g_compute_checksum_for_string(G_CHECKSUM_SHA256, url.c_str(), -1);
    const std::string name = "spool-" + std::string(sum).substr(0, 16) + ".sqlite";
    g_free(sum);
    return data_dir() + "/" + name;
}

long cli_spool_sync(store &db, const std::string &url, std::string *error)
{
    auto spool = store_open("sqlite:" + cli_spool_path(url), error);
    if (!spool)
        return -1;
    std::vector<store_record> recs;
    if (!spool->history_list("", "", &recs, error))
        return -1;
    long n = 0;
    // Oldest first; the server keeps one record per id, so a sync cut off
    // between the send and the removal sends that record again harmlessly.
    for (auto it = recs.rbegin(); it != recs.rend(); ++it) {
        if (!db.history_add(*it, error))
            return -1;
        if (!it->pool.empty() && it->seq > 0)
            db.pool_set_result(it->pool, it->seq, it->result, nullptr);
        if (!spool->history_remove(it->id, error))
            return -1;
        n++;
    }
    return n;
}
