#!/usr/bin/env python3
"""The Linux tester and gang through real kernel serial drivers, in a QEMU guest.

An FTDI adapter on ftdi_sio and a 16550 UART on 8250 carry the runs; the programmer simulator sits
on the host side of each. The same runs over a host pseudo-terminal give the reports the guest's
runs must equal. Adapters are unplugged and plugged again through QEMU while runs are under way.

The programs come from the environment: ZQ_TESTER, ZQ_GANG, ZQ_SIMULATOR; the kernel package is
kept in ZQ_HIL_CACHE. Usage: hil_runs.py [unittest arguments]
Exits 77 (skipped) with one line saying why when the guest cannot be had on this machine.
"""
import json
import os
import re
import select
import shutil
import sys
import tempfile
import time
import tty
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, HERE)
import guest as guestlib  # noqa: E402
import zqtest  # noqa: E402

SKIPPED = 77
GUEST = None
WORK = None
ADAPTERS = 4


def program(variable):
    return os.environ[variable]


def simulator_program():
    return program("ZQ_SIMULATOR")


def log_case(name, started):
    sys.stderr.write("hil case %-44s %5.1f s\n" % (name, time.monotonic() - started))


class Line:
    """The simulator on the host side of a guest port, for one case. While it runs, the port's
    holder lets it have every byte."""

    def __init__(self, label, options=()):
        self.end = GUEST.ends[label]
        self.record = os.path.join(WORK, "wire-%s-%d" % (label, time.monotonic_ns()))
        self.end.hand_over()
        self.simulator = zqtest.Simulator(simulator_program(), None, None, self.record, options,
                                          device=self.end.path)

    def received(self):
        return len(self.simulator.wire())

    def stop(self):
        self.simulator.stop()
        self.end.take_back()


def adapter_label(n):
    return "usb%d" % n


def guest_device(n):
    """The ttyUSB name the guest gave adapter n (plugged into xHCI port n+1), waiting for it."""
    status, out = GUEST.run(
        "for i in $(seq 100); do d=$(ls /sys/bus/usb/devices/1-%d:1.0/ 2>/dev/null | grep ttyUSB);"
        " [ -n \"$d\" ] && [ -c /dev/$d ] && echo $d && exit 0; sleep 0.1; done; exit 1" % (n + 1))
    if status != 0:
        raise RuntimeError("adapter %d did not come up" % n)
    return out.strip()


def station(name, links):
    """Shell text making a station directory /tmp/<name> with the tester and dosdevices links
    (COM number -> device path)."""
    parts = ["rm -rf /tmp/%s" % name, "mkdir -p /tmp/%s/dosdevices" % name,
             "cp /bin/ZqCmdLin /tmp/%s/" % name]
    for com, device in links.items():
        parts.append("ln -s %s /tmp/%s/dosdevices/com%d" % (device, name, com))
    return " && ".join(parts)


def copy_out(name):
    """Shell text copying a station's report and logs to the share, under out/<name>."""
    return ("mkdir -p /share/out/%s && cp -r /tmp/%s/RptZq_* /tmp/%s/LogFileS /share/out/%s/"
            % (name, name, name, name))


class GuestRun(zqtest.Run):
    """A tester run in the guest, its files copied out to the share. The guest's time stamps are
    those of the C locale, like the host's reference runs."""

    def __init__(self, name, port=1):
        super().__init__(os.path.join(GUEST.share, "out", name), port)


def tester_in_guest(name, device, switches, timeout=90, on_started=None):
    """Runs ZqCmdLin -COM=1 <switches> in a fresh station whose COM1 is device; returns the run
    with its exit status, its seconds and its CPU seconds (user + system, from time -p)."""
    prepare = station(name, {1: device})
    status, out = GUEST.run(prepare)
    assert status == 0, out
    ident = GUEST.start("cd /tmp/%s && time -p ./ZqCmdLin -COM=1 %s; s=$?; %s; exit $s"
                        % (name, " ".join(switches), copy_out(name)))
    started = time.monotonic()
    if on_started:
        on_started()
    status, out = GUEST.finish(ident, timeout)
    run = GuestRun(name)
    run.exit_code = status
    run.seconds = time.monotonic() - started
    times = dict(re.findall(r"^(real|user|sys) ([\d.]+)$", out, re.M))
    run.cpu = float(times.get("user", "nan")) + float(times.get("sys", "nan"))
    return run


