// The parent of a run: one worker per port or accepted connection, their
// events, the records, and Ctrl-C: the first ends the run after the
// modules in progress, a second ends it at once.
#include "cli_run.h"

#include "cli_escape.h"
#include "cli_event.h"
#include "cli_held.h"
#include "cli_history.h"
#include "cli_mid_policy.h"
#include "cli_output.h"
#include "cli_progress.h"
#include "cli_protocol.h"
#include "cli_secret.h"
#include "cli_text.h"
#include "cli_worker.h"
#include "store_csv.h"
#include "tcpsock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

using mono = std::chrono::steady_clock;
using worker = cli_worker;

// A worker that gives no sign for this long is stuck in the kernel (a
// close that waits for an adapter's output, say): it is ended. Every
// exchange sends a sign, and the longest (a query of a silent module at
// the module's own timing) takes under four minutes.
constexpr auto WORKER_SILENCE_LIMIT = std::chrono::seconds(600);
// What a worker gets past its module's deadline before it is ended: its
// own deadline ends the module within an exchange's last read.
constexpr auto MODULE_TIMEOUT_GRACE = std::chrono::seconds(30);
// What a worker gets after a second Ctrl-C to let its module go.
constexpr auto ABORT_GRACE = std::chrono::seconds(1);

// Ctrl-C and SIGTERM reach the run's loop through this pipe.
int signal_pipe[2] = {-1, -1};

void on_signal(int sig)
{
    const int saved = errno;
    const char c = static_cast<char>(sig);
    if (write(signal_pipe[1], &c, 1) < 0) {
        // The pipe is full: a signal is already waiting to be seen.
    }
    errno = saved;
}

double seconds_since(mono::time_point t)
{
    return std::chrono::duration<double>(mono::now() - t).count();
}

// A port's or a connection's line of progress.
struct slot {
    std::string label;
    std::string device; // serial ports only
    std::string last_mid, last_device;
    bool done_before = false; // a module's outcome was recorded here
    std::string status;
    bool busy = false; // a worker serves it
    bool closed = false;
};

cli_progress_view::mode view_mode(const cli_run_options &o)
{
    if (o.quiet)
        return cli_progress_view::mode::none;
    const char *term = std::getenv("TERM");
    if (!o.verbose && isatty(STDERR_FILENO) && term && std::strcmp(term, "dumb") != 0)
        return cli_progress_view::mode::live;
    return cli_progress_view::mode::plain;
}

// One line per module on standard output: its result, then what went wrong.
std::string result_text(const cli_outcome &c)
{
    char secs[32];
    std::snprintf(secs, sizeof secs, "%.2f s", c.seconds);
    std::string line = c.label + "  ";
    if (!c.mid.empty())
        line += "MID " + cli_printable(c.mid) + "  ";
    if (!c.version.empty())
        line += "version " + cli_printable(c.version) + "  ";
    line += c.result + "  " + secs + "\n";
    for (const auto &m : c.mismatches)
        line += "  " +
                cli_format(cli_gettext("mismatch %s: sent \"%s\", module holds \"%s\""),
                           m.setting.c_str(), cli_printable(m.sent).c_str(),
                           cli_printable(m.held).c_str()) +
                "\n";
    for (const auto &u : c.unacked)
        line +=
            "  " + cli_format(cli_gettext("not acknowledged: %s"), cli_printable(u).c_str()) + "\n";
    for (const auto &u : c.unverifiable)
        line +=
            "  " + cli_format(cli_gettext("not verifiable: %s"), cli_printable(u).c_str()) + "\n";
    if (!c.note.empty())
        line += "  " + cli_printable(c.note) + "\n";
    return line;
}

class runner
{
  public:
    runner(const cli_run_options &o, std::vector<cli_outcome> &outcomes)
        : o_(o), outcomes_(outcomes), view_(view_mode(o)), mids_(o.retries)
    {
    }
    bool run();

  private:
    using handler = void (runner::*)(worker &w, const cli_event &ev);
    struct event_handler {
        const char *kind;
        handler on;
    };
    static const event_handler handlers_[];

