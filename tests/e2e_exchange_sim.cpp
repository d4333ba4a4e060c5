// The serial layer and the AT exchange against the module emulator on a
// pseudo-terminal: command-mode entry, every query, a set and its read-back.
#include "module_at.h"
#include "pccom.h"
#include "sim_process.h"
#include "tcpsock.h"
#include "temp_dir.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

const char *const query_names[] = {"MID",    "WMODE",  "TMODE",  "WEBU",  "VER",   "UART", "UARTF",
                                   "UARTFT", "UARTFL", "NETP",   "MAXSK", "TCPTO", "WAP",  "WAKEY",
                                   "LANN",   "DHCPGW", "WSSSID", "WSKEY", "WANN"};

class ExchangeWithSim : public ::testing::Test
{
  protected:
    // Starts the emulator and opens its pty as COM1 the way the connect
    // button does.
    void open_sim(std::vector<std::string> args)
    {
        state = dir.path() + "/state.txt";
        args.insert(args.end(), {"--state", state});
        ASSERT_TRUE(sim.start_pty(args));
        setenv("MODCFG_COM1", sim.pty_path().c_str(), 1);
        strPCCom.device = 0;
        strPCCom.baudrate = 15;
        strPCCom.data_bits = 3;
        strPCCom.parity = 0;
        strPCCom.stop_bits = 0;
        testing::internal::CaptureStdout();
        init_pccom();
        const std::string out = testing::internal::GetCapturedStdout();
        ASSERT_GT(strPCCom.fd, 0) << out << serial_last_error();
        EXPECT_NE(out.find("COM1 -> " + sim.pty_path()), std::string::npos) << out;
    }
    void TearDown() override
    {
        CommClose(strPCCom.fd);
        strPCCom.fd = 0;
        unsetenv("MODCFG_COM1");
    }
    std::string query(const std::string &name)
    {
        char ret[AT_VALUE_MAX + 1] = "";
        EXPECT_EQ(at_send_cmd_get(serial_link, ("AT+" + name).c_str(), ret), 1) << name;
        return ret;
    }

    temp_cwd dir;
    sim_process sim;
    std::string state;
};

TEST_F(ExchangeWithSim, TransparentModuleConnectsAndAnswersEveryQuery)
{
    const std::string key(64, 'k');
    open_sim({"--mode", "transparent", "--set", "WSKEY=WPA2PSK,AES," + key});

    testing::internal::CaptureStdout();
    const int connected = connect_to_module();
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(connected, 1) << out;
    EXPECT_EQ(out, "Connect to Module.........OK!\n") << "expected both probes, then +++";

    const auto expected = sim_read_state(state);
    ASSERT_EQ(expected.size(), 19u);
    for (const char *name : query_names)
        EXPECT_EQ(query(name), expected.at(name)) << name;
    EXPECT_EQ(query("WSKEY"), "WPA2PSK,AES," + key);

    EXPECT_EQ(at_send_cmd_set(serial_link, "AT+WMODE=STA"), 1);
    EXPECT_EQ(query("WMODE"), "STA");
    EXPECT_TRUE(sim_wait_state(state, "WMODE", "STA"));
    EXPECT_EQ(at_send_cmd_set(serial_link, "AT+ENTM"), 1);
}

TEST_F(ExchangeWithSim, EchoingModuleIsFoundAndSilenced)
{
    open_sim({"--mode", "command", "--echo"});
    testing::internal::CaptureStdout();
    const int connected = connect_to_module();
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(connected, 1) << out;
    EXPECT_EQ(out, "Connect to Module......OK!\n") << "the first probe should have done";

    EXPECT_EQ(at_echo(serial_link), 1);
    EXPECT_EQ(at_send_cmd_set(serial_link, "AT+E"), 1);
    EXPECT_EQ(at_echo(serial_link), 0);
    EXPECT_EQ(query("TMODE"), "Through");
}

// The emulator as the network build's module: it connects to a server on
// a loopback port of the OS's choosing, which becomes the module socket.
int accept_sim_over_tcp(sim_process &sim, const std::vector<std::string> &args)
{
    const int server = tcpsock_listen("127.0.0.1", 0);
    if (server < 0)
        return -1;
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(server, reinterpret_cast<sockaddr *>(&a), &len);
    std::vector<std::string> all = {"--tcp", "127.0.0.1:" + std::to_string(ntohs(a.sin_port))};
    all.insert(all.end(), args.begin(), args.end());
    int sock = -1;
    if (sim.start(all) && get_select(server) == 1)
        sock = tcpsock_accept(server);
    close(server);
    if (sock <= 0)
        return -1;
    tcpsock_set_recv_timeout(sock, TCP_RECV_TIMEOUT_MS);
    tcpsock_attach(sock);
    return sock;
}

// A module with echo on repeats every command before its reply. The
// network build never turns echo off, and about half its queries failed
// when the echo and the reply came in one read; the serial exchange failed
// every query. Both now skip the echo of the command they sent.
TEST_F(ExchangeWithSim, EchoingModuleIsAnsweredWithoutTurningEchoOff)
{
    const struct {
        const char *what;
        bool tcp;
    } transports[] = {{"tcp", true}, {"serial", false}};
    for (const auto &t : transports) {
        SCOPED_TRACE(t.what);
        sim_process tcp_sim;
        // As each build binds the module operations.
        std::function<int(const char *, char *)> get = [](const char *cmd, char *ret) {
            return at_send_cmd_get(serial_link, cmd, ret);
        };
        std::function<int(const char *)> set = [](const char *cmd) {
            return at_send_cmd_set(serial_link, cmd);
        };
        if (t.tcp) {
            state = dir.path() + "/tcp-state.txt";
            ASSERT_GT(accept_sim_over_tcp(tcp_sim, {"--echo", "--state", state}), 0);
            get = net_send_cmd_get;
            set = net_send_cmd_set;
        } else {
            open_sim({"--mode", "command", "--echo"});
            testing::internal::CaptureStdout();
            ASSERT_EQ(connect_to_module(), 1) << testing::internal::GetCapturedStdout();
            testing::internal::GetCapturedStdout();
            EXPECT_EQ(at_echo(serial_link), 1);
        }
        const auto expected = sim_read_state(state);
        for (const char *name : query_names) {
            char ret[AT_VALUE_MAX + 1] = "";
            // A failed query waits out its 40 tries: stop at the first.
            ASSERT_EQ(get(("AT+" + std::string(name)).c_str(), ret), 1) << name;
            EXPECT_EQ(ret, expected.at(name)) << name;
        }
        // A command longer than one 10-byte read of a set, then its effect.
        EXPECT_EQ(set("AT+WAP=11N,Echo test,CH6"), 1);
        EXPECT_TRUE(sim_wait_state(state, "WAP", "11N,Echo test,CH6"));
        char ret[AT_VALUE_MAX + 1] = "";
        EXPECT_EQ(get("AT+WAP", ret), 1);
        EXPECT_STREQ(ret, "11N,Echo test,CH6");
        // "AT+E" still goes by its own rule, and turns the echo off.
        EXPECT_EQ(set("AT+E"), 1);
        EXPECT_EQ(get("AT+MID", ret), 1);
        EXPECT_EQ(ret, expected.at("MID"));
        if (t.tcp)
            tcpsock_drop();
        else
            CommClose(strPCCom.fd);
        strPCCom.fd = 0;
    }
}

} // namespace
