# SPDX-License-Identifier: MIT
"""The engine's grammar over a small fixture table, and the real table's coverage and device
trees."""
import codecs
import os
import re
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import engine  # noqa: E402

FIXTURE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixture.txt")


def table(text, suite, data=None):
    with tempfile.NamedTemporaryFile("w", suffix=".txt") as f:
        f.write(text)
        f.flush()
        return {s.name: s for s in engine.read_table(f.name, suite, data=data, version="9.8")}


class Grammar(unittest.TestCase):
    def setUp(self):
        self.data = tempfile.mkdtemp()
        with open(os.path.join(self.data, "tiny"), "wb") as f:
            f.write(b"from a file")

    def suite(self, name):
        with open(FIXTURE) as f:
            return table(f.read(), name, self.data)

    def test_suite_line_wins_before_and_after_its_plain_line(self):
        umockdev, wine, vm = (self.suite(s) for s in ("umockdev", "wine", "vm"))
        self.assertEqual(umockdev["override_after"].expected, b"plain\t9.8\n")
        self.assertEqual(wine["override_after"].expected, b"wine\\")
        self.assertEqual([s["override_after"].status for s in (umockdev, wine, vm)], [[0], [0], [1]])
        self.assertEqual(umockdev["override_before"].expected, b"umockdev\x1b")
        self.assertEqual([s["override_before"].time for s in (umockdev, wine)], [[5, 6], [0, 900]])
        # output-file and output are one expected output, whichever comes first.
        self.assertEqual(wine["override_before"].expected, b"from a file")
        self.assertEqual(vm["override_before"].expected, b"vm")

    def test_repeatable_lines_add_and_devices_resolve(self):
        umockdev, wine, vm = (self.suite(s) for s in ("umockdev", "wine", "vm"))
        self.assertEqual(wine["override_after"].stderr_has, [b"one", b"two"])
        self.assertEqual(umockdev["override_after"].stderr_has, [b"one"])
        self.assertEqual(umockdev["override_after"].args, [b"-v"])
        self.assertEqual(umockdev["override_after"].plays, {"ttyACM0": "reply"})
        self.assertEqual([(d.product, d.tty, d.com, d.vid) for d in umockdev["override_after"].devices],
                         [(b"A B", "ttyACM0", 1, "04d8"), (b"", "ttyACM1", 2, "046d")])
        self.assertEqual((wine["override_after"].devices[0].product, wine["override_after"].devices[0].com), (b"W", 7))
        self.assertEqual([self.suite(s)["override_before"].skip for s in ("vm", "chroot", "umockdev")],
                         ["not here", "not here", None])

    def test_faults_name_their_line(self):
        for line, fault in (("output a\\cb", "tbl:3: \\c is not one of"), ("arg \\0101", "tbl:3: \\0 is not"),
                            ("stderr-has \\a", "tbl:3: \\a is not"), ("outptu x", "tbl:3: unknown line outptu"),
                            ("status@qemu 1", "tbl:3: unknown suite qemu"),
                            ("skip qemu why", "tbl:3: unknown suite qemu"),
                            ("skip vm,qemu why", "tbl:3: unknown suite vm,qemu"), ("on nowhere", "tbl:3: no device set"),
                            ("device tty=ttyS0", "tbl:3: device field tty=ttyS0"),
                            ("device colour=red", "tbl:3: device field colour")):
            text = "# table\ndevices d\n%s\nscenario s\nstatus 0\ntime 0 1\n" % line if line.startswith("device ") \
                else "# table\nscenario s\n%s\nstatus 0\ntime 0 1\n" % line
            with self.subTest(line=line), self.assertRaises(engine.TableError) as caught:
                table(text, "umockdev")
            self.assertIn(fault, str(caught.exception).replace(caught.exception.args[0].split(":")[0], "tbl"))

    def test_judge_words_every_fault(self):
        s = self.suite("umockdev")["override_after"]
        o = engine.Outcome(1, b"other", b"", 901, ["the device saw nothing"])
        self.assertEqual(engine.judge(s, o), [
            "the device saw nothing", "exit status 1, expected 0",
            "standard output b'other', expected b'plain\\t9.8\\n'", "ended 901 ms after the start, expected 0 to 900 ms",
            "standard error lacks b'one'"])
        ok = engine.Outcome(0, b"plain\t9.8\n", b"one and more", 950)
        ok.slack_ms = 50
        self.assertEqual(engine.judge(s, ok), [])
        ok.ms, ok.since = 951, "last command"
        self.assertEqual(engine.judge(s, ok), ["ended 951 ms after the last command, expected 0 to 900 ms (+ 50 ms start-up)"])
        ok.ms, s.stderr_has = 950, []
        self.assertEqual(engine.judge(s, ok), ["wrote to standard error"])
        # Standard error that a setup took away is not judged, and passes as such to the judge.
        taken = engine.Outcome.loads(engine.Outcome(0, b"plain\t9.8\n", None, 5).dumps())
        self.assertEqual((taken.stderr, engine.judge(s, taken)), (None, []))


    def test_json_output_is_held_to_the_schema_and_the_json_lines(self):
        s = table("scenario s\narg --json\nstatus 0\ntime 0 1\njson /output \"1,2\"\n"
                  "json /devices/0/outcome \"reading\"\n", "umockdev")["s"]
        device = ('{"port":"COM1","path":"/dev/ttyACM0","number":"1","source":"product","reply":"1,2",'
                  '"reading":"1,2","outcome":"reading","error":null,"elapsed_ms":12}')
        good = '{"time":"2026-12-10T09:00:00.123Z","output":"1,2","status":0,"devices":[%s]}\n' % device
        for stdout, status, faults in (
                (good, 0, []),
                (good, 5, ["/status is 0, but the run's status 5"]),
                (good.replace('"1,2","status"', '"1,3","status"'), 0, ['/output is "1,3", expected "1,2"']),
                (good.replace('"outcome":"reading"', '"outcome":"fine"'), 0,
                 ["against the schema", '/devices/0/outcome is "fine", expected "reading"']),
                (good.replace(',"elapsed_ms":12', ''), 0, ["'elapsed_ms' is a required property"]),
                (good.replace('"status":0', '"status":0,"extra":1'), 0, ["against the schema"]),
                (good.replace('.123Z', 'Z'), 0, ["against the schema"]),
                (good.replace('"reply":"1,2"', '"reply":"\\u0100"'), 0, ["against the schema"]),
                (good.rstrip("\n"), 0, ["not one line and a newline"]),
                ("12.5,3", 0, ["is not JSON"])):
            with self.subTest(stdout=stdout, status=status):
                got = engine.json_faults(s, stdout.encode(), status)
                # A validator may word one fault more than once.
                self.assertEqual(bool(got), bool(faults), got)
                for text in faults:
                    self.assertTrue([f for f in got if text in f], "%r not in %s" % (text, got))


