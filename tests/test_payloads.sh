#!/bin/sh
# Payloads beside a bundle: what zor_pack verify says of each, and what
# dev:write does with it (through zor_pack run, as the launcher runs the
# procedure), with the device's helper and without it (dd, zstd and
# sha256sum). A payload that is not the one the bundle pins never leaves
# the slot marked verified, and is named.
#   test_payloads.sh SOURCE_DIR BUILD_DIR
set -eu
src=$1
build=$2
for tool in zstd minisign sha256sum; do
  command -v "$tool" >/dev/null || { echo "needs $tool: skipped"; exit 0; }
done
work=$(mktemp -d /var/tmp/zor_payloads.XXXXXX)
trap 'rm -rf "$work"' EXIT
# shellcheck source=tests/helpers.sh disable=SC1091
. "$(dirname "$0")/helpers.sh"
failed_log=$work/log
pack=$build/zor_pack

# The procedure writes payload args[1] into slot B of a file-backed device.
mkdir -p "$work/proc"
cp "$src/lua/zor_ab.lua" "$work/proc/"
cat >"$work/proc/zor_update_whole_package.lua" <<'LUA'
local ab = require("zor_ab")
local args = ...
local dev = assert(ab.open{ backend = "file", state = args[2] .. "/state", booted = "A",
                           slots = { A = args[2] .. "/slot-A", B = args[2] .. "/slot-B" } })
local p, why = ab.payload(args, args[1])
if not p then error(why, 0) end
return assert(dev:write("B", p))
LUA
# Images of odd sizes (a partial last block), one compressible; the same
# size twice, so one can stand in for the other.
head -c 5242981 /dev/urandom >"$work/fw.img"
head -c 5242981 /dev/urandom >"$work/other.img"
{ head -c 3000000 /dev/zero; head -c 1000 /dev/urandom; } >"$work/zeros.img"
minisign -G -W -p "$work/key.pub" -s "$work/key.sec" >/dev/null 2>&1

# COMPRESS|CHANGE|VERIFY (the payload's state)|RUN (a line run must print, or ok)
while IFS='|' read -r compress change want_state want_run; do
  case_name="${compress:-plain} $change"
  b=$work/b
  rm -rf "$b" && mkdir -p "$b"
  "$pack" pack -o "$b/nuvex.zor" ${compress:+--compress "$compress"} --payload fw="$work/fw.img" \
    --payload other="$work/other.img" --payload zeros="$work/zeros.img" "$work/proc" >"$work/log" 2>&1 ||
    { failed "$case_name: pack"; continue; }
  minisign -S -s "$work/key.sec" -m "$b/nuvex.zor" -t "version:1" >/dev/null 2>&1
  fw=$b/fw${compress:+.zst}
  case $change in
    none) ;;
    missing) rm "$fw" ;;
    short) truncate -s -1 "$fw" ;;
    long) printf x >>"$fw" ;;
    byte) printf '\377' | dd of="$fw" bs=1 seek=4096 conv=notrunc status=none ;;
    swapped) cp "$b/other${compress:+.zst}" "$fw" ;;
  esac
  # verify, with the signature checked: a signed bundle's payload is
  # pinned by the hash the signature covers.
  "$pack" verify --json --pubkey "$work/key.pub" "$b/nuvex.zor" >"$work/json" 2>/dev/null || :
  state=$(python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(d["signature"]["state"], [p["state"] for p in d["payloads"] if p["name"]=="fw"][0])' "$work/json")
  [ "$state" = "ok $want_state" ] || failed "$case_name: verify says '$state', want 'ok $want_state'"
  for helper in with without; do
    dev=$work/dev
    rm -rf "$dev" && mkdir -p "$dev" && : >"$dev/slot-A" && : >"$dev/slot-B"
    tool=''
    [ "$helper" = without ] || tool=$build/zor_stream
    for name in fw zeros; do
      [ "$name" = fw ] || [ "$change" = none ] || continue
      st=0
      ZOR_STREAM=$tool "$pack" run "$b/nuvex.zor" -- "$name" "$dev" >"$work/log" 2>&1 || st=$?
      image=$work/$name.img
      if [ "$name:$want_run" = fw:ok ] || [ "$name" = zeros ]; then
        if [ "$st" -ne 0 ] || ! grep -q '^B_verified=1' "$dev/state" ||
          ! cmp -s -n "$(wc -c <"$image")" "$image" "$dev/slot-B"; then
          failed "$case_name, $helper helper, $name: not written and verified (status $st)"
        fi
      else
        if [ "$st" -eq 0 ] || grep -q '^B_verified=1' "$dev/state" 2>/dev/null; then
          failed "$case_name, $helper helper: slot B verified"
        fi
        grep -q "$want_run" "$work/log" || failed "$case_name, $helper helper: no '$want_run' in what run said"
        case $change in missing | short | long)
          grep -q "warning: payload fw: .* is $want_state" "$work/log" || failed "$case_name: run gave no warning first" ;;
        esac
      fi
    done
  done
done <<'ROWS'
|none|ok|ok
zstd|none|ok|ok
|missing|missing|payload fw: .*fw is missing
zstd|missing|missing|payload fw: .*fw.zst is missing
|short|short|has 5242980 bytes, the bundle pins 5242981
|long|long|has 5242982 bytes, the bundle pins 5242981
|byte|changed|payload fw: slot B reads back sha256 [0-9a-f]*, the bundle pins [0-9a-f]*
zstd|byte|changed|payload fw: slot B
|swapped|changed|payload fw: slot B reads back sha256 [0-9a-f]*, the bundle pins [0-9a-f]*
zstd|swapped|changed|payload fw: slot B
ROWS

# What pack refuses, and list and info: every payload with its state.
st=0
"$pack" pack -o "$work/bad.zor" --payload '../x'="$work/fw.img" "$work/proc" >"$work/log" 2>&1 || st=$?
if [ "$st" -ne 1 ] || [ -e "$work/bad.zor" ]; then failed "a payload name with a slash was taken"; fi
"$pack" list --json "$work/b/nuvex.zor" | grep -q '"state": "present"' || failed "list --json shows no payload state"
"$pack" info "$work/b/nuvex.zor" | grep -q '^payload  *zeros: ' || failed "info lists no payload"
all_held
echo "payloads: every case as expected"
