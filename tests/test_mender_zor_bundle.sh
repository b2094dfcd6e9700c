#!/bin/sh
# The zor-bundle Update Module under the real Mender client (standalone
# mode), inside a private mount namespace: throwaway mounts over
# /etc/mender, /var/lib (for /var/lib/mender) and the modules folder, so
# nothing persists on the machine.
#   test_mender_zor_bundle.sh SOURCE_DIR DEFAULT_BUILD_DIR   (after product_build.sh)
set -eu
src=$1
default=$2
if [ "$(id -u)" -ne 0 ] || ! command -v mender >/dev/null || ! command -v mender-artifact >/dev/null; then
  echo "needs root, mender and mender-artifact"; exit 0
fi
shellcheck "$src/packaging/mender/zor-bundle"
# Outside /tmp: the launcher runs with a private /tmp of the module's.
work=$(mktemp -d /var/tmp/zor_mender.XXXXXX)
trap 'rm -rf "$work"' EXIT

# Artifacts: a procedure that succeeds (v2, and v3 for the kills), one that
# fails (207), one that carries 50 MB, a damaged bundle (1), and for the
# signing launcher a product bundle without a signature.
mkdir -p "$work/ok" "$work/false" "$work/ok3" "$work/big"
printf '%s\n' 'c_dbgMsg("MSG[TLS]", "procedure v2 got " .. table.concat(..., "|") .. "\n") return true' \
  >"$work/ok/zor_update_whole_package.lua"
echo 'return false' >"$work/false/zor_update_whole_package.lua"
echo 'return true' >"$work/ok3/zor_update_whole_package.lua"
echo 'return true' >"$work/big/zor_update_whole_package.lua"
head -c 52428800 /dev/urandom >"$work/big/fw.bin"
artifact() {  # artifact NAME PACKER DIR [FILE]: NAME.mender from DIR, or from FILE as nuvex.zor
  mkdir -p "$work/a/$1"
  if [ -n "${4:-}" ]; then cp "$4" "$work/a/$1/nuvex.zor"; else "$2" pack -o "$work/a/$1/nuvex.zor" "$3" >/dev/null; fi
  mender-artifact write module-image -T zor-bundle -t zor-test -n "$1" -f "$work/a/$1/nuvex.zor" \
    --compression none -o "$work/$1.mender" >/dev/null
}
artifact good "$default/zor_pack" "$work/ok"
artifact fails "$default/zor_pack" "$work/false"
artifact good3 "$default/zor_pack" "$work/ok3"
artifact big "$default/zor_pack" "$work/big"
printf 'ZOR_RES!damaged' >"$work/damaged.zor"
artifact damaged "" "" "$work/damaged.zor"
artifact unsigned "$default/product/tree/zor_pack" "$work/ok"
# A/B procedures: write fw.img into the slot not booted and activate it,
# with zor_ab from the bundle and the device's zor-ab.conf as args[1].
# ab2's image is a zstd payload beside the bundle, made by make
# mender-artifact's script: the module hands the client's copy over.
for v in 1 2 3; do
  mkdir -p "$work/ab$v"
  cp "$src/lua/zor_ab.lua" "$work/ab$v/"
  head -c 65536 /dev/urandom >"$work/ab$v/fw.img"
  image='args.unpackDir .. "fw.img"'
  [ "$v" -ne 2 ] || image='assert(ab.payload(args, "fw"))'
  cat >"$work/ab$v/zor_update_whole_package.lua" <<LUA
local ab = require("zor_ab")
local args = ...
local d = assert(ab.open{ config = args[1] })
assert(d:write(d:inactive(), $image))
return d:activate(d:inactive())
LUA
  if [ "$v" -ne 2 ]; then artifact "ab$v" "$default/zor_pack" "$work/ab$v"; continue; fi
  mv "$work/ab2/fw.img" "$work/ab2.img"
  (cd "$src" && BUILD=$default OUT=$work/a DEVICE_TYPE=zor-test NAME=ab2 PROCEDURE=$work/ab2 ALLOW_DEFAULT_KEY=1 \
    PAYLOADS="fw=$work/ab2.img" COMPRESS=zstd sh scripts/mender-artifact.sh) >/dev/null
  mv "$work/a/mender/ab2" "$work/a/ab2"
  mv "$work/a/ab2.mender" "$work/ab2.mender"
