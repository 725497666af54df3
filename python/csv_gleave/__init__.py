"""csv-gleave: rescue damaged CSV files that strict readers reject.

The functions here are the package's own (``csv_gleave._native``): paths may
be str, bytes or os.PathLike, outputs appear whole or not at all, the
interpreter lock is released while files are read, repaired and written, and
Ctrl-C stops a repair. ``_csv_gleave_backend`` keeps the core's interface.

Any path may also be a URL (s3://, gs://, az://, http(s)://, memory://, ...,
anything fsspec opens; extra ``remote``): the file is streamed through the
engine in chunks (see :mod:`csv_gleave.remote`). Local paths go straight to
the native functions.
"""

import functools as _functools
from typing import TYPE_CHECKING as _TYPE_CHECKING
from typing import Any as _Any

from _csv_gleave_backend import __version__

from . import _native
from ._native import (
    ArrowStream,
    Cancelled,
    GleaveReader,
    GleaveSummary,
    NotTextError,
    sniff,
)


def _is_url(path: object) -> bool:
    # Only a str with a scheme separator can be a URL: a local path never
    # loads the remote layer (nor fsspec through it).
    if type(path) is not str or ("://" not in path and "::" not in path):
        return False
    from . import remote

    return remote.is_url(path)


if _TYPE_CHECKING:
    # Type checkers see the native functions' own signatures (from _native.pyi).
    from ._native import gleave_file, inspect, open
else:
    @_functools.wraps(_native.gleave_file)
    def gleave_file(input_path: _Any, output_path: _Any, quarantine_path: _Any = None, *args: _Any, **kwargs: _Any) -> _Any:
        if _is_url(input_path) or _is_url(output_path) or _is_url(quarantine_path):
            from . import remote

            return remote.gleave_file(input_path, output_path, quarantine_path, *args, **kwargs)
        return _native.gleave_file(input_path, output_path, quarantine_path, *args, **kwargs)

    @_functools.wraps(_native.open)
    def open(file_path: _Any, *args: _Any, **kwargs: _Any) -> _Any:
        if _is_url(file_path):
            from . import remote

            return remote.open(file_path, *args, **kwargs)
        return _native.open(file_path, *args, **kwargs)

    @_functools.wraps(_native.inspect)
    def inspect(file_path: _Any, *args: _Any, **kwargs: _Any) -> _Any:
        if _is_url(file_path):
            from . import remote

            return remote.inspect(file_path, *args, **kwargs)
        return _native.inspect(file_path, *args, **kwargs)

    for _wrapper in (gleave_file, open, inspect):
        _wrapper.__module__ = __name__  # found here by pickle, not as the native function it wraps

from .dialect import Dialect, detect  # noqa: E402

# The table and DataFrame layers load on first use, so that importing the
# package (and the command line's plain repair) costs none of their imports.
_LAZY = {
    "read_pandas": "dataframe",
    "read_polars": "dataframe",
    "arrow_stream": "tables",
    "read_arrow": "tables",
    "iter_batches": "tables",
    "write_table_file": "tables",
    "RowsSetAsideWarning": "tables",
}

if _TYPE_CHECKING:
    from .dataframe import read_pandas, read_polars
    from .tables import RowsSetAsideWarning, arrow_stream, iter_batches, read_arrow, write_table_file


def __getattr__(name: str) -> _Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib import import_module

    value = getattr(import_module(f".{module}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))


__all__ = [
    "gleave_file",
    "sniff",
    "open",
    "inspect",
    "GleaveSummary",
    "GleaveReader",
    "NotTextError",
    "Cancelled",
    "__version__",
    "read_pandas",
    "read_polars",
    "arrow_stream",
    "ArrowStream",
    "read_arrow",
    "iter_batches",
    "write_table_file",
    "RowsSetAsideWarning",
    "detect",
    "Dialect",
]
