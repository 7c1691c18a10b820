#!/usr/bin/env python3
"""Runs the real ZqCmdLin binary in temporary directories and checks its two output files.

No programmer is attached: COM3 is mapped through dosdevices/com3 to a path that does not
exist, so the port never opens, even on machines that have /dev/ttyS2.
Usage: tester_runs.py <path to ZqCmdLin>
"""
import os
import re
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import zqtest  # noqa: E402

BINARY = None
STAMP = zqtest.stamp()


class Run:
    """One start of the program in its own directory, removed when the test ends."""

    def __init__(self, test, args, prepare=None):
        self.dir = zqtest.scratch_directory(test, "zq_e2e_", (BINARY, "ZqCmdLin"))
        self.exe = os.path.join(self.dir, "ZqCmdLin")
        os.mkdir(os.path.join(self.dir, "dosdevices"))
        os.symlink(os.path.join(self.dir, "no-such-device"),
                   os.path.join(self.dir, "dosdevices", "com3"))
        if prepare:
            prepare(self.dir)
        env = dict(os.environ, LC_ALL="C")
        started = time.monotonic()
        self.proc = subprocess.run([self.exe] + args, cwd="/", env=env, timeout=60,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.seconds = time.monotonic() - started

    def read(self, *parts):
        return zqtest.read(self.dir, *parts)

    def report(self, port):
        return self.read("RptZq_%s.Txt" % port)

    def log_files(self):
        return zqtest.log_names(self.dir)


class TesterRuns(zqtest.OutputChecks, unittest.TestCase):
    def start(self, args, prepare=None):
        run = Run(self, args, prepare)
        self.assertEqual(run.proc.returncode, 0, run.proc.stderr)
        return run

    def test_no_argument(self):
        run = self.start([])
        report = run.report("")
        self.expect_lines(report, [STAMP + re.escape("No Paramter is Passed to this Application!"),
                                   re.escape("End of Commad: Failed!")])
        self.expect_one_log(run.dir, "", "NG", report)
        self.assertLess(run.seconds, 2.0)

    def test_bad_switches(self):
        run = self.start(["-COM=3", "doproga", "-COM=", "-SPEED=fast"])
        report = run.report("COM3")
        self.expect_lines(report, [
            STAMP + re.escape('CmdLin: Set COM Port=COM3"'),
            STAMP + re.escape("> Command Line Parameter error : doproga"),
            re.escape("End of Commad: Failed!"),
            STAMP + re.escape("> Not Supported Command Line Command : COM"),
            STAMP + re.escape(">Not Supported Command Line Command : FAST"),
        ])
        self.expect_one_log(run.dir, "COM3", "NG", report)
        self.assertLess(run.seconds, 2.0)

    def test_single_switch(self):
        run = self.start(["-DOCHECK"])
        self.expect_lines(run.report(""), [
            STAMP + re.escape("CmdLin: Do Programming Checking!"),
            STAMP + re.escape("> Not Enough Parameter has been transformed!"),
            re.escape("End of Commad: Failed!"),
        ])

    def test_time_out_after_300_ticks(self):
        def old_report(d):
            with open(os.path.join(d, "RptZq_COM3.Txt"), "wb") as f:
                f.write(b"report of an earlier run\r\n")
        run = self.start(["-COM=3", "-ENDPDAT", "-DOPROGA"], old_report)
        report = run.report("COM3")
        self.expect_lines(report, [
            STAMP + re.escape('CmdLin: Set COM Port=COM3"'),
            STAMP + re.escape("CmdLin: Do Programming Starting!"),
            STAMP + re.escape("CML: Operation Time Out!"),
        ])
        self.expect_one_log(run.dir, "COM3", "NG", report)
        # 300 ticks of 15 ms after the port switch, plus start-up and the last tick.
        self.assertGreaterEqual(run.seconds, 4.4)
        self.assertLess(run.seconds, 9.0)

    def test_timout_not_a_number_ends_by_time_out(self):
        run = self.start(["-COM=3", "-TIMOUT=abc", "-DOPROGA"])
        self.expect_lines(run.report("COM3"), [
            STAMP + re.escape('CmdLin: Set COM Port=COM3"'),
            STAMP + re.escape("CmdLin: TIMOUT value is not a number: ABC"),
            STAMP + re.escape("CML: Operation Time Out!"),
        ])
        self.assertGreaterEqual(run.seconds, 4.4)

    def test_port_value_with_path_stays_in_program_directory(self):
        run = self.start(["-COM=3/../../evil", "-DOFLY"])
        names = sorted(os.listdir(run.dir))
        self.assertIn("RptZq_COM3_.._.._EVIL.Txt", names)
        self.assertNotIn("EVIL.Txt", os.listdir(os.path.dirname(run.dir)))
        self.assertEqual(len(run.log_files()), 1)
        self.assertRegex(run.log_files()[0], "^ZQ_COM3_.._.._EVIL_NG_")

    def test_unwritable_outputs_still_exit_promptly(self):
        def block_outputs(d):
            # A directory where the report goes and a file where LogFileS goes: neither can be
            # written, whoever runs the test.
            os.mkdir(os.path.join(d, "RptZq_COM3.Txt"))
            with open(os.path.join(d, "LogFileS"), "wb") as f:
                f.write(b"not a directory")
        run = self.start(["-COM=3", "-DOFLY"], block_outputs)
        self.assertLess(run.seconds, 2.0)
        self.assertTrue(os.path.isdir(os.path.join(run.dir, "RptZq_COM3.Txt")))

    def test_two_quick_runs_keep_both_logs(self):
        run = self.start(["x", "y"])
        # Same port and outcome again, from the same directory, within the same second or not.
        for _ in range(2):
            proc = subprocess.run([run.exe, "x", "y"], cwd="/", timeout=30,
                                  env=dict(os.environ, LC_ALL="C"))
            self.assertEqual(proc.returncode, 0)
        self.assertEqual(len(run.log_files()), 3, run.log_files())


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: tester_runs.py <ZqCmdLin>")
    BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
