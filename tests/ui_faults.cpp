// Faults under the serial build's window with its real handlers: the port
// cannot be opened, the module is silent or goes away in the middle of a
// read, a Confirm or an apply, files cannot be written or are not text.
// Each time the tool must finish within the exchange's own time-outs, say
// so on the console, keep its window consistent, and work again afterwards.
#include "button_clicked.h"
#include "command.h"
#include "console.h"
#include "lang.h"
#include "main.h"
#include "module.h"
#include "pccom.h"
#include "pty_pair.h"
#include "sim_process.h"
#include "temp_dir.h"
#include "window.h"
#include "window_probe.h"
#include "window_state.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <cairo.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

using clock_type = std::chrono::steady_clock;

void pump()
{
    while (gtk_events_pending())
        gtk_main_iteration_do(FALSE);
}

bool sensitive(GtkWidget *w)
{
    return gtk_widget_get_sensitive(w) != FALSE;
}

std::string label_of(GtkWidget *button)
{
    const char *t = gtk_button_get_label(GTK_BUTTON(button));
    return t ? t : "";
}

std::string text_of(GtkWidget *entry)
{
    return gtk_entry_get_text(GTK_ENTRY(entry));
}

// The keyboard focus leaves the entry, as GTK delivers it.
void leave(GtkWidget *entry)
{
    GdkEvent *ev = gdk_event_new(GDK_FOCUS_CHANGE);
    ev->focus_change.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(entry)));
    ev->focus_change.send_event = TRUE;
    ev->focus_change.in = FALSE;
    gtk_widget_event(entry, ev);
    gdk_event_free(ev);
}

// Everything the two appearances of the window decide (the lamp, the
// connect button, what is sensitive), in one comparable text.
std::string window_look()
{
    std::string s = "lamp " + std::to_string(color);
    s += strPCCom.bopened ? ", open" : ", closed";
    s += ", button \"" + label_of(button_pccom_open) + "\"";
    int selectors = 0;
    for (GtkWidget *w : {combo_pccom_device, combo_pccom_baud, combo_pccom_data, combo_pccom_parity,
                         combo_pccom_stop})
        selectors += sensitive(w);
    s += ", selectors " + std::to_string(selectors) + "/5";
    s += std::string(", read ") + (sensitive(button_setting_read) ? "on" : "off");
    s += std::string(", save ") + (sensitive(button_setting_save) ? "on" : "off");
    s += std::string(", apply ") + (sensitive(button_setting_down) ? "on" : "off");
    s += std::string(", module ") + (sensitive(frame_module) ? "on" : "off");
    return s;
}

std::string look(int lamp, bool open, const char *label, int selectors, bool read, bool save,
                 bool apply, bool module)
{
    return "lamp " + std::to_string(lamp) + (open ? ", open" : ", closed") + ", button \"" +
           ui_text(label).get() + "\", selectors " + std::to_string(selectors) + "/5" + ", read " +
           (read ? "on" : "off") + ", save " + (save ? "on" : "off") + ", apply " +
           (apply ? "on" : "off") + ", module " + (module ? "on" : "off");
}

// Not connected, as at start-up and after a disconnect.
std::string idle_look()
{
    return look(2, false, text_button_connect, 5, false, false, false, false);
}

// Connected with auto-apply off; `save` and `module` as the work so far left them.
std::string connected_look(bool save, bool module)
{
    return look(1, true, text_button_disconnect, 0, true, save, true, module);
}

