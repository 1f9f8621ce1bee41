#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian package into a throw-away root with dpkg and checks the files and their
# modes, the computed dependencies, the installed binary and what the maintainer scripts ask
# of udev. check-deb.sh PACKAGE.deb, or check-deb.sh --cpack CPACK BUILD-DIR to make the
# package from a build folder first.
set -euo pipefail

command -v dpkg-deb >/dev/null || { echo "dpkg is not installed"; exit 77; }
[ "$(id -u)" -eq 0 ] || { echo "installing with dpkg needs root"; exit 77; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { [ ! -s "$work/log" ] || cat "$work/log"; echo "FAIL: $*"; exit 1; }
deb="$1"
if [ "$1" = --cpack ]; then
    (cd "$3" && "$2" -G DEB -B "$work/package") >"$work/log" 2>&1 || fail "cpack failed"
    deb="$(echo "$work"/package/*.deb)"
fi
[ -f "$deb" ] || { echo "no package at $deb (cpack -G DEB, or scripts/package-deb)"; exit 77; }
version="$(dpkg-deb -f "$deb" Version)"
depends="$(dpkg-deb -f "$deb" Depends)"
grep -Eq 'libqt(5core5a|6core6)' <<<"$depends" && grep -Eq 'libqt(5|6)serialport' <<<"$depends" ||
    fail "Depends does not name the Qt libraries: $depends"
# A cross-built package goes into the throw-away root all the same; its binary runs there
# through qemu-user, with the libraries of the target root (QEMU_LD_PREFIX).
arch="$(dpkg-deb -f "$deb" Architecture)"
force=()
run=()
if [ "$arch" != "$(dpkg --print-architecture)" ]; then
    force=(--force-architecture)
    case "$arch" in
    arm64) run=(qemu-aarch64) ;;
    armhf) run=(qemu-arm) ;;
    *) fail "no emulator known for $arch packages" ;;
    esac
fi

# The maintainer scripts run too (DPKG_ROOT set: they must leave the machine's udev alone).
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/log"
: >"$root/var/lib/dpkg/status"
dpkg --root="$root" --force-script-chrootless --force-depends ${force[@]+"${force[@]}"} -i "$deb" >"$work/log" 2>&1 ||
    fail "dpkg could not install the package"
while read -r path mode; do
    [ -s "$root/$path" ] || fail "$path is missing or empty"
    got="$(stat -c '%a %U:%G' "$root/$path")"
    [ "$got" = "$mode root:root" ] || fail "$path is $got, not $mode root:root"
done <<'EOF'
usr/bin/morvek 755
usr/lib/udev/rules.d/60-morvek.rules 644
usr/share/man/man1/morvek.1.gz 644
usr/share/doc/morvek/README.md.gz 644
usr/share/doc/morvek/copyright 644
usr/share/doc/morvek/changelog.gz 644
usr/share/bash-completion/completions/morvek 644
usr/share/morvek/morvek.schema.json 644
EOF
zcat "$root/usr/share/man/man1/morvek.1.gz" | grep -q "^\.TH MORVEK \"1\" .*\"morvek $version\"" ||
    fail "the man page is not made from morvek $version"
for section in 'EXIT STATUS' FILES EXAMPLES 'SEE ALSO' COPYRIGHT; do
    zcat "$root/usr/share/man/man1/morvek.1.gz" | grep -Eq "^\.SH \"?$section\"?\$" || fail "the man page has no $section"
done
# help2man joins the copyright and licence lines into one paragraph: each must end a sentence.
zcat "$root/usr/share/man/man1/morvek.1.gz" | sed -n '/^\.SH COPYRIGHT/,/^\.br/p' | sed '1d;$d' | grep -qv '\.$' &&
    fail "the man page's COPYRIGHT paragraph runs its lines together"
zcat "$root/usr/share/doc/morvek/changelog.gz" | sed -n 1p | grep -qF "morvek ($version) " ||
    fail "the changelog's newest entry is not $version"
[ "$(${run[@]+"${run[@]}"} "$root/usr/bin/morvek" --version | head -n 1)" = "morvek $version" ] || fail "installed binary is not $version"
# The completion offers every option that --help lists, and nothing else.
listed="$(${run[@]+"${run[@]}"} "$root/usr/bin/morvek" --help | grep -oE '^ +(-[a-z], )?--[a-z-]+' | tr -d ' ' | tr ',' '\n' | sort | paste -sd' ')"
offered="$(bash -c '. "$1"; COMP_WORDS=(morvek -); COMP_CWORD=1; _morvek; printf "%s\n" "${COMPREPLY[@]}"' sh \
    "$root/usr/share/bash-completion/completions/morvek" | sort | paste -sd' ')"
[ "$listed" = "$offered" ] || fail "bash completion offers '$offered', --help lists '$listed'"
dpkg --root="$root" --force-script-chrootless --purge morvek >"$work/log" 2>&1 ||
    fail "dpkg could not purge the package"
: >"$work/log"

# What the scripts ask of udev, in a private mount namespace where a socket at
# /run/udev/control stands for a running udev and udevadm only records its arguments (and
# fails, which must not fail the script).
unshare -m true 2>/dev/null || { echo "no mount namespaces here"; exit 77; }
dpkg-deb -e "$deb" "$work/control"
mkdir -p "$work/bin"
printf '#!/bin/sh\necho "$*" >>"%s"\nexit 1\n' "$work/udevadm.log" >"$work/bin/udevadm"
chmod +x "$work/bin/udevadm"
inner='mkdir -p /run/udev && mount -t tmpfs none /run/udev
[ "$3" = no-udev ] ||
    perl -MIO::Socket::UNIX -e "IO::Socket::UNIX->new(Local => q(/run/udev/control), Listen => 1) or die"
PATH="$4:$PATH" DPKG_ROOT= sh "$1" "$2"'
while IFS='|' read -r script arg udev expected; do
    : >"$work/udevadm.log"
    unshare -m sh -c "$inner" sh "$work/control/$script" "$arg" "$udev" "$work/bin" ||
        fail "$script $arg failed ($udev)"
    got="$(paste -sd';' "$work/udevadm.log")"
    [ "$got" = "$expected" ] || fail "$script $arg ($udev) ran udevadm '$got', not '$expected'"
done <<'EOF'
postinst|configure|udev|control --reload-rules;trigger --subsystem-match=tty --action=change
postinst|configure|no-udev|
postrm|remove|udev|control --reload-rules
EOF
echo "package $version installs, purges and reloads udev as expected"
