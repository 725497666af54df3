"""DataFrame rescue: load a damaged CSV file into pandas or polars.

Both go through the Arrow record batches :func:`csv_gleave.arrow_stream` builds in
C++, so no Python object is made per field. Both libraries are optional
(extras ``pandas`` and ``polars``; pandas also needs ``arrow``) and imported
only when one of these functions is called, so ``import csv_gleave`` stays
dependency-free.

Rows kept out of the frame are counted, written to ``quarantine_path=``
when one is given, and named in a :class:`csv_gleave.RowsSetAsideWarning`
(which carries the summary). A pandas frame holds the summary's fields in
``frame.attrs["csv_gleave"]``. A polars frame has no place for it: catch the
warning, or read ``csv_gleave.arrow_stream(path)`` (whose ``summary`` it
is) into ``polars.DataFrame(stream)``.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any, Dict, List, Optional

from .tables import (
    PathArg,
    _never,
    build_arrow_table,
    cast_failure,
    import_optional,
    native_options,
    open_stream,
    read_widening,
    load_whole,
    select_names,
    Spooled,
    text_nulls,
    warn_set_aside,
    _check_quarantine,
)

if TYPE_CHECKING:  # pragma: no cover
    import pandas  # type: ignore[import-untyped,unused-ignore]
    import polars

__all__ = ["read_pandas", "read_polars"]


def polars_dtype(value: Any, pl: Any) -> Any:
    """A polars dtype from a polars dtype, a pyarrow type, a numpy or pandas dtype or a Python type."""
    module = getattr(value, "__module__", "") or getattr(type(value), "__module__", "")
    if module.startswith("polars"):
        return value
    python_types = {str: pl.String, int: pl.Int64, float: pl.Float64, bool: pl.Boolean}
    if value in python_types:
        return python_types[value]
    pa = import_optional("pyarrow", "arrow", "read_polars")
    from .tables import arrow_type

    return pl.from_arrow(pa.array([], type=arrow_type(value, pa))).dtype


def _is_text_polars(dtype: Any, pl: Any) -> bool:
    return dtype in (pl.String, pl.Categorical) or isinstance(dtype, (pl.Categorical, pl.Enum)) or dtype == pl.Enum


def read_polars(path: PathArg, *, header: bool = True, infer_types: bool = True, columns: Any = None,
                schema_overrides: Optional[Dict[str, Any]] = None, null_values: Any = None,
                n_rows: Optional[int] = None, skip_rows: Optional[int] = None,
                decimal_comma: Optional[bool] = None, try_parse_dates: bool = True,
                quarantine_path: Any = None, **options: Any) -> "polars.DataFrame":
    """Repair the CSV file at ``path`` and return it as a polars DataFrame.

    The rows are exactly those :func:`csv_gleave.open` yields with the same
    ``options`` (``delimiter``, ``quote_char``, ``fill_ragged_rows``,
    ``merge_overflow``, ``expected_columns``, ``repair_quotes``,
    ``allow_binary``, ``cancel``). With ``header=True`` (the default) the
    first kept row names the columns, made unique and non-empty as pandas
    does; with ``header=False`` they are ``column_1``, ``column_2``, ...
    With ``infer_types=True`` a column is typed (integer, float, boolean,
    date, datetime) only when every value converts without loss, and an
    empty field is null; with ``infer_types=False`` every column holds the
    exact field texts. A column holding bytes that are not UTF-8 is binary.
    polars takes the Arrow table over directly; pyarrow is not needed.

    ``columns``, ``schema_overrides`` (polars dtypes, or any type
    :func:`csv_gleave.read_arrow` takes), ``null_values``, ``n_rows``,
    ``skip_rows``, ``decimal_comma`` and ``try_parse_dates`` are those of
    :func:`csv_gleave.read_arrow`, under polars' own names. A text dtype
    keeps the field texts as written.

    ``quarantine_path``: where rows kept out of the frame are written. A
    :class:`csv_gleave.RowsSetAsideWarning` names their counts and carries
    the summary (``warning.summary``); polars frames hold no metadata, so
    that, or ``polars.DataFrame(csv_gleave.arrow_stream(path))`` with the
    stream's ``summary``, is where the counts are.
    """
    pl = import_optional("polars", "polars", "read_polars")
    overrides = {name: polars_dtype(value, pl) for name, value in (schema_overrides or {}).items()}
    nulls = text_nulls(null_values)
    native = native_options(dict(options, header=header, infer_types=infer_types, string_views=True),
                            n_rows=n_rows, skip_rows=skip_rows, null_values=null_values,
                            decimal_comma=decimal_comma)
    plain = {key: value for key, value in native.items() if key != "null_values"}
    if quarantine_path is not None:
        _check_quarantine(path, quarantine_path)
    wants_text = any(_is_text_polars(dtype, pl) for dtype in overrides.values())
    # A whole frame is typed as every row types it: a source read through
    # once is copied, so that the rows can be read again should a head's
    # types not be those (see load_whole).
    may_reread = native.get("types") is None or (infer_types and (wants_text or not try_parse_dates))
    with Spooled(path, may_reread) as spooled:
        # Text as string views, polars' own form: taken over as it is, where
        # offsets would be converted value by value.
        stream, frame = load_whole(spooled.source, native if infer_types else plain, pl.DataFrame,
                                   quarantine_path)
        frame = frame.select(select_names(frame.columns, columns, "read_polars"))
        wanted = [
            name for name, dtype in frame.schema.items()
            if dtype != pl.String and ((name in overrides and _is_text_polars(overrides[name], pl))
                                       or (not try_parse_dates and dtype.is_temporal()))
        ]
        texts = None
        if wanted and infer_types:
            texts = read_widening(open_stream(spooled.source, dict(plain, infer_types=False), warn=False),
                                  pl.DataFrame)
    replaced: List[Any] = []
    for name, dtype in frame.schema.items():
        column = None
        if texts is not None and name in wanted:
            column = texts[name]
        elif not infer_types and dtype == pl.String and nulls:
            column = frame[name]
        if column is not None:
            if nulls:
                column = column.set(column.is_in(nulls).fill_null(False), None)
            replaced.append(column)
    if replaced:
        frame = frame.with_columns(replaced)
    warn_set_aside(stream.summary, path, quarantine_path, 2,
                   skipped_preamble=native.get("preamble_lines") is not None)
    missing = [name for name in overrides if name not in frame.columns]
    if missing:
        raise ValueError(f"read_polars: schema_overrides names no column of the frame: {missing}; "
                         f"its columns are {frame.columns}")
    for name, target in overrides.items():
        if frame.schema[name] == target:
            continue
        try:
            frame = frame.with_columns(frame[name].cast(target, strict=True))
        except Exception as exc:  # noqa: BLE001 - polars' own errors differ between releases
            raise cast_failure(name, target, frame[name], exc) from None
    return frame


def _is_text_pandas(dtype: Any, pd: Any) -> bool:
    if dtype in (str, object) or (isinstance(dtype, str) and dtype in ("str", "string", "object", "category")):
        return True
    try:
        return bool(pd.api.types.is_string_dtype(dtype) or isinstance(dtype, pd.CategoricalDtype))
    except TypeError:
        return False


class _Every(dict):  # type: ignore[type-arg]
    """One text dtype for every column: every name is in it."""

    def __init__(self, dtype: Any) -> None:
        super().__init__()
        self.dtype = dtype

    def __contains__(self, name: object) -> bool:
        return True

    def __getitem__(self, name: Any) -> Any:
        return self.dtype

    def __bool__(self) -> bool:
        return True


def _one_of(caller: str, **given: Any) -> Any:
    """The value of whichever name of an option was given; TypeError when both were."""
    present = {name: value for name, value in given.items() if value is not None}
    if len(present) > 1:
        raise TypeError(f"{caller}() got {' and '.join(present)}: they are the same option, give one")
    return next(iter(present.values()), None)


def pandas_from_arrow(table: Any, pd: Any, pa: Any) -> "pandas.DataFrame":
    """A frame of a table that is the caller's to give up, with read_pandas' dtypes.

    Text takes pandas' string dtype; integers and booleans take the
    nullable dtypes where a null would otherwise make them floats or objects.
    """
    # types_mapper is asked per Arrow type, not per column: one integer (or
    # boolean) column with a null makes every such column nullable.
    nullable = {column.type for column in table.columns if column.null_count}
    string = pd.StringDtype()
    mapping = {pa.string(): string, pa.large_string(): string}
    if pa.int64() in nullable:
        mapping[pa.int64()] = pd.Int64Dtype()
    if pa.bool_() in nullable:
        mapping[pa.bool_()] = pd.BooleanDtype()
    # Each column is freed once converted (self_destruct), and no two
    # columns are copied into one 2-D block (split_blocks), which would copy
    # every number once more.
    frame: pandas.DataFrame = table.to_pandas(types_mapper=mapping.get, date_as_object=False,
                                              split_blocks=True, self_destruct=True)
    return frame


def read_pandas(path: PathArg, *, header: bool = True, infer_types: bool = True, columns: Any = None,
                usecols: Any = None, schema_overrides: Optional[Dict[str, Any]] = None,
                dtype: Optional[Dict[str, Any]] = None, null_values: Any = None, na_values: Any = None,
                n_rows: Optional[int] = None, nrows: Optional[int] = None, skip_rows: Optional[int] = None,
                skiprows: Optional[int] = None, decimal_comma: Optional[bool] = None,
                decimal: Optional[str] = None, try_parse_dates: Optional[bool] = None,
                parse_dates: Optional[bool] = None, quarantine_path: Any = None,
                **options: Any) -> "pandas.DataFrame":
    """Repair the CSV file at ``path`` and return it as a pandas DataFrame.

    Same arguments, rows and column names as :func:`read_polars`. Text
    columns have pandas' string dtype; numbers, booleans, dates and
    datetimes numpy dtypes, except that a column of integers or booleans
    with a missing value takes pandas' nullable ``Int64`` or ``boolean``
    (float64 would round integers beyond 2**53). Needs pyarrow as well.

    pandas' names are taken too: ``usecols`` (names, positions or a
    callable), ``dtype`` (numpy or pandas dtypes, pyarrow types, ``str``:
    a text dtype keeps the field texts as written; one dtype, such as
    ``dtype=str``, is every column's), ``na_values``,
    ``nrows``, ``skiprows`` (an int), ``decimal`` (``","`` or ``"."``) and
    ``parse_dates`` (a bool). The summary's fields are in
    ``frame.attrs["csv_gleave"]``.
    """
    pd = import_optional("pandas", "pandas", "read_pandas")
    pa = import_optional("pyarrow", "arrow", "read_pandas")
    columns = _one_of("read_pandas", columns=columns, usecols=usecols)
    given = _one_of("read_pandas", schema_overrides=schema_overrides, dtype=dtype)
    # One dtype, as pandas takes it (dtype=str), is every column's.
    every = None if given is None or isinstance(given, dict) else given
    overrides: Dict[str, Any] = {} if every is not None else dict(given or {})
    if every is not None and _is_text_pandas(every, pd):
        overrides = _Every(every)
    if decimal is not None:
        if decimal not in (",", "."):
            raise ValueError(f"read_pandas: decimal must be ',' or '.', not {decimal!r}")
        decimal = decimal == ","  # type: ignore[assignment]
    parse = _one_of("read_pandas", try_parse_dates=try_parse_dates, parse_dates=parse_dates)
    if parse is not None and not isinstance(parse, bool):
        raise TypeError("read_pandas: parse_dates must be a bool: the types of the other columns are inferred")
    table = build_arrow_table(
        path, "read_pandas", header=header, infer_types=infer_types, columns=columns,
        text_for=(lambda name, _: name in overrides and _is_text_pandas(overrides[name], pd)) if overrides else _never,
        null_values=_one_of("read_pandas", null_values=null_values, na_values=na_values),
        n_rows=_one_of("read_pandas", n_rows=n_rows, nrows=nrows),
        skip_rows=_one_of("read_pandas", skip_rows=skip_rows, skiprows=skiprows),
        decimal_comma=_one_of("read_pandas", decimal_comma=decimal_comma, decimal=decimal),
        try_parse_dates=True if parse is None else parse, quarantine_path=quarantine_path, stacklevel=2,
        options=options)
    summary = importlib.import_module("json").loads(table.schema.metadata[b"csv_gleave.summary"])
    frame = pandas_from_arrow(table, pd, pa)
    del table
    if isinstance(overrides, _Every) or every is not None:
        overrides = {name: every for name in frame.columns}
    missing = [name for name in overrides if name not in frame.columns]
    if missing:
        raise ValueError(f"read_pandas: dtype names no column of the frame: {missing}; "
                         f"its columns are {list(frame.columns)}")
    for name, target in overrides.items():
        if target is str:
            continue  # the text is there as written, in pandas' string dtype
        if isinstance(target, pa.DataType):
            target = pd.ArrowDtype(target)
        try:
            if frame[name].dtype != target:
                frame[name] = frame[name].astype(target)
        except (TypeError, ValueError, OverflowError) as exc:
            raise cast_failure(name, target, frame[name], exc) from None
    frame.attrs["csv_gleave"] = summary
    return frame
