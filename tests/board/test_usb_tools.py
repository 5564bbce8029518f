"""The daemon in its real world: the armhf build installed on the emulated
board (cmake --install, or its Debian package), started by the installed
start script (contrib/busybox/usb_tools-start) in its working folder
/var/lib/usb_tools with the example c_log.ini (level 3), a USB stick announced by the kernel and mounted as vfat, task
packages made by the host's ut_pack, and the application suite played by
fake_app. Each test boots the board once; the scenario collects the daemon's
log over the serial console and powers the board off; the test then reads
the transcript and the stick image.

The daemon's sleeps are made 100 times shorter by libfaketime; its clock
stays the real one (see docs/board.md)."""

import hashlib
import re
import subprocess

import pytest

import board

pytestmark = pytest.mark.usefixtures("board_ready")

SPEED = 100
WORK = "/var/lib/usb_tools"
TEMP = "/home/velmarok/ut_temp/"
PID_FILE = "/home/velmarok/var/velmarok.pid"
# The receipt the daemon leaves on a stick it found a package on.
RECEIPT = "usb_tools_receipt.txt"

# The first pass of the memory watch when no main application has written
# its pid file: the end of the start-up phase.
WATCH_PASS = [
    ("W", f"failed to find file: {PID_FILE}"),
    ("W", "failed to get pid id of main from file"),
    ("E", "failed to check memory"),
]
SERVICE_PHASE = "failed to check memory"

# The script of the test packages: it leaves a trace of its run on the stick
# the daemon took the package from, and on its standard output.
TRACE_SCRIPT = """#!/bin/sh
stick=$(grep '^/dev/sd' /proc/mounts | cut -d' ' -f2 | head -n 1)
{
    echo "cwd: $(pwd)"
    echo "script: $0"
    echo "stick: $stick"
    echo "temp: $(ls /home/velmarok/ut_temp | tr '\\n' ' ')"
    echo "stick before: $(ls "$stick" | tr '\\n' ' ')"
} >/tmp/trace.txt
cp /tmp/trace.txt "$stick/trace.txt"
cat /tmp/trace.txt
"""
WORK_LIST = "<0001>{trace.sh}\n<0002>{remove_temp_folder}\n"
# Lines of the package reader, which the road's checks look at apart.
READER_FUNCTIONS = {"unpack_files", "extract_file", "calc_crc16_of_file"}

# Every scenario starts on a board whose product folder holds no more than
# the main application's folder for its pid file.
PRELUDE = ". /board/board.sh\nmkdir -p /home/velmarok/var\n"

# What the scenarios print after the daemon: the mount table, what is left of
# the product folder, and the daemon's own mount folder.
AFTER = """
board_section mounts cat /proc/mounts
board_section home ls -A /home/velmarok
board_section own ls -A /media/usb_tools_folder
"""


@pytest.fixture
def package(ut_pack, tmp_path):
    """package(scramble) -> a folder holding the task package command.f
    made by `ut_pack create` from the trace script and its work list, and the
    file keep.txt that the daemon must leave alone."""

    def make(scramble):
        source = tmp_path / "package"
        source.mkdir()
        (source / "trace.sh").write_text(TRACE_SCRIPT)
        (source / "work_list.f").write_text(WORK_LIST)
        stick = tmp_path / "stick_files"
        stick.mkdir()
        args = [ut_pack, "create", *(["--scramble"] if scramble else []), source,
                stick / "command.f"]
        result = subprocess.run(list(map(str, args)), capture_output=True, text=True)
        assert result.returncode == 0, result.stderr
        assert ("scrambled" in result.stdout) == scramble, result.stdout
        (stick / "keep.txt").write_text("the service engineer's file\n")
        return stick

    return make


@pytest.fixture
def run(tmp_path, armhf_build, armhf_program):
    """run(guest, **boot options) -> the transcript of one boot with the
    daemon installed, after its checks of a clean boot."""
    armhf_program("usb_tools")

    def boot(guest, **options):
        t = board.boot(
            tmp_path / "board",
            PRELUDE + guest,
            usb_tools=armhf_build,
            faketime=True,
            **options,
        )
        assert t.completed, t.describe()
        assert t.problems == [] and t.notes == [], t.describe()
        return t

    return boot


