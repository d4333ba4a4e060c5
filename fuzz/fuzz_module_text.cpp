// Fuzz target: module texts shown. module_text_shown must give valid UTF-8
// and leave UTF-8 as it is; cli_text must give valid UTF-8 without a
// control character (C0, DEL, C1) in a console line, and lose nothing: for
// a text that is neither UTF-8 nor GB18030 and holds no backslash, undoing
// the "\xNN" escapes gives the bytes back.
#include "cli_escape.h"
#include "cli_event.h"
#include "fuzz_support.h"
#include "module_text.h"

#include <glib.h>

namespace
{

bool valid(const std::string &s)
{
    return g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr);
}

std::string unescaped(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x' && g_ascii_isxdigit(s[i + 2]) &&
            g_ascii_isxdigit(s[i + 3])) {
            out += static_cast<char>(g_ascii_xdigit_value(s[i + 2]) * 16 +
                                     g_ascii_xdigit_value(s[i + 3]));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    const std::string shown = module_text_shown(bytes);
    FUZZ_CHECK(valid(shown), "module_text_shown is not UTF-8");
    std::string decoded;
    const bool is_text = module_text_decoded(bytes, decoded);
    if (valid(bytes))
        FUZZ_CHECK(shown == bytes && is_text && decoded == bytes, "UTF-8 not left as it is");
    if (is_text)
        FUZZ_CHECK(shown == decoded, "a decoded text shown otherwise");

    const std::string line = cli_text(bytes, cli_escape::line);
    FUZZ_CHECK(valid(line), "a console text is not UTF-8");
    for (const char *p = line.c_str(); *p; p = g_utf8_next_char(p)) {
        const gunichar c = g_utf8_get_char(p);
        FUZZ_CHECK(c >= 0x20 && c != 0x7f && (c < 0x80 || c > 0x9f),
                   "a control character reaches the terminal");
    }
    FUZZ_CHECK(line.find('\0') == std::string::npos, "a zero byte in a console text");
    const std::string json = cli_text(bytes, cli_escape::json);
    FUZZ_CHECK(valid(json) && json.find('\0') == std::string::npos, "a JSON text is not UTF-8");
    const std::string csv = cli_text(bytes, cli_escape::csv);
    FUZZ_CHECK(valid(csv) && csv.find_first_of(std::string("\r\n\0", 3)) == std::string::npos,
               "a CSV text breaks its line");
    if (!is_text && bytes.find('\\') == std::string::npos)
        FUZZ_CHECK(unescaped(line) == bytes, "bytes lost in a console text");
    return 0;
}
