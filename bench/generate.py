"""Seeded generator of messy (and clean) CSV files for the benchmark.

The messy variant is mostly well-formed rows of mixed field types with, at a
few percent each: short rows, long rows, stray quotes, blank lines, CRLF line
ends mixed with LF, a byte-order mark and some invalid UTF-8. Both variants
hold legal quoted fields with delimiters, doubled quotes and line breaks.

    python bench/generate.py --size 10MB --variant messy -o bench/data/x.csv
"""

from __future__ import annotations

import argparse
import random
from pathlib import Path

# Bump when the output for a given (variant, size, seed) changes, so cached
# files under bench/data/ are regenerated.
GENERATOR_VERSION = 1

HEADER = ["id", "name", "city", "amount", "date", "active", "code", "comment"]
COLUMNS = len(HEADER)

FIRST_NAMES = ["Ann", "Bob", "Chloé", "Dmitri", "Eva", "Fatima", "Günther", "Hiro",
               "Inés", "José", "Kari", "Lars", "Mei", "Noor", "Olav", "Zoë"]
LAST_NAMES = ["Smith", "Ødegård", "Müller", "Tanaka", "García", "Nguyen", "Kowalski",
              "O'Brien", "Rossi", "Larsen", "Dubois", "Novák"]
CITIES = ["Oslo", "Bergen", "São Paulo", "Zürich", "Kraków", "New York", "Tokyo",
          "Reykjavík", "Lagos", "Montréal", "Melbourne", "Łódź"]
WORDS = ["late", "delivery", "box", "damaged", "refund", "ok", "checked", "call back",
         "urgent", "note", "pallet", "customs", "invoice", "see attached", "n/a"]

# Private-use character that stands for an invalid UTF-8 sequence until the
# text is encoded; it never occurs otherwise.
_INVALID_MARK = "\ue000"
_INVALID_BYTES = [b"\xff", b"\xc3(", b"\xed\xa0\x80", b"\xe2\x82", b"\x80"]

# Per-row probabilities of each kind of damage in the messy variant.
P_SHORT = 0.025
P_LONG = 0.015
P_STRAY_QUOTE = 0.006
P_BLANK = 0.005
P_INVALID_UTF8 = 0.002
P_CRLF = 0.2
_DAMAGE = [(P_BLANK, "blank"), (P_SHORT, "short"), (P_LONG, "long"),
           (P_STRAY_QUOTE, "stray_quote"), (P_INVALID_UTF8, "invalid_utf8")]
# Per-row probabilities of legal but awkward quoting (both variants).
P_QUOTED_DELIMITER = 0.03
P_DOUBLED_QUOTE = 0.01
P_LINE_BREAK = 0.005

_UNITS = {"KB": 10**3, "MB": 10**6, "GB": 10**9}


def parse_size(text: str) -> int:
    """'10MB' -> 10_000_000 (decimal units, as in MB/s)."""
    text = text.strip().upper()
    for unit, factor in _UNITS.items():
        if text.endswith(unit):
            return int(float(text[: -len(unit)]) * factor)
    return int(text)


def _pick(rng: random.Random, weighted: list[tuple[float, str]]) -> str | None:
    """One of the kinds with its probability, or None for the remainder."""
    r = rng.random()
    for probability, kind in weighted:
        if r < probability:
            return kind
        r -= probability
    return None


def _quote(field: str) -> str:
    return '"' + field.replace('"', '""') + '"'


