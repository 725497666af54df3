"""Many files at once with Dask: a dask DataFrame of repaired files, and batch repairs.

:func:`read_dask` builds one partition per file with :func:`csv_gleave.read_pandas`
(the Arrow path); :func:`repair_many` runs :func:`csv_gleave.gleave_file` for
each file on a Dask cluster and returns one row per file. Paths may be local
or URLs (see :mod:`csv_gleave.remote`); on a real cluster local paths must
name a file system every worker sees.

Dask and distributed are optional (extra ``dask``, which pins the two to the
same release) and imported only here: ``import csv_gleave`` does not import
them.
"""

from __future__ import annotations

import contextlib
import glob
import logging
import os
import time
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Optional, Sequence, Tuple, Union

from . import remote
from .tables import import_optional

if TYPE_CHECKING:  # pragma: no cover
    import dask.dataframe
    import pandas  # type: ignore[import-untyped,unused-ignore]

__all__ = ["read_dask", "repair_many", "run_batch"]

Paths = Union[str, "os.PathLike[str]", Sequence[Union[str, "os.PathLike[str]"]]]

_GLOB = frozenset("*?[")


def expand_paths(urlpath_or_list: Paths) -> List[str]:
    """The files named, in order, with glob patterns expanded (each sorted).

    A pattern that matches nothing is a FileNotFoundError: an empty batch is
    more likely a typo than what was meant.
    """
    items = [urlpath_or_list] if isinstance(urlpath_or_list, (str, os.PathLike)) else list(urlpath_or_list)
    found: List[str] = []
    for item in items:
        path = os.fspath(item)
        if not isinstance(path, str):
            raise TypeError(f"paths must be str or os.PathLike[str], got {type(path).__name__}")
        if not _GLOB.intersection(path):
            found.append(path)
            continue
        if remote.is_url(path) and remote.local_path(path) is None:
            fs, pattern = remote.filesystem(path)
            matches = [fs.unstrip_protocol(match) for match in sorted(fs.glob(pattern))]
        else:
            matches = sorted(glob.glob(remote.local_path(path) or path))
        if not matches:
            raise FileNotFoundError(f"no file matches {path!r}")
        found.extend(matches)
    if not found:
        raise ValueError("no files given")
    return found


# --------------------------------------------------------------------------
# read_dask


class _Partition:
    """Reads one file as a partition with the columns and dtypes of ``meta``."""

    def __init__(self, options: Dict[str, Any], meta: "pandas.DataFrame") -> None:
        self.options = options
        self.meta = meta

    def __call__(self, path: str) -> "pandas.DataFrame":
        from . import read_pandas

        frame = read_pandas(path, **self.options)
        return conform(frame, self.meta, path)


def conform(frame: "pandas.DataFrame", meta: "pandas.DataFrame", path: str) -> "pandas.DataFrame":
    """``frame`` with ``meta``'s dtypes, refusing any conversion that changes a value.

    Each file's types are inferred from its own values: a column of whole
    numbers in one file can hold decimals in the next. A column is converted
    only when converting it back gives every value (and every null) again;
    otherwise the file is named in a ValueError, as it is for other columns.
    """
    pd = import_optional("pandas", "pandas", "read_dask")
    if list(frame.columns) != list(meta.columns):
        raise ValueError(f"{path}: columns {list(frame.columns)} differ from {list(meta.columns)}; "
                         "give meta= or read the files separately")
    for name, dtype in meta.dtypes.items():
        column = frame[name]
        if column.dtype == dtype:
            continue
        try:
            converted = column.astype(dtype)
            back = converted.astype(column.dtype)
            same = bool(((back == column) | (back.isna() & column.isna())).fillna(False).all())
        except (TypeError, ValueError, OverflowError):
            same = False
        if not same:
            raise ValueError(f"{path}: column {name!r} holds {column.dtype} values that do not convert "
                             f"to {dtype} without change; give meta= with a wider type, or infer_types=False")
        frame[name] = converted
    return frame if isinstance(frame, pd.DataFrame) else pd.DataFrame(frame)


