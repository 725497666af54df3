#!/usr/bin/env bash
# Python lint: ruff over the package, tests, benchmarks and scripts, and
# mypy --strict over python/csv_gleave (their settings are in
# pyproject.toml). Installs both into the interpreter's environment when
# missing ($PYTHON, else $VIRTUAL_ENV's, else python3).
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-${VIRTUAL_ENV:+$VIRTUAL_ENV/bin/python}}
py=${py:-python3}
"$py" -m ruff --version >/dev/null 2>&1 || "$py" -m pip install -q --disable-pip-version-check ruff
"$py" -m mypy --version >/dev/null 2>&1 || "$py" -m pip install -q --disable-pip-version-check mypy
status=0
"$py" -m ruff check python tests/python bench scripts .ci || status=1
# The package's types as installed stubs see them: mypy reads the sources.
"$py" -m mypy python/csv_gleave || status=1
exit $status
