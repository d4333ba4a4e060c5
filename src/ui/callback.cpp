// Signal dispatch: from a widget's key to its handler, and the reading of a
// module page the first time it is shown.
#include "callback.h"

#include "button_clicked.h"
#include "combo_selected.h"
#include "entry_out.h"
#include "main.h"
#include "module.h"
#include "module_read.h"
#include "radio_changed.h"
#include "window.h"
#include "window_state.h"
#include "window_update.h"

#include <cstring>

dispatch_tap_fn dispatch_tap = nullptr;

namespace
{

// True when a tap took the signal.
bool tapped(const char *dispatcher, gpointer data)
{
    return dispatch_tap && dispatch_tap(dispatcher, static_cast<const char *>(data));
}

struct dispatch_row {
    const char *key;
    dispatch_handler handler;
};

const dispatch_row combo_rows[] = {
    {"pccom_device", combo_pccom_device_selected},
    {"pccom_baudrate", combo_pccom_baud_selected},
    {"pccom_data", combo_pccom_data_selected},
    {"pccom_parity", combo_pccom_parity_selected},
    {"pccom_stop", combo_pccom_stop_selected},
    {"modcom_baudrate", combo_modcom_baud_selected},
    {"modcom_data", combo_modcom_data_selected},
    {"modcom_parity", combo_modcom_parity_selected},
    {"modcom_stop", combo_modcom_stop_selected},
    {"modcom_frame", combo_modcom_frame_selected},
    {"modnet_mode", combo_modnet_mode_selected},
    {"modnet_prot", combo_modnet_prot_selected},
    {"modap_wifimode", combo_modap_wifimode_selected},
    {"modap_wifichannel", combo_modap_wifich_selected},
    {"modap_wifiauth", combo_modap_wifiauth_selected},
    // The three encryption combos of a page share one key.
    {"modap_wifiencry", combo_modap_wifiencry_selected},
    {"modap_dhcp", combo_modap_dhcp_selected},
    {"modsta_wifiauth", combo_modsta_wifiauth_selected},
    {"modsta_wifiencry", combo_modsta_wifiencry_selected},
};

const dispatch_row button_rows[] = {
    {"comstart_button", button_pccom_start_clicked},
    {"restart_button", button_mod_restart_clicked},
    {"reload_button", button_mod_reload_clicked},
    {"mana_confirm_button", button_mana_confirm_clicked},
    {"mana_cancel_button", button_mana_cancel_clicked},
    {"comm_confirm_button", button_comm_confirm_clicked},
    {"comm_cancel_button", button_comm_cancel_clicked},
    {"ap_confirm_button", button_ap_confirm_clicked},
    {"ap_cancel_button", button_ap_cancel_clicked},
    {"sta_confirm_button", button_sta_confirm_clicked},
    {"sta_cancel_button", button_sta_cancel_clicked},
    {"setting_read_button", button_setting_read_clicked},
    {"setting_save_button", button_setting_save_clicked},
    {"auto_setting_button", button_setting_auto_clicked},
    {"setting_down_button", button_setting_down_clicked},
};

// clang-format off
const dispatch_row radio_rows[] = {
    {"AP_Mode", radio_ap_mode_changed},
    {"STA_Mode", radio_sta_mode_changed},
    {"TH_Mode", radio_TH_mode_changed},
    {"AG_Mode", radio_AG_mode_changed},
    {"modsta_dhcp", radio_sta_dhcp_changed},
    {"modsta_static", radio_sta_static_changed},
};
// clang-format on

// "sta_mac" is in no row: the MAC entry only displays.
const dispatch_row entry_rows[] = {
    {"user", entry_focus_out_user},
    {"pwd", entry_focus_out_pwd},
    {"aft", entry_focus_out_aft},
    {"afl", entry_focus_out_afl},
    {"netp_port", entry_focus_out_netp_port},
    {"netp_ip", entry_focus_out_netp_ip},
    {"netp_tcpto", entry_focus_out_netp_tcpto},
    {"netp_maxsk", entry_focus_out_netp_maxsk},
    {"ap_ssid", entry_focus_out_ap_ssid},
    {"ap_key", entry_focus_out_ap_key},
    {"lan_ip", entry_focus_out_lan_ip},
    {"lan_mask", entry_focus_out_lan_mask},
    {"lan_gw", entry_focus_out_lan_gw},
    {"wan_ip", entry_focus_out_wan_ip},
    {"wan_mask", entry_focus_out_wan_mask},
    {"wan_gw", entry_focus_out_wan_gw},
    {"sta_ssid", entry_focus_out_sta_ssid},
    {"sta_key", entry_focus_out_sta_key},
};

template <size_t N> dispatch_handler find_row(const dispatch_row (&rows)[N], const char *key)
{
    for (const dispatch_row &row : rows)
        if (std::strcmp(row.key, key) == 0)
            return row.handler;
    return nullptr;
}

void dispatch(const char *dispatcher, gpointer data)
{
    // Closing the window moves the focus out of an edited entry: that is
    // no operator's edit.
    if (window_closing)
        return;
    if (tapped(dispatcher, data))
        return;
    if (dispatch_handler handler = dispatch_find(dispatcher, static_cast<const char *>(data)))
        handler();
}

// Per notebook page, in page order: the module record's read flag, its
// reader and the page's refresh.
struct page_reader {
    int *inited;
    void (*read)();
    void (*refresh)();
};

const page_reader page_readers[] = {
    {&strMODMana.inited, init_module_mana_struct, update_mana_widgets},
    {&strMODComm.inited, init_module_comm_struct, update_comm_widgets},
    {&strMODAP.inited, init_module_ap_struct, update_ap_widgets},
    {&strMODSTA.inited, init_module_sta_struct, update_sta_widgets},
};

// True while GTK delivers a pointer button event to `widget`.
bool pointer_event_on(GtkWidget *widget)
{
    GdkEvent *event = gtk_get_current_event();
    if (event == nullptr)
        return false;
    const bool pointer = (event->type == GDK_BUTTON_PRESS || event->type == GDK_2BUTTON_PRESS ||
                          event->type == GDK_3BUTTON_PRESS || event->type == GDK_BUTTON_RELEASE) &&
                         gtk_get_event_widget(event) == widget;
    gdk_event_free(event);
    return pointer;
}

} // namespace

