#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs udev's own rule engine (udevadm test) over a simulated device with only the given
# rule file loaded, and checks whether the rule applied.
# check-rule.sh RULE-FILE DEVICES.umockdev TTY (--applies | --does-not-apply)
set -euo pipefail
rule="$1" devices="$2" tty="$3" expect="$4"

command -v udevadm >/dev/null || { echo "udevadm is not installed"; exit 77; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/rules"
cp "$rule" "$work/rules/"

# A private mount namespace: udev reads only our rule and writes its database to a
# throw-away folder, never to the machine's own.
inner='
mkdir -p /run/udev
mount -t tmpfs none /run/udev
for dir in /usr/lib/udev/rules.d /lib/udev/rules.d /etc/udev/rules.d; do
    [ -d "$dir" ] && mount --bind "$1" "$dir"
done
udevadm test --action=add "/sys/class/tty/$2"
'
if ! unshare -m true 2>/dev/null; then
    echo "no mount namespaces here"
    exit 77
fi
umockdev-run -d "$devices" -- unshare -m sh -c "$inner" sh "$work/rules" "$tty" >"$work/log" 2>&1 ||
    { cat "$work/log"; echo "FAIL: udevadm test failed"; exit 1; }

# udev names the file and line of every rule it cannot parse.
if grep -F "$(basename "$rule"):" "$work/log"; then
    echo "FAIL: udev does not accept the rule file"
    exit 1
fi
grep -q "Reading rules file: .*/$(basename "$rule")" "$work/log" || { echo "FAIL: rule file not read"; exit 1; }
applied=0
grep -q '^TAGS=.*:uaccess:' "$work/log" && grep -q '^ID_MM_DEVICE_IGNORE=1$' "$work/log" && applied=1
case "$expect" in
--applies) [ $applied -eq 1 ] || { cat "$work/log"; echo "FAIL: rule did not apply"; exit 1; } ;;
--does-not-apply) [ $applied -eq 0 ] || { echo "FAIL: rule applied to a foreign device"; exit 1; } ;;
esac
echo "ok: rule $expect to $tty"
