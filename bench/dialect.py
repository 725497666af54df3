"""Dialect and encoding detection: accuracy and time against CleverCSV,
DuckDB's sniffer and csv.Sniffer, per category and per property, over
labelled files in two halves.

The tuned half is what the detector's rules were written against: half of the
shared corpus entries whose source states a truth, plus generated variants of every category the detector has to read (wider
delimiter set, ", ", single quotes, no quoting, preambles and `sep=` lines,
decimal commas under ';', one-line files, a header one field short, rows
missing an empty last column, prose, non-UTF-8 encodings, and quotes escaped
with a backslash, headers of several rows, several tables in one file, notes
under a table). Where the clean table is known, the loaded table is scored
too: header, record and cell accuracy of read_arrow against CleverCSV's
read_table.

The held-out half is never tuned on: the other half of those corpus entries
(split by a hash of the name) and the well-formed tables of heldout.py,
written by Python's csv writer from a seed of their own. Both halves are
scored per property (delimiter, quote, escape, header, first table row,
width, data rows) for csv-gleave (detect, then the rows csv_gleave.open
yields), CleverCSV (Detector on the first 64 KiB, has_header, read_table)
and DuckDB (sniff_csv, then read_csv with what it sniffed, all VARCHAR).

All three run in this process on the same first 64 KiB of each file, read
into memory beforehand: csv_gleave.detect on the raw bytes (so its time
includes the conversion to UTF-8), CleverCSV and csv.Sniffer on that sample
decoded with the right encoding. Needs csv_gleave installed (or on
PYTHONPATH) and clevercsv.

    python bench/dialect.py [--per-category 12] [--out bench/dialect_results.md]
    python bench/dialect.py --held-out     # the held-out half alone
    python bench/dialect.py --tuned        # the tuned half alone

A run rewrites the sections of the results file it measured and keeps the
others.
"""
from __future__ import annotations

import argparse
import csv
import datetime
import hashlib
import importlib.util
import json
import os
import random
import sys
import tempfile
import time
from collections import defaultdict
from pathlib import Path

import heldout

ROOT = Path(__file__).resolve().parent.parent
CORPUS = next((Path(p) for p in (os.environ.get("GLEAVE_CORPUS", ""), ROOT.parent / "shared" / "corpus",
                                  Path("/work/shared/corpus")) if p and (Path(p) / "ground_truth.json").exists()),
              None)
SAMPLE = 64 * 1024
ANY = "any"

# ---------------------------------------------------------------- generation

FIRST = ["Anna", "Jürgen", "Zoë", "Marek", "Léa", "Tom", "Ines", "Bjørn", "Sam", "Olu"]
LAST = ["Smith", "Müller", "O'Neil", "García", "Novák", "Lee", "Dubois", "Kowalski"]
CITY = ["Berlin", "São Paulo", "New York", "Köln", "Zürich", "Lyon", "Oslo", "Austin"]
WORDS = ("the of and a to in is you that it he was for on are as with his they at be this "
         "have from or one had by word but not what all were we when your can said there use "
         "an each which she do how their if will up other about out many then them these so "
         "some her would make like him into time has look two more write go see number no way "
         "could people my than first water been call who oil its now find long down day did").split()


def number(rng, decimal=".", grouping=False):
    v = rng.uniform(-500, 5000)
    s = f"{v:,.2f}" if grouping else f"{v:.2f}"
    if decimal == ",":
        s = s.replace(",", "\0").replace(".", ",").replace("\0", ".")
    return s


def date(rng):
    return f"20{rng.randint(10, 24)}-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}"


def table(rng, rows, cols, *, decimal=".", spaces=True, times=True):
    """A header and typed data rows, as lists of raw strings."""
    kinds = ["int", "name", "num", "date", "city", "bool", "word"][:cols]
    while len(kinds) < cols:
        kinds.append(rng.choice(["int", "num", "word"]))
    rng.shuffle(kinds)
    kinds[0] = "int"
    head = [f"{k}_{i}" if rng.random() < 0.5 else f"{k.title()} {i}" if spaces else f"{k.title()}{i}"
            for i, k in enumerate(kinds)]
    out = [head]
    for r in range(rows):
        row = []
        for k in kinds:
            if k == "int":
                row.append(str(r + 1))
            elif k == "num":
                row.append(number(rng, decimal))
            elif k == "date":
                row.append(date(rng) + (f" {rng.randint(0, 23):02d}:30" if times and spaces and rng.random() < 0.3 else ""))
            elif k == "name":
                row.append(f"{rng.choice(FIRST)} {rng.choice(LAST)}" if spaces else rng.choice(LAST))
            elif k == "city":
                c = rng.choice(CITY)
                row.append(c if spaces else c.replace(" ", "_"))
            elif k == "bool":
                row.append(rng.choice(["true", "false"]))
            else:
                row.append(rng.choice(WORDS))
        out.append(row)
    return out


