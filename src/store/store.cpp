// What both back ends share: the schema and its version, pools, claims and
// history, as statements with bound parameters.
#include "store.h"

#include "store_csv.h"

#include <ctime>
#include <sys/time.h>

std::unique_ptr<store> store_open_sqlite(const std::string &path, std::string *error);
std::unique_ptr<store> store_open_pg(const std::string &uri, std::string *error);

namespace
{

// Statements that take a schema of version i-1 to version i; the first
// makes it from nothing. Written in the SQL both engines speak.
const char *const schema_steps[][6] = {
    {"CREATE TABLE IF NOT EXISTS pools (name TEXT PRIMARY KEY, columns TEXT NOT NULL, "
     "created TEXT NOT NULL)",
     "CREATE TABLE IF NOT EXISTS pool_rows (pool TEXT NOT NULL REFERENCES pools(name), "
     "seq INTEGER NOT NULL, vals TEXT NOT NULL, held_by TEXT, held_since TEXT, "
     "last_result TEXT, PRIMARY KEY (pool, seq), UNIQUE (pool, held_by))",
     "CREATE TABLE IF NOT EXISTS history (id TEXT PRIMARY KEY, time TEXT NOT NULL, "
     "station TEXT, tool_version TEXT, port TEXT, adapter TEXT, mid TEXT, firmware TEXT, "
     "file TEXT, file_sha256 TEXT, pool TEXT, seq INTEGER, result TEXT, "
     "seconds DOUBLE PRECISION, restarted INTEGER, settings TEXT, note TEXT)",
     "CREATE INDEX IF NOT EXISTS history_mid_time ON history (mid, time)",
     "CREATE INDEX IF NOT EXISTS history_time ON history (time)", nullptr},
};
static_assert(sizeof schema_steps / sizeof schema_steps[0] == STORE_SCHEMA_VERSION,
              "one step per schema version");

std::vector<std::string> split_line(const std::string &line)
{
    std::vector<std::vector<std::string>> recs;
    if (!csv_parse(line, recs, nullptr) || recs.empty())
        return {};
    return recs[0];
}

const char history_columns[] =
    "id, time, station, tool_version, port, adapter, mid, firmware, file, file_sha256, pool, "
    "seq, result, seconds, restarted, settings, note";

} // namespace

std::string store_now()
{
    timeval tv;
    gettimeofday(&tv, nullptr);
    tm t;
    gmtime_r(&tv.tv_sec, &t);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                  static_cast<long>(tv.tv_usec));
    return buf;
}

std::string store_url_shown(const std::string &url)
{
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos)
        return url;
    const size_t at = url.find('@', scheme + 3);
    const size_t slash = url.find('/', scheme + 3);
    if (at == std::string::npos || (slash != std::string::npos && slash < at))
        return url;
    const size_t colon = url.find(':', scheme + 3);
    if (colon == std::string::npos || colon > at)
        return url;
    return url.substr(0, colon + 1) + "***" + url.substr(at);
}

std::unique_ptr<store> store_open(const std::string &url, std::string *error)
{
    std::unique_ptr<store> s;
    if (url.compare(0, 13, "postgresql://") == 0 || url.compare(0, 11, "postgres://") == 0)
        s = store_open_pg(url, error);
    else if (url.compare(0, 7, "sqlite:") == 0)
        s = store_open_sqlite(url.substr(7), error);
    else if (url.find("://") != std::string::npos) {
        *error = "not a database this program knows (postgresql://... or a file)";
        return nullptr;
    } else
        s = store_open_sqlite(url, error);
    if (s && !s->schema_prepare(error))
        s.reset();
    return s;
}

bool store::schema_prepare(std::string *error)
{
    // Most opens find the schema current: a read, no write lock.
    rows_t rows;
    if (exec("SELECT version FROM modcfg_schema", {}, &rows, nullptr) && rows.size() == 1 &&
        std::atol(rows[0][0].c_str()) == STORE_SCHEMA_VERSION)
        return true;
    if (!begin_write(error))
        return false;
    if (!schema_lock(error) ||
        !exec("CREATE TABLE IF NOT EXISTS modcfg_schema (version INTEGER NOT NULL)", {}, nullptr,
              error) ||
        !exec("SELECT version FROM modcfg_schema", {}, &rows, error)) {
        rollback();
        return false;
    }
    long version = rows.empty() ? 0 : std::atol(rows[0][0].c_str());
    if (version > STORE_SCHEMA_VERSION) {
        rollback();
        *error = "its schema is version " + std::to_string(version) + ", newer than this " +
                 "program's (" + std::to_string(STORE_SCHEMA_VERSION) + "): use a newer modcfg";
        return false;
    }
    for (; version < STORE_SCHEMA_VERSION; version++)
        for (const char *const *sql = schema_steps[version]; *sql; sql++)
            if (!exec(*sql, {}, nullptr, error)) {
                rollback();
                return false;
            }
    const bool ok = (rows.empty() ? exec("INSERT INTO modcfg_schema (version) VALUES (?)",
                                         {STORE_SCHEMA_VERSION * 1L}, nullptr, error)
                                  : exec("UPDATE modcfg_schema SET version = ?",
                                         {STORE_SCHEMA_VERSION * 1L}, nullptr, error)) &&
                    commit(error);
    if (!ok)
        rollback();
    return ok;
}

