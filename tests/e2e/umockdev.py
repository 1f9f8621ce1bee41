# SPDX-License-Identifier: MIT
"""The umockdev stage: the Linux binary on simulated devices (tests/data/SET.umockdev), each
device's script played by umockdev-run. Inside the testbed this file runs again, as
umockdev.py WORK BINARY TABLE NAME: it plays the scenario's setup and leaves the outcome in WORK.
"""
import fcntl
import os
import subprocess
import sys
import tempfile

import engine
import setups

SETUPS = setups.SETUPS


def add_options(parser):
    parser.add_argument("--binary", required=True)


def prepare(args, scenarios):
    # Lock files live in the machine's /var/lock: runs of other checkouts wait for each other.
    lock = open(os.path.join(tempfile.gettempdir(), "morvek-e2e.lock"), "w")
    fcntl.flock(lock, fcntl.LOCK_EX)

    def run(s):
        testbed = ["umockdev-run"]
        if s.on != "none":
            testbed += ["-d", os.path.join(args.data, s.on + ".umockdev")]
        for tty, script in s.plays.items():
            testbed += ["-s", "/dev/%s=%s" % (tty, os.path.join(args.data, script + ".script"))]
        with tempfile.TemporaryDirectory() as work:
            inside = [sys.executable, os.path.abspath(__file__), work, args.binary, args.table, s.name]
            ended = subprocess.run(testbed + ["--"] + inside, timeout=120).returncode
            try:
                with open(os.path.join(work, "outcome")) as f:
                    o = engine.Outcome.loads(f.read())
            except FileNotFoundError:
                o = engine.Outcome(problems=["the testbed recorded no run"])
        if ended:
            o.problems.append("the testbed ended with status %d (133: a write that the device "
                              "script did not expect)" % ended)
        return o
    return run


def inside(work, binary, table, name):
    s = next(s for s in engine.read_table(table, "umockdev") if s.name == name)
    run = setups.Run(binary, [os.fsdecode(a) for a in s.args], work)
    SETUPS[s.setup.split(" ")[0]](run, s.setup)
    with open(os.path.join(work, "outcome"), "w") as f:
        f.write(run.outcome().dumps())


if __name__ == "__main__":
    inside(*sys.argv[1:])
