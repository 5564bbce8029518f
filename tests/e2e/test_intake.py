"""The USB service path of the real daemon: stick detection and mounting, the
intake of the task package and its work list, as a service engineer meets
them."""

import re
import subprocess

import pytest

from harness import (DISK_SDB, DISK_SDH, LOOP, MMC, PART_SDB1, FileWatch, Stick, script)

TEMP = "/home/velmarok/ut_temp/"
OWN_MOUNT = "/media/usb_tools_folder/"

# The memory watch's first pass, after state 26 and its 60-second wait: the
# start-up phase is over.
SERVICE_PHASE = "failed to check memory"

TRACE_SCRIPT = script("""
    echo "ran from $(pwd)" > /home/trace
    ls /home/velmarok/ut_temp/ >> /home/trace
""")


@pytest.fixture
def verify_agrees(build_dir, tmp_path):
    """Checks that `ut_pack verify` says of a package what the daemon did with
    it: exit 0 exactly when the daemon loaded its work list."""
    def check(data, messages):
        path = tmp_path / "verify.f"
        path.write_bytes(data)
        r = subprocess.run([str(build_dir / "ut_pack"), "verify", str(path)],
                           capture_output=True, text=True)
        loaded = "work list was created" in messages
        assert (r.returncode == 0) == loaded, r.stdout + r.stderr
        assert path.read_bytes() == data, "verify never changes the package"
    return check


@pytest.fixture
def package(tmp_path, build_dir):
    """package(files, scramble=False) -> bytes of a task package built by the
    library's packer from the given {name: content} files."""
    count = [0]

    def make(files, scramble=False):
        count[0] += 1
        src = tmp_path / f"pkg{count[0]}"
        src.mkdir()
        for name, data in files.items():
            (src / name).write_bytes(data if isinstance(data, bytes) else data.encode())
        out = tmp_path / f"pkg{count[0]}.f"
        args = [str(build_dir / "tests" / "make_package"), str(src) + "/", str(out)]
        if scramble:
            args.append("--scramble")
        subprocess.run(args, check=True, cwd=tmp_path)
        return out.read_bytes()

    return make


def standard_files(rows="<0001>{trace.sh}\n<0002>{remove_temp_folder}\n"):
    return {"work_list.f": rows, "trace.sh": TRACE_SCRIPT}


def test_no_stick_goes_to_the_service_phase(board):
    b = board(diskstats=(MMC, LOOP), faketime_rate=10)
    log = b.run(until=SERVICE_PHASE)
    messages = [l.message for l in log]
    assert messages[:2] == ["USB_SEARCH PART", "search_usb"]
    assert "usb detected" not in messages
    assert not any("TASK_SEARCH" in m for m in messages)
    # 50 attempts 50 ms apart, the pass's 5 s, 60 s in state 26, 5 s more.
    search = next(l for l in log if l.message == "search_usb")
    watch = next(l for l in log if l.message == SERVICE_PHASE)
    assert 71.0 <= watch.time - search.time <= 80.0


def test_drive_letter_h_is_not_a_stick(board):
    b = board(diskstats=(MMC, DISK_SDH), stick=Stick(source="/dev/sdh"))
    messages = [l.message for l in b.run(until=SERVICE_PHASE)]
    assert "usb detected" not in messages


@pytest.mark.parametrize("scramble", [False, True], ids=["plain", "scrambled"])
def test_mounted_stick_with_package_runs_its_work_list(board, package, verify_agrees, scramble):
    data = package(standard_files(), scramble)
    b = board(stick=Stick({"command.f": data}))
    messages = [l.message for l in b.run(until=SERVICE_PHASE)]
    verify_agrees(data, messages)
    assert "usb detected" in messages
    assert "get path to mounted sdx" in messages
    assert "usb mounted" not in messages
    assert ("file is crypted, need to repare" in messages) == scramble
    assert ("CRC of packed is OK" in messages) == scramble
    assert "work list was created" in messages
    at = messages.index("work list was created")
    assert messages[at + 1:at + 4] == [
        "TASK_EXECUTE_PART", "execute script: " + TEMP + "trace.sh",
        "execute function: remove_temp_folder"]
    trace = (b.home / "trace").read_text().splitlines()
    # The script ran from the daemon's working folder and saw the unpacked
    # files without the package copy.
    assert trace == ["ran from " + str(b.work), "trace.sh", "work_list.f"]
    assert not (b.home / "velmarok" / "ut_temp").exists()
    assert not (b.stick_out / "command.f").exists(), "the package runs once"


