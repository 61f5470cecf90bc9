# shellcheck shell=bash
# Sourced by the scripts: the machine's own Debian mirror, and apt installs
# of what is not installed yet.

# The Debian archive the machine's apt sources name, so that no other host is
# used. apt itself reads the sources (one-line and deb822, options in
# brackets, cdrom: entries); only an http(s) repository whose Release file says
# Origin and Label "Debian" counts, which leaves out the security archive and
# third-party repositories. Without apt lists: deb.debian.org.
debian_mirror() {
  local m
  m=$(apt-get indextargets --format '$(ORIGIN)|$(LABEL)|$(REPO_URI)' 2>/dev/null |
    awk -F'|' '$1 == "Debian" && $2 == "Debian" && $3 ~ /^https?:\/\// { sub(/\/+$/, "", $3); print $3; exit }')
  echo "${m:-http://deb.debian.org/debian}"
}

# install_missing PACKAGE...: apt-get install of those not installed yet, and
# of nothing they only recommend (a minimal machine would otherwise get
# hundreds: systemd, X11, and qemu-user-binfmt, which registers emulators at
# every boot).
install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "scripts: ${missing[*]} not installed, and only root may install them (apt-get install --no-install-recommends ${missing[*]})" >&2
    return 1
  fi
  echo "installing ${missing[*]}"
  # scripts/test makes some engines in the background: one of its apt runs
  # at a time (apt itself would refuse the second, not wait for the first).
  mkdir -p /run/lock
  (
    flock 9
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends -o Dpkg::Use-Pty=0 "${missing[@]}" >/dev/null
  ) 9>/run/lock/velkor64-apt.lock
}
