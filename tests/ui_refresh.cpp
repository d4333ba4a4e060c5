// Page refresh on the real window: what each page shows of its edited
// record, the widgets that depend on the values, and that a refresh edits
// nothing, whatever the page flag was when it began.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "command.h"
#include "lang.h"
#include "main.h"
#include "module.h"
#include "window.h"
#include "window_pages.h"
#include "window_update.h"

#include "ui_records.h"

namespace
{

using ui_records::build_window_once;
using ui_records::expect_same;
using ui_records::load_module_state;
using ui_records::set_addr;
using ui_records::snapshot;

std::string text_of(GtkWidget *entry)
{
    return gtk_entry_get_text(GTK_ENTRY(entry));
}

std::string active_of(GtkWidget *combo)
{
    gchar *s = gtk_combo_box_get_active_text(GTK_COMBO_BOX(combo));
    std::string out = s ? s : "(none)";
    g_free(s);
    return out;
}

bool sensitive(GtkWidget *w)
{
    return gtk_widget_get_sensitive(w) != FALSE;
}
bool visible(GtkWidget *w)
{
    return gtk_widget_get_visible(w) != FALSE;
}
bool active(GtkWidget *radio)
{
    return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(radio)) != FALSE;
}

void refresh_all()
{
    update_mana_widgets();
    update_comm_widgets();
    update_ap_widgets();
    update_sta_widgets();
}

// Counts GTK's and GObject's criticals and warnings (programming errors
// such as an active position GTK refuses) while it lives.
class gtk_complaints
{
  public:
    gtk_complaints()
    {
        for (const char *domain : {"Gtk", "GLib-GObject"})
            ids_.emplace_back(domain,
                              g_log_set_handler(domain,
                                                static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL |
                                                                            G_LOG_LEVEL_WARNING),
                                                count, &n_));
    }
    ~gtk_complaints()
    {
        for (auto &id : ids_)
            g_log_remove_handler(id.first, id.second);
    }
    int count_so_far() const { return n_; }

  private:
    static void count(const gchar *, GLogLevelFlags, const gchar *msg, gpointer n)
    {
        ++*static_cast<int *>(n);
        ADD_FAILURE() << msg;
    }
    int n_ = 0;
    std::vector<std::pair<const char *, guint>> ids_;
};

class Refresh : public ::testing::Test
{
  protected:
    static void SetUpTestSuite() { build_window_once(); }
    void SetUp() override
    {
        load_module_state();
        refresh_all();
        page_mana_shown = page_comm_shown = page_ap_shown = page_sta_shown = 0;
    }
    gtk_complaints complaints_;
};

// ---------------------------------------------------------------------------
// A refresh shows; it never edits.

// The widgets show something else than the records hold (every combo and
// radio will move, a key was typed but not confirmed), as after an edit
// that is being cancelled.
void widgets_disagree_with_records()
{
    const int flags[4] = {page_mana_shown, page_comm_shown, page_ap_shown, page_sta_shown};
    page_mana_shown = page_comm_shown = page_ap_shown = page_sta_shown = 0;
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(radio_wifimode_sta), TRUE);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(radio_workmode_ag), TRUE);
    for (GtkWidget *c : {combo_modcom_baud, combo_modcom_data, combo_modcom_parity,
                         combo_modcom_stop, combo_modcom_af, combo_modnet_mode, combo_modnet_prot,
                         combo_ap_wifimode, combo_ap_channel})
        gtk_combo_box_set_active(GTK_COMBO_BOX(c), 1);
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo_modcom_baud), 3);
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo_ap_auth), WIFIAUTH_WPA2PSK);
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo_sta_auth), WIFIAUTH_WPA2PSK);
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo_ap_encry_wpapsk), 1);  // AES
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo_sta_encry_wpapsk), 1); // AES
    gtk_entry_set_text(GTK_ENTRY(entry_ap_key), "typed-not-confirmed");
    gtk_entry_set_text(GTK_ENTRY(entry_sta_key), "typed-not-confirmed");
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(radio_wan_static), TRUE);
    page_mana_shown = flags[0], page_comm_shown = flags[1];
    page_ap_shown = flags[2], page_sta_shown = flags[3];
}

