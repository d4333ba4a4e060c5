// modcfg against modules and peers that misbehave: one device under two
// names, peers that are no module, modules that reconnect, go silent or
// drip their replies, a file with nothing to read back, a second Ctrl-C.
#include "modcfg_child.h"
#include "pty_pair.h"
#include "sim_process.h"
#include "tcp_peer.h"
#include "temp_dir.h"

#include <chrono>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <sys/ioctl.h>
#include <unistd.h>

namespace
{

class ModcfgFaults : public ::testing::Test
{
  protected:
    temp_cwd dir;
};

// Report rows (header dropped) whose result is `result`.
size_t rows_with(const std::string &csv, const std::string &mid, const std::string &result)
{
    size_t n = 0;
    const auto rows = lines_of(csv);
    for (size_t i = 1; i < rows.size(); i++)
        if (rows[i].find("," + mid + ",") != std::string::npos &&
            rows[i].find("," + result + ",") != std::string::npos)
            n++;
    return n;
}

std::string to(int port)
{
    return "127.0.0.1:" + std::to_string(port);
}

TEST_F(ModcfgFaults, OneDeviceUnderTwoNamesOrTwoPortsIsBadUsage)
{
    write_file("set.txt", command_file);
    sim_process sim;
    ASSERT_TRUE(sim.start_pty({"--mode", "command", "--log", "frames.log"}));
    const std::string alias = dir.path() + "/alias";
    ASSERT_EQ(symlink(sim.pty_path().c_str(), alias.c_str()), 0);
    const std::string pty = sim.pty_path();
    struct row {
        std::vector<std::string> args;
        const char *says;
    } rows[] = {
        {{"provision", "set.txt", "--port", pty, "--port", alias, "--loop"}, "same device"},
        {{"provision", "set.txt", "--port", alias, "--port", pty}, "same device"},
        {{"read", "--port", pty, "--port", pty}, "--port given twice"},
        {{"export", "--port", pty, "--port", alias}, "--port given twice"},
        {{"apply", "--port", pty, "-p", alias, "set.txt"}, "--port given twice"},
        {{"verify", "--port", alias, "--port", pty, "set.txt"}, "--port given twice"},
        {{"provision", "set.txt", "--port", pty, "--retries", "-1"}, "--retries wants"},
        {{"read", "--port", pty, "--module-timeout", "0"}, "--module-timeout wants"},
    };
    for (const auto &r : rows) {
        const ran got = modcfg(r.args, 30000);
        EXPECT_EQ(got.status, 2) << r.args[0] << " " << got.err;
        EXPECT_NE(got.err.find(r.says), std::string::npos) << got.err;
    }
    // Nothing was opened, nothing sent.
    EXPECT_EQ(read_file("frames.log"), "");
}

// A bare connect and a peer that answers "AT+MID" with something else
// are named and not counted: the one module of a run without --loop is
// the real one that comes after them.
TEST_F(ModcfgFaults, PeersThatTellNoMidAreNoModules)
{
    write_file("set.txt", command_file);
    modcfg_child run;
    ASSERT_TRUE(
        run.start({"provision", "set.txt", "--listen", "127.0.0.1:0", "--report", "r.csv"}));
    const int port = run.listen_port();
    ASSERT_GT(port, 0) << run.err();
    const auto p = static_cast<unsigned short>(port);
    const int bare = tcp_connect_loopback(p, 10000);
    ASSERT_GE(bare, 0);
    close(bare);
    const int chatty = tcp_connect_loopback(p, 10000);
    ASSERT_GE(chatty, 0);
    EXPECT_EQ(tcp_recv_n(chatty, 7, 30000), "AT+MID\n");
    ASSERT_TRUE(tcp_send_all(chatty, "HTTP/1.0 400 Bad Request\r\n\r\n"));
    EXPECT_TRUE(tcp_wait_closed(chatty, 30000));
    close(chatty);
    const auto named = [&] { return static_cast<int>(count_of(run.err(), "not a module: ")); };
    ASSERT_EQ(modcfg_child::wait_for([&] { return named() >= 2 ? 1 : 0; }, 30000), 1) << run.err();
    EXPECT_EQ(run.wait(200), -1) << "a peer that is no module ended the run";

    sim_process module;
    ASSERT_TRUE(module.start({"--tcp", to(port), "--set", "MID=REAL"}));
    EXPECT_EQ(run.wait(), 0) << run.err();
    const std::string csv = read_file("r.csv");
    EXPECT_EQ(lines_of(csv).size(), 2u) << csv;
    EXPECT_EQ(rows_with(csv, "REAL", "verified"), 1u) << csv;
    EXPECT_NE(run.out().find("modules done: 1, verified: 1, failed: 0"), std::string::npos)
        << run.out();
}

// A module restarted after its verify reconnects (as modules do): named
// once and let go. One that fails is tried again --retries times, then
// named and left alone.
TEST_F(ModcfgFaults, AReconnectingModuleIsConfiguredOnceAndAFailingOneRetried)
{
    write_file("set.txt", command_file);
    modcfg_child run;
    ASSERT_TRUE(run.start({"provision", "set.txt", "--listen", "127.0.0.1:0", "--loop", "--restart",
                           "--retries", "1", "--report", "r.csv"}));
    const int port = run.listen_port();
    ASSERT_GT(port, 0) << run.err();
    sim_process good, bad;
    ASSERT_TRUE(
        good.start({"--tcp", to(port), "--retry", "--set", "MID=GOOD", "--log", "good.log"}));
    ASSERT_TRUE(bad.start({"--tcp", to(port), "--retry", "--set", "MID=BAD", "--keep",
                           "WAP=11BGN,Old AP,Auto", "--log", "bad.log"}));
    const auto said = [&](const char *text) {
        return run.err().find(text) != std::string::npos ? 1 : 0;
    };
    ASSERT_EQ(modcfg_child::wait_for([&] { return said("MID GOOD already verified in this run"); },
                                     60000),
              1)
        << run.err();
    ASSERT_EQ(modcfg_child::wait_for(
                  [&] { return said("MID BAD failed 2 times in this run; left alone"); }, 60000),
              1)
        << run.err();
    // Let go with "AT+ENTM" and their connections kept: a module whose
    // link is closed connects again at once, and would be asked over and
    // over. Two seconds are ten of the emulator's reconnects. Each run asks
    // the MID twice (at connect, and after its read-back).
    const auto mids = [](const char *log) {
        return static_cast<int>(count_of(read_file(log), "AT+MID\\n"));
    };
    ASSERT_EQ(modcfg_child::wait_for(
                  [] { return read_file("bad.log").rfind("AT+ENTM") != std::string::npos; }, 30000),
              1);
    EXPECT_EQ(
        modcfg_child::wait_for([&] { return mids("good.log") > 3 || mids("bad.log") > 5; }, 2000),
        0)
        << read_file("good.log") << read_file("bad.log");
    run.signal(SIGINT);
    EXPECT_EQ(run.wait(30000), 1) << run.err();
    EXPECT_EQ(count_of(read_file("good.log"), "AT+WMODE="), 1u);
    EXPECT_EQ(count_of(read_file("bad.log"), "AT+WMODE="), 2u);
    EXPECT_EQ(count_of(run.err(), "already verified"), 1u) << run.err();
    EXPECT_EQ(count_of(run.err(), "left alone"), 1u) << run.err();
    const std::string csv = read_file("r.csv");
    EXPECT_EQ(lines_of(csv).size(), 4u) << csv;
    EXPECT_EQ(rows_with(csv, "GOOD", "verified"), 1u) << csv;
    EXPECT_EQ(rows_with(csv, "BAD", "mismatch"), 2u) << csv;
}

// The same on ports: a module verified on one port and then put on
// another is named and let go there, with nothing set.
TEST_F(ModcfgFaults, AModuleDoneOnOnePortIsNotConfiguredOnAnother)
{
    write_file("set.txt", command_file);
    const std::string a = dir.path() + "/fixture-a", b = dir.path() + "/fixture-b";
    sim_process first;
    ASSERT_TRUE(first.start_pty({"--link", a, "--mode", "command", "--set", "MID=MOVED"}));
    auto empty = std::make_unique<sim_process>();
    ASSERT_TRUE(empty->start_pty({"--link", b, "--silent"}));
    modcfg_child run;
    ASSERT_TRUE(run.start(
        {"provision", "set.txt", "--port", a, "--port", b, "--loop", "--report", "r.csv"}));
    ASSERT_EQ(
        modcfg_child::wait_for([] { return lines_of(read_file("r.csv")).size() == 2; }, 60000), 1)
        << run.err();
    empty.reset();
    sim_process moved;
    ASSERT_TRUE(moved.start_pty(
        {"--link", b, "--mode", "command", "--set", "MID=MOVED", "--log", "moved.log"}));
    ASSERT_EQ(modcfg_child::wait_for(
                  [&] { return run.err().find("MID MOVED already verified") != std::string::npos; },
                  60000),
              1)
        << run.err();
    ASSERT_EQ(
        modcfg_child::wait_for(
            [] { return read_file("moved.log").find("AT+ENTM") != std::string::npos; }, 30000),
        1);
    run.signal(SIGINT);
    EXPECT_EQ(run.wait(30000), 0) << run.err();
    EXPECT_EQ(read_file("moved.log").find("AT+WMODE="), std::string::npos)
        << read_file("moved.log");
    EXPECT_EQ(lines_of(read_file("r.csv")).size(), 2u) << read_file("r.csv");
}

// A module that stops answering while its pty stays open (pulled from the
// fixture, adapter still plugged): 30 s without a byte and it is gone;
// nothing more is sent, and no value is made up for it.
TEST_F(ModcfgFaults, AModuleThatGoesSilentIsGivenUp)
{
    write_file("set.txt", command_file);
    sim_process sim;
    // Answered: two probes, the echo test, MID, VER, the five lines; the
    // read-back gets nothing.
    ASSERT_TRUE(sim.start_pty(
        {"--mode", "command", "--set", "MID=MUTE", "--silent-after", "10", "--log", "frames.log"}));
    const ran r =
        modcfg({"provision", "set.txt", "--port", sim.pty_path(), "--report", "r.csv"}, 120000);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(sim.running()) << "the pty went away";
    const std::string csv = read_file("r.csv");
    EXPECT_EQ(rows_with(csv, "MUTE", "link-lost"), 1u) << csv;
    EXPECT_NE(csv.find("no answer"), std::string::npos) << csv;
    EXPECT_EQ(r.out.find("holds \"\""), std::string::npos) << r.out;
    const std::string frames = read_file("frames.log");
    EXPECT_EQ(count_of(frames, "\n"), 11u) << frames; // a query unanswered for 30 s
    EXPECT_EQ(frames.find("AT+ENTM"), std::string::npos) << frames;

    // A read prints what it got and names what it did not.
    sim_process half;
    ASSERT_TRUE(half.start_pty({"--mode", "command", "--silent-after", "7"}));
    const ran rd = modcfg({"read", "--port", half.pty_path()}, 120000);
    EXPECT_EQ(rd.status, 1) << rd.err;
    EXPECT_EQ(lines_of(rd.out).size(), 3u) << rd.out; // MID, WMODE, TMODE
    EXPECT_EQ(rd.out.compare(0, 11, "MID QX-B27\n"), 0) << rd.out;
    EXPECT_NE(rd.err.find("no answer to AT+WEBU, AT+VER"), std::string::npos) << rd.err;
}

// A peer that answers, then drips its replies a byte every 150 ms: the
// module's deadline ends it.
TEST_F(ModcfgFaults, ASlowPeerIsEndedAtTheModuleDeadline)
{
    write_file("set.txt", command_file);
    modcfg_child run;
    ASSERT_TRUE(run.start({"provision", "set.txt", "--listen", "127.0.0.1:0", "--module-timeout",
                           "4", "--report", "r.csv"}));
    const int port = run.listen_port();
    ASSERT_GT(port, 0) << run.err();
    sim_process drip;
    ASSERT_TRUE(drip.start({"--tcp", to(port), "--set", "MID=DRIP", "--byte-gap", "150"}));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run.wait(), 1) << run.err();
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The reply read under way when time is up still ends by its own bound.
    EXPECT_LT(took, 30.0);
    const std::string csv = read_file("r.csv");
    EXPECT_EQ(rows_with(csv, "DRIP", "link-lost"), 1u) << csv;
    EXPECT_NE(csv.find("took longer than 4 s"), std::string::npos) << csv;
}

