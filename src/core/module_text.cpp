// Module texts shown as UTF-8.
#include "module_text.h"

#include <glib.h>

std::string module_text_shown(const std::string &bytes)
{
    const auto len = static_cast<gssize>(bytes.size());
    if (g_utf8_validate(bytes.data(), len, nullptr))
        return bytes;
    gsize read = 0;
    gsize written = 0;
    // Partial input (a lead byte at the end) is an error too, and `read`
    // tells a text that only began as GB18030.
    gchar *decoded = g_convert(bytes.data(), len, "UTF-8", "GB18030", &read, &written, nullptr);
    if (decoded && read == bytes.size() &&
        g_utf8_validate(decoded, static_cast<gssize>(written), nullptr)) {
        std::string shown(decoded, written);
        g_free(decoded);
        return shown;
    }
    g_free(decoded);
    gchar *repaired = g_utf8_make_valid(bytes.data(), len);
    std::string shown(repaired);
    g_free(repaired);
    return shown;
}
