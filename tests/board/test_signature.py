"""Signed packages on the emulated board: a board holding a trusted key in
/etc/usb_tools/keys/ takes in a stick whose package that key signed, and
refuses an unsigned one, leaving it on the stick. The board has no hardware
random source: the check must not wait for the kernel's entropy pool."""

import re
import subprocess

import pytest

import board

pytestmark = pytest.mark.usefixtures("board_ready")

SPEED = 100
TEMP = "/home/velmarok/ut_temp/"
SERVICE_PHASE = "failed to check memory"
PRELUDE = ". /board/board.sh\nmkdir -p /home/velmarok/var\n"
WORK_LIST = "<0001>{trace.sh}\n<0002>{remove_temp_folder}\n"
TRACE_SCRIPT = """#!/bin/sh
stick=$(grep '^/dev/sd' /proc/mounts | cut -d' ' -f2 | head -n 1)
echo "ran" > "$stick/trace.txt"
"""
# The board boots without the random seed QEMU would pass in its device
# tree and has no hardware random source: the kernel's random pool starts
# empty, as on a board early in its boot. The pool's fill in bits (256 once
# it is initialised) is read before the daemon starts and again once it has
# checked the package: still below 256 then, so the check was made, and over,
# before the pool was ready, and did not wait for it.
RANDOMNESS = """
board_section hwrng sh -c 'cat /sys/class/misc/hw_random/rng_current 2>/dev/null || echo none'
board_section pool cat /proc/sys/kernel/random/entropy_avail
"""
RANDOMNESS_AFTER = """
board_section pool_after cat /proc/sys/kernel/random/entropy_avail
"""


def ut(ut_pack, *args):
    r = subprocess.run([str(ut_pack), *map(str, args)], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    return r.stdout


@pytest.mark.parametrize("signed", [True, False], ids=["signed", "unsigned"])
def test_board_with_a_key_takes_in_only_what_the_key_signed(
    ut_pack, armhf_build, armhf_program, tmp_path, signed
):
    armhf_program("usb_tools")
    keys = tmp_path / "keys"
    keys.mkdir()
    out = ut(ut_pack, "keygen", "--no-password", tmp_path / "maker.sec", keys / "maker.pub")
    key_id = re.search(r"key id ([0-9A-F]{16})", out).group(1)
    source = tmp_path / "package"
    source.mkdir()
    (source / "trace.sh").write_text(TRACE_SCRIPT)
    (source / "work_list.f").write_text(WORK_LIST)
    stick_files = tmp_path / "stick_files"
    stick_files.mkdir()
    sign = ["--sign", tmp_path / "maker.sec"] if signed else []
    ut(ut_pack, "create", *sign, "--scramble", source, stick_files / "command.f")
    stick = board.make_stick(tmp_path / "stick.img", "partitioned", stick_files)

    t = board.boot(
        tmp_path / "board",
        PRELUDE + RANDOMNESS + f"board_usb_tools --speed {SPEED} 60 '{SERVICE_PHASE}'\n" + RANDOMNESS_AFTER,
        stick=stick,
        adds=[(keys, "/etc/usb_tools/keys")],
        usb_tools=armhf_build,
        faketime=True,
        no_seed=True,
    )
    assert t.completed, t.describe()
    assert t.problems == [] and t.notes == [], t.describe()
    assert t.section("hwrng").lines == ["none"]
    # The pool was not ready when the daemon checked the signature, and the
    # check did not wait for it.
    assert int(t.section("pool").lines[0]) < 256
    assert int(t.section("pool_after").lines[0]) < 256, "the pool was ready: nothing proven"
    lines = board.log_lines(t.section("log").text)
    messages = [(l.level, l.message) for l in lines]
    assert ("E", SERVICE_PHASE) in messages, "the daemon went on to the service phase"
    if signed:
        accepted = [m for m in messages if m[1].startswith("package signed by key id ")]
        assert accepted == [("I", f"package signed by key id {key_id}, trusted comment: "
                                  "timestamp:" + accepted[0][1].split("timestamp:")[1])]
        assert ("I", "work list was created") in messages
        assert ("I", "execute function: remove_temp_folder") in messages
        assert board.stick_names(stick) == ["trace.txt", "usb_tools_receipt.txt"]
        receipt = board.stick_read(stick, "/usb_tools_receipt.txt", tmp_path).decode()
        assert f"signature: key id {key_id}, timestamp 20" in receipt
    else:
        assert ("E", "package refused: no signature file: "
                     "/media/usb_tools_folder/command.f.minisig") in messages
        assert ("I", "work list was created") not in messages
        assert board.stick_names(stick) == ["command.f", "usb_tools_receipt.txt"]
        receipt = board.stick_read(stick, "/usb_tools_receipt.txt", tmp_path).decode()
        assert "package: refused\n" in receipt
        assert "signature: refused: no signature file" in receipt
        assert board.stick_read(stick, "/command.f", tmp_path) == (
            stick_files / "command.f").read_bytes()
    clean, report = board.stick_fsck(stick)
    assert clean, report
