"""ut_pack, the service engineer's tool, from its command line: each command's
success path and refusals with their exit status and message, the mistakes and
hostile packages it must catch, and the golden package whose bytes `create`
must reproduce."""

import fcntl
import html
import json
import os
import re
import shutil
import signal
import sqlite3
import struct
import subprocess
import termios
import time
from pathlib import Path

import pytest

DATA = Path(__file__).resolve().parent.parent / "data"
GOOD_ROWS = "<0001>{run.sh}\n<0002>{remove_temp_folder}\n"
EXPECTED_ROW = "a row reads '<0001>{script.sh}' or '<0002>{remove_temp_folder}'"

# UT_PACK_UNDER_NODE=PROGRAM: the table runs PROGRAM, the WebAssembly build's
# command line under node (build-web/ut_pack of scripts/web), as ut_pack. The
# cases that need the host's own process (its signals, FIFOs, a full disk)
# are left out for it.
UNDER_NODE = os.environ.get("UT_PACK_UNDER_NODE")
host_process_only = pytest.mark.skipif(
    bool(UNDER_NODE), reason="signals, FIFOs and full disks need ut_pack's host build")


@pytest.fixture(scope="session")
def ut_pack_path(build_dir):
    path = Path(UNDER_NODE).resolve() if UNDER_NODE else build_dir / "ut_pack"
    assert path.exists(), f"{path} is not built"
    return path


@pytest.fixture
def tmp_root(tmp_path):
    """The tool's $TMPDIR in these tests, where its private folders go."""
    d = tmp_path / "tmp"
    d.mkdir()
    return d


@pytest.fixture
def tool(ut_pack_path, tmp_path, tmp_root):
    """tool(*args) -> CompletedProcess, run in a private working folder."""
    work = tmp_path / "cwd"
    work.mkdir()
    env = dict(os.environ, TMPDIR=str(tmp_root))

    def run(*args, cwd=work, timeout=60, stdout=subprocess.PIPE):
        return subprocess.run([str(ut_pack_path), *map(str, args)], cwd=cwd, env=env,
                              stdout=stdout, stderr=subprocess.PIPE, text=True, timeout=timeout,
                              errors="surrogateescape")

    yield run
    # The tool never leaves a log settings file, a log folder or a private
    # folder behind.
    assert os.listdir(work) == []
    assert os.listdir(tmp_root) == []


def folder(tmp_path, files, name="src"):
    d = tmp_path / name
    d.mkdir()
    for n, data in files.items():
        (d / n).write_bytes(data if isinstance(data, bytes) else data.encode())
    return d


def good_files(**extra):
    files = {"work_list.f": GOOD_ROWS, "run.sh": "#!/bin/sh\necho run\n"}
    files.update(extra)
    return files


def leftovers(d):
    return [n for n in os.listdir(d) if ".ut_pack-" in n]


def no_raw_control_bytes(text):
    return not re.search(r"[\x00-\x09\x0b-\x1f\x7f]", text)


JSON_KEYS = {"package", "size", "scrambled", "checksum", "entries", "rows", "signature",
             "verdict", "reason"}


def as_json(r):
    """The one JSON object a command wrote on standard output."""
    obj = json.loads(r.stdout)
    assert set(obj) == JSON_KEYS
    return obj


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def craft(entries, count=None):
    """A plain package from (name, content[, start_pointer]) entries, laid out
    as the packer lays them out unless a start_pointer is given."""
    record, body, offset = b"", b"", 808
    for entry in entries:
        name, content = entry[0], entry[1]
        start = entry[2] if len(entry) > 2 else offset
        name = name if isinstance(name, bytes) else name.encode()
        content = content if isinstance(content, bytes) else content.encode()
        record += name.ljust(32, b"\0")[:32] + struct.pack("<ii", start, len(content))
        body += content
        offset += len(content)
    head = struct.pack("<ii", 808, len(entries) if count is None else count)
    package = head + record.ljust(800, b"\0") + body
    return package + struct.pack("<H", crc16(package[:-1]))


@pytest.fixture
def raw_pack(build_dir):
    """Packs a folder the tool would refuse, with the library's packer."""
    def run(src, out):
        subprocess.run([str(build_dir / "tests" / "make_package"), str(src) + "/", str(out)],
                       check=True, cwd=src.parent, capture_output=True)
    return run


# -- help and usage ------------------------------------------------------------

COMMANDS = ["create", "list", "verify", "extract", "scramble", "db-scramble", "db-status",
            "describe"]


def test_help_and_version(tool):
    r = tool("--help")
    assert r.returncode == 0
    for c in COMMANDS:
        assert f"ut_pack {c}" in r.stdout
    for c in COMMANDS:
        r = tool(c, "--help")
        assert r.returncode == 0 and r.stdout.startswith(f"usage: ut_pack {c}")
    r = tool("--version")
    assert r.returncode == 0 and r.stdout == "ut_pack 8\n"
    # --help anywhere after the command.
    r = tool("list", "command.f", "--help")
    assert r.returncode == 0 and r.stdout.startswith("usage: ut_pack list")


@pytest.mark.parametrize("args", [
    [], ["bogus"], ["--bogus"], ["create"], ["create", "only-folder"], ["create", "--bogus", "a", "b"],
    ["list"], ["list", "a", "b"], ["verify"], ["extract", "p"], ["scramble"], ["db-status"],
    ["describe", "f"], ["describe", "f", "x" * 58],
    # Options anywhere after the command, and their values.
    ["create", "a", "b", "--bogus"], ["create", "a", "b", "--sign"], ["verify", "p", "--key"],
    ["sign", "k", "p", "-t"], ["keygen", "s", "p", "--password-file"], ["list", "p", "--json2"],
    ["scramble", "f", "--force"],
])
def test_usage_errors(tool, args):
    r = tool(*args)
    assert r.returncode == 2
    assert r.stdout == ""
    assert r.stderr


def test_usage_errors_show_outside_text_escaped(tool):
    r = tool("bogus\x1b[2J")
    assert r.returncode == 2
    assert "unknown command bogus\\x1b[2J" in r.stderr and no_raw_control_bytes(r.stderr)


# -- create --------------------------------------------------------------------

# The options anywhere after the command: before the arguments, between
# them, after them.
@pytest.mark.parametrize("where", [1, 2, 3], ids=["first", "between", "last"])
@pytest.mark.parametrize("scramble", [False, True], ids=["plain", "scrambled"])
def test_create_reproduces_the_golden_package(tool, tmp_path, scramble, where):
    out = tmp_path / "command.f"
    args = ["create", DATA / "service_stick", out]
    if scramble:
        args.insert(where, "--scramble")
    r = tool(*args)
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""
    # What it packed, file by file.
    assert r.stdout == (
        f"{out}: 3 files, 1149 bytes, {'scrambled' if scramble else 'plain'}\n"
        f"  {'collect_logs.sh':32} {207:10} bytes\n"
        f"  {'readme.txt':32} {51:10} bytes\n"
        f"  {'work_list.f':32} {81:10} bytes\n")
    golden = DATA / ("service_stick_scrambled.f" if scramble else "service_stick.f")
    assert out.read_bytes() == golden.read_bytes()
    assert leftovers(tmp_path) == []


def test_same_folder_same_bytes_whatever_the_listing_order(tool, tmp_path):
    names = [f"f{i:02d}.txt" for i in range(18)]
    a = folder(tmp_path, dict(good_files(), **{n: n for n in names}), "a")
    b = tmp_path / "b"
    b.mkdir()
    # The same files written in the opposite order.
    for n in reversed(sorted(os.listdir(a))):
        shutil.copyfile(a / n, b / n)
    (tmp_path / "pa").mkdir()
    (tmp_path / "pb").mkdir()
    assert tool("create", a, tmp_path / "pa" / "command.f").returncode == 0
    assert tool("create", b, tmp_path / "pb" / "command.f").returncode == 0
    assert (tmp_path / "pa" / "command.f").read_bytes() == (tmp_path / "pb" / "command.f").read_bytes()
    entries = entry_names(tool("list", tmp_path / "pa" / "command.f").stdout)
    assert entries == sorted(names + ["run.sh", "work_list.f"])


def entry_names(listing):
    """The names of the entries table of `ut_pack list`."""
    table = listing.split("offset       size\n", 1)[1].split("work list:", 1)[0]
    return [line.split()[1] for line in table.splitlines()]


def test_create_leaves_the_folder_as_it_was(tool, tmp_path):
    src = folder(tmp_path, good_files())
    before = {n: (src / n).read_bytes() for n in os.listdir(src)}
    assert tool("create", src, tmp_path / "command.f").returncode == 0
    assert {n: (src / n).read_bytes() for n in os.listdir(src)} == before