done

# Two launcher folders, the default build's and the signing product's, each
# with a first bundle installed.
for l in default signing; do
  mkdir -p "$work/$l/zor_update_whole_package_config"
  echo 'return true' >"$work/$l.lua"
done
cp "$default/zor_update_whole_package" "$work/default/"
cp "$default/product/tree/zor_update_whole_package" "$work/signing/"
"$default/zor_pack" pack -o "$work/default/zor_update_whole_package_config/nuvex.zor" \
  "zor_update_whole_package.lua=$work/default.lua" >/dev/null
"$default/product/tree/zor_pack" pack -o "$work/signing/zor_update_whole_package_config/nuvex.zor" \
  "zor_update_whole_package.lua=$work/signing.lua" >/dev/null
minisign -S -s "$default/product/keys/a.sec" -m "$work/signing/zor_update_whole_package_config/nuvex.zor" \
  -t "version:1" >/dev/null

cat >"$work/inside.sh" <<INSIDE
set -eu
work=$work
src=$src
kill_trials=${ZOR_CLIENT_KILLS:-100}
INSIDE
cat >>"$work/inside.sh" <<'INSIDE'
mount -t tmpfs tmpfs /etc/mender
mount -t tmpfs tmpfs /var/lib
mount -t tmpfs tmpfs /usr/share/mender/modules
mkdir -p /var/lib/mender /usr/share/mender/modules/v3
cp "$src/packaging/mender/zor-bundle" /usr/share/mender/modules/v3/
echo 'device_type=zor-test' >/var/lib/mender/device_type
echo 'artifact_name=initial' >/etc/mender/artifact_info
echo '{}' >/etc/mender/mender.conf
failures=0
config() {  # config LAUNCHER FOLDER, then extra KEY=VALUE lines
  l=$1
  shift
  printf 'LAUNCHER_DIR=%s\nLOG_FILE=%s\n' "$work/$l" "$work/zor.log" >/etc/mender/zor-bundle.conf
  for line in "$@"; do printf '%s\n' "$line" >>/etc/mender/zor-bundle.conf; done
}
hash_of() { sha256sum "$work/$1/zor_update_whole_package_config/nuvex.zor" | cut -d' ' -f1; }
# step NAME COMMAND STATUS [TEXT]: the mender command's status, and TEXT in its output
step() {
  name=$1 cmd=$2 want=$3 text=${4:-}
  status=0
  # shellcheck disable=SC2086
  mender --no-syslog $cmd >"$work/out" 2>&1 || status=$?
  if [ "$status" -ne "$want" ] || { [ -n "$text" ] && ! grep -qF -- "$text" "$work/out"; }; then
    echo "FAIL $name: mender $cmd gave $status (want $want)${text:+, looking for: $text}"
    tail -20 "$work/out"
    failures=$((failures + 1))
  fi
}
expect() {  # expect NAME GOT WANT
  if [ "$2" != "$3" ]; then echo "FAIL $1: $2, want $3"; failures=$((failures + 1)); fi
}
tmpdirs() { find /tmp -maxdepth 1 -name 'tmpdir.*' | sort; }

before=$(tmpdirs)
config default 'LAUNCHER_ARGS=one two'
step "good bundle" "install $work/good.mender" 0 "procedure v2 got one|two"
expect "launcher log in LOG_FILE" "$(grep -c 'procedure v2 got one|two' "$work/zor.log")" 1
step "good bundle commit" commit 0
step "recorded artifact" show-artifact 0 good
expect "the module removed its unpack directory" "$(tmpdirs)" "$before"
step "commit with nothing pending" commit 2

for case in fails damaged; do
  kept=$(hash_of default)
  step "$case: install" "install $work/$case.mender" 1 "Rolling back"
  expect "$case: previous bundle back" "$(hash_of default)" "$kept"
  step "$case: artifact name unchanged" show-artifact 0 good
done
expect "no unpack directory left by a failed run" "$(tmpdirs)" "$before"

