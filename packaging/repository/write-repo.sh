#!/usr/bin/env bash
# Adds the Linux packages of one build to the signed apt and dnf repositories
# in a folder, made or updated in place, with Debian's own tools:
# apt-ftparchive (apt-utils), createrepo_c, rpmsign and gpg.
#
#   REPO/quorvia.asc         the public key the clients trust
#   REPO/quorvia.sources     apt's client file (deb822, Signed-By)
#   REPO/quorvia.repo        dnf's client file
#   REPO/deb/                pool/ and dists/stable/ (InRelease, Release, Release.gpg)
#   REPO/rpm/                the signed RPMs and repodata/ (repomd.xml.asc)
#
# Every version stays in the pool, so a fleet can pin one. The signing key is
# imported into a GnuPG home of its own that is removed afterwards; neither
# the key nor its passphrase reaches a command line or the output.
set -euo pipefail

usage() {
  cat <<EOF
usage: ${0##*/} --packages DIR --repo DIR --gpg-key KEYFILE [--gpg-passphrase-file FILE]
                     [--url URL] [--check]

Adds the .deb and .rpm files in --packages (each with its bill of materials
beside it, PACKAGE.spdx.json, when there is one) to the repositories in
--repo, signed with the one secret key in KEYFILE (exported with
gpg --export-secret-keys; its passphrase, if any, on the first line of the
passphrase file). --url is where clients will find --repo (default: its
file:// URL). --check only checks the key, the passphrase and the folder.
A package already in the repository with other content is refused: give the
new build a new version. Exit status: 0 done, 1 failed (the repository is
left as it was), 2 wrong usage, unusable key or folder.
EOF
}
fail() { echo "${0##*/}: $1" >&2; exit "${2:-2}"; }
need() { [ "$2" -ge 2 ] || fail "$1 needs a value"; }
packages="" repo="" key="" passphrase="" url="" check=""
while [ $# -gt 0 ]; do
  case $1 in
    --packages) need "$1" $#; packages=$(realpath -m -- "$2"); shift 2 ;;
    --repo) need "$1" $#; repo=$(realpath -m -- "$2"); shift 2 ;;
    --gpg-key) need "$1" $#; key=$(realpath -m -- "$2"); shift 2 ;;
    --gpg-passphrase-file) need "$1" $#; passphrase=$(realpath -m -- "$2"); shift 2 ;;
    --url) need "$1" $#; url=${2%/}; shift 2 ;;
    --check) check=1; shift ;;
    -h | --help) usage; exit 0 ;;
    *) fail "unknown argument '$1' (see --help)" ;;
  esac
done
[ -n "$repo" ] && [ -n "$key" ] || fail "needs --repo and --gpg-key (see --help)"
[ -n "$check" ] || [ -n "$packages" ] || fail "needs --packages (see --help)"
[ -n "$url" ] || url=file://$repo
case $url in *[[:space:]]*) fail "the URL '$url' holds a space" ;; esac
[ -r "$key" ] && [ -f "$key" ] || fail "cannot read the key file $key"
[ -z "$passphrase" ] || [ -r "$passphrase" ] || fail "cannot read the passphrase file $passphrase"
[ -n "$check" ] || compgen -G "$packages/*.deb" >/dev/null || compgen -G "$packages/*.rpm" >/dev/null ||
  fail "no .deb or .rpm in $packages"

# A folder that holds anything else is never written into.
ours() { [ -f "$1/quorvia.sources" ] && [ -f "$1/deb/dists/stable/Release" ] && [ -f "$1/rpm/repodata/repomd.xml" ]; }
if [ -e "$repo" ] && ! { [ -d "$repo" ] && { [ -z "$(ls -A "$repo")" ] || ours "$repo"; }; }; then
  fail "$repo is neither empty nor a repository written by this script; give a new or empty folder"
fi