def write(rows, delim, quote='"', sep_after="", always_quote=False):
    lines = []
    for row in rows:
        cells = []
        for c in row:
            need = delim in c or (quote and quote in c) or always_quote
            if need and quote:
                c = quote + c.replace(quote, quote * 2) + quote
            cells.append(c)
        lines.append((delim + sep_after).join(cells))
    return "\n".join(lines) + "\n"


def gen_delimiter(rng, delim):
    spaces = delim != " "
    rows = table(rng, rng.randint(8, 40), rng.randint(3, 7), spaces=spaces, times=delim != ":")
    return write(rows, delim), {"delimiter": delim, "quote_char": ANY}


def gen_comma_space(rng):
    rows = table(rng, rng.randint(8, 30), rng.randint(3, 6))
    for r in rows[1:]:
        r[1] = f"{rng.choice(LAST)}, {rng.choice(FIRST)[0]}"
    return write(rows, ",", sep_after=" "), {"delimiter": ",", "quote_char": '"',
                                             "skip_initial_space": True}


def gen_single_quote(rng):
    delim = rng.choice([",", ";"])
    rows = table(rng, rng.randint(8, 30), rng.randint(3, 6))
    for r in rows[1:]:
        r[1] = f"{rng.choice(LAST).replace(chr(39), '')}{delim} {rng.choice(FIRST)}"
    return write(rows, delim, quote="'"), {"delimiter": delim, "quote_char": "'"}


def gen_no_quote(rng):
    delim = rng.choice([",", ";", "\t", "|"])
    rows = table(rng, rng.randint(10, 30), rng.randint(3, 6))
    for i, r in enumerate(rows[1:]):
        if i % 3 == 0:
            r[-1] = f'"{rng.choice(WORDS)} {rng.choice(WORDS)}'  # an opening quote never closed
        elif i % 3 == 1:
            r[-1] = f'{rng.randint(2, 30)}" pipe'  # inches
    return write(rows, delim, quote=None), {"delimiter": delim, "quote_char": None}


def preamble_text(rng, delim, width):
    out = []
    for _ in range(rng.randint(1, 4)):
        kind = rng.choice(["title", "comment", "blank", "source", "padded"])
        if kind == "title":
            out.append(" ".join(rng.choice(WORDS) for _ in range(rng.randint(2, 7))).title())
        elif kind == "comment":
            out.append("# " + " ".join(rng.choice(WORDS) for _ in range(rng.randint(2, 6))))
        elif kind == "blank":
            out.append("")
        elif kind == "source":
            out.append(f"Source: {rng.choice(CITY)} statistics office")
        else:
            out.append("Report " + str(rng.randint(2000, 2024)) + delim * (width - 1))
    while out and out[-1] == "":
        out.pop()
    if not out or out[0] == "":
        out.insert(0, "Annual report")
    return out


def gen_preamble(rng):
    delim = rng.choice([",", ";", "\t"])
    width = rng.randint(3, 6)
    rows = table(rng, rng.randint(10, 30), width)
    pre = preamble_text(rng, delim, width)
    return "\n".join(pre) + "\n" + write(rows, delim), {"delimiter": delim, "quote_char": ANY,
                                                       "preamble_lines": len(pre), "table": rows}


def gen_sep_line(rng):
    delim = rng.choice([";", ",", "|", "\t"])
    rows = table(rng, rng.randint(3, 20), rng.randint(2, 5))
    return f"sep={delim}\n" + write(rows, delim), {"delimiter": delim, "quote_char": ANY,
                                                  "preamble_lines": 1}


def gen_decimal_comma(rng):
    cols = rng.randint(2, 5)
    rows = table(rng, rng.randint(3, 25), cols, decimal=",")
    numeric = rng.random() < 0.5  # values only, as in `1,99;0,38;2,37`
    for r in rows[1:]:
        for i in range(0 if numeric else 1, cols):
            if numeric or rng.random() < 0.7:
                r[i] = number(rng, ",")
    return write(rows, ";", quote=None), {"delimiter": ";", "quote_char": ANY}


def gen_one_line(rng):
    delim = rng.choice([",", ";", "\t", "|", ";"])
    names = [f"{rng.choice(WORDS).title()}{rng.choice(['', ' ' + rng.choice(WORDS)])}"
             for _ in range(rng.randint(2, 6))]
    if rng.random() < 0.4:
        names[-1] = names[-1] + ", Name"
        return write([names], delim, always_quote=True), {"delimiter": delim, "quote_char": '"'}
    return write([names], delim), {"delimiter": delim, "quote_char": ANY}


def gen_header_short(rng):
    delim = rng.choice([",", ";", "\t"])
    width = rng.randint(3, 6)
    rows = table(rng, rng.randint(5, 25), width)
    rows[0] = rows[0][1:]  # the row labels' column has no name
    for i, r in enumerate(rows[1:]):
        r[0] = f"row{i + 1}"
    return write(rows, delim), {"delimiter": delim, "quote_char": ANY, "expected_width": width,
                                "header_missing_first": True}


def gen_missing_last(rng):
    delim = rng.choice([",", ";", "\t"])
    width = rng.randint(3, 6)
    rows = table(rng, rng.randint(10, 30), width)
    rows[0].append("Note")
    for r in rows[1:]:
        if rng.random() < 0.2:
            r.append(rng.choice(WORDS))
    return write(rows, delim), {"delimiter": delim, "quote_char": ANY,
                                "expected_width": width + 1}


