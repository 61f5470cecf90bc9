#!/usr/bin/env bash
# debian_mirror (scripts/lib.sh) on apt sources that fooled a first-line
# grep: a third-party deb822 file, a one-line entry with options, and a cdrom
# entry, each before the Debian archive; and a machine with the Debian archive
# alone. apt reads a private configuration (APT_CONFIG) with fake lists.
set -u
# shellcheck source=scripts/lib.sh
. "$(dirname "$0")/../../scripts/lib.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fails=0

# release SITE_PATH SUITE ORIGIN LABEL: a Release file and an empty index, as
# apt update leaves them in the lists folder.
release() {
  local base
  base="$work/lists/$(echo "$1" | sed 's|^[a-z]*://||; s|/*$||; s|/|_|g')_dists_$2"
  printf 'Origin: %s\nLabel: %s\nSuite: %s\nCodename: %s\nComponents: main\nArchitectures: amd64\n' \
    "$3" "$4" "$2" "$2" >"${base}_Release"
  : >"${base}_main_binary-amd64_Packages"
}

# case NAME EXPECTED: sources are in $work/sources.list and $work/parts.
case_() {
  cat >"$work/apt.conf" <<CONF
Dir::Etc::SourceList "$work/sources.list";
Dir::Etc::SourceParts "$work/parts";
Dir::State::Lists "$work/lists";
CONF
  local got
  got=$(APT_CONFIG="$work/apt.conf" debian_mirror)
  if [ "$got" = "$2" ]; then echo "ok    $1: $got"; else echo "FAIL  $1: got $got, expected $2"; fails=$((fails + 1)); fi
  rm -rf "$work/sources.list" "$work/parts" "$work/lists"
}

setup() { mkdir -p "$work/parts" "$work/lists"; : >"$work/sources.list"; }

setup
printf 'Types: deb\nURIs: https://deb.nodesource.com/node_20.x\nSuites: nodistro\nComponents: main\n' >"$work/parts/a-nodesource.sources"
printf 'Types: deb\nURIs: http://ftp.fr.debian.org/debian\nSuites: bookworm\nComponents: main\n' >"$work/parts/debian.sources"
release https://deb.nodesource.com/node_20.x nodistro "Node Source" "Node Source"
release http://ftp.fr.debian.org/debian bookworm Debian Debian
case_ "third-party .sources first" http://ftp.fr.debian.org/debian

setup
printf 'deb [arch=amd64 signed-by=/usr/share/keyrings/x.gpg] https://packages.example.com/apt stable main\n' >"$work/sources.list"
printf 'deb [arch=amd64] http://ftp.de.debian.org/debian bookworm main\n' >>"$work/sources.list"
release https://packages.example.com/apt stable Example Example
release http://ftp.de.debian.org/debian bookworm Debian Debian
case_ "deb [options] lines" http://ftp.de.debian.org/debian

setup
printf 'deb cdrom:[Debian GNU/Linux 12.5.0 _Bookworm_ - Official amd64 DVD Binary-1]/ bookworm main\n' >"$work/sources.list"
printf 'deb http://security.debian.org/debian-security bookworm-security main\n' >>"$work/sources.list"
printf 'deb http://mirror.example.org/debian/ bookworm main\n' >>"$work/sources.list"
release http://security.debian.org/debian-security bookworm-security Debian Debian-Security
release http://mirror.example.org/debian bookworm Debian Debian
case_ "cdrom and security first" http://mirror.example.org/debian

setup
printf 'Types: deb\nURIs: http://deb.debian.org/debian\nSuites: bookworm bookworm-updates\nComponents: main\n' >"$work/parts/debian.sources"
release http://deb.debian.org/debian bookworm Debian Debian
release http://deb.debian.org/debian bookworm-updates Debian Debian
case_ "the Debian archive alone" http://deb.debian.org/debian

setup
printf 'deb https://packages.example.com/apt stable main\n' >"$work/sources.list"
release https://packages.example.com/apt stable Example Example
case_ "no Debian archive at all" http://deb.debian.org/debian

exit $((fails > 0))
