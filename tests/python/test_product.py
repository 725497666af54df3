"""The product module csv_gleave._native: paths, options, errors, outputs
that appear whole or not at all, interrupts, and the core's file-safety mends."""

import os
import pathlib
import resource
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import _csv_gleave_backend as core
import csv_gleave

from conftest import EXAMPLE, EXAMPLE_OUT

PATH_KINDS = [str, os.fsencode, pathlib.Path]
CORE_KEYS = ["total_rows", "gleaved_rows", "repaired_rows", "quarantined_rows", "detected_delimiter",
             "inferred_columns"]


def shared(summary_dict):
    """The keys a product summary shares with the core's, in the core's order."""
    return {key: summary_dict[key] for key in CORE_KEYS}


@pytest.mark.parametrize("kind", PATH_KINDS, ids=["str", "bytes", "Path"])
def test_every_path_kind(example, kind):
    summary = csv_gleave.gleave_file(kind("in.csv"), kind("out.csv"), kind("q.csv"))
    assert shared(summary.to_dict()) == core.gleave_file("in.csv", "core.csv").to_dict()
    assert open("out.csv", "rb").read() == EXAMPLE_OUT
    assert list(csv_gleave.open(kind("in.csv"))) == list(core.open("in.csv"))
    assert csv_gleave.inspect(kind("in.csv"))["ragged_count"] == 2


def test_descriptors_are_read_and_written_directly(example):
    with open("in.csv", "rb") as src, open("out.csv", "wb") as dst:
        csv_gleave.gleave_file(src.fileno(), dst.fileno())
    assert open("out.csv", "rb").read() == EXAMPLE_OUT


@pytest.mark.parametrize("kwargs, exc, text", [
    ({"delimiter": "tab"}, None, "\t"),
    ({"delimiter": "Semicolon"}, None, ";"),
    ({"delimiter": "pipe", "quote_char": "'"}, None, "|"),
    ({"delimiter": "tabs"}, ValueError, "one ASCII character"),
    ({"delimiter": "é"}, ValueError, "one ASCII character"),
    ({"delimiter": '"'}, ValueError, "must differ"),
    ({"quote_char": "\n"}, ValueError, "line break"),
    ({"delimiter": "\r"}, ValueError, "line break"),
    ({"fill_ragged_rows": 1}, TypeError, "must be a bool"),
    ({"expected_columns": -1}, ValueError, "expected_columns"),
    ({"expected_columns": "3"}, TypeError, "expected_columns"),
    ({"in_place": None}, TypeError, "in_place"),
])
def test_options_are_validated_in_one_place(example, kwargs, exc, text):
    if exc is None:
        assert csv_gleave.gleave_file("in.csv", "out.csv", **kwargs).detected_delimiter == text
        return
    calls = [lambda: csv_gleave.gleave_file("in.csv", "out.csv", **kwargs)]
    if "in_place" not in kwargs:
        calls += [lambda: csv_gleave.open("in.csv", **kwargs), lambda: csv_gleave.inspect("in.csv", **kwargs)]
    for call in calls:
        with pytest.raises(exc, match=text):
            call()
    assert not os.path.exists("out.csv")


@pytest.mark.parametrize("args, exc, errno_, role, filename", [
    (("missing.csv", "out.csv"), FileNotFoundError, 2, "input", "missing.csv"),
    (("in.csv", "nodir/out.csv"), FileNotFoundError, 2, "output", "nodir/out.csv"),
    (("in.csv", "out.csv", "nodir/q.csv"), FileNotFoundError, 2, "quarantine", "nodir/q.csv"),
    (("in.csv", "/dev/full"), OSError, 28, "output", "/dev/full"),
    (("in.csv", "out.csv", "/dev/full"), OSError, 28, "quarantine", "/dev/full"),
    (("in.csv", "."), IsADirectoryError, 21, "output", "."),
    ((".", "out.csv"), IsADirectoryError, 21, "input", "."),
])
def test_errors_name_the_path_and_its_role_and_leave_nothing(example, args, exc, errno_, role, filename):
    pathlib.Path("out.csv").write_bytes(b"old output\n")
    with pytest.raises(exc) as info:
        csv_gleave.gleave_file(*args)
    err = info.value
    assert (err.errno, err.filename, err.role) == (errno_, filename, role)
    assert pathlib.Path("out.csv").read_bytes() == b"old output\n"
    assert sorted(os.listdir(".")) == ["in.csv", "out.csv"]


