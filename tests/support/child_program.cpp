// Child processes of the project's own programs for tests.
#include "child_program.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace
{

long ms_left(std::chrono::steady_clock::time_point end)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<long>(left.count()) : 0;
}

} // namespace

child_program::child_program(const std::string &path, const std::vector<std::string> &args)
{
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return;
    }
    std::vector<std::string> all{path};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&fa, err[1], STDERR_FILENO);
    if (posix_spawn(&pid_, path.c_str(), &fa, nullptr, argv.data(), environ) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
}

child_program::~child_program()
{
    if (running()) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    for (int fd : {out_fd_, err_fd_})
        if (fd >= 0)
            close(fd);
}

bool child_program::read_some(int ms)
{
    pollfd p[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (out_fd_ < 0 && err_fd_ < 0)
        return false;
    if (poll(p, 2, ms) <= 0)
        return true;
    int *fds[2] = {&out_fd_, &err_fd_};
    std::string *into[2] = {&out_, &err_};
    for (int i = 0; i < 2; i++) {
        if (*fds[i] < 0 || !p[i].revents)
            continue;
        char buf[512];
        const ssize_t n = read(*fds[i], buf, sizeof buf);
        if (n > 0) {
            into[i]->append(buf, static_cast<size_t>(n));
        } else {
            close(*fds[i]);
            *fds[i] = -1;
        }
    }
    return true;
}

bool child_program::wait_output(const std::string &text, int timeout_ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out_.find(text) == std::string::npos) {
        const long left = ms_left(end);
        if (left == 0 || !read_some(static_cast<int>(left)))
            return out_.find(text) != std::string::npos;
    }
    return true;
}

int child_program::wait_exit(int timeout_ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (read_some(static_cast<int>(ms_left(end))) && ms_left(end) > 0) {
    }
    while (running() && ms_left(end) > 0)
        usleep(10000);
    return pid_ > 0 ? -1 : status_;
}

bool child_program::running()
{
    if (pid_ <= 0)
        return false;
    int st = 0;
    const pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == 0)
        return true;
    status_ = r == pid_ && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    pid_ = -1;
    return false;
}
