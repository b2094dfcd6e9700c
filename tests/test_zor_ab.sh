#!/bin/sh
# zor_ab end to end: procedures run through zor_pack run (as the launcher
# runs them) with the library in their bundle, and zor-ab playing the boot
# loader and marking slots, against each backend's real tools (grub-editenv;
# fw_setenv/fw_printenv with an fw_env.config that points at a file).
#   test_zor_ab.sh SOURCE_DIR BUILD_DIR
set -eu
src=$1
build=$2
for tool in grub-editenv grub-script-check fw_setenv fw_printenv lua5.3; do
  command -v "$tool" >/dev/null || { echo "needs $tool (grub-common, libubootenv-tool, lua5.3): skipped"; exit 0; }
done
work=$(mktemp -d /var/tmp/zor_ab.XXXXXX)
trap 'rm -rf "$work"' EXIT
zor_ab() { ZOR_AB_CONF=$conf ZOR_AB_BOOTED=${booted:-} "$src/lua/zor-ab" "$@"; }
# boots SLOT: the kernel command line names SLOT, as after a real boot.
boots() { booted=$1; printf 'BOOT_IMAGE=/vmlinuz zor_ab.slot=%s quiet\n' "$1" >"$cmdline"; }
for i in old new new2; do head -c 1048576 /dev/urandom >"$work/$i.img"; done
head -c 2097152 /dev/urandom >"$work/large.img"
# shellcheck source=tests/helpers.sh disable=SC1091
. "$(dirname "$0")/helpers.sh"
failed_log=$work/log

