// Worker-to-parent message framing and output helpers.
#include "cli_event.h"

#include "module_text.h"

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

std::string cli_text(const std::string &text, cli_escape how)
{
    std::string shown;
    if (!module_text_decoded(text, shown))
        shown = text;
    std::string out;
    const auto escape = [&out](unsigned code) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02x", code);
        out += hex;
    };
    const char *p = shown.data();
    const char *const end = p + shown.size();
    while (p < end) {
        const gunichar c = g_utf8_get_char_validated(p, end - p);
        if (c == static_cast<gunichar>(-1) || c == static_cast<gunichar>(-2)) {
            escape(static_cast<unsigned char>(*p++)); // neither UTF-8 nor GB18030
            continue;
        }
        const char *next = g_utf8_next_char(p);
        const bool c0 = c < 0x20 || c == 0x7f;
        if (how == cli_escape::csv && c == '\r')
            out += "\\r";
        else if (how == cli_escape::csv && c == '\n')
            out += "\\n";
        else if (c >= 0x80 && c <= 0x9f)
            // Byte by byte, as UTF-8: "\xc2\x9b" is U+009B, "\x9b" alone
            // the byte that is no UTF-8.
            for (const char *b = p; b < next; b++)
                escape(static_cast<unsigned char>(*b));
        else if (c0 && how != cli_escape::json && !(how == cli_escape::csv && c == '\t'))
            escape(c);
        else
            out.append(p, next);
        p = next;
    }
    return out;
}

std::string cli_printable(const std::string &text)
{
    return cli_text(text, cli_escape::line);
}

std::string cli_utf8(const std::string &text)
{
    return cli_text(text, cli_escape::json);
}

std::string cli_secret_masked(const std::string &name, const std::string &args)
{
    // Arguments before the secret: WEBU is user,password; WAKEY and WSKEY
    // are auth,encryption,key.
    size_t before = 0;
    if (name == "WEBU")
        before = 1;
    else if (name == "WAKEY" || name == "WSKEY")
        before = 2;
    else
        return args;
    size_t at = 0;
    for (size_t i = 0; i < before; i++) {
        at = args.find(',', at);
        if (at == std::string::npos)
            return args; // no secret in it (encryption NONE)
        at++;
    }
    return args.substr(0, at) + "***";
}

std::string cli_console_masked(const std::string &line)
{
    const size_t at = line.find("AT+");
    return at == std::string::npos ? line : line.substr(0, at) + cli_line_masked(line.substr(at));
}

std::string cli_line_masked(const std::string &line)
{
    if (line.compare(0, 3, "AT+") != 0)
        return line;
    const size_t eq = line.find('=');
    if (eq == std::string::npos)
        return line;
    const std::string name = line.substr(3, eq - 3);
    return line.substr(0, eq + 1) + cli_secret_masked(name, line.substr(eq + 1));
}

cli_event cli_event_masked(const cli_event &ev)
{
    cli_event out(ev.kind);
    const std::string setting = ev.get(ev.kind == "value" ? "name" : "setting");
    for (const auto &f : ev.fields) {
        std::string v = f.second;
        if ((ev.kind == "unacked" || ev.kind == "unverifiable") && f.first == "line")
            v = cli_line_masked(v);
        else if ((ev.kind == "mismatch" && (f.first == "sent" || f.first == "held")) ||
                 (ev.kind == "value" && f.first == "value"))
            v = cli_secret_masked(setting, v);
        out.set(f.first, v);
    }
    return out;
}

std::string cli_json_finish(JsonBuilder *builder)
{
    JsonNode *root = json_builder_get_root(builder);
    JsonGenerator *gen = json_generator_new();
    json_generator_set_root(gen, root);
    gchar *text = json_generator_to_data(gen, nullptr);
    std::string out = text;
    g_free(text);
    g_object_unref(gen);
    json_node_unref(root);
    g_object_unref(builder);
    return out;
}

bool cli_write_all(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}
