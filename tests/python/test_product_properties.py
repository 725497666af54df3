"""Property tests of the package's own entry points: whatever the bytes and
options, the reader, the file repair and the Arrow stream give the same rows;
clean tables go through read_arrow unchanged; and where the package's rules
coincide with the core module's, both repair a file to the same rows.
"""
import csv
import io
import os
import tempfile

import pytest

pytest.importorskip("hypothesis")
pa = pytest.importorskip("pyarrow")
from hypothesis import HealthCheck, assume, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import _csv_gleave_backend as core  # noqa: E402
import csv_gleave  # noqa: E402

EXAMPLES = int(os.environ.get("GLEAVE_PROPERTY_EXAMPLES", "200"))
SETTINGS = settings(max_examples=EXAMPLES, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow])

pieces = st.sampled_from([b",", b";", b"\t", b"|", b'"', b"'", b" ", b"\n", b"\r\n", b"\n\n",
                          b"\xef\xbb\xbf", b"\xc3\xa9", b"\xff", b"a", b"12", b"1.5", b"x y"])
csv_bytes = st.lists(st.one_of(pieces, st.binary(max_size=3)), max_size=60).map(b"".join)
options = st.fixed_dictionaries({}, optional={
    "delimiter": st.sampled_from([",", ";", "\t", "|"]),
    "quote_char": st.sampled_from(['"', "'"]),
    "fill_ragged_rows": st.booleans(),
    "merge_overflow": st.booleans(),
    "expected_columns": st.integers(1, 6),
    "repair_quotes": st.booleans(),
})


def scratch(data):
    directory = tempfile.mkdtemp()
    path = os.path.join(directory, "in.csv")
    with open(path, "wb") as f:
        f.write(data)
    return directory, path


def plain(value):
    return value.decode("utf-8", "replace") if isinstance(value, bytes) else value


def stream_rows(path, opts):
    stream = csv_gleave.arrow_stream(path, header=False, infer_types=False, **opts)
    columns = [[plain(v) for v in c.to_pylist()] for c in pa.table(stream).columns]
    rows = [[c[r] for c in columns] for r in range(stream.num_rows)]
    # Cells a short row lacks (no width rule) are null.
    return [[v for v in row if v is not None] for row in rows], stream.summary.to_dict()


@SETTINGS
@given(data=csv_bytes, opts=options)
def test_reader_file_and_stream_agree(data, opts):
    directory, path = scratch(data)
    with csv_gleave.open(path, **opts) as reader:
        rows = list(reader)
        summary = reader.summary.to_dict()
    out = os.path.join(directory, "out.csv")
    written = csv_gleave.gleave_file(path, out, os.path.join(directory, "q.csv"), **opts)
    assert written.to_dict() == summary
    assert summary["total_rows"] == summary["gleaved_rows"] + summary["quarantined_rows"]
    assert len(rows) == summary["gleaved_rows"]
    streamed, stream_summary = stream_rows(path, opts)
    assert stream_summary == summary
    assert streamed == rows
    with open(out, encoding="utf-8", newline="") as f:
        back = list(csv.reader(f, delimiter=summary["detected_delimiter"],
                               quotechar=summary["quote_char"] or '"'))
    assert back == rows


cell = st.text(st.characters(codec="utf-8", exclude_characters="\x00\r\n"), max_size=8)


# Open since the multi-row header detection: "a,aa\n:,\n0,\n,\n" reads its
# first data row as a second header row (names "a :" and "aa").
@pytest.mark.xfail(strict=False, reason="a data row taken for a second header row")
@SETTINGS
@given(names=st.lists(st.from_regex(r"[a-z]{1,6}", fullmatch=True), min_size=1, max_size=5, unique=True),
       data=st.data())
def test_clean_tables_read_back_unchanged(names, data):
    rows = data.draw(st.lists(st.lists(cell, min_size=len(names), max_size=len(names)),
                              min_size=1, max_size=20))
    buffer = io.StringIO()
    csv.writer(buffer, lineterminator="\n").writerows([names] + rows)
    directory, path = scratch(buffer.getvalue().encode())
    table = csv_gleave.read_arrow(path, delimiter=",", expected_columns=len(names),
                                  infer_types=False, preamble_lines=0)
    assert table.column_names == names
    assert [[("" if v is None else v) for v in r.values()] for r in table.to_pylist()] == rows


# Open divergence, for the owners of the two passes to settle: after a closed
# quote, '""\t,' (delimiter ';') is '\t,' to the package and ',' to the core.
@pytest.mark.xfail(strict=False, reason="blanks after a closing quote: package keeps them, core drops them")
@SETTINGS
@given(data=csv_bytes, opts=options, delimiter=st.sampled_from([",", ";", "\t", "|"]),
       width=st.integers(1, 6))
def test_package_and_core_repair_alike_where_their_rules_coincide(data, opts, delimiter, width):
    # An empty file: the core reports no width, the package the one given.
    assume(data and not data.startswith(b"\xef\xbb\xbf"))
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        assume(False)
    opts = dict(opts, delimiter=delimiter, expected_columns=width)
    opts.setdefault("quote_char", '"')
    directory, path = scratch(data)
    mine, theirs = os.path.join(directory, "mine.csv"), os.path.join(directory, "core.csv")
    summary = csv_gleave.gleave_file(path, mine, mine + ".q", encoding="utf-8", preamble_lines=0,
                                     skip_initial_space=False, escape_char=None, **opts)
    # Rules of the package's own: blank lines, other tables, notes, repeated
    # headers, and a header one name short (its missing name added).
    assume(summary.blank_rows == summary.other_table_rows == summary.footnote_rows
           == summary.repeated_header_rows == 0 and not summary.header)
    reference = core.gleave_file(path, theirs, theirs + ".q", **opts)
    for field in ("total_rows", "gleaved_rows", "repaired_rows", "quarantined_rows",
                  "inferred_columns", "detected_delimiter"):
        assert getattr(summary, field) == getattr(reference, field), field
    # The same rows; the package may keep a row's own spelling (",\"\"" for ","),
    # and a row of one empty field is an empty line or a quoted nothing.
    def rows(path):
        with open(path, encoding="utf-8", newline="") as f:
            return [row or [""] for row in csv.reader(f, quotechar=opts["quote_char"])]
    assert rows(mine) == rows(theirs)
