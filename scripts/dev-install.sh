#!/usr/bin/env bash
# Rebuilds and installs the package from this checkout into the current
# Python (no build isolation, so it is quick). Serialised with a lock so that
# several shells rebuilding at once do not trample each other's install.
set -euo pipefail
cd "$(dirname "$0")/.."
exec flock /tmp/csv-gleave-install.lock python -m pip install --no-build-isolation -q --disable-pip-version-check .
