// The network build's connection thread in process, against a module played
// by the test over loopback and by the emulator: the waiting animation,
// accepting, the keep-alive on the wire, auto-apply, reading, confirming and
// applying over TCP, restart, and a lost link. The whole program runs under
// a check that fails when GTK is called from any thread but the main one.
#include "button_clicked.h"
#include "command.h"
#include "main.h"
#include "window_state.h"
#include "module.h"
#include "module_read.h"
#include "net_module.h"
#include "pccom.h"
#include "sim_process.h"
#include "tcp_peer.h"
#include "tcpsock.h"
#include "temp_dir.h"
#include "window.h"
#include "window_probe.h"
#include "console.h"
#include "console_window.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <atomic>
#include <chrono>
#include <dlfcn.h>
#include <map>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono;
using std::string;

// ---------------------------------------------------------------------------
// GTK may only be used from the main thread. The program's own calls of the
// widget functions the connection steps use resolve to these definitions
// (a definition in the program comes before the toolkit's library), which
// record any call from another thread and then call the toolkit's.

namespace gtk_guard
{

GThread *main_thread;
std::atomic<int> violations{0};
std::mutex lock;
std::vector<string> offenders;

void check(const char *fn)
{
    if (main_thread && g_thread_self() != main_thread) {
        ++violations;
        std::lock_guard<std::mutex> g(lock);
        offenders.push_back(fn);
    }
}

string report()
{
    std::lock_guard<std::mutex> g(lock);
    string s;
    for (const string &o : offenders)
        s += o + " ";
    return s;
}

void reset()
{
    violations = 0;
    std::lock_guard<std::mutex> g(lock);
    offenders.clear();
}

template <typename F> F real(const char *name)
{
    F f = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
    if (!f)
        abort();
    return f;
}

// Every text the status label was given, with the time it was given.
struct label_call {
    steady_clock::time_point at;
    string text;
};
std::vector<label_call> status_texts;

} // namespace gtk_guard

extern "C" {

void gtk_label_set_text(GtkLabel *label, const gchar *str)
{
    gtk_guard::check(__func__);
    static auto fn = gtk_guard::real<void (*)(GtkLabel *, const gchar *)>(__func__);
    if (label_net_conn && GTK_WIDGET(label) == label_net_conn)
        gtk_guard::status_texts.push_back({steady_clock::now(), str ? str : ""});
    fn(label, str);
}

void gtk_widget_set_sensitive(GtkWidget *widget, gboolean sensitive)
{
    gtk_guard::check(__func__);
    static auto fn = gtk_guard::real<void (*)(GtkWidget *, gboolean)>(__func__);
    fn(widget, sensitive);
}

void gtk_widget_queue_draw(GtkWidget *widget)
{
    gtk_guard::check(__func__);
    static auto fn = gtk_guard::real<void (*)(GtkWidget *)>(__func__);
    fn(widget);
}

void gtk_text_buffer_insert(GtkTextBuffer *buffer, GtkTextIter *iter, const gchar *text, gint len)
{
    gtk_guard::check(__func__);
    static auto fn =
        gtk_guard::real<void (*)(GtkTextBuffer *, GtkTextIter *, const gchar *, gint)>(__func__);
    fn(buffer, iter, text, len);
}
const gchar *gtk_entry_get_text(GtkEntry *entry)
{
    gtk_guard::check(__func__);
    static auto fn = gtk_guard::real<const gchar *(*)(GtkEntry *)>(__func__);
    return fn(entry);
}

} // extern "C"

// ---------------------------------------------------------------------------

