import os
import pathlib

import pytest

import _csv_gleave_backend as m
from conftest import EXAMPLE

G, O, R = "gleave_file", "open", "GleaveReader"
ALL = (G, O, R)
READERS = (O, R)
FUNCS = {G: m.gleave_file, O: m.open, R: m.GleaveReader}
NAMES = {G: "gleave_file()", O: "open()", R: "GleaveReader.__new__()"}
FIRST = {G: "input_path", O: "file_path", R: "file_path"}
# The paths of a call whose case gives only options.
PATHS = {G: ("in.csv", "out.csv"), O: ("in.csv",), R: ("in.csv",)}


class First:
    """Positional values: PATHS with the first path replaced by `value`."""
    def __init__(self, value):
        self.value = value


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Str(str):
    pass


MISSING = "{} missing {} required positional {}: {}"
TOO_MANY = "{{}} takes from {} to {} positional arguments but {} were given"
UNEXPECTED = "{{}} got an unexpected keyword argument '{}'"
MULTIPLE = "{{}} got multiple values for argument '{}'"
NOT_STR = "'{}' object is not an instance of 'str'"
NOT_BOOL = "'{}' object is not an instance of 'bool'"
NONE_STR = "'None' is not an instance of 'str'"
NONE_BOOL = "'None' is not an instance of 'bool'"
NOT_INT = "'{}' object cannot be interpreted as an integer"
NEGATIVE = "can't convert negative int to unsigned"
TOO_BIG = "int too big to convert"

# One faulty value per option, in parameter order.
BAD = [("delimiter", 1), ("quote_char", None), ("fill_ragged_rows", 1),
       ("merge_overflow", 0), ("expected_columns", -1), ("repair_quotes", 1)]

