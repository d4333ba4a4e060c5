// Entry handlers driven by a focus-out event on the real entries: the value
// taken, what the entry shows afterwards, the pending listing and console.
#include "entry_out.h"
#include "page_driver.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace
{

class Entry : public ::testing::Test
{
  protected:
    static void SetUpTestSuite() { ui_records::build_window_once(); }
    void SetUp() override { pages_show_module_state(); }
};

bool has_line(const std::string &out, const std::string &line)
{
    return out.find(line + "\n") != std::string::npos;
}

// `n` copies of the UTF-8 character `c`.
std::string repeat(const std::string &c, int n)
{
    std::string s;
    for (int i = 0; i < n; i++)
        s += c;
    return s;
}

TEST_F(Entry, NumbersAreClampedAndTheEntryShowsTheBound)
{
    struct row {
        GtkWidget *&entry;
        const char *typed;
        const char *shown;
        const int &field;
        int value;
        const char *line;
    };
    const row rows[] = {
        {entry_modcom_aft, "50", "100", strMODComm_up.AFT, 100, "AT+UARTFT=100"},
        {entry_modcom_aft, "20000", "10000", strMODComm_up.AFT, 10000, "AT+UARTFT=10000"},
        {entry_modcom_aft, "150ms", "150ms", strMODComm_up.AFT, 150, "AT+UARTFT=150"},
        {entry_modcom_afl, "8", "16", strMODComm_up.AFL, 16, "AT+UARTFL=16"},
        {entry_modcom_afl, "4096", "4096", strMODComm_up.AFL, 4096, "AT+UARTFL=4096"},
        {entry_modnet_maxsk, "abc", "1", strMODComm_up.maxsk, 1, "AT+MAXSK=1"},
        {entry_modnet_maxsk, "0", "1", strMODComm_up.maxsk, 1, "AT+MAXSK=1"},
        {entry_modnet_maxsk, " 7", " 7", strMODComm_up.maxsk, 7, "AT+MAXSK=7"},
        {entry_modnet_tcpto, "600", "600", strMODComm_up.TCPto, 600, "AT+TCPTO=600"},
        {entry_modnet_tcpto, "601", "600", strMODComm_up.TCPto, 600, "AT+TCPTO=600"},
        {entry_modnet_tcpto, "-5", "0", strMODComm_up.TCPto, 0, "AT+TCPTO=0"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.typed);
        pages_show_module_state();
        std::string out = console_of([&] { type_and_leave(r.entry, r.typed); });
        EXPECT_EQ(entry_of(r.entry), r.shown);
        EXPECT_EQ(r.field, r.value);
        EXPECT_EQ(last_listing(out), lines{r.line});
        EXPECT_TRUE(sensitive(button_comm_confirm));
    }
}

TEST_F(Entry, PortKeepsItsLow16BitsAndTheTypedText)
{
    std::string out = console_of([] { type_and_leave(entry_modnet_port, "70000"); });
    EXPECT_EQ(strMODComm_up.port, 4464);
    EXPECT_EQ(entry_of(entry_modnet_port), "70000");
    EXPECT_EQ(last_listing(out), lines{"AT+NETP=TCP,Server,4464,10.10.100.100"});

    out = console_of([] { type_and_leave(entry_modnet_port, "-1"); });
    EXPECT_EQ(strMODComm_up.port, 65535);
    EXPECT_EQ(last_listing(out), lines{"AT+NETP=TCP,Server,65535,10.10.100.100"});
}

TEST_F(Entry, AValueEqualToTheModulesWithNothingPendingChangesNothing)
{
    struct row {
        GtkWidget *&entry;
        const char *typed;
    };
    const row rows[] = {
        {entry_mod_usr, "admin"},
        {entry_modcom_aft, "500"},
        {entry_modcom_afl, " 1024"},
        {entry_modnet_maxsk, "33"}, // clamped to the module's 32
        {entry_modnet_port, "8899"},
        {entry_modnet_ip, "10.10.100.100"},
        {entry_ap_ssid, "QX-B27_AP"},
        {entry_lan_ip, "192.168.1.1"},
        {entry_lan_gateway, "192.168.1.1"},
        {entry_sta_ssid, "HomeNet"},
        {entry_wan_mask, "255.255.255.0"},
        {entry_sta_mac, "00:11:22:33:44:55"},
    };
    auto before = ui_records::snapshot::take(true);
    std::string out;
    for (const row &r : rows)
        out += console_of([&] { type_and_leave(r.entry, r.typed); });
    EXPECT_EQ(out, "");
    ui_records::expect_same(before, ui_records::snapshot::take(true));
}

TEST_F(Entry, UserNameChangedAndBackLeavesTheModulesNamePending)
{
    std::string out = console_of([] { type_and_leave(entry_mod_usr, "operator"); });
    EXPECT_EQ(last_listing(out), lines{"AT+WEBU=operator,secret"});
    out = console_of([] { type_and_leave(entry_mod_usr, "admin"); });
    EXPECT_STREQ(strMODMana_up.user, "admin");
    EXPECT_EQ(last_listing(out), lines{"AT+WEBU=admin,secret"});
    EXPECT_TRUE(sensitive(button_mana_confirm));

    out = console_of([] { type_and_leave(entry_mod_pwd, ""); });
    EXPECT_EQ(last_listing(out), lines{"AT+WEBU=admin,"});
}

TEST_F(Entry, RejectedAddressGetsTheEditedAddressBackAndStillMarksThePage)
{
    std::string out = console_of([] { type_and_leave(entry_lan_ip, "192.168.1.300"); });
    EXPECT_EQ(entry_of(entry_lan_ip), "192.168.1.1");
    EXPECT_EQ(listings_in(out), 0);
    EXPECT_EQ(cmd_num_ap, 0);
    EXPECT_EQ(strMODAP.dirty, 1);
    EXPECT_TRUE(sensitive(button_ap_confirm));

    // The edited address, not the module's, comes back.
    type_and_leave(entry_lan_ip, "192.168.1.5");
    out = console_of([] { type_and_leave(entry_lan_ip, "192.168.1"); });
    EXPECT_EQ(entry_of(entry_lan_ip), "192.168.1.5");
    EXPECT_EQ(dotted_of(strMODAP_up.ipadd), "192.168.1.5");
    EXPECT_EQ(listings_in(out), 0);
}

TEST_F(Entry, AcceptedAddressesGoIntoTheirCommandsArguments)
{
    struct row {
        GtkWidget *&entry;
        const char *typed;
        const char *line;
    };
    const row rows[] = {
        // Same four bytes as the module's, but typed otherwise: queued.
        {entry_lan_ip, "192.168.001.001", "AT+LANN=192.168.1.1,255.255.255.0"},
        {entry_lan_mask, "255.255.0.0", "AT+LANN=192.168.1.1,255.255.0.0"},
        {entry_lan_gateway, "192.168.1.254", "AT+DHCPGW=192.168.1.254"},
        {entry_wan_ip, "192.168.2.60", "AT+WANN=Static,192.168.2.60,255.255.255.0,192.168.2.1"},
        {entry_wan_mask, "255.255.0.0", "AT+WANN=Static,192.168.2.50,255.255.0.0,192.168.2.1"},
        {entry_wan_gateway, "192.168.2.254",
         "AT+WANN=Static,192.168.2.50,255.255.255.0,192.168.2.254"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.typed);
        pages_show_module_state();
        press(radio_wan_static); // the WAN addresses are only taken when static
        std::string out = console_of([&] { type_and_leave(r.entry, r.typed); });
        lines listing = *last_listing(out);
        EXPECT_NE(std::find(listing.begin(), listing.end(), r.line), listing.end()) << out;
        EXPECT_EQ(entry_of(r.entry), r.typed);
    }
}

TEST_F(Entry, ServerAddressIsDottedOrElseAHostName)
{
    choose(combo_modnet_mode, "Client");
    ASSERT_TRUE(sensitive(entry_modnet_ip));

    std::string out = console_of([] { type_and_leave(entry_modnet_ip, "192.168.1.20"); });
    EXPECT_TRUE(has_line(out, "entry_focus_out_netp_ip: c= 192.168.1.20"));
    EXPECT_TRUE(has_line(out, "entry_focus_out_netp_ip: ret= 1"));
    EXPECT_TRUE(has_line(out, "test ipadd: 192.168.1.20"));
    EXPECT_EQ(strMODComm_up.bip, 1);
    EXPECT_EQ(dotted_of(strMODComm_up.ipadd), "192.168.1.20");
    EXPECT_EQ(last_listing(out), lines{"AT+NETP=TCP,Client,8899,192.168.1.20"});

    out = console_of([] { type_and_leave(entry_modnet_ip, "myhost"); });
    EXPECT_TRUE(has_line(out, "entry_focus_out_netp_ip: c= myhost"));
    EXPECT_TRUE(has_line(out, "entry_focus_out_netp_ip: ret= 0"));
    EXPECT_EQ(out.find("test ipadd"), std::string::npos);
    EXPECT_EQ(strMODComm_up.bip, 0);
    EXPECT_STREQ(strMODComm_up.hostname, "myhost");
    EXPECT_EQ(dotted_of(strMODComm_up.ipadd), "192.168.1.20"); // kept
    EXPECT_EQ(entry_of(entry_modnet_ip), "myhost");
    EXPECT_EQ(last_listing(out), lines{"AT+NETP=TCP,Client,8899,myhost"});
}

// Texts that fit the entry's character limit but not the record's bytes are
// refused whole, never cut: the entry gets the edited value back.
TEST_F(Entry, TextsThatDoNotFitTheirFieldAreRefused)
{
    text_set(strMODAP.password, "apsecret1");
    text_set(strMODAP_up.password, "apsecret1");
    set_entry(entry_ap_key, "apsecret1");
    const std::string han = "\xe7\x94\xa8"; // one CJK character, three bytes
    struct row {
        GtkWidget *&entry;
        std::string typed;
        const char *shown_after;
        const char *why;
    };
    const row rows[] = {
        {entry_ap_key, std::string(65, 'k'), "apsecret1", "Refused key: 65 bytes, at most 64 fit"},
        {entry_mod_usr, repeat(han, 7), "admin", "Refused user name: 21 bytes, at most 19 fit"},
        {entry_mod_pwd, repeat(han, 15), "secret", "Refused password: 45 bytes, at most 19 fit"},
        {entry_sta_ssid, repeat(han, 12), "HomeNet", "Refused SSID: 36 bytes, at most 34 fit"},
        {entry_modnet_ip, std::string(100, 'h'), "10.10.100.100",
         "Refused server address: 100 bytes, at most 99 fit"},
        {entry_ap_ssid, "lab\r\nAT+RELD", "QX-B27_AP",
         "Refused SSID: control characters are not allowed"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.why);
        ASSERT_EQ(entry_of(r.entry), r.shown_after);
        set_entry(r.entry, r.typed);
        ASSERT_EQ(entry_of(r.entry), r.typed) << "the entry's limit cut it already";
        std::string out = console_of([&] { leave(r.entry); });
        EXPECT_TRUE(has_line(out, r.why)) << out;
        EXPECT_EQ(entry_of(r.entry), r.shown_after);
        EXPECT_EQ(listings_in(out), 0);
    }
    EXPECT_STREQ(strMODAP_up.password, "apsecret1");
    EXPECT_STREQ(strMODMana_up.user, "admin");
    EXPECT_STREQ(strMODSTA_up.SSID, "HomeNet");
    EXPECT_EQ(strMODComm_up.bip, 1);
    EXPECT_EQ(cmd_num_mod + cmd_num_comm + cmd_num_ap + cmd_num_sta, 0);
    EXPECT_FALSE(sensitive(button_mana_confirm));
}

TEST_F(Entry, TextsThatJustFitAreTakenWhole)
{
    const std::string han = "\xe7\x94\xa8";
    std::string out = console_of([&] { type_and_leave(entry_mod_usr, repeat(han, 6)); });
    EXPECT_STREQ(strMODMana_up.user, repeat(han, 6).c_str());
    EXPECT_EQ(last_listing(out), lines{"AT+WEBU=" + repeat(han, 6) + ",secret"});

    strMODSTA.enc_auth = strMODSTA_up.enc_auth = WIFIAUTH_WPA2PSK;
    strMODSTA.enc_encry = strMODSTA_up.enc_encry = ENC_AES;
    out = console_of([] { type_and_leave(entry_sta_key, std::string(64, 'k')); });
    EXPECT_EQ(last_listing(out)->back(), "AT+WSKEY=WPA2PSK,AES," + std::string(64, 'k'));

    std::string name(99, 'h');
    choose(combo_modnet_mode, "Client");
    out = console_of([&] { type_and_leave(entry_modnet_ip, name); });
    EXPECT_STREQ(strMODComm_up.hostname, name.c_str());
    EXPECT_EQ(strMODComm_up.bip, 0);
}

// Module texts another tool left in GB18030 ("中文网络", sixteen "中"),
// bytes that are no text at all, and a key in Latin-1.
const std::string gb_net = "\xd6\xd0\xce\xc4\xcd\xf8\xc2\xe7";
const std::string gb_16 = repeat("\xd6\xd0", 16);
const std::string latin_key = "cl\xe9-key";
const std::string fffd = "\xef\xbf\xbd";

void show_module_texts()
{
    ui_records::load_module_state();
    text_set(strMODMana.pswd, std::string(19, '\xff').c_str());
    strMODComm.mode = NETMODE_CLIENT;
    strMODComm.bip = 0;
    text_set(strMODComm.hostname, gb_net.c_str());
    text_set(strMODAP.SSID, gb_net.c_str());
    strMODAP.enc_auth = WIFIAUTH_WPA2PSK;
    strMODAP.enc_encry = ENC_AES;
    text_set(strMODAP.password, latin_key.c_str());
    text_set(strMODSTA.SSID, gb_16.c_str());
    copy_module_mana_struct_up(), copy_module_comm_struct_up();
    copy_module_ap_struct_up(), copy_module_sta_struct_up();
    update_mana_widgets(), update_comm_widgets(), update_ap_widgets(), update_sta_widgets();
}

// Shown decoded, repaired or cut, a module text the operator passes by is
// no edit; an overlong edit gets the text as shown back, never raw bytes.
TEST_F(Entry, ModuleTextsThatAreNotUtf8StayTheModulesUntilEdited)
{
    show_module_texts();
    const std::pair<GtkWidget *&, std::string> shown[] = {
        {entry_mod_pwd, repeat(fffd, 15)}, // 19 bad bytes, cut to the entry's 15
        {entry_modnet_ip, "中文网络"},        {entry_ap_ssid, "中文网络"},
        {entry_ap_key, "cl" + fffd + "-key"}, {entry_sta_ssid, repeat("中", 16)},
    };
    auto before = ui_records::snapshot::take(true);
    std::string out;
    for (const auto &[entry, text] : shown) {
        EXPECT_EQ(entry_of(entry), text);
        out += console_of([&] { leave(entry); });
    }
    EXPECT_EQ(out, "");
    ui_records::expect_same(before, ui_records::snapshot::take(true));

    // 17 characters, 49 bytes: refused.
    out = console_of([] { type_and_leave(entry_sta_ssid, repeat("中", 16) + "x"); });
    EXPECT_TRUE(has_line(out, "Refused SSID: 49 bytes, at most 34 fit")) << out;
    EXPECT_EQ(entry_of(entry_sta_ssid), repeat("中", 16));
    EXPECT_EQ(std::string(strMODSTA_up.SSID), gb_16);
}

// A command pending for another argument carries the module's bytes, also
// after the focus passed through their entry.
TEST_F(Entry, ACommandBuiltForAnotherArgumentCarriesTheModulesBytes)
{
    show_module_texts();
    struct row {
        std::function<void()> edit;
        GtkWidget *&entry;
        std::string line;
    };
    const row rows[] = {
        {[] { choose(combo_ap_channel, "Channel 6"); }, entry_ap_ssid,
         "AT+WAP=11BGN," + gb_net + ",CH6"},
        {[] { choose(combo_ap_encry_wpapsk, "TKIP"); }, entry_ap_key,
         "AT+WAKEY=WPA2PSK,TKIP," + latin_key},
        {[] { type_and_leave(entry_modnet_port, "9000"); }, entry_modnet_ip,
         "AT+NETP=TCP,Client,9000," + gb_net},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.line);
        for (const std::function<void()> &act :
             {r.edit, std::function<void()>([&] { leave(r.entry); })}) {
            lines listing = last_listing(console_of(act)).value_or(lines{});
            EXPECT_NE(std::find(listing.begin(), listing.end(), r.line), listing.end());
        }
    }
}

