"""Every code block of the README and of docs/ runs, so a changed message fails
here rather than in front of a reader.

- ``python`` blocks with ``>>>`` prompts are doctests (ELLIPSIS on); others
  are executed. The blocks of one page share a namespace, in order.
- ``console`` blocks: each ``$ command`` runs in a shell and its output
  (stdout and stderr together) must match the lines below it. A line that is
  just ``...`` stands for any number of lines; ``...`` inside a line for any
  text (times, paths).
- ``sh`` blocks are set-up commands: the package install and the test script
  cannot run inside the tests, so those two are checked to be exactly the
  ones CI runs, and any other command runs as in a console block.

Each page runs in a fresh directory holding a copy of examples/ (and links
to bench/ and scripts/).
"""

import doctest
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md"] + sorted((ROOT / "docs").glob("**/*.md"))
FENCE = re.compile(r"^```(\w*)[^\n]*\n(.*?)^```", re.S | re.M)
# The set-up commands as the README gives them; CI runs the same two.
SETUP = {"pip install .", "bash scripts/test.sh"}


def blocks(page):
    text = page.read_text(encoding="utf-8")
    for match in FENCE.finditer(text):
        line = text.count("\n", 0, match.start()) + 1
        yield match.group(1), match.group(2), line


def output_matches(expected, actual):
    """Whether ``actual`` lines match ``expected`` lines with ``...`` elisions."""
    pattern = []
    for line in expected:
        if line.strip() == "...":
            pattern.append(r"(?:[^\n]*\n)*?")
        else:
            pattern.append(".*?".join(re.escape(part) for part in line.rstrip().split("...")) + r"[ \t]*\n")
    text = "".join(line.rstrip() + "\n" for line in actual)
    return re.fullmatch("".join(pattern), text, re.S) is not None


def commands(block):
    """(command, expected output lines) pairs of a console block."""
    found = []
    for line in block.splitlines():
        if line.startswith("$ "):
            found.append((line[2:], []))
        elif found:
            found[-1][1].append(line)
        elif line.strip():
            raise AssertionError(f"output before any command: {line!r}")
    return found


def run_console(block, cwd, env):
    for command, expected in commands(block):
        proc = subprocess.run(command, shell=True, cwd=cwd, env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=300, text=True)
        actual = proc.stdout.splitlines()
        assert output_matches(expected, actual), (
            f"$ {command}\n--- expected\n" + "\n".join(expected) + "\n--- got\n" + proc.stdout
        )


def run_python(block, namespace, name, line):
    if ">>>" in block:
        parser = doctest.DocTestParser()
        test = parser.get_doctest(block, namespace, name, name, line)
        flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
        runner = doctest.DocTestRunner(optionflags=flags)
        out = []
        runner.run(test, out=out.append, clear_globs=False)
        namespace.update(test.globs)  # the doctest ran on a copy
        assert runner.failures == 0, "".join(out)
    else:
        exec(compile(block, f"{name}:{line}", "exec"), namespace)


def run_setup(block, cwd, env):
    for command in (c.strip() for c in block.splitlines()):
        if not command:
            continue
        steps = [s.strip() for s in command.split("&&")]
        for step in steps:
            if step in SETUP:
                continue  # what CI itself runs, from a fresh clone
            run_console(f"$ {step}\n...\n", cwd, env)


def ids(page):
    return str(page.relative_to(ROOT))


@pytest.mark.parametrize("page", PAGES, ids=ids)
def test_page_examples_run_as_shown(page, tmp_path, monkeypatch):
    shutil.copytree(ROOT / "examples", tmp_path / "examples")
    for name in ("bench", "scripts"):
        (tmp_path / name).symlink_to(ROOT / name)
    monkeypatch.chdir(tmp_path)
    bin_dir = os.path.dirname(sys.executable)
    env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ.get("PATH", ""), COLUMNS="100",
               TZ="UTC", NO_COLOR="1")
    namespace = {"__name__": "__main__"}
    ran = 0
    for language, block, line in blocks(page):
        name = f"{ids(page)}:{line}"
        if language == "python":
            if "pandas" in block:
                pytest.importorskip("pandas")
            run_python(block, namespace, name, line)
        elif language == "console":
            run_console(block, tmp_path, env)
        elif language == "sh":
            run_setup(block, tmp_path, env)
        else:
            raise AssertionError(f"{name}: a ```{language} block is not run by the tests; use python, console or sh")
        ran += 1
    if page.name not in ("api.md", "testing.md"):
        assert ran, f"{ids(page)} has no examples"


def test_setup_commands_are_the_ones_ci_runs():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    setup = next(block for language, block, _ in blocks(ROOT / "README.md") if language == "sh")
    assert setup.splitlines()[0].startswith("pip install . && csv-gleave repair examples/ragged.csv")
    assert setup.splitlines()[1] == "bash scripts/test.sh"
    assert "bash scripts/test.sh" in (ROOT / ".ci" / "run").read_text()
    assert len(readme.splitlines()) <= 150


@pytest.mark.parametrize("expected, actual, matches", [
    (["a", "...", "z"], ["a", "b", "c", "z"], True),
    (["a", "...", "z"], ["a", "z"], True),
    (["took ... s"], ["took 0.25 s"], True),
    (["a", "z"], ["a", "b", "z"], False),
    (["a (b)"], ["a (c)"], False),
])
def test_elision(expected, actual, matches):
    assert output_matches(expected, actual) is matches


def error_rows():
    """(call, exception name, message) of each row of the errors table."""
    text = (ROOT / "docs" / "errors.md").read_text(encoding="utf-8")
    rows = re.findall(r"^\| `(csv_gleave\.[^`]+)` \| `([\w.]+)`([^|]*) \| (?:`([^`]*)`)? *\|$", text, re.M)
    assert len(rows) >= 10, "the errors table was not found"
    return rows


@pytest.mark.parametrize("call, exception, attributes, message", error_rows(), ids=lambda v: str(v)[:60])
def test_errors_table_is_what_is_raised(call, exception, attributes, message, tmp_path, monkeypatch):
    import threading

    import csv_gleave

    shutil.copytree(ROOT / "examples", tmp_path / "examples")
    (tmp_path / "binary.bin").write_bytes(b"\x00\x01\x02" * 1000)
    monkeypatch.chdir(tmp_path)
    cancel = threading.Event()
    cancel.set()
    expected = eval(exception, {"csv_gleave": csv_gleave})
    assert isinstance(expected, type) and issubclass(expected, BaseException)
    with pytest.raises(expected) as info:
        eval(call, {"csv_gleave": csv_gleave, "SET": cancel})
    assert message in str(info.value)
    # "(`errno` 2, `role` `"input"`)": the attributes the table names.
    for name, value in re.findall(r"`(\w+)` `?([^`,)]+)`?", attributes):
        if name in ("errno", "role"):
            assert getattr(info.value, name) == eval(value), name
    assert not (tmp_path / "out.csv").exists()
