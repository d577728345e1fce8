#!/usr/bin/env python3
"""A 4x4 camera grid: 16 connections to the 1080p RTSP test camera, each shown
at 480x270. Three ways, each in a process of its own, measured in the same run:

  sized      quillet.open(url, size=(480, 270)): the library scales as it converts
  full       quillet.open(url) at the coded size, cv2.resize in the application
  opencv     cv2.VideoCapture(url).read() and cv2.resize

For each: the CPU the process uses per shown camera (CPU seconds per wall
second / 16), the CPU per picture shown, the pictures shown per camera per
second and the resident memory per camera. Target: sized at most 0.7 of full
in CPU per picture shown.

  PYTHONPATH=build/bindings/python /usr/bin/python3 bench/bench_grid.py [--seconds S] [--fps F] [--rounds N]
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import threading
import time

from process_memory import resident_mb

CAMERAS, WIDTH, HEIGHT = 16, 480, 270
SERVER = "/work/shared/tools/rtsp_test_server.py"


def child(mode, url, seconds, warmup):
    """Runs one way of showing the grid and prints its figures as one JSON line."""
    import cv2
    shown = [0] * CAMERAS
    stop = threading.Event()
    readers = []
    if mode in ("sized", "full"):
        import quillet
        players = [quillet.open(url, size=(WIDTH, HEIGHT) if mode == "sized" else None) for _ in range(CAMERAS)]

        def read(i):
            player = players[i]
            while not stop.is_set():
                picture = player.read(timeout=1.0)
                if picture is None:
                    continue
                tile = picture.array
                if mode == "full":
                    tile = cv2.resize(tile, (WIDTH, HEIGHT), interpolation=cv2.INTER_AREA)
                assert tile.shape == (HEIGHT, WIDTH, 3), tile.shape
                shown[i] += 1
        closers = players
    else:
        os.environ.setdefault("OPENCV_FFMPEG_CAPTURE_OPTIONS", "rtsp_transport;tcp")
        captures = [cv2.VideoCapture(url, cv2.CAP_FFMPEG) for _ in range(CAMERAS)]

        def read(i):
            capture = captures[i]
            while not stop.is_set():
                ok, picture = capture.read()
                if ok:
                    cv2.resize(picture, (WIDTH, HEIGHT), interpolation=cv2.INTER_AREA)
                    shown[i] += 1
        closers = []
    for i in range(CAMERAS):
        readers.append(threading.Thread(target=read, args=(i,), daemon=True))
        readers[-1].start()
    time.sleep(warmup)
    before_shown, before_cpu, before_wall = sum(shown), time.process_time(), time.monotonic()
    time.sleep(seconds)
    after_shown, after_cpu, after_wall = sum(shown), time.process_time(), time.monotonic()
    rss = resident_mb()
    stop.set()
    for reader in readers:
        reader.join(timeout=5)
    for c in closers:
        c.close()
    wall = after_wall - before_wall
    print(json.dumps({"cpu": (after_cpu - before_cpu) / wall, "pictures": (after_shown - before_shown) / wall,
                      "rss": rss}))


def start_camera(fps):
    server = subprocess.Popen(["/usr/bin/python3", SERVER, "--port", "0", "--width", "1920", "--height", "1080",
                               "--fps", str(fps), "--bitrate", "4000"], stdout=subprocess.PIPE, text=True)
    for line in server.stdout:
        if line.startswith("READY"):
            return server, line.split()[1] + "/video"
        if line.startswith("ERROR"):
            break
    server.terminate()
    raise RuntimeError("the test camera did not start")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=15.0)
    parser.add_argument("--warmup", type=float, default=4.0)
    parser.add_argument("--fps", type=int, default=5, help="the camera's pictures per second")
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--child", nargs=2, metavar=("MODE", "URL"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args.child[0], args.child[1], args.seconds, args.warmup)
    server, url = start_camera(args.fps)
    modes = ["sized", "full", "opencv"]
    runs = {m: [] for m in modes}
    try:
        for _ in range(args.rounds):
            for mode in modes:
                out = subprocess.run([sys.executable, __file__, "--child", mode, url, "--seconds", str(args.seconds),
                                      "--warmup", str(args.warmup)], check=True, stdout=subprocess.PIPE,
                                     text=True).stdout
                runs[mode].append(json.loads(out.strip().splitlines()[-1]))
    finally:
        server.terminate()
        server.wait()
    print(f"{CAMERAS} cameras of 1920x1080 at {args.fps} fps shown at {WIDTH}x{HEIGHT}, "
          f"median of {args.rounds} rounds of {args.seconds:.0f} s")
    per_picture = {}
    for mode in modes:
        cpu = statistics.median(r["cpu"] for r in runs[mode])
        pictures = statistics.median(r["pictures"] for r in runs[mode])
        rss = statistics.median(r["rss"] for r in runs[mode])
        per_picture[mode] = statistics.median(r["cpu"] / r["pictures"] * 1000.0 for r in runs[mode] if r["pictures"])
        print(f"  {mode:7s} CPU per camera {cpu / CAMERAS * 100:5.1f}%  {per_picture[mode]:6.2f} ms per picture  "
              f"{pictures / CAMERAS:5.2f} pictures/s per camera  {rss / CAMERAS:6.1f} MB per camera")
    ratio = per_picture["sized"] / per_picture["full"]
    print(f"  sized / full-size + cv2.resize: {ratio:.2f} of the CPU per picture shown; target <= 0.7 "
          f"{'met' if ratio <= 0.7 else 'NOT met'}")
    print(f"  sized / OpenCV read + resize:   {per_picture['sized'] / per_picture['opencv']:.2f}")


if __name__ == "__main__":
    sys.exit(main())
