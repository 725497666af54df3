"""Side-by-side benchmark of csv-gleave against its peers.

    pip install '.[bench]' && python bench/run.py --size 100MB

Generates (and caches under bench/data/) a messy and a clean CSV file, then
times every job on them, round-robin over the jobs in each repetition, each
run in a process of its own so that its peak RSS is its own. Writes
bench/results.md and bench/chart.png, and prints a one-line summary of the
key ratios with the machine's load.

Quick run for an optimisation loop (no report files written):

    python bench/run.py --size 10MB --reps 1 --only gleave,gleave-cli,gleave-backend,cp
"""

from __future__ import annotations

import argparse
import hashlib
import importlib.util
import json
import os
import shlex
import shutil
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import generate
import report
from tasks import TASKS

BENCH_DIR = Path(__file__).resolve().parent
TASKS_SCRIPT = BENCH_DIR / "tasks.py"


@dataclass
class Measurement:
    """All repetitions of one job on one file."""

    variant: str
    task: str
    gc: str  # "on" or "off"; the repair jobs run with the collector on
    seconds: list[float] = field(default_factory=list)
    peak_rss: list[int] = field(default_factory=list)
    rows: int | None = None
    note: str = ""
    baseline_rss: int = 0
    error: str = ""

    @property
    def key(self) -> tuple[str, str, str]:
        return self.variant, self.task, self.gc

    @property
    def median(self) -> float | None:
        return statistics.median(self.seconds) if self.seconds else None

    @property
    def minimum(self) -> float | None:
        return min(self.seconds) if self.seconds else None


def engine_digest() -> str:
    """Short hash of the installed native module, to catch a reinstall mid-run."""
    spec = importlib.util.find_spec("_csv_gleave_backend")
    if spec is None or spec.origin is None:
        return "not installed"
    return hashlib.sha256(Path(spec.origin).read_bytes()).hexdigest()[:12]


def process_start_cost(samples: int = 7) -> float:
    """Median wall time of starting and reaping a process that does nothing."""
    times = []
    for _ in range(samples):
        start = time.perf_counter()
        subprocess.run(["true"], check=True)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def warm(path: Path) -> None:
    """Reads a file (and the copy the two-thread jobs read beside it) once."""
    for p in (path, path.with_name(path.name + ".copy")):
        if p.exists():
            with open(p, "rb", buffering=0) as f:
                while f.read(1 << 24):
                    pass


def cli_command() -> list[str]:
    """The console script installed beside this interpreter, else ``python -m``."""
    script = shutil.which("csv-gleave", path=os.pathsep.join(
        [str(Path(sys.executable).parent), os.environ.get("PATH", "")]))
    return [script] if script else [sys.executable, "-m", "csv_gleave"]


def command_line(task: str, src: Path, dst: Path) -> list[str]:
    fill = {"{input}": str(src), "{output}": str(dst), "{python}": sys.executable}
    out: list[str] = []
    for part in TASKS[task].command:
        if part == "{cli}":
            out += cli_command()
        else:
            for key, value in fill.items():
                part = part.replace(key, value)
            out.append(part)
    return out


def run_once(task: str, src: Path, dst: Path, gc_mode: str, start_cost: float) -> dict:
    """Run one job in a child process; its time, peak RSS, rows and note.

    The Python jobs time themselves and report their own peak RSS. A command
    (``cp``, ``cat``, the ``csv-gleave`` CLI) is timed from outside as a whole
    process, less ``start_cost``; its RSS is not measured. What a command
    prints on standard output (``cat``'s copy) goes to /dev/null.
    """
    command = bool(TASKS[task].command)
    if command:
        cmd = command_line(task, src, dst)
    else:
        cmd = [sys.executable, str(TASKS_SCRIPT), task, str(src), str(dst), "--gc", gc_mode]
    start = time.perf_counter()
    proc = subprocess.run(cmd, stdout=subprocess.DEVNULL if command else subprocess.PIPE,
                          stderr=subprocess.PIPE)
    wall = time.perf_counter() - start
    if proc.returncode != 0:
        lines = proc.stderr.decode(errors="replace").strip().splitlines()
        return {"error": lines[-1] if lines else f"exit status {proc.returncode}"}
    if command:
        return {"seconds": max(wall - start_cost, 1e-6), "rows": None, "note": "",
                "peak_rss": None, "baseline_rss": 0}
    return json.loads(proc.stdout)


