"""Faults the real daemon must survive: a full log folder, a working folder it
cannot write, damaged packages on the stick, a pid file that points at a
process with no memory of its own."""

import random
import subprocess
from pathlib import Path

import pytest

from harness import Stick, script, wait_until

SERVICE_PHASE = "failed to check memory"
TRACE = script("echo ran > /home/trace\n")
ROWS = "<0001>{trace.sh}\n<0002>{remove_temp_folder}\n"


@pytest.fixture
def scrambled_package(tmp_path, build_dir):
    src = tmp_path / "pkg"
    src.mkdir()
    (src / "work_list.f").write_text(ROWS)
    (src / "trace.sh").write_text(TRACE)
    out = tmp_path / "command.f"
    subprocess.run([str(build_dir / "ut_pack"), "create", "--scramble", str(src), str(out)],
                   check=True, capture_output=True)
    return out.read_bytes()


def tree(root):
    """Every path below root, relative, sorted."""
    return sorted(str(p.relative_to(root)) for p in Path(root).rglob("*"))


def test_full_log_folder_loses_only_log_lines(board, scrambled_package):
    b = board(stick=Stick({"command.f": scrambled_package}), faketime_rate=20)
    logs = b.work / "logs"
    logs.mkdir()
    b.setup = [f"mount -t tmpfs -o size=64k,nr_inodes=64 tmpfs '{logs}'",
               f"dd if=/dev/zero of='{logs}/filler' bs=4k 2>/dev/null || true"]
    b.start()
    # The daemon goes on through its states without its log: the work list runs.
    wait_until(lambda: (b.home / "trace").exists(), what="work list run")
    inside_logs = b.ns_path(logs)
    assert not any(b"work list was created" in p.read_bytes()
                   for p in inside_logs.iterdir() if p.name.endswith(".log"))
    # Space again: the lines of the service phase come back.
    (inside_logs / "filler").unlink()
    wait_until(lambda: any(b"failed to check memory" in p.read_bytes()
                           for p in inside_logs.iterdir() if p.name.endswith(".log")),
               what="log lines after space was freed")
    assert b.running()
    b.stop()


def test_working_folder_that_cannot_be_written(board, scrambled_package):
    b = board(stick=Stick({"command.f": scrambled_package}), log_level=None,
                    faketime_rate=20)
    b.setup = [f"mount --bind '{b.work}' '{b.work}'",
               f"mount -o remount,ro,bind '{b.work}'"]
    b.start()
    wait_until(lambda: (b.home / "trace").exists(), what="work list run")
    complaint = "can't create default .ini file: c_log.ini\nFailed to get settings\n"
    # The start-up phase complains at each of its lines: the passes after it
    # come once the work list's last row has removed the temporary folder.
    wait_until(lambda: not (b.home / "velmarok" / "ut_temp").exists(),
               what="the work list's end")
    start_up = b.stdout().count(complaint)
    wait_until(lambda: b.stdout().count(complaint) >= start_up + 10,
               what="complaints of later passes")
    assert b.running()
    b.stop()
    out = b.stdout()
    assert out.replace(complaint, "") == "", "nothing else on standard output"
    assert b.stderr() == ""
    assert not (b.work / "c_log.ini").exists() and not (b.work / "logs").exists()


