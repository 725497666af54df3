"""The held-out half of the dialect evaluation: well-formed tables written by
Python's csv writer, whose truth is known by construction.

Nothing here is tuned on: the files are drawn from a seed of their own, and
the detector's rules must never be adjusted to them. Each category is a kind
of ordinary file that a sniffer can damage (a delimiter that only splits
inside one kind of value, a header made of text over text, lines above the
table that are not the table).

Every file comes with its truth: delimiter, quote (only where the writer
quoted a field), escape (only where the writer escaped or doubled a quote:
None for doubled quotes), header, skip (lines above the first table row),
first_row (the header, else the first data row), width and rows (data rows).
"""

from __future__ import annotations

import csv
import io
import random

MONTHS = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec".split()
CITIES = ["New York", "Los Angeles", "San Diego", "San Jose", "Rio de Janeiro", "Hong Kong",
          "Buenos Aires", "Cape Town", "Kuala Lumpur", "Salt Lake City", "Oslo", "Lima"]
COUNTRIES = [("AD", "Andorra"), ("AE", "United Arab Emirates"), ("AF", "Afghanistan"), ("AL", "Albania"),
             ("AR", "Argentina"), ("AT", "Austria"), ("BE", "Belgium"), ("BR", "Brazil"), ("CA", "Canada"),
             ("CH", "Switzerland"), ("CL", "Chile"), ("DE", "Germany"), ("DK", "Denmark"), ("EE", "Estonia"),
             ("ES", "Spain"), ("FI", "Finland"), ("FR", "France"), ("GR", "Greece"), ("IE", "Ireland"),
             ("IS", "Iceland"), ("JP", "Japan"), ("KE", "Kenya"), ("MX", "Mexico"), ("NO", "Norway")]
WORDS = ("order shipped late customer called back about the invoice; box: damaged # see note "
         "refund approved pallet customs check \"fragile\" label printer offline again").split()


def _ts(rng, sep="-"):
    return f"20{rng.randint(10, 24)}{sep}{rng.randint(1, 12):02d}{sep}{rng.randint(1, 28):02d}"


def _time(rng):
    return f"{rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}:{rng.randint(0, 59):02d}"


def _text(rng, n=(2, 6)):
    return " ".join(rng.choice(WORDS) for _ in range(rng.randint(*n)))


# Column kinds: a header name and a value maker.
KINDS = {
    "int": ("count", lambda r: str(r.randint(-50, 100000))),
    "decimal": ("price", lambda r: f"{r.uniform(0, 5000):.2f}"),
    "decimal_comma": ("betrag", lambda r: f"{r.uniform(0, 5000):.2f}".replace(".", ",")),
    "thousands": ("amount", lambda r: f"{r.uniform(1000, 9e6):,.2f}"),
    "date": ("date", _ts),
    "date_slash": ("day", lambda r: _ts(r, "/")),
    "date_spaced": ("date", lambda r: f"{r.choice(MONTHS)} {r.randint(1, 28)} {r.randint(1990, 2024)}"),
    "time": ("time", _time),
    "timestamp": ("ts", lambda r: f"{_ts(r, r.choice('-/'))} {_time(r)}"),
    "name": ("name", lambda r: r.choice(CITIES)),
    "text": ("note", _text),
    "code": ("code", lambda r: "".join(r.choice("ABCDEFGHJKLMNPQRSTUVWXYZ") for _ in range(3))),
    "empty": ("extra", lambda r: r.choice(["", "", "x"])),
    "bool": ("active", lambda r: r.choice(["true", "false"])),
}
TYPED = ["int", "decimal", "decimal_comma", "thousands", "date", "date_slash", "date_spaced", "time",
         "timestamp", "bool"]


def writer_dialect(rng, delimiter=None):
    """A dialect of Python's csv writer, as exports come."""
    d = {"delimiter": delimiter or rng.choice([",", ",", ",", ";", "\t", "|"]),
         "quotechar": rng.choice(['"', '"', '"', "'"]),
         "quoting": rng.choice([csv.QUOTE_MINIMAL] * 4 + [csv.QUOTE_ALL]),
         "lineterminator": rng.choice(["\n", "\r\n"]), "doublequote": True}
    return d


def render(rows, dialect, above=()):
    """The file's text and its truth, from the rows written (header first if
    `header`) and the lines put above the table."""
    out = io.StringIO()
    for line in above:
        out.write(line + dialect["lineterminator"])
    csv.writer(out, **dialect).writerows(rows)
    return out.getvalue()


def truth_of(rows, dialect, header, skip):
    d, q = dialect["delimiter"], dialect["quotechar"]
    cells = [c for r in rows for c in r]
    quoted = dialect.get("quoting") == csv.QUOTE_ALL or (
        dialect.get("quoting") != csv.QUOTE_NONE
        and any(d in c or "\n" in c or "\r" in c or (dialect["doublequote"] and q in c) for c in cells))
    truth = {"delimiter": d, "header": header, "skip": skip, "first_row": rows[0],
             "width": len(rows[0]), "rows": len(rows) - header}
    if quoted:
        truth["quote"] = q
    if not dialect["doublequote"] and any(q in c or (dialect.get("quoting") == csv.QUOTE_NONE and d in c)
                                          for c in cells):
        truth["escape"] = dialect["escapechar"]
    elif dialect["doublequote"] and quoted and any(q in c for c in cells):
        truth["escape"] = None
    return truth


def table(rng, kinds, n_rows, header=True):
    names = [KINDS[k][0] for k in kinds]
    names = [n if names.count(n) == 1 else f"{n}_{i}" for i, n in enumerate(names)]
    body = [[KINDS[k][1](rng) for k in kinds] for _ in range(n_rows)]
    return ([names] if header else []) + body


