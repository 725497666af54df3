"""The dialect and repair options have one table: the native functions' keyword
lists and signature lines, the CLI's flags and _native.pyi must all follow it."""

import ast
import importlib.util
import inspect
import re
from pathlib import Path

import pytest

from csv_gleave import _native, cli
from csv_gleave._options import OPTIONS, STUB_TYPES

STUB = Path(_native.__file__).with_name("_native.pyi")
ROOT = Path(__file__).resolve().parents[2]
MAKER = ROOT / "scripts" / "stub-options.py"
# Each callable that takes options, with whether they are keyword-only and
# whether it is detect(), which takes only the options that do not repair.
CALLABLES = {
    "gleave_file": (False, False), "open": (False, False), "GleaveReader": (False, False),
    "inspect": (False, False), "arrow_stream": (True, False), "detect": (True, True),
}
# A value of each kind that asks for nothing unusual.
PLAIN = {"Delimiter": ",", "Quote": '"', "CharOrNone": None, "Switch": True, "MaybeSwitch": None,
         "MaybeCount": None, "Width": None, "Encoding": "utf-8"}


def expected(name):
    keyword_only, for_detect = CALLABLES[name]
    return [o for o in OPTIONS if not (for_detect and o.repair_only)], keyword_only


def option_params(params, names):
    return [p for p in params if p in names]


@pytest.mark.parametrize("name", CALLABLES)
def test_runtime_signatures_follow_the_table(name):
    options, keyword_only = expected(name)
    params = inspect.signature(getattr(_native, name)).parameters
    table = [o.name for o in options]
    assert option_params(params, set(table)) == table
    assert not set(o.name for o in OPTIONS) - set(table) & set(params)
    for o in options:
        kind = inspect.Parameter.KEYWORD_ONLY if keyword_only or not o.positional else \
            inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert params[o.name].kind == kind, o.name
        default = params[o.name].default
        assert (str(default) if default is not Ellipsis else "...") == STUB_TYPES[o.kind][1], o.name


def stub_params(name):
    """The stub's parameters of a function (or a class's __new__): name -> (arg, default, keyword-only)."""
    tree = ast.parse(STUB.read_text())
    node = next(n for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef)) and n.name == name)
    if isinstance(node, ast.ClassDef):
        node = next(n for n in node.body if isinstance(n, ast.FunctionDef) and n.name == "__new__")
    args = node.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + args.defaults
    out = {a.arg: (a, d, False) for a, d in zip(positional, defaults)}
    out.update({a.arg: (a, d, True) for a, d in zip(args.kwonlyargs, args.kw_defaults)})
    return out


@pytest.mark.parametrize("name", CALLABLES)
def test_stub_follows_the_table(name):
    options, keyword_only = expected(name)
    params = stub_params(name)
    table = [o.name for o in options]
    assert option_params(params, set(table)) == table
    for o in options:
        arg, default, is_keyword_only = params[o.name]
        assert is_keyword_only == (keyword_only or not o.positional), o.name
        assert (ast.unparse(arg.annotation), ast.unparse(default)) == STUB_TYPES[o.kind], o.name


@pytest.mark.parametrize("name", ["detect", "arrow_stream", "open"])
def test_every_option_is_taken_by_keyword(tmp_path, name):
    path = tmp_path / "in.csv"
    path.write_text("a,b\n1,2\n")
    options, _ = expected(name)
    getattr(_native, name)(str(path), **{o.name: PLAIN[o.kind] for o in options})


def stub_maker():
    spec = importlib.util.spec_from_file_location("stub_options", MAKER)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.skipif(not MAKER.exists(), reason="the stub maker lives in the source tree")
