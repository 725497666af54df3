"""Turns the measurements of ``run.py`` into results.md, a chart and a summary line."""

from __future__ import annotations

import datetime
import json
import os
import platform
from dataclasses import asdict, dataclass
from importlib import metadata
from pathlib import Path

from tasks import TASKS

MB = 1e6
REFERENCE = {"repair": "gleave", "read": "read-gleave", "table": "table-polars"}
# What the benchmark is meant to show on the messy file: (label, goal text).
# "csv-gleave" is the function users call, csv_gleave.gleave_file.
GOALS = {
    "csv": ("Python csv-module repair time / csv-gleave time", "≥ 15"),
    "polars": ("polars time / csv-gleave time", "> 1"),
    "duckdb": ("DuckDB time / csv-gleave time", "> 1"),
    "backend": ("csv_gleave.gleave_file time / _csv_gleave_backend.gleave_file time", "≤ 1.1"),
    "cp": ("csv_gleave.gleave_file time / cp time", "≤ 2.0"),
    "cli-cp": ("csv-gleave repair (whole command) time / cp time", "≤ 2.3"),
    "cli": ("csv-gleave repair (whole command) time / csv_gleave.gleave_file time", "(reported)"),
    "cat": ("csv_gleave.gleave_file time / cat time", "(reported)"),
    "read-off": ("csv.reader time / csv-gleave reader time, gc off", "≥ 2"),
    "read-on": ("csv.reader time / csv-gleave reader time, gc on", "(reported)"),
    "rss-gleave": ("gleave_file peak RSS / input size", "≤ 2.5"),
    "rss-read": ("csv-gleave reader peak RSS / input size (rows dropped as read)", "≤ 4"),
}
# Typed tables: (label, goal text, the file measured on).
TABLE_GOALS = {
    "polars": ("read_polars time / polars.read_csv time", "≤ 1.0", "clean"),
    "pandas": ('read_pandas time / pandas.read_csv(engine="pyarrow") time', "≤ 1.5", "clean"),
    "messy": ("read_polars time / gleave_file time", "≤ 2.5", "messy"),
    "rss-messy": ("read_arrow peak RSS / input size", "≤ 3", "messy"),
    "rss-clean": ("read_arrow peak RSS / input size", "≤ 3", "clean"),
    "threads": ("read_arrow of two files in two threads / of one file", "≤ 1.6", "messy"),
    "threads-1t": ("the same with threads=1 (each read builds in its own thread alone)", "≤ 1.6", "messy"),
}


