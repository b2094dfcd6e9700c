#!/bin/sh
# make deb: three packages, the device's runtime (the launcher as a ready
# folder whose configuration folder is a link into /var/lib, the Update
# Module, its recovery unit, the conffile, zor-ab), the build host's tools
# and the development files, each with its files, links and dependencies;
# their descriptions say which keys they carry and a field names the bundle
# key; the version never prefers the default key. lintian finds no error and
# no warning. Packages are made in the test's own folder.
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
debs=$work/$(basename "$build")
deb=$(ls "$debs"/zor-update_*_amd64.deb)
product_deb=$(ls "$work/tree"/zor-update_*_amd64.deb)
# shellcheck source=tests/helpers.sh disable=SC1091
. "$(dirname "$0")/helpers.sh"
# Each package into a scratch root: its files, links, conffile and
# dependencies. PACKAGE|FILES|DEPENDS (each word must be in Depends)
while IFS='|' read -r name files depends; do
  file=$(ls "$debs/${name}_"*_amd64.deb)
  root=$work/root-$name
  dpkg-deb -x "$file" "$root"
  for f in $files; do [ -e "$root/$f" ] || [ -L "$root/$f" ] || failed "$name lacks $f"; done
  for d in $depends; do dpkg-deb -f "$file" Depends | grep -q "$d" || failed "$name: Depends lacks $d"; done
done <<'PACKAGES'
zor-update|usr/lib/zor-update/zor_update_whole_package usr/lib/zor-update/zor_update_whole_package_config var/lib/zor-update etc/mender/zor-bundle.conf usr/share/mender/modules/v3/zor-bundle lib/systemd/system/zor-bundle-recover.service usr/bin/zor-ab usr/lib/zor-update/lua/zor_ab.lua usr/share/man/man1/zor_update_whole_package.1.gz usr/share/doc/zor-update/copyright|liblua5.3-0 libc6 lua5.3
zor-update-tools|usr/bin/zor_pack usr/bin/zor_keytool usr/share/man/man1/zor_pack.1.gz usr/share/man/man1/zor_keytool.1.gz usr/share/zor-update/lua/zor_ab.lua usr/share/doc/zor-update-tools/copyright|liblua5.3-0 libsodium23
libzor-update-dev|usr/include/zor/crc32.h usr/lib/x86_64-linux-gnu/libzorcore.a usr/lib/x86_64-linux-gnu/libzorsig.a usr/lib/x86_64-linux-gnu/pkgconfig/zorcore.pc usr/lib/x86_64-linux-gnu/pkgconfig/zorsig.pc usr/share/doc/libzor-update-dev/copyright|libsodium-dev liblua5.3-dev
PACKAGES
runtime=$work/root-zor-update
[ "$(readlink "$runtime/usr/lib/zor-update/zor_update_whole_package_config")" = /var/lib/zor-update ] ||
  failed "the launcher's configuration folder is no link to /var/lib/zor-update"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qx /etc/mender/zor-bundle.conf || failed "no conffile"
grep -qx 'LAUNCHER_DIR=/usr/lib/zor-update' "$runtime/etc/mender/zor-bundle.conf" || failed "the conffile's LAUNCHER_DIR"
# The launcher finds its bundle through the link: the scratch root's
# /var/lib/zor-update stands in for the device's.
mkdir -p "$work/src"
printf '%s\n' 'c_dbgMsg("MSG[TLS]", "ran from " .. (...).fwDir .. "\n") return true' >"$work/src/zor_update_whole_package.lua"
"$build/zor_pack" pack -o "$runtime/var/lib/zor-update/nuvex.zor" "$work/src" >/dev/null
# shellcheck disable=SC2016
unshare -m --propagation private sh -c 'mount -t tmpfs tmpfs /var/lib && mkdir /var/lib/zor-update &&
  mount --bind "$1/var/lib/zor-update" /var/lib/zor-update && mount -t tmpfs tmpfs /tmp &&
  exec "$1/usr/lib/zor-update/zor_update_whole_package"' sh "$runtime" >"$work/log" 2>&1 ||
  failed "the packaged launcher did not run its bundle: $(cat "$work/log")"
