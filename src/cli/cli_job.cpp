// One module in one worker process: the command line's binding of the
// module operations, and connect, read, apply, verify, restart and release
// as events for the parent. The worker's state is one object it owns.
#include "cli_job.h"

#include "cli_event.h"
#include "cli_history.h"
#include "cli_output.h"
#include "cli_pool.h"
#include "cli_protocol.h"
#include "cli_scan.h"
#include "cli_text.h"
#include "cmd_file.h"
#include "line_scan.h"
#include "main.h"
#include "module.h"
#include "module_at.h"
#include "module_port.h"
#include "module_read.h"
#include "module_session.h"
#include "pccom.h"
#include "tcpsock.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <map>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{

enum class link_kind { serial, tcp };

using mono = std::chrono::steady_clock;

// What a worker process holds while it works: the link, its counters, what
// was sent and heard. The worker owns it; the module operations reach it
// through their context.
struct worker_state {
    link_kind link_in_use = link_kind::serial;
    int event_fd = -1;
    int answer_fd = -1;
    bool parent_gone = false;
    // The link failed under an exchange and is gone (hang-up, closed peer):
    // every later exchange fails at once instead of waiting out its tries.
    bool link_lost = false;
    // Query text -> value of every query answered in this process.
    std::map<std::string, std::string> answered;
    // Queries whose reply was cut short (longer than a frame, or still
    // coming when its read ran out): failed, never a value.
    std::set<std::string> cut_short;
    // The module was brought into command mode (its echo test ran), and
    // taken on (the parent said go: it is asked its version, and recorded).
    bool entered = false, taken_on = false;
    mono::time_point last_alive;
    // The module in progress: its deadline, the bytes it sent, the
    // exchanges in a row it left without a byte of answer, and why it
    // counts as gone.
    mono::time_point deadline = mono::time_point::max();
    long module_timeout_s = CLI_MODULE_TIMEOUT_FAST;
    bool past_deadline = false;
    long long heard = 0;
    mono::time_point last_byte; // when the module sent its last byte
    int silent_exchanges = 0;
    std::string gone_note;
    // Records this worker's module as its events go by.
    cli_history *history = nullptr;
    // The link under the exchange, counting the bytes the module sends and
    // failing every write and read once the module's time is up. Which
    // link it wraps is chosen when the worker starts.
    const at_link *base_link = &serial_link;
    at_link counted_link = {nullptr, nullptr, nullptr};
};

// The one worker of this process, for the end of an orphan.
worker_state *the_worker = nullptr;

// Reached by the signal handlers.
volatile sig_atomic_t stop_asked = 0;
// The link in command mode, for the "AT+ENTM" of a second Ctrl-C (-1: none).
volatile sig_atomic_t leave_fd = -1;
volatile sig_atomic_t leave_on_socket = 0;
// The parent has died (PR_SET_PDEATHSIG): nothing more is sent but the
// module's release.
volatile sig_atomic_t orphaned = 0;
// How long a worker waits for the parent's go or skip. The parent answers
// as it reads the event; this only bounds a parent that stopped reading.
constexpr auto ANSWER_WAIT = std::chrono::seconds(60);

// How often an exchange tells the parent it is still at work, at most.
constexpr auto ALIVE_EVERY = std::chrono::seconds(1);
// Pause between two looks for a module in wait mode, milliseconds.
constexpr int WAIT_PAUSE_MS = 1000;

void on_term(int)
{
    stop_asked = 1;
}

long elapsed_ms(const timespec &since)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * 1000L + (now.tv_nsec - since.tv_nsec) / 1000000L;
}

