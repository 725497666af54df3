"""Arrow tables of repaired files: pyarrow tables, Parquet and Arrow IPC files.

The table is built by :func:`csv_gleave.arrow_stream` in C++; pyarrow only
takes it over (without a copy) or writes it out. pyarrow is optional (extra
``arrow``) and imported only when one of these functions is called.

No loader drops a row without a word. Rows kept out of the table (rows that
do not fit, lines above the table, other tables, footnotes, repeated
headers) are counted in the summary, written to ``quarantine_path=`` when
one is given (in the form :func:`csv_gleave.gleave_file` writes), and named
in a :class:`RowsSetAsideWarning`. The summary travels with the result: the
``summary`` attribute of a stream, the schema metadata key
``b"csv_gleave.summary"`` (JSON) of a pyarrow table, ``attrs["csv_gleave"]``
of a pandas DataFrame.
"""

from __future__ import annotations

import importlib
import json
import os
import stat
import warnings
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple, Union

from . import _native, remote
from ._replace import replace_into_place

if TYPE_CHECKING:  # pragma: no cover
    import pyarrow

__all__ = ["arrow_stream", "iter_batches", "read_arrow", "write_table_file", "TABLE_SUFFIXES", "RowsSetAsideWarning",
           "SUMMARY_KEY"]

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", int]
# A table file is written by name (beside it first, then renamed): never a descriptor.
NameArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

# The schema metadata key of a table's summary, as JSON.
SUMMARY_KEY = b"csv_gleave.summary"


class RowsSetAsideWarning(UserWarning):
    """Rows of the file were kept out of the result.

    ``summary`` is the read's :class:`csv_gleave.GleaveSummary`, ``counts``
    the non-zero counts of rows set aside (``quarantined_rows`` and one per
    reason), ``quarantine_path`` where they were written (None: nowhere).
    """

    def __init__(self, message: str, summary: Any = None, counts: Optional[Dict[str, int]] = None,
                 quarantine_path: Any = None) -> None:
        super().__init__(message)
        self.summary = summary
        self.counts = dict(counts or {})
        self.quarantine_path = quarantine_path


# Summary counts that are not rows left out of the result.
_KEPT_COUNTS = frozenset({"total_rows", "gleaved_rows", "repaired_rows", "blank_rows", "quarantined_rows"})


def summary_dict(summary: Any) -> Dict[str, Any]:
    """The summary as a plain dict (every field it has, whatever this release's set)."""
    return dict(summary.to_dict())


def set_aside_counts(summary: Any, skipped_preamble: bool = False) -> Dict[str, int]:
    """The non-zero counts of rows kept out of the result: the total, then one per reason.

    ``skipped_preamble``: the caller asked for the lines above the table to
    be skipped, so they are not news (they are still counted and written to
    the quarantine).
    """
    fields = summary_dict(summary)
    total = int(fields.get("quarantined_rows") or 0)
    reasons: Dict[str, int] = {}
    for key, value in fields.items():
        if key in _KEPT_COUNTS or not key.endswith("_rows") or isinstance(value, bool):
            continue
        if isinstance(value, int) and value:
            reasons[key] = value
    if skipped_preamble and reasons.get("preamble_rows"):
        total -= reasons.pop("preamble_rows")
    # The rest did not fit the table's width (and were neither padded nor merged).
    misfits = total - sum(reasons.values())
    if misfits > 0:
        reasons["wrong_width_rows"] = misfits
    return {"quarantined_rows": total, **reasons} if total > 0 else {}


def summary_json(summary: Any) -> str:
    return json.dumps(summary_dict(summary), default=str, sort_keys=True)


