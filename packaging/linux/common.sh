# Shared by install.sh and uninstall.sh, sourced with their arguments: where
# each browser looks for native messaging host manifests, and the checks every
# input must pass.

default_name=com.quorvia.deviceinfo
# The short names --browsers takes (quorvia-nm doctor uses the same). The
# Firefox family reads allowed_extensions manifests, the others (the Chromium
# family) allowed_origins ones.
all_browsers="chrome chrome-beta chrome-dev chrome-canary chromium edge edge-beta edge-dev brave vivaldi opera firefox librewolf"
firefox_family="firefox librewolf"
# Registered for the user by default even before the browser has run once: a
# machine usually has one of them, and a manifest waiting for a browser
# installed later costs one small folder. The others only where their own
# folder shows they are in use.
usual_browsers="chrome chromium edge firefox"

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
user_data_dir=""

need_value() { [ $# -ge 2 ] || die "$1 needs a value (see --help)"; }

# Takes one of the shared options from the front of the arguments; sets
# `consumed` to how many arguments it used, 0 when it is not one of them.
common_option() {
  consumed=0
  case $1 in
    --system) system=1; consumed=1 ;;
    --root) need_value "$@"; root=$2; consumed=2 ;;
    --name) need_value "$@"; name=$2; consumed=2 ;;
    --browsers) need_value "$@"; browsers="$browsers $(parse_browsers "$2")" || exit 2; consumed=2 ;;
    --user-data-dir) need_value "$@"; user_data_dir=$2; consumed=2 ;;
    -h | --help) usage; exit 0 ;;
  esac
}


is_firefox_family() { case " $firefox_family " in *" $1 "*) return 0 ;; esac; return 1; }

# A browser's own folder: its profile for the user, or the folder its system
# manifests sit in. root prefixes the system folders so packaging and tests
# can stage them anywhere. Sources (see the README's table): Chromium's
# chrome/common/chrome_paths.cc (DIR_NATIVE_MESSAGING: /etc/opt/chrome for
# every Google Chrome channel, /etc/chromium for every other build),
# chrome_paths_linux.cc and channel_info_posix.cc (the profile under
# XDG_CONFIG_HOME, suffixed -beta, -unstable or -canary by channel); Brave's
# chromium_src/chrome/common/chrome_paths_linux.cc; Microsoft's and Opera's
# native messaging pages; MDN's "Native manifests"; LibreWolf's FAQ.
browser_dir() {
  local browser=$1
  if [ "$system" = 1 ]; then
    case $browser in
      chrome*|opera) echo "$root/etc/opt/chrome" ;;
      chromium|brave|vivaldi) echo "$root/etc/chromium" ;;
      edge*) echo "$root/etc/opt/edge" ;;
      firefox) echo "$root/usr/lib/mozilla" ;;
      librewolf) echo "$root/usr/lib/librewolf" ;;
    esac
    return
  fi
  local config=${XDG_CONFIG_HOME:-$HOME/.config}
  case $browser in
    chrome) echo "$config/google-chrome" ;;
    chrome-beta) echo "$config/google-chrome-beta" ;;
    chrome-dev) echo "$config/google-chrome-unstable" ;;
    chrome-canary) echo "$config/google-chrome-canary" ;;
    chromium) echo "$config/chromium" ;;
    edge) echo "$config/microsoft-edge" ;;
    edge-beta) echo "$config/microsoft-edge-beta" ;;
    edge-dev) echo "$config/microsoft-edge-dev" ;;
    brave) echo "$config/BraveSoftware/Brave-Browser" ;;
    vivaldi) echo "$config/vivaldi" ;;
    opera) echo "$config/opera" ;;
    firefox) echo "$HOME/.mozilla" ;;
    librewolf) echo "$HOME/.librewolf" ;;
  esac
}

# The rules for names and IDs, and the filling of the template, live in
# quorvia-manifest, which every installer on every platform runs (looked for
# once the options are read, so that --help works anywhere).
tool=$here/quorvia-manifest

