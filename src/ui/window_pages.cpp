// The module notebook: four pages of fixed-position fields, each widget
// connected to its dispatcher with the key that names its handler.
#include "window_pages.h"

#include <algorithm>
#include <array>
#include <initializer_list>

#include "callback.h"
#include "lang.h"
#include "set_combo_box.h"

GtkWidget *frame_module;
GtkWidget *notebook_module;

GtkWidget *radio_wifimode_ap;
GtkWidget *radio_wifimode_sta;
GtkWidget *radio_workmode_th;
GtkWidget *radio_workmode_ag;
GtkWidget *entry_mod_usr;
GtkWidget *entry_mod_pwd;
GtkWidget *entry_mod_mid;
GtkWidget *label_mod_ver;
GtkWidget *button_mana_confirm;

GtkWidget *combo_modcom_baud;
GtkWidget *combo_modcom_data;
GtkWidget *combo_modcom_parity;
GtkWidget *combo_modcom_stop;
GtkWidget *combo_modcom_af;
GtkWidget *label_modcom_aft;
GtkWidget *entry_modcom_aft;
GtkWidget *label_modcom_afl;
GtkWidget *entry_modcom_afl;
GtkWidget *combo_modnet_mode;
GtkWidget *combo_modnet_prot;
GtkWidget *entry_modnet_port;
GtkWidget *entry_modnet_ip;
GtkWidget *entry_modnet_tcpto;
GtkWidget *entry_modnet_maxsk;
GtkWidget *button_comm_confirm;

GtkWidget *combo_ap_wifimode;
GtkWidget *entry_ap_ssid;
GtkWidget *combo_ap_channel;
GtkWidget *combo_ap_auth;
GtkWidget *combo_ap_encry_open;
GtkWidget *combo_ap_encry_shared;
GtkWidget *combo_ap_encry_wpapsk;
GtkWidget *label_ap_key;
GtkWidget *entry_ap_key;
GtkWidget *combo_lan_dhcp;
GtkWidget *entry_lan_ip;
GtkWidget *entry_lan_mask;
GtkWidget *entry_lan_gateway;
GtkWidget *button_ap_confirm;

GtkWidget *entry_sta_ssid;
GtkWidget *entry_sta_mac;
GtkWidget *combo_sta_auth;
GtkWidget *combo_sta_encry_open;
GtkWidget *combo_sta_encry_shared;
GtkWidget *combo_sta_encry_wpapsk;
GtkWidget *label_sta_key;
GtkWidget *entry_sta_key;
GtkWidget *radio_wan_dhcp;
GtkWidget *radio_wan_static;
GtkWidget *entry_wan_ip;
GtkWidget *entry_wan_mask;
GtkWidget *entry_wan_gateway;
GtkWidget *button_sta_confirm;

