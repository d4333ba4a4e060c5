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

// A module whose record could be begun neither in the database nor in
// the spool: not touched.
constexpr const char *RESULT_NO_RECORD = "no-record";
// A worker's bounds on the database: well inside the time a module may
// take, so that a locked table sends the record to the spool instead of
// holding the module (and its worker) past its deadline.
constexpr int CLI_RECORD_LOCK_MS = 2000;
constexpr int CLI_RECORD_STATEMENT_MS = 10000;

class cli_history
{
  public:
    // Before any module is touched: opens the database, sends what the
    // spool holds, imports --values, checks the command file as a template
    // against every row of the pool, and fills the run's pool fields. 0, or
    // the exit status after a "modcfg: ..." line (2 bad usage or values, 3
    // the database cannot be used).
    int prepare(const cli_db_options &o, const std::string &command, cli_run_options &run);
    // Records one module's outcome in the parent: to the spool, which the
    // parent's loop never waits for, sent at the end of the run
    // (end_of_run). False (said once on stderr) when the spool could not
    // take it.
    bool add(const cli_outcome &c);
    void end_of_run();
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
    // In the worker, once the module's row is taken and before anything is
    // sent to change it: begins its record (result "in-progress"), in the
    // database or else in the spool. True with `event` the "record" event
    // to send; false with `event` the result "no-record" to send instead
    // of touching the module.
    bool worker_record_begin(cli_event *event);
    // In the parent: what a worker's result said of its record. True when
    // the worker recorded it (the parent does not).
    bool worker_result(const cli_event &ev);
    // In the parent: a worker's record went to the spool ("spooled" in its
    // "record" or "result" event): said once.
    void worker_spooled(const cli_event &ev);

  private:
    int prepare_pool(const cli_db_options &o, const std::string &command,
                     const cli_run_options &run);
    bool keep(const store_record &r, std::string *error, bool begin);
    bool keep_outcome(const cli_outcome &c, std::string *error);
    store_record record_of(const cli_outcome &c) const;
    static store_options worker_options();

    std::string url_;
    bool in_worker_ = false;
    cli_outcome worker_out_;
    double worker_start_ = 0;
    std::unique_ptr<store> db_;
    std::unique_ptr<store> spool_;
    bool spool_said_ = false;
    // Why the last record went to the spool; empty when it did not.
    std::string spooled_;
    bool spool_lost_ = false; // ... because the server was lost
    bool stopped_ = false;
    bool failed_said_ = false;
    bool show_secrets_ = false;
    std::string station_, file_, sha256_, pool_;
    std::vector<std::string> columns_;
    cli_task task_ = cli_task::read;
};

#endif
