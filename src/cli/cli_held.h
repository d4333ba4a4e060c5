// Connections of modules done in this run, kept open: closed, a module
// connects again at once (as it does after any lost link) and would be
// asked its MID and let go over and over.
#ifndef MODCFG_CLI_HELD_H
#define MODCFG_CLI_HELD_H

#include <cstddef>
#include <poll.h>
#include <vector>

// Connections held at most; the oldest is closed for a new one.
constexpr size_t CLI_MAX_HELD_CONNECTIONS = 256;

class cli_held_connections
{
  public:
    ~cli_held_connections() { close_all(); }
    void hold(int sock);
    void close_all();
    const std::vector<int> &fds() const { return held_; }
    // Adds a poll entry for each; `first` tells where they begin.
    void poll_on(std::vector<pollfd> &fds, size_t *first) const;
    // What a held module sends (its serial side's data, in transparent
    // mode) is dropped; a held connection the module closed is closed here
    // too. `fds` as poll returned them.
    void read(const std::vector<pollfd> &fds, size_t first);

  private:
    std::vector<int> held_; // oldest first
};

#endif