namespace
{

const char *const connected_text = "模块已连接";
const char *const waiting_texts[] = {"正在等待连接.",   "正在等待连接..",   "正在等待连接...",
                                     "正在等待连接...", "正在等待连接....", "正在等待连接."};
const string keep_alive(TCP_KEEP_ALIVE, TCP_KEEP_ALIVE_LEN);

long ms_since(steady_clock::time_point t0)
{
    return static_cast<long>(duration_cast<milliseconds>(steady_clock::now() - t0).count());
}

string label_text(GtkWidget *label)
{
    return gtk_label_get_text(GTK_LABEL(label));
}

bool sensitive(GtkWidget *w)
{
    return GTK_WIDGET_SENSITIVE(w);
}

bool connected()
{
    return color == 1 && strPCCom.bopened == 1 && label_text(label_net_conn) == connected_text;
}

bool waiting()
{
    return color == 2 && strPCCom.bopened == 0 && tcpsocket == 0;
}

// A module played by the test: connects to the tool, and a thread answers
// every frame that ends in a line feed: "+ok" for set commands and the
// keep-alive, recording every frame in arrival order.
class raw_module
{
  public:
    raw_module() { fd_ = tcp_connect_loopback(TCP_SERVER_PORT, 3000); }
    ~raw_module() { close_link(); }
    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    void answer_frames()
    {
        thread_ = std::thread([this] {
            string pending;
            for (;;) {
                string got = tcp_recv_quiet(fd_, 20);
                if (stop_)
                    return;
                pending += got;
                size_t nl;
                while ((nl = pending.find('\n')) != string::npos) {
                    string frame = pending.substr(0, nl + 1);
                    // The keep-alive's zero byte follows its line feed.
                    if (frame == "AT+W\n" && pending.size() > nl + 1 && pending[nl + 1] == '\0')
                        frame += '\0';
                    else if (frame == "AT+W\n")
                        break; // its zero byte is still on the way
                    pending.erase(0, frame.size());
                    {
                        std::lock_guard<std::mutex> g(lock_);
                        frames_.push_back(frame);
                    }
                    tcp_send_all(fd_, "+ok\r\n\r\n");
                }
            }
        });
    }

    std::vector<string> frames()
    {
        std::lock_guard<std::mutex> g(lock_);
        return frames_;
    }

    void close_link()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex lock_;
    std::vector<string> frames_;
};

// The tool built once as the network program starts: state, the connection
// thread, then the window, in a fresh working directory with data/.
class net_program : public testing::Environment
{
  public:
    void SetUp() override
    {
        gtk_guard::main_thread = g_thread_self();
        cwd_ = new temp_cwd;
        mkdir("data", 0755);
        init_app_state();
        window_state_reset();
        build_startup();
        int argc = 0;
        char **argv = nullptr;
        init_window(&argc, &argv);
        started = 1;
    }
    void TearDown() override { delete cwd_; }

  private:
    temp_cwd *cwd_ = nullptr;
};

testing::Environment *const program = testing::AddGlobalTestEnvironment(new net_program);

class NetConnection : public testing::Test
{
  protected:
    void SetUp() override
    {
        // Every test starts with no module connected.
        ASSERT_TRUE(pump_until(waiting, 5000));
        auto_setting = 0;
    }
    void TearDown() override
    {
        // Leave no module behind for the next test.
        EXPECT_TRUE(pump_until(waiting, 5000)) << "the tool did not notice the module leave";
        EXPECT_EQ(gtk_guard::violations.load(), 0)
            << "GTK called off the main thread: " << gtk_guard::report();
        gtk_guard::reset();
    }
};

} // namespace

// The check itself: a call from another thread is caught.
TEST(GtkThreadCheck, CatchesACallFromAnotherThread)
{
    ASSERT_NE(gtk_guard::main_thread, nullptr);
    GtkWidget *label = gtk_label_new("x");
    gtk_label_set_text(GTK_LABEL(label), "main");
    EXPECT_EQ(gtk_guard::violations.load(), 0);
    std::thread([label] { gtk_label_set_text(GTK_LABEL(label), "other"); }).join();
    EXPECT_EQ(gtk_guard::violations.load(), 1);
    EXPECT_EQ(gtk_guard::report(), "gtk_label_set_text ");
    gtk_guard::reset();
    gtk_widget_destroy(label);
}

// Runs first among the connection tests: the animation from the start.
TEST_F(NetConnection, WaitingAnimatesTheSixTextsOncePerSecond)
{
    EXPECT_EQ(label_text(label_net_conn), waiting_texts[0]);
    EXPECT_EQ(color, 2);
    ASSERT_TRUE(pump_until([] { return gtk_guard::status_texts.size() >= 7; }, 10000));
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(gtk_guard::status_texts[i].text, waiting_texts[i]) << "step " << i + 1;
    EXPECT_EQ(gtk_guard::status_texts[6].text, waiting_texts[0]);
    // The first may have waited for the window; from then on one a second.
    for (size_t i = 2; i < 7; ++i) {
        auto gap = duration_cast<milliseconds>(gtk_guard::status_texts[i].at -
                                               gtk_guard::status_texts[i - 1].at);
        EXPECT_GE(gap.count(), 700) << "step " << i;
        EXPECT_LE(gap.count(), 1500) << "step " << i;
    }
}