config signing
kept=$(hash_of signing)
step "signing launcher, no signature" "install $work/unsigned.mender" 1 "signature missing"
expect "signing: previous bundle back" "$(hash_of signing)" "$kept"
[ -f "$work/signing/zor_update_whole_package_config/nuvex.zor.minisig" ] || {
  echo "FAIL signing: the previous signature was not put back"
  failures=$((failures + 1))
}

# Settings are data: a command substitution is an argument like any other.
config default "LAUNCHER_ARGS=\$(touch $work/pwned) \`touch $work/pwned\`"
step "config injection" "install $work/good.mender" 0 "procedure v2 got \$(touch"
step "config injection commit" commit 0
[ ! -e "$work/pwned" ] || { echo "FAIL: the configuration ran a command"; failures=$((failures + 1)); }

config missing-folder
kept=$(hash_of default)
step "unusable LAUNCHER_DIR" "install $work/good.mender" 1 "holds no executable zor_update_whole_package"
expect "unusable LAUNCHER_DIR: nothing touched" "$(hash_of default)" "$kept"
step "a refusal that changed nothing: the client keeps its artifact" show-artifact 0 good
grep -q INCONSISTENT "$work/out" && { echo "FAIL the refused install left the client inconsistent"; failures=$((failures + 1)); }


# Kills of the client (its whole process group, kill -9) at random times of
# an install (small, 50 MB, failing), of a commit and of a rollback. Each
# kill must land (the client dies by the signal); then recovery runs, as at
# boot, and the client follows up: the pair must be the one the client
# names, and after the next deployment's rollback the one committed before.
config default
module=/usr/share/mender/modules/v3/zor-bundle
base=$(hash_of default)
pair_of() {  # the bundle hash of an artifact name (one the client marks inconsistent: its own)
  case ${1%_INCONSISTENT} in good) echo "$base" ;; good3) sha256sum "$work/a/good3/nuvex.zor" | cut -d' ' -f1 ;; *) echo "?$1" ;; esac
}
span_of() {  # milliseconds a whole `mender COMMAND` takes here
  t=$(date +%s%N)
  mender --no-syslog "$@" >/dev/null 2>&1 || :
  echo $((($(date +%s%N) - t) / 1000000))
}
# killed COMMAND SPAN: runs `mender COMMAND` and kills its process group at
# a random time within SPAN ms; counts the kills that landed.
landed=0 mid_step=0 trials=0
killed() {
  setsid mender --no-syslog $1 >>"$work/kills.log" 2>&1 &
  pid=$!
  delay=$(($(od -An -N2 -tu2 /dev/urandom) % $2))
  sleep "$((delay / 1000)).$(printf '%03d' $((delay % 1000)))"
  kill -KILL -"$pid" 2>/dev/null || :
  st=0
  { wait "$pid"; } 2>/dev/null || st=$?
  trials=$((trials + 1))
  [ "$st" -ne 137 ] || landed=$((landed + 1))
  case $(cat /var/lib/zor-bundle/progress 2>/dev/null) in installing | restoring) mid_step=$((mid_step + 1)) ;; esac
  sh "$module" recover >>"$work/kills.log" 2>&1 || { echo "FAIL recovery after a kill of mender $1"; failures=$((failures + 1)); }
}
agrees() {  # agrees CASE [after-kill]: the pair is the one of the artifact the client names
  # Right after a kill, an update that awaits the client's commit or
  # rollback is the client's to decide: its follow-up is checked.
  case ${2:-}:$(cat /var/lib/zor-bundle/progress 2>/dev/null) in after-kill:installed | after-kill:committed) return 0 ;; esac
  name=$(mender --no-syslog show-artifact 2>/dev/null)
  expect "$1: the pair of the artifact the client names ($name)" "$(hash_of default)" "$(pair_of "$name")"
}
spans="$(span_of install "$work/good3.mender") $(span_of rollback) $(span_of install "$work/big.mender") $(span_of rollback)"
spans="$spans $(span_of install "$work/fails.mender")"
set -- $spans
# Until kill_trials kills of mender install have landed, within four times
# as many trials.
i=0
while [ "$landed" -lt "$kill_trials" ] && [ "$i" -lt $((4 * kill_trials)) ]; do
  case $((i % 3)) in
    0) killed "install $work/good3.mender" "$1" ;;
    1) killed "install $work/big.mender" "$3" ;;
    2) killed "install $work/fails.mender" "$5" ;;
  esac
  agrees "install killed, trial $i" after-kill
  mender --no-syslog install "$work/good3.mender" >>"$work/kills.log" 2>&1 || :
  mender --no-syslog rollback >>"$work/kills.log" 2>&1 || :
  expect "install killed, trial $i, next deployment rolled back" "$(hash_of default)" "$base"
  agrees "install killed, trial $i, after the rollback"
  i=$((i + 1))
