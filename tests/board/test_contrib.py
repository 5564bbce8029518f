"""The start-up files of contrib/, on the host: the start script runs the
daemon in its working folder as the process init started, waits before
every start after the first one of a boot, and waits while a USB stick is
arriving, by what it finds in a sysfs of the test's own."""

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
    (tmp_path / "sys" / "bus" / "usb" / "devices").mkdir(parents=True)
    sleeps = tmp_path / "sleeps"

    def run(work, **env):
        environment = {
            "PATH": f"{bin_dir}:{os.environ['PATH']}",
            "USB_TOOLS_DIR": str(work),
            "USB_TOOLS_DAEMON": str(bin_dir / "usb_tools"),
            "USB_TOOLS_RUN": str(run_dir),
            "USB_TOOLS_SYSFS": str(tmp_path / "sys"),
            "USB_TOOLS_DEFAULTS": str(tmp_path / "default"),
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


@pytest.mark.parametrize("target_exists", [True, False], ids=["to_a_file", "dangling"])
def test_a_link_under_the_stamp_name_is_never_written_through(start, tmp_path, target_exists):
    # In /tmp (no /run) anyone may put a link under the stamp's name before
    # the start, which runs as root: it counts as a stamp, and nothing is
    # written or made through it.
    run, run_dir = start
    target = tmp_path / "victim"
    if target_exists:
        target.write_text("precious\n")
    (run_dir / "usb_tools.started").symlink_to(target)
    process, out, err, asked = run(tmp_path / "work")
    assert process.returncode == 3 and out.startswith("cwd "), err
    assert asked == ["60"]
    assert (run_dir / "usb_tools.started").is_symlink()
    if target_exists:
        assert target.read_text() == "precious\n"
    else:
        assert not target.exists() and not target.is_symlink()


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
    assert "ExecStart=/usr/sbin/usb_tools-start" in unit
    assert "dir=${USB_TOOLS_DIR:-/var/lib/usb_tools}" in START.read_text().splitlines()
    assert pathlib.Path(START).stat().st_mode & 0o111


# -- the wait for a USB stick that is arriving --------------------------------

# Stands in for sleep(1) in a sysfs of the test's own: records the wait and,
# on the call given by DISK_AFTER, makes the stick's disk appear below its
# interface, as usb-storage does once it has scanned the device.
FAKE_SLEEP_DISK = """#!/bin/sh
echo "$*" >>"$SLEEP_LOG"
calls=$(wc -l <"$SLEEP_LOG")
if [ "$calls" = "$DISK_AFTER" ]; then
    mkdir -p "$DISK_AT"
fi
"""


def usb_interface(sys_root, name, interface_class, disk=False):
    """A USB interface in sysfs (bInterfaceClass), with a SCSI host below
    it and, when asked, the disk that usb-storage makes."""
    interface = sys_root / "bus" / "usb" / "devices" / name
    (interface / "host0").mkdir(parents=True)
    (interface / "bInterfaceClass").write_text(interface_class + "\n")
    block = interface / "host0" / "target0:0:0" / "0:0:0:0" / "block" / "sda"
    if disk:
        block.mkdir(parents=True)
    return block


@pytest.mark.parametrize(
    "interfaces,disk_after,settings,asked,said",
    [
        # No USB storage: not one sleep.
        ([], None, None, [], []),
        ([("1-1:1.0", "03", False), ("1-2:1.0", "09", False)], None, None, [], []),
        # A stick whose disk is there already.
        ([("1-1:1.0", "08", True)], None, None, [], []),
        # A stick whose disk appears after the third second.
        ([("1-1:1.0", "08", False)], 3, None, ["1"] * 3, ["waiting up to 15 s", "after 3 s"]),
        # One disk there, another stick still arriving.
        ([("1-1:1.0", "08", True), ("1-2:1.0", "08", False)], 2, None, ["1"] * 2,
         ["waiting up to 15 s", "after 2 s"]),
        # A disk that never appears: the bound, 15 s or the one set.
        ([("1-1:1.0", "08", False)], None, None, ["1"] * 15,
         ["waiting up to 15 s", "no disk of the USB stick after 15 s"]),
        ([("1-1:1.0", "08", False)], None, "USB_TOOLS_STICK_WAIT=4\n", ["1"] * 4,
         ["waiting up to 4 s", "after 4 s, starting without it"]),
        ([("1-1:1.0", "08", False)], None, "USB_TOOLS_STICK_WAIT=0\n", [], []),
        ([("1-1:1.0", "08", False)], None, "USB_TOOLS_STICK_WAIT=ten\n", ["1"] * 15,
         ["no number of seconds, 15 taken", "waiting up to 15 s", "after 15 s"]),
    ],
    ids=["nothing", "no_storage_class", "disk_there", "disk_after_3_s", "second_stick",
         "never", "wait_set_to_4", "wait_set_to_0", "wait_not_a_number"],
)
def test_the_start_waits_while_a_stick_is_arriving(
    start, tmp_path, interfaces, disk_after, settings, asked, said
):
    run, _ = start
    (tmp_path / "bin" / "sleep").write_text(FAKE_SLEEP_DISK)
    disk_at = tmp_path / "nowhere"
    for name, interface_class, disk in interfaces:
        block = usb_interface(tmp_path / "sys", name, interface_class, disk)
        if not disk:
            disk_at = block
    if settings is not None:
        (tmp_path / "default").write_text(settings)
    process, out, err, waits = run(
        tmp_path / "work", DISK_AFTER=str(disk_after or 0), DISK_AT=str(disk_at)
    )
    # The daemon runs in the end, whatever the wait found.
    assert out.splitlines()[0] == f"cwd {tmp_path / 'work'}" and process.returncode == 3
    assert waits == asked
    lines = err.splitlines()
    assert len(lines) == len(said) and all(s in l for s, l in zip(said, lines)), err


def test_under_systemd_udev_settles_first_within_the_same_bound(start, tmp_path):
    run, _ = start
    udevadm = tmp_path / "bin" / "udevadm"
    udevadm.write_text('#!/bin/sh\necho "udevadm $*" >>"$SLEEP_LOG"\n')
    udevadm.chmod(0o755)
    (tmp_path / "default").write_text("USB_TOOLS_STICK_WAIT=9\n")
    process, out, _, calls = run(tmp_path / "work", USB_TOOLS_UDEV_SETTLE="1")
    assert calls == ["udevadm", "settle", "--timeout=9"]
    assert process.returncode == 3
    # Without the unit's setting (BusyBox) udev is left alone.
    assert run(tmp_path / "work", USB_TOOLS_RESTART_DELAY="0")[3] == []
