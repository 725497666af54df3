"""One large file across a 2-worker Dask LocalCluster, against the one-machine repair.

Generates a damaged CSV file of SIZE MB (ragged rows, stray quotes, blank
lines, multi-byte text, and quoted fields with line breaks, a long one
straddling every BLOCK boundary so that guesses go wrong there), then:

  (a) csv_gleave.gleave_file, in this process: the one-machine repair;
  (b) csv_gleave.dask.repair_large on LocalCluster(n_workers=2, processes=True)
      with blocksize BLOCK (the cluster is started before the clock starts);
      its output and quarantine are checked byte for byte against (a)'s;
  (c) read_dask(path, blocksize=BLOCK) on the same cluster, its rows counted
      on the workers (no frame comes back), checked against (a)'s count.

Prints the times, the speed-ups, how many ranges' guessed starts were
wrong (each such range is repaired again), and the join's time against one
serial kernel copy of the output.

With --url the file is served from a local HTTP server that answers range
requests, and (b) and (c) read it by its URL: each worker fetches its
ranges with their margins (and the file's head); the pieces fetched again
because a row ran past them, and the bytes fetched, are printed too.

    python bench/split.py [--mb 2048] [--block 64MB] [--dir DIR] [--url]
"""

import argparse
import bisect
import contextlib
import filecmp
import functools
import http.server
import io
import itertools
import logging
import os
import random
import re
import shutil
import tempfile
import threading
import time

import csv_gleave
from csv_gleave import dask as split


def make(path: str, mb: int, block: int) -> None:
    r = random.Random(7)
    rows = []
    for i in range(20_000):
        k = r.random()
        if k < 0.05:
            rows.append(f'{i},"line one\nline two, {i}\nline three","漢字 é {i}",{i}.25\n')
        elif k < 0.08:
            rows.append(f"{i},short\n")
        elif k < 0.10:
            rows.append(f"{i},a,b,c,d\n")
        elif k < 0.11:
            rows.append("\n")
        elif k < 0.12:
            rows.append(f'{i},"stray "q" here",x,1\n')
        else:
            rows.append(f"{i},name {i},{'x' * r.randint(0, 60)},{i}\n")
    chunk = "".join(rows).encode()
    ends = list(itertools.accumulate(len(row.encode()) for row in rows))
    long_field = ('7,"' + "\n".join(f"quoted line {j}, across the edge" for j in range(200)) + '",x,1\n').encode()
    target = mb << 20
    with open(path, "wb") as f:
        f.write(b"id,name,note,amount\n")
        size = f.tell()
        next_edge = block
        while size < target:
            room = next_edge - len(long_field) // 2 - size
            if room >= len(chunk):
                f.write(chunk)
                size += len(chunk)
                continue
            # Rows up to just before the edge, then a quoted field with line
            # breaks over it: the range after the edge guesses wrong.
            cut = ends[bisect.bisect_right(ends, max(room, 0)) - 1] if room >= ends[0] else 0
            f.write(chunk[:cut] + long_field)
            size += cut + len(long_field)
            next_edge += block


class RangeHandler(http.server.SimpleHTTPRequestHandler):
    """Serves files with byte ranges (``Range: bytes=a-b``), as web servers and object stores do."""

    def send_head(self):  # type: ignore[no-untyped-def]
        asked = re.fullmatch(r"bytes=(\d+)-(\d*)", self.headers.get("Range", ""))
        if asked is None:
            return super().send_head()
        with open(self.translate_path(self.path), "rb") as f:
            size = os.fstat(f.fileno()).st_size
            start, end = int(asked[1]), min(size, int(asked[2]) + 1 if asked[2] else size)
            f.seek(start)
            body = f.read(max(0, end - start))
        self.send_response(206)
        self.send_header("Content-Range", f"bytes {start}-{end - 1}/{size}")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        return io.BytesIO(body)

    def log_message(self, *args):  # type: ignore[no-untyped-def]
        pass


