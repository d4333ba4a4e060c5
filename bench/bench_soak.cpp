// Soak: many exchanges against the emulator, with the process's resident
// memory and open descriptors printed at the start, along the way and at
// the end. Growth beyond noise (1 MiB, any descriptor) means a leak.
//   - over TCP: queries on one connection while a keep-alive runs once a
//     second, as in the network build (its exchange under the lock). A
//     query takes well under a millisecond on loopback, so they are paced
//     (5 ms apart by default) for the keep-alive to land among them;
//   - over a pty: cycles of what the serial window's connect, a page read
//     and its disconnect do: open the port, command-mode entry (the
//     handshake: "AT+ENTM" left the module transparent), echo test, the
//     management page's five queries, "AT+ENTM", close.
// The start figures are taken after a short warm-up, so that one-time
// allocations (stdio buffers, the first exchange) do not count as growth.
//   bench_soak [--queries N] [--pace MS] [--cycles N]   (10000, 5, 500)
#include "bench_timing.h"
#include "main.h"
#include "module.h"
#include "module_at.h"
#include "module_port.h"
#include "module_read.h"
#include "pccom.h"
#include "tcpsock.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

constexpr long GROWTH_LIMIT_KB = 1024;

// The queries of the four pages, in the readers' order.
const char *const queries[] = {"AT+MID",    "AT+WMODE",  "AT+TMODE",  "AT+WEBU",   "AT+VER",
                               "AT+UART",   "AT+UARTF",  "AT+UARTFT", "AT+UARTFL", "AT+NETP",
                               "AT+MAXSK",  "AT+TCPTO",  "AT+WAP",    "AT+WAKEY",  "AT+LANN",
                               "AT+DHCPGW", "AT+WSSSID", "AT+WSKEY",  "AT+WANN"};
constexpr int QUERY_COUNT = sizeof queries / sizeof queries[0];

struct usage {
    long rss_kb;
    int fds;
};

usage now_usage()
{
    usage u{0, 0};
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        long size = 0, resident = 0;
        if (std::fscanf(f, "%ld %ld", &size, &resident) == 2)
            u.rss_kb = resident * (sysconf(_SC_PAGESIZE) / 1024);
        std::fclose(f);
    }
    if (DIR *d = opendir("/proc/self/fd")) {
        while (const dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                u.fds++;
        closedir(d);
        u.fds--; // the listing's own descriptor
    }
    return u;
}

void row(const char *what, const usage &u)
{
    std::printf("  %-22s %10ld %12d\n", what, u.rss_kb, u.fds);
    std::fflush(stdout);
}

