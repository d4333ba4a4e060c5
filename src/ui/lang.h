// The window's texts, the conversion every widget text passes through, and
// the per-widget fonts.
#ifndef MODCFG_LANG_H
#define MODCFG_LANG_H

#include <gtk/gtk.h>

#include <memory>
#include <string>

// The gettext domain of the window's texts; its catalogues are
// LOCALEDIR/LANG/LC_MESSAGES/modcfg.mo.
#define MODCFG_TEXT_DOMAIN "modcfg"

// Every text shown in the window, kept as UTF-8. Widgets get them through
// `_`, never directly, so that the one place that knows their encoding is
// this file.
extern const char text_net_connect1[];
extern const char text_net_connect2[];
extern const char text_net_connect3[];
extern const char text_net_connect4[];
extern const char text_net_conn1[];
extern const char text_net_conn2[];
extern const char text_net_conn3[];
extern const char text_net_conn4[];
extern const char text_net_conn5[];
extern const char text_net_conn6[];
extern const char text_title[];
extern const char text_cpcom_device[];
extern const char text_serial_baud[];
extern const char text_serial_data[];
extern const char text_serial_parity[];
extern const char text_serial_stop[];
extern const char text_button_connect[];
extern const char text_button_disconnect[];
extern const char text_button_read[];
extern const char text_button_save[];
extern const char text_cmd_filename[];
extern const char text_auto_config[];
extern const char text_button_file_config[];
extern const char text_frame_pccom[];
extern const char text_frame_pcnet[];
extern const char text_frame_config[];
extern const char text_radio_apmode[];
extern const char text_radio_stamode[];
extern const char text_radio_thmode[];
extern const char text_radio_agmode[];
extern const char text_user_name[];
extern const char text_password[];
extern const char text_MID[];
extern const char text_button_reboot[];
extern const char text_button_reload[];
extern const char text_frame_wifimode[];
extern const char text_frame_workmode[];
extern const char text_frame_user[];
extern const char text_frame_management[];
extern const char text_label_b27[];
extern const char text_label_ver[];
extern const char text_label_company[];
extern const char text_button_confirm[];
extern const char text_button_cancel[];
extern const char text_auto_frame[];
extern const char text_auto_frame_time[];
extern const char text_auto_frame_length[];
extern const char text_net_mode[];
extern const char text_net_protocol[];
extern const char text_net_port[];
extern const char text_net_server_add[];
extern const char text_net_tcp_to[];
extern const char text_net_maxsk[];
extern const char text_frame_modserial[];
extern const char text_frame_autofram[];
extern const char text_frame_network[];
extern const char text_wifiap_mode[];
extern const char text_wifiap_ssid[];
extern const char text_wifiap_channel[];
extern const char text_wifiap_auth[];
extern const char text_wifiap_encry[];
extern const char text_wifiap_key[];
extern const char text_wifiap_dhcp[];
extern const char text_wifiap_ip[];
extern const char text_wifiap_mask[];
extern const char text_wifiap_gateway[];
extern const char text_frame_wifiap[];
extern const char text_frame_lan[];
extern const char text_wifista_ssid[];
extern const char text_wifista_mac[];
extern const char text_wifista_auth[];
extern const char text_wifista_encry[];
extern const char text_wifista_key[];
extern const char text_wan_dhcp[];
extern const char text_wan_static[];
extern const char text_wan_ip[];
extern const char text_wan_mask[];
extern const char text_wan_gateway[];
extern const char text_frame_wifista[];
extern const char text_frame_wan[];
extern const char text_notebook_management[];
extern const char text_notebook_comm[];
extern const char text_notebook_ap[];
extern const char text_notebook_sta[];
extern const char text_console_copy[];
extern const char text_console_clear[];
extern const char text_workdir_error[];

// The Chinese texts above are the message ids: where no catalogue applies
// (C, POSIX, a Chinese or any untranslated locale) the window shows them
// byte for byte. Console lines, files and frames never pass through here.

// Binds the text domain to LOCALEDIR, or when null to the catalogues found
// from the running program (ui_localedir_for), as UTF-8. Called once before
// the first widget text; the locale itself is GTK's (gtk_init calls
// setlocale), so LANGUAGE, LC_ALL, LC_MESSAGES and LANG choose as gettext
// reads them.
void ui_language_init(const char *localedir = nullptr);

// Sets the locale from the environment and, when it asks for a language
// with no catalogue of ours (de_DE, fr_FR, ...; not C, POSIX or Chinese),
// makes the window English. Called once, after ui_language_init.
void ui_language_choose();

// The catalogue directory for a program at EXE_PATH: the installed one
// (../share/locale from bin/), else locale/ beside it (the build tree), else
// empty (gettext's default directory stays).
std::string ui_localedir_for(const std::string &exe_path);

// TEXT in the user's language: its translation, or TEXT itself (the same
// pointer) when there is none. The empty text stays empty.
const char *ui_translate(const char *text);

// Returns a new UTF-8 copy of `text` in the user's language for a widget
// call, or null when `text` is null or not valid UTF-8 (the widget then
// shows no text). The caller releases the result with g_free. Composed
// texts that carry module replies (the version label) pass the same check;
// they have no translation and stay as they are.
gchar *_(const char *text);

// `_` with its release attached, for a widget call that copies the text:
// gtk_label_new(ui_text(text_title).get()).
struct g_free_deleter {
    void operator()(gchar *p) const { g_free(p); }
};
using ui_string = std::unique_ptr<gchar, g_free_deleter>;
inline ui_string ui_text(const char *text)
{
    return ui_string(_(text));
}

// Per-widget font overrides, set once when the widget is built.
void set_widget_font(GtkWidget *widget);    // "Sans, 10": field labels, radio texts
void set_widget_font_sb(GtkWidget *widget); // "Sans, Bold 10": the network status label
void set_widget_font_b(GtkWidget *widget);  // "Sans, Bold 12": the company label
// A label in the field font that is wider than `width` pixels takes the
// largest size, in whole points down to 7, that fits.
void set_widget_font_within(GtkWidget *label, int width);

// Keeps a fixed-size button's caption inside it: a caption that does not fit
// is cut with an ellipsis and shown whole as the button's tooltip.
void set_caption_fit(GtkWidget *button);
// The width `button` would take for its caption, whatever size it is given.
int caption_width(GtkWidget *button);

#endif