def make(rng, kinds, n_rows, header=True, dialect=None, above=()):
    dialect = dialect or writer_dialect(rng)
    rows = table(rng, kinds, n_rows, header)
    return render(rows, dialect, above), truth_of(rows, dialect, header, len(above))


# ---------------------------------------------------------------- categories

def gen_timestamps(rng):
    kinds = [rng.choice(["timestamp", "time", "date_slash"]), "int"] + rng.sample(["decimal", "int", "code"], rng.randint(0, 2))
    return make(rng, kinds, rng.randint(7, 60), dialect=writer_dialect(rng, ","))


def gen_spaced_dates(rng):
    kinds = ["date_spaced", "decimal"] + rng.sample(["int", "decimal", "name"], rng.randint(0, 2))
    return make(rng, kinds, rng.randint(7, 60), dialect=writer_dialect(rng, rng.choice([",", ",", ";"])))


def gen_one_column(rng):
    rows = [[rng.choice(["city", "City", "destination"])]] + [[rng.choice(CITIES + ["", "Lima"])]
                                                             for _ in range(rng.randint(3, 40))]
    dialect = writer_dialect(rng, ",")
    return render(rows, dialect), truth_of(rows, dialect, True, 0)


def gen_all_text(rng):
    rows = [["country", "name"] + (["capital"] if rng.random() < 0.4 else [])]
    for code, name in rng.sample(COUNTRIES, rng.randint(5, len(COUNTRIES))):
        rows.append([code, name] + ([rng.choice(CITIES)] if len(rows[0]) == 3 else []))
    dialect = writer_dialect(rng)
    return render(rows, dialect), truth_of(rows, dialect, True, 0)


def gen_comments(rng):
    above = [f"# {_text(rng)}" for _ in range(rng.randint(1, 3))]
    kinds = ["int", rng.choice(TYPED), "name", rng.choice(["text", "code"])]
    return make(rng, kinds, rng.randint(8, 40), dialect=writer_dialect(rng), above=above)


def gen_long_text(rng):
    """Support tickets whose quoted descriptions span lines, up to ~14 KB."""
    rows = [["id", "title", "description", "priority"]]
    for i in range(rng.randint(12, 24)):
        paragraphs = ["".join(_text(rng, (8, 20)) + ". " for _ in range(rng.randint(1, 12)))
                      for _ in range(rng.randint(1, 60 if i % 3 == 0 else 4))]
        rows.append([str(i + 1), _text(rng, (2, 4)), "\n".join(paragraphs), rng.choice(["low", "high"])])
    dialect = writer_dialect(rng)
    dialect["quoting"] = csv.QUOTE_MINIMAL
    return render(rows, dialect), truth_of(rows, dialect, True, 0)


def gen_wide_header(rng):
    width = rng.randint(2000, 12000)
    rows = [[f"m{i}" for i in range(width)]]
    rows += [[str(rng.randint(0, 999)) for _ in range(width)] for _ in range(rng.randint(2, 5))]
    dialect = writer_dialect(rng, rng.choice([",", ";", "\t"]))
    return render(rows, dialect), truth_of(rows, dialect, True, 0)


def gen_kv_preamble(rng):
    delimiter = rng.choice(["\t", ",", ";"])
    above = [f"Title{delimiter}Quarterly export", f"Exported{delimiter}{_ts(rng)}",
             f"Source{delimiter}{rng.choice(CITIES)} office"][:rng.randint(2, 3)]
    kinds = ["int", "date", "name"] + [rng.choice(TYPED + ["code", "text"]) for _ in range(rng.randint(3, 15))]
    return make(rng, kinds, rng.randint(8, 40), dialect=writer_dialect(rng, delimiter), above=above)


def gen_dialects(rng):
    kinds = ["int"] + [rng.choice(list(KINDS)) for _ in range(rng.randint(1, 7))]
    return make(rng, kinds, rng.randint(5, 60))


def gen_no_header(rng):
    kinds = [rng.choice(TYPED) for _ in range(rng.randint(2, 6))] + [rng.choice(["name", "text", "code"])]
    return make(rng, kinds, rng.randint(5, 60), header=False)


def gen_backslash_escape(rng):
    dialect = writer_dialect(rng)
    dialect.update(doublequote=False, escapechar="\\",
                   quoting=rng.choice([csv.QUOTE_MINIMAL, csv.QUOTE_MINIMAL, csv.QUOTE_NONE]))
    rows = table(rng, ["int", "text", "name", rng.choice(TYPED)], rng.randint(6, 40))
    q = dialect["quotechar"]
    for r in rows[1::2]:
        r[1] = f"{r[1]} {q}{rng.choice(WORDS)}{q}{dialect['delimiter']} {rng.choice(WORDS)}"
    return render(rows, dialect), truth_of(rows, dialect, True, 0)


GENERATORS = {
    "timestamps": gen_timestamps,
    "spaced_dates": gen_spaced_dates,
    "one_column": gen_one_column,
    "all_text": gen_all_text,
    "comments": gen_comments,
    "long_text": gen_long_text,
    "wide_header": gen_wide_header,
    "kv_preamble": gen_kv_preamble,
    "dialects": gen_dialects,
    "no_header": gen_no_header,
    "backslash_escape": gen_backslash_escape,
}
# Big files: fewer of them.
FEWER = {"wide_header": 4, "long_text": 6}


def files(per_category: int, seed: int):
    """(category, name, bytes, truth) for every held-out file."""
    for category, gen in GENERATORS.items():
        rng = random.Random(f"held-out-{seed}-{category}")
        for i in range(min(per_category, FEWER.get(category, per_category))):
            text, truth = gen(rng)
            yield category, f"{category}_{i:03d}.csv", text.encode("utf-8"), truth
