// Times the workflows' exchanges with an emulated module on a pty, with and
// without fast exchange, and sets each beside the least time it allows.
//
// The emulator runs with --wire 57600 (every byte takes 10 bits at 57600
// bit/s each way, as on the module's line) and --delay 5 (5 ms from a
// frame's last byte to the reply). Both modes run in the same run, their
// rounds alternating, so that a noisy machine weighs on both alike.
//
// The floor of fast exchange is what the wire and the module take: the
// bytes sent and received, 10 bits each at 57600 bit/s, plus the latency of
// every reply. Without fast exchange each read also waits out its end
// conditions: a read that gets a reply ends PCCOM_READ_INTERVAL_MS after
// its last byte (every reply here is shorter than its read), one that gets
// nothing after PCCOM_READ_TOTAL_CONST_MS + PCCOM_READ_TOTAL_PER_BYTE_MS x
// its length.
//
// The module side runs the same core calls as the handlers (the window's
// own work is negligible beside the exchanges), so no display is needed.
#include "bench_timing.h"
#include "cmd_file.h"
#include "command.h"
#include "main.h"
#include "module.h"
#include "module_at.h"
#include "module_port.h"
#include "module_read.h"
#include "pccom.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr int BAUD = 57600;
constexpr double MS_PER_BYTE = 10.0 * 1000.0 / BAUD;
constexpr int LATENCY_MS = 5;
constexpr int ROUNDS = 3;

// Reply bytes of the emulated module: "+ok\r\n\r\n", "a",
// "+ok=<value>\r\n\r\n".
constexpr int ACK_BYTES = 7;
constexpr int VALUE_FRAME_BYTES = 8;

// The floors of one scenario, added up exchange by exchange.
struct floors {
    double normal = 0; // without fast exchange
    double fast = 0;

    // A read that gets a reply of `received` bytes to `sent` bytes.
    void answered(int sent, int received)
    {
        const double line = (sent + received) * MS_PER_BYTE + LATENCY_MS;
        normal += PCCOM_READ_INTERVAL_MS + line;
        fast += line;
    }
    // A read of up to `len` bytes that gets nothing after `sent` bytes.
    void silent(int sent, int len)
    {
        const double line = sent * MS_PER_BYTE;
        normal += PCCOM_READ_TOTAL_CONST_MS + PCCOM_READ_TOTAL_PER_BYTE_MS * len + line;
        fast += line;
    }
};

// Frame of a command text: the text and "\n".
int frame(const std::string &text)
{
    return static_cast<int>(text.size()) + 1;
}

// ---------------------------------------------------------------------------
// The emulator as a child process.

struct emulator {
    pid_t pid = -1;
    std::string pty, state;

    bool start(const std::vector<std::string> &args)
    {
        std::vector<std::string> all = {"--pty"};
        all.insert(all.end(), args.begin(), args.end());
        int out = -1;
        pid = spawn_emulator(all, &out);
        if (pid < 0)
            return false;
        std::string line;
        char c;
        while (read(out, &c, 1) == 1 && c != '\n')
            line += c;
        close(out);
        if (line.compare(0, 4, "pty ") != 0)
            return false;
        pty = line.substr(4);
        return true;
    }
    ~emulator()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    std::map<std::string, std::string> settings() const
    {
        std::map<std::string, std::string> out;
        std::ifstream in(state);
        for (std::string line; std::getline(in, line);) {
            const size_t eq = line.find('=');
            if (eq != std::string::npos)
                out[line.substr(0, eq)] = line.substr(eq + 1);
        }
        return out;
    }
};

// ---------------------------------------------------------------------------

bool open_port(const emulator &m)
{
    setenv("MODCFG_COM1", m.pty.c_str(), 1);
    init_PC_structs(); // COM1, 57600 8N1
    quiet q;
    init_pccom();
    return strPCCom.fd != 0;
}

void close_port()
{
    CommClose(strPCCom.fd);
    strPCCom.fd = 0;
}