// Lets the module on `fd` go with "AT+ENTM" (its "+ok" awaited
// CLI_LEAVE_BUDGET_MS at most). Only async-signal-safe calls.
void leave_at_once(int fd)
{
    if (fd > 0) {
        static const char frame[] = "AT+ENTM\n";
        const size_t len = sizeof frame - 1;
        const ssize_t sent =
            leave_on_socket ? send(fd, frame, len, MSG_NOSIGNAL) : write(fd, frame, len);
        timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        char seen[4] = {0, 0, 0, 0};
        for (long left = CLI_LEAVE_BUDGET_MS; sent > 0 && left > 0;
             left = CLI_LEAVE_BUDGET_MS - elapsed_ms(start)) {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0)
                break;
            char buf[64];
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            bool ok = false;
            for (ssize_t i = 0; i < n && !ok; i++) {
                seen[0] = seen[1];
                seen[1] = seen[2];
                seen[2] = buf[i];
                ok = seen[0] == '+' && seen[1] == 'o' && seen[2] == 'k';
            }
            if (ok)
                break;
        }
    }
}

// A second Ctrl-C: a module in command mode is let go, then the worker
// ends; the exchange under way is abandoned.
void on_abort(int)
{
    leave_at_once(leave_fd);
    _exit(0);
}

// The parent died: every read under way fails at once, and the worker's
// next step ends it (orphan_end).
void on_orphan(int)
{
    orphaned = 1;
    stop_asked = 1;
    serial_interrupt_reads();
}
void emit(worker_state &w, const cli_event &ev)
{
    const cli_event out = w.history ? w.history->worker_event(ev) : ev;
    if (!w.parent_gone && !cli_event_write(w.event_fd, out))
        w.parent_gone = true;
}

void alive(worker_state &w)
{
    const auto now = mono::now();
    if (now - w.last_alive >= ALIVE_EVERY) {
        w.last_alive = now;
        emit(w, cli_event(cli_ev::ALIVE));
    }
}

int link_fd(const worker_state &w)
{
    return w.link_in_use == link_kind::tcp ? tcpsocket : strPCCom.fd;
}

// The far side has gone: a pty or adapter hung up, a TCP peer closed.
bool link_gone_now(const worker_state &w)
{
    const int fd = link_fd(w);
    if (fd <= 0)
        return true;
    pollfd p = {fd, static_cast<short>(w.link_in_use == link_kind::tcp ? POLLRDHUP : 0), 0};
    if (poll(&p, 1, 0) < 0)
        return false;
    return (p.revents & (POLLHUP | POLLERR | POLLNVAL | POLLRDHUP)) != 0;
}

void after_exchange(worker_state &w, int ok, long long heard_before)
{
    if (w.heard == heard_before) {
        if (++w.silent_exchanges >= CLI_SILENT_EXCHANGES_GONE && !w.link_lost) {
            w.link_lost = true;
            w.gone_note = "no answer";
        }
    } else {
        w.silent_exchanges = 0;
    }
    if (w.past_deadline && !w.link_lost) {
        w.link_lost = true;
        w.gone_note = "took longer than " + std::to_string(w.module_timeout_s) + " s";
    }
    if (!ok && link_gone_now(w))
        w.link_lost = true;
    alive(w);
}

// A new module on the link: its own deadline and count of silences.
void module_begins(worker_state &w)
{
    w.deadline = mono::now() + std::chrono::seconds(w.module_timeout_s);
    w.past_deadline = false;
    w.last_byte = mono::now();
    w.silent_exchanges = 0;
    w.gone_note.clear();
}

// An orphan stops talking: the module in command mode is let go, its
// record says the run was interrupted, and the worker ends at once.
[[noreturn]] void orphan_end(worker_state &w)
{
    const int fd = leave_fd > 0 ? static_cast<int>(leave_fd) : w.entered ? link_fd(w) : -1;
    leave_at_once(fd);
    w.parent_gone = true;
    // One only asked its MID was not taken on: no record, as when let go.
    if (w.taken_on)
        emit(w, cli_event(cli_ev::RESULT)
                    .set("result", RESULT_INTERRUPTED)
                    .set("note", "modcfg ended; the module was let go")
                    .set("restarted", 0L));
    std::fflush(nullptr);
    _exit(0);
}

