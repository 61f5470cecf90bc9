# Sourced by the scripts: the machine's own Debian mirror, and apt installs
# of what is not installed yet.

# The mirror the machine's apt sources name, so that no other host is used.
debian_mirror() {
  local m
  m=$(grep -h -m1 -E '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' | grep -v security | head -n1 || true)
  [ -n "$m" ] || m=$(grep -h -m1 -E '^deb ' /etc/apt/sources.list 2>/dev/null | awk '{print $2}' || true)
  echo "${m:-http://deb.debian.org/debian}"
}

# install_missing PACKAGE...: apt-get install of those not installed yet.
install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}