def test_partition_node_decides_the_device_name(board):
    # Not mounted: the daemon mounts it, so the name shows in the mount lines.
    b = board(stick=Stick(mount_at=None), dev_nodes=("sdb1",))
    b.start()
    assert b.wait_exit() == 1
    assert "full_dev_name = /dev/sdb1; dev_path = " + OWN_MOUNT + "\n" in b.log_text()
    assert "path to dev file: /dev/sdb1\n" in b.log_text()

    b = board(diskstats=(MMC, DISK_SDB), stick=Stick(mount_at=None))
    b.start()
    assert b.wait_exit() == 1
    assert "failed to mount sdb to " + OWN_MOUNT in b.messages()


def test_whole_device_stick_already_mounted(board, package, verify_agrees):
    data = package(standard_files())
    b = board(diskstats=(MMC, DISK_SDB),
              stick=Stick({"command.f": data}, source="/dev/sdb"))
    messages = [l.message for l in b.run(until=SERVICE_PHASE)]
    verify_agrees(data, messages)
    assert "get path to mounted sdx" in messages
    assert "execute function: remove_temp_folder" in messages


def test_stick_the_daemon_must_mount_fails_without_vfat(board):
    # This kernel has no vfat: the mount is refused and the daemon ends.
    b = board(stick=Stick(mount_at=None), dev_nodes=("sdb1",))
    b.start()
    assert b.wait_exit() == 1
    errors = b.messages("E")
    assert re.fullmatch(r"Mount error: .+", errors[0])
    # The second line's text ends in a newline of its own.
    assert errors[1:] == [
        "full_dev_name = /dev/sdb1; dev_path = " + OWN_MOUNT,
        "failed to mount sdb1 to " + OWN_MOUNT,
        "error in search usb part",
    ]
    assert "dev_path = " + OWN_MOUNT + "\n\n" in b.log_text()


def test_stale_own_mount_folder(board):
    b = board(stick=Stick(mount_at=None), dev_nodes=("sdb1",))
    stale = b.media / "usb_tools_folder"
    stale.mkdir()
    (stale / "old.txt").write_text("old")
    (stale / ".hidden").write_text("old")
    b.start()
    assert b.wait_exit() == 1
    # Emptied and made again before the (refused) mount.
    assert stale.is_dir() and list(stale.iterdir()) == []
    assert b.messages("E")[-2] == "failed to mount sdb1 to " + OWN_MOUNT

    b = board(stick=Stick(mount_at=None), dev_nodes=("sdb1",))
    (b.media / "usb_tools_folder" / "sub").mkdir(parents=True)
    b.start()
    assert b.wait_exit() == 1
    assert b.messages("E") == ["failed to delete " + OWN_MOUNT, "error in search usb part"]


def test_stick_without_package(board):
    b = board(stick=Stick({"other.txt": "x"}))
    (b.home / "velmarok" / "ut_temp").mkdir()
    (b.home / "velmarok" / "ut_temp" / "kept").write_text("kept")
    messages = [l.message for l in b.run(until=SERVICE_PHASE)]
    assert "failed to find task file: /media/stick/command.f" in messages
    assert "TASK_EXECUTE_PART" not in messages
    assert (b.home / "velmarok" / "ut_temp" / "kept").exists(), "nothing is touched"


def test_package_failing_its_checksum_stays_on_the_stick(board, package, verify_agrees):
    data = bytearray(package(standard_files(), scramble=True))
    data[900] ^= 0x40
    b = board(stick=Stick({"command.f": bytes(data)}))
    messages = [l.message for l in b.run(until=SERVICE_PHASE)]
    verify_agrees(bytes(data), messages)
    assert any(m.startswith("CRC error: read crc = ") for m in messages)
    assert "failed to unpack task file" in messages
    assert "TASK_EXECUTE_PART" not in messages
    assert (b.stick_out / "command.f").read_bytes() == bytes(data)
    # The copy stays in the temporary folder, unscrambled.
    assert (b.home / "velmarok" / "ut_temp" / "command.f").exists()
    assert not (b.home / "trace").exists()


@pytest.mark.parametrize("files,message", [
    ({"trace.sh": TRACE_SCRIPT}, "failed to find work_list file: " + TEMP + "work_list.f"),
    (standard_files("<0001>{trace.sh}\n\n"),
     "failed to get work list from file: " + TEMP + "work_list.f"),
], ids=["no_work_list", "malformed_work_list"])
def test_unusable_work_list(board, package, verify_agrees, files, message):
    data = package(files)
    b = board(stick=Stick({"command.f": data}))
    messages = [l.message for l in b.run(until=SERVICE_PHASE)]
    verify_agrees(data, messages)
    assert message in messages
    assert "TASK_EXECUTE_PART" not in messages
    assert not (b.home / "velmarok" / "ut_temp").exists()
    assert (b.stick_out / "command.f").exists()


