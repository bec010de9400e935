#!/bin/sh
# A bcrypt.dll and an iphlpapi.dll planted beside the programs, with Wine
# told to look in a program's own folder first for them, as Windows' loader
# does for every DLL that is not a KnownDLL. Each program must still work,
# and neither planted DLL may be loaded (it leaves NAME.loaded when it is).
# usage: planted_test.sh BUILD_DIR MARKER_DLL
set -eu
build=$1
: "${WINEPREFIX:=$build/../wineprefix}"
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="bcrypt,iphlpapi=n,b;mscoree,mshtml="
dir=$(mktemp -d "$build/planted.XXXXXX")
trap 'rm -rf "$dir"' EXIT
cp "$build/quorvia-host.exe" "$build/quorvia-nm.exe" "$build/quorvia-manifest.exe" "$dir/"
for dll in bcrypt iphlpapi; do cp "$2" "$dir/$dll.dll"; done
cd "$dir"
# quorvia-nm decrypts the answer of the host beside it: both programs work.
# (Without address-space randomisation, as cmake/wine-run.sh explains.)
wine() { setarch "$(uname -m)" -R wine "$@"; }
wine quorvia-nm.exe call --key 0123456789abcdef </dev/null >nm.out 2>&1 || { cat nm.out; exit 1; }
wine quorvia-manifest.exe --check-name com.quorvia.deviceinfo </dev/null
if ls ./*.loaded 2>/dev/null; then echo "loaded from the program's folder"; exit 1; fi