@dataclass
class Results:
    size_label: str
    files: dict  # variant -> Path
    reps: int
    measurements: list  # of run.Measurement
    command: str
    load: tuple = ()  # 1-minute load average at the start and at the end of the run
    cores: int = 0  # cores this process may run on (nproc)
    start_cost: float = 0.0  # seconds taken off cp's wall time: starting a process
    engine: str = ""  # short hash of the native module measured

    def find(self, variant: str, task: str, gc: str = "on"):
        for m in self.measurements:
            if m.key == (variant, task, gc) and m.median is not None:
                return m
        return None

    def time_ratio(self, variant: str, a: str, b: str, stat: str = "median") -> float | None:
        """Job a's time over job b's on the same file: median over median, or
        minimum over minimum."""
        x, y = self.find(variant, a), self.find(variant, b)
        return getattr(x, stat) / getattr(y, stat) if x and y else None

    def input_bytes(self, variant: str) -> int:
        return Path(self.files[variant]).stat().st_size

    def ratio(self, m) -> float | None:
        """The job's median time as a multiple of csv-gleave's on the same file."""
        ref = self.find(m.variant, REFERENCE[TASKS[m.task].kind], m.gc)
        if ref is None or m.median is None:
            return None
        return m.median / ref.median

    def rss_multiple(self, m) -> float | None:
        return max(m.peak_rss) / self.input_bytes(m.variant) if m.peak_rss else None

    def throughput(self, m) -> float | None:
        return self.input_bytes(m.variant) / MB / m.median if m.median else None

    def key_figures(self, variant: str, stat: str = "median") -> dict[str, float]:
        """The figures of GOALS that were measured on this file, from the
        median times or from the minimum times (``stat``); memory figures
        are the same for both."""
        figures = {}
        pairs = {"csv": ("csv", "gleave"), "polars": ("polars", "gleave"),
                 "duckdb": ("duckdb", "gleave"), "backend": ("gleave", "gleave-backend"),
                 "cp": ("gleave", "cp"), "cli-cp": ("gleave-cli", "cp"),
                 "cli": ("gleave-cli", "gleave"), "cat": ("gleave", "cat")}
        for key, (a, b) in pairs.items():
            value = self.time_ratio(variant, a, b, stat)
            if value is not None:
                figures[key] = value
        gleave = self.find(variant, "gleave")
        for gc in ("off", "on"):
            ours, theirs = self.find(variant, "read-gleave", gc), self.find(variant, "read-csv", gc)
            if ours and theirs:
                figures[f"read-{gc}"] = getattr(theirs, stat) / getattr(ours, stat)
        if gleave:
            figures["rss-gleave"] = self.rss_multiple(gleave)
        # The reader's memory is measured while it hands rows out and they are
        # dropped; keeping every row as Python objects costs the same ~9x the
        # input for any reader (see the list(...) rows of the reading table).
        reader = (self.find(variant, "stream-gleave", "off")
                  or self.find(variant, "stream-gleave", "on")
                  or self.find(variant, "read-gleave", "off"))
        if reader:
            figures["rss-read"] = self.rss_multiple(reader)
        return figures

    def table_figures(self, stat: str = "median") -> dict[str, float]:
        """The figures of TABLE_GOALS that were measured (times by ``stat``)."""
        pairs = {"polars": ("clean", "table-polars", "polars-typed"),
                 "pandas": ("clean", "table-pandas", "pandas-arrow"),
                 "messy": ("messy", "table-polars", "gleave"),
                 "threads": ("messy", "table-arrow-2t", "table-arrow"),
                 "threads-1t": ("messy", "table-arrow-2t-1t", "table-arrow-1t")}
        figures = {}
        for key, (variant, ours, theirs) in pairs.items():
            value = self.time_ratio(variant, ours, theirs, stat)
            if value is not None:
                figures[key] = value
        for variant in ("messy", "clean"):
            m = self.find(variant, "table-arrow") if variant in self.files else None
            if m and m.peak_rss:
                figures[f"rss-{variant}"] = self.rss_multiple(m)
        return figures

    def to_json(self) -> str:
        return json.dumps({
            "size": self.size_label, "reps": self.reps, "command": self.command,
            "files": {k: str(v) for k, v in self.files.items()}, "load": self.load, "cores": self.cores,
            "start_cost": self.start_cost, "engine": self.engine,
            "measurements": [asdict(m) for m in self.measurements],
        }, indent=1)


# --- machine ---------------------------------------------------------------

def cores() -> int:
    """The cores this process may run on, as nproc counts them."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _memory_gb() -> str:
    try:
        with open("/proc/meminfo") as f:
            kb = int(f.readline().split()[1])
        return f"{kb / 1024**2:.0f} GiB"
    except (OSError, ValueError, IndexError):
        return "unknown"


def _version(dist: str) -> str:
    try:
        return metadata.version(dist)
    except metadata.PackageNotFoundError:
        return "not installed"


def machine_lines(results: Results) -> list[str]:
    versions = ", ".join(f"{name} {_version(name)}"
                         for name in ("csv-gleave", "polars", "duckdb", "pandas"))
    load = results.load
    shared = ([f"- 1-minute load average at the start and the end of the run: "
               f"{load[0]:.2f} / {load[1]:.2f} on {results.cores or cores()} cores (nproc); "
               f"above the core count, jobs waited for a core"] if load else [])
    return shared + [
        f"- CPU: {_cpu_model()}, {os.cpu_count()} cores, {_memory_gb()} memory",
        f"- OS: {platform.system()} {platform.release()}",
        f"- Python {platform.python_version()} ({platform.python_implementation()})",
        f"- {versions} (native module sha256 {results.engine})",
    ]


# --- markdown --------------------------------------------------------------

def _fmt(value: float | None, spec: str = ".2f", suffix: str = "") -> str:
    return "n/a" if value is None else f"{value:{spec}}{suffix}"


def _notes(m) -> str:
    """How the job differs from csv-gleave's; on a clean file only what happened."""
    static = TASKS[m.task].note if m.variant == "messy" or m.task == "cp" else ""
    return "; ".join(n for n in (static, m.note) if n)


def _peak_mb(m) -> str:
    if not m.peak_rss:
        return "n/a"
    return f"{max(m.peak_rss) / MB:.0f} ({m.baseline_rss / MB:.0f})"