// Prints the end and the growth against `start`; true when within the target.
bool verdict(const usage &start, const usage &end, long failed, double seconds)
{
    row("end", end);
    const long grew = end.rss_kb - start.rss_kb;
    const int fds = end.fds - start.fds;
    const bool met = grew < GROWTH_LIMIT_KB && fds == 0;
    std::printf("  %-22s %+10ld %+12d   target under %ld kB and 0: %s\n", "growth", grew, fds,
                GROWTH_LIMIT_KB, met ? "met" : "NOT met");
    std::printf("  failed exchanges: %ld; %.2f s\n\n", failed, seconds);
    std::fflush(stdout);
    return met;
}

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void stop(pid_t pid)
{
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

bool soak_tcp(int count, int pace_ms)
{
    // The soak runs both builds' exchanges in one process, one after the
    // other: the network build's binding for this part.
    module_bind(net_module_ops());
    const char *step = "";
    const int server = tcpsock_listen("127.0.0.1", 0, &step);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (server < 0 || getsockname(server, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        std::fprintf(stderr, "no listening socket (%s): %s\n", step, std::strerror(errno));
        return false;
    }
    int out = -1;
    const pid_t sim =
        spawn_emulator({"--tcp", "127.0.0.1:" + std::to_string(ntohs(a.sin_port))}, &out);
    close(out);
    int sock = 0;
    for (int i = 0; i < 5 && sock == 0; i++)
        if (get_select(server) == 1)
            sock = tcpsock_accept(server);
    if (sock <= 0) {
        std::fprintf(stderr, "the emulator did not connect\n");
        stop(sim);
        return false;
    }
    tcpsock_set_recv_timeout(sock, TCP_RECV_TIMEOUT_MS);
    tcpsock_attach(sock);

    std::atomic<bool> done{false};
    std::atomic<long> keep_alives{0}, lost{0};
    std::thread keeper([&] {
        while (!done) {
            for (int i = 0; i < 100 && !done; i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (done)
                break;
            if (tcpsock_keep_alive() < 0)
                lost++;
            keep_alives++;
        }
    });

    std::printf("%d queries over TCP on loopback, %d ms apart, keep-alive once a second\n", count,
                pace_ms);
    std::printf("  %-22s %10s %12s\n", "", "RSS kB", "descriptors");
    long failed = 0;
    char value[AT_VALUE_MAX + 1];
    {
        quiet q;
        for (int i = 0; i < QUERY_COUNT; i++) // warm-up: one full read
            failed += module_send_cmd_get(queries[i], value) != 1;
    }
    const usage start = now_usage();
    row("start", start);
    const auto t0 = std::chrono::steady_clock::now();
    const int step_every = count / 5 > 0 ? count / 5 : 1;
    for (int i = 1; i <= count; i++) {
        {
            quiet q;
            failed += module_send_cmd_get(queries[i % QUERY_COUNT], value) != 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pace_ms));
        if (i % step_every == 0 && i < count)
            row((std::to_string(i) + " queries").c_str(), now_usage());
    }
    const double took = seconds_since(t0);
    const usage end = now_usage();
    done = true;
    keeper.join();
    tcpsock_drop();
    stop(sim);
    close(server);
    module_bind(module_ops_over(serial_link));
    std::printf("  keep-alives sent: %ld, links lost: %ld\n", keep_alives.load(), lost.load());
    return verdict(start, end, failed + lost, took);
}

// One connect, page read and disconnect as the serial window does them;
// false when the module could not be reached.
bool serial_cycle(long *failed)
{
    quiet q;
    init_pccom();
    if (strPCCom.fd == 0)
        return false;
    const bool connected = connect_to_module() == 1;
    if (connected) {
        if (module_echo() == 1)
            module_send_cmd_set("AT+E");
        char value[AT_VALUE_MAX + 1];
        for (int i = 0; i < 5; i++) // the management page's queries
            *failed += module_send_cmd_get(queries[i], value) != 1;
        module_send_cmd_set("AT+ENTM");
    }
    CommClose(strPCCom.fd);
    strPCCom.fd = 0;
    return connected;
}

bool soak_pty(int cycles)
{
    int out = -1;
    const pid_t sim = spawn_emulator({"--pty"}, &out);
    std::string line;
    char c;
    while (read(out, &c, 1) == 1 && c != '\n')
        line += c;
    close(out);
    if (line.compare(0, 4, "pty ") != 0) {
        std::fprintf(stderr, "the emulator gave no pty\n");
        stop(sim);
        return false;
    }
    setenv("MODCFG_COM1", line.substr(4).c_str(), 1);
    init_PC_structs(); // COM1, 57600 8N1

    std::printf("%d cycles over a pty: open, connect, echo test, page read (5 queries), "
                "\"AT+ENTM\", close\n",
                cycles);
    std::printf("  %-22s %10s %12s\n", "", "RSS kB", "descriptors");
    long failed = 0;
    if (!serial_cycle(&failed)) { // warm-up
        std::fprintf(stderr, "the emulator did not answer\n");
        stop(sim);
        return false;
    }
    const usage start = now_usage();
    row("start", start);
    const auto t0 = std::chrono::steady_clock::now();
    const int step_every = cycles / 5 > 0 ? cycles / 5 : 1;
    for (int i = 1; i <= cycles; i++) {
        if (!serial_cycle(&failed))
            failed++;
        if (i % step_every == 0 && i < cycles)
            row((std::to_string(i) + " cycles").c_str(), now_usage());
    }
    const double took = seconds_since(t0);
    const usage end = now_usage();
    stop(sim);
    return verdict(start, end, failed, took);
}

int count_arg(const char *text, long least)
{
    char *end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || n < least || n > 10000000) {
        std::fprintf(stderr, "not a count: %s\n", text);
        std::exit(2);
    }
    return static_cast<int>(n);
}

} // namespace

int main(int argc, char **argv)
{
    int query_count = 10000, pace_ms = 5, cycle_count = 500;
    for (int i = 1; i < argc; i++) {
        const std::string opt = argv[i];
        if (opt == "--queries" && i + 1 < argc)
            query_count = count_arg(argv[++i], 1);
        else if (opt == "--pace" && i + 1 < argc)
            pace_ms = count_arg(argv[++i], 0);
        else if (opt == "--cycles" && i + 1 < argc)
            cycle_count = count_arg(argv[++i], 1);
        else {
            std::fprintf(stderr, "usage: %s [--queries N] [--pace MS] [--cycles N]\n", argv[0]);
            return 2;
        }
    }
    char dir[] = "/tmp/modcfg-soak-XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0) {
        std::perror("working directory");
        return 1;
    }
    init_app_state();
    const bool tcp_ok = soak_tcp(query_count, pace_ms);
    const bool pty_ok = soak_pty(cycle_count);
    std::string cmd = std::string("rm -rf '") + dir + "'";
    if (std::system(cmd.c_str()) != 0)
        return 1;
    return tcp_ok && pty_ok ? 0 : 1;
}
