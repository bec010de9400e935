#!/usr/bin/env bash
# Removes the Quorvia host's native messaging manifests that install.sh wrote.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=common.sh
. "$here/common.sh"

usage() {
  cat <<USAGE
usage: ${0##*/} [--system] [--root DIR] [--name NAME] [--browsers chrome,chromium,edge,firefox]

Removes the host's manifest from each browser's folder (all four by default),
for the current user, or with --system for every user.
USAGE
}

system=0
root=""
name=$default_name
browsers=""

need_value() { [ $# -ge 2 ] || die "$1 needs a value (see --help)"; }

while [ $# -gt 0 ]; do
  case $1 in
    --system) system=1; shift ;;
    --root) need_value "$@"; root=$2; shift 2 ;;
    --name) need_value "$@"; name=$2; shift 2 ;;
    --browsers) need_value "$@"; browsers="$browsers $(parse_browsers "$2")"; shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; die "unknown argument '$1'" ;;
  esac
done

[ -z "$root" ] || [ "$system" = 1 ] || die "--root only applies with --system"
check_environment
# Checked so that a name can never reach outside the manifest folders.
check_name "$name"
[ -n "${browsers// /}" ] || browsers=$all_browsers

removed=0
for b in $browsers; do
  file="$(manifest_dir "$b")/$name.json"
  if [ -e "$file" ] || [ -L "$file" ]; then
    rm -f -- "$file" || die "cannot remove $file$([ "$system" = 1 ] && echo ' (--system needs root)')"
    echo "removed $name for $b: $file"
    removed=$((removed + 1))
  fi
done
[ "$removed" -gt 0 ] || echo "$name was not registered$([ "$system" = 1 ] && echo ' system-wide' || echo ' for this user'); nothing to remove"
