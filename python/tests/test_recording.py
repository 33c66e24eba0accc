"""Recording a camera and playing the file back as a Device."""
import os
import subprocess
import sys

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

    # Unless set_path chose a directory (as this session did), a recording plays its
    # calibration from a directory of its own, gone when it closes; the working directory
    # keeps only what was there.
    script = (
        "import os, sys, vexel\n"
        "with vexel.open_recording(sys.argv[1]) as rec:\n"
        "    print(vexel.path(), sorted(os.listdir(vexel.path())) != [], flush=True)\n"
        "    next(iter(rec.frames(1))).distance()\n"
    )
    run = subprocess.run([sys.executable, "-c", script, str(path)], cwd=tmp_path, capture_output=True, text=True,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}, timeout=60)
    assert run.returncode == 0, run.stderr
    own, filled = run.stdout.split()
    assert filled == "True" and not own.startswith(str(tmp_path)) and not os.path.exists(own)
    assert os.listdir(tmp_path) == ["run.vxr"]


def test_missing_recording_raises(tmp_path):
    with pytest.raises(vexel.Error) as e:
        vexel.open_recording(tmp_path / "none.vxr")
    assert e.value.name == "vexel_dev_open_recording"
