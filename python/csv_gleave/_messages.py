"""One-line descriptions of failures and file names, shared by the command
line and the dask runner (which must not import each other)."""
from __future__ import annotations

import os
from typing import Union

from . import _native


_CONTROL = {i: f"\\x{i:02x}" for i in list(range(0x20)) + list(range(0x7F, 0xA0))}
_CONTROL.update({ord("\n"): "\\n", ord("\r"): "\\r", ord("\t"): "\\t"})


def escape(text: str) -> str:
    """Text safe to print on a terminal: control characters as escapes."""
    return text.translate(_CONTROL)


def show_path(path: Union[str, bytes, int, None]) -> str:
    """A file name as a person can read it, whatever bytes it holds."""
    if path is None:
        return "?"
    if isinstance(path, int):
        return {0: "<stdin>", 1: "<stdout>"}.get(path, f"<fd {path}>")
    raw = os.fsencode(path)
    return escape(raw.decode("utf-8", "backslashreplace"))


def describe_error(exc: BaseException, fallback: Union[str, int, None] = None) -> str:
    """One line for a failure, naming the file and its role where known."""
    role = getattr(exc, "role", None)
    filename = getattr(exc, "filename", None)
    if filename is None:
        filename = fallback
    where = f"{role} {show_path(filename)}" if role else show_path(filename)
    if isinstance(exc, _native.NotTextError):
        return f"{where}: does not look like text (NUL bytes or mostly control bytes); use --force to repair it anyway"
    if isinstance(exc, MemoryError):
        return f"{where}: {exc}" if str(exc) else f"{where}: out of memory"
    if isinstance(exc, OSError) and exc.strerror:
        return f"{where}: {exc.strerror}"
    return f"{where}: {escape(str(exc)) or type(exc).__name__}"
