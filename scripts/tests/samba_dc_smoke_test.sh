#!/usr/bin/env bash
# Brings up a throwaway domain controller with scripts/samba-dc.sh in a
# temporary folder, checks the fixture through the privileged ldapi socket,
# restarts it once and tears it down. Exit 0 on success, 1 on a failed check,
# 77 (skipped) when not run as root.
#
#   SMOKE_DC_IP   loopback address of the test DC (default 127.0.0.29, away
#                 from the default 127.0.0.11 of a developer's own DC)
# The other Samba tests run the DC under Samba's default process model
# (prefork); this one keeps the script's other model, standard, in use.
set -euo pipefail
export DC_PROCESS_MODEL=standard

SCRIPT="$(cd "$(dirname "$0")/.." && pwd)/samba-dc.sh"
readonly SCRIPT
readonly IP=${SMOKE_DC_IP:-127.0.0.29}
readonly BASE=DC=example,DC=test
readonly ALICE="CN=alice,OU=Engineering,OU=Staff,$BASE"

if [[ $(id -u) -ne 0 ]]; then
  echo "SKIP: needs root"
  exit 77
fi

DIR=$(mktemp -d /tmp/clavora-dc-smoke.XXXXXX)
failures=0

teardown() {
  "$SCRIPT" stop "$DIR" 2>/dev/null || true
  rm -rf -- "$DIR"
}
trap teardown EXIT

check() {
  local name=$1
  shift
  if "$@" >/dev/null; then
    echo "ok   $name"
  else
    echo "FAIL $name"
    failures=$((failures + 1))
  fi
}

# ldapsearch over the privileged socket with the tools' anonymous bind:
# reads of users and groups work there (writes would not).
search() {
  ldapsearch -LLL -o ldif-wrap=no -x -H "$URL" "$@" | grep -v '^#' || true
}

# The values of ATTR in an LDIF text, one per line ("attr: v" or "attr:: v").
values() { sed -n "s/^$1::\\{0,1\\} //p"; }

has_line() { grep -qxF -- "$2" <<<"$1"; }
lacks_line() { ! has_line "$@"; }
lacks_attr() { ! grep -q "^$2:" <<<"$1"; }
same() { [[ $1 == "$2" ]]; }

"$SCRIPT" up "$DIR" "$IP" >"$DIR/up.out"
URL=$(sed -n 2p "$DIR/up.out")
socket=$DIR/private/ldap_priv/ldapi
same_url() { same "$URL" "ldapi://${socket//\//%2F}"; }
check "start prints the URL of the privileged socket" same_url
check "admin.pass is private" same "$(stat -c %a "$DIR/admin.pass")" 600
check "the CA certificate exists after the first start" test -s "$DIR/private/tls/ca.pem"

alice=$(search -b "$ALICE" -s base canonicalName displayName userPrincipalName tokenGroups)
check "alice's canonical name" has_line "$alice" "canonicalName: example.test/Staff/Engineering/alice"
check "alice's display name" has_line "$alice" "displayName: Alice Able"
check "alice's principal name" has_line "$alice" "userPrincipalName: alice@example.test"

sid_of() { search -b "CN=$1,CN=Users,$BASE" -s base objectSid | values objectSid; }
token_groups=$(values tokenGroups <<<"$alice")
# Engineers directly, All Staff through Engineers, Domain Users, built-in Users.
check "alice has four token groups" same "$(wc -l <<<"$token_groups")" 4
check "token groups hold Engineers" has_line "$token_groups" "$(sid_of Engineers)"
check "token groups hold the nested All Staff" has_line "$token_groups" "$(sid_of 'All Staff')"
newsletter_sid=$(sid_of Newsletter)
check "token groups leave out the distribution group" lacks_line "$token_groups" "$newsletter_sid"

bob=$(search -b "$BASE" "(sAMAccountName=bob)" displayName distinguishedName)
check "bob is in Sales" has_line "$bob" "distinguishedName: CN=bob,OU=Sales,$BASE"
check "bob has no display name" lacks_attr "$bob" displayName
eve=$(search -b "$BASE" "(sAMAccountName=eve)" userPrincipalName displayName sAMAccountName)
check "eve exists" has_line "$eve" "sAMAccountName: eve"
check "eve has no principal name" lacks_attr "$eve" userPrincipalName
check "carol is in Users" has_line \
  "$(search -b "CN=Users,$BASE" -s one "(sAMAccountName=carol)" 1.1)" "dn: CN=carol,CN=Users,$BASE"

disabled=$(search -b "$BASE" "(&(objectCategory=person)(userAccountControl:1.2.840.113556.1.4.803:=2))" sAMAccountName |
  values sAMAccountName | sort | tr '\n' ' ')
check "dave is the only disabled fixture user" same "$disabled" "Guest dave krbtgt "
security=$(search -b "CN=Users,$BASE" "(&(objectClass=group)(groupType:1.2.840.113556.1.4.803:=2147483648)(|(cn=Engineers)(cn=IT Staff)(cn=sales-it)(cn=All Staff)(cn=Newsletter)))" cn |
  values cn | sort | tr '\n' ';')
check "the four security groups, not Newsletter" same "$security" "All Staff;Engineers;IT Staff;sales-it;"
check "sales-it holds bob" has_line \
  "$(search -b "CN=sales-it,CN=Users,$BASE" -s base member)" "member: CN=bob,OU=Sales,$BASE"

# Names that need escaping in filters and DNs.
sales=$(search -b "OU=Sales,$BASE" -s one "(objectClass=user)" sAMAccountName | values sAMAccountName |
  sort | tr '\n' ' ')
check "Sales holds bob, jsmith, pipeuser and tom(x)" same "$sales" "bob jsmith pipeuser tom(x) "
check "jsmith's name holds an escaped comma" has_line \
  "$(search -b "$BASE" "(sAMAccountName=jsmith)" 1.1)" "dn: CN=Smith\\, John,OU=Sales,$BASE"
check "helpdesk (tier1) holds tom(x) and jsmith" same \
  "$(search -b "CN=helpdesk (tier1),CN=Users,$BASE" -s base member | values member | sort | tr '\n' ';')" \
  "CN=Smith\\, John,OU=Sales,$BASE;CN=tom(x),OU=Sales,$BASE;"

check "the fixture can be loaded again" "$SCRIPT" fixture "$DIR"
check "alice's password was set" env LDAPTLS_REQCERT=never \
  ldapsearch -x -H "ldaps://$IP" -D alice@example.test -w "${DC_USER_PASS:-Fixture!Pass1}" -b '' -s base 1.1
env_uri=$(bash -c 'eval "$("$1" env "$2")" && printf %s "$CLAVORA_LDAP_URI"' _ "$SCRIPT" "$DIR")
check "env exports the privileged socket URL" same "$env_uri" "$URL"

answers() { ldapsearch -x -H "ldap://$IP" -b '' -s base 1.1 >/dev/null 2>&1; }
silent() { ! answers; }
check "stop" "$SCRIPT" stop "$DIR"
check "LDAP is gone after stop" silent
check "start again" "$SCRIPT" start "$DIR"
check "LDAP answers after the restart" answers
check "alice is still there" has_line "$(search -b "$ALICE" -s base sAMAccountName)" "sAMAccountName: alice"
check "stop again" "$SCRIPT" stop "$DIR"

if ((failures > 0)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
