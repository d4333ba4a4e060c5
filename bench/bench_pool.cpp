// Times the records of a production line:
// - claims per second for one pool of 10,000 rows taken by 32 worker
//   processes at once, SQLite (one file) and PostgreSQL (a throw-away
//   server on a Unix socket) side by side; goal over 500 claims/s on both;
// - 20 modules connecting over TCP at the same moment, provisioned from a
//   pool with the history in SQLite, beside the same run without either;
//   goal under 2 s, as without. Each emulator answers after 5 ms (--delay),
//   as in the benchmark of modcfg.
#include "bench_process.h"
#include "pg_server.h"
#include "store.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace
{

using mono = std::chrono::steady_clock;
constexpr int ROWS = 10000, WORKERS = 32, ROUNDS = 3;
std::string workdir;

double claims_per_second(const std::string &url)
{
    std::string error;
    {
        auto s = store_open(url, &error);
        if (!s) {
            std::fprintf(stderr, "%s: %s\n", url.c_str(), error.c_str());
            return 0;
        }
        std::vector<store_row> rows(ROWS);
        for (int i = 0; i < ROWS; i++)
            rows[i].values = {"name" + std::to_string(i), "10.1." + std::to_string(i / 250) + "." +
                                                              std::to_string(i % 250 + 1)};
        if (s->pool_import("bench", {"NAME", "IP"}, rows, &error) != store_status::ok) {
            std::fprintf(stderr, "import: %s\n", error.c_str());
            return 0;
        }
    }
    const auto t0 = mono::now();
    std::vector<pid_t> pids;
    for (int w = 0; w < WORKERS; w++) {
        const pid_t pid = fork();
        if (pid == 0) {
            std::string err;
            auto s = store_open(url, &err);
            int n = 0;
            store_row r;
            while (s && s->pool_claim("bench", "W" + std::to_string(w) + "-" + std::to_string(n),
                                      &r, &err) == store_claim::got)
                n++;
            _exit(s ? 0 : 1);
        }
        pids.push_back(pid);
    }
    int failed = 0;
    for (pid_t p : pids) {
        int st = 0;
        waitpid(p, &st, 0);
        failed += !(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    }
    const double secs = std::chrono::duration<double>(mono::now() - t0).count();
    std::vector<store_pool_info> pools;
    auto s = store_open(url, &error);
    if (failed || !s || !s->pool_list(&pools, &error) || pools.empty() || pools[0].held != ROWS) {
        std::fprintf(stderr, "%s: not every row was taken once\n", url.c_str());
        return 0;
    }
    return ROWS / secs;
}

// Seconds from 20 modules connecting to modcfg's end, or -1 on a failed run.
double twenty_tcp(bool pool, int round)
{
    const std::string tag = workdir + "/r" + std::to_string(round) + (pool ? "p" : "n");
    std::vector<std::string> args = {
        MODCFG_CLI_BIN, "provision",   workdir + (pool ? "/t.txt" : "/plain.txt"),
        "--listen",     "127.0.0.1:0", "--count",
        "20",           "--quiet"};
    if (pool)
        args.insert(args.end(), {"--db", tag + ".sqlite", "--values", workdir + "/line.csv"});
    else
        args.insert(args.end(), {"--no-history"});
    const pid_t cli = spawn(args, "", tag + ".err");
    int port = 0;
    for (int i = 0; i < 500 && !port; i++) {
        const std::string e = read_text(tag + ".err");
        const size_t at = e.find("listening on 127.0.0.1:");
        if (at != std::string::npos)
            port = std::atoi(e.c_str() + at + 23);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!port)
        return -1;
    const auto t0 = mono::now();
    std::vector<pid_t> sims;
    for (int i = 0; i < 20; i++)
        sims.push_back(
            spawn({QXB27_SIM_BIN, "--tcp", "127.0.0.1:" + std::to_string(port), "--delay", "5",
                   "--set", "MID=B" + std::to_string(round) + "-" + std::to_string(i)}));
    int st = 0;
    waitpid(cli, &st, 0);
    const double secs = std::chrono::duration<double>(mono::now() - t0).count();
    for (pid_t s : sims) {
        kill(s, SIGTERM);
        waitpid(s, nullptr, 0);
    }
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
        std::fprintf(stderr, "run failed (%s %d):\n%s\n", WIFEXITED(st) ? "exit status" : "signal",
                     WIFEXITED(st) ? WEXITSTATUS(st) : WTERMSIG(st), read_text(tag + ".err").c_str());
        return -1;
    }
    return secs;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main()
{
    char tmpl[] = "/tmp/bench-pool-XXXXXX";
    if (!mkdtemp(tmpl))
        return 1;
    workdir = tmpl;
    setenv("XDG_DATA_HOME", workdir.c_str(), 1);
    pg_server pg;
    if (!pg.start()) {
        std::fprintf(stderr, "PostgreSQL: %s\n", pg.error().c_str());
        return 1;
    }
    std::vector<double> lite, post;
    for (int r = 0; r < ROUNDS; r++) {
        lite.push_back(claims_per_second(workdir + "/claims" + std::to_string(r) + ".sqlite"));
        post.push_back(claims_per_second(pg.create_db("claims" + std::to_string(r))));
    }
    std::printf("%-58s %12s %12s\n", "", "median", "goal");
    std::printf("%-58s %9.0f /s %12s  %s\n", "claims, 10,000 rows, 32 workers, SQLite",
                median(lite), "> 500 /s", median(lite) > 500 ? "ok" : "MISSED");
    std::printf("%-58s %9.0f /s %12s  %s\n", "claims, 10,000 rows, 32 workers, PostgreSQL",
                median(post), "> 500 /s", median(post) > 500 ? "ok" : "MISSED");

    std::ofstream(workdir + "/t.txt") << "AT+WSSSID=${NAME}-${SEQ}\r\nAT+WEBU=admin,${MID}\r\n"
                                         "AT+WSKEY=WPA2PSK,AES,${KEY}\r\nE\r\n";
    // The same lines filled in once for all, for the run without a pool.
    std::ofstream(workdir + "/plain.txt") << "AT+WSSSID=unit1-1\r\nAT+WEBU=admin,B0-0\r\n"
                                             "AT+WSKEY=WPA2PSK,AES,key1secret\r\nE\r\n";
    std::ofstream csv(workdir + "/line.csv");
    csv << "NAME,KEY\n";
    for (int i = 1; i <= 100; i++)
        csv << "unit" << i << ",key" << i << "secret\n";
    csv.close();
    std::vector<double> plain, pooled;
    for (int r = 0; r < ROUNDS; r++) {
        plain.push_back(twenty_tcp(false, r));
        pooled.push_back(twenty_tcp(true, r));
    }
    const bool all_ran = *std::min_element(plain.begin(), plain.end()) >= 0 &&
                         *std::min_element(pooled.begin(), pooled.end()) >= 0;
    std::printf("%-58s %10.2f s %12s\n", "20 TCP modules at once, no pool, no history",
                median(plain), "< 2 s");
    std::printf("%-58s %10.2f s %12s  %s\n", "20 TCP modules at once, pool + SQLite history",
                median(pooled), "< 2 s", all_ran && median(pooled) < 2.0 ? "ok" : "MISSED");
    const std::string cmd = "rm -rf '" + workdir + "'";
    return std::system(cmd.c_str()) == 0 ? 0 : 0;
}
