// Pending-command tables: the AT set commands built from the edited records,
// one entry per command name and page, and their console listing.
#include "command.h"

#include <cstdio>
#include <cstring>
#include <string>

STRCOMMAND strcommand_mod[10];
STRCOMMAND strcommand_comm[10];
STRCOMMAND strcommand_ap[10];
STRCOMMAND strcommand_sta[10];
int cmd_num_mod;
int cmd_num_comm;
int cmd_num_ap;
int cmd_num_sta;

namespace {

constexpr int table_size = sizeof strcommand_mod / sizeof strcommand_mod[0];
constexpr int value_slots = sizeof STRCOMMAND::value / sizeof STRCOMMAND::value[0];

bool is(const char *item, const char *name) { return std::strcmp(item, name) == 0; }

// Entries in use of table `type`, clamped to the table.
int in_use(int type)
{
    const int *count = cmd_count(type);
    if (!count || *count < 0)
        return 0;
    return *count < table_size ? *count : table_size;
}

// The entry a builder works on: the existing one, or a new one named
// `name` at the end of the table (*created set). The caller fills a new
// entry, then commit() counts it. nullptr only if the table were full,
// which one entry per name never allows.
STRCOMMAND *entry_for(const char *name, int type, bool *created)
{
    int i = find_cmd(name, type);
    *created = i < 0;
    if (i >= 0)
        return &cmd_table(type)[i];
    int n = in_use(type);
    if (n >= table_size)
        return nullptr;
    STRCOMMAND *e = &cmd_table(type)[n];
    text_set(e->cmd, name);
    return e;
}

void commit(int type) { *cmd_count(type) = in_use(type) + 1; }

void code_set_text(cmd_arg &ret, const code_set &set, int code)
{
    text_set(ret, code_text(set, code));
}

// Server of a NETP entry: the address when bip says so, else the name.
void netp_server(cmd_arg &ret)
{
    if (strMODComm_up.bip == 1)
        cmd_net_ip_set(ret, strMODComm_up.ipadd);
    else
        text_set(ret, strMODComm_up.hostname);
}

// WAKEY and WSKEY: the key is an argument only while encryption is on, so
// the count and key follow enc_encry after every edit.
template <typename R> void key_cmd(const char *name, int type, const R &rec, const char *item)
{
    bool created;
    STRCOMMAND *e = entry_for(name, type, &created);
    if (!e)
        return;
    if (created || is(item, "auth"))
        cmd_auth_set(e->value[0], rec.enc_auth);
    if (created || is(item, "encry"))
        cmd_encry_set(e->value[1], rec.enc_encry);
    if (rec.enc_encry != ENC_NONE) {
        cmd_key_set(e->value[2], rec.password);
        e->value_num = 3;
    } else {
        e->value_num = 2;
    }
    if (created)
        commit(type);
}

// A one-argument command whose every edit rewrites its argument.
template <typename F> void single_cmd(const char *name, int type, F fill)
{
    bool created;
    STRCOMMAND *e = entry_for(name, type, &created);
    if (!e)
        return;
    fill(e->value[0]);
    if (created) {
        e->value_num = 1;
        commit(type);
    }
}

void decimal(cmd_arg &ret, int v) { std::snprintf(ret, sizeof ret, "%d", v); }

struct builder {
    const char *name;
    void (*build)(const char *item);
};

// Searched in this order; the first exact match runs.
constexpr builder builders[] = {
    {"UART", generate_cmd_uart},     {"UARTF", generate_cmd_uartf},
    {"NETP", generate_cmd_netp},     {"WAP", generate_cmd_wap},
    {"WAKEY", generate_cmd_wakey},   {"WSKEY", generate_cmd_wskey},
    {"WMODE", generate_cmd_wmode},   {"TMODE", generate_cmd_tmode},
    {"WANN", generate_cmd_wann},     {"WEBU", generate_cmd_webu},
    {"UARTFT", generate_cmd_uartft}, {"UARTFL", generate_cmd_uartfl},
    {"TCPTO", generate_cmd_tcpto},   {"MAXSK", generate_cmd_maxsk},
    {"WSSSID", generate_cmd_wsssid}, {"LANN", generate_cmd_lann},
    {"DHCPGW", generate_cmd_dhcpgw},
};

} // namespace

