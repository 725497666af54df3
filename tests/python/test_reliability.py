"""What must hold however a caller spells things or stops them: guards over
every spelling of a path, descriptors left where they stood, the dialect in
force checked before anything is written, waits that give way to Ctrl-C,
and the faults found by attacks on earlier versions."""

import csv
import http.server
import io
import os
import signal
import subprocess
import sys
import threading
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _csv_gleave_backend as core
import csv_gleave
from csv_gleave import cli, remote

DATA = b"id,name\n1,Ann\n2,Bob,extra\n3\n"
SAME_INPUT = "quarantine path is the same file as the input path"
SAME_OUTPUT = "quarantine path is the same file as the output path"
OUTPUT_IS_INPUT = "output path is the same file as the input path"


@pytest.fixture
def files(tmp_path):
    (tmp_path / "in.csv").write_bytes(DATA)
    (tmp_path / "out.csv").write_bytes(b"old\n")
    (tmp_path / "link").symlink_to("in.csv")
    (tmp_path / "link2").symlink_to("link")
    return tmp_path


# ---------------------------------------------------------------------------
# Guards


@st.composite
def spelled(draw, path):
    """Any spelling of `path`: detours through its directories, links (to in.csv), and a URL form."""
    parts = str(path).strip("/").split("/")
    segments = []
    for i, part in enumerate(parts[:-1]):
        segments.append(part)
        segments += draw(st.lists(st.sampled_from([".", "", f"../{part}"]), max_size=2)) if i else []
    name = draw(st.sampled_from([parts[-1], "link", "link2"] if parts[-1] == "in.csv" else [parts[-1]]))
    form = draw(st.sampled_from(["{}", "file://{}", "file://localhost{}", "local://{}", "simplecache::file://{}",
                                 "simplecache::{}", "FILE://{}"]))
    return form.format("/" + "/".join(segments + [name]))


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data(), pair=st.sampled_from(["in/q", "out/q", "in/out"]))
def test_same_file_refused_in_every_spelling(files, data, pair):
    inp, out = files / "in.csv", files / "out.csv"
    target = inp if pair != "out/q" else out
    x, y = data.draw(spelled(target)), data.draw(spelled(target))
    assert remote.same_target(x, y) and not remote.same_target(x, str(files / "other.csv"))
    args, message = {"in/q": ((x, str(out), y), SAME_INPUT), "out/q": ((str(inp), x, y), SAME_OUTPUT),
                     "in/out": ((x, y, None), OUTPUT_IS_INPUT)}[pair]
    with pytest.raises(ValueError, match=message):
        csv_gleave.gleave_file(*args)
    with pytest.raises(SystemExit) as info:  # the command line, before any work
        cli.main(["repair", args[0], "-o", args[1]] + (["-q", args[2]] if args[2] else []))
    assert info.value.code == 2
    assert inp.read_bytes() == DATA and out.read_bytes() == b"old\n"


@pytest.mark.parametrize("a,b,same", [
    ("memory://guard/in.csv", "simplecache::memory:///guard/in.csv", True),
    ("memory://guard/in.csv", "memory://guard/y.csv", False),
    ("memory://guard/in.csv", "/guard/in.csv", False),
])
def test_remote_targets(a, b, same):
    fsspec = pytest.importorskip("fsspec")
    fs = fsspec.filesystem("memory")
    fs.pipe("/guard/in.csv", DATA)
    assert remote.same_target(a, b) is same
    if same:
        with pytest.raises(ValueError, match=SAME_INPUT):
            csv_gleave.gleave_file(a, "memory://guard/out.csv", b)
        assert fs.cat("/guard/in.csv") == DATA and not fs.exists("/guard/out.csv")


# ---------------------------------------------------------------------------
# Descriptors


@settings(max_examples=40, deadline=None)
@given(rows=st.integers(1, 60), skip=st.integers(0, 60),
       calls=st.lists(st.sampled_from(["detect", "gleave", "open", "inspect"]), min_size=1, max_size=3))
