#!/usr/bin/env bash
# Registers the Quorvia host with Chrome, Chromium, Edge and Firefox on Linux
# by writing each browser's native messaging host manifest.
set -euo pipefail

# An exported CDPATH would make cd print the folder it found.
unset CDPATH
here=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=common.sh
. "$here/common.sh"

usage() {
  cat <<EOF
usage: ${0##*/} [--system] [--root DIR] [--host PATH] [--name NAME]
                  [--chrome-ids ID[,ID...]] [--firefox-ids ID[,ID...]]
                  [--browsers chrome,chromium,edge,firefox]

Writes the host's manifest for each browser, for the current user by default.

  --chrome-ids     extension IDs allowed to call the host from Chrome, Chromium
                   and Edge (32 letters a-p each); repeat or separate with commas
  --firefox-ids    add-on IDs allowed from Firefox ({GUID} or name@domain,
                   letters, digits, '.', '-' and '_')
  --host PATH      the host program (default: quorvia-host beside this script);
                   with --root, its absolute path inside the image
  --name NAME      the native messaging host name (default: $default_name)
  --browsers LIST  only these browsers (default: the Chromium family when
                   --chrome-ids is given, Firefox when --firefox-ids is given)
  --system         for every user: the folders under /etc and /usr/lib (and
                   /usr/lib64 for Firefox, where that exists)
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

if [ -z "${browsers// /}" ]; then
  browsers=""
  if has_ids "$chrome_ids"; then browsers="chrome chromium edge"; fi
  if has_ids "$firefox_ids"; then browsers="$browsers firefox"; fi
fi
for b in $browsers; do
  if [ "$b" = firefox ]; then
    has_ids "$firefox_ids" || die "firefox chosen but no --firefox-ids given"
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
  if [ "$1" = firefox ]; then
    ids=--firefox-ids list=$firefox_ids
  fi
  shift
  "$tool" --template "$template" --host "$host" ${root:+--root "$root"} --name "$name" "$ids" "$list" "$@" ||
    exit 2
}
! has_ids "$chrome_ids" || manifest chrome --check
! has_ids "$firefox_ids" || manifest firefox --check

umask 022
while IFS=$'\t' read -r b dir; do
  mkdir -p -- "$dir" 2>/dev/null && [ -w "$dir" ] ||
    die "cannot write in $dir$([ "$system" = 1 ] && echo ' (--system needs root)')"
  manifest "$b" --out "$dir/$name.json"
  echo "registered $name for $b: $dir/$name.json"
done < <(manifest_targets $browsers)
