"""The RTSP test camera through quillet: login, failures within the timeout, a
camera restarted under the iterator."""
import time

import pytest

import quillet
from conftest import free_port, needs_camera

pytestmark = needs_camera


@pytest.mark.parametrize("case, reason", [
    ("wrong password", "authorization failed"),
    ("nobody listening", "connection refused"),
    ("hung camera", "timed out"),
])
def test_a_camera_that_cannot_play_raises_within_the_timeout(camera_factory, case, reason):
    if case == "nobody listening":
        url = f"rtsp://127.0.0.1:{free_port()}/test"
    else:
        camera = camera_factory("--auth", "cam:s3cret")
        url = camera.url + "/test"
        if case == "hung camera":
            camera.hang()
    started = time.monotonic()
    with pytest.raises(quillet.OpenError) as error:
        quillet.open(url, user="cam", password="wrong", timeout=2.0)
    assert error.value.reason == reason
    assert "wrong" not in str(error.value)
    assert time.monotonic() - started < 2.0 + 3.0  # the timeout, and the camera client's own wind-down


def test_a_camera_restarted_under_the_iterator_plays_on(camera_factory):
    camera = camera_factory("--auth", "cam:s3cret", "--rtcp-interval", "1", port=free_port())
    statuses = []
    with quillet.open(camera.url + "/test", user="cam", password="s3cret", timeout=5.0) as player:
        player.on_event(lambda e: statuses.append(e.name) if e.kind == "connection" else None)
        times = []
        for picture in player.pictures(give_up=30):
            assert picture.array.shape == (480, 640, 3)
            times.append(picture.time)
            if len(times) == 10:
                camera.kill()
                camera.start()  # the same port
            if len(times) == 20:
                break
        assert player.connection == "connected"
    assert "connection lost" in statuses


def test_give_up_raises_when_no_picture_comes(camera_factory):
    camera = camera_factory()
    with quillet.open(camera.url + "/test", timeout=1.0) as player:
        assert player.read(timeout=10) is not None
        camera.hang()
        with pytest.raises(quillet.TimeoutError):
            for _ in player.pictures(give_up=1.0):
                pass
