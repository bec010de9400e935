#!/usr/bin/env bash
# Removes the Quorvia host's native messaging manifests that install.sh wrote.
set -euo pipefail

# An exported CDPATH would make cd print the folder it found.
unset CDPATH
here=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=common.sh
. "$here/common.sh"

usage() {
  cat <<USAGE
usage: ${0##*/} [--system] [--root DIR] [--name NAME] [--browsers chrome,chromium,edge,firefox]

Removes the host's manifest from each browser's folder (all four by default),
for the current user, or with --system for every user.
USAGE
}

while [ $# -gt 0 ]; do
  common_option "$@"
  if [ "$consumed" -gt 0 ]; then
    shift "$consumed"
    continue
  fi
  die "unknown argument '$1' (see --help)"
done

[ -z "$root" ] || [ "$system" = 1 ] || die "--root only applies with --system"
check_environment
# Checked so that a name can never reach outside the manifest folders.
check_name "$name"
[ -n "${browsers// /}" ] || browsers=$all_browsers

removed=0
while IFS=$'\t' read -r b dir; do
  file="$dir/$name.json"
  if [ -e "$file" ] || [ -L "$file" ]; then
    rm -f -- "$file" || die "cannot remove $file$([ "$system" = 1 ] && echo ' (--system needs root)')"
    echo "removed $name for $b: $file"
    removed=$((removed + 1))
  fi
done < <(manifest_targets $browsers)
[ "$removed" -gt 0 ] || echo "$name was not registered$([ "$system" = 1 ] && echo ' system-wide' || echo ' for this user'); nothing to remove"
