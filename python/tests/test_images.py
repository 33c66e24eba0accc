"""The module without a camera: errors, colour map, undistortion, median and frame files."""
import os
import subprocess
import sys

import numpy as np
import pytest
import vexel


def test_no_camera_attached(tmp_path):
    assert vexel.devices() == []
    with pytest.raises(vexel.Error) as e:
        vexel.open()
    assert (e.value.name, e.value.code) == ("vexel_dev_open", 0)
    with pytest.raises(ValueError):
        vexel.open(-1)
    assert vexel.error_name(-7) == "VEXEL_ERR_CAP_STALL"
    # Importing leaves no dated log file behind, and the library stops cleanly at exit.
    run = subprocess.run([sys.executable, "-c", "import vexel"], cwd=tmp_path, capture_output=True, timeout=60)
    assert (run.returncode, os.listdir(tmp_path)) == (0, [])
    # A log file only when asked for.
    vexel.set_log(file=tmp_path / "wanted.log", file_level=1)
    vexel.set_path(vexel.path())
    vexel.set_log()
    vexel.set_path(vexel.path())
    assert (tmp_path / "wanted.log").read_text().count("PATH_PREIFX") == 1


@pytest.mark.parametrize("fmt, pixels", [
    ("rgb", [(0, 0, 127), (0, 0, 0), (0, 0, 0)]),
    ("bgr", [(127, 0, 0), (0, 0, 0), (0, 0, 0)]),
    ("rgbx", [(0, 0, 127, 0), (0, 0, 0, 0), (0, 0, 0, 0)]),
])
def test_colour_map(fmt, pixels):
    # The far end of the range is dark blue; invalid pixels and those outside the range black.
    image = vexel.colour_map(np.array([[4.0, 65.5, 4.5]] * 2, np.float32), range=(0, 4), format=fmt)
    assert image.dtype == np.uint8 and image.shape == (2, 3, len(pixels[0]))
    assert [tuple(p) for p in image[1]] == pixels
    with pytest.raises(ValueError):
        vexel.colour_map(image[..., 0], format="rgba")


def test_undistortion():
    # Without distortion the table only scales the image: the last column and row have no source.
    lens = vexel.Lens(cx=3.5, cy=1.5, fx=5, fy=5, width=8, height=4)
    assert lens.coeffs == [0.0] * 5
    undistort = vexel.Undistorter(lens)
    image = np.arange(32, dtype=np.float32).reshape(4, 8)
    fixed = undistort(image, fill=-1)
    cols, rows = (np.trunc(np.arange(n) * n / (n - 1) + 0.5).astype(int) for n in (8, 4))
    assert np.array_equal(fixed, np.pad(image, ((0, 1), (0, 1)), constant_values=-1)[np.ix_(rows, cols)])
    assert undistort(image.astype(np.uint16)).dtype == np.uint16
    assert undistort(np.zeros((2, 4))).shape == (2, 4)  # binned by two
    for bad in (np.zeros((4, 6)), np.zeros(8)):
        with pytest.raises(ValueError):
            undistort(bad)


def test_median():
    image = np.full((5, 5), 1000, np.uint16)
    image[2, 2] = 9000
    assert (vexel.median(image) == 1000).all() and image[2, 2] == 9000
    assert vexel.median(np.zeros((4, 4), np.uint16), kernel=7).shape == (4, 4)
    for args in [(image.astype(np.float32), 3), (image, 4), (image, 1), (np.zeros((3, 10), np.uint16), 7),
                 (np.zeros((1, 10), np.uint16), 3)]:
        with pytest.raises(ValueError):
            vexel.median(*args)


def test_frame_files(tmp_path):
    frames = np.random.default_rng(1).uniform(0.1, 9, (2, 6, 4)).astype(np.float32)
    path = tmp_path / "d.vxd"
    vexel.save_distance(path, frames[0])
    vexel.save_distance(path, frames[1], append=True)
    assert np.array_equal(vexel.load_distance(path), frames)
    vexel.save_distance(path, np.full((2, 3), 1.2345, np.float32), format="u16")
    assert np.allclose(vexel.load_distance(path), 1.234)
    vexel.save_gray(tmp_path / "g.vxg", frames * 10, format="u8")
    gray = vexel.load_gray(tmp_path / "g.vxg")
    assert gray.shape == (2, 6, 4) and np.array_equal(gray, np.trunc(frames * 10))
    with pytest.raises(vexel.Error):
        vexel.load_distance(tmp_path / "g.vxg")
    with pytest.raises(FileNotFoundError):
        vexel.load_gray(tmp_path / "missing")
    with pytest.raises(ValueError):
        vexel.save_gray(path, frames, format="f32")


def test_colour_map_picks_its_range_from_the_image():
    image = np.array([[1.0, 2.0, 3.0, 65.5, 65.3, 0.0, 70.0]], np.float32)
    auto = vexel.colour_map(image)
    near, far = auto[0, 0], auto[0, 2]
    assert near[0] > 150 and near[2] < 50 and far[2] > 100 and far[0] < 50  # red near, blue far
    assert not auto[0, 3:].any()  # no measurement: black
    # A fixed range: the same image's 3 m is now mid-range, 65.5 still black.
    fixed = vexel.colour_map(image, range=(0.5, 5.5))
    assert not np.array_equal(fixed[0, 2], far) and not fixed[0, 3:].any()
    for bad in [(2, 1), (1, 1)]:
        with pytest.raises(ValueError):
            vexel.colour_map(image, range=bad)


def test_module_surface(tmp_path, caplog):
    assert vexel.__version__ and vexel.__version__[0].isdigit()
    # A docstring on every public name of the module, and the stubs name each of them.
    stubs = open(os.path.join(os.path.dirname(vexel.__file__), "vexel.pyi")).read()
    for name in [n for n in dir(vexel) if not n.startswith("_")]:
        obj = getattr(vexel, name)
        if isinstance(obj, (int, str)):
            continue
        assert obj.__doc__, name
        assert f" {name}" in stubs, name
    # set_path takes os.PathLike, with or without a trailing slash.
    before = vexel.path()
    try:
        vexel.set_path(tmp_path / "a")
        assert vexel.path() == f"{tmp_path}/a/" and (tmp_path / "a").is_dir()
        vexel.set_path(f"{tmp_path}/b/")
        assert vexel.path() == f"{tmp_path}/b/"
        # The library's messages reach the logger "vexel".
        vexel.set_log(console=1)
        with caplog.at_level(1, logger="vexel"):
            vexel.set_path(tmp_path / "c")
        assert [(r.name, r.levelname) for r in caplog.records if "PATH_PREIFX" in r.getMessage()] == [
            ("vexel", "DEBUG")]
    finally:
        vexel.set_log()
        vexel.set_path(before)
