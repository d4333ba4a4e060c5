// The window programs' --fast: listed by --help, and said once at start.
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace
{

// Runs `bin` with `args`, reads its standard output until it exits or
// `ms` milliseconds passed (then ends it), and returns that output.
std::string output_of(const char *bin, std::vector<std::string> args, int ms)
{
    int fds[2];
    if (pipe(fds) != 0)
        return "";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    args.insert(args.begin(), bin);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    const int rc = posix_spawn(&pid, bin, &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    std::string out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        pollfd p = {fds[0], POLLIN, 0};
        if (rc != 0 || left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
            break;
        char buf[512];
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (rc == 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    return out;
}

const std::string fast_line =
    "Fast exchange on: each read ends when the module's reply is complete.\n";

TEST(FastOption, HelpListsItAndTheConsoleSaysItOnceAtStart)
{
    temp_cwd dir;
    for (const char *bin : {MODCFG_COM_BIN, MODCFG_NET_BIN}) {
        EXPECT_NE(output_of(bin, {"--help"}, 5000).find("  --fast  "), std::string::npos) << bin;
    }
    // The serial window prints nothing else at start; wait for the window
    // a second, then end it.
    EXPECT_EQ(output_of(MODCFG_COM_BIN, {"--fast"}, 1500), fast_line);
    EXPECT_EQ(output_of(MODCFG_COM_BIN, {}, 1500), "");
}

} // namespace
