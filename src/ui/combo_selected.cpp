// Selection handlers: an option text becomes the value code of its field
// through the option lists (an entry's position is its code), the code is
// stored and, on the module pages, the page's AT set command is queued.
#include "combo_selected.h"

#include "command.h"
#include "entry_out.h"
#include "main.h"
#include "module.h"
#include "page_edit.h"
#include "pccom.h"
#include "set_combo_box.h"
#include "window.h"
#include "window_pages.h"
#include "window_state.h"

#include <initializer_list>
#include <memory>

namespace
{

using active_text = std::unique_ptr<gchar, decltype(&g_free)>;

// The combo's active text, null when it has none (a refresh can leave an
// encryption combo without an active entry) or the combo was never built
// (the PC selectors in the network build).
active_text combo_text(GtkWidget *combo)
{
    gchar *text = nullptr;
    if (combo && GTK_IS_COMBO_BOX(combo))
        text = gtk_combo_box_get_active_text(GTK_COMBO_BOX(combo));
    return active_text(text, g_free);
}

// Position of `text` in `list`, or `fallback`: the first equal entry wins.
signed char list_code(const option_list &list, const char *text, int fallback)
{
    return static_cast<signed char>(
        code_from_text(code_set{list.entries, list.count}, text, fallback));
}

// Encryption code of a text of any of the three encryption lists, or -1.
int encry_code(const char *text)
{
    for (int auth = WIFIAUTH_OPEN; auth <= WIFIAUTH_WPAPSK; auth++) {
        const option_list &list = encry_list_for_auth(auth);
        int pos = code_find(code_set{list.entries, list.count}, text);
        if (pos >= 0)
            return pos + encry_list_offset(auth);
    }
    return -1;
}

// A module page's selection: ignored while the page is not filled or the
// combo has no text; otherwise `store` converts the text into the edited
// record, the command is queued and the page marked edited. True when the
// selection was taken.
template <typename Store>
bool page_select(int page_flag, GtkWidget *combo, Store store, const char *cmd, const char *item,
                 int &dirty, GtkWidget *confirm)
{
    if (page_flag == 0)
        return false;
    active_text text = combo_text(combo);
    if (!text)
        return false;
    store(text.get());
    generate_cmd(cmd, item);
    mark_page_edited(dirty, confirm);
    return true;
}

template <typename Store> void pc_select(GtkWidget *combo, Store store)
{
    active_text text = combo_text(combo);
    if (text)
        store(text.get());
}

void set_sensitive(std::initializer_list<GtkWidget *> widgets, bool on)
{
    for (GtkWidget *w : widgets)
        gtk_widget_set_sensitive(w, on ? TRUE : FALSE);
}

void set_visible(GtkWidget *widget, bool on)
{
    if (on)
        gtk_widget_show(widget);
    else
        gtk_widget_hide(widget);
}

// The server address matters unless the module is a TCP server; the
// connection count only then.
void net_address_rule()
{
    bool tcp_server = strMODComm_up.mode == NETMODE_SERVER && strMODComm_up.protocol == NETPROT_TCP;
    set_sensitive({entry_modnet_ip}, !tcp_server);
    set_sensitive({entry_modnet_maxsk}, tcp_server);
}

// What the AP and the STA page share for authentication and encryption.
struct wifi_page {
    int &page_flag;
    signed char &enc_auth;
    signed char &enc_encry;
    GtkWidget *&encry_open;
    GtkWidget *&encry_shared;
    GtkWidget *&encry_wpapsk;
    GtkWidget *&label_key;
    GtkWidget *&entry_key;
    void (*key_handler)();
    void (*encry_handler)();
    const char *cmd;
    int &dirty;
    GtkWidget *&confirm;
    GtkWidget *&auth_combo;

