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
usage: ${0##*/} [--system] [--root DIR] [--user-data-dir DIR] [--name NAME]
                    [--browsers LIST|all]

Removes the host's manifest from each browser's folder (every browser's by
default: ${all_browsers// /, }),
for the current user, or with --system for every user, or with
--user-data-dir from DIR/NativeMessagingHosts only. A folder left empty goes
too, with the empty folders above it that install.sh made for a browser that
had not run yet; a folder that holds anything else stays.
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
[ -n "${browsers// /}" ] && [[ " $browsers " != *" all "* ]] || browsers=$all_browsers

removed=0
while IFS=$'\t' read -r b dir top; do
  file="$dir/$name.json"
  if [ -e "$file" ] || [ -L "$file" ]; then
    rm -f -- "$file" || die "cannot remove $file$([ "$system" = 1 ] && echo ' (--system needs root)')"
    remove_empty_folders "$dir" "$top"
    echo "removed $name for $b: $file"
    removed=$((removed + 1))
  fi
done < <(manifest_targets $browsers)
[ "$removed" -gt 0 ] || echo "$name was not registered$([ "$system" = 1 ] && echo ' system-wide' || echo ' for this user'); nothing to remove"
