#!/usr/bin/env bash
# Times morvek's two-device run on simulated devices against a minimal C program doing
# the same exchange, and prints median, minimum and maximum wall time and peak memory.
# Usage: bench/run.sh [runs]   (builds morvek into build-bench/ first)
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-30}"
scripts/install-deps time gcc bc

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DMORVEK_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" --target morvek >/dev/null
gcc -O2 -Wall -Wextra -Werror -o build-bench/minimal bench/minimal.c

data=tests/data
testbed=(umockdev-run -d "$data/e2e-two-devices.umockdev"
         -s "/dev/ttyACM0=$data/reply-7.25.script" -s "/dev/ttyACM1=$data/reply-12.5.script")

# One run inside a fresh testbed: prints "milliseconds kilobytes" of the program alone.
measure() {
    "${testbed[@]}" -- sh -c '
        out=$(mktemp)
        start=$(date +%s%N)
        /usr/bin/time -f "%M" -o "$out" "$@" >/dev/null
        end=$(date +%s%N)
        echo "$(( (end - start) / 1000 )) $(cat "$out")"
        rm -f "$out"' sh "$@"
}

# Prints the figures of one program and leaves "median peak" in the named variable.
summary() {
    local name="$1" result="$2"
    shift 2
    local samples line
    samples="$(for _ in $(seq "$runs"); do measure "$@"; done)"
    line="$(sort -n <<<"$samples" | awk '
        { t[NR] = $1; if ($2 > m) m = $2 }
        END { print t[int((NR + 1) / 2)], t[1], t[NR], m }')"
    read -r median low high peak <<<"$line"
    printf "%-8s median %6.1f ms  min %6.1f ms  max %6.1f ms  peak RSS %6d KiB\n" "$name" \
        "$(bc <<<"scale=1; $median / 1000")" "$(bc <<<"scale=1; $low / 1000")" \
        "$(bc <<<"scale=1; $high / 1000")" "$peak"
    printf -v "$result" '%s %s' "$median" "$peak"
}

echo "output: morvek '$("${testbed[@]}" -- build-bench/morvek)'," \
     "minimal '$("${testbed[@]}" -- build-bench/minimal /dev/ttyACM1 /dev/ttyACM0)'"
echo "$runs runs each, two simulated devices:"
summary morvek tool build-bench/morvek
summary minimal base build-bench/minimal /dev/ttyACM1 /dev/ttyACM0
read -r tool_ms tool_kb <<<"$tool"
read -r base_ms base_kb <<<"$base"
echo "morvek / minimal: time $(bc <<<"scale=2; $tool_ms / $base_ms")x," \
     "memory $(bc <<<"scale=2; $tool_kb / $base_kb")x"
