"""The repair report: what the page says against what a repair does, and the
page as a real browser lays it out (headless Chromium, skipped only outside CI
when it is not installed)."""

import html.parser
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import csv_gleave
from csv_gleave import report

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = sorted((ROOT / "examples").glob("*.csv"))
# Short and long rows, a preamble, a footnote and blank lines, spread along the file.
DAMAGED = ("Export of 2026-12-07\n\nid,name,amount,when\n"
           + "".join(f"{i},n{i},{i * 1.5},2026-01-{i % 28 + 1:02d}\n" if i % 13 else f"{i},short\n"
                     for i in range(1, 200))
           + "200,x,1.0,2026-01-01,extra,more\nSource: test\n")


class Page(html.parser.HTMLParser):
    """The ids, tags and text of a page; and anything that would reach the network."""

    def __init__(self):
        super().__init__()
        self.ids, self.tags, self.remote, self.text = set(), [], [], []

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        for name, value in attrs:
            if name == "id":
                self.ids.add(value)
            if name in ("src", "href") and value and not value.startswith("#"):
                self.remote.append(value)

    def handle_data(self, data):
        self.text.append(data)


def parse(page):
    parser = Page()
    parser.feed(page)
    return parser


@pytest.fixture
def damaged(tmp_path):
    path = tmp_path / "damaged.csv"
    path.write_text(DAMAGED)
    return path


@pytest.mark.parametrize("options", [{}, {"fill_ragged_rows": False}, {"merge_overflow": False},
                                     {"fill_ragged_rows": False, "merge_overflow": False}])
def test_counts_match_the_repair_under_the_same_options(damaged, tmp_path, options):
    expected = csv_gleave.gleave_file(str(damaged), str(tmp_path / "out.csv"), str(tmp_path / "q.csv"), **options)
    summary, damage, bins, lines = report._full_pass(str(damaged), options)
    moved = damage.counts["padded"] + damage.counts["merged"]
    assert summary.gleaved_rows + moved == expected.gleaved_rows
    assert summary.quarantined_rows - moved == expected.quarantined_rows
    assert moved == expected.repaired_rows
    assert lines == DAMAGED.count("\n")
    # Every damaged row lands in exactly one bin of the map.
    assert sum(map(sum, bins)) == sum(damage.counts.values())
    with open(tmp_path / "q.csv") as handle:
        assert sum(damage.counts[k] for k in damage.counts if k not in ("padded", "merged")) == \
            len(handle.readlines()) - 1


def test_page_is_self_contained_and_shows_every_part(damaged):
    page = csv_gleave.report.build_report(str(damaged))
    found = parse(page)
    assert {"dialect", "candidates", "counts", "map", "damage-map", "rows", "profile", "columns"} <= found.ids
    assert found.remote == [] and "http" not in page.replace("http://www.w3.org", "")
    text = " ".join(found.text)
    for needle in ("Preamble line above the table", "Footnote line below the table", "padded",
                   "merged", "line 16", "int64", "float64", "date", "Export of 2026-12-07"):
        assert needle in text, needle


@pytest.mark.parametrize("values, kind, low, high", [
    (["1", "2", "30"], "int64", "1", "30"),
    (["007", "8"], "string", "007", "8"),  # a leading zero is an id, not a number
    (["1.5", "2"], "float64", "1.5", "2.0"),
    (["true", "False"], "bool", "False", "True"),
    (["2026-01-02", "2025-12-31"], "date", "2025-12-31", "2026-01-02"),
    (["9223372036854775808"], "float64", "9.223372036854776e+18", "9.223372036854776e+18"),
    (["nan", "1"], "string", "1", "nan"),
    ([], "empty", None, None),
])
def test_column_profile_types_and_ranges(values, kind, low, high):
    profile = report.ColumnProfile("c", values + ["", ""])
    assert (profile.type, profile.min, profile.max, profile.nulls) == (kind, low, high, 2)
    assert profile.distinct == len(set(values))


@pytest.mark.parametrize("text, encoding", [
    ("a,b\n1,2\n3,4", "utf-8"), ("\ufeffa,b\n1,\u010a\n3,4", "utf-16"), ("a,b\n1,\u0a00\n3,4", "utf-16-be"),
    ("a,b\n1,2\n3,4", "utf-32"),
])
def test_sample_head_is_cut_at_a_line_end_of_its_encoding(text, encoding):
    data = text.encode(encoding)
    cut = report._cut(data, encoding)
    assert cut.decode(encoding) == text[: text.rindex("\n") + 1]


def test_hostile_text_is_escaped(tmp_path):
    path = tmp_path / "x.csv"
    path.write_text('a,b\n<script>alert(1)</script>,"</td><img src=x>"\n1,2,3\n')
    found = parse(report.build_report(str(path)))
    assert found.tags.count("script") == 1 and "img" not in found.tags and found.remote == []