class RealTable(unittest.TestCase):
    def test_every_scenario_is_played_and_its_setup_playable(self):
        stages = {suite: __import__(suite) for suite in engine.SUITES}
        path = os.path.join(engine.HERE, "scenarios.txt")
        by_suite = {suite: engine.read_table(path, suite) for suite in engine.SUITES}
        for i, s in enumerate(by_suite["vm"]):
            playing = [suite for suite in engine.SUITES if by_suite[suite][i].skip is None]
            with self.subTest(scenario=s.name):
                self.assertTrue(playing, "skipped by every suite")
                for suite in playing:
                    setup = by_suite[suite][i].setup.split(" ")[0]
                    self.assertTrue(setup in stages[suite].SETUPS, "%s cannot play setup %s" % (suite, setup))


def umockdev_devices(path):
    """(id, product, first tty) of each USB device of a umockdev tree, in bus order; a
    device's first tty is that of its lowest-numbered interface."""
    usb, ttys = {}, {}
    with open(path, "rb") as f:
        for block in f.read().split(b"\n\n"):
            lines = block.strip().split(b"\n")
            where = lines[0][3:].decode()
            attrs = dict(line[3:].split(b"=", 1) for line in lines if line.startswith(b"A: ") and b"=" in line)
            value = lambda k: codecs.escape_decode(attrs[k])[0].rstrip(b"\n")  # noqa: E731
            if b"idVendor" in attrs and re.search(r"/[0-9]+-[0-9.]+$", where):  # root hubs aside
                usb[where] = ("%s:%s" % (value(b"idVendor").decode(), value(b"idProduct").decode()), value(b"product"))
            tty = re.fullmatch(r"(.*)/[^/]+:[0-9]+\.([0-9]+)/tty/(ttyACM[0-9]+)", where)
            if tty:
                ttys.setdefault(tty[1], []).append((int(tty[2]), tty[3]))
    return [usb[p] + (min(ttys[p])[1] if p in ttys else None,) for p in sorted(usb)]


class RealTrees(unittest.TestCase):
    def test_each_set_agrees_with_its_umockdev_tree(self):
        sets = {s.on: s.devices for s in engine.read_table(os.path.join(engine.HERE, "scenarios.txt"), "umockdev")}
        for name, devices in sorted(sets.items()):
            tree = os.path.join(engine.DATA, name + ".umockdev")
            if name == "none" or not os.path.exists(tree):
                continue
            with self.subTest(set=name):
                self.assertEqual(umockdev_devices(tree),
                                 [("%s:%s" % (d.vid, d.pid), d.product, d.tty) for d in devices])


if __name__ == "__main__":
    unittest.main()
