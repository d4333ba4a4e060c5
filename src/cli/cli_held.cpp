// Held connections of modules done in this run.
#include "cli_held.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

void cli_held_connections::hold(int sock)
{
    if (held_.size() >= CLI_MAX_HELD_CONNECTIONS) {
        close(held_.front());
        held_.erase(held_.begin());
    }
    held_.push_back(sock);
}

void cli_held_connections::close_all()
{
    for (const int h : held_)
        close(h);
    held_.clear();
}

void cli_held_connections::poll_on(std::vector<pollfd> &fds, size_t *first) const
{
    *first = fds.size();
    for (const int h : held_)
        fds.push_back({h, POLLIN | POLLRDHUP, 0});
}

void cli_held_connections::read(const std::vector<pollfd> &fds, size_t first)
{
    std::vector<int> gone;
    for (size_t i = first; i < first + held_.size() && i < fds.size(); i++) {
        if (!fds[i].revents)
            continue;
        char buf[4096];
        const ssize_t n = recv(fds[i].fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            gone.push_back(fds[i].fd);
    }
    for (const int fd : gone) {
        close(fd);
        for (auto it = held_.begin(); it != held_.end(); ++it)
            if (*it == fd) {
                held_.erase(it);
                break;
            }
    }
}
