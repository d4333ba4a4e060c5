// Dispatch on the real window: every key a widget is connected with reaches
// one handler, keys compare whole, a key in no table does nothing, and a
// page is read from the module the first time it is shown per connection.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "callback.h"
#include "combo_selected.h"
#include "command.h"
#include "entry_out.h"
#include "main.h"
#include "module.h"
#include "module_at.h"
#include "pccom.h"
#include "radio_changed.h"
#include "sim_process.h"
#include "temp_dir.h"
#include "ui_records.h"
#include "window.h"
#include "window_pages.h"
#include "window_update.h"

namespace
{

using ui_records::build_window_once;
using ui_records::expect_same;
using ui_records::snapshot;

std::string text_of(GtkWidget *entry)
{
    return gtk_entry_get_text(GTK_ENTRY(entry));
}

// The module's settings in the records and on the pages, every page flag
// 1, no command pending, nothing edited.
void pages_showing_module()
{
    ui_records::load_module_state();
    update_mana_widgets();
    update_comm_widgets();
    update_ap_widgets();
    update_sta_widgets();
    for (GtkWidget *b :
         {button_mana_confirm, button_comm_confirm, button_ap_confirm, button_sta_confirm})
        gtk_widget_set_sensitive(b, FALSE);
}

// ---------------------------------------------------------------------------
// The tables against the keys the window really connects.

std::vector<std::pair<std::string, std::string>> seen_keys;

bool record_key(const char *dispatcher, const char *key)
{
    seen_keys.emplace_back(dispatcher, key ? key : "(null)");
    return true; // no handler runs
}

// Sends every widget below `w` the signal its dispatcher is connected to.
void signal_every_widget(GtkWidget *w)
{
    if (GTK_IS_COMBO_BOX(w)) {
        g_signal_emit_by_name(w, "changed");
    } else if (GTK_IS_RADIO_BUTTON(w)) {
        g_signal_emit_by_name(w, "pressed");
    } else if (GTK_IS_BUTTON(w)) {
        g_signal_emit_by_name(w, "clicked");
    } else if (GTK_IS_ENTRY(w)) {
        gtk_widget_realize(w);
        GdkEvent *ev = gdk_event_new(GDK_FOCUS_CHANGE);
        ev->focus_change.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(w)));
        ev->focus_change.send_event = TRUE;
        ev->focus_change.in = FALSE;
        gtk_widget_event(w, ev);
        gdk_event_free(ev);
    } else if (GTK_IS_CONTAINER(w)) {
        GList *children = gtk_container_get_children(GTK_CONTAINER(w));
        for (GList *l = children; l != nullptr; l = l->next)
            signal_every_widget(GTK_WIDGET(l->data));
        g_list_free(children);
    }
}

TEST(DispatchTables, EveryConnectedKeyReachesItsOwnHandler)
{
    build_window_once();
    seen_keys.clear();
    dispatch_tap = record_key;
    signal_every_widget(window);
    dispatch_tap = nullptr;

    std::map<std::string, std::set<std::string>> keys;
    for (const auto &k : seen_keys)
        keys[k.first].insert(k.second);

    // Each row is reached by some widget, and no widget's key misses its
    // table; only the display-only MAC entry has no handler.
    const std::map<std::string, size_t> rows = {
        {"combo", 19}, {"button", 15}, {"radio", 6}, {"entry", 18}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.first);
        std::set<dispatch_handler> handlers;
        size_t with_handler = 0;
        for (const std::string &key : keys[r.first]) {
            dispatch_handler h = dispatch_find(r.first.c_str(), key.c_str());
            if (key == "sta_mac") {
                EXPECT_EQ(h, nullptr);
                continue;
            }
            EXPECT_NE(h, nullptr) << "no handler for \"" << key << "\"";
            if (h != nullptr) {
                with_handler++;
                // Two keys on one handler would be a row copied but not edited.
                EXPECT_TRUE(handlers.insert(h).second) << "\"" << key << "\" shares a handler";
            }
        }
        EXPECT_EQ(with_handler, r.second);
    }
    EXPECT_EQ(keys["entry"].count("sta_mac"), 1u);
    EXPECT_EQ(keys.size(), rows.size()) << "a widget reached an unknown dispatcher";
}

