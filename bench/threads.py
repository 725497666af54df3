"""Two threads repairing two files with csv_gleave.gleave_file against one.

The product module releases the interpreter lock while it reads, repairs and
writes, so two repairs in two threads should take little longer than one
(the target: at most 1.6 times, on a machine with two free cores).

    python bench/threads.py [--mb 100] [--repeat 3]
"""

import argparse
import os
import tempfile
import threading
import time

import csv_gleave


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
    args = ap.parse_args()
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