TEST_F(Refresh, EditsNoRecordQueuesNothingWhateverThePageFlag)
{
    for (int flag : {0, 1}) {
        SCOPED_TRACE("page flags " + std::to_string(flag) + " before the refresh");
        load_module_state();
        // WPA2PSK with TKIP and a confirmed key, so the encryption combo
        // moves from AES back to TKIP and would take the typed key over if
        // a handler saw it.
        for (_MOD_AP_STRUCT *r : {&strMODAP, &strMODAP_up}) {
            r->enc_auth = WIFIAUTH_WPA2PSK;
            r->enc_encry = ENC_TKIP;
            text_set(r->password, "confirmed-key");
        }
        for (_MOD_STA_STRUCT *r : {&strMODSTA, &strMODSTA_up}) {
            r->enc_auth = WIFIAUTH_WPA2PSK;
            r->enc_encry = ENC_TKIP;
            text_set(r->password, "confirmed-key");
        }
        strMODComm.dirty = 1;
        gtk_widget_set_sensitive(button_comm_confirm, TRUE);
        gtk_widget_set_sensitive(frame_module, flag);
        page_mana_shown = page_comm_shown = page_ap_shown = page_sta_shown = flag;
        widgets_disagree_with_records();

        const snapshot before = snapshot::take(false);
        refresh_all();
        expect_same(before, snapshot::take(false));

        EXPECT_EQ(text_of(entry_ap_key), "confirmed-key");
        EXPECT_EQ(text_of(entry_sta_key), "confirmed-key");
        EXPECT_EQ(active_of(combo_ap_encry_wpapsk), "TKIP");
        EXPECT_EQ(active_of(combo_modcom_baud), "57600");
        EXPECT_TRUE(active(radio_wan_dhcp));
        EXPECT_EQ(page_mana_shown + page_comm_shown + page_ap_shown + page_sta_shown, 4);
    }
}

// The flag is 0 whenever a combo's "changed" fires during the refresh and
// 1 afterwards; the AP page shows its encryption combo before moving it,
// the STA page moves it while it is still hidden.
struct changed_probe {
    int *flag;
    std::vector<int> flags_seen;
    std::vector<bool> visible_seen;
};

void probe_changed(GtkComboBox *combo, gpointer data)
{
    auto *p = static_cast<changed_probe *>(data);
    p->flags_seen.push_back(*p->flag);
    p->visible_seen.push_back(visible(GTK_WIDGET(combo)));
}

TEST_F(Refresh, FlagSetLastAndEncryptionOrderPerPage)
{
    struct page_case {
        const char *name;
        GtkWidget *encry_combo;
        int *flag;
        void (*set)();
        void (*refresh)();
        bool visible_when_moved;
    };
    const page_case cases[] = {
        {"AP", combo_ap_encry_wpapsk, &page_ap_shown,
         [] { strMODAP_up.enc_auth = WIFIAUTH_WPA2PSK, strMODAP_up.enc_encry = ENC_AES; },
         update_ap_widgets, true},
        {"STA", combo_sta_encry_wpapsk, &page_sta_shown,
         [] { strMODSTA_up.enc_auth = WIFIAUTH_WPA2PSK, strMODSTA_up.enc_encry = ENC_AES; },
         update_sta_widgets, false},
    };
    for (const page_case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(visible(c.encry_combo));                      // OPEN from SetUp
        gtk_combo_box_set_active(GTK_COMBO_BOX(c.encry_combo), 0); // TKIP, flag still 0
        *c.flag = 1;
        c.set();
        changed_probe probe{c.flag, {}, {}};
        gulong id = g_signal_connect(c.encry_combo, "changed", G_CALLBACK(probe_changed), &probe);
        c.refresh();
        g_signal_handler_disconnect(c.encry_combo, id);

        ASSERT_EQ(probe.flags_seen.size(), 1u);
        EXPECT_EQ(probe.flags_seen[0], 0);
        EXPECT_EQ(probe.visible_seen[0], c.visible_when_moved);
        EXPECT_EQ(*c.flag, 1);
        EXPECT_TRUE(visible(c.encry_combo));
        EXPECT_EQ(active_of(c.encry_combo), "AES");
    }
}

// ---------------------------------------------------------------------------
// Management page.

TEST_F(Refresh, ManagementShowsRolesTextsAndVersion)
{
    struct row {
        signed char wmode, tmode;
        GtkWidget *role, *mode;
    };
    // Any value but 0 stands for STA and for protocol transmission.
    const row rows[] = {
        {WIFIMODE_STA, WORKMODE_AG, radio_wifimode_sta, radio_workmode_ag},
        {WIFIMODE_AP, WORKMODE_TH, radio_wifimode_ap, radio_workmode_th},
        {7, -1, radio_wifimode_sta, radio_workmode_ag},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(int(r.wmode));
        strMODMana_up.wmode = r.wmode;
        strMODMana_up.tmode = r.tmode;
        update_mana_widgets();
        EXPECT_TRUE(active(r.role));
        EXPECT_TRUE(active(r.mode));
    }
    EXPECT_EQ(text_of(entry_mod_usr), "admin");
    EXPECT_EQ(text_of(entry_mod_pwd), "secret");
    EXPECT_EQ(text_of(entry_mod_mid), "QX-B27");
    EXPECT_EQ(gtk_label_get_text(GTK_LABEL(label_mod_ver)), std::string("软件版本: 1.0.04a"));
    EXPECT_EQ(page_mana_shown, 1);
}

