#!/bin/sh
# Builds the test VM's disk image once and keeps it in a cache outside the
# clone, keyed by everything that went into it; prints the image's path.
#   build-image.sh SOURCE_DIR CACHE_DIR grub|uboot [DEVICE_DEB]
# The disk (MBR): 2 slot A and 3 slot B (ext4: Debian's kernel and a busybox
# initramfs that runs zor-ab with Lua 5.3), and 1 /boot: for grub, ext4 with
# grub.cfg, the zor-ab snippet and grubenv, GRUB (i386-pc) in the gap before
# it; for uboot, FAT with U-Boot's redundant environment (the firmware is
# build-uboot.sh's ROM).
# With DEVICE_DEB (the project's zor-update package) the initramfs is a
# device under the Mender client: the client (Debian's, with its
# libraries), the package's files as dpkg unpacks them, /var/lib on a
# second disk (vdb, made by the test), and each slot's fs gets /version
# ("factory").
set -eu
src=$1
cache=$2
loader=$3
deb=${4:-}
flavor=$loader
[ -z "$deb" ] || flavor=$loader-client
grub_dir=/usr/lib/grub/i386-pc
case $loader in grub | uboot) ;; *) echo "build-image: no loader '$loader' (grub or uboot)" >&2; exit 2 ;; esac

