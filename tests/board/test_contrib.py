"""The start-up files of contrib/, on the host: the BusyBox start script runs
the daemon in its working folder as the process init started, and waits
before every start after the first one of a boot."""

import os
import pathlib
import subprocess

import pytest

import board

pytestmark = pytest.mark.host_only

CONTRIB = board.ROOT / "contrib"
START = CONTRIB / "busybox" / "usb_tools-start"

# Stands in for the daemon: says where it runs and as which process, and
# ends with status 3.
FAKE_DAEMON = """#!/bin/sh
echo "cwd $(pwd)"
echo "pid $$"
exit 3
"""

# Stands in for sleep(1): records how long it was asked to wait.
FAKE_SLEEP = """#!/bin/sh
echo "$*" >>"$SLEEP_LOG"
"""


@pytest.fixture
def start(tmp_path):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    for name, text in (("usb_tools", FAKE_DAEMON), ("sleep", FAKE_SLEEP)):
        (bin_dir / name).write_text(text)
        (bin_dir / name).chmod(0o755)
    run_dir = tmp_path / "run"
    run_dir.mkdir()
    sleeps = tmp_path / "sleeps"

    def run(work, **env):
        environment = {
            "PATH": f"{bin_dir}:{os.environ['PATH']}",
            "USB_TOOLS_DIR": str(work),
            "USB_TOOLS_DAEMON": str(bin_dir / "usb_tools"),
            "USB_TOOLS_RUN": str(run_dir),
            "SLEEP_LOG": str(sleeps),
            **env,
        }
        process = subprocess.Popen(
            ["/bin/sh", str(START)],
            cwd=tmp_path,
            env=environment,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        out, err = process.communicate(timeout=30)
        asked = sleeps.read_text().split() if sleeps.exists() else []
        sleeps.unlink(missing_ok=True)
        return process, out, err, asked

    return run, run_dir


def test_first_start_runs_the_daemon_at_once_in_its_working_folder(start, tmp_path):
    run, run_dir = start
    work = tmp_path / "var" / "lib" / "usb_tools"
    process, out, err, asked = run(work)
    # The daemon is the process init started (exec) and its status is init's.
    assert out.splitlines() == [f"cwd {work}", f"pid {process.pid}"], err
    assert process.returncode == 3
    assert asked == []
    assert (run_dir / "usb_tools.started").exists()


def test_later_starts_of_a_boot_wait_first(start, tmp_path):
    run, _ = start
    work = tmp_path / "work"
    assert run(work)[3] == []
    process, out, _, asked = run(work)
    assert asked == ["60"]
    assert out.splitlines()[0] == f"cwd {work}" and process.returncode == 3
    assert run(work, USB_TOOLS_RESTART_DELAY="7")[3] == ["7"]


def test_a_working_folder_that_cannot_be_made_stops_the_start(start, tmp_path):
    run, run_dir = start
    (tmp_path / "plain_file").write_text("")
    process, out, err, _ = run(tmp_path / "plain_file" / "usb_tools")
    assert process.returncode == 1
    assert out == ""
    assert "cannot work in" in err
    assert not (run_dir / "usb_tools.started").exists()


def test_init_and_systemd_start_the_daemon_from_the_same_working_folder():
    inittab = [
        line
        for line in (CONTRIB / "busybox" / "inittab").read_text().splitlines()
        if line and not line.startswith("#")
    ]
    assert inittab == ["::respawn:/usr/sbin/usb_tools-start"]
    unit = (CONTRIB / "systemd" / "usb_tools.service").read_text().splitlines()
    assert "WorkingDirectory=/var/lib/usb_tools" in unit
    assert "StateDirectory=usb_tools" in unit
    assert "ExecStart=/usr/sbin/usb_tools" in unit
    assert "dir=${USB_TOOLS_DIR:-/var/lib/usb_tools}" in START.read_text().splitlines()
    assert pathlib.Path(START).stat().st_mode & 0o111
