import os
from pathlib import Path

import pytest

import harness


def pytest_addoption(parser):
    parser.addoption("--build-dir", default=os.environ.get("UT_BUILD_DIR", "build"),
                     help="build folder holding usb_tools and the test fixtures")


@pytest.fixture(scope="session")
def build_dir(request):
    return Path(request.config.getoption("--build-dir")).resolve()


@pytest.fixture(scope="session")
def daemon(build_dir):
    why = harness.usable()
    if why:
        pytest.skip("end-to-end tests skipped: " + why)
    path = build_dir / "usb_tools"
    assert path.exists(), f"{path} is not built"
    return path


@pytest.fixture
def board(tmp_path, daemon):
    """A board factory: board(stick=..., diskstats=..., ...)."""
    made = []

    def make(**kwargs):
        b = harness.Board(tmp_path / f"board{len(made)}", daemon, **kwargs)
        made.append(b)
        return b

    yield make
    for b in made:
        b.stop()
