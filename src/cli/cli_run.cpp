// Worker processes, their progress on the terminal or as plain lines, the
// report, and Ctrl-C: the first ends the run after the modules in progress,
// a second ends it at once.
#include "cli_run.h"

#include "cli_event.h"
#include "tcpsock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

FILE *cli_out = stdout;

void cli_error(const std::string &text)
{
    std::fflush(cli_out);
    std::fprintf(stderr, "modcfg: %s\n", text.c_str());
    std::fflush(stderr);
}

namespace
{

using mono = std::chrono::steady_clock;

// A worker that gives no sign for this long is stuck in the kernel (a
// close that waits for an adapter's output, say): it is ended. Every
// exchange sends a sign, and the longest (a query of a silent module at
// the module's own timing) takes under four minutes.
constexpr auto WORKER_SILENCE_LIMIT = std::chrono::seconds(600);
// Least time between two redraws of the progress lines.
constexpr auto REDRAW_EVERY = std::chrono::milliseconds(100);

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

// ---------------------------------------------------------------------------
// Progress: one line per port updated in place on a terminal, plain lines
// prefixed with the port otherwise.

class progress_view
{
  public:
    enum class mode { none, plain, live };

    explicit progress_view(mode m) : mode_(m) {}
    ~progress_view() { finish(); }

    // Line `slot` now reads `text`.
    void set(size_t slot, const std::string &text)
    {
        if (slot >= lines_.size())
            lines_.resize(slot + 1);
        if (lines_[slot] == text)
            return;
        lines_[slot] = text;
        dirty_ = true;
    }
    void remove_last_unused(size_t keep)
    {
        if (lines_.size() > keep) {
            lines_.resize(keep);
            dirty_ = true;
        }
    }
    // A plain progress line, piped mode only.
    void plain(const std::string &label, const std::string &text)
    {
        if (mode_ == mode::plain) {
            std::fprintf(stderr, "%s: %s\n", label.c_str(), text.c_str());
            std::fflush(stderr);
        }
    }
    // A "modcfg: ..." line on standard error in every mode, --quiet too.
    void alert(const std::string &text)
    {
        erase();
        cli_error(text);
        dirty_ = true;
    }
    // A message on standard error in every mode but none.
    void message(const std::string &text)
    {
        if (mode_ == mode::none)
            return;
        erase();
        std::fprintf(stderr, "%s\n", text.c_str());
        std::fflush(stderr);
        dirty_ = true;
    }
    // A result line on standard output, above the live lines.
    void result(const std::string &text)
    {
        const bool shared = mode_ == mode::live && isatty(fileno(cli_out));
        if (shared)
            erase();
        std::fputs(text.c_str(), cli_out);
        std::fflush(cli_out);
        if (shared)
            dirty_ = true;
    }
    void redraw(bool force = false)
    {
        if (mode_ != mode::live || (!dirty_ && !force))
            return;
        const auto now = mono::now();
        if (!force && now - last_draw_ < REDRAW_EVERY)
            return;
        last_draw_ = now;
        std::string out;
        if (shown_ > 0)
            out += "\033[" + std::to_string(shown_) + "A";
        const size_t width = columns();
        for (const auto &l : lines_)
            out += "\r\033[K" + cut(l, width) + "\n";
        out += "\033[J";
        shown_ = lines_.size();
        dirty_ = false;
        std::fputs(out.c_str(), stderr);
        std::fflush(stderr);
    }
    // The result lines above say it all: the live lines go.
    void finish() { erase(); }

  private:
    void erase()
    {
        if (mode_ != mode::live || shown_ == 0)
            return;
        std::fprintf(stderr, "\033[%zuA\r\033[J", shown_);
        std::fflush(stderr);
        shown_ = 0;
    }
    static size_t columns()
    {
        winsize ws;
        if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1)
            return ws.ws_col - 1;
        return 79;
    }
    // At most `width` characters, cut between UTF-8 sequences: a wrapped
    // line would break the count of lines to move back over.
    static std::string cut(const std::string &s, size_t width)
    {
        size_t chars = 0;
        for (size_t i = 0; i < s.size(); i++) {
            if ((static_cast<unsigned char>(s[i]) & 0xc0) != 0x80 && chars++ == width)
                return s.substr(0, i);
        }
        return s;
    }

    mode mode_;
    std::vector<std::string> lines_;
    size_t shown_ = 0;
    bool dirty_ = false;
    mono::time_point last_draw_;
};

// ---------------------------------------------------------------------------

struct slot {
    std::string label;
    std::string device; // serial ports only
    std::string last_mid, last_device;
    bool done_before = false; // a module's outcome was recorded here
    std::string status;
    bool busy = false; // a worker serves it
    bool closed = false;
};

