# SPDX-License-Identifier: MIT
"""The Wine stage: morvek.exe under Wine 8.0 on simulated devices, after its packaging checks
(tests/packaging/check-exe.py). A private Wine prefix is kept in the cache, and one
wineserver is up for all cases, with the modem-line shim (tests/wine/modemlines.c)
preloaded. Each scenario's devices are written into Wine's registry (the SetupAPI view),
each dosdevices/comN is linked to a pseudo-terminal whose master the device player
(player.py) plays.
"""
import atexit
import fcntl
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

import engine
import player
import setups

WINE, WINESERVER = "/usr/lib/wine/wine64", "/usr/lib/wine/wineserver"
QUIET = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}

SETUPS = {""}
INTERFACE_CLASS = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}"  # GUID_DEVINTERFACE_USB_DEVICE
PORTS_CLASS = "{4d36e978-e325-11ce-bfc1-08002be10318}"
BUS_DESCRIPTION = r"{540b947e-8b40-45bc-a8a2-6a0b894cbda2}\0004"  # DEVPKEY_Device_BusReportedDeviceDesc
HKLM = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet"
LOADER_FAILED = rb"wine(:| client error)"


def usb_id(d):
    return "VID_%s&PID_%s" % (d.vid.upper(), d.pid.upper())


def reg_string(value):
    return '"%s"' % value.replace("\\", "\\\\").replace('"', '\\"')


def reg_hex(kind, data):
    return "hex(%s):%s" % (kind, ",".join("%02x" % b for b in data))


def registry(devices, all_ids):
    """A .reg that drops every simulated device, then adds these."""
    lines = ["Windows Registry Editor Version 5.00", "",
             r"[-%s\Control\DeviceClasses\%s]" % (HKLM, INTERFACE_CLASS)]
    lines += [r"[-%s\Enum\USB\%s]" % (HKLM, i) for i in sorted(all_ids)]
    for index, d in enumerate(devices, 1):
        ident, number = usb_id(d), d.com
        instance = "USB\\%s\\1-%d" % (ident, index)
        location = (d.location or b"Port_#%04d.Hub_#0001" % index).decode()
        hardware_ids = ("USB\\%s&REV_0100\0USB\\%s\0\0" % (ident, ident)).encode("utf-16-le")
        lines += ["", r"[%s\Control\DeviceClasses\%s\##?#USB#%s#1-%d#%s]" % (HKLM, INTERFACE_CLASS, ident, index, INTERFACE_CLASS),
                  '"DeviceInstance"=%s' % reg_string(instance),
                  "", r"[%s\Enum\%s]" % (HKLM, instance),
                  '"ClassGUID"=%s' % reg_string(PORTS_CLASS),
                  '"HardwareID"=%s' % reg_hex(7, hardware_ids),
                  '"LocationInformation"=%s' % reg_string(location)]
        if number is not None:
            lines.append('"FriendlyName"=%s' % reg_string("USB Serial Device (COM%d)" % number))
        # Wine keeps a DEVPROPTYPE as registry type 0xffff0000 | type (0x12: string).
        lines += ["", r"[%s\Enum\%s\Properties\%s]" % (HKLM, instance, BUS_DESCRIPTION),
                  "@=%s" % reg_hex("ffff0012", (d.product.decode() + "\0").encode("utf-16-le"))]
    return "\r\n".join(lines) + "\r\n"


def pseudo_terminals(dosdevices, devices, plays, data, device_player):
    """Links dosdevices/comN of each played device to a new pty that the player plays. The
    links and descriptors to drop afterwards."""
    links, fds = [], []
    for d in devices:
        link = os.path.join(dosdevices, "com%d" % d.com) if d.com else None
        if link and os.path.lexists(link):
            os.remove(link)
        script = plays.get(d.tty)
        if not link or not script:
            continue
        fds += player.pseudo_terminal(device_player, "COM%d" % d.com, os.path.join(data, script + ".script"))
        os.symlink(os.ttyname(fds[-1]), link)
        links.append(link)
    return links, fds


def add_options(parser):
    parser.add_argument("--exe", required=True)


def wineserver(prefix):
    """One wineserver for every case: a warm start costs a fraction of a cold one. It runs as
    our child (-f), not as a daemon: a daemon leads its own session, so the first pty it opens
    for a COM port would become its controlling terminal and send it SIGHUP when the device
    player closes the pty. Ready when its socket is there: <tmp>/wine-*/server-<dev>-<inode of
    the prefix>/socket with Debian's Wine, /tmp/.wine-<uid>/... upstream, and in any case in the
    server's working folder (found by name too: /proc/PID can name another process when a PID
    namespace has the host's /proc)."""
    st = os.stat(prefix)
    key = "server-%x-%x" % (st.st_dev, st.st_ino)
    sockets = lambda: (glob.glob("%s/wine-*/%s/socket" % (tempfile.gettempdir(), key))  # noqa: E731
                       + glob.glob("/tmp/.wine-%d/%s/socket" % (os.getuid(), key)))
    subprocess.run([WINESERVER, "-k"], **QUIET)
    for socket in sockets():  # a server killed outright leaves its socket behind
        os.remove(socket)
    server = subprocess.Popen([WINESERVER, "-f", "-p"])
    ready = lambda: sockets() or os.path.exists("/proc/%d/cwd/socket" % server.pid)  # noqa: E731
    setups.wait_for(lambda: ready() or server.poll() is not None, 30)
    if not ready():
        # Status 2: another server holds this prefix, and Wine's programs will use it. Running,
        # or that: Wine's programs wait for a starting server themselves, so the cases decide.
        print("no wineserver socket seen for %s (server: %s)" % (prefix, server.poll()), file=sys.stderr)
        if server.poll() not in (None, 2):
            sys.exit(1)
    return server


