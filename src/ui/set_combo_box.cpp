// Option lists of the combo boxes and the fillers that put them into a combo.
#include "set_combo_box.h"

#include <array>

namespace
{

constexpr std::array<const char *, 12> com_port = {"COM1", "COM2",  "COM3",  "COM4",
                                                   "COM5", "COM6",  "COM7",  "COM8",
                                                   "COM9", "COM10", "COM11", "COM12"};
constexpr std::array<const char *, 20> com_baudrate = {
    "50",   "75",   "110",  "134",   "150",   "200",   "300",    "600",    "1200",   "1800",
    "2400", "4800", "9600", "19200", "38400", "57600", "115200", "230400", "345600", "460800"};
constexpr std::array<const char *, 4> com_data = {"5", "6", "7", "8"};
constexpr std::array<const char *, 5> com_parity = {"None", "Odd", "Even", "Mark", "Space"};
constexpr std::array<const char *, 2> com_stop = {"1", "2"};
constexpr std::array<const char *, 2> uart_frame = {"Disable", "Enable"};
constexpr std::array<const char *, 2> net_mode = {"Server", "Client"};
constexpr std::array<const char *, 2> net_prot = {"TCP", "UDP"};
constexpr std::array<const char *, 5> wifi_mode = {"802.11B Only", "802.11G Only", "802.11BG",
                                                   "802.11N Only", "802.11BGN"};
constexpr std::array<const char *, 15> wifi_channel = {
    "Auto",       "Channel 1",  "Channel 2",  "Channel 3",  "Channel 4",
    "Channel 5",  "Channel 6",  "Channel 7",  "Channel 8",  "Channel 9",
    "Channel 10", "Channel 11", "Channel 12", "Channel 13", "Channel 14"};
constexpr std::array<const char *, 4> wifiap_auth = {"OPEN", "SHARED", "WPAPSK", "WPA2PSK"};
// All encryption texts in code order; each authentication shows a slice.
constexpr std::array<const char *, 6> encry = {"NONE", "WEP-HEX", "WEP-ASCII",
                                               "TKIP", "AES",     "TKIPAES"};
constexpr int encry_open_first = 0;
constexpr int encry_shared_first = 1;
constexpr int encry_wpapsk_first = 3;
// Note the inversion against auto-framing: here "Enable" is position 0.
constexpr std::array<const char *, 2> wifiap_dhcp = {"Enable", "Disable"};

template <size_t N> constexpr option_list make_list(const std::array<const char *, N> &a, int def)
{
    return option_list{a.data(), static_cast<int>(N), def};
}

} // namespace

const option_list list_com_port = make_list(com_port, 0);
const option_list list_com_baudrate = make_list(com_baudrate, 15); // 57600
const option_list list_com_data = make_list(com_data, 3);          // 8
const option_list list_com_parity = make_list(com_parity, 0);
const option_list list_com_stop = make_list(com_stop, 0);
const option_list list_uart_frame = make_list(uart_frame, 0);
const option_list list_net_mode = make_list(net_mode, 0);
const option_list list_net_prot = make_list(net_prot, 0);
const option_list list_wifi_mode = make_list(wifi_mode, 4); // 802.11BGN
const option_list list_wifi_channel = make_list(wifi_channel, 0);
const option_list list_wifiap_auth = make_list(wifiap_auth, 0);
const option_list list_wifiap_encry_open{encry.data() + encry_open_first, 3, 0};
const option_list list_wifiap_encry_shared{encry.data() + encry_shared_first, 2, 0};
const option_list list_wifiap_encry_wpapsk{encry.data() + encry_wpapsk_first, 3, 0};
const option_list list_wifiap_dhcp = make_list(wifiap_dhcp, 0);

void fill_option_list(GtkWidget *combo, const option_list &list)
{
    for (int i = 0; i < list.count; ++i)
        gtk_combo_box_append_text(GTK_COMBO_BOX(combo), list.entries[i]);
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), list.default_pos);
}

int encry_list_offset(int auth)
{
    switch (auth) {
    case 0:
        return encry_open_first;
    case 1:
        return encry_shared_first;
    default:
        return encry_wpapsk_first;
    }
}

const option_list &encry_list_for_auth(int auth)
{
    switch (auth) {
    case 0:
        return list_wifiap_encry_open;
    case 1:
        return list_wifiap_encry_shared;
    default:
        return list_wifiap_encry_wpapsk;
    }
}

void set_com_port(GtkWidget *combo)
{
    fill_option_list(combo, list_com_port);
}
void set_com_baudrate(GtkWidget *combo)
{
    fill_option_list(combo, list_com_baudrate);
}
void set_com_data(GtkWidget *combo)
{
    fill_option_list(combo, list_com_data);
}
void set_com_parity(GtkWidget *combo)
{
    fill_option_list(combo, list_com_parity);
}
void set_com_stop(GtkWidget *combo)
{
    fill_option_list(combo, list_com_stop);
}
void set_uart_frame(GtkWidget *combo)
{
    fill_option_list(combo, list_uart_frame);
}
void set_net_mode(GtkWidget *combo)
{
    fill_option_list(combo, list_net_mode);
}
void set_net_prot(GtkWidget *combo)
{
    fill_option_list(combo, list_net_prot);
}
void set_wifi_mode(GtkWidget *combo)
{
    fill_option_list(combo, list_wifi_mode);
}
void set_wifi_channel(GtkWidget *combo)
{
    fill_option_list(combo, list_wifi_channel);
}
void set_wifiap_auth(GtkWidget *combo)
{
    fill_option_list(combo, list_wifiap_auth);
}
void set_wifiap_encry_open(GtkWidget *combo)
{
    fill_option_list(combo, list_wifiap_encry_open);
}
void set_wifiap_encry_shared(GtkWidget *combo)
{
    fill_option_list(combo, list_wifiap_encry_shared);
}
void set_wifiap_encry_wpapsk(GtkWidget *combo)
{
    fill_option_list(combo, list_wifiap_encry_wpapsk);
}
void set_wifiap_dhcp(GtkWidget *combo)
{
    fill_option_list(combo, list_wifiap_dhcp);
}
