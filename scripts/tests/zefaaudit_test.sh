#!/usr/bin/env bash
# zefaaudit against the test domain controller ($CLAVORA_TEST_DC_DIR): eight
# accounts of an OU of their own get known passwords (one in an NTLM store
# built with zefastore, two sharing one password with one of them a Domain
# Admin, one empty with UF_PASSWD_NOTREQD, a forbidden word plus "2024", the
# account's own name plus "1!", one clean, one disabled) and a policy set
# governs the OU. Checks the CSV and JSON records of those accounts field by
# field, that no output holds a hash or a password, the refusals (not root,
# a damaged store, a SHA-1 store, a missing database), the log line, and
# that --require-change --dry-run changes nothing while --require-change
# sets pwdLastSet 0 on exactly the expected accounts.
#
#   zefaaudit_test.sh [BUILD_DIR]        (default: build/ of the checkout)
# Exit 0 when every check passed, 1 otherwise, 77 (skipped) without root or
# without a test DC.
set -euo pipefail

REPO=$(cd "$(dirname "$0")/../.." && pwd)
readonly REPO
readonly BUILD=$(realpath -m "${1:-$REPO/build}")
readonly BIN=$BUILD/bin
readonly PY=/usr/bin/python3

if [[ $(id -u) -ne 0 ]]; then echo "SKIP: needs root"; exit 77; fi
if [[ -z ${CLAVORA_TEST_DC_DIR:-} ]]; then echo "SKIP: no test DC (CLAVORA_TEST_DC_DIR)"; exit 77; fi
readonly DC=$CLAVORA_TEST_DC_DIR
eval "$("$REPO/scripts/samba-dc.sh" env "$DC")"
readonly SAMDB=$DC/private/sam.ldb
readonly BASE=DC=example,DC=test
readonly P=za$((RANDOM % 90000 + 10000))
readonly OU="OU=$P,$BASE"
WORK=$(mktemp -d /tmp/zefaaudit-test.XXXXXX)
readonly WORK
[[ -n $WORK && -d $WORK ]] || exit 1
export CLAVORA_ROOT=$WORK/root
mkdir -p "$CLAVORA_ROOT"
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# Directory changes through Samba's ldb over the privileged socket (SYSTEM).
ldbdo() {
  "$PY" -c '
import sys, ldb
url, action = sys.argv[1], sys.argv[2]
args = sys.argv[3:]
db = ldb.Ldb(url)
if action == "add":
    for _, m in db.parse_ldif(sys.stdin.read()):
        db.add(m)
elif action == "modify":
    for _, m in db.parse_ldif(sys.stdin.read()):
        db.modify(m)
elif action == "password":
    dn, text = args
    m = ldb.Message(ldb.Dn(db, dn))
    m["unicodePwd"] = ldb.MessageElement(("\"%s\"" % text).encode("utf-16-le"),
                                         ldb.FLAG_MOD_REPLACE, "unicodePwd")
    db.modify(m)
elif action == "pwdlastset":
    for r in db.search(base=args[0], scope=ldb.SCOPE_SUBTREE,
                       expression="(sAMAccountType=805306368)",
                       attrs=["sAMAccountName", "pwdLastSet"]):
        print("%s %s" % (r["sAMAccountName"][0], r["pwdLastSet"][0] if "pwdLastSet" in r else "-"))
elif action == "delete":
    db.delete(args[0], ["tree_delete:1"])
' "$CLAVORA_LDAP_URI" "$@"
}

cleanup() {
  ldbdo delete "$OU" >/dev/null 2>&1 || true
  ldbdo delete "CN=$P-pso,CN=Password Settings Container,CN=System,$BASE" >/dev/null 2>&1 || true
  rm -rf "$WORK"
}
trap cleanup EXIT

