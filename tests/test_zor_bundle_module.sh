#!/bin/sh
# The zor-bundle Update Module driven directly, as the Mender client drives
# it (zor-bundle STATE FILES_DIR), in a private mount namespace whose /tmp
# and work folder are tmpfs. After every case the pair in the
# configuration folder must be exactly the expected one, with nothing
# beside it, and nothing outside the module's work area and state folder
# may have changed.
#   test_zor_bundle_module.sh SOURCE_DIR BUILD_DIR
set -eu
src=$1
build=$2
if [ "$(id -u)" -ne 0 ]; then echo "needs root for its mount namespace: skipped"; exit 0; fi
# Sourced before /tmp is covered: the checkout may lie under /tmp.
# shellcheck source=tests/helpers.sh disable=SC1091
. "$(dirname "$0")/helpers.sh"
if [ -z "${ZOR_ROOT:-}" ]; then
  # Outside /tmp, which the namespace covers with a fresh one (the checkout
  # may well lie under /tmp: what the test needs is copied in first).
  ZOR_ROOT=$(mktemp -d /var/tmp/zor_bundle_module.XXXXXX)
  export ZOR_ROOT
  status=0
  unshare -m --propagation private sh "$0" "$@" || status=$?
  rmdir "$ZOR_ROOT"
  exit "$status"
fi
shellcheck "$src/packaging/mender/zor-bundle"
root=$ZOR_ROOT
mount -t tmpfs -o mode=0755 tmpfs "$root"
mkdir -p "$root/tools"
cp "$build/zor_pack" "$build/zor_update_whole_package" "$src/packaging/mender/zor-bundle" "$root/tools/"
build=$root/tools
mount -t tmpfs -o mode=1777 tmpfs /tmp  # the shared /tmp other users write to
state=$root/state
module=$root/tools/zor-bundle
launcher=$root/device/launcher
config=$launcher/zor_update_whole_package_config
failed_log=$root/log
failed_tail=15
kills=0
landed=0
say() { echo "$*"; }

# Bundles: the old one and the new ones record their arguments beside the
# launcher folder; one fails, one fails slowly, one carries 50 MB.
mkdir -p "$config" "$root/src" "$root/payloads"
lua_recording() {  # lua_recording WHO RESULT
  printf 'local a = ...\nlocal f = assert(io.open(a.fwDir .. "../../record", "a"))\n'
  printf 'f:write("%s:", table.concat(a, " "), "\\n")\nf:close()\n%s\n' "$1" "$2"
}
payload() {  # payload NAME SIG(yes|no) LUA [FILE-ITEM-MB]
  mkdir -p "$root/src/$1" "$root/payloads/$1"
  printf '%s\n' "$3" >"$root/src/$1/zor_update_whole_package.lua"
  [ -z "${4:-}" ] || head -c "$(($4 * 1048576))" /dev/urandom >"$root/src/$1/fw.bin"
  "$build/zor_pack" pack -o "$root/payloads/$1/nuvex.zor" "$root/src/$1" >/dev/null
  [ "$2" = no ] || echo "signature of $1" >"$root/payloads/$1/nuvex.zor.minisig"
}
payload old yes "$(lua_recording old 'return true')" 1
payload old_unsigned no "$(lua_recording old 'return true')"
payload new yes "$(lua_recording new 'return true')"
payload new_unsigned no "$(lua_recording new 'return true')"
payload fails yes 'return false'
payload slow_fail yes 'os.execute("sleep 0.3") return false'
payload big yes 'return true' 50
payload bg yes 'os.execute("sleep 30.017 &") return true'
cp "$build/zor_update_whole_package" "$launcher/"

# PATH shims around the commands the module changes files with: each call
# is a step, and step $KILL_AT kills the module's whole process group.
mkdir -p "$root/bin"
for cmd in cp mv rm sync mkdir chmod unshare; do
  real=$(command -v "$cmd")
  # shellcheck disable=SC2016
  printf '#!/bin/sh\nn=$(($(cat "$COUNTER") + 1))\necho "$n" >"$COUNTER"\n[ "$n" -ne "$KILL_AT" ] || kill -9 0\nexec %s "$@"\n' \
    "$real" >"$root/bin/$cmd"
  chmod +x "$root/bin/$cmd"
done

