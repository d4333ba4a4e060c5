// The TCP layer of the network build: the listening server, raw send and
// receive on the module socket, the keep-alive, and exchanges that neither
// interleave with a keep-alive nor take its reply for their own.
#include "module.h"
#include "tcp_peer.h"
#include "tcpsock.h"
#include "console.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono;
using std::string;

namespace
{

long ms_since(steady_clock::time_point t0)
{
    return static_cast<long>(duration_cast<milliseconds>(steady_clock::now() - t0).count());
}

const string keep_alive(TCP_KEEP_ALIVE, TCP_KEEP_ALIVE_LEN);

// The tool's side of a loopback pair as the module socket, with the
// receive time-out the connection thread sets.
struct module_socket : tcp_pair {
    module_socket()
    {
        if (ok()) {
            EXPECT_TRUE(tcpsock_set_recv_timeout(tool, TCP_RECV_TIMEOUT_MS));
            tcpsock_attach(tool);
        }
    }
    ~module_socket() { settcpsock(0); }
};

} // namespace

// ---------------------------------------------------------------------------
// Server

TEST(TcpServer, ListensOnAnyAddressAtPort9999AndASecondListenerGetsBindFailed)
{
    stdout_capture console;
    int first = tcpsock_server_init();
    int second = tcpsock_server_init();
    string out = console.take();

    ASSERT_GT(first, 0);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(out, "Bind OK!\nListening OK!\nbind failed\n");

    sockaddr_in a;
    socklen_t len = sizeof a;
    ASSERT_EQ(getsockname(first, reinterpret_cast<sockaddr *>(&a), &len), 0);
    EXPECT_EQ(a.sin_family, AF_INET);
    EXPECT_EQ(ntohs(a.sin_port), 9999);
    EXPECT_EQ(a.sin_addr.s_addr, htonl(INADDR_ANY));
    close(first);
}

// The operator is told to start the program again; connections of the last
// run linger in TIME_WAIT on port 9999 and must not make that start fail.
TEST(TcpServer, StartsAgainWhileTheLastRunsConnectionIsInTimeWait)
{
    stdout_capture console;
    int server = tcpsock_server_init();
    ASSERT_GT(server, 0);
    int client = tcp_connect_loopback(TCP_SERVER_PORT, 1000);
    ASSERT_GE(client, 0);
    int accepted = tcpsock_accept(server);
    ASSERT_GT(accepted, 0);
    close(accepted); // the server side closes first: TIME_WAIT on port 9999
    EXPECT_TRUE(tcp_wait_closed(client, 2000));
    close(client);
    close(server);

    int again = tcpsock_server_init();
    string out = console.take();
    EXPECT_GT(again, 0) << out;
    EXPECT_EQ(out, "Bind OK!\nListening OK!\nBind OK!\nListening OK!\n");
    if (again > 0)
        close(again);
}

TEST(TcpServer, GetSelectWaitsASecondAndSeesAWaitingConnection)
{
    stdout_capture console;
    int server = tcpsock_server_init();
    console.take();
    ASSERT_GT(server, 0);

    auto t0 = steady_clock::now();
    EXPECT_EQ(get_select(server), 0);
    EXPECT_GE(ms_since(t0), 900);
    EXPECT_LE(ms_since(t0), 2000);

    int client = tcp_connect_loopback(TCP_SERVER_PORT, 1000);
    ASSERT_GE(client, 0);
    t0 = steady_clock::now();
    EXPECT_EQ(get_select(server), 1);
    EXPECT_LT(ms_since(t0), 500);
    int accepted = tcpsock_accept(server);
    EXPECT_GT(accepted, 0);

    int gone = socket(AF_INET, SOCK_STREAM, 0);
    close(gone);
    EXPECT_EQ(get_select(gone), -1);
    EXPECT_EQ(get_select(-1), -1);
    close(accepted);
    close(client);
    close(server);
}

// ---------------------------------------------------------------------------
// Raw send and receive

