// Fuzz target: the worker-to-parent framing, cli_event_take, on any bytes
// fed in pieces as a pipe may deliver them. It must never take more than
// whole frames, keep a partial frame for later, and refuse what cannot be
// a frame; the events it takes, written again, give the bytes it took.
// The input's first byte picks the piece size.
#include "cli_event.h"
#include "fuzz_support.h"

#include <cstring>
#include <unistd.h>

namespace
{

// The frame cli_event_write makes of `ev`.
std::string frame_of(const cli_event &ev)
{
    int p[2];
    FUZZ_CHECK(pipe(p) == 0, "pipe");
    FUZZ_CHECK(cli_event_write(p[1], ev), "write to a pipe");
    close(p[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(n));
    close(p[0]);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > 65536) // frames beyond a pipe's buffer add nothing
        return 0;
    const size_t piece = 1 + data[0] % 64;
    const std::string input(reinterpret_cast<const char *>(data + 1), size - 1);
    std::string buf, taken;
    std::vector<cli_event> events;
    bool refused = false;
    for (size_t at = 0; at < input.size() && !refused; at += piece) {
        buf += input.substr(at, piece);
        const size_t before = events.size();
        const std::string had = buf;
        if (!cli_event_take(buf, events)) {
            refused = true;
            break;
        }
        FUZZ_CHECK(had.compare(had.size() - buf.size(), buf.size(), buf) == 0,
                   "what stays is not the tail of what was there");
        taken += had.substr(0, had.size() - buf.size());
        // A kept tail is no whole frame: taking it again takes nothing.
        std::vector<cli_event> again;
        std::string copy = buf;
        FUZZ_CHECK(!cli_event_take(copy, again) || (again.empty() && copy == buf),
                   "a whole frame was left behind");
        for (size_t i = before; i < events.size(); i++)
            FUZZ_CHECK(events[i].kind.find('\0') == std::string::npos, "a kind with a zero byte");
    }
    if (refused)
        return 0;
    std::string written;
    for (const auto &ev : events)
        written += frame_of(ev);
    FUZZ_CHECK(written == taken, "the events taken do not write back as the bytes taken");
    FUZZ_CHECK(taken + buf == input, "bytes lost between frames");
    return 0;
}
