#!/bin/sh
# What a product tree's own launcher must do, whatever its keys: run a
# bundle its zor_pack packed (a signing one only when signed by a trusted
# key), refuse one not sealed under its key, and, in a signing build,
# refuse an unsigned bundle and one signed by a key it does not trust. The
# tests can sign only with keys they make; SECKEY, when given, is a secret
# key the tree trusts, to run a signed bundle too.
#   test_product_launcher.sh BUILD_DIR [SECKEY]
set -eu
build=$1
seckey=${2:-}
work=$(mktemp -d /var/tmp/zor_product_launcher.XXXXXX)
trap 'rm -rf "$work"' EXIT
identity=$("$build/zor_pack" --version)
run=$work/run
cfg=$run/zor_update_whole_package_config
mkdir -p "$cfg" "$work/keys"
cp "$build/zor_update_whole_package" "$run/"
# shellcheck disable=SC2016
printf 'c_dbgMsg("MSG[TLS]", "product procedure ran\\n") return true\n' >"$work/zor_update_whole_package.lua"
"$build/zor_pack" pack -o "$work/own.zor" "zor_update_whole_package.lua=$work/zor_update_whole_package.lua" >/dev/null
minisign -G -W -p "$work/keys/other.pub" -s "$work/keys/other.sec" >/dev/null
failures=0 checked=0
launch() {  # launch BUNDLE SIGN(none|other|trusted) STATUS TEXT
  rm -f "$cfg/nuvex.zor.minisig"
  cp "$1" "$cfg/nuvex.zor"
  case $2 in
    other) minisign -S -s "$work/keys/other.sec" -m "$cfg/nuvex.zor" -t "version:1" >/dev/null ;;
    trusted) minisign -S -s "$seckey" -m "$cfg/nuvex.zor" -t "version:1" >/dev/null ;;
  esac
  st=0
  # shellcheck disable=SC2016
  (cd "$work" && unshare -m --propagation private sh -c 'mount -t tmpfs tmpfs /tmp && exec "$0"' \
    "$run/zor_update_whole_package") >"$work/log" 2>&1 || st=$?
  checked=$((checked + 1))
  if [ "$st" -ne "$3" ] || ! grep -qF -- "$4" "$work/log"; then
    echo "FAIL $1 ($2): status $st, want $3 with '$4'"; cat "$work/log"; failures=$((failures + 1))
  fi
}
case $identity in
  *"signing build"*)
    launch "$work/own.zor" none 1 "signature missing"
    launch "$work/own.zor" other 1 "untrusted key id"
    if [ -n "$seckey" ]; then launch "$work/own.zor" trusted 0 "product procedure ran"; fi ;;
  *) launch "$work/own.zor" none 0 "product procedure ran" ;;
esac
# A bundle not sealed under this tree's key (here: one byte of its
# encrypted part changed) fails the CRC; a signing launcher refuses its
# signature first.
cp "$work/own.zor" "$work/foreign.zor"
printf 'x' | dd of="$work/foreign.zor" bs=1 seek=70 conv=notrunc 2>/dev/null
case $identity in
  *"signing build"*) launch "$work/foreign.zor" other 1 "untrusted key id" ;;
  *) launch "$work/foreign.zor" none 1 "L73:crc err" ;;
esac
[ "$failures" -eq 0 ] || exit 1
echo "this tree's launcher: $checked checks held ($(printf '%s\n' "$identity" | sed -n '3p;4p' | tr '\n' ';'))"
