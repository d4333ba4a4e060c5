// The parent's side of a worker process: starting it with its pipes,
// reading its events and console lines, and reaping it.
#ifndef MODCFG_CLI_WORKER_H
#define MODCFG_CLI_WORKER_H

#include "cli_event.h"
#include "cli_job.h"
#include "cli_outcome.h"

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

class cli_report;

struct cli_worker {
    using clock = std::chrono::steady_clock;
    pid_t pid = -1;
    int fd = -1;     // its events
    int answer = -1; // go or skip to its "module" event
    std::string buf;
    size_t slot = 0;
    bool in_progress = false; // a module answered
    bool asked_to_stop = false;
    bool killed = false;
    bool interrupted = false; // a second Ctrl-C: "AT+ENTM" and end
    bool timed_out = false;   // ended past its module's deadline
    clock::time_point kill_at = clock::time_point::max();
    clock::time_point start, connect_at, last_sign;
    std::string stage, waiting;
    long done = 0, total = 0;
    bool got_result = false;
    int sock = -1; // a TCP module's connection, the parent's copy
    // With --verbose: the worker's standard output, where the core prints
    // its console lines in pieces ("Connect to Module...", "...", "OK!").
    int console = -1;
    std::string console_buf;
    bool let_go = false; // skipped as done in this run: its connection is held
    cli_outcome out;
    std::string device_id;
};

// Starts a worker process for `job`, events to a pipe in `w` (and with
// `console` its standard output to another). The worker closes
// `parent_fds` (the parent's other descriptors: a reader of what modcfg
// writes waits for its end, not a lingering worker's) and forgets the
// report's lock. False, with an error printed, when no process started.
bool cli_worker_spawn(const cli_job &job, bool console, const std::vector<int> &parent_fds,
                      cli_report *report, cli_worker *w);

// Takes what the worker sent into `events`; false once its pipe ended. A
// worker that does not speak the framing is killed.
bool cli_worker_read(cli_worker &w, std::vector<cli_event> *events);

// Whole console lines, line ends removed; with `to_end` everything up to
// the worker's end, a last piece included, and the console is closed.
std::vector<std::string> cli_worker_console(cli_worker &w, bool to_end);

// Waits for the worker's end and closes its event and answer pipes (not
// its console or socket); its wait status.
int cli_worker_reap(cli_worker &w);

#endif
