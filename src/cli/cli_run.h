// The parent of the command line: starts one worker process per port or
// accepted connection, shows their progress, writes the report and gathers
// each module's outcome.
#ifndef MODCFG_CLI_RUN_H
#define MODCFG_CLI_RUN_H

#include "cli_job.h"
#include "cli_report.h"
#include "net_access.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

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
    std::string file;
    std::vector<std::string> lines; // the file's lines, as checked
    int file_lines = 0;
    bool verify = true;
    bool restart = false;
    bool loop = false; // wait for the next module on each port
    long count = 0;    // end after this many modules (0: no limit)
    bool quiet = false;
    bool verbose = false;
    cli_report *report = nullptr;
};

struct cli_outcome {
    std::string label; // port or peer address
    std::string mid, version;
    std::string result; // empty when the port could not be opened
    std::string note;
    double seconds = 0;
    std::vector<cli_mismatch> mismatches;
    std::vector<std::string> unacked, unverifiable;
    std::vector<std::pair<std::string, std::string>> values; // read
    std::vector<std::string> commands;                       // export
    std::string port_error, hint;                            // open failed
};

// Where results go: standard output as the program found it (the core's
// console lines are kept off it).
extern FILE *cli_out;

// Runs the jobs; returns each module's outcome in the order they ended.
// False (with an error printed) when listening failed.
bool cli_run(const cli_run_options &o, std::vector<cli_outcome> &outcomes);

// Prints `text` on standard error as one "modcfg: ..." line.
void cli_error(const std::string &text);

#endif
