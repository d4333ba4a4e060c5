// Report records as CSV or JSON Lines, appended record by record.
#include "cli_report.h"

#include "cli_escape.h"
#include "cli_event.h"
#include "cli_output.h"
#include "cli_text.h"
#include "store.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <json-glib/json-glib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

const char CLI_CSV_HEADER[] = "time,port,mid,version,result,seconds,mismatches,note\r\n";

std::string cli_json_seconds(const std::string &json, double seconds)
{
    // Only the member name is unescaped: quotes inside strings are "\"".
    const std::string placeholder = "\"seconds\":null";
    char secs[40];
    std::snprintf(secs, sizeof secs, "%.3f", seconds >= 0 ? seconds : 0.0);
    std::string number = secs;
    number.erase(number.find_last_not_of('0') + 1);
    if (number.back() == '.')
        number.pop_back();
    std::string line = json;
    const size_t at = line.find(placeholder);
    if (at != std::string::npos)
        line.replace(at, placeholder.size(), "\"seconds\":" + number);
    return line;
}

namespace
{

std::string seconds_text(double s)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", s);
    return buf;
}

std::string csv_field(const std::string &text)
{
    // A spreadsheet takes a cell starting with any of these for a formula,
    // TAB and CR included (it drops them and reads on).
    std::string t = cli_text(text, cli_escape::csv);
    if (!text.empty() && std::strchr("=+-@\t\r", text[0]))
        t.insert(0, "'");
    if (t.find_first_of(",\"") == std::string::npos)
        return t;
    std::string q = "\"";
    for (char c : t) {
        if (c == '"')
            q += '"';
        q += c;
    }
    return q + "\"";
}

std::string mismatch_text(const std::vector<cli_mismatch> &list)
{
    std::string out;
    for (const auto &m : list) {
        if (!out.empty())
            out += "; ";
        out += m.setting + ": sent \"" + m.sent + "\", module holds \"" + m.held + "\"";
        if (!m.differs.empty())
            out += " (" + m.differs + " differs)";
    }
    return out;
}

// "rep.JSONL" is as much JSON Lines as "rep.jsonl".
bool ends_with(const std::string &s, const char *suffix)
{
    const size_t n = std::strlen(suffix);
    return s.size() >= n && g_ascii_strcasecmp(s.c_str() + s.size() - n, suffix) == 0;
}

// One line of a JSON Lines report (without its line end): an object with
// every member a record has.
bool is_record_json(const std::string &line)
{
    JsonParser *parser = json_parser_new();
    bool ok =
        json_parser_load_from_data(parser, line.data(), static_cast<gssize>(line.size()), nullptr);
    JsonNode *root = ok ? json_parser_get_root(parser) : nullptr;
    ok = root && JSON_NODE_HOLDS_OBJECT(root);
    for (const char *member :
         {"time", "port", "mid", "version", "result", "seconds", "mismatches", "note"})
        ok = ok && json_object_has_member(json_node_get_object(root), member);
    g_object_unref(parser);
    return ok;
}

// An existing report with records of another format (a CSV file named
// .jsonl, another program's CSV) would get lines no reader of either can
// use. Empty is new. A JSON Lines file may end on a record torn by a crash:
// the next record starts a line of its own.
bool is_own_report(int fd, bool json)
{
    std::string bytes;
    char buf[65536];
    ssize_t n;
    while ((n = pread(fd, buf, sizeof buf, static_cast<off_t>(bytes.size()))) > 0) {
        bytes.append(buf, static_cast<size_t>(n));
        if (!json && bytes.find('\n') != std::string::npos)
            break;
    }
    if (n < 0)
        return false;
    if (bytes.empty())
        return true;
    if (!json) {
        const std::string header = CLI_CSV_HEADER;
        std::string first = bytes.substr(0, bytes.find('\n'));
        if (!first.empty() && first.back() == '\r')
            first.pop_back();
        return first == header.substr(0, header.size() - 2);
    }
    size_t at = 0;
    while (at < bytes.size()) {
        const size_t end = bytes.find('\n', at);
        std::string line = bytes.substr(at, end == std::string::npos ? end : end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const bool torn = end == std::string::npos && line.compare(0, 9, "{\"time\":\"") == 0;
        if (!line.empty() && !torn && !is_record_json(line))
            return false;
        at = end == std::string::npos ? bytes.size() : end + 1;
    }
    return true;
}

} // namespace

std::string cli_iso_time()
{
    // One format for every time modcfg writes: the history's.
    return store_now();
}

std::string cli_record_csv(const cli_record &r)
{
    return csv_field(r.time) + "," + csv_field(r.port) + "," + csv_field(r.mid) + "," +
           csv_field(r.version) + "," + csv_field(r.result) + "," + seconds_text(r.seconds) + "," +
           csv_field(mismatch_text(r.mismatches)) + "," + csv_field(r.note) + "\r\n";
}

