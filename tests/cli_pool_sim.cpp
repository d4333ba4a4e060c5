// Templates, value pools and the history, with modcfg against emulated
// modules: each module its own row for good, checks before any module is
// touched, two stations sharing one pool (SQLite file or PostgreSQL), a
// station killed mid-run, and a server that goes away mid-run.
#include "cli_db.h"
#include "modcfg_child.h"
#include "pg_server.h"
#include "sim_process.h"
#include "temp_dir.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <json-glib/json-glib.h>
#include <libpq-fe.h>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <set>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace
{

using mono = std::chrono::steady_clock;

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// A pool's rows as `modcfg pool show --json` gives them: seq -> held_by
// ("" when free), and seq -> NAME.
struct pool_view {
    std::map<long, std::string> held;
    std::map<long, std::string> name;
};

pool_view show_pool(const std::string &db, const std::string &pool)
{
    pool_view v;
    const ran r = modcfg({"pool", "show", pool, "--json", "--db", db}, "show");
    EXPECT_EQ(r.status, 0) << r.err;
    JsonParser *p = json_parser_new();
    if (json_parser_load_from_data(p, r.out.c_str(), -1, nullptr)) {
        JsonArray *rows =
            json_object_get_array_member(json_node_get_object(json_parser_get_root(p)), "rows");
        for (guint i = 0; i < json_array_get_length(rows); i++) {
            JsonObject *o = json_array_get_object_element(rows, i);
            const long seq = json_object_get_int_member(o, "seq");
            const char *h = json_object_get_null_member(o, "held_by")
                                ? ""
                                : json_object_get_string_member(o, "held_by");
            v.held[seq] = h;
            v.name[seq] =
                json_object_get_string_member(json_object_get_object_member(o, "values"), "NAME");
        }
    }
    g_object_unref(p);
    return v;
}

// `modcfg history [MID] --json`, one parsed object per record.
std::vector<std::map<std::string, std::string>> history(const std::string &db,
                                                        const std::string &mid = "")
{
    std::vector<std::string> args = {"history", "--json", "--db", db};
    if (!mid.empty())
        args.push_back(mid);
    const ran r = modcfg(args, "history");
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::map<std::string, std::string>> out;
    size_t start = 0;
    for (size_t nl; (nl = r.out.find('\n', start)) != std::string::npos; start = nl + 1) {
        JsonParser *p = json_parser_new();
        if (json_parser_load_from_data(p, r.out.substr(start, nl - start).c_str(), -1, nullptr)) {
            JsonObject *o = json_node_get_object(json_parser_get_root(p));
            std::map<std::string, std::string> rec;
            for (const char *k : {"mid", "result", "pool", "station", "id"})
                rec[k] =
                    json_object_get_null_member(o, k) ? "" : json_object_get_string_member(o, k);
            rec["row"] = json_object_get_null_member(o, "row")
                             ? ""
                             : std::to_string(json_object_get_int_member(o, "row"));
            // Seconds as a reader expects them, not 0.40999999999999998.
            const std::string line = r.out.substr(start, nl - start);
            const size_t at = line.find("\"seconds\":");
            const size_t end = line.find_first_of(",}", at);
            const std::string secs =
                at == std::string::npos ? "" : line.substr(at + 10, end - at - 10);
            EXPECT_TRUE(g_regex_match_simple("^[0-9]+(\\.[0-9]{1,3})?$", secs.c_str(),
                                             static_cast<GRegexCompileFlags>(0),
                                             static_cast<GRegexMatchFlags>(0)))
                << line;
            gchar *settings = json_to_string(json_object_get_member(o, "settings"), FALSE);
            rec["settings"] = settings;
            g_free(settings);
            out.push_back(rec);
        }
        g_object_unref(p);
    }
    return out;
}

const char *const template_file = "AT+WSSSID=${NAME}-${SEQ}\r\n"
                                  "AT+WSKEY=WPA2PSK,AES,${KEY}\r\n"
                                  "AT+WEBU=admin,${MID}\r\n"
                                  "E\r\n";

std::string values_rows(int n, const std::string &prefix = "dev")
{
    std::string v = "NAME,KEY\n";
    for (int i = 1; i <= n; i++)
        v += prefix + std::to_string(i) + ",key" + std::to_string(i) + "secret\n";
    return v;
}

class Pools : public ::testing::Test
{
  protected:
    temp_cwd dir;
    std::string db;
    void SetUp() override
    {
        setenv("XDG_DATA_HOME", dir.path().c_str(), 1);
        db = dir.path() + "/history.sqlite";
        write_file("t.txt", template_file);
    }
};

TEST_F(Pools, EachModuleGetsItsOwnRowForGoodAndIsVerifiedAgainstIt)
{
    write_file("line.csv", values_rows(4));
    sim_process sims[3];
    std::vector<std::string> args = {"provision", "t.txt", "--values", "line.csv", "--db", db};
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(sims[i].start_pty({"--mode", "command", "--set", "MID=MOD" + std::to_string(i),
                                       "--state", "m" + std::to_string(i) + ".state"}));
        args.push_back("--port");
        args.push_back(sims[i].pty_path());
    }
    const ran first = modcfg(args);
    ASSERT_EQ(first.status, 0) << first.out << first.err;
    EXPECT_EQ(count(first.out, "verified"), 4u) << first.out; // 3 modules and the summary

    pool_view pool = show_pool(db, "line");
    std::map<std::string, long> row_of;
    for (const auto &h : pool.held)
        if (!h.second.empty())
            row_of[h.second] = h.first;
    ASSERT_EQ(row_of.size(), 3u);
    for (int i = 0; i < 3; i++) {
        const std::string mid = "MOD" + std::to_string(i);
        ASSERT_TRUE(row_of.count(mid)) << mid;
        const long seq = row_of[mid];
        const auto state = sim_read_state("m" + std::to_string(i) + ".state");
        EXPECT_EQ(state.at("WSSSID"), pool.name[seq] + "-" + std::to_string(seq));
        EXPECT_EQ(state.at("WSKEY"), "WPA2PSK,AES,key" + std::to_string(seq) + "secret");
        EXPECT_EQ(state.at("WEBU"), "admin," + mid);
        // Verified against its own values, from the pool alone.
        const ran v =
            modcfg({"verify", "t.txt", "--pool", "line", "--db", db, "--port", sims[i].pty_path()});
        EXPECT_EQ(v.status, 0) << v.out << v.err;
    }
    // A second run: the same file again imports nothing new, every module
    // keeps its row.
    const ran second = modcfg(args);
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(show_pool(db, "line").held, pool.held);
    const ran listed = modcfg({"pool", "list", "--json", "--db", db});
    EXPECT_EQ(listed.out.rfind("[{\"pool\":\"line\",\"rows\":4,\"held\":3,", 0), 0u) << listed.out;

    // history MID --json: every attempt, newest first, with row and result;
    // the key masked as the console masks it.
    const auto recs = history(db, "MOD1");
    ASSERT_EQ(recs.size(), 3u); // provision, verify, provision
    for (const auto &r : recs) {
        EXPECT_EQ(r.at("mid"), "MOD1");
        EXPECT_EQ(r.at("result"), "verified");
        EXPECT_EQ(r.at("pool"), "line");
        EXPECT_EQ(r.at("row"), std::to_string(row_of["MOD1"]));
        EXPECT_EQ(r.at("settings").find("secret"), std::string::npos) << r.at("settings");
        EXPECT_NE(r.at("settings").find("WPA2PSK,AES,***"), std::string::npos);
    }
    EXPECT_EQ(count(history(db)[0].at("settings"), "\"WEBU\""), 1u);
    // --show-secrets records the key as sent; --since picks by time.
    const ran shown = modcfg({"verify", "t.txt", "--pool", "line", "--db", db, "--show-secrets",
                              "--port", sims[1].pty_path()});
    EXPECT_EQ(shown.status, 0) << shown.err;
    const auto newest = history(db, "MOD1");
    ASSERT_EQ(newest.size(), 4u);
    EXPECT_NE(newest[0]
                  .at("settings")
                  .find("WPA2PSK,AES,key" + std::to_string(row_of["MOD1"]) + "secret"),
              std::string::npos);
    EXPECT_EQ(modcfg({"history", "--db", db, "--since", "2999-01-01"}).out, "");
    EXPECT_EQ(count(modcfg({"history", "--db", db, "--since", "2000-01-01T00:00:00Z"}).out, "\n"),
              10u);
    EXPECT_EQ(modcfg({"history", "--db", db, "--since", "yesterday"}).status, 2);

    // A file that changes a held row is refused, naming it; one that adds a
    // row at the end is taken.
    const long held = row_of["MOD2"];
    std::string changed = values_rows(4);
    const std::string was = "dev" + std::to_string(held) + ",";
    changed.replace(changed.find(was), was.size(), "renamed,");
    write_file("line.csv", changed);
    const ran refused = modcfg(args);
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("row " + std::to_string(held) + " (held by MOD2) is changed"),
              std::string::npos)
        << refused.err;
    write_file("line.csv", values_rows(5));
    EXPECT_EQ(modcfg(args).status, 0);
}

