#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times morvek's two-device run on simulated devices, built with Debian's Qt and as the
# twin of the single-file binary (static Qt, the C library shared: umockdev's preloaded
# library cannot reach into the fully static one), against bench/minimal.c, a plain C
# program doing the same exchange, and prints min / median / max wall time, peak memory and
# CPU time of each.
# Usage: bench/run.sh [runs]   (at least 30; builds morvek into build-bench/ and the static
#                              binaries with scripts/build static first)
#        bench/run.sh --discovery   (only discovery's part, the last below)
#        bench/run.sh --guard [runs]   (at least 20, default 20; no discovery part) fails
#                              when the static twin's median is above 1.5 times the minimal
#                              program's, or its median CPU time above twice the minimal
#                              program's and 4 ms: loose enough for a loaded CI machine,
#                              tight enough to catch a run that waits for the kernel
#                              (20 ms) or a start-up that doubles
#        bench/run.sh --programs DEBIAN_QT STATIC [runs]   times these two binaries instead
#                              of the ones built here (another checkout's, for a before and
#                              after)
#
# Each run gets a fresh testbed (umockdev-run) at the lowest priority; inside it
# bench/launch.c times the program alone, from exec to exit, at normal priority. The three
# programs take turns (A B C A B C ...), and a run with the wrong output or status fails the
# benchmark. The simulated devices use ttyACM40 and ttyACM41, which no test uses, so the
# benchmark can run beside the test suite.
#
# Discovery's part times `morvek --list` under umockdev on generated trees: the tool's two
# devices alone, among 1000 foreign USB devices without ttys, and among 100 foreign devices
# with a ttyACM each, next to two general libraries that list serial ports on the same trees
# (libserialport, bench/libserialport-list.c; pyserial's comports()).
set -euo pipefail
cd "$(dirname "$0")/.."
guard=false
debian_qt=""
static=""
runs=""
while [ $# -gt 0 ]; do
    case $1 in
    --discovery) runs=0 ;;
    --guard) guard=true ;;
    --programs)
        [ $# -ge 3 ] || { echo "bench/run.sh: --programs takes two binaries" >&2; exit 2; }
        debian_qt="$(readlink -f "$2")"
        static="$(readlink -f "$3")"
        shift 2
        ;;
    *[!0-9]* | "") echo "bench/run.sh: unknown argument '$1'" >&2; exit 2 ;;
    *) runs="$1" ;;
    esac
    shift
done
least=30
"$guard" && least=20
runs="${runs:-$least}"
if "$guard" && [ "$runs" -eq 0 ]; then
    echo "bench/run.sh: --guard times the run, not discovery's part" >&2
    exit 2
elif [ "$runs" -ne 0 ] && [ "$runs" -lt "$least" ]; then
    echo "bench/run.sh: at least $least runs each" >&2
    exit 2
fi
scripts/install-deps bench
# Raising the timed program back to nice 0 needs root (as_root).
. scripts/lib.sh

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DMORVEK_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" --target morvek discoverybench >/dev/null
[ -n "$debian_qt" ] || debian_qt=build-bench/morvek
[ "$runs" -eq 0 ] || [ -n "$static" ] || static="$(scripts/build static | tail -n 2 | head -n 1)"
gcc -O2 -Wall -Wextra -Werror -o build-bench/minimal bench/minimal.c
gcc -O2 -Wall -Wextra -Werror -o build-bench/launch bench/launch.c
gcc -O2 -Wall -Wextra -Werror -o build-bench/libserialport-list bench/libserialport-list.c \
    -lserialport

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
if [ "$runs" -gt 0 ]; then
    for _ in $(seq "$runs"); do
        measure debian-qt "$debian_qt"
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
    if "$guard"; then
        read -r static_med _ _ < <(stats static 1)
        read -r static_cpu _ _ < <(stats static 3)
        read -r base_cpu _ _ < <(stats minimal 3)
        # The CPU bound follows the minimal program's CPU time in the same runs: what an exec
        # costs differs threefold between machines, and a spin instead of a wait adds far more.
        if ! awk -v t="$static_med" -v b="$base_med" -v c="$static_cpu" -v m="$base_cpu" 'BEGIN {
            limit = 2 * m + 4000
            ok = t <= 1.5 * b && c <= limit
            printf "guard: the static twin takes %.2f times the minimal program (at most 1.50) and %.1f ms of CPU (at most %.1f: twice the minimal program'"'"'s %.1f, and 4): %s\n",
                t / b, c / 1000, limit / 1000, m / 1000, ok ? "passed" : "FAILED"
            exit !ok }'; then
            echo "bench/run.sh: the static twin is slower than the guard allows" >&2
            exit 1
        fi
        exit 0
    fi
    # What a real line costs, which the ptys do not model: 10 bits a byte at 19200 baud.
    awk 'BEGIN { d = (6 + 14) * 10 / 19200 * 1000
        printf "floor on a real line at 19200 8N1: %.1f ms a device (6-byte command, 14-byte reply), %.1f ms for two\n", d, 2 * d }'
