"""ut_pack, the service engineer's tool, from its command line: each command's
success path and refusals with their exit status and message, and the golden
package whose bytes `create` must reproduce."""

import os
import shutil
import sqlite3
import subprocess
from pathlib import Path

import pytest

DATA = Path(__file__).resolve().parent.parent / "data"
GOOD_ROWS = "<0001>{run.sh}\n<0002>{remove_temp_folder}\n"


@pytest.fixture(scope="session")
def ut_pack_path(build_dir):
    path = build_dir / "ut_pack"
    assert path.exists(), f"{path} is not built"
    return path


@pytest.fixture
def tool(ut_pack_path, tmp_path):
    """tool(*args) -> CompletedProcess, run in a private working folder."""
    work = tmp_path / "cwd"
    work.mkdir()

    def run(*args, cwd=work):
        return subprocess.run([str(ut_pack_path), *map(str, args)], cwd=cwd,
                              capture_output=True, text=True)

    yield run
    # The tool never leaves a log settings file or a log folder behind.
    assert os.listdir(work) == []


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


@pytest.mark.parametrize("args", [
    [], ["bogus"], ["--bogus"], ["create"], ["create", "only-folder"], ["list"],
    ["list", "a", "b"], ["verify"], ["extract", "p"], ["scramble"], ["db-status"],
    ["describe", "f"], ["describe", "f", "x" * 58],
])
def test_usage_errors(tool, args):
    r = tool(*args)
    assert r.returncode == 2
    assert r.stdout == ""
    assert r.stderr


# -- create --------------------------------------------------------------------

@pytest.mark.parametrize("scramble", [False, True], ids=["plain", "scrambled"])
def test_create_reproduces_the_golden_package(tool, tmp_path, scramble):
    out = tmp_path / "stick.f"
    args = ["create"] + (["--scramble"] if scramble else []) + [DATA / "service_stick", out]
    r = tool(*args)
    assert r.returncode == 0, r.stderr
    assert r.stdout == f"{out}: 3 files, 1149 bytes, {'scrambled' if scramble else 'plain'}\n"
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
    assert tool("create", a, tmp_path / "a.f").returncode == 0
    assert tool("create", b, tmp_path / "b.f").returncode == 0
    assert (tmp_path / "a.f").read_bytes() == (tmp_path / "b.f").read_bytes()
    entries = entry_names(tool("list", tmp_path / "a.f").stdout)
    assert entries == sorted(names + ["run.sh", "work_list.f"])


def entry_names(listing):
    """The names of the entries table of `ut_pack list`."""
    table = listing.split("offset       size\n", 1)[1].split("work list:", 1)[0]
    return [line.split()[1] for line in table.splitlines()]


def test_create_leaves_the_folder_as_it_was(tool, tmp_path):
    src = folder(tmp_path, good_files())
    before = {n: (src / n).read_bytes() for n in os.listdir(src)}
    assert tool("create", src, tmp_path / "p.f").returncode == 0
    assert {n: (src / n).read_bytes() for n in os.listdir(src)} == before


REFUSALS = [
    ("no_work_list", {"run.sh": "x"}, "no work_list.f"),
    ("malformed_work_list", good_files(**{"work_list.f": "<0001>{run.sh}\n\n"}),
     "failed to get state of task row"),
    ("script_not_in_folder", good_files(**{"work_list.f": "<0001>{gone.sh}\n"}),
     "the script gone.sh is not in the package"),
    ("script_name_refused", good_files(**{"work_list.f": "<0001>{a b.sh}\n", "a b.sh": "x"}),
     "the daemon refuses the script name 'a b.sh'"),
    ("unknown_function", good_files(**{"work_list.f": "<0002>{reboot}\n"}),
     "'reboot' is not a built-in function"),
    ("21_files", good_files(**{f"x{i}": "x" for i in range(19)}), "21 files: a package holds at most 20"),
    ("name_too_long", good_files(**{"n" * 32: "x"}), "longer than 31 characters"),
]


@pytest.mark.parametrize("name,files,message", REFUSALS, ids=[r[0] for r in REFUSALS])
def test_create_refuses_what_the_daemon_would_reject(tool, tmp_path, name, files, message):
    src = folder(tmp_path, files)
    out = tmp_path / "p.f"
    out.write_bytes(b"an older package")
    r = tool("create", src, out)
    assert r.returncode == 1
    assert message in r.stderr
    assert out.read_bytes() == b"an older package", "nothing written"
    assert leftovers(tmp_path) == []


