"""The module against the simulated camera: a wall at 2 m whose true distances vexel-sim wrote."""
import gc
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
import vexel

pytestmark = pytest.mark.camera


def median_error(distance, truth):
    ok = (distance < 60) & (truth > 0)
    assert ok.mean() > 0.9
    return float(np.median(np.abs(distance[ok] - truth[ok])))


def test_frames_decode_to_the_true_distances(cam, truth):
    assert (cam.product, cam.serial, cam.firmware) == ("A-E2-1.0", "VX0001", 0x140)
    assert cam.chip == {"part_version": 3, "chip_number": 42, "wafer_id": 7}
    assert cam.calib_status() in ("found", "downloaded")
    before = time.time()
    frame = next(iter(cam.frames(1)))
    info = frame.info
    assert before <= info.host_time <= time.time() and info.host_time_ns > 0
    assert (info.sensor_temperature, info.illumination_temperature) == (35.0, 30.0)
    assert "sensor 35.0 C, illumination 30.0 C" in repr(info)
    raw = frame.raw
    assert (raw.dtype, raw.shape, raw.flags.writeable) == (np.uint8, (frame.info.size,), False)
    distance, amplitude = frame.distance(), frame.amplitude()
    for image in (distance, amplitude):
        assert (image.dtype, image.shape) == (np.float32, (240, 320))
    # The open switched pixel calibration on; without it the fixed pattern (sigma 20 mm) stays.
    calibrated = median_error(distance, truth)
    # Pixel calibration reads as on (set 0) after the open, by either vocabulary.
    assert cam.filters["drnu"] == cam.filters["pixel_calib"] == 0 and "drnu" in cam.filters
    assert list(cam.filters)[:2] == ["lens", "drnu"] and len(cam.filters) == 14
    assert repr(cam.filters).startswith("<vexel.Filters lens=off drnu=0 median=3")
    cam.filters["pixel_calib"] = False
    assert calibrated < 0.008 < median_error(cam.frame().distance(), truth)
    points = frame.point_cloud(distance=distance)
    coloured, colours = frame.point_cloud(rgb=True)
    assert points.dtype == np.float32 and points.shape[1] == 3 and coloured.shape == points.shape
    assert (colours.dtype, colours.shape) == (np.uint8, points.shape) and colours.any(axis=1).all()
    assert len(points) == np.count_nonzero(distance < 60)
    # Each point lies at its pixel's ray length.
    assert np.allclose(np.linalg.norm(points, axis=1), distance[distance < 60], rtol=1e-4)
    lens = vexel.Undistorter(cam.lens())
    assert lens.roi == (10, 19, 301, 199)
    for image in (distance, (distance * 1000).astype(np.uint16)):
        fixed = lens(image, fill=7)
        assert (fixed.dtype, fixed.shape, fixed[120, 0]) == (image.dtype, image.shape, 7)


def test_raw_view_outlives_its_frame_and_device():
    with vexel.open() as cam:
        frame = cam.frame()
        raw, copy = frame.raw, bytes(frame.raw)
    del frame
    gc.collect()
    assert raw.tobytes() == copy
    with pytest.raises(vexel.Error, match="closed"):
        cam.start()


def test_open_by_serial():
    with vexel.open_serial("VX0001") as cam:
        assert cam.serial == "VX0001"
    with pytest.raises(vexel.Error, match="no camera with serial VX000"):
        vexel.open_serial("VX000")


def test_watch_reports_the_cameras_there_and_stops_on_close():
    seen = []
    with vexel.watch(seen.append) as w:
        assert w.open
        assert [(e["event"], e["serial"]) for e in seen] == [("arrived", "VX0001")]
        assert seen[0]["address"] > 0
        with vexel.open_serial(seen[0]["serial"]) as cam:
            assert cam.serial == "VX0001"
    assert not w.open
    w.close()  # a second close is harmless


def test_context_manager_closes_on_exceptions():
    with pytest.raises(KeyError):
        with vexel.open() as cam:
            cam.start()
            raise KeyError
    assert cam.closed and "closed" in repr(cam)
    with vexel.open() as again:  # the camera is free again
        assert again.frame().info.width == 320


