// Loopback TCP helpers for tests of the network build.
#include "tcp_peer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace
{

using clock_type = std::chrono::steady_clock;

int ms_left(clock_type::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

sockaddr_in loopback(unsigned short port)
{
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

} // namespace

int tcp_connect_from(const char *from, const char *to, unsigned short port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in local{}, remote{};
    local.sin_family = remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    if (inet_pton(AF_INET, from, &local.sin_addr) != 1 ||
        inet_pton(AF_INET, to, &remote.sin_addr) != 1) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        connect(fd, reinterpret_cast<sockaddr *>(&remote), sizeof remote) != 0) {
        const int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

int tcp_connect_loopback(unsigned short port, int timeout_ms)
{
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            return -1;
        sockaddr_in a = loopback(port);
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
            // A module's small replies go out at once, as the emulator's do;
            // Nagle would hold one back until the last was acknowledged.
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        close(fd);
        if (ms_left(deadline) == 0)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

tcp_pair::tcp_pair()
{
    int server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (server < 0 || bind(server, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        listen(server, 1) != 0 ||
        getsockname(server, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        if (server >= 0)
            close(server);
        return;
    }
    module = tcp_connect_loopback(ntohs(a.sin_port), 1000);
    if (module >= 0)
        tool = accept(server, nullptr, nullptr);
    close(server);
}

tcp_pair::~tcp_pair()
{
    if (tool >= 0)
        close(tool);
    close_module();
}

void tcp_pair::close_module()
{
    if (module >= 0)
        close(module);
    module = -1;
}

bool tcp_send_all(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t r = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (r <= 0)
            return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

std::string tcp_recv_n(int fd, size_t n, int timeout_ms)
{
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    std::string got;
    while (got.size() < n) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, ms_left(deadline)) <= 0)
            break;
        char buf[4096];
        size_t want = std::min(sizeof buf, n - got.size());
        ssize_t r = recv(fd, buf, want, 0);
        if (r <= 0)
            break;
        got.append(buf, static_cast<size_t>(r));
    }
    return got;
}

std::string tcp_recv_quiet(int fd, int quiet_ms)
{
    std::string got;
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, quiet_ms) <= 0)
            return got;
        char buf[4096];
        ssize_t r = recv(fd, buf, sizeof buf, 0);
        if (r <= 0)
            return got;
        got.append(buf, static_cast<size_t>(r));
    }
}

bool tcp_wait_closed(int fd, int timeout_ms)
{
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, ms_left(deadline)) <= 0)
            return false;
        char buf[4096];
        ssize_t r = recv(fd, buf, sizeof buf, 0);
        if (r == 0 || (r < 0 && errno != EINTR && errno != EAGAIN))
            return true;
    }
}

bool tcp_wait_readable(int fd, size_t n, int timeout_ms)
{
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int avail = 0;
        if (ioctl(fd, FIONREAD, &avail) == 0 && static_cast<size_t>(avail) >= n)
            return true;
        if (ms_left(deadline) == 0)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