@contextlib.contextmanager
def served(folder: str):
    """The base URL of ``folder`` served over HTTP on this machine, while in the block."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(RangeHandler, directory=folder))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}"
    finally:
        server.shutdown()
        server.server_close()


def serial_copy(source: str, target: str) -> None:
    with open(source, "rb") as src, open(target, "wb") as dst:
        while os.copy_file_range(src.fileno(), dst.fileno(), 64 << 20):
            pass


def digest(frame) -> list:
    """Each partition's rows and a hash of its values, computed on the workers."""
    import dask
    import pandas as pd

    def one(part):
        return len(part), int(pd.util.hash_pandas_object(part, index=False).sum())

    return list(dask.compute(*[dask.delayed(one)(part) for part in frame.to_delayed()]))


def timed(fn):
    started = time.perf_counter()
    result = fn()
    return time.perf_counter() - started, result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mb", type=int, default=2048)
    parser.add_argument("--block", default="64MB")
    parser.add_argument("--dir", default=None, help="where the files go (default: a temporary folder)")
    parser.add_argument("--url", action="store_true", help="read the file from a local HTTP server by its URL")
    args = parser.parse_args()
    import distributed

    block = split.block_bytes(args.block)
    work = tempfile.mkdtemp(prefix="csv-gleave-split-", dir=args.dir)
    try:
        path = os.path.join(work, "big.csv")
        make_time, _ = timed(lambda: make(path, args.mb, block))
        size = os.path.getsize(path)
        print(f"input: {size / 1e6:.0f} MB, made in {make_time:.1f} s; blocksize {args.block}; cores {os.cpu_count()}")
        one_time, one = timed(lambda: csv_gleave.gleave_file(path, os.path.join(work, "one.csv"),
                                                             os.path.join(work, "one.q")))
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                      silence_logs=logging.ERROR) as cluster, distributed.Client(cluster) as client, \
                (served(work) if args.url else contextlib.nullcontext(None)) as base:
            source = f"{base}/big.csv" if base else path
            out, quarantine = os.path.join(work, "two.csv"), os.path.join(work, "two.q")
            two_time, (two, stats) = timed(lambda: split.split_repair(
                source, out, quarantine, blocksize=block, runner=split._Runner(client), options={}))
            same = (filecmp.cmp(out, os.path.join(work, "one.csv"), shallow=False)
                    and filecmp.cmp(quarantine, os.path.join(work, "one.q"), shallow=False)
                    and two.to_dict() == one.to_dict())
            # The join against one serial kernel copy of as many bytes, as the parts were once joined.
            serial_time, _ = timed(lambda: serial_copy(out, os.path.join(work, "copy.csv")))
            os.remove(os.path.join(work, "copy.csv"))
            os.remove(out)
            read_q = os.path.join(work, "read.q")
            frame = split.read_dask(source, blocksize=block, quarantine_path=read_q)
            read_time, digests = timed(lambda: digest(frame))
            rows = sum(n for n, _ in digests)
            read_same = rows == one.gleaved_rows - 1 and filecmp.cmp(read_q, os.path.join(work, "one.q"), shallow=False)
            if base:  # the partitions read by URL against those read from the local file
                read_same = read_same and digests == digest(split.read_dask(path, blocksize=block))
        print(f"{'one-machine gleave_file':38} {one_time:7.2f} s  {size / one_time / 1e6:7.0f} MB/s")
        print(f"{'repair_large, LocalCluster 2 workers':38} {two_time:7.2f} s  {size / two_time / 1e6:7.0f} MB/s"
              f"  {one_time / two_time:.2f}x; {stats['parts']} ranges, {stats['misses']} guessed wrong;"
              f" bytes {'equal' if same else 'DIFFER'}")
        if base:
            print(f"{'  by URL: pieces fetched again':38} {stats['refetches']:7d};  bytes fetched "
                  f"{stats['fetched'] / size:.2f}x the file's")
        print(f"{'  its join, parts side by side':38} {stats['join_seconds']:7.2f} s; one serial kernel copy of "
              f"the output {serial_time:.2f} s")
        print(f"{'read_dask(blocksize), rows hashed':38} {read_time:7.2f} s  {size / read_time / 1e6:7.0f} MB/s"
              f"  {frame.npartitions} partitions; rows and quarantine {'equal' if read_same else 'DIFFER'}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
