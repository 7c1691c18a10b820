"""What the end-to-end drivers share: the command bytes on the wire, the report lines of the usual
runs, reading and normalising a run's report and log files, scratch directories holding a copy of
the tester, and the programmer simulator.

The formats of the time of day and of the log file names default to those of the POSIX build;
the Wine drivers pass the Windows ones.
"""
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

# The time of day in report lines and the date and time in log file names, as the POSIX build
# writes them.
TIME_OF_DAY = r"\d\d:\d\d:\d\d"
LOG_DATE_TIME = r"\d{4}_\d\d_\d\d_\d\d_\d\d_\d\d"


def frame(packet):
    """The tester's frame of a command packet: END, packet, END, then the five 0xFF sent after
    every frame (no byte of a command packet needs stuffing)."""
    return bytes([0xC0]) + bytes(packet) + bytes([0xC0]) + b"\xff" * 5


# The command packets on the wire, as the programmer must receive them.
WIRE = {
    "DOPROGA": frame(b"\xf9APRG\x9f\x00\x00\xe3\x4d"),
    "DOCHECK": frame(b"\xf6CKPG\x6f\x00\x00\x7a\x3a"),
    "DORESET": frame(b"\x8aREST\xa8\x02\x00\x00\x00\xcd\x02"),
    "DORDSUM": frame(b"\xf9RDSX\x9f\x00\x00\x95\x59"),
    "DOERASE": frame(b"\xf9ERAS\x9f\x00\x00\x2f\x73"),
}

# Report lines with the time of day replaced by T, for a run on COM3 against the simulator's
# default answers with one flash block.
SET_PORT = ['> T CmdLin: Set COM Port=COM3"']
PROGRAM_START = SET_PORT + ["> T CmdLin: Do Programming Starting!"]
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
PROGRAM_OK_END = [
    "> T Progrmming Completed : Successed !Chip ACC16=0xB7E1,CRC16=0x3C5A.",
    "End of Commad: Success!",
]
PROGRAM_OK = PROGRAM_START + PROGRAM_STEPS + PROGRAM_OK_END
CHECK_OK_HEAD = SET_PORT + [
    "> T CmdLin: Do Programming Checking!",
    "> T Programmer is ready to Start!",
    "> T Chip is In,Programmer is Ready,Socket is OK.",
]


def info_block(chip="S32K144", extra=(), serial=("   No S/N is Used!",)):
    """The programmer information lines; the default is the simulator's plain answer."""
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


def stamp(time_of_day=TIME_OF_DAY):
    """Pattern of the time stamp that opens a report line, blank included."""
    return "> " + time_of_day + " "


def log_name(port, verdict, date_time=LOG_DATE_TIME):
    """Pattern of a whole log file name; port and verdict are patterns too. A name taken already
    gets a number appended."""
    return "^ZQ_" + port + "_" + verdict + "_" + date_time + r"(_\d+)?\.log$"


def check_line_ends(data):
    """Every line ends in CR LF, and there is no other LF."""
    assert data.endswith(b"\r\n"), data
    assert b"\n" not in data.replace(b"\r\n", b""), data


def lines_of(data):
    """Splits CR LF ended lines; every line must end in CR LF and hold no other CR or LF."""
    assert data.endswith(b"\r\n"), data
    parts = data.split(b"\r\n")[:-1]
    for p in parts:
        assert b"\n" not in p and b"\r" not in p, data
    return [p.decode("latin-1") for p in parts]


def stamped_lines(data, time_of_day=TIME_OF_DAY):
    """A report's lines with the time of day of each time stamp replaced by T."""
    check_line_ends(data)
    leading = re.compile(b"^" + stamp(time_of_day).encode())
    return [leading.sub(b"> T ", line).decode("latin-1") for line in data.split(b"\r\n")[:-1]]


def read(directory, *parts):
    with open(os.path.join(directory, *parts), "rb") as f:
        return f.read()


def log_names(directory):
    """The names in the directory's LogFileS, sorted; none when there is no such directory."""
    logs = os.path.join(directory, "LogFileS")
    return sorted(os.listdir(logs)) if os.path.isdir(logs) else []


