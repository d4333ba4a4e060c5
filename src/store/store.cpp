// What both back ends share: the schema and its version, pools, claims and
// history, as statements with bound parameters.
#include "store.h"

#include "store_csv.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <libpq-fe.h>
#include <map>
#include <set>
#include <sys/time.h>
#include <unistd.h>

std::unique_ptr<store> store_open_sqlite(const std::string &path, const store_options &options,
                                         std::string *error);
std::unique_ptr<store> store_open_pg(const std::string &uri, const store_options &options,
                                     std::string *error);

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
    // Columns of a pool shown masked; when the row's last result was begun.
    {"ALTER TABLE pools ADD COLUMN secrets TEXT", "ALTER TABLE pool_rows ADD COLUMN last_time TEXT",
     nullptr},
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

namespace
{

void replace_all(std::string &text, const std::string &what, const std::string &with)
{
    if (what.empty())
        return;
    for (size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
}

std::string percent_decoded(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '%' && i + 2 < s.size() &&
            std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The value after each "password=" in `text` (up to a separator).
std::vector<std::string> password_values(const std::string &text)
{
    std::vector<std::string> out;
    for (size_t at = text.find("password="); at != std::string::npos;
         at = text.find("password=", at + 1)) {
        size_t from = at + 9, to = from;
        if (from < text.size() && (text[from] == '\'' || text[from] == '"')) {
            const char quote = text[from++];
            to = text.find(quote, from);
            if (to == std::string::npos)
                to = text.size();
        } else {
            to = text.find_first_of("& \t\n\"'", from);
            if (to == std::string::npos)
                to = text.size();
        }
        out.push_back(text.substr(from, to - from));
    }
    return out;
}

} // namespace

std::string store_mask_secrets(const std::string &url, const std::string &text)
{
    // libpq's own messages repeat the URL, or parts of it, after whatever it
    // masked itself; so every spelling of the password goes, wherever it is.
    std::vector<std::string> secrets = password_values(url);
    const size_t scheme = url.find("://");
    if (scheme != std::string::npos) {
        // The user part ends at the last '@' before the query: a password
        // may hold '/' (which libpq then reads as a path) or a bad '%'.
        const size_t query = url.find('?', scheme + 3);
        const size_t at = url.rfind('@', query == std::string::npos ? url.size() : query);
        if (at != std::string::npos && at > scheme) {
            const std::string user = url.substr(scheme + 3, at - scheme - 3);
            const size_t colon = user.find(':');
            if (colon != std::string::npos)
                secrets.push_back(user.substr(colon + 1));
        }
    }
    for (size_t i = 0, n = secrets.size(); i < n; i++)
        secrets.push_back(percent_decoded(secrets[i]));
    // libpq reads a password holding '/' or '@' as host, port or database
    // name, and names those parts in its messages.
    for (size_t i = 0, n = secrets.size(); i < n; i++)
        for (size_t from = 0, to; from < secrets[i].size(); from = to + 1) {
            to = secrets[i].find_first_of("/@", from);
            if (to == std::string::npos)
                to = secrets[i].size();
            if (from > 0 || to < secrets[i].size())
                secrets.push_back(secrets[i].substr(from, to - from));
        }
    for (const auto &v : password_values(text))
        secrets.push_back(v);
    // Longest first, so that a part of a password never leaves the rest.
    std::sort(secrets.begin(), secrets.end(),
              [](const std::string &a, const std::string &b) { return a.size() > b.size(); });
    std::string out = text;
    for (const auto &secret : secrets)
        if (!secret.empty() && secret != "***")
            replace_all(out, secret, "***");
    return out;
}

std::string store_url_shown(const std::string &url)
{
    return store_mask_secrets(url, url);
}

namespace
{

bool is_pg_url(const std::string &url)
{
    return url.compare(0, 13, "postgresql://") == 0 || url.compare(0, 11, "postgres://") == 0;
}

std::string absolute_path(const std::string &path)
{
    char *real = realpath(path.c_str(), nullptr);
    if (real) {
        std::string out = real;
        free(real);
        return out;
    }
    // A file not made yet: its directory's real path and its name.
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + (slash == 0));
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    real = realpath(dir.c_str(), nullptr);
    if (real) {
        std::string out = real;
        free(real);
        return (out == "/" ? "" : out) + "/" + name;
    }
    if (!path.empty() && path[0] == '/')
        return path;
    char *cwd = getcwd(nullptr, 0);
    std::string out = std::string(cwd ? cwd : ".") + "/" + path;
    free(cwd);
    return out;
}

} // namespace

std::string store_identity(const std::string &url)
{
    if (!is_pg_url(url))
        return "sqlite:" + absolute_path(url.compare(0, 7, "sqlite:") == 0 ? url.substr(7) : url);
    char *err = nullptr;
    PQconninfoOption *given = PQconninfoParse(url.c_str(), &err);
    PQfreemem(err);
    if (!given)
        return "postgresql:" + store_url_shown(url);
    PQconninfoOption *defaults = PQconndefaults();
    auto value = [&](const char *key) {
        for (auto *o = given; o->keyword; o++)
            if (std::strcmp(o->keyword, key) == 0 && o->val && *o->val)
                return std::string(o->val);
        for (auto *o = defaults; o && o->keyword; o++)
            if (std::strcmp(o->keyword, key) == 0 && o->val && *o->val)
                return std::string(o->val);
        return std::string();
    };
    const std::string service = value("service");
    std::string host = value("host");
    if (host.empty())
        host = value("hostaddr");
    const std::string user = value("user");
    std::string db = value("dbname");
    if (db.empty())
        db = user;
    std::string id =
        "postgresql:host=" + host + " port=" + value("port") + " dbname=" + db + " user=" + user;
    if (!service.empty())
        id += " service=" + service;
    PQconninfoFree(given);
    PQconninfoFree(defaults);
    return store_mask_secrets(url, id);
}

std::unique_ptr<store> store_open(const std::string &url, std::string *error)
{
    return store_open(url, store_options(), error);
}

std::unique_ptr<store> store_open(const std::string &url, const store_options &options,
                                  std::string *error)
{
    std::unique_ptr<store> s;
    if (is_pg_url(url))
        s = store_open_pg(url, options, error);
    else if (url.compare(0, 7, "sqlite:") == 0)
        s = store_open_sqlite(url.substr(7), options, error);
    else if (url.find("://") != std::string::npos) {
        *error = "not a database this program knows (postgresql://... or a file)";
        return nullptr;
    } else
        s = store_open_sqlite(url, options, error);
    if (s) {
        s->options_ = options;
        if (!s->recognize(error) || !s->recognized(error) || !s->schema_prepare(error))
            s.reset();
    }
    if (!s)
        *error = store_mask_secrets(url, *error);
    return s;
}

bool store::exec(const char *sql, const std::vector<param> &params, rows_t *out, std::string *error)
{
    if (out)
        out->clear();
    return exec_each(
        sql, params,
        [out](std::vector<std::string> &row) {
            if (out)
                out->push_back(std::move(row));
            return true;
        },
        error);
}

bool store::recognize(std::string *error)
{
    rows_t tables;
    if (!exec(tables_sql(), {}, &tables, error))
        return false;
    for (const auto &t : tables)
        if (t[0] == "modcfg_schema")
            return true;
    if (!tables.empty()) {
        *error = "not a modcfg database (it holds other tables)";
        return false;
    }
    if (options_.read_only) {
        *error = "not a modcfg database yet (it is empty)";
        return false;
    }
    return true;
}

bool store::schema_prepare(std::string *error)
{
    // Most opens find the schema current: a read, no write lock.
    rows_t rows;
    if (exec("SELECT version FROM modcfg_schema", {}, &rows, nullptr) && rows.size() == 1 &&
        std::atol(rows[0][0].c_str()) == STORE_SCHEMA_VERSION)
        return true;
    if (options_.read_only) {
        const long version = rows.size() == 1 ? std::atol(rows[0][0].c_str()) : 0;
        *error = "its schema is version " + std::to_string(version) + ", not this program's (" +
                 std::to_string(STORE_SCHEMA_VERSION) + ")" +
                 (version < STORE_SCHEMA_VERSION ? ": open it once for writing to upgrade it"
                                                 : ": use a newer modcfg");
        return false;
    }
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

namespace
{

bool all_empty(const store_row &r)
{
    for (const auto &v : r.values)
        if (!v.empty())
            return false;
    return r.held_by.empty();
}

std::string bytes_over(const std::string &where, size_t n)
{
    return where + ": " + std::to_string(n) + " bytes, more than " +
           std::to_string(STORE_CELL_MAX) + " (a cell's limit)";
}

} // namespace

store_status store::pool_import(const std::string &pool, const std::vector<std::string> &columns,
                                const std::vector<store_row> &rows,
                                const store_import_options &options, std::string *error)
{
    auto name_of = [&](size_t i) {
        return "row " + std::to_string(rows[i].seq > 0 ? rows[i].seq : static_cast<long>(i + 1));
    };
    // What needs no database first.
    for (const auto &c : columns)
        if (c.size() > STORE_CELL_MAX) {
            *error = bytes_over("header, column " + c.substr(0, 20) + "...", c.size());
            return store_status::refused;
        }
    for (size_t i = 0; i < rows.size(); i++) {
        const store_row &r = rows[i];
        for (size_t c = 0; c < r.values.size(); c++)
            if (r.values[c].size() > STORE_CELL_MAX) {
                *error = bytes_over(name_of(i) + ", column " +
                                        (c < columns.size() ? columns[c] : std::to_string(c + 1)),
                                    r.values[c].size());
                return store_status::refused;
            }
        if (r.held_by.size() > STORE_CELL_MAX) {
            *error = bytes_over(name_of(i) + ", column MID", r.held_by.size());
            return store_status::refused;
        }
        if (all_empty(r)) {
            *error = name_of(i) + ": every cell is empty";
            return store_status::refused;
        }
    }
    // The last row this import can know of: rows after it were appended by
    // another import that committed while this one waited for the pool.
    rows_t seen;
    if (!exec("SELECT COALESCE(MAX(seq), 0) FROM pool_rows WHERE pool = ?", {pool}, &seen, error))
        return store_status::failed;
    const long seen_seq = seen.empty() ? 0 : std::atol(seen[0][0].c_str());

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
    // Two imports of a new pool: the second waits here for the first's row.
    rows_t found;
    if (!exec("INSERT INTO pools (name, columns, created, secrets) VALUES (?, ?, ?, ?) "
              "ON CONFLICT (name) DO NOTHING",
              {pool, csv_line(columns), store_now(), csv_line(options.secret_columns)}, nullptr,
              error) ||
        !exec(pool_lock_sql(true), {pool}, &found, error))
        return fail();
    if (found.empty()) // removed by hand meanwhile
        return refuse("pool " + pool + " is gone");
    if (split_line(found[0][0]) != columns)
        return refuse("pool " + pool + " has the columns " + found[0][0] + ", the file has others");
    rows_t have;
    if (!exec("SELECT seq, vals, held_by, held_since, last_result, last_time FROM pool_rows "
              "WHERE pool = ? ORDER BY seq",
              {pool}, &have, error))
        return fail();

    // The pool as this import leaves it, each row with its name in messages.
    std::vector<store_row> after;
    std::vector<std::string> names;
    std::vector<long> updates, removes; // seqs, and the file row of an update
    std::map<long, size_t> update_from;
    std::vector<size_t> inserts; // rows of `after`
    std::set<long> present;
    auto stored = [](const std::vector<std::string> &h) {
        store_row r;
        r.seq = std::atol(h[0].c_str());
        r.values = split_line(h[1]);
        r.held_by = h[2];
        r.held_since = h[3];
        r.last_result = h[4];
        r.last_time = h[5];
        return r;
    };
    // A free row that a module took names its MID only in the database.
    auto same = [](const store_row &file, const std::vector<std::string> &h) {
        return csv_line(file.values) == h[1] &&
               (file.held_by == h[2] || (file.held_by.empty() && !h[3].empty()));
    };
    std::vector<const std::vector<std::string> *> meanwhile;
    long last_seq = 0;
    for (const auto &h : have) {
        const long seq = std::atol(h[0].c_str());
        last_seq = std::max(last_seq, seq);
        present.insert(seq);
        if (seq > seen_seq) {
            meanwhile.push_back(&h);
            continue;
        }
        const bool taken = !h[3].empty();
        const size_t i = static_cast<size_t>(seq - 1);
        const store_row *now = i < rows.size() ? &rows[i] : nullptr;
        if (now && same(*now, h)) {
            after.push_back(stored(h));
            names.push_back(name_of(i));
            continue;
        }
        const std::string name =
            "row " + std::to_string(seq) + (taken ? " (held by " + h[2] + ")" : "");
        if (taken)
            return refuse(name + (now ? " is changed" : " is missing") +
                          " in the file, but a module holds it");
        if (now) {
            store_row r = *now;
            r.seq = seq;
            after.push_back(r);
            names.push_back(name_of(i));
            updates.push_back(seq);
            update_from[seq] = i;
        } else {
            removes.push_back(seq);
        }
    }
    // A gap left by a row removed while another import appended.
    for (size_t k = 0; k < rows.size() && static_cast<long>(k) < seen_seq; k++)
        if (!present.count(static_cast<long>(k + 1))) {
            store_row r = rows[k];
            r.seq = static_cast<long>(k + 1);
            inserts.push_back(after.size());
            after.push_back(r);
            names.push_back(name_of(k));
        }
    // Rows appended meanwhile stay; this file's new rows found among them,
    // in order (the same file imported twice at once), are not added again.
    size_t i = static_cast<size_t>(std::max(seen_seq, 0L));
    for (const auto *h : meanwhile) {
        after.push_back(stored(*h));
        names.push_back("row " + (*h)[0]);
        if (i < rows.size() && same(rows[i], *h))
            names.back() = name_of(i++);
    }
    for (; i < rows.size(); i++) {
        store_row r = rows[i];
        r.seq = ++last_seq;
        inserts.push_back(after.size());
        after.push_back(r);
        names.push_back(name_of(i));
    }
    std::set<std::string> mids;
    for (size_t k = 0; k < after.size(); k++)
        if (!after[k].held_by.empty() && !mids.insert(after[k].held_by).second)
            return refuse(names[k] + ": MID " + after[k].held_by + " has another row");
    if (options.check) {
        std::vector<store_row> in_order = after;
        std::sort(in_order.begin(), in_order.end(),
                  [](const store_row &a, const store_row &b) { return a.seq < b.seq; });
        if (!options.check(columns, in_order, error)) {
            rollback();
            return store_status::refused;
        }
    }

    // Every check passed: the writes. Rows that change their MID let go of
    // it first, so that MIDs moving between rows never meet twice.
    auto claimed_meanwhile = [&](long seq) {
        return refuse("row " + std::to_string(seq) +
                      " was taken by a module while importing; it is held now");
    };
    rows_t done;
    for (long seq : updates)
        if (!exec("UPDATE pool_rows SET held_by = NULL WHERE pool = ? AND seq = ? AND "
                  "held_since IS NULL RETURNING seq",
                  {pool, seq}, &done, error))
            return fail();
        else if (done.empty())
            return claimed_meanwhile(seq);
    for (long seq : removes)
        if (!exec("DELETE FROM pool_rows WHERE pool = ? AND seq = ? AND held_since IS NULL "
                  "RETURNING seq",
                  {pool, seq}, &done, error))
            return fail();
        else if (done.empty())
            return claimed_meanwhile(seq);
    auto mid_param = [](const store_row &r) {
        return r.held_by.empty() ? param::null_value() : param(r.held_by);
    };
    for (long seq : updates) {
        const store_row &r = rows[update_from[seq]];
        if (!exec("UPDATE pool_rows SET vals = ?, held_by = ? WHERE pool = ? AND seq = ?",
                  {csv_line(r.values), mid_param(r), pool, seq}, nullptr, error))
            return fail();
    }
    for (size_t k : inserts)
        if (!exec("INSERT INTO pool_rows (pool, seq, vals, held_by) VALUES (?, ?, ?, ?)",
                  {pool, after[k].seq, csv_line(after[k].values), mid_param(after[k])}, nullptr,
                  error))
            return fail();
    if (split_line(found[0][1]) != options.secret_columns &&
        !exec("UPDATE pools SET secrets = ? WHERE name = ?",
              {csv_line(options.secret_columns), pool}, nullptr, error))
        return fail();
    return commit(error) ? store_status::ok : fail();
}

store_status store::pool_get(const std::string &pool, std::vector<std::string> *columns,
                             std::vector<store_row> *rows, std::string *error)
{
    store_pool_info info;
    const store_status st = pool_get(pool, &info, rows, error);
    *columns = info.columns;
    return st;
}

store_status store::pool_get(const std::string &pool, store_pool_info *info,
                             std::vector<store_row> *rows, std::string *error)
{
    rows_t found;
    if (!exec("SELECT columns, secrets, created FROM pools WHERE name = ?", {pool}, &found, error))
        return store_status::failed;
    if (found.empty()) {
        *error = "no pool named " + pool;
        return store_status::refused;
    }
    *info = store_pool_info();
    info->name = pool;
    info->columns = split_line(found[0][0]);
    info->secret_columns = split_line(found[0][1]);
    info->created = found[0][2];
    rows->clear();
    if (!exec_each(
            "SELECT seq, vals, held_by, held_since, last_result, last_time FROM pool_rows "
            "WHERE pool = ? ORDER BY seq",
            {pool},
            [&](std::vector<std::string> &h) {
                store_row r;
                r.seq = std::atol(h[0].c_str());
                r.values = split_line(h[1]);
                r.values.resize(info->columns.size());
                r.held_by = std::move(h[2]);
                r.held_since = std::move(h[3]);
                r.last_result = std::move(h[4]);
                r.last_time = std::move(h[5]);
                info->rows++;
                info->held += !r.held_since.empty();
                info->free += r.held_by.empty();
                rows->push_back(std::move(r));
                return true;
            },
            error))
        return store_status::failed;
    return store_status::ok;
}

bool store::pool_list(std::vector<store_pool_info> *pools, std::string *error)
{
    rows_t found;
    if (!exec("SELECT p.name, p.columns, p.created, COUNT(r.seq), COUNT(r.held_since), "
              "SUM(CASE WHEN r.seq IS NOT NULL AND r.held_by IS NULL THEN 1 ELSE 0 END), "
              "p.secrets FROM pools p LEFT JOIN pool_rows r ON r.pool = p.name "
              "GROUP BY p.name, p.columns, p.created, p.secrets ORDER BY p.name",
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
        p.secret_columns = split_line(f[6]);
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
        // An import of the pool holds this lock until it has committed:
        // the claim waits for it (bounded) rather than find no free row.
        if (!exec(pool_lock_sql(false), {pool}, &got, error) ||
            !exec("SELECT seq, vals, held_since FROM pool_rows WHERE pool = ? AND held_by = ?",
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

namespace
{
const char set_result_sql[] =
    "UPDATE pool_rows SET last_result = ?, last_time = ? WHERE pool = ? AND seq = ? AND "
    "(last_time IS NULL OR last_time <= ?)";
}

bool store::pool_set_result(const std::string &pool, long seq, const std::string &result,
                            const std::string &record_time, std::string *error)
{
    if (!begin_write(error))
        return false;
    if (!exec(set_result_sql, {result, record_time, pool, seq, record_time}, nullptr, error) ||
        !commit(error)) {
        rollback();
        return false;
    }
    return true;
}

bool store::pool_set_result(const std::string &pool, long seq, const std::string &result,
                            std::string *error)
{
    if (!begin_write(error))
        return false;
    if (!exec("UPDATE pool_rows SET last_result = ? WHERE pool = ? AND seq = ? AND "
              "last_time IS NULL",
              {result, pool, seq}, nullptr, error) ||
        !commit(error)) {
        rollback();
        return false;
    }
    return true;
}

bool store::history_begin(const store_record &r, std::string *error)
{
    store_record begun = r;
    begun.result = STORE_IN_PROGRESS;
    return history_add(begun, error);
}

bool store::history_add(const store_record &r, std::string *error)
{
    if (!begin_write(error))
        return false;
    if (!history_write(r, error) || !commit(error)) {
        rollback();
        return false;
    }
    return true;
}

bool store::history_write(const store_record &r, std::string *error)
{
    char secs[32];
    std::snprintf(secs, sizeof secs, "%.3f", r.seconds);
    // A begun record is completed by its id; a completed one stays.
    static const std::string sql = [] {
        std::string s = std::string("INSERT INTO history (") + history_columns +
                        ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
                        "ON CONFLICT (id) DO UPDATE SET ";
        const std::vector<std::string> cols = split_line(history_columns);
        for (size_t i = 1; i < cols.size(); i++) {
            std::string c = cols[i];
            c.erase(0, c.find_first_not_of(' '));
            s += (i > 1 ? ", " : "") + c + " = excluded." + c;
        }
        return s + " WHERE history.result = 'in-progress'";
    }();
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
    const bool result = !r.pool.empty() && r.seq > 0 && r.result != STORE_IN_PROGRESS;
    return exec(sql.c_str(), p, nullptr, error) &&
           (!result ||
            exec(set_result_sql, {r.result, r.time, r.pool, r.seq, r.time}, nullptr, error));
}

store_status store::pool_release(const store_record &r, bool force, std::string *error)
{
    if (!begin_write(error))
        return store_status::failed;
    rows_t pool, row;
    if (!exec(pool_lock_sql(true), {r.pool}, &pool, error) ||
        !exec("SELECT held_by, last_result FROM pool_rows WHERE pool = ? AND seq = ?",
              {r.pool, r.seq}, &row, error)) {
        rollback();
        return store_status::failed;
    }
    const std::string seq = std::to_string(r.seq);
    std::string refusal;
    if (pool.empty())
        refusal = "no pool " + r.pool;
    else if (row.empty())
        refusal = "pool " + r.pool + " has no row " + seq;
    else if (row[0][0].empty())
        refusal = "row " + seq + " is free";
    else if (row[0][1] == "verified" && !force)
        refusal = "row " + seq + " holds the verified module " + row[0][0] +
                  " (--force releases it anyway)";
    if (!refusal.empty()) {
        rollback();
        *error = refusal;
        return store_status::refused;
    }
    store_record rec = r;
    rec.mid = row[0][0];
    if (!exec("UPDATE pool_rows SET held_by = NULL, held_since = NULL WHERE pool = ? AND seq = ?",
              {r.pool, r.seq}, nullptr, error) ||
        !history_write(rec, error) || !commit(error)) {
        rollback();
        return store_status::failed;
    }
    return store_status::ok;
}

bool store::history_each(const store_history_query &q,
                         const std::function<bool(const store_record &)> &each, std::string *error)
{
    const std::string sql = std::string("SELECT ") + history_columns +
                            " FROM history WHERE (? = '' OR mid = ?) AND time >= ? "
                            "ORDER BY time DESC, id DESC LIMIT ?";
    return exec_each(
        sql.c_str(), {q.mid, q.mid, q.since, q.limit > 0 ? q.limit : 9223372036854775807L},
        [&](std::vector<std::string> &f) {
            store_record r;
            r.id = std::move(f[0]);
            r.time = std::move(f[1]);
            r.station = std::move(f[2]);
            r.tool_version = std::move(f[3]);
            r.port = std::move(f[4]);
            r.adapter = std::move(f[5]);
            r.mid = std::move(f[6]);
            r.firmware = std::move(f[7]);
            r.file = std::move(f[8]);
            r.file_sha256 = std::move(f[9]);
            r.pool = std::move(f[10]);
            r.seq = std::atol(f[11].c_str());
            r.result = std::move(f[12]);
            r.seconds = std::atof(f[13].c_str());
            r.restarted = std::atol(f[14].c_str()) != 0;
            r.settings = std::move(f[15]);
            r.note = std::move(f[16]);
            if (r.result == STORE_IN_PROGRESS && !q.interrupted_before.empty() &&
                r.time < q.interrupted_before)
                r.result = STORE_INTERRUPTED;
            return each(r);
        },
        error);
}

bool store::history_list(const std::string &mid, const std::string &since,
                         std::vector<store_record> *out, std::string *error)
{
    store_history_query q;
    q.mid = mid;
    q.since = since;
    out->clear();
    return history_each(
        q,
        [out](const store_record &r) {
            out->push_back(r);
            return true;
        },
        error);
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
