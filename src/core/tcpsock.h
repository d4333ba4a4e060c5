// The network build's TCP link: the listening server on port 9999, the
// accepted module socket `tcpsocket`, its raw send and receive, and the
// exchange lock that keeps whole AT exchanges and keep-alives apart.
#ifndef MODCFG_TCPSOCK_H
#define MODCFG_TCPSOCK_H

#include "module.h"
#include "module_port.h"
#include "pccom.h"

#include <glib.h>
#include <netinet/in.h>

// The accepted connection to the module; 0 while none is connected.
// Assigned only through settcpsock.
extern int tcpsocket;
// Guards the assignment of tcpsocket. Created by the network build's
// start-up before the connection thread starts; null in the serial build.
extern GMutex *client_sock_mutex;

constexpr unsigned short TCP_SERVER_PORT = 9999;
constexpr int TCP_SERVER_BACKLOG = 10;
// Receive time-out of the accepted socket, milliseconds. The AT exchange's
// 40 tries of 200 ms rely on a receive that gives up this soon.
constexpr int TCP_RECV_TIMEOUT_MS = 30;
// The keep-alive frame: "AT+W", a line feed and a zero byte.
constexpr char TCP_KEEP_ALIVE[] = {'A', 'T', '+', 'W', '\n', '\0'};
constexpr int TCP_KEEP_ALIVE_LEN = sizeof TCP_KEEP_ALIVE; // 6
// How long a keep-alive waits for its reply, milliseconds, and how long the
// next exchange then still waits for that reply before it sends.
constexpr int TCP_KEEP_ALIVE_REPLY_MS = 200;
constexpr int TCP_KEEP_ALIVE_OWED_MS = 500;

// Starts the platform's socket library. Linux has none to start; on failure
// it would print "WSAStarup failed\n" and end the process with status 1.
void init_net();
// Listening IPv4 socket on `addr` (dotted; null or "" for every local
// address) and `port`, backlog TCP_SERVER_BACKLOG, with SO_REUSEADDR.
// Prints nothing. Returns the socket, or -1 with errno kept and `step`
// (when given) naming what failed: "address", "socket", "bind" or
// "listen".
int tcpsock_listen(const char *addr, unsigned short port, const char **step = nullptr);
// Listening socket on the IPv4 address `addr` (dotted; null or "" for any
// address, as by default), port 9999, backlog 10, with SO_REUSEADDR so
// that a restart is not refused while connections of the last run linger
// in TIME_WAIT (a second listener is still refused). Prints "Bind OK!" and
// "Listening OK!"; on failure prints "socket failed\n", "bind failed\n"
// (also for an address that is not this host's) or "listen failed\n" and
// returns 0.
int tcpsock_server_init(const char *addr = nullptr);
// 1 when `sock` is readable (a connection is waiting), 0 after a time-out
// of 1 s, -1 on error.
int get_select(int sock);
// Stores `sock` in tcpsocket, under client_sock_mutex when it exists.
void settcpsock(int sock);
// Sends all n bytes on tcpsocket (without SIGPIPE when the module has gone):
// n, or -1 as soon as one send returns 0 or less, or when no module is
// connected.
int sendn(const void *vptr, int n);
// One receive of up to n bytes on tcpsocket: the count, 0 when the peer has
// closed, -1 on error, on the receive time-out or when no module is
// connected. Does not loop.
int recvn(void *vptr, int n);
// Closes tcpsocket (it keeps its value; settcpsock(0) clears it).
void tcpsock_close();
// Accepts the next connection on the listening `server`: the new socket;
// 0 when the attempt vanished before it was taken (the peer reset it, or a
// signal came), so waiting goes on; -1 after printing "accept failed\n".
// The peer's address goes into `peer` when it is given.
int tcpsock_accept(int server, struct sockaddr_in *peer = nullptr);
// Sets the receive time-out of the accepted socket `sock`; 0 on failure.
int tcpsock_set_recv_timeout(int sock, int ms);

// The module socket as the AT exchange's byte channel: a receive time-out
// reads as "nothing came" (0); a closed peer or an error as -1. A read that
// got bytes without a line feed goes on taking what follows, each piece
// within TCP_READ_INTERVAL_MS of the last, up to a line feed or `len`
// bytes, so that a reply sent in pieces reads as one. Line ends before the
// reply are dropped but count against `len`. Whatever comes, a read ends
// TCP_READ_TOTAL_CONST_MS + TCP_READ_TOTAL_PER_BYTE_MS x len after it
// began, the serial port's total time-out: an exchange over TCP never takes
// longer than over the serial port, while it holds the exchange lock; one
// that ended so amid a reply's pieces counts as cut (at_link::read_cut).
// Before each frame the bytes waiting unread are dropped.
// All in milliseconds.
constexpr int TCP_READ_INTERVAL_MS = 200;
constexpr int TCP_READ_TOTAL_CONST_MS = PCCOM_READ_TOTAL_CONST_MS;
constexpr int TCP_READ_TOTAL_PER_BYTE_MS = PCCOM_READ_TOTAL_PER_BYTE_MS;
extern const at_link net_link;

// One whole exchange on the module socket, for the lifetime of the object:
// holds the exchange lock, so that the UI thread's exchanges, the
// auto-apply and the keep-alive never interleave on the socket. First it
// reads a keep-alive reply that is still owed (up to TCP_KEEP_ALIVE_OWED_MS)
// and drops whatever else the module sent that nobody read, so that no
// exchange takes another frame's reply for its own.
class tcp_exchange
{
  public:
    // `owed_wait_ms`: how long to wait for a keep-alive reply still owed;
    // with 0 only one already here is read, and one not here stays owed.
    explicit tcp_exchange(int owed_wait_ms = TCP_KEEP_ALIVE_OWED_MS);
    ~tcp_exchange();
    tcp_exchange(const tcp_exchange &) = delete;
    tcp_exchange &operator=(const tcp_exchange &) = delete;
};

// The three module operations over the module socket, each one whole
// exchange under the exchange lock (what the network build binds).
int net_send_cmd_get(const char *cmd, char *ret);
int net_send_cmd_set(const char *cmd);
int net_echo();
// The three as the operations a program binds (module_port.h).
module_ops net_module_ops();

// One keep-alive under the exchange lock: sends the six-byte frame and reads
// the module's reply, waiting up to TCP_KEEP_ALIVE_REPLY_MS (a later reply
// is read by the next exchange before it sends; the next keep-alive does not
// wait for it, so that keep-alives keep their period). Returns -1 when the link is
// lost (the send failed, or the module has closed its side), else 6.
int tcpsock_keep_alive();
// Under the exchange lock, so no exchange can be using the descriptor:
// closes tcpsocket and sets it to 0.
void tcpsock_drop();
// Under the exchange lock: tcpsocket becomes `sock`.
void tcpsock_attach(int sock);

#endif