# Folders the daemon's reader or walk would refuse: create refuses them with
# or without --force, writes nothing, and says which line and why.
REFUSALS = [
    ("no_work_list", {"run.sh": "x"}, "no work_list.f"),
    ("blank_line", good_files(**{"work_list.f": "<0001>{run.sh}\n\n"}),
     f"line 2: '': a blank line; {EXPECTED_ROW}"),
    ("cr_lf_only_file", good_files(**{"work_list.f": "\r\n"}),
     f"line 1: '\\x0d': a blank line (a carriage return and a line end); {EXPECTED_ROW}"),
    ("cr_only_file", good_files(**{"work_list.f": "\r"}),
     f"line 1: '\\x0d': a line of a carriage return only; {EXPECTED_ROW}"),
    ("name_of_64_bytes", good_files(**{"work_list.f": "<0001>{run.sh}\n<0001>{" + "a" * 64 + "}\n"}),
     "line 2: '<0001>{aaaa"),
    ("name_of_64_bytes_reason", good_files(**{"work_list.f": "<0001>{" + "a" * 64 + "}\n"}),
     f"the name has 64 bytes; the daemon takes at most 63; {EXPECTED_ROW}"),
    ("code_of_5_bytes", good_files(**{"work_list.f": "<00001>{run.sh}\n"}),
     "line 1: '<00001>{run.sh}': the row code has 5 bytes; the daemon takes at most 4"),
    ("no_code", good_files(**{"work_list.f": GOOD_ROWS + "{run.sh}\n"}),
     "line 3: '{run.sh}': no row code: the line has no '<'"),
    ("unclosed_name", good_files(**{"work_list.f": "<0001>{run.sh\n"}),
     "line 1: '<0001>{run.sh': the name is not closed by '}'"),
    ("101_rows", good_files(**{"work_list.f": "<0001>{run.sh}\n" * 101}),
     "line 101: '<0001>{run.sh}': more than 100 rows; the daemon reads at most 100"),
    ("line_of_600_bytes", good_files(**{"work_list.f": "<0001>{run.sh}" + " " * 600 + "\n"}),
     "   ...': no row code: the line has no '<' (the line is longer than "
     "511 bytes: the daemon reads the rest as a row of its own)"),
    ("script_not_in_folder", good_files(**{"work_list.f": "<0001>{gone.sh}\n"}),
     "the script gone.sh is not in the package"),
    ("script_name_refused", good_files(**{"work_list.f": "<0001>{a b.sh}\n", "a b.sh": "x"}),
     "the daemon refuses the script name 'a b.sh'"),
    ("script_name_with_an_escape", good_files(**{"work_list.f": "<0001>{a\x1b[2Jb}\n"}),
     "the daemon refuses the script name 'a\\x1b[2Jb'"),
    ("unknown_function", good_files(**{"work_list.f": "<0002>{reboot}\n"}),
     "'reboot' is not a built-in function"),
    ("21_files", good_files(**{f"x{i}": "x" for i in range(19)}), "21 files: a package holds at most 20"),
    ("name_of_32_bytes", good_files(**{"n" * 32: "x"}),
     "the name " + "n" * 32 + " has 32 bytes; a package takes names of at most 31"),
    ("name_of_16_letters_in_32_bytes", good_files(**{"д" * 16: "x"}), "has 32 bytes"),
    ("name_with_control_bytes", good_files(**{"evil\x1b]0;x\x07": "x"}),
     "the name evil\\x1b]0;x\\x07 holds control bytes: the daemon refuses such a name"),
]


@pytest.mark.parametrize("force", [False, True], ids=["", "forced"])
@pytest.mark.parametrize("name,files,message", REFUSALS, ids=[r[0] for r in REFUSALS])
def test_create_refuses_what_the_daemon_would_reject(tool, tmp_path, name, files, message, force):
    src = folder(tmp_path, files)
    out = tmp_path / "command.f"
    out.write_bytes(b"an older package")
    r = tool("create", *(["--force"] if force else []), src, out)
    assert r.returncode == 1
    assert message in r.stderr
    assert no_raw_control_bytes(r.stderr)
    assert "failed to get state of task row" not in r.stderr
    assert out.read_bytes() == b"an older package", "nothing written"
    assert leftovers(tmp_path) == []


# What the board runs badly: create warns and writes nothing unless --force.
WARNINGS = [
    ("crlf_script", good_files(**{"run.sh": "#!/bin/sh\r\necho run\r\n"}), "command.f",
     "work_list.f row 1: the script run.sh has CRLF line ends: its first line names an "
     "interpreter ending in a carriage return"),
    ("crlf_script_without_interpreter_line", good_files(**{"run.sh": "echo run\r\n"}), "command.f",
     "the script run.sh has CRLF or CR line ends"),
    ("script_after_remove_temp_folder",
     good_files(**{"work_list.f": "<0002>{remove_temp_folder}\n<0001>{run.sh}\n"}), "command.f",
     "work_list.f row 2: comes after remove_temp_folder: the script is gone by then"),
    ("code_passed_over", good_files(**{"work_list.f": "<0003>{run.sh}\n" + GOOD_ROWS}), "command.f",
     "work_list.f row 1: code '0003' is neither 0001 nor 0002: the daemon passes over the row"),
    ("work_list_that_does_nothing", good_files(**{"work_list.f": "<1>{run.sh}\n<>{x}\n"}),
     "command.f", "work_list.f has no row the daemon acts on"),
    ("empty_work_list", good_files(**{"work_list.f": ""}), "command.f",
     "work_list.f has no row the daemon acts on"),
    ("cr_only_line_ends", good_files(**{"work_list.f": GOOD_ROWS.replace("\n", "\r")}), "command.f",
     "work_list.f has line ends of a carriage return alone"),
    ("file_named_command_f", good_files(**{"command.f": "x"}), "command.f",
     "a file named command.f is lost on the board"),
    ("package_not_named_command_f", good_files(), "stick.f",
     "the daemon takes in a package named command.f only"),
]


@pytest.mark.parametrize("name,files,package,message", WARNINGS, ids=[w[0] for w in WARNINGS])
def test_create_refuses_what_the_board_runs_badly_unless_forced(tool, tmp_path, name, files,
                                                                 package, message):
    src = folder(tmp_path, files)
    out = tmp_path / package
    r = tool("create", src, out)
    assert r.returncode == 1
    assert "warning: " + message in r.stderr or ("warning: " in r.stderr and message in r.stderr)
    assert "nothing written (--force writes it all the same)" in r.stderr
    assert not out.exists() and leftovers(tmp_path) == []

    r = tool("create", "--force", src, out)
    assert r.returncode == 0, r.stderr
    assert message in r.stderr
    assert out.exists()
    # verify says the same of the package, and still calls it good.
    r = tool("verify", out)
    assert r.returncode == 0, r.stderr
    assert message in r.stderr
    assert "good: the daemon takes it in" in r.stdout


def test_create_refuses_a_sub_folder_and_a_package_inside_the_folder(tool, tmp_path):
    src = folder(tmp_path, good_files())
    r = tool("create", src, src / "command.f")
    assert r.returncode == 2 and "is inside" in r.stderr
    assert not (src / "command.f").exists()
    (src / "sub").mkdir()
    r = tool("create", src, tmp_path / "command.f")
    assert r.returncode == 1 and "sub is a sub-folder" in r.stderr
    assert not (tmp_path / "command.f").exists()


def test_create_says_why_a_folder_cannot_be_read(tool, tmp_path):
    r = tool("create", tmp_path / "missing", tmp_path / "command.f")
    assert r.returncode == 1
    assert f"cannot read the folder {tmp_path}/missing: No such file or directory" in r.stderr
    (tmp_path / "file").write_text("x")
    r = tool("create", tmp_path / "file", tmp_path / "command.f")
    assert r.returncode == 1
    assert f"cannot read the folder {tmp_path}/file: Not a directory" in r.stderr


def test_create_into_a_missing_folder_fails_cleanly(tool, tmp_path):
    src = folder(tmp_path, good_files())
    r = tool("create", src, tmp_path / "nowhere" / "command.f")
    assert r.returncode == 1
    assert "cannot write beside" in r.stderr and "No such file or directory" in r.stderr


def test_create_says_when_a_path_is_too_long_for_the_library(tool, tmp_path):
    src = folder(tmp_path, good_files())
    deep = tmp_path / ("d" * 120) / ("e" * 120)
    deep.mkdir(parents=True)
    r = tool("create", src, deep / "command.f")
    assert r.returncode == 2
    assert re.search(r"path too long: \d+ bytes with the temporary name it is written under; "
                     r"the library takes paths of at most 255 bytes", r.stderr)
    assert os.listdir(deep) == []


