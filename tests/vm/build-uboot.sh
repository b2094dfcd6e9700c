#!/bin/sh
# Builds U-Boot for QEMU (qemu-x86) with boot counting, from Debian's u-boot
# source package, once per machine into the cache; prints the ROM's path.
#   build-uboot.sh SOURCE_DIR CACHE_DIR
# apt-get source needs a deb-src entry for the archive the machine already
# uses: one is added beside its own (zor-update-src.sources) when missing.
set -eu
src=$1
cache=$2
version=$(apt-cache showsrc u-boot 2>/dev/null | sed -n 's/^Version: //p' | head -1)
if [ -z "$version" ]; then
  sources=/etc/apt/sources.list.d/debian.sources
  [ -f "$sources" ] || { echo "build-uboot: no $sources to take a deb-src entry from" >&2; exit 1; }
  sed 's/^Types: deb$/Types: deb-src/' "$sources" >/etc/apt/sources.list.d/zor-update-src.sources
  apt-get update -qq
  version=$(apt-cache showsrc u-boot | sed -n 's/^Version: //p' | head -1)
fi
key=$( { echo "$version"; cat "$0" "$src/tests/vm/uboot.config"; } | sha256sum | cut -c1-16)
rom=$cache/uboot-$key.rom
if [ -f "$rom" ]; then echo "$rom"; exit 0; fi

work=$(mktemp -d "$cache/uboot.XXXXXX")
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get source -qq -o APT::Sandbox::User=root --download-only u-boot >/dev/null &&
  dpkg-source -x --no-check u-boot_*.dsc tree >/dev/null)
make -s -C "$work/tree" O="$work/out" qemu-x86_defconfig
"$work/tree/scripts/kconfig/merge_config.sh" -m -O "$work/out" "$work/out/.config" "$src/tests/vm/uboot.config" >/dev/null
make -s -C "$work/tree" O="$work/out" olddefconfig
for option in BOOTCOUNT_LIMIT BOOTCOUNT_ENV ENV_IS_IN_FAT SYS_REDUNDAND_ENVIRONMENT; do
  grep -qx "CONFIG_$option=y" "$work/out/.config" || { echo "build-uboot: CONFIG_$option did not take" >&2; exit 1; }
done
make -s -C "$work/tree" O="$work/out" -j"$(nproc)" >"$work/build.log" 2>&1 || { tail -30 "$work/build.log" >&2; exit 1; }
find "$cache" -maxdepth 1 -name 'uboot-*.rom' -delete
mv "$work/out/u-boot.rom" "$rom"
echo "$rom"
