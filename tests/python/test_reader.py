import errno
import os
import weakref

import pytest

import _csv_gleave_backend as m
from conftest import EXAMPLE_ROWS, os_error_text

EXIT = "GleaveReader.__exit__()"
MAKERS = [m.open, m.GleaveReader]


@pytest.fixture(params=MAKERS, ids=["open", "GleaveReader"])
def make(request):
    return request.param


def test_open_and_class_agree(example):
    a, b = m.open("in.csv"), m.GleaveReader("in.csv")
    assert type(a) is type(b) is m.GleaveReader
    assert a.summary.to_dict() == b.summary.to_dict()
    assert list(a) == list(b) == EXAMPLE_ROWS


def test_iteration_protocol(example, make):
    r = make("in.csv")
    assert iter(r) is r
    assert len(r) == 4
    assert next(r) == EXAMPLE_ROWS[0]
    assert len(r) == 4  # the number held, not the number left
    assert list(r) == EXAMPLE_ROWS[1:]
    for _ in range(3):  # exhausted stays exhausted
        with pytest.raises(StopIteration):
            next(r)
    assert list(r) == [] and list(iter(r)) == []
    assert len(r) == 4


def test_rows_are_fresh_lists_of_str(tmp, make):
    (tmp / "in.csv").write_bytes(b"a,b\n\xc3\xa9,\xff\n,\n")
    rows = list(make("in.csv"))
    assert rows == [["a", "b"], ["\xe9", "\ufffd"], ["", ""]]
    assert all(type(row) is list and all(type(f) is str for f in row) for row in rows)
    rows2 = list(make("in.csv"))
    assert all(x is not y for x, y in zip(rows, rows2))
    rows[0].append("changed")
    assert rows2[0] == ["a", "b"]


def test_summary(example, make):
    r = make("in.csv", fill_ragged_rows=False)
    s1, s2 = r.summary, r.summary
    assert s1 is not s2 and type(s1) is m.GleaveSummary
    assert s1.to_dict() == s2.to_dict() == {
        "total_rows": 4, "gleaved_rows": 3, "repaired_rows": 1, "quarantined_rows": 1,
        "detected_delimiter": ";", "inferred_columns": 3}
    assert len(r) == 3 and ["2", "Bob"] not in list(r)  # quarantined rows are only counted
    assert r.summary.to_dict() == s1.to_dict()  # iterating changes no count


def test_empty_file(tmp, make):
    (tmp / "in.csv").write_bytes(b"")
    r = make("in.csv", delimiter=";", expected_columns=3)
    assert len(r) == 0
    with pytest.raises(StopIteration):
        next(r)
    assert repr(r.summary) == ("<GleaveSummary total_rows=0 gleaved_rows=0 repaired_rows=0 "
                               "quarantined_rows=0 delimiter=',' inferred_columns=0>")


def test_context_manager(example, make):
    with make("in.csv") as r:
        assert r.__enter__() is r
        assert next(r) == EXAMPLE_ROWS[0]
    assert list(r) == EXAMPLE_ROWS[1:]  # __exit__ releases nothing
    with pytest.raises(KeyError, match="inside"):
        with make("in.csv"):
            raise KeyError("inside")


@pytest.mark.parametrize("args, kwargs, text", [
    ((), {}, None),
    ((None, None, None), {}, None),
    ((1, 2, 3), {}, None),
    ((), {"_exc_tb": 3, "_exc_type": 1, "_exc_val": 2}, None),
    ((1, 2, 3, 4), {}, f"{EXIT} takes from 0 to 3 positional arguments but 4 were given"),
    ((), {"exc_type": 1}, f"{EXIT} got an unexpected keyword argument 'exc_type'"),
    ((1,), {"_exc_type": 1}, f"{EXIT} got multiple values for argument '_exc_type'"),
    ((1,), {"_exc_type": 1, "x": 2}, f"{EXIT} got an unexpected keyword argument 'x'"),
])
def test_exit_binding(example, fails, args, kwargs, text):
    r = m.open("in.csv")
    if text is None:
        assert r.__exit__(*args, **kwargs) is False
    else:
        fails(lambda: r.__exit__(*args, **kwargs), TypeError, text)
    assert len(r) == 4


def test_enter_takes_no_arguments(example):
    with pytest.raises(TypeError):
        m.open("in.csv").__enter__(None)


# (path, exception class exactly, text)
FILE_ERRORS = [
    ("missing.csv", FileNotFoundError, os_error_text(errno.ENOENT)),
    ("", FileNotFoundError, os_error_text(errno.ENOENT)),
    ("d", IsADirectoryError, os_error_text(errno.EISDIR)),
    ("in.csv/x", NotADirectoryError, os_error_text(errno.ENOTDIR)),
    ("in\0.csv", OSError, "file name contained an unexpected NUL byte"),
    ("loop", OSError, os_error_text(errno.ELOOP)),
]


@pytest.mark.parametrize("path, exc, text", FILE_ERRORS)
def test_file_errors(example, fails, make, path, exc, text):
    os.mkdir("d")
    os.symlink("loop", "loop")
    err = fails(lambda: make(path), exc, text)
    assert (err.errno, err.strerror, err.filename) == (None, None, None)


@pytest.mark.skipif(os.geteuid() == 0, reason="root ignores permission bits")
def test_unreadable_file(example, fails, make):
    os.chmod("in.csv", 0)
    fails(lambda: make("in.csv"), PermissionError, os_error_text(errno.EACCES))


def test_memory_exhaustion(example, fails, make):
    fails(lambda: make("in.csv", expected_columns=10**12), MemoryError)
    r = make("in.csv", expected_columns=10**12, fill_ragged_rows=False)
    assert len(r) == 0 and r.summary.quarantined_rows == 4


def test_class_properties(example):
    cls = m.GleaveReader
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    r = cls("in.csv")
    with pytest.raises(AttributeError):
        r.extra = 1
    with pytest.raises(AttributeError):
        r.summary = None
    with pytest.raises(TypeError):
        weakref.ref(r)
    assert cls.summary.__doc__ is None
    assert not hasattr(r, "__dict__")
    assert type(cls) is type and cls.__base__ is object
    assert repr(r).startswith("<builtins.GleaveReader object at 0x")


RUNAWAY_ROWS = [["id", "name", "value"], ["1", '"stray', "10"]] + [
    [str(i), "n%d" % i, "1"] for i in range(2, 100001)]


def test_runaway_quote_reads_every_line(tmp):
    # A stray opening quote on line 2 of a 100,001-line file: every line is
    # still a row, in the reader, the file repair and the sniffer alike.
    text = "".join(",".join(r) + "\n" for r in RUNAWAY_ROWS)
    (tmp / "in.csv").write_text(text)
    rows = list(m.open("in.csv"))
    assert len(rows) == 100001 and rows[:3] == RUNAWAY_ROWS[:3] and rows[-1] == RUNAWAY_ROWS[-1]
    s = m.gleave_file("in.csv", "out.csv", "q.csv", expected_columns=2, merge_overflow=False)
    assert (s.total_rows, s.quarantined_rows) == (100001, 100001)
    with open("q.csv", "rb") as f:
        assert f.read().split(b"\n")[1:3] == [
            b'1,"Row has extra columns (expected 2)","id,name,value"',
            b'2,"Row has extra columns (expected 2)","1,""stray,10"']
    assert m.sniff('a;"b\nc;d\ne;f\n') == ";"
