#!/usr/bin/env bash
# Installs what the tests need, then runs every test: the engine's C++ tests
# (GoogleTest through CTest) and the Python tests (pytest) against the
# installed package. Works from a fresh clone with nothing installed.
#
# Which Python: $PYTHON if set, else the active virtual environment's, else a
# virtual environment of its own in build/venv (made on first use). The
# package and its test extras are installed there, never into a system Python.
#
#   GLEAVE_WERROR=ON bash scripts/test.sh     compiler warnings are errors (CI)
#   bash scripts/test.sh -k cli               extra arguments go to pytest
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -n "${PYTHON:-}" ]; then
  python=$PYTHON
elif [ -n "${VIRTUAL_ENV:-}" ]; then
  python=$VIRTUAL_ENV/bin/python
else
  if [ ! -x build/venv/bin/python ]; then
    echo "test.sh: creating a virtual environment in build/venv" >&2
    python3 -m venv build/venv
  fi
  python=build/venv/bin/python
fi
# Scripts installed beside that interpreter (cmake, ctest, the console
# script) come first.
bin=$(cd "$(dirname "$python")" && pwd)
export PATH="$bin:$PATH"
werror=${GLEAVE_WERROR:-OFF}

# GoogleTest comes from Debian's package when it is missing.
if [ ! -f /usr/include/gtest/gtest.h ] && command -v apt-get >/dev/null 2>&1; then
  sudo_cmd=""
  [ "$(id -u)" = 0 ] || sudo_cmd=sudo
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq -o DPkg::Lock::Timeout=300 \
    libgtest-dev >/dev/null
fi

pip=("$python" -m pip --disable-pip-version-check)
# CMake (with CTest) from PyPI when there is none: the build of the package
# fetches its own, but the C++ tests are built here.
command -v cmake >/dev/null || "${pip[@]}" install -q cmake ninja
"${pip[@]}" install -q --config-settings=cmake.define.GLEAVE_WERROR="$werror" '.[test]'

generator=()
[ ! -f build/cpp-tests/CMakeCache.txt ] && command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B build/cpp-tests "${generator[@]}" -DGLEAVE_BUILD_MODULE=OFF -DGLEAVE_BUILD_TESTS=ON \
  -DGLEAVE_WERROR="$werror" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/cpp-tests -j2
status=0
ctest --test-dir build/cpp-tests --output-on-failure -j2 || status=1

"$python" -m pytest -q -p no:cacheprovider "$@" tests/python || status=1
exit $status
