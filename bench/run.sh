#!/usr/bin/env bash
# Times morvek's two-device run on simulated devices, built with Debian's Qt and as the
# single-file static binary, against bench/minimal.c, a plain C program doing the same
# exchange, and prints min / median / max wall time, peak memory and CPU time of each.
# Usage: bench/run.sh [runs]   (at least 30; builds morvek into build-bench/ and the static
# binary with scripts/build-linux-static first)
#
# Each run gets a fresh testbed (umockdev-run) at the lowest priority; inside it
# bench/launch.c times the program alone, from exec to exit, at normal priority. The three
# programs take turns (A B C A B C ...), and a run with the wrong output or status fails the
# benchmark. The simulated devices use ttyACM40 and ttyACM41, which no test uses, so the
# benchmark can run beside the test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-30}"
if [ "$runs" -lt 30 ]; then
    echo "bench/run.sh: at least 30 runs each" >&2
    exit 2
fi
scripts/install-deps gcc
# Raising the timed program back to nice 0 needs root (as_root).
. scripts/lib.sh

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DMORVEK_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" --target morvek discoverybench >/dev/null
static="$(scripts/build-linux-static | tail -n 1)"
gcc -O2 -Wall -Wextra -Werror -o build-bench/minimal bench/minimal.c
gcc -O2 -Wall -Wextra -Werror -o build-bench/launch bench/launch.c

expected="12.5,7.25"
# QSerialPort writes and syncs a lock file in /var/lock for each port. On an installed
# system /run (and /run/lock) is a tmpfs; where it is not (containers, chroots), each sync
# waits on the disk behind whatever else writes to it. The testbed gets a tmpfs of its own
# there, so that the runs measure the programs, not the disk.
lock_dir="$(readlink -f /var/lock)"
testbed=(unshare --mount --propagation private
         sh -c 'mount -t tmpfs -o size=1m,mode=1777 morvek-bench "$0" && shift && exec "$@"'
         "$lock_dir" --
         nice -n 19 umockdev-run -d bench/two-devices.umockdev
         -s /dev/ttyACM40=tests/data/reply-7.25.script
         -s /dev/ttyACM41=tests/data/reply-12.5.script)
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# One run of one program in a fresh testbed; appends "wall-us KiB cpu-us" to $work/NAME.
measure() {
    local name="$1"
    shift
    rm -f "$work/result" "$work/output"
    if ! as_root "${testbed[@]}" -- build-bench/launch "$work/result" "$@" \
        >"$work/output" 2>"$work/stderr"; then
        echo "bench/run.sh: the testbed failed for $name:" >&2
        cat "$work/stderr" >&2
        exit 1
    fi
    local us kib status cpu
    read -r us kib status cpu <"$work/result"
    if [ "$status" != 0 ] || [ "$(cat "$work/output")" != "$expected" ]; then
        echo "bench/run.sh: $name printed '$(cat "$work/output")' with status $status," \
             "expected '$expected' with status 0" >&2
        exit 1
    fi
    echo "$us $kib $cpu" >>"$work/$name"
}

# A second benchmark at the same time would take the same tty names and skew both.
exec {lock}>/tmp/morvek-bench.lock
flock "$lock"
for _ in $(seq "$runs"); do
    measure debian-qt build-bench/morvek
    measure static "$static"
    measure minimal build-bench/minimal /dev/ttyACM41 /dev/ttyACM40
done

# Prints "median min max" of one column of one program's samples.
stats() {
    cut -d' ' -f"$2" "$work/$1" | sort -n | awk '
        { v[NR] = $1 }
        END { printf "%d %d %d\n", v[int((NR + 1) / 2)], v[1], v[NR] }'
}
echo "$runs runs each, alternating, two simulated devices, every output '$expected'"
echo "on $(nproc) cores of $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
printf "%-10s %10s %10s %10s %14s %14s %11s\n" program median min max "median RSS" "max RSS" \
    "median CPU"
read -r base_med _ _ < <(stats minimal 1)
ratios=()
for name in debian-qt static minimal; do
    read -r med min max < <(stats "$name" 1)
    read -r rss _ rss_max < <(stats "$name" 2)
    read -r cpu _ _ < <(stats "$name" 3)
    awk -v n="$name" -v a="$med" -v b="$min" -v c="$max" -v d="$rss" -v e="$rss_max" -v f="$cpu" 'BEGIN {
        printf "%-10s %7.1f ms %7.1f ms %7.1f ms %10d KiB %10d KiB %8.1f ms\n",
            n, a/1000, b/1000, c/1000, d, e, f/1000 }'
    [ "$name" = minimal ] ||
        ratios+=("$(awk -v n="$name" -v t="$med" -v b="$base_med" -v r="$rss" 'BEGIN {
            printf "%s %.2f (peak RSS %.2f MiB median)", n, t / b, r / 1024 }')")
done
echo "median ratio to minimal: ${ratios[0]}; ${ratios[1]}"
# What a real line costs, which the ptys do not model: 10 bits a byte at 19200 baud.
awk 'BEGIN { d = (6 + 14) * 10 / 19200 * 1000
    printf "floor on a real line at 19200 8N1: %.1f ms a device (6-byte command, 14-byte reply), %.1f ms for two\n", d, 2 * d }'

echo "discovery over a generated tree of 1000 USB devices, 2 of them matching:"
build-bench/discoverybench
