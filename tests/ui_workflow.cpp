// The configuration workflows through the real window and its handlers,
// against emulated modules on ptys: connect and disconnect, restart and
// reset, Confirm and Cancel with their temporary files, the command-file
// controls, and the whole road from one module to the next.
#include "button_clicked.h"
#include "command.h"
#include "lang.h"
#include "main.h"
#include "module.h"
#include "page_driver.h"
#include "pccom.h"
#include "sim_process.h"
#include "temp_dir.h"
#include "window.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

using clock_type = std::chrono::steady_clock;

// One emulated module with its frame log and state file in `dir`.
struct module_sim {
    sim_process proc;
    std::string state, log;

    void start(const std::string &dir, const std::string &name, std::vector<std::string> args)
    {
        state = dir + "/" + name + ".state";
        log = dir + "/" + name + ".log";
        args.insert(args.end(), {"--state", state, "--log", log});
        ASSERT_TRUE(proc.start_pty(args));
    }
    // Frames received so far, as the log writes them ("AT+E\n" escaped).
    std::vector<std::string> frames() const
    {
        std::vector<std::string> out;
        std::ifstream in(log);
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }
    std::map<std::string, std::string> settings() const { return sim_read_state(state); }
};

int count_of(const std::vector<std::string> &frames, const std::string &frame)
{
    int n = 0;
    for (const std::string &f : frames)
        n += f == frame;
    return n;
}

// Presses a button as an operator can: only when it and its frames are
// sensitive.
void click(GtkWidget *button)
{
    ASSERT_TRUE(gtk_widget_is_sensitive(button)) << "pressed an insensitive button";
    gtk_button_clicked(GTK_BUTTON(button));
}

std::string label_of(GtkWidget *button)
{
    const char *t = gtk_button_get_label(GTK_BUTTON(button));
    return t ? t : "";
}

std::vector<GtkWidget *> pc_selectors()
{
    return {combo_pccom_device, combo_pccom_baud, combo_pccom_data, combo_pccom_parity,
            combo_pccom_stop};
}

// The button labelled `text` under `root`; the restart and reset buttons
// have no globals of their own.
GtkWidget *button_labelled(GtkWidget *root, const char *text)
{
    if (GTK_IS_BUTTON(root) && label_of(root) == text)
        return root;
    if (!GTK_IS_CONTAINER(root))
        return nullptr;
    GtkWidget *found = nullptr;
    GList *children = gtk_container_get_children(GTK_CONTAINER(root));
    for (GList *l = children; l && !found; l = l->next)
        found = button_labelled(GTK_WIDGET(l->data), text);
    g_list_free(children);
    return found;
}

std::string combo_active_text(GtkWidget *combo)
{
    gchar *t = gtk_combo_box_get_active_text(GTK_COMBO_BOX(combo));
    std::string out = t ? t : "";
    g_free(t);
    return out;
}

void show_page(int page)
{
    gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_module), page);
}

class Workflow : public ::testing::Test
{
  protected:
    static void SetUpTestSuite() { ui_records::build_window_once(); }

    void SetUp() override
    {
        ASSERT_EQ(mkdir("data", 0755), 0);
        reset_window();
    }

    static void reset_window()
    {
        init_PC_structs();
        // The window as start-up leaves it with auto-apply off.
        if (gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check_setting_auto))) {
            auto_setting = 1;
            gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_setting_auto), FALSE);
        }
        auto_setting = 0;
        set_entry(entry_setting_file, "set_file.txt");
        for (GtkWidget *b : {button_setting_read, button_setting_save, button_setting_down})
            gtk_widget_set_sensitive(b, FALSE);
        gtk_widget_set_sensitive(frame_module, FALSE);
        for (GtkWidget *b :
             {button_mana_confirm, button_comm_confirm, button_ap_confirm, button_sta_confirm})
            gtk_widget_set_sensitive(b, FALSE);
        cmd_num_mod = cmd_num_comm = cmd_num_ap = cmd_num_sta = 0;
        started = 0;
        show_page(0);
        started = 1;
    }

    void TearDown() override
    {
        if (strPCCom.bopened)
            gtk_button_clicked(GTK_BUTTON(button_pccom_open));
        started = 0;
        for (const char *v : {"MODCFG_COM1", "MODCFG_COM2", "MODCFG_COM3"})
            unsetenv(v);
    }

    // Selects `port` in the port combo, points it at the module and presses
    // the connect button.
    void connect_to(const module_sim &m, const std::string &port = "COM1")
    {
        setenv(("MODCFG_" + port).c_str(), m.proc.pty_path().c_str(), 1);
        choose(combo_pccom_device, port);
        click(button_pccom_open);
    }

    void expect_not_connected()
    {
        EXPECT_EQ(strPCCom.bopened, 0);
        EXPECT_EQ(strPCCom.fd, 0);
        EXPECT_EQ(color, 2);
        EXPECT_EQ(label_of(button_pccom_open), text_button_connect);
        for (GtkWidget *w : pc_selectors())
            EXPECT_TRUE(sensitive(w));
        EXPECT_FALSE(sensitive(frame_module));
    }

    void expect_connected()
    {
        EXPECT_EQ(strPCCom.bopened, 1);
        EXPECT_NE(strPCCom.fd, 0);
        EXPECT_EQ(color, 1);
        EXPECT_EQ(label_of(button_pccom_open), text_button_disconnect);
        for (GtkWidget *w : pc_selectors())
            EXPECT_FALSE(sensitive(w));
    }

    temp_cwd dir_;
};

