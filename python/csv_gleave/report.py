"""A repair report as one self-contained HTML page (``csv-gleave report``).

The page is for the person who must understand a damaged file: how it was
read (the dialect and encoding chosen, the evidence and the runner-up
candidates), the counts, a damage map along the file, the first rows of each
kind with their raw text, and a profile of each column.

The counts and the damage map come from one full pass, a repair with padding
and merging switched off whose quarantine goes to a temporary file: every row
whose width is off is then listed with its first line and its reason, and is
sorted back into padded, merged or quarantined by the options asked for. So
the pass streams (memory does not grow with the file) and the map is binned
(a fixed number of bins, whatever the length). The profile reads only the
first rows (a bounded sample). The page has no script but a few lines of
vanilla JavaScript for zooming the map, no network access and no fonts.
"""

from __future__ import annotations

import array
import csv
import datetime
import html
import math
import os
import sys
import tempfile
import threading
from collections import Counter
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

from . import detect as _detect
from . import gleave_file as _gleave_file
from . import open as _open
from . import remote
from ._options import DETECT_OPTIONS, OPTIONS
from ._replace import replace_into_place

__all__ = ["build_report", "write_report", "ColumnProfile", "profile_columns"]

#: Rows read for the column profile, at most.
SAMPLE_ROWS = 20_000
#: Columns profiled, at most (a broken file may be thousands wide).
MAX_COLUMNS = 200
#: Bytes of the file's head they are read from, at most.
SAMPLE_BYTES = 8 << 20
#: Bins of the damage map.
MAP_BINS = 400
#: Rows of each kind shown with their raw text.
SHOWN_ROWS = 5
#: Runner-up candidate dialects shown after the chosen one.
SHOWN_CANDIDATES = 5

_SHORT = "too few columns"
_LONG = "extra columns"
# The verdicts in the order the map stacks them, with their colours.
_KINDS = [("padded", "#e0a030"), ("merged", "#7a5cc4")]
_QUARANTINE_COLOURS = ["#c8372d", "#2b7bb9", "#3a9d5d", "#b8478f", "#6b6b6b", "#d2691e", "#1f8a8a"]


def _csv_field_limit() -> None:
    # A quarantined row is one field of the quarantine file: it may be longer
    # than the csv module's default limit of 128 KiB.
    limit = sys.maxsize
    while True:
        try:
            csv.field_size_limit(limit)
            return
        except OverflowError:
            limit //= 2


# --------------------------------------------------------------------------
# the full pass


class Damage:
    """Rows whose width was off, or that were set aside, by kind, with the first of each."""

    def __init__(self, options: Dict[str, Any]) -> None:
        self.fill = options.get("fill_ragged_rows", True)
        self.merge = options.get("merge_overflow", True)
        self.counts: Counter[str] = Counter()
        self.first: Dict[str, List[Tuple[int, str, str]]] = {}
        self.order: List[str] = []

    def kind(self, reason: str) -> str:
        if _SHORT in reason and self.fill:
            return "padded"
        if _LONG in reason and self.merge:
            return "merged"
        return reason


def _count_lines(path: str, into: List[int]) -> None:
    lines, last = 0, b"\n"
    with open(path, "rb") as handle:
        while True:
            chunk = handle.read(1 << 23)
            if not chunk:
                break
            lines += chunk.count(b"\n")
            last = chunk[-1:]
    into.append(lines + (last != b"\n"))


