// Radio-button handlers, run on "pressed": the button fixes the value,
// whichever button is active on screen.
#ifndef MODCFG_RADIO_CHANGED_H
#define MODCFG_RADIO_CHANGED_H

// Management page: Wi-Fi role and data mode. Nothing happens while
// page_mana_shown is 0.
void radio_ap_mode_changed();
void radio_sta_mode_changed();
void radio_TH_mode_changed();
void radio_AG_mode_changed();
// STA page: WAN address by DHCP (the static address entries become
// insensitive) or static (sensitive). Nothing happens while page_sta_shown
// is 0.
void radio_sta_dhcp_changed();
void radio_sta_static_changed();

#endif
