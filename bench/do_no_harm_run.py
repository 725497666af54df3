"""The do-no-harm property's long run: tests/python/test_do_no_harm.py's
generator and check, called directly for N cases (no Hypothesis, no
processes), one case per seed so that any failure can be replayed alone.

    python bench/do_no_harm_run.py 1000000 [--start 0] [--seconds S] [--failures failures.jsonl]
    python bench/do_no_harm_run.py --replay SEED
"""
from __future__ import annotations

import argparse
import importlib.util
import json
import random
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def load_property():
    spec = importlib.util.spec_from_file_location("test_do_no_harm", ROOT / "tests" / "python" / "test_do_no_harm.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("cases", type=int, nargs="?", default=10000)
    ap.add_argument("--start", type=int, default=0, help="the first seed")
    ap.add_argument("--seconds", type=float, help="stop after this long, reporting the cases run")
    ap.add_argument("--failures", type=Path, help="append each failure as a JSON line")
    ap.add_argument("--replay", type=int, help="run the one case of this seed and show it")
    args = ap.parse_args(argv)
    prop = load_property()
    with tempfile.TemporaryDirectory() as tmp:
        path = str(Path(tmp) / "case.csv")
        if args.replay is not None:
            case = prop.make_case(random.Random(args.replay))
            print(repr(prop.written(case[0], case[1])))
            print("identified:", prop.check(case, path))
            return 0
        checked = skipped = failed = done = 0
        t0 = time.perf_counter()
        for n in range(args.start, args.start + args.cases):
            if args.seconds and done % 1000 == 0 and time.perf_counter() - t0 > args.seconds:
                break
            done += 1
            case = prop.make_case(random.Random(n))
            try:
                ok = prop.check(case, path)
            except AssertionError as exc:
                failed += 1
                line = {"seed": n, "text": prop.written(case[0], case[1]), "error": str(exc)[:500]}
                print(f"FAIL seed={n}: {line['text'][:200]!r}", file=sys.stderr)
                if args.failures:
                    with args.failures.open("a") as f:
                        f.write(json.dumps(line) + "\n")
                continue
            checked += ok is True
            skipped += ok is None
            if done % 10000 == 0:
                rate = done / (time.perf_counter() - t0)
                print(f"{done} cases, {checked} checked, {skipped} not identifying, {failed} failed, "
                      f"{rate:.0f} cases/s", file=sys.stderr, flush=True)
        seconds = time.perf_counter() - t0
    print(f"{done} cases (seeds {args.start} to {args.start + done - 1}): {checked} checked, {skipped} not identifying their "
          f"table (skipped), {failed} failed; {seconds:.0f} s, {done / seconds:.0f} cases/s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
