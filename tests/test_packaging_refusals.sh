#!/bin/sh
# What a device artifact may carry: a Mender artifact (or a .deb) of a build
# with the public default bundle key is refused, naming the key and the way
# to a product key, unless ALLOW_DEFAULT_KEY=1; a signing build's artifact
# needs SIGNING_SECKEY, by a key the build trusts; a product build passes.
#   test_packaging_refusals.sh SOURCE_DIR DEFAULT_BUILD_DIR   (after product_build.sh)
set -eu
src=$1
default=$2
product=$default/product/tree
command -v mender-artifact >/dev/null || { echo "needs mender-artifact: skipped"; exit 0; }
work=$(mktemp -d /tmp/zor_refusals.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/procedure"
echo 'return true' >"$work/procedure/zor_update_whole_package.lua"
echo 'the product image' >"$work/procedure/custom.bin"
fingerprint=$("$default/zor_pack" --version | sed -n 's/^bundle key fingerprint \([0-9a-f]*\).*/\1/p')
failures=0

keys=$default/product/keys
# CASE|BUILD|ALLOW_DEFAULT_KEY|SIGNING_SECKEY|VERSION|STATUS|TEXT; every artifact goes to the test's own folder.
while IFS='|' read -r what build allow seckey version status text; do
  out=0
  (cd "$src" && BUILD=$build OUT=$work/out DEVICE_TYPE=t PROCEDURE=$work/procedure NAME=refusal-test \
    ALLOW_DEFAULT_KEY=$allow SIGNING_SECKEY=$seckey VERSION=$version sh scripts/mender-artifact.sh) >"$work/log" 2>&1 ||
    out=$?
  if [ "$out" -ne "$status" ] || ! grep -qF -- "$text" "$work/log"; then
    echo "FAIL $what: status $out (want $status)"; cat "$work/log"; failures=$((failures + 1))
  fi
  if [ "$status" -eq 0 ] && ! "$build/zor_pack" list "$work/out/mender/refusal-test/nuvex.zor" | grep -q ' custom.bin '; then
    echo "FAIL $what: the artifact does not hold PROCEDURE"; failures=$((failures + 1))
  fi
  if [ -n "$version" ] && [ "$status" -eq 0 ] &&
    ! grep -qxF "trusted comment: version:$version compatible:t refusal-test" "$work/out/mender/refusal-test/nuvex.zor.minisig"; then
    echo "FAIL $what: the signature does not carry version:$version compatible:t"; failures=$((failures + 1))
  fi
  if [ "$status" -ne 0 ] && [ -e "$work/out/refusal-test.mender" ]; then
    echo "FAIL $what: refused, yet an artifact was written"; failures=$((failures + 1))
  fi
  rm -rf "$work/out"
done <<CASES
default key, refused|$default||||1|make mender-artifact refused: the build carries the public default bundle key (fingerprint $fingerprint)
default key, the way out|$default||||1|make BUNDLE_KEY=~/secrets/product.txt
default key allowed|$default|1|||0|warning: make mender-artifact carries the public default bundle key
signing build without SIGNING_SECKEY|$product|||7|2|give SIGNING_SECKEY=
signing build without VERSION|$product||$keys/a.sec||2|give VERSION=N
signing build, VERSION not a number|$product||$keys/a.sec|7b|2|a version is a number
signing build, a key it does not trust|$product||$keys/c.sec|7|2|untrusted key id
signing build, a trusted key|$product||$keys/a.sec|7|0|$work/out/refusal-test.mender
CASES

status=0
sh "$src/scripts/check-bundle-key" "$default" refuse "make deb" 2>"$work/log" || status=$?
if [ "$status" -ne 1 ] || ! grep -qF "make deb refused" "$work/log"; then
  echo "FAIL make deb not refused"; failures=$((failures + 1))
fi
sh "$src/scripts/check-bundle-key" "$product" refuse "make deb" || { echo "FAIL make deb refused a product build"; failures=$((failures + 1)); }

[ "$failures" -eq 0 ] || exit 1
echo "refusals: default-key artifacts refused with fingerprint $fingerprint, allowed on request; product builds pass"
