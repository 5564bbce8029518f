"""The board's own helpers for the scenarios (scripts/board/guest/board.sh):
a service runs in its folder until its log shows a text or it ends, and its
sections come back in the transcript in order. The daemon's scenarios are in
test_usb_tools.py."""

import pytest

import board

pytestmark = pytest.mark.usefixtures("board_ready")


def boot(tmp_path, guest, **options):
    transcript = board.boot(tmp_path / "board", ". /board/board.sh\n" + guest, **options)
    assert transcript.completed, transcript.describe()
    assert transcript.problems == [], transcript.describe()
    return transcript


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
