// (filled in by a later change)
#include "command.h"

STRCOMMAND strcommand_mod[10];
STRCOMMAND strcommand_comm[10];
STRCOMMAND strcommand_ap[10];
STRCOMMAND strcommand_sta[10];
int cmd_num_mod;
int cmd_num_comm;
int cmd_num_ap;
int cmd_num_sta;