// A fresh emulator on the port COM1 points at (a symlink in the test's
// directory, so that a later emulator takes the same port name).
class module_on_com1
{
  public:
    explicit module_on_com1(const std::string &dir)
        : link_(dir + "/COM1"), log_(dir + "/frames.log"), state_(dir + "/state.txt")
    {
        setenv("MODCFG_COM1", link_.c_str(), 1);
    }
    // Replaces the emulator (if any) by one with ARGS.
    bool start(std::vector<std::string> args)
    {
        sim_.reset();
        args.insert(args.end(), {"--link", link_, "--log", log_, "--state", state_});
        sim_ = std::make_unique<sim_process>();
        return sim_->start_pty(args);
    }
    // The module goes away: its pty closes.
    void stop() { sim_.reset(); }
    sim_process &sim() { return *sim_; }
    const std::string &state() const { return state_; }
    // Frames the module received, one line each, escaped as the log has them.
    std::vector<std::string> frames()
    {
        std::vector<std::string> out;
        const std::string text = read_file(log_);
        size_t start = 0;
        for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
            out.push_back(text.substr(start, nl - start));
        return out;
    }
    size_t frame_count() { return frames().size(); }

  private:
    std::string link_, log_, state_;
    std::unique_ptr<sim_process> sim_;
};

// Settings away from the emulator's defaults, shown in the pages once read.
const std::vector<std::string> module_settings = {"--mode", "command",  "--set", "MID=UI-FAULTS",
                                                  "--set",  "WMODE=AP", "--set", "WSSSID=Upstream"};

class UiFaults : public ::testing::Test
{
  protected:
    // A window as start-up builds it, in this test's working directory.
    void SetUp() override
    {
        if (window != nullptr)
            gtk_widget_destroy(window);
        init_app_state();
        window_state_reset();
        g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL |
                                                           G_LOG_LEVEL_ERROR | G_LOG_FATAL_MASK));
        int argc = 0;
        char **argv = nullptr;
        init_window(&argc, &argv);
        pump();
        ASSERT_EQ(window_look(), idle_look());
    }
    void TearDown() override
    {
        module.stop();
        if (strPCCom.bopened)
            click(button_pccom_open); // closes the port
        unsetenv("MODCFG_COM1");
    }

    // Clicks `button` as the operator can: only when it is sensitive. The
    // console output is kept in `out`, the time the handler took in `took_ms`.
    void click(GtkWidget *button)
    {
        ASSERT_TRUE(sensitive(button)) << label_of(button) << " is not sensitive";
        testing::internal::CaptureStdout();
        const auto t0 = clock_type::now();
        gtk_button_clicked(GTK_BUTTON(button));
        took_ms = ms_since(t0);
        pump(); // what the main loop does once the handler has returned
        std::fflush(stdout);
        out = testing::internal::GetCapturedStdout();
    }
    void connect_to(const std::vector<std::string> &args)
    {
        ASSERT_TRUE(module.start(args));
        click(button_pccom_open);
        ASSERT_EQ(window_look(), connected_look(false, false)) << out;
    }
    void read_settings()
    {
        click(button_setting_read);
        ASSERT_NE(out.find("OK!\n"), std::string::npos) << out;
        ASSERT_TRUE(sensitive(frame_module));
    }
    // Three pending commands on the management page, as the operator
    // makes them: STA mode, agreement mode, user name "oper".
    void edit_management_page()
    {
        testing::internal::CaptureStdout();
        g_signal_emit_by_name(radio_wifimode_sta, "pressed");
        g_signal_emit_by_name(radio_workmode_ag, "pressed");
        gtk_entry_set_text(GTK_ENTRY(entry_mod_usr), "oper");
        leave(entry_mod_usr);
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(cmd_num_mod, 3);
        ASSERT_TRUE(sensitive(button_mana_confirm));
    }

    temp_cwd dir;
    module_on_com1 module{dir.path()};
    std::string out;
    long took_ms = 0;
};

const char edited_wmode[] = "AT+WMODE=STA";
const char edited_tmode[] = "AT+TMODE=Agreement";
const char edited_webu[] = "AT+WEBU=oper,admin";

// ---------------------------------------------------------------------------
// The port