fi

echo "discovery's tree reader over generated trees in a plain directory:"
build-bench/discoverybench --umockdev "$work"

# Inside one testbed per tree: 9 runs of each program. For morvek the whole run's CPU time
# (from launch), for the libraries that of their listing call alone.
printf '2\tCOM41\t/dev/ttyACM40\t2\tproduct\n1\tCOM42\t/dev/ttyACM41\t1\tproduct\n' >"$work/expected"
pyserial='import time
from serial.tools import list_ports
start = time.process_time()
ports = list_ports.comports()
found = [p for p in ports if p.vid == 0x04D8 and p.pid == 0x000A and p.product]
print("%d %d %d" % ((time.process_time() - start) * 1e6, len(ports), len(found)))'
inside='for _ in $(seq 9); do
    build-bench/launch "$1/result" build-bench/morvek --list >"$1/output" || exit 1
    cmp -s "$1/output" "$1/expected" || { echo "wrong --list output:" >&2; cat "$1/output" >&2; exit 1; }
    cut -d" " -f4 "$1/result" >>"$1/morvek-$2"
    build-bench/libserialport-list >>"$1/libserialport-$2"
    /usr/bin/python3 -c "$3" >>"$1/pyserial-$2"
done'
# Median of the first column, in ms; fails unless every run found the tool's 2 devices.
median_ms() {
    awk '$3 != "" && $3 != 2 { bad = 1 } { print $1 } END { exit bad }' "$1" >"$1.cpu" || {
        echo "bench/run.sh: $1 did not find the tool's 2 devices every time" >&2
        exit 1
    }
    sort -n "$1.cpu" | awk '{ v[NR] = $1 } END { printf "%.2f", v[int((NR + 1) / 2)] / 1000 }'
}
echo "CPU under umockdev, median of 9 runs (ms): morvek --list, whole run; the libraries' listing call"
printf "%-44s %14s %8s %14s %10s\n" tree "morvek --list" added libserialport pyserial
for tree in alone foreign foreign-ttys; do
    as_root nice -n 19 umockdev-run -d "$work/$tree.umockdev" -- \
        bash -c "$inside" inside "$work" "$tree" "$pyserial"
done
alone="$(median_ms "$work/morvek-alone")"
for tree in alone foreign foreign-ttys; do
    case $tree in
    alone) what="the tool's 2 devices alone" ;;
    foreign) what="+ 1000 foreign USB devices without ttys" ;;
    foreign-ttys) what="+ 100 foreign USB devices with a ttyACM each" ;;
    esac
    tool="$(median_ms "$work/morvek-$tree")"
    printf "%-44s %14s %8s %14s %10s\n" "$what" "$tool" \
        "$(awk -v a="$alone" -v t="$tool" 'BEGIN { printf "%+.2f", t - a }')" \
        "$(median_ms "$work/libserialport-$tree")" "$(median_ms "$work/pyserial-$tree")"
done