dispatch_handler dispatch_find(const char *dispatcher, const char *key)
{
    if (dispatcher == nullptr || key == nullptr)
        return nullptr;
    if (std::strcmp(dispatcher, "combo") == 0)
        return find_row(combo_rows, key);
    if (std::strcmp(dispatcher, "button") == 0)
        return find_row(button_rows, key);
    if (std::strcmp(dispatcher, "radio") == 0)
        return find_row(radio_rows, key);
    if (std::strcmp(dispatcher, "entry") == 0)
        return find_row(entry_rows, key);
    return nullptr;
}

void combo_selected(GtkComboBox *, gpointer data)
{
    dispatch("combo", data);
}

void button_clicked(GtkButton *, gpointer data)
{
    dispatch("button", data);
}

void radio_changed(GtkButton *, gpointer data)
{
    dispatch("radio", data);
}

void radio_toggled(GtkToggleButton *button, gpointer data)
{
    // A button left is no choice, and a pointer click was taken at its press.
    if (!gtk_toggle_button_get_active(button) || pointer_event_on(GTK_WIDGET(button)))
        return;
    dispatch("radio", data);
}

gboolean entry_focus_out(GtkWidget *, GdkEventFocus *, gpointer data)
{
    dispatch("entry", data);
    return FALSE;
}

void notebook_switch_page(GtkNotebook *, gpointer, guint page_num, gpointer)
{
    // The notebook switches while its pages are appended; nothing is read
    // before the window is complete.
    if (started == 0)
        return;
    if (page_num >= G_N_ELEMENTS(page_readers))
        return;
    // A page is read once per connection: connecting clears `inited`.
    const page_reader &page = page_readers[page_num];
    if (*page.inited != 1) {
        page.read();
        page.refresh();
    }
    notebook_page_now = static_cast<int>(page_num);
}