// ---------------------------------------------------------------------------
// Connect and disconnect.

TEST_F(Workflow, ConnectSilencesAnEchoingModuleOnceAndDisconnectClearsThePages)
{
    struct row {
        bool echo;
        int echo_off_frames;
    };
    for (const row r : {row{true, 1}, row{false, 0}}) {
        SCOPED_TRACE(r.echo ? "echo on" : "echo off");
        module_sim m;
        std::vector<std::string> args = {"--mode", "command"};
        if (r.echo)
            args.push_back("--echo");
        m.start(dir_.path(), r.echo ? "echo" : "plain", args);

        std::string out = console_of([&] { connect_to(m); });
        EXPECT_NE(out.find("OK!"), std::string::npos) << out;
        expect_connected();
        // An echoing module left on would make every later query fail slowly.
        ASSERT_EQ(count_of(m.frames(), "AT+E\\n"), r.echo_off_frames);
        EXPECT_TRUE(sensitive(button_setting_read));
        EXPECT_TRUE(sensitive(button_setting_down));
        EXPECT_FALSE(sensitive(button_setting_save)); // only a Confirm offers it
        EXPECT_EQ(strMODMana.inited + strMODComm.inited + strMODAP.inited + strMODSTA.inited, 0);

        // Something read and pending, then disconnect.
        click(button_setting_read);
        show_page(3);
        type_and_leave(entry_sta_ssid, "Pending");
        ASSERT_EQ(cmd_num_sta, 1);
        const size_t before = m.frames().size();
        click(button_pccom_open);
        const auto frames = m.frames();
        ASSERT_EQ(frames.size(), before + 1);
        EXPECT_EQ(frames.back(), "AT+ENTM\\n");
        expect_not_connected();
        for (GtkWidget *b : {button_setting_read, button_setting_save, button_setting_down})
            EXPECT_FALSE(sensitive(b));
        EXPECT_EQ(page_mana_shown + page_comm_shown + page_ap_shown + page_sta_shown, 0);
        EXPECT_EQ(cmd_num_mod + cmd_num_comm + cmd_num_ap + cmd_num_sta, 0);
        EXPECT_EQ(m.settings().at("WSSSID"), "QX-B27_STA"); // never confirmed
        reset_window();
    }
}