def test_read_only_stick_still_runs_the_work_list(board, package, verify_agrees):
    data = package(standard_files())
    b = board(stick=Stick({"command.f": data}, read_only=True))
    messages = [l.message for l in b.run(until=SERVICE_PHASE)]
    verify_agrees(data, messages)
    assert "failed to delete packed from usb" in messages
    assert "execute function: remove_temp_folder" in messages
    assert (b.home / "trace").exists()
    assert (b.stick_out / "command.f").exists(), "taken in again at the next start"


def test_rows_with_other_codes_are_passed_over(board, package, verify_agrees):
    rows = "<1>{trace.sh}\n<0003>{remove_temp_folder}\n<>{x}\n<0001>{trace.sh}\n"
    data = package(standard_files(rows))
    b = board(stick=Stick({"command.f": data}))
    messages = [l.message for l in b.run(until=SERVICE_PHASE)]
    verify_agrees(data, messages)
    assert [m for m in messages if m.startswith("execute ")] == [
        "execute script: " + TEMP + "trace.sh"]
    assert (b.home / "velmarok" / "ut_temp").exists()


def test_script_after_remove_temp_folder_ends_the_walk(board, package, verify_agrees):
    rows = ("<0002>{remove_ut_update_file}\n<0002>{remove_temp_folder}\n<0001>{trace.sh}\n"
            "<0002>{remove_temp_folder}\n")
    data = package(standard_files(rows))
    b = board(stick=Stick({"command.f": data}))
    (b.home / "velmarok" / "var" / "main_ut").write_text("update")
    messages = [l.message for l in b.run(until=SERVICE_PHASE)]
    verify_agrees(data, messages)
    assert not (b.home / "velmarok" / "var" / "main_ut").exists()
    assert "failed to find script file: " + TEMP + "trace.sh" in messages
    assert "failed to execute script: trace.sh" in messages
    assert messages.count("execute function: remove_temp_folder") == 1
    assert not (b.home / "trace").exists()


def test_unknown_function_ends_the_walk(board, package, verify_agrees):
    rows = "<0002>{Remove_Temp_Folder}\n<0001>{trace.sh}\n"
    data = package(standard_files(rows))
    b = board(stick=Stick({"command.f": data}))
    messages = [l.message for l in b.run(until=SERVICE_PHASE)]
    verify_agrees(data, messages)
    assert "unknown function: Remove_Temp_Folder" in messages
    assert "failed to execute function Remove_Temp_Folder" in messages
    assert not (b.home / "trace").exists()


@pytest.mark.parametrize("name", [
    "a b.sh", "x;touch /home/pwned", "$(touch /home/pwned)", "`touch /home/pwned`", "-x.sh", "..",
    "tr*ce.sh",
])
def test_script_names_a_shell_would_misread_are_refused(board, package, verify_agrees, name):
    files = standard_files("<0001>{" + name + "}\n<0001>{trace.sh}\n")
    if "/" not in name and name != "..":
        # A name a package can carry as an entry.
        files[name] = script("touch /home/pwned\n")
    data = package(files)
    b = board(stick=Stick({"command.f": data}))
    messages = [l.message for l in b.run(until=SERVICE_PHASE)]
    verify_agrees(data, messages)
    assert "script name is not a plain file name: " + name in messages
    assert "failed to execute script: " + name in messages
    assert not (b.home / "pwned").exists()
    assert not (b.home / "trace").exists(), "the walk ends at the refused row"


def test_failing_script_counts_as_run(board, package, verify_agrees):
    files = standard_files("<0001>{fail.sh}\n<0001>{trace.sh}\n")
    files["fail.sh"] = script("exit 7\n")
    data = package(files)
    b = board(stick=Stick({"command.f": data}))
    messages = [l.message for l in b.run(until=SERVICE_PHASE)]
    verify_agrees(data, messages)
    assert "execute script: " + TEMP + "fail.sh" in messages
    assert (b.home / "trace").exists()


def test_package_made_with_ut_pack_runs_on_the_stick(board, build_dir, tmp_path):
    src = tmp_path / "service"
    src.mkdir()
    for name, data in standard_files().items():
        (src / name).write_text(data)
    out = tmp_path / "command.f"
    subprocess.run([str(build_dir / "ut_pack"), "create", "--scramble", str(src), str(out)],
                   check=True, capture_output=True)
    b = board(stick=Stick({"command.f": out}))
    messages = [l.message for l in b.run(until=SERVICE_PHASE)]
    assert "CRC of packed is OK" in messages
    assert "execute function: remove_temp_folder" in messages
    assert (b.home / "trace").exists()


