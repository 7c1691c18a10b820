#!/usr/bin/env python3
"""zq-gang with the real ZqCmdLin beside it, against one programmer simulator per port.

Environment: ZQ_GANG, ZQ_TESTER and ZQ_SIMULATOR name the three programs.
"""
import fcntl
import json
import os
import pty
import re
import select
import signal
import socket
import subprocess
import sys
import time
import unittest
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import zqtest  # noqa: E402

SOURCE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..")
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
        if argv0.startswith(directory) and os.path.basename(argv0) == "ZqCmdLin":
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
            # Never reached: the gang tries the port after the run and says why it cannot open.
            "COM6": ("NG", "COM6 (%s): does not exist" % st.path("no-such-device")),
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

        root = ET.parse(st.path("gang.xml")).getroot()
        self.assertEqual(root.tag, "testsuites")
        suite = root.find("testsuite")
        self.assertEqual(suite.get("name"), summary["station"])
        self.assertEqual(suite.get("hostname"), summary["host"])
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
            props = {p.get("name"): p.get("value") for p in case.find("properties")}
            self.assertEqual(props["command"], "-DOPROGA")
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
        self.assertRegex(text, r"\x1b\[2KCOM4     NG       \d+\.\d s +COM4 \(")
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
        # Ended at the limit, then its programmer reset: a silent one does not answer that either.
        self.assertEqual(ports["COM3"]["reset_after"]["cause"], "time limit")
        self.assertEqual((ports["COM3"]["reset_after"]["outcome"], ports["COM3"]["reset_after"]["reason"]),
                         ("NG", "CML: Operation Time Out!"))
        self.assertIsNone(ports["COM4"]["reset_after"])
        self.assertLess(proc.seconds, 1.0 + 4.5 + 3.0)
        self.assertEqual(running_testers(st.dir), [])

    def test_a_wrapper_and_its_tester_end_together_at_the_time_limit(self):
        st = Station(self)
        st.simulate(3, "--silent")
        # The tester as a child of a script, not in its place: ending the script alone would
        # leave ZqCmdLin holding the port.
        st.script("Wrapper", '"$(dirname "$0")/ZqCmdLin" "$@"\nexit $?\n')
        proc = st.gang("-COM=3", "-DOPROGA", "--timeout", "1", "--tester", st.path("Wrapper"))
        self.assertEqual(proc.returncode, 1, proc.out + proc.err)
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


