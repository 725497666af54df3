#!/usr/bin/env bash
# Builds the documentation with every warning an error (mkdocs build --strict)
# into build/site. The API reference imports csv_gleave, so the package must
# be installed in the same environment first (scripts/test.sh does that);
# the docs extra's own packages are installed here, without rebuilding the
# package.
#
# Which Python: $PYTHON if set, else the active virtual environment's, else
# build/venv's, as in scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -n "${PYTHON:-}" ]; then
  python=$PYTHON
elif [ -n "${VIRTUAL_ENV:-}" ]; then
  python=$VIRTUAL_ENV/bin/python
else
  python=build/venv/bin/python
fi

"$python" -c "import csv_gleave" || {
  echo "docs.sh: csv_gleave is not installed for $python; run scripts/test.sh first" >&2
  exit 1
}
# The docs extra, as pyproject.toml lists it.
mapfile -t requirements < <("$python" - <<'PY'
import re
text = open("pyproject.toml", encoding="utf-8").read()
# The list ends at the "]" that closes the line: an extra such as
# mkdocstrings[python] holds brackets of its own.
block = re.search(r"^docs = \[(.*?)\]\s*$", text, re.M | re.S).group(1)
print("\n".join(re.findall(r'"([^"]+)"', block)))
PY
)
"$python" -m pip install -q --disable-pip-version-check "${requirements[@]}"
# Material prints a banner about its successor on every build.
export NO_MKDOCS_2_WARNING=1
"$python" -m mkdocs build --strict --clean
