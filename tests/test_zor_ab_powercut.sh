#!/bin/sh
# Power cuts under zor_ab: the slot files and the boot state (the file
# backend) live on the power-cut file system. An update (write slot B,
# activate it), the boot that tries it and its mark-good run once to count
# their changing operations, then once per operation with the power cut
# right after it. After each cut the boot loader's decision (zor-ab boot)
# must pick a slot that holds a complete, verified image: A the old one, or
# B the new one; a half-written slot is never picked.
#   test_zor_ab_powercut.sh SOURCE_DIR BUILD_DIR
set -eu
src=$1
build=$2
# shellcheck source=tests/powercut.sh disable=SC1091
. "$src/tests/powercut.sh"
pc_begin zor_ab_powercut "$0" "$@"
head -c 1048576 /dev/urandom >"$work/old.img"
head -c 1048576 /dev/urandom >"$work/new.img"
conf=$work/zor-ab.conf
printf 'backend=file\nstate=%s/ab-state\nslot_A=%s/slot-A\nslot_B=%s/slot-B\n' "$fs" "$fs" "$fs" >"$conf"
zor_ab() { ZOR_AB_CONF=$conf ZOR_AB_BOOTED=${booted:-} "$src/lua/zor-ab" "$@"; }
UPDATE='local d = assert(ab.open{ config = args[2], booted = "A" })
assert(d:write("B", args[3]))
return d:activate("B")'
steps() {  # the update, the boot that tries B, and its mark-good
  "$build/zor_pack" run "$src/tests/zor_ab" -- "$UPDATE" "$conf" "$work/new.img" >>"$work/log" 2>&1 || return 0
  booted=$(zor_ab boot 2>>"$work/log") || return 0
  zor_ab mark-good 2>>"$work/log" || :
}
# The device before: A runs the old image and is good, B is blank.
pc_mount "$work/base" "$fs"
cp "$work/old.img" "$fs/slot-A"
head -c 1048576 /dev/zero >"$fs/slot-B"
printf 'order=A B\nbooted=A\nA_ok=1\nA_tries=0\nA_verified=1\nA_bad=0\nB_ok=0\nB_tries=0\nB_verified=0\nB_bad=0\n' >"$fs/ab-state"
pc_durable "$fs"
pc_unmount "$fs" >/dev/null
failures=0 new=0
steps_from_a() { booted=''; steps; }
# After a cut, the boot loader's decision picks a slot with a whole image.
after_cut() {
  booted=''
  chosen=$(zor_ab boot 2>>"$work/log") || chosen="(no decision)"
  case $chosen in
    A) cmp -s "$fs/slot-A" "$work/old.img" || { echo "FAIL cut $1: slot A booted without the old image"; failures=$((failures + 1)); } ;;
    B) new=$((new + 1))
       cmp -s "$fs/slot-B" "$work/new.img" || { echo "FAIL cut $1: slot B booted half-written"; failures=$((failures + 1)); } ;;
    *) echo "FAIL cut $1: the boot state gave '$chosen'"; tail -3 "$work/log"; failures=$((failures + 1)) ;;
  esac
}
pc_each_cut "$work/base" "$fs" steps_from_a after_cut
if [ "$pc_landed" -ne "$pc_points" ]; then
  echo "FAIL: $((pc_points - pc_landed)) of $pc_points cuts did not land"; failures=$((failures + 1))
fi
[ "$failures" -eq 0 ] || exit 1
echo "power cuts under zor_ab: $pc_points cut points, $pc_landed landed; $new booted the new image, the rest the old; 0 losses"
