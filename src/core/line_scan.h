// Finding the line settings at which a module answers on a serial port: the
// settings in the order they are tried, one try at one setting (the probe,
// then the "+++" / "a" handshake), and the search over a list of them.
#ifndef MODCFG_LINE_SCAN_H
#define MODCFG_LINE_SCAN_H

#include <string>
#include <vector>

// Line settings as CommOpen takes them.
struct line_setting {
    int baud = 57600;
    int data_bits = 8;
    int parity = 0;    // PCCOM_PARITY_ code
    int stop_bits = 0; // PCCOM_STOPBITS_ code
};

// "115200 8N1": rate, data bits, parity letter (N, O, E, M, S), stop bits.
std::string line_setting_text(const line_setting &s);
// The parity's name as the window's list and "AT+UART" give it ("None").
const char *line_parity_name(int parity);

// The settings a scan tries, most likely first: the rates 57600, 115200,
// 9600, then the rest of the window's list from fast to slow (345600 left
// out: Linux cannot set it), each at 8N1. With `all_framings`, then every
// rate again at each other framing of the window's lists (data bits 8 to
// 5, parity None, Even, Odd, Mark, Space, one or two stop bits).
std::vector<line_setting> line_scan_settings(bool all_framings);

// How the module was found.
enum class line_mode { none, command, transparent };
const char *line_mode_name(line_mode m); // "command", "transparent", "none"

// What a try or a search found: the mode, the setting it answered at and
// the open port (fd, the module left in command mode), or that the port
// could not be opened (serial_last_error tells why). With line_mode::none
// the port is closed again.
struct line_scan_result {
    line_mode mode = line_mode::none;
    line_setting setting;
    int fd = -1;
    bool open_failed = false;
    std::string mid, uart; // what "AT+MID" and "AT+UART" answered there
};

// One try at `s` on `device`: opens it (CommOpen, with its console lines),
// writes the probe "AT+\n" and waits for "+ok" or its echo; any other answer (a module's "+ERR" for
// junk a wrong rate left in its line, or that junk echoed) gets the probe once more. Without an
// answer the line is kept quiet for the guard a module in transparent mode needs (a late answer to
// the probe still counts then), then "+++" is sent once, and an "a" is answered "a" and must bring
// "+ok\r\n\r\n"; a module that answered "a" without it gets "AT+ENTM".
// Nothing else is sent: at a wrong rate a module in transparent mode takes
// every byte as data for its network peer. A setting is found only when
// "AT+MID" and "AT+UART" answer there. Every wait is the bytes' time on
// the line at the rate tried more than the quick wait or the default's.
// With `patient`, the probe waits at least as long as the default's read;
// else as long as the line and a quick module take.
line_scan_result line_scan_try(const std::string &device, const line_setting &s, bool patient);

// Sends "AT+ENTM" on `fd` and awaits its "+ok", assembled across reads,
// for the default's time and the bytes' time at the line's rate: true when
// it came.
bool line_scan_release(int fd);

// Tries `settings` in order on `device` until one finds a module or the
// port cannot be opened, first quickly, then patiently; `tried` (may be
// null) gets each setting that found none, as line_setting_text gives it.
line_scan_result line_scan_find(const std::string &device,
                                const std::vector<line_setting> &settings,
                                std::vector<std::string> *tried);

#endif
