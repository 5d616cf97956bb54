#!/bin/busybox sh
# The initramfs's /init (vm.py): modules for the shares, then the host's root, and one of
# two ways on; or a disk of its own (vmdisk, fresh.py). It prints sensormidi-vm-up when the
# command starts and "sensormidi-vm-exit: STATUS" when it ends; vm.py watches the console
# for both. vmout, vmsystemd, vmpreinstall, vmsetup and vmdisk come from the kernel's
# command line.
# shellcheck shell=dash disable=SC2154
B=/bin/busybox
$B mkdir -p /proc /sys /dev /host /rw
$B mount -t proc proc /proc
$B mount -t sysfs sysfs /sys
$B mount -t devtmpfs devtmpfs /dev
for m in $($B cat /modules/order); do $B insmod /modules/$m || $B poweroff -f; done
o=trans=virtio,version=9p2000.L,msize=262144

# command_unit DIR: the unit that runs the command once udev and journald run, in DIR.
command_unit() {
    $B cat >"$1/vm-command.service" <<END
[Unit]
Description=the command, once udev and journald run
[Service]
Type=exec
StandardOutput=tty
StandardError=tty
TTYPath=/dev/ttyS0
ExecStart=/bin/sh -c 'mkdir -p $vmout && mount -t 9p -o $o out $vmout && echo sensormidi-vm-up; \\
    /bin/sh $vmout/run.sh; echo "sensormidi-vm-exit: \$\$?"; systemctl poweroff --no-block'
END
    $B mkdir -p "$1/multi-user.target.wants"
    $B ln -s ../vm-command.service "$1/multi-user.target.wants/"
}

if [ -n "$vmdisk" ]; then
    # The box's own disk, as it boots itself: what this boot alone needs (the command's
    # unit, the run's files for /run) goes to /run, so that the disk keeps only what the
    # box itself writes, across a reboot or a power cut.
    $B mkdir -p /newroot /out
    $B mount -t ext4 /dev/vda /newroot || $B poweroff -f
    $B mount -t tmpfs -o mode=755,nosuid,nodev tmpfs /newroot/run
    $B mount -t 9p -o $o out /out
    [ ! -d /out/run ] || $B cp -a /out/run/. /newroot/run/
    $B umount /out
    $B mkdir -p /newroot/run/systemd/system
    command_unit /newroot/run/systemd/system
    $B ln -s /dev/null /newroot/run/systemd/system/serial-getty@ttyS0.service
    $B umount /proc /sys /dev
    exec $B switch_root /newroot /sbin/init
fi

$B mount -t 9p -o $o,ro,cache=loose hostroot /host || $B poweroff -f
if [ -z "$vmsystemd" ]; then
    # A chroot: the command is the only process, on fresh file systems. /tmp stays the
    # host's, where the caller's tree may be.
    $B mount -t tmpfs -o mode=1777 tmpfs /host/run
    $B mount -t proc proc /host/proc
    $B mount -t sysfs sysfs /host/sys
    $B mount -t configfs configfs /host/sys/kernel/config
    $B mount -t devtmpfs devtmpfs /host/dev
    $B mkdir -p /host/dev/pts /host/dev/shm /host$vmout
    $B mount -t devpts devpts /host/dev/pts
    $B mount -t tmpfs tmpfs /host/dev/shm
    $B mount -t 9p -o $o out /host$vmout
    echo sensormidi-vm-up
    $B chroot /host /bin/sh $vmout/run.sh
    echo "sensormidi-vm-exit: $?"
    $B poweroff -f
fi
# systemd as init: the host's root read-only under a tmpfs for all that is written,
# with the extra layer (udev) between them; the command runs as a unit once booted.
$B mount -t tmpfs -o mode=755 tmpfs /rw
$B mkdir -p /rw/upper /rw/work /newroot
u=/rw/upper
$B mkdir -p $u/etc/systemd/system/multi-user.target.wants $u/var/lib
# Whiteouts hide what makes this a container's root: with /.dockerenv systemd takes itself
# for one, the container's policy-rc.d forbids starting services, and man-db's trigger
# would index every page over 9p for minutes.
$B mkdir -p $u/usr/sbin $u/var/lib/man-db
for f in .dockerenv usr/sbin/policy-rc.d var/lib/man-db/auto-update; do $B mknod $u/$f c 0 0; done
# dpkg reads its database slowly over 9p, file by file: it comes as one archive.
$B mkdir -p /out /layer
$B mount -t 9p -o $o out /out
$B tar -xf /out/dpkg.tar -C $u/var/lib
$B umount /out
# The layer comes in a share of its own: overlayfs refuses layers inside one another.
$B mount -t 9p -o $o,ro,cache=loose layer /layer
# What the host enables is not for this machine.
for f in /host/etc/systemd/system/*.wants/* serial-getty@ttyS0.service; do
    $B ln -sf /dev/null $u/etc/systemd/system/${f##*/}
done
# Nor is cleaning the host's /tmp, where the caller's tree may be, file by file over 9p.
$B mkdir -p $u/etc/tmpfiles.d
$B ln -s /dev/null $u/etc/tmpfiles.d/tmp.conf
command_unit $u/etc/systemd/system
# Packages unpacked and their services enabled before the boot, as if installed earlier.
# /lib is the host's link into /usr: a package's lib/ (its units) goes there, for a
# directory of that name in the upper layer would hide the link.
for deb in $($B echo "$vmpreinstall" | $B tr , ' '); do
    $B rm -rf /rw/deb
    $B dpkg-deb -x /host$deb /rw/deb
    if [ -d /rw/deb/lib ]; then
        $B mkdir -p /rw/deb/usr/lib
        $B cp -a /rw/deb/lib/. /rw/deb/usr/lib/
        $B rm -rf /rw/deb/lib
    fi
    $B cp -a /rw/deb/. $u/
    name=${deb##*/}
    $B ln -s /lib/systemd/system/${name%%_*}.service $u/etc/systemd/system/multi-user.target.wants/
done
# The test's own settings, made on the new root before the boot.
[ -z "$vmsetup" ] || $B sh "/host$vmsetup" $u || { echo "init: $vmsetup failed"; $B poweroff -f; }
$B mkdir -p $u/usr/lib/modules $u/vm/upper $u/vm/lower
$B mount -t overlay overlay -o lowerdir=/layer:/host,upperdir=$u,workdir=/rw/work \
    /newroot || $B poweroff -f
# What was written and what it was written over, read-only, for a test to compare
# in seconds what walking the whole root over 9p would take minutes to.
$B mount --bind $u /newroot/vm/upper && $B mount -o remount,bind,ro /newroot/vm/upper
$B mount --bind /host /newroot/vm/lower
# The kernel's modules where modprobe looks, for systemd and udev to load them.
$B mount -t 9p -o $o,ro modules /newroot/usr/lib/modules
$B umount /proc /sys /dev
exec $B switch_root /newroot /lib/systemd/systemd