// Lines none of which can be read back: every "+ok" came, nothing is
// verified; that is done, and said as it is.
TEST_F(ModcfgFaults, AFileWithNothingToReadBackIsAcknowledged)
{
    write_file("echo.txt", "AT+E\r\nAT+E\r\nE\r\n");
    write_file("one.txt", "AT+E\r\nE\r\n");
    sim_process sim;
    ASSERT_TRUE(sim.start_pty({"--mode", "command", "--set", "MID=ECHO"}));
    const ran r =
        modcfg({"provision", "echo.txt", "--port", sim.pty_path(), "--report", "r.csv"}, 60000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(rows_with(read_file("r.csv"), "ECHO", "acknowledged"), 1u) << read_file("r.csv");
    EXPECT_NE(r.out.find("modules done: 1, verified: 0, acknowledged: 1, failed: 0"),
              std::string::npos)
        << r.out;

    sim_process other;
    ASSERT_TRUE(other.start_pty({"--mode", "command", "--set", "MID=ONE"}));
    const ran one = modcfg({"apply", "--verbose", "--port", other.pty_path(), "one.txt"}, 60000);
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_NE(one.err.find(": apply 1 line\n"), std::string::npos) << one.err;
    // The core's console lines come in pieces, from another process: each
    // still stands on a line of its own.
    size_t console_lines = 0;
    for (const auto &line : lines_of(one.err))
        if (line.find("Connect to Module") != std::string::npos ||
            line.find("Send Command") != std::string::npos) {
            console_lines++;
            EXPECT_EQ(line.compare(0, other.pty_path().size() + 2, other.pty_path() + ": "), 0)
                << one.err;
        }
    EXPECT_EQ(console_lines, 2u) << one.err;
    EXPECT_NE(one.err.find("Connect to Module"), std::string::npos) << one.err;
    // verify sends nothing: with nothing to read back, nothing was checked.
    const ran v = modcfg({"verify", "--port", other.pty_path(), "one.txt"}, 60000);
    EXPECT_EQ(v.status, 1) << v.err;
    EXPECT_NE(v.out.find("unverifiable"), std::string::npos) << v.out;
}

// A second Ctrl-C ends the run at once, but not before the module in
// progress was let go; its record says so.
TEST_F(ModcfgFaults, ASecondCtrlCStillLetsTheModuleGo)
{
    write_file("set.txt", command_file);
    sim_process slow;
    ASSERT_TRUE(slow.start_pty(
        {"--mode", "command", "--set", "MID=SLOW", "--delay", "300", "--log", "slow.log"}));
    modcfg_child run;
    ASSERT_TRUE(run.start({"provision", "set.txt", "--port", slow.pty_path(), "--report", "r.csv",
                           "--db", "sqlite:h.db"}));
    ASSERT_EQ(
        modcfg_child::wait_for(
            [] { return read_file("slow.log").find("AT+WMODE=") != std::string::npos ? 1 : 0; },
            30000),
        1);
    run.signal(SIGINT);
    ASSERT_EQ(modcfg_child::wait_for(
                  [&] { return run.err().find("again to stop now") != std::string::npos ? 1 : 0; },
                  30000),
              1);
    run.signal(SIGINT);
    EXPECT_EQ(run.wait(10000), 1) << run.err();
    ASSERT_EQ(modcfg_child::wait_for(
                  [] { return read_file("slow.log").find("AT+ENTM") != std::string::npos ? 1 : 0; },
                  5000),
              1)
        << read_file("slow.log");
    EXPECT_EQ(rows_with(read_file("r.csv"), "SLOW", "interrupted"), 1u) << read_file("r.csv");
    // The record lists as sent only lines the module got (one may still
    // have been on its way), none read back.
    const ran h = modcfg({"history", "--db", "sqlite:h.db", "--json"});
    const size_t got = count_of(read_file("slow.log"), "=");
    EXPECT_LE(count_of(h.out, "\"sent\":"), got) << h.out;
    EXPECT_GE(count_of(h.out, "\"sent\":") + 1, got) << h.out;
    EXPECT_EQ(count_of(h.out, "\"held\":\""), 0u) << h.out;
    EXPECT_NE(h.out.find("stopped by a second Ctrl-C: sent "), std::string::npos) << h.out;
}

// The terminal hung up: the module in progress is finished and recorded,
// as after one Ctrl-C.
TEST_F(ModcfgFaults, AHangUpFinishesTheModuleInProgress)
{
    write_file("set.txt", command_file);
    sim_process slow;
    ASSERT_TRUE(slow.start_pty(
        {"--mode", "command", "--set", "MID=HUP", "--delay", "100", "--log", "hup.log"}));
    modcfg_child run;
    ASSERT_TRUE(
        run.start({"provision", "set.txt", "--port", slow.pty_path(), "--report", "r.csv"}));
    ASSERT_TRUE(modcfg_child::poll_until(
        [] { return read_file("hup.log").find("AT+WMODE=") != std::string::npos; }));
    run.signal(SIGHUP);
    EXPECT_EQ(run.wait(60000), 0) << run.err();
    EXPECT_EQ(rows_with(read_file("r.csv"), "HUP", "verified"), 1u) << read_file("r.csv");
    EXPECT_TRUE(modcfg_child::poll_until(
        [] { return read_file("hup.log").rfind("AT+ENTM\\n") != std::string::npos; }, 5000));
}

// A refused line is an answer, at either timing: named with the module's
// code at once. Every end lets the module go, its deadline too.
TEST_F(ModcfgFaults, ARefusedLineIsAnsweredAtOnceAndEveryEndLetsTheModuleGo)
{
    write_file("set.txt", command_file);
    sim_process no;
    ASSERT_TRUE(no.start_pty(
        {"--mode", "command", "--refuse", "WMODE", "--refuse", "TCPTO=-3", "--log", "no.log"}));
    const auto start = std::chrono::steady_clock::now();
    // Each refusal took 40 tries at the module's own timing: 36 s.
    const ran r = modcfg(
        {"provision", "set.txt", "--strict-timing", "--port", no.pty_path(), "--report", "r.csv"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.out.find("not acknowledged: AT+WMODE=STA (+ERR=-4)"), std::string::npos) << r.out;
    EXPECT_NE(read_file("r.csv").find("not acknowledged: AT+TCPTO=120 (+ERR=-3)"),
              std::string::npos);
    const auto released = [](const char *log) {
        return modcfg_child::poll_until(
            [&] { return read_file(log).rfind("AT+ENTM\\n") != std::string::npos; }, 5000);
    };
    EXPECT_TRUE(released("no.log")) << read_file("no.log");
    sim_process late;
    ASSERT_TRUE(late.start_pty({"--mode", "command", "--late", "300", "--log", "late.log"}));
    const ran l =
        modcfg({"provision", "set.txt", "--port", late.pty_path(), "--module-timeout", "2"});
    EXPECT_NE(l.out.find("took longer than 2 s"), std::string::npos) << l.out;
    EXPECT_TRUE(released("late.log")) << read_file("late.log");
}

// Another module put in place during the run (MID read again at the end):
// link-lost, and nothing recorded as held or verified for either.
TEST_F(ModcfgFaults, AModuleSwappedMidRunVerifiesNothing)
{
    write_file("set.txt", command_file);
    sim_process sim;
    // Frames: the probe, the echo test, MID, VER, then three lines.
    ASSERT_TRUE(
        sim.start_pty({"--mode", "command", "--set", "MID=FIRST", "--swap-after", "7=SECOND"}));
    const ran r = modcfg({"provision", "set.txt", "--port", sim.pty_path(), "--db", "sqlite:h.db"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.out.find("link-lost"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("module changed: FIRST \u2192 SECOND"), std::string::npos) << r.out;
    const ran h = modcfg({"history", "--db", "sqlite:h.db", "--json"});
    EXPECT_EQ(h.out.find("verified"), std::string::npos) << h.out;
    EXPECT_EQ(count_of(h.out, "\"held\":null"), 5u) << h.out;
}

// Two fixtures holding modules of one MID at once: the second is a failed
// result of its own, named, and gets nothing.
TEST_F(ModcfgFaults, TwoModulesWithOneMidAtOnceMakeADuplicate)
{
    write_file("set.txt", command_file);
    sim_process a, b;
    for (auto *s : {&a, &b})
        ASSERT_TRUE(s->start_pty({"--mode", "command", "--set", "MID=TWIN", "--delay", "50",
                                  "--log", s == &a ? "a.log" : "b.log"}));
    const ran r = modcfg({"provision", "set.txt", "--port", a.pty_path(), "--port", b.pty_path(),
                          "--report", "r.csv"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.out.find("modules done: 2, verified: 1, failed: 1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("duplicate-mid"), std::string::npos) << r.out;
    EXPECT_EQ(rows_with(read_file("r.csv"), "TWIN", "duplicate-mid"), 1u) << read_file("r.csv");
    EXPECT_EQ(count_of(read_file("a.log") + read_file("b.log"), "AT+WMODE="), 1u);
}

// --loop waits for modules; Ctrl-C before any came is no failure, on
// ports and on connections alike.
TEST_F(ModcfgFaults, ALoopStoppedBeforeAnyModuleEndsAlike)
{
    write_file("set.txt", command_file);
    sim_process silent;
    ASSERT_TRUE(silent.start_pty({"--silent"}));
    const std::vector<std::vector<std::string>> runs = {
        {"provision", "set.txt", "--port", silent.pty_path(), "--loop"},
        {"provision", "set.txt", "--listen", "127.0.0.1:0", "--loop"},
    };
    for (const auto &args : runs) {
        modcfg_child run;
        ASSERT_TRUE(run.start(args));
        const char *waits = args[2] == "--listen" ? "listening on" : "waiting for a module";
        ASSERT_EQ(modcfg_child::wait_for(
                      [&] { return run.err().find(waits) != std::string::npos ? 1 : 0; }, 60000),
                  1)
            << run.err();
        run.signal(SIGINT);
        EXPECT_EQ(run.wait(60000), 0) << args[2] << " " << run.err();
    }
}

// More ports than the terminal has rows: the live lines keep to the rows
// there are (lines that scroll off could never be moved back over), and
// say how many are not shown.
TEST_F(ModcfgFaults, TheLiveViewKeepsToTheTerminalsRows)
{
    write_file("set.txt", command_file);
    std::vector<std::unique_ptr<sim_process>> sims;
    std::vector<std::string> args = {MODCFG_CLI_BIN, "provision", "set.txt", "--loop"};
    for (int i = 0; i < 5; i++) {
        sims.push_back(std::make_unique<sim_process>());
        ASSERT_TRUE(sims.back()->start_pty({"--silent"}));
        args.push_back("--port");
        args.push_back(sims.back()->pty_path());
    }
    pty_pair term;
    ASSERT_TRUE(term.ok());
    winsize ws{};
    ws.ws_row = 4;
    ws.ws_col = 100;
    ASSERT_EQ(ioctl(term.master(), TIOCSWINSZ, &ws), 0);
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // Its records go to the test's own directory, never the user's history.
    std::vector<std::string> env_text = {"TERM=xterm", "PATH=/usr/bin:/bin",
                                         "XDG_DATA_HOME=" + dir.path(), "HOME=" + dir.path()};
    std::vector<char *> envp;
    for (auto &e : env_text)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "run.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, term.slave(), 2);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&fa);
    std::string shown;
    const auto until = [&](const std::function<bool()> &done, int timeout_ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!done() && std::chrono::steady_clock::now() < end)
            shown += term.recv(4096, 50);
        return done();
    };
    EXPECT_TRUE(until([&] { return shown.find("... and 3 more") != std::string::npos; }, 60000))
        << shown;
    kill(pid, SIGINT);
    int status = -1;
    bool ended = false;
    EXPECT_TRUE(
        until([&] { return ended || (ended = waitpid(pid, &status, WNOHANG) == pid); }, 60000))
        << shown;
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
    // Every redraw moves up over at most the three lines a 4-row terminal
    // leaves, and draws no more.
    const std::regex up("\033\\[([0-9]+)A");
    size_t moves = 0;
    for (auto it = std::sregex_iterator(shown.begin(), shown.end(), up);
         it != std::sregex_iterator(); ++it, moves++)
        EXPECT_LE(std::stoi((*it)[1]), 3) << shown;
    EXPECT_GT(moves, 0u) << shown;
}

} // namespace
