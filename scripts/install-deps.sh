#!/usr/bin/env bash
# Installs what building and testing Clavora needs on Debian 12.
set -euo pipefail
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
packages=(
  build-essential cmake ninja-build pkg-config
  libpcre3-dev libssl-dev libcurl4-openssl-dev libldap-dev libpng-dev zlib1g-dev
  googletest libgtest-dev libbenchmark-dev
  python3
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
