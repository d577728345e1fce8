#!/usr/bin/env bash
# What an application developer gets, checked from the outside:
#  - the API reference builds with Doxygen, warnings as errors;
#  - `cmake --install` into a temporary prefix gives public headers that compile
#    alone (quillet.h also as C11), a CMake package and quillet.pc: examples/
#    (C++ and the C example play_events) is built out of tree with
#    find_package and again with pkg-config, and each example runs on a
#    generated clip;
#  - the Python package, when built, imports from the prefix (not the build
#    tree) and plays the clip;
#  - `cpack -G DEB` gives a package whose Depends are run-time packages and
#    whose files are only the libraries, public headers, package files and
#    docs; installed into a fresh root it builds and runs the examples.
#   check-install.sh [BUILD_DIR]    (default: build, configured and built)
set -euo pipefail
cd "$(dirname "$0")/.."
build="$(cd "${1:-${BUILD_DIR:-build}}" && pwd)"
work="$(mktemp -d /tmp/quillet-install.XXXXXX)"
trap 'rm -rf "$work"' EXIT
step() { echo "== $*"; }
fail() { echo "check-install: $*" >&2; exit 1; }

version="$(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/QuilletConfigVersion.cmake")"
[ -n "$version" ] || fail "no package version in $build"

step "API reference (Doxygen, warnings are errors)"
cmake --build "$build" --target docs
[ -f "$build/docs/api/html/index.html" ] || fail "no API reference"

step "install into a temporary prefix"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
bash scripts/check-headers.sh "$work/prefix/include"

step "test clip"
clip="$work/clip.mp4"
ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=25:duration=6 -f lavfi -i sine=frequency=440:duration=6 \
  -c:v libx264 -g 25 -pix_fmt yuv420p -c:a aac -shortest "$clip"
frames="$(ffprobe -v error -select_streams v -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$clip")"

# build_examples NAME CMAKE-ARGS...: builds examples/ out of tree.
build_examples() {
  local dir="$work/examples-$1"
  shift
  cmake -S examples -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$dir" -j2 >/dev/null
}

# run_examples NAME: runs the three examples of that build on the clip and checks what they made.
run_examples() {
  local dir="$work/examples-$1"
  (
    cd "$dir"
    ./play_snapshots "$clip" 25 >play.log 2>&1 || { cat play.log; fail "$1: play_snapshots failed"; }
    grep -qx "quillet $version" play.log || fail "$1: library does not report version $version"
    grep -q "^libavcodec .* (built with " play.log || fail "$1: no FFmpeg versions reported"
    local expected=$(((frames + 24) / 25))
    [ "$(ls picture_*.png | wc -l)" -eq "$expected" ] || fail "$1: expected $expected PNG files"
    for png in picture_*.png; do
      [ "$(ffprobe -v error -show_entries stream=codec_name,width,height -of csv=p=0 "$png")" = "png,320,240" ] ||
        fail "$1: $png is not a 320x240 PNG"
    done
    cmp -s picture_00000.png picture_00025.png && fail "$1: different pictures saved identically"

    ./record_sync_points "$clip" rec.mp4 1 >record.log 2>&1 || { cat record.log; fail "$1: record_sync_points failed"; }
    # The example asks for a split every second once the previous one took effect (at a key
    # picture, each second in the clip); every video packet must be in exactly one file.
    local recorded=0 n
    [ "$(ls rec*.mp4 | wc -l)" -ge 2 ] || fail "$1: the recording was not split"
    for f in rec*.mp4; do
      n="$(ffprobe -v error -select_streams v -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$f")"
      recorded=$((recorded + n))
      grep -q "^sync point: .*$f at " record.log || fail "$1: no sync point for $f"
    done
    [ "$recorded" -eq "$frames" ] || fail "$1: recorded $recorded of $frames video packets"

    ./play_events "$clip" 25 >events.log 2>&1 || { cat events.log; fail "$1: play_events failed"; }
    [ "$(ls picture_*.ppm | wc -l)" -eq "$expected" ] || fail "$1: expected $expected PPM files"
    [ "$(head -c 15 picture_00025.ppm)" = "$(printf 'P6\n320 240\n255')" ] || fail "$1: picture_00025.ppm is not a 320x240 PPM"
    grep -qx "event: end of stream" events.log || fail "$1: play_events saw no end-of-stream event"
    grep -q "^played $frames pictures" events.log || fail "$1: play_events lost pictures"

    ./serve_and_play "$clip" >serve.log 2>&1 || { cat serve.log; fail "$1: serve_and_play failed"; }
    grep -q "viewer played $frames pictures" serve.log || { cat serve.log; fail "$1: viewer lost pictures"; }
  )
  echo "$1: examples ran: $(tail -n1 "$dir/play.log"); $(tail -n1 "$dir/events.log"); $(tail -n1 "$dir/record.log"); $(tail -n1 "$dir/serve.log")"
}

