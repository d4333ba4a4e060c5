// Module texts made safe for each output of the command line: a terminal
// line, a JSON string, a CSV field; and the JSON text a builder made.
#ifndef MODCFG_CLI_ESCAPE_H
#define MODCFG_CLI_ESCAPE_H

#include <json-glib/json-glib.h>
#include <string>

// How cli_text escapes control characters.
enum class cli_escape {
    json, // NUL only: JSON escapes the other C0 characters itself
    line, // every C0 character and DEL
    csv,  // as line, but CR and LF as "\r" and "\n", and TAB kept
};
// A module's text as valid UTF-8 that loses nothing: shown as the window
// shows it (UTF-8 as it is, GB18030 decoded); where it is neither, the
// valid UTF-8 sequences are kept and every other byte becomes the four
// characters "\xNN", and a backslash becomes "\\". C1 characters (U+0080..U+009F; U+009B starts a
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

#endif
