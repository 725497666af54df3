"""Arrow tables of repaired files: the types each column gets, the exact
texts without inference, every consumer of the stream, the table files, and
the capsules' ownership."""

import datetime as dt
import os
import sys
import threading

import pytest

import csv_gleave
from csv_gleave import _native
from test_corpus import CORPUS, corpus_files

pa = pytest.importorskip("pyarrow")

UTC = dt.timezone.utc

# (delimiter, the column's values below the header "h", Arrow type, values).
# An empty field of a one-column file is written quoted: a bare empty line
# is a blank line, which every loader skips and counts, as open() does.
TYPES = [
    (",", ["1", "-2", "9223372036854775807"], pa.int64(), [1, -2, 2**63 - 1]),
    (",", ["1.5", "2", "1e3", ".5"], pa.float64(), [1.5, 2.0, 1000.0, 0.5]),
    (",", ["true", "FALSE", "True"], pa.bool_(), [True, False, True]),
    (",", ["2024-01-02", '""'], pa.date32(), [dt.date(2024, 1, 2), None]),
    (",", ["2024-01-02T03:04:05", "2024-01-02 03:04:05.5"], pa.timestamp("us"),
     [dt.datetime(2024, 1, 2, 3, 4, 5), dt.datetime(2024, 1, 2, 3, 4, 5, 500000)]),
    (",", ["2024-01-02T03:04:05+01:00", "2024-01-02T03:04:05Z"], pa.timestamp("us", "UTC"),
     [dt.datetime(2024, 1, 2, 2, 4, 5, tzinfo=UTC), dt.datetime(2024, 1, 2, 3, 4, 5, tzinfo=UTC)]),
    (";", ["1,5", "2,25"], pa.float64(), [1.5, 2.25]),
    (",", ['""', "3", '""'], pa.int64(), [None, 3, None]),
    # Nothing may change on the way: these stay the texts they were.
    (",", ["007", "8"], pa.string(), ["007", "8"]),
    (",", ["9223372036854775808", "1"], pa.string(), ["9223372036854775808", "1"]),
    (",", ["-9223372036854775809"], pa.string(), ["-9223372036854775809"]),
    (",", ["1", "2", "x"], pa.string(), ["1", "2", "x"]),
    (",", ["1.0000000000000000001"], pa.string(), ["1.0000000000000000001"]),
    (",", ["+3", " 4", "1_000", "0x10", "nan", "inf"], pa.string(), ["+3", " 4", "1_000", "0x10", "nan", "inf"]),
    (",", ["yes", "true"], pa.string(), ["yes", "true"]),
    (",", ["2024-02-30"], pa.string(), ["2024-02-30"]),
    (",", ["2024-01-02", "2024-01-02T00:00:00"], pa.string(), ["2024-01-02", "2024-01-02T00:00:00"]),
    (",", ["2024-01-02T03:04:05+01:00", "2024-01-02T03:04:05"], pa.string(),
     ["2024-01-02T03:04:05+01:00", "2024-01-02T03:04:05"]),
    (";", ["1,5", "2.5"], pa.string(), ["1,5", "2.5"]),
    (",", ['"1,5"', '"2,25"'], pa.string(), ["1,5", "2,25"]),  # a comma delimiter rules out a decimal comma
    (",", ['""', '""'], pa.string(), [None, None]),
]


def write(tmp_path, text, name="f.csv"):
    path = tmp_path / name
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    return path


@pytest.mark.parametrize("delimiter, values, arrow_type, expected", TYPES)
def test_column_types(tmp_path, delimiter, values, arrow_type, expected):
    path = write(tmp_path, "h\n" + "\n".join(values) + "\n")
    table = csv_gleave.read_arrow(path, delimiter=delimiter, expected_columns=1)
    assert table.schema.field("h").type == arrow_type
    assert table.column("h").to_pylist() == expected
    raw = csv_gleave.read_arrow(path, delimiter=delimiter, expected_columns=1, infer_types=False)
    assert raw.schema.field("h").type == pa.string()
    assert raw.column("h").to_pylist() == [v[1:-1] if v.startswith('"') else v for v in values]


