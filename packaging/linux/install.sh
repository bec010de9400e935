#!/usr/bin/env bash
# Registers the Quorvia host with Chrome, Chromium, Edge and Firefox on Linux
# by writing each browser's native messaging host manifest.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
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
  --firefox-ids    add-on IDs allowed from Firefox ({GUID} or name@domain)
  --host PATH      the host program (default: quorvia-host beside this script)
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
chrome_ids=()
firefox_ids=()

while [ $# -gt 0 ]; do
  common_option "$@"
  if [ "$consumed" -gt 0 ]; then
    shift "$consumed"
    continue
  fi
  case $1 in
    --host) need_value "$@"; host=$2; shift 2 ;;
    --chrome-ids) need_value "$@"; IFS=', ' read -r -a more <<<"$2"; chrome_ids+=("${more[@]}"); shift 2 ;;
    --firefox-ids) need_value "$@"; IFS=', ' read -r -a more <<<"$2"; firefox_ids+=("${more[@]}"); shift 2 ;;
    *) usage >&2; die "unknown argument '$1'" ;;
  esac
done

[ -z "$root" ] || [ "$system" = 1 ] || die "--root only applies with --system"
check_environment
check_name "$name"

[ ${#chrome_ids[@]} -gt 0 ] || [ ${#firefox_ids[@]} -gt 0 ] ||
  die "no extension IDs given: name the extensions allowed to call the host with --chrome-ids and/or --firefox-ids"

# Chrome's extension IDs are 32 characters from a to p; anything else can
# never match an origin, so it is a typing mistake worth reporting.
for id in ${chrome_ids[@]+"${chrome_ids[@]}"}; do
  [[ $id =~ ^[a-p]{32}$ ]] || die "invalid Chrome extension ID '$id': expected 32 letters from a to p (the ID alone, without chrome-extension://)"
done
# The forms Firefox accepts for an add-on ID.
for id in ${firefox_ids[@]+"${firefox_ids[@]}"}; do
  [[ $id =~ ^\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\}$ ||
     $id =~ ^[A-Za-z0-9._+-]*@[A-Za-z0-9._-]+$ ]] ||
    die "invalid Firefox add-on ID '$id': expected {GUID} or name@domain"
done

if [ -z "${browsers// /}" ]; then
  browsers=""
  [ ${#chrome_ids[@]} -eq 0 ] || browsers="chrome chromium edge"
  [ ${#firefox_ids[@]} -eq 0 ] || browsers="$browsers firefox"
fi
for b in $browsers; do
  if [ "$b" = firefox ]; then
    [ ${#firefox_ids[@]} -gt 0 ] || die "firefox chosen but no --firefox-ids given"
  else
    [ ${#chrome_ids[@]} -gt 0 ] || die "$b chosen but no --chrome-ids given"
  fi
done

# The browsers start the host by this path, and on Linux it must be absolute.
[ -n "$host" ] || host=$here/quorvia-host
[ -e "$host" ] || die "host program not found: $host (build it, or give --host PATH)"
[ -f "$host" ] && [ -x "$host" ] || die "host program is not an executable file: $host"
host=$(readlink -f -- "$host")
[[ $host != *[[:cntrl:]]* ]] || die "host path contains control characters: $host"

template=""
for t in "$here/host-manifest.json.in" "$here/../manifest/host-manifest.json.in"; do
  if [ -f "$t" ]; then
    template=$t
    break
  fi
done
[ -n "$template" ] || die "manifest template host-manifest.json.in not found beside $here"

json_string_body() {
  local s=${1//\\/\\\\}
  printf '%s' "${s//\"/\\\"}"
}

# One quoted, comma-separated list, duplicates dropped, order kept.
json_list() {
  local prefix=$1 suffix=$2 out="" seen=" " id
  shift 2
  for id in "$@"; do
    case $seen in *" $id "*) continue ;; esac
    seen="$seen$id "
    out="$out${out:+, }\"$prefix$id$suffix\""
  done
  printf '%s' "$out"
}

# The replacement texts are quoted so bash 5.2 does not read '&' in them.
fill_template() {
  local text key=$1 list=$2
  text=$(<"$template")
  # The path goes in last: it is the only free text, and must not be
  # mistaken for a placeholder.
  text=${text//@NAME@/"$name"}
  text=${text//@ALLOWED_KEY@/"$key"}
  text=${text//@ALLOWED@/"$list"}
  text=${text//@PATH@/"$(json_string_body "$host")"}
  printf '%s\n' "$text"
}

chrome_manifest=""
[ ${#chrome_ids[@]} -eq 0 ] ||
  chrome_manifest=$(fill_template allowed_origins "$(json_list chrome-extension:// / "${chrome_ids[@]}")")
firefox_manifest=""
[ ${#firefox_ids[@]} -eq 0 ] ||
  firefox_manifest=$(fill_template allowed_extensions "$(json_list "" "" "${firefox_ids[@]}")")

umask 022
tmp=""
trap '[ -z "$tmp" ] || rm -f -- "$tmp"' EXIT
while IFS=$'\t' read -r b dir; do
  file="$dir/$name.json"
  mkdir -p -- "$dir" 2>/dev/null || die "cannot create $dir$([ "$system" = 1 ] && echo ' (--system needs root)')"
  # Written beside and renamed, so a browser never reads half a manifest.
  tmp=$(mktemp "$dir/.$name.XXXXXX" 2>/dev/null) || die "cannot write in $dir$([ "$system" = 1 ] && echo ' (--system needs root)')"
  if [ "$b" = firefox ]; then
    printf '%s\n' "$firefox_manifest" >"$tmp"
  else
    printf '%s\n' "$chrome_manifest" >"$tmp"
  fi
  chmod 0644 "$tmp"
  mv -f -- "$tmp" "$file"
  tmp=""
  echo "registered $name for $b: $file"
done < <(manifest_targets $browsers)
