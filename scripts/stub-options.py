"""Writes the option parameters of python/csv_gleave/_native.pyi from the option table.

Every function that takes the dialect and repair options lists them in the
stub, some by position after their paths and the rest by keyword; and the
options detect() takes are attributes of its result (Dialect). Those lines
are made here from the table (csv_gleave._options, read from the built
module) so that a new option in bindings/kit/options.def reaches the stub by
running this script:

    python scripts/stub-options.py          rewrites the stub
    python scripts/stub-options.py --check  exits 1 when the stub is stale

Each run of option parameters in a signature is rewritten in place: before
``*`` with the options taken by position, after it with the rest (all of a
function's options when it takes them by keyword only; only those detect()
takes when no repair-only option is among them). Dialect's constructor and
properties follow the runtime signature of csv_gleave.Dialect, keeping the
lines already written and writing those of new option attributes.
"""

from __future__ import annotations

import inspect
import re
import sys
from pathlib import Path
from typing import Dict, List, Sequence

from csv_gleave import _native
from csv_gleave._options import OPTIONS, STUB_TYPES, Option

STUB = Path(__file__).resolve().parent.parent / "python" / "csv_gleave" / "_native.pyi"
BY_NAME = {o.name: o for o in OPTIONS}
# An option's type as detect()'s result holds it (the value detection settled).
ATTRIBUTE_TYPES = {"Delimiter": "str", "Quote": "str | None", "CharOrNone": "str | None",
                   "MaybeSwitch": "bool", "MaybeCount": "int", "Width": "int", "Encoding": "str"}
PARAM = re.compile(r"^(\s+)(\w+):")
# An option parameter of a signature: an option always has a default.
OPTION_PARAM = re.compile(r"^(\s+)(\w+): .* = .*,$")


def option_line(indent: str, option: Option) -> str:
    annotation, default = STUB_TYPES[option.kind]
    return f"{indent}{option.name}: {annotation} = {default},"


def rewrite_run(run: List[str], positional: bool, keyword_only: bool) -> List[str]:
    """The lines of one run of option parameters, rewritten from the table."""
    indent = PARAM.match(run[0]).group(1)
    names = {PARAM.match(line).group(2) for line in run}
    for_detect = not any(BY_NAME[n].repair_only for n in names)
    chosen = [o for o in OPTIONS if not (for_detect and o.repair_only)]
    if not keyword_only:
        chosen = [o for o in chosen if o.positional == positional]
    return [option_line(indent, o) for o in chosen]


def rewrite_signatures(lines: Sequence[str]) -> List[str]:
    out: List[str] = []
    run: List[str] = []
    positional = True  # no bare * seen yet in this signature
    keyword_only = False  # the signature's * comes before its first option
    seen_option = False

    def flush() -> None:
        nonlocal seen_option
        if run:
            out.extend(rewrite_run(run, positional, keyword_only))
            run.clear()
            seen_option = True

    in_dialect = False  # its attributes are rewritten by rewrite_dialect
    for line in lines:
        match = OPTION_PARAM.match(line)
        if match and match.group(2) in BY_NAME and not in_dialect:
            run.append(line)
            continue
        flush()
        stripped = line.strip()
        if line and not line[0].isspace():
            in_dialect = line == "class Dialect:"
        if stripped.startswith(("def ", "class ")):
            positional, keyword_only, seen_option = True, False, False
        elif stripped == "*,":
            positional, keyword_only = False, not seen_option
        out.append(line)
    flush()
    return out


def rewrite_dialect(lines: List[str]) -> List[str]:
    """Dialect's constructor parameters and properties, in the runtime order."""
    start = lines.index("class Dialect:")
    new_at = next(i for i in range(start, len(lines)) if lines[i].strip() == "def __new__(")
    params_end = next(i for i in range(new_at, len(lines)) if lines[i].strip().startswith(") ->"))
    params: Dict[str, str] = {}
    for line in lines[new_at + 2:params_end]:
        params[PARAM.match(line).group(2)] = line
    props_start = params_end + 1
    props_end = props_start
    properties: Dict[str, List[str]] = {}
    while lines[props_end].strip() == "@property":
        name = re.search(r"def (\w+)\(", lines[props_end + 1]).group(1)
        properties[name] = lines[props_end:props_end + 2]
        props_end += 2
    fields = {o.field: o for o in OPTIONS if not o.repair_only}
    signature = inspect.signature(_native.Dialect)
    new_params: List[str] = []
    new_props: List[str] = []
    for name, p in signature.parameters.items():
        kind = ATTRIBUTE_TYPES[fields[name].kind] if name in fields else None
        if name not in params:
            default = "" if p.default is inspect.Parameter.empty else f" = {p.default!r}"
            new_params.append(f"        {name}: {kind}{default},")
        else:
            new_params.append(params[name])
        new_props.extend(properties.get(name) or ["    @property", f"    def {name}(self) -> {kind}: ..."])
    return lines[:new_at + 2] + new_params + lines[params_end:props_start] + new_props + lines[props_end:]


def render(text: str) -> str:
    lines = rewrite_signatures(text.split("\n"))
    return "\n".join(rewrite_dialect(lines))


def main(argv: Sequence[str]) -> int:
    text = STUB.read_text()
    made = render(text)
    if "--check" in argv:
        if made != text:
            print(f"{STUB} is stale: run python scripts/stub-options.py", file=sys.stderr)
            return 1
        return 0
    if made != text:
        STUB.write_text(made)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
