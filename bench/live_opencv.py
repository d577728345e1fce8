#!/usr/bin/python3
"""The peer of bench_live: OpenCV's VideoCapture reading a camera at a pace.

    live_opencv.py URL PACE_MS SECONDS

Reads one picture every PACE_MS for SECONDS over RTSP/TCP and prints one
line: "opencv <median age> <worst age> <pictures> <rss MB>". A picture's
age is how much later than the freshest picture seen it is handed out:
(wall time at the read - picture time) minus the smallest such difference
of the run, the way bench_live measures its own pictures.
"""
import os
import statistics
import sys
import time

os.environ.setdefault("OPENCV_FFMPEG_CAPTURE_OPTIONS", "rtsp_transport;tcp")
import cv2  # noqa: E402

from process_memory import resident_mb  # noqa: E402


def main():
    url, pace, seconds = sys.argv[1], float(sys.argv[2]) / 1000.0, float(sys.argv[3])
    capture = cv2.VideoCapture(url, cv2.CAP_FFMPEG)
    if not capture.isOpened():
        print("opencv failed to open", url)
        return 1
    lags = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        next_read = time.monotonic() + pace
        ok, _ = capture.read()
        if ok:
            lags.append(time.monotonic() - capture.get(cv2.CAP_PROP_POS_MSEC) / 1000.0)
        time.sleep(max(0.0, next_read - time.monotonic()))
    capture.release()
    if not lags:
        print("opencv no pictures")
        return 1
    fresh = min(lags)
    ages = [lag - fresh for lag in lags]
    print("opencv %.3f %.3f %d %.1f" % (statistics.median(ages), max(ages), len(ages), resident_mb()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