TEST_F(Pools, TemplateFaultsNameRowAndLineAndTouchNoModule)
{
    sim_process sim;
    ASSERT_TRUE(sim.start_pty({"--mode", "command", "--log", "frames.log"}));
    write_file("line.csv", "NAME,KEY\nok,short\n" + std::string("x") + std::string(90, 'y') +
                               ",k\nbad,\"a\x01\"\n");
    write_file("unknown.txt", "AT+WSSSID=${NAME}\r\nAT+WAP=11N,${APNAME},CH6\r\nE\r\n");
    write_file("open.txt", "AT+WSSSID=${NAME\r\nE\r\n");
    write_file("plain.txt", "AT+WSSSID=price${5}\r\nE\r\n");
    const struct {
        const char *file;
        const char *values;
        int status;
        const char *says;
    } cases[] = {
        {"unknown.txt", "line.csv", 2, "line 2: ${APNAME} names no column"},
        {"open.txt", "line.csv", 2, "line 1: \"${\" is never closed"},
        {"t.txt", "line.csv", 2, "row 2, line 1: 103 bytes once filled in"},
        {"plain.txt", "line.csv", 2, "line 1: \"${5}\" is no name"},
    };
    for (const auto &c : cases) {
        const ran r = modcfg({"provision", c.file, "--values", c.values, "--pool", c.file, "--db",
                              db, "--port", sim.pty_path()});
        EXPECT_EQ(r.status, c.status) << c.file;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.file << ": " << r.err;
    }
    // Control bytes once filled in: the third row's value.
    write_file("ctl.csv", "NAME,KEY\nok,short\nbad,\"a\x01\"\n");
    const ran ctl =
        modcfg({"provision", "t.txt", "--values", "ctl.csv", "--db", db, "--port", sim.pty_path()});
    EXPECT_EQ(ctl.status, 2);
    EXPECT_NE(ctl.err.find("row 2, line 2: control bytes"), std::string::npos) << ctl.err;
    // --no-history refuses the options that need the database.
    const ran nohist = modcfg(
        {"provision", "t.txt", "--values", "ctl.csv", "--no-history", "--port", sim.pty_path()});
    EXPECT_EQ(nohist.status, 2);
    EXPECT_NE(nohist.err.find("--no-history"), std::string::npos);
    EXPECT_EQ(read_file("frames.log"), "");
    // Without --values "${" is an ordinary character.
    const ran plain = modcfg({"apply", "plain.txt", "--db", db, "--port", sim.pty_path()});
    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_NE(read_file("frames.log").find("AT+WSSSID=price${5}"), std::string::npos);
    // An unreachable database: status 3 before any module.
    const ran nodb =
        modcfg({"read", "--db", "postgresql:///x?host=/nonexistent", "--port", sim.pty_path()});
    EXPECT_EQ(nodb.status, 3);
    EXPECT_NE(nodb.err.find("modcfg: database postgresql:///x?host=/nonexistent: "),
              std::string::npos)
        << nodb.err;
}

