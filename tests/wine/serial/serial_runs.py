#!/usr/bin/env python3
"""Runs ZqCmdLin.exe of a Windows build under Wine against the programmer simulator.

The simulator makes a pseudo-terminal and points $WINEPREFIX/dosdevices/com3 at it, so the
tester's \\\\.\\COM3 is the simulator's line: the Win32 serial component's overlapped reads and
writes, its receive and transmit threads and its line settings (1,000,000 baud) all take part.
Each run checks the exact report lines, the log file's name and content, and the command bytes
the simulator received.

Environment: ZQ_WIN32_BUILD_DIR (the Windows build), ZQ_SIMULATOR (zq-programmer-sim of the Linux
build), ZQ_WINE (the wine program), WINEPREFIX (a prefix made by wineboot).
Wine runs in the C locale, whose Windows formats are those of English (United States): the long
time reads 2:05:09 PM and the short date 1/31/2024.
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

BUILD = os.environ.get("ZQ_WIN32_BUILD_DIR", "")
SIMULATOR = os.environ.get("ZQ_SIMULATOR", "")
WINE = os.environ.get("ZQ_WINE", "wine")
PREFIX = os.environ.get("WINEPREFIX", "")
PORT = 3

STAMP = re.compile(rb"^> \d{1,2}:\d\d:\d\d [AP]M ")
LOG_NAME = re.compile(
    r"^ZQ_COM3_(OK|NG)_\d{1,2}_\d{1,2}_\d{4}_\d{1,2}_\d\d_\d\d [AP]M(_\d+)?\.log$")


def frame(packet):
    """END, packet, END, then the five 0xFF the tester sends after every frame."""
    return bytes([0xC0]) + bytes(packet) + bytes([0xC0]) + b"\xff" * 5


WIRE = {
    "DOPROGA": frame(b"\xf9APRG\x9f\x00\x00\xe3\x4d"),
    "DOCHECK": frame(b"\xf6CKPG\x6f\x00\x00\x7a\x3a"),
    "DORESET": frame(b"\x8aREST\xa8\x02\x00\x00\x00\xcd\x02"),
    "DORDSUM": frame(b"\xf9RDSX\x9f\x00\x00\x95\x59"),
}

SET_PORT = ['> T CmdLin: Set COM Port=COM3"']
PROGRAM_STEPS = [
    "> T Current Data ACC16=0xB7E1,CRC16=0x3C5A.",
    "> T Initial Programming Interface ....",
    "> T Chip Blank Checking....",
    "> T Do Flash Block 1 Blank Checking ......",
    "> T Do Chip Erasing....",
    "> T Do Flash Block 1 Erasing ......",
    "> T Do Main Flash Programming....",
    "> T Do Main Flash Block 1 Programming ......",
    "> T Do Main Flash Verification....",
    "> T Do Main Flash Block 1 Verify ......",
    "> T Do Chip Option Byte Programming...., Current SN=0x00001005.",
]
PROGRAM_START = SET_PORT + ["> T CmdLin: Do Programming Starting!"]
PROGRAM_OK_END = [
    "> T Progrmming Completed : Successed !Chip ACC16=0xB7E1,CRC16=0x3C5A.",
    "End of Commad: Success!",
]
INFO_BLOCK = [
    "> Current Programmer Information : ",
    "   Current ROM Size is : 512KB.",
    "   Current Flash CRC Sum : 0x3C5A.",
    "   Current Flash ACC Sum : 0xB7E1.",
    "   Current Chip Name is : S32K144",
    "   Current File Name is : FIRMWARE_V1_02.HEX",
    "   No S/N is Used!",
    "End of Commad!",
]


class Run:
    def __init__(self, directory):
        self.directory = directory
        self.exit_code = None
        self.seconds = None
        self.wire = b""

    def read(self, *parts):
        with open(os.path.join(self.directory, *parts), "rb") as f:
            return f.read()

    def report_bytes(self):
        return self.read("RptZq_COM3.Txt")

    def report(self):
        """The report's lines with the time of day replaced by T; every line ends in CR LF."""
        data = self.report_bytes()
        assert data.endswith(b"\r\n"), data
        assert b"\n" not in data.replace(b"\r\n", b""), data
        return [STAMP.sub(b"> T ", line).decode("latin-1") for line in data.split(b"\r\n")[:-1]]

    def logs(self):
        d = os.path.join(self.directory, "LogFileS")
        return sorted(os.listdir(d)) if os.path.isdir(d) else []


