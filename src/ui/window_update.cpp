// Page refresh from the edited records.
#include "window_update.h"

#include "lang.h"
#include "main.h"
#include "module.h"
#include "module_text.h"
#include "set_combo_box.h"
#include "window_pages.h"
#include "window_state.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

namespace
{

// A record's text field as a string; the bound keeps a field that somehow
// lost its zero byte from being read past its end.
template <size_t N> std::string field(const char (&f)[N])
{
    return std::string(f, strnlen(f, N));
}

void set_entry(GtkWidget *entry, const std::string &text)
{
    gtk_entry_set_text(GTK_ENTRY(entry), entry_shown_text(entry, text).c_str());
}

void set_entry_number(GtkWidget *entry, long long n)
{
    set_entry(entry, std::to_string(n));
}

// Octets print unsigned: 192.168.200.254, never a negative number.
std::string dotted(const unsigned char (&a)[4])
{
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
    return text;
}

// A list position outside `list` (a code the list does not show) leaves the
// combo with no active entry instead of asking GTK for a row it lacks.
void set_position(GtkWidget *combo, const option_list &list, int pos)
{
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), pos >= 0 && pos < list.count ? pos : -1);
}

void set_sensitive(std::initializer_list<GtkWidget *> widgets, bool on)
{
    for (GtkWidget *w : widgets)
        gtk_widget_set_sensitive(w, on);
}

void set_shown(std::initializer_list<GtkWidget *> widgets, bool on)
{
    for (GtkWidget *w : widgets)
        on ? gtk_widget_show(w) : gtk_widget_hide(w);
}

void set_active(GtkWidget *radio)
{
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(radio), TRUE);
}

// The three encryption combos of a page, one per reduced list.
struct encry_combos {
    GtkWidget *open;
    GtkWidget *shared;
    GtkWidget *wpapsk;

    // The combo that shows the list of authentication `auth`.
    GtkWidget *for_auth(int auth) const
    {
        const option_list *list = &encry_list_for_auth(auth);
        if (list == &list_wifiap_encry_open)
            return open;
        if (list == &list_wifiap_encry_shared)
            return shared;
        return wpapsk;
    }
    void show_for(int auth) const
    {
        GtkWidget *chosen = for_auth(auth);
        for (GtkWidget *w : {open, shared, wpapsk})
            set_shown({w}, w == chosen);
    }
    void set_code(int auth, int encry) const
    {
        set_position(for_auth(auth), encry_list_for_auth(auth), encry - encry_list_offset(auth));
    }
};

} // namespace

std::string entry_shown_text(GtkWidget *entry, const std::string &bytes)
{
    std::string shown = module_text_shown(bytes);
    // GTK cuts a text beyond the entry's limit of characters; cutting it
    // here first gives the very text the entry will hold.
    const gint max = gtk_entry_get_max_length(GTK_ENTRY(entry));
    if (max > 0 && g_utf8_strlen(shown.c_str(), -1) > max)
        shown.resize(
            static_cast<size_t>(g_utf8_offset_to_pointer(shown.c_str(), max) - shown.c_str()));
    return shown;
}

void update_mana_widgets()
{
    page_mana_shown = 0;
    const _MOD_MANA_STRUCT &r = strMODMana_up;

    set_active(r.wmode == WIFIMODE_AP ? radio_wifimode_ap : radio_wifimode_sta);
    set_active(r.tmode == WORKMODE_TH ? radio_workmode_th : radio_workmode_ag);

    const char *prefix = ui_translate(text_label_ver);
    const std::string version = std::string(prefix) + module_text_shown(field(r.mver));
    ui_string shown = ui_text(version.c_str());
    gtk_label_set_text(GTK_LABEL(label_mod_ver), shown ? shown.get() : prefix);

    set_entry(entry_mod_usr, field(r.user));
    set_entry(entry_mod_pwd, field(r.pswd));
    set_entry(entry_mod_mid, field(r.mid));

    page_mana_shown = 1;
}

