// SQLite back end: one file per station, shared safely by several modcfg
// processes (WAL, a busy time-out, one writer at a time).
#include "store.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sqlite3.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{

// Pause before a statement refused as busy without a wait is tried again, ms.
constexpr int BUSY_RETRY_MS = 20;

// Creates the directories of `path` that are missing, 0700.
bool make_parent_dirs(const std::string &path, std::string *error)
{
    for (size_t i = 1; i < path.size(); i++) {
        if (path[i] != '/')
            continue;
        const std::string dir = path.substr(0, i);
        if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = dir + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

class sqlite_store : public store
{
  public:
    ~sqlite_store() override
    {
        for (auto &s : statements_)
            sqlite3_finalize(s.second);
        sqlite3_close(db_);
    }

    bool open(const std::string &path, const store_options &options, std::string *error)
    {
        options_ = options;
        if (path.empty()) {
            *error = "no file name";
            return false;
        }
        if (options.read_only) {
            if (access(path.c_str(), F_OK) != 0) {
                *error = path + ": " + std::strerror(errno);
                return false;
            }
            return open_db(path, SQLITE_OPEN_READONLY, error) && readable(path, error);
        }
        if (!make_parent_dirs(path, error))
            return false;
        // Made here so it is 0600 whatever the umask: the history holds the
        // settings of every module, and sqlite would make it 0644.
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) {
            *error = std::strerror(errno);
            return false;
        }
        close(fd);
        return open_db(path, SQLITE_OPEN_READWRITE, error);
    }

    const char *kind() const override { return "sqlite"; }
    bool lost() const override { return false; }

  protected:
    bool recognized(std::string *error) override
    {
        if (options_.read_only)
            return exec("PRAGMA query_only=ON", {}, nullptr, error);
        rows_t rows;
        if (!exec("PRAGMA journal_mode=WAL", {}, &rows, error))
            return false;
        if (rows.empty() || rows[0][0] != "wal") {
            *error = "the file cannot be used in WAL mode";
            return false;
        }
        // In WAL mode NORMAL loses no committed record on a crash of the
        // program, only on one of the machine, and keeps claims fast.
        return exec("PRAGMA synchronous=NORMAL", {}, nullptr, error) &&
               exec("PRAGMA foreign_keys=ON", {}, nullptr, error);
    }

  private:
    bool open_db(const std::string &path, int flags, std::string *error)
    {
        if (sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_URI,
                            nullptr) != SQLITE_OK) {
            *error = db_ ? sqlite3_errmsg(db_) : "out of memory";
            return false;
        }
        sqlite3_busy_timeout(db_, options_.lock_timeout_ms);
        sqlite3_extended_result_codes(db_, 1);
        return true;
    }
    // A file in WAL mode is read through its shared-memory file, which a
    // reader cannot make in a directory it may not write. With no log
    // beside it waiting to be read, the file alone holds every record.
    bool readable(const std::string &path, std::string *error)
    {
        if (exec("SELECT COUNT(*) FROM sqlite_master", {}, nullptr, error))
            return true;
        struct stat st;
        if (stat((path + "-wal").c_str(), &st) == 0 && st.st_size > 0) {
            *error = "its log " + path + "-wal holds records not in the file yet; reading them " +
                     "needs a file beside it (" + *error + ")";
            return false;
        }
        for (auto &s : statements_)
            sqlite3_finalize(s.second);
        statements_.clear();
        sqlite3_close(db_);
        db_ = nullptr;
        std::string uri = "file:";
        for (unsigned char c : path)
            if (std::isalnum(c) || std::strchr("/._-~", c))
                uri += static_cast<char>(c);
            else {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%%%02X", c);
                uri += hex;
            }
        return open_db(uri + "?immutable=1", SQLITE_OPEN_READONLY, error) &&
               exec("SELECT COUNT(*) FROM sqlite_master", {}, nullptr, error);
    }

  protected:
    bool exec_each(const char *sql, const std::vector<param> &params, const row_fn &each,
                   std::string *error) override
    {
        unique_violation_ = false;
        sqlite3_stmt *st = nullptr;
        auto it = statements_.find(sql);
        if (it != statements_.end()) {
            st = it->second;
        } else {
            if (sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) != SQLITE_OK) {
                if (error)
                    *error = sqlite3_errmsg(db_);
                return false;
            }
            statements_[sql] = st;
        }
        sqlite3_reset(st);
        sqlite3_clear_bindings(st);
        for (size_t i = 0; i < params.size(); i++) {
            const int n = static_cast<int>(i + 1);
            if (params[i].null)
                sqlite3_bind_null(st, n);
            else
                sqlite3_bind_text(st, n, params[i].text.data(),
                                  static_cast<int>(params[i].text.size()), SQLITE_TRANSIENT);
        }
        const auto give_up =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.lock_timeout_ms);
        bool started = false;
        for (;;) {
            const int rc = sqlite3_step(st);
            if (rc == SQLITE_DONE)
                break;
            // Some locks are refused without the busy handler's wait: the
            // switch to WAL of a file another process is making too, a
            // read while another runs recovery. Outside a transaction the
            // statement is simply tried again; inside one, waiting could
            // deadlock, so the caller hears of it.
            if ((rc & 0xff) == SQLITE_BUSY && sqlite3_get_autocommit(db_) && !started &&
                std::chrono::steady_clock::now() < give_up) {
                sqlite3_reset(st);
                std::this_thread::sleep_for(std::chrono::milliseconds(BUSY_RETRY_MS));
                continue;
            }
            if (rc != SQLITE_ROW) {
                unique_violation_ =
                    rc == SQLITE_CONSTRAINT_UNIQUE || rc == SQLITE_CONSTRAINT_PRIMARYKEY;
                if (error)
                    *error = (rc & 0xff) == SQLITE_BUSY
                                 ? "timed out after " +
                                       std::to_string(options_.lock_timeout_ms / 1000) +
                                       " s waiting for another process: " + sqlite3_errmsg(db_)
                                 : sqlite3_errmsg(db_);
                sqlite3_reset(st);
                return false;
            }
            started = true;
            std::vector<std::string> row;
            for (int c = 0; c < sqlite3_column_count(st); c++) {
                const auto *t = sqlite3_column_text(st, c);
                row.emplace_back(t ? std::string(reinterpret_cast<const char *>(t),
                                                 static_cast<size_t>(sqlite3_column_bytes(st, c)))
                                   : std::string());
            }
            if (!each(row))
                break;
        }
        sqlite3_reset(st);
        return true;
    }
    bool begin_write(std::string *error) override
    {
        return exec("BEGIN IMMEDIATE", {}, nullptr, error);
    }
    bool commit(std::string *error) override { return exec("COMMIT", {}, nullptr, error); }
    void rollback() override
    {
        if (!sqlite3_get_autocommit(db_))
            exec("ROLLBACK", {}, nullptr, nullptr);
    }
    const char *claim_sql() const override
    {
        return "UPDATE pool_rows SET held_by = ?, held_since = ? WHERE pool = ? AND "
               "held_by IS NULL AND seq = (SELECT seq FROM pool_rows WHERE pool = ? AND "
               "held_by IS NULL ORDER BY seq LIMIT 1) RETURNING seq, vals";
    }
    // BEGIN IMMEDIATE has taken the one write lock already.
    const char *pool_lock_sql(bool) const override
    {
        return "SELECT columns, secrets FROM pools WHERE name = ?";
    }
    const char *tables_sql() const override
    {
        return "SELECT name FROM sqlite_master WHERE type = 'table'";
    }
    bool schema_lock(std::string *) override { return true; } // BEGIN IMMEDIATE holds it
    bool last_was_unique_violation() const override { return unique_violation_; }

  private:
    sqlite3 *db_ = nullptr;
    std::map<std::string, sqlite3_stmt *> statements_;
    bool unique_violation_ = false;
};

} // namespace

std::unique_ptr<store> store_open_sqlite(const std::string &path, const store_options &options,
                                         std::string *error)
{
    auto s = std::make_unique<sqlite_store>();
    if (!s->open(path, options, error))
        return nullptr;
    return s;
}
