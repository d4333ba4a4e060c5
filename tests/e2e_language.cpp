// The window program picks its language as gettext reads the environment
// (LANGUAGE, LC_ALL, LC_MESSAGES, LANG): English where English or a
// language without a catalogue is asked for, the Chinese source texts in
// the default, C, POSIX and Chinese locales; its console lines are the same
// in every language.
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace
{

const std::string chinese_title = "QX-B27设置工具 V2.2";
const std::string english_title = "QX-B27 Configuration Tool V2.2";

std::string run(const std::string &cmd)
{
    std::string out;
    if (FILE *p = popen(cmd.c_str(), "r")) {
        char buf[256];
        while (std::fgets(buf, sizeof buf, p))
            out += buf;
        pclose(p);
    }
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

struct shown {
    std::string title, console;
};

// Starts the serial window with the environment cleared of every locale
// variable and given `vars`, waits (up to 30 s) for its window, and returns
// the window's title and what it printed until then. A busy X server now
// and then refuses a connection; a program that ends without a window is
// started again (up to five times).
shown start_with(const std::vector<std::string> &vars)
{
    std::vector<std::string> env;
    for (char **e = environ; *e; e++) {
        const std::string v = *e;
        if (v.rfind("LANG", 0) != 0 && v.rfind("LC_", 0) != 0)
            env.push_back(v);
    }
    env.insert(env.end(), vars.begin(), vars.end());
    std::vector<char *> envp;
    for (std::string &v : env)
        envp.push_back(v.data());
    envp.push_back(nullptr);

    shown result;
    for (int attempt = 0; attempt < 5 && result.title.empty(); attempt++) {
        result.console.clear();
        int fds[2];
        if (pipe(fds) != 0)
            return {};
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&fa, fds[0]);
        std::string bin = MODCFG_COM_BIN, fast = "--fast";
        char *argv[] = {bin.data(), fast.data(), nullptr};
        pid_t pid;
        const int rc = posix_spawn(&pid, bin.c_str(), &fa, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&fa);
        close(fds[1]);
        if (rc != 0) {
            close(fds[0]);
            return {};
        }
        bool exited = false;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!exited && std::chrono::steady_clock::now() < end) {
            const std::string wid =
                run("xdotool search --onlyvisible --pid " + std::to_string(pid) + " 2>/dev/null");
            if (!wid.empty()) {
                result.title = run("xdotool getwindowname " + wid.substr(0, wid.find('\n')));
                break;
            }
            exited = waitpid(pid, nullptr, WNOHANG) == pid;
            pollfd p = {fds[0], POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                char buf[512];
                const ssize_t n = read(fds[0], buf, sizeof buf);
                if (n > 0)
                    result.console.append(buf, static_cast<size_t>(n));
            }
        }
        if (!exited) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        char buf[512];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0)
            result.console.append(buf, static_cast<size_t>(n));
        close(fds[0]);
    }
    return result;
}

TEST(Language, TheEnvironmentChoosesAsGettextReadsIt)
{
    // The English and Chinese locales, made here so that the test does not
    // depend on which locales the machine has generated.
    temp_cwd dir;
    const std::string locales = dir.path() + "/locales";
    ASSERT_EQ(std::system(("mkdir " + locales).c_str()), 0);
    for (const char *name : {"en_US", "zh_CN", "de_DE"}) {
        const std::string cmd = std::string("localedef -i ") + name + " -f UTF-8 " +
                                locales + "/" + name + ".UTF-8 2>&1";
        ASSERT_EQ(std::system((cmd + " >/dev/null").c_str()), 0) << cmd;
    }
    const std::string locpath = "LOCPATH=" + locales;

    struct row {
        std::vector<std::string> vars;
        const std::string &title;
    };
    const row rows[] = {
        {{}, chinese_title},
        {{"LANG=C", "LANGUAGE=en"}, chinese_title}, // gettext ignores LANGUAGE in C
        {{"LC_ALL=POSIX", "LANGUAGE=en"}, chinese_title},
        {{"LANG=zh_CN.UTF-8"}, chinese_title},
        {{"LANG=zh_CN.UTF-8", "LANGUAGE=zh_TW:en"}, chinese_title},
        {{"LANG=en_US.UTF-8"}, english_title},
        {{"LANG=zh_CN.UTF-8", "LC_MESSAGES=en_US.UTF-8"}, english_title},
        {{"LANG=zh_CN.UTF-8", "LC_ALL=en_US.UTF-8"}, english_title},
        {{"LANG=en_US.UTF-8", "LC_ALL=zh_CN.UTF-8"}, chinese_title},
        {{"LANG=zh_CN.UTF-8", "LANGUAGE=en"}, english_title},
        {{"LANG=C.UTF-8", "LANGUAGE=en_GB:en"}, english_title},
        // No catalogue: English, the locale made or not (fr_FR is not).
        {{"LANG=de_DE.UTF-8"}, english_title},
        {{"LANG=fr_FR.UTF-8", "LANGUAGE=fr"}, english_title},
        {{"LC_ALL=C", "LANG=de_DE.UTF-8"}, chinese_title},
    };
    std::string first_console;
    bool have_console = false;
    for (const row &r : rows) {
        std::vector<std::string> vars = r.vars;
        vars.push_back(locpath);
        std::string name;
        for (const std::string &v : r.vars)
            name += v + " ";
        const shown s = start_with(vars);
        EXPECT_EQ(s.title, r.title) << name;
        // The console speaks English whatever the window does.
        if (!have_console) {
            first_console = s.console;
            have_console = true;
            EXPECT_NE(first_console.find("Fast exchange on"), std::string::npos);
        }
        EXPECT_EQ(s.console, first_console) << name;
    }
}

} // namespace
