#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each one for SECONDS seconds on
# a scratch copy of its seed corpus, then prints per target the executions
# and the findings (crash, leak, time-out and out-of-memory inputs).
# Exits 1 when any target found something; the findings are kept and their
# directory printed. The repository is never written to except the build
# directory.
#
# Usage: fuzz/run.sh SECONDS [TARGET...]
#   MODCFG_FUZZ_BUILD  build directory (default: build-fuzz in the tree)
#   MODCFG_FUZZ_OUT    where the scratch corpora and findings go (default:
#                      a new directory under /dev/shm or TMPDIR, removed
#                      afterwards unless something was found)
set -uo pipefail

if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]] || [ "$1" -lt 1 ]; then
    echo "usage: $0 SECONDS [TARGET...]" >&2
    exit 2
fi
seconds=$1
shift

root=$(cd "$(dirname "$0")/.." && pwd)
build=${MODCFG_FUZZ_BUILD:-$root/build-fuzz}
all_targets=(fuzz_reply fuzz_ip fuzz_cmd_file fuzz_set_para fuzz_entry_rules fuzz_allow
    fuzz_reply_segments fuzz_module_text fuzz_cli_event fuzz_cli_record)
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all_targets[@]}")

# clang and its fuzzer runtime, besides what any build needs.
"$root/tools/install-deps.sh" clang libclang-rt-14-dev || exit 2

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DMODCFG_FUZZ=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 2
cmake --build "$build" -j2 --target "${targets[@]}" >/dev/null || {
    echo "fuzz build failed" >&2
    exit 2
}

# Scratch space on tmpfs when there is one: the command-file targets write
# and rename files for every input.
if [ -n "${MODCFG_FUZZ_OUT:-}" ]; then
    out=$MODCFG_FUZZ_OUT
    mkdir -p "$out" || exit 2
    keep=1
else
    base=${TMPDIR:-/tmp}
    [ -d /dev/shm ] && [ -w /dev/shm ] && base=/dev/shm
    out=$(mktemp -d "$base/modcfg-fuzz-run.XXXXXX") || exit 2
    keep=0
fi
out=$(cd "$out" && pwd)

total_findings=0
report=()
for t in "${targets[@]}"; do
    bin=$build/fuzz/$t
    seeds=$root/fuzz/corpus/$t
    corpus=$out/$t/corpus
    findings=$out/$t/findings
    work=$out/$t/work
    mkdir -p "$corpus" "$findings" "$work"
    [ -d "$seeds" ] && cp -r "$seeds/." "$corpus/"
    log=$out/$t/log
    echo "== $t: ${seconds}s" >&2
    # Absolute paths: some targets change into a scratch working directory.
    # Output of the code under test (stdout) is dropped, libFuzzer's kept.
    TMPDIR=$work "$bin" "$corpus" -max_total_time="$seconds" -timeout=20 \
        -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$findings/" >"$log" 2>&1
    status=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    [ -z "$execs" ] && execs=$(sed -n 's/^#\([0-9]*\).*/\1/p' "$log" | tail -1)
    found=$(find "$findings" -type f | wc -l)
    if [ "$status" -ne 0 ] && [ "$found" -eq 0 ]; then
        found=1 # died without leaving an input: the log says why
        echo "$t exited with $status; see $log" >&2
    fi
    total_findings=$((total_findings + found))
    units=$(find "$corpus" -type f | wc -l)
    report+=("$(printf '%-18s executions %10s  corpus %5s  findings %s' "$t" "${execs:-0}" "$units" "$found")")
    for f in "$findings"/*; do
        [ -e "$f" ] && echo "  $t finding: $f" >&2
    done
done

printf '%s\n' "${report[@]}"
if [ "$total_findings" -gt 0 ]; then
    echo "findings: $total_findings (kept in $out)"
    exit 1
fi
echo "findings: 0"
[ "$keep" -eq 0 ] && rm -rf "$out"
exit 0
