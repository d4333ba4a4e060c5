// Finding the line settings at which a module answers: the settings tried,
// one try at a setting, and the search over a list.
#include "line_scan.h"

#include "module_at.h"
#include "pccom.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace
{

constexpr char PROBE[] = "AT+\n";
constexpr int PROBE_LEN = 4;
constexpr int READ_LEN = 20;
// The handshake's 7-byte answer to "a".
constexpr int HANDSHAKE_OK_LEN = 7;
// Reads of the guard at most: a line that keeps bringing junk is not
// quiet, and a try must end.
constexpr int GUARD_READS = 4;

constexpr std::array<int, 19> rates_in_order = {57600, 115200, 9600, 460800, 230400, 38400, 19200,
                                                4800,  2400,   1800, 1200,   600,    300,   200,
                                                150,   134,    110,  75,     50};
constexpr std::array<char, 5> parity_letters = {'N', 'O', 'E', 'M', 'S'};
constexpr std::array<const char *, 5> parity_names = {"None", "Odd", "Even", "Mark", "Space"};

bool begins(const char *buf, int n, const char *prefix)
{
    const int plen = static_cast<int>(std::strlen(prefix));
    return n >= plen && std::memcmp(buf, prefix, static_cast<size_t>(plen)) == 0;
}

bool complete_reply(const char *buf, int n)
{
    return n >= 4 && std::memcmp(buf + n - 4, "\r\n\r\n", 4) == 0;
}

bool probe_answer(const char *buf, int n)
{
    return begins(buf, n, "AT+") || begins(buf, n, "+ok");
}

// Reads until the line has been quiet `quiet_ms`, taking what comes.
void drain(int fd, int quiet_ms)
{
    char buf[READ_LEN];
    for (int i = 0; i < GUARD_READS; i++) {
        const long quiet = serial_quiet_ms(fd);
        if (quiet >= quiet_ms)
            return;
        if (CommReadUntil(fd, buf, READ_LEN, static_cast<int>(quiet_ms - quiet), nullptr) <= 0)
            return;
    }
}

bool has_reply_end(const std::string &got)
{
    return got.find("\r\n\r\n") != std::string::npos;
}

// The default's waits, ms: a probe's read (20 bytes), the handshake's read
// for "a" (5 bytes) and for its "+ok" (10 bytes); a scan waits no less, plus
// the bytes' time on the line at the rate tried (at 50 baud "+ok\r\n\r\n"
// alone takes 1.4 s).
constexpr int read_ms(int len)
{
    return PCCOM_READ_TOTAL_CONST_MS + PCCOM_READ_TOTAL_PER_BYTE_MS * len;
}
// A module's "+ok" after "a" that comes later than the default's read is
// still awaited this much more: a scan must find a slow module, and must
// not leave one it woke in command mode.
constexpr int LATE_OK_MS = 1000;
// An identity query's wait (besides the bytes' time on the line).
constexpr int ASK_MS = 2000;

// Reads into `got` until `done` holds for what came so far, or `ms` passed:
// a reply is assembled across reads, however the line splits it. False
// when a read failed.
bool read_for(int fd, std::string &got, int ms, bool (*done)(const std::string &))
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char buf[32];
    while (!done(got)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            return true;
        const int n =
            CommReadUntil(fd, buf, sizeof buf, static_cast<int>(left), [&](const char *b, int k) {
                return done(got + std::string(b, static_cast<size_t>(k)));
            });
        if (n < 0)
            return false;
        got.append(buf, static_cast<size_t>(n));
    }
    return true;
}

// Sends `cmd` and a line feed, and the value of the "+ok=" reply that
// comes (after an echo, if any) into `value`. False without one.
bool ask(int fd, const char *cmd, std::string *value)
{
    serial_drop_waiting(fd);
    const std::string frame = std::string(cmd) + "\n";
    if (CommWrite(fd, frame.data(), static_cast<int>(frame.size())) != int(frame.size()))
        return false;
    std::string got;
    read_for(fd, got, ASK_MS + line_wire_ms(fd, int(frame.size()) + 100), has_reply_end);
    const size_t at = got.find("+ok=");
    const size_t end = got.find("\r\n\r\n", at == std::string::npos ? 0 : at);
    if (at == std::string::npos || end == std::string::npos)
        return false;
    *value = got.substr(at + 4, end - at - 4);
    return true;
}

line_mode handshake(int fd, int wait)
{
    if (CommWrite(fd, "+++", 3) != 3)
        return line_mode::none;
    // Twice the least wait at least (a try must not miss a module for a
    // busy PC), and the bytes' time: "+++" and "a" take 0.8 s at 50 baud.
    std::string a;
    read_for(fd, a, std::max(wait, 2 * LINE_PROBE_WAIT_MIN_MS) + line_wire_ms(fd, 4),
             [](const std::string &g) { return !g.empty(); });
    if (a.empty() || a[0] != 'a')
        return line_mode::none;
    if (CommWrite(fd, "a", 1) != 1)
        return line_mode::none;
    std::string got;
    read_for(fd, got, read_ms(10) + LATE_OK_MS + line_wire_ms(fd, 1 + HANDSHAKE_OK_LEN),
             has_reply_end);
    if (got.size() == size_t(HANDSHAKE_OK_LEN) && got.compare(0, 3, "+ok") == 0)
        return line_mode::transparent;
    // It took "a", and may be in command mode: back to transparent mode.
    line_scan_release(fd);
    return line_mode::none;
}

