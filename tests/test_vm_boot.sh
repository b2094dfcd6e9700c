#!/bin/sh
# A/B boots under the real boot loaders: QEMU boots a disk with GRUB
# (i386-pc), or U-Boot built with boot counting, and two slot partitions,
# each with Debian's kernel and an initramfs that runs zor-ab (tests/vm/). Every boot says which slot booted
# and its boot state, makes the change the row asks for, says it returned,
# and the power is cut at once (SIGKILL of QEMU): nothing is ever shut down
# cleanly, so each next boot shows what GRUB found on the disk.
#   test_vm_boot.sh SOURCE_DIR CACHE_DIR grub|uboot
set -eu
src=$1
cache=$2
loader=$3
# shellcheck source=tests/helpers.sh disable=SC1091
. "$(dirname "$0")/helpers.sh"
mkdir -p "$cache"
image=$(sh "$src/tests/vm/build-image.sh" "$src" "$cache" "$loader")
firmware=
[ "$loader" != uboot ] || firmware="-bios $(sh "$src/tests/vm/build-uboot.sh" "$src" "$cache")"
work=$(mktemp -d /var/tmp/zor_vm.XXXXXX)
qemu_pid=
trap '[ -z "$qemu_pid" ] || kill -KILL "$qemu_pid" 2>/dev/null || :; rm -rf "$work"' EXIT
cp "$image" "$work/disk.img"
failed_log=$work/console
failed_tail=15
# KVM where it answers, else TCG; edd=off on the kernel command line keeps
# the default CPU from hanging in EDD probing under KVM.
accel=tcg
if [ -w /dev/kvm ]; then accel=kvm:tcg; fi

# boot ACTION: one boot that makes ACTION's change, cut right after it
# returned. Sets booted, status and done (the guest's ZOR-DONE line).
boot() {
  : >"$work/console"
  # shellcheck disable=SC2086  # firmware: an option and its file
  qemu-system-x86_64 -machine "pc,accel=$accel" -m 256 -display none -no-reboot -monitor none $firmware \
    -drive "file=$work/disk.img,format=raw,if=virtio,cache=unsafe" \
    -fw_cfg "name=opt/zor/action,string=$1" -serial "file:$work/console" &
  qemu_pid=$!
  i=0
  while ! grep -q '^ZOR-DONE' "$work/console" && [ "$i" -lt 600 ]; do sleep 0.2; i=$((i + 1)); done
  kill -KILL "$qemu_pid" 2>/dev/null || :
  wait "$qemu_pid" 2>/dev/null || :
  qemu_pid=
  tr -d '\r' <"$work/console" >"$work/lines"
  booted=$(sed -n 's/^ZOR-BOOTED //p' "$work/lines")
  status=$(sed -n 's/^ZOR-STATUS //p' "$work/lines")
  done=$(sed -n 's/^ZOR-DONE //p' "$work/lines")
}

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
