#!/usr/bin/env python3
"""Runs ZqCmdLin.exe of a Windows build under Wine against the programmer simulator.

The simulator makes a pseudo-terminal and points $WINEPREFIX/dosdevices/com3 at it, so the
tester's \\\\.\\COM3 is the simulator's line: the Win32 serial component's overlapped reads and
writes, its receive and transmit threads and its line settings (1,000,000 baud) all take part.
Each run checks the exact report lines, the log file's name and content, and the command bytes
the simulator received.

Environment: ZQ_WINDOWS_BUILD_DIR (the Windows build), ZQ_SIMULATOR (zq-programmer-sim of the Linux
build), ZQ_WINE (the wine program), WINEPREFIX (a prefix made by wineboot).
Wine runs in the C locale, whose Windows formats are those of English (United States): the long
time reads 2:05:09 PM and the short date 1/31/2024.
"""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import zqtest  # noqa: E402
from zqtest import (CHECK_OK_HEAD, PROGRAM_OK_END, PROGRAM_START, PROGRAM_STEPS,  # noqa: E402
                    SET_PORT, WIRE)

BUILD = os.environ.get("ZQ_WINDOWS_BUILD_DIR", "")
SIMULATOR = os.environ.get("ZQ_SIMULATOR", "")
WINE = os.environ.get("ZQ_WINE", "wine")
PREFIX = os.environ.get("WINEPREFIX", "")
PORT = 3

TIME = r"\d{1,2}:\d\d:\d\d [AP]M"
LOG_DATE_TIME = r"\d{1,2}_\d{1,2}_\d{4}_\d{1,2}_\d\d_\d\d [AP]M"
INFO_BLOCK = zqtest.info_block()


class SimulatorOnCom3(zqtest.Simulator):
    """The simulator with the prefix's COM3 pointed at its pseudo-terminal; the link the prefix
    had before comes back when the simulator stops."""

    def __init__(self, directory, options):
        self.link = os.path.join(PREFIX, "dosdevices", "com%d" % PORT)
        self.previous = os.readlink(self.link) if os.path.islink(self.link) else None
        try:
            super().__init__(SIMULATOR, PREFIX, PORT, os.path.join(directory, "wire.bin"),
                             options)
        except RuntimeError:
            self.restore_link()
            raise

    def restore_link(self):
        if os.path.lexists(self.link):
            os.unlink(self.link)
        if self.previous is not None:
            os.symlink(self.previous, self.link)

    def stop(self):
        super().stop()
        self.restore_link()


class SerialRuns(zqtest.OutputChecks, unittest.TestCase):
    log_date_time = LOG_DATE_TIME

    def run_tester(self, args, sim_options=(), timeout=60):
        directory = zqtest.scratch_directory(
            self, "zq_wine_serial_", os.path.join(BUILD, "tester", "ZqCmdLin.exe"))
        run = zqtest.Run(directory, PORT, TIME)
        sim = SimulatorOnCom3(directory, sim_options)
        env = dict(os.environ, LC_ALL="C", WINEDEBUG="-all")
        return zqtest.run_with_simulator(self, run, sim,
                                         [WINE, os.path.join(directory, "ZqCmdLin.exe")] + args,
                                         "/", env, timeout)

    def test_programming_success(self):
        run = self.run_tester(["-COM=3", "-DOPROGA"], ["--blocks", "1"])
        self.check(run, PROGRAM_START + PROGRAM_STEPS + PROGRAM_OK_END, "OK", WIRE["DOPROGA"])

    def test_programming_failure_status(self):
        run = self.run_tester(["-COM=3", "-DOPROGA"], ["--blocks", "1", "--status", "45"])
        self.check(run, PROGRAM_START + PROGRAM_STEPS + [
            "> T Progrmming Completed : Failed : Error=0x45!", "End of Commad: Failed!"],
            "NG", WIRE["DOPROGA"])

    def test_check_programmer(self):
        run = self.run_tester(["-COM=3", "-DOCHECK"])
        self.check(run, CHECK_OK_HEAD + INFO_BLOCK, "NG", WIRE["DOCHECK"])

    def test_retry_after_reset(self):
        # Three command packets: the run, the reset, and the second run after the countdown.
        run = self.run_tester(["-COM=3", "-DOPROGA"], ["--blocks", "1", "--retry", "86"])
        self.check(run, PROGRAM_START + PROGRAM_STEPS + ["> T Handle Resety Programmer......."]
                   + INFO_BLOCK + PROGRAM_STEPS + PROGRAM_OK_END,
                   "OK", WIRE["DOPROGA"] + WIRE["DORESET"] + WIRE["DOPROGA"])

    def test_silent_programmer_ends_by_time_out(self):
        run = self.run_tester(["-COM=3", "-DOPROGA"], ["--silent"])
        self.check(run, PROGRAM_START + ["> T CML: Operation Time Out!"], "NG", WIRE["DOPROGA"])
        self.assertGreaterEqual(run.seconds, 4.5)  # 300 ticks of 15 ms without an answer

    def test_answers_in_small_pieces_and_all_at_once(self):
        # Chunks cut by the read interval: one byte at a time with gaps, and one large write.
        for options in (["--split", "1", "--split-gap", "8"], ["--merge", "--fill"]):
            with self.subTest(options=options):
                run = self.run_tester(["-COM=3", "-DORDSUM"], options)
                self.check(run, SET_PORT + [
                    "> T CmdLin: Do Read Chip Checksum.......",
                    "> T Command Successed, Read ACC16=0xB7E1,CRC16=0x3C5A."],
                    "OK", WIRE["DORDSUM"])

    def test_many_status_packets_in_one_run(self):
        # Far more than one read's 2048 bytes arrive while the tester decodes.
        run = self.run_tester(["-COM=3", "-DOPROGA"], ["--blocks", "1", "--progress", "600"])
        lines = run.report()
        self.assertEqual(lines[:2], PROGRAM_START)
        self.assertEqual(lines[-2:], PROGRAM_OK_END)
        self.assertEqual(run.wire, WIRE["DOPROGA"])
        self.assertEqual(len(run.logs()), 1)
        self.assertTrue(run.logs()[0].startswith("ZQ_COM3_OK_"), run.logs())


if __name__ == "__main__":
    missing = [name for name, value in (("ZQ_WINDOWS_BUILD_DIR", BUILD), ("ZQ_SIMULATOR", SIMULATOR),
                                        ("WINEPREFIX", PREFIX)) if not value]
    if missing:
        sys.exit("not set: " + ", ".join(missing))
    unittest.main(verbosity=2)
