# SPDX-License-Identifier: MIT
"""The VM stage. Its half on the host, vmhost.py, builds the initramfs, boots it and hands
what this half prints to the judge. Inside the VM the init runs this file as
vm.py test [NAME] | record. It plugs each scenario's devices as CDC-ACM gadgets of
dummy_hcd, plays their scripts and the setup around the checked run and prints each run's
outcome ("@run NAME OUTCOME"), or records the device sets with umockdev-record on /dev/ttyS1.
"""
import glob
import os
import subprocess
import sys
import tempfile
import termios
import time
import tty

import engine
import player
import setups
from vmhost import add_options, prepare  # noqa: F401  (the stage's interface, on the host)

G = "/sys/kernel/config/usb_gadget"
RECORDED = ("one", "two", "three", "composite")  # the sets of tests/data that record() makes
MORVEK = "/usr/bin/morvek"
# A statically linked binary runs in a root that holds nothing but itself and the kernel's
# file systems: no C library, no loader, no /etc. This VM's Python needs them; the binary
# must not.
BARE = "/bare" if os.path.exists("/vm/static") else None


def make_bare_root():
    """The kernel's file systems bound in, the users (a stale lock file's owner is named
    from them), and the binary: nothing else, and no library."""
    for d in ("dev", "sys", "proc", "run", "tmp"):
        os.makedirs(os.path.join(BARE, d))
        subprocess.run(["mount", "--rbind", "/" + d, os.path.join(BARE, d)], check=True)
    os.makedirs(os.path.join(BARE, "usr/bin"))
    os.makedirs(os.path.join(BARE, "var"))
    os.symlink("/run/lock", os.path.join(BARE, "var/lock"))
    subprocess.run(["cp", "-r", "/etc", BARE], check=True)
    subprocess.run(["cp", MORVEK, BARE + MORVEK], check=True)
    files = [os.path.join(r, f)[len(BARE):] for top in ("etc", "usr", "var")
             for r, _, fs in os.walk(os.path.join(BARE, top)) for f in fs]
    print("== VM suite: the binary runs in a root that holds only %s" % " ".join(sorted(files)), flush=True)


def wire(run, _):
    """usbmon's view of each device: the line set to 19200 8N1 before each command, the
    command as one 6-byte transfer once per ask (each "sent" of the trace), and no transfer
    at all to a device never asked."""
    with open(os.path.join(run.work, "usbmon"), "w+") as text:
        monitor = subprocess.Popen(["cat", "/sys/kernel/debug/usb/usbmon/0u"], stdout=text)
        run.checked()
        time.sleep(0.2)
        monitor.kill()
        monitor.wait()
        text.seek(0)
        events = [f.split() for f in text]
    run.err.flush()
    with open(run.err.name, "rb") as f:
        trace = f.read()
    for i, d in enumerate(run.scenario.devices):
        asks = trace.count(b"sent 6 bytes to COM%d: " % d.com) if d.tty else 0
        with open("/sys/bus/usb/devices/%d-1/devnum" % (i + 1)) as f:
            address = [i + 1, int(f.read())]
        ours = [e for e in events if len(e) > 5 and e[2] == "S" and [int(n) for n in e[3].split(":")[1:3]] == address]
        coding, commands = "", 0
        for e in ours:
            coding = " ".join(e[12:14]) if e[3].startswith("Co") and e[5:7] == ["21", "20"] else coding
            if e[3].startswith("Bo"):
                commands += 1
                if coding != "004b0000 000008" or e[5] != "6" or e[7:9] != ["41544344", "0d0a"]:
                    run.problems.append("device %d: command %d (%s) after line coding %r, not one ATCD\\r\\n "
                                        "at 19200 8N1" % (i, commands, " ".join(e[5:9]), coding))
        if ours and not asks or asks and commands != asks:
            run.problems.append("device %d: %d transfers, %d commands, sent %d" % (i, len(ours), commands, asks))


def plug_late(run, setup):
    """The gadget behind TTY, unbound before the run, is bound MS ms after it starts; the run
    must end within 1.5 s of the plug."""
    udc, controller = run.late
    start = time.monotonic()
    process = run.start()
    time.sleep(int(setup.split(" ")[2]) / 1000)
    plugged = time.monotonic()
    put(udc, controller)
    run.waited([process], start)
    if run.ended - plugged > 1.5:
        run.problems.append("ended %d ms after the plug, expected within 1500 ms" % ((run.ended - plugged) * 1000))