done
install_kills=$landed install_mid=$mid_step
commit_span=$(mender --no-syslog install "$work/good3.mender" >/dev/null 2>&1; span_of commit)
mender --no-syslog install "$work/good.mender" >/dev/null 2>&1 && mender --no-syslog commit >/dev/null 2>&1 || :
for what in commit rollback; do
  i=0
  while [ "$i" -lt "${ZOR_CLIENT_STEP_KILLS:-20}" ]; do
    mark=$(wc -l <"$work/kills.log")
    before_trial=$failures
    mender --no-syslog install "$work/good3.mender" >>"$work/kills.log" 2>&1 || :
    killed "$what" "$commit_span"
    agrees "$what killed, trial $i" after-kill
    st=0
    mender --no-syslog rollback >>"$work/kills.log" 2>&1 || st=$?
    # A kill inside the client's own bookkeeping can leave it naming the
    # old artifact with nothing pending (rollback: 2); the next deployment
    # starts from the pair the client names.
    [ "$st" -eq 2 ] || agrees "$what killed, trial $i, then rollback (status $st)"
    # What the client and the module said in a trial that disagreed.
    [ "$failures" -eq "$before_trial" ] || tail -n +"$((mark + 1))" "$work/kills.log" | grep -v 'level=info' || :
    mender --no-syslog install "$work/good3.mender" >>"$work/kills.log" 2>&1 || :
    mender --no-syslog rollback >>"$work/kills.log" 2>&1 || :
    agrees "$what killed, trial $i, then the next deployment rolled back"
    if [ "$(mender --no-syslog show-artifact 2>/dev/null)" != good ]; then  # the commit held: back to the base
      mender --no-syslog install "$work/good.mender" >/dev/null 2>&1 && mender --no-syslog commit >/dev/null 2>&1 || :
    fi
    i=$((i + 1))
  done
done
echo "client kills: $trials, $landed landed ($install_kills of them installs, $install_mid mid-install); $mid_step mid-step in all"
[ "$install_kills" -ge "$kill_trials" ] || { echo "FAIL: only $install_kills kills of mender install landed"; failures=$((failures + 1)); }

# Window B: the module put the old pair back (a rollback the client never
# recorded); the client's commit is refused, so it records the rollback.
config default
step "plain install before a lost rollback" "install $work/good3.mender" 0
sh /usr/share/mender/modules/v3/zor-bundle ArtifactRollback "$work" >/dev/null 2>&1
step "commit after an unrecorded rollback" commit 1 "nothing installed to commit"
step "the client records the rollback" show-artifact 0 good
expect "lost rollback: the old pair runs" "$(hash_of default)" "$(sha256sum "$work/default/zor_update_whole_package_config/nuvex.zor" | cut -d' ' -f1)"

# The A/B cycle under the client: a GRUB device played on files (the
# boot loader itself is proven in the VM test): the install activates the
# other slot, the client asks for a reboot, the reboot picks the slot GRUB
# would, and the commit marks it good; a rollback makes the old slot boot
# again; a trial that falls back without a commit takes the old pair back
# at the next recovery. ACTION|ARG|WANT: ACTION is a mender command (ARG,
# WANT its status), boot (the played boot: WANT the slot), recover (as at
# boot), or slots/pair/name (WANT what zor-ab status, the pair and the
# client say).
abd=$work/abdev
mkdir -p "$abd"
mount -t tmpfs tmpfs /usr/local/bin
cp "$src/lua/zor-ab" "$src/lua/zor_ab.lua" /usr/local/bin/
grub-editenv "$abd/grubenv" create
head -c 65536 /dev/zero >"$abd/slot-A"
head -c 65536 /dev/zero >"$abd/slot-B"
echo "zor_ab.slot=A" >"$abd/cmdline"
printf 'backend=grub\ngrubenv=%s/grubenv\nslot_A=%s/slot-A\nslot_B=%s/slot-B\ncmdline=%s/cmdline\n' \
  "$abd" "$abd" "$abd" "$abd" >"$abd/zor-ab.conf"
