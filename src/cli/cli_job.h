// The work on one module, run in its own worker process: connect as the
// window does, read, apply, verify, restart, let the module go, and tell
// the parent every step as events.
#ifndef MODCFG_CLI_JOB_H
#define MODCFG_CLI_JOB_H

#include <string>
#include <vector>

enum class cli_task { read, export_, apply, verify, provision };

// Default of --module-timeout, seconds: with the fast exchange a module
// is done in seconds; at the module's own timing a full apply and
// read-back of a long file takes minutes.
constexpr long CLI_MODULE_TIMEOUT_FAST = 60;
constexpr long CLI_MODULE_TIMEOUT_STRICT = 600;
// Exchanges in a row without a byte of answer after which a module counts
// as gone (pulled from its fixture while the adapter stays plugged).
constexpr int CLI_SILENT_EXCHANGES_GONE = 3;
// Seconds without a byte from the module, while an exchange waits for it,
// after which it counts as gone (note "no answer"): as long as that many
// fast exchanges take to give up (40 tries of 250 ms each). A reply that is
// late but comes within it is still taken, at either timing.
constexpr int CLI_SILENCE_GONE_S = CLI_SILENT_EXCHANGES_GONE * 10;
// What a second Ctrl-C leaves a module in progress for its "AT+ENTM",
// milliseconds.
constexpr int CLI_LEAVE_BUDGET_MS = 100;
class cli_history;

// Line settings of a serial port as CommOpen takes them.
struct cli_line {
    int baud = 57600;
    int data_bits = 8;
    int parity = 0;    // PCCOM_PARITY_ code
    int stop_bits = 0; // PCCOM_STOPBITS_ code
    bool scan = false; // --baud auto: each module's settings found by a scan first
};

struct cli_job {
    cli_task task = cli_task::read;
    std::string device; // serial device path; empty for a TCP module
    cli_line line;
    int sock = -1;    // the accepted connection of a TCP module
    std::string file; // command file (apply, verify, provision)
    // Its lines as checked before any module was touched; sent and read
    // back as they are, whatever the file holds by now.
    std::vector<std::string> lines;
    int file_lines = 0;       // lines the apply will send, for progress
    bool verify = true;       // read back after applying
    bool restart = false;     // "AT+Z" after a verified apply
    bool wait_new = false;    // wait on the port for a module not yet done
    bool done_before = false; // a module was done on this port in this run
    std::string last_mid;     // the module done last on this port
    bool last_failed = false; // and its result was a failure
    std::string last_device;  // identity of the port's device node then
    // The parent's answers ("go" or "skip") to this worker's "module"
    // event (cli_protocol.h).
    int answer_fd = -1;
    // Seconds a module may take from its connect to its result; past them
    // it counts as gone (a peer that drips its replies would hold the
    // worker for an hour).
    long module_timeout = CLI_MODULE_TIMEOUT_FAST;
    // The lines are a template filled from the module's row of this pool.
    std::string db_url, pool;
    std::vector<std::string> pool_columns;
    // Records the module from the worker (null: nothing is recorded), under
    // this port or peer name.
    cli_history *history = nullptr;
    std::string label;
};

// Results as the report names them; "done" is a read, export or unverified
// apply that went through.
constexpr const char *RESULT_VERIFIED = "verified";
constexpr const char *RESULT_DONE = "done";
constexpr const char *RESULT_MISMATCH = "mismatch";
constexpr const char *RESULT_NOT_ACKED = "not-acknowledged";
constexpr const char *RESULT_NO_MODULE = "no-module";
constexpr const char *RESULT_LINK_LOST = "link-lost";
// Every line acknowledged, none of them could be read back.
constexpr const char *RESULT_ACKNOWLEDGED = "acknowledged";
// A module that gave no MID, asked twice: not worked on, counted as failed.
constexpr const char *RESULT_NO_MID = "no-mid";
// Stopped before its work was done (a second Ctrl-C, the parent gone).
constexpr const char *RESULT_INTERRUPTED = "interrupted";
// verify of a file none of whose settings can be read back.
constexpr const char *RESULT_UNVERIFIABLE = "unverifiable";
// Its MID is in progress on another port or connection at the same time.
constexpr const char *RESULT_DUPLICATE_MID = "duplicate-mid";

// True for the results that count as done (exit status 0, and a module
// that reconnects is not provisioned again).
bool cli_result_done(const std::string &result);

// The events a worker sends and the parent's answers: cli_protocol.h.

// Runs `job` in this (worker) process, events to `event_fd`. Returns the
// process's exit status: 0 after a result, CLI_EXIT_PORT after a port
// error.
int cli_job_run(const cli_job &job, int event_fd);

// Asks a waiting worker to end (its SIGTERM handler); a worker with a
// module in progress finishes that module first. SIGUSR1 ends a worker at
// once (a second Ctrl-C), after "AT+ENTM" to a module in command mode.
// SIGUSR2 tells the parent's death (PR_SET_PDEATHSIG): the worker sends
// nothing more but "AT+ENTM" to a module in command mode, says
// "interrupted" and ends, within a second.
void cli_job_install_signals();

#endif
