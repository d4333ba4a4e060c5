// Escaping module texts for lines, JSON and CSV.
#include "cli_escape.h"

#include "module_text.h"

#include <cstdio>
#include <glib.h>

std::string cli_text(const std::string &text, cli_escape how)
{
    // A zero byte is the module's, not the text's end; the parts around it
    // are decoded each on its own, as no character set takes it.
    if (text.find('\0') != std::string::npos) {
        std::string joined;
        size_t from = 0;
        for (size_t zero; (zero = text.find('\0', from)) != std::string::npos; from = zero + 1)
            joined += cli_text(text.substr(from, zero - from), how) + "\\x00";
        return joined + cli_text(text.substr(from), how);
    }
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
        if (c == '\\')
            out += "\\\\"; // the text "\xe9" must not read as the byte 0xe9
        else if (how == cli_escape::csv && c == '\r')
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
