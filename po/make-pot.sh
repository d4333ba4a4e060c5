#!/bin/sh
# Writes the message template of the window's texts to stdout: every
# non-empty text of src/ui/lang.cpp, once, in the order stored there. The
# Wi-Fi key labels share their Chinese text with the web password's label
# but get a context of their own ("Wi-Fi key"), as lang.cpp looks them up.
#   po/make-pot.sh SOURCE_DIR > po/modcfg.pot
set -eu
src=$1/src/ui/lang.cpp
cat <<'HEADER'
# The window's texts of modcfg.
# This file is distributed under the same license as the modcfg package.
msgid ""
msgstr ""
"Project-Id-Version: modcfg\n"
"PO-Revision-Date: 2026-12-07 18:00+0000\n"
"Last-Translator: modcfg developers <modcfg@example.org>\n"
"Language-Team: English\n"
"MIME-Version: 1.0\n"
"Content-Type: text/plain; charset=UTF-8\n"
"Content-Transfer-Encoding: 8bit\n"

HEADER
sed -n 's/^const char \(text_[A-Za-z0-9_]*\)\[\] = \(".*"\);$/\1 \2/p' "$src" |
awk '$2 != "\"\"" {
    name = $1; sub(/^[^ ]* /, ""); text = $0
    ctx = (name == "text_wifiap_key" || name == "text_wifista_key") ? "Wi-Fi key" : ""
    if (seen[ctx, text]++) next
    printf "#. %s\n", name
    if (ctx != "") printf "msgctxt \"%s\"\n", ctx
    printf "msgid %s\nmsgstr \"\"\n\n", text
}'
