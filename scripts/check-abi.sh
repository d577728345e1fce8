#!/usr/bin/env bash
# Checks the shared library's ABI against the baseline in abi/:
#  - every C function of the baseline is still exported (new ones may be added);
#  - every struct field keeps its offset and size, a struct only grows, every
#    constant keeps its value (tests/capi/abi_layout.c prints them);
#  - nothing is exported beyond the C interface and the C++ facade (names in
#    Quillet::FFWrapperCLI and the few public records of namespace Quillet),
#    apart from the standard library's templates.
#   check-abi.sh LIBRARY LAYOUT_PROGRAM [--update]
set -euo pipefail
cd "$(dirname "$0")/.."
lib="$1"
layout="$2"
baseline=abi/quillet-c.abi
current="$( (nm -D --defined-only "$lib" | awk '$2 == "T" && $3 ~ /^quillet_/ {print "symbol " $3}'; "$layout") | sort)"
if [ "${3:-}" = "--update" ]; then
  echo "$current" >"$baseline"
  echo "wrote $baseline"
  exit 0
fi
status=0
while read -r kind name rest; do
  [ -n "$kind" ] || continue
  now="$(echo "$current" | awk -v k="$kind" -v n="$name" '$1 == k && $2 == n {$1 = ""; $2 = ""; print substr($0, 3)}')"
  if [ -z "$now" ] && ! echo "$current" | grep -x "$kind $name" >/dev/null; then
    echo "ABI: $kind $name was removed" >&2
    status=1
  elif [ "$kind" = sizeof ]; then
    [ "$now" -ge "$rest" ] || { echo "ABI: $name shrank from $rest to $now bytes" >&2; status=1; }
  elif [ "$kind" != symbol ] && [ "$now" != "$rest" ]; then
    echo "ABI: $kind $name changed from '$rest' to '$now'" >&2
    status=1
  fi
done <"$baseline"
added="$(comm -13 <(sort "$baseline") <(echo "$current") | grep -c . || true)"
# Every exported name belongs to the public interface.
stray="$(nm -DC --defined-only "$lib" | cut -c20- |
  sed -E 's/^(non-virtual thunk to |virtual thunk to |typeinfo name for |typeinfo for |vtable for |VTT for )//' |
  grep -Ev '^(quillet_|Quillet::FFWrapperCLI::|Quillet::(AudioInterface|PublishStateName|FFSourceSettings|PublishStatus)\b)' |
  grep -Ev '^([a-z ]+ )?(std::|__gnu_cxx::)' | grep -Ev '^(long|unsigned|int|char|bool|void|double)\b' || true)"
if [ -n "$stray" ]; then
  echo "ABI: exported beyond the public interface:" >&2
  echo "$stray" >&2
  status=1
fi
[ $status -eq 0 ] && echo "ABI matches $baseline ($(grep -c '^symbol' "$baseline") functions; $added additions)"
exit $status
