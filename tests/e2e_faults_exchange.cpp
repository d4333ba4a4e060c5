// Faults of the module and of the serial link against the real exchange and
// readers: the emulator on a pty misbehaves, and every operation must end
// within the exchange's own time-outs, say what happened and leave the port
// usable for the next exchange.
#include "module.h"
#include "module_at.h"
#include "module_read.h"
#include "module_binding.h"
#include "pccom.h"
#include "pty_pair.h" // ms_since
#include "sim_process.h"
#include "temp_dir.h"
#include "console.h"

#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

// This program links the core only: the module operations go straight to
// the serial exchange, as the serial build binds them.
static const module_binding binding(serial_link);

namespace
{

using clock_type = std::chrono::steady_clock;

class SerialFaults : public ::testing::Test
{
  protected:
    // Starts the emulator with ARGS and opens its pty as COM1, as the
    // connect button does; COM1 is `port` when given (the emulator's --link).
    void open_sim(std::vector<std::string> args, const std::string &port = "")
    {
        log = dir.path() + "/frames.log";
        state = dir.path() + "/state.txt";
        args.insert(args.end(), {"--log", log, "--state", state});
        ASSERT_TRUE(sim.start_pty(args));
        ASSERT_EQ(setenv("MODCFG_COM1", port.empty() ? sim.pty_path().c_str() : port.c_str(), 1),
                  0);
        open_port();
    }
    void open_port()
    {
        strPCCom = {};
        strPCCom.baudrate = 15;
        strPCCom.data_bits = 3;
        testing::internal::CaptureStdout();
        init_pccom();
        const std::string out = testing::internal::GetCapturedStdout();
        ASSERT_GT(strPCCom.fd, 0) << out << serial_last_error();
    }
    void close_port()
    {
        CommClose(strPCCom.fd);
        strPCCom.fd = 0;
    }
    void TearDown() override
    {
        close_port();
        unsetenv("MODCFG_COM1");
    }
    // Runs FN with the console captured; its output in `out`, its duration
    // in `took_ms`.
    template <typename F> auto run(F fn)
    {
        testing::internal::CaptureStdout();
        const auto t0 = clock_type::now();
        auto result = fn();
        took_ms = ms_since(t0);
        out = testing::internal::GetCapturedStdout();
        return result;
    }

