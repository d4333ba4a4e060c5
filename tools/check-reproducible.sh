#!/usr/bin/env bash
# Builds the packages twice, from two directories of different names and at
# two different times, without ccache, and compares the .deb files byte for
# byte (the debug-symbol packages too). SOURCE_DATE_EPOCH comes from
# debian/changelog through dpkg-buildpackage. Slow (two full builds), so not
# part of ./test.sh.
#   tools/check-reproducible.sh        exit 0 when every .deb is identical
set -euo pipefail
cd "$(dirname "$0")/.."
base=build-deb/repro
rm -rf "$base"
export CCACHE_DISABLE=1
for run in a second-build-elsewhere; do
    echo "build $run"
    tools/make-deb.sh --out "$base/$run" >"$base-$run.log" 2>&1 ||
        { tail -n 30 "$base-$run.log" >&2; exit 1; }
done
differ=0
for deb in "$base"/a/*.deb; do
    name=$(basename "$deb")
    other=$base/second-build-elsewhere/$name
    if cmp -s "$deb" "$other"; then
        echo "identical: $name $(sha256sum <"$deb" | cut -c1-16)"
    else
        echo "DIFFERENT: $name" >&2
        differ=1
        command -v diffoscope >/dev/null && diffoscope "$deb" "$other" | head -n 60 >&2
    fi
done
[ $differ -eq 0 ] && echo "reproducible: every package is byte-identical"
exit $differ
