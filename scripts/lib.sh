# SPDX-License-Identifier: MIT
# Sourced by the scripts: what several of them need to agree on (docs/testing.md, "What is
# installed, and when", tells the apt side).

# Where built inputs (the Qt kits, kernels, the Wine prefix) are kept between runs.
morvek_cache="${MORVEK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/morvek}"

# Runs a command as root: directly when we are root, otherwise through sudo.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        sudo "$@"
    fi
}

# The project version, from the one file that CMake reads it from too.
morvek_version() {
    tr -d ' \n' <"$(dirname "${BASH_SOURCE[0]}")/../VERSION"
}

# Exports SOURCE_DATE_EPOCH (unless set): the last commit's time, or in an unpacked source
# archive that of VERSION, which git archive sets to it. Rebuilds are then identical.
export_source_date_epoch() {
    local repo
    repo="$(dirname "${BASH_SOURCE[0]}")/.."
    if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
        SOURCE_DATE_EPOCH="$(git -C "$repo" log -1 --format=%ct 2>/dev/null || stat -c %Y "$repo/VERSION")"
    fi
    export SOURCE_DATE_EPOCH
}

# Sets debian_build_flags to CMake's arguments for building as Debian does: dpkg-buildflags'
# flags and no build type of CMake's own. Run from the top of the tree; the build folder
# BUILD-DIR is mapped too, so that builds in other folders give the same binary.
debian_build_flags() {
    local build
    build="$(mkdir -p "$1" && cd "$1" && pwd)"
    export DEB_BUILD_MAINT_OPTIONS="hardening=+all"
    debian_build_flags=(-DCMAKE_BUILD_TYPE=None
        "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS) -ffile-prefix-map=$build=build"
        "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)")
}

# Rewrites dist/SHA256SUMS over every release file of this version in dist/.
dist_checksums() {
    local dist version
    dist="$(dirname "${BASH_SOURCE[0]}")/../dist"
    version="$(morvek_version)"
    (cd "$dist" && find . -maxdepth 1 -type f -name "morvek-$version-*" -printf '%f\n' | LC_ALL=C sort |
        xargs -r sha256sum >SHA256SUMS)
}

# Fetches Debian's source package SOURCE (or SOURCE=VERSION) into DIR, with further apt-get
# source options, through a private apt under DIR/apt: the machine's sources stay as they were.
fetch_debian_source() {
    local dir="$1" source="$2"
    shift 2
    private_apt "$(dpkg --print-architecture)" "$dir/apt" deb-src || return 1
    apt_update "${private_apt[@]:1}"
    (cd "$dir" && "${private_apt[@]}" -qq source --only-source "$@" "$source" >/dev/null)
}

# --- Debian packages ------------------------------------------------------------------------
# The host's packages that each step needs: scripts/install-deps installs them; every other
# script only checks (require_step). Foreign architectures' go into roots (foreign_root).
step_packages() {
    local step
    for step in "$@"; do
        case "$step" in
        demo) echo build-essential cmake pkg-config qtbase5-dev libqt5serialport5-dev umockdev ;;
        debian | bench)
            step_packages demo
            echo udev python3 python3-jsonschema help2man dpkg-dev file binutils perl xz-utils make patch debootstrap \
                qemu-system-x86 busybox-static cpio kmod
            [ "$step" = debian ] || echo gcc libserialport-dev python3-serial ;;
        qt6) step_packages demo; echo udev python3 python3-jsonschema help2man dpkg-dev file qt6-base-dev qt6-serialport-dev \
                g++-mingw-w64-x86-64-posix ;;
        arm64 | armhf)
            step_packages demo
            echo python3 python3-jsonschema help2man dpkg-dev file qemu-user qemu-system-arm cpio kmod \
                "g++-$([ "$step" = arm64 ] && echo aarch64-linux-gnu || echo arm-linux-gnueabihf)" ;;
        windows)
            echo cmake g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 python3 python3-jsonschema gcc libc6-dev \
                icoutils dpkg-dev perl xz-utils make patch unzip ;;
        ci) step_packages debian qt6 arm64 armhf windows; echo clang clang-format lintian apt-utils ccache ;;
        *) echo "no step $step (demo, bench, debian, qt6, arm64, armhf, windows, ci)" >&2; return 2 ;;
        esac
    done
}