namespace
{

// Every page and sub-frame holds one fixed container; positions are in it.
GtkWidget *add_fixed(GtkWidget *frame)
{
    GtkWidget *fixed = gtk_fixed_new();
    gtk_container_add(GTK_CONTAINER(frame), fixed);
    return fixed;
}

// A titled sub-frame: placed, shadowed, filled, and only then sized.
void put_frame(GtkWidget *fixed, const char *title, int x, int y, int width, int height,
               void (*fill)(GtkWidget *))
{
    GtkWidget *frame = gtk_frame_new(ui_text(title).get());
    gtk_fixed_put(GTK_FIXED(fixed), frame, x, y);
    gtk_frame_set_shadow_type(GTK_FRAME(frame), GTK_SHADOW_ETCHED_OUT);
    fill(frame);
    gtk_widget_set_size_request(frame, width, height);
}

// A field label in the field font.
GtkWidget *put_label(GtkWidget *fixed, const char *t, int x, int y)
{
    GtkWidget *label = gtk_label_new(ui_text(t).get());
    set_widget_font(label);
    gtk_fixed_put(GTK_FIXED(fixed), label, x, y);
    return label;
}

// Filled before "changed" is connected: making the default entry active
// emits "changed", and no handler may run while the window is built.
GtkWidget *put_combo(GtkWidget *fixed, void (*fill)(GtkWidget *), int x, int y, const char *key)
{
    GtkWidget *combo = gtk_combo_box_new_text();
    fill(combo);
    gtk_fixed_put(GTK_FIXED(fixed), combo, x, y);
    g_signal_connect(combo, "changed", G_CALLBACK(combo_selected), (gpointer)key);
    return combo;
}

// An entry of `max_chars` characters at most; `key` null connects nothing.
GtkWidget *put_entry(GtkWidget *fixed, int x, int y, int width, int max_chars, const char *key)
{
    GtkWidget *entry = gtk_entry_new();
    gtk_entry_set_max_length(GTK_ENTRY(entry), max_chars);
    gtk_fixed_put(GTK_FIXED(fixed), entry, x, y);
    gtk_widget_set_size_request(entry, width, 22);
    if (key)
        g_signal_connect(entry, "focus-out-event", G_CALLBACK(entry_focus_out), (gpointer)key);
    return entry;
}

GtkWidget *put_button(GtkWidget *fixed, const char *t, int x, int y, int width, const char *key)
{
    GtkWidget *button = gtk_button_new_with_label(ui_text(t).get());
    gtk_fixed_put(GTK_FIXED(fixed), button, x, y);
    gtk_widget_set_size_request(button, width, 28);
    set_caption_fit(button);
    g_signal_connect(button, "clicked", G_CALLBACK(button_clicked), (gpointer)key);
    return button;
}

// `x`, or further right where the widest of `labels` (placed at
// `label_x`) needs it: where a language's texts are longer than the
// Chinese, the fields move right of their labels.
int column_right_of(std::initializer_list<GtkWidget *> labels, int label_x, int x)
{
    for (GtkWidget *label : labels) {
        GtkRequisition req;
        gtk_widget_size_request(label, &req);
        x = std::max(x, label_x + req.width + 4);
    }
    return x;
}

// The LAN and WAN address rows (IP, mask, gateway) at y 101, 131, 161: the
// entries at x 80, or right of the widest label where a language needs more
// room (English "Gateway").
void put_address_rows(GtkWidget *fixed, std::array<const char *, 3> texts,
                      std::array<GtkWidget **, 3> entries, std::array<const char *, 3> keys)
{
    GtkWidget *labels[3];
    for (int i = 0; i < 3; i++)
        labels[i] = put_label(fixed, texts[i], 20, 101 + 30 * i);
    const int x = column_right_of({labels[0], labels[1], labels[2]}, 20, 80);
    for (int i = 0; i < 3; i++)
        *entries[i] = put_entry(fixed, x, 97 + 30 * i, 180, 20, keys[i]);
}

// `first` null starts a new group, whose first button is made active before
// it is connected; "pressed" does not fire for that, so no handler runs.
GtkWidget *put_radio(GtkWidget *fixed, GtkWidget *first, const char *t, int x, int y,
                     const char *key)
{
    ui_string label = ui_text(t);
    GtkWidget *radio =
        first ? gtk_radio_button_new_with_label_from_widget(GTK_RADIO_BUTTON(first), label.get())
              : gtk_radio_button_new_with_label(nullptr, label.get());
    set_widget_font(gtk_bin_get_child(GTK_BIN(radio)));
    if (!first)
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(radio), TRUE);
    gtk_fixed_put(GTK_FIXED(fixed), radio, x, y);
    g_signal_connect(radio, "pressed", G_CALLBACK(radio_changed), (gpointer)key);
    // The keyboard moves the active button without a press.
    g_signal_connect(radio, "toggled", G_CALLBACK(radio_toggled), (gpointer)key);
    return radio;
}

// The Confirm and Cancel pair that ends every page, at the same place on
// each. Confirm waits for an edit.
GtkWidget *put_confirm_cancel(GtkWidget *fixed, const char *confirm_key, const char *cancel_key)
{
    GtkWidget *confirm = put_button(fixed, text_button_confirm, 300, 300, 100, confirm_key);
    gtk_widget_set_sensitive(confirm, FALSE);
    put_button(fixed, text_button_cancel, 430, 300, 100, cancel_key);
    return confirm;
}

// The three encryption lists of a page share one place; the refresh
// shows the one that fits the authentication.
void put_encry_combos(GtkWidget *fixed, int y, const char *key, GtkWidget **open,
                      GtkWidget **shared, GtkWidget **wpapsk)
{
    *open = put_combo(fixed, set_wifiap_encry_open, 90, y, key);
    *shared = put_combo(fixed, set_wifiap_encry_shared, 90, y, key);
    *wpapsk = put_combo(fixed, set_wifiap_encry_wpapsk, 90, y, key);
}

// The key entries start with the default key; it is set after the
// signal is connected, as the refresh would set it.
GtkWidget *put_key_entry(GtkWidget *fixed, int y, const char *key)
{
    GtkWidget *entry = put_entry(fixed, 60, y, 180, 65, key);
    gtk_entry_set_visibility(GTK_ENTRY(entry), TRUE);
    gtk_entry_set_text(GTK_ENTRY(entry), DEFAULT_WIFI_KEY);
    return entry;
}

} // namespace

