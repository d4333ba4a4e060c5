// The worker's claim of its module's row of a pool.
#include "cli_pool.h"

#include "cli_escape.h"
#include "cli_protocol.h"
#include "cli_template.h"
#include "cmd_file.h"
#include "store.h"
#include "store_csv.h"

namespace
{

// Module texts are bytes; the servers keep UTF-8 text.
std::string text(const std::string &s)
{
    return cli_utf8(s);
}

// The row `mid` holds, taking none: a verify writes nothing.
store_claim held_row(store &db, const std::string &pool, const std::string &mid, store_row *row,
                     std::string *error)
{
    std::vector<std::string> columns;
    std::vector<store_row> rows;
    const store_status st = db.pool_get(pool, &columns, &rows, error);
    if (st != store_status::ok)
        return st == store_status::refused ? store_claim::none : store_claim::failed;
    for (const auto &r : rows)
        if (r.held_by == mid) {
            *row = r;
            return store_claim::got;
        }
    return store_claim::none;
}

} // namespace

bool cli_pool_take(cli_job &job, const std::string &mid, cli_event *event)
{
    *event = cli_event();
    if (job.pool.empty())
        return true;
    *event = cli_event(cli_ev::RESULT).set("result", RESULT_NO_VALUES);
    if (mid.empty()) {
        event->set("note", "the module reported no MID, which its row is kept under");
        return false;
    }
    const std::string fault = template_mid_fault(job.lines, mid);
    if (!fault.empty()) {
        *event = cli_event(cli_ev::RESULT).set("result", RESULT_BAD_MID).set("note", fault);
        return false;
    }
    std::string error;
    auto db = store_open(job.db_url, &error);
    store_row row;
    const store_claim claim = !db ? store_claim::failed
                              : job.task == cli_task::verify
                                  ? held_row(*db, job.pool, text(mid), &row, &error)
                                  : db->pool_claim(job.pool, text(mid), &row, &error);
    if (claim == store_claim::failed) {
        event->set("note", "database: " + error).set("database", 1L);
        return false;
    }
    if (claim == store_claim::none) {
        event->set("note", job.task == cli_task::verify
                               ? "the module holds no row of pool " + job.pool
                               : "no free row left in pool " + job.pool);
        return false;
    }
    std::vector<std::string> lines;
    if (!template_expand_row(job.lines, job.pool_columns, row, mid, &lines, &error)) {
        event->set("note", "row " + std::to_string(row.seq) + ": " + error);
        return false;
    }
    // Checked with a MID of 20 characters; a longer or odder one is caught
    // here, before anything is sent.
    for (size_t n = 0; n < lines.size(); n++)
        if (lines[n].size() > TEMPLATE_LINE_MAX || !cmd_file_line_is_text(lines[n])) {
            event->set("note", "row " + std::to_string(row.seq) + ", line " +
                                   std::to_string(n + 1) + ": does not fit this MID");
            return false;
        }
    // Only what the template uses goes to the parent: a message holds a
    // row, and the columns it never sends can be of any size.
    for (size_t c = 0; c < row.values.size() && c < job.pool_columns.size(); c++)
        if (!template_uses(job.lines, job.pool_columns[c]))
            row.values[c].clear();
    job.lines = lines;
    *event = cli_event(cli_ev::ROW)
                 .set("pool", job.pool)
                 .set("seq", row.seq)
                 .set("values", csv_line(row.values));
    return true;
}
