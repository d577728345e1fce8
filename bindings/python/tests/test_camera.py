"""The RTSP test camera through quillet: the exceptions a failed open raises
(where the camera's restart and timing are the C++ and C suites' to check), and
the iterator giving up."""
import time

import pytest

import quillet
from conftest import free_port, needs_camera

pytestmark = needs_camera


@pytest.mark.parametrize("case, reason, error, builtin", [
    ("wrong password", "authorization failed", quillet.AccessDenied, PermissionError),
    ("nobody listening", "connection refused", quillet.Unreachable, ConnectionError),
    ("hung camera", "timed out", quillet.OpenTimeout, TimeoutError),
])
def test_a_camera_that_cannot_play_raises_its_reason(camera_factory, case, reason, error, builtin):
    if case == "nobody listening":
        url = f"rtsp://127.0.0.1:{free_port()}/test"
    else:
        camera = camera_factory("--auth", "cam:s3cret")
        url = camera.url + "/test"
        if case == "hung camera":
            camera.hang()
    with pytest.raises(error) as raised:
        quillet.open(url, user="cam", password="wrong", timeout=2.0)
    assert isinstance(raised.value, builtin) and raised.value.status == -4 and raised.value.reason == reason
    assert "wrong" not in str(raised.value)


def test_give_up_raises_when_no_picture_comes(camera_factory):
    camera = camera_factory()
    with quillet.open(camera.url + "/test", timeout=1.0) as player:
        assert player.read(timeout=10) is not None
        camera.hang()
        with pytest.raises(quillet.TimeoutError):
            for _ in player.pictures(give_up=1.0):
                pass


def test_a_camera_picture_carries_its_capture_time_as_unix_seconds(camera_factory):
    camera = camera_factory()
    with quillet.open(camera.url + "/test", timeout=10.0) as player:
        picture = player.read(timeout=10)
        assert isinstance(picture.capture_time, float)
        assert isinstance(picture.capture_time_trusted, bool)
        assert abs(time.time() - picture.capture_time) < 10
