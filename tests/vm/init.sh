#!/bin/busybox sh
# SPDX-License-Identifier: MIT
# The VM suite's init (PID 1, busybox sh): plays every case of /vm/cases on CDC-ACM gadgets
# of dummy_hcd, prints "N passed, M failed" and powers off. Each case gets its devices
# anew: device line i is a configfs gadget on dummy_udc.i, so it is USB device (i+1)-1,
# bound in order so that cdc-acm numbers the ttys as the table does.
# /vm/mode: "test", or "record" to write umockdev-record's tree of each case's devices
# (one case per device set) to /dev/ttyS1.
/bin/busybox --install -s /bin
export PATH=/bin:/usr/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t debugfs debugfs /sys/kernel/debug
mkdir -p /run/lock /tmp /var
chmod 1777 /run/lock /tmp
ln -s /run/lock /var/lock
# Users that cases name: daemon owns a stale lock file, nobody runs as another user.
mkdir -p /etc
printf 'root:x:0:0::/:/bin/sh\ndaemon:x:1:1::/:/bin/false\nnobody:x:65534:65534::/:/bin/false\n' >/etc/passwd
dmesg -n 1
for m in configfs dummy_hcd libcomposite usb_f_acm usb_f_ss_lb cdc-acm usbmon; do
    case $m in dummy_hcd) modprobe $m num=4 ;; *) modprobe $m ;; esac || echo "cannot load $m"
done
mount -t configfs configfs /sys/kernel/config
G=/sys/kernel/config/usb_gadget
W=/tmp/case