    GtkWidget *encry_combo() const
    {
        switch (enc_auth) {
        case WIFIAUTH_OPEN:
            return encry_open;
        case WIFIAUTH_SHARED:
            return encry_shared;
        default:
            return encry_wpapsk;
        }
    }
};

wifi_page ap_page()
{
    return {page_ap_shown,
            strMODAP_up.enc_auth,
            strMODAP_up.enc_encry,
            combo_ap_encry_open,
            combo_ap_encry_shared,
            combo_ap_encry_wpapsk,
            label_ap_key,
            entry_ap_key,
            entry_focus_out_ap_key,
            combo_modap_wifiencry_selected,
            "WAKEY",
            strMODAP.dirty,
            button_ap_confirm,
            combo_ap_auth};
}

wifi_page sta_page()
{
    return {page_sta_shown,
            strMODSTA_up.enc_auth,
            strMODSTA_up.enc_encry,
            combo_sta_encry_open,
            combo_sta_encry_shared,
            combo_sta_encry_wpapsk,
            label_sta_key,
            entry_sta_key,
            entry_focus_out_sta_key,
            combo_modsta_wifiencry_selected,
            "WSKEY",
            strMODSTA.dirty,
            button_sta_confirm,
            combo_sta_auth};
}

void wifi_auth_selected(const wifi_page &p)
{
    auto store = [&p](const char *t) { struct_ap_auth_set(t, &p.enc_auth); };
    if (!page_select(p.page_flag, p.auth_combo, store, p.cmd, "auth", p.dirty, p.confirm))
        return;
    GtkWidget *shown = p.encry_combo();
    for (GtkWidget *combo : {p.encry_open, p.encry_shared, p.encry_wpapsk})
        set_visible(combo, combo == shown);
    // The newly shown combo's encryption holds from now on.
    p.encry_handler();
}

void wifi_encry_selected(const wifi_page &p)
{
    if (p.page_flag == 0)
        return;
    active_text text = combo_text(p.encry_combo());
    if (!text)
        return;
    int code = encry_code(text.get());
    if (code >= 0)
        p.enc_encry = static_cast<signed char>(code);
    bool keyed = p.enc_encry != ENC_NONE;
    set_visible(p.label_key, keyed);
    set_visible(p.entry_key, keyed);
    // The key entry may still show a key the record does not hold yet
    // (the default key of an empty one): take it over now.
    if (keyed)
        p.key_handler();
    generate_cmd(p.cmd, "encry");
    mark_page_edited(p.dirty, p.confirm);
}

} // namespace

void struct_com_device_set(const char *text, signed char *ret)
{
    *ret = list_code(list_com_port, text, 0);
}

void struct_com_baud_set(const char *text, signed char *ret)
{
    *ret = list_code(list_com_baudrate, text, BAUDRATE_57600);
}

// The list's "8" is the fall-back.
void struct_com_data_set(const char *text, signed char *ret)
{
    *ret = list_code(list_com_data, text, COMBITS_8);
}

void struct_com_parity_set(const char *text, signed char *ret)
{
    *ret = list_code(list_com_parity, text, COMPARITY_NONE);
}

void struct_ap_channel_set(const char *text, signed char *ret)
{
    *ret = list_code(list_wifi_channel, text, APCH_AUTO);
}

void struct_ap_auth_set(const char *text, signed char *ret)
{
    *ret = list_code(list_wifiap_auth, text, WIFIAUTH_OPEN);
}

void combo_pccom_device_selected()
{
    pc_select(combo_pccom_device,
              [](const char *t) { struct_com_device_set(t, &strPCCom.device); });
}

void combo_pccom_baud_selected()
{
    pc_select(combo_pccom_baud, [](const char *t) { struct_com_baud_set(t, &strPCCom.baudrate); });
}

void combo_pccom_data_selected()
{
    pc_select(combo_pccom_data, [](const char *t) { struct_com_data_set(t, &strPCCom.data_bits); });
}

void combo_pccom_parity_selected()
{
    pc_select(combo_pccom_parity,
              [](const char *t) { struct_com_parity_set(t, &strPCCom.parity); });
}

void combo_pccom_stop_selected()
{
    pc_select(combo_pccom_stop, [](const char *t) {
        strPCCom.stop_bits = list_code(list_com_stop, t, COMSTOPBITS_1);
    });
}

