#!/bin/sh
# Runs a Windows program under Wine quietly, in a prefix private to the build
# tree so tests never touch the user's own ~/.wine.
here=$(cd "$(dirname "$0")/.." && pwd)
: "${WINEPREFIX:=$here/build/wineprefix}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
exec wine "$@"
