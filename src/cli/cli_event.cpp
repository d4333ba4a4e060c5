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

bool cli_event_write(int fd, const cli_event &ev)
{
    std::string body = ev.kind;
    body += '\0';
    for (const auto &f : ev.fields) {
        body += f.first;
        body += '\0';
        // A zero byte would shift every later field; cut the value there.
        body.append(f.second.c_str());
        body += '\0';
    }
    const uint32_t len = static_cast<uint32_t>(body.size());
    std::string frame(reinterpret_cast<const char *>(&len), sizeof len);
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
        std::vector<std::string> parts;
        size_t start = 0;
        for (size_t i = 0; i < body.size(); i++)
            if (body[i] == '\0') {
                parts.push_back(body.substr(start, i - start));
                start = i + 1;
            }
        if (parts.empty() || parts.size() % 2 != 1 || start != body.size())
            return false;
        cli_event ev(parts[0]);
        for (size_t i = 1; i + 1 < parts.size(); i += 2)
            ev.set(parts[i], parts[i + 1]);
        out.push_back(std::move(ev));
    }
    buf.erase(0, at);
    return true;
}
