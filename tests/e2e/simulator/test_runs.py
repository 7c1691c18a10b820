#!/usr/bin/env python3
"""End-to-end runs: the real ZqCmdLin, copied into a temporary directory, against the programmer
simulator on a pseudo-terminal. Checks the exact report lines, the log file's name and content,
and the command bytes on the wire.

Environment: ZQ_TESTER (the ZqCmdLin binary) and ZQ_SIMULATOR (zq-programmer-sim).
Run one group with:  python3 test_runs.py -k Commands
"""

import contextlib
import os
import re
import select
import signal
import stat
import subprocess
import sys
import termios
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import zqtest  # noqa: E402
from zqtest import (CHECK_OK_HEAD, PROGRAM_OK, PROGRAM_OK_END, PROGRAM_STEPS,  # noqa: E402
                    SET_PORT, WIRE, Run, info_block)

TESTER = os.environ.get("ZQ_TESTER", "")
SIMULATOR = os.environ.get("ZQ_SIMULATOR", "")


def simulator(directory, port, options=()):
    """The simulator on COM<port>, linked from the directory, recording into it."""
    record = os.path.join(directory, "wire-com%d.bin" % port)
    return zqtest.Simulator(SIMULATOR, directory, port, record, options)


def new_directory(test):
    return zqtest.scratch_directory(test, "zq-e2e-", (TESTER, "ZqCmdLin"))


def tester_command(directory, args):
    return [os.path.join(directory, "ZqCmdLin")] + args


def tester_environment():
    return dict(os.environ, LC_ALL="C", LANG="C")


def start_tester(directory, args):
    return zqtest.start_program(tester_command(directory, args), directory, tester_environment())


def run_tester(test, args, sim_options=(), port=3, directory=None, timeout=20):
    directory = directory or new_directory(test)
    sim = simulator(directory, port, sim_options)
    return zqtest.run_with_simulator(test, Run(directory, port), sim,
                                     tester_command(directory, args), directory,
                                     tester_environment(), timeout)


