#!/usr/bin/env bash
# Installs the Debian packages the project needs to build, test and benchmark.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
PACKAGES=(
  build-essential cmake pkg-config
  doxygen dpkg-dev
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev
  liblog4cpp5-dev libyuv-dev
  ffmpeg
  libgtest-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev
  python3 python3-gi gir1.2-gst-rtsp-server-1.0 gstreamer1.0-tools python3-opencv
  python3-dev pybind11-dev python3-numpy python3-pytest python3-av python3-gst-1.0 gstreamer1.0-libav
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly
  libsdl2-dev xvfb xdotool x11-apps
  mono-mcs mono-runtime libmono-corlib4.5-cil libmono-system4.0-cil libmono-system-core4.0-cil
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
