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
import shutil
import stat
import tempfile
import time
import warnings
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

from . import remote
from .tables import RowsSetAsideWarning, import_optional
from ._replace import make_work_directory, temporary_name
from ._options import OPTIONS

if TYPE_CHECKING:  # pragma: no cover
    import dask.dataframe
    import pandas  # type: ignore[import-untyped,unused-ignore]

__all__ = ["read_dask", "repair_large", "repair_many", "run_batch"]

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
    """Reads one file as a partition with the columns and dtypes of ``meta``.

    A column that is text in ``meta`` is read as its exact field texts in
    every file, however its values would be typed there. ``quarantine``:
    where each file's set-aside rows go, by input path.
    """

    def __init__(self, options: Dict[str, Any], meta: "pandas.DataFrame",
                 quarantine: Optional[Dict[str, str]] = None) -> None:
        self.options = options
        self.meta = meta
        self.text = [name for name, dtype in meta.dtypes.items() if _is_text(dtype)]
        self.quarantine = quarantine or {}

    def __call__(self, path: str) -> "pandas.DataFrame":
        from . import read_pandas

        options = dict(self.options)
        if self.text:
            options["dtype"] = {name: str for name in self.text}
        frame = read_pandas(path, quarantine_path=self.quarantine.get(path), **options)
        return conform(frame, self.meta, path)


def _is_text(dtype: Any) -> bool:
    pd = import_optional("pandas", "pandas", "read_dask")
    return bool(pd.api.types.is_string_dtype(dtype) and not pd.api.types.is_bool_dtype(dtype)) or dtype == object  # noqa: E721 - numpy dtypes equal object


def conform(frame: "pandas.DataFrame", meta: "pandas.DataFrame", path: str) -> "pandas.DataFrame":
    """``frame`` with ``meta``'s dtypes, refusing any conversion that changes a value.

    Each file's types are inferred from its own values: a column of whole
    numbers in one file can hold decimals in the next, and is converted when
    every value (and every null) survives the conversion; a column of nulls
    alone takes any dtype that holds nulls. Text is never converted to or
    from another type: ``1.50`` is not ``1.5``, and a time with its offset
    is not the same time in UTC. A null in a column that ``meta`` types as
    numpy integers or booleans (``int64``, ``bool``), which hold none, is
    refused too: ``meta`` with pandas' nullable twin (``Int64``,
    ``boolean``) keeps it. Each such column is a ValueError naming the file
    and the column, so that every partition has ``meta``'s dtypes.
    """
    pd = import_optional("pandas", "pandas", "read_dask")
    if list(frame.columns) != list(meta.columns):
        raise ValueError(f"{path}: columns {list(frame.columns)} differ from {list(meta.columns)}; "
                         "give meta= or read the files separately")
    for name, dtype in meta.dtypes.items():
        column = frame[name]
        if column.dtype == dtype:
            continue
        if _family(dtype) != str(dtype) and bool(column.isna().any()):
            raise ValueError(f"{path}: column {name!r} has nulls, which {dtype} cannot hold; give meta= with "
                             f"{_family(dtype)} (pandas' nullable type) for it, or dtype_policy='widen'")
        if len(column) and bool(column.isna().all()):
            # No value to type: the column only has nulls here.
            with contextlib.suppress(TypeError, ValueError):
                frame[name] = column.astype(object).astype(dtype)
                continue
        same = _is_text(column.dtype) == _is_text(dtype)
        if same:
            try:
                converted = column.astype(dtype)
                back = converted.astype(column.dtype)
                same = bool(((back == column) | (back.isna() & column.isna())).fillna(False).all())
            except (TypeError, ValueError, OverflowError):
                same = False
        if not same:
            raise ValueError(f"{path}: column {name!r} holds {column.dtype} values that do not convert "
                             f"to {dtype} without change; give dtype_policy='widen' to read the column as "
                             "text in every file, meta= with a wider type, or infer_types=False")
        frame[name] = converted
    return frame if isinstance(frame, pd.DataFrame) else pd.DataFrame(frame)


def _empty_frame(path: str, options: Dict[str, Any]) -> "pandas.DataFrame":
    """The columns and dtypes of one file, no rows (nothing written, nothing warned)."""
    from . import read_pandas

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RowsSetAsideWarning)
        return read_pandas(path, **options).iloc[:0]


def _family(dtype: Any) -> str:
    """The name of ``dtype``'s twin that holds nulls: pandas' nullable integers and booleans.

    A column of integers (or booleans) with a null in one file only is the
    same column: it takes that twin.
    """
    name = str(dtype)
    if name == "bool":
        return "boolean"
    if getattr(dtype, "kind", "") in ("i", "u") and name.islower():
        return name.replace("uint", "UInt").replace("int", "Int")
    return name


def widened_meta(empties: Sequence["pandas.DataFrame"], paths: Sequence[str]) -> "pandas.DataFrame":
    """The meta of frames read separately: a column whose dtypes differ becomes text."""
    pd = import_optional("pandas", "pandas", "read_dask")
    first = empties[0]
    for path, empty in zip(paths, empties):
        if list(empty.columns) != list(first.columns):
            raise ValueError(f"{path}: columns {list(empty.columns)} differ from {list(first.columns)}; "
                             "read the files separately")
    dtypes: Dict[str, Any] = {}
    for name in first.columns:
        kinds = {_family(empty[name].dtype) for empty in empties}
        if len(kinds) == 1:
            dtypes[name] = first[name].dtype if len({str(e[name].dtype) for e in empties}) == 1 else kinds.pop()
        else:
            dtypes[name] = pd.StringDtype()
    return first.astype(dtypes)


