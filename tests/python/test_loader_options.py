"""The loaders' options against polars and pandas on clean files, and the
loaders' promise that no row leaves the result without a word: the rows
set aside are counted, warned about and written where asked, as
gleave_file writes them."""

import json
import os
import warnings

import pytest

import csv_gleave

pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")
pd = pytest.importorskip("pandas")

CLEAN = (
    "zip,name,amount,when,flag\n"
    "10001,Ann,1.5,2024-01-02,true\n"
    "94105,NA,2.25,2024-02-03,false\n"
    "60601,Cy,NA,2024-03-04,true\n"
    "12134,Di,4,2024-04-05,false\n"
)
PREAMBLE = "exported by tool\nsecond note\n" + CLEAN
SEMICOLON = "id;price\n1;1,5\n2;2,25\n"

# (file, our options for read_polars/read_arrow, polars.read_csv's options)
POLARS = [
    (CLEAN, {"columns": ["name", "amount"]}, {"columns": ["name", "amount"]}),
    (CLEAN, {"columns": [0, 2]}, {"columns": [0, 2]}),
    (CLEAN, {"schema_overrides": {"zip": pl.String, "amount": pl.Float32}, "null_values": "NA"},
     {"schema_overrides": {"zip": pl.String, "amount": pl.Float32}, "null_values": "NA"}),
    (CLEAN, {"schema_overrides": {"zip": str}, "null_values": ["NA"]},
     {"schema_overrides": {"zip": pl.String}, "null_values": ["NA"]}),
    (CLEAN, {"null_values": ["NA"], "n_rows": 2}, {"null_values": ["NA"], "n_rows": 2}),
    (CLEAN, {"n_rows": 0}, {"n_rows": 0}),
    (CLEAN, {"n_rows": 1, "header": False}, {"n_rows": 1, "has_header": False}),
    (PREAMBLE, {"skip_rows": 2, "null_values": "NA", "columns": ["name", "when"]},
     {"skip_rows": 2, "null_values": "NA", "columns": ["name", "when"]}),
    (CLEAN, {"try_parse_dates": False, "columns": ["when"]}, {"try_parse_dates": False, "columns": ["when"]}),
    (CLEAN, {"try_parse_dates": True, "columns": ["when"]}, {"try_parse_dates": True, "columns": ["when"]}),
    (SEMICOLON, {"decimal_comma": True}, {"separator": ";", "decimal_comma": True}),
    (SEMICOLON, {"decimal_comma": False}, {"separator": ";", "decimal_comma": False}),
]


def rows_of(frame, names=True):
    return frame.columns if names else None, frame.rows()


@pytest.mark.parametrize("text, ours, theirs", POLARS)
def test_polars_options_read_as_polars_reads_them(tmp_path, text, ours, theirs):
    path = tmp_path / "clean.csv"
    path.write_text(text)
    expected = pl.read_csv(path, **{"try_parse_dates": True, **theirs})  # ours types dates by default
    got = csv_gleave.read_polars(path, **ours)
    names = ours.get("header", True)  # unnamed columns count from 1 here
    assert rows_of(got, names) == rows_of(expected, names)
    assert got.schema == expected.schema or "schema_overrides" not in ours
    arrow_ours = dict(ours)
    if "schema_overrides" in ours:
        arrow_ours["schema_overrides"] = {name: pa.string() if dtype in (str, pl.String) else pa.float32()
                                          for name, dtype in ours["schema_overrides"].items()}
    assert rows_of(pl.from_arrow(csv_gleave.read_arrow(path, **arrow_ours)), names) == rows_of(expected, names)


