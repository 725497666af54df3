import os
import sys
import warnings

import pytest

# The four-line semicolon file used throughout: a header, a complete row, a
# short row and a long one.
EXAMPLE = b"id;name;city\n1;Ann;Oslo\n2;Bob\n3;Cy;Rome;extra\n"
EXAMPLE_OUT = b'id;name;city\n1;Ann;Oslo\n2;Bob;\n3;Cy;"Rome;extra"\n'
EXAMPLE_ROWS = [["id", "name", "city"], ["1", "Ann", "Oslo"], ["2", "Bob", ""],
                ["3", "Cy", "Rome;extra"]]
QUARANTINE_HEADER = b"line,reason,raw_content\n"


def os_error_text(code):
    return f"{os.strerror(code)} (os error {code})"


@pytest.fixture
def tmp(tmp_path, monkeypatch):
    """Runs the test inside an empty directory, so relative paths land there."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture
def example(tmp):
    (tmp / "in.csv").write_bytes(EXAMPLE)
    return "in.csv"


@pytest.fixture
def fails():
    """Checks that call() raises exactly `exc` (not a subclass), with the given
    text and, when `note` names a parameter, the conversion note; returns the
    exception for further checks."""
    def check(call, exc, text=None, note=None):
        with pytest.raises(BaseException) as info:
            call()
        err = info.value
        assert type(err) is exc, repr(err)
        if text is not None:
            assert str(err) == text
        notes = [f"while processing '{note}'"] if note else None
        assert getattr(err, "__notes__", None) == notes
        return err
    return check


@pytest.fixture(autouse=True)
def arrow_tables_validated_in_full(monkeypatch):
    """Every table a test makes with pyarrow.table() or read_arrow() is first
    validated in full: offsets, views and UTF-8 of every value. Only when the
    test module uses pyarrow, so that tests of a bare import still see it
    unimported."""
    pa = sys.modules.get("pyarrow")
    if pa is None:
        yield
        return

    def validated(make):
        def wrapper(*args, **kwargs):
            made = make(*args, **kwargs)
            made.validate(full=True)
            return made
        return wrapper

    def validated_at_caller(make):
        # The package's warnings point at their caller's line: raise them
        # again at the test's line, not this wrapper's. (Only here: catching
        # warnings resets every location's once-only record, so pa.table,
        # called in loops, is left alone.)
        def wrapper(*args, **kwargs):
            with warnings.catch_warnings(record=True) as seen:
                warnings.simplefilter("always")
                made = make(*args, **kwargs)
            caller = sys._getframe(1)
            for w in seen:
                warnings.warn_explicit(w.message, w.category, caller.f_code.co_filename,
                                       caller.f_lineno, module=caller.f_globals.get("__name__"),
                                       registry=caller.f_globals.setdefault("__warningregistry__", {}))
            made.validate(full=True)
            return made
        return wrapper

    import csv_gleave
    from csv_gleave import tables

    monkeypatch.setattr(pa, "table", validated(pa.table))
    read_arrow = validated_at_caller(tables.read_arrow)
    monkeypatch.setattr(tables, "read_arrow", read_arrow)
    monkeypatch.setattr(csv_gleave, "read_arrow", read_arrow, raising=False)
    yield
