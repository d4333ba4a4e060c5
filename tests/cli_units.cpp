// The command line's report records and its worker-to-parent framing.
#include "cli_escape.h"
#include "cli_event.h"
#include "cli_mid_policy.h"
#include "cli_options.h"
#include "cli_ports.h"
#include "cli_report.h"
#include "cli_secret.h"
#include "cli_summary.h"
#include "cli_verdict.h"
#include "temp_dir.h"

#include <cstring>
#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <json-glib/json-glib.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace
{

cli_record sample()
{
    cli_record r;
    r.time = "2024-05-01T14:03:07+02:00";
    r.port = "COM3";
    r.mid = "0A1B2C";
    r.version = "V1.0.7";
    r.result = "mismatch";
    r.seconds = 1.234;
    r.mismatches = {{"WAP", "11BGN,Shop, \"A\",CH6", "11BGN,Shop, \"A\",Auto"}};
    r.note = "not verifiable: AT+Z";
    return r;
}

TEST(CliReport, CsvFieldsAreQuotedAndFormulasDefused)
{
    struct row {
        const char *mid;
        const char *field; // as it must appear in the line
    } rows[] = {
        {"plain", "plain"},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        // One record is one line, for grep and wc -l too.
        {"two\nlines", "two\\nlines"},
        {"cr\r\nlf", "cr\\r\\nlf"},
        {"=cmd|' /C calc'!A0", "'=cmd|' /C calc'!A0"},
        {"+1", "'+1"},
        {"@x", "'@x"},
        {"\t=1+2", "'\t=1+2"},
        {"\r=1+2", "'\\r=1+2"},
        {"in\tside", "in\tside"},
        // Valid UTF-8 that loses nothing: GB18030 decoded, other bytes
        // spelled out, C1 controls (U+009B opens a terminal command) too.
        {"\xc4\xe3\xba\xc3", "\xe4\xbd\xa0\xe5\xa5\xbd"},
        {"a\xff\xfe", "a\\xff\\xfe"},
        {"x\xc2\x9b"
         "2J\x1b",
         "x\\xc2\\x9b"
         "2J\\x1b"},
    };
    for (const auto &r : rows) {
        cli_record rec = sample();
        rec.mid = r.mid;
        const std::string line = cli_record_csv(rec);
        EXPECT_NE(line.find("," + std::string(r.field) + ",V1.0.7,"), std::string::npos) << line;
    }
    EXPECT_EQ(cli_record_csv(sample()),
              "2024-05-01T14:03:07+02:00,COM3,0A1B2C,V1.0.7,mismatch,1.23,"
              "\"WAP: sent \"\"11BGN,Shop, \"\"A\"\",CH6\"\", module holds "
              "\"\"11BGN,Shop, \"\"A\"\",Auto\"\"\",not verifiable: AT+Z\r\n");
}

TEST(CliReport, JsonLineParsesBackAndRepairsBytes)
{
    cli_record r = sample();
    r.mid = std::string("bad\xff\x01", 5); // not UTF-8, with a control byte
    r.version = "\xe4\xbd\xa0\xc2\x9b";    // UTF-8 with a C1 control
    const std::string line = cli_record_json(r);
    ASSERT_EQ(line.back(), '\n');
    ASSERT_EQ(line.find('\n'), line.size() - 1);
    JsonParser *p = json_parser_new();
    ASSERT_TRUE(json_parser_load_from_data(p, line.c_str(), -1, nullptr));
    JsonObject *o = json_node_get_object(json_parser_get_root(p));
    EXPECT_STREQ(json_object_get_string_member(o, "port"), "COM3");
    // Nothing lost: the byte that is no UTF-8 is spelled out, not replaced.
    EXPECT_STREQ(json_object_get_string_member(o, "mid"), "bad\\xff\x01");
    EXPECT_STREQ(json_object_get_string_member(o, "version"), "\xe4\xbd\xa0\\xc2\\x9b");
    EXPECT_NE(line.find("\"seconds\":1.234,"), std::string::npos) << line;
    JsonArray *m = json_object_get_array_member(o, "mismatches");
    ASSERT_EQ(json_array_get_length(m), 1u);
    JsonObject *m0 = json_array_get_object_element(m, 0);
    EXPECT_STREQ(json_object_get_string_member(m0, "setting"), "WAP");
    EXPECT_STREQ(json_object_get_string_member(m0, "held"), "11BGN,Shop, \"A\",Auto");
    g_object_unref(p);
    // Three decimals at most, never the double's binary tail.
    for (const auto &[secs, text] : {std::pair<double, const char *>{0.41, "0.41"},
                                     {0.40999999999999998, "0.41"},
                                     {12.0, "12"},
                                     {1.23456, "1.235"}}) {
        r.seconds = secs;
        EXPECT_NE(cli_record_json(r).find(std::string("\"seconds\":") + text + ","),
                  std::string::npos)
            << cli_record_json(r);
    }
}

// Appending: the CSV header once, records never rewritten, a torn last
// line (a crash mid-record elsewhere) closed before the next record.
TEST(CliReport, AppendsWithOneHeaderAndKeepsEarlierRecords)
{
    temp_cwd dir;
    std::string err;
    {
        cli_report rep;
        ASSERT_TRUE(rep.open("r.csv", &err)) << err;
        ASSERT_TRUE(rep.append(sample(), &err)) << err;
    }
    const std::string first = read_file("r.csv");
    write_file("r.csv", first + "2024-05-01T15:00:00+02:00,COM4,tor"); // cut short
    {
        cli_report rep;
        ASSERT_TRUE(rep.open("r.csv", &err)) << err;
        ASSERT_TRUE(rep.append(sample(), &err)) << err;
    }
    EXPECT_EQ(read_file("r.csv"),
              first + "2024-05-01T15:00:00+02:00,COM4,tor\r\n" + cli_record_csv(sample()));
    EXPECT_EQ(first, std::string(CLI_CSV_HEADER) + cli_record_csv(sample()));

    // A new report is made with its first record, the user's alone.
    cli_report js;
    ASSERT_TRUE(js.open("r.jsonl", &err));
    struct stat st;
    EXPECT_NE(stat("r.jsonl", &st), 0) << "created before a record";
    ASSERT_TRUE(js.append(sample(), &err));
    ASSERT_EQ(stat("r.jsonl", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_TRUE(js.append(sample(), &err));
    EXPECT_EQ(read_file("r.jsonl"), cli_record_json(sample()) + cli_record_json(sample()));

    // A lock held elsewhere keeps the records queued, not the caller.
    const int other = open("r.jsonl", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX), 0);
    const std::string two = read_file("r.jsonl");
    ASSERT_TRUE(js.append(sample(), &err));
    EXPECT_TRUE(js.pending());
    EXPECT_EQ(read_file("r.jsonl"), two);
    flock(other, LOCK_UN);
    close(other);
    ASSERT_TRUE(js.flush(false, &err));
    EXPECT_FALSE(js.pending());
    EXPECT_EQ(read_file("r.jsonl"), two + cli_record_json(sample()));

    cli_report bad;
    EXPECT_FALSE(bad.open("no/such/dir/r.csv", &err));
    EXPECT_NE(err.find("no/such/dir/r.csv"), std::string::npos);
}

TEST(CliEvent, FramesSurvivePiecesAndCarryBytes)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    cli_event a("mismatch");
    a.set("setting", "WAP").set("held", std::string("\xff,\0\t\x01", 5));
    cli_event b("progress");
    b.set("done", 12L).set("total", 20L);
    ASSERT_TRUE(cli_event_write(p[1], a));
    ASSERT_TRUE(cli_event_write(p[1], b));
    close(p[1]);
    std::string all;
    char buf[256];
    for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;)
        all.append(buf, static_cast<size_t>(n));
    close(p[0]);
    // Fed one byte at a time, as a pipe may deliver it.
    std::string pending;
    std::vector<cli_event> got;
    for (char c : all) {
        pending += c;
        ASSERT_TRUE(cli_event_take(pending, got));
    }
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].kind, "mismatch");
    EXPECT_EQ(got[0].get("held"), std::string("\xff,\0\t\x01", 5));
    EXPECT_EQ(got[1].get_long("done"), 12);
    EXPECT_EQ(got[1].get("absent"), "");
    EXPECT_TRUE(pending.empty());

    std::string junk("\xff\xff\xff\x7f"
                     "xx",
                     6); // a length no frame has
    EXPECT_FALSE(cli_event_take(junk, got));
    EXPECT_EQ(cli_printable("a\x1b[2Jb\x7f"), "a\\x1b[2Jb\\x7f");
    // The text "\xe9" and the byte 0xe9 read apart, in every output.
    EXPECT_EQ(cli_printable("\\xe9|\xe9"), "\\\\xe9|\\xe9");
    EXPECT_EQ(cli_utf8("a\\b"), "a\\\\b");
    EXPECT_EQ(cli_utf8(std::string("1.0\0x\0", 6)), "1.0\\x00x\\x00");
    // A CSI as C1 (U+009B), bytes that are no UTF-8, a GB18030 text.
    EXPECT_EQ(cli_printable("\xc2\x9b"
                            "2J\xff!"),
              "\\xc2\\x9b"
              "2J\\xff!");
    EXPECT_EQ(cli_printable("\xd6\xd0\xce\xc4\n"), "\xe4\xb8\xad\xe6\x96\x87\\x0a");
    EXPECT_EQ(cli_utf8(std::string("a\0b\x01", 4)), "a\\x00b\x01");
}

