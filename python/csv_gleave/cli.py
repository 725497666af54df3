"""The ``csv-gleave`` command line: repair, sniff and inspect damaged CSV files.

Exit codes: 0 success, 1 a file could not be read or written, 2 usage error.
Human-readable reports go to stderr (``repair``) or stdout (``sniff``,
``inspect``, the batch table); ``--json`` puts machine-readable output on
stdout.
"""

from __future__ import annotations

import argparse
import builtins
import os
import sys
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, Optional, Sequence, TextIO, Tuple, Union

from _csv_gleave_backend import __version__

from . import _native
from ._messages import describe_error as describe_error, escape as escape, show_path as show_path  # re-exported
from ._options import OPTIONS
from . import gleave_file as _gleave_file
from . import inspect as _inspect

# The table, remote and batch layers are imported where they are used: a
# plain repair loads none of them (nor pyarrow, fsspec or Dask through them).
# So are json, threading, signal and warnings, which a plain repair without
# --json does not use.
if TYPE_CHECKING:
    import concurrent.futures
    import threading

PROG = "csv-gleave"

_DELIMITER_NAMES = {",": "comma", ";": "semicolon", "\t": "tab", "|": "pipe", " ": "space", ":": "colon"}
_NAMED_DELIMITERS = {name: char for char, name in _DELIMITER_NAMES.items()}
_NAMED_DELIMITERS.update({"\\t": "\t", "bar": "|"})

# sniff reads this much of a file; detection looks at the first 50 non-blank
# rows, which fit in this many bytes unless rows are very wide.
_SNIFF_BYTES = 1 << 20


def describe_delimiter(char: str) -> str:
    """A delimiter as a person reads it: "tab" rather than an invisible byte."""
    if char in _DELIMITER_NAMES:
        return _DELIMITER_NAMES[char]
    if char.isprintable():
        return f"'{char}'"
    return f"U+{ord(char):04X}"


# --------------------------------------------------------------------------
# argument parsing


def _delimiter_arg(text: str) -> str:
    value = _NAMED_DELIMITERS.get(text.lower(), text)
    if len(value) != 1 or not value.isascii():
        names = ", ".join(sorted(k for k in _NAMED_DELIMITERS if k.isalpha()))
        raise argparse.ArgumentTypeError(f"expected one ASCII character or a name ({names}), got {text!r}")
    return value


def _char_or_none_arg(text: str) -> str:
    # "none" says none of it (no quoting, quotes doubled, no comment lines);
    # "" stands for it until _options.
    if text.lower() == "none":
        return ""
    if len(text) != 1 or not text.isascii():
        raise argparse.ArgumentTypeError(f"expected one ASCII character or none, got {text!r}")
    return text


def _encoding_arg(text: str) -> str:
    # Asked of the same converter the repair uses, so that a name it does not
    # know is a usage error before any file is touched.
    try:
        _native.detect(b"", encoding=text)
    except (LookupError, ValueError):
        raise argparse.ArgumentTypeError(f"unknown encoding {text!r} (any name iconv knows, e.g. cp1252)") from None
    return text


def _count_arg(minimum: int) -> Any:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, got {value}")
        return value

    return parse


# The argparse settings of each kind of option (see csv_gleave._options).
_KIND_ARGUMENTS: Dict[str, Dict[str, Any]] = {
    "Delimiter": {"type": _delimiter_arg},
    "Quote": {"type": _char_or_none_arg},
    "CharOrNone": {"type": _char_or_none_arg},
    "Switch": {"action": "store_false"},
    "MaybeSwitch": {"action": argparse.BooleanOptionalAction},
    "MaybeCount": {"type": _count_arg(0)},
    "Width": {"type": _count_arg(0)},
    "Encoding": {"type": _encoding_arg},
}


def _repair_options_parser() -> _Parser:
    common = _Parser(add_help=False)
    group = common.add_argument_group("repair options")
    for option in OPTIONS:
        settings = dict(_KIND_ARGUMENTS[option.kind], dest=option.name, help=option.help)
        if option.metavar:
            settings["metavar"] = option.metavar
        group.add_argument(*option.flags, **settings)
    group.add_argument(
        "--force", action="store_true",
        help="repair input that does not look like text (NUL bytes or mostly control bytes in its first 64 KiB)",
    )
    return common


class _Formatter(argparse.HelpFormatter):
    """Help as wide as the terminal, measured as shutil measures it, without
    importing shutil (and the compression modules it loads), which argparse
    does for every parser it builds: a good part of the command's start-up."""

    def __init__(self, prog: str) -> None:
        try:
            columns = int(os.environ.get("COLUMNS", "0"))
        except ValueError:
            columns = 0
        if columns <= 0:
            try:
                columns = os.get_terminal_size(sys.__stdout__.fileno()).columns  # type: ignore[union-attr]
            except (AttributeError, ValueError, OSError):
                columns = 0
        super().__init__(prog, width=(columns or 80) - 2)


