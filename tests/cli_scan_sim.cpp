// Finding a module: modcfg scan, ports --probe and --baud auto against
// emulated modules with their own line settings, and the fast connect's
// short probe against a slow module.
#include "modcfg_child.h"
#include "sim_process.h"
#include "temp_dir.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <string>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace
{

// The line of `text` that begins with `start`; empty when none.
std::string line_of(const std::string &text, const std::string &start)
{
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end == std::string::npos ? end : end - at);
        if (line.compare(0, start.size(), start) == 0)
            return line;
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return "";
}

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

TEST(Scan, FindsEachModuleAtOnceAndLeavesItInItsMode)
{
    temp_cwd dir;
    sim_process trans, cmd, none;
    ASSERT_TRUE(trans.start_pty({"--uart", "115200,8,N,1", "--log", "trans.log"}));
    ASSERT_TRUE(cmd.start_pty({"--uart", "9600,8,N,1", "--mode", "command", "--echo", "--log",
                               "cmd.log"}));
    ASSERT_TRUE(none.start_pty({"--silent"}));
    const auto r = modcfg({"scan", "--port", trans.pty_path(), "--port", cmd.pty_path(), "--port",
                           none.pty_path(), "--json"});
    EXPECT_EQ(r.status, 1) << r.err; // one port without a module
    const std::string t = line_of(r.out, "{\"port\":\"" + trans.pty_path() + "\"");
    EXPECT_TRUE(has(t, "\"settings\":\"115200 8N1\"")) << r.out;
    EXPECT_TRUE(has(t, "\"mode\":\"transparent\"")) << t;
    EXPECT_TRUE(has(t, "\"mid\":\"QX-B27\"")) << t;
    EXPECT_TRUE(has(t, "\"uart\":\"115200,8,1,None,NFC\"")) << t;
    const std::string c = line_of(r.out, "{\"port\":\"" + cmd.pty_path() + "\"");
    EXPECT_TRUE(has(c, "\"settings\":\"9600 8N1\"")) << r.out;
    EXPECT_TRUE(has(c, "\"mode\":\"command\"")) << c;
    EXPECT_TRUE(has(c, "\"mid\":\"QX-B27\"")) << c;
    // Every setting tried is named, the most likely first.
    const std::string n = line_of(r.out, "{\"port\":\"" + none.pty_path() + "\"");
    EXPECT_TRUE(has(n, "\"found\":false")) << n;
    EXPECT_TRUE(has(n, "\"tried\":[\"57600 8N1\",\"115200 8N1\",\"9600 8N1\",")) << n;
    EXPECT_TRUE(has(n, "\"75 8N1\",\"50 8N1\"]")) << n;

    // Let go as found: the transparent one got "AT+ENTM", the one in
    // command mode nothing after its queries, so a second scan finds both
    // as they were (and, without --json, as lines).
    EXPECT_TRUE(has(read_file("trans.log"), "AT+ENTM"));
    EXPECT_FALSE(has(read_file("cmd.log"), "AT+ENTM"));
    const auto again = modcfg({"scan", "--port", trans.pty_path(), "--port", cmd.pty_path()});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(has(line_of(again.out, trans.pty_path()), "115200 8N1  transparent mode"))
        << again.out;
    EXPECT_TRUE(has(line_of(again.out, cmd.pty_path()), "9600 8N1  command mode")) << again.out;
}

TEST(Scan, AllFramingsFindsTwoStopBitsAndAMissingPortExitsThree)
{
    temp_cwd dir;
    sim_process sim;
    ASSERT_TRUE(sim.start_pty({"--uart", "57600,8,N,2", "--mode", "command"}));
    const auto r = modcfg({"scan", "--port", sim.pty_path(), "--all-framings"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "57600 8N2  command mode")) << r.out;

    const auto gone = modcfg({"scan", "--port", dir.path() + "/no-such-tty"});
    EXPECT_EQ(gone.status, 3) << gone.out;
    EXPECT_TRUE(has(gone.err, "no-such-tty")) << gone.err;
    EXPECT_EQ(modcfg({"scan"}).status, 2);
}

TEST(Scan, BaudAutoProvisionsAModuleAt9600AndSaysSo)
{
    temp_cwd dir;
    sim_process sim;
    ASSERT_TRUE(sim.start_pty({"--uart", "9600,8,N,1", "--state", "m.state"}));
    write_file("golden.txt", "AT+WMODE=STA\r\nAT+TCPTO=321\r\nE\r\n");
    const auto r = modcfg({"provision", "golden.txt", "--port", sim.pty_path(), "--baud", "auto",
                           "--report", "line.csv"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.err, "found at 9600 8N1")) << r.err;
    EXPECT_TRUE(has(read_file("line.csv"), "line 9600 8N1")) << read_file("line.csv");
    EXPECT_TRUE(sim_wait_state("m.state", "TCPTO", "321"));
    EXPECT_TRUE(sim_wait_state("m.state", "WMODE", "STA"));
    EXPECT_EQ(modcfg({"read", "--port", sim.pty_path(), "--baud", "fast"}).status, 2);
    EXPECT_EQ(modcfg({"read", "--listen", "127.0.0.1:0", "--baud", "auto"}).status, 2);
}

TEST(PortsProbe, MarksTheModuleTheEmptyPortAndTheBusyOne)
{
    temp_cwd dir;
    sim_process with, without, held;
    ASSERT_TRUE(with.start_pty({"--mode", "command"}));
    ASSERT_TRUE(without.start_pty({"--silent"}));
    ASSERT_TRUE(held.start_pty({}));
    const int lock = open(held.pty_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(flock(lock, LOCK_EX | LOCK_NB), 0);
    const auto r = modcfg_with_env({"ports", "--probe"}, {"MODCFG_COM10=" + with.pty_path(),
                                                 "MODCFG_COM11=" + without.pty_path(),
                                                 "MODCFG_COM12=" + held.pty_path()});
    close(lock);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(line_of(r.out, "COM10 "), "module  57600 8N1  command mode  MID QX-B27"))
        << r.out;
    EXPECT_TRUE(has(line_of(r.out, "COM11 "), "no module at 57600 8N1")) << r.out;
    EXPECT_TRUE(has(line_of(r.out, "COM12 "), "held by another program: skipped")) << r.out;
}

// A module in command mode answering after 150 ms, past the fast probe's
// wait: found during the guard before "+++", which it is never sent.
TEST(FastConnect, FindsASlowModuleInCommandModeWithoutTheHandshake)
{
    temp_cwd dir;
    sim_process sim;
    ASSERT_TRUE(sim.start_pty({"--mode", "command", "--delay", "150", "--log", "slow.log"}));
    const auto r = modcfg({"read", "--port", sim.pty_path(), "--verbose"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "WMODE AP")) << r.out;
    const std::string log = read_file("slow.log");
    EXPECT_FALSE(has(log, "+++")) << log;
    EXPECT_TRUE(has(log, "AT+MID")) << log;
}

// Slower still (300 ms, past the guard): it gets "+++", and its late answer
// as the handshake's reply tells it is in command mode; every value still
// goes with its own query.
TEST(FastConnect, AModuleSlowerThanTheGuardIsFoundByTheHandshakesReply)
{
    temp_cwd dir;
    sim_process sim;
    ASSERT_TRUE(sim.start_pty({"--mode", "command", "--delay", "300", "--set", "TCPTO=77"}));
    const auto r = modcfg({"read", "--port", sim.pty_path()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "WMODE AP\n")) << r.out;
    EXPECT_TRUE(has(r.out, "TCPTO 77\n")) << r.out;
}

} // namespace
