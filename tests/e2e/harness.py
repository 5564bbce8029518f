"""Runs the real usb_tools daemon at its real fixed paths without touching the
machine: inside a private mount namespace, /home and /media are bind mounts of
folders in the test's temporary folder, /proc/diskstats is a test file bound
over the kernel's, the stick is a tmpfs mounted with the source name of a
device ("/dev/sdb1") so that the daemon's own /proc/mounts lists it, and /dev
can be a tmpfs holding test nodes beside the few real ones a shell needs.
libfaketime compresses the daemon's sleeps.

A test describes a board (Board), starts the daemon, waits for lines in its
log, stops it by a signal and then looks at the files: the log, /home (the
temporary folder and what scripts left), and the stick's content, which the
namespace copies out after the daemon has ended.

A board can also have a private pid namespace, with a /proc of its own: the
daemon then sees, finds by name and kills only the programs that the test
started beside it (Board.spawn), never a process of the machine. Programs
started beside the daemon end with the board, also when a test fails: the
namespace's first process is killed with the test's process (a parent-death
signal on unshare, and unshare's --kill-child), and the kernel kills every
process of a pid namespace whose first process has ended.
"""

import ctypes
import os
import re
import select
import shlex
import shutil
import signal
import struct
import subprocess
import textwrap
import time
from pathlib import Path

FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"

# UT_E2E_VALGRIND=1: every daemon runs under valgrind's memcheck, and a board
# that stops checks its report: no error, nothing lost.
VALGRIND = os.environ.get("UT_E2E_VALGRIND") == "1"
VALGRIND_SUPPRESSIONS = Path(__file__).resolve().parent.parent / "libfaketime.supp"

# A line of the log: time stamp, level letter, file, function, line, message.
LOG_LINE = re.compile(
    r"^(\d\d)\.(\d\d)\.(\d{4}) (\d\d):(\d\d):(\d\d) (\d{3}) \[([EWID?])\] "
    r"(.{29}): (.{29}): \[(\d{5,})\] (.*)$")

# Kernel block device list lines.
DISK_SDA = "   8       0 sda 4021 1022 250310 1732 0 0 0 0 0 2160 1732 0 0 0 0"
DISK_SDB = "   8      16 sdb 120 0 9052 84 0 0 0 0 0 112 84 0 0 0 0"
PART_SDB1 = "   8      17 sdb1 80 0 6412 60 0 0 0 0 0 76 60 0 0 0 0"
DISK_SDH = "   8     112 sdh 120 0 9052 84 0 0 0 0 0 112 84 0 0 0 0"
MMC = " 179       0 mmcblk0 1735 313 123802 2624 9 1 80 12 0 1424 2636 0 0 0 0"
LOOP = "   7       0 loop0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0"

# Nodes of the real /dev bound into a test /dev.
REAL_NODES = ("null", "zero", "full", "random", "urandom", "tty")


def usable():
    """Why end-to-end tests cannot run here, or None when they can."""
    if os.geteuid() != 0:
        return "needs root for a private mount namespace"
    if shutil.which("unshare") is None or shutil.which("nsenter") is None:
        return "unshare and nsenter (util-linux) are not installed"
    if not os.path.exists(FAKETIME_LIB):
        return "libfaketime (Debian faketime) is not installed"
    probe = subprocess.run(["unshare", "--mount", "--propagation", "private", "true"],
                           capture_output=True)
    if probe.returncode != 0:
        return "cannot make a mount namespace: " + probe.stderr.decode(errors="replace")
    return None


def own_pids_usable():
    """Why a board cannot have its own pid namespace, or None when it can."""
    probe = subprocess.run(["unshare", "--mount", "--propagation", "private", "--pid",
                            "--mount-proc", "--kill-child", "true"], capture_output=True)
    if probe.returncode != 0:
        return "cannot make a pid namespace: " + probe.stderr.decode(errors="replace")
    return None


class LogLine:
    def __init__(self, match):
        g = match.groups()
        self.time = time.mktime((int(g[2]), int(g[1]), int(g[0]), int(g[3]), int(g[4]),
                                 int(g[5]), 0, 0, -1)) + int(g[6]) / 1000.0
        self.level = g[7]
        self.file = g[8].rstrip()
        self.function = g[9].rstrip()
        self.line = int(g[10])
        self.message = g[11]

    def __repr__(self):
        return f"[{self.level}] {self.function}: {self.message}"


