// Messages from a worker process to the parent over a pipe: the event
// and its framing (the kinds and their fields: cli_protocol.h).
#ifndef MODCFG_CLI_EVENT_H
#define MODCFG_CLI_EVENT_H

#include <string>
#include <utility>
#include <vector>

// One message: a kind and named fields. Fields carry module texts byte for
// byte, zero bytes included.
struct cli_event {
    std::string kind;
    std::vector<std::pair<std::string, std::string>> fields;

    explicit cli_event(std::string k = "") : kind(std::move(k)) {}
    cli_event &set(const std::string &key, const std::string &value);
    cli_event &set(const std::string &key, long value);
    // The field's value, or "" when absent.
    std::string get(const std::string &key) const;
    long get_long(const std::string &key) const;
};

// Framing: a 4-byte length (host order, one machine), the kind as a
// zero-terminated text, then per field its zero-terminated name and its
// value as a 4-byte count and that many bytes. Writes the whole frame; false when the
// pipe is gone (the parent ended).
bool cli_event_write(int fd, const cli_event &ev);
// Takes every whole frame off the front of `buf` into `out`; a partial frame
// stays for the next read. False when `buf` holds a frame that cannot be
// one (the worker is not speaking this framing).
bool cli_event_take(std::string &buf, std::vector<cli_event> &out);

#endif
