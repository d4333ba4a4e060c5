// The option lists of the window's combo boxes: their entry texts, order and
// default entries. An entry's position is the value code the records store,
// except in the two reduced encryption lists (see encry_list_offset).
#ifndef MODCFG_SET_COMBO_BOX_H
#define MODCFG_SET_COMBO_BOX_H

#include <gtk/gtk.h>

// One list: entries[0..count-1] in display order, and the position made
// active when the list is filled.
struct option_list {
    const char *const *entries;
    int count;
    int default_pos;
};

extern const option_list list_com_port;
extern const option_list list_com_baudrate;
extern const option_list list_com_data;
extern const option_list list_com_parity;
extern const option_list list_com_stop;
extern const option_list list_uart_frame;
extern const option_list list_net_mode;
extern const option_list list_net_prot;
extern const option_list list_wifi_mode;
extern const option_list list_wifi_channel;
extern const option_list list_wifiap_auth;
extern const option_list list_wifiap_encry_open;
extern const option_list list_wifiap_encry_shared;
extern const option_list list_wifiap_encry_wpapsk;
extern const option_list list_wifiap_dhcp;

// Appends the list's entries to a text combo box and makes its default entry
// active. Call it before the combo's "changed" signal is connected: setting
// the active entry emits "changed".
void fill_option_list(GtkWidget *combo, const option_list &list);

// The encryption list shown for authentication position `auth`
// (0 OPEN, 1 SHARED, 2 WPAPSK, 3 WPA2PSK; anything else is taken as WPA):
// the list's position of an encryption code is code - encry_list_offset().
const option_list &encry_list_for_auth(int auth);
int encry_list_offset(int auth);

// The fifteen fillers, one per kind of list.
void set_com_port(GtkWidget *combo);            // "COM1".."COM12", COM1
void set_com_baudrate(GtkWidget *combo);        // "50".."460800", 57600
void set_com_data(GtkWidget *combo);            // "5".."8", 8
void set_com_parity(GtkWidget *combo);          // "None".."Space", None
void set_com_stop(GtkWidget *combo);            // "1", "2"; 1
void set_uart_frame(GtkWidget *combo);          // "Disable", "Enable"; Disable
void set_net_mode(GtkWidget *combo);            // "Server", "Client"; Server
void set_net_prot(GtkWidget *combo);            // "TCP", "UDP"; TCP
void set_wifi_mode(GtkWidget *combo);           // "802.11B Only".."802.11BGN"; BGN
void set_wifi_channel(GtkWidget *combo);        // "Auto", "Channel 1".."14"; Auto
void set_wifiap_auth(GtkWidget *combo);         // "OPEN".."WPA2PSK"; OPEN
void set_wifiap_encry_open(GtkWidget *combo);   // "NONE", "WEP-HEX", "WEP-ASCII"
void set_wifiap_encry_shared(GtkWidget *combo); // "WEP-HEX", "WEP-ASCII"
void set_wifiap_encry_wpapsk(GtkWidget *combo); // "TKIP", "AES", "TKIPAES"
void set_wifiap_dhcp(GtkWidget *combo);         // "Enable", "Disable"; Enable

#endif