    bool limit_reached() const { return o_.count > 0 && started_modules() >= o_.count; }
    long started_modules() const;
    bool start();
    bool open_server();
    bool poll_once();
    void end_overdue();
    void flush_report_at_end();
    void spawn(size_t slot_index, const cli_job &job);
    void show_console(worker &w, bool to_end);
    std::string decide(worker &w);
    void answer(worker &w, const std::string &why);
    void note_result(const worker &w, const std::string &result);
    cli_job job_for(size_t slot_index) const;
    void spawn_port(size_t slot_index);
    void accept_one();
    void handle(worker &w, const cli_event &ev);
    void finish(worker &w);
    void record(const cli_outcome &c);
    void show(worker &w);
    void stop_waiting();
    void stop_accepting();
    void stop_for_database(const std::string &why);
    void report_error(const std::string &error);
    void on_signal();

    void on_stage(worker &w, const cli_event &ev);
    void on_waiting(worker &w, const cli_event &ev);
    void on_line(worker &w, const cli_event &ev);
    void on_vanished(worker &w, const cli_event &ev);
    void on_module(worker &w, const cli_event &ev);
    void on_version(worker &w, const cli_event &ev);
    void on_not_a_module(worker &w, const cli_event &ev);
    void on_progress(worker &w, const cli_event &ev);
    void on_value(worker &w, const cli_event &ev);
    void on_command(worker &w, const cli_event &ev);
    void on_unacked(worker &w, const cli_event &ev);
    void on_unverifiable(worker &w, const cli_event &ev);
    void on_mismatch(worker &w, const cli_event &ev);
    void on_port_error(worker &w, const cli_event &ev);
    void on_row(worker &w, const cli_event &ev);
    void on_result(worker &w, const cli_event &ev);

    const cli_run_options &o_;
    std::vector<cli_outcome> &outcomes_;
    cli_progress_view view_;
    std::vector<slot> slots_;
    std::vector<std::unique_ptr<worker>> workers_;
    int server_ = -1;
    cli_mid_policy mids_;
    // Connections of modules let go as done.
    cli_held_connections held_;
    bool stopping_ = false;
    int interrupts_ = 0;
    bool report_failed_ = false;
    bool database_said_ = false;
};

// In the order of the protocol's list; "alive" only proves the worker lives.
const runner::event_handler runner::handlers_[] = {
    {cli_ev::STAGE, &runner::on_stage},
    {cli_ev::WAITING, &runner::on_waiting},
    {cli_ev::VANISHED, &runner::on_vanished},
    {cli_ev::LINE, &runner::on_line},
    {cli_ev::MODULE, &runner::on_module},
    {cli_ev::VERSION, &runner::on_version},
    {cli_ev::NOT_A_MODULE, &runner::on_not_a_module},
    {cli_ev::PROGRESS, &runner::on_progress},
    {cli_ev::VALUE, &runner::on_value},
    {cli_ev::COMMAND, &runner::on_command},
    {cli_ev::UNACKED, &runner::on_unacked},
    {cli_ev::UNVERIFIABLE, &runner::on_unverifiable},
    {cli_ev::MISMATCH, &runner::on_mismatch},
    {cli_ev::PORT_ERROR, &runner::on_port_error},
    {cli_ev::ROW, &runner::on_row},
    {cli_ev::RESULT, &runner::on_result},
};

long runner::started_modules() const
{
    long n = static_cast<long>(outcomes_.size());
    for (const auto &w : workers_)
        if (w->in_progress)
            n++;
    return n;
}

void runner::spawn(size_t slot_index, const cli_job &job)
{
    // Everything of the parent's the worker must not keep open.
    std::vector<int> parent_fds = held_.fds();
    for (const auto &w : workers_)
        for (const int fd : {w->fd, w->answer, w->console, w->sock})
            if (fd >= 0)
                parent_fds.push_back(fd);
    if (server_ >= 0)
        parent_fds.push_back(server_);
    parent_fds.push_back(signal_pipe[0]);
    parent_fds.push_back(signal_pipe[1]);
    auto w = std::make_unique<worker>();
    if (!cli_worker_spawn(job, o_.verbose, parent_fds, o_.report, w.get()))
        return;
    w->slot = slot_index;
    w->out.label = slots_[slot_index].label;
    slots_[slot_index].busy = true;
    workers_.push_back(std::move(w));
}

