// The command line's history of every module handled, kept in the
// database or, while a server is away, in the spool.
#ifndef MODCFG_CLI_HISTORY_H
#define MODCFG_CLI_HISTORY_H

#include "cli_db.h"
#include "cli_event.h"
#include "cli_job.h"
#include "cli_outcome.h"
#include "store.h"

#include <glib.h>
#include <memory>
#include <string>
#include <vector>

class cli_history
{
  public:
    // Before any module is touched: opens the database, sends what the
    // spool holds, imports --values, checks the command file as a template
    // against every row of the pool, and fills the run's pool fields. 0, or
    // the exit status after a "modcfg: ..." line (2 bad usage or values, 3
    // the database cannot be used).
    int prepare(const cli_db_options &o, const std::string &command, cli_run_options &run);
    // Records one module's outcome; false (said once on stderr) when even
    // the spool could not take it. A server that went away is said once,
    // and `server_lost()` turns true.
    bool add(const cli_outcome &c);
    bool server_lost() const { return db_ && db_->lost(); }
    // True once a record could be kept nowhere: the run fails.
    bool incomplete() const { return failed_said_ || stopped_; }
    // The run stopped taking modules: their rows were out of reach.
    void stopped_for_database() { stopped_ = true; }

    // In a worker: the parent's connection is left alone (it is the
    // parent's) and the worker records its module itself, so that a record
    // survives the parent being killed. Every event the worker sends passes
    // here; the result comes back with "recorded" (or "spooled", or
    // "unrecorded" with the reason) added.
    void worker_begin(const std::string &label, const std::string &device);
    cli_event worker_event(const cli_event &ev);
    // In the parent: what a worker's result said of its record. True when
    // the worker recorded it (the parent does not).
    bool worker_result(const cli_event &ev);

  private:
    bool keep(const store_record &r, std::string *error);
    bool keep_outcome(const cli_outcome &c, std::string *error);

    std::string url_;
    bool in_worker_ = false;
    cli_outcome worker_out_;
    double worker_start_ = 0;
    std::unique_ptr<store> db_;
    std::unique_ptr<store> spool_;
    bool lost_said_ = false;
    bool spooled_ = false;
    bool stopped_ = false;
    bool failed_said_ = false;
    bool show_secrets_ = false;
    std::string station_, file_, sha256_, pool_;
    std::vector<std::string> columns_;
    cli_task task_ = cli_task::read;
};

#endif
