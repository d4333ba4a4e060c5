// The events a worker sends its parent over the event pipe (framed by
// cli_event_write), and the parent's answers. Worker and parent both name
// the kinds through these constants.
//
// Worker to parent (kind: fields):
// - "stage" text: what it does now: "open", "scan", "connect", "read",
//   "apply", "verify", "restart", "release".
// - "waiting" text: wait mode (--loop), no new module yet, and why.
// - "vanished": the port disappeared while waiting.
// - "line" text: --baud auto found the module at these line settings.
// - "module" mid [device]: a module answered "AT+MID". A serial worker adds
//   `device`, which identifies the port's device node (for last_device); a
//   TCP worker sends the MID only. The worker then sends nothing to the
//   module until the parent answered on `answer_fd`.
// - "version" version: the module's "AT+VER", once the parent said "go".
// - "not-a-module": a TCP peer that did not answer "AT+MID" with a MID.
// - "progress" stage, done, total: lines applied or read back so far.
// - "value" name, value: a query answered while reading.
// - "command" line [kept]: a set command of an export; `kept` when it
//   carries the module's own value (cli_export_line).
// - "sent" line: the frame of a line of the file went out.
// - "answer" line, acked, refusal: the module's answer to it; acked 1 when
//   it acknowledged, refusal its "+ERR..." line.
// - "unverifiable" line.
// - "checked" setting, sent, held, answered, holds [differs]: a setting
//   read back; answered 0 when the module gave no value at all, holds 1
//   when it is the value sent; `differs` added by the mask (cli_secret.h).
// - "port-error" error, errno, hint: the port could not be opened (the
//   worker then ends with CLI_EXIT_PORT).
// - "row" pool, seq, values: the module's row of the pool (values as CSV).
// - "record" id, time [spooled, lost]: the module's record is begun (before
//   anything that changes it is sent); `spooled` says why it went to the
//   spool, `lost` that the server is gone.
// - "result" result, note, restarted: the last event of a module. A failed
//   claim adds "database"; a worker that records the module itself adds
//   "recorded", "spooled" (why, and "lost") or "unrecorded" (the reason).
// - "alive": an exchange ended (the parent's watchdog).
//
// Parent to worker, on `answer_fd`, once per "module":
// - "go": from here the module is in progress.
// - "skip" why: let go untouched with "AT+ENTM"; why is "stop" (the run
//   ends), "done" (done in this run, or failed too often) or "busy" (in
//   progress elsewhere).
#ifndef MODCFG_CLI_PROTOCOL_H
#define MODCFG_CLI_PROTOCOL_H

namespace cli_ev
{
constexpr const char *STAGE = "stage";
constexpr const char *WAITING = "waiting";
constexpr const char *VANISHED = "vanished";
constexpr const char *LINE = "line";
constexpr const char *MODULE = "module";
constexpr const char *VERSION = "version";
constexpr const char *NOT_A_MODULE = "not-a-module";
constexpr const char *PROGRESS = "progress";
constexpr const char *VALUE = "value";
constexpr const char *COMMAND = "command";
constexpr const char *SENT = "sent";
constexpr const char *ANSWER = "answer";
constexpr const char *UNVERIFIABLE = "unverifiable";
constexpr const char *CHECKED = "checked";
constexpr const char *PORT_ERROR = "port-error";
constexpr const char *ROW = "row";
constexpr const char *RECORD = "record";
constexpr const char *RESULT = "result";
constexpr const char *ALIVE = "alive";

constexpr const char *GO = "go";
constexpr const char *SKIP = "skip";
} // namespace cli_ev

#endif
