"""Recording with sync points, serving to a remote player, publishing."""
import datetime
import threading

import pytest

import quillet
from conftest import adler, facade_frames, wait_for


def test_sync_points_name_their_file_and_carry_no_capture_time(clip, media_dir):
    # Where files are cut and what they hold is the C++ suite's to check.
    file = str(media_dir / "rec.mp4")
    with quillet.Recorder(clip, file=file) as recorder:
        assert sum(1 for _ in recorder.pictures()) == 75
        assert wait_for(lambda: not recorder.recording and not recorder.recording_pending)
        points = recorder.sync_points()
    epoch = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
    assert len(points) >= 2
    for point in points:
        assert isinstance(point, quillet.SyncPoint) and point.file == file and 0 <= point.video_time <= 3
        assert point.pc_time == epoch  # a file has no capture time


def _raised(call):
    """What `call` returned, or the quillet.Error it raised."""
    try:
        return call()
    except quillet.Error as e:
        return e


def test_served_batches_play_on_a_remote_player_as_the_file_does(clip):
    expected = facade_frames(clip)
    server = quillet.Server(clip)
    with server, server.add_client() as client, quillet.RemotePlayer() as viewer:
        # Before the start only the stream's description comes: a fetch for more waits, and a
        # close from another thread ends it.
        waiting, outcome = server.add_client(), []
        assert waiting.next_batch(timeout=5) is not None and waiting.next_batch(timeout=0.05) is None
        blocked = threading.Thread(target=lambda: outcome.append(_raised(lambda: waiting.next_batch(timeout=None))))
        blocked.start()
        blocked.join(0.3)
        assert blocked.is_alive()
        waiting.close()
        blocked.join(60)
        assert not blocked.is_alive() and isinstance(outcome[0], quillet.Closed)
        server.start()
        seen, batch = [], None
        while True:
            if batch is None:
                batch = client.next_batch(timeout=0.01)
                assert batch is None or isinstance(batch, bytes)
            if batch is not None and viewer.write(batch):
                batch = None
            try:
                picture = viewer.read(timeout=0.01 if batch is not None else 0)
            except quillet.EndOfStream:
                break
            if picture is not None:
                seen.append((picture.time, adler(picture.array)))
            assert len(seen) <= len(expected)
    assert [h for _, h in seen] == [h for _, h in expected]


def test_publishing_to_hls_finishes_with_the_file(clip, media_dir):
    playlist = media_dir / "live.m3u8"
    with quillet.open(clip) as player:
        player.publish(str(playlist))
        assert [s.url for s in player.publishing_status()] == [str(playlist)]
        sum(1 for _ in player.pictures())
        assert wait_for(lambda: player.publishing_status()[0].state == "finished")
        assert player.publishing_status()[0].packets > 0
    assert playlist.exists()


@pytest.mark.parametrize("event, call", [("end of stream", "close"), ("sync point", "stop_recording"),
                                         ("sync point", "close")])
def test_a_handler_stops_or_closes_its_own_recorder(clip, media_dir, event, call):
    # Handlers run on the module's dispatcher thread holding the interpreter lock; the call lets
    # go of it while the library waits for its threads, so the reader below goes on meanwhile.
    done, outcome = threading.Event(), []

    def on_event(e):
        if e.name == event and not done.is_set():
            outcome.append(_raised(getattr(recorder, call)))
            done.set()

    recorder = quillet.Recorder(clip)
    with recorder:
        recorder.on_event(on_event)  # before the recording's first sync point
        recorder.save(str(media_dir / f"handler_{call}.mkv"))
        try:
            for _ in recorder.pictures():
                pass
        except quillet.Closed:
            pass
        assert done.wait(30)
        assert outcome == [None]
        if call == "stop_recording":
            assert wait_for(lambda: not recorder.recording and not recorder.recording_pending)
        else:
            assert recorder.closed
