"""Do no harm: a table that Python's csv writer wrote, in any dialect the
detector knows, comes back from ``open`` as exactly the rows written (header
kept, no row moved out), and ``detect`` names a dialect that reads them so.

GLEAVE_NO_HARM_EXAMPLES sets the number of cases (a few thousand by
default); GLEAVE_NO_HARM_SEED fixes the seed for a long run.
"""
import csv
import io
import os
import re

import pytest

pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, assume, given, seed, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import csv_gleave as cg

EXAMPLES = int(os.environ.get("GLEAVE_NO_HARM_EXAMPLES", "1500"))
SEED = os.environ.get("GLEAVE_NO_HARM_SEED")
DELIMITERS = [",", ";", "\t", "|", " ", ":", "^", "~"]

WORDS = ["alpha", "beta", "New", "York", "Gus", "Olsen", "red", "x", "Zoë", "São", "Paulo", "item",
         "total", "B2", "ok"]
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
NAMES = ["id", "name", "city", "value", "ts", "date", "price", "count", "note", "Total Amount", "2019", "code"]


def joined(sep):
    return lambda r: sep.join(r.choice(WORDS) for _ in range(r.randint(2, 4)))


def number(fmt):
    return lambda r: fmt(r.randint(-99999, 999999))


def thousands(sep):
    return lambda r: f"{r.randint(1000, 10**9):,}".replace(",", sep)


def timestamp(sep, between):
    return lambda r: (f"{r.randint(1990, 2030)}{sep}{r.randint(1, 12):02}{sep}{r.randint(1, 28):02}"
                      f"{between}{r.randint(0, 23):02}:{r.randint(0, 59):02}:{r.randint(0, 59):02}")


# The column kinds a table is made of: each draws one cell from a random.Random.
KINDS = {
    "integer": number(str),
    "decimal_point": number(lambda n: f"{n / 100:.2f}"),
    "decimal_comma": number(lambda n: f"{n / 100:.2f}".replace(".", ",")),
    "thousands_comma": thousands(","),
    "thousands_point": thousands("."),
    "date_dash": lambda r: timestamp("-", " ")(r)[:10],
    "date_spaced": lambda r: f"{r.choice(MONTHS)} {r.randint(1, 28)} {r.randint(1990, 2030)}",
    "time": lambda r: f"{r.randint(0, 23):02}:{r.randint(0, 59):02}",
    "timestamp_dash": timestamp("-", " "),
    "timestamp_slash": timestamp("/", " "),
    "timestamp_t": timestamp("-", "T"),
    "text_blanks": joined(" "),
    "text_colons": joined(": "),
    "text_semicolons": joined("; "),
    "text_tabs": joined("\t"),
    "text_hash": lambda r: f"{r.choice(WORDS)} #{r.randint(1, 99)}",
    "text_quotes": lambda r: f'say "{r.choice(WORDS)}" now',
    "word": lambda r: r.choice(WORDS),
    "text_blank_after": lambda r: r.choice(WORDS) + r.choice([" ", "  ", "\t"]),
    "text_blank_before": lambda r: r.choice([" ", "\t"]) + r.choice(WORDS),
    "text_lines": lambda r: f"{r.choice(WORDS)}\n{r.choice(WORDS)}",
}


def make_case(r):
    """A table, the csv writer's dialect, its column kinds and whether its
    first row is a header, drawn from the random.Random `r`."""
    width = r.randint(1, 6)
    kinds = [r.choice(sorted(KINDS)) for _ in range(width)]
    if r.random() < 0.5:  # all text
        kinds = [k if k.startswith(("text", "word")) else "word" for k in kinds]
    empty_share = r.choice([0, 0, 0.1, 0.3])
    rows = [["" if empty_share and r.random() < empty_share else KINDS[k](r) for k in kinds]
            for _ in range(r.randint(3, 14))]
    header = r.random() < 0.5
    if header:
        rows.insert(0, r.sample(NAMES, width))
    dialect = dict(delimiter=r.choice(DELIMITERS), quotechar=r.choice(['"', '"', "'"]),
                   quoting=r.choice([csv.QUOTE_MINIMAL] * 3 + [csv.QUOTE_ALL]),
                   lineterminator=r.choice(["\n", "\r\n"]))
    if r.random() < 0.2:  # a writer that escapes quotes (and, quoting nothing, delimiters and line breaks)
        dialect.update(escapechar="\\", doublequote=False)
        if r.random() < 0.5:
            dialect.update(quoting=csv.QUOTE_NONE, quotechar='"')
    return rows, dialect, kinds, header


def written(rows, dialect):
    """The text, or "" when the writer cannot write the rows so (quoting
    nothing, a row of one empty field)."""
    out = io.StringIO()
    try:
        csv.writer(out, **dialect).writerows(rows)
    except csv.Error:
        return ""
    return out.getvalue()