# Files whose column types are settled by values far apart: built in blocks
# of a few rows, every block a batch, the table must be the one built whole.
RANGED = [
    ("h", TYPES),  # each row of TYPES below the header "h"
    ("a,b,c\n1,x,true\n2,,false\n3.5,y,TRUE\n", None),
    ("a,b\n,1\n,2\n,3\n4,007\n", None),
    ("t\n2024-01-02T03:04:05\n2024-01-02T03:04:05.123456789\n2024-01-02 03:04\n", None),
    ("a;b\n1;2\n3;4;5\n6;7;8;9\n", None),  # rows widen later: no width rule below
    ('a,b\n1,"x\ny"\n2,"q""uote"\n3,z\n', None),
    ("a,b\n1,2\n", None),
    ("a,b\n", None),
    (",2019,,2020,\nname,q1,q2,q1,q2\nAnn,1.5,2,3,4\nBob,2,3,4,5\nCy,1,2,3,4\n", None),  # two header rows
]


def ranged_cases():
    for text, types in RANGED:
        if types is None:
            yield text
            continue
        for delimiter, values, _, _ in types:
            if delimiter == ",":
                yield text + "\n" + "\n".join(values) + "\n"


@pytest.mark.parametrize("threads, error", [
    (1, None), (2, None), (3, None), (None, None),
    (0, ValueError), (257, ValueError), ("2", TypeError), (True, TypeError), (2.0, TypeError),
])
def test_threads_build_the_same_table(tmp_path, monkeypatch, threads, error):
    monkeypatch.setenv("GLEAVE_TABLE_BLOCK_ROWS", "2")
    path = write(tmp_path, "a,b,c\n1,x,true\n2,,false\n3.5,y,TRUE\n4,z,\n5,007,true\n")
    if error:
        with pytest.raises(error, match="threads"):
            csv_gleave.arrow_stream(path, threads=threads)
        return
    assert csv_gleave.read_arrow(path, threads=threads) == csv_gleave.read_arrow(path, threads=1)


