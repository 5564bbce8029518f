"""The service phase of the real daemon, as a service engineer meets it: the
memory watch of the main application with the kill of the application suite,
the service settings file, the pid file, the heartbeat, and -about.

Every board has its own pid namespace: the application suite is played by
fake_app, started beside the daemon as "main", "journaler" and "archiver",
and the daemon can find and kill no other process. libfaketime runs the
daemon's clock fast; the daemon's own log times are that clock. File times
are the real ones (NO_FAKE_STAT), so a pid file written just before the
daemon starts is as old, to the daemon, as the daemon's clock has run since.
"""

import os
import re
import time

import pytest

import harness

from harness import LOOP, MMC, FileWatch, own_pids_usable

PID_FILE = "/home/velmarok/var/velmarok.pid"
SETTINGS = "settings_main_ut"

LIMIT_KB = 614400
# VmRSS moves in pages of 4 kB: the nearest values on both sides of 102399 kB
# and above the limit.
BELOW_LARGE_KB = 102396
LARGE_KB = 102400
ABOVE_LIMIT_KB = 614404

HEARTBEAT = "STATE_CHECK_MEM: ["
USED_MEMORY = "used memory = {}, can be overflow - need restart main"
NO_PID = "failed to get pid id of main from file"
CHECK_FAILED = "failed to check memory"
NO_MEMORY = "failed to get rss_memory from: /proc/{}/status"
PID_FILE_MISSING = "failed to find file: " + PID_FILE

# No stick: 50 search attempts 50 ms apart, the pass's 5 s, then state 26
# (60 s) and 5 s more: the first pass of the memory watch comes 72.5 s after
# the search began.
FIRST_WATCH_PASS = 72.5
# A "0" in the settings file starts the watch 65 to 70 s after it was written
# (read on the next pass, 60 s, the pass's 5 s). The daemon's clock is
# estimated from its launch (Board.fake_time), ahead of the real one by the
# daemon's start-up time times the rate; late wake-ups lengthen the gap, and
# on a loaded machine the estimate itself may be off by a few of the daemon's
# seconds either way. Without the 60 s wait the gap would be 5 s at most.
RELEASE_LOW = 55
RELEASE_HIGH = 78


@pytest.fixture
def fake_app(build_dir):
    path = build_dir / "tests" / "fake_app"
    assert path.exists(), f"{path} is not built"
    return path


@pytest.fixture
def service(board):
    """service(**board options) -> a board without a stick, with a private
    pid namespace and the real file times."""
    why = own_pids_usable()
    if why:
        pytest.skip(why)

    def make(env=None, **kwargs):
        kwargs.setdefault("diskstats", (MMC, LOOP))
        return board(own_pids=True, env=dict(env or {}, NO_FAKE_STAT="1"), **kwargs)
    return make


class App:
    """A program of the application suite running beside the daemon."""

    def __init__(self, role, helper, pid, vmrss):
        self.role = role
        self.helper = helper
        self.pid = pid
        self.vmrss = vmrss


def start_app(b, fake_app, role, *options, argv0=None):
    """A program of the suite, started under its role's name or argv0."""
    helper = b.spawn(fake_app, *[str(o) for o in options], argv0=argv0 or role)
    line = helper.line()
    m = re.fullmatch(r"ready (\d+) (\d+)", line)
    assert m, f"{role}: {line}"
    return App(role, helper, int(m[1]), int(m[2]))


def start_main(b, fake_app, kb, argv0="main"):
    """main holding exactly kb of resident memory, its pid file written."""
    main = start_app(b, fake_app, "main", "--vmrss-kb", kb, argv0=argv0)
    assert main.vmrss == kb
    # As the daemon will read it.
    assert vmrss_of(b, main.pid) == kb
    assert (b.home / "velmarok" / "var" / "velmarok.pid").read_text() == f"{main.pid}\n"
    return main


def vmrss_of(b, pid):
    status = b.ns_path(f"/proc/{pid}/status").read_text()
    return int(re.search(r"^VmRSS:\s+(\d+) kB$", status, re.M)[1])


def pid_file_ctime(b):
    return int(os.stat(b.home / "velmarok" / "var" / "velmarok.pid").st_ctime)