struct worker {
    pid_t pid = -1;
    int fd = -1;
    std::string buf;
    size_t slot = 0;
    bool in_progress = false; // a module answered
    bool asked_to_stop = false;
    bool killed = false;
    mono::time_point start, connect_at, last_sign;
    std::string stage, waiting;
    long done = 0, total = 0;
    bool got_result = false;
    cli_outcome out;
    std::string device_id;
};

class runner
{
  public:
    runner(const cli_run_options &o, std::vector<cli_outcome> &outcomes)
        : o_(o), outcomes_(outcomes), view_(view_mode(o))
    {
    }
    bool run();

  private:
    static progress_view::mode view_mode(const cli_run_options &o)
    {
        if (o.quiet)
            return progress_view::mode::none;
        const char *term = std::getenv("TERM");
        if (!o.verbose && isatty(STDERR_FILENO) && term && std::strcmp(term, "dumb") != 0)
            return progress_view::mode::live;
        return progress_view::mode::plain;
    }
    bool limit_reached() const { return o_.count > 0 && started_modules() >= o_.count; }
    long started_modules() const
    {
        long n = static_cast<long>(outcomes_.size());
        for (const auto &w : workers_)
            if (w->in_progress)
                n++;
        return n;
    }
    void spawn(size_t slot_index, const cli_job &job);
    void spawn_port(size_t slot_index);
    void accept_one();
    void read_worker(worker &w);
    void handle(worker &w, const cli_event &ev);
    void finish(worker &w);
    void record(const cli_outcome &c);
    void show(worker &w);
    void stop_waiting();
    void report_error(const std::string &error);
    void on_signal();
    std::string result_text(const cli_outcome &c) const;

    const cli_run_options &o_;
    std::vector<cli_outcome> &outcomes_;
    progress_view view_;
    std::vector<slot> slots_;
    std::vector<std::unique_ptr<worker>> workers_;
    int server_ = -1;
    long accepted_ = 0;
    bool stopping_ = false;
    int interrupts_ = 0;
    bool report_failed_ = false;
};

void runner::spawn(size_t slot_index, const cli_job &job)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
        cli_error(std::string("pipe: ") + std::strerror(errno));
        return;
    }
    std::fflush(nullptr);
    const pid_t parent = getpid();
    // A stop request must reach the worker's own handler: until the worker
    // has it, this process's handler would take the signal for the parent.
    sigset_t stops, old_mask;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, &old_mask);
    const pid_t pid = fork();
    if (pid != 0)
        sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    if (pid < 0) {
        cli_error(std::string("fork: ") + std::strerror(errno));
        close(p[0]);
        close(p[1]);
        return;
    }
    if (pid == 0) {
        // The worker keeps only its own pipe and, for a TCP module, its
        // socket: the listening socket must close with the parent.
        close(p[0]);
        for (const auto &w : workers_)
            close(w->fd);
        if (server_ >= 0)
            close(server_);
        close(signal_pipe[0]);
        close(signal_pipe[1]);
        // Nor the report or the results' output: a reader of the pipe
        // modcfg writes to waits for its end, not a lingering worker's.
        if (o_.report)
            o_.report->forget_in_child();
        if (cli_out != stdout)
            close(fileno(cli_out));
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(0);
        cli_job_install_signals();
        sigprocmask(SIG_SETMASK, &old_mask, nullptr);
        const int rc = cli_job_run(job, p[1]);
        std::fflush(nullptr);
        _exit(rc);
    }
    close(p[1]);
    auto w = std::make_unique<worker>();
    w->pid = pid;
    w->fd = p[0];
    w->slot = slot_index;
    w->start = w->connect_at = w->last_sign = mono::now();
    w->out.label = slots_[slot_index].label;
    slots_[slot_index].busy = true;
    workers_.push_back(std::move(w));
}

void runner::spawn_port(size_t i)
{
    cli_job job;
    job.task = o_.task;
    job.device = slots_[i].device;
    job.line = o_.line;
    job.file = o_.file;
    job.lines = o_.lines;
    job.file_lines = o_.file_lines;
    job.verify = o_.verify;
    job.restart = o_.restart;
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
        view_.alert("refused " + net_peer_text(peer) + ": not in an allowed network");
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
    accepted_++;
    cli_job job;
    job.task = o_.task;
    job.sock = sock;
    job.file = o_.file;
    job.lines = o_.lines;
    job.file_lines = o_.file_lines;
    job.verify = o_.verify;
    job.restart = o_.restart;
    spawn(i, job);
    close(sock);
    view_.plain(s.label, "connected");
    if (o_.count > 0 && accepted_ >= o_.count) {
        close(server_);
        server_ = -1;
    }
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
    view_.set(w.slot, text);
}

