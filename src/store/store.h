// Records of a production line behind one interface: value pools (one row of
// values per module, each row given to one module for good) and the history
// of every module a station handled. SQLite keeps one station's records in a
// file; PostgreSQL lets several stations share one server. The callers never
// see which one they talk to.
#ifndef MODCFG_STORE_H
#define MODCFG_STORE_H

#include <memory>
#include <string>
#include <vector>

// The schema this program writes. A database with a newer one is refused.
constexpr int STORE_SCHEMA_VERSION = 1;

// One row of a pool. `seq` counts from 1 in file order. A row bound to a
// module (the values file named its MID) has `held_by` from the import on;
// `held_since` is set once a module has taken the row.
struct store_row {
    long seq = 0;
    std::vector<std::string> values; // in the pool's column order
    std::string held_by;             // MID, empty when free
    std::string held_since;          // UTC time, empty until taken
    std::string last_result;
};

struct store_pool_info {
    std::string name;
    std::vector<std::string> columns;
    std::string created;
    long rows = 0, held = 0, free = 0;
};

// One module handled once. `id` is chosen by the station, unique, so that
// sending a record twice (a spool synced again) keeps one.
struct store_record {
    std::string id;
    std::string time; // UTC, "2026-01-02T03:04:05.123456Z": sorts as text
    std::string station, tool_version, port, adapter, mid, firmware;
    std::string file, file_sha256;
    std::string pool;
    long seq = 0; // 0: no pool row
    std::string result;
    double seconds = 0;
    bool restarted = false;
    std::string settings; // JSON array of {setting, sent, held}, secrets masked
    std::string note;
};

enum class store_status {
    ok,
    refused, // the content is not acceptable (a held row changed, ...): `error` says why
    failed   // the database failed or went away: `error` says why
};

enum class store_claim { got, none, failed };

class store
{
  public:
    virtual ~store() = default;
    // "sqlite" or "postgresql".
    virtual const char *kind() const = 0;
    // True once the connection to a server was lost: later calls fail at
    // once. SQLite never loses it.
    virtual bool lost() const = 0;

    // Imports rows into the pool `pool` (created on first import with
    // `columns`). The same rows again change nothing; rows added at the end
    // are added; a row that a module has taken must stay as it is (changed
    // or removed: refused, naming the row), rows not taken follow the file.
    // Other columns than the pool's: refused. `rows`' held_by names a row's
    // module (from the file's MID column), empty for a free row.
    store_status pool_import(const std::string &pool, const std::vector<std::string> &columns,
                             const std::vector<store_row> &rows, std::string *error);
    // The pool's columns and rows in order; refused when there is no such pool.
    store_status pool_get(const std::string &pool, std::vector<std::string> *columns,
                          std::vector<store_row> *rows, std::string *error);
    bool pool_list(std::vector<store_pool_info> *pools, std::string *error);
    // The row of module `mid` in `pool`: the one it holds or is bound to,
    // else the first free row in order, taken for good in the same
    // transaction that picks it. `none` when no row is left for it.
    store_claim pool_claim(const std::string &pool, const std::string &mid, store_row *row,
                           std::string *error);
    // The last result of a taken row.
    bool pool_set_result(const std::string &pool, long seq, const std::string &result,
                         std::string *error);

    // Adds a record; one with an `id` already present is kept as it was.
    bool history_add(const store_record &r, std::string *error);
    // Records newest first; `mid` empty for all, `since` (UTC text as in
    // store_record::time) empty for no limit.
    bool history_list(const std::string &mid, const std::string &since,
                      std::vector<store_record> *out, std::string *error);
    bool history_remove(const std::string &id, std::string *error);

  protected:
    // A parameter bound to a statement; SQL text is never built from one.
    struct param {
        bool null = false;
        std::string text;
        param(const std::string &s) : text(s) {}
        param(const char *s) : text(s) {}
        param(long n) : text(std::to_string(n)) {}
        static param null_value()
        {
            param p("");
            p.null = true;
            return p;
        }
    };
    using rows_t = std::vector<std::vector<std::string>>; // NULL reads as ""

    // Runs one statement (written with "?" for its parameters), prepared
    // once per connection. Result rows into `out` when given.
    virtual bool exec(const char *sql, const std::vector<param> &params, rows_t *out,
                      std::string *error) = 0;
    // A transaction that will write: it holds the write lock from its start
    // (SQLite: BEGIN IMMEDIATE, waiting out the busy time-out).
    virtual bool begin_write(std::string *error) = 0;
    virtual bool commit(std::string *error) = 0;
    virtual void rollback() = 0;
    // The statement that takes the first free row of a pool; PostgreSQL
    // skips rows other transactions are taking.
    virtual const char *claim_sql() const = 0;
    // Serialises schema creation between processes inside the transaction.
    virtual bool schema_lock(std::string *error) = 0;
    // True when the last failure was a unique constraint.
    virtual bool last_was_unique_violation() const = 0;

    friend std::unique_ptr<store> store_open(const std::string &, std::string *);
    // Creates or upgrades the schema; refuses a newer one.
    bool schema_prepare(std::string *error);
};

// Opens the database `url`: "postgresql://..." or "postgres://..." (a libpq
// connection URI) is PostgreSQL; "sqlite:PATH" or a plain path is SQLite
// (the file is created 0600, its directory 0700, when missing). The schema
// is created or upgraded. Null with `error` set when it cannot be used.
std::unique_ptr<store> store_open(const std::string &url, std::string *error);

// The URL as it may be shown: a password in it becomes "***".
std::string store_url_shown(const std::string &url);

// The current time as store_record::time text.
std::string store_now();

#endif