line_mode try_open_port(int fd, bool patient)
{
    char buf[READ_LEN];
    const int wait = line_probe_wait_ms(fd);
    // Patient: the default's probe read, and the probe's and its answer's
    // time on the line, so a module slow to answer is found as the window
    // finds it.
    const int probe_wait =
        patient ? std::max(wait, read_ms(READ_LEN) + line_wire_ms(fd, PROBE_LEN + 7)) : wait;
    for (int i = 0; i < 2; i++) {
        if (CommWrite(fd, PROBE, PROBE_LEN) != PROBE_LEN)
            return line_mode::none;
        std::string got;
        if (!read_for(fd, got, probe_wait, has_reply_end))
            return line_mode::none;
        if (probe_answer(got.data(), int(got.size()))) {
            drain(fd, LINE_PROBE_WAIT_MIN_MS); // an echo's "+ok" may follow
            return line_mode::command;
        }
        // Any answer ("+ERR", or the echo of junk a wrong rate left in the
        // module's line before the probe) may be a module in command mode:
        // the next probe finds its line clean. Silence goes on to "+++".
        if (got.empty())
            break;
    }
    // The quick pass sent "+++" at this setting already: a module in
    // transparent mode would have answered it, and more would only be data
    // for its network peer.
    if (patient)
        return line_mode::none;
    // The guard before "+++", read on: a slow module's late answer to the
    // probe shows here, before any "+++" could be taken for its command.
    for (int i = 0; i < GUARD_READS; i++) {
        const long quiet = serial_quiet_ms(fd);
        if (quiet >= AT_FAST_QUIET_MS)
            break;
        const int n = CommReadUntil(fd, buf, READ_LEN, static_cast<int>(AT_FAST_QUIET_MS - quiet),
                                    complete_reply);
        if (n < 0)
            return line_mode::none;
        if (probe_answer(buf, n)) {
            drain(fd, LINE_PROBE_WAIT_MIN_MS);
            return line_mode::command;
        }
    }
    if (serial_quiet_ms(fd) < AT_FAST_QUIET_MS)
        return line_mode::none; // junk keeps coming: nothing that listens for "+++"
    return handshake(fd, wait);
}

} // namespace

std::string line_setting_text(const line_setting &s)
{
    const char parity = s.parity >= 0 && s.parity < int(parity_letters.size())
                            ? parity_letters[static_cast<size_t>(s.parity)]
                            : '?';
    return std::to_string(s.baud) + " " + std::to_string(s.data_bits) + parity +
           (s.stop_bits == PCCOM_STOPBITS_TWO ? "2" : "1");
}

const char *line_parity_name(int parity)
{
    return parity >= 0 && parity < int(parity_names.size()) ? parity_names[size_t(parity)] : "?";
}

const char *line_mode_name(line_mode m)
{
    return m == line_mode::command ? "command" : m == line_mode::transparent ? "transparent" : "none";
}

std::vector<line_setting> line_scan_settings(bool all_framings)
{
    std::vector<line_setting> out;
    auto add_rates = [&out](int bits, int parity, int stop) {
        for (int baud : rates_in_order)
            out.push_back(line_setting{baud, bits, parity, stop});
    };
    add_rates(8, PCCOM_PARITY_NONE, PCCOM_STOPBITS_ONE);
    if (!all_framings)
        return out;
    for (int bits = 8; bits >= 5; bits--)
        for (int parity : {PCCOM_PARITY_NONE, PCCOM_PARITY_EVEN, PCCOM_PARITY_ODD,
                           PCCOM_PARITY_MARK, PCCOM_PARITY_SPACE})
            for (int stop : {PCCOM_STOPBITS_ONE, PCCOM_STOPBITS_TWO})
                if (!(bits == 8 && parity == PCCOM_PARITY_NONE && stop == PCCOM_STOPBITS_ONE))
                    add_rates(bits, parity, stop);
    return out;
}

line_scan_result line_scan_try(const std::string &device, const line_setting &s, bool patient)
{
    line_scan_result r;
    r.setting = s;
    const int fd = CommOpen(device.c_str(), s.baud, s.data_bits, s.parity, s.stop_bits, 0);
    if (fd == 0) {
        r.open_failed = true;
        return r;
    }
    r.mode = try_open_port(fd, patient);
    // A setting is found only where the module tells who it is and how its
    // line is set; a module woken at a wrong one goes back as it was.
    if (r.mode != line_mode::none && !(ask(fd, "AT+MID", &r.mid) && ask(fd, "AT+UART", &r.uart))) {
        if (r.mode == line_mode::transparent)
            line_scan_release(fd);
        r.mode = line_mode::none;
    }
    if (r.mode == line_mode::none)
        CommClose(fd);
    else
        r.fd = fd;
    return r;
}

line_scan_result line_scan_find(const std::string &device,
                                const std::vector<line_setting> &settings,
                                std::vector<std::string> *tried)
{
    line_scan_result r;
    // A quick pass finds a module that answers at once; only without one
    // are the settings tried again with the default's waits.
    for (const bool patient : {false, true}) {
        if (tried)
            tried->clear();
        for (const auto &s : settings) {
            // The process must end (its parent died): nothing more is sent.
            if (serial_reads_interrupted())
                return r;
            r = line_scan_try(device, s, patient);
            if (r.open_failed || r.mode != line_mode::none)
                return r;
            if (tried)
                tried->push_back(line_setting_text(s));
        }
    }
    return r;
}

bool line_scan_release(int fd)
{
    serial_drop_waiting(fd);
    if (CommWrite(fd, "AT+ENTM\n", 8) != 8)
        return false;
    std::string got;
    read_for(fd, got, read_ms(10) + LATE_OK_MS + line_wire_ms(fd, 8 + 7),
             [](const std::string &g) { return g.find("+ok") != std::string::npos; });
    return got.find("+ok") != std::string::npos;
}