def _quarantine_paths(paths: Sequence[str], quarantine_path: Any) -> Dict[str, str]:
    """Where each file's set-aside rows go: the path itself for one file, else one file each in the folder."""
    target = os.fspath(quarantine_path)
    if len(paths) == 1 and not os.path.isdir(target):
        return {paths[0]: _for_worker(target) or target}
    if remote.is_url(target):
        remote.makedirs(target)
    else:
        os.makedirs(target, exist_ok=True)
    return {path: _for_worker(quarantine) or quarantine
            for path, _, quarantine in batch_jobs(paths, target, target) if quarantine is not None}


def read_dask(urlpath_or_list: Paths, *, meta: Optional["pandas.DataFrame"] = None, dtype_policy: str = "strict",
              quarantine_path: Any = None, blocksize: Union[None, int, str] = None,
              **options: Any) -> "dask.dataframe.DataFrame":
    """A dask DataFrame of repaired CSV files, one partition per file (or per byte range).

    ``urlpath_or_list`` is a path, URL or glob pattern, or a list of them.
    Each partition is :func:`csv_gleave.read_pandas` of its file with
    ``options`` (``header``, ``infer_types``, ``delimiter``, ...), so its
    rows are exactly that function's, and each file's text stays as it was
    written.

    ``dtype_policy="strict"`` (the default): the columns and dtypes come
    from the first file (read once here) unless ``meta``, an empty pandas
    DataFrame, is given. A partition is converted to them only where every
    value survives (whole numbers into a float column); text is never
    converted to another type nor another type to text, and a partition that
    would need either raises a ValueError naming its file and column. So
    does a null in a column of numpy integers or booleans (``int64``,
    ``bool``), which hold none: give ``meta`` pandas' nullable twin
    (``Int64``, ``boolean``) for such a column, and every partition has it.
    Every partition has ``meta``'s dtypes.
    ``dtype_policy="widen"``: every file is read once here, on the cluster,
    to learn its dtypes; a column whose dtypes differ between files is read
    as text (its exact field texts) in all of them, and a column of
    integers with nulls in some files only takes the nullable twin.

    ``quarantine_path``: for one file, the file its set-aside rows are
    written to; for several, a folder that gets one quarantine file per
    input, named as ``repair_many`` names them. Each partition warns
    (:class:`csv_gleave.RowsSetAsideWarning`) where it runs when rows were
    set aside; on a cluster that is the worker's log.

    ``blocksize`` (bytes, or a size such as ``"64MB"``): one file (a local
    one on a file system every worker sees, or a URL whose ranges each
    worker fetches, as :func:`repair_large` says) is read in partitions of
    about that many bytes, each cut where a row starts. The rows are those
    of the file repaired whole (:func:`repair_large` says how the ranges
    are found), each partition built from its bytes straight into columns.
    The dialect, width and header are decided once, on the file's head.
    The dtypes are ``meta``'s, else (``dtype_policy="strict"``) the head's:
    a column that is text there is text in every partition, and a partition
    whose values do not convert to the others (nulls in a column of
    integers, as above) raises a ValueError naming its byte range and the
    column. ``dtype_policy="widen"`` reads every
    range once more, on the cluster, to learn its dtypes first; a column
    whose dtypes differ is text. ``quarantine_path`` is one file, the
    quarantine of the whole file as :func:`csv_gleave.gleave_file` writes
    it, written when the last partition is read. The options taken with
    ``blocksize`` are ``header``, ``infer_types``, ``decimal_comma`` and
    the dialect and repair options. A file whose head is not UTF-8
    (UTF-16, cp1252) is one partition; bytes that are not UTF-8 further on
    raise a ValueError when the partition holding them is read.
    """
    dd = import_optional("dask.dataframe", "dask", "read_dask")
    paths = expand_paths(urlpath_or_list)
    if dtype_policy not in ("strict", "widen"):
        raise ValueError(f"dtype_policy must be 'strict' or 'widen', not {dtype_policy!r}")
    if blocksize is not None:
        if len(paths) != 1:
            raise TypeError("read_dask() takes blocksize= for one file")
        if "dtype" in options or "schema_overrides" in options:
            raise TypeError("read_dask() takes the dtypes as meta=, an empty pandas DataFrame")
        return _read_large(paths[0], blocksize, options, meta, dtype_policy, quarantine_path)
    if "cancel" in options:
        raise TypeError("read_dask() does not take cancel: the partitions are read on the cluster")
    if "dtype" in options or "schema_overrides" in options:
        raise TypeError("read_dask() takes the dtypes as meta=, an empty pandas DataFrame")
    if meta is None and dtype_policy == "widen":
        dask_module = import_optional("dask", "dask", "read_dask")
        empties = dask_module.compute(*[dask_module.delayed(_empty_frame)(path, options) for path in paths])
        meta = widened_meta(list(empties), paths)
    elif meta is None:
        meta = _empty_frame(paths[0], options)
    quarantine = _quarantine_paths(paths, quarantine_path) if quarantine_path is not None else None
    frame: "dask.dataframe.DataFrame" = dd.from_map(_Partition(options, meta, quarantine), paths, meta=meta,
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


def _split_block(job: Tuple[str, Optional[str], Optional[str]], options: Dict[str, Any],
                 blocksize: Optional[int]) -> Optional[int]:
    """The range size a job's input is repaired in, or None for a repair of the whole file on one worker.

    A regular file, local or a URL, is split when it is larger than
    ``blocksize`` (when given), else than ``_SPLIT_BYTES``, and its output
    and quarantine are local; an option that only a repair of the whole
    file takes keeps it whole.
    """
    inp, out, quar = job
    if out is None or any(p is not None and remote.is_url(p) and remote.local_path(p) is None for p in (out, quar)):
        return None
    if set(options) - set(_PART_OPTIONS):
        return None
    threshold = blocksize if blocksize is not None else _SPLIT_BYTES
    try:
        if remote.is_url(inp) and remote.local_path(inp) is None:
            size = remote.file_size(inp)
        else:
            st = os.stat(remote.local_path(inp) or inp)
            size = st.st_size if stat.S_ISREG(st.st_mode) else -1
    except (OSError, ImportError):
        return None  # the whole-file repair reports it
    if size <= threshold:
        return None
    return blocksize if blocksize is not None else _DEFAULT_BLOCK


def split_task(input_path: str, output_path: str, quarantine_path: Optional[str], options: Dict[str, Any],
               block: int, runner: "_Runner") -> Dict[str, Any]:
    """Repairs one file in ranges of ``block`` bytes on ``runner``: as ``repair_task`` reports it."""
    from ._messages import describe_error

    started = time.perf_counter()
    result: Dict[str, Any] = {"summary": None, "error": None}
    try:
        summary, _ = split_repair(input_path, output_path, quarantine_path, blocksize=block, runner=runner,
                                  options=options)
        result["summary"] = summary.to_dict()
    except Exception as exc:  # noqa: BLE001 - one file's failure is its row, never the batch's
        result["error"] = describe_error(exc, input_path)
    result["elapsed"] = time.perf_counter() - started
    return result


def run_batch(jobs: Sequence[Tuple[str, Optional[str], Optional[str]]], options: Dict[str, Any], *,
              client: Any = None, scheduler: Optional[str] = None, caller: str = "repair_many",
              elapsed: bool = True,
              blocksize: Optional[int] = None) -> Tuple[List[Optional[Dict[str, Any]]], bool]:
    """Repairs each (input, output, quarantine) on a Dask cluster.

    Returns the results in input order, as ``csv-gleave repair --out-dir``
    reports them (input, output, quarantine, summary, error, elapsed), and
    whether Ctrl-C stopped the batch (then unfinished jobs are None and
    cancelled on the cluster; a job already running finishes its file or
    leaves nothing, as every output is committed only when complete). A
    large file (see ``_split_block``) is repaired in byte ranges
    spread over the workers, as :func:`repair_large` repairs it, while the
    other files are repaired whole.
    """
    from concurrent.futures import ThreadPoolExecutor

    if "cancel" in options:
        raise TypeError("a batch on a cluster does not take cancel; interrupt it with Ctrl-C")
    results: List[Optional[Dict[str, Any]]] = [None] * len(jobs)
    interrupted = False
    with ThreadPoolExecutor(8) as sizes:  # a URL's size is a request to its server: several at once
        blocks = list(sizes.map(lambda job: _split_block(job, options, blocksize), jobs))
    with _client(client, scheduler, caller) as dask_client, \
            ThreadPoolExecutor(max(1, min(4, sum(b is not None for b in blocks)))) as pool:
        runners: List[_Runner] = []
        futures: List[Any] = []
        for index, (inp, out, quar) in enumerate(jobs):
            block = blocks[index]
            if block is None:
                futures.append(dask_client.submit(repair_task, _for_worker(inp), _for_worker(out), _for_worker(quar),
                                                  options, pure=False,
                                                  key=f"csv-gleave-repair-{index}-{os.urandom(4).hex()}"))
                continue
            # The ranges go to the cluster; the client side waits for them on a thread of its own.
            runners.append(_Runner(dask_client))
            assert out is not None
            futures.append(pool.submit(split_task, inp, out, quar, options, block, runners[-1]))
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
            dask_client.cancel([f for i, f in enumerate(futures) if blocks[i] is None and not f.done()])
            for runner in runners:
                runner.cancel()
            for index, future in enumerate(futures):
                if results[index] is None and future.done() and not future.cancelled():
                    with contextlib.suppress(Exception):
                        inp, out, quar = jobs[index]
                        row = {"input": inp, "output": out, "quarantine": quar, **future.result()}
                        if not elapsed:
                            del row["elapsed"]
                        results[index] = row
    return results, interrupted


def repair_many(paths: Paths, out_dir: str, quarantine_dir: Optional[str] = None, *, client: Any = None,
                scheduler: Optional[str] = None, force: bool = False, blocksize: Union[None, int, str] = None,
                **options: Any) -> "pandas.DataFrame":
    """Repairs every file into ``out_dir`` on a Dask cluster; one row per file.

    ``paths`` is a path, URL or glob pattern, or a list of them; each output
    (and quarantine, in ``quarantine_dir``) gets its input's file name, as
    with ``csv-gleave repair --out-dir``. The work runs on ``client``, else
    on the cluster at ``scheduler`` (an address such as
    ``tcp://host:8786``), else on the current client, else on a
    LocalCluster started for the batch and closed after it. ``options`` are
    those of :func:`csv_gleave.gleave_file`. Input that is plainly not text
    (an executable, an image) is refused, as the command line refuses it,
    unless ``force=True``.

    A file larger than ``blocksize`` (bytes, or a size such as ``"64MB"``),
    or without it larger than 256 MiB, is repaired in byte ranges of that
    size (64 MB by default) spread over the workers, as :func:`repair_large`
    repairs it: the same bytes, quarantine and summary as
    :func:`csv_gleave.gleave_file`. That holds for a local file and for a
    URL (each worker fetches its ranges) whose output and quarantine are
    local paths. Its ranges are written beside its output, in a folder
    every worker must see.

    The rows hold input, output and quarantine, the summary's counts and
    dialect, ``error`` (None, or one line saying what went wrong: a failing
    file never stops the others, and leaves no output) and ``elapsed``
    seconds on the worker.
    """
    pd = import_optional("pandas", "pandas", "repair_many")
    if options.get("allow_binary", force) != force and force:
        raise TypeError("repair_many() got force=True and allow_binary=False")
    options["allow_binary"] = bool(force or options.get("allow_binary", False))
    jobs = batch_jobs(expand_paths(paths), os.fspath(out_dir),
                      os.fspath(quarantine_dir) if quarantine_dir is not None else None)
    for directory in (out_dir, quarantine_dir):
        if directory is not None:
            directory = os.fspath(directory)
            if remote.is_url(directory):
                remote.makedirs(directory)
            else:
                os.makedirs(directory, exist_ok=True)
    block = block_bytes(blocksize) if blocksize is not None else None
    results, interrupted = run_batch(jobs, options, client=client, scheduler=scheduler, blocksize=block)
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
        if result["error"] is not None and not options["allow_binary"]:
            result["error"] = result["error"].replace("use --force", "give force=True")
        rows.append({"input": result["input"], "output": result["output"], "quarantine": result["quarantine"],
                     **{key: summary.get(key) for key in keys},
                     "error": result["error"], "elapsed": result["elapsed"]})
    frame = pd.DataFrame(rows, columns=["input", "output", "quarantine", *keys, "error", "elapsed"])
    frame["error"] = pd.Series([row["error"] for row in rows], index=frame.index, dtype=object)  # None, not NaN
    for key in keys:
        if key.endswith("_rows") or key in ("inferred_columns", "replaced_bytes", "fallback_bytes"):
            frame[key] = frame[key].astype("Int64")  # a failed file has no count, not a float NaN
    return frame


# --------------------------------------------------------------------------
# One large file in parts: repair_large, and read_dask(path, blocksize=...)

# The part of the file read once, before the parts start, for the state a
# row in the middle of the table starts with (the header a later row may
# repeat).
_PROBE_BYTES = 256 << 10
# A file over _SPLIT_BYTES in a batch is repaired in ranges of _DEFAULT_BLOCK.
_SPLIT_BYTES = 256 << 20
_DEFAULT_BLOCK = 64_000_000
_PART_OPTIONS = (*(o.name for o in OPTIONS), "allow_binary")


def block_bytes(blocksize: Union[int, str]) -> int:
    """``blocksize`` in bytes: an int, or a size such as ``"64MB"`` or ``"1 MiB"``."""
    if isinstance(blocksize, bool) or not isinstance(blocksize, (int, str)):
        raise TypeError(f"blocksize must be an int or a str such as '64MB', not {type(blocksize).__name__}")
    if isinstance(blocksize, str):
        dask_utils = import_optional("dask.utils", "dask", "blocksize")
        blocksize = int(dask_utils.parse_bytes(blocksize))
    if blocksize < 1:
        raise ValueError("blocksize must be at least 1 byte")
    return blocksize


def part_edges(size: int, block: int) -> List[int]:
    """Where each part's bytes begin: every ``block`` bytes from 0 (one part for an empty file)."""
    return list(range(0, size, block)) or [0]


def _part_options(options: Dict[str, Any], caller: str) -> Dict[str, Any]:
    unknown = sorted(set(options) - set(_PART_OPTIONS))
    if unknown:
        raise TypeError(f"{caller}() got an unexpected keyword argument {unknown[0]!r}")
    return dict(options)


class _Source:
    """The file the parts are read from: a local file, read where it is, or a URL, read in byte ranges.

    A part of a URL is read from a piece file on the worker that holds the
    file's head (its dialect is decided there, as for a local file) and the
    part's bytes, each at its own offset; the gap between them is never read.
    How far the part's last row runs past its range is not known before it
    is read: the range is fetched with a margin, and a part whose reading
    met the end of the piece (while the file goes on) is read again over a
    piece twice as far past its range. The end of a piece is never taken
    for the end of the file.
    """

    def __init__(self, path: str) -> None:
        local = remote.local_path(path) if remote.is_url(path) else path
        self.url = local is None
        self.path = path if local is None else os.path.abspath(local)
        self.size = remote.file_size(path) if local is None else os.stat(self.path).st_size
        # Whose head a worker holds: this reading's, never one fetched for an earlier reading of
        # a file since written again.
        self.key = f"{self.path} {self.size} {os.urandom(8).hex()}"

    def cuttable(self, probe: Dict[str, Any]) -> bool:
        """Whether the file can be read in parts, from what its first part (``probe``) read."""
        # A dialect settled over the whole text would read a piece's gaps.
        return bool(probe["same_bytes"] and not (self.url and probe["whole_text"]))

    def read(self, native: Callable[..., Dict[str, Any]], *args: Any, probe: bool = False,
             **kwargs: Any) -> Dict[str, Any]:
        """``native(path, *args, **kwargs)``, a part placed by ``kwargs``, read from this file.

        For a URL the result also says how many times the piece was fetched
        further (``refetches``) and how many bytes were fetched (``fetched``).
        ``probe``: the part is read only to learn whether the file can be
        read in parts; when it cannot (see ``cuttable``), its result says so
        at once, with nothing else of it to be used.
        """
        if not self.url:
            return native(self.path, *args, **kwargs)
        fd, piece = tempfile.mkstemp(prefix="csv-gleave-piece-", suffix=".csv")
        try:
            return _read_piece(self, fd, piece, lambda: native(piece, *args, **kwargs), kwargs, probe)
        except BaseException as exc:
            if getattr(exc, "filename", None) == piece:  # OSError, and NotTextError's
                setattr(exc, "filename", self.path)  # noqa: B010 - the engine named the piece; the caller gave the URL
            raise
        finally:
            os.close(fd)
            os.unlink(piece)


# The head of the file the workers of this process last fetched: every part of a URL needs it.
_HEADS: Dict[str, bytes] = {}
# The bytes of a file's start its dialect is decided on, as the last part read said (the engine's default).
_HEAD_BYTES = [8 << 20]


def _put_head(source: _Source, fd: int, end: int) -> int:
    """Writes the file's first ``end`` bytes into ``fd``: the bytes fetched for them (0 when held here)."""
    key = source.key
    held = _HEADS.get(key, b"")
    if len(held) < end:
        remote.copy_range(source.path, len(held), end, fd)
        os.pwrite(fd, held, 0)
        _HEADS.clear()  # one file's head at a time
        _HEADS[key] = os.pread(fd, end, 0)
        return end - len(held)
    os.pwrite(fd, held[:end], 0)
    return 0


def _read_piece(source: _Source, fd: int, piece: str, run: Callable[[], Dict[str, Any]],
                kwargs: Dict[str, Any], probe: bool) -> Dict[str, Any]:
    """``run()`` over the piece file ``fd`` once it holds what the part reads (see ``_Source``)."""
    size = source.size
    lo = 0 if kwargs.get("first") else max(0, min(size, int(kwargs.get("start") or 0)) - 1)
    stop = kwargs.get("stop")
    head, hi = _HEAD_BYTES[0], lo
    margin = head + (1 << 20)  # a window of text past the part's last row start, and a long row
    held_head = fetched = refetches = 0
    while True:
        if held_head < min(size, head):
            fetched += _put_head(source, fd, min(size, head))
            held_head = min(size, head)
        if lo <= held_head:
            hi = max(hi, held_head)  # the head holds the part's first bytes
        want = size if stop is None else min(size, max(int(stop), lo) + margin)
        if hi < want:
            fetched += remote.copy_range(source.path, hi, want, fd)
            hi = want
        result = run()
        head = _HEAD_BYTES[0] = int(result["head_bytes"])
        if held_head < min(size, head):
            pass  # the dialect is decided on more of the head than the piece held
        elif result["whole_text"] and probe:
            return dict(result, refetches=refetches, fetched=fetched)  # not to be read in parts
        elif result["whole_text"] and (lo > held_head or hi < size):
            # The dialect read the whole text: the piece becomes the whole file.
            fetched += remote.copy_range(source.path, held_head, lo, fd) if lo > held_head else 0
            lo, stop = min(lo, held_head), None
        elif result["read_to_end"] and hi < size:
            margin *= 2
            while stop is not None and int(stop) + margin <= hi:  # what the piece holds already was read
                margin *= 2
        else:
            return dict(result, refetches=refetches, fetched=fetched)
        refetches += 1


def run_part(source: _Source, output: str, quarantine: Optional[str], kwargs: Dict[str, Any]) -> Dict[str, Any]:
    """Repairs one part of a file (on a worker, or here): see ``csv_gleave._native.repair_part``."""
    from . import _native

    return source.read(_native.repair_part, output, quarantine, **kwargs)


def _same_file(a: str, b: Optional[str]) -> bool:
    try:
        return b is not None and os.path.samefile(a, b)
    except OSError:
        return False


def _refuse_same_files(path: str, out: str, quarantine: Optional[str]) -> None:
    # The guards of gleave_file, with its words: the parts are written
    # elsewhere, and only the join names the targets.
    for a, b, what, role in ((quarantine, out, "quarantine path is the same file as the output path", quarantine),
                             (quarantine, path, "quarantine path is the same file as the input path", quarantine),
                             (out, path, "output path is the same file as the input path", out)):
        if a is not None and _same_file(a, b):
            raise OSError(f"{what}: {role!r}")


class _Runner:
    """Runs parts on a Dask client, or on threads of this process (the native calls release the lock)."""

    def __init__(self, client: Any = None, threads: int = 1) -> None:
        self.client = client
        self.submitted: List[Any] = []
        self.pool = None
        if client is None and threads > 1:
            from concurrent.futures import ThreadPoolExecutor

            self.pool = ThreadPoolExecutor(threads)

    def submit(self, fn: Any, *args: Any) -> Any:
        if self.client is not None:
            future = self.client.submit(fn, *args, pure=False, key=f"csv-gleave-part-{os.urandom(6).hex()}")
            self.submitted.append(future)
            return future
        if self.pool is not None:
            return self.pool.submit(fn, *args)
        from concurrent.futures import Future

        done: "Future[Any]" = Future()
        try:
            done.set_result(fn(*args))
        except BaseException as exc:  # noqa: BLE001 - raised where the result is asked for
            done.set_exception(exc)
        return done

    def cancel(self) -> None:
        """Cancels every part submitted to the cluster: a wait for one of them ends with an error."""
        if self.client is not None:
            self.client.cancel([future for future in self.submitted if not future.done()])

    def close(self) -> None:
        if self.pool is not None:
            self.pool.shutdown(wait=True, cancel_futures=True)


def _fits(part: Dict[str, Any], before: Dict[str, Any], line: int) -> bool:
    """Whether a part repaired from a guessed start is the part that follows ``before``."""
    return bool(part["start"] == before["end"] and part["start_carry"] == before["carry"] and part["same_bytes"]
                and line >= part["rule_line"])


def settle_parts(first: Dict[str, Any], candidates: Iterable[Sequence[Dict[str, Any]]],
                 again: Any) -> Tuple[List[Tuple[Dict[str, Any], int, int]], Dict[str, int]]:
    """The parts of a file that follow each other, checked against the previous part's real end.

    ``first``: the first part's result; ``candidates``: for the parts after it, in
    order, the results of the part repaired from where it might start (its
    guessed start first); ``again(index, start, line, carry)``: the result
    of part ``index`` repaired from the previous part's real end, when no
    candidate starts there. Returns (result, index, line shift) for each
    part that holds rows, and the counts of guesses that proved wrong
    (``misses``) and of parts repaired again after that (``again``). The
    line shift turns a part's line numbers into the file's: the file's
    lines are the prefix sum of the lines each part read.
    """
    settled = [(first, 0, 0)]
    before, line, counts = first, first["end_line"], {"misses": 0, "again": 0}
    for index, tried in enumerate(candidates, start=1):
        if before["at_end"]:
            break  # a row of an earlier part ran to the file's end
        fitting = [part for part in tried if _fits(part, before, line)]
        counts["misses"] += not tried or fitting[:1] != list(tried[:1])
        if fitting:
            part = fitting[0]
        else:
            counts["again"] += 1
            part = again(index, before["end"], line, before["carry"])
        shift = line - part["first_line"]
        settled.append((part, index, shift))
        line = part["end_line"] + shift
        before = part
    return settled, counts


def split_repair(path: str, out: str, quarantine_path: Optional[str], *, blocksize: Union[int, str],
                 runner: _Runner, options: Dict[str, Any]) -> Tuple[Any, Dict[str, Any]]:
    """Repairs ``path`` in parts of ``blocksize`` bytes on ``runner``: the summary and what it took.

    The bytes written are those of ``gleave_file(path, out, quarantine_path,
    **options)``. ``path`` may be a URL: each worker then fetches its range
    (see ``_Source``). A file that cannot be cut by byte offsets (its text
    is not its bytes: UTF-16, cp1252, bytes replaced) is repaired whole, as
    one part. What it took: the parts, the guesses that proved wrong
    (``misses``), the parts repaired again, and for a URL the pieces fetched
    further (``refetches``) and the bytes fetched (``fetched``).
    """
    from . import _native

    block = block_bytes(blocksize)
    source = _Source(path)
    out = os.path.abspath(out)
    quarantine = os.path.abspath(quarantine_path) if quarantine_path is not None else None
    _refuse_same_files(source.path, out, quarantine)
    size = source.size
    edges = part_edges(size, block)
    stats: Dict[str, Any] = {"parts": len(edges), "misses": 0, "again": 0, "whole": 0, "refetches": 0, "fetched": 0}

    def counted(part: Dict[str, Any]) -> Dict[str, Any]:
        stats["refetches"] += part.get("refetches", 0)
        stats["fetched"] += part.get("fetched", 0)
        return part
    work = make_work_directory(os.path.dirname(out))
    submitted: List[Any] = []
    try:
        def files(index: int, kind: str) -> Tuple[str, Optional[str]]:
            stem = os.path.join(work, f"{kind}{index}")
            return stem + ".csv", (stem + ".quarantine" if quarantine is not None else None)

        def kwargs(index: int, **more: Any) -> Dict[str, Any]:
            stop = edges[index + 1] if index + 1 < len(edges) else None
            return dict(options, stop=stop, **more)

        def whole() -> Any:
            # One part from the start to the end: gleave_file's repair, on a worker.
            stats.update(whole=1, parts=1)
            part = counted(runner.submit(run_part, source, *files(0, "whole"), dict(options, first=True)).result())
            return _native.join_parts([(*files(0, "whole"), 0, part["packed"])], out, quarantine)

        if len(edges) == 1:
            return whole(), stats
        probe = counted(source.read(_native.repair_part, os.devnull, None, first=True,
                                    stop=min(size, _PROBE_BYTES), probe=True, **options))
        if not source.cuttable(probe):
            return whole(), stats

        def submit(index: int, kind: str, **more: Any) -> Callable[[], Dict[str, Any]]:
            def tagged() -> Dict[str, Any]:
                return dict(counted(future.result()), kind=kind)

            future = runner.submit(run_part, source, *files(index, kind), kwargs(index, **more))
            submitted.append(future)
            return tagged

        guesses = [submit(0, "part", first=True)]
        guesses += [submit(i, "part", start=edges[i], guess=True, carry=probe["carry"]) for i in range(1, len(edges))]
        guessed = [result() for result in guesses]
        # A part whose guess does not meet the end its neighbour reached (from
        # its own guess, most often right again past a field that spanned the
        # edge) is repaired from there at once, all such parts side by side.
        seconds: Dict[int, Any] = {}
        for i in range(1, len(edges)):
            before, part = guessed[i - 1], guessed[i]
            if not before["at_end"] and (part["start"], part["start_carry"]) != (before["end"], before["carry"]):
                seconds[i] = submit(i, "next", start=before["end"], carry=before["carry"])

        def again(index: int, start: int, line: int, carry: bytes) -> Dict[str, Any]:
            return submit(index, "again", start=start, first_line=line, carry=carry)()

        candidates = ([guessed[i]] + ([seconds[i]()] if i in seconds else []) for i in range(1, len(edges)))
        settled, counts = settle_parts(guessed[0], candidates, again)
        stats.update(counts)
        if not all(part["same_bytes"] for part, _, _ in settled):
            return whole(), stats
        items = []
        for part, index, shift in settled:
            if part["start"] >= size and index > 0:
                continue  # no row starts in it: nothing was written
            output, part_quarantine = files(index, part["kind"])
            items.append((output, part_quarantine, shift, part["packed"]))
        joined = time.perf_counter()
        summary = _native.join_parts(items, out, quarantine)
        stats.update(parts=len(items), join_seconds=time.perf_counter() - joined)
        return summary, stats
    finally:
        for future in submitted:
            future.cancel()  # after a failure or Ctrl-C, what is left of the work is not wanted
        shutil.rmtree(work, ignore_errors=True)


def repair_large(path: Union[str, "os.PathLike[str]"], out: Union[str, "os.PathLike[str]"],
                 quarantine_path: Union[None, str, "os.PathLike[str]"] = None, *, client: Any = None,
                 scheduler: Optional[str] = None, blocksize: Union[int, str] = "64MB",
                 force: bool = False, **options: Any) -> Any:
    """Repairs one large file on a Dask cluster, in parts of ``blocksize`` bytes.

    Writes the very bytes :func:`csv_gleave.gleave_file` writes for
    ``(path, out, quarantine_path, **options)`` and returns the same
    summary: the dialect and width are decided once, on the file's head,
    exactly as there. Each worker repairs a byte range, starting at the
    first line start in it with a guess of the state there; a guess that
    proves wrong (a quoted field that spans the edge) is repaired again from
    where the previous range really ended. The quarantine's line numbers
    are the file's own. ``out`` and the quarantine appear whole or not at
    all.

    ``path`` may be a URL (``s3://``, ``https://``, ``memory://``, ...,
    through fsspec: extra ``remote``). Each worker then fetches its range,
    with the file's head and a margin past the range, by range requests
    into a local temporary file, and fetches twice as far again while the
    range's last row runs past what it holds: the end of what was fetched
    is never taken for the end of the file.

    The parts are written beside ``out`` (a local path), in a folder every
    worker must see (any folder on one machine; a shared file system on a
    cluster), and copied here into ``out`` at their offsets, several at
    once, by the kernel where the file system allows. ``client``,
    ``scheduler`` and the LocalCluster otherwise started are as for
    :func:`repair_many`; input that is plainly not text is refused unless
    ``force=True``. A file whose text is not its bytes (UTF-16, cp1252,
    bytes not UTF-8), or a URL whose table the dialect can only find by
    reading all of it (several tables one under another), is repaired whole
    on one worker.
    """
    if options.get("allow_binary", force) != force and force:
        raise TypeError("repair_large() got force=True and allow_binary=False")
    options["allow_binary"] = bool(force or options.get("allow_binary", False))
    part_options = _part_options(options, "repair_large")
    inputs = [os.fspath(path), os.fspath(out)] + ([os.fspath(quarantine_path)] if quarantine_path is not None else [])
    if any(not isinstance(p, str) for p in inputs):
        raise TypeError("repair_large() takes paths as str or os.PathLike[str]")
    if any(remote.is_url(p) and remote.local_path(p) is None for p in inputs[1:]):
        raise TypeError("repair_large() writes to local paths (on a cluster, on a file system every worker sees)")
    with _client(client, scheduler, "repair_large") as dask_client:
        runner = _Runner(dask_client)
        summary, _ = split_repair(inputs[0], inputs[1], inputs[2] if len(inputs) > 2 else None,
                                  blocksize=blocksize, runner=runner, options=part_options)
    return summary


class _Capsule:
    """A stream capsule handed on through the Arrow PyCapsule protocol (once)."""

    def __init__(self, capsule: Any) -> None:
        self.capsule = capsule

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        return self.capsule


# What read_dask(blocksize=) takes besides the part options: how the rows become columns.
_TABLE_OPTIONS = ("header", "infer_types", "decimal_comma")


class _LargeFile:
    """What every partition of one file read in parts shares: the file, its parts and how they are read.

    Each part is read by the native table builder straight from its bytes
    (no CSV in between), with the columns named and the text columns kept
    as text as ``meta`` says; every other column is typed by the part's own
    values and then conformed to ``meta``. ``meta`` None: the head's
    columns and dtypes, or, until ``settle`` is called, each part's own
    (to learn them). ``quarantine``: the file the parts' set-aside rows are
    joined into once the last partition is read, numbered as the file's lines.
    """

    def __init__(self, path: str, block: int, options: Dict[str, Any], quarantine: Optional[str]) -> None:
        from . import _native

        unknown = sorted(set(options) - set(_PART_OPTIONS) - set(_TABLE_OPTIONS))
        if unknown:
            raise TypeError(f"read_dask() takes no {unknown[0]}= with blocksize=")
        self.source = _Source(path)
        self.path = self.source.path
        self.size = self.source.size
        self.edges = part_edges(self.size, block)
        self.part_options = {k: v for k, v in options.items() if k in _PART_OPTIONS}
        self.table_options = {k: v for k, v in options.items() if k in _TABLE_OPTIONS and v is not None}
        self.header = bool(self.table_options.pop("header", True))
        head = self.source.read(_native.table_part, first=True, stop=min(self.size, _PROBE_BYTES), probe=True,
                                header=self.header, **self.part_options, **self.table_options)
        self.probe_carry = head["carry"]
        self.header_rows = int(head["header_rows"])
        self.same_bytes = self.source.cuttable(head)
        self.head = self.to_frame(head["table"]).iloc[:0]
        self.meta: Optional["pandas.DataFrame"] = None
        self.names: Optional[List[str]] = None
        self.text: List[bool] = []
        self.quarantine = os.path.abspath(quarantine) if quarantine is not None else None
        self.work = temporary_name(os.path.join(os.path.dirname(self.quarantine), "")) if self.quarantine else None

    def settle(self, meta: "pandas.DataFrame") -> None:
        """Every partition from now on has ``meta``'s columns and dtypes."""
        if len(meta.columns) != len(self.head.columns):
            raise ValueError(f"{self.path}: meta has {len(meta.columns)} columns, the file "
                             f"{len(self.head.columns)}: {list(self.head.columns)}")
        self.meta = meta
        self.names = [str(name) for name in meta.columns]
        self.text = [_is_text(dtype) for dtype in meta.dtypes]

    @staticmethod
    def to_frame(capsule: Any) -> "pandas.DataFrame":
        from .dataframe import pandas_from_arrow

        pa = import_optional("pyarrow", "arrow", "read_dask")
        pd = import_optional("pandas", "pandas", "read_dask")
        return pandas_from_arrow(pa.table(_Capsule(capsule)), pd, pa)

    def kwargs(self, index: int, **more: Any) -> Dict[str, Any]:
        stop = self.edges[index + 1] if index + 1 < len(self.edges) else None
        return dict(self.part_options, stop=stop, **more)

    def frame(self, kwargs: Dict[str, Any], skip: int) -> Tuple[Any, Dict[str, Any]]:
        """The part ``kwargs`` place, read as a frame with the meta's columns (or the
        ValueError of values that do not convert to them); its first ``skip`` kept rows
        are rows of the header, dropped."""
        from . import _native

        info = self.source.read(_native.table_part, names=self.names or list(self.head.columns), text=self.text,
                                header=False, skip=skip, **self.table_options, **kwargs)
        frame = self.to_frame(info.pop("table"))
        if self.meta is None:
            return frame.iloc[:0], info
        try:
            return conform(frame, self.meta, f"{self.path} (bytes from {info['start']})"), info
        except ValueError as exc:
            # Rows read from a wrong guess may not convert: only a settled part's failure is raised.
            return exc, info

    def quarantine_piece(self, index: int, part: Optional[Dict[str, Any]], shift: int,
                         pieces: List[Tuple[Optional[str], Optional[str], int, bytes]]) -> None:
        """Keeps the part's set-aside lines for the join; the last part joins them into the quarantine."""
        from . import _native

        if self.quarantine is None or self.work is None:
            return
        os.makedirs(self.work, mode=0o700, exist_ok=True)
        if part is not None:
            piece = os.path.join(self.work, f"q{index}")
            with open(piece, "wb") as f:
                f.write(part["set_aside"])
            pieces.append((None, piece, shift, part["packed"]))
        if index == len(self.edges) - 1:
            try:
                _native.join_parts(pieces, os.devnull, self.quarantine)
            finally:
                shutil.rmtree(self.work, ignore_errors=True)


def _guessed_frame(large: _LargeFile, index: int) -> Tuple[Any, Dict[str, Any]]:
    if index == 0:
        return large.frame(large.kwargs(0, first=True), large.header_rows)
    return large.frame(large.kwargs(index, start=large.edges[index], guess=True, carry=large.probe_carry), 0)


def _settled_frame(large: _LargeFile, index: int, guessed: Tuple[Any, Dict[str, Any]],
                   before: Optional[Dict[str, Any]]) -> Tuple["pandas.DataFrame", Dict[str, Any]]:
    """Partition ``index`` once the partition before it has ended: its guess, or read again from that end."""
    frame, part = guessed
    if before is None:
        line, pieces, kept = part["end_line"], [], part["kept_rows"]
    elif before["at_end"]:
        # A row of an earlier part ran to the file's end: this one holds none.
        frame = large.meta.copy() if large.meta is not None else None
        large.quarantine_piece(index, None, 0, before["pieces"])
        return frame, before
    else:
        line, pieces, kept = before["line"], before["pieces"], before["kept"]
        # The header is the file's first kept rows: some in this part when fewer came before (a
        # long preamble, a header of several rows).
        skip = max(0, large.header_rows - kept)
        if not _fits(part, before, line) or (skip and part["kept_rows"]):
            frame, part = large.frame(large.kwargs(index, start=before["end"], first_line=line,
                                                   carry=before["carry"]), skip)
        line = part["end_line"] + line - part["first_line"]
        kept += part["kept_rows"]
    if isinstance(frame, Exception):
        raise frame
    if not part["same_bytes"]:
        raise ValueError(f"{large.path}: the file's text is not its bytes (not UTF-8, or bytes replaced) and "
                         "cannot be read in byte ranges; read it without blocksize=")
    shift = 0 if before is None else before["line"] - part["first_line"]
    large.quarantine_piece(index, part, shift, pieces)
    if part["set_aside_rows"] and large.quarantine is None and large.meta is not None:
        warnings.warn(RowsSetAsideWarning(
            f"{part['set_aside_rows']} rows of {large.path!r} (bytes from {part['start']}) set aside, not in the "
            "result; give quarantine_path= to keep them"), stacklevel=2)
    settled = {key: part[key] for key in ("end", "at_end", "carry", "same_bytes")}
    return frame, dict(settled, line=line, pieces=pieces, kept=kept)


def _settled_frames(large: _LargeFile) -> List[Any]:
    """The partitions as delayed frames: each guessed at once, then settled in order."""
    dask_module = import_optional("dask", "dask", "read_dask")
    parts = []
    before = None
    for index in range(len(large.edges)):
        guessed = dask_module.delayed(_guessed_frame, pure=False)(large, index)
        settled = dask_module.delayed(_settled_frame, pure=False, nout=2)(large, index, guessed, before)
        frame, before = settled
        parts.append(frame)
    return parts


def _read_large(path: str, blocksize: Union[int, str], options: Dict[str, Any], meta: Optional["pandas.DataFrame"],
                dtype_policy: str, quarantine_path: Any) -> "dask.dataframe.DataFrame":
    dask_module = import_optional("dask", "dask", "read_dask")
    dd = import_optional("dask.dataframe", "dask", "read_dask")
    quarantine = os.fspath(quarantine_path) if quarantine_path is not None else None
    if quarantine is not None and (remote.is_url(quarantine) or os.path.isdir(quarantine)):
        raise TypeError("read_dask() with blocksize= takes a local file as quarantine_path")
    if quarantine is not None and _same_file(remote.local_path(path) or path, quarantine):
        raise OSError(f"quarantine path is the same file as the input path: {quarantine!r}")
    large = _LargeFile(path, block_bytes(blocksize), options, quarantine)
    if not large.same_bytes:
        # Text that is not the file's bytes (UTF-16, cp1252) is not cut by byte offsets: one partition.
        loader = {k: v for k, v in options.items() if k != "decimal_comma" or v is not None}
        meta = _empty_frame(path, loader) if meta is None else meta
        partition = _Partition(loader, meta, {path: os.path.abspath(quarantine)} if quarantine else None)
        whole: "dask.dataframe.DataFrame" = dd.from_map(partition, [path], meta=meta, label="read-csv-gleave",
                                                        enforce_metadata=False)
        return whole
    if meta is None and dtype_policy == "widen":
        # Each range's own dtypes, learnt on the cluster; a column whose dtypes differ is text.
        work, large.quarantine = large.quarantine, None
        empties = [frame for frame in dask_module.compute(*_settled_frames(large)) if frame is not None]
        large.quarantine = work
        meta = widened_meta(empties, [f"{large.path} (range {i})" for i in range(len(empties))])
    large.settle(large.head if meta is None else meta)
    assert large.meta is not None
    result: "dask.dataframe.DataFrame" = dd.from_delayed(_settled_frames(large), meta=large.meta, verify_meta=False)
    return result
