#!/usr/bin/env bash
# The main job, shown through Samba itself: a local demo domain (a Samba AD
# domain controller on loopback, scripts/samba-dc.sh) whose check-password
# hook is zefa-check-password, zefa-host holding the filter library, two
# policy sets written with zefareg, and then a weak password refused by
# `samba-tool user setpassword` and a good one accepted, with the log lines.
# A second part runs the same accounts through the test console zefatest.
#
# Needs root (the domain controller). Works on a fresh machine: installs the
# build dependencies and Samba. Stops the host and the DC at the end; with
# CLAVORA_DEMO_KEEP=1 both keep running (the end tells how to stop them).
#   CLAVORA_DEMO_DC    the DC's folder (default /tmp/clavora-demo-dc)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh >/dev/null
bin=$PWD/build/bin
dc=${CLAVORA_DEMO_DC:-/tmp/clavora-demo-dc}
ip=127.0.0.41
host_dir=$dc/zefa-host
netlogon=$dc/state/sysvol/example.test/scripts
filter_log=$netlogon/zefa/system/log/DC1.log

say() { printf '\n== %s\n' "$*"; }
run() { printf '\n$ %s\n' "$*"; "$@"; }
# Like run, for a command that is expected to fail.
run_refused() { printf '\n$ %s\n' "$*"; if "$@"; then echo "(unexpectedly accepted)"; fi; }
wait_for() {  # seconds, what, command...
  local deadline=$((SECONDS + $1)) what=$2
  shift 2
  until "$@" >/dev/null 2>&1; do
    ((SECONDS < deadline)) || { echo "demo: gave up waiting for $what" >&2; exit 1; }
    sleep 0.2
  done
}

# Lines of a file that contain a text, and whether there are more than before.
count() {
  local n
  n=$(grep -c -- "$1" "$2" 2>/dev/null) || true
  echo "${n:-0}"
}
grew() { (($(count "$1" "$2") > $3)); }

stop_host() {
  if [[ -s $host_dir/host.pid ]] && kill -0 "$(<"$host_dir/host.pid")" 2>/dev/null; then
    local pid
    pid=$(<"$host_dir/host.pid")
    kill -TERM "$pid"
    while kill -0 "$pid" 2>/dev/null; do sleep 0.1; done
  fi
  rm -f "$host_dir/host.pid"
}
finish() {
  if [[ ${CLAVORA_DEMO_KEEP:-0} == 1 ]]; then
    say "Left running. Stop them with:"
    echo "  kill \$(cat $host_dir/host.pid); scripts/samba-dc.sh down $dc"
  else
    stop_host
    scripts/samba-dc.sh down "$dc" >/dev/null 2>&1 || true
  fi
}

# ------------------------------------------------------------------ domain
say "A demo domain EXAMPLE.TEST on $ip (Samba AD DC in $dc)"
stop_host  # one left by an earlier run
if [[ -f $dc/etc/smb.conf ]]; then
  # An earlier run wired the hook; without a host it would refuse the
  # fixture's passwords.
  scripts/samba-dc.sh stop "$dc" >/dev/null 2>&1
  sed -i '/check password script/d' "$dc/etc/smb.conf"
fi
# The accounts are created before the hook is wired; the domain keeps
# password complexity on, because Samba asks the hook only where it is on.
scripts/samba-dc.sh up "$dc" "$ip" >/dev/null
conf=$dc/etc/smb.conf
samba-tool domain passwordsettings set --complexity=on --min-pwd-age=0 -s "$conf" >/dev/null 2>&1
scripts/samba-dc.sh stop "$dc" >/dev/null
scripts/samba-dc.sh provision "$dc" "$ip" --check-password-script "$bin/zefa-check-password" >/dev/null
grep 'check password script' "$conf"
mkdir -p "$host_dir"
# The hook runs with the environment of samba (changes over LDAP and
# Kerberos) or of samba-tool (local changes); both find the host through it.
export ZEFA_HOST_SOCKET=$host_dir/host.sock
url=$(scripts/samba-dc.sh start "$dc" 2>/dev/null | sed -n 2p)
trap finish EXIT

