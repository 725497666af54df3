"""The native core of the csv_gleave package."""

import os
from types import EllipsisType, TracebackType
from typing import Any, Callable, Literal, Protocol, Sequence, TypedDict, final

from typing_extensions import Buffer, CapsuleType, Self

_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes] | int
# Left out (...), the quote character is detected; None means no quoting.
_Quote = str | None | EllipsisType

class _Event(Protocol):
    def is_set(self) -> bool: ...

class _SummaryDict(TypedDict):
    total_rows: int
    gleaved_rows: int
    repaired_rows: int
    quarantined_rows: int
    detected_delimiter: str
    inferred_columns: int
    encoding: str
    quote_char: str | None
    skip_initial_space: bool
    preamble_rows: int
    blank_rows: int
    replaced_bytes: int
    fallback_bytes: int
    header: bool
    not_a_table: bool
    tables: int
    other_table_rows: int
    footnote_rows: int
    repeated_header_rows: int
    comment_rows: int
    runaway_quotes: int

# The dialect and repair options: (name, kind, positional, repair_only, CLI
# flags, CLI metavar, CLI help, Dialect field), in the order the functions take them.
OPTIONS: tuple[tuple[str, str, bool, bool, str, str, str, str], ...]

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
    @property
    def encoding(self) -> str: ...
    @property
    def quote_char(self) -> str | None: ...
    @property
    def skip_initial_space(self) -> bool: ...
    @property
    def preamble_rows(self) -> int: ...
    @property
    def blank_rows(self) -> int: ...
    @property
    def replaced_bytes(self) -> int: ...
    @property
    def fallback_bytes(self) -> int: ...
    @property
    def header(self) -> bool: ...
    @property
    def not_a_table(self) -> bool: ...
    @property
    def tables(self) -> int: ...
    @property
    def other_table_rows(self) -> int: ...
    @property
    def footnote_rows(self) -> int: ...
    @property
    def repeated_header_rows(self) -> int: ...
    @property
    def comment_rows(self) -> int: ...
    @property
    def runaway_quotes(self) -> int: ...
    def to_dict(self) -> _SummaryDict: ...

