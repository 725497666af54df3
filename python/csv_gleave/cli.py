"""The ``csv-gleave`` command line: repair, sniff and inspect damaged CSV files.

Exit codes: 0 success, 1 a file could not be read or written, 2 usage error.
Human-readable reports go to stderr (``repair``) or stdout (``sniff``,
``inspect``, the batch table); ``--json`` puts machine-readable output on
stdout.
"""

from __future__ import annotations

import argparse
import builtins
import concurrent.futures
import csv
import json
import os
import shutil
import sys
import tempfile
from typing import Any, Dict, List, Optional, Sequence, TextIO, Tuple

import _csv_gleave_backend as backend

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


def _quote_arg(text: str) -> str:
    if len(text) != 1 or not text.isascii():
        raise argparse.ArgumentTypeError(f"expected one ASCII character, got {text!r}")
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


def _repair_options_parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    group = common.add_argument_group("repair options")
    group.add_argument(
        "-d", "--delimiter", type=_delimiter_arg, metavar="D",
        help="field delimiter: one character or comma, semicolon, tab, pipe, space, colon (default: detected)",
    )
    group.add_argument("--quote-char", type=_quote_arg, default='"', metavar="Q", help='quote character (default: ")')
    group.add_argument(
        "--columns", type=_count_arg(0), metavar="N",
        help="expected number of columns (default: inferred; 0 keeps every row as it is)",
    )
    group.add_argument("--no-fill", action="store_true", help="quarantine short rows instead of padding them")
    group.add_argument(
        "--no-merge", action="store_true",
        help="quarantine long rows instead of folding surplus fields into the last column",
    )
    group.add_argument("--no-repair-quotes", action="store_true", help="do not mend stray quotes inside quoted fields")
    return common


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Rescue damaged CSV files that strict readers reject: pad short rows, fold long ones, "
        "mend stray quotes and set aside what cannot be mended.",
        epilog=f"Run '{PROG} COMMAND --help' for the options of a command.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {backend.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    common = _repair_options_parser()

    repair = commands.add_parser(
        "repair", parents=[common], help="write a repaired copy of one or more CSV files",
        description="Repair one file (-o OUTPUT) or many (--out-dir DIR, in parallel worker processes).",
    )
    repair.add_argument("inputs", nargs="+", metavar="INPUT", help="CSV file(s) to repair")
    repair.add_argument("-o", "--output", metavar="OUTPUT", help="repaired file (one input only)")
    repair.add_argument("-q", "--quarantine", metavar="QUARANTINE", help="file for rows set aside (one input only)")
    repair.add_argument("--out-dir", metavar="DIR", help="write each repaired file into DIR under its own name")
    repair.add_argument(
        "--quarantine-dir", metavar="DIR", help="with --out-dir: write each quarantine file into DIR under its input's name"
    )
    repair.add_argument(
        "-j", "--jobs", type=_count_arg(1), metavar="N",
        help="worker processes for several inputs (default: number of CPUs)",
    )
    repair.add_argument("--json", action="store_true", help="print the summary as JSON on stdout")
    repair.set_defaults(subparser=repair)

    sniff = commands.add_parser(
        "sniff", help="print the detected delimiter of each file",
        description="Detect the delimiter of each file from its first rows.",
    )
    sniff.add_argument("files", nargs="+", metavar="FILE")
    sniff.add_argument("--json", action="store_true", help="print {file: delimiter} as JSON on stdout")

    inspect = commands.add_parser(
        "inspect", parents=[common], help="diagnose a file: layout, counts, first rows, ragged rows",
        description="Show what a repair would find: delimiter, width, counts, the first repaired rows "
        "and every row whose width is off, with its line number.",
    )
    inspect.add_argument("file", metavar="FILE")
    inspect.add_argument("--rows", type=_count_arg(0), default=10, metavar="N", help="repaired rows to show (default 10)")
    inspect.add_argument(
        "--ragged", type=_count_arg(0), default=20, metavar="N", help="ragged rows to list (default 20)"
    )
    inspect.add_argument("--json", action="store_true", help="print the diagnosis as JSON on stdout")
    return parser