// What the connect button does on the link: command-mode entry and the
// echo test (the module's echo is off, so no "AT+E" follows).
void connect()
{
    if (connect_to_module() != 1 || module_echo() != 0) {
        std::fprintf(stderr, "connect failed\n");
        std::exit(1);
    }
}

// One scenario's times in both modes.
struct result {
    std::string name;
    floors floor;
    std::vector<double> normal, fast;
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Runs `round` ROUNDS times in each mode, the modes alternating; `before`
// (when set) prepares each round untimed.
void measure(result &r, const std::function<void()> &round,
             const std::function<void()> &before = nullptr)
{
    for (int i = 0; i < ROUNDS; i++)
        for (bool fast : {false, true}) {
            at_set_fast(fast);
            if (before)
                before();
            (fast ? r.fast : r.normal).push_back(time_ms(round));
        }
    at_set_fast(false);
}

std::vector<std::string> emulator_args(std::vector<std::string> more)
{
    std::vector<std::string> args = {"--wire", std::to_string(BAUD), "--delay",
                                     std::to_string(LATENCY_MS)};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

} // namespace

int main()
{
    // The serial build's binding of the module operations.
    module_bind(module_ops_over(serial_link));
    char dir[] = "/tmp/modcfg-bench-XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0 || mkdir("data", 0755) != 0) {
        std::perror("working directory");
        return 1;
    }
    std::vector<result> results;

    // 1. Connect to a module already in command mode: probe, echo test.
    {
        emulator m;
        if (!m.start(emulator_args({"--mode", "command"})))
            return 1;
        result r{"connect, command mode", {}, {}, {}};
        r.floor.answered(4, ACK_BYTES);
        r.floor.answered(4, ACK_BYTES);
        // The port stays open between rounds: the emulator pauses 20 ms
        // whenever it sees the pty's other side closed, which is not the
        // module's time.
        if (!open_port(m))
            return 1;
        measure(r, connect);
        close_port();
        results.push_back(r);
    }

    // 2. Connect from transparent mode: two silent probes, the drain, "+++"
    // answered "a", "a" answered "+ok", then the echo test.
    {
        emulator m;
        if (!m.start(emulator_args({"--mode", "transparent"})))
            return 1;
        result r{"connect, transparent mode", {}, {}, {}};
        r.floor.silent(4, 20);
        r.floor.silent(4, 20);
        r.floor.silent(0, 5);
        r.floor.answered(3, 1);
        r.floor.answered(1, ACK_BYTES);
        r.floor.answered(4, ACK_BYTES);
        if (!open_port(m))
            return 1;
        bool first = true;
        measure(r, connect, [&] {
            // Back to transparent mode for the next round.
            if (!first)
                module_send_cmd_set("AT+ENTM");
            first = false;
        });
        close_port();
        results.push_back(r);
    }

