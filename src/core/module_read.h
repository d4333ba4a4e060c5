// Readers that fill the module records from the module's query replies, and
// the reply splitter and address parser they (and the entry checks) use.
#ifndef MODCFG_MODULE_READ_H
#define MODCFG_MODULE_READ_H

#include <cstddef>

// Each reader sends its page's queries through module_send_cmd_get, fills
// the page's module record whatever the replies (a failed query leaves its
// destination as it was, and prints "No answer from the module to AT+..."),
// sets inited 1 and dirty 0, and copies the record into the edited one.
// Pending-command tables are not touched.
void init_module_mana_struct(); // MID, WMODE, TMODE, WEBU, VER
void init_module_comm_struct(); // UART, UARTF, UARTFT, UARTFL, NETP, MAXSK, TCPTO
void init_module_ap_struct();   // WAP, WAKEY, LANN, DHCPGW; bDHCP set to 0
void init_module_sta_struct();  // WSSSID, WSKEY, WANN

// Takes the item of the comma-separated `cin` (its first `len` characters,
// or up to its zero byte if sooner) that starts at *p into `cout`, then moves
// *p past the item and its comma. An item at or past the end is empty; a
// call past the end still moves *p on by one. At most cap - 1 bytes of the
// item are stored (whole UTF-8 characters); *p skips the whole item even
// when it was cut, so the following items do not shift.
void get_list_item(const char *cin, int len, int *p, char *cout, size_t cap);
template <size_t N> inline void get_list_item(const char *cin, int len, int *p, char (&cout)[N])
{
    get_list_item(cin, len, p, cout, N);
}

// Text-to-code converters into strMODComm; an unknown text stores the
// fall-back code: baud 57600, 8 data bits, 1 stop bit, no parity, NFC.
void init_modcom_baud(const char *item);
void init_modcom_data(const char *item);
void init_modcom_stop(const char *item);
void init_modcom_parity(const char *item);
void init_modcom_fc(const char *item);
// Channel of strMODAP; an unknown text gives Auto.
void init_ap_channel(const char *item);
// Authentication into *ret; an unknown text gives OPEN.
void init_wifi_auth(const char *item, signed char *ret);
// Encryption into *ret; an unknown text leaves *ret as it was.
void init_wifi_encry(const char *item, signed char *ret);

// A reply number: leading blanks, an optional sign, then the leading
// digits; 0 when there are none. Values beyond int saturate at its limits.
int value_to_int(const char *text);

// Strict dotted IPv4: four groups of digits, each at most 255; groups 1 to 3
// have 1 to 3 digits and end in "."; group 4 has 1 to 4 digits and ends at
// the end of the text, at a "." or after its fourth digit (what follows is
// not examined). Leading zeros are allowed. Returns 1 and stores the four
// bytes in text order into add, or 0 with add untouched.
int string_to_ip(const char *t, unsigned char *add);

#endif
