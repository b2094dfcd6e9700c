#!/bin/sh
# make deb: the package holds the tools, the launcher, the libraries, gzipped
# man pages and a copyright file, declares the runtime libraries they need,
# says in its version and description which keys it carries, and lintian
# finds no error in it.
#   test_packaging_deb.sh BUILD_DIR
set -eu
build=$1
rm -f "$build"/zor-update_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/zor-update_*_amd64.deb)
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
fingerprint=$("$build/zor_pack" --version | sed -n 's/^bundle key fingerprint \([0-9a-f]\{8\}\).*/\1/p')
version=$(dpkg-deb -f "$deb" Version)
[ "$version" = "1.0.0+k$fingerprint" ] || { echo "version $version does not carry the key fingerprint $fingerprint"; exit 1; }
dpkg-deb -f "$deb" Description | grep -q "no signature check" || { echo "the description says nothing of signing"; exit 1; }
if command -v lintian >/dev/null && lintian "$deb" 2>/dev/null | grep '^E:'; then
  echo "lintian reports errors"; exit 1
fi
echo "deb: $(basename "$deb"), lintian without errors; Depends: $depends"
