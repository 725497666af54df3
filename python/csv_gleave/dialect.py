"""How csv_gleave reads a file: its encoding and CSV dialect, detected."""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Any, Dict, Optional, Tuple, Union

from . import _native, remote

__all__ = ["Dialect", "detect"]

Source = Union[str, "os.PathLike[str]", int, bytes, bytearray, memoryview]


@dataclass(frozen=True)
class Dialect:
    """The encoding and dialect the product functions read a file with.

    ``quote_char`` is None when the file has no quoting; ``preamble_lines``
    counts the physical lines above the table (titles, comments, a
    ``sep=`` line), which a repair quarantines. ``expected_width`` is the
    width rows are repaired to; ``header_missing_first`` says a header one
    name short gets its empty name at the front. ``escape_char`` is the byte
    that escapes a quote inside quoted fields (``"say \\"hi\\""``), None when
    quotes are doubled. ``header_rows`` is the number of rows the header
    spans: group labels (a year over its quarters) above the row of names;
    the loaders combine them into one name per column ("2019 q1"). ``tables``
    counts the tables seen at the start of the file (blocks after a blank
    or title line with a header of their own and another width); the first
    is the table, and every row from ``other_table_line`` (the physical line,
    from 1, where the next begins; 0 for none) is quarantined with its own
    reason. ``footnote_line`` is the line where notes under the table begin
    (lines with no delimiter under a table of three or more columns:
    "Source: ..."), quarantined with their own reason; 0 for none. ``evidence`` holds every
    candidate dialect tried, the chosen one first, each a dict of its scores
    (only when detect() was asked for it).
    """

    encoding: str
    delimiter: str
    quote_char: Optional[str]
    skip_initial_space: bool
    preamble_lines: int
    header: bool
    header_width: int = 0
    expected_width: int = 0
    header_missing_first: bool = False
    sep_line: bool = False
    single_line: bool = False
    not_a_table: bool = False
    replaced_bytes: int = 0
    escape_char: Optional[str] = None
    header_rows: int = 1
    tables: int = 0
    other_table_line: int = 0
    footnote_line: int = 0
    evidence: Tuple[Dict[str, Any], ...] = field(default=(), repr=False, compare=False)

    def __repr__(self) -> str:
        parts = [f"encoding={self.encoding!r}", f"delimiter={self.delimiter!r}",
                 f"quote_char={self.quote_char!r}", f"skip_initial_space={self.skip_initial_space}",
                 f"preamble_lines={self.preamble_lines}", f"header={self.header}",
                 f"expected_width={self.expected_width}"]
        for flag in ("header_missing_first", "sep_line", "single_line", "not_a_table"):
            if getattr(self, flag):
                parts.append(f"{flag}=True")
        if self.header_rows > 1:
            parts.append(f"header_rows={self.header_rows}")
        if self.tables > 1:
            parts.append(f"tables={self.tables}, other_table_line={self.other_table_line}")
        if self.footnote_line:
            parts.append(f"footnote_line={self.footnote_line}")
        if self.escape_char is not None:
            parts.append(f"escape_char={self.escape_char!r}")
        if self.replaced_bytes:
            parts.append(f"replaced_bytes={self.replaced_bytes}")
        return f"Dialect({', '.join(parts)})"


def detect(source: Source, *, evidence: bool = False, **options: Any) -> Dialect:
    """The encoding and dialect of ``source``, as the product functions read it.

    ``source`` is a path (str, os.PathLike or an open file descriptor), whose
    first MiB is read, a URL (see :mod:`csv_gleave.remote`), or the content
    itself (bytes, bytearray or memoryview). Keyword options fix parts instead of detecting them:
    ``encoding``, ``delimiter``, ``quote_char`` (None: no quoting),
    ``skip_initial_space``, ``preamble_lines``, ``escape_char`` (None: quotes
    are doubled), ``expected_columns``. With
    ``evidence=True`` the result also holds every candidate dialect tried and
    its scores (the chosen one first); that costs a dict per candidate, so it
    is left out by default.
    """
    found = (remote.detect if remote.is_url(source) else _native.detect)(source, evidence=evidence, **options)
    found["evidence"] = tuple(found["evidence"])
    # The native dict holds every field, checked: filled in directly, a
    # detection on a short sample is not dominated by the frozen dataclass's
    # per-field __init__.
    dialect = object.__new__(Dialect)
    dialect.__dict__.update(found)
    return dialect
