#!/bin/busybox sh
# The VM suite's init (PID 1, busybox sh): plays every case of /vm/cases on CDC-ACM gadgets
# of dummy_hcd and prints a record of each run (@case, @status, @ms, @out and @err in hex,
# @problem) for the host to judge, then powers off. Device line i is a configfs gadget on
# dummy_udc.i, so it is USB device (i+1)-1, bound in order so that cdc-acm numbers the ttys
# as the table does.
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
    echo "$*" >>$W/problems
}

# Device $1 of case $C: sets vid, pid, tty (its first tty's number, or -) and fs (its functions).
device() {
    read vid pid tty fs <$C/d$1/dev
}

# The ttys of USB device $1, in interface number order.
host_ttys() {
    for i in /sys/bus/usb/devices/$1:*; do
        [ -d $i/tty ] && echo "${i##*.} $(ls $i/tty)"
    done | sort -n | cut -d' ' -f2
}

plug() {
    g=$G/g$1
    device $1
    mkdir $g $g/strings/0x409 $g/configs/c.1
    echo 0x$vid >$g/idVendor
    echo 0x$pid >$g/idProduct
    echo 0x0100 >$g/bcdDevice
    cat $C/d$1/product >$g/strings/0x409/product
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
    echo dummy_udc.$1 >$g/UDC || return 1
    usb=$(($1 + 1))-1
    await "[ \$(host_ttys $usb | wc -l) = $acms ]" || { problem "device $1: no ttys"; return 1; }
    # The table names the first tty; any further serial functions follow it.
    want=$tty
    for t in $(host_ttys $usb); do
        [ "$want" = - ] && break
        [ $t != ttyACM$want ] && problem "device $1: got $t, expected ttyACM$want" && return 1
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
    unprivileged) timeout -s KILL 20 helper as 65534 morvek "$@" >$W/out 2>$W/err ;;
    argv0-empty) timeout -s KILL 20 helper argv0 "" morvek "$@" >$W/out 2>$W/err ;;
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
        device $i
        asks=0
        [ "$tty" != - ] && asks=$(grep -c "sent 6 bytes to COM$((tty + 1)): " $W/err)
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
                    print who ": command " cmds " after line coding \"" coding "\", not 19200 8N1"
                if ($6 != 6 || $8 " " $9 != "41544344 0d0a")
                    print who ": command " cmds " is " $6 " bytes: " $8 " " $9
            }
            END {
                if (asks == 0 && seen) print who ": " seen " transfers, expected none"
                if (asks && cmds != asks) print who ": " cmds + 0 " commands, sent " asks
            }' $W/usbmon >>$W/problems
        i=$((i + 1))
    done
}

# Plays the setup of case $C around the checked run, on the devices set up.
play_case() {
    set --
    while IFS= read -r a; do set -- "$@" "$a"; done <$C/args
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
    held-by-flock)
        # The helper, named flock, holds the lock as util-linux flock(1) would.
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
}

hex() {
    od -An -v -tx1 $1 2>/dev/null | tr -d ' \n'
}

# Plays case $1 and prints its record.
run_case() {
    C=$1
    rm -rf $W && mkdir -p $W && : >$W/problems && : >$W/out && : >$W/err
    devices=0 silent= setup= usbmon= player=
    . $C/case.sh
    i=0
    while [ $i -lt $devices ]; do
        plug $i || break
        i=$((i + 1))
    done
    ports=
    while read i fn script ms; do
        port=/dev/ttyGS$(cat $G/g$i/functions/$fn/port_num):/vm/data/$script.script
        ports="$ports $port${ms:+:$ms:$G/g$i/UDC}"
    done <$C/plays
    # A device that plays nothing has nothing behind its port.
    for t in $silent; do rm -f /dev/$t; done
    if [ -n "$ports" ] && [ ! -s $W/problems ]; then
        player$ports >$W/player 2>$W/player-faults &
        player=$!
        await "grep -qs ready $W/player" || problem "the player did not start: $(cat $W/player-faults)"
    fi
    [ -s $W/problems ] || play_case
    [ -n "$player" ] && { kill $player; wait $player || problem "device faults: $(cat $W/player-faults)"; }
    unplug_all
    # Nothing may outlive a case: no lock file, no morvek.
    for l in /var/lock/LCK..ttyACM* /run/lock/LCK..ttyACM*; do
        [ -e $l ] && problem "left $l" && rm -f $l
    done
    pidof morvek >/dev/null && problem "left a morvek process" && killall -KILL morvek
    echo "@case $name"
    echo "@status $(cat $W/status 2>/dev/null)"
    echo "@ms $(cat $W/ms 2>/dev/null)"
    echo "@out $(hex $W/out)"
    echo "@err $(hex $W/err)"
    sed 's/^/@problem /' $W/problems
}

read mode </vm/mode
if [ "$mode" = record ]; then
    stty -F /dev/ttyS1 raw
    for C in /vm/cases/*; do
        . $C/case.sh
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
    # QEMU translates Qt's code on its first run (about a second); the cases are timed after
    # it. The start-up of a run that does nothing (median of three) goes to the host, which
    # allows it above each case's bound.
    morvek --version >/dev/null
    startup=$(for k in 1 2 3; do
        s=$(uptime_ms)
        morvek --version >/dev/null
        echo $(($(uptime_ms) - s))
    done | sort -n | sed -n 2p)
    echo "== VM suite on Linux $(uname -r) ($(uname -m)), $(ls /vm/cases | wc -l) cases, start-up $startup ms"
    echo "@startup $startup"
    for C in /vm/cases/*; do
        run_case $C
        echo "== played $name"
    done
    echo "== VM suite done"
fi
sync
poweroff -f
