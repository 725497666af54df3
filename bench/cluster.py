"""Many small files three ways: a 2-worker Dask LocalCluster, the CLI's -j 2, one process.

Generates N damaged CSV files (ragged rows, stray quotes, a quoted line
break) of about SIZE KB each, then repairs them all:

  (a) csv_gleave.dask.repair_many on LocalCluster(n_workers=2, processes=True)
      (the cluster is started before the clock starts: on a real cluster it is
      already running);
  (b) csv-gleave repair FILES --out-dir D -j 2, as a subprocess (its start-up
      counted);
  (c) csv_gleave.gleave_file for each file in turn, in this process.

Every run's outputs are checked byte for byte against (c)'s.

    python bench/cluster.py [--files 200] [--kb 200] [--repeat 3]
"""

import argparse
import filecmp
import logging
import os
import shutil
import subprocess
import sys
import tempfile
import time

import csv_gleave
from csv_gleave.dask import repair_many


def make(directory: str, files: int, kb: int) -> list:
    rows = [b'1001,Ann Berg,"Oslo, NO",19.90,ok\n', b"1002,Bob,Leeds\n", b"1003,Cy,Rome,5.00,x,extra\n",
            b'1004,"Di "the" Lo",Paris,1.00,ok\n', b'1005,Eve,"Line\nbreak",2.50,ok\n']
    block = b"".join(rows)
    paths = []
    for i in range(files):
        path = os.path.join(directory, f"part-{i:04d}.csv")
        with open(path, "wb") as f:
            f.write(b"id,name,city,amount,note\n")
            f.write(block * (kb * 1024 // len(block)))
            f.write(f"{i},tail,{i % 7}\n".encode())
        paths.append(path)
    return paths


def timed(fn) -> float:
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--files", type=int, default=200)
    ap.add_argument("--kb", type=int, default=200)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    import distributed

    with tempfile.TemporaryDirectory() as d:
        os.makedirs(os.path.join(d, "in"))
        paths = make(os.path.join(d, "in"), args.files, args.kb)
        out = {name: os.path.join(d, name) for name in ("cluster", "cli", "sequential")}

        def sequential() -> None:
            os.makedirs(out["sequential"], exist_ok=True)
            for p in paths:
                name = os.path.basename(p)
                csv_gleave.gleave_file(p, os.path.join(out["sequential"], name),
                                       os.path.join(out["sequential"], name + ".q"))

        def cli() -> None:
            subprocess.run([sys.executable, "-m", "csv_gleave", "repair", *paths, "--out-dir", out["cli"],
                            "--quarantine-dir", out["cli"] + "-q", "-j", "2"],
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        times = {"sequential": [], "cli": [], "cluster": []}
        started = time.perf_counter()
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                      silence_logs=logging.ERROR) as cluster, distributed.Client(cluster) as client:
            cluster_start = time.perf_counter() - started
            client.run(lambda: __import__("csv_gleave.dask"))  # workers import the package once, as a real cluster would

            def on_cluster() -> None:
                table = repair_many(paths, out["cluster"], out["cluster"] + "-q", client=client)
                assert table["error"].isna().all()

            for _ in range(args.repeat):
                for name, fn in (("sequential", sequential), ("cli", cli), ("cluster", on_cluster)):
                    for directory in (out[name], out[name] + "-q"):
                        shutil.rmtree(directory, ignore_errors=True)
                    times[name].append(timed(fn))
        for p in paths:
            name = os.path.basename(p)
            for other in ("cli", "cluster"):
                assert filecmp.cmp(os.path.join(out["sequential"], name), os.path.join(out[other], name), False)
        total_mb = sum(os.path.getsize(p) for p in paths) / 1e6
        print(f"{args.files} files, {total_mb:.0f} MB in all; best of {args.repeat}; "
              f"cores: {os.cpu_count()}; LocalCluster start-up {cluster_start:.2f} s (not counted)")
        for name, label in (("cluster", "repair_many, LocalCluster 2 workers"),
                            ("cli", "csv-gleave repair --out-dir -j 2"),
                            ("sequential", "gleave_file in one process, in turn")):
            print(f"  {label:40s} {min(times[name]):6.2f} s")


if __name__ == "__main__":
    main()
