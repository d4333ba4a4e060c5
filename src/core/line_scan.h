// Finding the line settings at which a module answers on a serial port: the
// settings in the order they are tried, one try at one setting (the probe,
// then the "+++" / "a" handshake), and the probe's wait derived from the
// line's pace.
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

// Results of line_scan_try besides a mode.
constexpr int LINE_SCAN_OPEN_FAILED = -1;

// One try at `s` on `device`: opens it (CommOpen, with its console lines),
// writes the probe "AT+\n" and waits line_probe_wait_ms for "+ok" or its
// echo; any other answer (a module's "+ERR" for junk a wrong rate left in
// its line, or that junk echoed) gets the probe once more. Without
// an answer the line is kept quiet for the guard a module in transparent
// mode needs (a late answer to the probe still counts then), then "+++" is
// sent once, and an "a" is answered "a" and must bring "+ok\r\n\r\n".
// Nothing else is sent: at a wrong rate a module in transparent mode takes
// every byte as data for its network peer.
// Returns the mode found (the port left open in strPCCom.fd, the module in
// command mode), line_mode::none (the port closed again), or, as an int,
// LINE_SCAN_OPEN_FAILED when the port cannot be opened
// (serial_last_error tells why).
int line_scan_try(const std::string &device, const line_setting &s);

// All in milliseconds.
// Least wait for the answer to a probe in fast exchange.
constexpr int LINE_PROBE_WAIT_MIN_MS = 30;
// Added to the wire time for the module's own latency and the PC's
// scheduling: the emulator answers within 2 ms on an idle machine; a
// slower module is caught by the handshake's guard, which reads on.
constexpr int LINE_PROBE_MARGIN_MS = 20;
// The wait for the first byte of an answer to a probe on `fd` in fast
// exchange, as CommReadUntil counts it (from when the probe has left the
// line and one byte could have come back): with that, the window from the
// write spans the probe (4 bytes) and a "+ok\r\n\r\n" reply (7) at the
// port's rate and frame, plus LINE_PROBE_MARGIN_MS; at least
// LINE_PROBE_WAIT_MIN_MS (57600 and 9600 baud: 30; 50: 1220). Also when
// the settings cannot be read, the wait for 50 baud.
int line_probe_wait_ms(int fd);

#endif
