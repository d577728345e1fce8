#!/usr/bin/env python3
"""Pictures per second from 1080p H.264 and H.265 clips into BGR NumPy arrays:
the quillet package (threads=0) side by side with PyAV (thread_type="AUTO",
to_ndarray(format="bgr24")), OpenCV's VideoCapture and the C++ player facade
(facade_probe, automatic threads), in the same run; then two Python threads
each playing a clip (threads=1) against one thread playing both in turn,
which shows the interpreter lock is released while decoding.

A shared machine changes speed from one second to the next, so the contenders
run once per round, the rounds interleaved, and each figure is the median of
its rounds; the ratios are paired within each round (their median).

  PYTHONPATH=build/bindings/python bench/bench_python.py [--rounds N] [--probe build/bindings/python/facade_probe]
      [--dir DIR]   (the clips are generated there once: 600 pictures of 1080p25 each)
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import threading
import time

import quillet

PATTERN = ["-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=25", "-t", "24", "-pix_fmt", "yuv420p"]
CLIPS = {
    "H.264": ("bench_1080p_600.mp4", ["-c:v", "libx264", "-preset", "veryfast", "-bf", "2", "-g", "50"]),
    "H.265": ("bench_1080p_600_hevc.mp4", ["-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                                           "log-level=error:keyint=50", "-tag:v", "hvc1"]),
}


def make_clip(folder, name, codec):
    path = os.path.join(folder, name)
    if not os.path.exists(path):
        subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", *PATTERN, *codec, path], check=True)
    return path


def run_quillet(clip, threads=0):
    with quillet.open(clip, threads=threads) as player:
        start = time.perf_counter()
        n = sum(1 for _ in player.pictures())
        return n / (time.perf_counter() - start)


def run_pyav(clip):
    import av
    with av.open(clip) as container:
        stream = container.streams.video[0]
        stream.thread_type = "AUTO"
        start = time.perf_counter()
        n = sum(1 for frame in container.decode(stream) if frame.to_ndarray(format="bgr24") is not None)
        return n / (time.perf_counter() - start)


def run_opencv(clip):
    import cv2
    capture = cv2.VideoCapture(clip)
    start = time.perf_counter()
    n = 0
    while capture.read()[0]:
        n += 1
    seconds = time.perf_counter() - start
    capture.release()
    return n / seconds


def run_facade(clip, probe):
    out = subprocess.run([probe, "rate", clip, "0"], check=True, capture_output=True, text=True).stdout
    return float(out.split()[0])


def run_two_threads(clips):
    """Pictures per second with each clip on a thread of its own, and with one thread playing both."""
    def play(clip, counts):
        with quillet.open(clip, threads=1) as player:
            counts.append(sum(1 for _ in player.pictures()))

    counts = []
    start = time.perf_counter()
    for clip in clips:
        play(clip, counts)
    one = sum(counts) / (time.perf_counter() - start)
    counts = []
    threads = [threading.Thread(target=play, args=(clip, counts)) for clip in clips]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    two = sum(counts) / (time.perf_counter() - start)
    return one, two


def available(module):
    try:
        __import__(module)
        return True
    except ImportError:
        return False


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--probe", default=os.environ.get("QUILLET_FACADE_PROBE", "build/bindings/python/facade_probe"))
    parser.add_argument("--dir", default=".")
    args = parser.parse_args()

    clips = {codec: make_clip(args.dir, *spec) for codec, spec in CLIPS.items()}
    contenders = {"quillet threads=0": run_quillet}
    if os.access(args.probe, os.X_OK):
        contenders["C++ facade, automatic threads"] = lambda clip: run_facade(clip, args.probe)
    if available("av"):
        contenders["PyAV thread_type=AUTO"] = run_pyav
    if available("cv2"):
        contenders["OpenCV VideoCapture"] = run_opencv

    print(f"{os.cpu_count()} cores, median of {args.rounds} interleaved rounds, 1080p25, 600 pictures per clip")
    for codec, clip in clips.items():
        rates = {name: [] for name in contenders}
        run_opencv(clip) if "OpenCV VideoCapture" in contenders else run_quillet(clip)  # warm the file cache
        for _ in range(args.rounds):
            for name, run in contenders.items():
                rates[name].append(run(clip))
        ours = rates["quillet threads=0"]
        print(f"{codec} ({os.path.basename(clip)}):")
        for name, values in rates.items():
            line = f"  {name:32s}{statistics.median(values):8.1f} pictures/s"
            if name != "quillet threads=0":
                paired = statistics.median(q / v for q, v in zip(ours, values))
                line += f"   quillet / this: {paired:.2f}"
            print(line)

    # Two files of equal work, so that neither thread waits for the other at the end.
    second = os.path.join(args.dir, "bench_1080p_600_copy.mp4")
    if not os.path.exists(second):
        shutil.copyfile(clips["H.264"], second)
    one, two = [], []
    for _ in range(args.rounds):
        a, b = run_two_threads([clips["H.264"], second])
        one.append(a)
        two.append(b)
    print("two H.264 files, threads=1 each:")
    print(f"  one Python thread, in turn          {statistics.median(one):8.1f} pictures/s")
    print(f"  two Python threads, side by side    {statistics.median(two):8.1f} pictures/s"
          f"   two / one: {statistics.median(b / a for a, b in zip(one, two)):.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
