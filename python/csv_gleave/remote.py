"""Remote files: URLs (s3://, gs://, az://, http(s)://, memory://, ...) through fsspec.

The engine reads and writes file descriptors, so a URL never becomes a
temporary copy of the whole file: an input is read in chunks by a feeder
thread and written into a pipe whose read end the native function gets (and
reads a window at a time, its encoding decided on the first 8 MiB, as for
any pipe); an
output is a pipe whose reader thread writes each chunk to a file opened with
fsspec under a temporary name beside the target (``<target>.gleave-`` with
the writer's process id, host tag and a random part, in the same bucket or
directory; one that a killed writer left is removed by the next write
beside it). Once the repair has succeeded the temporary
is moved onto the target; on any failure or interrupt it is removed, so an
output appears whole or not at all, as for local paths.

A failure of the feeder (the connection dropped half-way) stops the repair
through its cancel check, before anything is committed: the truncated input
is never taken for the whole file (an ``arrow_stream``, which reads on
after the call returns, has every later reading end with the error). A
failure of the writer closes its pipe,
which stops the engine at its next write. Either failure is raised as the
call's exception; an OSError gets ``filename`` (the URL) and ``role``
("input", "output" or "quarantine"), and an error of another kind from a
file system's client is raised as an OSError whose cause it is.

fsspec is optional (extra ``remote``) and imported only when a URL is used.
``file://`` and ``local://`` URLs (also behind caching wrappers such as
``simplecache::``) need no fsspec: they are local paths and take the native
path, with its guards and its atomic rename.
"""

from __future__ import annotations

import errno
import os
import re
import threading
import weakref
from typing import Any, Callable, Dict, List, Optional, Tuple

from . import _native, _replace

__all__ = ["is_url", "gleave_file", "open", "inspect", "arrow_stream", "detect", "local_path", "makedirs",
           "open_output", "filesystem", "same_target", "target_key"]

# A scheme of two letters or more (one letter is a Windows drive), then "://"
# or fsspec's chaining "::" (e.g. "simplecache::s3://...").
_URL = re.compile(r"[A-Za-z][A-Za-z0-9+.\-]+(?:://|::)")

# Bytes moved through a pipe per read or write.
CHUNK = 1 << 20

# How long to wait for a feeder or writer thread once the engine is done: a
# thread still in a remote call then has its transport closed from here and
# is left to finish on its own (it is a daemon, and closes its own pipe end).
_JOIN_SECONDS = 0.1


def _in_background(*steps: Callable[[], Any]) -> None:
    """Runs ``steps`` in a daemon thread, each whatever the others raise.

    Closing a file whose remote call is stalled, or removing a temporary over
    a stalled connection, may itself wait on the network: the caller (often
    on its way out after Ctrl-C) does not.
    """
    def run() -> None:
        for step in steps:
            try:
                step()
            except Exception:  # noqa: BLE001 - nothing left to report it to
                pass

    threading.Thread(target=run, name="csv-gleave-closer", daemon=True).start()


def is_url(path: object) -> bool:
    """True for a str that names a URL rather than a local path."""
    return type(path) is str and ("://" in path or "::" in path) and _URL.match(path) is not None


# Wrappers that cache another file system and add no path of their own:
# "simplecache::s3://b/k" names the object "s3://b/k" names.
_CACHING = frozenset({"simplecache", "filecache", "blockcache", "cached"})
_LOCAL_SCHEMES = ("file://", "local://")


def _unwrap(url: str) -> Tuple[str, bool]:
    """``url`` without its leading caching wrappers, and whether there were any."""
    parts = url.split("::")
    wrapped = False
    while len(parts) > 1 and parts[0].lower().rstrip(":/") in _CACHING:
        parts.pop(0)
        wrapped = True
    return "::".join(parts), wrapped


def local_path(url: str) -> Optional[str]:
    """The local path a URL names, None when it names a remote file.

    ``file://`` and ``local://`` URLs (``file://localhost/...`` too), also
    behind caching wrappers such as ``simplecache::file://...`` or
    ``simplecache::/abs/path``, name local files: they take the native path,
    with its guards and its atomic rename.
    """
    if not isinstance(url, str):
        return None
    inner, wrapped = _unwrap(url)
    if "::" in inner:
        return None  # a path inside another file (zip://a.csv::file://b.zip, ...)
    lowered = inner.lower()
    for scheme in _LOCAL_SCHEMES:
        if lowered.startswith(scheme):
            path = inner[len(scheme):]
            if path.lower().startswith("localhost/"):
                path = path[len("localhost"):]
            return path or None
    if wrapped and "://" not in inner:
        return inner or None
    return None