class RunCase(zqtest.OutputChecks, unittest.TestCase):
    # Log names are only checked for their port and verdict here; the date and time format has
    # its own runs.
    log_date_time = r"[0-9_]+"


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
            ("DOCHECK", ["--status", "31"], SET_PORT + [
                "> T CmdLin: Do Programming Checking!", "> T Programmer has Error!",
                "> T Command Operation Failed : Error=0x31!"], "NG"),
            ("DORESET", [], SET_PORT + ["> T CmdLin: Do Programming Reset!"] + info_block(), "NG"),
            ("DORESET", ["--status", "07"], SET_PORT + [
                "> T CmdLin: Do Programming Reset!",
                "> T Command Operation Failed : Error=0x07!"], "NG"),
            ("DORDSUM", [], SET_PORT + [
                "> T CmdLin: Do Read Chip Checksum.......",
                "> T Command Successed, Read ACC16=0xB7E1,CRC16=0x3C5A."], "OK"),
            ("DORDSUM", ["--status", "52"], SET_PORT + [
                "> T CmdLin: Do Read Chip Checksum.......",
                "> T Command Failed : Error=0x52!"], "NG"),
            ("DOERASE", [], SET_PORT + [
                "> T CmdLin: Do Chip Erase.......", "> T Do Chip Erasing....",
                "> T Do Flash Block 1 Erasing ......",
                "> T Command Operation Successed!"], "NG"),
            ("DOERASE", ["--status", "33"], SET_PORT + [
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
        self.check(run, SET_PORT + ["> T CmdLin: Do Programming Starting!",
                                "> T Received Error Command!"], "NG", WIRE["DOPROGA"])

    def test_silence_ends_by_time_out(self):
        run = run_tester(self, ["-COM=3", "-DOPROGA"], ["--silent"])
        self.check(run, SET_PORT + ["> T CmdLin: Do Programming Starting!",
                                "> T CML: Operation Time Out!"], "NG", WIRE["DOPROGA"])
        self.assertGreater(run.seconds, 4.0)  # 300 ticks of 15 ms


class Retry(RunCase):
    """The reset-and-retry of a programming run, in both of its endings."""

    def test_both_endings(self):
        head = SET_PORT + ["> T CmdLin: Do Programming Starting!"] + PROGRAM_STEPS + [
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
        head = SET_PORT + ["> T CmdLin: Do Read Chip Checksum......."]
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
        self.check(run, SET_PORT + ["> T CmdLin: Do Programming Starting!"] + PROGRAM_STEPS[:4] + [
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
        sims = {p: simulator(directory, p, ["--blocks", "2", "--delay", "5"]) for p in ports}
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


# The packets of an answer as tokens: "FDxx" for a status packet of op code xx, the type byte in
# hex for any other packet (FA: the programmer information). Runs with the default four blocks.
def steps_of(blocks, *codes):
    return [t for code, per_block in codes for t in [code] + [per_block] * blocks]


PROGRAM_TOKENS = (["FD10"] + steps_of(4, ("FD20", "FD2F"), ("FD30", "FD3F"), ("FD40", "FD4F"),
                                      ("FD70", "FD7F")) + ["FDA0", "FDF0"])
ERASE_TOKENS = steps_of(4, ("FD30", "FD3F")) + ["FDF7"]
PROGRAM = " ".join(PROGRAM_TOKENS) + " "
ERASE = " ".join(ERASE_TOKENS) + " "
# The start of a programming run that a reset ended: any packets of it but its completion.
PROGRAM_CUT = r"(FD(?!F0)[0-9A-F]{2} )+"


def program_lines(blocks):
    """The report lines of a programming run's steps with this many flash blocks."""
    return [line.replace("Block 1 ", "Block %d " % b) for line in PROGRAM_STEPS
            for b in (range(1, blocks + 1) if "Block 1 " in line else [1])]


def packets_of(data):
    """The packets in the bytes received, unstuffed; empty frames skipped."""
    packets = []
    for raw in data.split(b"\xc0"):
        if raw:
            packets.append(raw.replace(b"\xdb\xdc", b"\xc0").replace(b"\xdb\xdd", b"\xdb"))
    return packets


def tokens_of(data):
    return ["FD%02X" % p[1] if p[0] == 0xFD else "%02X" % p[0] for p in packets_of(data)]


def stop_simulator(sim):
    """Stops the simulator; returns its COMMAND and ABORTED lines."""
    sim.process.send_signal(signal.SIGTERM)
    sim.process.wait(timeout=10)
    out = sim.process.stdout.read().decode().splitlines()
    sim.stop()
    return [line for line in out if line.split(" ")[0] in ("COMMAND", "ABORTED")]


def open_line(directory, port):
    """The port as a tester opens it, raw, without touching what waits in it."""
    fd = os.open(os.path.join(directory, "dosdevices", "com%d" % port), os.O_RDWR | os.O_NOCTTY)
    attributes = termios.tcgetattr(fd)
    attributes[3] &= ~(termios.ICANON | termios.ECHO | termios.ISIG)
    termios.tcsetattr(fd, termios.TCSANOW, attributes)
    return fd


def read_until(fd, deadline, quiet=None):
    """Bytes received until the deadline, or until nothing came for quiet seconds."""
    data = b""
    last = time.monotonic()
    while True:
        now = time.monotonic()
        wait = deadline - now
        if quiet is not None:
            wait = min(wait, last + quiet - now)
        if wait <= 0:
            return data
        ready, _, _ = select.select([fd], [], [], wait)
        if ready:
            data += os.read(fd, 4096)
            last = time.monotonic()


class Busy(unittest.TestCase):
    """A programmer that keeps reading the line while it answers, and whose answer goes on when
    the tester goes away. Commands are written straight to the pty."""

    def start(self, options):
        directory = zqtest.scratch_directory(self, "zq-busy-")
        return directory, simulator(directory, 3, options)

    def test_commands_received_while_answering(self):
        P, E, CUT = PROGRAM, ERASE, PROGRAM_CUT
        # options, [(seconds after the start, command)], answer tokens, simulator lines
        cases = [
            (["--delay", "100"], [(0, "DOPROGA"), (0.3, "DORESET")],
             CUT + "FA ", ["COMMAND APRG", "ABORTED APRG", "COMMAND REST"]),
            (["--delay", "30"], [(0, "DOPROGA"), (0.2, "DOERASE")],
             P + E, ["COMMAND APRG", "COMMAND ERAS"]),
            (["--delay", "100"], [(0, "DOPROGA"), (0.1, "DOERASE"), (0.15, "DORDSUM"),
                                  (0.35, "DORESET")],
             CUT + "FA " + E + "FDF6 ",
             ["COMMAND APRG", "ABORTED APRG", "COMMAND REST", "COMMAND ERAS", "COMMAND RDSX"]),
            (["--delay", "200"], [(0, "DORESET"), (0.1, "DORESET")],
             "FA ", ["COMMAND REST", "ABORTED REST", "COMMAND REST"]),
            (["--merge", "--delay", "100"], [(0, "DOPROGA"), (0.3, "DORESET")],
             "FA ", ["COMMAND APRG", "ABORTED APRG", "COMMAND REST"]),
            (["--split", "3", "--split-gap", "10", "--delay", "50"],
             [(0, "DOPROGA"), (0.3, "DORESET")],
             CUT + "FA ", ["COMMAND APRG", "ABORTED APRG", "COMMAND REST"]),
            (["--answer-as", "APRG", "--delay", "30"], [(0, "DOERASE"), (0.2, "DORESET")],
             CUT + P, ["COMMAND ERAS", "ABORTED ERAS", "COMMAND REST"]),
            (["--delay", "30"], [(0, "DOPROGA"), (1.2, "DORESET")],
             P + "FA ", ["COMMAND APRG", "COMMAND REST"]),
        ]
        for options, script, answer, lines in cases:
            with self.subTest(options=options, script=script):
                directory, sim = self.start(options)
                fd = open_line(directory, 3)
                try:
                    started = time.monotonic()
                    data = b""
                    for at, command in script:
                        data += read_until(fd, started + at)
                        os.write(fd, WIRE[command])
                    data += read_until(fd, time.monotonic() + 15, quiet=0.8)
                finally:
                    os.close(fd)
                    seen = stop_simulator(sim)
                tokens = " ".join(tokens_of(data)) + " "
                self.assertRegex(tokens, "^" + answer + "$")
                self.assertEqual(seen, lines)
                self.assertEqual(sim.wire(), b"".join(WIRE[c] for _, c in script))

    def test_answer_goes_on_while_no_tester_holds_the_port(self):
        # The tester closes the port right after its command; a tester that opens it half a
        # second later gets the whole run when it leaves what waits there, the rest of it when it
        # clears its input first.
        for clear_on_open in (False, True):
            with self.subTest(clear_on_open=clear_on_open):
                directory, sim = self.start(["--delay", "100"])
                fd = open_line(directory, 3)
                os.write(fd, WIRE["DOPROGA"])
                time.sleep(0.05)
                os.close(fd)
                time.sleep(0.5)
                fd = open_line(directory, 3)
                try:
                    if clear_on_open:
                        termios.tcflush(fd, termios.TCIFLUSH)
                    data = read_until(fd, time.monotonic() + 10, quiet=0.8)
                finally:
                    os.close(fd)
                    alive = sim.process.poll() is None
                    seen = stop_simulator(sim)
                self.assertTrue(alive)
                self.assertEqual(seen, ["COMMAND APRG"])
                tokens = tokens_of(data)
                self.assertEqual(tokens, PROGRAM_TOKENS[len(PROGRAM_TOKENS) - len(tokens):])
                if clear_on_open:
                    self.assertTrue(8 <= len(tokens) < len(PROGRAM_TOKENS) - 2, tokens)
                else:
                    self.assertEqual(len(tokens), len(PROGRAM_TOKENS))

    def test_next_tester_gets_the_rest_of_an_abandoned_run(self):
        # A programming run of 23 packets, 100 ms apart; its tester is killed after half a
        # second, and the next tester, asking for an erase, reads the rest of that run instead.
        directory = new_directory(self)
        sim = simulator(directory, 3, ["--delay", "100"])
        try:
            first = start_tester(directory, ["-COM=3", "-DOPROGA"])
            time.sleep(0.5)
            first.kill()
            first.wait()
            second = start_tester(directory, ["-COM=3", "-DOERASE"])
            self.addCleanup(second.kill)
            self.assertEqual(second.wait(timeout=20), 0)
        finally:
            seen = stop_simulator(sim)
        self.assertEqual(seen, ["COMMAND APRG", "COMMAND ERAS"])
        self.assertEqual(sim.wire(), WIRE["DOPROGA"] + WIRE["DOERASE"])
        run = Run(directory, 3)
        lines = run.report()
        self.assertEqual(lines[:2], SET_PORT + ["> T CmdLin: Do Chip Erase......."])
        rest = lines[2:]
        whole = program_lines(4) + PROGRAM_OK_END
        self.assertEqual(rest, whole[len(whole) - len(rest):])
        self.assertNotIn(whole[0], rest)
        self.assertIn("> T Do Main Flash Verification....", rest)
        logs = run.logs()
        self.assertEqual(len(logs), 1, logs)
        self.assertTrue(logs[0].startswith("ZQ_COM3_OK_"), logs)


class AnswerAs(RunCase):
    """--answer-as: a programmer that answers with another operation's verdict."""

    def test_answers_of_another_operation(self):
        erasing = ["> T Do Chip Erasing....", "> T Do Flash Block 1 Erasing ......"]
        cases = [
            ("DOERASE", "APRG", ["> T CmdLin: Do Chip Erase......."] + PROGRAM_STEPS +
             PROGRAM_OK_END, "OK"),
            ("DORDSUM", "ERAS", ["> T CmdLin: Do Read Chip Checksum......."] + erasing +
             ["> T Command Operation Successed!"], "NG"),
            ("DOCHECK", "RDSX", ["> T CmdLin: Do Programming Checking!",
                                 "> T Command Successed, Read ACC16=0xB7E1,CRC16=0x3C5A."], "OK"),
            ("DOPROGA", "CKSK", ["> T CmdLin: Do Programming Starting!",
                                 "> T Has Chip In Socket!", "> T Command Operation Successed!"],
             "NG"),
            ("DOERASE", "REST", ["> T CmdLin: Do Chip Erase......."] + info_block(), "NG"),
            ("DORDSUM", "CKPG", ["> T CmdLin: Do Read Chip Checksum......."] +
             CHECK_OK_HEAD[2:] + info_block(), "NG"),
        ]
        for switch, letters, lines, verdict in cases:
            with self.subTest(switch=switch, answer_as=letters):
                run = run_tester(self, ["-COM=3", "-" + switch],
                                 ["--blocks", "1", "--answer-as", letters])
                self.check(run, SET_PORT + lines, verdict, WIRE[switch])

    def test_refused_letters(self):
        for options in (["--answer-as", "XXXX"], ["--answer-as", "aprg"], ["--answer-as"]):
            with self.subTest(options=options):
                sim = subprocess.run([SIMULATOR] + options, capture_output=True, timeout=5)
                self.assertEqual(sim.returncode, 2)
                self.assertIn(b"--answer-as", sim.stderr)
                self.assertNotIn(b"READY", sim.stdout)


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


# The byte rate of the programmer's line, 1,000,000 baud 8N2: 11 bits a byte.
LINE_BYTES_PER_SECOND = 1000000 / 11


def device_line(stack, options):
    """A simulator on a pty of the test's own, given as --device; returns the test's end."""
    fd, terminal = os.openpty()
    stack.callback(os.close, fd)
    stack.callback(os.close, terminal)
    sim = subprocess.Popen([SIMULATOR, "--device", os.ttyname(terminal)] + options,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    stack.callback(sim.stderr.close)
    stack.callback(sim.stdout.close)
    stack.callback(sim.wait, timeout=10)
    stack.callback(sim.send_signal, signal.SIGTERM)
    if sim.stdout.readline().split()[:1] != [b"DEVICE"] or sim.stdout.readline() != b"READY\n":
        raise RuntimeError("simulator ended: " + sim.stderr.read().decode())
    return fd


def linked_line(test, stack, options):
    """A simulator on its own pty behind --link; returns the test's end, opened as a tester
    opens it."""
    directory = zqtest.scratch_directory(test, "zq-line-")
    stack.callback(simulator(directory, 3, options).stop)
    fd = open_line(directory, 3)
    stack.callback(os.close, fd)
    return fd


class Pace(unittest.TestCase):
    """--pace: the answer's bytes unchanged, but never faster than the line's byte rate."""

    def test_long_answer_takes_its_time_on_the_line(self):
        progress = 4000
        at = PROGRAM_TOKENS.index("FD70")
        base = ["--progress", str(progress)]
        with contextlib.ExitStack() as stack:
            fd = linked_line(self, stack, base)
            os.write(fd, WIRE["DOPROGA"])
            reference = read_until(fd, time.monotonic() + 20, quiet=0.8)
        self.assertEqual(tokens_of(reference),
                         PROGRAM_TOKENS[:at] + ["FD4F"] * progress + PROGRAM_TOKENS[at:])
        # options, on a pty given as --device, bytes per second
        cases = [
            (["--pace"], False, LINE_BYTES_PER_SECOND),
            (["--pace"], True, LINE_BYTES_PER_SECOND),
            (["--pace", "--merge"], False, LINE_BYTES_PER_SECOND),
            (["--pace", "--split", "7", "--split-gap", "0"], True, LINE_BYTES_PER_SECOND),
            (["--pace=30000"], False, 30000),
        ]
        for options, device, rate in cases:
            with self.subTest(options=options, device=device), contextlib.ExitStack() as stack:
                fd = (device_line(stack, base + options) if device
                      else linked_line(self, stack, base + options))
                data = b""
                started = time.monotonic()
                os.write(fd, WIRE["DOPROGA"])
                while len(data) < len(reference) and time.monotonic() < started + 30:
                    if select.select([fd], [], [], 1)[0]:
                        data += os.read(fd, 65536)
                seconds = time.monotonic() - started
                self.assertEqual(data, reference)
                # Byte k leaves no earlier than k / rate after the first: a lower bound only.
                self.assertGreaterEqual(seconds, (len(reference) - 1) / rate)


class AnswerBytes(unittest.TestCase):
    """The exact bytes of answers on the line, written at once or paced."""

    def test_answers(self):
        check_socket = zqtest.frame(b"\xf6CKSKo\x00\x00\xb4\x04")
        spoiled = zqtest.frame(b"\xf9APRG\x9f\x00\x00\xe3\x4e")
        sum_answer = "C0 FD F6 06 5A 3C E1 B7 D9 C0"
        cases = [
            (WIRE["DORDSUM"], [], sum_answer),
            (check_socket, [], "C0 FD FA 00 50 43 4E 49 DF C0 C0 FD F7 06 00 00 00 00 06 C0"),
            (WIRE["DOERASE"], ["--blocks", "1"], "C0 FD 30 00 00 00 00 00 D3 C0 "
             "C0 FD 3F 00 00 00 00 00 C4 C0 C0 FD F7 06 00 00 00 00 06 C0"),
            (WIRE["DORESET"], ["--status", "07"], "C0 FD F7 07 00 00 00 00 05 C0"),
            (WIRE["DOCHECK"], ["--status", "31"],
             "C0 FD FA 01 57 50 47 4E CC C0 C0 FD F7 31 00 00 00 00 DB DD C0"),
            (spoiled, [], "C0 FD FA 03 43 45 52 52 DA C0"),
            (WIRE["DORDSUM"], ["--id", "C0DB"], "C0 FC 00 02 DB DC DB DD 00 00 00 C0 " + sum_answer),
            (WIRE["DORDSUM"], ["--return-data", "F0:00C0DB"],
             "C0 FB F0 03 00 00 DB DC DB DD 77 C0 " + sum_answer),
            (WIRE["DORDSUM"], ["--noise", "--fill"], "04 65 AA 1F AD " + sum_answer + " FF" * 5),
            (WIRE["DORDSUM"], ["--bad-check", "--short-frames", "--bad-escape"],
             "C0 FD 10 00 F3 C0 C0 FD DB 41 01 02 03 04 05 C0 C0 FD F6 06 5A 3C E1 B7 DA C0 " +
             sum_answer),
            (WIRE["DOERASE"], ["--blocks", "0", "--unknown-types"],
             "C0 F9 45 52 41 53 9F 00 00 2F 73 C0 C0 55 01 02 03 04 05 06 07 C0 "
             "C0 FD 30 00 00 00 00 00 D3 C0 C0 FD F7 06 00 00 00 00 06 C0"),
            (WIRE["DOCHECK"], ["--answer-as", "RDSX", "--status", "52"],
             "C0 FD F6 52 5A 3C E1 B7 8D C0"),
        ]
        for command, options, answer in cases:
            for pace in ([], ["--pace"]):
                with self.subTest(command=command[2:6].decode(), options=options + pace), \
                        contextlib.ExitStack() as stack:
                    fd = linked_line(self, stack, options + pace)
                    os.write(fd, command)
                    data = read_until(fd, time.monotonic() + 10, quiet=0.5)
                    self.assertEqual(data.hex(" ").upper(), answer)


def project_version():
    """The version the project declares, which every program prints."""
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..")
    with open(os.path.join(source, "CMakeLists.txt")) as f:
        return re.search(r"project\(\S+ VERSION (\S+)", f.read()).group(1)


class Usage(unittest.TestCase):
    """The simulator's own command line: answered or turned down before any line is made."""

    def test_command_lines(self):
        # (arguments, exit status, whole standard output or None, text on standard error)
        cases = [
            (["--version"], 0, "zq-programmer-sim %s\n" % project_version(), ""),
            (["--status", "06", "--version"], 0, "zq-programmer-sim %s\n" % project_version(), ""),
            (["--help"], 0, None, ""),
            (["--frobnicate"], 2, "",
             "zq-programmer-sim: unknown option --frobnicate (see --help)"),
            (["--link", "/tmp"], 2, "", "zq-programmer-sim: --link needs --com"),
            (["--status"], 2, "", "zq-programmer-sim: --status needs a value"),
            (["--pace=0"], 2, "", "zq-programmer-sim: --pace= takes a rate in bytes/s, not 0"),
            (["--pace=+90"], 2, "", "zq-programmer-sim: --pace= takes a rate in bytes/s, not +90"),
        ]
        for args, status, out, err in cases:
            with self.subTest(args=args):
                sim = subprocess.run([SIMULATOR] + args, capture_output=True, timeout=5,
                                     universal_newlines=True)
                self.assertEqual(sim.returncode, status, sim.stderr)
                if out is None:
                    self.assertTrue(sim.stdout.startswith("usage: zq-programmer-sim"), sim.stdout)
                    self.assertIn("  --version ", sim.stdout)
                    self.assertIn("  --pace ", sim.stdout)
                else:
                    self.assertEqual(sim.stdout, out)
                self.assertEqual(sim.stderr.strip(), err)


if __name__ == "__main__":
    if not (os.path.isfile(TESTER) and os.path.isfile(SIMULATOR)):
        raise SystemExit("set ZQ_TESTER and ZQ_SIMULATOR to the built programs")
    unittest.main()
