#!/usr/bin/env python3
"""Runs the Windows binaries of a Windows build under Wine, each copied into a fresh directory.

Environment: ZQ_WINDOWS_BUILD_DIR (the Windows build), ZQ_WINE_ARCH (win32 or win64, its word
size), ZQ_WINE (the wine loader of that word size), WINEPREFIX (a
prefix whose dosdevices/com3 leads nowhere, so no run reaches a real serial device).
Wine runs in the C locale, whose Windows formats are those of English (United States): the long
time reads 2:05:09 PM and the short date 1/31/2024, so log file names keep a blank and AM or PM.
"""
import os
import re
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import zqtest  # noqa: E402

BUILD = os.environ.get("ZQ_WINDOWS_BUILD_DIR", "")
ARCH = os.environ.get("ZQ_WINE_ARCH", "win32")
WINE = os.environ.get("ZQ_WINE", "wine")
TIME = r"\d{1,2}:\d\d:\d\d [AP]M"
STAMP = zqtest.stamp(TIME)
LOG_DATE_TIME = r"\d{1,2}_\d{1,2}_\d{4}_\d{1,2}_\d\d_\d\d [AP]M"


def wine_environment():
    return dict(os.environ, LC_ALL="C", WINEDEBUG="-all")


class Scratch(unittest.TestCase):
    def scratch(self, *files):
        return zqtest.scratch_directory(self, "zq_wine_", *(os.path.join(BUILD, f) for f in files))


class Library(Scratch):
    def test_host_calls_every_export_by_name_and_ordinal(self):
        d = self.scratch("tests/wine/PelmoraHost.exe", "msglib/PELMORAERRI.dll")
        proc = subprocess.run([WINE, "PelmoraHost.exe", "PELMORAERRI.dll"], cwd=d,
                              env=wine_environment(), timeout=120,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out = proc.stdout.decode("latin-1")
        self.assertEqual(proc.returncode, 0, out)
        m = re.search(r"^(\d+) passed, (\d+) failed\r?$", out, re.M)
        self.assertIsNotNone(m, out)
        self.assertEqual(m.group(2), "0", out)
        # Win32 measures the stack around every call besides, which doubles the calls checked.
        self.assertGreaterEqual(int(m.group(1)), 60 if ARCH == "win32" else 40, out)


class Tester(zqtest.OutputChecks, Scratch):
    log_date_time = LOG_DATE_TIME

    def run_tester(self, args, prepare=None):
        d = self.scratch("tester/ZqCmdLin.exe")
        if prepare:
            prepare(d)
        started = time.monotonic()
        proc = subprocess.run([WINE, os.path.join(d, "ZqCmdLin.exe")] + args, cwd="/",
                              env=wine_environment(), timeout=120,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        seconds = time.monotonic() - started
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return d, seconds

    def expect_outputs(self, d, port, patterns):
        report = zqtest.read(d, "RptZq_%s.Txt" % port)
        self.expect_lines(report, patterns)
        self.expect_one_log(d, port, "NG", report)

    def test_no_argument(self):
        d, seconds = self.run_tester([])
        self.expect_outputs(d, "", [STAMP + re.escape("No Paramter is Passed to this Application!"),
                                    re.escape("End of Commad: Failed!")])
        self.assertLess(seconds, 30)

    def test_faulty_switches(self):
        d, _ = self.run_tester(["com3", "-XYZ", "-TIMOUT=5", "-VOLT=9"])
        self.expect_outputs(d, "", [
            STAMP + re.escape("> Command Line Parameter error : com3"),
            re.escape("End of Commad: Failed!"),
            STAMP + re.escape("> Not Supported Command Line Command : XYZ"),
            STAMP + re.escape(">Not Supported Command Line Command : 9"),
        ])

    def test_time_out_without_programmer(self):
        def stale_report(d):
            with open(os.path.join(d, "RptZq_COM3.Txt"), "wb") as f:
                f.write(b"an earlier run\r\n")
            os.mkdir(os.path.join(d, "LogFileS"))

        d, seconds = self.run_tester(["-COM=3", "-DOPROGA"], stale_report)
        self.expect_outputs(d, "COM3", [
            STAMP + re.escape('CmdLin: Set COM Port=COM3"'),
            STAMP + re.escape("CmdLin: Do Programming Starting!"),
            STAMP + re.escape("CML: Operation Time Out!"),
        ])
        self.assertGreaterEqual(seconds, 4.5)  # 300 ticks of 15 ms before the first answer


if __name__ == "__main__":
    if not BUILD:
        sys.exit("ZQ_WINDOWS_BUILD_DIR is not set")
    unittest.main()
