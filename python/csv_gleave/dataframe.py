"""DataFrame rescue: load a damaged CSV file into pandas or polars.

Both libraries are optional. They are imported only when one of these
functions is called, so ``import csv_gleave`` stays dependency-free.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, Dict, List, Sequence, Tuple, Union

from . import _native

if TYPE_CHECKING:  # pragma: no cover
    import pandas  # type: ignore[import-untyped,unused-ignore]
    import polars

__all__ = ["read_pandas", "read_polars"]

PathArg = Union[str, "os.PathLike[str]", bytes]


def _import(module: str, caller: str) -> Any:
    try:
        return __import__(module)
    except ImportError as exc:
        raise ImportError(
            f"csv_gleave.{caller}() needs {module}, which is not installed; "
            f"install it with: pip install 'csv-gleave[{module}]'"
        ) from exc


def _header_names(raw: Sequence[str], width: int) -> List[str]:
    """Unique, non-empty column names in the style pandas uses.

    An empty (or missing) name becomes ``Unnamed: i`` (i counts from 0); a
    repeated name gets ``.1``, ``.2``, ... appended, skipping any suffix that
    is already the name of another column.
    """
    names = [name if name.strip() else f"Unnamed: {i}" for i, name in enumerate(raw)]
    names += [f"Unnamed: {i}" for i in range(len(names), width)]
    taken = set(names)  # a name given in the header is never taken by a renamed duplicate
    seen = set()
    result = []
    for name in names:
        candidate, n = name, 0
        while candidate in seen or (n and candidate in taken):
            n += 1
            candidate = f"{name}.{n}"
        seen.add(candidate)
        result.append(candidate)
    return result


def _read_table(path: PathArg, header: bool, options: Dict[str, Any]) -> Tuple[List[str], List[List[str]]]:
    """Column names and the rectangular columns of the repaired table."""
    reader = _native.GleaveReader(path, **options)
    rows: List[List[str]] = list(reader)
    raw_header: List[str] = rows.pop(0) if (header and rows) else []
    width = max([len(raw_header)] + [len(row) for row in rows])
    # With a width rule in force every row already has the same width; with
    # expected_columns=0 the rows may differ, so short ones are padded here.
    for row in rows:
        if len(row) < width:
            row.extend([""] * (width - len(row)))
    names = _header_names(raw_header, width) if header else [f"column_{i + 1}" for i in range(width)]
    columns = [list(col) for col in zip(*rows)] if rows else [[] for _ in range(width)]
    return names, columns


def read_pandas(path: PathArg, *, header: bool = True, **options: Any) -> "pandas.DataFrame":
    """Repair the CSV file at ``path`` and return it as a pandas DataFrame.

    Every column holds strings. With ``header=True`` (the default) the first
    repaired row names the columns; with ``header=False`` the columns are
    named ``column_1``, ``column_2``, ... and the first row is data.
    ``options`` are the repair options of :func:`csv_gleave.open`
    (``delimiter``, ``quote_char``, ``fill_ragged_rows``, ``merge_overflow``,
    ``expected_columns``, ``repair_quotes``). Rows that the options forbid
    mending are left out.
    """
    pd = _import("pandas", "read_pandas")
    names, columns = _read_table(path, header, options)
    frame: pandas.DataFrame = pd.DataFrame(dict(zip(names, columns)), columns=names, dtype=str)
    return frame


def read_polars(path: PathArg, *, header: bool = True, **options: Any) -> "polars.DataFrame":
    """Repair the CSV file at ``path`` and return it as a polars DataFrame.

    Same arguments and column naming as :func:`read_pandas`; every column
    has the polars string type.
    """
    pl = _import("polars", "read_polars")
    names, columns = _read_table(path, header, options)
    frame: polars.DataFrame = pl.DataFrame(columns, schema=[(name, pl.Utf8) for name in names], orient="col")
    return frame

