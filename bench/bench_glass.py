#!/usr/bin/python3
"""Glass-to-glass latency of a live camera: ours against the peers, same camera, same run.

The camera is tests/camera/stamp_camera.py (GStreamer appsrc into its RTSP server, H.264 without
B-pictures, a key picture a second): it writes each picture's capture time into the picture's
pixels. Each reader plays it over TCP for a while, one after the other, and for every picture in
its hands in BGR24 reads the stamp back; latency = hand time - stamped capture time, the camera's
own encoding included. Per reader: p50, p99 and worst latency, pictures missed (numbers never
seen), pictures that did not read whole, and the CPU the reader's process used (share of one core).

Readers: our C++ facade and C interface (build/bench/glass_reader) and Python package, each with
the newest and every live-reading policy; PyAV at its defaults and with fflags=nobuffer,
flags=low_delay; GStreamer from Python (rtspsrc latency=0 ! decodebin ! videoconvert ! appsink
drop=true max-buffers=1 sync=false); OpenCV's VideoCapture at its defaults and with nobuffer.

  /usr/bin/python3 bench/bench_glass.py [--seconds 10] [--size 1280x720] [--mounts /h264,/slices]
                                        [--readers cpp-newest,...] [--build build]

Run with Debian's /usr/bin/python3 (python3-gi, python3-gst-1.0, gstreamer1.0-libav, python3-av,
python3-opencv, python3-numpy); PYTHONPATH=build/bindings/python for our Python package.
"""
import argparse
import os
import resource
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
ALL_READERS = ["cpp-newest", "cpp-every", "c-newest", "c-every", "python-newest", "python-every",
               "pyav-default", "pyav-lowdelay", "gstreamer", "opencv-default", "opencv-lowdelay"]


def now_ms():
    return time.time() * 1000.0


