#!/bin/sh
# The packer's limits are the launcher's: a 55 MiB script (a table literal of
# 2.1 M distinct constants), which the launcher loads, packs and runs; verify,
# which keeps a cap against hostile bundles, says that its check's limit was
# hit, with the limit, not that the script is bad.
#   test_pack_limits.sh BUILD_DIR
set -eu
build=$1
work=$(mktemp -d /var/tmp/zor_pack_limits.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
printf '%s\n' '
local f = assert(io.open(arg[1], "w"))
f:write("local t = {\n")
for i = 1, 2100000 do f:write(string.format("%d.000000000000000001,\n", i * 7)) end
f:write("}\nreturn #t == 2100000\n")
f:close()' >"$work/gen.lua"
lua5.3 "$work/gen.lua" "$work/src/zor_update_whole_package.lua"
failures=0
# COMMAND|STATUS|TEXT
while IFS='|' read -r cmd status text; do
  st=0
  # shellcheck disable=SC2086
  "$build/zor_pack" $cmd >"$work/out" 2>&1 || st=$?
  if [ "$st" -ne "$status" ] || ! grep -qF -- "$text" "$work/out"; then
    echo "FAIL zor_pack $cmd: status $st, want $status with '$text'"; cat "$work/out"; failures=$((failures + 1))
  fi
done <<CASES
pack -o $work/big.zor $work/src|0|1 items
run $work/big.zor|0|the entry module returned true
verify $work/big.zor|1|not checked: the check's memory limit of 256 MiB was reached
CASES
[ "$failures" -eq 0 ] || exit 1
echo "a $(($(stat -c %s "$work/src/zor_update_whole_package.lua") >> 20)) MiB script: packed and run; verify names its own limit"
