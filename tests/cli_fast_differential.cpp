// modcfg's fast exchange against its default, module behaviour by
// behaviour, through the program (read --json, provision) on a pty and over
// TCP, and the scan: fast reads the default's values or fails what the
// default fails, no value is another query's, and every module ends in the
// mode it was let go into. All runs go at once. Cells slow at the default
// timing run only with MODCFG_SLOW_CELLS=1 (tests/fast_differential_slow.sh).
#include "modcfg_child.h"
#include "sim_process.h"

#include <algorithm>
#include <cstdio>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <termios.h>
#include <sys/stat.h>

namespace
{

// Values that differ from each other, so that another query's reply shows.
const std::vector<std::string> settings = {
    "--set", "MID=DIFF-MODULE", "--set", "WEBU=webuser,webpass", "--set", "UARTFT=123",
    "--set", "UARTFL=456", "--set", "MAXSK=7", "--set", "TCPTO=99", "--set",
    "WAP=11N,Shop AP,CH11", "--set", "WSSSID=ssid-forty-bytes-long-0123456789abcdef"};

std::vector<std::string> late(const char *ms)
{
    return {"--mode", "command", "--late", ms, "--late-on", "TMODE", "--late-on", "UARTF",
            "--late-on", "DHCPGW"};
}
std::vector<std::string> cmd_mode(std::vector<std::string> a)
{
    a.insert(a.begin(), {"--mode", "command"});
    return a;
}

struct cell {
    const char *name;
    std::vector<std::string> args;
    bool tcp, slow;
    int fails;     // queries the default fails (19: the connect fails)
    int scan_rate; // 0: read and provision; else a scan, the module at this rate
};
const cell cells[] = {
    {"on_time", cmd_mode({}), true, false, 0, 0},
    {"late_300ms", late("300"), true, false, 0, 0},
    {"late_1s", late("1000"), true, true, 0, 0},
    {"late_4500ms", late("4500"), true, true, 0, 0},
    {"late_12s", late("12000"), false, true, 0, 0},
    {"last_byte_late", cmd_mode({"--last-byte-late", "150"}), true, false, 0, 0},
    {"stray_bytes", cmd_mode({"--stray"}), true, false, 0, 0},
    {"echo_on", cmd_mode({"--echo"}), true, false, 0, 0},
    {"trickle_past_limit", cmd_mode({"--trickle", "WSSSID"}), true, false, 1, 0},
    {"split_replies", cmd_mode({"--split", "2,150"}), true, false, 0, 0},
    {"probe_late_500ms", cmd_mode({"--probe-late", "500"}), false, false, 0, 0},
    {"probe_late_1s", cmd_mode({"--probe-late", "1000"}), false, true, 0, 0},
    {"probe_late_1500ms", cmd_mode({"--probe-late", "1500"}), false, true, 0, 0},
    {"ok_late_300ms", {"--ok-late", "300"}, false, false, 0, 0},
    {"ok_late_800ms", {"--ok-late", "800"}, false, false, 19, 0},
    {"scan_probe_late_500ms", cmd_mode({"--probe-late", "500"}), false, false, 0, 57600},
    {"scan_ok_late_800ms", {"--ok-late", "800"}, false, false, 0, 57600},
    {"scan_probe_late_500ms_134", cmd_mode({"--probe-late", "500"}), false, true, 0, 134},
    {"scan_ok_late_800ms_134", {"--ok-late", "800"}, false, true, 0, 134},
};

struct run_out {
    int status = -1;
    double s = 0;
    std::map<std::string, std::string> values, held; // what modcfg gave; the module's
    std::string out, err;
    bool command_mode_after = false;
};

// The "NAME":"VALUE" members of the JSON in `text` (the values here need
// no unescaping).
std::map<std::string, std::string> members(const std::string &text)
{
    std::map<std::string, std::string> out;
    for (size_t at = 0; (at = text.find('"', at)) != std::string::npos;) {
        const size_t k = text.find('"', at + 1);
        if (k == std::string::npos || text.compare(k, 3, "\":\"") != 0) {
            at = k == std::string::npos ? k : k + 1;
            continue;
        }
        const size_t v = text.find('"', k + 3);
        out[text.substr(at + 1, k - at - 1)] = text.substr(k + 3, v - k - 3);
        at = v + 1;
    }
    return out;
}

// True when the module on `path` answers a probe: it is in command mode.
bool answers_probe(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    std::string got;
    if (fd >= 0 && tcgetattr(fd, &t) == 0 && (cfmakeraw(&t), tcsetattr(fd, TCSANOW, &t)) == 0 &&
        write(fd, "AT+\n", 4) == 4) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        for (pollfd p = {fd, POLLIN, 0}; got.find("+ok") == std::string::npos &&
                                         std::chrono::steady_clock::now() < end && poll(&p, 1, 100) >= 0;) {
            char buf[64];
            const ssize_t n = (p.revents & POLLIN) ? read(fd, buf, sizeof buf) : 0;
            got.append(buf, n > 0 ? size_t(n) : 0);
        }
    }
    if (fd >= 0)
        close(fd);
    return got.find("+ok") != std::string::npos;
}

