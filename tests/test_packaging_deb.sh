#!/bin/sh
# make deb: the package holds the tools, the launcher, the library and the man
# pages, and declares the runtime libraries they need.
#   test_packaging_deb.sh BUILD_DIR
set -eu
build=$1
rm -f "$build"/zor-update_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/zor-update_*_amd64.deb)
contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/zor_pack ./usr/bin/zor_keytool ./usr/lib/zor/zor_update_whole_package ./usr/lib/libzorcore.a \
  ./usr/lib/pkgconfig/zorcore.pc ./usr/include/zor/crc32.h ./usr/share/man/man1/zor_pack.1 \
  ./usr/share/man/man1/zor_update_whole_package.1 ./usr/share/mender/modules/v3/zor-bundle; do
  echo "$contents" | grep -q " $f\$" || { echo "the package lacks $f"; exit 1; }
done
depends=$(dpkg-deb -f "$deb" Depends)
for lib in liblua5.3-0 libsodium23 libc6; do
  echo "$depends" | grep -q "$lib" || { echo "Depends lacks $lib: $depends"; exit 1; }
done
dpkg-deb -I "$deb" | grep -q "Package: zor-update" || { echo "no package name"; exit 1; }
echo "deb: $(basename "$deb") holds every file; Depends: $depends"
