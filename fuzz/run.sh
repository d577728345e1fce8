#!/usr/bin/env bash
# Builds the record fuzzer with clang and runs it for N seconds (default 60).
#   fuzz/run.sh [seconds] [extra libFuzzer flags...]
# New inputs go to build-fuzz/corpus (the committed seeds in fuzz/corpus stay
# as they are); crashes land in build-fuzz/findings. FUZZ_JOBS runs parallel
# workers; REFRESH_CORPUS=1 rebuilds the seeds from a freshly made clip.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_TO_RUN="${1:-60}"
shift || true
BUILD_DIR="${BUILD_DIR:-build-fuzz}"

CC=clang CXX=clang++ cmake -S . -B "$BUILD_DIR" -DQUILLET_FUZZ=ON -DQUILLET_TESTS=OFF -DQUILLET_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" --target fuzz_serialized_records fuzz_make_corpus

if [[ "${REFRESH_CORPUS:-0}" == 1 ]]; then
  clip="$BUILD_DIR/seed-clip.mp4"
  ffmpeg -v error -y -f lavfi -i testsrc2=size=64x48:rate=10 -f lavfi -i sine=frequency=440:sample_rate=8000 \
    -t 0.5 -c:v libx264 -bf 2 -g 5 -c:a aac -b:a 16k "$clip"
  "$BUILD_DIR/fuzz/fuzz_make_corpus" "$clip" fuzz/corpus
fi

mkdir -p "$BUILD_DIR/corpus" "$BUILD_DIR/findings"
# Logging from the library is not configured here; keep the console quiet.
"$BUILD_DIR/fuzz/fuzz_serialized_records" "$BUILD_DIR/corpus" fuzz/corpus \
  -max_total_time="$SECONDS_TO_RUN" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$BUILD_DIR/findings/" -print_final_stats=1 \
  ${FUZZ_JOBS:+-jobs=$FUZZ_JOBS -workers=$FUZZ_JOBS} "$@"