def log_of(t):
    """The daemon's log lines (the "log" section), after checking that it
    wrote one log file with the settings of contrib/c_log.ini."""
    log = t.section("log")
    assert len(log.files) == 1, log.text
    assert "common level=3, rotate=5, max_size=1048576\n" in log.text
    return board.log_lines(log.text)


def messages(lines):
    return [(line.level, line.message) for line in lines]


def road(lines):
    """The messages of the road of the package, without the package
    reader's lines and ending with the first pass of the memory watch."""
    found = [(l.level, l.message) for l in lines if l.function not in READER_FUNCTIONS]
    end = found.index(WATCH_PASS[-1]) + 1
    return found[:end]


def trace_of(text):
    return dict(line.split(": ", 1) for line in text.splitlines() if ": " in line)


def mounts_of(t, device):
    return [line.split() for line in t.section("mounts").lines if line.startswith(device + " ")]


def test_partitioned_stick_with_a_scrambled_package_is_mounted_taken_in_and_run_once(
    run, package, tmp_path
):
    stick = board.make_stick(tmp_path / "stick.img", "partitioned", package(scramble=True))
    t = run(f"board_usb_tools --speed {SPEED} 60 '{SERVICE_PHASE}'\n" + AFTER, stick=stick)

    assert t.section("exit").lines == ["running"]
    lines = log_of(t)
    assert road(lines) == [
        ("I", "USB_SEARCH PART"),
        ("I", "search_usb"),
        ("I", "path to dev file: /dev/sda1"),
        ("I", "usb detected"),
        ("I", "usb mounted"),
        ("I", "TASK_SEARCH PART"),
        ("I", "work list was created"),
        ("I", "TASK_EXECUTE_PART"),
        ("I", f"execute script: {TEMP}trace.sh"),
        ("I", "execute function: remove_temp_folder"),
        *WATCH_PASS,
    ]
    reader = [l.message for l in lines if l.function in READER_FUNCTIONS]
    assert reader[0] == "file is crypted, need to repare"
    assert "CRC of packed is OK" in reader
    extracted = [m.split("file_name = ")[1].split(";")[0] for m in reader if "EXTRACT_FILE" in m]
    assert extracted == [f"{TEMP}trace.sh", f"{TEMP}work_list.f"]

    # The daemon's own vfat mount, with its flags.
    (mount,) = mounts_of(t, "/dev/sda1")
    assert mount[1:3] == ["/media/usb_tools_folder", "vfat"]
    assert {"nosuid", "nodev", "noexec", "noatime"} <= set(mount[3].split(","))

    # The script ran from the daemon's working folder, out of the temporary
    # folder that held the unpacked files alone, after the package had left
    # the stick; remove_temp_folder then removed that folder.
    trace = trace_of(board.stick_read(stick, "/trace.txt", tmp_path).decode())
    # $0: the script by a path through the daemon's handle on the folder.
    assert re.fullmatch(r"/proc/\d+/fd/\d+/trace\.sh", trace.pop("script")), trace
    assert trace == {
        "cwd": WORK,
        "stick": "/media/usb_tools_folder",
        "temp": "trace.sh work_list.f ",
        "stick before": "keep.txt ",
    }
    output = trace_of(t.section("output").text)
    output.pop("script")
    assert output == trace
    assert t.section("home").lines == ["var"]

    clean, report = board.stick_fsck(stick)
    assert clean, report
    assert board.stick_names(stick) == ["keep.txt", "trace.txt", RECEIPT]
    assert board.stick_read(stick, "/keep.txt", tmp_path) == b"the service engineer's file\n"


