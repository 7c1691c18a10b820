#!/usr/bin/env python3
"""zq-gang with the real ZqCmdLin beside it, against one programmer simulator per port.

Environment: ZQ_GANG, ZQ_TESTER and ZQ_SIMULATOR name the three programs.
"""
import json
import os
import pty
import re
import select
import subprocess
import sys
import time
import unittest
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import zqtest  # noqa: E402

GANG = os.environ.get("ZQ_GANG")
TESTER = os.environ.get("ZQ_TESTER")
SIMULATOR = os.environ.get("ZQ_SIMULATOR")


class Station:
    """A directory holding zq-gang and ZqCmdLin, with simulators on some of its ports."""

    def __init__(self, test, with_tester=True):
        programs = [(GANG, "zq-gang")] + ([(TESTER, "ZqCmdLin")] if with_tester else [])
        self.dir = zqtest.scratch_directory(test, "zq_gang_", *programs)
        self.test = test
        os.mkdir(os.path.join(self.dir, "dosdevices"))

    def simulate(self, port, *options):
        sim = zqtest.Simulator(SIMULATOR, self.dir, port,
                               os.path.join(self.dir, "wire%d.bin" % port), list(options))
        self.test.addCleanup(sim.stop)
        return sim

    def no_device(self, port):
        """COM<port> leads nowhere, even on a machine with real serial ports."""
        os.symlink(os.path.join(self.dir, "no-such-device"),
                   os.path.join(self.dir, "dosdevices", "com%d" % port))

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def gang(self, *args, timeout=120):
        started = time.monotonic()
        proc = subprocess.run([self.path("zq-gang")] + list(args), cwd=self.dir, timeout=timeout,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        proc.seconds = time.monotonic() - started
        proc.out = proc.stdout.decode("utf-8", "replace")
        proc.err = proc.stderr.decode("utf-8", "replace")
        return proc

    def script(self, name, body):
        """A shell script standing in for the tester."""
        path = self.path(name)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + body)
        os.chmod(path, 0o755)
        return path


def by_port(summary):
    return {p["port"]: p for p in summary["ports"]}