def not_main(pid, what):
    return f"pid {pid} from file is not main: {what}"


def runs(b, pid):
    """What the daemon says runs under a pid: its command line, arguments
    joined by blanks."""
    cmdline = b.ns_path(f"/proc/{pid}/cmdline").read_bytes()
    return "runs [" + cmdline.rstrip(b"\0").replace(b"\0", b" ").decode() + "]"


def after(log, message):
    """The log lines after the first one whose message starts with `message`."""
    at = next(i for i, l in enumerate(log) if l.message.startswith(message))
    return log[at + 1:]


def gaps(lines):
    return [round(b.time - a.time, 1) for a, b in zip(lines, lines[1:])]


# Under valgrind the daemon's clock starts well after its launch, so the
# test's estimate of that clock (Board.fake_time) is off by that delay times
# the rate: the tests that time the daemon against it run without valgrind.
needs_clock_estimate = pytest.mark.skipif(
    harness.VALGRIND, reason="under valgrind the daemon's clock starts late")


def wait_fake(b, until, timeout=60):
    """Waits until the daemon's clock has reached `until` (a log time)."""
    deadline = time.monotonic() + timeout
    while b.fake_time() < until:
        assert b.running(), "the daemon ended"
        assert time.monotonic() < deadline, "the daemon's clock does not run"
        time.sleep(0.01)


def start_of_search(log):
    return next(l for l in log if l.message == "search_usb")


# -- the memory limit and the kill of the suite ---------------------------------

@pytest.mark.parametrize("kb,companions", [
    (LIMIT_KB, ("journaler", "archiver")),
    (ABOVE_LIMIT_KB, ("journaler",)),
    (ABOVE_LIMIT_KB, ("archiver",)),
], ids=["at_limit_no_kill", "above_limit_journaler", "above_limit_archiver"])
def test_memory_limit_and_the_kill_of_the_suite(service, fake_app, kb, companions):
    # The daemon's clock runs fast: a late wake-up of the test machine
    # lengthens the gaps in its log by that delay times the rate, so gaps
    # are allowed more above than below.
    b = service(faketime_rate=200 if kb <= LIMIT_KB else 100).open()
    main = start_main(b, fake_app, kb)
    others = [start_app(b, fake_app, role) for role in companions]
    b.start()

    if kb <= LIMIT_KB:
        # The heartbeat after 60 passes shows what the checks read.
        beat = b.wait_for(HEARTBEAT)
        assert beat.message == f"STATE_CHECK_MEM: [{kb}]"
        assert all(app.helper.running() for app in [main] + others)
        assert b.messages("E") == [] and b.messages("W") == []
        return

    resumed = b.wait_for(NO_MEMORY.format(main.pid))
    assert main.helper.returncode() == -9
    for app in others:
        assert app.helper.returncode() == -9, app.role
    log = b.log()
    watch = after(log, "search_usb")
    assert [(l.level, l.function, l.message) for l in watch] == [
        ("E", "F_memory_chack", USED_MEMORY.format(kb)),
        ("W", "restart_program", "application [main] was killed"),
        ("W", "restart_program", f"application [{companions[0]}] was killed"),
        # State 26, its 60 s, and the watch again: main is gone, its pid file
        # names no process, whose memory cannot be read.
        ("E", "F_memory_chack", NO_MEMORY.format(main.pid)),
    ]
    # The kill pass's 5 s, 60 s in state 26, 5 s: the next pass checks at once.
    assert 69.9 <= resumed.time - watch[2].time <= 78
    assert b.running()


def test_main_started_by_a_path_is_watched(service, fake_app):
    # The suite started as /home/velmarok/main: its pid file is main's.
    b = service(faketime_rate=100).open()
    main = start_main(b, fake_app, ABOVE_LIMIT_KB, argv0="/home/velmarok/main")
    journaler = start_app(b, fake_app, "journaler")
    b.start()
    b.wait_for("application [journaler] was killed")
    assert main.helper.returncode() == -9 and journaler.helper.returncode() == -9
    assert [(l.level, l.function, l.message) for l in after(b.log(), "search_usb")] == [
        ("E", "F_memory_chack", USED_MEMORY.format(ABOVE_LIMIT_KB)),
        ("W", "restart_program", "application [main] was killed"),
        ("W", "restart_program", "application [journaler] was killed"),
    ]


