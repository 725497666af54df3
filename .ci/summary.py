"""Sums up a CI run in one line from the stages' logs: per stage its status,
the tests passed, failed and skipped by each runner, and the fuzz executions.

    python3 summary.py LOG_DIR SECONDS NAME=EXIT_CODE...
"""
import re
import sys
from pathlib import Path

CTEST = re.compile(r"^\d+% tests passed(?:, (\d+) tests? failed)? out of (\d+)")
CTEST_SKIPPED = re.compile(r"^\s*\d+ - .* \((Skipped|Disabled)\)\s*$")
PYTEST = re.compile(r"^=*\s*((?:\d+ \w+(?:, )?)+|no tests ran) in [\d.]+s\b.*$")
PYTEST_COUNT = re.compile(r"(\d+) (\w+)")
FUZZ = re.compile(r"^fuzz_(\w+)\s+(\d+|\?) executions")


def runners(lines):
    """[runner, passed, failed, skipped] for each test run, in order."""
    found = []
    ctest = None  # ctest lists the tests that did not run after its closing line
    for line in lines:
        if m := CTEST.match(line):
            failed, total = int(m[1] or 0), int(m[2])
            ctest = ["ctest", total - failed, failed, 0]
            found.append(ctest)
        elif ctest and CTEST_SKIPPED.match(line):
            ctest[1] -= 1
            ctest[3] += 1
        elif m := PYTEST.match(line):
            counts = {}
            for n, what in PYTEST_COUNT.findall(m[1]):
                counts[what.rstrip("s") if what.startswith("error") else what] = int(n)
            found.append(["pytest", counts.get("passed", 0),
                          counts.get("failed", 0) + counts.get("error", 0), counts.get("skipped", 0)])
            ctest = None
    return found


def main():
    logs, seconds, results = Path(sys.argv[1]), int(sys.argv[2]), sys.argv[3:]
    parts = []
    for item in results:
        name, code = item.rsplit("=", 1)
        log = logs / f"{name}.log"
        lines = log.read_text(errors="replace").splitlines() if log.exists() else []
        state = "passed" if code == "0" else f"FAILED (exit {code})"
        details = [f"{r} {p} passed, {f} failed, {s} skipped" for r, p, f, s in runners(lines)]
        fuzz = [f"{t} {n}" for line in lines if (m := FUZZ.match(line)) for t, n in [m.groups()]]
        if fuzz:
            details.append(", ".join(fuzz) + " executions")
        parts.append(f"{name} {state}" + (f" ({'; '.join(details)})" if details else ""))
    shots = sorted(p.name for p in logs.glob("*.png"))
    if shots:
        parts.append("screenshots " + ", ".join(str(logs / name) for name in shots))
    ok = all(item.rsplit("=", 1)[1] == "0" for item in results)
    verdict = "passed" if ok else "FAILED"
    print(f"CI {verdict} in {seconds // 60}m{seconds % 60:02d}s: " + " | ".join(parts))


if __name__ == "__main__":
    main()
