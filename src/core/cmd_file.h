// Command files: the temporary file each page's Confirm writes, the command
// file saved from them under data/, and applying a command file to a module.
#ifndef MODCFG_CMD_FILE_H
#define MODCFG_CMD_FILE_H

#include "command.h"

#include <string>
#include <sys/types.h>
#include <vector>

// Temporary command file of a page (ENCMDTYPE code), e.g. "cmd_mana_tmp.txt".
const char *cmd_tmp_file(int type);
// Directory of command files, relative to the working directory.
constexpr const char *CMD_FILE_DIR = "data/";

// Writes `bytes` to `path` through "path.new" renamed over it, so a failed
// write never leaves half a file in place of the old. A new file gets mode
// 0600 (command files hold Wi-Fi keys); an existing one keeps its mode.
// False with errno set when it could not be written; the old file stays.
bool cmd_file_write_whole(const std::string &path, const std::string &bytes);
// The same with the file's mode given.
bool cmd_file_write_whole(const std::string &path, const std::string &bytes, mode_t mode);

// True when a command-file line (without its line end) may be sent: no
// zero byte and no control bytes other than tab. Any other bytes pass, in
// whatever character set (a module text in GB18030 is sent as it is).
// Apply skips the lines it refuses; the command line refuses a file
// holding one.
bool cmd_file_line_is_text(const std::string &line);

// The command text an entry stands for: "AT+" cmd "=" args joined by ",".
std::string cmd_entry_text(const STRCOMMAND &entry);

// Sends every pending command of table `type` with module_send_cmd_set and
// records them, CR LF each and then "E", in the page's temporary file; empties
// the table. A command that cmd_file_line_is_text refuses is neither sent
// nor recorded, with a console line naming it. Returns 0, with nothing sent
// and the table kept, when the file cannot be written; else 1
// (unacknowledged commands still count as sent). When the file cannot be
// written after the commands went out, the old one is removed (it holds an
// earlier Confirm's commands) and the new content is kept for
// save_command_file.
int confirm_pending_commands(int type);

// Joins the four temporary files into "data/" + name, then the line "E".
// First writes the temporary file of any page whose last Confirm could not
// be recorded; if that fails again nothing is saved. The old command file
// is replaced only once the new one is complete. Returns 1, or 0 after
// printing which file could not be written.
int save_command_file(const std::string &name);

// Sends the lines of "data/" + name with module_send_cmd_set up to the first
// line beginning with "E", an empty line or the end; a line holding a zero
// byte, or one that cmd_file_line_is_text refuses, is reported and
// skipped. Returns 0 when the path is no file that can be opened (missing,
// a directory), else 1.
int apply_command_file(const std::string &name);

// Longest command text a frame carries (the frame adds a line feed and
// holds at most 99 bytes).
constexpr size_t CMD_TEXT_MAX = 98;

// Where the lines an apply sends ended.
struct cmd_file_end {
    int line = 0;       // number of the line that ended them (0: the file's end)
    bool empty = false; // that line is empty, not one beginning with "E"
    int following = 0;  // non-empty lines after an empty one, up to an "E" line
    int end_mark = 0;   // number of the first line beginning with "E" (0: none)
    int after_mark = 0; // non-empty lines after that one
};

// The lines an apply sends, from the file at `path`: up to the first line
// beginning with "E", an empty line or the end, line ends (LF or CR LF)
// removed; line k of the file is lines[k - 1]. A UTF-8 byte-order mark as
// the file's first three bytes (editors on Windows write one) is no part of
// line 1. `end`, when given, tells where and why the lines ended. False
// when it is not a regular file or cannot be opened or read.
bool cmd_file_read_lines(const std::string &path, std::vector<std::string> &lines,
                         cmd_file_end *end = nullptr);

// Why a command file cannot be sent as a whole (cmd_file_check).
enum class cmd_file_fault {
    none,
    os_error,   // it cannot be looked at (`os_errno`)
    unreadable, // not a regular file, or not readable
    ends_early, // an empty `line` ends the commands, `following` lines after it
    not_text,   // `line` holds a zero byte or control bytes
    too_long,   // `line` is `length` bytes, more than CMD_TEXT_MAX
    no_command, // nothing before its end
    after_end,  // the end line `line` has `following` non-empty lines after it
    ends_link,  // `line` ends the module's command mode ("AT+ENTM", "AT+Z", "AT+RELD")
};
struct cmd_file_problem {
    cmd_file_fault fault = cmd_file_fault::none;
    int os_errno = 0;
    int line = 0; // from 1
    int following = 0;
    size_t length = 0;
    std::string text; // the line at fault (ends_link)
};

// Reads `path` as cmd_file_read_lines does and checks that what an apply
// would send goes out whole: the window's apply would stop at an empty line
// or at the end line (two files joined lose the second), or skip a line that
// is not text and send the rest, and a module configured without them is
// worse than one not configured. A line that ends the command mode
// (cmd_line_ends_link) is refused too: every later line would reach the
// module's network peer as data. True with `lines`; false with `problem`
// saying the first fault.
bool cmd_file_check(const std::string &path, std::vector<std::string> &lines,
                    cmd_file_problem *problem);

// True when `line` is "AT+ENTM", "AT+Z" or "AT+RELD" (any case, with or
// without "=" and arguments): after it the module takes no more commands.
bool cmd_line_ends_link(const std::string &line);

// Told of each line an apply sent, for a face that shows progress or reads
// the settings back afterwards.
struct cmd_apply_observer {
    virtual ~cmd_apply_observer() = default;
    // Line `number` of the file went out; `acked` is module_send_cmd_set's
    // result. False stops the apply there (the link is gone).
    virtual bool sent(int number, const std::string &line, int acked) = 0;
};
// apply_command_file on the file at `path` (any path), with the same
// console lines and the same refusals, telling `observer` (when given) of
// every line sent.
int cmd_file_apply(const std::string &path, cmd_apply_observer *observer);
// The sending part of cmd_file_apply, on `lines` as cmd_file_read_lines
// gave them: a face that checked a file once applies what it checked, even
// when the file changes on disk meanwhile.
void cmd_lines_apply(const std::vector<std::string> &lines, cmd_apply_observer *observer);

#endif