TEST_F(NetConnection, AModuleConnectsIsKeptAliveAndIsNoticedWhenItLeaves)
{
    stdout_capture console;
    raw_module m;
    ASSERT_TRUE(m.ok());
    ASSERT_TRUE(pump_until(connected, 3000));
    string out = console.take();
    EXPECT_NE(out.find("Accept OK!\nConnected from 127.0.0.1:"), string::npos) << out;
    EXPECT_TRUE(sensitive(button_setting_read));
    EXPECT_TRUE(sensitive(button_setting_down));
    EXPECT_FALSE(sensitive(button_setting_save));

    // Keep-alives: six bytes each, about a second apart, nothing else.
    std::vector<long> at;
    auto t0 = steady_clock::now();
    string wire;
    for (int i = 0; i < 3; ++i) {
        string got = tcp_recv_n(m.fd(), keep_alive.size(), 2500);
        at.push_back(ms_since(t0));
        wire += got;
        tcp_send_all(m.fd(), "+ok\r\n\r\n");
    }
    EXPECT_EQ(wire, keep_alive + keep_alive + keep_alive);
    for (size_t i = 1; i < at.size(); ++i) {
        EXPECT_GE(at[i] - at[i - 1], 700);
        EXPECT_LE(at[i] - at[i - 1], 1500);
    }

    // As if the pages had been read and edited.
    gtk_widget_set_sensitive(frame_module, TRUE);
    gtk_widget_set_sensitive(button_setting_save, TRUE);
    page_mana_shown = page_comm_shown = page_ap_shown = page_sta_shown = 1;
    cmd_num_mod = cmd_num_comm = cmd_num_ap = cmd_num_sta = 1;

    gtk_guard::status_texts.clear();
    m.close_link();
    auto lost = steady_clock::now();
    ASSERT_TRUE(pump_until(waiting, 5000));
    EXPECT_LE(ms_since(lost), 2500);
    EXPECT_FALSE(sensitive(button_setting_read));
    EXPECT_FALSE(sensitive(button_setting_save));
    EXPECT_FALSE(sensitive(button_setting_down));
    EXPECT_FALSE(sensitive(frame_module));
    EXPECT_EQ(page_mana_shown + page_comm_shown + page_ap_shown + page_sta_shown, 0);
    EXPECT_EQ(cmd_num_mod + cmd_num_comm + cmd_num_ap + cmd_num_sta, 0);
    // The status text stays until the next waiting step, a second later.
    EXPECT_EQ(label_text(label_net_conn), connected_text);
    auto waiting_again = steady_clock::now();
    ASSERT_TRUE(pump_until([] { return !gtk_guard::status_texts.empty(); }, 3000));
    EXPECT_GE(ms_since(waiting_again), 500);
    EXPECT_NE(label_text(label_net_conn), connected_text);

    // And the next module is accepted.
    raw_module again;
    ASSERT_TRUE(again.ok());
    EXPECT_TRUE(pump_until(connected, 3000));
}

// A module that never answers the keep-alive: it still goes out once a
// second (the reply wait is inside the period, and an owed reply is not
// waited for), so a lost link shows as soon as with a quick module.
// The thread's own lines reach the console window through the main loop.
TEST_F(NetConnection, TheThreadsLinesReachTheConsoleWindow)
{
    ASSERT_TRUE(console_capture_start());
    console_window_open(window);
    {
        raw_module m;
        ASSERT_TRUE(m.ok());
        m.answer_frames();
        ASSERT_TRUE(pump_until(connected, 5000));
        EXPECT_TRUE(pump_until(
            [] { return console_text().find("Accept OK!\nConnected from 127.0.0.1") != string::npos; },
            5000))
            << console_text();
    }
    console_capture_stop();
}

