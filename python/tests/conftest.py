"""Fixtures: the path prefix in a scratch directory, an open simulated camera, its truth."""
import os

import pytest
import vexel


def pytest_configure(config):
    config.addinivalue_line("markers", "camera: needs the simulated camera (runs under vexel-sim)")


@pytest.fixture(scope="session", autouse=True)
def prefix(tmp_path_factory):
    path = tmp_path_factory.mktemp("prefix")
    vexel.set_path(f"{path}/")
    return path


@pytest.fixture
def cam():
    with vexel.open() as device:
        yield device


@pytest.fixture(scope="session")
def truth():
    return vexel.load_distance(os.environ["VEXEL_TEST_TRUTH"])[0]
