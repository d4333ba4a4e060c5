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
// Where records for the database `url` wait while it is away: beside the
// default database, one file per database, so that each record reaches the
// database it was meant for.
std::string cli_spool_path(const std::string &url);

// Sends every record of the spool to `db`, once each; the number sent, or
// -1 with `error`.
long cli_spool_sync(store &db, const std::string &url, std::string *error);

// The database at `url`, or null after a "modcfg: database ..." line.
std::unique_ptr<store> cli_db_open(const std::string &url);
// Sends what the spool of `url` holds when `db` is a server and the spool
// has records, saying how many (with `say` also none). False after a
// "modcfg: spool ..." line.
bool cli_spool_send(store &db, const std::string &url, bool say);

#endif