// Inputs the fuzzer found. A C1 character escaped by its code point read
// the same as the byte of that value that is no UTF-8: "\x8a" for both.
TEST(CliEvent, FuzzFindingsLoseNothing)
{
    const std::string c1_beside_bytes("\x09\x81\x04\xc2\x8a\xb0\x00\x10\x03\x10", 10);
    EXPECT_EQ(cli_printable(c1_beside_bytes), "\\x09\\x81\\x04\\xc2\\x8a\\xb0\\x00\\x10\\x03\\x10");
}

// One masking for every output: the key of WAKEY and WSKEY, the password
// of WEBU; an export's commands keep them.
TEST(CliEvent, SecretsAreMaskedWhereverTheyTravel)
{
    struct row {
        const char *name, *args, *shown;
    } rows[] = {
        {"WSKEY", "WPA2PSK,AES,k,with,commas", "WPA2PSK,AES,***"},
        {"WAKEY", "WPAPSK,TKIP,12345678", "WPAPSK,TKIP,***"},
        {"WAKEY", "OPEN,NONE", "OPEN,NONE"},
        {"WEBU", "admin,admin", "admin,***"},
        {"WEBU", "admin", "admin"},
        {"WSSSID", "a,b,c", "a,b,c"},
    };
    for (const auto &r : rows) {
        EXPECT_EQ(cli_secret_masked(r.name, r.args), r.shown) << r.name;
        EXPECT_EQ(cli_line_masked(std::string("AT+") + r.name + "=" + r.args),
                  std::string("AT+") + r.name + "=" + r.shown);
    }
    const cli_event m = cli_event_masked(
        cli_event("checked").set("setting", "WSKEY").set("sent", "W,A,k1").set("held", "W,A,k2"));
    EXPECT_EQ(m.get("setting"), "WSKEY");
    EXPECT_EQ(m.get("sent") + m.get("held"), "W,A,***W,A,***");
    EXPECT_EQ(cli_event_masked(cli_event("sent").set("line", "AT+WEBU=u,p")).get("line"),
              "AT+WEBU=u,***");
    EXPECT_EQ(
        cli_event_masked(cli_event("value").set("name", "WEBU").set("value", "u,p")).get("value"),
        "u,***");
    EXPECT_EQ(cli_event_masked(cli_event("command").set("line", "AT+WEBU=u,p")).get("line"),
              "AT+WEBU=u,p");
}