FUTURE = re.compile(r"pid file time is (\d+) sec in the future, the kill is not held back")


def test_pid_file_in_the_future_does_not_hold_the_kill_back(service, fake_app):
    # The board's clock was set back an hour after main started: to the
    # daemon the pid file was written an hour from now.
    b = service(faketime_rate=100, faketime_offset=-3600).open()
    main = start_main(b, fake_app, ABOVE_LIMIT_KB)
    journaler = start_app(b, fake_app, "journaler")
    written = pid_file_ctime(b)
    b.start()
    b.wait_for("application [journaler] was killed")
    assert main.helper.returncode() == -9 and journaler.helper.returncode() == -9
    watch = after(b.log(), "search_usb")
    assert [(l.level, l.function, FUTURE.sub("FUTURE", l.message)) for l in watch] == [
        ("E", "F_memory_chack", USED_MEMORY.format(ABOVE_LIMIT_KB)),
        ("W", "restart_program", "FUTURE"),
        ("W", "restart_program", "application [main] was killed"),
        ("W", "restart_program", "application [journaler] was killed"),
    ]
    # As far ahead as the daemon's clock showed.
    ahead = int(FUTURE.fullmatch(watch[1].message)[1])
    assert abs(ahead - (written - watch[1].time)) <= 1, (ahead, written - watch[1].time)
    assert 3600 - 200 < ahead < 3600


# -- the pacing of the checks and the heartbeat ---------------------------------

def expected_checks(every, beats):
    """Checks (C) and heartbeats (H) in the order the passes make them: a
    check on the first pass and then every `every` passes, a heartbeat on
    every 60th pass before its check."""
    out = ""
    passes = 0
    while True:
        passes += 1
        if passes % 60 == 0:
            out += "H"
            if out.count("H") == beats:
                return out
        if (passes - 1) % every == 0:
            out += "C"


@pytest.mark.parametrize("kb,every", [(BELOW_LARGE_KB, 11), (LARGE_KB, 3)],
                         ids=["below_102400_every_11", "at_102400_every_3"])
def test_pacing_of_the_checks_and_the_heartbeat(service, fake_app, kb, every):
    b = service(faketime_rate=200).open()
    main = start_main(b, fake_app, kb)
    # Each check opens main's status file once; the daemon's log lines are
    # the heartbeats. One queue keeps their order. (The closes keep two
    # opens from being merged into one event.)
    events = FileWatch()
    status = b.ns_path(f"/proc/{main.pid}/status")
    events.watch(status, FileWatch.OPEN | FileWatch.CLOSE_NOWRITE)
    b.start()
    logs = b.work / "logs"
    deadline = time.monotonic() + 10
    while not logs.is_dir():
        assert time.monotonic() < deadline, "no log folder"
        time.sleep(0.005)
    events.watch(logs, FileWatch.CLOSE_WRITE)
    b.wait_for(HEARTBEAT, count=2, timeout=60)
    b.stop()
    seen = "".join("H" if path != str(status) else "C" if mask & FileWatch.OPEN else ""
                   for path, mask, _ in events.events())
    events.close()

    # From the first check to the second heartbeat; the first pass of the
    # watch checks at once.
    seen = re.sub("H+", "H", seen[seen.index("C"):])
    seen = seen[:[m.end() for m in re.finditer("H", seen)][1]]
    assert seen == expected_checks(every, 2)
    beats = [l for l in b.log() if l.message.startswith(HEARTBEAT)]
    assert [l.message for l in beats[:2]] == [f"STATE_CHECK_MEM: [{kb}]"] * 2
    # 60 passes of 5 s, and what the checks take.
    assert 299.9 <= beats[1].time - beats[0].time <= 360
    assert b.messages("E") == [] and b.messages("W") == []


# -- the age guard, and a hold written while the watch runs ---------------------

