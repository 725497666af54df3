import sys
import weakref

import pytest

import _csv_gleave_backend as m

FIELDS = ["total_rows", "gleaved_rows", "repaired_rows", "quarantined_rows",
          "detected_delimiter", "inferred_columns"]
REPR = ("<GleaveSummary total_rows={} gleaved_rows={} repaired_rows={} quarantined_rows={} "
        "delimiter='{}' inferred_columns={}>")

# Type flags: the bit values of CPython's object.h.
IMMUTABLETYPE, BASETYPE, HAVE_GC, DISALLOW_INSTANTIATION = 1 << 8, 1 << 10, 1 << 14, 1 << 7


def summary_of(tmp, data, **options):
    (tmp / "in.csv").write_bytes(data)
    return m.gleave_file("in.csv", "out.csv", **options)


@pytest.mark.parametrize("data, options, values", [
    (b"a,b\nc,d\ne,f\n", {}, (3, 3, 0, 0, ",", 2)),
    (b"a\tb\nc\td\n", {}, (2, 2, 0, 0, "\t", 2)),
    (b"a'b\nc'd'e\nf\n", {"delimiter": "'", "fill_ragged_rows": False}, (3, 2, 1, 1, "'", 2)),
    (b"a\0b\n", {"delimiter": "\0"}, (1, 1, 0, 0, "\0", 2)),
    (b"a|b|c\n" * 1500, {}, (1500, 1500, 0, 0, "|", 3)),
    (b"a,b\n", {"expected_columns": 2**64 - 1, "fill_ragged_rows": False}, (1, 0, 0, 1, ",", 2**64 - 1)),
])
def test_values_repr_and_dict(tmp, data, options, values):
    s = summary_of(tmp, data, **options)
    assert tuple(getattr(s, f) for f in FIELDS) == values
    assert repr(s) == str(s) == REPR.format(*values)
    d = s.to_dict()
    assert list(d.items()) == list(zip(FIELDS, values))
    assert all(type(v) is int for k, v in d.items() if k != "detected_delimiter")
    assert type(s.detected_delimiter) is str and len(s.detected_delimiter) == 1


def test_to_dict_is_fresh(tmp):
    s = summary_of(tmp, b"a,b\nc,d\n")
    d = s.to_dict()
    assert d is not s.to_dict()
    d["total_rows"] = 99
    d.clear()
    assert s.to_dict()["total_rows"] == 2 == s.total_rows


@pytest.mark.parametrize("mutate, exc", [
    *[(lambda s, f=f: setattr(s, f, 1), AttributeError) for f in FIELDS],
    *[(lambda s, f=f: delattr(s, f), AttributeError) for f in FIELDS],
    (lambda s: setattr(s, "extra", 1), AttributeError),
    (lambda s: s.__dict__, AttributeError),
    (lambda s: weakref.ref(s), TypeError),
    (lambda s: type(s)(), TypeError),
    (lambda s: type(s)(total_rows=1), TypeError),
    (lambda s: type(s).__new__(type(s)), TypeError),
    (lambda s: type("Sub", (type(s),), {}), TypeError),
])
def test_immutable_and_closed(tmp, mutate, exc):
    s = summary_of(tmp, b"a,b\nc,d\n")
    before = s.to_dict()
    with pytest.raises(exc):
        mutate(s)
    assert s.to_dict() == before


def test_identity_semantics(tmp):
    s, t = summary_of(tmp, b"a,b\n"), summary_of(tmp, b"a,b\n")
    assert s == s and s != t and hash(s) != hash(t)
    assert s.to_dict() == t.to_dict()


@pytest.mark.parametrize("name", FIELDS)
def test_getter_docs(name):
    assert getattr(m.GleaveSummary, name).__doc__ is None
    assert type(getattr(m.GleaveSummary, name)).__name__ == "getset_descriptor"


@pytest.mark.parametrize("cls, set_flags, clear_flags", [
    (m.GleaveSummary, DISALLOW_INSTANTIATION, IMMUTABLETYPE | BASETYPE | HAVE_GC),
    (m.GleaveReader, 0, IMMUTABLETYPE | BASETYPE | HAVE_GC | DISALLOW_INSTANTIATION),
])
def test_type_flags(cls, set_flags, clear_flags):
    assert cls.__flags__ & set_flags == set_flags
    assert cls.__flags__ & clear_flags == 0
    assert cls.__weakrefoffset__ == 0 and cls.__dictoffset__ == 0


def test_summary_survives_its_producer(tmp):
    (tmp / "in.csv").write_bytes(b"a;b\nc;d\n")
    r = m.open("in.csv")
    s = r.summary
    del r
    assert s.detected_delimiter == ";" and sys.getrefcount(s) == 2
