"""Host side of the emulated board: stick images, one boot, and the reading
of the board's console transcript. The work is done by scripts/board/board;
this module gives the tests its results as Python values."""

import dataclasses
import os
import pathlib
import re
import subprocess

ROOT = pathlib.Path(os.environ.get("UT_ROOT", pathlib.Path(__file__).resolve().parents[2]))
BOARD = ROOT / "scripts" / "board" / "board"
MARK = "@@ut-board "


class BoardError(Exception):
    """A board command failed on the host (not the scenario on the board)."""


def run_board(*args, check=True):
    result = subprocess.run(
        [str(BOARD), *map(str, args)], stdin=subprocess.DEVNULL, capture_output=True, text=True
    )
    if check and result.returncode != 0:
        raise BoardError(
            f"board {' '.join(map(str, args))} failed ({result.returncode}):\n"
            f"{result.stdout}{result.stderr}"
        )
    return result


def unavailable():
    """Why no board can be booted here, or None when one can. Fetches the
    kernel into the project's cache when it is not there yet."""
    if run_board("check", check=False).returncode == 0:
        return None
    fetch = run_board("fetch", check=False)
    check = run_board("check", check=False)
    if check.returncode == 0:
        return None
    reason = check.stderr.strip() or "the board cannot be booted"
    if fetch.returncode != 0 and fetch.stderr.strip():
        reason += "; fetching it: " + fetch.stderr.strip().splitlines()[-1]
    return reason.replace("\n", "; ")


# --- stick images -------------------------------------------------------


def make_stick(image, layout, files=None, size_mb=None):
    """Makes the stick IMAGE (layout "partitioned", "whole" or "ext2").
    FILES maps names (may hold "/") to bytes or str, or is a folder."""
    image = pathlib.Path(image)
    folder = None
    if isinstance(files, (str, os.PathLike)):
        folder = pathlib.Path(files)
    elif files:
        folder = image.with_name(image.name + ".files")
        for name, content in files.items():
            path = folder / name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(content.encode() if isinstance(content, str) else content)
    args = ["stick", image, layout, folder or ""]
    if size_mb:
        args.append(size_mb)
    run_board(*args)
    return image


def stick_names(image, path="/"):
    """Names in a folder of a FAT stick, folders with a trailing "/"."""
    out = run_board("ls", image, path).stdout
    return sorted(line for line in out.splitlines() if line)


def stick_read(image, path, scratch):
    """The bytes of a file on a FAT stick (copied out into SCRATCH)."""
    dest = pathlib.Path(scratch) / ("stick_read_" + path.strip("/").replace("/", "_"))
    if dest.exists():
        dest.unlink()
    run_board("get", image, path, dest)
    return dest.read_bytes()


def stick_fsck(image):
    """fsck.fat's report on a FAT stick, and whether it found it clean."""
    result = run_board("fsck", image, check=False)
    return result.returncode == 0, result.stdout + result.stderr


# --- transcripts --------------------------------------------------------


@dataclasses.dataclass
class Section:
    name: str
    status: int
    text: str
    files: dict  # path -> text, for sections made with board_files

    @property
    def lines(self):
        return self.text.splitlines()

    def values(self, key):
        """The values of the lines "KEY: VALUE", in order."""
        prefix = key + ": "
        return [line[len(prefix) :] for line in self.lines if line.startswith(prefix)]

    def value(self, key):
        found = self.values(key)
        if len(found) != 1:
            raise AssertionError(f"section {self.name}: {len(found)} lines '{key}:'\n{self.text}")
        return found[0]


@dataclasses.dataclass
class Transcript:
    raw: str
    qemu_status: int
    ready: bool = False
    exit_status: int = None
    timed_out: bool = False
    sections: list = dataclasses.field(default_factory=list)
    notes: list = dataclasses.field(default_factory=list)
    problems: list = dataclasses.field(default_factory=list)  # stick-missing, module-failed

    def section(self, name):
        found = [s for s in self.sections if s.name == name]
        if len(found) != 1:
            raise AssertionError(
                f"{len(found)} sections named {name!r} in the transcript:\n{self.raw}"
            )
        return found[0]

    def all(self, name):
        """Every section named NAME, in order."""
        return [s for s in self.sections if s.name == name]

    def has_section(self, name):
        return any(s.name == name for s in self.sections)

    @property
    def completed(self):
        """The script ran to its end and the board powered itself off."""
        return self.ready and self.exit_status is not None and not self.timed_out and (
            self.qemu_status == 0
        )

    def describe(self):
        return f"qemu status {self.qemu_status}, script exit {self.exit_status}:\n{self.raw}"