bool time_is_up(worker_state &w)
{
    if (orphaned)
        orphan_end(w);
    if (!w.past_deadline && mono::now() >= w.deadline)
        w.past_deadline = true;
    return w.past_deadline;
}

int counted_write(void *ctx, const char *buf, int len)
{
    worker_state &w = *static_cast<worker_state *>(ctx);
    return time_is_up(w) ? -1 : w.base_link->write(w.base_link->ctx, buf, len);
}

// A module silent for CLI_SILENCE_GONE_S is gone: its reads fail.
bool silent_too_long(worker_state &w)
{
    if (mono::now() - w.last_byte < std::chrono::seconds(CLI_SILENCE_GONE_S))
        return false;
    if (!w.link_lost)
        w.gone_note = "no answer";
    w.link_lost = true;
    return true;
}

void heard(worker_state &w, int n)
{
    if (n > 0) {
        w.heard += n;
        w.last_byte = mono::now();
    }
}

int counted_read(void *ctx, char *buf, int len)
{
    worker_state &w = *static_cast<worker_state *>(ctx);
    if (time_is_up(w) || silent_too_long(w))
        return -1;
    const int n = w.base_link->read(w.base_link->ctx, buf, len);
    heard(w, n);
    return n;
}

int counted_read_until(void *ctx, char *buf, int len, int first_byte_ms, const at_read_end &done)
{
    worker_state &w = *static_cast<worker_state *>(ctx);
    if (time_is_up(w) || silent_too_long(w))
        return -1;
    const int n = w.base_link->read_until(w.base_link->ctx, buf, len, first_byte_ms, done);
    heard(w, n);
    return n;
}

void counted_drop(void *ctx)
{
    worker_state &w = *static_cast<worker_state *>(ctx);
    if (w.base_link->drop_waiting)
        w.base_link->drop_waiting(w.base_link->ctx);
}

bool counted_read_cut(void *ctx)
{
    worker_state &w = *static_cast<worker_state *>(ctx);
    return w.base_link->read_cut && w.base_link->read_cut(w.base_link->ctx);
}

// The link the window's exchange uses, with its drop of waiting bytes,
// cut-read check and empty-read time, counting what the module sends.
void use_link(worker_state &w, link_kind kind)
{
    w.link_in_use = kind;
    w.base_link = kind == link_kind::tcp ? &net_link : &serial_link;
    w.counted_link.write = counted_write;
    w.counted_link.read = counted_read;
    w.counted_link.read_until = w.base_link->read_until ? counted_read_until : nullptr;
    w.counted_link.drop_waiting = counted_drop;
    w.counted_link.read_cut = counted_read_cut;
    w.counted_link.empty_read_ms = w.base_link->empty_read_ms;
    w.counted_link.ctx = &w;
}

// Sleeps up to `ms`, less when the parent asked this waiting worker to end.
void nap(int ms)
{
    const auto end = mono::now() + std::chrono::milliseconds(ms);
    while (!stop_asked && mono::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (orphaned && the_worker)
        orphan_end(*the_worker);
}

void close_serial()
{
    CommClose(strPCCom.fd);
    strPCCom.fd = 0;
}

// Device identity: a re-plugged adapter gets a new device node.
std::string device_id(const std::string &device)
{
    struct stat st;
    if (stat(device.c_str(), &st) != 0)
        return "";
    return std::to_string(st.st_rdev) + ":" + std::to_string(st.st_ino);
}

// The parent's answer to this worker's "module" event: true for go; else
// `why` says what to do ("stop", "done").
bool parent_says_go(worker_state &w, std::string *why)
{
    *why = "stop";
    std::string buf;
    const auto end = mono::now() + ANSWER_WAIT;
    while (!w.parent_gone) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - mono::now()).count();
        if (left <= 0)
            return false;
        pollfd p = {w.answer_fd, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        char b[256];
        const ssize_t n = read(w.answer_fd, b, sizeof b);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        buf.append(b, static_cast<size_t>(n));
        std::vector<cli_event> evs;
        if (!cli_event_take(buf, evs))
            return false;
        if (!evs.empty()) {
            *why = evs[0].get("why");
            w.last_byte = mono::now(); // the module's silence counts from here
            w.taken_on = evs[0].kind == cli_ev::GO;
            return w.taken_on;
        }
    }
    return false;
}

