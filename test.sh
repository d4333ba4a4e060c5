#!/usr/bin/env bash
# Installs what is missing, builds the tool and its tests with AddressSanitizer
# and UndefinedBehaviorSanitizer, and runs the whole suite under Xvfb.
set -euo pipefail
cd "$(dirname "$0")"

tools/install-deps.sh
build=build-test
cmake -S . -B "$build" -DMODCFG_TESTS=ON -DMODCFG_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" -j "$(nproc)"

# GTK, fontconfig and X keep memory until exit; suppress those by library
# so the project's own leaks still show.
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
cd "$build"
# -noreset: an X server resets when its last client leaves and refuses
# connections meanwhile, so a window started just then could not open its
# display; one test's window closing must not fail the next one's.
xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" ctest --output-on-failure -j 2 "$@"
