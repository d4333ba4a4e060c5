// PostgreSQL back end through libpq: several stations share one server.
// Statements are prepared once per connection; claims skip rows another
// transaction is taking, so stations never wait on each other's rows.
#include "store.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <libpq-fe.h>
#include <map>
#include <poll.h>

namespace
{

// Seconds a connect may take before the server counts as unreachable.
constexpr const char *PG_CONNECT_TIMEOUT_S = "10";
// How much longer than the statement time-out a server may stay silent
// before the connection counts as lost (the server cancels first), ms.
constexpr int PG_ANSWER_MARGIN_MS = 5000;

// "?" placeholders as PostgreSQL numbers them ("$1", "$2", ...). The SQL is
// this program's own and holds no "?" in a literal.
std::string number_params(const char *sql)
{
    std::string out;
    int n = 0;
    for (const char *p = sql; *p; p++) {
        if (*p == '?')
            out += "$" + std::to_string(++n);
        else
            out += *p;
    }
    return out;
}

std::string one_line(const char *text)
{
    std::string s = text ? text : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    for (auto &c : s)
        if (c == '\n')
            c = ' ';
    return s.empty() ? "unknown error" : s;
}

class pg_store : public store
{
  public:
    ~pg_store() override
    {
        if (conn_)
            PQfinish(conn_);
    }

    bool open(const std::string &uri, const store_options &options, std::string *error)
    {
        options_ = options;
        uri_ = uri;
        // The URI's own settings win over these defaults. Keep-alives and
        // the TCP user time-out make a server that vanished without a word
        // (a cable pulled) fail a call within seconds instead of hanging it.
        const char *keys[] = {
            "connect_timeout",  "keepalives",       "keepalives_idle", "keepalives_interval",
            "keepalives_count", "tcp_user_timeout", "dbname",          nullptr};
        const char *vals[] = {PG_CONNECT_TIMEOUT_S, "1",    "5", "2", "3", "20000",
                              uri.c_str(),          nullptr};
        conn_ = PQconnectdbParams(keys, vals, 1);
        if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
            *error = conn_ ? message(PQerrorMessage(conn_)) : "out of memory";
            return false;
        }
        PQsetNoticeProcessor(
            conn_, [](void *, const char *) {}, nullptr);
        // The server bounds every statement itself; a server that stops
        // answering altogether is bounded by the wait in next_result.
        rows_t rows;
        return exec("SELECT set_config('lock_timeout', ?, false), "
                    "set_config('statement_timeout', ?, false)",
                    {std::to_string(options.lock_timeout_ms),
                     std::to_string(options.statement_timeout_ms)},
                    &rows, error) &&
               (!options.read_only ||
                exec("SELECT set_config('default_transaction_read_only', 'on', false)", {}, &rows,
                     error));
    }

    const char *kind() const override { return "postgresql"; }
    bool lost() const override { return !conn_ || PQstatus(conn_) != CONNECTION_OK; }

  protected:
    bool exec_each(const char *sql, const std::vector<param> &params, const row_fn &each,
                   std::string *error) override
    {
        unique_violation_ = false;
        if (lost()) {
            if (error)
                *error = "the connection to the server was lost";
            return false;
        }
        auto it = statements_.find(sql);
        std::string name;
        if (it != statements_.end()) {
            name = it->second;
        } else {
            name = "s" + std::to_string(statements_.size() + 1);
            if (!PQsendPrepare(conn_, name.c_str(), number_params(sql).c_str(), 0, nullptr)) {
                if (error)
                    *error = message(PQerrorMessage(conn_));
                return false;
            }
            if (!results(nullptr, error))
                return false;
            statements_[sql] = name;
        }
        std::vector<const char *> values;
        for (const auto &p : params)
            values.push_back(p.null ? nullptr : p.text.c_str());
        if (!PQsendQueryPrepared(conn_, name.c_str(), static_cast<int>(values.size()),
                                 values.data(), nullptr, nullptr, 0)) {
            if (error)
                *error = message(PQerrorMessage(conn_));
            return false;
        }
        // Row by row: a long history is never held whole in memory.
        PQsetSingleRowMode(conn_);
        return results(&each, error);
    }
    bool simple(const char *sql, std::string *error)
    {
        if (lost()) {
            if (error)
                *error = "the connection to the server was lost";
            return false;
        }
        if (!PQsendQuery(conn_, sql)) {
            if (error)
                *error = message(PQerrorMessage(conn_));
            return false;
        }
        return results(nullptr, error);
    }
    bool begin_write(std::string *error) override { return simple("BEGIN", error); }
    bool commit(std::string *error) override { return simple("COMMIT", error); }
    void rollback() override
    {
        if (!lost() && PQtransactionStatus(conn_) != PQTRANS_IDLE)
            simple("ROLLBACK", nullptr);
    }
    const char *claim_sql() const override
    {
        return "UPDATE pool_rows SET held_by = ?, held_since = ? WHERE pool = ? AND "
               "held_by IS NULL AND seq = (SELECT seq FROM pool_rows WHERE pool = ? AND "
               "held_by IS NULL ORDER BY seq LIMIT 1 FOR UPDATE SKIP LOCKED) "
               "RETURNING seq, vals";
    }
    // Claims share the lock among themselves; an import has it alone.
    const char *pool_lock_sql(bool exclusive) const override
    {
        return exclusive ? "SELECT columns, secrets FROM pools WHERE name = ? FOR UPDATE"
                         : "SELECT columns, secrets FROM pools WHERE name = ? FOR KEY SHARE";
    }
    const char *tables_sql() const override
    {
        return "SELECT table_name FROM information_schema.tables "
               "WHERE table_schema = current_schema()";
    }
    bool schema_lock(std::string *error) override
    {
        // Two stations starting on an empty database would both create the
        // tables; the second waits here and then finds them.
        rows_t rows;
        return exec("SELECT pg_advisory_xact_lock(?)", {param(0x6d6f64L)}, &rows, error);
    }
    bool last_was_unique_violation() const override { return unique_violation_; }

