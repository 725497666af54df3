"""arrow_stream hands out record batches while the rows are read again: the
types settled on a first reading over every row, the batches built one at
a time from a window over the file, in memory bounded by a few batches.
Files of a few MiB are held whole; GLEAVE_HELD_INPUT_BYTES=0 reads these
small ones a window at a time, as a large file is read."""
import os
import subprocess
import sys
import threading

import pytest

import csv_gleave
from test_big_files import BIG, messy_block

pa = pytest.importorskip("pyarrow")

CASES = [
    "id,amount\n" + "".join(f"{i},{i}\n" for i in range(40)) + "40,0.5\n",   # a float in the last row
    "id,code\n" + "".join(f"{i},{i:05}\n" for i in range(30)) + "30,N/A\n",  # text in the last row
    "t\n2024-01-01T00:00:00\n2024-01-02T00:00:00.123456789\n",                # nanoseconds come late
    'a,b\r\n1,"x\r\ny"\r\n2,"say ""hi"""\r\n3,z\r\n',
    "\ufeffname;price\ncaf\u00e9;1,5\nna\u00efve;2,25\n",
    "a,b,c\n1,2\n3,4,5,6\n7,8,9\n",
    "a,b\n1,\n2,\n3,7\n",                                                     # empty in the first rows
    "only,a,header\n",
    "",
]


def table_of(stream):
    return pa.RecordBatchReader.from_stream(stream).read_all()


@pytest.mark.parametrize("text", CASES)
@pytest.mark.parametrize("block_rows,threads", [("1", 3), ("4", 1), ("4", 2), (None, None)])
def test_windowed_batches_equal_the_table_read_whole(tmp_path, monkeypatch, text, block_rows, threads):
    path = tmp_path / "f.csv"
    path.write_text(text, encoding="utf-8", newline="")
    whole = {infer: table_of(csv_gleave.arrow_stream(path, infer_types=infer)) for infer in (True, False)}
    texts = [list(row) for row in csv_gleave.open(str(path))][1:]
    monkeypatch.setenv("GLEAVE_HELD_INPUT_BYTES", "0")
    monkeypatch.setenv("GLEAVE_TYPE_HEAD_ROWS", "1")  # the loaders' types, from a head, proved or read again
    if block_rows:
        monkeypatch.setenv("GLEAVE_TABLE_BLOCK_ROWS", block_rows)
    for infer in (True, False):
        loaded = csv_gleave.read_arrow(path, infer_types=infer, threads=threads)
        assert loaded.replace_schema_metadata().equals(whole[infer].replace_schema_metadata())
        stream = csv_gleave.arrow_stream(path, infer_types=infer, threads=threads)
        batches = list(pa.RecordBatchReader.from_stream(stream))
        if block_rows:
            assert [b.num_rows for b in batches[:-1]] == [int(block_rows)] * (len(batches) - 1)
        got = pa.Table.from_batches(batches, schema=batches[0].schema)
        assert got.equals(whole[infer]) and got.num_rows == stream.num_rows
        assert table_of(stream).equals(got)  # a second stream reads the rows again
    by_rows = [[v if v is not None else "" for v in row.values()] for row in whole[False].to_pylist()]
    assert by_rows == [row + [""] * (len(by_rows[0]) - len(row)) for row in texts]


def test_a_value_that_no_longer_fits_ends_the_stream_with_an_error(tmp_path, monkeypatch):
    monkeypatch.setenv("GLEAVE_HELD_INPUT_BYTES", "0")
    path = tmp_path / "f.csv"
    path.write_text("id,n\n1,2\n3,4\n")
    stream = csv_gleave.arrow_stream(path)
    assert pa.schema(stream).field("n").type == pa.int64()
    path.write_text("id,n\n1,2\n3,x\n")  # changed between the readings
    with pytest.raises((OSError, pa.ArrowException), match="column 'n' was settled as int64, but row 2 holds 'x'"):
        table_of(stream)


@pytest.mark.parametrize("held", ["0", None])
def test_a_pipe_streams_twice_and_a_stream_left_early_stops(tmp_path, monkeypatch, held):
    if held is not None:
        monkeypatch.setenv("GLEAVE_HELD_INPUT_BYTES", held)
    monkeypatch.setenv("GLEAVE_TABLE_BLOCK_ROWS", "10")
    data = ("a,b\n" + "".join(f"{i},x{i}\n" for i in range(5000))).encode()
    r, w = os.pipe()

    def feed():
        with os.fdopen(w, "wb") as out:
            out.write(data)

    writer = threading.Thread(target=feed)
    writer.start()
    try:
        stream = csv_gleave.arrow_stream(r)
    finally:
        writer.join()
        os.close(r)
    first = table_of(stream)
    assert first.equals(table_of(stream)) and first.num_rows == 5000
    assert first.column("b")[4999].as_py() == "x4999"
    reader = pa.RecordBatchReader.from_stream(stream)
    assert reader.read_next_batch().num_rows == 10
    del reader  # its producer, waiting on a full queue, stops


