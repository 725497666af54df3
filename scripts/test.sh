#!/usr/bin/env bash
# Installs what the tests need, then runs every test: the engine's C++ tests
# (GoogleTest through CTest) and the Python tests (pytest) against the
# installed package.
set -euo pipefail
cd "$(dirname "$0")/.."

# GoogleTest comes from Debian's package when it is missing.
if [ ! -f /usr/include/gtest/gtest.h ] && command -v apt-get >/dev/null 2>&1; then
  sudo_cmd=""
  [ "$(id -u)" = 0 ] || sudo_cmd=sudo
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq libgtest-dev >/dev/null
fi

python -m pip install -q --disable-pip-version-check '.[test]'

cmake -S . -B build/cpp-tests -DGLEAVE_BUILD_MODULE=OFF -DGLEAVE_BUILD_TESTS=ON \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/cpp-tests -j2
ctest --test-dir build/cpp-tests --output-on-failure

python -m pytest -q -p no:cacheprovider "$@" tests/python