TEST(TcpSocket, SendnSendsEveryByteAndFailsWithoutAModule)
{
    char byte = 'x';
    ASSERT_EQ(tcpsocket, 0);
    EXPECT_EQ(sendn(&byte, 1), -1);
    EXPECT_EQ(recvn(&byte, 1), -1);

    module_socket s;
    ASSERT_TRUE(s.ok());
    // More than the socket buffers hold, so sendn has to send repeatedly
    // while the module reads.
    string big(4 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 + i / 251);
    string got;
    std::thread reader([&] { got = tcp_recv_n(s.module, big.size(), 10000); });
    EXPECT_EQ(sendn(big.data(), static_cast<int>(big.size())), static_cast<int>(big.size()));
    reader.join();
    EXPECT_TRUE(got == big) << "received " << got.size() << " of " << big.size() << " bytes";
}

TEST(TcpSocket, RecvnReturnsWhatCameGivesUpAfterTheTimeOutAndSeesTheClose)
{
    module_socket s;
    ASSERT_TRUE(s.ok());
    char buf[100];

    ASSERT_TRUE(tcp_send_all(s.module, "+ok=AP\r\n\r\n"));
    std::this_thread::sleep_for(milliseconds(50)); // let both segments land
    EXPECT_EQ(recvn(buf, 4), 4);                   // one receive, no looping past n
    EXPECT_EQ(string(buf, 4), "+ok=");
    EXPECT_EQ(recvn(buf, sizeof buf), 6);

    auto t0 = steady_clock::now();
    EXPECT_EQ(recvn(buf, sizeof buf), -1);
    long waited = ms_since(t0);
    EXPECT_GE(waited, 20);
    EXPECT_LE(waited, 500);

    s.close_module();
    EXPECT_EQ(recvn(buf, sizeof buf), 0);
}

// Without MSG_NOSIGNAL the first send after the reset raises SIGPIPE and
// ends this test program.
TEST(TcpSocket, SendToAModuleThatHasGoneFailsWithoutEndingTheProgram)
{
    module_socket s;
    ASSERT_TRUE(s.ok());
    s.close_module();
    int result = 0;
    auto t0 = steady_clock::now();
    while (ms_since(t0) < 2000 && (result = sendn("AT+W\n", 5)) != -1)
        std::this_thread::sleep_for(milliseconds(10));
    EXPECT_EQ(result, -1);
}

// ---------------------------------------------------------------------------
// Keep-alive

TEST(TcpKeepAlive, IsSixBytesEndingInAZeroByteWhateverTheModuleAnswers)
{
    module_socket s;
    ASSERT_TRUE(s.ok());
    struct row {
        const char *what;
        string reply;
    } rows[] = {
        {"answered", "+ERR=-1\r\n\r\n"},
        {"acknowledged", "+ok\r\n\r\n"},
        {"silent", ""},
    };
    for (const row &r : rows) {
        std::thread module([&] {
            string got = tcp_recv_n(s.module, keep_alive.size(), 2000);
            EXPECT_EQ(got, keep_alive) << r.what;
            if (!r.reply.empty())
                tcp_send_all(s.module, r.reply);
        });
        auto t0 = steady_clock::now();
        EXPECT_EQ(tcpsock_keep_alive(), 6) << r.what;
        long took = ms_since(t0);
        module.join();
        // An answer ends the wait; silence costs the bounded wait only.
        if (r.reply.empty()) {
            EXPECT_GE(took, TCP_KEEP_ALIVE_REPLY_MS - 20) << r.what;
        }
        EXPECT_LT(took, TCP_KEEP_ALIVE_REPLY_MS + 300) << r.what;
        // Nothing beyond the six bytes went out.
        EXPECT_EQ(tcp_recv_quiet(s.module, 50), "") << r.what;
    }
}

TEST(TcpKeepAlive, FailsOnceTheModuleHasClosedItsSide)
{
    module_socket s;
    ASSERT_TRUE(s.ok());
    s.close_module();
    // The first send after the module's close still goes out; its reply
    // wait sees the end of the stream.
    EXPECT_EQ(tcpsock_keep_alive(), -1);
}

// ---------------------------------------------------------------------------
// Exchanges over the module socket

