// Worker-to-parent message framing.
#include "cli_event.h"

#include "cli_output.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <glib.h>
#include <unistd.h>

namespace
{

// Far above any real message (the longest carries one command-file line).
constexpr uint32_t FRAME_MAX = 1u << 20;

} // namespace

cli_event &cli_event::set(const std::string &key, const std::string &value)
{
    fields.emplace_back(key, value);
    return *this;
}

cli_event &cli_event::set(const std::string &key, long value)
{
    return set(key, std::to_string(value));
}

std::string cli_event::get(const std::string &key) const
{
    for (const auto &f : fields)
        if (f.first == key)
            return f.second;
    return "";
}

long cli_event::get_long(const std::string &key) const
{
    return std::strtol(get(key).c_str(), nullptr, 10);
}

namespace
{

void put_length(std::string &out, uint32_t n)
{
    out.append(reinterpret_cast<const char *>(&n), sizeof n);
}

// The part of `body` at `at` up to its next zero byte, or false.
bool take_name(const std::string &body, size_t &at, std::string &name)
{
    const size_t end = body.find('\0', at);
    if (end == std::string::npos)
        return false;
    name = body.substr(at, end - at);
    at = end + 1;
    return true;
}

} // namespace

bool cli_event_write(int fd, const cli_event &ev)
{
    std::string body = ev.kind;
    body += '\0';
    for (const auto &f : ev.fields) {
        body += f.first;
        body += '\0';
        // Counted, not ended: a module's value may hold a zero byte.
        put_length(body, static_cast<uint32_t>(f.second.size()));
        body += f.second;
    }
    std::string frame;
    put_length(frame, static_cast<uint32_t>(body.size()));
    frame += body;
    // One write per frame: a pipe takes up to PIPE_BUF bytes at once, and
    // only this process writes to it, so frames never interleave anyway.
    return cli_write_all(fd, frame);
}

bool cli_event_take(std::string &buf, std::vector<cli_event> &out)
{
    size_t at = 0;
    while (buf.size() - at >= sizeof(uint32_t)) {
        uint32_t len;
        std::memcpy(&len, buf.data() + at, sizeof len);
        if (len == 0 || len > FRAME_MAX)
            return false;
        if (buf.size() - at - sizeof len < len)
            break;
        const std::string body = buf.substr(at + sizeof len, len);
        at += sizeof len + len;
        size_t i = 0;
        std::string kind;
        if (!take_name(body, i, kind))
            return false;
        cli_event ev(kind);
        while (i < body.size()) {
            std::string key;
            uint32_t n;
            if (!take_name(body, i, key) || body.size() - i < sizeof n)
                return false;
            std::memcpy(&n, body.data() + i, sizeof n);
            i += sizeof n;
            if (body.size() - i < n)
                return false;
            ev.set(key, body.substr(i, n));
            i += n;
        }
        out.push_back(std::move(ev));
    }
    buf.erase(0, at);
    return true;
}
