#!/usr/bin/env bash
# Builds the Debian package as Debian builds its own programs (the flags of
# dpkg-buildflags: optimisation, hardening), packs it with CPack and checks
# it with lintian, which fails this script on an error.
#   tools/make-deb.sh                 build-deb/modcfg_<version>_<arch>.deb
#   tools/make-deb.sh --try-install   then, as root: installs it with apt,
#                                     runs each program, removes it and
#                                     checks that none of its files remain
set -euo pipefail
cd "$(dirname "$0")/.."
try_install=no
case "${1:-}" in
'') ;;
--try-install) try_install=yes ;;
*) echo "usage: $0 [--try-install]" >&2; exit 2 ;;
esac

tools/install-deps.sh lintian
build=build-deb
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
# Given on the command line, not through the environment, which CMake reads
# only on the first run; CPPFLAGS (_FORTIFY_SOURCE) goes with the compiler's.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_C_FLAGS="$CPPFLAGS $CFLAGS" -DCMAKE_CXX_FLAGS="$CPPFLAGS $CXXFLAGS" \
    -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/modcfg_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/modcfg_*.deb)
echo "Package: $deb"
dpkg-deb --info "$deb" | sed -n '/Package:/,$p'

echo "lintian:"
lintian --display-level '>=pedantic' "$deb" | tee "$build/lintian.txt" || true
for level in E W I P; do
    printf '%s: %s  ' "$level" "$(grep -c "^$level: " "$build/lintian.txt" || true)"
done
echo
if grep -q '^E: ' "$build/lintian.txt"; then
    echo "lintian reports errors" >&2
    exit 1
fi

[ "$try_install" = yes ] || exit 0
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq "./$deb" >/dev/null
files=$(dpkg -L modcfg)
echo "dpkg -L modcfg:"
echo "$files"
for p in modcfg_com modcfg_net qxb27-sim modcfg; do
    [ -x "/usr/bin/$p" ] && env -u DISPLAY "/usr/bin/$p" --version
done
apt-get remove -y -qq modcfg >/dev/null
left=0
while IFS= read -r f; do
    # Directories other packages share (/usr/bin ...) stay; files must go.
    if [ -e "$f" ] && ! [ -d "$f" ]; then
        echo "left behind: $f" >&2
        left=1
    fi
done <<<"$files"
for d in /usr/share/modcfg /usr/share/doc/modcfg; do
    [ ! -e "$d" ] || { echo "left behind: $d" >&2; left=1; }
done
[ $left -eq 0 ] && echo "removed: no file of the package remains"
exit $left
