// Entry handlers: validate an entry's text when it loses the focus and turn
// it into the page's edited value and pending AT set command.
#include "entry_out.h"

#include "command.h"
#include "module.h"
#include "module_read.h"
#include "page_edit.h"
#include "window_pages.h"
#include "window_update.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace
{

// One page's side of an edit: where the pending command goes and who is
// marked when it changes.
struct page {
    int type; // ENCMDTYPE of the page's pending table
    int &dirty;
    GtkWidget *&confirm;
};

page mana_page()
{
    return {CMDTYPE_MOD, strMODMana.dirty, button_mana_confirm};
}
page comm_page()
{
    return {CMDTYPE_COMM, strMODComm.dirty, button_comm_confirm};
}
page ap_page()
{
    return {CMDTYPE_AP, strMODAP.dirty, button_ap_confirm};
}
page sta_page()
{
    return {CMDTYPE_STA, strMODSTA.dirty, button_sta_confirm};
}

// The entry's text as a copy: rewriting the entry frees the entry's own.
std::string entry_text(GtkWidget *entry)
{
    return gtk_entry_get_text(GTK_ENTRY(entry));
}

void set_entry_text(GtkWidget *entry, const std::string &text)
{
    gtk_entry_set_text(GTK_ENTRY(entry), text.c_str());
}

std::string dotted(const unsigned char *a)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
    return buf;
}

// Unchanged: equal to the module's value and no command of its name pending.
bool unchanged(bool equal_to_module, const char *cmd, const page &p)
{
    return equal_to_module && find_cmd(cmd, p.type) == -1;
}

void queue(const char *cmd, const char *item, const page &p)
{
    generate_cmd(cmd, item);
    mark_page_edited(p.dirty, p.confirm);
}

// False, after printing why, when `text` cannot be stored whole in a field
// of `cap` bytes or carries a control character, which would end or split
// the AT command it goes into.
bool text_acceptable(const std::string &text, size_t cap, const char *what)
{
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            std::printf("Refused %s: control characters are not allowed\n", what);
            return false;
        }
    }
    if (!text_fits(cap, text.c_str())) {
        std::printf("Refused %s: %zu bytes, at most %zu fit\n", what, text.size(), cap - 1);
        return false;
    }
    return true;
}

// What an entry holding `text` stands for: the module's own bytes while it
// still shows them as the refresh put them (a text that is not UTF-8 is
// shown decoded or repaired, a long one cut), else the text as typed.
std::string entry_value(GtkWidget *entry, const std::string &text, const std::string &module_text)
{
    return text == entry_shown_text(entry, module_text) ? module_text : text;
}

template <size_t N>
void text_entry(GtkWidget *entry, const char (&module_field)[N], char (&edited_field)[N],
                const char *what, const char *cmd, const char *item, const page &p)
{
    const std::string value = entry_value(entry, entry_text(entry), module_field);
    if (unchanged(value == module_field, cmd, p))
        return;
    // The module's bytes fit and go back as they are; only typed text is checked.
    if (value != module_field && !text_acceptable(value, N, what)) {
        set_entry_text(entry, entry_shown_text(entry, edited_field));
        return;
    }
    text_set(edited_field, value.c_str());
    queue(cmd, item, p);
}

void number_entry(GtkWidget *entry, int low, int high, int module_value, int &edited_value,
                  const char *cmd, const char *item, const page &p)
{
    bool clamped = false;
    int value = entry_number_value(entry_text(entry).c_str(), low, high, &clamped);
    if (clamped)
        set_entry_text(entry, std::to_string(value));
    if (unchanged(value == module_value, cmd, p))
        return;
    edited_value = value;
    queue(cmd, item, p);
}

void address_entry(GtkWidget *entry, const unsigned char *module_addr, unsigned char *edited_addr,
                   const char *cmd, const char *item, const page &p)
{
    std::string text = entry_text(entry);
    if (unchanged(text == dotted(module_addr), cmd, p))
        return;
    if (string_to_ip(text.c_str(), edited_addr))
        generate_cmd(cmd, item);
    else
        set_entry_text(entry, dotted(edited_addr));
    // A refused address still marks the page.
    mark_page_edited(p.dirty, p.confirm);
}

std::string server_text(const _MOD_COMM_STRUCT &r)
{
    return r.bip == 1 ? dotted(r.ipadd) : std::string(r.hostname);
}

} // namespace

void entry_focus_out_user()
{
    text_entry(entry_mod_usr, strMODMana.user, strMODMana_up.user, "user name", "WEBU", "user",
               mana_page());
}