TEST_F(Workflow, ModuleThatNeverAnswersLeavesTheWindowNotConnected)
{
    module_sim m;
    m.start(dir_.path(), "silent", {"--silent"});
    const auto t0 = clock_type::now();
    std::string out = console_of([&] { connect_to(m); });
    const auto took = clock_type::now() - t0;
    EXPECT_NE(out.find("Connect to Module......"), std::string::npos) << out;
    EXPECT_NE(out.find("Fialed!\n"), std::string::npos) << out;
    expect_not_connected();
    EXPECT_FALSE(sensitive(button_setting_read));
    EXPECT_FALSE(sensitive(button_setting_down));
    // Two probes, the drain and three "+++" rounds: about 7 s, never the
    // minutes of a set command's tries.
    EXPECT_LT(took, std::chrono::seconds(20));
    EXPECT_EQ(count_of(m.frames(), "AT+E\\n"), 0);

    // The port was given back: its exclusive lock is free again.
    const int fd = open(m.proc.pty_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    close(fd);
}

TEST_F(Workflow, PortThatDoesNotOpenChangesNothing)
{
    setenv("MODCFG_COM1", (dir_.path() + "/no-such-tty").c_str(), 1);
    choose(combo_pccom_device, "COM1");
    std::string out = console_of([] { click(button_pccom_open); });
    EXPECT_NE(out.find("Can not open the serial port"), std::string::npos) << out;
    EXPECT_EQ(out.find("Connect to Module"), std::string::npos) << out;
    expect_not_connected();
}

// ---------------------------------------------------------------------------
// Restart and factory reset.

TEST_F(Workflow, RestartWritesOnlyTheRestartFrameAndEndsTheLinkWithoutWaiting)
{
    module_sim m;
    // Every reply a second late: a restart that waited for its "+ok" would
    // take that second.
    m.start(dir_.path(), "slow", {"--mode", "command", "--delay", "1000"});
    connect_to(m);
    ASSERT_EQ(strPCCom.bopened, 1);
    // As after a read (which would take 19 slow replies here).
    gtk_widget_set_sensitive(frame_module, TRUE);
    page_mana_shown = 1;
    type_and_leave(entry_mod_usr, "keepme");
    ASSERT_EQ(cmd_num_mod, 1);
    const size_t before = m.frames().size();

    GtkWidget *restart = button_labelled(frame_module, text_button_reboot);
    ASSERT_NE(restart, nullptr);
    const auto t0 = clock_type::now();
    click(restart);
    const auto took = clock_type::now() - t0;
    EXPECT_LT(took, std::chrono::milliseconds(500));

    // The frame arrives whole and alone.
    const auto deadline = clock_type::now() + std::chrono::seconds(5);
    while (m.frames().size() == before && clock_type::now() < deadline)
        g_usleep(10000);
    const auto frames = m.frames();
    ASSERT_EQ(frames.size(), before + 1);
    EXPECT_EQ(frames.back(), "AT+Z\\n");
    expect_not_connected();
    // Not a disconnect: the command-file buttons, page flags and pending
    // commands stay.
    EXPECT_TRUE(sensitive(button_setting_read));
    EXPECT_TRUE(sensitive(button_setting_down));
    EXPECT_EQ(cmd_num_mod, 1);
    EXPECT_EQ(page_mana_shown, 1);

    // With no module the still offered read and apply send nothing.
    write_file("data/set_file.txt", "AT+WMODE=STA\r\nE\r\n");
    std::string out = console_of([] {
        click(button_setting_read);
        click(button_setting_down);
    });
    EXPECT_EQ(out, "No module connected\nNo module connected\n");
    EXPECT_EQ(m.frames().size(), before + 1);
}

TEST_F(Workflow, FactoryResetIsAcknowledgedThenEndsTheLink)
{
    module_sim m;
    m.start(dir_.path(), "reset", {"--mode", "command", "--set", "WSSSID=Custom"});
    connect_to(m);
    ASSERT_EQ(strPCCom.bopened, 1);
    click(button_setting_read);
    GtkWidget *reset = button_labelled(frame_module, text_button_reload);
    ASSERT_NE(reset, nullptr);
    click(reset);
    const auto frames = m.frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back(), "AT+RELD\\n");
    EXPECT_EQ(count_of(frames, "AT+ENTM\\n"), 0);
    EXPECT_TRUE(sim_wait_state(m.state, "WSSSID", "QX-B27_STA")); // factory value
    expect_not_connected();
    EXPECT_TRUE(sensitive(button_setting_read));
}

// ---------------------------------------------------------------------------
// Confirm and Cancel.

class WorkflowPages : public Workflow
{
  protected:
    void SetUp() override
    {
        Workflow::SetUp();
        m_.start(dir_.path(), "module", {"--mode", "command"});
        connect_to(m_);
        ASSERT_EQ(strPCCom.bopened, 1);
        click(button_setting_read);
        ASSERT_TRUE(sensitive(frame_module));
    }
    module_sim m_;
};

