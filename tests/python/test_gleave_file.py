import errno
import os

import pytest

import _csv_gleave_backend as m
from conftest import EXAMPLE, EXAMPLE_OUT, QUARANTINE_HEADER, os_error_text

NUL_TEXT = "file name contained an unexpected NUL byte"
SAME_AS_OUTPUT = "quarantine path is the same file as the output path"
SAME_AS_INPUT = "quarantine path is the same file as the input path"


def read(path):
    with open(path, "rb") as f:
        return f.read()


def test_worked_example(example):
    s = m.gleave_file("in.csv", "out.csv", "q.csv")
    assert repr(s) == str(s) == ("<GleaveSummary total_rows=4 gleaved_rows=4 repaired_rows=2 "
                                 "quarantined_rows=0 delimiter=';' inferred_columns=3>")
    assert read("out.csv") == EXAMPLE_OUT
    assert read("q.csv") == QUARANTINE_HEADER


def test_defaults_write_no_quarantine(example):
    assert m.gleave_file("in.csv", "out.csv").total_rows == 4
    assert sorted(os.listdir()) == ["in.csv", "out.csv"]
    assert read("out.csv") == EXAMPLE_OUT


def q(*lines):
    return QUARANTINE_HEADER + b"".join(lines)


TOO_FEW = b'"Row has too few columns (expected %d)"'
EXTRA = b'"Row has extra columns (expected %d)"'

# (input, options, output file, quarantine file, (total, gleaved, repaired, quarantined,
#  delimiter, columns))
FORMATS = [
    (b"", {}, b"", q(), (0, 0, 0, 0, ",", 0)),
    (b"", {"delimiter": ";", "expected_columns": 5}, b"", q(), (0, 0, 0, 0, ",", 0)),
    (b"\xef\xbb\xbf", {"delimiter": ";"}, b"", q(), (0, 0, 0, 0, ";", 0)),
    (EXAMPLE, {"fill_ragged_rows": False, "merge_overflow": False},
     b"id;name;city\n1;Ann;Oslo\n",
     q(b"3," + TOO_FEW % 3 + b',"2;Bob"\n', b"4," + EXTRA % 3 + b',"3;Cy;Rome;extra"\n'),
     (4, 2, 0, 2, ";", 3)),
    (EXAMPLE, {"expected_columns": 0}, EXAMPLE, q(), (4, 4, 0, 0, ";", 0)),
    (EXAMPLE, {"expected_columns": 1}, b'"id;name;city"\n"1;Ann;Oslo"\n"2;Bob"\n"3;Cy;Rome;extra"\n',
     q(), (4, 4, 4, 0, ";", 1)),
    (b"a,b\n", {"expected_columns": 2**64 - 1, "fill_ragged_rows": False}, b"",
     q(b"1," + b'"Row has too few columns (expected 18446744073709551615)","a,b"\n'),
     (1, 0, 0, 1, ",", 2**64 - 1)),
    (b"a,b\n\"x\"\"y\",2,3\n", {"merge_overflow": False}, b"a,b\n",
     q(b"2," + EXTRA % 2 + b',"x""y,2,3"\n'), (2, 1, 0, 1, ",", 2)),
    (b"a,b\n,\n  ,\n\"\",x\n", {}, b"a,b\n,\n  ,\n,x\n", q(), (4, 4, 0, 0, ",", 2)),
    (b"a;b\nc,d;e\n", {}, b"a;b\nc,d;e\n", q(), (2, 2, 0, 0, ";", 2)),
    (b"a\tb\n1\t2\n", {}, b"a\tb\n1\t2\n", q(), (2, 2, 0, 0, "\t", 2)),
    (b'"a\rb","c\nd",e\r\n', {"delimiter": ","}, b'"a\rb","c\nd",e\n', q(), (1, 1, 0, 0, ",", 3)),
    (b"'a,b','it''s',\"q\"\n", {"quote_char": "'", "expected_columns": 3},
     b"'a,b','it''s',\"q\"\n", q(), (1, 1, 0, 0, ",", 3)),
    (b"a,b\n'x;y',z,w\n", {"quote_char": "'", "merge_overflow": False}, b"a,b\n",
     q(b"2," + EXTRA % 2 + b',"x;y,z,w"\n'), (2, 1, 0, 1, ",", 2)),
    (b"\xef\xbb\xbfa,\xff\nk\xc3\xa9,\xe2\x82\n", {}, b"a,\xef\xbf\xbd\nk\xc3\xa9,\xef\xbf\xbd\n",
     q(), (2, 2, 0, 0, ",", 2)),
    (b"h,i\n" + b"x" * 9000 + b",y\n" + b"z,w", {}, b"h,i\n" + b"x" * 9000 + b",y\nz,w\n", q(),
     (3, 3, 0, 0, ",", 2)),
]


@pytest.mark.parametrize("data, options, output, quarantine, counts", FORMATS)
def test_output_formats(tmp, data, options, output, quarantine, counts):
    (tmp / "in.csv").write_bytes(data)
    s = m.gleave_file("in.csv", "out.csv", "q.csv", **options)
    assert read("out.csv") == output
    assert read("q.csv") == quarantine
    assert (s.total_rows, s.gleaved_rows, s.repaired_rows, s.quarantined_rows,
            s.detected_delimiter, s.inferred_columns) == counts