// What a module does with one query: answer it with `reply` once the whole
// frame came. Records everything it received.
struct query_module {
    int fd;
    string received;
    std::thread thread;
    query_module(int fd_, string frame, string reply, int delay_ms = 0) : fd(fd_)
    {
        thread = std::thread([this, frame, reply, delay_ms] {
            received = tcp_recv_n(fd, frame.size(), 3000);
            std::this_thread::sleep_for(milliseconds(delay_ms));
            tcp_send_all(fd, reply);
        });
    }
    ~query_module()
    {
        if (thread.joinable())
            thread.join();
    }
};

// A keep-alive's reply that came after the keep-alive stopped waiting is
// still on the socket when the next query starts. Taken as the query's
// reply it reads as "+ok" with an empty value.
TEST(TcpExchange, AStaleKeepAliveReplyIsNotTakenForTheQuerysValue)
{
    module_socket s;
    ASSERT_TRUE(s.ok());
    struct row {
        const char *stale;
    } rows[] = {{"+ok\r\n\r\n"}, {"+ok=AP\r\n\r\n"}, {"+ERR=-1\r\n\r\n"}};
    for (const row &r : rows) {
        ASSERT_TRUE(tcp_send_all(s.module, r.stale));
        ASSERT_TRUE(tcp_wait_readable(s.tool, std::strlen(r.stale), 1000));
        query_module m(s.module, "AT+WMODE\n", "+ok=STA\r\n\r\n");
        char value[AT_VALUE_MAX + 1] = "unchanged";
        EXPECT_EQ(module_send_cmd_get("AT+WMODE", value), 1) << r.stale;
        EXPECT_STREQ(value, "STA") << r.stale;
        m.thread.join();
        EXPECT_EQ(m.received, "AT+WMODE\n");
    }
}

// A slow module answers the keep-alive after the keep-alive stopped waiting
// for it, sometimes only once the next query has been sent. The query must
// still get its own reply, and not wait out its tries.
TEST(TcpExchange, ALateKeepAliveReplyIsNotTakenForTheNextQuerysReply)
{
    module_socket s;
    ASSERT_TRUE(s.ok());
    for (int late_ms : {50, TCP_KEEP_ALIVE_REPLY_MS + 150}) {
        std::thread module([&] {
            EXPECT_EQ(tcp_recv_n(s.module, keep_alive.size(), 2000), keep_alive);
            std::this_thread::sleep_for(milliseconds(late_ms));
            tcp_send_all(s.module, "+ok\r\n\r\n");
            EXPECT_EQ(tcp_recv_n(s.module, 8, 2000), "AT+WMID\n") << late_ms;
            tcp_send_all(s.module, "+ok=HF-A11\r\n\r\n");
        });
        EXPECT_EQ(tcpsock_keep_alive(), 6);
        char value[AT_VALUE_MAX + 1] = "";
        auto t0 = steady_clock::now();
        EXPECT_EQ(module_send_cmd_get("AT+WMID", value), 1) << late_ms;
        EXPECT_STREQ(value, "HF-A11") << late_ms;
        EXPECT_LT(ms_since(t0), 1000) << late_ms;
        module.join();
    }
}

// A keep-alive sent while a query waits for its reply would land between
// the query and the reply on the wire.
TEST(TcpExchange, AKeepAliveWaitsUntilTheExchangeInProgressHasEnded)
{
    module_socket s;
    ASSERT_TRUE(s.ok());
    std::atomic<bool> replied{false};
    string after_query;
    std::thread module([&] {
        EXPECT_EQ(tcp_recv_n(s.module, 9, 2000), "AT+WMODE\n");
        // Whatever comes while the module takes its time must not be the
        // keep-alive.
        after_query = tcp_recv_quiet(s.module, 300);
        replied = true;
        tcp_send_all(s.module, "+ok=AP\r\n\r\n");
        EXPECT_EQ(tcp_recv_n(s.module, keep_alive.size(), 2000), keep_alive);
    });
    std::thread keeper;
    char value[AT_VALUE_MAX + 1] = "";
    std::atomic<int> keep_alive_result{0};
    std::atomic<bool> keep_alive_before_reply{false};
    std::thread query([&] { EXPECT_EQ(module_send_cmd_get("AT+WMODE", value), 1); });
    std::this_thread::sleep_for(milliseconds(50)); // the query is waiting now
    keeper = std::thread([&] {
        keep_alive_result = tcpsock_keep_alive();
        keep_alive_before_reply = !replied;
    });
    query.join();
    keeper.join();
    module.join();
    EXPECT_EQ(after_query, "");
    EXPECT_FALSE(keep_alive_before_reply);
    EXPECT_EQ(keep_alive_result, 6);
    EXPECT_STREQ(value, "AP");
}

