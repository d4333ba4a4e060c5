// Module parameter records: the code tables, the bounded text rule and the
// copies between the module and the edited record of each page.
#include "module.h"

#include <array>

_MOD_MANA_STRUCT strMODMana;
_MOD_COMM_STRUCT strMODComm;
_MOD_AP_STRUCT strMODAP;
_MOD_STA_STRUCT strMODSTA;
_MOD_MANA_STRUCT strMODMana_up;
_MOD_COMM_STRUCT strMODComm_up;
_MOD_AP_STRUCT strMODAP_up;
_MOD_STA_STRUCT strMODSTA_up;

namespace {

template <size_t N> constexpr code_set make_set(const std::array<const char *, N> &a)
{
    return code_set{a.data(), static_cast<int>(N)};
}

constexpr std::array<const char *, 20> baudrate_texts = {
    "50",    "75",    "110",   "134",   "150",    "200",    "300",
    "600",   "1200",  "1800",  "2400",  "4800",   "9600",   "19200",
    "38400", "57600", "115200", "230400", "345600", "460800"};
constexpr std::array<const char *, 4> combits_texts = {"5", "6", "7", "8"};
constexpr std::array<const char *, 5> comparity_texts = {"None", "Odd", "Even",
                                                         "Mark", "Space"};
constexpr std::array<const char *, 2> comstopbits_texts = {"1", "2"};
constexpr std::array<const char *, 2> comfc_texts = {"FC", "NFC"};
constexpr std::array<const char *, 2> comaf_texts = {"disable", "enable"};
constexpr std::array<const char *, 2> netmode_texts = {"Server", "Client"};
constexpr std::array<const char *, 2> netprot_texts = {"TCP", "UDP"};
constexpr std::array<const char *, 2> wifimode_texts = {"AP", "STA"};
constexpr std::array<const char *, 2> workmode_texts = {"Through", "Agreement"};
constexpr std::array<const char *, 5> apstd_texts = {"11B", "11G", "11BG", "11N",
                                                     "11BGN"};
constexpr std::array<const char *, 15> apch_texts = {
    "Auto", "CH1", "CH2",  "CH3",  "CH4",  "CH5",  "CH6", "CH7",
    "CH8",  "CH9", "CH10", "CH11", "CH12", "CH13", "CH14"};
constexpr std::array<const char *, 4> encauth_texts = {"OPEN", "SHARED", "WPAPSK",
                                                       "WPA2PSK"};
constexpr std::array<const char *, 6> encenc_texts = {"NONE", "WEP-H", "WEP-A",
                                                      "TKIP", "AES",   "TKIPAES"};
// "Static" is what is sent; a reader takes any text but "DHCP" as static.
constexpr std::array<const char *, 2> dhcp_texts = {"DHCP", "Static"};

} // namespace

const code_set codes_baudrate = make_set(baudrate_texts);
const code_set codes_combits = make_set(combits_texts);
const code_set codes_comparity = make_set(comparity_texts);
const code_set codes_comstopbits = make_set(comstopbits_texts);
const code_set codes_comfc = make_set(comfc_texts);
const code_set codes_comaf = make_set(comaf_texts);
const code_set codes_netmode = make_set(netmode_texts);
const code_set codes_netprot = make_set(netprot_texts);
const code_set codes_wifimode = make_set(wifimode_texts);
const code_set codes_workmode = make_set(workmode_texts);
const code_set codes_apstd = make_set(apstd_texts);
const code_set codes_apch = make_set(apch_texts);
const code_set codes_encauth = make_set(encauth_texts);
const code_set codes_encenc = make_set(encenc_texts);
const code_set codes_dhcp = make_set(dhcp_texts);

const char *code_text(const code_set &set, int code)
{
    if (code < 0 || code >= set.count)
        return "?";
    return set.texts[code];
}

int code_find(const code_set &set, const char *text)
{
    for (int i = 0; i < set.count; i++)
        if (std::strcmp(set.texts[i], text) == 0)
            return i;
    return -1;
}

