// Who may reach the network build's server: the --listen address and the
// --allow networks, parsed as the command line gives them and matched
// against peers.
#include "net_access.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace
{

in_addr addr(const char *dotted)
{
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a;
}

TEST(NetAccess, AddressesAndNetworksAreParsedStrictly)
{
    const struct {
        const char *text;
        bool address_ok;     // as --listen
        bool network_ok;     // as --allow
        const char *network; // what the rule holds, "net/len"
    } rows[] = {
        {"10.10.100.123", true, true, "10.10.100.123/32"},
        {"0.0.0.0", true, true, "0.0.0.0/32"},
        {"10.10.100.123/24", false, true, "10.10.100.0/24"}, // an interface's own notation
        {"10.0.0.0/8", false, true, "10.0.0.0/8"},
        {"192.168.1.77/0", false, true, "0.0.0.0/0"},
        {"172.16.5.4/32", false, true, "172.16.5.4/32"},
        {"172.16.5.4/31", false, true, "172.16.5.4/31"},
        {"300.1.1.1", false, false, ""},
        {"10.0.0.0/33", false, false, ""},
        {"10.0.0.0/-1", false, false, ""},
        {"10.0.0.0/", false, false, ""},
        {"10.0.0.0/8x", false, false, ""},
        {"10.0.0.0/ 8", false, false, ""},
        {"10.0.0.0/100", false, false, ""},
        {"/8", false, false, ""},
        {"10.1", false, false, ""}, // inet_aton's short form
        {"010.0.0.1", false, false, ""},
        {"10.0.0.1 ", false, false, ""},
        {"localhost", false, false, ""},
        {"", false, false, ""},
    };
    for (const auto &r : rows) {
        std::string why;
        EXPECT_EQ(net_address_parse(r.text, nullptr, &why), r.address_ok) << r.text;
        EXPECT_EQ(why.empty(), r.address_ok) << r.text;

        net_allow_rule rule{0xdeadbeef, 99};
        why.clear();
        EXPECT_EQ(net_allow_parse(r.text, &rule, &why), r.network_ok) << r.text;
        if (!r.network_ok) {
            EXPECT_FALSE(why.empty()) << r.text;
            EXPECT_EQ(rule.net, 0xdeadbeefu) << r.text << ": changed on refusal";
            continue;
        }
        in_addr net;
        net.s_addr = htonl(rule.net);
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &net, text, sizeof text);
        EXPECT_EQ(std::string(text) + "/" + std::to_string(rule.len), r.network) << r.text;
    }
}

TEST(NetAccess, PeersMatchAnyAllowedNetworkAndEveryoneWithoutAList)
{
    std::vector<net_allow_rule> rules;
    for (const char *text : {"10.10.100.0/24", "192.168.7.9", "172.16.0.0/12"}) {
        net_allow_rule r;
        ASSERT_TRUE(net_allow_parse(text, &r, nullptr)) << text;
        rules.push_back(r);
    }
    const struct {
        const char *peer;
        bool allowed;
    } rows[] = {
        {"10.10.100.254", true},    {"10.10.100.0", true},  {"10.10.101.1", false},
        {"192.168.7.9", true},      {"192.168.7.8", false}, {"172.31.255.255", true},
        {"172.32.0.0", false},      {"127.0.0.1", false},   {"0.0.0.0", false},
        {"255.255.255.255", false},
    };
    for (const auto &r : rows)
        EXPECT_EQ(net_allow_match(rules, addr(r.peer)), r.allowed) << r.peer;

    EXPECT_TRUE(net_allow_match({}, addr("203.0.113.5"))) << "no --allow: as before";
    net_allow_rule all;
    ASSERT_TRUE(net_allow_parse("1.2.3.4/0", &all, nullptr));
    EXPECT_TRUE(net_allow_match({all}, addr("203.0.113.5")));
}

} // namespace
