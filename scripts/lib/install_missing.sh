# Installs packages from the distribution's archive (Debian's apt-get) for the
# script that sources this file, after printing which packages and why:
# nothing is installed silently. Each script checks for the commands and
# files it needs and calls this only for what it found missing.
#
#   install_missing "what they are for" package...
#
# Packages dpkg already lists as installed are left out. Fails as apt-get
# fails; the caller decides whether it can go on without them.

install_missing() {
  local reason=$1 package
  shift
  local missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -gt 0 ] || return 0

  local as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  echo "$(basename "$0"): installing from the distribution's packages: ${missing[*]} ($reason)"
  # One index update per script run is enough for several calls.
  if [ -z "${install_missing_updated:-}" ]; then
    "${as_root[@]}" apt-get update -qq || return
    install_missing_updated=1
  fi
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