def _options(args: argparse.Namespace) -> Dict[str, Any]:
    return {
        "delimiter": args.delimiter,
        "quote_char": args.quote_char,
        "fill_ragged_rows": not args.no_fill,
        "merge_overflow": not args.no_merge,
        "expected_columns": args.columns,
        "repair_quotes": not args.no_repair_quotes,
    }


def _error(message: str) -> None:
    print(f"{PROG}: error: {message}", file=sys.stderr)


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.abspath(a) == os.path.abspath(b)


# --------------------------------------------------------------------------
# repair


def _blame(input_path: str, output_path: str, quarantine_path: Optional[str]) -> str:
    """Which path most likely caused an OSError (the native message names none)."""
    if not os.path.isfile(input_path) or not os.access(input_path, os.R_OK):
        return input_path
    for path in (output_path, quarantine_path):
        if path is None:
            continue
        parent = os.path.dirname(path) or "."
        if os.path.isdir(path) or not os.path.isdir(parent) or not os.access(parent, os.W_OK):
            return path
        if os.path.exists(path) and not os.access(path, os.W_OK):
            return path
    return input_path


def repair_one(
    input_path: str, output_path: str, quarantine_path: Optional[str], options: Dict[str, Any]
) -> Dict[str, Any]:
    """Repair one file; never raises. Runs in a worker process for batches."""
    result: Dict[str, Any] = {
        "input": input_path, "output": output_path, "quarantine": quarantine_path, "summary": None, "error": None,
    }
    try:
        summary = backend.gleave_file(input_path, output_path, quarantine_path, **options)
    except OSError as exc:
        result["error"] = f"{_blame(input_path, output_path, quarantine_path)}: {exc}"
    except Exception as exc:  # anything else is a fault, but must not stop a batch
        result["error"] = f"{input_path}: {type(exc).__name__}: {exc}"
    else:
        result["summary"] = summary.to_dict()
    return result


def _summary_lines(result: Dict[str, Any]) -> List[str]:
    s = result["summary"]
    quarantined = str(s["quarantined_rows"])
    if result["quarantine"] is not None:
        quarantined += f"  -> {result['quarantine']}"
    elif s["quarantined_rows"]:
        quarantined += "  (dropped: give -q FILE to keep them)"
    return [
        f"{result['input']} -> {result['output']}",
        f"  delimiter    {describe_delimiter(s['detected_delimiter'])}",
        f"  columns      {s['inferred_columns']}",
        f"  rows read    {s['total_rows']}",
        f"  kept         {s['gleaved_rows']}",
        f"  repaired     {s['repaired_rows']}",
        f"  quarantined  {quarantined}",
    ]


def _check_distinct(parser: argparse.ArgumentParser, pairs: Sequence[Tuple[str, Optional[str], Optional[str]]]) -> None:
    seen: Dict[str, str] = {}
    for input_path, output_path, quarantine_path in pairs:
        for target in (output_path, quarantine_path):
            if target is None:
                continue
            if _same_file(input_path, target):
                parser.error(f"{target} would overwrite its own input; choose another output")
            key = os.path.abspath(target)
            if key in seen:
                what = "the output and the quarantine" if seen[key] == input_path else f"{seen[key]} and {input_path}"
                parser.error(f"{what} would both be written to {target}")
            seen[key] = input_path


