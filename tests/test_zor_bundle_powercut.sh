#!/bin/sh
# Power cuts under the zor-bundle Update Module: the configuration folder,
# the module's state and, in the client's rows, the Mender client's own
# data folder (its database and work area) live on the power-cut file
# system, which keeps only what was made durable. Each case runs once to count its changing
# operations, then once per operation with the power cut right after it;
# then the file system comes back with what was durable, `zor-bundle
# recover` runs (as at boot) and the client follows up. Every cut must end
# with the old or the new pair, byte for byte, as the module's state says,
# and the client's follow-up with the pair it names ("named": the pair of
# the artifact the client names after it).
#   test_zor_bundle_powercut.sh SOURCE_DIR BUILD_DIR
set -eu
src=$1
build=$2
# shellcheck source=tests/powercut.sh disable=SC1091
. "$src/tests/powercut.sh"
pc_begin zor_powercut "$0" "$@"
chmod 0755 "$work"
launcher=$fs/launcher
config=$launcher/zor_update_whole_package_config
state=$fs/state
mkdir -p "$work/src" "$work/payloads" "$work/files"
printf 'LAUNCHER_DIR=%s\nSTATE_DIR=%s\nRERUN_ON_ROLLBACK=yes\n' "$launcher" "$state" >"$work/conf"
# The client's rows: Debian's client with its data folder (/var/lib/mender,
# a link in this namespace) on the power-cut file system, the module
# installed, and a device that runs artifact "old".
mkdir -p /usr/share/mender/modules/v3 /etc/mender
mount -t tmpfs tmpfs /usr/share/mender/modules/v3
mount -t tmpfs tmpfs /etc/mender
mount -t tmpfs tmpfs /var/lib
ln -s "$fs/mender" /var/lib/mender
echo artifact_name=old >/etc/mender/artifact_info
cp "$src/packaging/mender/zor-bundle" /usr/share/mender/modules/v3/
export ZOR_BUNDLE_CONF="$work/conf"
module=$src/packaging/mender/zor-bundle

payload() {  # payload NAME SIG(yes|no) LUA
  mkdir -p "$work/src/$1" "$work/payloads/$1"
  printf '%s\n' "$3" >"$work/src/$1/zor_update_whole_package.lua"
  printf 'firmware of %s' "$1" >"$work/src/$1/fw.bin"
  "$build/zor_pack" pack -o "$work/payloads/$1/nuvex.zor" "$work/src/$1" >/dev/null
  [ "$2" = no ] || echo "signature of $1" >"$work/payloads/$1/nuvex.zor.minisig"
}
payload old yes 'return true'
payload new yes 'return true'
payload new_unsigned no 'return true'
payload fails yes 'return false'
for p in old new fails; do
  mender-artifact write module-image -T zor-bundle -t zor-test -n "$p" -f "$work/payloads/$p/nuvex.zor" \
    -f "$work/payloads/$p/nuvex.zor.minisig" --compression none -o "$work/$p.mender" >/dev/null
done
# client COMMAND [ARTIFACT]: the client's install, commit or rollback
client() { mender --no-syslog "$1" ${2:+"$work/$2.mender"} >>"$work/log" 2>&1 || :; }
named() { n=$(mender --no-syslog show-artifact 2>/dev/null) && echo "${n%_INCONSISTENT}"; }
pair() {  # pair DIR: the sha256 of its bundle and signature, "absent" for none
  for f in nuvex.zor nuvex.zor.minisig; do
    if [ -f "$1/$f" ]; then sha256sum <"$1/$f" | cut -c1-16; else echo absent; fi
  done | tr '\n' ' '
}
module_state() { cat "$state/progress" 2>/dev/null || echo none; }
step() {  # step STATE [PAYLOAD]: the module as the client runs it
  rm -rf "$work/files/d"
  mkdir -p "$work/files/d/files" "$work/files/d/tmp"
  [ -z "${2:-}" ] || cp "$work/payloads/$2/"* "$work/files/d/files/"
  sh "$module" "$1" "$work/files/d" >>"$work/log" 2>&1 || :
}

# An install stopped after its switch, before the launcher's exit.
interrupt() { echo installing >"$state/progress" && sync -- "$state/progress"; }
# base OLD PREPARE: a durable image of the device holding OLD's pair, after
# PREPARE's steps (run without a cut).
base() {
  rm -f "$work/base"
  pc_mount "$work/base" "$fs"
  mkdir -p "$config"
  cp "$build/zor_update_whole_package" "$launcher/"
  cp "$work/payloads/$1/"* "$config/"
  case $what in client-*)  # a device that has run the client before
    mkdir -p "$fs/mender"
    echo device_type=zor-test >"$fs/mender/device_type"
    mender --no-syslog show-artifact >/dev/null 2>&1 ;;
  esac
  pc_durable "$fs"
  eval "$2"
  pc_unmount "$fs" >/dev/null
}

failures=0
cuts=0
checked() {  # checked CASE GOT WANT
  if [ "$2" != "$3" ]; then echo "FAIL $1: pair $2, want $3"; tail -5 "$work/log"; failures=$((failures + 1)); fi
}
# After a cut: recovery leaves the pair the module's state names, and the
# client's follow-up the pair it names.
after_cut() {
  step recover
  after=$(pair "$config")
  case $(module_state) in
    installed | committed) want=$new ;;
    *) want=$old ;;
  esac
  checked "$what, cut after operation $1, recovered ($(module_state))" "$after" "$(pair "$work/payloads/$want")"
  eval "$follow"
  want=$final
  if [ "$final" = named ]; then want=$(named); fi
  checked "$what, cut after operation $1, then $follow (client names ${want:-nothing})" "$(pair "$config")" \
    "$(pair "$work/payloads/$want")"
}
case_steps() { eval "$steps"; }
# CASE|OLD|NEW|PREPARE (steps before)|STEPS cut|FOLLOW-UP (the client's, after recovery)|pair after the follow-up
while IFS='|' read -r what old new prepare steps follow final; do
  base "$old" "$prepare"
  pc_each_cut "$work/base" "$fs" case_steps after_cut
  if [ "$pc_landed" -ne "$pc_points" ]; then
    echo "FAIL $what: $((pc_points - pc_landed)) of $pc_points cuts did not land"; failures=$((failures + 1))
  fi
  cuts=$((cuts + pc_points))
  echo "$what: $pc_points cut points, $pc_landed landed"
done <<'CASES'
install-signed-over-signed|old|new||step ArtifactInstall new|step ArtifactRollback|old
install-unsigned-over-signed|old|new_unsigned||step ArtifactInstall new_unsigned|step ArtifactRollback|old
failing-procedure|old|fails||step ArtifactInstall fails|step ArtifactRollback|old
rollback|old|new|step ArtifactInstall new|step ArtifactRollback|step ArtifactRollback|old
commit-then-commit|old|new|step ArtifactInstall new|step ArtifactCommit|step ArtifactCommit; step ArtifactInstall fails|new
commit-then-rollback|old|new|step ArtifactInstall new|step ArtifactCommit|step ArtifactRollback|old
recovery|old|new|step ArtifactInstall new; interrupt|step recover|step ArtifactRollback|old
client-install|old|new||client install new|client commit|named
client-commit|old|new|client install new|client commit|client commit|named
client-rollback|old|new|client install new|client rollback|client commit|named
CASES
[ "$failures" -eq 0 ] || exit 1
echo "power cuts under the Update Module: $cuts cut points, each landed, 0 losses"