TEST_F(Pools, ValuesAndQueriesTheCommandLineChecks)
{
    sim_process sim;
    ASSERT_TRUE(sim.start_pty({"--mode", "command", "--set", "MID=W1", "--log", "w.log"}));
    auto run = [&](const std::string &values, const std::string &more = "") {
        std::vector<std::string> a = {"provision", "t.txt", "--values", values,
                                      "--db",      db,      "--port",   sim.pty_path()};
        if (!more.empty())
            a.insert(a.end(), {"--pool", more});
        return modcfg(a);
    };
    // A refused file writes nothing; empty rows are skipped and said; a
    // row of columns the template never sends, over a message's size,
    // does not cut the worker off.
    write_file("bad.csv", "NAME,KEY\nok,k\n" + std::string(120, 'n') + ",k\n");
    EXPECT_EQ(run("bad.csv").status, 2);
    EXPECT_EQ(modcfg({"pool", "list", "--db", db}).out, "");
    std::string wide = "NAME,KEY,WPW", row = "w,key12345,pw123456";
    for (int c = 0; c < 300; c++)
        wide += ",C" + std::to_string(c), row += "," + std::string(4000, 'c');
    write_file("wide.csv", wide + "\n,,,\n" + row + "\n" + std::string(303, ',') + "\n");
    std::string t = template_file;
    t.replace(t.find("${MID}"), 6, "${WPW}");
    write_file("t.txt", t);
    const ran wide_run = run("wide.csv");
    EXPECT_EQ(wide_run.status, 0) << wide_run.out << wide_run.err;
    EXPECT_NE(wide_run.err.find("2 empty rows skipped"), std::string::npos) << wide_run.err;
    // Secret columns masked by pool show, by name (KEY) and by use (WPW).
    const std::string shown = modcfg({"pool", "show", "wide", "--db", db}).out;
    EXPECT_NE(shown.find("1  w,***,***,"), std::string::npos) << shown.substr(0, 80);
    EXPECT_NE(modcfg({"pool", "show", "wide", "--db", db, "--show-secrets"})
                  .out.find("w,key12345,pw123456,"),
              std::string::npos);
    // A begun record never completed shows as interrupted.
    std::string error;
    auto store = store_open(db, &error);
    store_record r;
    r.id = "old", r.time = "2026-05-19T11:00:00.000000Z", r.mid = "GONE";
    ASSERT_TRUE(store->history_begin(r, &error)) << error;
    const struct {
        std::vector<std::string> args;
        int status;
        const char *says; // in stdout, or stderr for a failure
    } cases[] = {
        {{"history", "--since", "2026-05-19T12:00"}, 0, "W1"},
        {{"history", "--since", "2026-05-19T10:00Z", "GONE"}, 0, " interrupted "},
        {{"history", "--limit", "1"}, 0, "W1"},
        {{"provision", "t.txt", "--values", "halle-\xe4.csv", "--port", sim.pty_path()},
         2,
         "--pool NAME"},
    };
    write_file("halle-\xe4.csv", "NAME\nx\n");
    for (const auto &c : cases) {
        std::vector<std::string> a = c.args;
        a.insert(a.end(), {"--db", db});
        const ran got = modcfg(a);
        EXPECT_EQ(got.status, c.status) << c.args[0] << got.err;
        EXPECT_NE((c.status ? got.err : got.out).find(c.says), std::string::npos)
            << c.args[1] << ": " << got.out << got.err;
    }
    EXPECT_EQ(count(modcfg({"history", "--limit", "1", "--db", db}).out, "\n"), 1u);
    // Reading needs no write access (as nobody when the tests run as root).
    const std::string as = (geteuid() ? "" : "runuser -u nobody -- ") + std::string(MODCFG_CLI_BIN);
    const std::string ro = "mkdir ro && cp " + db + " ro && chmod 444 ro/* && chmod 555 ro && " +
                           "chmod 711 . && " + as + " pool list --db ro/history.sqlite && " + as +
                           " history --db ro/history.sqlite";
    EXPECT_EQ(std::system(ro.c_str()), 0);
}

