#!/usr/bin/env bash
# Builds the workflow benchmarks without sanitizers (into build-bench, or the
# directory given) and runs them against the emulator: on a pty with and
# without fast exchange side by side, then as a TCP client of the network
# build's server on port 9999; then the command line modcfg on ptys and
# over TCP.
#   bench/run.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
build=${1:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target bench_workflow bench_net bench_cli bench_pool bench_scan >/dev/null
"$build/bench/bench_workflow"
"$build/bench/bench_net"
"$build/bench/bench_cli"
"$build/bench/bench_pool"
"$build/bench/bench_scan"
