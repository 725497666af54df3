"""Every entry point, on success and on each error path, called 100,000 times
must not grow the process: a leaked object or buffer of even 16 bytes per call
would add more than the tolerance to the resident set, and a leaked reference
to an argument or a class shows in its reference count."""
import gc
import os
import sys
import tempfile

import pytest

import _csv_gleave_backend as m
from conftest import EXAMPLE, EXAMPLE_OUT

if not os.path.exists("/proc/self/statm"):
    pytest.skip("needs /proc/self/statm", allow_module_level=True)

CALLS = 100_000
WARMUP = 3_000
TOLERANCE = 1 << 20
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class Index:
    def __index__(self):
        return 3


def calls(exc, f, *args, **kwargs):
    """A call of f that must raise exactly exc (None: must succeed), and the
    objects whose reference counts it must leave alone."""
    if exc is None:
        def call():
            f(*args, **kwargs)
    else:
        def call():
            try:
                f(*args, **kwargs)
            except BaseException as e:
                if type(e) is exc:
                    return
                raise
            raise AssertionError("no exception")
    watched = [o for o in (*args, *kwargs, *kwargs.values())
               if o is not None and type(o) not in (bool, int)]
    return call, watched


def reader_round(make):
    def call():
        r = make("in.csv", quote_char="'")
        for _ in r:
            pass
        len(r)
        r.summary
    return call, []


def reader_and_summary_methods():
    r = m.open("in.csv")
    list(r)
    s = m.gleave_file("in.csv", "out.csv")

    def call():
        with r as same:
            same.__exit__(1, 2, 3)
        len(r)
        for _ in r:
            pass
        t = r.summary
        t.to_dict(), repr(t), t.total_rows, t.detected_delimiter, t.inferred_columns
        for fault in (lambda: setattr(s, "total_rows", 1), lambda: setattr(s, "x", 1),
                      lambda: m.GleaveSummary()):
            try:
                fault()
            except (AttributeError, TypeError):
                pass
    return call, [r, s]


G, O, R = m.gleave_file, m.open, m.GleaveReader
CASES = {
    "gleave_file": lambda: calls(None, G, "in.csv", "out.csv", "q.csv"),
    "gleave_file-options": lambda: calls(None, G, "in.csv", os.devnull, delimiter=";x",
                                         expected_columns=Index(), quote_char="'",
                                         merge_overflow=False),
    "gleave_file-in-place": lambda: calls(None, G, "same.csv", "same.csv"),
    "gleave_file-missing": lambda: calls(OSError, G, "missing.csv", "out.csv"),
    "gleave_file-nul": lambda: calls(OSError, G, "in.csv", "o\0.csv"),
    "gleave_file-same-file": lambda: calls(OSError, G, "in.csv", "out.csv", "in.csv"),
    "gleave_file-empty-quarantine": lambda: calls(OSError, G, "in.csv", os.devnull, ""),
    "gleave_file-memory": lambda: calls(MemoryError, G, "in.csv", "out.csv", expected_columns=10**12),
    "gleave_file-type": lambda: calls(TypeError, G, "in.csv", "out.csv", fill_ragged_rows=1),
    "gleave_file-ascii": lambda: calls(ValueError, G, "in.csv", "out.csv", delimiter="é"),
    "gleave_file-overflow": lambda: calls(OverflowError, G, "in.csv", "out.csv", expected_columns=-1),
    "gleave_file-unicode": lambda: calls(UnicodeEncodeError, G, "in.csv", "\ud800"),
    "gleave_file-missing-arg": lambda: calls(TypeError, G, "in.csv"),
    "gleave_file-unexpected": lambda: calls(TypeError, G, "in.csv", "out.csv", foo=1),
    "gleave_file-multiple": lambda: calls(TypeError, G, "in.csv", "out.csv", input_path="x"),
    "gleave_file-too-many": lambda: calls(TypeError, G, *["x"] * 10),
    "sniff": lambda: calls(None, m.sniff, "a;b\nc;d\n"),
    "sniff-type": lambda: calls(TypeError, m.sniff, b"a;b"),
    "sniff-unicode": lambda: calls(UnicodeEncodeError, m.sniff, "\ud800"),
    "sniff-binding": lambda: calls(TypeError, m.sniff, "a", sample="b"),
    "methods": reader_and_summary_methods,
    "reader-exit-binding": lambda: calls(TypeError, m.open("in.csv").__exit__, 1, 2, 3, 4),
}
def dialect_round():
    import pickle
    d = N.detect(b"a;b\n1;2\n", evidence=True)

    def call():
        back = pickle.loads(pickle.dumps(d))
        back == d, hash(back), repr(back), back.evidence, back.encoding
    return call, [d, N.Dialect]