def read_dask(urlpath_or_list: Paths, *, meta: Optional["pandas.DataFrame"] = None,
              **options: Any) -> "dask.dataframe.DataFrame":
    """A dask DataFrame of repaired CSV files, one partition per file.

    ``urlpath_or_list`` is a path, URL or glob pattern, or a list of them.
    Each partition is :func:`csv_gleave.read_pandas` of its file with
    ``options`` (``header``, ``infer_types``, ``delimiter``, ...), so its
    rows are exactly that function's. The columns and dtypes come from the
    first file (read once here) unless ``meta``, an empty pandas DataFrame,
    is given; a partition whose values do not convert to them without change
    raises a ValueError naming its file.
    """
    dd = import_optional("dask.dataframe", "dask", "read_dask")
    paths = expand_paths(urlpath_or_list)
    if "cancel" in options:
        raise TypeError("read_dask() does not take cancel: the partitions are read on the cluster")
    if meta is None:
        from . import read_pandas

        meta = read_pandas(paths[0], **options).iloc[:0]
    frame: "dask.dataframe.DataFrame" = dd.from_map(_Partition(options, meta), paths, meta=meta,
                                                    label="read-csv-gleave", enforce_metadata=False)
    return frame


# --------------------------------------------------------------------------
# repair_many


def _name(path: str) -> str:
    # As the command line's --out-dir names its outputs.
    return os.path.basename(path.rstrip(os.sep)) or path


def _join(directory: str, name: str) -> str:
    if remote.is_url(directory):
        return directory.rstrip("/") + "/" + name
    return os.path.join(directory, name)


def batch_jobs(paths: Sequence[str], out_dir: str,
               quarantine_dir: Optional[str] = None) -> List[Tuple[str, str, Optional[str]]]:
    """(input, output, quarantine) for each path, named as ``csv-gleave repair --out-dir`` names them."""
    jobs = []
    seen: Dict[str, str] = {}
    for path in paths:
        name = _name(path)
        if name in seen:
            raise ValueError(f"{seen[name]!r} and {path!r} would both be written as {name!r}")
        seen[name] = path
        quarantine = _join(quarantine_dir, name) if quarantine_dir is not None else None
        jobs.append((path, _join(out_dir, name), quarantine))
    return jobs


def _for_worker(path: Optional[str]) -> Optional[str]:
    # A worker's working directory need not be the caller's.
    if path is None or remote.is_url(path):
        return path
    return os.path.abspath(path)


def repair_task(input_path: str, output_path: str, quarantine_path: Optional[str],
                options: Dict[str, Any]) -> Dict[str, Any]:
    """Repairs one file on a worker: its summary, or its error as one line, and the time taken."""
    from . import gleave_file
    from ._messages import describe_error

    started = time.perf_counter()
    result: Dict[str, Any] = {"summary": None, "error": None}
    try:
        result["summary"] = gleave_file(input_path, output_path, quarantine_path, **options).to_dict()
    except Exception as exc:  # noqa: BLE001 - one file's failure is its row, never the batch's
        result["error"] = describe_error(exc, input_path)
    result["elapsed"] = time.perf_counter() - started
    return result


@contextlib.contextmanager
def _client(client: Any, scheduler: Optional[str], caller: str) -> Iterator[Any]:
    """The given client, one for ``scheduler``, the current one, or a LocalCluster's (closed after)."""
    distributed = import_optional("distributed", "dask", caller)
    if client is not None:
        yield client
        return
    if scheduler is not None:
        with distributed.Client(scheduler, set_as_default=False) as own:
            yield own
        return
    try:
        current = distributed.get_client()
    except ValueError:
        current = None
    if current is not None:
        yield current
        return
    with distributed.LocalCluster(processes=True, dashboard_address=None,
                                  silence_logs=logging.ERROR) as cluster:
        with distributed.Client(cluster, set_as_default=False) as own:
            yield own


