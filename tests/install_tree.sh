#!/usr/bin/env bash
# The tree `cmake --install` lays out, checked under a temporary DESTDIR:
# the programs, desktop entries, icon, metainfo, manual pages and docs, and
# each window started the way its desktop entry starts it, on an X server of
# its own, with HOME (and for one window XDG_DATA_HOME) in a temporary
# directory. The network window takes port 9999.
#   install_tree.sh BUILD_DIR VERSION PROGRAM...
set -uo pipefail
build=$1
version=$2
shift 2
programs=("$@")

tmp=$(mktemp -d)
pids=()
# Stop in reverse order of start: programs before their X server.
cleanup()
{
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill -- "${pids[i]}" 2>/dev/null && wait "${pids[i]#-}" 2>/dev/null
    done
    rm -rf "$tmp"
}
trap cleanup EXIT

checks=0
failed=0
check() # WHAT COMMAND...: runs COMMAND, counts it, reports a failure
{
    local what=$1
    shift
    checks=$((checks + 1))
    if ! "$@"; then
        echo "FAILED: $what" >&2
        failed=$((failed + 1))
    fi
}
# Runs COMMAND quietly; its output is shown only when it fails.
quiet() { local out; out=$("$@" 2>&1) || { printf '%s\n' "$out" >&2; return 1; }; }
same() { [ "$1" = "$2" ] || { echo "  got:      $1" >&2; echo "  expected: $2" >&2; false; }; }
# Polls COMMAND... until it succeeds or SECONDS pass.
within()
{
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.2
    done
}

if ! DESTDIR=$tmp/root cmake --install "$build" --prefix /usr >"$tmp/install.log" 2>&1; then
    cat "$tmp/install.log" >&2
    echo "FAILED: cmake --install" >&2
    exit 1
fi
usr=$tmp/root/usr
share=$usr/share

# Programs: exactly the built ones, each naming this version without a display.
check "bin/ holds the programs" same "$(ls "$usr/bin" | sort | xargs)" \
    "$(printf '%s\n' "${programs[@]}" | sort | xargs)"
for p in "${programs[@]}"; do
    check "$p --version" same "$(env -u DISPLAY "$usr/bin/$p" --version 2>&1)" "$p $version"
done

# Desktop entries and the icon they name: a PNG of its size and an SVG.
icon_ok()
{
    local icon=$1 size
    for size in 48 64 128 256; do
        same "$(identify -format '%m %wx%h' "$share/icons/hicolor/${size}x$size/apps/$icon.png")" \
            "PNG ${size}x$size" || return 1
    done
    grep -q '<svg' "$share/icons/hicolor/scalable/apps/$icon.svg"
}
for entry in modcfg_com modcfg_net; do
    desktop=$share/applications/$entry.desktop
    check "$entry.desktop validates" quiet desktop-file-validate "$desktop"
    check "$entry.desktop starts $entry in its data directory" \
        same "$(sed -n 's/^Exec=//p' "$desktop")" "$entry --workdir"
    check "$entry.desktop has a Chinese name with the window title" \
        grep -q '^Name\[zh_CN\]=QX-B27设置工具 V2.2' "$desktop"
    check "$entry.desktop icon" icon_ok "$(sed -n 's/^Icon=//p' "$desktop")"
done