def warn_set_aside(summary: Any, source: Any, quarantine_path: Any, stacklevel: int,
                   skipped_preamble: bool = False) -> None:
    """Warns when rows were kept out of the result, naming the counts."""
    counts = set_aside_counts(summary, skipped_preamble)
    if not counts:
        return
    total = counts["quarantined_rows"]
    reasons = ", ".join(f"{key}={value}" for key, value in counts.items() if key != "quarantined_rows")
    name = source if isinstance(source, int) else os.fsdecode(source) if not remote.is_url(source) else source
    where = (f"written to {os.fsdecode(quarantine_path)!r}" if quarantine_path is not None
             else "give quarantine_path= to keep them")
    message = (f"{total} row{'s' if total != 1 else ''} of {name!r} set aside, not in the result"
               f"{f' ({reasons})' if reasons else ''}; {where}")
    warnings.warn(RowsSetAsideWarning(message, summary, counts, quarantine_path), stacklevel=stacklevel + 1)


def _local(path: Any) -> Optional[str]:
    """The local file a path names (None for a descriptor or a remote URL)."""
    if isinstance(path, int):
        return None
    if remote.is_url(path):
        return remote.local_path(path)
    return os.fsdecode(os.fspath(path))


def commit_file(destination: Any, write: Callable[[Any], None]) -> None:
    """Writes ``destination`` whole or not at all: beside it under a temporary name, then renamed.

    A URL goes through its file system; a pipe, a terminal or /dev/null
    is written directly.
    """
    if remote.is_url(destination) and remote.local_path(destination) is None:
        with remote.open_output(destination) as out:
            write(out)
        return
    if isinstance(destination, int):
        with os.fdopen(os.dup(destination), "wb") as out:
            write(out)
        return
    target = _local(destination)
    assert target is not None
    try:
        mode = os.stat(target).st_mode
    except OSError:
        mode = stat.S_IFREG
    if not stat.S_ISREG(mode):
        with open(target, "wb") as out:
            write(out)
        return
    # Through a symbolic link (a dangling one too) to the file it names, so
    # that the link survives, as gleave_file writes; the temporary's short
    # name fits wherever the target's own name fits.
    replace_into_place(os.path.realpath(target), write)


def _check_quarantine(source: Any, quarantine_path: Any) -> None:
    """Refuses a quarantine that names the input: writing it would destroy what is being read."""
    if isinstance(quarantine_path, int):
        return
    mine = _local(quarantine_path)
    same = remote.same_target(source, quarantine_path)
    if isinstance(source, int) and mine is not None:
        try:
            st, other = os.fstat(source), os.stat(mine)
            same = (st.st_dev, st.st_ino) == (other.st_dev, other.st_ino)
        except OSError:
            same = False
    if same:
        raise ValueError(f"quarantine_path {os.fsdecode(quarantine_path)!r} names the input; "
                         "the quarantine would overwrite the file being read")


def _can_read_twice(source: Any) -> bool:
    if isinstance(source, int):
        return False
    if remote.is_url(source) and remote.local_path(source) is None:
        return True
    path = _local(source)
    try:
        return path is not None and stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return True  # the read itself names what is wrong


class Shared:
    """A pipe or descriptor that several streams read: the first reads it, the later ones read that input again.

    The first stream reads a pipe live, keeping what it reads in an unnamed
    temporary file; every later one is opened over the first
    (``arrow_stream(first, ...)``) and reads the same bytes, so the pipe is
    never copied before the first rows are parsed.
    """

    def __init__(self, given: Any) -> None:
        self.given = given
        self.first: Optional["_native.ArrowStream"] = None

    def open(self, options: Dict[str, Any]) -> "_native.ArrowStream":
        stream = _native.arrow_stream(self.given if self.first is None else self.first, **options)
        if self.first is None:
            self.first = stream
        return stream


class Spooled:
    """A source that is read more than once: a pipe or descriptor is :class:`Shared` by its streams."""

    def __init__(self, source: Any, twice: bool) -> None:
        self.source: Any = Shared(source) if twice and not _can_read_twice(source) else source

    def __enter__(self) -> "Spooled":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.source = None  # the streams, and a pipe's kept bytes, go with their last reference


