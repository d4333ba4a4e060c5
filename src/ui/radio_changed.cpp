// Radio-button handlers: the pressed button's value goes into the edited
// record and the page's AT set command is queued.
#include "radio_changed.h"

#include "command.h"
#include "main.h"
#include "module.h"
#include "page_edit.h"
#include "window_pages.h"
#include "window_state.h"

#include <initializer_list>

namespace
{

// True when the press was taken (the page is filled).
bool radio_select(int page_flag, signed char &field, int code, const char *cmd, const char *item,
                  int &dirty, GtkWidget *confirm)
{
    if (page_flag == 0)
        return false;
    field = static_cast<signed char>(code);
    generate_cmd(cmd, item);
    mark_page_edited(dirty, confirm);
    return true;
}

bool mana_select(signed char &field, int code, const char *cmd, const char *item)
{
    return radio_select(page_mana_shown, field, code, cmd, item, strMODMana.dirty,
                        button_mana_confirm);
}

// The static WAN addresses are only editable without DHCP; the record
// keeps them either way.
void wan_select(int code)
{
    if (!radio_select(page_sta_shown, strMODSTA_up.bDHCP, code, "WANN", "dhcp", strMODSTA.dirty,
                      button_sta_confirm))
        return;
    gboolean on = strMODSTA_up.bDHCP == DHCP_ENABLE ? FALSE : TRUE;
    for (GtkWidget *w : {entry_wan_ip, entry_wan_mask, entry_wan_gateway})
        gtk_widget_set_sensitive(w, on);
}

} // namespace

void radio_ap_mode_changed()
{
    mana_select(strMODMana_up.wmode, WIFIMODE_AP, "WMODE", "ap");
}

void radio_sta_mode_changed()
{
    mana_select(strMODMana_up.wmode, WIFIMODE_STA, "WMODE", "sta");
}

void radio_TH_mode_changed()
{
    mana_select(strMODMana_up.tmode, WORKMODE_TH, "TMODE", "th");
}

void radio_AG_mode_changed()
{
    mana_select(strMODMana_up.tmode, WORKMODE_AG, "TMODE", "ag");
}

void radio_sta_dhcp_changed()
{
    wan_select(DHCP_ENABLE);
}

void radio_sta_static_changed()
{
    wan_select(DHCP_DISABLE);
}