def measure(plan: list[Measurement], files: dict[str, Path], reps: int, out_dir: Path,
            start_cost: float) -> None:
    """Round-robin over the plan: every job runs once per repetition, the
    order reversed every other repetition, so that a drift in the machine's
    load falls on all of them alike."""
    out_dir.mkdir(parents=True, exist_ok=True)
    for rep in range(reps):
        order = plan if rep % 2 == 0 else plan[::-1]
        for m in order:
            if m.error:
                continue
            dst = out_dir / f"{m.task}.csv"
            # Write back what the previous job left dirty, so that its
            # write-back does not land on this job's clock.
            os.sync()
            # And read the input back into the page cache: this machine's
            # memory reclaim drops file pages left untouched for a while, so
            # a job whose input sat idle during the other variant's jobs
            # would otherwise read it from disk (every job, peers included).
            warm(files[m.variant])
            result = run_once(m.task, files[m.variant], dst, m.gc, start_cost)
            for leftover in (dst, dst.with_name(dst.name + ".quarantine")):
                leftover.unlink(missing_ok=True)
            if "error" in result:
                m.error = result["error"]
                print(f"  {m.variant:5} {m.task:12} gc {m.gc:3}  FAILED: {m.error}", flush=True)
                continue
            m.seconds.append(result["seconds"])
            if result["peak_rss"] is not None:
                m.peak_rss.append(result["peak_rss"])
            m.rows, m.note, m.baseline_rss = result["rows"], result["note"], result["baseline_rss"]
            rss = f"{result['peak_rss'] / 1e6:7.1f} MB" if result["peak_rss"] else ""
            print(f"  rep {rep + 1}/{reps} {m.variant:5} {m.task:14} gc {m.gc:3} "
                  f"{result['seconds']:8.3f} s  {rss}", flush=True)


def build_plan(tasks: list[str], variants: list[str], gc_modes: list[str]) -> list[Measurement]:
    plan: list[Measurement] = []
    for variant in variants:
        for task in tasks:
            modes = gc_modes if TASKS[task].kind == "read" else ["on"]
            plan.extend(Measurement(variant, task, mode) for mode in modes)
    return plan


def _csv_list(text: str) -> list[str]:
    return [item.strip() for item in text.split(",") if item.strip()]


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Benchmark csv-gleave against Python's csv module, polars, DuckDB, "
                    "pandas and cp.")
    parser.add_argument("--size", default="100MB", help="10MB, 100MB, 1GB (default 100MB)")
    parser.add_argument("--reps", type=int, default=7,
                        help="repetitions per job (default 7: the median and minimum are reported)")
    parser.add_argument("--only", type=_csv_list, default=list(TASKS),
                        help="comma-separated jobs, from: " + ",".join(TASKS))
    parser.add_argument("--variants", type=_csv_list, default=["messy", "clean"],
                        help="input files: messy,clean (default both), or runaway (one line "
                             "of '\"a' repeated: stray quotes at their densest)")
    parser.add_argument("--gc", type=_csv_list, default=["off", "on"],
                        help="collector modes for the read jobs (default off,on)")
    parser.add_argument("--seed", type=int, default=42)
    parser.add_argument("--data-dir", type=Path, default=BENCH_DIR / "data")
    parser.add_argument("--report", action=argparse.BooleanOptionalAction, default=None,
                        help="write results.md and chart.png (default: unless --only is given)")
    args = parser.parse_args(argv)
    unknown = [t for t in args.only if t not in TASKS]
    if unknown:
        parser.error(f"unknown job(s) {','.join(unknown)}; choose from {','.join(TASKS)}")
    if not set(args.variants) <= {"messy", "clean", "runaway"} or not set(args.gc) <= {"on", "off"}:
        parser.error("--variants takes messy,clean,runaway and --gc takes off,on")
    if args.report is None:
        args.report = set(args.only) == set(TASKS)
    return args


def main(argv: list[str] | None = None) -> None:
    args = parse_args(argv)
    size = generate.parse_size(args.size)
    args.only = [t for t in args.only if not TASKS[t].command or TASKS[t].command[0] == "{cli}"
                 or shutil.which(TASKS[t].command[0])]
    files = {}
    for variant in args.variants:
        print(f"input: {variant} {args.size} ...", end=" ", flush=True)
        files[variant] = generate.data_file(args.data_dir, variant, size, args.seed)
        print(files[variant])
    plan = build_plan(args.only, args.variants, args.gc)
    load_at_start = os.getloadavg()[0]
    cores = report.cores()
    print(f"1-minute load average {load_at_start:.2f} on {cores} cores")
    digest = engine_digest()
    start_cost = process_start_cost() if any(TASKS[t].command for t in args.only) else 0.0
    if start_cost:
        print(f"process start-up, taken off the commands' times: {start_cost * 1000:.1f} ms")
        print("the CLI runs as: " + shlex.join(cli_command()))
    measure(plan, files, args.reps, args.data_dir / "out", start_cost)

    if engine_digest() != digest:
        print("warning: _csv_gleave_backend was reinstalled during the run; "
              "its figures mix two builds", file=sys.stderr)
        digest += " (changed during the run)"
    command = " ".join(["python", "bench/run.py", *(sys.argv[1:] if argv is None else argv)])
    results = report.Results(size_label=args.size, files=files, reps=args.reps,
                             measurements=plan, command=command,
                             load=(load_at_start, os.getloadavg()[0]), start_cost=start_cost,
                             engine=digest, cores=cores)
    (args.data_dir / "last-run.json").write_text(results.to_json())
    if args.report:
        report.write_markdown(results, BENCH_DIR / "results.md", BENCH_DIR / "chart.png")
        report.write_chart(results, BENCH_DIR / "chart.png")
        print(f"wrote {BENCH_DIR / 'results.md'} and {BENCH_DIR / 'chart.png'}")
    print(report.summary_line(results))


if __name__ == "__main__":
    main()
