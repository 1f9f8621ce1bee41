#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The scenario engine: reads scenarios.txt as one suite sees it, drives that suite's stage
and judges each run's outcome with one wording.

engine.py SUITE [--only NAME] [--list] [STAGE OPTIONS]   prints "ok", "FAIL" or "skip" per
scenario and "N passed, M failed, K skipped"; with --only, a skipped scenario exits 77;
--list prints the scenarios' names.

A stage is the module named after its suite (umockdev.py, wine.py, vm.py with its host half
vmhost.py, chroot.py):
    SETUPS                    the setups it can play: name -> function(setups.Run, setup line)
    add_options(parser)       its own options
    prepare(args, scenarios)  everything the suite needs before its first run (a Wine prefix
                              and server, a VM booted once, a Debian 11 root), given the
                              scenarios it will play; returns play
    play(scenario)            plays one scenario and returns its Outcome, which also carries
                              the time base (since) and the slack (slack_ms) the judge allows
"""
import argparse
import importlib
import json
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "data")
# Where the scripts keep what they fetched and built (scripts/lib.sh: morvek_cache).
CACHE = os.environ.get("MORVEK_CACHE") or os.path.join(
    os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "morvek")
SUITES = ("umockdev", "wine", "vm", "chroot")
REPEATABLE = {"play", "arg", "stderr-has", "stdout-has", "json", "skip"}
KEYS = REPEATABLE | {"on", "output", "output-file", "status", "time", "setup"}
DEVICE_KEYS = {"tty", "id", "product", "location", "com", "functions"}
ESCAPES = {"t": b"\t", "n": b"\n", "r": b"\r", "e": b"\x1b", "\\": b"\\"}


class TableError(Exception):
    pass


def unescape(text, where, version=""):
    """The escapes the table's header lists, and @VERSION@; any other is an error."""
    def one(match):
        escape = match[1].decode(errors="replace")
        if escape in ESCAPES or escape[:1] == "x" and len(escape) == 3:
            return ESCAPES.get(escape) or bytes([int(escape[1:], 16)])
        raise TableError("%s: \\%s is not one of the escapes \\t \\n \\r \\e \\\\ \\xHH" % (where, escape))
    return re.sub(rb"\\(x[0-9a-fA-F]{2}|.?)", one, text.replace("@VERSION@", version).encode(), flags=re.S)


def for_suite(pairs, suite, where):
    """KEY@SUITE stands in place of KEY for that suite (beside it for the repeatable keys),
    wherever it comes; other suites' lines go. pairs: (line number, key, value)."""
    chosen = []
    for number, key, value in pairs:
        base, _, only = key.partition("@")
        if only and only not in SUITES:
            raise TableError("%s:%d: unknown suite %s" % (where, number, only))
        if not only or only == suite:
            chosen.append((number, base, value, bool(only)))
    # output and output-file are one expected output.
    group = {"output-file": "output"}
    ours = {group.get(b, b) for _, b, _, own in chosen if own} - REPEATABLE
    return [(n, b, v) for n, b, v, own in chosen if own or group.get(b, b) not in ours]


class Device:
    """A device line, decoded once for every stage."""

    def __init__(self, fields, where):
        unknown = set(fields) - DEVICE_KEYS
        tty = fields.get("tty", b"").decode()
        if unknown or tty and not re.fullmatch(r"ttyACM[0-9]+", tty):
            raise TableError("%s: device field %s" % (where, ", ".join(unknown) or "tty=" + tty))
        self.vid, self.pid = fields.get("id", b"04d8:000a").decode().lower().split(":")
        self.product, self.location = fields.get("product", b""), fields.get("location")
        self.functions = fields.get("functions", b"acm").decode().split(",")
        self.tty, self.acm = tty or None, int(tty[6:]) if tty else None  # n of ttyACMn
        self.com = int(fields["com"]) if "com" in fields else self.acm + 1 if tty else None


class Scenario:
    def __init__(self, name, line):
        self.name, self.line, self.on, self.devices, self.plays = name, line, "none", [], {}
        self.args, self.stdout_has, self.stderr_has, self.json = [], [], [], []
        self.expected, self.status, self.time, self.setup, self.skip = b"", None, None, "", None