def _full_pass(source: Any, options: Dict[str, Any]) -> Tuple[Any, Damage, List[List[int]], int]:
    """One streaming repair: the summary, the damage by kind, and the map's bins."""
    damage = Damage(options)
    strict = dict(options, fill_ragged_rows=False, merge_overflow=False)
    local = source if isinstance(source, str) and not remote.is_url(source) else remote.local_path(str(source))
    # The lines are counted while the repair runs (it releases the interpreter lock).
    counted: List[int] = []
    counter = threading.Thread(target=_count_lines, args=(local, counted), daemon=True) \
        if local and os.path.isfile(local) else None
    if counter:
        counter.start()
    kinds, lines = array.array("B"), array.array("q")
    names: List[str] = []
    counts: List[int] = []
    by_reason: Dict[str, int] = {}
    try:
        with tempfile.TemporaryDirectory(prefix="csv-gleave-report-") as tmp:
            rejects = os.path.join(tmp, "rejects.csv")
            summary = _gleave_file(source, os.devnull, rejects, **strict)
            _csv_field_limit()
            with open(rejects, newline="", encoding="utf-8", errors="replace") as handle:
                reader = csv.reader(handle)
                next(reader, None)
                for record in reader:
                    if len(record) < 3:
                        continue
                    line, reason = int(record[0]), record[1]
                    index = by_reason.get(reason)
                    if index is None:
                        kind = damage.kind(reason)
                        if kind not in names:
                            names.append(kind)
                            counts.append(0)
                        # Past 255 kinds (reasons are a handful) they share the last.
                        index = by_reason[reason] = min(names.index(kind), 255)
                    counts[index] += 1
                    if counts[index] <= SHOWN_ROWS:
                        damage.first.setdefault(names[index], []).append((line, reason, record[2][:2000]))
                    kinds.append(index)
                    lines.append(line)
    finally:
        if counter:
            counter.join()
    damage.counts.update(dict(zip(names, counts)))
    total_lines = max(counted + [max(lines, default=0), 1])
    damage.order = [k for k, _ in _KINDS] + sorted(k for k in names if k not in dict(_KINDS))
    bins = [[0] * MAP_BINS for _ in damage.order]
    series = [bins[damage.order.index(kind)] for kind in names]
    for line, index in zip(lines, kinds):
        series[index][min(MAP_BINS - 1, (line - 1) * MAP_BINS // total_lines)] += 1
    return summary, damage, bins, total_lines


# --------------------------------------------------------------------------
# the column profile


class ColumnProfile:
    """What a bounded sample of a column holds."""

    def __init__(self, name: str, values: Sequence[str]) -> None:
        self.name = name
        self.rows = len(values)
        present = [v for v in values if v != ""]
        self.nulls = self.rows - len(present)
        counts = Counter(present)
        self.distinct = len(counts)
        self.type, parsed = _infer(present)
        self.top = counts.most_common(5)
        self.min: Optional[str] = None
        self.max: Optional[str] = None
        self.histogram: List[int] = []
        if parsed:
            low, high = min(parsed), max(parsed)
            self.min, self.max = _show(low), _show(high)
            if self.type in ("int64", "float64") and high > low:
                self.histogram = _histogram([float(p) for p in parsed], float(low), float(high))
        elif present:
            self.min, self.max = min(present), max(present)


def _show(value: Any) -> str:
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, (datetime.date, datetime.datetime)):
        return value.isoformat()
    return str(value)


def _histogram(values: Sequence[float], low: float, high: float, bins: int = 12) -> List[int]:
    counts = [0] * bins
    width = (high - low) / bins
    for v in values:
        counts[min(bins - 1, int((v - low) / width))] += 1
    return counts


_BOOLS = {"true": True, "false": False, "True": True, "False": False, "TRUE": True, "FALSE": False}


def _parse_all(values: Iterable[str], parse: Any) -> Optional[List[Any]]:
    out = []
    for v in values:
        try:
            out.append(parse(v))
        except (ValueError, KeyError, OverflowError):
            return None
    return out


def _int(text: str) -> int:
    # Leading zeros (an id such as 007) and signs spelled oddly stay text.
    digits = text[1:] if text[:1] in "+-" else text
    if not digits.isascii() or not digits.isdigit() or (len(digits) > 1 and digits[0] == "0"):
        raise ValueError(text)
    value = int(text)
    if not -(1 << 63) <= value < (1 << 63):
        raise OverflowError(text)
    return value


def _float(text: str) -> float:
    digits = text[1:] if text[:1] in "+-" else text
    if not text.isascii() or text.strip() != text or (len(digits) > 1 and digits[0] == "0" and digits[1].isdigit()):
        raise ValueError(text)
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(text)
    return value


def _infer(values: Sequence[str]) -> Tuple[str, Optional[List[Any]]]:
    """The narrowest type every value of the sample converts to without loss."""
    if not values:
        return "empty", None
    for name, parse in (("int64", _int), ("float64", _float), ("bool", _BOOLS.__getitem__),
                        ("date", datetime.date.fromisoformat),
                        ("timestamp", datetime.datetime.fromisoformat)):
        parsed = _parse_all(values, parse)
        if parsed is not None:
            return name, parsed
    return "string", None


def _head(source: Any, size: int) -> Tuple[bytes, bool]:
    """The first ``size`` bytes of ``source``, and whether there is more."""
    local = remote.local_path(source) if isinstance(source, str) and remote.is_url(source) else source
    if local is None:
        fs, name = remote.filesystem(source)
        handle = fs.open(name, "rb")
    else:
        handle = open(local, "rb")
    with handle:
        data = handle.read(size)
        return data, bool(handle.read(1))


def _cut(data: bytes, encoding: str) -> bytes:
    """``data`` up to its last line end, in the file's encoding."""
    name = encoding.lower().replace("_", "-")
    unit, newline = 1, b"\n"
    if name.startswith(("utf-16", "utf-32")):
        unit = 2 if name.startswith("utf-16") else 4
        big = name.endswith("be") or (not name.endswith("le") and data[:2] in (b"\xfe\xff", b"\x00\x00"))
        newline = "\n".encode(f"{name[:6]}-{'be' if big else 'le'}")
    end = len(data)
    while True:
        at = data.rfind(newline, 0, end)
        if at < 0:
            return data
        if at % unit == 0:
            return data[: at + len(newline)]
        end = at + len(newline) - 1


def _sample_rows(source: Any, dialect: Any, options: Dict[str, Any], limit: int) -> List[List[str]]:
    """The first ``limit`` repaired rows, from the head of the file only.

    A reader would take in the whole file before its first row; the head is
    read with the dialect detected on the whole, so it splits the same way.
    """
    pinned = {o.name: getattr(dialect, o.field) for o in OPTIONS if not o.repair_only}
    pinned.update({k: v for k, v in options.items() if k != "allow_binary"})
    data, more = _head(source, SAMPLE_BYTES)
    rows: List[List[str]] = []
    with tempfile.TemporaryDirectory(prefix="csv-gleave-report-") as tmp:
        head = os.path.join(tmp, "head.csv")
        with open(head, "wb") as handle:
            handle.write(_cut(data, dialect.encoding) if more else data)
        with _open(head, **pinned) as reader:
            for row in reader:
                rows.append(row)
                if len(rows) > limit:
                    break
    return rows


def profile_columns(rows: Sequence[List[str]], header: bool = True) -> Tuple[List[ColumnProfile], int]:
    """Profiles of the columns of ``rows``; and the number of data rows."""
    if not rows:
        return [], 0
    names = rows[0] if header else []
    body = rows[1:] if header else rows
    width = min(MAX_COLUMNS, max(len(names), max((len(r) for r in body), default=0)))
    names = [n or f"column {i + 1}" for i, n in enumerate(names)] + [
        f"column {i + 1}" for i in range(len(names), width)
    ]
    columns = [[r[i] if i < len(r) else "" for r in body] for i in range(width)]
    return [ColumnProfile(n, c) for n, c in zip(names, columns)], len(body)


# --------------------------------------------------------------------------
# the page


def _e(value: Any) -> str:
    return html.escape(str(value), quote=True)


def _delimiter(char: str) -> str:
    from .cli import describe_delimiter

    return describe_delimiter(char)


def _visible(text: str) -> str:
    from .cli import escape

    return escape(text)


def _colour(kind: str, order: Sequence[str]) -> str:
    fixed = dict(_KINDS)
    if kind in fixed:
        return fixed[kind]
    others = [k for k in order if k not in fixed]
    return _QUARANTINE_COLOURS[others.index(kind) % len(_QUARANTINE_COLOURS)]


def _label(kind: str) -> str:
    return kind if kind in dict(_KINDS) else f"quarantined: {kind}"


def _facts_table(rows: Sequence[Tuple[str, str]], css: str = "facts") -> str:
    body = "".join(f"<tr><th>{_e(k)}</th><td>{v}</td></tr>" for k, v in rows)
    return f'<table class="{css}">{body}</table>'


def _dialect_section(dialect: Any, summary: Dict[str, Any]) -> str:
    quote = "none" if dialect.quote_char is None else _e(dialect.quote_char)
    encoding = _e(summary.get("encoding", dialect.encoding))
    replaced = summary.get("replaced_bytes", 0)
    if replaced:
        encoding += f" ({replaced} byte{'s' if replaced != 1 else ''} replaced with U+FFFD)"
    fallback = summary.get("fallback_bytes", 0)
    if fallback:
        encoding += f" ({fallback} byte{'s' if fallback != 1 else ''} read as cp1252)"
    facts = [
        ("encoding", encoding),
        ("delimiter", _e(_delimiter(summary.get("detected_delimiter", dialect.delimiter)))),
        ("quote", quote),
        ("escape", "none (quotes doubled)" if dialect.escape_char is None else _e(dialect.escape_char)),
        ("blanks after delimiters", "skipped" if dialect.skip_initial_space else "kept"),
        ("header", f"yes, {dialect.header_rows} row{'s' if dialect.header_rows != 1 else ''}"
         if dialect.header else "no"),
        ("columns", _e(summary.get("inferred_columns", dialect.expected_width))),
        ("preamble lines", _e(dialect.preamble_lines)),
    ]
    if dialect.not_a_table:
        facts.append(("table", "no delimiter cuts the lines at a steady width: this may not be a table"))
    if dialect.tables > 1:
        facts.append(("tables", f"{dialect.tables}; rows of the others from line {dialect.other_table_line} on "
                                "are set aside"))
    head = ("<tr><th>delimiter</th><th>quote</th><th>skip blanks</th><th>width</th><th>steady</th>"
            "<th>pattern</th><th>types</th><th>score</th><th></th></tr>")
    rows = []
    for c in list(dialect.evidence)[: SHOWN_CANDIDATES + 1]:
        notes = [n for n, flag in (("chosen", c["chosen"]), ("cuts values", c["cuts_values"]),
                                   ("quotes pair up", c["quotes_pair_up"])) if flag]
        rows.append(
            f'<tr class="{"chosen" if c["chosen"] else "runner-up"}">'
            f"<td>{_e(_delimiter(c['delimiter']))}</td>"
            f"<td>{'none' if c['quote_char'] is None else _e(c['quote_char'])}</td>"
            f"<td>{'yes' if c['skip_initial_space'] else 'no'}</td><td class=n>{c['width']}</td>"
            f"<td class=n>{c['consistency']:.2f}</td><td class=n>{c['pattern_score']:.2f}</td>"
            f"<td class=n>{c['type_score']:.2f}</td><td class=n>{c['score']:.3f}</td>"
            f"<td>{_e(', '.join(notes))}</td></tr>"
        )
    evidence = (f'<table class="grid" id="candidates">{head}{"".join(rows)}</table>' if rows
                else "<p>The dialect was given, not detected: no candidates were scored.</p>")
    return (f'<section id="dialect"><h2>How the file was read</h2>{_facts_table(facts)}'
            f"<h3>Candidate dialects (the chosen one first, then the runners-up)</h3>{evidence}</section>")


def _counts_section(summary: Dict[str, Any], damage: Damage) -> str:
    facts = [
        ("rows read", summary["total_rows"]),
        ("kept", summary["gleaved_rows"]),
        ("padded", damage.counts.get("padded", 0)),
        ("merged", damage.counts.get("merged", 0)),
        ("quarantined", summary["quarantined_rows"]),
        ("blank lines skipped", summary.get("blank_rows", 0)),
    ]
    for key, label in (("preamble_rows", "preamble lines set aside"), ("footnote_rows", "footnote lines set aside"),
                       ("other_table_rows", "rows of other tables set aside"),
                       ("repeated_header_rows", "repeated headers set aside"),
                       ("comment_rows", "comment lines set aside")):
        if summary.get(key):
            facts.append((label, summary[key]))
    cells = "".join(f'<div class="count"><b>{v:,}</b><span>{_e(k)}</span></div>' for k, v in facts)
    return f'<section id="counts"><h2>Counts</h2><div class="counts">{cells}</div></section>'


def _map_section(damage: Damage, bins: List[List[int]], total_lines: int) -> str:
    order = damage.order
    width, height = 1000, 120
    peak = max([sum(col) for col in zip(*bins)] + [1]) if bins else 1
    step = width / MAP_BINS
    bars = []
    for b in range(MAP_BINS):
        total = sum(series[b] for series in bins)
        if not total:
            continue
        y = float(height)
        first = total_lines * b // MAP_BINS + 1
        last = max(first, total_lines * (b + 1) // MAP_BINS)
        # The bin's height on a square-root scale, so that one bad row beside
        # a thousand still shows; its kinds share it in proportion.
        column = max(2.0, height * math.sqrt(total / peak))
        for kind, series in zip(order, bins):
            n = series[b]
            if not n:
                continue
            h = max(1.0, column * n / total)
            y -= h
            bars.append(f'<rect class="bar" x="{b * step:.2f}" y="{max(y, 0):.2f}" width="{max(step, 1.0):.2f}" '
                        f'height="{h:.2f}" fill="{_colour(kind, order)}"><title>lines {first}-{last}: '
                        f"{n} {_e(_label(kind))}</title></rect>")
    ticks = []
    for i in range(6):
        x = width * i / 5
        line = total_lines if i == 5 else 1 + total_lines * i // 5  # the line at that point of the axis
        anchor = "start" if i == 0 else "end" if i == 5 else "middle"
        ticks.append(f'<text x="{x:.0f}" y="{height + 16}" text-anchor="{anchor}">line {line}</text>')
    legend = "".join(
        f'<li><i style="background:{_colour(k, order)}"></i>{_e(_label(k))}: {damage.counts[k]:,}</li>'
        for k in order
    ) + '<li><i style="background:#e8eef3"></i>kept unchanged: every other line</li>'
    svg = (f'<svg id="damage-map" viewBox="0 0 {width} {height + 22}" preserveAspectRatio="none" '
           f'data-lines="{total_lines}" data-width="{width}" role="img" aria-label="damage map">'
           f'<rect x="0" y="0" width="{width}" height="{height}" fill="#e8eef3"/>{"".join(bars)}'
           f'<g class="ticks">{"".join(ticks)}</g></svg>')
    controls = (f'<form id="zoom" onsubmit="return zoomTo()">Lines <input id="zoom-from" type="number" min="1" '
                f'max="{total_lines}" value="1"> to <input id="zoom-to" type="number" min="1" max="{total_lines}" '
                f'value="{total_lines}"> <button>zoom</button> <button type="button" onclick="zoomReset()">'
                f"whole file</button></form>")
    return (f'<section id="map"><h2>Damage map: {total_lines:,} lines, {MAP_BINS} bins</h2>{controls}{svg}'
            f'<ul class="legend">{legend}</ul></section>')


def _rows_section(damage: Damage, kept: List[List[str]], delimiter: str) -> str:
    parts = ['<section id="rows"><h2>First rows of each kind</h2>']
    if kept:
        body = "".join(f"<tr><td class=n>{i + 1}</td><td><code>{_e(_visible(delimiter.join(r)))}</code></td></tr>"
                       for i, r in enumerate(kept))
        parts.append(f'<h3>the first rows, as the repair writes them</h3><table class="grid rows kept">{body}</table>')
    for kind in damage.order:
        shown = damage.first.get(kind, [])
        if not shown:
            continue
        body = "".join(f"<tr><td class=n>line {line}</td><td>{_e(reason)}</td>"
                       f"<td><code>{_e(_visible(raw))}</code></td></tr>" for line, reason, raw in shown)
        parts.append(f'<h3>{_e(_label(kind))} ({damage.counts[kind]:,})</h3>'
                     f'<table class="grid rows" data-kind="{_e(kind)}">{body}</table>')
    parts.append("</section>")
    return "".join(parts)


def _spark(counts: Sequence[int]) -> str:
    if not counts:
        return ""
    peak = max(counts) or 1
    w = 120 / len(counts)
    bars = "".join(f'<rect x="{i * w:.1f}" y="{30 - 30 * c / peak:.1f}" width="{w - 1:.1f}" height="{30 * c / peak:.1f}"/>'
                   for i, c in enumerate(counts))
    return f'<svg class="hist" viewBox="0 0 120 30" width="120" height="30">{bars}</svg>'


def _profile_section(profiles: Sequence[ColumnProfile], sampled: int) -> str:
    head = ("<tr><th>column</th><th>type</th><th>nulls</th><th>distinct</th><th>min</th><th>max</th>"
            "<th>distribution</th></tr>")
    rows = []
    for p in profiles:
        if p.histogram:
            shape = _spark(p.histogram)
        else:
            shape = "<br>".join(f"<code>{_e(_visible(v[:40]))}</code> &times;{n}" for v, n in p.top[:3])
        rows.append(f'<tr><th>{_e(_visible(p.name))}</th><td>{p.type}</td><td class=n>{p.nulls}</td>'
                    f"<td class=n>{p.distinct}</td><td>{_e(_visible((p.min or '')[:40]))}</td>"
                    f"<td>{_e(_visible((p.max or '')[:40]))}</td><td>{shape}</td></tr>")
    return (f'<section id="profile"><h2>Columns (a sample of the first {sampled} rows)</h2>'
            f'<table class="grid" id="columns">{head}{"".join(rows)}</table></section>')


_STYLE = """
body{font:14px/1.45 system-ui,sans-serif;margin:0 auto;max-width:1100px;padding:16px 24px;color:#1d2733}
h1{font-size:22px;margin:0 0 4px} h2{font-size:17px;margin:28px 0 8px;border-bottom:1px solid #d5dde5}
h3{font-size:14px;margin:16px 0 6px} .sub{color:#5a6b7b;margin:0}
table{border-collapse:collapse} td,th{padding:3px 8px;text-align:left;vertical-align:top}
.facts th{color:#5a6b7b;font-weight:normal} .grid{width:100%} .grid th{background:#eef2f6}
.grid td,.grid th{border-bottom:1px solid #e3e8ee} .n{text-align:right;font-variant-numeric:tabular-nums}
tr.chosen{background:#e5f4ea;font-weight:600} code{font:12px ui-monospace,monospace;white-space:pre-wrap;
word-break:break-all} .counts{display:flex;flex-wrap:wrap;gap:8px} .count{border:1px solid #d5dde5;
border-radius:6px;padding:6px 12px;min-width:90px} .count b{display:block;font-size:20px}
.count span{color:#5a6b7b;font-size:12px} #damage-map{width:100%;height:160px;display:block}
#damage-map text{font-size:11px;fill:#5a6b7b} .legend{list-style:none;padding:0;display:flex;flex-wrap:wrap;
gap:14px;font-size:12px} .legend i{display:inline-block;width:10px;height:10px;margin-right:4px}
.rows td:not(:last-child){white-space:nowrap;width:1%}
#zoom{margin:6px 0;font-size:12px} #zoom input{width:90px} .hist rect{fill:#2b7bb9}
"""

# Zooming sets the map's viewBox to the chosen line range: the bars are
# already laid out along the file, so nothing is redrawn. A link may ask for a
# range: report.html#lines=100-200.
_SCRIPT = r"""
function zoomTo(){var m=document.getElementById('damage-map'),n=+m.dataset.lines,w=+m.dataset.width;
var a=Math.max(1,+document.getElementById('zoom-from').value),b=Math.min(n,+document.getElementById('zoom-to').value);
if(!(b>a))return false;var x=(a-1)/n*w,x2=b/n*w;var v=m.viewBox.baseVal;m.setAttribute('viewBox',
x+' 0 '+(x2-x)+' '+v.height);m.querySelector('.ticks').style.display='none';return false}
function zoomReset(){var m=document.getElementById('damage-map'),v=m.viewBox.baseVal;
m.setAttribute('viewBox','0 0 '+m.dataset.width+' '+v.height);m.querySelector('.ticks').style.display='';
document.getElementById('zoom-from').value=1;document.getElementById('zoom-to').value=m.dataset.lines}
var z=/lines=(\d+)-(\d+)/.exec(location.hash);if(z){document.getElementById('zoom-from').value=z[1];
document.getElementById('zoom-to').value=z[2];zoomTo()}
"""


def build_report(source: Any, *, sample_rows: int = SAMPLE_ROWS, title: Optional[str] = None,
                 **options: Any) -> str:
    """The report on ``source`` (a path or URL) as one HTML page.

    ``options`` are the repair options of :func:`csv_gleave.gleave_file`
    (``delimiter``, ``quote_char``, ``fill_ragged_rows``, ``encoding``, ...);
    the page describes the repair those options would make.
    """
    detect_options = {k: v for k, v in options.items() if k in DETECT_OPTIONS and v is not None}
    dialect = _detect(source, evidence=True, **detect_options)
    core = {k: v for k, v in options.items() if v is not None}
    summary_obj, damage, bins, total_lines = _full_pass(source, core)
    summary = summary_obj.to_dict()
    # The pass quarantined short and long rows; under the options asked for
    # the padded and merged ones are kept.
    moved = damage.counts.get("padded", 0) + damage.counts.get("merged", 0)
    summary["gleaved_rows"] += moved
    summary["quarantined_rows"] -= moved
    summary["repaired_rows"] = summary.get("repaired_rows", 0) + moved
    sample = _sample_rows(source, dialect, core, sample_rows)
    profiles, sampled = profile_columns(sample, header=dialect.header)
    kept = sample[: SHOWN_ROWS + 1]
    name = title or (source if isinstance(source, str) else os.fsdecode(source))
    stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    from . import __version__

    return "".join([
        "<!DOCTYPE html><html lang=en><head><meta charset=utf-8>",
        f"<title>csv-gleave report: {_e(_visible(name))}</title>",
        '<meta name="viewport" content="width=device-width,initial-scale=1">',
        f"<style>{_STYLE}</style></head><body>",
        f"<header><h1>Repair report: {_e(_visible(name))}</h1>",
        f'<p class="sub">csv-gleave {_e(__version__)}, {stamp}</p></header>',
        _dialect_section(dialect, summary),
        _counts_section(summary, damage),
        _map_section(damage, bins, total_lines),
        _rows_section(damage, kept, summary["detected_delimiter"]),
        _profile_section(profiles, sampled),
        f"<script>{_SCRIPT}</script></body></html>\n",
    ])


def write_report(source: Any, output: str, **options: Any) -> None:
    """Writes :func:`build_report` to ``output``, whole or not at all."""
    page = build_report(source, **options)
    replace_into_place(os.path.abspath(output), lambda out: out.write(page.encode("utf-8")))