// "modcfg ports" from a made-up sysfs: a USB adapter with its ids, an old
// UART, and a device only a MODCFG_COMn names.
TEST(CliPorts, DevicesWithTheirNamesAndUsbDetails)
{
    temp_cwd dir;
    const std::string r = dir.path();
    for (const char *d :
         {"/dev", "/sys/class/tty/ttyUSB0", "/sys/class/tty/ttyS0",
          "/sys/devices/usb1/1-1/1-1:1.0/ttyUSB0", "/sys/devices/platform/serial8250",
          "/sys/bus/usb-serial/drivers/ftdi_sio"})
        ASSERT_EQ(g_mkdir_with_parents((r + d).c_str(), 0755), 0) << d;
    write_file(r + "/dev/ttyUSB0", "");
    write_file(r + "/dev/ttyS0", "");
    write_file(r + "/dev/ttyS1", ""); // a slot without hardware
    const std::string usb = r + "/sys/devices/usb1/1-1";
    write_file(usb + "/idVendor", "0403\n");
    write_file(usb + "/idProduct", "6001\n");
    write_file(usb + "/product", "FT232R USB UART\n");
    write_file(usb + "/serial", "A50285BI\n");
    ASSERT_EQ(
        symlink((usb + "/1-1:1.0/ttyUSB0").c_str(), (r + "/sys/class/tty/ttyUSB0/device").c_str()),
        0);
    ASSERT_EQ(symlink((r + "/sys/bus/usb-serial/drivers/ftdi_sio").c_str(),
                      (usb + "/1-1:1.0/ttyUSB0/driver").c_str()),
              0);
    ASSERT_EQ(symlink((r + "/sys/devices/platform/serial8250").c_str(),
                      (r + "/sys/class/tty/ttyS0/device").c_str()),
              0);
    write_file(r + "/sys/class/tty/ttyS0/type", "4\n");
    ASSERT_EQ(setenv("MODCFG_COM5", "/dev/pts/7", 1), 0);
    const auto ports = cli_list_ports(r);
    unsetenv("MODCFG_COM5");
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[0].device, r + "/dev/ttyUSB0");
    EXPECT_EQ(ports[0].names, std::vector<std::string>{"COM1"});
    EXPECT_EQ(ports[0].driver, "ftdi_sio");
    EXPECT_EQ(ports[0].vendor_id + ":" + ports[0].product_id, "0403:6001");
    EXPECT_EQ(ports[0].product, "FT232R USB UART");
    EXPECT_EQ(ports[0].serial, "A50285BI");
    EXPECT_EQ(ports[1].device, r + "/dev/ttyS0");
    EXPECT_EQ(ports[1].names, std::vector<std::string>{"COM2"});
    EXPECT_EQ(ports[1].vendor_id, "");
    EXPECT_EQ(ports[2].device, "/dev/pts/7");
    EXPECT_EQ(ports[2].names, std::vector<std::string>{"COM5"});
    EXPECT_FALSE(ports[0].missing);
    struct stat st;
    EXPECT_EQ(ports[2].missing, stat("/dev/pts/7", &st) != 0);
}

