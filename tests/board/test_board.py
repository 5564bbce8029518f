"""The emulated board itself: the kernel announces a USB stick the way the
daemon expects it (sda, sda1 in /proc/diskstats), a FAT stick mounts as vfat
with the daemon's flags, one that is not FAT is refused, and what the board
changes on the stick is there when the host reads the image back.

The programs on the board are the probe board_probe of the armhf build."""

import hashlib

import pytest

import board

PROBE = "/usr/bin/board_probe"
OWN_FOLDER = "/media/usb_tools_folder"

pytestmark = pytest.mark.usefixtures("board_ready")


@pytest.fixture
def probe(armhf_program):
    return [(armhf_program("tests/board_probe"), PROBE)]


def boot(tmp_path, guest, **options):
    transcript = board.boot(tmp_path / "board", ". /board/board.sh\n" + guest, **options)
    assert transcript.completed, transcript.describe()
    assert transcript.problems == [], transcript.describe()
    return transcript


def disk_names(diskstats):
    return [line.split()[2] for line in diskstats.lines if len(line.split()) > 2]


def mount_line(mounts, folder):
    found = [line.split() for line in mounts.lines if line.split()[1:2] == [folder]]
    assert len(found) == 1, mounts.text
    return found[0]


def own_mount_script(device, *more):
    """A scenario: the kernel's disks, the probe's search, the probe's vfat
    mount of DEVICE on the daemon's own folder, the mount table; then MORE."""
    return "\n".join(
        [
            "board_section diskstats cat /proc/diskstats",
            f"board_section find {PROBE} find-usb",
            f"mkdir -p {OWN_FOLDER}",
            f"board_section mount {PROBE} mount {device} {OWN_FOLDER}",
            "board_section mounts cat /proc/mounts",
            *more,
        ]
    )


STICK_FILES = {
    "command.f": b"\x00\x01package bytes\xff",
    "Read Me.txt": "a long name with a blank\n",
    "sub/keep.txt": "stays\n",
}


def test_partitioned_stick_is_sda1_mounted_as_vfat_and_changes_reach_the_image(tmp_path, probe):
    stick = board.make_stick(tmp_path / "stick.img", "partitioned", STICK_FILES)
    t = boot(
        tmp_path,
        own_mount_script(
            "/dev/sda1",
            f"board_section list {PROBE} list {OWN_FOLDER}",
            f"board_section content cat {OWN_FOLDER}/command.f",
            f"board_section remove {PROBE} remove {OWN_FOLDER}/command.f",
            f"board_section trace sh -c 'echo written on the board >{OWN_FOLDER}/trace.txt'",
        ),
        stick=stick,
        programs=probe,
    )
    assert disk_names(t.section("diskstats"))[-2:] == ["sda", "sda1"]
    find = t.section("find")
    assert (find.value("device"), find.value("mounted")) == ("sda1", "no")

    mount = t.section("mount")
    assert mount.status == 0 and mount.value("mount") == "ok", mount.text
    assert mount.value("flags") == "1038"
    device, _, fs_type, options = mount_line(t.section("mounts"), OWN_FOLDER)[:4]
    assert (device, fs_type) == ("/dev/sda1", "vfat")
    assert {"nosuid", "nodev", "noexec", "noatime"} <= set(options.split(","))

    listed = set(t.section("list").lines)
    assert {"file: command.f", "file: Read Me.txt", "dir: sub"} <= listed, t.section("list").text
    # The console is text: compare the printable part of the package.
    assert "package bytes" in t.section("content").text
    assert t.section("remove").value("remove") == "ok"
    assert t.section("trace").status == 0

    clean, report = board.stick_fsck(stick)
    assert clean, report
    assert board.stick_names(stick) == ["Read Me.txt", "sub/", "trace.txt"]
    assert board.stick_read(stick, "/trace.txt", tmp_path) == b"written on the board\n"
    assert board.stick_read(stick, "/sub/keep.txt", tmp_path) == b"stays\n"


def test_unpartitioned_stick_is_the_whole_device_sda(tmp_path, probe):
    stick = board.make_stick(tmp_path / "stick.img", "whole", {"command.f": "whole device\n"})
    t = boot(
        tmp_path,
        own_mount_script("/dev/sda", f"board_section remove {PROBE} remove {OWN_FOLDER}/command.f"),
        stick=stick,
        programs=probe,
    )
    assert disk_names(t.section("diskstats"))[-1] == "sda"
    assert "sda1" not in disk_names(t.section("diskstats"))
    assert t.section("find").value("device") == "sda"
    assert t.section("mount").value("mount") == "ok"
    assert mount_line(t.section("mounts"), OWN_FOLDER)[:3] == ["/dev/sda", OWN_FOLDER, "vfat"]
    assert t.section("remove").value("remove") == "ok"
    clean, report = board.stick_fsck(stick)
    assert clean, report
    assert board.stick_names(stick) == []