def _table(results: Results, variant: str, kind: str) -> list[str]:
    lines = [
        "| job | gc | median s | min s | MB/s | × csv-gleave time | peak RSS MB (after imports) "
        "| RSS / input | rows | notes |",
        "|---|---|--:|--:|--:|--:|--:|--:|--:|---|",
    ]
    for m in results.measurements:
        if m.variant != variant or TASKS[m.task].kind != kind:
            continue
        label = TASKS[m.task].label
        if m.error:
            lines.append(f"| {label} | {m.gc} | failed | | | | | | | {m.error} |")
            continue
        lines.append(
            f"| {label} | {m.gc} | {_fmt(m.median, '.3f')} | {_fmt(m.minimum, '.3f')} "
            f"| {_fmt(results.throughput(m), '.1f')} "
            f"| {_fmt(results.ratio(m))} | {_peak_mb(m)} "
            f"| {_fmt(results.rss_multiple(m))} | {'' if m.rows is None else m.rows} "
            f"| {_notes(m)} |")
    return lines


def write_markdown(results: Results, path: Path, chart: Path) -> None:
    variants = list(results.files)
    today = datetime.date.today().isoformat()
    lines = [
        "# Benchmark results",
        "",
        f"Measured on {today} with `{results.command}`: median and minimum of "
        f"{results.reps} repetitions per job.",
        "",
        "## Machine",
        "",
        *machine_lines(results),
        "",
        "## Inputs",
        "",
        "| file | bytes | rows kept by csv-gleave |",
        "|---|--:|--:|",
    ]
    for variant in variants:
        gleave = results.find(variant, "gleave")
        rows = gleave.rows if gleave else "n/a"
        lines.append(f"| {variant} ({Path(results.files[variant]).name}) "
                     f"| {results.input_bytes(variant)} | {rows} |")
    main = variants[0]
    figures, best = results.key_figures(main), results.key_figures(main, "minimum")
    lines += ["", f"## Key figures ({main} file)", "",
              "Ratios of median times, and of minimum times (the least disturbed run of each job).", "",
              "| figure | median | minimum | goal |", "|---|--:|--:|--:|"]
    for key, (label, goal) in GOALS.items():
        if key in figures:
            lines.append(f"| {label} | {figures[key]:.2f} | {best[key]:.2f} | {goal} |")
    table_figures, table_best = results.table_figures(), results.table_figures("minimum")
    if table_figures:
        lines += ["", "## Key figures (typed tables)", "",
                  "| figure | file | median | minimum | goal |", "|---|---|--:|--:|--:|"]
        for key, (label, goal, variant) in TABLE_GOALS.items():
            if key in table_figures:
                lines.append(f"| {label} | {variant} | {table_figures[key]:.2f} "
                             f"| {table_best[key]:.2f} | {goal} |")
    for variant in variants:
        for kind, title in (("repair", "Repair"), ("read", "Reading"), ("table", "Typed tables")):
            if any(m.variant == variant and TASKS[m.task].kind == kind for m in results.measurements):
                lines += ["", f"## {title}: {variant} file", "", *_table(results, variant, kind)]
    lines += [
        "",
        f"![throughput chart]({chart.name})",
        "",
        "## How it was measured",
        "",
        "- Every run is a process of its own, started by `bench/run.py`; the jobs are run "
        "round-robin (each job once per repetition, the order reversed every other "
        "repetition) on the same files.",
        "- The Python jobs' times exclude interpreter start and library imports (they are "
        "taken inside the process around the call). The commands (`csv-gleave repair`, `cp`, "
        "`cat`) are timed as whole processes, less the median time of starting and reaping "
        f"a process that does nothing (`true`: {results.start_cost * 1000:.1f} ms in this "
        "run): the CLI's figure includes its interpreter's start-up and imports.",
        "- Peak RSS is the job's process's `VmHWM`: the whole process, interpreter and "
        "imported libraries included (in brackets: the peak after the imports, before the "
        "job); not measured for `cp`. `× csv-gleave time` above 1 means csv-gleave is faster.",
        "- The input files are in the page cache; outputs go to `bench/data/out/` and are "
        "deleted after each run. csv-gleave also writes its quarantine file.",
        "- The repair jobs run with the garbage collector on. The read jobs build the full "
        "list of rows, timed with the collector disabled (`gc off`) and enabled (`gc on`).",
        "- The peers do not all do the same job; the notes and the row counts say where they "
        "differ. csv-gleave keeps every row, pads short ones, folds surplus fields into the "
        "last column and repairs stray quotes.",
        "",
    ]
    path.write_text("\n".join(lines))