def prepare(args, scenarios):
    if subprocess.run([sys.executable, os.path.join(engine.HERE, "..", "packaging", "check-exe.py"), args.exe]).returncode:
        sys.exit("the exe fails its packaging checks")
    os.makedirs(engine.CACHE, exist_ok=True)
    lock = open(os.path.join(engine.CACHE, "wineprefix.lock"), "w")  # the prefix is one run's at a time
    fcntl.flock(lock, fcntl.LOCK_EX)
    work, prefix = tempfile.mkdtemp(), os.path.join(engine.CACHE, "wineprefix-win64")
    # Linux ptys have no modem lines; the shim gives Wine a quiet line to look at.
    shim = os.path.join(work, "modemlines.so")
    subprocess.run(["gcc", "-shared", "-fPIC", "-O2", "-Wall", "-Wextra", "-Werror", "-o", shim,
                    os.path.join(engine.HERE, "..", "wine", "modemlines.c"), "-ldl"], check=True)
    os.environ.update(WINEPREFIX=prefix, WINEARCH="win64", WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                      LD_PRELOAD=shim)
    for name in ("DISPLAY", "WAYLAND_DISPLAY"):
        os.environ.pop(name, None)
    if not os.path.exists(prefix + "/.morvek-ready"):  # made once and reused: wineboot takes a while
        print("Creating the Wine prefix", prefix, flush=True)
        shutil.rmtree(prefix, ignore_errors=True)
        subprocess.run([WINE, "wineboot", "-i"], **QUIET)
        subprocess.run([WINESERVER, "-w"])
        open(prefix + "/.morvek-ready", "w").close()
    server = wineserver(prefix)
    # Wine stops its system processes (services, plugplay, ...) about a second after the last
    # program ends and restarts them with the next one, which then waits for them. One idle
    # program, waiting on its standard input, keeps them up: each case costs the same.
    idle = subprocess.Popen([WINE, "cmd"], stdin=subprocess.PIPE, **QUIET)
    subprocess.run([WINE, "cmd", "/c", "exit"], **QUIET)

    @atexit.register
    def stop():
        idle.stdin.close()
        subprocess.run([WINESERVER, "-k"], **QUIET)
        server.wait()
        shutil.rmtree(work)
        lock.close()
    return play(args, scenarios)


def play(args, scenarios):
    dosdevices = os.path.join(os.environ["WINEPREFIX"], "dosdevices")
    all_ids = {usb_id(d) for s in scenarios for d in s.devices}

    def played(s):
        """One run of S's arguments against S's devices, played afresh."""
        device_player = player.Player()
        links, fds = pseudo_terminals(dosdevices, s.devices, s.plays, args.data, device_player)
        device_player.start()
        # Files, not pipes: a Wine helper that inherits a pipe could hold it open past the
        # program's end, and the end is what is timed.
        with tempfile.TemporaryDirectory() as work:
            run = setups.Run(WINE, [args.exe] + [os.fsdecode(a) for a in s.args], work)
            run.checked()
            o = run.outcome()
        faults, last_command = device_player.finish()
        o.problems += faults
        for path in links:
            os.remove(path)
        for fd in fds:
            os.close(fd)
        if last_command:  # timed from the last command a device saw
            o.ms, o.since = int((run.ended - last_command) * 1000), "last command"
        return o

    def run(s):
        # UTF-16 as Windows writes it: in an 8-bit file regedit would widen the bytes of hex(7).
        with tempfile.NamedTemporaryFile("w", suffix=".reg", encoding="utf-16-le", newline="") as reg:
            reg.write("\ufeff" + registry(s.devices, all_ids))
            reg.flush()
            subprocess.run([WINE, "regedit", "/S", reg.name], check=True)
        for attempt in (1, 2):
            o = played(s)
            # Wine's loader failing to reach its server is Wine's fault, not the program's,
            # which never started: the run is made once more, on devices played afresh, and
            # the log says so.
            failed = [line for line in o.stderr.splitlines() if re.match(LOADER_FAILED, line)]
            if not failed or attempt == 2:
                break
            print("wine: %s made again after Wine's own failure: %r" % (s.name, b" ".join(failed)[:300]), flush=True)
        # Wine's own messages (its client, its debug channels) are not the program's.
        o.stderr = b"".join(line for line in o.stderr.splitlines(keepends=True)
                            if not re.match(LOADER_FAILED + rb"|[0-9a-f]{4}:(fixme|err|warn):", line))
        return o
    return run