def stamp_of(bgr):
    """(capture ms, number) from a BGR picture of stamp_camera.py, or None when not whole."""
    import numpy as np
    height, width = bgr.shape[:2]
    side = width // 80
    agreed = None
    for band in range(8):
        top = (band * (height - side) // 7) // side * side
        row = bgr[top + side // 2, 4 * side + side // 2: 4 * side + 72 * side: side].astype(np.int32)
        luma = (row[:, 0] + 2 * row[:, 1] + row[:, 2]) // 4
        data = np.packbits((luma >= 128).astype(np.uint8)).tobytes()
        check = 0
        for byte in data[:8]:
            check ^= byte
        value = int.from_bytes(data[:8], "big")
        if check != data[8] or (agreed is not None and agreed != value):
            return None
        agreed = value
    return agreed >> 20, agreed & 0xFFFFF


def emit(hand, bgr, capture=0.0, trusted=False):
    stamp = stamp_of(bgr)
    if stamp is None:
        print(f"{hand:.3f} broken", flush=False)
    else:
        print(f"{hand:.3f} {stamp[0]} {stamp[1]} {capture:.3f} {int(trusted)}", flush=False)


# ---------------------------------------------------------------- readers run in their own process

def read_quillet(url, seconds, policy):
    import quillet
    player = quillet.open(url, live=policy, tcp=True)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        picture = player.read(timeout=0.1)
        if picture is None:
            continue
        hand = now_ms()
        capture = getattr(picture, "capture_time", None)
        emit(hand, picture.array, (capture or 0.0) * 1000.0, bool(getattr(picture, "capture_time_trusted", False)))
    player.close()


def read_pyav(url, seconds, low_delay):
    import av
    options = {"rtsp_transport": "tcp"}
    if low_delay:
        options.update({"fflags": "nobuffer", "flags": "low_delay"})
    container = av.open(url, options=options)
    stream = container.streams.video[0]
    if low_delay:
        stream.codec_context.flags |= av.codec.context.Flags.LOW_DELAY
    end = time.monotonic() + seconds
    for frame in container.decode(stream):
        emit(now_ms(), frame.to_ndarray(format="bgr24"))
        if time.monotonic() >= end:
            break
    container.close()


def read_gstreamer(url, seconds):
    import gi
    gi.require_version("Gst", "1.0")
    from gi.repository import Gst
    import numpy as np
    Gst.init(None)
    pipeline = Gst.parse_launch(
        f"rtspsrc location={url} latency=0 protocols=tcp ! decodebin ! videoconvert "
        "! video/x-raw,format=BGR ! appsink name=sink drop=true max-buffers=1 sync=false")
    sink = pipeline.get_by_name("sink")
    pipeline.set_state(Gst.State.PLAYING)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        sample = sink.emit("try-pull-sample", 100 * Gst.MSECOND)
        if sample is None:
            continue
        hand = now_ms()
        caps = sample.get_caps().get_structure(0)
        width, height = caps.get_value("width"), caps.get_value("height")
        buffer = sample.get_buffer()
        ok, info = buffer.map(Gst.MapFlags.READ)
        if not ok:
            continue
        stride = len(info.data) // height
        bgr = np.frombuffer(info.data, dtype=np.uint8).reshape(height, stride)[:, : width * 3].reshape(height, width, 3)
        emit(hand, bgr)
        buffer.unmap(info)
    pipeline.set_state(Gst.State.NULL)


def read_opencv(url, seconds, low_delay):
    options = "rtsp_transport;tcp" + ("|fflags;nobuffer|flags;low_delay" if low_delay else "")
    os.environ["OPENCV_FFMPEG_CAPTURE_OPTIONS"] = options
    import cv2
    capture = cv2.VideoCapture(url, cv2.CAP_FFMPEG)
    if low_delay:
        capture.set(cv2.CAP_PROP_BUFFERSIZE, 1)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        ok, frame = capture.read()
        if ok:
            emit(now_ms(), frame)
    capture.release()


def run_reader(name, url, seconds):
    if name.startswith("python-"):
        read_quillet(url, seconds, name.split("-")[1])
    elif name.startswith("pyav-"):
        read_pyav(url, seconds, name.endswith("lowdelay"))
    elif name == "gstreamer":
        read_gstreamer(url, seconds)
    elif name.startswith("opencv-"):
        read_opencv(url, seconds, name.endswith("lowdelay"))
    sys.stdout.flush()


# ---------------------------------------------------------------- the run

def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def measure(name, url, seconds, build):
    if name.startswith(("cpp-", "c-")):
        api, policy = name.split("-")
        command = [os.path.join(build, "bench", "glass_reader"), api, policy, url, str(seconds)]
    else:
        command = [sys.executable, os.path.abspath(__file__), "--reader", name, "--url", url,
                   "--seconds", str(seconds)]
    environment = dict(os.environ)
    environment["PYTHONPATH"] = os.path.join(build, "bindings", "python")
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    began = time.monotonic()
    result = subprocess.run(command, capture_output=True, text=True, env=environment, timeout=seconds + 60)
    wall = time.monotonic() - began
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime) / wall * 100.0
    latencies, numbers, broken, capture_errors = [], set(), 0, []
    trusted_seen = 0
    for line in result.stdout.splitlines():
        fields = line.split()
        if len(fields) == 2 and fields[1] == "broken":
            broken += 1
        elif len(fields) == 5:
            hand, stamp, number, capture, trusted = float(fields[0]), int(fields[1]), int(fields[2]), \
                float(fields[3]), fields[4] == "1"
            latencies.append(hand - stamp)
            numbers.add(number)
            # From the third second of trusted times on: the test camera's first
            # sender report of a session may map its RTP clock up to a few
            # picture intervals early (sent before its pipeline's latency is
            # set); its next report, a second later, corrects it, and the client
            # follows each report.
            trusted_seen += trusted
            if trusted and trusted_seen > 50:
                capture_errors.append(abs(capture - stamp))
    if not latencies:
        return {"name": name, "error": (result.stderr or "no picture")[-300:]}
    # The first second holds the connection's start-up; it is not steady state.
    steady = latencies[25:] if len(latencies) > 50 else latencies
    return {"name": name, "pictures": len(latencies), "p50": percentile(steady, 0.5),
            "p99": percentile(steady, 0.99), "worst": max(steady), "broken": broken,
            "missed": max(numbers) - min(numbers) + 1 - len(numbers), "cpu": cpu,
            "capture_p99": percentile(capture_errors, 0.99) if capture_errors else None}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--reader")
    parser.add_argument("--url")
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--size", default="1280x720")
    parser.add_argument("--mounts", default="/h264,/slices")
    parser.add_argument("--readers", default=",".join(ALL_READERS))
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    args = parser.parse_args()
    if args.reader:
        run_reader(args.reader, args.url, args.seconds)
        return
    width, height = args.size.split("x")
    camera = subprocess.Popen(["/usr/bin/python3", os.path.join(ROOT, "tests", "camera", "stamp_camera.py"),
                               "--port", "0", "--width", width, "--height", height],
                              stdout=subprocess.PIPE, text=True)
    base = None
    for line in camera.stdout:
        if line.startswith("READY "):
            base = line.split()[1]
            break
    if base is None:
        sys.exit("the stamp camera did not start")
    try:
        for mount in args.mounts.split(","):
            print(f"\n{args.size} {mount} ({'1 slice' if mount == '/h264' else '4 slices'}), "
                  f"{args.seconds:g} s per reader, latency in ms")
            print(f"{'reader':16} {'pictures':>8} {'p50':>7} {'p99':>7} {'worst':>7} {'missed':>6} "
                  f"{'broken':>6} {'CPU %':>6} {'capture p99':>11}")
            rows = {}
            for name in args.readers.split(","):
                row = measure(name, base + mount, args.seconds, args.build)
                rows[name] = row
                if "error" in row:
                    print(f"{name:16} failed: {row['error']!r}")
                    continue
                capture = "-" if row["capture_p99"] is None else f"{row['capture_p99']:.1f}"
                print(f"{name:16} {row['pictures']:8d} {row['p50']:7.1f} {row['p99']:7.1f} {row['worst']:7.1f} "
                      f"{row['missed']:6d} {row['broken']:6d} {row['cpu']:6.1f} {capture:>11}", flush=True)
            peer = rows.get("gstreamer")
            if peer and "error" not in peer:
                for name in ("cpp-newest", "c-newest", "python-newest"):
                    ours = rows.get(name)
                    if ours and "error" not in ours:
                        print(f"{name} against GStreamer: p50 {ours['p50'] - peer['p50']:+.1f} ms, "
                              f"p99 {ours['p99'] - peer['p99']:+.1f} ms")
    finally:
        camera.terminate()
        camera.wait()


if __name__ == "__main__":
    main()