TEST_F(WorkflowPages, ConfirmSendsThePendingCommandsAndRecordsThemWithCrLfThenE)
{
    show_page(2);
    ASSERT_EQ(entry_of(entry_ap_ssid), "QX-B27_AP"); // what the module reported
    type_and_leave(entry_ap_ssid, "Shop AP");
    choose(combo_ap_channel, "Channel 6");
    choose(combo_ap_auth, "WPA2PSK");
    choose(combo_ap_encry_wpapsk, "AES");
    type_and_leave(entry_ap_key, "s3cretkey");
    ASSERT_TRUE(sensitive(button_ap_confirm));
    const size_t before = m_.frames().size();

    std::string out = console_of([] { click(button_ap_confirm); });
    EXPECT_EQ(read_file("cmd_ap_tmp.txt"),
              "AT+WAP=11BGN,Shop AP,CH6\r\nAT+WAKEY=WPA2PSK,AES,s3cretkey\r\nE");
    EXPECT_NE(out.find("------------Start to send Command------------\n"
                       "Send CMD: AT+WAP=11BGN,Shop AP,CH6\n"
                       "Send CMD: AT+WAKEY=WPA2PSK,AES,s3cretkey\n"
                       "-----------------Finished-----------------\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("Not acknowledged"), std::string::npos) << out;
    EXPECT_EQ(m_.frames().size(), before + 2);
    const auto set = m_.settings();
    EXPECT_EQ(set.at("WAP"), "11BGN,Shop AP,CH6");
    EXPECT_EQ(set.at("WAKEY"), "WPA2PSK,AES,s3cretkey");

    // The edits are now the module's values, and the page says so.
    EXPECT_STREQ(strMODAP.SSID, "Shop AP");
    EXPECT_EQ(strMODAP.channel, APCH_CH6);
    EXPECT_STREQ(strMODAP.password, "s3cretkey");
    EXPECT_EQ(strMODAP.dirty, 0);
    EXPECT_EQ(cmd_num_ap, 0);
    EXPECT_EQ(entry_of(entry_ap_ssid), "Shop AP");
    EXPECT_FALSE(sensitive(button_ap_confirm));
    EXPECT_TRUE(sensitive(button_setting_save));
}

TEST_F(WorkflowPages, EmptyConfirmWritesOnlyEAndASecondConfirmReplacesOnlyItsFile)
{
    write_file("cmd_ap_tmp.txt", "AT+WAP=11B,Old,CH1\r\nE");
    const size_t before = m_.frames().size();

    // Nothing pending (the button is insensitive, so the handler is run
    // directly): still a file, a copy and the save button.
    text_set(strMODMana_up.user, "direct");
    button_mana_confirm_clicked();
    EXPECT_EQ(read_file("cmd_mana_tmp.txt"), "E");
    EXPECT_STREQ(strMODMana.user, "direct");
    EXPECT_TRUE(sensitive(button_setting_save));
    EXPECT_EQ(m_.frames().size(), before);

    show_page(1);
    type_and_leave(entry_modnet_tcpto, "120");
    click(button_comm_confirm);
    EXPECT_EQ(read_file("cmd_comm_tmp.txt"), "AT+TCPTO=120\r\nE");
    type_and_leave(entry_modnet_maxsk, "5");
    click(button_comm_confirm);
    EXPECT_EQ(read_file("cmd_comm_tmp.txt"), "AT+MAXSK=5\r\nE");
    EXPECT_EQ(read_file("cmd_mana_tmp.txt"), "E");
    EXPECT_EQ(read_file("cmd_ap_tmp.txt"), "AT+WAP=11B,Old,CH1\r\nE");
    EXPECT_EQ(m_.settings().at("TCPTO"), "120");
    EXPECT_EQ(m_.settings().at("MAXSK"), "5");
}

TEST_F(WorkflowPages, ConfirmThatCannotWriteItsFileKeepsThePageAsItWas)
{
    ASSERT_EQ(mkdir("cmd_sta_tmp.txt.new", 0755), 0); // the new file cannot be made
    show_page(3);
    type_and_leave(entry_sta_ssid, "Blocked");
    const size_t before = m_.frames().size();
    std::string out = console_of([] { click(button_sta_confirm); });
    EXPECT_NE(out.find("Can not open file: cmd_sta_tmp.txt\n"), std::string::npos) << out;
    EXPECT_EQ(m_.frames().size(), before);
    EXPECT_EQ(cmd_num_sta, 1);
    EXPECT_EQ(strMODSTA.dirty, 1);
    EXPECT_STREQ(strMODSTA.SSID, "QX-B27_STA");
    EXPECT_TRUE(sensitive(button_sta_confirm));
    EXPECT_FALSE(sensitive(button_setting_save));
}

TEST_F(WorkflowPages, CancelShowsTheModuleValuesAgainAndSendsNothing)
{
    show_page(3);
    const _MOD_STA_STRUCT module = strMODSTA;
    type_and_leave(entry_sta_ssid, "Elsewhere");
    choose(combo_sta_auth, "WPA2PSK");
    press(radio_wan_static);
    type_and_leave(entry_wan_ip, "172.16.3.20");
    ASSERT_GE(cmd_num_sta, 2);
    const size_t before = m_.frames().size();

    GtkWidget *cancel = button_labelled(gtk_notebook_get_nth_page(GTK_NOTEBOOK(notebook_module), 3),
                                        text_button_cancel);
    ASSERT_NE(cancel, nullptr);
    click(cancel);
    EXPECT_EQ(m_.frames().size(), before);
    EXPECT_FALSE(file_exists("cmd_sta_tmp.txt"));
    EXPECT_EQ(entry_of(entry_sta_ssid), "QX-B27_STA");
    EXPECT_EQ(combo_active_text(combo_sta_auth), "OPEN");
    EXPECT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(radio_wan_dhcp)));
    EXPECT_STREQ(strMODSTA_up.SSID, module.SSID);
    EXPECT_EQ(strMODSTA_up.enc_auth, module.enc_auth);
    EXPECT_EQ(strMODSTA_up.bDHCP, module.bDHCP);
    EXPECT_EQ(cmd_num_sta, 0);
    EXPECT_EQ(strMODSTA.dirty, 0);
    EXPECT_FALSE(sensitive(button_sta_confirm));

    // The table is empty: the next edit is the only pending command.
    std::string out = console_of([] { type_and_leave(entry_sta_ssid, "Next"); });
    EXPECT_EQ(last_listing(out), (lines{"AT+WSSSID=Next"}));
}