void update_comm_widgets()
{
    page_comm_shown = 0;
    const _MOD_COMM_STRUCT &r = strMODComm_up;

    set_position(combo_modcom_baud, list_com_baudrate, r.baud);
    set_position(combo_modcom_data, list_com_data, r.data_bits);
    set_position(combo_modcom_stop, list_com_stop, r.stop_bits);
    set_position(combo_modcom_parity, list_com_parity, r.parity);
    set_position(combo_modcom_af, list_uart_frame, r.bAF);

    set_entry_number(entry_modcom_aft, r.AFT);
    set_entry_number(entry_modcom_afl, r.AFL);
    // Framing off keeps the numbers visible but out of reach.
    set_sensitive({entry_modcom_aft, entry_modcom_afl, label_modcom_aft, label_modcom_afl},
                  r.bAF == COMAF_EN);

    set_position(combo_modnet_mode, list_net_mode, r.mode);
    set_position(combo_modnet_prot, list_net_prot, r.protocol);
    // UDP has neither a server/client role nor a connection time-out.
    set_sensitive({combo_modnet_mode, entry_modnet_tcpto}, r.protocol != NETPROT_UDP);

    set_entry_number(entry_modnet_port, r.port);

    const std::string server = r.bip == 1 ? dotted(r.ipadd) : field(r.hostname);
    // A TCP server accepts connections: it has no server address to reach,
    // but a connection limit; every other role is the reverse.
    const bool tcp_server = r.mode == NETMODE_SERVER && r.protocol == NETPROT_TCP;
    gtk_widget_set_sensitive(entry_modnet_ip, !tcp_server);
    gtk_widget_set_sensitive(entry_modnet_maxsk, tcp_server);
    set_entry(entry_modnet_ip, server);

    set_entry_number(entry_modnet_tcpto, r.TCPto);
    set_entry_number(entry_modnet_maxsk, r.maxsk);

    page_comm_shown = 1;
}

void update_ap_widgets()
{
    page_ap_shown = 0;
    const _MOD_AP_STRUCT &r = strMODAP_up;
    const encry_combos encry{combo_ap_encry_open, combo_ap_encry_shared, combo_ap_encry_wpapsk};

    set_position(combo_ap_wifimode, list_wifi_mode, r.mode);
    set_entry(entry_ap_ssid, field(r.SSID));
    set_position(combo_ap_channel, list_wifi_channel, r.channel);
    set_position(combo_ap_auth, list_wifiap_auth, r.enc_auth);

    // This page shows its list first, then moves it (the STA page the reverse).
    encry.show_for(r.enc_auth);
    encry.set_code(r.enc_auth, r.enc_encry);

    set_shown({label_ap_key, entry_ap_key}, r.enc_encry != ENC_NONE);
    set_entry(entry_ap_key, field(r.password));

    set_entry(entry_lan_ip, dotted(r.ipadd));
    set_entry(entry_lan_mask, dotted(r.ipmask));
    set_entry(entry_lan_gateway, dotted(r.dhcpgw));

    if (r.password[0] == '\0')
        set_entry(entry_ap_key, DEFAULT_WIFI_KEY);

    page_ap_shown = 1;
}

void update_sta_widgets()
{
    page_sta_shown = 0;
    const _MOD_STA_STRUCT &r = strMODSTA_up;
    const encry_combos encry{combo_sta_encry_open, combo_sta_encry_shared, combo_sta_encry_wpapsk};

    set_entry(entry_sta_ssid, field(r.SSID));
    set_position(combo_sta_auth, list_wifiap_auth, r.enc_auth);

    encry.set_code(r.enc_auth, r.enc_encry);
    encry.show_for(r.enc_auth);

    set_shown({label_sta_key, entry_sta_key}, r.enc_encry != ENC_NONE);
    set_entry(entry_sta_key, field(r.password));

    set_entry(entry_wan_ip, dotted(r.ipadd));
    set_entry(entry_wan_mask, dotted(r.ipmask));
    set_entry(entry_wan_gateway, dotted(r.dhcpgw));

    // A module that takes its address by DHCP has no static address to edit.
    const bool dhcp = r.bDHCP == DHCP_ENABLE;
    set_active(dhcp ? radio_wan_dhcp : radio_wan_static);
    set_sensitive({entry_wan_ip, entry_wan_mask, entry_wan_gateway}, !dhcp);

    if (r.password[0] == '\0')
        set_entry(entry_sta_key, DEFAULT_WIFI_KEY);

    page_sta_shown = 1;
}