def test_cli_writes_the_report_whole(damaged, tmp_path):
    out = tmp_path / "r.html"
    proc = subprocess.run([sys.executable, "-m", "csv_gleave", "report", str(damaged), "-o", str(out)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and "report written" in proc.stderr, proc.stderr
    assert out.read_text().endswith("</html>\n")
    proc = subprocess.run([sys.executable, "-m", "csv_gleave", "report", str(tmp_path / "missing.csv"), "-o",
                           str(tmp_path / "m.html")], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 1 and "No such file" in proc.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["damaged.csv", "r.html"]


def chromium():
    found = shutil.which("chromium") or shutil.which("chromium-browser")
    if found is None:
        if os.environ.get("CI") == "true":
            pytest.fail("chromium is not installed (.ci/setup.sh installs it)")
        pytest.skip("chromium is not installed")
    return found


def headless(browser, *args, cwd):
    # No sandbox: CI runs as root. Each run gets its own profile directory.
    command = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
               "--no-first-run", f"--user-data-dir={cwd / 'profile'}", *args]
    # The browser gets none of the sanitizer run's preloads.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "PYTHONMALLOC")}
    return subprocess.run(command, capture_output=True, text=True, timeout=120, cwd=cwd, env=env)


@pytest.mark.parametrize("source", EXAMPLES + ["damaged"], ids=lambda s: getattr(s, "name", s))
def test_report_renders_in_headless_chromium(source, damaged, tmp_path):
    browser = chromium()
    source = damaged if source == "damaged" else source
    page = tmp_path / "report.html"
    report.write_report(str(source), str(page))
    dom = headless(browser, "--dump-dom", page.as_uri(), cwd=tmp_path)
    assert dom.returncode == 0, dom.stderr
    # The browser's DOM holds every part of the layout, and the damage map's bars.
    for part in ("dialect", "candidates", "counts", "damage-map", "rows", "columns"):
        assert f'id="{part}"' in dom.stdout, part
    assert "<svg" in dom.stdout and "</html>" in dom.stdout
    if source == damaged:
        assert len(re.findall(r'<rect class="bar"', dom.stdout)) >= 16
        # A range in the link zooms the map to it: 1/4 of the file's width.
        lines = int(re.search(r'data-lines="(\d+)"', dom.stdout).group(1))
        zoomed = headless(browser, "--dump-dom", page.as_uri() + f"#lines=1-{lines // 4}", cwd=tmp_path)
        box = re.search(r'id="damage-map" viewBox="([\d. ]+)"', zoomed.stdout).group(1).split()
        assert float(box[0]) == 0 and abs(float(box[2]) - 250) < 5, box
    shot = tmp_path / "report.png"
    taken = headless(browser, f"--screenshot={shot}", "--window-size=1200,1800", "--hide-scrollbars",
                     page.as_uri(), cwd=tmp_path)
    assert taken.returncode == 0 and shot.stat().st_size > 10_000, taken.stderr
    if source == damaged:
        logs = ROOT / "build" / "ci-logs"
        if os.environ.get("CI") == "true" or logs.is_dir():
            logs.mkdir(parents=True, exist_ok=True)
            shutil.copy(shot, logs / "report.png")
            shutil.copy(page, logs / "report.html")


@pytest.mark.skipif(os.environ.get("GLEAVE_BIG_TESTS") != "1", reason="set GLEAVE_BIG_TESTS=1")
def test_report_on_a_gigabyte_of_messy_rows(tmp_path):
    from test_big_files import messy_block

    browser = chromium()
    block = messy_block()
    big = tmp_path / "big.csv"
    with open(big, "wb") as handle:
        for _ in range(int(float(os.environ.get("GLEAVE_BIG_TEST_GB", "1")) * 1e9) // len(block) + 1):
            handle.write(block)
    page = tmp_path / "big.html"
    proc = subprocess.run([sys.executable, "-m", "csv_gleave", "report", str(big), "-o", str(page)],
                          capture_output=True, text=True, timeout=1200)
    assert proc.returncode == 0, proc.stderr
    expected = csv_gleave.gleave_file(str(big), os.devnull)
    assert f"<b>{expected.total_rows:,}</b><span>rows read" in page.read_text()
    assert page.stat().st_size < 2 << 20  # binned and sampled: the page does not grow with the file
    dom = headless(browser, "--dump-dom", page.as_uri(), cwd=tmp_path)
    assert 'id="damage-map"' in dom.stdout and 'id="columns"' in dom.stdout
    shot = tmp_path / "big.png"
    headless(browser, f"--screenshot={shot}", "--window-size=1200,1800", "--hide-scrollbars", page.as_uri(),
             cwd=tmp_path)
    logs = ROOT / "build" / "ci-logs"
    logs.mkdir(parents=True, exist_ok=True)
    shutil.copy(shot, logs / "report-1gb.png")
