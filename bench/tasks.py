"""The benchmarked jobs, each run by ``run.py`` in a process of its own.

    python bench/tasks.py TASK INPUT OUTPUT [--gc on|off]

imports what the task needs, times the task alone and prints one JSON line:
``{"seconds", "rows", "note", "peak_rss", "baseline_rss"}``: ``rows`` is the
number of rows written (repair) or read, ``note`` says how the job went when
it had to deviate, ``peak_rss`` is the process's peak resident size in bytes
and ``baseline_rss`` that peak after the imports, before the task ran.
"""

from __future__ import annotations

import argparse
import collections
import csv
import gc
import itertools
import json
import os
import resource
import time
from dataclasses import dataclass
from typing import Callable

# Rows read to settle the expected width, the way a hand-written repair would.
WIDTH_SAMPLE_ROWS = 1000
SNIFF_SAMPLE_BYTES = 64 * 1024


@dataclass(frozen=True)
class Task:
    name: str
    kind: str  # "repair", "read" or "table"
    label: str
    note: str  # how the job differs from csv-gleave's, if it does
    # A job run as a command of its own, timed from outside as a whole
    # process (its start-up and imports included); the run script fills in
    # {python}, {cli}, {input} and {output}.
    command: tuple[str, ...] = ()


def _open_text(path: str):
    return open(path, newline="", encoding="utf-8-sig", errors="replace")


def sniff_dialect(path: str) -> tuple[str, int]:
    """Delimiter and most frequent row width, from the start of the file."""
    with _open_text(path) as f:
        sample = f.read(SNIFF_SAMPLE_BYTES)
    try:
        delimiter = csv.Sniffer().sniff(sample, delimiters=",;\t|").delimiter
    except csv.Error:
        delimiter = ","
    with _open_text(path) as f:
        rows = itertools.islice(csv.reader(f, delimiter=delimiter), WIDTH_SAMPLE_ROWS)
        widths = collections.Counter(len(row) for row in rows if row)
    width = widths.most_common(1)[0][0] if widths else 0
    return delimiter, width


# --- repair jobs -----------------------------------------------------------

def repair_gleave(src: str, dst: str) -> int:
    """The function users call: format detection, structure rules, summary."""
    import csv_gleave

    summary = csv_gleave.gleave_file(src, dst, dst + ".quarantine")
    return summary.gleaved_rows


def repair_backend(src: str, dst: str) -> int:
    """The core module's repair alone, under the public layer."""
    import _csv_gleave_backend

    summary = _csv_gleave_backend.gleave_file(src, dst, dst + ".quarantine")
    return summary.gleaved_rows