conf() {  # conf [KEY=VALUE...]: LAUNCHER_DIR, LOG_FILE and STATE_DIR, then the lines given
  printf 'LAUNCHER_DIR=%s\nLOG_FILE=%s\nSTATE_DIR=%s\n' "$launcher" "$root/launcher.log" "$state" >"$root/conf"
  for line in "$@"; do printf '%s\n' "$line" >>"$root/conf"; done
}
device() {  # device PAYLOAD: the configuration folder holds that pair alone, nothing in hand
  rm -f "$config/nuvex.zor" "$config/nuvex.zor.minisig"
  rm -rf "$state"
  cp "$root/payloads/$1/"* "$config/"
  rm -f "$root/device/record"
}
deployment() {  # deployment NAME PAYLOAD: a fresh FILES_DIR
  rm -rf "$root/files/$1"
  mkdir -p "$root/files/$1/files" "$root/files/$1/tmp"
  cp "$root/payloads/$2/"* "$root/files/$1/files/"
}
run() {  # run STATE DEPLOYMENT [KILL_AT]: the module's exit status
  echo 0 >"$root/counter"
  st=0
  if [ -n "${3:-}" ]; then
    PATH="$root/bin:$PATH" COUNTER=$root/counter KILL_AT=$3 ZOR_BUNDLE_CONF=$root/conf \
      setsid -w sh "$module" "$1" "$root/files/$2" >>"$root/log" 2>&1 || st=$?
  else
    ZOR_BUNDLE_CONF=$root/conf setsid -w sh "$module" "$1" "$root/files/$2" >>"$root/log" 2>&1 || st=$?
  fi
  echo "$st"
}
pair() {  # pair DIR: the sha256 of its bundle and signature, "absent" for none
  for f in nuvex.zor nuvex.zor.minisig; do
    if [ -f "$1/$f" ]; then sha256sum <"$1/$f" | cut -c1-16; else echo absent; fi
  done | tr '\n' ' '
}
names() { find "$1" -mindepth 1 -maxdepth 1 -printf '%f\n' | sort | tr '\n' ' '; }
outside() {  # everything outside the work area that the module must not change
  find /tmp "$root/device" -path "$config" -prune -o -path "$root/device/record" -prune -o -print0 | sort -z | md5sum
}
progress() { cat "$state/progress" 2>/dev/null || echo none; }
# expect CASE PAYLOAD DEPLOYMENT [pending]: the pair is PAYLOAD's, alone in
# the folder; nothing of the launcher's /tmp left in the work area, nor a
# kept pair unless the install is pending (not yet committed).
expect() {
  [ "$(pair "$config")" = "$(pair "$root/payloads/$2")" ] || failed "$1: pair $(pair "$config"), want $2's"
  [ "$(names "$config")" = "$(names "$root/payloads/$2")" ] || failed "$1: folder holds $(names "$config")"
  [ ! -e "$root/files/$3/tmp/zor-bundle/tmp" ] || failed "$1: the launcher's /tmp left in the work area"
  [ -n "${4:-}" ] || [ ! -e "$state/kept" ] || failed "$1: a kept pair left in $state"
  [ "$(outside)" = "$before" ] || failed "$1: something outside the work area changed"
}
# rolled_back CASE OLD DEPLOYMENT: ArtifactRollback, twice, gives back OLD.
rolled_back() {
  for i in 1 2; do
    [ "$(run ArtifactRollback "$3")" -eq 0 ] || failed "$1: rollback $i failed"
    expect "$1, rollback $i" "$2" "$3"
  done
}
# recovered CASE OLD NEW DEPLOYMENT: after an interrupted state, recovery
# leaves OLD, or NEW only while an install awaits the client's word; the
# client's rollback then gives back OLD.
recovered() {
  [ "$(run recover "$4")" -eq 0 ] || failed "$1: recovery failed"
  want=$2
  case $(progress) in installed | committed) want=$3 ;; esac
  [ "$(pair "$config")" = "$(pair "$root/payloads/$want")" ] || failed "$1, recovered ($(progress)): pair, want $want's"
  [ "$(names "$config")" = "$(names "$root/payloads/$want")" ] || failed "$1, recovered: folder holds $(names "$config")"
  rolled_back "$1" "$2" "$4"
}

# Kills: at every step of install (succeeding, failing, with and without
# signatures), of rollback and of commit, then recovery and the client's
# rollback.
conf RERUN_ON_ROLLBACK=yes
before=$(outside)
while read -r what old new st; do
  step=1
  while :; do
    device "$old"
    deployment k "$new"
    if [ "$st" != ArtifactInstall ]; then
      [ "$(run ArtifactInstall k)" -eq 0 ] || failed "$what: install before the $st"
    fi
    [ "$(run "$st" k "$step")" -eq 137 ] || break
    kills=$((kills + 1))
    recovered "$what, killed at step $step" "$old" "$new" k
    step=$((step + 1))
  done
  [ "$step" -gt 5 ] || failed "$what: only $step steps"
