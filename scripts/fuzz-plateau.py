#!/usr/bin/env python3
"""Fuzzes each libFuzzer target until its coverage has not grown for a while, then minimises its
corpus into fuzz/corpus/<target>/ and prints the coverage it reached.

    scripts/fuzz-plateau.py [--build build/fuzz] [--quiet-minutes 10] [--limit-minutes 60] [target...]

Longer than the short runs of the test command (scripts/fuzz-corpus.sh), which replay the corpus
this leaves behind. A crash stops the target and leaves the crashing input in the work directory.
"""
import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
COVERAGE = re.compile(rb"cov: (\d+) ft: (\d+)")


def coverage_of(target, corpus):
    """Coverage and features of a corpus, from a run that only loads it."""
    out = subprocess.run([target, "-runs=0", corpus], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT).stdout
    found = COVERAGE.findall(out)
    return tuple(int(x) for x in found[-1]) if found else (0, 0)


def fuzz_until_plateau(target, work, quiet_seconds, limit_seconds, log):
    """Runs the target over work/ until its coverage (edges, not features, which keep creeping up
    for hours) has not grown for quiet_seconds, or for limit_seconds in all. Returns False when the
    target found a crash."""
    process = subprocess.Popen([target, "-timeout=5", "-rss_limit_mb=2048", "-print_final_stats=1",
                                "-artifact_prefix=" + work + "/../", work],
                               stdout=log, stderr=subprocess.PIPE)
    started = last_growth = time.monotonic()
    best = 0
    os.set_blocking(process.stderr.fileno(), False)
    pending = b""
    while process.poll() is None:
        time.sleep(1)
        chunk = process.stderr.read() or b""
        log.write(chunk)
        pending = (pending + chunk)[-4096:]
        for found in COVERAGE.findall(pending):
            edges = int(found[0])
            if edges > best:
                best, last_growth = edges, time.monotonic()
        pending = pending[pending.rfind(b"\n") + 1:]
        now = time.monotonic()
        if now - last_growth >= quiet_seconds or now - started >= limit_seconds:
            process.terminate()
            process.wait()
            return True
    log.write(process.stderr.read() or b"")
    return process.returncode == 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "fuzz"))
    parser.add_argument("--quiet-minutes", type=float, default=10)
    parser.add_argument("--limit-minutes", type=float, default=60)
    parser.add_argument("targets", nargs="*")
    args = parser.parse_args()
    targets = sorted(glob.glob(os.path.join(args.build, "fuzz", "**", "fuzz_*"), recursive=True))
    targets = [t for t in targets if os.access(t, os.X_OK) and os.path.isfile(t)
               and (not args.targets or os.path.basename(t) in args.targets)]
    if not targets:
        sys.exit("no fuzz targets in " + args.build)
    failed = False
    for target in targets:
        name = os.path.basename(target)
        corpus = os.path.join(ROOT, "fuzz", "corpus", name)
        work = tempfile.mkdtemp(prefix="zq-fuzz-%s-" % name)
        runs = os.path.join(work, "runs")
        shutil.copytree(corpus, runs) if os.path.isdir(corpus) else os.mkdir(runs)
        before = coverage_of(target, runs)
        with open(os.path.join(work, "fuzz.log"), "wb") as log:
            ok = fuzz_until_plateau(target, runs, args.quiet_minutes * 60,
                                    args.limit_minutes * 60, log)
        if not ok:
            print("%s: CRASH, see %s" % (name, work), flush=True)
            failed = True
            continue
        minimised = os.path.join(work, "minimised")
        os.mkdir(minimised)
        subprocess.run([target, "-merge=1", minimised, runs], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
        shutil.rmtree(corpus, ignore_errors=True)
        shutil.copytree(minimised, corpus)
        after = coverage_of(target, corpus)
        print("%s: cov %d ft %d (seeds: cov %d ft %d), %d inputs" %
              (name, after[0], after[1], before[0], before[1], len(os.listdir(corpus))),
              flush=True)
        shutil.rmtree(work, ignore_errors=True)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