// Runs `fn` in a child process that is not root (when we are), with its
// console in `out`; the child's exit status, or -1 when it did not exit.
int as_plain_user(const std::function<int()> &fn, std::string &out)
{
    int pipefd[2];
    if (pipe(pipefd) != 0)
        return -1;
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipefd[0]);
        dup2(pipefd[1], 1);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(200);
        const int status = fn();
        std::fflush(stdout);
        _exit(status);
    }
    close(pipefd[1]);
    out.clear();
    char buf[512];
    for (ssize_t n; (n = read(pipefd[0], buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(n));
    close(pipefd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(UiFaults, PortThatCannotBeOpenedChangesNothing)
{
    // Missing: no device behind the name.
    setenv("MODCFG_COM1", (dir.path() + "/no-such-tty").c_str(), 1);
    click(button_pccom_open);
    EXPECT_NE(out.find("Can not open the serial port\n"), std::string::npos) << out;
    EXPECT_EQ(window_look(), idle_look());
    EXPECT_EQ(strPCCom.fd, 0);
    EXPECT_LT(took_ms, 1000);

    // Already open by another process.
    ASSERT_TRUE(module.start({"--mode", "command"}));
    const std::string tty = module.sim().pty_path();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        const int fd = open(tty.c_str(), O_RDWR | O_NOCTTY);
        const char ok = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? '1' : '0';
        if (write(ready[1], &ok, 1) != 1)
            _exit(1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char held = 0;
    ASSERT_EQ(read(ready[0], &held, 1), 1);
    close(ready[0]);
    ASSERT_EQ(held, '1');
    click(button_pccom_open);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_NE(out.find("Can not open the serial port\n"), std::string::npos) << out;
    EXPECT_EQ(window_look(), idle_look());
    EXPECT_EQ(module.frame_count(), 0u) << "nothing may reach a port held by another";
    EXPECT_LT(took_ms, 1000);

    // Refused for lack of permission (as root only a plain user is refused).
    setenv("MODCFG_COM1", tty.c_str(), 1);
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(tty.c_str(), 0), 0);
    }
    std::string child_out;
    const int status = as_plain_user(
        [] {
            gtk_button_clicked(GTK_BUTTON(button_pccom_open));
            return window_look() == idle_look() && strPCCom.fd == 0 &&
                           (serial_last_errno() == EACCES || serial_last_errno() == EPERM)
                       ? 0
                       : 1;
        },
        child_out);
    EXPECT_EQ(status, 0) << child_out;
    EXPECT_NE(child_out.find("Can not open the serial port\n"), std::string::npos) << child_out;
    EXPECT_NE(child_out.find("No permission to open " + tty), std::string::npos) << child_out;

    // The port is free again: the tool connects.
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(tty.c_str(), 0620), 0);
    }
    click(button_pccom_open);
    EXPECT_EQ(window_look(), connected_look(false, false)) << out;
}

// ---------------------------------------------------------------------------
// The module

TEST_F(UiFaults, SilentModuleFailsTheConnectThenAnEchoingOneIsSilencedAndRead)
{
    ASSERT_TRUE(module.start({"--silent"}));
    click(button_pccom_open);
    EXPECT_NE(out.find("Connect to Module.........Fialed!\n"), std::string::npos) << out;
    // Two probes of 1200 ms, the drain of 450 ms, three "+++" each with a
    // 450 ms read and a 1000 ms pause: 7.2 s.
    EXPECT_LT(took_ms, 7200 + 2500);
    const auto tries = module.frames();
    EXPECT_EQ(std::count(tries.begin(), tries.end(), "+++"), 3) << "the handshake's three tries";
    EXPECT_EQ(window_look(), idle_look());
    EXPECT_EQ(strPCCom.fd, 0) << "the port stays open after a failed connect";

    // Another module on the port, in command mode with echo on.
    std::vector<std::string> args = module_settings;
    args.push_back("--echo");
    connect_to(args);
    EXPECT_LT(took_ms, 1500) << "the first probe should do";
    const auto frames = module.frames();
    // Else every query would wait out its 40 reads behind the echo.
    ASSERT_EQ(std::count(frames.begin(), frames.end(), "AT+E\\n"), 1) << "echo switched off once";
    read_settings();
    EXPECT_EQ(text_of(entry_mod_mid), "UI-FAULTS");
    EXPECT_EQ(text_of(entry_sta_ssid), "Upstream");
    EXPECT_LT(took_ms, 19 * 500 + 2000) << "a query waited for a reply echo kept away";
}

