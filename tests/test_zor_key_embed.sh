#!/bin/sh
# The product build's own bundle key: embedded from the key file, private,
# checked for its length, and removed again with the default key; its packer
# and launcher agree, and a bundle packed under the default key is refused
# with the CRC error.
#   test_zor_key_embed.sh SOURCE_DIR DEFAULT_BUILD_DIR   (after product_build.sh)
set -eu
src=$1
default=$2
keys=$default/product/keys
tree=$default/product/tree
work=$(mktemp -d /tmp/zor_product_key.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The embedded key is the key file's: first 16 bytes keyCbc, last 16 iv.
want=$(od -An -tx1 -v "$keys/bundle.bin" | tr -s ' \n' ' ' | sed 's/^ //; s/ $//')
got=$(grep -o '0x[0-9a-f][0-9a-f]' "$tree/bundle_key_product.cpp" | sed 's/0x//' | tr '\n' ' ' | sed 's/ $//')
[ "$want" = "$got" ] || { echo "embedded key differs from the key file"; exit 1; }
[ "$(stat -c %a "$tree/bundle_key_product.cpp")" = 600 ] || { echo "key source is not private (0600)"; exit 1; }

# A key of the wrong length says both byte counts.
"$default/zor_keytool" gen short 16 "$work/k16.bin" "$work/k16.txt" >/dev/null
if "$tree/zor_key_embed" "$work/k16.txt" "$work/k16.cpp" 2>"$work/log"; then
  echo "a 16-byte key was embedded"; exit 1
fi
grep -q 'holds a key of 16 bytes; a bundle key needs 32' "$work/log" || { echo "unclear length error:"; cat "$work/log"; exit 1; }

mkdir -p "$work/run/zor_update_whole_package_config"
cp "$tree/zor_update_whole_package" "$work/run/"
cfg="$work/run/zor_update_whole_package_config"
before=$(ls -d /tmp/tmpdir.* 2>/dev/null | sort || true)
cleanup_unpack() {
  for d in $(ls -d /tmp/tmpdir.* 2>/dev/null | sort); do
    echo "$before" | grep -qx "$d" || rm -rf "$d"
  done
}
sign() { minisign -S -s "$keys/a.sec" -m "$cfg/nuvex.zor" -t "version:1" >/dev/null; }

"$tree/zor_pack" pack -o "$cfg/nuvex.zor" "$src/examples/update" >/dev/null
sign
status=0
"$work/run/zor_update_whole_package" "$work/installed" 2>"$work/log" || status=$?
cleanup_unpack
[ "$status" -eq 0 ] || { echo "product launcher failed ($status) on a product bundle:"; cat "$work/log"; exit 1; }
cmp -s "$work/installed/slot-B.img" "$src/examples/update/firmware.img" || { echo "firmware not installed"; exit 1; }

"$default/zor_pack" pack --force -o "$cfg/nuvex.zor" "$src/examples/update" >/dev/null 2>&1
sign
status=0
"$work/run/zor_update_whole_package" 2>"$work/log" || status=$?
cleanup_unpack
[ "$status" -eq 1 ] || { echo "default-key bundle not refused (status $status)"; exit 1; }
grep -q 'ERR\[TLS\]f(zor_load_lua_flow)L73:crc err' "$work/log" || { echo "no CRC error:"; cat "$work/log"; exit 1; }
"$tree/zor_pack" verify "$cfg/nuvex.zor" 2>&1 | grep -q 'CRC mismatch' || { echo "verify missed the key"; exit 1; }

# Back to the default key the generated key source goes. Then the shared
# tree gets its key, and its key source as it was, back (no rebuild).
cp -p "$tree/bundle_key_product.cpp" "$work/key_source.cpp"
cmake -S "$src" -B "$tree" -DZOR_BUNDLE_KEY= >/dev/null
[ ! -e "$tree/bundle_key_product.cpp" ] || { echo "product key source left behind"; exit 1; }
cmake -S "$src" -B "$tree" -DZOR_BUNDLE_KEY="$keys/bundle.txt" >/dev/null
cp -p "$work/key_source.cpp" "$tree/bundle_key_product.cpp"
echo "product key: packer and launcher agree; default-key bundle refused; key source private and removed"