void runner::handle(worker &w, const cli_event &raw)
{
    // Masked here, once: every line, record and result below is made from
    // these events (the worker compared the values whole).
    const cli_event ev = o_.show_secrets ? raw : cli_event_masked(raw);
    w.last_sign = mono::now();
    const std::string &k = ev.kind;
    const std::string &label = w.out.label;
    if (k == "alive") {
        return;
    } else if (k == "stage") {
        w.stage = ev.get("text");
        w.total = 0;
        if (w.stage == "connect")
            w.connect_at = mono::now();
        if (w.stage == "apply")
            view_.plain(label, "apply " + std::to_string(o_.file_lines) + " lines");
        else if (w.stage == "verify" || w.stage == "restart" || (w.stage == "connect" && !o_.loop))
            view_.plain(label, w.stage);
    } else if (k == "waiting") {
        const std::string text = ev.get("text");
        if (text != w.waiting)
            view_.plain(label, "waiting for a module (" + cli_printable(text) + ")");
        w.waiting = text;
    } else if (k == "vanished") {
        view_.plain(label, "the port is gone; any module after it comes back is new");
    } else if (k == "module") {
        w.in_progress = true;
        w.out.mid = ev.get("mid");
        w.out.version = ev.get("version");
        w.device_id = ev.get("device");
        view_.plain(label, "module MID " + cli_printable(w.out.mid) + ", version " +
                               cli_printable(w.out.version));
        if (limit_reached())
            stop_waiting();
    } else if (k == "progress") {
        w.stage = ev.get("stage");
        w.done = ev.get_long("done");
        w.total = ev.get_long("total");
    } else if (k == "value") {
        w.out.values.emplace_back(ev.get("name"), ev.get("value"));
    } else if (k == "command") {
        w.out.commands.push_back(ev.get("line"));
    } else if (k == "unacked") {
        w.out.unacked.push_back(ev.get("line"));
        view_.plain(label, "not acknowledged: " + cli_printable(ev.get("line")));
    } else if (k == "unverifiable") {
        w.out.unverifiable.push_back(ev.get("line"));
    } else if (k == "mismatch") {
        cli_mismatch m{ev.get("setting"), ev.get("sent"), ev.get("held")};
        if (ev.get_long("answered") == 0)
            w.out.note +=
                (w.out.note.empty() ? "" : "; ") + std::string("no answer to AT+") + m.setting;
        w.out.mismatches.push_back(m);
    } else if (k == "port-error") {
        w.out.port_error = ev.get("error");
        w.out.hint = ev.get("hint");
    } else if (k == "result") {
        w.got_result = true;
        w.out.result = ev.get("result");
        const std::string note = ev.get("note");
        if (!note.empty())
            w.out.note = note + (w.out.note.empty() ? "" : "; " + w.out.note);
        w.out.seconds = seconds_since(w.connect_at);
    }
    show(w);
}

std::string runner::result_text(const cli_outcome &c) const
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
        line += "  mismatch " + m.setting + ": sent \"" + cli_printable(m.sent) +
                "\", module holds \"" + cli_printable(m.held) + "\"\n";
    for (const auto &u : c.unacked)
        line += "  not acknowledged: " + cli_printable(u) + "\n";
    for (const auto &u : c.unverifiable)
        line += "  not verifiable: " + cli_printable(u) + "\n";
    if (!c.note.empty())
        line += "  " + cli_printable(c.note) + "\n";
    return line;
}

