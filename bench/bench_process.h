// The benchmarks' child processes: start a program with its output in files,
// wait for its exit status, read what it wrote.
#ifndef MODCFG_BENCH_PROCESS_H
#define MODCFG_BENCH_PROCESS_H

#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char **environ;

// Starts `args` (the program first) with standard output and error in the
// files named (empty: discarded); its pid, or -1.
inline pid_t spawn(const std::vector<std::string> &args, const std::string &out = "",
                   const std::string &err = "")
{
    std::vector<char *> argv;
    std::vector<std::string> copy = args;
    for (auto &a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.empty() ? "/dev/null" : out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.empty() ? "/dev/null" : err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

// Exit status of `pid`; 128 + the signal when one ended it; -1 for no child.
inline int wait_exit(pid_t pid)
{
    int st = 0;
    if (pid <= 0 || waitpid(pid, &st, 0) != pid)
        return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
}

// The whole file at `path`, "" when it cannot be read.
inline std::string read_text(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

#endif