def identified(rows, text, dialect, kinds, header):
    """Whether the text identifies its table. A row of empty cells, a row
    starting with '#' (a comment as much as a row) and the cases below are
    bytes that read as more than one table with equal right."""
    if any(all(c == "" for c in r) for r in rows):
        return False
    # Empty cells between blank delimiters are runs of blanks, which read
    # as padding as well.
    if dialect["delimiter"] == " " and dialect["quoting"] != csv.QUOTE_ALL and any("" in r for r in rows):
        return False
    if any(r[0].startswith("#") for r in rows):
        return False
    # A value that starts with a blank the writer left bare reads as well as
    # a value after a delimiter and its padding blank.
    if any(c.startswith((" ", "\t")) and not written([[c]], dialect).startswith(dialect["quotechar"])
           for r in rows for c in r):
        return False
    # Words with tabs between under a blank delimiter and no header read as
    # well as a ragged tab-delimited table of names with one blank each.
    if "text_tabs" in kinds and dialect["delimiter"] == " " and not header:
        return False
    # Another delimiter as often in every row splits the table as steadily
    # (blanks in runs, which read as padding).
    for d in DELIMITERS:
        counts = {sum(len(re.findall(" +", c)) if d == " " else c.count(d) for c in r) for r in rows}
        if d != dialect["delimiter"] and len(counts) == 1 and counts != {0}:
            return False
    # One column of text with no header, another delimiter in its values,
    # reads as a ragged table of that delimiter as well: nothing in the
    # bytes says which delimiter the writer had.
    if not header and len(kinds) == 1 and kinds[0] in ("text_colons", "text_semicolons", "text_tabs"):
        return False
    # A first row of one value padded to a width of three or more is the
    # padded title the structure step sets aside (its own tests cover it).
    if len(rows[0]) >= 3 and sum(c != "" for c in rows[0]) == 1:
        return False
    # A later row equal to the first is a repeated header to the structure
    # step (its own tests cover when it is one).
    if rows[0] in rows[1:]:
        return False
    if len(rows[0]) > 1:
        return True
    # One column of values that end with blanks reads as well as a table of
    # that blank with an empty last column.
    if any(r[0].endswith((" ", "\t")) for r in rows):
        return False
    # One column: another delimiter in every row but perhaps the first
    # reads as well as a ragged table of that delimiter under a short header.
    if any(all(d in r[0] for r in rows[1:]) for d in DELIMITERS):
        return False
    for d in DELIMITERS:
        if d == dialect["delimiter"]:
            continue
        widths = {len(r) for r in csv.reader(io.StringIO(text, newline=""), delimiter=d,
                                             quotechar=dialect["quotechar"])}
        if len(widths) == 1 and widths != {1}:
            return False
    return True


def read_with(d, text):
    """The rows Python's csv reads from `text` in the detected dialect."""
    options = dict(delimiter=d.delimiter, skipinitialspace=d.skip_initial_space,
                   escapechar=d.escape_char)
    if d.quote_char is None:
        options["quoting"] = csv.QUOTE_NONE
    else:
        options["quotechar"] = d.quote_char
        options["doublequote"] = d.escape_char is None
    lines = io.StringIO(text, newline="")
    for _ in range(d.preamble_lines):
        lines.readline()
    return [r for r in csv.reader(lines, **options) if r]


# Without a seed the cases are the same in every run (CI stays repeatable).
SETTINGS = settings(max_examples=EXAMPLES, deadline=None, database=None, derandomize=SEED is None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])


def check(case, path):
    """Whether the case's written text comes back as its rows (None when the
    text does not identify its table); raises AssertionError if not."""
    rows, dialect, kinds, header = case
    text = written(rows, dialect)
    if not text or not identified(rows, text, dialect, kinds, header):
        return None
    data = text.encode()
    with open(path, "wb") as f:
        f.write(data)
    reader = cg.open(path)
    got = list(reader)
    s = reader.summary
    assert got == rows, (text, s.to_dict())
    assert (s.repaired_rows, s.quarantined_rows) == (0, 0), text
    assert read_with(cg.detect(data), text) == rows, text
    return True


@SETTINGS
@given(st.randoms(use_true_random=False, note_method_calls=True))
def test_written_tables_come_back_as_written(tmp_path_factory, r):
    path = str(tmp_path_factory.getbasetemp() / "no_harm.csv")
    assume(check(make_case(r), path))


if SEED is not None:
    test_written_tables_come_back_as_written = seed(int(SEED))(test_written_tables_come_back_as_written)


# One answer: sniff names detect's delimiter whenever that is one of the four
# sniff chooses from, on written tables and on scraps of delimiter-heavy text.
scraps = st.text(alphabet=',;\t| :\n"\'ab1.', max_size=200)


@settings(SETTINGS, max_examples=max(100, EXAMPLES // 3))
@given(st.one_of(st.randoms(use_true_random=False).map(lambda r: written(*make_case(r)[:2])), scraps))
def test_sniff_agrees_with_detect(text):
    delimiter = cg.detect(text.encode()).delimiter
    if delimiter in ",;\t|":
        assert cg.sniff(text) == delimiter, text