TEST(CliOptions, CheckedInTheOrderTheyAreToldAndTurnedIntoTheRun)
{
    using set = void (*)(cli_module_args &);
    struct row {
        set change;
        const char *why; // "" for good options
        long count, timeout;
        bool loop;
    } rows[] = {
        {[](cli_module_args &) {}, "", 0, CLI_MODULE_TIMEOUT_FAST, false},
        {[](cli_module_args &a) { a.args.clear(); }, "a command file is needed", 0, 0, false},
        {[](cli_module_args &a) { a.args.push_back("x"); }, "unexpected argument x", 0, 0, false},
        {[](cli_module_args &a) { a.listen = "0"; }, "give --port or --listen", 0, 0, false},
        {[](cli_module_args &a) { a.task = cli_task::apply, a.ports.push_back("COM2"); },
         "--port given twice; provision takes one module", 0, 0, false},
        {[](cli_module_args &a) { a.ports.push_back("COM2"), a.baud = "9"; }, "--baud 9", 0, 0,
         false},
        {[](cli_module_args &a) { a.count = -1, a.retries = -1; }, "--count wants", 0, 0, false},
        {[](cli_module_args &a) { a.retries = -1, a.module_timeout = 0; }, "--retries wants", 0, 0,
         false},
        {[](cli_module_args &a) { a.module_timeout = -1; }, "--module-timeout wants", 0, 0, false},
        {[](cli_module_args &a) { a.quiet = a.verbose = true; }, "--quiet and --verbose", 0, 0,
         false},
        {[](cli_module_args &a) { a.reports = 2; }, "--report given twice", 0, 0, false},
        {[](cli_module_args &a) { a.max_workers = 0; }, "--max-workers wants at least 1", 0, 0,
         false},
        {[](cli_module_args &a) { a.ports.clear(), a.listen = "1.2.3:5"; }, "--listen wants", 0, 0,
         false},
        {[](cli_module_args &a) { a.ports.clear(), a.listen = "0", a.allow = {"x"}; },
         "--allow x: ", 0, 0, false},
        {[](cli_module_args &a) { a.ports.clear(), a.listen = "0", a.baud = "auto"; },
         "--baud auto goes with --port", 0, 0, false},
        {[](cli_module_args &a) { a.allow = {"10.0.0.0/8"}; }, "--allow goes with --listen", 0, 0,
         false},
        {[](cli_module_args &a) { a.count = 3, a.strict = true; }, "", 3, 600, true},
        {[](cli_module_args &a) { a.ports.clear(), a.listen = "0"; }, "", 1, 60, false},
        {[](cli_module_args &a) { a.ports.clear(), a.listen = "0", a.loop = true; }, "", 0, 60,
         true},
        {[](cli_module_args &a) { a.module_timeout = 5, a.strict = true; }, "", 0, 5, false},
    };
    for (const auto &r : rows) {
        cli_module_args a;
        a.task = cli_task::provision;
        a.takes_file = true;
        a.args = {"set.txt"};
        a.ports = {"COM1"};
        r.change(a);
        cli_run_options run;
        std::string why;
        const bool good = cli_run_options_build(a, "provision", &run, &why);
        EXPECT_EQ(good, !*r.why) << why;
        EXPECT_EQ(why.rfind(r.why, 0), 0u) << why;
        if (good) {
            EXPECT_EQ(std::make_tuple(run.count, run.module_timeout, run.loop, run.file),
                      std::make_tuple(r.count, r.timeout, r.loop, std::string("set.txt")));
        }
    }
}