TEST_F(NetConnection, KeepAliveKeepsItsPeriodWhenTheModuleDoesNotAnswer)
{
    raw_module m;
    ASSERT_TRUE(m.ok());
    ASSERT_TRUE(pump_until(connected, 3000));
    std::vector<long> at;
    auto t0 = steady_clock::now();
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(tcp_recv_n(m.fd(), keep_alive.size(), 2500), keep_alive) << i;
        at.push_back(ms_since(t0));
    }
    for (size_t i = 1; i < at.size(); ++i) {
        EXPECT_GE(at[i] - at[i - 1], 750) << i;
        EXPECT_LE(at[i] - at[i - 1], 1350) << i;
    }
}

TEST_F(NetConnection, AutoApplySendsTheCommandFileBeforeTheFirstKeepAlive)
{
    write_file("data/auto.txt", "AT+WMODE=STA\r\nAT+TMODE=Agreement\r\nE\r\nAT+WMODE=AP\r\n");
    gtk_entry_set_text(GTK_ENTRY(entry_setting_file), "auto.txt");
    auto_setting = 1;
    stdout_capture console;
    raw_module m;
    ASSERT_TRUE(m.ok());
    m.answer_frames();
    ASSERT_TRUE(pump_until([&] { return m.frames().size() >= 3; }, 5000));
    std::vector<string> frames = m.frames();
    EXPECT_EQ(frames[0], "AT+WMODE=STA\n");
    EXPECT_EQ(frames[1], "AT+TMODE=Agreement\n");
    EXPECT_EQ(frames[2], keep_alive);
    EXPECT_TRUE(connected());
    // With auto-apply on, the command-file buttons are not offered.
    EXPECT_FALSE(sensitive(button_setting_read));
    EXPECT_FALSE(sensitive(button_setting_down));
    string out = console.take();
    EXPECT_NE(out.find("Send Command: AT+WMODE=STA\n"), string::npos) << out;
    EXPECT_LT(out.find("Accept OK!"), out.find("Send Command:")) << out;
    m.close_link();
    auto_setting = 0;
}

TEST_F(NetConnection, RestartSendsAtZShowsWaitingAtOnceAndTheThreadFollows)
{
    raw_module m;
    ASSERT_TRUE(m.ok());
    ASSERT_TRUE(pump_until(connected, 3000));
    gtk_widget_set_sensitive(frame_module, TRUE);

    button_mod_restart_clicked();
    EXPECT_EQ(color, 2);
    EXPECT_EQ(strPCCom.bopened, 0);
    EXPECT_FALSE(sensitive(frame_module));
    EXPECT_EQ(label_text(label_net_conn), waiting_texts[0]);
    // Keep-alives may come first; "AT+Z\n" follows whole, without a reply
    // being waited for.
    string wire = tcp_recv_quiet(m.fd(), 300);
    while (wire.compare(0, keep_alive.size(), keep_alive) == 0)
        wire.erase(0, keep_alive.size());
    EXPECT_EQ(wire, "AT+Z\n");

    // The module restarts: the thread runs the link-lost steps.
    m.close_link();
    EXPECT_TRUE(pump_until([] { return tcpsocket == 0; }, 3000));
}

// ---------------------------------------------------------------------------
// Against the emulator

namespace
{

class NetEmulator : public NetConnection
{
  protected:
    string state_ = "module.state";
    string log_ = "module.log";
    sim_process sim_;

    void start(std::vector<string> extra = {})
    {
        std::vector<string> args = {"--tcp", "127.0.0.1:9999", "--state", state_, "--log", log_};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(sim_.start(args));
        ASSERT_TRUE(pump_until(connected, 5000));
    }
    void TearDown() override
    {
        sim_.stop();
        NetConnection::TearDown();
        unlink(state_.c_str());
        unlink(log_.c_str());
    }
    std::map<string, string> state() { return sim_read_state(state_); }
};

} // namespace

TEST_F(NetEmulator, ReadsAllFourPagesOverTcp)
{
    start({"--set", "WMODE=STA", "--set", "WEBU=boss,secret", "--set",
           "NETP=TCP,Client,8899,10.10.100.254", "--set", "WSSSID=field-net"});
    stdout_capture console;
    auto t0 = steady_clock::now();
    button_setting_read_clicked();
    long took = ms_since(t0);
    string out = console.take();
    EXPECT_NE(out.find("OK!\n"), string::npos) << out;
    EXPECT_TRUE(sensitive(frame_module));
    EXPECT_EQ(strMODMana.wmode, WIFIMODE_STA);
    EXPECT_STREQ(strMODMana.user, "boss");
    EXPECT_STREQ(strMODMana.pswd, "secret");
    EXPECT_EQ(strMODComm.mode, NETMODE_CLIENT);
    EXPECT_EQ(strMODComm.port, 8899);
    EXPECT_EQ(strMODComm.ipadd[3], 254);
    EXPECT_STREQ(strMODSTA.SSID, "field-net");
    EXPECT_EQ(strMODMana.inited + strMODComm.inited + strMODAP.inited + strMODSTA.inited, 4);
    // Nineteen queries over loopback; the exchange must not wait out tries.
    EXPECT_LT(took, 2000);
    RecordProperty("full_read_ms", static_cast<int>(took));
}

