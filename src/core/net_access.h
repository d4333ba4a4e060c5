// Who may reach the network build's server: the local address it listens
// on and the networks a module may connect from. Parsed from the command
// line, matched against each accepted peer.
#ifndef MODCFG_NET_ACCESS_H
#define MODCFG_NET_ACCESS_H

#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <vector>

// An IPv4 network, host byte order: the addresses whose first `len` bits
// (0..32) are those of `net`.
struct net_allow_rule {
    uint32_t net;
    int len;
};

// Parses a dotted IPv4 address, four decimal numbers 0..255 without
// leading zeros ("10.10.100.123"), into `addr` (network byte order; may
// be null). false with the reason in `error` (may be null).
bool net_address_parse(const char *text, in_addr *addr, std::string *error);
// Parses "ADDR/LEN" (LEN 0..32, decimal) or a bare ADDR (/32) into
// `rule`. Bits of ADDR past the prefix are dropped, so that an
// interface's own "10.10.100.123/24" means its network. false with the
// reason in `error` (may be null), `rule` untouched.
bool net_allow_parse(const char *text, net_allow_rule *rule, std::string *error);
// True when `peer` (network byte order, as accept() gives it) lies in one
// of `rules`, or when there are none: no list lets everyone in.
bool net_allow_match(const std::vector<net_allow_rule> &rules, in_addr peer);
// "A.B.C.D:PORT" of an accepted peer.
std::string net_peer_text(const sockaddr_in &peer);

#endif