// ---------------------------------------------------------------------------
// Communication page.

TEST_F(Refresh, CommunicationShowsCodesNumbersAndServer)
{
    strMODComm_up.baud = BAUDRATE_460800;
    strMODComm_up.data_bits = COMBITS_7;
    strMODComm_up.parity = COMPARITY_SPACE;
    strMODComm_up.stop_bits = COMSTOPBITS_2;
    strMODComm_up.port = 65535;
    strMODComm_up.TCPto = 0;
    strMODComm_up.maxsk = 1;
    strMODComm_up.mode = NETMODE_CLIENT;
    set_addr(strMODComm_up.ipadd, 192, 168, 200, 254);
    text_set(strMODComm_up.hostname, "modules.example.net");
    update_comm_widgets();

    EXPECT_EQ(active_of(combo_modcom_baud), "460800");
    EXPECT_EQ(active_of(combo_modcom_data), "7");
    EXPECT_EQ(active_of(combo_modcom_parity), "Space");
    EXPECT_EQ(active_of(combo_modcom_stop), "2");
    EXPECT_EQ(active_of(combo_modnet_mode), "Client");
    EXPECT_EQ(text_of(entry_modnet_port), "65535");
    EXPECT_EQ(text_of(entry_modnet_tcpto), "0");
    EXPECT_EQ(text_of(entry_modnet_maxsk), "1");
    EXPECT_EQ(text_of(entry_modnet_ip), "192.168.200.254");

    strMODComm_up.bip = 0; // the server is named by its host name
    update_comm_widgets();
    EXPECT_EQ(text_of(entry_modnet_ip), "modules.example.net");
    EXPECT_EQ(page_comm_shown, 1);
}