def damaged(data, seed):
    """A handful of damaged forms of a package: truncations and changes."""
    rng = random.Random(seed)
    cases = [data[:n] for n in (0, 1, 807, 808, 809, len(data) // 2, len(data) - 1)]
    for _ in range(4):
        at = rng.randrange(len(data) - 3)
        bad = bytearray(data)
        bad[at] ^= 1 << rng.randrange(8)
        cases.append(bytes(bad))
    return cases


@pytest.mark.parametrize("case", range(11))
def test_damaged_package_is_refused_and_stays_on_the_stick(board, scrambled_package, case):
    data = damaged(scrambled_package, 20261210)[case]
    b = board(stick=Stick({"command.f": data, "other.txt": "kept"}))
    messages = [l.message for l in b.run(until=SERVICE_PHASE)]
    assert "failed to unpack task file" in messages
    assert "work list was created" not in messages
    # On the stick: as it was. In /home: nothing but the temporary folder.
    assert (b.stick_out / "command.f").read_bytes() == data
    assert (b.stick_out / "other.txt").read_text() == "kept"
    assert [p for p in tree(b.home)
            if not p.startswith("velmarok/ut_temp")] == ["velmarok", "velmarok/var"]
    temp = b.home / "velmarok" / "ut_temp"
    assert all((temp / p).is_file() for p in tree(temp))
    assert not (b.home / "trace").exists()


@pytest.mark.parametrize("pid,why", [
    ("2", "a kernel thread"),
    ("999999999", "no such process"),
])
def test_pid_file_pointing_at_a_process_without_memory(board, pid, why):
    # kthreadd is pid 2 where the kernel's threads are visible.
    if pid == "2" and "kthreadd" not in Path("/proc/2/status").read_text():
        pytest.skip("no kernel thread visible as pid 2 here")
    b = board(diskstats=(), faketime_rate=100)
    (b.home / "velmarok" / "var" / "velmarok.pid").write_text(pid + "\n")
    if pid == "2":
        # Not main's pid: refused as an unreadable pid file.
        expected = f"pid {pid} from file is not main: runs []"
    else:
        # main's pid that names no process: main's memory cannot be read.
        expected = f"failed to get rss_memory from: /proc/{pid}/status"
    log = b.run(until=expected)
    messages = [l.message for l in log]
    assert expected in messages
    assert not any("was killed" in m for m in messages)


@pytest.mark.parametrize("scramble", [False, True], ids=["plain", "scrambled"])
def test_package_that_does_not_fit_stays_on_the_stick(board, build_dir, tmp_path, scramble):
    # A 40 MB package and a 16 MB data partition under /home/velmarok/.
    src = tmp_path / "big"
    src.mkdir()
    (src / "work_list.f").write_text(ROWS)
    (src / "trace.sh").write_text(TRACE)
    (src / "big.bin").write_bytes(random.Random(5).randbytes(40 * 1024 * 1024))
    out = tmp_path / "command.f"
    subprocess.run([str(build_dir / "ut_pack"), "create"] + (["--scramble"] if scramble else []) +
                   [str(src), str(out)], check=True, capture_output=True)
    size = out.stat().st_size
    b = board(stick=Stick({"command.f": out}))
    b.setup = ["mount -t tmpfs -o size=16m tmpfs /home/velmarok",
               "mkdir /home/velmarok/var"]
    # What is left in the temporary folder, and whether the application can
    # still write 100 kB.
    b.teardown = [f"ls -A /home/velmarok/ut_temp > '{b.root}/left'",
                  "dd if=/dev/zero of=/home/velmarok/app.bin bs=100k count=1 2>/dev/null",
                  f"stat -c %s /home/velmarok/app.bin > '{b.root}/app_size'"]
    log = b.run(until=SERVICE_PHASE)
    refused = [l for l in log if l.message.startswith("not enough space for package")]
    assert len(refused) == 1 and refused[0].level == "E", refused
    unpacked = size if scramble else 40 * 1024 * 1024 + len(ROWS) + len(TRACE)
    reserve = 16 * 1024 * 1024 // 20
    assert refused[0].message.startswith(
        f"not enough space for package of {size} bytes and {unpacked} to unpack: "
        f"{size + unpacked} bytes needed, {reserve} kept free, ")
    assert refused[0].message.endswith(" available in /home/velmarok/ut_temp/")
    messages = [l.message for l in log]
    assert "work list was created" not in messages
    assert (b.stick_out / "command.f").read_bytes() == out.read_bytes(), "stays on the stick"
    assert (b.root / "left").read_text() == ""
    assert (b.root / "app_size").read_text().strip() == str(100 * 1024)
