// What export writes for each setting: the window's command built from its
// records, or the module's own value where the records cannot hold it.
#ifndef MODCFG_CLI_EXPORT_H
#define MODCFG_CLI_EXPORT_H

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

struct cli_export_line {
    std::string line; // "AT+NAME=ARGS", without its line end
    // -1: the window's command; else the module's value is written, and this
    // is the first of its comma-separated fields the records could not hold.
    int kept_field = -1;
};

// `built`: the window's commands from the records (module_setting_commands);
// `answered`: the replies as read ("AT+NAME" -> value). A command whose
// arguments the module's value does not hold (the rule of the read-back) is
// replaced by "AT+NAME=" and that value: a value outside an option list
// falls back to a default in the records, and a copy made from the default
// would verify against the wrong file.
std::vector<cli_export_line> cli_export_lines(const std::vector<std::string> &built,
                                              const std::map<std::string, std::string> &answered);

// The setting a command line sets ("AT+WAKEY=..." -> "WAKEY").
std::string cli_export_setting(const std::string &line);

// Says of a line kept as the module holds it (its secrets masked unless
// `show_secrets`): "WAKEY: WPA3SAE is not in the window's list; written as
// the module holds it".
std::string cli_export_kept_text(const cli_export_line &l, bool show_secrets);

// Where export writes: standard output ("-" or no -o), or a regular file
// replaced whole. A link is followed to the file it names (the link stays);
// the file holds keys, so it is never more open than 0600: an existing
// file's mode is narrowed, not copied.
struct cli_export_target {
    bool to_stdout = true;
    std::string path; // links followed
    mode_t mode = 0600;
};
// Checks -o `output` before any module is touched: false with `why` (bad
// usage) for a target that exists and is no regular file (a device, a FIFO,
// a directory), or a directory that cannot take a new file.
bool cli_export_target_check(const char *output, cli_export_target *t, std::string *why);

#endif
