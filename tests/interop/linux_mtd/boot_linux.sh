#!/usr/bin/env bash
# Boots the host's Debian kernel under QEMU (TCG) with a tiny initramfs that
# holds busybox, the mtd-utils binaries, the MTD/NAND/UBI modules and the
# folder IN_DIR, runs IN_DIR/run.sh there (it loads nandsim with the geometry
# it wants, as often as it wants), and brings back what the script left in
# /out into OUT_DIR (its standard output and error in OUT_DIR/log.txt).
#
#   boot_linux.sh IN_DIR OUT_DIR
#
# Exit status: 0 when the guest ran the script (its own status is the last
# line of log.txt, "rc=N"), 77 when QEMU or the kernel is missing (the caller
# skips), 1 on any other failure.
set -euo pipefail

in_dir=$1
out_dir=$2

qemu=$(command -v qemu-system-x86_64 || true)
kernel=$(ls /boot/vmlinuz-* 2>/dev/null | sort -V | tail -n 1 || true)
if [ -z "$qemu" ] || [ -z "$kernel" ]; then
  echo "needs qemu-system-x86 and linux-image-amd64" >&2
  exit 77
fi
version=${kernel#/boot/vmlinuz-}
modules=/lib/modules/$version/kernel
busybox=$(command -v busybox || true)
if [ ! -d "$modules" ] || [ -z "$busybox" ] || [[ "$(ldd "$busybox" 2>&1 || true)" != *"not a dynamic"* ]]; then
  echo "needs the modules of $version and busybox-static" >&2
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root"/{bin,sbin,lib/mods,proc,sys,dev,tmp,in,out}
cp "$busybox" "$root/bin/busybox"
for applet in sh mount insmod rmmod tar sync poweroff cat cmp dd head tail grep sed awk cut \
  printf echo ls mkdir rm cp tr od hexdump md5sum wc sleep true false test seq find xxd; do
  ln -s busybox "$root/bin/$applet"
done
# The mtd-utils programs with every shared library they load, at the paths
# the loader looks for them.
for tool in nandwrite nanddump flash_erase mtdinfo ubiattach ubidetach ubinfo; do
  path=$(command -v "$tool" || echo "/usr/sbin/$tool")
  if [ ! -x "$path" ]; then
    echo "needs mtd-utils ($tool)" >&2
    exit 77
  fi
  cp "$path" "$root/bin/"
  for lib in $(ldd "$path" | grep -o '/[^ ]*'); do
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
done
# Kernel modules in the order their symbols need each other.
for module in virtio/virtio_ring virtio/virtio virtio/virtio_pci_modern_dev \
  virtio/virtio_pci_legacy_dev virtio/virtio_pci block/virtio_blk mtd/mtd ../lib/bch \
  mtd/nand/nandcore mtd/nand/raw/nand mtd/nand/raw/nandsim mtd/ubi/ubi; do
  name=$(basename "$module")
  src=$modules/drivers/$module.ko
  [ "$module" = ../lib/bch ] && src=$modules/lib/bch.ko
  if [ -f "$src" ]; then
    cp "$src" "$root/lib/mods/$name.ko"
  elif [ -f "$src.xz" ]; then
    xz -dc "$src.xz" > "$root/lib/mods/$name.ko"
  else
    echo "kernel module $name not found under $modules" >&2
    exit 77
  fi
done
cp -r "$in_dir"/. "$root/in/"
cat > "$root/init" <<'INIT'
#!/bin/sh
export PATH=/bin:/sbin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci virtio_blk \
  mtd bch nandcore nand ubi; do
  insmod /lib/mods/$m.ko
done
cd /in
sh ./run.sh > /out/log.txt 2>&1
echo "rc=$?" >> /out/log.txt
dmesg > /out/dmesg.txt
tar -cf /dev/vda -C /out .
sync
poweroff -f
INIT
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet) > "$work/initrd.cpio"

# The results come back as a tar archive written over the raw disk.
in_size=$(du -sm "$in_dir" | cut -f1)
truncate -s $((in_size * 4 + 64))M "$work/disk.img"
timeout 600 "$qemu" -accel tcg -m 1024M -nographic -no-reboot -kernel "$kernel" \
  -initrd "$work/initrd.cpio" -append "console=ttyS0 quiet panic=-1 rdinit=/init" \
  -drive "file=$work/disk.img,format=raw,if=virtio" > "$work/console.txt" 2>&1 || {
  echo "QEMU failed:" >&2
  tail -n 30 "$work/console.txt" >&2
  exit 1
}
mkdir -p "$out_dir"
if ! tar -xf "$work/disk.img" -C "$out_dir" 2>/dev/null || [ ! -f "$out_dir/log.txt" ]; then
  echo "the guest brought nothing back; its console:" >&2
  tail -n 30 "$work/console.txt" >&2
  exit 1
fi
