#!/bin/sh
# Lays out a self-contained launcher folder in build/demo/ with the example
# bundle and a copy of liblua5.3, then runs it. Arguments go to the scripts.
set -e
B=build
D=$B/demo
C=$D/zor_update_whole_package_config

rm -rf "$D"
mkdir -p "$C"
"$B/zor_pack" pack -o "$C/nuvex.zor" examples/update
cp "$B/zor_update_whole_package" "$D/"
lua_so=$(ldd "$B/zor_update_whole_package" | awk '/liblua5\.3\.so\.0/ {print $3}')
cp -L "$lua_so" "$C/liblua5.3.so.0"
echo "liblua5.3 comes from: $(ldd "$D/zor_update_whole_package" | awk '/liblua5\.3\.so\.0/ {print $3}')"
echo "\$ $D/zor_update_whole_package $*"
status=0
"$D/zor_update_whole_package" "$@" || status=$?
echo "exit status: $status"
exit $status