def test_descriptor_offset_kept(tmp_path_factory, rows, skip, calls):
    path = tmp_path_factory.mktemp("fd") / "in.csv"
    lines = [b"a,b\n"] + [b"%d,x%d\n" % (i, i) for i in range(rows)]
    path.write_bytes(b"".join(lines))
    start = sum(len(line) for line in lines[:skip])
    left = len(lines) - min(skip, len(lines))
    fd = os.open(path, os.O_RDONLY)
    try:
        os.lseek(fd, start, os.SEEK_SET)
        for call in calls:  # detect then gleave_file was the reported case
            if call == "detect":
                csv_gleave.detect(fd)
            elif call == "gleave":
                assert csv_gleave.gleave_file(fd, str(path) + ".out").total_rows == left
            elif call == "open":
                assert len(list(csv_gleave.open(fd))) == left
            else:
                csv_gleave.inspect(fd)
            assert os.lseek(fd, 0, os.SEEK_CUR) == start
    finally:
        os.close(fd)


# ---------------------------------------------------------------------------
# The dialect in force, given and detected parts together

QUOTE_DELIM = "delimiter and quote_char must differ"
ESCAPE = "escape_char must differ from delimiter and quote_char"


@pytest.mark.parametrize("data,options,message", [
    (b'7,"x,y",8\n1,2,3\n', {"escape_char": '"'}, ESCAPE),
    (b"a|b|c\n1|2|3\n4|5|6\n", {"quote_char": "|"}, QUOTE_DELIM),
    (b'7,"x,y",8\n1,2,3\n', {"quote_char": ","}, QUOTE_DELIM),
    (b"a;b\n1;2\n", {"escape_char": ";"}, ESCAPE),
])
@pytest.mark.parametrize("call", ["gleave_file", "open", "detect", "inspect", "read_arrow"])
def test_detected_conflicts_refused(tmp_path, data, options, message, call):
    if call == "read_arrow":
        pytest.importorskip("pyarrow")
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    out = tmp_path / "out.csv"
    calls = {
        "gleave_file": lambda: csv_gleave.gleave_file(str(path), str(out), str(tmp_path / "q.csv"), **options),
        "open": lambda: list(csv_gleave.open(str(path), **options)),
        "detect": lambda: csv_gleave.detect(str(path), **options),
        "inspect": lambda: csv_gleave.inspect(str(path), **options),
        "read_arrow": lambda: csv_gleave.read_arrow(str(path), **options),
    }
    with pytest.raises(ValueError, match=message):
        calls[call]()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv"]


@pytest.mark.parametrize("data", [b"|a|,|b|\n|1|,|2|\n|x, y|,|3|\n", b"name,note\nann,|hi, there|\nbob,x\n"])
def test_given_quote_that_pairs_up_is_kept(tmp_path, data):
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    rows = list(csv_gleave.open(str(path), quote_char="|"))
    assert len(rows[0]) == 2 and all(len(r) == 2 for r in rows)


@settings(max_examples=80, deadline=None)
@given(delimiter=st.sampled_from(",;|\t:"), cells=st.lists(st.lists(st.sampled_from(["1", "ab", "x y", "'q'", ""]),
                                                                    min_size=2, max_size=4), min_size=2, max_size=6),
       quote=st.sampled_from([None, ",", ";", "|", "'", '"']), escape=st.sampled_from([None, ",", ";", "|", '"', "\\"]))
def test_option_collisions_never_write_invalid_csv(tmp_path_factory, delimiter, cells, quote, escape):
    tmp = tmp_path_factory.mktemp("dialect")
    path, out = tmp / "in.csv", tmp / "out.csv"
    path.write_text("".join(delimiter.join(row) + "\n" for row in cells))
    options = {k: v for k, v in (("quote_char", quote), ("escape_char", escape)) if v is not None}
    try:
        summary = csv_gleave.gleave_file(str(path), str(out), **options)
    except ValueError as exc:
        assert str(exc) in (QUOTE_DELIM, ESCAPE)
        assert not out.exists()
        return
    used = summary.quote_char or '"'
    assert summary.detected_delimiter != used
    written = list(csv.reader(io.StringIO(out.read_text()), delimiter=summary.detected_delimiter, quotechar=used))
    assert len(written) == summary.gleaved_rows


# ---------------------------------------------------------------------------
# Waits that give way


