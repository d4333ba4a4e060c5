// Faults under the network build's window and connection thread: port 9999
// taken by another program; a module that misbehaves on the wire; the
// socket closed in the middle of a read, a Confirm and the auto-apply. The
// tool must finish within the exchange's own time-outs, say so, keep its
// window consistent, and take the module again when it reconnects.
#include "button_clicked.h"
#include "command.h"
#include "lang.h"
#include "main.h"
#include "window_state.h"
#include "module.h"
#include "module_at.h"
#include "net_module.h"
#include "pccom.h"
#include "sim_process.h"
#include "tcpsock.h"
#include "temp_dir.h"
#include "window.h"
#include "console.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using clock_type = std::chrono::steady_clock;
using std::string;

long ms_since(clock_type::time_point t0)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - t0).count());
}

// Runs the main loop until `done` holds or `ms` passed; returns done().
bool pump_until(const std::function<bool()> &done, int ms)
{
    const auto end = clock_type::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (clock_type::now() > end)
            return false;
        if (gtk_events_pending())
            gtk_main_iteration_do(FALSE);
        else
            g_usleep(2000);
    }
    return true;
}

bool sensitive(GtkWidget *w)
{
    return gtk_widget_get_sensitive(w) != FALSE;
}

string status_text()
{
    return gtk_label_get_text(GTK_LABEL(label_net_conn));
}

// What the two appearances of the network window decide, in one text.
string window_look()
{
    string s = "lamp " + std::to_string(color);
    s += strPCCom.bopened ? ", open" : ", closed";
    s += string(", read ") + (sensitive(button_setting_read) ? "on" : "off");
    s += string(", save ") + (sensitive(button_setting_save) ? "on" : "off");
    s += string(", apply ") + (sensitive(button_setting_down) ? "on" : "off");
    s += string(", module ") + (sensitive(frame_module) ? "on" : "off");
    return s;
}

string look(int lamp, bool open, bool read, bool save, bool apply, bool module)
{
    return "lamp " + std::to_string(lamp) + (open ? ", open" : ", closed") + ", read " +
           (read ? "on" : "off") + ", save " + (save ? "on" : "off") + ", apply " +
           (apply ? "on" : "off") + ", module " + (module ? "on" : "off");
}

bool module_connected()
{
    return color == 1 && strPCCom.bopened == 1 && tcpsocket > 0 &&
           status_text() == ui_text(text_net_conn6).get();
}

bool module_gone()
{
    return color == 2 && strPCCom.bopened == 0 && tcpsocket == 0;
}

// Runs `fn` on the main thread with the console captured.
struct console_run {
    string out;
    long took_ms = 0;
    template <typename F> void operator()(F fn)
    {
        testing::internal::CaptureStdout();
        const auto t0 = clock_type::now();
        fn();
        took_ms = ms_since(t0);
        std::fflush(stdout);
        out = testing::internal::GetCapturedStdout();
    }
};

// The window as the network program builds it, in a working directory of
// its own; the connection thread is started by the first test that needs it.
class net_window : public testing::Environment
{
  public:
    void SetUp() override
    {
        cwd_ = new temp_cwd;
        init_app_state();
        window_state_reset();
        int argc = 0;
        char **argv = nullptr;
        init_window(&argc, &argv);
        started = 1;
    }
    void TearDown() override { delete cwd_; }

  private:
    temp_cwd *cwd_ = nullptr;
};

testing::Environment *const program = testing::AddGlobalTestEnvironment(new net_window);

} // namespace

