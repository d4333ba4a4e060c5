// What every face does with a module, written once: bring it into command
// mode as the connect button does, let it go as a disconnect does, the set
// commands that would give another module its settings, and the rule by
// which a setting read back counts as held.
#ifndef MODCFG_MODULE_SESSION_H
#define MODCFG_MODULE_SESSION_H

#include <string>
#include <vector>

// On strPCCom's open port: command-mode entry (connect_to_module, with its
// console lines), then clear_mod_structs so every page is read afresh, then
// the echo test and "AT+E" when the module echoes. 1 when the module is in
// command mode; 0 when it did not answer (the port is left open for the
// caller to close).
int module_session_enter_serial();
// Ends the module's command mode with "AT+ENTM"; 1 when it acknowledged.
int module_session_leave();

// The query names (without "AT+") of the readers, in the order they send
// them: the 19 settings a module reports.
constexpr int MODULE_QUERY_COUNT = 19;
extern const char *const module_query_names[MODULE_QUERY_COUNT];
// True when `name` is one of them.
bool module_query_known(const std::string &name);

// The set commands, in the window's command-file format, that give a module
// the values of the four edited records: one per writable command, built as
// the pages' edits build them, management first and STA last. The pending
// tables are left empty.
std::vector<std::string> module_setting_commands();

// Read-back of a command-file line "AT+NAME=ARGS": true, with NAME and ARGS,
// when NAME is a query of the readers; false for every other line ("AT+Z",
// "AT+E", "AT+ENTM", "AT+RELD", anything not of that form), which cannot be
// verified.
bool verify_line_target(const std::string &line, std::string *name, std::string *args);
// The module holds what setting NAME was set to when the value it reports
// equals ARGS. Only "WANN=DHCP" may be reported with more after a ",": the
// addresses the module got by DHCP, which the command does not set.
bool verify_value_holds(const std::string &name, const std::string &args, const std::string &value);

#endif
