#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# How the scripts' apt calls (scripts/lib.sh) meet a broken archive, on a local one served
# from files, with apt's whole configuration private (APT_CONFIG), so the machine's package
# lists and database are not touched: an index of the wrong size ("Mirror sync in
# progress?") is asked for again, then passed over with a warning; a package that only that
# index had fails the install, and the message names it; another apt that holds the lists'
# lock is waited for.
set -euo pipefail
repo="$(cd "$(dirname "$0")/../.." && pwd)"
. "$repo/scripts/lib.sh"
command -v apt-ftparchive >/dev/null || { echo "apt-ftparchive (apt-utils) is not installed"; exit 77; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Makes package NAME (version 1, architecture amd64) in SUITE's pool, with further control
# lines and one file, usr/lib/NAME.so.1.
package() {
    local suite="$1" name="$2" extra="$3" tree="$work/pkg-$2"
    mkdir -p "$tree/DEBIAN" "$tree/usr/lib" "$work/archive/pool/$suite"
    # A long description: apt-cache writes the record in many pieces, as it does for most packages.
    { printf 'Package: %s\nVersion: 1\nArchitecture: amd64\nMaintainer: t <t@t.invalid>\n%sDescription: t\n' \
        "$name" "$extra"; for _ in $(seq 2000); do echo " a line of the long description of a package"; done; } \
        >"$tree/DEBIAN/control"
    echo "$name" >"$tree/usr/lib/$name.so.1"
    dpkg-deb -b "$tree" "$work/archive/pool/$suite/${name}_1_amd64.deb" >/dev/null
}
# Two suites: "good" holds morvek-good and two libraries, one needing the other; "broken"
# holds morvek-broken, and its Packages file no longer matches what its Release says.
package good morvek-good ""
package good libmorvek-base ""
package good libmorvek-tool "Depends: libmorvek-base
Pre-Depends: libmorvek-base
"
package broken morvek-broken ""
for suite in good broken; do
    mkdir -p "$work/archive/dists/$suite/main/binary-amd64"
    (cd "$work/archive" && apt-ftparchive packages "pool/$suite" >"dists/$suite/main/binary-amd64/Packages")
    (cd "$work/archive/dists/$suite" && apt-ftparchive -o APT::FTPArchive::Release::Suite="$suite" release . >Release)
done
echo "Package: morvek-late" >>"$work/archive/dists/broken/main/binary-amd64/Packages"

mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/dpkg"
: >"$work/dpkg/status"
for suite in good broken; do
    echo "deb [trusted=yes] copy:$work/archive $suite main"
done >"$work/sources.list"
cat >"$work/apt.conf" <<EOF
Dir::Etc::SourceList "$work/sources.list";
Dir::Etc::SourceParts "/dev/null";
Dir::State::Lists "$work/lists";
Dir::State::status "$work/dpkg/status";
Dir::Cache "$work/cache";
APT::Architecture "amd64";
APT::Architectures "amd64";
APT::Sandbox::User "root";
EOF
export APT_CONFIG="$work/apt.conf" MORVEK_APT_RETRY_SECONDS=1

# A broken index: asked for three times, then a warning that names it, and no failure.
start=$SECONDS
apt_update 2>"$work/update" || fail "apt_update failed on one broken index"
grep -q 'warning: some package lists could not be updated' "$work/update" || fail "no warning: $(cat "$work/update")"
grep -q 'broken' "$work/update" || fail "the warning does not name the broken index: $(cat "$work/update")"
[ $((SECONDS - start)) -ge 2 ] || fail "the broken index was not asked for again after a pause"
apt-cache show morvek-good >/dev/null 2>&1 || fail "the good index was not kept"

# A package that only the broken index had: the install fails, naming it.
status=0
install_packages morvek-broken 2>"$work/install" || status=$?
[ $status -ne 0 ] || fail "installing a package that no list holds succeeded"
grep -q '^E: .*morvek-broken' "$work/install" || fail "the message does not name the package: $(cat "$work/install")"

# Another apt holds the lists' lock for four seconds, longer than the retries of a failed
# index take: waited for, not taken for a broken index.
export MORVEK_APT_LOCK_WAIT=1
echo "deb [trusted=yes] copy:$work/archive good main" >"$work/sources.list"
python3 -c 'import fcntl, sys, time
f = open(sys.argv[1], "w")
fcntl.lockf(f, fcntl.LOCK_EX)
open(sys.argv[2], "w").close()
time.sleep(4)' "$work/lists/lock" "$work/locked" &
holder=$!
for _ in $(seq 50); do [ -e "$work/locked" ] && break; sleep 0.1; done
start=$SECONDS
apt_update 2>"$work/locked-update" || fail "apt_update failed while another apt held the lists' lock"
wait "$holder"
[ $((SECONDS - start)) -ge 2 ] || fail "apt_update did not wait for the lock: $(cat "$work/locked-update")"
! grep -q warning "$work/locked-update" || fail "a held lock was taken for a broken index: $(cat "$work/locked-update")"

# A foreign root, made of the same archive: a library with what it needs and a package alone,
# unpacked with the libraries' control files; made again from what is already downloaded, it is
# the same root and is not unpacked again.
private_apt=(apt-get) private_cache=(apt-cache) apt_dir="$work" morvek_cache="$work/cache-root"
closure=(libmorvek-tool) alone=(morvek-good)
root="$(foreign_root amd64)"
for pass in first second; do
    prepare_root amd64 2>"$work/root-$pass" || fail "the $pass root: $(cat "$work/root-$pass")"
    for name in libmorvek-tool libmorvek-base morvek-good; do
        [ -f "$root/root/usr/lib/$name.so.1" ] || fail "the $pass root lacks $name: $(cat "$work/root-$pass")"
    done
    [ -f "$root/pkgs/libmorvek-base/DEBIAN/control" ] || fail "the $pass root keeps no control files of libmorvek-base"
    [ ! -e "$root/pkgs/morvek-good" ] || fail "a package that is no library went to pkgs/"
done
grep -q 'up to date' "$work/root-second" || fail "the root was unpacked again: $(cat "$work/root-second")"
closure=(libmorvek-none)
! prepare_root amd64 2>"$work/root-none" || fail "a root of a package the lists lack was made"
grep -q 'libmorvek-none' "$work/root-none" || fail "the message does not name the package: $(cat "$work/root-none")"
echo "apt: a broken index passed over with a warning, a missing package named, a held lock waited for, a foreign root made once"
