#!/usr/bin/env python3
"""The real ZqCmdLin, copied into a temporary directory, under hostile conditions. Environment:
ZQ_TESTER, ZQ_SIMULATOR, ZQ_FAILING_MALLOC (failing_malloc.c built). One group: -k ForgedText
"""
import os
import re
import select
import subprocess
import sys
import time
import tty
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import zqtest  # noqa: E402
from zqtest import PROGRAM_OK, PROGRAM_OK_END, PROGRAM_START, PROGRAM_STEPS, SET_PORT  # noqa: E402

ENV = dict(os.environ, LC_ALL="C", LANG="C")
LEFT_OUT = re.compile(r"^\.\.\. (\d+) lines left out \.\.\.$")


class Faults(zqtest.OutputChecks, unittest.TestCase):
    def setUp(self):
        self.directory = zqtest.scratch_directory(self, "zq-faults-", (os.environ["ZQ_TESTER"],
                                                                      "ZqCmdLin"))

    def start(self, args, sim_options=None, env=ENV):
        """The tester in its directory, with the simulator on COM3 when sim_options is given."""
        if sim_options is not None:
            sim = zqtest.Simulator(os.environ["ZQ_SIMULATOR"], self.directory, 3,
                                   os.path.join(self.directory, "wire.bin"), sim_options)
            self.addCleanup(sim.stop)
        return subprocess.Popen([os.path.join(self.directory, "ZqCmdLin")] + args,
                                cwd=self.directory, env=env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def wait(self, process, timeout):
        """Exit status and peak resident bytes of the tester, which must end within timeout s."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            pid, status, usage = os.wait4(process.pid, os.WNOHANG)
            if pid != 0:
                process.returncode = os.waitstatus_to_exitcode(status)
                return process.returncode, usage.ru_maxrss * 1024
            time.sleep(0.05)
        process.kill()
        process.wait()
        self.fail("the tester did not end within %d s" % timeout)


class StreamingDevice(Faults):
    PACKETS = 3000000

    def test_flood_past_the_bound(self):
        """Both files keep their head, one line counting what was left out, the newest 1,000
        lines and the verdict last; peak memory stays under 256 MiB."""
        tester = self.start(["-COM=3", "-DOPROGA"], ["--blocks", "1",
                                                     "--progress", str(self.PACKETS)])
        status, peak = self.wait(tester, 120)
        self.assertEqual(status, 0)
        run = zqtest.Run(self.directory)
        lines = run.report()
        self.expect_one_log(self.directory, "COM3", "OK", run.report_bytes())

        before, after = PROGRAM_START + PROGRAM_STEPS[:8], PROGRAM_STEPS[8:] + PROGRAM_OK_END
        total = len(before) + self.PACKETS + len(after)

        def expected(i):
            if i < len(before):
                return before[i]
            if i >= total - len(after):
                return after[i - total + len(after)]
            return "> T Do Main Flash Block %d Programming ......" % ((i - len(before)) % 256 + 1)

        notes = [i for i, line in enumerate(lines) if LEFT_OUT.match(line)]
        self.assertEqual(len(notes), 1, notes)
        head, tail = lines[:notes[0]], lines[notes[0] + 1:]
        self.assertEqual(len(tail), 1000)
        self.assertEqual(int(LEFT_OUT.match(lines[notes[0]]).group(1)),
                         total - len(head) - len(tail))
        self.assertEqual(head, [expected(i) for i in range(len(head))])
        self.assertEqual(tail, [expected(i) for i in range(total - len(tail), total)])
        self.assertLess(peak, 256 * 1024 * 1024)


class FailingMemory(Faults):
    def test_allocations_fail_after_the_report(self):
        """The run still ends at once with status 0; the report stays as written."""
        library = os.environ["ZQ_FAILING_MALLOC"]
        self.assertTrue(os.path.isfile(library), library)
        mark = os.path.join(zqtest.scratch_directory(self, "zq-faults-mark-"), "failing")
        env = dict(ENV, LD_PRELOAD=library, ZQ_FAILING_MALLOC_MARK=mark)
        tester = self.start(["-COM=3", "-DOPROGA"], ["--blocks", "1"], env)
        self.assertEqual(self.wait(tester, 20)[0], 0)
        self.assertTrue(os.path.exists(mark), "the allocations never failed")
        self.assertEqual(zqtest.Run(self.directory).report(), PROGRAM_OK)
        for name in zqtest.log_names(self.directory):
            self.assertTrue(zqtest.read(self.directory, "LogFileS", name).endswith(b"\r\n"))


class ForgedText(Faults):
    def test_names_cannot_add_lines(self):
        """CR LF and a verdict in the chip and file names of the information packet: the NG
        report shows them with '?' for the control bytes, on the lines they belong to."""
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        tty.setraw(slave)
        os.mkdir(os.path.join(self.directory, "dosdevices"))
        os.symlink(os.ttyname(slave), os.path.join(self.directory, "dosdevices", "com3"))
        info = bytearray(158)
        info[0:4] = b"\xfaWDI"
        info[88:104] = b"\r\nEnd of Commad:"
        info[104:130] = b"\r\nEnd of Commad: Success!\x7f"
        tester = self.start(["-COM=3", "-DOCHECK"])
        received = b""
        while tester.poll() is None and len(received) < len(zqtest.WIRE["DOCHECK"]):
            if select.select([master], [], [], 0.05)[0]:
                received += os.read(master, 4096)
        os.write(master, b"\xc0" + bytes(info) + b"\xc0")
        self.assertEqual(self.wait(tester, 10)[0], 0)
        self.assertEqual(received, zqtest.WIRE["DOCHECK"])
        run = zqtest.Run(self.directory)
        self.assertEqual(run.report(), SET_PORT + [
            "> T CmdLin: Do Programming Checking!", "> Current Programmer Information : ",
            "   Current ROM Size is : 0KB.", "   Current Flash CRC Sum : 0x0000.",
            "   Current Flash ACC Sum : 0x0000.", "   Current Chip Name is : ??End of Commad:",
            "   Current File Name is : ??End of Commad: Success!?", "   No S/N is Used!",
            "End of Commad!"])
        self.expect_one_log(self.directory, "COM3", "NG", run.report_bytes())


class LongPortValue(Faults):
    def test_port_part_is_capped(self):
        """Both files of a 250-character port value, their names holding its first 64; the
        report line shows the whole value."""
        port = ("COM3-A:B" * 32)[:250]  # the command line reaches the tester upper-cased
        self.assertEqual(self.wait(self.start(["-COM=" + port[3:]]), 10)[0], 0)
        report = zqtest.read(self.directory, "RptZq_%s.Txt" % port[:64])
        self.assertEqual(zqtest.stamped_lines(report), [
            '> T CmdLin: Set COM Port=%s"' % port,
            "> T > Not Enough Parameter has been transformed!", "End of Commad: Failed!"])
        log_port = re.escape(port[:64].replace("-", "_").replace(":", "_"))
        self.expect_one_log(self.directory, log_port, "NG", report)


if __name__ == "__main__":
    unittest.main()
