#!/usr/bin/env python3
"""The real ZqCmdLin and simulator where the platform layer meets the system: a disk that fills
up while the run's files are written, stations that reach one installed tester through links
(and through PATH), a simulator that exits after its last answer, and a device that keeps
talking while the tester ends, under LeakSanitizer.

Environment: ZQ_TESTER (ZqCmdLin), ZQ_SIMULATOR (zq-programmer-sim).
Run one group with:  python3 platform_faults.py -k StationLinks
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import zqtest  # noqa: E402
from zqtest import PROGRAM_OK, WIRE  # noqa: E402

TESTER = os.environ.get("ZQ_TESTER", "")
SIMULATOR = os.environ.get("ZQ_SIMULATOR", "")
ENV = dict(os.environ, LC_ALL="C", LANG="C")
RUN = ["-COM=3", "-DOPROGA"]


def simulator(test, directory, options=()):
    """The simulator on COM3 for the directory; it records the wire outside that directory."""
    record = os.path.join(zqtest.scratch_directory(test, "zq-wire-"), "wire.bin")
    sim = zqtest.Simulator(SIMULATOR, directory, 3, record, ["--blocks", "1"] + list(options))
    test.addCleanup(sim.stop)
    return sim


def tree(directory):
    """Every name below the directory, relative to it, sorted; temporary files show here."""
    names = []
    for root, dirs, files in os.walk(directory):
        for name in dirs + files:
            names.append(os.path.relpath(os.path.join(root, name), directory))
    return sorted(names)


class DiskFull(zqtest.OutputChecks, unittest.TestCase):
    """The tester on a small tmpfs that is full: the report of the run does not fit. Neither a
    report cut off in the middle nor a log nor a temporary file may remain; with room again the
    same run writes both files whole."""

    def mount_small_tmpfs(self):
        directory = tempfile.mkdtemp(prefix="zq-tmpfs-")
        self.addCleanup(os.rmdir, directory)
        size = os.path.getsize(TESTER) + 4 * 1024 * 1024
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d" % size, "tmpfs",
                                  directory], capture_output=True, text=True)
        if mounted.returncode != 0:
            reason = (mounted.stderr or mounted.stdout).strip() or "exit %d" % mounted.returncode
            print("skipped: cannot mount a tmpfs here: " + reason)
            self.skipTest("cannot mount a tmpfs here: " + reason)
        self.addCleanup(subprocess.run, ["umount", "-l", directory], capture_output=True)
        return directory

    def test_full_disk_leaves_no_partial_file(self):
        directory = self.mount_small_tmpfs()
        shutil.copy2(TESTER, os.path.join(directory, "ZqCmdLin"))
        filler = os.path.join(directory, "filler")
        with open(filler, "wb", buffering=0) as f:
            try:
                while True:
                    f.write(b"\0" * 65536)
            except OSError:
                pass
        # Room for the start of the report only: with 400 progress lines it takes about 20 KiB.
        os.truncate(filler, os.path.getsize(filler) - 8192)

        def run_once():
            run = zqtest.run_with_simulator(self, zqtest.Run(directory),
                                            simulator(self, directory, ["--progress", "400"]),
                                            [os.path.join(directory, "ZqCmdLin")] + RUN,
                                            directory, ENV, 30)
            self.assertEqual(run.exit_code, 0)
            self.assertLess(run.seconds, 10)
            return run

        run_once()
        self.assertEqual(tree(directory), ["LogFileS", "ZqCmdLin", "dosdevices", "filler"])

        os.remove(filler)
        run = run_once()
        self.assertEqual(run.report()[-2:], PROGRAM_OK[-2:])
        self.assertGreater(len(run.report_bytes()), 16384)
        self.expect_one_log(directory, "COM3", "OK", run.report_bytes())
        self.assertEqual(tree(directory), ["LogFileS", os.path.join("LogFileS", run.logs()[0]),
                                           "RptZq_COM3.Txt", "ZqCmdLin", "dosdevices"])


class StationLinks(zqtest.OutputChecks, unittest.TestCase):
    """One installed tester, several stations: each station directory holds a link to it, its own
    dosdevices/com3 to its own simulator, and gets its own report and log, whether the link is
    started as ./ZqCmdLin, by its full path, or by its bare name along PATH."""

    def setUp(self):
        self.installed = zqtest.scratch_directory(self, "zq-install-", (TESTER, "ZqCmdLin"))

    def station(self):
        directory = zqtest.scratch_directory(self, "zq-station-")
        os.symlink(os.path.join(self.installed, "ZqCmdLin"), os.path.join(directory, "ZqCmdLin"))
        return directory, simulator(self, directory)

    def finish(self, run, sim, process):
        try:
            run.exit_code = process.wait(timeout=20)
        finally:
            sim.stop()
        run.wire = sim.wire()
        self.assertIn("RptZq_COM3.Txt", tree(run.directory), "the report went elsewhere")
        self.check(run, PROGRAM_OK, "OK", WIRE["DOPROGA"])

    def test_stations_at_once_each_get_their_own_files(self):
        first, first_sim = self.station()
        second, second_sim = self.station()
        runs = [
            (zqtest.Run(first), first_sim,
             zqtest.start_program(["./ZqCmdLin"] + RUN, first, ENV)),
            (zqtest.Run(second), second_sim,
             zqtest.start_program([os.path.join(second, "ZqCmdLin")] + RUN, "/", ENV)),
        ]
        for run, sim, process in runs:
            self.finish(run, sim, process)
        self.assertEqual(tree(self.installed), ["ZqCmdLin"])

    def test_bare_name_along_path_uses_that_directory(self):
        station, sim = self.station()
        elsewhere = zqtest.scratch_directory(self, "zq-cwd-")
        env = dict(ENV, PATH=station + os.pathsep + ENV.get("PATH", ""))
        self.finish(zqtest.Run(station), sim, zqtest.start_program(["ZqCmdLin"] + RUN, elsewhere, env))
        self.assertEqual(tree(elsewhere), [])
        self.assertEqual(tree(self.installed), ["ZqCmdLin"])


class ExitAfter(zqtest.OutputChecks, unittest.TestCase):
    """A simulator told to exit after its one answer: the tester still reads the whole answer
    (the simulator waits until the tester has closed the line), run after run, and the simulator
    ends by itself soon after."""

    RUNS = 10

    def test_every_run_gets_its_last_answer(self):
        for attempt in range(self.RUNS):
            with self.subTest(run=attempt):
                directory = zqtest.scratch_directory(self, "zq-exit-", (TESTER, "ZqCmdLin"))
                sim = simulator(self, directory, ["--exit-after", "1"])
                run = zqtest.Run(directory)
                tester = zqtest.start_program([os.path.join(directory, "ZqCmdLin")] + RUN,
                                              directory, ENV)
                run.exit_code = tester.wait(timeout=20)
                ended = time.monotonic()
                self.assertEqual(sim.process.wait(timeout=10), 0)
                self.assertLess(time.monotonic() - ended, 3.5)
                run.wire = sim.wire()
                self.check(run, PROGRAM_OK, "OK", WIRE["DOPROGA"])


class LeakCheck(unittest.TestCase):
    """A sanitizer build's tester against a device that keeps sending fill bytes after its answer,
    so that received chunks are still queued when the tester ends: LeakSanitizer finds every block
    released and the exit status stays 0. Where the report's place stalls (a FIFO that is read
    only after a while, as a hanging network share would), chunks certainly pile up meanwhile."""

    # The tester ends a chunk after a 5 ms gap: a byte every 8 ms is a chunk of its own.
    TRICKLES = [
        ("a chunk per byte", ["--idle-fill", "8"]),
        ("split answer, then fill", ["--split", "1", "--split-gap", "8", "--idle-fill", "8"]),
    ]
    ROUNDS = 3

    def setUp(self):
        options = [o for o in os.environ.get("ASAN_OPTIONS", "").split(":")
                   if o and not o.startswith("detect_leaks")]
        self.env = dict(ENV, ASAN_OPTIONS=":".join(options + ["detect_leaks=1"]))

    def run_tester(self, directory, sim, stalled_report):
        tester = subprocess.Popen([os.path.join(directory, "ZqCmdLin")] + RUN, cwd=directory,
                                  env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            if stalled_report:
                # The old report is deleted before the command goes out; the FIFO takes its place.
                self.assertTrue(sim.process.stdout.readline().startswith(b"COMMAND"))
                report = os.path.join(directory, "RptZq_COM3.Txt")
                os.mkfifo(report)
                time.sleep(1.0)  # the answer takes a quarter of that; the rest is stall
                self.assertIsNone(tester.poll(), "the tester ended without writing its report")
                with open(report, "rb") as f:
                    self.assertTrue(f.read().endswith(b"End of Commad: Success!\r\n"))
            _, stderr = tester.communicate(timeout=60)
        finally:
            if tester.poll() is None:
                tester.kill()
                tester.wait()
            sim.stop()
        stderr = stderr.decode(errors="replace")
        summary = [line for line in stderr.splitlines() if "Sanitizer" in line or "leak" in line]
        self.assertEqual(summary, [])
        self.assertEqual(tester.returncode, 0, stderr[-2000:])
        names = zqtest.log_names(directory)
        self.assertEqual(len(names), 1, names)
        self.assertRegex(names[0], zqtest.log_name("COM3", "OK"))

    def test_blocks_queued_while_the_report_stalls_are_released(self):
        directory = zqtest.scratch_directory(self, "zq-leak-", (TESTER, "ZqCmdLin"))
        # The pause before each packet leaves time to put the FIFO in place.
        sim = simulator(self, directory, ["--idle-fill", "8", "--delay", "25"])
        self.run_tester(directory, sim, True)

    def test_blocks_queued_at_the_end_are_released(self):
        for what, sim_options in self.TRICKLES:
            for attempt in range(self.ROUNDS):
                with self.subTest(device=what, run=attempt):
                    directory = zqtest.scratch_directory(self, "zq-leak-", (TESTER, "ZqCmdLin"))
                    self.run_tester(directory, simulator(self, directory, sim_options), False)


if __name__ == "__main__":
    unittest.main()
