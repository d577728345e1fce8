#!/usr/bin/env bash
# Sets up a fresh machine, builds, and runs the main job on the built-in demo clip.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
mkdir -p out/Config && cp Config/FFLogger.conf out/Config/ && cd out
exec ../build/tools/ffwrap/ffwrap "$@"
