"""Files whose structure goes beyond one header and rows of one dialect:
quotes escaped with a backslash, headers of several rows, several tables in
one file and footnotes, read right with no option given and nothing lost."""

import csv
import io

import pytest

import csv_gleave as cg


def _repair(tmp, data, **options):
    (tmp / "in.csv").write_bytes(data)
    s = cg.gleave_file("in.csv", "out.csv", "q.csv", **options)
    out = (tmp / "out.csv").read_bytes().decode()
    with open(tmp / "q.csv", newline="", encoding="utf-8") as f:
        quarantine = list(csv.DictReader(f))
    return s, out, quarantine


def _strict(text, delimiter=","):
    return list(csv.reader(io.StringIO(text, newline=""), delimiter=delimiter))


# ------------------------------------------------------------ escape character

# name, input, delimiter, escape detected, the rows a strict reader gets back
# from the repaired file.
ESCAPES = [
    ("escaped_quotes", b'id,text,n\n1,"say \\"hi\\" now",3\n2,"plain, comma",4\n3,"x \\"y\\", z",5\n',
     ",", "\\", [["id", "text", "n"], ["1", 'say "hi" now', "3"], ["2", "plain, comma", "4"],
                 ["3", 'x "y", z', "5"]]),
    ("escaped_backslash_and_path", b'a;b\n1;"C:\\\\dir \\"x\\""\n2;"C:\\tmp"\n3;"\\"q\\""\n',
     ";", "\\", [["a", "b"], ["1", 'C:\\dir "x"'], ["2", "C:\\tmp"], ["3", '"q"']]),
    ("escaped_line_break_kept", b'id,text\n1,"two\nlines \\"q\\""\n2,"x"\n3,"\\"y\\""\n',
     ",", "\\", [["id", "text"], ["1", 'two\nlines "q"'], ["2", "x"], ["3", '"y"']]),
    # Doubled quotes and a path ending in a backslash: no escape.
    ("doubled_quotes", b'id,text\n1,"say ""hi"""\n2,"x \\"\n3,"y"\n', ",", None,
     [["id", "text"], ["1", 'say "hi"'], ["2", "x \\"], ["3", "y"]]),
    ("backslash_before_closing_quote", b'id,path\n1,"C:\\dir\\"\n2,"D:\\"\n3,"E:\\x\\"\n', ",", None,
     [["id", "path"], ["1", "C:\\dir\\"], ["2", "D:\\"], ["3", "E:\\x\\"]]),
]


@pytest.mark.parametrize("data, delimiter, escape, rows", [e[1:] for e in ESCAPES],
                         ids=[e[0] for e in ESCAPES])
def test_escaped_quotes_are_read_and_written_doubled(tmp, data, delimiter, escape, rows):
    assert cg.detect(data).escape_char == escape
    s, out, quarantine = _repair(tmp, data)
    # A dialect, not a repair: nothing counted, the output is standard CSV.
    assert (s.repaired_rows, s.quarantined_rows, quarantine) == (0, 0, [])
    assert _strict(out, delimiter) == rows
    assert list(cg.open("in.csv")) == rows


@pytest.mark.parametrize("options, escape, escaped", [
    ({"escape_char": None}, None, False),  # told there is none: the quotes are stray
    ({"escape_char": "\\"}, "\\", True),
    ({"escape_char": "~"}, "~", False),  # an escape the file does not use changes nothing
])
def test_escape_char_given(tmp, options, escape, escaped):
    data = b'id,text\n1,"say \\"hi\\""\n2,"x"\n'
    assert cg.detect(data, **options).escape_char == escape
    (tmp / "in.csv").write_bytes(data)
    got = list(cg.open("in.csv", **options))
    assert (got[1] == ["1", 'say "hi"']) == escaped
    if not escaped:
        assert got == list(cg.open("in.csv", escape_char=None))


