"""Writing a file whole or not at all: written beside its target, then renamed over it.

A local file is written with no name where the file system allows it
(``O_TMPFILE``), and linked under a temporary name only once it is complete,
just before the rename, as the engine writes its outputs: a process killed
while writing leaves nothing behind. Elsewhere, and on remote file systems,
the temporary has a name from the start: ``.gleave-`` (locally) or
``<target>.gleave-`` (remotely), then this process's id and host tag and a
random part. Each new temporary first removes those left by processes of
this host that no longer run, so a kill leaves a temporary only until the
next write beside it.
"""

from __future__ import annotations

import errno
import hashlib
import os
import re
import secrets
import shutil
import socket
from typing import Any, BinaryIO, Callable, Iterable, Optional

_HOST = hashlib.sha1(socket.gethostname().encode("utf-8", "surrogateescape")).hexdigest()[:4]
_NAME = re.compile(r"\.gleave-([0-9a-f]+)-([0-9a-f]{4})-[0-9a-f]{6}$")


def temporary_name(prefix: str) -> str:
    """``prefix`` + ``.gleave-{pid}-{host}-{random}``: a name whose writer can be told gone."""
    return f"{prefix}.gleave-{os.getpid():x}-{_HOST}-{secrets.token_hex(3)}"


def is_stale(name: str) -> bool:
    """True for a temporary of this program (see temporary_name) whose process, on this host, is gone."""
    match = _NAME.search(name)
    if match is None or match.group(2) != _HOST:
        return False
    pid = int(match.group(1), 16)
    if pid == os.getpid():
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except OSError:
        pass  # alive, under another user
    return False


def stale_temporaries(names: Iterable[str]) -> list[str]:
    """The names among ``names`` that are temporaries left by a process that is gone."""
    return [name for name in names if is_stale(name)]


def _remove_stale(directory: str) -> None:
    try:
        with os.scandir(directory) as entries:
            stale = stale_temporaries(entry.name for entry in entries if entry.name.startswith(".gleave-"))
    except OSError:
        return
    for name in stale:
        full = os.path.join(directory, name)
        try:
            if os.path.isdir(full) and not os.path.islink(full):
                shutil.rmtree(full, ignore_errors=True)
            else:
                os.unlink(full)
        except OSError:
            pass


def make_work_directory(directory: str) -> str:
    """A new directory in ``directory`` for a job's parts, named as temporaries are.

    A killed job's directory goes at the next one's start in the same
    place, with the temporaries of writers that are gone.
    """
    _remove_stale(directory)
    path = temporary_name(os.path.join(directory, ""))
    os.mkdir(path, 0o700)
    return path


def _open_unnamed(directory: str) -> Optional[int]:
    """A file with no name in ``directory`` (mode 0666 less the umask), or None where none can be made."""
    flag = getattr(os, "O_TMPFILE", 0)
    if not flag or not os.path.isdir("/proc/self/fd"):
        return None  # without /proc it could not be linked later
    try:
        return os.open(directory, flag | os.O_WRONLY | os.O_CLOEXEC, 0o666)
    except OSError as exc:
        if exc.errno in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL, errno.ENOENT):
            return None
        raise


def _create_named(directory: str, link_from: Optional[int] = None) -> str:
    """A new name in ``directory``: an empty file, or a link to the unnamed file ``link_from``."""
    _remove_stale(directory)
    for _ in range(100):
        name = os.path.join(directory, temporary_name(""))
        try:
            if link_from is None:
                os.close(os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666))
            else:
                # Only linkat follows /proc's link to the unnamed file; os.link
                # calls it when given a directory descriptor.
                proc = os.open("/proc/self/fd", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
                try:
                    os.link(str(link_from), name, src_dir_fd=proc, follow_symlinks=True)
                finally:
                    os.close(proc)
            return name
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, "no free temporary name", directory)


def replace_into_place(target: str, write: Callable[[BinaryIO], object]) -> None:
    """Calls ``write`` with a binary file that becomes ``target`` once complete, atomically.

    ``target`` is a local path, with its links resolved by the caller. The
    file gets the mode any new file would (0666 less the umask). On any
    failure the target is untouched and the temporary is gone.
    """
    directory = os.path.dirname(target) or "."
    unnamed = _open_unnamed(directory)
    name: Optional[str] = None
    try:
        if unnamed is None:
            name = _create_named(directory)
            fd = os.open(name, os.O_WRONLY | os.O_CLOEXEC)
        else:
            fd = unnamed
        with os.fdopen(fd, "wb") as out:
            write(out)
            out.flush()
            os.fsync(out.fileno())
            if name is None:
                name = _create_named(directory, link_from=out.fileno())
        os.replace(name, target)
    except BaseException:
        if name is not None:
            try:
                os.unlink(name)
            except OSError:
                pass
        raise


def remove_stale_remote(fs: Any, path: str) -> None:
    """Removes the temporaries beside ``path`` on ``fs`` that a gone process of this host left."""
    try:
        names = fs.glob(f"{path}.gleave-*")
    except Exception:  # noqa: BLE001 - a listing that fails leaves them for next time
        return
    for name in stale_temporaries(str(n) for n in names):
        try:
            fs.rm(name)
        except Exception:  # noqa: BLE001
            pass