def gen_prose(rng):
    words = []
    for _ in range(rng.randint(80, 400)):
        w = rng.choice(WORDS)
        r = rng.random()
        if r < 0.08:
            w += ","
        elif r < 0.14:
            w += "."
        words.append(w)
    lines, line = [], ""
    for w in words:
        if len(line) + len(w) > 70:
            lines.append(line.rstrip())
            line = ""
        line += w + " "
    lines.append(line.rstrip())
    return "\n".join(lines) + "\n", {"not_a_table": True}


def gen_cp1252(rng):
    rows = table(rng, rng.randint(5, 30), rng.randint(3, 5), decimal=",")
    rows[0][1] = "Wähler € Anteil"
    text = write(rows, ";")
    return text.encode("cp1252", errors="replace"), {"delimiter": ";", "quote_char": ANY,
                                                     "encoding": ("cp1252", "latin-1"),
                                                     "decode": "cp1252"}


def gen_latin1(rng):
    rows = table(rng, rng.randint(5, 30), rng.randint(3, 5))
    rows[0][1] = "Straße à la carte"
    return write(rows, ",").encode("latin-1", errors="replace"), {
        "delimiter": ",", "quote_char": ANY, "encoding": ("cp1252", "latin-1"),
        "decode": "latin-1"}


def gen_escape(rng):
    """Quotes escaped with a backslash instead of doubled (and a backslash
    that escapes nothing, kept as text)."""
    delim = rng.choice([",", ";", "\t", "|"])
    rows = table(rng, rng.randint(6, 30), rng.randint(3, 6))
    for i, r in enumerate(rows[1:]):
        if i % 2 == 0:
            r[1] = f'{rng.choice(WORDS)} "{rng.choice(WORDS)}"{delim} {rng.choice(WORDS)}'
        elif i % 5 == 1:
            r[1] = f"C:\\{rng.choice(WORDS)}"
    lines = []
    for row in rows:
        cells = []
        for c in row:
            if '"' in c or delim in c:
                c = '"' + c.replace("\\", "\\\\").replace('"', '\\"') + '"'
            cells.append(c)
        lines.append(delim.join(cells))
    return "\n".join(lines) + "\n", {"delimiter": delim, "quote_char": '"', "escape_char": "\\",
                                      "table": rows}


def gen_header_rows(rng):
    """A header of two or three rows: group labels (a year over its
    columns), names, and sometimes units under the names."""
    delim = rng.choice([",", ";", "\t"])
    groups, per = rng.randint(2, 3), rng.randint(2, 3)
    width = 1 + groups * per
    names = ["name"] + [f"q{j + 1}" for _ in range(groups) for j in range(per)]
    years = [""] + [str(2015 + g) if j == 0 else "" for g in range(groups) for j in range(per)]
    head = [years, names]
    if rng.random() < 0.4:
        head.append([""] + [rng.choice(["kg", "EUR", "%"])] * (width - 1))
    rows = [[f"{rng.choice(FIRST)} {rng.choice(LAST)}"] + [number(rng) for _ in range(width - 1)]
            for _ in range(rng.randint(5, 30))]
    # The loaders' names: a year carries on over its quarters, the labels join with a blank.
    combined, group = [], ""
    for i in range(width):
        group = years[i] or group
        combined.append(" ".join(p for p in (group, *(h[i] for h in head[1:])) if p))
    return write(head + rows, delim), {"delimiter": delim, "quote_char": ANY, "expected_width": width,
                                       "header_rows": len(head), "table": [combined] + rows}


def gen_tables(rng):
    """Two or three tables of different widths, separated by blank lines
    (and sometimes a title); the largest is the table, either first or
    below a small one."""
    delim = rng.choice([",", ";", "\t"])
    width = rng.randint(3, 6)
    others, used = [], {width}
    for _ in range(rng.randint(1, 2)):
        w = rng.choice([v for v in range(2, 7) if v not in used])
        used.add(w)
        title = f"Table {rng.randint(2, 9)}: {rng.choice(WORDS)} by {rng.choice(WORDS)}\n" if rng.random() < 0.4 else ""
        others.append(title + write(table(rng, rng.randint(2, 6), w), delim))
    main_rows = table(rng, rng.randint(10, 30), width)
    main = write(main_rows, delim)
    label = {"delimiter": delim, "quote_char": ANY, "expected_width": width, "tables": 1 + len(others),
             "table": main_rows}
    if rng.random() < 0.3:  # a small table above the large one
        above = others[0].split("\n", 1)[1] if others[0].startswith("Table") else others[0]
        text = above + "\n" + main
        label["tables"] = 2
        label["preamble_lines"] = above.count("\n") + 1
        return text, label
    return main + "".join("\n" + o for o in others), label


