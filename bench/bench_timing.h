// Timing of one benchmark scenario with the tool's console output silenced.
#ifndef MODCFG_BENCH_TIMING_H
#define MODCFG_BENCH_TIMING_H

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <unistd.h>

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

#endif
