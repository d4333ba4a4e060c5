// A program of this project run as a child process for tests: its standard
// output and error read through pipes, its exit status awaited.
#ifndef MODCFG_TEST_CHILD_PROGRAM_H
#define MODCFG_TEST_CHILD_PROGRAM_H

#include <string>
#include <sys/types.h>
#include <vector>

class child_program
{
  public:
    // Starts `path` with `args` (the program name is added).
    child_program(const std::string &path, const std::vector<std::string> &args = {});
    // SIGTERM when still running, then reaped.
    ~child_program();
    child_program(const child_program &) = delete;
    child_program &operator=(const child_program &) = delete;

    bool started() const { return pid_ > 0; }
    // Reads standard output until `text` appeared or `timeout_ms` passed.
    bool wait_output(const std::string &text, int timeout_ms);
    // Standard output read so far.
    const std::string &output() const { return out_; }
    // Waits up to `timeout_ms` for the exit, reading both pipes to their
    // end meanwhile: the exit status, or -1 when it still runs or was
    // killed by a signal.
    int wait_exit(int timeout_ms);
    // Standard error read so far (all of it once wait_exit returned).
    const std::string &errors() const { return err_; }
    bool running();

  private:
    // One poll of both pipes for up to `ms`; false when both are at their end.
    bool read_some(int ms);

    pid_t pid_ = -1;
    int out_fd_ = -1, err_fd_ = -1;
    int status_ = -1;
    std::string out_, err_;
};

#endif
