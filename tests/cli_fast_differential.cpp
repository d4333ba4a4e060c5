// modcfg's fast exchange against its default, module behaviour by
// behaviour, through the program (read --json, provision), on a pty and over
// TCP, and the scan: fast reads the default's values or fails the queries
// the default fails, no value is another query's, and every module ends in
// the mode it was let go into. The runs of all cells go at once.
//
// Cells that take long at the default timing (late >= 1 s) run only with
// MODCFG_SLOW_CELLS=1: tests/fast_differential_slow.sh runs them.
#include "modcfg_child.h"
#include "module_at.h"
#include "module_session.h"
#include "pccom.h"
#include "sim_process.h"

#include <algorithm>
#include <cstdio>
#include <sys/stat.h>
#include <future>
#include <gtest/gtest.h>
#include <json-glib/json-glib.h>
#include <map>
#include <set>

namespace
{

// Values that differ from each other, so that another query's reply shows.
const std::vector<std::string> settings = {
    "--set", "MID=DIFF-MODULE", "--set", "WEBU=webuser,webpass", "--set", "UARTFT=123",
    "--set", "UARTFL=456", "--set", "MAXSK=7", "--set", "TCPTO=99", "--set",
    "WAP=11N,Shop AP,CH11", "--set", "WAKEY=WPA2PSK,TKIP,apkey67890", "--set",
    "WSKEY=WPA2PSK,AES,stakey12345", "--set", "WSSSID=ssid-forty-bytes-long-0123456789abcdef",
    "--set", "WANN=Static,172.16.3.20,255.255.0.0,172.16.0.1"};
const std::string late_on[] = {"--late-on", "TMODE", "--late-on", "UARTF", "--late-on", "DHCPGW"};

struct cell {
    const char *name;
    std::vector<std::string> args;
    bool tcp, slow;
    std::set<std::string> fails; // queries the default fails ("*": the connect)
    int scan_rate;               // 0: no scan cell; else the module's rate too
};

std::vector<std::string> late(const char *ms, bool only_some = true)
{
    std::vector<std::string> a = {"--mode", "command", "--late", ms};
    if (only_some)
        a.insert(a.end(), std::begin(late_on), std::end(late_on));
    return a;
}

const cell cells[] = {
    {"on_time", {"--mode", "command"}, true, false, {}, 0},
    {"late_300ms", late("300"), true, false, {}, 0},
    {"late_1s", late("1000"), true, true, {}, 0},
    {"late_4500ms", late("4500"), true, true, {}, 0},
    {"late_12s", late("12000"), false, true, {}, 0},
    {"last_byte_late", {"--mode", "command", "--last-byte-late", "150"}, true, false, {}, 0},
    {"stray_bytes", {"--mode", "command", "--stray"}, true, false, {}, 0},
    {"echo_on", {"--mode", "command", "--echo"}, true, false, {}, 0},
    {"trickle_past_limit", {"--mode", "command", "--trickle", "WSSSID"}, true, false, {"WSSSID"}, 0},
    {"split_replies", {"--mode", "command", "--split", "2,150"}, true, false, {}, 0},
    {"probe_late_500ms", {"--mode", "command", "--probe-late", "500"}, false, false, {}, 0},
    {"probe_late_1s", {"--mode", "command", "--probe-late", "1000"}, false, true, {}, 0},
    {"probe_late_1500ms", {"--mode", "command", "--probe-late", "1500"}, false, true, {}, 0},
    {"ok_late_300ms", {"--ok-late", "300"}, false, false, {}, 0},
    {"ok_late_800ms", {"--ok-late", "800"}, false, false, {"*"}, 0},
    {"scan_probe_late_500ms", {"--mode", "command", "--probe-late", "500"}, false, false, {}, 57600},
    {"scan_ok_late_800ms", {"--ok-late", "800"}, false, false, {}, 57600},
    {"scan_probe_late_500ms_134", {"--mode", "command", "--probe-late", "500"}, false, true, {}, 134},
    {"scan_ok_late_800ms_134", {"--ok-late", "800"}, false, true, {}, 134},
};

struct run_out {
    int status = -1;
    double s = 0;
    std::map<std::string, std::string> values; // read --json; provision: mid, result
    std::string err;
    bool command_mode_after = false;
    std::map<std::string, std::string> held; // what the module held at the end
};

std::map<std::string, std::string> json_strings(const std::string &text)
{
    std::map<std::string, std::string> out;
    JsonParser *p = json_parser_new();
    if (json_parser_load_from_data(p, text.c_str(), -1, nullptr) &&
        JSON_NODE_HOLDS_OBJECT(json_parser_get_root(p))) {
        JsonObject *o = json_node_get_object(json_parser_get_root(p));
        GList *names = json_object_get_members(o);
        for (GList *n = names; n; n = n->next) {
            JsonNode *v = json_object_get_member(o, static_cast<const char *>(n->data));
            if (JSON_NODE_HOLDS_VALUE(v) && json_node_get_value_type(v) == G_TYPE_STRING)
                out[static_cast<const char *>(n->data)] = json_node_get_string(v);
        }
        g_list_free(names);
    }
    g_object_unref(p);
    return out;
}

// True when the module on `path` answers a probe: it is in command mode.
bool answers_probe(const std::string &path)
{
    testing::internal::CaptureStdout();
    const int fd = CommOpen(path.c_str(), 57600, 8, 0, 0, 0);
    testing::internal::GetCapturedStdout();
    if (fd <= 0)
        return false;
    std::string got;
    if (CommWrite(fd, "AT+\n", 4) == 4) {
        char buf[32];
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
        while (std::chrono::steady_clock::now() < end && got.find("+ok") == std::string::npos) {
            const int n = CommReadUntil(fd, buf, sizeof buf, -1, nullptr);
            if (n < 0)
                break;
            got.append(buf, static_cast<size_t>(n));
        }
    }
    CommClose(fd);
    return got.find("+ok") != std::string::npos;
}

// One run of modcfg `what` ("read", "provision" or "scan") on the cell's
// module, in directory `dir`.
run_out run(const cell &c, const std::string &what, bool tcp, bool fast, const std::string &dir)
{
    std::vector<std::string> sim_args = c.args;
    sim_args.insert(sim_args.end(), settings.begin(), settings.end());
    sim_args.insert(sim_args.end(), {"--state", dir + "/state.txt"});
    if (c.scan_rate)
        sim_args.insert(sim_args.end(), {"--uart", std::to_string(c.scan_rate) + ",8,N,1",
                                         "--wire", std::to_string(c.scan_rate)});
    std::vector<std::string> args = {what, "--no-history", "--module-timeout", "600"};
    if (what == "scan")
        args = {"scan"};
    if (what == "read")
        args.insert(args.end(), {"--json", "--show-secrets"});
    if (what == "provision")
        args.insert(args.end(), {dir + "/set.txt", "--report", dir + "/r.jsonl"});
    if (!fast && what != "scan")
        args.push_back("--strict-timing");
    run_out o;
    sim_process sim;
    modcfg_child m;
    const auto t0 = std::chrono::steady_clock::now();
    if (tcp) {
        args.insert(args.end(), {"--listen", "127.0.0.1:0"});
        if (!m.start(args, dir + "/" + what))
            return o;
        const int port = m.listen_port();
        sim_args.insert(sim_args.begin(), {"--tcp", "127.0.0.1:" + std::to_string(port)});
        if (port == 0 || !sim.start(sim_args))
            return o;
    } else {
        if (!sim.start_pty(sim_args))
            return o;
        args.insert(args.end(), {"--port", sim.pty_path()});
        if (!m.start(args, dir + "/" + what))
            return o;
    }
    o.status = m.wait(900000);
    o.s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    o.err = m.err();
    if (what == "read")
        o.values = json_strings(m.out());
    else if (what == "provision")
        o.values = json_strings(read_file(dir + "/r.jsonl"));
    else
        o.values["line"] = m.out();
    if (!tcp)
        o.command_mode_after = answers_probe(sim.pty_path());
    o.held = sim_read_state(dir + "/state.txt");
    return o;
}

std::string brief(run_out o, const std::string &what)
{
    char head[40];
    std::snprintf(head, sizeof head, "rc %d %5.1f s ", o.status, o.s);
    if (what == "read")
        return head + std::to_string(o.values.size()) + "/19";
    if (what == "provision")
        return head + o.values["result"];
    return head + (o.status == 0 ? std::string("found") : std::string("none"));
}

TEST(FastDifferential, ThroughTheProgram)
{
    temp_cwd dir;
    const bool slow = std::getenv("MODCFG_SLOW_CELLS") != nullptr;
    struct job {
        const cell *c;
        std::string what;
        bool tcp;
        std::future<run_out> def, fast;
    };
    std::vector<job> jobs;
    int n = 0;
    for (const cell &c : cells) {
        if (c.slow != slow)
            continue;
        for (const char *what : {"read", "provision", "scan"}) {
            if ((c.scan_rate != 0) != (std::string(what) == "scan"))
                continue;
            for (bool tcp : {false, true}) {
                if (tcp && !c.tcp)
                    continue;
                std::string d[2];
                for (auto &x : d) {
                    x = dir.path() + "/" + std::to_string(n++);
                    mkdir(x.c_str(), 0700);
                    write_file(x + "/set.txt", "AT+TCPTO=321\r\nAT+WMODE=STA\r\nE\r\n");
                }
                jobs.push_back({&c, what, tcp,
                                std::async(std::launch::async, run, std::cref(c), what, tcp,
                                           false, d[0]),
                                std::async(std::launch::async, run, std::cref(c), what, tcp,
                                           true, d[1])});
            }
        }
    }
    for (auto &j : jobs) {
        run_out def = j.def.get(), fast = j.fast.get();
        const cell &c = *j.c;
        const bool transparent = std::find(c.args.begin(), c.args.end(), "command") == c.args.end();
        std::printf("cell %-26s %-9s %-3s | default %-26s | fast %s\n", c.name, j.what.c_str(),
                    j.tcp ? "tcp" : "pty", brief(def, j.what).c_str(),
                    brief(fast, j.what).c_str());
        SCOPED_TRACE(std::string(c.name) + " " + j.what + (j.tcp ? " tcp" : " pty") +
                     "\ndefault: " + def.err + "\nfast: " + fast.err);
        if (j.what == "read") {
            // Every value is its own query's; fast fails what the default
            // fails, and reads what it reads.
            for (const run_out *o : {&def, &fast})
                for (const auto &v : o->values) {
                    const auto h = o->held.find(v.first);
                    EXPECT_TRUE(h != o->held.end() && h->second == v.second)
                        << v.first << "=" << v.second;
                }
            // Where the default misses the module (its "+ok" after "a"
            // comes past the default's read), fast may find it.
            if (!(c.fails.count("*") && fast.status == 0 && fast.values.size() == 19)) {
                EXPECT_EQ(fast.values, def.values);
                EXPECT_EQ(fast.status, def.status);
            }
            const size_t want = c.fails.count("*") ? 0 : 19 - c.fails.size();
            EXPECT_EQ(def.values.size(), want);
        } else if (j.what == "provision") {
            if (!c.fails.count("*") || fast.status != 0) {
                EXPECT_EQ(fast.values["result"], def.values["result"]);
                EXPECT_EQ(fast.status, def.status);
            }
            if (!c.fails.count("*") || fast.status == 0) {
                EXPECT_TRUE(c.fails.count("*") || def.values["mid"] == "DIFF-MODULE")
                    << def.values["mid"];
                EXPECT_EQ(fast.values["mid"], "DIFF-MODULE");
            }
        } else {
            EXPECT_EQ(def.status, 0);
            EXPECT_NE(def.values["line"].find(std::string(transparent ? "transparent" : "command") +
                                              " mode  MID DIFF-MODULE"),
                      std::string::npos)
                << def.values["line"];
        }
        // Let go as the window does (read, provision: "AT+ENTM"), or as
        // found (scan).
        if (!j.tcp) {
            const bool want = j.what == "scan" && !transparent;
            EXPECT_EQ(def.command_mode_after, want);
            EXPECT_EQ(fast.command_mode_after, want);
        }
    }
}

} // namespace
