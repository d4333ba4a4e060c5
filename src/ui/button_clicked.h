// Button handlers: connect and disconnect, restart and factory reset, the
// pages' Confirm and Cancel, and the command-file controls. Run by the
// button dispatch on the UI thread; each blocks it while it talks to the
// module.
#ifndef MODCFG_BUTTON_CLICKED_H
#define MODCFG_BUTTON_CLICKED_H

#include <gtk/gtk.h>

// Serial build's connect button: connects when no connection is open,
// else disconnects.
void button_pccom_start_clicked();

// Build-specific (one definition per build): restart the module ("AT+Z"),
// reset it to factory settings ("AT+RELD"); both end the connection.
void button_mod_restart_clicked();
void button_mod_reload_clicked();

// Confirm sends the page's pending commands, keeps them in the page's
// temporary command file and takes the edited record into the module
// record; Cancel takes the module record back into the edited one. Both
// refresh the page and leave it unedited.
void button_mana_confirm_clicked();
void button_mana_cancel_clicked();
void button_comm_confirm_clicked();
void button_comm_cancel_clicked();
void button_ap_confirm_clicked();
void button_ap_cancel_clicked();
void button_sta_confirm_clicked();
void button_sta_cancel_clicked();

// Command files: read all four pages from the module; join the temporary
// files into the command file; apply the command file to the module; the
// auto-apply check box.
void button_setting_read_clicked();
void button_setting_save_clicked();
void button_setting_down_clicked();
void button_setting_auto_clicked();

// Writes set_para.txt from auto_setting and the command-file name shown in
// entry_setting_file.
void save_setting_file();

// Pieces of the serial build's connection steps, also used by its restart
// and reset. Each does nothing for widgets the build does not have.
// Closes strPCCom's port (and its watch) and sets its fd to 0 (no port).
void pccom_close();
// The five PC-port selectors.
void pccom_selectors_set_sensitive(gboolean on);
// The connect button's label: text_button_connect or text_button_disconnect.
void pccom_open_set_label(const char *text);

#endif
