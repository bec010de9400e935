#!/bin/sh
# Builds the MSI with wixl and then sets what wixl cannot express:
#   - CHROME_EXTENSION_IDS and FIREFOX_EXTENSION_IDS are secure, so they
#     reach the installation in managed (elevated) deployments; wixl ignores
#     Secure="yes".
#   - A rebuild of the same version replaces the installed one instead of
#     installing beside it (the upgrade row includes its maximum version).
#   - Each .exe's row in the File table carries the file's version (and
#     language), read from its VERSIONINFO resource, so Windows Installer
#     replaces it by the rules for versioned files; wixl leaves it empty.
#
#   build-msi.sh WXS VERSION GENDIR OUT    (run in the folder of the .exe files)
set -eu
usage() {
  cat <<EOF
usage: ${0##*/} WXS VERSION GENDIR OUT

Builds the MSI OUT from WXS with wixl, as version VERSION, with the generated
files from GENDIR (relative to the current folder, which holds the .exe files),
and marks the extension-ID properties secure, the upgrade inclusive, and
the programs' versions in the File table.
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

# The FileVersion string of the resource, which the build writes from the
# same numbers as its fixed part; US English, as the resource says (1033).
msiinfo export "$tmp" File | tr -d '\r' | tail -n +4 | while IFS="$(printf '\t')" read -r key _ name _; do
  case $name in
    *.exe)
      version=$(strings -e l "$name" | sed -n '/^FileVersion$/{n;p;q;}')
      case $version in
        [0-9]*.[0-9]*.[0-9]*.[0-9]*) ;;
        *) echo "${0##*/}: $name has no version resource" >&2; exit 1 ;;
      esac
      msibuild "$tmp" -q "UPDATE File SET Version = '$version', Language = '1033' WHERE File = '$key'" ;;
  esac
done
mv "$tmp" "$out"