config default "LAUNCHER_ARGS=$abd/zor-ab.conf" "AB_CONF=$abd/zor-ab.conf"
zor-ab -c "$abd/zor-ab.conf" status >/dev/null
ab_slots() { zor-ab -c "$abd/zor-ab.conf" status | tr '\n' ';'; }
while IFS='|' read -r action arg want; do
  case $action in
    install) step "A/B: install $arg" "install $work/$arg.mender" "$want" ;;
    commit | rollback) step "A/B: $action" "$action" "$want" ;;
    boot)
      slot=$(zor-ab -c "$abd/zor-ab.conf" boot)
      echo "zor_ab.slot=$slot" >"$abd/cmdline"
      expect "A/B: the reboot's slot" "$slot" "$want" ;;
    stay) ;;  # a reboot into the same slot: the boot loader was not consulted
    recover) sh /usr/share/mender/modules/v3/zor-bundle recover >>"$work/out" 2>&1 || expect "A/B: recover" 1 0 ;;
    slots) expect "A/B: slots" "$(ab_slots)" "$want" ;;
    name) step "A/B: the client names $want" show-artifact 0 "$want" ;;
    pair) expect "A/B: the pair is $want's" "$(hash_of default)" "$(sha256sum "$work/a/$want/nuvex.zor" | cut -d' ' -f1)" ;;
    image) expect "A/B: slot $arg holds $want's payload" "$(head -c 65536 "$abd/slot-$arg" | sha256sum)" \
      "$(sha256sum <"$work/$want.img")" ;;
  esac
done <<'ROWS'
install|ab1|0
slots||slot A: good (running);slot B: trial;
boot||B
commit||0
slots||slot A: good;slot B: good (running);
name||ab1
pair||ab1
install|ab2|0
image|A|ab2
boot||A
rollback||0
boot||B
slots||slot A: bad;slot B: good (running);
name||ab1
pair||ab1
install|ab3|0
stay||
commit||1
slots||slot A: bad;slot B: good (running);
name||ab1
pair||ab1
install|ab2|0
boot||A
boot||A
boot||A
boot||B
recover||
pair||ab1
commit||1
name||ab1
slots||slot A: bad;slot B: good (running);
ROWS

