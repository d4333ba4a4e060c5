// Times the command line against emulated modules, each figure beside its
// floor and the goal it should reach:
// - one module on a pty, from transparent mode: a 20-line command file
//   applied and read back (fast exchange; the window's timing for scale);
// - eight ports at once against one port;
// - 20 modules connecting over TCP at the same moment, all provisioned.
// Every emulator paces its bytes at 57600 baud (--wire) and answers after
// 5 ms (--delay).
//
// The floor of a module is what its wire and its replies take: the bytes it
// received and sent, 10 bits each at 57600 bit/s, plus 5 ms per reply. The
// emulator counts them itself (--counts), so the floor follows the exchange
// as it is, retries included. Modules served at once overlap: their floor is
// the largest single module's.
//
// Every round runs on fresh emulators, so each count is one run's; a run
// that fails (modcfg's exit status not 0: a module not verified) would be
// fast for nothing, so it fails its row and its output is shown.
#include "bench_process.h"
#include "line_scan.h"
#include "module_at.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <memory>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace
{

constexpr int BAUD = 57600;
constexpr double MS_PER_BYTE = 10.0 * 1000.0 / BAUD;
constexpr int LATENCY_MS = 5;
constexpr int ROUNDS = 3;

std::string workdir;
int serial_no = 0; // names every emulator's files apart

// The child's standard output goes to `out`, its standard error to `err`;
// empty: to /dev/null.
// An emulator's wire floor, from the counts it writes when it ends.
struct wire_count {
    long long received = -1, sent = -1, replies = -1;

    bool known() const { return received >= 0 && sent >= 0 && replies >= 0; }
    double floor_s() const
    {
        return ((received + sent) * MS_PER_BYTE + replies * LATENCY_MS) / 1000.0;
    }
};

wire_count read_counts(const std::string &path)
{
    wire_count c;
    std::istringstream in(read_text(path));
    for (std::string line; std::getline(in, line);) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string name = line.substr(0, eq);
        const long long v = std::atoll(line.c_str() + eq + 1);
        if (name == "received")
            c.received = v;
        else if (name == "sent")
            c.sent = v;
        else if (name == "replies")
            c.replies = v;
    }
    return c;
}

// One emulated module; ends with the object (or finish()), and then tells
// what crossed its link.
class module
{
  public:
    // On a pty reachable at `link`, from transparent mode, with a MID of
    // its own (the link's name): modcfg provisions a MID once a run.
    static std::unique_ptr<module> on_pty(const std::string &link)
    {
        auto m = std::unique_ptr<module>(new module);
        m->link_ = link;
        m->start({"--pty", "--link", link, "--set", "MID=" + link.substr(link.rfind('/') + 1)});
        struct stat st;
        for (int i = 0; i < 500 && lstat(link.c_str(), &st) != 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return m;
    }
    // A TCP client of `addr`, with its own MID.
    static std::unique_ptr<module> over_tcp(const std::string &addr, const std::string &mid)
    {
        auto m = std::unique_ptr<module>(new module);
        m->start({"--tcp", addr, "--set", "MID=" + mid});
        return m;
    }
    ~module() { finish(); }
    module(const module &) = delete;
    module &operator=(const module &) = delete;

    const std::string &link() const { return link_; }
    // Stops the emulator (a TCP one may have ended by itself) and reads its
    // counts.
    wire_count finish()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            wait_exit(pid_);
            pid_ = -1;
            count_ = read_counts(counts_);
        }
        return count_;
    }

  private:
    module() = default;
    void start(std::vector<std::string> args)
    {
        counts_ = workdir + "/counts." + std::to_string(serial_no++);
        args.insert(args.begin(), QXB27_SIM_BIN);
        args.insert(args.end(), {"--wire", std::to_string(BAUD), "--delay",
                                 std::to_string(LATENCY_MS), "--counts", counts_});
        pid_ = spawn(args);
    }

    pid_t pid_ = -1;
    std::string link_, counts_;
    wire_count count_;
};