@pytest.mark.parametrize("options, exc", [
    ({"escape_char": "ab"}, ValueError),
    ({"escape_char": 3}, TypeError),
    ({"escape_char": ",", "delimiter": ","}, ValueError),
    ({"escape_char": "'", "quote_char": "'"}, ValueError),
])
def test_bad_escape_char(options, exc):
    with pytest.raises(exc):
        cg.detect(b"a,b\n1,2\n", **options)


def test_cli_escape_char(tmp):
    from csv_gleave.cli import main
    (tmp / "in.csv").write_bytes(b'id,text\n1,"say \\"hi\\""\n2,"x"\n')
    assert main(["repair", "in.csv", "-o", "out.csv", "--escape-char", "none"]) == 0
    assert _strict((tmp / "out.csv").read_text())[1] != ["1", 'say "hi"']
    assert main(["repair", "in.csv", "-o", "out.csv"]) == 0
    assert _strict((tmp / "out.csv").read_text())[1] == ["1", 'say "hi"']


# ------------------------------------------------------------ headers of several rows

DATA = "Ann,1.5,2,3,4\nBob,2.5,3,4,5\nCy,3,4,5,6\n"
YEARS = ["name", "2019 q1", "2019 q2", "2020 q1", "2020 q2"]

# name, input, the rows the header spans, the loaders' column names.
HEADERS = [
    ("group_row", ",2019,,2020,\nname,q1,q2,q1,q2\n" + DATA, 2, YEARS),
    ("group_row_cut_short", ",2019,,2020\nname,q1,q2,q1,q2\n" + DATA, 2, YEARS),
    ("units_below", "name,q1,q2,q3,q4\n,kg,kg,%,%\n" + DATA, 2,
     ["name", "q1 kg", "q2 kg", "q3 %", "q4 %"]),
    ("three_rows", ",2019,,2020,\nname,q1,q2,q1,q2\n,EUR,EUR,EUR,EUR\n" + DATA, 3,
     [n + (" EUR" if i else "") for i, n in enumerate(YEARS)]),
    # One header row: data rows missing their values keep their text in the
    # text columns, and a plain header stays as it is.
    ("missing_values_below", "name,score\nAnna,\nBob,\nCy,3\nDan,4\n", 1, ["name", "score"]),
    ("plain", "name,a,b,c,d\n" + DATA, 1, ["name", "a", "b", "c", "d"]),
    ("text_only_rows", "name,city\nAnn,Oslo\nBob,Rome\n", 1, ["name", "city"]),
    # Full rows of text above the values: data whose values did not read as
    # values (quoted numbers with a grouping comma), not a header.
    ("quoted_grouped_numbers", 'name,money,city\nrick,"100,000.00",ams\nlo,"300,000.20",ams\n'
     'helly,"50",ams\npat,"99.20",ams\n', 1, ["name", "money", "city"]),
    ("repeated_names", "name,a,b,c,d\nName,A,B,C,D\n" + DATA, 1, ["name", "a", "b", "c", "d"]),
]


@pytest.mark.parametrize("text, header_rows, names", [h[1:] for h in HEADERS],
                         ids=[h[0] for h in HEADERS])
def test_header_of_several_rows_is_one_header_in_the_loaders(tmp, text, header_rows, names):
    data = text.encode()
    d = cg.detect(data)
    assert d.header_rows == header_rows and (d.header or header_rows == 1)
    s, out, quarantine = _repair(tmp, data)
    # The repaired file keeps every header row as a row, at the table's width.
    assert quarantine == [] and s.quarantined_rows == 0
    back = _strict(out)
    assert len(back) == text.count("\n") and {len(r) for r in back} == {len(names)}
    assert back[header_rows:] == _strict(text)[header_rows:]
    table = cg.read_arrow("in.csv")
    assert table.column_names == names
    assert table.num_rows == len(back) - header_rows
    assert list(cg.read_pandas("in.csv").columns) == names
    assert cg.read_polars("in.csv").columns == names
    # Without a header every row is data.
    assert cg.read_arrow("in.csv", header=False).num_rows == len(back)


