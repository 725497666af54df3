"""How csv_gleave reads a file: its encoding and CSV dialect, detected.

:func:`detect` is the native function itself (it hands a URL to
:mod:`csv_gleave.remote`): on a short sample a Python wrapper would cost as
much as the detection. It returns a :class:`Dialect`, immutable, compared and
hashed on every attribute but ``evidence``, and picklable.
"""

from ._native import Dialect, detect

__all__ = ["Dialect", "detect"]