def read_table(path, suite, data=None, version=None):
    """The table's scenarios as SUITE plays them, in table order."""
    data = data or DATA
    if version is None:
        with open(os.path.join(HERE, "..", "..", "VERSION")) as f:
            version = f.read().strip()
    sets, blocks, current = {}, [], None
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            key, _, rest = line.rstrip("\n").partition(" ")
            where = "%s:%d" % (path, number)
            if not key or key.startswith("#"):
                continue
            if key == "devices":
                current = sets.setdefault(rest, [])
            elif key == "device":
                fields = [(number, k, v) for k, _, v in (f.partition("=") for f in rest.split())]
                if current is None:
                    raise TableError("%s: device outside a set" % where)
                current.append(Device({k: unescape(v, where, version) for _, k, v in for_suite(fields, suite, path)},
                                      where))
            elif key == "scenario":
                current = []
                blocks.append((Scenario(rest, number), current))
            elif key.partition("@")[0] not in KEYS or current is None:
                raise TableError("%s: unknown line %s" % (where, key))
            else:
                current.append((number, key, rest))
    for s, pairs in blocks:
        for number, key, value in for_suite(pairs, suite, path):
            where = "%s:%d" % (path, number)
            text = lambda: unescape(value, where, version)  # noqa: E731
            if key == "skip":
                who, _, why = value.partition(" ")
                if set(who.split(",")) - set(SUITES):
                    raise TableError("%s: unknown suite %s" % (where, who))
                s.skip = why if suite in who.split(",") else s.skip
            elif key == "on":
                if value != "none" and value not in sets:
                    raise TableError("%s: no device set %s" % (where, value))
                s.on, s.devices = value, sets.get(value, [])
            elif key == "play":
                tty, script = value.split()
                s.plays[tty] = script
            elif key == "output-file":
                with open(os.path.join(data, value), "rb") as f:
                    s.expected = f.read()
            elif key == "output":
                s.expected = text()
            elif key == "setup":
                s.setup = value
            elif key in ("status", "time"):
                setattr(s, key, [int(t) for t in value.split()])
            elif key == "json":
                pointer, _, wanted = value.partition(" ")
                try:
                    s.json.append((pointer, json.loads(wanted)))
                except ValueError:
                    raise TableError("%s: %r is not a JSON value" % (where, wanted))
            else:
                {"arg": s.args, "stdout-has": s.stdout_has, "stderr-has": s.stderr_has}[key].append(text())
        if s.status is None or s.time is None:
            raise TableError("%s:%d: scenario %s lacks status or time" % (path, s.line, s.name))
    return [s for s, _ in blocks]


class Outcome:
    """What a stage saw of the checked run; stderr None when a setup took standard error
    away. In text (dumps, loads) it passes from inside a testbed or a VM to the judge. The
    stage sets since and slack_ms: what the time window is measured from, and how far above
    its end a run may go."""

    def __init__(self, status=None, stdout=b"", stderr=b"", ms=0, problems=()):
        self.status, self.stdout, self.stderr, self.ms = status, stdout, stderr, ms
        self.problems, self.since, self.slack_ms = list(problems), "start", 0

    def dumps(self):
        err = None if self.stderr is None else self.stderr.hex()
        return json.dumps([self.status, self.stdout.hex(), err, self.ms, self.problems])

    @classmethod
    def loads(cls, text):
        status, stdout, stderr, ms, problems = json.loads(text)
        return cls(status, bytes.fromhex(stdout), None if stderr is None else bytes.fromhex(stderr), ms, problems)


def pointed(value, pointer):
    """The value at a JSON pointer (/devices/0/outcome), or KeyError."""
    for key in pointer.split("/")[1:]:
        value = value[int(key)] if isinstance(value, list) else value[key]
    return value


VALIDATOR = []


def validator():
    """The schema's validator, made once, and before a stage enters a root of its own (the
    chroot stage judges from inside it): jsonschema and the schema are not to be found there.
    It validates once of each kind, so that what it loads on first use is loaded."""
    if not VALIDATOR:
        import jsonschema
        with open(os.path.join(HERE, "..", "..", "docs", "morvek.schema.json")) as f:
            VALIDATOR.append(jsonschema.Draft202012Validator(json.load(f)))
        for sample in ({"time": "", "output": "x", "status": 0, "devices": [{"port": None}]}, [{"slot": 1}]):
            list(VALIDATOR[0].iter_errors(sample))
    return VALIDATOR[0]


