# SPDX-License-Identifier: MIT
# Sourced by the scripts: what several of them need to agree on.

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

# Exports SOURCE_DATE_EPOCH (unless set) as the time of the last commit, so that dates and
# file times in what is built come from the source and rebuilds are identical. Outside a
# git checkout (an unpacked source archive) it is the time of VERSION, which git archive
# sets to that commit's time.
export_source_date_epoch() {
    local repo
    repo="$(dirname "${BASH_SOURCE[0]}")/.."
    if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
        SOURCE_DATE_EPOCH="$(git -C "$repo" log -1 --format=%ct 2>/dev/null || stat -c %Y "$repo/VERSION")"
    fi
    export SOURCE_DATE_EPOCH
}

# Sets debian_build_flags to the CMake arguments for building as Debian builds its packages:
# the compiler and linker flags of dpkg-buildflags (hardening, the source path mapped to "."),
# and no build type of CMake's own on top. The package is built, and the tests run, with
# these. Run from the top of the source tree; debian_build_flags BUILD-DIR maps the build
# folder's path too, so that builds in other folders give the same binary.
debian_build_flags() {
    local build
    build="$(mkdir -p "$1" && cd "$1" && pwd)"
    export DEB_BUILD_MAINT_OPTIONS="hardening=+all"
    debian_build_flags=(-DCMAKE_BUILD_TYPE=None
        "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS) -ffile-prefix-map=$build=build"
        "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)")
}

# Rewrites dist/SHA256SUMS over every release file of this version in dist/, so that each
# packaging script can add its artifact and leave one list for all of them.
dist_checksums() {
    local dist version
    dist="$(dirname "${BASH_SOURCE[0]}")/../dist"
    version="$(morvek_version)"
    (cd "$dist" && find . -maxdepth 1 -type f -name "morvek-$version-*" -printf '%f\n' | LC_ALL=C sort |
        xargs -r sha256sum >SHA256SUMS)
}

# Fetches Debian's source package SOURCE (or SOURCE=VERSION) into DIR with apt-get source,
# passing on further apt-get source options (such as --download-only). The deb-src entries
# it needs live in an apt configuration of its own under DIR/apt, with the same mirrors and
# suites as the machine's deb entries, so the machine's apt sources stay as they were.
fetch_debian_source() {
    local dir="$1" source="$2" apt_dir
    shift 2
    apt_dir="$dir/apt"
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
    apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(TARGET_OF)' | awk '$3 == "deb"' | sort -u |
        while read -r uri suite _; do
            echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri $suite main"
        done >"$apt_dir/sources.list"
    [ -s "$apt_dir/sources.list" ] || { echo "apt knows no Debian archive to fetch $source from" >&2; return 1; }
    local apt=(apt-get -qq -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache" -o APT::Sandbox::User=root)
    "${apt[@]}" update >/dev/null || return 1
    (cd "$dir" && "${apt[@]}" source --only-source "$@" "$source" >/dev/null)
}
