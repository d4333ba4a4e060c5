// Command files: temporary files of Confirm, saving and applying.
#include "cmd_file.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *tmp_files[] = {"cmd_mana_tmp.txt", "cmd_comm_tmp.txt",
                                     "cmd_ap_tmp.txt", "cmd_sta_tmp.txt"};

// Per page (ENCMDTYPE): the temporary file's content of a Confirm whose
// commands were sent but could not be written; empty once it is recorded.
std::optional<std::string> unrecorded[4];

// Reads one line of any length; false at the end of the file. The line end
// (LF or CR LF) is removed; `had_end` tells whether there was one.
bool read_line(std::istream &in, std::string &line, bool &had_end)
{
    line.clear();
    if (!std::getline(in, line)) {
        return false;
    }
    had_end = !in.eof();
    if (had_end && !line.empty() && line.back() == '\r')
        line.pop_back();
    return true;
}

} // namespace

bool cmd_file_write_whole(const std::string &path, const std::string &bytes)
{
    // Command files hold Wi-Fi keys: a new one is the user's alone, an
    // existing one keeps the mode its owner gave it.
    struct stat st;
    return cmd_file_write_whole(path, bytes,
                                stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0600);
}

bool cmd_file_write_whole(const std::string &path, const std::string &bytes, mode_t mode)
{
    const std::string tmp = path + ".new";
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    // A leftover temporary file keeps its own mode through O_CREAT.
    struct stat tmp_st;
    bool ok = fstat(fd, &tmp_st) == 0;
    if (ok && S_ISREG(tmp_st.st_mode))
        ok = fchmod(fd, mode) == 0;
    size_t done = 0;
    while (ok && done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<size_t>(n);
    }
    ok = close(fd) == 0 && ok;
    if (ok && std::rename(tmp.c_str(), path.c_str()) == 0)
        return true;
    const int saved = errno;
    unlink(tmp.c_str());
    errno = saved;
    return false;
}

namespace
{

// A failed write never leaves a half-written file in place of the old.
bool write_replacing(const std::string &path, const std::string &bytes)
{
    return cmd_file_write_whole(path, bytes);
}

// Sends one command and says so when the module did not acknowledge it:
// the workflow goes on, but the operator must see the failure.
int send_and_report(const std::string &text)
{
    if (module_send_cmd_set(text.c_str()))
        return 1;
    std::printf("Not acknowledged by the module: %s\n", text.c_str());
    return 0;
}

} // namespace

bool cmd_file_line_is_text(const std::string &line)
{
    // Bytes above 0x7f are left alone: module texts (an SSID in GB18030)
    // are sent as the module holds them, whatever their character set.
    for (unsigned char c : line)
        if ((c < 0x20 && c != '\t') || c == 0x7f)
            return false;
    return true;
}

bool cmd_line_ends_link(const std::string &line)
{
    std::string name = line.substr(0, line.find('='));
    for (char &c : name)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name == "AT+ENTM" || name == "AT+Z" || name == "AT+RELD";
}

const char *cmd_tmp_file(int type)
{
    if (type < CMDTYPE_MOD || type > CMDTYPE_STA)
        return nullptr;
    return tmp_files[type];
}

std::string cmd_entry_text(const STRCOMMAND &entry)
{
    std::string text = "AT+";
    text += entry.cmd;
    text += '=';
    for (int i = 0; i < entry.value_num && i < 10; i++) {
        if (i > 0)
            text += ',';
        text += entry.value[i];
    }
    return text;
}

int confirm_pending_commands(int type)
{
    STRCOMMAND *table = cmd_table(type);
    int *count = cmd_count(type);
    const char *file = cmd_tmp_file(type);
    if (!table || !count || !file)
        return 0;
    // Probe that the file can be written before anything is sent; the
    // content is written whole at the end.
    std::string probe = std::string(file) + ".new";
    const int f = open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (f < 0) {
        std::printf("Can not open file: %s\n", file);
        return 0;
    }
    close(f);

    std::string bytes;
    std::printf("\n------------Start to send Command------------\n");
    for (int i = 0; i < *count; i++) {
        std::string text = cmd_entry_text(table[i]);
        // A module text holding a CR (an SSID as the module reported it)
        // would split the frame, and the module would take the tail for a
        // command of its own: such a command is neither sent nor recorded,
        // as apply would refuse its line. Its bytes are not printed either.
        if (!cmd_file_line_is_text(text)) {
            std::printf("Not sent, the command holds control bytes: AT+%s\n", table[i].cmd);
            continue;
        }
        std::printf("Send CMD: %s\n", text.c_str());
        send_and_report(text);
        bytes += text + "\r\n";
    }
    std::printf("-----------------Finished-----------------\n\n");
    bytes += 'E';
    if (write_replacing(file, bytes)) {
        unrecorded[type].reset();
    } else {
        std::printf("Can not write file: %s: %s\n", file, std::strerror(errno));
        // The old file holds an earlier Confirm's commands: a save must not
        // take them for these. Save writes these from memory instead.
        unlink(file);
        unrecorded[type] = bytes;
    }
    *count = 0;
    return 1;
}

