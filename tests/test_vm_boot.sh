#!/bin/sh
# A/B boots under the real boot loaders: QEMU boots a disk with GRUB
# (i386-pc), or U-Boot built with boot counting, and two slot partitions,
# each with Debian's kernel and an initramfs that runs zor-ab (tests/vm/).
# Every boot says which slot booted and its boot state, makes the change the row asks for, says it returned,
# and the power is cut at once (SIGKILL of QEMU): nothing is ever shut down
# cleanly, so each next boot shows what GRUB found on the disk.
# With BUILD_DIR, the device runs Debian's Mender client and the project's
# zor-update package (made from BUILD_DIR by cpack), its recovery run at
# every boot, and the rows are deployments; with "cuts" too, power cuts at
# the client's state edges follow (the tables below).
#   test_vm_boot.sh SOURCE_DIR CACHE_DIR grub|uboot [BUILD_DIR [cuts]]
set -eu
src=$1
cache=$2
loader=$3
build=${4:-}
cuts_too=${5:-}
# shellcheck source=tests/helpers.sh disable=SC1091
. "$(dirname "$0")/helpers.sh"
mkdir -p "$cache"
work=$(mktemp -d /var/tmp/zor_vm.XXXXXX)
qemu_pid=
trap '[ -z "$qemu_pid" ] || kill -KILL "$qemu_pid" 2>/dev/null || :; rm -rf "$work"' EXIT
deb=
if [ -n "$build" ]; then
  (cd "$build" && cpack -G DEB -B "$work/debs" >/dev/null)
  deb=$(ls "$work/debs"/zor-update_*_amd64.deb)
fi
image=$(sh "$src/tests/vm/build-image.sh" "$src" "$cache" "$loader" "$deb")
firmware=
[ "$loader" != uboot ] || firmware="-bios $(sh "$src/tests/vm/build-uboot.sh" "$src" "$cache")"
cp "$image" "$work/disk.img"
drives="-drive file=$work/disk.img,format=raw,if=virtio,cache=unsafe"
failed_log=$work/console
failed_tail=15
# KVM where it answers, else TCG; edd=off on the kernel command line keeps
# the default CPU from hanging in EDD probing under KVM.
accel=tcg
if [ -w /dev/kvm ]; then accel=kvm:tcg; fi

# boot ACTION: one boot that makes ACTION's change, cut right after it
# returned. Sets booted, status and done (the guest's ZOR-DONE line), and
# on a client device name, version and pair (what the client names, the
# running slot's /version, the first 16 hex digits of the pair's SHA-256).
# A device that reboots itself (recovery, ZOR-REBOOT) boots again with the
# same ACTION: rebooted then names the slot it left.
boot() {
  rebooted=
  : >"$work/console"
  while :; do
    # shellcheck disable=SC2086  # firmware and drives: options and their files
    qemu-system-x86_64 -machine "pc,accel=$accel" -m 512 -display none -no-reboot -monitor none $firmware \
      $drives -fw_cfg "name=opt/zor/action,string=$1" -serial "file:$work/console" &
    qemu_pid=$!
    i=0
    while ! grep -q '^ZOR-DONE\|^ZOR-CUT' "$work/console" && kill -0 "$qemu_pid" 2>/dev/null && [ "$i" -lt 1500 ]; do
      sleep 0.2
      i=$((i + 1))
    done
    kill -KILL "$qemu_pid" 2>/dev/null || :
    wait "$qemu_pid" 2>/dev/null || :
    qemu_pid=
    tr -d '\r' <"$work/console" >"$work/lines"
    grep -q '^ZOR-DONE\|^ZOR-CUT' "$work/lines" || ! grep -q '^ZOR-REBOOT' "$work/lines" || [ -n "$rebooted" ] || {
      rebooted=$(sed -n 's/^ZOR-BOOTED //p' "$work/lines")
      sed -n 's/^ZOR-LOG \(zor-bundle: \)/    \1/p' "$work/lines"
      continue
    }
    break
  done
  booted=$(sed -n 's/^ZOR-BOOTED //p' "$work/lines")
  status=$(sed -n 's/^ZOR-STATUS //p' "$work/lines")
  done=$(sed -n 's/^ZOR-DONE //p' "$work/lines")
  name=$(sed -n 's/^ZOR-NAME //p' "$work/lines")
  version=$(sed -n 's/^ZOR-VERSION //p' "$work/lines")
  pair=$(sed -n 's/^ZOR-PAIR //p' "$work/lines")
  cut=$(sed -n 's/^ZOR-CUT //p' "$work/lines")
  sed -n 's/^ZOR-LOG \(zor-bundle: \)/    \1/p' "$work/lines"
}