void set_MOD_frame(GtkWidget *table)
{
    frame_module = gtk_frame_new(nullptr);
    gtk_table_attach_defaults(GTK_TABLE(table), frame_module, 1, 4, 0, 1);
    gtk_frame_set_shadow_type(GTK_FRAME(frame_module), GTK_SHADOW_ETCHED_OUT);
    gtk_widget_set_size_request(frame_module, 600, 400);
    gtk_widget_set_sensitive(frame_module, FALSE);

    // Connected before any page exists: appending pages switches pages, and
    // the handler has to see (and ignore) those switches too.
    notebook_module = gtk_notebook_new();
    g_signal_connect(notebook_module, "switch-page", G_CALLBACK(notebook_switch_page), nullptr);
    gtk_notebook_set_tab_pos(GTK_NOTEBOOK(notebook_module), GTK_POS_TOP);
    gtk_container_add(GTK_CONTAINER(frame_module), notebook_module);

    struct page {
        const char *tab;
        void (*build)(GtkWidget *);
    };
    static const page pages[] = {
        {text_notebook_management, set_MOD_MANA_frame},
        {text_notebook_comm, set_MOD_COMM_frame},
        {text_notebook_ap, set_MOD_AP_frame},
        {text_notebook_sta, set_MOD_STA_frame},
    };
    for (const page &p : pages) {
        GtkWidget *frame = gtk_frame_new(nullptr);
        gtk_container_set_border_width(GTK_CONTAINER(frame), 10);
        GtkWidget *tab = gtk_label_new(ui_text(p.tab).get());
        gtk_notebook_append_page(GTK_NOTEBOOK(notebook_module), frame, tab);
        p.build(frame);
    }
}

// Management page.

void set_MOD_MANA_frame(GtkWidget *frame)
{
    GtkWidget *fixed = add_fixed(frame);
    put_frame(fixed, text_frame_wifimode, 5, 5, 260, 100, set_wifi_mod_frame);
    put_frame(fixed, text_frame_workmode, 5, 120, 260, 100, set_work_mod_frame);
    put_frame(fixed, text_frame_user, 280, 5, 280, 100, set_usr_mod_frame);
    put_frame(fixed, text_frame_management, 280, 120, 280, 130, set_mod_mod_frame);

    put_label(fixed, text_label_b27, 10, 230);
    label_mod_ver = put_label(fixed, text_label_ver, 10, 250);
    GtkWidget *company = gtk_label_new(ui_text(text_label_company).get());
    set_widget_font_b(company);
    gtk_fixed_put(GTK_FIXED(fixed), company, 10, 290);
    put_label(fixed, "", 10, 310);

    button_mana_confirm = put_confirm_cancel(fixed, "mana_confirm_button", "mana_cancel_button");
}

void set_wifi_mod_frame(GtkWidget *frame)
{
    GtkWidget *fixed = add_fixed(frame);
    radio_wifimode_ap = put_radio(fixed, nullptr, text_radio_apmode, 20, 20, "AP_Mode");
    radio_wifimode_sta =
        put_radio(fixed, radio_wifimode_ap, text_radio_stamode, 20, 50, "STA_Mode");
}

void set_work_mod_frame(GtkWidget *frame)
{
    GtkWidget *fixed = add_fixed(frame);
    radio_workmode_th = put_radio(fixed, nullptr, text_radio_thmode, 20, 20, "TH_Mode");
    radio_workmode_ag = put_radio(fixed, radio_workmode_th, text_radio_agmode, 20, 50, "AG_Mode");
}

void set_usr_mod_frame(GtkWidget *frame)
{
    GtkWidget *fixed = add_fixed(frame);
    const int x = column_right_of({put_label(fixed, text_user_name, 20, 21),
                                   put_label(fixed, text_password, 20, 51)},
                                  20, 80);
    entry_mod_usr = put_entry(fixed, x, 17, 160, 15, "user");
    // The module's web password is shown in clear, as the operator set it.
    entry_mod_pwd = put_entry(fixed, x, 47, 160, 15, "pwd");
    gtk_entry_set_visibility(GTK_ENTRY(entry_mod_pwd), TRUE);
}