# (callables, positional values (None: PATHS), keywords, exception, text, noted parameter)
# "{}" in a text is the callable's name; "@" as the noted parameter is the first path.
CASES = [
    # Binding.
    ((G,), (), {}, TypeError, MISSING.format("{}", 2, "arguments", "'input_path' and 'output_path'"), None),
    ((G,), ("in.csv",), {}, TypeError, MISSING.format("{}", 1, "argument", "'output_path'"), None),
    ((G,), (), {"output_path": "o"}, TypeError, MISSING.format("{}", 1, "argument", "'input_path'"), None),
    (READERS, (), {}, TypeError, MISSING.format("{}", 1, "argument", "'file_path'"), None),
    (READERS, (), {"delimiter": ","}, TypeError, MISSING.format("{}", 1, "argument", "'file_path'"), None),
    ((G,), ("a",) * 10, {}, TypeError, TOO_MANY.format(2, 9, 10), None),
    ((G,), (1,) * 12, {}, TypeError, TOO_MANY.format(2, 9, 12), None),
    (READERS, ("a",) * 8, {}, TypeError, TOO_MANY.format(1, 7, 8), None),
    (ALL, None, {"foo": 1}, TypeError, UNEXPECTED.format("foo"), None),
    (ALL, None, {"Delimiter": ","}, TypeError, UNEXPECTED.format("Delimiter"), None),
    ((G,), None, {"file_path": "x"}, TypeError, UNEXPECTED.format("file_path"), None),
    (READERS, None, {"input_path": "x"}, TypeError, UNEXPECTED.format("input_path"), None),
    ((G,), None, {"input_path": "x"}, TypeError, MULTIPLE.format("input_path"), None),
    ((G,), None, {"output_path": "x"}, TypeError, MULTIPLE.format("output_path"), None),
    (READERS, None, {"file_path": "x"}, TypeError, MULTIPLE.format("file_path"), None),
    ((G,), ("i", "o", None, ";"), {"delimiter": ","}, TypeError, MULTIPLE.format("delimiter"), None),
    (READERS, ("i", ";"), {"delimiter": ","}, TypeError, MULTIPLE.format("delimiter"), None),
    # Binding faults come before any conversion, an unknown keyword before a repeated one.
    (ALL, None, {"fill_ragged_rows": 1, "foo": 1}, TypeError, UNEXPECTED.format("foo"), None),
    ((G,), None, {"input_path": "x", "foo": 1}, TypeError, UNEXPECTED.format("foo"), None),
    (READERS, (None,), {"file_path": None, "foo": 1}, TypeError, UNEXPECTED.format("foo"), None),
    ((G,), (1,) * 10, {}, TypeError, TOO_MANY.format(2, 9, 10), None),
    # Paths: str (or a subclass) only.
    (ALL, First(1), {}, TypeError, NOT_STR.format("int"), "@"),
    (ALL, First(None), {}, TypeError, NONE_STR, "@"),
    (ALL, First(b"in.csv"), {}, TypeError, NOT_STR.format("bytes"), "@"),
    (ALL, First(pathlib.Path("in.csv")), {}, TypeError, NOT_STR.format("PosixPath"), "@"),
    (ALL, First("\ud800"), {}, UnicodeEncodeError, None, "@"),
    ((G,), ("in.csv", None), {}, TypeError, NONE_STR, "output_path"),
    ((G,), ("in.csv", pathlib.Path("o")), {}, TypeError, NOT_STR.format("PosixPath"), "output_path"),
    ((G,), ("in.csv", "out.csv", 1), {}, TypeError, NOT_STR.format("int"), "quarantine_path"),
    ((G,), None, {"quarantine_path": b"q"}, TypeError, NOT_STR.format("bytes"), "quarantine_path"),
    ((G,), (1, 2, 3), {}, TypeError, NOT_STR.format("int"), "input_path"),
    ((G,), ("in.csv", 2, 3), {}, TypeError, NOT_STR.format("int"), "output_path"),
    (ALL, First(1), {"quote_char": None}, TypeError, NOT_STR.format("int"), "@"),
    # delimiter and quote_char: str, first character ASCII.
    (ALL, None, {"delimiter": 1}, TypeError, NOT_STR.format("int"), "delimiter"),
    (ALL, None, {"delimiter": b";"}, TypeError, NOT_STR.format("bytes"), "delimiter"),
    (ALL, None, {"delimiter": "é"}, ValueError, "delimiter must be an ASCII character", "delimiter"),
    (ALL, None, {"delimiter": "\xa6"}, ValueError, "delimiter must be an ASCII character", "delimiter"),
    (ALL, None, {"delimiter": "€;"}, ValueError, "delimiter must be an ASCII character", "delimiter"),
    (ALL, None, {"delimiter": "\ud800"}, UnicodeEncodeError, None, "delimiter"),
    (ALL, None, {"quote_char": None}, TypeError, NONE_STR, "quote_char"),
    (ALL, None, {"quote_char": 34}, TypeError, NOT_STR.format("int"), "quote_char"),
    (ALL, None, {"quote_char": "é"}, ValueError, "quote_char must be an ASCII character", "quote_char"),
    (ALL, None, {"quote_char": "\U0001f600"}, ValueError,
     "quote_char must be an ASCII character", "quote_char"),
    # Bools: True or False only.
    (ALL, None, {"fill_ragged_rows": 1}, TypeError, NOT_BOOL.format("int"), "fill_ragged_rows"),
    (ALL, None, {"fill_ragged_rows": 0}, TypeError, NOT_BOOL.format("int"), "fill_ragged_rows"),
    (ALL, None, {"fill_ragged_rows": None}, TypeError, NONE_BOOL, "fill_ragged_rows"),
    (ALL, None, {"fill_ragged_rows": "yes"}, TypeError, NOT_BOOL.format("str"), "fill_ragged_rows"),
    (ALL, None, {"merge_overflow": 0}, TypeError, NOT_BOOL.format("int"), "merge_overflow"),
    (ALL, None, {"merge_overflow": 1.0}, TypeError, NOT_BOOL.format("float"), "merge_overflow"),
    (ALL, None, {"repair_quotes": 1}, TypeError, NOT_BOOL.format("int"), "repair_quotes"),
    (ALL, None, {"repair_quotes": None}, TypeError, NONE_BOOL, "repair_quotes"),
    # expected_columns: an unsigned 64-bit count through the index protocol.
    (ALL, None, {"expected_columns": -1}, OverflowError, NEGATIVE, "expected_columns"),
    (ALL, None, {"expected_columns": Index(-1)}, OverflowError, NEGATIVE, "expected_columns"),
    (ALL, None, {"expected_columns": 2**64}, OverflowError, TOO_BIG, "expected_columns"),
    (ALL, None, {"expected_columns": 1.5}, TypeError, NOT_INT.format("float"), "expected_columns"),
    (ALL, None, {"expected_columns": "3"}, TypeError, NOT_INT.format("str"), "expected_columns"),
    # The first faulty value in parameter order is the one reported, whatever
    # the keyword order.
    *[(ALL, None, dict(reversed(BAD[i:])), OverflowError if name == "expected_columns"
       else TypeError, None, name) for i, (name, _) in enumerate(BAD)],
]


