// The fast exchange against the default, module behaviour by behaviour, on a
// pty and over TCP: fast may end a read sooner, but it reads the same values
// as the default or fails the same queries; no value ever holds another
// query's reply, and no module is left in command mode.
//
// Cells whose default timing takes minutes (replies 1 s and 4.5 s late) run
// only with MODCFG_SLOW_CELLS=1: tests/fast_differential_slow.sh runs them.
#include "module.h"
#include "module_at.h"
#include "module_binding.h"
#include "module_session.h"
#include "pccom.h"
#include "pty_pair.h" // ms_since
#include "sim_process.h"
#include "tcp_peer.h"
#include "tcpsock.h"
#include "temp_dir.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <ostream>
#include <poll.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

enum class transport { pty, tcp };
transport in_use = transport::pty;

// This program links the core only: the module operations go to the serial
// exchange or to the locked exchange on the accepted socket, as the builds
// bind them.
int either_get(const char *cmd, char *ret)
{
    return in_use == transport::tcp ? net_send_cmd_get(cmd, ret)
                                    : at_send_cmd_get(serial_link, cmd, ret);
}
int either_set(const char *cmd)
{
    return in_use == transport::tcp ? net_send_cmd_set(cmd) : at_send_cmd_set(serial_link, cmd);
}
int either_echo()
{
    return in_use == transport::tcp ? net_echo() : at_echo(serial_link);
}
const module_binding binding(either_get, either_set, either_echo);

} // namespace

