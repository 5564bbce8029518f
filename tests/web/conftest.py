import os
from pathlib import Path

import pytest


def pytest_addoption(parser):
    parser.addoption("--build-dir", default=os.environ.get("UT_BUILD_DIR", "build"),
                     help="the host build, whose ut_pack is the page's reference")
    parser.addoption("--web-dir", default="build-web", help="the build of scripts/web")


@pytest.fixture(scope="session")
def build_dir(request):
    return Path(request.config.getoption("--build-dir")).resolve()
