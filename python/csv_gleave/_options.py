"""The dialect and repair options, from the one table the native module keeps.

The table is ``bindings/kit/options.def``: the keyword lists and the signature
lines of the native functions and the attributes of ``detect()``'s result are
made from it in C++, the CLI's flags are made from it here
(:mod:`csv_gleave.cli`), ``scripts/stub-options.py`` writes the options'
lines of ``_native.pyi``, and tests check the stub and the functions'
signatures against it. A new option is a line there, not
an edit here.
"""

from __future__ import annotations

from typing import Dict, NamedTuple, Tuple

from . import _native


class Option(NamedTuple):
    """One dialect or repair option."""

    name: str
    kind: str  # how a value is converted: Delimiter, Quote, CharOrNone, Switch, ...
    positional: bool  # taken by position too, after the paths, by the functions that repair
    repair_only: bool  # not taken by detect()
    flags: Tuple[str, ...]  # the CLI's flags
    metavar: str  # the CLI's name for the value ("" for a switch)
    help: str  # the CLI's help
    field: str  # the attribute of detect()'s result that holds it (of an option detect() takes)


OPTIONS: Tuple[Option, ...] = tuple(
    Option(name, kind, positional, repair_only, tuple(flags.split()), metavar, help, field)
    for name, kind, positional, repair_only, flags, metavar, help, field in _native.OPTIONS
)

# The options that say how to read a file, which detect() takes too.
DETECT_OPTIONS: Tuple[str, ...] = tuple(o.name for o in OPTIONS if not o.repair_only)

# How each kind is written in a stub: its annotation and its default. A
# quote-like option left out is detected (the ``...`` default); None means
# "none of it".
STUB_TYPES: Dict[str, Tuple[str, str]] = {
    "Delimiter": ("str | None", "None"),
    "Quote": ("_Quote", "..."),
    "CharOrNone": ("_Quote", "..."),
    "Switch": ("bool", "True"),
    "MaybeSwitch": ("bool | None", "None"),
    "MaybeCount": ("int | None", "None"),
    "Width": ("int | None", "None"),
    "Encoding": ("str | None", "None"),
}