def gen_footnotes(rng):
    """Notes under a table: a source line, an asterisk note, after a blank
    line or not."""
    delim = rng.choice([",", ";", "\t"])
    rows = table(rng, rng.randint(5, 30), rng.randint(3, 6))
    notes = [f"Source: {rng.choice(CITY)} statistics office",
             "* " + " ".join(rng.choice(WORDS) for _ in range(rng.randint(2, 6))),
             f"Note: values in {rng.choice(['EUR', 'USD', 'tonnes'])}"][:rng.randint(1, 3)]
    gap = "\n" if rng.random() < 0.5 else ""
    return write(rows, delim) + gap + "\n".join(notes) + "\n", {
        "delimiter": delim, "quote_char": ANY, "footnote_line": len(rows) + len(gap) + 1, "table": rows}


def gen_utf16(rng):
    rows = table(rng, rng.randint(5, 30), rng.randint(3, 6))
    text = write(rows, "\t").replace("\n", "\r\n")
    if rng.random() < 0.5:
        return b"\xff\xfe" + text.encode("utf-16-le"), {
            "delimiter": "\t", "quote_char": ANY, "encoding": ("utf-16le",), "decode": "utf-16"}
    return text.encode("utf-16-le"), {"delimiter": "\t", "quote_char": ANY,
                                      "encoding": ("utf-16le",), "decode": "utf-16-le"}


STREETS = ["High Street", "Station Road", "Main St", "Church Lane", "Park Avenue", "Mill Road"]
FRUITS = ["apple", "pear", "plum", "fig", "kiwi", "lime", "mango", "grape"]


def gen_header_text(rng):
    """All-text tables: names over text whose profile differs (case, length,
    blanks, a few repeating values), and, a third of the time, no header."""
    delim = rng.choice([",", ";", "\t", "|"])
    makers = [("street", lambda: rng.choice(STREETS)), ("fruit", lambda: rng.choice(FRUITS).title()),
              ("iso", lambda: "".join(rng.choice("ABCDEFGHJKLMNPRSTUVWXZ") for _ in range(3))),
              ("owner", lambda: f"{rng.choice(FIRST)} {rng.choice(LAST)}"),
              ("city", lambda: rng.choice(CITY))]
    cols = rng.sample(makers, rng.randint(2, 3))
    header = rng.random() < 0.67
    rows = [[f() for _, f in cols] for _ in range(rng.randint(6, 30))]
    if header:
        rows.insert(0, [rng.choice([n, n.title(), n.upper()]) for n, _ in cols])
    label = {"delimiter": delim, "quote_char": ANY, "header": header}
    if header:
        label["table"] = rows
    return write(rows, delim), label


def gen_header_forms(rng):
    """Headers that are easy to miss: names padded with blanks, a first name
    with '#', names that are years over values with decimals."""
    delim = rng.choice([",", ";", "\t"])
    width = rng.randint(2, 5)
    kind = rng.choice(["padded", "hash", "years"])
    rows = table(rng, rng.randint(6, 25), width)
    if kind == "padded":
        rows[0] = [f"  {n} " if rng.random() < 0.7 else n for n in rows[0]]
    elif kind == "hash":
        rows[0][0] = "#" + rows[0][0]
    else:
        rows[0] = [rows[0][0]] + [str(1990 + i) for i in range(width - 1)]
        for r in rows[1:]:
            r[1:] = [number(rng) for _ in range(width - 1)]
    label = {"delimiter": delim, "quote_char": ANY, "header": True, "table": rows}
    if kind == "padded":
        label["table"] = [[c.strip() for c in r] for r in rows]
    return write(rows, delim), label


GENERATORS = {
    **{f"delim_{name}": (lambda d: lambda rng: gen_delimiter(rng, d))(d)
       for name, d in [("comma", ","), ("semicolon", ";"), ("tab", "\t"), ("pipe", "|"),
                       ("space", " "), ("colon", ":"), ("caret", "^"), ("tilde", "~")]},
    "comma_space": gen_comma_space,
    "single_quote": gen_single_quote,
    "no_quote": gen_no_quote,
    "preamble": gen_preamble,
    "sep_line": gen_sep_line,
    "decimal_comma": gen_decimal_comma,
    "one_line": gen_one_line,
    "header_short": gen_header_short,
    "missing_last": gen_missing_last,
    "prose": gen_prose,
    "enc_cp1252": gen_cp1252,
    "enc_latin1": gen_latin1,
    "enc_utf16": gen_utf16,
    "escape_char": gen_escape,
    "header_rows": gen_header_rows,
    "tables": gen_tables,
    "footnotes": gen_footnotes,
    "header_text": gen_header_text,
    "header_forms": gen_header_forms,
}


def held_out_name(rel: str) -> bool:
    """The half a corpus entry belongs to, fixed by its name alone."""
    return hashlib.sha256(rel.encode()).digest()[0] % 2 == 1


def corpus_truth(rel: str, stated: dict) -> dict:
    """What the source states, as held-out truth: delimiter and width; for
    entries with expected records, the header, first row and row count."""
    truth = {}
    if stated.get("delimiter"):
        truth["delimiter"] = stated["delimiter"]
    if stated.get("columns"):
        truth["width"] = stated["columns"]
    if stated.get("expected_json"):
        records = json.loads((CORPUS / stated["expected_json"]).read_text())
        records = records if isinstance(records, list) else [records]
        if records:
            truth.update(header=True, first_row=list(records[0]), rows=len(records))
    return truth


