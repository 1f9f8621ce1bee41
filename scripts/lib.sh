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
