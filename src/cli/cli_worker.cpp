// Worker processes: fork, pipes and signals; reading and reaping.
#include "cli_worker.h"

#include "cli_output.h"
#include "cli_report.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

bool cli_worker_spawn(const cli_job &job, bool console, const std::vector<int> &parent_fds,
                      cli_report *report, cli_worker *w)
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
        (console && pipe2(c, O_CLOEXEC) != 0)) {
        cli_error(std::string("pipe: ") + std::strerror(errno));
        close_all();
        return false;
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
    sigaddset(&stops, SIGHUP);
    sigprocmask(SIG_BLOCK, &stops, &old_mask);
    const pid_t pid = fork();
    if (pid != 0)
        sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    if (pid < 0) {
        cli_error(std::string("fork: ") + std::strerror(errno));
        close_all();
        return false;
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
        for (const int fd : parent_fds)
            close(fd);
        // Nor the report or the results' output: a reader of the pipe
        // modcfg writes to waits for its end, not a lingering worker's.
        if (report)
            report->forget_in_child();
        if (cli_out != stdout)
            close(fileno(cli_out));
        cli_job_install_signals();
        prctl(PR_SET_PDEATHSIG, SIGUSR2);
        if (getppid() != parent)
            _exit(0);
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
    w->console = c[0];
    w->pid = pid;
    w->fd = p[0];
    w->answer = a[1];
    w->start = w->connect_at = w->last_sign = cli_worker::clock::now();
    return true;
}

bool cli_worker_read(cli_worker &w, std::vector<cli_event> *events)
{
    char buf[4096];
    const ssize_t n = read(w.fd, buf, sizeof buf);
    if (n > 0) {
        w.buf.append(buf, static_cast<size_t>(n));
        if (!cli_event_take(w.buf, *events)) {
            w.buf.clear();
            kill(w.pid, SIGKILL);
        }
        return true;
    }
    return !(n == 0 || (errno != EINTR && errno != EAGAIN));
}

std::vector<std::string> cli_worker_console(cli_worker &w, bool to_end)
{
    std::vector<std::string> lines;
    if (w.console < 0)
        return lines;
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
        lines.push_back(line);
    }
    w.console_buf.erase(0, start);
    if (to_end) {
        close(w.console);
        w.console = -1;
    }
    return lines;
}

int cli_worker_reap(cli_worker &w)
{
    int status = 0;
    while (waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
    }
    close(w.fd);
    close(w.answer);
    return status;
}
