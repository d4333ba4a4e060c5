// Times finding a module and the fast connect, each beside its floor and
// goal:
// - modcfg scan against a module at 57600, at 9600, and at the last rate
//   the scan tries (50), all 8N1 and from transparent mode; a port with no
//   module (every rate tried); eight ports at once against one;
// - the fast connect from transparent mode at 57600 baud with 5 ms latency,
//   and one module from transparent mode provisioned and verified with a
//   20-line file.
// The floor of a scan: at every rate tried before the module's, the probe
// and the "+++" on the wire and the guard of quiet before "+++"
// (AT_FAST_QUIET_MS); at the module's rate those and the "a", the "+ok" and
// the answers to AT+MID, AT+VER, AT+UART and AT+ENTM with their latency.
// The emulator paces its bytes only where the row says --wire: at a wrong
// rate it answers nothing, so the tool's own waits are what is measured.
#include "bench_process.h"
#include "line_scan.h"
#include "module_at.h"
#include "pccom.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace
{

constexpr int ROUNDS = 3;
constexpr int LATENCY_MS = 5;

int serial_no = 0;

// An emulator on a pty; its path once it has named it.
struct emulator {
    pid_t pid = -1;
    std::string pty;
    explicit emulator(std::vector<std::string> args)
    {
        const std::string out = "sim" + std::to_string(serial_no++) + ".out";
        args.insert(args.begin(), {QXB27_SIM_BIN, "--pty"});
        pid = spawn(args, out);
        for (int i = 0; i < 500 && pty.empty(); i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            const std::string text = read_text(out);
            if (text.compare(0, 4, "pty ") == 0 && text.back() == '\n')
                pty = text.substr(4, text.size() - 5);
        }
    }
    ~emulator()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            wait_exit(pid);
        }
    }
};

