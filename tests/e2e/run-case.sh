#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the real morvek binary once under umockdev-run and checks what it prints, its exit
# status and how long it took.
#
# run-case.sh --binary PATH --devices FILE [--script DEV=FILE ...]
#             (--output TEXT | --output-file FILE | --no-output) --status N
#             [--min-ms N] [--max-ms N]
#             [--setup WHAT] [--arg ARG ...] [--stderr-has TEXT ...] [--stdout-has TEXT ...]
#
# --setup takes the setup values of scenarios.txt, whose header says what each does.
# --arg passes an argument to morvek. Its standard error must hold each --stderr-has text,
# and must be empty when none is given. With --stdout-has, standard output must hold each
# such text instead of being compared whole.
set -euo pipefail

binary="" devices="" expected="" expected_file="" status="" min_ms=0 max_ms=5000 setup=""
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
    --setup) setup="$2"; shift 2 ;;
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

work="$(mktemp -d)" lock_file="" lock_holder=""
cleanup() {
    [ -z "$lock_holder" ] || kill "$lock_holder" 2>/dev/null || true
    [ -z "$lock_file" ] || rm -f "$lock_file"
    [ -z "$odd_lock" ] || rm -df "$odd_lock"
    rm -rf "$work"
}
trap cleanup EXIT
if [ -z "$expected_file" ]; then
    expected_file="$work/expected"
    printf '%s' "$expected" >"$expected_file"
fi

umockdev=(umockdev-run)
[ -n "$devices" ] && umockdev+=(-d "$devices")
umockdev+=("${scripts[@]}")

# A lock file in the form that lockdev and common serial programs write, of a process
# that runs through the whole case or of one that has ended. It is in the real /var/lock.
case "$setup" in
held-by-hdb-lock | hdb-lock-of-dead-process)
    if [ -e /var/lock/LCK..ttyACM0 ]; then
        echo "run-case.sh: /var/lock/LCK..ttyACM0 exists already" >&2
        exit 2
    fi
    lock_file=/var/lock/LCK..ttyACM0
    if [ "$setup" = held-by-hdb-lock ]; then
        sleep 30 </dev/null >/dev/null 2>&1 &
        lock_holder=$!
        printf '%10d\n' "$lock_holder" >"$lock_file"
    else
        sh -c : &
        dead=$!
        wait $dead
        printf '%10d\n' "$dead" >"$lock_file"
    fi
    cp "$lock_file" "$work/lock-file"
    ;;
esac

# Something that is not a lock file at the lock path, put there by another user; it must be
# left as it was. A link to the lock file of a running process, kept outside /var/lock.
odd_lock=""
case "$setup" in
fifo-at-lock | dir-at-lock | link-to-live-lock | stale-lock-of-other-user)
    odd_lock=/var/lock/LCK..ttyACM0
    if [ -e "$odd_lock" ] || [ -L "$odd_lock" ]; then
        echo "run-case.sh: $odd_lock exists already" >&2
        exit 2
    fi
    case "$setup" in
    fifo-at-lock) mkfifo "$odd_lock" ;;
    dir-at-lock) mkdir "$odd_lock" ;;
    link-to-live-lock)
        sleep 30 </dev/null >/dev/null 2>&1 &
        lock_holder=$!
        printf '%10d\n' "$lock_holder" >"$work/held-lock"
        ln -s "$work/held-lock" "$odd_lock" ;;
    # An ended process of user daemon left it; the run is user nobody's.
    stale-lock-of-other-user)
        sh -c : &
        dead=$!
        wait $dead
        printf '%10d\n' "$dead" >"$odd_lock"
        chown daemon: "$odd_lock" ;;
    esac
    ls -ld --time-style=+ "$odd_lock" >"$work/odd-lock" ;;
esac

# Inside the testbed, $bin runs with the remaining arguments; $dir takes the side files:
# output, trace (standard error), status and ms. Each setup may put commands before and
# after the run, change where its output goes, or how it is started.
launch='"$bin"' out='>"$dir/output"' err='2>"$dir/trace"' before="" after=""
case "$setup" in
"" | held-by-hdb-lock | hdb-lock-of-dead-process | fifo-at-lock | dir-at-lock | link-to-live-lock) ;;
# The testbed is root's: user nobody is let into it.
stale-lock-of-other-user)
    before='chmod -R a+rwX "$UMOCKDEV_DIR"; chmod a+rw "$(readlink -f /dev/ttyACM0)" 2>/dev/null'
    launch='setpriv --reuid=nobody --regid=nogroup --clear-groups "$bin"' ;;