uptime_ms() {
    read up _ </proc/uptime
    echo $(( ${up%.*} * 1000 + (1${up#*.} - 100) * 10 ))
}

# Waits up to 10 s for a condition (a shell command).
await() {
    n=0
    until eval "$1"; do
        n=$((n + 1))
        [ $n -gt 200 ] && return 1
        sleep 0.05
    done
}

problem() {
    echo "    $*" >>$W/problems
}

# The acm functions of device $1 (their configfs folders, in interface order).
acm_functions() {
    eval "fs=\$dev$1_functions"
    k=0
    for f in $fs; do
        [ $f = acm ] && echo $G/g$1/functions/acm.f$k
        k=$((k + 1))
    done
}

# The ttys of USB device $1, in interface number order.
host_ttys() {
    for i in /sys/bus/usb/devices/$1:*; do
        [ -d $i/tty ] && echo "${i##*.} $(ls $i/tty)"
    done | sort -n | cut -d' ' -f2
}

plug() {
    i=$1 g=$G/g$1
    eval "set -- \$dev${i}_id; product=\$dev${i}_product fs=\$dev${i}_functions tty=\$dev${i}_tty"
    mkdir $g $g/strings/0x409 $g/configs/c.1
    echo 0x$1 >$g/idVendor
    echo 0x$2 >$g/idProduct
    echo 0x0100 >$g/bcdDevice
    printf '%s' "$product" >$g/strings/0x409/product
    k=0 acms=0
    for f in $fs; do
        case $f in
        acm) fn=acm.f$k acms=$((acms + 1)) ;;
        ss_lb) fn=SourceSink.f$k ;;
        *) problem "unknown function $f" && return 1 ;;
        esac
        mkdir $g/functions/$fn && ln -s $g/functions/$fn $g/configs/c.1/ || return 1
        k=$((k + 1))
    done
    echo dummy_udc.$i >$g/UDC || return 1
    usb=$((i + 1))-1
    await "[ \$(host_ttys $usb | wc -l) = $acms ]" || { problem "device $i: no ttys"; return 1; }
    # The table names the first tty; any further serial functions follow it.
    want=$tty
    for t in $(host_ttys $usb); do
        [ -z "$want" ] && break
        [ $t != ttyACM$want ] && problem "device $i: got $t, expected ttyACM$want" && return 1
        want=$((want + 1))
    done
    return 0
}

unplug_all() {
    for g in $G/*/; do
        [ -d $g ] || continue
        [ -n "$(cat $g/UDC)" ] && echo >$g/UDC
        rm -f $g/configs/c.1/*.f*
        rmdir $g/configs/c.1 $g/functions/* $g/strings/0x409 $g
    done
    await '! ls /sys/bus/usb/devices/ | grep -q -- "-1$"'
}

# For tty number $1: "device acm-function" of the gadget behind it.
behind() {
    i=0
    while [ $i -lt $devices ]; do
        eval "first=\$dev${i}_tty"
        n=0
        for f in $(acm_functions $i); do
            [ -n "$first" ] && [ $((first + n)) = $1 ] && echo "$i $f" && return
            n=$((n + 1))
        done
        i=$((i + 1))
    done
}

# The checked run: $W/out, $W/err, $W/status, $W/ms. Arguments: morvek's.
run() {
    if [ "$setup" = unprivileged ]; then
        chown 0:0 /dev/ttyACM*
        chmod 600 /dev/ttyACM*
    fi
    start=$(uptime_ms)
    case "$setup" in
    stdout-full) timeout -s KILL 20 morvek "$@" >/dev/full 2>$W/err ;;
    stdout-closed) timeout -s KILL 20 morvek "$@" >&- 2>$W/err ;;
    # A pipe with no reader left: the read end is opened alongside the write end, then closed.
    stdout-broken-pipe) (mkfifo $W/pipe; exec 3<>$W/pipe 4>$W/pipe 3<&-; trap "" PIPE
        exec timeout -s KILL 20 morvek "$@" >&4 2>$W/err) ;;
    unprivileged) timeout -s KILL 20 player --as 65534 morvek "$@" >$W/out 2>$W/err ;;
    stale-lock-of-other-user)
        chmod 666 /dev/ttyACM0
        timeout -s KILL 20 player --as 65534 morvek "$@" >$W/out 2>$W/err ;;
    # Standard error on a FIFO that its reader (this subshell) has filled and never reads.
    stderr-stalled) (mkfifo $W/errpipe; exec 5<>$W/errpipe
        dd if=/dev/zero bs=65536 count=1 >&5 2>/dev/null
        exec timeout -s KILL 20 morvek "$@" >$W/out 2>$W/errpipe) ;;
    # Asked to end by the signal once its lock file is there; timeout and the player exec.
    signal-*)
        player --default-signals timeout -s KILL 20 morvek "$@" >$W/out 2>$W/err &
        pid=$!
        await '[ -e /run/lock/LCK..ttyACM0 ] || ! kill -0 $pid 2>/dev/null' || problem "the run took no lock"
        sleep 0.1
        kill -${setup#signal-} $pid
        wait $pid ;;
    argv0-empty) timeout -s KILL 20 player --argv0 "" morvek "$@" >$W/out 2>$W/err ;;
    stderr-full) timeout -s KILL 20 morvek "$@" >$W/out 2>/dev/full ;;
    stderr-closes-early) (mkfifo $W/errpipe; head -c 120 <$W/errpipe >/dev/null &
        exec timeout -s KILL 20 morvek "$@" >$W/out 2>$W/errpipe) ;;
    two-runs-at-once)
        timeout -s KILL 20 morvek "$@" >>$W/out 2>>$W/err &
        timeout -s KILL 20 morvek "$@" >>$W/out 2>>$W/err
        second=$?
        wait $!
        first=$?
        [ $first = $second ] || problem "the runs ended with status $first and $second"
        (exit $second)
        ;;
    *) timeout -s KILL 20 morvek "$@" >$W/out 2>$W/err ;;
    esac
    echo $? >$W/status
    echo $(($(uptime_ms) - start)) >$W/ms
}

# usbmon's view of each device: the line set to 19200 8N1 before each command, the command
# as one 6-byte transfer once per ask (each "sent" of the trace), and a device that is never
# asked gets no transfer at all.
check_wire() {
    i=0
    while [ $i -lt $devices ]; do
        eval "tty=\$dev${i}_tty"
        asks=0
        [ -n "$tty" ] && asks=$(grep -c "sent 6 bytes to COM$((tty + 1)): " $W/err)
        bus=$((i + 1)) dev=$(printf %03d $(cat /sys/bus/usb/devices/$bus-1/devnum))
        awk -v bus=$bus -v dev=$dev -v asks=$asks -v who="device $i" '
            $3 != "S" { next }
            { split($4, a, ":") }
            a[2] != bus || a[3] != dev { next }
            { seen++ }
            a[1] == "Co" && $6 == "21" && $7 == "20" { coding = $13 " " $14 }
            a[1] == "Bo" {
                cmds++
                if (coding != "004b0000 000008")
                    print "    " who ": command " cmds " after line coding \"" coding "\", not 19200 8N1"
                if ($6 != 6 || $8 " " $9 != "41544344 0d0a")
                    print "    " who ": command " cmds " is " $6 " bytes: " $8 " " $9
            }
            END {
                if (asks == 0 && seen) print "    " who ": " seen " transfers, expected none"
                if (asks && cmds != asks) print "    " who ": " cmds + 0 " commands, sent " asks
            }' $W/usbmon >>$W/problems
        i=$((i + 1))
    done
}

# Runs the case in folder $1 on the devices set up, and checks what it gave.
play_case() {
    dir=$1
    set --
    while IFS= read -r a; do set -- "$@" "$a"; done <$dir/args
    [ "$setup" = wire ] && { cat /sys/kernel/debug/usb/usbmon/0u >$W/usbmon & usbmon=$!; }
    case "$setup" in
    held-by-another*)
        morvek >$W/first-out 2>/dev/null &
        first=$!
        await 'ls /run/lock/LCK..ttyACM* >/dev/null 2>&1' || problem "the first run took no lock"
        run "$@"
        wait $first || problem "the first run ended with status $?"
        first_expected=${setup#held-by-another}
        [ "$(cat $W/first-out)" = "${first_expected# }" ] ||
            problem "the first run printed \"$(cat $W/first-out)\", expected \"${first_expected# }\""
        ;;
    held-by-hdb-lock | hdb-lock-of-dead-process)
        [ -e /run/lock/LCK..ttyACM0 ] && problem "a lock file was there before"
        sleep 60 &
        holder=$!
        if [ "$setup" = hdb-lock-of-dead-process ]; then
            kill $holder
            { wait $holder; } 2>/dev/null
        fi
        printf '%10d\n' $holder >/run/lock/LCK..ttyACM0
        cp /run/lock/LCK..ttyACM0 $W/lock
        run "$@"
        if [ "$setup" = held-by-hdb-lock ]; then
            cmp -s /run/lock/LCK..ttyACM0 $W/lock || problem "the run changed the lock file of another program"
            kill $holder
            { wait $holder; } 2>/dev/null
            rm -f /run/lock/LCK..ttyACM0
        fi
        ;;
    # What is no lock file at the lock path must be left as it was.
    fifo-at-lock | dir-at-lock | link-to-live-lock | stale-lock-of-other-user)
        lock=/run/lock/LCK..ttyACM0
        case "$setup" in
        fifo-at-lock) mkfifo $lock ;;
        dir-at-lock) mkdir $lock ;;
        link-to-live-lock)
            sleep 60 &
            holder=$!
            printf '%10d\n' $holder >$W/held-lock
            ln -s $W/held-lock $lock ;;
        stale-lock-of-other-user)
            sh -c : &
            dead=$!
            wait $dead
            printf '%10d\n' $dead >$lock
            chown 1:1 $lock ;;
        esac
        ls -ld $lock >$W/odd-lock
        run "$@"
        ls -ld $lock | cmp -s - $W/odd-lock || problem "what was at the lock path was changed or removed"
        [ "$setup" = link-to-live-lock ] && { kill $holder; wait $holder; } 2>/dev/null
        rmdir $lock 2>/dev/null || rm -f $lock
        ;;
    held-by-flock)
        # The player, named flock, holds the lock as util-linux flock(1) would.
        flock /dev/ttyACM0 >$W/flock &
        holder=$!
        await "grep -qs ready $W/flock" || problem "could not flock the tty"
        run "$@"
        kill $holder
        { wait $holder; } 2>/dev/null
        ;;
    killed-while-waiting)
        morvek >/dev/null 2>&1 &
        first=$!
        await "grep -q asked $W/player" || problem "the first run asked nothing"
        kill -KILL $first
        { wait $first; } 2>/dev/null
        run "$@"
        ;;
    *) run "$@" ;;
    esac
    if [ -n "$usbmon" ]; then
        sleep 0.2
        kill $usbmon
        { wait $usbmon; } 2>/dev/null
        check_wire
    fi
    got=$(cat $W/status) ms=$(cat $W/ms)
    [ "$got" = "$status" ] || problem "exit status $got, expected $status"
    if [ -s $dir/stdout-has ]; then
        while IFS= read -r text; do
            grep -qF -- "$text" $W/out || problem "standard output lacks: $text"
        done <$dir/stdout-has
    else
        cmp -s $W/out $dir/expected ||
            problem "output $(od -An -c $W/out | head -3), expected $(od -An -c $dir/expected | head -3)"
    fi
    [ $ms -ge $tmin ] && [ $ms -le $((tmax + startup)) ] ||
        problem "ended after $ms ms, expected $tmin to $tmax ms (+ $startup ms start-up)"
    # Standard error that closes early is not checked.
    [ "$setup" = stderr-closes-early ] && return
    [ -s $dir/stderr-has ] || [ ! -s $W/err ] || problem "wrote to standard error: $(head -c 300 $W/err)"
    while IFS= read -r text; do
        grep -qF -- "$text" $W/err || problem "standard error lacks: $text"
    done <$dir/stderr-has
}

run_case() {
    rm -rf $W && mkdir -p $W && : >$W/problems && : >$W/out
    devices=0 plays= setup= usbmon= player= ms=
    . $1/case.sh
    i=0
    while [ $i -lt $devices ]; do
        plug $i || break
        i=$((i + 1))
    done
    ports=
    for p in $plays; do
        b=$(behind ${p%%:*})
        [ -n "$b" ] || { problem "no device has ttyACM${p%%:*}"; continue; }
        port=/dev/ttyGS$(cat ${b#* }/port_num):/vm/data/${p#*:}.script
        case "$setup" in "unplug ttyACM${p%%:*} "*) port=$port:${setup##* }:$G/g${b%% *}/UDC ;; esac
        ports="$ports $port"
    done
    # A device that plays nothing has nothing behind its port.
    for t in /dev/ttyACM*; do
        [ -e $t ] && ! echo " $plays" | grep -q " ${t#/dev/ttyACM}:" && rm $t
    done
    if [ -n "$ports" ] && [ ! -s $W/problems ]; then
        player $ports >$W/player 2>$W/player-faults &
        player=$!
        await "grep -qs ready $W/player" || problem "the player did not start: $(cat $W/player-faults)"
    fi
    [ -s $W/problems ] || play_case $1
    [ -n "$player" ] && { kill $player; wait $player || problem "device faults: $(cat $W/player-faults)"; }
    unplug_all
    # Nothing may outlive a case: no lock file, no morvek.
    for l in /var/lock/LCK..ttyACM* /run/lock/LCK..ttyACM*; do
        [ -e $l ] && problem "left $l" && rm -f $l
    done
    pidof morvek >/dev/null && problem "left a morvek process" && killall -KILL morvek
    if [ -s $W/problems ]; then
        echo "FAIL $name (${ms:-?} ms)"
        cat $W/problems
        [ -s $W/err ] && sed 's/^/    stderr: /' $W/err | head -20
        return 1
    fi
    echo "ok   $name ($ms ms)"
}

read mode </vm/mode
if [ "$mode" = record ]; then
    stty -F /dev/ttyS1 raw
    for c in /vm/cases/*; do
        . $c/case.sh
        i=0
        while [ $i -lt $devices ]; do plug $i; i=$((i + 1)); done
        echo "== $name" >/dev/ttyS1
        umockdev-record $(for u in /sys/bus/usb/devices/*-1; do
            echo $u $u:*; ls -d $u:*/tty/* 2>/dev/null | sed 's,.*/,/dev/,'
        done) >/dev/ttyS1
        echo "recorded $name"
        unplug_all
    done
else
    passed=0 failed=0
    # QEMU translates Qt's code on its first run (about a second); the cases are timed after
    # it. An emulated start costs several times a real one, so the start-up of a run that
    # does nothing (median of three) is allowed above each case's bound.
    morvek --version >/dev/null
    startup=$(for k in 1 2 3; do
        s=$(uptime_ms)
        morvek --version >/dev/null
        echo $(($(uptime_ms) - s))
    done | sort -n | sed -n 2p)
    echo "== VM suite on Linux $(uname -r) ($(uname -m)), $(ls /vm/cases | wc -l) cases, start-up $startup ms"
    for c in /vm/cases/*; do
        if run_case $c; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
    done
    echo "$passed passed, $failed failed"
fi
sync
poweroff -f