# -- list, verify, extract ------------------------------------------------------

@pytest.fixture
def packages(tool, tmp_path):
    src = folder(tmp_path, good_files(**{"data.bin": bytes(range(256)) * 40}))
    plain, scrambled = tmp_path / "plain" / "command.f", tmp_path / "scrambled" / "command.f"
    plain.parent.mkdir()
    scrambled.parent.mkdir()
    assert tool("create", src, plain).returncode == 0
    assert tool("create", "--scramble", src, scrambled).returncode == 0
    return plain, scrambled


@pytest.mark.parametrize("which", [0, 1], ids=["plain", "scrambled"])
def test_list_shows_entries_checksums_and_rows(tool, packages, which):
    package = packages[which]
    before = package.read_bytes()
    r = tool("list", package)
    assert r.returncode == 0, r.stderr
    out = r.stdout
    size = 808 + sum(len(v) for v in good_files().values()) + 10240 + 2
    assert f"{'scrambled' if which else 'plain'}, {size} bytes, 3 entries" in out
    assert "checksum: stored 0x" in out and ": match" in out
    assert "data.bin" in out and "808" in out and "10240" in out
    assert "<0001> run.sh" in out and "runs the script" in out
    assert "<0002> remove_temp_folder" in out and "runs the built-in" in out
    assert package.read_bytes() == before, "list never changes the package"


def test_verify_good_packages_without_changing_them(tool, packages):
    for package in packages:
        before = package.read_bytes()
        r = tool("verify", package)
        assert r.returncode == 0, r.stderr
        assert r.stderr == ""
        assert r.stdout == (
            f"{package}: good: the daemon takes it in and loads its work list (2 rows)\n"
            "signature: none (a board with keys refuses the package)\n")
        assert package.read_bytes() == before


def damaged(data, at, mask=0x40):
    data = bytearray(data)
    data[at] ^= mask
    return bytes(data)


# Hostile and damaged packages: (id, bytes or a maker, scramble, exit status of
# verify and list, verify's message, a text list shows).
GOOD = good_files()
WHOLE = craft(sorted(GOOD.items()) + [("zz.bin", "z" * 100)])
HOSTILE = [
    ("plain_bad_checksum", lambda: damaged(craft(sorted(GOOD.items())), -1, 0xFF), False, 1,
     "the checksum does not match (stored 0x", "MISMATCH: the package is damaged"),
    ("plain_damaged_data", lambda: damaged(craft(sorted(GOOD.items())), 820), False, 1,
     "the package is damaged (the board would take a plain one in all the same)", "MISMATCH"),
    ("plain_cut_short", lambda: WHOLE[:-20], False, 1,
     f"cut short: {len(WHOLE) - 20} bytes where its record needs {len(WHOLE)}",
     f"cut short: {len(WHOLE) - 20} bytes"),
    ("scrambled_bad_checksum", lambda: damaged(craft(sorted(GOOD.items())), 850), True, 1,
     "the daemon refuses the package: CRC error: read crc = ", "the daemon refuses it: CRC error"),
    ("not_a_package", lambda: b"not a package at all\n", False, 1,
     "the daemon refuses the package: not a package: 21 bytes, fewer than its 808-byte record",
     "the daemon refuses it: not a package"),
    ("negative_start_pointer", lambda: craft([("work_list.f", GOOD_ROWS), ("run.sh", "x", -5)]), False, 1,
     "the daemon refuses the package: failed to extract file: run.sh", "refuses it"),
    ("no_work_list", lambda: craft([("run.sh", "x")]), False, 1,
     "no work_list.f in the package: the daemon would not run it", "work list: none"),
    ("malformed_work_list", lambda: craft([("work_list.f", "junk\n")]), True, 1,
     f"the daemon refuses work_list.f: line 1: 'junk': no row code: the line has no '<'; "
     f"{EXPECTED_ROW}", "work list: none the daemon can load: line 1"),
    ("work_list_with_a_64_byte_name", lambda: craft([("work_list.f", "<0001>{" + "b" * 64 + "}\n")]),
     True, 1, "the name has 64 bytes; the daemon takes at most 63", "the name has 64 bytes"),
    # The daemon appends an entry to a file of the same name: both halves run.
    ("two_work_lists_joined", lambda: craft([("work_list.f", "<0001>{run.sh}\n"),
                                             ("run.sh", "#!/bin/sh\n"),
                                             ("work_list.f", "<0002>{remove_temp_folder}\n")]),
     False, 0, "good: the daemon takes it in and loads its work list (2 rows)",
     "work list: 2 rows"),
    ("rows_the_walk_fails_at", lambda: craft([("work_list.f", "<0002>{reboot}\n<0001>{gone.sh}\n")]),
     False, 0, "work_list.f row 1: 'reboot' is not a built-in function", "FAILS, ends the walk"),
]


@pytest.mark.parametrize("name,make,scramble,status,message,shown", HOSTILE,
                         ids=[h[0] for h in HOSTILE])
def test_verify_and_list_on_damaged_and_hostile_packages(tool, tmp_path, name, make, scramble,
                                                         status, message, shown):
    package = tmp_path / "command.f"
    package.write_bytes(make())
    if scramble:
        assert tool("scramble", package).returncode == 0
    before = package.read_bytes()
    r = tool("verify", package)
    assert r.returncode == status, r.stdout + r.stderr
    assert message in r.stdout + r.stderr
    assert ".ut_pack-" not in r.stdout + r.stderr, "no temporary path is printed"
    r = tool("list", package)
    assert r.returncode == status, r.stdout + r.stderr
    assert shown in r.stdout
    assert ".ut_pack-" not in r.stdout + r.stderr
    # The same verdict as one JSON object, the reason with it.
    for command in ("list", "verify"):
        r = tool(command, "--json", package)
        assert r.returncode == status, r.stdout + r.stderr
        obj = as_json(r)
        assert obj["verdict"] == ("good" if status == 0 else "refused")
        if status:
            assert message in obj["reason"]
        assert ".ut_pack-" not in r.stdout
    assert package.read_bytes() == before


def test_list_shows_the_rows_of_joined_work_lists(tool, tmp_path):
    package = tmp_path / "command.f"
    package.write_bytes(craft([("work_list.f", "<0001>{run.sh}\n"), ("run.sh", "#!/bin/sh\n"),
                               ("work_list.f", "<0002>{remove_temp_folder}\n")]))
    out = tool("list", package).stdout
    rows = out.split("work list: 2 rows\n", 1)[1].splitlines()[1:]
    assert [r.split()[1:3] for r in rows] == [["<0001>", "run.sh"], ["<0002>", "remove_temp_folder"]]
    assert entry_names(out) == ["work_list.f", "run.sh", "work_list.f"]


HOSTILE_NAMES = [
    # An entry name that would clear the screen and forge a line.
    craft([("work_list.f", "<0003>{x}\n<0001>{run.sh}\n"), ("run.sh", "#!/bin/sh\n"),
           (b"a\x1b[2J\nI forged: ok", "x")]),
    # A row name that sets the terminal's title, in a row the daemon passes over.
    craft([("work_list.f", "<0003>{\x1b]0;pwned\x07}\n<0001>{run.sh}\n"), ("run.sh", "#!/bin/sh\n")]),
    # A row code with an escape byte.
    craft([("work_list.f", "<\x1b[m>{x}\n<0001>{run.sh}\n"), ("run.sh", "#!/bin/sh\n")]),
]


@pytest.mark.parametrize("data", HOSTILE_NAMES, ids=["entry_name", "row_name", "row_code"])
@pytest.mark.parametrize("verbose", [False, True], ids=["", "verbose"])
def test_names_and_rows_are_printed_escaped(tool, tmp_path, data, verbose):
    package = tmp_path / "command.f"
    package.write_bytes(data)
    for command in ("list", "verify", "extract"):
        args = (["-v"] if verbose else []) + [command, package]
        if command == "extract":
            args.append(tmp_path / f"out{int(verbose)}")
        r = tool(*args)
        out = r.stdout + r.stderr
        assert no_raw_control_bytes(out), (command, out)
        if command == "list":
            assert "\\x1b" in out, out
    shutil.rmtree(tmp_path / f"out{int(verbose)}", ignore_errors=True)


def test_verify_warns_about_a_package_not_named_command_f(tool, tmp_path, packages):
    other = tmp_path / "service.pkg"
    shutil.copyfile(packages[0], other)
    r = tool("verify", other)
    assert r.returncode == 0
    assert "warning: " + str(other) + ": the daemon takes in a package named command.f only" in r.stderr