class _Parser(argparse.ArgumentParser):
    """An argument parser (and its subcommands' parsers) with _Formatter."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        kwargs.setdefault("formatter_class", _Formatter)
        super().__init__(*args, **kwargs)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Rescue damaged CSV files that strict readers reject: pad short rows, fold long ones, "
        "mend stray quotes and set aside what cannot be mended.",
        epilog=f"Run '{PROG} COMMAND --help' for the options of a command.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    common = _repair_options_parser()

    repair = commands.add_parser(
        "repair", parents=[common], help="write a repaired copy of one or more CSV files",
        description="Repair one file (-o OUTPUT) or many (--out-dir DIR, several at a time in threads).",
    )
    repair.add_argument("inputs", nargs="+", metavar="INPUT", help="CSV file(s) to repair ('-': standard input)")
    repair.add_argument(
        "-o", "--output", metavar="OUTPUT",
        help="repaired file (one input only; '-': standard output); a name ending in .parquet writes "
        "Parquet, .arrow or .feather an Arrow IPC file, with typed columns (needs pyarrow)",
    )
    repair.add_argument(
        "--in-place", action="store_true",
        help="allow OUTPUT to be INPUT: the input is replaced only once the repair is complete",
    )
    repair.add_argument("-q", "--quarantine", metavar="QUARANTINE", help="file for rows set aside (one input only)")
    repair.add_argument("--out-dir", metavar="DIR", help="write each repaired file into DIR under its own name")
    repair.add_argument(
        "--quarantine-dir", metavar="DIR", help="with --out-dir: write each quarantine file into DIR under its input's name"
    )
    repair.add_argument(
        "-j", "--jobs", type=_count_arg(1), metavar="N",
        help="files repaired at a time, each in a thread of this process (default: number of CPUs)",
    )
    repair.add_argument(
        "--scheduler", metavar="ADDRESS",
        help="run on the Dask cluster at ADDRESS (e.g. tcp://host:8786): with --out-dir the batch, "
             "with -o one file in byte ranges of --blocksize (the same bytes as a repair here)",
    )
    repair.add_argument(
        "--blocksize", metavar="SIZE", default=None,
        help="with --scheduler and -o: the byte range each worker repairs (default 64MB)",
    )
    repair.add_argument("--json", action="store_true", help="print the summary as JSON on stdout")
    repair.set_defaults(subparser=repair)

    sniff = commands.add_parser(
        "sniff", help="print the detected delimiter of each file",
        description="Detect the delimiter of each file from its first rows.",
    )
    sniff.add_argument("files", nargs="+", metavar="FILE", help="CSV file(s) ('-': standard input)")
    sniff.add_argument("--json", action="store_true", help="print {file: delimiter} as JSON on stdout")

    inspect = commands.add_parser(
        "inspect", parents=[common], help="diagnose a file: layout, counts, first rows, ragged rows",
        description="Show what a repair would find: delimiter, width, counts, the first repaired rows "
        "and every row whose width is off, with its line number.",
    )
    inspect.add_argument("file", metavar="FILE", help="CSV file ('-': standard input)")
    inspect.add_argument("--rows", type=_count_arg(0), default=10, metavar="N", help="repaired rows to show (default 10)")
    inspect.add_argument(
        "--ragged", type=_count_arg(0), default=20, metavar="N", help="ragged rows to list (default 20)"
    )
    inspect.add_argument("--json", action="store_true", help="print the diagnosis as JSON on stdout")
    _add_report_parser(commands, common)
    return parser


def _add_report_parser(commands: Any, common: _Parser) -> None:
    report = commands.add_parser(
        "report", parents=[common], help="write a repair report as one self-contained HTML page",
        description="Write an HTML page on what a repair of FILE finds: the dialect and the evidence for it, "
        "the counts, a damage map along the file, the first rows of each kind and a profile of each column.",
    )
    report.add_argument("file", metavar="FILE", help="CSV file or URL")
    report.add_argument("-o", "--output", required=True, metavar="REPORT", help="the HTML file to write")
    report.add_argument(
        "--sample", type=_count_arg(1), default=None, metavar="N",
        help="rows read for the column profile (default 20000)",
    )


def _options(args: argparse.Namespace) -> Dict[str, Any]:
    """The options given on the command line, as the functions take them; one left out is detected."""
    given: Dict[str, Any] = {"allow_binary": args.force}
    for option in OPTIONS:
        value = getattr(args, option.name)
        if value is None:
            continue
        # "none" came through as "" (a character cannot be empty).
        given[option.name] = None if value == "" and option.kind in ("Quote", "CharOrNone") else value
    return given


def _error(message: str) -> None:
    print(f"{PROG}: error: {message}", file=sys.stderr)


def _may_be_url(path: str) -> bool:
    return "://" in path or "::" in path


def _target_key(path: str) -> Tuple[str, str]:
    # What a path names, in one spelling; only a URL loads the remote layer.
    if _may_be_url(path):
        from . import remote

        return remote.target_key(path)
    return "", os.path.realpath(path)


def _same_file(a: str, b: str) -> bool:
    # Compared as what they name, in any spelling (file://, local://, chained URLs).
    if _may_be_url(a) or _may_be_url(b):
        from . import remote

        return remote.same_target(a, b)
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.realpath(a) == os.path.realpath(b)


def _file_arg(path: str, stdio: int) -> Union[str, int]:
    """'-' is the standard stream; any other name is a path."""
    return stdio if path == "-" else path


# --------------------------------------------------------------------------
# repair


def repair_one(
    input_path: Union[str, int], output_path: Union[str, int], quarantine_path: Optional[str],
    options: Dict[str, Any], cancel: Optional[threading.Event] = None, in_place: bool = False,
) -> Dict[str, Any]:
    """Repair one file; raises only KeyboardInterrupt (and Cancelled when `cancel` is set)."""
    result: Dict[str, Any] = {
        "input": input_path, "output": output_path, "quarantine": quarantine_path, "summary": None, "error": None,
    }
    try:
        summary = _gleave_file(
            input_path, output_path, quarantine_path, **options, in_place=in_place, cancel=cancel
        )
    except (OSError, ValueError, LookupError, MemoryError, ImportError) as exc:
        result["error"] = describe_error(exc, input_path)
    else:
        result["summary"] = summary.to_dict()
    return result


def _repair_on_cluster(input_path: str, output_path: str, quarantine_path: Optional[str], options: Dict[str, Any],
                       scheduler: str, blocksize: str) -> Dict[str, Any]:
    """Repair one file on a Dask cluster in byte ranges (csv_gleave.dask.repair_large)."""
    result: Dict[str, Any] = {
        "input": input_path, "output": output_path, "quarantine": quarantine_path, "summary": None, "error": None,
    }
    from .dask import repair_large

    try:
        summary = repair_large(input_path, output_path, quarantine_path, scheduler=scheduler, blocksize=blocksize,
                               **options)
    except (OSError, ValueError, TypeError, LookupError, MemoryError, ImportError) as exc:
        result["error"] = describe_error(exc, input_path)
    else:
        result["summary"] = summary.to_dict()
    return result


def _is_table_output(path: Optional[str]) -> bool:
    if path is None or path == "-":
        return False
    suffix = os.path.splitext(path)[1].lower()
    if suffix in ("", ".csv", ".tsv", ".txt"):
        return False  # text: the table layer stays unloaded
    from .tables import TABLE_SUFFIXES

    return suffix in TABLE_SUFFIXES


def repair_to_table(input_path: Union[str, int], output_path: str, quarantine_path: Optional[str],
                    options: Dict[str, Any]) -> Dict[str, Any]:
    """Repair one file into a typed Parquet or Arrow IPC file, whole or not at all."""
    result: Dict[str, Any] = {
        "input": input_path, "output": output_path, "quarantine": quarantine_path, "summary": None, "error": None,
    }
    from .tables import RowsSetAsideWarning, write_table_file

    try:
        import warnings

        with warnings.catch_warnings():
            # The summary printed below says what was set aside.
            warnings.simplefilter("ignore", RowsSetAsideWarning)
            summary = write_table_file(input_path, output_path, quarantine_path=quarantine_path, **options)
    except ImportError as exc:
        result["error"] = str(exc)
    except (OSError, ValueError, LookupError, MemoryError) as exc:
        # The repair's own errors name their file and role; the writer's
        # concern the output.
        role = getattr(exc, "role", None)
        if role is None and getattr(exc, "filename", None) is None and isinstance(exc, OSError):
            result["error"] = f"output {show_path(output_path)}: {exc.strerror or escape(str(exc))}"
        else:
            result["error"] = describe_error(exc, input_path if role != "output" else output_path)
    else:
        result["summary"] = summary.to_dict()
    return result


def warnings_for(summary: Mapping[str, Any]) -> List[str]:
    """What a person must know about how the input was read, one line each."""
    lines = []
    replaced = summary.get("replaced_bytes", 0)
    if replaced:
        lines.append(f"{replaced} byte{'s' if replaced != 1 else ''} could not be read as "
                     f"{summary.get('encoding', 'the given encoding')} and "
                     f"{'were' if replaced != 1 else 'was'} replaced with U+FFFD")
    fallback = summary.get("fallback_bytes", 0)
    if fallback:
        lines.append(f"{fallback} byte{'s' if fallback != 1 else ''} of the UTF-8 input "
                     f"{'were' if fallback != 1 else 'was'} not UTF-8 and "
                     f"{'were' if fallback != 1 else 'was'} read as cp1252 (lines in another encoding?)")
    if summary.get("not_a_table"):
        lines.append("the input does not look like a table (no delimiter cuts its lines at a steady width); "
                     "check the output")
    tables, other = summary.get("tables") or 0, summary.get("other_table_rows") or 0
    if tables > 1 and other:
        lines.append(f"the input holds {tables} tables; the largest is the table, and the "
                     f"{other} row{'s' if other != 1 else ''} of the others went to the quarantine")
    runaways = summary.get("runaway_quotes") or 0
    if runaways:
        lines.append(f"{runaways} quoted field{'s' if runaways != 1 else ''} ran on over whole rows of "
                     f"the table; those lines were read again as rows (their quote kept as text): "
                     f"check them")
    return lines


def _warn(path: Union[str, int, None], summary: Optional[Mapping[str, Any]]) -> None:
    for line in warnings_for(summary or {}):
        print(f"{PROG}: warning: {show_path(path)}: {line}", file=sys.stderr)


def _summary_lines(result: Dict[str, Any]) -> List[str]:
    s = result["summary"]
    quarantined = str(s["quarantined_rows"])
    if result["quarantine"] is not None:
        quarantined += f"  -> {show_path(result['quarantine'])}"
    elif s["quarantined_rows"]:
        quarantined += "  (dropped: give -q FILE to keep them)"
    return [
        f"{show_path(result['input'])} -> {show_path(result['output'])}",
        *_read_as_lines(s),
        f"  columns      {s['inferred_columns']}",
        f"  rows read    {s['total_rows']}",
        f"  kept         {s['gleaved_rows']}",
        f"  repaired     {s['repaired_rows']}",
        f"  quarantined  {quarantined}",
        *_set_aside_lines(s),
    ]


def _plural(n: int, word: str) -> str:
    return f"{n} {word}{'s' if n != 1 else ''}"


def _read_as_lines(s: Dict[str, Any]) -> List[str]:
    """How the input was read: encoding, delimiter, blanks after delimiters, blank lines."""
    encoding = escape(str(s.get("encoding") or "utf-8"))
    notes = []
    # Summaries grow fields over time; an older one simply lacks some.
    fallback = s.get("fallback_bytes") or 0
    if fallback:
        notes.append(f"{_plural(fallback, 'byte')} not valid UTF-8, read as cp1252")
    if s.get("replaced_bytes"):
        notes.append(f"{_plural(s['replaced_bytes'], 'byte')} replaced with U+FFFD")
    delimiter = describe_delimiter(s["detected_delimiter"])
    if s.get("skip_initial_space"):
        delimiter += "  (blanks after it skipped)"
    lines = [f"  encoding     {encoding}" + (f"  ({'; '.join(notes)})" if notes else ""),
             f"  delimiter    {delimiter}"]
    if s.get("blank_rows"):
        lines.append(f"  blank lines  {s['blank_rows']} skipped")
    return lines


# Rows set aside for what they are rather than for their width, by summary field.
_SET_ASIDE = [
    ("preamble_rows", "preamble"), ("comment_rows", "comments"), ("footnote_rows", "footnotes"),
    ("other_table_rows", "other tables"), ("repeated_header_rows", "repeated headers"),
    ("runaway_rows", "runaway quotes"),
]


def _set_aside_lines(s: Dict[str, Any]) -> List[str]:
    """How the quarantined rows divide between the reasons they were set aside for."""
    parts = [(label, s.get(key) or 0) for key, label in _SET_ASIDE]
    parts = [(label, n) for label, n in parts if n]
    if not parts or not s.get("quarantined_rows"):
        return []
    ragged = s["quarantined_rows"] - sum(n for _, n in parts)
    if ragged > 0:
        parts.append(("ragged rows", ragged))
    return ["    of which   " + ", ".join(f"{label} {n}" for label, n in parts)]


def _check_distinct(
    parser: argparse.ArgumentParser, pairs: Sequence[Tuple[str, Optional[str], Optional[str]]], in_place: bool = False
) -> None:
    inputs: Dict[str, Tuple[str, str]] = {}
    for input_path, _, _ in pairs:
        if input_path == "-":
            continue
        key = _target_key(input_path)
        for other, other_key in inputs.items():
            if key == other_key or _same_file(input_path, other):
                parser.error(f"{show_path(input_path)} is given more than once as an input")
        inputs[input_path] = key
    seen: Dict[Tuple[str, str], Tuple[str, str]] = {}
    for input_path, output_path, quarantine_path in pairs:
        for role, target in (("output", output_path), ("quarantine", quarantine_path)):
            if target is None or target == "-":
                continue
            if input_path != "-" and _same_file(input_path, target) and not (in_place and role == "output"):
                if role == "output":
                    parser.error(f"{show_path(target)} would overwrite its own input; "
                                 "choose another output (or --in-place)")
                parser.error(f"quarantine {show_path(target)} is the input itself")
            key = _target_key(target)
            if key in seen:
                other_input, other_role = seen[key]
                if other_input == input_path:
                    what = f"the {other_role} and the {role} of {show_path(input_path)}"
                else:
                    what = f"the {other_role} of {show_path(other_input)} and the {role} of {show_path(input_path)}"
                parser.error(f"{what} would both be written to {show_path(target)}")
            seen[key] = (input_path, role)


def _cmd_repair(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    options = _options(args)
    if args.out_dir is None:
        if args.output is None:
            parser.error("give -o OUTPUT for one input, or --out-dir DIR for several")
        if len(args.inputs) > 1:
            parser.error("-o takes exactly one input; use --out-dir DIR for several")
        if args.quarantine_dir is not None:
            parser.error("--quarantine-dir goes with --out-dir; use -q FILE for one input")
        if args.scheduler is not None and (args.output == "-" or args.inputs[0] == "-" or args.in_place
                                           or _is_table_output(args.output)):
            parser.error("--scheduler with -o repairs a file into a CSV file: no '-', --in-place or table output")
        if args.quarantine == "-":
            parser.error("the quarantine cannot be standard output; give -q FILE")
        if args.json and args.output == "-":
            parser.error("--json and -o - would both write to standard output")
        _check_distinct(parser, [(args.inputs[0], args.output, args.quarantine)], args.in_place)
        if args.output == "-":
            sys.stdout.flush()
        if args.scheduler is not None:
            result = _repair_on_cluster(args.inputs[0], args.output, args.quarantine, options, args.scheduler,
                                        args.blocksize or "64MB")
        elif _is_table_output(args.output):
            result = repair_to_table(_file_arg(args.inputs[0], 0), args.output, args.quarantine, options)
        else:
            result = repair_one(_file_arg(args.inputs[0], 0), _file_arg(args.output, 1), args.quarantine, options,
                                in_place=args.in_place)
        if result["error"]:
            if result["error"].startswith("output ") and result["error"].endswith(": Broken pipe"):
                # The reader of the output pipe went away, as with `| head`,
                # whether the pipe is named "-" or /dev/stdout.
                return 0
            _error(result["error"])
            return 1
        if args.json:
            import json

            print(json.dumps(result["summary"]))
        else:
            print("\n".join(_summary_lines(result)), file=sys.stderr)
        _warn(_file_arg(args.inputs[0], 0), result["summary"])
        return 0

    if args.output is not None or args.quarantine is not None:
        parser.error("with --out-dir, use --quarantine-dir instead of -o/-q")
    if "-" in args.inputs:
        parser.error("standard input ('-') can only be repaired with -o OUTPUT")
    if args.blocksize is not None:
        parser.error("--blocksize goes with --scheduler and -o")
    jobs = []
    for path in args.inputs:
        name = os.path.basename(path.rstrip(os.sep)) or path
        quarantine = os.path.join(args.quarantine_dir, name) if args.quarantine_dir is not None else None
        jobs.append((path, os.path.join(args.out_dir, name), quarantine))
    _check_distinct(parser, jobs)
    if args.scheduler is not None and args.jobs is not None:
        parser.error("-j does not apply with --scheduler: the cluster's workers run the batch")
    for directory in (args.out_dir, args.quarantine_dir):
        if directory is not None:
            from . import remote

            try:
                if remote.is_url(directory):
                    remote.makedirs(directory)
                else:
                    os.makedirs(directory, exist_ok=True)
            except (OSError, ImportError) as exc:
                _error(f"cannot create {show_path(directory)}: {getattr(exc, 'strerror', None) or exc}")
                return 1

    if args.scheduler is not None:
        from .dask import run_batch

        results, interrupted = run_batch(jobs, options, scheduler=args.scheduler, caller="repair", elapsed=False)
    else:
        workers = min(args.jobs or os.cpu_count() or 1, len(jobs))
        results, interrupted = _run_batch(jobs, options, workers, progress=sys.stderr.isatty())
    done = [r for r in results if r is not None]
    failed = [r for r in done if r["error"]]
    if args.json:
        import json

        print(json.dumps(done, indent=2))
    else:
        _print_table(done, sys.stdout)
    for result in failed:
        _error(result["error"])
    for result in done:
        _warn(result["input"], result["summary"])
    if interrupted:
        completed = [show_path(r["input"]) for r in done if not r["error"]]
        print(f"{PROG}: interrupted; {len(completed)} of {len(jobs)} files completed"
              + (": " + ", ".join(completed) if completed else ""), file=sys.stderr)
        return 130
    if not args.json:
        print(f"{len(done) - len(failed)} of {len(done)} files repaired"
              + (f", {len(failed)} failed" if failed else ""), file=sys.stderr)
    return 1 if failed else 0


def _wake_workers(pool: concurrent.futures.ThreadPoolExecutor, futures: Dict[Any, int]) -> None:
    """Cut short the system calls of workers that wait on a slow input.

    A worker blocked in open() or read() of a FIFO or a pipe never looks at
    the cancel event; a signal sent to its thread makes the call return
    EINTR, and the engine then sees the event and stops. The signal's
    handler does nothing: it is there only so that the call is interrupted.
    """
    import concurrent.futures
    import signal
    import threading

    wake = getattr(signal, "SIGUSR1", None)
    if wake is None or threading.current_thread() is not threading.main_thread():
        return
    previous = signal.signal(wake, lambda *_: None)
    try:
        while not all(f.done() for f in futures):
            for thread in list(getattr(pool, "_threads", ())):
                if thread.is_alive() and thread.ident is not None:
                    signal.pthread_kill(thread.ident, wake)
            concurrent.futures.wait(futures, timeout=0.05)
    finally:
        signal.signal(wake, previous)


def _run_batch(
    jobs: Sequence[Tuple[str, str, Optional[str]]], options: Dict[str, Any], workers: int, progress: bool
) -> Tuple[List[Optional[Dict[str, Any]]], bool]:
    """Repair every job in worker threads; results in input order, None for jobs never finished.

    Each repair releases the interpreter lock while it works, so threads use
    several cores. On Ctrl-C the pending jobs are cancelled, the running ones
    stopped through their cancel event (their temporary files removed), and
    the results so far returned with interrupted=True.
    """
    import concurrent.futures

    results: List[Optional[Dict[str, Any]]] = [None] * len(jobs)
    bar = _Progress(len(jobs), sys.stderr) if progress else None
    import threading

    cancel = threading.Event()
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=workers, thread_name_prefix="csv-gleave")
    interrupted = False
    try:
        futures = {
            pool.submit(repair_one, inp, out, quar, options, cancel): i for i, (inp, out, quar) in enumerate(jobs)
        }
        pending = set(futures)
        while pending:
            finished, pending = concurrent.futures.wait(
                pending, timeout=0.1, return_when=concurrent.futures.FIRST_COMPLETED
            )
            for future in finished:
                i = futures[future]
                try:
                    results[i] = future.result()
                except _native.Cancelled:
                    continue
                if bar:
                    bar.advance(jobs[i][0])
    except KeyboardInterrupt:
        interrupted = True
        cancel.set()
        for future in futures:
            future.cancel()
        _wake_workers(pool, futures)
        for future, i in futures.items():
            if future.cancelled():
                continue
            try:
                results[i] = future.result()
            except (_native.Cancelled, KeyboardInterrupt):
                pass
    finally:
        pool.shutdown(wait=True)
        if bar:
            bar.finish()
    return results, interrupted


class _Progress:
    """A one-line progress bar, redrawn in place; only used on a terminal."""

    def __init__(self, total: int, stream: TextIO) -> None:
        self.total, self.done, self.stream = total, 0, stream

    def advance(self, label: str) -> None:
        self.done += 1
        width = 30
        filled = width * self.done // self.total
        label = show_path(os.path.basename(label))[:40]
        self.stream.write(f"\r\033[K[{'#' * filled}{'.' * (width - filled)}] {self.done}/{self.total} {label}")
        self.stream.flush()

    def finish(self) -> None:
        self.stream.write("\r\033[K")
        self.stream.flush()


def _print_table(results: Sequence[Dict[str, Any]], out: TextIO) -> None:
    header = ["file", "rows", "kept", "repaired", "quarantined", "delimiter", "columns", "status"]
    keys = ["total_rows", "gleaved_rows", "repaired_rows", "quarantined_rows"]
    table = [header]
    for r in results:
        s = r["summary"]
        if s is None:
            table.append([show_path(r["input"]), "-", "-", "-", "-", "-", "-", "FAILED"])
        else:
            table.append(
                [show_path(r["input"])] + [str(s[k]) for k in keys]
                + [describe_delimiter(s["detected_delimiter"]), str(s["inferred_columns"]), "ok"]
            )
    _print_aligned(table, out, numeric={1, 2, 3, 4, 6})


def _print_aligned(table: Sequence[Sequence[str]], out: TextIO, numeric: Any = (), indent: str = "") -> None:
    widths = [max(len(row[c]) for row in table) for c in range(len(table[0]))]
    for row in table:
        cells = [cell.rjust(w) if c in numeric else cell.ljust(w) for c, (cell, w) in enumerate(zip(row, widths))]
        print((indent + "  ".join(cells)).rstrip(), file=out)


# --------------------------------------------------------------------------
# sniff


def _read_sample(path: str) -> bytes:
    from . import remote

    if path == "-":
        data = sys.stdin.buffer.read(_SNIFF_BYTES)
        more = bool(sys.stdin.buffer.read(1))
    elif remote.is_url(path) and remote.local_path(path) is None:
        fs, name = remote.filesystem(path)
        with fs.open(name, "rb") as handle:
            data = handle.read(_SNIFF_BYTES)
            more = bool(handle.read(1))
    else:
        path = remote.local_path(path) or path
        with builtins.open(path, "rb") as handle:
            data = handle.read(_SNIFF_BYTES)
            more = bool(handle.read(1))
    if more:
        # Drop the partial row at the cut so it does not count as a ragged one.
        cut = max(data.rfind(b"\n"), data.rfind(b"\r"))
        if cut > 0:
            data = data[: cut + 1]
    return data


def _cmd_sniff(args: argparse.Namespace) -> int:
    found: Dict[str, str] = {}
    status = 0
    for path in args.files:
        try:
            found[path] = _native.sniff(_read_sample(path))
        except OSError as exc:
            from . import _is_url

            if _is_url(path):
                from .remote import with_message

                exc = with_message(exc, path)
            _error(describe_error(exc, path))
            status = 1
            continue
        if not args.json:
            print(f"{show_path(path if path != '-' else 0)}: {describe_delimiter(found[path])}")
    if args.json:
        import json

        print(json.dumps({os.fsencode(k).decode("utf-8", "backslashreplace"): v for k, v in found.items()}))
    return status


# --------------------------------------------------------------------------
# inspect

# A row shows at most this many columns; a field at most this many bytes.
_INSPECT_COLUMNS = 50
_INSPECT_FIELD = 200


def _cell(text: str, width: int = 24) -> str:
    text = escape(text)
    return text if len(text) <= width else text[: width - 1] + "…"


# Candidate dialects shown as evidence in the text report.
_INSPECT_CANDIDATES = 5


def _describe_quote(quote: Optional[str]) -> str:
    return "none" if quote is None else escape(quote)


def _print_dialect(dialect: Mapping[str, Any], preamble: Sequence[Mapping[str, Any]], out: TextIO) -> None:
    """How the file was read, and the candidate readings that decided it."""
    header = "yes" if dialect["header"] else "no"
    if dialect["header"] and dialect["header_missing_first"]:
        header += "  (one name short: an unnamed first column)"
    if dialect["header"] and dialect.get("header_rows", 1) > 1:
        header += f"  ({dialect['header_rows']} rows: group labels above the names)"
    lines = dialect["preamble_lines"]
    facts = [
        ["encoding", escape(dialect["encoding"])
         + (f"  ({dialect['replaced_bytes']} bytes replaced)" if dialect["replaced_bytes"] else "")],
        ["quote", _describe_quote(dialect["quote_char"])],
        ["skip blanks", "yes" if dialect["skip_initial_space"] else "no"],
        ["escape", "none (quotes doubled)" if dialect.get("escape_char") is None
         else f"{escape(dialect['escape_char'])} before a quote"],
        ["preamble", f"{lines} line{'s' if lines != 1 else ''}"
         + ("  (a sep= line)" if dialect["sep_line"] else "") + ("  (quarantined)" if lines else "")],
        ["header", header],
    ]
    if dialect["not_a_table"]:
        facts.append(["table", "no: no delimiter cuts the lines at a steady width"])
    if dialect.get("footnote_line"):
        facts.append(["footnotes", f"from line {dialect['footnote_line']} (quarantined)"])
    if not dialect["not_a_table"] and dialect.get("tables", 1) > 1:
        facts.append(["tables", f"{dialect['tables']}: the first is the table; rows from line "
                                f"{dialect['other_table_line']} on are quarantined"])
    print("\nread as:", file=out)
    _print_aligned(facts, out, indent="  ")
    evidence = dialect["evidence"]
    if evidence:
        print(f"\ncandidate dialects ({min(len(evidence), _INSPECT_CANDIDATES)} of {len(evidence)}, "
              "the chosen one first):", file=out)
        table = [["delimiter", "quote", "skip", "width", "steady", "pattern", "types", "score", ""]]
        for e in evidence[:_INSPECT_CANDIDATES]:
            notes = [n for n, flag in (("chosen", e["chosen"]), ("cuts values", e["cuts_values"]),
                                       ("quotes pair up", e["quotes_pair_up"]),
                                       ("escaped quotes", e.get("escape_char") is not None)) if flag]
            table.append([describe_delimiter(e["delimiter"]), _describe_quote(e["quote_char"]),
                          "yes" if e["skip_initial_space"] else "no", str(e["width"]),
                          f"{e['consistency']:.2f}", f"{e['pattern_score']:.2f}", f"{e['type_score']:.2f}",
                          f"{e['score']:.3f}", ", ".join(notes)])
        _print_aligned(table, out, numeric={3, 4, 5, 6, 7}, indent="  ")
    if preamble:
        print("\nlines above the table (quarantined):", file=out)
        for record in preamble:
            print(f"  line {record['line']}: {_cell(record['raw_content'], 60)}", file=out)


def _cmd_inspect(args: argparse.Namespace) -> int:
    options = _options(args)
    source = _file_arg(args.file, 0)
    try:
        found = _inspect(
            source, **options, rows=args.rows, ragged=args.ragged,
            max_columns=_INSPECT_COLUMNS, max_field=_INSPECT_FIELD,
        )
    except (OSError, ValueError, LookupError, MemoryError, ImportError) as exc:
        _error(describe_error(exc, source))
        return 1
    s = found["summary"].to_dict()
    name = show_path(source)
    dialect = found["dialect"]
    _warn(source, s)
    if args.json:
        fields = [row["fields"] for row in found["rows"]]
        report = {"file": name, "summary": s, "dialect": dialect, "preamble": found["preamble"], "rows": fields,
                  "ragged_rows": found["ragged_rows"], "ragged_count": found["ragged_count"]}
        import json

        print(json.dumps(report, indent=2))
        return 0

    out = sys.stdout
    width = s["inferred_columns"]
    facts = [
        ["file", name],
        ["delimiter", describe_delimiter(s["detected_delimiter"])],
        ["columns", f"{width}" + ("  (no width rule)" if width == 0 else "")],
        ["rows read", str(s["total_rows"])],
        ["kept", f"{s['gleaved_rows']}  ({s['repaired_rows']} padded or merged)"],
        ["quarantined", str(s["quarantined_rows"])],
        ["ragged rows", str(found["ragged_count"])],
    ]
    _print_aligned(facts, out)
    _print_dialect(dialect, found["preamble"], out)
    rows = found["rows"]
    if rows:
        print(f"\nfirst {len(rows)} repaired rows:", file=out)
        shown = max(len(row["fields"]) for row in rows)
        more = max(row["width"] for row in rows) > shown
        table = [["#"] + [str(c + 1) for c in range(shown)] + (["…"] if more else [])]
        for i, row in enumerate(rows):
            cells = [_cell(f) for f in row["fields"]] + [""] * (shown - len(row["fields"]))
            if more:
                extra = row["width"] - len(row["fields"])
                cells.append(f"… {extra} more" if extra > 0 else "")
            table.append([str(i + 1)] + cells)
        _print_aligned(table, out, numeric={0}, indent="  ")
    ragged = found["ragged_rows"]
    if ragged and args.ragged:
        print("\nragged rows (line: reason | content as it stands in the input):", file=out)
        for record in ragged:
            # The row's first line, as the quarantine file gives it.
            print(f"  line {record.get('first_line', record['line'])}: {record['reason']} | "
                  f"{_cell(record['raw_content'], 60)}", file=out)
        if found["ragged_count"] > len(ragged):
            print(f"  ... and {found['ragged_count'] - len(ragged)} more (--ragged N to show more)", file=out)
    return 0


# --------------------------------------------------------------------------
# report


def _cmd_report(args: argparse.Namespace) -> int:
    from . import report

    if args.file == "-":
        # The report reads its input more than once: detection, the full pass, the sample.
        _error("report needs a file or URL, not standard input")
        return 2
    options = _options(args)
    extra = {"sample_rows": args.sample} if args.sample else {}
    try:
        report.write_report(args.file, args.output, **options, **extra)
    except (OSError, ValueError, LookupError, MemoryError, ImportError) as exc:
        _error(describe_error(exc, args.file))
        return 1
    print(f"{show_path(args.file)}: report written to {show_path(args.output)}", file=sys.stderr)
    return 0


# --------------------------------------------------------------------------


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        if args.command == "repair":
            return _cmd_repair(args.subparser, args)
        if args.command == "sniff":
            return _cmd_sniff(args)
        if args.command == "report":
            return _cmd_report(args)
        return _cmd_inspect(args)
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of our output went away (e.g. `| head`); that is not an error.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except MemoryError as exc:
        _error(f"out of memory{f' ({exc})' if str(exc) else ''}")
        return 1


if __name__ == "__main__":
    sys.exit(main())