@pytest.mark.parametrize("text", [
    "a;b\n# note\n1;3\n6;7\n8;9\n",  # a comment line under the header
    '"100,000.00"\n"300,000.20"\n"50"\n"9.20"\n',  # one column
    "id,name,score\n1,Anna,\n2,Bob,3\n3,Cy,4\n",  # values from the first row
])
def test_one_header_row(text):
    assert cg.detect(text.encode()).header_rows == 1


# ------------------------------------------------------------ several tables

MAIN = "id,name,score\n1,Ann,2.5\n2,Bob,3.5\n3,Cy,4\n"
OTHER = "region,total\nNorth,10\nSouth,20\n"
PRE, TAB = "Preamble line above the table", "Row of another table in the file"
REP = "Repeated header row"
ROWS = MAIN.split("\n", 1)[1]  # MAIN's rows below its header

# name, input, tables, kept rows (the table), the reason of each quarantined line.
TABLES = [
    ("blank_then_table", MAIN + "\n" + OTHER, 2, MAIN, [TAB] * 3),
    ("title_then_table", MAIN + "\nTotals by region\n" + OTHER, 2, MAIN, [TAB] * 4),
    ("title_without_blank", MAIN + "Totals by region\n" + OTHER, 2, MAIN, [TAB] * 4),
    ("three_tables", MAIN + "\n" + OTHER + "\nTable 3\na,b,c,d\n1,2,3,4\n", 3, MAIN, [TAB] * 6),
    ("notes_below_other_table", MAIN + "\n" + OTHER + "\nx;y\na,b,c,d\n1,2,3,4\n", 2, MAIN, [TAB] * 6),
    ("small_table_above", OTHER + "\n" + MAIN, 2, MAIN, [TAB] * 3),
    ("notes_above", "Report,2021\nAuthor,Bob\n\n" + MAIN, 2, MAIN, [PRE] * 2),
    # Written right under the first, with no blank line: a header of names
    # one column narrower or wider over steady rows of its own width.
    ("back_to_back_narrower", MAIN + OTHER + "East,30\n", 2, MAIN, [TAB] * 4),
    ("back_to_back_wider", MAIN + "a,b,c,d\n1,2,3,4\n2,3,4,5\n", 2, MAIN, [TAB] * 3),
    ("same_width_new_header", MAIN + "\nregion,city,total\nNorth,Oslo,10\nSouth,Rome,20\n", 2, MAIN,
     [TAB] * 3),
    # Tables of other widths leave the tab unsteady, while the blanks in
    # the names split every row in two: the typed tab reading still wins.
    ("tabs_with_blanks_in_text", "id\tdate\tcity\tname\tnum\n"
     + "".join(f"{i}\t2020-01-0{i}\tOslo\tAnn Lee\t{i}.5\n" for i in range(1, 8))
     + "\nInt 0\tname\n" + "".join(f"{i}\tTom Ray\n" for i in range(1, 6))
     + "\nint_0\tName 1\tn\tdate\n1\tJo Li\t1\t2020-01-01\n2\tAl Bo\t2\t2020-01-02\n",
     3, None, [TAB] * 9),
    # One table: a blank line inside it, a block of the same width with its
    # own header (a repeated header), ragged rows with no steady width, and
    # a one-row block.
    ("blank_inside", MAIN + "\n4,Dan,5\n5,Eve,6\n", 1, MAIN + "4,Dan,5\n5,Eve,6\n", []),
    ("repeated_header", MAIN + "\n" + MAIN, 1, MAIN + ROWS, [REP]),
    ("ragged_after_blank", MAIN + "\nnote,x\n7\n8,a,b,c,d\n", 1, None, []),
    ("one_row_block", MAIN + "\nsum,total\n", 1, MAIN + 'sum,total,\n', []),
]


