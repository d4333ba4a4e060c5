// The AT exchange with the module, written once over an at_link: command-
// mode entry on the serial port, queries, set commands and the echo test.
#ifndef MODCFG_MODULE_AT_H
#define MODCFG_MODULE_AT_H

#include "module.h"

// Pause between two reply reads of a query or set command, ms.
constexpr int AT_REPLY_PAUSE_MS = 200;
// Reply reads of a query or set command before it gives up.
constexpr int AT_REPLY_TRIES = 40;
// Pause after a silent answer to "+++" in the handshake, ms.
constexpr int AT_HANDSHAKE_PAUSE_MS = 1000;
// Reads that uart_read2clean makes at most while bytes keep coming; a
// module streaming data in transparent mode must not hold the tool forever.
constexpr int UART_CLEAN_MAX_READS = 10;

// Fast exchange: off by default, when every read keeps the module's
// original timing. Set once at start, before any exchange. When on, the
// frames, their order, the tries and the replies recognised stay the
// same; only the waits change:
// - a read of a query, set command, probe or echo test ends as soon as the
//   bytes so far end with "\r\n\r\n"; the handshake's read after "+++"
//   ends on a first byte "a", the one after "a" on "\r\n\r\n". A reply
//   that never completes still ends by the line's inter-byte and total
//   time-outs;
// - a serial read waits AT_FAST_FIRST_BYTE_MS for its first byte, and the
//   tries pause AT_FAST_REPLY_PAUSE_MS (over TCP only the pauses change:
//   its reads return on the first bytes already, and the tries go on for
//   as long as the default's 40 would last); a later try takes a late
//   reply. Reads no later try follows (the echo test, the rest after an
//   "AT+E" echo) wait for their first byte as long as without fast
//   exchange, and a probe answered after one that was not reads the second
//   probe's answer off the line: a slow module's late answer must never be
//   taken for the next command's reply;
// - the handshake keeps AT_FAST_QUIET_MS of quiet on the line before each
//   "+++", and the drain before it ends once the line has been that quiet;
// - a connect's probes wait line_probe_wait_ms (line_scan.h) instead; a
//   later answer is taken while the line is kept quiet before "+++", or,
//   later still, as the reply to "+++" (the module is in command mode: its
//   other answers are read off and the handshake finished);
// - a command-mode entry that fails is made once more at the default
//   timing (see connect_to_module): fast never calls a module absent that
//   the default timing reaches.
void at_set_fast(bool on);
bool at_fast();
// All in milliseconds.
// How long a fast read waits for the first byte of an answer, counted from
// when the frame just written has left the line (the serial layer
// estimates that from the port's rate). A module answers within a few
// milliseconds at any rate of the list, and one byte takes at most 200 ms
// (at 50 baud), which the serial layer adds. A slower module is caught by a
// later try: a query's or set command's 40 tries give it 40 x (200 + 50) ms
// = 10 s, against the 5.2 s one query read waits without fast exchange,
// and the second probe's read takes a late answer to the first (400 ms).
constexpr int AT_FAST_FIRST_BYTE_MS = 200;
// Pause between two reply reads, and after a silent answer to "+++", in
// fast exchange: a module that answered nothing within
// AT_FAST_FIRST_BYTE_MS gets this much more before the next read looks.
constexpr int AT_FAST_REPLY_PAUSE_MS = 50;
// Quiet on the line before each "+++" in fast exchange: a module in
// transparent mode takes "+++" for its escape only as a burst of its own,
// after a pause in the data.
constexpr int AT_FAST_QUIET_MS = 200;

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
int at_send_cmd_get(const at_link &link, const char *cmd, char *ret);
// Set command `cmd`: 1 when acknowledged ("+ok", or an echo beginning
// "AT+E" whose rest is then read and dropped), else 0 after AT_REPLY_TRIES.
// Any other echo of `cmd` before the "+ok" is skipped as for a query.
int at_send_cmd_set(const at_link &link, const char *cmd);
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
