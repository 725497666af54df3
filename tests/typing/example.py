"""Typed use of the public API; checked with `mypy --strict` by the test run."""

from __future__ import annotations

from typing import List

import _csv_gleave_backend
import csv_gleave
from csv_gleave import GleaveReader, GleaveSummary, gleave_file, sniff


def repair(src: str, dst: str, quarantine: str | None = None) -> int:
    summary: GleaveSummary = gleave_file(
        src,
        dst,
        quarantine_path=quarantine,
        delimiter=None,
        quote_char='"',
        fill_ragged_rows=True,
        merge_overflow=False,
        expected_columns=3,
        repair_quotes=True,
    )
    counts = summary.to_dict()
    delimiter: str = counts["detected_delimiter"]
    total: int = counts["total_rows"] + summary.quarantined_rows
    return total + len(delimiter) + summary.inferred_columns


def rows(path: str) -> List[List[str]]:
    with csv_gleave.open(path, delimiter=";") as reader:
        first: List[str] = next(reader)
        rest = [row for row in reader]
        kept: int = reader.summary.gleaved_rows
    assert kept == len(reader)
    return [first, *rest]


def same_reader(path: str) -> bool:
    reader = GleaveReader(path, expected_columns=None)
    handled: bool = reader.__exit__(None, None, None)
    return iter(reader) is reader and not handled


def detected(sample: str) -> str:
    return sniff(sample) + _csv_gleave_backend.__version__ + csv_gleave.__version__