// Until the keep-alive notices, exchanges may still be started on a link
// the module has closed; they must not wait out their tries (8 s each).
TEST(TcpExchange, ExchangesOnALinkTheModuleClosedFailAtOnce)
{
    module_socket s;
    ASSERT_TRUE(s.ok());
    s.close_module();
    pollfd p = {s.tool, POLLIN, 0}; // the end of the stream has arrived
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    auto t0 = steady_clock::now();
    char value[AT_VALUE_MAX + 1] = "kept";
    EXPECT_EQ(module_send_cmd_get("AT+WMODE", value), 0);
    EXPECT_EQ(module_send_cmd_set("AT+WMODE=AP"), 0);
    EXPECT_EQ(module_echo(), 0);
    EXPECT_STREQ(value, "kept");
    EXPECT_LT(ms_since(t0), 1000);
    EXPECT_EQ(tcpsock_keep_alive(), -1);
}

// A module that keeps sending held one read, and with it the exchange lock
// (keep-alives and link-loss detection too), for as long as it sent: line
// ends alone, each dropped as the rest of an earlier reply, or one byte now
// and then, each within the 200 ms a read waits for the next. A read ends
// when a serial read of as many bytes would, whatever comes. Without that
// end the line ends held it as long as they came, and the bytes until its
// buffer was full (40 x 150 ms = 6 s): far beyond the limit and the slack a
// loaded machine needs.
TEST(TcpExchange, EveryReadEndsByTheSerialPortsTotalTimeOut)
{
    module_socket s;
    ASSERT_TRUE(s.ok());
    const int len = 40;
    const long limit = TCP_READ_TOTAL_CONST_MS + TCP_READ_TOTAL_PER_BYTE_MS * len; // 2.2 s
    const long slack = 2500;
    struct row {
        const char *what;
        string piece;
        int every_ms;
    } rows[] = {
        {"line ends every 50 ms", "\r\n", 50},
        {"a byte every 150 ms", "x", 150},
    };
    for (const row &r : rows) {
        std::atomic<bool> stop{false};
        // Ten seconds at most, so that a read without an end still ends.
        std::thread module([&] {
            for (auto t0 = steady_clock::now(); !stop && ms_since(t0) < 10000;) {
                tcp_send_all(s.module, r.piece);
                std::this_thread::sleep_for(milliseconds(r.every_ms));
            }
        });
        char buf[len];
        auto t0 = steady_clock::now();
        int n = net_link.read(net_link.ctx, buf, len);
        long took = ms_since(t0);
        stop = true;
        module.join();
        EXPECT_GE(n, 0) << r.what;
        EXPECT_LE(took, limit + slack) << r.what;
        tcp_recv_quiet(s.tool, 100);
    }
}

// Before its frame an exchange drops what the module sent that nobody read.
// A module that never stops sending held it there, with the exchange lock,
// for as long as it sent: only what was queued when it began is dropped.
TEST(TcpExchange, AModuleThatNeverStopsSendingDoesNotHoldTheNextFrameBack)
{
    module_socket s;
    ASSERT_TRUE(s.ok());
    std::atomic<bool> stop{false};
    std::thread module([&] {
        const string flood(65536, 'x');
        for (auto t0 = steady_clock::now(); !stop && ms_since(t0) < 5000;) {
            pollfd p = {s.module, POLLOUT, 0};
            if (poll(&p, 1, 10) > 0)
                send(s.module, flood.data(), flood.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        }
    });
    ASSERT_TRUE(tcp_wait_readable(s.tool, 1, 2000));
    auto t0 = steady_clock::now();
    EXPECT_EQ(tcpsock_keep_alive(), TCP_KEEP_ALIVE_LEN);
    const long took = ms_since(t0);
    stop = true;
    module.join();
    EXPECT_LT(took, 2500);
}