def repair_csv_module(src: str, dst: str) -> int:
    delimiter, width = sniff_dialect(src)
    rows = 0
    with _open_text(src) as f, open(dst, "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out, delimiter=delimiter, lineterminator="\n")
        for row in csv.reader(f, delimiter=delimiter):
            n = len(row)
            if n < width:
                row.extend([""] * (width - n))
            elif width and n > width:
                row[width - 1:] = [delimiter.join(row[width - 1:])]
            writer.writerow(row)
            rows += 1
    return rows


_POLARS_FALLBACK_NOTE = ("rejected the file with quoting on; re-read with quoting off, which "
                        "splits quoted fields at delimiters and line breaks")


def _polars_frame(src: str):
    """All-string frame, ragged lines tolerated; (frame, note).

    polars cannot skip a badly quoted field even with ``ignore_errors``; a
    user's script would then retry with quoting switched off, so this does
    the same and times both attempts.
    """
    import polars as pl

    def read(quote_char: str | None):
        return pl.read_csv(src, has_header=False, infer_schema=False, truncate_ragged_lines=True,
                           ignore_errors=True, encoding="utf8-lossy", quote_char=quote_char)

    try:
        return read('"'), ""
    except pl.exceptions.ComputeError:
        return read(None), _POLARS_FALLBACK_NOTE


def repair_polars(src: str, dst: str) -> tuple[int, str]:
    frame, note = _polars_frame(src)
    frame.write_csv(dst, include_header=False)
    return frame.height, note


def repair_duckdb(src: str, dst: str) -> int:
    import duckdb

    delimiter, width = sniff_dialect(src)
    columns = {f"c{i}": "VARCHAR" for i in range(width)}
    con = duckdb.connect()
    # Without auto_detect and strict_mode off, the reader accepts stray quotes;
    # null_padding with quoted line breaks needs the single-threaded scanner.
    source = con.read_csv(src, header=False, delimiter=delimiter, quotechar='"',
                          columns=columns, auto_detect=False, strict_mode=False,
                          null_padding=True, ignore_errors=True, parallel=False)
    target = dst.replace("'", "''")
    written = con.execute(f"COPY ({source.sql_query()}) TO '{target}' (HEADER false)").fetchone()
    return written[0] if written else 0


def repair_pandas(src: str, dst: str) -> int:
    import pandas as pd

    delimiter, width = sniff_dialect(src)

    def merge(fields: list[str]) -> list[str]:
        return fields[: width - 1] + [delimiter.join(fields[width - 1:])]

    frame = pd.read_csv(src, engine="python", sep=delimiter, header=None, names=range(width),
                        dtype=str, na_filter=False, on_bad_lines=merge, skip_blank_lines=False,
                        encoding="utf-8-sig", encoding_errors="replace")
    frame.to_csv(dst, header=False, index=False, lineterminator="\n")
    return len(frame)


# --- read jobs -------------------------------------------------------------

def read_gleave(src: str) -> list:
    import _csv_gleave_backend

    return list(_csv_gleave_backend.open(src))


def stream_gleave(src: str) -> int:
    """The reader's own memory: rows are handed out one by one and dropped."""
    import _csv_gleave_backend

    rows = 0
    for _ in _csv_gleave_backend.open(src):
        rows += 1
    return rows


def read_csv_module(src: str) -> list:
    with _open_text(src) as f:
        return list(csv.reader(f))


def read_polars(src: str) -> tuple[list, str]:
    frame, note = _polars_frame(src)
    return frame.rows(), note


# --- table jobs: typed columns, no Python object per value -----------------

def table_polars(src: str) -> int:
    import csv_gleave

    return csv_gleave.read_polars(src).height


def table_pandas(src: str) -> int:
    import csv_gleave

    return len(csv_gleave.read_pandas(src))


def table_arrow(src: str, threads: int | None = None) -> int:
    import csv_gleave

    return csv_gleave.read_arrow(src, threads=threads).num_rows


def second_file(src: str) -> str:
    """A copy of the input under another name, for the two-thread job."""
    import shutil

    copy = src + ".copy"
    if not os.path.exists(copy) or os.path.getsize(copy) != os.path.getsize(src):
        shutil.copyfile(src, copy)
    return copy


def table_arrow_two_threads(src: str, threads: int | None = None) -> int:
    """Two files read at once, each in a thread of its own."""
    import concurrent.futures

    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        return sum(pool.map(lambda p: table_arrow(p, threads), [src, second_file(src)]))


def table_arrow_one_thread(src: str) -> int:
    return table_arrow(src, threads=1)


def table_arrow_two_threads_one_each(src: str) -> int:
    """Two files at once, each built by its own thread alone: how reads
    scale with threads, apart from each read's own helpers."""
    return table_arrow_two_threads(src, threads=1)


def peer_polars_typed(src: str) -> int:
    import polars as pl

    return pl.read_csv(src).height


def peer_pandas_arrow(src: str) -> int:
    import pandas as pd

    return len(pd.read_csv(src, engine="pyarrow"))


TASKS = {t.name: t for t in [
    Task("gleave", "repair", "csv_gleave.gleave_file", ""),
    Task("gleave-cli", "repair", "csv-gleave repair (command)",
         "the whole command: interpreter start-up and imports included",
         ("{cli}", "repair", "{input}", "-o", "{output}", "-q", "{output}.quarantine")),
    Task("gleave-backend", "repair", "_csv_gleave_backend.gleave_file (core)",
         "the core alone: no encoding or structure detection of the public layer"),
    Task("csv", "repair", "Python csv module + pad/merge",
         "no quote repair: a stray opening quote swallows the lines after it"),
    Task("polars", "repair", "polars read_csv + write_csv",
         "long rows truncated (surplus fields lost); blank lines skipped; no quote repair"),
    Task("duckdb", "repair", "DuckDB read_csv + COPY",
         "long rows truncated; unparsable rows dropped; single-threaded "
         "(null_padding with quoted line breaks needs parallel=false)"),
    Task("pandas", "repair", "pandas python engine + on_bad_lines", "no quote repair"),
    Task("cp", "repair", "cp (floor: read and write)", "copies the bytes, repairs nothing",
         ("cp", "--reflink=never", "{input}", "{output}")),
    Task("cat", "repair", "cat > /dev/null (floor: read)", "reads the bytes, writes nothing",
         ("cat", "{input}")),
    Task("read-gleave", "read", "list(csv_gleave.open(path))", ""),
    Task("stream-gleave", "read", "for row in csv_gleave.open(path)",
         "rows dropped as they come: the reader's own memory"),
    Task("read-csv", "read", "list(csv.reader(f))", "rows not padded or merged; no quote repair"),
    Task("read-polars", "read", "polars read_csv(...).rows()",
         "tuples; long rows truncated; no quote repair"),
    Task("table-polars", "table", "csv_gleave.read_polars(path)", ""),
    Task("table-pandas", "table", "csv_gleave.read_pandas(path)", ""),
    Task("table-arrow", "table", "csv_gleave.read_arrow(path)", ""),
    Task("table-arrow-2t", "table", "csv_gleave.read_arrow, two files in two threads",
         "twice the input: the file and a copy of it"),
    Task("table-arrow-1t", "table", "csv_gleave.read_arrow(path, threads=1)", "built in the calling thread alone"),
    Task("table-arrow-2t-1t", "table", "csv_gleave.read_arrow(path, threads=1), two files in two threads",
         "twice the input: the file and a copy of it"),
    Task("polars-typed", "table", "polars.read_csv(path)",
         "types inferred from the first 100 rows; no repair"),
    Task("pandas-arrow", "table", 'pandas.read_csv(path, engine="pyarrow")', "no repair"),
]}

_JOBS: dict[str, Callable] = {
    "gleave": repair_gleave, "gleave-backend": repair_backend, "csv": repair_csv_module, "polars": repair_polars,
    "duckdb": repair_duckdb, "pandas": repair_pandas,
    "read-gleave": read_gleave, "stream-gleave": stream_gleave,
    "read-csv": read_csv_module, "read-polars": read_polars,
    "table-polars": table_polars, "table-pandas": table_pandas, "table-arrow": table_arrow,
    "table-arrow-2t": table_arrow_two_threads, "table-arrow-1t": table_arrow_one_thread,
    "table-arrow-2t-1t": table_arrow_two_threads_one_each, "polars-typed": peer_polars_typed,
    "pandas-arrow": peer_pandas_arrow,
}
_LIBRARIES = {"gleave": "csv_gleave", "gleave-backend": "_csv_gleave_backend", "read-gleave": "_csv_gleave_backend",
              "stream-gleave": "_csv_gleave_backend",
              "polars": "polars", "read-polars": "polars", "duckdb": "duckdb",
              "pandas": "pandas",
              "table-polars": "csv_gleave polars", "table-pandas": "csv_gleave pandas pyarrow",
              "table-arrow": "csv_gleave pyarrow", "table-arrow-2t": "csv_gleave pyarrow",
              "table-arrow-1t": "csv_gleave pyarrow", "table-arrow-2t-1t": "csv_gleave pyarrow",
              "polars-typed": "polars", "pandas-arrow": "pandas pyarrow"}


def _peak_rss() -> int:
    """Peak resident size of this process image, in bytes.

    VmHWM starts afresh at exec, whereas ru_maxrss (also in the parent's
    wait4) keeps the high-water mark of the parent that forked the child.
    """
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def run(task: str, src: str, dst: str) -> tuple[int, str]:
    """Run one job; (rows written or read, note on how it went)."""
    job = _JOBS[task]
    result = job(src, dst) if TASKS[task].kind == "repair" else job(src)
    value, note = result if isinstance(result, tuple) else (result, "")
    return (value if isinstance(value, int) else len(value)), note


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("task", choices=sorted(_JOBS))
    parser.add_argument("input")
    parser.add_argument("output")
    parser.add_argument("--gc", choices=["on", "off"], default="on")
    args = parser.parse_args()

    for library in _LIBRARIES.get(args.task, "").split():  # import time is not measured
        __import__(library)
    if args.task in ("table-arrow-2t", "table-arrow-2t-1t"):
        second_file(args.input)
    baseline = _peak_rss()
    if args.gc == "off":
        gc.disable()
    start = time.perf_counter()
    rows, note = run(args.task, args.input, args.output)
    seconds = time.perf_counter() - start
    print(json.dumps({"seconds": seconds, "rows": rows, "note": note,
                      "peak_rss": _peak_rss(), "baseline_rss": baseline}), flush=True)
    # Skip tearing down millions of objects; the parent has what it needs.
    os._exit(0)


if __name__ == "__main__":
    main()
