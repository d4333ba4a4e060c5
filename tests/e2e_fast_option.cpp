// The window programs' --fast: listed by --help, and said once at start.
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace
{

// True once `pid` shows a window on the display.
bool window_shown(pid_t pid)
{
    const std::string cmd =
        "xdotool search --onlyvisible --pid " + std::to_string(pid) + " 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return false;
    char line[64];
    const bool found = std::fgets(line, sizeof line, p) != nullptr;
    pclose(p);
    return found;
}

// Runs `bin` with `args` and returns its standard output: all of it when it
// exits, or, with `until_window`, what it printed until its window showed
// (then it is ended). Either way `ms` milliseconds at most.
std::string output_of(const char *bin, std::vector<std::string> args, bool until_window,
                      int ms = 30000)
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
    bool ended = rc != 0;
    while (!ended && std::chrono::steady_clock::now() < end) {
        if (until_window && window_shown(pid)) {
            // What it printed before is in the pipe; the end of the pipe
            // comes with its exit.
            kill(pid, SIGTERM);
            until_window = false;
        }
        pollfd p = {fds[0], POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        char buf[512];
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n > 0)
            out.append(buf, static_cast<size_t>(n));
        else
            ended = true;
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
        EXPECT_NE(output_of(bin, {"--help"}, false).find("  --fast  "), std::string::npos) << bin;
    }
    // Outside a working directory the window says where command files go,
    // once.
    const std::string note = "Command files are saved in " + dir.path() +
                             "/data/, which does not exist yet: Save needs it (mkdir data); --workdir keeps them in ";
    const std::string away = output_of(MODCFG_COM_BIN, {}, true);
    EXPECT_EQ(away.compare(0, note.size(), note), 0) << away;
    EXPECT_EQ(away.find('\n'), away.size() - 1) << away;
    // In one, it prints nothing else at start, up to its window.
    ASSERT_EQ(mkdir("data", 0755), 0);
    write_file("pic", "");
    EXPECT_EQ(output_of(MODCFG_COM_BIN, {"--fast"}, true), fast_line);
    EXPECT_EQ(output_of(MODCFG_COM_BIN, {}, true), "");
}

} // namespace
