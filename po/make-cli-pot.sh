#!/bin/sh
# Writes the message template of modcfg's (the command line's) texts to
# stdout: every text of src/cli marked with cli_gettext, N_ or dngettext.
# xgettext's own header (its creation date changes at every run) gives way
# to a fixed one; without a header it would drop the non-ASCII bytes.
#   po/make-cli-pot.sh SOURCE_DIR > po/modcfg-cli.pot
set -eu
cd "$1"
cat <<'HEADER'
# The texts of modcfg, the command line.
# This file is distributed under the same license as the modcfg package.
#, fuzzy
msgid ""
msgstr ""
"Project-Id-Version: modcfg\n"
"MIME-Version: 1.0\n"
"Content-Type: text/plain; charset=UTF-8\n"
"Content-Transfer-Encoding: 8bit\n"
"Plural-Forms: nplurals=INTEGER; plural=EXPRESSION;\n"

HEADER
# Sorted names: the template does not depend on the order ls gives.
files=$(LC_ALL=C ls src/cli/*.cpp src/cli/*.h | LC_ALL=C sort)
# shellcheck disable=SC2086
xgettext --language=C++ --from-code=UTF-8 --sort-by-file \
    --keyword= --keyword=cli_gettext --keyword=N_ --keyword=dngettext:2,3 \
    --flag=cli_format:1:c-format --add-comments=TRANSLATORS: \
    -o - $files |
    awk -v header=1 'header && /^$/ { header = 0; next } !header'