grep -qF "ran from $runtime/usr/lib/zor-update/zor_update_whole_package_config/" "$work/log" ||
  failed "the launcher's fwDir: $(cat "$work/log")"
# The device package installed into a clean root by dpkg (its maintainer
# scripts run there, with busybox's shell and tools): the recovery unit is
# enabled and the examples are in place; removed, the unit is disabled;
# purged, nothing of the package's is left.
clean=$work/clean-root
mkdir -p "$clean/bin" "$clean/var/lib/dpkg/info" "$clean/var/lib/dpkg/updates" "$clean/tmp"
: >"$clean/var/lib/dpkg/status"
cp /bin/busybox "$clean/bin/busybox"
chroot "$clean" /bin/busybox --install -s /bin
link=$clean/etc/systemd/system/multi-user.target.wants/zor-bundle-recover.service
dpkg --root="$clean" --force-depends -i "$deb" >"$work/dpkg.log" 2>&1 ||
  failed "dpkg -i into a clean root: $(tail -3 "$work/dpkg.log")"
[ -L "$link" ] || failed "install: the recovery unit is not enabled"
for f in zor-bundle.conf.example zor-ab.conf.example; do
  [ -f "$clean/usr/share/doc/zor-update/$f" ] || failed "install: no $f"
done
mkdir -p "$clean/var/lib/zor-bundle/kept"
: >"$clean/var/lib/zor-update/nuvex.zor"
dpkg --root="$clean" --force-depends -r zor-update >>"$work/dpkg.log" 2>&1 || failed "dpkg -r: $(tail -3 "$work/dpkg.log")"
if [ -e "$link" ] || [ -L "$link" ]; then failed "remove: the recovery unit is still enabled"; fi
dpkg --root="$clean" --force-depends -P zor-update >>"$work/dpkg.log" 2>&1 || failed "dpkg -P: $(tail -3 "$work/dpkg.log")"
# (Empty system folders such as etc/systemd/system may stay.)
left=$(cd "$clean" && { find etc usr -not -type d; find var/lib/zor-bundle var/lib/zor-update usr/lib/zor-update; } 2>/dev/null | head -5)
[ -z "$left" ] || failed "purge left: $left"
# DEB|FINGERPRINT OF ITS TREE|VERSION|DESCRIPTION SAYS
while IFS='|' read -r what file tree version says; do
  fingerprint=$("$tree/zor_pack" --version | sed -n 's/^bundle key fingerprint \([0-9a-f]*\).*/\1/p')
  [ "$(dpkg-deb -f "$file" Version)" = "$version" ] || failed "$what: version $(dpkg-deb -f "$file" Version), want $version"
  [ "$(dpkg-deb -f "$file" Provides)" = "zor-bundle-key-$fingerprint" ] || failed "$what: Provides $(dpkg-deb -f "$file" Provides)"
  dpkg-deb -f "$file" Description | grep -qF "$says" || failed "$what: the description does not say '$says'"
done <<CASES
default key|$deb|$build|1.0.0~dev|no signature check
product key, signing|$product_deb|$product|1.0.0|runs only bundles signed by
CASES
# The orderings README shows: a default-key package below the product one of
# its release, whichever comes first; two product keys of one release equal.
default_v=$(dpkg-deb -f "$deb" Version)
product_v=$(dpkg-deb -f "$product_deb" Version)
while read -r a op b; do
  dpkg --compare-versions "$a" "$op" "$b" || failed ": $a $op $b does not hold"
done <<CASES
$default_v lt $product_v
$product_v gt $default_v
$product_v eq 1.0.0
CASES
if command -v lintian >/dev/null && lintian "$debs"/*.deb 2>/dev/null | grep -E '^(E|W):'; then
  failed "lintian reports errors or warnings"
fi
all_held
names=''
for f in "$debs"/*.deb; do names="$names $(basename "$f")"; done
echo "debs:$names; below the product's; lintian without errors or warnings"