# ---------------------------------------------------------------- fixture
BREACHED_PW="Tr0ub4dor&3x-$P"
SHARED_PW="Sh4red-Secret#$P"
CLEAN_PW="q8-Zv!$P-kL2w#Tm"
DISABLED_PW="d1s-Abled!$P-x9"
WORD_PW="summer2024"
NAME_PW="$P-name1!"
ALL_PW=("$BREACHED_PW" "$SHARED_PW" "$CLEAN_PW" "$DISABLED_PW" "$WORD_PW" "$NAME_PW")

printf 'dn: %s\nobjectClass: organizationalUnit\n\ndn: CN=%s-weak,%s\nobjectClass: group\nsAMAccountName: %s-weak\ngroupType: -2147483646\n' \
  "$OU" "$P" "$OU" "$P" | ldbdo add
# Weak passwords are the point here: a settings object for this OU's group
# lifts the domain's complexity, length, age and history rules for it only.
ldbdo add <<LDIF
dn: CN=$P-pso,CN=Password Settings Container,CN=System,$BASE
objectClass: msDS-PasswordSettings
msDS-PasswordSettingsPrecedence: 1
msDS-PasswordReversibleEncryptionEnabled: FALSE
msDS-PasswordHistoryLength: 0
msDS-PasswordComplexityEnabled: FALSE
msDS-MinimumPasswordLength: 0
msDS-MinimumPasswordAge: 0
msDS-MaximumPasswordAge: -36288000000000
msDS-LockoutThreshold: 0
msDS-LockoutObservationWindow: -18000000000
msDS-LockoutDuration: -18000000000
msDS-PSOAppliesTo: CN=$P-weak,$OU
LDIF
declare -A UAC=([breach]=512 [share1]=512 [share2]=512 [empty]=544 [word]=512 [name]=512
                [clean]=66176 [disabled]=514)
declare -A PW=([breach]=$BREACHED_PW [share1]=$SHARED_PW [share2]=$SHARED_PW [empty]=''
               [word]=$WORD_PW [name]=$NAME_PW [clean]=$CLEAN_PW [disabled]=$DISABLED_PW)
for a in "${!UAC[@]}"; do
  printf 'dn: CN=%s-%s,%s\nobjectClass: user\nsAMAccountName: %s-%s\nuserAccountControl: 546\n' \
    "$P" "$a" "$OU" "$P" "$a" | ldbdo add
  printf 'dn: CN=%s-weak,%s\nchangetype: modify\nadd: member\nmember: CN=%s-%s,%s\n' \
    "$P" "$OU" "$P" "$a" "$OU" | ldbdo modify
done
printf 'dn: CN=Domain Admins,CN=Users,%s\nchangetype: modify\nadd: member\nmember: CN=%s-share2,%s\n' \
  "$BASE" "$P" "$OU" | ldbdo modify
for a in "${!UAC[@]}"; do
  ldbdo password "CN=$P-$a,$OU" "${PW[$a]}"
  printf 'dn: CN=%s-%s,%s\nchangetype: modify\nreplace: userAccountControl\nuserAccountControl: %s\n' \
    "$P" "$a" "$OU" "${UAC[$a]}" | ldbdo modify
done

# One policy set governs the OU; its forbidden word is "summer".
REG() { "$BIN/zefareg" add 'HKLM\Software\Policies\Clavora\1' "$@" /f >/dev/null; }
REG /v Enabled /t REG_DWORD /d 1
REG /v UserOus /t REG_SZ /d "$P"
REG /v Forbidden /t REG_SZ /d 'summer'

# The store: the breached password among generated ones.
{ echo "$BREACHED_PW"; for i in $(seq 1 2000); do echo "generated-$i-$RANDOM"; done; } >"$WORK/corpus"
"$BIN/zefastore" create "$WORK/ntlm.store" --from "$WORK/corpus" --kind ntlm --passwords >/dev/null 2>&1
"$BIN/zefastore" create "$WORK/sha1.store" --from "$WORK/corpus" --kind sha1 --passwords >/dev/null 2>&1