TEST_F(UiFaults, LinkLostDuringAReadThenReconnected)
{
    // Probe, echo test and eight queries are answered, then the pty closes.
    std::vector<std::string> args = module_settings;
    args.insert(args.end(), {"--drop-after", "10"});
    connect_to(args);
    click(button_setting_read);
    EXPECT_EQ(module.sim().wait_exit(3000), 0) << "the emulator did not drop the link";
    // The query under way retries 40 reads that fail at once, 200 ms
    // apart; the rest fail at their write.
    EXPECT_LT(took_ms, 40 * 200 + 10 * 1000 + 3000);
    EXPECT_GE(count_of(out, "uart write failed!\n"), 9u) << out;
    EXPECT_EQ(count_of(out, "No answer from the module to AT+"), 11u) << out;
    EXPECT_EQ(text_of(entry_mod_mid), "UI-FAULTS");
    // Once the read has returned, the main loop sees the port hung up: the
    // window shows no module connected without the operator's disconnect.
    EXPECT_EQ(count_of(out, "The serial port went away"), 1u) << out;
    EXPECT_EQ(window_look(), idle_look());
    EXPECT_EQ(strPCCom.fd, 0);

    connect_to(module_settings);
    gtk_entry_set_text(GTK_ENTRY(entry_sta_ssid), "");
    read_settings();
    EXPECT_EQ(text_of(entry_sta_ssid), "Upstream");
    EXPECT_EQ(window_look(), connected_look(false, true));
}

TEST_F(UiFaults, LinkLostDuringAConfirmThenConfirmedAgainAndSaved)
{
    ASSERT_EQ(mkdir("data", 0755), 0);
    // Probe, echo test, 19 queries, then the first command: the pty closes.
    std::vector<std::string> args = module_settings;
    args.insert(args.end(), {"--drop-after", "22"});
    connect_to(args);
    read_settings();
    edit_management_page();
    click(button_mana_confirm);
    EXPECT_EQ(module.sim().wait_exit(3000), 0) << "the emulator did not drop the link";
    EXPECT_LT(took_ms, 40 * 200 + 3000);
    for (const char *cmd : {edited_wmode, edited_tmode, edited_webu})
        EXPECT_NE(out.find(std::string("Send CMD: ") + cmd + "\n"), std::string::npos) << out;
    EXPECT_EQ(count_of(out, "Not acknowledged by the module: "), 2u) << out;
    EXPECT_NE(out.find("-----------------Finished-----------------\n"), std::string::npos);
    // Recorded as sent, as Confirm always does; the page is no longer edited.
    EXPECT_EQ(read_file("cmd_mana_tmp.txt"),
              std::string(edited_wmode) + "\r\n" + edited_tmode + "\r\n" + edited_webu + "\r\nE");
    EXPECT_EQ(cmd_num_mod, 0);
    EXPECT_FALSE(sensitive(button_mana_confirm));
    // The hung-up port is noticed once the Confirm has returned.
    EXPECT_EQ(count_of(out, "The serial port went away"), 1u) << out;
    EXPECT_EQ(window_look(), idle_look());

    // A module is back: the page is confirmed again, and saved.
    connect_to(module_settings);
    read_settings();
    edit_management_page();
    click(button_mana_confirm);
    EXPECT_EQ(count_of(out, "Not acknowledged"), 0u) << out;
    click(button_setting_save);
    EXPECT_EQ(out, "");
    EXPECT_EQ(read_file("data/set_file.txt"), std::string(edited_wmode) + "\r\n" + edited_tmode +
                                                  "\r\n" + edited_webu + "\r\nE\r\n");
    EXPECT_TRUE(sim_wait_state(module.state(), "WMODE", "STA"));
    EXPECT_TRUE(sim_wait_state(module.state(), "TMODE", "Agreement"));
    EXPECT_TRUE(sim_wait_state(module.state(), "WEBU", "oper,admin"));
}

