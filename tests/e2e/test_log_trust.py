"""The daemon's log against entries of its working folder that are not its
own: a foreign log entry whose number cannot grow, a symbolic link among the
log entries, and a settings file c_log.ini that is a symbolic link or a
FIFO."""

import os
import re
import time

import pytest

from harness import LOG_LINE, FileWatch, wait_until

RULE = "==* common *" + "=" * 54
COMPLAINT = "can't get log settings from file: c_log.ini\nFailed to get settings\n"

IN_MODIFY = 0x02
IN_DELETE = 0x200
IN_Q_OVERFLOW = 0x4000


def writes_held(text):
    """How many writes of the log call a file's text holds: one per log line,
    one per opening or closing block."""
    return sum(1 for line in text.splitlines()
               if LOG_LINE.match(line) or line == RULE + "[")


def series_number(name):
    m = re.fullmatch(r"common-\d\d-\d\d-\d{4}-(\d+)\.log", name)
    return int(m.group(1)) if m else None


def test_foreign_number_that_cannot_grow_loses_no_line(board):
    """Small files, many changes of files beside a foreign entry whose number
    the series could not count past: every line the daemon wrote (each one
    write, as the kernel reports it) is in the files, no file was emptied or
    deleted, and the foreign entry is untouched."""
    b = board(diskstats=(), log_level=None, faketime_rate=100)
    (b.work / "c_log.ini").write_text("level = 3\nrotate = 15\nmax_size = 1024\n")
    logs = b.work / "logs"
    logs.mkdir(mode=0o700)
    foreign = logs / "x-99999999999.log"
    foreign.write_text("a foreign entry\n")

    watch = FileWatch()
    # Opens and closes come between the writes of one file, so that the
    # kernel never merges two of them into one event.
    watch.watch(logs, IN_MODIFY | IN_DELETE | FileWatch.OPEN | FileWatch.CLOSE_WRITE |
                FileWatch.CLOSE_NOWRITE)
    events = []

    def written():
        events.extend(watch.events())
        return sum(1 for _, mask, _ in events if mask & IN_MODIFY)

    try:
        b.start()
        # About eight writes a file: ten changes of files, well within rotate.
        wait_until(lambda: written() >= 80, what="80 writes into logs/")
        b.stop()
        time.sleep(0.1)
        written()
    finally:
        watch.close()

    assert not any(mask & IN_Q_OVERFLOW for _, mask, _ in events)
    assert not any(mask & IN_DELETE for _, mask, _ in events), "nothing deleted"
    per_name = {}
    for _, mask, name in events:
        if mask & IN_MODIFY:
            per_name[name] = per_name.get(name, 0) + 1
    held = {p.name: writes_held(p.read_text()) for p in logs.iterdir()}
    assert held.pop(foreign.name) == 0 and held == per_name, \
        "every write of the run is in the files"
    assert foreign.read_text() == "a foreign entry\n"

    numbers = sorted(series_number(n) for n in held)
    assert numbers == list(range(1, len(numbers) + 1)), "one series from 1, no gap"
    assert len(numbers) >= 9
    names = {series_number(n): n for n in held}
    first = (logs / names[1]).read_text()
    assert first.startswith(RULE + "[\ncommon level=3, rotate=15, max_size=1024\n"
                            "No previous log\n" + RULE + "]\n")
    for n in numbers[:-1]:
        full = (logs / names[n]).read_text()
        following = (logs / names[n + 1]).read_text()
        assert full.endswith(f"Next log file is <logs/{names[n + 1]}>\n{RULE}]\n")
        assert following.split("\n")[2] == f"Previous log file is <{names[n]}>"


PASS_LINES = ["failed to find file: /home/velmarok/var/velmarok.pid",
              "failed to get pid id of main from file", "failed to check memory"]


def test_link_among_the_log_entries_loses_no_line(board):
    """A symbolic link among the entries of logs/ is the oldest entry and
    cannot be deleted: the changes of files go on past it and lose no line.
    Without a pid file every pass of the watch logs the same three lines, so
    the files left hold them in an unbroken cycle."""
    b = board(diskstats=(), log_level=None, faketime_rate=100)
    (b.work / "c_log.ini").write_text("level = 3\nrotate = 3\nmax_size = 1024\n")
    logs = b.work / "logs"
    logs.mkdir(mode=0o700)
    outside = b.root / "outside.txt"
    outside.write_text("not a log\n")
    (logs / "link-0.log").symlink_to(outside)

    def newest():
        return max([series_number(p.name) or 0 for p in logs.iterdir()] + [0])

    b.start()
    wait_until(lambda: newest() >= 15, what="15 files of the series")
    b.stop()
    series = sorted(n for n in (series_number(p.name) for p in logs.iterdir()) if n)
    # Three files; four when the stop came between the making of a new file
    # and the deletion of the oldest (the wait above ends right there).
    assert len(series) in (3, 4) and series == list(range(series[0], series[0] + len(series)))
    assert (logs / "link-0.log").is_symlink()
    assert outside.read_text() == "not a log\n"
    messages = [m for m in b.messages() if not m.startswith("STATE_CHECK_MEM")]
    assert len(messages) >= 12
    start = PASS_LINES.index(messages[0])
    cycle = (PASS_LINES[start:] + PASS_LINES * len(messages))[:len(messages)]
    assert messages == cycle, "no line lost at a change of files"


def test_settings_file_that_is_a_link_to_a_file_is_read(board):
    """c_log.ini a symbolic link to a regular file: read through as the file
    itself would be, never written."""
    b = board(diskstats=(), log_level=None, faketime_rate=100)
    target = b.root / "target.ini"
    target.write_text("level = 3\n")
    (b.work / "c_log.ini").symlink_to(target)
    log = b.run(until="failed to check memory")
    assert [l.message for l in log[:2]] == ["USB_SEARCH PART", "search_usb"]
    assert b.stdout() == ""
    assert target.read_text() == "level = 3\n"
    assert (b.work / "c_log.ini").is_symlink()


@pytest.mark.parametrize("kind", ["dangling_link", "link_to_a_fifo", "fifo"])
def test_settings_file_that_is_no_file(board, kind):
    """c_log.ini a link whose target is missing, or a FIFO, or a link to one:
    never followed to write defaults, never waited on, every log call
    reports it as unreadable, and the daemon goes on through its states
    without a log."""
    b = board(diskstats=(), log_level=None, faketime_rate=100)
    target = b.root / "target.ini"
    settings = b.work / "c_log.ini"
    if kind == "link_to_a_fifo":
        os.mkfifo(target)
        settings.symlink_to(target)
    elif kind == "dangling_link":
        settings.symlink_to(target)
    else:
        os.mkfifo(settings)
    b.start()
    # The shell makes the output file a moment after the daemon's pid is known.
    wait_until(lambda: (b.root / "stdout").exists() and b.stdout().count(COMPLAINT) >= 10,
               what="complaints of later passes")
    assert b.running()
    b.stop()
    assert b.stdout().replace(COMPLAINT, "") == "", "nothing else on standard output"
    assert b.stderr() == ""
    assert not (b.work / "logs").exists()
    if kind == "link_to_a_fifo":
        assert target.is_fifo()
    elif kind == "dangling_link":
        assert not target.exists(), "no defaults written through the link"
    else:
        assert settings.is_fifo()
    assert kind == "fifo" or settings.is_symlink()