@host_process_only
def test_list_and_verify_refuse_what_is_no_file(tool, tmp_path):
    fifo = tmp_path / "command.f"
    os.mkfifo(fifo)
    for command in ("list", "verify"):
        r = tool(command, fifo, timeout=20)
        assert r.returncode == 1 and f"{fifo} is not a regular file" in r.stderr
    r = tool("verify", tmp_path / "missing.f")
    assert r.returncode == 1
    assert "cannot read " + str(tmp_path / "missing.f") + ": No such file or directory" in r.stderr


def test_a_temporary_folder_too_long_for_the_library(ut_pack_path, tmp_path, packages):
    deep = tmp_path / ("t" * 120) / ("u" * 120)
    deep.mkdir(parents=True)
    r = subprocess.run([str(ut_pack_path), "verify", str(packages[0])], capture_output=True,
                       text=True, env=dict(os.environ, TMPDIR=str(deep)))
    assert r.returncode == 1
    assert "is too long for the library" in r.stderr and "set TMPDIR to a shorter one" in r.stderr
    assert os.listdir(deep) == []


def test_verbose_shows_the_library_lines(tool, packages):
    r = tool("-v", "verify", packages[1])
    assert r.returncode == 0
    assert "I unpack_files: CRC of packed is OK" in r.stderr
    assert "CRC of packed is OK" not in tool("verify", packages[1]).stderr


def test_extract(tool, tmp_path, packages):
    out = tmp_path / "out"
    r = tool("extract", packages[1], out)
    assert r.returncode == 0, r.stderr
    assert sorted(os.listdir(out)) == ["data.bin", "run.sh", "work_list.f"]
    assert (out / "data.bin").read_bytes() == bytes(range(256)) * 40
    r = tool("extract", packages[1], out)
    assert r.returncode == 2 and "not empty" in r.stderr
    bad = tmp_path / "bad.f"
    bad.write_bytes(b"x" * 1000)
    r = tool("extract", bad, tmp_path / "out2")
    assert r.returncode == 1 and "the daemon refuses the package" in r.stderr
    assert not (tmp_path / "out2").exists()
    r = tool("extract", packages[1], tmp_path / "nowhere" / "out")
    assert r.returncode == 1
    assert f"cannot make the folder {tmp_path}/nowhere/out: No such file or directory" in r.stderr
    assert "refuses" not in r.stderr
    assert leftovers(tmp_path) == []


def test_extract_joins_entries_of_the_same_name(tool, tmp_path):
    package = tmp_path / "command.f"
    package.write_bytes(craft([("work_list.f", "<0001>{run.sh}\n"), ("run.sh", "#!/bin/sh\n"),
                               ("work_list.f", "<0002>{remove_temp_folder}\n")]))
    assert tool("extract", package, tmp_path / "out").returncode == 0
    assert (tmp_path / "out" / "work_list.f").read_text() == GOOD_ROWS


def in_own_mount(ut_pack_path, tmp_path, size, args_after_mount, tmpdir=None):
    """Runs ut_pack with a fresh tmpfs of `size` mounted on tmp_path/stick in a
    private mount namespace, and copies what the stick holds afterwards to
    tmp_path/seen."""
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        pytest.skip("needs root and unshare for a private mount")
    stick, seen = tmp_path / "stick", tmp_path / "seen"
    stick.mkdir()
    seen.mkdir()
    script = ('mount -t tmpfs -o size="$1" tmpfs "$2" || exit 99; shift 3; rc=0; "$@" || rc=$?; '
              'cp -a "$STICK/." "$SEEN/"; exit $rc')
    env = dict(os.environ, STICK=str(stick), SEEN=str(seen), TMPDIR=str(tmpdir or tmp_path / "tmp"))
    r = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh",
                        size, str(stick), "-", str(ut_pack_path), *map(str, args_after_mount)],
                       capture_output=True, text=True, env=env)
    if r.returncode == 99:
        pytest.skip("cannot mount a tmpfs here: " + r.stderr)
    return r, seen


def test_extract_onto_another_file_system(ut_pack_path, tmp_path, tmp_root, packages):
    # Onto the mount point itself, as onto a freshly mounted stick, and into a
    # new folder on it.
    for where in ("", "folder"):
        r, seen = in_own_mount(ut_pack_path, tmp_path, "4m",
                               ["extract", packages[1], tmp_path / "stick" / where])
        assert r.returncode == 0, r.stderr
        assert sorted(os.listdir(seen / where)) == ["data.bin", "run.sh", "work_list.f"]
        assert (seen / where / "data.bin").read_bytes() == bytes(range(256)) * 40
        shutil.rmtree(tmp_path / "stick")
        shutil.rmtree(seen)
    assert os.listdir(tmp_root) == []


@host_process_only
def test_extract_onto_a_full_disk_says_so(ut_pack_path, tmp_path, tmp_root, packages):
    r, seen = in_own_mount(ut_pack_path, tmp_path, "8k",
                           ["extract", packages[1], tmp_path / "stick"])
    assert r.returncode == 1
    assert re.search(r"cannot write \S+ into " + re.escape(str(tmp_path / "stick")) +
                     ": No space left on device", r.stderr), r.stderr
    assert "refuses" not in r.stderr and ".ut_pack-" not in r.stderr
    assert os.listdir(seen) == [], "nothing half written is left"
    assert os.listdir(tmp_root) == []


@host_process_only
def test_create_onto_a_full_disk_says_so(ut_pack_path, tmp_path):
    src = folder(tmp_path, good_files(**{"data.bin": b"d" * 40000}))
    r, seen = in_own_mount(ut_pack_path, tmp_path, "16k",
                           ["create", src, tmp_path / "stick" / "command.f"])
    assert r.returncode == 1
    assert f"cannot write {tmp_path}/stick/command.f: No space left on device" in r.stderr
    assert os.listdir(seen) == [], "no package and no temporary file"


@host_process_only
@pytest.mark.parametrize("command", ["verify", "list", "extract"])
def test_a_full_temporary_folder_is_the_host_s_fault(ut_pack_path, tmp_path, packages, command):
    # Room for the package's copy, not for its files besides.
    args = [command, packages[1]] + ([tmp_path / "out"] if command == "extract" else [])
    r, seen = in_own_mount(ut_pack_path, tmp_path, "16k", args, tmpdir=tmp_path / "stick")
    assert r.returncode == 1
    assert re.search(r"cannot (copy|unpack) \S+ (into|in) a temporary folder in " +
                     re.escape(str(tmp_path / "stick")) + ": No space left on device",
                     r.stderr), r.stderr
    assert "refuses" not in r.stderr and ".ut_pack-" not in r.stderr
    assert os.listdir(seen) == []
    assert not (tmp_path / "out").exists()


# -- interrupted: no temporary left behind ---------------------------------------

def pipe_fill(fd):
    return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0"))[0]


def waits_on_the_pipe(pid, read_end):
    """1 when the process sleeps in a write to the full pipe."""
    try:
        wchan = Path(f"/proc/{pid}/wchan").read_text()
    except OSError:
        wchan = "0"
    if wchan not in ("", "0"):
        return "pipe_write" in wchan
    # No wait channel shown: a pipe too full for one more line.
    return pipe_fill(read_end) > 4096 - 512


def run_until_blocked(args, env):
    """Starts ut_pack with its output into a pipe of one page that nobody
    reads, and returns once it waits on that pipe: the tool then holds
    whatever temporaries it holds at that moment."""
    read_end, write_end = os.pipe()
    fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, 4096)
    p = subprocess.Popen(list(map(str, args)), stdout=write_end, stderr=write_end, env=env)
    os.close(write_end)
    deadline = time.monotonic() + 60
    while p.poll() is None and not waits_on_the_pipe(p.pid, read_end) and \
            time.monotonic() < deadline:
        time.sleep(0.01)
    return p, read_end


@pytest.fixture
def big_case(tool, tmp_path):
    """A folder of 20 files behind a long path and a package of 100 rows:
    enough output to fill a pipe while temporaries exist."""
    src = tmp_path / ("s" * 100) / ("r" * 50)
    src.mkdir(parents=True)
    (src / "run.sh").write_text("#!/bin/sh\n")
    (src / "work_list.f").write_text(("<0003>{" + "x" * 60 + "}\n") * 99 + "<0001>{run.sh}\n")
    for i in range(18):
        (src / f"data_file_with_a_long_name_{i:02d}").write_bytes(b"d" * 4096)
    package = tmp_path / "command.f"
    assert tool("create", "--force", src, package).returncode == 0
    # The same files with a work list create has nothing to say about.
    (src / "work_list.f").write_text(GOOD_ROWS)
    return src, package