TEST_F(Pools, APoolOneRowShortLeavesOneModuleUntouched)
{
    write_file("short.csv", values_rows(2));
    sim_process sims[3];
    std::vector<std::string> args = {"provision", "t.txt", "--values", "short.csv", "--db", db};
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(sims[i].start_pty({"--mode", "command", "--set", "MID=S" + std::to_string(i),
                                       "--log", "s" + std::to_string(i) + ".log"}));
        args.push_back("--port");
        args.push_back(sims[i].pty_path());
    }
    const ran r = modcfg(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(count(r.out, "no-values"), 1u) << r.out;
    EXPECT_NE(r.out.find("no free row left in pool short"), std::string::npos) << r.out;
    int untouched = 0;
    for (int i = 0; i < 3; i++)
        untouched +=
            read_file("s" + std::to_string(i) + ".log").find("AT+WSSSID") == std::string::npos;
    EXPECT_EQ(untouched, 1);
    EXPECT_EQ(count(modcfg({"history", "--db", db}).out, "no-values"), 1u);
}

TEST_F(Pools, AModuleLostMidApplyKeepsItsRowForTheRetry)
{
    write_file("line.csv", values_rows(3));
    sim_process sim;
    // The link drops once, in the middle of the apply.
    const std::string port = dir.path() + "/port";
    ASSERT_TRUE(sim.start_pty({"--link", port, "--mode", "command", "--set", "MID=DROPPY",
                               "--drop-after", "4", "--state", "d.state"}));
    const std::vector<std::string> args = {"provision", "t.txt", "--values", "line.csv",
                                           "--db",      db,      "--port",   port};
    const ran lost = modcfg(args);
    EXPECT_EQ(lost.status, 1);
    EXPECT_NE(lost.out.find("link-lost"), std::string::npos) << lost.out;
    // Plugged in again: the same module on the same port.
    sim.stop();
    sim_process again;
    ASSERT_TRUE(again.start_pty(
        {"--link", port, "--mode", "command", "--set", "MID=DROPPY", "--state", "d.state"}));
    const ran retry = modcfg(args);
    EXPECT_EQ(retry.status, 0) << retry.out << retry.err;
    const auto recs = history(db, "DROPPY");
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].at("result"), "verified");
    EXPECT_EQ(recs[1].at("result"), "link-lost");
    EXPECT_EQ(recs[0].at("row"), "1");
    EXPECT_EQ(recs[1].at("row"), "1");
    EXPECT_EQ(sim_read_state("d.state").at("WSSSID"), "dev1-1");
    EXPECT_EQ(show_pool(db, "line").held.at(2), "");
}

// ---------------------------------------------------------------------------
// Two stations, one pool.

