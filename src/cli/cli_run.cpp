// Worker processes, their progress on the terminal or as plain lines, the
// report, and Ctrl-C: the first ends the run after the modules in progress,
// a second ends it at once.
#include "cli_run.h"

#include "cli_event.h"
#include "cli_history.h"
#include "cli_output.h"
#include "cli_text.h"
#include "store_csv.h"
#include "tcpsock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

using mono = std::chrono::steady_clock;

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
// Connections of modules done in this run that are kept open, at most:
// closed, a module connects again at once (as it does after any lost
// link) and would be asked its MID and let go over and over.
constexpr size_t MAX_HELD_CONNECTIONS = 256;
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

    // Line `slot` now reads `text`; a working line is shown before idle
    // ones when the terminal has fewer rows than lines.
    void set(size_t slot, const std::string &text, bool working = false)
    {
        if (slot >= lines_.size()) {
            lines_.resize(slot + 1);
            working_.resize(slot + 1);
        }
        if (lines_[slot] == text && working_[slot] == working)
            return;
        lines_[slot] = text;
        working_[slot] = working;
        dirty_ = true;
    }
    void remove_last_unused(size_t keep)
    {
        if (lines_.size() > keep) {
            lines_.resize(keep);
            working_.resize(keep);
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
        const auto shown = visible();
        for (const auto &l : shown)
            out += "\r\033[K" + cut(l, width) + "\n";
        out += "\033[J";
        shown_ = shown.size();
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
    // The lines that fit the terminal, a row left for the cursor: working
    // ones first, then idle ones, in their order, and a count of the rest.
    // Lines that scrolled off could never be moved back over.
    std::vector<std::string> visible() const
    {
        winsize ws;
        const size_t rows =
            ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 2 ? ws.ws_row - 1 : 0;
        if (rows == 0 || lines_.size() <= rows)
            return lines_;
        std::vector<bool> take(lines_.size(), false);
        size_t room = rows - 1, taken = 0;
        for (int pass = 0; pass < 2; pass++)
            for (size_t i = 0; i < lines_.size() && taken < room; i++)
                if (!take[i] && (pass == 1 || working_[i])) {
                    take[i] = true;
                    taken++;
                }
        std::vector<std::string> out;
        for (size_t i = 0; i < lines_.size(); i++)
            if (take[i])
                out.push_back(lines_[i]);
        out.push_back(cli_format(cli_gettext("... and %zu more"), lines_.size() - taken));
        return out;
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
    std::vector<bool> working_;
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
    int answer = -1; // go or skip to the worker's "module" event
    std::string buf;
    size_t slot = 0;
    bool in_progress = false; // a module answered
    bool asked_to_stop = false;
    bool killed = false;
    bool interrupted = false; // a second Ctrl-C: "AT+ENTM" and end
    bool timed_out = false;   // ended past its module's deadline
    mono::time_point kill_at = mono::time_point::max();
    mono::time_point start, connect_at, last_sign;
    std::string stage, waiting;
    long done = 0, total = 0;
    bool got_result = false;
    int sock = -1; // a TCP module's connection, the parent's copy
    // With --verbose: the worker's standard output, where the core prints
    // its console lines in pieces ("Connect to Module...", "...", "OK!").
    int console = -1;
    std::string console_buf;
    bool let_go = false; // skipped as done in this run: its connection is held
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
    void hold(int sock);
    void read_console(worker &w, bool to_end);
    void read_held(const std::vector<pollfd> &fds, size_t first);
    std::string decide(worker &w);
    void answer(worker &w, const std::string &why);
    void note_result(const worker &w, const std::string &result);
    cli_job job_for(size_t slot_index) const;
    void spawn_port(size_t slot_index);
    void accept_one();
    void read_worker(worker &w);
    void handle(worker &w, const cli_event &ev);
    void finish(worker &w);
    void record(const cli_outcome &c);
    void show(worker &w);
    void stop_waiting();
    void stop_for_database(const std::string &why);
    void report_error(const std::string &error);
    void on_signal();
    std::string result_text(const cli_outcome &c) const;

    const cli_run_options &o_;
    std::vector<cli_outcome> &outcomes_;
    progress_view view_;
    std::vector<slot> slots_;
    std::vector<std::unique_ptr<worker>> workers_;
    int server_ = -1;
    // What this run did with each MID: a module that reconnects (after its
    // restart, say) is not provisioned again once it is done, nor tried
    // without end when it failed.
    struct mid_history {
        std::string last_result;
        long failures = 0;
        bool in_progress = false;
        bool named = false; // the operator was told it is left alone
    };
    std::map<std::string, mid_history> mids_;
    // Connections of modules let go as done, kept open (oldest first).
    std::vector<int> held_;
    bool stopping_ = false;
    int interrupts_ = 0;
    bool report_failed_ = false;
    bool database_said_ = false;
};

void runner::spawn(size_t slot_index, const cli_job &job)
{
    // Events to the parent, the parent's answers, and with --verbose the
    // worker's console lines.
    int p[2] = {-1, -1}, a[2] = {-1, -1}, c[2] = {-1, -1};
    const auto close_all = [&] {
        for (int fd : {p[0], p[1], a[0], a[1], c[0], c[1]})
            if (fd >= 0)
                close(fd);
    };
    if (pipe2(p, O_CLOEXEC) != 0 || pipe2(a, O_CLOEXEC) != 0 ||
        (o_.verbose && pipe2(c, O_CLOEXEC) != 0)) {
        cli_error(std::string("pipe: ") + std::strerror(errno));
        close_all();
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
    sigaddset(&stops, SIGUSR1);
    sigprocmask(SIG_BLOCK, &stops, &old_mask);
    const pid_t pid = fork();
    if (pid != 0)
        sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    if (pid < 0) {
        cli_error(std::string("fork: ") + std::strerror(errno));
        close_all();
        return;
    }
    if (pid == 0) {
        // The worker keeps only its own pipe and, for a TCP module, its
        // socket: the listening socket must close with the parent.
        close(p[0]);
        close(a[1]);
        if (c[1] >= 0) {
            dup2(c[1], STDOUT_FILENO);
            close(c[0]);
            close(c[1]);
        }
        for (const auto &w : workers_) {
            close(w->fd);
            close(w->answer);
            if (w->console >= 0)
                close(w->console);
            if (w->sock >= 0)
                close(w->sock);
        }
        for (const int h : held_)
            close(h);
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
        cli_job own = job;
        own.answer_fd = a[0];
        const int rc = cli_job_run(own, p[1]);
        std::fflush(nullptr);
        _exit(rc);
    }
    close(p[1]);
    close(a[0]);
    if (c[1] >= 0)
        close(c[1]);
    auto w = std::make_unique<worker>();
    w->console = c[0];
    w->pid = pid;
    w->fd = p[0];
    w->answer = a[1];
    w->slot = slot_index;
    w->start = w->connect_at = w->last_sign = mono::now();
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
    mid_history &h = mids_[mid];
    const std::string shown = "MID " + cli_printable(mid);
    // Its old connection may still be at work (a module restarted by hand
    // under way): this one is let go and closed, so the module comes back
    // once that ended, and the rules below decide then.
    if (h.in_progress) {
        view_.plain(w.out.label,
                    cli_format(cli_gettext("%s is in progress elsewhere; let go"), shown.c_str()));
        return "busy";
    }
    if (!h.last_result.empty() && cli_result_done(h.last_result)) {
        if (!h.named)
            view_.alert(cli_format(cli_gettext("%s already %s in this run"), shown.c_str(),
                                   h.last_result.c_str()));
        h.named = true;
        return "done";
    }
    if (h.failures > o_.retries) {
        if (!h.named)
            view_.alert(cli_format(cli_gettext("%s failed %ld times in this run; left alone"),
                                   shown.c_str(), h.failures));
        h.named = true;
        return "done";
    }
    h.in_progress = true;
    return "";
}

void runner::answer(worker &w, const std::string &why)
{
    cli_event ev(why.empty() ? "go" : "skip");
    ev.set("why", why);
    // A worker that is gone finds out by itself.
    cli_event_write(w.answer, ev);
}

void runner::note_result(const worker &w, const std::string &result)
{
    if (!w.in_progress || w.out.mid.empty())
        return;
    mid_history &h = mids_[w.out.mid];
    if (!h.in_progress)
        return;
    h.in_progress = false;
    h.last_result = result;
    if (!cli_result_done(result))
        h.failures++;
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
            view_.plain(label, cli_format(dngettext(MODCFG_CLI_TEXT_DOMAIN, "apply %d line",
                                                    "apply %d lines", o_.file_lines),
                                          static_cast<int>(o_.file_lines)));
        else if (w.stage == "verify" || w.stage == "restart" || (w.stage == "connect" && !o_.loop))
            view_.plain(label, w.stage);
    } else if (k == "waiting") {
        const std::string text = ev.get("text");
        if (text != w.waiting)
            view_.plain(label, cli_format(cli_gettext("waiting for a module (%s)"),
                                          cli_printable(text).c_str()));
        w.waiting = text;
    } else if (k == "line") {
        // --baud auto: the settings the scan found go to the console and
        // into the record's note.
        const std::string text = "line " + ev.get("text");
        w.out.note = text + (w.out.note.empty() ? "" : "; " + w.out.note);
        view_.plain(label, cli_format(cli_gettext("found at %s"), ev.get("text").c_str()));
    } else if (k == "vanished") {
        view_.plain(label, cli_gettext("the port is gone; any module after it comes back is new"));
    } else if (k == "module") {
        w.out.mid = ev.get("mid");
        w.device_id = ev.get("device");
        const std::string why = decide(w);
        answer(w, why);
        if (!why.empty()) {
            w.let_go = why == "done";
            w.out.mid.clear();
        } else {
            w.in_progress = true;
            view_.plain(label,
                        cli_format(cli_gettext("module MID %s"), cli_printable(w.out.mid).c_str()));
            if (limit_reached()) {
                stop_waiting();
                // Further connections wait for nothing: the run is full.
                if (server_ >= 0) {
                    close(server_);
                    server_ = -1;
                }
            }
        }
    } else if (k == "version") {
        w.out.version = ev.get("version");
        view_.plain(label,
                    cli_format(cli_gettext("version %s"), cli_printable(w.out.version).c_str()));
    } else if (k == "not-a-module") {
        view_.alert(cli_format(cli_gettext("not a module: %s"), label.c_str()));
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
        view_.plain(label, cli_format(cli_gettext("not acknowledged: %s"),
                                      cli_printable(ev.get("line")).c_str()));
    } else if (k == "unverifiable") {
        w.out.unverifiable.push_back(ev.get("line"));
    } else if (k == "mismatch") {
        cli_mismatch m{ev.get("setting"), ev.get("sent"), ev.get("held")};
        // A mismatch names only a value the module gave.
        if (ev.get_long("answered") == 0)
            w.out.note +=
                (w.out.note.empty() ? "" : "; ") + std::string("no answer to AT+") + m.setting;
        else
            w.out.mismatches.push_back(m);
    } else if (k == "port-error") {
        w.out.port_error = ev.get("error");
        w.out.hint = ev.get("hint");
    } else if (k == "row") {
        w.out.pool = ev.get("pool");
        w.out.seq = ev.get_long("seq");
        std::vector<std::vector<std::string>> recs;
        if (csv_parse(ev.get("values"), recs, nullptr) && !recs.empty())
            w.out.row_values = recs[0];
    } else if (k == "result") {
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

void runner::finish(worker &w)
{
    int status = 0;
    while (waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
    }
    read_console(w, true);
    close(w.fd);
    close(w.answer);
    if (w.sock >= 0) {
        if (w.let_go && !stopping_)
            hold(w.sock);
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

// Whole console lines, each on a line of its own with the port before it;
// with `to_end`, everything up to the worker's end, a last piece included.
void runner::read_console(worker &w, bool to_end)
{
    if (w.console < 0)
        return;
    for (;;) {
        char buf[4096];
        const ssize_t n = read(w.console, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n > 0)
            w.console_buf.append(buf, static_cast<size_t>(n));
        if (n <= 0 || !to_end)
            break;
    }
    if (to_end)
        w.console_buf += '\n';
    size_t start = 0;
    for (size_t nl; (nl = w.console_buf.find('\n', start)) != std::string::npos; start = nl + 1) {
        std::string line = w.console_buf.substr(start, nl - start);
        while (!line.empty() && line.back() == '\r')
            line.pop_back();
        // The commands it names hold keys: masked as every other output.
        if (!o_.show_secrets)
            line = cli_console_masked(line);
        if (!line.empty())
            view_.message(w.out.label + ": " + cli_printable(line));
    }
    w.console_buf.erase(0, start);
    if (to_end) {
        close(w.console);
        w.console = -1;
    }
}

void runner::hold(int sock)
{
    if (held_.size() >= MAX_HELD_CONNECTIONS) {
        close(held_.front());
        held_.erase(held_.begin());
    }
    held_.push_back(sock);
}

// What a held module sends (its serial side's data, in transparent mode)
// is dropped; a held connection the module closed is closed here too.
void runner::read_held(const std::vector<pollfd> &fds, size_t first)
{
    std::vector<int> gone;
    for (size_t i = first; i < first + held_.size() && i < fds.size(); i++) {
        if (!fds[i].revents)
            continue;
        char buf[4096];
        const ssize_t n = recv(fds[i].fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            gone.push_back(fds[i].fd);
    }
    for (const int fd : gone) {
        close(fd);
        for (auto it = held_.begin(); it != held_.end(); ++it)
            if (*it == fd) {
                held_.erase(it);
                break;
            }
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
    if (server_ >= 0) {
        close(server_);
        server_ = -1;
    }
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
        if (server_ >= 0) {
            close(server_);
            server_ = -1;
        }
        for (const int h : held_)
            close(h);
        held_.clear();
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
        head.label =
            std::string("listening on ") + addr + ":" + std::to_string(ntohs(local.sin_port));
        head.closed = false;
        slots_.push_back(head);
        // A result, not progress: scripts that asked for port 0 learn the
        // port here, with --quiet too.
        std::fprintf(stderr, "modcfg: %s\n", head.label.c_str());
        std::fflush(stderr);
        view_.set(0, head.label, true);
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
        const size_t first_held = fds.size();
        for (const int h : held_)
            fds.push_back({h, POLLIN | POLLRDHUP, 0});
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
            break;
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
        read_held(fds, first_held);
        for (size_t i = first_console; i < fds.size(); i++)
            if (fds[i].revents & POLLIN)
                read_console(*console_of[i - first_console], false);
        for (worker *w : ended)
            finish(*w);
        const auto now = mono::now();
        for (auto &w : workers_) {
            const bool over = w->in_progress && !w->got_result &&
                              now - w->connect_at >
                                  std::chrono::seconds(o_.module_timeout) + MODULE_TIMEOUT_GRACE;
            if (!w->killed &&
                (now - w->last_sign > WORKER_SILENCE_LIMIT || over || now >= w->kill_at)) {
                w->killed = true;
                w->timed_out = over;
                kill(w->pid, SIGKILL);
            }
        }
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
    }
    for (const int h : held_)
        close(h);
    held_.clear();
    view_.finish();
    // The last records wait for the lock as long as it takes; only the
    // operator, with two more Ctrl-C, gives them up (the run then fails).
    if (o_.report && o_.report->pending()) {
        view_.message(std::string("modcfg: ") +
                      cli_gettext("waiting for the report's lock to write the last records "
                                  "(Ctrl-C twice to give them up)"));
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
            report_error(cli_format(cli_gettext("%s: its lock was not given up by another program"),
                                    o_.report->path().c_str()));
    }
    return true;
}

} // namespace

bool cli_run(const cli_run_options &o, std::vector<cli_outcome> &outcomes)
{
    runner r(o, outcomes);
    return r.run();
}