// ---------------------------------------------------------------------------
// The command-file controls.

TEST_F(Workflow, AutoCheckBoxRecordsTheFlagAndTheNameAndSwitchesTheControls)
{
    const std::vector<GtkWidget *> controls = {button_setting_read, button_setting_save,
                                               button_setting_down, entry_setting_file};
    set_entry(entry_setting_file, "a-long-name.cf"); // longer than 12 bytes
    click(check_setting_auto);
    EXPECT_EQ(auto_setting, 1);
    EXPECT_EQ(read_file("set_para.txt"), "1 a-long-name.cf");
    for (GtkWidget *w : controls)
        EXPECT_FALSE(sensitive(w));

    click(check_setting_auto);
    EXPECT_EQ(auto_setting, 0);
    EXPECT_EQ(read_file("set_para.txt"), "0 a-long-name.cf");
    // Offered even though no module is connected.
    for (GtkWidget *w : controls)
        EXPECT_TRUE(sensitive(w));
}

TEST_F(WorkflowPages, SaveAndApplyUseTheNameInTheEntryWhateverItsLength)
{
    const std::string name = "fifteen-chars.x";
    set_entry(entry_setting_file, name);
    show_page(2);
    type_and_leave(entry_ap_ssid, "Saved AP");
    click(button_ap_confirm);
    write_file("cmd_mana_tmp.txt", "AT+WMODE=STA\r\nE"); // an earlier Confirm
    click(button_setting_save);
    EXPECT_EQ(read_file("data/" + name), "AT+WMODE=STA\r\nAT+WAP=11BGN,Saved AP,Auto\r\nE\r\n");

    // Apply: LF or CR LF, up to the terminator; the module takes each line.
    write_file("data/" + name, "AT+WMODE=STA\r\nAT+TMODE=Agreement\nEND\r\nAT+MAXSK=3\r\n");
    const size_t before = m_.frames().size();
    std::string out = console_of([] { click(button_setting_down); });
    EXPECT_NE(out.find("Send Command: AT+WMODE=STA\nSend Command: AT+TMODE=Agreement\n-----"),
              std::string::npos)
        << out;
    const auto frames = m_.frames();
    ASSERT_EQ(frames.size(), before + 2);
    EXPECT_EQ(frames[before], "AT+WMODE=STA\\n"); // sent without the CR
    EXPECT_EQ(m_.settings().at("TMODE"), "Agreement");
    EXPECT_EQ(m_.settings().at("MAXSK"), "32");
    // Applying changes neither the records nor the page.
    EXPECT_EQ(strMODMana.wmode, WIFIMODE_AP);
    EXPECT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(radio_wifimode_ap)));
}

// ---------------------------------------------------------------------------
// The whole road: configure one module through the pages, keep the commands
// as a command file, configure a second module with it by the button and a
// third on connection alone.

