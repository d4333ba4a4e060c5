// A module command's exit status and its closing line, from the outcomes
// of its modules.
#ifndef MODCFG_CLI_SUMMARY_H
#define MODCFG_CLI_SUMMARY_H

#include "cli_outcome.h"

#include <string>
#include <vector>

// What the status depends on besides the outcomes.
struct cli_run_facts {
    cli_task task = cli_task::read;
    bool listen = false;
    bool loop_asked = false;         // --loop itself (not --count)
    bool loop = false;               // the run waited for further modules
    size_t ports = 0;                // serial ports given
    long count = 0;                  // modules asked for (--count; 0: no number)
    bool records_incomplete = false; // the report or the history misses one
    bool export_failed = false;      // the command file was not written
};

struct cli_run_end {
    int status = 0;
    std::string summary; // provision's last line on standard output; else empty
};

// The exit status (0, CLI_EXIT_FAILED or CLI_EXIT_PORT) and provision's
// summary ("modules done: ..." or "no module done: ...").
cli_run_end cli_run_end_of(const cli_run_facts &f, const std::vector<cli_outcome> &outcomes);

#endif