def test_stick_mounted_by_the_system_before_the_program_starts(tmp_path, probe):
    stick = board.make_stick(tmp_path / "stick.img", "partitioned", {"command.f": "x\n"})
    t = boot(
        tmp_path,
        f"""
mkdir -p /media/stick
mount -t vfat /dev/sda1 /media/stick
board_section find {PROBE} find-usb
board_section list {PROBE} list /media/stick
board_section mounts cat /proc/mounts
""",
        stick=stick,
        programs=probe,
    )
    find = t.section("find")
    assert (find.value("device"), find.value("mounted")) == ("sda1", "/media/stick")
    assert "file: command.f" in t.section("list").lines
    assert not [line for line in t.section("mounts").lines if OWN_FOLDER in line]


def test_ext2_stick_is_refused_by_the_vfat_mount_and_left_as_it_was(tmp_path, probe):
    stick = board.make_stick(tmp_path / "stick.img", "ext2", {"command.f": "on ext2\n"})
    before = hashlib.sha256(stick.read_bytes()).hexdigest()
    t = boot(
        tmp_path,
        own_mount_script("/dev/sda"),
        stick=stick,
        programs=probe,
    )
    assert t.section("find").value("device") == "sda"
    mount = t.section("mount")
    assert mount.status == 1
    assert mount.value("mount") == "failed: Invalid argument"
    assert not [line for line in t.section("mounts").lines if line.startswith("/dev/sd")]
    # The kernel says why: no FAT file system on the device.
    assert "FAT" in t.section("kernel").text
    assert hashlib.sha256(stick.read_bytes()).hexdigest() == before


def test_board_without_a_stick_lists_no_usb_disk(tmp_path, probe):
    t = boot(
        tmp_path,
        f"""
board_section diskstats cat /proc/diskstats
board_section find {PROBE} find-usb
""",
        programs=probe,
    )
    assert not [name for name in disk_names(t.section("diskstats")) if name.startswith("sd")]
    assert t.section("find").value("device") == "none"


def test_time_helpers_faster_sleeps_under_libfaketime_and_clock_forward(tmp_path, probe):
    # The probe sleeps 600 seconds at a speed of 100 while the script waits
    # for it at most 60 seconds: it ends in time only when its sleep() is
    # made shorter. board_start, board_wait_text, board_wait_exit and
    # board_files are the helpers that scenarios with the daemon use.
    t = boot(
        tmp_path,
        f"""
board_log_settings /var/probe 3
board_start --speed 100 /var/probe {PROBE} sleep 600
board_wait_text 60 'left:' '/var/probe/*.out' || board_note "no output in time"
board_wait_exit "$BOARD_PID" 60 || board_note "still running"
board_section status echo "$BOARD_STATUS"
board_section files board_files /var/probe/c_log.ini /var/probe/board_start.out
touch /tmp/made_before
board_clock_forward 120
board_section age sh -c 'echo $(( $(date +%s) - $(stat -c %Z /tmp/made_before) ))'
""",
        programs=probe,
        faketime=True,
        timeout=150,
    )
    assert t.notes == [], t.describe()
    assert t.section("status").lines == ["0"]
    files = t.section("files").files
    assert files["/var/probe/c_log.ini"].startswith("level = 3\n")
    out = board.Section("out", 0, files["/var/probe/board_start.out"], {})
    # The project's 64-bit time_t on the 32-bit board: libfaketime must catch
    # sleep() of such a program.
    assert out.value("time_t bits") == "64"
    assert (out.value("asked"), out.value("left")) == ("600", "0")
    assert int(t.section("age").lines[0]) >= 120


FAKE_SERVICE = """\
# Writes two log files as a service would, then works on or fails.
mkdir -p logs
echo "started in $(pwd)"
echo "first file" >logs/common-01-01-2026-2.log
echo "second file" >logs/common-01-01-2026-10.log
case $1 in
keep)
    echo "work done" >>logs/common-01-01-2026-10.log
    exec sleep 1000
    ;;
fail) exit 1 ;;
esac
"""


def test_service_runs_in_its_folder_until_its_log_shows_the_text_or_it_ends(tmp_path):
    service = tmp_path / "fake_service.sh"
    service.write_text(FAKE_SERVICE)
    t = boot(
        tmp_path,
        """
board_run_logged /var/a 60 "work done" sh /board/fake_service.sh keep
board_note "a returned $?"
board_section ini cat /var/a/c_log.ini
board_run_logged /var/b 60 "work done" sh /board/fake_service.sh fail
board_note "b returned $?"
""",
        adds=[(service, "/board/fake_service.sh")],
    )
    assert t.notes == ["a returned 0", "b returned 1"]
    assert [s.lines for s in t.all("exit")] == [["running"], ["1"]]
    assert t.section("ini").lines[0] == "level = 3"
    keep_log, fail_log = t.all("log")
    # Files in the order of their numbers: 2 before 10.
    assert list(keep_log.files) == [
        "/var/a/logs/common-01-01-2026-2.log",
        "/var/a/logs/common-01-01-2026-10.log",
    ]
    assert keep_log.lines == ["first file", "second file", "work done"]
    assert fail_log.lines == ["first file", "second file"]
    assert [s.lines for s in t.all("output")] == [["started in /var/a"], ["started in /var/b"]]