void set_mod_mod_frame(GtkWidget *frame)
{
    GtkWidget *fixed = add_fixed(frame);
    put_label(fixed, text_MID, 20, 21);
    // The MID is the module's own: it can be copied but not edited.
    entry_mod_mid = put_entry(fixed, 80, 17, 160, 15, nullptr);
    gtk_editable_set_editable(GTK_EDITABLE(entry_mod_mid), FALSE);
    put_button(fixed, text_button_reboot, 30, 70, 100, "restart_button");
    GtkWidget *reset = put_button(fixed, text_button_reload, 150, 70, 100, "reload_button");
    // A longer caption (English "Factory reset") takes the room up to the
    // frame's right border (280 wide) before it is cut.
    gtk_widget_set_size_request(reset, std::min(std::max(100, caption_width(reset)), 120), 28);
}

// Communication page.

void set_MOD_COMM_frame(GtkWidget *frame)
{
    GtkWidget *fixed = add_fixed(frame);
    put_frame(fixed, text_frame_modserial, 5, 15, 260, 160, set_com_para_frame);
    put_frame(fixed, text_frame_autofram, 5, 200, 260, 130, set_uart_frame_frame);
    put_frame(fixed, text_frame_network, 280, 15, 280, 220, set_net_para_frame);
    button_comm_confirm = put_confirm_cancel(fixed, "comm_confirm_button", "comm_cancel_button");
}

void set_com_para_frame(GtkWidget *frame)
{
    GtkWidget *fixed = add_fixed(frame);
    struct row {
        const char *label;
        GtkWidget **combo;
        void (*fill)(GtkWidget *);
        const char *key;
    };
    const row rows[] = {
        {text_serial_baud, &combo_modcom_baud, set_com_baudrate, "modcom_baudrate"},
        {text_serial_data, &combo_modcom_data, set_com_data, "modcom_data"},
        {text_serial_parity, &combo_modcom_parity, set_com_parity, "modcom_parity"},
        {text_serial_stop, &combo_modcom_stop, set_com_stop, "modcom_stop"},
    };
    int y = 17;
    for (const row &r : rows) {
        put_label(fixed, r.label, 20, y + 4);
        *r.combo = put_combo(fixed, r.fill, 90, y, r.key);
        y += 30;
    }
}

void set_uart_frame_frame(GtkWidget *frame)
{
    GtkWidget *fixed = add_fixed(frame);
    put_label(fixed, text_auto_frame, 20, 21);
    combo_modcom_af = put_combo(fixed, set_uart_frame, 90, 17, "modcom_frame");
    label_modcom_aft = put_label(fixed, text_auto_frame_time, 20, 51);
    label_modcom_afl = put_label(fixed, text_auto_frame_length, 20, 81);
    // The two labels are long; with a wide Latin font (DejaVu Sans) they run
    // past x 185, so the entries move right just enough to leave them whole.
    int x = 185;
    for (GtkWidget *label : {label_modcom_aft, label_modcom_afl}) {
        GtkRequisition req;
        gtk_widget_size_request(label, &req);
        x = std::max(x, 20 + req.width + 4);
    }
    // Time and length mean something only with auto framing on, which the
    // list starts without.
    entry_modcom_aft = put_entry(fixed, x, 47, 50, 5, "aft");
    gtk_widget_set_sensitive(entry_modcom_aft, FALSE);
    entry_modcom_afl = put_entry(fixed, x, 77, 50, 5, "afl");
    gtk_widget_set_sensitive(entry_modcom_afl, FALSE);
}

void set_net_para_frame(GtkWidget *frame)
{
    GtkWidget *fixed = add_fixed(frame);
    put_label(fixed, text_net_mode, 20, 21);
    combo_modnet_mode = put_combo(fixed, set_net_mode, 90, 17, "modnet_mode");
    put_label(fixed, text_net_protocol, 20, 51);
    combo_modnet_prot = put_combo(fixed, set_net_prot, 90, 47, "modnet_prot");
    put_label(fixed, text_net_port, 20, 81);
    entry_modnet_port = put_entry(fixed, 90, 77, 100, 5, "netp_port");
    // A TCP server, the lists' default, has no server address.
    put_label(fixed, text_net_server_add, 20, 111);
    entry_modnet_ip = put_entry(fixed, 90, 107, 180, 100, "netp_ip");
    gtk_widget_set_sensitive(entry_modnet_ip, FALSE);
    put_label(fixed, text_net_tcp_to, 20, 141);
    entry_modnet_tcpto = put_entry(fixed, 180, 137, 60, 5, "netp_tcpto");
    put_label(fixed, text_net_maxsk, 20, 171);
    entry_modnet_maxsk = put_entry(fixed, 180, 167, 60, 5, "netp_maxsk");
}

// AP page.

