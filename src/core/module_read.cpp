// Readers: the queries of each module page, their replies taken apart and
// converted through the code tables into the page's module record.
#include "module_read.h"

#include "module.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// One query value, whole, with its zero byte. Reply and item buffers are
// both this size so that the longest value (a WSKEY with a 64-character key,
// a NETP with a long host name) is never cut before it reaches its field.
using value_buf = char[AT_VALUE_MAX + 1];

// A query whose failure is named on the console: the reader goes on, and
// its page would otherwise show an old value without a word.
int ask(const char *cmd, char *ret)
{
    if (module_send_cmd_get(cmd, ret))
        return 1;
    std::printf("No answer from the module to %s\n", cmd);
    std::fflush(stdout);
    return 0;
}

// A list-valued query received into a reader's reply buffer. A failed query
// leaves the buffer as it was, so the previous value is converted again.
struct reply_list {
    value_buf text = "";
    int len = 0;
    int pos = 0;

    void query(const char *cmd)
    {
        ask(cmd, text);
        text[AT_VALUE_MAX] = '\0'; // whatever the transport left there
        len = static_cast<int>(std::strlen(text));
        pos = 0;
    }
    // Next item into the item buffer; empty once the value is used up.
    const char *next(value_buf &item)
    {
        get_list_item(text, len, &pos, item);
        return item;
    }
};

// A value used whole, into `field`: a failed query leaves the field as it
// was; a value longer than the field is cut to whole characters.
template <size_t N> void query_text(const char *cmd, char (&field)[N])
{
    value_buf v;
    if (ask(cmd, v)) {
        v[AT_VALUE_MAX] = '\0';
        text_set(field, v);
    }
}

// A number used whole; a failed query leaves the field as it was.
void query_int(const char *cmd, int &field)
{
    value_buf v;
    if (ask(cmd, v)) {
        v[AT_VALUE_MAX] = '\0';
        field = value_to_int(v);
    }
}

// The two-valued fields: `equal` when the text is that code's module text,
// `otherwise` for any other text.
signed char two_valued(const code_set &set, const char *text, int equal, int otherwise)
{
    return static_cast<signed char>(std::strcmp(text, code_text(set, equal)) == 0 ? equal
                                                                                   : otherwise);
}

signed char code_or(const code_set &set, const char *text, int fallback)
{
    return static_cast<signed char>(code_from_text(set, text, fallback));
}

} // namespace

void get_list_item(const char *cin, int len, int *p, char *cout, size_t cap)
{
    // A zero byte before len ends the value: nothing past it is read.
    len = len > 0 ? static_cast<int>(strnlen(cin, len)) : 0;
    int start = *p;
    int end = start;
    if (start >= 0 && start < len) {
        while (end < len && cin[end] != ',')
            end++;
    } else {
        start = end = 0;
    }
    text_copy(cout, cap, std::string(cin + start, end - start).c_str());
    *p += (end - start) + 1;
}

void init_modcom_baud(const char *item)
{
    strMODComm.baud = code_or(codes_baudrate, item, BAUDRATE_57600);
}

void init_modcom_data(const char *item)
{
    strMODComm.data_bits = code_or(codes_combits, item, COMBITS_8);
}

void init_modcom_stop(const char *item)
{
    strMODComm.stop_bits = code_or(codes_comstopbits, item, COMSTOPBITS_1);
}

void init_modcom_parity(const char *item)
{
    strMODComm.parity = code_or(codes_comparity, item, COMPARITY_NONE);
}

void init_modcom_fc(const char *item)
{
    strMODComm.fc = code_or(codes_comfc, item, COMFC_DIS);
}

void init_ap_channel(const char *item)
{
    strMODAP.channel = code_or(codes_apch, item, APCH_AUTO);
}

void init_wifi_auth(const char *item, signed char *ret)
{
    *ret = code_or(codes_encauth, item, WIFIAUTH_OPEN);
}

void init_wifi_encry(const char *item, signed char *ret)
{
    int code = code_find(codes_encenc, item);
    if (code >= 0)
        *ret = static_cast<signed char>(code);
}

int value_to_int(const char *text)
{
    const char *s = text;
    while (std::isspace(static_cast<unsigned char>(*s)))
        s++;
    bool neg = false;
    if (*s == '+' || *s == '-')
        neg = *s++ == '-';
    // Accumulate as a negative number: INT_MIN has no positive twin.
    long long v = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        v = v * 10 - (*s - '0');
        if (v < INT_MIN)
            return neg ? INT_MIN : INT_MAX;
    }
    if (neg)
        return static_cast<int>(v);
    return v < -INT_MAX ? INT_MAX : static_cast<int>(-v);
}

