#!/bin/sh
# The launcher of a signing build, which trusts keys a and b: it runs a
# bundle only with a valid signature by one of them, checked before anything
# is decrypted; it loads no Lua library from beside the bundle, and require
# finds nothing relative to the working directory.
#   test_main_signing.sh SOURCE_DIR DEFAULT_BUILD_DIR   (after product_build.sh)
set -eu
default=$2
keys=$default/product/keys
tree=$default/product/tree
work=$(mktemp -d /tmp/zor_signing.XXXXXX)
trap 'rm -rf "$work"' EXIT

run=$work/run
cfg=$run/zor_update_whole_package_config
mkdir -p "$cfg" "$work/src" "$work/cwd"
cp "$tree/zor_update_whole_package" "$run/"
sig=$cfg/nuvex.zor.minisig
key_id() {  # as the launcher prints it: 16 digits (minisign's comment drops leading zeros)
  id=$(sed -n '1s/.* //p' "$keys/$1.pub")
  while [ ${#id} -lt 16 ]; do id="0$id"; done
  echo "$id"
}
A=$(key_id a)
B=$(key_id b)
C=$(key_id c)

cat >"$work/src/zor_update_whole_package.lua" <<'LUA'
local a = ...
c_dbgMsg("SIG:", tostring(a.sigComment) .. "\n")
if pcall(require, "planted") then
  c_dbgMsg("SIG:", "planted module loaded\n")
  return false
end
return true
LUA
printf 'firmware' >"$work/src/fw.bin"
echo 'return true' >"$work/cwd/planted.lua"
"$tree/zor_pack" pack -o "$cfg/nuvex.zor" "$work/src" >/dev/null

sign() {  # sign KEY [minisign options]
  k=$1
  shift
  rm -f "$sig"
  minisign -S -s "$keys/$k.sec" -m "$cfg/nuvex.zor" -t "version:42 test" "$@" >/dev/null
}
sign a
cp "$cfg/nuvex.zor" "$work/good.zor"
cp "$sig" "$work/good.minisig"
restore() {
  cp "$work/good.zor" "$cfg/nuvex.zor"
  cp "$work/good.minisig" "$sig"
}
flip() {  # flip FILE OFFSET: changes the byte at OFFSET
  b=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
  printf "$(printf '\\%03o' $(((b + 1) % 256)))" | dd of="$1" bs=1 seek="$2" conv=notrunc 2>/dev/null
}

failures=0
initial=$(find /tmp -maxdepth 1 -name 'tmpdir.*' | sort)
# Removes the unpack directories the launcher left since the start.
forget_unpack_dirs() {
  find /tmp -maxdepth 1 -name 'tmpdir.*' | sort | while read -r d; do
    printf '%s\n' "$initial" | grep -qxF "$d" || rm -rf "$d"
  done
}
# expect NAME STATUS TEXT: runs the launcher from a folder holding a module
# `planted`, with LUA_PATH pointing there; the log must hold TEXT. A refused
# bundle must leave its unpack directory empty.
expect() {
  before=$(ls -d /tmp/tmpdir.* 2>/dev/null | sort || true)
  status=0
  (cd "$work/cwd" && LUA_PATH='./?.lua;;' LUA_PATH_5_3='./?.lua;;' LUA_CPATH='./?.so;;' \
    "$run/zor_update_whole_package") 2>"$work/log" || status=$?
  for d in $(ls -d /tmp/tmpdir.* 2>/dev/null | sort); do
    echo "$before" | grep -qx "$d" && continue
    if [ "$2" -ne 0 ] && [ -n "$(ls -A "$d")" ]; then
      echo "FAIL $1: refused bundle wrote $(ls -A "$d")"
      failures=$((failures + 1))
    fi
    rm -rf "$d"
  done
  if [ "$status" -ne "$2" ] || ! grep -qF -- "$3" "$work/log"; then
    echo "FAIL $1: status $status (want $2), log:"
    cat "$work/log"
    failures=$((failures + 1))
  fi
}
refused() {  # refused NAME WHY: the usual fatal chain after the signature line
  expect "$1" 1 "ERR[TLS]f(zor_load_lua_flow)L150:$2"
  grep -qF "L160:Fail in decrypt and load buf as lua, ret -151" "$work/log" &&
    grep -qF "error: FAil unpack firmware" "$work/log" || { echo "FAIL $1: no fatal chain"; failures=$((failures + 1)); }
}
size=$(stat -c %s "$work/good.zor")

restore
expect "good bundle" 0 "MSG[TLS]signature ok, key $A: version:42 test"
expect "comment reaches the procedure" 0 "SIG:version:42 test"

rm -f "$sig"
refused "missing" "signature missing $sig"
restore; : >"$sig"
refused "empty" "signature err $sig: malformed"
restore; sed -i '2s/^..../!!!!/' "$sig"
refused "garbled" "signature err $sig: malformed"
restore; head -c 120 "$work/good.minisig" >"$sig"
refused "truncated" "signature err $sig: malformed"
for at in 0 $((size / 2)) $((size - 1)); do
  restore; flip "$cfg/nuvex.zor" "$at"
  refused "bundle byte $at tampered" "signature err $sig: bad signature"
done
restore; sed -i '3s/version:42/version:99/' "$sig"
refused "trusted comment tampered" "signature err $sig: bad trusted comment signature"
restore; sign c
refused "untrusted key" "signature err $sig: untrusted key id $C"
# Key c's signature under key a's id: the id is trusted, the key is not it.
restore; sign c
sed -n 2p "$sig" | base64 -d >"$work/raw"
sed -n 2p "$keys/a.pub" | base64 -d | dd bs=1 skip=2 count=8 2>/dev/null >"$work/id"
dd if="$work/id" of="$work/raw" bs=1 seek=2 conv=notrunc 2>/dev/null
{ sed -n 1p "$sig"; base64 -w0 "$work/raw"; echo; sed -n 3,4p "$sig"; } >"$work/forged"
cp "$work/forged" "$sig"
refused "right id, wrong key" "signature err $sig: bad signature"
restore; sign a -l
refused "legacy algorithm" "signature err $sig: legacy algorithm refused"
restore; sign b
expect "second trusted key" 0 "MSG[TLS]signature ok, key $B: version:42 test"

# Lua is linked in: a library beside the bundle is never looked at.
restore; printf 'not a library' >"$cfg/liblua5.3.so.0"
expect "library beside the bundle" 0 "signature ok"
if readelf -dW "$run/zor_update_whole_package" | grep -Eq 'NEEDED.*liblua|RUNPATH|RPATH'; then
  echo "FAIL: the signing launcher needs liblua or has a run-path"
  failures=$((failures + 1))
fi

# The example refuses a downgrade by the version its signature carries.
rm -f "$cfg/liblua5.3.so.0"
"$tree/zor_pack" pack --force -o "$cfg/nuvex.zor" "$1/examples/update" >/dev/null 2>&1
for v in 5 4; do
  rm -f "$sig"
  minisign -S -s "$keys/a.sec" -m "$cfg/nuvex.zor" -t "version:$v" >/dev/null
  status=0
  "$run/zor_update_whole_package" "$work/installed" 2>"$work/log" || status=$?
  for d in $(ls -d /tmp/tmpdir.* 2>/dev/null); do grep -qF "$d" "$work/log" && rm -rf "$d"; done
  case $v in
    5) want=0 ;;
    4) want=207 ;;
  esac
  if [ "$status" -ne "$want" ]; then
    echo "FAIL example at version $v: status $status (want $want)"
    cat "$work/log"
    failures=$((failures + 1))
  fi
