#!/bin/sh
# The zor-bundle Update Module driven directly, as the Mender client drives
# it (zor-bundle STATE FILES_DIR), in a private mount namespace whose /tmp
# and work folder are tmpfs. After every case the pair in the
# configuration folder must be exactly the expected one, with nothing
# beside it, and nothing outside the module's work area may have changed.
#   test_zor_bundle_module.sh SOURCE_DIR BUILD_DIR
set -eu
src=$1
build=$2
if [ "$(id -u)" -ne 0 ]; then echo "needs root for its mount namespace: skipped"; exit 0; fi
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
mount -t tmpfs tmpfs "$root"
mkdir -p "$root/tools"
cp "$build/zor_pack" "$build/zor_update_whole_package" "$src/packaging/mender/zor-bundle" "$root/tools/"
build=$root/tools
mount -t tmpfs tmpfs /tmp  # the shared /tmp other users write to
module=$root/tools/zor-bundle
launcher=$root/device/launcher
config=$launcher/zor_update_whole_package_config
failures=0
kills=0
say() { echo "$*"; }
failed() {
  echo "FAIL $*"
  tail -15 "$root/log"
  failures=$((failures + 1))
}

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

conf() {  # conf [KEY=VALUE...]: LAUNCHER_DIR and LOG_FILE, then the lines given
  printf 'LAUNCHER_DIR=%s\nLOG_FILE=%s\n' "$launcher" "$root/launcher.log" >"$root/conf"
  for line in "$@"; do printf '%s\n' "$line" >>"$root/conf"; done
}
device() {  # device PAYLOAD: the configuration folder holds that pair alone
  rm -f "$config/nuvex.zor" "$config/nuvex.zor.minisig"
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
# expect CASE PAYLOAD DEPLOYMENT [pending]: the pair is PAYLOAD's, alone in
# the folder; nothing of the launcher's /tmp left in the work area, nor a
# kept pair unless the install is pending (not yet committed).
expect() {
  [ "$(pair "$config")" = "$(pair "$root/payloads/$2")" ] || failed "$1: pair $(pair "$config"), want $2's"
  [ "$(names "$config")" = "$(names "$root/payloads/$2")" ] || failed "$1: folder holds $(names "$config")"
  for left in tmp $([ -n "${4:-}" ] || echo kept); do
    [ ! -e "$root/files/$3/tmp/zor-bundle/$left" ] || failed "$1: $left left in the work area"
  done
  [ "$(outside)" = "$before" ] || failed "$1: something outside the work area changed"
}
# rolled_back CASE OLD DEPLOYMENT: ArtifactRollback, twice, gives back OLD.
rolled_back() {
  for i in 1 2; do
    [ "$(run ArtifactRollback "$3")" -eq 0 ] || failed "$1: rollback $i failed"
    expect "$1, rollback $i" "$2" "$3"
  done
}

# Kills: at every step of install (succeeding, failing, with and without
# signatures) and of rollback, then rollback twice.
conf RERUN_ON_ROLLBACK=yes
before=$(outside)
while read -r what old new state; do
  step=1
  while :; do
    device "$old"
    deployment k "$new"
    if [ "$state" = ArtifactRollback ]; then
      [ "$(run ArtifactInstall k)" -eq 0 ] || failed "$what: install before the rollback"
    fi
    [ "$(run "$state" k "$step")" -eq 137 ] || break
    kills=$((kills + 1))
    rolled_back "$what, killed at step $step" "$old" k
    step=$((step + 1))
  done
  [ "$step" -gt 5 ] || failed "$what: only $step steps"
done <<'CASES'
install-signed-over-signed old new ArtifactInstall
install-unsigned-over-signed old new_unsigned ArtifactInstall
install-signed-over-unsigned old_unsigned new ArtifactInstall
failing-install old fails ArtifactInstall
rollback-of-an-install old new ArtifactRollback
CASES
say "kills at each step: $kills"

# Kills at random times during a 50 MB install.
device old
deployment big big
start=$(date +%s%N)
[ "$(run ArtifactInstall big)" -eq 0 ] || failed "50 MB install"
span=$((($(date +%s%N) - start) / 1000000))
rolled_back "50 MB install" old big
random_kills=0
while [ "$random_kills" -lt "${ZOR_RANDOM_KILLS:-100}" ]; do
  device old
  deployment big big
  ZOR_BUNDLE_CONF=$root/conf setsid sh "$module" ArtifactInstall "$root/files/big" >>"$root/log" 2>&1 &
  pid=$!
  delay=$(($(od -An -N2 -tu2 /dev/urandom) % span))
  sleep "$((delay / 1000)).$(printf '%03d' $((delay % 1000)))"
  kill -9 -- "-$pid" 2>/dev/null || :
  wait "$pid" || :
  rolled_back "50 MB install killed after $delay ms" old big
  random_kills=$((random_kills + 1))
done
say "kills at random times of a $span ms install: $random_kills"

# Full disks: the work area, then the configuration folder.
while read -r what where size; do
  device old
  deployment full new
  payload_dir=$root/files/full/files
  if [ "$where" = work ]; then
    mount -t tmpfs -o "size=$size" tmpfs "$root/files/full/tmp"
  else
    mkdir -p "$root/config_saved" && cp "$config"/* "$root/config_saved/"
    mount -t tmpfs -o "size=$size" tmpfs "$config"
    cp "$root/config_saved"/* "$config/"
    head -c 1048576 /dev/urandom >>"$payload_dir/nuvex.zor"  # too large for what is left
  fi
  before=$(outside)
  [ "$(run ArtifactInstall full)" -eq 1 ] || failed "$what full: install did not fail"
  grep -qF "(disk full?): nothing changed" "$root/log" || failed "$what full: no clear message"
  rolled_back "$what full" old full
  umount "$([ "$where" = work ] && echo "$root/files/full/tmp" || echo "$config")"
done <<'CASES'
work-area work 512k
configuration-folder config 1536k
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
# what it found, and its rollback then has nothing to do.
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
[ "$(run ArtifactRollback a)" -eq 0 ] || failed "concurrent: rollback a"
expect "concurrent installs" new b pending
[ "$(run ArtifactCommit b)" -eq 0 ] || failed "concurrent: commit b"
[ ! -e "$root/files/b/tmp/zor-bundle" ] || failed "concurrent: the work area outlived the commit"

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

[ "$failures" -eq 0 ] || exit 1
echo "zor-bundle module: every case held; $kills kills at each step, $random_kills at random times"
