#!/usr/bin/env bash
# Makes the upstream tarball a "3.0 (quilt)" source package is built from:
# the tracked files of this checkout without debian/, as
# modcfg_VERSION.orig.tar.xz (VERSION from debian/changelog, without the
# Debian revision) with one top directory modcfg-VERSION/. Names, owners and
# times are fixed (times from the last commit), so the same checkout gives
# the same bytes.
#   tools/make-orig.sh [--out DIR]     the tarball in DIR (default ..)
set -euo pipefail
cd "$(dirname "$0")/.."
out=..
while [ $# -gt 0 ]; do
    case "$1" in
    --out) out=$2; shift ;;
    *) echo "usage: $0 [--out DIR]" >&2; exit 2 ;;
    esac
    shift
done
version=$(dpkg-parsechangelog -S Version)
upstream=${version%-*}
mkdir -p "$out"
tarball=$out/modcfg_$upstream.orig.tar.xz
git ls-files -z -- . ':(exclude)debian' |
    tar --null -T - --transform "s,^,modcfg-$upstream/," --sort=name \
        --mtime="@$(git log -1 --format=%ct)" --owner=0 --group=0 --numeric-owner \
        --mode='u+rw,go=rX' -cf - |
    xz -6 -T1 >"$tarball"
echo "$tarball"