CASES = [
    ("list", lambda src, pkg, out: ["list", pkg]),
    ("verify", lambda src, pkg, out: ["verify", pkg]),
    ("verbose_verify", lambda src, pkg, out: ["-v", "verify", pkg]),
    ("verbose_extract", lambda src, pkg, out: ["-v", "extract", pkg, out]),
    ("verbose_create", lambda src, pkg, out: ["-v", "create", "--force", src, out.parent / "command.f"]),
]


@host_process_only
@pytest.mark.parametrize("how", ["SIGINT", "SIGTERM", "SIGPIPE"])
@pytest.mark.parametrize("name,make_args", CASES, ids=[c[0] for c in CASES])
def test_interrupted_commands_leave_no_temporaries(ut_pack_path, tmp_path, tmp_root, big_case,
                                                   name, make_args, how):
    src, package = big_case
    target = tmp_path / "made"
    target.mkdir()
    out = target / "out"
    before = package.read_bytes()
    env = dict(os.environ, TMPDIR=str(tmp_root))
    p, read_end = run_until_blocked([ut_pack_path, *make_args(src, package, out)], env)
    try:
        assert p.poll() is None, "the tool ended before its output filled the pipe"
        held = leftovers(tmp_root) + leftovers(target) + (os.listdir(out) if out.exists() else [])
        assert held, "the tool holds a temporary while it waits"
        if how == "SIGPIPE":
            os.close(read_end)  # the reader goes away: the next write raises SIGPIPE
            read_end = None
        else:
            os.kill(p.pid, getattr(signal, how))
        p.wait(timeout=60)
    finally:
        if read_end is not None:
            os.close(read_end)
        if p.poll() is None:
            p.kill()
            p.wait()
    assert p.returncode == -getattr(signal, how)
    assert os.listdir(tmp_root) == []
    assert leftovers(target) == [] and not out.exists()
    assert not (target / "command.f").exists()
    assert package.read_bytes() == before


# -- scrambling and databases ----------------------------------------------------

def test_scramble_is_its_own_inverse(tool, tmp_path, packages):
    plain = packages[0]
    original = plain.read_bytes()
    r = tool("scramble", plain)
    assert r.returncode == 0 and "scrambled" in r.stdout
    assert plain.read_bytes() == packages[1].read_bytes()
    r = tool("scramble", plain)
    assert r.returncode == 0 and "a plain package again" in r.stdout
    assert plain.read_bytes() == original
    assert tool("scramble", tmp_path / "missing").returncode == 1


@pytest.fixture
def database(tmp_path):
    path = tmp_path / "archive.db"
    with sqlite3.connect(path) as db:
        db.execute("create table records (t integer, value real)")
        db.executemany("insert into records values (?, ?)", [(i, i / 3) for i in range(3000)])
    return path


def test_database_scramble_status_and_description(tool, database):
    original = database.read_bytes()
    r = tool("db-status", database)
    assert r.returncode == 0
    assert r.stdout == f"{database}: plain database\ndescription block: none\n"
    assert tool("db-scramble", database).stdout == f"{database}: scrambled\n"
    assert database.read_bytes()[:16] != original[:16]
    assert "scrambled" in tool("db-status", database).stdout
    assert tool("db-scramble", database).stdout == f"{database}: restored\n"
    assert database.read_bytes() == original

    r = tool("describe", database, "recorder 17, export of 10.12.2026")
    assert r.returncode == 0
    data = database.read_bytes()
    assert len(data) == len(original) + 66
    assert data[-66:-57] == b"Velmarok\0"
    assert data[-57:].rstrip(b"\0") == b"recorder 17, export of 10.12.2026"
    assert tool("db-status", database).stdout.endswith(
        "description block: recorder 17, export of 10.12.2026\n")
    r = tool("describe", database, "again")
    assert r.returncode == 1 and "already carries a description block" in r.stderr


def test_database_scramble_refuses_a_short_file(tool, tmp_path):
    short = tmp_path / "short.db"
    short.write_bytes(b"x" * 100)
    r = tool("db-scramble", short)
    assert r.returncode == 1
    assert "at least 8000" in r.stderr
    assert short.read_bytes() == b"x" * 100


def test_verbose_shows_the_library_lines(tool, packages):
    r = tool("-v", "verify", packages[1])
    assert r.returncode == 0
    assert "I unpack_files: CRC of packed is OK" in r.stderr
    assert "CRC of packed is OK" not in tool("verify", packages[1]).stderr


@host_process_only
@pytest.mark.parametrize("command", [["db-status"], ["describe", "text"], ["db-scramble"],
                                     ["scramble"]])
def test_database_commands_do_not_wait_on_a_fifo(tool, tmp_path, command):
    fifo = tmp_path / "archive.db"
    os.mkfifo(fifo)
    r = tool(command[0], fifo, *command[1:], timeout=20)
    assert r.returncode == 1
    assert f"{fifo} is not a regular file" in r.stderr
    assert leftovers(tmp_path) == []


def test_description_text_is_printed_escaped(tool, database):
    assert tool("describe", database, "line one\nforged\x1b[2J").returncode == 0
    r = tool("db-status", database)
    assert r.stdout.endswith("description block: line one\\x0aforged\\x1b[2J\n")


# -- keys and signatures: nothing lost, nothing stale -----------------------------

PASSWORD = "correct horse battery"


@pytest.fixture(scope="module")
def keys(tmp_path_factory, ut_pack_path):
    """Key pairs made once: a.key and b.key without a password, e.key with
    one (its password in `password`, a wrong one in `wrong`)."""
    d = tmp_path_factory.mktemp("keys")
    (d / "password").write_text(PASSWORD + "\n")
    (d / "wrong").write_text("not " + PASSWORD + "\n")
    for name in ("a", "b"):
        subprocess.run([ut_pack_path, "keygen", "--no-password", d / f"{name}.key",
                        d / f"{name}.pub"], check=True, capture_output=True)
    subprocess.run([ut_pack_path, "keygen", "--password-file", d / "password", d / "e.key",
                    d / "e.pub"], check=True, capture_output=True)
    return d


def snapshot(d):
    """Every entry of a folder with its bytes (a link as its target)."""
    return {n: os.readlink(d / n) if (d / n).is_symlink() else (d / n).read_bytes()
            for n in os.listdir(d)}


# keygen never overwrites a file: (id, what the folder holds first, the two
# paths given, the message).
KEYGEN_REFUSALS = [
    ("public_key_path_holds_a_secret_key", {"release.key": "a.key"}, ["new.key", "release.key"],
     "release.key exists and is a secret key: a file is never overwritten; give the public key a "
     "new path"),
    ("public_key_path_holds_a_public_key", {"old.pub": "a.pub"}, ["new.key", "old.pub"],
     "old.pub exists and is a public key: a file is never overwritten; give the public key"),
    ("public_key_path_holds_another_file", {"notes.txt": None}, ["new.key", "notes.txt"],
     "notes.txt exists: a file is never overwritten; give the public key a new path"),
    ("public_key_path_is_a_dangling_link", {"gone.pub": "->nowhere"}, ["new.key", "gone.pub"],
     "gone.pub exists: a file is never overwritten"),
    ("secret_key_path_exists", {"release.key": "a.key"}, ["release.key", "new.pub"],
     "release.key exists and is a secret key: a file is never overwritten; give the secret key a "
     "new path"),
    ("same_path_for_both", {}, ["same.key", "same.key"],
     "same.key is given for both keys: the public key would overwrite the secret key; give two "
     "paths"),
    ("same_file_by_two_names", {}, ["same.key", "./same.key"], "same.key is given for both keys"),
]


@pytest.mark.parametrize("password", [False, True], ids=["", "with_password"])
@pytest.mark.parametrize("name,present,paths,message", KEYGEN_REFUSALS,
                         ids=[k[0] for k in KEYGEN_REFUSALS])
def test_keygen_overwrites_no_file(tool, tmp_path, keys, name, present, paths, message, password):
    d = tmp_path / "keys"
    d.mkdir()
    for n, source in present.items():
        if source is None:
            (d / n).write_text("an engineer's notes\n")
        elif source.startswith("->"):
            os.symlink(source[2:], d / n)
        else:
            shutil.copyfile(keys / source, d / n)
    before = snapshot(d)
    options = ["--password-file", keys / "password"] if password else ["--no-password"]
    r = tool("keygen", *options, *paths, cwd=d)
    assert r.returncode == 1, r.stdout + r.stderr
    assert "ut_pack: keygen: error: " + message in r.stderr
    assert r.stdout == ""
    assert snapshot(d) == before, "no file written, none changed"


