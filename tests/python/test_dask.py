"""csv_gleave.dask on a two-process LocalCluster: the same rows and bytes as the
single-file functions, a failing file reported in its own row, the CLI's
--scheduler, and no dask import for plain ``import csv_gleave``."""

import json
import logging
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

dask = pytest.importorskip("dask")
pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")
pytest.importorskip("pyarrow")

import csv_gleave  # noqa: E402
from csv_gleave import cli  # noqa: E402
from csv_gleave.dask import read_dask, repair_many  # noqa: E402

FILES = {
    "a.csv": b"id,score,name\n1,2.5,Ann\n2,3\n3,4.0,Cy,extra\n",
    "b.csv": b"id,score,name\n4,1,Di\n5,7,\"E\nd\"\n",  # score whole numbers here: converted, not refused
    "c.csv": b"id;score;name\n6;0.5;Fay\n",
}


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=logging.ERROR) as cluster, distributed.Client(cluster) as c:
        yield c


@pytest.fixture
def files(tmp_path):
    for name, data in FILES.items():
        (tmp_path / name).write_bytes(data)
    return tmp_path


def test_read_dask_matches_read_pandas(client, files):
    frame = read_dask(str(files / "*.csv"))
    assert frame.npartitions == 3
    expected = pd.concat([csv_gleave.read_pandas(files / n) for n in sorted(FILES)], ignore_index=True)
    expected["score"] = expected["score"].astype("float64")
    got = frame.compute().reset_index(drop=True)
    pd.testing.assert_frame_equal(got, expected)


def test_read_dask_refuses_lossy_conversion(client, files):
    (files / "z.csv").write_bytes(b"id,score,name\nx,1,Zed\n")  # id is text here
    frame = read_dask([files / "a.csv", files / "z.csv"])
    with pytest.raises(ValueError, match=r"z\.csv.*'id'"):
        frame.compute()
    meta = pd.DataFrame({"id": pd.Series(dtype="string"), "score": pd.Series(dtype="float64"),
                         "name": pd.Series(dtype="string")})
    assert list(read_dask([files / "a.csv", files / "z.csv"], meta=meta).compute()["id"]) == ["1", "2", "3", "x"]


TYPED_THEN_TEXT = {
    "p1.csv": b"id,price,at\n1,2.5,2024-01-01T10:00:00+02:00\n",
    "p2.csv": b"id,price,at\n2,1.50,2024-01-01T10:00:00+02:00\n3,n/a,n/a\n",  # price and at are text here
}


def test_read_dask_keeps_each_files_text(client, tmp_path):
    paths = []
    for name, data in TYPED_THEN_TEXT.items():
        (tmp_path / name).write_bytes(data)
        paths.append(str(tmp_path / name))
    with pytest.raises(ValueError, match=r"p2\.csv: column 'price'"):
        read_dask(paths).compute()
    widened = read_dask(paths, dtype_policy="widen")
    assert str(widened.dtypes["price"]) == "string" and str(widened.dtypes["id"]) == "int64"
    got = widened.compute().reset_index(drop=True)
    assert list(got["price"]) == ["2.5", "1.50", "n/a"]  # each file's text as written
    assert list(got["at"]) == ["2024-01-01T10:00:00+02:00"] * 2 + ["n/a"]
    meta = got.iloc[:0]
    assert read_dask(paths, meta=meta).compute().reset_index(drop=True).equals(got)


# Whole numbers with a null further on: in the second file, or past the first byte range.
NULL_LATER = [b"id,n\n" + b"".join(b"%d,%d\n" % (i, i) for i in range(40)),
              b"id,n\n" + b"".join(b"%d,%d\n" % (i, i) for i in range(40, 80)) + b",80\n"]


@pytest.mark.parametrize("blocksize, dtype", [(block, dtype) for block in (None, 200)
                                               for dtype in ("int64", "Int64", "float64")] + [(None, None)])
def test_read_dask_partitions_have_the_meta_dtypes(tmp_path, blocksize, dtype):
    for i, data in enumerate(NULL_LATER if blocksize is None else [NULL_LATER[0] + NULL_LATER[1][5:]]):
        (tmp_path / f"{i}.csv").write_bytes(data)
    meta = None if dtype is None else pd.DataFrame({"id": pd.Series(dtype=dtype), "n": pd.Series(dtype="int64")})
    frame = read_dask(str(tmp_path / "*.csv"), meta=meta, blocksize=blocksize)
    assert frame.npartitions > 1
    if dtype in ("int64", None):  # int64, given or read from the first file, holds no null
        with pytest.raises(ValueError, match="column 'id' has nulls, which int64 cannot hold; give meta= with Int64"):
            frame.compute(scheduler="sync")
        return
    parts = dask.compute(*frame.to_delayed(), scheduler="sync")
    assert {str(part["id"].dtype) for part in parts} == {dtype} and {str(part["n"].dtype) for part in parts} == {"int64"}
    assert pd.concat(parts)["id"].isna().sum() == 1 and list(pd.concat(parts)["n"]) == list(range(81))