std::string query(const char *cmd)
{
    char v[AT_VALUE_MAX + 1] = "";
    return module_send_cmd_get(cmd, v) ? v : "";
}

// The module's MID, asked once more when it came empty (a reply another
// frame left on the line); empty when it stays so.
std::string module_mid(const worker_state &w)
{
    std::string mid = query("AT+MID");
    if (mid.empty() && !w.link_lost)
        mid = query("AT+MID");
    return mid;
}

struct apply_watch : cmd_apply_observer {
    explicit apply_watch(worker_state &state) : w(state) {}
    worker_state &w;
    int total = 0;
    std::vector<std::string> lines;
    int unacked = 0;
    bool sent(int number, const std::string &line, int acked) override
    {
        (void)number;
        lines.push_back(line);
        if (!acked) {
            unacked++;
            emit(w, cli_event(cli_ev::UNACKED).set("line", line));
        }
        emit(w, cli_event(cli_ev::PROGRESS)
                    .set("stage", "apply")
                    .set("done", static_cast<long>(lines.size()))
                    .set("total", total));
        return !w.link_lost && !w.parent_gone;
    }
};

// Reads back what `lines` set; the number of settings the module does not
// hold (or did not report). `checked` gets the number of settings that
// could be read back.
int verify_lines(worker_state &w, const std::vector<std::string> &lines, size_t *checked = nullptr)
{
    // A setting given twice holds its last value.
    std::vector<std::pair<std::string, std::string>> targets;
    for (const auto &line : lines) {
        std::string name, args;
        if (!verify_line_target(line, &name, &args)) {
            emit(w, cli_event(cli_ev::UNVERIFIABLE).set("line", line));
            continue;
        }
        for (auto it = targets.begin(); it != targets.end(); ++it)
            if (it->first == name) {
                targets.erase(it);
                break;
            }
        targets.emplace_back(name, args);
    }
    if (checked)
        *checked = targets.size();
    int failed = 0;
    for (size_t i = 0; i < targets.size() && !w.link_lost && !w.parent_gone; i++) {
        emit(w, cli_event(cli_ev::PROGRESS)
                    .set("stage", "verify")
                    .set("done", static_cast<long>(i))
                    .set("total", static_cast<long>(targets.size())));
        const auto &t = targets[i];
        char v[AT_VALUE_MAX + 1] = "";
        const std::string q = "AT+" + t.first;
        const bool got = module_send_cmd_get(q.c_str(), v) == 1;
        // Three silences in a row: the module is gone, not mismatched.
        if (!got && w.link_lost)
            break;
        if (!got || !verify_value_holds(t.second, v)) {
            failed++;
            emit(w, cli_event(cli_ev::MISMATCH)
                        .set("setting", t.first)
                        .set("sent", t.second)
                        .set("held", got ? v : "")
                        .set("answered", got ? 1L : 0L)
                        .set("why", !got && w.cut_short.count(q) ? "reply cut short" : ""));
        }
    }
    return failed;
}

void restart_module(const worker_state &w)
{
    // Written raw, as the restart button does: the module goes off at once
    // and its "+ok" may never come.
    if (w.link_in_use == link_kind::tcp) {
        tcp_exchange ex;
        sendn("AT+Z\n", 5);
    } else {
        CommWrite(strPCCom.fd, "AT+Z\n", 5);
    }
}