class _RowMaker:
    def __init__(self, rng: random.Random, messy: bool) -> None:
        self.rng = rng
        self.messy = messy
        self.next_id = 1

    def comment(self) -> str:
        rng = self.rng
        r = rng.random()
        words = " ".join(rng.choices(WORDS, k=rng.randint(1, 4)))
        if r < P_QUOTED_DELIMITER:
            return _quote(f"{words}, {rng.choice(WORDS)}")
        r -= P_QUOTED_DELIMITER
        if r < P_DOUBLED_QUOTE:
            return _quote(f'{words} "{rng.choice(WORDS)}"')
        r -= P_DOUBLED_QUOTE
        if r < P_LINE_BREAK:
            return _quote(f"{words}\n{rng.choice(WORDS)}")
        return words

    def fields(self) -> list[str]:
        rng = self.rng
        row_id = self.next_id
        self.next_id += 1
        return [
            str(row_id),
            f"{rng.choice(FIRST_NAMES)} {rng.choice(LAST_NAMES)}",
            rng.choice(CITIES),
            f"{rng.uniform(-500, 5000):.2f}",
            f"20{rng.randint(10, 25)}-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}",
            "true" if rng.random() < 0.5 else "false",
            f"{rng.getrandbits(32):08x}",
            self.comment(),
        ]

    def line(self) -> str:
        """One record (possibly damaged) with its line end."""
        rng = self.rng
        fields = self.fields()
        damage = _pick(rng, _DAMAGE) if self.messy else None
        if damage == "blank":
            return "\n"
        if damage == "short":
            del fields[-rng.randint(1, 3):]
        elif damage == "long":
            fields.extend(rng.choices(WORDS, k=rng.randint(1, 3)))
        elif damage == "stray_quote":
            self._stray_quote(fields)
        elif damage == "invalid_utf8":
            fields[1] = fields[1][:3] + _INVALID_MARK + fields[1][3:]
        end = "\r\n" if self.messy and rng.random() < P_CRLF else "\n"
        return ",".join(fields) + end

    def _stray_quote(self, fields: list[str]) -> None:
        rng = self.rng
        if rng.random() < 0.8:
            # A quote inside an unquoted field, e.g. a size in inches.
            fields[2] = f'{fields[2]} {rng.randint(2, 60)}" pipe'
        else:
            # An opening quote that is never closed on this line.
            fields[1] = '"' + fields[1]


def _encode(chunk: list[str], rng: random.Random) -> bytes:
    data = "".join(chunk).encode("utf-8")
    mark = _INVALID_MARK.encode("utf-8")
    if mark not in data:
        return data
    parts = data.split(mark)
    out = [parts[0]]
    for part in parts[1:]:
        out.append(rng.choice(_INVALID_BYTES))
        out.append(part)
    return b"".join(out)


def generate(path: Path, size: int, seed: int = 42, messy: bool = True) -> int:
    """Write a CSV file of at least ``size`` bytes (whole rows); return its size."""
    rng = random.Random(seed)
    maker = _RowMaker(rng, messy)
    written = 0
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "wb") as out:
        head = ",".join(HEADER) + "\n"
        first = (b"\xef\xbb\xbf" if messy else b"") + head.encode()
        out.write(first)
        written += len(first)
        while written < size:
            chunk = [maker.line() for _ in range(5000)]
            data = _encode(chunk, rng)
            if written + len(data) > size:
                data = _trim(data, size - written)
            out.write(data)
            written += len(data)
    return written


def _trim(data: bytes, wanted: int) -> bytes:
    """Cut ``data`` after the first LF at or past ``wanted`` bytes.

    The cut may fall inside a quoted field that holds a line break; the
    last row is then damaged, which suits the messy variant and is rare.
    """
    cut = data.find(b"\n", max(wanted - 1, 0))
    return data if cut < 0 else data[: cut + 1]


def generate_runaway(path: Path, size: int) -> int:
    """Write ``"a`` over and over: one line of ``size`` bytes in which every
    quote but the first is a stray one, and no quote closes before the end
    of the line (the worst case of the stray-quote look-ahead)."""
    path.parent.mkdir(parents=True, exist_ok=True)
    block = b'"a' * (1 << 19)
    written = 0
    with open(path, "wb") as out:
        while written < size:
            data = block[: size - written]
            out.write(data)
            written += len(data)
    return written


def data_file(directory: Path, variant: str, size: int, seed: int) -> Path:
    """Path of the cached file for these parameters, generating it if absent."""
    label = _size_label(size)
    path = directory / f"{variant}-{label}-s{seed}-v{GENERATOR_VERSION}.csv"
    if not path.exists():
        tmp = path.with_suffix(".tmp")
        if variant == "runaway":
            generate_runaway(tmp, size)
        else:
            generate(tmp, size, seed, messy=(variant == "messy"))
        tmp.rename(path)
    return path


def _size_label(size: int) -> str:
    for unit in ("GB", "MB", "KB"):
        factor = _UNITS[unit]
        if size % factor == 0:
            return f"{size // factor}{unit}"
    return f"{size}B"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="10MB", help="e.g. 10MB, 100MB, 1GB")
    parser.add_argument("--seed", type=int, default=42)
    parser.add_argument("--variant", choices=["messy", "clean"], default="messy")
    parser.add_argument("-o", "--output", type=Path, required=True)
    args = parser.parse_args()
    size = generate(args.output, parse_size(args.size), args.seed, args.variant == "messy")
    print(f"{args.output}: {size} bytes")


if __name__ == "__main__":
    main()
