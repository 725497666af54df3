#!/usr/bin/env bash
# Checks that the C++ sources follow .clang-format; exits non-zero and names
# each file and line that does not. `--fix` rewrites the files instead.
#
# Formatting differs between clang-format releases, so the check uses one:
# Debian's clang-format 14 (apt-get install clang-format), the one CI has.
# Vendored sources (vendor/, third_party/) keep their upstream layout.
set -euo pipefail
cd "$(dirname "$0")/.."

fmt=${CLANG_FORMAT:-}
if [ -z "$fmt" ]; then
  for c in clang-format-14 clang-format; do
    if command -v "$c" >/dev/null; then fmt=$c; break; fi
  done
fi
if [ -z "$fmt" ]; then
  echo "check-format.sh: clang-format not found (apt-get install clang-format)" >&2
  exit 2
fi
version=$("$fmt" --version | sed -n 's/.*clang-format version \([0-9]*\).*/\1/p')
[ "$version" = 14 ] || echo "check-format.sh: $fmt is version $version; CI uses 14" >&2

files=()
while IFS= read -r -d '' f; do
  case $f in */vendor/* | */third_party/*) continue ;; esac
  files+=("$f")
done < <(find engine bindings tests/cpp fuzz -type f \( -name '*.cpp' -o -name '*.hpp' \
  -o -name '*.h' -o -name '*.cc' \) -print0 2>/dev/null | sort -z)
if [ ${#files[@]} -eq 0 ]; then
  echo "check-format.sh: no C++ sources found" >&2
  exit 2
fi

if [ "${1:-}" = --fix ]; then
  "$fmt" -i "${files[@]}"
  exit 0
fi
if "$fmt" --dry-run --Werror "${files[@]}"; then
  echo "check-format.sh: ${#files[@]} files formatted as .clang-format says"
else
  echo "check-format.sh: run 'bash scripts/check-format.sh --fix' to reformat" >&2
  exit 1
fi
