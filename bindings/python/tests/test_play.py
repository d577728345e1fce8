"""Files through quillet: the same pictures and times as the C++ facade, zero-copy,
seeks, sound, events, errors, and a close from another thread that ends a
blocked read, wait or open."""
import _thread
import os
import socket
import threading
import time

import numpy
import pytest

import quillet
from conftest import adler, facade_frames, wait_for


@pytest.mark.parametrize("pixel_format", ["bgr24", "rgb24"])
def test_pictures_and_times_equal_the_facades(clip, pixel_format):
    with quillet.open(clip, pixel_format=pixel_format) as player:
        assert player.size == (320, 240)
        seen = [(p.time, adler(p.array)) for p in player.pictures()]
    expected = facade_frames(clip, pixel_format)
    assert len(seen) == len(expected) == 75
    assert [h for _, h in seen] == [h for _, h in expected]
    assert [t for t, _ in seen] == pytest.approx([t for t, _ in expected], abs=1e-6)


def test_pictures_are_views_of_library_buffers_that_outlive_later_reads(clip):
    expected = facade_frames(clip)
    with quillet.open(clip) as player:
        first, second = player.read(timeout=5), player.read(timeout=5)
        later = [player.read(timeout=5) for _ in range(10)]
        for picture in (first, second):
            assert picture.array.shape == (240, 320, 3) and picture.array.dtype == numpy.uint8
            assert not picture.array.flags.writeable
            assert numpy.shares_memory(picture.array, numpy.frombuffer(picture.buffer, numpy.uint8))
        assert not numpy.shares_memory(first.array, second.array)
        assert len(later) == 10
    # Still valid after later reads and after the player closed.
    assert adler(first.array) == expected[0][1] and adler(second.array) == expected[1][1]


def test_read_converts_into_a_reused_array_and_a_seek_hands_over_its_picture(clip):
    # Where a seek lands is the C++ suites' to check.
    expected = facade_frames(clip)
    out = numpy.zeros((240, 320, 3), numpy.uint8)
    with quillet.open(clip) as player:
        assert player.duration == pytest.approx(3.0, abs=0.1)
        for i in range(5):
            picture = player.read(out=out, timeout=5)
            assert picture.array is out and picture.buffer is None
            assert (picture.time, adler(out)) == pytest.approx(expected[i])
        with pytest.raises(ValueError):
            player.read(out=numpy.zeros((10, 10, 3), numpy.uint8), timeout=5)
        player.seek(1.96)
        picture = player.read(timeout=5)
        assert picture.first and (picture.time, adler(picture.array)) == pytest.approx(expected[49])
        assert (picture.capture_time, picture.capture_time_trusted) == (None, False)  # a file has none


def test_sound_comes_as_int16_samples_by_channels(clip):
    with quillet.open(clip, audio=True) as player:
        rate, channels = player.audio_format
        chunks = list(player.sound())
    samples = numpy.concatenate([c.samples for c in chunks])
    assert samples.dtype == numpy.int16 and samples.shape[1] == channels
    assert samples.shape[0] == pytest.approx(3 * rate, rel=0.05)
    assert all(b.time > a.time for a, b in zip(chunks, chunks[1:]))
    assert numpy.abs(samples).max() > 1000  # the tone, not silence


def test_events_are_pulled_and_called_back_off_the_library_threads(clip):
    called = []
    done = threading.Event()

    def on_event(event):
        called.append((event, threading.get_ident()))
        if event.name == "end of stream":
            done.set()

    with quillet.open(clip) as player:
        player.on_event(on_event)
        assert sum(1 for _ in player.pictures()) == 75
        pulled = list(player.events(timeout=1.0))
        assert done.wait(5)
    assert "end of stream" in [e.name for e in pulled]
    threads = {thread for _, thread in called}
    assert len(threads) == 1 and threading.get_ident() not in threads