TEST(DispatchTables, KeysCompareWholeAndCaseSensitively)
{
    struct row {
        const char *dispatcher;
        const char *key;
        dispatch_handler expected;
    };
    const row rows[] = {
        {"radio", "modsta_dhcp", radio_sta_dhcp_changed},
        {"radio", "modsta_static", radio_sta_static_changed},
        {"radio", "modsta_", nullptr},      // common prefix of both
        {"radio", "modsta_d", nullptr},     // prefix of one
        {"radio", "modsta_dhcpX", nullptr}, // a key plus more
        {"radio", "ap_mode", nullptr},      // case
        {"radio", "", nullptr},
        {"radio", nullptr, nullptr},
        {"combo", "modap_wifiencry", combo_modap_wifiencry_selected},
        {"combo", "modap_wifi", nullptr},
        {"combo", "modcom_baud", nullptr}, // the key is "modcom_baudrate"
        {"combo", "modap_wifiencry ", nullptr},
        {"entry", "user", entry_focus_out_user},
        {"entry", "us", nullptr},
        {"entry", "sta_mac", nullptr},
        {"button", "user", nullptr},         // another dispatcher's key
        {"combo", "AP_Mode", nullptr},       // likewise
        {"button", "mana_confirm", nullptr}, // "mana_confirm_button"
        {"notebook", "user", nullptr},
        {nullptr, "user", nullptr},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(std::string(r.dispatcher ? r.dispatcher : "(null)") + " \"" +
                     (r.key ? r.key : "(null)") + "\"");
        EXPECT_EQ(dispatch_find(r.dispatcher, r.key), r.expected);
    }
}

// ---------------------------------------------------------------------------
// The dispatchers as GTK calls them.

class Dispatch : public ::testing::Test
{
  protected:
    static void SetUpTestSuite() { build_window_once(); }
    void SetUp() override
    {
        started = 0;
        pages_showing_module();
        page_mana_shown = page_comm_shown = page_ap_shown = page_sta_shown = 1;
    }
    void TearDown() override { dispatch_tap = nullptr; }
};

TEST_F(Dispatch, PressedRadiosReachTheirOwnHandler)
{
    g_signal_emit_by_name(radio_wan_static, "pressed");
    EXPECT_EQ(strMODSTA_up.bDHCP, DHCP_DISABLE);
    EXPECT_TRUE(gtk_widget_get_sensitive(entry_wan_ip));
    EXPECT_EQ(strMODSTA.dirty, 1);

    g_signal_emit_by_name(radio_wan_dhcp, "pressed");
    EXPECT_EQ(strMODSTA_up.bDHCP, DHCP_ENABLE);
    EXPECT_FALSE(gtk_widget_get_sensitive(entry_wan_ip));
}

// With every page flag 1 and widgets that differ from the records, any
// handler that ran would leave a trace.
TEST_F(Dispatch, KeyInNoTableDoesNothing)
{
    gtk_entry_set_text(GTK_ENTRY(entry_mod_usr), "operator");
    gtk_entry_set_text(GTK_ENTRY(entry_ap_ssid), "Other");
    gtk_entry_set_text(GTK_ENTRY(entry_sta_mac), "AC:CF:23:00:00:01");
    page_comm_shown = 0;
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo_modcom_baud), BAUDRATE_9600);
    page_comm_shown = 1;

    const snapshot before = snapshot::take(true);
    GtkComboBox *combo = GTK_COMBO_BOX(combo_modcom_baud);
    for (const char *key : {"modcom_baud", "modcom_baudrate ", "MODCOM_BAUDRATE", "user", ""})
        combo_selected(combo, const_cast<char *>(key));
    combo_selected(combo, nullptr);
    GtkButton *radio = GTK_BUTTON(radio_wan_static);
    for (const char *key : {"modsta_stat", "modsta_static_", "STA_MODE", "restart_button"})
        radio_changed(radio, const_cast<char *>(key));
    radio_changed(radio, nullptr);
    for (const char *key : {"restart", "restart_button2", "Restart_button", "modsta_static"})
        button_clicked(GTK_BUTTON(button_mana_confirm), const_cast<char *>(key));
    const struct {
        GtkWidget *entry;
        const char *key;
    } entries[] = {{entry_sta_mac, "sta_mac"},        {entry_mod_usr, "use"},
                   {entry_mod_usr, "user_"},          {entry_ap_ssid, "AP_SSID"},
                   {entry_ap_ssid, "modap_wifimode"}, {entry_mod_usr, nullptr}};
    for (const auto &e : entries)
        EXPECT_EQ(entry_focus_out(e.entry, nullptr, const_cast<char *>(e.key)), FALSE);
    expect_same(before, snapshot::take(true));
    EXPECT_FALSE(gtk_widget_get_sensitive(button_mana_confirm));
    EXPECT_EQ(text_of(entry_sta_mac), "AC:CF:23:00:00:01");
}

TEST_F(Dispatch, EntryFocusOutLetsTheEntryHandleTheEventToo)
{
    gtk_entry_set_text(GTK_ENTRY(entry_mod_usr), "operator");
    EXPECT_EQ(entry_focus_out(entry_mod_usr, nullptr, const_cast<char *>("user")), FALSE);
    EXPECT_STREQ(strMODMana_up.user, "operator"); // the handler did run
}

TEST_F(Dispatch, TapTakesTheSignalBeforeAnyHandler)
{
    dispatch_tap = record_key;
    const snapshot before = snapshot::take(true);
    g_signal_emit_by_name(radio_wan_static, "pressed");
    expect_same(before, snapshot::take(true));
}

// ---------------------------------------------------------------------------
// Page switch.

