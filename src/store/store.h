// Records of a production line behind one interface: value pools (one row of
// values per module, each row given to one module for good) and the history
// of every module a station handled. SQLite keeps one station's records in a
// file; PostgreSQL lets several stations share one server. The callers never
// see which one they talk to.
#ifndef MODCFG_STORE_H
#define MODCFG_STORE_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

// The schema this program writes. A database with a newer one is refused.
constexpr int STORE_SCHEMA_VERSION = 2;
// The longest cell (or MID) a pool takes, bytes: a values file is a table of
// short texts, and a worker's message to its parent must hold a whole row.
constexpr size_t STORE_CELL_MAX = 4096;
// The result of a record begun and not completed yet.
constexpr const char STORE_IN_PROGRESS[] = "in-progress";
// How history_each shows a begun record that never ended.
constexpr const char STORE_INTERRUPTED[] = "interrupted";

// How a database is opened. Every wait is bounded: a statement that cannot
// finish in time fails (store_status::failed), it never blocks the caller.
struct store_options {
    // Nothing is written: no schema made or upgraded, no switch to WAL; the
    // database must exist with this program's schema.
    bool read_only = false;
    // Waiting for another session's lock (PostgreSQL's lock_timeout,
    // SQLite's busy time-out), ms.
    int lock_timeout_ms = 30000;
    // The longest statement (PostgreSQL's statement_timeout), ms; a server
    // that sends nothing for this long plus a margin counts as lost.
    int statement_timeout_ms = 60000;
};

// One row of a pool. `seq` counts from 1 in file order. A row bound to a
// module (the values file named its MID) has `held_by` from the import on;
// `held_since` is set once a module has taken the row.
struct store_row {
    long seq = 0;
    std::vector<std::string> values; // in the pool's column order
    std::string held_by;             // MID, empty when free
    std::string held_since;          // UTC time, empty until taken
    std::string last_result;
    std::string last_time; // begin time of the record that set last_result
};

struct store_pool_info {
    std::string name;
    std::vector<std::string> columns;
    std::vector<std::string> secret_columns; // shown masked
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

// The current time as store_record::time text.
std::string store_now();

enum class store_status {
    ok,
    refused, // the content is not acceptable (a held row changed, ...): `error` says why
    failed   // the database failed or went away: `error` says why
};

enum class store_claim { got, none, failed };

struct store_import_options {
    // The pool's columns whose values are secrets; replaces what an earlier
    // import said.
    std::vector<std::string> secret_columns;
    // Called inside the import's transaction, before anything is written,
    // with the pool's rows as the import would leave them (rows another
    // import added meanwhile included); false refuses the import with the
    // error it sets, and nothing is written.
    std::function<bool(const std::vector<std::string> &columns, const std::vector<store_row> &rows,
                       std::string *error)>
        check;
};

struct store_history_query {
    std::string mid;   // empty: every module
    std::string since; // UTC text as in store_record::time; empty: no limit
    long limit = 0;    // the newest `limit` records; 0: all
    // A record still in progress that began before this time (UTC text) is
    // shown as STORE_INTERRUPTED; empty: shown as it is.
    std::string interrupted_before;
};

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
    // Other columns than the pool's, a cell over STORE_CELL_MAX, a row of
    // empty cells only: refused. `rows`' held_by names a row's module (from
    // the file's MID column), empty for a free row; their `seq`, when set,
    // is the row's number in messages.
    // Imports and claims of one pool take turns (a lock on the pool, taken
    // first): an import never sees a claim half done. Rows another import
    // appended while this one was starting are kept, this one's own new
    // rows follow them (the same rows again are not added twice).
    // Every check runs before the first write; a refused import writes
    // nothing.
    store_status pool_import(const std::string &pool, const std::vector<std::string> &columns,
                             const std::vector<store_row> &rows,
                             const store_import_options &options, std::string *error);
    store_status pool_import(const std::string &pool, const std::vector<std::string> &columns,
                             const std::vector<store_row> &rows, std::string *error)
    {
        return pool_import(pool, columns, rows, store_import_options(), error);
    }
    // The pool's columns (and which are secret) and rows in order; refused
    // when there is no such pool.
    store_status pool_get(const std::string &pool, store_pool_info *info,
                          std::vector<store_row> *rows, std::string *error);
    store_status pool_get(const std::string &pool, std::vector<std::string> *columns,
                          std::vector<store_row> *rows, std::string *error);
    bool pool_list(std::vector<store_pool_info> *pools, std::string *error);
    // The row of module `mid` in `pool`: the one it holds or is bound to,
    // else the first free row in order, taken for good in the same
    // transaction that picks it. `none` when no row is left for it. Waits
    // (bounded by the lock time-out) for an import of the pool to end.
    store_claim pool_claim(const std::string &pool, const std::string &mid, store_row *row,
                           std::string *error);
    // The last result of a taken row, from a record begun at `record_time`:
    // a result from a record begun earlier than the row's last one is not
    // kept, whatever order the records arrive in.
    bool pool_set_result(const std::string &pool, long seq, const std::string &result,
                         const std::string &record_time, std::string *error);
    // A result without its record's time: kept only while no record has
    // set one (history_add sets it with the record's time).
    bool pool_set_result(const std::string &pool, long seq, const std::string &result,
                         std::string *error);

