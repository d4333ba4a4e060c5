#!/usr/bin/env bash
# Builds the soak without sanitizers (into build-bench, or the directory
# given) and runs it against the emulator: queries over TCP with the
# keep-alive running, then connect/read/disconnect cycles over a pty,
# printing resident memory and open descriptors along the way. Takes some
# 40 minutes with the defaults (a serial connect from transparent mode
# alone is about four seconds); not part of ./test.sh.
#   bench/soak.sh [build-dir] [--queries N] [--pace MS] [--cycles N]
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
build=build-bench
if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then
  build=$1
  shift
fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target bench_soak >/dev/null
"$build/bench/bench_soak" "$@"