void combo_modcom_baud_selected()
{
    page_select(
        page_comm_shown, combo_modcom_baud,
        [](const char *t) { struct_com_baud_set(t, &strMODComm_up.baud); }, "UART", "baud",
        strMODComm.dirty, button_comm_confirm);
}

void combo_modcom_data_selected()
{
    page_select(
        page_comm_shown, combo_modcom_data,
        [](const char *t) { struct_com_data_set(t, &strMODComm_up.data_bits); }, "UART", "data",
        strMODComm.dirty, button_comm_confirm);
}

void combo_modcom_parity_selected()
{
    page_select(
        page_comm_shown, combo_modcom_parity,
        [](const char *t) { struct_com_parity_set(t, &strMODComm_up.parity); }, "UART", "parity",
        strMODComm.dirty, button_comm_confirm);
}

void combo_modcom_stop_selected()
{
    page_select(
        page_comm_shown, combo_modcom_stop,
        [](const char *t) { strMODComm_up.stop_bits = list_code(list_com_stop, t, COMSTOPBITS_1); },
        "UART", "stop", strMODComm.dirty, button_comm_confirm);
}

void combo_modcom_frame_selected()
{
    auto store = [](const char *t) {
        strMODComm_up.bAF = list_code(list_uart_frame, t, COMAF_DIS);
    };
    if (!page_select(page_comm_shown, combo_modcom_af, store, "UARTF", "", strMODComm.dirty,
                     button_comm_confirm))
        return;
    // Time and length stay in the record either way.
    set_sensitive({label_modcom_aft, label_modcom_afl, entry_modcom_aft, entry_modcom_afl},
                  strMODComm_up.bAF == COMAF_EN);
}

void combo_modnet_mode_selected()
{
    auto store = [](const char *t) {
        strMODComm_up.mode = list_code(list_net_mode, t, NETMODE_SERVER);
    };
    if (page_select(page_comm_shown, combo_modnet_mode, store, "NETP", "mode", strMODComm.dirty,
                    button_comm_confirm))
        net_address_rule();
}

void combo_modnet_prot_selected()
{
    auto store = [](const char *t) {
        strMODComm_up.protocol = list_code(list_net_prot, t, NETPROT_TCP);
        // UDP has neither a role nor a connection time-out; the stored
        // role is kept for a return to TCP.
        set_sensitive({combo_modnet_mode, entry_modnet_tcpto},
                      strMODComm_up.protocol != NETPROT_UDP);
    };
    if (page_select(page_comm_shown, combo_modnet_prot, store, "NETP", "prot", strMODComm.dirty,
                    button_comm_confirm))
        net_address_rule();
}

void combo_modap_wifimode_selected()
{
    page_select(
        page_ap_shown, combo_ap_wifimode,
        [](const char *t) { strMODAP_up.mode = list_code(list_wifi_mode, t, APSTD_11BGN); }, "WAP",
        "mode", strMODAP.dirty, button_ap_confirm);
}

void combo_modap_wifich_selected()
{
    page_select(
        page_ap_shown, combo_ap_channel,
        [](const char *t) { struct_ap_channel_set(t, &strMODAP_up.channel); }, "WAP", "channel",
        strMODAP.dirty, button_ap_confirm);
}

void combo_modap_wifiauth_selected()
{
    wifi_auth_selected(ap_page());
}

void combo_modap_wifiencry_selected()
{
    wifi_encry_selected(ap_page());
}

void combo_modap_dhcp_selected()
{
    if (page_ap_shown == 0)
        return;
    active_text text = combo_text(combo_lan_dhcp);
    // Note the inversion against auto-framing: "Enable" is code 0 here.
    if (text)
        strMODAP_up.bDHCP = list_code(list_wifiap_dhcp, text.get(), DHCP_DISABLE);
}

void combo_modsta_wifiauth_selected()
{
    wifi_auth_selected(sta_page());
}

void combo_modsta_wifiencry_selected()
{
    wifi_encry_selected(sta_page());
}
