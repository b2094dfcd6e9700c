# shellcheck shell=sh
# What the shell tests share, sourced by each:
#   failed WHAT     counts a failure and says what it was; with $failed_log
#                   set, the end of that log follows
#   all_held        exits 1 when anything failed
failures=0
failed_log=

failed() {
  echo "FAIL $*"
  [ -z "$failed_log" ] || [ ! -f "$failed_log" ] || tail -"${failed_tail:-5}" "$failed_log"
  failures=$((failures + 1))
}

all_held() { [ "$failures" -eq 0 ] || exit 1; }
