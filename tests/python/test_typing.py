"""The installed stub matches the native module, and typed code checks cleanly."""

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy")

EXAMPLE = Path(__file__).resolve().parents[1] / "typing" / "example.py"


def mypy(tmp_path, *args):
    cmd = [sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache"), "--no-error-summary", *args]
    proc = subprocess.run(cmd, capture_output=True, text=True, cwd=tmp_path, timeout=300)
    return proc.returncode, proc.stdout + proc.stderr


@pytest.mark.parametrize("module", ["_csv_gleave_backend", "csv_gleave._native"])
def test_stub_matches_the_runtime_module(tmp_path, module):
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", module],
                          capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_typed_code_passes_strict_and_misuse_is_caught(tmp_path):
    assert mypy(tmp_path, "--strict", str(EXAMPLE)) == (0, "")
    # Each line below is a mistake the stub must let mypy report.
    bad = tmp_path / "bad.py"
    bad.write_text(textwrap.dedent("""\
        import pathlib
        import csv_gleave
        s = csv_gleave.gleave_file(pathlib.Path("a.csv"), 2.5)  # a Path is fine, a float is not
        csv_gleave.gleave_file("a.csv", "b.csv", fill_ragged_rows=1)
        s.total_rows = 1
        n: int = next(csv_gleave.open("a.csv"))
        csv_gleave.sniff("x", delimiter=",")
        d: str = s.to_dict()["total_rows"]
    """))
    rc, out = mypy(tmp_path, "--strict", str(bad))
    flagged = {int(line.split(":")[1]) for line in out.splitlines() if ": error:" in line}
    assert rc == 1 and flagged == {3, 4, 5, 6, 7, 8}, out