def gleave_file(
    input_path: _Path,
    output_path: _Path,
    quarantine_path: _Path | None = None,
    delimiter: str | None = None,
    quote_char: _Quote = ...,
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
    *,
    encoding: str | None = None,
    skip_initial_space: bool | None = None,
    preamble_lines: int | None = None,
    escape_char: _Quote = ...,
    comment_char: _Quote = ...,
    in_place: bool = False,
    allow_binary: bool = True,
    cancel: _Event | None = None,
) -> GleaveSummary: ...
def repair_part(
    input_path: _Path,
    output_path: _Path,
    quarantine_path: _Path | None = None,
    delimiter: str | None = None,
    quote_char: _Quote = ...,
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
    *,
    first: bool = False,
    start: int = 0,
    guess: bool = False,
    stop: int | None = None,
    first_line: int | None = None,
    carry: bytes = b"",
    allow_binary: bool = True,
    cancel: _Event | None = None,
    encoding: str | None = None,
    skip_initial_space: bool | None = None,
    preamble_lines: int | None = None,
    escape_char: _Quote = ...,
    comment_char: _Quote = ...,
) -> dict[str, Any]: ...
def table_part(
    input_path: _Path,
    delimiter: str | None = None,
    quote_char: _Quote = ...,
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
    *,
    first: bool = False,
    start: int = 0,
    guess: bool = False,
    stop: int | None = None,
    first_line: int | None = None,
    carry: bytes = b"",
    allow_binary: bool = True,
    cancel: _Event | None = None,
    encoding: str | None = None,
    skip_initial_space: bool | None = None,
    preamble_lines: int | None = None,
    escape_char: _Quote = ...,
    comment_char: _Quote = ...,
    header: bool = True,
    infer_types: bool = True,
    decimal_comma: bool = True,
    names: Sequence[str] | None = None,
    text: Sequence[bool] | None = None,
    skip: int = 0,
) -> dict[str, Any]: ...
def join_parts(
    parts: Sequence[tuple[str | None, str | None, int, bytes]],
    output_path: _Path,
    quarantine_path: _Path | None = None,
    *,
    cancel: _Event | None = None,
) -> GleaveSummary: ...
def sniff(sample: str | bytes) -> str: ...
def open(
    file_path: _Path,
    delimiter: str | None = None,
    quote_char: _Quote = ...,
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
    *,
    encoding: str | None = None,
    skip_initial_space: bool | None = None,
    preamble_lines: int | None = None,
    escape_char: _Quote = ...,
    comment_char: _Quote = ...,
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

class _PreambleLine(TypedDict):
    line: int
    raw_content: str

class _Candidate(TypedDict):
    delimiter: str
    quote_char: str | None
    skip_initial_space: bool
    rows: int
    preamble_rows: int
    width: int
    consistency: float
    pattern_score: float
    type_score: float
    score: float
    quotes_pair_up: bool
    cuts_values: bool
    chosen: bool
    escape_char: str | None

class _DialectDict(TypedDict):
    encoding: str
    delimiter: str
    quote_char: str | None
    skip_initial_space: bool
    preamble_lines: int
    header: bool
    header_width: int
    expected_width: int
    header_missing_first: bool
    sep_line: bool
    single_line: bool
    not_a_table: bool
    replaced_bytes: int
    escape_char: str | None
    header_rows: int
    tables: int
    other_table_line: int
    footnote_line: int
    evidence: list[_Candidate]

class _Inspection(TypedDict):
    summary: GleaveSummary
    rows: list[_ShownRow]
    ragged_rows: list[_RaggedRow]
    ragged_count: int
    dialect: _DialectDict
    preamble: list[_PreambleLine]

def inspect(
    file_path: _Path,
    delimiter: str | None = None,
    quote_char: _Quote = ...,
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
    *,
    encoding: str | None = None,
    skip_initial_space: bool | None = None,
    preamble_lines: int | None = None,
    escape_char: _Quote = ...,
    comment_char: _Quote = ...,
    rows: int = 10,
    ragged: int = 20,
    max_columns: int = 50,
    max_field: int = 200,
    allow_binary: bool = True,
    cancel: _Event | None = None,
) -> _Inspection: ...
@final
class Dialect:
    def __new__(
        cls,
        encoding: str,
        delimiter: str,
        quote_char: str | None,
        skip_initial_space: bool,
        preamble_lines: int,
        header: bool,
        header_width: int = 0,
        expected_width: int = 0,
        header_missing_first: bool = False,
        sep_line: bool = False,
        single_line: bool = False,
        not_a_table: bool = False,
        replaced_bytes: int = 0,
        escape_char: str | None = None,
        header_rows: int = 1,
        tables: int = 1,
        other_table_line: int = 0,
        footnote_line: int = 0,
        comment_char: str | None = None,
        header_evidence: str = "",
        evidence: tuple[_Candidate, ...] = (),
    ) -> Self: ...
    @property
    def encoding(self) -> str: ...
    @property
    def delimiter(self) -> str: ...
    @property
    def quote_char(self) -> str | None: ...
    @property
    def skip_initial_space(self) -> bool: ...
    @property
    def preamble_lines(self) -> int: ...
    @property
    def header(self) -> bool: ...
    @property
    def header_width(self) -> int: ...
    @property
    def expected_width(self) -> int: ...
    @property
    def header_missing_first(self) -> bool: ...
    @property
    def sep_line(self) -> bool: ...
    @property
    def single_line(self) -> bool: ...
    @property
    def not_a_table(self) -> bool: ...
    @property
    def replaced_bytes(self) -> int: ...
    @property
    def escape_char(self) -> str | None: ...
    @property
    def header_rows(self) -> int: ...
    @property
    def tables(self) -> int: ...
    @property
    def other_table_line(self) -> int: ...
    @property
    def footnote_line(self) -> int: ...
    @property
    def comment_char(self) -> str | None: ...
    @property
    def header_evidence(self) -> str: ...
    @property
    def evidence(self) -> tuple[_Candidate, ...]: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[type[Dialect], tuple[object, ...]]: ...

def detect(
    source: _Path | Buffer,
    *,
    delimiter: str | None = None,
    quote_char: _Quote = ...,
    expected_columns: int | None = None,
    encoding: str | None = None,
    skip_initial_space: bool | None = None,
    preamble_lines: int | None = None,
    escape_char: _Quote = ...,
    comment_char: _Quote = ...,
    evidence: bool = False,
) -> Dialect: ...

@final
class ArrowStream:
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> CapsuleType: ...
    def __arrow_c_schema__(self) -> CapsuleType: ...
    @property
    def num_rows(self) -> int | None: ...
    @property
    def num_columns(self) -> int: ...
    @property
    def column_names(self) -> list[str]: ...
    @property
    def names_repaired(self) -> int: ...
    @property
    def summary(self) -> GleaveSummary | None: ...
    @property
    def set_aside(self) -> bytes | None: ...
    @property
    def types(self) -> str: ...
    @property
    def widened(self) -> list[str]: ...
    @property
    def settles_every_row(self) -> bool | None: ...
    def read_set_aside(self, offset: int, size: int) -> bytes | None: ...
    def _report_counts(self, report: Callable[[GleaveSummary], object], /) -> None: ...
    def _fail_source(self, message: str, /) -> None: ...

def arrow_stream(
    source: _Path | ArrowStream,
    *,
    delimiter: str | None = None,
    quote_char: _Quote = ...,
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
    encoding: str | None = None,
    skip_initial_space: bool | None = None,
    preamble_lines: int | None = None,
    escape_char: _Quote = ...,
    comment_char: _Quote = ...,
    header: bool = True,
    infer_types: bool = True,
    allow_binary: bool = True,
    cancel: _Event | None = None,
    string_views: bool = False,
    threads: int | None = None,
    n_rows: int | None = None,
    set_aside: bool = False,
    null_values: Sequence[str] | None = None,
    decimal_comma: bool = True,
    types: Literal["head", "all-rows"] | None = None,
) -> ArrowStream: ...

@final
class GleaveReader:
    def __new__(
        cls,
        file_path: _Path,
        delimiter: str | None = None,
        quote_char: _Quote = ...,
        fill_ragged_rows: bool = True,
        merge_overflow: bool = True,
        expected_columns: int | None = None,
        repair_quotes: bool = True,
        *,
        encoding: str | None = None,
        skip_initial_space: bool | None = None,
        preamble_lines: int | None = None,
        escape_char: _Quote = ...,
        comment_char: _Quote = ...,
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
        _exc_type: type[BaseException] | None = None,
        _exc_val: BaseException | None = None,
        _exc_tb: TracebackType | None = None,
    ) -> Literal[False]: ...
