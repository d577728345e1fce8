#!/usr/bin/env python3
"""Seconds for 20 thumbnails at 320x180 of a 10-minute 1080p H.264 file (a key
picture every 2 s) and a 10-minute 1080p H.265 file: quillet.thumbnails, key
pictures only and exact, side by side in the same run with `ffmpeg -ss T -i F
-frames:v 1 -s 320x180` once per thumbnail, one `ffmpeg` with a `select`
filter over all the times, PyAV (seek, decode, reformat) and OpenCV
(CAP_PROP_POS_MSEC, read, cv2.resize).

Peers that show the key picture before each time (PyAV's seek without
decoding on) are compared with the key-picture mode; those that show the
picture at each time with the exact mode. Targets: key pictures at least 3x
the fastest peer, exact pictures at least 1.5x the fastest exact peer.

A shared machine changes speed from one second to the next, so every
contender runs once per round, the rounds interleaved (each round starting
with the next contender), and each figure is the median of its rounds;
beside it the processor time it took (all threads and processes together),
which a busy machine changes less. The clip is read once before the first
round, so every contender finds it in the page cache.

  PYTHONPATH=build/bindings/python /usr/bin/python3 bench/bench_thumbnails.py [--rounds N] [--dir DIR]
      (the clips are made once in DIR, by default ~/.cache/quillet-bench: slow, ultrafast presets)
"""
import argparse
import os
import resource
import statistics
import subprocess
import time

import numpy

import quillet

WIDTH, HEIGHT, COUNT, SECONDS = 320, 180, 20, 600
PATTERN = ["-f", "lavfi", "-i", f"testsrc2=size=1920x1080:rate=25:duration={SECONDS}", "-pix_fmt", "yuv420p"]
CLIPS = {
    "H.264": ("h264_1080p_600s.mp4", ["-c:v", "libx264", "-preset", "ultrafast", "-g", "50", "-keyint_min", "50",
                                      "-sc_threshold", "0"]),
    "H.265": ("h265_1080p_600s.mp4", ["-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                                      "keyint=50:min-keyint=50:scenecut=0:log-level=error"]),
}


def make_clip(folder, name, codec):
    path = os.path.join(folder, name)
    if not os.path.exists(path):
        part = path + ".part.mp4"
        subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", *PATTERN, *codec, part], check=True)
        os.rename(part, path)
    return path


def processor_seconds():
    # This process's threads and the ffmpeg processes it waited for.
    total = 0.0
    for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN):
        usage = resource.getrusage(who)
        total += usage.ru_utime + usage.ru_stime
    return total


def warm(path):
    with open(path, "rb") as f:
        while f.read(1 << 24):
            pass


def times_for(duration):
    # Spread like quillet's count form, off the key pictures, so exact work is real.
    return [duration * (i + 0.37) / COUNT for i in range(COUNT)]


def run_quillet(clip, times, exact):
    shots = quillet.thumbnails(clip, times, size=(WIDTH, HEIGHT), exact=exact)
    assert all(s.error is None and s.array.shape == (HEIGHT, WIDTH, 3) for s in shots), shots
    return len(shots)


def run_ffmpeg_each(clip, times):
    n = 0
    for t in times:
        out = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-ss", f"{t:.3f}", "-i", clip, "-frames:v", "1",
                              "-s", f"{WIDTH}x{HEIGHT}", "-f", "rawvideo", "-pix_fmt", "bgr24", "-"],
                             check=True, stdout=subprocess.PIPE).stdout
        n += len(out) == WIDTH * HEIGHT * 3
    return n


def run_ffmpeg_select(clip, times, fps=25):
    frames = "+".join(f"eq(n\\,{int(round(t * fps + 0.4999))})" for t in times)
    out = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", clip, "-vf", f"select='{frames}'",
                          "-fps_mode", "passthrough", "-s", f"{WIDTH}x{HEIGHT}", "-f", "rawvideo", "-pix_fmt",
                          "bgr24", "-"], check=True, stdout=subprocess.PIPE).stdout
    return len(out) // (WIDTH * HEIGHT * 3)


