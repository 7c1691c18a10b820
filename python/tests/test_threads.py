"""Threads: each thread's texts stay its own, through the package and in the library itself."""

import ctypes
import os
import subprocess
import sys
import threading
import unittest
from typing import Dict, List

import pelmoraerri
from pelmoraerri import _native

FD_POWER_ON = bytes([0xFD, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF9])
FD_ERASING = bytes([0xFD, 0x30, 0x00, 0x00, 0x00, 0x00, 0x00, 0xD3])

# Per thread: code, English, Chinese, packet, status text.
WORK = [
    (0x1107, "BLKC: Chip no Response!", "查  空：芯片无响应!", FD_POWER_ON,
     "Power On Self Data Checking......"),
    (0x4010, "Error: Open COM port error!", "Error: 打开COM口错误!", FD_ERASING,
     "Do Chip Erasing...."),
]
ROUNDS = 50


class ThreadTest(unittest.TestCase):
    def test_each_thread_keeps_its_own_text(self) -> None:
        # A second handle on the same library with its own function objects, whose results are
        # the library's pointers themselves: they show the library's per-thread texts directly.
        raw = _native._loader()(pelmoraerri.library_path())
        english_pointer = raw.GetEglishErrorMessageinformationRTX
        english_pointer.argtypes = [ctypes.c_uint]
        english_pointer.restype = ctypes.c_void_p

        barrier = threading.Barrier(len(WORK), timeout=30)
        mismatches: List[str] = []
        lock = threading.Lock()

        def work(index: int) -> None:
            code, english, chinese, packet, status = WORK[index]
            for round_number in range(ROUNDS):
                # Threads take turns: each one's calls fall between another's calls and checks.
                for turn in range(len(WORK)):
                    if turn == index:
                        texts = (pelmoraerri.error_text(code),
                                 pelmoraerri.GetChineseErrorMessageinformationRTX(code),
                                 pelmoraerri.status_text(packet))
                        pointer = english_pointer(code)
                    barrier.wait()
                got = (texts[0], texts[1].decode("cp936"), texts[2],
                       ctypes.string_at(pointer).decode("cp936"))
                if got != (english, chinese, status, english):
                    with lock:
                        mismatches.append("thread %d round %d: %r" % (index, round_number, got))
                barrier.wait()

        threads = [threading.Thread(target=work, args=(i,)) for i in range(len(WORK))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(mismatches, [])

    def test_first_use_from_many_threads_at_once(self) -> None:
        # A fresh interpreter, so that the threads race for the one load of the library.
        script = "\n".join([
            "import threading, pelmoraerri",
            "barrier = threading.Barrier(8)",
            "results = []",
            "def run():",
            "    barrier.wait()",
            "    results.append((pelmoraerri.error_text(0x1107), pelmoraerri.library_path()))",
            "threads = [threading.Thread(target=run) for _ in range(8)]",
            "[t.start() for t in threads]",
            "[t.join() for t in threads]",
            "print(len(results), len(set(results)), results[0][0])",
        ])
        environment: Dict[str, str] = dict(os.environ)
        environment[pelmoraerri.ENVIRONMENT_VARIABLE] = pelmoraerri.library_path()
        output = subprocess.run([sys.executable, "-c", script], env=environment, check=True,
                                stdout=subprocess.PIPE, universal_newlines=True).stdout
        self.assertEqual(output.strip(), "8 1 BLKC: Chip no Response!")


if __name__ == "__main__":
    unittest.main()
