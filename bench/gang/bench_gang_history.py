#!/usr/bin/env python3
"""Benchmark of a whole gang run against a station's log history.

A station's LogFileS keeps the log of every run it ever made, and the gang looks at it to find
each port's new log. This measures the wall time of `zq-gang -COM=1-N -DOPROGA` against N
simulators that answer at once, first with an empty LogFileS, then with a LogFileS holding many
old logs (of the gang's ports and of others, over many dates), and compares the two medians.
A gang that reads LogFileS once at its start and once per group of ports ending together stays
close to its time with no history; one that reads it per port and per look grows with it.

Exit status: 0 when the ratio of the medians is within the target, 1 when it is above it,
2 when a gang run did not end with every port OK (or the programs are not built).

usage: bench_gang_history.py [--build DIR] [--ports N] [--history N] [--runs N]
"""

import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TARGET_RATIO = 1.5
GANG_TIME_LIMIT_S = 600
LOG_DIRECTORY = "LogFileS"


class RunFailed(Exception):
    pass


def start_simulator(simulator, directory, port):
    process = subprocess.Popen([simulator, "--link", directory, "--com", str(port)],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    for line in process.stdout:
        if line.strip() == b"READY":
            # It goes on telling every command it answers: keep its pipe empty, so that it
            # never blocks on a full pipe whatever the number of runs.
            threading.Thread(target=drain, args=(process.stdout,), daemon=True).start()
            return process
    process.wait()
    raise RunFailed("the simulator for COM%d did not start" % port)


def drain(stream):
    for _ in stream:
        pass


def stop(process):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=5)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def log_names(directory):
    try:
        return set(os.listdir(os.path.join(directory, LOG_DIRECTORY)))
    except FileNotFoundError:
        return set()


def run_gang(directory, ports, kept):
    """One timed gang run; then the logs it made are removed, the ones in kept left alone.
    Returns the wall time in seconds."""
    command = ["./zq-gang", "-COM=1-%d" % ports, "-DOPROGA"]
    env = dict(os.environ, LC_ALL="C")
    start = time.monotonic()
    try:
        proc = subprocess.run(command, cwd=directory, env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=GANG_TIME_LIMIT_S)
    except subprocess.TimeoutExpired:
        raise RunFailed("%s did not end within %d s" % (" ".join(command), GANG_TIME_LIMIT_S))
    wall = time.monotonic() - start
    if proc.returncode != 0:
        output = (proc.stdout + proc.stderr).decode("utf-8", "replace").rstrip()
        raise RunFailed("%s ended with exit status %d (not every port OK):\n%s"
                        % (" ".join(command), proc.returncode, output[-4000:]))
    new = log_names(directory) - kept
    if len(new) != ports:
        raise RunFailed("%s made %d new logs for %d ports" % (" ".join(command), len(new), ports))
    logs = os.path.join(directory, LOG_DIRECTORY)
    for name in new:
        os.unlink(os.path.join(logs, name))
    return wall


def fill_history(directory, ports, count):
    """count empty old logs named as the tester names them (LC_ALL=C: ISO date, time with its
    separators made '_'), for ports 1 to 2 * ports, one every 317 s back from a day ago: with the
    defaults about two years of runs. Returns the names."""
    logs = os.path.join(directory, LOG_DIRECTORY)
    os.makedirs(logs, exist_ok=True)
    newest = int(time.time()) - 86400
    names = set()
    fd = os.open(logs, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for i in range(count):
            port = i % (2 * ports) + 1
            verdict = "NG" if i % 10 == 9 else "OK"
            stamp = time.strftime("%Y_%m_%d_%H_%M_%S", time.localtime(newest - 317 * i))
            name = "ZQ_COM%d_%s_%s.log" % (port, verdict, stamp)
            os.close(os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644, dir_fd=fd))
            names.add(name)
    finally:
        os.close(fd)
    return names


def series(directory, ports, runs, kept):
    return [run_gang(directory, ports, kept) for _ in range(runs)]


def describe(label, times):
    median = statistics.median(times)
    print("%s: median %.3f s, min %.3f s, max %.3f s (runs: %s)"
          % (label, median, min(times), max(times), ", ".join("%.3f" % t for t in times)))
    return median


def on_terminate(signum, _frame):
    raise SystemExit(128 + signum)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "default"))
    parser.add_argument("--ports", type=int, default=32)
    parser.add_argument("--history", type=int, default=200000)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    if not 1 <= args.ports <= 256 or args.history < 0 or args.runs < 1:
        parser.error("--ports takes 1 to 256, --history 0 or more, --runs 1 or more")
    gang = os.path.join(args.build, "gang", "zq-gang")
    tester = os.path.join(args.build, "tester", "ZqCmdLin")
    simulator = os.path.join(args.build, "tools", "zq-programmer-sim")
    for program in (gang, tester, simulator):
        if not os.path.isfile(program):
            print("not built: %s (cmake --preset default && cmake --build --preset default)"
                  % program, file=sys.stderr)
            sys.exit(2)

    signal.signal(signal.SIGTERM, on_terminate)
    signal.signal(signal.SIGHUP, on_terminate)
    directory = tempfile.mkdtemp(prefix="zq-gang-history-")
    simulators = []
    try:
        shutil.copy2(gang, os.path.join(directory, "zq-gang"))
        shutil.copy2(tester, os.path.join(directory, "ZqCmdLin"))
        for port in range(1, args.ports + 1):
            simulators.append(start_simulator(simulator, directory, port))

        empty = series(directory, args.ports, args.runs, set())
        start = time.monotonic()
        history = fill_history(directory, args.ports, args.history)
        print("LogFileS filled with %d old logs of ports 1-%d in %.1f s"
              % (len(history), 2 * args.ports, time.monotonic() - start))
        full = series(directory, args.ports, args.runs, history)
    except RunFailed as failure:
        print("bench_gang_history: %s" % failure, file=sys.stderr)
        sys.exit(2)
    finally:
        for process in simulators:
            stop(process)
        shutil.rmtree(directory, True)

    print("zq-gang -COM=1-%d -DOPROGA, %d runs each, simulators answering at once"
          % (args.ports, args.runs))
    before = describe("  empty LogFileS      ", empty)
    after = describe("  %7d old logs     " % args.history, full)
    ratio = after / before
    within = ratio <= TARGET_RATIO
    print("  ratio %.2f (target: at most %.1f) %s"
          % (ratio, TARGET_RATIO, "within target" if within else "ABOVE TARGET"))
    sys.exit(0 if within else 1)


if __name__ == "__main__":
    main()