namespace
{

using clock_type = std::chrono::steady_clock;

// Values that differ from each other, so that a reply taken for another
// query's shows.
const std::vector<std::string> settings = {
    "--set", "MID=DIFF-MODULE",
    "--set", "WEBU=webuser,webpass",
    "--set", "UARTFT=123",
    "--set", "UARTFL=456",
    "--set", "MAXSK=7",
    "--set", "TCPTO=99",
    "--set", "WAP=11N,Shop AP,CH11",
    "--set", "WAKEY=WPA2PSK,TKIP,apkey67890",
    "--set", "WSKEY=WPA2PSK,AES,stakey12345",
    // 40 bytes: its reply trickles past any read's limit with --trickle.
    "--set", "WSSSID=ssid-forty-bytes-long-0123456789abcdef",
    "--set", "WANN=Static,172.16.3.20,255.255.0.0,172.16.0.1"};

struct behaviour {
    const char *name;
    std::vector<std::string> args;
    bool tcp;        // meaningful over TCP too (the network build has no entry)
    bool slow;       // minutes at the default timing
    const char *fails; // the query the default timing fails, or ""
};

const behaviour behaviours[] = {
    {"on_time", {"--mode", "command"}, true, false, ""},
    {"late_300ms", {"--mode", "command", "--late", "300"}, true, false, ""},
    {"late_1s", {"--mode", "command", "--late", "1000"}, true, true, ""},
    {"late_4500ms", {"--mode", "command", "--late", "4500"}, true, true, ""},
    {"probe_late_400ms", {"--mode", "command", "--probe-late", "400"}, false, false, ""},
    {"ok_late_300ms_after_a", {"--ok-late", "300"}, false, false, ""},
    {"stray_byte", {"--mode", "command", "--stray"}, true, false, ""},
    {"last_byte_250ms_late", {"--mode", "command", "--last-byte-late", "250"}, true, false, ""},
    {"echo_on", {"--mode", "command", "--echo"}, true, false, ""},
    {"trickle_past_limit", {"--mode", "command", "--trickle", "WSSSID"}, true, false, "WSSSID"},
};

// Names the cell in test output (gtest would print the row's bytes).
void PrintTo(const behaviour &b, std::ostream *os)
{
    *os << b.name;
}

struct outcome {
    bool connected = false;
    std::map<std::string, std::string> values; // query -> value, for those answered
    std::set<std::string> failed;
    bool command_mode_after = false;
    std::string console;
    long ms = 0;
};

// True when the module on `fd` answers a probe: it is in command mode.
bool answers_probe(int fd)
{
    serial_drop_waiting(fd);
    if (CommWrite(fd, "AT+\n", 4) != 4)
        return false;
    std::string got;
    const auto end = clock_type::now() + std::chrono::milliseconds(1500);
    char buf[32];
    while (clock_type::now() < end && got.find("+ok") == std::string::npos) {
        const int n = CommReadUntil(fd, buf, sizeof buf, -1, nullptr);
        if (n < 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got.find("+ok") != std::string::npos;
}

void query_all(outcome &o)
{
    for (const char *name : module_query_names) {
        char v[AT_VALUE_MAX + 1] = "";
        if (module_send_cmd_get(("AT+" + std::string(name)).c_str(), v))
            o.values[name] = v;
        else
            o.failed.insert(name);
    }
}

class FastDifferential : public ::testing::TestWithParam<behaviour>
{
  protected:
    void TearDown() override
    {
        at_set_fast(false);
        unsetenv("MODCFG_COM1");
    }

    std::vector<std::string> sim_args(const behaviour &b)
    {
        std::vector<std::string> args = b.args;
        args.insert(args.end(), settings.begin(), settings.end());
        args.insert(args.end(), {"--state", dir.path() + "/state.txt"});
        return args;
    }

    outcome run_pty(const behaviour &b, bool fast)
    {
        outcome o;
        in_use = transport::pty;
        sim_process sim;
        EXPECT_TRUE(sim.start_pty(sim_args(b)));
        setenv("MODCFG_COM1", sim.pty_path().c_str(), 1);
        expected = sim_read_state(dir.path() + "/state.txt");
        strPCCom = {};
        strPCCom.baudrate = 15;
        strPCCom.data_bits = 3;
        at_set_fast(fast);
        const auto t0 = clock_type::now();
        testing::internal::CaptureStdout();
        init_pccom();
        if (strPCCom.fd > 0) {
            o.connected = module_session_enter_serial() == 1;
            if (o.connected) {
                query_all(o);
                module_session_leave();
            }
        }
        o.console = testing::internal::GetCapturedStdout();
        o.ms = ms_since(t0);
        EXPECT_GT(strPCCom.fd, 0) << o.console;
        if (strPCCom.fd > 0)
            o.command_mode_after = answers_probe(strPCCom.fd);
        CommClose(strPCCom.fd);
        strPCCom.fd = 0;
        return o;
    }

    outcome run_tcp(const behaviour &b, bool fast)
    {
        outcome o;
        in_use = transport::tcp;
        const int server = tcpsock_listen("127.0.0.1", 0);
        EXPECT_GT(server, 0);
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        getsockname(server, reinterpret_cast<sockaddr *>(&sa), &len);
        const std::string port = std::to_string(ntohs(sa.sin_port));
        std::vector<std::string> args = {"--tcp", "127.0.0.1:" + port};
        const auto rest = sim_args(b);
        args.insert(args.end(), rest.begin(), rest.end());
        sim_process sim;
        EXPECT_TRUE(sim.start(args));
        pollfd p = {server, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 5000), 1);
        const int sock = tcpsock_accept(server);
        close(server);
        EXPECT_GT(sock, 0);
        // The state file is written before the emulator connects.
        expected = sim_read_state(dir.path() + "/state.txt");
        tcpsock_set_recv_timeout(sock, TCP_RECV_TIMEOUT_MS);
        tcpsock_attach(sock);
        at_set_fast(fast);
        const auto t0 = clock_type::now();
        testing::internal::CaptureStdout();
        o.connected = true; // the module connected: the network build has no entry
        query_all(o);
        o.console = testing::internal::GetCapturedStdout();
        o.ms = ms_since(t0);
        tcpsock_drop();
        return o;
    }

    outcome run(const behaviour &b, transport t, bool fast)
    {
        return t == transport::tcp ? run_tcp(b, fast) : run_pty(b, fast);
    }

    std::string summary(const outcome &o)
    {
        if (!o.connected)
            return "Fialed!";
        std::string s = std::to_string(o.values.size()) + "/19";
        for (const auto &f : o.failed)
            s += " -" + f;
        return s;
    }

    temp_cwd dir;
    std::map<std::string, std::string> expected;
};

TEST_P(FastDifferential, FastReadsWhatTheDefaultReads)
{
    const behaviour &b = GetParam();
    if (b.slow && !std::getenv("MODCFG_SLOW_CELLS"))
        GTEST_SKIP() << "minutes at the default timing: tests/fast_differential_slow.sh runs it";
    for (transport t : {transport::pty, transport::tcp}) {
        if (t == transport::tcp && !b.tcp)
            continue;
        const char *tname = t == transport::tcp ? "tcp" : "pty";
        SCOPED_TRACE(std::string(b.name) + " over " + tname);
        const outcome def = run(b, t, false);
        const outcome fast = run(b, t, true);
        std::printf("cell %-22s %-3s  default %-14s %6.1f s | fast %-14s %6.1f s%s\n", b.name,
                    tname, summary(def).c_str(), def.ms / 1000.0, summary(fast).c_str(),
                    fast.ms / 1000.0,
                    fast.console.find("slow module: default timing used") != std::string::npos
                        ? "  (slow module: default timing used)"
                        : "");

        // Each value is its own query's: the settings differ, so another
        // query's reply cannot pass.
        std::set<std::string> distinct;
        for (const char *name : module_query_names)
            distinct.insert(expected[name]);
        ASSERT_EQ(distinct.size(), 19u) << "the emulator's values must differ";
        for (const outcome *o : {&def, &fast})
            for (const auto &v : o->values)
                EXPECT_EQ(v.second, expected[v.first])
                    << v.first << (o == &fast ? " (fast)" : " (default)");

        // The default is honest in this cell, and fast does the same.
        EXPECT_TRUE(def.connected) << def.console;
        std::set<std::string> should_fail;
        if (*b.fails)
            should_fail.insert(b.fails);
        EXPECT_EQ(def.failed, should_fail) << def.console;
        EXPECT_EQ(fast.connected, def.connected) << fast.console;
        EXPECT_EQ(fast.failed, def.failed) << fast.console;
        EXPECT_EQ(fast.values, def.values);

        if (t == transport::pty) {
            EXPECT_FALSE(def.command_mode_after) << "default left the module in command mode";
            EXPECT_FALSE(fast.command_mode_after) << "fast left the module in command mode";
        }
    }
}

std::string cell_name(const testing::TestParamInfo<behaviour> &info)
{
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Behaviours, FastDifferential, testing::ValuesIn(behaviours), cell_name);

// The console names the fallback, so an operator knows to drop the fast
// exchange for that kind of module; a quick module never shows it.
TEST(FastConnect, SaysWhenTheDefaultTimingWasNeeded)
{
    temp_cwd dir;
    for (const bool slow : {false, true}) {
        sim_process sim;
        // From transparent mode: the fast handshake gives up on a "+ok"
        // that comes 300 ms after "a"; the default one waits for it.
        std::vector<std::string> args = {"--mode", slow ? "transparent" : "command"};
        if (slow)
            args.insert(args.end(), {"--ok-late", "300"});
        ASSERT_TRUE(sim.start_pty(args));
        setenv("MODCFG_COM1", sim.pty_path().c_str(), 1);
        strPCCom = {};
        strPCCom.baudrate = 15;
        strPCCom.data_bits = 3;
        in_use = transport::pty;
        at_set_fast(true);
        testing::internal::CaptureStdout();
        init_pccom();
        const int ok = connect_to_module();
        const std::string out = testing::internal::GetCapturedStdout();
        at_set_fast(false);
        EXPECT_EQ(ok, 1) << out;
        const bool said = out.find("OK!\nslow module: default timing used\n") != std::string::npos;
        EXPECT_EQ(said, slow) << out;
        CommClose(strPCCom.fd);
        strPCCom.fd = 0;
        unsetenv("MODCFG_COM1");
    }
}

// Over TCP the fast exchange's shorter pauses used to give up after 3.4 s;
// a reply due at 4.5 s then came after the next frame and became its
// value. Fast now tries as long as the default does.
TEST(FastOverTcp, WaitsForALateReplyAsLongAsTheDefault)
{
    temp_cwd dir;
    const int server = tcpsock_listen("127.0.0.1", 0);
    ASSERT_GT(server, 0);
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(server, reinterpret_cast<sockaddr *>(&sa), &len);
    sim_process sim;
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:" + std::to_string(ntohs(sa.sin_port)), "--late",
                           "4500", "--set", "MID=LATE-MODULE", "--set", "WMODE=STA"}));
    pollfd p = {server, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    const int sock = tcpsock_accept(server);
    close(server);
    ASSERT_GT(sock, 0);
    tcpsock_set_recv_timeout(sock, TCP_RECV_TIMEOUT_MS);
    tcpsock_attach(sock);
    at_set_fast(true);
    char mid[AT_VALUE_MAX + 1] = "", wmode[AT_VALUE_MAX + 1] = "";
    EXPECT_EQ(net_send_cmd_get("AT+MID", mid), 1);
    EXPECT_EQ(net_send_cmd_get("AT+WMODE", wmode), 1);
    at_set_fast(false);
    tcpsock_drop();
    EXPECT_STREQ(mid, "LATE-MODULE");
    EXPECT_STREQ(wmode, "STA");
}