@pytest.mark.parametrize("output, quarantine, message", [
    ("in.csv", None, "output path is the same file as the input path"),
    ("out.csv", "out.csv", "quarantine path is the same file as the output path"),
    ("out.csv", "in.csv", "quarantine path is the same file as the input path"),
    ("out.csv", "link-to-out.csv", "quarantine path is the same file as the output path"),
    ("link-to-out.csv", "out.csv", "quarantine path is the same file as the output path"),
    ("out.csv", "sub/../out.csv", "quarantine path is the same file as the output path"),
])
def test_same_file_is_refused_through_any_spelling(example, output, quarantine, message):
    os.symlink("out.csv", "link-to-out.csv")  # dangling until out.csv exists
    os.mkdir("sub")
    with pytest.raises(ValueError, match=message):
        csv_gleave.gleave_file("in.csv", output, quarantine)
    assert not os.path.exists("out.csv")


def test_core_dangling_link_guard(example):
    os.symlink("out.csv", "q.csv")
    with pytest.raises(OSError, match="quarantine path is the same file as the output path"):
        core.gleave_file("in.csv", "out.csv", "q.csv", fill_ragged_rows=False, merge_overflow=False)
    with pytest.raises(OSError, match="the same file as the output path"):
        core.gleave_file("in.csv", "q.csv", "out.csv")


def test_core_refuses_a_nul_quarantine_path_before_writing(example):
    with pytest.raises(OSError, match="NUL"):
        core.gleave_file("in.csv", "out.csv", "q\0.csv")
    assert not os.path.exists("out.csv")


@pytest.mark.parametrize("length", [241, 250, 255])
def test_in_place_with_long_names(tmp, length):
    name = "x" * (length - 4) + ".csv"
    pathlib.Path(name).write_bytes(EXAMPLE)
    core.gleave_file(name, name)
    assert pathlib.Path(name).read_bytes() == EXAMPLE_OUT
    pathlib.Path(name).write_bytes(EXAMPLE)
    csv_gleave.gleave_file(name, name, in_place=True)
    assert pathlib.Path(name).read_bytes() == EXAMPLE_OUT
    assert os.listdir(".") == [name]


@pytest.mark.skipif(os.geteuid() != 0, reason="changing owners needs root")
@pytest.mark.parametrize("repair", [lambda p: core.gleave_file(p, p),
                                    lambda p: csv_gleave.gleave_file(p, p, in_place=True)])
def test_in_place_keeps_owner_and_drops_setuid_never_kept(example, repair):
    os.chown("in.csv", 65534, 65534)
    os.chmod("in.csv", 0o4755)
    repair("in.csv")
    st = os.stat("in.csv")
    assert (st.st_uid, st.st_gid, st.st_mode & 0o7777) == (65534, 65534, 0o4755)


def test_new_outputs_get_the_umask_mode(example):
    old = os.umask(0o027)
    try:
        csv_gleave.gleave_file("in.csv", "out.csv")
    finally:
        os.umask(old)
    # The umask is read once per process; a file made under any umask is not 0600.
    assert os.stat("out.csv").st_mode & 0o777 in (0o640, 0o644)