def json_faults(s, stdout, status):
    """--json: one JSON value and a newline, valid against docs/morvek.schema.json, with the
    values that the scenario's json lines name."""
    try:
        value = json.loads(stdout.decode("utf-8"))
    except ValueError as e:
        return ["standard output %r is not JSON: %s" % (stdout[:120], e)]
    faults = [] if stdout.endswith(b"\n") and stdout.count(b"\n") == 1 else ["not one line and a newline"]
    faults += ["against the schema: %s at /%s" % (e.message, "/".join(map(str, e.absolute_path)))
               for e in validator().iter_errors(value)]
    # -1 is 255 to a POSIX shell, which the suites are.
    if isinstance(value, dict) and isinstance(value.get("status"), int) and value["status"] % 256 != status:
        faults.append("/status is %d, but the run's status %s" % (value["status"], status))
    for pointer, wanted in s.json:
        try:
            got = pointed(value, pointer)
        except (KeyError, IndexError, TypeError):
            got = "nothing"
        if got != wanted or type(got) is not type(wanted):
            faults.append("%s is %s, expected %s" % (pointer, json.dumps(got), json.dumps(wanted)))
    return faults


def judge(s, o):
    """The faults of an outcome, in one wording for every suite."""
    faults = list(o.problems)
    if o.status != s.status[0]:
        faults.append("exit status %s, expected %d" % (o.status, s.status[0]))
    faults += ["standard output lacks %r" % t for t in s.stdout_has if t not in o.stdout]
    if b"--json" in s.args:
        faults += json_faults(s, o.stdout, o.status)
    elif not s.stdout_has and o.stdout != s.expected:
        faults.append("standard output %r, expected %r" % (o.stdout[:120], s.expected[:120]))
    low, high = s.time
    if not low <= o.ms <= high + o.slack_ms:
        faults.append("ended %d ms after the %s, expected %d to %d ms%s"
                      % (o.ms, o.since, low, high, " (+ %d ms start-up)" % o.slack_ms if o.slack_ms else ""))
    if o.stderr is not None:
        faults += ["standard error lacks %r" % t for t in s.stderr_has if t not in o.stderr]
        if o.stderr and not s.stderr_has:
            faults.append("wrote to standard error")
    return faults


def report(s, o, faults):
    """Prints the verdict of a run; true when it passed."""
    print("%s %s (%s ms)" % ("FAIL" if faults else "ok  ", s.name, o.ms))
    for f in faults:
        print("    " + f)
    if faults and o.stderr:
        print("    standard error: %r" % o.stderr[:600])
    return not faults


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("suite", choices=SUITES)
    parser.add_argument("--table", default=os.path.join(HERE, "scenarios.txt"))
    parser.add_argument("--data", default=DATA)
    parser.add_argument("--only")
    parser.add_argument("--list", action="store_true", help="print the scenarios' names")
    known = parser.parse_known_args()[0]
    if known.list:
        print("\n".join(s.name for s in read_table(known.table, known.suite)))
        return 0
    stage = importlib.import_module(known.suite)
    stage.add_options(parser)
    args = parser.parse_args()
    scenarios = [s for s in read_table(args.table, args.suite) if args.only in (None, s.name)]
    if not scenarios:
        sys.exit("no scenario %s" % args.only)
    playable = [s for s in scenarios if s.skip is None]
    unplayable = [s.name for s in playable if s.setup.split(" ")[0] not in stage.SETUPS]
    if unplayable:
        sys.exit("the %s suite cannot play the setups of %s" % (args.suite, ", ".join(unplayable)))
    if any(b"--json" in s.args for s in playable):
        validator()
    play = stage.prepare(args, playable) if playable else None
    passed = failed = 0
    for s in scenarios:
        if s.skip is not None:
            print("skip %s: %s" % (s.name, s.skip))
            continue
        o = play(s)
        if report(s, o, judge(s, o)):
            passed += 1
        else:
            failed += 1
    print("%d passed, %d failed, %d skipped" % (passed, failed, len(scenarios) - len(playable)))
    if args.only and not playable:
        return 77
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
