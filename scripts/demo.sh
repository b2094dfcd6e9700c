#!/bin/sh
# Lays out a self-contained launcher folder in build/demo/ with the example
# bundle and, for a launcher that loads liblua5.3 through its run-path, a
# copy of the library; then runs it. Arguments go to the scripts.
# A signing build's launcher needs the bundle signed: SIGNING_SECKEY names
# the minisign secret key to sign it with.
set -e
B=build
D=$B/demo
C=$D/zor_update_whole_package_config

rm -rf "$D"
mkdir -p "$C"
"$B/zor_pack" pack -o "$C/nuvex.zor" examples/update
cp "$B/zor_update_whole_package" "$D/"
lua_so=$(ldd "$B/zor_update_whole_package" | awk '/liblua5\.3\.so\.0/ {print $3}')
if [ -n "$lua_so" ]; then
  cp -L "$lua_so" "$C/liblua5.3.so.0"
  echo "liblua5.3 comes from: $(ldd "$D/zor_update_whole_package" | awk '/liblua5\.3\.so\.0/ {print $3}')"
else
  echo "signing build: Lua is linked in, and the bundle needs a signature"
  if [ -z "${SIGNING_SECKEY:-}" ]; then
    echo "set SIGNING_SECKEY=path/to/key.sec (a minisign secret key the build trusts) to sign the demo bundle" >&2
    exit 1
  fi
  minisign -S -s "$SIGNING_SECKEY" -m "$C/nuvex.zor" -t "version:1 demo"
fi
echo "\$ $D/zor_update_whole_package $*"
status=0
"$D/zor_update_whole_package" "$@" || status=$?
echo "exit status: $status"
exit $status
