#!/usr/bin/env bash
# Builds the libFuzzer targets with AddressSanitizer and UndefinedBehaviorSanitizer
# in build-fuzz/, seeds their corpora from the shared corpus of messy CSV
# files, and runs each target for a bounded time. Exits non-zero on the first
# crash, sanitizer report, broken invariant, timeout or out-of-memory; the
# input that caused it is left in build-fuzz/artifacts/.
#
#   FUZZ_SECONDS   seconds per target (default 30: ten targets and the
#                  build within CI's eight minutes)
#   FUZZ_TARGETS   which targets (default all ten: parser heuristics gleave
#                  structure encoding dialect decoder product table split)
#   GLEAVE_WERROR  ON: compiler warnings are errors (CI)
#
# A longer run keeps its corpora in build-fuzz/corpus-<target> between runs,
# so repeated runs pick up where the last one stopped, e.g. an hour each:
#   FUZZ_SECONDS=3600 bash fuzz/run.sh
# Replay one input:  build-fuzz/fuzz_gleave build-fuzz/artifacts/crash-...
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$root/build-fuzz
seconds=${FUZZ_SECONDS:-30}
targets=${FUZZ_TARGETS:-"parser heuristics gleave structure encoding dialect decoder product table split"}

# Needs clang++ with the libFuzzer and sanitizer runtimes (Debian: clang and
# libclang-rt-<version>-dev), cmake, and ninja or make.
if ! command -v clang++ >/dev/null; then
  echo "fuzz/run.sh: clang++ not found (apt-get install clang)" >&2
  exit 2
fi
if [ ! -e "$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a)" ]; then
  ver=$(clang++ --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -1)
  echo "fuzz/run.sh: libFuzzer runtime missing; installing libclang-rt-$ver-dev" >&2
  apt-get install -y -q "libclang-rt-$ver-dev" >/dev/null
fi

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
[ -f "$build/CMakeCache.txt" ] && generator=()
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DGLEAVE_BUILD_MODULE=OFF -DGLEAVE_BUILD_FUZZERS=ON \
  -DGLEAVE_SANITIZE=address,undefined -DGLEAVE_WERROR="${GLEAVE_WERROR:-OFF}" >/dev/null
# Quiet unless the build fails.
cmake --build "$build" -j2 >"$build/build.log" 2>&1 || { cat "$build/build.log" >&2; exit 1; }

# Seeds: the shared corpus of real messy files (CI keeps a copy of shared/
# beside the repository clone). Small files only: big ones slow every
# mutation down without adding shapes. The option bytes in front select the
# defaults, so every seed starts out as the file as a user would pass it.
corpus=""
for c in /work/shared/corpus "$root/../shared/corpus"; do
  if [ -d "$c" ]; then corpus=$c; break; fi
done
seeds=$build/seeds
rm -rf "$seeds"
mkdir -p "$seeds/plain" "$seeds/prefixed" "$build/artifacts"
if [ -n "$corpus" ]; then
  i=0
  while IFS= read -r -d '' f; do
    i=$((i + 1))
    cp "$f" "$seeds/plain/$i"
    { printf '\0\0\0\0'; cat "$f"; } >"$seeds/prefixed/$i"
  done < <(find "$corpus" -type f \( -name '*.csv' -o -name '*.tsv' -o -name '*.txt' \) -size -32k -print0 | sort -z)
else
  echo "fuzz/run.sh: no shared corpus found; starting from an empty corpus" >&2
fi

status=0
summary=""
for t in $targets; do
  dir=$build/corpus-$t
  mkdir -p "$dir"
  case $t in
    heuristics | encoding | decoder) seed_dir=$seeds/plain ;;
    *) seed_dir=$seeds/prefixed ;;
  esac
  log=$build/fuzz-$t.log
  echo "== fuzz_$t: ${seconds}s" >&2
  set +e
  "$build/fuzz_$t" "$dir" "$seed_dir" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
    -rss_limit_mb=2048 -dict="$root/fuzz/csv.dict" -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$t-" >"$log" 2>&1
  rc=$?
  set -e
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 || true)
  if [ "$rc" -ne 0 ]; then
    status=1
    echo "fuzz_$t FAILED (exit $rc); see $log" >&2
    grep -E 'ERROR|invariant broken|SUMMARY|Test unit written' "$log" | head -20 >&2 || true
  fi
  summary+=$(printf '%-18s %12s executions  %s  exit %d' "fuzz_$t" "${execs:-?}" "$cov" "$rc")$'\n'
done
printf '%s' "$summary"
exit $status