@pytest.mark.parametrize("text, tables, kept, reasons", [t[1:] for t in TABLES],
                         ids=[t[0] for t in TABLES])
def test_several_tables_keep_the_largest_and_quarantine_the_rest(tmp, text, tables, kept, reasons):
    d = cg.detect(text.encode())
    assert d.tables == tables
    s, out, quarantine = _repair(tmp, text.encode())
    assert [r["reason"] for r in quarantine] == reasons
    if kept is not None:
        assert out == kept
    # Nothing lost: every non-blank line is kept or quarantined, as it was.
    lines = [x for x in text.split("\n") if x]
    assert s.total_rows == len(lines) and s.quarantined_rows == len(reasons)
    assert s.gleaved_rows + s.quarantined_rows == len(lines)
    remaining = iter(lines)  # the quarantined lines, in the order they stand in the input
    assert all(any(x == r["raw_content"] for x in remaining) for r in quarantine)
    assert s.other_table_rows == reasons.count(TAB) and s.tables == tables
    assert s.repeated_header_rows == reasons.count(REP)
    # The loaders read the table alone.
    if kept is not None:
        assert cg.read_arrow("in.csv").num_rows == len(kept.splitlines()) - 1


# name, input, the kept rows, how many rows repeat the header.
REPEATS = [
    # Files put together from several exports repeat the header: set aside,
    # the columns below keep their types.
    ("concatenated", MAIN * 3, MAIN + ROWS * 2, 2),
    ("crlf", MAIN.replace("\n", "\r\n") * 2, MAIN + ROWS, 1),
    ("quoted", '"id","name"\n1,Ann\n"id","name"\n2,Bob\n3,Cy\n', '"id","name"\n1,Ann\n2,Bob\n3,Cy\n', 1),
    # Not to the letter, or no header of names to repeat: kept as rows.
    ("other_spelling", MAIN + "ID,name,score\n", MAIN + "ID,name,score\n", 0),
    ("no_header", "1,2\n3,4\n1,2\n5,6\n", "1,2\n3,4\n1,2\n5,6\n", 0),
    ("one_column", "name\nAnn\nname\nBob\n", "name\nAnn\nname\nBob\n", 0),
]


@pytest.mark.parametrize("text, kept, repeats", [r[1:] for r in REPEATS], ids=[r[0] for r in REPEATS])
def test_repeated_header_rows_are_set_aside(tmp, text, kept, repeats):
    s, out, quarantine = _repair(tmp, text.encode())
    assert out == kept
    assert s.repeated_header_rows == repeats == len(quarantine) == s.quarantined_rows
    assert all(r["reason"] == REP for r in quarantine)
    # The reader and the loaders keep the same rows as the file.
    assert list(cg.open("in.csv")) == _strict(kept)
    if repeats:
        assert cg.read_arrow("in.csv").num_rows == len(kept.splitlines()) - 1


def test_tables_in_inspect(tmp):
    from csv_gleave.cli import main
    (tmp / "in.csv").write_text(MAIN + "\n" + OTHER)
    found = cg.inspect("in.csv")
    assert (found["dialect"]["tables"], found["dialect"]["other_table_line"]) == (2, 6)
    assert found["summary"].other_table_rows == 3
    assert main(["inspect", "in.csv"]) == 0
    from csv_gleave.cli import warnings_for
    assert any("2 tables" in w for w in warnings_for(found["summary"].to_dict()))


# ------------------------------------------------------------ footnotes

FOOT = "Footnote line below the table"


