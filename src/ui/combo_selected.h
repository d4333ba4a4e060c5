// Selection handlers of the combo boxes: the PC port's selectors store into
// strPCCom; a module page's selectors store into the page's edited record,
// queue the page's AT set command and mark the page edited.
#ifndef MODCFG_COMBO_SELECTED_H
#define MODCFG_COMBO_SELECTED_H

// Option text to value code. Each writes *ret exactly once: the code of the
// first entry equal to `text` (exact, case-sensitive), else the fall-back
// named after it.
void struct_com_device_set(const char *text, signed char *ret); // "COM1".."COM12"; COM1
void struct_com_baud_set(const char *text, signed char *ret);   // "50".."460800"; 57600
void struct_com_data_set(const char *text, signed char *ret);   // "5", "6", "7"; 8 bits
void struct_com_parity_set(const char *text, signed char *ret); // "None".."Space"; None
void struct_ap_channel_set(const char *text, signed char *ret); // "Auto", "Channel n"; Auto
void struct_ap_auth_set(const char *text, signed char *ret);    // "OPEN".."WPA2PSK"; OPEN

// PC serial selectors: store the code in strPCCom and nothing else.
void combo_pccom_device_selected();
void combo_pccom_baud_selected();
void combo_pccom_data_selected();
void combo_pccom_parity_selected();
void combo_pccom_stop_selected();

// Module-page selectors. Each does nothing while its page flag is 0 or its
// combo has no active entry (nothing is stored or queued then).
void combo_modcom_baud_selected();
void combo_modcom_data_selected();
void combo_modcom_parity_selected();
void combo_modcom_stop_selected();
// Also (de)sensitises the framing time and length with their labels.
void combo_modcom_frame_selected();
// Both also apply the address rule: the server address is only asked for
// where the module connects out or talks UDP, the connection count only
// for a TCP server. UDP also disables the role and the TCP time-out.
void combo_modnet_mode_selected();
void combo_modnet_prot_selected();
void combo_modap_wifimode_selected();
void combo_modap_wifich_selected();
// Shows the encryption combo of the new authentication and takes over its
// encryption at once: queues "auth", maybe "key", then "encry".
void combo_modap_wifiauth_selected();
// Reads the encryption combo of the current authentication, whichever one
// sent the signal; a text outside the encryption set keeps the old code.
// Shows the key (and takes the key entry's text over) unless it is NONE.
void combo_modap_wifiencry_selected();
// Stores the LAN DHCP choice only: no AT command carries it.
void combo_modap_dhcp_selected();
void combo_modsta_wifiauth_selected();
void combo_modsta_wifiencry_selected();

#endif
