// Module texts shown as UTF-8.
#include "module_text.h"

#include <glib.h>

bool module_text_decoded(const std::string &bytes, std::string &utf8)
{
    const auto len = static_cast<gssize>(bytes.size());
    if (g_utf8_validate(bytes.data(), len, nullptr)) {
        utf8 = bytes;
        return true;
    }
    gsize read = 0;
    gsize written = 0;
    // Partial input (a lead byte at the end) is an error too, and `read`
    // tells a text that only began as GB18030.
    gchar *decoded = g_convert(bytes.data(), len, "UTF-8", "GB18030", &read, &written, nullptr);
    const bool whole = decoded && read == bytes.size() &&
                       g_utf8_validate(decoded, static_cast<gssize>(written), nullptr);
    if (whole)
        utf8.assign(decoded, written);
    g_free(decoded);
    return whole;
}

std::string module_text_shown(const std::string &bytes)
{
    std::string shown;
    if (module_text_decoded(bytes, shown))
        return shown;
    gchar *repaired = g_utf8_make_valid(bytes.data(), static_cast<gssize>(bytes.size()));
    shown = repaired;
    g_free(repaired);
    return shown;
}