@pytest.mark.parametrize("text, reasons", [
    (MAIN + "\nSource: statistics office\n* provisional\n", [FOOT, FOOT]),
    (MAIN + "Source: statistics office\n", [FOOT]),
    (MAIN + "\nNotes\n", [FOOT]),  # one word, after a blank line
    (MAIN + "\nSource: office\n\n" + OTHER, [FOOT, TAB, TAB, TAB]),
    # Under a column of names a note needs a mark of its own.
    ("name,city,n\nAnn Lee,Oslo,1\nBob Ray,Rome,2\nSource: statistics office\n", [FOOT]),
    ("name,city,n\nAnn Lee,Oslo,1\nBob Ray,Rome,2\n* provisional figures\n", [FOOT]),
    # Rows, not notes: a cut-off value, a lone word, a table of two columns,
    # a short row of a name under names.
    (MAIN + "4\n", []),
    (MAIN + "Dan\n", []),
    ("id,name\n1,Ann\n2,Bob\n3,Cy\nSource: office\n", []),
    ("name,city,n\nAnn Lee,Oslo,1\nBob Ray,Rome,2\nGus Olsen\n", []),
])
def test_footnotes_are_quarantined_with_their_reason(tmp, text, reasons):
    s, out, quarantine = _repair(tmp, text.encode())
    assert [r["reason"] for r in quarantine] == reasons
    assert s.footnote_rows == reasons.count(FOOT)
    lines = [x for x in text.split("\n") if x]
    assert s.gleaved_rows + s.quarantined_rows == s.total_rows == len(lines)
    assert (cg.detect(text.encode()).footnote_line != 0) == (FOOT in reasons)


# ------------------------------------------------------------ do no harm

def _rows(text):
    return _strict(text)


BIG = "id,name,n\n" + "".join(f"{i},y,{i}\n" for i in range(3000))
SMALL = "a,b\n" + "".join(f"{i},x\n" for i in range(300))
EXPORT = "id,name,n\n1,a,2\n2,b,3\n3,c,4\n"
SECOND = "4,d,5\n5,e,6\n"

# name, input, options, the rows the repaired file holds, the reasons of the
# quarantined lines. Structure rules set a row aside only on strong evidence;
# short of it the row stays in the table, padded and counted.
HARMLESS = [
    ("short_last_row", "name,city,amount\nAnn Lee,Oslo,1\nBob Ray,Rome,2\nCy Day,Bonn,3\nGus Olsen\n",
     {}, _rows("name,city,amount\nAnn Lee,Oslo,1\nBob Ray,Rome,2\nCy Day,Bonn,3\nGus Olsen,,\n"), []),
    ("short_last_row_quoted",
     'name,city,amount\n"Ann Lee","Oslo",1\n"Bob Ray","Rome",2\n"Cy Day","Bonn",3\n"Gus Olsen"\n', {},
     _rows("name,city,amount\nAnn Lee,Oslo,1\nBob Ray,Rome,2\nCy Day,Bonn,3\nGus Olsen,,\n"), []),
    ("repeated_value", "id\nBob Stone\nBob Stone\n0\n", {},
     [["id"], ["Bob Stone"], ["Bob Stone"], ["0"]], []),
    ("second_header_quoted", EXPORT + '\n"id","name","n"\n' + SECOND, {},
     _rows(EXPORT + SECOND), [REP]),
    ("second_header_case", EXPORT + "\nID,Name,N\n" + SECOND, {}, _rows(EXPORT + SECOND), [REP]),
    ("second_header_blanks", EXPORT + "\nid, name, n\n" + SECOND, {}, _rows(EXPORT + SECOND), [REP]),
    ("back_to_back", EXPORT + '"id","name","n"\n' + SECOND, {}, _rows(EXPORT + SECOND), [REP]),
    ("two_headers_on_top", "id,name,n\n" + EXPORT, {}, _rows(EXPORT), [REP]),
    ("short_header_not_filled", "a,b\n1,2,3\n4,5,6\n7,8,9\n", {"fill_ragged_rows": False},
     [["", "a", "b"], ["1", "2", "3"], ["4", "5", "6"], ["7", "8", "9"]], []),
    ("other_table_with_line_break", 'k,v\n1,"two\nlines"\n2,x\n\n' + EXPORT + SECOND, {},
     _rows(EXPORT + SECOND), [TAB] * 3),
    ("stacked_blocks", "Report A,,\n" + EXPORT + ",,\nReport B,,\nid,name,n\n" + SECOND + ",,\n", {},
     _rows(EXPORT + SECOND), [PRE, PRE, PRE, REP, PRE]),
    ("stacked_titles", "Report A\n" + EXPORT + "\nReport B\nid,name,n\n" + SECOND, {},
     _rows(EXPORT + SECOND), [PRE, PRE, REP]),
    ("padded_title", "Report,,,,\n,,,,\nid,name,n,m,\n1,a,2,3,\n2,b,3,4,\n3,c,4,5,\n", {},
     _rows("id,name,n,m,\n1,a,2,3,\n2,b,3,4,\n3,c,4,5,\n"), [PRE, PRE]),
    ("runaway_among_quoted", 'id,name,n\n1,"abc,2\n3,"def",4\n5,"g",6\n', {},
     [["id", "name", "n"], ["1", '"abc', "2"], ["3", "def", "4"], ["5", "g", "6"]], []),
]


