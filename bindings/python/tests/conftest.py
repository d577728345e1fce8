"""Shared fixtures: generated clips, the C++ facade's view of them, the test camera."""
import os
import pathlib
import signal
import socket
import subprocess
import tempfile
import time
import zlib

import numpy
import pytest

# The shared tools folder sits beside the checkout (bindings/python/tests/ in it).
RTSP_SERVER = next((p for p in (pathlib.Path(__file__).resolve().parents[3].parent / "shared/tools/rtsp_test_server.py",
                                pathlib.Path("/work/shared/tools/rtsp_test_server.py")) if p.exists()),
                   pathlib.Path("/work/shared/tools/rtsp_test_server.py"))


def adler(array):
    """The Adler-32 of a picture's packed rows, as facade_probe prints it."""
    return zlib.adler32(numpy.ascontiguousarray(array))


@pytest.fixture(scope="session")
def media_dir():
    with tempfile.TemporaryDirectory(prefix="quillet-py-") as d:
        yield pathlib.Path(d)


@pytest.fixture(scope="session")
def clip(media_dir):
    """3 s of H.264 with B-frames and AAC, a key picture each second: the order a decoder
    reorders and a seek has to land in."""
    path = str(media_dir / "clip.mp4")
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=3",
                    "-f", "lavfi", "-i", "sine=frequency=440:duration=3", "-c:a", "aac", "-shortest", "-c:v", "libx264",
                    "-bf", "2", "-g", "25", "-pix_fmt", "yuv420p", path], check=True)
    return path


def facade_frames(clip, pixel_format="bgr24"):
    """[(time, adler32)] of every picture the C++ facade reads from `clip`."""
    probe = os.environ.get("QUILLET_FACADE_PROBE")
    if not probe:
        pytest.skip("QUILLET_FACADE_PROBE is not set (run through ctest)")
    out = subprocess.run([probe, "frames", clip, pixel_format], check=True, capture_output=True, text=True).stdout
    return [(float(t), int(h)) for t, h in (line.split() for line in out.splitlines())]


@pytest.fixture
def silent_camera():
    """An RTSP address whose server accepts the connection and never answers."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        s.listen()
        yield f"rtsp://127.0.0.1:{s.getsockname()[1]}/test"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Camera:
    """The shared RTSP test camera in a process of its own."""

    def __init__(self, *args):
        self.process = subprocess.Popen(["/usr/bin/python3", str(RTSP_SERVER), "--port", "0", *args],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        line = self.process.stdout.readline()
        if not line.startswith("READY "):
            self.kill()
            pytest.fail(f"the test camera did not start: {line}")
        self.url = line.split()[1]

    def kill(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGCONT)
            self.process.kill()
            self.process.wait()

    def hang(self):
        self.process.send_signal(signal.SIGSTOP)


def camera_available():
    if not RTSP_SERVER.exists() or not os.access("/usr/bin/python3", os.X_OK):
        return False
    probe = ("import gi; gi.require_version('GstRtspServer', '1.0'); "
             "from gi.repository import GstRtspServer")
    return subprocess.run(["/usr/bin/python3", "-c", probe], capture_output=True).returncode == 0


needs_camera = pytest.mark.skipif(not camera_available(), reason="the RTSP test camera cannot run here")


@pytest.fixture
def camera_factory():
    cameras = []

    def start(*args):
        cameras.append(Camera(*args))
        return cameras[-1]

    yield start
    for c in cameras:
        c.kill()


def wait_for(condition, seconds=10.0):
    """Polls `condition` until it holds (True) or `seconds` pass (False)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.01)
    return condition()