def test_keygen_makes_a_pair_that_signs(tool, tmp_path):
    r = tool("keygen", "--no-password", tmp_path / "k.key", tmp_path / "k.pub")
    assert r.returncode == 0, r.stderr
    assert oct((tmp_path / "k.key").stat().st_mode & 0o777) == "0o600"
    assert leftovers(tmp_path) == []
    src = folder(tmp_path, good_files())
    assert tool("create", "--sign", tmp_path / "k.key", src, tmp_path / "command.f").returncode == 0
    assert tool("verify", "--key", tmp_path / "k.pub", tmp_path / "command.f").returncode == 0


# create --sign checks the key and its password before it writes anything:
# (id, the options, the message).
SIGN_FAILURES = [
    ("missing_key", lambda k: ["--sign", k / "missing.key"],
     "cannot read the secret key {keys}/missing.key: no such file"),
    ("public_key_given", lambda k: ["--sign", k / "a.pub"],
     "{keys}/a.pub is a public key, not a secret key: the two keys are swapped"),
    ("wrong_password", lambda k: ["--sign", k / "e.key", "--password-file", k / "wrong"],
     "wrong password for the secret key {keys}/e.key"),
    ("missing_password_file", lambda k: ["--sign", k / "e.key", "--password-file", k / "none"],
     "cannot read the password file {keys}/none: No such file or directory"),
]


@pytest.mark.parametrize("had_package", [False, True], ids=["new", "over_an_older_one"])
@pytest.mark.parametrize("name,options,message", SIGN_FAILURES, ids=[s[0] for s in SIGN_FAILURES])
def test_create_sign_checks_the_key_before_writing(tool, tmp_path, keys, name, options, message,
                                                   had_package):
    src = folder(tmp_path, good_files())
    out = tmp_path / "out"
    out.mkdir()
    if had_package:
        (out / "command.f").write_bytes(b"an older package")
        (out / "command.f.minisig").write_bytes(b"its signature")
    before = snapshot(out)
    r = tool("create", *options(keys), src, out / "command.f")
    assert r.returncode == 1, r.stdout + r.stderr
    assert "ut_pack: create: error: " + message.format(keys=keys) in r.stderr
    assert r.stdout == ""
    assert snapshot(out) == before, "no package written, none changed"


@pytest.mark.parametrize("how", ["create", "create_scrambled", "scramble"])
def test_rewriting_a_package_removes_its_old_signature(tool, tmp_path, keys, how):
    src = folder(tmp_path, good_files())
    package = tmp_path / "command.f"
    signature = tmp_path / "command.f.minisig"
    assert tool("create", "--sign", keys / "a.key", src, package).returncode == 0
    assert tool("verify", "--key", keys / "a.pub", package).returncode == 0
    (src / "run.sh").write_text("#!/bin/sh\necho changed\n")
    args = {"create": ["create", src, package],
            "create_scrambled": ["create", "--scramble", src, package],
            "scramble": ["scramble", package]}[how]
    r = tool(*args)
    assert r.returncode == 0, r.stderr
    assert (f"ut_pack: {args[0]}: warning: removed {signature}: it signed the old bytes of "
            f"{package}; sign the new ones with ut_pack sign SECRET_KEY {package}") in r.stderr
    assert not signature.exists()
    r = tool("verify", "--key", keys / "a.pub", package)
    assert r.returncode == 1 and "no signature file" in r.stderr
    # Signed in the same run, the new signature stays, and nothing is said
    # of a removal.
    r = tool("create", "--sign", keys / "b.key", src, package)
    assert r.returncode == 0, r.stderr
    assert "removed" not in r.stderr
    assert tool("verify", "--key", keys / "b.pub", package).returncode == 0
    assert leftovers(tmp_path) == []


def test_create_sign_with_a_password(tool, tmp_path, keys):
    src = folder(tmp_path, good_files())
    package = tmp_path / "command.f"
    r = tool("create", "--sign", keys / "e.key", "--password-file", keys / "password", src, package)
    assert r.returncode == 0, r.stderr
    assert f"{package}.minisig: signed by key id " in r.stdout
    assert tool("verify", "--key", keys / "e.pub", package).returncode == 0


# -- results that cannot be written ----------------------------------------------

FULL_OUTPUT = [
    ("help", lambda p, d: ["--help"]),
    ("version", lambda p, d: ["--version"]),
    ("command_help", lambda p, d: ["list", "--help"]),
    ("list", lambda p, d: ["list", p]),
    ("verify", lambda p, d: ["verify", p]),
    ("create", lambda p, d: ["create", d / "to_pack", d / "new" / "command.f"]),
    ("extract", lambda p, d: ["extract", p, d / "out"]),
    ("scramble", lambda p, d: ["scramble", p]),
    ("db_status", lambda p, d: ["db-status", p]),
    ("keygen", lambda p, d: ["keygen", "--no-password", d / "k.key", d / "k.pub"]),
]


@host_process_only
@pytest.mark.parametrize("name,make_args", FULL_OUTPUT, ids=[f[0] for f in FULL_OUTPUT])
def test_results_that_cannot_be_written_fail_the_command(tool, tmp_path, packages, name,
                                                         make_args):
    folder(tmp_path, good_files(), "to_pack")
    (tmp_path / "new").mkdir()
    with open("/dev/full", "w") as full:
        r = tool(*make_args(packages[0], tmp_path), stdout=full)
    assert r.returncode == 1, r.stderr
    assert r.stderr.endswith("error: cannot write the results to standard output: "
                             "No space left on device\n"), r.stderr


# -- options anywhere after the command -------------------------------------------

