// The command line's database options, where records go, and the spool.
#include "cli_db.h"

#include "cli_output.h"
#include "cli_text.h"

#include <algorithm>
#include <cstring>
#include <sys/stat.h>

namespace
{

std::string data_dir()
{
    return std::string(g_get_user_data_dir()) + "/modcfg";
}

std::string spool_named(const std::string &key)
{
    gchar *sum = g_compute_checksum_for_string(G_CHECKSUM_SHA256, key.c_str(), -1);
    const std::string name = "spool-" + std::string(sum).substr(0, 16) + ".sqlite";
    g_free(sum);
    return data_dir() + "/" + name;
}

// Where an older release kept the spool: named after the URL as written.
std::string legacy_spool_path(const std::string &url)
{
    return spool_named(url);
}

void cli_note(const std::string &text)
{
    std::fprintf(stderr, "modcfg: %s\n", text.c_str());
    std::fflush(stderr);
}

} // namespace

std::unique_ptr<store> cli_db_open(const std::string &url, bool reading)
{
    std::string error;
    auto db = store_open(url, &error);
    // A reader needs no write access: a database it may only read will do.
    store_options ro;
    ro.read_only = true;
    std::string ro_error;
    if (!db && reading)
        db = store_open(url, ro, &ro_error);
    if (!db)
        cli_error(cli_format(cli_gettext("database %s: %s"), store_url_shown(url).c_str(),
                             store_mask_secrets(url, error).c_str()));
    return db;
}

// Sends the spool when it has records; the spool of an older release,
// named after the URL's spelling, too.
bool cli_spool_send(store &db, const std::string &url, bool say)
{
    bool ok = true;
    long found = 0;
    const std::string paths[] = {cli_spool_path(url), legacy_spool_path(url)};
    for (const std::string &path : paths) {
        struct stat st;
        if (stat(path.c_str(), &st) != 0 || (&path != paths && path == paths[0]))
            continue;
        std::string error;
        long held = 0;
        const long n = cli_spool_sync(db, path, &held, &error);
        found += held;
        if (held > 0 || say)
            cli_note(
                cli_format(cli_gettext("%ld records found in the spool %s"), held, path.c_str()));
        if (n < 0) {
            cli_error(cli_format(cli_gettext("spool %s not sent: %s"), path.c_str(),
                                 store_mask_secrets(url, error).c_str()));
            ok = false;
        } else if (held > 0 || say) {
            cli_note(cli_format(cli_gettext("%ld records from the spool sent to the database"), n));
        }
    }
    if (found == 0 && say)
        cli_note(cli_format(cli_gettext("0 records from the spool sent to the database (none "
                                        "found in %s)"),
                            cli_spool_path(url).c_str()));
    return ok;
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
    return spool_named(store_identity(url));
}

long cli_spool_sync(store &db, const std::string &path, long *held, std::string *error)
{
    auto spool = store_open("sqlite:" + path, error);
    if (!spool)
        return -1;
    std::vector<store_record> recs;
    if (!spool->history_list("", "", &recs, error))
        return -1;
    *held = static_cast<long>(recs.size());
    long n = 0;
    // Oldest first; the server keeps one record per id, so a sync cut off
    // between the send and the removal sends that record again harmlessly.
    // A record sets its row's result by its own time, so a late one never
    // overwrites a newer result.
    for (auto it = recs.rbegin(); it != recs.rend(); ++it) {
        if (!db.history_add(*it, error))
            return -1;
        if (!spool->history_remove(it->id, error))
            return -1;
        n++;
    }
    return n;
}

char **cli_db_hide_arguments(int argc, char **argv)
{
    char **copy = g_new0(char *, argc + 1);
    bool said = false;
    for (int i = 0; i < argc; i++) {
        copy[i] = g_strdup(argv[i]);
        const char *url = std::strstr(argv[i], "postgres");
        if (!url)
            continue;
        const std::string shown = store_mask_secrets(url, argv[i]);
        if (shown == argv[i])
            continue;
        // What ps shows of this process and of every worker it forks.
        const size_t len = std::strlen(argv[i]);
        std::memset(argv[i], 0, len);
        std::memcpy(argv[i], shown.data(), std::min(len, shown.size()));
        if (!said)
            cli_error(cli_gettext("--db holds a password, which any user of this machine can read "
                                  "in the process list: give the URL in MODCFG_DB, or the "
                                  "password in PGPASSFILE or ~/.pgpass, or use PGSERVICE"));
        said = true;
    }
    return copy;
}