def reference_report(test, switches, simulator_options):
    """The report lines of the same run over a host pseudo-terminal."""
    directory = zqtest.scratch_directory(test, "zq_hil_ref_",
                                         (program("ZQ_TESTER"), "ZqCmdLin"))
    sim = zqtest.Simulator(simulator_program(), directory, 1,
                           os.path.join(directory, "wire"), simulator_options)
    run = zqtest.Run(directory, 1)
    env = dict(os.environ, LC_ALL="C")
    zqtest.run_with_simulator(test, run, sim, [os.path.join(directory, "ZqCmdLin"), "-COM=1"]
                              + switches, directory, env, 60)
    test.assertEqual(run.exit_code, 0)
    return run.report(), verdict_of(run)


def verdict_of(run):
    """OK or NG, as the run's one log file is named."""
    logs = run.logs()
    return re.match(zqtest.log_name("COM1", "(OK|NG)"), logs[0]).group(1) if logs else None


class Checks(zqtest.OutputChecks, unittest.TestCase):
    def check_whole(self, run, verdict):
        """Exit 0, one log named for COM1 and the verdict holding the report's bytes, and a
        report that ends with a verdict line, a success only in an OK run."""
        self.assertEqual(run.exit_code, 0)
        self.expect_one_log(run.directory, "COM1", verdict, run.report_bytes())
        last = run.report()[-1]
        self.assertTrue(last.startswith("End of Commad") or last == "> T CML: Operation Time Out!",
                        last)
        self.assertEqual(last == "End of Commad: Success!", verdict == "OK", last)


def read_json(name):
    with open(os.path.join(GUEST.share, "out", name), encoding="utf-8") as f:
        return json.load(f)


def wait_for(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.02)


def replug(n):
    GUEST.plug(n)
    return guest_device(n)


class Drivers(Checks):
    """Runs through ftdi_sio and 8250 give the reports the same runs give over a pseudo-terminal;
    bytes a driver holds from an earlier use of the port never reach a new run."""

    # (name, switches, simulator options)
    RUNS = [
        ("program", ["-DOPROGA"], ["--blocks", "1"]),
        ("check", ["-DOCHECK"], []),
        ("failing", ["-DOPROGA"], ["--blocks", "1", "--status", "8B"]),
    ]

    def devices(self):
        return [("ftdi_sio", adapter_label(0), "/dev/" + guest_device(0)),
                ("8250", "uart1", "/dev/ttyS1")]

    def test_reports_equal_pseudo_terminal(self):
        for driver, label, device in self.devices():
            for name, switches, options in self.RUNS:
                with self.subTest(driver=driver, run=name):
                    started = time.monotonic()
                    expected, verdict = reference_report(self, switches, options)
                    line = Line(label, options)
                    try:
                        run = tester_in_guest("%s-%s" % (driver, name), device, switches)
                    finally:
                        line.stop()
                    self.check(run, expected, verdict)
                    log_case("%s %s" % (driver, name), started)

    def test_line_speed_the_driver_keeps(self):
        # After a run the port holds the speed the tester set, where the driver took it; a 16550
        # answers success and keeps its old speed. A gang run on a silent line then says why.
        for driver, label, kept, reason in [
                ("ftdi_sio", adapter_label(0), "1000000", "CML: Operation Time Out!"),
                ("8250", "uart1", "9600", "): holds 9600 baud when asked for 1000000")]:
            with self.subTest(driver=driver):
                started = time.monotonic()
                device = "/dev/ttyS1" if label == "uart1" else "/dev/" + guest_device(0)
                line = Line(label)
                try:
                    tester_in_guest("speed-" + driver, device, ["-DOCHECK"])
                finally:
                    line.stop()
                status, out = GUEST.run("stty -F %s speed" % device)
                self.assertEqual((status, out.strip()), (0, kept))
                name = "silent-gang-" + driver
                status, out = GUEST.run(
                    "%s && cp /bin/zq-gang /tmp/%s/ && cd /tmp/%s && ./zq-gang -COM=1 -DOCHECK"
                    " -TIMOUT=1 --json /share/out/%s.json" % (station(name, {1: device}), name,
                                                             name, name), 60)
                self.assertEqual(status, 1, out)
                port = read_json(name + ".json")["ports"][0]
                self.assertEqual(port["outcome"], "NG")
                self.assertIn(reason, port["reason"])
                log_case("line speed %s holds %s" % (driver, kept), started)

    def test_purge_on_open(self):
        # A holder keeps the port open without reading while a whole check answer arrives; the
        # programming run that opens the port next must not see a byte of it.
        stale = stale_check_answer(self)
        expected, _ = reference_report(self, ["-DOPROGA"], ["--blocks", "1"])
        for driver, label, device in self.devices():
            with self.subTest(driver=driver):
                started = time.monotonic()
                status, out = GUEST.run(
                    "stty -F %s raw -echo clocal && (sleep 300 <> %s &) && sleep 0.2"
                    % (device, device))
                self.assertEqual(status, 0, out)
                GUEST.ends[label].write(stale)
                GUEST.run("sleep 1")  # the bytes reach the driver's input meanwhile
                line = Line(label, ["--blocks", "1"])
                try:
                    run = tester_in_guest("purge-" + driver, device, ["-DOPROGA"])
                finally:
                    line.stop()
                    GUEST.run("killall sleep; true")
                self.check(run, expected, "OK")
                log_case("purge on open %s" % driver, started)


