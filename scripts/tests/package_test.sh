#!/usr/bin/env bash
# The installation as an administrator gets it:
#   1. `cmake --install BUILD --prefix X` puts X into the unit and into the
#      path zefatest /v checks, and the installed programs find the library.
#   2. `cpack -G DEB` builds clavora_VERSION_ARCH.deb with the programs, the
#      library, the unit, /etc/default/zefa-host as a conffile, the
#      templates, docs, man pages and its runtime dependencies.
#   3. dpkg -i installs it without touching smb.conf; zefatest /v runs from
#      /usr/bin; with --hook, scripts/tests/samba_hook_test.sh runs against
#      the installed programs and library.
#   4. dpkg -r stops the host and leaves nothing but the conffile and the
#      state folder /var/lib/clavora; dpkg --purge removes those too.
#
#   package_test.sh [BUILD_DIR] [--hook]     (BUILD_DIR default: build/)
# Needs root for the package steps (exit 77 without). The build folder must
# be built (scripts/build.sh).
set -euo pipefail
REPO=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=$REPO/build
HOOK=no
for arg in "$@"; do
  case $arg in
    --hook) HOOK=yes ;;
    *) BUILD=$(realpath -m "$arg") ;;
  esac
done
readonly REPO BUILD HOOK
failures=0
WORK=$(mktemp -d /tmp/clavora-package.XXXXXX)
readonly WORK
trap 'rm -rf -- "$WORK"' EXIT

check() {
  local name=$1
  shift
  if "$@" >"$WORK/check.out" 2>&1; then
    echo "ok   $name"
  else
    echo "FAIL $name"
    sed 's/^/     /' "$WORK/check.out" | head -20
    failures=$((failures + 1))
  fi
}
contains() { grep -qF -- "$2" "$1"; }
# The whole output first: grep -q ending early would break the pipe.
output_contains() {
  local text=$1 out
  shift
  out=$("$@" 2>&1) || true
  printf '%s\n' "$out"
  grep -qF -- "$text" <<<"$out"
}
absent() { [[ ! -e $1 && ! -L $1 ]]; }

# ------------------------------------------------ install under any prefix
PREFIX=$WORK/prefix
cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null
UNIT=$PREFIX/lib/systemd/system/zefa-host.service
check "the unit starts the installed host" contains "$UNIT" "ExecStart=$PREFIX/bin/zefa-host "
check "the unit reads the prefix's settings file" \
  contains "$UNIT" "EnvironmentFile=-$PREFIX/etc/default/zefa-host"
check "the settings file is installed" test -f "$PREFIX/etc/default/zefa-host"
check "zefatest runs from the prefix and checks the prefix's library" \
  output_contains "OK       $PREFIX/lib/libzefa.so" env CLAVORA_ROOT="$WORK/root" "$PREFIX/bin/zefatest" /v
for page in man8/zefatest.8 man8/zefareg.8 man8/zefa-host.8 man8/zefa-check-password.8 man1/zefastore.1; do
  check "man page $page" test -s "$PREFIX/share/man/$page"
done

if [[ $(id -u) -ne 0 ]]; then
  echo "SKIP: the package steps need root"
  ((failures == 0)) || exit 1
  exit 77
fi