# (file, read_pandas' options in pandas' names, pandas.read_csv's options)
PANDAS = [
    # pandas reads "NA" as missing unless told otherwise; csv_gleave keeps text unless told.
    (CLEAN, {"usecols": ["name", "amount"], "na_values": ["NA"]}, {"usecols": ["name", "amount"]}),
    (CLEAN, {"usecols": lambda name: name.startswith("a"), "na_values": "NA"},
     {"usecols": lambda name: name.startswith("a")}),
    (CLEAN, {"dtype": {"zip": str}, "na_values": ["NA"], "usecols": ["zip", "name"]},
     {"dtype": {"zip": str}, "na_values": ["NA"], "usecols": ["zip", "name"]}),
    (CLEAN, {"dtype": str, "na_values": "NA"}, {"dtype": str}),
    (CLEAN, {"dtype": "float64", "usecols": ["zip", "amount"], "na_values": "NA"},
     {"dtype": "float64", "usecols": ["zip", "amount"]}),
    (CLEAN, {"dtype": {"amount": "float32"}, "na_values": "NA", "usecols": ["amount"]},
     {"dtype": {"amount": "float32"}, "usecols": ["amount"]}),
    (CLEAN, {"nrows": 2, "usecols": ["zip", "amount"], "dtype": {"zip": str}},
     {"nrows": 2, "usecols": ["zip", "amount"], "dtype": {"zip": str}}),
    (PREAMBLE, {"skiprows": 2, "usecols": ["flag"]}, {"skiprows": 2, "usecols": ["flag"]}),
    (SEMICOLON, {"decimal": ","}, {"sep": ";", "decimal": ","}),
    (CLEAN, {"parse_dates": False, "usecols": ["when"]}, {"usecols": ["when"]}),
]


@pytest.mark.parametrize("text, ours, theirs", PANDAS)
def test_pandas_options_read_as_pandas_reads_them(tmp_path, text, ours, theirs):
    path = tmp_path / "clean.csv"
    path.write_text(text)
    expected = pd.read_csv(path, **theirs)
    got = csv_gleave.read_pandas(path, **ours)
    assert list(got.columns) == list(expected.columns)
    as_objects = [frame.astype(object).where(frame.notna(), None).values.tolist() for frame in (got, expected)]
    assert as_objects[0] == as_objects[1]
    dtypes = ours.get("dtype", {})
    for name, dtype in (dtypes if isinstance(dtypes, dict) else dict.fromkeys(got.columns, dtypes)).items():
        assert (got[name].dtype == dtype) or dtype is str


@pytest.mark.parametrize("read, call, error", [
    ("read_arrow", {"schema_overrides": {"name": pa.int64()}}, r"column 'name' does not convert to int64"),
    ("read_polars", {"schema_overrides": {"name": pl.Int64}}, r"column 'name' does not convert to Int64"),
    ("read_pandas", {"dtype": {"name": "int64"}}, r"column 'name' does not convert to int64"),
    ("read_arrow", {"schema_overrides": {"nope": pa.int64()}}, r"names no column.*'nope'"),
    ("read_polars", {"columns": ["nope"]}, r"no column 'nope' in the file"),
    ("read_pandas", {"usecols": [9]}, r"no column 9 in the file"),
    ("read_arrow", {"schema_overrides": {"zip": "no such type"}}, TypeError),
    ("read_pandas", {"nrows": 1, "n_rows": 1}, TypeError),
    ("read_polars", {"n_rows": -1}, r"n_rows must be 0 or more"),
    ("read_arrow", {"skip_rows": 1, "preamble_lines": 1}, TypeError),
    ("read_polars", {"null_values": {"zip": "NA"}}, TypeError),
])
def test_options_that_cannot_be_met_say_why(tmp_path, read, call, error):
    path = tmp_path / "clean.csv"
    path.write_text(CLEAN)
    kind, match = (error, None) if isinstance(error, type) else (ValueError, error)
    with pytest.raises(kind, match=match):
        getattr(csv_gleave, read)(path, **call)


def test_n_rows_stops_the_read(tmp_path):
    path = tmp_path / "long.csv"
    path.write_text("a,b\n" + "".join(f"{i},{i}\n" for i in range(100_000)) + "1,2,3,4\n")
    stream = csv_gleave.arrow_stream(path, n_rows=10)
    # The summary counts what was read: the bad row at the end never was.
    assert stream.num_rows == 10 and stream.summary.total_rows < 100 and stream.summary.quarantined_rows == 0