# ------------------------------------------------------------- policy sets
say "Two policy sets, written with zefareg"
export CLAVORA_ROOT=$dc/clavora-root CLAVORA_SMB_CONF=$conf CLAVORA_LDAP_URI=$url
mkdir -p "$CLAVORA_ROOT"
key='HKLM\Software\Policies\Clavora'
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
# New accounts (asked for their first password before they exist) meet the
# second set; without this they would go unchecked (zefatest /v warns).
run "$bin/zefareg" add "$key" /v UnknownAccountSet /t REG_DWORD /d 2 /f

# -------------------------------------------------------------------- host
# The library's maintenance worker first initialises after 60 ticks; a
# 100 ms tick brings that down from a minute to six seconds.
export CLAVORA_MAINTENANCE_TICK_MS=100
say "zefa-host loads the filter library (log: $host_dir/host.log)"
before=$(count initialized "$filter_log")
"$bin/zefa-host" --socket "$ZEFA_HOST_SOCKET" --verbose >"$host_dir/host.log" 2>&1 &
echo $! >"$host_dir/host.pid"
wait_for 60 "the library's initialisation" grew initialized "$filter_log" "$before"
cat "$host_dir/host.log"
tail -n 1 "$filter_log"

# The filter reads the sets when it initialises (and again whenever they
# change) and mirrors them into the domain as Password Settings Objects,
# with complexity on, so that Samba keeps asking the hook.
pso_of_alice() {
  ldapsearch -LLL -o ldif-wrap=no -x -H "$url" -b 'CN=alice,OU=Engineering,OU=Staff,DC=example,DC=test' \
    -s base msDS-ResultantPSO 2>/dev/null | grep -q ZEFA_01_P
}
wait_for 60 "the policy objects" pso_of_alice
run ldapsearch -LLL -o ldif-wrap=no -x -H "$url" -b "CN=Password Settings Container,CN=System,DC=example,DC=test" \
  '(cn=ZEFA_*)' msDS-PasswordComplexityEnabled msDS-PSOAppliesTo

# ------------------------------------------------ through Samba itself
say "Samba asks the filter: a weak password is refused, a good one accepted"
denied=$(count 'Password Denied' "$filter_log")
changed=$(count 'Password of user alice has been changed' "$filter_log")
run_refused samba-tool user setpassword alice --newpassword='W1nter-Alice' -s "$conf"
wait_for 10 "the rejection in the log" grew 'Password Denied' "$filter_log" "$denied"
printf '\nThe filter log (%s):\n' "$filter_log"
grep 'Password Denied' "$filter_log" | tail -n 1
run samba-tool user setpassword alice --newpassword='correct horse 42 battery' -s "$conf"
# Samba tells nobody after a change: the host sees pwdLastSet move, then
# runs the library's change notification (log line, history entry).
wait_for 20 "the change notification" \
  grew 'Password of user alice has been changed' "$filter_log" "$changed"
printf '\nThe filter log:\n'
grep 'Password Changed' "$filter_log" | tail -n 1
printf '\nThe host log:\n'
tail -n 4 "$host_dir/host.log"
printf '\nalice'"'"'s password history (hashes only): %s\n' "$netlogon/zefa/system/idh/alice.idh"
cut -f 1-4 "$netlogon/zefa/system/idh/alice.idh"

# -------------------------------------------------------- the test console
say "The same accounts through the test console zefatest"
run "$bin/zefatest" /v
# The password on standard input (or typed without echo at a terminal),
# never on the command line where every local user could read it.
test_typed() {  # user password
  printf "\n\$ printf '%%s\\n' '%s' | zefatest /p %s\n" "$2" "$1"
  printf '%s\n' "$2" | "$bin/zefatest" /p "$1"
}
test_typed alice 'W1nter-Alice'
test_typed alice 'correct horse 42 battery'
test_typed bob 'salesdept'
test_typed nobody 'whatever'
