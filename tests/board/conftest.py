"""Fixtures of the board tests. A board test is skipped, with the reason,
when this machine cannot boot the board (no qemu-system-arm, no kernel in
the cache and none to download) or when a build lacks the programs it runs.
When every board test was skipped, pytest ends with status 77, which CTest
reports as a skipped test. With UT_BOARD_REQUIRED=1 in the environment (as
./scripts/test sets it) each of these reasons fails the test instead."""

import os
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import board  # noqa: E402

ALL_SKIPPED = 77
_outcomes = {"passed": 0, "failed": 0, "skipped": 0}


def cannot_run(reason):
    """Skips the test, or fails it when the board tests are required."""
    if os.environ.get("UT_BOARD_REQUIRED") == "1":
        pytest.fail(f"required board test cannot run: {reason}", pytrace=False)
    pytest.skip(reason)


@pytest.fixture(scope="session")
def board_ready():
    reason = board.unavailable()
    if reason:
        cannot_run(f"no emulated board here: {reason}")


@pytest.fixture(scope="session")
def armhf_build():
    return pathlib.Path(os.environ.get("UT_BOARD_ARMHF_BUILD", board.ROOT / "build-armhf"))


@pytest.fixture(scope="session")
def host_build():
    return pathlib.Path(os.environ.get("UT_BOARD_HOST_BUILD", board.ROOT / "build"))


@pytest.fixture(scope="session")
def armhf_program(armhf_build):
    """armhf_program(relative path) -> path of a program of the armhf build,
    or the test is skipped."""

    def find(relative):
        path = armhf_build / relative
        if not path.is_file():
            cannot_run(f"{path} is missing: build the project for armhf first (build-armhf/)")
        return path

    return find


@pytest.fixture(scope="session")
def ut_pack(host_build):
    """The host build's ut_pack, which makes the task packages of the tests."""
    path = host_build / "ut_pack"
    if not path.is_file():
        cannot_run(f"{path} is missing: build the project for the host first (build/)")
    return path


def pytest_runtest_logreport(report):
    if report.when == "call" or report.outcome != "passed":
        _outcomes[report.outcome] = _outcomes.get(report.outcome, 0) + 1


def pytest_sessionfinish(session, exitstatus):
    if exitstatus == 0 and _outcomes["skipped"] and not _outcomes["passed"]:
        session.exitstatus = ALL_SKIPPED


def pytest_configure(config):
    config.addinivalue_line("markers", "host_only: runs on the host, boots nothing")
