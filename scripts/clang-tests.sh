#!/usr/bin/env bash
# The C++ tests built with clang (the test stage builds them with g++):
# each compiler warns about different things, and CI treats warnings as
# errors. Release, two jobs, in build/clang-tests.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v clang++ >/dev/null; then
  echo "clang-tests.sh: clang++ not found (apt-get install clang)" >&2
  exit 2
fi
build=build/clang-tests
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
[ -f "$build/CMakeCache.txt" ] && generator=()
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_COMPILER=clang -DGLEAVE_BUILD_MODULE=OFF -DGLEAVE_BUILD_TESTS=ON \
  -DGLEAVE_WERROR="${GLEAVE_WERROR:-ON}" >/dev/null
cmake --build "$build" -j2
ctest --test-dir "$build" -j2 --output-on-failure
