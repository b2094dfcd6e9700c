#!/bin/sh
# The product configuration sticks: every make target passes BUNDLE_KEY and
# SIGNING_PUBKEY to CMake only when they are given on its command line (an
# exported one is ignored, with a warning), so the cache keeps them, through
# make clean too;
# given empty they go back to the default key or to no signing; configuring
# names the configuration in one line, as --version does.
#   test_product_configuration.sh SOURCE_DIR DEFAULT_BUILD_DIR   (after product_build.sh)
set -eu
# As a user runs make: no settings of a make this test runs under.
unset MAKEFLAGS MFLAGS MAKELEVEL
src=$1
default=$2
keys=$default/product/keys
work=$(mktemp -d /tmp/zor_configuration.XXXXXX)
trap 'rm -rf "$work"' EXIT
# shellcheck source=tests/helpers.sh disable=SC1091
. "$(dirname "$0")/helpers.sh"
cd "$src"

# What each target's configure step would pass: nothing not given.
while IFS='|' read -r target given want; do
  # shellcheck disable=SC2086
  line=$(make -n "$target" BUILD="$work/b" $given | grep '^cmake -S')
  case $line in
    *ZOR_BUNDLE_KEY*|*ZOR_SIGNING_PUBKEYS*) got=passed ;;
    *) got=kept ;;
  esac
  [ "$got" = "$want" ] || failed "make $target $given: the product settings are $got, want $want: $line"
done <<CASES
all||kept
test||kept
demo||kept
install||kept
deb||kept
mender-artifact||kept
all|BUNDLE_KEY=$keys/bundle.txt|passed
all|BUNDLE_KEY=|passed
all|SIGNING_PUBKEY=|passed
CASES

# Exported, the settings configure nothing, and make says so; ALLOW_DEFAULT_KEY
# reaches the packaging scripts only from the command line.
while IFS='|' read -r target exported want_line want_allow; do
  out=$(env "$exported" make -n "$target" BUILD="$work/b" 2>&1)
  name=${exported%%=*}
  case $out in *"$name from the environment is ignored"*) ;; *) failed "exported $exported: no warning" ;; esac
  case $(printf '%s\n' "$out" | grep '^cmake -S') in
    *ZOR_BUNDLE_KEY* | *ZOR_SIGNING_PUBKEYS*) [ "$want_line" = passed ] || failed "exported $exported reached cmake" ;;
    *) [ "$want_line" = kept ] || failed "make $target: the configure line lost a setting" ;;
  esac
  if [ -n "$want_allow" ]; then
    printf '%s\n' "$out" | grep -qF "ALLOW_DEFAULT_KEY=\"\" scripts/check-bundle-key" || failed "exported $exported: make $target passes it on"
  fi
done <<CASES
all|BUNDLE_KEY=|kept|
all|SIGNING_PUBKEY=$keys/a.pub|kept|
deb|ALLOW_DEFAULT_KEY=1|kept|refused
CASES

# Configured for real: given once, kept, then dropped when given empty.
configured() {  # configured [SETTING...]: the configuration line
  make configure BUILD="$work/b" "$@" 2>&1 | sed -n 's/^zor configuration: //p'
}
identity=$("$default/product/tree/zor_pack" --version | sed -n '3p;4p' | sed ':a;N;s/\n/; /;ba')
product=$(configured BUNDLE_KEY="$keys/bundle.txt" SIGNING_PUBKEY="$keys/a.pub $keys/b.pub")
[ "$product" = "$identity" ] || failed "the configure line says '$product', --version '$identity'"
[ "$(configured)" = "$product" ] || failed "a plain make changed the configuration"
make clean BUILD="$work/b" >/dev/null 2>&1 || failed "make clean failed"
[ "$(configured)" = "$product" ] || failed "make clean forgot the configuration"
[ "$(BUNDLE_KEY='' configured 2>/dev/null)" = "$product" ] || failed "an exported BUNDLE_KEY= changed the configuration"
case $(configured BUNDLE_KEY=) in
  "bundle key: default (public) key: for development only; signing build: "*) ;;
  *) failed "BUNDLE_KEY= did not go back to the default key alone" ;;
esac
[ "$(configured SIGNING_PUBKEY=)" = "bundle key: default (public) key: for development only; default build: no signature check" ] ||
  failed "SIGNING_PUBKEY= did not go back to no signing"
all_held
echo "product configuration: kept by every target, dropped only when given empty; configure says what --version says"