// Five settings, each a line: what the wire showed decides, and no result
// or record row claims more than was done.
TEST(CliVerdict, ResultsAndRecordsClaimNoMoreThanTheWireShowed)
{
    using t = cli_task;
    struct row {
        t task;
        size_t sent, acked, checked, held; // of 5 lines and 5 settings, from the first
        const char *cut, *gone, *mid_after;
        bool read_back;
        const char *result, *note;
    } rows[] = {
        {t::provision, 5, 5, 5, 5, "", "", "", true, "verified", ""},
        {t::provision, 5, 5, 0, 0, "", "", "", false, "done", ""},
        {t::provision, 5, 4, 5, 5, "", "", "", true, "not-acknowledged", ""},
        {t::provision, 5, 5, 5, 4, "", "", "", true, "mismatch", ""},
        {t::provision, 2, 2, 0, 0, "stopped by a second Ctrl-C", "", "", true, "interrupted",
         "stopped by a second Ctrl-C: sent 2 of 5 lines, acknowledged 2, read back 0 of 5"},
        {t::apply, 5, 5, 3, 3, "the parent went away", "", "", true, "interrupted",
         "the parent went away: sent 5 of 5 lines, acknowledged 5, read back 3 of 5"},
        {t::apply, 5, 5, 3, 3, "", "", "", true, "interrupted", "ended early: sent 5 of 5"},
        {t::apply, 3, 3, 0, 0, "", "no answer", "", true, "link-lost", "no answer; sent 3 of 5"},
        {t::apply, 5, 5, 5, 5, "", "", "B", true, "link-lost", "module changed: A \u2192 B"},
        {t::verify, 0, 0, 5, 5, "", "", "", true, "verified", ""},
        {t::verify, 0, 0, 2, 2, "stopped by a second Ctrl-C", "", "", true, "interrupted",
         "stopped by a second Ctrl-C: read back 2 of 5"},
        {t::read, 0, 0, 0, 0, "stopped by a second Ctrl-C", "", "", true, "interrupted", ""},
    };
    const char *names[] = {"WMODE", "WAP", "TCPTO", "WSSSID", "WEBU"};
    for (const auto &r : rows) {
        cli_facts f;
        f.task = r.task;
        f.read_back = r.read_back;
        f.lines_planned = r.task == t::verify || r.task == t::read ? 0 : 5;
        f.settings_planned = r.read_back && r.task != t::read ? 5 : 0;
        f.cut_short = r.cut;
        f.link_lost = *r.gone != 0;
        f.gone = r.gone;
        f.mid = "A";
        f.mid_after = r.mid_after;
        for (size_t i = 0; i < r.sent; i++)
            f.sent.push_back({std::string("AT+") + names[i] + "=v", i < r.acked, ""});
        for (size_t i = 0; i < r.checked; i++)
            f.checked.push_back({names[i], "v", "v", true, i < r.held});
        const cli_verdict v = cli_decide(f);
        EXPECT_EQ(v.result, r.result) << v.note;
        EXPECT_EQ(v.note.compare(0, std::strlen(r.note), r.note), 0) << v.note;
        // A record row says sent only for a line that went out, and held
        // only for a setting read back from this module.
        size_t sent = 0, held = 0;
        for (const auto &c : cli_setting_rows(f)) {
            sent += c.sent;
            held += c.held_known;
        }
        EXPECT_EQ(sent, r.sent) << v.result;
        EXPECT_EQ(held, *r.mid_after ? 0 : r.checked) << v.result;
    }
    // Nothing in the file can be read back: verify checked nothing.
    cli_facts none;
    none.task = t::verify;
    EXPECT_EQ(cli_decide(none).result, "unverifiable");
    none.task = t::apply;
    none.lines_planned = 1;
    none.sent.push_back({"AT+E", true, ""});
    EXPECT_EQ(cli_decide(none).result, "acknowledged");
    EXPECT_EQ(cli_setting_rows(none).size(), 0u);
}