def test_create_refuses_a_sub_folder_and_a_package_inside_the_folder(tool, tmp_path):
    src = folder(tmp_path, good_files())
    r = tool("create", src, src / "p.f")
    assert r.returncode == 2 and "is inside" in r.stderr
    assert not (src / "p.f").exists()
    (src / "sub").mkdir()
    r = tool("create", src, tmp_path / "p.f")
    assert r.returncode == 1 and "sub is a sub-folder" in r.stderr
    assert not (tmp_path / "p.f").exists()


def test_create_warns_but_packs(tool, tmp_path):
    rows = "<0003>{run.sh}\n<0002>{remove_temp_folder}\n<0001>{run.sh}\n"
    src = folder(tmp_path, good_files(**{"work_list.f": rows}))
    r = tool("create", src, tmp_path / "p.f")
    assert r.returncode == 0
    assert "warning: work_list.f row 1: code '0003' is neither 0001 nor 0002" in r.stderr
    assert "warning: work_list.f row 3: comes after remove_temp_folder" in r.stderr
    assert (tmp_path / "p.f").exists()


def test_create_into_a_missing_folder_fails_cleanly(tool, tmp_path):
    src = folder(tmp_path, good_files())
    r = tool("create", src, tmp_path / "nowhere" / "p.f")
    assert r.returncode == 1 and r.stderr


# -- list, verify, extract ------------------------------------------------------

@pytest.fixture
def packages(tool, tmp_path):
    src = folder(tmp_path, good_files(**{"data.bin": bytes(range(256)) * 40}))
    plain, scrambled = tmp_path / "plain.f", tmp_path / "scrambled.f"
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


def test_list_and_verify_refuse_foreign_and_truncated_files(tool, tmp_path, packages):
    foreign = tmp_path / "foreign.f"
    foreign.write_bytes(b"not a package at all\n")
    truncated = tmp_path / "truncated.f"
    truncated.write_bytes(packages[1].read_bytes()[:900])
    for f in (foreign, truncated):
        assert tool("list", f).returncode == 1
        r = tool("verify", f)
        assert r.returncode == 1
        assert "refuses" in r.stderr or "not a package" in r.stderr
    assert tool("verify", tmp_path / "missing.f").returncode == 1


def test_verify_good_packages_without_changing_them(tool, packages):
    for package in packages:
        before = package.read_bytes()
        r = tool("verify", package)
        assert r.returncode == 0, r.stderr
        assert "good: the daemon takes it in and loads its work list (2 rows)" in r.stdout
        assert package.read_bytes() == before


def test_verify_reasons(tool, tmp_path, packages, raw_pack):
    broken = tmp_path / "broken.f"
    data = bytearray(packages[1].read_bytes())
    data[1000] ^= 1
    broken.write_bytes(bytes(data))
    r = tool("verify", broken)
    assert r.returncode == 1 and "CRC error: read crc = " in r.stderr

    # A plain package's checksum is not checked by the daemon: a warning.
    wrong = tmp_path / "wrong.f"
    data = bytearray(packages[0].read_bytes())
    data[-1] ^= 0xFF
    wrong.write_bytes(bytes(data))
    r = tool("verify", wrong)
    assert r.returncode == 0 and "warning" in r.stderr and "checksum is wrong" in r.stderr

    for files, message in [({"run.sh": "x", "other": "y"}, "no work_list.f"),
                           ({"work_list.f": "junk\n"}, "failed to get state of task row")]:
        src = folder(tmp_path, files, "f" + str(len(message)))
        pkg = tmp_path / (src.name + ".f")
        raw_pack(src, pkg)
        r = tool("verify", pkg)
        assert r.returncode == 1 and message in r.stderr


@pytest.fixture
def raw_pack(build_dir):
    """Packs a folder the tool would refuse, with the library's packer."""
    def run(src, out):
        subprocess.run([str(build_dir / "tests" / "make_package"), str(src) + "/", str(out)],
                       check=True, cwd=src.parent, capture_output=True)
    return run


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
    assert r.returncode == 1
    assert not (tmp_path / "out2").exists()
    assert leftovers(tmp_path) == []


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
