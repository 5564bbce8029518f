"""What the real daemon does with what others can put in its way: a stick's
mount point, its files and links, a look-alike line of the mount table, and
the daemon's own folders planted or mounted over by someone else."""

import os
import re
import shutil
import stat
import subprocess
from pathlib import Path

import pytest

from harness import DISK_SDB, MMC, PART_SDB1, Stick, script
from test_intake import OWN_MOUNT, SERVICE_PHASE, TEMP, package, standard_files  # noqa: F401

def intake_line(log, text):
    return next(l for l in log if l.message == text)


# A stick's label becomes its mount point: blanks, a second path after a
# blank, a command separator, command substitutions, a backslash; quotes.
SHELL_LABELS = {
    "commands": ("/media/USB DISK /home/victim ;touch /home/pwned;$(touch /home/pwned)"
                 "`touch /home/pwned`\\ end"),
    "quotes": "/media/it's \"mine\" /home/victim",
}


@pytest.mark.parametrize("read_only", [False, True], ids=["writable", "read_only"])
@pytest.mark.parametrize("label", sorted(SHELL_LABELS))
def test_stick_label_with_shell_characters(board, package, label, read_only):
    data = package(standard_files("<0001>{trace.sh}\n"))
    b = board(stick=Stick({"command.f": data}, mount_at=SHELL_LABELS[label],
                          read_only=read_only))
    victim = b.home / "victim"
    victim.write_text("of the board")
    victim.chmod(0o600)
    log = b.run(until=SERVICE_PHASE)
    messages = [l.message for l in log]
    assert "get path to mounted sdx" in messages
    assert intake_line(log, "work list was created").function == "F_search_for_task"
    assert "execute script: " + TEMP + "trace.sh" in messages
    assert not (b.home / "pwned").exists(), "nothing but the package's own scripts runs"
    assert stat.S_IMODE(victim.stat().st_mode) == 0o600
    if read_only:
        assert "failed to delete packed from usb" in messages
        assert (b.stick_out / "command.f").read_bytes() == data
    else:
        assert "failed to delete packed from usb" not in messages
        assert not (b.stick_out / "command.f").exists(), "the package runs once"
    assert b.stderr() == "", "nothing on standard error, a read-only stick included"


def test_look_alike_mount_line_is_not_the_stick(board, package):
    # sdb is listed but mounted nowhere; another file system's mount point
    # holds "sdb" in its name and a package of its own.
    b = board(diskstats=(MMC, DISK_SDB, PART_SDB1), stick=Stick(mount_at=None))
    (b.root / "lookalike.f").write_bytes(package(standard_files("<0001>{trace.sh}\n")))
    b.setup = ["mkdir -p /media/sdb_backup",
               "mount -t tmpfs -o size=1m tmpfs /media/sdb_backup",
               f"cp '{b.root}/lookalike.f' /media/sdb_backup/command.f"]
    b.start()
    assert b.wait_exit() == 1
    messages = b.messages()
    assert "get path to mounted sdx" not in messages
    assert "failed to mount sdb to " + OWN_MOUNT in messages
    assert not any("TASK_SEARCH" in m for m in messages)
    assert not (b.home / "trace").exists()


def test_stick_package_linked_to_a_board_file(board, package):
    # On a stick with a file system that holds links (mounted by the system),
    # command.f leads to a package of the board itself.
    board_package = package(standard_files("<0001>{trace.sh}\n"))
    b = board(stick=Stick({}))
    target = b.home / "velmarok" / "var" / "board.f"
    target.write_bytes(board_package)
    target.chmod(0o600)
    (b.stick_in / "command.f").symlink_to("/home/velmarok/var/board.f")
    log = b.run(until=SERVICE_PHASE)
    messages = [l.message for l in log]
    line = intake_line(
        log, "failed to copy task file: from [/media/stick/command.f] to [" + TEMP + "command.f]")
    assert line.function == "F_search_for_task"
    assert "work list was created" not in messages
    assert not (b.home / "trace").exists()
    # Nothing of the board changed, copied or taken in through the link.
    assert target.read_bytes() == board_package
    assert stat.S_IMODE(target.stat().st_mode) == 0o600
    assert list((b.home / "velmarok" / "ut_temp").iterdir()) == []
    assert os.path.islink(b.stick_out / "command.f"), "the link stays on the stick"