def target_key(path: Any, storage_options: Optional[Dict[str, Any]] = None) -> Tuple[str, str]:
    """What a path or URL names, in one spelling: ``("", absolute local path, links followed)``
    for a local file, ``(protocol, path)`` for a remote one.

    Two spellings of the same file (``local:///a/in.csv``, ``file://localhost/a/in.csv``,
    ``simplecache::file:///a/in.csv``, ``/a/./in.csv``; ``s3a://b/k`` and
    ``simplecache::s3://b/k``) give the same key, so that guards compare what is named.
    """
    if is_url(path):
        local = local_path(path)
        if local is None:
            inner, _ = _unwrap(path)
            try:
                fs, within = filesystem(inner, storage_options)
                protocol = fs.protocol if isinstance(fs.protocol, str) else fs.protocol[0]
                return str(protocol), str(fs._strip_protocol(within)).rstrip("/")
            except Exception:  # noqa: BLE001 - no fsspec, or a protocol it does not know
                scheme, _, rest = inner.partition("://")
                return scheme.lower(), rest.rstrip("/")
        path = local
    return "", os.path.realpath(os.fsdecode(os.fspath(path)))


def same_target(a: Any, b: Any, storage_options: Optional[Dict[str, Any]] = None) -> bool:
    """Whether two paths or URLs (in any spelling) name the same file.

    Local files are the same when they are one inode, or, when either does
    not exist yet, one directory entry once links are followed. A descriptor
    is never compared.
    """
    if a is None or b is None or isinstance(a, int) or isinstance(b, int):
        return False
    key_a, key_b = target_key(a, storage_options), target_key(b, storage_options)
    if key_a[0] == "" and key_b[0] == "":
        try:
            return os.path.samefile(key_a[1], key_b[1])
        except (OSError, ValueError):
            pass
    return key_a == key_b


def _fsspec() -> Any:
    try:
        import fsspec
    except ImportError as exc:
        raise ImportError(
            "csv_gleave needs fsspec to read or write URLs, which is not installed; "
            "install it with: pip install 'csv-gleave[remote]'"
        ) from exc
    return fsspec


def filesystem(url: str, storage_options: Optional[Dict[str, Any]] = None) -> Tuple[Any, str]:
    """The fsspec file system of ``url`` and the path within it."""
    fs, path = _fsspec().core.url_to_fs(url, **(storage_options or {}))
    return fs, path


def _as_oserror(exc: BaseException, url: str, role: str) -> BaseException:
    """The exception to raise for a failure on ``url``: an OSError naming it."""
    if not isinstance(exc, Exception) or isinstance(exc, ImportError):
        return exc  # KeyboardInterrupt, a missing client library: as they are
    if not isinstance(exc, OSError):
        text = f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__
        wrapped = OSError(errno.EIO, text, url)
        wrapped.__cause__ = exc
        exc = wrapped
    exc = with_message(exc, url)
    if exc.filename is None or isinstance(exc.filename, int):
        try:
            exc.filename = url
        except AttributeError:  # pragma: no cover - OSError always has it
            pass
    if getattr(exc, "role", None) is None:
        try:
            setattr(exc, "role", role)  # noqa: B010 - not every exception type declares it
        except AttributeError:  # pragma: no cover
            pass
    return exc


def with_message(exc: OSError, url: str) -> OSError:
    """``exc`` with a message a person can read.

    File systems raise FileNotFoundError(url) for a missing file or an HTTP
    404, with neither errno nor text: it would print as "[Errno None] None".
    """
    if exc.strerror:
        return exc
    if isinstance(exc, FileNotFoundError):
        better: OSError = FileNotFoundError(errno.ENOENT, "not found", url)
    elif isinstance(exc, PermissionError):
        better = PermissionError(errno.EACCES, "permission denied", url)
    else:
        text = str(exc.args[0]) if exc.args and exc.args[0] != url else type(exc).__name__
        try:
            better = type(exc)(exc.errno or errno.EIO, text, url)
        except Exception:  # noqa: BLE001 - a subclass with a constructor of its own
            return exc
    better.__cause__ = exc.__cause__ or exc
    return better