int code_from_text(const code_set &set, const char *text, int fallback)
{
    int code = code_find(set, text);
    return code < 0 ? fallback : code;
}

bool text_copy(char *dst, size_t cap, const char *src)
{
    if (cap == 0)
        return src[0] == '\0';
    size_t len = std::strlen(src);
    bool whole = len < cap;
    if (!whole) {
        auto continuation = [src](size_t i) {
            return (static_cast<unsigned char>(src[i]) & 0xC0) == 0x80;
        };
        len = cap - 1;
        // Step back over continuation bytes so no character is split. A
        // character has at most three of them: a longer run is no UTF-8,
        // splits no character and must not eat the whole text.
        for (int i = 0; i < 3 && len > 0 && continuation(len); i++)
            len--;
        if (continuation(len))
            len = cap - 1;
    }
    std::memmove(dst, src, len);
    dst[len] = '\0';
    return whole;
}

namespace {

void copy_mana(_MOD_MANA_STRUCT &to, const _MOD_MANA_STRUCT &from)
{
    to.wmode = from.wmode;
    to.tmode = from.tmode;
    text_set(to.user, from.user);
    text_set(to.pswd, from.pswd);
    text_set(to.mid, from.mid);
    text_set(to.mver, from.mver);
}

void copy_comm(_MOD_COMM_STRUCT &to, const _MOD_COMM_STRUCT &from)
{
    to.baud = from.baud;
    to.data_bits = from.data_bits;
    to.stop_bits = from.stop_bits;
    to.parity = from.parity;
    to.fc = from.fc;
    to.bAF = from.bAF;
    to.AFT = from.AFT;
    to.AFL = from.AFL;
    to.protocol = from.protocol;
    to.mode = from.mode;
    to.port = from.port;
    std::memcpy(to.ipadd, from.ipadd, sizeof to.ipadd);
    to.maxsk = from.maxsk;
    to.TCPto = from.TCPto;
    to.bip = from.bip;
    // A target that now names its server by address keeps its old host name.
    if (to.bip == 0)
        text_set(to.hostname, from.hostname);
}

void copy_ap(_MOD_AP_STRUCT &to, const _MOD_AP_STRUCT &from)
{
    to.mode = from.mode;
    text_set(to.SSID, from.SSID);
    to.channel = from.channel;
    to.enc_auth = from.enc_auth;
    to.enc_encry = from.enc_encry;
    text_set(to.password, from.password);
    std::memcpy(to.ipadd, from.ipadd, sizeof to.ipadd);
    std::memcpy(to.ipmask, from.ipmask, sizeof to.ipmask);
    std::memcpy(to.dhcpgw, from.dhcpgw, sizeof to.dhcpgw);
    to.bDHCP = from.bDHCP;
}

void copy_sta(_MOD_STA_STRUCT &to, const _MOD_STA_STRUCT &from)
{
    text_set(to.SSID, from.SSID);
    to.enc_auth = from.enc_auth;
    to.enc_encry = from.enc_encry;
    text_set(to.password, from.password);
    to.bDHCP = from.bDHCP;
    std::memcpy(to.ipadd, from.ipadd, sizeof to.ipadd);
    std::memcpy(to.ipmask, from.ipmask, sizeof to.ipmask);
    std::memcpy(to.dhcpgw, from.dhcpgw, sizeof to.dhcpgw);
}

} // namespace

void copy_module_mana_struct() { copy_mana(strMODMana, strMODMana_up); }
void copy_module_mana_struct_up() { copy_mana(strMODMana_up, strMODMana); }
void copy_module_comm_struct() { copy_comm(strMODComm, strMODComm_up); }
void copy_module_comm_struct_up() { copy_comm(strMODComm_up, strMODComm); }
void copy_module_ap_struct() { copy_ap(strMODAP, strMODAP_up); }
void copy_module_ap_struct_up() { copy_ap(strMODAP_up, strMODAP); }
void copy_module_sta_struct() { copy_sta(strMODSTA, strMODSTA_up); }
void copy_module_sta_struct_up() { copy_sta(strMODSTA_up, strMODSTA); }