def _child(code, tmp):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    # SIGINT back to its default: a run started with it ignored would hand
    # that on, and the child would never see Ctrl-C.
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], cwd=tmp, env=env,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def test_file_size_limit_leaves_existing_output_untouched(tmp):
    pathlib.Path("in.csv").write_bytes(b"a,b\n" + b"1,2,3\n" * 200_000)
    pathlib.Path("out.csv").write_bytes(b"precious\n")
    child = _child("""
        import resource, signal, csv_gleave
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, 100_000))
        try:
            csv_gleave.gleave_file("in.csv", "out.csv", "q.csv")
        except OSError as e:
            print(e.errno, e.role)
    """, tmp)
    out, err = child.communicate(timeout=60)
    assert out.split() == ["27", "output"], err
    assert pathlib.Path("out.csv").read_bytes() == b"precious\n"
    assert sorted(os.listdir(".")) == ["in.csv", "out.csv"]


@pytest.mark.parametrize("call", ["gleave_file('big.csv', 'out.csv', 'q.csv')", "open('big.csv')",
                                  "inspect('big.csv')", "gleave_file('fifo', 'out.csv')"])
def test_sigint_stops_within_a_fraction_of_a_second(tmp, call):
    row = b"1,2,3,4,5,6,7,8\n"
    pathlib.Path("big.csv").write_bytes(b"a,b\n" + (row + b"1,2\n" + row * 3) * 4_000_000)
    os.mkfifo("fifo")
    child = _child(f"""
        import sys, time, csv_gleave
        print("go", flush=True)
        try:
            csv_gleave.{call}
        except KeyboardInterrupt:
            print("interrupted", time.monotonic(), flush=True)
    """, tmp)
    assert child.stdout.readline() == "go\n"
    # Well inside the work: each of these calls takes over half a second on
    # this input even on a fast machine.
    time.sleep(0.25)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=30)
    assert out.startswith("interrupted"), err
    # A generous limit that catches a hang, not a slow shared machine; the
    # real figure against its goal comes from bench/interrupt.py.
    limit = 3.0 if "asan" in os.environ.get("LD_PRELOAD", "") else 1.0
    assert float(out.split()[1]) - sent < limit
    assert sorted(os.listdir(".")) == ["big.csv", "fifo"]


@pytest.mark.parametrize("consume", [
    "for b in pa.RecordBatchReader.from_stream(csv_gleave.arrow_stream(r)): pass",
    "for b in csv_gleave.iter_batches(r): pass",
])
def test_sigint_stops_a_wait_for_the_next_batch_of_a_silent_pipe(tmp, consume):
    pytest.importorskip("pyarrow")
    child = _child(f"""
        import os, signal, threading, time, pyarrow as pa, csv_gleave
        r, w = os.pipe()
        # Rows past the head, then a writer that stays silent with its end open.
        threading.Thread(target=os.write, args=(w, b"a,b\\n" + b"1,2\\n" * 3_000_000), daemon=True).start()
        threading.Timer(1.0, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
        try:
            try:
                {consume}
            except OSError as e:
                # pyarrow turns a failed read into its own error; the
                # KeyboardInterrupt follows at the next step.
                print("failed", e, flush=True)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
    """, tmp)
    out, err = child.communicate(timeout=30)
    assert out.splitlines()[-1] == "interrupted", err
    if "iter_batches" in consume:
        assert "failed" not in out


def test_cancel_event_stops_a_repair_in_another_thread(tmp):
    pathlib.Path("big.csv").write_bytes(b"a,b\n" + b"1,2,3\n" * 3_000_000)
    cancel = threading.Event()
    errors = []

    def work():
        try:
            csv_gleave.gleave_file("big.csv", "out.csv", cancel=cancel)
        except csv_gleave.Cancelled as exc:
            errors.append(exc)

    t = threading.Thread(target=work)
    cancel.set()
    t.start()
    t.join(10)
    assert len(errors) == 1 and os.listdir(".") == ["big.csv"]