    temp_cwd dir;
    sim_process sim;
    std::string log, state, out;
    long took_ms = 0;
};

TEST_F(SerialFaults, GarbageIsNeverTakenForAnAnswer)
{
    open_sim({"--mode", "command", "--garbage"});
    // Both probes are answered with garbage; only the handshake, whose "a"
    // and "+ok" the emulator does not garble, gets the module.
    EXPECT_EQ(run(connect_to_module), 1);
    EXPECT_EQ(out, "Connect to Module.........OK!\n");
    EXPECT_EQ(count_of(read_file(log), "+++"), 1u) << read_file(log);
    EXPECT_EQ(run(module_echo), 0);
    EXPECT_LT(took_ms, 1450 + 1000);
}

// A full read of the four pages, as "read settings" does.
int read_all_pages()
{
    init_module_mana_struct();
    init_module_comm_struct();
    init_module_ap_struct();
    init_module_sta_struct();
    return 0;
}

// Settings away from the emulator's defaults, so that a value that did not
// arrive shows.
const std::vector<std::string> sets = {
    "--set", "MID=FAULT-TEST",  "--set", "WMODE=STA",
    "--set", "WEBU=slow,bytes", "--set", "MAXSK=7",
    "--set", "TCPTO=99",        "--set", "WAP=11N,Shop AP,CH11",
    "--set", "WSSSID=Home",     "--set", "WANN=Static,172.16.3.20,255.255.0.0,172.16.0.1"};

void expect_sets_read(const char *what)
{
    EXPECT_STREQ(strMODMana.mid, "FAULT-TEST") << what;
    EXPECT_EQ(strMODMana.wmode, WIFIMODE_STA) << what;
    EXPECT_STREQ(strMODMana.user, "slow") << what;
    EXPECT_STREQ(strMODMana.pswd, "bytes") << what;
    EXPECT_EQ(strMODComm.maxsk, 7) << what;
    EXPECT_EQ(strMODComm.TCPto, 99) << what;
    EXPECT_EQ(strMODAP.mode, APSTD_11N) << what;
    EXPECT_STREQ(strMODAP.SSID, "Shop AP") << what;
    EXPECT_EQ(strMODAP.channel, APCH_CH11) << what;
    EXPECT_STREQ(strMODSTA.SSID, "Home") << what;
    EXPECT_EQ(strMODSTA.bDHCP, DHCP_DISABLE) << what;
    EXPECT_EQ(strMODSTA.ipadd[0], 172) << what;
    EXPECT_EQ(strMODSTA.dhcpgw[3], 1) << what;
}

void clear_records()
{
    strMODMana = {};
    strMODComm = {};
    strMODAP = {};
    strMODSTA = {};
}

// Replies that arrive slowly or incompletely still give every value, and a
// full read stays within a few seconds more than its replies take.
TEST_F(SerialFaults, FullReadGetsEveryValueFromAnAwkwardModule)
{
    const struct {
        const char *what;
        std::vector<std::string> args;
        long max_ms;
    } rows[] = {
        // Each byte 10 ms after the last, well inside the 200 ms a read
        // waits for the next: 19 replies of up to 60 bytes.
        {"byte by byte", {"--byte-gap", "10"}, 19 * (60 * 10 + 200) + 5000},
        // The value used to lose its last four bytes to the missing
        // "\r\n\r\n" ("STA" read as "").
        {"no line ends", {"--no-line-ends"}, 19 * 200 + 5000},
    };
    // With fast exchange too: its reads end on a complete reply, and by the
    // same time-outs when none comes.
    for (bool fast : {false, true})
        for (const auto &row : rows) {
            SCOPED_TRACE(fast ? "fast" : "default");
            at_set_fast(fast);
            std::vector<std::string> args = {"--mode", "command"};
            args.insert(args.end(), row.args.begin(), row.args.end());
            args.insert(args.end(), sets.begin(), sets.end());
            open_sim(args);
            ASSERT_EQ(run(connect_to_module), 1) << row.what << ": " << out;
            clear_records();
            run(read_all_pages);
            expect_sets_read(row.what);
            EXPECT_LT(took_ms, row.max_ms) << row.what;
            EXPECT_EQ(out, "") << row.what;
            // A set command is acknowledged and takes effect.
            EXPECT_EQ(run([] { return module_send_cmd_set("AT+WMODE=AP"); }), 1) << row.what;
            EXPECT_TRUE(sim_wait_state(state, "WMODE", "AP")) << row.what;
            close_port();
            sim.stop();
            at_set_fast(false);
        }
}

// A value longer than one read of 100 bytes: it is cut to the 92 bytes a
// value may have, and the rest of that reply is not taken for the next
// query's reply (which used to fail after 40 reads, 212 s, and lose MAXSK).
TEST_F(SerialFaults, OverlongValueIsCutAndTheNextQueryStillWorks)
{
    const std::string host(150, 'h');
    std::vector<std::string> args = {"--mode", "command", "--set", "NETP=TCP,Client,8899," + host};
    args.insert(args.end(), sets.begin(), sets.end());
    open_sim(args);
    ASSERT_EQ(run(connect_to_module), 1) << out;
    clear_records();
    run(read_all_pages);
    EXPECT_LT(took_ms, 19 * 400 + 5000);
    expect_sets_read("overlong NETP");
    EXPECT_EQ(strMODComm.mode, NETMODE_CLIENT);
    EXPECT_EQ(strMODComm.port, 8899);
    EXPECT_EQ(strMODComm.bip, 0);
    // "TCP,Client,8899," takes 16 of the value's 92 bytes.
    EXPECT_EQ(std::string(strMODComm.hostname), std::string(92 - 16, 'h'));
}

// The module goes away (the pty closes) in the middle of a full read: the
// read ends soon, says the link failed, and once a module is back on the
// port the tool connects again and reads everything.
TEST_F(SerialFaults, LinkDroppedDuringAFullReadThenReconnect)
{
    const std::string link = dir.path() + "/COM1";
    std::vector<std::string> args = {"--mode", "command", "--link", link, "--drop-after", "8"};
    args.insert(args.end(), sets.begin(), sets.end());
    open_sim(args, link);
    ASSERT_EQ(run(connect_to_module), 1) << out;
    clear_records();
    run(read_all_pages);
    EXPECT_EQ(sim.wait_exit(3000), 0) << "the emulator did not drop the link";
    // The probe and seven queries were answered. The query under way when
    // the pty closed retries its 40 reads (each fails at once, 200 ms
    // apart); every later one fails at its write.
    EXPECT_LT(took_ms, 40 * 200 + 8 * 1000 + 3000);
    EXPECT_STREQ(strMODMana.mid, "FAULT-TEST");
    EXPECT_EQ(strMODComm.maxsk, 0) << "read after the link was gone";
    EXPECT_GE(count_of(out, "uart write failed!\n"), 9u) << out;
    // Each of the twelve queries the module never answered is named.
    EXPECT_EQ(count_of(out, "No answer from the module to AT+"), 12u) << out;
    EXPECT_NE(out.find("No answer from the module to AT+WANN\n"), std::string::npos) << out;

    // The operator closes the port, a module comes back, the tool connects.
    close_port();
    sim_process again;
    std::vector<std::string> args2 = {"--mode", "command", "--link", link};
    args2.insert(args2.end(), sets.begin(), sets.end());
    ASSERT_TRUE(again.start_pty(args2));
    open_port();
    ASSERT_EQ(run(connect_to_module), 1) << out;
    clear_records();
    run(read_all_pages);
    expect_sets_read("after reconnecting");
    EXPECT_EQ(out, "");
}

} // namespace
