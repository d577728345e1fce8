#!/usr/bin/env python3
"""Drives the reference player the way a user would, under a virtual X display.

The clip shows its own frame number: the top half of every picture is ten
black or white columns, the bits of the number (lowest on the left), and the
bottom half a fixed black/white guard pattern that tells a picture from an
empty window. Screenshots of the window are decoded back into the frame
number and compared with what the player says it showed.

Usage: test_player.py PATH/TO/quillet-player
Exits 77 (skipped) when Xvfb, xdotool or xwd is missing.
"""
import ctypes
import ctypes.util
import os
import re
import shutil
import struct
import subprocess
import sys
import threading
import time

SKIP = 77
FPS = 25
FRAME = 1.0 / FPS
WIDTH, HEIGHT = 320, 240

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL: " + message, flush=True)
    return condition


def make_clip(path, seconds):
    number = ("if(eq(Y\\,1)\\,if(mod(X\\,2)\\,235\\,16)\\,"
              "if(mod(floor(N/pow(2\\,X))\\,2)\\,235\\,16))")
    video = (f"nullsrc=size=10x2:rate={FPS},geq=lum='{number}':cb=128:cr=128,"
             f"scale={WIDTH}:{HEIGHT}:flags=neighbor,setsar=1,format=yuv420p")
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", video,
                    "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", str(seconds),
                    "-c:v", "libx264", "-g", "50", "-bf", "2", "-crf", "18",
                    "-c:a", "aac", "-ac", "2", path], check=True)


# --- reading pictures -------------------------------------------------------

def frame_number(pixel):
    """Frame number shown by an RGB picture given as pixel(x, y) -> (r, g, b) on a
    WIDTH x HEIGHT grid, or None when the guard pattern is not there."""
    def white(column, row):
        r, g, b = pixel(int((column + 0.5) * WIDTH / 10), int((row + 0.5) * HEIGHT / 2))
        return (r + g + b) / 3 > 128
    if any(white(c, 1) != (c % 2 == 1) for c in range(10)):
        return None
    return sum(1 << c for c in range(10) if white(c, 0))


def window_frame_number(window):
    """Screenshot of the window (xwd) decoded into the frame number it shows."""
    data = subprocess.run(["xwd", "-id", window, "-silent"], check=True, capture_output=True).stdout
    h = struct.unpack(">25I", data[:100])
    header_size, width, height, byte_order = h[0], h[4], h[5], h[7]
    bits, line, masks, ncolors = h[11], h[12], h[14:17], h[19]
    step = bits // 8
    base = header_size + 12 * ncolors
    shifts = [(m & -m).bit_length() - 1 for m in masks]
    # The player letterboxes the picture into the window; undo that.
    scale = min(width / WIDTH, height / HEIGHT)
    left, top = (width - WIDTH * scale) / 2, (height - HEIGHT * scale) / 2

    def pixel(x, y):
        at = base + int(top + y * scale) * line + int(left + x * scale) * step
        v = int.from_bytes(data[at:at + step], "little" if byte_order == 0 else "big")
        return tuple(((v & m) >> s) * 255 // (m >> s) for m, s in zip(masks, shifts))
    return frame_number(pixel)


def png_frame_number(path):
    raw = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "rawvideo",
                          "-pix_fmt", "rgb24", "-"], check=True, capture_output=True).stdout
    if len(raw) != WIDTH * HEIGHT * 3:
        return None
    return frame_number(lambda x, y: raw[(y * WIDTH + x) * 3:(y * WIDTH + x) * 3 + 3])


# --- the window system ------------------------------------------------------

def start_display():
    read, write = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "640x480x24", "-nolisten", "tcp"],
                              pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read, 16)
        if not chunk:
            break
        number += chunk
    os.close(read)
    if not number.strip():
        server.kill()
        raise RuntimeError("Xvfb did not start")
    return server, ":" + number.decode().strip()


class XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("l", ctypes.c_long * 5)]


class XEvent(ctypes.Union):
    _fields_ = [("xclient", XClientMessageEvent), ("pad", ctypes.c_long * 24)]


