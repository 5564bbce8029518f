"""A sequenced package on the emulated board, with /var/lib/usb_tools on a
persistent disk of its own (the virtio disk vda, never taken for a stick):
the power is cut right after the daemon wrote its ledger, and after the next
boot the same package, put on a stick again, is refused and does not run."""

import re
import subprocess

import pytest

import board

pytestmark = pytest.mark.usefixtures("board_ready")

SPEED = 100
SERVICE_PHASE = "failed to check memory"
SPENT = "it will not run again on this board"
DISK = """. /board/board.sh
mkdir -p /home/velmarok/var
board_wait_for 100 test -b /dev/vda || board_note "no disk vda"
mount -t vfat -o umask=077 /dev/vda /var/lib/usb_tools || board_note "disk not mounted"
"""
# The first boot: the power goes the moment the log says the sequence was
# spent (the ledger is written before that line).
CUT = DISK + f"""
board_usb_tools_start --speed {SPEED}
if board_wait_text 60 '{SPENT}' "$BOARD_USB_TOOLS_LOGS"; then
    board_cut_power
fi
board_note "the sequence was never taken in"
"""
AGAIN = DISK + f"""
board_usb_tools --speed {SPEED} 60 '{SERVICE_PHASE}'
board_section ledger cat /var/lib/usb_tools/ledger
"""
TRACE_SCRIPT = """#!/bin/sh
stick=$(grep '^/dev/sd' /proc/mounts | cut -d' ' -f2 | head -n 1)
echo "ran" > "$stick/trace.txt"
"""


def ut(ut_pack, *args):
    r = subprocess.run([str(ut_pack), *map(str, args)], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    return r.stdout


def test_power_cut_after_the_ledger_was_written_spends_the_sequence(
    ut_pack, armhf_build, armhf_program, tmp_path
):
    armhf_program("usb_tools")
    keys = tmp_path / "keys"
    keys.mkdir()
    out = ut(ut_pack, "keygen", "--no-password", tmp_path / "maker.sec", keys / "maker.pub")
    key_id = re.search(r"key id ([0-9A-F]{16})", out).group(1)
    source = tmp_path / "package"
    source.mkdir()
    (source / "trace.sh").write_text(TRACE_SCRIPT)
    (source / "work_list.f").write_text("<0001>{trace.sh}\n<0002>{remove_temp_folder}\n")
    files = tmp_path / "stick_files"
    files.mkdir()
    ut(ut_pack, "create", "--scramble", source, files / "command.f")
    ut(ut_pack, "sign", "-t", "boards:RX-00042\tsequence:7", tmp_path / "maker.sec",
       files / "command.f")
    (tmp_path / "board").write_text("id = RX-00042\n")
    disk = tmp_path / "disk.img"
    with open(disk, "wb") as f:
        f.truncate(8 << 20)
    subprocess.run(["/usr/sbin/mkfs.vfat", disk], check=True, capture_output=True)
    adds = [(keys, "/etc/usb_tools/keys"), (tmp_path / "board", "/etc/usb_tools/board")]

    def boot(name, guest):
        stick = board.make_stick(tmp_path / f"{name}.img", "partitioned", files)
        t = board.boot(tmp_path / name, guest, stick=stick, disk=disk, adds=adds,
                       usb_tools=armhf_build, faketime=True)
        return t, stick

    t, _ = boot("first", CUT)
    assert t.notes == [], t.describe()
    assert t.problems == [], t.describe()

    # The next boot: the same package on a stick again.
    t, stick = boot("second", AGAIN)
    assert t.completed, t.describe()
    assert t.problems == [] and t.notes == [], t.describe()
    assert t.section("ledger").lines == [f"{key_id} 7"]
    messages = [(l.level, l.message) for l in board.log_lines(t.section("log").text)]
    # The log is on the disk too: this boot's lines begin at its last start.
    starts = [i for i, m in enumerate(messages) if m == ("I", "USB_SEARCH PART")]
    messages = messages[starts[-1]:]
    refused = [m for m in messages if m[1].startswith("package refused: ")]
    assert refused == [("E", f"package refused: sequence 7 of key id {key_id}; "
                             "this board has taken in 7")]
    assert ("I", "work list was created") not in messages
    assert board.stick_names(stick) == ["command.f", "command.f.minisig",
                                        "usb_tools_receipt.txt"]
