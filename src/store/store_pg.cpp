// PostgreSQL back end through libpq: several stations share one server.
// Statements are prepared once per connection; claims skip rows another
// transaction is taking, so stations never wait on each other's rows.
#include "store.h"

#include <cstring>
#include <libpq-fe.h>
#include <map>

namespace
{

// Seconds a connect may take before the server counts as unreachable.
constexpr const char *PG_CONNECT_TIMEOUT_S = "10";

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

    bool open(const std::string &uri, std::string *error)
    {
        // The URI's own settings win over these defaults; keep-alives make a
        // server that vanished without a word (a cable pulled) fail a call
        // within seconds instead of hanging it.
        const char *keys[] = {"connect_timeout",
                              "keepalives",
                              "keepalives_idle",
                              "keepalives_interval",
                              "keepalives_count",
                              "dbname",
                              nullptr};
        const char *vals[] = {PG_CONNECT_TIMEOUT_S, "1", "5", "2", "3", uri.c_str(), nullptr};
        conn_ = PQconnectdbParams(keys, vals, 1);
        if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
            *error = conn_ ? one_line(PQerrorMessage(conn_)) : "out of memory";
            return false;
        }
        PQsetNoticeProcessor(
            conn_, [](void *, const char *) {}, nullptr);
        return true;
    }

    const char *kind() const override { return "postgresql"; }
    bool lost() const override { return !conn_ || PQstatus(conn_) != CONNECTION_OK; }

  protected:
    bool exec(const char *sql, const std::vector<param> &params, rows_t *out,
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
            PGresult *r = PQprepare(conn_, name.c_str(), number_params(sql).c_str(), 0, nullptr);
            const bool ok = r && PQresultStatus(r) == PGRES_COMMAND_OK;
            if (!ok && error)
                *error = one_line(PQerrorMessage(conn_));
            PQclear(r);
            if (!ok)
                return false;
            statements_[sql] = name;
        }
        std::vector<const char *> values;
        for (const auto &p : params)
            values.push_back(p.null ? nullptr : p.text.c_str());
        PGresult *r = PQexecPrepared(conn_, name.c_str(), static_cast<int>(values.size()),
                                     values.data(), nullptr, nullptr, 0);
        const ExecStatusType st = r ? PQresultStatus(r) : PGRES_FATAL_ERROR;
        if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
            const char *state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
            unique_violation_ = state && std::strcmp(state, "23505") == 0;
            if (error)
                *error = one_line(PQerrorMessage(conn_));
            PQclear(r);
            return false;
        }
        if (out) {
            out->clear();
            for (int i = 0; i < PQntuples(r); i++) {
                std::vector<std::string> row;
                for (int c = 0; c < PQnfields(r); c++)
                    row.emplace_back(PQgetvalue(r, i, c),
                                     static_cast<size_t>(PQgetlength(r, i, c)));
                out->push_back(std::move(row));
            }
        }
        PQclear(r);
        return true;
    }
    bool simple(const char *sql, std::string *error)
    {
        if (lost()) {
            if (error)
                *error = "the connection to the server was lost";
            return false;
        }
        PGresult *r = PQexec(conn_, sql);
        const bool ok = r && PQresultStatus(r) == PGRES_COMMAND_OK;
        if (!ok && error)
            *error = one_line(PQerrorMessage(conn_));
        PQclear(r);
        return ok;
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
    bool schema_lock(std::string *error) override
    {
        // Two stations starting on an empty database would both create the
        // tables; the second waits here and then finds them.
        rows_t rows;
        return exec("SELECT pg_advisory_xact_lock(?)", {param(0x6d6f64L)}, &rows, error);
    }
    bool last_was_unique_violation() const override { return unique_violation_; }

  private:
    PGconn *conn_ = nullptr;
    std::map<std::string, std::string> statements_;
    bool unique_violation_ = false;
};

} // namespace

std::unique_ptr<store> store_open_pg(const std::string &uri, std::string *error)
{
    auto s = std::make_unique<pg_store>();
    if (!s->open(uri, error))
        return nullptr;
    return s;
}