if [ -n "$build" ]; then
  # The releases: each a slot image (the factory slot's files with its own
  # /version, in an ext4 just big enough) and a bundle whose procedure
  # writes it into the slot not booted and activates that slot; the
  # factory pair's procedure does nothing. /var/lib (vdb) holds the pair,
  # the client's device type and the artifacts; "fails" is a release whose
  # procedure fails.
  mib=1048576
  dd if="$work/disk.img" of="$work/slot.img" bs=$mib skip=17 count=40 status=none
  mkdir -p "$work/slotfs"
  debugfs -R "rdump / $work/slotfs" "$work/slot.img" >/dev/null 2>&1
  rm -rf "$work/slotfs/lost+found" "$work/slot.img"
  data=$work/var-lib
  mkdir -p "$data/zor-update" "$data/mender" "$data/zor-test" "$work/factory"
  echo 'return true' >"$work/factory/zor_update_whole_package.lua"
  "$build/zor_pack" pack -o "$data/zor-update/nuvex.zor" "$work/factory" >/dev/null
  sha256sum "$data/zor-update/nuvex.zor" | cut -c1-16 >"$work/pair-factory"
  echo device_type=zor-vm >"$data/mender/device_type"
  for v in v2 v3 v4; do
    mkdir -p "$work/$v" "$work/a/$v"
    echo "$v" >"$work/slotfs/version"
    mke2fs -q -t ext4 -O ^has_journal -d "$work/slotfs" "$work/$v/fw.img" \
      $(($(du -sk "$work/slotfs" | cut -f1) * 11 / 10 + 512))K
    cp "$src/lua/zor_ab.lua" "$work/$v/"
    cat >"$work/$v/zor_update_whole_package.lua" <<'LUA'
local ab = require("zor_ab")
local args = ...
local d = assert(ab.open{ config = args[1] })
assert(d:write(d:inactive(), args.unpackDir .. "fw.img"))
return d:activate(d:inactive())
LUA
    "$build/zor_pack" pack -o "$work/a/$v/nuvex.zor" "$work/$v" >/dev/null
    sha256sum "$work/a/$v/nuvex.zor" | cut -c1-16 >"$work/pair-$v"
    mender-artifact write module-image -T zor-bundle -t zor-vm -n "$v" -f "$work/a/$v/nuvex.zor" \
      --compression none -o "$data/zor-test/$v.mender" >/dev/null
  done
  mkdir -p "$work/fails" "$work/a/fails"
  echo 'return false' >"$work/fails/zor_update_whole_package.lua"
  "$build/zor_pack" pack -o "$work/a/fails/nuvex.zor" "$work/fails" >/dev/null
  mender-artifact write module-image -T zor-bundle -t zor-vm -n fails -f "$work/a/fails/nuvex.zor" \
    --compression none -o "$data/zor-test/fails.mender" >/dev/null
  mke2fs -q -t ext4 -d "$data" "$work/data.img" 256M
  drives="$drives -drive file=$work/data.img,format=raw,if=virtio,cache=unsafe"
  failed_log=$work/console
  failed_tail=40

  # ACTION|BOOTS|NAME|VERSION|STATUS|WHAT: each boot shows the slot BOOTS,
  # the client naming NAME, the running slot's image VERSION and the pair
  # of NAME's bundle (of VERSION's while an update is pending: NAME then
  # ends in +), before ACTION runs (a mender command: its STATUS). The
  # power is cut right after ACTION returns. The state carries.
  boots=0
  while IFS='|' read -r action want want_name want_version want_rc what; do
    boots=$((boots + 1))
    boot "$action"
    echo "boot $boots: $what: booted ${booted:-nothing}, client names ${name:-nothing}, runs ${version:-nothing}, $done"
    [ "$booted" = "$want" ] || failed "$what: booted '${booted:-nothing}', want $want"
    [ "$name" = "${want_name%+}" ] || failed "$what: the client names '$name', want ${want_name%+}"
    [ "$version" = "$want_version" ] || failed "$what: slot $booted runs '$version', want $want_version"
    owner=$want_name
    case $owner in *+) owner=$want_version ;; esac
    [ "$pair" = "$(cat "$work/pair-$owner")" ] || failed "$what: the pair is not $owner's"
    [ "$done" = "$action rc=$want_rc" ] || failed "$what: '${done:-no ZOR-DONE line}', want $action rc=$want_rc"
  done <<'ROWS'
