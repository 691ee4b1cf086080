#!/usr/bin/env bash
# Installs what building and testing Clavora needs on Debian 12.
set -euo pipefail
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
# shellcheck source=lib/packages.sh
. "$(dirname "$0")/lib/packages.sh"
install_missing_packages \
  build-essential cmake ninja-build pkg-config \
  libpcre3-dev libssl-dev libcurl4-openssl-dev libldap-dev libpng-dev zlib1g-dev \
  libldb-dev libtalloc-dev \
  googletest libgtest-dev libbenchmark-dev \
  python3 \
  libfltk1.3-dev libkrb5-dev xvfb xauth x11-apps imagemagick locales \
  clang libclang-rt-dev
# The reminder's date formatting is tested in an English and a German locale.
for l in en_US.UTF-8 de_DE.UTF-8; do
  if ! locale -a 2>/dev/null | grep -qix "${l/UTF-8/utf8}"; then
    $SUDO sed -i "s/^# *\($l UTF-8\)/\1/" /etc/locale.gen
    grep -q "^$l UTF-8" /etc/locale.gen || echo "$l UTF-8" | $SUDO tee -a /etc/locale.gen >/dev/null
    $SUDO locale-gen >/dev/null
  fi
done
