"""The installed `csv-gleave` console script, run as a user runs it."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import csv_gleave

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "ragged.csv"
# The script installed beside this interpreter first (a venv's bin/ need not
# be on PATH), then whatever PATH finds.
SCRIPT = shutil.which("csv-gleave", path=os.pathsep.join(
    [str(Path(sys.executable).parent), os.environ.get("PATH", "")]))


def run(*args, cmd=None):
    assert SCRIPT, f"the csv-gleave console script is not installed beside {sys.executable} (pip install .)"
    proc = subprocess.run([*(cmd or [SCRIPT]), *map(str, args)], capture_output=True, text=True, timeout=120)
    return proc.returncode, proc.stdout, proc.stderr


@pytest.fixture
def d(tmp_path):
    (tmp_path / "semi.csv").write_text("a;b;c\n1;2;3\n4;5\n6;7;8;9\n")
    (tmp_path / "tab.tsv").write_text("a\tb\n1\t2\n3\t4\n")
    shutil.copy(EXAMPLE, tmp_path / "ragged.csv")
    return tmp_path


# (arguments, exit code, text expected in stdout, text expected in stderr)
CASES = [
    (["--version"], 0, f"csv-gleave {csv_gleave.__version__}", ""),
    (["--help"], 0, "repair", ""),
    ([], 2, "", "required"),
    (["bogus"], 2, "", "invalid choice"),
    (["repair", "{d}/ragged.csv"], 2, "", "-o OUTPUT"),
    (["repair", "{d}/ragged.csv", "{d}/semi.csv", "-o", "{d}/x.csv"], 2, "", "exactly one input"),
    (["repair", "{d}/ragged.csv", "-o", "{d}/ragged.csv"], 2, "", "overwrite its own input"),
    (["repair", "{d}/ragged.csv", "-o", "{d}/x.csv", "--delimiter", "ab"], 2, "", "one ASCII character"),
    (["repair", "{d}/ragged.csv", "-o", "{d}/x.csv", "--columns", "-1"], 2, "", "at least 0"),
    (["repair", "{d}/a.csv", "{d}/b.csv", "--out-dir", "{d}/o", "-q", "{d}/q.csv"], 2, "", "--quarantine-dir"),
    (["repair", "{d}/missing.csv", "-o", "{d}/x.csv"], 1, "", "missing.csv: No such file or directory"),
    (["repair", "{d}/ragged.csv", "-o", "{d}/nodir/x.csv"], 1, "", "nodir/x.csv: No such file"),
    (["repair", "{d}/ragged.csv", "-o", "{d}/x.csv"], 0, "", "repaired     3"),
    (["repair", "{d}/tab.tsv", "-o", "{d}/x.csv"], 0, "", "delimiter    tab"),
    (["repair", "{d}/semi.csv", "-o", "{d}/x.csv", "--no-merge"], 0, "", "quarantined  1  (dropped"),
    (["sniff", "{d}/semi.csv", "{d}/tab.tsv"], 0, "semi.csv: semicolon\n", ""),
    (["sniff", "{d}/semi.csv", "{d}/missing.csv"], 1, "semicolon", "missing.csv"),
    (["inspect", "{d}/semi.csv"], 0, "ragged rows  2", ""),
    (["inspect", "{d}/semi.csv", "-d", "comma"], 0, "columns      1", ""),
    (["inspect", "{d}/ragged.csv"], 0, "line 5: Row has extra columns (expected 4)", ""),
    (["inspect", "{d}/missing.csv"], 1, "", "missing.csv"),
]


@pytest.mark.parametrize("args, code, out, err", CASES, ids=[" ".join(c[0]) for c in CASES])
def test_command(d, args, code, out, err):
    rc, stdout, stderr = run(*(a.format(d=d) for a in args))
    assert (rc, out in stdout, err in stderr) == (code, True, True), (stdout, stderr)
    if rc:
        assert "Traceback" not in stderr


def test_python_dash_m_is_the_same_program():
    assert run("--version", cmd=[sys.executable, "-m", "csv_gleave"])[1].strip() == f"csv-gleave {csv_gleave.__version__}"


def test_repair_json_matches_the_library(d):
    rc, stdout, _ = run("repair", d / "semi.csv", "-o", d / "cli.csv", "-q", d / "q.csv", "--no-fill", "--json")
    expected = csv_gleave.gleave_file(str(d / "semi.csv"), str(d / "lib.csv"), fill_ragged_rows=False)
    assert rc == 0 and json.loads(stdout) == expected.to_dict()
    assert (d / "cli.csv").read_bytes() == (d / "lib.csv").read_bytes()
    assert (d / "q.csv").read_text() == 'line,reason,raw_content\n3,"Row has too few columns (expected 3)","4;5"\n'


def test_batch_survives_bad_inputs(d):
    (d / "in").mkdir()
    for name in ("a.csv", "b.csv", "c.csv"):
        shutil.copy(d / "semi.csv", d / "in" / name)
    (d / "in" / "folder.csv").mkdir()
    inputs = [d / "in" / n for n in ("a.csv", "folder.csv", "b.csv", "missing.csv", "c.csv")]
    rc, stdout, stderr = run("repair", *inputs, "--out-dir", d / "out", "--quarantine-dir", d / "q", "-j", "2",
                             "--no-merge")
    assert rc == 1
    assert sorted(p.name for p in (d / "out").iterdir()) == ["a.csv", "b.csv", "c.csv"]
    assert (d / "q" / "b.csv").read_text().count("\n") == 2  # header + the one long row
    lines = stdout.splitlines()
    assert [line.split()[-1] for line in lines] == ["status", "ok", "FAILED", "ok", "FAILED", "ok"]
    assert "folder.csv: Is a directory" in stderr and "missing.csv: No such file" in stderr
    assert "3 of 5 files repaired, 2 failed" in stderr


def test_batch_json_lists_every_file(d):
    rc, stdout, _ = run("repair", d / "semi.csv", d / "tab.tsv", "--out-dir", d / "out", "--json", "-j", "2")
    results = json.loads(stdout)
    assert rc == 0 and [r["summary"]["detected_delimiter"] for r in results] == [";", "\t"]
    assert all(r["error"] is None and Path(r["output"]).is_file() for r in results)


@pytest.mark.parametrize("text, lines", [
    ("h1,h2\n1,2,3\n4\n", [2, 3]),                 # rows ended by a line break
    ("h1,h2\n1,2\n3,4,5", [3]),                     # last row without a line break
    ("h1,h2\n1,2,3\n4,5", [2]),                     # ragged row before an unterminated last row
    ('h1,h2\n"a\nb",2,3\r\n4,5\r\n', [3]),          # quoted line break, CRLF
])
def test_inspect_reports_the_line_a_ragged_row_ends_on(d, text, lines):
    (d / "f.csv").write_text(text, newline="")
    rc, stdout, _ = run("inspect", d / "f.csv", "--json")
    assert rc == 0 and [r["line"] for r in json.loads(stdout)["ragged_rows"]] == lines