TEST_F(Refresh, CommunicationFramingAndAddressRules)
{
    for (signed char af : {COMAF_EN, COMAF_DIS}) {
        SCOPED_TRACE("bAF " + std::to_string(af));
        strMODComm_up.bAF = af;
        strMODComm_up.AFT = 150;
        strMODComm_up.AFL = 4096;
        update_comm_widgets();
        EXPECT_EQ(active_of(combo_modcom_af), af == COMAF_EN ? "Enable" : "Disable");
        for (GtkWidget *w :
             {entry_modcom_aft, entry_modcom_afl, label_modcom_aft, label_modcom_afl})
            EXPECT_EQ(sensitive(w), af == COMAF_EN);
        // Off keeps the numbers on show.
        EXPECT_EQ(text_of(entry_modcom_aft), "150");
        EXPECT_EQ(text_of(entry_modcom_afl), "4096");
    }

    struct row {
        signed char mode, protocol;
        bool mode_combo, tcpto, server_address, max_connections;
    };
    const row rows[] = {
        {NETMODE_SERVER, NETPROT_TCP, true, true, false, true},
        {NETMODE_SERVER, NETPROT_UDP, false, false, true, false},
        {NETMODE_CLIENT, NETPROT_TCP, true, true, true, false},
        {NETMODE_CLIENT, NETPROT_UDP, false, false, true, false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE("mode " + std::to_string(r.mode) + " protocol " + std::to_string(r.protocol));
        strMODComm_up.mode = r.mode;
        strMODComm_up.protocol = r.protocol;
        update_comm_widgets();
        EXPECT_EQ(sensitive(combo_modnet_mode), r.mode_combo);
        EXPECT_EQ(sensitive(entry_modnet_tcpto), r.tcpto);
        EXPECT_EQ(sensitive(entry_modnet_ip), r.server_address);
        EXPECT_EQ(sensitive(entry_modnet_maxsk), r.max_connections);
        EXPECT_EQ(active_of(combo_modnet_prot), r.protocol == NETPROT_UDP ? "UDP" : "TCP");
    }
}

// ---------------------------------------------------------------------------
// AP and STA pages: the encryption list by authentication, the key, the
// addresses.

struct wifi_page {
    const char *name;
    GtkWidget *auth, *open, *shared, *wpapsk, *key_label, *key;
    signed char *rec_auth, *rec_encry;
    char *password;
    size_t password_cap;
    void (*refresh)();
};

std::vector<wifi_page> wifi_pages()
{
    return {
        {"AP", combo_ap_auth, combo_ap_encry_open, combo_ap_encry_shared, combo_ap_encry_wpapsk,
         label_ap_key, entry_ap_key, &strMODAP_up.enc_auth, &strMODAP_up.enc_encry,
         strMODAP_up.password, sizeof strMODAP_up.password, update_ap_widgets},
        {"STA", combo_sta_auth, combo_sta_encry_open, combo_sta_encry_shared,
         combo_sta_encry_wpapsk, label_sta_key, entry_sta_key, &strMODSTA_up.enc_auth,
         &strMODSTA_up.enc_encry, strMODSTA_up.password, sizeof strMODSTA_up.password,
         update_sta_widgets},
    };
}

TEST_F(Refresh, EncryptionListAndKeyFollowTheAuthentication)
{
    struct row {
        signed char auth, encry;
        const char *auth_text;
        int shown; // 0 open, 1 shared, 2 WPA
        const char *encry_text;
        bool key_shown;
    };
    const row rows[] = {
        {WIFIAUTH_OPEN, ENC_NONE, "OPEN", 0, "NONE", false},
        {WIFIAUTH_OPEN, ENC_WEPH, "OPEN", 0, "WEP-HEX", true},
        {WIFIAUTH_SHARED, ENC_WEPA, "SHARED", 1, "WEP-ASCII", true},
        {WIFIAUTH_WPAPSK, ENC_TKIP, "WPAPSK", 2, "TKIP", true},
        {WIFIAUTH_WPA2PSK, ENC_AES, "WPA2PSK", 2, "AES", true},
        {WIFIAUTH_WPA2PSK, ENC_TKIPAES, "WPA2PSK", 2, "TKIPAES", true},
        {WIFIAUTH_OPEN, ENC_NONE, "OPEN", 0, "NONE", false},
    };
    for (const wifi_page &p : wifi_pages()) {
        for (const row &r : rows) {
            SCOPED_TRACE(std::string(p.name) + " " + r.auth_text + " " + r.encry_text);
            *p.rec_auth = r.auth;
            *p.rec_encry = r.encry;
            p.refresh();
            EXPECT_EQ(active_of(p.auth), r.auth_text);
            GtkWidget *lists[3] = {p.open, p.shared, p.wpapsk};
            for (int i = 0; i < 3; i++)
                EXPECT_EQ(visible(lists[i]), i == r.shown) << "list " << i;
            EXPECT_EQ(active_of(lists[r.shown]), r.encry_text);
            EXPECT_EQ(visible(p.key_label), r.key_shown);
            EXPECT_EQ(visible(p.key), r.key_shown);
        }
    }
}

// SHARED with NONE, or a WPA authentication with a WEP code, is not in the
// shown list: the combo shows no entry rather than a stale one or a row
// GTK refuses, and the record keeps its code.
TEST_F(Refresh, EncryptionOutsideTheShownListLeavesNoActiveEntry)
{
    struct row {
        signed char auth, encry;
        int shown;
    };
    const row rows[] = {
        {WIFIAUTH_SHARED, ENC_NONE, 1},
        {WIFIAUTH_SHARED, ENC_AES, 1},
        {WIFIAUTH_WPAPSK, ENC_WEPH, 2},
        {WIFIAUTH_WPA2PSK, ENC_NONE, 2},
        {9, ENC_WEPA, 2}, // an authentication outside the list takes the WPA list
    };
    for (const wifi_page &p : wifi_pages()) {
        for (const row &r : rows) {
            SCOPED_TRACE(std::string(p.name) + " auth " + std::to_string(r.auth) + " encry " +
                         std::to_string(r.encry));
            GtkWidget *lists[3] = {p.open, p.shared, p.wpapsk};
            page_ap_shown = page_sta_shown = 0; // no handler takes this move
            gtk_combo_box_set_active(GTK_COMBO_BOX(lists[r.shown]), 0);
            *p.rec_auth = r.auth;
            *p.rec_encry = r.encry;
            p.refresh();
            EXPECT_TRUE(visible(lists[r.shown]));
            EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(lists[r.shown])), -1);
            EXPECT_EQ(*p.rec_auth, r.auth);
            EXPECT_EQ(*p.rec_encry, r.encry);
            if (r.auth > WIFIAUTH_WPA2PSK) {
                EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(p.auth)), -1);
            }
        }
    }
    EXPECT_EQ(complaints_.count_so_far(), 0);
}