def stale_check_answer(test):
    """The bytes the simulator answers a check command with, read off a host pseudo-terminal."""
    directory = tempfile.mkdtemp(prefix="zq_hil_stale_")
    test.addCleanup(shutil.rmtree, directory, True)
    sim = zqtest.Simulator(simulator_program(), directory, 1, os.path.join(directory, "wire"))
    try:
        fd = os.open(os.path.join(directory, "dosdevices", "com1"), os.O_RDWR | os.O_NOCTTY)
        tty.setraw(fd)
        os.write(fd, zqtest.WIRE["DOCHECK"])
        answer = b""
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            ready, _, _ = select.select([fd], [], [], 0.3)
            if not ready:
                if answer:
                    break
                continue
            answer += os.read(fd, 4096)
        os.close(fd)
    finally:
        sim.stop()
    test.assertGreater(len(answer), 20)
    return answer


class Unplugging(Checks):
    """An adapter that goes away mid-run, while the port opens or closes, or comes back under
    another name: the run always ends by itself, NG, with both files whole."""

    def test_unplug_mid_run_then_replug(self):
        started = time.monotonic()
        device = "/dev/" + guest_device(0)
        line = Line(adapter_label(0), ["--blocks", "8", "--delay", "150"])
        try:
            run = tester_in_guest(
                "unplug-mid-run", device, ["-DOPROGA", "-TIMOUT=2"],
                on_started=lambda: (wait_for(lambda: line.received() > 0, 30, "the command"),
                                    time.sleep(0.5), GUEST.unplug(0)))
        finally:
            line.stop()
        self.check_whole(run, "NG")
        self.assertIn("> T CML: Operation Time Out!", run.report())
        self.assertIn("> T Initial Programming Interface ....", run.report())
        self.assertLess(run.cpu, 1.0)
        log_case("unplug mid-run (tester CPU %.2f s)" % run.cpu, started)

        started = time.monotonic()
        self.assertEqual("/dev/" + replug(0), device)
        line = Line(adapter_label(0))
        try:
            run = tester_in_guest("after-replug", device, ["-DOPROGA"])
        finally:
            line.stop()
        self.check_whole(run, "OK")
        log_case("replug, next run", started)

    def test_unplug_while_opening_or_closing(self):
        # (name, seconds after the start of the tester or None: once the command arrived,
        # simulator options). The moment is only as exact as the guest's pace allows; a slow
        # answer keeps the first two before any answer, the last comes as the tester closes.
        # Whatever the moment, the run ends by itself with both files whole.
        for name, after, options in [("opening", 0.0, ["--delay", "300"]),
                                     ("early", 0.15, ["--delay", "300"]),
                                     ("closing", None, [])]:
            with self.subTest(moment=name):
                started = time.monotonic()
                device = "/dev/" + guest_device(0)
                line = Line(adapter_label(0), options)

                def unplug():
                    if after is None:
                        wait_for(lambda: line.received() > 0, 30, "the command")
                        time.sleep(0.3)
                    else:
                        time.sleep(after)
                    GUEST.unplug(0)

                try:
                    run = tester_in_guest("unplug-" + name, device, ["-DOCHECK", "-TIMOUT=2"],
                                          on_started=unplug)
                finally:
                    line.stop()
                verdict = verdict_of(run)
                self.check_whole(run, verdict)
                if after is not None:
                    self.assertEqual(run.report()[-1], "> T CML: Operation Time Out!")
                self.assertLess(run.cpu, 1.0)
                replug(0)
                log_case("unplug while %s (%s, tester CPU %.2f s)" % (name, verdict, run.cpu),
                         started)

    def test_replugged_under_another_name(self):
        # The dead descriptor is still held, so the adapter comes back under a new number; the
        # station's link still names the old one, which no longer exists.
        started = time.monotonic()
        device = "/dev/" + guest_device(0)
        status, out = GUEST.run("stty -F %s clocal && (sleep 300 <> %s &) && sleep 0.2"
                                % (device, device))
        self.assertEqual(status, 0, out)
        try:
            GUEST.unplug(0)
            new = "/dev/" + replug(0)
            self.assertNotEqual(new, device)
            run = tester_in_guest("stale-link", device, ["-DOCHECK", "-TIMOUT=2"])
            self.check_whole(run, "NG")
            self.assertIn("> T CML: Operation Time Out!", run.report())
            status, out = GUEST.run(
                "%s && cp /bin/zq-gang /tmp/stale-gang/ && cd /tmp/stale-gang && "
                "./zq-gang -COM=1 -DOCHECK -TIMOUT=2 --json /share/out/stale-gang.json"
                % station("stale-gang", {1: device}), 60)
            self.assertEqual(status, 1, out)
            report = read_json("stale-gang.json")
            self.assertEqual(report["ports"][0]["outcome"], "NG")
            self.assertIn("%s): does not exist" % device, report["ports"][0]["reason"])
        finally:
            GUEST.run("killall sleep; true")
            GUEST.unplug(0)
            self.assertEqual("/dev/" + replug(0), device)
        log_case("replugged as %s, link names %s" % (new, device), started)


