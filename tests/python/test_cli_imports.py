"""A plain `csv-gleave repair` loads no data-frame, Arrow, remote or cluster
library, nor the package's layers over them: each would cost every run of the
command its import time."""

import subprocess
import sys

import pytest

HEAVY = ("pandas", "polars", "pyarrow", "numpy", "fsspec", "dask", "distributed",
         "csv_gleave.dataframe", "csv_gleave.tables", "csv_gleave.remote", "csv_gleave.dask")

# Runs the command's main() in a fresh interpreter, then lists what it imported.
DRIVER = """
import sys
from csv_gleave.cli import main
code = main(sys.argv[2:])
with open(sys.argv[1], "w") as f:
    f.write(f"{code}\\n" + "\\n".join(sorted(sys.modules)))
"""


@pytest.mark.parametrize("args, stdin", [
    (["{d}/in.csv", "-o", "{d}/out.csv"], None),
    (["{d}/in.csv", "-o", "{d}/out.csv", "-q", "{d}/q.csv", "--json"], None),
    (["{d}/in.csv", "-o", "{d}/out.tsv", "-d", "comma", "--columns", "3"], None),
    (["-", "-o", "-"], b"a,b,c\n1,2\n3,4,5,6\n"),
], ids=["file", "quarantine-json", "options", "pipe"])
def test_plain_repair_imports_no_heavy_library(tmp_path, args, stdin):
    (tmp_path / "in.csv").write_bytes(b"a,b,c\n1,2\n3,4,5,6\n\"x,y\n")
    listing = tmp_path / "modules.txt"
    argv = [a.format(d=tmp_path) for a in ["repair", *args]]
    proc = subprocess.run([sys.executable, "-c", DRIVER, str(listing), *argv], input=stdin,
                          capture_output=True, timeout=120)
    assert proc.returncode == 0, proc.stderr.decode()
    code, *modules = listing.read_text().splitlines()
    assert code == "0", proc.stderr.decode()
    assert "csv_gleave.cli" in modules and "_csv_gleave_backend" in modules
    loaded = [m for m in modules if any(m == h or m.startswith(h + ".") for h in HEAVY)]
    assert loaded == []
    # Nor the standard modules only other paths use (argparse's help would
    # load shutil and the compression modules).
    unused = {"shutil", "bz2", "lzma", "threading", "signal"} | ({"json"} if "--json" not in args else set())
    assert unused.isdisjoint(modules)