TEST_F(Workflow, RoadFromOneModuleToTheNext)
{
    module_sim first, second, third;
    first.start(dir_.path(), "first", {}); // transparent, as after power-up
    second.start(dir_.path(), "second", {});
    third.start(dir_.path(), "third", {"--echo"});
    set_entry(entry_setting_file, "road.txt");

    connect_to(first, "COM1");
    expect_connected();
    std::string out = console_of([] { click(button_setting_read); });
    EXPECT_NE(out.find("Read the Module Setting............OK!\n"), std::string::npos) << out;
    ASSERT_TRUE(sensitive(frame_module));
    ASSERT_EQ(entry_of(entry_sta_ssid), "QX-B27_STA");

    show_page(0);
    press(radio_wifimode_sta);
    press(radio_workmode_ag);
    type_and_leave(entry_mod_usr, "oper");
    click(button_mana_confirm);

    show_page(1);
    choose(combo_modcom_baud, "115200");
    choose(combo_modcom_parity, "Even");
    choose(combo_modnet_mode, "Client");
    type_and_leave(entry_modnet_port, "9000");
    type_and_leave(entry_modnet_ip, "192.168.5.20");
    type_and_leave(entry_modnet_tcpto, "120");
    click(button_comm_confirm);

    show_page(2);
    type_and_leave(entry_ap_ssid, "Road AP");
    choose(combo_ap_channel, "Channel 6");
    choose(combo_ap_auth, "WPA2PSK");
    choose(combo_ap_encry_wpapsk, "AES");
    type_and_leave(entry_ap_key, "roadkey123");
    type_and_leave(entry_lan_ip, "10.10.100.1");
    click(button_ap_confirm);

    show_page(3);
    type_and_leave(entry_sta_ssid, "Road Net");
    press(radio_wan_static);
    type_and_leave(entry_wan_ip, "172.16.3.20");
    type_and_leave(entry_wan_mask, "255.255.0.0");
    type_and_leave(entry_wan_gateway, "172.16.0.1");
    click(button_sta_confirm);

    const std::map<std::string, std::string> changed = {
        {"WMODE", "STA"},
        {"TMODE", "Agreement"},
        {"WEBU", "oper,admin"},
        {"UART", "115200,8,1,Even,NFC"},
        {"NETP", "TCP,Client,9000,192.168.5.20"},
        {"TCPTO", "120"},
        {"WAP", "11BGN,Road AP,CH6"},
        {"WAKEY", "WPA2PSK,AES,roadkey123"},
        {"LANN", "10.10.100.1,255.255.255.0"},
        {"WSSSID", "Road Net"},
        {"WANN", "Static,172.16.3.20,255.255.0.0,172.16.0.1"},
    };
    auto expect_configured = [&](const module_sim &m) {
        const auto got = m.settings();
        for (const auto &[name, value] : changed)
            EXPECT_EQ(got.count(name) ? got.at(name) : "<missing>", value) << name;
    };
    expect_configured(first);

    click(button_setting_save);
    EXPECT_EQ(read_file("data/road.txt"),
              "AT+WMODE=STA\r\nAT+TMODE=Agreement\r\nAT+WEBU=oper,admin\r\n"
              "AT+UART=115200,8,1,Even,NFC\r\nAT+NETP=TCP,Client,9000,192.168.5.20\r\n"
              "AT+TCPTO=120\r\n"
              "AT+WAP=11BGN,Road AP,CH6\r\nAT+WAKEY=WPA2PSK,AES,roadkey123\r\n"
              "AT+LANN=10.10.100.1,255.255.255.0\r\n"
              "AT+WSSSID=Road Net\r\nAT+WANN=Static,172.16.3.20,255.255.0.0,172.16.0.1\r\n"
              "E\r\n");
    click(button_pccom_open);
    expect_not_connected();
    EXPECT_EQ(first.frames().back(), "AT+ENTM\\n");

    // The second module, on COM2, by the button.
    for (const auto &[name, value] : changed)
        ASSERT_NE(second.settings().at(name), value) << name << " already configured";
    connect_to(second, "COM2");
    expect_connected();
    click(button_setting_down);
    expect_configured(second);
    click(button_pccom_open);

    // The third, echoing, on COM3, on connection alone.
    click(check_setting_auto);
    EXPECT_EQ(read_file("set_para.txt"), "1 road.txt");
    connect_to(third, "COM3");
    expect_connected();
    expect_configured(third);
    EXPECT_EQ(count_of(third.frames(), "AT+E\\n"), 1);
    EXPECT_FALSE(sensitive(button_setting_read));
    EXPECT_FALSE(sensitive(button_setting_down));
    EXPECT_FALSE(sensitive(frame_module));
}

} // namespace