class Stick:
    """A USB stick: its files, where it is mounted (None: not mounted, the
    daemon must mount it) and under which device name."""

    def __init__(self, files=None, mount_at="/media/stick", source="/dev/sdb1", read_only=False):
        self.files = dict(files or {})
        self.mount_at = mount_at
        self.source = source
        self.read_only = read_only


class Board:
    def __init__(self, root, daemon, diskstats=(MMC, DISK_SDB, PART_SDB1), stick=None,
                 dev_nodes=(), log_level=3, faketime_rate=100, faketime_offset=0, env=None,
                 own_pids=False, setup=(), teardown=(), keys=None, starts=1):
        self.root = Path(root)
        self.daemon = str(daemon)
        self.diskstats = list(diskstats)
        self.stick = stick
        # None: the real /dev; else a test /dev with these names as files beside
        # the real nodes a shell needs.
        self.dev_nodes = dev_nodes
        # The daemon's clock under libfaketime: it starts faketime_offset
        # seconds away from the real time and runs faketime_rate times as fast
        # (its sleeps as much shorter). Neither set: the real clock.
        self.faketime_rate = faketime_rate
        self.faketime_offset = int(faketime_offset)
        self.env = dict(env or {})
        # A private pid namespace with its own /proc.
        self.own_pids = own_pids
        # Shell lines run in the namespace once it is set up, before anything
        # is started in it (a full tmpfs, a read-only bind mount, ...).
        self.setup = list(setup)
        # Shell lines run in the namespace after the daemon has ended, while
        # its mounts are still there (to copy out what they hold).
        self.teardown = list(teardown)
        # None: no folder of trusted keys; else {name: content} of the files
        # in /etc/usb_tools/keys/, a tmpfs over an overlay of /etc.
        self.keys = keys
        # How many times the daemon is started in the same namespace (its
        # mounts last from one start to the next): start, stop, then
        # start_again(...) for each further one.
        self.starts = starts
        self._started = 0
        # Lines of the log from earlier starts, left out of log().
        self._log_skip = 0
        self.helpers = []
        self._ns_pid = None
        self._launched = False
        self.home = self.root / "home"
        self.media = self.root / "media"
        self.work = self.root / "work"
        self.stick_in = self.root / "stick_in"
        self.stick_out = self.root / "stick_out"
        for d in (self.home, self.media, self.work, self.stick_in, self.stick_out):
            d.mkdir(parents=True, exist_ok=True)
        (self.home / "velmarok" / "var").mkdir(parents=True, exist_ok=True)
        if log_level is not None:
            (self.work / "c_log.ini").write_text(
                f"level = {log_level}\nrotate = 5\nmax_size = 5mb\n")
        self.proc = None
        self.status = None

    # -- the run -----------------------------------------------------------------

    def _runner(self):
        r = self.root
        lines = [
            "set -e",
            f"mount --bind '{self.home}' /home",
            f"mount --bind '{self.media}' /media",
            f"mount --bind '{r}/diskstats' /proc/diskstats",
        ]
        if self.dev_nodes is not None:
            lines += [f"mkdir -p '{r}/realdev'", f"mount --bind /dev '{r}/realdev'",
                      "mount -t tmpfs -o mode=755 tmpfs /dev"]
            for node in REAL_NODES:
                lines += [f"touch /dev/{node}", f"mount --bind '{r}/realdev/{node}' /dev/{node}"]
            for node in self.dev_nodes:
                lines.append(f"echo node > /dev/{node}")
        s = self.stick
        if s is not None and s.mount_at is not None:
            # A stick's label becomes its mount point: any characters at all.
            at = shlex.quote(s.mount_at)
            lines += [f"mkdir -p {at}",
                      f"mount -t tmpfs -o size=256m '{s.source}' {at}",
                      f"cp -a '{self.stick_in}/.' {at}/"]
            if s.read_only:
                lines.append(f"mount -o remount,ro {at}")
        if self.keys is not None:
            lines += [f"mkdir -p '{r}/etc_overlay'",
                      f"mount -t tmpfs tmpfs '{r}/etc_overlay'",
                      f"mkdir '{r}/etc_overlay/upper' '{r}/etc_overlay/work'",
                      f"mount -t overlay overlay -o lowerdir=/etc,upperdir='{r}/etc_overlay/upper',"
                      f"workdir='{r}/etc_overlay/work' /etc",
                      "mkdir -p /etc/usb_tools/keys",
                      "mount -t tmpfs -o size=4m,mode=755 tmpfs /etc/usb_tools/keys",
                      f"cp -a '{r}/keys_in/.' /etc/usb_tools/keys/"]
        lines += self.setup
        # Set up: programs can now be started in the namespace (spawn) before
        # the daemon is launched.
        lines += [
            "set +e",
            f"cd '{self.work}'",
            f"echo ready > '{r}/namespace'",
            f"for start in $(seq {self.starts}); do",
            f"while [ ! -e '{r}/launch.sh' ]; do sleep 0.01; done",
            # Taken away before it runs: the next start's may come as soon
            # as this one wrote its status.
            f"mv '{r}/launch.sh' '{r}/launch.run'",
            f". '{r}/launch.run'",
            "done",
        ]
        return "\n".join(lines) + "\n"

    def _fake_time_setting(self):
        if not self.faketime_rate and not self.faketime_offset:
            return None
        setting = f"{self.faketime_offset:+d}"
        if self.faketime_rate:
            setting += f" x{self.faketime_rate}"
        return setting

    def _launcher(self, args):
        r = self.root
        env = dict(self.env)
        # A sanitized daemon under libfaketime: the preload comes first.
        env.setdefault("ASAN_OPTIONS", os.environ.get("ASAN_OPTIONS", "") +
                       ":verify_asan_link_order=0")
        env = " ".join(f"{k}='{v}'" for k, v in env.items())
        setting = self._fake_time_setting()
        fake = f"LD_PRELOAD='{FAKETIME_LIB}' FAKETIME='{setting}'" if setting else ""
        quoted = " ".join("'" + a + "'" for a in args)
        memcheck = ""
        if VALGRIND:
            memcheck = (f"valgrind --tool=memcheck --leak-check=full "
                        f"--show-leak-kinds=definite,indirect "
                        f"--errors-for-leak-kinds=definite,indirect "
                        f"--suppressions='{VALGRIND_SUPPRESSIONS}' "
                        f"--log-file='{r}/valgrind.log'")
        lines = []
        s = self.stick
        if self._started > 0 and s is not None and s.mount_at is not None:
            # A later start: the stick holds its files anew.
            at = shlex.quote(s.mount_at)
            lines += [f"find {at} -mindepth 1 -delete",
                      f"cp -a '{self.stick_in}/.' {at}/"]
        lines += [
            f"date +%s.%N > '{r}/launched'",
            f"env {env} {fake} {memcheck} '{self.daemon}' {quoted} > '{r}/stdout' "
            f"2> '{r}/stderr' < /dev/null &",
            "pid=$!",
            f"echo $pid > '{r}/daemon.pid'",
            "wait $pid",
            "status=$?",
        ]
        if s is not None and s.mount_at is not None:
            lines.append(f"cp -a {shlex.quote(s.mount_at)}/. '{self.stick_out}/' 2>/dev/null || true")
        lines += self.teardown
        # Last: a further start waits for it, and finds the stick and what
        # the teardown copied out.
        lines += [f"echo $status > '{r}/status.part'", f"mv '{r}/status.part' '{r}/status'"]
        return "\n".join(lines) + "\n"

    def open(self):
        """Sets the namespace up without launching the daemon yet, so that
        programs can be started in it first (spawn)."""
        if self.proc is not None:
            return self
        for name, data in (self.stick.files.items() if self.stick else ()):
            p = self.stick_in / name
            if isinstance(data, Path):
                shutil.copyfile(data, p)
            else:
                p.write_bytes(data if isinstance(data, bytes) else data.encode())
        if self.keys is not None:
            (self.root / "keys_in").mkdir(exist_ok=True)
            for name, data in self.keys.items():
                (self.root / "keys_in" / name).write_bytes(
                    data if isinstance(data, bytes) else data.encode())
        (self.root / "diskstats").write_text("".join(l + "\n" for l in self.diskstats))
        script = self.root / "runner.sh"
        script.write_text(self._runner())
        for f in ("daemon.pid", "status", "namespace", "launch.sh", "launched"):
            (self.root / f).unlink(missing_ok=True)
        command = ["unshare", "--mount", "--propagation", "private"]
        if self.own_pids:
            command += ["--pid", "--mount-proc", "--kill-child"]
        self.proc = subprocess.Popen(command + ["bash", str(script)],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     preexec_fn=_die_with_parent)
        self._wait_file("namespace", "namespace set-up failed")
        return self

    def start(self, *args):
        """Launches the daemon with these arguments (setting the namespace up
        first unless open() did)."""
        self.open()
        launch = self.root / "launch.sh"
        part = self.root / "launch.sh.part"
        part.write_text(self._launcher(list(args)))
        part.rename(launch)
        self._launched = True
        self._started += 1
        self._wait_file("daemon.pid", "daemon did not start")
        return self

    def start_again(self, *args, stick_files=None):
        """Starts the daemon once more in the same namespace, after stop():
        its mounts (and what it wrote there) are kept; the stick gets
        stick_files (or its first files) anew. log() then shows this start's
        lines only."""
        assert 0 < self._started < self.starts and not self.running()
        if stick_files is not None:
            shutil.rmtree(self.stick_in)
            self.stick_in.mkdir()
            for name, data in stick_files.items():
                (self.stick_in / name).write_bytes(data if isinstance(data, bytes)
                                                   else data.encode())
        self._log_skip = len(self.log_text().splitlines())
        for f in ("daemon.pid", "status", "launched"):
            (self.root / f).unlink(missing_ok=True)
        for d in (self.stick_out,):
            shutil.rmtree(d)
            d.mkdir()
        self.status = None
        return self.start(*args)

    def run_again(self, *args, until, stick_files=None, timeout=30):
        """start_again, then as run()."""
        self.start_again(*args, stick_files=stick_files)
        try:
            self.wait_for(until, timeout=timeout)
        finally:
            self.stop()
        return self.log()

    def _wait_file(self, name, what):
        deadline = time.monotonic() + 10
        while not (self.root / name).exists():
            if self.proc.poll() is not None:
                raise RuntimeError(what + ": " + self.proc.stdout.read().decode())
            if time.monotonic() > deadline:
                raise RuntimeError(what)
            time.sleep(0.01)

    def ns_pid(self):
        """A process in the board's namespaces, as the test's process sees it:
        the one that set them up."""
        if self._ns_pid is None:
            if not self.own_pids:
                self._ns_pid = self.proc.pid
            else:
                # unshare forked it.
                children = f"/proc/{self.proc.pid}/task/{self.proc.pid}/children"
                for _ in range(500):
                    text = Path(children).read_text().split()
                    if text:
                        self._ns_pid = int(text[0])
                        break
                    time.sleep(0.01)
                else:
                    raise RuntimeError("no first process in the pid namespace")
        return self._ns_pid

    def ns_path(self, path):
        """The test's way to a path as the board's processes see it (in their
        mount namespace: their /proc, for one)."""
        return Path(f"/proc/{self.ns_pid()}/root") / str(path).lstrip("/")

    def daemon_pid(self):
        """The daemon's pid as the test's process sees it."""
        for _ in range(100):
            text = (self.root / "daemon.pid").read_text().strip()
            if text:
                if not self.own_pids:
                    return int(text)
                return _host_pid(self.ns_pid(), int(text))
            time.sleep(0.01)
        raise RuntimeError("no daemon pid")

    def daemon_ns_pid(self):
        """The daemon's pid as the board's processes see it."""
        return int((self.root / "daemon.pid").read_text())

    def fake_time(self, real=None):
        """The daemon's clock at a real time (default now), as libfaketime
        shows it to the daemon: counted from the moment the daemon was
        launched. The daemon's clock starts a little after that moment, so
        the estimate runs ahead of it by that delay times the rate."""
        real = time.time() if real is None else real
        launched = float((self.root / "launched").read_text())
        rate = self.faketime_rate or 1
        return launched + self.faketime_offset + (real - launched) * rate

    def spawn(self, program, *args, argv0=None):
        """Starts a program inside the board's namespaces, before the daemon
        (after open()) or while it runs, with argv[0] set to argv0 when given.
        Its standard output and error come on one pipe. It is killed when the
        board stops."""
        self.open()
        command = ["nsenter", f"--target={self.ns_pid()}", "--mount"]
        if self.own_pids:
            command.append("--pid")
        command += ["--", "bash", "-c", 'exec -a "$0" "$@"', argv0 or str(program),
                    str(program)] + [str(a) for a in args]
        helper = Helper(subprocess.Popen(command, stdout=subprocess.PIPE,
                                         stderr=subprocess.STDOUT, preexec_fn=_die_with_parent),
                        self.own_pids)
        self.helpers.append(helper)
        return helper

    def running(self):
        return self.proc is not None and self.proc.poll() is None and \
            not (self.root / "status").exists()

    def wait_exit(self, timeout=30):
        """Waits for the daemon to end by itself; returns its exit status."""
        if self._started < self.starts:
            # The namespace waits for the next start.
            wait_until(lambda: (self.root / "status").exists() or self.proc.poll() is not None,
                       timeout, "the daemon's end")
        else:
            self.proc.wait(timeout=timeout)
        self.status = int((self.root / "status").read_text())
        if VALGRIND:
            self._check_memcheck()
        return self.status

    def _check_memcheck(self):
        report = (self.root / "valgrind.log").read_text(errors="replace")
        errors = re.search(r"ERROR SUMMARY: (\d+) errors", report)
        assert errors is not None, "no memcheck summary:\n" + report
        lost = re.findall(r"(definitely|indirectly) lost: ([\d,]+) bytes", report)
        assert errors.group(1) == "0" and all(n == "0" for _, n in lost), report

    def stop(self, timeout=30):
        """Ends the daemon by a signal, as the system would, and every program
        started beside it; returns the daemon's status."""
        if self.proc is None:
            return None
        try:
            if not self._launched:
                # Set up, never launched: the runner only waits.
                self.proc.kill()
                self.proc.wait(timeout)
                return None
            if self.status is not None and not self.running():
                # Stopped already; a runner still waiting for a further start
                # that never comes is ended.
                if self.proc.poll() is None:
                    self.proc.kill()
                    self.proc.wait(timeout)
                return self.status
            if self.running():
                try:
                    os.kill(self.daemon_pid(), signal.SIGTERM)
                except ProcessLookupError:
                    pass
            return self.wait_exit(timeout)
        finally:
            for helper in self.helpers:
                helper.kill()

    def run(self, *args, until, timeout=30):
        """Starts the daemon, waits for a log message matching `until` (a
        text or a compiled pattern), stops it and returns the log lines."""
        self.start(*args)
        try:
            self.wait_for(until, timeout=timeout)
        finally:
            self.stop()
        return self.log()

    # -- what it left -----------------------------------------------------------

    def log_text(self):
        logs = self.work / "logs"
        if not logs.is_dir():
            return ""
        names = sorted(logs.iterdir(), key=lambda p: _log_number(p.name))
        return "".join(p.read_text(errors="replace") for p in names if p.is_file())

    def log(self):
        out = []
        for line in self.log_text().splitlines()[self._log_skip:]:
            m = LOG_LINE.match(line)
            if m:
                out.append(LogLine(m))
        return out

    def messages(self, level=None):
        return [l.message for l in self.log() if level is None or l.level == level]

    def wait_for(self, pattern, timeout=30, count=1):
        """Waits until `count` log messages match; returns the last of them."""
        deadline = time.monotonic() + timeout

        def found():
            lines = [l for l in self.log() if _matches(pattern, l.message)]
            return lines[count - 1] if len(lines) >= count else None

        while True:
            line = found()
            if line is not None:
                return line
            if not self.running():
                # One more look: the last lines may have come with the end.
                line = found()
                if line is not None:
                    return line
                raise AssertionError(f"daemon ended before {pattern!r}; log:\n" +
                                     "\n".join(map(repr, self.log())))
            if time.monotonic() > deadline:
                raise AssertionError(f"no {pattern!r} within {timeout} s; log:\n" +
                                     "\n".join(map(repr, self.log())))
            time.sleep(0.02)

    def stdout(self):
        return (self.root / "stdout").read_text(errors="replace")

    def stderr(self):
        return (self.root / "stderr").read_text(errors="replace")