TEST_F(Refresh, EmptyKeyShowsTheDefaultKeyAStoredKeyShowsWhole)
{
    const std::string key64(64, 'k');
    for (const wifi_page &p : wifi_pages()) {
        SCOPED_TRACE(p.name);
        *p.rec_auth = WIFIAUTH_WPA2PSK;
        *p.rec_encry = ENC_AES;
        std::strncpy(p.password, key64.c_str(), p.password_cap);
        p.refresh();
        EXPECT_EQ(text_of(p.key), key64);

        p.password[0] = '\0';
        p.refresh();
        EXPECT_EQ(text_of(p.key), "73914620");
        EXPECT_EQ(p.password[0], '\0'); // shown, not stored
    }
}

TEST_F(Refresh, AddressesPrintUnsigned)
{
    set_addr(strMODAP_up.ipadd, 192, 168, 200, 254);
    set_addr(strMODAP_up.ipmask, 255, 255, 255, 128);
    set_addr(strMODAP_up.dhcpgw, 0, 0, 0, 0);
    set_addr(strMODSTA_up.ipadd, 172, 16, 255, 1);
    set_addr(strMODSTA_up.ipmask, 255, 255, 0, 0);
    set_addr(strMODSTA_up.dhcpgw, 172, 16, 0, 254);
    update_ap_widgets();
    update_sta_widgets();
    EXPECT_EQ(text_of(entry_lan_ip), "192.168.200.254");
    EXPECT_EQ(text_of(entry_lan_mask), "255.255.255.128");
    EXPECT_EQ(text_of(entry_lan_gateway), "0.0.0.0");
    EXPECT_EQ(text_of(entry_wan_ip), "172.16.255.1");
    EXPECT_EQ(text_of(entry_wan_mask), "255.255.0.0");
    EXPECT_EQ(text_of(entry_wan_gateway), "172.16.0.254");
}

TEST_F(Refresh, ApShowsModeSsidAndChannelStaShowsSsidAndWanMode)
{
    strMODAP_up.mode = APSTD_11N;
    strMODAP_up.channel = APCH_CH14;
    text_set(strMODAP_up.SSID, "Shop floor 3");
    update_ap_widgets();
    EXPECT_EQ(active_of(combo_ap_wifimode), "802.11N Only");
    EXPECT_EQ(active_of(combo_ap_channel), "Channel 14");
    EXPECT_EQ(text_of(entry_ap_ssid), "Shop floor 3");
    EXPECT_EQ(page_ap_shown, 1);

    text_set(strMODSTA_up.SSID, "Office");
    for (signed char dhcp : {DHCP_DISABLE, DHCP_ENABLE}) {
        SCOPED_TRACE("bDHCP " + std::to_string(dhcp));
        strMODSTA_up.bDHCP = dhcp;
        update_sta_widgets();
        EXPECT_TRUE(active(dhcp == DHCP_ENABLE ? radio_wan_dhcp : radio_wan_static));
        for (GtkWidget *w : {entry_wan_ip, entry_wan_mask, entry_wan_gateway})
            EXPECT_EQ(sensitive(w), dhcp != DHCP_ENABLE);
    }
    EXPECT_EQ(text_of(entry_sta_ssid), "Office");
    EXPECT_EQ(page_sta_shown, 1);
}

// Texts come from the module in whatever encoding it has; the widgets get
// valid UTF-8 (GB18030 decoded, anything else repaired) and the record
// keeps its bytes.
TEST_F(Refresh, TextsThatAreNotUtf8StillShow)
{
    text_set(strMODAP_up.SSID, "Caf\xe9-AP");
    text_set(strMODSTA_up.SSID, "\xd6\xd0\xce\xc4"); // "中文" in GB18030
    text_set(strMODMana_up.mver, "1.0\xff");
    update_ap_widgets();
    update_sta_widgets();
    update_mana_widgets();
    EXPECT_EQ(text_of(entry_ap_ssid), "Caf\xef\xbf\xbd-AP");
    EXPECT_STREQ(strMODAP_up.SSID, "Caf\xe9-AP");
    EXPECT_EQ(text_of(entry_sta_ssid), "中文");
    const std::string label = gtk_label_get_text(GTK_LABEL(label_mod_ver));
    EXPECT_EQ(label, "软件版本: 1.0\xef\xbf\xbd");
    EXPECT_EQ(complaints_.count_so_far(), 0);
}

} // namespace