def quiet_pyav():
    # Imported, PyAV routes every FFmpeg log call of the process (also those
    # of other libraries' decoding threads) through a callback that takes the
    # interpreter lock. FFmpeg's own callback goes back in, so that no
    # contender pays for another's logging.
    import av.logging
    av.logging.restore_default_callback()


def run_pyav(clip, times, exact):
    import av
    n = 0
    with av.open(clip) as container:
        stream = container.streams.video[0]
        stream.thread_type = "AUTO"
        for t in times:
            container.seek(int(t / stream.time_base), stream=stream, backward=True)
            for frame in container.decode(stream):
                if not exact or frame.time >= t - 1e-6:
                    n += frame.reformat(width=WIDTH, height=HEIGHT, format="bgr24").to_ndarray() is not None
                    break
    return n


def run_opencv(clip, times):
    import cv2
    n = 0
    capture = cv2.VideoCapture(clip)
    for t in times:
        capture.set(cv2.CAP_PROP_POS_MSEC, t * 1000.0)
        ok, picture = capture.read()
        if ok:
            n += cv2.resize(picture, (WIDTH, HEIGHT), interpolation=cv2.INTER_AREA) is not None
    capture.release()
    return n


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--dir", default=os.path.expanduser("~/.cache/quillet-bench"))
    parser.add_argument("--skip-select", action="store_true", help="leave out the slow whole-file select peer")
    parser.add_argument("--only", choices=list(CLIPS), help="one clip only")
    args = parser.parse_args()
    os.makedirs(args.dir, exist_ok=True)
    quiet_pyav()
    for codec, (name, options) in CLIPS.items():
        if args.only and codec != args.only:
            continue
        clip = make_clip(args.dir, name, options)
        times = times_for(SECONDS)
        contenders = {
            "quillet key pictures": (False, lambda: run_quillet(clip, times, False)),
            "quillet exact": (True, lambda: run_quillet(clip, times, True)),
            "ffmpeg -ss per thumbnail": (True, lambda: run_ffmpeg_each(clip, times)),
            "PyAV key pictures": (False, lambda: run_pyav(clip, times, False)),
            "PyAV exact": (True, lambda: run_pyav(clip, times, True)),
            "OpenCV POS_MSEC": (True, lambda: run_opencv(clip, times)),
        }
        if not args.skip_select:
            contenders["ffmpeg select, one run"] = (True, lambda: run_ffmpeg_select(clip, times))
        seconds = {name: [] for name in contenders}
        cpu = {name: [] for name in contenders}
        warm(clip)
        names = list(contenders)
        for round_ in range(args.rounds):
            for name in names[round_ % len(names):] + names[:round_ % len(names)]:
                run = contenders[name][1]
                start, used = time.perf_counter(), processor_seconds()
                made = run()
                seconds[name].append(time.perf_counter() - start)
                cpu[name].append(processor_seconds() - used)
                assert made == COUNT, f"{name} made {made} of {COUNT}"
        median = {name: statistics.median(s) for name, s in seconds.items()}
        print(f"{codec}: {COUNT} thumbnails at {WIDTH}x{HEIGHT} of {SECONDS} s 1080p, median of {args.rounds} rounds")
        for name, s in median.items():
            print(f"  {name:28s} {s:7.3f} s   (processor {statistics.median(cpu[name]):7.3f} s)")
        peers = {n: s for n, s in median.items() if not n.startswith("quillet")}
        exact_peers = {n: s for n, s in peers.items() if contenders[n][0]}
        fastest = min(peers, key=peers.get)
        fastest_exact = min(exact_peers, key=exact_peers.get)
        key_ratio = peers[fastest] / median["quillet key pictures"]
        exact_ratio = exact_peers[fastest_exact] / median["quillet exact"]
        print(f"  key pictures: {key_ratio:.2f}x the fastest peer ({fastest}); target >= 3x "
              f"{'met' if key_ratio >= 3 else 'NOT met'}")
        print(f"  exact:        {exact_ratio:.2f}x the fastest exact peer ({fastest_exact}); target >= 1.5x "
              f"{'met' if exact_ratio >= 1.5 else 'NOT met'}")


if __name__ == "__main__":
    main()
