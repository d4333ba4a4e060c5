// Factory defaults and set-command checks of the emulated module.
#include "store.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace sim
{

const std::array<const char *, setting_count> setting_names = {
    "MID",   "WMODE", "TMODE", "WEBU",  "VER",  "UART",   "UARTF",  "UARTFT", "UARTFL", "NETP",
    "MAXSK", "TCPTO", "WAP",   "WAKEY", "LANN", "DHCPGW", "WSSSID", "WSKEY",  "WANN"};

namespace
{

const std::array<const char *, setting_count> factory = {
    "QX-B27",
    "AP",
    "Through",
    "admin,admin",
    "V1.0.7",
    "57600,8,1,None,NFC",
    "disable",
    "200",
    "512",
    "TCP,Server,8899,10.10.100.100",
    "32",
    "300",
    "11BGN,QX-B27_AP,Auto",
    "OPEN,NONE",
    "10.10.100.254,255.255.255.0",
    "10.10.100.254",
    "QX-B27_STA",
    "OPEN,NONE",
    "DHCP",
};

using args_t = std::vector<std::string>;

args_t split(const std::string &text)
{
    args_t out(1);
    for (char c : text) {
        if (c == ',')
            out.emplace_back();
        else
            out.back() += c;
    }
    return out;
}

bool one_of(const std::string &text, std::initializer_list<const char *> texts)
{
    return std::any_of(texts.begin(), texts.end(), [&](const char *t) { return text == t; });
}

// Decimal digits only (no sign, no blanks), at most five, within [lo, hi].
bool number_in(const std::string &text, long lo, long hi)
{
    if (text.empty() || text.size() > 5)
        return false;
    long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    return v >= lo && v <= hi;
}

// Strict dotted quad: four groups of one to three digits, each up to 255,
// nothing before or after. Leading zeros are allowed; `canon` gets the
// address without them, as the module reports it.
bool address(const std::string &text, uint32_t &addr, std::string &canon)
{
    args_t groups;
    std::string cur;
    for (char c : text) {
        if (c == '.') {
            groups.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    groups.push_back(cur);
    if (groups.size() != 4)
        return false;
    addr = 0;
    canon.clear();
    for (const auto &g : groups) {
        if (g.size() > 3 || !number_in(g, 0, 255))
            return false;
        long v = std::stol(g);
        addr = (addr << 8) | static_cast<uint32_t>(v);
        if (!canon.empty())
            canon += '.';
        canon += std::to_string(v);
    }
    return true;
}

bool contiguous_mask(uint32_t m)
{
    uint32_t inverted = ~m;
    return (inverted & (inverted + 1)) == 0;
}

// Free text of MIN to MAX bytes without control characters (UTF-8 passes).
bool text_ok(const std::string &text, size_t min, size_t max)
{
    if (text.size() < min || text.size() > max)
        return false;
    return std::none_of(text.begin(), text.end(), [](char c) {
        auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7f;
    });
}

bool hostname_ok(const std::string &text)
{
    if (text.empty() || text.front() == '.' || text.front() == '-')
        return false;
    bool only_digits_and_dots = true;
    for (char c : text) {
        bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && c != '-' && c != '.')
            return false;
        if ((c < '0' || c > '9') && c != '.')
            only_digits_and_dots = false;
    }
    // A would-be address with a bad group is a typo, not a host name.
    return !only_digits_and_dots;
}

// Each check gets the split arguments and the raw text after "=", and on
// success leaves the value the module will report in `out`.
using check_fn = int (*)(const args_t &a, const std::string &raw, std::string &out);

int check_count(const args_t &a, size_t n)
{
    return a.size() == n ? 0 : err_arg_count;
}

int check_wmode(const args_t &a, const std::string &raw, std::string &out)
{
    if (check_count(a, 1))
        return err_arg_count;
    out = raw;
    return one_of(raw, {"AP", "STA"}) ? 0 : err_arg_value;
}

int check_tmode(const args_t &a, const std::string &raw, std::string &out)
{
    if (check_count(a, 1))
        return err_arg_count;
    out = raw;
    return one_of(raw, {"Through", "Agreement"}) ? 0 : err_arg_value;
}

int check_webu(const args_t &a, const std::string &raw, std::string &out)
{
    if (check_count(a, 2))
        return err_arg_count;
    out = raw;
    return text_ok(a[0], 1, 19) && text_ok(a[1], 1, 19) ? 0 : err_arg_value;
}

int check_uart(const args_t &a, const std::string &raw, std::string &out)
{
    if (check_count(a, 5))
        return err_arg_count;
    out = raw;
    // Stop bits come before parity in this command.
    bool ok = one_of(a[0], {"50",    "75",    "110",    "134",    "150",    "200",   "300",
                            "600",   "1200",  "1800",   "2400",   "4800",   "9600",  "19200",
                            "38400", "57600", "115200", "230400", "345600", "460800"}) &&
              one_of(a[1], {"5", "6", "7", "8"}) && one_of(a[2], {"1", "2"}) &&
              one_of(a[3], {"None", "Odd", "Even", "Mark", "Space"}) && one_of(a[4], {"FC", "NFC"});
    return ok ? 0 : err_arg_value;
}

int check_uartf(const args_t &a, const std::string &raw, std::string &out)
{
    if (check_count(a, 1))
        return err_arg_count;
    out = raw;
    return one_of(raw, {"disable", "enable"}) ? 0 : err_arg_value;
}

template <long Lo, long Hi>
int check_number(const args_t &a, const std::string &raw, std::string &out)
{
    if (check_count(a, 1))
        return err_arg_count;
    if (!number_in(raw, Lo, Hi))
        return err_arg_value;
    out = std::to_string(std::stol(raw));
    return 0;
}

int check_netp(const args_t &a, const std::string &, std::string &out)
{
    if (check_count(a, 4))
        return err_arg_count;
    if (!one_of(a[0], {"TCP", "UDP"}) || !one_of(a[1], {"Server", "Client"}) ||
        !number_in(a[2], 1, 65535))
        return err_arg_value;
    uint32_t addr;
    std::string server;
    if (!address(a[3], addr, server)) {
        if (!hostname_ok(a[3]))
            return err_arg_value;
        server = a[3];
    }
    out = a[0] + "," + a[1] + "," + std::to_string(std::stol(a[2])) + "," + server;
    return 0;
}

int check_wap(const args_t &a, const std::string &, std::string &out)
{
    if (check_count(a, 3))
        return err_arg_count;
    bool ok = one_of(a[0], {"11B", "11G", "11BG", "11N", "11BGN"}) && text_ok(a[1], 1, 32) &&
              one_of(a[2], {"Auto", "CH1", "CH2", "CH3", "CH4", "CH5", "CH6", "CH7", "CH8", "CH9",
                            "CH10", "CH11", "CH12", "CH13", "CH14"});
    if (!ok)
        return err_arg_value;
    out = a[0] + "," + a[1] + "," + a[2];
    return 0;
}

// WAKEY and WSKEY: authentication, encryption, and a key unless the
// encryption is NONE. Only the pairings a real access point offers pass.
int check_key(const args_t &a, const std::string &raw, std::string &out)
{
    if (a.size() < 2 || a.size() > 3)
        return err_arg_count;
    const std::string &auth = a[0], &enc = a[1];
    bool pair_ok;
    if (auth == "OPEN")
        pair_ok = one_of(enc, {"NONE", "WEP-H", "WEP-A"});
    else if (auth == "SHARED")
        pair_ok = one_of(enc, {"WEP-H", "WEP-A"});
    else if (one_of(auth, {"WPAPSK", "WPA2PSK"}))
        pair_ok = one_of(enc, {"TKIP", "AES", "TKIPAES"});
    else
        return err_arg_value;
    if (!pair_ok)
        return err_arg_value;
    if (a.size() != (enc == "NONE" ? 2u : 3u))
        return err_arg_count;
    out = raw;
    if (enc == "NONE")
        return 0;
    // WPA needs a passphrase of at least 8 characters; 64 hex digits is the longest key.
    size_t min = one_of(enc, {"WEP-H", "WEP-A"}) ? 1 : 8;
    return text_ok(a[2], min, 64) ? 0 : err_arg_value;
}

int check_lann(const args_t &a, const std::string &, std::string &out)
{
    if (check_count(a, 2))
        return err_arg_count;
    uint32_t ip, mask;
    std::string ip_text, mask_text;
    if (!address(a[0], ip, ip_text) || !address(a[1], mask, mask_text) || !contiguous_mask(mask))
        return err_arg_value;
    out = ip_text + "," + mask_text;
    return 0;
}

int check_dhcpgw(const args_t &a, const std::string &, std::string &out)
{
    if (check_count(a, 1))
        return err_arg_count;
    uint32_t gw;
    return address(a[0], gw, out) ? 0 : err_arg_value;
}

// The STA SSID is the one value taken whole: commas are part of the name.
int check_wsssid(const args_t &, const std::string &raw, std::string &out)
{
    out = raw;
    return text_ok(raw, 1, 32) ? 0 : err_arg_value;
}

int check_wann(const args_t &a, const std::string &, std::string &out)
{
    if (a[0] == "DHCP") {
        out = "DHCP";
        return check_count(a, 1);
    }
    if (a[0] != "Static")
        return err_arg_value;
    if (check_count(a, 4))
        return err_arg_count;
    uint32_t v[3];
    std::string t[3];
    for (int i = 0; i < 3; i++)
        if (!address(a[i + 1], v[i], t[i]))
            return err_arg_value;
    if (!contiguous_mask(v[1]))
        return err_arg_value;
    out = "Static," + t[0] + "," + t[1] + "," + t[2];
    return 0;
}

struct setter {
    const char *name;
    check_fn check;
};

const setter setters[] = {
    {"WMODE", check_wmode},
    {"TMODE", check_tmode},
    {"WEBU", check_webu},
    {"UART", check_uart},
    {"UARTF", check_uartf},
    {"UARTFT", check_number<100, 10000>},
    {"UARTFL", check_number<16, 4096>},
    {"NETP", check_netp},
    {"MAXSK", check_number<1, 32>},
    {"TCPTO", check_number<0, 600>},
    {"WAP", check_wap},
    {"WAKEY", check_key},
    {"LANN", check_lann},
    {"DHCPGW", check_dhcpgw},
    {"WSSSID", check_wsssid},
    {"WSKEY", check_key},
    {"WANN", check_wann},
};

} // namespace

void store::reset()
{
    for (int i = 0; i < setting_count; i++)
        values_[i] = factory[i];
}

int store::find(const std::string &name)
{
    for (int i = 0; i < setting_count; i++)
        if (name == setting_names[i])
            return i;
    return -1;
}

bool store::set_raw(const std::string &name, const std::string &value)
{
    int i = find(name);
    if (i < 0)
        return false;
    values_[i] = value;
    return true;
}

int store::apply(const std::string &name, const std::string &args)
{
    for (const auto &s : setters) {
        if (name != s.name)
            continue;
        std::string out;
        int err = s.check(split(args), args, out);
        if (err)
            return err;
        if (out.size() > value_max)
            return err_arg_value;
        values_[find(name)] = out;
        return 0;
    }
    return err_command;
}

std::string store::state_text() const
{
    std::string text;
    for (int i = 0; i < setting_count; i++)
        text += std::string(setting_names[i]) + "=" + values_[i] + "\n";
    return text;
}

} // namespace sim
