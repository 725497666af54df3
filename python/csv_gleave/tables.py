"""Arrow tables of repaired files: pyarrow tables, Parquet and Arrow IPC files.

The table is built by :func:`csv_gleave.arrow_stream` in C++; pyarrow only
takes it over (without a copy) or writes it out. pyarrow is optional (extra
``arrow``) and imported only when one of these functions is called.
"""

from __future__ import annotations

import functools
import importlib
import os
import tempfile
from typing import TYPE_CHECKING, Any, Union

from . import _native, remote

if TYPE_CHECKING:  # pragma: no cover
    import pyarrow

__all__ = ["arrow_stream", "read_arrow", "write_table_file", "TABLE_SUFFIXES"]

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", int]



if TYPE_CHECKING:  # pragma: no cover
    arrow_stream = _native.arrow_stream
else:
    @functools.wraps(_native.arrow_stream)
    def arrow_stream(source, *args, **kwargs):
        if remote.is_url(source):
            return remote.arrow_stream(source, *args, **kwargs)
        return _native.arrow_stream(source, *args, **kwargs)

    arrow_stream.__module__ = "csv_gleave"

# Output suffixes and the format each one selects.
TABLE_SUFFIXES = {".parquet": "parquet", ".arrow": "ipc", ".feather": "ipc"}


def import_optional(module: str, extra: str, caller: str) -> Any:
    """Imports an optional dependency, naming it and its extra when it is missing."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise ImportError(
            f"csv_gleave.{caller}() needs {module.split('.')[0]}, which is not installed; "
            f"install it with: pip install 'csv-gleave[{extra}]'"
        ) from exc


def read_arrow(source: PathArg, *, header: bool = True, infer_types: bool = True, **options: Any) -> "pyarrow.Table":
    """Repair the CSV file at ``source`` and return it as a ``pyarrow.Table``.

    The rows are exactly those :func:`csv_gleave.open` yields with the same
    ``options``; ``header`` and ``infer_types`` are those of
    :func:`csv_gleave.arrow_stream`. The table shares the buffers built in
    C++: no value is copied. ``threads=1`` builds it in the calling thread
    alone, for callers that already run many reads at once (by default the
    cores are used, shared with the other tables being built).
    """
    pa = import_optional("pyarrow", "arrow", "read_arrow")
    stream = arrow_stream(source, header=header, infer_types=infer_types, **options)
    # Not pyarrow.table(): it imports pandas to ask whether it was given a DataFrame.
    table: pyarrow.Table = pa.RecordBatchReader.from_stream(stream).read_all()
    return table


def table_format(destination: PathArg) -> str:
    """'parquet' or 'ipc' from the destination's suffix; ValueError for any other."""
    suffix = os.path.splitext(os.fsdecode(destination))[1].lower()
    try:
        return TABLE_SUFFIXES[suffix]
    except KeyError:
        raise ValueError(
            f"cannot tell the table format of {os.fsdecode(destination)!r}: "
            f"the name must end in {', '.join(TABLE_SUFFIXES)}"
        ) from None


def _umask() -> int:
    # Reading the mask through os.umask would change it for every thread
    # for a moment; Linux shows it in /proc.
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    return 0o022


def write_table_file(source: PathArg, destination: PathArg, *, header: bool = True, infer_types: bool = True,
                     **options: Any) -> Any:
    """Repair ``source`` and write its kept rows as a typed table to ``destination``.

    The suffix of ``destination`` picks the format: ``.parquet`` writes
    Parquet, ``.arrow`` or ``.feather`` the Arrow IPC file format. The file
    is written beside the target under a temporary name and renamed over it
    once complete, so the destination holds the whole table or is left as it
    was; a symbolic link is written through (the file it names is replaced,
    the link stays). A destination that is the source itself, in any
    spelling, is refused (ValueError). Needs pyarrow (extra ``arrow``). Returns the repair's
    :class:`csv_gleave.GleaveSummary`.
    """
    kind = table_format(destination)
    if remote.same_target(source, destination):
        # The table would replace the only copy of its rows.
        raise ValueError("output path is the same file as the input path")
    pa = import_optional("pyarrow", "arrow", "write_table_file")
    writer_module = import_optional("pyarrow.parquet" if kind == "parquet" else "pyarrow.ipc", "arrow",
                                    "write_table_file")
    stream = arrow_stream(source, header=header, infer_types=infer_types, **options)
    table = pa.RecordBatchReader.from_stream(stream).read_all()

    def write(out: Any) -> None:
        if kind == "parquet":
            writer_module.write_table(table, out)
        else:
            with writer_module.new_file(out, table.schema) as writer:
                writer.write_table(table)

    if remote.is_url(destination) and remote.local_path(destination) is None:
        with remote.open_output(destination) as out:
            write(out)
        return stream.summary
    if remote.is_url(destination):
        destination = remote.local_path(destination)
    # Through a symbolic link (a dangling one too) to the file it names, so
    # that the link survives, as gleave_file writes; the temporary's short
    # name fits wherever the target's own name fits.
    target = os.path.realpath(os.fsdecode(os.fspath(destination)))
    directory = os.path.dirname(target)
    fd, temporary = tempfile.mkstemp(prefix=".gleave-", dir=directory)
    try:
        with os.fdopen(fd, "wb") as out:
            write(out)
            out.flush()
            os.fsync(out.fileno())
        # mkstemp makes the file private; the table gets the mode any new file would.
        os.chmod(temporary, 0o666 & ~_umask())
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    return stream.summary
