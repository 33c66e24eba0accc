"""Point clouds of the simulated wall at 2 m: organised and compact clouds agree, pixel indices and
colours line up with them, the wall is flat with the lens filter on and off, open3d takes them."""
import importlib.util

import numpy as np
import pytest
import vexel


@pytest.mark.camera
def test_clouds_lie_flat_on_the_wall_and_agree_with_each_other(cam):
    for lens in (False, True):
        cam.filters["lens_undistort"] = lens
        frame = cam.frame()
        distance = frame.distance()
        grid = frame.point_cloud(distance=distance, organised=True)
        assert (grid.dtype, grid.shape) == (np.float32, (240, 320, 3))
        valid = (distance > 0) & (distance < 60)
        assert np.array_equal(~np.isnan(grid[..., 2]), valid)
        points, pixels, rgb = frame.point_cloud(distance=distance, pixels=True, rgb=(1.0, 3.0))
        assert (pixels.dtype, rgb.dtype, rgb.shape) == (np.int32, np.uint8, (len(points), 3))
        assert np.array_equal(points, grid.reshape(-1, 3)[pixels])
        assert np.array_equal(rgb, vexel.colour_map(distance, range=(1.0, 3.0)).reshape(-1, 3)[pixels])
        # A flat wall whether or not the image was undistorted (noise 3 mm at this amplitude).
        z = grid[..., 2][valid]
        assert np.mean(np.abs(z - 2.0) <= 0.015) > 0.95, lens
        zdepth_rgb = frame.point_cloud(distance=distance, organised=True, rgb=(1.0, 3.0))[1]
        assert zdepth_rgb.shape == (240, 320, 3)
    with pytest.raises(ValueError):
        frame.point_cloud(organised=True, pixels=True)


@pytest.mark.skipif(importlib.util.find_spec("open3d") is None, reason="open3d is not installed")
def test_open3d_takes_organised_clouds_without_their_nan_points():
    grid = np.zeros((2, 3, 3), np.float32)
    grid[0, 1] = np.nan
    rgb = np.full((2, 3, 3), 255, np.uint8)
    cloud = vexel.to_open3d(grid, rgb)
    assert len(cloud.points) == 5 and np.allclose(np.asarray(cloud.colors), 1.0)