@pytest.mark.parametrize("planted", ["link", "folder"])
def test_planted_temp_folder(board, package, planted):
    data = package(standard_files("<0001>{trace.sh}\n"))
    b = board(stick=Stick({"command.f": data}))
    temp = b.home / "velmarok" / "ut_temp"
    victim_dir = b.home / "victim_dir"
    victim_dir.mkdir()
    (victim_dir / "precious").write_text("kept")
    (b.home / "victim_file").write_text("kept")
    if planted == "link":
        temp.symlink_to("/home/victim_dir")
    else:
        # Someone else's folder, open to all, with a file and links in it.
        temp.mkdir()
        (temp / "old.sh").write_text("stale")
        (temp / "to_file").symlink_to("/home/victim_file")
        (temp / "to_dir").symlink_to("/home/victim_dir")
        os.chown(temp, 1000, 1000)
        temp.chmod(0o777)
    log = b.run(until=SERVICE_PHASE)
    assert intake_line(log, "work list was created").function == "F_search_for_task"
    assert (b.home / "trace").exists(), "the work list ran"
    # The link's target untouched; the folder made fresh, root's, 0700.
    assert (victim_dir / "precious").read_text() == "kept"
    assert (b.home / "victim_file").read_text() == "kept"
    st = os.lstat(temp)
    assert stat.S_ISDIR(st.st_mode)
    assert stat.S_IMODE(st.st_mode) == 0o700
    assert (st.st_uid, st.st_gid) == (0, 0)
    assert sorted(p.name for p in temp.iterdir()) == ["trace.sh", "work_list.f"]


def test_file_system_mounted_on_own_mount_folder(board):
    b = board(stick=Stick(mount_at=None), dev_nodes=("sdb1",))
    kept = b.root / "own_out"
    kept.mkdir()
    b.setup = ["mkdir -p " + OWN_MOUNT,
               "mount -t tmpfs -o size=1m tmpfs " + OWN_MOUNT,
               "echo kept > " + OWN_MOUNT + "kept"]
    b.teardown = [f"cp -a {OWN_MOUNT}. '{kept}/'"]
    b.start()
    assert b.wait_exit() == 1
    assert b.messages("E") == ["failed to delete " + OWN_MOUNT, "error in search usb part"]
    assert (kept / "kept").read_text() == "kept\n", "nothing on that file system is removed"


def test_own_mount_folder_planted_as_a_link(board):
    b = board(stick=Stick(mount_at=None), dev_nodes=("sdb1",))
    victim_dir = b.home / "victim_dir"
    victim_dir.mkdir()
    (victim_dir / "precious").write_text("kept")
    (b.media / "usb_tools_folder").symlink_to("/home/victim_dir")
    b.start()
    assert b.wait_exit() == 1
    # The link went as a link; the folder was made anew (the mount is then
    # refused: this kernel has no vfat).
    assert b.messages("E")[-2] == "failed to mount sdb1 to " + OWN_MOUNT
    assert (victim_dir / "precious").read_text() == "kept"
    own = b.media / "usb_tools_folder"
    assert not own.is_symlink() and own.is_dir()


# The suite's user can rename the fresh temporary folder away (its parent is
# theirs) and put a folder of their own, with scripts of their own, in its
# place. Played here by the package's first script, between two rows: the
# next row still runs the package's own script, from the folder unpacked into.
SWAP_SCRIPT = """#!/bin/sh
mv /home/velmarok/ut_temp /home/velmarok/ut_temp_away
mkdir /home/velmarok/ut_temp
printf '#!/bin/sh\\ntouch /home/pwned\\n' > /home/velmarok/ut_temp/trace.sh
chmod 700 /home/velmarok/ut_temp /home/velmarok/ut_temp/trace.sh
"""

REPLACED = ("temp folder is not the one the package was unpacked into: " + TEMP +
            "; the script runs from the folder unpacked into")


