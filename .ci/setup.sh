#!/usr/bin/env bash
# CI's first stage: the system packages the builds and checks need, and a
# virtual environment made from scratch (no system site packages) at the path
# given, with CMake and Ninja from PyPI in it. The project itself and its
# Python dependencies are installed into it by scripts/test.sh.
set -euo pipefail
venv=$1

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq -o DPkg::Lock::Timeout=300 \
  g++ libgtest-dev clang libclang-rt-14-dev clang-format >/dev/null
# Headless Chromium renders the repair report in the tests.
apt-get install -y -qq -o DPkg::Lock::Timeout=300 --no-install-recommends chromium fonts-dejavu-core >/dev/null

rm -rf "$venv"
python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check cmake ninja
"$venv/bin/python" --version
"$venv/bin/cmake" --version | head -1
clang++ --version | head -1
clang-format --version
chromium --version
