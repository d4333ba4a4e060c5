#!/usr/bin/env bash
# The cells of the fast-against-default matrix that take minutes at the
# default timing (replies 1 s and 4.5 s late, on a pty and over TCP; about
# 10 minutes). ./test.sh skips them; run this after changing the exchange.
#   tests/fast_differential_slow.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-test}
if [ ! -x "$build/tests/e2e_fast_differential" ]; then
    tools/install-deps.sh
    cmake -S . -B "$build" -DMODCFG_TESTS=ON -DMODCFG_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
    cmake --build "$build" -j2 --target e2e_fast_differential cli_fast_differential modcfg qxb27-sim
fi
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export MODCFG_SLOW_CELLS=1
cd "$build/tests"
./e2e_fast_differential --gtest_filter='Behaviours/FastDifferential.*/late_1s:Behaviours/FastDifferential.*/late_4500ms'
./cli_fast_differential # through modcfg, with probes late and the scan at 134 baud
