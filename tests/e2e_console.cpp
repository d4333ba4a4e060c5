// The serial window opens its console window only where standard output is
// no terminal, and never with --no-console; the main window stays the
// program's first top-level window.
#include "pty_pair.h"

#include <gtest/gtest.h>

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

// Names of PID's visible top-level windows in stacking order (the first
// mapped first), once WANT show or MS passed.
std::vector<std::string> windows_of(pid_t pid, size_t want, int ms)
{
    std::vector<std::string> names;
    const std::string cmd = "for w in $(xdotool search --onlyvisible --pid " + std::to_string(pid) +
                            " 2>/dev/null); do xdotool getwindowname $w; done";
    for (int waited = 0; names.size() < want && waited <= ms; waited += 100, usleep(100000)) {
        names.clear();
        FILE *p = popen(cmd.c_str(), "r");
        for (char buf[256]; p && std::fgets(buf, sizeof buf, p);)
            names.emplace_back(buf, std::string(buf).find('\n'));
        if (p)
            pclose(p);
    }
    return names;
}

TEST(ConsoleProgram, OpensItsConsoleWindowOnlyWhereNobodyReadsStandardOutput)
{
    struct row {
        bool terminal;
        const char *option;
        size_t windows;
    } const rows[] = {{false, nullptr, 2}, {false, "--no-console", 1}, {true, nullptr, 1},
                      {true, "--console", 2}};
    for (const row &r : rows) {
        SCOPED_TRACE(std::string(r.terminal ? "terminal " : "pipe ") + (r.option ? r.option : ""));
        pty_pair pty;
        int fds[2];
        ASSERT_TRUE(pty.ok() && pipe(fds) == 0);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, r.terminal ? pty.slave() : fds[1], STDOUT_FILENO);
        std::string bin = MODCFG_COM_BIN, option = r.option ? r.option : "";
        char *argv[] = {bin.data(), r.option ? option.data() : nullptr, nullptr};
        pid_t pid = -1;
        ASSERT_EQ(posix_spawn(&pid, argv[0], &fa, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&fa);
        close(fds[1]);
        // A console window is shown right after the main window, before the
        // main loop: a generous wait for one that should not come.
        std::vector<std::string> names = windows_of(pid, 1, 30000);
        if (!names.empty())
            names = windows_of(pid, r.windows == 2 ? 2 : 3, r.windows == 2 ? 30000 : 1500);
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        close(fds[0]);
        ASSERT_EQ(names.size(), r.windows);
        EXPECT_EQ(names.back(), r.windows == 2 ? "modcfg_com console" : names[0]);
        EXPECT_EQ(names[0].find("console"), std::string::npos) << names[0];
    }
}

} // namespace
