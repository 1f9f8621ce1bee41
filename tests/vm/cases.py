#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Turns tests/e2e/scenarios.txt into the VM suite's case list: one folder per scenario
that the vm suite plays, holding case.sh (shell assignments for the VM's init), args (one
argument a line), expected (the standard output bytes), and stderr-has and stdout-has (one text a line).

cases.py TABLE DATA-DIR OUT-DIR [--only NAME]   prints "skip NAME: REASON" for the others
cases.py TABLE DATA-DIR OUT-DIR --sets SET,...  one folder per device set (for recording)
"""
import os
import sys

# The table and its escapes, read as the Wine suite reads them.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
from wine_suite import read_table, unescape  # noqa: E402

SUITE = "vm"


REPEATABLE = {"play", "arg", "stderr-has", "stdout-has"}


def for_suite(pairs):
    """Applies KEY@SUITE: this suite's lines stand in place of the lines of KEY, or beside
    them for the repeatable keys; other suites' lines go."""
    ours = {k.split("@")[0] for k, _ in pairs if k.endswith("@" + SUITE)} - REPEATABLE
    return [(k.split("@")[0], v) for k, v in pairs
            if ("@" not in k and k not in ours) or k.endswith("@" + SUITE)]


def quote(value):
    return b"'" + value.replace(b"'", b"'\\''") + b"'"


def write_case(folder, scenario, sets, data, version):
    lines = for_suite(scenario["lines"])
    one = {k: v for k, v in lines}
    devices = [] if one.get("on", "none") == "none" else sets[one["on"]]
    os.makedirs(folder)
    shell = [b"name=" + quote(scenario["name"].encode()), b"devices=%d" % len(devices)]
    for i, device in enumerate(devices):
        d = {k: unescape(v) for k, v in device}
        tty = d.get("tty", b"")
        shell += [b"dev%d_tty=" % i + quote(tty[len(b"ttyACM"):] if tty else b""),
                  b"dev%d_id=" % i + quote(d.get("id", b"04d8:000a").replace(b":", b" ")),
                  b"dev%d_product=" % i + quote(d.get("product", b"")),
                  b"dev%d_functions=" % i + quote(d.get("functions", b"acm").replace(b",", b" "))]
    plays = [v.split() for k, v in lines if k == "play"]
    shell.append(b"plays=" + quote(" ".join("%s:%s" % (t[len("ttyACM"):], s) for t, s in plays).encode()))
    low, high = one["time"].split()
    shell += [b"status=" + one["status"].encode(), b"tmin=" + low.encode(), b"tmax=" + high.encode(),
              b"setup=" + quote(unescape(one.get("setup", "")))]
    with open(os.path.join(folder, "case.sh"), "wb") as f:
        f.write(b"\n".join(shell) + b"\n")
    with open(os.path.join(folder, "args"), "wb") as f:
        f.write(b"".join(unescape(v) + b"\n" for k, v in lines if k == "arg"))
    for key in ("stderr-has", "stdout-has"):
        with open(os.path.join(folder, key), "wb") as f:
            f.write(b"".join(unescape(v) + b"\n" for k, v in lines if k == key))
    if "output-file" in one:
        with open(os.path.join(data, one["output-file"]), "rb") as f:
            expected = f.read()
    else:
        expected = unescape(one.get("output", "")).replace(b"@VERSION@", version)
    with open(os.path.join(folder, "expected"), "wb") as f:
        f.write(expected)


def main():
    table, data, out = sys.argv[1:4]
    option, value = (sys.argv[4:6] + [None, None])[:2]
    only = value if option == "--only" else None
    with open(os.path.join(os.path.dirname(table), "..", "..", "VERSION"), "rb") as f:
        version = f.read().strip()
    sets, scenarios = read_table(table, for_suite)
    scenarios = [{"name": name, "lines": lines} for name, lines in scenarios]
    if option == "--sets":
        scenarios = [{"name": name, "lines": [("on", name), ("status", "0"), ("time", "0 0")]}
                     for name in value.split(",")]
    count = 0
    for scenario in scenarios:
        if only and scenario["name"] != only:
            continue
        skips = [v.partition(" ") for k, v in scenario["lines"] if k == "skip"]
        reason = [why for suite, _, why in skips if suite == SUITE]
        if reason:
            print("skip %s: %s" % (scenario["name"], reason[0]))
            continue
        count += 1
        write_case(os.path.join(out, "%03d" % count), scenario, sets, data, version)
    if only and not count:
        sys.exit("no scenario %s for the vm suite" % only)


if __name__ == "__main__":
    main()