// A value is what lies between "+ok=" and its "\r\n\r\n", of a reply that
// came after its frame: bytes that follow in the same read (one TCP
// segment, or a serial read that waits out its pause) belong to no query,
// nor does a reply that was waiting before the frame went out.
TEST(ReplyEnd, ValueEndsAtItsTerminatorOnBothTransportsAndTimings)
{
    for (const bool tcp : {false, true})
        for (const bool fast : {false, true}) {
            SCOPED_TRACE(std::string(tcp ? "tcp" : "pty") + (fast ? " fast" : " default"));
            pty_pair pty;
            tcp_pair pair;
            ASSERT_TRUE(pty.ok() && pair.ok());
            int module_fd = tcp ? pair.module : pty.master();
            if (tcp) {
                in_use = transport::tcp;
                tcpsock_set_recv_timeout(pair.tool, TCP_RECV_TIMEOUT_MS);
                tcpsock_attach(pair.tool);
                pair.tool = -1; // tcpsock_drop closes it
            } else {
                in_use = transport::pty;
                strPCCom = {};
                strPCCom.baudrate = 15;
                strPCCom.data_bits = 3;
                testing::internal::CaptureStdout();
                strPCCom.fd = CommOpen(pty.slave_path().c_str(), 57600, 8, 0, 0, 0);
                testing::internal::GetCapturedStdout();
                ASSERT_GT(strPCCom.fd, 0);
            }
            // A late reply that came after its query gave up, before the
            // next frame: no frame's reply any more.
            const std::string stale = "+ok=STALE\r\n\r\n";
            ASSERT_TRUE(tcp ? tcp_send_all(module_fd, stale) : pty.send(stale));
            pollfd waiting = {tcp ? tcpsocket : strPCCom.fd, POLLIN, 0};
            ASSERT_EQ(poll(&waiting, 1, 2000), 1);
            // The module: answers each frame with the next reply, whole in
            // one write.
            const std::vector<std::pair<std::string, std::string>> script = {
                {"AT+MID\n", "+ok=SLOW\r\n\r\nxxxx"},
                {"AT+VER\n", "+ok=1.0\r\n\r\n"},
            };
            std::thread module([&] {
                for (const auto &step : script) {
                    const std::string got =
                        tcp ? tcp_recv_n(module_fd, step.first.size(), 5000)
                            : pty.recv(step.first.size(), 5000);
                    if (got != step.first)
                        return;
                    if (tcp)
                        tcp_send_all(module_fd, step.second);
                    else
                        pty.send(step.second);
                }
            });
            at_set_fast(fast);
            char mid[AT_VALUE_MAX + 1] = "", ver[AT_VALUE_MAX + 1] = "";
            EXPECT_EQ(module_send_cmd_get("AT+MID", mid), 1);
            EXPECT_EQ(module_send_cmd_get("AT+VER", ver), 1);
            at_set_fast(false);
            module.join();
            EXPECT_STREQ(mid, "SLOW");
            EXPECT_STREQ(ver, "1.0");
            if (tcp) {
                tcpsock_drop();
            } else {
                CommClose(strPCCom.fd);
                strPCCom.fd = 0;
            }
        }
}

} // namespace
