"""DataFrame rescue: read_pandas / read_polars on files strict readers reject."""

import sys
from pathlib import Path

import pytest

import csv_gleave

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "ragged.csv"
READERS = [("pandas", csv_gleave.read_pandas), ("polars", csv_gleave.read_polars)]


def table(frame):
    """(column names, rows) of a pandas or polars frame, values as Python objects."""
    if hasattr(frame, "to_dict") and hasattr(frame, "iloc"):
        return list(frame.columns), frame.astype(object).where(frame.notna(), None).values.tolist()
    return list(frame.columns), [list(row) for row in frame.rows()]


def all_strings(lib, frame):
    if lib == "polars":
        import polars as pl
        return all(dtype == pl.Utf8 for dtype in frame.dtypes)
    return all(frame[c].map(type).eq(str).all() for c in frame.columns)


@pytest.mark.parametrize("lib, read", READERS)
def test_reads_the_file_the_strict_reader_rejects(lib, read):
    strict = pytest.importorskip(lib)
    with pytest.raises(Exception) as excinfo:  # pandas: ParserError, polars: ComputeError
        strict.read_csv(EXAMPLE)
    assert "field" in str(excinfo.value).lower() or "column" in str(excinfo.value).lower()
    frame = read(EXAMPLE, infer_types=False)
    names, rows = table(frame)
    assert names == ["order_id", "customer", "city", "amount"] and len(rows) == 7
    assert rows[1] == ["1002", "Bob Stone", "Leeds", ""]                        # padded
    assert rows[3] == ["1004", "Dee", "Paris", "12.50,gift wrap,express"]       # merged
    assert rows[4][2] == "New\nYork" and rows[2][1] == 'Cy "The Hat" Ray'
    assert all_strings(lib, frame)


# (file text, read options, expected column names, expected rows)
CASES = [
    ("a,,a,b,a.1\n1,2,3,4,5\n", {}, ["a", "Unnamed: 1", "a.2", "b", "a.1"], [["1", "2", "3", "4", "5"]]),
    ("x,y\n1,2\n", {"header": False}, ["column_1", "column_2"], [["x", "y"], ["1", "2"]]),
    # Without a width rule the cells a short row lacks are missing, not empty.
    ("x\n1,2,3\n4\n", {"expected_columns": 0}, ["x", "Unnamed: 1", "Unnamed: 2"], [["1", "2", "3"], ["4", None, None]]),
    ("h1;h2\n1;2;3\n4\n", {"merge_overflow": False, "fill_ragged_rows": False}, ["h1", "h2"], []),
    ("h1|h2\n1|2\n", {"delimiter": "|"}, ["h1", "h2"], [["1", "2"]]),
    ("h1,h2\n", {}, ["h1", "h2"], []),
    ("", {}, [], []),
]


@pytest.mark.parametrize("lib, read", READERS)
@pytest.mark.parametrize("text, options, names, rows", CASES)
def test_header_and_options(tmp_path, lib, read, text, options, names, rows):
    pytest.importorskip(lib)
    path = tmp_path / "f.csv"
    path.write_text(text)
    assert table(read(path, infer_types=False, **options)) == (names, rows)


@pytest.mark.parametrize("lib, read", READERS)
def test_missing_library_names_the_extra(monkeypatch, tmp_path, lib, read):
    monkeypatch.setitem(sys.modules, lib, None)  # makes `import lib` raise ImportError
    with pytest.raises(ImportError, match=rf"pip install 'csv-gleave\[{lib}\]'"):
        read(EXAMPLE)


def test_file_errors_and_bad_options_pass_through(tmp_path):
    pytest.importorskip("pandas")
    with pytest.raises(FileNotFoundError):
        csv_gleave.read_pandas(tmp_path / "missing.csv")
    with pytest.raises(TypeError):
        csv_gleave.read_pandas(EXAMPLE, fill_ragged_rows=1)
