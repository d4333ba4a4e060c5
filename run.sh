#!/usr/bin/env bash
# Installs what is missing, builds the tool and starts the serial build in
# run/ with an emulated module on COM1. Without an X display it runs under
# Xvfb, takes a screenshot, prints its path and exits.
#   ./run.sh            serial build, emulated module on COM1
#   ./run.sh net        network build, emulated module connecting to it
set -euo pipefail
cd "$(dirname "$0")"
top=$PWD
variant=${1:-com}

tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"

# The tool's working directory: command files in data/, the logo beside it.
mkdir -p run/data
[ -f build/pic ] && cp build/pic run/pic

pids=()
# Stop in reverse order of start: the tool before its X server.
cleanup() { for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done; }
trap cleanup EXIT

sim=$top/build/tools/qxb27-sim
if [ "$variant" = net ]; then
  prog=$top/build/modcfg_net
else
  prog=$top/build/modcfg_com
  rm -f run/com1
  "$sim" --pty --link "$top/run/com1" --state "$top/run/module1.state" --log "$top/run/module1.log" &
  pids+=($!)
  for _ in $(seq 50); do [ -e run/com1 ] && break; sleep 0.1; done
  export MODCFG_COM1=$top/run/com1
fi

start_net_module() {
  # The module connects to the tool once the tool listens on port 9999.
  "$sim" --tcp 127.0.0.1:9999 --retry --state "$top/run/module1.state" --log "$top/run/module1.log" &
  pids+=($!)
}

cd run
if [ -n "${DISPLAY:-}" ]; then
  "$prog" &
  prog_pid=$!
  pids+=($prog_pid)
  [ "$variant" = net ] && start_net_module
  # Until the window is closed; the emulated module is stopped on exit.
  wait "$prog_pid" 2>/dev/null || true
  exit 0
fi

# No display: run under Xvfb and leave a screenshot.
shot=$top/run/screenshot.png
# Xvfb picks a free display and writes its number once it accepts clients.
dpyfile=$(mktemp)
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$dpyfile" 2>/dev/null &
pids+=($!)
for _ in $(seq 200); do [ -s "$dpyfile" ] && break; sleep 0.1; done
[ -s "$dpyfile" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(head -n 1 "$dpyfile")
rm -f "$dpyfile"
"$prog" &
pids+=($!)
[ "$variant" = net ] && start_net_module
for _ in $(seq 100); do xdotool search --onlyvisible --name 'QX-B27' >/dev/null 2>&1 && break; sleep 0.1; done
sleep 2
import -window root "$shot"
echo "No display: ran under Xvfb; screenshot: $shot"
