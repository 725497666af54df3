"""The benchmark's own machinery: the held-out files' truth, and a small run
of the timing harness end to end."""

import csv
import io
import json
import random
import subprocess
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[2] / "bench"
sys.path.insert(0, str(BENCH))

import dialect  # noqa: E402
import heldout  # noqa: E402


@pytest.mark.parametrize("category", sorted(heldout.GENERATORS))
def test_held_out_truth_is_what_a_strict_reader_reads(category):
    """The truth a file is scored against is what Python's csv module reads
    from it under the writer's dialect, below the lines put above it."""
    rng = random.Random(f"test-{category}")
    for _ in range(heldout.FEWER.get(category, 8)):
        text, truth = heldout.GENERATORS[category](rng)
        body = text.split("\n", truth["skip"])[-1]
        escape = truth.get("escape")
        rows = list(csv.reader(io.StringIO(body, newline=""), delimiter=truth["delimiter"],
                               quotechar=truth.get("quote", '"'), escapechar=escape,
                               doublequote=escape is None,
                               quoting=csv.QUOTE_MINIMAL if "quote" in truth else csv.QUOTE_NONE))
        assert rows[0] == truth["first_row"]
        assert {len(r) for r in rows} == {truth["width"]}
        assert len(rows) - truth["header"] == truth["rows"]


@pytest.mark.parametrize("tool", ["csv-gleave", "DuckDB"])
@pytest.mark.parametrize("text, truth", [
    ('id;name\n1;"Ann; Lee"\n2;Bob\n', {"delimiter": ";", "quote": '"', "header": True,
                                        "first_row": ["id", "name"], "width": 2, "rows": 2}),
    ("1\t2.5\tx\n3\t4.5\ty\n4\t1.0\tz\n", {"delimiter": "\t", "header": False,
                                              "first_row": ["1", "2.5", "x"], "width": 3, "rows": 3}),
], ids=["header", "no-header"])
def test_scorer_reads_what_each_tool_loads(tmp_path, tool, text, truth):
    """The per-property harness maps each tool's answer and loaded table
    right: on plain files every property it states scores as right."""
    pytest.importorskip("duckdb")
    path = tmp_path / "t.csv"
    path.write_text(text)
    got = dialect.RUNNERS[tool](path, "utf-8")
    assert dialect.score(truth, got) == dict.fromkeys(truth, True), got
    assert dialect.score(truth, None) == dict.fromkeys(truth, False)


def test_small_run_times_the_public_function_the_command_and_the_floors(tmp_path):
    jobs = ["gleave", "gleave-cli", "gleave-backend", "cp", "cat"]
    proc = subprocess.run([sys.executable, str(BENCH / "run.py"), "--size", "200KB", "--reps", "2",
                           "--only", ",".join(jobs), "--data-dir", str(tmp_path)],
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr
    summary = proc.stdout.strip().splitlines()[-1]
    for figure in ("gleave/backend", "gleave/cp", "cli/cp", "cli/gleave", "load"):
        assert figure in summary
    run = json.loads((tmp_path / "last-run.json").read_text())
    assert len(run["load"]) == 2 and run["cores"] >= 1
    timed = {(m["variant"], m["task"]): m for m in run["measurements"]}
    assert set(timed) == {(v, t) for v in ("messy", "clean") for t in jobs}
    for m in timed.values():
        assert not m["error"] and len(m["seconds"]) == 2
    assert timed["messy", "gleave"]["rows"] > 0 and timed["messy", "gleave-backend"]["rows"] > 0