def corpus_entries(held_out: bool):
    gt = json.loads((CORPUS / "ground_truth.json").read_text()) if CORPUS else {}
    for rel, stated in sorted(gt.items()):
        if (stated.get("delimiter") or stated.get("columns")) and held_out_name(rel) == held_out:
            yield rel, stated


def build_held_out(directory: Path, per_category: int, seed: int):
    """(category, path, truth) of the held-out half."""
    files = [("corpus", CORPUS / rel, corpus_truth(rel, stated)) for rel, stated in corpus_entries(True)]
    for category, name, data, truth in heldout.files(per_category, seed):
        path = directory / name
        path.write_bytes(data)
        files.append((category, path, truth))
    return files


def build_files(directory: Path, per_category: int, seed: int):
    files = []  # (category, path, label)
    for rel, truth in corpus_entries(False):
        if truth.get("delimiter"):
            files.append(("corpus", CORPUS / rel, {"delimiter": truth["delimiter"], "quote_char": ANY,
                                                   **({"expected_width": truth["columns"]}
                                                      if truth.get("columns") else {})}))
    for category, gen in GENERATORS.items():
        rng = random.Random(f"{seed}-{category}")
        for i in range(per_category):
            data, label = gen(rng)
            if isinstance(data, str):
                data = data.encode("utf-8")
            if category != "prose":
                label.setdefault("preamble_lines", 0)
            path = directory / f"{category}_{i:03d}.csv"
            path.write_bytes(data)
            files.append((category, path, label))
    return files


# ---------------------------------------------------------------- running


LABELS = ("delimiter", "quote_char", "skip_initial_space", "preamble_lines", "expected_width",
          "header_missing_first", "not_a_table", "encoding", "escape_char", "header_rows", "tables",
          "footnote_line")


def run_ours(raw, repeats):
    """csv_gleave.detect on the raw sample bytes, in this process like the
    others: its time includes converting them to UTF-8."""
    import csv_gleave

    best, d = 1e99, None
    for _ in range(repeats):
        t0 = time.perf_counter()
        d = csv_gleave.detect(raw)
        best = min(best, time.perf_counter() - t0)
    got = {k: getattr(d, k) for k in LABELS}
    got["seconds"] = best
    return got


def decoded_sample(path, label):
    raw = Path(path).read_bytes()[:SAMPLE]
    text = raw.decode(label.get("decode", "utf-8"), errors="replace")
    return text.lstrip("\ufeff")


def run_clevercsv(text, repeats):
    import clevercsv

    best, d = 1e99, None
    for _ in range(repeats):
        t0 = time.perf_counter()
        try:
            d = clevercsv.Detector().detect(text)
        except Exception:  # noqa: BLE001 - a failure is a wrong answer here
            d = None
        best = min(best, time.perf_counter() - t0)
    if d is None:
        return None, best
    return {"delimiter": d.delimiter or None, "quote_char": d.quotechar or None,
            "skip_initial_space": False, "escape_char": d.escapechar or None}, best


def run_sniffer(text, repeats):
    best, d = 1e99, None
    for _ in range(repeats):
        t0 = time.perf_counter()
        try:
            d = csv.Sniffer().sniff(text)
        except csv.Error:
            d = None
        best = min(best, time.perf_counter() - t0)
    if d is None:
        return None, best
    return {"delimiter": d.delimiter, "quote_char": d.quotechar or None,
            "skip_initial_space": bool(d.skipinitialspace),
            "escape_char": None if d.doublequote else d.escapechar}, best


def dialect_right(label, got):
    """Delimiter, quote and blank handling as labelled; for prose, saying
    that there is no table."""
    if label.get("not_a_table"):
        return got is None or bool(got.get("not_a_table"))
    if got is None or got.get("not_a_table"):
        return False
    if got["delimiter"] != label["delimiter"]:
        return False
    if label.get("quote_char", ANY) != ANY and got.get("quote_char") != label["quote_char"]:
        return False
    if "escape_char" in label and got.get("escape_char") != label["escape_char"]:
        return False
    return bool(got.get("skip_initial_space")) == bool(label.get("skip_initial_space", False))


def full_right(label, got):
    if not dialect_right(label, got):
        return False
    if label.get("not_a_table"):
        return True
    for key in ("preamble_lines", "expected_width", "header_missing_first", "header_rows", "tables",
                "footnote_line"):
        if key in label and got.get(key) != label[key]:
            return False
    if "encoding" in label and got.get("encoding") not in label["encoding"]:
        return False
    return True