@needs_clock_estimate
def test_young_main_is_spared_until_60_s_and_a_hold_waits_for_the_kill(service, fake_app):
    # The daemon's clock starts 48 s behind the real one: when its watch
    # begins, the pid file written just before it is about 25 s old, and the
    # passes come at about 25, 35, 45, 55 and 65 s, away from the 60 s.
    b = service(faketime_rate=100, faketime_offset=-48).open()
    main = start_main(b, fake_app, ABOVE_LIMIT_KB)
    journaler = start_app(b, fake_app, "journaler")
    written = pid_file_ctime(b)
    b.start()
    first = b.wait_for(USED_MEMORY.format(ABOVE_LIMIT_KB))
    # The watch runs: a hold written now waits for the next kill.
    (b.home / SETTINGS).write_text("1\n")
    hold_written = b.fake_time()
    killed = b.wait_for("application [journaler] was killed", timeout=60)
    assert main.helper.returncode() == -9 and journaler.helper.returncode() == -9

    watch = after(b.log(), "search_usb")
    used = [l for l in watch if l.message == USED_MEMORY.format(ABOVE_LIMIT_KB)]
    held, kill = used[:-1], used[-1]
    assert [l.message for l in watch] == [l.message for l in used] + [
        "application [main] was killed", "application [journaler] was killed"]
    assert len(held) >= 2, "the test needs passes with a young pid file"
    # Held while the pid file is younger than 60 s by the daemon's clock; each
    # held pass checks again and pauses 5 s besides the pass's 5 s.
    ages = [round(l.time - written, 1) for l in used]
    assert all(int(l.time) - written < 60 for l in held), ages
    assert kill.time - written >= 59, ages
    assert all(9.9 <= g <= 14 for g in gaps(used)), gaps(used)
    # The hold came before passes that still checked.
    assert first.time == used[0].time
    assert any(l.time > hold_written for l in used)

    # From the kill on, the loop stays in state 26: the watch would have
    # checked again 70 s later.
    wait_fake(b, killed.time + 100)
    assert b.log()[-1].time == killed.time
    (b.home / SETTINGS).write_text("0\n")
    released = b.fake_time()
    # main is gone, its pid file names no process.
    resumed = b.wait_for(NO_MEMORY.format(main.pid))
    # Read on the next pass (within 5 s), then 60 s, then the pass's 5 s.
    assert RELEASE_LOW <= resumed.time - released <= RELEASE_HIGH, resumed.time - released


# -- the service settings file ----------------------------------------------

@pytest.mark.parametrize("content", [None, "", "0\n", "-1\n", "abc\n", "\t-1 x"],
                         ids=["missing", "empty", "zero", "minus_one", "abc", "minus_one_text"])
def test_settings_that_let_the_watch_run(service, content):
    b = service(faketime_rate=100)
    if content is not None:
        (b.home / SETTINGS).write_text(content)
    log = b.run(until=CHECK_FAILED)
    # No pid file: the first pass of the watch says so.
    watch = after(log, "search_usb")
    assert [l.message for l in watch[:3]] == [PID_FILE_MISSING, NO_PID, CHECK_FAILED]
    assert FIRST_WATCH_PASS - 0.1 <= watch[0].time - start_of_search(log).time <= FIRST_WATCH_PASS + 12


@needs_clock_estimate
@pytest.mark.parametrize("content", ["1\n", "  7 any text", "-2\n"],
                         ids=["one", "seven_with_text", "minus_two"])
def test_settings_that_hold_the_watch_until_0(service, content):
    b = service(faketime_rate=100)
    (b.home / SETTINGS).write_text(content)
    b.start()
    search = b.wait_for("search_usb")
    # Twice as long as the watch would take to start.
    wait_fake(b, search.time + 2 * FIRST_WATCH_PASS)
    assert after(b.log(), "search_usb") == []
    (b.home / SETTINGS).write_text("0\n")
    released = b.fake_time()
    first = b.wait_for(CHECK_FAILED)
    # The file is read on every pass: the next one finds 0, waits 60 s, and
    # the pass after it checks.
    assert RELEASE_LOW <= first.time - released <= RELEASE_HIGH, first.time - released
    assert [l.message for l in after(b.log(), "search_usb")][:3] == [
        PID_FILE_MISSING, NO_PID, CHECK_FAILED]


# -- the pid file -------------------------------------------------------------

