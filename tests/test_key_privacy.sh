#!/bin/sh
# No byte of a product key reaches a file another user can read: every file
# of the product tree that holds the key or the IV (found by a scan of the
# whole tree for their bytes) must be out of other users' reach, by its own
# mode or a folder's on the way.
#   test_key_privacy.sh TREE KEY.bin   (KEY.bin: the 32 bytes, key then IV)
set -eu
tree=$1
bin=$2
pattern() { od -An -tx1 -v -j "$1" -N 16 "$bin" | tr -d ' \n' | sed 's/../\\x&/g'; }
key=$(pattern 0)
iv=$(pattern 16)
holders=$(LC_ALL=C grep -rlaP "$key|$iv" "$tree" || :)
[ -n "$holders" ] || { echo "FAIL: no file of $tree holds the key: the scan finds nothing"; exit 1; }
# reachable PATH: true when others can read the file at PATH.
reachable() {
  p=$1
  [ "$(($(stat -c '0%a' -- "$p") & 4))" -ne 0 ] || return 1
  while p=$(dirname -- "$p") && [ "$p" != / ]; do
    [ "$(($(stat -c '0%a' -- "$p") & 1))" -ne 0 ] || return 1
  done
}
failures=0 count=0
for f in $holders; do
  count=$((count + 1))
  if reachable "$f"; then echo "FAIL: $f holds the key and others can read it ($(stat -c %a "$f"))"; failures=$((failures + 1)); fi
done
[ "$failures" -eq 0 ] || exit 1
echo "product key: $count files of $tree hold it, none readable by others (the tree is $(stat -c %a "$tree"))"