std::string cli_record_json(const cli_record &r)
{
    JsonBuilder *b = json_builder_new();
    json_builder_begin_object(b);
    const std::pair<const char *, const std::string *> texts[] = {{"time", &r.time},
                                                                  {"port", &r.port},
                                                                  {"mid", &r.mid},
                                                                  {"version", &r.version},
                                                                  {"result", &r.result}};
    for (const auto &t : texts) {
        json_builder_set_member_name(b, t.first);
        json_builder_add_string_value(b, cli_utf8(*t.second).c_str());
    }
    // A placeholder: the generator would print 0.41 as 0.40999999999999998.
    json_builder_set_member_name(b, "seconds");
    json_builder_add_null_value(b);
    json_builder_set_member_name(b, "mismatches");
    json_builder_begin_array(b);
    for (const auto &m : r.mismatches) {
        json_builder_begin_object(b);
        json_builder_set_member_name(b, "setting");
        json_builder_add_string_value(b, cli_utf8(m.setting).c_str());
        json_builder_set_member_name(b, "sent");
        json_builder_add_string_value(b, cli_utf8(m.sent).c_str());
        json_builder_set_member_name(b, "held");
        json_builder_add_string_value(b, cli_utf8(m.held).c_str());
        json_builder_end_object(b);
    }
    json_builder_end_array(b);
    json_builder_set_member_name(b, "note");
    json_builder_add_string_value(b, cli_utf8(r.note).c_str());
    json_builder_end_object(b);
    std::string line = cli_json_finish(b);
    line = cli_json_seconds(line, r.seconds);
    return line + "\n";
}

cli_report::~cli_report()
{
    if (fd_ >= 0)
        close(fd_);
}

bool cli_report::open(const std::string &path, std::string *error)
{
    path_ = path;
    if (path == "-") {
        *error = cli_gettext("-: a report is a file (records are written as modules finish)");
        return false;
    }
    json_ = ends_with(path, ".jsonl") || ends_with(path, ".ndjson") || ends_with(path, ".json");
    // O_NONBLOCK: opening a FIFO must not wait for a reader before the
    // check below refuses it.
    fd_ = ::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0 && errno == ENOENT) {
        // Created with the first record; the directory must take it.
        const size_t slash = path.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        if (access(dir.c_str(), W_OK | X_OK) != 0) {
            *error = path + ": " + std::strerror(errno);
            return false;
        }
        checked_ = true;
        return true;
    }
    if (fd_ < 0) {
        *error = path + ": " +
                 (errno == EISDIR ? cli_gettext("not a regular file (a directory)")
                                  : std::strerror(errno));
        return false;
    }
    struct stat st;
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = cli_format(cli_gettext("%s: not a regular file (a FIFO, a device or a directory)"),
                            path.c_str());
        close(fd_);
        fd_ = -1;
        return false;
    }
    if (!is_own_report(fd_, json_)) {
        *error = cli_format(json_ ? cli_gettext("%s: holds lines that are not this tool's JSON "
                                                "records; give a new or empty file")
                                  : cli_gettext("%s: its first line is not this tool's CSV header; "
                                                "give a new or empty file"),
                            path.c_str());
        close(fd_);
        fd_ = -1;
        return false;
    }
    fcntl(fd_, F_SETFL, O_APPEND);
    checked_ = true;
    return true;
}

bool cli_report::create(std::string *error)
{
    // Keys travel in some records' texts: the file is the user's alone. A
    // file that appeared since the check is taken as it is.
    fd_ = ::open(path_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0600);
    struct stat st;
    if (fd_ >= 0 && (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd_);
        fd_ = -1;
        errno = EINVAL;
    }
    if (fd_ < 0) {
        *error = path_ + ": " + std::strerror(errno);
        return false;
    }
    fcntl(fd_, F_SETFL, O_APPEND);
    return true;
}

bool cli_report::append(const cli_record &r, std::string *error)
{
    queue_.push_back(json_ ? cli_record_json(r) : cli_record_csv(r));
    return flush(false, error);
}

bool cli_report::flush(bool wait, std::string *error)
{
    if (queue_.empty())
        return true;
    if (fd_ < 0 && !create(error)) {
        incomplete_ = true;
        return false;
    }
    // A signal (the parent's Ctrl-C, a worker's end) interrupts a wait; the
    // lock is taken again, never skipped.
    int rc;
    while ((rc = flock(fd_, wait ? LOCK_EX : LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        if (errno == EWOULDBLOCK)
            return true; // held elsewhere: later
        *error = cli_format(cli_gettext("%s: lock: %s"), path_.c_str(), std::strerror(errno));
        incomplete_ = true;
        return false;
    }
    bool ok = true;
    while (!queue_.empty()) {
        std::string bytes;
        struct stat st;
        if (fstat(fd_, &st) != 0) {
            ok = false;
            break;
        }
        if (st.st_size == 0 && !json_) {
            bytes = CLI_CSV_HEADER;
        } else if (st.st_size > 0) {
            // A record cut short by another program (the power went) must
            // not swallow the next one into its line.
            char last = '\n';
            if (pread(fd_, &last, 1, st.st_size - 1) == 1 && last != '\n')
                bytes = json_ ? "\n" : "\r\n";
        }
        bytes += queue_.front();
        if (!cli_write_all(fd_, bytes) || fdatasync(fd_) != 0) {
            // The part that went in is taken back out: the file ends on a
            // whole record, and a later record starts a line of its own.
            const int saved = errno;
            if (ftruncate(fd_, st.st_size) != 0) {
                // Nothing more to do: the torn line is closed by the next
                // record written.
            }
            errno = saved;
            ok = false;
            break;
        }
        queue_.erase(queue_.begin());
    }
    if (!ok) {
        *error = path_ + ": " + std::strerror(errno);
        incomplete_ = true;
    }
    flock(fd_, LOCK_UN);
    return ok;
}

void cli_report::forget_in_child()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
    queue_.clear();
}