@pytest.fixture
def daemon_deb(armhf_build, armhf_program, tmp_path):
    """The daemon's Debian package usb-tools (armhf), made by cpack from the
    armhf build."""
    armhf_program("usb_tools")
    out = tmp_path / "debs"
    result = subprocess.run(
        ["cpack", "-G", "DEB", "--config", str(armhf_build / "CPackConfig.cmake"), "-B", str(out)],
        cwd=tmp_path, capture_output=True, text=True,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    return out / "usb-tools_8_armhf.deb"


def test_late_stick_is_taken_in_by_the_packages_start_file(daemon_deb, package, tmp_path):
    # A field board: its init loads usb-storage with a 5 s delay and waits
    # for no stick; the start file of the usb-tools package, run at once,
    # waits for the stick's disk before the daemon's one search.
    stick = board.make_stick(tmp_path / "stick.img", "partitioned", package(scramble=False))
    early = "board_section early sh -c 'ls /sys/block; ls /dev | grep \"^sd\" || true'\n"
    t = board.boot(
        tmp_path / "board",
        PRELUDE + early + f"board_usb_tools --speed {SPEED} 60 '{SERVICE_PHASE}'\n" + AFTER,
        stick=stick,
        usb_tools_deb=daemon_deb,
        stick_delay=5,
        faketime=True,
    )
    assert t.completed, t.describe()
    assert t.problems == [] and t.notes == [], t.describe()
    assert not any(line.startswith("sd") for line in t.section("early").lines), t.describe()
    said = [l for l in t.section("output").lines if l.startswith("usb_tools-start: ")]
    assert len(said) == 2, t.describe()
    assert "a USB stick is arriving, waiting up to 15 s for its disk" in said[0]
    waited = re.fullmatch(r"usb_tools-start: the USB stick's disk is there after (\d+) s", said[1])
    assert waited and 1 <= int(waited[1]) < 15, said

    messages_ = [m for _, m in messages(log_of(t))]
    assert "usb detected" in messages_ and "work list was created" in messages_
    trace = trace_of(board.stick_read(stick, "/trace.txt", tmp_path).decode())
    assert trace["stick"] == "/media/usb_tools_folder"
    assert board.stick_names(stick) == ["keep.txt", "trace.txt", RECEIPT]


def test_unpartitioned_stick_is_mounted_as_the_whole_device(run, package, tmp_path):
    stick = board.make_stick(tmp_path / "stick.img", "whole", package(scramble=False))
    t = run(f"board_usb_tools --speed {SPEED} 60 '{SERVICE_PHASE}'\n" + AFTER, stick=stick)

    lines = log_of(t)
    found = road(lines)
    # The search looks for a first partition, finds no node and takes sda.
    assert found[:5] == [
        ("I", "USB_SEARCH PART"),
        ("I", "search_usb"),
        ("I", "path to dev file: /dev/sda1"),
        ("I", "usb detected"),
        ("I", "usb mounted"),
    ]
    assert found[5:] == [
        ("I", "TASK_SEARCH PART"),
        ("I", "work list was created"),
        ("I", "TASK_EXECUTE_PART"),
        ("I", f"execute script: {TEMP}trace.sh"),
        ("I", "execute function: remove_temp_folder"),
        *WATCH_PASS,
    ]
    assert "file is crypted, need to repare" not in [l.message for l in lines]
    (mount,) = mounts_of(t, "/dev/sda")
    assert mount[1:3] == ["/media/usb_tools_folder", "vfat"]
    assert mounts_of(t, "/dev/sda1") == []

    trace = trace_of(board.stick_read(stick, "/trace.txt", tmp_path).decode())
    assert (trace["stick"], trace["stick before"]) == ("/media/usb_tools_folder", "keep.txt ")
    clean, report = board.stick_fsck(stick)
    assert clean, report
    assert board.stick_names(stick) == ["keep.txt", "trace.txt", RECEIPT]


def test_stick_the_system_mounted_before_is_used_where_it_is(run, package, tmp_path):
    stick = board.make_stick(tmp_path / "stick.img", "partitioned", package(scramble=True))
    t = run(
        "mkdir -p /media/stick\n"
        "mount -t vfat /dev/sda1 /media/stick || board_note 'the system mount failed'\n"
        f"board_usb_tools --speed {SPEED} 60 '{SERVICE_PHASE}'\n" + AFTER,
        stick=stick,
    )

    found = road(log_of(t))
    assert found == [
        ("I", "USB_SEARCH PART"),
        ("I", "search_usb"),
        ("I", "path to dev file: /dev/sda1"),
        ("I", "usb detected"),
        ("I", "get path to mounted sdx"),
        ("I", "TASK_SEARCH PART"),
        ("I", "work list was created"),
        ("I", "TASK_EXECUTE_PART"),
        ("I", f"execute script: {TEMP}trace.sh"),
        ("I", "execute function: remove_temp_folder"),
        *WATCH_PASS,
    ]
    # No second mount, and the daemon's own folder was never made.
    assert [m[1] for m in mounts_of(t, "/dev/sda1")] == ["/media/stick"]
    assert t.section("own").status != 0

    trace = trace_of(board.stick_read(stick, "/trace.txt", tmp_path).decode())
    assert (trace["stick"], trace["stick before"]) == ("/media/stick", "keep.txt ")
    assert board.stick_names(stick) == ["keep.txt", "trace.txt", RECEIPT]
    clean, report = board.stick_fsck(stick)
    assert clean, report


# A script that leaves its trace on the stick and then waits until the
# scenario lets it end.
WAITING_SCRIPT = """#!/bin/sh
stick=$(grep '^/dev/sd' /proc/mounts | cut -d' ' -f2 | head -n 1)
echo "written while the work list ran" >"$stick/trace.txt"
: >/tmp/script_waits
n=0
while [ ! -e /tmp/script_may_end ] && [ "$n" -lt 300 ]; do
    sleep 0.1
    n=$((n + 1))
done
"""

PULL_WHILE_THE_SCRIPT_RUNS = f"""
board_usb_tools_start --speed {SPEED}
board_wait_for 300 test -e /tmp/script_waits || board_note "the script did not start"
board_collect "$BOARD_USB_TOOLS_DIR" "$BOARD_PID"
board_cut_power
"""

PULL_AFTER_THE_WORK_LIST = f"""
board_usb_tools_start --speed {SPEED}
board_wait_for 300 test -e /tmp/script_waits || board_note "the script did not start"
: >/tmp/script_may_end
board_wait_text 60 '{SERVICE_PHASE}' "$BOARD_USB_TOOLS_LOGS" || board_note "no service phase"
board_collect "$BOARD_USB_TOOLS_DIR" "$BOARD_PID"
board_cut_power
"""


@pytest.mark.parametrize(
    "guest, trace_kept",
    [
        # The package is gone for good as soon as its work list runs (what
        # the running script wrote may be lost).
        (PULL_WHILE_THE_SCRIPT_RUNS, False),
        # What the work list wrote is there once the service phase began.
        (PULL_AFTER_THE_WORK_LIST, True),
    ],
    ids=["while-the-script-runs", "after-the-work-list"],
)
def test_stick_pulled_without_unmount_keeps_what_the_daemon_did(
    run, ut_pack, tmp_path, guest, trace_kept
):
    source = tmp_path / "package"
    source.mkdir()
    (source / "trace.sh").write_text(WAITING_SCRIPT)
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
    stick = board.make_stick(tmp_path / "stick.img", "partitioned", files)
    t = run(guest, stick=stick)

    assert ("I", "work list was created") in messages(log_of(t))
    names = set(board.stick_names(stick))
    # command.f is not there to be taken in a second time at the next start.
    assert names - {"trace.txt", RECEIPT} == {"keep.txt"}
    if trace_kept:
        assert {"trace.txt", RECEIPT} <= names
        assert board.stick_read(stick, "/trace.txt", tmp_path) == (
            b"written while the work list ran\n"
        )


def test_without_a_stick_the_daemon_goes_to_the_service_phase(run):
    # The init of a field board, which waits for no stick: nor does the
    # start file, with no USB storage there.
    t = run(f"board_usb_tools --speed {SPEED} 60 '{SERVICE_PHASE}'\n" + AFTER, stick_delay=5)

    assert t.section("exit").lines == ["running"]
    assert not any("usb_tools-start" in line for line in t.section("output").lines), t.describe()
    found = messages(log_of(t))
    # The search gives up, state 26 reads no settings file and waits, and
    # the memory watch's first pass finds no pid file; every later pass
    # (the loop goes on until the board stops it) finds the same.
    assert found[:2] == [("I", "USB_SEARCH PART"), ("I", "search_usb")]
    rest = found[2:]
    assert len(rest) >= 3 and len(rest) % 3 == 0
    assert rest == WATCH_PASS * (len(rest) // 3)
    assert mounts_of(t, "/dev/sda") == mounts_of(t, "/dev/sda1") == []
    assert t.section("own").status != 0
    assert t.section("home").lines == ["var"]


def test_ext2_stick_is_refused_and_the_daemon_ends_with_status_1(run, tmp_path):
    files = tmp_path / "files"
    files.mkdir()
    (files / "command.f").write_bytes(b"a package on ext2\n")
    stick = board.make_stick(tmp_path / "stick.img", "ext2", files)
    before = hashlib.sha256(stick.read_bytes()).hexdigest()
    t = run(f"board_usb_tools --speed {SPEED} 60 'error in search usb part'\n" + AFTER, stick=stick)

    assert t.section("exit").lines == ["1"]
    assert messages(log_of(t)) == [
        ("I", "USB_SEARCH PART"),
        ("I", "search_usb"),
        ("I", "path to dev file: /dev/sda1"),
        ("I", "usb detected"),
        ("E", "Mount error: Invalid argument"),
        ("E", "full_dev_name = /dev/sda1; dev_path = /media/usb_tools_folder/"),
        ("E", "failed to mount sda1 to /media/usb_tools_folder/"),
        ("E", "error in search usb part"),
    ]
    # The second error line carries its own line end: an empty line follows.
    log = t.section("log").text
    assert "full_dev_name = /dev/sda1; dev_path = /media/usb_tools_folder/\n\n" in log
    assert mounts_of(t, "/dev/sda1") == []
    # The mount folder was prepared, empty; the kernel says why it refused.
    assert t.section("own").status == 0 and t.section("own").lines == []
    assert "FAT-fs (sda1)" in t.section("kernel").text
    assert hashlib.sha256(stick.read_bytes()).hexdigest() == before


# The application suite: main holds 614400 kB, the most the watch tolerates,
# until the scenario makes it grow by one page; journaler and archiver run
# beside it. main's pid file is made old with the clock, as the watch kills
# only a main that has run for a minute.
MEMORY_SCENARIO = f"""
mkdir -p /var/suite
main --vmrss-kb 614400 --grow-to-kb 614404 >/var/suite/main.out 2>&1 &
MAIN=$!
journaler >/var/suite/journaler.out 2>&1 &
JOURNALER=$!
archiver >/var/suite/archiver.out 2>&1 &
ARCHIVER=$!
for app in main journaler archiver; do
    board_wait_text 120 ready "/var/suite/$app.out" || board_note "$app is not ready"
done
board_clock_forward 120
board_usb_tools_start --speed {SPEED}
DAEMON=$BOARD_PID
# The heartbeat after 60 passes shows what the checks found; nothing killed.
board_wait_text 60 'STATE_CHECK_MEM: [614400]' "$BOARD_USB_TOOLS_LOGS" || board_note "no heartbeat"
board_section before ps -o pid,args
# main grows by one page; the watch may kill it before it says so.
kill -USR1 "$MAIN"
board_wait_text 60 'application [archiver] was killed' "$BOARD_USB_TOOLS_LOGS" ||
    board_note "no kill"
suite_status() {{
    for pid in $MAIN $JOURNALER $ARCHIVER; do
        board_wait_exit "$pid" 20 || echo "$pid still runs"
        echo "$pid $BOARD_STATUS"
    done
}}
board_section suite suite_status
board_section after ps -o pid,args
board_section main_out cat /var/suite/main.out
board_collect "$BOARD_USB_TOOLS_DIR" "$DAEMON"
"""


def test_memory_watch_kills_the_suite_when_main_grows_past_the_limit(run, armhf_program):
    t = run(MEMORY_SCENARIO, suite=armhf_program("tests/fake_app"), memory=1024, timeout=240)

    main_pid = t.section("main_out").lines[0].split()[1]
    grown = [f"grown {main_pid} 614404"]
    assert t.section("main_out").lines in ([f"ready {main_pid} 614400"],
                                           [f"ready {main_pid} 614400"] + grown)
    before = t.section("before").text
    for app in ("main", "journaler", "archiver"):
        assert f" {app}" in before, before

    found = messages(log_of(t))
    assert found[:2] == [("I", "USB_SEARCH PART"), ("I", "search_usb")]
    heartbeat = found.index(("I", "STATE_CHECK_MEM: [614400]"))
    # The check that finds main past the limit: one page over it, or more
    # when the emulated board had touched another of main's pages by then.
    over = [i for i, (level, text) in enumerate(found)
            if level == "E" and re.fullmatch(
                r"used memory = (\d+), can be overflow - need restart main", text)]
    assert over, found
    used = over[0]
    assert int(found[used][1].split()[3].rstrip(",")) > 614400, found[used]
    assert heartbeat < used
    # Until main grew, the watch found it within the limit: no line at all.
    assert found[2:heartbeat] == []
    assert found[used + 1 : used + 4] == [
        ("W", "application [main] was killed"),
        ("W", "application [journaler] was killed"),
        ("W", "application [archiver] was killed"),
    ]
    assert [m for m in found if m[1].startswith("used memory")] == [found[used]]

    # kill -9 ended all three (status 128 + 9), and none of them is left.
    statuses = [line.split()[1] for line in t.section("suite").lines]
    assert statuses == ["137", "137", "137"], t.section("suite").text
    after = t.section("after").text
    for app in ("main", "journaler", "archiver"):
        assert f" {app}" not in after, after


def test_example_service_report_package_copies_the_boards_files_to_the_stick(
    run, ut_pack, tmp_path
):
    stick_files = tmp_path / "stick_files"
    stick_files.mkdir()
    made = subprocess.run(
        [str(ut_pack), "create", "--scramble", str(board.ROOT / "examples" / "service_report"),
         str(stick_files / "command.f")],
        capture_output=True,
        text=True,
    )
    assert made.returncode == 0, made.stderr
    stick = board.make_stick(tmp_path / "stick.img", "partitioned", stick_files)
    t = run(
        "mkdir -p /home/velmarok/var/journal\n"
        "echo 'channel 1: 4096 records' >/home/velmarok/var/journal/day1.txt\n"
        "echo 0 >/home/settings_main_ut\n"
        f"board_usb_tools --speed {SPEED} 60 '{SERVICE_PHASE}'\n" + AFTER,
        stick=stick,
    )
    assert road(log_of(t))[6:10] == [
        ("I", "work list was created"),
        ("I", "TASK_EXECUTE_PART"),
        ("I", f"execute script: {TEMP}service_report.sh"),
        ("I", "execute function: remove_temp_folder"),
    ]
    (report,) = board.stick_names(stick, "/service_report")
    assert report.startswith("board-") and report.endswith("/")
    folder = f"/service_report/{report}"
    assert t.section("output").lines[-1].startswith("service_report: ")
    assert t.section("output").lines[-1].endswith(f" written to /media/usb_tools_folder{folder[:-1]}")

    summary = board.stick_read(stick, folder + "summary.txt", tmp_path).decode()
    for heading in ("== uptime", "== disk usage (kB)", "== memory (kB)", "== processes"):
        assert heading in summary, summary
    assert "/dev/sda1" in summary  # df lists the stick
    assert board.stick_read(stick, folder + "settings_main_ut", tmp_path) == b"0\n"
    assert board.stick_read(stick, folder + "velmarok/var/journal/day1.txt", tmp_path) == (
        b"channel 1: 4096 records\n"
    )
    ini = board.stick_read(stick, folder + "usb_tools/c_log.ini", tmp_path)
    assert ini == (board.ROOT / "contrib" / "c_log.ini").read_bytes()
    (log_name,) = board.stick_names(stick, folder + "usb_tools/logs")
    copied = board.stick_read(stick, f"{folder}usb_tools/logs/{log_name}", tmp_path).decode()
    assert "work list was created" in copied
    assert board.stick_names(stick) == ["service_report/", RECEIPT]
    clean, fsck = board.stick_fsck(stick)
    assert clean, fsck
