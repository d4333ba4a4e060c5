// One module in one worker process: the command line's binding of the
// module operations, and connect, read, apply, verify, restart and release
// as events for the parent. The worker's state is one object it owns.
#include "cli_job.h"

#include "cli_event.h"
#include "cli_export.h"
#include "cli_history.h"
#include "cli_output.h"
#include "cli_pool.h"
#include "cli_protocol.h"
#include "cli_scan.h"
#include "cli_text.h"
#include "cli_verdict.h"
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

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <map>
#include <poll.h>
#include <set>
#include <sys/ioctl.h>
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
    // What happened to the module in progress, for its result.
    cli_facts facts;
    std::string last_refusal;     // the "+ERR" answer of the last set command
    long long frames_written = 0; // writes that went out whole
    bool last_written = false;    // the last set command's frame went out
    bool applying = false;        // set commands now are the file's lines
    // Records this worker's module as its events go by.
    cli_history *history = nullptr;
    // The link under the exchange, counting the bytes the module sends and
    // failing every write and read once the module's time is up. Which
    // link it wraps is chosen when the worker starts.
    const at_link *base_link = &serial_link;
    at_link counted_link = {nullptr, nullptr, nullptr};
};

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

// The port while the connect looks for a module on it (-1: none); taken
// by exchange, so the handler and the worker never both close it.
std::atomic<int> connecting_fd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "reached by a signal handler");

void on_term(int)
{
    stop_asked = 1;
    // A stop during the connect ends it at once: a silent port would hold
    // the run for the handshake's seconds. Reads of the closed port fail.
    const int fd = connecting_fd.exchange(-1);
    if (fd > 0) {
        ioctl(fd, TIOCNXCL); // the flag would outlive the close
        close(fd);
    }
}

long elapsed_ms(const timespec &since)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * 1000L + (now.tv_nsec - since.tv_nsec) / 1000000L;
}

