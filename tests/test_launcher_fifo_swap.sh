#!/bin/sh
# The launcher never blocks on its bundle: while another process swaps a
# FIFO in for nuvex.zor and back, as fast as it can, every run ends (1 or 0)
# within its timeout. Counts the runs and the hangs (which must be 0).
#   test_launcher_fifo_swap.sh BUILD_DIR [RUNS]
set -eu
build=$1
runs=${2:-1000}
if [ "$(id -u)" -ne 0 ]; then echo "needs root for a private /tmp: skipped"; exit 0; fi
if [ -z "${ZOR_INSIDE:-}" ]; then
  ZOR_INSIDE=1 exec unshare -m --propagation private sh "$0" "$@"
fi
work=$(mktemp -d /var/tmp/zor_fifo_swap.XXXXXX)
swapper=
trap 'kill "$swapper" 2>/dev/null || :; rm -rf "$work"' EXIT
cfg=$work/zor_update_whole_package_config
mkdir -p "$cfg" "$work/src"
cp "$build/zor_update_whole_package" "$work/"
echo 'return true' >"$work/src/zor_update_whole_package.lua"
"$build/zor_pack" pack -o "$work/bundle" "$work/src" >/dev/null
mount -t tmpfs tmpfs /tmp  # the launcher's unpack folders go with the namespace
mkfifo "$work/fifo"
cp "$work/bundle" "$cfg/nuvex.zor"
# Swaps with rename(2) in a tight loop, so the FIFO lands between the
# launcher's regular-file check and its open.
/usr/bin/python3 -c '
import os, sys
work, cfg = sys.argv[1:]
target, tmp = cfg + "/nuvex.zor", work + "/swap"
while True:
    for src in ("fifo", "bundle"):
        os.link(work + "/" + src, tmp)
        os.rename(tmp, target)
' "$work" "$cfg" &
swapper=$!
hangs=0 ok=0 refused=0 i=0
while [ "$i" -lt "$runs" ]; do
  st=0
  timeout -s KILL 2 "$work/zor_update_whole_package" 2>/dev/null || st=$?
  case $st in
    0) ok=$((ok + 1)) ;;
    1) refused=$((refused + 1)) ;;
    *) hangs=$((hangs + 1)) ;;
  esac
  i=$((i + 1))
done
echo "FIFO swaps: $runs runs, $ok ran the bundle, $refused refused it, $hangs hung"
[ "$hangs" -eq 0 ]
