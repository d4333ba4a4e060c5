// Fuzz target: queries and set commands over a link that delivers the
// module's bytes as TCP does, in segments of any size whose boundaries need
// not fall between replies, in both timings. The input's first byte picks
// the timing; the rest is the stream, split into segments at form feeds.
// Every query gets at most AT_VALUE_MAX bytes, terminated, and a value is
// bytes the module sent after a "+ok"; no exchange reads or pauses past
// its tries.
#include "fuzz_support.h"
#include "module_at.h"

#include <cstring>
#include <string>

// No module operations are bound: the exchange is driven over its own link.

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    fuzz_pause::scope no_pauses;
    at_set_fast((data[0] & 1) != 0);
    fuzz_module::load(data + 1, size - 1);
    std::string stream;
    for (size_t i = 1; i < size; i++)
        if (data[i] != static_cast<uint8_t>(fuzz_module::READ_BREAK))
            stream += static_cast<char>(data[i]);
    const char *const cmds[] = {"AT+MID", "AT+WSSSID", "AT+WMODE=STA", "AT+NETP", "AT+E"};
    for (const char *cmd : cmds) {
        fuzz_module::reset_counts();
        fuzz_pause::reset();
        const bool set = std::strchr(cmd, '=') || std::strcmp(cmd, "AT+E") == 0;
        if (set) {
            const int ok = at_send_cmd_set(fuzz_module::link, cmd);
            FUZZ_CHECK(ok == 0 || ok == 1, "set result");
        } else {
            char ret[AT_VALUE_MAX + 2];
            std::memset(ret, 'Z', sizeof ret);
            ret[AT_VALUE_MAX + 1] = '\x7f';
            const int ok = at_send_cmd_get(fuzz_module::link, cmd, ret);
            FUZZ_CHECK(ok == 0 || ok == 1, "query result");
            FUZZ_CHECK(ret[AT_VALUE_MAX + 1] == '\x7f', "a value written past its buffer");
            if (ok) {
                const size_t len = strnlen(ret, AT_VALUE_MAX + 1);
                FUZZ_CHECK(len <= static_cast<size_t>(AT_VALUE_MAX), "a value not terminated");
                // The value follows a "+ok" and one byte ("=") somewhere in
                // what the module sent.
                bool found = false;
                for (size_t at = stream.find("+ok"); !found && at != std::string::npos;
                     at = stream.find("+ok", at + 1))
                    found = stream.compare(std::min(at + 4, stream.size()), len, ret, len) == 0;
                FUZZ_CHECK(found, "a value the module did not send after +ok");
            }
        }
        FUZZ_CHECK(fuzz_module::reads() <= 3 * AT_REPLY_TRIES, "read more than its tries");
        FUZZ_CHECK(fuzz_pause::total_ms() <= AT_REPLY_TRIES * AT_REPLY_PAUSE_MS,
                   "paused longer than its tries allow");
    }
    return 0;
}