def test_read_dask_quarantines_each_file(client, files, tmp_path):
    read_dask([files / "a.csv", files / "b.csv"], quarantine_path=tmp_path / "q", merge_overflow=False).compute()
    csv_gleave.gleave_file(files / "a.csv", tmp_path / "ref.csv", tmp_path / "ref.q", merge_overflow=False)
    assert (tmp_path / "q/a.csv").read_bytes() == (tmp_path / "ref.q").read_bytes()
    assert (tmp_path / "q/b.csv").read_text() == "line,reason,raw_content\n"


@pytest.mark.parametrize("blocksize", [None, 64])  # 64: the file is repaired in byte ranges
def test_repair_many_refuses_binary_unless_forced(client, tmp_path, blocksize):
    (tmp_path / "tool").write_bytes(b"\x7fELF\x02\x01\x01" + b"\x00" * 200)
    table = repair_many([str(tmp_path / "tool")], tmp_path / "out", client=client, blocksize=blocksize)
    assert "does not look like text" in table["error"][0] and "force=True" in table["error"][0]
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == []
    forced = repair_many([str(tmp_path / "tool")], tmp_path / "out", client=client, force=True, blocksize=blocksize)
    assert forced["error"][0] is None and (tmp_path / "out/tool").exists()


EXAMPLE_SCRIPT = """
import sys
import csv_gleave.dask
from distributed import Client, LocalCluster

if __name__ == "__main__":  # worker processes import this file again: start nothing on import
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, Client(cluster):
        frame = csv_gleave.dask.read_dask(sys.argv[1] + "/*.csv")
        print(len(frame.compute()))
        report = csv_gleave.dask.repair_many(sys.argv[1] + "/*.csv", sys.argv[1] + "/clean")
        print(report["error"].isna().all())
"""


ROOT = Path(__file__).resolve().parents[2]
# The examples the README points to for Dask, each saved as a script of its own and run as one.
PAGE_SCRIPTS = re.findall(r"^```python\n(.*?)^```", (ROOT / "docs/dask.md").read_text(encoding="utf-8"), re.S | re.M)


@pytest.mark.parametrize("script", [EXAMPLE_SCRIPT] + PAGE_SCRIPTS)
def test_the_readme_example_runs_as_a_saved_script(tmp_path, script):
    (tmp_path / "a.csv").write_bytes(b"id,name\n1,Ann\n2,Bob,extra\n")
    (tmp_path / "b.csv").write_bytes(b"id,name\n3,Cy\n")
    shutil.copytree(ROOT / "examples", tmp_path / "examples")
    (tmp_path / "example.py").write_text(script)
    proc = subprocess.run([sys.executable, "example.py", str(tmp_path)], capture_output=True, text=True,
                          timeout=240, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert script is not EXAMPLE_SCRIPT or proc.stdout.split() == ["3", "True"]


def test_repair_many_matches_gleave_file(client, files, tmp_path):
    (files / "bin.csv").write_bytes(b"\x00" * 100)
    paths = [str(files / n) for n in ("a.csv", "bin.csv", "b.csv", "missing.csv", "c.csv")]
    table = repair_many(paths, tmp_path / "out", tmp_path / "q", client=client, allow_binary=False)
    assert list(table["input"]) == paths
    ok = table[table["error"].isna()]
    assert list(ok["input"]) == [paths[0], paths[2], paths[4]]
    for row in ok.itertuples():
        ref = csv_gleave.gleave_file(row.input, tmp_path / "ref.out", tmp_path / "ref.q").to_dict()
        assert (tmp_path / "ref.out").read_bytes() == open(row.output, "rb").read()
        assert (tmp_path / "ref.q").read_bytes() == open(row.quarantine, "rb").read()
        assert {k: getattr(row, k) for k in ("total_rows", "quarantined_rows", "inferred_columns")} == \
            {k: ref[k] for k in ("total_rows", "quarantined_rows", "inferred_columns")}
    failed = table.set_index("input").loc[[paths[1], paths[3]], "error"]
    assert "does not look like text" in failed.iloc[0] and "No such file" in failed.iloc[1]
    assert table["total_rows"].dtype == "Int64" and table["elapsed"].notna().all()
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["a.csv", "b.csv", "c.csv"]


def test_repair_many_refuses_clashing_names(tmp_path):
    with pytest.raises(ValueError, match="both be written"):
        repair_many([str(tmp_path / "x/a.csv"), str(tmp_path / "y/a.csv")], tmp_path / "out")


def test_cli_scheduler(client, files, tmp_path, capsys):
    args = ["repair", str(files / "a.csv"), str(files / "b.csv"), str(files / "nope.csv"),
            "--out-dir", str(tmp_path / "out"), "--json"]
    assert cli.main(args + ["--scheduler", client.scheduler.address]) == 1
    on_cluster = json.loads(capsys.readouterr().out)
    cli.main(args[:-1] + ["-j", "1", "--json", "--out-dir", str(tmp_path / "local")])
    local = json.loads(capsys.readouterr().out)
    for row in local:
        row["output"] = row["output"].replace("/local/", "/out/")
    assert on_cluster == local and on_cluster[2]["error"]
    assert (tmp_path / "out/a.csv").read_bytes() == (tmp_path / "local/a.csv").read_bytes()


def test_import_does_not_load_dask():
    code = "import sys, csv_gleave; sys.exit(any(m in sys.modules for m in ('dask', 'distributed', 'fsspec')))"
    assert subprocess.run([sys.executable, "-c", code], timeout=60).returncode == 0
