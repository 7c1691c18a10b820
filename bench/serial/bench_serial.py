#!/usr/bin/env python3
"""Benchmarks of whole tester runs against the programmer simulator on a pseudo-terminal.

1. Wall time of a whole -DOCHECK run against a simulator that answers at once, over repeated
   runs (with hyperfine when it is installed, else timed here). The floor is the 50 ms wait after
   opening the port plus at most one 15 ms timer tick.
2. A flood of status packets (100,000 by default) sent as fast as the line takes them: every one
   must be logged (none lost), and the tester's CPU time per packet is reported.

usage: bench_serial.py [--build DIR] [--runs N] [--flood N]
"""

import argparse
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FLOOR_MS = 50 + 15


def start_simulator(simulator, directory, options):
    process = subprocess.Popen([simulator, "--link", directory, "--com", "3"] + options,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    for line in process.stdout:
        if line.strip() == b"READY":
            return process
    raise SystemExit("the simulator did not start")


def stop(process):
    process.send_signal(signal.SIGTERM)
    process.wait(timeout=5)


def run_wall_times(tester, simulator, runs):
    directory = tempfile.mkdtemp(prefix="zq-bench-")
    try:
        shutil.copy2(tester, os.path.join(directory, "ZqCmdLin"))
        sim = start_simulator(simulator, directory, [])
        command = "./ZqCmdLin -COM=3 -DOCHECK"
        env = dict(os.environ, LC_ALL="C")
        try:
            if shutil.which("hyperfine"):
                export = os.path.join(directory, "hyperfine.json")
                subprocess.run(["hyperfine", "--warmup", "3", "--runs", str(runs), "-N",
                                "--export-json", export, command],
                               cwd=directory, env=env, check=True, stdout=sys.stderr)
                with open(export) as f:
                    times = [t * 1000 for t in json.load(f)["results"][0]["times"]]
                source = "hyperfine"
            else:
                times = []
                for _ in range(runs):
                    start = time.monotonic()
                    subprocess.run(["./ZqCmdLin", "-COM=3", "-DOCHECK"], cwd=directory, env=env,
                                   check=True)
                    times.append((time.monotonic() - start) * 1000)
                source = "timed here"
        finally:
            stop(sim)
        with open(os.path.join(directory, "RptZq_COM3.Txt"), "rb") as f:
            last = f.read().rstrip(b"\r\n").split(b"\r\n")[-1]
        if last != b"End of Commad!":
            raise SystemExit("the last run did not end with the programmer's answer: %r" % last)
    finally:
        shutil.rmtree(directory, True)
    median = statistics.median(times)
    print("whole -DOCHECK run, %d runs (%s): median %.1f ms, min %.1f ms, max %.1f ms, "
          "stdev %.1f ms" % (len(times), source, median, min(times), max(times),
                             statistics.pstdev(times)))
    print("  floor %d ms (50 ms wait + one 15 ms tick); median is %+.1f ms from it (aim: within "
          "15 ms)" % (FLOOR_MS, median - FLOOR_MS))


def run_flood(tester, simulator, packets):
    directory = tempfile.mkdtemp(prefix="zq-flood-")
    try:
        shutil.copy2(tester, os.path.join(directory, "ZqCmdLin"))
        sim = start_simulator(simulator, directory, ["--blocks", "1", "--progress", str(packets)])
        start = time.monotonic()
        try:
            tester_process = subprocess.Popen(
                [os.path.join(directory, "ZqCmdLin"), "-COM=3", "-DOPROGA"], cwd=directory,
                env=dict(os.environ, LC_ALL="C"))
            # wait4 gives the tester's own CPU time, without the simulator's.
            _, status, usage = os.wait4(tester_process.pid, 0)
            tester_process.returncode = os.waitstatus_to_exitcode(status)
        finally:
            wall = time.monotonic() - start
            stop(sim)
        with open(os.path.join(directory, "RptZq_COM3.Txt"), "rb") as f:
            lines = f.read().split(b"\r\n")
    finally:
        shutil.rmtree(directory, True)
    cpu = usage.ru_utime + usage.ru_stime
    status_packets = packets + 11 + 1  # flood, the run's own steps and its result
    block_lines = sum(1 for line in lines if b" Programming ......" in line)
    logged = block_lines == packets + 1 and lines[-2] == b"End of Commad: Success!"
    print("flood of %d block packets (%d status packets in the run): %d block lines logged, "
          "%s" % (packets, status_packets, block_lines,
                  "none lost" if logged else "LOST OR MISSING LINES"))
    print("  wall %.2f s (%.1f us per packet); tester CPU %.2f s (user %.2f, system %.2f): "
          "%.1f us per packet" % (wall, wall * 1e6 / status_packets, cpu, usage.ru_utime,
                                  usage.ru_stime, cpu * 1e6 / status_packets))
    return logged


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "default"))
    parser.add_argument("--runs", type=int, default=50)
    parser.add_argument("--flood", type=int, default=100000)
    args = parser.parse_args()
    tester = os.path.join(args.build, "tester", "ZqCmdLin")
    simulator = os.path.join(args.build, "tools", "zq-programmer-sim")
    for program in (tester, simulator):
        if not os.path.isfile(program):
            raise SystemExit("not built: %s (cmake --preset default && cmake --build --preset "
                             "default)" % program)
    run_wall_times(tester, simulator, args.runs)
    if args.flood > 0 and not run_flood(tester, simulator, args.flood):
        sys.exit(1)


if __name__ == "__main__":
    main()
