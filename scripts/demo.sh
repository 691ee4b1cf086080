#!/usr/bin/env bash
# A short demonstration of the filter on a throw-away server layout:
# two policy sets written with zefareg, the installation check, and
# passwords tested with zefatest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh >/dev/null
bin=$PWD/build/bin
root=$(mktemp -d /tmp/clavora-demo-XXXXXX)
trap 'rm -rf "$root"' EXIT
export CLAVORA_ROOT=$root
export CLAVORA_SMB_CONF=$root/smb.conf
mkdir -p "$root/sysvol/scripts"
printf '[global]\n\tworkgroup = EXAMPLE\n\tnetbios name = DC1\n[netlogon]\n\tpath = %s\n' \
  "$root/sysvol/scripts" > "$CLAVORA_SMB_CONF"

key='HKLM\Software\Policies\Clavora'
set -x
"$bin/zefareg" add "$key\\1" /v Enabled /t REG_DWORD /d 1 /f
"$bin/zefareg" add "$key\\1" /v UserGroups /t REG_MULTI_SZ /d 'Engineers\0IT Staff' /f
"$bin/zefareg" add "$key\\1" /v MinLength /t REG_DWORD /d 12 /f
"$bin/zefareg" add "$key\\1" /v Number /t REG_DWORD /d 1 /f
"$bin/zefareg" add "$key\\1" /v Forbidden /t REG_SZ /d 'password;winter' /f
"$bin/zefareg" add "$key\\2" /v Enabled /t REG_DWORD /d 1 /f
"$bin/zefareg" add "$key\\2" /v UserOus /t REG_SZ /d 'Sales' /f
"$bin/zefareg" add "$key\\2" /v CharCategories /t REG_DWORD /d 3 /f
"$bin/zefareg" add "$key" /v SkipUsers /t REG_SZ /d 'Administrator' /f
"$bin/zefareg" query "$key" /s
"$bin/zefatest" /v
"$bin/zefatest" /p alice 'Winter2026'
