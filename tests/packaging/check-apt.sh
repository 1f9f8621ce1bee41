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

# Two suites: "good" holds morvek-good, "broken" morvek-broken, whose Packages file no longer
# matches what its Release says.
for suite in good broken; do
    mkdir -p "$work/pkg-$suite/DEBIAN" "$work/archive/pool/$suite" "$work/archive/dists/$suite/main/binary-amd64"
    # A long description: apt-cache writes the record in many pieces, as it does for most packages.
    { printf 'Package: morvek-%s\nVersion: 1\nArchitecture: all\nMaintainer: t <t@t.invalid>\nDescription: t\n' \
        "$suite"; for _ in $(seq 2000); do echo " a line of the long description of a package"; done; } \
        >"$work/pkg-$suite/DEBIAN/control"
    dpkg-deb -b "$work/pkg-$suite" "$work/archive/pool/$suite/morvek-${suite}_1_all.deb" >/dev/null
    (cd "$work/archive" && apt-ftparchive packages "pool/$suite" >"dists/$suite/main/binary-amd64/Packages")
    (cd "$work/archive/dists/$suite" && apt-ftparchive -o APT::FTPArchive::Release::Suite="$suite" release . >Release)
done
echo "Package: morvek-late" >>"$work/archive/dists/broken/main/binary-amd64/Packages"

mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/dpkg"
: >"$work/dpkg/status"
for suite in good broken; do
    echo "deb [trusted=yes] file:$work/archive $suite main"
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

# What the lists have, and what they lack.
[ -z "$(unknown_packages morvek-good)" ] || fail "a package of the good index counts as unknown"
[ "$(unknown_packages morvek-good morvek-broken)" = morvek-broken ] || fail "the broken index's package is not named"

# A package that only the broken index had: the install fails, naming it.
status=0
install_packages morvek-broken 2>"$work/install" || status=$?
[ $status -ne 0 ] || fail "installing a package that no list holds succeeded"
grep -q 'cannot install morvek-broken' "$work/install" || fail "the message does not name the package: $(cat "$work/install")"

# Another apt holds the lists' lock for four seconds, longer than the retries of a failed
# index take: waited for, not taken for a broken index.
export MORVEK_APT_LOCK_WAIT=1
echo "deb [trusted=yes] file:$work/archive good main" >"$work/sources.list"
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
echo "apt: a broken index passed over with a warning, a missing package named, a held lock waited for"