@pytest.mark.parametrize("content,lines", [
    (None, [PID_FILE_MISSING, NO_PID, CHECK_FAILED]),
    ("", [NO_PID, CHECK_FAILED]),
    ("  \n", [NO_PID, CHECK_FAILED]),
], ids=["missing", "empty", "blank"])
def test_unreadable_pid_file_fails_every_pass(service, content, lines):
    b = service(faketime_rate=200)
    if content is not None:
        (b.home / "velmarok" / "var" / "velmarok.pid").write_text(content)
    b.start()
    beat = b.wait_for(HEARTBEAT, timeout=60)
    # The 60th pass checks after its heartbeat.
    b.wait_for(CHECK_FAILED, count=60)
    b.stop()
    watch = after(b.log(), "search_usb")
    at = watch.index(next(l for l in watch if l.message.startswith(HEARTBEAT)))
    # Nothing was read: the counters stay, every pass checks, and the
    # heartbeat of the 60th pass shows 0.
    assert beat.message == "STATE_CHECK_MEM: [0]"
    assert [l.message for l in watch[:at]] == lines * 59
    assert [l.message for l in watch[at + 1:at + 1 + len(lines)]] == lines
    levels = {PID_FILE_MISSING: "W", NO_PID: "W", CHECK_FAILED: "E"}
    assert all(l.level == levels[l.message] for l in watch[:at])
    # 59 passes of at least 5 s each.
    assert watch[at].time - watch[0].time >= 59 * 5


def paced_until_heartbeat(b, lines):
    """The watch's lines up to the heartbeat of its 60th pass: `lines` at the
    pace of a check within the limit, on passes 1, 12, 23, 34, 45 and 56,
    and the memory counted as 0."""
    b.wait_for(HEARTBEAT, timeout=60)
    watch = after(b.log(), "search_usb")
    at = watch.index(next(l for l in watch if l.message.startswith(HEARTBEAT)))
    assert [(l.level, l.function, l.message) for l in watch[:at]] == lines * 6
    assert watch[at].message == "STATE_CHECK_MEM: [0]"
    assert not any("was killed" in l.message for l in b.log())


def still_running(apps):
    """True when every app still runs; else, for the report, how they ended."""
    ended = [(app.role, app.helper.popen.poll()) for app in apps]
    return all(code is None for _, code in ended) or ended


def not_main_lines(pid, what):
    return [("W", "F_memory_chack", not_main(pid, what)),
            ("W", "F_memory_chack", NO_PID),
            ("E", "main", CHECK_FAILED)]


@pytest.mark.parametrize("content,pid", [
    ("abc\n", 0), ("0\n", 0), ("-1\n", -1), ("99999\n", 99999), ("1\n", 1),
], ids=["garbage", "zero", "minus_one", "no_such_process", "first_process"])
def test_pid_file_naming_no_process_kills_nothing(service, fake_app, content, pid):
    b = service(faketime_rate=200).open()
    # A suite that an above-limit main would have killed.
    suite = [start_app(b, fake_app, "main", "--vmrss-kb", ABOVE_LIMIT_KB,
                       "--pid-file", "/home/velmarok/var/main.pid"),
             start_app(b, fake_app, "journaler"), start_app(b, fake_app, "archiver")]
    assert suite[0].vmrss == ABOVE_LIMIT_KB
    (b.home / "velmarok" / "var" / "velmarok.pid").write_text(content)
    b.start()
    # A garbage pid file leaves the pid as it was (0 at start). No pid here
    # is main's. A pid of no process is main's that ended: its memory cannot
    # be read and counts as 0. Pid 1 is the board's first process (the
    # namespace's shell): refused. Either at the pace of a check, never on
    # every pass.
    if pid == 1:
        lines = not_main_lines(pid, runs(b, pid))
    else:
        lines = [("E", "F_memory_chack", NO_MEMORY.format(pid))]
    paced_until_heartbeat(b, lines)
    assert still_running(suite)
    b.stop()


