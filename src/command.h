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

#endif