def test_missing_camera_and_bad_values(cam):
    with pytest.raises(vexel.Error) as e:
        vexel.open(1)
    assert e.value.name == "vexel_dev_open"
    for name, value in [("median", 255), ("auto_intg", 1000), ("amp_threshold", 2**31 - 1), ("pixel_calib", 0),
                        ("hdr", None), ("median", np.uint8(5))]:
        cam.filters.enable(name, value)
        cam.filters[name] = False
    for name, value in [("median", 256), ("median", 4), ("median", True), ("auto_intg", 1001), ("auto_intg", None),
                        ("amp_threshold", -1), ("amp_threshold", 2**31), ("pixel_calib", 2), ("hdr", 1),
                        ("median", 2.5), ("nope", 1)]:
        with pytest.raises(ValueError):
            cam.filters.enable(name, value)


def test_every_filter_by_the_programs_name(cam):
    # The vexel program's --filter names, in its order, each read, switched on and off by name;
    # a refusal names the filter.
    table = [("lens", True), ("drnu", 0), ("median", 5), ("amp", 10), ("auto-intg", 20), ("dcs-check", 3),
             ("temp-monitor", 70), ("hdr", True), ("confidence", 30.5), ("flying", 6.0), ("temporal", 0.5),
             ("spatial", 5.0), ("fill", 4.0), ("temp-two-sided", True)]
    assert list(cam.filters) == list(vexel.Filters.names) == [name for name, _ in table]
    for name, value in table:
        cam.filters[name] = value
        assert cam.filters[name] == value, name
        cam.filters[name] = False
        assert cam.filters[name] is None, name
    for name, value in [("median", 4), ("auto-intg", 0), ("fill", 65), ("lens", 1)]:
        with pytest.raises(ValueError, match=f'filter "{name}"'):
            cam.filters.enable(name, value)


def test_depth_quality_filters_by_name_with_their_state(cam):
    assert cam.filters["flying"] is None and cam.filters["fill"] is None
    for name, value in [("confidence", 30.5), ("flying", 1), ("flying", 100), ("temporal", 1.0), ("temporal", 0.05),
                        ("spatial", 5), ("fill", 1), ("fill", 64)]:
        cam.filters.enable(name, value)
        assert cam.filters[name] == pytest.approx(value)
    for name, value in [("flying", 0.99), ("flying", 100.5), ("temporal", 0), ("temporal", 1.01), ("fill", 0.99),
                        ("fill", 64.5), ("confidence", 0), ("spatial", -1), ("spatial", True), ("fill", "4")]:
        with pytest.raises(ValueError):
            cam.filters.enable(name, value)
    cam.filters["temporal"] = True  # the default
    assert cam.filters["temporal"] == pytest.approx(0.1)
    states = cam.filters.states()
    assert set(states) == set(vexel.Filters.names) and states["hdr"] is None
    assert states["temp-two-sided"] is True  # the module's choice after the open; the C default is off
    d = cam.frame().distance()  # every step on
    assert d.shape == (240, 320) and (d < 60).any()
    for name in ("confidence", "flying", "temporal", "spatial", "fill"):
        cam.filters[name] = False
        assert cam.filters[name] is None


def test_second_thread_runs_while_one_waits_for_frames(cam):
    cam.frame_rate = 1
    try:
        cam.start()
        # Right after a frame the next one is a second away.
        timeouts = 0
        for _ in range(3):
            cam.frame()
            try:
                cam.frame(timeout_ms=50)
            except vexel.Timeout:
                timeouts += 1
        assert timeouts > 0
        # This thread only gets to end the capture before the next frame if the waiting thread
        # left the interpreter free. Closing also wakes the waiter.
        for end in (cam.stop, cam.close):
            if not cam.capturing:
                cam.start()
            cam.frame()
            frames, waiting, outcome = cam.frames(timeout_ms=None), threading.Event(), []

            def wait_for_frame():
                waiting.set()
                try:
                    outcome.append(next(frames))
                except vexel.Error as e:
                    outcome.append(e)

            waiter = threading.Thread(target=wait_for_frame)
            waiter.start()
            waiting.wait()
            end()
            waiter.join()
            assert isinstance(outcome[0], vexel.Error), (end, outcome)
    finally:
        with vexel.open() if cam.closed else cam as again:
            again.frame_rate = 30


