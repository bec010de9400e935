# Shared by install.sh and uninstall.sh, sourced with their arguments: where
# each browser looks for native messaging host manifests, and the checks every
# input must pass.

default_name=com.quorvia.deviceinfo
all_browsers="chrome chromium edge firefox"

die() {
  echo "${0##*/}: $*" >&2
  exit 2
}

# A newline or other control character in any argument is a mistake (a list
# made with $(cat file) keeps its line ends): nothing is done with it.
for arg in "$@"; do
  [[ $arg != *[[:cntrl:]]* ]] || die "control character in argument '${arg//[[:cntrl:]]/?}'"
done

# The options both scripts take, and their defaults.
system=0
root=""
name=$default_name
browsers=""

need_value() { [ $# -ge 2 ] || die "$1 needs a value (see --help)"; }

# Takes one of the shared options from the front of the arguments; sets
# `consumed` to how many arguments it used, 0 when it is not one of them.
common_option() {
  consumed=0
  case $1 in
    --system) system=1; consumed=1 ;;
    --root) need_value "$@"; root=$2; consumed=2 ;;
    --name) need_value "$@"; name=$2; consumed=2 ;;
    --browsers) need_value "$@"; browsers="$browsers $(parse_browsers "$2")"; consumed=2 ;;
    -h | --help) usage; exit 0 ;;
  esac
}


# The folder a browser reads; per user unless system=1. root prefixes the
# system folders so packaging and tests can stage them anywhere.
manifest_dir() {
  local browser=$1
  if [ "$system" = 1 ]; then
    case $browser in
      chrome) echo "$root/etc/opt/chrome/native-messaging-hosts" ;;
      chromium) echo "$root/etc/chromium/native-messaging-hosts" ;;
      edge) echo "$root/etc/opt/edge/native-messaging-hosts" ;;
      firefox) echo "$root/usr/lib/mozilla/native-messaging-hosts" ;;
    esac
  else
    # The Chromium family keeps its profile, and the user-level manifests
    # beside it, under XDG_CONFIG_HOME when that is set.
    local config=${XDG_CONFIG_HOME:-$HOME/.config}
    case $browser in
      chrome) echo "$config/google-chrome/NativeMessagingHosts" ;;
      chromium) echo "$config/chromium/NativeMessagingHosts" ;;
      edge) echo "$config/microsoft-edge/NativeMessagingHosts" ;;
      firefox) echo "$HOME/.mozilla/native-messaging-hosts" ;;
    esac
  fi
}

# The rules for names and IDs, and the filling of the template, live in
# quorvia-manifest, which every installer on every platform runs (looked for
# once the options are read, so that --help works anywhere).
tool=$here/quorvia-manifest

# "browser<TAB>folder" lines for the browsers given. Firefox reads one
# system folder, chosen when it was built: /usr/lib64/mozilla in 64-bit
# builds of Red Hat-family and SUSE distributions, /usr/lib/mozilla in
# Mozilla's own and Debian's; where there is a /usr/lib64, both are served.
manifest_targets() {
  local b
  for b in "$@"; do
    printf '%s\t%s\n' "$b" "$(manifest_dir "$b")"
    if [ "$b" = firefox ] && [ "$system" = 1 ] && [ -d "$root/usr/lib64" ] && [ ! -L "$root/usr/lib64" ]; then
      printf '%s\t%s\n' "$b" "$root/usr/lib64/mozilla/native-messaging-hosts"
    fi
  done
}

check_name() {
  "$tool" --check-name "$1" || exit 2
}

# Turns "a,b" or repeated options into the list of browsers, checking each.
parse_browsers() {
  local list=${1//,/ } b
  for b in $list; do
    case " $all_browsers " in
      *" $b "*) ;;
      *) die "unknown browser '$b': choose from ${all_browsers// /, }" ;;
    esac
  done
  echo "$list"
}

check_environment() {
  [ -x "$tool" ] || die "quorvia-manifest not found beside ${0##*/}: run the script from the build folder (build/linux) or from /usr/lib/quorvia"
  if [ "$system" = 1 ]; then
    return 0
  fi
  [ -n "${HOME:-}" ] || die "HOME is not set, so the per-user folders are unknown (or use --system)"
}
