// Loopback TCP helpers for tests of the network build: a module played by
// the test as a raw client, and connected socket pairs.
#ifndef MODCFG_TEST_TCP_PEER_H
#define MODCFG_TEST_TCP_PEER_H

#include <string>

// Connects to 127.0.0.1:port, retrying until `timeout_ms` passed; the
// socket, or -1.
int tcp_connect_loopback(unsigned short port, int timeout_ms);

// One attempt to connect from the local address `from` (any port) to
// `to`:`port`, both dotted IPv4 (127.0.0.0/8 are all this host's): the
// socket, or -1 with errno kept.
int tcp_connect_from(const char *from, const char *to, unsigned short port);

// A connected loopback pair on an ephemeral port: `tool` is the accepted
// side (what tcpsocket would hold), `module` the connecting side.
struct tcp_pair {
    int tool = -1;
    int module = -1;
    tcp_pair();
    ~tcp_pair();
    tcp_pair(const tcp_pair &) = delete;
    tcp_pair &operator=(const tcp_pair &) = delete;
    bool ok() const { return tool > 0 && module > 0; }
    void close_module();
};

// Writes all bytes; false on failure.
bool tcp_send_all(int fd, const std::string &bytes);
// Reads until `n` bytes came, the peer closed, or `timeout_ms` passed.
std::string tcp_recv_n(int fd, size_t n, int timeout_ms);
// Everything that arrives until nothing came for `quiet_ms`.
std::string tcp_recv_quiet(int fd, int quiet_ms);
// True when at least `n` bytes wait unread on `fd` within `timeout_ms`.
bool tcp_wait_readable(int fd, size_t n, int timeout_ms);
// True when the peer has closed (a read gives end of file) within
// `timeout_ms`; bytes before the end are discarded.
bool tcp_wait_closed(int fd, int timeout_ms);

#endif
