// Entry handlers, run when an entry of a module page loses the focus: the
// text becomes a value; a value equal to the module's, with no command of
// its name pending on the page, changes nothing; any other value is stored
// in the edited record, its AT set command queued and the page marked
// edited. No page flag is tested.
//
// Text values never overflow and are never cut: a text whose bytes do not
// fit its record field (non-ASCII names within the entry's character
// limit, a 65-character key, a 100-character server name), or that holds
// a control character (a line end would end the AT command early), is
// refused: the entry gets the edited record's value back, a console line
// says why, and nothing is stored, queued or marked.
#ifndef MODCFG_ENTRY_OUT_H
#define MODCFG_ENTRY_OUT_H

#include "entry_rules.h"

// Texts.
void entry_focus_out_user();     // "WEBU" user
void entry_focus_out_pwd();      // "WEBU" pswd
void entry_focus_out_ap_ssid();  // "WAP" ssid
void entry_focus_out_ap_key();   // "WAKEY" key
void entry_focus_out_sta_ssid(); // "WSSSID"
void entry_focus_out_sta_key();  // "WSKEY" key

// Numbers: the leading integer of the text (0 without digits), clamped
// into the range (entry_number_value); a value outside it puts the bound
// into the entry.
void entry_focus_out_aft();        // framing time 100..10000 ms
void entry_focus_out_afl();        // framing length 16..4096 bytes
void entry_focus_out_netp_tcpto(); // TCP time-out 0..600 s
void entry_focus_out_netp_maxsk(); // TCP connections 1..32
// Port: the leading integer's low 16 bits; the entry is not rewritten.
void entry_focus_out_netp_port();

// Server address: a dotted address, else a host name. Prints the text,
// the parse result and (for an address) the four bytes.
void entry_focus_out_netp_ip();

// Dotted addresses. A rejected text is replaced by the edited record's
// address, nothing is queued, and the page is still marked edited.
void entry_focus_out_lan_ip();   // "LANN" ipadd
void entry_focus_out_lan_mask(); // "LANN" ipmask
void entry_focus_out_lan_gw();   // "DHCPGW"
void entry_focus_out_wan_ip();   // "WANN" ipadd
void entry_focus_out_wan_mask(); // "WANN" ipmask
void entry_focus_out_wan_gw();   // "WANN" gateway

// The STA MAC entry only displays: does nothing.
void entry_focus_out_sta_mac();

#endif
