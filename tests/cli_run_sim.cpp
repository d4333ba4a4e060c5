// The modcfg program against emulated modules on ptys and as TCP clients:
// read, export and apply, read-back, provisioning several modules at once,
// the loop, the report, and the exit statuses.
#include "console.h"
#include "modcfg_child.h"
#include "sim_process.h"
#include "tcp_peer.h"
#include "temp_dir.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <iterator>
#include <json-glib/json-glib.h>
#include <map>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace
{

using state_map = std::map<std::string, std::string>;

size_t count_gone(const std::string &err)
{
    size_t n = 0;
    for (size_t at = err.find("the port is gone"); at != std::string::npos;
         at = err.find("the port is gone", at + 1))
        n++;
    return n;
}

// Settings away from the emulator's defaults: a module someone configured.
const std::vector<std::pair<std::string, std::string>> golden = {
    {"WMODE", "STA"},
    {"WAP", "11N,Line AP,CH6"},
    {"WSSSID", "Factory net"},
    {"WSKEY", "WPA2PSK,AES,secret123"},
    {"WANN", "Static,192.168.5.20,255.255.255.0,192.168.5.1"},
    {"TCPTO", "120"},
    {"NETP", "TCP,Client,9000,server.example.com"},
};

std::vector<std::string> with_sets(std::vector<std::string> args,
                                   const std::vector<std::pair<std::string, std::string>> &sets)
{
    for (const auto &s : sets) {
        args.push_back("--set");
        args.push_back(s.first + "=" + s.second);
    }
    return args;
}

class Modcfg : public ::testing::Test
{
  protected:
    temp_cwd dir;
};

TEST_F(Modcfg, ReadGivesTheNineteenValuesAsLinesAndAsJson)
{
    sim_process sim;
    // From transparent mode: the probes, then the "+++" handshake.
    ASSERT_TRUE(sim.start_pty(with_sets({"--state", "m.state"}, golden)));
    const state_map held = sim_read_state("m.state");
    ASSERT_EQ(held.size(), 19u);

    // Every value as the module holds it, keys included.
    const ran plain = modcfg({"read", "--port", sim.pty_path(), "--show-secrets"});
    ASSERT_EQ(plain.status, 0) << plain.err;
    state_map got;
    for (const auto &line : lines_of(plain.out)) {
        const size_t sp = line.find(' ');
        got[line.substr(0, sp)] = line.substr(sp + 1);
    }
    EXPECT_EQ(got, held);

    const ran js =
        modcfg({"read", "--quiet", "--json", "--port", sim.pty_path(), "--show-secrets"});
    ASSERT_EQ(js.status, 0) << js.err;
    EXPECT_EQ(js.err, "");
    JsonParser *p = json_parser_new();
    ASSERT_TRUE(json_parser_load_from_data(p, js.out.c_str(), -1, nullptr)) << js.out;
    JsonObject *o = json_node_get_object(json_parser_get_root(p));
    state_map from_json;
    GList *names = json_object_get_members(o);
    for (GList *n = names; n; n = n->next) {
        const char *name = static_cast<const char *>(n->data);
        from_json[name] = json_object_get_string_member(o, name);
    }
    g_list_free(names);
    g_object_unref(p);
    EXPECT_EQ(from_json, held);
    // Each read let the module go: it is back in transparent mode.
    EXPECT_EQ(sim_read_state("m.state"), held);
}

// Export from a golden module on a pty, apply to another that connects over
// TCP: the second becomes the first's copy.
TEST_F(Modcfg, ExportThenApplyMakesTheSecondModuleACopy)
{
    sim_process gold;
    ASSERT_TRUE(gold.start_pty(with_sets({"--mode", "command", "--state", "gold.state"}, golden)));
    const ran ex = modcfg({"export", "--port", gold.pty_path(), "-o", "copy.txt"});
    ASSERT_EQ(ex.status, 0) << ex.err;
    const std::string file = read_file("copy.txt");
    EXPECT_EQ(file.substr(0, 14), "AT+WMODE=STA\r\n");
    EXPECT_EQ(file.substr(file.size() - 3), "E\r\n");
    EXPECT_EQ(lines_of(file).size(), 18u) << file; // 17 writable settings and "E"
    EXPECT_EQ(ex.err.find("not in the window's list"), std::string::npos) << ex.err;

    modcfg_child apply;
    ASSERT_TRUE(apply.start({"apply", "--listen", "127.0.0.1:0", "copy.txt"}));
    const int port = apply.listen_port();
    ASSERT_GT(port, 0) << apply.err();
    sim_process copy;
    ASSERT_TRUE(
        copy.start({"--tcp", "127.0.0.1:" + std::to_string(port), "--state", "copy.state"}));
    ASSERT_EQ(apply.wait(), 0) << apply.err();
    EXPECT_NE(apply.out().find("verified"), std::string::npos) << apply.out();
    EXPECT_EQ(read_file("copy.state"), read_file("gold.state"));
}

TEST_F(Modcfg, ReadBackNamesTheSettingAModuleKeptDespiteItsOk)
{
    write_file("set.txt", command_file);
    const std::vector<std::string> keep = {"--keep", "WAP=11BGN,Old AP,Auto"};
    const std::string named =
        "mismatch WAP: sent \"11N,Line AP,CH6\", module holds \"11BGN,Old AP,Auto\"";

    // apply: every line acknowledged, one setting not held.
    modcfg_child apply;
    ASSERT_TRUE(apply.start({"apply", "--listen", "127.0.0.1:0", "set.txt"}));
    const int port = apply.listen_port();
    ASSERT_GT(port, 0) << apply.err();
    sim_process tcp;
    std::vector<std::string> args = {"--tcp", "127.0.0.1:" + std::to_string(port)};
    args.insert(args.end(), keep.begin(), keep.end());
    ASSERT_TRUE(tcp.start(args));
    ASSERT_EQ(apply.wait(), 1) << apply.err();
    EXPECT_NE(apply.out().find(named), std::string::npos) << apply.out();
    EXPECT_EQ(apply.out().find("mismatch TCPTO"), std::string::npos) << apply.out();

    // verify alone, on a pty: the same finding, nothing sent but queries.
    sim_process pty;
    std::vector<std::string> pargs = {"--mode", "command", "--log", "frames.log"};
    pargs.insert(pargs.end(), keep.begin(), keep.end());
    ASSERT_TRUE(pty.start_pty(pargs));
    const ran v = modcfg({"verify", "--port", pty.pty_path(), "set.txt"});
    EXPECT_EQ(v.status, 1) << v.err;
    EXPECT_NE(v.out.find(named), std::string::npos) << v.out;
    EXPECT_NE(v.out.find("mismatch WMODE"), std::string::npos) << v.out; // never applied here
    EXPECT_EQ(read_file("frames.log").find("AT+WAP="), std::string::npos);
}

// Three ports at once: a module that answers, one that is silent, one whose
// link drops in the middle of the apply.
TEST_F(Modcfg, ProvisionThreePortsRecordsEachModulesOwnResult)
{
    write_file("set.txt", command_file);
    sim_process good, silent, dropping;
    ASSERT_TRUE(good.start_pty({"--state", "good.state", "--set", "MID=GOOD0001"}));
    ASSERT_TRUE(silent.start_pty({"--silent"}));
    // Frames: two probes and the echo test, MID, VER, then three lines.
    ASSERT_TRUE(
        dropping.start_pty({"--mode", "command", "--set", "MID=DROP0003", "--drop-after", "6"}));
    const ran r =
        modcfg({"provision", "set.txt", "--port", good.pty_path(), "--port", silent.pty_path(),
                "--port", dropping.pty_path(), "--report", "report.csv"});
    EXPECT_EQ(r.status, 1) << r.err;
    const auto rows = lines_of(read_file("report.csv"));
    ASSERT_EQ(rows.size(), 4u) << read_file("report.csv");
    EXPECT_EQ(rows[0], "time,port,mid,version,result,seconds,mismatches,note");
    std::map<std::string, std::string> result_of;
    for (size_t i = 1; i < rows.size(); i++) {
        std::vector<std::string> f;
        gchar **parts = g_strsplit(rows[i].c_str(), ",", 6);
        for (gchar **p = parts; *p; p++)
            f.push_back(*p);
        g_strfreev(parts);
        ASSERT_GE(f.size(), 5u) << rows[i];
        result_of[f[1]] = f[4] + " " + f[2];
    }
    EXPECT_EQ(result_of[good.pty_path()], "verified GOOD0001");
    EXPECT_EQ(result_of[silent.pty_path()], "no-module ");
    EXPECT_NE(r.out.find("no answer at 57600 baud; try \"modcfg scan\" or --baud auto"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(result_of[dropping.pty_path()], "link-lost DROP0003");
    const state_map s = sim_read_state("good.state");
    EXPECT_EQ(s.at("WAP"), "11N,Line AP,CH6");
    EXPECT_EQ(s.at("WSKEY"), "WPA2PSK,AES,secret123");
    EXPECT_NE(r.out.find("modules done: 3, verified: 1, failed: 2"), std::string::npos) << r.out;
}

// --loop: the module on the port is swapped for one with another MID; it is
// provisioned too (with the file as it was checked). One with that same MID
// after the port was gone is named and let go (it was verified in this
// run), the next new one is provisioned; Ctrl-C ends the run cleanly.
TEST_F(Modcfg, LoopTakesTheNextModuleOnThePort)
{
    write_file("set.txt", command_file);
    const std::string port = dir.path() + "/fixture";
    auto first = std::make_unique<sim_process>();
    ASSERT_TRUE(first->start_pty({"--link", port, "--mode", "command", "--set", "MID=FIRST"}));
    modcfg_child loop;
    ASSERT_TRUE(
        loop.start({"provision", "set.txt", "--port", port, "--loop", "--report", "r.csv"}));
    auto records = [] { return static_cast<int>(lines_of(read_file("r.csv")).size()) - 1; };
    ASSERT_EQ(modcfg_child::wait_for([&] { return records() >= 1; }, 60000), 1) << loop.err();
    // The file as checked at the start is what every module gets, even when
    // it is emptied meanwhile (an editor saving it in place).
    write_file("set.txt", "E\r\n");
    first.reset();      // the operator takes the module off the fixture...
    sim_process second; // ...and puts the next one on
    ASSERT_TRUE(second.start_pty(
        {"--link", port, "--mode", "command", "--set", "MID=SECOND", "--state", "second.state"}));
    ASSERT_EQ(modcfg_child::wait_for([&] { return records() >= 2; }, 60000), 1) << loop.err();
    EXPECT_EQ(sim_read_state("second.state").at("WSSSID"), "Factory net");
    // The same MID again, after the port was gone meanwhile (an adapter
    // unplugged and plugged in again): done in this run, not again.
    const auto gone = [&] { return count_gone(loop.err()); };
    const size_t gone_before = gone();
    second.stop();
    // This worker's own look at the missing port, not an earlier one's.
    ASSERT_EQ(modcfg_child::wait_for([&] { return gone() > gone_before; }, 30000), 1) << loop.err();
    auto again = std::make_unique<sim_process>();
    ASSERT_TRUE(again->start_pty(
        {"--link", port, "--mode", "command", "--set", "MID=SECOND", "--log", "again.log"}));
    const auto said = [&] {
        return loop.err().find("MID SECOND already verified in this run") != std::string::npos;
    };
    ASSERT_EQ(modcfg_child::wait_for(said, 60000), 1) << loop.err();
    // Let go as it came, and nothing set.
    ASSERT_EQ(
        modcfg_child::wait_for(
            [] { return read_file("again.log").find("AT+ENTM") != std::string::npos; }, 30000),
        1);
    EXPECT_EQ(read_file("again.log").find("AT+WMODE="), std::string::npos);
    const size_t gone_again = gone();
    again.reset();
    ASSERT_EQ(modcfg_child::wait_for([&] { return gone() > gone_again; }, 30000), 1) << loop.err();
    sim_process third;
    ASSERT_TRUE(third.start_pty({"--link", port, "--mode", "command", "--set", "MID=THIRD"}));
    ASSERT_EQ(modcfg_child::wait_for([&] { return records() >= 3; }, 60000), 1) << loop.err();
    loop.signal(SIGINT);
    EXPECT_EQ(loop.wait(30000), 0) << loop.err();
    const auto rows = lines_of(read_file("r.csv"));
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_NE(rows[1].find(",FIRST,V1.0.7,verified,"), std::string::npos) << rows[1];
    EXPECT_NE(rows[2].find(",SECOND,V1.0.7,verified,"), std::string::npos) << rows[2];
    EXPECT_NE(rows[3].find(",THIRD,V1.0.7,verified,"), std::string::npos) << rows[3];
    EXPECT_EQ(count_of(loop.err(), "already verified"), 1u) << loop.err();
}

// The first module on a port is new whatever its MID, even none: it was
// taken for the one "done" before it and waited on for good. Without a MID
// (asked twice) it is no-mid, a failure, and is not worked on.
TEST_F(Modcfg, LoopTakesAFirstModuleWithoutMid)
{
    write_file("set.txt", command_file);
    sim_process sim;
    ASSERT_TRUE(sim.start_pty({"--mode", "command", "--set", "MID=", "--state", "m.state"}));
    const ran r = modcfg({"provision", "set.txt", "--port", sim.pty_path(), "--count", "1"}, 30000);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.out.find("no-mid"), std::string::npos) << r.out;
    EXPECT_EQ(sim_read_state("m.state").at("WSSSID"), "QX-B27_STA");
}

// A second Ctrl-C during the connect ends the run at once: the port got no
// module, which is no success. One is enough while nothing answered yet,
// and the port is left fit for the next run.
TEST_F(Modcfg, StoppedBeforeAModuleAnsweredIsNoSuccess)
{
    write_file("set.txt", command_file);
    sim_process silent; // the connect tries everything, for seconds
    ASSERT_TRUE(silent.start_pty({"--silent"}));
    modcfg_child read;
    ASSERT_TRUE(read.start({"read", "--strict-timing", "--port", silent.pty_path()}, "read"));
    ASSERT_TRUE(modcfg_child::poll_until(
        [&] { return read.err().find(": connect") != std::string::npos; }));
    read.signal(SIGINT);
    EXPECT_EQ(read.wait(5000), 1) << read.err(); // the strict connect alone takes far longer
    modcfg_child apply;
    ASSERT_TRUE(apply.start({"apply", "--strict-timing", "--port", silent.pty_path(), "set.txt"}));
    const auto said = [&](const char *text) {
        return apply.err().find(text) != std::string::npos ? 1 : 0;
    };
    ASSERT_EQ(modcfg_child::wait_for([&] { return said(": connect"); }, 30000), 1) << apply.err();
    apply.signal(SIGINT);
    ASSERT_EQ(modcfg_child::wait_for([&] { return said("again to stop now"); }, 30000), 1);
    apply.signal(SIGINT);
    EXPECT_EQ(apply.wait(30000), 1) << apply.err();
}

// --count 1 on two ports: once one module is under way, the other port's
// module, still being connected, is let go untouched.
TEST_F(Modcfg, CountEndsTheRunWithoutTouchingAnotherModule)
{
    write_file("set.txt", command_file);
    sim_process quick, slow;
    ASSERT_TRUE(quick.start_pty({"--mode", "command", "--set", "MID=QUICK"}));
    ASSERT_TRUE(slow.start_pty({"--mode", "command", "--delay", "300", "--log", "slow.log"}));
    const ran r = modcfg({"provision", "set.txt", "--port", quick.pty_path(), "--port",
                          slow.pty_path(), "--count", "1", "--report", "r.csv"});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto rows = lines_of(read_file("r.csv"));
    ASSERT_EQ(rows.size(), 2u) << read_file("r.csv");
    EXPECT_NE(rows[1].find(",QUICK,"), std::string::npos) << rows[1];
    EXPECT_EQ(read_file("slow.log").find("AT+WMODE="), std::string::npos) << read_file("slow.log");
}

// A module text holding a line feed would give the command file a line
// of its own: export refuses it, names the setting and writes nothing.
// What it writes is the user's alone; an existing file keeps its mode.
TEST_F(Modcfg, ExportWritesOnlyWhatTheModuleMeantAsCommands)
{
    sim_process bad;
    ASSERT_TRUE(bad.start_pty({"--mode", "command", "--set", "WSSSID=x\nAT+RELD"}));
    const ran refused = modcfg({"export", "--port", bad.pty_path(), "-o", "copy.txt"});
    EXPECT_EQ(refused.status, 1) << refused.err;
    EXPECT_NE(refused.err.find("export: the module's WSSSID holds a zero byte or control bytes; "
                               "no command file was written"),
              std::string::npos)
        << refused.err;
    struct stat st;
    EXPECT_NE(stat("copy.txt", &st), 0);
    EXPECT_NE(stat("copy.txt.new", &st), 0);
    const ran to_stdout = modcfg({"export", "--port", bad.pty_path()});
    EXPECT_EQ(to_stdout.status, 1) << to_stdout.err;
    EXPECT_EQ(to_stdout.out, "");

    sim_process good;
    ASSERT_TRUE(good.start_pty(with_sets({"--mode", "command"}, golden)));
    ASSERT_EQ(modcfg({"export", "--port", good.pty_path(), "-o", "copy.txt"}).status, 0);
    ASSERT_EQ(stat("copy.txt", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(read_file("copy.txt").find("AT+WSKEY=WPA2PSK,AES,secret123\r\n"), std::string::npos);
    ASSERT_EQ(chmod("copy.txt", 0640), 0);
    ASSERT_EQ(modcfg({"export", "--port", good.pty_path(), "-o", "copy.txt"}).status, 0);
    ASSERT_EQ(stat("copy.txt", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "narrowed, not copied";
    ASSERT_EQ(chmod("copy.txt", 0400), 0);
    ASSERT_EQ(modcfg({"export", "--port", good.pty_path(), "-o", "copy.txt"}).status, 0);
    ASSERT_EQ(stat("copy.txt", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0400u);
}

// Values outside the window's lists (its records would fall back to a
// default) are written as the module holds them, each named; a value that
// makes a line no frame holds is refused.
TEST_F(Modcfg, ExportWritesValuesTheWindowsListsLackAsTheModuleHoldsThem)
{
    const struct row {
        const char *name, *value, *named;
    } rows[] = {
        {"WAKEY", "WPA3SAE,AES,apkey12345", "WPA3SAE"},
        {"WSKEY", "WPA2PSK,CCMP,stakey123", "CCMP"},
        {"UART", "921600,8,1,None,NFC", "921600"},
        {"WMODE", "APSTA", "APSTA"},
        {"TMODE", "Modbus", "Modbus"},
        {"WAP", "11AC,Lab,CH36", "11AC"},
        {"WANN", "PPPoE,user,pass", "PPPoE"},
        {"DHCPGW", "", "\"\""},
    };
    std::vector<std::string> args{"--mode", "command"};
    for (const auto &r : rows)
        args.insert(args.end(), {"--set", std::string(r.name) + "=" + r.value});
    sim_process odd;
    ASSERT_TRUE(odd.start_pty(args));
    const ran ex = modcfg({"export", "--port", odd.pty_path()});
    EXPECT_EQ(ex.status, 0) << ex.err;
    for (const auto &r : rows) {
        EXPECT_NE(ex.out.find(std::string("AT+") + r.name + "=" + r.value + "\r\n"),
                  std::string::npos)
            << r.name << "\n"
            << ex.out;
        EXPECT_NE(ex.err.find(std::string(r.name) + ": " + r.named +
                              " is not in the window's list; written as the module holds it"),
                  std::string::npos)
            << ex.err;
    }
    EXPECT_EQ(count_of(ex.err, "not in the window's list"), std::size(rows)) << ex.err;

    sim_process far;
    ASSERT_TRUE(far.start_pty({"--mode", "command", "--set", "WSSSID=" + std::string(90, 's')}));
    const ran refused = modcfg({"export", "--port", far.pty_path(), "-o", "far.txt"});
    EXPECT_EQ(refused.status, 1) << refused.err;
    EXPECT_NE(refused.err.find("export: the module's WSSSID makes a line of 100 bytes"),
              std::string::npos)
        << refused.err;
    struct stat st;
    EXPECT_NE(stat("far.txt", &st), 0);
}

// A zero byte in a module's value is the module's: shown as \x00, never a
// value's end, so neither a read-back nor an export takes the front for the
// whole.
TEST_F(Modcfg, AZeroByteInAValueIsShownAndNeverTakenForItsEnd)
{
    sim_process zero;
    ASSERT_TRUE(zero.start_pty({"--mode", "command", "--set-bytes", "VER=1.0\\x00x", "--set-bytes",
                                "WSSSID=x\\x00AT+RELD"}));
    const std::string pty = zero.pty_path();
    const ran rd = modcfg({"read", "--port", pty});
    EXPECT_EQ(rd.status, 0) << rd.err;
    EXPECT_NE(rd.out.find("VER 1.0\\x00x\n"), std::string::npos) << rd.out;
    EXPECT_NE(rd.out.find("WSSSID x\\x00AT+RELD\n"), std::string::npos) << rd.out;
    EXPECT_NE(modcfg({"read", "--json", "--port", pty}).out.find(R"("VER":"1.0\\x00x")"),
              std::string::npos);

    const ran ex = modcfg({"export", "--port", pty, "-o", "zero.txt"});
    EXPECT_EQ(ex.status, 1) << ex.err;
    EXPECT_NE(ex.err.find("the module's WSSSID holds a zero byte"), std::string::npos) << ex.err;
    struct stat st;
    EXPECT_NE(stat("zero.txt", &st), 0);

    write_file("front.txt", "AT+WSSSID=x\r\nE\r\n");
    const ran v = modcfg({"verify", "--port", pty, "front.txt"});
    EXPECT_EQ(v.status, 1) << v.err;
    EXPECT_NE(v.out.find(R"(mismatch WSSSID: sent "x", module holds "x\x00AT+RELD")"),
              std::string::npos)
        << v.out;
}

// modcfg with standard output on a full device.
ran to_full(const std::vector<std::string> &args)
{
    // A port that is named but missing gives "ports" a line to write.
    std::string line =
        std::string("MODCFG_COM7=/dev/no-such-adapter exec '") + MODCFG_CLI_BIN + "'";
    for (const auto &a : args)
        line += " '" + a + "'";
    const int st = std::system((line + " >/dev/full 2>full.err").c_str());
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, "", read_file("full.err")};
}

// -o names a regular file (a link is followed), or "-"; the file is never
// more open than 0600. Results that cannot be written fail the command.
TEST_F(Modcfg, OutputFilesAreRegularFilesAndFailedWritesFail)
{
    sim_process sim;
    ASSERT_TRUE(sim.start_pty(with_sets({"--mode", "command"}, golden)));
    const std::string pty = sim.pty_path();
    write_file("real.txt", "old");
    ASSERT_EQ(chmod("real.txt", 0666), 0);
    ASSERT_EQ(symlink("real.txt", "link.txt"), 0);
    ASSERT_EQ(modcfg({"export", "--port", pty, "-o", "link.txt"}).status, 0);
    struct stat st;
    ASSERT_EQ(lstat("link.txt", &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat("real.txt", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(read_file("real.txt").find("AT+WSKEY=WPA2PSK,AES,secret123\r\n"), std::string::npos);
    const ran dash = modcfg({"export", "--port", pty, "-o", "-"});
    EXPECT_EQ(dash.status, 0) << dash.err;
    EXPECT_NE(dash.out.find("AT+WSKEY=WPA2PSK,AES,secret123\r\n"), std::string::npos);
    // No device node: a program without the check, run as root, would
    // replace it.
    ASSERT_EQ(mkfifo("fifo.txt", 0666), 0);
    ASSERT_EQ(symlink("fifo.txt", "to-fifo.txt"), 0);
    for (const char *target : {"fifo.txt", "to-fifo.txt", "."}) {
        const ran r = modcfg({"export", "--port", pty, "-o", target});
        EXPECT_EQ(r.status, 2) << target << " " << r.err;
        EXPECT_NE(r.err.find("not a regular file"), std::string::npos) << r.err;
    }
    ASSERT_EQ(stat("fifo.txt", &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    write_file("set.txt", command_file);
    const std::vector<std::vector<std::string>> commands = {
        {"export", "--port", pty},
        {"read", "--port", pty},
        {"provision", "set.txt", "--port", pty, "--db", "h.sqlite"},
        {"history", "--db", "h.sqlite"},
        {"ports"},
        {"scan", "--port", pty},
    };
    for (const auto &c : commands) {
        const ran r = to_full(c);
        EXPECT_EQ(r.status, 1) << c[0] << " " << r.err;
        EXPECT_NE(r.err.find("modcfg: standard output: No space left on device"), std::string::npos)
            << c[0] << " " << r.err;
    }
    const ran help = modcfg({"read", "--help"});
    EXPECT_NE(help.out.find("standard\noutput could not be written"), std::string::npos);
}

// A production line relies on the record: one that cannot be written (a
// full disk, here the file size limit) fails the run, though both modules
// are verified, and is said once. The part of a record that went in is
// taken back out, and the program is not killed by SIGXFSZ.
TEST_F(Modcfg, ARecordThatCannotBeWrittenFailsTheRun)
{
    write_file("set.txt", command_file);
    sim_process one, two;
    // Two modules, two MIDs: one MID is one module.
    ASSERT_TRUE(one.start_pty({"--mode", "command", "--set", "MID=ONE"}));
    ASSERT_TRUE(two.start_pty({"--mode", "command", "--set", "MID=TWO"}));
    // Earlier records, far more than the program's own output files hold.
    std::string before = "time,port,mid,version,result,seconds,mismatches,note\r\n";
    while (before.size() < 65536)
        before += "2024-05-01T14:03:07+02:00,COM3,0A1B2C,V1.0.7,verified,1.23,,\r\n";
    write_file("full.csv", before);
    rlimit old_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    rlimit limit = old_limit;
    limit.rlim_cur = before.size() + 40; // room for part of a record
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    modcfg_child run;
    const bool started = run.start({"provision", "set.txt", "--port", one.pty_path(), "--port",
                                    two.pty_path(), "--report", "full.csv"});
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old_limit), 0);
    ASSERT_TRUE(started);
    EXPECT_EQ(run.wait(), 1) << run.err();
    EXPECT_NE(run.out().find("modules done: 2, verified: 2, failed: 0"), std::string::npos)
        << run.out();
    EXPECT_EQ(count_of(run.err(), "report: full.csv: File too large"), 1u) << run.err();
    EXPECT_TRUE(read_file("full.csv") == before) << "the file does not end on a whole record";
}

// What a process's descriptors lead to.
std::vector<std::string> open_files(pid_t pid)
{
    std::vector<std::string> out;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    GDir *d = g_dir_open(dir.c_str(), 0, nullptr);
    if (!d)
        return out;
    while (const char *name = g_dir_read_name(d)) {
        char target[4096];
        const ssize_t n = readlink((dir + "/" + name).c_str(), target, sizeof target - 1);
        if (n > 0)
            out.emplace_back(target, static_cast<size_t>(n));
    }
    g_dir_close(d);
    return out;
}

// Another program holding the report's lock holds no module up: results
// still come, workers still start; the records follow once it lets go.
// Workers hold neither the report nor the results' output.
TEST_F(Modcfg, ReportLockHeldElsewhereStopsNothing)
{
    write_file("set.txt", command_file);
    sim_process one, two;
    ASSERT_TRUE(one.start_pty({"--mode", "command", "--set", "MID=ONE"}));
    ASSERT_TRUE(two.start_pty({"--mode", "command", "--set", "MID=TWO"}));
    write_file("r.csv", "");
    ASSERT_EQ(chmod("r.csv", 0640), 0);
    const int held = open("r.csv", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    modcfg_child run;
    ASSERT_TRUE(run.start({"provision", "set.txt", "--port", one.pty_path(), "--port",
                           two.pty_path(), "--loop", "--report", "r.csv"}));
    ASSERT_EQ(modcfg_child::wait_for([&] { return count_of(run.out(), " verified ") == 2; }, 60000),
              1)
        << run.out() << run.err();
    EXPECT_EQ(read_file("r.csv"), "");
    // The loop started the next module's workers meanwhile.
    std::vector<pid_t> workers;
    ASSERT_EQ(modcfg_child::wait_for(
                  [&] {
                      std::istringstream in(read_file("/proc/" + std::to_string(run.pid()) +
                                                      "/task/" + std::to_string(run.pid()) +
                                                      "/children"));
                      workers.clear();
                      for (pid_t p; in >> p;)
                          workers.push_back(p);
                      return workers.size() == 2 ? 1 : 0;
                  },
                  30000),
              1);
    // A worker lets them go right after the fork: given a moment under load.
    const std::string report = dir.path() + "/r.csv", out = dir.path() + "/modcfg.out";
    std::string held_by;
    EXPECT_EQ(modcfg_child::wait_for(
                  [&] {
                      held_by.clear();
                      for (pid_t w : workers)
                          for (const auto &f : open_files(w))
                              if (f == report || f == out)
                                  held_by += "worker " + std::to_string(w) + ": " + f + "\n";
                      return held_by.empty() ? 1 : 0;
                  },
                  10000),
              1)
        << held_by;
    flock(held, LOCK_UN);
    close(held);
    ASSERT_EQ(
        modcfg_child::wait_for([] { return lines_of(read_file("r.csv")).size() == 3; }, 30000), 1)
        << read_file("r.csv");
    run.signal(SIGINT);
    EXPECT_EQ(run.wait(30000), 0) << run.err();
    struct stat st;
    ASSERT_EQ(stat("r.csv", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u) << "an existing report keeps its mode";

    // A lock never given up holds the run's end until the operator gives
    // the records up: the run fails, and says why.
    const int stuck = open("r.csv", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(stuck, 0);
    ASSERT_EQ(flock(stuck, LOCK_EX), 0);
    modcfg_child last;
    ASSERT_TRUE(
        last.start({"provision", "set.txt", "--port", one.pty_path(), "--report", "r.csv"}, "last"));
    ASSERT_EQ(modcfg_child::wait_for(
                  [&] { return last.err().find("waiting for the report's lock") != std::string::npos; },
                  60000),
              1)
        << last.err();
    last.signal(SIGINT);
    EXPECT_EQ(last.wait(1000), -1) << "one Ctrl-C gave the records up";
    last.signal(SIGINT);
    EXPECT_EQ(last.wait(30000), 1) << last.err();
    EXPECT_NE(last.err().find("report: r.csv: its lock was not given up by another program"),
              std::string::npos)
        << last.err();
    close(stuck);
}

// --allow: a peer outside every allowed network is closed at once, sent
// nothing and named; it is no module, so the run waits on for one.
TEST_F(Modcfg, ListenTakesModulesOnlyFromTheAllowedNetworks)
{
    write_file("set.txt", command_file);
    modcfg_child run;
    ASSERT_TRUE(run.start({"provision", "set.txt", "--listen", "127.0.0.1:0", "--allow",
                           "10.0.0.0/8", "--allow", "127.0.0.1", "--report", "r.csv"}));
    const int port = run.listen_port();
    ASSERT_GT(port, 0) << run.err();
    const int stranger =
        tcp_connect_from("127.0.0.5", "127.0.0.1", static_cast<unsigned short>(port));
    ASSERT_GE(stranger, 0);
    sockaddr_in end{};
    socklen_t len = sizeof end;
    getsockname(stranger, reinterpret_cast<sockaddr *>(&end), &len);
    EXPECT_EQ(tcp_recv_n(stranger, 64, 10000), "");
    EXPECT_TRUE(tcp_wait_closed(stranger, 100)) << "the stranger's connection stays open";
    close(stranger);
    const std::string named = "modcfg: refused 127.0.0.5:" + std::to_string(ntohs(end.sin_port)) +
                              ": not in an allowed network\n";
    EXPECT_NE(run.err().find(named), std::string::npos) << run.err();

    sim_process module;
    ASSERT_TRUE(module.start({"--tcp", "127.0.0.1:" + std::to_string(port), "--set", "MID=OURS"}));
    EXPECT_EQ(run.wait(), 0) << run.err();
    const auto rows = lines_of(read_file("r.csv"));
    ASSERT_EQ(rows.size(), 2u) << read_file("r.csv");
    EXPECT_NE(rows[1].find(",OURS,V1.0.7,verified,"), std::string::npos) << rows[1];
}

// Connections beyond the cap wait in the listen queue: the next is served
// only once a worker ended. The cap is 1 here, 32 in use.
TEST_F(Modcfg, ListenServesAtMostTheCapAtOnce)
{
    write_file("set.txt", command_file);
    modcfg_child run;
    // At the module's timing a silent module holds its worker for seconds.
    ASSERT_TRUE(run.start({"provision", "set.txt", "--listen", "127.0.0.1:0", "--count", "2",
                           "--strict-timing", "--max-workers", "1"}));
    const int port = run.listen_port();
    ASSERT_GT(port, 0) << run.err();
    const auto to = static_cast<unsigned short>(port);
    const int first = tcp_connect_loopback(to, 10000);
    ASSERT_GE(first, 0);
    EXPECT_EQ(tcp_recv_n(first, 6, 30000), "AT+MID");
    const int second = tcp_connect_loopback(to, 10000);
    ASSERT_GE(second, 0);
    EXPECT_EQ(tcp_recv_n(second, 6, 1000), "") << "served beside the first";
    close(first); // its worker ends on the lost link
    EXPECT_EQ(tcp_recv_n(second, 6, 30000), "AT+MID");
    close(second);
    // Ctrl-C twice rather than the second worker's seconds of tries.
    run.signal(SIGINT);
    ASSERT_EQ(modcfg_child::wait_for(
                  [&] { return run.err().find("again to stop now") != std::string::npos; }, 30000),
              1)
        << run.err();
    run.signal(SIGINT);
    EXPECT_EQ(run.wait(), 1) << run.err();
    // Neither told a MID: no module, nothing recorded or counted.
    EXPECT_NE(run.out().find("modules done: 0, verified: 0, failed: 0"), std::string::npos)
        << run.out();
    EXPECT_GE(count_of(run.err(), "not a module: 127.0.0.1:"), 1u) << run.err();
}

// The report is appended record by record: killing the program in the
// middle of a module loses that module's record only.
TEST_F(Modcfg, ReportKeepsEarlierRecordsWhenTheProgramIsKilled)
{
    write_file("set.txt", command_file);
    modcfg_child run;
    ASSERT_TRUE(run.start(
        {"provision", "set.txt", "--listen", "127.0.0.1:0", "--loop", "--report", "r.csv"}));
    const int port = run.listen_port();
    ASSERT_GT(port, 0) << run.err();
    const std::string to = "127.0.0.1:" + std::to_string(port);
    sim_process fast;
    ASSERT_TRUE(fast.start({"--tcp", to, "--set", "MID=KEPT"}));
    ASSERT_EQ(
        modcfg_child::wait_for([] { return lines_of(read_file("r.csv")).size() == 2; }, 30000), 1);
    const std::string before = read_file("r.csv");
    sim_process slow; // half a second per reply: still applying when killed
    ASSERT_TRUE(
        slow.start({"--tcp", to, "--set", "MID=LOST", "--delay", "500", "--log", "slow.log"}));
    ASSERT_EQ(
        modcfg_child::wait_for(
            [] { return read_file("slow.log").find("AT+WMODE=") != std::string::npos; }, 30000),
        1);
    run.signal(SIGKILL);
    run.wait();
    EXPECT_EQ(read_file("r.csv"), before);

    // A new run appends below, without a second header. --quiet drops the
    // progress, not the port the system chose: a script needs it.
    modcfg_child again;
    ASSERT_TRUE(again.start(
        {"provision", "set.txt", "--listen", "127.0.0.1:0", "--quiet", "--report", "r.csv"},
        "again"));
    const int port2 = again.listen_port();
    ASSERT_GT(port2, 0) << again.err();
    sim_process next;
    ASSERT_TRUE(next.start({"--tcp", "127.0.0.1:" + std::to_string(port2), "--set", "MID=NEXT"}));
    EXPECT_EQ(again.wait(), 0) << again.err();
    EXPECT_EQ(again.err(), "modcfg: listening on 127.0.0.1:" + std::to_string(port2) + "\n");
    const std::string after = read_file("r.csv");
    ASSERT_EQ(after.compare(0, before.size(), before), 0);
    const auto rows = lines_of(after);
    ASSERT_EQ(rows.size(), 3u) << after;
    EXPECT_NE(rows[2].find(",NEXT,V1.0.7,verified,"), std::string::npos) << rows[2];
}

// Keys and the web password stay off the console and out of the report;
// the values are still compared whole, and --show-secrets shows them.
TEST_F(Modcfg, SecretsAreMaskedInLinesAndRecords)
{
    write_file("set.txt", command_file);
    sim_process sim;
    ASSERT_TRUE(sim.start_pty({"--mode", "command", "--set", "WEBU=admin,pw4567", "--keep",
                               "WSKEY=WPA2PSK,AES,oldkey987"}));
    const ran p = modcfg({"provision", "set.txt", "--port", sim.pty_path(), "--report", "r.csv"});
    EXPECT_EQ(p.status, 1) << p.err;
    EXPECT_NE(p.out.find("mismatch WSKEY: sent \"WPA2PSK,AES,***\", module holds "
                         "\"WPA2PSK,AES,***\" (key differs)\n"),
              std::string::npos)
        << p.out;
    const std::string report = read_file("r.csv");
    EXPECT_NE(report.find("WSKEY: sent \"\"WPA2PSK,AES,***\"\", module holds "
                          "\"\"WPA2PSK,AES,***\"\" (key differs)"),
              std::string::npos)
        << report;
    // The core's console lines too, with --verbose.
    const ran v = modcfg({"apply", "set.txt", "--port", sim.pty_path(), "--verbose"});
    EXPECT_EQ(v.status, 1) << v.err;
    EXPECT_NE(v.err.find("Send Command: AT+WSKEY=WPA2PSK,AES,***\n"), std::string::npos) << v.err;
    EXPECT_NE(v.err.find("Send Command: AT+TCPTO=120\n"), std::string::npos) << v.err;
    const ran r = modcfg({"read", "--port", sim.pty_path()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("WEBU admin,***\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("WSKEY WPA2PSK,AES,***\n"), std::string::npos) << r.out;
    for (const std::string &text : {p.out, p.err, report, r.out, r.err, v.out, v.err})
        for (const char *secret : {"secret123", "oldkey987", "pw4567"})
            EXPECT_EQ(text.find(secret), std::string::npos) << secret << " in " << text;

    const ran shown = modcfg({"read", "--port", sim.pty_path(), "--json", "--show-secrets"});
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_NE(shown.out.find("\"WSKEY\":\"WPA2PSK,AES,oldkey987\""), std::string::npos)
        << shown.out;
    EXPECT_NE(shown.out.find("\"WEBU\":\"admin,pw4567\""), std::string::npos) << shown.out;
}

// COM names in either case, and a MODCFG_COMn whose device is not there
// named as such by "ports".
TEST_F(Modcfg, ComNamesInEitherCaseAndStaleVariablesNamed)
{
    sim_process sim;
    ASSERT_TRUE(sim.start_pty({"--mode", "command", "--set", "MID=LOWER"}));
    ASSERT_EQ(setenv("MODCFG_COM2", sim.pty_path().c_str(), 1), 0);
    ASSERT_EQ(setenv("MODCFG_COM7", "/dev/no-such-adapter", 1), 0);
    const ran r = modcfg({"read", "--port", "com2"});
    const ran p = modcfg({"ports"});
    // Relative paths: from the working directory first, then under /dev.
    ASSERT_EQ(symlink(sim.pty_path().c_str(), "m1"), 0);
    for (const std::string &name : {std::string("./m1"), sim.pty_path().substr(5)})
        EXPECT_EQ(modcfg({"read", "--port", name}).status, 0) << name;
    unsetenv("MODCFG_COM2");
    unsetenv("MODCFG_COM7");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("MID LOWER\n"), std::string::npos) << r.out;
    EXPECT_EQ(p.status, 0) << p.err;
    EXPECT_NE(p.out.find("/dev/no-such-adapter  missing: MODCFG_COM7 names no device\n"),
              std::string::npos)
        << p.out;
}

TEST_F(Modcfg, BadUsageAndUnusablePortsChangeNothing)
{
    sim_process sim;
    ASSERT_TRUE(sim.start_pty({"--mode", "command", "--log", "frames.log"}));
    write_file("set.txt", command_file);
    write_file("ctrl.txt", std::string("AT+WMODE=STA\r\nAT+WSSSID=a\x01"
                                       "b\r\nAT+TCPTO=9\r\nE\r\n"));
    // 98 bytes fill a frame; one more cannot be sent as it stands.
    write_file("long.txt", "AT+WMODE=STA\r\nAT+NETP=TCP,Client,8899," + std::string(74, 'h') +
                               "\r\nAT+NETP=TCP,Client,8899," + std::string(75, 'h') + "\r\nE\r\n");
    // Lines after an empty one would never be sent.
    write_file("gap.txt", "AT+WMODE=STA\r\n\r\nAT+TCPTO=9\r\n\r\nAT+MAXSK=5\r\nE\r\n");
    // Two exports joined with cat: the second would be lost.
    write_file("cat.txt", std::string(command_file) + command_file);
    write_file("entm.txt", "AT+WMODE=STA\r\nAT+ENTM\r\nAT+WSKEY=WPA2PSK,AES,k123\r\nE\r\n");
    write_file("z.txt", "AT+WMODE=STA\r\nAT+Z\r\nE\r\n");
    write_file("reld.txt", "at+reld\r\nE\r\n");
    const std::string csv = "time,port,mid,version,result,seconds,mismatches,note\r\n";
    write_file("fmt.jsonl", csv);
    write_file("rep.JSONL", csv);
    write_file("other.csv", "name,value\r\n");
    ASSERT_EQ(mkfifo("fifo.csv", 0600), 0);
    ASSERT_EQ(mkdir("dir.jsonl", 0700), 0);
    const std::string pty = sim.pty_path();
    struct row {
        std::vector<std::string> args;
        int status;
        const char *says; // in standard error
    } rows[] = {
        {{"frobnicate"}, 2, "unknown command frobnicate"},
        {{"read", "--bogus", "--port", pty}, 2, "--bogus"},
        {{"read"}, 2, "give --port or --listen"},
        {{"read", "--port", pty, "--listen", "1234"}, 2, "give --port or --listen"},
        {{"read", "--port", pty, "--baud", "12345"}, 2, "--baud 12345"},
        {{"read", "--listen", "localhost:99999"}, 2, "--listen wants"},
        {{"read", "--listen", "0", "--allow", "10.0.0/8"}, 2, "modcfg: --allow 10.0.0/8: "},
        {{"export", "--listen", "0", "--allow", "1.2.3.4/33"}, 2, "--allow 1.2.3.4/33: "},
        {{"read", "--port", pty, "--allow", "10.0.0.0/8"}, 2, "--allow goes with --listen"},
        {{"apply", "--port", pty, "missing.txt"}, 2, "missing.txt"},
        {{"apply", "--port", pty, "."}, 2, "not a readable file"},
        {{"provision", "ctrl.txt", "--port", pty}, 2, "ctrl.txt: line 2 is not text"},
        {{"apply", "long.txt", "--port", pty},
         2,
         "long.txt: line 3 is longer than a command frame holds (99 bytes, at most 98)"},
        {{"provision", "gap.txt", "--port", pty},
         2,
         "gap.txt: line 2 is empty and ends the commands, but 2 lines follow it; nothing was "
         "sent"},
        {{"apply", "cat.txt", "--port", pty},
         2,
         "cat.txt: line 6 (E) ends the commands, but 6 lines follow it; nothing was sent"},
        {{"provision", "entm.txt", "--port", pty},
         2,
         "entm.txt: line 2 (AT+ENTM) ends the module's command mode"},
        {{"apply", "z.txt", "--port", pty}, 2, "z.txt: line 2 (AT+Z) ends"},
        {{"verify", "reld.txt", "--port", pty}, 2, "reld.txt: line 1 (at+reld) ends"},
        // Reports of another format, or none at all.
        {{"provision", "set.txt", "--port", pty, "--report", "fmt.jsonl"},
         2,
         "fmt.jsonl: holds lines that are not this tool's JSON records"},
        {{"provision", "set.txt", "--port", pty, "--report", "rep.JSONL"}, 2, "rep.JSONL: holds"},
        {{"provision", "set.txt", "--port", pty, "--report", "other.csv"},
         2,
         "other.csv: its first line is not this tool's CSV header"},
        {{"provision", "set.txt", "--port", pty, "-r", "-"}, 2, "-: a report is a file"},
        {{"provision", "set.txt", "--port", pty, "--report", "no/dir/r.csv"}, 2, "no/dir/r.csv"},
        // A report that is no regular file: nothing would be recorded (a
        // FIFO without a reader would stop the run at the first record).
        {{"provision", "set.txt", "--port", pty, "--report", "fifo.csv"},
         2,
         "fifo.csv: not a regular file"},
        {{"provision", "set.txt", "--port", pty, "--report", "dir.jsonl"},
         2,
         "dir.jsonl: not a regular file"},
        {{"provision", "set.txt", "--port", pty, "--report", "/dev/null"},
         2,
         "/dev/null: not a regular file"},
        // Nothing was sent: no report is left behind.
        {{"provision", "gap.txt", "--port", pty, "--report", "new.csv"}, 2, "gap.txt"},
        {{"provision", "set.txt", "--port", "/dev/no-such-tty", "--report", "new.csv"},
         3,
         "no-such-tty"},
        {{"read", "--port", "/dev/no-such-tty"}, 3, "/dev/no-such-tty"},
        {{"scan", "-p", pty, "-p", pty}, 2, "are the same device"},
        {{"read", "-p", pty, "-q", "-v"}, 2, "--quiet and --verbose"},
        {{"provision", "set.txt", "-p", pty, "-r", "a.csv", "-r", "b.csv"}, 2, "twice"},
        {{"read", "--port", "set.txt"}, 3, "set.txt: not a serial port\n"},
        {{"scan", "--port", "fifo.csv"}, 3, "fifo.csv: not a serial port\n"},
        // Only COM1..COM12 have a MODCFG_COMn; the lower case is the same.
        {{"read", "--port", "COM13"}, 3, "COM13: no serial device for this port\n"},
        {{"read", "--port", "com12"}, 3, "(set MODCFG_COM12 to a device path)"},
        {{"provision", "set.txt", "--port", pty, "--port", "/dev/no-such-tty"}, 3, "no-such-tty"},
    };
    for (const auto &r : rows) {
        const ran got = modcfg(r.args);
        EXPECT_EQ(got.status, r.status) << r.args[0] << " " << got.err;
        EXPECT_NE(got.err.find(r.says), std::string::npos) << got.err;
    }
    // A port another program holds is busy.
    const int held = open(pty.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    const ran busy = modcfg({"verify", "--port", pty, "set.txt"});
    close(held);
    EXPECT_EQ(busy.status, 3) << busy.err;
    EXPECT_NE(busy.err.find("; held by process " + std::to_string(getpid()) + " ("),
              std::string::npos)
        << busy.err;
    // Nothing of all that reached the module.
    EXPECT_EQ(read_file("frames.log"), "");
    struct stat st;
    EXPECT_NE(stat("new.csv", &st), 0) << "a report of a run that touched no module";

    const ran version = modcfg({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("modcfg ") + MODCFG_VERSION + "\n");
    const ran help = modcfg({"provision", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--report=FILE"), std::string::npos) << help.out;
}

} // namespace
