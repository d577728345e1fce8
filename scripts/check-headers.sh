#!/usr/bin/env bash
# Checks that each installed public header compiles on its own (included first
# in a translation unit, with only the installed include folder on the path)
# and pulls in no FFmpeg, log4cpp or libyuv header. The C interface
# (quillet/quillet.h) must also compile as C11.
#   check-headers.sh INCLUDE_DIR [CXX]           an installed tree's include/
#   check-headers.sh --install BUILD_DIR [CXX]   installs BUILD_DIR's headers first
set -euo pipefail
if [ "${1:-}" = "--install" ]; then
  stage="$2/public-headers"
  rm -rf "$stage"
  cmake --install "$2" --component headers --prefix "$stage" >/dev/null
  set -- "$stage/include" "${3:-}"
fi
include_dir="$(cd "$1" && pwd)"
cxx="${2:-${CXX:-c++}}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

headers=$(cd "$include_dir" && find quillet -name '*.h' | sort)
[ -n "$headers" ] || { echo "no public headers under $include_dir/quillet" >&2; exit 1; }
status=0
for header in $headers; do
  printf '#include <%s>\n#include <%s>\n' "$header" "$header" >"$work/tu.cpp"
  if ! "$cxx" -std=c++17 -Wall -Wextra -Wpedantic -Werror -I"$include_dir" \
      -fsyntax-only "$work/tu.cpp" 2>"$work/err"; then
    echo "FAIL $header does not compile on its own:" >&2
    cat "$work/err" >&2
    status=1
    continue
  fi
  if [ "$header" = quillet/quillet.h ]; then
    cp "$work/tu.cpp" "$work/tu.c"
    if ! "${CC:-cc}" -std=c11 -Wall -Wextra -Wpedantic -Werror -I"$include_dir" -fsyntax-only "$work/tu.c" 2>"$work/err"; then
      echo "FAIL $header does not compile as C11:" >&2
      cat "$work/err" >&2
      status=1
    fi
  fi
  "$cxx" -std=c++17 -I"$include_dir" -M "$work/tu.cpp" >"$work/deps"
  if grep -Eq '/(libav[a-z]*|libsw[a-z]*|log4cpp|libyuv)/' "$work/deps"; then
    echo "FAIL $header pulls in FFmpeg, log4cpp or libyuv headers:" >&2
    tr ' \\' '\n\n' <"$work/deps" | grep -E '/(libav|libsw|log4cpp|libyuv)' >&2
    status=1
  fi
done
[ $status -eq 0 ] && echo "$(echo "$headers" | wc -l) public headers compile on their own"
exit $status