# Kills at every state edge of the A/B cycle: the module is wrapped so that
# the client (its parent) is killed as it enters STATE, before the module
# runs, or right after the module returns. Then the device reboots
# (zor-bundle recover, the boot loader's decision played), the client
# follows up (its commit or rollback), and the next deployment runs; after
# each, the pair and the slot the device runs must be those of the
# artifact the client names, or the client must still have the update
# pending. STATE|EDGE (enter, leave, gone: after the client removed its
# work area)|FLOW (commit, rollback, unverified:
# a commit without the reboot into the new slot)|KIND (ab: the A/B cycle;
# plain: a procedure that touches no slot). The standalone client
# calls no ArtifactVerifyReboot before its commit: the module's commit
# checks the booted slot itself.
modules=/usr/share/mender/modules/v3
mv "$modules/zor-bundle" "$modules/zor-bundle.real"
cat >"$modules/zor-bundle" <<WRAP
#!/bin/sh
edge=''
if [ -f "$work/kill" ]; then read -r state edge <"$work/kill"; fi
if [ "\$1" = "\${state:-}" ] && [ "\$edge" = enter ]; then rm -f "$work/kill"; kill -KILL "\$PPID"; exit 1; fi
st=0
sh "$modules/zor-bundle.real" "\$@" || st=\$?
if [ "\$1" = "\${state:-}" ] && [ "\$edge" = leave ]; then rm -f "$work/kill"; kill -KILL "\$PPID"; fi
# gone: the client had removed its work area when it was killed.
if [ "\$1" = "\${state:-}" ] && [ "\$edge" = gone ]; then rm -f "$work/kill"; rm -rf "\$2"; kill -KILL "\$PPID"; fi
exit \$st
WRAP
chmod 0755 "$modules/zor-bundle"
reboot_device() {
  sh "$modules/zor-bundle.real" recover >>"$work/kills.log" 2>&1 || expect "edge kill: recovery" 1 0
  slot=$(zor-ab -c "$abd/zor-ab.conf" boot) && echo "zor_ab.slot=$slot" >"$abd/cmdline"
}
# agree CASE: after a reboot, the pair is the named artifact's, and so is
# the running slot's image.
agree() {
  reboot_device
  name=$(mender --no-syslog show-artifact 2>/dev/null)
  name=${name%_INCONSISTENT}
  expect "$1: the pair of $name" "$(hash_of default)" "$(sha256sum "$work/a/$name/nuvex.zor" | cut -d' ' -f1)"
  booted=$(sed -n 's/.*zor_ab\.slot=\([AB]\).*/\1/p' "$abd/cmdline")
  [ ! -f "$work/$name/fw.img" ] || cmp -s "$abd/slot-$booted" "$work/$name/fw.img" ||
    expect "$1: slot $booted runs $name's image" differs same
  agreed=$((agreed + 1))
}
next_artifact() {  # next_artifact KIND
  case $1:$(mender --no-syslog show-artifact 2>/dev/null) in
    ab:ab1*) echo ab2 ;; ab:ab2*) echo ab3 ;; ab:*) echo ab1 ;; plain:good) echo good3 ;; *) echo good ;;
  esac
}
flow() {  # flow FLOW ARTIFACT [armed]: the cycle as the operator drives it; armed, it stops once the kill landed
  mender --no-syslog install "$work/$2.mender" >>"$work/kills.log" 2>&1 || :
  [ -z "${3:-}" ] || [ -f "$work/kill" ] || return 0
  [ "$1" = unverified ] || reboot_device
  case $1 in rollback) mender --no-syslog rollback ;; *) mender --no-syslog commit ;; esac >>"$work/kills.log" 2>&1 || :
}
edges=0 agreed=0
while IFS='|' read -r state edge how kind; do
  echo "$state $edge" >"$work/kill"
  flow "$how" "$(next_artifact "$kind")" armed
  if [ -f "$work/kill" ]; then expect "kill at $state $edge ($how): landed" no yes; rm -f "$work/kill"; continue; fi
  edges=$((edges + 1))
  reboot_device
  st=0
  case $how in rollback) mender --no-syslog rollback ;; *) mender --no-syslog commit ;; esac >>"$work/kills.log" 2>&1 || st=$?
  agree "kill at $state $edge ($how), then the client's follow-up ($st)"
  flow commit "$(next_artifact "$kind")"
  agree "kill at $state $edge ($how), then the next deployment"
done <<'EDGES'
ArtifactInstall|enter|commit|ab
ArtifactInstall|leave|commit|ab
NeedsArtifactReboot|enter|commit|ab
NeedsArtifactReboot|leave|commit|ab
ArtifactCommit|enter|commit|ab
ArtifactCommit|leave|commit|ab
Cleanup|enter|commit|ab
Cleanup|gone|commit|ab
Cleanup|gone|rollback|ab
ArtifactInstall|leave|rollback|ab
ArtifactRollback|enter|rollback|ab
ArtifactRollback|leave|rollback|ab
ArtifactRollback|leave|unverified|ab
ArtifactFailure|enter|unverified|ab
ArtifactInstall|enter|commit|plain
ArtifactInstall|leave|commit|plain
ArtifactCommit|leave|commit|plain
Cleanup|enter|commit|plain
Cleanup|gone|commit|plain
ArtifactInstall|leave|rollback|plain
ArtifactRollback|leave|rollback|plain
EDGES
mv "$modules/zor-bundle.real" "$modules/zor-bundle"
echo "client kills at state edges: $edges landed, $agreed agreement checks held or failed above"
umount /usr/local/bin
config default
exit $failures
INSIDE
start=$(date +%s)
unshare -m --propagation private sh "$work/inside.sh" || { echo "the Update Module failed some cases"; exit 1; }
echo "zor-bundle under the Mender client: every case as expected in $(($(date +%s) - start)) s"
