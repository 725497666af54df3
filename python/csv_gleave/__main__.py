"""``python -m csv_gleave``: the same command line as ``csv-gleave``."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
