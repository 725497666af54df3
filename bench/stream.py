"""Streaming typed batches in bounded memory: ``arrow_stream`` over a large
generated messy file, read batch by batch by pyarrow and counted by DuckDB,
each in a child process whose peak RSS (VmHWM) is reported beside its time.

The file is a block of messy rows (bench/generate.py's messy variant)
repeated to the size asked for; it is written once and kept under
bench/data. The first reading (which settles the column types over every
row) is timed apart from the batches' reading, so that its cost shows.
The "pipe" run gives the file to the child through a pipe: its types come
from a head, and the time to its first batch shows that it is read live.

    python bench/stream.py --size 1GB
    python bench/stream.py --size 10GB --markdown bench/stream_results.md
"""
from __future__ import annotations

import argparse
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from generate import generate, parse_size  # noqa: E402

BLOCK = 64 << 20

# Each child prints one JSON line: its figures and peak RSS.
CHILD = r"""
import json, sys, time
import csv_gleave
path, how = sys.argv[1], sys.argv[2]
start = time.perf_counter()
stream = csv_gleave.arrow_stream(sys.stdin.fileno() if how == "pipe" else path, threads=1)
settled = first = time.perf_counter()
if how in ("pyarrow", "pipe"):
    import pyarrow as pa
    rows = batches = 0
    for batch in pa.RecordBatchReader.from_stream(stream):
        rows += batch.num_rows
        batches += 1
        if batches == 1:
            first = time.perf_counter()
elif how == "duckdb":
    import duckdb
    db = duckdb.connect()
    db.execute("SET enable_progress_bar = false")
    rows = db.sql("SELECT count(*) FROM stream").fetchall()[0][0]
    batches = None
else:
    rows, batches = stream.num_rows, 0
end = time.perf_counter()
hwm = [l for l in open("/proc/self/status") if l.startswith("VmHWM")][0]
print(json.dumps({"how": how, "rows": rows, "batches": batches, "num_rows": stream.num_rows,
                  "first_reading_s": settled - start, "batches_s": end - settled,
                  "first_batch_s": first - start,
                  "peak_rss_mib": int(hwm.split()[1]) / 1024}))
"""


def big_file(directory: Path, size: int) -> Path:
    """The block repeated to at least ``size`` bytes, written once."""
    path = directory / f"stream-messy-{size}.csv"
    if path.exists():
        return path
    block_path = directory / "stream-block.csv"
    generate(block_path, BLOCK, seed=7, messy=True)
    block = block_path.read_bytes()
    # The header stays on top only: the block's own is set aside as repeated.
    body = block.split(b"\n", 1)[1]
    tmp = path.with_suffix(".tmp")
    with open(tmp, "wb") as out:
        out.write(block)
        written = len(block)
        while written < size:
            out.write(body)
            written += len(body)
    tmp.rename(path)
    block_path.unlink()
    return path


def measure(path: Path, how: str) -> dict:
    with open(path, "rb") as stdin:  # a pipe for the "pipe" run (cat writes it)
        feed = subprocess.Popen(["cat"], stdin=stdin, stdout=subprocess.PIPE) if how == "pipe" else None
        done = subprocess.run([sys.executable, "-c", CHILD, str(path), how], check=True,
                              stdin=feed.stdout if feed else subprocess.DEVNULL, capture_output=True, text=True)
        if feed:
            feed.stdout.close()
            feed.wait()
    return json.loads(done.stdout.strip().splitlines()[-1])


def markdown(results: dict, when: str) -> str:
    """The runs as the benchmarks page shows them."""
    lines = [f"## Streaming typed batches ({results['gib']:.2f} GiB messy file, {when})", "",
             "`bench/stream.py`: `arrow_stream` over the file in a child process each; the first reading",
             "settles the column types over every row, the batches are read after it. The machine is shared",
             "(two cores, other builds running): compare the peak RSS, not the times.", "",
             "| consumer | rows | first reading (s) | first batch (s) | batches (s) | MiB/s | peak RSS (MiB) |",
             "|---|--:|--:|--:|--:|--:|--:|"]
    for r in results["runs"]:
        lines.append(f"| {r['how']} | {r['rows']:,} | {r['first_reading_s']:.0f} | {r['first_batch_s']:.1f} "
                     f"| {r['batches_s']:.0f} | {r['mib_per_s']:.1f} | {r['peak_rss_mib']:.0f} |")
    return "\n".join(lines) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", default="1GB", help="the file's size (e.g. 500MB, 10GB)")
    parser.add_argument("--dir", default=str(Path(__file__).resolve().parent / "data"),
                        help="where the file is kept (default bench/data)")
    parser.add_argument("--json", help="also write the figures here")
    parser.add_argument("--markdown", help="also write them as the benchmarks page's section here")
    parser.add_argument("--keep", action="store_true", help="keep the generated file")
    args = parser.parse_args()
    directory = Path(args.dir)
    directory.mkdir(parents=True, exist_ok=True)
    size = parse_size(args.size)
    path = big_file(directory, size)
    gib = path.stat().st_size / 2**30
    results = {"file": str(path), "gib": gib, "runs": []}
    try:
        for how in ("settle", "pyarrow", "duckdb", "pipe"):
            r = measure(path, how)
            total = r["first_reading_s"] + r["batches_s"]
            r["mib_per_s"] = gib * 1024 / total
            results["runs"].append(r)
            print(f"{how:8} {gib:6.2f} GiB  rows {r['rows']:>12,}  first reading {r['first_reading_s']:7.1f} s"
                  f"  first batch {r['first_batch_s']:7.1f} s"
                  f"  batches {r['batches_s']:7.1f} s  {r['mib_per_s']:6.1f} MiB/s  peak RSS {r['peak_rss_mib']:6.0f} MiB",
                  flush=True)
    finally:
        if not args.keep:
            path.unlink()
    if args.json:
        Path(args.json).write_text(json.dumps(results, indent=2))
    if args.markdown:
        Path(args.markdown).write_text(markdown(results, time.strftime("%Y-%m-%d")))


if __name__ == "__main__":
    with tempfile.TemporaryDirectory():
        main()