# The packages among PACKAGE... that are not installed.
missing_packages() {
    [ $# -gt 0 ] || return 0
    local installed
    installed="$(dpkg-query -W -f='${Package}:${Status}\n' "$@" 2>/dev/null | sed -n 's/:install ok installed$//p')"
    printf '%s\n' "$@" | sort -u | { grep -vxF -f <(printf '%s\n' "$installed") || true; } | tr '\n' ' ' |
        sed 's/ $//'
}

# Ends the script, naming them, when packages that STEP... needs are missing.
require_step() {
    local packages missing
    packages="$(step_packages "$@")" || exit 2
    # shellcheck disable=SC2086 # one name a word
    missing="$(missing_packages $packages)"
    [ -z "$missing" ] && return 0
    echo "missing Debian packages: $missing (scripts/install-deps $* installs them)" >&2
    exit 1
}

# apt-get, waiting for another apt (DPkg::Lock::Timeout does not cover the lists' lock);
# its output goes to standard error.
apt_get() {
    local tries=0 status out
    while :; do
        status=0
        out="$(as_root env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=600 "$@" 2>&1)" ||
            status=$?
        if [ $status -ne 0 ] && [ $tries -lt 120 ] && grep -q 'Could not get lock\|Unable to lock' <<<"$out"; then
            tries=$((tries + 1))
            sleep "${MORVEK_APT_LOCK_WAIT:-5}"
            continue
        fi
        # What a reader needs: the outcome and apt's warnings and errors, not dpkg's progress.
        grep -v '^\(Reading\|Building\|Get:\|Hit:\|Ign:\|Fetched\|W: Download is performed unsandboxed\|Selecting\|Preparing\|Unpacking\|Setting up\|Processing\|(Reading\|  \)' \
            <<<"$out" >&2 || true
        return $status
    done
}

# Updates the package lists (apt-get OPTION... update); a list that fails to download is asked
# for again after a pause, then passed over with a warning.
apt_update() {
    local try out
    for try in 1 2 3; do
        if out="$(apt_get "$@" update 2>&1)" && ! grep -q '^[WE]: ' <<<"$out"; then
            return 0
        fi
        [ $try -eq 3 ] || sleep "${MORVEK_APT_RETRY_SECONDS:-20}"
    done
    echo "warning: some package lists could not be updated; going on with the lists there are:" >&2
    grep '^[WE]: ' <<<"$out" | sed 's/^/    /' >&2 || true
}

# Installs the host's packages among PACKAGE... that are missing, in one transaction; apt's
# own messages name a package that cannot be installed.
install_packages() {
    local missing
    missing="$(missing_packages "$@")"
    [ -n "$missing" ] || return 0
    echo "installing $missing" >&2
    apt_update
    # shellcheck disable=SC2086 # one name a word
    apt_get install -y --no-install-recommends $missing ||
        { echo "could not install $missing (apt's messages above)" >&2; return 1; }
}

# --- Foreign architectures' packages, in roots of our own -------------------------------------
# Sets private_apt to an apt-get command for ARCH's packages (or with deb-src, sources) from
# the machine's Debian mirrors, with its own lists, cache and empty database under DIR.
private_apt() {
    local arch="$1" dir="$2" kind="${3:-deb}"
    mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial" "$dir/dpkg"
    [ -f "$dir/dpkg/status" ] || : >"$dir/dpkg/status"
    apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(TARGET_OF) $(ORIGIN)' |
        awk '$3 == "deb" && $4 == "Debian"' | sort -u | while read -r uri suite _; do
        if [ "$kind" = deb-src ]; then
            echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri $suite main"
        else
            echo "deb [arch=$arch signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri $suite main"
        fi
    done >"$dir/sources.list"
    [ -s "$dir/sources.list" ] || { echo "apt knows no Debian archive to fetch $arch packages from" >&2; return 1; }
    private_apt=(apt-get -o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o Dir::State::Lists="$dir/lists" -o Dir::State::status="$dir/dpkg/status" -o Dir::Cache="$dir/cache"
        -o APT::Architecture="$arch" -o APT::Architectures="$arch" -o APT::Sandbox::User=root
        -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts=/dev/null)
}

# The root of ARCH's packages that its cross build and VM take everything from.
foreign_root() {
    echo "$morvek_cache/debian-$1"
}

# From here on apt-get, apt and debootstrap refuse, and each call is written to DIR/calls.
forbid_installs() {
    local dir="$1" tool
    mkdir -p "$dir"
    : >"$dir/calls"
    for tool in apt-get apt debootstrap; do
        printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\necho "%s: refused: nothing installs after scripts/install-deps" >&2\nexit 100\n' \
            "$tool" "$dir" "$tool" >"$dir/$tool"
        chmod 755 "$dir/$tool"
    done
    export PATH="$dir:$PATH"
}

# Fetches, once per version, Debian's source of the C library that the single-file binary
# links (libc6-dev's) into the cache, for the source archive; prints its folder.
fetch_glibc_source() {
    local glibc dir
    glibc="$(dpkg-query -W -f='${source:Version}' libc6-dev 2>/dev/null)" ||
        { echo "libc6-dev is not installed" >&2; return 1; }
    dir="$morvek_cache/glibc-source-$glibc"
    if [ ! -f "$dir/.complete" ]; then
        rm -rf "$dir"
        mkdir -p "$dir"
        fetch_debian_source "$dir" "glibc=$glibc" --download-only || {
            echo "could not fetch Debian's glibc $glibc source, which the single-file binary links" \
                "(upgrade libc6-dev to the archive's version, or check the network)" >&2
            return 1
        }
        touch "$dir/.complete"
    fi
    echo "$dir"
}

# Downloads ARCH's PACKAGE... (--closure: with what they need) with private_apt and
# private_cache into $apt_dir/cache/archives where missing; prints the files' names.
fetch_debs() {
    local arch="$1" closure="$2" files
    shift 2
    if [ "$closure" = --closure ]; then
        files="$("${private_apt[@]}" -qq install -s -y --no-install-recommends "$@" |
            sed -n 's/^Inst \([^ ]*\) (\([^ ]*\) [^[]*\[\([^]]*\)\]).*/\1_\2_\3.deb/p')"
    else
        files="$("${private_cache[@]}" show --no-all-versions "$@" |
            awk '/^Package:/ { p = $2 } /^Version:/ { v = $2 } /^Architecture:/ { a = $2 }
                 /^$/ { if (p) print p "_" v "_" a ".deb"; p = "" } END { if (p) print p "_" v "_" a ".deb" }')"
    fi || { echo "cannot find $arch packages: $*" >&2; return 1; }
    files="${files//:/%3a}"
    [ -n "$files" ] || { echo "cannot find $arch packages: $*" >&2; return 1; }
    if [ -n "$(cd "$apt_dir/cache/archives" && ls $files 2>&1 >/dev/null)" ]; then
        if [ "$closure" = --closure ]; then
            "${private_apt[@]}" -qq install --download-only -y --no-install-recommends "$@" >/dev/null
        else
            (cd "$apt_dir/cache/archives" && "${private_apt[@]}" -qq download "$@" 2>&1 |
                grep -v '^W: Download is performed unsandboxed' >&2 || true)
        fi
        [ -z "$(cd "$apt_dir/cache/archives" && ls $files 2>&1 >/dev/null)" ] ||
            { echo "cannot download $arch packages: $*" >&2; return 1; }
    fi
    echo "$files"
}