STRCOMMAND *cmd_table(int type)
{
    switch (type) {
    case CMDTYPE_MOD:
        return strcommand_mod;
    case CMDTYPE_COMM:
        return strcommand_comm;
    case CMDTYPE_AP:
        return strcommand_ap;
    case CMDTYPE_STA:
        return strcommand_sta;
    }
    return nullptr;
}

int *cmd_count(int type)
{
    switch (type) {
    case CMDTYPE_MOD:
        return &cmd_num_mod;
    case CMDTYPE_COMM:
        return &cmd_num_comm;
    case CMDTYPE_AP:
        return &cmd_num_ap;
    case CMDTYPE_STA:
        return &cmd_num_sta;
    }
    return nullptr;
}

// Encoders. Codes go through the one table of their set; a code outside
// it (which the records never hold) encodes as code_text's "?".
void cmd_com_baud_set(cmd_arg &ret, int baud) { code_set_text(ret, codes_baudrate, baud); }
void cmd_com_data_set(cmd_arg &ret, int data) { code_set_text(ret, codes_combits, data); }
void cmd_com_stop_set(cmd_arg &ret, int stop) { code_set_text(ret, codes_comstopbits, stop); }
void cmd_com_parity_set(cmd_arg &ret, int parity)
{
    code_set_text(ret, codes_comparity, parity);
}
void cmd_com_fc_set(cmd_arg &ret, int fc) { code_set_text(ret, codes_comfc, fc); }
void cmd_com_uartf_set(cmd_arg &ret, int bfa) { code_set_text(ret, codes_comaf, bfa); }
void cmd_net_mode_set(cmd_arg &ret, int mode) { code_set_text(ret, codes_netmode, mode); }
void cmd_net_prot_set(cmd_arg &ret, int prot) { code_set_text(ret, codes_netprot, prot); }
void cmd_net_port_set(cmd_arg &ret, unsigned short port) { decimal(ret, port); }
void cmd_net_ip_set(cmd_arg &ret, const unsigned char ip[4])
{
    std::snprintf(ret, sizeof ret, "%d.%d.%d.%d", ip[0], ip[1], ip[2], ip[3]);
}
void cmd_ap_mode_set(cmd_arg &ret, int mode) { code_set_text(ret, codes_apstd, mode); }
void cmd_ap_ssid_set(cmd_arg &ret, const char *ssid) { text_set(ret, ssid); }
void cmd_ap_ch_set(cmd_arg &ret, int ch) { code_set_text(ret, codes_apch, ch); }
void cmd_auth_set(cmd_arg &ret, int auth) { code_set_text(ret, codes_encauth, auth); }
void cmd_encry_set(cmd_arg &ret, int encry) { code_set_text(ret, codes_encenc, encry); }
void cmd_key_set(cmd_arg &ret, const char *key) { text_set(ret, key); }

void generate_cmd_uart(const char *item)
{
    const _MOD_COMM_STRUCT &r = strMODComm_up;
    bool created;
    STRCOMMAND *e = entry_for("UART", CMDTYPE_COMM, &created);
    if (!e)
        return;
    // On the wire stop bits come before parity.
    if (created || is(item, "baud"))
        cmd_com_baud_set(e->value[0], r.baud);
    if (created || is(item, "data"))
        cmd_com_data_set(e->value[1], r.data_bits);
    if (created || is(item, "stop"))
        cmd_com_stop_set(e->value[2], r.stop_bits);
    if (created || is(item, "parity"))
        cmd_com_parity_set(e->value[3], r.parity);
    if (created || is(item, "fc"))
        cmd_com_fc_set(e->value[4], r.fc);
    if (created) {
        e->value_num = 5;
        commit(CMDTYPE_COMM);
    }
}