// What every module's job carries, whatever reaches it.
cli_job runner::job_for(size_t i) const
{
    cli_job job;
    job.task = o_.task;
    job.file = o_.file;
    job.lines = o_.lines;
    job.file_lines = o_.file_lines;
    job.verify = o_.verify;
    job.restart = o_.restart;
    job.module_timeout = o_.module_timeout;
    job.db_url = o_.db_url;
    job.pool = o_.pool;
    job.pool_columns = o_.pool_columns;
    job.history = o_.history;
    job.label = slots_[i].label;
    return job;
}

void runner::spawn_port(size_t i)
{
    cli_job job = job_for(i);
    job.device = slots_[i].device;
    job.line = o_.line;
    job.wait_new = o_.loop;
    job.done_before = slots_[i].done_before;
    job.last_mid = slots_[i].last_mid;
    job.last_device = slots_[i].last_device;
    spawn(i, job);
}

void runner::accept_one()
{
    sockaddr_in peer;
    const int sock = tcpsock_accept(server_, &peer);
    if (sock <= 0) {
        if (sock < 0) {
            cli_error(std::string("accept: ") + std::strerror(errno));
            stopping_ = true;
        }
        return;
    }
    // A stranger gets nothing, the command file's Wi-Fi keys least of all;
    // it is no module and the wait goes on.
    // Named before the close, so whoever sees the close finds the line.
    if (!net_allow_match(o_.allow, peer.sin_addr)) {
        view_.alert(cli_format(cli_gettext("refused %s: not in an allowed network"),
                               net_peer_text(peer).c_str()));
        close(sock);
        return;
    }
    slot s;
    s.label = net_peer_text(peer);
    // A finished connection's line is reused, so the lines stay few.
    size_t i = 1;
    while (i < slots_.size() && (slots_[i].busy || !slots_[i].closed))
        i++;
    if (i == slots_.size())
        slots_.push_back(s);
    else
        slots_[i] = s;
    cli_job job = job_for(i);
    job.sock = sock;
    const size_t before = workers_.size();
    spawn(i, job);
    if (workers_.size() > before)
        workers_.back()->sock = sock;
    else
        close(sock);
    view_.plain(s.label, cli_gettext("connected"));
}

// Empty for go; else why the module is let go untouched.
std::string runner::decide(worker &w)
{
    if (stopping_ || limit_reached())
        return "stop";
    const std::string &mid = w.out.mid;
    // A module without a MID cannot be told apart: the port's own rule
    // (a new module once it was unplugged) is all there is.
    if (mid.empty())
        return "";
    const std::string shown = "MID " + cli_printable(mid);
    bool first = false;
    switch (mids_.decide(mid, &first)) {
    case cli_mid_policy::verdict::go:
        return "";
    case cli_mid_policy::verdict::busy:
        view_.plain(w.out.label,
                    cli_format(cli_gettext("%s is in progress elsewhere; let go"), shown.c_str()));
        return "busy";
    case cli_mid_policy::verdict::done:
        if (first)
            view_.alert(cli_format(cli_gettext("%s already %s in this run"), shown.c_str(),
                                   mids_.last_result(mid).c_str()));
        return "done";
    case cli_mid_policy::verdict::failed:
        if (first)
            view_.alert(cli_format(cli_gettext("%s failed %ld times in this run; left alone"),
                                   shown.c_str(), mids_.failures(mid)));
        return "done";
    }
    return "";
}

void runner::answer(worker &w, const std::string &why)
{
    cli_event ev(why.empty() ? cli_ev::GO : cli_ev::SKIP);
    ev.set("why", why);
    // A worker that is gone finds out by itself.
    cli_event_write(w.answer, ev);
}

void runner::note_result(const worker &w, const std::string &result)
{
    if (w.in_progress && !w.out.mid.empty())
        mids_.ended(w.out.mid, result);
}

void runner::show(worker &w)
{
    slot &s = slots_[w.slot];
    std::string text = s.label;
    text.resize(std::max<size_t>(text.size() + 2, 14), ' ');
    if (!w.out.mid.empty())
        text += "MID " + cli_printable(w.out.mid) + "  ";
    if (!w.in_progress && !w.waiting.empty())
        text += "waiting: " + w.waiting;
    else if (w.total > 0 && (w.stage == "apply" || w.stage == "verify"))
        text += w.stage + " " + std::to_string(w.done) + "/" + std::to_string(w.total);
    else
        text += w.stage;
    s.status = text;
    view_.set(w.slot, text, w.in_progress);
}

