#!/usr/bin/env python3
"""Runs zq-gang.exe of a Windows build under Wine with that build's ZqCmdLin.exe beside it.

Each port of a gang is the programmer simulator on a pseudo-terminal, reached through the
prefix's dosdevices/com<n>, or a link that leads nowhere; the prefix's links come back as they
were after each test. The gang's exit status, JSON and JUnit files are those the Linux build
writes, with Windows paths.

Environment: ZQ_WINDOWS_BUILD_DIR, ZQ_SIMULATOR, ZQ_WINE, WINEPREFIX.
"""
import json
import os
import shutil
import subprocess
import sys
import time
import unittest
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import zqtest  # noqa: E402

BUILD = os.environ.get("ZQ_WINDOWS_BUILD_DIR", "")
SIMULATOR = os.environ.get("ZQ_SIMULATOR", "")
WINE = os.environ.get("ZQ_WINE", "wine")
PREFIX = os.environ.get("WINEPREFIX", "")


class GangUnderWine(unittest.TestCase):
    def setUp(self):
        # A station directory whose name is not ASCII: every path the gang starts, enters, reads
        # or writes must reach the system as wide-character text (ZqCmdLin itself takes its
        # directory in the ANSI code page, which holds ü; the report directory below is named in
        # a script no such code page holds, and only the gang writes there).
        top = zqtest.scratch_directory(self, "zq_wine_gang_")
        self.dir = os.path.join(top, "Müller 1")
        os.mkdir(self.dir)
        for program in (os.path.join(BUILD, "gang", "zq-gang.exe"),
                        os.path.join(BUILD, "gang", "PELMORAERRI.dll"),
                        os.path.join(BUILD, "tester", "ZqCmdLin.exe")):
            shutil.copy2(program, self.dir)

    def keep_link(self, port):
        """The prefix's COM<port> link as it is now comes back when the test ends."""
        link = os.path.join(PREFIX, "dosdevices", "com%d" % port)
        previous = os.readlink(link) if os.path.islink(link) else None

        def restore():
            if os.path.lexists(link):
                os.unlink(link)
            if previous is not None:
                os.symlink(previous, link)
        self.addCleanup(restore)
        return link

    def simulate(self, port, *options):
        self.keep_link(port)
        sim = zqtest.Simulator(SIMULATOR, PREFIX, port,
                               os.path.join(self.dir, "wire%d.bin" % port), list(options))
        self.addCleanup(sim.stop)

    def no_device(self, port):
        link = self.keep_link(port)
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(os.path.join(PREFIX, "no-such-device"), link)

    def gang(self, *args):
        # Wine maps Unix file names through the locale's character set: UTF-8 here.
        env = dict(os.environ, LC_ALL="C.UTF-8", WINEDEBUG="-all")
        started = time.monotonic()
        proc = subprocess.run([WINE, os.path.join(self.dir, "zq-gang.exe")] + list(args),
                              cwd=self.dir, env=env, timeout=240,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        proc.seconds = time.monotonic() - started
        proc.out = proc.stdout.decode("utf-8", "replace")
        proc.err = proc.stderr.decode("utf-8", "replace")
        return proc

    def summary(self):
        with open(os.path.join(self.dir, "gang.json"), encoding="utf-8") as f:
            return {p["port"]: p for p in json.load(f)["ports"]}

    def test_mixed_outcomes(self):
        self.simulate(3)
        self.simulate(4, "--status", "86")
        self.no_device(5)
        os.mkdir(os.path.join(self.dir, "报告"))
        proc = self.gang("-COM=3-5", "-DOPROGA", "--json", "gang.json", "--junit", "报告\\gang.xml")
        self.assertEqual(proc.returncode, 1, proc.out + proc.err)
        ports = self.summary()
        self.assertEqual([(p["port"], p["outcome"], p["reason"]) for p in ports.values()], [
            ("COM3", "OK", ""),
            ("COM4", "NG", "Command Operation Failed : Error=0x86!"),
            ("COM5", "NG", "COM5 (\\\\.\\COM5): does not exist"),
        ])
        self.assertEqual((ports["COM4"]["error_code"], ports["COM4"]["error_text"]["cn"]),
                         (0x86, "操作失败！错误代码 = 0134/0x86."))
        logs = zqtest.log_names(self.dir)
        for port in ports.values():
            self.assertEqual(port["tester_exit_status"], 0)
            # A Windows path into the tester's own LogFileS.
            self.assertRegex(port["log_file"], r"^[A-Z]:\\.*\\LogFileS\\ZQ_%s_%s_"
                             % (port["port"], port["outcome"]))
            self.assertIn(port["log_file"].split("\\")[-1], logs)
        suite = ET.parse(os.path.join(self.dir, "报告", "gang.xml")).getroot().find("testsuite")
        self.assertEqual((suite.get("tests"), suite.get("failures")), ("3", "2"))
        self.assertIn("3 ports: 1 OK, 2 NG", proc.out)

    def test_time_limit_ends_the_tester(self):
        self.simulate(3, "--silent")
        proc = self.gang("-COM=3", "-DOPROGA", "--timeout", "1", "--json", "gang.json")
        self.assertEqual(proc.returncode, 1, proc.out + proc.err)
        port = self.summary()["COM3"]
        self.assertEqual((port["outcome"], port["tester_end"]), ("NG", "killed"))
        self.assertEqual(port["reason"], "ZqCmdLin did not end within 1 s and was ended")
        # The tester's own time-out would have come after 4.5 s.
        self.assertLess(port["duration_s"], 4.0)
        # Its programmer was reset afterwards; a silent one does not answer that either.
        self.assertEqual((port["reset_after"]["cause"], port["reset_after"]["outcome"]),
                         ("time limit", "NG"))

    def test_bad_port_list_starts_nothing(self):
        proc = self.gang("-COM=3,3", "-DOPROGA")
        self.assertEqual(proc.returncode, 2, proc.out + proc.err)
        self.assertIn("port 3 is listed twice", proc.err)
        self.assertEqual(zqtest.log_names(self.dir), [])


if __name__ == "__main__":
    for name, value in (("ZQ_WINDOWS_BUILD_DIR", BUILD), ("ZQ_SIMULATOR", SIMULATOR),
                        ("WINEPREFIX", PREFIX)):
        if not value:
            sys.exit(name + " must be set")
    unittest.main()
