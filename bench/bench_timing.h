// Timing of one benchmark scenario with the tool's console output silenced,
// and the emulator the scenarios run against.
#ifndef MODCFG_BENCH_TIMING_H
#define MODCFG_BENCH_TIMING_H

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

// The progress and command lines the core prints are not the bench's
// output; they go to /dev/null while a scenario runs.
struct quiet {
    int saved;
    quiet()
    {
        std::fflush(stdout);
        saved = dup(1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
    }
    ~quiet()
    {
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
    }
};

// Wall time of `run`, milliseconds.
inline double time_ms(const std::function<void()> &run)
{
    quiet q;
    const auto t0 = std::chrono::steady_clock::now();
    run();
    const auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::milli>(t1 - t0).count();
}

// Starts the emulator with `args`; its standard output (where it names its
// pty) is read from `*out_fd`. The child's pid, or -1.
inline pid_t spawn_emulator(const std::vector<std::string> &args, int *out_fd)
{
    int out[2];
    if (pipe(out) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        std::vector<std::string> all = {QXB27_SIM_BIN};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    *out_fd = out[0];
    return pid;
}

#endif