void runner::handle(worker &w, const cli_event &raw)
{
    // Masked here, once: every line, record and result below is made from
    // these events (the worker compared the values whole).
    const cli_event ev = o_.show_secrets ? raw : cli_event_masked(raw);
    w.last_sign = mono::now();
    if (ev.kind == cli_ev::ALIVE)
        return;
    for (const auto &h : handlers_)
        if (ev.kind == h.kind) {
            (this->*h.on)(w, ev);
            break;
        }
    show(w);
}

void runner::on_stage(worker &w, const cli_event &ev)
{
    w.stage = ev.get("text");
    w.total = 0;
    if (w.stage == "connect")
        w.connect_at = mono::now();
    if (w.stage == "apply")
        view_.plain(w.out.label, cli_format(dngettext(MODCFG_CLI_TEXT_DOMAIN, "apply %d line",
                                                      "apply %d lines", o_.file_lines),
                                            static_cast<int>(o_.file_lines)));
    else if (w.stage == "verify" || w.stage == "restart" || (w.stage == "connect" && !o_.loop))
        view_.plain(w.out.label, w.stage);
}

void runner::on_waiting(worker &w, const cli_event &ev)
{
    const std::string text = ev.get("text");
    if (text != w.waiting)
        view_.plain(w.out.label, cli_format(cli_gettext("waiting for a module (%s)"),
                                            cli_printable(text).c_str()));
    w.waiting = text;
}

// --baud auto: the settings the scan found go to the console and into the
// record's note.
void runner::on_line(worker &w, const cli_event &ev)
{
    const std::string text = "line " + ev.get("text");
    w.out.note = text + (w.out.note.empty() ? "" : "; " + w.out.note);
    view_.plain(w.out.label, cli_format(cli_gettext("found at %s"), ev.get("text").c_str()));
}

void runner::on_vanished(worker &w, const cli_event &)
{
    view_.plain(w.out.label,
                cli_gettext("the port is gone; any module after it comes back is new"));
}

void runner::on_module(worker &w, const cli_event &ev)
{
    w.out.mid = ev.get("mid");
    w.device_id = ev.get("device");
    const std::string why = decide(w);
    answer(w, why);
    if (!why.empty()) {
        w.let_go = why == "done";
        w.out.mid.clear();
        return;
    }
    w.in_progress = true;
    view_.plain(w.out.label,
                cli_format(cli_gettext("module MID %s"), cli_printable(w.out.mid).c_str()));
    if (limit_reached()) {
        stop_waiting();
        // Further connections wait for nothing: the run is full.
        stop_accepting();
    }
}

void runner::on_version(worker &w, const cli_event &ev)
{
    w.out.version = ev.get("version");
    view_.plain(w.out.label,
                cli_format(cli_gettext("version %s"), cli_printable(w.out.version).c_str()));
}

void runner::on_not_a_module(worker &w, const cli_event &)
{
    view_.alert(cli_format(cli_gettext("not a module: %s"), w.out.label.c_str()));
}

void runner::on_progress(worker &w, const cli_event &ev)
{
    w.stage = ev.get("stage");
    w.done = ev.get_long("done");
    w.total = ev.get_long("total");
}

void runner::on_value(worker &w, const cli_event &ev)
{
    w.out.values.emplace_back(ev.get("name"), ev.get("value"));
}

void runner::on_command(worker &w, const cli_event &ev)
{
    w.out.commands.push_back(ev.get("line"));
}

void runner::on_unacked(worker &w, const cli_event &ev)
{
    w.out.unacked.push_back(ev.get("line"));
    view_.plain(w.out.label, cli_format(cli_gettext("not acknowledged: %s"),
                                        cli_printable(ev.get("line")).c_str()));
}

void runner::on_unverifiable(worker &w, const cli_event &ev)
{
    w.out.unverifiable.push_back(ev.get("line"));
}

void runner::on_mismatch(worker &w, const cli_event &ev)
{
    cli_mismatch m{ev.get("setting"), ev.get("sent"), ev.get("held")};
    // A mismatch names only a value the module gave.
    const std::string why = ev.get("why");
    if (ev.get_long("answered") == 0)
        w.out.note += (w.out.note.empty() ? "" : "; ") +
                      (why.empty() ? std::string("no answer to") : why + ":") + " AT+" + m.setting;
    else
        w.out.mismatches.push_back(m);
}