def test_stale_pid_file_of_another_process_kills_nothing(service, fake_app):
    # main ended and left its pid file; the pid now belongs to another
    # program, far over the limit, whose command line would forge a line.
    b = service(faketime_rate=200).open()
    worker = start_app(b, fake_app, "journaler", "--as", "journaler",
                       "--vmrss-kb", ABOVE_LIMIT_KB, argv0="db-worker\n[W] forged")
    assert worker.vmrss == ABOVE_LIMIT_KB
    companions = [start_app(b, fake_app, "journaler"), start_app(b, fake_app, "archiver")]
    (b.home / "velmarok" / "var" / "velmarok.pid").write_text(f"{worker.pid}\n")
    b.start()
    what = (f"runs [db-worker\\x0a[W] forged --as journaler --vmrss-kb {ABOVE_LIMIT_KB}]")
    assert runs(b, worker.pid).replace("\n", "\\x0a") == what
    paced_until_heartbeat(b, not_main_lines(worker.pid, what))
    assert still_running([worker] + companions)
    # The command line's line end is shown, never written.
    assert "\n[W] forged" not in b.log_text()
    b.stop()


# -- -about -------------------------------------------------------------------

def about_lines(created, age):
    return f"CURRENT VERSION: 8\nvelmarok pid was created in {created}\nmain was started: {age} sec\n"


@pytest.mark.parametrize("args,offset", [
    (("-about",), 90), (("-about", "more", "-About"), 90), (("-about",), -90),
], ids=["alone", "with_further_arguments", "pid_file_in_the_future"])
def test_about_tells_the_age_of_main(service, args, offset):
    # The daemon's clock 90 s ahead of the pid file written just before it
    # (or behind it, when the clock was set back: the age is told as it is).
    # A slow start (valgrind, a loaded machine) may see a later second than
    # the file's: the age then grows by exactly the seconds that passed.
    b = service(faketime_rate=None, faketime_offset=offset).open()
    (b.home / "velmarok" / "var" / "velmarok.pid").write_text("4321\n")
    created = pid_file_ctime(b)
    b.start(*args)
    status = b.wait_exit()
    after = int(time.time())
    assert status == 0
    out = b.stdout().splitlines(keepends=True)
    assert "".join(out[:2]) == "".join(about_lines(created, 0).splitlines(keepends=True)[:2])
    age = re.fullmatch(r"main was started: (-?\d+) sec\n", out[2])
    assert len(out) == 3 and age
    assert offset <= int(age[1]) <= offset + (after - created)
    assert b.stderr() == ""
    assert b.log() == [], "no search, nothing logged"


def test_about_without_pid_file(service):
    b = service(faketime_rate=None)
    before = int(time.time())
    b.start("-about")
    assert b.wait_exit() == 0
    now = int(time.time())
    out = b.stdout().splitlines()
    assert out[:2] == ["CURRENT VERSION: 8", "velmarok pid was created in 0"]
    age = re.fullmatch(r"main was started: (\d+) sec", out[2])
    assert len(out) == 3 and age and before <= int(age[1]) <= now
    assert [(l.level, l.function, l.message) for l in b.log()] == [
        ("W", "get_modify_time_of_file", PID_FILE_MISSING)] * 2


@pytest.mark.parametrize("args", [("service", "-about"), ("-About",), ("-about ",)],
                         ids=["second_argument", "capital", "trailing_blank"])
def test_about_only_as_exact_first_argument(service, args):
    b = service(faketime_rate=100)
    (b.home / "velmarok" / "var" / "velmarok.pid").write_text("4321\n")
    log = b.run(*args, until="search_usb")
    assert [l.message for l in log[:2]] == ["USB_SEARCH PART", "search_usb"]
    assert b.stdout() == ""


@pytest.mark.parametrize("arg,first_line", [
    ("--version", "CURRENT VERSION: 8"), ("--help", "usage: usb_tools "),
], ids=["version", "help"])
def test_version_and_help_touch_nothing(service, arg, first_line):
    # An empty working folder that must stay empty, and a stick in sight
    # that must be neither searched for nor mounted.
    b = service(faketime_rate=None, log_level=None, diskstats=(MMC, harness.DISK_SDB,
                                                               harness.PART_SDB1))
    b.start(arg, "-about")
    assert b.wait_exit() == 0
    out = b.stdout()
    assert out.startswith(first_line) and out.endswith("\n")
    if arg == "--version":
        assert out == "CURRENT VERSION: 8\n"
    else:
        assert "-about" in out and "--version" in out
    assert b.stderr() == ""
    assert list(b.work.iterdir()) == [], "no c_log.ini, no logs/"
    assert list(b.media.iterdir()) == [], "no mount folder"
