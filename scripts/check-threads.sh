#!/usr/bin/env bash
# Counts what the threading model forbids in the library (README, "Threads"):
#   - detach() of a thread (every thread is joined),
#   - the join registry (IsThisThreadBeingJoined) and give-up locks (try_lock_for),
#   - a timed recursive mutex in the public headers,
#   - av_usleep/sleep_for in src/ except a back-off wait that a stop ends, marked on its line
#     or the line before with a comment "// back-off wait: <what ends it>".
# Prints every finding and exits 1 when any count is not 0. With --allow-polls the sleeps are
# printed but not counted (for a checkout whose workers still poll).
set -euo pipefail
cd "$(dirname "$0")/.."
allow_polls=0
[[ "${1:-}" == "--allow-polls" ]] && allow_polls=1

failed=0
count() { # name, then grep arguments; prints the matches and their number
  local name="$1"; shift
  local found
  found="$(grep -rnE "$@" || true)"
  local n=0
  [[ -n "$found" ]] && n="$(printf '%s\n' "$found" | wc -l)"
  printf '%-40s %s\n' "$name" "$n"
  [[ -n "$found" ]] && printf '%s\n' "$found" | sed 's/^/    /'
  return $(( n > 0 ))
}

count "detach()" --include='*.h' --include='*.cpp' --include='*.c' '\bdetach\(\)' src include bindings || failed=1
count "IsThisThreadBeingJoined" --include='*.h' --include='*.cpp' 'IsThisThreadBeingJoined' src include bindings tests || failed=1
count "try_lock_for" --include='*.h' --include='*.cpp' 'try_lock_for' src include bindings || failed=1
count "recursive_timed_mutex in include/" 'recursive_timed_mutex' include || failed=1

# Sleeps: a marker on the line itself or on the line before excuses one.
polls="$(grep -rnE --include='*.h' --include='*.cpp' -B1 '\b(av_usleep|sleep_for|usleep)\s*\(' src |
  awk '/back-off wait:/ { skip = 1; next }
       /(av_usleep|sleep_for|usleep)[ \t]*\(/ { if (!skip && $0 !~ /^[^:]*-[0-9]+-/) print; skip = 0; next }
       { skip = 0 }' || true)"
n=0
[[ -n "$polls" ]] && n="$(printf '%s\n' "$polls" | wc -l)"
printf '%-40s %s%s\n' "sleeps in src/ (no back-off marker)" "$n" "$([[ $allow_polls == 1 ]] && echo ' (allowed: --allow-polls)')"
[[ -n "$polls" ]] && printf '%s\n' "$polls" | sed 's/^/    /'
if (( n > 0 && allow_polls == 0 )); then failed=1; fi

exit "$failed"