def test_temp_folder_with_a_sub_folder_stops_the_intake(board, package):
    data = package(standard_files())
    b = board(stick=Stick({"command.f": data}))
    left = b.home / "velmarok" / "ut_temp" / "sub"
    left.mkdir(parents=True)
    (left / "x").write_text("x")
    log = b.run(until=SERVICE_PHASE)
    line = next(l for l in log if l.message == "failed to delete temp folder: " + TEMP)
    assert (line.level, line.function) == ("E", "F_search_for_task")
    assert "TASK_EXECUTE_PART" not in [l.message for l in log]
    assert (left / "x").exists()
    assert (b.stick_out / "command.f").read_bytes() == data, "the package stays"


@pytest.mark.parametrize("rows,lines", [
    ("<0001>{}\n<0001>{trace.sh}\n", ["script name is empty", "failed to execute script: "]),
    ("<0002>{}\n<0001>{trace.sh}\n", ["function name is empty", "failed to execute function "]),
], ids=["script", "function"])
def test_rows_with_empty_names_end_the_walk(board, package, rows, lines):
    b = board(stick=Stick({"command.f": package(standard_files(rows))}))
    log = b.run(until=SERVICE_PHASE)
    walk = [l for l in log if l.function in ("F_execute_work_list", "exec_script",
                                             "exec_function")]
    assert [(l.level, l.message) for l in walk] == [("E", m) for m in lines]
    assert not (b.home / "trace").exists()


def test_empty_work_list_runs_nothing(board, package):
    b = board(stick=Stick({"command.f": package(standard_files(""))}))
    log = b.run(until=SERVICE_PHASE)
    messages = [l.message for l in log]
    assert "work list was created" in messages
    at = messages.index("TASK_EXECUTE_PART")
    # Nothing runs and nothing is logged by the walk; the next state is 26,
    # whose settings read leads on to the memory watch.
    assert not any(l.function in ("F_execute_work_list", "exec_script", "exec_function")
                   for l in log)
    assert SERVICE_PHASE in messages[at + 1:]
    assert not (b.home / "trace").exists()
    assert sorted(p.name for p in (b.home / "velmarok" / "ut_temp").iterdir()) == [
        "trace.sh", "work_list.f"]


def test_remove_update_file_that_is_absent(board, package):
    rows = "<0002>{remove_ut_update_file}\n<0001>{trace.sh}\n"
    b = board(stick=Stick({"command.f": package(standard_files(rows))}))
    assert not (b.home / "velmarok" / "var" / "main_ut").exists()
    messages = [l.message for l in b.run(until=SERVICE_PHASE)]
    assert "execute function: remove_ut_update_file" in messages
    assert "execute script: " + TEMP + "trace.sh" in messages


def test_usb_search_makes_fifty_attempts(board):
    b = board(diskstats=(MMC, LOOP))
    b.open()
    watch = FileWatch()
    try:
        # The device list is the test's file bound over the kernel's: every
        # reading of it opens that file. (The closes are watched too, so that
        # the kernel does not merge one open with the next.)
        watch.watch(b.root / "diskstats", FileWatch.OPEN | FileWatch.CLOSE_NOWRITE)
        b.start()
        b.wait_for(SERVICE_PHASE)
        b.stop()
        opens = [e for e in watch.events() if e[1] & FileWatch.OPEN]
    finally:
        watch.close()
    assert len(opens) == 50


@pytest.mark.parametrize("length", [254, 255])
def test_mount_point_at_the_length_limit(board, package, length):
    # The mount point with its "/" fills dev_path (254), or does not fit (255).
    mount_at = "/media/" + "m" * (length - len("/media/"))
    data = package(standard_files())
    b = board(diskstats=(MMC, DISK_SDB), stick=Stick({"command.f": data}, mount_at=mount_at))
    if length == 255:
        # Not a folder that can be used: taken as not mounted, and mounted by
        # the daemon itself (refused here: no vfat).
        b.start()
        assert b.wait_exit() == 1
        messages = b.messages()
        assert "get path to mounted sdx" not in messages
        assert "failed to mount sdb to " + OWN_MOUNT in messages
    else:
        # The package's path would be cut: no package is taken from it.
        log = b.run(until=SERVICE_PHASE)
        line = next(l for l in log if l.message.startswith("failed to find task file: "))
        assert (line.level, line.message) == ("I", "failed to find task file: " + mount_at +
                                              "/command.f")
        assert "work list was created" not in [l.message for l in log]
    assert (b.stick_out / "command.f").read_bytes() == data
