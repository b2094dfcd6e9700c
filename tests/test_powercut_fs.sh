#!/bin/sh
# The power-cut file system itself, on a short table: what survives a power
# cut is exactly what was made durable (LazyFS's model).
#   test_powercut_fs.sh SOURCE_DIR
set -eu
# shellcheck source=tests/powercut.sh disable=SC1091
. "$1/tests/powercut.sh"
pc_usable || { echo "needs root, /dev/fuse and python3-pyfuse3: skipped"; exit 0; }
pc_private "$0" "$@"
work=$(mktemp -d /var/tmp/zor_powercut.XXXXXX)
trap 'pc_cut "$work/m" || :; rm -rf "$work"' EXIT
mkdir "$work/m"
failures=0
# CASE|STEPS (in the mounted folder)|WHAT A LISTING SHOWS AFTER THE CUT
while IFS='|' read -r what steps want; do
  rm -f "$work/image"
  pc_mount "$work/image" "$work/m"
  (cd "$work/m" && echo old >a && sync a . && sh -c "$steps")
  pc_cut "$work/m" || :
  pc_mount "$work/image" "$work/m"
  got=$(cd "$work/m" && for f in *; do printf '%s=%s ' "$f" "$(cat "$f")"; done)
  pc_unmount "$work/m" >/dev/null
  if [ "$got" != "$want" ]; then echo "FAIL $what: '$got', want '$want'"; failures=$((failures + 1)); fi
done <<'CASES'
written, not synced, is lost|echo new >b; echo new >a|a=old 
synced data and its name are kept|echo new >b && sync b .|a=old b=new 
a name synced without its data keeps no data|echo new >b && sync .|a=old b= 
a rename without a folder sync is lost|echo new >b && sync b . && mv b a|a=old b=new 
a rename with a folder sync is kept|echo new >b && sync b . && mv b a && sync .|a=new 
an unlink without a folder sync is undone|rm a|a=old 
CASES
[ "$failures" -eq 0 ] || exit 1
echo "power-cut file system: every case as LazyFS's model says"