int save_command_file(const std::string &name)
{
    // A page whose last Confirm could not be recorded gets its file now, or
    // nothing is saved: the command file holds exactly the commands last
    // confirmed on each page, or is not written.
    for (int type = CMDTYPE_MOD; type <= CMDTYPE_STA; type++) {
        if (!unrecorded[type])
            continue;
        if (!write_replacing(tmp_files[type], *unrecorded[type])) {
            std::printf("Not saved: the commands last confirmed could not be written to %s: %s\n",
                        tmp_files[type], std::strerror(errno));
            return 0;
        }
        unrecorded[type].reset();
    }
    std::string path = std::string(CMD_FILE_DIR) + name;
    std::string bytes;
    for (const char *tmp : tmp_files) {
        std::ifstream in(tmp, std::ios::binary);
        if (!in)
            continue;
        std::string line;
        bool had_end = false;
        while (read_line(in, line, had_end) && line.compare(0, 1, "E") != 0)
            bytes += line + "\r\n";
    }
    bytes += "E\r\n";
    if (!write_replacing(path, bytes)) {
        // Names the file that really failed, not a fixed name.
        std::printf("Can not open file: %s\n", path.c_str());
        return 0;
    }
    return 1;
}

int apply_command_file(const std::string &name)
{
    return cmd_file_apply(std::string(CMD_FILE_DIR) + name, nullptr);
}

bool cmd_file_read_lines(const std::string &path, std::vector<std::string> &lines,
                         cmd_file_end *end)
{
    lines.clear();
    cmd_file_end where;
    // A directory ("data/" of an empty name) opens but reads nothing, and a
    // FIFO would block the caller: only a file is a command file.
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::string line;
    bool had_end = false;
    int number = 0;
    while (read_line(in, line, had_end)) {
        number++;
        if (number == 1 && line.compare(0, 3, "\xef\xbb\xbf") == 0)
            line.erase(0, 3);
        if (line.empty() || line[0] == 'E') {
            where.line = number;
            where.empty = line.empty();
            break;
        }
        lines.push_back(line);
    }
    // What an empty line would leave unsent: the lines up to the end line.
    if (where.empty) {
        while (read_line(in, line, had_end)) {
            number++;
            if (line.compare(0, 1, "E") == 0) {
                where.end_mark = number;
                break;
            }
            if (!line.empty())
                where.following++;
        }
    } else if (where.line > 0) {
        where.end_mark = where.line;
    }
    // And what the end line leaves: a second file joined to this one.
    if (where.end_mark > 0)
        while (read_line(in, line, had_end))
            if (!line.empty())
                where.after_mark++;
    if (end)
        *end = where;
    // A read that failed, not the end of the file, leaves no whole file.
    return !in.bad();
}

int cmd_file_apply(const std::string &path, cmd_apply_observer *observer)
{
    std::vector<std::string> lines;
    if (!cmd_file_read_lines(path, lines)) {
        std::printf("Can not open file: %s\n", path.c_str());
        return 0;
    }
    cmd_lines_apply(lines, observer);
    return 1;
}

void cmd_lines_apply(const std::vector<std::string> &lines, cmd_apply_observer *observer)
{
    std::printf("\n------------Start to send Command------------\n");
    for (int number = 1; number <= static_cast<int>(lines.size()); number++) {
        const std::string &line = lines[number - 1];
        // A zero byte would cut the command short: send none of it.
        if (line.find('\0') != std::string::npos) {
            std::printf("Not sent, the line holds a zero byte: %s\n", line.c_str());
            continue;
        }
        // Nor a line with control bytes (a picture or program picked as the
        // command file): they would end or split the command on the wire.
        if (!cmd_file_line_is_text(line)) {
            std::printf("Not sent, line %d is not text\n", number);
            continue;
        }
        std::printf("Send Command: %s\n", line.c_str());
        std::fflush(stdout);
        const int acked = send_and_report(line);
        if (observer && !observer->sent(number, line, acked))
            break;
    }
    std::printf("-----------------Finished-----------------\n\n");
}

bool cmd_file_check(const std::string &path, std::vector<std::string> &lines,
                    cmd_file_problem *problem)
{
    *problem = cmd_file_problem();
    cmd_file_end end;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        problem->fault = cmd_file_fault::os_error;
        problem->os_errno = errno;
        return false;
    }
    if (!S_ISREG(st.st_mode) || !cmd_file_read_lines(path, lines, &end)) {
        problem->fault = cmd_file_fault::unreadable;
        return false;
    }
    // Lines after an empty one would silently never be sent while the run
    // said verified.
    if (end.empty && end.following > 0) {
        problem->fault = cmd_file_fault::ends_early;
        problem->line = end.line;
        problem->following = end.following;
        return false;
    }
    if (end.after_mark > 0) {
        problem->fault = cmd_file_fault::after_end;
        problem->line = end.end_mark;
        problem->following = end.after_mark;
        return false;
    }
    for (size_t i = 0; i < lines.size(); i++) {
        // A longer line overflows the module's frame, and its progress
        // message alone can outgrow a worker's pipe frames.
        const cmd_file_fault f = !cmd_file_line_is_text(lines[i]) ? cmd_file_fault::not_text
                                 : lines[i].size() > CMD_TEXT_MAX ? cmd_file_fault::too_long
                                 : cmd_line_ends_link(lines[i])   ? cmd_file_fault::ends_link
                                                                  : cmd_file_fault::none;
        if (f != cmd_file_fault::none) {
            problem->fault = f;
            problem->line = static_cast<int>(i + 1);
            problem->length = lines[i].size();
            if (f == cmd_file_fault::ends_link)
                problem->text = lines[i];
            return false;
        }
    }
    if (lines.empty()) {
        problem->fault = cmd_file_fault::no_command;
        return false;
    }
    return true;
}
