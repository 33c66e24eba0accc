"""Recording a camera and playing the file back as a Device."""
import pytest
import vexel

pytestmark = pytest.mark.camera


def test_recording_plays_back_the_frames_and_keeps_its_settings(cam, tmp_path):
    path = tmp_path / "run.vxr"
    cam.record(path)
    live = [(f.info.index, bytes(f.raw), f.distance()) for f in cam.frames(5)]
    stats = cam.stop_recording()
    assert stats["frames"] >= 5 and stats["frames_lost"] == 0
    with pytest.raises(vexel.Error):
        cam.stop_recording()

    with vexel.open_recording(path) as rec:
        assert rec.product == cam.product
        info = rec.playback
        assert info["frames"] == stats["frames"] and not info["damaged"]
        played = [(f.info.index, bytes(f.raw), f.distance()) for f in rec.frames(info["frames"])]
        by_index = {i: (raw, d) for i, raw, d in played}
        for i, raw, d in live:
            assert by_index[i][0] == raw
            assert (by_index[i][1] == d).all()
        with pytest.raises(vexel.Error):
            rec.set_params({vexel.PARAM_FPS: (5).to_bytes(4, "little")})
        rec.seek(1)
        assert next(iter(rec.frames(1))).info.index == played[1][0]
        with pytest.raises(vexel.Error):
            rec.seek(info["frames"])
    assert cam.playback is None


def test_missing_recording_raises(tmp_path):
    with pytest.raises(vexel.Error) as e:
        vexel.open_recording(tmp_path / "none.vxr")
    assert e.value.name == "vexel_dev_open_recording"
