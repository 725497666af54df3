"""DataFrame rescue: load a damaged CSV file into pandas or polars.

Both go through the Arrow table :func:`csv_gleave.arrow_stream` builds in
C++, so no Python object is made per field. Both libraries are optional
(extras ``pandas`` and ``polars``; pandas also needs ``arrow``) and imported
only when one of these functions is called, so ``import csv_gleave`` stays
dependency-free.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from .tables import PathArg, arrow_stream, import_optional

if TYPE_CHECKING:  # pragma: no cover
    import pandas  # type: ignore[import-untyped,unused-ignore]
    import polars

__all__ = ["read_pandas", "read_polars"]


def read_polars(path: PathArg, *, header: bool = True, infer_types: bool = True, **options: Any) -> "polars.DataFrame":
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
    """
    pl = import_optional("polars", "polars", "read_polars")
    # Text as string views, polars' own form: taken over as it is, where
    # offsets would be converted value by value.
    stream = arrow_stream(path, header=header, infer_types=infer_types, string_views=True, **options)
    frame: polars.DataFrame = pl.DataFrame(stream)
    return frame


def read_pandas(path: PathArg, *, header: bool = True, infer_types: bool = True, **options: Any) -> "pandas.DataFrame":
    """Repair the CSV file at ``path`` and return it as a pandas DataFrame.

    Same arguments, rows and column names as :func:`read_polars`. Text
    columns have pandas' string dtype; numbers, booleans, dates and
    datetimes numpy dtypes, except that a column of integers or booleans
    with a missing value takes pandas' nullable ``Int64`` or ``boolean``
    (float64 would round integers beyond 2**53). Needs pyarrow as well.
    """
    pd = import_optional("pandas", "pandas", "read_pandas")
    pa = import_optional("pyarrow", "arrow", "read_pandas")
    stream = arrow_stream(path, header=header, infer_types=infer_types, **options)
    table = pa.RecordBatchReader.from_stream(stream).read_all()
    # types_mapper is asked per Arrow type, not per column: one integer (or
    # boolean) column with a null makes every such column nullable.
    nullable = {column.type for column in table.columns if column.null_count}
    string = pd.StringDtype()
    mapping = {pa.string(): string, pa.large_string(): string}
    if pa.int64() in nullable:
        mapping[pa.int64()] = pd.Int64Dtype()
    if pa.bool_() in nullable:
        mapping[pa.bool_()] = pd.BooleanDtype()
    # The table is this function's own: each column is freed once converted
    # (self_destruct), and no two columns are copied into one 2-D block
    # (split_blocks), which would copy every number once more.
    frame: pandas.DataFrame = table.to_pandas(types_mapper=mapping.get, date_as_object=False,
                                              split_blocks=True, self_destruct=True)
    return frame