// The task on a module that is in command mode; emits the result.
void run_task(worker_state &w, const cli_job &job)
{
    std::string result = RESULT_DONE;
    std::string note;
    bool restarted = false;
    switch (job.task) {
    case cli_task::read:
    case cli_task::export_: {
        emit(w, cli_event(cli_ev::STAGE).set("text", "read"));
        w.answered.clear();
        init_module_mana_struct();
        init_module_comm_struct();
        init_module_ap_struct();
        init_module_sta_struct();
        int missing = 0;
        std::string cut;
        for (const char *name : module_query_names) {
            const std::string q = std::string("AT+") + name;
            auto it = w.answered.find(q);
            if (it == w.answered.end() && w.cut_short.count(q)) {
                missing++;
                cut += (cut.empty() ? "reply cut short: " : ", ") + q;
            } else if (it == w.answered.end()) {
                missing++;
                note += (note.empty() ? "no answer to " : ", ") + q;
            } else {
                emit(w, cli_event(cli_ev::VALUE).set("name", name).set("value", it->second));
            }
        }
        if (!cut.empty())
            note += (note.empty() ? "" : "; ") + cut;
        if (missing > 0) {
            result = w.link_lost ? RESULT_LINK_LOST : RESULT_NOT_ACKED;
        } else if (job.task == cli_task::export_) {
            for (const auto &line : module_setting_commands())
                emit(w, cli_event(cli_ev::COMMAND).set("line", line));
        }
        break;
    }
    case cli_task::apply:
    case cli_task::provision: {
        emit(w, cli_event(cli_ev::STAGE).set("text", "apply"));
        apply_watch watch(w);
        watch.total = job.file_lines;
        cmd_lines_apply(job.lines, &watch);
        int mismatches = 0;
        size_t checked = 0;
        if (job.verify && !w.link_lost && !w.parent_gone) {
            emit(w, cli_event(cli_ev::STAGE).set("text", "verify"));
            mismatches = verify_lines(w, watch.lines, &checked);
        }
        if (w.link_lost)
            result = RESULT_LINK_LOST;
        else if (watch.unacked > 0)
            result = RESULT_NOT_ACKED;
        else if (mismatches > 0)
            result = RESULT_MISMATCH;
        else if (!job.verify)
            result = RESULT_DONE;
        else
            // "verified" would claim a read-back that no line allowed.
            result = checked > 0 ? RESULT_VERIFIED : RESULT_ACKNOWLEDGED;
        // Only a module that took everything is restarted: new settings
        // that went wrong (a serial rate, an address) could leave it out of
        // reach once they take effect.
        if (job.restart && cli_result_done(result)) {
            emit(w, cli_event(cli_ev::STAGE).set("text", "restart"));
            restart_module(w);
            restarted = true;
        }
        break;
    }
    case cli_task::verify: {
        emit(w, cli_event(cli_ev::STAGE).set("text", "verify"));
        const int mismatches = verify_lines(w, job.lines);
        result = w.link_lost      ? RESULT_LINK_LOST
                 : mismatches > 0 ? RESULT_MISMATCH
                                  : RESULT_VERIFIED;
        break;
    }
    }
    if (!restarted && !w.link_lost) {
        emit(w, cli_event(cli_ev::STAGE).set("text", "release"));
        module_session_leave();
    }
    leave_fd = -1;
    if (w.link_lost) {
        result = RESULT_LINK_LOST;
        if (!w.gone_note.empty())
            note = w.gone_note + (note.empty() ? "" : "; " + note);
    }
    emit(w, cli_event(cli_ev::RESULT)
                .set("result", result)
                .set("note", note)
                .set("restarted", restarted ? 1L : 0L));
}

// The module's row of the job's pool, before anything is sent; a module
// without one is let go untouched. False when it was.
bool take_row(worker_state &w, cli_job &job, const std::string &mid)
{
    cli_event ev;
    const bool got = cli_pool_take(job, mid, &ev);
    if (!got && !w.link_lost)
        module_session_leave();
    if (!ev.kind.empty())
        emit(w, ev);
    return got;
}

