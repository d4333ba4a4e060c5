// Times the workflows' exchanges with an emulated module on a pty at 57600
// baud and sets each beside the least time the exchange rules allow.
//
// The floor of a scenario is the sum, over its reads, of what ends each
// read, plus its fixed pauses, plus the bytes on the wire:
// - a read that gets a short reply ends PCCOM_READ_INTERVAL_MS after the
//   reply's last byte (every reply here is shorter than its read);
// - a read that gets nothing ends after PCCOM_READ_TOTAL_CONST_MS +
//   PCCOM_READ_TOTAL_PER_BYTE_MS x its length;
// - every byte sent or received takes 10 bits (8N1) at 57600 bit/s.
// A pty moves bytes at once and ignores the baud rate, so the measured
// times hold no wire time: a ratio slightly below 1 is the wire share.
//
// The module side runs the same core calls as the handlers (the window's
// own work is negligible beside the exchanges), so no display is needed.
#include "bench_timing.h"
#include "cmd_file.h"
#include "command.h"
#include "main.h"
#include "module.h"
#include "module_at.h"
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

// The serial build's binding of the module operations.
int module_send_cmd_get(const char *cmd, char *ret)
{
    return at_send_cmd_get(serial_link, cmd, ret);
}
int module_send_cmd_set(const char *cmd)
{
    return at_send_cmd_set(serial_link, cmd);
}
int module_echo()
{
    return at_echo(serial_link);
}

namespace
{

constexpr double BAUD = 57600;
constexpr double MS_PER_BYTE = 10.0 * 1000.0 / BAUD;
constexpr int ROUNDS = 3;

// Reply bytes of the emulated module: "+ok\r\n\r\n", "a",
// "+ok=<value>\r\n\r\n".
constexpr int ACK_BYTES = 7;
constexpr int VALUE_FRAME_BYTES = 8;

// Wire time of the floors computed so far, so the report can show the
// waits alone beside the measured times.
double wire_ms = 0;

// Floor of one read that gets a reply, and of one that gets nothing.
double answered_read(int sent, int received)
{
    wire_ms += (sent + received) * MS_PER_BYTE;
    return PCCOM_READ_INTERVAL_MS + (sent + received) * MS_PER_BYTE;
}
double silent_read(int sent, int len)
{
    wire_ms += sent * MS_PER_BYTE;
    return PCCOM_READ_TOTAL_CONST_MS + PCCOM_READ_TOTAL_PER_BYTE_MS * len + sent * MS_PER_BYTE;
}

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
        int out[2];
        if (pipe(out) != 0)
            return false;
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            std::vector<std::string> all = {QXB27_SIM_BIN, "--pty"};
            all.insert(all.end(), args.begin(), args.end());
            std::vector<char *> argv;
            for (std::string &a : all)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        std::string line;
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n')
            line += c;
        close(out[0]);
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

struct result {
    std::string name;
    std::vector<double> runs;
    double floor;
    double wire = 0; // of the floor
};

void print(const result &r)
{
    std::vector<double> sorted = r.runs;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted[sorted.size() / 2];
    std::printf("%-34s %9.1f %9.1f %6.3f %9.1f %6.3f %9.1f %9.1f\n", r.name.c_str(), median,
                r.floor, median / r.floor, r.floor - r.wire, median / (r.floor - r.wire),
                sorted.front(), sorted.back());
}

} // namespace

