// The network build's TCP link: listening server, module socket, raw send
// and receive, and the exchange lock shared by exchanges and keep-alives.
#include "tcpsock.h"
#include "module_at.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

int tcpsocket;
GMutex *client_sock_mutex;

namespace
{

// Statically allocated GMutex needs no initialisation, so exchanges are
// serialised even before start-up has run.
GMutex exchange_lock;

// Console lines must reach a pipe or file as they happen, not at exit.
void console(const char *line)
{
    std::fputs(line, stdout);
    std::fflush(stdout);
}

// Linux needs no socket library started. Kept as the one place where a
// platform that does need one would report failure.
int net_library_start()
{
    return 0;
}

// 0 marks "no socket" throughout; a descriptor that came out as 0 (stdin
// was closed) is moved to another number so that it can be told apart;
// the copy keeps close-on-exec, as every socket here is opened with it.
int off_zero(int fd)
{
    if (fd != 0)
        return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    close(fd);
    return moved;
}

} // namespace

void init_net()
{
    if (net_library_start() != 0) {
        console("WSAStarup failed\n");
        std::exit(1);
    }
}

int tcpsock_listen(const char *addr, unsigned short port, const char **step)
{
    const char *unused;
    const char *&failed = step ? *step : unused;
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    if (addr && *addr && inet_pton(AF_INET, addr, &sa.sin_addr) != 1) {
        failed = "address";
        errno = EINVAL;
        return -1;
    }
    int sock = off_zero(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (sock < 0) {
        failed = "socket";
        return -1;
    }
    // Lets a restarted program listen while connections of its last run
    // are in TIME_WAIT; Linux still refuses a second live listener.
    int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(sock, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        failed = "bind";
        int saved = errno;
        close(sock);
        errno = saved;
        return -1;
    }
    if (listen(sock, TCP_SERVER_BACKLOG) != 0) {
        failed = "listen";
        int saved = errno;
        close(sock);
        errno = saved;
        return -1;
    }
    return sock;
}

int tcpsock_server_init(const char *addr)
{
    init_net();
    const char *step = "";
    int sock = tcpsock_listen(addr, TCP_SERVER_PORT, &step);
    if (sock < 0) {
        if (std::strcmp(step, "listen") == 0)
            console("Bind OK!\n");
        console(std::strcmp(step, "socket") == 0   ? "socket failed\n"
                : std::strcmp(step, "listen") == 0 ? "listen failed\n"
                                                   : "bind failed\n");
        return 0;
    }
    console("Bind OK!\n");
    console("Listening OK!\n");
    return sock;
}

int get_select(int sock)
{
    // poll rather than select: select cannot take descriptors past
    // FD_SETSIZE, and a GTK program may hold many.
    if (sock < 0)
        return -1;
    pollfd p = {sock, POLLIN, 0};
    int r = poll(&p, 1, 1000);
    if (r < 0 || (r > 0 && (p.revents & (POLLERR | POLLNVAL))))
        return -1;
    return r > 0 ? 1 : 0;
}

void settcpsock(int sock)
{
    if (client_sock_mutex)
        g_mutex_lock(client_sock_mutex);
    tcpsocket = sock;
    if (client_sock_mutex)
        g_mutex_unlock(client_sock_mutex);
}

int sendn(const void *vptr, int n)
{
    if (tcpsocket <= 0)
        return -1;
    const char *p = static_cast<const char *>(vptr);
    int left = n;
    while (left > 0) {
        // MSG_NOSIGNAL: a module that has gone away must not end the
        // program with SIGPIPE; the failed send reports it instead.
        ssize_t r = send(tcpsocket, p, left, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return -1;
        p += r;
        left -= static_cast<int>(r);
    }
    return n;
}

int recvn(void *vptr, int n)
{
    if (tcpsocket <= 0)
        return -1;
    ssize_t r = recv(tcpsocket, vptr, n, 0);
    return r < 0 ? -1 : static_cast<int>(r);
}

int tcpsock_accept(int server, sockaddr_in *peer)
{
    sockaddr_in from;
    std::memset(&from, 0, sizeof from);
    socklen_t len = sizeof from;
    int sock = accept4(server, reinterpret_cast<sockaddr *>(&from), &len, SOCK_CLOEXEC);
    if (peer)
        *peer = from;
    if (sock < 0) {
        // Linux reports errors of a connection that died in the queue
        // through accept; they say nothing about the listening socket.
        if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO || errno == ENETDOWN ||
            errno == ENOPROTOOPT || errno == EHOSTDOWN || errno == ENONET ||
            errno == EHOSTUNREACH || errno == EOPNOTSUPP || errno == ENETUNREACH)
            return 0;
        console("accept failed\n");
        return -1;
    }
    sock = off_zero(sock);
    return sock < 0 ? 0 : sock;
}

void tcpsock_close()
{
    if (tcpsocket > 0)
        close(tcpsocket);
}

int tcpsock_set_recv_timeout(int sock, int ms)
{
    timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

// ---------------------------------------------------------------------------

namespace
{

// A keep-alive was sent whose reply has not been read yet, and the module
// has closed its side. Only touched under the exchange lock.
bool keep_alive_reply_owed;
bool peer_closed;
// The last net_link_read ended by its total time-out amid a reply's pieces.
bool read_cut;

int net_link_write(void *, const char *buf, int len)
{
    // The first send after the module's close still succeeds, and the
    // exchange would then wait out all its tries for a reply that cannot
    // come.
    if (peer_closed)
        return -1;
    return sendn(buf, len);
}

int net_link_read(void *, char *buf, int len)
{
    if (tcpsocket <= 0)
        return -1;
    read_cut = false;
    if (len <= 0)
        return 0;
    using clock = std::chrono::steady_clock;
    const auto deadline =
        clock::now() +
        std::chrono::milliseconds(TCP_READ_TOTAL_CONST_MS + TCP_READ_TOTAL_PER_BYTE_MS * len);
    ssize_t r = recv(tcpsocket, buf, len, 0);
    if (r == 0)
        peer_closed = true;
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return 0; // the 30 ms time-out passed with nothing received
    if (r <= 0)
        return -1; // the module closed its side, or the socket failed
    // TCP keeps no reply boundaries. A module that writes its reply in
    // pieces would have each piece taken for a whole reply, none of them
    // beginning "+ok": take pieces up to a line end, while room is left and
    // the next comes within TCP_READ_INTERVAL_MS (as a serial read waits for
    // the next byte). Line ends that lead are the rest of an earlier reply
    // read up to its first line end, and are dropped; they count against
    // `len` as the bytes of a serial read do, so a module sending nothing
    // but line ends cannot keep the read going. Whatever the module sends,
    // the read ends by its deadline. A close or an error shows at the next
    // read.
    int taken = 0; // off the socket, dropped line ends included
    int got = 0;   // kept in buf
    for (int fresh = static_cast<int>(r);;) {
        // The `fresh` bytes just received are at buf + got.
        taken += fresh;
        if (got == 0) {
            int lead = 0;
            while (lead < fresh && (buf[lead] == '\r' || buf[lead] == '\n'))
                lead++;
            std::memmove(buf, buf + lead, static_cast<size_t>(fresh - lead));
            fresh -= lead;
        }
        got += fresh;
        if (taken == len || (got > 0 && buf[got - 1] == '\n'))
            return got;
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count();
        // Ended by the deadline rather than by a pause in the pieces: the
        // reply may go on, and what was read is only its front.
        read_cut = got > 0;
        if (left <= 0)
            return got;
        pollfd p = {tcpsocket, POLLIN, 0};
        read_cut = got > 0 && left < TCP_READ_INTERVAL_MS;
        if (poll(&p, 1, static_cast<int>(std::min<long long>(left, TCP_READ_INTERVAL_MS))) <= 0)
            return got;
        read_cut = false;
        ssize_t more = recv(tcpsocket, buf + got, len - taken, MSG_DONTWAIT);
        if (more <= 0)
            return got;
        fresh = static_cast<int>(more);
    }
}

// Drops the bytes waiting on the module socket without blocking: those
// queued when it starts, and one read more, which also tells a closed
// peer. A module that never stops sending must not hold the exchange (and
// its lock) for as long as it sends.
void drain_pending()
{
    if (tcpsocket <= 0)
        return;
    int queued = 0;
    if (ioctl(tcpsocket, FIONREAD, &queued) != 0)
        queued = 0;
    char buf[256];
    ssize_t r;
    while ((r = recv(tcpsocket, buf, sizeof buf, MSG_DONTWAIT)) > 0 && (queued -= r) > 0) {
    }
    if (r > 0)
        r = recv(tcpsocket, buf, sizeof buf, MSG_DONTWAIT);
    if (r == 0)
        peer_closed = true;
}

// Reads and drops the module's bytes until a reply ends (an empty line,
// "\r\n\r\n") or `ms` milliseconds passed (with 0, only what is already
// here is looked at): 1 when a reply ended, 0 on the
// time-out, -1 when the module has closed its side or the socket failed.
int skip_reply(int ms)
{
    if (tcpsocket <= 0)
        return -1;
    using clock = std::chrono::steady_clock;
    auto deadline = clock::now() + std::chrono::milliseconds(ms);
    char tail[4] = {0, 0, 0, 0};
    // With 0 ms, one look at what is already here.
    for (bool first = true;; first = false) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        if (left.count() <= 0 && !first)
            return 0;
        pollfd p = {tcpsocket, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(std::max<long long>(0, left.count())));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return -1;
        if (ready == 0)
            return 0;
        char buf[64];
        ssize_t r = recv(tcpsocket, buf, sizeof buf, MSG_DONTWAIT);
        if (r == 0) {
            peer_closed = true;
            return -1;
        }
        if (r < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                continue;
            return -1;
        }
        for (ssize_t i = 0; i < r; ++i) {
            std::memmove(tail, tail + 1, 3);
            tail[3] = buf[i];
        }
        if (std::memcmp(tail, "\r\n\r\n", 4) == 0)
            return 1;
    }
}

bool net_link_read_cut(void *)
{
    return read_cut;
}

} // namespace

// TCP reads return on the first bytes already; fast exchange changes only
// the pauses between them, and keeps trying as long as the default's 40
// tries of an empty read and a pause last.
const at_link net_link = {net_link_write,    net_link_read,
                          nullptr,           [](void *) { drain_pending(); },
                          net_link_read_cut, TCP_RECV_TIMEOUT_MS};

// The module answers the keep-alive too, and the exchange algorithm would
// take that reply for its own: a query would read "+ok" as an empty value.
// The module answers frames in order, so a keep-alive reply still owed is
// the next thing on the wire: it is read before this exchange sends
// anything (bounded, for a module that never answers it). Whatever else is
// pending then is a leftover no exchange is waiting for, and is dropped.
tcp_exchange::tcp_exchange(int owed_wait_ms)
{
    g_mutex_lock(&exchange_lock);
    if (keep_alive_reply_owed && skip_reply(owed_wait_ms) != 0)
        keep_alive_reply_owed = false;
    // An owed reply not waited for stays owed: the next keep-alive's reply
    // then cannot be told from it.
    if (owed_wait_ms > 0)
        keep_alive_reply_owed = false;
    drain_pending();
}

tcp_exchange::~tcp_exchange()
{
    g_mutex_unlock(&exchange_lock);
}

int tcpsock_keep_alive()
{
    // Keep-alives go out on their period whatever the module answers: a
    // reply still owed to the last one is not waited for here.
    tcp_exchange ex(0);
    const bool owed_before = keep_alive_reply_owed;
    if (peer_closed || sendn(TCP_KEEP_ALIVE, TCP_KEEP_ALIVE_LEN) != TCP_KEEP_ALIVE_LEN)
        return -1;
    // Reading the reply here, while the lock keeps exchanges out, is the
    // usual case; a slower reply is owed to the next exchange.
    int r = skip_reply(TCP_KEEP_ALIVE_REPLY_MS);
    if (r < 0)
        return -1; // the module has closed its side: the link is lost
    // With one reply owed before, the reply read may be that one.
    keep_alive_reply_owed = r == 0 || owed_before;
    return TCP_KEEP_ALIVE_LEN;
}

void tcpsock_drop()
{
    tcp_exchange ex;
    tcpsock_close();
    settcpsock(0);
    keep_alive_reply_owed = false;
    peer_closed = false;
}

void tcpsock_attach(int sock)
{
    tcp_exchange ex;
    settcpsock(sock);
    keep_alive_reply_owed = false;
    peer_closed = false;
}

int net_send_cmd_get(const char *cmd, char *ret)
{
    tcp_exchange ex;
    return at_send_cmd_get(net_link, cmd, ret);
}

int net_send_cmd_set(const char *cmd)
{
    tcp_exchange ex;
    return at_send_cmd_set(net_link, cmd);
}

int net_echo()
{
    tcp_exchange ex;
    return at_echo(net_link);
}

module_ops net_module_ops()
{
    module_ops ops;
    ops.send_cmd_get = [](void *, const char *cmd, char *ret) {
        return net_send_cmd_get(cmd, ret);
    };
    ops.send_cmd_set = [](void *, const char *cmd) { return net_send_cmd_set(cmd); };
    ops.echo = [](void *) { return net_echo(); };
    return ops;
}
