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


def pytest_collection_modifyitems(config, items):
    # Under valgrind only the daemon runs under memcheck: a test that never
    # starts it would only repeat its plain run.
    if not harness.VALGRIND:
        return
    skip = pytest.mark.skip(reason="valgrind wraps only the daemon, which this test does not run")
    for item in items:
        if "daemon" not in getattr(item, "fixturenames", ()):
            item.add_marker(skip)