def _case(h):
    return pytest.param(*h[1:], id=h[0])


@pytest.mark.parametrize("text, options, rows, reasons", [_case(h) for h in HARMLESS])
def test_structure_rules_do_no_harm(tmp, text, options, rows, reasons):
    s, out, quarantine = _repair(tmp, text.encode(), **options)
    assert _strict(out) == rows
    assert [r["reason"] for r in quarantine] == reasons
    # Every non-blank row is kept or set aside, and each set-aside row is
    # counted under its reason.
    assert s.gleaved_rows == len(rows) and s.quarantined_rows == len(reasons)
    assert s.repeated_header_rows == reasons.count(REP)
    assert s.preamble_rows == reasons.count(PRE) and s.other_table_rows == reasons.count(TAB)
    assert s.footnote_rows == 0
    assert s.runaway_quotes == text.count('"abc')
    from csv_gleave.cli import warnings_for
    assert any("ran on" in w for w in warnings_for(s.to_dict())) == bool(s.runaway_quotes)
    # The reader keeps the same rows as the file.
    assert list(cg.open("in.csv", **options)) == rows


def test_largest_table_is_judged_on_the_whole_file(tmp):
    # The sample sees 300 rows of the first table and fewer of the second:
    # no row of the larger table may be set aside on that evidence.
    s, out, quarantine = _repair(tmp, (SMALL + "\n" + BIG).encode())
    kept = {tuple(r) for r in _strict(out)}
    assert {tuple(r) for r in _strict(BIG)[1:]} <= kept
    assert s.quarantined_rows <= 301
    assert s.gleaved_rows + s.quarantined_rows == s.total_rows == 3302
    # Read whole, the text settles it: the larger table is the table.
    assert cg.read_arrow("in.csv").num_rows == 3000
    assert cg.detect((SMALL + "\n" + BIG).encode()).preamble_lines == 302


# Files past the detection sample, whose sample sees a table followed by
# another: which is largest, and which lines under it are notes, is settled
# on the whole file before a row is set aside. name, input, the rows kept,
# the reasons of the set-aside lines (a count each).
WEATHER = "date,city,temp\n" + "".join(f"2020-01-0{i % 9 + 1},c{i},{i % 40}.5\n"
                                        for i in range(100_000))
SMALL3 = "id,name,score\n" + "".join(f"{i},n{i},{i * 3}\n" for i in range(300))
WIDE = "k,v\n" + "".join(f"{i},{'x' * 300}\n" for i in range(200))
LARGE_PAST_SAMPLE = [
    ("small_then_large", SMALL3 + "\n" + WEATHER, WEATHER, {TAB: 301}),
    ("large_first", SMALL3.replace(",n", ",name ") + "\n" + WIDE, SMALL3.replace(",n", ",name "),
     {TAB: 201}),
    ("notes_under_the_large", SMALL3 + "\n" + WEATHER + "\nSource: the weather office\n", WEATHER,
     {TAB: 301, FOOT: 1}),
]