# check_python SITE: the quillet package installed under SITE plays the clip, all of it.
check_python() {
  local site="$1"
  [ -d "$site/quillet" ] || { echo "no Python package (pybind11-dev or python3-dev missing): skipped"; return 0; }
  (cd "$work" && env -u PYTHONPATH PYTHONPATH="$site" PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 - "$clip" "$frames" "$site" <<'PY'
import sys, quillet
clip, frames, site = sys.argv[1], int(sys.argv[2]), sys.argv[3]
assert quillet.__file__.startswith(site), quillet.__file__
with quillet.open(clip) as player:
    shapes = [p.array.shape for p in player.pictures()]
assert set(shapes) == {(240, 320, 3)} and len(shapes) == frames, (set(shapes), len(shapes), frames)
print(f"python: quillet {'.'.join(map(str, quillet.version()))} from {site} played {len(shapes)} pictures")
PY
  ) || fail "the Python package under $site does not play the clip"
}

step "Python package from the prefix"
check_python "$work/prefix/lib/python3/dist-packages"

step "examples with find_package"
build_examples cmake -DCMAKE_PREFIX_PATH="$work/prefix"
run_examples cmake

# run_csharp_example NAME CLI-DIR: builds examples/csharp against the assembly in CLI-DIR and runs it
# on the clip; the assembly finds the native library from its own place, without LD_LIBRARY_PATH.
run_csharp_example() {
  local dir="$work/csharp-$1" cli="$2"
  command -v mcs >/dev/null && command -v mono >/dev/null || { echo "$1: no mcs/mono, C# example skipped"; return; }
  [ -f "$cli/Quillet.FFWrapperCLI.dll" ] || fail "$1: no Quillet.FFWrapperCLI.dll in $cli"
  grep -q quillet_player_create "$cli/../../libquillet.so.0.2" ||
    { echo "$1: the library has no C interface yet, C# example skipped"; return; }
  mkdir -p "$dir"
  mcs -nologo -warnaserror -r:"$cli/Quillet.FFWrapperCLI.dll" -out:"$dir/play_snapshots.exe" examples/csharp/PlaySnapshots.cs
  (
    cd "$dir"
    MONO_PATH="$cli" mono play_snapshots.exe "$clip" 25 >play.log 2>&1 || { cat play.log; fail "$1: C# play_snapshots failed"; }
    grep -q "event: EndOfStream" play.log || { cat play.log; fail "$1: C# example saw no end-of-stream event"; }
    [ "$(ls picture_*.ppm | wc -l)" -eq $(((frames + 24) / 25)) ] || fail "$1: C# example saved the wrong number of pictures"
    [ "$(head -c 15 picture_00000.ppm | tr '\n' ' ')" = "P6 320 240 255 " ] || fail "$1: C# example's picture is not 320x240"
    # Without the native library the assembly names the file and where it looked.
    mkdir -p alone && cp "$cli/Quillet.FFWrapperCLI.dll" alone/
    MONO_PATH=alone mono play_snapshots.exe "$clip" >alone.log 2>&1 && fail "$1: ran without the native library"
    grep -q "libquillet.so.0.2 was not found: looked in .*/alone" alone.log || { cat alone.log; fail "$1: no useful message without the native library"; }
  )
  echo "$1: C# example ran: $(tail -n1 "$dir/play.log")"
}
run_csharp_example cmake "$work/prefix/lib/cli/quillet"