TEST_F(NetEmulator, ConfirmsAndAppliesCommandsOverTcp)
{
    start();
    button_setting_read_clicked();
    ASSERT_EQ(state()["WMODE"], "AP");

    // An edit of the management page, confirmed.
    strMODMana_up.wmode = WIFIMODE_STA;
    generate_cmd("WMODE", "wmode");
    stdout_capture console;
    button_mana_confirm_clicked();
    console.take();
    EXPECT_TRUE(sim_wait_state(state_, "WMODE", "STA"));

    // A command file applied by the button.
    write_file("data/apply.txt", "AT+WSSSID=applied-net\r\nAT+TMODE=Agreement\r\nE\r\n");
    gtk_entry_set_text(GTK_ENTRY(entry_setting_file), "apply.txt");
    button_setting_down_clicked();
    EXPECT_TRUE(sim_wait_state(state_, "WSSSID", "applied-net"));
    EXPECT_TRUE(sim_wait_state(state_, "TMODE", "Agreement"));
}

// The module answers slower than the keep-alive waits: its reply to the
// keep-alive is still on the way when the next query goes out.
TEST_F(NetEmulator, AKeepAliveReplyStillOnTheWayDoesNotBecomeAQuerysValue)
{
    start({"--delay", "300", "--set", "WMODE=STA"});
    for (int round = 0; round < 3; ++round) {
        // Right after the emulator logged a keep-alive.
        size_t seen = read_file(log_).size();
        ASSERT_TRUE(pump_until(
            [&] {
                string log = read_file(log_);
                const string line = "AT+W\\n\\x00\n";
                return log.size() > seen && log.size() >= line.size() &&
                       log.compare(log.size() - line.size(), line.size(), line) == 0;
            },
            3000));
        char value[AT_VALUE_MAX + 1] = "unchanged";
        EXPECT_EQ(module_send_cmd_get("AT+WMODE", value), 1) << round;
        EXPECT_STREQ(value, "STA") << round;
    }
}

TEST_F(NetEmulator, AModuleThatDropsTheLinkIsNoticedAndAcceptedAgain)
{
    start({"--retry", "--drop-after", "1"});
    char value[AT_VALUE_MAX + 1] = "";
    EXPECT_EQ(module_send_cmd_get("AT+WMODE", value), 1);
    // The emulator closes the link after that frame, then connects again.
    auto dropped = steady_clock::now();
    ASSERT_TRUE(pump_until([] { return color == 2; }, 4000));
    EXPECT_LE(ms_since(dropped), 2500);
    EXPECT_FALSE(sensitive(button_setting_read));
    EXPECT_FALSE(sensitive(frame_module));
    ASSERT_TRUE(pump_until(connected, 5000));
    EXPECT_EQ(module_send_cmd_get("AT+WMODE", value), 1);
    EXPECT_STREQ(value, "AP");
}

TEST_F(NetEmulator, FactoryResetWaitsForItsAcknowledgementThenShowsWaiting)
{
    start({"--retry", "--set", "WMODE=STA"});
    gtk_widget_set_sensitive(frame_module, TRUE);
    button_mod_reload_clicked();
    EXPECT_EQ(state()["WMODE"], "AP"); // acknowledged, so already reset
    EXPECT_EQ(color, 2);
    EXPECT_EQ(strPCCom.bopened, 0);
    EXPECT_FALSE(sensitive(frame_module));
    EXPECT_EQ(label_text(label_net_conn), waiting_texts[0]);
    // The module comes back after its restart and is accepted again.
    EXPECT_TRUE(pump_until([] { return tcpsocket == 0; }, 3000));
    EXPECT_TRUE(pump_until(connected, 5000));
}
