#!/usr/bin/env bash
# Registers the Quorvia host with the Chromium family (Chrome, Edge, Brave,
# Vivaldi, Opera and the rest) and the Firefox family on Linux by writing each
# browser's native messaging host manifest.
set -euo pipefail

# An exported CDPATH would make cd print the folder it found.
unset CDPATH
here=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=common.sh
. "$here/common.sh"

usage() {
  cat <<EOF
usage: ${0##*/} [--system] [--root DIR] [--user-data-dir DIR] [--host PATH]
                  [--name NAME] [--chrome-ids ID[,ID...]] [--firefox-ids ID[,ID...]]
                  [--browsers LIST|all]

Writes the host's manifest for each browser, for the current user by default.

  --chrome-ids     extension IDs allowed to call the host from the Chromium
                   family (32 letters a-p each); repeat or separate with commas
  --firefox-ids    add-on IDs allowed from Firefox and LibreWolf ({GUID} or
                   name@domain: letters, digits, '.', '-' and '_')
  --host PATH      the host program (default: quorvia-host beside this script);
                   with --root, its absolute path inside the image
  --name NAME      the native messaging host name (default: $default_name)
  --browsers LIST  only these, comma-separated, or all of them:
                   ${all_browsers// /, }
                   (default: of the families whose IDs are given, with
                   --system every browser; per user chrome, chromium, edge,
                   firefox and every other whose own folder exists)
  --user-data-dir DIR
                   for a Chromium-family browser started with
                   --user-data-dir=DIR: the manifest goes to
                   DIR/NativeMessagingHosts only
  --system         for every user: the folders under /etc and /usr/lib (and
                   /usr/lib64 for Firefox and LibreWolf, where that exists)
  --root DIR       with --system, write under DIR instead of / (for staging)

At least one of --chrome-ids and --firefox-ids is required.
EOF
}

host=""
chrome_ids=""
firefox_ids=""

while [ $# -gt 0 ]; do
  common_option "$@"
  if [ "$consumed" -gt 0 ]; then
    shift "$consumed"
    continue
  fi
  case $1 in
    --host) need_value "$@"; host=$2; shift 2 ;;
    --chrome-ids) need_value "$@"; chrome_ids="$chrome_ids,$2"; shift 2 ;;
    --firefox-ids) need_value "$@"; firefox_ids="$firefox_ids,$2"; shift 2 ;;
    *) die "unknown argument '$1' (see --help)" ;;
  esac
done

[ -z "$root" ] || [ "$system" = 1 ] || die "--root only applies with --system"
[ -z "$root" ] || [ -n "$host" ] || die "--root needs --host: the host's absolute path inside the image"
check_environment
check_name "$name"

# Lists are separated by commas or spaces; only separators means no ID.
has_ids() { [ -n "${1//[, ]/}" ]; }
has_ids "$chrome_ids" || has_ids "$firefox_ids" ||
  die "no extension IDs given: name the extensions allowed to call the host with --chrome-ids and/or --firefox-ids"

chromium_wanted=0 firefox_wanted=0
! has_ids "$chrome_ids" || chromium_wanted=1
! has_ids "$firefox_ids" || firefox_wanted=1
if [ -n "$user_data_dir" ]; then
  [ "$firefox_wanted" = 0 ] ||
    die "--user-data-dir is a Chromium-family profile folder: Firefox reads no manifests from a profile (install for it without --user-data-dir)"
fi
if [ -z "${browsers// /}" ]; then
  browsers=$(default_browsers "$chromium_wanted" "$firefox_wanted")
elif [[ " $browsers " == *" all "* ]]; then
  # Every browser of the families whose IDs are given.
  system_was=$system system=1
  browsers=$(default_browsers "$chromium_wanted" "$firefox_wanted")
  system=$system_was
fi
for b in $browsers; do
  if is_firefox_family "$b"; then
    has_ids "$firefox_ids" || die "$b chosen but no --firefox-ids given"
  else
    has_ids "$chrome_ids" || die "$b chosen but no --chrome-ids given"
  fi
done

[ -n "$host" ] || host=$here/quorvia-host
template=$here/host-manifest.json.in
[ -f "$template" ] || die "manifest template host-manifest.json.in not found beside ${0##*/}"

# quorvia-manifest checks the IDs and the host and fills the template; every
# input is checked before the first file is written.
manifest() {
  local ids=--chrome-ids list=$chrome_ids
  if is_firefox_family "${1%%,*}"; then
    ids=--firefox-ids list=$firefox_ids
  fi
  shift
  "$tool" --template "$template" --host "$host" ${root:+--root "$root"} --name "$name" "$ids" "$list" "$@" ||
    exit 2
}
! has_ids "$chrome_ids" || manifest chrome --check
! has_ids "$firefox_ids" || manifest firefox --check

umask 022
while IFS=$'\t' read -r b dir _; do
  mkdir -p -- "$dir" 2>/dev/null && [ -w "$dir" ] ||
    die "cannot write in $dir$([ "$system" = 1 ] && echo ' (--system needs root)')"
  manifest "$b" --out "$dir/$name.json"
  echo "registered $name for $b: $dir/$name.json"
done < <(manifest_targets $browsers)