void generate_cmd_uartf(const char *)
{
    single_cmd("UARTF", CMDTYPE_COMM,
               [](cmd_arg &v) { cmd_com_uartf_set(v, strMODComm_up.bAF); });
}

void generate_cmd_uartft(const char *)
{
    single_cmd("UARTFT", CMDTYPE_COMM, [](cmd_arg &v) { decimal(v, strMODComm_up.AFT); });
}

void generate_cmd_uartfl(const char *)
{
    single_cmd("UARTFL", CMDTYPE_COMM, [](cmd_arg &v) { decimal(v, strMODComm_up.AFL); });
}

void generate_cmd_netp(const char *item)
{
    const _MOD_COMM_STRUCT &r = strMODComm_up;
    bool created;
    STRCOMMAND *e = entry_for("NETP", CMDTYPE_COMM, &created);
    if (!e)
        return;
    if (created || is(item, "prot"))
        cmd_net_prot_set(e->value[0], r.protocol);
    if (created || is(item, "mode"))
        cmd_net_mode_set(e->value[1], r.mode);
    if (created || is(item, "port"))
        cmd_net_port_set(e->value[2], r.port);
    if (created || is(item, "ipadd"))
        netp_server(e->value[3]);
    if (created) {
        e->value_num = 4;
        commit(CMDTYPE_COMM);
    }
}

void generate_cmd_tcpto(const char *)
{
    single_cmd("TCPTO", CMDTYPE_COMM, [](cmd_arg &v) { decimal(v, strMODComm_up.TCPto); });
}

void generate_cmd_maxsk(const char *)
{
    single_cmd("MAXSK", CMDTYPE_COMM, [](cmd_arg &v) { decimal(v, strMODComm_up.maxsk); });
}

void generate_cmd_wmode(const char *)
{
    single_cmd("WMODE", CMDTYPE_MOD, [](cmd_arg &v) {
        code_set_text(v, codes_wifimode,
                      strMODMana_up.wmode == WIFIMODE_AP ? WIFIMODE_AP : WIFIMODE_STA);
    });
}

void generate_cmd_tmode(const char *)
{
    single_cmd("TMODE", CMDTYPE_MOD, [](cmd_arg &v) {
        code_set_text(v, codes_workmode,
                      strMODMana_up.tmode == WORKMODE_TH ? WORKMODE_TH : WORKMODE_AG);
    });
}

void generate_cmd_webu(const char *item)
{
    bool created;
    STRCOMMAND *e = entry_for("WEBU", CMDTYPE_MOD, &created);
    if (!e)
        return;
    bool user = is(item, "user");
    if (created || user)
        text_set(e->value[0], strMODMana_up.user);
    if (created || !user)
        text_set(e->value[1], strMODMana_up.pswd);
    if (created) {
        e->value_num = 2;
        commit(CMDTYPE_MOD);
    }
}

void generate_cmd_wap(const char *item)
{
    const _MOD_AP_STRUCT &r = strMODAP_up;
    bool created;
    STRCOMMAND *e = entry_for("WAP", CMDTYPE_AP, &created);
    if (!e)
        return;
    if (created || is(item, "mode"))
        cmd_ap_mode_set(e->value[0], r.mode);
    if (created || is(item, "ssid"))
        cmd_ap_ssid_set(e->value[1], r.SSID);
    if (created || is(item, "channel"))
        cmd_ap_ch_set(e->value[2], r.channel);
    if (created) {
        e->value_num = 3;
        commit(CMDTYPE_AP);
    }
}

void generate_cmd_wakey(const char *item) { key_cmd("WAKEY", CMDTYPE_AP, strMODAP_up, item); }

