// The command line's database: its options, its URL, opening it, and the
// spool that keeps records for it while a server is away.
#ifndef MODCFG_CLI_DB_H
#define MODCFG_CLI_DB_H

#include "store.h"

#include <glib.h>
#include <memory>
#include <string>
#include <vector>

struct cli_db_options {
    gchar *db = nullptr;
    gchar *station = nullptr;
    gchar *values = nullptr;
    gchar *pool = nullptr;
    gboolean no_history = FALSE;
    gboolean show_secrets = FALSE;
    ~cli_db_options();
};

// Adds --db, --station, --no-history, and for commands that
// take a command file (`templates`) --values and --pool.
void cli_db_add_options(std::vector<GOptionEntry> &entries, cli_db_options &o, bool templates);

// The database: --db, else MODCFG_DB, else $XDG_DATA_HOME/modcfg/history.sqlite.
std::string cli_db_url(const char *option);
// Where records for the database `url` wait while it cannot take them:
// beside the default database, one file per database (named after what
// identifies it, not the URL's spelling), so that each record reaches the
// database it was meant for.
std::string cli_spool_path(const std::string &url);

// Sends every record of the spool file `path` to `db`, once each; the
// number sent (`held` the number found), or -1 with `error`.
long cli_spool_sync(store &db, const std::string &path, long *held, std::string *error);

// The database at `url`, or null after a "modcfg: database ..." line. A
// reader (`reading`) takes it read-only when it may not write.
std::unique_ptr<store> cli_db_open(const std::string &url, bool reading = false);
// Sends what the spool of `url` holds when it has records, saying where
// and how many (with `say` also none). False after a "modcfg: spool ...
// not sent" line.
bool cli_spool_send(store &db, const std::string &url, bool say);

// A copy of the command line's arguments for the program to parse; the
// password of a database URL among them is masked in place (ps shows the
// arguments of this process and its workers), said once with where to put
// it instead. Free with g_strfreev.
char **cli_db_hide_arguments(int argc, char **argv);

#endif
