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

# Rewrites dist/SHA256SUMS over every release file of this version in dist/, so that each
# packaging script can add its artifact and leave one list for all of them.
dist_checksums() {
    local dist version
    dist="$(dirname "${BASH_SOURCE[0]}")/../dist"
    version="$(morvek_version)"
    (cd "$dist" && find . -maxdepth 1 -type f -name "morvek-$version-*" -printf '%f\n' | LC_ALL=C sort |
        xargs -r sha256sum >SHA256SUMS)
}
