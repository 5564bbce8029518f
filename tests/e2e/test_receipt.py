"""The receipt the daemon leaves on the stick, usb_tools_receipt.txt, as the
service engineer reads it on a PC: written whenever a command.f was found
(taken in or refused), never otherwise, never through a link, and never at
the cost of anything else the daemon does."""

import re
import socket

import pytest

from harness import LOG_LINE, Stick, script, wait_until
from test_intake import package  # noqa: F401  (a fixture)

SERVICE_PHASE = "failed to check memory"
RECEIPT = "usb_tools_receipt.txt"
TEMP_NAME = "usb_tools_receipt.tmp"
TEMP = "/home/velmarok/ut_temp/"
HEADER_KEYS = ["board", "version", "time", "package", "signature"]
TIME = re.compile(r"^\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d \d{3}$")


class Receipt:
    """A receipt's parts: the header's values, the row lines and the output
    lines below each (output[i] for rows[i]), the log part (its lines, each
    matched against the log line format) and the rest."""

    def __init__(self, text):
        lines = text.split("\n")
        assert lines[-1] == "", "the receipt ends with a whole line"
        lines = lines[:-1]
        assert lines[0] == "usb_tools receipt"
        at = lines.index("log:")
        self.header = {}
        self.rows = []
        self.output = []
        for line in lines[1:at]:
            if line.startswith("    | "):
                self.output[-1].append(line[len("    | "):])
                continue
            key, _, value = line.partition(": ")
            if key.startswith("row "):
                self.rows.append(line)
                self.output.append([])
            else:
                assert key in HEADER_KEYS and key not in self.header, line
                self.header[key] = value
        assert list(self.header) == HEADER_KEYS
        self.log = []
        self.tail = []
        for line in lines[at + 1:]:
            m = LOG_LINE.match(line)
            if m:
                assert not self.tail, "log lines are kept without a gap"
                self.log.append((m.group(8), m.group(12)))
            else:
                self.tail.append(line)

    def messages(self, level=None):
        return [m for lv, m in self.log if level is None or lv == level]


def receipt_of(b):
    path = b.stick_out / RECEIPT
    assert path.is_file(), sorted(p.name for p in b.stick_out.iterdir())
    assert not (b.stick_out / TEMP_NAME).exists()
    return Receipt(path.read_text())


def test_receipt_after_a_package_taken_in_shows_every_row_and_the_log_at_level_3(
        board, package):
    # The log settings say errors only: the receipt still explains itself.
    hostile = "ev\x1b[2Jil.sh"
    rows = ("<0001>{ok.sh}\n<0001>{three.sh}\n<0003>{ok.sh}\n<0002>{remove_temp_folder}\n"
            "<0001>{" + hostile + "}\n<0002>{remove_ut_update_file}\n")
    files = {"work_list.f": rows, "ok.sh": script("echo ok >> /home/trace\n"),
             "three.sh": script("echo three >> /home/trace\nexit 3\n")}
    b = board(stick=Stick({"command.f": package(files, scramble=True),
                           "keep.txt": "the engineer's file\n"}), log_level=1)
    (b.home / "velmarok" / "var" / "main_ut").write_text("kept: its row did not run")
    b.run(until=SERVICE_PHASE)

    r = receipt_of(b)
    assert r.header["board"] == socket.gethostname()
    assert r.header["version"] == "8"
    assert TIME.match(r.header["time"]), r.header["time"]
    assert r.header["package"] == "taken in"
    assert r.header["signature"] == "not checked"
    assert r.rows == [
        "row 1: <0001> ok.sh: exit status 0",
        "row 2: <0001> three.sh: exit status 3",
        "row 3: <0003> ok.sh: passed over",
        "row 4: <0002> remove_temp_folder: done",
        "row 5: <0001> ev\\x1b[2Jil.sh: failed",
        "row 6: <0002> remove_ut_update_file: not run",
    ]
    # Exit statuses are recorded, not acted on: the walk went on after 3.
    assert (b.home / "trace").read_text() == "ok\nthree\n"
    assert (b.home / "velmarok" / "var" / "main_ut").exists()

    # The log part: the start-up phase from its first line, levels 1 to 3.
    info = r.messages("I")
    assert r.log[0] == ("I", "USB_SEARCH PART")
    for line in ["TASK_SEARCH PART", "file is crypted, need to repare", "CRC of packed is OK",
                 "work list was created", "TASK_EXECUTE_PART", f"execute script: {TEMP}ok.sh",
                 f"execute script: {TEMP}three.sh", "execute function: remove_temp_folder"]:
        assert line in info, line
    assert r.log[-2:] == [
        ("E", "script name is not a plain file name: ev\\x1b[2Jil.sh"),
        ("E", "failed to execute script: ev\\x1b[2Jil.sh"),
    ]
    assert r.tail == []
    # The log files hold errors only, as c_log.ini says; the receipt's error
    # lines are the same lines, each byte escaped once in both.
    assert {l.level for l in b.log()} == {"E"}
    assert "\x1b" not in b.log_text()
    errors = b.messages("E")
    assert errors[:len(r.messages("E"))] == r.messages("E")
    assert not any(m.startswith("failed to write receipt") for m in b.messages())

    assert sorted(p.name for p in b.stick_out.iterdir()) == ["keep.txt", RECEIPT]