done <<'CASES'
install-signed-over-signed old new ArtifactInstall
install-unsigned-over-signed old new_unsigned ArtifactInstall
install-signed-over-unsigned old_unsigned new ArtifactInstall
failing-install old fails ArtifactInstall
rollback-of-an-install old new ArtifactRollback
commit-of-an-install old new ArtifactCommit
CASES
say "kills at each step: $kills"

# Kills at random times during a 50 MB install; each one must land (the
# module dies by the signal), and recovery and the client's rollback give
# back the old pair.
device old
deployment big big
start=$(date +%s%N)
[ "$(run ArtifactInstall big)" -eq 0 ] || failed "50 MB install"
span=$((($(date +%s%N) - start) / 1000000))
rolled_back "50 MB install" old big
random_kills=0
# Until that many kills have landed mid-install (a kill after the end does
# not count), within four times as many trials.
while [ "$landed" -lt "${ZOR_RANDOM_KILLS:-100}" ] && [ "$random_kills" -lt $((4 * ${ZOR_RANDOM_KILLS:-100})) ]; do
  device old
  deployment big big
  ZOR_BUNDLE_CONF=$root/conf setsid sh "$module" ArtifactInstall "$root/files/big" >>"$root/log" 2>&1 &
  pid=$!
  delay=$(($(od -An -N2 -tu2 /dev/urandom) % (span * 3 / 4)))
  sleep "$((delay / 1000)).$(printf '%03d' $((delay % 1000)))"
  kill -KILL -"$pid" 2>/dev/null || :
  st=0
  { wait "$pid"; } 2>/dev/null || st=$?
  [ "$st" -ne 137 ] || landed=$((landed + 1))
  recovered "50 MB install killed after $delay ms" old big big
  random_kills=$((random_kills + 1))
done
[ "$landed" -ge "${ZOR_RANDOM_KILLS:-100}" ] || failed "only $landed of $random_kills random kills landed mid-install"
say "kills at random times of a $span ms install: $random_kills, $landed of them landed mid-install"