# Debian's kernel, from its package, unpacked into the cache (nothing is
# installed on the host).
kernel_pkg=$(apt-cache depends linux-image-amd64 | sed -n 's/.*Depends: \(linux-image-[0-9].*\)/\1/p' | head -1)
[ -n "$kernel_pkg" ] || { echo "build-image: no linux-image-amd64 in the package lists (apt-get update)" >&2; exit 1; }
kver=${kernel_pkg#linux-image-}
kernel_root=$cache/kernel-$kver
if [ ! -f "$kernel_root/boot/vmlinuz-$kver" ]; then
  mkdir -p "$cache/debs"
  (cd "$cache/debs" && apt-get download -qq -o APT::Sandbox::User=root "$kernel_pkg")
  rm -rf "$kernel_root.new"
  dpkg-deb -x "$cache/debs/${kernel_pkg}_"*.deb "$kernel_root.new"
  depmod -b "$kernel_root.new" "$kver"
  mv "$kernel_root.new" "$kernel_root"
fi

key=$( { cat "$0" "$src/tests/vm/init" "$src/lua/zor_ab.lua" "$src/lua/zor-ab" "$src/lua/zor-ab.grub.cfg" \
  "$src/lua/zor-ab.uboot.env";
  echo "$kver $loader"; dpkg-query -W busybox-static grub-pc-bin lua5.3 liblua5.3-0 libubootenv-tool;
  [ -z "$deb" ] || { cat "$deb"; dpkg-query -W mender-client util-linux; }; } |
  sha256sum | cut -c1-16)
image=$cache/$flavor-$key.img
if [ -f "$image" ]; then echo "$image"; exit 0; fi

work=$(mktemp -d "$cache/build.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The initramfs: busybox, Lua 5.3 with its libraries, zor-ab and zor_ab.lua,
# the modules for virtio disks, ext4 and fw_cfg.
root=$work/initramfs
mkdir -p "$root/bin" "$root/proc" "$root/sys" "$root/dev" "$root/etc" "$root/lib/modules" \
  "$root/usr/bin" "$root/usr/lib/zor-update/lua"
cp /bin/busybox "$root/bin/busybox"
ln -s /bin/busybox "$root/usr/bin/env"
cp "$src/tests/vm/init" "$root/init"
chmod 0755 "$root/init"
programs="/usr/bin/lua5.3 /usr/bin/fw_printenv /usr/bin/fw_setenv"
if [ -n "$deb" ]; then
  dpkg-deb -x "$deb" "$root"
  # (busybox has no flock: util-linux's, as on a device)
  programs="$programs /usr/bin/mender /usr/bin/flock $root/usr/lib/zor-update/zor_update_whole_package"
  mkdir -p "$root/etc/mender" "$root/var/lib" "$root/tmp"
  printf '{}\n' >"$root/etc/mender/mender.conf"
  printf 'artifact_name=factory\n' >"$root/etc/mender/artifact_info"
  # The shipped configuration, with the procedure's argument (busybox's dd
  # has no oflag=nofollow, so no LOG_FILE).
  sed -e 's|^LAUNCHER_ARGS=.*|LAUNCHER_ARGS=/etc/zor-ab.conf|' -e 's|^LOG_FILE=.*|LOG_FILE=|' \
    "$root/etc/mender/zor-bundle.conf" >"$root/etc/mender/zor-bundle.conf.new"
  mv "$root/etc/mender/zor-bundle.conf.new" "$root/etc/mender/zor-bundle.conf"
  printf 'client\n' >"$root/etc/flavor"
fi
for program in $programs; do
  case $program in "$root"/*) ;; *) cp -L "$program" "$root$program" ;; esac
  ldd "$program" | awk '$3 ~ /^\// {print $3} $1 ~ /^\// {print $1}' | while read -r lib; do
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
done
[ -n "$deb" ] || cp "$src/lua/zor-ab" "$root/usr/bin/zor-ab"
[ -n "$deb" ] || cp "$src/lua/zor_ab.lua" "$root/usr/lib/zor-update/lua/zor_ab.lua"
printf 'slot_A=/dev/vda2\nslot_B=/dev/vda3\n' >"$root/etc/zor-ab.conf"
if [ "$loader" = grub ]; then
  printf 'backend=grub\ngrubenv=/boot/grub/grubenv\n' >>"$root/etc/zor-ab.conf"
  echo ext4 >"$root/etc/boot-fs"
else
  printf 'backend=uboot\nfw_env_config=/etc/fw_env.config\n' >>"$root/etc/zor-ab.conf"
  printf '/boot/uboot.env 0x0 0x4000\n/boot/uboot-redund.env 0x0 0x4000\n' >"$root/etc/fw_env.config"
  echo vfat >"$root/etc/boot-fs"
fi
for module in ext4 vfat nls_cp437 nls_ascii nls_utf8 virtio_blk virtio_pci qemu_fw_cfg; do
  modprobe -d "$kernel_root" -S "$kver" --show-depends "$module"
done | awk '$1 == "insmod" && !seen[$2]++ {print $2}' >"$work/modules"
while read -r ko; do
  cp "$ko" "$root/lib/modules/"
  basename "$ko" >>"$root/lib/modules/order"
done <"$work/modules"
[ -s "$root/lib/modules/order" ] || { echo "build-image: no modules found for $kver" >&2; exit 1; }
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.img"

# The slots: the same kernel and initramfs in both.
mkdir -p "$work/slot"
cp "$kernel_root/boot/vmlinuz-$kver" "$work/slot/vmlinuz"
cp "$work/initrd.img" "$work/slot/initrd.img"
[ -z "$deb" ] || echo factory >"$work/slot/version"

# /boot. A device as it leaves the factory: A runs and is good, B holds a
# verified image that was never booted. For GRUB, grub.cfg sources the
# snippet as a product's would.
mkdir -p "$work/boot"
if [ "$loader" = grub ]; then
  mkdir -p "$work/boot/grub"
  cp "$src/lua/zor-ab.grub.cfg" "$work/boot/grub/zor-ab.grub.cfg"
  cat >"$work/boot/grub/grub.cfg" <<'CFG'
serial --unit=0 --speed=115200
terminal_input serial
terminal_output serial
set timeout=0
source $prefix/zor-ab.grub.cfg
echo "ZOR-GRUB default=$default"
menuentry "slot A" --id zor-A {
  linux (hd0,msdos2)/vmlinuz console=ttyS0 edd=off panic=5 quiet zor_ab.slot=A
  initrd (hd0,msdos2)/initrd.img
}
menuentry "slot B" --id zor-B {
  linux (hd0,msdos3)/vmlinuz console=ttyS0 edd=off panic=5 quiet zor_ab.slot=B
  initrd (hd0,msdos3)/initrd.img
}
CFG
  grub-editenv "$work/boot/grub/grubenv" create
  grub-editenv "$work/boot/grub/grubenv" set "ZOR_ORDER=A B" ZOR_A_OK=1 ZOR_A_TRY=0 ZOR_A_VERIFIED=1 ZOR_A_BAD=0 \
    ZOR_B_OK=0 ZOR_B_TRY=0 ZOR_B_VERIFIED=1 ZOR_B_BAD=0
else
  # U-Boot's environment, both copies: the shipped boot script (each slot
  # loaded and started; one that cannot load falls through to the other)
  # and the factory state; the initramfs loads at 128 MiB, above where the
  # kernel decompresses itself (from 16 MiB). (fw_setenv says it uses a default environment:
  # both copies are blank until this first write.)
  printf '%s 0x0 0x4000\n%s 0x0 0x4000\n' "$work/boot/uboot.env" "$work/boot/uboot-redund.env" >"$work/fw_env.config"
  head -c 16384 /dev/zero >"$work/boot/uboot.env"
  head -c 16384 /dev/zero >"$work/boot/uboot-redund.env"
  { grep -v '^#' "$src/lua/zor-ab.uboot.env"
    printf 'zor_ab_order=A B\nzor_ab_A_ok=1\nzor_ab_A_verified=1\nzor_ab_A_bad=0\n'
    printf 'zor_ab_B_ok=0\nzor_ab_B_verified=1\nzor_ab_B_bad=0\nupgrade_available=0\nbootcount=0\n'
    printf 'zor_ab_args=console=ttyS0 edd=off panic=5 quiet\nkernel_addr_r=0x1000000\nramdisk_addr_r=0x8000000\n'; } >"$work/env"
  fw_setenv -c "$work/fw_env.config" -f /dev/null -s "$work/env" 2>/dev/null
fi

# The disk: partitions made as files, then laid out behind the table.
mib=1048576
if [ "$loader" = grub ]; then
  mke2fs -q -t ext4 -d "$work/boot" "$work/p1" 16M >/dev/null
else
  truncate -s 16M "$work/p1"
  mkfs.vfat -n BOOT "$work/p1" >/dev/null
  mcopy -i "$work/p1" "$work/boot/uboot.env" "$work/boot/uboot-redund.env" ::/
fi
mke2fs -q -t ext4 -d "$work/slot" "$work/p2" 40M >/dev/null
mke2fs -q -t ext4 -d "$work/slot" "$work/p3" 40M >/dev/null
truncate -s $((100 * mib)) "$work/disk.img"
printf 'label: dos\nstart=1MiB, size=16MiB, type=83\nstart=17MiB, size=40MiB, type=83\nstart=57MiB, size=40MiB, type=83\n' |
  sfdisk -q "$work/disk.img"
dd if="$work/p1" of="$work/disk.img" bs=$mib seek=1 conv=notrunc status=none
dd if="$work/p2" of="$work/disk.img" bs=$mib seek=17 conv=notrunc status=none
dd if="$work/p3" of="$work/disk.img" bs=$mib seek=57 conv=notrunc status=none

if [ "$loader" = grub ]; then
# GRUB: a core image with what grub.cfg and the snippet use, embedded in
# the gap before partition 1 as grub-bios-setup embeds it (which cannot be
# pointed at an image file): boot.img's code in the MBR with the disk's own
# table kept, its drive check turned off as for a hard disk; core.img from
# sector 1, its first sector's block list naming the rest (from sector 2,
# loaded at segment 0x820). boot.img already reads its core from sector 1.
grub-mkimage -O i386-pc -d "$grub_dir" -p '(hd0,msdos1)/grub' -o "$work/core.img" \
  biosdisk part_msdos ext2 normal configfile loadenv linux echo test serial terminal
# shellcheck disable=SC2059  # the format is the one octal escape made here
byte() { printf "$(printf '\\%03o' "$1")"; }
sectors=$((($(stat -c %s "$work/core.img") + 511) / 512))
dd if="$grub_dir/boot.img" of="$work/disk.img" bs=440 count=1 conv=notrunc status=none
printf '\220\220' | dd of="$work/disk.img" bs=1 seek=$((0x66)) conv=notrunc status=none
dd if="$work/core.img" of="$work/disk.img" bs=512 seek=1 conv=notrunc status=none
{ byte 2; for _ in 1 2 3 4 5 6 7; do byte 0; done
  byte $(((sectors - 1) % 256)); byte $(((sectors - 1) / 256)); byte $((0x20)); byte $((0x08)); } |
  dd of="$work/disk.img" bs=1 seek=$((512 + 0x1f4)) conv=notrunc status=none
fi
# Images of other inputs are of no more use.
find "$cache" -maxdepth 1 -name "$flavor-????????????????.img" -delete
mv "$work/disk.img" "$image"
echo "$image"