def test_control_bytes_of_a_row_are_escaped_once_in_the_log_and_the_receipt(board, package):
    # A row that would wipe the engineer's terminal and forge a line; its
    # backslash must read back as itself.
    name = "ev\x1b[2J\rgone\\x41.sh"
    shown = "ev\\x1b[2J\\x0dgone\\x5cx41.sh"
    files = {"work_list.f": "<0001>{" + name + "}\n", "ok.sh": script("exit 0\n")}
    b = board(stick=Stick({"command.f": package(files)}), log_level=3)
    b.run(until=SERVICE_PHASE)
    expected = [f"script name is not a plain file name: {shown}",
                f"failed to execute script: {shown}"]
    text = b.log_text()
    assert "\x1b" not in text and "\r" not in text
    errors = b.messages("E")
    assert errors[:2] == expected
    r = receipt_of(b)
    assert r.messages("E")[:2] == expected
    assert r.rows == [f"row 1: <0001> {shown}: failed"]


def test_receipt_after_a_package_with_a_bad_checksum_says_refused(board, package):
    files = {"work_list.f": "<0001>{ok.sh}\n", "ok.sh": script("touch /home/trace\n")}
    data = bytearray(package(files, scramble=True))
    data[810] ^= 0x40
    b = board(stick=Stick({"command.f": bytes(data)}), log_level=1)
    b.run(until=SERVICE_PHASE)

    r = receipt_of(b)
    assert r.header["package"] == "refused"
    assert r.rows == []
    assert r.log[0] == ("I", "USB_SEARCH PART")
    crc = [m for m in r.messages("E") if m.startswith("CRC error: read crc = ")]
    assert len(crc) == 1
    assert r.messages("E")[-1] == "failed to unpack task file"
    assert "TASK_EXECUTE_PART" not in r.messages()
    # The package stays for the next start; nothing ran.
    assert (b.stick_out / "command.f").read_bytes() == bytes(data)
    assert not (b.home / "trace").exists()


def test_no_receipt_on_a_stick_without_a_package(board):
    b = board(stick=Stick({"other.txt": "x"}))
    messages = [l.message for l in b.run(until=SERVICE_PHASE)]
    assert "failed to find task file: /media/stick/command.f" in messages
    assert sorted(p.name for p in b.stick_out.iterdir()) == ["other.txt"]


def test_read_only_stick_gets_no_receipt_and_the_daemon_goes_on(board, package):
    files = {"work_list.f": "<0001>{ok.sh}\n", "ok.sh": script("touch /home/trace\n")}
    b = board(stick=Stick({"command.f": package(files)}, read_only=True))
    b.start()
    b.wait_for(SERVICE_PHASE)
    b.wait_for(SERVICE_PHASE, count=2)
    assert b.running()
    b.stop()
    lines = [l for l in b.log() if "receipt" in l.message]
    assert [(l.level, l.message) for l in lines] == [
        ("E", f"failed to write receipt /media/stick/{RECEIPT}: Read-only file system")]
    assert (b.home / "trace").exists()
    assert sorted(p.name for p in b.stick_out.iterdir()) == ["command.f"]


def test_links_under_the_receipts_names_are_replaced_never_followed(board, package):
    files = {"work_list.f": "<0002>{remove_temp_folder}\n"}
    b = board(stick=Stick({"command.f": package(files)}))
    target = b.home / "target"
    target.write_text("the board's file\n")
    b.setup = [f"ln -s /home/target /media/stick/{TEMP_NAME}",
               f"ln -s /home/target /media/stick/{RECEIPT}"]
    b.run(until=SERVICE_PHASE)

    assert target.read_text() == "the board's file\n"
    assert not (b.stick_out / RECEIPT).is_symlink()
    r = receipt_of(b)
    assert r.rows == ["row 1: <0002> remove_temp_folder: done"]
    assert sorted(p.name for p in b.stick_out.iterdir()) == [RECEIPT]


