#!/usr/bin/env python3
"""End-to-end runs: the real ZqCmdLin, copied into a temporary directory, against the programmer
simulator on a pseudo-terminal. Checks the exact report lines, the log file's name and content,
and the command bytes on the wire.

Environment: ZQ_TESTER (the ZqCmdLin binary) and ZQ_SIMULATOR (zq-programmer-sim).
Run one group with:  python3 test_runs.py -k Commands
"""

import os
import re
import shutil
import signal
import stat
import subprocess
import tempfile
import time
import unittest

TESTER = os.environ.get("ZQ_TESTER", "")
SIMULATOR = os.environ.get("ZQ_SIMULATOR", "")

STAMP = re.compile(rb"^> \d\d:\d\d:\d\d ")
LOG_NAME = re.compile(r"^ZQ_(COM\d+)_(OK|NG)_[0-9_]+\.log$")


def frame(packet):
    """The tester's frame of a command packet: END, packet, END, five 0xFF (no byte of a
    command packet needs stuffing)."""
    return bytes([0xC0]) + bytes(packet) + bytes([0xC0]) + b"\xff" * 5


# The command packets on the wire, as the programmer must receive them.
WIRE = {
    "DOPROGA": frame(b"\xf9APRG\x9f\x00\x00\xe3\x4d"),
    "DOCHECK": frame(b"\xf6CKPG\x6f\x00\x00\x7a\x3a"),
    "DORESET": frame(b"\x8aREST\xa8\x02\x00\x00\x00\xcd\x02"),
    "DORDSUM": frame(b"\xf9RDSX\x9f\x00\x00\x95\x59"),
    "DOERASE": frame(b"\xf9ERAS\x9f\x00\x00\x2f\x73"),
}

PORT = ['> T CmdLin: Set COM Port=COM3"']

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
PROGRAM_OK = PORT + ["> T CmdLin: Do Programming Starting!"] + PROGRAM_STEPS + [
    "> T Progrmming Completed : Successed !Chip ACC16=0xB7E1,CRC16=0x3C5A.",
    "End of Commad: Success!",
]


def info_block(chip="S32K144", extra=(), serial=("   No S/N is Used!",)):
    return [
        "> Current Programmer Information : ",
        "   Current ROM Size is : 512KB.",
        "   Current Flash CRC Sum : 0x3C5A.",
        "   Current Flash ACC Sum : 0xB7E1.",
        "   Current Chip Name is : " + chip,
        "   Current File Name is : FIRMWARE_V1_02.HEX",
        *extra,
        *serial,
        "End of Commad!",
    ]


CHECK_OK_HEAD = PORT + [
    "> T CmdLin: Do Programming Checking!",
    "> T Programmer is ready to Start!",
    "> T Chip is In,Programmer is Ready,Socket is OK.",
]


class Run:
    """One run of the tester against one simulator."""

    def __init__(self, directory, port):
        self.directory = directory
        self.port = port
        self.exit_code = None
        self.seconds = None
        self.wire = b""

    def report_bytes(self):
        with open(os.path.join(self.directory, "RptZq_COM%d.Txt" % self.port), "rb") as f:
            return f.read()

    def report(self):
        """Report lines with the time of day replaced by T."""
        data = self.report_bytes()
        self.check_line_ends(data)
        return [STAMP.sub(b"> T ", line).decode("latin-1") for line in data.split(b"\r\n")[:-1]]

    @staticmethod
    def check_line_ends(data):
        assert data.endswith(b"\r\n"), "lines end in CR LF"
        assert b"\n" not in data.replace(b"\r\n", b""), "no bare line feed"

    def logs(self):
        directory = os.path.join(self.directory, "LogFileS")
        if not os.path.isdir(directory):
            return []
        return sorted(os.listdir(directory))

    def log_bytes(self, name):
        with open(os.path.join(self.directory, "LogFileS", name), "rb") as f:
            return f.read()


