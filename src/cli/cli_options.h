// The options of the module commands (read, export, apply, verify,
// provision) as given, and their checks into the run's options.
#ifndef MODCFG_CLI_OPTIONS_H
#define MODCFG_CLI_OPTIONS_H

#include "cli_outcome.h"

#include <string>
#include <vector>

// --module-timeout not given: the timing's default.
constexpr int CLI_MODULE_TIMEOUT_UNSET = -2147483647 - 1;

// What the command line said, before any check.
struct cli_module_args {
    cli_task task = cli_task::read;
    bool takes_file = false;       // the command wants a command file
    std::vector<std::string> args; // the arguments left after the options
    std::vector<std::string> ports;
    const char *listen = nullptr;
    std::vector<std::string> allow;
    const char *baud = nullptr; // a rate, or "auto"; null for the default
    int data_bits = 8;
    const char *parity = nullptr;
    int stop_bits = 1;
    bool strict = false;
    bool quiet = false;
    bool verbose = false;
    bool show_secrets = false;
    bool no_verify = false;
    bool restart = false;
    bool loop = false;
    int count = 0;
    int retries = 2;
    int module_timeout = CLI_MODULE_TIMEOUT_UNSET;
    int reports = 0; // --report given this many times
    int max_workers = CLI_MAX_CONNECTION_WORKERS;
};

// Checks `a` as a whole, in the order the usage errors are told, and fills
// `run`: task, line, port names (not yet resolved to devices), listening,
// allowed networks, counts, time-out and the command file's name. Touches
// nothing. False with `why` the usage error's text (without where to look).
bool cli_run_options_build(const cli_module_args &a, const std::string &command,
                           cli_run_options *run, std::string *why);

#endif
