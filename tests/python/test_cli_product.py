"""The CLI's product behaviours: standard streams, errors naming path and role,
binary input, escaped and capped inspect, duplicates, broken pipes, Ctrl-C."""

import json
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest

import csv_gleave
from csv_gleave import cli
from test_detect import PROSE
from test_remote import http_dir  # noqa: F401 - a fixture

SCRIPT = shutil.which("csv-gleave")
RAGGED = b"a,b,c\n1,2\n3,4,5,6\n"


def run(*args, stdin=None, cwd=None):
    cmd = [sys.executable, "-m", "csv_gleave", *args]
    proc = subprocess.run(cmd, input=stdin, capture_output=True, timeout=120, cwd=cwd)
    return proc.returncode, proc.stdout, proc.stderr.decode("utf-8", "replace")


@pytest.fixture
def d(tmp_path):
    (tmp_path / "in.csv").write_bytes(RAGGED)
    return tmp_path


@pytest.mark.parametrize("args, code, err, left", [
    (["repair", "in.csv", "-o", "/dev/full"], 1, "output /dev/full: No space left on device", []),
    (["repair", "in.csv", "-o", "out.csv", "-q", "nodir/q.csv"], 1, "quarantine nodir/q.csv: No such file", []),
    (["repair", "missing.csv", "-o", "out.csv"], 1, "input missing.csv: No such file", []),
    (["repair", "in.csv", "-o", "out.csv", "--columns", str(10**12)], 1, "out of memory", []),
    (["repair", "bin", "-o", "out.csv"], 1, "input bin: does not look like text", []),
    (["repair", "bin", "-o", "out.csv", "--force"], 0, "rows read", ["out.csv"]),
    (["repair", "in.csv", "in.csv", "--out-dir", "o"], 2, "in.csv is given more than once as an input", []),
    (["repair", "in.csv", "-o", "in.csv"], 2, "overwrite its own input", []),
    (["repair", "in.csv", "-o", "in.csv", "--in-place"], 0, "repaired     2", []),
])
def test_failures_name_path_and_role_and_leave_nothing(d, args, code, err, left):
    (d / "bin").write_bytes(b"\x7fELF\x02\x01\x01\x00" * 100)
    rc, _, stderr = run(*args, cwd=d)
    assert rc == code and err in stderr, stderr
    assert "Traceback" not in stderr
    assert sorted(os.listdir(d)) == sorted(["in.csv", "bin", *left])


def test_standard_streams(d):
    rc, out, _ = run("repair", "-", "-o", "-", stdin=RAGGED, cwd=d)
    assert rc == 0 and out == b"a,b,c\n1,2,\n3,4,\"5,6\"\n"
    rc, out, _ = run("inspect", "-", "--json", stdin=RAGGED, cwd=d)
    assert rc == 0 and json.loads(out)["ragged_count"] == 2
    rc, out, _ = run("sniff", "-", stdin=b"a;b\n1;2\n", cwd=d)
    assert rc == 0 and out == b"<stdin>: semicolon\n"
    assert not (d / "-").exists()


def test_inspect_escapes_and_caps(d):
    wide = ",".join(f"c{i}" for i in range(5000))
    (d / "wide.csv").write_text(f"\x1b[31mx,\x07y\n{wide}\n" + "z" * 100_000 + "\n")
    rc, out, err = run("inspect", "wide.csv", "--rows", "3", "-d", "comma", "--columns", "0", cwd=d)
    text = out.decode()
    assert rc == 0 and "\x1b" not in text and "\x07" not in text and "\\x1b[31mx" in text
    assert "… 4950 more" in text and len(out) < 20_000


def test_inspect_any_file_name(d):
    name = os.fsdecode(b"bad\xff\x1bname.csv")
    shutil.copy(d / "in.csv", d / name)
    rc, out, err = run("inspect", name, cwd=d)
    assert rc == 0 and b"bad\\xff\\x1bname.csv" in out, err


def test_broken_pipe_on_stdout_is_quiet(d):
    (d / "big.csv").write_bytes(b"a,b\n" + b"1,2\n" * 2_000_000)
    p = subprocess.Popen(f"{sys.executable} -m csv_gleave repair big.csv -o - | head -c 10 >/dev/null",
                         shell=True, cwd=d, stderr=subprocess.PIPE)
    _, err = p.communicate(timeout=60)
    assert err == b""


def _default_sigint():
    # A run started with SIGINT ignored (a background job without job control)
    # hands that on to its children, and Python then never raises
    # KeyboardInterrupt: the child gets the default back before it starts.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