TEST_F(UiFaults, LinkLostDuringTheAutoApplyThenTheNextConnectionAppliesAll)
{
    ASSERT_EQ(mkdir("data", 0755), 0);
    write_file("data/set_file.txt",
               "AT+WMODE=STA\r\nAT+MAXSK=5\r\nAT+TCPTO=77\r\nAT+WSSSID=Applied\r\nE\r\n");
    click(check_setting_auto);
    ASSERT_EQ(auto_setting, 1);
    // Probe, echo test, the first two lines: the pty closes.
    std::vector<std::string> args = module_settings;
    args.insert(args.end(), {"--drop-after", "4"});
    ASSERT_TRUE(module.start(args));
    click(button_pccom_open);
    EXPECT_EQ(module.sim().wait_exit(3000), 0) << "the emulator did not drop the link";
    EXPECT_LT(took_ms, 40 * 200 + 3000);
    EXPECT_EQ(count_of(out, "Send Command: "), 4u) << out;
    EXPECT_EQ(count_of(out, "Not acknowledged by the module: "), 2u) << out;
    // The hung-up port is noticed once the connect has returned.
    EXPECT_EQ(count_of(out, "The serial port went away"), 1u) << out;
    EXPECT_EQ(window_look(), look(2, false, text_button_connect, 5, false, false, false, false));

    ASSERT_TRUE(module.start(module_settings));
    click(button_pccom_open);
    EXPECT_EQ(count_of(out, "Not acknowledged"), 0u) << out;
    EXPECT_TRUE(sim_wait_state(module.state(), "WMODE", "STA"));
    EXPECT_TRUE(sim_wait_state(module.state(), "MAXSK", "5"));
    EXPECT_TRUE(sim_wait_state(module.state(), "TCPTO", "77"));
    EXPECT_TRUE(sim_wait_state(module.state(), "WSSSID", "Applied"));
}

// The adapter is pulled while the window waits for the operator: the main
// loop notices at once and does what a disconnect does, without "AT+ENTM"
// (there is nothing left to send it to); plugged in again, connect works.
TEST_F(UiFaults, UnpluggedAdapterIsNoticedWithoutAButtonAndConnectWorksAgain)
{
    connect_to(module_settings);
    read_settings();
    edit_management_page();
    const size_t frames = module.frame_count();

    stdout_capture console;
    module.stop(); // the pty closes as a USB adapter's tty hangs up
    EXPECT_TRUE(pump_until([] { return strPCCom.bopened == 0; }, 3000)) << window_look();
    pump();
    EXPECT_EQ(console.take(), "The serial port went away (adapter unplugged?): disconnected\n");
    EXPECT_EQ(window_look(), idle_look());
    EXPECT_EQ(strPCCom.fd, 0);
    EXPECT_EQ(cmd_num_mod + cmd_num_comm + cmd_num_ap + cmd_num_sta, 0);
    EXPECT_EQ(page_mana_shown + page_comm_shown + page_ap_shown + page_sta_shown, 0);
    EXPECT_EQ(module.frame_count(), frames) << "a frame went out after the hang-up";

    connect_to(module_settings);
    read_settings();
    EXPECT_EQ(text_of(entry_mod_mid), "UI-FAULTS");
}

// Every other way the port is closed takes the watch with it: a hung-up
// tty that later takes the old descriptor's number is not taken for the
// port going away.
TEST_F(UiFaults, ClosedPortLeavesNoWatchOnItsDescriptor)
{
    const struct {
        const char *path;
        void (*close_port)();
    } rows[] = {
        {"disconnect", button_pccom_start_clicked},
        {"restart", button_mod_restart_clicked},
        {"factory reset", button_mod_reload_clicked},
    };
    for (const auto &r : rows) {
        connect_to(module_settings);
        const int old_fd = strPCCom.fd;
        testing::internal::CaptureStdout();
        r.close_port();
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(strPCCom.fd, 0) << r.path;
        const std::string closed_look = window_look();

        pty_pair gone;
        ASSERT_TRUE(gone.ok());
        gone.close_master();
        ASSERT_EQ(dup2(gone.slave(), old_fd), old_fd);
        {
            stdout_capture console;
            pump_until([] { return false; }, 200);
            EXPECT_EQ(console.take(), "") << r.path;
        }
        close(old_fd);
        EXPECT_EQ(window_look(), closed_look) << r.path;
    }
}