class _StallingHandler(http.server.BaseHTTPRequestHandler):
    release = threading.Event()

    def do_GET(self):  # noqa: N802 - the standard library's name
        self.send_response(200)
        self.send_header("Content-Length", str(1 << 20))
        self.end_headers()
        self.wfile.write(b"a,b\n1,2\n")
        self.wfile.flush()
        self.release.wait(10)  # then never sends the rest

    def do_HEAD(self):  # noqa: N802
        self.send_response(200)
        self.send_header("Content-Length", str(1 << 20))
        self.end_headers()

    def log_message(self, *args):
        pass


@pytest.fixture
def stalled_url():
    pytest.importorskip("aiohttp")
    pytest.importorskip("fsspec")
    _StallingHandler.release.clear()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _StallingHandler)
    server.daemon_threads = True
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}/in.csv"
    _StallingHandler.release.set()
    server.shutdown()
    server.server_close()


@pytest.mark.parametrize("source,call", [
    ("fifo", lambda src, tmp: csv_gleave.detect(src)),  # a FIFO with no writer
    ("fifo", lambda src, tmp: csv_gleave.gleave_file(src, str(tmp / "out.csv"))),
    ("fifo", lambda src, tmp: csv_gleave.inspect(src)),
    ("fifo", lambda src, tmp: csv_gleave.gleave_file(str(tmp / "in.csv"), src)),  # an output FIFO with no reader
    ("url", lambda src, tmp: csv_gleave.detect(src)),
    ("url", lambda src, tmp: csv_gleave.gleave_file(src, str(tmp / "out.csv"))),
    ("url", lambda src, tmp: list(csv_gleave.open(src))),
])
def test_ctrl_c_stops_a_wait(tmp_path, request, source, call):
    (tmp_path / "in.csv").write_bytes(DATA)
    if source == "fifo":
        src = str(tmp_path / "fifo")
        os.mkfifo(src)
    else:
        src = request.getfixturevalue("stalled_url")
    timer = threading.Timer(0.4, lambda: os.kill(os.getpid(), signal.SIGINT))
    timer.start()
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        call(src, tmp_path)
        time.sleep(5)  # not reached when the call gives way
    timer.join()
    assert time.monotonic() - started < 2.5
    assert not (tmp_path / "out.csv").exists()


# ---------------------------------------------------------------------------
# Earlier faults


@pytest.mark.parametrize("data,line", [
    (b'a,b\r1,2\r"x\ry",3\r4,5,6\r', 5),
    (b'a,b\r"p\r\nq",3\r"r\rs\rt",1\r4,5,6\r', 7),
    (b'a,b\n"x\ny",3\n4,5,6\n', 4),
])
def test_cr_only_line_numbers(tmp_path, data, line):
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    for module in (core, csv_gleave):
        module.gleave_file(str(path), str(tmp_path / "o.csv"), str(tmp_path / "q.csv"), merge_overflow=False)
        record = (tmp_path / "q.csv").read_bytes().splitlines()[1]
        assert record.startswith(b"%d," % line), (module.__name__, record)
    assert csv_gleave.inspect(str(path))["ragged_rows"][0]["line"] == line


@pytest.mark.parametrize("data,options,rows,repaired", [
    (b'"', {"delimiter": '"'}, [["", ""]], 0),
    (b"'", {"delimiter": "'", "quote_char": "'"}, [["", ""]], 0),
    (b"2\n|", {"quote_char": "|"}, None, 1),
])
def test_quote_that_is_the_delimiter_stays_one(tmp_path, data, options, rows, repaired):
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    if rows is not None:
        assert list(core.open(str(path), **options)) == rows
    assert core.gleave_file(str(path), str(tmp_path / "o.csv"), **options).repaired_rows == repaired


def test_equal_summaries(tmp_path):
    (tmp_path / "in.csv").write_bytes(DATA)
    a = csv_gleave.gleave_file(str(tmp_path / "in.csv"), str(tmp_path / "a.csv"))
    b = csv_gleave.gleave_file(str(tmp_path / "in.csv"), str(tmp_path / "b.csv"))
    c = csv_gleave.gleave_file(str(tmp_path / "in.csv"), str(tmp_path / "c.csv"), expected_columns=3)
    assert a == b and hash(a) == hash(b) and len({a, b, c}) == 2
    assert a != c and a != a.to_dict() and (a == 1) is False