// Closing the window takes the focus from the entry being edited: that
// may not run its handler.
TEST(WindowClosing, TeardownRunsNoHandler)
{
    ui_records::build_window_once();
    pages_show_module_state();
    GdkEvent *focus = gdk_event_new(GDK_FOCUS_CHANGE);
    focus->focus_change.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(window)));
    focus->focus_change.send_event = TRUE;
    focus->focus_change.in = TRUE;
    gtk_main_do_event(focus); // the window has the keyboard
    gdk_event_free(focus);
    gtk_widget_grab_focus(entry_mod_usr);
    ASSERT_TRUE(gtk_widget_has_focus(entry_mod_usr));
    set_entry(entry_mod_usr, "typed");

    std::string out = console_of([] {
        guint guard = g_timeout_add_seconds(
            5,
            [](gpointer) -> gboolean {
                gtk_main_quit();
                return FALSE;
            },
            nullptr);
        // What the window manager's close button delivers.
        g_idle_add(
            [](gpointer) -> gboolean {
                GdkEvent *ev = gdk_event_new(GDK_DELETE);
                ev->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(window)));
                gtk_main_do_event(ev);
                gdk_event_free(ev);
                return FALSE;
            },
            nullptr);
        gtk_main();
        g_source_remove(guard);
    });
    EXPECT_EQ(window, nullptr);
    EXPECT_EQ(out, "");
    EXPECT_EQ(cmd_num_mod, 0);
    EXPECT_EQ(strMODMana.dirty, 0);
}

} // namespace