@pytest.mark.parametrize("text, kept, reasons", [_case(c) for c in LARGE_PAST_SAMPLE])
def test_largest_table_past_the_sample(tmp, text, kept, reasons):
    s, out, quarantine = _repair(tmp, text.encode())
    assert out == kept
    assert {r: [q["reason"] for q in quarantine].count(r) for r in reasons} == reasons
    assert s.quarantined_rows == len(quarantine) == sum(reasons.values())
    assert s.other_table_rows == reasons.get(TAB, 0) and s.footnote_rows == reasons.get(FOOT, 0)
    # The reader and the loaders read the same table, and say what they set aside.
    assert list(cg.open("in.csv")) == _strict(kept)
    # detect() gives the repair's answer, from a path and from a descriptor
    # it leaves where it was.
    d = cg.detect("in.csv")
    assert (d.tables, d.header, d.expected_width) == (s.tables, s.header, s.inferred_columns)
    assert d.preamble_lines == text[: text.index(kept)].count("\n")
    with open("in.csv", "rb") as f:
        assert cg.detect(f.fileno()) == d and f.tell() == 0
    with pytest.warns(cg.RowsSetAsideWarning):
        assert cg.read_arrow("in.csv").num_rows == kept.count("\n") - 1
    # A pipe cannot be read twice: short of the whole text, its tables stay
    # one table, padded and counted, and nothing is set aside.
    import os
    import threading
    r, w = os.pipe()
    feed = threading.Thread(target=lambda: (os.write(w, text.encode()), os.close(w)))
    feed.start()
    try:
        p = cg.gleave_file(r, "p.csv", "pq.csv")
    finally:
        feed.join()
        os.close(r)
    assert p.total_rows == s.total_rows
    assert p.gleaved_rows + p.quarantined_rows == p.total_rows and p.other_table_rows == 0


# ------------------------------------------------------------ property: consistent tables pass

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import assume, given, settings, strategies as st  # noqa: E402

NAMES = ["id", "name", "city", "amount", "date", "note", "code"]
CELLS = st.one_of(
    st.integers(-10**6, 10**6).map(str),
    st.sampled_from(["", "", "Ann Lee", "Bob", "Gus Olsen", "Oslo", "2021-03-04", "12:30",
                     "1.5", "Source: office", "* provisional", "a, b", "two\nlines", 'say "hi"',
                     "x;y", "N/A"]))


@st.composite
def consistent_tables(draw):
    width = draw(st.integers(2, 5))
    header = draw(st.permutations(NAMES))[:width]
    rows = draw(st.lists(st.lists(CELLS, min_size=width, max_size=width), min_size=1, max_size=30))
    norm = [n.lower() for n in header]
    assume(all([c.strip().lower() for c in r] != norm for r in rows))
    return [header] + rows


@settings(max_examples=int(__import__("os").environ.get("GLEAVE_PROPERTY_EXAMPLES", "200")),
          deadline=None)
@given(table=consistent_tables(), delimiter=st.sampled_from([",", ";", "\t", "|"]))
def test_a_consistent_table_comes_back_as_that_table(tmp_path_factory, table, delimiter):
    tmp = tmp_path_factory.mktemp("t")
    buf = io.StringIO(newline="")
    csv.writer(buf, delimiter=delimiter, lineterminator="\n").writerows(table)
    (tmp / "in.csv").write_text(buf.getvalue(), newline="")
    s = cg.gleave_file(str(tmp / "in.csv"), str(tmp / "out.csv"), str(tmp / "q.csv"))
    assert s.quarantined_rows == 0 and s.runaway_quotes == 0
    out = (tmp / "out.csv").read_bytes().decode()
    assert _strict(out, s.detected_delimiter) == table