def native_options(options: Dict[str, Any], *, n_rows: Optional[int] = None, skip_rows: Optional[int] = None,
                   null_values: Union[None, str, Sequence[str]] = None,
                   decimal_comma: Optional[bool] = None) -> Dict[str, Any]:
    """The native stream's keywords for the loader options given in polars' terms."""
    out = dict(options)
    if n_rows is not None:
        out["n_rows"] = n_rows
    if skip_rows is not None:
        if isinstance(skip_rows, bool) or not isinstance(skip_rows, int):
            raise TypeError(f"skip_rows must be an int (lines to skip above the header), "
                            f"not {type(skip_rows).__name__}")
        if skip_rows < 0:
            raise ValueError("skip_rows must be 0 or more")
        if out.get("preamble_lines") is not None:
            raise TypeError("give skip_rows or preamble_lines, not both")
        out["preamble_lines"] = skip_rows
    if null_values is not None:
        if isinstance(null_values, dict):
            raise TypeError("null_values by column is not taken; give a str or a list of str "
                            "(they apply to every column)")
        out["null_values"] = [null_values] if isinstance(null_values, str) else list(null_values)
    if decimal_comma is not None:
        out["decimal_comma"] = bool(decimal_comma)
    return out


def default_types(source: Any) -> str:
    """How the column types are settled when the caller does not say.

    Over every row for a file, which can be read twice; on a head of the
    rows for a pipe, a descriptor or a URL, which are read through once.
    """
    if isinstance(source, (int, Shared)) or (remote.is_url(source) and remote.local_path(source) is None):
        return "head"
    return "all-rows" if _can_read_twice(source) else "head"


def open_stream(source: PathArg, options: Dict[str, Any], *, quarantine_path: Any = None, stacklevel: int = 1,
                warn: bool = True) -> Any:
    """The native stream with ``options``, its set-aside rows written and warned about.

    A stream whose types come from a head has no counts until a reading
    of it has gone through every row: :func:`report_stream` then writes
    and warns, once the caller has read it.
    """
    if quarantine_path is not None:
        _check_quarantine(source, quarantine_path)
        options = {**options, "set_aside": True}
    if options.get("types") is None:
        options = {**options, "types": default_types(source)}
    if isinstance(source, Shared):
        stream = source.open(options)
    elif remote.is_url(source):
        stream = remote.arrow_stream(source, **options)
    else:
        stream = _native.arrow_stream(source, **options)
    if stream.summary is not None:
        report_stream(stream, source, options, quarantine_path, stacklevel + 1, warn)
    return stream


def report_stream(stream: Any, source: Any, options: Dict[str, Any], quarantine_path: Any, stacklevel: int,
                  warn: bool = True) -> None:
    """Writes the stream's set-aside rows to ``quarantine_path`` and warns about them."""
    if quarantine_path is not None:
        commit_file(quarantine_path, lambda out: copy_set_aside(stream, out))
    if warn:
        warn_set_aside(stream.summary, source, quarantine_path, stacklevel + 1,
                       skipped_preamble=options.get("preamble_lines") is not None)


def copy_set_aside(stream: Any, out: Any) -> None:
    """The set-aside rows into ``out`` a piece at a time: they may be larger than memory."""
    offset = 0
    while True:
        piece = stream.read_set_aside(offset, 1 << 20)
        if not piece:
            return
        out.write(piece)
        offset += len(piece)


def read_widening(stream: Any, consume: Callable[[Any], Any]) -> Any:
    """``consume(stream)``, read again for each column a value after the head widened.

    A reading that meets a value its column's type (settled on a head)
    does not hold ends with an error once the column is widened to text;
    the next reading has the widened schema from its first batch. Any
    other error is raised.
    """
    while True:
        widened = len(stream.widened)
        try:
            return consume(stream)
        except Exception:
            if len(stream.widened) == widened:
                raise


def read_all(pa: Any, stream: Any) -> "pyarrow.Table":
    """The stream's batches as one table, without a copy.

    Taken a batch at a time: the batches are built while the file is read
    again, and a Ctrl-C is then heard between two of them rather than at
    the end of the file.
    """
    return read_widening(stream, lambda stream: read_whole(pa, stream))