    // Gives row `r.seq` of pool `r.pool` back (free for the next module)
    // and adds `r` (its MID set to the row's former module) as the record
    // of that, in one transaction. Refused for a free row, and for one
    // whose module was verified unless `force`.
    store_status pool_release(const store_record &r, bool force, std::string *error);

    // Begins a record before its module is touched: `r` with result
    // STORE_IN_PROGRESS. Again with the same id: kept as it was.
    bool history_begin(const store_record &r, std::string *error);
    // Adds a record, or completes the begun one of the same `id`; a record
    // already completed is kept as it was (a spool sent twice changes
    // nothing). A completed record of a pool row sets the row's last result
    // as pool_set_result does, in the same transaction.
    bool history_add(const store_record &r, std::string *error);
    // Records newest first, one call of `each` per record as they are read
    // (false from it stops the listing; it must not call this store).
    bool history_each(const store_history_query &query,
                      const std::function<bool(const store_record &)> &each, std::string *error);
    // All records newest first, as stored (in progress included); `mid`
    // empty for all, `since` (UTC text as in store_record::time) empty for
    // no limit.
    bool history_list(const std::string &mid, const std::string &since,
                      std::vector<store_record> *out, std::string *error);
    bool history_remove(const std::string &id, std::string *error);

  protected:
    // Writes `r` as history_add does, inside the caller's transaction.
    bool history_write(const store_record &r, std::string *error);
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
    using row_fn = std::function<bool(std::vector<std::string> &row)>;

    // Runs one statement (written with "?" for its parameters), prepared
    // once per connection, calling `each` (when given) per result row as it
    // comes; false from `each` drops the rows after it.
    virtual bool exec_each(const char *sql, const std::vector<param> &params, const row_fn &each,
                           std::string *error) = 0;
    // The same with the result rows into `out` when given.
    bool exec(const char *sql, const std::vector<param> &params, rows_t *out, std::string *error);
    // A transaction that will write: it holds the write lock from its start
    // (SQLite: BEGIN IMMEDIATE, waiting out the busy time-out).
    virtual bool begin_write(std::string *error) = 0;
    virtual bool commit(std::string *error) = 0;
    virtual void rollback() = 0;
    // The statement that takes the first free row of a pool; PostgreSQL
    // skips rows other transactions are taking.
    virtual const char *claim_sql() const = 0;
    // Locks the pool's own row, first thing in a transaction that imports
    // (`exclusive`) or claims rows of it; reads its columns and secrets.
    virtual const char *pool_lock_sql(bool exclusive) const = 0;
    // The names of the tables in the database (the current schema).
    virtual const char *tables_sql() const = 0;
    // Serialises schema creation between processes inside the transaction.
    virtual bool schema_lock(std::string *error) = 0;
    // True when the last failure was a unique constraint.
    virtual bool last_was_unique_violation() const = 0;
    // Called once the database is known as this program's (or empty):
    // settings that change the file (SQLite's WAL) go here.
    virtual bool recognized(std::string *) { return true; }

    friend std::unique_ptr<store> store_open(const std::string &, const store_options &,
                                             std::string *);
    // Refuses a database that holds tables but not this program's version
    // table, before anything is changed.
    bool recognize(std::string *error);
    // Creates or upgrades the schema; refuses a newer one.
    bool schema_prepare(std::string *error);

    store_options options_;
};

// Opens the database `url`: "postgresql://..." or "postgres://..." (a libpq
// connection URI) is PostgreSQL; "sqlite:PATH" or a plain path is SQLite
// (the file is created 0600, its directory 0700, when missing). The schema
// is created or upgraded. Null with `error` set when it cannot be used.
std::unique_ptr<store> store_open(const std::string &url, std::string *error);

std::unique_ptr<store> store_open(const std::string &url, const store_options &options,
                                  std::string *error);

// The URL as it may be shown: a password in it becomes "***".
std::string store_url_shown(const std::string &url);

// `text` (any message) with every occurrence of the password of `url` (as
// written, percent-decoded, or a password= parameter) and any password=
// value replaced by "***". Every error the store returns is masked so.
std::string store_mask_secrets(const std::string &url, const std::string &text);

// What names the database `url` opens, whatever its spelling: engine, host,
// port, database name and user for PostgreSQL (defaults filled in, no
// password, no other parameters), the canonical absolute path for SQLite.
std::string store_identity(const std::string &url);

#endif
