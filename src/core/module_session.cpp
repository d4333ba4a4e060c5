// Connect and release, the export of the edited records as set commands,
// and the read-back rule: the parts of a module session both faces share.
#include "module_session.h"

#include "cmd_file.h"
#include "command.h"
#include "main.h"
#include "module.h"
#include "module_at.h"

const char *const module_query_names[MODULE_QUERY_COUNT] = {
    "MID",   "WMODE", "TMODE", "WEBU",  "VER",  "UART",   "UARTF",  "UARTFT", "UARTFL", "NETP",
    "MAXSK", "TCPTO", "WAP",   "WAKEY", "LANN", "DHCPGW", "WSSSID", "WSKEY",  "WANN"};

int module_session_enter_serial()
{
    if (connect_to_module() != 1)
        return 0;
    clear_mod_structs();
    if (module_echo() == 1)
        module_send_cmd_set("AT+E");
    return 1;
}

int module_session_leave()
{
    return module_send_cmd_set("AT+ENTM");
}

bool module_query_known(const std::string &name)
{
    for (const char *q : module_query_names)
        if (name == q)
            return true;
    return false;
}

std::vector<std::string> module_setting_commands()
{
    // A builder given a name not yet pending creates the whole entry from
    // the edited record, whatever the item; so each builder once, on empty
    // tables, yields every writable setting as a page's first edit would.
    static void (*const builders[])(const char *) = {
        generate_cmd_wmode, generate_cmd_tmode,  generate_cmd_webu,   generate_cmd_uart,
        generate_cmd_uartf, generate_cmd_uartft, generate_cmd_uartfl, generate_cmd_netp,
        generate_cmd_maxsk, generate_cmd_tcpto,  generate_cmd_wap,    generate_cmd_wakey,
        generate_cmd_lann,  generate_cmd_dhcpgw, generate_cmd_wsssid, generate_cmd_wskey,
        generate_cmd_wann};
    cmd_num_mod = cmd_num_comm = cmd_num_ap = cmd_num_sta = 0;
    for (auto build : builders)
        build("");
    std::vector<std::string> out;
    for (int type = CMDTYPE_MOD; type <= CMDTYPE_STA; type++) {
        for (int i = 0; i < *cmd_count(type); i++)
            out.push_back(cmd_entry_text(cmd_table(type)[i]));
        *cmd_count(type) = 0;
    }
    return out;
}

bool verify_line_target(const std::string &line, std::string *name, std::string *args)
{
    if (line.compare(0, 3, "AT+") != 0)
        return false;
    const size_t eq = line.find('=');
    if (eq == std::string::npos)
        return false;
    std::string n = line.substr(3, eq - 3);
    if (!module_query_known(n))
        return false;
    if (name)
        *name = n;
    if (args)
        *args = line.substr(eq + 1);
    return true;
}

bool verify_value_holds(const std::string &name, const std::string &args, const std::string &value)
{
    if (value == args)
        return true;
    return name == "WANN" && args == "DHCP" && value.compare(0, args.size() + 1, "DHCP,") == 0;
}
