// The work on one module, run in its own worker process: connect as the
// window does, read, apply, verify, restart, let the module go, and tell
// the parent every step as events.
#ifndef MODCFG_CLI_JOB_H
#define MODCFG_CLI_JOB_H

#include <string>
#include <vector>

enum class cli_task { read, export_, apply, verify, provision };

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
    int sock = -1;           // the accepted connection of a TCP module
    std::string file;        // command file (apply, verify, provision)
    // Its lines as checked before any module was touched; sent and read
    // back as they are, whatever the file holds by now.
    std::vector<std::string> lines;
    int file_lines = 0;      // lines the apply will send, for progress
    bool verify = true;      // read back after applying
    bool restart = false;    // "AT+Z" after a verified apply
    bool wait_new = false;   // wait on the port for a module not yet done
    bool done_before = false; // a module was done on this port in this run
    std::string last_mid;    // the module done last on this port
    std::string last_device; // identity of the port's device node then
};

// Results as the report names them; "done" is a read, export or unverified
// apply that went through.
constexpr const char *RESULT_VERIFIED = "verified";
constexpr const char *RESULT_DONE = "done";
constexpr const char *RESULT_MISMATCH = "mismatch";
constexpr const char *RESULT_NOT_ACKED = "not-acknowledged";
constexpr const char *RESULT_NO_MODULE = "no-module";
constexpr const char *RESULT_LINK_LOST = "link-lost";

// Events a worker sends (fields after the kind):
// - "stage" text: what it is doing now ("connect", "read", ...).
// - "waiting" text: wait mode, no new module yet, and why.
// - "vanished": the port disappeared while waiting.
// - "module" mid, version, device: a module answered; from here it is in
//   progress. `device` identifies the port's device node (for last_device).
// - "progress" stage, done, total.
// - "value" name, value: a query answered while reading.
// - "command" line: a set command of an export.
// - "unacked" line; "unverifiable" line; "mismatch" setting, sent, held.
// - "port-error" error, errno, hint: the port could not be opened.
// - "result" result, note: the last event of a module.
// - "alive": an exchange ended (the parent's watchdog).

// Runs `job` in this (worker) process, events to `event_fd`. Returns the
// process's exit status: 0 after a result, 3 after a port error.
int cli_job_run(const cli_job &job, int event_fd);

// Asks a waiting worker to end (its SIGTERM handler); a worker with a
// module in progress finishes that module first.
void cli_job_install_signals();

#endif
