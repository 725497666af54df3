#!/usr/bin/env bash
# Builds the C++ tests and the Python extension module with AddressSanitizer
# and UndefinedBehaviorSanitizer in build-asan/, runs ctest there, then runs
# pytest against that module. The module is never installed: build-asan/
# goes first on PYTHONPATH, so this shell's Python imports it instead of the
# normal one in site-packages, and the sanitizer runtime is preloaded into
# the (uninstrumented) interpreter. Exits non-zero on any test failure or
# sanitizer report.
#
#   CXX=g++ bash scripts/sanitize.sh    use gcc instead of clang
#   PYTHON=python3.12 ...               another interpreter
#   PYTEST_ARGS="-k faults" ...         extra pytest arguments
#   GLEAVE_WERROR=ON ...                 compiler warnings are errors (CI)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$root/build-asan
python=${PYTHON:-python3}
if ! "$python" -c "import pytest, hypothesis" 2>/dev/null; then
  echo "sanitize.sh: $python lacks pytest or hypothesis; install the test extras" \
    "(pip install '.[test]', or run scripts/test.sh once)" >&2
  exit 2
fi

# Needs a C++20 compiler with its sanitizer runtime (clang: libclang-rt-<v>-dev;
# gcc: libasan and libubsan, which come with g++), cmake, GoogleTest
# (libgtest-dev) for the C++ tests, and pytest plus hypothesis for Python.
cxx=${CXX:-}
if [ -z "$cxx" ]; then
  if command -v clang++ >/dev/null; then cxx=clang++; else cxx=g++; fi
fi
case $($cxx --version | head -1) in
  *clang*)
    runtime=$($cxx -print-file-name=libclang_rt.asan-x86_64.so)
    if [ ! -e "$runtime" ]; then
      ver=$($cxx --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -1)
      echo "sanitize.sh: ASan runtime missing; installing libclang-rt-$ver-dev" >&2
      apt-get install -y -q "libclang-rt-$ver-dev" >/dev/null
    fi
    # The module is a shared object: it must use the shared runtime that
    # gets preloaded (which carries the UBSan handlers as well).
    extra_flags=-shared-libasan
    preload=$runtime
    ;;
  *)
    extra_flags=
    preload="$($cxx -print-file-name=libasan.so) $($cxx -print-file-name=libubsan.so)"
    ;;
esac
for lib in $preload; do
  if [ ! -e "$lib" ]; then
    echo "sanitize.sh: sanitizer runtime $lib not found" >&2
    exit 2
  fi
done

# The C++ tests are built only once their sources exist.
tests=OFF
if ls tests/cpp/*_test.cpp >/dev/null 2>&1; then
  tests=ON
  for area in parser heuristics gleave; do
    [ -f "tests/cpp/${area}_test.cpp" ] || tests=OFF
  done
  [ "$tests" = ON ] || echo "sanitize.sh: tests/cpp incomplete; skipping the C++ tests" >&2
fi

# The C sources (vendored) with the C compiler of the same family: one
# sanitizer runtime for the whole build.
cc=${CC:-$(echo "$cxx" | sed 's/clang++/clang/; s/g++/gcc/')}

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_SHARED_LINKER_FLAGS="$extra_flags" -DCMAKE_MODULE_LINKER_FLAGS="$extra_flags" \
  -DGLEAVE_SANITIZE=address,undefined -DGLEAVE_BUILD_MODULE=ON -DGLEAVE_BUILD_TESTS=$tests \
  -DGLEAVE_WERROR="${GLEAVE_WERROR:-OFF}" \
  -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$build" -j2

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1}

status=0
if [ "$tests" = ON ]; then
  (cd "$build" && ctest --output-on-failure -j2) || status=1
fi

# The interpreter is not instrumented and frees much of its memory only at
# exit, so leak detection stays off for it (the C++ tests and the fuzzers
# check the engine for leaks). With PYTHONMALLOC=malloc every Python object
# goes through the sanitizer's allocator, so an overrun of a str or list the
# module builds is caught. An allocation too large to satisfy fails as it
# would without the sanitizer (the module turns that into MemoryError), and
# pytest captures at the sys level only, so a sanitizer report written to the
# process's stderr just before it dies is not swallowed.
module=$(ls "$build"/_csv_gleave_backend*.so)
# The package's own module lives inside the package: a copy of the package
# made of links to the sources and the sanitized _native.
package=$build/python/csv_gleave
rm -rf "$package" && mkdir -p "$package"
ln -s "$root"/python/csv_gleave/* "$package"/
ln -s "$build"/_native*.so "$package"/
asan_python() {
  PYTHONPATH="$build:$build/python${PYTHONPATH:+:$PYTHONPATH}" \
    LD_PRELOAD="$(echo $preload | tr ' ' ':')" \
    ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0:allocator_may_return_null=1" \
    PYTHONMALLOC=malloc \
    "$python" "$@"
}
# Make sure the tests see the sanitized module, not the installed one.
asan_python -c "import sys, _csv_gleave_backend as m; sys.exit(m.__file__ != sys.argv[1])" "$module" ||
  { echo "sanitize.sh: the sanitized module is not the one imported" >&2; exit 1; }
asan_python -c "import sys, csv_gleave._native as m; sys.exit(not m.__file__.startswith(sys.argv[1]))" \
  "$package" || { echo "sanitize.sh: the sanitized csv_gleave._native is not the one imported" >&2; exit 1; }
echo "sanitize.sh: pytest against $module" >&2
# The sanitizer's operator new reports an impossible allocation and aborts
# instead of throwing std::bad_alloc, so the tests that expect MemoryError
# from one cannot run here; and its allocator holds freed blocks back to
# catch use after free, so the tests that watch the process size for growth
# (test_leaks.py) would only measure that.
asan_python -m pytest -q -p no:cacheprovider --capture=sys -k "not memory" \
  --ignore="$root/tests/python/test_leaks.py" ${PYTEST_ARGS:-} "$root/tests/python" || status=1
exit $status