def read_whole(pa: Any, stream: Any) -> "pyarrow.Table":
    """One reading of the stream as a table (its batches taken over, not copied)."""
    reader = pa.RecordBatchReader.from_stream(stream)
    return pa.Table.from_batches(list(reader), schema=reader.schema)


def load_whole(source: Any, options: Dict[str, Any], consume: Callable[[Any], Any],
               quarantine_path: Any) -> Tuple[Any, Any]:
    """The stream of a whole table and ``consume(stream)``, its set-aside rows written to ``quarantine_path``.

    Unless ``options`` name the ``types``, the table is typed as a reading
    of every row types it (as ``types="all-rows"`` does), in one reading
    where it can be: the types come from a head, and only when the rows
    prove them different (a value that widens a column, a column empty in
    the head) are the rows read again with the types of every row. So
    ``source`` must be one that can be read twice (see :class:`Spooled`).
    """
    if quarantine_path is not None:
        options = {**options, "set_aside": True}
    if options.get("types") is not None:
        stream = open_stream(source, options, warn=False)
        result = read_widening(stream, consume)
    else:
        stream = open_stream(source, dict(options, types="head"), warn=False)
        try:
            result = consume(stream)
            settled = bool(stream.settles_every_row)
        except Exception:
            if not stream.widened:
                raise
            settled = False
        if not settled:
            stream = open_stream(source, dict(options, types="all-rows"), warn=False)
            result = consume(stream)
    if quarantine_path is not None:
        commit_file(quarantine_path, lambda out: copy_set_aside(stream, out))
    return stream, result


def stream_batches(pa: Any, stream: Any) -> Iterator["pyarrow.RecordBatch"]:
    """The stream's batches, each with its own schema.

    When a value after the head widens a column, the batches already
    given keep their type: the stream is read again (with the widened
    schema) and goes on from the first row not yet given.
    """
    given = 0
    while True:
        widened = len(stream.widened)
        skip = given
        try:
            for batch in pa.RecordBatchReader.from_stream(stream):
                if skip >= batch.num_rows:
                    skip -= batch.num_rows
                    continue
                if skip:
                    batch, skip = batch.slice(skip), 0
                given += batch.num_rows
                yield batch
            return
        except (OSError, pa.ArrowException):
            if len(stream.widened) == widened:
                raise


def arrow_stream(source: PathArg, *, quarantine_path: Any = None, n_rows: Optional[int] = None,
                 skip_rows: Optional[int] = None, null_values: Union[None, str, Sequence[str]] = None,
                 decimal_comma: Optional[bool] = None, **options: Any) -> "_native.ArrowStream":
    if quarantine_path is not None:
        # The quarantine is written before the stream is handed back, so its
        # rows are counted first.
        if options.get("types") == "head":
            raise ValueError("quarantine_path needs every row counted before the stream is returned: "
                             "give types='all-rows' (or None) with it, or read the stream and write "
                             "its set_aside yourself")
        options["types"] = "all-rows"
    native = native_options(options, n_rows=n_rows, skip_rows=skip_rows, null_values=null_values,
                            decimal_comma=decimal_comma)
    stream: "_native.ArrowStream" = open_stream(source, native, quarantine_path=quarantine_path, stacklevel=2)
    if stream.summary is None:
        # Counted by the first reading that goes through every row: warned
        # about at its end, from the consumer's reading (pyarrow, DuckDB).
        skipped = native.get("preamble_lines") is not None
        stream._report_counts(lambda summary: warn_set_aside(summary, source, None, 2, skipped_preamble=skipped))
    return stream


arrow_stream.__doc__ = (
    (_native.arrow_stream.__doc__ or "")
    + "\n\nquarantine_path: where the rows kept out of the table are written, as gleave_file\n"
    "writes its quarantine; a RowsSetAsideWarning names their counts whenever rows were kept\n"
    "out (with types='head', at the end of the first reading of the stream that goes through\n"
    "every row, once; a quarantine_path makes the types 'all-rows'). skip_rows: lines above the header to skip\n"
    "(counted as preamble rows, and not warned about). null_values may also be one str. The\n"
    "stream's summary attribute holds the counts. The source may be a URL (see\n"
    "csv_gleave.remote), whose types come from a head by default, as a pipe's do.")