class X11:
    """Closes windows the way a window manager does: WM_DELETE_WINDOW."""

    def __init__(self, display):
        lib = ctypes.util.find_library("X11")
        if not lib:
            raise OSError("no libX11")
        self.x = ctypes.CDLL(lib)
        self.x.XOpenDisplay.restype = ctypes.c_void_p
        self.x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.x.XInternAtom.restype = ctypes.c_ulong
        self.x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        self.x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
        self.x.XFlush.argtypes = [ctypes.c_void_p]
        # A close sent to a player that has just ended by itself finds no
        # window; Xlib's default handler would end this script for that.
        self.x.XSetErrorHandler.argtypes = [ctypes.c_void_p]
        self.x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        self.on_error = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)(lambda d, e: 0)
        self.x.XSetErrorHandler(ctypes.cast(self.on_error, ctypes.c_void_p))
        self.dpy = self.x.XOpenDisplay(display.encode())
        if not self.dpy:
            raise OSError("cannot open " + display)
        self.protocols = self.x.XInternAtom(self.dpy, b"WM_PROTOCOLS", 0)
        self.delete = self.x.XInternAtom(self.dpy, b"WM_DELETE_WINDOW", 0)

    def close_window(self, window):
        event = XEvent()
        event.xclient.type = 33  # ClientMessage
        event.xclient.window = int(window)
        event.xclient.message_type = self.protocols
        event.xclient.format = 32
        event.xclient.l[0] = self.delete
        self.x.XSendEvent(self.dpy, int(window), 0, 0, ctypes.byref(event))
        self.x.XSync(self.dpy, 0)