def running_testers(directory):
    """Processes whose program is the tester copied into directory."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                argv0 = f.read().split(b"\0")[0].decode("utf-8", "replace")
        except OSError:
            continue
        if argv0.startswith(directory):
            found.append((pid, argv0))
    return found


class Outcomes(unittest.TestCase):
    def test_mixed_outcomes_give_table_exit_status_junit_and_json(self):
        st = Station(self)
        st.simulate(3)
        st.simulate(4, "--status", "86")
        st.simulate(5, "--silent")
        st.no_device(6)
        proc = st.gang("-COM=3-6", "-DOPROGA", "--junit", "gang.xml", "--json", "gang.json")
        self.assertEqual(proc.returncode, 1, proc.out + proc.err)

        expected = {
            "COM3": ("OK", ""),
            "COM4": ("NG", "Command Operation Failed : Error=0x86!"),
            "COM5": ("NG", "CML: Operation Time Out!"),
            "COM6": ("NG", "CML: Operation Time Out!"),
        }
        with open(st.path("gang.json"), encoding="utf-8") as f:
            summary = json.load(f)
        self.assertEqual((summary["ok"], summary["ng"]), (1, 3))
        self.assertEqual(summary["switches"], ["-COM=3-6", "-DOPROGA"])
        ports = by_port(summary)
        self.assertEqual(list(ports), ["COM3", "COM4", "COM5", "COM6"])
        logs = zqtest.log_names(st.dir)
        for name, (outcome, reason) in expected.items():
            port = ports[name]
            self.assertEqual((port["outcome"], port["reason"]), (outcome, reason), name)
            self.assertEqual((port["tester_end"], port["tester_exit_status"]), ("exited", 0))
            log = os.path.basename(port["log_file"])
            self.assertRegex(log, zqtest.log_name(name, outcome))
            self.assertIn(log, logs)
            # The summary table: port, outcome, duration, log file, reason.
            self.assertRegex(proc.out, r"(?m)^%s +%s +\d+\.\d s +%s%s$" % (
                name, outcome, re.escape(port["log_file"]), " +" + re.escape(reason) if reason else ""))
            # Not on a terminal: one plain line per port as it finishes.
            self.assertRegex(proc.out, r"(?m)^%s %s \d+\.\d\d\d s" % (name, outcome))
        self.assertIn("4 ports: 1 OK, 3 NG", proc.out)
        # The silent ones wait for the first answer (4.5 s), the others end at once.
        self.assertGreaterEqual(ports["COM5"]["duration_s"], 4.0)
        self.assertLess(ports["COM3"]["duration_s"], 4.0)

        suite = ET.parse(st.path("gang.xml")).getroot()
        self.assertEqual(suite.tag, "testsuite")
        self.assertEqual((suite.get("tests"), suite.get("failures")), ("4", "3"))
        cases = suite.findall("testcase")
        self.assertEqual([c.get("name") for c in cases], list(expected))
        for case in cases:
            outcome, reason = expected[case.get("name")]
            failure = case.find("failure")
            if outcome == "OK":
                self.assertIsNone(failure)
            else:
                self.assertEqual(failure.get("message"), reason)
            report = zqtest.read(st.dir, "RptZq_%s.Txt" % case.get("name"))
            self.assertEqual(case.find("system-out").text,
                             report.decode("latin-1").replace("\r\n", "\n"))
        # Written under a temporary name and renamed: nothing else is left beside them.
        self.assertEqual([n for n in os.listdir(st.dir) if n.endswith(".tmp")], [])

    def test_all_ok_is_exit_status_zero(self):
        st = Station(self)
        st.simulate(3)
        st.simulate(4)
        proc = st.gang("-COM=3,4", "-DOPROGA", "--json", "gang.json")
        self.assertEqual(proc.returncode, 0, proc.out + proc.err)
        with open(st.path("gang.json"), encoding="utf-8") as f:
            summary = json.load(f)
        self.assertEqual([(p["port"], p["outcome"]) for p in summary["ports"]],
                         [("COM3", "OK"), ("COM4", "OK")])
        self.assertIn("2 ports: 2 OK, 0 NG", proc.out)

    def test_terminal_gets_live_lines_updated_in_place(self):
        st = Station(self)
        st.simulate(3, "--delay", "30", "--fill")
        st.no_device(4)
        master, slave = pty.openpty()
        proc = subprocess.Popen([st.path("zq-gang"), "-COM=3,4", "-DOPROGA"], cwd=st.dir,
                                stdout=slave, stderr=slave, env=dict(os.environ, TERM="xterm"))
        os.close(slave)
        out = b""
        while True:
            ready, _, _ = select.select([master], [], [], 30)
            if not ready:
                break
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            out += chunk
        os.close(master)
        self.assertEqual(proc.wait(timeout=30), 1)
        text = out.decode("utf-8", "replace")
        self.assertIn("\x1b[2A", text)  # back over the two port lines
        self.assertRegex(text, r"\x1b\[2KCOM3     running  \d+\.\d s")
        self.assertRegex(text, r"\x1b\[2KCOM3     OK       \d+\.\d s")
        self.assertRegex(text, r"\x1b\[2KCOM4     NG       \d+\.\d s +CML: Operation Time Out!")
        self.assertIn("2 ports: 1 OK, 1 NG", text)


class Concurrency(unittest.TestCase):
    def test_eight_ports_take_about_as_long_as_one(self):
        one = Station(self)
        one.simulate(1, "--delay", "40", "--fill")
        single = one.gang("-COM=1", "-DOPROGA")
        self.assertEqual(single.returncode, 0, single.out)

        eight = Station(self)
        for port in range(1, 9):
            eight.simulate(port, "--delay", "40", "--fill")
        gang = eight.gang("-COM=1-8", "-DOPROGA")
        self.assertEqual(gang.returncode, 0, gang.out + gang.err)
        self.assertIn("8 ports: 8 OK, 0 NG", gang.out)
        # One after the other would take eight times as long.
        self.assertLess(gang.seconds, 2.5 * single.seconds + 1.0,
                        "8 ports %.1f s, one port %.1f s" % (gang.seconds, single.seconds))

    def test_jobs_limits_how_many_testers_run_at_once(self):
        st = Station(self)
        for port in range(1, 5):
            st.simulate(port, "--delay", "20", "--fill")
        trace = st.path("trace")
        # The tester started through a script that notes when it starts and ends.
        st.script("TracedTester", 'echo "start $(date +%%s.%%N)" >>%s\n'
                  '"$(dirname "$0")/ZqCmdLin" "$@"\n'
                  'echo "end $(date +%%s.%%N)" >>%s\n' % (trace, trace))
        proc = st.gang("-COM=1-4", "-DOPROGA", "--jobs", "2", "--tester", st.path("TracedTester"))
        self.assertEqual(proc.returncode, 0, proc.out + proc.err)
        events = []
        with open(trace) as f:
            for line in f:
                kind, when = line.split()
                events.append((float(when), 1 if kind == "start" else -1))
        self.assertEqual(len(events), 8)
        most = now = 0
        for _, step in sorted(events):
            now += step
            most = max(most, now)
        self.assertEqual(most, 2)


class Ends(unittest.TestCase):
    def test_timeout_ends_the_tester_and_leaves_no_process(self):
        st = Station(self)
        st.simulate(3, "--silent")
        st.simulate(4)
        proc = st.gang("-COM=3,4", "-DOPROGA", "--timeout", "1", "--json", "gang.json")
        self.assertEqual(proc.returncode, 1, proc.out + proc.err)
        with open(st.path("gang.json"), encoding="utf-8") as f:
            ports = by_port(json.load(f))
        self.assertEqual(ports["COM3"]["outcome"], "NG")
        self.assertEqual(ports["COM3"]["reason"], "ZqCmdLin did not end within 1 s and was ended")
        self.assertEqual((ports["COM3"]["tester_end"], ports["COM3"]["tester_exit_status"]),
                         ("killed", None))
        self.assertEqual(ports["COM4"]["outcome"], "OK")
        # Ended at the limit, well before the tester's own 4.5 s.
        self.assertLess(proc.seconds, 4.0)
        self.assertEqual(running_testers(st.dir), [])

    def test_crash_no_log_and_bad_status_are_ng(self):
        st = Station(self)
        st.script("OddTester", 'case "$1" in\n'
                  '  -COM=3) kill -SEGV $$ ;;\n'
                  '  -COM=4) exit 0 ;;\n'
                  '  -COM=5) exec "$(dirname "$0")/ZqCmdLin" "$@" ;;\n'
                  '  *) exit 3 ;;\n'
                  'esac\n')
        st.simulate(5)
        proc = st.gang("-COM=3-6", "-DOPROGA", "--tester", "OddTester", "--json", "gang.json")
        self.assertEqual(proc.returncode, 1, proc.out + proc.err)
        with open(st.path("gang.json"), encoding="utf-8") as f:
            ports = by_port(json.load(f))
        self.assertEqual([(p["outcome"], p["reason"], p["tester_end"]) for p in ports.values()], [
            ("NG", "ZqCmdLin crashed (signal 11)", "crashed"),
            ("NG", "ZqCmdLin wrote no log file", "exited"),
            ("OK", "", "exited"),
            ("NG", "ZqCmdLin ended with exit status 3", "exited"),
        ])
        self.assertEqual(ports["COM6"]["tester_exit_status"], 3)


class Usage(unittest.TestCase):
    BAD = [
        (["-DOPROGA"], "no ports given"),
        (["-COM=", "-DOPROGA"], "the port list is empty"),
        (["-COM=0,1", "-DOPROGA"], "there is no port 0"),
        (["-COM=3,4,3", "-DOPROGA"], "port 3 is listed twice"),
        (["-COM=8-1", "-DOPROGA"], "the port range 8-1 runs backwards"),
        (["-COM=1-300", "-DOPROGA"], "more than 256 ports"),
        (["-COM=3/../x", "-DOPROGA"], "path separator"),
        (["-COM=3", "-DOPROGA", "--frobnicate"], "unknown option --frobnicate"),
        (["-COM=3", "-DOPROGA", "--tester", "no-such-tester"], "no tester found"),
        (["-COM=3", "-DOPROGA", "--junit", "no/such/dir/gang.xml"], "no directory"),
    ]

    def test_bad_command_lines_start_nothing(self):
        st = Station(self, with_tester=False)
        marker = st.path("started")
        st.script("ZqCmdLin", "touch %s\n" % marker)
        for args, message in self.BAD:
            proc = st.gang(*args)
            self.assertEqual(proc.returncode, 2, (args, proc.out, proc.err))
            self.assertTrue(proc.err.startswith("zq-gang: "), proc.err)
            self.assertIn(message, proc.err.splitlines()[0], args)
            self.assertFalse(os.path.exists(marker), args)
        self.assertFalse(os.path.exists(st.path("LogFileS")))

    def test_no_tester_beside_the_gang(self):
        st = Station(self, with_tester=False)
        proc = st.gang("-COM=3", "-DOPROGA")
        self.assertEqual(proc.returncode, 2)
        self.assertIn("no tester found: " + st.path("ZqCmdLin"), proc.err)

    def test_help(self):
        proc = Station(self, with_tester=False).gang("--help")
        self.assertEqual(proc.returncode, 0)
        self.assertIn("usage: zq-gang -COM=<ports>", proc.out)


if __name__ == "__main__":
    if not (GANG and TESTER and SIMULATOR):
        sys.exit("ZQ_GANG, ZQ_TESTER and ZQ_SIMULATOR must name the programs")
    unittest.main()