# --- chart -----------------------------------------------------------------

def write_chart(results: Results, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    variants = list(results.files)
    tables = any(TASKS[m.task].kind == "table" for m in results.measurements)
    fig, axes = plt.subplots(1, 3 if tables else 2, figsize=(19.5 if tables else 13, 5.5),
                             constrained_layout=True)
    left, right = axes[0], axes[1]
    _bars(left, results, [(v, "on", f"{v} file") for v in variants], "repair",
          f"Repair a {results.size_label} CSV file (MB/s, log scale, higher is better)", log=True)
    _bars(right, results, [(variants[0], gc, f"gc {gc}") for gc in ("off", "on")], "read",
          f"Read all rows of the {variants[0]} file (MB/s)", log=False)
    if tables:
        _bars(axes[2], results, [(v, "on", f"{v} file") for v in variants], "table",
              "Typed table in memory (MB/s)", log=False)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def _bars(ax, results: Results, series: list[tuple[str, str, str]], kind: str, title: str,
          log: bool) -> None:
    tasks = [name for name, t in TASKS.items() if t.kind == kind
             and any(m.task == name for m in results.measurements)]
    height = 0.8 / max(len(series), 1)
    top = 0.0
    for i, (variant, gc, legend) in enumerate(series):
        values = []
        for task in tasks:
            m = results.find(variant, task, gc)
            values.append((results.throughput(m) or 0.0) if m else 0.0)
        top = max([top, *values])
        ys = [y + i * height for y in range(len(tasks))]
        bars = ax.barh(ys, values, height=height, label=legend)
        ax.bar_label(bars, labels=[f"{v:.0f}" if v else "" for v in values], padding=2, fontsize=8)
    ax.set_yticks([y + height * (len(series) - 1) / 2 for y in range(len(tasks))])
    ax.set_yticklabels([TASKS[t].label for t in tasks], fontsize=8)
    ax.invert_yaxis()
    if log:
        ax.set_xscale("log")
        ax.set_xlim(right=top * 4)
    elif top > 0:
        ax.set_xlim(0, top * 1.15)
    ax.set_title(title, fontsize=10)
    ax.legend(fontsize=8, loc="best")


# --- summary line ----------------------------------------------------------

def summary_line(results: Results) -> str:
    variant = next(iter(results.files))
    parts = []
    gleave = results.find(variant, "gleave")
    if gleave:
        parts.append(f"gleave {gleave.median:.3f}s {results.throughput(gleave):.0f}MB/s")
    figures, best = results.key_figures(variant), results.key_figures(variant, "minimum")
    names = {"csv": "csv-module", "polars": "polars", "duckdb": "duckdb"}
    parts += [f"vs {name} {figures[key]:.1f}x" for key, name in names.items() if key in figures]
    names = {"backend": "gleave/backend", "cp": "gleave/cp", "cli-cp": "cli/cp", "cli": "cli/gleave"}
    parts += [f"{name} {figures[key]:.2f} (min {best[key]:.2f})"
              for key, name in names.items() if key in figures]
    for gc in ("off", "on"):
        if f"read-{gc}" in figures:
            parts.append(f"reader vs csv.reader gc-{gc} {figures[f'read-{gc}']:.2f}x")
    rss = [f"{name} {figures[key]:.2f}" for key, name in (("rss-gleave", "gleave"),
                                                          ("rss-read", "reader")) if key in figures]
    if rss:
        parts.append("RSS/input " + " ".join(rss))
    tables, tables_best = results.table_figures(), results.table_figures("minimum")
    names = {"polars": "read_polars/polars", "pandas": "read_pandas/pandas-pyarrow",
             "messy": "read_polars-messy/gleave", "rss-messy": "read_arrow RSS/input",
             "threads": "2 threads/1", "threads-1t": "2 threads/1 (threads=1)"}
    parts += [f"{name} {tables[key]:.2f}" + ("" if key.startswith("rss") else f" (min {tables_best[key]:.2f})")
              for key, name in names.items() if key in tables]
    if results.load:
        parts.append(f"load {results.load[0]:.1f}->{results.load[1]:.1f} on {results.cores} cores")
    return f"{variant} {results.size_label}: " + " | ".join(parts)