# One line of the daemon's log files: time, level letter, source file and
# function (each 29 characters wide), source line, message.
LOG_LINE = re.compile(
    r"^(\d\d\.\d\d\.\d+ \d\d:\d\d:\d\d \d{3}) \[([EWID])\] (.{29}): (.{29}): \[(\d{5})\] (.*)$"
)


@dataclasses.dataclass
class LogLine:
    time: str
    level: str  # E, W, I or D
    file: str
    function: str
    line: int
    message: str


def log_lines(text):
    """The log lines of TEXT (for example the "log" section of
    board_run_logged); other lines (the files' opening and closing blocks,
    the empty line after a message that ends in a newline) are left out."""
    found = []
    for line in text.splitlines():
        match = LOG_LINE.match(line)
        if match:
            when, level, file, function, number, message = match.groups()
            found.append(LogLine(when, level, file.rstrip(), function.rstrip(), int(number), message))
    return found


def log_messages(text):
    """(level letter, message) of each log line of TEXT, in order."""
    return [(line.level, line.message) for line in log_lines(text)]


def parse_transcript(raw, qemu_status=0):
    """Reads the marker lines of a console transcript (see guest/board.sh)."""
    transcript = Transcript(raw=raw, qemu_status=qemu_status)
    current = None
    body = []
    files = {}
    file_name = None
    for line in raw.replace("\r\n", "\n").replace("\r", "\n").split("\n"):
        if not line.startswith(MARK):
            if current is not None:
                body.append(line)
                if file_name is not None:
                    files[file_name].append(line)
            continue
        word, _, rest = line[len(MARK) :].partition(" ")
        if current is not None and word == "file":
            file_name = rest
            files[file_name] = []
        elif current is not None and word == "end":
            name, _, status = rest.rpartition(" ")
            if name == current:
                transcript.sections.append(
                    Section(
                        name=current,
                        status=int(status),
                        text="".join(b + "\n" for b in body if not b.startswith(MARK + "file ")),
                        files={k: "".join(v + "\n" for v in lines) for k, lines in files.items()},
                    )
                )
                current = None
        elif word == "begin":
            current, body, files, file_name = rest, [], {}, None
        elif word == "ready":
            transcript.ready = True
        elif word == "exit":
            transcript.exit_status = int(rest)
        elif word == "timeout":
            transcript.timed_out = True
        elif word == "note":
            transcript.notes.append(rest)
        else:
            transcript.problems.append(line[len(MARK) :])
    return transcript


def boot(
    work,
    guest,
    stick=None,
    disk=None,
    adds=(),
    programs=(),
    faketime=False,
    memory=None,
    timeout=60,
    usb_tools=None,
    suite=None,
    no_seed=False,
    usb_tools_deb=None,
    stick_delay=None,
):
    """Boots the board once with the scenario script GUEST (its text) and
    returns the parsed transcript. ADDS and PROGRAMS are (host path, board
    path) pairs; PROGRAMS are armhf programs, put there with their libraries.
    USB_TOOLS is an armhf build folder whose install the board gets, SUITE
    the armhf program that plays the application suite (boot --usb-tools,
    --suite); USB_TOOLS_DEB the daemon's Debian package instead
    (--usb-tools-deb). STICK_DELAY: init as on a field board, usb-storage's
    delay_use and no wait for the stick (--stick-delay). DISK is a raw image
    attached as /dev/vda (boot --disk). NO_SEED boots without QEMU's random
    seed (boot --no-seed). The transcript is kept as WORK/transcript.txt."""
    work = pathlib.Path(work)
    work.mkdir(parents=True, exist_ok=True)
    script = work / "scenario.sh"
    script.write_text(guest)
    transcript_path = work / "transcript.txt"
    args = ["boot", "--guest", script, "--transcript", transcript_path, "--timeout", timeout]
    args += ["--work", work / "initramfs"]
    if stick:
        args += ["--stick", stick]
    if disk:
        args += ["--disk", disk]
    for src, dest in adds:
        args += ["--add", f"{src}={dest}"]
    for src, dest in programs:
        args += ["--program", f"{src}={dest}"]
    if faketime:
        args.append("--faketime")
    if memory:
        args += ["--memory", memory]
    if usb_tools:
        args += ["--usb-tools", usb_tools]
    if suite:
        args += ["--suite", suite]
    if no_seed:
        args.append("--no-seed")
    if usb_tools_deb:
        args += ["--usb-tools-deb", usb_tools_deb]
    if stick_delay is not None:
        args += ["--stick-delay", stick_delay]
    result = run_board(*args, check=False)
    if not transcript_path.exists():
        raise BoardError(f"the board did not start:\n{result.stdout}{result.stderr}")
    raw = transcript_path.read_text(errors="replace")
    transcript = parse_transcript(raw, result.returncode)
    if not transcript.ready:
        raise BoardError(f"the board never started the scenario:\n{result.stderr}{raw}")
    return transcript