store_status store::pool_import(const std::string &pool, const std::vector<std::string> &columns,
                                const std::vector<store_row> &rows, std::string *error)
{
    if (!begin_write(error))
        return store_status::failed;
    auto fail = [&]() {
        rollback();
        return store_status::failed;
    };
    auto refuse = [&](const std::string &why) {
        rollback();
        *error = why;
        return store_status::refused;
    };
    rows_t found;
    if (!exec("SELECT columns FROM pools WHERE name = ?", {pool}, &found, error))
        return fail();
    if (found.empty()) {
        if (!exec("INSERT INTO pools (name, columns, created) VALUES (?, ?, ?)",
                  {pool, csv_line(columns), store_now()}, nullptr, error))
            return fail();
    } else if (split_line(found[0][0]) != columns) {
        return refuse("pool " + pool + " has the columns " + found[0][0] + ", the file has others");
    }
    rows_t have;
    if (!exec("SELECT seq, vals, held_by, held_since FROM pool_rows WHERE pool = ? ORDER BY seq",
              {pool}, &have, error))
        return fail();
    for (const auto &h : have) {
        const long seq = std::atol(h[0].c_str());
        const bool taken = !h[3].empty();
        const store_row *now = seq <= static_cast<long>(rows.size()) ? &rows[seq - 1] : nullptr;
        // A free row that a module took names its MID only here.
        if (now && csv_line(now->values) == h[1] &&
            (now->held_by == h[2] || (now->held_by.empty() && taken)))
            continue;
        const std::string name =
            "row " + std::to_string(seq) + (taken ? " (held by " + h[2] + ")" : "");
        if (taken)
            return refuse(name + (now ? " is changed" : " is missing") +
                          " in the file, but a module holds it");
        const bool ok =
            now ? exec("UPDATE pool_rows SET vals = ?, held_by = ? WHERE pool = ? AND seq = ?",
                       {csv_line(now->values),
                        now->held_by.empty() ? param::null_value() : param(now->held_by), pool,
                        seq},
                       nullptr, error)
                : exec("DELETE FROM pool_rows WHERE pool = ? AND seq = ?", {pool, seq}, nullptr,
                       error);
        if (!ok)
            return last_was_unique_violation() ? refuse(name + ": its MID has another row")
                                               : fail();
    }
    for (size_t i = have.size(); i < rows.size(); i++) {
        const store_row &r = rows[i];
        if (!exec("INSERT INTO pool_rows (pool, seq, vals, held_by) VALUES (?, ?, ?, ?)",
                  {pool, static_cast<long>(i + 1), csv_line(r.values),
                   r.held_by.empty() ? param::null_value() : param(r.held_by)},
                  nullptr, error))
            return last_was_unique_violation() ? refuse("row " + std::to_string(i + 1) + ": MID " +
                                                        r.held_by + " has another row")
                                               : fail();
    }
    return commit(error) ? store_status::ok : fail();
}

store_status store::pool_get(const std::string &pool, std::vector<std::string> *columns,
                             std::vector<store_row> *rows, std::string *error)
{
    rows_t found;
    if (!exec("SELECT columns FROM pools WHERE name = ?", {pool}, &found, error))
        return store_status::failed;
    if (found.empty()) {
        *error = "no pool named " + pool;
        return store_status::refused;
    }
    *columns = split_line(found[0][0]);
    rows_t have;
    if (!exec("SELECT seq, vals, held_by, held_since, last_result FROM pool_rows "
              "WHERE pool = ? ORDER BY seq",
              {pool}, &have, error))
        return store_status::failed;
    rows->clear();
    for (const auto &h : have) {
        store_row r;
        r.seq = std::atol(h[0].c_str());
        r.values = split_line(h[1]);
        r.values.resize(columns->size());
        r.held_by = h[2];
        r.held_since = h[3];
        r.last_result = h[4];
        rows->push_back(r);
    }
    return store_status::ok;
}

