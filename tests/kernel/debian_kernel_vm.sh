#!/usr/bin/env bash
# Runs a command as root under Debian 12's own kernel (6.1) in a QEMU virtual
# machine, without KVM. The guest mounts this machine's root read-only over
# 9p, with a fresh /tmp, so the command runs the binaries of a build tree as
# they are. Made for the eBPF owner-event probes: Debian 12's kernel has no
# sock_send_length tracepoint and must use BPF trampolines, which some
# development and CI machines refuse; this is where that path is tested.
#
#   tests/kernel/debian_kernel_vm.sh build/tests/probe/bpf/bpf_owner_events_tests
#
# Needs qemu-system-x86 and busybox-static (`apt-get install`), and the
# network once to fetch the kernel package into the cache folder.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cache=${SONDREL_KERNEL_CACHE:-$top/build-kernel}
package=${SONDREL_KERNEL_PACKAGE:-}
[ $# -ge 1 ] || { echo "usage: $0 command [arguments]" >&2; exit 2; }
for tool in qemu-system-x86_64 busybox; do
  command -v "$tool" >/dev/null || { echo "$tool missing: apt-get install qemu-system-x86 busybox-static" >&2; exit 2; }
done

mkdir -p "$cache"
if [ -z "$package" ]; then
  package=$(apt-cache depends linux-image-amd64 | sed -n 's/.*Depends: \(linux-image-[0-9].*\)/\1/p' | head -n 1)
fi
release=${package#linux-image-}
if [ ! -f "$cache/$release/boot/vmlinuz-$release" ]; then
  (cd "$cache" && rm -f ./*.deb && apt-get download "$package" >/dev/null)
  dpkg-deb -x "$cache"/"$package"_*.deb "$cache/$release"
fi

# An initramfs of busybox and the modules that reach the host's files: it
# mounts them, then hands over to them as the root.
modules="drivers/virtio/virtio_ring drivers/virtio/virtio drivers/virtio/virtio_pci_modern_dev
         drivers/virtio/virtio_pci_legacy_dev drivers/virtio/virtio_pci fs/netfs/netfs fs/fscache/fscache
         net/9p/9pnet net/9p/9pnet_virtio fs/9p/9p"
initrd="$cache/initrd-$release.gz"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work"/{bin,dev,proc,sys,newroot,modules}
cp "$(command -v busybox)" "$work/bin/busybox"
for module in $modules; do
  cp "$cache/$release/lib/modules/$release/kernel/$module.ko" "$work/modules/" 2>/dev/null || true
done
cat >"$work/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev
for module in $(cat /modules/order); do [ -f /modules/$module.ko ] && insmod /modules/$module.ko; done
mount -t 9p -o trans=virtio,version=9p2000.L,ro host /newroot
for fs in proc sys dev; do mount --move /$fs /newroot/$fs; done
mount -t tmpfs tmp /newroot/tmp; mount -t tmpfs run /newroot/run
echo "=== kernel $(uname -r)"
exec switch_root /newroot /bin/sh -c "ip link set lo up; sh $(cat /modules/script); echo \"=== exit \$?\"; echo o > /proc/sysrq-trigger; sleep 10"
EOF
chmod +x "$work/init"
for module in $modules; do basename "$module"; done >"$work/modules/order"
echo "$cache/command.sh" >"$work/modules/script"
(cd "$work" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1 >"$initrd")

# The guest reads the command from the cache folder, through the shared root.
{ printf 'cd %q || exit 1\n' "$PWD"; printf '%q ' "$@"; echo; } >"$cache/command.sh"
log="$cache/last-run.log"
timeout "${SONDREL_VM_TIMEOUT:-1800}" qemu-system-x86_64 -machine q35 -cpu max -smp "${SONDREL_VM_CPUS:-1}" -m 1536 \
  -nographic -no-reboot -kernel "$cache/$release/boot/vmlinuz-$release" -initrd "$initrd" \
  -virtfs local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap \
  -append "console=ttyS0 quiet panic=-1" </dev/null >"$log" 2>&1 || true
tr -d '\r' <"$log" | sed -n '/=== kernel/,/^=== exit/p' | sed 's/.*=== kernel/=== kernel/; $d'
status=$(sed -n 's/^=== exit \([0-9]*\).*/\1/p' "$log")
[ -n "$status" ] || { echo "the virtual machine did not finish; see $log" >&2; exit 1; }
exit "$status"
