#!/usr/bin/env bash
# Runs a throwaway Active Directory domain controller (Samba) on a loopback
# address, for the integration tests and the demo.
#
#   samba-dc.sh install
#   samba-dc.sh provision DIR [IP] [--full] [--hosts] [--check-password-script PATH]
#   samba-dc.sh start DIR [--max-runtime SECONDS] [--process-model MODEL]
#   samba-dc.sh stop DIR
#   samba-dc.sh fixture DIR
#   samba-dc.sh env DIR
#   samba-dc.sh up DIR [IP] [provision options]      install + provision + start + fixture
#   samba-dc.sh down DIR                             stop
#
# Domain EXAMPLE.TEST (NetBIOS EXAMPLE), host dc1, on its own loopback address
# (default 127.0.0.11) so that several DCs and the host's own services never
# share a port: LDAP 389/636/3268/3269 and Kerberos 88/464 cannot be moved.
# Everything the DC writes lives in DIR (absolute or relative; stored
# absolute). Every subcommand is idempotent. Needs root.
#
# Files in DIR after provision and start:
#   etc/smb.conf            the DC's configuration (pass it to samba-tool -s)
#   krb5.conf               client Kerberos configuration that needs no DNS
#   admin.pass              Administrator's password, mode 0600, no newline
#   private/tls/ca.pem      the DC's self-signed CA (written at first start)
#   private/ldap_priv/ldapi the privileged LDAP socket (root only)
#   dc.ip, dc.pid, samba.out, log.*
#
# The privileged socket: a connection that never binds is SYSTEM there (full
# write access, no credentials, no TLS). The OpenLDAP tools cannot stay
# unbound: they always bind.
#   ldapsearch -x -H ldapi://...   anonymous: reads of users and groups work,
#                                  tokenGroups and canonicalName included; an
#                                  in-chain (1.2.840.113556.1.4.1941) filter
#                                  fails with rc 1; ldapadd fails with rc 50
#   ldapadd -Y EXTERNAL ...        rc 1, NT_STATUS_INVALID_PARAMETER
# Samba's own LDAP client binds only when it is given credentials, so the
# fixture is written with Samba's Python ldb bindings over ldapi://, which
# stay unbound (SYSTEM). See load_fixture below.
#
# Environment overrides:
#   DC_ADMIN_PASS     Administrator password (default Adm1n!Passw0rd)
#   DC_USER_PASS      password of the fixture users (default Fixture!Pass1)
#   DC_MAX_RUNTIME    samba --maximum-runtime in seconds (default 3600)
#   DC_PROCESS_MODEL  samba's process model (-M): prefork (the default, as Samba
#                     itself and Debian's unit run it) or standard
#   DC_START_TIMEOUT  seconds to wait for LDAP and KDC (default 60)
#   DC_HOSTS_FILE     the hosts file that --hosts edits (default /etc/hosts)
set -euo pipefail

readonly REALM=EXAMPLE.TEST
readonly REALM_LOWER=example.test
readonly NETBIOS_DOMAIN=EXAMPLE
readonly HOST_NAME=dc1
readonly BASE_DN=DC=example,DC=test
readonly DEFAULT_IP=127.0.0.11
readonly HOSTS_FILE=${DC_HOSTS_FILE:-/etc/hosts}
readonly ADMIN_DN="CN=Administrator,CN=Users,${BASE_DN}"
readonly PACKAGES=(samba-ad-dc samba-ad-provision krb5-user ldap-utils libldap-dev
                   libsasl2-modules-gssapi-mit winbind)
readonly MINIMAL_SERVICES="ldap, kdc"
readonly FULL_SERVICES="s3fs, rpc, ldap, cldap, kdc, drepl, winbindd, ntp_signd, kcc"
# Samba's Python modules are built for the system interpreter, not for
# whatever python3 comes first in PATH.
readonly SYSTEM_PYTHON=/usr/bin/python3

