#!/bin/sh
# More network links than the first adapter buffer holds (1,867 here): 1,000
# veth pairs in a network namespace of their own, every address listed.
# usage: many_adapters_test.sh HOST NM; exit 77 (skipped) without namespaces.
set -u
batch=$(mktemp)
trap 'rm -f "$batch"' EXIT
seq 0 999 | sed 's/.*/link add a& type veth peer name b&/' >"$batch"
unshare -n ip -batch "$batch" >/dev/null 2>&1 || { echo "no network namespace with veth links here"; exit 77; }
out=$(unshare -n sh -c 'ip -batch "$1" && "$3" call --key 0123456789abcdef --host "$2"' sh "$batch" "$1" "$2") || {
  echo "$out" | head -20
  exit 1
}
n=$(printf '%s\n' "$out" | grep -o '"[0-9A-F][0-9A-F]\(:[0-9A-F][0-9A-F]\)\{5\}"' | wc -l)
[ "$n" -eq 2000 ] || { echo "$n addresses listed, not 2000"; exit 1; }