void runner::on_port_error(worker &w, const cli_event &ev)
{
    w.out.port_error = ev.get("error");
    w.out.hint = ev.get("hint");
}

void runner::on_row(worker &w, const cli_event &ev)
{
    w.out.pool = ev.get("pool");
    w.out.seq = ev.get_long("seq");
    std::vector<std::vector<std::string>> recs;
    if (csv_parse(ev.get("values"), recs, nullptr) && !recs.empty())
        w.out.row_values = recs[0];
}

void runner::on_result(worker &w, const cli_event &ev)
{
    w.got_result = true;
    w.out.restarted = ev.get_long("restarted") != 0;
    if (o_.history)
        w.out.recorded = o_.history->worker_result(ev);
    if (!ev.get("spooled").empty() && !o_.pool.empty())
        stop_for_database("connection lost");
    if (!ev.get("database").empty())
        stop_for_database(ev.get("note"));
    w.out.result = ev.get("result");
    note_result(w, w.out.result);
    const std::string note = ev.get("note");
    if (!note.empty())
        w.out.note = note + (w.out.note.empty() ? "" : "; " + w.out.note);
    w.out.seconds = seconds_since(w.connect_at);
}

void runner::stop_accepting()
{
    if (server_ >= 0) {
        close(server_);
        server_ = -1;
    }
}

void runner::finish(worker &w)
{
    const int status = cli_worker_reap(w);
    show_console(w, true);
    if (w.sock >= 0) {
        if (w.let_go && !stopping_)
            held_.hold(w.sock);
        else
            close(w.sock);
    }
    slot &s = slots_[w.slot];
    s.busy = false;
    if (s.device.empty())
        s.closed = true; // a connection's line can be reused
    cli_outcome c = w.out;
    c.adapter = s.device;
    if (!c.port_error.empty()) {
        cli_error(c.label + ": " + c.port_error);
        if (!c.hint.empty())
            cli_error(c.hint);
        outcomes_.push_back(c);
    } else if (!w.got_result && w.in_progress) {
        c.seconds = seconds_since(w.connect_at);
        if (w.interrupted) {
            c.result = RESULT_INTERRUPTED;
            c.note = "stopped by a second Ctrl-C";
        } else {
            c.result = RESULT_LINK_LOST;
            c.note = w.timed_out ? "took longer than " + std::to_string(o_.module_timeout) + " s"
                     : w.killed  ? "the worker gave no sign and was ended"
                                 : "the worker ended without a result";
            if (WIFSIGNALED(status))
                c.note += " (signal " + std::to_string(WTERMSIG(status)) + ")";
        }
        note_result(w, c.result);
    }
    // Without a result and without a module it was asked to stop while it
    // waited: nothing to record.
    if (!c.result.empty()) {
        outcomes_.push_back(c);
        record(c);
        s.last_mid = c.mid;
        s.last_device = w.device_id;
        s.done_before = true;
    }
    std::string done = s.label;
    done.resize(std::max<size_t>(done.size() + 2, 14), ' ');
    view_.set(w.slot, done + (!c.result.empty()       ? c.result
                              : !c.port_error.empty() ? "port error"
                                                      : "stopped"));
    const bool again =
        o_.loop && !stopping_ && !limit_reached() && !s.device.empty() && c.port_error.empty();
    const size_t slot_index = w.slot;
    for (auto it = workers_.begin(); it != workers_.end(); ++it)
        if (it->get() == &w) {
            workers_.erase(it);
            break;
        }
    if (again)
        spawn_port(slot_index);
}

// Each console line on a line of its own with the port before it.
void runner::show_console(worker &w, bool to_end)
{
    for (std::string line : cli_worker_console(w, to_end)) {
        // The commands it names hold keys: masked as every other output.
        if (!o_.show_secrets)
            line = cli_console_masked(line);
        if (!line.empty())
            view_.message(w.out.label + ": " + cli_printable(line));
    }
}

