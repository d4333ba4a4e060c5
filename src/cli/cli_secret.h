// Wi-Fi keys and the web password kept out of every line, record and
// result unless --show-secrets asks for them.
#ifndef MODCFG_CLI_SECRET_H
#define MODCFG_CLI_SECRET_H

#include "cli_event.h"

#include <string>

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
// "sent", "answer" and "unverifiable", the values of "checked" and "value".
// "command" (an export's output) is left whole. A setting read back whose
// values differ only in their masked parts gets "differs": "key" or
// "password".
cli_event cli_event_masked(const cli_event &ev);

#endif
