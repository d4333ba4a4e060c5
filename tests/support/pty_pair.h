// Pseudo-terminal pairs for tests of the serial layer and the AT exchange:
// the tool opens the slave by its path, the test plays the device on the
// master, directly or through a scripted peer thread.
#ifndef MODCFG_TEST_PTY_PAIR_H
#define MODCFG_TEST_PTY_PAIR_H

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class pty_pair
{
  public:
    // openpty() with the system's default (cooked) settings, so that tests
    // see whether the layer really puts the line into raw mode.
    pty_pair();
    ~pty_pair();
    pty_pair(const pty_pair &) = delete;
    pty_pair &operator=(const pty_pair &) = delete;

    bool ok() const { return master_ >= 0 && slave_ >= 0; }
    int master() const { return master_; }
    // The slave descriptor openpty() gave; kept open so that the master
    // never sees a hang-up while the tool closes and reopens the port.
    int slave() const { return slave_; }
    const std::string &slave_path() const { return path_; }

    // The device disappears: the master is closed.
    void close_master();
    // Writes all bytes to the master; false on failure.
    bool send(const std::string &bytes);
    // Reads from the master until `n` bytes came or `timeout_ms` passed.
    std::string recv(size_t n, int timeout_ms);
    // Everything that arrives until nothing came for `quiet_ms`.
    std::string recv_quiet(int quiet_ms);

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// One step of a scripted device: wait for `expect` (exactly these bytes
// next), pause `delay_ms`, then answer `reply` (nothing when empty).
struct peer_step {
    std::string expect;
    std::string reply;
    int delay_ms = 0;
};

// Plays a device on the master of `pty` in a thread, step by step, and
// records every byte received. Bytes that do not match the next step stop
// the script (the recording then shows what came instead).
class scripted_peer
{
  public:
    scripted_peer(pty_pair &pty, std::vector<peer_step> steps);
    ~scripted_peer();
    std::string received();
    size_t steps_done();
    // Waits until `n` steps are done or `timeout_ms` passed; true when done.
    bool wait_steps(size_t n, int timeout_ms);

  private:
    void run();
    pty_pair &pty_;
    std::vector<peer_step> steps_;
    std::mutex lock_;
    std::string received_;
    size_t done_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Milliseconds elapsed since `start` on the monotonic clock.
long ms_since(std::chrono::steady_clock::time_point start);

#endif