step "examples with pkg-config"
[ "$(PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --modversion quillet)" = "$version" ] ||
  fail "quillet.pc does not say version $version"
PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" build_examples pkg-config -DQUILLET_EXAMPLES_PKG_CONFIG=ON
run_examples pkg-config

step "Debian package"
(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
deb="$(ls "$work"/deb/quillet_"$version"_*.deb)"
depends="$(dpkg-deb -f "$deb" Depends)"
echo "Depends: $depends"
for lib in libavformat libavcodec libavutil libswscale libswresample liblog4cpp libyuv; do
  echo "$depends" | grep -q "$lib" || fail "Depends lacks $lib"
done
echo "$depends" | grep -q -- '-dev' && fail "Depends names development packages"
# Installed as root (CI): by dpkg into a fresh root with a database of its own, listed by
# `dpkg -L`. Otherwise unpacked, listed from the archive (the same list).
root="$work/root"
if [ "$(id -u)" -eq 0 ]; then
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  touch "$root/var/lib/dpkg/status"
  # The run-time packages live in the real system, not in the fresh root.
  dpkg --root="$root" --force-depends --force-script-chrootless -i "$deb" >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log"; fail "dpkg cannot install the package"; }
  files="$(dpkg --root="$root" -L quillet | sed 's|^|.|')"
  files="$(for f in $files; do [ -d "$root/${f#./}" ] || echo "$f"; done)"
else
  dpkg-deb -x "$deb" "$root"
  files="$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$')"
fi
unexpected="$(echo "$files" | grep -Ev '^\./usr/(include/quillet/([a-z]+/)?[A-Za-z]+\.h|lib/libquillet(_camera)?\.so[.0-9]*|lib/cmake/Quillet/Quillet[A-Za-z-]*\.cmake|lib/pkgconfig/quillet\.pc|lib/cli/quillet/Quillet\.FFWrapperCLI\.dll(\.config)?|lib/python3/dist-packages/quillet/(__init__\.py|_quillet\.pyi|py\.typed|_quillet\.cpython-[a-z0-9_-]+\.so)|share/doc/quillet/.+)$' || true)"
[ -z "$unexpected" ] || fail "unexpected files in the package: $unexpected"
for needed in ./usr/lib/libquillet.so ./usr/lib/libquillet.so.0.2 ./usr/lib/libquillet_camera.so.0.2 \
  ./usr/lib/cmake/Quillet/QuilletConfig.cmake ./usr/lib/pkgconfig/quillet.pc \
  ./usr/share/doc/quillet/api/index.html; do
  echo "$files" | grep -qx "$needed" || fail "package lacks $needed"
done
[ "$(echo "$files" | grep -c '^\./usr/include/')" -eq "$(cd "$work/prefix" && find include -type f | wc -l)" ] ||
  fail "package headers differ from the installed public headers"
apt-get install -s "$deb" >/dev/null 2>"$work/apt.err" || { cat "$work/apt.err"; fail "apt cannot satisfy the package's Depends"; }

step "examples against the installed package"
build_examples deb -DCMAKE_PREFIX_PATH="$root/usr"
run_examples deb
if command -v mcs >/dev/null; then
  for needed in ./usr/lib/cli/quillet/Quillet.FFWrapperCLI.dll ./usr/lib/cli/quillet/Quillet.FFWrapperCLI.dll.config; do
    echo "$files" | grep -qx "$needed" || fail "package lacks $needed"
  done
  run_csharp_example deb "$root/usr/lib/cli/quillet"
fi
check_python "$root/usr/lib/python3/dist-packages"
echo "install, package and examples: OK"