void entry_focus_out_pwd()
{
    text_entry(entry_mod_pwd, strMODMana.pswd, strMODMana_up.pswd, "password", "WEBU", "pswd",
               mana_page());
}

void entry_focus_out_ap_ssid()
{
    text_entry(entry_ap_ssid, strMODAP.SSID, strMODAP_up.SSID, "SSID", "WAP", "ssid", ap_page());
}

void entry_focus_out_ap_key()
{
    text_entry(entry_ap_key, strMODAP.password, strMODAP_up.password, "key", "WAKEY", "key",
               ap_page());
}

void entry_focus_out_sta_ssid()
{
    text_entry(entry_sta_ssid, strMODSTA.SSID, strMODSTA_up.SSID, "SSID", "WSSSID", "ssid",
               sta_page());
}

void entry_focus_out_sta_key()
{
    text_entry(entry_sta_key, strMODSTA.password, strMODSTA_up.password, "key", "WSKEY", "key",
               sta_page());
}

void entry_focus_out_aft()
{
    number_entry(entry_modcom_aft, 100, 10000, strMODComm.AFT, strMODComm_up.AFT, "UARTFT", "aft",
                 comm_page());
}

void entry_focus_out_afl()
{
    number_entry(entry_modcom_afl, 16, 4096, strMODComm.AFL, strMODComm_up.AFL, "UARTFL", "afl",
                 comm_page());
}

void entry_focus_out_netp_tcpto()
{
    number_entry(entry_modnet_tcpto, 0, 600, strMODComm.TCPto, strMODComm_up.TCPto, "TCPTO",
                 "tcpto", comm_page());
}

void entry_focus_out_netp_maxsk()
{
    number_entry(entry_modnet_maxsk, 1, 32, strMODComm.maxsk, strMODComm_up.maxsk, "MAXSK", "maxsk",
                 comm_page());
}

void entry_focus_out_netp_port()
{
    // No range: only the low 16 bits are kept (70000 gives 4464, -1 65535).
    unsigned short port = entry_port_value(entry_text(entry_modnet_port).c_str());
    page p = comm_page();
    if (unchanged(port == strMODComm.port, "NETP", p))
        return;
    strMODComm_up.port = port;
    queue("NETP", "port", p);
}

void entry_focus_out_netp_ip()
{
    const std::string module_server = server_text(strMODComm);
    const std::string value =
        entry_value(entry_modnet_ip, entry_text(entry_modnet_ip), module_server);
    page p = comm_page();
    if (unchanged(value == module_server, "NETP", p))
        return;
    std::printf("entry_focus_out_netp_ip: c= %s\n", value.c_str());
    _MOD_COMM_STRUCT &r = strMODComm_up;
    int ret = string_to_ip(value.c_str(), r.ipadd);
    std::printf("entry_focus_out_netp_ip: ret= %d\n", ret);
    if (ret == 1) {
        r.bip = 1;
        std::printf("test ipadd: %d.%d.%d.%d\n", r.ipadd[0], r.ipadd[1], r.ipadd[2], r.ipadd[3]);
    } else {
        // Anything but a dotted address is a host name.
        if (value != module_server &&
            !text_acceptable(value, sizeof r.hostname, "server address")) {
            set_entry_text(entry_modnet_ip, entry_shown_text(entry_modnet_ip, server_text(r)));
            return;
        }
        text_set(r.hostname, value.c_str());
        r.bip = 0;
    }
    queue("NETP", "ipadd", p);
}

void entry_focus_out_lan_ip()
{
    address_entry(entry_lan_ip, strMODAP.ipadd, strMODAP_up.ipadd, "LANN", "ipadd", ap_page());
}

void entry_focus_out_lan_mask()
{
    address_entry(entry_lan_mask, strMODAP.ipmask, strMODAP_up.ipmask, "LANN", "ipmask", ap_page());
}

void entry_focus_out_lan_gw()
{
    address_entry(entry_lan_gateway, strMODAP.dhcpgw, strMODAP_up.dhcpgw, "DHCPGW", "dhcpgw",
                  ap_page());
}

void entry_focus_out_wan_ip()
{
    address_entry(entry_wan_ip, strMODSTA.ipadd, strMODSTA_up.ipadd, "WANN", "ipadd", sta_page());
}

void entry_focus_out_wan_mask()
{
    address_entry(entry_wan_mask, strMODSTA.ipmask, strMODSTA_up.ipmask, "WANN", "ipmask",
                  sta_page());
}

void entry_focus_out_wan_gw()
{
    address_entry(entry_wan_gateway, strMODSTA.dhcpgw, strMODSTA_up.dhcpgw, "WANN", "gateway",
                  sta_page());
}

void entry_focus_out_sta_mac() {}
