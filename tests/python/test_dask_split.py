"""One file in byte ranges (repair_large, read_dask(blocksize=...), the CLI's
--scheduler with -o): the very bytes, quarantine and summary of the one-machine
repair, on a two-process LocalCluster and, as a property, in this process."""

import functools
import http.server
import json
import logging
import os
import random
import subprocess
import sys
import threading
import warnings

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import csv_gleave
from csv_gleave import cli
from csv_gleave import dask as split

pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")
pytest.importorskip("pyarrow")


def messy(rows, seed, *, newline="\n", multiline=0.08, runaway=False, text="name", blocks=False):
    """A file of ``rows`` rows, of the kinds damaged exports hold, ``multiline`` of them with quoted line breaks."""
    r = random.Random(seed)
    lines = ["id,name,note,amount"]
    for i in range(rows):
        k = r.random()
        if k < multiline:
            body = newline.join(f"part {j} of {i}, quoted" for j in range(r.randint(1, 40)))
            lines.append(f'{i},"{body}","{text} {i}",{i}.5')
        elif k < multiline + 0.04:
            lines.append(f"{i},short")
        elif k < multiline + 0.08:
            lines.append(f"{i},a,b,c,d")
        elif k < multiline + 0.10:
            lines.append("")
        elif k < multiline + 0.11:
            lines.append(f'{i},"stray "quote" inside",x,1')
        elif blocks and k < multiline + 0.13:
            lines += ["", "Report B,,,", "id,name,note,amount"]  # stacked blocks: rows held over an edge
        else:
            lines.append(f"{i},{text}{i},{'x' * r.randint(0, 40)},{i}")
    if runaway:
        lines.insert(len(lines) // 3, '999999,"never closed,x,1')
    return (newline.join(lines) + newline).encode()


CJK = "漢字かな交じり文é"
CASES = {
    "quoted line breaks": messy(9000, 1, multiline=0.15),
    "runaway quote": messy(9000, 2, runaway=True),
    "CR LF": messy(9000, 3, newline="\r\n"),
    "multi-byte characters": messy(9000, 4, text=CJK),
    "stacked blocks": messy(9000, 5, blocks=True),
    "BOM and footnote": b"\xef\xbb\xbf" + messy(9000, 6) + b"Source: the export\n",
    "cp1252 bytes further on": messy(9000, 7) + b"1,caf\xe9,x,1\n" + messy(2000, 8)[20:],
    "UTF-16": messy(3000, 9).decode().encode("utf-16"),
}


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=logging.ERROR) as cluster, distributed.Client(cluster) as c:
        yield c


class _Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    """A folder served over HTTP, as a web server or an object store serves exports: (folder, base URL)."""
    pytest.importorskip("aiohttp")
    folder = tmp_path_factory.mktemp("served")
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(_Quiet, directory=str(folder)))
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    yield folder, f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    server.server_close()


def source(path, served, url):
    """``path`` as the test reads it: itself, or (``url``) the URL of a copy served over HTTP."""
    if not url:
        return str(path)
    folder, base = served
    name = f"{path.parent.name}-{path.name}"
    (folder / name).write_bytes(path.read_bytes())
    return f"{base}/{name}"


# Rows of the wrong width quarantined rather than repaired: quarantine lines from every part.
STRICT = {"fill_ragged_rows": False, "merge_overflow": False}


def one_machine(path, tmp_path, **options):
    summary = csv_gleave.gleave_file(path, tmp_path / "one.csv", tmp_path / "one.q", **options)
    return summary.to_dict(), (tmp_path / "one.csv").read_bytes(), (tmp_path / "one.q").read_bytes()


def many(path, tmp_path, **options):
    """repair_many of one file (a path or URL), its output and quarantine moved to out.csv and out.q: its summary."""
    table = split.repair_many([path], tmp_path / "o", tmp_path / "q", **options)
    assert table["error"][0] is None, table["error"][0]
    for folder, name in (("o", "out.csv"), ("q", "out.q")):
        (tmp_path / folder / path.rsplit("/", 1)[-1]).rename(tmp_path / name)
        (tmp_path / folder).rmdir()
    return {key: table[key][0] for key in csv_gleave.gleave_file(path, os.devnull).to_dict()}


@pytest.mark.parametrize("name, options, repair", [(name, {}, "large") for name in CASES] + [
    ("CR LF", STRICT, "large"), ("runaway quote", {}, "many"), ("stacked blocks", STRICT, "many"),
    ("UTF-16", {}, "many"), ("quoted line breaks", {}, "large url"), ("multi-byte characters", STRICT, "many url"),
    ("UTF-16", {}, "large url")])
def test_repair_large_equals_one_machine(client, served, tmp_path, name, options, repair):
    path = tmp_path / "in.csv"
    path.write_bytes(CASES[name])
    given = source(path, served, "url" in repair)
    if repair.startswith("large"):
        summary = split.repair_large(given, tmp_path / "out.csv", tmp_path / "out.q", client=client,
                                     blocksize="32KiB", **options).to_dict()
    else:
        summary = many(given, tmp_path, client=client, blocksize="32KiB", **options)
    assert (summary, (tmp_path / "out.csv").read_bytes(), (tmp_path / "out.q").read_bytes()) == \
        one_machine(path, tmp_path, **options)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv", "one.csv", "one.q", "out.csv", "out.q"]