# The run is asked to end by the signal once it holds the port's lock file.
signal-*)
    launch='env --default-signal "$bin"'
    before='lock=/var/lock/LCK..ttyACM0' ;;
# Standard error on a pipe whose reader is alive and reads nothing, filled up beforehand.
stderr-stalled)
    before='mkfifo "$dir/errpipe"; exec 5<>"$dir/errpipe"; dd if=/dev/zero bs=65536 count=1 >&5 2>/dev/null'
    err='2>"$dir/errpipe"' ;;
held-by-another) before='"$bin" >/dev/null & first=$!; sleep 0.3' after='wait $first' ;;
# A process holds flock(LOCK_EX) on the tty through the run, as picocom does.
held-by-flock)
    before='flock /dev/ttyACM0 sh -c '\''echo $$ >"$0/held.tmp"; mv "$0/held.tmp" "$0/held"; exec sleep 30'\'' "$dir" </dev/null >/dev/null 2>&1 &
while [ ! -e "$dir/held" ]; do sleep 0.01; done'
    after='kill "$(cat "$dir/held")"' ;;
# Both write to the same output; the status is that of each, when they agree.
two-runs-at-once) out='>>"$dir/output"' err='2>>"$dir/trace"' ;;
stdout-full) out='>/dev/full' ;;
stdout-closed) out='>&-' ;;
# A pipe with no reader left: the read end is opened alongside the write end, then closed.
stdout-broken-pipe) before='mkfifo "$dir/pipe"; exec 3<>"$dir/pipe" 4>"$dir/pipe" 3<&-; trap "" PIPE' out='>&4' ;;
stderr-full) err='2>/dev/full' ;;
# SIGPIPE at its default whatever this script was started with.
stderr-closes-early) launch='env --default-signal=PIPE "$bin"' ;;
argv0-empty) launch='bash -c '\''exec -a "" "$0" "$@"'\'' "$bin"' ;;
*) echo "run-case.sh: unknown setup $setup" >&2; exit 2 ;;
esac
run="$launch \"\$@\" $out $err; echo \$? >\"\$dir/status\""
case "$setup" in
two-runs-at-once)
    run="$launch \"\$@\" $out $err & other=\$!
$launch \"\$@\" $out $err; one=\$?; wait \$other; two=\$?
if [ \$one = \$two ]; then echo \$one; else echo \"\$one and \$two\"; fi >\"\$dir/status\"" ;;
signal-*)
    run="$launch \"\$@\" $out $err & pid=\$!
while [ ! -e \$lock ] && kill -0 \$pid 2>/dev/null; do sleep 0.01; done
sleep 0.1; kill -${setup#signal-} \$pid; wait \$pid; echo \$? >\"\$dir/status\"
ls /var/lock/LCK..* >\"\$dir/left\" 2>/dev/null" ;;
# Standard error goes to a reader that takes the first 120 bytes and goes away.
stderr-closes-early) run="{ $launch \"\$@\" $out; echo \$? >\"\$dir/status\"; } 2>&1 | head -c 120 >/dev/null" ;;
esac
: >"$work/output"
inner='bin="$1" dir="$2"; shift 2
'"$before"'
start=$(date +%s%N)
'"$run"'
echo $(( ($(date +%s%N) - start) / 1000000 )) >"$dir/ms"
'"$after"

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
if [ "$setup" = held-by-hdb-lock ]; then
    cmp -s "$lock_file" "$work/lock-file" || fail "the lock file of a running process was changed or removed"
fi
if [ -n "$odd_lock" ]; then
    ls -ld --time-style=+ "$odd_lock" | cmp -s - "$work/odd-lock" || fail "what was at the lock path was changed or removed"
fi
if [ -s "$work/left" ]; then
    fail "the run left its lock file: $(cat "$work/left")"
fi
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
