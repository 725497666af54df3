"""Build hooks: the benchmark page is made from the results the benchmarks wrote."""

import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parents[1]
INCLUDE = re.compile(r"^<!-- include (bench/[\w.-]+\.md) -->$", re.M)
LOCAL_LINK = re.compile(r"(!?)\[([^\]]*)\]\((?!https?:)([^)]+)\)")


def _included(path: pathlib.Path) -> str:
    text = path.read_text(encoding="utf-8")
    # One level down, so that the included page's title sits under this one's.
    text = re.sub(r"^(#+) ", r"#\1 ", text, flags=re.M)
    # Files beside the results (the chart) are in the repository, not the site.
    return LOCAL_LINK.sub(lambda m: f"{m.group(2)} (`bench/{m.group(3)}` in the repository)", text)


def on_page_markdown(markdown, page, config, files):
    return INCLUDE.sub(lambda m: _included(ROOT / m.group(1)), markdown)