// The parent died: a module `transparent_fd` found in transparent mode (by
// a scan; -1: none) is let go, and the worker ends.
void end_if_orphan(worker_state &w, int transparent_fd = -1)
{
    if (!orphaned)
        return;
    if (transparent_fd > 0)
        leave_at_once(transparent_fd);
    orphan_end(w);
}

// A module is known by its MID: one without (asked twice) is let go,
// not worked on, and ends as no-mid. True when it did.
bool ended_without_mid(worker_state &w, const std::string &mid)
{
    if (!mid.empty() || w.link_lost)
        return false;
    module_session_leave();
    leave_fd = -1;
    close_serial();
    emit(w, cli_event(cli_ev::RESULT)
                .set("result", RESULT_NO_MID)
                .set("note", "the module gave no MID (asked twice)"));
    return true;
}

int run_serial(worker_state &w, const cli_job &job)
{
    use_link(w, link_kind::serial);
    bool vanished = false;
    // The module done (or let go) last on this port.
    bool done_before = job.done_before;
    std::string last_mid = job.last_mid, last_device = job.last_device;
    for (;;) {
        if (stop_asked)
            return 0;
        emit(w, cli_event(cli_ev::STAGE).set("text", "open"));
        int fd = 0;
        bool found = true;
        if (job.line.scan) {
            // --baud auto: the scan leaves the module in command mode on
            // the open port, and the connect below finds it at once.
            emit(w, cli_event(cli_ev::STAGE).set("text", "scan"));
            const line_scan_result r =
                line_scan_find(job.device, line_scan_settings(false), nullptr);
            end_if_orphan(w, r.mode == line_mode::transparent ? r.fd : -1);
            found = r.mode != line_mode::none;
            // As CommOpen gives it: 0 for a port that cannot be opened.
            fd = found ? r.fd : r.open_failed ? 0 : -1;
            if (found)
                emit(w, cli_event(cli_ev::LINE).set("text", line_setting_text(r.setting)));
        } else {
            fd = CommOpen(job.device.c_str(), job.line.baud, job.line.data_bits, job.line.parity,
                          job.line.stop_bits, 0);
        }
        if (!found && fd < 0) {
            if (!job.wait_new) {
                emit(w, cli_event(cli_ev::RESULT)
                            .set("result", RESULT_NO_MODULE)
                            .set("note", "no module answered at any rate at 8N1"));
                return 0;
            }
            emit(w, cli_event(cli_ev::WAITING).set("text", cli_gettext("no module at any rate")));
            nap(WAIT_PAUSE_MS);
            continue;
        }
        if (fd == 0) {
            const int err = serial_last_errno();
            if (!job.wait_new) {
                emit(w, cli_event(cli_ev::PORT_ERROR)
                            .set("error", serial_last_error())
                            .set("errno", err)
                            .set("hint", err == EACCES || err == EPERM
                                             ? serial_permission_hint(job.device)
                                             : std::string()));
                return CLI_EXIT_PORT;
            }
            if (err == ENOENT || err == ENODEV || err == ENXIO || err == EIO) {
                if (!vanished)
                    emit(w, cli_event(cli_ev::VANISHED));
                vanished = true;
            }
            emit(w, cli_event(cli_ev::WAITING).set("text", serial_last_error()));
            nap(WAIT_PAUSE_MS);
            continue;
        }
        strPCCom.fd = fd;
        w.link_lost = false;
        const std::string dev = device_id(job.device);
        emit(w, cli_event(cli_ev::STAGE).set("text", "connect"));
        module_begins(w);
        w.entered = false;
        const int entered = module_session_enter_serial();
        end_if_orphan(w);
        if (entered != 1) {
            // A module that took "a" was sent "AT+ENTM": the port stays
            // open until it has been taken, or it is lost with the close.
            uart_read2clean(fd, 0);
            close_serial();
            if (!job.wait_new) {
                emit(w, cli_event(cli_ev::RESULT).set("result", RESULT_NO_MODULE).set("note", ""));
                return 0;
            }
            emit(w, cli_event(cli_ev::WAITING).set("text", cli_gettext("no module")));
            nap(WAIT_PAUSE_MS);
            continue;
        }
        leave_on_socket = 0;
        leave_fd = fd;
        const std::string mid = module_mid(w);
        // The node was made anew since the last module: the adapter was
        // unplugged and plugged in again.
        if (!last_device.empty() && dev != last_device)
            vanished = true;
        // Only a module done before can be the same one again: the first
        // may well report no MID (or fail to).
        if (job.wait_new && done_before && !vanished && !w.link_lost && mid == last_mid) {
            module_session_leave();
            leave_fd = -1;
            close_serial();
            emit(w, cli_event(cli_ev::WAITING).set(
                        "text", cli_format(cli_gettext("module %s is done"), mid.c_str())));
            nap(WAIT_PAUSE_MS);
            continue;
        }
        if (ended_without_mid(w, mid))
            return 0;
        if (w.link_lost) {
            leave_fd = -1;
            close_serial();
            if (!job.wait_new) {
                emit(w,
                     cli_event(cli_ev::RESULT).set("result", RESULT_LINK_LOST).set("note", w.gone_note));
                return 0;
            }
            continue;
        }
        // From here the parent decides: a stop request no longer ends the
        // wait on its own.
        signal(SIGTERM, SIG_IGN);
        // One that came during the connect (Ctrl-C, or --count reached on
        // another port) finds no module under way: this one goes untouched.
        if (stop_asked) {
            module_session_leave();
            leave_fd = -1;
            close_serial();
            return 0;
        }
        emit(w, cli_event(cli_ev::MODULE).set("mid", mid).set("device", dev));
        std::string why;
        if (!parent_says_go(w, &why)) {
            // Not to be touched: let go as it came.
            module_session_leave();
            leave_fd = -1;
            close_serial();
            if (why == "stop" || !job.wait_new)
                return 0;
            cli_job_install_signals();
            if (stop_asked)
                return 0;
            done_before = true;
            last_mid = mid;
            last_device = dev;
            vanished = false;
            emit(w, cli_event(cli_ev::WAITING).set(
                        "text", cli_format(cli_gettext("module %s is done"), mid.c_str())));
            nap(WAIT_PAUSE_MS);
            continue;
        }
        emit(w, cli_event(cli_ev::VERSION).set("version", query("AT+VER")));
        cli_job work = job;
        if (take_row(w, work, mid))
            run_task(w, work);
        close_serial();
        return 0;
    }
}

