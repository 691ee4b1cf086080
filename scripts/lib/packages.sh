# Sourced by the set-up scripts: installs the Debian packages named as
# arguments that are not installed yet (no recommends; sudo when not root).
install_missing_packages() {
  local sudo="" missing=() package
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
