// Pending-command tables: the AT set commands that a page's edits produced
// and that Confirm sends, one entry per command name and page.
#ifndef MODCFG_COMMAND_H
#define MODCFG_COMMAND_H

#include "module.h"

struct STRCOMMAND {
    char cmd[10];        // command name without "AT+" and "="
    char value[10][100]; // argument texts
    int value_num;       // arguments in use, from value[0]
};

extern STRCOMMAND strcommand_mod[10];
extern STRCOMMAND strcommand_comm[10];
extern STRCOMMAND strcommand_ap[10];
extern STRCOMMAND strcommand_sta[10];
extern int cmd_num_mod;
extern int cmd_num_comm;
extern int cmd_num_ap;
extern int cmd_num_sta;

// Table and count selected by an ENCMDTYPE code; nullptr for another code.
STRCOMMAND *cmd_table(int type);
int *cmd_count(int type);

// Creates or updates the pending entry of command `cmd` from the edited
// record (only the argument `item` names, for an existing entry), then
// prints the listing of all four tables. An unknown name adds nothing.
void generate_cmd(const char *cmd, const char *item);
// Index of the entry named `cmd` in table `type`, or -1.
int find_cmd(const char *cmd, int type);
// Prints the entries of table `type`, one "AT+name=args" line each.
void printf_command(int type);

// Builders, one per command name: create the entry from the edited record,
// or rewrite the argument `item` names in the existing one.
void generate_cmd_uart(const char *item);
void generate_cmd_uartf(const char *item);
void generate_cmd_uartft(const char *item);
void generate_cmd_uartfl(const char *item);
void generate_cmd_netp(const char *item);
void generate_cmd_tcpto(const char *item);
void generate_cmd_maxsk(const char *item);
void generate_cmd_wmode(const char *item);
void generate_cmd_tmode(const char *item);
void generate_cmd_webu(const char *item);
void generate_cmd_wap(const char *item);
void generate_cmd_wakey(const char *item);
void generate_cmd_lann(const char *item);
void generate_cmd_dhcpgw(const char *item);
void generate_cmd_wsssid(const char *item);
void generate_cmd_wskey(const char *item);
void generate_cmd_wann(const char *item);

// Argument encoders, each writing one argument text into an entry's value.
// A code outside its set writes "?" (see code_text).
using cmd_arg = char[sizeof STRCOMMAND::value[0]];
void cmd_com_baud_set(cmd_arg &ret, int baud);     // ENBAUDRATE
void cmd_com_data_set(cmd_arg &ret, int data);     // ENCOMBITS
void cmd_com_stop_set(cmd_arg &ret, int stop);     // ENCOMSTOPBITS
void cmd_com_parity_set(cmd_arg &ret, int parity); // ENCOMPARITY
void cmd_com_fc_set(cmd_arg &ret, int fc);         // ENCOMFLOWCTRL
void cmd_com_uartf_set(cmd_arg &ret, int bfa);     // ENCOMAF
void cmd_net_mode_set(cmd_arg &ret, int mode);     // ENNETMODE
void cmd_net_prot_set(cmd_arg &ret, int prot);     // ENNETPROT
void cmd_net_port_set(cmd_arg &ret, unsigned short port);
void cmd_net_ip_set(cmd_arg &ret, const unsigned char ip[4]); // dotted decimal
void cmd_ap_mode_set(cmd_arg &ret, int mode);  // ENAPSTD
void cmd_ap_ssid_set(cmd_arg &ret, const char *ssid);
void cmd_ap_ch_set(cmd_arg &ret, int ch);      // ENAPCH
void cmd_auth_set(cmd_arg &ret, int auth);     // ENENCAUTH
void cmd_encry_set(cmd_arg &ret, int encry);   // ENENCENC_WPAPSK
void cmd_key_set(cmd_arg &ret, const char *key);

#endif