// A module that stops answering after the read: Confirm waits out the 40
// reply reads of its one command (at most 40 x (700 + 200) ms on the
// serial port) and says the command was not acknowledged.
TEST_F(UiFaults, ModuleHangsBeforeAConfirm)
{
    std::vector<std::string> args = module_settings;
    args.insert(args.end(), {"--silent-after", "21"});
    connect_to(args);
    read_settings();
    testing::internal::CaptureStdout();
    g_signal_emit_by_name(radio_wifimode_sta, "pressed");
    testing::internal::GetCapturedStdout();
    click(button_mana_confirm);
    EXPECT_LT(took_ms, 40 * 900 + 3000);
    EXPECT_NE(out.find(std::string("Not acknowledged by the module: ") + edited_wmode + "\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(window_look(), connected_look(true, true));
    EXPECT_FALSE(sensitive(button_mana_confirm));
    module.stop(); // or "AT+ENTM" would wait as long again
}

// ---------------------------------------------------------------------------
// Files

TEST_F(UiFaults, NoDataDirectory)
{
    connect_to(module_settings);
    read_settings();
    edit_management_page();
    click(button_mana_confirm); // so that save is offered
    ASSERT_TRUE(sensitive(button_setting_save));
    const size_t frames = module.frame_count();

    click(button_setting_save);
    EXPECT_EQ(out, "Can not open file: data/set_file.txt\n");
    EXPECT_FALSE(file_exists("data")) << "the directory is not created";
    click(button_setting_down);
    EXPECT_EQ(out, "Can not open file: data/set_file.txt\n");
    EXPECT_EQ(module.frame_count(), frames) << "nothing may be sent";
    EXPECT_EQ(window_look(), connected_look(true, true));
}

// The working directory cannot be written (as root: by the same tool run
// as a plain user): Confirm sends nothing and keeps the edits, a save keeps
// the old command file byte for byte, set_para.txt keeps its content.
TEST_F(UiFaults, ReadOnlyWorkingDirectory)
{
    ASSERT_EQ(mkdir("data", 0755), 0);
    const std::string old_file = "AT+WMODE=AP\r\nE\r\n";
    write_file("data/set_file.txt", old_file);
    write_file("set_para.txt", "0 set_file.txt");
    connect_to(module_settings);
    read_settings();
    edit_management_page();
    click(button_mana_confirm); // so that save is offered
    const std::string confirmed = read_file("cmd_mana_tmp.txt");
    testing::internal::CaptureStdout();
    g_signal_emit_by_name(radio_wifimode_ap, "pressed");
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(cmd_num_mod, 1);
    const size_t frames = module.frame_count();
    ASSERT_EQ(chmod("data", 0555), 0);
    ASSERT_EQ(chmod(".", 0555), 0);

    std::string child_out;
    const int status = as_plain_user(
        [] {
            int failed = 0;
            gtk_button_clicked(GTK_BUTTON(button_mana_confirm));
            failed |= cmd_num_mod != 1 || !sensitive(button_mana_confirm) ? 1 : 0;
            gtk_button_clicked(GTK_BUTTON(button_setting_save));
            gtk_button_clicked(GTK_BUTTON(check_setting_auto));
            // The flag follows the check box even though it was not saved.
            failed |= auto_setting != 1 || sensitive(button_setting_read) ? 2 : 0;
            return failed;
        },
        child_out);
    chmod(".", 0755);
    chmod("data", 0755);
    EXPECT_EQ(status, 0) << child_out;
    EXPECT_NE(child_out.find("Can not open file: cmd_mana_tmp.txt\n"), std::string::npos)
        << child_out;
    EXPECT_EQ(child_out.find("Send CMD"), std::string::npos) << child_out;
    EXPECT_NE(child_out.find("Can not open file: data/set_file.txt\n"), std::string::npos)
        << child_out;
    EXPECT_NE(child_out.find("Can not write set_para.txt"), std::string::npos) << child_out;
    EXPECT_EQ(module.frame_count(), frames) << "nothing may be sent";
    EXPECT_EQ(read_file("data/set_file.txt"), old_file);
    EXPECT_EQ(read_file("set_para.txt"), "0 set_file.txt");
    EXPECT_EQ(read_file("cmd_mana_tmp.txt"), confirmed);
}

// A picture picked as the command file: its "lines" hold control and zero
// bytes and are not sent (each would wait out 40 reply reads), except the
// signature's "\x89PNG", which holds none: bytes that are not UTF-8 are
// sent as they are, since module texts may be in any character set.
TEST_F(UiFaults, CommandFileThatIsNotText)
{
    ASSERT_EQ(mkdir("data", 0755), 0);
    cairo_surface_t *s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 40, 30);
    cairo_t *cr = cairo_create(s);
    cairo_set_source_rgb(cr, 0.2, 0.7, 0.4);
    cairo_paint(cr);
    cairo_destroy(cr);
    ASSERT_EQ(cairo_surface_write_to_png(s, "data/set_file.txt"), CAIRO_STATUS_SUCCESS);
    cairo_surface_destroy(s);
    ASSERT_EQ(read_file("data/set_file.txt").compare(0, 6, "\x89PNG\r\n"), 0);

    connect_to(module_settings);
    const size_t frames = module.frame_count();
    click(button_setting_down);
    EXPECT_LT(took_ms, 40 * 900 + 3000);
    EXPECT_EQ(module.frame_count(), frames + 1) << "a line of the picture was sent";
    EXPECT_EQ(count_of(out, "Send Command: "), 1u) << out;
    EXPECT_NE(out.find("Send Command: \x89PNG\nNot acknowledged by the module: \x89PNG\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Not sent, line 2 is not text\n"), std::string::npos) << out;
    EXPECT_NE(out.find("-----------------Finished-----------------\n"), std::string::npos);
    EXPECT_EQ(window_look(), connected_look(false, false));
}

// set_para.txt of random bytes: the window is built, shows a valid name,
// and the name it writes back reads again as shown.
TEST_F(UiFaults, SettingsFileOfRandomBytes)
{
    unsigned seed = 2024;
    for (int round = 0; round < 8; round++) {
        std::string bytes;
        for (int i = 0; i < 4 + round * 7; i++) {
            seed = seed * 1103515245u + 12345u;
            bytes += static_cast<char>((seed >> 16) & 0xff);
        }
        if (round == 0)
            bytes[0] = '1';
        write_file("set_para.txt", bytes);
        init_app_state();
        window_state_reset();
        gtk_widget_destroy(window);
        int argc = 0;
        char **argv = nullptr;
        init_window(&argc, &argv);
        pump();
        const bool on = bytes[0] == '1';
        EXPECT_EQ(auto_setting, on ? 1 : 0) << round;
        EXPECT_EQ(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check_setting_auto)), on) << round;
        const std::string shown = text_of(entry_setting_file);
        EXPECT_TRUE(g_utf8_validate(shown.c_str(), -1, nullptr)) << round;
        EXPECT_LE(g_utf8_strlen(shown.c_str(), -1), 15) << round;

        // Toggling the check box writes the shown name, which reads back.
        click(check_setting_auto);
        EXPECT_EQ(read_file("set_para.txt"), (on ? "0 " : "1 ") + shown) << round;
        // The file holds 29 bytes of name: a longer one comes back cut to
        // whole characters.
        char fits[sizeof setting_file];
        text_set(fits, shown.c_str());
        init_setting_para();
        EXPECT_EQ(std::string(setting_file), shown.empty() ? "set_file.txt" : fits) << round;
    }
}

} // namespace
