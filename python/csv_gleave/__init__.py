"""csv-gleave: rescue damaged CSV files that strict readers reject.

The functions here are the package's own (``csv_gleave._native``): paths may
be str, bytes or os.PathLike, outputs appear whole or not at all, the
interpreter lock is released while files are read, repaired and written, and
Ctrl-C stops a repair. ``_csv_gleave_backend`` keeps the core's interface.
"""

from _csv_gleave_backend import __version__

from ._native import (
    ArrowStream,
    Cancelled,
    GleaveReader,
    GleaveSummary,
    NotTextError,
    gleave_file,
    inspect,
    open,
    sniff,
)
from .dataframe import read_pandas, read_polars
from .tables import arrow_stream, read_arrow, write_table_file
from .dialect import Dialect, detect

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
    "write_table_file",
    "detect",
    "Dialect",
]
