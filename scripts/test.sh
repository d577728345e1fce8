#!/usr/bin/env bash
# Builds and runs the test suite. BUILD_DIR and extra CMake arguments select
# other builds, e.g. BUILD_DIR=build-asan scripts/test.sh -DQUILLET_SANITIZE=ON
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
bash scripts/build.sh "$@"
cd "$BUILD_DIR"
ctest --output-on-failure -j"${TEST_JOBS:-2}" ${CTEST_ARGS:-}
