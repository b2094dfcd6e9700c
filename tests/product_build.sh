#!/bin/sh
# Test fixture: one product build tree that the product tests share, with a
# product bundle key and two trusted signing keys (a and b; c is a key the
# build does not trust), built whole with its own tests (its launcher's).
# Keys are made once, with the default build's key tool and minisign; the
# tree is configured once and then only rebuilt.
#   product_build.sh SOURCE_DIR DEFAULT_BUILD_DIR
# Leaves DEFAULT_BUILD_DIR/product/{keys,tree}.
set -eu
src=$1
default=$2
product=$default/product
keys=$product/keys
mkdir -p "$keys"
[ -f "$keys/bundle.txt" ] || "$default/zor_keytool" gen product 32 "$keys/bundle.bin" "$keys/bundle.txt" >/dev/null
for k in a b c; do
  [ -f "$keys/$k.pub" ] || minisign -G -W -f -p "$keys/$k.pub" -s "$keys/$k.sec" >/dev/null
done
if [ ! -f "$product/tree/CMakeCache.txt" ]; then
  cmake -S "$src" -B "$product/tree" -DCMAKE_BUILD_TYPE=Release -DZOR_BUILD_BENCH=OFF -DZOR_TEST_DEFAULT_TREE=OFF \
    -DZOR_TEST_SIGNING_SECKEY="$keys/a.sec" -DZOR_BUNDLE_KEY="$keys/bundle.txt" \
    -DZOR_SIGNING_PUBKEYS="$keys/a.pub;$keys/b.pub" >/dev/null
fi
cmake --build "$product/tree" -j2 >/dev/null
