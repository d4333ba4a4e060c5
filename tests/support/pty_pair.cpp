// Pseudo-terminal pairs and a scripted device for serial tests.
#include "pty_pair.h"

#include <cerrno>
#include <climits>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

pty_pair::pty_pair()
{
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
        master_ = slave_ = -1;
        return;
    }
    char name[PATH_MAX];
    if (ttyname_r(slave_, name, sizeof name) == 0)
        path_ = name;
}

pty_pair::~pty_pair()
{
    close_master();
    if (slave_ >= 0)
        close(slave_);
}

void pty_pair::close_master()
{
    if (master_ >= 0)
        close(master_);
    master_ = -1;
}

bool pty_pair::send(const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string pty_pair::recv(size_t n, int timeout_ms)
{
    std::string got;
    const auto start = std::chrono::steady_clock::now();
    while (got.size() < n) {
        const long left = timeout_ms - ms_since(start);
        if (left <= 0)
            break;
        pollfd p = {master_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        char buf[512];
        const size_t want = std::min(sizeof buf, n - got.size());
        const ssize_t r = read(master_, buf, want);
        if (r <= 0)
            break;
        got.append(buf, static_cast<size_t>(r));
    }
    return got;
}

std::string pty_pair::recv_quiet(int quiet_ms)
{
    std::string got;
    for (;;) {
        pollfd p = {master_, POLLIN, 0};
        if (poll(&p, 1, quiet_ms) <= 0)
            return got;
        char buf[512];
        const ssize_t r = read(master_, buf, sizeof buf);
        if (r <= 0)
            return got;
        got.append(buf, static_cast<size_t>(r));
    }
}

scripted_peer::scripted_peer(pty_pair &pty, std::vector<peer_step> steps)
    : pty_(pty), steps_(std::move(steps)), thread_([this] { run(); })
{
}

scripted_peer::~scripted_peer()
{
    stop_ = true;
    thread_.join();
}

std::string scripted_peer::received()
{
    std::lock_guard<std::mutex> g(lock_);
    return received_;
}

size_t scripted_peer::steps_done()
{
    std::lock_guard<std::mutex> g(lock_);
    return done_;
}

bool scripted_peer::wait_steps(size_t n, int timeout_ms)
{
    const auto start = std::chrono::steady_clock::now();
    while (steps_done() < n) {
        if (ms_since(start) > timeout_ms)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void scripted_peer::run()
{
    std::string pending;
    size_t step = 0;
    while (!stop_) {
        pollfd p = {pty_.master(), POLLIN, 0};
        if (poll(&p, 1, 10) <= 0)
            continue;
        if (!(p.revents & POLLIN))
            break; // the master was closed under us
        char buf[512];
        const ssize_t r = read(pty_.master(), buf, sizeof buf);
        if (r <= 0)
            break;
        {
            std::lock_guard<std::mutex> g(lock_);
            received_.append(buf, static_cast<size_t>(r));
        }
        pending.append(buf, static_cast<size_t>(r));
        while (step < steps_.size() &&
               pending.compare(0, steps_[step].expect.size(), steps_[step].expect) == 0) {
            pending.erase(0, steps_[step].expect.size());
            if (steps_[step].delay_ms > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(steps_[step].delay_ms));
            if (!steps_[step].reply.empty())
                pty_.send(steps_[step].reply);
            step++;
            std::lock_guard<std::mutex> g(lock_);
            done_ = step;
        }
    }
}

long ms_since(std::chrono::steady_clock::time_point start)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
}