@pytest.mark.parametrize("option", OPTIONS, ids=lambda o: o.name)
def test_stub_is_made_from_the_table(option):
    # The stub is what the maker writes, and the maker writes every line of
    # an option, in its place, into a stub that lacks them: a new option in
    # the table reaches the stub by running it.
    text = (ROOT / "python" / "csv_gleave" / "_native.pyi").read_text()
    render = stub_maker().render
    assert render(text) == text
    names = {option.name} | ({option.field} if not option.repair_only else set())
    param = re.compile(r"^\s+(NAME):.*,$".replace("NAME", "|".join(names)))
    prop = re.compile(r"^    def (NAME)\(self\)".replace("NAME", "|".join(names)))
    lines, kept, in_dialect = text.split("\n"), [], False
    for i, line in enumerate(lines):
        if line and not line[0].isspace():
            in_dialect = line == "class Dialect:"
        dialect_prop = in_dialect and (prop.match(line) or (line == "    @property" and prop.match(lines[i + 1])))
        if not (param.match(line) or dialect_prop):
            kept.append(line)
    assert len(kept) < len(lines)
    assert render("\n".join(kept)) == text


# A value of each kind that detection would not settle on its own.
GIVEN = {"Delimiter": ";", "Quote": "'", "CharOrNone": "~", "MaybeSwitch": True, "MaybeCount": 1,
         "Width": 3, "Encoding": "utf-8"}


@pytest.mark.parametrize("option", [o for o in OPTIONS if not o.repair_only], ids=lambda o: o.name)
def test_detect_result_and_doc_follow_the_table(option):
    # Each option detect() takes is named in its doc, is an attribute of its
    # result and a parameter of Dialect(), and comes back as it was given.
    assert option.name in _native.detect.__doc__
    assert option.field in inspect.signature(_native.Dialect).parameters
    value = GIVEN[option.kind]
    assert getattr(_native.detect(b"a;b\n1;2\n3;4\n", **{option.name: value}), option.field) == value


def test_cli_flags_follow_the_table():
    group = next(g for g in cli._repair_options_parser()._action_groups if g.title == "repair options")
    flags = {a.dest: a.option_strings for a in group._group_actions if a.dest != "force"}
    assert list(flags) == [o.name for o in OPTIONS]
    for o in OPTIONS:
        assert set(o.flags) <= set(flags[o.name]), o.name


@pytest.mark.parametrize("argv, given", [
    ([], {}),
    (["--no-fill", "--no-merge", "--no-repair-quotes"],
     {"fill_ragged_rows": False, "merge_overflow": False, "repair_quotes": False}),
    (["-d", "tab", "--quote-char", "none", "--escape-char", "\\", "--comment-char", "none"],
     {"delimiter": "\t", "quote_char": None, "escape_char": "\\", "comment_char": None}),
    (["--skip-initial-space", "--preamble-lines", "2", "--columns", "0", "--encoding", "latin-1"],
     {"skip_initial_space": True, "preamble_lines": 2, "expected_columns": 0, "encoding": "latin-1"}),
    (["--no-skip-initial-space"], {"skip_initial_space": False}),
])
def test_cli_flags_reach_the_functions(argv, given):
    args = cli.build_parser().parse_args(["repair", "in.csv", "-o", "out.csv", *argv])
    defaults = {o.name: True for o in OPTIONS if o.kind == "Switch"}
    assert cli._options(args) == {"allow_binary": False, **defaults, **given}


@pytest.mark.parametrize("options, error", [
    ({"delimiter": '"', "quote_char": None}, None),  # no quoting: the quote cannot clash
    ({"delimiter": ";", "quote_char": ";"}, "delimiter and quote_char must differ"),
    ({"delimiter": ";", "escape_char": ";"}, "escape_char must differ"),
    ({"quote_char": "'", "comment_char": "'"}, "comment_char must differ"),
    # A given escape is checked against the given parts only: the quote, not
    # the byte that stands in for an unknown delimiter.
    ({"quote_char": "]", "escape_char": "\\"}, None),
    ({"delimiter": ";", "quote_char": "]", "escape_char": "]"}, "escape_char must differ"),
    # Without quoting an escape means nothing, and nothing clashes with it.
    ({"delimiter": ";", "quote_char": None, "escape_char": ";"}, None),
])
def test_options_are_checked_together(options, error):
    text = b'a"b\n1"2\n3"4\n'
    if error is None:
        assert _native.detect(text, **options).delimiter == options.get("delimiter", ",")
    else:
        with pytest.raises(ValueError, match=error):
            _native.detect(text, **options)