class PlayerRun:
    """One run of the player; its --trace lines are collected as they come."""

    def __init__(self, player, clip, env, workdir):
        self.lines = []
        self.lock = threading.Condition()
        self.started = time.monotonic()
        self.process = subprocess.Popen([player, "--trace", "--snapshot-dir", workdir, clip], env=env,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        threading.Thread(target=self._collect, daemon=True).start()
        self.window = self._find_window()
        if self.window:
            # No window manager: give the window the keyboard ourselves.
            subprocess.run(["xdotool", "windowfocus", "--sync", self.window], env=env, timeout=10)

    def _collect(self):
        for line in self.process.stdout:
            with self.lock:
                self.lines.append((time.monotonic(), line.rstrip("\n")))
                self.lock.notify_all()

    def _find_window(self):
        # The player names its own window once it is on screen. A search by
        # title could find the previous run's window, which the X server may
        # not have destroyed yet when the next run starts.
        _, m = self.wait_for(r"window (\d+)$", 15)
        return m.group(1) if m and m.group(1) != "0" else None

    def wait_for(self, pattern, timeout=10, after=0, accept=lambda m: True):
        """First trace line from index `after` matching `pattern` (and `accept`): (index, match) or (None, None)."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self.lock:
            while True:
                for i in range(after, len(self.lines)):
                    m = regex.match(self.lines[i][1])
                    if m and accept(m):
                        return i, m
                left = deadline - time.monotonic()
                if left <= 0 or (self.process.poll() is not None and not self._reading()):
                    return None, None
                self.lock.wait(min(left, 0.1))

    def _reading(self):
        return not self.process.stdout.closed and self.process.returncode is None

    def key(self, name):
        subprocess.run(["xdotool", "key", name], timeout=10)

    def title(self):
        return subprocess.run(["xdotool", "getwindowname", self.window], capture_output=True, text=True).stdout.strip()

    def finish(self, timeout):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            return None

    def text(self):
        with self.lock:
            return [l for _, l in self.lines]


NUM = r"(-?\d+\.\d+)"


def expect_frame(run, expected, what):
    # A picture shown is on screen once the trace line is out; allow the X server a moment.
    shown = None
    for _ in range(20):
        shown = window_frame_number(run.window)
        if shown == expected:
            break
        time.sleep(0.05)
    return check(shown == expected, f"{what}: window shows frame {shown}, expected {expected}")


def to_frame(t):
    return int(round(float(t) * FPS))


def play_pause_seek_continue(player, env, workdir):
    """Pause, snapshot, seeks while paused, continue, a seek while playing, then the
    end of the stream; every step checked on screen, the drift checked throughout."""
    clip = os.path.join(workdir, "counter20.mp4")
    make_clip(clip, 20)
    run = PlayerRun(player, clip, env, workdir)
    if not check(run.window is not None, "the player window did not appear"):
        run.finish(5)
        return
    i, _ = run.wait_for(r"picture " + NUM + " clock", 15, accept=lambda m: float(m.group(1)) >= 2.0)
    check(i is not None, "no picture reached 2 s")

    run.key("space")
    i, m = run.wait_for(r"paused " + NUM)
    if not check(m is not None, "space did not pause"):
        run.finish(5)
        return
    paused = to_frame(m.group(1))
    expect_frame(run, paused, "paused")
    time.sleep(0.5)
    expect_frame(run, paused, "still paused half a second later")
    check("paused" in run.title(), "status line does not say paused: " + run.title())

    run.key("s")
    i, m = run.wait_for(r"snapshot (\S+) " + NUM, after=i)
    if check(m is not None, "s wrote no snapshot"):
        check(png_frame_number(m.group(1)) == to_frame(m.group(2)) == paused,
              f"snapshot shows frame {png_frame_number(m.group(1))}, expected {paused}")

    run.key("Right")
    i, m = run.wait_for(r"landed " + NUM + " wanted " + NUM, after=i)
    if check(m is not None, "Right while paused did not land"):
        landed, wanted = float(m.group(1)), float(m.group(2))
        check(abs(wanted - (paused * FRAME + 5)) < 0.01, f"Right asked for {wanted}, not 5 s on")
        check(wanted - 0.001 <= landed < wanted + FRAME + 0.001, f"landed at {landed} for {wanted}")
        expect_frame(run, to_frame(landed), "after Right while paused")
        title = run.title()
        check("paused" in title and "seek pending" in title, "status line after a paused seek: " + title)

    run.key("Left")
    i, m = run.wait_for(r"landed " + NUM + " wanted " + NUM, after=i + 1)
    if check(m is not None, "Left while paused did not land"):
        back = float(m.group(1))
        check(abs(back - paused * FRAME) <= FRAME + 0.001, f"Left came back to {back}, paused at {paused * FRAME}")
        expect_frame(run, to_frame(back), "after Left while paused")
        time.sleep(0.3)
        expect_frame(run, to_frame(back), "the sought picture stays while paused")

    run.key("space")
    i, m = run.wait_for(r"continued", after=i)
    check(m is not None, "space did not continue")
    resumed_at = time.monotonic()
    i, m = run.wait_for(r"picture " + NUM + " clock", 10, after=i,
                        accept=lambda m: float(m.group(1)) >= paused * FRAME + 1.0)
    if check(m is not None, "playing did not go on after continue"):
        now = to_frame(m.group(1))
        shown = window_frame_number(run.window)
        check(shown is not None and now <= shown <= now + FPS, f"playing on: window shows {shown}, player at {now}")
        check("paused" not in run.title(), "status line still says paused: " + run.title())

    run.key("Right")
    i, m = run.wait_for(r"seek " + NUM, after=i or 0)
    j, landed = run.wait_for(r"landed " + NUM + " wanted " + NUM, after=i or 0)
    if check(landed is not None, "Right while playing did not land"):
        check(float(landed.group(2)) - 0.001 <= float(landed.group(1)) < float(landed.group(2)) + FRAME + 0.001,
              "seek while playing landed at " + landed.group(1) + " for " + landed.group(2))
        k, after = run.wait_for(r"picture " + NUM + " clock", 10, after=j,
                                accept=lambda m: float(m.group(1)) >= float(landed.group(1)) + 0.5)
        check(after is not None, "no pictures after the seek while playing")

    code = run.finish(40)
    lines = run.text()
    if failures:
        print("player's trace, pictures left out:\n  " + "\n  ".join(l for l in lines if not l.startswith("picture")))
    check(code == 0, f"player did not exit cleanly at the end of the stream (exit {code})")
    check("event end of stream" in lines, "no end of stream event")
    check(any(l.startswith("finished") for l in lines), "the player did not finish by itself")
    check("quit" not in lines, "the player quit instead of playing to the end")

    # Sync: every picture shown while playing is within one frame of the audio clock.
    drifts = [float(m.group(1)) for m in (re.match(r"picture \S+ clock \S+ drift " + NUM + " audio", l) for l in lines)
              if m]
    dropped = sum(l.startswith("dropped") for l in lines)
    worst = max((abs(d) for d in drifts), default=None)
    print(f"sync: {len(drifts)} pictures on the audio clock, worst drift {worst}, {dropped} dropped", flush=True)
    if os.environ.get("QUILLET_PLAYER_TIMING", "1") == "0":
        # Sanitizer builds run several times slower: what the picture shows and
        # that nothing hangs is still checked, the timing is not.
        return
    check(len(drifts) >= 300, f"only {len(drifts)} pictures were paced by the audio clock")
    check(worst is not None and worst <= FRAME + 0.001, f"drift {worst} s is more than one frame interval")
    check(dropped <= 25, f"{dropped} pictures dropped")
    # Pictures were paced, not rushed: the rest of the clip took about its length.
    last_time = float(re.match(r"picture " + NUM, [l for l in lines if l.startswith("picture ")][-1]).group(1))
    check(time.monotonic() - resumed_at >= 0.8 * (last_time - paused * FRAME - 5.0),
          "playback ran faster than the clock")


def closing_never_hangs(player, env, workdir):
    long_clip = os.path.join(workdir, "counter20.mp4")
    short_clip = os.path.join(workdir, "counter2.mp4")
    make_clip(short_clip, 2)
    x11 = X11(env["DISPLAY"])

    def while_reading(run):
        run.wait_for(r"picture " + NUM, 5, accept=lambda m: float(m.group(1)) >= 0.3)

    # Each moment is reached when the player says so, not after a while.
    def while_seeking(run):
        while_reading(run)
        run.key("Right")
        run.wait_for(r"seek ", 5)

    def while_seeking_paused(run):
        while_reading(run)
        run.key("space")
        i, _ = run.wait_for(r"paused ", 5)
        run.key("Left")
        run.wait_for(r"seek ", 5, after=i or 0)

    def at_end_of_stream(run):
        run.wait_for(r"picture " + NUM, 5, accept=lambda m: float(m.group(1)) >= 1.9)

    # (name, how to get to that moment, a trace line that shows it was reached)
    moments = [("while reading", while_reading, None), ("while seeking", while_seeking, "seek "),
               ("while seeking paused", while_seeking_paused, "seek "), ("at end of stream", at_end_of_stream, None)]
    for round_ in range(2):
        for name, moment, reached in moments:
            run = PlayerRun(player, short_clip if name == "at end of stream" else long_clip, env, workdir)
            if not check(run.window is not None, f"closing {name}: no window"):
                run.finish(5)
                continue
            moment(run)
            if run.process.poll() is None:
                x11.close_window(run.window)
            started = time.monotonic()
            code = run.finish(15)
            check(code == 0, f"closing {name} (round {round_ + 1}): exit {code} after "
                             f"{time.monotonic() - started:.1f} s")
            lines = run.text()
            if reached:
                check(any(l.startswith(reached) for l in lines), f"closing {name}: the moment was not reached")
            if name != "at end of stream":
                # The close, not the end of the clip, ended it.
                if not check("quit" in lines, f"closing {name}: the window close was not seen"):
                    print("  " + "\n  ".join(lines))


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    player = os.path.abspath(sys.argv[1])
    missing = [t for t in ("Xvfb", "xdotool", "xwd", "ffmpeg") if not shutil.which(t)]
    if missing:
        print("skipped: missing " + ", ".join(missing))
        return SKIP
    workdir = os.getcwd()
    server, display = start_display()
    env = dict(os.environ, DISPLAY=display, SDL_AUDIODRIVER="dummy", SDL_VIDEODRIVER="x11",
               SDL_RENDER_DRIVER="software", DBUS_SESSION_BUS_ADDRESS="disabled:")
    # In sanitizer builds: the X11, D-Bus and Mesa libraries under SDL keep
    # allocations for the life of the process that LeakSanitizer reports
    # without usable stacks. Memory errors are still caught here; the
    # library's own leaks are checked by the unit tests.
    env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "") + ":detect_leaks=0").lstrip(":")
    # Mesa's software rasteriser, loaded by SDL, has its own uninstrumented
    # threads; ThreadSanitizer cannot see their synchronisation.
    suppressions = os.path.join(workdir, "tsan-system-libraries.supp")
    with open(suppressions, "w") as out:
        out.write("race:swrast_dri.so\n")
    env["TSAN_OPTIONS"] = (env.get("TSAN_OPTIONS", "") + ":suppressions=" + suppressions).lstrip(":")
    os.environ["DISPLAY"] = display
    try:
        play_pause_seek_continue(player, env, workdir)
        closing_never_hangs(player, env, workdir)
    finally:
        server.terminate()
        server.wait()
    print("FAILED: %d check(s)" % len(failures) if failures else "passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