def test_temp_folder_swapped_before_a_script_runs(board, package):
    files = standard_files("<0001>{swap.sh}\n<0001>{trace.sh}\n<0002>{remove_temp_folder}\n")
    files["swap.sh"] = SWAP_SCRIPT
    b = board(stick=Stick({"command.f": package(files)}))
    log = b.run(until=SERVICE_PHASE)
    messages = [l.message for l in log]
    assert "execute script: " + TEMP + "swap.sh" in messages
    assert REPLACED in messages
    assert "execute script: " + TEMP + "trace.sh" in messages
    assert not (b.home / "pwned").exists(), "nothing runs from a folder put in its place"
    assert (b.home / "trace").exists(), "the package's own script ran"
    # The folder made is emptied where it went; the one put at the name is
    # not the daemon's to remove.
    assert "execute function: remove_temp_folder" in messages
    assert list((b.home / "velmarok" / "ut_temp_away").iterdir()) == []
    assert (b.home / "velmarok" / "ut_temp" / "trace.sh").exists()
    # /home/velmarok/ is root's here: nothing to say about it.
    assert not any(m.startswith("folder above the temp folder") for m in messages)


# An unprivileged racer that owns /home/velmarok/ (tests/e2e/racer.py). The
# package's first script waits for the racer's swap; the second reads the
# data file beside itself.
RACE_ROWS = "<0001>{first.sh}\n<0001>{reader.sh}\n"
RACE_FILES = {
    "work_list.f": RACE_ROWS,
    "first.sh": script("""
        i=0
        while [ ! -e /home/velmarok/swapped ] && [ $i -lt 200000 ]; do i=$((i+1)); done
    """),
    "reader.sh": script("""
        cat "$(dirname "$0")"/data.txt > /home/result
        echo "$0" > /home/zero
    """),
    "data.txt": "package's data\n",
}
RACER = Path(__file__).resolve().parent / "racer.py"
SUITE_UID = 1000


def userns_usable():
    probe = subprocess.run(["setpriv", f"--reuid={SUITE_UID}", f"--regid={SUITE_UID}",
                            "--clear-groups", "unshare", "-Ur", "-m", "true"],
                           capture_output=True)
    return probe.returncode == 0


@pytest.mark.parametrize("form", ["once", "flip", "userns"])
def test_racer_owning_the_suite_home(board, package, form):
    if form == "userns" and not userns_usable():
        pytest.skip("this kernel refuses unprivileged user namespaces")
    # A pid namespace of its own: the racer sees this board's daemon only.
    b = board(stick=Stick({"command.f": package(RACE_FILES)}), own_pids=True)
    home = b.home / "velmarok"
    os.chown(home, SUITE_UID, SUITE_UID)
    home.chmod(0o755)
    shutil.copyfile(RACER, b.home / "racer.py")
    b.open()
    racer = b.spawn("setpriv", f"--reuid={SUITE_UID}", f"--regid={SUITE_UID}", "--clear-groups",
                    "/usr/bin/python3", "/home/racer.py", form)
    assert racer.line() == "ready"
    b.start()
    if form != "flip":
        assert racer.line() == "swapped"
    b.wait_for(SERVICE_PHASE)
    b.stop()
    messages = b.messages()
    assert not (b.home / "pwned").exists(), "nothing of the racer's runs as root"
    warned = [m for m in messages if m.startswith("folder above the temp folder")]
    assert warned == ["folder above the temp folder can be written by other users than root: "
                      f"/home/velmarok/ (owner {SUITE_UID}, mode 0755)"]
    if form == "flip" and "work list was created" not in messages:
        # Swapped between the folder's making and its opening: refused.
        assert "failed to create temp folder for task file: " + TEMP in messages
        return
    assert "execute script: " + TEMP + "reader.sh" in messages
    assert (b.home / "result").read_text() == "package's data\n"
    zero = (b.home / "zero").read_text().strip()
    assert re.fullmatch(r"/proc/\d+/fd/\d+/reader\.sh", zero), zero
    if form != "flip":
        # The daemon saw the swap before the reader's row.
        assert messages.index(REPLACED) < messages.index("execute script: " + TEMP + "reader.sh")