ADMIN_PASS=${DC_ADMIN_PASS:-'Adm1n!Passw0rd'}
USER_PASS=${DC_USER_PASS:-'Fixture!Pass1'}
MAX_RUNTIME=${DC_MAX_RUNTIME:-3600}
PROCESS_MODEL=${DC_PROCESS_MODEL:-prefork}
START_TIMEOUT=${DC_START_TIMEOUT:-60}

log() { printf 'samba-dc: %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

# Seconds since the Unix epoch with milliseconds, and the time elapsed since
# such a reading, for the step timings in the log.
now() { date +%s.%3N; }
since() { awk -v start="$1" -v end="$(now)" 'BEGIN { printf "%.2f s", end - start }'; }

usage() {
  sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

require_root() {
  [[ $(id -u) -eq 0 ]] || die "must run as root"
}

# Absolute form of DIR without requiring it to exist.
absolute_dir() {
  [[ -n ${1:-} ]] || die "missing DIR"
  realpath -m -- "$1"
}

# ldapi:// URL of a socket path: every character outside [A-Za-z0-9._~-]
# percent-encoded, so "/" becomes %2F.
ldapi_url() {
  local path=$1 out='' ch i
  for ((i = 0; i < ${#path}; i++)); do
    ch=${path:i:1}
    case $ch in
      [A-Za-z0-9._~-]) out+=$ch ;;
      *) out+=$(printf '%%%02X' "'$ch") ;;
    esac
  done
  printf 'ldapi://%s\n' "$out"
}

privileged_socket() { printf '%s/private/ldap_priv/ldapi\n' "$1"; }

dc_ip() {
  local dir=$1
  [[ -s $dir/dc.ip ]] || die "$dir is not provisioned (no dc.ip)"
  cat "$dir/dc.ip"
}

# ---------------------------------------------------------------- install

packages_installed() {
  local pkg
  for pkg in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q '^install ok installed$' || return 1
  done
  [[ -d /usr/share/samba/setup ]]
}

cmd_install() {
  require_root
  if packages_installed; then
    log "packages already installed"
    return 0
  fi
  # Keep the packages' services (smbd, nmbd, samba-ad-dc) from starting: the
  # test DCs are started by hand, and nmbd would broadcast on the network.
  local guard=/usr/sbin/policy-rc.d created_guard=no
  if [[ ! -e $guard ]]; then
    printf '#!/bin/sh\nexit 101\n' >"$guard"
    chmod 0755 "$guard"
    created_guard=yes
  fi
  local rc=0
  {
    apt-get update -qq &&
      DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        "${PACKAGES[@]}"
  } >&2 || rc=$?
  [[ $created_guard == yes ]] && rm -f "$guard"
  [[ $rc -eq 0 ]] || die "apt-get failed (rc $rc)"
  # Where systemd runs, keep the freshly installed services from starting at
  # the next boot with Debian's default configuration.
  if [[ -d /run/systemd/system ]]; then
    systemctl disable --now smbd nmbd winbind samba-ad-dc >/dev/null 2>&1 || true
  fi
  packages_installed || die "packages missing after install"
  log "packages installed"
}

# -------------------------------------------------------------- provision

# Sets NAME = VALUE in the [global] section of an smb.conf, replacing an
# existing line for NAME or adding one at the end of the section (before the
# blank lines that separate it from the next one).
set_global_param() {
  local conf=$1 name=$2 value=$3
  NAME="$name" VALUE="$value" awk '
    BEGIN { name = ENVIRON["NAME"]; value = ENVIRON["VALUE"]; blanks = "" }
    function is_name(line,   key) {
      key = line
      sub(/=.*/, "", key); gsub(/^[ \t]+|[ \t]+$/, "", key)
      return tolower(key) == tolower(name)
    }
    function flush_blanks() { printf "%s", blanks; blanks = "" }
    in_global && /^[ \t]*$/ { blanks = blanks $0 "\n"; next }
    /^[ \t]*\[/ {
      if (in_global && !done) { print "\t" name " = " value; done = 1 }
      flush_blanks()
      in_global = ($0 ~ /^[ \t]*\[global\]/)
      print; next
    }
    { flush_blanks() }
    in_global && is_name($0) { if (!done) print "\t" name " = " value; done = 1; next }
    { print }
    END { if (in_global && !done) print "\t" name " = " value; flush_blanks() }
  ' "$conf" >"$conf.new"
  mv -- "$conf.new" "$conf"
}

write_krb5_conf() {
  local dir=$1 ip=$2
  cat >"$dir/krb5.conf" <<EOF
[libdefaults]
	default_realm = ${REALM}
	dns_lookup_realm = false
	dns_lookup_kdc = false
	rdns = false
	dns_canonicalize_hostname = false
	udp_preference_limit = 1
[realms]
	${REALM} = {
		kdc = ${ip}
		kpasswd_server = ${ip}
	}
[domain_realm]
	.${REALM_LOWER} = ${REALM}
	${REALM_LOWER} = ${REALM}
EOF
}

add_hosts_entry() {
  local ip=$1 name="${HOST_NAME}.${REALM_LOWER}"
  if grep -Eq "^[[:space:]]*${ip//./\\.}[[:space:]]+(.*[[:space:]])?${name//./\\.}([[:space:]]|\$)" "$HOSTS_FILE"; then
    return 0
  fi
  printf '%s %s\n' "$ip" "$name" >>"$HOSTS_FILE"
  log "added '$ip $name' to $HOSTS_FILE"
}

ensure_loopback_address() {
  local ip=$1
  # 127.0.0.0/8 is routed to lo as a whole on Linux, so any 127.x address
  # can be bound without adding it to the interface.
  [[ $ip == 127.* ]] || log "warning: $ip is not a loopback address"
}

cmd_provision() {
  require_root
  local dir='' ip='' full=no hosts=no check_script=''
  while [[ $# -gt 0 ]]; do
    case $1 in
      --full) full=yes ;;
      --hosts) hosts=yes ;;
      --check-password-script)
        [[ $# -ge 2 ]] || die "--check-password-script needs a path"
        check_script=$(realpath -m -- "$2"); shift ;;
      --*) die "unknown option $1" ;;
      *)
        if [[ -z $dir ]]; then dir=$(absolute_dir "$1")
        elif [[ -z $ip ]]; then ip=$1
        else die "unexpected argument $1"; fi ;;
    esac
    shift
  done
  [[ -n $dir ]] || usage
  if [[ -z $ip ]]; then
    if [[ -s $dir/dc.ip ]]; then ip=$(<"$dir/dc.ip"); else ip=$DEFAULT_IP; fi
  fi
  [[ $ip =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || die "bad IP address $ip"
  local socket
  socket=$(privileged_socket "$dir")
  # A Unix socket path has at most 107 bytes.
  ((${#socket} <= 107)) || die "DIR is too long for the ldapi socket path $socket"
  ensure_loopback_address "$ip"
  local conf=$dir/etc/smb.conf

  if [[ -f $conf ]]; then
    local old_ip
    old_ip=$(dc_ip "$dir")
    [[ $old_ip == "$ip" ]] || die "$dir is already provisioned for $old_ip"
    log "$dir is already provisioned; applying settings"
  else
    command -v samba-tool >/dev/null || die "samba-tool not found; run '$0 install' first"
    mkdir -p -- "$dir/run"
    chmod 0755 "$dir"
    # The seed keeps Debian's /etc/samba/smb.conf out of the result and moves
    # every pid file and socket into DIR, so that several DCs can coexist.
    cat >"$dir/seed.conf" <<EOF
[global]
	interfaces = ${ip}/8
	bind interfaces only = yes
	disable netbios = yes
	log file = ${dir}/log.samba
	pid directory = ${dir}/run
	ncalrpc dir = ${dir}/run/ncalrpc
	ntp signd socket directory = ${dir}/run/ntp_signd
	winbindd socket directory = ${dir}/run/winbindd
EOF
    log "provisioning ${REALM} in $dir on $ip"
    local started
    started=$(now)
    samba-tool domain provision -s "$dir/seed.conf" --targetdir="$dir" \
      --realm="$REALM" --domain="$NETBIOS_DOMAIN" --host-name="$HOST_NAME" \
      --host-ip="$ip" --server-role=dc --dns-backend=NONE --use-rfc2307 \
      --adminpass="$ADMIN_PASS" >"$dir/provision.log" 2>&1 ||
      { tail -n 20 "$dir/provision.log" >&2; die "provision failed (see $dir/provision.log)"; }
    printf '%s\n' "$ip" >"$dir/dc.ip"
    (umask 077 && printf '%s' "$ADMIN_PASS" >"$dir/admin.pass")
    chmod 0600 "$dir/admin.pass"
    # The DC account needs its ldap/ SPNs for GSSAPI: by name (normally added
    # by the dnsupdate service, which is not run) and by IP (no DNS needed).
    samba_spnupdate -s "$conf" >>"$dir/provision.log" 2>&1 ||
      log "warning: samba_spnupdate failed (see $dir/provision.log)"
    samba-tool spn add "ldap/$ip" "${HOST_NAME^^}\$" -s "$conf" >>"$dir/provision.log" 2>&1 ||
      log "warning: adding SPN ldap/$ip failed (see $dir/provision.log)"
    log "provision took $(since "$started")"
  fi

  # Settings that provision would drop or act on too early; safe to repeat.
  if [[ $full == yes ]]; then
    set_global_param "$conf" "server services" "$FULL_SERVICES"
  elif ! grep -Eq '^[[:space:]]*server services[[:space:]]*=[[:space:]]*(ldap, kdc|'"$FULL_SERVICES"')[[:space:]]*$' "$conf"; then
    set_global_param "$conf" "server services" "$MINIMAL_SERVICES"
  fi
  set_global_param "$conf" "ldap server require strong auth" "no"
  if [[ -n $check_script ]]; then
    [[ -x $check_script ]] || log "warning: $check_script is not executable"
    set_global_param "$conf" "check password script" "$check_script"
  fi
  write_krb5_conf "$dir" "$ip"
  [[ $hosts == yes ]] && add_hosts_entry "$ip"
  if running_pid "$dir" >/dev/null; then
    log "provisioned $dir; the running DC reads changed settings only after a restart"
  else
    log "provisioned $dir"
  fi
}

# ------------------------------------------------------------ start / stop

# Prints the pid from DIR/dc.pid if that process is alive, runs the samba
# binary and is the one that wrote DIR's own pid file (samba rewrites its
# command line, so that cannot be checked); a reused pid is never taken for
# the DC.
running_pid() {
  local dir=$1 pid
  [[ -s $dir/dc.pid && -s $dir/run/samba.pid ]] || return 1
  pid=$(<"$dir/dc.pid")
  [[ $pid =~ ^[0-9]+$ ]] || return 1
  [[ $(tr -d '[:space:]' <"$dir/run/samba.pid") == "$pid" ]] || return 1
  pid_alive "$pid" || return 1
  [[ $(readlink "/proc/$pid/exe" 2>/dev/null) == */samba ]] || return 1
  printf '%s\n' "$pid"
}

# Alive and not a zombie. This machine's init reaps late, so a zombie counts
# as gone.
pid_alive() {
  local stat
  stat=$(ps -o stat= -p "$1" 2>/dev/null) || return 1
  [[ -n $stat && $stat != Z* ]]
}

# The pid and all its descendants.
process_tree() {
  local root=$1
  ps -e -o pid=,ppid= | awk -v root="$root" '
    { parent[$1] = $2; pids[NR] = $1 }
    END {
      keep[root] = 1; changed = 1
      while (changed) {
        changed = 0
        for (i in pids) { p = pids[i]; if (!(p in keep) && (parent[p] in keep)) { keep[p] = 1; changed = 1 } }
      }
      for (p in keep) print p
    }'
}

dc_answers() {
  local ip=$1
  ldapsearch -x -H "ldap://$ip" -b '' -s base 1.1 >/dev/null 2>&1 &&
    (exec 3<>"/dev/tcp/$ip/88") 2>/dev/null
}

cmd_start() {
  require_root
  local dir='' max_runtime=$MAX_RUNTIME model=$PROCESS_MODEL
  while [[ $# -gt 0 ]]; do
    case $1 in
      --max-runtime)
        [[ $# -ge 2 && $2 =~ ^[0-9]+$ ]] || die "--max-runtime needs a number of seconds"
        max_runtime=$2; shift ;;
      --process-model)
        [[ $# -ge 2 ]] || die "--process-model needs a model"
        model=$2; shift ;;
      --*) die "unknown option $1" ;;
      *) [[ -z $dir ]] || die "unexpected argument $1"; dir=$(absolute_dir "$1") ;;
    esac
    shift
  done
  [[ -n $dir ]] || usage
  local conf=$dir/etc/smb.conf ip pid
  [[ -f $conf ]] || die "$dir is not provisioned"
  ip=$(dc_ip "$dir")
  if pid=$(running_pid "$dir"); then
    log "already running (pid $pid)"
  else
    if dc_answers "$ip"; then
      die "something else already answers LDAP and Kerberos on $ip"
    fi
    # prefork is Samba's own default: a few worker processes per service,
    # each serving many connections, one request at a time. standard forks a
    # process per connection. single cannot serve a check password script
    # that calls back into the DC, so it is refused. --maximum-runtime ends
    # a DC that nobody stopped.
    case $model in
      prefork | standard) ;;
      *) die "process model $model is not supported (prefork or standard)" ;;
    esac
    local started
    started=$(now)
    samba -F -M "$model" -s "$conf" --maximum-runtime="$max_runtime" \
      </dev/null >"$dir/samba.out" 2>&1 &
    pid=$!
    printf '%s\n' "$pid" >"$dir/dc.pid"
    local deadline=$((SECONDS + START_TIMEOUT))
    until dc_answers "$ip"; do
      if ! pid_alive "$pid"; then
        tail -n 20 "$dir/samba.out" >&2 || true
        die "samba exited during start (see $dir/samba.out and $dir/log.samba)"
      fi
      ((SECONDS < deadline)) || die "DC did not answer within ${START_TIMEOUT}s (pid $pid still running)"
      sleep 0.1
    done
    log "started (pid $pid, process model $model) on $ip in $(since "$started")"
  fi
  # The TLS key and certificate are generated at the first start.
  local deadline=$((SECONDS + 10))
  until [[ -s $dir/private/tls/ca.pem ]]; do
    ((SECONDS < deadline)) || { log "warning: no $dir/private/tls/ca.pem"; break; }
    sleep 0.1
  done
  privileged_socket "$dir"
  ldapi_url "$(privileged_socket "$dir")"
}

cmd_stop() {
  require_root
  local dir
  dir=$(absolute_dir "${1:-}")
  local pid
  if ! pid=$(running_pid "$dir"); then
    log "not running"
    rm -f -- "$dir/dc.pid"
    return 0
  fi
  # Only processes of this DC's own tree are ever signalled.
  local tree started
  started=$(now)
  tree=$(process_tree "$pid")
  kill -TERM "$pid" 2>/dev/null || true
  local deadline=$((SECONDS + 10)) p alive
  while :; do
    alive=''
    for p in $tree; do pid_alive "$p" && alive+=" $p"; done
    [[ -z $alive ]] && break
    if ((SECONDS >= deadline)); then
      log "still running after 10s, killing:$alive"
      # shellcheck disable=SC2086
      kill -KILL $alive 2>/dev/null || true
      sleep 0.5
      break
    fi
    sleep 0.05
  done
  rm -f -- "$dir/dc.pid"
  log "stopped (pid $pid) in $(since "$started")"
}

# ----------------------------------------------------------------- fixture

# UTF-16LE of the password in double quotes, base64: the unicodePwd form.
unicode_pwd() {
  printf '"%s"' "$1" | iconv -f UTF-8 -t UTF-16LE | base64 -w 0
}

fixture_ldif() {
  local pwd
  pwd=$(unicode_pwd "$USER_PASS")
  cat <<EOF
dn: OU=Staff,${BASE_DN}
objectClass: organizationalUnit

dn: OU=Engineering,OU=Staff,${BASE_DN}
objectClass: organizationalUnit

dn: OU=Sales,${BASE_DN}
objectClass: organizationalUnit

dn: CN=alice,OU=Engineering,OU=Staff,${BASE_DN}
objectClass: user
sAMAccountName: alice
userPrincipalName: alice@${REALM_LOWER}
givenName: Alice
sn: Able
displayName: Alice Able
mail: alice@${REALM_LOWER}
description: Engineer
unicodePwd:: ${pwd}
userAccountControl: 512

dn: CN=bob,OU=Sales,${BASE_DN}
objectClass: user
sAMAccountName: bob
userPrincipalName: bob@${REALM_LOWER}
givenName: Bob
sn: Baker
unicodePwd:: ${pwd}
userAccountControl: 512

dn: CN=carol,CN=Users,${BASE_DN}
objectClass: user
sAMAccountName: carol
userPrincipalName: carol@${REALM_LOWER}
givenName: Carol
sn: Cole
displayName: Carol Cole
unicodePwd:: ${pwd}
userAccountControl: 512

dn: CN=dave,CN=Users,${BASE_DN}
objectClass: user
sAMAccountName: dave
userPrincipalName: dave@${REALM_LOWER}
givenName: Dave
sn: Dunn
displayName: Dave Dunn
unicodePwd:: ${pwd}
userAccountControl: 514

dn: CN=eve,CN=Users,${BASE_DN}
objectClass: user
sAMAccountName: eve
unicodePwd:: ${pwd}
userAccountControl: 512

dn: CN=tom(x),OU=Sales,${BASE_DN}
objectClass: user
sAMAccountName: tom(x)
userPrincipalName: tom(x)@${REALM_LOWER}
givenName: Tom
sn: Xu
unicodePwd:: ${pwd}
userAccountControl: 512

dn: CN=Smith\\, John,OU=Sales,${BASE_DN}
objectClass: user
sAMAccountName: jsmith
userPrincipalName: jsmith@${REALM_LOWER}
givenName: John
sn: Smith
displayName: Smith, John
unicodePwd:: ${pwd}
userAccountControl: 512

dn: CN=pipe|user,OU=Sales,${BASE_DN}
objectClass: user
sAMAccountName: pipeuser
unicodePwd:: ${pwd}
userAccountControl: 512

dn: CN=Engineers,CN=Users,${BASE_DN}
objectClass: group
sAMAccountName: Engineers
groupType: -2147483646
member: CN=alice,OU=Engineering,OU=Staff,${BASE_DN}

dn: CN=IT Staff,CN=Users,${BASE_DN}
objectClass: group
sAMAccountName: IT Staff
groupType: -2147483646

dn: CN=sales-it,CN=Users,${BASE_DN}
objectClass: group
sAMAccountName: sales-it
groupType: -2147483646
member: CN=bob,OU=Sales,${BASE_DN}

dn: CN=helpdesk (tier1),CN=Users,${BASE_DN}
objectClass: group
sAMAccountName: helpdesk (tier1)
groupType: -2147483646
member: CN=tom(x),OU=Sales,${BASE_DN}
member: CN=Smith\\, John,OU=Sales,${BASE_DN}

dn: CN=Newsletter,CN=Users,${BASE_DN}
objectClass: group
sAMAccountName: Newsletter
groupType: 8
member: CN=alice,OU=Engineering,OU=Staff,${BASE_DN}

dn: CN=All Staff,CN=Users,${BASE_DN}
objectClass: group
sAMAccountName: All Staff
groupType: -2147483646
member: CN=Engineers,CN=Users,${BASE_DN}
EOF
}

# Adds the LDIF entries read from stdin over the privileged socket URL.
# Samba's ldb client opens ldapi:// without any bind, so it acts as SYSTEM;
# `ldapadd -x -H ldapi://...` is refused (rc 50) because its anonymous bind
# drops that, and `ldapadd -Y EXTERNAL` fails (rc 1, NT_STATUS_INVALID_PARAMETER).
# Entries that exist already are left as they are, so a rerun changes nothing.
load_fixture() {
  local url=$1
  "$SYSTEM_PYTHON" -c '
import sys
import ldb

ENTRY_ALREADY_EXISTS = 68
url = sys.argv[1]
directory = ldb.Ldb(url)
added = existing = 0
for _, message in directory.parse_ldif(sys.stdin.read()):
    try:
        directory.add(message)
        added += 1
    except ldb.LdbError as error:
        code, text = error.args
        if code != ENTRY_ALREADY_EXISTS:
            sys.exit("adding %s failed: rc %d %s" % (message.dn, code, text))
        existing += 1
print("fixture: %d added, %d already there" % (added, existing), file=sys.stderr)
' "$url"
}

cmd_fixture() {
  require_root
  local dir
  dir=$(absolute_dir "${1:-}")
  running_pid "$dir" >/dev/null || die "DC in $dir is not running"
  local url
  url=$(ldapi_url "$(privileged_socket "$dir")")
  local started
  started=$(now)
  fixture_ldif | load_fixture "$url"
  log "fixture loaded in $(since "$started")"
}

# VALUE in single quotes for a shell to read back.
shell_quote() {
  local q="'"
  printf "'%s'" "${1//$q/$q\\$q$q}"
}

cmd_env() {
  local dir
  dir=$(absolute_dir "${1:-}")
  local ip url host
  ip=$(dc_ip "$dir")
  url=$(ldapi_url "$(privileged_socket "$dir")")
  host=$ip
  grep -Eq "^[[:space:]]*${ip//./\\.}[[:space:]]+(.*[[:space:]])?${HOST_NAME}\.${REALM_LOWER//./\\.}([[:space:]]|\$)" "$HOSTS_FILE" &&
    host=${HOST_NAME}.${REALM_LOWER}
  printf '# Privileged socket, no bind: SYSTEM on the DC (root only).\n'
  printf 'export CLAVORA_LDAP_URI=%s\n' "$(shell_quote "$url")"
  printf 'export CLAVORA_SMB_CONF=%s\n' "$(shell_quote "$dir/etc/smb.conf")"
  printf 'export KRB5_CONFIG=%s\n' "$(shell_quote "$dir/krb5.conf")"
  printf 'export LDAPTLS_CACERT=%s\n' "$(shell_quote "$dir/private/tls/ca.pem")"
  printf '# Simple bind over ldaps as Administrator instead:\n'
  printf '# export CLAVORA_LDAP_URI=%s\n' "$(shell_quote "ldaps://$host")"
  printf '# export CLAVORA_LDAP_BIND_DN=%s\n' "$(shell_quote "$ADMIN_DN")"
  printf '# export CLAVORA_LDAP_PASSWORD_FILE=%s\n' "$(shell_quote "$dir/admin.pass")"
  printf '# export CLAVORA_LDAP_CA_FILE=%s\n' "$(shell_quote "$dir/private/tls/ca.pem")"
  if [[ $host == "$ip" ]]; then
    printf '# The certificate names %s, not %s: connect by IP only with\n' "${HOST_NAME}.${REALM_LOWER}" "$ip"
    printf '# export LDAPTLS_REQCERT=never\n'
  fi
}

cmd_up() {
  [[ $# -ge 1 ]] || usage
  local dir
  dir=$(absolute_dir "$1")
  cmd_install
  cmd_provision "$@"
  cmd_start "$dir"
  cmd_fixture "$dir"
}

main() {
  [[ $# -ge 1 ]] || usage
  local sub=$1
  shift
  case $sub in
    install) cmd_install "$@" ;;
    provision) cmd_provision "$@" ;;
    start) cmd_start "$@" ;;
    stop) cmd_stop "$@" ;;
    fixture) cmd_fixture "$@" ;;
    env) cmd_env "$@" ;;
    up) cmd_up "$@" ;;
    down) cmd_stop "$@" ;;
    -h | --help | help) usage ;;
    *) log "unknown subcommand $sub"; usage ;;
  esac
}

main "$@"