int run_tcp(worker_state &w, const cli_job &job)
{
    use_link(w, link_kind::tcp);
    signal(SIGTERM, SIG_IGN);
    // The receive time-out goes on before any exchange, as the network
    // build does: the exchange's tries rely on it.
    tcpsock_set_recv_timeout(job.sock, TCP_RECV_TIMEOUT_MS);
    tcpsock_attach(job.sock);
    clear_mod_structs();
    emit(w, cli_event(cli_ev::STAGE).set("text", "connect"));
    module_begins(w);
    // A peer is a module once it has told its MID: a port scanner, a health
    // check or a stranger gets nothing else.
    char v[AT_VALUE_MAX + 1] = "";
    if (module_send_cmd_get("AT+MID", v) != 1 || v[0] == '\0') {
        emit(w, cli_event(cli_ev::NOT_A_MODULE));
        tcpsock_drop();
        return 0;
    }
    leave_on_socket = 1;
    leave_fd = job.sock;
    const std::string mid = v;
    emit(w, cli_event(cli_ev::MODULE).set("mid", mid));
    std::string why;
    if (!parent_says_go(w, &why)) {
        module_session_leave();
        leave_fd = -1;
        tcpsock_drop();
        return 0;
    }
    emit(w, cli_event(cli_ev::VERSION).set("version", query("AT+VER")));
    cli_job work = job;
    if (take_row(w, work, mid))
        run_task(w, work);
    tcpsock_drop();
    return 0;
}