# A file with one row of every kind the loaders keep out of the table.
DAMAGED = (
    "Quarterly export\n"
    "id,name,amount\n"
    "1,Ann,10\n"
    "2,Bob,20\n"
    "id,name,amount\n"
    "3,Cy,30\n"
    "# checked by Ann\n"
    "4,Di,40,x,y\n"
    "5,Ed,50\n"
    "6,Flo,60\n"
    "7,Gus,70\n"
    "8,Hal,80\n"
)

LOADERS = {
    "read_arrow": lambda path, **kw: csv_gleave.read_arrow(path, **kw),
    "read_polars": lambda path, **kw: csv_gleave.read_polars(path, **kw),
    "read_pandas": lambda path, **kw: csv_gleave.read_pandas(path, **kw),
    "arrow_stream": lambda path, **kw: csv_gleave.arrow_stream(path, **kw),
    "write_table_file": lambda path, **kw: csv_gleave.write_table_file(path, kw.pop("out"), **kw),
}


def summary_of(name, result):
    if name == "read_arrow":
        return json.loads(result.schema.metadata[b"csv_gleave.summary"])
    if name == "read_pandas":
        return result.attrs["csv_gleave"]
    if name == "arrow_stream":
        return result.summary.to_dict()
    if name == "write_table_file":
        return result.to_dict()
    return None


def pipe_of(text):
    """A pipe's read end holding `text` (small enough for the pipe's buffer), its write end closed."""
    read_end, write_end = os.pipe()
    os.write(write_end, text.encode())
    os.close(write_end)
    return read_end


@pytest.mark.parametrize("fd", ["path", "descriptor", "pipe"])
@pytest.mark.parametrize("name", LOADERS)
def test_loaders_never_drop_silently(tmp_path, monkeypatch, name, fd):
    path = tmp_path / "damaged.csv"
    path.write_text(DAMAGED)
    options = {"merge_overflow": False, **({"out": tmp_path / "t.parquet"} if name == "write_table_file" else {})}
    reference = csv_gleave.gleave_file(path, tmp_path / "ref.csv", tmp_path / "ref.q", merge_overflow=False)
    assert reference.quarantined_rows >= 3
    quarantine = tmp_path / "loader.q"
    source = os.open(path, os.O_RDONLY) if fd == "descriptor" else pipe_of(DAMAGED) if fd == "pipe" else path
    try:
        with pytest.warns(csv_gleave.RowsSetAsideWarning) as caught:
            result = LOADERS[name](source, quarantine_path=quarantine, **options)
    finally:
        if fd != "path":
            os.close(source)
    assert quarantine.read_bytes() == (tmp_path / "ref.q").read_bytes()
    warning = caught[0].message
    expected = {"quarantined_rows": 4, "preamble_rows": 1, "repeated_header_rows": 1, "comment_rows": 1,
                "wrong_width_rows": 1}
    assert warning.counts == expected == {key: value for key, value in reference.to_dict().items()
                                          if key in warning.counts} | {"wrong_width_rows": 1}
    assert f"{reference.quarantined_rows} rows" in str(warning) and str(quarantine) in str(warning)
    assert caught[0].filename == __file__  # points at the caller's line
    assert warning.summary.to_dict() == reference.to_dict()
    if summary_of(name, result) is not None:
        assert summary_of(name, result) == json.loads(json.dumps(reference.to_dict()))
    # Read a window at a time with the types from a head of two rows, a
    # pipe's rows are counted as the consumer reads the stream: the warning
    # comes once, at the end of that reading.
    monkeypatch.setenv("GLEAVE_HELD_INPUT_BYTES", "0")
    monkeypatch.setenv("GLEAVE_TYPE_HEAD_ROWS", "2")
    source = pipe_of(DAMAGED) if fd == "pipe" else path
    with pytest.warns(csv_gleave.RowsSetAsideWarning, match="give quarantine_path=") as caught:
        result = LOADERS[name](source, **options)
        if name == "arrow_stream":
            for _ in range(2):
                pa.RecordBatchReader.from_stream(result).read_all()
    assert len(caught) == 1 and caught[0].filename == __file__
    if fd == "pipe":
        os.close(source)


