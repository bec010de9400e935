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
#   - Two builds of the same files give the same bytes. wixl draws the
#     product code and the package code at random and stamps the summary
#     information and the cabinet with the current time; here the codes are
#     derived from the version and the files (a new product code whenever
#     the content changes, as the upgrade above needs; the same package code
#     only for the same package: "Nonidentical .msi files should not have
#     the same package code", Windows Installer's "Package Codes"; upper
#     case, as "Product Codes" requires), and with SOURCE_DATE_EPOCH every
#     time is that one.
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
tmp=$(realpath -m -- "$out").tmp
wxs=$(realpath -- "$wxs")
stage=$(mktemp -d)
trap 'rm -f "$tmp"; rm -rf "$stage"' EXIT

# The sources, copied with one time stamp, which the cabinet records.
mkdir "$stage/gen"
cp -- quorvia-host.exe quorvia-nm.exe quorvia-manifest.exe "$stage/"
cp -- "$gendir"/*.json "$gendir"/*.json.in "$gendir"/*.txt "$gendir"/*.dll "$stage/gen/"
clock=""
if [ -n "${SOURCE_DATE_EPOCH-}" ]; then
  find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
  # A faketime around the whole build (scripts/check-reproducible's) would
  # shift this one's clock too: its settings are not passed on.
  clock="env -u LD_PRELOAD -u FAKETIME -u FAKETIME_SHARED faketime @$SOURCE_DATE_EPOCH"
fi
content=$(cd "$stage" && find . -type f | LC_ALL=C sort | xargs sha256sum | cat - "$wxs" | sha256sum)
# Name-based UUIDs in the namespace of the product's upgrade code.
code() {
  python3 -c 'import sys, uuid; print(str(uuid.uuid5(uuid.UUID(sys.argv[1]), sys.argv[2])).upper())' \
    A0D979C1-CF5B-453C-9059-EACE81171EF2 "$1 $version ${content%% *}"
}
(cd "$stage" && $clock wixl -a x64 -D Version="$version" -D GenDir=gen -D ProductCode="$(code product)" \
  -o "$tmp" "$wxs")

secure=$(msiinfo export "$tmp" Property | sed -n 's/^SecureCustomProperties\t//p' | tr -d '\r')
upgrade_code=$(msiinfo export "$tmp" Property | sed -n 's/^UpgradeCode\t//p' | tr -d '\r')
$clock msibuild "$tmp" \
  -q "UPDATE Property SET Value = '${secure:+$secure;}CHROME_EXTENSION_IDS;FIREFOX_EXTENSION_IDS' WHERE Property = 'SecureCustomProperties'" \
  -q "DELETE FROM Upgrade WHERE ActionProperty = 'WIX_UPGRADE_DETECTED'" \
  -q "INSERT INTO Upgrade (UpgradeCode, VersionMax, Attributes, ActionProperty) VALUES ('$upgrade_code', '$version', 513, 'WIX_UPGRADE_DETECTED')"
# 513: migrate feature states (as wixl writes it) + the maximum version inclusive.

# The FileVersion string of the resource, which the build writes from the
# same numbers as its fixed part; US English, as the resource says (1033).
msiinfo export "$tmp" File | tr -d '\r' | tail -n +4 | while IFS="$(printf '\t')" read -r key _ name _; do
  case $name in
    *.exe)
      file_version=$(strings -e l "$name" | sed -n '/^FileVersion$/{n;p;q;}')
      case $file_version in
        [0-9]*.[0-9]*.[0-9]*.[0-9]*) ;;
        *) echo "${0##*/}: $name has no version resource" >&2; exit 1 ;;
      esac
      $clock msibuild "$tmp" -q "UPDATE File SET Version = '$file_version', Language = '1033' WHERE File = '$key'" ;;
  esac
done
$clock msibuild "$tmp" -s "Quorvia Device Information Host" Quorvia "x64;1033" "{$(code package)}"
mv "$tmp" "$out"
