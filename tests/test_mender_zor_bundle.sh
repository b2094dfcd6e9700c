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
    mender --no-syslog install "$work/good3.mender" >>"$work/kills.log" 2>&1 || :
    killed "$what" "$commit_span"
    agrees "$what killed, trial $i" after-kill
    st=0
    mender --no-syslog rollback >>"$work/kills.log" 2>&1 || st=$?
    # A kill inside the client's own bookkeeping can leave it naming the
    # old artifact with nothing pending (rollback: 2); the next deployment
    # starts from the pair the client names.
    [ "$st" -eq 2 ] || agrees "$what killed, trial $i, then rollback"
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
exit $failures
INSIDE
start=$(date +%s)
unshare -m --propagation private sh "$work/inside.sh" || { echo "the Update Module failed some cases"; exit 1; }
echo "zor-bundle under the Mender client: every case as expected in $(($(date +%s) - start)) s"