double seconds(const std::function<void()> &f)
{
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// One timed run: its time, the floor of its modules, and what went wrong.
struct run {
    double time = 0, floor = 0;
    std::string failure; // empty: every module verified
};

// The floor of modules served at once, after their emulators ended; notes
// a module whose counts did not come.
void take_floor(run &r, std::vector<std::unique_ptr<module>> &ms)
{
    for (auto &m : ms) {
        const wire_count c = m->finish();
        if (!c.known())
            r.failure += "  an emulator wrote no counts\n";
        else
            r.floor = std::max(r.floor, c.floor_s());
    }
}

// What a failed modcfg run said, indented under its row: its results
// (standard output) and its error lines, not its progress.
std::string failure_of(int status, const std::string &out_file, const std::string &err_file)
{
    std::string text = "  modcfg exited " + std::to_string(status) + ":\n";
    std::istringstream out(read_text(out_file)), err(read_text(err_file));
    for (std::string line; std::getline(out, line);)
        text += "    " + line + "\n";
    for (std::string line; std::getline(err, line);)
        if (line.compare(0, 8, "modcfg: ") == 0)
            text += "    " + line + "\n";
    return text;
}

// modcfg with `args` and --quiet; its output kept for a failure.
run run_modcfg(std::vector<std::string> args)
{
    args.insert(args.begin(), MODCFG_CLI_BIN);
    args.push_back("--quiet");
    const std::string out = workdir + "/modcfg.out", err = workdir + "/modcfg.err";
    run r;
    int status = -1;
    r.time = seconds([&] { status = wait_exit(spawn(args, out, err)); });
    if (status != 0)
        r.failure = failure_of(status, out, err);
    return r;
}

// Serial ports at once, each with a fresh module from transparent mode.
run serial_run(const std::vector<std::string> &task, int ports)
{
    std::vector<std::unique_ptr<module>> ms;
    std::vector<std::string> args = task;
    for (int i = 0; i < ports; i++) {
        ms.push_back(module::on_pty(workdir + "/port" + std::to_string(i)));
        args.insert(args.end(), {"--port", ms.back()->link()});
    }
    run r = run_modcfg(args);
    take_floor(r, ms);
    return r;
}

// `count` modules connecting over TCP at the same moment to one modcfg
// provision --listen; the time runs from their start to modcfg's end.
run tcp_run(int count)
{
    // Port 0: the system picks one, and modcfg names it on standard error
    // (probing it with a connection would count as a module).
    const std::string out = workdir + "/listen.out", err = workdir + "/listen.err";
    const pid_t tool = spawn({MODCFG_CLI_BIN, "provision", "twenty.txt", "--listen", "127.0.0.1:0",
                              "--count", std::to_string(count)},
                             out, err);
    const std::string marker = "listening on 127.0.0.1:";
    int port = 0;
    for (int i = 0; i < 500 && port == 0; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const std::string text = read_text(err);
        const size_t at = text.find(marker);
        if (at != std::string::npos)
            port = std::atoi(text.c_str() + at + marker.size());
    }
    run r;
    if (port == 0) {
        kill(tool, SIGTERM);
        r.failure = failure_of(wait_exit(tool), out, err);
        return r;
    }
    const std::string addr = "127.0.0.1:" + std::to_string(port);
    std::vector<std::unique_ptr<module>> ms;
    int status = -1;
    r.time = seconds([&] {
        for (int i = 0; i < count; i++)
            ms.push_back(module::over_tcp(addr, "TCP" + std::to_string(i)));
        status = wait_exit(tool);
    });
    if (status != 0)
        r.failure = failure_of(status, out, err);
    take_floor(r, ms);
    return r;
}

// The run of median time.
run median(std::vector<run> runs)
{
    std::sort(runs.begin(), runs.end(), [](const run &a, const run &b) { return a.time < b.time; });
    return runs[runs.size() / 2];
}

bool all_ok(const std::vector<run> &runs)
{
    for (const run &r : runs)
        if (!r.failure.empty())
            return false;
    return true;
}

// `goal_met` < 0: a figure with no goal of its own.
void row(const char *name, const std::vector<run> &runs, const std::string &goal, int goal_met)
{
    const run m = median(runs);
    const bool ok = all_ok(runs);
    const char *verdict = !ok            ? (goal_met < 0 ? "FAILED" : "NOT met")
                          : goal_met < 0 ? ""
                          : goal_met     ? "met"
                                         : "NOT met";
    std::printf("%-52s %6.2f s %7.3f s %6.1f   %-24s %s\n", name, m.time, m.floor,
                m.floor > 0 ? m.time / m.floor : 0.0, goal.c_str(), verdict);
    for (size_t i = 0; i < runs.size(); i++)
        if (!runs[i].failure.empty())
            std::printf("  round %zu:\n%s", i + 1, runs[i].failure.c_str());
}

} // namespace

