#!/usr/bin/env bash
# Runs the real morvek binary once under umockdev-run and checks what it prints, its exit
# status and how long it took.
#
# run-case.sh --binary PATH --devices FILE [--script DEV=FILE ...]
#             (--output TEXT | --output-file FILE | --no-output) --status N
#             [--min-ms N] [--max-ms N]
#             [--held-by-another] [--stdout full|closed|broken-pipe]
#             [--arg ARG ...] [--stderr-has TEXT ...] [--stdout-has TEXT ...]
#
# --held-by-another starts a first morvek on the same devices and runs the checked one
# while the first still holds the port. --stdout runs it with standard output on /dev/full,
# closed, or on a pipe whose reader has gone (SIGPIPE ignored); nothing is compared then.
# --arg passes an argument to morvek. Its standard error must hold each --stderr-has text,
# and must be empty when none is given. With --stdout-has, standard output must hold each
# such text instead of being compared whole.
set -euo pipefail

binary="" devices="" expected="" expected_file="" status="" min_ms=0 max_ms=5000 held=0 stdout=file
scripts=() args=() stderr_has=() stdout_has=()
while [ $# -gt 0 ]; do
    case "$1" in
    --binary) binary="$2"; shift 2 ;;
    --devices) devices="$2"; shift 2 ;;
    --script) scripts+=(-s "/dev/$2"); shift 2 ;;
    --output) expected="$2"; shift 2 ;;
    --output-file) expected_file="$2"; shift 2 ;;
    --no-output) expected=""; shift ;;
    --status) status="$2"; shift 2 ;;
    --min-ms) min_ms="$2"; shift 2 ;;
    --max-ms) max_ms="$2"; shift 2 ;;
    --held-by-another) held=1; shift ;;
    --stdout) stdout="$2"; shift 2 ;;
    --arg) args+=("$2"); shift 2 ;;
    --stderr-has) stderr_has+=("$2"); shift 2 ;;
    --stdout-has) stdout_has+=("$2"); shift 2 ;;
    *) echo "run-case.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done

# QSerialPort's lock files live in the real /var/lock: runs from other checkouts that use
# the same tty names wait for each other.
exec 8>"${TMPDIR:-/tmp}/morvek-e2e.lock"
flock 8

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
if [ -z "$expected_file" ]; then
    expected_file="$work/expected"
    printf '%s' "$expected" >"$expected_file"
fi

umockdev=(umockdev-run)
[ -n "$devices" ] && umockdev+=(-d "$devices")
umockdev+=("${scripts[@]}")

# Inside the testbed: print the checked run's status and duration to side files.
# Inside the testbed, $bin runs with the remaining arguments; $dir takes the side files.
case "$stdout" in
file) run='"$bin" "$@" >"$dir/output"' ;;
full) run='"$bin" "$@" >/dev/full' ;;
closed) run='"$bin" "$@" >&-' ;;
# A pipe with no reader left: the read end is opened alongside the write end, then closed.
broken-pipe) run='mkfifo "$dir/pipe"; exec 3<>"$dir/pipe" 4>"$dir/pipe" 3<&-; trap "" PIPE; "$bin" "$@" >&4' ;;
*) echo "run-case.sh: unknown --stdout $stdout" >&2; exit 2 ;;
esac
: >"$work/output"
inner='
start=$(date +%s%N)
'"$run"' 2>"$dir/trace"
echo $? >"$dir/status"
echo $(( ($(date +%s%N) - start) / 1000000 )) >"$dir/ms"
'
if [ $held -eq 1 ]; then
    inner='"$bin" >/dev/null & first=$!; sleep 0.3;'"$inner"'wait $first'
fi
inner='bin="$1" dir="$2"; shift 2;'"$inner"

# A hard bound, so that no case can hang the suite.
set +e
timeout 20 "${umockdev[@]}" -- sh -c "$inner" sh "$binary" "$work" ${args[@]+"${args[@]}"} 2>"$work/stderr"
testbed=$?
set -e

fail() {
    echo "FAIL: $*"
    echo "--- stderr"; cat "$work/stderr"
    echo "--- morvek's standard error"; cat "$work/trace" 2>/dev/null
    exit 1
}
[ $testbed -eq 0 ] || fail "the testbed ended with status $testbed (133: a write that the device script did not expect)"
[ -f "$work/status" ] || fail "morvek did not end"
got_status="$(cat "$work/status")"
got_ms="$(cat "$work/ms")"
[ "$got_status" = "$status" ] || fail "exit status $got_status, expected $status"
[ ${#stdout_has[@]} -gt 0 ] || cmp -s "$work/output" "$expected_file" || fail "output $(od -c "$work/output" | head -5), expected $(od -c "$expected_file" | head -5)"
[ "$got_ms" -ge "$min_ms" ] || fail "ended after $got_ms ms, expected at least $min_ms ms"
[ "$got_ms" -le "$max_ms" ] || fail "ended after $got_ms ms, expected at most $max_ms ms"
if [ ${#stderr_has[@]} -eq 0 ]; then
    [ ! -s "$work/trace" ] || fail "wrote to standard error"
fi
for text in ${stdout_has[@]+"${stdout_has[@]}"}; do
    grep -qF -- "$text" "$work/output" || fail "standard output lacks: $text"
done
for text in ${stderr_has[@]+"${stderr_has[@]}"}; do
    grep -qF -- "$text" "$work/trace" || fail "standard error lacks: $text"
done
echo "ok: status $got_status, $(wc -c <"$work/output") bytes of output, $got_ms ms"
