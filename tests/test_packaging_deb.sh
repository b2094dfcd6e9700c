#!/bin/sh
# make deb: the package holds the tools, the launcher, the libraries, gzipped
# man pages and a copyright file, declares the runtime libraries they need,
# says in its description which keys it carries and names its bundle key in
# a field of its own; its version never prefers the default key: a
# default-key package sorts below the product package of its release.
# lintian finds no error. Packages are made in the test's own folder.
#   test_packaging_deb.sh BUILD_DIR   (after product_build.sh)
set -eu
build=$1
product=$build/product/tree
work=$(mktemp -d /var/tmp/zor_deb.XXXXXX)
trap 'rm -rf "$work"' EXIT
for tree in "$build" "$product"; do
  mkdir -p "$work/$(basename "$tree")"
  (cd "$tree" && cpack -G DEB -B "$work/$(basename "$tree")" >/dev/null)
done
deb=$(ls "$work/$(basename "$build")"/zor-update_*_amd64.deb)
product_deb=$(ls "$work/tree"/zor-update_*_amd64.deb)
contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/zor_pack ./usr/bin/zor_keytool ./usr/lib/zor/zor_update_whole_package ./usr/lib/libzorcore.a \
  ./usr/lib/pkgconfig/zorcore.pc ./usr/lib/pkgconfig/zorsig.pc ./usr/include/zor/crc32.h \
  ./usr/share/man/man1/zor_pack.1.gz ./usr/share/man/man1/zor_update_whole_package.1.gz \
  ./usr/share/doc/zor-update/copyright ./usr/share/doc/zor-update/changelog.gz ./usr/share/mender/modules/v3/zor-bundle; do
  echo "$contents" | grep -q " $f\$" || { echo "the package lacks $f"; exit 1; }
done
depends=$(dpkg-deb -f "$deb" Depends)
for lib in liblua5.3-0 libsodium23 libc6; do
  echo "$depends" | grep -q "$lib" || { echo "Depends lacks $lib: $depends"; exit 1; }
done
failures=0
# DEB|FINGERPRINT OF ITS TREE|VERSION|DESCRIPTION SAYS
while IFS='|' read -r what file tree version says; do
  fingerprint=$("$tree/zor_pack" --version | sed -n 's/^bundle key fingerprint \([0-9a-f]*\).*/\1/p')
  [ "$(dpkg-deb -f "$file" Version)" = "$version" ] || { echo "FAIL $what: version $(dpkg-deb -f "$file" Version), want $version"; failures=$((failures + 1)); }
  [ "$(dpkg-deb -f "$file" Provides)" = "zor-bundle-key-$fingerprint" ] || { echo "FAIL $what: Provides $(dpkg-deb -f "$file" Provides)"; failures=$((failures + 1)); }
  dpkg-deb -f "$file" Description | grep -qF "$says" || { echo "FAIL $what: the description does not say '$says'"; failures=$((failures + 1)); }
done <<CASES
default key|$deb|$build|1.0.0~dev|no signature check
product key, signing|$product_deb|$product|1.0.0|runs only bundles signed by
CASES
# The orderings README shows: a default-key package below the product one of
# its release, whichever comes first; two product keys of one release equal.
default_v=$(dpkg-deb -f "$deb" Version)
product_v=$(dpkg-deb -f "$product_deb" Version)
while read -r a op b; do
  dpkg --compare-versions "$a" "$op" "$b" || { echo "FAIL: $a $op $b does not hold"; failures=$((failures + 1)); }
done <<CASES
$default_v lt $product_v
$product_v gt $default_v
$product_v eq 1.0.0
CASES
if command -v lintian >/dev/null && lintian "$deb" 2>/dev/null | grep '^E:'; then
  echo "lintian reports errors"; exit 1
fi
[ "$failures" -eq 0 ] || exit 1
echo "deb: $(basename "$deb") below $(basename "$product_deb"), lintian without errors; Depends: $depends"