# "browsers<TAB>folder<TAB>top" lines, one per folder however many of the
# browsers given read it: the manifest folder, and the highest folder above
# it that uninstall.sh may remove once it is empty (the browser's own level,
# never the configuration or system folder that holds it). With
# --user-data-dir the profile folder stands for the Chromium family's, and is
# never removed. Firefox and LibreWolf read one system folder each, chosen
# when they were built: under /usr/lib64 in 64-bit builds of Red Hat-family
# and SUSE distributions, under /usr/lib in Mozilla's own and Debian's; where
# there is a /usr/lib64, both are served.
manifest_targets() {
  local b dir config=${XDG_CONFIG_HOME:-$HOME/.config}
  if [ -n "$user_data_dir" ]; then
    printf -- '--user-data-dir\t%s\t%s\n' "$user_data_dir/NativeMessagingHosts" "$user_data_dir/NativeMessagingHosts"
    return
  fi
  for b in "$@"; do
    dir=$(browser_dir "$b")
    if is_firefox_family "$b"; then
      printf '%s\t%s\t%s\n' "$b" "$dir/native-messaging-hosts" "$dir"
      if [ "$system" = 1 ] && [ -d "$root/usr/lib64" ] && [ ! -L "$root/usr/lib64" ]; then
        printf '%s\t%s\t%s\n' "$b" "$root/usr/lib64/${dir##*/}/native-messaging-hosts" "$root/usr/lib64/${dir##*/}"
      fi
    elif [ "$system" = 1 ]; then
      printf '%s\t%s\t%s\n' "$b" "$dir/native-messaging-hosts" "$dir"
    else
      # Brave's profile is two levels below the configuration folder.
      local top=${dir#"$config"/}
      printf '%s\t%s\t%s\n' "$b" "$dir/NativeMessagingHosts" "$config/${top%%/*}"
    fi
  done | awk -F '\t' '!($2 in at) { at[$2] = ++n; names[n] = $1; line[n] = $2 "\t" $3; next }
                      { names[at[$2]] = names[at[$2]] "," $1 }
                      END { for (i = 1; i <= n; i++) print names[i] "\t" line[i] }'
}

# The browsers to act on when --browsers is not given, of the families
# wanted: for every user, all of them (their system folders are few and
# shared, and a package installed before the browser must serve it); for one
# user, the usual ones and every other whose own folder exists; for a profile
# folder, the Chromium family's one folder.
default_browsers() {
  local chromium_family=$1 firefox_wanted=$2 b
  for b in $all_browsers; do
    if is_firefox_family "$b"; then
      [ "$firefox_wanted" = 1 ] || continue
    else
      [ "$chromium_family" = 1 ] || continue
      [ -z "$user_data_dir" ] || { echo "$b"; return; }
    fi
    if [ "$system" = 1 ] || [ -n "$user_data_dir" ] || [[ " $usual_browsers " == *" $b "* ]] || [ -d "$(browser_dir "$b")" ]; then
      echo "$b"
    fi
  done
}

# Removes a manifest folder once it is empty, and the empty folders above it
# up to top: those install.sh made for a browser that had not run yet. A
# folder that holds anything stays.
remove_empty_folders() {
  local dir=$1 top=$2
  case $dir in "$top" | "$top"/*) ;; *) return 0 ;; esac
  while rmdir -- "$dir" 2>/dev/null && [ "$dir" != "$top" ]; do
    dir=${dir%/*}
  done
  return 0
}

check_name() {
  "$tool" --check-name "$1" || exit 2
}

# Turns "a,b" or repeated options into the list of browsers, checking each.
parse_browsers() {
  local list=${1//,/ } b
  for b in $list; do
    case " $all_browsers all " in
      *" $b "*) ;;
      *) die "unknown browser '$b': choose from ${all_browsers// /, }, or all" ;;
    esac
  done
  echo "$list"
}

check_environment() {
  if [ -n "$user_data_dir" ]; then
    [ "$system" = 0 ] || die "--user-data-dir is one user's profile folder: not with --system"
    [[ $user_data_dir == /* ]] || user_data_dir=$PWD/$user_data_dir
    local b
    for b in $browsers; do
      ! is_firefox_family "$b" ||
        die "--user-data-dir is a Chromium-family profile folder: $b reads no manifests from a profile (leave it out of --browsers and install for it separately)"
    done
  fi
  [ -x "$tool" ] || die "quorvia-manifest not found beside ${0##*/}: run the script from the build folder (build/linux) or from /usr/lib/quorvia"
  if [ "$system" = 1 ]; then
    return 0
  fi
  [ -n "${HOME:-}" ] || die "HOME is not set, so the per-user folders are unknown (or use --system)"
}
