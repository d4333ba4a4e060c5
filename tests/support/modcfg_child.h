// modcfg as a child process for tests, its output in files of the test's
// directory, and the lines of what it wrote.
#ifndef MODCFG_TEST_MODCFG_CHILD_H
#define MODCFG_TEST_MODCFG_CHILD_H

#include "console.h"
#include "temp_dir.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

// A command file of five settings, the Wi-Fi key among them, as the tests of
// modcfg apply and provision it.
constexpr const char *command_file = "AT+WMODE=STA\r\n"
                                     "AT+WAP=11N,Line AP,CH6\r\n"
                                     "AT+TCPTO=120\r\n"
                                     "AT+WSSSID=Factory net\r\n"
                                     "AT+WSKEY=WPA2PSK,AES,secret123\r\n"
                                     "E\r\n";

// modcfg as a child process, its output in files of the test's directory.
class modcfg_child
{
  public:
    ~modcfg_child()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    // `env` is added to the environment.
    bool start(const std::vector<std::string> &args, const std::string &tag = "modcfg",
               const std::vector<std::string> &env = {})
    {
        out_ = tag + ".out";
        err_ = tag + ".err";
        std::vector<std::string> all{MODCFG_CLI_BIN};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<std::string> env_text(env);
        for (char **e = environ; *e; e++)
            env_text.push_back(*e);
        std::vector<char *> envp;
        for (auto &e : env_text)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        const int rc = posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&fa);
        return rc == 0;
    }
    // Exit status, or -1 when it did not end within `timeout_ms`.
    int wait(int timeout_ms = 120000)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (pid_ > 0) {
            int st;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
            if (std::chrono::steady_clock::now() > end)
                return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }
    void signal(int sig) { kill(pid_, sig); }
    pid_t pid() const { return pid_; }
    std::string out() const { return read_file(out_); }
    std::string err() const { return read_file(err_); }
    // The port modcfg --listen ...:0 announced, or 0 after `timeout_ms`.
    int listen_port(int timeout_ms = 10000)
    {
        return wait_for(
            [&] {
                const std::string e = err();
                const size_t at = e.find("listening on ");
                const size_t colon = at == std::string::npos ? at : e.find(':', at);
                return colon == std::string::npos ? 0 : std::atoi(e.c_str() + colon + 1);
            },
            timeout_ms);
    }
    template <typename F> static int wait_for(F f, int timeout_ms)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            if (int v = f())
                return v;
            if (std::chrono::steady_clock::now() > end)
                return 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // Polls `f` until it holds; false when it did not within `timeout_ms`.
    template <typename F> static bool poll_until(F f, int timeout_ms = 60000)
    {
        return wait_for([&] { return f() ? 1 : 0; }, timeout_ms) == 1;
    }

  private:
    pid_t pid_ = -1;
    std::string out_, err_;
};

struct ran {
    int status;
    std::string out, err;
};

inline ran modcfg(const std::vector<std::string> &args, int timeout_ms = 120000)
{
    modcfg_child c;
    if (!c.start(args))
        return {-2, "", "spawn failed"};
    const int status = c.wait(timeout_ms);
    return {status, c.out(), c.err()};
}

// The same with the output files named after `tag`, for runs whose output
// a test keeps side by side.
inline ran modcfg(const std::vector<std::string> &args, const std::string &tag,
                  int timeout_ms = 120000)
{
    modcfg_child c;
    if (!c.start(args, tag))
        return {-2, "", "spawn failed"};
    const int status = c.wait(timeout_ms);
    return {status, c.out(), c.err()};
}

// The same with `env` added to the environment.
inline ran modcfg_with_env(const std::vector<std::string> &args,
                           const std::vector<std::string> &env)
{
    modcfg_child c;
    if (!c.start(args, "modcfg", env))
        return {-2, "", "spawn failed"};
    const int status = c.wait();
    return {status, c.out(), c.err()};
}

// Lines of the report, the header first for CSV.
inline std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        std::string line = text.substr(start, nl - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        out.push_back(line);
    }
    return out;
}

#endif
