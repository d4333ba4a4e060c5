// The network program's open port made containable: --listen binds one
// local address, --allow closes peers outside the given networks at once,
// every accepted peer is named on the console, and bad values are a usage
// error before anything listens. Runs the real modcfg_net.
#include "child_program.h"
#include "tcp_peer.h"
#include "tcpsock.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using std::string;

namespace
{

// "ADDR:PORT" of the local end of `fd`, as the tool names its peer.
string local_end(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

TEST(NetOpenPort, BadValuesAreAUsageErrorBeforeAnythingListens)
{
    temp_cwd dir;
    const struct {
        std::vector<string> args;
        const char *named; // what the error names
    } rows[] = {
        {{"--listen", "300.1.1.1"}, "--listen 300.1.1.1: "},
        {{"--listen", "10.10.100.123/24"}, "--listen 10.10.100.123/24: "},
        {{"--allow", "10.0.0.0/33"}, "--allow 10.0.0.0/33: "},
        {{"--allow", "10.0.0/8"}, "--allow 10.0.0/8: "},
        {{"--allow", "127.0.0.0/8", "--allow", "%s%n"}, "--allow %s%n: "},
    };
    for (const auto &r : rows) {
        child_program tool(MODCFG_NET_BIN, r.args);
        ASSERT_TRUE(tool.started());
        EXPECT_EQ(tool.wait_exit(10000), 2) << r.named << tool.errors();
        EXPECT_EQ(tool.errors().rfind(string("modcfg_net: ") + r.named, 0), 0u) << tool.errors();
        EXPECT_EQ(tool.output(), "") << "it went on to listen";
    }
}

TEST(NetOpenPort, ListensWhereToldAndClosesPeersOutsideTheAllowedNetworks)
{
    temp_cwd dir;
    // A working directory: the window prints nothing on where files go.
    mkdir("data", 0755);
    write_file("pic", "");
    child_program tool(MODCFG_NET_BIN, {"--listen", "127.0.0.2", "--allow", "10.10.100.0/24",
                                        "--allow", "127.0.0.3"});
    ASSERT_TRUE(tool.started());
    ASSERT_TRUE(tool.wait_output("Listening OK!\n", 10000)) << tool.output();
    EXPECT_EQ(tool.output(), "Bind OK!\nListening OK!\n");

    // Another local address has no server.
    EXPECT_EQ(tcp_connect_from("127.0.0.1", "127.0.0.1", TCP_SERVER_PORT), -1);
    EXPECT_EQ(errno, ECONNREFUSED);

    // A stranger is closed at once, sent nothing, and named.
    const int stranger = tcp_connect_from("127.0.0.4", "127.0.0.2", TCP_SERVER_PORT);
    ASSERT_GE(stranger, 0) << strerror(errno);
    const string stranger_end = local_end(stranger);
    EXPECT_EQ(tcp_recv_n(stranger, 64, 2000), "");
    EXPECT_TRUE(tcp_wait_closed(stranger, 100)) << "the stranger's connection stays open";
    close(stranger);
    EXPECT_TRUE(tool.wait_output("Refused " + stranger_end + ": not in an allowed network\n", 1000))
        << tool.output();

    // The tool went on waiting: the module from an allowed network is
    // taken, named, and kept alive.
    const int module = tcp_connect_from("127.0.0.3", "127.0.0.2", TCP_SERVER_PORT);
    ASSERT_GE(module, 0) << strerror(errno);
    EXPECT_TRUE(tool.wait_output("Accept OK!\nConnected from " + local_end(module) + "\n", 3000))
        << tool.output();
    EXPECT_EQ(tcp_recv_n(module, TCP_KEEP_ALIVE_LEN, 2500),
              string(TCP_KEEP_ALIVE, TCP_KEEP_ALIVE_LEN));
    EXPECT_EQ(tool.output().find("Accept OK!"), tool.output().rfind("Accept OK!"));
    close(module);
}

} // namespace