class Gang(Checks):
    def test_gang_of_four_one_unplugged(self):
        started = time.monotonic()
        devices = {n + 1: "/dev/" + guest_device(n) for n in range(ADAPTERS)}
        lines = [Line(adapter_label(n), ["--blocks", "4", "--delay", "100"])
                 for n in range(ADAPTERS)]
        try:
            ident = GUEST.start(
                "%s && cp /bin/zq-gang /tmp/gang/ && cd /tmp/gang && "
                "./zq-gang -COM=1-4 -DOPROGA -TIMOUT=3 --json /share/out/gang.json"
                % station("gang", devices))
            wait_for(lambda: all(line.received() > 0 for line in lines), 60, "four commands")
            time.sleep(0.5)
            GUEST.unplug(2)
            status, out = GUEST.finish(ident, 120)
        finally:
            for line in lines:
                line.stop()
        self.assertEqual(status, 1, out)
        report = read_json("gang.json")
        outcomes = {p["port"]: p["outcome"] for p in report["ports"]}
        self.assertEqual(outcomes, {"COM1": "OK", "COM2": "OK", "COM3": "NG", "COM4": "OK"})
        # The programmer had answered before its adapter went: the run's own time-out, not a
        # port that could not be reached.
        self.assertEqual(report["ports"][2]["reason"], "CML: Operation Time Out!")
        self.assertEqual((report["ok"], report["ng"]), (3, 1))
        self.assertEqual("/dev/" + replug(2), devices[3])
        log_case("gang of four, one unplugged", started)


def boot():
    """Boots the guest, or returns the reason it cannot be had here."""
    global GUEST, WORK
    if shutil.which("qemu-system-x86_64") is None:
        return "qemu-system-x86_64 is not installed (Debian package qemu-system-x86)"
    programs = [program("ZQ_TESTER"), program("ZQ_GANG")]
    WORK = tempfile.mkdtemp(prefix="zq_hil_")
    cache = os.environ["ZQ_HIL_CACHE"]
    try:
        kernel_root, version = guestlib.fetch_kernel(cache)
        initramfs = os.path.join(WORK, "initramfs.gz")
        guestlib.build_initramfs(initramfs, kernel_root, version, programs)
    except guestlib.Unavailable as e:
        return str(e)
    started = time.monotonic()
    GUEST = guestlib.Guest(WORK, os.path.join(kernel_root, "boot", "vmlinuz-" + version),
                           initramfs, ADAPTERS)
    for n in range(ADAPTERS):
        guest_device(n)
    log_case("boot (kernel %s)" % version, started)
    return None


def main():
    try:
        why = boot()
        if why:
            print("hil: skipped, the real-driver runs need a QEMU guest: " + why)
            return SKIPPED
        result = unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[1:], exit=False).result
        return 0 if result.wasSuccessful() else 1
    finally:
        if GUEST:
            GUEST.stop()
        if WORK:
            shutil.rmtree(WORK, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
