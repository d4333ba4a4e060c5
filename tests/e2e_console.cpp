// The serial window program decides on its console window as it starts:
// one when standard output is not a terminal (the menu's case), none with
// --no-console or a terminal on standard output; the main window stays the
// program's first top-level window.
#include "pty_pair.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace
{

std::vector<std::string> lines_of(const std::string &cmd)
{
    std::vector<std::string> out;
    if (FILE *p = popen(cmd.c_str(), "r")) {
        char buf[256];
        while (std::fgets(buf, sizeof buf, p)) {
            std::string l = buf;
            if (!l.empty() && l.back() == '\n')
                l.pop_back();
            out.push_back(l);
        }
        pclose(p);
    }
    return out;
}

// Names of the program's visible top-level windows, in stacking order
// (the first mapped first), once `want` of them show or `ms` passed.
std::vector<std::string> windows_of(pid_t pid, size_t want, int ms)
{
    std::vector<std::string> names;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    do {
        names.clear();
        for (const std::string &id :
             lines_of("xdotool search --onlyvisible --pid " + std::to_string(pid) + " 2>/dev/null"))
            for (const std::string &n : lines_of("xdotool getwindowname " + id))
                names.push_back(n);
        if (names.size() >= want)
            break;
        usleep(50 * 1000);
    } while (std::chrono::steady_clock::now() < end);
    return names;
}

TEST(ConsoleProgram, OpensItsConsoleWindowOnlyWhereNobodyReadsStandardOutput)
{
    temp_cwd dir;
    struct row {
        const char *name;
        bool terminal;
        std::vector<std::string> args;
        size_t windows;
    } const rows[] = {
        {"pipe", false, {}, 2},
        {"pipe, --no-console", false, {"--no-console"}, 1},
        {"terminal", true, {}, 1},
        {"terminal, --console", true, {"--console"}, 2},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        pty_pair pty;
        int fds[2];
        ASSERT_TRUE(pty.ok());
        ASSERT_EQ(pipe(fds), 0);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, r.terminal ? pty.slave() : fds[1], STDOUT_FILENO);
        std::vector<std::string> args = {MODCFG_COM_BIN};
        args.insert(args.end(), r.args.begin(), r.args.end());
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        ASSERT_EQ(posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&fa);
        close(fds[1]);
        // The main window first; a console window would be shown right
        // after it, before the main loop: a generous wait for it.
        std::vector<std::string> names = windows_of(pid, 1, 30000);
        if (!names.empty())
            names = windows_of(pid, r.windows == 2 ? 2 : 3, r.windows == 2 ? 30000 : 1500);
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        close(fds[0]);
        ASSERT_EQ(names.size(), r.windows);
        EXPECT_EQ(names[0].find("console"), std::string::npos) << names[0];
        if (r.windows == 2) {
            EXPECT_EQ(names[1], "modcfg_com console");
        }
    }
}

} // namespace