def scratch_directory(test, prefix, *programs):
    """A fresh directory, removed when the test ends, holding a copy of each program: a path is
    copied under its own name, a (path, name) pair under that name."""
    directory = tempfile.mkdtemp(prefix=prefix)
    test.addCleanup(shutil.rmtree, directory, True)
    for program in programs:
        source, name = program if isinstance(program, tuple) else (program, None)
        shutil.copy2(source, os.path.join(directory, name) if name else directory)
    return directory


class Run:
    """What one tester run on COM<port> leaves behind: its report and log files in its directory,
    and, once it has ended, its exit status, its duration and the bytes the simulator received."""

    def __init__(self, directory, port=3, time_of_day=TIME_OF_DAY):
        self.directory = directory
        self.port = port
        self.time_of_day = time_of_day
        self.exit_code = None
        self.seconds = None
        self.wire = b""

    def read(self, *parts):
        return read(self.directory, *parts)

    def report_bytes(self):
        return self.read("RptZq_COM%d.Txt" % self.port)

    def report(self):
        """Report lines with the time of day replaced by T."""
        return stamped_lines(self.report_bytes(), self.time_of_day)

    def logs(self):
        return log_names(self.directory)

    def log_bytes(self, name):
        return self.read("LogFileS", name)


class Simulator:
    """The programmer simulator answering on COM<port>: it makes a pseudo-terminal, links
    <link>/dosdevices/com<port> to it and records the bytes it receives; or, given a device,
    sits on that serial device instead. Started once it has said READY."""

    def __init__(self, program, link, port, record, options=(), device=None):
        self.record = record
        line = ["--device", device] if device else ["--link", link, "--com", str(port)]
        self.process = subprocess.Popen(
            [program] + line + ["--record", record] + list(options),
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


def start_program(command, cwd, env):
    return subprocess.Popen(command, cwd=cwd, env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def run_with_simulator(test, run, simulator, command, cwd, env, timeout):
    """Runs the tester command to its end while the simulator answers, then stops the simulator;
    fills in the run's exit status, duration and wire bytes. A tester still running after
    timeout seconds is killed and fails the test."""
    try:
        started = time.monotonic()
        tester = start_program(command, cwd, env)
        try:
            run.exit_code = tester.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            tester.kill()
            tester.wait()
            test.fail("the tester did not end within %d s" % timeout)
        run.seconds = time.monotonic() - started
    finally:
        simulator.stop()
    run.wire = simulator.wire()
    return run


class OutputChecks:
    """Checks of a run's report and log file, for unittest.TestCase classes; log_date_time is the
    date and time pattern of log file names."""

    log_date_time = LOG_DATE_TIME

    def expect_lines(self, data, patterns):
        """One line for each pattern, each matching it whole."""
        lines = lines_of(data)
        self.assertEqual(len(lines), len(patterns), lines)
        for line, pattern in zip(lines, patterns):
            self.assertRegex(line, "^" + pattern + "$")

    def expect_one_log(self, directory, port, verdict, report):
        """Exactly one log file, named for the port and the verdict, holding the report's bytes."""
        names = log_names(directory)
        self.assertEqual(len(names), 1, names)
        self.assertRegex(names[0], log_name(port, verdict, self.log_date_time))
        self.assertEqual(read(directory, "LogFileS", names[0]), report)

    def check(self, run, lines, verdict, wire=None):
        """Exit status 0, the exact report lines, one log file named with the run's port and the
        verdict and holding the report's bytes, and the command bytes on the wire."""
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.report(), lines)
        logs = run.logs()
        self.assertEqual(len(logs), 1, logs)
        match = re.match(log_name(r"(COM\d+)", "(OK|NG)", self.log_date_time), logs[0])
        self.assertIsNotNone(match, logs[0])
        self.assertEqual(match.group(1), "COM%d" % run.port)
        self.assertEqual(match.group(2), verdict)
        self.assertEqual(run.log_bytes(logs[0]), run.report_bytes())
        if wire is not None:
            self.assertEqual(run.wire, wire)
