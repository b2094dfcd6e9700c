#!/bin/sh
# make install into a staging folder: the installed zor_pack packs the
# example, the installed launcher runs it from a product's folder layout, and
# programs build against the installed libraries through pkg-config alone.
#   test_packaging_install.sh SOURCE_DIR BUILD_DIR
set -eu
src=$1
build=$2
work=$(mktemp -d /tmp/zor_install.XXXXXX)
trap 'rm -rf "$work"' EXIT

DESTDIR=$work/stage cmake --install "$build" --prefix /usr >/dev/null
usr=$work/stage/usr
for f in bin/zor_pack bin/zor_keytool bin/zor-ab share/zor-update/lua/zor_ab.lua lib/zor-update/zor_update_whole_package \
  lib/zor-update/lua/zor_ab.lua \
  include/zor/zor_load_lua_flow.h \
  share/man/man1/zor_pack.1.gz share/man/man1/zor_keytool.1.gz share/man/man1/zor_update_whole_package.1.gz \
  share/doc/zor-update/copyright; do
  [ -e "$usr/$f" ] || { echo "not installed: $f"; exit 1; }
done
"$usr/bin/zor_pack" --version | grep -q '^zor_pack ' || { echo "installed zor_pack has no --version"; exit 1; }

mkdir -p "$work/device/zor_update_whole_package_config"
cp "$usr/lib/zor-update/zor_update_whole_package" "$work/device/"
"$usr/bin/zor_pack" pack -o "$work/device/zor_update_whole_package_config/nuvex.zor" "$src/examples/update" >/dev/null
status=0
"$work/device/zor_update_whole_package" "$work/installed" 2>"$work/log" || status=$?
grep -o '/tmp/tmpdir\.[A-Za-z0-9]*' "$work/log" | sort -u | while read -r d; do rm -rf "$d"; done
[ "$status" -eq 0 ] || { echo "installed launcher failed ($status):"; cat "$work/log"; exit 1; }
cmp -s "$work/installed/slot-B.img" "$src/examples/update/firmware.img" || { echo "firmware not installed"; exit 1; }

cat >"$work/crc.cpp" <<'CPP'
#include <cstdio>
#include <zor/crc32.h>
int main() { printf("%08x\n", calc_buf_crc("123456789", 9)); }
CPP
# A signature check, built only through pkg-config zorsig.
cat >"$work/sig.cpp" <<'CPP'
#include <cstdio>
#include <string>
#include <zor/bundle_sig.h>
int main(int, char** argv) {
  std::string key_text, data;
  sig_public_key key;
  FILE* f = fopen(argv[1], "rb");
  for (int c; (c = fgetc(f)) != EOF;) key_text += static_cast<char>(c);
  f = fopen(argv[2], "rb");
  for (int c; (c = fgetc(f)) != EOF;) data += static_cast<char>(c);
  if (sig_parse_public_key(key_text, &key) != SIG_OK) return 2;
  sig_verified found;
  int32_t check = sig_verify_file(argv[3], reinterpret_cast<const uint8_t*>(data.data()), data.size(), &key, 1, &found);
  printf("%s\n", check == SIG_OK ? found.trusted_comment.c_str() : sig_check_text(check));
}
CPP
export PKG_CONFIG_PATH="$usr/lib/x86_64-linux-gnu/pkgconfig"
# shellcheck disable=SC2046
g++ -std=c++17 -o "$work/crc" "$work/crc.cpp" $(pkg-config --cflags --libs zorcore)
[ "$("$work/crc")" = 340bc6d9 ] || { echo "program against the installed library gave $("$work/crc")"; exit 1; }
# shellcheck disable=SC2046
g++ -std=c++17 -o "$work/sig" "$work/sig.cpp" $(pkg-config --cflags --libs zorsig)
minisign -G -W -p "$work/k.pub" -s "$work/k.sec" >/dev/null
echo data >"$work/data"
minisign -S -s "$work/k.sec" -m "$work/data" -t "version:7" >/dev/null
[ "$("$work/sig" "$work/k.pub" "$work/data" "$work/data.minisig")" = version:7 ] ||
  { echo "signature check through pkg-config zorsig failed"; exit 1; }
echo "install: tools, launcher layout, man pages and both libraries work from the staging folder"