def _cmd_repair(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    options = _options(args)
    if args.out_dir is None:
        if args.output is None:
            parser.error("give -o OUTPUT for one input, or --out-dir DIR for several")
        if len(args.inputs) > 1:
            parser.error("-o takes exactly one input; use --out-dir DIR for several")
        if args.quarantine_dir is not None:
            parser.error("--quarantine-dir goes with --out-dir; use -q FILE for one input")
        _check_distinct(parser, [(args.inputs[0], args.output, args.quarantine)])
        result = repair_one(args.inputs[0], args.output, args.quarantine, options)
        if result["error"]:
            _error(result["error"])
            return 1
        if args.json:
            print(json.dumps(result["summary"]))
        else:
            print("\n".join(_summary_lines(result)), file=sys.stderr)
        return 0

    if args.output is not None or args.quarantine is not None:
        parser.error("with --out-dir, use --quarantine-dir instead of -o/-q")
    jobs = []
    for path in args.inputs:
        name = os.path.basename(path.rstrip(os.sep)) or path
        quarantine = os.path.join(args.quarantine_dir, name) if args.quarantine_dir is not None else None
        jobs.append((path, os.path.join(args.out_dir, name), quarantine))
    _check_distinct(parser, jobs)
    for directory in (args.out_dir, args.quarantine_dir):
        if directory is not None:
            try:
                os.makedirs(directory, exist_ok=True)
            except OSError as exc:
                _error(f"cannot create {directory}: {exc.strerror or exc}")
                return 1

    workers = min(args.jobs or os.cpu_count() or 1, len(jobs))
    results = _run_batch(jobs, options, workers, progress=sys.stderr.isatty())
    failed = [r for r in results if r["error"]]
    if args.json:
        print(json.dumps(results, indent=2))
    else:
        _print_table(results, sys.stdout)
    for result in failed:
        _error(result["error"])
    if not args.json:
        print(f"{len(results) - len(failed)} of {len(results)} files repaired"
              + (f", {len(failed)} failed" if failed else ""), file=sys.stderr)
    return 1 if failed else 0


def _run_batch(
    jobs: Sequence[Tuple[str, str, Optional[str]]], options: Dict[str, Any], workers: int, progress: bool
) -> List[Dict[str, Any]]:
    """Repair every job, in worker processes when workers > 1; results in input order.

    The native repair holds the interpreter lock for a whole file, so threads
    would run one at a time: separate processes are what use several cores.
    """
    results: List[Optional[Dict[str, Any]]] = [None] * len(jobs)
    bar = _Progress(len(jobs), sys.stderr) if progress else None
    if workers <= 1:
        for i, (inp, out, quar) in enumerate(jobs):
            results[i] = repair_one(inp, out, quar, options)
            if bar:
                bar.advance(inp)
    else:
        with concurrent.futures.ProcessPoolExecutor(max_workers=workers) as pool:
            futures = {pool.submit(repair_one, inp, out, quar, options): i for i, (inp, out, quar) in enumerate(jobs)}
            for future in concurrent.futures.as_completed(futures):
                i = futures[future]
                try:
                    results[i] = future.result()
                except Exception as exc:  # a worker that died (e.g. killed) takes its job with it
                    inp, out, quar = jobs[i]
                    results[i] = {
                        "input": inp, "output": out, "quarantine": quar, "summary": None,
                        "error": f"{inp}: worker process failed: {type(exc).__name__}: {exc}",
                    }
                if bar:
                    bar.advance(jobs[i][0])
    if bar:
        bar.finish()
    return [r for r in results if r is not None]


class _Progress:
    """A one-line progress bar, redrawn in place; only used on a terminal."""

    def __init__(self, total: int, stream: TextIO) -> None:
        self.total, self.done, self.stream = total, 0, stream

    def advance(self, label: str) -> None:
        self.done += 1
        width = 30
        filled = width * self.done // self.total
        label = os.path.basename(label)[:40]
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
            table.append([r["input"], "-", "-", "-", "-", "-", "-", "FAILED"])
        else:
            table.append(
                [r["input"]] + [str(s[k]) for k in keys]
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


def _read_sample(path: str) -> str:
    with builtins.open(path, "rb") as handle:
        data = handle.read(_SNIFF_BYTES)
        if handle.read(1):
            # Drop the partial row at the cut so it does not count as a ragged one.
            cut = max(data.rfind(b"\n"), data.rfind(b"\r"))
            if cut > 0:
                data = data[: cut + 1]
    return data.decode("utf-8", errors="replace")


def _cmd_sniff(args: argparse.Namespace) -> int:
    found: Dict[str, str] = {}
    status = 0
    for path in args.files:
        try:
            found[path] = backend.sniff(_read_sample(path))
        except OSError as exc:
            _error(f"{path}: {exc.strerror or exc}")
            status = 1
            continue
        if not args.json:
            print(f"{path}: {describe_delimiter(found[path])}")
    if args.json:
        print(json.dumps(found))
    return status


# --------------------------------------------------------------------------
# inspect


def _ragged_rows(path: str, summary: Any, options: Dict[str, Any]) -> List[Dict[str, Any]]:
    """Every row whose width is off, from a pass that mends nothing.

    The pass writes its quarantine file into a temporary directory. Each
    record's line number is the line after the row, so the row's own last
    line is one less; a final row without a line break would break that
    rule, so such a file is given a trailing line break in a temporary copy.
    """
    options = dict(
        options,
        delimiter=summary.detected_delimiter,
        expected_columns=summary.inferred_columns,
        fill_ragged_rows=False,
        merge_overflow=False,
    )
    with tempfile.TemporaryDirectory(prefix="csv-gleave-") as tmp:
        source = path
        with builtins.open(path, "rb") as handle:
            handle.seek(0, os.SEEK_END)
            if handle.tell():
                handle.seek(-1, os.SEEK_END)
                if handle.read(1) not in (b"\n", b"\r"):
                    source = os.path.join(tmp, "input.csv")
                    shutil.copyfile(path, source)
                    with builtins.open(source, "ab") as copy:
                        copy.write(b"\n")
        quarantine = os.path.join(tmp, "quarantine.csv")
        backend.gleave_file(source, os.devnull, quarantine, **options)
        csv.field_size_limit(sys.maxsize)
        with builtins.open(quarantine, newline="", encoding="utf-8") as handle:
            records = list(csv.reader(handle))[1:]
    return [{"line": int(line) - 1, "reason": reason, "raw_content": raw} for line, reason, raw in records]


def _cell(text: str, width: int = 24) -> str:
    text = text.replace("\r", "\\r").replace("\n", "\\n").replace("\t", "\\t")
    return text if len(text) <= width else text[: width - 1] + "…"


def _cmd_inspect(args: argparse.Namespace) -> int:
    options = _options(args)
    try:
        reader = backend.GleaveReader(args.file, **options)
        summary = reader.summary
        rows = [row for _, row in zip(range(args.rows), reader)]
        ragged = _ragged_rows(args.file, summary, options)
    except (OSError, MemoryError) as exc:
        _error(f"{args.file}: {exc}")
        return 1
    s = summary.to_dict()
    if args.json:
        print(json.dumps({"file": args.file, "summary": s, "rows": rows, "ragged_rows": ragged}, indent=2))
        return 0

    out = sys.stdout
    width = s["inferred_columns"]
    facts = [
        ["file", args.file],
        ["delimiter", describe_delimiter(s["detected_delimiter"])],
        ["columns", f"{width}" + ("  (no width rule)" if width == 0 else "")],
        ["rows read", str(s["total_rows"])],
        ["kept", f"{s['gleaved_rows']}  ({s['repaired_rows']} padded or merged)"],
        ["quarantined", str(s["quarantined_rows"])],
        ["ragged rows", str(len(ragged))],
    ]
    _print_aligned(facts, out)
    if rows:
        print(f"\nfirst {len(rows)} repaired rows:", file=out)
        shown = max(len(row) for row in rows)
        table = [["#"] + [str(c + 1) for c in range(shown)]]
        table += [[str(i + 1)] + [_cell(f) for f in row] + [""] * (shown - len(row)) for i, row in enumerate(rows)]
        _print_aligned(table, out, numeric={0}, indent="  ")
    if ragged and args.ragged:
        print(f"\nragged rows (line: reason | content as parsed, fields joined by the delimiter):", file=out)
        for record in ragged[: args.ragged]:
            reason = record["reason"]
            print(f"  line {record['line']}: {reason} | {_cell(record['raw_content'], 60)}", file=out)
        if len(ragged) > args.ragged:
            print(f"  ... and {len(ragged) - args.ragged} more (--ragged N to show more, --json for all)", file=out)
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
        return _cmd_inspect(args)
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader of our output went away (e.g. `| head`); that is not an error.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0


if __name__ == "__main__":
    sys.exit(main())
