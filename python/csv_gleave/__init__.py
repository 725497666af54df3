"""csv-gleave: rescue damaged CSV files that strict readers reject."""

from _csv_gleave_backend import (
    GleaveReader,
    GleaveSummary,
    __version__,
    gleave_file,
    open,
    sniff,
)

__all__ = ["gleave_file", "sniff", "open", "GleaveSummary", "GleaveReader", "__version__"]