class Helper:
    """A program started in a board's namespaces (Board.spawn)."""

    def __init__(self, popen, forked):
        self.popen = popen
        # Entering a pid namespace, nsenter forks: the program is its child,
        # and nsenter ends as the program did (by the same signal).
        self.forked = forked
        self._buffer = b""

    def line(self, timeout=20):
        """The next line of its output, without the newline."""
        deadline = time.monotonic() + timeout
        fd = self.popen.stdout.fileno()
        while b"\n" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise AssertionError(f"no line from {self.popen.args} in {timeout} s")
            data = os.read(fd, 4096)
            if not data:
                raise AssertionError(f"{self.popen.args} ended: {self._buffer!r}")
            self._buffer += data
        line, self._buffer = self._buffer.split(b"\n", 1)
        return line.decode(errors="replace")

    def running(self):
        return self.popen.poll() is None

    def returncode(self, timeout=10):
        """How it ended (a negative number: by that signal), waiting for it."""
        return self.popen.wait(timeout)

    def kill(self):
        if self.popen.poll() is None:
            if self.forked:
                for pid in _children(self.popen.pid):
                    _kill(pid)
            _kill(self.popen.pid)
        self.popen.wait(10)
        self.popen.stdout.close()


class FileWatch:
    """Events on files and folders, in the order the kernel saw them (inotify):
    watch() paths with masks, then events() gives (path, mask, name) tuples.
    Works on /proc files too: an open of /proc/PID/status is an event."""

    OPEN = 0x20
    CLOSE_WRITE = 0x08
    CLOSE_NOWRITE = 0x10

    def __init__(self):
        self._libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self._libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        self._paths = {}
        self._pending = []

    def watch(self, path, mask):
        wd = self._libc.inotify_add_watch(self.fd, str(path).encode(), mask)
        if wd < 0:
            raise OSError(ctypes.get_errno(), f"inotify_add_watch {path}")
        self._paths[wd] = str(path)

    def events(self, timeout=0.0):
        """The events so far; waits up to timeout seconds for the first."""
        select.select([self.fd], [], [], timeout)
        out = []
        while True:
            try:
                data = os.read(self.fd, 65536)
            except BlockingIOError:
                return out
            at = 0
            while at < len(data):
                wd, mask, _, size = struct.unpack_from("iIII", data, at)
                name = data[at + 16:at + 16 + size].rstrip(b"\0").decode()
                out.append((self._paths.get(wd), mask, name))
                at += 16 + size

    def close(self):
        os.close(self.fd)