metainfo=$(ls "$share"/metainfo/*.metainfo.xml)
check "metainfo validates" quiet appstreamcli validate --pedantic --no-net "$metainfo"
for id in $(sed -n 's:.*<launchable type="desktop-id">\(.*\)</launchable>.*:\1:p' "$metainfo"); do
    check "metainfo launches $id" test -f "$share/applications/$id"
done

# Manual pages render without warnings, and their OPTIONS section names
# every option --help names: an option added later cannot be left out of a
# hand-written list.
man_ok()
{
    local p=$1 page=$share/man/man1/$1.1.gz text options opt
    text=$(MANWIDTH=100 man --warnings -l "$page" 2>"$tmp/man.err") || return 1
    [ ! -s "$tmp/man.err" ] || { cat "$tmp/man.err" >&2; return 1; }
    grep -q "^ *$p - " <<<"$text" || { echo "  no NAME line" >&2; return 1; }
    options=$(awk '/^OPTIONS/ { on = 1; next } /^[A-Z]/ { on = 0 } on' <<<"$text")
    for opt in $(env -u DISPLAY "$usr/bin/$p" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
        grep -qE -- "$opt([^[:alnum:]-]|\$)" <<<"$options" || { echo "  $opt missing" >&2; return 1; }
    done
}
for p in "${programs[@]}"; do
    check "man page of $p" man_ok "$p"
done

# The command line's subcommands have options of their own; its page names
# each of them too.
man_commands_ok()
{
    local text sub opt
    text=$(MANWIDTH=100 man -l "$share/man/man1/modcfg.1.gz")
    for sub in ports read export apply verify provision scan pool history; do
        grep -q "modcfg $sub" <<<"$text" || { echo "  modcfg $sub missing" >&2; return 1; }
        for opt in $("$usr/bin/modcfg" "$sub" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
            grep -qE -- "$opt([^[:alnum:]-]|\$)" <<<"$text" ||
                { echo "  modcfg $sub $opt missing" >&2; return 1; }
        done
    done
}
if [[ " ${programs[*]} " == *" modcfg "* ]]; then
    check "man page of modcfg names every subcommand's options" man_commands_ok
fi

# The English catalogue, in the place the installed windows look.
catalogue_ok()
{
    same "$(LANGUAGE=en LC_ALL=C.UTF-8 TEXTDOMAINDIR=$share/locale gettext -d modcfg 连接模块)" Connect
}
check "English catalogue" catalogue_ok

# Bash completion, where bash-completion loads it on demand, completing
# from the installed program's own --help.
complete_words() # COMMAND WORD... : what completing the last WORD offers
{
    PATH="$usr/bin:$PATH" bash -c '
        source /usr/share/bash-completion/bash_completion
        source "$0"
        COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
        COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
        $(complete -p "$1" | grep -o -- "-F [^ ]*" | cut -c4-) 2>/dev/null
        printf "%s\n" "${COMPREPLY[@]}"' \
        "$share/bash-completion/completions/$1" "$@" | sort | xargs
}
completion_ok()
{
    [ -f /usr/share/bash-completion/bash_completion ] || { echo "  bash-completion missing" >&2; return 1; }
    same "$(complete_words modcfg "")" \
        "$(printf '%s\n' --help --version ports read export apply verify provision scan pool history | sort | xargs)" &&
        same "$(complete_words modcfg read --port COM1)" "COM1 COM10 COM11 COM12" &&
        complete_words modcfg provision --re | grep -qw -- --report= &&
        (cd "$tmp" && touch golden-file.txt && complete_words modcfg apply --port COM1 golden- |
            grep -qx golden-file.txt) &&
        same "$(complete_words modcfg pool "")" "list release show" &&
        # A pool is imported before any port is opened.
        printf 'NAME\nhall-1\n' >"$tmp/hall.csv" && printf 'AT+WSSSID=${NAME}\nE\n' >"$tmp/line.txt" &&
        { "$usr/bin/modcfg" provision "$tmp/line.txt" --values "$tmp/hall.csv" --port "$tmp/none" \
            --db "$tmp/pools.sqlite" >/dev/null 2>&1; true; } &&
        same "$(complete_words modcfg pool show --db "$tmp/pools.sqlite" "")" hall &&
        same "$(complete_words modcfg pool --db="$tmp/pools.sqlite" release h)" hall &&
        complete_words qxb27-sim --tr | grep -qx -- --trickle &&
        same "$(complete_words qxb27-sim --mode "")" "command transparent"
}
if [[ " ${programs[*]} " == *" modcfg "* ]]; then
    check "bash completion of modcfg" completion_ok
fi

# What travels in clear and who can read the files holding keys is written
# where a user of the network window and the command line looks.
security_ok()
{
    local text
    text=$(MANWIDTH=100 man -l "$share/man/man1/$1.1.gz")
    # Justified lines may hold two blanks between words.
    awk '/^SECURITY/ { on = 1; next } /^[A-Z]/ { on = 0 } on' <<<"$text" | tr -s " " >"$tmp/security"
    for word in "in clear" --listen --allow 0600; do
        grep -q -- "$word" "$tmp/security" || { echo "  SECURITY lacks $word" >&2; return 1; }
    done
}
for p in modcfg_net modcfg; do
    if [[ " ${programs[*]} " == *" $p "* ]]; then
        check "man page of $p has a SECURITY section" security_ok "$p"
    fi
done

# The user's guide, not the developers' README.
for f in user-guide.md CHANGELOG.md LICENSE examples/99-qxb27.rules; do
    check "doc/modcfg/$f" test -s "$share/doc/modcfg/$f"
done
check "no developers' README installed" test ! -e "$share/doc/modcfg/README.md"
logo=$share/modcfg/pic
check "installed logo" same "$(identify -format '%m %wx%h' "$logo")" "PNG 796x76"

# The windows, on an X server of their own.
dpyfile=$tmp/display
# -noreset: no reset between one window's end and the next one's start.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$dpyfile" 2>/dev/null &
pids+=($!)
within 20 test -s "$dpyfile" || { echo "FAILED: Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(head -n 1 "$dpyfile")

# Starts ENTRY's Exec line from HOME, as the menu does, with the installed
# programs first on PATH; stdout and stderr to $tmp/ENTRY.log.
start_entry()
{
    local entry=$1
    shift
    local exec_line
    exec_line=$(sed -n 's/^Exec=//p' "$share/applications/$entry.desktop")
    # shellcheck disable=SC2086 # the Exec line is split into words, as a launcher does
    (cd "$HOME" && exec env "$@" PATH="$usr/bin:$PATH" $exec_line) >"$tmp/$entry.log" 2>&1 &
    pids+=($!)
    window_pid=$!
}
window_id() { wid=$(xdotool search --onlyvisible --pid "$window_pid" | head -n 1) && [ -n "$wid" ]; }
shot() { import -window "$wid" "$tmp/shot.png"; }
# The logo strip: the window's border (10) and the frame's shadow (2) from
# the corner, the picture unscaled.
logo_shown()
{
    shot && convert "$tmp/shot.png" -crop 400x60+12+12 +repage "$tmp/strip.png" &&
        convert "$logo" -crop 400x60+0+0 +repage "$tmp/logo.png" &&
        [ "$(compare -metric AE "$tmp/strip.png" "$tmp/logo.png" null: 2>&1)" = 0 ]
}
lamp_green()
{
    shot && [ "$(convert "$tmp/shot.png" -fill black +opaque '#00ff00' -fill white -opaque '#00ff00' \
        -format '%[fx:int(mean*w*h)]' info:)" -gt 200 ]
}
data_dir_ok() { [ -d "$1/data" ] && cmp -s "$1/pic" "$logo"; }
# Lists what is in HOME besides its own XDG data directory's modcfg/.
home_litter()
{
    find "$HOME" -mindepth 1 | grep -v -x -e "$HOME/.local" -e "$HOME/.local/share" \
        -e "$HOME/.local/share/modcfg" -e "$HOME/.local/share/modcfg/.*"
}
stop_window() { kill "$window_pid" 2>/dev/null; wait "$window_pid" 2>/dev/null; }

# Serial window, XDG_DATA_HOME unset: ~/.local/share/modcfg.
export HOME=$tmp/home-com
mkdir "$HOME"
start_entry modcfg_com -u XDG_DATA_HOME
check "modcfg_com window opens" within 60 window_id
check "modcfg_com shows the logo" within 30 logo_shown
check "modcfg_com data directory" data_dir_ok "$HOME/.local/share/modcfg"
stop_window
check "modcfg_com leaves HOME alone" same "$(home_litter)" ""
[ $failed -eq 0 ] || cat "$tmp/modcfg_com.log" >&2

# Where the locale asks for English, the installed window finds its
# catalogue beside it.
start_entry modcfg_com -u XDG_DATA_HOME -u LC_ALL -u LC_MESSAGES LANG=C.UTF-8 LANGUAGE=en
check "modcfg_com in English opens" within 60 window_id
check "modcfg_com in English" same "$(xdotool getwindowname "$wid")" "QX-B27 Configuration Tool V2.2"
stop_window

# Network window, XDG_DATA_HOME outside HOME; the installed emulator
# connects to it as a module does.
export HOME=$tmp/home-net
mkdir "$HOME"
start_entry modcfg_net XDG_DATA_HOME="$tmp/xdg-data"
check "modcfg_net window opens" within 60 window_id
check "modcfg_net shows the logo" within 30 logo_shown
check "modcfg_net data directory" data_dir_ok "$tmp/xdg-data/modcfg"
"$usr/bin/qxb27-sim" --tcp 127.0.0.1:9999 --retry --log "$tmp/sim.log" &
pids+=($!)
sim_pid=$!
check "the emulator gets the network window's keep-alive" \
    within 60 grep -qsF 'AT+W\n\x00' "$tmp/sim.log"
check "modcfg_net lamp turns green" within 30 lamp_green
kill "$sim_pid"
stop_window
check "modcfg_net leaves HOME alone" same "$(find "$HOME" -mindepth 1)" ""
[ $failed -eq 0 ] || cat "$tmp/modcfg_net.log" >&2

# Typed in a shell in a directory of no working directory's look: the
# installed logo, and one line on where command files go.
mkdir "$tmp/elsewhere"
(cd "$tmp/elsewhere" && exec env PATH="$usr/bin:$PATH" modcfg_com) >"$tmp/elsewhere.log" 2>&1 &
pids+=($!)
window_pid=$!
check "modcfg_com from a shell elsewhere opens" within 60 window_id
check "modcfg_com from a shell elsewhere shows the installed logo" within 30 logo_shown
check "modcfg_com from a shell elsewhere says where command files go" \
    same "$(grep -c -- '--workdir keeps them in' "$tmp/elsewhere.log")" 1
stop_window

# From the menu with a per-user directory that cannot be made: a dialog
# says so, as nobody reads standard error there.
export HOME=$tmp/home-blocked
mkdir "$HOME"
touch "$HOME/.local" # no directory can be made under it, not even by root
start_entry modcfg_com -u XDG_DATA_HOME
check "modcfg_com shows a dialog when its directory cannot be made" within 60 window_id
check "the dialog is modcfg_com's" same "$(xdotool getwindowname "$wid")" modcfg_com
check "the reason is on stderr too" grep -qF 'can not use the working directory' \
    "$tmp/modcfg_com.log"
stop_window

# --workdir naming nothing, or what cannot be a directory, ends the program
# before its window opens.
workdir_refused() # STATUS MESSAGE ARGS...
{
    local status=$1 message=$2 out rc
    shift 2
    out=$(cd "$tmp" && timeout 60 "$usr/bin/modcfg_com" "$@" 2>&1)
    rc=$?
    same "$rc" "$status" && grep -qF -- "$message" <<<"$out"
}
touch "$tmp/plain-file"
check "--workdir= is refused" workdir_refused 2 'names no directory' --workdir=
check "--workdir=DIR under a file is refused" workdir_refused 1 \
    'can not use the working directory' --workdir="$tmp/plain-file/wd"
# GLib takes the next argument as the optional value unless it is an option.
check "--workdir DIR under a file is refused" workdir_refused 1 \
    'can not use the working directory' --workdir "$tmp/plain-file/wd"

# The user guide's emulator section, followed as a newcomer does: each
# command block typed in a shell in HOME, in one process group. A block is
# tried again until it succeeds (one types the next command a moment after
# the emulator started); one that starts a program in the background once.
guide_blocks() # each block followed by an empty line
{
    awk '/^## / { on = ($0 == "## Trying it with the emulator") }
         on && /^    / { print substr($0, 5); block = 1; next }
         on && block { print ""; block = 0 }' "$share/doc/modcfg/user-guide.md"
}
follow_guide()
{
    local line block="" blocks=0 ok=0
    while IFS= read -r line; do
        [ -z "$line" ] || { block+="${block:+$'\n'}$line"; continue; }
        blocks=$((blocks + 1))
        if [[ $block == *'&' ]]; then
            bash -c "$block" && ok=$((ok + 1))
        else
            within 30 bash -c "$block" >>"$HOME/guide.out" 2>&1 && ok=$((ok + 1))
        fi
        block=""
    done < <(guide_blocks)
    same "$ok of $blocks" "$blocks of $blocks" && [ "$blocks" -ge 4 ]
}
export HOME=$tmp/home-guide
mkdir "$HOME"
(cd "$HOME" && exec setsid env -u XDG_DATA_HOME PATH="$usr/bin:$PATH" bash -c \
    "$(declare -f guide_blocks follow_guide within same); share=$share; follow_guide") \
    >"$tmp/guide.log" 2>&1 &
guide_pid=$!
pids+=("-$guide_pid") # its process group: the windows and emulators it started
window_named() { xdotool search --onlyvisible --name "^$1\$" >/dev/null; }
check "the guide's serial window opens with its console" within 60 window_named "modcfg_com console"
check "the guide's network window opens with its console" within 60 window_named "modcfg_net console"
check "the guide's export and apply read back every setting" grep -q verified "$HOME/guide.out"
wait "$guide_pid"
check "every block of the guide's emulator section ran" same "$?" 0
[ $failed -eq 0 ] || cat "$tmp/guide.log" "$HOME/guide.out" >&2

echo "install tree: $checks checks, $failed failed"
[ $failed -eq 0 ]