def wait_for(condition, seconds=20):
    """Polls condition until it gives a true value, which it returns; fails after seconds."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError("waited %d s in vain" % seconds)


def load_json(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


# A slow programming run of the simulator: a pause before each of its packets, about 2.3 s.
SLOW = ("--delay", "100")


class Verdicts(unittest.TestCase):
    # command, simulator options, outcome, a part of the reason
    RULES = [
        ("-DOPROGA", [], "OK", ""),
        ("-DOPROGA", ["--answer-as", "RDSX"], "NG", "is no answer to -DOPROGA"),
        ("-DOCHECK", [], "OK", ""),
        ("-DOCHECK", ["--status", "86"], "NG", "Programmer has Error!"),
        ("-DOERASE", [], "OK", ""),
        ("-DOERASE", ["--answer-as", "APRG"], "NG", "is no answer to -DOERASE"),
        ("-DORESET", [], "OK", ""),
        ("-DORDSUM", [], "OK", ""),
        ("-DORDSUM", ["--status", "86"], "NG", "Command Failed : Error=0x86!"),
    ]

    def test_each_command_passes_only_on_its_own_answer(self):
        st = Station(self)
        for port, (command, options, outcome, reason) in enumerate(self.RULES, start=1):
            st.simulate(port, *options)
            proc = st.gang("-COM=%d" % port, command, "--json", "gang.json")
            result = load_json(st.path("gang.json"))["ports"][0]
            self.assertEqual((proc.returncode, result["outcome"]),
                             (0 if outcome == "OK" else 1, outcome), (command, options, proc.out))
            self.assertIn(reason, result["reason"], (command, options))
            self.assertEqual(result["command"], command)

    def test_an_earlier_operations_verdict_never_passes(self):
        st = Station(self)
        # A tester ended mid-programming by someone else: the programmer carries on, and its
        # success reaches the next run on the port.
        sim = st.simulate(3, *SLOW)
        tester = subprocess.Popen([st.path("ZqCmdLin"), "-COM=3", "-DOPROGA"], cwd=st.dir)
        wait_for(lambda: zqtest.WIRE["DOPROGA"] in sim.wire())
        time.sleep(0.3)
        tester.kill()
        tester.wait()
        proc = st.gang("-COM=3", "-DOPROGA", "--json", "gang.json")
        result = load_json(st.path("gang.json"))["ports"][0]
        self.assertEqual((proc.returncode, result["outcome"]), (1, "NG"), proc.out)
        self.assertRegex(os.path.basename(result["log_file"]), zqtest.log_name("COM3", "OK"))
        self.assertIn("without this run's programming start", result["reason"])

        # A tester that sent its command and failed at once on a stray argument; the next run
        # is an erase.
        st.simulate(4, *SLOW)
        subprocess.run([st.path("ZqCmdLin"), "-COM=4", "-DOPROGA", "extra"], cwd=st.dir, timeout=30)
        proc = st.gang("-COM=4", "-DOERASE", "--json", "gang.json")
        result = load_json(st.path("gang.json"))["ports"][0]
        self.assertEqual((proc.returncode, result["outcome"]), (1, "NG"), proc.out)
        self.assertIn("is no answer to -DOERASE", result["reason"])

    def test_a_tester_the_gang_ended_has_its_programmer_reset(self):
        st = Station(self)
        st.simulate(3, *SLOW)
        proc = st.gang("-COM=3", "-DOPROGA", "--timeout", "1", "--json", "gang.json")
        result = load_json(st.path("gang.json"))["ports"][0]
        self.assertEqual((proc.returncode, result["outcome"]), (1, "NG"))
        reset = result["reset_after"]
        self.assertEqual((reset["cause"], reset["outcome"], reset["reason"]), ("time limit", "OK", ""))
        self.assertRegex(os.path.basename(reset["log_file"]), zqtest.log_name("COM3", "NG"))
        # The next run sees its own programming from its start.
        proc = st.gang("-COM=3", "-DOPROGA", "--json", "gang.json")
        result = load_json(st.path("gang.json"))["ports"][0]
        self.assertEqual((proc.returncode, result["outcome"]), (0, "OK"), proc.out)
        with open(result["log_file"], "rb") as f:
            self.assertIn(b"Initial Programming Interface ....", f.read())


class Locks(unittest.TestCase):
    def test_two_gangs_on_one_port_of_one_station(self):
        st = Station(self)
        st.simulate(3, *SLOW)
        sim4 = st.simulate(4)
        first = subprocess.Popen([st.path("zq-gang"), "-COM=3", "-DOPROGA", "--json", "first.json"],
                                 cwd=st.dir, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Its tester running: the first gang holds COM3.
        wait_for(lambda: running_testers(st.dir))
        second = st.gang("-COM=3,4", "-DOPROGA", "--json", "second.json")
        self.assertEqual(first.wait(timeout=60), 0)
        self.assertEqual(second.returncode, 1)
        ports = by_port(load_json(st.path("second.json")))
        self.assertEqual((ports["COM3"]["outcome"], ports["COM3"]["reason"], ports["COM3"]["tester_end"]),
                         ("NG", "in use by another zq-gang", "not started"))
        self.assertEqual(ports["COM4"]["outcome"], "OK")
        self.assertEqual(zqtest.WIRE["DOPROGA"], sim4.wire())
        first_port = load_json(st.path("first.json"))["ports"][0]
        self.assertEqual(first_port["outcome"], "OK")
        # The first gang's log is its own and the only new one of COM3.
        self.assertEqual(len([n for n in zqtest.log_names(st.dir) if n.startswith("ZQ_COM3_")]), 1)


class Signals(unittest.TestCase):
    def start(self, st, *args, **kwargs):
        return subprocess.Popen([st.path("zq-gang")] + list(args), cwd=st.dir,
                                stdout=kwargs.pop("stdout", subprocess.PIPE),
                                stderr=subprocess.PIPE, **kwargs)

    def test_interrupted_gang_ends_resets_and_writes_its_files(self):
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            st = Station(self)
            if sig == signal.SIGTERM and os.geteuid() == 0:
                # A set-group-ID tester loses the parent-death signal at its start: only the
                # gang's own ending of its process group ends it.
                os.chown(st.path("ZqCmdLin"), -1, 65534)
                os.chmod(st.path("ZqCmdLin"), 0o2755)
            st.simulate(3, *SLOW)
            st.simulate(4, *SLOW)
            gang = self.start(st, "-COM=3,4", "-DOPROGA", "--json", "gang.json", "--junit", "gang.xml")
            wait_for(lambda: len(running_testers(st.dir)) == 2)
            time.sleep(0.3)
            gang.send_signal(sig)
            out, _ = gang.communicate(timeout=60)
            self.assertEqual(gang.returncode, 128 + sig, sig)
            self.assertIn(b"2 ports: 0 OK, 2 NG", out)
            summary = load_json(st.path("gang.json"))
            for port in summary["ports"]:
                self.assertEqual((port["outcome"], port["reason"]), ("NG", "interrupted"), sig)
                self.assertEqual((port["reset_after"]["cause"], port["reset_after"]["outcome"]),
                                 ("interrupted", "OK"), sig)
            self.assertEqual(ET.parse(st.path("gang.xml")).getroot().get("failures"), "2")
            self.assertEqual(running_testers(st.dir), [])

    def test_a_reader_that_goes_away_ends_nothing(self):
        st = Station(self)
        st.simulate(3, "--delay", "30")
        st.simulate(4, "--delay", "30")
        gang = self.start(st, "-COM=3,4", "-DOPROGA", "--json", "gang.json")
        gang.stdout.close()  # as `| head -1` does once it has its line
        gang.stderr.close()
        self.assertEqual(gang.wait(timeout=60), 0)
        self.assertEqual(load_json(st.path("gang.json"))["ok"], 2)

    def test_ignored_signals_stay_ignored_in_the_testers(self):
        st = Station(self)
        st.simulate(3, *SLOW)
        # As nohup does: the gang starts with hang-ups ignored, and so must its testers.
        gang = subprocess.Popen(["sh", "-c", 'trap "" HUP; exec "$0" "$@"', st.path("zq-gang"),
                                 "-COM=3", "-DOPROGA", "--json", "gang.json"], cwd=st.dir,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        testers = wait_for(lambda: running_testers(st.dir))
        gang.send_signal(signal.SIGHUP)
        for pid, _ in testers:
            os.kill(int(pid), signal.SIGHUP)
        self.assertEqual(gang.wait(timeout=60), 0)
        self.assertEqual(load_json(st.path("gang.json"))["ports"][0]["outcome"], "OK")


class Record(unittest.TestCase):
    def test_the_chips_record_in_json_and_junit(self):
        st = Station(self)
        st.simulate(3, "--id", "0AFF")
        st.simulate(4, "--status", "86")
        proc = st.gang("-COM=3,4", "-DOPROGA", "--station", "Line 1", "--json", "gang.json",
                       "--junit", "gang.xml")
        self.assertEqual(proc.returncode, 1, proc.out + proc.err)
        summary = load_json(st.path("gang.json"))
        self.assertEqual((summary["schema_version"], summary["station"]), (1, "Line 1"))
        self.assertEqual(summary["host"], socket.gethostname())
        self.assertRegex(summary["zq_gang_version"], r"^\d+\.\d+\.\d+$")
        ports = by_port(summary)
        ok = ports["COM3"]
        self.assertEqual(ok["chip"], {"name": None, "id": "0A FF", "uid": None})
        self.assertEqual(ok["serial_number"], "0x00001005")
        self.assertEqual(ok["data_sums"], {"ACC16": "0xB7E1", "CRC16": "0x3C5A"})
        self.assertEqual(ok["chip_sums"], {"ACC16": "0xB7E1", "CRC16": "0x3C5A"})
        self.assertEqual((ok["error_code"], ok["error_text"]), (None, None))
        self.assertEqual(ok["device"], os.path.realpath(st.path("dosdevices", "com3")))
        ng = ports["COM4"]
        self.assertEqual(ng["error_code"], 0x86)
        self.assertTrue(ng["error_text"]["en"] and ng["error_text"]["cn"], ng["error_text"])
        self.assertNotIn("\ufffd", ng["error_text"]["cn"])
        props = {p.get("name"): p.get("value")
                 for p in ET.parse(st.path("gang.xml")).getroot().find("testsuite")
                 .find("testcase").find("properties")}
        self.assertEqual((props["serial_number"], props["chip_sums"]),
                         ("0x00001005", "ACC16=0xB7E1,CRC16=0x3C5A"))

        # The programmer's own information names the chip and its serial numbering.
        st.simulate(5, "--info", "sn")
        st.gang("-COM=5", "-DOCHECK", "--json", "check.json")
        check = load_json(st.path("check.json"))["ports"][0]
        self.assertEqual((check["outcome"], check["chip"]["name"], check["serial_number"]),
                         ("OK", "S32K144", "0x00001005"))

    def test_a_programmer_with_another_image_is_ng(self):
        st = Station(self)
        st.simulate(3)
        proc = st.gang("-COM=3", "-DOPROGA", "--expect-data", "CRC16=0x1111", "--json", "gang.json")
        result = load_json(st.path("gang.json"))["ports"][0]
        self.assertEqual((proc.returncode, result["reason"]),
                         (1, "programmer data CRC16=0x3C5A, expected 0x1111"))
        proc = st.gang("-COM=3", "-DOPROGA", "--expect-data", "crc16=3c5a,ACC16=0xB7E1")
        self.assertEqual(proc.returncode, 0, proc.out)

    def test_a_port_that_cannot_be_opened_says_why(self):
        st = Station(self)
        st.no_device(3)
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        fcntl.flock(slave, fcntl.LOCK_EX | fcntl.LOCK_NB)  # another program holds COM4
        os.symlink(os.ttyname(slave), st.path("dosdevices", "com4"))
        proc = st.gang("-COM=3,4", "-DOPROGA", "--json", "gang.json")
        self.assertEqual(proc.returncode, 1)
        ports = by_port(load_json(st.path("gang.json")))
        self.assertEqual(ports["COM3"]["reason"],
                         "COM3 (%s): does not exist" % st.path("no-such-device"))
        self.assertEqual(ports["COM4"]["reason"], "COM4 (%s): in use" % os.ttyname(slave))


class Usage(unittest.TestCase):
    BAD = [
        (["-TIMOUT=3"], "no ports given"),
        (["-DOPROGA", "-COM=3"], "comes before -COM"),
        (["-COM=1-4"], "no command switch"),
        (["-COM=3", "-DOPROGA", "-DOERASE"], "more than one command switch"),
        (["-COM=3", "-DOPROGA", "extra"], "is no switch of ZqCmdLin"),
        (["-COM=3", "-DOPROGA", "--junit", "gang.xml", "--json", "./gang.xml"], "same file"),
        (["-COM=3", "-DOPROGA", "--junit", "."], "is a directory"),
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

    def test_help_and_version(self):
        for option, text in (("--help", "usage: zq-gang -COM=<ports>"),
                             ("--version", "zq-gang %s\n" % project_version())):
            proc = Station(self, with_tester=False).gang(option)
            self.assertEqual(proc.returncode, 0)
            self.assertTrue(proc.out.startswith(text), (option, proc.out))
            self.assertEqual(proc.err, "")

    # Where the tester lies, as a station would set it up: (what, set-up returning the gang's
    # arguments after the port and command, the directory named in the refusal and its reason;
    # None where the gang must start the tester). A set-up returns a string to skip its row.
    NO_STATION = [
        ("an installed tester named directly",
         lambda st: installed("/usr/bin/true"), "/usr/bin", "a directory of the system's"),
        ("the administrator's programs", lambda st: installed("/sbin/ldconfig"), "/sbin",
         "a directory of the system's"),
        ("a directory link to the system's programs",
         lambda st: linked(st, "bin", "/usr/bin", ["--tester", st.path("bin", "true")]),
         "bin", "leads to the system's /usr/bin"),
        ("a station's link to an installed tester, beside the gang",
         lambda st: linked(st, "ZqCmdLin", "/usr/bin/true", []), None, None),
        ("a station's link named by --tester",
         lambda st: linked(st, "line1/ZqCmdLin", "/usr/bin/true", ["--tester", "line1/ZqCmdLin"]),
         None, None),
        ("a tester in a directory this user cannot write to",
         lambda st: locked_tester_directory(st, st.path("installed")), "installed",
         "not writable for this user"),
        ("the gang and its tester in such a directory",
         lambda st: locked_tester_directory(st, st.dir), "", "not writable for this user"),
    ]

    def test_a_tester_outside_a_station_directory(self):
        for what, setup, directory, reason in self.NO_STATION:
            with self.subTest(what):
                st = Station(self, with_tester=False)
                marks = zqtest.scratch_directory(self, "zq_gang_mark_")
                st.started = os.path.join(marks, "started")
                args = setup(st)
                if isinstance(args, str):
                    print("SKIP: %s: %s" % (what, args), file=sys.stderr, flush=True)
                    self.skipTest(args)
                proc = st.gang("-COM=3", "-DOPROGA", *args)
                if directory is None:
                    # Started: the installed program wrote no log, so the port is NG.
                    self.assertEqual(proc.returncode, 1, (proc.out, proc.err))
                    self.assertIn("ZqCmdLin wrote no log file", proc.out)
                    self.assertEqual(proc.err, "")
                    continue
                named = os.path.join(st.dir, directory).rstrip("/") if directory[:1] != "/" \
                    else directory
                self.assertEqual(proc.returncode, 2, (proc.out, proc.err))
                self.assertEqual(proc.out, "")
                lines = proc.err.splitlines()
                self.assertEqual(len(lines), 1, proc.err)
                self.assertTrue(lines[0].startswith(
                    "zq-gang: %s is no station directory (%s" % (named, reason)), lines[0])
                self.assertIn("a station directory holding a link to the tester (ln -s ", lines[0])
                self.assertFalse(os.path.exists(st.path(".zq-gang-COM3.lock")))
                self.assertFalse(os.path.exists(st.started), "a tester was started")

    def test_the_station_layout_of_the_manual(self):
        # Both programs installed where no station may write, and a station directory holding a
        # link to each and its port: the gang runs as the manual prints it.
        programs = zqtest.scratch_directory(self, "zq_gang_installed_", (GANG, "zq-gang"),
                                            (TESTER, "ZqCmdLin"))
        problem = make_unwritable(self, programs)
        if problem:
            print("SKIP: the station layout: %s" % problem, file=sys.stderr, flush=True)
            self.skipTest(problem)
        st = Station(self, with_tester=False)
        os.remove(st.path("zq-gang"))
        for name in ("zq-gang", "ZqCmdLin"):
            os.symlink(os.path.join(programs, name), st.path(name))
        st.simulate(3, "--blocks", "1")
        # (how the gang is started, from where, exit status)
        cases = [
            ("./zq-gang in the station", "./zq-gang", st.dir, 0),
            ("the station's link by its full path", st.path("zq-gang"), "/", 0),
            ("the installed gang itself", os.path.join(programs, "zq-gang"), st.dir, 2),
        ]
        for what, gang, cwd, status in cases:
            with self.subTest(what):
                logs = zqtest.log_names(st.dir)
                proc = subprocess.run([gang, "-COM=3", "-DOPROGA"], cwd=cwd, timeout=60,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                      universal_newlines=True)
                self.assertEqual(proc.returncode, status, (proc.stdout, proc.stderr))
                new = sorted(set(zqtest.log_names(st.dir)) - set(logs))
                if status == 0:
                    self.assertEqual(proc.stderr, "")
                    self.assertEqual(len(new), 1, new)
                    self.assertTrue(new[0].startswith("ZQ_COM3_OK_"), new)
                    self.assertIn(st.path("LogFileS", new[0]), proc.stdout)
                    self.assertTrue(os.path.exists(st.path("RptZq_COM3.Txt")))
                else:
                    self.assertEqual(new, [])
                    self.assertTrue(proc.stderr.startswith(
                        "zq-gang: %s is no station directory (not writable for this user)"
                        % programs), proc.stderr)
                self.assertEqual(sorted(os.listdir(programs)), ["ZqCmdLin", "zq-gang"])


def project_version():
    """The version the project declares, which every program prints."""
    with open(os.path.join(SOURCE_DIR, "CMakeLists.txt")) as f:
        return re.search(r"project\(\S+ VERSION (\S+)", f.read()).group(1)


def linked(st, name, target, args):
    """Places the link name (below the station directory) to target; the gang's arguments."""
    path = st.path(name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    os.symlink(target, path)
    return args


def installed(program):
    """--tester naming an installed program, or why the row cannot run here."""
    if not os.access(program, os.X_OK):
        return "no %s on this system" % program
    return ["--tester", program]


def locked_tester_directory(st, directory):
    """A tester (a script that leaves st.started) in a directory this user cannot write to,
    undone when the test ends; the gang's arguments, or why no such directory can be made here
    (root writes through permissions, so root makes the directory immutable)."""
    if not os.path.isdir(directory):
        os.mkdir(directory)
    tester = os.path.join(directory, "ZqCmdLin")
    with open(tester, "w") as f:
        f.write("#!/bin/sh\ntouch %s\n" % st.started)
    os.chmod(tester, 0o755)
    problem = make_unwritable(st.test, directory)
    if problem:
        return problem
    return [] if directory == st.dir else ["--tester", tester]


def make_unwritable(test, directory):
    """Makes the directory one this user cannot write to until the test ends; None, or why that
    cannot be done here. Root writes through permissions: for root it is made immutable."""
    if os.geteuid() != 0:
        os.chmod(directory, 0o555)
        test.addCleanup(os.chmod, directory, 0o755)
    else:
        try:
            made = subprocess.run(["chattr", "+i", directory], stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, universal_newlines=True)
        except OSError as error:
            return "no chattr to make a directory root cannot write to (%s)" % error
        if made.returncode != 0:
            return "chattr +i failed, root can write everywhere here (%s)" % made.stdout.strip()
        test.addCleanup(subprocess.run, ["chattr", "-i", directory], check=True)
    if os.access(directory, os.W_OK):
        return "%s stays writable for this user" % directory
    return None


if __name__ == "__main__":
    if not (GANG and TESTER and SIMULATOR):
        sys.exit("ZQ_GANG, ZQ_TESTER and ZQ_SIMULATOR must name the programs")
    unittest.main()
