#!/bin/sh
# A build with a product bundle key: its packer and launcher work together,
# and a bundle packed under the default key is refused with the CRC error.
#   product_key_test.sh SOURCE_DIR DEFAULT_BUILD_DIR
set -eu
src=$1
default=$2
work=$(mktemp -d /tmp/zor_product_key.XXXXXX)
trap 'rm -rf "$work"' EXIT

"$default/zor_keytool" gen product 32 "$work/key.bin" "$work/key.txt" >/dev/null
cmake -S "$src" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DZOR_BUILD_TESTS=OFF -DZOR_BUILD_BENCH=OFF \
  -DZOR_BUNDLE_KEY="$work/key.txt" >/dev/null
cmake --build "$work/build" --target zor_pack zor_update_whole_package -j2 >/dev/null

# The embedded key is the key file's: first 16 bytes keyCbc, last 16 iv.
want=$(od -An -tx1 -v "$work/key.bin" | tr -s ' \n' ' ' | sed 's/^ //; s/ $//')
got=$(grep -o '0x[0-9a-f][0-9a-f]' "$work/build/bundle_key_product.cpp" | sed 's/0x//' | tr '\n' ' ' | sed 's/ $//')
[ "$want" = "$got" ] || { echo "embedded key differs from the key file"; exit 1; }

[ "$(stat -c %a "$work/build/bundle_key_product.cpp")" = 600 ] || { echo "key source is not private (0600)"; exit 1; }

# A key of the wrong length says both byte counts.
"$default/zor_keytool" gen short 16 "$work/k16.bin" "$work/k16.txt" >/dev/null
if "$work/build/zor_key_embed" "$work/k16.txt" "$work/k16.cpp" 2>"$work/log"; then
  echo "a 16-byte key was embedded"; exit 1
fi
grep -q 'holds a key of 16 bytes; a bundle key needs 32' "$work/log" || { echo "unclear length error:"; cat "$work/log"; exit 1; }

mkdir -p "$work/run/zor_update_whole_package_config"
cp "$work/build/zor_update_whole_package" "$work/run/"
cfg="$work/run/zor_update_whole_package_config"
before=$(ls -d /tmp/tmpdir.* 2>/dev/null | sort || true)
cleanup_unpack() {
  for d in $(ls -d /tmp/tmpdir.* 2>/dev/null | sort); do
    echo "$before" | grep -qx "$d" || rm -rf "$d"
  done
}

"$work/build/zor_pack" pack -o "$cfg/nuvex.zor" "$src/examples/update" >/dev/null
status=0
"$work/run/zor_update_whole_package" "$work/installed" 2>"$work/log" || status=$?
cleanup_unpack
[ "$status" -eq 0 ] || { echo "product launcher failed ($status) on a product bundle:"; cat "$work/log"; exit 1; }
cmp -s "$work/installed/firmware.img" "$src/examples/update/firmware.img" || { echo "firmware not installed"; exit 1; }

"$default/zor_pack" pack --force -o "$cfg/nuvex.zor" "$src/examples/update" >/dev/null
status=0
"$work/run/zor_update_whole_package" 2>"$work/log" || status=$?
cleanup_unpack
[ "$status" -eq 1 ] || { echo "default-key bundle not refused (status $status)"; exit 1; }
grep -q 'ERR\[TLS\]f(zor_load_lua_flow)L73:crc err' "$work/log" || { echo "no CRC error:"; cat "$work/log"; exit 1; }
"$work/build/zor_pack" verify "$cfg/nuvex.zor" 2>&1 | grep -q 'CRC mismatch' || { echo "verify missed the key"; exit 1; }
# Back to the default key: the generated key source goes.
cmake -S "$src" -B "$work/build" -DZOR_BUNDLE_KEY= >/dev/null
[ ! -e "$work/build/bundle_key_product.cpp" ] || { echo "product key source left behind"; exit 1; }
echo "product key: packer and launcher agree; default-key bundle refused; key source private and removed"
