#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and run.sh need, only
# those that are missing. help2man makes the manual pages, gettext the
# window's catalogues (locales lets a test make an English locale); the install test
# checks the installed tree with desktop-file-utils, appstream and man-db;
# dpkg-dev's dpkg-shlibdeps computes the package's dependencies.
# The records live in SQLite or PostgreSQL; the tests start a PostgreSQL
# server of their own from the postgresql package.
# Usage: tools/install-deps.sh [extra packages...]
set -euo pipefail

pkgs=(cmake g++ make pkg-config libgtk2.0-dev libjson-glib-dev libgtest-dev libgmock-dev
      xvfb xauth xdotool x11-utils imagemagick fonts-wqy-microhei
      help2man gettext locales desktop-file-utils appstream man-db dpkg-dev bash-completion
      libsqlite3-dev libpq-dev postgresql "$@")
missing=()
for p in "${pkgs[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
