#!/usr/bin/env bash
# The main job, shown on a local domain: a Samba AD domain controller on
# loopback (scripts/samba-dc.sh), two policy sets written with zefareg, and
# passwords of real directory accounts tested with zefatest.
# Needs root (the domain controller). Leaves the DC running in
# $CLAVORA_DEMO_DC (default /tmp/clavora-demo-dc); stop it with
#   scripts/samba-dc.sh down /tmp/clavora-demo-dc
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh >/dev/null
bin=$PWD/build/bin
dc=${CLAVORA_DEMO_DC:-/tmp/clavora-demo-dc}
scripts/samba-dc.sh up "$dc" 127.0.0.41 >/dev/null

export CLAVORA_ROOT=${CLAVORA_DEMO_ROOT:-/tmp/clavora-demo-root}
export CLAVORA_SMB_CONF=$dc/etc/smb.conf
export CLAVORA_LDAP_URI="ldapi://$(printf '%s' "$dc/private/ldap_priv/ldapi" | sed 's|/|%2F|g')"
mkdir -p "$CLAVORA_ROOT"

key='HKLM\Software\Policies\Clavora'
run() { printf '\n$ %s\n' "$*"; "$@"; }
run "$bin/zefareg" add "$key\\1" /v Enabled /t REG_DWORD /d 1 /f
run "$bin/zefareg" add "$key\\1" /v UserGroups /t REG_MULTI_SZ /d 'Engineers\0IT Staff' /f
run "$bin/zefareg" add "$key\\1" /v MinLength /t REG_DWORD /d 12 /f
run "$bin/zefareg" add "$key\\1" /v Number /t REG_DWORD /d 1 /f
run "$bin/zefareg" add "$key\\1" /v NoName /t REG_DWORD /d 1 /f
run "$bin/zefareg" add "$key\\1" /v NoObfuscation /t REG_DWORD /d 1 /f
run "$bin/zefareg" add "$key\\1" /v Forbidden /t REG_SZ /d 'password;winter;summer' /f
run "$bin/zefareg" add "$key\\2" /v Enabled /t REG_DWORD /d 1 /f
run "$bin/zefareg" add "$key\\2" /v UserOus /t REG_SZ /d 'Sales' /f
run "$bin/zefareg" add "$key\\2" /v CharCategories /t REG_DWORD /d 3 /f
run "$bin/zefareg" add "$key\\2" /v MinLength /t REG_DWORD /d 8 /f
run "$bin/zefareg" add "$key" /v SkipUsers /t REG_SZ /d 'Administrator' /f
run "$bin/zefareg" query "$key" /s
run "$bin/zefatest" /v
run "$bin/zefatest" /p alice 'W1nter-Alice'
run "$bin/zefatest" /p alice 'correct horse 42 battery'
run "$bin/zefatest" /p bob 'salesdept'
run "$bin/zefatest" /p nobody 'whatever'
