// Two network programs on one PC: the second cannot listen on port 9999,
// says so, and keeps its window; the first keeps serving.
#include "tcp_peer.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

using namespace std::chrono;
using std::string;

namespace
{

// The real modcfg_net, its standard output read through a pipe.
class net_program
{
  public:
    net_program()
    {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&fa, fds[0]);
        char *argv[] = {const_cast<char *>(MODCFG_NET_BIN), nullptr};
        if (posix_spawn(&pid_, MODCFG_NET_BIN, &fa, nullptr, argv, environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(fds[1]);
        out_ = fds[0];
    }
    ~net_program()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
    }

    bool started() const { return pid_ > 0; }

    // Reads its output until `text` appeared or `timeout_ms` passed.
    bool wait_output(const string &text, int timeout_ms)
    {
        auto end = steady_clock::now() + milliseconds(timeout_ms);
        while (output_.find(text) == string::npos) {
            auto left = duration_cast<milliseconds>(end - steady_clock::now()).count();
            if (left <= 0)
                return false;
            pollfd p = {out_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0)
                return false;
            char buf[512];
            ssize_t n = read(out_, buf, sizeof buf);
            if (n <= 0)
                return false;
            output_.append(buf, static_cast<size_t>(n));
        }
        return true;
    }

    const string &output() const { return output_; }

    bool running() { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    string output_;
};

} // namespace

TEST(NetSecondInstance, GetsBindFailedKeepsRunningAndTheFirstStillServes)
{
    temp_cwd dir;
    // A working directory: the window prints nothing on where files go.
    mkdir("data", 0755);
    write_file("pic", "");
    net_program first;
    ASSERT_TRUE(first.started());
    ASSERT_TRUE(first.wait_output("Bind OK!\nListening OK!\n", 10000)) << first.output();

    net_program second;
    ASSERT_TRUE(second.started());
    ASSERT_TRUE(second.wait_output("bind failed\n", 10000)) << second.output();
    EXPECT_EQ(second.output(), "bind failed\n");
    // Nothing more is tried, and the window stays: the program does not end
    // for want of a listener.
    EXPECT_FALSE(second.wait_output("Listening OK!", 1000)) << second.output();
    EXPECT_EQ(second.output(), "bind failed\n");
    EXPECT_TRUE(second.running());

    int module = tcp_connect_loopback(9999, 3000);
    ASSERT_GE(module, 0);
    EXPECT_TRUE(first.wait_output("Accept OK!\n", 5000)) << first.output();
    close(module);
}