void switch_to(int page)
{
    gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_module), page);
}

TEST_F(Dispatch, PageSwitchBeforeTheWindowIsCompleteDoesNothing)
{
    switch_to(0);
    strMODMana.inited = strMODComm.inited = strMODAP.inited = strMODSTA.inited = 0;
    notebook_page_now = 0;
    const snapshot before = snapshot::take(true);
    for (int page : {2, 3, 1, 0})
        switch_to(page);
    expect_same(before, snapshot::take(true));
}

// A page read before (inited 1) is not read again: its edits stay and the
// module's dirty flag is left alone; only the page number is recorded.
TEST_F(Dispatch, PageSwitchToAReadPageOnlyRecordsItsNumber)
{
    switch_to(0);
    started = 1;
    text_set(strMODAP_up.SSID, "Edited");
    strMODAP.dirty = 1;
    strMODSTA_up.bDHCP = DHCP_DISABLE;
    page_ap_shown = page_sta_shown = 0; // a refresh would set them
    const snapshot before = snapshot::take(true);

    for (int page : {2, 3, 1, 0, 3}) {
        switch_to(page);
        EXPECT_EQ(notebook_page_now, page);
        notebook_page_now = 0; // the one value the switch may change
        expect_same(before, snapshot::take(true));
    }
    started = 0;
}

// Against the emulated module on a pty, as the serial build talks to it:
// the first showing of each page sends its queries and shows the answers;
// showing it again sends nothing until the next connection.
class PageSwitchOnModule : public Dispatch
{
  protected:
    void SetUp() override
    {
        Dispatch::SetUp();
        switch_to(0);
        log_ = dir_.path() + "/frames.log";
        ASSERT_TRUE(sim_.start_pty({"--mode", "command", "--log", log_, "--set", "WSSSID=SimNet",
                                    "--set", "NETP=UDP,Client,4321,192.168.200.254", "--set",
                                    "WANN=Static,172.16.9.8,255.255.0.0,172.16.0.1"}));
        setenv("MODCFG_COM1", sim_.pty_path().c_str(), 1);
        strPCCom.device = 0;
        init_pccom();
        ASSERT_NE(strPCCom.fd, 0);
        ASSERT_EQ(connect_to_module(), 1);
        strPCCom.bopened = 1;
        strMODMana.inited = strMODComm.inited = strMODAP.inited = strMODSTA.inited = 0;
        page_mana_shown = page_comm_shown = page_ap_shown = page_sta_shown = 0;
        started = 1;
    }
    void TearDown() override
    {
        started = 0;
        switch_to(0);
        CommClose(strPCCom.fd);
        strPCCom.fd = 0;
        strPCCom.bopened = 0;
        unsetenv("MODCFG_COM1");
        Dispatch::TearDown();
    }
    // Query frames the emulator received so far.
    std::vector<std::string> frames()
    {
        std::vector<std::string> out;
        std::ifstream in(log_);
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }
    temp_cwd dir_;
    std::string log_;
    sim_process sim_;
};

TEST_F(PageSwitchOnModule, ReadsEachPageOncePerConnection)
{
    const size_t after_connect = frames().size();

    switch_to(3);
    EXPECT_EQ(notebook_page_now, 3);
    EXPECT_EQ(strMODSTA.inited, 1);
    EXPECT_STREQ(strMODSTA_up.SSID, "SimNet");
    EXPECT_EQ(text_of(entry_sta_ssid), "SimNet"); // refreshed
    EXPECT_EQ(text_of(entry_wan_ip), "172.16.9.8");
    EXPECT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(radio_wan_static)));
    EXPECT_EQ(page_sta_shown, 1);
    const size_t after_sta = frames().size();
    EXPECT_EQ(after_sta - after_connect, 3u); // WSSSID, WSKEY, WANN

    switch_to(1);
    EXPECT_EQ(text_of(entry_modnet_ip), "192.168.200.254");
    EXPECT_EQ(text_of(entry_modnet_port), "4321");
    EXPECT_EQ(page_comm_shown, 1);
    const size_t after_comm = frames().size();
    EXPECT_GT(after_comm, after_sta);

    // Shown before in this connection: nothing is asked, edits stay.
    text_set(strMODSTA_up.SSID, "EditedNet");
    switch_to(0);
    switch_to(3);
    switch_to(1);
    EXPECT_EQ(notebook_page_now, 1);
    const size_t after_management = frames().size(); // page 0 was read on the way
    switch_to(0);
    switch_to(3);
    EXPECT_EQ(frames().size(), after_management);
    EXPECT_STREQ(strMODSTA_up.SSID, "EditedNet");

    // A new connection clears inited: the page is read again.
    strMODMana.inited = strMODComm.inited = strMODAP.inited = strMODSTA.inited = 0;
    switch_to(2);
    switch_to(3);
    EXPECT_STREQ(strMODSTA_up.SSID, "SimNet");
    EXPECT_GT(frames().size(), after_management);
}

} // namespace