# The filter's log folder (its initialisation creates it on a DC).
LOG_FOLDER=$DC/state/sysvol/example.test/scripts/zefa/system/log
mkdir -p "$LOG_FOLDER"

# -------------------------------------------------------------- the audit
LOG_FILE=$LOG_FOLDER/DC1.log
log_lines=0  # the log may not exist yet on a fresh DC
[[ -f $LOG_FILE ]] && log_lines=$(wc -l <"$LOG_FILE")
set +e
# The database as the DC's smb.conf places it (CLAVORA_SMB_CONF), no --samdb.
"$BIN/zefaaudit" --store "$WORK/ntlm.store" --all --csv "$WORK/r.csv" \
  --json "$WORK/r.json" >"$WORK/out.txt" 2>"$WORK/err.txt"
rc=$?
set -e
[[ $rc -eq 1 ]] && pass "exit status 1 with findings" || fail "exit status $rc, expected 1: $(cat "$WORK/err.txt")"

count=$(($(wc -l <"$WORK/r.csv") - 1))
counts=$(awk -F, 'NR > 1 {b += $4; e += $5; s += ($6 != 0); l += $7}
                  END {printf "%d breached, %d shared, %d empty, %d listed", b, s, e, l}' "$WORK/r.csv")
if tail -n +"$((log_lines + 1))" "$LOG_FILE" | tr -d "\r" | grep -q "Password audit: $count accounts, $counts\$"
then pass "log line"; else fail "no line 'Password audit: $count accounts, $counts' in $LOG_FILE"; fi

# Fields after the name: set,enabled,breached,empty,shared_group,listed,
# privileged,never_expires,not_required,reversible,lm_hash (G = the pair's group).
declare -A EXPECTED=(
  [breach]="1,1,1,0,0,0,0,0,0,0,0"
  [share1]="1,1,0,0,G,0,0,0,0,0,0"
  [share2]="1,1,0,0,G,0,1,0,0,0,0"
  [empty]="1,1,0,1,0,0,0,0,1,0,0"
  [word]="1,1,0,0,0,1,0,0,0,0,0"
  [name]="1,1,0,0,0,1,0,0,0,0,0"
  [clean]="1,1,0,0,0,0,0,1,0,1,0"
  [disabled]="1,0,0,0,0,0,0,0,0,0,0")
group=$(grep "^$P-share1," "$WORK/r.csv" | cut -d, -f6 || true)
[[ -n $group && $group != 0 ]] || fail "the two accounts with one password form no group"
for a in "${!EXPECTED[@]}"; do
  want="$P-$a,${EXPECTED[$a]/G/$group}"
  got=$(grep "^$P-$a," "$WORK/r.csv" || true)
  [[ $got == "$want" ]] && pass "CSV $P-$a" || fail "CSV record of $P-$a: '$got', expected '$want'"
done
others=$(awk -F, -v g="$group" 'NR > 1 && $6 == g' "$WORK/r.csv" | grep -vc "^$P-share" || true)
[[ $others -eq 0 ]] && pass "shared group $group holds only the pair" || fail "group $group has $others more accounts"
header="account,set,enabled,breached,empty,shared_group,listed,privileged,never_expires,not_required,reversible,lm_hash"
[[ $(head -n 1 "$WORK/r.csv") == "$header" ]] || fail "CSV header: $(head -n 1 "$WORK/r.csv")"

# The JSON records say what the CSV ones say, for every account.
if "$PY" - "$WORK/r.json" "$WORK/r.csv" <<'PYEOF'; then pass "JSON records equal the CSV records"; else fail "JSON records differ from the CSV"; fi
import csv, json, sys
records = json.load(open(sys.argv[1]))
rows = list(csv.DictReader(open(sys.argv[2])))
assert len(records) == len(rows), (len(records), len(rows))
for r, row in zip(records, rows):
    assert list(r.keys()) == list(row.keys()), r.keys()
    for k, v in r.items():
        text = ("1" if v else "0") if isinstance(v, bool) else str(v)
        assert text == row[k], (k, v, row[k])
PYEOF

mode=$(stat -c %a "$WORK/r.csv")/$(stat -c %a "$WORK/r.json")
[[ $mode == 600/600 ]] && pass "report files are 0600" || fail "report file modes $mode"

"$BIN/zefaaudit" --samdb "$SAMDB" --store "$WORK/ntlm.store" --csv "$WORK/enabled.csv" >/dev/null 2>&1 || true
if grep -q "^$P-disabled," "$WORK/enabled.csv"; then fail "a disabled account is read without --all"
else pass "disabled accounts only with --all"; fi
# The DC's own machine account and krbtgt never appear (user accounts whose
# names end in "$", which other tests create, are users and may).
if grep -Eiq '^(krbtgt|dc1\$),' "$WORK/r.csv"; then fail "krbtgt or a computer account in the report"
else pass "no krbtgt, computer or trust account"; fi

# Without --store the set's own PwnedStore is used when it is an NTLM store.
REG /v PwnedStore /t REG_SZ /d "$WORK/ntlm.store"
"$BIN/zefaaudit" --samdb "$SAMDB" --csv "$WORK/set-store.csv" >"$WORK/set-store.txt" 2>&1 || true
got=$(grep "^$P-breach," "$WORK/set-store.csv" | cut -d, -f4 || true)
[[ $got == 1 ]] && pass "the set's NTLM PwnedStore by default" || fail "the set's store was not used: '$got'"
REG /v PwnedStore /t REG_SZ /d "$WORK/sha1.store"
"$BIN/zefaaudit" --samdb "$SAMDB" --csv "$WORK/set-sha1.csv" >"$WORK/set-sha1.txt" 2>&1 || true
if [[ $(grep "^$P-breach," "$WORK/set-sha1.csv" | cut -d, -f4) == 0 ]] && grep -q "SHA-1" "$WORK/set-sha1.txt"
then pass "a set's SHA-1 PwnedStore is named and not used"; else fail "a set's SHA-1 store: $(cat "$WORK/set-sha1.txt")"; fi
"$BIN/zefareg" delete 'HKLM\Software\Policies\Clavora\1' /v PwnedStore /f >/dev/null


# ------------------------------------------------------------- refusals
expect_refusal() {
  local what=$1 pattern=$2
  shift 2
  set +e
  "$@" >"$WORK/refused.out" 2>"$WORK/refused.err"
  local status=$?
  set -e
  cat "$WORK/refused.out" "$WORK/refused.err" >>"$WORK/refusals.txt"
  if [[ $status -eq 2 ]] && grep -qi -- "$pattern" "$WORK/refused.err"; then pass "$what refused"
  else fail "$what: status $status, $(cat "$WORK/refused.err")"; fi
}
chmod 0755 "$WORK"
cp "$BIN/zefaaudit" "$WORK/zefaaudit" && chmod 0755 "$WORK/zefaaudit"
expect_refusal "a run as another user" "root" setpriv --reuid=65534 --regid=65534 --clear-groups \
  "$WORK/zefaaudit" --samdb "$SAMDB"
cp "$WORK/ntlm.store" "$WORK/header.store"
printf '\x7f' | dd of="$WORK/header.store" bs=1 seek=20 conv=notrunc status=none
expect_refusal "a store with a damaged header" "cannot be used" \
  "$BIN/zefaaudit" --samdb "$SAMDB" --store "$WORK/header.store"
cp "$WORK/ntlm.store" "$WORK/block.store"
printf '\xff\xff\xff\xff' | dd of="$WORK/block.store" bs=1 seek=$((4096 + 300)) conv=notrunc status=none
expect_refusal "a store with a damaged block" "damaged" \
  "$BIN/zefaaudit" --samdb "$SAMDB" --store "$WORK/block.store"
expect_refusal "a SHA-1 store" "NTLM store" "$BIN/zefaaudit" --samdb "$SAMDB" --store "$WORK/sha1.store"
expect_refusal "a missing database" "no database" "$BIN/zefaaudit" --samdb "$WORK/none/sam.ldb"
mkdir -p "$WORK/bad" && head -c 65536 /dev/urandom >"$WORK/bad/sam.ldb"
expect_refusal "a database that does not open" "cannot open" "$BIN/zefaaudit" --samdb "$WORK/bad/sam.ldb"

# ------------------------------------------------------- require change
# Every account outside the OU is excepted (other tests use them), and so
# is the one with its own name as password; the Domain Admin is left out
# as privileged.
# The list is taken again right before each run, so that accounts another
# test has added meanwhile are excepted too.
except_others() {
  "$BIN/zefaaudit" --samdb "$SAMDB" --all --csv "$WORK/now.csv" >/dev/null 2>&1 || true
  awk -F, -v p="$P-" 'NR > 1 && index($1, p) != 1 {print $1}' "$WORK/now.csv" | paste -sd, -
}
ldbdo pwdlastset "$BASE" | sort >"$WORK/before.txt"
"$BIN/zefaaudit" --samdb "$SAMDB" --store "$WORK/ntlm.store" --require-change --dry-run \
  --except "$(except_others),$P-name" >"$WORK/dry.txt" 2>&1 || true
ldbdo pwdlastset "$BASE" | sort >"$WORK/after-dry.txt"
dry_changed=$(join "$WORK/before.txt" "$WORK/after-dry.txt" | awk -v p="$P-" '$2 != $3 && (index($1, p) == 1 || $3 == 0) {print $1}')
[[ -z $dry_changed ]] && pass "--dry-run changes nothing" || fail "--dry-run changed pwdLastSet of $dry_changed"
expected_changed=$(printf '%s\n' "$P-breach" "$P-empty" "$P-share1" "$P-word" | sort)
listed=$(sed -n '/dry run/,$p' "$WORK/dry.txt" | sed -n 's/^  \(.*\)$/\1/p' | sort)
[[ $listed == "$expected_changed" ]] && pass "--dry-run lists the accounts" || fail "--dry-run listed: $listed"
"$BIN/zefaaudit" --samdb "$SAMDB" --store "$WORK/ntlm.store" --require-change \
  --except "$(except_others),$P-name" >"$WORK/change.txt" 2>&1 || true
ldbdo pwdlastset "$BASE" | sort >"$WORK/after.txt"
# Changed among the OU's accounts; set to 0 among all accounts.
changed=$(join "$WORK/before.txt" "$WORK/after.txt" | awk -v p="$P-" '$2 != $3 && index($1, p) == 1 {print $1}' | sort)
zeroed=$(join "$WORK/before.txt" "$WORK/after.txt" | awk '$3 == 0 && $2 != 0 {print $1}' | sort)
changed_list=$(sed -n '/next logon:/,$p' "$WORK/change.txt" | sed -n 's/^  \(.*\)$/\1/p' | sort)
if [[ $changed == "$expected_changed" && $zeroed == "$expected_changed" && $changed_list == "$expected_changed" ]]
then pass "--require-change set pwdLastSet 0 on exactly the expected accounts"
else fail "--require-change changed: $changed; zero now: $zeroed; printed: $changed_list"; fi

# ---------------------------------------------------- nothing secret leaks
cat "$WORK"/*.txt "$WORK"/*.csv "$WORK/r.json" >"$WORK/all-output"
tail -n 20 "$LOG_FILE" >>"$WORK/all-output"
if grep -Eq '[0-9a-fA-F]{32}' "$WORK/all-output"; then fail "hash-like text in an output"
else pass "no hash text in any output"; fi
for pw in "${ALL_PW[@]}"; do
  if grep -qF -- "$pw" "$WORK/all-output"; then fail "a password in an output"; fi
done

if [[ $failures -ne 0 ]]; then echo "$failures check(s) failed"; exit 1; fi
echo "all checks passed"