void set_MOD_AP_frame(GtkWidget *frame)
{
    GtkWidget *fixed = add_fixed(frame);
    put_frame(fixed, text_frame_wifiap, 5, 15, 260, 310, set_apwifi_para_frame);
    put_frame(fixed, text_frame_lan, 280, 15, 280, 220, set_lan_para_frame);
    button_ap_confirm = put_confirm_cancel(fixed, "ap_confirm_button", "ap_cancel_button");
}

void set_apwifi_para_frame(GtkWidget *frame)
{
    GtkWidget *fixed = add_fixed(frame);
    put_label(fixed, text_wifiap_mode, 20, 21);
    combo_ap_wifimode = put_combo(fixed, set_wifi_mode, 120, 17, "modap_wifimode");
    put_label(fixed, text_wifiap_ssid, 20, 51);
    entry_ap_ssid = put_entry(fixed, 90, 47, 150, 32, "ap_ssid");
    put_label(fixed, text_wifiap_channel, 20, 81);
    combo_ap_channel = put_combo(fixed, set_wifi_channel, 90, 77, "modap_wifichannel");
    put_label(fixed, text_wifiap_auth, 20, 141);
    combo_ap_auth = put_combo(fixed, set_wifiap_auth, 90, 137, "modap_wifiauth");
    put_label(fixed, text_wifiap_encry, 20, 171);
    put_encry_combos(fixed, 167, "modap_wifiencry", &combo_ap_encry_open, &combo_ap_encry_shared,
                     &combo_ap_encry_wpapsk);
    label_ap_key = put_label(fixed, text_wifiap_key, 20, 201);
    entry_ap_key = put_key_entry(fixed, 197, "ap_key");
}

void set_lan_para_frame(GtkWidget *frame)
{
    GtkWidget *fixed = add_fixed(frame);
    put_label(fixed, text_wifiap_dhcp, 20, 31);
    // The module's DHCP server is shown, never changed from here.
    combo_lan_dhcp = put_combo(fixed, set_wifiap_dhcp, 110, 27, "modap_dhcp");
    gtk_widget_set_sensitive(combo_lan_dhcp, FALSE);
    put_address_rows(fixed, {text_wifiap_ip, text_wifiap_mask, text_wifiap_gateway},
                     {&entry_lan_ip, &entry_lan_mask, &entry_lan_gateway},
                     {"lan_ip", "lan_mask", "lan_gw"});
}

// STA page.

void set_MOD_STA_frame(GtkWidget *frame)
{
    GtkWidget *fixed = add_fixed(frame);
    put_frame(fixed, text_frame_wifista, 5, 15, 260, 310, set_stawifi_para_frame);
    put_frame(fixed, text_frame_wan, 280, 15, 280, 220, set_wan_para_frame);
    button_sta_confirm = put_confirm_cancel(fixed, "sta_confirm_button", "sta_cancel_button");
}

void set_stawifi_para_frame(GtkWidget *frame)
{
    GtkWidget *fixed = add_fixed(frame);
    put_label(fixed, text_wifista_ssid, 20, 21);
    entry_sta_ssid = put_entry(fixed, 90, 17, 150, 32, "sta_ssid");
    put_label(fixed, text_wifista_mac, 20, 51);
    // Display only and never filled; its key is in no dispatch table.
    entry_sta_mac = put_entry(fixed, 90, 47, 150, 32, "sta_mac");
    gtk_widget_set_sensitive(entry_sta_mac, FALSE);
    put_label(fixed, text_wifista_auth, 20, 101);
    combo_sta_auth = put_combo(fixed, set_wifiap_auth, 90, 97, "modsta_wifiauth");
    put_label(fixed, text_wifista_encry, 20, 131);
    put_encry_combos(fixed, 127, "modsta_wifiencry", &combo_sta_encry_open, &combo_sta_encry_shared,
                     &combo_sta_encry_wpapsk);
    label_sta_key = put_label(fixed, text_wifista_key, 20, 161);
    entry_sta_key = put_key_entry(fixed, 157, "sta_key");
}

void set_wan_para_frame(GtkWidget *frame)
{
    GtkWidget *fixed = add_fixed(frame);
    radio_wan_dhcp = put_radio(fixed, nullptr, text_wan_dhcp, 50, 21, "modsta_dhcp");
    radio_wan_static = put_radio(fixed, radio_wan_dhcp, text_wan_static, 50, 51, "modsta_static");
    put_address_rows(fixed, {text_wan_ip, text_wan_mask, text_wan_gateway},
                     {&entry_wan_ip, &entry_wan_mask, &entry_wan_gateway},
                     {"wan_ip", "wan_mask", "wan_gw"});
}