def test_a_folder_under_the_receipts_name_leaves_the_stick_as_it_was(board, package):
    files = {"work_list.f": "<0002>{remove_temp_folder}\n"}
    b = board(stick=Stick({"command.f": package(files)}))
    b.setup = [f"mkdir /media/stick/{RECEIPT}"]
    messages = [l.message for l in b.run(until=SERVICE_PHASE)]

    assert f"failed to write receipt /media/stick/{RECEIPT}: Is a directory" in messages
    assert "execute function: remove_temp_folder" in messages
    assert (b.stick_out / RECEIPT).is_dir()
    assert sorted(p.name for p in b.stick_out.iterdir()) == [RECEIPT]


def test_full_stick_gets_no_receipt_and_keeps_its_package(board, package):
    files = {"work_list.f": "<0001>{ok.sh}\n", "ok.sh": script("touch /home/trace\n")}
    data = bytearray(package(files, scramble=True))
    data[810] ^= 0x40
    b = board(stick=Stick({"command.f": bytes(data)}))
    b.setup = ["mount -o remount,size=1m /media/stick",
               "dd if=/dev/zero of=/media/stick/filler bs=4k 2>/dev/null || true"]
    messages = [l.message for l in b.run(until=SERVICE_PHASE)]

    assert [m for m in messages if "receipt" in m] == [
        f"failed to write receipt /media/stick/{RECEIPT}: No space left on device"]
    assert "failed to unpack task file" in messages
    assert sorted(p.name for p in b.stick_out.iterdir()) == ["command.f", "filler"]
    assert (b.stick_out / "command.f").read_bytes() == bytes(data)


def test_no_receipt_into_the_mount_folder_of_a_stick_a_script_unmounted(board, package):
    files = {"work_list.f": "<0001>{eject.sh}\n",
             "eject.sh": script("umount /media/stick && touch /home/ejected\n")}
    b = board(stick=Stick({"command.f": package(files)}))
    messages = [l.message for l in b.run(until=SERVICE_PHASE)]

    assert (b.home / "ejected").exists()
    assert f"failed to write receipt /media/stick/{RECEIPT}: the stick is no longer there" in \
        messages
    assert list((b.media / "stick").iterdir()) == []


# Leaves a child that writes 1 MB over ten seconds (of the real clock, the
# child is out of the daemon's fast clock), after a second's wait.
BACKGROUND_SCRIPT = script("""
    echo "own line 1"
    (env -u LD_PRELOAD -u FAKETIME sh -c '
        sleep 1
        i=0
        while [ $i -lt 100 ]; do yes child | head -c 10240; sleep 0.1; i=$((i+1)); done
        touch /home/child_done') &
    echo "own line 2" >&2
""")


def test_background_child_of_a_script(board, package):
    files = {"work_list.f": "<0001>{bg.sh}\n<0001>{second.sh}\n<0001>{crlf.sh}\n",
             "bg.sh": BACKGROUND_SCRIPT,
             "second.sh": script("""
                 [ -e /home/child_done ] && echo late > /home/second || echo early > /home/second
                 echo second done
             """),
             # Saved with CRLF line ends: the shell finds no "/bin/sh\r".
             "crlf.sh": "#!/bin/sh\r\necho never\r\n"}
    b = board(stick=Stick({"command.f": package(files)}))
    b.start()
    b.wait_for("execute script: " + TEMP + "crlf.sh")
    # The walk went on while the child wrote; the child ends unharmed.
    wait_until(lambda: (b.home / "child_done").exists(), timeout=60, what="the child's end")
    b.wait_for(SERVICE_PHASE)
    b.stop()
    assert (b.home / "second").read_text() == "early\n"
    r = receipt_of(b)
    assert r.rows == ["row 1: <0001> bg.sh: exit status 0",
                      "row 2: <0001> second.sh: exit status 0",
                      "row 3: <0001> crlf.sh: not found (exit status 127)"]
    assert r.output[0] == ["own line 1", "own line 2"]
    assert r.output[1] == ["second done"]
    assert len(r.output[2]) == 1 and "not found" in r.output[2][0], r.output[2]
    # Everything reached the daemon's standard output, the child's 1 MB too.
    out = b.stdout()
    assert "own line 1" in out and "second done" in out
    assert out.count("child") >= 100 * (10240 // 6)