def test_types_is_head_or_all_rows(tmp_path):
    path = tmp_path / "f.csv"
    path.write_text("a\n1\n")
    for types in ("all-rows", "head", None):
        stream = csv_gleave.arrow_stream(path, types=types)
        assert table_of(stream).column("a").to_pylist() == [1]
        # A head that holds every row settles the types on every row, and counts them.
        assert stream.types == "all-rows" and stream.num_rows == 1
    with pytest.raises(ValueError, match="types must be 'head', 'all-rows' or None"):
        csv_gleave.arrow_stream(path, types="some")
    with pytest.raises(ValueError, match="quarantine_path needs every row counted"):
        csv_gleave.arrow_stream(path, types="head", quarantine_path=tmp_path / "q.csv")


def piped(data):
    """A descriptor reading `data` through a pipe (the caller closes it)."""
    r, w = os.pipe()

    def feed():
        with os.fdopen(w, "wb") as out:
            out.write(data)

    threading.Thread(target=feed, daemon=True).start()
    return r


hypothesis = pytest.importorskip("hypothesis")
st = hypothesis.strategies
cells = st.one_of(st.integers(-999, 999).map(lambda i: str(i).encode()),
                  st.sampled_from([b"", b"x", b"1.5", b"true", "\u00e9t\u00e9".encode(), b"\xff"]))


def equal_to_texts(column, texts):
    """Whether a typed batch's column holds `texts` (the field texts, str or bytes; an empty one is null), as
    they are or as its type reads them."""
    if pa.types.is_binary(column.type):
        return column.to_pylist() == [(t.encode() if isinstance(t, str) else t) or None for t in texts]
    if pa.types.is_string(column.type):
        return column.to_pylist() == [t or None for t in texts]
    return column.equals(pa.array([t or None for t in texts], pa.string()).cast(column.type))


@hypothesis.settings(max_examples=int(os.environ.get("GLEAVE_PROPERTY_EXAMPLES", "60")), deadline=None,
                     suppress_health_check=[hypothesis.HealthCheck.function_scoped_fixture])
@hypothesis.given(columns=st.lists(st.lists(cells, min_size=1, max_size=40), min_size=1, max_size=3),
                  head=st.integers(1, 30), block=st.integers(1, 12),
                  longer=st.dictionaries(st.integers(0, 39), st.integers(1, 2), max_size=3),
                  held=st.sampled_from(["0", "8388608"]))
def test_head_types_widen_and_lose_no_text(monkeypatch, columns, head, block, longer, held):
    """Types from a head of a pipe: a later misfit makes its column text, and no value changes.

    iter_batches gives every batch its own schema, the earlier ones keeping
    their type; through the C stream (pyarrow, DuckDB) a reading that meets
    a widening ends with an error saying so, and the next reading has the
    widened schema from its first batch. Rows longer than the first ones
    (with no width rule) add text columns the same way.
    """
    monkeypatch.setenv("GLEAVE_TYPE_HEAD_ROWS", str(head))
    monkeypatch.setenv("GLEAVE_TABLE_BLOCK_ROWS", str(block))
    # "0": the pipe is read a window at a time through its kept copy, not held.
    monkeypatch.setenv("GLEAVE_HELD_INPUT_BYTES", held)
    # A first column of row numbers: a row is never a blank line.
    grid = [[b"%d" % i] + [c[i] if i < len(c) else b"" for c in columns] + [b"e"] * longer.get(i, 0)
            for i in range(max(map(len, columns)))]
    data = b",".join(b"c%d" % j for j in range(len(columns) + 1)) + b"\n" + b"".join(b",".join(r) + b"\n" for r in grid)
    fd = piped(data)
    try:  # the field texts as a reading over every row has them
        whole = table_of(csv_gleave.arrow_stream(fd, types="all-rows", infer_types=False, expected_columns=0))
    finally:
        os.close(fd)
    texts = [whole.column(j).to_pylist() for j in range(whole.num_columns)]
    assert whole.num_rows == len(grid)
    fd = piped(data)
    try:
        batches = list(csv_gleave.iter_batches(fd, expected_columns=0))
    finally:
        os.close(fd)
    for j in range(whole.num_columns):
        kinds = [str(b.schema.field(j).type) if j < b.num_columns else "-" for b in batches]
        widened = [k for k in kinds if k in ("string", "binary")]
        assert kinds[len(kinds) - len(widened):] == widened  # once text, text from there on
        at = 0
        for b in batches:
            part = texts[j][at:at + b.num_rows]
            assert equal_to_texts(b.column(j), part) if j < b.num_columns else not any(part)
            at += b.num_rows
        assert at == len(grid)
    fd = piped(data)
    try:
        stream = csv_gleave.arrow_stream(fd, types=None, expected_columns=0)
    finally:
        os.close(fd)
    assert stream.types == "head" or len(grid) < head
    for _ in range(whole.num_columns + 1):
        try:
            table = table_of(stream)
            break
        except OSError as error:
            assert "the stream's schema cannot change, so it ends here" in str(error)
    assert set(stream.widened) <= set(table.column_names) and stream.num_rows == len(grid)
    assert table.column_names == whole.column_names
    for j in range(whole.num_columns):
        assert equal_to_texts(table.column(j).combine_chunks(), texts[j])
    duckdb = pytest.importorskip("duckdb")
    assert duckdb.connect().sql("SELECT count(*) FROM stream").fetchall() == [(len(grid),)]
    # A loader reads the pipe once: a head's types that do not hold are read
    # again over every row from what the first reading kept.
    fd = piped(data)
    try:
        loaded = csv_gleave.read_arrow(fd, expected_columns=0)
    finally:
        os.close(fd)
    fd = piped(data)
    try:
        assert loaded.replace_schema_metadata().equals(
            table_of(csv_gleave.arrow_stream(fd, types="all-rows", expected_columns=0)))
    finally:
        os.close(fd)


