#!/usr/bin/python3
"""A test camera that writes each picture's capture time into its pixels.

GStreamer's RTSP server fed by appsrc (run with /usr/bin/python3, Debian's
python3-gi and python3-numpy). Every picture carries, in eight bands from
top to bottom, the same 72-bit stamp as black and white squares: 44 bits of
milliseconds since the UNIX epoch taken just before the picture enters the
encoder, 20 bits of picture number, 8 bits of check (XOR of the 8 bytes
before). A reader that finds all eight bands valid and equal holds a whole
picture; a picture with a slice missing or stale shows bands that disagree.
Square side b = width // 80; band k's top row is (k * (height - b) // 7)
rounded down to a multiple of b; its squares start at x = 4 * b.

Mounts (no B-pictures, a key picture every --fps pictures):
  /h264         H.264, one slice per picture
  /slices       H.264, 4 slices per picture
  /hevc-slices  H.265, 4 slices per picture
  /lossy        H.264, 4 slices per picture, 1 % of its RTP packets dropped
                on the way (after the first second)
Prints "READY rtsp://127.0.0.1:<port>" once listening (--port 0: a free port).
"""
import argparse
import random
import signal
import sys
import threading
import time

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstApp", "1.0")
gi.require_version("GstRtsp", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtsp, GstRtspServer  # noqa: E402
import numpy as np  # noqa: E402

ap = argparse.ArgumentParser()
ap.add_argument("--port", type=int, default=8554)
ap.add_argument("--width", type=int, default=1280)
ap.add_argument("--height", type=int, default=720)
ap.add_argument("--fps", type=int, default=25)
ap.add_argument("--bitrate", type=int, default=3000, help="kbit/s")
ap.add_argument("--rtcp-interval", type=float, default=1.0, help="RTCP min interval in s")
ap.add_argument("--udp-port-min", type=int, default=41000)
ap.add_argument("--loss", type=float, default=0.01, help="share of RTP packets /lossy drops")
args = ap.parse_args()

Gst.init(None)
W, H, FPS = args.width, args.height, args.fps
B = W // 80
BANDS = [(k * (H - B) // 7) // B * B for k in range(8)]


def stamp_bits(ms, number):
    value = ((ms & ((1 << 44) - 1)) << 20) | (number & 0xFFFFF)
    data = value.to_bytes(8, "big")
    check = 0
    for byte in data:
        check ^= byte
    return np.unpackbits(np.frombuffer(data + bytes([check]), dtype=np.uint8))


class Feeder:
    """Pushes stamped pictures into one pipeline's appsrc at the frame rate."""

    def __init__(self, appsrc):
        self.appsrc = appsrc
        self.running = True
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        frame = np.full(W * H * 3 // 2, 128, dtype=np.uint8)
        luma = frame[: W * H].reshape(H, W)
        interval = 1.0 / FPS
        start = time.monotonic()
        number = 0
        while self.running:
            delay = start + number * interval - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            if self.appsrc.get_state(0)[1] != Gst.State.PLAYING:
                number += 1  # pictures are made only while someone plays
                continue
            luma[:, :] = 112
            # Something that moves, so the pictures between key pictures carry work.
            x = (number * 8) % (W - 4 * B)
            luma[H // 2 - 2 * B: H // 2 + 2 * B, x: x + 4 * B] = 200
            # The stamp and the buffer's time are read together, so a feeder
            # starved between stamping and pushing still times the picture
            # when it was stamped (the RTP timestamp follows the buffer's time).
            clock = self.appsrc.get_clock()
            running = clock.get_time() - self.appsrc.get_base_time() if clock else Gst.CLOCK_TIME_NONE
            ms = int(time.time() * 1000)
            row = np.repeat(np.where(stamp_bits(ms, number) > 0, 235, 16).astype(np.uint8), B)
            for top in BANDS:
                luma[top: top + B, 4 * B: 4 * B + row.size] = row
            buffer = Gst.Buffer.new_wrapped(frame.tobytes())
            buffer.pts = running
            buffer.duration = Gst.SECOND // FPS
            if self.appsrc.emit("push-buffer", buffer) != Gst.FlowReturn.OK:
                break
            number += 1


def dropper(rate):
    rng = random.Random(7)
    begun = time.monotonic()

    def probe(_pad, _info):
        if time.monotonic() - begun > 1.0 and rng.random() < rate:
            return Gst.PadProbeReturn.DROP
        return Gst.PadProbeReturn.OK
    return probe


SOURCE = (f"appsrc name=src is-live=true do-timestamp=false format=time "
          f"caps=video/x-raw,format=I420,width={W},height={H},framerate={FPS}/1 ")
X264 = (f"! x264enc tune=zerolatency speed-preset=ultrafast bitrate={args.bitrate} "
        f"key-int-max={FPS} threads=1 option-string=\"scenecut=0:slices={{slices}}\" "
        f"! video/x-h264,profile=high ! rtph264pay name=pay0 pt=96 config-interval=-1")
X265 = (f"! x265enc tune=zerolatency speed-preset=ultrafast bitrate={args.bitrate} "
        f"key-int-max={FPS} option-string=\"scenecut=0:slices=4\" "
        f"! video/x-h265,profile=main ! h265parse config-interval=-1 "
        f"! rtph265pay name=pay0 pt=96 config-interval=-1")
MOUNTS = {"/h264": SOURCE + X264.format(slices=1), "/slices": SOURCE + X264.format(slices=4),
          "/hevc-slices": SOURCE + X265, "/lossy": SOURCE + X264.format(slices=4)}
feeders = []


def configure(path):
    def on_configure(_factory, media):
        element = media.get_element()
        if path == "/lossy":
            element.get_by_name("pay0").get_static_pad("src").add_probe(
                Gst.PadProbeType.BUFFER, dropper(args.loss))

        def on_prepared(m):
            for i in range(m.n_streams()):
                m.get_stream(i).get_rtpsession().set_property(
                    "rtcp-min-interval", int(args.rtcp_interval * 1e9))
            # Sender reports map the RTP clock to the pictures' capture time,
            # not to the time their packets leave.
            pipeline = m.get_element().get_parent()
            for element in (pipeline.iterate_recurse() if pipeline else []):
                if element.get_factory() and element.get_factory().get_name() == "rtpbin":
                    element.set_property("rtcp-sync-send-time", False)
        media.connect("prepared", on_prepared)
        feeder = Feeder(element.get_by_name("src"))
        feeders.append(feeder)
        media.connect("unprepared", lambda _m: setattr(feeder, "running", False))
    return on_configure


server = GstRtspServer.RTSPServer()
server.set_address("127.0.0.1")
server.set_service(str(args.port))
pool = GstRtspServer.RTSPAddressPool()
pool.add_range("127.0.0.1", "127.0.0.1", args.udp_port_min, args.udp_port_min + 999, 0)
for path, launch in MOUNTS.items():
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch("( " + launch + " )")
    factory.set_shared(True)
    factory.set_protocols(GstRtsp.RTSPLowerTrans.UDP | GstRtsp.RTSPLowerTrans.TCP)
    factory.set_address_pool(pool)
    factory.set_publish_clock_mode(GstRtspServer.RTSPPublishClockMode.CLOCK_AND_OFFSET)
    factory.connect("media-configure", configure(path))
    server.get_mount_points().add_factory(path, factory)

loop = GLib.MainLoop()
if server.attach(None) == 0:
    print(f"ERROR cannot listen on 127.0.0.1:{args.port}", flush=True)
    sys.exit(1)
GLib.timeout_add_seconds(2, lambda: (server.get_session_pool().cleanup(), True)[1])
for sig in (signal.SIGINT, signal.SIGTERM):
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, sig, loop.quit)
print(f"READY rtsp://127.0.0.1:{server.get_bound_port()}", flush=True)
loop.run()
