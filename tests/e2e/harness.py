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
"""

import os
import re
import shutil
import signal
import subprocess
import textwrap
import time
from pathlib import Path

FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"

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
    if shutil.which("unshare") is None:
        return "unshare (util-linux) is not installed"
    if not os.path.exists(FAKETIME_LIB):
        return "libfaketime (Debian faketime) is not installed"
    probe = subprocess.run(["unshare", "--mount", "--propagation", "private", "true"],
                           capture_output=True)
    if probe.returncode != 0:
        return "cannot make a mount namespace: " + probe.stderr.decode(errors="replace")
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
                 dev_nodes=(), log_level=3, faketime_rate=100, env=None):
        self.root = Path(root)
        self.daemon = str(daemon)
        self.diskstats = list(diskstats)
        self.stick = stick
        # None: the real /dev; else a test /dev with these names as files beside
        # the real nodes a shell needs.
        self.dev_nodes = dev_nodes
        self.faketime_rate = faketime_rate
        self.env = dict(env or {})
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

    def _runner(self, args):
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
            lines += [f"mkdir -p '{s.mount_at}'",
                      f"mount -t tmpfs -o size=256m '{s.source}' '{s.mount_at}'",
                      f"cp -a '{self.stick_in}/.' '{s.mount_at}/'"]
            if s.read_only:
                lines.append(f"mount -o remount,ro '{s.mount_at}'")
        env = dict(self.env)
        # A sanitized daemon under libfaketime: the preload comes first.
        env.setdefault("ASAN_OPTIONS", os.environ.get("ASAN_OPTIONS", "") +
                       ":verify_asan_link_order=0")
        env = " ".join(f"{k}='{v}'" for k, v in env.items())
        fake = f"LD_PRELOAD='{FAKETIME_LIB}' FAKETIME='+0 x{self.faketime_rate}'" \
            if self.faketime_rate else ""
        quoted = " ".join("'" + a + "'" for a in args)
        lines += [
            "set +e",
            f"cd '{self.work}'",
            f"env {env} {fake} '{self.daemon}' {quoted} > '{r}/stdout' 2> '{r}/stderr' < /dev/null &",
            "pid=$!",
            f"echo $pid > '{r}/daemon.pid'",
            "wait $pid",
            f"echo $? > '{r}/status'",
        ]
        if s is not None and s.mount_at is not None:
            lines.append(f"cp -a '{s.mount_at}/.' '{self.stick_out}/' 2>/dev/null || true")
        return "\n".join(lines) + "\n"

    def start(self, *args):
        for name, data in (self.stick.files.items() if self.stick else ()):
            p = self.stick_in / name
            if isinstance(data, Path):
                shutil.copyfile(data, p)
            else:
                p.write_bytes(data if isinstance(data, bytes) else data.encode())
        (self.root / "diskstats").write_text("".join(l + "\n" for l in self.diskstats))
        script = self.root / "runner.sh"
        script.write_text(self._runner(list(args)))
        for f in ("daemon.pid", "status"):
            (self.root / f).unlink(missing_ok=True)
        self.proc = subprocess.Popen(["unshare", "--mount", "--propagation", "private",
                                      "bash", str(script)],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while not (self.root / "daemon.pid").exists():
            if self.proc.poll() is not None:
                raise RuntimeError("namespace set-up failed: " + self.proc.stdout.read().decode())
            if time.monotonic() > deadline:
                raise RuntimeError("daemon did not start")
            time.sleep(0.01)
        return self

    def daemon_pid(self):
        for _ in range(100):
            text = (self.root / "daemon.pid").read_text().strip()
            if text:
                return int(text)
            time.sleep(0.01)
        raise RuntimeError("no daemon pid")

    def running(self):
        return self.proc is not None and self.proc.poll() is None and \
            not (self.root / "status").exists()

    def wait_exit(self, timeout=30):
        """Waits for the daemon to end by itself; returns its exit status."""
        self.proc.wait(timeout=timeout)
        self.status = int((self.root / "status").read_text())
        return self.status

    def stop(self, timeout=30):
        """Ends the daemon by a signal, as the system would; returns its status."""
        if self.proc is None:
            return None
        if self.running():
            try:
                os.kill(self.daemon_pid(), signal.SIGTERM)
            except ProcessLookupError:
                pass
        return self.wait_exit(timeout)

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
        for line in self.log_text().splitlines():
            m = LOG_LINE.match(line)
            if m:
                out.append(LogLine(m))
        return out

    def messages(self, level=None):
        return [l.message for l in self.log() if level is None or l.level == level]

    def wait_for(self, pattern, timeout=30):
        """Waits until a log message matches; returns that line."""
        deadline = time.monotonic() + timeout
        while True:
            for line in self.log():
                if _matches(pattern, line.message):
                    return line
            if not self.running():
                # One more look: the last lines may have come with the end.
                for line in self.log():
                    if _matches(pattern, line.message):
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


def _matches(pattern, text):
    if isinstance(pattern, str):
        return pattern in text
    return pattern.search(text) is not None


def _log_number(name):
    m = re.search(r"(\d+)\.log$", name)
    return int(m.group(1)) if m else 0


def script(body):
    """A shell script file's content."""
    return "#!/bin/sh\n" + textwrap.dedent(body).lstrip()