struct Stations : ::testing::TestWithParam<const char *> {
    temp_cwd dir;
    std::string db;
    std::unique_ptr<pg_server> pg;
    void SetUp() override
    {
        // The spool is kept here.
        setenv("XDG_DATA_HOME", dir.path().c_str(), 1);
        write_file("t.txt", template_file);
        write_file("line.csv", values_rows(30, "unit"));
        if (std::string(GetParam()) == "sqlite") {
            db = dir.path() + "/shared.sqlite";
        } else {
            // A server of its own: one test stops it.
            pg = std::make_unique<pg_server>();
            ASSERT_TRUE(pg->start()) << pg->error();
            db = pg->create_db("line");
            ASSERT_FALSE(db.empty()) << pg->error();
        }
    }
    // A station listening on 127.0.0.1:`port` (0: any) with the pool.
    bool station(modcfg_child &c, const std::string &tag, int port, bool import)
    {
        std::vector<std::string> args = {
            "provision", "t.txt", "--listen", "127.0.0.1:" + std::to_string(port),
            "--loop",    "--db",  db,         "--station",
            tag};
        if (import) {
            args.push_back("--values");
            args.push_back("line.csv");
        } else {
            args.push_back("--pool");
            args.push_back("line");
        }
        return c.start(args, tag) && c.listen_port() != 0;
    }
    // Checks that every module holds its own row and the state it was sent.
    void check_rows(int modules)
    {
        const pool_view pool = show_pool(db, "line");
        std::set<std::string> holders;
        for (const auto &h : pool.held)
            if (!h.second.empty()) {
                EXPECT_TRUE(holders.insert(h.second).second) << h.second << " twice";
                const int i = std::atoi(h.second.c_str() + 1);
                const auto state = sim_read_state("m" + std::to_string(i) + ".state");
                EXPECT_EQ(state.at("WSSSID"), pool.name.at(h.first) + "-" + std::to_string(h.first))
                    << h.second;
            }
        EXPECT_EQ(holders.size(), static_cast<size_t>(modules));
    }
};

int free_port()
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

TEST_P(Stations, TwentyModulesAtOnceTakeTwentyDistinctRows)
{
    modcfg_child a, b;
    ASSERT_TRUE(station(a, "A", 0, true)) << a.err();
    ASSERT_TRUE(station(b, "B", 0, false)) << b.err();
    const int ports[2] = {a.listen_port(), b.listen_port()};
    std::vector<std::unique_ptr<sim_process>> sims;
    for (int i = 0; i < 20; i++) {
        sims.push_back(std::make_unique<sim_process>());
        ASSERT_TRUE(sims.back()->start({"--tcp", "127.0.0.1:" + std::to_string(ports[i % 2]),
                                        "--set", "MID=M" + std::to_string(i), "--state",
                                        "m" + std::to_string(i) + ".state"}));
    }
    EXPECT_TRUE(modcfg_child::poll_until([&] {
        return count(a.out() + b.out(), " verified ") == 20;
    })) << a.out()
        << b.out() << a.err() << b.err();
    a.signal(SIGINT);
    b.signal(SIGINT);
    EXPECT_EQ(a.wait(), 0) << a.err();
    EXPECT_EQ(b.wait(), 0) << b.err();
    check_rows(20);
    const auto recs = history(db);
    EXPECT_EQ(recs.size(), 20u);
    std::map<std::string, int> per_station;
    for (const auto &r : recs)
        per_station[r.at("station")]++;
    EXPECT_EQ(per_station["A"], 10);
    EXPECT_EQ(per_station["B"], 10);
}

