// A module's texts (SSID, keys, user, host name) are bytes in whatever
// character set the tool that last wrote them used; this is how they are
// shown as UTF-8 without changing the bytes kept in the records.
#ifndef MODCFG_MODULE_TEXT_H
#define MODCFG_MODULE_TEXT_H

#include <string>

// `bytes` as UTF-8 for display: unchanged when they are UTF-8; decoded as
// GB18030 when they are valid GB18030 (the character set other tools for
// this module write Chinese texts in); otherwise with every invalid byte
// replaced by U+FFFD. The result is valid UTF-8 and never the way back to
// the bytes: a text the operator did not edit is sent as `bytes`.
std::string module_text_shown(const std::string &bytes);

// The first two steps of module_text_shown: true with `utf8` set when
// `bytes` are UTF-8 or valid GB18030; false (and `utf8` untouched) when
// neither, which is where module_text_shown repairs.
bool module_text_decoded(const std::string &bytes, std::string &utf8);

#endif