int main()
{
    char dir[] = "/tmp/modcfg-bench-XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0 || mkdir("data", 0755) != 0) {
        std::perror("working directory");
        return 1;
    }
    std::vector<result> results;

    // 1. Connect to a module already in command mode: probe, echo test.
    {
        emulator m;
        if (!m.start({"--mode", "command"}))
            return 1;
        result r{"connect, command mode", {}, 0};
        r.floor = answered_read(4, ACK_BYTES) + answered_read(4, ACK_BYTES);
        for (int i = 0; i < ROUNDS; i++) {
            if (!open_port(m))
                return 1;
            r.runs.push_back(time_ms(connect));
            close_port();
        }
        r.wire = wire_ms;
        wire_ms = 0;
        results.push_back(r);
    }

    // 2. Connect from transparent mode: two silent probes, the drain, "+++"
    // answered "a", "a" answered "+ok", then the echo test.
    {
        emulator m;
        if (!m.start({"--mode", "transparent"}))
            return 1;
        result r{"connect, transparent mode", {}, 0};
        r.floor = silent_read(4, 20) + silent_read(4, 20) + silent_read(0, 5) +
                  answered_read(3, 1) + answered_read(1, ACK_BYTES) + answered_read(4, ACK_BYTES);
        for (int i = 0; i < ROUNDS; i++) {
            if (!open_port(m))
                return 1;
            r.runs.push_back(time_ms(connect));
            module_send_cmd_set("AT+ENTM"); // back to transparent for the next round
            close_port();
        }
        r.wire = wire_ms;
        wire_ms = 0;
        results.push_back(r);
    }

    // 3 to 5 on one module in command mode.
    emulator m;
    m.state = std::string(dir) + "/state.txt";
    if (!m.start({"--mode", "command", "--state", m.state}) || !open_port(m))
        return 1;
    {
        // 3. Read all four pages: 19 queries, each answered with its value.
        result r{"read all four pages (19 queries)", {}, 0};
        for (const auto &[name, value] : m.settings())
            r.floor += answered_read(frame("AT+" + name),
                                     VALUE_FRAME_BYTES + static_cast<int>(value.size()));
        for (int i = 0; i < ROUNDS; i++)
            r.runs.push_back(time_ms([] {
                init_module_mana_struct();
                init_module_comm_struct();
                init_module_ap_struct();
                init_module_sta_struct();
            }));
        r.wire = wire_ms;
        wire_ms = 0;
        results.push_back(r);
    }
    {
        // 4. Confirm five pending commands of one page.
        const std::vector<std::vector<std::string>> cmds = {{"UARTFT", "300"},
                                                            {"UARTFL", "256"},
                                                            {"MAXSK", "8"},
                                                            {"TCPTO", "120"},
                                                            {"UARTF", "enable"}};
        result r{"confirm five commands", {}, 0};
        for (const auto &c : cmds)
            r.floor += answered_read(frame("AT+" + c[0] + "=" + c[1]), ACK_BYTES);
        for (int i = 0; i < ROUNDS; i++) {
            cmd_num_comm = 0;
            for (const auto &c : cmds) {
                STRCOMMAND &e = strcommand_comm[cmd_num_comm++];
                text_set(e.cmd, c[0].c_str());
                text_set(e.value[0], c[1].c_str());
                e.value_num = 1;
            }
            r.runs.push_back(time_ms([] { confirm_pending_commands(CMDTYPE_COMM); }));
        }
        r.wire = wire_ms;
        wire_ms = 0;
        results.push_back(r);
    }
    {
        // 5. Apply a command file of 20 command lines.
        std::string file;
        result r{"apply a 20-line command file", {}, 0};
        for (int i = 0; i < 20; i++) {
            const std::string line = "AT+TCPTO=" + std::to_string(100 + i);
            file += line + "\r\n";
            r.floor += answered_read(frame(line), ACK_BYTES);
        }
        file += "E\r\n";
        std::ofstream("data/bench.txt", std::ios::binary) << file;
        for (int i = 0; i < ROUNDS; i++)
            r.runs.push_back(time_ms([] { apply_command_file("bench.txt"); }));
        r.wire = wire_ms;
        wire_ms = 0;
        results.push_back(r);
    }
    close_port();

    std::printf("Emulated module on a pty, 57600 baud, %d rounds each; times in ms.\n", ROUNDS);
    std::printf("waits: the floor without the wire time, which a pty does not take\n");
    std::printf("floor: reads' end conditions (%d ms after a reply's last byte; %d + %d ms/byte "
                "for a read that gets nothing) + pauses + bytes x %.4f ms on the wire\n",
                PCCOM_READ_INTERVAL_MS, PCCOM_READ_TOTAL_CONST_MS, PCCOM_READ_TOTAL_PER_BYTE_MS,
                MS_PER_BYTE);
    std::printf("%-34s %9s %9s %6s %9s %6s %9s %9s\n", "scenario", "median", "floor", "ratio",
                "waits", "ratio", "min", "max");
    for (const result &r : results)
        print(r);
    std::string cmd = std::string("rm -rf '") + dir + "'";
    return std::system(cmd.c_str()) == 0 ? 0 : 1;
}