@pytest.mark.parametrize("batch", [False, True])
def test_ctrl_c_prints_interrupted_exits_130_and_leaves_nothing(d, batch):
    # The repair is held mid-way by an input that never ends (a pipe kept
    # open, or a FIFO with no writer), so the signal always lands while work
    # is in progress, however fast the machine is.
    (d / "small.csv").write_bytes(b"a,b\n1,2,3\n")
    if batch:
        os.mkfifo(d / "fifo.csv")
        args = ["small.csv", "fifo.csv", "--out-dir", "out", "-j", "1"]
    else:
        args = ["-", "-o", "o.csv"]
    p = subprocess.Popen([sys.executable, "-m", "csv_gleave", "repair", *args], cwd=d, preexec_fn=_default_sigint,
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if not batch:
        p.stdin.write(b"a,b\n" + b"1,2\n" * 100_000)
        p.stdin.flush()
    deadline = time.monotonic() + 20
    while batch and not (d / "out" / "small.csv").exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(0.5)
    sent = time.monotonic()
    p.send_signal(signal.SIGINT)
    p.wait(timeout=30)  # stdin stays open: an end of input must not race the signal
    elapsed = time.monotonic() - sent
    err = p.stderr.read()
    p.stdin.close()
    p.stdout.close()
    p.stderr.close()
    assert elapsed < 3.0  # process exit included; the 0.2 s stop is timed in test_product
    assert p.returncode == 130 and b"interrupted" in err and b"Traceback" not in err, err
    left = [n for n in os.listdir(d) if n.startswith((".gleave", "o.csv"))]
    if batch:
        left += [n for n in os.listdir(d / "out") if n.startswith(".gleave")]
        assert b"files completed" in err and b"small.csv" in err, err
    assert left == []


@pytest.mark.parametrize("data, args, warning", [
    (b"a,b\ncaf\xe9,\xff\n", ["--encoding", "utf-8"], "2 bytes could not be read as utf-8"),
    (b"a,b\ncaf\xe9,1\n", [], None),  # detected as cp1252: nothing replaced
    (PROSE.encode() if isinstance(PROSE, str) else PROSE, [], "does not look like a table"),
])
def test_repair_and_inspect_warn_about_how_the_input_was_read(d, data, args, warning):
    (d / "w.csv").write_bytes(data)
    for command in (["repair", "w.csv", "-o", "out.csv", *args], ["inspect", "w.csv", *args]):
        rc, _, err = run(*command, cwd=d)
        assert rc == 0 and (warning in err if warning else "warning" not in err), err


@pytest.mark.parametrize("command", [["repair", "in.csv", "-o", "out.csv"], ["inspect", "in.csv"]])
def test_unknown_encoding_is_a_usage_error(d, command):
    rc, _, err = run(*command, "--encoding", "no-such-codec", cwd=d)
    assert rc == 2 and "unknown encoding 'no-such-codec'" in err and "Traceback" not in err
    assert not (d / "out.csv").exists()


def test_inspect_shows_the_dialect_and_its_evidence(d):
    (d / "p.csv").write_bytes(b"Report 2021\n# note\nid;name;amount\n1;Ann;1,5\n2;B\xf8b;2,25\n3;Cy;4\n")
    rc, out, _ = run("inspect", "p.csv", cwd=d)
    text = out.decode()
    assert rc == 0 and "encoding     cp1252" in text and "preamble     2 lines" in text
    assert "line 1: Report 2021" in text and "Bøb" in text
    chosen = next(line for line in text.splitlines() if line.endswith("chosen"))
    assert chosen.split()[:2] == ["semicolon", '"']
    rc, out, _ = run("inspect", "p.csv", "--json", cwd=d)
    report = json.loads(out)
    dialect = report["dialect"]
    assert (dialect["encoding"], dialect["delimiter"], dialect["quote_char"], dialect["preamble_lines"],
            dialect["header"]) == ("cp1252", ";", '"', 2, True)
    assert dialect["evidence"][0]["chosen"] and dialect["evidence"][0]["delimiter"] == ";"
    # The "# note" line is a comment line (set aside as one), not a preamble line.
    assert [p["line"] for p in report["preamble"]] == [1]


@pytest.mark.parametrize("suffix", [".parquet", ".arrow", ".feather"])
def test_repair_writes_typed_table_files(d, suffix):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.feather  # noqa: F401  (reads .arrow and .feather alike)
    import pyarrow.parquet
    rc, _, err = run("repair", "in.csv", "-o", f"out{suffix}", cwd=d)
    assert rc == 0, err
    read = pyarrow.parquet.read_table if suffix == ".parquet" else pyarrow.feather.read_table
    table = read(d / f"out{suffix}")
    assert table.column_names == ["a", "b", "c"] and table.column("c").to_pylist() == [None, "5,6"]
    assert table.schema.field("a").type == pa.int64()
    rc, _, err = run("repair", "in.csv", "-o", f"out{suffix}", "-q", "q.csv", cwd=d)
    assert rc == 0, err
    csv_gleave.gleave_file(d / "in.csv", d / "ref.csv", d / "ref.q")
    assert (d / "q.csv").read_bytes() == (d / "ref.q").read_bytes()


def test_table_output_names_the_missing_dependency(d):
    # A pyarrow that cannot be imported stands for one that is not installed.
    (d / "pyarrow.py").write_text("raise ImportError('no pyarrow here')\n")
    env = {**os.environ, "PYTHONPATH": str(d)}
    proc = subprocess.run([sys.executable, "-m", "csv_gleave", "repair", "in.csv", "-o", "out.parquet"],
                          cwd=d, env=env, capture_output=True, text=True, timeout=60)
    assert proc.returncode == 1 and not (d / "out.parquet").exists()
    assert proc.stderr.strip().count("\n") == 0 and "pyarrow" in proc.stderr and "csv-gleave[arrow]" in proc.stderr


@pytest.mark.parametrize("command", [["repair", "URL", "-o", "o.csv"], ["sniff", "URL"], ["inspect", "URL"],
                                     ["report", "URL", "-o", "r.html"]])
def test_a_missing_url_says_not_found_and_names_it(http_dir, command, capsys, monkeypatch):
    pytest.importorskip("aiohttp")
    served, base = http_dir
    monkeypatch.chdir(served)
    url = f"{base}/nothere.csv"
    assert cli.main([url if a == "URL" else a for a in command]) == 1
    err = capsys.readouterr().err
    assert err.endswith(f"{url}: not found\n") and "None" not in err, err