@pytest.mark.parametrize("text", list(ranged_cases()))
def test_tables_built_in_blocks_equal_the_table_built_whole(tmp_path, monkeypatch, text):
    path = write(tmp_path, text)
    options = {"expected_columns": 0} if "6;7;8;9" in text else {}
    whole = {infer: csv_gleave.read_arrow(path, infer_types=infer, **options) for infer in (True, False)}
    for rows in ("1", "2", "3"):
        monkeypatch.setenv("GLEAVE_TABLE_BLOCK_ROWS", rows)
        for infer in (True, False):
            stream = csv_gleave.arrow_stream(path, infer_types=infer, **options)
            reader = pa.RecordBatchReader.from_stream(stream)
            batches = list(reader)
            assert len(batches) == max(1, -(-stream.num_rows // int(rows)))
            blocks = pa.Table.from_batches(batches, reader.schema)
            assert blocks.schema == whole[infer].schema
            assert blocks.to_pylist() == whole[infer].to_pylist()
    polars = pytest.importorskip("polars")
    monkeypatch.setenv("GLEAVE_TABLE_BLOCK_ROWS", "1")
    frame = csv_gleave.read_polars(path, **options)
    assert frame.equals(polars.DataFrame(whole[True]))
    # Read through a pipe, whose stream takes its types from a head: a whole
    # table still has the types of every row.
    monkeypatch.setenv("GLEAVE_TYPE_HEAD_ROWS", "1")
    r, w = os.pipe()
    feeder = threading.Thread(target=lambda: (os.write(w, path.read_bytes()), os.close(w)))
    feeder.start()
    try:
        piped = csv_gleave.read_arrow(r, **options)
    finally:
        feeder.join()
        os.close(r)
    assert piped.to_pylist() == whole[True].to_pylist() and piped.schema.types == whole[True].schema.types


def damaged_csv(rows, seed):
    """Rows of every kind the pass meets: plain lines, quoted fields with
    delimiters, doubled quotes and line breaks, stray quotes, short and long
    rows, CR LF and bytes that are not UTF-8."""
    import random

    rng = random.Random(seed)
    lines = [b"id,name,note,amount"]
    for i in range(rows):
        kind = rng.randrange(20)
        name = rng.choice([b"ann", b"b\xc3\xb8b", b"cy", b"d\xffe"])
        note = rng.choice([b"plain", b'"a, b"', b'"two\nlines"', b'"say ""hi"""', b'stray"quote', b""])
        row = [str(i).encode(), name, note, str(rng.random()).encode()]
        if kind == 0:
            row = row[:2]
        elif kind == 1:
            row = row + [b"surplus", b"more"]
        lines.append(b",".join(row) + (b"\r" if kind == 2 else b""))
    return b"\n".join(lines) + b"\n"


def test_a_large_damaged_file_reads_as_the_readers_rows(tmp_path, monkeypatch):
    # Megabytes of text: its pages are given back behind the rows already
    # built while the rest is read, which must never touch a row to come.
    path = write(tmp_path, damaged_csv(120_000, 7))
    assert path.stat().st_size > 4 << 20
    rows = list(_native.open(path))
    for block_rows in (None, "997"):
        if block_rows:
            monkeypatch.setenv("GLEAVE_TABLE_BLOCK_ROWS", block_rows)
        stream = _native.arrow_stream(path, header=False, infer_types=False)
        columns = [[plain(v) for v in c.to_pylist()] for c in pa.table(stream).columns]
        assert stream.num_rows == len(rows)
        back = [[c[r] for c in columns] for r in range(stream.num_rows)]
        assert back == rows


def plain(value):
    return value.decode("utf-8", "replace") if isinstance(value, bytes) else value


@pytest.mark.skipif(CORPUS is None, reason="shared corpus not found")
def test_exact_texts_equal_the_readers_rows_over_the_corpus():
    failures = []
    for path in corpus_files():
        rows = list(_native.open(path))
        stream = _native.arrow_stream(path, header=False, infer_types=False)
        columns = [[plain(v) for v in c.to_pylist()] for c in pa.table(stream).columns]
        back = [[c[r] for c in columns] for r in range(stream.num_rows)]
        # Cells a short row lacks (no width rule) are null, never "".
        back = [row[:len(orig)] + [v for v in row[len(orig):] if v is not None]
                for row, orig in zip(back, rows)]
        if back != rows or stream.summary.to_dict() != _native.open(path).summary.to_dict():
            failures.append(path.relative_to(CORPUS))
    assert len(corpus_files()) > 600 and failures == []


MIXED = "id;name;amount;day\n1;Ann;1,5;2024-01-02\n2;Bøb\n3;Cy;2,25;2024-03-04;extra\n"
# The merged cell keeps the day column text.
EXPECTED = {"id": [1, 2, 3], "name": ["Ann", "Bøb", "Cy"], "amount": [1.5, None, 2.25],
            "day": ["2024-01-02", None, "2024-03-04;extra"]}


def consumers():
    def polars(s):
        pl = pytest.importorskip("polars")
        return pl.DataFrame(s).to_dict(as_series=False)

    def pandas(s):
        pytest.importorskip("pandas")
        return pa.table(s).to_pandas().astype(object).where(lambda f: f.notna(), None).to_dict("list")

    def duckdb(s):
        db = pytest.importorskip("duckdb")
        rel = db.sql("FROM s")
        return dict(zip(rel.columns, map(list, zip(*rel.fetchall()))))

    return [("pyarrow", lambda s: pa.table(s).to_pydict()), ("polars", polars), ("pandas", pandas),
            ("duckdb", duckdb)]


@pytest.mark.parametrize("string_views", [False, True], ids=["offsets", "views"])
@pytest.mark.parametrize("name, consume", consumers(), ids=[n for n, _ in consumers()])
def test_every_consumer_reads_the_stream_twice(tmp_path, name, consume, string_views):
    path = write(tmp_path, MIXED)
    stream = csv_gleave.arrow_stream(path, string_views=string_views)
    assert consume(stream) == EXPECTED
    assert consume(stream) == EXPECTED
    assert stream.num_rows == 3 and stream.column_names == list(EXPECTED)
    assert stream.summary.repaired_rows == 2


def test_loaders_type_text_and_pass_options(tmp_path):
    pd = pytest.importorskip("pandas")
    pl = pytest.importorskip("polars")
    path = write(tmp_path, "n|b|t|s\n1|true|2024-01-02T03:04:05|x\n|false||\n")
    frame = csv_gleave.read_pandas(path, delimiter="|")
    assert [str(t) for t in frame.dtypes[["b", "s"]]] == ["bool", "string"]
    assert isinstance(frame.dtypes["n"], pd.Int64Dtype) and frame["n"].tolist()[0] == 1
    assert frame["t"].dtype.kind == "M" and pd.isna(frame["s"][1])
    day = csv_gleave.read_pandas(write(tmp_path, "d\n2024-01-02\n", "d.csv"), expected_columns=1)["d"]
    assert day.dtype.kind == "M" and str(day[0].date()) == "2024-01-02"
    assert csv_gleave.read_polars(path, delimiter="|").dtypes == [pl.Int64, pl.Boolean, pl.Datetime("us"), pl.String]
    raw = csv_gleave.read_pandas(path, delimiter="|", header=False, infer_types=False)
    assert list(raw.columns) == ["column_1", "column_2", "column_3", "column_4"]
    assert raw.iloc[2].tolist() == ["", "false", "", ""]
    big = write(tmp_path, "n\n9007199254740993\n\n", "big.csv")
    assert csv_gleave.read_pandas(big, expected_columns=1)["n"].tolist()[0] == 2**53 + 1


@pytest.mark.parametrize("header, names", [
    ("a,,a,b,a.1", ["a", "Unnamed: 1", "a.2", "b", "a.1"]),
    ("a,a,a.1,a", ["a", "a.2", "a.1", "a.3"]),
    (" , \t,x", ["Unnamed: 0", "Unnamed: 1", "x"]),
    (b"\xff,ok", ["\xff", "ok"]),  # detected as cp1252
    ((b"\xff,ok", "utf-8"), ["\ufffd", "ok"]),  # not UTF-8 under an explicit UTF-8: replaced
])
def test_header_names(tmp_path, header, names):
    header, encoding = header if isinstance(header, tuple) else (header, None)
    path = write(tmp_path, (header if isinstance(header, bytes) else header.encode()) + b"\n" + b"1," * (len(names) - 1) + b"1\n")
    stream = csv_gleave.arrow_stream(path, delimiter=",", encoding=encoding)
    assert stream.column_names == names == pa.table(stream).column_names
    assert stream.summary.replaced_bytes == (1 if encoding else 0)


def test_bytes_not_utf8_read_as_the_reader_shows_them(tmp_path):
    path = write(tmp_path, b"h,g\n\xe9t\xe9,1\nok,2\n")
    table = csv_gleave.read_arrow(path)
    assert table.schema.field("h").type == pa.string()
    assert table.column("h").to_pylist() == [row[0] for row in list(_native.open(path))[1:]]


@pytest.mark.parametrize("suffix, read", [
    (".parquet", lambda p: __import__("pyarrow.parquet").parquet.read_table(p)),
    (".arrow", lambda p: pa.ipc.open_file(p).read_all()),
    (".feather", lambda p: __import__("pyarrow.feather").feather.read_table(p)),
])
def test_table_files_appear_whole(tmp_path, suffix, read):
    source = write(tmp_path, MIXED)
    target = tmp_path / f"out{suffix}"
    summary = csv_gleave.write_table_file(source, target)
    assert summary.gleaved_rows == 4 and read(target).equals(csv_gleave.read_arrow(source))
    assert (target.stat().st_mode & 0o777) == 0o666 & ~current_umask()
    target.write_bytes(b"before")
    with pytest.raises(FileNotFoundError):
        csv_gleave.write_table_file(tmp_path / "missing.csv", target)
    with pytest.raises(TypeError):
        csv_gleave.write_table_file(source, target, header=1)
    assert target.read_bytes() == b"before" and sorted(os.listdir(tmp_path)) == ["f.csv", f"out{suffix}"]


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_table_file_errors(tmp_path, monkeypatch):
    source = write(tmp_path, MIXED)
    with pytest.raises(ValueError, match=r"\.parquet, \.arrow, \.feather"):
        csv_gleave.write_table_file(source, tmp_path / "out.csv")
    with pytest.raises(FileNotFoundError):
        csv_gleave.write_table_file(source, tmp_path / "no" / "out.parquet")
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    for call in (lambda: csv_gleave.write_table_file(source, tmp_path / "o.arrow"),
                 lambda: csv_gleave.read_arrow(source), lambda: csv_gleave.read_pandas(source)):
        with pytest.raises(ImportError, match=r"needs pyarrow.*pip install 'csv-gleave\[arrow\]'"):
            call()
    assert sorted(os.listdir(tmp_path)) == ["f.csv"]


def test_arguments_are_checked(tmp_path, fails):
    path = write(tmp_path, MIXED)
    fails(lambda: _native.arrow_stream(path, ";"), TypeError)  # options are keyword-only
    fails(lambda: _native.arrow_stream(path, infer_types="no"), TypeError)
    fails(lambda: _native.arrow_stream(path, delimiter="ab"), ValueError)
    fails(lambda: _native.ArrowStream(), TypeError)
    stream = _native.arrow_stream(path)
    fails(lambda: stream.__arrow_c_stream__(1, 2), TypeError)
    assert stream.__arrow_c_stream__(requested_schema=None) is not None


# Ways to take the capsules: consumed, consumed twice, released unconsumed,
# partly consumed by hand, a schema alone, a table outliving its stream.
def capsule_rounds(path):
    def partly():
        stream = csv_gleave.arrow_stream(path)
        reader = pa.RecordBatchReader._import_from_c_capsule(stream.__arrow_c_stream__())
        reader.schema  # the batch is never read
        del reader

    def outliving():
        table = pa.table(csv_gleave.arrow_stream(path))
        return table.column(0).to_pylist()

    return [
        lambda: pa.table(csv_gleave.arrow_stream(path)),
        lambda: [pa.table(s) for s in [csv_gleave.arrow_stream(path)] * 2],
        lambda: csv_gleave.arrow_stream(path).__arrow_c_stream__(),
        lambda: csv_gleave.arrow_stream(path).__arrow_c_schema__(),
        lambda: pa.schema(csv_gleave.arrow_stream(path)),
        lambda: csv_gleave.arrow_stream(path).summary,
        partly,
        outliving,
    ]


def test_capsule_rounds(tmp_path):
    path = write(tmp_path, MIXED)
    for round_ in capsule_rounds(path):
        round_()


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc/self/statm")
def test_capsules_do_not_grow_memory(tmp_path):
    path = write(tmp_path, MIXED * 20)

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    rounds = capsule_rounds(path)
    for _ in range(300):
        for round_ in rounds:
            round_()
    before = rss()
    for _ in range(3000):
        for round_ in rounds:
            round_()
    assert rss() - before < 1 << 20
