// Listening address and allowed networks of the network build's server.
#include "net_access.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>

bool net_address_parse(const char *text, in_addr *addr, std::string *error)
{
    in_addr a;
    // inet_pton takes exactly four dotted decimals of 0..255 (no octal, no
    // short forms such as "10.1"), unlike inet_aton.
    if (!text || inet_pton(AF_INET, text, &a) != 1) {
        if (error)
            *error = "not an IPv4 address (four numbers 0..255 separated by dots)";
        return false;
    }
    if (addr)
        *addr = a;
    return true;
}

bool net_allow_parse(const char *text, net_allow_rule *rule, std::string *error)
{
    const char *slash = text ? std::strchr(text, '/') : nullptr;
    const std::string address = slash ? std::string(text, slash) : std::string(text ? text : "");
    in_addr a;
    if (!net_address_parse(address.c_str(), &a, error))
        return false;
    int len = 32;
    if (slash) {
        const char *digits = slash + 1;
        const size_t n = std::strlen(digits);
        len = n >= 1 && n <= 2 && std::strspn(digits, "0123456789") == n ? std::atoi(digits) : -1;
        if (len < 0 || len > 32) {
            if (error)
                *error = "the prefix length after \"/\" must be a number 0..32";
            return false;
        }
    }
    const uint32_t mask = len == 0 ? 0 : ~uint32_t(0) << (32 - len);
    rule->net = ntohl(a.s_addr) & mask;
    rule->len = len;
    return true;
}

bool net_allow_match(const std::vector<net_allow_rule> &rules, in_addr peer)
{
    if (rules.empty())
        return true;
    const uint32_t host = ntohl(peer.s_addr);
    for (const net_allow_rule &r : rules) {
        const uint32_t mask = r.len == 0 ? 0 : ~uint32_t(0) << (32 - r.len);
        if ((host & mask) == r.net)
            return true;
    }
    return false;
}

std::string net_peer_text(const sockaddr_in &peer)
{
    char addr[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof addr);
    return std::string(addr) + ":" + std::to_string(ntohs(peer.sin_port));
}