def table_accuracy(want, got):
    """Header, record and cell accuracy of a loaded table (header row first)
    against the clean one: the header right as a whole, the share of rows
    right as a whole and of cells right, row by row, over the larger of the
    two tables."""
    if not got:
        return 0.0, 0.0, 0.0
    header = float(got[0] == want[0])
    n = max(len(want), len(got)) - 1
    records = sum(got[i] == want[i] for i in range(1, min(len(want), len(got)))) / max(n, 1)
    total = sum(len(r) for r in want[1:]) + sum(len(r) for r in got[len(want):])
    cells = sum(a == b for i in range(1, min(len(want), len(got))) for a, b in zip(want[i], got[i]))
    return header, records, cells / max(total, 1)


def load_ours(path):
    """The table csv_gleave.read_arrow loads, as strings, names first."""
    import csv_gleave

    t = csv_gleave.read_arrow(str(path), infer_types=False)
    columns = [["" if v is None else v for v in c.to_pylist()] for c in t.columns]
    return [list(t.column_names)] + [list(r) for r in zip(*columns)]


def load_clevercsv(path, label):
    import clevercsv

    try:
        return [list(r) for r in clevercsv.read_table(str(path), encoding=label.get("decode", "utf-8"))]
    except Exception:  # noqa: BLE001 - a failure loads nothing
        return []


# ---------------------------------------------------------------- per property

PROPERTIES = ("delimiter", "quote", "escape", "header", "first_row", "width", "rows")
TOOLS = ("csv-gleave", "CleverCSV", "DuckDB")


def tuned_truth(label: dict) -> dict:
    """The per-property truth of a tuned-half label."""
    if label.get("not_a_table"):
        return {}
    truth = {"delimiter": label["delimiter"]}
    if label.get("quote_char", ANY) != ANY:
        truth["quote"] = label["quote_char"]
    if "escape_char" in label:
        truth["escape"] = label["escape_char"]
    if "expected_width" in label:
        truth["width"] = label["expected_width"]
    if "header" in label:
        truth["header"] = label["header"]
    if "table" in label and "header_rows" not in label:
        t = label["table"]
        truth.update(header=True, first_row=t[0], rows=len(t) - 1, width=len(t[0]))
    return truth


def _none(value):
    return None if value in ("", "(empty)") else value


def _loaded(rows, header):
    rows = [r for r in rows if r]
    return {"first_row": rows[0] if rows else None, "width": len(rows[0]) if rows else 0,
            "rows": len(rows) - bool(header and rows)}


def props_gleave(path, encoding):
    import csv_gleave

    d = csv_gleave.detect(str(path))
    reader = csv_gleave.open(str(path))
    rows = list(reader)
    return {"delimiter": d.delimiter, "quote": d.quote_char, "escape": d.escape_char, "header": d.header,
            **_loaded(rows, reader.summary.header)}


def props_clevercsv(path, encoding):
    import io

    import clevercsv

    text = Path(path).read_bytes().decode(encoding, errors="replace").lstrip("\ufeff")
    detector = clevercsv.Detector()
    d = detector.detect(text[:SAMPLE])
    if d is None:
        return None
    header = detector.has_header(text[:SAMPLE])
    rows = list(clevercsv.reader(io.StringIO(text, newline=""), d))
    quote, escape = _none(d.quotechar), _none(d.escapechar)
    return {"delimiter": d.delimiter, "quote": quote, "escape": None if escape == quote else escape,
            "header": header, **_loaded(rows, header)}


def props_duckdb(path, encoding):
    import duckdb

    con = duckdb.connect()
    lit = lambda v: "'" + str(v).replace("'", "''") + "'"  # noqa: E731
    delim, quote, escape, newline, comment, skip, header, columns = con.execute(
        f"SELECT * FROM sniff_csv({lit(path)})").fetchone()[:8]
    quote, escape, comment, newline = map(_none, (quote, escape, comment, newline))
    # The table as DuckDB reads it with what it sniffed, every column as text.
    cols = ", ".join(f"{lit(c['name'])}: 'VARCHAR'" for c in columns)
    rows = con.execute(
        f"SELECT * FROM read_csv({lit(path)}, auto_detect=false, delim={lit(delim)}, quote={lit(quote or '')}, "
        f"escape={lit(escape or '')}, comment={lit(comment or '')}, skip={skip}, header={str(header).lower()}, "
        + (f"new_line={lit(newline)}, " if newline else "") + f"columns={{{cols}}})").fetchall()
    rows = [["" if v is None else v for v in r] for r in rows]
    table = ([[c["name"] for c in columns]] if header else []) + rows
    return {"delimiter": delim, "quote": quote, "escape": None if escape == quote else escape,
            "header": header, **_loaded(table, header)}


RUNNERS = {"csv-gleave": props_gleave, "CleverCSV": props_clevercsv, "DuckDB": props_duckdb}


def score(truth: dict, got: dict | None) -> dict:
    """Right or wrong per property that the truth states; a tool that failed
    is wrong on every one."""
    out = {}
    for prop in PROPERTIES:
        if prop not in truth:
            continue
        have, want = (got or {}).get(prop), truth[prop]
        if prop == "first_row":
            out[prop] = got is not None and have is not None and [c.strip() for c in have] == [c.strip() for c in want]
        else:
            out[prop] = got is not None and have == want
    return out


