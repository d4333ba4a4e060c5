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
    std::string error;
    auto db = store_open(job.db_url, &error);
    store_row row;
    const store_claim claim =
        db ? db->pool_claim(job.pool, text(mid), &row, &error) : store_claim::failed;
    if (claim == store_claim::failed) {
        event->set("note", "database: " + error).set("database", 1L);
        return false;
    }
    if (claim == store_claim::none) {
        event->set("note", "no free row left in pool " + job.pool);
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
    job.lines = lines;
    *event = cli_event(cli_ev::ROW)
                 .set("pool", job.pool)
                 .set("seq", row.seq)
                 .set("values", csv_line(row.values));
    return true;
}