int main()
{
    char dir[] = "/tmp/modcfg-bench-cli-XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0) {
        std::perror("working directory");
        return 1;
    }
    workdir = dir;

    FILE *f = std::fopen("twenty.txt", "wb");
    for (int i = 0; i < 20; i++)
        std::fprintf(f, "AT+TCPTO=%d\r\n", 100 + i);
    std::fputs("E\r\n", f);
    std::fclose(f);

    const std::vector<std::string> apply = {"apply", "twenty.txt"};
    const std::vector<std::string> apply_strict = {"apply", "--strict-timing", "twenty.txt"};
    const std::vector<std::string> provision = {"provision", "twenty.txt"};
    std::vector<run> fast, strict, single, eight, tcp;
    for (int r = 0; r < ROUNDS; r++) {
        fast.push_back(serial_run(apply, 1));
        strict.push_back(serial_run(apply_strict, 1));
        single.push_back(serial_run(provision, 1));
        eight.push_back(serial_run(provision, 8));
        tcp.push_back(tcp_run(20));
    }

    std::printf("Emulated modules: --wire %d (10 bits a byte each way), --delay %d (reply "
                "latency); fresh modules every round; the run of median time of %d rounds.\n",
                BAUD, LATENCY_MS, ROUNDS);
    std::printf("floor: the bytes the module received and sent on the wire (%.4f ms each) + "
                "%d ms per reply, as the emulator counted them;\n"
                "       for modules at once, the largest single module's floor\n",
                MS_PER_BYTE, LATENCY_MS);
    std::printf("(every module on a pty starts in transparent mode: its connect also waits out "
                "two unanswered probes, %d ms each at least, and %d ms of quiet before \"+++\";\n"
                " at the window's timing every read also waits out its end conditions: no floor of "
                "the wire holds these)\n",
                LINE_PROBE_WAIT_MIN_MS, AT_FAST_QUIET_MS);
    std::printf("%-52s %8s %9s %6s   %-24s\n", "scenario", "time", "floor", "ratio", "goal");

    const double one = median(fast).time;
    row("1 module, transparent, 20 lines applied+verified", fast, "< 1 s", one < 1.0);
    row("  the same at the window's timing (--strict-timing)", strict, "about 11 s (scale)", -1);
    const double s1 = median(single).time, s8 = median(eight).time;
    row("1 port, provision", single, "(reference)", -1);
    char goal[64];
    std::snprintf(goal, sizeof goal, "< 1.5 x 1 port = %.2f s", 1.5 * s1);
    row("8 ports at once, provision", eight, goal, s8 < 1.5 * s1 && all_ok(single));
    const double t20 = median(tcp).time;
    row("20 TCP modules at once, all provisioned", tcp, "< 2 s", t20 < 2.0);

    std::string cmd = std::string("rm -rf '") + dir + "'";
    return std::system(cmd.c_str()) == 0 ? 0 : 1;
}
