// Button handlers shared by both builds (restart and reset are per build):
// they read the widgets, call the core and set the widgets.
#include "button_clicked.h"

#include "cmd_file.h"
#include "command.h"
#include "lang.h"
#include "main.h"
#include "module.h"
#include "module_at.h"
#include "module_read.h"
#include "module_session.h"
#include "pccom.h"
#include "pccom_watch.h"
#include "window.h"
#include "window_state.h"
#include "window_update.h"

#include <cstdio>
#include <string>

namespace
{

// The network build has no serial selectors or connect button.
void set_sensitive(GtkWidget *widget, gboolean on)
{
    if (widget)
        gtk_widget_set_sensitive(widget, on);
}

void progress(const char *text)
{
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// After a restart or reset the read and apply buttons stay sensitive while
// no module is connected; talking to no port would only hang the window.
bool module_connected()
{
    if (strPCCom.bopened != 0)
        return true;
    std::printf("No module connected\n");
    return false;
}

std::string command_file_name()
{
    return entry_setting_file ? gtk_entry_get_text(GTK_ENTRY(entry_setting_file)) : setting_file;
}

// The four Confirm/Cancel pairs differ only in what they work on.
struct page_ops {
    int type;                  // ENCMDTYPE: pending table and temporary file
    int *dirty;                // of the module record
    void (*to_module)();       // edited record into module record
    void (*to_edited)();       // module record into edited record
    void (*refresh)();         // page widgets from the edited record
    GtkWidget *const *confirm; // the page's Confirm button
};

// Indexed by ENCMDTYPE.
const page_ops pages[] = {
    {CMDTYPE_MOD, &strMODMana.dirty, copy_module_mana_struct, copy_module_mana_struct_up,
     update_mana_widgets, &button_mana_confirm},
    {CMDTYPE_COMM, &strMODComm.dirty, copy_module_comm_struct, copy_module_comm_struct_up,
     update_comm_widgets, &button_comm_confirm},
    {CMDTYPE_AP, &strMODAP.dirty, copy_module_ap_struct, copy_module_ap_struct_up,
     update_ap_widgets, &button_ap_confirm},
    {CMDTYPE_STA, &strMODSTA.dirty, copy_module_sta_struct, copy_module_sta_struct_up,
     update_sta_widgets, &button_sta_confirm},
};

void page_confirm(const page_ops &page)
{
    const int confirmed = confirm_pending_commands(page.type);
    // A console piped into a log must show the whole listing now.
    std::fflush(stdout);
    // The temporary file could not be written: nothing was sent, and the
    // edits stay pending so the operator can try again.
    if (!confirmed)
        return;
    page.to_module();
    page.refresh();
    *page.dirty = 0;
    set_sensitive(button_setting_save, TRUE);
    set_sensitive(*page.confirm, FALSE);
}

void page_cancel(const page_ops &page)
{
    page.to_edited();
    page.refresh();
    *cmd_count(page.type) = 0;
    *page.dirty = 0;
    set_sensitive(*page.confirm, FALSE);
}

void pccom_port_gone();

void pccom_connect()
{
    init_pccom();
    if (strPCCom.fd == 0)
        return;
    if (module_session_enter_serial() != 1) {
        pccom_close();
        return;
    }
    pccom_selectors_set_sensitive(FALSE);
    if (auto_setting == 0) {
        set_sensitive(button_setting_read, TRUE);
        set_sensitive(button_setting_down, TRUE);
    }
    strPCCom.bopened = 1;
    pccom_watch_start(strPCCom.fd, pccom_port_gone);
    pccom_open_set_label(text_button_disconnect);
    // The module is configured before the lamp says it is ready.
    if (auto_setting == 1)
        button_setting_down_clicked();
    set_lamp(1);
}

// The port is closed and the window shows no module connected. The tables
// keep their entries but no longer count: the next module starts with
// nothing pending, and its pages ignore their own filling.
void pccom_link_down()
{
    pccom_close();
    set_sensitive(frame_module, FALSE);
    pccom_selectors_set_sensitive(TRUE);
    set_sensitive(button_setting_read, FALSE);
    set_sensitive(button_setting_save, FALSE);
    set_sensitive(button_setting_down, FALSE);
    strPCCom.bopened = 0;
    pccom_open_set_label(text_button_connect);
    page_mana_shown = page_comm_shown = page_ap_shown = page_sta_shown = 0;
    cmd_num_mod = cmd_num_comm = cmd_num_ap = cmd_num_sta = 0;
    set_lamp(2);
}

void pccom_disconnect()
{
    module_session_leave();
    pccom_link_down();
}

// The device went away under the open port (adapter unplugged): there is
// no module left to send "AT+ENTM" to.
void pccom_port_gone()
{
    std::printf("The serial port went away (adapter unplugged?): disconnected\n");
    std::fflush(stdout);
    pccom_link_down();
}

} // namespace

void pccom_close()
{
    // Before the close: the descriptor's number is free for reuse after it.
    pccom_watch_stop();
    CommClose(strPCCom.fd);
    // A closed descriptor's number is soon reused (a file, the X connection);
    // 0 keeps a later stray exchange from writing into it.
    strPCCom.fd = 0;
}

void pccom_selectors_set_sensitive(gboolean on)
{
    for (GtkWidget *w : {combo_pccom_device, combo_pccom_baud, combo_pccom_data, combo_pccom_parity,
                         combo_pccom_stop})
        set_sensitive(w, on);
}

void pccom_open_set_label(const char *text)
{
    if (button_pccom_open)
        gtk_button_set_label(GTK_BUTTON(button_pccom_open), ui_text(text).get());
}

void button_pccom_start_clicked()
{
    if (strPCCom.bopened == 0)
        pccom_connect();
    else
        pccom_disconnect();
}

void button_mana_confirm_clicked()
{
    page_confirm(pages[CMDTYPE_MOD]);
}
void button_mana_cancel_clicked()
{
    page_cancel(pages[CMDTYPE_MOD]);
}
void button_comm_confirm_clicked()
{
    page_confirm(pages[CMDTYPE_COMM]);
}
void button_comm_cancel_clicked()
{
    page_cancel(pages[CMDTYPE_COMM]);
}
void button_ap_confirm_clicked()
{
    page_confirm(pages[CMDTYPE_AP]);
}
void button_ap_cancel_clicked()
{
    page_cancel(pages[CMDTYPE_AP]);
}
void button_sta_confirm_clicked()
{
    page_confirm(pages[CMDTYPE_STA]);
}
void button_sta_cancel_clicked()
{
    page_cancel(pages[CMDTYPE_STA]);
}

void button_setting_read_clicked()
{
    if (!module_connected())
        return;
    progress("Read the Module Setting...");
    init_module_mana_struct();
    update_mana_widgets();
    progress("...");
    init_module_comm_struct();
    update_comm_widgets();
    progress("...");
    init_module_ap_struct();
    update_ap_widgets();
    progress("...");
    init_module_sta_struct();
    update_sta_widgets();
    progress("OK!\n");
    set_sensitive(frame_module, TRUE);
}

void button_setting_save_clicked()
{
    save_command_file(command_file_name());
    std::fflush(stdout);
}

void button_setting_down_clicked()
{
    if (!module_connected())
        return;
    apply_command_file(command_file_name());
    std::fflush(stdout);
}

void button_setting_auto_clicked()
{
    auto_setting = auto_setting == 0 ? 1 : 0;
    save_setting_file();
    const gboolean offered = auto_setting == 1 ? FALSE : TRUE;
    for (GtkWidget *w :
         {button_setting_read, button_setting_save, button_setting_down, entry_setting_file})
        set_sensitive(w, offered);
}

void save_setting_file()
{
    write_setting_para(auto_setting, command_file_name());
}