N = pytest.importorskip("csv_gleave._native")
LARGE = b"id;name;n\n" + b"1;Ann;3,5\n" * 1000  # detected with the lock released
CASES.update({
    "detect": lambda: calls(None, N.detect, b"a;b\n1;2\n"),
    "detect-large": lambda: calls(None, N.detect, LARGE),
    "detect-path-evidence": lambda: calls(None, N.detect, "in.csv", evidence=True, delimiter=","),
    "detect-missing": lambda: calls(FileNotFoundError, N.detect, "missing.csv"),
    "detect-type": lambda: calls(TypeError, N.detect, 3.5),
    "detect-unexpected": lambda: calls(TypeError, N.detect, b"a", foo=1),
    "Dialect": dialect_round,
    "Dialect-negative": lambda: calls(ValueError, N.Dialect, "utf-8", ",", None, False, -1, True),
    "Dialect-unexpected": lambda: calls(TypeError, N.Dialect, "utf-8", ",", None, False, 0, True, x=1),
})
for name, make in (("open", O), ("GleaveReader", R)):
    CASES.update({
        f"{name}": lambda make=make: reader_round(make),
        f"{name}-missing": lambda make=make: calls(FileNotFoundError, make, "missing.csv"),
        f"{name}-directory": lambda make=make: calls(IsADirectoryError, make, "."),
        f"{name}-nul": lambda make=make: calls(OSError, make, "in\0.csv"),
        f"{name}-memory": lambda make=make: calls(MemoryError, make, "in.csv",
                                                  expected_columns=10**12),
        f"{name}-type": lambda make=make: calls(TypeError, make, "in.csv", quote_char=None),
        f"{name}-ascii": lambda make=make: calls(ValueError, make, "in.csv", quote_char="ø"),
        f"{name}-overflow": lambda make=make: calls(OverflowError, make, "in.csv",
                                                    expected_columns=2**64),
        f"{name}-missing-arg": lambda make=make: calls(TypeError, make, delimiter=","),
        f"{name}-unexpected": lambda make=make: calls(TypeError, make, "in.csv", foo=1),
        f"{name}-multiple": lambda make=make: calls(TypeError, make, "in.csv", file_path="x"),
        f"{name}-too-many": lambda make=make: calls(TypeError, make, *["x"] * 8),
    })


@pytest.fixture(scope="module")
def workdir():
    # tmpfs keeps the 100,000 file rewrites cheap where it is available.
    base = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    with tempfile.TemporaryDirectory(dir=base) as d:
        with open(os.path.join(d, "in.csv"), "wb") as f:
            f.write(EXAMPLE)
        with open(os.path.join(d, "same.csv"), "wb") as f:
            f.write(EXAMPLE_OUT)  # repairing it in place leaves it as it is
        yield d


@pytest.mark.parametrize("case", CASES)
def test_no_growth(workdir, monkeypatch, case):
    monkeypatch.chdir(workdir)
    call, watched = CASES[case]()
    watched += [m.GleaveSummary, m.GleaveReader]
    for _ in range(WARMUP):
        call()
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    before = rss()
    for _ in range(CALLS):
        call()
    gc.collect()
    grown = rss() - before
    # A leak of the calls shows as growth in the order of CALLS; a handful
    # is other code of the process taking a reference to a shared object
    # (the keyword names are interned strings any module may hold).
    drift = [sys.getrefcount(o) - r for o, r in zip(watched, refs)]
    assert all(abs(d) <= 8 for d in drift), drift
    assert grown < TOLERANCE, f"resident set grew by {grown} bytes over {CALLS} calls"
