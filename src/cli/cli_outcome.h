// What a run of a module command is asked to do (cli_run_options), and
// what it gives back for each module (cli_outcome).
#ifndef MODCFG_CLI_OUTCOME_H
#define MODCFG_CLI_OUTCOME_H

#include "cli_export.h"
#include "cli_job.h"
#include "cli_report.h"
#include "cli_verdict.h"
#include "net_access.h"

#include <string>
#include <utility>
#include <vector>

// Connections served at once with --listen; further ones wait in the
// listen queue until a worker ends. Each is a process with a pipe in the
// parent: a burst of connections (a scanner, a module reconnecting in a
// loop) must not fork until processes or descriptors run out. 32 keeps
// the 20 modules a line powers up together well inside; the modules' own
// waits, not the PC, set the pace, so more at once would gain little.
constexpr long CLI_MAX_CONNECTION_WORKERS = 32;

class cli_history;

struct cli_run_options {
    cli_task task = cli_task::read;
    // Serial ports: the names as given, and their devices.
    std::vector<std::string> ports;
    std::vector<std::string> devices;
    cli_line line;
    // TCP: listen here instead (modules connect, as to the network build).
    bool listen = false;
    std::string listen_addr; // empty for every local address
    unsigned short listen_port = 0;
    // Networks a module may connect from (none: any peer is taken).
    std::vector<net_allow_rule> allow;
    long max_workers = CLI_MAX_CONNECTION_WORKERS; // connections at once
    std::string file;
    std::vector<std::string> lines; // the file's lines, as checked
    int file_lines = 0;
    bool verify = true;
    bool restart = false;
    bool loop = false; // wait for the next module on each port
    long count = 0;    // end after this many modules (0: no limit)
    // A MID that failed is tried again this many times when it comes back.
    long retries = 2;
    long module_timeout = CLI_MODULE_TIMEOUT_FAST; // seconds, per module
    bool quiet = false;
    bool verbose = false;
    bool show_secrets = false; // keys and passwords in lines and records
    cli_report *report = nullptr;
    // The history, and the pool each module takes its row of (none: the
    // command file is no template).
    cli_history *history = nullptr;
    std::string db_url, pool;
    std::vector<std::string> pool_columns;
};

struct cli_outcome {
    std::string label; // port or peer address
    std::string mid, version;
    std::string result; // empty when the port could not be opened
    std::string note;
    double seconds = 0;
    std::vector<cli_mismatch> mismatches;
    std::vector<std::string> unacked, unverifiable;
    // What happened on the wire: each line sent, each setting read back.
    std::vector<cli_sent_line> sent;
    std::vector<cli_checked> checked;
    std::string mid_after; // the MID read again at the end (another module's?)
    std::vector<std::pair<std::string, std::string>> values; // read
    std::vector<cli_export_line> commands;                   // export
    std::string port_error, hint;                            // open failed
    std::string adapter;                                     // serial device
    bool restarted = false;
    std::string pool; // the row the module holds, seq 0 for none
    long seq = 0;
    std::vector<std::string> row_values;
    bool recorded = false; // the worker put it in the history
    // The record the worker began (empty: none), completed with its id.
    std::string record_id, record_time;
};

struct cli_event;
// Takes a worker's "sent", "answer" or "checked" event into `c`: the fact,
// and the line a person reads (not acknowledged, mismatch).
void cli_outcome_take_fact(cli_outcome &c, const cli_event &ev);

#endif
