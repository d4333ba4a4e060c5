// Fuzz target: net_allow_parse on any text. What it accepts must be a
// network an independent reading of "A.B.C.D[/LEN]" gives, with the bits
// past the prefix dropped; what it refuses leaves the rule untouched and
// says why. An accepted rule matches its own network and the network's last
// address, and never an address outside it.
#include "fuzz_support.h"
#include "net_access.h"

#include <arpa/inet.h>
#include <cstring>
#include <string>

namespace
{

// One decimal number 0..max without leading zeros, from `t` at `at`
// (address groups, as inet_pton reads them).
bool number(const std::string &t, size_t &at, long max, long &v)
{
    const size_t start = at;
    while (at < t.size() && t[at] >= '0' && t[at] <= '9' && at - start < 4)
        at++;
    if (at == start || (at - start > 1 && t[start] == '0'))
        return false;
    v = std::stol(t.substr(start, at - start));
    return v <= max;
}

bool reference(const std::string &t, uint32_t &net, int &len)
{
    size_t at = 0;
    uint32_t a = 0;
    for (int g = 0; g < 4; g++) {
        long v;
        if (!number(t, at, 255, v))
            return false;
        a = (a << 8) | static_cast<uint32_t>(v);
        if (g < 3 && (at >= t.size() || t[at++] != '.'))
            return false;
    }
    len = 32;
    if (at < t.size()) {
        // The length is one or two digits, a leading zero allowed ("/08").
        if (t[at++] != '/')
            return false;
        const size_t n = t.size() - at;
        if (n < 1 || n > 2 || t.find_first_not_of("0123456789", at) != std::string::npos)
            return false;
        len = std::stoi(t.substr(at));
        if (len > 32)
            return false;
        at = t.size();
    }
    if (at != t.size())
        return false;
    const uint32_t mask = len == 0 ? 0 : ~0u << (32 - len);
    net = a & mask;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    if (text.find('\0') != std::string::npos)
        return 0; // a C string ends there: nothing new to learn
    net_allow_rule rule{0x12345678u, 77};
    std::string why;
    const bool ok = net_allow_parse(text.c_str(), &rule, &why);
    uint32_t net = 0;
    int len = 0;
    const bool expected = reference(text, net, len);
    FUZZ_CHECK(ok == expected, "accepts what the reference refuses, or the other way");
    if (!ok) {
        FUZZ_CHECK(rule.net == 0x12345678u && rule.len == 77, "a refusal changed the rule");
        FUZZ_CHECK(!why.empty(), "a refusal without a reason");
        return 0;
    }
    FUZZ_CHECK(rule.net == net && rule.len == len, "not the network the text names");
    const uint32_t mask = len == 0 ? 0 : ~0u << (32 - len);
    const std::vector<net_allow_rule> rules{rule};
    in_addr a;
    a.s_addr = htonl(net);
    FUZZ_CHECK(net_allow_match(rules, a), "a network does not match its own address");
    a.s_addr = htonl(net | ~mask);
    FUZZ_CHECK(net_allow_match(rules, a), "a network does not match its last address");
    if (len > 0) {
        a.s_addr = htonl(net ^ (1u << (32 - len))); // the last prefix bit flipped
        FUZZ_CHECK(!net_allow_match(rules, a), "a network matches an address outside it");
    }
    return 0;
}
