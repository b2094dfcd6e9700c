# shellcheck shell=sh
# Shell helpers around powercut_fs.py, sourced by the tests that cut power.
#   pc_mount IMAGE DIR [CUT_AFTER]  mounts IMAGE's durable state at DIR; with
#                                   CUT_AFTER the power goes after that many
#                                   changing operations
#   pc_unmount DIR                  a clean unmount; prints the operation count
#   pc_cut DIR                      the power goes now (if it has not), and
#                                   DIR is let go of; true when a CUT_AFTER
#                                   cut had landed
#   pc_durable DIR                  every file and folder under DIR synced
#   pc_private "$0" "$@"            the test again, in a mount namespace of its own
#   pc_begin NAME "$0" "$@"         every power-cut test's start: skipped (exit 0)
#                                   where the machine cannot, else in a mount
#                                   namespace of its own, with a fresh $work
#                                   (/var/tmp/NAME.XXXXXX, removed at exit) and
#                                   the empty mount point $fs inside it
#   pc_each_cut IMAGE DIR RUN CHECK RUN (a command) once on DIR mounted from
#                                   IMAGE to count its changing operations,
#                                   then once per operation with the power cut
#                                   after it; after each cut DIR comes back
#                                   with what was durable and CHECK K runs.
#                                   Sets pc_points and pc_landed (cuts whose
#                                   process did die of the cut).
# Needs root, /dev/fuse and Debian's python3-pyfuse3; pc_usable says whether
# the machine has them.
pc_fs=$(dirname "$0")/powercut_fs.py

pc_usable() {
  [ "$(id -u)" -eq 0 ] && [ -c /dev/fuse ] && /usr/bin/python3 -c 'import pyfuse3' 2>/dev/null
}

pc_mounted() { grep -q " $1 fuse" /proc/mounts; }

pc_mount() {
  rm -f "$2.count"
  if [ -n "${3:-}" ]; then
    /usr/bin/python3 "$pc_fs" "$1" "$2" --cut-after "$3" --count-file "$2.count" &
  else
    /usr/bin/python3 "$pc_fs" "$1" "$2" --count-file "$2.count" &
  fi
  pc_pid=$!
  i=0
  until pc_mounted "$2"; do
    i=$((i + 1))
    [ "$i" -lt 100 ] || { echo "powercut_fs did not mount $2" >&2; return 1; }
    sleep 0.05
  done
}

pc_unmount() {
  umount "$1"
  i=0
  until [ -s "$1.count" ]; do  # written as the file system's process ends
    i=$((i + 1))
    [ "$i" -lt 500 ] || { echo "powercut_fs at $1 did not end" >&2; return 1; }
    sleep 0.02
  done
  cat "$1.count"
}

# pc_private "$0" "$@": runs the calling test again in a mount namespace of
# its own, so that its mounts are never copied into another test's.
pc_private() {
  [ -z "${ZOR_PC_PRIVATE:-}" ] || return 0
  ZOR_PC_PRIVATE=1 exec unshare -m --propagation private sh "$@"
}

pc_begin() {
  pc_usable || { echo "needs root, /dev/fuse and python3-pyfuse3: skipped"; exit 0; }
  pc_name=$1
  shift
  pc_private "$@"
  work=$(mktemp -d "/var/tmp/$pc_name.XXXXXX")
  trap 'pc_cut "$work/fs" || :; rm -rf "$work"' EXIT
  fs=$work/fs
  mkdir -p "$fs"
}

pc_cut() {
  kill -KILL "$pc_pid" 2>/dev/null || :
  pc_status=0
  wait "$pc_pid" 2>/dev/null || pc_status=$?
  umount -l "$1" 2>/dev/null || :
  [ "$pc_status" -eq 99 ]
}

pc_durable() { find "$1" -depth -exec sync -- {} +; }

pc_each_cut() {
  pc_image=$1 pc_dir=$2 pc_run=$3 pc_check=$4
  cp "$pc_image" "$pc_image.run"
  pc_mount "$pc_image.run" "$pc_dir"
  $pc_run
  pc_points=$(pc_unmount "$pc_dir")
  pc_landed=0 pc_k=0
  while [ "$pc_k" -lt "$pc_points" ]; do
    cp "$pc_image" "$pc_image.run"
    pc_mount "$pc_image.run" "$pc_dir" "$pc_k"
    $pc_run
    if pc_cut "$pc_dir"; then pc_landed=$((pc_landed + 1)); fi
    pc_mount "$pc_image.run" "$pc_dir"
    $pc_check "$pc_k"
    pc_unmount "$pc_dir" >/dev/null
    pc_k=$((pc_k + 1))
  done
}