SETUPS = dict(setups.PLAYED, wire=wire, unplug=setups.SETUPS[""], **{"plug-late": plug_late})


def put(path, data):
    with open(path, "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)


def acm_interfaces(usb):
    """The interfaces of USB device USB that have a tty, in interface number order, and the ttys."""
    found = sorted((int(i.rsplit(".", 1)[1]), os.path.basename(i), os.path.basename(t))
                   for i in glob.glob("/sys/bus/usb/devices/%s:*" % usb) for t in glob.glob(i + "/tty/*"))
    return [(i, t) for _, i, t in found]


def host_ttys(usb):
    """The ttys of USB device USB, in interface number order."""
    return [t for _, t in acm_interfaces(usb)]


def plug(s):
    """Gadget i on dummy_udc.i, so USB device (i+1)-1. All are bound at once, and cdc-acm
    numbers their ttys in the order it meets them: where that is not the table's, their
    interfaces are bound to it again in table order. Each tty's gadget port and UDC file."""
    acms, usbs = [], ["%d-1" % (i + 1) for i in range(len(s.devices))]
    for i, d in enumerate(s.devices):
        g = "%s/g%d" % (G, i)
        os.makedirs(g + "/strings/0x409")
        os.makedirs(g + "/configs/c.1")
        for name, value in (("idVendor", "0x" + d.vid), ("idProduct", "0x" + d.pid), ("bcdDevice", "0x0100"),
                            ("strings/0x409/product", d.product)):
            put(g + "/" + name, value)
        acms.append([])
        for k, function in enumerate(d.functions):
            folder = "%s/functions/%s.f%d" % (g, {"acm": "acm", "ss_lb": "SourceSink"}[function], k)
            os.mkdir(folder)
            os.symlink(folder, g + "/configs/c.1/" + os.path.basename(folder))
            acms[-1] += [folder] if function == "acm" else []
    for i in range(len(s.devices)):
        put("%s/g%d/UDC" % (G, i), "dummy_udc.%d" % i)

    def ready():
        # Configured (its first interface is there), and each tty in sysfs and then in /dev.
        for usb, folders in zip(usbs, acms):
            ttys = host_ttys(usb)
            if not os.path.exists("/sys/bus/usb/devices/%s:1.0" % usb) or len(ttys) != len(folders) \
                    or not all(os.path.exists("/dev/" + t) for t in ttys):
                return False
        return True
    # The table names each device's first tty; any further serial functions follow it.
    want = [["ttyACM%d" % (d.acm + n) for n in range(len(f))] if d.tty else None for d, f in zip(s.devices, acms)]
    if not setups.wait_for(ready, step=0.01):
        raise RuntimeError("the devices' ttys did not come")
    if any(w is not None and host_ttys(usb) != w for usb, w in zip(usbs, want)):
        interfaces = [i for usb in usbs for i, _ in acm_interfaces(usb)]
        for action in ("unbind", "bind"):
            for interface in interfaces:
                put("/sys/bus/usb/drivers/cdc_acm/" + action, interface)
        if not setups.wait_for(ready, step=0.01):
            raise RuntimeError("the devices' ttys did not come back")
    ports = {}
    for i, (usb, w) in enumerate(zip(usbs, want)):
        if w is not None and host_ttys(usb) != w:
            raise RuntimeError("device %d: got %s, expected %s" % (i, host_ttys(usb), w))
        for name, folder in zip(w or [], acms[i]):
            with open(folder + "/port_num") as f:
                ports[name] = ("/dev/ttyGS" + f.read().strip(), "%s/g%d/UDC" % (G, i))
    return ports


def unplug_all():
    for g in glob.glob(G + "/g*"):
        with open(g + "/UDC") as f:
            if f.read().strip():
                put(g + "/UDC", "\n")
        for link in glob.glob(g + "/configs/c.1/*.f*"):
            os.remove(link)
        for folder in [g + "/configs/c.1"] + glob.glob(g + "/functions/*") + [g + "/strings/0x409", g]:
            os.rmdir(folder)
    setups.wait_for(lambda: not [u for u in os.listdir("/sys/bus/usb/devices") if u.endswith("-1")], step=0.01)


def play(s):
    began, work = time.monotonic(), tempfile.mkdtemp()
    run = setups.Run(MORVEK, [os.fsdecode(a) for a in s.args], work, BARE)
    run.scenario, run.player, fds = s, player.Player(), []
    try:
        ports = plug(s)
        unplug = s.setup.split(" ")
        if unplug[0] == "plug-late":
            # Plugged first, so that its tty is numbered as the table says; then unbound.
            udc = ports[unplug[1]][1]
            with open(udc) as f:
                run.late = (udc, f.read().strip())
            put(udc, "\n")
            if not setups.wait_for(lambda: not os.path.exists("/dev/" + unplug[1])):
                raise RuntimeError("%s stayed after its gadget was unbound" % unplug[1])
        for name, script in s.plays.items():
            fd = os.open(ports[name][0], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
            fds.append(fd)
            tty.setraw(fd)  # bytes pass as they are
            termios.tcflush(fd, termios.TCIOFLUSH)
            ms = int(unplug[2]) if unplug[0] == "unplug" and unplug[1] == name else None
            run.player.add(name, fd, os.path.join(engine.HERE, "..", "data", script + ".script"),
                           udc=ports[name][1] if ms is not None else None, unplug_ms=ms or 0)
        # A device that plays nothing has nothing behind its port.
        for name in set(ports) - set(s.plays):
            os.remove("/dev/" + name)
        run.player.start()
        SETUPS[unplug[0]](run, s.setup)
    except (RuntimeError, KeyError, OSError) as error:
        run.problems.append("cannot play it: %r" % error)
    if run.player.is_alive():
        run.problems += ["device: " + f for f in run.player.finish()[0]]
    for fd in fds:
        os.close(fd)
    unplug_all()
    setups.left_behind(run)
    if subprocess.run(["killall", "-KILL", "morvek"], stderr=subprocess.DEVNULL).returncode == 0:
        run.problems.append("left a morvek process")
    print("@run %s %s\n== played %s in %d ms" % (s.name, run.outcome().dumps(), s.name,
                                                  (time.monotonic() - began) * 1000), flush=True)


def record(scenarios):
    """umockdev-record's tree of each recorded set, after a "== SET" line, on /dev/ttyS1."""
    on = {s.on: s for s in reversed(scenarios)}
    with open("/dev/ttyS1", "wb") as out:
        tty.setraw(out.fileno())
        for name in RECORDED:
            plug(on[name])
            out.write(b"== %s\n" % name.encode())
            out.flush()
            trees = []
            for usb in sorted(glob.glob("/sys/bus/usb/devices/*-1")):
                trees += [usb] + sorted(glob.glob(usb + ":*"))
                trees += ["/dev/" + os.path.basename(t) for t in sorted(glob.glob(usb + ":*/tty/*"))]
            subprocess.run(["umockdev-record"] + trees, stdout=out)
            print("recorded", name, flush=True)
            unplug_all()


def started_ms():
    """How long a run that does nothing takes: no device, so no query."""
    run = setups.Run(MORVEK, [], tempfile.mkdtemp(), BARE)
    run.checked()
    return run.ms


def inside(mode, only=None):
    scenarios = engine.read_table(os.path.join(engine.HERE, "scenarios.txt"), "vm")
    if mode == "record":
        return record(scenarios)
    scenarios = [s for s in scenarios if s.skip is None and only in (None, s.name)]
    if BARE:
        make_bare_root()
    # QEMU translates Qt's code on its first run (about a second): the cases are timed after
    # it. An emulated start and end cost several times real ones, so the time of a run that
    # does nothing (median of three, through the same Run as the cases) is allowed above
    # each case's bound.
    started_ms()
    startup = sorted(started_ms() for _ in range(3))[1]
    print("== VM suite on Linux %s (%s), %d cases, start-up %d ms\n@startup %d"
          % (os.uname().release, os.uname().machine, len(scenarios), startup, startup), flush=True)
    for s in scenarios:
        play(s)
    # Measured again at the end: the allowance is the slower of the two, so a machine that
    # got busier during the suite does not fail the rows played then.
    startup = sorted(started_ms() for _ in range(3))[1]
    print("== VM suite: start-up at the end %d ms\n@startup %d" % (startup, startup), flush=True)
    print("== VM suite done", flush=True)


if __name__ == "__main__":
    inside(*sys.argv[1:])