gnupg=$(mktemp -d)
stage=""
cleanup() {
  GNUPGHOME=$gnupg gpgconf --kill gpg-agent >/dev/null 2>&1 || true
  rm -rf "$gnupg"
  [ -z "$stage" ] || rm -rf "$stage"
}
trap cleanup EXIT
export GNUPGHOME=$gnupg
# Every gpg call, rpmsign's too, reads the passphrase from the file, never
# from a prompt or a command line.
{
  echo batch
  echo no-tty
  echo pinentry-mode loopback
  [ -z "$passphrase" ] || echo "passphrase-file $passphrase"
} >"$gnupg/gpg.conf"
gpg --quiet --import "$key" >/dev/null 2>"$gnupg/import.log" ||
  fail "$key is not an OpenPGP key file (gpg --export-secret-keys --armor KEYID >KEYFILE)"
secret=$(gpg --list-secret-keys --with-colons 2>/dev/null | awk -F: '$1 == "sec" { n++ } END { print n + 0 }')
[ "$secret" -eq 1 ] || fail "$key holds $secret secret keys; give a file with exactly one"
fpr=$(gpg --list-secret-keys --with-colons 2>/dev/null | awk -F: '$1 == "fpr" { print $10; exit }')
echo "probe" | gpg --local-user "$fpr" --clearsign >/dev/null 2>&1 ||
  fail "cannot sign with the key in $key: wrong or missing passphrase (see --gpg-passphrase-file)"
if [ -f "$repo/quorvia.asc" ]; then
  published=$(gpg --show-keys --with-colons "$repo/quorvia.asc" 2>/dev/null | awk -F: '$1 == "fpr" { print $10; exit }')
  [ "$published" = "$fpr" ] ||
    fail "$repo is signed with the key $published, which its clients trust; sign with that key"
fi
[ -z "$check" ] || exit 0

# The new state is made in a copy beside the repository and takes its place
# only when complete: a failure leaves the published one untouched.
mkdir -p "$(dirname "$repo")"
stage=$(mktemp -d "$repo.partial.XXXXXX")
chmod 755 "$stage"
[ ! -d "$repo" ] || cp -a "$repo/." "$stage/"
pool=$stage/deb/pool/main/q/quorvia-host
mkdir -p "$pool" "$stage/rpm/packages" "$stage/deb/dists/stable/main"

# A package already there must be the one this build made: clients have
# its checksum, and a version is never published twice.
refuse() { fail "$(basename "$1") is already in the repository with other content; give this build a new version" 1; }
# The bill of materials goes beside the package.
added() {
  [ ! -f "$1.spdx.json" ] || cp "$1.spdx.json" "$2.spdx.json"
  echo "added $(basename "$2")"
}

