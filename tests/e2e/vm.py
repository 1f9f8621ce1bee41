"""The VM stage: the Linux binary on the real kernel in QEMU, on CDC-ACM gadgets (run by
scripts/test-kernel). --cases DIR lays out the scenarios for the VM's init (tests/vm/init.sh),
which plugs the devices, plays the setup and records each run; --results FILE judges the
records that the init printed on the console.
"""
import os

import engine

SETUPS = {"", "held-by-another", "held-by-hdb-lock", "hdb-lock-of-dead-process", "held-by-flock",
          "two-runs-at-once", "stdout-full", "stdout-closed", "stdout-broken-pipe", "stderr-full",
          "stderr-closes-early", "argv0-empty", "wire", "unplug", "killed-while-waiting", "unprivileged"}


def add_options(parser):
    parser.add_argument("--cases", help="write the cases for the VM's init into this folder")
    parser.add_argument("--sets", help="with --cases: one case per device set, for recording")
    parser.add_argument("--results", help="judge the records of this console log")


def write(path, data):
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def write_case(folder, s):
    """case.sh (name, setup, devices, the ttys that play nothing), plays (a line per played
    port: gadget, its acm function, script, and the ms after which it is unplugged), args
    (one a line), and for gadget i d<i>/dev ("VID PID TTY FUNCTION...", the first tty's
    number or -) and d<i>/product."""
    os.makedirs(folder)
    plays, silent = [], []
    for i, d in enumerate(s.devices):
        os.makedirs(os.path.join(folder, "d%d" % i))
        functions = d.get("functions", b"acm").decode().split(",")
        first = int(d["tty"][len("ttyACM"):]) if "tty" in d else None
        fields = d.get("id", b"04d8:000a").decode().split(":") + [str(first if "tty" in d else "-")] + functions
        write(os.path.join(folder, "d%d" % i, "dev"), " ".join(fields) + "\n")
        write(os.path.join(folder, "d%d" % i, "product"), d.get("product", b""))
        acms = [k for k, f in enumerate(functions) if f == "acm"] if first is not None else []
        for n, k in enumerate(acms):
            tty = "ttyACM%d" % (first + n)
            unplug = s.setup.split(" ")
            ms = unplug[2] if unplug[0] == "unplug" and unplug[1] == tty else ""
            if tty in s.plays:
                plays.append("%d acm.f%d %s %s\n" % (i, k, s.plays[tty], ms))
            else:
                silent.append(tty)
    write(os.path.join(folder, "case.sh"), "name='%s' setup='%s' devices=%d silent='%s'\n"
          % (s.name, s.setup, len(s.devices), " ".join(silent)))
    write(os.path.join(folder, "plays"), "".join(plays))
    write(os.path.join(folder, "args"), b"".join(a + b"\n" for a in s.args))


def results(path):
    """The records the init printed: @case NAME, then @status, @ms, @out HEX, @err HEX,
    @problem TEXT lines; @startup MS once."""
    found, startup, current = {}, 0, None
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition(" ")
            if key == "@startup":
                startup = int(value)
            elif key == "@case":
                current = found[value] = engine.Outcome()
            elif current and key in ("@out", "@err"):
                setattr(current, "stdout" if key == "@out" else "stderr", bytes.fromhex(value))
            elif current and key in ("@status", "@ms"):
                setattr(current, key[1:], int(value) if value.isdigit() else value)
            elif current and key == "@problem":
                current.problems.append(value)
    return found, startup


def start(args, scenarios):
    if args.cases:
        if args.sets:  # a case per device set, named after it, for recording
            on = {s.on: s.devices for s in engine.read_table(args.table, "vm")}
            scenarios = [engine.Scenario(name, 0) for name in args.sets.split(",")]
            for s in scenarios:
                s.devices = on[s.name]
        for number, s in enumerate(scenarios, 1):
            write_case(os.path.join(args.cases, "%03d" % number), s)
        return None
    found, startup = results(args.results)

    def run(s):
        o = found.get(s.name) or engine.Outcome(problems=["the VM recorded no run"])
        if s.setup == "stderr-closes-early":
            o.stderr = None
        # An emulated start costs several times a real one: the start-up of a run that does
        # nothing is allowed above each bound.
        return o, engine.judge(s, o, slack_ms=startup)
    return run