@pytest.mark.parametrize("output", ["-", "/dev/stdout"])
def test_closed_stdout_pipe_exits_0(tmp_path, output):
    (tmp_path / "in.csv").write_bytes(b"a,b\n" + b"1,2\n" * 400_000)
    command = (f"{sys.executable} -m csv_gleave repair {tmp_path / 'in.csv'} -o {output} | head -c 10 >/dev/null;"
               " echo ${PIPESTATUS[0]}")
    done = subprocess.run(["bash", "-c", command], capture_output=True, text=True, timeout=60)
    assert done.stdout.strip() == "0", done.stderr


def test_killed_repair_leaves_no_temporary(tmp_path):
    fifo = str(tmp_path / "in.fifo")
    os.mkfifo(fifo)
    child = subprocess.Popen([sys.executable, "-c", "import sys, csv_gleave; csv_gleave.gleave_file(*sys.argv[1:])",
                              fifo, str(tmp_path / "out.csv")])
    with open(fifo, "wb") as feed:
        feed.write(b"a,b\n" + b"1,2\n" * 300_000)  # more than one write buffer: written out, unnamed
        feed.flush()
        time.sleep(0.3)
        child.kill()
        child.wait(10)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.fifo"]


@pytest.mark.parametrize("call,tmpdir,file_limit,ok", [
    ("gleave_file", "/nonexistent/tmp", None, True), ("gleave_file", "/proc", None, False),
    # A stream keeps what it reads of a pipe in a temporary file: one it cannot
    # make, or a write to it that fails (past a file size limit), names the directory.
    ("arrow_stream", "/nonexistent/tmp", None, True), ("arrow_stream", "/proc", None, False),
    ("arrow_stream", "here", 16384, False)])
def test_spill_temporary_directory(tmp_path, call, tmpdir, file_limit, ok):
    tmpdir = str(tmp_path) if tmpdir == "here" else tmpdir
    read = ("csv_gleave.gleave_file(r, 'o.csv', 'q.csv').total_rows" if call == "gleave_file" else
            "(lambda s: (pa.table(s), s.summary.total_rows)[1])(csv_gleave.arrow_stream(r))")
    script = ("import os, resource, signal, sys, threading, csv_gleave, pyarrow as pa\n"
              f"if {file_limit}:\n"
              "    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
              f"    resource.setrlimit(resource.RLIMIT_FSIZE, ({file_limit}, resource.RLIM_INFINITY))\n"
              "data = b'a,b\\n1,\"' + b'x\\n' * 5000 + b'\"\\n2,3\\n4,\"never\\n' + b'5,6\\n' * 3000\n"
              "r, w = os.pipe()\n"
              "threading.Thread(target=lambda: os.fdopen(w, 'wb').write(data), daemon=True).start()\n"
              "try:\n"
              f"    print({read})\n"
              "except OSError as e:\n"
              "    print(e.filename, e.role)\n")
    env = dict(os.environ, TMPDIR=tmpdir, GLEAVE_CHUNK_BYTES="256", GLEAVE_HELD_INPUT_BYTES="0")
    done = subprocess.run([sys.executable, "-W", "ignore", "-c", script], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.stdout.split() == (["3004"] if ok else [tmpdir, "temporary"]), done.stderr


def test_table_file_long_name_symlink_and_own_input(tmp_path):
    pytest.importorskip("pyarrow")
    (tmp_path / "in.csv").write_bytes(DATA)
    long_name = tmp_path / ("t" * 247 + ".parquet")  # 255 bytes: NAME_MAX
    csv_gleave.write_table_file(str(tmp_path / "in.csv"), str(long_name))
    (tmp_path / "link.parquet").symlink_to("real.parquet")
    csv_gleave.write_table_file(str(tmp_path / "in.csv"), str(tmp_path / "link.parquet"))
    assert (tmp_path / "link.parquet").is_symlink() and (tmp_path / "real.parquet").stat().st_size > 0
    with pytest.raises(ValueError, match=OUTPUT_IS_INPUT):
        csv_gleave.write_table_file(f"local://{long_name}", str(long_name))
    assert long_name.stat().st_size > 0 and not [p for p in os.listdir(tmp_path) if p.startswith(".")]
