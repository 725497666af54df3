"""Threads and a file repair.

Two threads repairing two files with csv_gleave.gleave_file against one: the
product module releases the interpreter lock while it reads, repairs and
writes, so two repairs in two threads should take little longer than one
(the target: at most 1.6 times, on a machine with two free cores).

    python bench/threads.py [--mb 100] [--repeat 3]

One repair with its reading and writing on threads of their own beside the
pass (the default) against every stage on the caller's thread
(GLEAVE_STAGE_THREADS=0), for the public function and the core module,
interleaved, each run in a process of its own: wall time and CPU time
(median and minimum), peak RSS, and the machine's load.

    python bench/threads.py --stages FILE [--repeat 7]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import csv_gleave

# One repair in a child process: wall and CPU seconds, peak RSS in MB.
_ONE = """
import json, resource, sys, time
import csv_gleave, _csv_gleave_backend
src, dst, which = sys.argv[1:]
repair = csv_gleave.gleave_file if which == "public" else _csv_gleave_backend.gleave_file
before = resource.getrusage(resource.RUSAGE_SELF)
start = time.perf_counter()
repair(src, dst, dst + ".quarantine")
wall = time.perf_counter() - start
after = resource.getrusage(resource.RUSAGE_SELF)
cpu = after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime
print(json.dumps([wall, cpu, after.ru_maxrss / 1024]))
"""


def stages(path: str, repeat: int) -> None:
    runs = [(which, on) for which in ("public", "core") for on in ("1", "0")]
    got: dict = {run: [] for run in runs}
    load = os.getloadavg()[0]
    with tempfile.TemporaryDirectory() as d:
        for _ in range(repeat):
            for which, on in runs:
                env = dict(os.environ, GLEAVE_STAGE_THREADS=on)
                out = subprocess.run([sys.executable, "-c", _ONE, path, os.path.join(d, "out.csv"), which],
                                     env=env, check=True, capture_output=True, text=True).stdout
                got[(which, on)].append(json.loads(out))
    print(f"{path}, {repeat} runs each, load {load:.2f} -> {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")
    print("| repair | stages | wall median s | wall min s | CPU median s | peak RSS MB |")
    print("|---|---|--:|--:|--:|--:|")
    for which, on in runs:
        walls, cpus, rss = zip(*got[(which, on)])
        print(f"| {which} | {'threads' if on == '1' else 'in turn'} | {statistics.median(walls):.3f} | "
              f"{min(walls):.3f} | {statistics.median(cpus):.3f} | {max(rss):.0f} |")


def make(path: str, mb: int) -> None:
    row = b'1001,Ann Berg,"Oslo, NO",19.90,ok\n1002,Bob,Leeds\n1003,Cy,Rome,5.00,x,extra\n'
    with open(path, "wb") as f:
        f.write(b"id,name,city,amount,note\n")
        f.write(row * (mb * (1 << 20) // len(row)))


def best(fn, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--mb", type=int, default=100)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--stages", metavar="FILE", help="compare a repair's stages on threads and in turn")
    args = ap.parse_args()
    if args.stages:
        stages(args.stages, args.repeat)
        return
    with tempfile.TemporaryDirectory() as d:
        inputs = [os.path.join(d, f"in{i}.csv") for i in range(2)]
        for p in inputs:
            make(p, args.mb)

        def one(i: int = 0) -> None:
            csv_gleave.gleave_file(inputs[i], os.path.join(d, f"out{i}.csv"), os.path.join(d, f"q{i}.csv"))

        def two() -> None:
            threads = [threading.Thread(target=one, args=(i,)) for i in range(2)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()

        single = best(one, args.repeat)
        double = best(two, args.repeat)
        print(f"one file: {single:.3f} s   two files in two threads: {double:.3f} s   ratio {double / single:.2f}")


if __name__ == "__main__":
    main()