STREAM_CHILD = r"""
import sys, csv_gleave, duckdb, pyarrow as pa
stream = csv_gleave.arrow_stream(sys.argv[1])
rows = sum(b.num_rows for b in pa.RecordBatchReader.from_stream(stream))
db = duckdb.connect()
db.execute("SET enable_progress_bar = false")
counted = db.sql("SELECT count(*) FROM stream").fetchall()[0][0]
hwm = [l for l in open('/proc/self/status') if l.startswith('VmHWM')][0]
print(stream.num_rows, rows, counted, int(hwm.split()[1]) * 1024)
"""


@pytest.mark.skipif(not BIG, reason="set GLEAVE_BIG_TESTS=1")
def test_a_big_file_streams_and_duckdb_counts_it_in_bounded_memory(tmp_path):
    pytest.importorskip("duckdb")
    block = messy_block()
    (tmp_path / "one.csv").write_bytes(block)
    one = csv_gleave.arrow_stream(tmp_path / "one.csv").num_rows
    repeats = int(float(os.environ.get("GLEAVE_BIG_TEST_GB", "10")) * 1e9) // len(block) + 1
    big = tmp_path / "big.csv"
    with open(big, "wb") as f:
        for _ in range(repeats):
            f.write(block)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-W", "ignore", "-c", STREAM_CHILD, str(big)], check=True,
                          capture_output=True, text=True, env=env)
    num_rows, rows, counted, rss = map(int, done.stdout.strip().splitlines()[-1].split())
    print(f"\narrow_stream over {big.stat().st_size / 1e9:.1f} GB: peak RSS {rss / 2**20:.0f} MiB")
    # The header each block repeats is set aside after its first time.
    assert num_rows == rows == counted == one * repeats
    assert rss <= 256 << 20


SET_ASIDE_CHILD = r"""
import sys, warnings, csv_gleave, pyarrow
warnings.simplefilter("ignore")
def peak():  # of this process alone (ru_maxrss would start from its parent's)
    return int([l for l in open("/proc/self/status") if l.startswith("VmHWM")][0].split()[1]) * 1024
source = sys.argv[1] if sys.argv[2] == "path" else sys.stdin.fileno()
before = peak()
rows = sum(b.num_rows for b in csv_gleave.iter_batches(source, quarantine_path=sys.argv[3], merge_overflow=False))
print(rows, peak() - before)
"""


@pytest.mark.parametrize("how", ["path", "pipe"])
def test_a_large_set_aside_part_is_spilled_in_bounded_memory(tmp_path, how):
    """40 MB of rows set aside: the quarantine is written whole, as gleave_file writes it, in bounded memory."""
    pytest.importorskip("pyarrow")
    path = tmp_path / "f.csv"
    with open(path, "w") as out:
        out.write("a,b\n")
        for i in range(200_000):
            out.write(f"{i},{i}\n{i},{'x' * 180},{i}\n")  # every second row is too wide
    reference = csv_gleave.gleave_file(path, tmp_path / "ref.csv", tmp_path / "ref.q", merge_overflow=False)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    with open(path, "rb") as stdin:
        done = subprocess.run([sys.executable, "-c", SET_ASIDE_CHILD, str(path), how, str(tmp_path / "q")],
                              stdin=stdin, check=True, capture_output=True, text=True, env=env)
    rows, grown = map(int, done.stdout.split())
    assert rows == reference.gleaved_rows - 1 and reference.quarantined_rows == 200_000
    assert (tmp_path / "q").read_bytes() == (tmp_path / "ref.q").read_bytes()
    assert (tmp_path / "q").stat().st_size > 38e6 > grown
