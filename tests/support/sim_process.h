// Runs the module emulator (qxb27-sim, path in QXB27_SIM_BIN) as a child
// process for tests, and reads its state file.
#ifndef MODCFG_TEST_SIM_PROCESS_H
#define MODCFG_TEST_SIM_PROCESS_H

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

class sim_process
{
  public:
    sim_process() = default;
    ~sim_process() { stop(); }
    sim_process(const sim_process &) = delete;
    sim_process &operator=(const sim_process &) = delete;

    // Starts the emulator with "--pty" and ARGS, and waits up to TIMEOUT_MS
    // milliseconds for its "pty <path>" line. True with pty_path() set;
    // false (and the child stopped) when it did not come.
    bool start_pty(const std::vector<std::string> &args, int timeout_ms = 5000);
    // Starts the emulator with ARGS only (e.g. "--tcp", "127.0.0.1:40000").
    bool start(const std::vector<std::string> &args);

    const std::string &pty_path() const { return pty_path_; }
    pid_t pid() const { return pid_; }
    // True while the child has not exited.
    bool running();
    // Waits up to TIMEOUT_MS milliseconds for the child to exit by itself;
    // its exit status, or -1 when it still runs (or was never started).
    int wait_exit(int timeout_ms);
    // SIGTERM, then SIGKILL if it has not exited within TIMEOUT_MS
    // milliseconds; returns the exit status (-1 when killed or not started).
    int stop(int timeout_ms = 5000);

  private:
    bool spawn(const std::vector<std::string> &args, bool capture_stdout);

    pid_t pid_ = -1;
    int out_fd_ = -1; // read end of the child's stdout (pty mode)
    int status_ = -1;
    std::string pty_path_;
};

// The emulator's state file as NAME -> value; empty when it cannot be read.
std::map<std::string, std::string> sim_read_state(const std::string &path);
// Polls the state file until NAME holds VALUE; false after TIMEOUT_MS.
bool sim_wait_state(const std::string &path, const std::string &name, const std::string &value,
                    int timeout_ms = 3000);

#endif
