import importlib
import sys

import pytest

import _csv_gleave_backend as m

MODULE_DOC = (
    "High-performance, fault-tolerant CSV gleave and reconstruction engine.\n\n"
    "Rescues corrupted, broken, and malformed CSV files where strict parsers\n"
    "(Polars, DuckDB, Pandas) abort with ParserError.")

OPTIONS_SIG = ('delimiter=None, quote_char="\\"", fill_ragged_rows=True, '
               'merge_overflow=True, expected_columns=None, repair_quotes=True)')


def test_attributes():
    assert m.__version__ == "0.1.0"
    assert m.__doc__ == MODULE_DOC
    assert m.__all__ == ["gleave_file", "sniff", "open", "GleaveSummary", "GleaveReader"]
    assert all(hasattr(m, name) for name in m.__all__)
    # Nothing but the public names and the import machinery's own attributes.
    assert {n for n in vars(m) if not n.startswith("__")} == set(m.__all__)


@pytest.mark.parametrize("obj, module, signature, doc", [
    (m.sniff, "_csv_gleave_backend", "(sample)",
     "Detects the most likely delimiter from a CSV string sample."),
    (m.open, "_csv_gleave_backend", "(file_path, " + OPTIONS_SIG,
     "Convenience function to open and stream a gleaved CSV file."),
    (m.gleave_file, "_csv_gleave_backend",
     "(input_path, output_path, quarantine_path=None, " + OPTIONS_SIG, None),
    (m.GleaveReader, "builtins", "(file_path, " + OPTIONS_SIG,
     "In-memory streaming reader iterating over gleaved rows."),
    (m.GleaveReader.__enter__, None, "($self)", None),
    (m.GleaveReader.__exit__, None, "($self, _exc_type=None, _exc_val=None, _exc_tb=None)", None),
    (m.GleaveSummary.to_dict, None, "($self)", "Converts the summary into a native Python dictionary."),
    (m.GleaveSummary, "builtins", None, "Python-exposed summary of a gleave operation."),
])
def test_signatures_and_docs(obj, module, signature, doc):
    if module is not None:
        assert obj.__module__ == module
        assert obj.__qualname__ == obj.__name__
    assert obj.__text_signature__ == signature
    if doc is not None or obj is not m.gleave_file:
        assert obj.__doc__ == doc


def test_gleave_file_doc():
    assert m.gleave_file.__doc__.splitlines() == [
        "Gleaves a corrupted CSV file and writes a clean, standard RFC-4180 file.",
        "",
        "Args:",
        "    input_path: Path to the corrupted CSV file.",
        "    output_path: Path where the repaired CSV file will be written.",
        "    quarantine_path: Optional path to write unrecoverable / quarantined rows.",
        '    delimiter: Optional single-character delimiter (e.g. "," or ";"). If None, '
        "auto-sniffed.",
        "    quote_char: Optional single-character quote enclosure (default '\"').",
        "    fill_ragged_rows: If True, pads short rows with empty strings. Default True.",
        "    merge_overflow: If True, merges extra tokens into the last column. Default True.",
        "    expected_columns: Optional explicit column count. If None, inferred automatically.",
        "    repair_quotes: If True, disambiguates and repairs stray internal quotes. "
        "Default True.",
    ]
    assert not m.gleave_file.__doc__.endswith("\n")


@pytest.mark.parametrize("func", [m.sniff, m.open, m.gleave_file])
def test_functions_are_static(func):
    assert func.__self__ is None
    assert type(func).__name__ == "builtin_function_or_method"


def test_reimport_reuses_type_objects():
    first = sys.modules.pop("_csv_gleave_backend")
    try:
        second = importlib.import_module("_csv_gleave_backend")
        assert second is not first
        assert second.GleaveSummary is first.GleaveSummary
        assert second.GleaveReader is first.GleaveReader
        assert second.sniff is not first.sniff and second.sniff("a;b\nc;d\n") == ";"
    finally:
        sys.modules["_csv_gleave_backend"] = first


@pytest.mark.parametrize("sample, expected", [
    ("a;b\nc;d\n", ";"),
    ("a,b\nc,d\n", ","),
    ("a\tb\nc\td\n", "\t"),
    ("a|b|c\nd|e|f\n", "|"),
    ("id;name;city\n1;Ann;Oslo\n2;Bob\n3;Cy;Rome;extra\n", ";"),
    ("\ufeffa;b\nc;d\n", ";"),
    ("", ","),
    ("plain words\n", ","),
    ("x;y\n", ","),  # one counted row is no evidence
])
def test_sniff(sample, expected):
    assert m.sniff(sample) == expected
    assert m.sniff(sample=sample) == expected


def test_sniff_accepts_str_subclass():
    class S(str):
        pass
    assert m.sniff(S("a;b\nc;d\n")) == ";"


@pytest.mark.parametrize("args, kwargs, exc, text, note", [
    ((), {}, TypeError, "sniff() missing 1 required positional argument: 'sample'", None),
    (("a", "b"), {}, TypeError, "sniff() takes 1 positional arguments but 2 were given", None),
    (("a", "b", "c"), {}, TypeError, "sniff() takes 1 positional arguments but 3 were given", None),
    ((), {"text": "a"}, TypeError, "sniff() got an unexpected keyword argument 'text'", None),
    (("a",), {"sample": "a"}, TypeError, "sniff() got multiple values for argument 'sample'", None),
    ((b"a;b",), {}, TypeError, "'bytes' object is not an instance of 'str'", "sample"),
    ((None,), {}, TypeError, "'None' is not an instance of 'str'", "sample"),
    ((1,), {}, TypeError, "'int' object is not an instance of 'str'", "sample"),
    (("\ud800",), {}, UnicodeEncodeError, None, "sample"),
])
def test_sniff_errors(fails, args, kwargs, exc, text, note):
    fails(lambda: m.sniff(*args, **kwargs), exc, text, note)
