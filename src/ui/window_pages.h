// The module area: a notebook of four pages (management, communication, AP
// mode, STA mode), their widgets and the dispatch keys they are connected
// with. Built once; the globals stay null until set_MOD_frame has run.
#ifndef MODCFG_WINDOW_PAGES_H
#define MODCFG_WINDOW_PAGES_H

#include <gtk/gtk.h>

// The Wi-Fi key the key entries start with; the refresh shows it again
// when a page's stored key is empty.
constexpr const char *DEFAULT_WIFI_KEY = "73914620";

// area
extern GtkWidget *frame_module;    // insensitive until the module has been read
extern GtkWidget *notebook_module; // pages 0..3: management, comm, AP, STA

// management
extern GtkWidget *radio_wifimode_ap;
extern GtkWidget *radio_wifimode_sta;
extern GtkWidget *radio_workmode_th;
extern GtkWidget *radio_workmode_ag;
extern GtkWidget *entry_mod_usr;
extern GtkWidget *entry_mod_pwd;
extern GtkWidget *entry_mod_mid; // shows the module's MID; not editable
extern GtkWidget *label_mod_ver;
extern GtkWidget *button_mana_confirm;

// communication
extern GtkWidget *combo_modcom_baud;
extern GtkWidget *combo_modcom_data;
extern GtkWidget *combo_modcom_parity;
extern GtkWidget *combo_modcom_stop;
extern GtkWidget *combo_modcom_af;
extern GtkWidget *label_modcom_aft;
extern GtkWidget *entry_modcom_aft;
extern GtkWidget *label_modcom_afl;
extern GtkWidget *entry_modcom_afl;
extern GtkWidget *combo_modnet_mode;
extern GtkWidget *combo_modnet_prot;
extern GtkWidget *entry_modnet_port;
extern GtkWidget *entry_modnet_ip;
extern GtkWidget *entry_modnet_tcpto;
extern GtkWidget *entry_modnet_maxsk;
extern GtkWidget *button_comm_confirm;

// AP mode; the three encryption combos share one place, one shown at a time
extern GtkWidget *combo_ap_wifimode;
extern GtkWidget *entry_ap_ssid;
extern GtkWidget *combo_ap_channel;
extern GtkWidget *combo_ap_auth;
extern GtkWidget *combo_ap_encry_open;
extern GtkWidget *combo_ap_encry_shared;
extern GtkWidget *combo_ap_encry_wpapsk;
extern GtkWidget *label_ap_key;
extern GtkWidget *entry_ap_key;
extern GtkWidget *combo_lan_dhcp; // always insensitive
extern GtkWidget *entry_lan_ip;
extern GtkWidget *entry_lan_mask;
extern GtkWidget *entry_lan_gateway;
extern GtkWidget *button_ap_confirm;

// STA mode
extern GtkWidget *entry_sta_ssid;
extern GtkWidget *entry_sta_mac; // never filled; always insensitive
extern GtkWidget *combo_sta_auth;
extern GtkWidget *combo_sta_encry_open;
extern GtkWidget *combo_sta_encry_shared;
extern GtkWidget *combo_sta_encry_wpapsk;
extern GtkWidget *label_sta_key;
extern GtkWidget *entry_sta_key;
extern GtkWidget *radio_wan_dhcp;
extern GtkWidget *radio_wan_static;
extern GtkWidget *entry_wan_ip;
extern GtkWidget *entry_wan_mask;
extern GtkWidget *entry_wan_gateway;
extern GtkWidget *button_sta_confirm;

// Builds the module area into columns 1 to 4 of `table` (the window's inner
// 1 x 4 table): the insensitive frame_module, the notebook and its four
// pages. Every combo box is filled before it is connected, so building runs
// no handler. Call once.
void set_MOD_frame(GtkWidget *table);

// Page builders; each takes the page's frame and puts a fixed container in it.
void set_MOD_MANA_frame(GtkWidget *frame);
void set_MOD_COMM_frame(GtkWidget *frame);
void set_MOD_AP_frame(GtkWidget *frame);
void set_MOD_STA_frame(GtkWidget *frame);

// Sub-frame builders; each takes its titled sub-frame.
void set_wifi_mod_frame(GtkWidget *frame);
void set_work_mod_frame(GtkWidget *frame);
void set_usr_mod_frame(GtkWidget *frame);
void set_mod_mod_frame(GtkWidget *frame);
void set_com_para_frame(GtkWidget *frame);
void set_uart_frame_frame(GtkWidget *frame);
void set_net_para_frame(GtkWidget *frame);
void set_apwifi_para_frame(GtkWidget *frame);
void set_lan_para_frame(GtkWidget *frame);
void set_stawifi_para_frame(GtkWidget *frame);
void set_wan_para_frame(GtkWidget *frame);

#endif
