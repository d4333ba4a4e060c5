// Times the command line against emulated modules, each figure beside the
// goal it should reach:
// - one module on a pty, from transparent mode: a 20-line command file
//   applied and read back (fast exchange; the window's timing for scale);
// - eight ports at once against one port;
// - 20 modules connecting over TCP at the same moment, all provisioned.
// The emulators pace every byte at 57600 baud (--wire) when they can, and
// answer after 5 ms.
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace
{

constexpr int ROUNDS = 3;
bool wire_supported = false;

pid_t spawn(const std::vector<std::string> &args, bool quiet)
{
    std::vector<char *> argv;
    std::vector<std::string> copy = args;
    for (auto &a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (quiet) {
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

int wait_exit(pid_t pid)
{
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::vector<std::string> sim_args(std::vector<std::string> extra)
{
    std::vector<std::string> a = {QXB27_SIM_BIN};
    a.insert(a.end(), extra.begin(), extra.end());
    if (wire_supported) {
        a.push_back("--wire");
        a.push_back("57600");
    }
    a.push_back("--delay");
    a.push_back("5");
    return a;
}

// An emulator on a pty reachable at `link`.
struct pty_module {
    pid_t pid = -1;
    std::string link;
    explicit pty_module(const std::string &path) : link(path)
    {
        pid = spawn(sim_args({"--pty", "--link", link}), true);
        struct stat st;
        for (int i = 0; i < 500 && lstat(link.c_str(), &st) != 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~pty_module()
    {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
};

double seconds(const std::function<void()> &f)
{
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int run_modcfg(std::vector<std::string> args)
{
    args.insert(args.begin(), MODCFG_CLI_BIN);
    args.push_back("--quiet");
    const pid_t pid = spawn(args, true);
    return wait_exit(pid);
}

// `met` < 0: a reference figure, no goal of its own.
void row(const char *name, double got, const std::string &goal, int met)
{
    std::printf("%-52s %8.2f s   %-24s %s\n", name, got, goal.c_str(),
                met < 0 ? ""
                : met   ? "met"
                        : "NOT met");
}

} // namespace

int main()
{
    char dir[] = "/tmp/modcfg-bench-cli-XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0) {
        std::perror("working directory");
        return 1;
    }
    // The emulator tells in its help whether it can pace bytes on the wire.
    wire_supported =
        std::system((std::string(QXB27_SIM_BIN) + " --help 2>&1 | grep -q -- --wire").c_str()) == 0;

    FILE *f = std::fopen("twenty.txt", "wb");
    for (int i = 0; i < 20; i++)
        std::fprintf(f, "AT+TCPTO=%d\r\n", 100 + i);
    std::fputs("E\r\n", f);
    std::fclose(f);

    std::printf("Emulated modules, %s, replies after 5 ms; median of %d rounds.\n",
                wire_supported ? "bytes paced at 57600 baud" : "NO wire pacing (--wire missing)",
                ROUNDS);
    std::printf("%-52s %10s   %-24s\n", "scenario", "time", "goal");

    // 1. One module from transparent mode.
    std::vector<double> fast, strict;
    {
        pty_module m(std::string(dir) + "/one");
        for (int i = 0; i < ROUNDS; i++) {
            fast.push_back(seconds([&] { run_modcfg({"apply", "--port", m.link, "twenty.txt"}); }));
            strict.push_back(seconds([&] {
                run_modcfg({"apply", "--strict-timing", "--port", m.link, "twenty.txt"});
            }));
        }
    }
    const double one = median(fast);
    row("1 module, transparent, 20 lines applied+verified", one, "< 1 s", one < 1.0);
    row("  the same at the window's timing (--strict-timing)", median(strict), "about 11 s (scale)",
        -1);

    // 2. Eight ports at once, against one port, with provision.
    std::vector<double> single, eight;
    {
        std::vector<std::unique_ptr<pty_module>> ms;
        for (int i = 0; i < 8; i++)
            ms.push_back(std::make_unique<pty_module>(std::string(dir) + "/p" + std::to_string(i)));
        for (int r = 0; r < ROUNDS; r++) {
            single.push_back(seconds([&] {
                run_modcfg({"provision", "twenty.txt", "--port", ms[0]->link});
            }));
            std::vector<std::string> args = {"provision", "twenty.txt"};
            for (auto &m : ms) {
                args.push_back("--port");
                args.push_back(m->link);
            }
            eight.push_back(seconds([&] { run_modcfg(args); }));
        }
    }
    const double s1 = median(single), s8 = median(eight);
    row("1 port, provision", s1, "(reference)", -1);
    char goal[64];
    std::snprintf(goal, sizeof goal, "< 1.5 x 1 port = %.2f s", 1.5 * s1);
    row("8 ports at once, provision", s8, goal, s8 < 1.5 * s1);

    // 3. 20 modules connecting over TCP at the same moment.
    std::vector<double> tcp;
    int tcp_status = 0;
    for (int r = 0; r < ROUNDS; r++) {
        // Port 0: the system picks one, and modcfg names it on standard
        // error (probing it with a connection would count as a module).
        const std::string err = std::string(dir) + "/listen.err";
        std::vector<char *> argv;
        std::vector<std::string> args = {MODCFG_CLI_BIN, "provision", "twenty.txt", "--listen",
                                         "127.0.0.1:0",  "--count",   "20"};
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t tool = -1;
        posix_spawn(&tool, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        int port = 0;
        for (int i = 0; i < 500 && port == 0; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            FILE *ef = std::fopen(err.c_str(), "r");
            char line[256];
            while (ef && std::fgets(line, sizeof line, ef))
                if (const char *at = std::strstr(line, "listening on 127.0.0.1:"))
                    port = std::atoi(at + std::strlen("listening on 127.0.0.1:"));
            if (ef)
                std::fclose(ef);
        }
        const std::string addr = "127.0.0.1:" + std::to_string(port);
        std::vector<pid_t> modules;
        tcp.push_back(seconds([&] {
            for (int i = 0; i < 20; i++)
                modules.push_back(
                    spawn(sim_args({"--tcp", addr, "--set", "MID=TCP" + std::to_string(i)}), true));
            tcp_status = wait_exit(tool);
        }));
        for (pid_t p : modules) {
            kill(p, SIGTERM);
            waitpid(p, nullptr, 0);
        }
    }
    const double t20 = median(tcp);
    row("20 TCP modules at once, all provisioned", t20, "< 2 s", t20 < 2.0 && tcp_status == 0);
    if (tcp_status != 0)
        std::printf("  (the last round's exit status was %d: not all verified)\n", tcp_status);

    std::string cmd = std::string("rm -rf '") + dir + "'";
    return std::system(cmd.c_str()) == 0 ? 0 : 1;
}