TEST_P(Stations, AStationKilledMidRunAndRestartedHoldsNoRowTwice)
{
    const int port_a = free_port();
    auto a = std::make_unique<modcfg_child>();
    modcfg_child b;
    ASSERT_TRUE(station(*a, "A", port_a, true)) << a->err();
    ASSERT_TRUE(station(b, "B", 0, false)) << b.err();
    const int port_b = b.listen_port();
    std::vector<std::unique_ptr<sim_process>> sims(20);
    auto connect = [&](int i, int port) {
        sims[i] = std::make_unique<sim_process>();
        // Slow replies: the kill finds station A's modules in progress.
        return sims[i]->start({"--tcp", "127.0.0.1:" + std::to_string(port), "--delay", "100",
                               "--set", "MID=M" + std::to_string(i), "--state",
                               "m" + std::to_string(i) + ".state", "--log",
                               "m" + std::to_string(i) + ".log"});
    };
    for (int i = 0; i < 20; i++)
        ASSERT_TRUE(connect(i, i % 2 ? port_b : port_a));
    // Killed once some of its modules answered.
    ASSERT_TRUE(modcfg_child::poll_until([&] { return count(a->err(), "module MID") >= 4; }));
    a->signal(SIGKILL);
    EXPECT_EQ(a->wait(), 128 + SIGKILL);
    // Its modules come again (the operator plugs them in once more) to a
    // restarted station A.
    a = std::make_unique<modcfg_child>();
    ASSERT_TRUE(station(*a, "A2", port_a, false)) << a->err();
    for (int i = 0; i < 20; i += 2) {
        sims[i]->stop();
        ASSERT_TRUE(connect(i, port_a));
    }
    EXPECT_TRUE(modcfg_child::poll_until(
        [&] { return count(a->out(), " verified ") == 10 && count(b.out(), " verified ") == 10; },
        120000))
        << a->out() << b.out();
    // The workers of the killed station finish their modules and record
    // them themselves: poll until the history holds every attempt.
    // An attempt is a module a station took on: only then is it asked its
    // version (one asked its MID and let go, being done or in progress on
    // the other station, is no attempt and no record).
    auto attempts = [&](int i) {
        return static_cast<int>(count(read_file("m" + std::to_string(i) + ".log"), "AT+VER"));
    };
    std::vector<std::map<std::string, std::string>> recs;
    modcfg_child::poll_until([&] {
        int want = 0;
        for (int i = 0; i < 20; i++)
            want += attempts(i);
        recs = history(db);
        return static_cast<int>(recs.size()) == want;
    });
    a->signal(SIGINT);
    b.signal(SIGINT);
    EXPECT_EQ(a->wait(), 0);
    EXPECT_EQ(b.wait(), 0);
    check_rows(20);
    std::map<std::string, int> per_mid;
    std::map<std::string, std::set<std::string>> rows_of;
    for (const auto &r : recs) {
        per_mid[r.at("mid")]++;
        // A worker whose station died before it claimed a row holds none.
        if (!(r.at("result") == "interrupted" && r.at("row").empty()))
            rows_of[r.at("mid")].insert(r.at("row"));
    }
    for (int i = 0; i < 20; i++) {
        const std::string mid = "M" + std::to_string(i);
        EXPECT_EQ(per_mid[mid], attempts(i)) << mid;
        EXPECT_EQ(rows_of[mid].size(), 1u) << mid << ": every attempt with the same row";
    }
}

TEST_P(Stations, HostileMidsTakeNoRowVerifyTakesNoneAndARowCanBeGivenBack)
{
    modcfg_child a, v;
    ASSERT_TRUE(station(a, "A", 0, true)) << a.err();
    std::vector<std::unique_ptr<sim_process>> sims;
    auto connect = [&](const std::string &mid, int port) {
        sims.push_back(std::make_unique<sim_process>());
        return sims.back()->start(
            {"--tcp", "127.0.0.1:" + std::to_string(port), "--set", "MID=" + mid});
    };
    ASSERT_TRUE(connect("QX\x1b\x31", a.listen_port()) &&
                connect(std::string(85, 'Z'), a.listen_port()));
    EXPECT_TRUE(modcfg_child::poll_until([&] { return count(a.out(), " bad-mid ") == 2; }))
        << a.out() << a.err();
    ASSERT_TRUE(connect("M1", a.listen_port()));
    EXPECT_TRUE(modcfg_child::poll_until([&] { return count(a.out(), " verified ") == 1; }));
    a.signal(SIGINT);
    EXPECT_EQ(a.wait(), 1);
    EXPECT_EQ(show_pool(db, "line").held.at(1), "M1"); // the first row was left free
    EXPECT_EQ(count(modcfg({"history", "--db", db}).out, " bad-mid "), 2u);
    // verify looks a module's row up and takes none.
    ASSERT_TRUE(
        v.start({"verify", "t.txt", "--pool", "line", "--listen", "127.0.0.1:0", "--db", db}, "v"));
    ASSERT_TRUE(connect("STRANGER", v.listen_port()));
    EXPECT_TRUE(v.wait() == 1 && v.out().find("no-values") != std::string::npos) << v.out();
    EXPECT_EQ(show_pool(db, "line").held.at(2), "");
    // A row given back: never a verified module's without --force, and
    // the history says who gave it back, when.
    const ran kept = modcfg({"pool", "release", "line", "1", "--db", db});
    EXPECT_TRUE(kept.status == 1 && kept.err.find("verified module M1") != std::string::npos);
    const ran freed =
        modcfg({"pool", "release", "line", "1", "--force", "--station", "S", "--db", db});
    EXPECT_EQ(freed.status, 0) << freed.err;
    EXPECT_EQ(show_pool(db, "line").held.at(1), "");
    const auto rec = history(db, "M1").at(0);
    EXPECT_EQ(rec.at("result") + rec.at("station") + rec.at("row"), "releasedS1");
}