done
grep -qF "bundle version 4 is older than the installed 5" "$work/log" || { echo "FAIL: no downgrade message"; failures=$((failures + 1)); }
# A signed comment without version:N cannot be told from a replayed old bundle.
rm -f "$sig"
minisign -S -s "$keys/a.sec" -m "$cfg/nuvex.zor" -t "release 4.2" >/dev/null
status=0
"$run/zor_update_whole_package" "$work/installed" 2>"$work/log" || status=$?
if [ "$status" -ne 207 ] || ! grep -qF "carries no version:N: refusing a bundle of unknown version" "$work/log"; then
  echo "FAIL example, no version in the comment: status $status"; cat "$work/log"; failures=$((failures + 1))
fi

# Control bytes of a comment reach the log as \xNN, never raw (minisign -S
# refuses CR and LF in a comment; they are checked by direct call).
restore; sign a -t "$(printf 'version:42 \033[2Jmasked')"
expect "ESC in the comment" 0 'MSG[TLS]signature ok, key '"$A"': version:42 \x1b[2Jmasked'
if grep "signature ok" "$work/log" | grep -q "$(printf '\033')"; then
  echo "FAIL: a raw ESC in the launcher's line"; failures=$((failures + 1))
fi

# The signature is read before the bundle: a refusal costs no read of a
# 1.5 GB bundle (under a 200 MB address-space limit it would fail to load).
rm -f "$sig"
truncate -s 1500M "$cfg/nuvex.zor"
status=0
prlimit --as=200000000 "$run/zor_update_whole_package" 2>"$work/log" || status=$?
if [ "$status" -ne 1 ] || ! grep -qF "L150:signature missing $sig" "$work/log" || grep -qF "L136" "$work/log"; then
  echo "FAIL: an unsigned large bundle was read first ($status)"; cat "$work/log"; failures=$((failures + 1))
fi

# zor_pack verify --pubkey: a valid signature by a key this build's launcher
# refuses is a problem, not "signature ok".
restore; sign c
status=0
"$tree/zor_pack" verify --pubkey "$keys/c.pub" "$cfg/nuvex.zor" 2>"$work/log" >/dev/null || status=$?
if [ "$status" -ne 1 ] || ! grep -qF "signature ok by $C, which this build's launcher does not trust" "$work/log"; then
  echo "FAIL: verify --pubkey with a key the launcher refuses ($status)"; cat "$work/log"; failures=$((failures + 1))
fi

forget_unpack_dirs
[ "$failures" -eq 0 ] || exit 1
echo "signing launcher: every case as expected"
