// The parent of the command line: starts one worker process per port or
// accepted connection, shows their progress, writes the report and gathers
// each module's outcome.
#ifndef MODCFG_CLI_RUN_H
#define MODCFG_CLI_RUN_H

#include "cli_outcome.h"

#include <vector>

// Runs the jobs; returns each module's outcome in the order they ended.
// False (with an error printed) when listening failed.
bool cli_run(const cli_run_options &o, std::vector<cli_outcome> &outcomes);

#endif