TEST_P(Stations, ALockedHistoryNeverStopsTheStationAndAFullDiskLeavesTheModuleUntouched)
{
    write_file("plain.txt", command_file);
    ASSERT_EQ(modcfg({"history", "--db", db}).status, 0); // the tables made
    // Another session holds the history (as VACUUM FULL or ALTER TABLE).
    PGconn *lock_pg = pg ? PQconnectdb(db.c_str()) : nullptr;
    sqlite3 *lock_lite = nullptr;
    if (pg)
        PQclear(PQexec(lock_pg, "BEGIN; LOCK TABLE history"));
    else
        ASSERT_EQ(sqlite3_open(db.c_str(), &lock_lite) |
                      sqlite3_exec(lock_lite, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr),
                  SQLITE_OK);
    // The disk full too: no record can be begun anywhere.
    rlimit was, full = {};
    getrlimit(RLIMIT_FSIZE, &was);
    full.rlim_cur = 4000, full.rlim_max = was.rlim_max;
    modcfg_child f, l;
    setrlimit(RLIMIT_FSIZE, &full);
    const bool started = f.start(
        {"provision", "plain.txt", "--listen", "127.0.0.1:0", "--count", "1", "--db", db}, "full");
    setrlimit(RLIMIT_FSIZE, &was);
    ASSERT_TRUE(started && f.listen_port());
    sim_process untouched, sims[2];
    ASSERT_TRUE(untouched.start({"--tcp", "127.0.0.1:" + std::to_string(f.listen_port()), "--set",
                                 "MID=F0", "--log", "f0.log"}));
    EXPECT_TRUE(f.wait() == 1 && f.out().find(" no-record ") != std::string::npos) << f.err();
    EXPECT_EQ(read_file("f0.log").find("AT+WSSSID"), std::string::npos);
    // The station goes on, each record waits in the spool.
    ASSERT_TRUE(
        l.start({"provision", "plain.txt", "--listen", "127.0.0.1:0", "--loop", "--db", db}, "L") &&
        l.listen_port());
    for (int i = 0; i < 2; i++)
        ASSERT_TRUE(sims[i].start({"--tcp", "127.0.0.1:" + std::to_string(l.listen_port()), "--set",
                                   "MID=L" + std::to_string(i)}));
    EXPECT_TRUE(modcfg_child::poll_until([&] { return count(l.out(), " verified ") == 2; }))
        << l.out() << l.err();
    EXPECT_NE(l.err().find("records go to the spool"), std::string::npos) << l.err();
    PQfinish(lock_pg); // its transaction and lock end with it
    sqlite3_close(lock_lite);
    l.signal(SIGINT);
    EXPECT_EQ(l.wait(), 0) << l.err(); // its records sent at its end
    EXPECT_EQ(count(modcfg({"history", "--db", db}).out, " verified "), 2u);
}

TEST_P(Stations, TheSpoolBelongsToTheDatabaseNotToTheSpellingOfItsUrl)
{
    std::string error;
    auto main = store_open(db, &error);
    ASSERT_TRUE(main) << error;
    store_row row;
    row.values = {"a"};
    ASSERT_EQ(main->pool_import("p", {"NAME"}, {row}, &error), store_status::ok) << error;
    ASSERT_EQ(main->pool_claim("p", "X", &row, &error), store_claim::got) << error;
    // X failed at one station (spooled), then was verified at another.
    store_record late, newer;
    late.id = "late", late.time = "2026-05-19T10:00:00.000000Z", late.mid = "X";
    late.pool = "p", late.seq = 1, late.result = "mismatch";
    newer = late;
    newer.id = "newer", newer.time = "2026-05-19T11:00:00.000000Z", newer.result = "verified";
    ASSERT_TRUE(main->history_add(newer, &error)) << error;
    auto spool = store_open("sqlite:" + cli_spool_path(db), &error);
    ASSERT_TRUE(spool && spool->history_add(late, &error)) << error;
    const ran sync = modcfg(
        {"history", "--sync", "--db",
         pg ? db + "&application_name=modcfg" : "sqlite:" + dir.path() + "/./shared.sqlite"});
    EXPECT_NE(sync.err.find("1 records found in the spool " + cli_spool_path(db)),
              std::string::npos)
        << sync.err;
    EXPECT_NE(sync.err.find("1 records from the spool sent"), std::string::npos) << sync.err;
    EXPECT_NE(modcfg({"pool", "show", "p", "--db", db}).out.find("last verified"),
              std::string::npos);
}

// Only a server can go away in the middle of a run.
struct ServerGone : Stations {
};

