"""The receipt on a real vfat stick: the installed daemon on the emulated
board writes usb_tools_receipt.txt at the top of the stick it mounted
itself; the test reads it back from the stick image as a PC would, after a
clean power-off and after the power was cut."""

import subprocess

import pytest

import board

pytestmark = pytest.mark.usefixtures("board_ready")

SPEED = 100
RECEIPT = "usb_tools_receipt.txt"
TEMP_NAME = "usb_tools_receipt.tmp"
SERVICE_PHASE = "failed to check memory"
PRELUDE = ". /board/board.sh\nmkdir -p /home/velmarok/var\n"

TRACE_SCRIPT = "#!/bin/sh\necho traced >/tmp/trace.txt\nexit 3\n"
WORK_LIST = "<0001>{trace.sh}\n<0002>{remove_temp_folder}\n"
ROWS = ["row 1: <0001> trace.sh: exit status 3", "row 2: <0002> remove_temp_folder: done"]


@pytest.fixture
def stick(ut_pack, tmp_path):
    """A partitioned vfat stick with a scrambled package of the trace script
    and its work list, and a file of the engineer's."""
    source = tmp_path / "package"
    source.mkdir()
    (source / "trace.sh").write_text(TRACE_SCRIPT)
    (source / "work_list.f").write_text(WORK_LIST)
    files = tmp_path / "stick_files"
    files.mkdir()
    made = subprocess.run(
        [str(ut_pack), "create", "--scramble", str(source), str(files / "command.f")],
        capture_output=True,
        text=True,
    )
    assert made.returncode == 0, made.stderr
    (files / "keep.txt").write_text("kept\n")
    return board.make_stick(tmp_path / "stick.img", "partitioned", files)


@pytest.fixture
def run(tmp_path, armhf_build, armhf_program):
    armhf_program("usb_tools")

    def boot(guest, stick):
        t = board.boot(
            tmp_path / "board", PRELUDE + guest, stick=stick, usb_tools=armhf_build, faketime=True
        )
        assert t.completed, t.describe()
        assert t.problems == [] and t.notes == [], t.describe()
        return t

    return boot


def check_whole(text, log_messages):
    """A whole receipt of the trace package: header, rows, and the log part
    holding the daemon's own start-up lines up to the end of the walk."""
    assert text.endswith("\n"), text
    lines = text.splitlines()
    at = lines.index("log:")
    assert lines[0] == "usb_tools receipt"
    keys = [line.split(": ", 1)[0] for line in lines[1:6]]
    assert keys == ["board", "version", "time", "package", "signature"], text
    assert lines[2:3] == ["version: 8"]
    assert lines[4:at] == ["package: taken in", "signature: not checked", *ROWS], text
    part = board.log_messages("\n".join(lines[at + 1 :]) + "\n")
    assert len(part) == len(lines) - at - 1, "every line after 'log:' is a log line"
    assert part[0] == ("I", "USB_SEARCH PART")
    assert part[-1] == ("I", "execute function: remove_temp_folder")
    # The daemon's log (level 3 on the board) holds the same lines.
    assert log_messages[: len(part)] == part
    return lines


def test_receipt_is_read_back_from_the_vfat_stick(run, stick, tmp_path):
    t = run(
        f"board_section host hostname\nboard_usb_tools --speed {SPEED} 60 '{SERVICE_PHASE}'\n",
        stick,
    )
    log = board.log_messages(t.section("log").text)
    lines = check_whole(board.stick_read(stick, "/" + RECEIPT, tmp_path).decode(), log)
    assert lines[1] == "board: " + t.section("host").lines[0]
    assert board.stick_names(stick) == ["keep.txt", RECEIPT]
    clean, report = board.stick_fsck(stick)
    assert clean, report


CUT_WHEN_IT_APPEARS = f"""
board_usb_tools_start --speed {SPEED}
board_wait_for 600 test -e /media/usb_tools_folder/{RECEIPT} || board_note "no receipt"
board_cut_power
"""

CUT_ONCE_THE_DAEMON_MOVED_ON = f"""
board_usb_tools_start --speed {SPEED}
board_wait_text 60 '{SERVICE_PHASE}' "$BOARD_USB_TOOLS_LOGS" || board_note "no service phase"
board_collect "$BOARD_USB_TOOLS_DIR" "$BOARD_PID"
board_cut_power
"""


@pytest.mark.parametrize(
    "guest, must_be_there",
    [(CUT_WHEN_IT_APPEARS, False), (CUT_ONCE_THE_DAEMON_MOVED_ON, True)],
    ids=["as-soon-as-it-appears", "once-the-daemon-moved-on"],
)
def test_power_cut_leaves_the_whole_receipt_or_none(run, stick, tmp_path, guest, must_be_there):
    t = run(guest, stick)
    names = board.stick_names(stick)
    assert "command.f" not in names
    if RECEIPT not in names:
        assert not must_be_there, names
        return
    text = board.stick_read(stick, "/" + RECEIPT, tmp_path).decode()
    log = board.log_messages(t.section("log").text) if t.has_section("log") else None
    if log is None:
        # Cut before the log could be shown: the receipt checks itself.
        log = board.log_messages(text.split("log:\n", 1)[1])
    check_whole(text, log)
    if must_be_there:
        assert TEMP_NAME not in names
