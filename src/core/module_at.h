// The AT exchange with the module, written once over an at_link: command-
// mode entry on the serial port, queries, set commands and the echo test.
#ifndef MODCFG_MODULE_AT_H
#define MODCFG_MODULE_AT_H

#include "module.h"

#include <string>

// Pause between two reply reads of a query or set command, ms.
constexpr int AT_REPLY_PAUSE_MS = 200;
// Reply reads of a query or set command before it gives up.
constexpr int AT_REPLY_TRIES = 40;
// Pause after a silent answer to "+++" in the handshake, ms.
constexpr int AT_HANDSHAKE_PAUSE_MS = 1000;
// Reads that uart_read2clean makes at most while bytes keep coming; a
// module streaming data in transparent mode must not hold the tool forever.
constexpr int UART_CLEAN_MAX_READS = 10;

// The pause in a module's bytes after which its reply is over, ms: a
// serial read ends that long after the last byte. In fast exchange, after
// a failed query or set command, the next frame goes out only once the
// line has been quiet this long, and what came meanwhile is dropped.
constexpr int AT_REPLY_GAP_MS = 200;

// Fast exchange, off by default and set once at start: the same frames,
// tries and replies, shorter waits (docs/user-guide.md, "Fast exchange").
void at_set_fast(bool on);
bool at_fast();
// All in milliseconds.
// How long a fast read waits for the first byte of an answer, counted from
// when the frame just written has left the line (the serial layer
// estimates that from the port's rate). A module answers within a few
// milliseconds at any rate of the list, and one byte takes at most 200 ms
// (at 50 baud), which the serial layer adds. A slower module is caught by a
// later try, and after the 40 tries by the rest of the default's budget;
// the second probe's read takes a late answer to the first (400 ms).
constexpr int AT_FAST_FIRST_BYTE_MS = 200;
// Pause between two reply reads, and after a silent answer to "+++", in
// fast exchange: a module that answered nothing within
// AT_FAST_FIRST_BYTE_MS gets this much more before the next read looks.
constexpr int AT_FAST_REPLY_PAUSE_MS = 50;
// Quiet on the line before each "+++" in fast exchange: a module in
// transparent mode takes "+++" for its escape only as a burst of its own,
// after a pause in the data.
constexpr int AT_FAST_QUIET_MS = 200;
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
// Milliseconds `bytes` bytes take on `fd`'s line at its rate and frame
// (50 baud when the settings cannot be read).
int line_wire_ms(int fd, int bytes);

// Before each frame of a query, set command or echo test, the bytes
// already waiting on the link are dropped: a reply is taken only from bytes
// that came after its frame, so a late reply can fail its own query but
// never fill another's. Bytes before a reply's "+ok" (a stray byte, line
// ends or the tail of an earlier reply) are skipped.
//
// Query `cmd` (no line end; any length, sent whole) over `link`: 1 and the
// reply's value in `ret` (at least AT_VALUE_MAX + 1 bytes; never more is
// written), or 0 with `ret` untouched. The value is what follows "+ok=" up
// to the reply's terminator "\r\n\r\n" (bytes after it are dropped); for a
// reply without one, up to its line ends (up to four CR or LF bytes, as
// many as came), empty when nothing else follows. A reply whose read ran
// out of time while it was still coming is no value: the query fails. The
// rest of a reply longer than one read is read off, so the next command
// does not take it for its own reply.
// An echo of the command (`cmd`, then "\r\n" or one CR or LF) before the
// reply is skipped, in one read with the reply or in reads of its own.
// In fast exchange a reply that has not come in the fast tries is awaited
// for the rest of what the default's tries take (as long as reads do not
// fail), so fast never gives up sooner than the default.
int at_send_cmd_get(const at_link &link, const char *cmd, char *ret);
// The query of at_send_cmd_get, except that a value cut short (a reply
// longer than one read, or still coming when its read ran out of time) is
// never a value: 0, and `cut` (may be null) set true. With 1, `len` (may
// be null) is the value's byte count: a zero byte the module sent within
// its value is kept in ret[0..len).
int at_send_cmd_whole(const at_link &link, const char *cmd, char *ret, bool *cut,
                      int *len = nullptr);
// Set command `cmd`: 1 when acknowledged ("+ok", or an echo beginning
// "AT+E" whose rest is then read and dropped), else 0 after AT_REPLY_TRIES.
// Any other echo of `cmd` before the "+ok" is skipped as for a query. A
// "+ok" split across reads ("+", then "ok...") is assembled.
int at_send_cmd_set(const at_link &link, const char *cmd);
// The same; with refusals answered (at_set_refusal_answers) a reply
// "+ERR..." ends the wait at once with 0, its line (line ends removed) in
// `refusal` when given; `refusal` is emptied otherwise.
int at_send_cmd_set_refused(const at_link &link, const char *cmd, std::string *refusal);
// Off by default and set once at start: a set command's "+ERR" reply is an
// answer, not a read to try again. The window keeps the module's own
// timing of 40 tries; the command line turns it on.
void at_set_refusal_answers(bool on);
// Echo test: 1 when the module echoes the probe "AT+" (the reply's first
// byte is "A"), else 0.
int at_echo(const at_link &link);

// The serial port of strPCCom as an at_link (CommWrite / CommRead on its fd).
extern const at_link serial_link;

// Serial command-mode entry on strPCCom's port: two probes "AT+", then the
// "+++" handshake. Prints "Connect to Module...", "..." per probe, then
// "OK!" or "Fialed!". 1 when the module is in command mode. In fast
// exchange an entry that fails is made once more at the default timing
// (its probes print "..." too) before "Fialed!"; when that one succeeds,
// "slow module: default timing used" follows "OK!".
int connect_to_module();
// The "+++" / "a" handshake on `fd`: 1 when the module answered "a" and then
// exactly 7 bytes beginning "+ok"; 0 otherwise or when a read or write fails.
// At the default timing, a module that answered "a" but not so is sent
// "AT+ENTM", so that one whose "+ok" came late is not left in command mode.
int trying_to_onnect(int fd);
// Reads `fd` until a read delivers nothing (1), pausing `sec` seconds after
// each read that delivered bytes; 0 when a read fails or input is still
// coming after UART_CLEAN_MAX_READS reads.
int uart_read2clean(int fd, int sec);
// Writes `len` bytes of `buf`, then pauses `sec` seconds if it is not 0.
// 1, or 0 when the write failed (no pause then).
int uart_write_wait(int fd, const char *buf, int len, int sec);

#endif