TEST_P(ServerGone, RecordsInProgressGoToTheSpoolAndAreSyncedOnce)
{
    ASSERT_TRUE(pg);
    modcfg_child a;
    ASSERT_TRUE(station(a, "A", 0, true)) << a.err();
    std::vector<std::unique_ptr<sim_process>> sims;
    for (int i = 0; i < 3; i++) {
        sims.push_back(std::make_unique<sim_process>());
        ASSERT_TRUE(sims.back()->start({"--tcp", "127.0.0.1:" + std::to_string(a.listen_port()),
                                        "--delay", "400", "--set", "MID=M" + std::to_string(i),
                                        "--state", "m" + std::to_string(i) + ".state"}));
    }
    // Each has its row; then the server goes while they are configured
    // (slow replies: six more exchanges of 400 ms each after the apply began).
    ASSERT_TRUE(modcfg_child::poll_until(
        [&] { return count(a.err(), "apply ") >= 3 || count(a.err(), "module MID") >= 3; }));
    ASSERT_TRUE(modcfg_child::poll_until([&] {
        return show_pool(db, "line").held.size() > 0 && count(a.err(), "apply 3 lines") == 3;
    }));
    ASSERT_TRUE(pg->stop());
    // The modules in progress finish; the station starts no new one.
    EXPECT_TRUE(modcfg_child::poll_until([&] { return count(a.out(), " verified ") == 3; }))
        << a.out() << a.err();
    EXPECT_TRUE(modcfg_child::poll_until([&] {
        return a.err().find("no new module is started") != std::string::npos;
    })) << a.err();
    EXPECT_EQ(a.wait(30000), 1) << a.err(); // it ends by itself
    EXPECT_NE(a.err().find("records go to the spool"), std::string::npos) << a.err();

    ASSERT_TRUE(pg->restart()) << pg->error();
    const ran sync = modcfg({"history", "--sync", "--db", db}, "sync");
    EXPECT_EQ(sync.status, 0) << sync.err;
    EXPECT_NE(sync.err.find("3 records from the spool sent"), std::string::npos) << sync.err;
    const ran again = modcfg({"history", "--sync", "--db", db}, "sync2");
    EXPECT_NE(again.err.find("0 records from the spool sent"), std::string::npos) << again.err;
    const auto recs = history(db);
    ASSERT_EQ(recs.size(), 3u);
    std::set<std::string> mids;
    for (const auto &r : recs) {
        mids.insert(r.at("mid"));
        EXPECT_EQ(r.at("result"), "verified");
        EXPECT_FALSE(r.at("row").empty());
    }
    EXPECT_EQ(mids.size(), 3u);
}

TEST_P(ServerGone, APasswordIsNeverShownNorInTheProcessList)
{
    ASSERT_TRUE(pg);
    const std::string with_pw = db + "&password=S3cr3t-pw";
    modcfg_child a;
    ASSERT_TRUE(a.start({"provision", "t.txt", "--values", "line.csv", "--listen", "127.0.0.1:0",
                         "--loop", "--db", with_pw},
                        "A") &&
                a.listen_port());
    sim_process slow;
    ASSERT_TRUE(slow.start({"--tcp", "127.0.0.1:" + std::to_string(a.listen_port()), "--delay",
                            "300", "--set", "MID=P1"}));
    ASSERT_TRUE(modcfg_child::poll_until([&] { return count(a.err(), "module MID") == 1; }));
    // What ps shows of the station and of its worker.
    const std::string pid = std::to_string(a.pid());
    std::string shown = read_file("/proc/" + pid + "/cmdline");
    const std::string children = read_file("/proc/" + pid + "/task/" + pid + "/children");
    EXPECT_FALSE(children.empty());
    for (size_t at = 0; at < children.size(); at = children.find(' ', at) + 1)
        shown +=
            read_file("/proc/" + std::to_string(std::atoi(children.c_str() + at)) + "/cmdline");
    EXPECT_NE(shown.find("password=***"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("S3cr3t"), std::string::npos) << shown;
    a.signal(SIGINT);
    EXPECT_EQ(a.wait(), 0);
    EXPECT_EQ(count(a.err(), "PGPASSFILE"), 1u) << a.err();
    EXPECT_EQ(a.err().find("S3cr3t"), std::string::npos) << a.err();
    for (const std::string &url : {std::string("postgresql://line:S3cr3t-pw@[::1:55432/line"),
                                   with_pw + "&sslmode=bogus", with_pw + "&dbname=none"}) {
        const ran r = modcfg({"history", "--db", url});
        EXPECT_EQ(r.status, 3) << r.err;
        EXPECT_EQ(r.err.find("S3cr3t"), std::string::npos) << r.err;
    }
}

INSTANTIATE_TEST_SUITE_P(shared, Stations, ::testing::Values("sqlite", "postgresql"),
                         [](const auto &info) { return std::string(info.param); });
INSTANTIATE_TEST_SUITE_P(shared, ServerGone, ::testing::Values("postgresql"),
                         [](const auto &info) { return std::string(info.param); });

} // namespace
