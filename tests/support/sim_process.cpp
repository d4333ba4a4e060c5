// Child-process control of the module emulator for tests.
#include "sim_process.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace
{

long now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

void sleep_ms(long ms)
{
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

} // namespace

bool sim_process::spawn(const std::vector<std::string> &args, bool capture_stdout)
{
    stop();
    std::vector<std::string> argv_s{QXB27_SIM_BIN};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argv_s)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    int pipe_fds[2] = {-1, -1};
    if (capture_stdout) {
        if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
            posix_spawn_file_actions_destroy(&fa);
            return false;
        }
        posix_spawn_file_actions_adddup2(&fa, pipe_fds[1], STDOUT_FILENO);
    }
    pid_t pid;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (capture_stdout)
        close(pipe_fds[1]);
    if (rc != 0) {
        if (capture_stdout)
            close(pipe_fds[0]);
        return false;
    }
    pid_ = pid;
    out_fd_ = pipe_fds[0];
    status_ = -1;
    return true;
}

bool sim_process::start(const std::vector<std::string> &args)
{
    return spawn(args, false);
}

bool sim_process::start_pty(const std::vector<std::string> &args, int timeout_ms)
{
    std::vector<std::string> all{"--pty"};
    all.insert(all.end(), args.begin(), args.end());
    if (!spawn(all, true))
        return false;
    std::string line;
    long deadline = now_ms() + timeout_ms;
    while (line.find('\n') == std::string::npos) {
        long left = deadline - now_ms();
        pollfd pfd{out_fd_, POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) <= 0)
            break;
        char buf[256];
        ssize_t n = read(out_fd_, buf, sizeof buf);
        if (n <= 0)
            break;
        line.append(buf, static_cast<size_t>(n));
    }
    size_t nl = line.find('\n');
    if (nl == std::string::npos || line.compare(0, 4, "pty ") != 0) {
        stop();
        return false;
    }
    pty_path_ = line.substr(4, nl - 4);
    return true;
}

bool sim_process::running()
{
    if (pid_ <= 0)
        return false;
    int st;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == 0)
        return true;
    status_ = (r == pid_ && WIFEXITED(st)) ? WEXITSTATUS(st) : -1;
    pid_ = -1;
    return false;
}

int sim_process::wait_exit(int timeout_ms)
{
    long deadline = now_ms() + timeout_ms;
    while (running()) {
        if (now_ms() >= deadline)
            return -1;
        sleep_ms(10);
    }
    return status_;
}

int sim_process::stop(int timeout_ms)
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        if (wait_exit(timeout_ms) < 0 && pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
            status_ = -1;
        }
    }
    if (out_fd_ >= 0) {
        close(out_fd_);
        out_fd_ = -1;
    }
    pty_path_.clear();
    return status_;
}

std::map<std::string, std::string> sim_read_state(const std::string &path)
{
    std::map<std::string, std::string> state;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos)
            state[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return state;
}

bool sim_wait_state(const std::string &path, const std::string &name, const std::string &value,
                    int timeout_ms)
{
    long deadline = now_ms() + timeout_ms;
    for (;;) {
        auto state = sim_read_state(path);
        auto it = state.find(name);
        if (it != state.end() && it->second == value)
            return true;
        if (now_ms() >= deadline)
            return false;
        sleep_ms(10);
    }
}