def evaluate(files, show_wrong=False):
    """stats[category][property][tool or "n"]: files right, and files scored."""
    stats = defaultdict(lambda: defaultdict(lambda: defaultdict(int)))
    for category, path, truth, encoding in files:
        if not truth:
            continue
        for tool, runner in RUNNERS.items():
            try:
                got = runner(path, encoding)
            except Exception as exc:  # noqa: BLE001 - a failure is a wrong answer here
                got = None
                if show_wrong:
                    print(f"FAILED {tool} {category} {path}: {type(exc).__name__}: {exc}"[:300], file=sys.stderr)
            right = score(truth, got)
            for prop, ok in right.items():
                stats[category][prop][tool] += ok
            if show_wrong and tool == "csv-gleave" and not all(right.values()):
                wrong = {k: ((got or {}).get(k), truth[k]) for k, ok in right.items() if not ok}
                print(f"WRONG {category} {path}: " + repr(wrong)[:400], file=sys.stderr)
        for prop in PROPERTIES:
            stats[category][prop]["n"] += prop in truth
    return stats


def property_report(title: str, stats) -> str:
    names = {"first_row": "first table row", "rows": "data rows"}
    total = defaultdict(lambda: defaultdict(int))
    for per_prop in stats.values():
        for prop, counts in per_prop.items():
            for k, v in counts.items():
                total[prop][k] += v
    lines = [f"### {title}: per property", "", "| property | files | " + " | ".join(TOOLS) + " |",
             "|---|--:|" + "--:|" * len(TOOLS)]
    for prop in PROPERTIES:
        n = total[prop]["n"]
        if n:
            lines.append(f"| {names.get(prop, prop)} | {n} | "
                         + " | ".join(f"{total[prop][t]} ({100 * total[prop][t] / n:.0f}%)" for t in TOOLS) + " |")
    lines += ["", f"### {title}: per category", "",
              "Right answers of " + " / ".join(TOOLS) + " out of the files whose truth states the property.", "",
              "| category | " + " | ".join(names.get(p, p) for p in PROPERTIES) + " |",
              "|---|" + "---|" * len(PROPERTIES)]
    for category, per_prop in stats.items():
        cells = [" / ".join(str(per_prop[p][t]) for t in TOOLS) + f" of {per_prop[p]['n']}"
                 if per_prop[p]["n"] else "" for p in PROPERTIES]
        lines.append(f"| {category} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def run_stamp(argv) -> str:
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    load = os.getloadavg()
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    versions = []
    for module in ("csv_gleave", "clevercsv", "duckdb"):
        try:
            versions.append(f"{module} {__import__(module).__version__}")
        except Exception:  # noqa: BLE001
            versions.append(f"{module} not installed")
    command = " ".join(["python bench/dialect.py", *(sys.argv[1:] if argv is None else argv)])
    return (f"Run on {now} with `{command}`; load average {load[0]:.2f} / {load[1]:.2f} / {load[2]:.2f} "
            f"(1, 5, 15 minutes) on {cores} cores; {', '.join(versions)}.")


def write_sections(path: Path, sections: dict) -> None:
    """Rewrites the sections of the results file that were measured, keeping the others."""
    order = ["held-out", "tuned"]
    parts = {}
    if path.exists():
        for chunk in path.read_text().split("<!-- section: ")[1:]:
            name, _, body = chunk.partition(" -->\n")
            parts[name] = body
    parts.update(sections)
    path.write_text("# Dialect detection: accuracy and time\n\n" + "".join(
        f"<!-- section: {name} -->\n{parts[name].rstrip()}\n\n" for name in order if name in parts))


def run_held_out(args, stamp) -> str:
    with tempfile.TemporaryDirectory() as tmp:
        files = [(c, p, t, "utf-8") for c, p, t in build_held_out(Path(tmp), args.per_category, args.seed + 1)]
        stats = evaluate(files, args.show_wrong)
    report = property_report("Held-out half", stats)
    print(report)
    return ("## Held-out half: files never used to tune the rules\n\n"
            "Half of the corpus entries with a stated truth (chosen by a hash of the name) and well-formed "
            "tables written by Python's csv writer (`bench/heldout.py`, their own seed). The corpus entries "
            "of this half were in the single evaluation set before it was split, so earlier tuning saw them; "
            "the generated tables are new. csv-gleave: "
            "`detect(path)`, then the rows `csv_gleave.open(path)` yields; CleverCSV: `Detector` on the first "
            f"{SAMPLE // 1024} KiB, `has_header`, its reader; DuckDB: `sniff_csv(path)`, then `read_csv` with "
            "the sniffed options and every column as text. First table row: the first row loaded (the header, "
            "or the first data row) equals the truth's; width: its number of fields; data rows: the rows "
            "loaded less the header. A tool that fails on a file is wrong on every property of it. Quote is "
            "scored only where the writer quoted a field, escape only where it escaped or doubled a quote.\n\n"
            f"{stamp}\n\n{report}\n")


def run_tuned(args, stamp) -> str:
    with tempfile.TemporaryDirectory() as tmp:
        files = build_files(Path(tmp), args.per_category, args.seed)
        stats = defaultdict(lambda: defaultdict(float))
        per_property = evaluate([(c, p, tuned_truth(lb), lb.get("decode", "utf-8"))
                                 for c, p, lb in files], args.show_wrong)
        for category, path, label in files:
            o = run_ours(Path(path).read_bytes()[:SAMPLE], args.repeats)
            text = decoded_sample(path, label)
            c, ct = run_clevercsv(text, args.repeats)
            s, st = run_sniffer(text, args.repeats)
            row = stats[category]
            row["files"] += 1
            row["ours"] += dialect_right(label, o)
            row["ours_full"] += full_right(label, o)
            row["clever"] += dialect_right(label, c)
            row["sniffer"] += dialect_right(label, s)
            row["t_ours"] += o["seconds"]
            row["t_clever"] += ct
            row["t_sniffer"] += st
            if "table" in label:
                want = label["table"]
                for who, got in (("ours", load_ours(path)), ("clever", load_clevercsv(path, label))):
                    h, r, c = table_accuracy(want, got)
                    row[f"{who}_header"] += h
                    row[f"{who}_records"] += r
                    row[f"{who}_cells"] += c
                    row["loaded"] += who == "ours"
            if args.show_wrong and not full_right(label, o):
                print(f"WRONG {category} {path.name if category != 'corpus' else path}: "
                      f"label={label} got={ {k: o[k] for k in LABELS} }",
                      file=sys.stderr)

    lines = ["| category | files | detect | detect (all parts) | CleverCSV | csv.Sniffer | "
             "detect ms/file | CleverCSV ms/file | Sniffer ms/file | CleverCSV / detect |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    total = defaultdict(float)
    for category, row in stats.items():
        for k, v in row.items():
            total[k] += v
    for category, row in [*stats.items(), ("all", total)]:
        n = row["files"]
        pct = lambda k: f"{100 * row[k] / n:.0f}%"  # noqa: E731
        ms = lambda k: f"{1000 * row[k] / n:.4f}"  # noqa: E731
        lines.append(f"| {category} | {n:.0f} | {pct('ours')} | {pct('ours_full')} | {pct('clever')} | "
                     f"{pct('sniffer')} | {ms('t_ours')} | {ms('t_clever')} | {ms('t_sniffer')} | "
                     f"{row['t_clever'] / max(row['t_ours'], 1e-9):.0f}x |")
    loaded = [(c, r) for c, r in stats.items() if r["loaded"]]
    if loaded:
        lines += ["", "Loaded tables, where the clean table is known: header, record and cell accuracy of "
                  "`read_arrow(infer_types=False)` against CleverCSV's `read_table` (header = first row).", "",
                  "| category | files | header | records | cells | CleverCSV header | records | cells |",
                  "|---|---:|---:|---:|---:|---:|---:|---:|"]
        for category, row in loaded:
            n = row["loaded"]
            pct = lambda k: f"{100 * row[k] / n:.1f}%"  # noqa: E731
            lines.append(f"| {category} | {n:.0f} | {pct('ours_header')} | {pct('ours_records')} | "
                         f"{pct('ours_cells')} | {pct('clever_header')} | {pct('clever_records')} | "
                         f"{pct('clever_cells')} |")
    report = "\n".join(lines)
    print(report)
    heading = ("## Tuned half: the files the rules were written against\n\n"
               "`detect` = delimiter, quote character and skip-initial-space as labelled (for prose: "
               "reporting that there is no table); `all parts` adds preamble lines, expected width, "
               "the side of a missing header name, the encoding and, where labelled, the escape "
               "character, the rows a header spans and the number of tables. CleverCSV and csv.Sniffer get "
               "the sample decoded with the right encoding; `detect` decodes the raw bytes itself, "
               "and its time includes that. Times are the best of "
               f"{args.repeats} runs on a {SAMPLE // 1024} KiB sample.\n\n")
    return (heading + f"{stamp}\n\n" + property_report("Tuned half", per_property)
            + "\n\n### Tuned half: per category, with times\n\n" + report + "\n")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--per-category", type=int, default=12)
    ap.add_argument("--seed", type=int, default=14)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--out", type=Path, default=ROOT / "bench" / "dialect_results.md")
    ap.add_argument("--show-wrong", action="store_true")
    half = ap.add_mutually_exclusive_group()
    half.add_argument("--held-out", action="store_true", help="the held-out half alone")
    half.add_argument("--tuned", action="store_true", help="the tuned half alone")
    args = ap.parse_args(argv)
    missing = [m for m in ("csv_gleave", "clevercsv", "duckdb") if importlib.util.find_spec(m) is None]
    if missing:  # each would otherwise score as wrong on every file
        ap.error(f"needs {', '.join(missing)}: pip install '.[bench]'")
    stamp = run_stamp(argv)
    sections = {}
    if not args.tuned:
        sections["held-out"] = run_held_out(args, stamp)
    if not args.held_out:
        sections["tuned"] = run_tuned(args, stamp)
    write_sections(args.out, sections)


if __name__ == "__main__":
    main()
