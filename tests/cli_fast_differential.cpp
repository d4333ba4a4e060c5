// Fast against default through modcfg (read, provision, scan; pty, TCP): the default's
// values or failures, no value another query's, every module let go as it should be.
#include "modcfg_child.h"
#include "sim_process.h"

#include <cstdio>
#include <future>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace
{

// clang-format off
// Values that differ from each other, so that another query's reply shows.
const std::vector<std::string> settings = {"--set", "MID=DIFF-MODULE", "--set", "WEBU=webuser,webpass",
    "--set", "UARTFT=123", "--set", "UARTFL=456", "--set", "MAXSK=7", "--set", "TCPTO=99",
    "--set", "WSSSID=ssid-forty-bytes-long-0123456789abcdef"};
const std::vector<std::string> late_on = {"--late-on", "TMODE", "--late-on", "UARTF", "--late-on", "TCPTO"};

struct cell {
    const char *name;
    std::vector<std::string> args; // "C" first: the module starts in command mode
    bool tcp, slow;
    int fails;     // queries the default fails (19: it finds no module)
    int scan_rate; // 0: read and provision; else a scan, the module at this rate
};
const cell cells[] = {
    {"on_time", {"C"}, true, false, 0, 0},
    {"late_300ms", {"C", "--late", "300"}, true, false, 0, 0},
    {"late_1s", {"C", "--late", "1000"}, true, true, 0, 0},
    {"late_4500ms", {"C", "--late", "4500"}, true, true, 0, 0},
    {"late_12s", {"C", "--late", "12000"}, false, true, 0, 0},
    {"last_byte_late", {"C", "--last-byte-late", "150"}, true, false, 0, 0},
    {"stray_bytes", {"C", "--stray"}, true, false, 0, 0},
    {"echo_on", {"C", "--echo"}, true, false, 0, 0},
    {"trickle_past_limit", {"C", "--trickle", "WSSSID"}, true, false, 1, 0},
    {"split_replies", {"C", "--split", "2,150"}, true, false, 0, 0},
    {"probe_late_500ms", {"C", "--probe-late", "500"}, false, false, 0, 0},
    {"probe_late_1s", {"C", "--probe-late", "1000"}, false, true, 0, 0},
    {"probe_late_1500ms", {"C", "--probe-late", "1500"}, false, true, 0, 0},
    {"ok_late_300ms", {"--ok-late", "300"}, false, false, 0, 0},
    {"ok_late_800ms", {"--ok-late", "800"}, false, false, 19, 0},
    {"scan_probe_late_500ms", {"C", "--probe-late", "500"}, false, false, 0, 57600},
    {"scan_ok_late_800ms", {"--ok-late", "800"}, false, false, 0, 57600},
    {"scan_probe_late_500ms_134", {"C", "--probe-late", "500"}, false, true, 0, 134},
    {"scan_ok_late_800ms_134", {"--ok-late", "800"}, false, true, 0, 134},
};
// clang-format on

struct run_out {
    int status = -1;
    double s = 0;
    std::string out, err, report, mode_after; // the emulator's mode at the end
    std::map<std::string, std::string> held;  // and its settings
};

// How many "NAME":"VALUE" members `json` has, and how many of them are the
// module's own NAME=VALUE.
std::pair<int, int> own_values(const std::string &json,
                               const std::map<std::string, std::string> &held)
{
    int all = 0, own = 0;
    for (size_t at = 0; (at = json.find("\":\"", at)) != std::string::npos; at++)
        all++;
    for (const auto &h : held)
        own += json.find("\"" + h.first + "\":\"" + h.second + "\"") != std::string::npos;
    return {all, own};
}
std::string field(const std::string &json, const std::string &name)
{
    const size_t at = json.find("\"" + name + "\":\""), from = at + name.size() + 4;
    return at == std::string::npos ? "" : json.substr(from, json.find('"', from) - from);
}

// modcfg `what` (read, provision, scan) on the cell's module, files in `dir`.
run_out run(const cell &c, const std::string &what, bool tcp, bool fast, const std::string &dir)
{
    std::vector<std::string> sim = settings, args = {what, "--port", "", "--module-timeout", "600"};
    for (const std::string &a : c.args)
        a == "C" ? sim.insert(sim.end(), {"--mode", "command"}) : sim.insert(sim.end(), a);
    if (c.args.size() > 1 && c.args[1] == "--late") // late only on some settings' replies
        sim.insert(sim.end(), late_on.begin(), late_on.end());
    sim.insert(sim.end(), {"--state", dir + "/state", "--mode-file", dir + "/mode"});
    const std::string rate = std::to_string(c.scan_rate);
    if (c.scan_rate)
        sim.insert(sim.end(), {"--uart", rate + ",8,N,1", "--wire", rate});
    args.insert(args.end(), {"--no-history", "--show-secrets", "--strict-timing", dir + "/set.txt",
                             "--report", dir + "/r.jsonl"});
    args.resize(what == "scan" ? 3 : what == "read" ? 8 : 11);
    if (what == "read")
        args.push_back("--json");
    if (fast && what != "scan")
        args.erase(args.begin() + 7);
    run_out o;
    sim_process module;
    modcfg_child m;
    const auto t0 = std::chrono::steady_clock::now();
    if (tcp)
        args[1] = "--listen", args[2] = "127.0.0.1:0";
    else if (!module.start_pty(sim) || (args[2] = module.pty_path()).empty())
        return o;
    if (!m.start(args, dir + "/" + what))
        return o;
    if (tcp)
        sim.insert(sim.begin(), {"--tcp", "127.0.0.1:" + std::to_string(m.listen_port())});
    if (tcp && !module.start(sim))
        return o;
    o.status = m.wait(900000);
    o.s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    module.stop();
    o.out = m.out(), o.err = m.err(), o.report = read_file(dir + "/r.jsonl");
    o.mode_after = read_file(dir + "/mode");
    o.held = sim_read_state(dir + "/state");
    return o;
}

TEST(FastDifferential, ThroughTheProgram)
{
    temp_cwd dir;
    struct job {
        const cell *c;
        std::string what;
        bool tcp;
        std::future<run_out> def, fast;
    };
    std::vector<job> jobs;
    int n = 0;
    for (const cell &c : cells)
        for (const char *what : {"read", "provision", "scan"})
            for (bool tcp : {false, true}) {
                if (c.slow != (std::getenv("MODCFG_SLOW_CELLS") != nullptr) || (tcp && !c.tcp) ||
                    (c.scan_rate != 0) != (std::string(what) == "scan"))
                    continue;
                const std::string d = dir.path() + "/" + std::to_string(n++);
                for (const std::string &x : {d, d + "f"})
                    mkdir(x.c_str(), 0700), write_file(x + "/set.txt", "AT+TCPTO=321\r\nE\r\n");
                jobs.push_back({&c, what, tcp,
                                std::async(std::launch::async, run, c, what, tcp, false, d),
                                std::async(std::launch::async, run, c, what, tcp, true, d + "f")});
            }
    for (auto &j : jobs) {
        run_out def = j.def.get(), fast = j.fast.get();
        const cell &c = *j.c;
        std::printf("cell %-26s %-9s %-3s", c.name, j.what.c_str(), j.tcp ? "tcp" : "pty");
        for (run_out *o : {&def, &fast})
            std::printf(" | %s rc %d %5.1f s %-10s", o == &def ? "default" : "fast", o->status,
                        o->s,
                        (j.what == "read" ? std::to_string(own_values(o->out, o->held).first)
                                          : field(o->report, "result"))
                            .c_str());
        std::printf("\n");
        SCOPED_TRACE(std::string(c.name) + " " + j.what + (j.tcp ? " tcp" : " pty") +
                     "\ndefault: " + def.err + "\nfast: " + fast.err);
        // Where the default misses the module (its "+ok" after "a" comes past
        // the default's read), fast may read it whole.
        const bool fast_found = c.fails == 19 && fast.status == 0;
        if (j.what == "read") {
            const auto d = own_values(def.out, def.held), f = own_values(fast.out, fast.held);
            EXPECT_EQ(d, std::make_pair(19 - c.fails, 19 - c.fails)) << def.out;
            EXPECT_EQ(f, fast_found ? std::make_pair(19, 19) : d) << fast.out;
        } else if (j.what == "provision") {
            EXPECT_EQ(field(fast.report, "result"),
                      fast_found ? "verified" : field(def.report, "result"));
            EXPECT_EQ(field(fast.report, "mid"), c.fails == 19 && !fast_found ? "" : "DIFF-MODULE");
        } else {
            const std::string found = c.args[0] == "C" ? "command" : "transparent";
            EXPECT_NE(def.out.find(found + " mode  MID DIFF-MODULE"), std::string::npos) << def.out;
        }
        EXPECT_EQ(fast.status, fast_found ? 0 : def.status);
        // Let go as the window does ("AT+ENTM"), or as found (scan).
        const char *want = j.what == "scan" && c.args[0] == "C" ? "command\n" : "transparent\n";
        EXPECT_TRUE(j.tcp || def.mode_after == want) << def.mode_after;
        EXPECT_EQ(fast.mode_after, def.mode_after);
    }
}

} // namespace