def test_log_lines_reach_a_blocked_handler_on_the_dispatcher_thread_and_none_after_its_removal(clip, tmp_path):
    # Garbage in the middle of the pictures: FFmpeg's decoding threads complain while the
    # handler is blocked and the main thread holds the interpreter through reads and a close.
    # The lines queued behind the blocked handler never reach it once its removal returned.
    data = bytearray(open(clip, "rb").read())
    data[len(data) // 2:len(data) // 2 + 4000] = bytes(range(250)) * 16
    damaged = tmp_path / "damaged.mp4"
    damaged.write_bytes(bytes(data))
    lines, late, entered, removed = [], [], threading.Event(), threading.Event()

    def handler(line):
        (late if removed.is_set() else lines).append((line, threading.get_ident()))
        entered.set()
        removed.wait(60)

    def play():
        with quillet.open(str(damaged), threads=0) as player:
            assert sum(1 for _ in player.pictures()) > 10

    quillet.set_log_handler(handler, 30)
    try:
        play()
        assert entered.wait(60)
    finally:
        quillet.set_log_handler(None)
        removed.set()
    drained = threading.Event()  # a later handler's first line: the queue before it is done
    quillet.set_log_handler(lambda line: drained.set(), 30)
    try:
        play()
        assert drained.wait(60)
    finally:
        quillet.set_log_handler(None)
    assert late == []
    assert all(line.level >= 30 and line.text and line.time > 1.7e9 for line, _ in lines)
    threads = {thread for _, thread in lines}
    assert len(threads) == 1 and threading.get_ident() not in threads


# One row per status a Python caller meets without a camera (the camera's own rows are in
# test_camera.py): the exception, the built-in it also is, the C status and reason it carries.
@pytest.mark.parametrize("call, error, builtin, status, reason", [
    (lambda clip: quillet.open("missing.mp4"), quillet.SourceNotFound, FileNotFoundError, -4, "not found"),
    (lambda clip: quillet.open(__file__), quillet.OpenError, OSError, -4, "not a media file"),
    (lambda clip: quillet.open("http://user:pa@ss:w0rd@127.0.0.1:9/x.mp4", timeout=5), quillet.Unreachable,
     ConnectionError, -4, "connection refused"),
    (lambda clip: quillet.Player().seek(1.0), quillet.StateError, RuntimeError, -5, None),
    (lambda clip: quillet.open(clip).seek(-1.0), quillet.InvalidArgument, ValueError, -2, None),
    (lambda clip: quillet.RemotePlayer().write(b"\x00" * 64), quillet.InvalidData, ValueError, -12, None),
])
def test_a_failure_raises_its_exception_with_status_and_reason(clip, call, error, builtin, status, reason):
    with pytest.raises(error) as raised:
        call(clip)
    assert isinstance(raised.value, builtin) and isinstance(raised.value, quillet.Error)
    assert raised.value.status == status and raised.value.reason
    assert reason is None or (raised.value.reason == reason and reason in str(raised.value))
    assert "w0rd" not in str(raised.value)  # a login in the URL shows masked, "user:***@"


@pytest.mark.parametrize("kwargs", [{"pixel_format": "yuv"}, {"live": "oldest"}, {"threads": -1},
                                    {"threads": 100000}, {"user": "a\x00b"}])
def test_bad_arguments_raise_before_opening(clip, kwargs):
    with pytest.raises(ValueError):
        quillet.open(clip, **kwargs)


def test_a_nul_in_a_name_and_a_handler_that_cannot_be_called_are_refused(clip):
    with pytest.raises(ValueError):
        quillet.open(clip + "\x00junk")  # would open the clip
    with quillet.open(clip) as player:
        with pytest.raises(TypeError):
            player.on_event(5)
    with pytest.raises(TypeError):
        quillet.set_log_handler(5)


@pytest.mark.parametrize("scheme, timeout", [("rtsp", 30.0), ("http", 0.0)])
def test_ctrl_c_ends_an_open_waiting_for_a_server_that_never_answers(scheme, timeout):
    accepted = threading.Event()
    held = []
    with socket.socket() as server:
        server.bind(("127.0.0.1", 0))
        server.listen()

        def accept_and_keep_silent():
            try:
                held.append(server.accept()[0])
            except OSError:
                return
            accepted.set()

        threading.Thread(target=accept_and_keep_silent, daemon=True).start()
        interrupted_at = []

        def ctrl_c_once_connected():
            if accepted.wait(30):
                interrupted_at.append(time.monotonic())
                _thread.interrupt_main()

        threading.Thread(target=ctrl_c_once_connected, daemon=True).start()
        with pytest.raises(KeyboardInterrupt):
            quillet.open(f"{scheme}://127.0.0.1:{server.getsockname()[1]}/never", timeout=timeout)
        ended_at = time.monotonic()
        for connection in held:
            connection.close()
    # Well inside the open's own limit (none for HTTP here): the open ended on the Ctrl-C.
    assert interrupted_at and ended_at - interrupted_at[0] < 5


def test_a_log_handler_slower_than_the_log_gets_the_newest_lines_and_how_many_were_dropped(clip):
    release = threading.Event()
    lines = []

    def handler(line):
        release.wait()
        lines.append(line)

    quillet.set_log_handler(handler, 10)
    try:
        for _ in range(40):  # far more lines than the dispatcher keeps while the handler is stuck
            with quillet.open(clip) as player:
                player.read(timeout=5)
        release.set()
        with pytest.raises(quillet.OpenError):
            quillet.open("slow-handler-marker.mp4")  # the last line, behind everything queued
        assert wait_for(lambda: any("slow-handler-marker" in line.text for line in lines), 60)
    finally:
        release.set()
        quillet.set_log_handler(None)
    assert sum(line.dropped for line in lines) > 0
    assert len(lines) < 1500


@pytest.mark.parametrize("make, block", [
    (lambda clip: quillet.RemotePlayer(), lambda p, url: p.read()),           # no batch ever comes
    (lambda clip: quillet.open(clip), lambda p, url: p.wait_event(timeout=60)),  # no event comes
    (lambda clip: quillet.Player(), lambda p, url: p.open(url, timeout=30.0)),  # the camera never answers
])
def test_close_from_another_thread_ends_a_blocked_call(clip, silent_camera, make, block):
    player = make(clip)
    outcome = []

    def run():
        try:
            outcome.append(block(player, silent_camera))
        except (quillet.Closed, quillet.OpenError) as e:
            outcome.append(e)

    blocked = threading.Thread(target=run)
    blocked.start()
    blocked.join(0.3)
    assert blocked.is_alive()
    player.close()
    blocked.join(60)
    assert not blocked.is_alive()
    assert isinstance(outcome[0], quillet.Closed) or outcome[0].reason == "closed"
    assert player.closed


def _resources():
    with open("/proc/self/statm") as f:
        rss = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    return rss, len(os.listdir("/proc/self/fd"))


def test_a_thousand_opens_and_closes_leave_memory_and_descriptors_flat(clip):
    def cycle(n):
        for _ in range(n):
            with quillet.open(clip) as player:
                player.read(timeout=5)

    cycle(100)  # allocators and caches settle
    rss, fds = _resources()
    cycle(900)
    rss_after, fds_after = _resources()
    assert fds_after == fds
    assert rss_after - rss < 8 * 1024 * 1024


def test_pictures_at_a_size_and_thumbnails_come_as_arrays_of_that_size(clip):
    with quillet.open(clip, size=(160, 0)) as player:
        assert player.size == (320, 240)  # the coded size
        assert player.read(timeout=5).array.shape == (120, 160, 3)
        player.set_picture_size(0, 60)
        assert player.read(timeout=5).array.shape == (60, 80, 3)
        with pytest.raises(ValueError):
            player.set_picture_size(-1, 0)
    times = [t for t, _ in facade_frames(clip)]
    shots = quillet.thumbnails(clip, [1.0, 0.0, 99.0], size=(0, 240), exact=True)
    assert [s.index for s in shots] == [0, 1, 2] and [s.requested for s in shots] == [1.0, 0.0, 99.0]
    for shot in shots[:2]:
        assert shot.error is None and shot.array.shape == (240, 320, 3) and shot.array.dtype == numpy.uint8
        assert isinstance(shot.time, float) and min(abs(shot.time - t) for t in times) < 1e-6
    assert shots[2].array is None and isinstance(shots[2].error, str)
    assert len(quillet.thumbnails(clip, 4)) == 4
    with pytest.raises(quillet.OpenError):
        quillet.thumbnails("/nonexistent/clip.mp4", 3)
    with pytest.raises(ValueError):
        quillet.thumbnails(clip, 3, size=(-1, 0))
