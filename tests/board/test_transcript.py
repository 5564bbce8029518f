"""The reading of a board's console transcript, on text (no board needed)."""

import pytest

import board

pytestmark = pytest.mark.host_only

TRANSCRIPT = (
    "[    0.030115] /cpus/cpu@0 missing clock-frequency property\r\n"
    "@@ut-board ready 4.10\r\n"
    "@@ut-board begin find\r\n"
    "device: sda1\r\n"
    "mounted: no\r\n"
    "@@ut-board end find 0\r\n"
    "output of a program outside any section\r\n"
    "@@ut-board note waited in vain\r\n"
    "@@ut-board begin logs\r\n"
    "@@ut-board file /var/a/logs/common-1.log\r\n"
    "line one\r\n"
    "@@ut-board file /var/a/logs/common-2.log\r\n"
    "line two\r\n"
    "line three\r\n"
    "@@ut-board end logs 3\r\n"
    "@@ut-board exit 0\r\n"
    "@@ut-board begin kernel\r\n"
    "@@ut-board end kernel 0\r\n"
    "[    4.920114] reboot: Power down\r\n"
)


def test_sections_files_notes_and_exit_status_are_read():
    t = board.parse_transcript(TRANSCRIPT)
    assert t.ready and t.completed and not t.timed_out
    assert t.exit_status == 0
    assert [s.name for s in t.sections] == ["find", "logs", "kernel"]
    find = t.section("find")
    assert find.status == 0
    assert find.text == "device: sda1\nmounted: no\n"
    assert (find.value("device"), find.value("mounted")) == ("sda1", "no")
    logs = t.section("logs")
    assert logs.status == 3
    assert logs.files == {
        "/var/a/logs/common-1.log": "line one\n",
        "/var/a/logs/common-2.log": "line two\nline three\n",
    }
    assert logs.text == "line one\nline two\nline three\n"
    assert t.section("kernel").text == ""
    assert t.notes == ["waited in vain"]
    assert t.problems == []


def test_a_board_stopped_by_its_watchdog_has_not_completed():
    t = board.parse_transcript(
        "@@ut-board ready 4.0\n@@ut-board begin a\npartial\n@@ut-board timeout 60\n"
    )
    assert t.ready and t.timed_out and not t.completed
    assert t.exit_status is None
    # A section cut off by the watchdog is not taken as a finished one.
    assert not t.has_section("a")


def test_a_board_the_host_had_to_stop_has_not_completed():
    t = board.parse_transcript(TRANSCRIPT, qemu_status=124)
    assert not t.completed


def test_problems_of_the_boot_are_kept():
    t = board.parse_transcript(
        "@@ut-board module-failed vfat\n@@ut-board stick-missing sda1\n@@ut-board ready 9.0\n"
        "@@ut-board exit 0\n"
    )
    assert t.problems == ["module-failed vfat", "stick-missing sda1"]


def test_missing_or_repeated_section_and_key_are_reported():
    t = board.parse_transcript(
        "@@ut-board begin a\nk: 1\nk: 2\n@@ut-board end a 0\n"
        "@@ut-board begin a\n@@ut-board end a 0\n"
    )
    with pytest.raises(AssertionError):
        t.section("a")
    with pytest.raises(AssertionError):
        t.section("b")
    assert t.sections[0].values("k") == ["1", "2"]
    with pytest.raises(AssertionError):
        t.sections[0].value("k")


def test_log_lines_of_the_daemon_are_split_into_their_fields():
    # Lines as the log module writes them: file and function fields of 29.
    text = (
        "==* common *======================================================[\n"
        "common level=3, rotate=5, max_size=1048576\n"
        "No previous log\n"
        "==* common *======================================================]\n"
        "10.12.2026 12:13:14 047 [I] src/start_task/search_usb.cpp: F_search_for_usb"
        + " " * 13
        + ": [00042] path to dev file: /dev/sda1\n"
        "\n"
        "10.12.2026 12:13:19 501 [E] ../common/test_utility/work_w: mount_device"
        + " " * 17
        + ": [00310] Mount error: Invalid argument\n"
        "a line of something else [E] x: y: [1] z\n"
    )
    lines = board.log_lines(text)
    assert [(l.level, l.file, l.function, l.line) for l in lines] == [
        ("I", "src/start_task/search_usb.cpp", "F_search_for_usb", 42),
        ("E", "../common/test_utility/work_w", "mount_device", 310),
    ]
    assert lines[0].time == "10.12.2026 12:13:14 047"
    assert board.log_messages(text) == [
        ("I", "path to dev file: /dev/sda1"),
        ("E", "Mount error: Invalid argument"),
    ]