// Runs first: the connection thread is not started yet.
TEST(NetPortTaken, AnotherProgramOnPort9999LeavesTheWindowWaiting)
{
    const int other = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(other, 0);
    // Connections of earlier runs may linger on the port in TIME_WAIT.
    int on = 1;
    setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(TCP_SERVER_PORT);
    ASSERT_EQ(bind(other, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0)
        << "port 9999 is in use already";
    ASSERT_EQ(listen(other, 1), 0);

    const string before = window_look();
    EXPECT_EQ(before, look(2, false, false, false, false, false));
    testing::internal::CaptureStdout();
    auto done = std::async(std::launch::async, net_connect_thread);
    const bool ended = done.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
    std::fflush(stdout);
    const string out = testing::internal::GetCapturedStdout();
    close(other);
    ASSERT_TRUE(ended) << "the thread waits on a server it could not set up";
    EXPECT_EQ(out, "bind failed\n");
    pump_until([] { return false; }, 300);
    EXPECT_EQ(window_look(), before);
    EXPECT_EQ(status_text(), ui_text(text_net_conn1).get());
}

namespace
{

class NetFaults : public testing::Test
{
  protected:
    void SetUp() override
    {
        static bool thread_started = false;
        if (!thread_started) {
            testing::internal::CaptureStdout();
            build_startup();
            thread_started = true;
            pump_until([] { return false; }, 200);
            testing::internal::GetCapturedStdout();
        }
        ASSERT_TRUE(pump_until(module_gone, 5000)) << "a module of the last test is connected";
        mkdir("data", 0755);
        auto_setting = 0;
    }
    void TearDown() override
    {
        sim.stop();
        EXPECT_TRUE(pump_until(module_gone, 5000)) << "the tool did not notice the module leave";
        unlink(state.c_str());
        unlink(log.c_str());
    }
    // The emulator connects as the module, with ARGS.
    void connect(std::vector<string> args)
    {
        args.insert(args.end(), {"--tcp", "127.0.0.1:9999", "--state", state, "--log", log});
        ASSERT_TRUE(sim.start(args));
        ASSERT_TRUE(pump_until(module_connected, 5000))
            << window_look() << " sock " << tcpsocket << " text " << status_text();
    }

    string state = "module.state";
    string log = "module.log";
    sim_process sim;
    console_run run;
};

const std::vector<string> module_settings = {"--set", "MID=NET-FAULTS", "--set", "WMODE=STA",
                                             "--set", "MAXSK=7",        "--set", "WSSSID=Upstream"};

// The looks of the window: a module connected with auto-apply off (`save`
// and `module` as the work so far left them), and none connected.
string connected_look(bool save, bool module)
{
    return look(1, true, true, save, true, module);
}
const string gone_look = look(2, false, false, false, false, false);

// Three pending commands on the management page, as its handlers leave them.
void edit_management_page()
{
    testing::internal::CaptureStdout();
    strMODMana_up.wmode = WIFIMODE_AP;
    generate_cmd("WMODE", "wmode");
    strMODMana_up.tmode = WORKMODE_AG;
    generate_cmd("TMODE", "tmode");
    text_set(strMODMana_up.user, "oper");
    generate_cmd("WEBU", "user");
    strMODMana.dirty = 1;
    gtk_widget_set_sensitive(button_mana_confirm, TRUE);
    testing::internal::GetCapturedStdout();
}

void expect_settings_read(const char *what)
{
    EXPECT_STREQ(strMODMana.mid, "NET-FAULTS") << what;
    EXPECT_EQ(strMODMana.wmode, WIFIMODE_STA) << what;
    EXPECT_EQ(strMODComm.maxsk, 7) << what;
    EXPECT_STREQ(strMODSTA.SSID, "Upstream") << what;
}

} // namespace

// Replies that come byte by byte (each used to be taken for a whole reply,
// so that no query was ever answered), without their line ends, or longer
// than one read: every value still arrives.
TEST_F(NetFaults, AwkwardRepliesStillGiveEveryValue)
{
    const struct {
        const char *what;
        std::vector<string> args;
        long max_ms;
    } rows[] = {
        // A line end, 200 ms pause and the stray "\r\n" per reply of up to
        // 60 bytes 10 ms apart, and a keep-alive reply owed now and then.
        {"byte by byte", {"--byte-gap", "10"}, 19 * (60 * 10 + 400) + 5000},
        // Keep-alive replies never end, so an exchange after one waits for
        // it: 500 ms at most once a second.
        {"no line ends", {"--no-line-ends"}, 19 * 500 + 3000},
        {"value past one read", {"--set", "NETP=TCP,Client,8899," + string(150, 'h')}, 3000},
    };
    for (const auto &row : rows) {
        std::vector<string> args = module_settings;
        args.insert(args.end(), row.args.begin(), row.args.end());
        connect(args);
        strMODMana = {};
        strMODComm = {};
        strMODSTA = {};
        run(button_setting_read_clicked);
        expect_settings_read(row.what);
        EXPECT_EQ(count_of(run.out, "No answer"), 0u) << row.what << ": " << run.out;
        EXPECT_LT(run.took_ms, row.max_ms) << row.what;
        EXPECT_EQ(window_look(), connected_look(false, true)) << row.what;
        sim.stop();
        ASSERT_TRUE(pump_until(module_gone, 5000)) << row.what;
    }
    // Up to 92 bytes of the value: "TCP,Client,8899," and 76 of the host.
    EXPECT_EQ(string(strMODComm.hostname), string(76, 'h'));
}

// A module that hangs after the read, and one that answers garbage: a
// Confirm waits out its command's 40 reply reads (40 x (30 + 200) ms over
// TCP), says it was not acknowledged, and the page is confirmed.
TEST_F(NetFaults, UnansweredConfirmEndsWithinItsReplyReads)
{
    const struct {
        const char *what;
        std::vector<string> args;
        bool read_first;
    } rows[] = {
        {"hangs after the read", {"--silent-after", "19"}, true},
        {"garbage", {"--garbage"}, false},
    };
    for (const auto &row : rows) {
        std::vector<string> args = module_settings;
        args.insert(args.end(), row.args.begin(), row.args.end());
        connect(args);
        if (row.read_first) {
            run(button_setting_read_clicked);
            expect_settings_read(row.what);
        }
        testing::internal::CaptureStdout();
        strMODMana_up.wmode = WIFIMODE_AP;
        generate_cmd("WMODE", "wmode");
        gtk_widget_set_sensitive(button_mana_confirm, TRUE);
        testing::internal::GetCapturedStdout();
        run(button_mana_confirm_clicked);
        EXPECT_LT(run.took_ms, 40 * 230 + 500 + 2000) << row.what;
        EXPECT_NE(run.out.find("Not acknowledged by the module: AT+WMODE=AP\n"), string::npos)
            << row.what << ": " << run.out;
        EXPECT_FALSE(sensitive(button_mana_confirm)) << row.what;
        EXPECT_EQ(window_look(), connected_look(true, row.read_first)) << row.what;
        sim.stop();
        ASSERT_TRUE(pump_until(module_gone, 5000)) << row.what;
    }
}

// The module closes the socket in the middle of a full read: the read ends
// soon and names what it did not get; the link-lost steps follow, and when
// the module connects again it is read whole.
TEST_F(NetFaults, LinkLostDuringAReadThenTheModuleIsReadWhole)
{
    std::vector<string> args = module_settings;
    args.insert(args.end(), {"--retry", "--drop-after", "8"});
    connect(args);
    strMODComm = {};
    run(button_setting_read_clicked);
    // The query under way may wait out its 40 reads of a closed socket,
    // 200 ms apart; every later one fails at once.
    EXPECT_LT(run.took_ms, 40 * 230 + 3000);
    EXPECT_EQ(count_of(run.out, "No answer from the module to "), 19u - 8u) << run.out;
    EXPECT_NE(run.out.find("No answer from the module to AT+WANN\n"), string::npos);
    EXPECT_STREQ(strMODMana.mid, "NET-FAULTS");
    ASSERT_TRUE(pump_until([] { return color == 2; }, 3000));
    EXPECT_EQ(window_look(), gone_look);

    ASSERT_TRUE(pump_until(module_connected, 5000)) << "the module's new connection";
    EXPECT_EQ(window_look(), connected_look(false, false));
    strMODMana = {};
    strMODComm = {};
    strMODSTA = {};
    run(button_setting_read_clicked);
    expect_settings_read("after the new connection");
    EXPECT_EQ(window_look(), connected_look(false, true));
}

// The socket closes after the first of three confirmed commands: the other
// two are reported, and once the module is back the page is read and the
// same edits confirmed again.
TEST_F(NetFaults, LinkLostDuringAConfirmThenConfirmedAgain)
{
    std::vector<string> args = module_settings;
    args.insert(args.end(), {"--retry", "--drop-after", "20"});
    connect(args);
    run(button_setting_read_clicked);
    edit_management_page();
    run(button_mana_confirm_clicked);
    EXPECT_LT(run.took_ms, 40 * 230 + 3000);
    EXPECT_EQ(count_of(run.out, "Send CMD: "), 3u) << run.out;
    EXPECT_EQ(count_of(run.out, "Not acknowledged by the module: "), 2u) << run.out;
    EXPECT_EQ(read_file("cmd_mana_tmp.txt"),
              "AT+WMODE=AP\r\nAT+TMODE=Agreement\r\nAT+WEBU=oper,admin\r\nE");
    EXPECT_TRUE(sim_wait_state(state, "WMODE", "AP"));
    ASSERT_TRUE(pump_until([] { return color == 2; }, 3000));
    EXPECT_EQ(window_look(), gone_look);
    EXPECT_EQ(cmd_num_mod, 0);

    ASSERT_TRUE(pump_until(module_connected, 5000)) << "the module's new connection";
    run(button_setting_read_clicked);
    EXPECT_EQ(strMODMana.tmode, WORKMODE_TH) << "the module never took Agreement";
    edit_management_page();
    run(button_mana_confirm_clicked);
    EXPECT_EQ(count_of(run.out, "Not acknowledged"), 0u) << run.out;
    EXPECT_TRUE(sim_wait_state(state, "TMODE", "Agreement"));
    EXPECT_TRUE(sim_wait_state(state, "WEBU", "oper,admin"));
    EXPECT_EQ(window_look(), connected_look(true, true));
}

// The socket closes in the middle of the auto-apply on connection: the rest
// is reported, and the module's next connection applies the whole file.
TEST_F(NetFaults, LinkLostDuringTheAutoApplyThenTheNextConnectionAppliesAll)
{
    write_file("data/set_file.txt",
               "AT+TMODE=Agreement\r\nAT+MAXSK=5\r\nAT+TCPTO=77\r\nAT+WSSSID=Applied\r\nE\r\n");
    auto_setting = 1;
    std::vector<string> args = module_settings;
    args.insert(args.end(), {"--retry", "--drop-after", "2", "--tcp", "127.0.0.1:9999", "--state",
                             state, "--log", log});
    ASSERT_TRUE(sim.start(args));
    // Connected, applied in part, lost, connected again and applied whole.
    bool applied = false;
    run([&] {
        applied = pump_until(
            [&] { return module_connected() && sim_read_state(state)["WSSSID"] == "Applied"; },
            40 * 230 + 10000);
    });
    ASSERT_TRUE(applied) << run.out;
    EXPECT_EQ(count_of(run.out, "Accept OK!"), 2u) << run.out;
    EXPECT_EQ(count_of(run.out, "Send Command: "), 8u) << run.out;
    EXPECT_EQ(count_of(run.out, "Not acknowledged by the module: "), 2u) << run.out;
    auto applied_state = sim_read_state(state);
    EXPECT_EQ(applied_state["TMODE"], "Agreement");
    EXPECT_EQ(applied_state["MAXSK"], "5");
    EXPECT_EQ(applied_state["TCPTO"], "77");
    // With auto-apply on, the command-file buttons are not offered.
    EXPECT_EQ(window_look(), look(1, true, false, false, false, false));
    auto_setting = 0;
}
