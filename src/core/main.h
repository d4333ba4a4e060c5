// Process-wide state shared by every part of the tool, the start-up steps
// and the tool's own settings file "set_para.txt".
#ifndef MODCFG_MAIN_H
#define MODCFG_MAIN_H

#include <string>

extern int auto_setting; // 1: apply the command file on every connection
extern char setting_file[30]; // command-file name, relative to "data/"

constexpr const char *SETTING_PARA_FILE = "set_para.txt";
constexpr const char *DEFAULT_SETTING_FILE = "set_file.txt";

// Clears inited and dirty of the four module records.
void clear_mod_structs();
// Loads auto_setting and setting_file from set_para.txt; defaults silently
// when it is missing or unreadable.
void init_setting_para();
// Puts strPCCom into its default selection (COM1, 57600 8N1, closed).
void init_PC_structs();
// Resets records and counters, loads the settings and the PC defaults:
// start-up before the window is built (whose own state is in src/ui).
void init_app_state();

// Writes set_para.txt: "1 " or "0 ", then `name` with no line end. The old
// file is replaced only once the new one is complete. Returns 1, or 0
// after printing why when it could not be written.
int write_setting_para(int auto_flag, const std::string &name);

// The build's own step before the window is built (the network build
// starts its connection thread here; the serial build does nothing).
void build_startup();

#endif
