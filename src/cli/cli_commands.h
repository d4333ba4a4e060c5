// The command table: every subcommand of modcfg, its line in "modcfg
// --help" and its handler. The top-level help, the dispatch and (through
// that help) the shell completion and the manual's command list come from
// it; a command added is one row and one file.
#ifndef MODCFG_CLI_COMMANDS_H
#define MODCFG_CLI_COMMANDS_H

#include "cli_job.h"

#include <string>

struct cli_command;
// A subcommand's handler: its arguments after the command's name; the
// exit status.
using cli_command_run = int (*)(const cli_command &cmd, int argc, char **argv);

struct cli_command {
    const char *name;
    const char *help; // one line, untranslated
    cli_command_run run;
    // The module commands (read .. provision): what they do, what they
    // take after the options ("FILE", null for nothing) and the summary of
    // their --help.
    cli_task task;
    const char *params;
    const char *summary;
};

// The table, ending with a row whose name is null.
extern const cli_command cli_commands[];

// "Commands: ..." as "modcfg --help" ends with it, in the user's language.
std::string cli_commands_text();

// The handlers, each in a file of its own (scan's in cli_scan.h).
int cli_ports_command(const cli_command &cmd, int argc, char **argv);
int cli_module_command(const cli_command &cmd, int argc, char **argv);
int cli_pool_command(const cli_command &cmd, int argc, char **argv);
int cli_history_command(const cli_command &cmd, int argc, char **argv);

#endif