int string_to_ip(const char *t, unsigned char *add)
{
    int v[4] = {0, 0, 0, 0};
    int group = 0;
    int digits = 0;
    for (const char *s = t;; s++) {
        char c = *s;
        bool digit = c >= '0' && c <= '9';
        if (group < 3) {
            if (digit) {
                if (digits == 3)
                    return 0;
                v[group] = v[group] * 10 + (c - '0');
                digits++;
                if (v[group] > 255)
                    return 0;
            } else if (c == '.' && digits > 0) {
                group++;
                digits = 0;
            } else {
                return 0;
            }
        } else if (digit) {
            v[3] = v[3] * 10 + (c - '0');
            digits++;
            if (v[3] > 255)
                return 0;
            if (digits == 4)
                break;
        } else if ((c == '.' || c == '\0') && digits > 0) {
            break;
        } else {
            return 0;
        }
    }
    for (int i = 0; i < 4; i++)
        add[i] = static_cast<unsigned char>(v[i]);
    return 1;
}

void init_module_mana_struct()
{
    _MOD_MANA_STRUCT &r = strMODMana;
    reply_list reply;
    value_buf item;

    query_text("AT+MID", r.mid);
    reply.query("AT+WMODE");
    r.wmode = two_valued(codes_wifimode, reply.text, WIFIMODE_STA, WIFIMODE_AP);
    reply.query("AT+TMODE");
    r.tmode = two_valued(codes_workmode, reply.text, WORKMODE_AG, WORKMODE_TH);
    reply.query("AT+WEBU");
    text_set(r.user, reply.next(item));
    text_set(r.pswd, reply.next(item));
    query_text("AT+VER", r.mver);

    r.dirty = 0;
    r.inited = 1;
    copy_module_mana_struct_up();
}

void init_module_comm_struct()
{
    _MOD_COMM_STRUCT &r = strMODComm;
    reply_list reply;
    value_buf item;

    // The module lists stop bits before parity.
    reply.query("AT+UART");
    init_modcom_baud(reply.next(item));
    init_modcom_data(reply.next(item));
    init_modcom_stop(reply.next(item));
    init_modcom_parity(reply.next(item));
    init_modcom_fc(reply.next(item));

    value_buf v;
    if (ask("AT+UARTF", v)) {
        v[AT_VALUE_MAX] = '\0';
        r.bAF = two_valued(codes_comaf, v, COMAF_DIS, COMAF_EN);
    }
    query_int("AT+UARTFT", r.AFT);
    query_int("AT+UARTFL", r.AFL);

    reply.query("AT+NETP");
    r.protocol = two_valued(codes_netprot, reply.next(item), NETPROT_TCP, NETPROT_UDP);
    r.mode = two_valued(codes_netmode, reply.next(item), NETMODE_SERVER, NETMODE_CLIENT);
    // The port keeps the low 16 bits, as the module's own parser does.
    r.port = static_cast<unsigned short>(static_cast<unsigned>(value_to_int(reply.next(item))));
    reply.next(item);
    if (string_to_ip(item, r.ipadd)) {
        r.bip = 1;
    } else {
        r.bip = 0;
        text_set(r.hostname, item);
    }

    query_int("AT+MAXSK", r.maxsk);
    query_int("AT+TCPTO", r.TCPto);

    r.dirty = 0;
    r.inited = 1;
    copy_module_comm_struct_up();
}

void init_module_ap_struct()
{
    _MOD_AP_STRUCT &r = strMODAP;
    reply_list reply;
    value_buf item;

    reply.query("AT+WAP");
    r.mode = code_or(codes_apstd, reply.next(item), APSTD_11BGN);
    text_set(r.SSID, reply.next(item));
    init_ap_channel(reply.next(item));

    reply.query("AT+WAKEY");
    init_wifi_auth(reply.next(item), &r.enc_auth);
    init_wifi_encry(reply.next(item), &r.enc_encry);
    text_set(r.password, reply.next(item));

    // A rejected address leaves that field as it was.
    reply.query("AT+LANN");
    string_to_ip(reply.next(item), r.ipadd);
    string_to_ip(reply.next(item), r.ipmask);

    reply.query("AT+DHCPGW");
    string_to_ip(reply.text, r.dhcpgw);

    // The module's DHCP server is not queried.
    r.bDHCP = DHCP_ENABLE;
    r.dirty = 0;
    r.inited = 1;
    copy_module_ap_struct_up();
}

void init_module_sta_struct()
{
    _MOD_STA_STRUCT &r = strMODSTA;
    reply_list reply;
    value_buf item;

    // The SSID is used whole here: a comma in it stays.
    query_text("AT+WSSSID", r.SSID);

    reply.query("AT+WSKEY");
    init_wifi_auth(reply.next(item), &r.enc_auth);
    init_wifi_encry(reply.next(item), &r.enc_encry);
    text_set(r.password, reply.next(item));

    reply.query("AT+WANN");
    r.bDHCP = two_valued(codes_dhcp, reply.next(item), DHCP_ENABLE, DHCP_DISABLE);
    if (string_to_ip(reply.next(item), r.ipadd)) {
        string_to_ip(reply.next(item), r.ipmask);
        string_to_ip(reply.next(item), r.dhcpgw);
    } else {
        // DHCP, or a static value without a usable address.
        std::memset(r.ipadd, 0, sizeof r.ipadd);
        std::memset(r.ipmask, 0, sizeof r.ipmask);
        std::memset(r.dhcpgw, 0, sizeof r.dhcpgw);
    }

    r.dirty = 0;
    r.inited = 1;
    copy_module_sta_struct_up();
}