def run_batch(jobs: Sequence[Tuple[str, Optional[str], Optional[str]]], options: Dict[str, Any], *,
              client: Any = None, scheduler: Optional[str] = None,
              caller: str = "repair_many", elapsed: bool = True) -> Tuple[List[Optional[Dict[str, Any]]], bool]:
    """Repairs each (input, output, quarantine) on a Dask cluster.

    Returns the results in input order, as ``csv-gleave repair --out-dir``
    reports them (input, output, quarantine, summary, error, elapsed), and
    whether Ctrl-C stopped the batch (then unfinished jobs are None and
    cancelled on the cluster; a job already running finishes its file or
    leaves nothing, as every output is committed only when complete).
    """
    if "cancel" in options:
        raise TypeError("a batch on a cluster does not take cancel; interrupt it with Ctrl-C")
    results: List[Optional[Dict[str, Any]]] = [None] * len(jobs)
    interrupted = False
    with _client(client, scheduler, caller) as dask_client:
        futures = [
            dask_client.submit(repair_task, _for_worker(inp), _for_worker(out), _for_worker(quar), options,
                               pure=False, key=f"csv-gleave-repair-{index}-{os.urandom(4).hex()}")
            for index, (inp, out, quar) in enumerate(jobs)
        ]
        try:
            for index, future in enumerate(futures):
                inp, out, quar = jobs[index]
                row: Dict[str, Any] = {"input": inp, "output": out, "quarantine": quar}
                try:
                    row.update(future.result())
                except Exception as exc:  # noqa: BLE001 - a lost worker fails its file only
                    from ._messages import describe_error

                    row.update(summary=None, error=describe_error(exc, inp), elapsed=None)
                if not elapsed:
                    del row["elapsed"]
                results[index] = row
        except KeyboardInterrupt:
            interrupted = True
            dask_client.cancel([f for f in futures if not f.done()])
            for index, future in enumerate(futures):
                if results[index] is None and future.status == "finished":
                    inp, out, quar = jobs[index]
                    row = {"input": inp, "output": out, "quarantine": quar, **future.result()}
                    if not elapsed:
                        del row["elapsed"]
                    results[index] = row
    return results, interrupted


def repair_many(paths: Paths, out_dir: str, quarantine_dir: Optional[str] = None, *, client: Any = None,
                scheduler: Optional[str] = None, **options: Any) -> "pandas.DataFrame":
    """Repairs every file into ``out_dir`` on a Dask cluster; one row per file.

    ``paths`` is a path, URL or glob pattern, or a list of them; each output
    (and quarantine, in ``quarantine_dir``) gets its input's file name, as
    with ``csv-gleave repair --out-dir``. The work runs on ``client``, else
    on the cluster at ``scheduler`` (an address such as
    ``tcp://host:8786``), else on the current client, else on a
    LocalCluster started for the batch and closed after it. ``options`` are
    those of :func:`csv_gleave.gleave_file`.

    The rows hold input, output and quarantine, the summary's counts and
    dialect, ``error`` (None, or one line saying what went wrong: a failing
    file never stops the others, and leaves no output) and ``elapsed``
    seconds on the worker.
    """
    pd = import_optional("pandas", "pandas", "repair_many")
    jobs = batch_jobs(expand_paths(paths), os.fspath(out_dir),
                      os.fspath(quarantine_dir) if quarantine_dir is not None else None)
    for directory in (out_dir, quarantine_dir):
        if directory is not None:
            directory = os.fspath(directory)
            if remote.is_url(directory):
                remote.makedirs(directory)
            else:
                os.makedirs(directory, exist_ok=True)
    results, interrupted = run_batch(jobs, options, client=client, scheduler=scheduler)
    if interrupted:
        raise KeyboardInterrupt
    keys: List[str] = []
    for result in results:
        if result is not None and result["summary"] is not None:
            keys = list(result["summary"])
            break
    rows = []
    for result in results:
        assert result is not None
        summary = result["summary"] or {}
        rows.append({"input": result["input"], "output": result["output"], "quarantine": result["quarantine"],
                     **{key: summary.get(key) for key in keys},
                     "error": result["error"], "elapsed": result["elapsed"]})
    frame = pd.DataFrame(rows, columns=["input", "output", "quarantine", *keys, "error", "elapsed"])
    frame["error"] = pd.Series([row["error"] for row in rows], index=frame.index, dtype=object)  # None, not NaN
    for key in keys:
        if key.endswith("_rows") or key in ("inferred_columns", "replaced_bytes", "fallback_bytes"):
            frame[key] = frame[key].astype("Int64")  # a failed file has no count, not a float NaN
    return frame
