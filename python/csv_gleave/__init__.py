"""csv-gleave: rescue damaged CSV files that strict readers reject."""

from _csv_gleave_backend import (
    GleaveReader,
    GleaveSummary,
    __version__,
    gleave_file,
    open,
    sniff,
)

from .dataframe import read_pandas, read_polars
from .tables import arrow_stream, read_arrow, write_table_file

__all__ = [
    "gleave_file",
    "sniff",
    "open",
    "GleaveSummary",
    "GleaveReader",
    "__version__",
    "read_pandas",
    "read_polars",
    "arrow_stream",
    "read_arrow",
    "write_table_file",
]