  private:
    std::string message(const char *text) const { return store_mask_secrets(uri_, one_line(text)); }
    // Waits for the next result of the statement sent; false when the
    // server sent nothing for longer than any statement may take: the
    // connection is dropped then, so that no later call waits as well.
    bool next_result(PGresult **out, std::string *error)
    {
        const int limit_ms = options_.statement_timeout_ms + PG_ANSWER_MARGIN_MS;
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
        while (PQisBusy(conn_)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  give_up - std::chrono::steady_clock::now())
                                  .count();
            pollfd p = {PQsocket(conn_), POLLIN, 0};
            const int n = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
            if (n < 0 && errno == EINTR)
                continue;
            if (n == 0) {
                PQfinish(conn_);
                conn_ = nullptr;
                if (error)
                    *error = "timed out: the server sent nothing for " +
                             std::to_string(limit_ms / 1000) + " s";
                return false;
            }
            if (!PQconsumeInput(conn_)) {
                if (error)
                    *error = message(PQerrorMessage(conn_));
                return false;
            }
        }
        *out = PQgetResult(conn_);
        return true;
    }
    // Reads every result of the statement sent, rows to `each`; the first
    // failure is the one told.
    bool results(const row_fn *each, std::string *error)
    {
        bool ok = true, wanted = each != nullptr;
        for (;;) {
            PGresult *r = nullptr;
            if (!next_result(&r, error))
                return false;
            if (!r)
                break;
            const ExecStatusType st = PQresultStatus(r);
            if (st == PGRES_SINGLE_TUPLE || st == PGRES_TUPLES_OK) {
                for (int i = 0; wanted && i < PQntuples(r); i++) {
                    std::vector<std::string> row;
                    for (int c = 0; c < PQnfields(r); c++)
                        row.emplace_back(PQgetvalue(r, i, c),
                                         static_cast<size_t>(PQgetlength(r, i, c)));
                    wanted = (*each)(row);
                }
            } else if (st != PGRES_COMMAND_OK && ok) {
                ok = false;
                const char *state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
                unique_violation_ = state && std::strcmp(state, "23505") == 0;
                // Lock and statement time-outs: the bound was reached.
                const bool timed_out =
                    state && (std::strcmp(state, "55P03") == 0 || std::strcmp(state, "57014") == 0);
                if (error)
                    *error = (timed_out ? "timed out: " : "") + message(PQresultErrorMessage(r));
            }
            PQclear(r);
        }
        if (ok && lost()) {
            ok = false;
            if (error)
                *error = message(PQerrorMessage(conn_));
        }
        return ok;
    }

    PGconn *conn_ = nullptr;
    std::string uri_;
    std::map<std::string, std::string> statements_;
    bool unique_violation_ = false;
};

} // namespace

std::unique_ptr<store> store_open_pg(const std::string &uri, const store_options &options,
                                     std::string *error)
{
    auto s = std::make_unique<pg_store>();
    if (!s->open(uri, options, error))
        return nullptr;
    return s;
}