void runner::record(const cli_outcome &c)
{
    if (o_.history) {
        if (!c.recorded)
            o_.history->add(c);
        if (!o_.pool.empty() && o_.history->server_lost())
            stop_for_database("connection lost");
    }
    if (o_.report) {
        cli_record r;
        r.time = cli_iso_time();
        r.port = c.label;
        r.mid = c.mid;
        r.version = c.version;
        r.result = c.result;
        r.seconds = c.seconds;
        r.mismatches = c.mismatches;
        r.note = c.note;
        for (const auto &u : c.unacked)
            r.note += (r.note.empty() ? "" : "; ") + ("not acknowledged: " + u);
        for (const auto &u : c.unverifiable)
            r.note += (r.note.empty() ? "" : "; ") + ("not verifiable: " + u);
        std::string error;
        if (!o_.report->append(r, &error))
            report_error(error);
    }
    if (o_.task == cli_task::read || o_.task == cli_task::export_) {
        if (c.result != RESULT_DONE)
            cli_error(c.label + ": " + c.result +
                      (c.note.empty() ? "" : " (" + cli_printable(c.note) + ")"));
    } else {
        view_.result(result_text(c));
    }
}

void runner::report_error(const std::string &error)
{
    // Said once: the run's exit status tells the rest.
    if (!report_failed_) {
        report_failed_ = true;
        cli_error(cli_format(cli_gettext("report: %s; a record is missing, the run fails"),
                             error.c_str()));
    }
}

void runner::stop_waiting()
{
    for (auto &w : workers_)
        if (!w->in_progress && !w->asked_to_stop) {
            w->asked_to_stop = true;
            kill(w->pid, SIGTERM);
        }
}

// Modules in progress finish; a new one could not take its row.
void runner::stop_for_database(const std::string &why)
{
    if (stopping_ && database_said_)
        return;
    database_said_ = true;
    stopping_ = true;
    if (o_.history)
        o_.history->stopped_for_database();
    stop_accepting();
    stop_waiting();
    view_.alert(cli_format(cli_gettext("the pool's database is unreachable (%s): no new module "
                                       "is started"),
                           cli_printable(why).c_str()));
}

void runner::on_signal()
{
    char c;
    while (read(signal_pipe[0], &c, 1) == 1)
        interrupts_++;
    if (interrupts_ == 0)
        return;
    if (!stopping_ || interrupts_ == 1) {
        stopping_ = true;
        stop_accepting();
        held_.close_all();
        stop_waiting();
        if (!workers_.empty())
            view_.message(std::string("modcfg: ") +
                          cli_gettext("stopping after the modules in progress (again to stop "
                                      "now)"));
    }
    // A module in command mode is let go ("AT+ENTM") before its worker
    // ends; one that does not end in time is killed.
    if (interrupts_ >= 2)
        for (auto &w : workers_)
            if (!w->interrupted) {
                w->interrupted = true;
                w->kill_at = mono::now() + ABORT_GRACE;
                kill(w->pid, SIGUSR1);
            }
}

// Listens for modules; the first line of progress names where.
bool runner::open_server()
{
    const char *step = "";
    server_ = tcpsock_listen(o_.listen_addr.c_str(), o_.listen_port, &step);
    if (server_ < 0) {
        cli_error(cli_format(cli_gettext("listen on %s:%d: %s: %s"),
                             o_.listen_addr.empty() ? "*" : o_.listen_addr.c_str(),
                             static_cast<int>(o_.listen_port), step, std::strerror(errno)));
        return false;
    }
    // Modules that power up together connect together: a longer queue
    // than the window's keeps their connections from being refused
    // before this loop takes them.
    listen(server_, SOMAXCONN);
    sockaddr_in local;
    socklen_t len = sizeof local;
    getsockname(server_, reinterpret_cast<sockaddr *>(&local), &len);
    char addr[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &local.sin_addr, addr, sizeof addr);
    slot head;
    head.label = std::string("listening on ") + addr + ":" + std::to_string(ntohs(local.sin_port));
    head.closed = false;
    slots_.push_back(head);
    // A result, not progress: scripts that asked for port 0 learn the
    // port here, with --quiet too.
    std::fprintf(stderr, "modcfg: %s\n", head.label.c_str());
    std::fflush(stderr);
    view_.set(0, head.label, true);
    return true;
}

bool runner::start()
{
    if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        cli_error(std::string("pipe: ") + std::strerror(errno));
        return false;
    }
    struct sigaction sa = {};
    sa.sa_handler = ::on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    if (o_.listen)
        return open_server();
    for (size_t i = 0; i < o_.ports.size(); i++) {
        slot s;
        s.label = o_.ports[i];
        s.device = o_.devices[i];
        slots_.push_back(s);
    }
    for (size_t i = 0; i < slots_.size(); i++)
        spawn_port(i);
    return true;
}