READS = {
    "typed": (messy(3000, 11, multiline=0.15, text=CJK), {}),
    "text": (messy(3000, 11, multiline=0.15, text=CJK), {"infer_types": False}),
    "strict rows, CR LF": (messy(3000, 13, newline="\r\n"), STRICT),
    "widened": (messy(3000, 14, runaway=True), {"dtype_policy": "widen"}),
    "UTF-16, one partition": (messy(1000, 12).decode().encode("utf-16"), {}),
    "typed, over HTTP": (messy(3000, 11, multiline=0.15, text=CJK), {}),
    "UTF-16, one partition, over HTTP": (messy(1000, 12).decode().encode("utf-16"), {}),
}


@pytest.mark.parametrize("name", READS)
def test_read_dask_blocksize_equals_read_pandas(client, served, tmp_path, name):
    data, options = READS[name]
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    given = source(path, served, "HTTP" in name)
    frame = split.read_dask(given, blocksize=30_000, quarantine_path=tmp_path / "parts.q", **options)
    assert frame.npartitions == (1 if "UTF-16" in name else -(-len(data) // 30_000))
    got = frame.compute().reset_index(drop=True)
    options.pop("dtype_policy", None)
    whole = csv_gleave.read_pandas(path, quarantine_path=tmp_path / "whole.q", **options)
    if "widen" in name:
        whole = whole.astype({name: got[name].dtype for name in got.columns if got[name].dtype == "string"})
    pd.testing.assert_frame_equal(got, whole)
    repair = {key: value for key, value in options.items() if key in split._PART_OPTIONS}
    quarantine = one_machine(path, tmp_path, **repair)[2]
    assert (tmp_path / "parts.q").read_bytes() == quarantine
    # meta= names the columns and keeps a typed column as its texts; rows set aside and not kept are warned of.
    meta = whole.iloc[:0].astype({"amount": "string"})
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        texts = split.read_dask(given, blocksize=30_000, meta=meta, **options).compute(scheduler="sync")
    assert any(w.category is csv_gleave.RowsSetAsideWarning for w in caught) == (quarantine.count(b"\n") > 1)
    assert list(texts["amount"]) == list(csv_gleave.read_pandas(path, dtype={"amount": str}, **options)["amount"])


def test_cli_scheduler_repairs_one_file_in_ranges(client, tmp_path, capsys):
    path = tmp_path / "in.csv"
    path.write_bytes(CASES["quoted line breaks"])
    on_cluster = ["repair", str(path), "-o", str(tmp_path / "out.csv"), "-q", str(tmp_path / "out.q"), "--json",
                  "--scheduler", client.scheduler.address, "--blocksize", "32KB"]
    assert cli.main(on_cluster) == 0
    summary = capsys.readouterr().out
    assert cli.main(["repair", str(path), "-o", str(tmp_path / "one.csv"), "-q", str(tmp_path / "one.q"), "--json"]) == 0
    assert summary == capsys.readouterr().out
    for suffix in ("csv", "q"):
        assert (tmp_path / f"out.{suffix}").read_bytes() == (tmp_path / f"one.{suffix}").read_bytes()
    with pytest.raises(SystemExit):
        cli.main(["repair", str(path), "-o", "-", "--scheduler", client.scheduler.address])


@pytest.mark.parametrize("call, error", [
    (lambda p: split.repair_large(p, p, client=False), "output path is the same file as the input path"),
    (lambda p: split.repair_large(p, p.with_suffix(".o"), p, client=False), "quarantine path is the same file"),
    (lambda p: split.read_dask([p, p], blocksize=10), "for one file"),
    (lambda p: split.read_dask(p, blocksize=10, quarantine_path=p.parent), "local file as quarantine_path"),
    (lambda p: split.read_dask(p, blocksize=10, n_rows=1), "no n_rows= with blocksize"),
    (lambda p: split.repair_large(p, p.with_suffix(".o"), blocksize=0, client=False), "at least 1 byte"),
    (lambda p: split.repair_large(p, "memory://out.csv", client=False), "writes to local paths"),
])
def test_refusals(tmp_path, call, error):
    path = tmp_path / "in.csv"
    path.write_bytes(b"a,b\n1,2\n")
    with pytest.raises((OSError, TypeError, ValueError), match=error):
        call(path)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv"]


# The property: any messy text, cut anywhere, gives the one-machine bytes.
PIECES = ["id,name,note\n", "1,a,b\n", "2,\"x\ny\",z\n", "3,\"q \"q\" q\",w\n", "4,only\n", "5,a,b,c,d\n", "\n",
          "\r\n", "6,\"open,never\n", "7,é漢,ü\r\n", "id,name,note\n", "Report B,,\n", ",,\n", "# note\n",
          "\"a\"\"b\",c,d\n", "8,\"\n\n\",e\n", "Source: x\n", "9;1;2\n", "\xa0,\t,\n"]


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(st.sampled_from(PIECES), min_size=1, max_size=80), st.integers(1, 16), st.booleans(), st.booleans())
def test_split_equals_one_machine(tmp_path, pieces, parts, quarantine, strict):
    path = tmp_path / "in.csv"
    data = "".join(pieces).encode()
    path.write_bytes(data)
    block = -(-len(data) // parts)
    q1, q2 = (tmp_path / "one.q", tmp_path / "two.q") if quarantine else (None, None)
    options = STRICT if strict else {}
    one = csv_gleave.gleave_file(path, tmp_path / "one.csv", q1, **options)
    two, _ = split.split_repair(str(path), str(tmp_path / "two.csv"), q2 and str(q2), blocksize=block,
                                runner=split._Runner(), options=options)
    assert two.to_dict() == one.to_dict()
    assert (tmp_path / "two.csv").read_bytes() == (tmp_path / "one.csv").read_bytes()
    if quarantine:
        assert q2.read_bytes() == q1.read_bytes()
    # The same cuts read as partitions: the rows of the file read whole, and its quarantine.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", csv_gleave.RowsSetAsideWarning)
        parts = split.read_dask(str(path), blocksize=block, infer_types=False, quarantine_path=q2, **options)
        got = parts.compute(scheduler="sync").reset_index(drop=True)
        pd.testing.assert_frame_equal(got, csv_gleave.read_pandas(path, infer_types=False, **options))
    if quarantine:
        assert q2.read_bytes() == q1.read_bytes()


# A URL read in ranges, with windows of a few bytes: its head is then 256 KiB, so each range is
# fetched as a piece of the file, and a piece whose last row runs past it is fetched further.
_PIECES = r"""
import functools, http.server, json, sys, threading, warnings
import fsspec, csv_gleave
from csv_gleave import dask as split
warnings.simplefilter("ignore")
for name in sys.argv[1:]:
    fsspec.filesystem("memory").pipe(f"/pieces/{name}", open(name, "rb").read())
    url = f"memory://pieces/{name}"
    one = csv_gleave.gleave_file(name, "one.csv", "one.q").to_dict()
    expected = [one, open("one.csv", "rb").read(), open("one.q", "rb").read()]
    row = {"name": name, "refetches": 0}
    for block in (70_000, 300_000):
        two, stats = split.split_repair(url, "two.csv", "two.q", blocksize=block, runner=split._Runner(threads=2),
                                        options={})
        row["refetches"] += stats["refetches"]
        row[f"repair {block}"] = [two.to_dict(), open("two.csv", "rb").read(), open("two.q", "rb").read()] == expected
        frame = split.read_dask(url, blocksize=block, infer_types=False, quarantine_path="parts.q")
        row[f"read {block}"] = (frame.compute(scheduler="threads").reset_index(drop=True).equals(
            csv_gleave.read_pandas(name, infer_types=False)) and open("parts.q", "rb").read() == expected[2])
    print(json.dumps(row))
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=".")
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
threading.Thread(target=server.serve_forever, daemon=True).start()
try:  # a server that ignores range requests sends the whole file for each
    split.split_repair(f"http://127.0.0.1:{server.server_address[1]}/{sys.argv[1]}", "h.csv", None,
                       blocksize=100_000, runner=split._Runner(), options={})
except OSError as exc:
    print(json.dumps({"http": str(exc)}))
"""
_TABLE_A = b"Report A\nid,name\n" + b"1,a\n" * 30 + b"\n\n"
_TABLE_B = b"Report B\nx,y,z\n" + b"1,2,3\n" * 30 + b"\n\n"
_PLAIN = "".join(f"{i},name {i},note,{i}\n" for i in range(60_000)).encode()


def test_url_ranges_fetched_as_pieces(tmp_path):
    long_field = ('7,"' + "\n".join(f"line {j}, of a field longer than a piece" for j in range(60_000)) + '",x,1\n')
    files = {
        "long-field.csv": b"id,name,note,amount\n" + _PLAIN[:400_000] + long_field.encode() + _PLAIN,
        "never-closes.csv": b"id,name,note,amount\n" + _PLAIN + b'9,"never closed,x,1\n' + _PLAIN,
        "crlf.csv": CASES["CR LF"] * 3,
        "multi-byte.csv": CASES["multi-byte characters"] * 3,
        "stacked.csv": CASES["stacked blocks"] * 3,
        # Tables one under another, the largest told only by the whole text: repaired whole.
        "tables.csv": (_TABLE_A + _TABLE_B) * 1500 + _TABLE_A * 6000 + _TABLE_B * 5000,
    }
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
    env = dict(os.environ, GLEAVE_CHUNK_BYTES="256")
    done = subprocess.run([sys.executable, "-c", _PIECES, *files], cwd=tmp_path, env=env, capture_output=True,
                          text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    *rows, http = [json.loads(line) for line in done.stdout.splitlines()]
    for row in rows:
        assert all(row.pop(key) for key in list(row) if key[:4] in ("repa", "read")), row
        assert (row["refetches"] > 0) == (row["name"] in ("long-field.csv", "never-closes.csv")), row
    assert "may not serve byte ranges" in http["http"]
