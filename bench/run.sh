#!/usr/bin/env bash
# Builds the workflow benchmark without sanitizers (into build-bench, or the
# directory given) and runs it against the emulator on a pty.
#   bench/run.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target bench_workflow >/dev/null
"$build/bench/bench_workflow"