def test_options_anywhere_after_the_command(tool, tmp_path, keys):
    src = folder(tmp_path, good_files())
    package = tmp_path / "command.f"
    r = tool("create", src, package, "--sign", keys / "a.key", "--scramble")
    assert r.returncode == 0, r.stderr
    assert "scrambled" in r.stdout and "signed by key id" in r.stdout
    r = tool("verify", package, "--key", keys / "b.pub", "--key", keys / "a.pub")
    assert r.returncode == 0, r.stderr
    r = tool("sign", keys / "b.key", package, "-t", "release 7")
    assert r.returncode == 0, r.stderr
    r = tool("verify", package, "--key", keys / "b.pub")
    assert r.returncode == 0 and "trusted comment: release 7" in r.stdout
    r = tool("keygen", tmp_path / "n.key", tmp_path / "n.pub", "--no-password")
    assert r.returncode == 0 and "NOT encrypted" in r.stdout
    r = tool("verify", package, "-v", "--key", keys / "b.pub")
    assert r.returncode == 0 and "CRC of packed is OK" in r.stderr
    # "--" ends the options: a name that begins with "-".
    odd = tmp_path / "-odd.f"
    shutil.copyfile(package, odd)
    r = tool("scramble", "--", "-odd.f", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert "-odd.f: a plain package again" in r.stdout


# -- messages that say what to do ----------------------------------------------------

def key_id(pub):
    """The key id a public-key file names in its comment line."""
    return pub.read_text().split("\n", 1)[0].rsplit(" ", 1)[1]


def a_signed_package(tool, tmp_path, keys):
    src = folder(tmp_path, good_files())
    package = tmp_path / "command.f"
    assert tool("create", "--sign", keys / "a.key", src, package).returncode == 0
    return package


def not_a_package(tool, tmp_path, keys):
    package = tmp_path / "command.f"
    package.write_bytes(bytes((i * 131 + 7) % 251 for i in range(5000)))
    return package


def linked_package(tool, tmp_path, keys):
    package = a_signed_package(tool, tmp_path, keys)
    os.symlink("command.f", tmp_path / "latest.f")
    return tmp_path / "latest.f"


# (id, a maker of the package, the command's arguments after it, exit status,
# the words that matter with {keys} and {a}, {b}, {e} for the key ids, and
# the words that must not stand there).
MESSAGES = [
    ("link_named_as_the_package", linked_package, ["verify"], 1,
     "latest.f is a symbolic link (to command.f): the board takes in no link; name the file "
     "itself", "Success"),
    ("link_named_as_the_package_list", linked_package, ["list"], 1,
     "latest.f is a symbolic link (to command.f)", "Success"),
    ("link_named_as_the_package_scramble", linked_package, ["scramble"], 1,
     "latest.f is a symbolic link (to command.f)", "Success"),
    ("not_a_package", not_a_package, ["verify"], 1,
     "command.f: the daemon refuses the package: not a package: its first 808 bytes are no "
     "package's record, plain or scrambled", "CRC"),
    ("wrong_key", a_signed_package, ["verify", "--key", "{keys}/b.pub"], 1,
     "the board refuses the package: no trusted key with its key id (key id {a}): it is signed "
     "by key id {a}, and the keys given have key id {b}; give the public key {a}, or sign with "
     "the secret key of one given", None),
    ("wrong_keys", a_signed_package, ["verify", "--key", "{keys}/b.pub", "--key", "{keys}/e.pub"],
     1, "and the keys given have key ids {b}, {e}; give the public key {a}", None),
    ("secret_key_given_to_verify", a_signed_package, ["verify", "--key", "{keys}/a.key"], 1,
     "{keys}/a.key is a secret key, not a public key: the two keys are swapped; give the public "
     "key of the pair", "is not a public key"),
    ("public_key_given_to_sign", a_signed_package, ["sign", "{keys}/a.pub"], 1,
     "{keys}/a.pub is a public key, not a secret key: the two keys are swapped", None),
    ("missing_public_key", a_signed_package, ["verify", "--key", "{keys}/missing.pub"], 1,
     "cannot read the public key {keys}/missing.pub: no such file", ": missing"),
    ("missing_secret_key", a_signed_package, ["sign", "{keys}/missing.key"], 1,
     "cannot read the secret key {keys}/missing.key: no such file", ": missing"),
]


@pytest.mark.parametrize("name,make,args,status,words,not_words", MESSAGES,
                         ids=[m[0] for m in MESSAGES])
def test_messages_say_what_to_do(tool, tmp_path, keys, name, make, args, status, words,
                                 not_words):
    package = make(tool, tmp_path, keys)
    ids = {"keys": keys, "a": key_id(keys / "a.pub"), "b": key_id(keys / "b.pub"),
           "e": key_id(keys / "e.pub")}
    args = [a.format(**ids) for a in args]
    # The package goes last, where the command takes it (sign: after the key).
    before = package.read_bytes()
    r = tool(*args, package)
    assert r.returncode == status, r.stdout + r.stderr
    assert words.format(**ids) in r.stderr
    if not_words:
        assert not_words not in r.stderr
    assert package.read_bytes() == before


def test_list_of_what_is_not_a_package_shows_no_record(tool, tmp_path, keys):
    package = not_a_package(tool, tmp_path, keys)
    r = tool("list", package)
    assert r.returncode == 1
    assert r.stdout.startswith(f"package: {package}\n  5000 bytes\n  the daemon refuses it: not a "
                               "package: its first 808 bytes are no package's record")
    assert "entries" not in r.stdout and "checksum" not in r.stdout


def test_create_names_the_file_over_the_size_limit(tool, tmp_path):
    src = folder(tmp_path, good_files())
    with open(src / "big.bin", "wb") as f:
        f.truncate(2 ** 31)  # sparse: no room taken
    r = tool("create", src, tmp_path / "command.f")
    assert r.returncode == 1
    size = 2 ** 31 + 808 + 2 + sum(len(v) for v in good_files().values())
    assert (f"the package would have {size} bytes, and a package stays below 2 GiB (2147483647 "
            f"bytes): big.bin alone has 2147483648 bytes; leave it out or make it smaller"
            in r.stderr)
    assert not (tmp_path / "command.f").exists() and leftovers(tmp_path) == []


def test_a_script_row_with_arguments_asks_for_a_wrapper(tool, tmp_path):
    src = folder(tmp_path, good_files(**{"work_list.f": "<0001>{update.sh --full}\n",
                                         "update.sh": "#!/bin/sh\n"}))
    r = tool("create", "--force", src, tmp_path / "command.f")
    assert r.returncode == 1
    assert ("work_list.f row 1: the daemon refuses the script name 'update.sh --full': the board "
            "runs a bare script name, without arguments; name a wrapper script in the row, whose "
            "command is: exec \"$(dirname \"$0\")/update.sh\" --full") in r.stderr
    assert not (tmp_path / "command.f").exists()


# Hidden and backup files: a warning, and the package is written all the
# same (they do the board no harm).
STRAY_FILES = [
    (".DS_Store", ".DS_Store is a hidden file: it is packed like any other and takes one of the "
                  "package's 20 places; remove it from the folder unless the task needs it"),
    (".env", ".env is a hidden file"),
    ("run.sh~", "run.sh~ is an editor's backup file: it is packed like any other"),
]


@pytest.mark.parametrize("stray,message", STRAY_FILES, ids=[s[0] for s in STRAY_FILES])
def test_create_warns_about_hidden_and_backup_files(tool, tmp_path, stray, message):
    src = folder(tmp_path, good_files(**{stray: "x"}))
    package = tmp_path / "command.f"
    r = tool("create", src, package)
    assert r.returncode == 0, r.stderr
    assert "ut_pack: create: warning: " + message in r.stderr
    assert stray in r.stdout, "listed among what it packed"
    r = tool("verify", package)
    assert r.returncode == 0 and "ut_pack: verify: warning: " + message in r.stderr


# Symbolic links in the folder: never followed, with or without --force.
LINKS = [
    ("to_a_file_beside", lambda d: os.symlink("run.sh", d / "again.sh")),
    ("to_a_file_outside", lambda d: os.symlink("/etc/hostname", d / "host.txt")),
    ("dangling", lambda d: os.symlink("nowhere", d / "gone.txt")),
    ("to_a_folder", lambda d: os.symlink("/etc", d / "etc")),
    ("the_work_list", lambda d: (os.rename(d / "work_list.f", d / "rows.txt"),
                                 os.symlink("rows.txt", d / "work_list.f"))),
]


@pytest.mark.parametrize("force", [False, True], ids=["", "forced"])
@pytest.mark.parametrize("name,make", LINKS, ids=[link[0] for link in LINKS])
def test_create_never_follows_a_link_in_the_folder(tool, tmp_path, name, make, force):
    src = folder(tmp_path, good_files())
    make(src)
    r = tool("create", *(["--force"] if force else []), src, tmp_path / "command.f")
    assert r.returncode == 1
    assert re.search(r"error: \S+ is a symbolic link: a package holds plain files only; copy the "
                     r"file itself into the folder", r.stderr), r.stderr
    assert not (tmp_path / "command.f").exists() and leftovers(tmp_path) == []


# -- --json: the facts and the verdict as one object ---------------------------------

@pytest.mark.parametrize("command", ["list", "verify"])
@pytest.mark.parametrize("which", [0, 1], ids=["plain", "scrambled"])
def test_json_of_a_good_package(tool, packages, command, which):
    package = packages[which]
    r = tool(command, package, "--json")
    assert r.returncode == 0, r.stderr
    obj = as_json(r)
    data = package.read_bytes()
    assert obj["package"] == str(package)
    assert obj["size"] == len(data)
    assert obj["scrambled"] is bool(which)
    plain = packages[0].read_bytes()
    stored = f"0x{struct.unpack('<H', plain[-2:])[0]:04x}"
    assert obj["checksum"] == {"stored": stored, "computed": stored, "ok": True}
    sizes = {n: len(v) for n, v in good_files().items()}
    sizes["data.bin"] = 10240
    offset, entries = 808, []
    for name in sorted(sizes):
        entries.append({"name": name, "offset": offset, "size": sizes[name]})
        offset += sizes[name]
    assert obj["entries"] == entries
    assert obj["rows"] == [
        {"code": "0001", "name": "run.sh", "action": "runs the script"},
        {"code": "0002", "name": "remove_temp_folder", "action": "runs the built-in"}]
    assert obj["signature"] is None
    assert obj["verdict"] == "good"
    assert obj["reason"] == "the daemon takes it in and loads its work list (2 rows)"


def test_json_of_a_file_that_is_no_package_and_of_a_link(tool, tmp_path, keys):
    package = not_a_package(tool, tmp_path, keys)
    obj = as_json(tool("list", "--json", package))
    assert obj == {"package": str(package), "size": 5000, "scrambled": None, "checksum": None,
                   "entries": [], "rows": [], "signature": None, "verdict": "refused",
                   "reason": f"{package}: the daemon refuses the package: not a package: its "
                             "first 808 bytes are no package's record, plain or scrambled (is "
                             "it the right file?)"}
    os.symlink(package.name, tmp_path / "latest.f")
    r = tool("verify", "--json", tmp_path / "latest.f")
    assert r.returncode == 1
    obj = as_json(r)
    assert obj["size"] is None and obj["verdict"] == "refused"
    assert obj["reason"] == (f"{tmp_path}/latest.f is a symbolic link (to command.f): the board "
                             "takes in no link; name the file itself")


def test_json_shows_the_signature(tool, tmp_path, keys):
    package = a_signed_package(tool, tmp_path, keys)
    a, b = key_id(keys / "a.pub"), key_id(keys / "b.pub")
    # minisign's default trusted comment: its tabs as the tool shows them.
    obj = as_json(tool("list", "--json", package))
    assert obj["signature"]["file"] == f"{package}.minisig"
    assert obj["signature"]["key_id"] == a
    assert re.fullmatch(r"timestamp:\d+\\x09file:command\.f\\x09hashed",
                        obj["signature"]["trusted_comment"]), obj["signature"]
    assert obj["signature"]["fields"] == {"boards": None, "types": None, "sequence": None}
    assert tool("sign", "-t", "release 7", keys / "a.key", package).returncode == 0
    r = tool("verify", "--json", "--key", keys / "a.pub", package)
    assert r.returncode == 0, r.stderr
    obj = as_json(r)
    assert obj["signature"] == {"file": f"{package}.minisig", "key_id": a,
                                "trusted_comment": "release 7",
                                "fields": {"boards": None, "types": None, "sequence": None}}
    assert obj["verdict"] == "good"
    assert obj["reason"].endswith("; the board holding the keys given takes its signature")
    # The board with another key refuses it.
    r = tool("verify", "--json", "--key", keys / "b.pub", package)
    assert r.returncode == 1
    obj = as_json(r)
    assert obj["verdict"] == "refused" and obj["signature"]["key_id"] == a
    assert obj["reason"].startswith(f"{package}: the board refuses the package: no trusted key "
                                    f"with its key id (key id {a}): it is signed by key id {a}, "
                                    f"and the keys given have key id {b}")
    # A missing key: no package is judged without it.
    r = tool("verify", "--json", "--key", keys / "missing.pub", package)
    assert r.returncode == 1
    assert as_json(r)["reason"] == f"cannot read the public key {keys}/missing.pub: no such file"


# Names in the object: escaped once, as list prints them; a byte that is no
# UTF-8 shows as \xNN too, so the object stays valid JSON.
JSON_NAMES = [
    ("entry_with_an_escape", craft([("work_list.f", GOOD_ROWS), ("run.sh", "#!/bin/sh\n"),
                                    (b"a\x1b[2J\nI forged: ok", "x")]),
     "entries", "name", "a\\x1b[2J\\x0aI forged: ok"),
    ("entry_not_utf8", craft([("work_list.f", GOOD_ROWS), ("run.sh", "#!/bin/sh\n"),
                              (b"caf\xe9.txt", "x")]), "entries", "name", "caf\\xe9.txt"),
    ("entry_utf8", craft([("work_list.f", GOOD_ROWS), ("run.sh", "#!/bin/sh\n"),
                          ("отчёт.txt", "x")]), "entries", "name", "отчёт.txt"),
    ("entry_with_a_quote_and_a_backslash",
     craft([("work_list.f", GOOD_ROWS), ("run.sh", "#!/bin/sh\n"), ('a"b\\c', "x")]),
     "entries", "name", 'a"b\\x5cc'),
    ("row_name", craft([("work_list.f", "<0003>{\x1b]0;pwned\x07}\n<0001>{run.sh}\n"),
                        ("run.sh", "#!/bin/sh\n")]), "rows", "name", "\\x1b]0;pwned\\x07"),
    ("row_code", craft([("work_list.f", "<\x1b[m>{x}\n<0001>{run.sh}\n"),
                        ("run.sh", "#!/bin/sh\n")]), "rows", "code", "\\x1b[m"),
]


@pytest.mark.parametrize("name,data,part,key,shown", JSON_NAMES, ids=[n[0] for n in JSON_NAMES])
def test_json_names_are_escaped_once(tool, tmp_path, name, data, part, key, shown):
    package = tmp_path / "command.f"
    package.write_bytes(data)
    r = tool("list", "--json", package)
    assert no_raw_control_bytes(r.stdout)
    obj = as_json(r)
    assert shown in [item[key] for item in obj[part]], obj[part]
    # The text listing shows the same (there, a byte that is no UTF-8 goes
    # out as it is).
    if name != "entry_not_utf8":
        assert shown in tool("list", package).stdout


# -- the README's recipe, copied from the rendered page -------------------------------

README = Path(__file__).resolve().parent.parent.parent / "README.md"


def rendered_code_blocks():
    """The code blocks of the README as the page shows them (cmark-gfm, the
    renderer of GitHub's pages), each as the text a copy takes."""
    if shutil.which("cmark-gfm") is None:
        pytest.skip("needs cmark-gfm to render the README")
    page = subprocess.run(["cmark-gfm", README], capture_output=True, text=True,
                          check=True).stdout
    return [html.unescape(b) for b in re.findall(r"<pre><code[^>]*>(.*?)</code></pre>", page, re.S)]


def test_no_code_block_of_the_readme_renders_indented():
    for block in rendered_code_blocks():
        lines = [line for line in block.splitlines() if line]
        assert not all(line.startswith(" ") for line in lines), block


def test_the_readme_recipe_copied_from_the_page_makes_a_package(ut_pack_path, tmp_path):
    blocks = rendered_code_blocks()
    folder_step = next(b for b in blocks if b.startswith("mkdir service\n"))
    pack_step = next(b for b in blocks if b.startswith("build/ut_pack create --scramble"))
    page = tmp_path / "page"
    (page / "build").mkdir(parents=True)
    os.symlink(ut_pack_path, page / "build" / "ut_pack")
    env = dict(os.environ, TMPDIR=str(tmp_path))
    for step in (folder_step, pack_step):
        r = subprocess.run(["sh", "-ec", step], cwd=page, capture_output=True, text=True, env=env)
        assert r.returncode == 0, step + r.stdout + r.stderr
    assert (page / "service" / "work_list.f").read_text() == \
        "<0001>{collect.sh}\n<0002>{remove_temp_folder}\n"
    assert (page / "service" / "collect.sh").read_text().startswith("#!/bin/sh\n")
    assert "good: the daemon takes it in" in r.stdout


# The fields the board reads, as its own parser reads them: (the options or
# the trusted comment, the fields).
JSON_FIELDS = [
    (["--board", "RX-00042", "--board", "RX-00043", "--type", "recorder-v2"],
     {"boards": ["RX-00042", "RX-00043"], "types": ["recorder-v2"], "sequence": None}),
    # A sequence past the integers a JSON reader keeps exactly: a string.
    (["--sequence", "9223372036854775807"],
     {"boards": None, "types": None, "sequence": "9223372036854775807"}),
    ("boards:", {"malformed": "the field boards is not a list of names (1 to 63 of A-Z a-z 0-9 . _ "
                              "-, separated by \",\")"}),
    ("sequence:1\tsequence:2", {"malformed": "the field sequence is given twice"}),
]


@pytest.mark.parametrize("given,fields", JSON_FIELDS, ids=["lists", "sequence", "malformed_list",
                                                           "field_twice"])
def test_json_shows_the_fields_the_board_reads(tool, tmp_path, keys, given, fields):
    src = folder(tmp_path, good_files())
    package = tmp_path / "command.f"
    if isinstance(given, list):
        r = tool("create", "--sign", keys / "a.key", *given, src, package)
        assert r.returncode == 0, r.stderr
    else:
        # ut_pack signs no malformed field: the comment line is changed in a
        # signature file, which still parses (list does not check it).
        assert tool("create", "--sign", keys / "a.key", src, package).returncode == 0
        signature = tmp_path / "command.f.minisig"
        lines = signature.read_text().split("\n")
        lines[2] = "trusted comment: " + given
        signature.write_text("\n".join(lines))
    obj = as_json(tool("list", "--json", package))
    assert obj["signature"]["fields"] == fields


def test_json_of_the_boards_decision(tool, tmp_path, keys):
    src = folder(tmp_path, good_files())
    package = tmp_path / "command.f"
    r = tool("create", "--sign", keys / "a.key", "--board", "RX-00040", src, package)
    assert r.returncode == 0, r.stderr
    (tmp_path / "board").write_text("id = RX-00042\n")
    r = tool("verify", "--json", "--key", keys / "a.pub", "--board-file", tmp_path / "board",
             package)
    assert r.returncode == 1
    obj = as_json(r)
    assert obj["verdict"] == "refused"
    assert obj["reason"] == (f"{package}: the board refuses the package: made for boards "
                             "RX-00040; this board is RX-00042")
    (tmp_path / "board").write_text("id = RX-00040\n")
    r = tool("verify", "--json", "--key", keys / "a.pub", "--board-file", tmp_path / "board",
             package)
    assert r.returncode == 0, r.stderr
    assert as_json(r)["verdict"] == "good"
