// A module's row of a pool of values, taken in the worker once its MID is
// known, and filled into the job's command file.
#ifndef MODCFG_CLI_POOL_H
#define MODCFG_CLI_POOL_H

#include "cli_event.h"
#include "cli_job.h"

#include <string>

// A module that found no free row in its pool: let go untouched.
constexpr const char *RESULT_NO_VALUES = "no-values";
// A module whose MID cannot fill the template in: failed, and no row taken.
constexpr const char *RESULT_BAD_MID = "bad-mid";

// In the worker, once the module's MID is known: takes its row of the
// job's pool and fills the job's lines in. True with `event` the "row"
// event to send (empty kind without a pool); false with `event` the result
// to send instead of configuring the module ("no-values"; a failed database
// adds the field "database").
bool cli_pool_take(cli_job &job, const std::string &mid, cli_event *event);

#endif
