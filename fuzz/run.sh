#!/usr/bin/env bash
# Builds the fuzzers with clang and runs them for N seconds each (default 60).
#   fuzz/run.sh [seconds] [extra libFuzzer flags...]
# FUZZ_TARGETS picks the fuzzers ("records remote playback" by default): records
# is the record reader, remote the remote player's block input, playback the
# file source, decoder and conversion fed a damaged file from memory. New inputs go to
# build-fuzz/corpus-<target> (the committed seeds in fuzz/corpus and
# fuzz/corpus-remote and fuzz/corpus-playback stay as they are); crashes land in build-fuzz/findings.
# FUZZ_JOBS runs parallel workers; REFRESH_CORPUS=1 rebuilds the record seeds
# from a freshly made clip.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_TO_RUN="${1:-60}"
shift || true
BUILD_DIR="${BUILD_DIR:-build-fuzz}"
FUZZ_TARGETS="${FUZZ_TARGETS:-records remote playback}"

CC=clang CXX=clang++ cmake -S . -B "$BUILD_DIR" -DQUILLET_FUZZ=ON -DQUILLET_TESTS=OFF -DQUILLET_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=()
# The seed maker links the whole uninstrumented library: only built when asked for.
if [[ "${REFRESH_CORPUS:-0}" == 1 ]]; then targets+=(fuzz_make_corpus); fi
for t in $FUZZ_TARGETS; do
  case "$t" in
    records) targets+=(fuzz_serialized_records) ;;
    remote) targets+=(fuzz_remote_blocks) ;;
    playback) targets+=(fuzz_playback) ;;
    *) echo "unknown fuzz target: $t" >&2; exit 2 ;;
  esac
done
cmake --build "$BUILD_DIR" -j"$(nproc)" --target "${targets[@]}"

if [[ "${REFRESH_CORPUS:-0}" == 1 ]]; then
  clip="$BUILD_DIR/seed-clip.mp4"
  ffmpeg -v error -y -f lavfi -i testsrc2=size=64x48:rate=10 -f lavfi -i sine=frequency=440:sample_rate=8000 \
    -t 0.5 -c:v libx264 -bf 2 -g 5 -c:a aac -b:a 16k "$clip"
  "$BUILD_DIR/fuzz/fuzz_make_corpus" "$clip" fuzz/corpus
fi

ROOT="$(pwd)"
mkdir -p "$BUILD_DIR/findings"
for t in $FUZZ_TARGETS; do
  case "$t" in
    records) binary=fuzz_serialized_records seeds=fuzz/corpus max_len=8192 rss=2048 ;;
    remote) binary=fuzz_remote_blocks seeds=fuzz/corpus-remote max_len=16384 rss=2048 ;;
    # The decoders' many allocation sizes keep the sanitizer's allocator caches
    # and quarantine growing to ~2 GB over tens of thousands of inputs (flat on a
    # repeated input): the limit is higher, one allocation is still held to 2 GB.
    playback) binary=fuzz_playback seeds=fuzz/corpus-playback max_len=4096 rss=6144 ;;
  esac
  mkdir -p "$BUILD_DIR/corpus-$t"
  echo "== $binary for ${SECONDS_TO_RUN}s"
  # Run inside the build folder: an engine writes its log file where it runs.
  (cd "$BUILD_DIR" && "./fuzz/$binary" "corpus-$t" "$ROOT/$seeds" \
    -max_total_time="$SECONDS_TO_RUN" -max_len="$max_len" -timeout=10 -rss_limit_mb="$rss" -malloc_limit_mb=2048 \
    -artifact_prefix="findings/$t-" -print_final_stats=1 \
    ${FUZZ_JOBS:+-jobs=$FUZZ_JOBS -workers=$FUZZ_JOBS} "$@")
done