# ---------------------------------------------------------------- package
(cd "$WORK" && cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$WORK/deb" >/dev/null)
DEB=$(ls "$WORK"/deb/clavora_*_*.deb)
readonly DEB
check "the package is named clavora_VERSION_ARCH.deb" test -f "$DEB"
dpkg-deb -I "$DEB" >"$WORK/info"
dpkg-deb -c "$DEB" | awk '{print $6}' | sed 's|^\./|/|' >"$WORK/contents"
check "runtime dependencies are declared" contains "$WORK/info" "Depends: libc6"
check "... the libraries the programs link" contains "$WORK/info" "libldap-2.5-0"
dpkg-deb -e "$DEB" "$WORK/control"
check "/etc/default/zefa-host is a conffile" contains "$WORK/control/conffiles" /etc/default/zefa-host
for file in /usr/bin/zefatest /usr/bin/zefareg /usr/bin/zefastore /usr/bin/zefa-host \
            /usr/bin/zefa-check-password /usr/lib/libzefa.so /usr/lib/systemd/system/zefa-host.service \
            /etc/default/zefa-host /usr/share/clavora/ADMX/Clavora.admx \
            /usr/share/clavora/ADMX/en-US/Clavora.adml /usr/share/doc/clavora/README.md \
            /usr/share/doc/clavora/registry-values.md /usr/share/doc/clavora/clavora-example.reg \
            /usr/share/doc/clavora/install-windows.md /usr/share/man/man8/zefatest.8 \
            /usr/share/man/man1/zefastore.1; do
  check "the package holds $file" grep -qx -- "$file" "$WORK/contents"
done

# ----------------------------------------------------------------- install
if dpkg -s clavora >/dev/null 2>&1; then dpkg --purge clavora >/dev/null; fi
smb_before=$( (sha256sum /etc/samba/smb.conf 2>/dev/null || echo none) | cut -d' ' -f1)
check "dpkg -i installs it" dpkg -i "$DEB"
smb_after=$( (sha256sum /etc/samba/smb.conf 2>/dev/null || echo none) | cut -d' ' -f1)
check "installing leaves smb.conf alone" test "$smb_before" = "$smb_after"
check "the programs find the library (RUNPATH)" output_contains 'RUNPATH' readelf -d /usr/bin/zefatest
# Every library the installed programs link comes from a package the
# package depends on.
undeclared() {
  local depends lib path owner missing=0
  depends=$(sed -n 's/^ *Depends: //p' "$WORK/info" | tr -d ' ' | tr ',|' '\n\n')
  for lib in $(for f in $(dpkg -L clavora | grep -E '^/usr/(bin|lib)/[^/]+$'); do
                 readelf -d "$f" 2>/dev/null | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p'
               done | sort -u); do
    [[ $lib == libzefa.so ]] && continue
    path=$(ldconfig -p | awk -v l="$lib" '$1 == l && /x86-64/ {print $NF; exit}')
    owner=$(dpkg -S "$(realpath "$path")" 2>/dev/null | head -1 | cut -d: -f1)
    [[ -z $owner ]] && owner=$(dpkg -S "$path" 2>/dev/null | head -1 | cut -d: -f1)
    if ! grep -qx -- "$owner" <<<"$depends"; then
      echo "$lib ($owner) is not declared"
      missing=1
    fi
  done
  return $missing
}
check "every library the programs link is a declared dependency" undeclared
check "zefatest /v runs and finds the installed library" \
  output_contains "OK       /usr/lib/libzefa.so" env CLAVORA_ROOT="$WORK/root" /usr/bin/zefatest /v
check "the state folder is prepared" test -d /var/lib/clavora/zefa/setup
check "the templates are where the set-up step publishes them from" \
  test -f /var/lib/clavora/zefa/setup/ADMX/Clavora.admx
check "the example configuration imports" \
  env CLAVORA_ROOT="$WORK/root" /usr/bin/zefareg import /usr/share/doc/clavora/clavora-example.reg
if [[ $HOOK == yes ]]; then
  # The hook test against the installed programs and library, without its
  # load parts (the build's own run has them).
  check "the Samba hook test against the installed files" \
    env HOOK_SHORT=1 HOOK_BIN_DIR=/usr/bin HOOK_DC_IP="${PACKAGE_DC_IP:-127.0.0.62}" \
    "$REPO/scripts/tests/samba_hook_test.sh" "$BUILD"
fi
dpkg -L clavora | sort >"$WORK/installed"

# ------------------------------------------------------------------ remove
# A host of the package running, as systemd or an administrator starts it.
mkdir -p /var/lib/clavora/zefa
CLAVORA_ROOT=/var/lib/clavora /usr/bin/zefa-host --socket "$WORK/host.sock" >/dev/null 2>&1 &
host=$!
for _ in $(seq 50); do [[ -S $WORK/host.sock ]] && break; sleep 0.1; done
/usr/bin/zefareg add 'HKLM\Software\Policies\Clavora\1' /v Enabled /t REG_DWORD /d 1 /f >/dev/null
check "dpkg -r removes it" dpkg -r clavora
stopped() { ! kill -0 "$host" 2>/dev/null; }
for _ in $(seq 100); do stopped && break; sleep 0.1; done
check "removing stops the host" stopped
wait "$host" 2>/dev/null || true
left=()
while read -r path; do
  [[ -f $path || -L $path ]] || continue
  case $path in /etc/default/zefa-host|/var/lib/clavora/*) continue ;; esac
  left+=("$path")
done <"$WORK/installed"
check "nothing of the package is left but the conffile and the state folder" test ${#left[@]} -eq 0
((${#left[@]} == 0)) || printf '     left: %s\n' "${left[@]}"
check "the policy store is kept" test -d /var/lib/clavora/registry
check "the conffile is kept" test -f /etc/default/zefa-host
check "dpkg --purge removes the rest" dpkg --purge clavora
check "purging removes the state folder" absent /var/lib/clavora
check "purging removes the conffile" absent /etc/default/zefa-host

echo "$failures failure(s)"
((failures == 0))