# device DIR BACKEND: slot files (A holds old.img and runs) and the backend's
# boot state under DIR; $conf names them.
device() {
  d=$1
  rm -rf -- "$d" && mkdir -p -- "$d"
  cp -- "$work/old.img" "$d/slot-A"
  head -c 1048576 /dev/zero >"$d/slot-B"
  conf=$d/zor-ab.conf
  cmdline=$d/cmdline
  printf 'backend=%s\nslot_A=%s\nslot_B=%s\ncmdline=%s\n' "$2" "$d/slot-A" "$d/slot-B" "$cmdline" >"$conf"
  case $2 in
    file) echo "state=$d/ab-state" >>"$conf" ;;
    grub)
      case $d in /*) grub-editenv "$d/grubenv" create ;; *) grub-editenv "./$d/grubenv" create ;; esac
      echo "grubenv=$d/grubenv" >>"$conf" ;;
    uboot)  # fw_env.config splits at blanks: the environment's own file has a plain name
      envs=$((${envs:-0} + 1))
      head -c 16384 /dev/zero >"$work/uboot.env.$envs"
      printf '%s 0x0 0x4000\n' "$work/uboot.env.$envs" >"$d/fw_env.config"
      echo "fw_env_config=$d/fw_env.config" >>"$conf" ;;
  esac
  boots A
}
# procedure CODE ARGS...: the test procedure runs CODE, with the device's
# configuration and the running slot as args[2] and args[3].
procedure() {
  code=$1
  shift
  "$build/zor_pack" run "$src/tests/zor_ab" -- "$code" "$conf" "$booted" "$@" >"$work/log" 2>&1
}
UPDATE='local d = assert(ab.open{ config = args[2], booted = args[3] })
local ok, err = d:write(d:inactive(), args[4])
if not ok then c_dbgMsg("MSG[TLS]", err .. "\n") return false end
return d:activate(d:inactive())'
ACTIVATE='local d = assert(ab.open{ config = args[2], booted = args[3] }) return d:activate(args[4])'
status_line() { zor_ab status | tr '\n' ';'; }

# Backends: activate, a trial that becomes good, a trial never marked good
# (it falls back), mark-bad. STEP|ARG|WANT (a boot's slot, or status).
for backend in file grub uboot; do
  device "$work/$backend" "$backend"
  while IFS='|' read -r step arg want; do
    case $step in
      update) procedure "$UPDATE" "$work/$arg" || failed "$backend: update with $arg" ;;
      activate) procedure "$ACTIVATE" "$arg" || failed "$backend: activate $arg" ;;
      boot) boots "$(zor_ab boot)"; [ "$booted" = "$want" ] || failed "$backend: booted $booted, want $want" ;;
      status) [ "$(status_line)" = "$want" ] || failed "$backend: status '$(status_line)', want '$want'" ;;
      mark-good | mark-bad) zor_ab "$step" 2>/dev/null || failed "$backend: $step" ;;
    esac
  done <<'STEPS'
update|new.img|
boot||B
status||slot A: good;slot B: trial (running);
mark-good||
boot||B
status||slot A: good;slot B: good (running);
update|new2.img|
boot||A
boot||A
boot||A
boot||B
status||slot A: bad;slot B: good (running);
activate|A|
boot||A
mark-bad||
boot||B
status||slot A: bad;slot B: good (running);
STEPS
  cmp -s "$work/$backend/slot-B" "$work/new.img" || failed "$backend: slot B does not hold new.img"
done

# Writes that must be refused, with nothing activated: the running slot
# keeps booting. CASE|SLOT PATH (or -)|IMAGE|WRITE OPTIONS|TEXT
while IFS='|' read -r what slot image opts text; do
  device "$work/w" file
  [ "$slot" = - ] || sed -i "s|^slot_B=.*|slot_B=$slot|" "$conf"
  code="local d = assert(ab.open{ config = args[2], booted = args[3] })
local ok, err = d:write(args[5], args[4], $opts)
c_dbgMsg('MSG[TLS]', tostring(err) .. '\\n')
assert(not ok, 'the write was accepted')
local activated, why = d:activate(args[5])
assert(not activated or args[5] == 'A', 'a refused write was activated')
return true"
  procedure "$code" "$work/$image" "$(case $what in *booted*) echo A ;; *) echo B ;; esac)" ||
    failed "write, $what: the procedure failed"
  grep -qF -- "$text" "$work/log" || failed "write, $what: no '$text'"
  [ "$(zor_ab boot)" = A ] || failed "write, $what: the boot left slot A"
  cmp -s "$work/w/slot-A" "$work/old.img" || failed "write, $what: slot A changed"
done <<'CASES'
corrupt image|-|new.img|{ crc = 12345 }|reads back CRC
image larger than the slot|-|large.img|{}|larger than slot B
the booted slot|-|new.img|{}|is the one running
a slot that reads back wrong|/dev/zero|new.img|{}|/dev/zero
CASES

# Hostile names: slot files and boot-state files named with blanks, quotes,
# a command substitution or a leading "-", for every backend.
# shellcheck disable=SC2016
for name in 'a b' "q'uote" '$(touch pwned)' '-lead'; do
  for backend in file grub uboot; do
    (cd "$work" && device "$name" "$backend" && procedure "$UPDATE" "$work/new.img" &&
      [ "$(zor_ab boot)" = B ] && cmp -s -- "$name/slot-B" "$work/new.img") ||
      failed "hostile name '$name', $backend"
  done
done
if [ -e "$work/pwned" ] || [ -e pwned ]; then failed "a name was run as a command"; fi

# check: compatibility and versions. ARGS (Lua)|OPTIONS (Lua)|STATUS|TEXT
echo 3 >"$work/VERSION"
while IFS='|' read -r a opts status text; do
  code="local v, err = ab.check($a, $opts)
c_dbgMsg('MSG[TLS]', 'check: ' .. tostring(v) .. ' ' .. tostring(err) .. '\\n')
return v ~= nil"
  st=0
  "$build/zor_pack" run "$src/tests/zor_ab" -- "$code" >"$work/log" 2>&1 || st=$?
  if [ "$st" -ne "$status" ] || ! grep -qF -- "$text" "$work/log"; then failed "check $a $opts: status $st, want $status '$text'"; fi
done <<CASES
{ n = 0, sigComment = "version:5 compatible:dev1" }|{ compatible = "dev1", version_file = "$work/VERSION" }|0|check: 5
{ n = 0, sigComment = "version:5 compatible:dev2" }|{ compatible = "dev1" }|207|the bundle is for dev2, this device is dev1
{ n = 0, sigComment = "version:2 compatible:dev1" }|{ compatible = "dev1", version_file = "$work/VERSION" }|207|bundle version 2 is older than the installed 3
{ n = 1, "rollback", sigComment = "version:2" }|{ version_file = "$work/VERSION" }|0|check: 2
{ n = 0, sigComment = "release 4.2" }|{ version_file = "$work/VERSION" }|207|carries no version:N
{ n = 0 }|{ version = 4, compatible_of_bundle = "dev1", compatible = "dev1" }|0|unverified
CASES

# zor-ab as a command: options, exit statuses, slot names and the JSON, on a
# GRUB device booted from A. ARGS|STATUS|OUTPUT HOLDS (stdout and stderr)
device "$work/cli" grub
while IFS='|' read -r args status holds; do
  st=0
  # shellcheck disable=SC2086  # ARGS are words
  out=$(ZOR_AB_CONF=/nonexistent "$src/lua/zor-ab" -c "$conf" $args 2>&1) || st=$?
  [ "$st" -eq "$status" ] || failed "zor-ab $args: status $st, want $status ($out)"
  case $out in *"$holds"*) ;; *) failed "zor-ab $args: '$out' lacks '$holds'" ;; esac
done <<'CASES'
--help|0|usage: zor-ab [-c CONFIG] COMMAND
--version|0|zor-ab 1.0.0
status|0|slot A: good (running)
status --json|0|{"schema": 1, "booted": "A", "first": "A", "slots": {"A": {"state": "good", "tries": 0, "verified": true, "bad": false}
status --yaml|2|status does not take '--yaml'
frobnicate|2|unknown command 'frobnicate'
mark-good C|2|mark-good does not take 'C'
mark-active|2|mark-active needs a slot
mark-bad A B|2|takes one argument at most
-c|2|-c needs a configuration file
mark-active B|1|its last write did not verify
mark-bad other|0|slot B marked bad
mark-good booted|0|slot A marked good
CASES
ZOR_AB_CONF=/nonexistent "$src/lua/zor-ab" --help >/dev/null || failed "zor-ab --help needs a configuration"
[ -x "$src/lua/zor-ab" ] || failed "lua/zor-ab has no run bit"
"$src/lua/zor-ab" -c "$conf" status --json | python3 -c '
import json, sys
d = json.load(sys.stdin)
assert d["schema"] == 1 and d["booted"] in ("A", "B", None) and d["first"] in ("A", "B"), d
for s in ("A", "B"):
    x = d["slots"][s]
    assert x["state"] in ("good", "trial", "bad") and isinstance(x["tries"], int), x
    assert isinstance(x["verified"], bool) and isinstance(x["bad"], bool), x' || failed "status --json breaks its schema"

# No guessing: with no zor_ab.slot= on the command line, the grub and uboot
# backends change nothing. BACKEND|HOW
for backend in grub uboot; do
  device "$work/noslot-$backend" "$backend"
  procedure "$UPDATE" "$work/new.img" || failed "$backend: the first open failed"
  : >"$cmdline"
  before=$(zor_ab status --json)
  for how in mark-good mark-bad "mark-good B" "mark-active A"; do
    # shellcheck disable=SC2086
    if out=$(zor_ab $how 2>&1) || [ "${out#*names no booted slot}" = "$out" ]; then
      failed "$backend, no slot named: zor-ab $how was not refused ($out)"
    fi
  done
  if procedure "$UPDATE" "$work/new2.img" || ! grep -q 'names no booted slot' "$work/log"; then
    failed "$backend, no slot named: the procedure wrote or activated"
  fi
  [ "$(zor_ab status --json)" = "$before" ] || failed "$backend, no slot named: the boot state changed"
done

# Tries as asked, or refused with the backend's limit. BACKEND|TRIES|WANT
while IFS='|' read -r backend tries want; do
  device "$work/tries-$backend" "$backend"
  procedure "$UPDATE" "$work/new.img" || failed "$backend: update"
  procedure "local d = assert(ab.open{ config = args[2] }) return d:activate('B', $tries)" || :
  got=$(zor_ab status --json | sed -n 's/.*"B": {"state": "[a-z]*", "tries": \([0-9]*\).*/\1/p')
  if [ "$got" != "$want" ] && ! grep -qF -- "$want" "$work/log"; then failed "$backend: activate B, $tries tries: $got"; fi
done <<'CASES'
file|5|5
grub|5|5
uboot|7|7
grub|10|the grub backend holds at most 9 tries, not 10
file|0|tries must be a whole number of at least 1
CASES

grub-script-check "$src/lua/zor-ab.grub.cfg" || failed "the GRUB snippet does not pass grub-script-check"
all_held
echo "zor_ab: three backends, refused writes, hostile names and version checks as expected"