def test_many_rows_cross_the_write_buffer(tmp):
    rows = [f"{i},{'v' * (i % 97)},\"q\"\"{i}\"" for i in range(5000)]
    (tmp / "in.csv").write_text("\n".join(rows) + "\n")
    m.gleave_file("in.csv", "out.csv", "q.csv", fill_ragged_rows=False)
    assert read("out.csv").decode().splitlines() == rows
    assert read("q.csv") == QUARANTINE_HEADER


KEEP = {"out.csv": b"keep me\n"}
DONE = {"out.csv": EXAMPLE_OUT}
# (arguments, error text, files afterwards besides in.csv, its links and d/); out.csv
# exists beforehand.
OS_ERRORS = [
    (("missing.csv", "out.csv", "q.csv"), os_error_text(errno.ENOENT), KEEP),
    (("", "out.csv"), os_error_text(errno.ENOENT), KEEP),
    (("d", "out.csv", "q.csv"), os_error_text(errno.EISDIR), KEEP),
    (("in.csv\0", "out.csv"), NUL_TEXT, KEEP),
    (("in.csv", "no/out.csv"), os_error_text(errno.ENOENT), KEEP),
    (("in.csv", "d"), os_error_text(errno.EISDIR), KEEP),
    (("in.csv", "out\0.csv", "q.csv"), NUL_TEXT, KEEP),
    (("in.csv", "out.csv", ""), os_error_text(errno.ENOENT), DONE),
    (("in.csv", "out.csv", "no/q.csv"), os_error_text(errno.ENOENT), DONE),
    (("in.csv", "out.csv", "d"), os_error_text(errno.EISDIR), DONE),
    (("in.csv", "out.csv", "q\0"), NUL_TEXT, DONE),
    # A quarantine file that is the output or the input is refused up front.
    (("in.csv", "out.csv", "out.csv"), SAME_AS_OUTPUT, KEEP),
    (("in.csv", "out.csv", "./out.csv"), SAME_AS_OUTPUT, KEEP),
    (("in.csv", "out.csv", "out-link.csv"), SAME_AS_OUTPUT, KEEP),
    (("in.csv", "new.csv", "new.csv"), SAME_AS_OUTPUT, KEEP),
    (("in.csv", "d/../new.csv", "new.csv"), SAME_AS_OUTPUT, KEEP),
    (("in.csv", "out.csv", "in.csv"), SAME_AS_INPUT, KEEP),
    (("in.csv", "out.csv", "d/../in.csv"), SAME_AS_INPUT, KEEP),
    (("in.csv", "out.csv", "in-link.csv"), SAME_AS_INPUT, KEEP),
    (("in.csv", "in.csv", "in.csv"), SAME_AS_OUTPUT, KEEP),
]


@pytest.mark.parametrize("args, text, files", OS_ERRORS)
def test_os_errors(example, fails, args, text, files):
    os.mkdir("d")
    os.link("in.csv", "in-link.csv")
    os.symlink("out.csv", "out-link.csv")
    with open("out.csv", "wb") as f:
        f.write(b"keep me\n")
    err = fails(lambda: m.gleave_file(*args), OSError, text)
    assert (err.errno, err.strerror, err.filename) == (None, None, None)
    assert read("in.csv") == EXAMPLE
    links = ("in.csv", "d", "in-link.csv", "out-link.csv")
    assert {n: read(n) for n in os.listdir() if n not in links} == files
    assert os.listdir("d") == []


@pytest.mark.skipif(os.geteuid() == 0, reason="root ignores permission bits")
def test_output_in_read_only_directory(example, fails):
    os.mkdir("ro", 0o500)
    fails(lambda: m.gleave_file("in.csv", "ro/out.csv"), OSError, os_error_text(errno.EACCES))


@pytest.mark.parametrize("output", ["in.csv", "./in.csv", "d/../in.csv", "link.csv"])
def test_repair_in_place(example, output):
    os.mkdir("d")
    os.symlink("in.csv", "link.csv")
    os.chmod("in.csv", 0o640)
    s = m.gleave_file("in.csv", output, "q.csv")
    assert s.gleaved_rows == 4 and s.repaired_rows == 2
    assert read("in.csv") == EXAMPLE_OUT
    assert os.stat("in.csv").st_mode & 0o777 == 0o640
    assert os.readlink("link.csv") == "in.csv"  # a link named as output stays a link
    assert sorted(os.listdir()) == ["d", "in.csv", "link.csv", "q.csv"]  # no temporary left


@pytest.mark.parametrize("output", ["out.csv", "in.csv"])
def test_memory_exhaustion_raises(example, fails, output):
    # Padding every row to 10**12 fields cannot be allocated: the interpreter
    # must survive it, and an in-place repair must leave the input whole.
    fails(lambda: m.gleave_file("in.csv", output, expected_columns=10**12), MemoryError)
    assert read("in.csv") == EXAMPLE
    assert all(n in ("in.csv", "out.csv") for n in os.listdir())
    assert m.gleave_file("in.csv", "out.csv").gleaved_rows == 4