# Full disks: the work area (the launcher's /tmp), the state folder, the
# configuration folder; each named, nothing changed.
while read -r what where size text; do
  device old
  deployment full big
  target=$root/files/full/tmp
  [ "$where" = state ] && target=$state
  if [ "$where" = config ]; then
    target=$config
    mkdir -p "$root/config_saved" && cp "$config"/* "$root/config_saved/"
  fi
  mkdir -p "$target"
  mount -t tmpfs -o "size=$size,mode=0700" tmpfs "$target"
  [ "$where" != config ] || cp "$root/config_saved"/* "$config/"
  before=$(outside)
  : >"$root/log"
  [ "$(run ArtifactInstall full)" -eq 1 ] || failed "$what full: install did not fail"
  grep -qF -- "$text" "$root/log" || { failed "$what full: no clear message ($text)"; }
  expect "$what full" old full
  umount "$target"
done <<'CASES'
work-area work 512k less than the
state-folder state 512k (the disk is full); nothing changed
configuration-folder config 1536k (the disk is full): nothing changed
CASES

# Names in the shared /tmp made by another user change nothing.
for name in 'tmpdir.zz *' tmpdir.userwork tmpdir.-rf '-tmpdir.x' "tmpdir.new
line"; do
  setpriv --reuid=65534 --regid=65534 --clear-groups mkdir "/tmp/$name"
  # shellcheck disable=SC2016
  setpriv --reuid=65534 --regid=65534 --clear-groups sh -c 'echo mine >"$1/file"' sh "/tmp/$name"
done
before=$(outside)
device old
deployment hostile fails
[ "$(run ArtifactInstall hostile)" -eq 1 ] || failed "hostile /tmp: failing install"
rolled_back "hostile /tmp, failing install" old hostile
deployment hostile new
[ "$(run ArtifactInstall hostile)" -eq 0 ] || failed "hostile /tmp: install"
expect "hostile /tmp, install" new hostile pending

# Two installs at once: one waits for the other; the failing one restores
# what it found, then the second installs over it.
device old
deployment a slow_fail
deployment b new
: >"$root/log"
run ArtifactInstall a >"$root/status_a" &
sleep 0.1
[ "$(run ArtifactInstall b)" -eq 0 ] || failed "concurrent: install b"
wait
[ "$(cat "$root/status_a")" -eq 1 ] || failed "concurrent: failing install a gave $(cat "$root/status_a")"
grep -qF "waiting for the update running on $config" "$root/log" || failed "concurrent: b did not wait"
expect "concurrent installs" new b pending
[ "$(run ArtifactCommit b)" -eq 0 ] || failed "concurrent: commit b"
[ "$(progress)" = committed ] || failed "concurrent: commit b left $(progress)"

# An install over one not yet committed keeps the older snapshot: its
# rollback goes back to the pair committed before both.
device old
rm -rf "$state"
deployment u1 new
deployment u2 new_unsigned
[ "$(run ArtifactInstall u1)" -eq 0 ] || failed "uncommitted: install 1"
[ "$(run ArtifactInstall u2)" -eq 0 ] || failed "uncommitted: install 2"
rolled_back "install over an uncommitted one" old u2
# A rollback after a commit the client never recorded still restores.
deployment c1 new
{ [ "$(run ArtifactInstall c1)" -eq 0 ] && [ "$(run ArtifactCommit c1)" -eq 0 ]; } || failed "commit: install and commit"
rolled_back "rollback after an unrecorded commit" old c1
# The next deployment after a commit drops its snapshot: the new one is the
# committed pair.
deployment c2 new
{ [ "$(run ArtifactInstall c2)" -eq 0 ] && [ "$(run ArtifactCommit c2)" -eq 0 ]; } || failed "commit: c2"
deployment c3 fails
[ "$(run ArtifactInstall c3)" -eq 1 ] || failed "commit: failing c3"
expect "failing install after a commit" new c3

# Hostile hosts: what another user controls is refused before anything
# changes; a procedure that leaves a process running does not hold the step.
conf
mkfifo "$root/fifo"
ln -s "$root/device/victim" "$root/link"
echo secret >"$root/device/victim" && chmod 0600 "$root/device/victim"
before=$(outside)
while IFS='|' read -r what setup undo text; do
  device old
  deployment h new
  sh -c "$setup"
  : >"$root/log"
  [ "$(run ArtifactInstall h)" -eq 1 ] || failed "$what: the install was not refused"
  grep -qF -- "$text" "$root/log" || failed "$what: no message '$text'"
  sh -c "$undo"
  expect "$what" old h
  [ "$(cat "$root/device/victim")" = secret ] || failed "$what: the victim file changed"
done <<CASES
writable configuration folder|chmod 0777 '$config'|chmod 0755 '$config'|the configuration folder $config is writable by group or others
configuration folder of another user|chown 65534 '$config'|chown 0 '$config'|the configuration folder $config is owned by uid 65534
writable state folder|mkdir -p '$state' && chmod 0770 '$state'|chmod 0700 '$state'|the state folder $state is writable by group or others
writable configuration file|chmod 0666 '$root/conf'|chmod 0644 '$root/conf'|the configuration file $root/conf is writable by group or others
LOG_FILE a symlink|echo LOG_FILE=$root/link >>'$root/conf'|true|LOG_FILE $root/link is a symbolic link
LOG_FILE a FIFO|echo LOG_FILE=$root/fifo >>'$root/conf'|true|LOG_FILE $root/fifo is not a regular file
CASES
conf
deployment bg bg
: >"$root/log"
start=$(date +%s%N)
[ "$(run ArtifactInstall bg)" -eq 0 ] || failed "background process: install"
took=$((($(date +%s%N) - start) / 1000000))
[ "$took" -lt 5000 ] || failed "background process: the install waited for it (${took} ms)"
pkill -f '^sleep 30\.017$' || :  # exactly the process the procedure left

# The re-run on rollback says so.
while IFS='|' read -r setting want; do
  conf RERUN_ON_ROLLBACK=yes 'LAUNCHER_ARGS=one two' "$setting"
  device old
  deployment r fails
  [ "$(run ArtifactInstall r)" -eq 1 ] || failed "rollback args: install"
  got=$(tail -1 "$root/device/record")
  [ "$got" = "old:$want" ] || failed "rollback args ($setting): the re-run got '$got', want 'old:$want'"
done <<'CASES'
# default|one two rollback
ROLLBACK_ARGS=back again|back again
CASES

all_held
echo "zor-bundle module: every case held; $kills kills at each step, $random_kills at random times ($landed mid-install)"