def test_clean_files_warn_of_nothing_and_skipped_lines_are_asked_for(tmp_path):
    path = tmp_path / "clean.csv"
    path.write_text(PREAMBLE)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        frame = csv_gleave.read_polars(path, skip_rows=2, quarantine_path=tmp_path / "q.csv")
    assert frame.height == 4 and (tmp_path / "q.csv").read_text().count("\n") == 3  # header and the two lines


def test_quarantine_never_overwrites_the_input(tmp_path):
    path = tmp_path / "damaged.csv"
    path.write_text(DAMAGED)
    for spelling in (path, str(path), f"file://{path}", tmp_path / "." / "damaged.csv"):
        with pytest.raises(ValueError, match="names the input"):
            csv_gleave.read_arrow(path, quarantine_path=spelling)
    with pytest.raises(ValueError, match="names the table file"):
        csv_gleave.write_table_file(path, tmp_path / "t.parquet", quarantine_path=str(tmp_path / "t.parquet"))
    assert path.read_text() == DAMAGED and not (tmp_path / "t.parquet").exists()


def test_exact_text_from_a_pipe(tmp_path):
    # A text override needs a second read: a pipe is copied aside first.
    read_end, write_end = os.pipe()
    os.write(write_end, CLEAN.encode())
    os.close(write_end)
    try:
        frame = csv_gleave.read_polars(read_end, schema_overrides={"zip": pl.String}, try_parse_dates=False)
    finally:
        os.close(read_end)
    assert frame["zip"].to_list() == ["10001", "94105", "60601", "12134"]
    assert frame["when"].to_list()[0] == "2024-01-02" and frame["amount"].dtype == pl.String  # "NA" is text


def messy_rows(count):
    for i in range(count):
        yield (f'{i},"note {i}\nspans lines",{i * 0.5}\n' if i % 7 == 0 else
               f"{i},short\n" if i % 11 == 0 else f"{i},plain {i},{i}.25,extra\n" if i % 13 == 0 else
               f"{i},café {i},{i}\n")


@pytest.mark.parametrize("n", [0, 1, 997, 20_000, 60_000])
def test_n_rows_from_a_head_equals_the_whole_files_first_rows(tmp_path, monkeypatch, n):
    path = tmp_path / "big.csv"
    path.write_text("id,text,value\n" + "".join(messy_rows(50_000)), encoding="utf-8")
    options = {"n_rows": n, "merge_overflow": False}
    with pytest.warns(csv_gleave.RowsSetAsideWarning) if n > 13 else warnings.catch_warnings():
        whole = csv_gleave.arrow_stream(path, quarantine_path=tmp_path / "whole.q", **options)
    # Read a window at a time, the read stops at the rows asked for.
    monkeypatch.setenv("GLEAVE_HELD_INPUT_BYTES", "0")
    with pytest.warns(csv_gleave.RowsSetAsideWarning) if n > 13 else warnings.catch_warnings():
        head = csv_gleave.arrow_stream(path, quarantine_path=tmp_path / "head.q", **options)
    assert pa.table(head).equals(pa.table(whole)) and head.summary.to_dict() == whole.summary.to_dict()
    assert (tmp_path / "head.q").read_bytes() == (tmp_path / "whole.q").read_bytes()


@pytest.mark.parametrize("batch_size", [1, 7, 65_536])
def test_iter_batches_are_the_tables_rows_in_order(tmp_path, batch_size):
    path = tmp_path / "d.csv"
    path.write_text(DAMAGED)
    with pytest.warns(csv_gleave.RowsSetAsideWarning):
        batches = list(csv_gleave.iter_batches(path, batch_size=batch_size, n_rows=6))
    assert all(0 < batch.num_rows <= batch_size for batch in batches)
    with pytest.warns(csv_gleave.RowsSetAsideWarning):
        assert pa.Table.from_batches(batches).equals(csv_gleave.read_arrow(path, n_rows=6).replace_schema_metadata())
    with pytest.raises(ValueError):
        csv_gleave.iter_batches(path, batch_size=0)