// The command line's binding of the module operations: the serial exchange
// on strPCCom's port, or the locked exchange on the accepted socket.
// Over TCP each exchange holds the exchange lock, as the network build's
// own operations do; the link counts what the module sends either way.
int job_get(void *ctx, const char *cmd, char *ret)
{
    worker_state &w = *static_cast<worker_state *>(ctx);
    if (w.link_lost)
        return 0;
    const long long before = w.heard;
    int ok;
    bool cut = false;
    if (w.link_in_use == link_kind::tcp) {
        tcp_exchange ex;
        ok = at_send_cmd_whole(w.counted_link, cmd, ret, &cut);
    } else {
        ok = at_send_cmd_whole(w.counted_link, cmd, ret, &cut);
    }
    if (ok)
        w.answered[cmd] = ret;
    else if (cut)
        w.cut_short.insert(cmd);
    after_exchange(w, ok, before);
    return ok;
}

int job_set(void *ctx, const char *cmd)
{
    worker_state &w = *static_cast<worker_state *>(ctx);
    if (w.link_lost)
        return 0;
    const long long before = w.heard;
    int ok;
    if (w.link_in_use == link_kind::tcp) {
        tcp_exchange ex;
        ok = at_send_cmd_set(w.counted_link, cmd);
    } else {
        ok = at_send_cmd_set(w.counted_link, cmd);
    }
    after_exchange(w, ok, before);
    return ok;
}

int job_echo(void *ctx)
{
    worker_state &w = *static_cast<worker_state *>(ctx);
    if (w.link_lost)
        return 0;
    // Only a module in command mode is given the echo test.
    w.entered = true;
    int ok;
    if (w.link_in_use == link_kind::tcp) {
        tcp_exchange ex;
        ok = at_echo(w.counted_link);
    } else {
        ok = at_echo(w.counted_link);
    }
    alive(w);
    return ok;
}

} // namespace

bool cli_result_done(const std::string &result)
{
    return result == RESULT_VERIFIED || result == RESULT_DONE || result == RESULT_ACKNOWLEDGED;
}

void cli_job_install_signals()
{
    struct sigaction sa = {};
    sa.sa_handler = on_term; // no SA_RESTART: a wait wakes up
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    struct sigaction ab = {};
    ab.sa_handler = on_abort;
    sigfillset(&ab.sa_mask);
    sigaction(SIGUSR1, &ab, nullptr);
    struct sigaction orphan = {};
    orphan.sa_handler = on_orphan; // no SA_RESTART: a wait wakes up
    sigfillset(&orphan.sa_mask);
    sigaction(SIGUSR2, &orphan, nullptr);
    // Ctrl-C reaches the whole process group: only the parent decides.
    signal(SIGINT, SIG_IGN);
}

int cli_job_run(const cli_job &job, int fd)
{
    worker_state w;
    the_worker = &w;
    w.event_fd = fd;
    w.answer_fd = job.answer_fd;
    w.module_timeout_s = job.module_timeout;
    w.last_alive = mono::now();
    w.history = job.history;
    module_ops ops;
    ops.send_cmd_get = job_get;
    ops.send_cmd_set = job_set;
    ops.echo = job_echo;
    ops.ctx = &w;
    module_bind(ops);
    if (w.history)
        w.history->worker_begin(job.label, job.device);
    const int rc = job.device.empty() ? run_tcp(w, job) : run_serial(w, job);
    module_bind(module_ops());
    the_worker = nullptr;
    return rc;
}