    // 3 to 5 on one module in command mode.
    emulator m;
    m.state = std::string(dir) + "/state.txt";
    if (!m.start(emulator_args({"--mode", "command", "--state", m.state})) || !open_port(m))
        return 1;
    {
        // 3. Read all four pages: 19 queries, each answered with its value.
        result r{"read all four pages (19 queries)", {}, {}, {}};
        for (const auto &[name, value] : m.settings())
            r.floor.answered(frame("AT+" + name),
                             VALUE_FRAME_BYTES + static_cast<int>(value.size()));
        measure(r, [] {
            init_module_mana_struct();
            init_module_comm_struct();
            init_module_ap_struct();
            init_module_sta_struct();
        });
        // Failed exchanges would be fast too: the reads must have landed.
        if (std::string(strMODMana.mid) != m.settings()["MID"] || strMODComm.port != 8899) {
            std::fprintf(stderr, "the reads did not get the module's values\n");
            return 1;
        }
        results.push_back(r);
    }
    {
        // 4. Confirm five pending commands of one page.
        const std::vector<std::vector<std::string>> cmds = {{"UARTFT", "300"},
                                                            {"UARTFL", "256"},
                                                            {"MAXSK", "8"},
                                                            {"TCPTO", "120"},
                                                            {"UARTF", "enable"}};
        result r{"confirm five commands", {}, {}, {}};
        for (const auto &c : cmds)
            r.floor.answered(frame("AT+" + c[0] + "=" + c[1]), ACK_BYTES);
        measure(
            r, [] { confirm_pending_commands(CMDTYPE_COMM); },
            [&] {
                cmd_num_comm = 0;
                for (const auto &c : cmds) {
                    STRCOMMAND &e = strcommand_comm[cmd_num_comm++];
                    text_set(e.cmd, c[0].c_str());
                    text_set(e.value[0], c[1].c_str());
                    e.value_num = 1;
                }
            });
        results.push_back(r);
    }
    {
        // 5. Apply a command file of 20 command lines.
        std::string file;
        result r{"apply a 20-line command file", {}, {}, {}};
        for (int i = 0; i < 20; i++) {
            const std::string line = "AT+TCPTO=" + std::to_string(100 + i);
            file += line + "\r\n";
            r.floor.answered(frame(line), ACK_BYTES);
        }
        file += "E\r\n";
        std::ofstream("data/bench.txt", std::ios::binary) << file;
        measure(r, [] { apply_command_file("bench.txt"); });
        if (m.settings()["TCPTO"] != "119") {
            std::fprintf(stderr, "the set commands did not reach the module\n");
            return 1;
        }
        results.push_back(r);
    }
    close_port();

    std::printf("Emulated module on a pty: --wire %d (10 bits a byte each way), --delay %d "
                "(reply latency); %d rounds a mode, alternating; medians in ms.\n",
                BAUD, LATENCY_MS, ROUNDS);
    std::printf("floor, default: the reads' end conditions (%d ms after a reply's last byte; "
                "%d + %d ms/byte for a read that gets nothing) + wire + latencies\n",
                PCCOM_READ_INTERVAL_MS, PCCOM_READ_TOTAL_CONST_MS, PCCOM_READ_TOTAL_PER_BYTE_MS);
    std::printf("floor, fast: the bytes sent and received on the wire (%.4f ms each) + "
                "latencies\n",
                MS_PER_BYTE);
    std::printf("(a connect from transparent mode also waits out its two unanswered probes, "
                "%d ms each, which no floor of the wire holds)\n",
                AT_FAST_FIRST_BYTE_MS);
    std::printf("%-34s %9s %9s %6s | %9s %9s %6s\n", "scenario", "default", "floor", "ratio",
                "fast", "floor", "ratio");
    for (const result &r : results) {
        const double d = median(r.normal), f = median(r.fast);
        std::printf("%-34s %9.1f %9.1f %6.3f | %9.1f %9.1f %6.3f\n", r.name.c_str(), d,
                    r.floor.normal, d / r.floor.normal, f, r.floor.fast, f / r.floor.fast);
    }

    // What fast exchange is meant to reach, and the default to keep.
    auto fast_of = [&](int i) { return median(results[static_cast<size_t>(i)].fast); };
    struct target {
        const char *what;
        bool met;
    } targets[] = {
        {"fast connect from command mode under 100 ms", fast_of(0) < 100},
        {"fast connect from transparent mode under 600 ms", fast_of(1) < 600},
        {"fast full read under 300 ms", fast_of(2) < 300},
        {"fast full read within 1.25 x its floor", fast_of(2) <= 1.25 * results[2].floor.fast},
        {"fast 20-line apply under 300 ms", fast_of(4) < 300},
    };
    for (const target &t : targets)
        std::printf("%s: %s\n", t.what, t.met ? "met" : "NOT met");
    bool within = true;
    for (const result &r : results)
        within = within && median(r.normal) <= 1.02 * r.floor.normal;
    std::printf("default within 2 %% of its floor: %s\n", within ? "met" : "NOT met");
    std::string cmd = std::string("rm -rf '") + dir + "'";
    return std::system(cmd.c_str()) == 0 ? 0 : 1;
}