def test_fifo_fed_by_a_thread_of_the_same_process(tmp):
    os.mkfifo("fifo")

    def produce():
        with open("fifo", "wb") as f:
            f.write(EXAMPLE)

    t = threading.Thread(target=produce)
    t.start()
    summary = csv_gleave.gleave_file("fifo", "out.csv")
    t.join()
    assert summary.total_rows == 4 and pathlib.Path("out.csv").read_bytes() == EXAMPLE_OUT


@pytest.mark.parametrize("data, refused", [
    (b"\x7fELF\x02\x01\x01\x00\x00", True),
    (bytes(range(1, 32)) * 10, True),
    (b"a,b\n\x1b[31mred\x1b[0m,2\n", False),
    (b"a\tb\r\n1\t2\f\n", False),
])
def test_binary_input_refused_when_asked(tmp, data, refused):
    pathlib.Path("in.csv").write_bytes(data)
    if refused:
        with pytest.raises(csv_gleave.NotTextError):
            csv_gleave.gleave_file("in.csv", "out.csv", allow_binary=False)
        assert not os.path.exists("out.csv")
    else:
        csv_gleave.gleave_file("in.csv", "out.csv", allow_binary=False)
    csv_gleave.gleave_file("in.csv", "out.csv")  # allowed by default


@pytest.mark.parametrize("text", ['"a,b",c\n', 'a,"b,c"\n', 'a,"x\ny",c,d\n', 'a,b\xff\n'])
def test_quarantine_raw_content_is_the_rows_own_text(tmp, text):
    raw = text.encode("latin-1") if "\xff" in text else text.encode()
    pathlib.Path("in.csv").write_bytes(b"h1,h2,h3\n" + raw)
    csv_gleave.gleave_file("in.csv", "out.csv", "q.csv", expected_columns=3,
                           fill_ragged_rows=False, merge_overflow=False)
    import csv
    with open("q.csv", newline="", encoding="utf-8") as f:
        records = list(csv.reader(f))[1:]
    # Decoded as the input was read: the stray byte is cp1252's "ÿ", not lost.
    expected = raw.rstrip(b"\n").decode("cp1252" if b"\xff" in raw else "utf-8")
    assert records == [["2", records[0][1], expected]]


def test_memory_error_has_a_message_and_leaves_nothing(example):
    with pytest.raises(MemoryError, match="out of memory"):
        csv_gleave.gleave_file("in.csv", "out.csv", expected_columns=10**12)
    assert os.listdir(".") == ["in.csv"]


def test_summary_matches_the_core_and_types_are_heap_types(example):
    s = csv_gleave.gleave_file("in.csv", "out.csv")
    c = core.gleave_file("in.csv", "core.csv")
    # The core's keys come first and in its order; the product's own follow.
    assert shared(s.to_dict()) == c.to_dict() and list(s.to_dict())[:6] == list(c.to_dict()) == CORE_KEYS
    for name in CORE_KEYS:
        assert getattr(s, name) == getattr(c, name)
    assert type(s).__module__ == "csv_gleave" and not (type(s).__flags__ & (1 << 9)) == 0  # heap type


def test_refcounts_and_memory_do_not_grow(example):
    import gc
    calls = [
        lambda: csv_gleave.gleave_file("in.csv", "out.csv", "q.csv").to_dict(),
        lambda: list(csv_gleave.open(b"in.csv")),
        lambda: csv_gleave.inspect(pathlib.Path("in.csv")),
        lambda: csv_gleave.sniff(b"a;b\n1;2\n"),
    ]
    failing = [
        lambda: csv_gleave.gleave_file("missing.csv", "out.csv"),
        lambda: csv_gleave.open("in.csv", delimiter="nope"),
        lambda: csv_gleave.gleave_file("in.csv", "in.csv"),
    ]

    def run(n):
        for _ in range(n):
            for call in calls:
                call()
            for call in failing:
                try:
                    call()
                except (OSError, ValueError):
                    pass

    run(200)
    gc.collect()
    before = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    run(3000)
    gc.collect()
    if before is not None:
        assert sys.gettotalrefcount() - before < 100
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss < 20_000  # KiB
