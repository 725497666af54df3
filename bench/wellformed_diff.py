"""Well-formed UTF-8 corpus files read through the product path (detection)
against the core's fixed four-delimiter reading: lists each file whose rows
differ, with the first differing row in both readings and how each side read
the file.

A file counts as well-formed when it decodes as UTF-8 (a byte-order mark
allowed) and the core reads it with no row repaired or quarantined.

    python bench/wellformed_diff.py [--corpus DIR] [--json OUT]
"""
from __future__ import annotations

import argparse
import json
import os
import sys
from pathlib import Path

import _csv_gleave_backend as core

import csv_gleave

ROOT = Path(__file__).resolve().parent.parent
DEFAULT = next((Path(p) for p in (os.environ.get("GLEAVE_CORPUS", ""), ROOT.parent / "shared" / "corpus",
                                   Path("/work/shared/corpus")) if p and (Path(p) / "MANIFEST.md").exists()), None)


def corpus_files(root: Path):
    return [p for p in sorted(root.rglob("*")) if p.is_file() and p.suffix.lower() not in (".md", ".json")]


def compare(path: Path):
    """None when the file is not well-formed UTF-8 or reads the same; else a dict."""
    data = path.read_bytes()
    try:
        data.decode("utf-8-sig")
    except UnicodeDecodeError:
        return None
    ref = core.open(str(path))
    if ref.summary.repaired_rows or ref.summary.quarantined_rows:
        return None
    expected = list(ref)
    reader = csv_gleave.open(str(path))
    got = list(reader)
    if got == expected:
        return "same"
    s = reader.summary
    k = next((i for i, (a, b) in enumerate(zip(expected, got)) if a != b), min(len(expected), len(got)))
    return {
        "file": str(path),
        "core": {"delimiter": ref.summary.detected_delimiter, "columns": ref.summary.inferred_columns,
                 "rows": len(expected)},
        "product": {"delimiter": s.detected_delimiter, "columns": s.inferred_columns, "rows": len(got),
                    "quote_char": s.quote_char, "skip_initial_space": s.skip_initial_space,
                    "preamble_rows": s.preamble_rows, "blank_rows": s.blank_rows,
                    "repaired_rows": s.repaired_rows, "quarantined_rows": s.quarantined_rows,
                    "encoding": s.encoding},
        "first_difference": k,
        "core_row": expected[k] if k < len(expected) else None,
        "product_row": got[k] if k < len(got) else None,
        "only_blank_rows_dropped": [r for r in expected if r != [""]] == got,
    }


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--corpus", type=Path, default=DEFAULT)
    ap.add_argument("--json", type=Path)
    args = ap.parse_args(argv)
    if args.corpus is None:
        sys.exit("corpus not found: pass --corpus")
    well_formed, diffs = 0, []
    for path in corpus_files(args.corpus):
        result = compare(path)
        if result is None:
            continue
        well_formed += 1
        if result != "same":
            result["file"] = str(path.relative_to(args.corpus))
            diffs.append(result)
    print(f"{well_formed} well-formed UTF-8 files, {len(diffs)} read differently")
    for d in diffs:
        c, p = d["core"], d["product"]
        print(f"\n{d['file']}\n  core    {c}\n  product {p}\n  row {d['first_difference']}:"
              f"\n    core    {d['core_row']!r:.300}\n    product {d['product_row']!r:.300}"
              + ("\n    (only blank rows dropped)" if d["only_blank_rows_dropped"] else ""))
    if args.json:
        args.json.write_text(json.dumps(diffs, indent=1, ensure_ascii=False))


if __name__ == "__main__":
    main()