def _die_with_parent():
    # The child ends with the test's process (PR_SET_PDEATHSIG).
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)


def _children(pid):
    try:
        return [int(p) for p in Path(f"/proc/{pid}/task/{pid}/children").read_text().split()]
    except OSError:
        return []


def _kill(pid):
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def _host_pid(ns_member, ns_pid):
    """The pid, as the test's process sees it, of the process that has the
    pid ns_pid in the pid namespace of process ns_member."""
    namespace = os.readlink(f"/proc/{ns_member}/ns/pid")
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.readlink(f"/proc/{entry}/ns/pid") != namespace:
                continue
            for line in Path(f"/proc/{entry}/status").read_text().splitlines():
                if line.startswith("NSpid:") and int(line.split()[-1]) == ns_pid:
                    return int(entry)
        except (OSError, ValueError):
            continue
    raise ProcessLookupError(f"no process {ns_pid} in the namespace of {ns_member}")


def _matches(pattern, text):
    if isinstance(pattern, str):
        return pattern in text
    return pattern.search(text) is not None


def _log_number(name):
    m = re.search(r"(\d+)\.log$", name)
    return int(m.group(1)) if m else 0


def wait_until(condition, timeout=30, what="condition"):
    """Waits for condition() to hold, polling; fails naming `what`."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"no {what} within {timeout} s")
        time.sleep(0.02)


def script(body):
    """A shell script file's content."""
    return "#!/bin/sh\n" + textwrap.dedent(body).lstrip()