TEST(CliSummary, ExitStatusAndLastLineFollowTheOutcomes)
{
    using set = void (*)(cli_run_facts &);
    const auto none = [](cli_run_facts &) {};
    struct row {
        std::vector<std::string> results; // "port" for a port that could not be opened
        set change;
        int status;
        const char *summary;
    } rows[] = {
        {{"verified", "acknowledged"},
         none,
         0,
         "modules done: 2, verified: 1, acknowledged: 1, failed: 0"},
        {{"verified", "mismatch"}, none, 1, "modules done: 2, verified: 1, failed: 1"},
        {{"mismatch", "port"}, none, 3, "modules done: 1, verified: 0, failed: 1; not opened: p1"},
        {{"port", "port"}, none, 3, "no module done: p0, p1 could not be opened"},
        {{"verified"}, none, 1, "modules done: 1, verified: 1, failed: 0"}, // a port owed one
        {{"verified"}, [](cli_run_facts &f) { f.loop = true; }, 0, nullptr},
        {{"verified"}, [](cli_run_facts &f) { f.loop = true, f.count = 2; }, 1, nullptr},
        {{"verified", "done"}, [](cli_run_facts &f) { f.loop = true, f.count = 2; }, 0, nullptr},
        {{"verified", "done"}, [](cli_run_facts &f) { f.records_incomplete = true; }, 1, nullptr},
        {{}, [](cli_run_facts &f) { f.listen = true, f.ports = 0; }, 1, nullptr},
        {{}, [](cli_run_facts &f) { f.listen = f.loop_asked = true, f.ports = 0; }, 0, nullptr},
        {{"done"}, [](cli_run_facts &f) { f.task = cli_task::read, f.ports = 1; }, 0, ""},
        {{}, [](cli_run_facts &f) { f.task = cli_task::read, f.loop = true; }, 1, ""},
        {{"done"},
         [](cli_run_facts &f) { f.task = cli_task::export_, f.export_failed = true; },
         1,
         ""},
    };
    for (const auto &r : rows) {
        cli_run_facts f;
        f.task = cli_task::provision;
        f.ports = 2;
        r.change(f);
        std::vector<cli_outcome> outcomes;
        for (const auto &result : r.results) {
            cli_outcome c;
            c.label = "p" + std::to_string(outcomes.size());
            (result == "port" ? c.port_error : c.result) = result;
            outcomes.push_back(c);
        }
        const cli_run_end end = cli_run_end_of(f, outcomes);
        EXPECT_EQ(end.status, r.status) << end.summary;
        if (r.summary) {
            EXPECT_EQ(end.summary, r.summary);
        }
    }
}

TEST(CliMidPolicy, DoneOnceFailedUpToTheRetriesBusyWhileInProgress)
{
    using v = cli_mid_policy::verdict;
    cli_mid_policy mids(1);
    struct step {
        const char *mid;
        const char *ended; // null: the module answered and is decided on
        v verdict;
        bool first;
    } steps[] = {
        {"A", nullptr, v::go, false},     {"A", nullptr, v::busy, false},
        {"A", "mismatch", v::go, false},  {"A", nullptr, v::go, false},
        {"A", "link-lost", v::go, false}, {"A", nullptr, v::failed, true},
        {"A", nullptr, v::failed, false}, {"B", nullptr, v::go, false},
        {"B", "verified", v::go, false},  {"B", nullptr, v::done, true},
        {"B", nullptr, v::done, false},   {"C", "verified", v::go, false}, // never begun
        {"C", nullptr, v::go, false},     {"C", "acknowledged", v::go, false},
        {"C", nullptr, v::done, true},
    };
    for (const auto &s : steps) {
        if (s.ended) {
            mids.ended(s.mid, s.ended);
            continue;
        }
        bool first = true;
        EXPECT_EQ(mids.decide(s.mid, &first), s.verdict) << s.mid;
        EXPECT_EQ(first, s.first) << s.mid;
    }
    EXPECT_EQ(mids.failures("A"), 2);
    EXPECT_EQ(mids.last_result("B"), "verified");
}

} // namespace