def _widen_pipe(fd: int) -> None:
    # A 1 MiB pipe lets a chunk through in one system call instead of 16.
    try:
        import fcntl

        fcntl.fcntl(fd, getattr(fcntl, "F_SETPIPE_SZ", 1031), CHUNK)
    except (OSError, ImportError):
        pass


class _Fd:
    """A descriptor closed exactly once, from whichever thread gets there first."""

    def __init__(self, fd: int) -> None:
        self.fd = fd
        self._lock = threading.Lock()

    def close(self) -> None:
        with self._lock:
            fd, self.fd = self.fd, -1
        if fd >= 0:
            os.close(fd)


class _Feeder:
    """Reads a URL in chunks into a pipe; the native function reads the other end.

    The remote file is opened in the caller's thread, so that a missing file
    is reported at once. With ``hold_on_error`` a failed read leaves the pipe
    open: the engine, seeing no end of input, asks its cancel check, which
    raises the error. Without it (for functions that take no cancel) the
    pipe is closed and the caller checks ``error`` afterwards.
    """

    def __init__(self, url: str, storage_options: Optional[Dict[str, Any]], hold_on_error: bool) -> None:
        self.url = url
        self.error: Optional[BaseException] = None
        self._stop = False
        self._hold = hold_on_error
        # A stream that reads on after the call returned (see hand_over), held weakly.
        self._stream: Optional[Callable[[], Any]] = None
        self._lock = threading.Lock()
        fs, path = filesystem(url, storage_options)
        try:
            protocols = (fs.protocol,) if isinstance(fs.protocol, str) else tuple(fs.protocol)
            # Over HTTP the file is read start to end: one streamed request, no ranges.
            extra = {"block_size": 0} if "http" in protocols or "https" in protocols else {}
            self._file = fs.open(path, "rb", **extra)
        except Exception as exc:
            raise _as_oserror(exc, url, "input") from None
        read_end, write_end = os.pipe()
        _widen_pipe(write_end)
        self.read_end = _Fd(read_end)
        self._write_end = _Fd(write_end)
        self._thread = threading.Thread(target=self._run, name="csv-gleave-feeder", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        handed = False  # the pipe was left to a stream (see hand_over)
        try:
            while not self._stop:
                chunk = self._file.read(CHUNK)
                if not chunk:
                    break
                view = memoryview(chunk)
                while view:
                    fd = self._write_end.fd
                    if fd < 0 or self._stop:
                        return
                    view = view[os.write(fd, view):]
        except BrokenPipeError:
            pass  # the reader stopped reading: it had what it needed, or it failed on its own
        except BaseException as exc:  # noqa: BLE001 - handed to the caller's thread
            with self._lock:
                if not self._stop:
                    self.error = _as_oserror(exc, self.url, "input")
                handed = self._stream is not None
                stream = self._stream() if self._stream is not None else None
            if stream is not None and self.error is not None:
                # Said before the pipe closes: its end is then not the input's.
                stream._fail_source(str(self.error))
            if self._hold and not handed:
                return
        finally:
            try:
                self._file.close()
            except Exception:  # noqa: BLE001 - a read-only file has nothing to lose
                pass
            if self.error is None or not self._hold or self._stop or handed:
                self._write_end.close()

    def hand_over(self, stream: Any) -> None:
        """Leaves the pipe to ``stream``, which reads on from its own descriptor of it.

        The thread goes on feeding it while the stream reads, and ends once
        the stream is gone (its write then fails) or the input has ended; a
        later failure ends the stream's readings with its message.
        """
        with self._lock:
            if self.error is not None:
                raise self.error
            self._stream = weakref.ref(stream)
        self.read_end.close()

    def finish(self) -> None:
        """Stops the thread (the engine is done with the pipe) and closes both ends."""
        self._stop = True
        self.read_end.close()  # a write blocked on a full pipe now fails with EPIPE
        self._thread.join(_JOIN_SECONDS)
        if not self._thread.is_alive():
            # A thread still stuck in a remote read closes its end itself: closed
            # here, the number could be reused under its next write.
            self._write_end.close()
        else:
            # Stuck in a remote read (a stalled connection): closing the file
            # closes its transport, which ends the read.
            _in_background(self._file.close)


def _new_temporary(fs: Any, path: str) -> str:
    """A temporary name beside ``path``, once what killed writers left there is removed."""
    _replace.remove_stale_remote(fs, path)
    return _replace.temporary_name(path)


def _drop_temporary(fs: Any, file: Any, temporary: str) -> None:
    """Abandons a half-written temporary output; never raises (another error is on its way)."""
    for step in (getattr(file, "discard", None), file.close):
        try:
            if step is not None:
                step()
        except Exception:  # noqa: BLE001
            pass
    try:
        if fs.exists(temporary):
            fs.rm(temporary)
    except Exception:  # noqa: BLE001
        pass


class _Sink:
    """An output URL: a pipe whose reader writes to a temporary beside the target."""

    def __init__(self, url: str, storage_options: Optional[Dict[str, Any]], role: str) -> None:
        self.url = url
        self.role = role
        self.error: Optional[BaseException] = None
        self._fs, self._path = filesystem(url, storage_options)
        self._temporary = _new_temporary(self._fs, self._path)
        try:
            self._file = self._fs.open(self._temporary, "wb")
        except Exception as exc:
            raise _as_oserror(exc, url, role) from None
        read_end, write_end = os.pipe()
        _widen_pipe(write_end)
        # The engine's writes to a full pipe (a stalled upload) wait by polling,
        # asking the cancel check as they do, instead of blocking in write().
        os.set_blocking(write_end, False)
        self._read_end = _Fd(read_end)
        self.write_end = _Fd(write_end)
        self._thread = threading.Thread(target=self._run, name="csv-gleave-writer", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        try:
            while True:
                fd = self._read_end.fd
                if fd < 0:
                    break
                chunk = os.read(fd, CHUNK)
                if not chunk:
                    break
                self._file.write(chunk)
        except BaseException as exc:  # noqa: BLE001 - handed to the caller's thread
            self.error = _as_oserror(exc, self.url, self.role)
        finally:
            # On failure this makes the engine's next write fail (EPIPE) instead of blocking.
            self._read_end.close()

    def drain(self) -> None:
        """Waits until the writer has everything the engine wrote (its pipe end closed)."""
        self.write_end.close()
        self._thread.join()

    def commit(self) -> None:
        try:
            self._file.close()
            self._fs.mv(self._temporary, self._path)
        except Exception as exc:
            self.discard()
            raise _as_oserror(exc, self.url, self.role) from None

    def discard(self) -> None:
        """Removes the temporary; never raises (it runs while another error is on its way)."""
        self.write_end.close()  # the writer reads to the end and closes its own end
        self._thread.join(_JOIN_SECONDS)
        if self._thread.is_alive():
            # Stuck in a remote write: the removal waits for the network, not the caller.
            _in_background(lambda: _drop_temporary(self._fs, self._file, self._temporary))
            return
        _drop_temporary(self._fs, self._file, self._temporary)


class _Cancel:
    """The cancel check given to the engine: raises a feeder's or writer's error."""

    def __init__(self, user: Any, parts: List[Any]) -> None:
        self._user = user
        self._parts = parts

    def is_set(self) -> bool:
        for part in self._parts:
            if part.error is not None:
                raise part.error
        return bool(self._user is not None and self._user.is_set())


def _rename_fd(exc: BaseException, fd: int, url: str) -> None:
    """The engine names a descriptor it was given; the caller gave a URL."""
    if getattr(exc, "filename", None) == fd:  # OSError, and NotTextError's
        try:
            setattr(exc, "filename", url)  # noqa: B010 - not every exception type declares it
        except AttributeError:  # pragma: no cover
            pass


def _run(call: Callable[..., Any], paths: List[Tuple[Any, str]], storage_options: Optional[Dict[str, Any]],
         cancel: Any, takes_cancel: bool, kwargs: Dict[str, Any]) -> Any:
    """``call(*paths, **kwargs)`` with every URL among ``paths`` replaced by a pipe's descriptor.

    ``paths`` holds each path argument with its role ("input" first, then
    "output" and "quarantine").
    """
    feeder: Optional[_Feeder] = None
    sinks: List[_Sink] = []
    given: List[Any] = []
    names: Dict[int, str] = {}
    try:
        for value, role in paths:
            local = local_path(value) if is_url(value) else None
            if not is_url(value) or local is not None:
                given.append(value if local is None else local)
            elif role == "input":
                feeder = _Feeder(value, storage_options, hold_on_error=takes_cancel)
                given.append(feeder.read_end.fd)
                names[feeder.read_end.fd] = value
            else:
                sink = _Sink(value, storage_options, role)
                sinks.append(sink)
                given.append(sink.write_end.fd)
                names[sink.write_end.fd] = value
        parts: List[Any] = ([feeder] if feeder else []) + sinks
        if takes_cancel and parts:
            kwargs["cancel"] = _Cancel(cancel, parts)
        elif cancel is not None:
            kwargs["cancel"] = cancel
        try:
            result = call(*given, **kwargs)
        except BaseException as exc:
            for part in parts:
                if part.error is not None and part.error is not exc:
                    raise part.error from None
            for fd, url in names.items():
                _rename_fd(exc, fd, url)
            raise
        if feeder is not None:
            feeder.finish()
            if feeder.error is not None:
                raise feeder.error
        for sink in sinks:
            sink.drain()
        for sink in sinks:
            if sink.error is not None:
                raise sink.error
        for sink in sinks:
            sink.commit()
        sinks.clear()
        return result
    finally:
        if feeder is not None:
            feeder.finish()
        for sink in sinks:
            sink.discard()


def gleave_file(input_path: Any, output_path: Any, quarantine_path: Any = None, *args: Any,
                in_place: bool = False, cancel: Any = None, storage_options: Optional[Dict[str, Any]] = None,
                **kwargs: Any) -> Any:
    """:func:`csv_gleave.gleave_file` where any path may be a URL.

    Every pair of paths is compared as what it names, whatever its spelling
    (see :func:`same_target`): a local file named by a URL is handed to the
    native function as its path, whose guards then see it, and two remote
    URLs naming one object are refused here.
    """
    def remote(path: Any) -> bool:
        return is_url(path) and local_path(path) is None

    if remote(quarantine_path) and remote(output_path) and same_target(quarantine_path, output_path,
                                                                       storage_options):
        raise ValueError("quarantine path is the same file as the output path")
    if remote(quarantine_path) and remote(input_path) and same_target(quarantine_path, input_path,
                                                                      storage_options):
        raise ValueError("quarantine path is the same file as the input path")
    if not in_place and remote(output_path) and remote(input_path) and same_target(output_path, input_path,
                                                                                   storage_options):
        raise ValueError("output path is the same file as the input path")
    kwargs["in_place"] = in_place
    if args:
        # The six repair options may come positionally; keyword them so the paths can go by name.
        names = ("delimiter", "quote_char", "fill_ragged_rows", "merge_overflow", "expected_columns",
                 "repair_quotes")
        if len(args) > len(names):
            raise TypeError(f"gleave_file() takes at most {3 + len(names)} positional arguments")
        kwargs.update(zip(names, args))
    paths = [(input_path, "input"), (output_path, "output")]
    if quarantine_path is not None:
        paths.append((quarantine_path, "quarantine"))
    return _run(_native.gleave_file, paths, storage_options, cancel, True, kwargs)


def _reading(native: Callable[..., Any], takes_cancel: bool = True) -> Callable[..., Any]:
    def read(source: Any, *args: Any, cancel: Any = None, storage_options: Optional[Dict[str, Any]] = None,
             **kwargs: Any) -> Any:
        def call(path: Any, **given: Any) -> Any:
            return native(path, *args, **given)

        return _run(call, [(source, "input")], storage_options, cancel, takes_cancel, kwargs)

    read.__name__ = read.__qualname__ = native.__name__
    read.__doc__ = f":func:`csv_gleave.{native.__name__}` where the input may be a URL."
    return read


open = _reading(_native.open)
inspect = _reading(_native.inspect)


def arrow_stream(source: Any, *, cancel: Any = None, storage_options: Optional[Dict[str, Any]] = None,
                 **kwargs: Any) -> Any:
    """:func:`csv_gleave.arrow_stream` where the input may be a URL.

    The stream reads the URL as a pipe, live: the call returns once the
    types are settled on the head, and the feeder goes on filling the pipe
    as the stream's readings ask for more.
    """
    if not is_url(source) or local_path(source) is not None:
        return _run(_native.arrow_stream, [(source, "input")], storage_options, cancel, True, kwargs)
    feeder = _Feeder(source, storage_options, hold_on_error=True)
    fd = feeder.read_end.fd
    try:
        try:
            stream = _native.arrow_stream(fd, cancel=_Cancel(cancel, [feeder]), **kwargs)
        except BaseException as exc:
            if feeder.error is not None and feeder.error is not exc:
                raise feeder.error from None
            _rename_fd(exc, fd, source)
            raise
        feeder.hand_over(stream)
    except BaseException:
        feeder.finish()
        raise
    return stream


detect = _reading(_native.detect, takes_cancel=False)


def makedirs(url: str, storage_options: Optional[Dict[str, Any]] = None) -> None:
    """Creates a directory given as a URL (on object stores there is none to create)."""
    local = local_path(url)
    if local is not None:
        os.makedirs(local, exist_ok=True)
        return
    fs, path = filesystem(url, storage_options)
    fs.makedirs(path, exist_ok=True)


class open_output:
    """A binary file for ``url`` written under a temporary name, moved onto it on success.

    ``with open_output(url) as out: ...`` leaves the target whole or as it was.
    """

    def __init__(self, url: str, storage_options: Optional[Dict[str, Any]] = None) -> None:
        self._fs, self._path = filesystem(url, storage_options)
        self._temporary = _new_temporary(self._fs, self._path)
        self._file: Any = None

    def __enter__(self) -> Any:
        self._file = self._fs.open(self._temporary, "wb")
        return self._file

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        if exc_type is None:
            try:
                self._file.close()
                self._fs.mv(self._temporary, self._path)
                return
            except BaseException:
                self._remove()
                raise
        self._remove()

    def _remove(self) -> None:
        _drop_temporary(self._fs, self._file, self._temporary)


# --------------------------------------------------------------------------
# Byte ranges of a remote file: one large file read in parts on many workers

# The most bytes one range request asks for (and holds in memory).
RANGE_BYTES = 32 << 20


def file_size(url: str, storage_options: Optional[Dict[str, Any]] = None) -> int:
    """The size in bytes of the file at ``url``; an OSError naming it when it cannot be told."""
    try:
        fs, path = filesystem(url, storage_options)
        size = fs.size(path)
    except Exception as exc:  # noqa: BLE001 - a client library's error becomes an OSError naming the URL
        raise _as_oserror(exc, url, "input") from None
    if size is None:
        unknown = OSError(errno.ESPIPE, "its size is not known, so it cannot be read in byte ranges", url)
        raise _as_oserror(unknown, url, "input")
    return int(size)


def copy_range(url: str, start: int, end: int, fd: int, storage_options: Optional[Dict[str, Any]] = None) -> int:
    """Writes bytes ``start`` to ``end`` of the file at ``url`` into ``fd`` at the same offsets.

    Each request asks for at most ``RANGE_BYTES``. A server that answers
    with other bytes than those asked for (one that ignores range requests
    sends the whole file) is an OSError: a piece is never taken for what
    it is not. Returns the bytes written.
    """
    try:
        fs, path = filesystem(url, storage_options)
    except Exception as exc:  # noqa: BLE001 - a client library's error becomes an OSError naming the URL
        raise _as_oserror(exc, url, "input") from None
    for at in range(start, end, RANGE_BYTES):
        want = min(RANGE_BYTES, end - at)
        try:
            data = fs.cat_file(path, start=at, end=at + want)
        except Exception as exc:  # noqa: BLE001 - as above
            raise _as_oserror(exc, url, "input") from None
        if len(data) != want:
            short = OSError(errno.EIO, f"asked for bytes {at} to {at + want}, the server sent {len(data)} bytes "
                            "(it may not serve byte ranges)", url)
            raise _as_oserror(short, url, "input")
        view = memoryview(data)
        while view:
            view = view[os.pwrite(fd, view, at + want - len(view)):]
    return max(0, end - start)