void generate_cmd_lann(const char *item)
{
    bool created;
    STRCOMMAND *e = entry_for("LANN", CMDTYPE_AP, &created);
    if (!e)
        return;
    bool ipadd = is(item, "ipadd");
    if (created || ipadd)
        cmd_net_ip_set(e->value[0], strMODAP_up.ipadd);
    if (created || !ipadd)
        cmd_net_ip_set(e->value[1], strMODAP_up.ipmask);
    if (created) {
        e->value_num = 2;
        commit(CMDTYPE_AP);
    }
}

void generate_cmd_dhcpgw(const char *)
{
    single_cmd("DHCPGW", CMDTYPE_AP, [](cmd_arg &v) { cmd_net_ip_set(v, strMODAP_up.dhcpgw); });
}

void generate_cmd_wsssid(const char *)
{
    single_cmd("WSSSID", CMDTYPE_STA, [](cmd_arg &v) { cmd_ap_ssid_set(v, strMODSTA_up.SSID); });
}

void generate_cmd_wskey(const char *item) { key_cmd("WSKEY", CMDTYPE_STA, strMODSTA_up, item); }

void generate_cmd_wann(const char *item)
{
    const _MOD_STA_STRUCT &r = strMODSTA_up;
    bool created;
    STRCOMMAND *e = entry_for("WANN", CMDTYPE_STA, &created);
    if (!e)
        return;
    // Switching between DHCP and static changes the argument count, so
    // "dhcp" rebuilds the entry as a new one would be.
    if (created || is(item, "dhcp")) {
        bool dhcp = r.bDHCP == DHCP_ENABLE;
        code_set_text(e->value[0], codes_dhcp, dhcp ? DHCP_ENABLE : DHCP_DISABLE);
        if (!dhcp) {
            cmd_net_ip_set(e->value[1], r.ipadd);
            cmd_net_ip_set(e->value[2], r.ipmask);
            cmd_net_ip_set(e->value[3], r.dhcpgw);
        }
        e->value_num = dhcp ? 1 : 4;
    } else if (is(item, "ipadd")) {
        cmd_net_ip_set(e->value[1], r.ipadd);
    } else if (is(item, "ipmask")) {
        cmd_net_ip_set(e->value[2], r.ipmask);
    } else if (is(item, "gateway")) {
        cmd_net_ip_set(e->value[3], r.dhcpgw);
    }
    if (created)
        commit(CMDTYPE_STA);
}

int find_cmd(const char *cmd, int type)
{
    const STRCOMMAND *t = cmd_table(type);
    int n = in_use(type);
    for (int i = 0; i < n; i++)
        if (std::strcmp(t[i].cmd, cmd) == 0)
            return i;
    return -1;
}

void printf_command(int type)
{
    const STRCOMMAND *t = cmd_table(type);
    int n = in_use(type);
    for (int i = 0; i < n; i++) {
        // Built whole: a NETP line with a 99-character host name is 124
        // characters long.
        std::string line = "AT+";
        line.append(t[i].cmd, strnlen(t[i].cmd, sizeof t[i].cmd));
        line += '=';
        int args = t[i].value_num < 0 ? 0 : t[i].value_num;
        if (args > value_slots)
            args = value_slots;
        for (int a = 0; a < args; a++) {
            if (a > 0)
                line += ',';
            line.append(t[i].value[a], strnlen(t[i].value[a], sizeof t[i].value[a]));
        }
        std::printf("%s\n", line.c_str());
    }
}

void generate_cmd(const char *cmd, const char *item)
{
    for (const builder &b : builders) {
        if (std::strcmp(cmd, b.name) == 0) {
            b.build(item);
            break;
        }
    }
    std::printf("------------Commands----------------\n");
    for (int type = CMDTYPE_MOD; type <= CMDTYPE_STA; type++)
        printf_command(type);
    std::printf("------------------------------------\n");
}