shopt -s nullglob
for deb in "$packages"/*.deb; do
  to=$pool/$(basename "$deb")
  if [ -e "$to" ]; then
    cmp -s "$deb" "$to" || refuse "$to"
  else
    cp "$deb" "$to"
    added "$deb" "$to"
  fi
done
for rpm in "$packages"/*.rpm; do
  to=$stage/rpm/packages/$(basename "$rpm")
  if [ -e "$to" ]; then
    # The published RPM is signed; its main header, which holds the
    # payload's digest, is what the build made.
    header() { rpm -qp --nosignature --qf '%{SHA256HEADER}' "$1"; }
    [ "$(header "$rpm")" = "$(header "$to")" ] || refuse "$to"
  else
    cp "$rpm" "$to.unsigned"
    rpmsign --addsign --define "_gpg_name $fpr" --define "_gpg_path $gnupg" --define "__gpg $(command -v gpg)" "$to.unsigned" \
      >"$gnupg/rpmsign.log" 2>&1 || { cat "$gnupg/rpmsign.log" >&2; fail "signing $(basename "$rpm") failed" 1; }
    mv "$to.unsigned" "$to"
    added "$rpm" "$to"
  fi
done
# apt: the indexes of both architectures, then the Release file over them,
# signed inline (InRelease) and apart (Release.gpg).
(
  cd "$stage/deb"
  for arch in amd64 arm64; do
    mkdir -p "dists/stable/main/binary-$arch"
    apt-ftparchive --arch "$arch" packages pool/main >"dists/stable/main/binary-$arch/Packages"
    gzip -9nkf "dists/stable/main/binary-$arch/Packages"
  done
  rm -f dists/stable/Release dists/stable/InRelease dists/stable/Release.gpg
  apt-ftparchive -o APT::FTPArchive::Release::Origin=Quorvia -o APT::FTPArchive::Release::Label=Quorvia \
    -o APT::FTPArchive::Release::Suite=stable -o APT::FTPArchive::Release::Codename=stable \
    -o "APT::FTPArchive::Release::Architectures=amd64 arm64" -o APT::FTPArchive::Release::Components=main \
    -o "APT::FTPArchive::Release::Description=Quorvia device information host" \
    release dists/stable >"$gnupg/Release"
  mv "$gnupg/Release" dists/stable/Release
  gpg --local-user "$fpr" --digest-algo SHA512 --clearsign -o dists/stable/InRelease dists/stable/Release
  gpg --local-user "$fpr" --digest-algo SHA512 --armor --detach-sign -o dists/stable/Release.gpg dists/stable/Release
) 2>"$gnupg/apt.log" || { cat "$gnupg/apt.log" >&2; fail "writing the apt repository failed" 1; }

# dnf: the metadata, and repomd.xml signed apart as repomd.xml.asc, which
# dnf checks with repo_gpgcheck (Red Hat, RHEL 9 documentation, "Checking
# repositories metadata with GPG").
(
  createrepo_c --quiet --update "$stage/rpm"
  rm -f "$stage/rpm/repodata/repomd.xml.asc"
  gpg --local-user "$fpr" --digest-algo SHA512 --armor --detach-sign -o "$stage/rpm/repodata/repomd.xml.asc" \
    "$stage/rpm/repodata/repomd.xml"
) >"$gnupg/dnf.log" 2>&1 || { cat "$gnupg/dnf.log" >&2; fail "writing the dnf repository failed" 1; }

# Armoured: apt reads an .asc key file from version 1.4 on (apt-key(8)), and
# Signed-By ties the repository to that key alone (sources.list(5)).
gpg --armor --export "$fpr" >"$stage/quorvia.asc"
cat >"$stage/quorvia.sources" <<EOF
# Quorvia device information host, for apt (Debian, Ubuntu): copy to
# /etc/apt/sources.list.d/quorvia.sources, and quorvia.asc to
# /etc/apt/keyrings/quorvia.asc.
Types: deb
URIs: $url/deb
Suites: stable
Components: main
Architectures: amd64 arm64
Signed-By: /etc/apt/keyrings/quorvia.asc
EOF
cat >"$stage/quorvia.repo" <<EOF
# Quorvia device information host, for dnf (Fedora, Red Hat Enterprise
# Linux): copy to /etc/yum.repos.d/quorvia.repo, and quorvia.asc to
# /etc/pki/rpm-gpg/RPM-GPG-KEY-quorvia.
[quorvia]
name=Quorvia device information host
baseurl=$url/rpm
enabled=1
gpgcheck=1
repo_gpgcheck=1
gpgkey=file:///etc/pki/rpm-gpg/RPM-GPG-KEY-quorvia
EOF
find "$stage" -type d -exec chmod 755 {} + -o -type f -exec chmod 644 {} +

if [ -d "$repo" ]; then
  old=$(mktemp -d "$repo.old.XXXXXX")
  mv "$repo" "$old/repo"
  mv "$stage" "$repo"
  rm -rf "$old"
else
  mv "$stage" "$repo"
fi
stage=""
echo "Repository in $repo, signed with $fpr"
