"""The native core of the csv_gleave package."""

import os
from types import TracebackType
from typing import Literal, Protocol, TypedDict, final

from typing_extensions import Self

_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes] | int

class _Event(Protocol):
    def is_set(self) -> bool: ...

class _SummaryDict(TypedDict):
    total_rows: int
    gleaved_rows: int
    repaired_rows: int
    quarantined_rows: int
    detected_delimiter: str
    inferred_columns: int

class NotTextError(ValueError): ...
class Cancelled(Exception): ...

@final
class GleaveSummary:
    @property
    def total_rows(self) -> int: ...
    @property
    def gleaved_rows(self) -> int: ...
    @property
    def repaired_rows(self) -> int: ...
    @property
    def quarantined_rows(self) -> int: ...
    @property
    def detected_delimiter(self) -> str: ...
    @property
    def inferred_columns(self) -> int: ...
    def to_dict(self) -> _SummaryDict: ...

def gleave_file(
    input_path: _Path,
    output_path: _Path,
    quarantine_path: _Path | None = None,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
    *,
    in_place: bool = False,
    allow_binary: bool = True,
    cancel: _Event | None = None,
) -> GleaveSummary: ...
def sniff(sample: str | bytes) -> str: ...
def open(
    file_path: _Path,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
    *,
    allow_binary: bool = True,
    cancel: _Event | None = None,
) -> GleaveReader: ...

class _ShownRow(TypedDict):
    fields: list[str]
    width: int

class _RaggedRow(TypedDict):
    line: int
    first_line: int
    reason: str
    verdict: Literal["padded", "merged", "quarantined"]
    expected: int
    actual: int
    raw_content: str

class _Inspection(TypedDict):
    summary: GleaveSummary
    rows: list[_ShownRow]
    ragged_rows: list[_RaggedRow]
    ragged_count: int

def inspect(
    file_path: _Path,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
    *,
    rows: int = 10,
    ragged: int = 20,
    max_columns: int = 50,
    max_field: int = 200,
    allow_binary: bool = True,
    cancel: _Event | None = None,
) -> _Inspection: ...

@final
class GleaveReader:
    def __new__(
        cls,
        file_path: _Path,
        delimiter: str | None = None,
        quote_char: str = '"',
        fill_ragged_rows: bool = True,
        merge_overflow: bool = True,
        expected_columns: int | None = None,
        repair_quotes: bool = True,
        *,
        allow_binary: bool = True,
        cancel: _Event | None = None,
    ) -> Self: ...
    def __iter__(self) -> Self: ...
    def __next__(self) -> list[str]: ...
    def __len__(self) -> int: ...
    @property
    def summary(self) -> GleaveSummary: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None = None,
        exc_val: BaseException | None = None,
        exc_tb: TracebackType | None = None,
    ) -> Literal[False]: ...