// Ends a worker silent too long, past its module's deadline, or past its
// grace after a second Ctrl-C.
void runner::end_overdue()
{
    const auto now = mono::now();
    for (auto &w : workers_) {
        const bool over =
            w->in_progress && !w->got_result &&
            now - w->connect_at > std::chrono::seconds(o_.module_timeout) + MODULE_TIMEOUT_GRACE;
        if (!w->killed &&
            (now - w->last_sign > WORKER_SILENCE_LIMIT || over || now >= w->kill_at)) {
            w->killed = true;
            w->timed_out = over;
            kill(w->pid, SIGKILL);
        }
    }
}

// One turn of the loop: signals, a connection, workers' events and
// console, held connections; false when poll failed.
bool runner::poll_once()
{
    std::vector<pollfd> fds;
    fds.push_back({signal_pipe[0], POLLIN, 0});
    if (server_ >= 0 && !stopping_ && static_cast<long>(workers_.size()) < o_.max_workers)
        fds.push_back({server_, POLLIN, 0});
    const size_t first_worker = fds.size();
    for (const auto &w : workers_)
        fds.push_back({w->fd, POLLIN, 0});
    size_t first_held = 0;
    held_.poll_on(fds, &first_held);
    const size_t first_console = fds.size();
    std::vector<worker *> console_of;
    for (const auto &w : workers_)
        if (w->console >= 0) {
            fds.push_back({w->console, POLLIN, 0});
            console_of.push_back(w.get());
        }
    const int r = poll(fds.data(), fds.size(), 100);
    if (r < 0 && errno != EINTR) {
        cli_error(std::string("poll: ") + std::strerror(errno));
        return false;
    }
    if (fds[0].revents)
        on_signal();
    if (first_worker == 2 && server_ >= 0 && (fds[1].revents & POLLIN))
        accept_one();
    std::vector<worker *> ended;
    for (size_t i = first_worker; i < first_held; i++) {
        worker &w = *workers_[i - first_worker];
        if (!fds[i].revents)
            continue;
        std::vector<cli_event> evs;
        if (!cli_worker_read(w, &evs))
            ended.push_back(&w);
        for (const auto &ev : evs)
            handle(w, ev);
    }
    held_.read(fds, first_held);
    for (size_t i = first_console; i < fds.size(); i++)
        if (fds[i].revents & POLLIN)
            show_console(*console_of[i - first_console], false);
    for (worker *w : ended)
        finish(*w);
    end_overdue();
    if (o_.listen && slots_.size() > 1) {
        std::string head =
            slots_[0].label + "  " +
            cli_format(cli_gettext("%zu done"), static_cast<size_t>(outcomes_.size()));
        view_.set(0, head, true);
    }
    // Records wait while another program holds the report's lock; the
    // loop goes on meanwhile.
    std::string error;
    if (o_.report && o_.report->pending() && !o_.report->flush(false, &error))
        report_error(error);
    view_.redraw();
    return true;
}

// The last records wait for the lock as long as it takes; only the
// operator, with two more Ctrl-C, gives them up (the run then fails).
void runner::flush_report_at_end()
{
    if (!o_.report || !o_.report->pending())
        return;
    view_.message(std::string("modcfg: ") +
                  cli_gettext("waiting for the report's lock to write the last records "
                              "(Ctrl-C twice to give them up)"));
    const int before = interrupts_;
    std::string error;
    while (o_.report->pending() && o_.report->flush(false, &error) && o_.report->pending() &&
           interrupts_ - before < 2) {
        pollfd p = {signal_pipe[0], POLLIN, 0};
        if (poll(&p, 1, 100) > 0)
            on_signal();
    }
    if (!error.empty())
        report_error(error);
    else if (o_.report->pending())
        report_error(cli_format(cli_gettext("%s: its lock was not given up by another program"),
                                o_.report->path().c_str()));
}

bool runner::run()
{
    if (!start())
        return false;
    while ((!workers_.empty() || server_ >= 0) && poll_once()) {
    }
    held_.close_all();
    view_.finish();
    flush_report_at_end();
    return true;
}

} // namespace

bool cli_run(const cli_run_options &o, std::vector<cli_outcome> &outcomes)
{
    runner r(o, outcomes);
    return r.run();
}