arrow_stream.__module__ = "csv_gleave"


# Output suffixes and the format each one selects.
TABLE_SUFFIXES = {".parquet": "parquet", ".arrow": "ipc", ".feather": "ipc"}


def import_optional(module: str, extra: str, caller: str) -> Any:
    """Imports an optional dependency, naming it and its extra when it is missing."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise ImportError(
            f"csv_gleave.{caller}() needs {module.split('.')[0]}, which is not installed; "
            f"install it with: pip install 'csv-gleave[{extra}]'"
        ) from exc


def select_names(names: List[str], columns: Any, caller: str) -> List[str]:
    """The column names ``columns`` picks, in the file's order.

    ``columns`` holds names or positions (from 0), or is a callable given
    each name (pandas' ``usecols``). A name or position that is not there is
    a ValueError naming it.
    """
    if columns is None:
        return list(names)
    if callable(columns):
        return [name for name in names if columns(name)]
    if isinstance(columns, (str, int)):
        columns = [columns]
    wanted: "set[Union[str, int]]" = set()
    missing: List[Union[str, int]] = []
    for item in columns:
        if isinstance(item, bool) or not isinstance(item, (str, int)):
            raise TypeError(f"{caller}: columns must be names or positions, not {type(item).__name__}")
        if isinstance(item, int):
            if not 0 <= item < len(names):
                missing.append(item)
            else:
                wanted.add(names[item])
        elif item in names:
            wanted.add(item)
        else:
            missing.append(item)
    if missing:
        raise ValueError(f"{caller}: no column {', '.join(map(repr, missing))} in the file; "
                         f"its columns are {names}")
    return [name for name in names if name in wanted]


def _type_name(value: Any) -> str:
    return getattr(value, "__name__", None) or str(value)


def arrow_type(value: Any, pa: Any) -> "pyarrow.DataType":
    """A pyarrow type from a pyarrow type, a polars dtype, a numpy or pandas dtype or a Python type."""
    if isinstance(value, pa.DataType):
        return value
    module = getattr(value, "__module__", "") or getattr(type(value), "__module__", "")
    if module.startswith("polars"):
        pl = importlib.import_module("polars")
        found = pl.Series([], dtype=value).to_arrow().type
        return pa.string() if found in (pa.large_string(), pa.string_view()) else found
    python_types = {str: pa.string(), int: pa.int64(), float: pa.float64(), bool: pa.bool_()}
    if value in python_types:
        return python_types[value]
    if hasattr(value, "pyarrow_dtype"):  # pandas.ArrowDtype
        return value.pyarrow_dtype
    name = str(value)
    aliases = {"string": pa.string(), "str": pa.string(), "object": pa.string(), "Int64": pa.int64(),
               "Int32": pa.int32(), "Float64": pa.float64(), "boolean": pa.bool_(), "category": pa.string()}
    if name in aliases:
        return aliases[name]
    try:
        return pa.type_for_alias(name)
    except (ValueError, KeyError):
        pass
    try:
        np = importlib.import_module("numpy")
        return pa.from_numpy_dtype(np.dtype(value))
    except (ImportError, TypeError, ValueError, pa.ArrowNotImplementedError):
        raise TypeError(f"{_type_name(value)!r} is not a column type: give a pyarrow type, a polars dtype, "
                        "a numpy or pandas dtype, or str, int, float or bool") from None


def is_text_arrow_type(pa: Any, dtype: Any) -> bool:
    return bool(pa.types.is_string(dtype) or pa.types.is_large_string(dtype)
                or getattr(pa.types, "is_string_view", lambda _: False)(dtype))


def cast_failure(name: str, target: Any, values: Any, exc: BaseException) -> ValueError:
    """The error for a column whose values do not convert: it names the column, the type and why."""
    return ValueError(f"column {name!r} does not convert to {_type_name(target)}: {exc}; "
                      "keep it as text (str) or pick a type that holds its values")


def arrow_without_nulls(pa: Any, column: Any, null_values: Optional[Sequence[str]]) -> Any:
    """A text column with each null spelling made null."""
    if not null_values:
        return column
    pc = importlib.import_module("pyarrow.compute")
    hit = pc.fill_null(pc.is_in(column, value_set=pa.array(list(null_values), type=column.type)), False)
    return pc.if_else(hit, pa.scalar(None, type=column.type), column)


def text_nulls(null_values: Union[None, str, Sequence[str]]) -> Optional[List[str]]:
    if null_values is None or isinstance(null_values, dict):
        return None
    return [null_values] if isinstance(null_values, str) else list(null_values)


def build_arrow_table(source: PathArg, caller: str, *, header: bool, infer_types: bool, columns: Any,
                      text_for: Callable[[str, Any], bool], null_values: Any, n_rows: Optional[int],
                      skip_rows: Optional[int], decimal_comma: Optional[bool], try_parse_dates: bool,
                      quarantine_path: Any, stacklevel: int, options: Dict[str, Any]) -> "pyarrow.Table":
    """The table for a loader: the columns chosen, the texts asked for kept as written.

    ``text_for(name, arrow_type)`` says whether a column must hold its exact
    field texts (a text type asked for it, or a date that is not to be
    parsed). Such a column, when typed otherwise, is taken from a second
    read without type inference, which gives the very same rows; a source
    that cannot be read twice is copied to a temporary file first.
    """
    pa = import_optional("pyarrow", "arrow", caller)
    nulls = text_nulls(null_values)
    native = native_options(dict(options, header=header, infer_types=infer_types), n_rows=n_rows,
                            skip_rows=skip_rows, null_values=null_values, decimal_comma=decimal_comma)
    if quarantine_path is not None:
        _check_quarantine(source, quarantine_path)
    # A whole table is typed as every row types it: a source read through
    # once is copied, so that the rows can be read again should a head's
    # types not be those (see load_whole).
    may_reread = native.get("types") is None or (infer_types and (not try_parse_dates or text_for is not _never))
    with Spooled(source, may_reread) as spooled:
        plain = {key: value for key, value in native.items() if key != "null_values"}
        stream, table = load_whole(spooled.source, native if infer_types else plain,
                                   lambda stream: read_whole(pa, stream), quarantine_path)
        table = table.select(select_names(table.column_names, columns, caller))
        wanted = [
            name for name, column in zip(table.column_names, table.columns)
            if not is_text_arrow_type(pa, column.type)
            and (text_for(name, column.type) or (not try_parse_dates and pa.types.is_temporal(column.type)))
        ]
        texts = None
        if wanted and infer_types:
            text_stream = open_stream(spooled.source, dict(plain, infer_types=False), warn=False)
            texts = read_all(pa, text_stream)
    for index, name in enumerate(table.column_names):
        if texts is not None and name in wanted:
            table = table.set_column(index, name, arrow_without_nulls(pa, texts[name], nulls))
        elif not infer_types:
            table = table.set_column(index, name, arrow_without_nulls(pa, table[name], nulls))
    table = table.replace_schema_metadata({**(table.schema.metadata or {}), SUMMARY_KEY: summary_json(stream.summary)})
    warn_set_aside(stream.summary, source, quarantine_path, stacklevel + 1,
                   skipped_preamble=native.get("preamble_lines") is not None)
    return table


def _never(name: str, dtype: Any) -> bool:
    return False


def read_arrow(source: PathArg, *, header: bool = True, infer_types: bool = True, columns: Any = None,
               schema_overrides: Optional[Dict[str, Any]] = None, null_values: Any = None,
               n_rows: Optional[int] = None, skip_rows: Optional[int] = None,
               decimal_comma: Optional[bool] = None, try_parse_dates: bool = True,
               quarantine_path: Any = None, **options: Any) -> "pyarrow.Table":
    """Repair the CSV file at ``source`` and return it as a ``pyarrow.Table``.

    The rows are exactly those :func:`csv_gleave.open` yields with the same
    ``options``; ``header`` and ``infer_types`` are those of
    :func:`csv_gleave.arrow_stream`. The table shares the buffers built in
    C++: no value is copied. ``threads=1`` builds it in the calling thread
    alone, for callers that already run many reads at once (by default the
    cores are used, shared with the other tables being built).

    The options polars users know, under polars' names:

    - ``columns``: the names (or positions) of the columns to keep.
    - ``schema_overrides``: ``{name: type}``, a pyarrow type, polars dtype,
      numpy or pandas dtype, or ``str``/``int``/``float``/``bool``. A text
      type keeps the field texts as written (ZIP codes stay ``"02134"``);
      values that do not convert raise a ValueError naming the column.
    - ``null_values``: a str or list of str read as null.
    - ``n_rows``: at most this many rows; the file is read no further.
    - ``skip_rows``: lines above the header to skip.
    - ``decimal_comma``: False reads no ``1,5`` as a number (by default a
      decimal comma is read when the delimiter is not a comma).
    - ``try_parse_dates``: False keeps dates and times as text.

    ``quarantine_path``: where the rows kept out of the table go, as with
    :func:`csv_gleave.gleave_file`. A :class:`RowsSetAsideWarning` names
    the counts whenever rows were kept out; the summary is in the schema
    metadata under ``b"csv_gleave.summary"`` (JSON).
    """
    pa = import_optional("pyarrow", "arrow", "read_arrow")
    overrides = {name: arrow_type(value, pa) for name, value in (schema_overrides or {}).items()}
    table = build_arrow_table(
        source, "read_arrow", header=header, infer_types=infer_types, columns=columns,
        text_for=(lambda name, dtype: name in overrides and is_text_arrow_type(pa, overrides[name]))
        if overrides else _never,
        null_values=null_values, n_rows=n_rows, skip_rows=skip_rows, decimal_comma=decimal_comma,
        try_parse_dates=try_parse_dates, quarantine_path=quarantine_path, stacklevel=2, options=options)
    missing = [name for name in overrides if name not in table.column_names]
    if missing:
        raise ValueError(f"read_arrow: schema_overrides names no column of the table: {missing}; "
                         f"its columns are {table.column_names}")
    for index, name in enumerate(table.column_names):
        target = overrides.get(name)
        if target is None or table[name].type == target:
            continue
        try:
            column = table[name].cast(target, safe=True)
        except (pa.ArrowInvalid, pa.ArrowNotImplementedError, pa.ArrowTypeError) as exc:
            raise cast_failure(name, target, table[name], exc) from None
        table = table.set_column(index, pa.field(name, target), column)
    return table


def iter_batches(source: PathArg, *, batch_size: int = 65_536, quarantine_path: Any = None,
                 n_rows: Optional[int] = None, skip_rows: Optional[int] = None,
                 null_values: Union[None, str, Sequence[str]] = None, decimal_comma: Optional[bool] = None,
                 **options: Any) -> Iterator["pyarrow.RecordBatch"]:
    """The repaired rows of ``source`` as ``pyarrow.RecordBatch`` es of at most ``batch_size`` rows.

    The options are :func:`csv_gleave.arrow_stream`'s, and so are the
    warning and the quarantine. For a file the column types are settled
    over every row by a first reading (which keeps no value) before the
    first batch comes; the batches are then built as the rows are read
    again and handed out as they are made, so memory is a few batches (of
    at most 32,768 rows or about 2 MiB of text each) and the longest row,
    whatever the file's length. A pipe is read live: its first batch comes
    once the head has settled the types, while the rest is still being
    written, what is read being kept in an unnamed temporary file on the way.

    With ``types="head"`` (the default for a pipe, a descriptor or a URL)
    the types come from the first 65,536 rows. A later value its column's
    type does not hold makes that column text (string, or binary for bytes
    that are not UTF-8) from the batch it is in: the batches already given
    keep their type, and every later batch has the column as text, so each
    batch carries its own schema (``batch.schema``). Nothing is lost: the
    text of every value is there as written. The warning and the
    quarantine then come once the last batch has been taken.
    """
    if isinstance(batch_size, bool) or not isinstance(batch_size, int):
        raise TypeError(f"batch_size must be an int, not {type(batch_size).__name__}")
    if batch_size < 1:
        raise ValueError("batch_size must be 1 or more")
    pa = import_optional("pyarrow", "arrow", "iter_batches")
    native = native_options(options, n_rows=n_rows, skip_rows=skip_rows, null_values=null_values,
                            decimal_comma=decimal_comma)
    stream = open_stream(source, native, quarantine_path=quarantine_path, stacklevel=2)
    counted = stream.summary is not None

    def batches() -> Iterator["pyarrow.RecordBatch"]:
        for batch in stream_batches(pa, stream):
            for start in range(0, batch.num_rows, batch_size):
                yield batch.slice(start, batch_size)
        if not counted:
            # Counted by this reading: written and warned about at its end.
            report_stream(stream, source, native, quarantine_path, 2)

    return batches()


def table_format(destination: NameArg) -> str:
    """'parquet' or 'ipc' from the destination's suffix; ValueError for any other."""
    suffix = os.path.splitext(os.fsdecode(destination))[1].lower()
    try:
        return TABLE_SUFFIXES[suffix]
    except KeyError:
        raise ValueError(
            f"cannot tell the table format of {os.fsdecode(destination)!r}: "
            f"the name must end in {', '.join(TABLE_SUFFIXES)}"
        ) from None


def write_table_file(source: PathArg, destination: NameArg, *, header: bool = True, infer_types: bool = True,
                     quarantine_path: Any = None, **options: Any) -> Any:
    """Repair ``source`` and write its kept rows as a typed table to ``destination``.

    The suffix of ``destination`` picks the format: ``.parquet`` writes
    Parquet, ``.arrow`` or ``.feather`` the Arrow IPC file format. The file
    is written beside the target under a temporary name and renamed over it
    once complete, so the destination holds the whole table or is left as it
    was; a symbolic link is written through (the file it names is replaced,
    the link stays). A destination that is the source itself, in any
    spelling, is refused (ValueError). Needs pyarrow (extra ``arrow``).
    Returns the repair's :class:`csv_gleave.GleaveSummary`, which the file
    also holds in its schema metadata (``b"csv_gleave.summary"``). Rows kept
    out of the table go to ``quarantine_path`` and are warned about, as
    with :func:`read_arrow`.
    """
    kind = table_format(destination)
    if remote.same_target(source, destination):
        # The table would replace the only copy of its rows.
        raise ValueError("output path is the same file as the input path")
    pa = import_optional("pyarrow", "arrow", "write_table_file")
    writer_module = import_optional("pyarrow.parquet" if kind == "parquet" else "pyarrow.ipc", "arrow",
                                    "write_table_file")
    if quarantine_path is not None and remote.same_target(destination, quarantine_path):
        raise ValueError(f"quarantine_path {os.fsdecode(quarantine_path)!r} names the table file")
    native = dict(options, header=header, infer_types=infer_types)
    if quarantine_path is not None:
        _check_quarantine(source, quarantine_path)
    with Spooled(source, native.get("types") is None) as spooled:
        stream, table = load_whole(spooled.source, native, lambda stream: read_whole(pa, stream), quarantine_path)
    warn_set_aside(stream.summary, source, quarantine_path, 2,
                   skipped_preamble=native.get("preamble_lines") is not None)
    table = table.replace_schema_metadata({SUMMARY_KEY: summary_json(stream.summary)})

    def write(out: Any) -> None:
        if kind == "parquet":
            writer_module.write_table(table, out)
        else:
            with writer_module.new_file(out, table.schema) as writer:
                writer.write_table(table)

    commit_file(destination, write)
    return stream.summary
