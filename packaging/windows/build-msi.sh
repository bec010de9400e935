#!/bin/sh
# Builds the MSI with wixl and then sets what wixl cannot express:
#   - CHROME_EXTENSION_IDS and FIREFOX_EXTENSION_IDS are secure, so they
#     reach the installation in managed (elevated) deployments; wixl ignores
#     Secure="yes".
#   - A rebuild of the same version replaces the installed one instead of
#     installing beside it (the upgrade row includes its maximum version).
#
#   build-msi.sh WXS VERSION GENDIR OUT    (run in the folder of the .exe files)
set -eu
usage() {
  cat <<EOF
usage: ${0##*/} WXS VERSION GENDIR OUT

Builds the MSI OUT from WXS with wixl, as version VERSION, with the generated
files from GENDIR (relative to the current folder, which holds the .exe files),
and marks the extension-ID properties secure and the upgrade inclusive.
EOF
}
case ${1-} in
  -h | --help) usage; exit 0 ;;
  -*) echo "${0##*/}: unknown argument '$1' (see --help)" >&2; exit 2 ;;
esac
[ $# -eq 4 ] || { echo "${0##*/}: needs WXS VERSION GENDIR OUT, $# given (see --help)" >&2; exit 2; }
wxs=$1 version=$2 gendir=$3 out=$4
tmp=$out.tmp
trap 'rm -f "$tmp"' EXIT
wixl -a x64 -D Version="$version" -D GenDir="$gendir" -o "$tmp" "$wxs"

secure=$(msiinfo export "$tmp" Property | sed -n 's/^SecureCustomProperties\t//p' | tr -d '\r')
upgrade_code=$(msiinfo export "$tmp" Property | sed -n 's/^UpgradeCode\t//p' | tr -d '\r')
msibuild "$tmp" \
  -q "UPDATE Property SET Value = '${secure:+$secure;}CHROME_EXTENSION_IDS;FIREFOX_EXTENSION_IDS' WHERE Property = 'SecureCustomProperties'" \
  -q "DELETE FROM Upgrade WHERE ActionProperty = 'WIX_UPGRADE_DETECTED'" \
  -q "INSERT INTO Upgrade (UpgradeCode, VersionMax, Attributes, ActionProperty) VALUES ('$upgrade_code', '$version', 513, 'WIX_UPGRADE_DETECTED')"
# 513: migrate feature states (as wixl writes it) + the maximum version inclusive.
mv "$tmp" "$out"