double seconds(const std::function<void()> &f)
{
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double wire_s(int bytes, int baud)
{
    return bytes * 10.0 / baud;
}

// The floor of a scan that finds its module at `baud` (0: none), 8N1; with
// `paced`, the module's bytes at its rate too (--wire).
double scan_floor(int baud, bool paced)
{
    double floor = 0;
    for (const auto &s : line_scan_settings(false)) {
        floor += wire_s(4 + 3, s.baud) + AT_FAST_QUIET_MS / 1000.0;
        if (s.baud == baud) {
            // "a", the queries and "AT+ENTM"; back "a", "+ok\r\n\r\n" and
            // the answers, each after the latency.
            floor += wire_s(1 + 7 + 7 + 8 + 8, baud) + 5 * LATENCY_MS / 1000.0;
            if (paced)
                floor += wire_s(1 + 7 + 15 + 15 + 26 + 7, baud);
            return floor;
        }
    }
    return floor;
}

struct figure {
    std::vector<double> times;
    bool ok = true;
    double median() const
    {
        std::vector<double> t = times;
        std::sort(t.begin(), t.end());
        return t.empty() ? 0 : t[t.size() / 2];
    }
};

// modcfg with `args` and each port given; its exit status must be `want`.
void time_modcfg(figure &f, std::vector<std::string> args, int want)
{
    args.insert(args.begin(), MODCFG_CLI_BIN);
    int status = -1;
    f.times.push_back(seconds([&] { status = wait_exit(spawn(args, "modcfg.out")); }));
    if (status != want) {
        f.ok = false;
        std::fprintf(stderr, "modcfg exited %d:\n%s", status, read_text("modcfg.out").c_str());
    }
}

void row(const char *name, const figure &f, double floor, const std::string &goal, bool met)
{
    const double t = f.median();
    char floor_text[32] = "      -  ", ratio[16] = "    -";
    if (floor > 0) {
        std::snprintf(floor_text, sizeof floor_text, "%7.3f s", floor);
        std::snprintf(ratio, sizeof ratio, "%5.1f", t / floor);
    }
    std::printf("%-50s %6.2f s %s %s   %-22s %s\n", name, t, floor_text, ratio, goal.c_str(),
                !f.ok ? "FAILED" : goal.empty() ? "" : met ? "met" : "NOT met");
}

figure scan_at(const std::string &uart, bool wire, int want = 0)
{
    figure f;
    for (int r = 0; r < ROUNDS; r++) {
        std::vector<std::string> args = {"--uart", uart, "--delay", std::to_string(LATENCY_MS)};
        if (wire)
            args.insert(args.end(), {"--wire", uart.substr(0, uart.find(','))});
        emulator sim(args);
        time_modcfg(f, {"scan", "--port", sim.pty}, want);
    }
    return f;
}

figure scan_ports(int ports)
{
    figure f;
    for (int r = 0; r < ROUNDS; r++) {
        std::vector<std::unique_ptr<emulator>> sims;
        std::vector<std::string> args = {"scan"};
        for (int i = 0; i < ports; i++) {
            sims.push_back(std::make_unique<emulator>(std::vector<std::string>{
                "--uart", "115200,8,N,1", "--wire", "115200", "--delay",
                std::to_string(LATENCY_MS)}));
            args.insert(args.end(), {"--port", sims.back()->pty});
        }
        time_modcfg(f, args, 0);
    }
    return f;
}

// connect_to_module in this process, fast exchange, from transparent mode.
figure fast_connect()
{
    figure f;
    at_set_fast(true);
    for (int r = 0; r < ROUNDS; r++) {
        emulator sim({"--wire", "57600", "--delay", std::to_string(LATENCY_MS)});
        std::fflush(stdout);
        const int saved = dup(1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
        const int fd = CommOpen(sim.pty.c_str(), 57600, 8, PCCOM_PARITY_NONE,
                                PCCOM_STOPBITS_ONE, 0);
        strPCCom.fd = fd;
        int ok = 0;
        f.times.push_back(seconds([&] { ok = fd > 0 && connect_to_module() == 1; }));
        CommClose(fd);
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
        f.ok = f.ok && ok;
    }
    return f;
}

figure provision_twenty()
{
    figure f;
    for (int r = 0; r < ROUNDS; r++) {
        emulator sim({"--wire", "57600", "--delay", std::to_string(LATENCY_MS)});
        time_modcfg(f, {"provision", "twenty.txt", "--port", sim.pty, "--quiet"}, 0);
    }
    return f;
}

} // namespace

int main()
{
    char dir[] = "/tmp/modcfg-bench-scan-XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0) {
        std::perror("working directory");
        return 1;
    }
    FILE *f = std::fopen("twenty.txt", "wb");
    for (int i = 0; i < 20; i++)
        std::fprintf(f, "AT+TCPTO=%d\r\n", 100 + i);
    std::fputs("E\r\n", f);
    std::fclose(f);

    const figure at57600 = scan_at("57600,8,N,1", true);
    const figure at9600 = scan_at("9600,8,N,1", true);
    const figure at50 = scan_at("50,8,N,1", false);
    figure none;
    for (int r = 0; r < ROUNDS; r++) {
        emulator sim({"--silent"});
        time_modcfg(none, {"scan", "--port", sim.pty}, 1);
    }
    const figure one = scan_ports(1), eight = scan_ports(8);
    const figure connect = fast_connect();
    const figure twenty = provision_twenty();

    std::printf("Emulated modules from transparent mode, --delay %d; the median of %d rounds.\n",
                LATENCY_MS, ROUNDS);
    std::printf("%-50s %8s %9s %5s   %-22s\n", "scenario", "time", "floor", "ratio", "goal");
    row("scan, module at 57600 8N1 (--wire 57600)", at57600, scan_floor(57600, true), "< 0.5 s",
        at57600.median() < 0.5);
    row("scan, module at 9600 8N1 (--wire 9600)", at9600, scan_floor(9600, true), "", true);
    row("scan, module at 50 8N1, the last rate (no --wire)", at50, scan_floor(50, false), "< 4 s",
        at50.median() < 4.0);
    row("scan, no module (19 rates tried)", none, scan_floor(0, false), "", true);
    row("scan, 1 port, module at 115200", one, scan_floor(115200, true), "(reference)", true);
    char goal[64];
    std::snprintf(goal, sizeof goal, "< 1.5 x 1 port = %.2f s", 1.5 * one.median());
    row("scan, 8 ports at once, module at 115200 each", eight, scan_floor(115200, true), goal,
        eight.median() < 1.5 * one.median());
    // Connect floor: the guard before "+++", the probes, "+++", "a" both
    // ways and "+ok" on the wire, and the two answers' latency.
    const double connect_floor =
        AT_FAST_QUIET_MS / 1000.0 + wire_s(4 + 4 + 3 + 1 + 1 + 7, 57600) + 2 * LATENCY_MS / 1000.0;
    row("fast connect from transparent, 57600, 5 ms", connect, connect_floor, "< 0.3 s",
        connect.median() < 0.3);
    row("provision+verify 20 lines from transparent", twenty, 0, "< 0.5 s", twenty.median() < 0.5);
    std::printf("(provision's floor: bench_cli's row of the same scenario counts it from the "
                "emulator's bytes and replies; add the connect's %d ms of quiet before \"+++\")\n",
                AT_FAST_QUIET_MS);
    std::printf("(the module at 50 baud runs without --wire: the floor there is what a real "
                "line would take, which the emulator does not pace)\n");
    std::string cmd = std::string("rm -rf '") + dir + "'";
    return std::system(cmd.c_str()) == 0 ? 0 : 1;
}
