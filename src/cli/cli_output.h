// Where the command line's results and messages go, the one form of a
// usage error, the exit statuses every command shares, and whole writes.
#ifndef MODCFG_CLI_OUTPUT_H
#define MODCFG_CLI_OUTPUT_H

#include <cstdio>
#include <string>

// Exit statuses: everything verified (or done); a module failed or a
// record could not be written; bad usage or an unusable command file; a
// port missing, busy or not permitted, or a database that cannot be used.
constexpr int CLI_EXIT_OK = 0;
constexpr int CLI_EXIT_FAILED = 1;
constexpr int CLI_EXIT_USAGE = 2;
constexpr int CLI_EXIT_PORT = 3;
constexpr int CLI_EXIT_DB = 3;

// The exit statuses as "--help" tells them (untranslated).
extern const char cli_exit_text[];

// Where results go: standard output as the program found it (the core's
// console lines are kept off it).
extern FILE *cli_out;

// Flushes and closes cli_out at the end of a command whose exit status is
// `status`: results that did not reach their file (a full disk, /dev/full)
// are a failure, said on standard error. Returns `status`, or
// CLI_EXIT_FAILED in place of CLI_EXIT_OK when the write or close failed.
int cli_out_close(int status);

// Prints `text` on standard error as one "modcfg: ..." line.
void cli_error(const std::string &text);

// A usage error of `command` ("" for modcfg itself): `text` and where to
// look, as one "modcfg: ..." line.
void cli_usage_error(const std::string &command, const std::string &text);

// Writes all of `bytes` to `fd`, through partial writes and interruptions.
// False (errno set by the failing write) when a write fails or takes
// nothing.
bool cli_write_all(int fd, const std::string &bytes);

#endif
