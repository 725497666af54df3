"""URLs through fsspec: the same bytes and rows as local files, outputs whole or
absent whatever fails, and failures raised rather than hung on."""

import functools
import http.server
import os
import sys
import threading
import uuid

import pytest

fsspec = pytest.importorskip("fsspec")
from fsspec.implementations.memory import MemoryFile, MemoryFileSystem  # noqa: E402

import csv_gleave  # noqa: E402
from csv_gleave import cli, remote  # noqa: E402

# Ragged rows, a quoted line break, a stray quote; repeated past the pipe's
# and the chunk's sizes so that every transfer takes many reads.
UNIT = b'id,name,note\n1,Ann,"two\nlines"\n2,Bob\n3,Cy,x,extra\n4,"Di"a,z\n'
BIG = UNIT * (3 * remote.CHUNK // len(UNIT))


class Dropped(Exception):
    """A client library's own error, not an OSError."""


class FlakyFileSystem(MemoryFileSystem):
    """An in-process file system whose reads or writes fail or stall on request."""

    protocol = "flaky"
    store: dict = {}
    pseudo_dirs = [""]
    fail_read_after = None
    fail_write_after = None
    fail_write_on = ""  # only paths containing this fail
    stall = threading.Event()  # set: reads block until released
    released = threading.Event()

    @classmethod
    def _strip_protocol(cls, path):
        return super()._strip_protocol(path.removeprefix("flaky://"))

    def _open(self, path, mode="rb", **kwargs):
        handle = super()._open(path, mode, **kwargs)
        return _FlakyFile(handle, self, path)


class _FlakyFile:
    def __init__(self, handle, fs, path):
        self.handle, self.fs, self.path, self.moved = handle, fs, path, 0

    def read(self, n=-1):
        if self.fs.stall.is_set():
            self.fs.released.wait(10)
        if self.fs.fail_read_after is not None and self.moved >= self.fs.fail_read_after:
            raise Dropped("connection dropped")
        data = self.handle.read(n)
        self.moved += len(data)
        return data

    def write(self, data):
        if (self.fs.fail_write_after is not None and self.fs.fail_write_on in self.path
                and self.moved + len(data) > self.fs.fail_write_after):
            raise OSError(28, "No space left on device")
        self.moved += len(data)
        return self.handle.write(data)

    def close(self):
        if isinstance(self.handle, MemoryFile):
            self.handle.close()


fsspec.register_implementation("flaky", FlakyFileSystem, clobber=True)


@pytest.fixture
def mem():
    """A fresh directory in fsspec's in-process file system: (fs, url prefix)."""
    fs = fsspec.filesystem("memory")
    root = f"/t{uuid.uuid4().hex}"
    yield fs, f"memory:/{root}"
    fs.rm(root, recursive=True) if fs.exists(root) else None


@pytest.fixture
def flaky():
    FlakyFileSystem.store.clear()
    FlakyFileSystem.fail_read_after = FlakyFileSystem.fail_write_after = None
    FlakyFileSystem.fail_write_on = ""
    FlakyFileSystem.stall.clear()
    FlakyFileSystem.released.clear()
    yield fsspec.filesystem("flaky")
    FlakyFileSystem.released.set()


def local_result(tmp_path, data, **options):
    (tmp_path / "ref.csv").write_bytes(data)
    summary = csv_gleave.gleave_file(tmp_path / "ref.csv", tmp_path / "ref.out", tmp_path / "ref.q", **options)
    return summary.to_dict(), (tmp_path / "ref.out").read_bytes(), (tmp_path / "ref.q").read_bytes()


def names(fs, directory):
    return sorted(os.path.basename(p) for p in fs.ls(directory, detail=False)) if fs.exists(directory) else []


@pytest.mark.parametrize("data", [UNIT, BIG], ids=["small", "multi-chunk"])
@pytest.mark.parametrize("where", ["url-to-url", "url-to-local", "local-to-url"])
def test_gleave_file_matches_local(tmp_path, mem, data, where):
    fs, root = mem
    summary, out, quarantine = local_result(tmp_path, data)
    fs.pipe(f"{root}/in.csv", data)
    src = f"{root}/in.csv" if where != "local-to-url" else str(tmp_path / "ref.csv")
    dst = f"{root}/out" if where != "url-to-local" else str(tmp_path)
    got = csv_gleave.gleave_file(src, f"{dst}/r.csv", f"{dst}/q.csv")
    assert got.to_dict() == summary
    read = (lambda p: fs.cat(p)) if dst.startswith("memory") else (lambda p: open(p, "rb").read())
    assert (read(f"{dst}/r.csv"), read(f"{dst}/q.csv")) == (out, quarantine)
    if dst.startswith("memory"):
        assert names(fs, dst) == ["q.csv", "r.csv"]  # no temporary left beside them


def test_readers_match_local(tmp_path, mem):
    fs, root = mem
    local_result(tmp_path, BIG)
    fs.pipe(f"{root}/in.csv", BIG)
    url, path = f"{root}/in.csv", str(tmp_path / "ref.csv")
    assert list(csv_gleave.open(url)) == list(csv_gleave.open(path))
    assert csv_gleave.read_arrow(url).equals(csv_gleave.read_arrow(path))
    assert csv_gleave.read_pandas(url).equals(csv_gleave.read_pandas(path))
    assert csv_gleave.detect(url) == csv_gleave.detect(path)
    assert csv_gleave.inspect(url, rows=3)["rows"] == csv_gleave.inspect(path, rows=3)["rows"]
    csv_gleave.write_table_file(url, f"{root}/t.parquet")
    pq = pytest.importorskip("pyarrow.parquet")
    with fs.open(f"{root}/t.parquet") as handle:
        assert pq.read_table(handle).equals(csv_gleave.read_arrow(path))


def test_in_place_and_same_target(mem):
    fs, root = mem
    fs.pipe(f"{root}/a.csv", UNIT)
    with pytest.raises(ValueError, match="same file as the input"):
        csv_gleave.gleave_file(f"{root}/a.csv", f"{root}/a.csv")
    assert fs.cat(f"{root}/a.csv") == UNIT
    csv_gleave.gleave_file(f"{root}/a.csv", f"{root}/a.csv", in_place=True)
    assert fs.cat(f"{root}/a.csv").startswith(b"id,name,note\n") and fs.cat(f"{root}/a.csv") != UNIT
    assert names(fs, root) == ["a.csv"]


@pytest.mark.parametrize("target", ["url", "local", "stream"])
def test_input_failing_midway_commits_nothing(tmp_path, flaky, target, monkeypatch):
    flaky.pipe("/in.csv", BIG * (12 if target == "stream" else 1))
    FlakyFileSystem.fail_read_after = remote.CHUNK * (30 if target == "stream" else 1)
    if target == "stream":
        # Read as it is consumed, past its first windows: the drop ends the
        # reading that waits on it and every later one, never read as the input's end.
        pa = pytest.importorskip("pyarrow")
        stream = csv_gleave.arrow_stream("flaky://in.csv", types="head")
        for _ in range(2):
            with pytest.raises((OSError, pa.ArrowException), match="connection dropped"):
                pa.table(stream)
        return
    out = "flaky://out/r.csv" if target == "url" else str(tmp_path / "r.csv")
    with pytest.raises(OSError) as info:
        csv_gleave.gleave_file("flaky://in.csv", out)
    assert isinstance(info.value.__cause__, Dropped) and info.value.role == "input"
    assert info.value.filename == "flaky://in.csv"
    assert names(flaky, "/out") == [] and os.listdir(tmp_path) == []


@pytest.mark.parametrize("role", ["output", "quarantine"])
def test_output_failing_midway_commits_nothing(flaky, role):
    flaky.pipe("/in.csv", b"a,b\n" + b"1,2\n3,4,5\n" * 300_000)
    FlakyFileSystem.fail_write_after = remote.CHUNK // 2
    FlakyFileSystem.fail_write_on = "/r.csv" if role == "output" else "/q.csv"
    with pytest.raises(OSError) as info:
        csv_gleave.gleave_file("flaky://in.csv", "flaky://out/r.csv", "flaky://out/q.csv",
                               expected_columns=2, merge_overflow=False)
    assert info.value.errno == 28 and info.value.role == role
    assert names(flaky, "/out") == []


def test_stalled_input_is_cancelled_not_hung(flaky, monkeypatch):
    monkeypatch.setattr(remote, "_JOIN_SECONDS", 0.2)
    flaky.pipe("/in.csv", UNIT)
    FlakyFileSystem.stall.set()
    cancel = threading.Event()
    threading.Timer(0.2, cancel.set).start()
    with pytest.raises(csv_gleave.Cancelled):
        csv_gleave.gleave_file("flaky://in.csv", "flaky://out/r.csv", cancel=cancel)
    FlakyFileSystem.released.set()
    assert names(flaky, "/out") == []
    assert not [t for t in threading.enumerate() if t.name == "csv-gleave-writer"]


@pytest.mark.parametrize("call,exc,role", [
    (lambda r: csv_gleave.gleave_file(f"{r}/missing.csv", f"{r}/out.csv"), FileNotFoundError, "input"),
    (lambda r: csv_gleave.read_arrow(f"{r}/missing.csv"), FileNotFoundError, "input"),
    (lambda r: csv_gleave.gleave_file(f"{r}/in.csv", "nosuchprotocol://x/out.csv"), ValueError, None),
])
def test_open_failures(mem, call, exc, role):
    fs, root = mem
    fs.pipe(f"{root}/in.csv", UNIT)
    with pytest.raises(exc) as info:
        call(root)
    assert getattr(info.value, "role", None) == role
    assert names(fs, root) == ["in.csv"]


def test_not_text_names_the_url(mem):
    fs, root = mem
    fs.pipe(f"{root}/bin.csv", b"\x00" * 4096)
    with pytest.raises(csv_gleave.NotTextError) as info:
        csv_gleave.gleave_file(f"{root}/bin.csv", f"{root}/out.csv", allow_binary=False)
    assert info.value.filename == f"{root}/bin.csv"
    assert names(fs, root) == ["bin.csv"]


@pytest.fixture
def http_dir(tmp_path):
    handler = functools.partial(_QuietHandler, directory=str(tmp_path))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    yield tmp_path, f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    server.server_close()
    thread.join(5)


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def test_http_input(http_dir, tmp_path):
    pytest.importorskip("aiohttp")
    served, base = http_dir
    (served / "in.csv").write_bytes(BIG)
    summary, out, quarantine = local_result(tmp_path, BIG)
    got = csv_gleave.gleave_file(f"{base}/in.csv", str(tmp_path / "r.csv"), str(tmp_path / "q.csv"))
    assert got.to_dict() == summary
    assert (tmp_path / "r.csv").read_bytes() == out and (tmp_path / "q.csv").read_bytes() == quarantine
    # http cannot be written: the failure names the output and leaves nothing.
    with pytest.raises(OSError) as info:
        csv_gleave.gleave_file(f"{base}/in.csv", f"{base}/out.csv")
    assert info.value.role == "output" and not (served / "out.csv").exists()


def test_cli_urls(mem, capsys):
    fs, root = mem
    for name in ("a.csv", "b.csv"):
        fs.pipe(f"{root}/in/{name}", UNIT)
    assert cli.main(["repair", f"{root}/in/a.csv", "-o", f"{root}/one.csv", "--json"]) == 0
    assert cli.main(["repair", f"{root}/in/a.csv", f"{root}/in/b.csv", "--out-dir", f"{root}/out",
                     "--quarantine-dir", f"{root}/q", "-j", "2"]) == 0
    assert fs.cat(f"{root}/out/a.csv") == fs.cat(f"{root}/out/b.csv") == fs.cat(f"{root}/one.csv")
    assert names(fs, f"{root}/q") == ["a.csv", "b.csv"]
    assert cli.main(["sniff", f"{root}/in/a.csv"]) == 0
    assert cli.main(["repair", f"{root}/in/none.csv", "-o", f"{root}/x.csv"]) == 1
    assert "input" in capsys.readouterr().err


@pytest.mark.parametrize("path,expected", [
    ("s3://b/k.csv", True), ("gs://b/k", True), ("simplecache::s3://b/k", True), ("memory://x", True),
    ("data.csv", False), ("C://x", False), ("dir/a://b", False), (b"s3://b/k", False), (3, False), (None, False),
])
def test_is_url(path, expected):
    assert remote.is_url(path) is expected


def test_file_url_takes_native_path(tmp_path):
    (tmp_path / "in.csv").write_bytes(UNIT)
    csv_gleave.gleave_file(f"file://{tmp_path}/in.csv", f"file://{tmp_path}/out.csv")
    assert (tmp_path / "out.csv").read_bytes() == local_result(tmp_path, UNIT)[1]


def test_missing_fsspec_is_named(monkeypatch):
    monkeypatch.setitem(sys.modules, "fsspec", None)
    with pytest.raises(ImportError, match=r"csv-gleave\[remote\]"):
        csv_gleave.gleave_file("s3://bucket/in.csv", "out.csv")
