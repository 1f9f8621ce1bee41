#!/bin/busybox sh
# SPDX-License-Identifier: MIT
# The VM suite's init (PID 1, busybox sh): mounts what the suite needs, loads the USB gadget
# and host modules, and hands over to the VM stage (/vm/tests/e2e/vm.py), which plays the
# scenarios on CDC-ACM gadgets of dummy_hcd and prints a record of each run; then powers off.
# /vm/mode: "test", "test NAME", or "record".
/bin/busybox --install -s /bin
export PATH=/bin:/usr/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t debugfs debugfs /sys/kernel/debug
mkdir -p /run/lock /tmp /var
chmod 1777 /run/lock /tmp
ln -s /run/lock /var/lock
# Users that cases name: daemon owns a stale lock file, nobody runs as another user.
mkdir -p /etc
printf 'root:x:0:0::/:/bin/sh\ndaemon:x:1:1::/:/bin/false\nnobody:x:65534:65534::/:/bin/false\n' >/etc/passwd
dmesg -n 1
for m in configfs dummy_hcd libcomposite usb_f_acm usb_f_ss_lb cdc-acm usbmon; do
    case $m in dummy_hcd) modprobe $m num=4 ;; *) modprobe $m ;; esac || echo "cannot load $m"
done
mount -t configfs configfs /sys/kernel/config
# One reset a device, not two: the first descriptor is not asked before the address is set.
# Nothing of the tool's differs; every plug is a tenth of a second sooner.
echo Y >/sys/module/usbcore/parameters/old_scheme_first || echo "cannot set old_scheme_first"
python3 -S /vm/tests/e2e/vm.py $(cat /vm/mode)
sync
poweroff -f
