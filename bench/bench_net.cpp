// Times the workflows' exchanges over TCP on loopback: the emulated module
// connects to the tool's server on port 9999 as the network build's module
// does, and a keep-alive runs once a second meanwhile, as the connection
// thread's does (the scenarios are so short that it seldom lands inside
// one). Printed after the serial figures by bench/run.sh.
//
// A TCP read returns as soon as a reply's bytes are there, so there is no
// floor of end conditions as on the serial port: the times are the module's
// turnaround and the exchange's own work.
#include "bench_timing.h"
#include "cmd_file.h"
#include "command.h"
#include "main.h"
#include "module.h"
#include "module_at.h"
#include "module_port.h"
#include "module_read.h"
#include "tcpsock.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

constexpr int ROUNDS = 5;
// The full read the network build is meant to manage, milliseconds.
constexpr double READ_TARGET_MS = 100;

struct result {
    std::string name;
    std::vector<double> runs;
};

void print(const result &r)
{
    std::vector<double> sorted = r.runs;
    std::sort(sorted.begin(), sorted.end());
    std::printf("%-34s %9.1f %9.1f %9.1f\n", r.name.c_str(), sorted[sorted.size() / 2],
                sorted.front(), sorted.back());
}

} // namespace

int main()
{
    // The network build's binding of the module operations.
    module_bind(net_module_ops());
    char dir[] = "/tmp/modcfg-bench-net-XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0 || mkdir("data", 0755) != 0) {
        std::perror("working directory");
        return 1;
    }
    int server;
    {
        quiet q;
        server = tcpsock_server_init();
    }
    if (server == 0) {
        std::fprintf(stderr, "port %d is taken\n", TCP_SERVER_PORT);
        return 1;
    }
    const pid_t sim = fork();
    if (sim == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execl(QXB27_SIM_BIN, QXB27_SIM_BIN, "--tcp", "127.0.0.1:9999",
              static_cast<char *>(nullptr));
        _exit(127);
    }
    int sock = 0;
    for (int i = 0; i < 5 && sock == 0; i++)
        if (get_select(server) == 1)
            sock = tcpsock_accept(server);
    if (sock <= 0) {
        std::fprintf(stderr, "the emulator did not connect\n");
        kill(sim, SIGTERM);
        return 1;
    }
    tcpsock_set_recv_timeout(sock, TCP_RECV_TIMEOUT_MS);
    tcpsock_attach(sock);

    std::atomic<bool> stop{false};
    std::thread keeper([&] {
        while (!stop) {
            for (int i = 0; i < 100 && !stop; i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (!stop)
                tcpsock_keep_alive();
        }
    });

    std::vector<result> results;
    {
        result r{"read all four pages (19 queries)", {}};
        for (int i = 0; i < ROUNDS; i++)
            r.runs.push_back(time_ms([] {
                init_module_mana_struct();
                init_module_comm_struct();
                init_module_ap_struct();
                init_module_sta_struct();
            }));
        // Failed exchanges would be fast too: the reads must have landed.
        if (std::string(strMODMana.mid) != "QX-B27" || strMODComm.port != 8899) {
            std::fprintf(stderr, "the reads did not get the module's values\n");
            return 1;
        }
        results.push_back(r);
    }
    {
        const std::vector<std::vector<std::string>> cmds = {{"UARTFT", "300"},
                                                            {"UARTFL", "256"},
                                                            {"MAXSK", "8"},
                                                            {"TCPTO", "120"},
                                                            {"UARTF", "enable"}};
        result r{"confirm five commands", {}};
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
        results.push_back(r);
    }
    {
        std::string file;
        for (int i = 0; i < 20; i++)
            file += "AT+TCPTO=" + std::to_string(100 + i) + "\r\n";
        file += "E\r\n";
        std::ofstream("data/bench.txt", std::ios::binary) << file;
        result r{"apply a 20-line command file", {}};
        for (int i = 0; i < ROUNDS; i++)
            r.runs.push_back(time_ms([] { apply_command_file("bench.txt"); }));
        results.push_back(r);
    }
    // And the sets: the file's last TCPTO is what the module holds now.
    init_module_comm_struct();
    if (strMODComm.TCPto != 119) {
        std::fprintf(stderr, "the set commands did not reach the module\n");
        return 1;
    }
    stop = true;
    keeper.join();
    tcpsock_drop();
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    close(server);

    std::printf("\nEmulated module over TCP on loopback, keep-alive once a second, %d rounds "
                "each; times in ms.\n",
                ROUNDS);
    std::printf("%-34s %9s %9s %9s\n", "scenario", "median", "min", "max");
    for (const result &r : results)
        print(r);
    std::vector<double> reads = results[0].runs;
    std::sort(reads.begin(), reads.end());
    std::printf("full read target: under %.0f ms: %s\n", READ_TARGET_MS,
                reads.back() < READ_TARGET_MS ? "met" : "NOT met");
    std::string cmd = std::string("rm -rf '") + dir + "'";
    return std::system(cmd.c_str()) == 0 ? 0 : 1;
}
