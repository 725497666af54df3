"""Replace-into-place of the Python layer: whole or not at all, and nothing left after a kill."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap

import pytest

from csv_gleave import _replace

_KILLED_WRITER = textwrap.dedent(
    """
    import os, signal, sys
    from csv_gleave import _replace
    if sys.argv[2] == "named":
        _replace._open_unnamed = lambda directory: None
    def write(out):
        out.write(b"half of the new")
        out.flush()
        os.kill(os.getpid(), signal.SIGKILL)
    _replace.replace_into_place(sys.argv[1], write)
    """
)


def _temporaries(directory):
    return sorted(name for name in os.listdir(directory) if name.startswith(".gleave-"))


@pytest.mark.parametrize("how", ["unnamed", "named"])
def test_a_killed_writer_leaves_the_target_and_at_most_one_temporary_until_the_next_write(tmp_path, how):
    target = tmp_path / "out.csv"
    target.write_bytes(b"old\n")
    child = subprocess.run([sys.executable, "-c", _KILLED_WRITER, str(target), how], check=False)
    assert child.returncode == -signal.SIGKILL
    assert target.read_bytes() == b"old\n"
    probe = _replace._open_unnamed(str(tmp_path))  # None where the file system has no O_TMPFILE
    if probe is not None:
        os.close(probe)
    assert len(_temporaries(tmp_path)) == (0 if how == "unnamed" and probe is not None else 1)
    _replace.replace_into_place(str(target), lambda out: out.write(b"new\n"))
    assert target.read_bytes() == b"new\n"
    assert _temporaries(tmp_path) == []


@pytest.mark.parametrize("how", ["unnamed", "named"])
def test_a_failed_write_leaves_the_target_and_no_temporary(tmp_path, monkeypatch, how):
    if how == "named":
        monkeypatch.setattr(_replace, "_open_unnamed", lambda directory: None)
    target = tmp_path / "out.csv"
    target.write_bytes(b"old\n")

    def write(out):
        out.write(b"partial")
        raise RuntimeError("stop")

    with pytest.raises(RuntimeError):
        _replace.replace_into_place(str(target), write)
    assert target.read_bytes() == b"old\n"
    assert _temporaries(tmp_path) == []
    os.umask(mask := os.umask(0o022))
    _replace.replace_into_place(str(target), lambda out: out.write(b"new\n"))
    assert (os.stat(target).st_mode & 0o777) == 0o666 & ~mask


def test_only_temporaries_of_gone_processes_of_this_host_are_stale():
    gone = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True)
    dead = int(gone.stdout)
    mine = _replace.temporary_name("x")
    host = mine.split("-")[2]
    other_host = "0000" if host != "0000" else "ffff"
    names = {
        f"x.gleave-{dead:x}-{host}-abcdef": True,
        f"x.gleave-{os.getppid():x}-{host}-abcdef": False,  # alive
        mine: False,  # this process
        f"x.gleave-{dead:x}-{other_host}-abcdef": False,  # another host's
        "x.gleave-zz-0000-abcdef": False,  # not one of ours
    }
    assert _replace.stale_temporaries(names) == [name for name, stale in names.items() if stale]


def test_a_killed_jobs_work_directory_goes_at_the_next_ones_start(tmp_path):
    gone = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True)
    host = _replace.temporary_name("x").split("-")[2]
    left = tmp_path / f".gleave-{int(gone.stdout):x}-{host}-abcdef"
    left.mkdir()
    (left / "part0.csv").write_bytes(b"a,b\n")
    work = _replace.make_work_directory(str(tmp_path))
    assert sorted(os.listdir(tmp_path)) == [os.path.basename(work)]
