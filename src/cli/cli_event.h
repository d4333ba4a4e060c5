// Messages from a worker process to the parent over a pipe, and the text,
// JSON and write helpers every output of the command line uses.
#ifndef MODCFG_CLI_EVENT_H
#define MODCFG_CLI_EVENT_H

#include <json-glib/json-glib.h>
#include <string>
#include <utility>
#include <vector>

// One message: a kind and named fields. Fields carry module texts byte for
// byte; no field holds a zero byte (replies and sendable command-file lines
// cannot), which is what the framing relies on.
struct cli_event {
    std::string kind;
    std::vector<std::pair<std::string, std::string>> fields;

    explicit cli_event(std::string k = "") : kind(std::move(k)) {}
    cli_event &set(const std::string &key, const std::string &value);
    cli_event &set(const std::string &key, long value);
    // The field's value, or "" when absent.
    std::string get(const std::string &key) const;
    long get_long(const std::string &key) const;
};

// Framing: a 4-byte length (host order, one machine) and the fields as
// zero-terminated texts, kind first. Writes the whole frame; false when the
// pipe is gone (the parent ended).
bool cli_event_write(int fd, const cli_event &ev);
// Takes every whole frame off the front of `buf` into `out`; a partial frame
// stays for the next read. False when `buf` holds a frame that cannot be
// one (the worker is not speaking this framing).
bool cli_event_take(std::string &buf, std::vector<cli_event> &out);

// How cli_text escapes control characters.
enum class cli_escape {
    json, // NUL only: JSON escapes the other C0 characters itself
    line, // every C0 character and DEL
    csv,  // as line, but CR and LF as "\r" and "\n", and TAB kept
};
// A module's text as valid UTF-8 that loses nothing: shown as the window
// shows it (UTF-8 as it is, GB18030 decoded); where it is neither, the
// valid UTF-8 sequences are kept and every other byte becomes the four
// characters "\xNN". C1 characters (U+0080..U+009F; U+009B starts a
// terminal command) become "\xNN" for each of their two bytes, always; C0
// ones as `how` says.
std::string cli_text(const std::string &text, cli_escape how);
// A text for a human reader (cli_escape::line): a module's text can never
// move the cursor or recolour a terminal.
std::string cli_printable(const std::string &text);
// A text for a JSON string (cli_escape::json).
std::string cli_utf8(const std::string &text);
// The JSON text `builder` built, on one line without a line end; the
// builder is released.
std::string cli_json_finish(JsonBuilder *builder);

// The arguments `args` of setting `name` ("WSKEY", "WPA2PSK,AES,key") as
// modcfg may show them: the key of WAKEY and WSKEY (from the third
// argument on) and the password of WEBU (from the second on) become "***";
// other settings are returned as they are. The one masking every output
// path uses; compare values before masking them.
std::string cli_secret_masked(const std::string &name, const std::string &args);
// A command line ("AT+WSKEY=WPA2PSK,AES,key") with its secret masked.
std::string cli_line_masked(const std::string &line);
// A console line of the core ("Send Command: AT+WSKEY=...") with the
// secret of the command in it masked.
std::string cli_console_masked(const std::string &line);
// A worker's event with every secret it carries masked: the lines of
// "unacked" and "unverifiable", the values of "mismatch" and "value".
// "command" (an export's output) is left whole.
cli_event cli_event_masked(const cli_event &ev);

// Writes all of `bytes` to `fd`, through partial writes and interruptions.
// False (errno set by the failing write) when a write fails or takes
// nothing.
bool cli_write_all(int fd, const std::string &bytes);

#endif