void runner::finish(worker &w)
{
    int status = 0;
    while (waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
    }
    close(w.fd);
    slot &s = slots_[w.slot];
    s.busy = false;
    if (s.device.empty())
        s.closed = true; // a connection's line can be reused
    cli_outcome c = w.out;
    if (!c.port_error.empty()) {
        cli_error(c.label + ": " + c.port_error);
        if (!c.hint.empty())
            cli_error(c.hint);
        outcomes_.push_back(c);
    } else if (!w.got_result && w.in_progress) {
        c.result = RESULT_LINK_LOST;
        c.seconds = seconds_since(w.connect_at);
        c.note = w.killed ? "interrupted" : "the worker ended without a result";
        if (WIFSIGNALED(status))
            c.note += " (signal " + std::to_string(WTERMSIG(status)) + ")";
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

void runner::record(const cli_outcome &c)
{
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
        cli_error("report: " + error + "; a record is missing, the run fails");
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

void runner::on_signal()
{
    char c;
    while (read(signal_pipe[0], &c, 1) == 1)
        interrupts_++;
    if (interrupts_ == 0)
        return;
    if (!stopping_ || interrupts_ == 1) {
        stopping_ = true;
        if (server_ >= 0) {
            close(server_);
            server_ = -1;
        }
        stop_waiting();
        if (!workers_.empty())
            view_.message("modcfg: stopping after the modules in progress (again to stop now)");
    }
    if (interrupts_ >= 2)
        for (auto &w : workers_) {
            w->killed = true;
            kill(w->pid, SIGKILL);
        }
}

bool runner::run()
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

    if (o_.listen) {
        const char *step = "";
        server_ = tcpsock_listen(o_.listen_addr.c_str(), o_.listen_port, &step);
        if (server_ < 0) {
            cli_error("listen on " + (o_.listen_addr.empty() ? "*" : o_.listen_addr) + ":" +
                      std::to_string(o_.listen_port) + ": " + step + ": " + std::strerror(errno));
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
        head.label =
            std::string("listening on ") + addr + ":" + std::to_string(ntohs(local.sin_port));
        head.closed = false;
        slots_.push_back(head);
        // A result, not progress: scripts that asked for port 0 learn the
        // port here, with --quiet too.
        std::fprintf(stderr, "modcfg: %s\n", head.label.c_str());
        std::fflush(stderr);
        view_.set(0, head.label);
    } else {
        for (size_t i = 0; i < o_.ports.size(); i++) {
            slot s;
            s.label = o_.ports[i];
            s.device = o_.devices[i];
            slots_.push_back(s);
        }
        for (size_t i = 0; i < slots_.size(); i++)
            spawn_port(i);
    }

    for (;;) {
        if (workers_.empty() && server_ < 0)
            break;
        std::vector<pollfd> fds;
        fds.push_back({signal_pipe[0], POLLIN, 0});
        if (server_ >= 0 && !stopping_ && static_cast<long>(workers_.size()) < o_.max_workers)
            fds.push_back({server_, POLLIN, 0});
        const size_t first_worker = fds.size();
        for (const auto &w : workers_)
            fds.push_back({w->fd, POLLIN, 0});
        const int r = poll(fds.data(), fds.size(), 100);
        if (r < 0 && errno != EINTR) {
            cli_error(std::string("poll: ") + std::strerror(errno));
            break;
        }
        if (fds[0].revents)
            on_signal();
        if (first_worker == 2 && server_ >= 0 && (fds[1].revents & POLLIN))
            accept_one();
        std::vector<worker *> ended;
        for (size_t i = first_worker; i < fds.size(); i++) {
            worker &w = *workers_[i - first_worker];
            if (!fds[i].revents)
                continue;
            char buf[4096];
            const ssize_t n = read(w.fd, buf, sizeof buf);
            if (n > 0) {
                w.buf.append(buf, static_cast<size_t>(n));
                std::vector<cli_event> evs;
                if (!cli_event_take(w.buf, evs)) {
                    w.buf.clear();
                    kill(w.pid, SIGKILL);
                }
                for (const auto &ev : evs)
                    handle(w, ev);
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                ended.push_back(&w);
            }
        }
        for (worker *w : ended)
            finish(*w);
        const auto now = mono::now();
        for (auto &w : workers_)
            if (now - w->last_sign > WORKER_SILENCE_LIMIT && !w->killed) {
                w->killed = true;
                kill(w->pid, SIGKILL);
            }
        if (o_.listen && slots_.size() > 1) {
            std::string head = slots_[0].label + "  " + std::to_string(outcomes_.size()) + " done";
            view_.set(0, head);
        }
        // Records wait while another program holds the report's lock; the
        // loop goes on meanwhile.
        std::string error;
        if (o_.report && o_.report->pending() && !o_.report->flush(false, &error))
            report_error(error);
        view_.redraw();
    }
    view_.finish();
    // The last records wait for the lock as long as it takes; only the
    // operator, with two more Ctrl-C, gives them up (the run then fails).
    if (o_.report && o_.report->pending()) {
        view_.message("modcfg: waiting for the report's lock to write the last records "
                      "(Ctrl-C twice to give them up)");
        const int before = interrupts_;
        std::string error;
        while (o_.report->pending() && o_.report->flush(false, &error) &&
               o_.report->pending() && interrupts_ - before < 2) {
            pollfd p = {signal_pipe[0], POLLIN, 0};
            if (poll(&p, 1, 100) > 0)
                on_signal();
        }
        if (!error.empty())
            report_error(error);
        else if (o_.report->pending())
            report_error(o_.report->path() + ": its lock was not given up by another program");
    }
    return true;
}

} // namespace

bool cli_run(const cli_run_options &o, std::vector<cli_outcome> &outcomes)
{
    runner r(o, outcomes);
    return r.run();
}