// modcfg `what` ("read", "provision" or "scan") on the cell's module, its
// files in `dir`.
run_out run(const cell &c, const std::string &what, bool tcp, bool fast, const std::string &dir)
{
    std::vector<std::string> sim = c.args, args = {what};
    sim.insert(sim.end(), settings.begin(), settings.end());
    sim.insert(sim.end(), {"--state", dir + "/state.txt"});
    const std::string rate = std::to_string(c.scan_rate);
    if (c.scan_rate)
        sim.insert(sim.end(), {"--uart", rate + ",8,N,1", "--wire", rate});
    if (what != "scan")
        args.insert(args.end(), {"--no-history", "--module-timeout", "600"});
    if (what == "read")
        args.insert(args.end(), {"--json", "--show-secrets"});
    if (what == "provision")
        args.insert(args.end(), {dir + "/set.txt", "--report", dir + "/r.jsonl"});
    if (!fast && what != "scan")
        args.push_back("--strict-timing");
    args.insert(args.end(), {tcp ? "--listen" : "--port", "127.0.0.1:0"});
    run_out o;
    sim_process module;
    modcfg_child m;
    const auto t0 = std::chrono::steady_clock::now();
    if (!tcp && (!module.start_pty(sim) || (args.back() = module.pty_path()).empty()))
        return o;
    if (!m.start(args, dir + "/" + what))
        return o;
    if (tcp)
        sim.insert(sim.begin(), {"--tcp", "127.0.0.1:" + std::to_string(m.listen_port())});
    if (tcp && !module.start(sim))
        return o;
    o.status = m.wait(900000);
    o.s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    o.out = m.out();
    o.err = m.err();
    o.values = members(what == "provision" ? read_file(dir + "/r.jsonl") : o.out);
    o.command_mode_after = !tcp && answers_probe(module.pty_path());
    o.held = sim_read_state(dir + "/state.txt");
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
                mkdir(d.c_str(), 0700);
                mkdir((d + "f").c_str(), 0700);
                for (const std::string &x : {d, d + "f"})
                    write_file(x + "/set.txt", "AT+TCPTO=321\r\nAT+TMODE=Through\r\nE\r\n");
                jobs.push_back({&c, what, tcp, std::async(std::launch::async, run, c, what, tcp, false, d),
                                std::async(std::launch::async, run, c, what, tcp, true, d + "f")});
            }
    for (auto &j : jobs) {
        run_out def = j.def.get(), fast = j.fast.get();
        const cell &c = *j.c;
        const bool transparent = std::find(c.args.begin(), c.args.end(), "command") == c.args.end();
        auto brief = [&](run_out &o) {
            const std::string got = j.what == "read"        ? std::to_string(o.values.size()) + "/19"
                                    : j.what == "provision" ? o.values["result"]
                                                            : (o.status ? "none" : "found");
            char b[64];
            std::snprintf(b, sizeof b, "rc %d %5.1f s %-10s", o.status, o.s, got.c_str());
            return std::string(b);
        };
        std::printf("cell %-26s %-9s %-3s | default %s | fast %s\n", c.name, j.what.c_str(),
                    j.tcp ? "tcp" : "pty", brief(def).c_str(), brief(fast).c_str());
        SCOPED_TRACE(std::string(c.name) + " " + j.what + (j.tcp ? " tcp" : " pty") +
                     "\ndefault: " + def.err + "\nfast: " + fast.err);
        // Where the default misses the module (its "+ok" after "a" comes past
        // the default's read), fast may read it whole.
        const bool fast_found = c.fails == 19 && fast.status == 0;
        if (j.what == "read") {
            for (run_out *o : {&def, &fast})
                for (const auto &v : o->values)
                    EXPECT_EQ(v.second, o->held[v.first]) << v.first;
            EXPECT_EQ(def.values.size(), size_t(19 - c.fails));
            EXPECT_EQ(fast.values.size(), fast_found ? 19 : def.values.size());
        } else if (j.what == "provision") {
            EXPECT_EQ(fast.values["result"], fast_found ? "verified" : def.values["result"]);
            EXPECT_EQ(fast.values["mid"], c.fails == 19 && !fast_found ? "" : "DIFF-MODULE");
        } else {
            EXPECT_NE(def.out.find(std::string(transparent ? "transparent" : "command") +
                                   " mode  MID DIFF-MODULE"),
                      std::string::npos)
                << def.out;
        }
        EXPECT_EQ(fast.status, fast_found ? 0 : def.status);
        // Let go as the window does ("AT+ENTM"), or as found (scan).
        EXPECT_EQ(def.command_mode_after, j.what == "scan" && !transparent);
        EXPECT_EQ(fast.command_mode_after, def.command_mode_after);
    }
}

} // namespace