class Simulator:
    def __init__(self, directory, port, options):
        self.record = os.path.join(directory, "wire-com%d.bin" % port)
        self.process = subprocess.Popen(
            [SIMULATOR, "--link", directory, "--com", str(port), "--record", self.record]
            + list(options),
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        while True:
            line = self.process.stdout.readline()
            if not line:
                raise RuntimeError("simulator ended: " + self.process.stderr.read().decode())
            if line.strip() == b"READY":
                break

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

    def wire(self):
        if not os.path.exists(self.record):
            return b""
        with open(self.record, "rb") as f:
            return f.read()


def new_directory(test):
    directory = tempfile.mkdtemp(prefix="zq-e2e-")
    test.addCleanup(shutil.rmtree, directory, True)
    shutil.copy2(TESTER, os.path.join(directory, "ZqCmdLin"))
    return directory


def start_tester(directory, args):
    env = dict(os.environ, LC_ALL="C", LANG="C")
    return subprocess.Popen([os.path.join(directory, "ZqCmdLin")] + args, cwd=directory, env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def run_tester(test, args, sim_options=(), port=3, directory=None, timeout=20):
    directory = directory or new_directory(test)
    sim = Simulator(directory, port, sim_options)
    run = Run(directory, port)
    try:
        start = time.monotonic()
        tester = start_tester(directory, args)
        try:
            run.exit_code = tester.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            tester.kill()
            tester.wait()
            test.fail("the tester did not end within %d s" % timeout)
        run.seconds = time.monotonic() - start
    finally:
        sim.stop()
    run.wire = sim.wire()
    return run


class RunCase(unittest.TestCase):
    def check(self, run, lines, verdict, wire=None):
        """Exact report lines, exit status 0, one log file with the verdict and the report's
        content, and the command bytes on the wire."""
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.report(), lines)
        logs = run.logs()
        self.assertEqual(len(logs), 1, logs)
        match = LOG_NAME.match(logs[0])
        self.assertIsNotNone(match, logs[0])
        self.assertEqual(match.group(1), "COM%d" % run.port)
        self.assertEqual(match.group(2), verdict)
        self.assertEqual(run.log_bytes(logs[0]), run.report_bytes())
        if wire is not None:
            self.assertEqual(run.wire, wire)


class Commands(RunCase):
    """Every command switch, with a success and a failure answer."""

    def test_programming(self):
        cases = [
            ([], PROGRAM_OK, "OK"),
            (["--status", "45"], PROGRAM_OK[:-2] + [
                "> T Progrmming Completed : Failed : Error=0x45!", "End of Commad: Failed!"], "NG"),
            (["--completion", "F1"], PROGRAM_OK[:-2] + [
                "> T Progrmming Completed : Successed !Chip ACC32=0x12345678.",
                "> T CheckSum: 0x1234", "End of Commad: Success!"], "OK"),
            (["--completion", "F2"], PROGRAM_OK[:-2] + [
                "> T Progrmming Completed : Successed !Chip CRC32 = 0xDEADBEEF.",
                "End of Commad: Success!"], "OK"),
            (["--completion", "F2", "--status", "C0"], PROGRAM_OK[:-2] + [
                "> T Progrmming Completed : Failed : Error=0xC0!", "End of Commad: Failed!"], "NG"),
        ]
        for options, lines, verdict in cases:
            with self.subTest(options=options):
                run = run_tester(self, ["-COM=3", "-DOPROGA"], ["--blocks", "1"] + options)
                self.check(run, lines, verdict, WIRE["DOPROGA"])

    def test_other_commands(self):
        cases = [
            ("DOCHECK", [], CHECK_OK_HEAD + info_block(), "NG"),
            ("DOCHECK", ["--status", "31"], PORT + [
                "> T CmdLin: Do Programming Checking!", "> T Programmer has Error!",
                "> T Command Operation Failed : Error=0x31!"], "NG"),
            ("DORESET", [], PORT + ["> T CmdLin: Do Programming Reset!"] + info_block(), "NG"),
            ("DORESET", ["--status", "07"], PORT + [
                "> T CmdLin: Do Programming Reset!",
                "> T Command Operation Failed : Error=0x07!"], "NG"),
            ("DORDSUM", [], PORT + [
                "> T CmdLin: Do Read Chip Checksum.......",
                "> T Command Successed, Read ACC16=0xB7E1,CRC16=0x3C5A."], "OK"),
            ("DORDSUM", ["--status", "52"], PORT + [
                "> T CmdLin: Do Read Chip Checksum.......",
                "> T Command Failed : Error=0x52!"], "NG"),
            ("DOERASE", [], PORT + [
                "> T CmdLin: Do Chip Erase.......", "> T Do Chip Erasing....",
                "> T Do Flash Block 1 Erasing ......",
                "> T Command Operation Successed!"], "NG"),
            ("DOERASE", ["--status", "33"], PORT + [
                "> T CmdLin: Do Chip Erase.......", "> T Do Chip Erasing....",
                "> T Do Flash Block 1 Erasing ......",
                "> T Command Operation Failed : Error=0x33!"], "NG"),
        ]
        for switch, options, lines, verdict in cases:
            with self.subTest(switch=switch, options=options):
                run = run_tester(self, ["-COM=3", "-" + switch], ["--blocks", "1"] + options)
                self.check(run, lines, verdict, WIRE[switch])

    def test_erroneous_command_report(self):
        run = run_tester(self, ["-COM=3", "-DOPROGA"], ["--error-command"])
        self.check(run, PORT + ["> T CmdLin: Do Programming Starting!",
                                "> T Received Error Command!"], "NG", WIRE["DOPROGA"])

    def test_silence_ends_by_time_out(self):
        run = run_tester(self, ["-COM=3", "-DOPROGA"], ["--silent"])
        self.check(run, PORT + ["> T CmdLin: Do Programming Starting!",
                                "> T CML: Operation Time Out!"], "NG", WIRE["DOPROGA"])
        self.assertGreater(run.seconds, 4.0)  # 300 ticks of 15 ms


class Retry(RunCase):
    """The reset-and-retry of a programming run, in both of its endings."""

    def test_both_endings(self):
        head = PORT + ["> T CmdLin: Do Programming Starting!"] + PROGRAM_STEPS + [
            "> T Handle Resety Programmer......."] + info_block() + PROGRAM_STEPS
        cases = [
            (["--retry", "86"], head + PROGRAM_OK[-2:], "OK"),
            (["--retry", "C0"], head + PROGRAM_OK[-2:], "OK"),
            (["--retry", "86", "--status", "86"], head + [
                "> T Progrmming Completed : Failed : Error=0x86!", "End of Commad: Failed!"], "NG"),
        ]
        for options, lines, verdict in cases:
            with self.subTest(options=options):
                run = run_tester(self, ["-COM=3", "-DOPROGA"], ["--blocks", "1"] + options)
                self.check(run, lines, verdict,
                           WIRE["DOPROGA"] + WIRE["DORESET"] + WIRE["DOPROGA"])


class Framing(RunCase):
    """Framing on the line: the same run, whatever the programmer's bytes look like."""

    def test_same_report_for_every_fault(self):
        cases = [
            ["--split", "3", "--split-gap", "15"],
            ["--split", "1", "--split-gap", "8"],
            ["--merge"],
            ["--fill"],
            ["--noise"],
            ["--noise", "--fill", "--merge"],
            ["--bad-escape"],
            ["--bad-check"],
            ["--unknown-types"],
            ["--short-frames"],
            ["--delay", "30"],
            ["--bad-escape", "--bad-check", "--unknown-types", "--noise", "--split", "5"],
        ]
        for options in cases:
            with self.subTest(options=options):
                run = run_tester(self, ["-COM=3", "-DOPROGA"], ["--blocks", "1"] + options)
                self.check(run, PROGRAM_OK, "OK", WIRE["DOPROGA"])

    def test_trace_mode_echoes_every_status_packet(self):
        run = run_tester(self, ["-COM=3", "-ENDPDAT", "-DORDSUM"], ["--bad-check"])
        lines = run.report()
        rx = [line for line in lines if line.startswith("> T RX: ")]
        # The copy with the spoiled check byte is echoed too, then dropped.
        self.assertEqual(rx, ["> T RX: 0xFD 0xF6 0x06 0x5A 0x3C 0xE1 0xB7 0xDA ",
                              "> T RX: 0xFD 0xF6 0x06 0x5A 0x3C 0xE1 0xB7 0xD9 "])
        self.assertEqual(lines[-1], "> T Command Successed, Read ACC16=0xB7E1,CRC16=0x3C5A.")
        self.assertEqual(run.wire, WIRE["DORDSUM"])


class Packets(RunCase):
    """Identity, return-data and programmer information packets."""

    def test_identity_and_return_data(self):
        head = PORT + ["> T CmdLin: Do Read Chip Checksum......."]
        tail = ["> T Command Successed, Read ACC16=0xB7E1,CRC16=0x3C5A."]
        digest = "00112233445566778899AABBCCDDEEFF"
        cases = [
            (["--id", "0AFF"], ["> T ID : 0x0A 0xFF "]),
            (["--id", ""], ["> T ID : "]),
            (["--id", "C0DB"], ["> T ID : 0xC0 0xDB "]),
            (["--return-data", "A5:01020304"], ["> T Read Out Chip UID : 01 02 03 04"]),
            (["--return-data", "10:0102"], ["> T Get Return Data ID=0x10,Length=2,Data :  01 02"]),
            (["--return-data", "F0:" + digest], ["> T MD5: " + digest]),
            (["--return-data", "10:01", "--bad-return-check"],
             ["> T Received Packet :  FB 10 01 01 EF"]),
            (["--return-data", "F0:" + digest, "--bad-return-check"], []),
        ]
        for options, lines in cases:
            with self.subTest(options=options):
                run = run_tester(self, ["-COM=3", "-DORDSUM"], options)
                self.check(run, head + lines + tail, "OK", WIRE["DORDSUM"])

    def test_information_variants(self):
        file_sum = "   File CheckSum = 0x0012ABCD."
        cases = [
            ("plain", info_block()),
            ("mke", info_block("MKE02Z64VLD4", [file_sum])),
            ("xmc", info_block("XMC1100Q024F0064", [file_sum])),
            ("sn", info_block(serial=["   S/N is Used : Gain=3,Address=0x0800FF00.",
                                      "   Start S/N is : 0x00001000.Current SN=0x00001005."])),
            ("hidden", ["End of Commad!"]),
            ("badsig", ["End of Commad!"]),
        ]
        for variant, block in cases:
            with self.subTest(variant=variant):
                run = run_tester(self, ["-COM=3", "-DOCHECK"], ["--info", variant])
                self.check(run, CHECK_OK_HEAD + block, "NG", WIRE["DOCHECK"])


class Faults(RunCase):
    def test_device_vanishing_mid_run_ends_by_time_out(self):
        run = run_tester(self, ["-COM=3", "-TIMOUT=1", "-DOPROGA"],
                         ["--blocks", "1", "--vanish-after", "3"])
        self.check(run, PORT + ["> T CmdLin: Do Programming Starting!"] + PROGRAM_STEPS[:4] + [
            "> T CML: Operation Time Out!"], "NG", WIRE["DOPROGA"])

    def test_unwritable_output_still_ends_promptly(self):
        directory = new_directory(self)
        # Running as root, permissions do not stop writes; stand-ins of the wrong kind do.
        os.mkdir(os.path.join(directory, "RptZq_COM3.Txt"))
        with open(os.path.join(directory, "LogFileS"), "w") as f:
            f.write("not a directory")
        os.chmod(directory, stat.S_IRUSR | stat.S_IXUSR | stat.S_IRGRP | stat.S_IXGRP)
        self.addCleanup(os.chmod, directory, stat.S_IRWXU)
        run = run_tester(self, ["-COM=3", "-DOPROGA"], ["--blocks", "1"], directory=directory)
        self.assertEqual(run.exit_code, 0)
        self.assertLess(run.seconds, 3.0)
        self.assertEqual(run.wire, WIRE["DOPROGA"])

    def test_eight_testers_on_eight_ports_at_once(self):
        directory = new_directory(self)
        ports = list(range(3, 11))
        sims = {p: Simulator(directory, p, ["--blocks", "2", "--delay", "5"]) for p in ports}
        try:
            testers = {p: start_tester(directory, ["-COM=%d" % p, "-DOPROGA"]) for p in ports}
            for p, tester in testers.items():
                self.assertEqual(tester.wait(timeout=30), 0)
        finally:
            for sim in sims.values():
                sim.stop()
        logs = Run(directory, 3).logs()
        self.assertEqual(len(logs), len(ports), logs)
        for p in ports:
            run = Run(directory, p)
            lines = run.report()
            self.assertEqual(lines[0], '> T CmdLin: Set COM Port=COM%d"' % p)
            self.assertEqual(lines[-1], "End of Commad: Success!")
            self.assertEqual(len(lines), 2 + 11 + 4 + 2)
            mine = [name for name in logs if name.startswith("ZQ_COM%d_" % p)]
            self.assertEqual(len(mine), 1, mine)
            self.assertTrue(mine[0].startswith("ZQ_COM%d_OK_" % p))
            self.assertEqual(run.log_bytes(mine[0]), run.report_bytes())
            self.assertEqual(sims[p].wire(), WIRE["DOPROGA"])


class Device(unittest.TestCase):
    """The simulator on a serial device of its own choosing: the line speed it is told."""

    def test_line_speed_of_a_device(self):
        import termios

        cases = [(None, termios.B1000000), ("1000000", termios.B1000000),
                 ("115200", termios.B115200), ("9600", termios.B9600)]
        for baud, code in cases:
            with self.subTest(baud=baud):
                master, slave = os.openpty()
                try:
                    termios.tcsetattr(slave, termios.TCSANOW, [0, 0, termios.B38400 | termios.CS8,
                                                               0, termios.B38400, termios.B38400,
                                                               termios.tcgetattr(slave)[6]])
                    options = ["--device", os.ttyname(slave)]
                    if baud is not None:
                        options += ["--baud", baud]
                    sim = subprocess.Popen([SIMULATOR] + options, stdout=subprocess.PIPE,
                                           stderr=subprocess.PIPE)
                    try:
                        self.assertEqual(sim.stdout.readline().split()[0], b"DEVICE")
                        self.assertEqual(sim.stdout.readline().strip(), b"READY")
                        attributes = termios.tcgetattr(master)
                        self.assertEqual((attributes[4], attributes[5]), (code, code))
                    finally:
                        sim.send_signal(signal.SIGTERM)
                        sim.wait(timeout=5)
                        sim.stdout.close()
                        sim.stderr.close()
                finally:
                    os.close(master)
                    os.close(slave)

    def test_unsupported_line_speed_is_refused(self):
        master, slave = os.openpty()
        try:
            sim = subprocess.run([SIMULATOR, "--device", os.ttyname(slave), "--baud", "12345"],
                                 capture_output=True, timeout=5)
        finally:
            os.close(master)
            os.close(slave)
        self.assertEqual(sim.returncode, 2)
        self.assertIn(b"12345", sim.stderr)


if __name__ == "__main__":
    if not (os.path.isfile(TESTER) and os.path.isfile(SIMULATOR)):
        raise SystemExit("set ZQ_TESTER and ZQ_SIMULATOR to the built programs")
    unittest.main()