@pytest.mark.parametrize("name, args, kwargs, exc, text, note", [
    pytest.param(name, *case[1:], id=f"{name}-{i}")
    for i, case in enumerate(CASES) for name in case[0]])
def test_argument_faults(tmp, fails, name, args, kwargs, exc, text, note):
    if args is None:
        args = PATHS[name]
    elif isinstance(args, First):
        args = (args.value,) + PATHS[name][1:]
    text = text and text.replace("{}", NAMES[name])
    note = FIRST[name] if note == "@" else note
    # Faults are reported before any file is opened: a missing input does not
    # show, and an existing one leaves nothing created beside it.
    fails(lambda: FUNCS[name](*args, **kwargs), exc, text, note)
    assert os.listdir(tmp) == []
    (tmp / "in.csv").write_bytes(EXAMPLE)
    fails(lambda: FUNCS[name](*args, **kwargs), exc, text, note)
    assert os.listdir(tmp) == ["in.csv"]


try:
    import numpy
except ImportError:  # the numpy spellings are skipped
    numpy = None
with_numpy = pytest.mark.skipif(numpy is None, reason="needs numpy")

# Spellings that must behave exactly like their plainer twin.
SAME = [
    ({"delimiter": ""}, {"delimiter": None}),
    ({"delimiter": ";x"}, {"delimiter": ";"}),
    ({"delimiter": Str(";")}, {"delimiter": ";"}),
    ({"quote_char": ""}, {"quote_char": '"'}),
    ({"quote_char": "'é"}, {"quote_char": "'"}),
    ({"expected_columns": None}, {}),
    ({"expected_columns": Index(2)}, {"expected_columns": 2}),
    ({"expected_columns": True}, {"expected_columns": 1}),
    ({"expected_columns": 0}, {"expected_columns": False}),
    pytest.param({"expected_columns": numpy and numpy.int64(2)}, {"expected_columns": 2},
                 marks=with_numpy),
    pytest.param({"fill_ragged_rows": numpy and numpy.bool_(False)},
                 {"fill_ragged_rows": False}, marks=with_numpy),
    pytest.param({"merge_overflow": numpy and numpy.False_}, {"merge_overflow": False},
                 marks=with_numpy),
    pytest.param({"repair_quotes": numpy and numpy.bool_(True)}, {"repair_quotes": True},
                 marks=with_numpy),
]
SAME_INPUT = EXAMPLE + b'4;"Di" x;Lund\n5;E"v;"a\n'


def outcome(name, result):
    """What a call yields, seen from Python: the summary and the rows."""
    if name == G:
        return result.to_dict(), pathlib.Path("out.csv").read_bytes()
    return result.summary.to_dict(), list(result)


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize("given, plain", SAME)
def test_equivalent_values(tmp, name, given, plain):
    (tmp / "in.csv").write_bytes(SAME_INPUT)
    call = FUNCS[name]
    assert outcome(name, call(*PATHS[name], **given)) == \
        outcome(name, call(*PATHS[name], **plain))


@pytest.mark.parametrize("name", ALL)
def test_all_by_keyword_equals_all_by_position(tmp, name):
    (tmp / "in.csv").write_bytes(SAME_INPUT)
    paths = {"input_path": "in.csv", "output_path": "out.csv", "quarantine_path": None} \
        if name == G else {"file_path": "in.csv"}
    params = {**paths, "delimiter": ";", "quote_char": "'", "fill_ragged_rows": False,
              "merge_overflow": False, "expected_columns": 2, "repair_quotes": False}
    by_position = outcome(name, FUNCS[name](*params.values()))
    by_keyword = outcome(name, FUNCS[name](**dict(reversed(params.items()))))
    assert by_position == by_keyword
    assert by_position != outcome(name, FUNCS[name](*PATHS[name]))  # the options mattered


@pytest.mark.parametrize("name", ALL)
def test_str_subclass_paths(tmp, name):
    (tmp / "in.csv").write_bytes(EXAMPLE)
    result = FUNCS[name](*map(Str, PATHS[name]))
    assert outcome(name, result)[0]["gleaved_rows"] == 4