none|A|factory|factory|0|the factory device
install v2|A|factory|factory|0|v2 installed: its procedure writes and activates slot B
commit|B|factory+|v2|0|the client's reboot: B on trial, then the commit marks it good
none|B|v2|v2|0|committed: B stays
install v3|B|v2|v2|0|v3 into slot A
none|A|v2+|v3|0|A's first trial: no commit
none|A|v2+|v3|0|A's second trial: no commit
none|A|v2+|v3|0|A's last trial: no commit
commit|B|v2|v2|1|A never marked good: back on B with v2's pair; the commit is refused
install v4|B|v2|v2|0|v4 into slot A
rollback|A|v2+|v4|0|A fails its checks: the client rolls back
none|B|v2|v2|0|rolled back: B with v2's pair
ROWS
  echo "VM client ($loader): $boots boots, each cut by SIGKILL right after the client returned"
  if [ "$cuts_too" != cuts ]; then
    all_held
    echo "VM client ($loader): the client's name, the running slot and the pair agreed at every boot"
    exit 0
  fi

  # Power cuts at the client's state edges: as the client enters the
  # module's STATE, or right after the module returned from it (the guest
  # wraps the module). Then the device boots (recovery runs), the client
  # follows up with FLOW (commit or rollback, whatever it answers), and at
  # the next boot the running slot and the pair are those of the artifact
  # the client names. Each row starts with the next release's install.
  agree() {
    name=${name%_INCONSISTENT}
    if [ "$version" != "$name" ] || [ "$pair" != "$(cat "$work/pair-$name" 2>/dev/null)" ]; then
      failed "$1: the client names $name, slot $booted runs ${version:-nothing}, the pair is $pair"
    else agreed=$((agreed + 1)); fi
  }
  cuts=0 agreed=0
  while IFS='|' read -r edge flow; do
    case $name in v2) next=v3 ;; v3) next=v4 ;; *) next=v2 ;; esac
    case $edge in
      ArtifactInstall:* | NeedsArtifactReboot:*) boot "install $next cut=$edge" ;;
      ArtifactFailure:*) boot "install fails cut=$edge" ;;
      *) boot "install $next"
        [ "$done" = "install $next rc=0" ] || failed "$edge: the install before the cut: '${done:-none}'"
        boot "$flow cut=$edge" ;;
    esac
    [ "$cut" = "$edge" ] || { failed "$edge ($flow): the cut never came (${done:-no ZOR-DONE})"; continue; }
    cuts=$((cuts + 1))
    boot "$flow"
    then="booted $booted ($version)${rebooted:+, rebooted from $rebooted by recovery}, $done"
    boot none
    echo "cut at $edge: $then; then $booted runs $version, the client names $name"
    agree "cut at $edge, then $flow"
  done <<'EDGES'
ArtifactInstall:enter|commit
ArtifactInstall:leave|commit
ArtifactInstall:leave|rollback
NeedsArtifactReboot:enter|commit
NeedsArtifactReboot:leave|commit
ArtifactCommit:enter|commit
ArtifactCommit:leave|commit
Cleanup:enter|commit
ArtifactRollback:enter|rollback
ArtifactRollback:leave|rollback
ArtifactFailure:enter|commit
ArtifactFailure:enter|rollback
EDGES
  echo "VM client ($loader): $cuts power cuts landed at state edges; $agreed agreed afterwards"
  all_held
  echo "VM client ($loader): the client's name, the running slot and the pair agreed at every boot"
  exit 0
fi

# ACTION|BOOTS|STATUS HOLDS (a part of zor-ab status --json, or -)|WHAT.
# The state carries from row to row.
boots=0 cuts=0 seen=''
while IFS='|' read -r action want holds what; do
  boots=$((boots + 1))
  boot "$action"
  echo "boot $boots: $what: booted ${booted:-nothing}, $done"
  [ "$booted" = "$want" ] || failed "$what: booted '${booted:-nothing}', want $want"
  [ "$holds" = - ] || case $status in *"$holds"*) ;; *) failed "$what: status $status lacks $holds" ;; esac
  # A cut counts once the guest said the change had returned.
  case $done in
    "none rc=0") ;;
    *" rc=0") cuts=$((cuts + 1)); seen="$seen $action" ;;
    *) failed "$what: the change did not return: '${done:-no ZOR-DONE line}'" ;;
  esac
done <<'ROWS'
none|A|"booted": "A", "first": "A", "slots": {"A": {"state": "good"|first boot on A
activate-B|A|-|B activated, cut right after
none|B|"B": {"state": "trial", "tries": 2|B's first trial (the boot loader used a try)
none|B|"B": {"state": "trial", "tries": 1|B's second trial
none|B|"B": {"state": "trial", "tries": 0|B's last trial
none|A|"B": {"state": "bad", "tries": 0|B never marked good: back to A
activate-B|A|-|B activated again
mark-good|B|"B": {"state": "trial", "tries": 2|B marked good on its first trial, cut right after
none|B|"B": {"state": "good"|marked good: B stays
mark-bad|B|"B": {"state": "good"|B marked bad, cut right after
none|A|"B": {"state": "bad"|marked bad: back to A
break-B|A|-|B loses its kernel and is activated, cut right after
none|A|"B": {"state": "trial", "tries": 2|B cannot load: the boot loader falls through to A with no input
ROWS
echo "VM ($loader): $boots boots, each cut by SIGKILL; $cuts cuts right after a change returned:$seen"
all_held
echo "VM ($loader): every boot followed the state the last change reported"