# ARCH's packages closure[@] (with what they need) and alone[@] unpacked in root/ of its
# foreign_root, and each library with its control files in pkgs/NAME/ for dpkg-shlibdeps;
# unpacked again only when the set of package files changes.
prepare_root() {
    local arch="$1" dir deb debs key
    dir="$(foreign_root "$arch")"
    debs="$( { fetch_debs "$arch" --closure "${closure[@]}" && fetch_debs "$arch" --alone "${alone[@]}"; } | sort -u)" ||
        return 1
    key="$(sha256sum <<<"$debs" | cut -d' ' -f1)"
    if [ "$(cat "$dir/root/.key" 2>/dev/null)" = "$key" ]; then
        echo "the $arch root is up to date" >&2
        return 0
    fi
    echo "unpacking $(wc -l <<<"$debs") $arch packages into $dir/root" >&2
    rm -rf "$dir/root" "$dir/pkgs"
    mkdir -p "$dir/root" "$dir/pkgs"
    for deb in $debs; do
        dpkg-deb -x "$apt_dir/cache/archives/$deb" "$dir/root"
        case "$deb" in lib*) dpkg-deb -R "$apt_dir/cache/archives/$deb" "$dir/pkgs/${deb%%_*}" ;; esac
    done
    echo "$key" >"$dir/root/.key"
}