// Lets the module on `fd` go with "AT+ENTM", its "+ok" awaited
// CLI_LEAVE_BUDGET_MS at most. Only async-signal-safe calls: a second
// Ctrl-C abandons the exchange under way for it.
void leave_raw(int fd, bool on_socket)
{
    static const char frame[] = "AT+ENTM\n";
    const size_t len = sizeof frame - 1;
    const ssize_t sent = on_socket ? send(fd, frame, len, MSG_NOSIGNAL) : write(fd, frame, len);
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

// A second Ctrl-C: a module in command mode is let go, then the worker ends.
void on_abort(int)
{
    const int fd = leave_fd;
    if (fd > 0)
        leave_raw(fd, leave_on_socket != 0);
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
    leave_raw(fd, leave_on_socket != 0);
    w.parent_gone = true;
    // One only asked its MID was not taken on: no record, as when let go.
    // One taken on is recorded as far as it got.
    if (w.taken_on) {
        cli_facts f = w.facts;
        f.link_lost = w.link_lost;
        f.gone = w.gone_note;
        f.cut_short = "modcfg ended; the module was let go";
        const cli_verdict v = cli_decide(f);
        emit(w, cli_event(cli_ev::RESULT)
                    .set("result", v.result)
                    .set("note", v.note)
                    .set("restarted", 0L));
    }
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
    const int n = time_is_up(w) ? -1 : w.base_link->write(w.base_link->ctx, buf, len);
    if (n != len)
        return n;
    w.frames_written++;
    // Said as it leaves, before its answer: a run cut short during the
    // wait still records the line as sent.
    if (w.applying && len > 0) {
        w.facts.sent.push_back({std::string(buf, static_cast<size_t>(len - 1)), false, ""});
        emit(w, cli_event(cli_ev::SENT).set("line", w.facts.sent.back().line));
    }
    return n;
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
void nap(worker_state &w, int ms)
{
    const auto end = mono::now() + std::chrono::milliseconds(ms);
    while (!stop_asked && mono::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (orphaned)
        orphan_end(w);
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
            w.facts = cli_facts(); // nothing done to this module yet
            return w.taken_on;
        }
    }
    return false;
}

// The value of `cmd` as the module sent it, zero bytes included (the
// core's records end a value at its first one); empty when unanswered.
std::string query(worker_state &w, const char *cmd)
{
    char v[AT_VALUE_MAX + 1] = "";
    if (module_send_cmd_get(cmd, v) != 1)
        return "";
    const auto it = w.answered.find(cmd);
    return it != w.answered.end() ? it->second : v;
}

// The module's MID, asked once more when it came empty (a reply another
// frame left on the line); empty when it stays so.
std::string module_mid(worker_state &w)
{
    std::string mid = query(w, "AT+MID");
    if (mid.empty() && !w.link_lost)
        mid = query(w, "AT+MID");
    return mid;
}

struct apply_watch : cmd_apply_observer {
    explicit apply_watch(worker_state &state) : w(state) {}
    worker_state &w;
    int total = 0;
    bool sent(int number, const std::string &line, int acked) override
    {
        (void)number;
        // A frame that never went out (the link gone, the time up) was
        // not sent, whatever the file planned.
        if (!w.last_written)
            return false;
        cli_sent_line &s = w.facts.sent.back();
        s.acked = acked != 0;
        s.refusal = acked ? "" : w.last_refusal;
        emit(w, cli_event(cli_ev::ANSWER)
                    .set("line", line)
                    .set("acked", acked ? 1L : 0L)
                    .set("refusal", s.refusal));
        emit(w, cli_event(cli_ev::PROGRESS)
                    .set("stage", "apply")
                    .set("done", static_cast<long>(w.facts.sent.size()))
                    .set("total", total));
        return !w.link_lost && !w.parent_gone;
    }
};

// Reads back what `lines` set, each setting into the facts.
void read_back(worker_state &w, const std::vector<std::string> &lines)
{
    std::vector<std::string> unverifiable;
    const auto targets = cli_readback_targets(lines, &unverifiable);
    for (const auto &line : unverifiable)
        emit(w, cli_event(cli_ev::UNVERIFIABLE).set("line", line));
    for (size_t i = 0; i < targets.size() && !w.link_lost && !w.parent_gone; i++) {
        emit(w, cli_event(cli_ev::PROGRESS)
                    .set("stage", "verify")
                    .set("done", static_cast<long>(i))
                    .set("total", static_cast<long>(targets.size())));
        const auto &t = targets[i];
        const std::string q = "AT+" + t.first;
        w.answered.erase(q);
        const std::string v = query(w, q.c_str());
        const bool got = w.answered.count(q) > 0;
        // Three silences in a row: the module is gone, not mismatched.
        if (!got && w.link_lost)
            break;
        const bool holds = got && verify_value_holds(t.first, t.second, v);
        const bool cut = !got && w.cut_short.count(q) > 0;
        w.facts.checked.push_back({t.first, t.second, v, got, holds, cut});
        emit(w, cli_event(cli_ev::CHECKED)
                    .set("setting", t.first)
                    .set("sent", t.second)
                    .set("held", v)
                    .set("answered", got ? 1L : 0L)
                    .set("holds", holds ? 1L : 0L)
                    .set("cut", cut ? 1L : 0L));
    }
}

// read, export: every query of the readers, the values as events.
void read_settings(worker_state &w, const cli_job &job)
{
    emit(w, cli_event(cli_ev::STAGE).set("text", "read"));
    w.answered.clear();
    init_module_mana_struct();
    init_module_comm_struct();
    init_module_ap_struct();
    init_module_sta_struct();
    for (const char *name : module_query_names) {
        auto it = w.answered.find(std::string("AT+") + name);
        if (it == w.answered.end()) {
            w.facts.unanswered.push_back(name);
            if (w.cut_short.count(std::string("AT+") + name))
                w.facts.cut_replies.push_back(name);
        } else
            emit(w, cli_event(cli_ev::VALUE).set("name", name).set("value", it->second));
    }
    if (w.facts.unanswered.empty() && job.task == cli_task::export_)
        for (const auto &l : cli_export_lines(module_setting_commands(), w.answered)) {
            cli_event ev(cli_ev::COMMAND);
            ev.set("line", l.line);
            if (l.kept_field >= 0)
                ev.set("kept", static_cast<long>(l.kept_field));
            emit(w, ev);
        }
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

// Lets the module go, on every path: over the exchange, or raw past its
// deadline (the exchange no longer writes then). A module that went silent
// counts as gone and gets nothing more.
void release(worker_state &w)
{
    emit(w, cli_event(cli_ev::STAGE).set("text", "release"));
    if (!w.link_lost)
        module_session_leave();
    else if (w.past_deadline && !link_gone_now(w))
        leave_raw(link_fd(w), w.link_in_use == link_kind::tcp);
}

// The task on the module `mid`, in command mode; emits the result, decided
// from what happened.
void run_task(worker_state &w, const cli_job &job, const std::string &mid)
{
    cli_facts &f = w.facts;
    f = cli_facts();
    f.task = job.task;
    f.read_back = job.verify;
    f.mid = mid;
    const bool applies = job.task == cli_task::apply || job.task == cli_task::provision;
    if (job.task == cli_task::read || job.task == cli_task::export_) {
        read_settings(w, job);
    } else if (applies) {
        emit(w, cli_event(cli_ev::STAGE).set("text", "apply"));
        f.lines_planned = job.lines.size();
        // Planned before the first line goes out: a run cut short during the
        // apply has read back none of them.
        if (job.verify)
            f.settings_planned = cli_readback_targets(job.lines).size();
        apply_watch watch(w);
        watch.total = job.file_lines;
        w.applying = true;
        cmd_lines_apply(job.lines, &watch);
        w.applying = false;
        if (job.verify) {
            if (!w.link_lost && !w.parent_gone) {
                emit(w, cli_event(cli_ev::STAGE).set("text", "verify"));
                read_back(w, job.lines);
            }
        }
    } else {
        emit(w, cli_event(cli_ev::STAGE).set("text", "verify"));
        f.settings_planned = cli_readback_targets(job.lines).size();
        read_back(w, job.lines);
    }
    // A module put in place of this one meanwhile tells another MID.
    if (job.task != cli_task::read && job.task != cli_task::export_ && !mid.empty() &&
        !w.link_lost && !w.parent_gone) {
        const std::string now = query(w, "AT+MID");
        if (!now.empty() && now != mid)
            f.mid_after = now;
    }
    f.link_lost = w.link_lost;
    f.gone = w.gone_note;
    if (w.parent_gone)
        f.cut_short = "the parent went away";
    const cli_verdict v = cli_decide(f);
    // Only a module that took everything is restarted: new settings
    // that went wrong (a serial rate, an address) could leave it out of
    // reach once they take effect.
    bool restarted = false;
    if (applies && job.restart && cli_result_done(v.result)) {
        emit(w, cli_event(cli_ev::STAGE).set("text", "restart"));
        restart_module(w);
        restarted = true;
    }
    if (!restarted)
        release(w);
    leave_fd = -1;
    emit(w, cli_event(cli_ev::RESULT)
                .set("result", v.result)
                .set("note", v.note)
                .set("restarted", restarted ? 1L : 0L)
                .set("mid-after", f.mid_after));
}

// The module's row of the job's pool, before anything is sent; a module
// without one is let go untouched. False when it was.
bool take_row(worker_state &w, cli_job &job, const std::string &mid)
{
    cli_event ev;
    bool got = cli_pool_take(job, mid, &ev);
    if (got && !ev.kind.empty())
        emit(w, ev);
    // A module is touched only once its record is begun.
    if (got && w.history)
        got = w.history->worker_record_begin(&ev);
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
        leave_raw(transparent_fd, leave_on_socket != 0);
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

// What a step of a port's loop says: carry on, look again (wait mode,
// after its pause), or end the worker.
enum class step { on, again, end };

// Opens the port, after a scan with --baud auto; `fd` the open port when
// it says on, `rc` the worker's status when it says end.
step open_port(worker_state &w, const cli_job &job, bool &vanished, int &fd, int &rc)
{
    emit(w, cli_event(cli_ev::STAGE).set("text", "open"));
    bool found = true;
    if (job.line.scan) {
        // --baud auto: the scan leaves the module in command mode on the
        // open port, and the connect finds it at once.
        emit(w, cli_event(cli_ev::STAGE).set("text", "scan"));
        const line_scan_result r = line_scan_find(job.device, line_scan_settings(false), nullptr);
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
    rc = 0;
    if (!found && fd < 0) {
        if (!job.wait_new) {
            emit(w, cli_event(cli_ev::RESULT)
                        .set("result", RESULT_NO_MODULE)
                        .set("note", "no module answered at any rate at 8N1"));
            return step::end;
        }
        emit(w, cli_event(cli_ev::WAITING).set("text", cli_gettext("no module at any rate")));
        nap(w, WAIT_PAUSE_MS);
        return step::again;
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
            rc = CLI_EXIT_PORT;
            return step::end;
        }
        if (err == ENOENT || err == ENODEV || err == ENXIO || err == EIO) {
            if (!vanished)
                emit(w, cli_event(cli_ev::VANISHED));
            vanished = true;
        }
        emit(w, cli_event(cli_ev::WAITING).set("text", serial_last_error()));
        nap(w, WAIT_PAUSE_MS);
        return step::again;
    }
    return step::on;
}

// Puts the module on the open port `fd` into command mode; a stop asked
// meanwhile ends the connect at once.
step enter_module(worker_state &w, const cli_job &job, int fd)
{
    strPCCom.fd = fd;
    w.link_lost = false;
    emit(w, cli_event(cli_ev::STAGE).set("text", "connect"));
    module_begins(w);
    w.entered = false;
    connecting_fd = fd;
    const int entered = stop_asked ? 0 : module_session_enter_serial();
    if (connecting_fd.exchange(-1) < 0)
        strPCCom.fd = 0; // closed by the stop
    end_if_orphan(w);
    if (entered == 1)
        return step::on;
    // A module that took "a" was sent "AT+ENTM": the port stays open until
    // it has been taken, or it is lost with the close.
    if (strPCCom.fd > 0)
        uart_read2clean(fd, 0);
    close_serial();
    if (stop_asked)
        return step::end;
    if (!job.wait_new) {
        // The usual cause: the module's rate is not the one asked.
        emit(w, cli_event(cli_ev::RESULT)
                    .set("result", RESULT_NO_MODULE)
                    .set("note", cli_format(cli_gettext("no answer at %d baud; try "
                                                        "\"modcfg scan\" or --baud auto"),
                                            job.line.baud)));
        return step::end;
    }
    emit(w, cli_event(cli_ev::WAITING).set("text", cli_gettext("no module")));
    nap(w, WAIT_PAUSE_MS);
    return step::again;
}

// Lets the module in command mode go untouched and closes the port.
void let_go()
{
    module_session_leave();
    leave_fd = -1;
    close_serial();
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
        int fd = 0, rc = 0;
        const step opened = open_port(w, job, vanished, fd, rc);
        if (opened != step::on) {
            if (opened == step::end)
                return rc;
            continue;
        }
        const std::string dev = device_id(job.device);
        const step in = enter_module(w, job, fd);
        if (in != step::on) {
            if (in == step::end)
                return 0;
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
            let_go();
            // Put in whole, not through printf: a MID may hold a zero byte.
            std::string text = job.last_failed ? cli_gettext("module %s failed")
                                               : cli_gettext("module %s is done");
            const size_t at = text.find("%s");
            if (at != std::string::npos)
                text.replace(at, 2, mid);
            emit(w, cli_event(cli_ev::WAITING).set("text", text));
            nap(w, WAIT_PAUSE_MS);
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
            let_go();
            return 0;
        }
        emit(w, cli_event(cli_ev::MODULE).set("mid", mid).set("device", dev));
        std::string why;
        if (!parent_says_go(w, &why)) {
            // Not to be touched: let go as it came.
            let_go();
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
            nap(w, WAIT_PAUSE_MS);
            continue;
        }
        emit(w, cli_event(cli_ev::VERSION).set("version", query(w, "AT+VER")));
        cli_job work = job;
        if (take_row(w, work, mid))
            run_task(w, work, mid);
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
    const std::string mid = query(w, "AT+MID");
    if (mid.empty()) {
        emit(w, cli_event(cli_ev::NOT_A_MODULE));
        tcpsock_drop();
        return 0;
    }
    leave_on_socket = 1;
    leave_fd = job.sock;
    emit(w, cli_event(cli_ev::MODULE).set("mid", mid));
    std::string why;
    if (!parent_says_go(w, &why)) {
        module_session_leave();
        leave_fd = -1;
        tcpsock_drop();
        return 0;
    }
    emit(w, cli_event(cli_ev::VERSION).set("version", query(w, "AT+VER")));
    cli_job work = job;
    if (take_row(w, work, mid))
        run_task(w, work, mid);
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
    int len = 0;
    if (w.link_in_use == link_kind::tcp) {
        tcp_exchange ex;
        ok = at_send_cmd_whole(w.counted_link, cmd, ret, &cut, &len);
    } else {
        ok = at_send_cmd_whole(w.counted_link, cmd, ret, &cut, &len);
    }
    if (ok)
        w.answered[cmd].assign(ret, static_cast<size_t>(len));
    else if (cut)
        w.cut_short.insert(cmd);
    after_exchange(w, ok, before);
    return ok;
}

int job_set(void *ctx, const char *cmd)
{
    worker_state &w = *static_cast<worker_state *>(ctx);
    w.last_written = false;
    if (w.link_lost)
        return 0;
    const long long before = w.heard;
    const long long written = w.frames_written;
    int ok;
    if (w.link_in_use == link_kind::tcp) {
        tcp_exchange ex;
        ok = at_send_cmd_set_refused(w.counted_link, cmd, &w.last_refusal);
    } else {
        ok = at_send_cmd_set_refused(w.counted_link, cmd, &w.last_refusal);
    }
    w.last_written = w.frames_written > written;
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
    // Ctrl-C and a terminal's hang-up reach the whole process group: only
    // the parent decides.
    signal(SIGINT, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
}

int cli_job_run(const cli_job &job, int fd)
{
    worker_state w;
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
    return rc;
}
