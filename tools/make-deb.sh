#!/usr/bin/env bash
# Builds the Debian source and binary packages the one way Debian does,
# dpkg-buildpackage on debian/, from the upstream tarball tools/make-orig.sh
# makes of the tracked files (as a clean checkout would be) with debian/
# beside it, and checks them with lintian --pedantic, which fails this
# script on an error or a warning. The build runs the tests that need no
# display and no database server (DEB_BUILD_OPTIONS=nocheck skips them).
#   tools/make-deb.sh [--out DIR]       packages in DIR (build-deb)
#   tools/make-deb.sh --autopkgtest     then, as root: runs debian/tests on
#                                       this machine (autopkgtest's null
#                                       runner installs the packages)
#   tools/make-deb.sh --try-install     then, as root: installs them with
#                                       apt, runs each program, removes them
#                                       and checks that none of their files
#                                       remain
set -euo pipefail
cd "$(dirname "$0")/.."
out=build-deb
try_install=no
autopkgtest=no
while [ $# -gt 0 ]; do
    case "$1" in
    --out) out=$2; shift ;;
    --try-install) try_install=yes ;;
    --autopkgtest) autopkgtest=yes ;;
    *) echo "usage: $0 [--out DIR] [--autopkgtest] [--try-install]" >&2; exit 2 ;;
    esac
    shift
done

tools/install-deps.sh lintian devscripts debhelper fakeroot libgtest-dev
version=$(dpkg-parsechangelog -S Version)
src=$out/modcfg-${version%-*}
rm -rf "$src" "$out"/*.deb "$out"/*.ddeb "$out"/*.changes "$out"/*.buildinfo \
    "$out"/*.dsc "$out"/*.debian.tar.* "$out"/*.orig.tar.*
mkdir -p "$out"
tar -xJf "$(tools/make-orig.sh --out "$out")" -C "$out"
git ls-files -z debian | tar --null -T - -cf - | tar -xf - -C "$src"
(cd "$src" && dpkg-checkbuilddeps)
(cd "$src" && dpkg-buildpackage -us -uc >../dpkg-buildpackage.log 2>&1) || {
    tail -n 40 "$out/dpkg-buildpackage.log" >&2; exit 1; }
changes=$(ls "$out"/modcfg_*.changes)
echo "Built: $changes"
echo "== $(basename "$(ls "$out"/modcfg_*.dsc)")"
for deb in "$out"/*.deb; do
    echo "== $(basename "$deb")"
    dpkg-deb --field "$deb" Package Version Section Depends Recommends
done

echo "lintian --pedantic:"
lintian --pedantic --display-info "$changes" | tee "$out/lintian.txt" || true
for level in E W I P; do
    printf '%s: %s  ' "$level" "$(grep -c "^$level: " "$out/lintian.txt" || true)"
done
echo
if grep -q '^[EW]: ' "$out/lintian.txt"; then
    echo "lintian reports errors or warnings" >&2
    exit 1
fi

if [ "$autopkgtest" = yes ]; then
    tools/install-deps.sh autopkgtest
    autopkgtest "$changes" -- null
fi

[ "$try_install" = yes ] || exit 0
export DEBIAN_FRONTEND=noninteractive
debs=$(ls "$out"/modcfg_*.deb "$out"/modcfg-cli_*.deb)
# shellcheck disable=SC2086 # one path per package
apt-get install -y -qq $(printf './%s ' $debs) >/dev/null
files=$(dpkg -L modcfg modcfg-cli)
for p in modcfg_com modcfg_net qxb27-sim modcfg; do
    env -u DISPLAY "/usr/bin/$p" --version
done
apt-get remove -y -qq modcfg modcfg-cli >/dev/null
left=0
while IFS= read -r f; do
    # Directories other packages share (/usr/bin ...) stay; files must go.
    if [ -e "$f" ] && ! [ -d "$f" ]; then
        echo "left behind: $f" >&2
        left=1
    fi
done <<<"$files"
for d in /usr/share/modcfg /usr/share/doc/modcfg /usr/share/doc/modcfg-cli; do
    [ ! -e "$d" ] || { echo "left behind: $d" >&2; left=1; }
done
[ $left -eq 0 ] && echo "removed: no file of the packages remains"
exit $left