class SimulatorOnCom3:
    """The simulator with the prefix's COM3 pointed at its pseudo-terminal; the link the prefix
    had before comes back when the simulator stops."""

    def __init__(self, directory, options):
        self.link = os.path.join(PREFIX, "dosdevices", "com%d" % PORT)
        self.previous = os.readlink(self.link) if os.path.islink(self.link) else None
        self.record = os.path.join(directory, "wire.bin")
        self.process = subprocess.Popen(
            [SIMULATOR, "--link", PREFIX, "--com", str(PORT), "--record", self.record]
            + list(options),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        while True:
            line = self.process.stdout.readline()
            if not line:
                self.restore_link()
                raise RuntimeError("simulator ended: " + self.process.stderr.read().decode())
            if line.strip() == b"READY":
                break

    def restore_link(self):
        if os.path.lexists(self.link):
            os.unlink(self.link)
        if self.previous is not None:
            os.symlink(self.previous, self.link)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()
        self.process.stderr.close()
        self.restore_link()

    def wire(self):
        if not os.path.exists(self.record):
            return b""
        with open(self.record, "rb") as f:
            return f.read()


class SerialRuns(unittest.TestCase):
    def run_tester(self, args, sim_options=(), timeout=60):
        directory = tempfile.mkdtemp(prefix="zq_wine_serial_")
        self.addCleanup(shutil.rmtree, directory, True)
        shutil.copy2(os.path.join(BUILD, "tester", "ZqCmdLin.exe"), directory)
        run = Run(directory)
        sim = SimulatorOnCom3(directory, sim_options)
        try:
            env = dict(os.environ, LC_ALL="C", WINEDEBUG="-all")
            started = time.monotonic()
            try:
                proc = subprocess.run([WINE, os.path.join(directory, "ZqCmdLin.exe")] + args,
                                      cwd="/", env=env, timeout=timeout,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            except subprocess.TimeoutExpired:
                self.fail("the tester did not end within %d s" % timeout)
            run.seconds = time.monotonic() - started
            run.exit_code = proc.returncode
        finally:
            sim.stop()
        run.wire = sim.wire()
        return run

    def check(self, run, lines, verdict, wire):
        """Exit status 0, the exact report, one log file named with the verdict and holding the
        report's bytes, and the command bytes on the line."""
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.report(), lines)
        logs = run.logs()
        self.assertEqual(len(logs), 1, logs)
        match = LOG_NAME.match(logs[0])
        self.assertIsNotNone(match, logs[0])
        self.assertEqual(match.group(1), verdict)
        self.assertEqual(run.read("LogFileS", logs[0]), run.report_bytes())
        self.assertEqual(run.wire, wire)

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
        self.check(run, SET_PORT + [
            "> T CmdLin: Do Programming Checking!",
            "> T Programmer is ready to Start!",
            "> T Chip is In,Programmer is Ready,Socket is OK.",
        ] + INFO_BLOCK, "NG", WIRE["DOCHECK"])

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
    missing = [name for name, value in (("ZQ_WIN32_BUILD_DIR", BUILD), ("ZQ_SIMULATOR", SIMULATOR),
                                        ("WINEPREFIX", PREFIX)) if not value]
    if missing:
        sys.exit("not set: " + ", ".join(missing))
    unittest.main(verbosity=2)