def test_registers_parameters_and_errors(cam):
    # Target, base, count: the order of the vexel program and the C++ layer.
    cam.write_registers(2, 100, [1, 2, 0x12345678])
    assert cam.read_registers(2, 99, 5).tolist() == [0, 1, 2, 0x12345678, 0]
    assert cam.read_registers(1, 0, 4).dtype == np.uint32
    with pytest.raises(ValueError):
        cam.read_registers(256, 0, 1)
    with pytest.raises(vexel.Error) as e:
        cam.write_registers(1, 0, [0x100])  # the sensor's registers hold 8 bits
    assert e.value.name == "vexel_reg_batch_write"
    assert cam.param(vexel.PARAM_PRODUCT).rstrip(b"\0") == b"A-E2-1.0"
    cam.set_params({vexel.PARAM_FPS: (25).to_bytes(4, "little")})
    assert cam.params([vexel.PARAM_FPS, vexel.PARAM_DEV_ID])[0] == (25).to_bytes(4, "little")
    cam.frame_rate = 30


def test_data_transfers_with_progress(cam, tmp_path):
    image = bytes(range(256)) * 9
    (tmp_path / "image.bin").write_bytes(image)
    seen = []
    # A new image carries a version above the firmware the camera runs, whatever its slot.
    with pytest.raises(vexel.Error):
        cam.firmware_write(tmp_path / "image.bin", 2, cam.firmware)
    assert cam.firmware_write(tmp_path / "image.bin", 2, cam.firmware + 1, progress=lambda *p: seen.append(p))
    assert seen[-1] == (len(image), len(image), "restart")
    assert not cam.data_read(2, tmp_path / "cancelled.bin", progress=lambda done, total, stage: True)
    with pytest.raises(ZeroDivisionError):
        cam.data_read(2, tmp_path / "failed.bin", progress=lambda *p: 1 / 0)
    assert cam.data_read(2, tmp_path / "back.bin")
    assert sorted(os.listdir(tmp_path)) == ["back.bin", "image.bin"]
    assert (tmp_path / "back.bin").read_bytes() == image


def test_no_leak_over_500_frames(cam):
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    cam.frame_rate = 100
    try:
        sizes = []
        for n in (50, 500):
            for frame in cam.frames(n):
                distance = frame.distance()
                frame.amplitude()
                frame.point_cloud(rgb=True, distance=distance)
                vexel.colour_map(distance)
                frame.raw.sum()
            gc.collect()
            sizes.append(rss())
        # One frame's buffer is 600 kB: a leak per frame would show as hundreds of megabytes.
        assert sizes[1] - sizes[0] < 16 << 20, sizes
    finally:
        cam.frame_rate = 30


def test_devices_left_open_are_closed_at_exit(tmp_path):
    script = "import vexel; cam = vexel.open(); cam.start(); cam.frame(); print(len(vexel.devices()))"
    run = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip().endswith("1")
    assert not [p for p in os.listdir(tmp_path) if p.endswith(".log")]


def test_devices_serials_time_outs_and_the_cache(tmp_path):
    (info,) = vexel.devices()
    assert (info.product, info.serial) == ("A-E2-1.0", "VX0001") and "A-E2-1.0 serial VX0001" in repr(info)
    with pytest.raises(vexel.Error, match="NOPE"):
        vexel.open(serial="NOPE")
    with vexel.open(serial="VX0001") as cam:
        for bad in (-1, -0.5, float("nan")):
            with pytest.raises(ValueError):
                cam.frame(timeout_ms=bad)
        cam.frame_rate = 1
        try:
            cam.start()
            cam.frame()
            for limit in (0, 100, 300):  # the next frame is a second away
                start = time.monotonic()
                with pytest.raises(vexel.Timeout):
                    cam.frame(timeout_ms=limit)
                assert limit / 1000 <= time.monotonic() - start < (limit + 50) / 1000
        finally:
            cam.stop()
            cam.frame_rate = 30
    # Without set_path each camera's calibration lives in the user's cache.
    script = "import vexel; cam = vexel.open(); print(vexel.path())"
    env = dict(os.environ, XDG_CACHE_HOME=str(tmp_path / "cache"))
    run = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, capture_output=True, text=True, timeout=120,
                         env=env)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == f"{tmp_path}/cache/vexel/VX0001-42/"
    assert any(p.startswith("tcm_ex_images_drnu") for p in os.listdir(tmp_path / "cache/vexel/VX0001-42"))
    assert os.listdir(tmp_path) == ["cache"]
