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