bool store::pool_list(std::vector<store_pool_info> *pools, std::string *error)
{
    rows_t found;
    if (!exec("SELECT p.name, p.columns, p.created, COUNT(r.seq), COUNT(r.held_since), "
              "SUM(CASE WHEN r.seq IS NOT NULL AND r.held_by IS NULL THEN 1 ELSE 0 END) "
              "FROM pools p LEFT JOIN pool_rows r ON r.pool = p.name "
              "GROUP BY p.name, p.columns, p.created ORDER BY p.name",
              {}, &found, error))
        return false;
    pools->clear();
    for (const auto &f : found) {
        store_pool_info p;
        p.name = f[0];
        p.columns = split_line(f[1]);
        p.created = f[2];
        p.rows = std::atol(f[3].c_str());
        p.held = std::atol(f[4].c_str());
        p.free = std::atol(f[5].c_str());
        pools->push_back(p);
    }
    return true;
}

store_claim store::pool_claim(const std::string &pool, const std::string &mid, store_row *row,
                              std::string *error)
{
    // A unique (pool, held_by) makes a second row for one module impossible;
    // should two claims for one MID race, the loser finds the winner's row.
    for (int attempt = 0; attempt < 3; attempt++) {
        if (!begin_write(error))
            return store_claim::failed;
        rows_t got;
        if (!exec("SELECT seq, vals, held_since FROM pool_rows WHERE pool = ? AND held_by = ?",
                  {pool, mid}, &got, error)) {
            rollback();
            return store_claim::failed;
        }
        const std::string now = store_now();
        if (!got.empty()) {
            if (got[0][2].empty() &&
                !exec("UPDATE pool_rows SET held_since = ? WHERE pool = ? AND seq = ?",
                      {now, pool, std::atol(got[0][0].c_str())}, nullptr, error)) {
                rollback();
                return store_claim::failed;
            }
        } else if (!exec(claim_sql(), {mid, now, pool, pool}, &got, error)) {
            rollback();
            if (last_was_unique_violation())
                continue;
            return store_claim::failed;
        }
        if (!commit(error)) {
            rollback();
            return store_claim::failed;
        }
        if (got.empty())
            return store_claim::none;
        row->seq = std::atol(got[0][0].c_str());
        row->values = split_line(got[0][1]);
        row->held_by = mid;
        row->held_since = got[0].size() > 2 && !got[0][2].empty() ? got[0][2] : now;
        return store_claim::got;
    }
    *error = "the row of MID " + mid + " is contended";
    return store_claim::failed;
}

bool store::pool_set_result(const std::string &pool, long seq, const std::string &result,
                            std::string *error)
{
    if (!begin_write(error))
        return false;
    if (!exec("UPDATE pool_rows SET last_result = ? WHERE pool = ? AND seq = ?",
              {result, pool, seq}, nullptr, error) ||
        !commit(error)) {
        rollback();
        return false;
    }
    return true;
}

bool store::history_add(const store_record &r, std::string *error)
{
    if (!begin_write(error))
        return false;
    char secs[32];
    std::snprintf(secs, sizeof secs, "%.3f", r.seconds);
    const std::string sql = std::string("INSERT INTO history (") + history_columns +
                            ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
                            "ON CONFLICT (id) DO NOTHING";
    const std::vector<param> p = {r.id,
                                  r.time,
                                  r.station,
                                  r.tool_version,
                                  r.port,
                                  r.adapter,
                                  r.mid,
                                  r.firmware,
                                  r.file,
                                  r.file_sha256,
                                  r.pool.empty() ? param::null_value() : param(r.pool),
                                  r.seq > 0 ? param(r.seq) : param::null_value(),
                                  r.result,
                                  param(secs),
                                  param(r.restarted ? 1L : 0L),
                                  r.settings,
                                  r.note};
    if (!exec(sql.c_str(), p, nullptr, error) || !commit(error)) {
        rollback();
        return false;
    }
    return true;
}

bool store::history_list(const std::string &mid, const std::string &since,
                         std::vector<store_record> *out, std::string *error)
{
    const std::string sql = std::string("SELECT ") + history_columns +
                            " FROM history WHERE (? = '' OR mid = ?) AND time >= ? "
                            "ORDER BY time DESC, id DESC";
    rows_t found;
    if (!exec(sql.c_str(), {mid, mid, since}, &found, error))
        return false;
    out->clear();
    for (const auto &f : found) {
        store_record r;
        r.id = f[0];
        r.time = f[1];
        r.station = f[2];
        r.tool_version = f[3];
        r.port = f[4];
        r.adapter = f[5];
        r.mid = f[6];
        r.firmware = f[7];
        r.file = f[8];
        r.file_sha256 = f[9];
        r.pool = f[10];
        r.seq = std::atol(f[11].c_str());
        r.result = f[12];
        r.seconds = std::atof(f[13].c_str());
        r.restarted = std::atol(f[14].c_str()) != 0;
        r.settings = f[15];
        r.note = f[16];
        out->push_back(r);
    }
    return true;
}

bool store::history_remove(const std::string &id, std::string *error)
{
    if (!begin_write(error))
        return false;
    if (!exec("DELETE FROM history WHERE id = ?", {id}, nullptr, error) || !commit(error)) {
        rollback();
        return false;
    }
    return true;
}
