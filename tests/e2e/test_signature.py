"""Signed task packages: the daemon with and without a folder of trusted keys,
and ut_pack's keys and signatures against Debian's real minisign, both ways."""

import base64
import datetime
import hashlib
import os
import pty
import re
import shutil
import subprocess
from pathlib import Path

import pytest

from harness import Stick, script

EXAMPLES = Path(__file__).resolve().parent.parent.parent / "examples"
SERVICE_PHASE = "failed to check memory"
SIG_ON_STICK = "/media/stick/command.f.minisig"
KEYS = "/etc/usb_tools/keys/"
TRACE_SCRIPT = script("""
    echo ran > /home/trace
""")
PASSWORD = "correct horse"

needs_minisign = pytest.mark.skipif(shutil.which("minisign") is None,
                                    reason="Debian's minisign is not installed")


def run_with_terminal(args, password=None, cwd=None):
    """Runs a program on a pseudo-terminal, answering every password prompt.
    Returns (exit status, everything it wrote)."""
    pid, fd = pty.fork()
    if pid == 0:
        if cwd:
            os.chdir(cwd)
        os.execvp(args[0], [str(a) for a in args])
    out = b""
    while True:
        try:
            data = os.read(fd, 4096)
        except OSError:
            break
        if not data:
            break
        out += data
        if b"assword" in data and password is not None:
            os.write(fd, password.encode() + b"\n")
    os.close(fd)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status), out.decode(errors="replace")


def key_id(pub):
    """The key id as the daemon and ut_pack print it: 16 hex digits of the
    little-endian number in the key (minisign's own comment line drops the
    leading zeros)."""
    blob = base64.b64decode(pub.read_text().splitlines()[1])
    return "%016X" % int.from_bytes(blob[2:10], "little")


@pytest.fixture(scope="module")
def keys(tmp_path_factory, build_dir):
    """Key pairs made once for the module: by ut_pack and by minisign, with and
    without a password."""
    d = tmp_path_factory.mktemp("keys")
    ut_pack = build_dir / "ut_pack"
    (d / "password").write_text(PASSWORD + "\n")
    for name in ("ut", "other"):
        subprocess.run([ut_pack, "keygen", "--no-password", d / f"{name}.sec",
                        d / f"{name}.pub"], check=True, capture_output=True)
    subprocess.run([ut_pack, "keygen", "--password-file", d / "password", d / "ue.sec",
                    d / "ue.pub"], check=True, capture_output=True)
    if shutil.which("minisign"):
        subprocess.run(["minisign", "-G", "-W", "-p", d / "mw.pub", "-s", d / "mw.sec"],
                       check=True, capture_output=True)
        status, out = run_with_terminal(["minisign", "-G", "-p", d / "me.pub", "-s",
                                         d / "me.sec"], PASSWORD)
        assert status == 0, out
    return d


@pytest.fixture
def tool(build_dir):
    def run(*args, cwd=None):
        return subprocess.run([str(build_dir / "ut_pack"), *map(str, args)],
                              capture_output=True, text=True, cwd=cwd)
    return run


@pytest.fixture
def signed(tmp_path, tool, keys):
    """signed(signer, scramble=True) -> (package bytes, signature text) made
    by ut_pack create and the given signer."""
    count = [0]

    def make(signer="ut", scramble=True, legacy=False, comment=None, mark=None):
        count[0] += 1
        src = tmp_path / f"src{count[0]}"
        src.mkdir()
        (src / "work_list.f").write_text("<0001>{trace.sh}\n<0002>{remove_temp_folder}\n")
        (src / "trace.sh").write_text(TRACE_SCRIPT if mark is None else script(f"""
            echo ran > /home/trace
            echo {mark} >> /home/runs
        """))
        pkg = tmp_path / f"out{count[0]}" / "command.f"
        pkg.parent.mkdir()
        r = tool("create", *(["--scramble"] if scramble else []), src, pkg)
        assert r.returncode == 0, r.stderr
        if signer in ("ut", "other", "ue"):
            r = tool("sign", "--password-file", keys / "password",
                     *(["-t", comment] if comment is not None else []), keys / f"{signer}.sec", pkg)
            assert r.returncode == 0, r.stderr
        elif signer == "mw":
            subprocess.run(["minisign", "-S", *(["-l"] if legacy else []),
                            *(["-t", comment] if comment is not None else []), "-s",
                            keys / "mw.sec", "-m", pkg], check=True, capture_output=True)
        elif signer == "me":
            status, out = run_with_terminal(["minisign", "-S", "-s", keys / "me.sec", "-m", pkg],
                                            PASSWORD)
            assert status == 0, out
        sig = pkg.with_name("command.f.minisig")
        return pkg.read_bytes(), sig.read_text() if sig.exists() else None

    return make


def comment_of(sig):
    return sig.splitlines()[2][len("trusted comment: "):]


def shown(comment):
    return comment.replace("\t", "\\x09")


def stick_files(data, sig):
    files = {"command.f": data}
    if sig is not None:
        files["command.f.minisig"] = sig
    return files


# -- the daemon ---------------------------------------------------------------------


@pytest.mark.parametrize("signer", [
    "ut",
    pytest.param("mw", marks=needs_minisign),
    pytest.param("me", marks=needs_minisign),
], ids=["ut_pack", "minisign_W", "minisign_password"])
def test_signed_package_is_taken_in(board, signed, keys, tool, tmp_path, signer):
    data, sig = signed(signer)
    assert base64.b64decode(sig.splitlines()[1])[:2] == b"ED"
    pub = keys / f"{signer}.pub"
    b = board(stick=Stick(stick_files(data, sig)), keys={"board.pub": pub.read_text()})
    log = b.run(until=SERVICE_PHASE)
    line = f"package signed by key id {key_id(pub)}, trusted comment: {shown(comment_of(sig))}"
    assert [l.level for l in log if l.message == line] == ["I"]
    messages = [l.message for l in log]
    # Checked before anything was unscrambled.
    assert messages.index(line) < messages.index("file is crypted, need to repare")
    assert "work list was created" in messages
    assert (b.home / "trace").read_text() == "ran\n"
    assert not (b.stick_out / "command.f").exists()
    assert not (b.stick_out / "command.f.minisig").exists()
    # The receipt shows the comment readably: minisign's default one as a
    # date and a file name.
    stamp = datetime.datetime.fromtimestamp(int(comment_of(sig).split("\t")[0][10:]),
                                            datetime.timezone.utc)
    assert receipt_signature(b) == (f"signature: key id {key_id(pub)}, timestamp "
                                    f"{stamp:%Y-%m-%d %H:%M:%S} UTC, file command.f")
    # ut_pack says the same, and names the key.
    (tmp_path / "check").mkdir()
    (tmp_path / "check" / "command.f").write_bytes(data)
    (tmp_path / "check" / "command.f.minisig").write_text(sig)
    r = tool("verify", "--key", pub, tmp_path / "check" / "command.f")
    assert r.returncode == 0, r.stderr
    assert f"key id {key_id(pub)}" in r.stdout


def changed_comment(sig):
    lines = sig.splitlines()
    lines[2] += " (changed)"
    return "\n".join(lines) + "\n"


def flipped_package(data):
    data = bytearray(data)
    data[len(data) // 2] ^= 0x01
    return bytes(data)


def relabelled(sig):
    """The signature with its algorithm bytes "ED" turned into "Ed"."""
    lines = sig.splitlines()
    blob = base64.b64decode(lines[1])
    assert blob[:2] == b"ED"
    lines[1] = base64.b64encode(b"Ed" + blob[2:]).decode()
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("case", [
    "unsigned", "other_key", "package_changed", "comment_changed", "signature_changed",
    "malformed", "empty_keys_folder", "keys_folder_without_valid_key", "relabelled_legacy",
    pytest.param("minisign_legacy", marks=needs_minisign),
])
def test_refused_package_stays_on_the_stick(board, signed, keys, tool, tmp_path, case):
    signer = {"other_key": "other", "minisign_legacy": "mw"}.get(case, "ut")
    data, sig = signed(signer, legacy=case == "minisign_legacy")
    if case == "minisign_legacy":
        assert base64.b64decode(sig.splitlines()[1])[:2] == b"Ed"
    key_files = {"board.pub": (keys / f"{'mw' if signer == 'mw' else 'ut'}.pub").read_text()}
    kid = key_id(keys / f"{signer}.pub")
    expected = {
        "unsigned": "no signature file: " + SIG_ON_STICK,
        "other_key": "no trusted key with key id " + kid,
        "package_changed": "bad signature by key id " + kid,
        "comment_changed": "bad trusted-comment signature by key id " + kid,
        "signature_changed": "bad signature by key id " + kid,
        "malformed": "malformed signature file: " + SIG_ON_STICK + ": ",
        "empty_keys_folder": "no valid key in " + KEYS,
        "keys_folder_without_valid_key": "no valid key in " + KEYS,
        "relabelled_legacy": f"legacy signature: sign without -l (key id {kid})",
        "minisign_legacy": f"legacy signature: sign without -l (key id {kid})",
    }[case]
    if case == "unsigned":
        sig = None
    elif case == "package_changed":
        data = flipped_package(data)
    elif case == "comment_changed":
        sig = changed_comment(sig)
    elif case == "signature_changed":
        lines = sig.splitlines()
        lines[1] = lines[1][:20] + ("A" if lines[1][20] != "A" else "B") + lines[1][21:]
        sig = "\n".join(lines) + "\n"
    elif case == "malformed":
        sig = "untrusted comment: x\nnot base64\n"
    elif case == "empty_keys_folder":
        key_files = {}
    elif case == "keys_folder_without_valid_key":
        key_files = {"board.pub": "untrusted comment: x\nRWQ=\n", "readme": "not a key"}
    elif case == "relabelled_legacy":
        # The attack: a 64-byte file holding the package's hash, with the
        # package's signature relabelled.
        data = hashlib.blake2b(data, digest_size=64).digest()
        sig = relabelled(sig)
    b = board(stick=Stick(stick_files(data, sig)), keys=key_files)
    log = b.run(until=SERVICE_PHASE)
    refused = [l for l in log if l.message.startswith("package refused: ")]
    assert len(refused) == 1 and refused[0].level == "E", refused
    assert refused[0].message.startswith("package refused: " + expected)
    messages = [l.message for l in log]
    assert "file is crypted, need to repare" not in messages, "refused before unscrambling"
    assert "work list was created" not in messages
    assert "TASK_EXECUTE_PART" not in messages
    assert not (b.home / "trace").exists()
    assert list((b.home / "velmarok" / "ut_temp").iterdir()) == [], \
        "neither the copy nor the signature's copy stays"
    assert (b.stick_out / "command.f").read_bytes() == data
    if sig is not None:
        assert (b.stick_out / "command.f.minisig").read_text() == sig
    # ut_pack verify with the board's keys refuses it as well.
    check = tmp_path / "check"
    check.mkdir()
    (check / "command.f").write_bytes(data)
    if sig is not None:
        (check / "command.f.minisig").write_text(sig)
    folder = tmp_path / "board_keys"
    folder.mkdir()
    for name, text in key_files.items():
        (folder / name).write_text(text)
    r = tool("verify", "--key", folder, check / "command.f")
    assert r.returncode == 1, r.stdout + r.stderr
    if "legacy" in case:
        assert "the board refuses the package: " + expected in r.stderr
        r = tool("list", check / "command.f")
        assert f"names key id {kid} (Ed: boards refuse it: legacy signature: sign without -l)" \
            in r.stdout


def test_without_keys_folder_nothing_changes(board, signed):
    data, sig = signed("ut")
    plain = board(stick=Stick({"command.f": data}))
    before = [(l.level, l.message) for l in plain.run(until=SERVICE_PHASE)]
    assert ("I", "work list was created") in before
    assert not any("signature" in m or "refused" in m for _, m in before)

    with_sig = board(stick=Stick(stick_files(data, sig)))
    after = [(l.level, l.message) for l in with_sig.run(until=SERVICE_PHASE)]
    ignored = ("I", "signature file ignored, no keys folder: " + SIG_ON_STICK)
    assert after.count(ignored) == 1
    after.remove(ignored)
    assert after == before
    assert not (with_sig.stick_out / "command.f").exists()
    assert not (with_sig.stick_out / "command.f.minisig").exists()


def test_any_trusted_key_may_sign_and_bad_key_files_are_named(board, signed, keys):
    data, sig = signed("ut")
    b = board(stick=Stick(stick_files(data, sig)), keys={
        "a-other.pub": (keys / "other.pub").read_text(),
        "b-broken.pub": "untrusted comment: x\n",
        "c-board.pub": (keys / "ut.pub").read_text(),
    })
    log = b.run(until=SERVICE_PHASE)
    messages = [l.message for l in log]
    assert any(m.startswith("package signed by key id " + key_id(keys / "ut.pub"))
               for m in messages)
    assert [l.level for l in log if l.message.startswith("invalid key file: " + KEYS +
                                                         "b-broken.pub")] == ["W"]
    assert "work list was created" in messages


KEYS_ETC = "/etc/usb_tools"


@pytest.mark.parametrize("case,setup,refusal", [
    ("keys_broken_link", ["ln -s /nowhere /etc/usb_tools/keys"],
     KEYS_ETC + "/keys: a link whose target is missing"),
    ("keys_link_loop", ["ln -s /etc/usb_tools/keys /etc/usb_tools/keys"],
     KEYS_ETC + "/keys: a link loop"),
    ("keys_a_file", ["echo x > /etc/usb_tools/keys"], KEYS_ETC + "/keys: not a folder"),
    ("etc_broken_link", ["rmdir /etc/usb_tools", "ln -s /nowhere /etc/usb_tools"],
     KEYS_ETC + ": a link whose target is missing"),
    ("keys_link_to_folder", ["ln -s /etc/real_keys /etc/usb_tools/keys"], None),
    ("etc_link_to_folder", ["rmdir /etc/usb_tools", "mkdir -p /etc/real_etc",
                            "ln -s /etc/real_keys /etc/real_etc/keys",
                            "ln -s /etc/real_etc /etc/usb_tools"], None),
])
def test_keys_folder_is_looked_at_by_its_own_name(board, signed, keys, case, setup, refusal):
    """Only a keys folder that does not exist at all turns the check off: a
    link to nowhere (a data partition not mounted yet) refuses everything,
    unsigned packages first of all. A link to a real folder works."""
    data, sig = signed("ut")
    # The keys live elsewhere in /etc; /etc/usb_tools/keys is replaced.
    prepare = ["mkdir -p /etc/real_keys", "cp -a /etc/usb_tools/keys/. /etc/real_keys/",
               "umount /etc/usb_tools/keys", "rmdir /etc/usb_tools/keys"]
    b = board(stick=Stick(stick_files(data, None if refusal else sig)),
              keys={"board.pub": (keys / "ut.pub").read_text()}, setup=prepare + setup)
    log = b.run(until=SERVICE_PHASE)
    refused = [(l.level, l.message) for l in log if l.message.startswith("package refused: ")]
    if refusal is None:
        assert refused == []
        assert (b.home / "trace").read_text() == "ran\n"
        return
    # An unsigned package: refused for the keys folder, not let through.
    assert refused == [("E", "package refused: keys folder unusable: " + refusal)]
    assert not (b.home / "trace").exists()
    assert (b.stick_out / "command.f").read_bytes() == data


def fake_public_key():
    return "untrusted comment: x\n" + base64.b64encode(b"Ed" + os.urandom(40)).decode() + "\n"


def test_keys_folder_takes_256_keys_in_any_letter_case_and_names_the_rest(board, signed, keys):
    data, sig = signed("ut")
    key_files = {f"k{i:03}.pub": fake_public_key() for i in range(255)}
    # As copied from a FAT stick.
    key_files["RELEASE.PUB"] = (keys / "ut.pub").read_text()
    others = {".hidden.pub": "a hidden name", ".notes": "a hidden name",
              "release.pub~": "the name does not end in .pub"}
    for name in others:
        key_files[name] = (keys / "ut.pub").read_text()
    b = board(stick=Stick(stick_files(data, sig)), keys=key_files)
    log = b.run(until=SERVICE_PHASE)
    messages = [l.message for l in log]
    assert any(m.startswith("package signed by key id " + key_id(keys / "ut.pub"))
               for m in messages)
    assert (b.home / "trace").read_text() == "ran\n"
    skipped = sorted((l.level, l.message) for l in log if "key file" in l.message)
    assert skipped == sorted(("W", f"not a key file, ignored: {KEYS}{name}: {why}")
                             for name, why in others.items())


# -- for one board, once ------------------------------------------------------------

LEDGER = "/var/lib/usb_tools/ledger"
BOARD_FILE = "id = RX-00042\ntype = recorder-v2\n"


def policy_setup(tmp_path, board_file=None, ledger=None, ledger_read_only=False, more=()):
    """Shell lines: the board file in /etc/usb_tools (the overlay of /etc
    that holds the keys), and a tmpfs on /var/lib/usb_tools that lasts as
    long as the namespace, across the daemon's starts."""
    lines = ["mount -t tmpfs -o size=1m,mode=755 tmpfs /var/lib",
             "mkdir /var/lib/usb_tools",
             "mount -t tmpfs -o size=1m,mode=755 tmpfs /var/lib/usb_tools"]
    if board_file is not None:
        (tmp_path / "board_file").write_text(board_file)
        lines.append(f"cp '{tmp_path}/board_file' /etc/usb_tools/board")
    if ledger is not None:
        (tmp_path / "ledger_file").write_text(ledger)
        lines += [f"cp '{tmp_path}/ledger_file' {LEDGER}", f"chmod 600 {LEDGER}"]
    if ledger_read_only:
        lines.append("mount -o remount,ro /var/lib/usb_tools")
    return lines + list(more)


def policy_board(board, tmp_path, keys, files, starts=1, signer="ut", **setup):
    return board(stick=Stick(files), keys={"board.pub": (keys / f"{signer}.pub").read_text()},
                 setup=policy_setup(tmp_path, **setup), starts=starts,
                 teardown=[f"cp {LEDGER} '{tmp_path}/ledger_copy' 2>/dev/null || "
                           f"rm -f '{tmp_path}/ledger_copy'"])


def refusals(log):
    return [(l.level, l.message) for l in log if l.message.startswith("package refused: ")]


def receipt_signature(b):
    text = (b.stick_out / "usb_tools_receipt.txt").read_text()
    return next(l for l in text.splitlines() if l.startswith("signature: "))


MALFORMED = ("malformed_fields", "empty_list", "same_field_twice")


@pytest.mark.parametrize("case,comment,setup,refusal", [
    ("another_board", "boards:RX-00040,RX-00041", {"board_file": BOARD_FILE},
     "made for boards RX-00040,RX-00041; this board is RX-00042"),
    ("listed_board", "boards:RX-00040,RX-00042", {"board_file": BOARD_FILE}, None),
    ("listed_type", "types:recorder-v1,recorder-v2", {"board_file": BOARD_FILE}, None),
    ("other_type", "boards:RX-00042\ttypes:recorder-v1", {"board_file": BOARD_FILE},
     "made for types recorder-v1; this board is of type recorder-v2"),
    ("no_board_file_targeted", "boards:RX-00042", {},
     "made for boards RX-00042; this board has no id"),
    ("no_board_file_plain", "release 7", {}, None),
    ("malformed_board_file", "release 7", {"board_file": "id = RX-00042\nserial = 7\n"},
     "board file /etc/usb_tools/board: line 2: unknown key (only id, type and require)"),
    ("board_file_a_fifo", "release 7", {"more": ["mkfifo /etc/usb_tools/board"]},
     "board file /etc/usb_tools/board: not a regular file"),
    ("board_file_a_link", "release 7",
     {"board_file": BOARD_FILE, "more": ["mv /etc/usb_tools/board /etc/board.real",
                                         "ln -s /etc/board.real /etc/usb_tools/board"]},
     "board file /etc/usb_tools/board: a symbolic link"),
    ("malformed_fields", "boards:RX-00042\tsequence:7x", {"board_file": BOARD_FILE},
     "malformed trusted comment: the field sequence is not a number from 1 to "
     "9223372036854775807"),
    ("empty_list", "boards:", {"board_file": BOARD_FILE},
     "malformed trusted comment: the field boards is not a list of names (1 to 63 of A-Z a-z "
     "0-9 . _ -, separated by \",\")"),
    ("same_field_twice", "sequence:7\tsequence:8", {"board_file": BOARD_FILE},
     "malformed trusted comment: the field sequence is given twice"),
    ("require_target", "sequence:3", {"board_file": BOARD_FILE + "require = target\n"},
     "no boards or types named; this board requires a target"),
    ("require_sequence", "types:recorder-v2", {"board_file": BOARD_FILE + "require = sequence\n"},
     "no sequence; this board requires one"),
    ("require_both_met", "types:recorder-v2\tsequence:3",
     {"board_file": BOARD_FILE + "require = target, sequence\n"}, None),
    ("ledger_unreadable_sequenced", "sequence:3", {"board_file": BOARD_FILE, "ledger": "junk\n"},
     "sequence 3 of key id {kid}: the ledger /var/lib/usb_tools/ledger cannot be used: "
     "line 1: not \"<key id> <sequence>\""),
    ("ledger_unreadable_unsequenced", "boards:RX-00042",
     {"board_file": BOARD_FILE, "ledger": "junk\n"}, None),
    ("ledger_not_writable", "sequence:3", {"board_file": BOARD_FILE, "ledger_read_only": True},
     "sequence 3 of key id {kid}: the ledger cannot be written: cannot remove "
     "/var/lib/usb_tools/ledger.tmp: Read-only file system"),
])
def test_package_for_this_board(board, signed, keys, tmp_path, case, comment, setup, refusal):
    # ut_pack refuses to sign malformed fields: minisign signs anything.
    signer = "mw" if case in MALFORMED else "ut"
    if signer == "mw" and shutil.which("minisign") is None:
        pytest.skip("Debian's minisign is not installed")
    data, sig = signed(signer, comment=comment)
    kid = key_id(keys / f"{signer}.pub")
    b = policy_board(board, tmp_path, keys, stick_files(data, sig), signer=signer, **setup)
    log = b.run(until=SERVICE_PHASE)
    messages = [l.message for l in log]
    if refusal is None:
        assert refusals(log) == []
        assert (b.home / "trace").read_text() == "ran\n"
        assert not (b.stick_out / "command.f").exists()
        return
    refusal = refusal.format(kid=kid)
    assert refusals(log) == [("E", "package refused: " + refusal)]
    assert not (b.home / "trace").exists()
    # Kept on the stick, with its signature; the receipt says why.
    assert (b.stick_out / "command.f").read_bytes() == data
    assert (b.stick_out / "command.f.minisig").read_text() == sig
    assert receipt_signature(b) == "signature: refused: " + refusal
    if case == "ledger_not_writable":
        # Refused after the work list was read: the temporary folder is gone.
        assert "work list was created" not in messages
        assert not (b.home / "velmarok" / "ut_temp").exists()


def test_sequence_runs_once_and_the_ledger_lasts_across_starts(board, signed, keys, tmp_path):
    """Sequence 5 taken in; the same stick again refused; 4 refused; 6 taken
    in: five starts of the daemon in one namespace, whose ledger lasts."""
    kid = key_id(keys / "ut.pub")
    packages = {n: stick_files(*signed("ut", comment=f"boards:RX-00042\tsequence:{n}", mark=n))
                for n in (4, 5, 6)}
    b = policy_board(board, tmp_path, keys, packages[5], starts=4,
                     board_file=BOARD_FILE + "require = sequence\n")
    log = b.run(until=SERVICE_PHASE)
    assert refusals(log) == []
    messages = [(l.level, l.message) for l in log]
    # The ledger is written before the package leaves the stick, and before
    # the first row.
    spent = ("I", f"sequence 5 of key id {kid} taken in; it will not run again on this board")
    at = messages.index(spent)
    assert at < messages.index(("I", "work list was created"))
    assert at < messages.index(("I", "execute script: /home/velmarok/ut_temp/trace.sh"))
    # A tmpfs forgets the ledger at each boot: said at start.
    assert ("W", "ledger folder /var/lib/usb_tools/ is on a tmpfs: every sequence taken in is "
                 "forgotten at the next boot, and an old sequenced package runs again") in messages
    assert (tmp_path / "ledger_copy").read_text() == f"{kid} 5\n"
    assert receipt_signature(b) == (
        f"signature: key id {kid}, boards RX-00042, sequence 5; boards RX-00042: this board is "
        "RX-00042; sequence 5: the first of its key id on this board; sequence 5 taken in; "
        "it will not run again on this board")

    for n, refused_by in ((5, 5), (4, 5)):
        log = b.run_again(until=SERVICE_PHASE, stick_files=packages[n])
        assert refusals(log) == [("E", f"package refused: sequence {n} of key id {kid}; "
                                       f"this board has taken in {refused_by}")]
        assert (b.stick_out / "command.f").read_bytes() == packages[n]["command.f"]
    log = b.run_again(until=SERVICE_PHASE, stick_files=packages[6])
    assert refusals(log) == []
    assert (tmp_path / "ledger_copy").read_text() == f"{kid} 6\n"
    assert (b.home / "runs").read_text() == "5\n6\n"


def test_a_read_only_stick_runs_its_sequence_once(board, signed, keys, tmp_path):
    data, sig = signed("ut", comment="sequence:9", mark=9)
    kid = key_id(keys / "ut.pub")
    b = board(stick=Stick(stick_files(data, sig), read_only=True),
              keys={"board.pub": (keys / "ut.pub").read_text()},
              setup=policy_setup(tmp_path), starts=2)
    log = b.run(until=SERVICE_PHASE)
    assert refusals(log) == []
    assert ("E", "failed to delete packed from usb") in [(l.level, l.message) for l in log]
    log = b.run_again(until=SERVICE_PHASE)
    assert refusals(log) == [("E", f"package refused: sequence 9 of key id {kid}; "
                                   "this board has taken in 9")]
    assert (b.home / "runs").read_text() == "9\n"


@needs_minisign
def test_minisigns_own_comment_is_honoured(board, signed, keys, tmp_path):
    """A comment written by the real minisign -t, fields and all."""
    data, sig = signed("mw", comment="boards:RX-00042\tsequence:7")
    b = board(stick=Stick(stick_files(data, sig)),
              keys={"board.pub": (keys / "mw.pub").read_text()},
              setup=policy_setup(tmp_path, board_file=BOARD_FILE), starts=2)
    log = b.run(until=SERVICE_PHASE)
    assert refusals(log) == []
    assert (b.home / "trace").read_text() == "ran\n"
    log = b.run_again(until=SERVICE_PHASE, stick_files=stick_files(data, sig))
    assert refusals(log) == [("E", f"package refused: sequence 7 of key id "
                                   f"{key_id(keys / 'mw.pub')}; this board has taken in 7")]


def test_set_board_clock_example_runs_once_on_its_board(board, keys, tool, tmp_path):
    pkg = tmp_path / "stick" / "command.f"
    pkg.parent.mkdir()
    # As the example's own comment says.
    r = tool("create", "--sign", keys / "ut.sec", "--board", "RX-00042", "--sequence", "7",
             "--scramble", EXAMPLES / "set_board_clock", pkg)
    assert r.returncode == 0, r.stderr
    files = stick_files(pkg.read_bytes(), pkg.with_name("command.f.minisig").read_text())
    b = policy_board(board, tmp_path, keys, files, starts=2, board_file=BOARD_FILE)
    log = b.run(until=SERVICE_PHASE)
    assert refusals(log) == []
    assert b.stdout().splitlines() == ["set_clock: clock offset 120 s"]
    assert (b.home / "velmarok" / "var" / "clock_offset").read_text() == "120\n"
    log = b.run_again(until=SERVICE_PHASE, stick_files=files)
    assert [m for _, m in refusals(log)] == [
        f"package refused: sequence 7 of key id {key_id(keys / 'ut.pub')}; "
        "this board has taken in 7"]
    assert len((b.home / "velmarok" / "var" / "service_history").read_text().splitlines()) == 1


# -- ut_pack and minisign, both ways -------------------------------------------------


@needs_minisign
@pytest.mark.parametrize("name", ["ut", "ue"])
def test_ut_pack_keys_and_signatures_verify_with_minisign(keys, tmp_path, tool, name):
    f = tmp_path / "command.f"
    f.write_bytes(os.urandom(5000))
    r = tool("sign", "--password-file", keys / "password", keys / f"{name}.sec", f)
    assert r.returncode == 0, r.stderr
    r = subprocess.run(["minisign", "-V", "-p", keys / f"{name}.pub", "-m", f],
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    assert re.search(r"Trusted comment: timestamp:\d+\tfile:command.f\thashed", r.stdout)
    # minisign signs with ut_pack's secret key (asking for its password).
    f.with_name("command.f.minisig").unlink()
    status, out = run_with_terminal(["minisign", "-S", "-s", keys / f"{name}.sec", "-m", f],
                                    PASSWORD)
    assert status == 0, out
    r = tool("verify", "--key", keys / f"{name}.pub", f)
    assert f"signature good: key id {key_id(keys / f'{name}.pub')}" in r.stdout


@needs_minisign
@pytest.mark.parametrize("name", ["mw", "me"])
def test_minisign_secret_keys_sign_with_ut_pack(keys, tmp_path, build_dir, name):
    f = tmp_path / "package"
    f.write_bytes(b"x" * 100000)
    # On the terminal, as a person signs.
    status, out = run_with_terminal([build_dir / "ut_pack", "sign", "-t", "release 7",
                                     keys / f"{name}.sec", f], PASSWORD)
    assert status == 0, out
    assert (name == "me") == ("Password: " in out)
    r = subprocess.run(["minisign", "-V", "-p", keys / f"{name}.pub", "-m", f],
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    assert "Trusted comment: release 7" in r.stdout


@pytest.mark.parametrize("how", ["file", "terminal"])
def test_wrong_password_is_an_error(keys, tmp_path, tool, build_dir, how):
    f = tmp_path / "package"
    f.write_bytes(b"data")
    if how == "file":
        (tmp_path / "wrong").write_text("not it\n")
        r = tool("sign", "--password-file", tmp_path / "wrong", keys / "ue.sec", f)
        status, out = r.returncode, r.stderr
    else:
        status, out = run_with_terminal([build_dir / "ut_pack", "sign", keys / "ue.sec", f],
                                        "not it")
    assert status == 1
    assert "wrong password for the secret key" in out
    assert not f.with_name("package.minisig").exists()


def test_no_terminal_and_no_password_file_is_an_error(keys, tmp_path, build_dir):
    f = tmp_path / "package"
    f.write_bytes(b"data")
    r = subprocess.run([build_dir / "ut_pack", "sign", keys / "ue.sec", f],
                       capture_output=True, text=True, stdin=subprocess.DEVNULL,
                       start_new_session=True)
    assert r.returncode == 1
    assert "--password-file" in r.stderr


def test_create_sign_verify_and_reports(tmp_path, tool, keys):
    src = tmp_path / "src"
    src.mkdir()
    (src / "work_list.f").write_text("<0002>{remove_temp_folder}\n")
    pkg = tmp_path / "command.f"
    r = tool("create", "--sign", keys / "ut.sec", "--scramble", src, pkg)
    assert r.returncode == 0, r.stderr
    kid = key_id(keys / "ut.pub")
    assert f"signed by key id {kid}" in r.stdout
    # Several keys, the right one last, or a folder of them.
    r = tool("verify", "--key", keys / "other.pub", "--key", keys / "ut.pub", pkg)
    assert r.returncode == 0 and f"key id {kid}" in r.stdout, r.stderr
    r = tool("verify", "--key", keys / "other.pub", pkg)
    assert r.returncode == 1 and f"no trusted key with its key id (key id {kid})" in r.stderr
    # Without keys: whether a signature is there, and which key id it names.
    for command in ("list", "verify"):
        r = tool(command, pkg)
        assert r.returncode == 0, r.stderr
        assert f"command.f.minisig names key id {kid}" in r.stdout
    pkg.with_name("command.f.minisig").unlink()
    r = tool("list", pkg)
    assert "signature: none" in r.stdout
    r = tool("verify", "--key", keys / "ut.pub", pkg)
    assert r.returncode == 1 and "no signature file" in r.stderr


def test_keygen_never_overwrites_a_secret_key(tmp_path, tool, keys):
    shutil.copy(keys / "ut.sec", tmp_path / "k.sec")
    r = tool("keygen", "--no-password", tmp_path / "k.sec", tmp_path / "k.pub")
    assert r.returncode == 1 and "never overwritten" in r.stderr
    assert (tmp_path / "k.sec").read_bytes() == (keys / "ut.sec").read_bytes()
    assert oct((keys / "ut.sec").stat().st_mode & 0o777) == "0o600"


def test_key_rotation_example_replaces_the_boards_key(board, keys, tool, tmp_path):
    example = tmp_path / "key_rotation"
    shutil.copytree(EXAMPLES / "key_rotation", example)
    shutil.copy(keys / "other.pub", example / "release-new.pub")
    with open(example / "retire.txt", "a") as f:
        f.write("board.pub\n")
    pkg = tmp_path / "stick" / "command.f"
    pkg.parent.mkdir()
    r = tool("create", "--sign", keys / "ut.sec", "--scramble", example, pkg)
    assert r.returncode == 0, r.stderr
    b = board(stick=Stick(stick_files(pkg.read_bytes(),
                                      pkg.with_name("command.f.minisig").read_text())),
              keys={"board.pub": (keys / "ut.pub").read_text()})
    messages = [l.message for l in b.run(until=SERVICE_PHASE)]
    assert "execute script: /home/velmarok/ut_temp/rotate_keys.sh" in messages
    out = b.stdout().splitlines()
    assert out == ["rotate_keys: key installed: release-new.pub",
                   "rotate_keys: key retired: board.pub",
                   "rotate_keys: keys now: release-new.pub "]


# -- ut_pack: the fields of one board, once -------------------------------------------


def test_ut_pack_writes_the_fields_and_minisign_verifies_them(tmp_path, tool, keys):
    src = tmp_path / "src"
    src.mkdir()
    (src / "work_list.f").write_text("<0002>{remove_temp_folder}\n")
    pkg = tmp_path / "command.f"
    r = tool("create", "--sign", keys / "ut.sec", "--board", "RX-00042", "--board", "RX-00043",
             "--type", "recorder-v2", "--sequence", "4294967297", src, pkg)
    assert r.returncode == 0, r.stderr
    comment = comment_of(pkg.with_name("command.f.minisig").read_text())
    fields = comment.split("\t")
    assert fields[0].startswith("timestamp:") and fields[1:] == [
        "file:command.f", "hashed", "boards:RX-00042,RX-00043", "types:recorder-v2",
        "sequence:4294967297"]
    for command in (("list",), ("verify",), ("verify", "--key", keys / "ut.pub")):
        r = tool(*command, pkg)
        assert r.returncode == 0, r.stderr
        assert "fields: boards RX-00042,RX-00043; types recorder-v2; sequence 4294967297\n" \
            in r.stdout
    # sign with -t: the fields are added to the comment given.
    r = tool("sign", "-t", "release 7", "--sequence", "8", keys / "ut.sec", pkg)
    assert r.returncode == 0, r.stderr
    assert comment_of(pkg.with_name("command.f.minisig").read_text()) == "release 7\tsequence:8"
    if shutil.which("minisign"):
        r = subprocess.run(["minisign", "-V", "-p", keys / "ut.pub", "-m", pkg],
                           capture_output=True, text=True)
        assert r.returncode == 0, r.stderr
        assert "Trusted comment: release 7\tsequence:8" in r.stdout


@pytest.mark.parametrize("args,error", [
    (["-t", "boards:RX-1", "--board", "RX-2"], "the trusted comment already holds the field boards"),
    (["-t", "x\tsequence:5", "--sequence", "6"],
     "the trusted comment already holds the field sequence"),
    (["-t", "boards:"], "the trusted comment's fields are malformed: the field boards is not a "
                        "list of names"),
    (["-t", "sequence:1\tsequence:2"], "the trusted comment's fields are malformed: the field "
                                       "sequence is given twice"),
    (["--sequence", "0"], "the field sequence is not a number from 1 to 9223372036854775807"),
    (["--sequence", "9223372036854775808"], "the field sequence is not a number"),
    (["--board", "RX 42"], "the field boards is not a list of names"),
    (["--type", ""], "the field types is not a list of names"),
    (["--sequence", "1", "--sequence", "2"], "--sequence given twice"),
])
def test_ut_pack_refuses_fields_the_board_cannot_read(tmp_path, tool, keys, args, error):
    src = tmp_path / "src"
    src.mkdir()
    (src / "work_list.f").write_text("<0002>{remove_temp_folder}\n")
    pkg = tmp_path / "out" / "command.f"
    pkg.parent.mkdir()
    sign_only = any(a == "-t" for a in args)
    if not sign_only:
        # create checks the fields before it writes anything.
        r = tool("create", "--sign", keys / "ut.sec", *args, src, pkg)
        assert r.returncode != 0 and error in r.stderr, r.stderr
        assert list(pkg.parent.iterdir()) == []
    r = tool("create", src, pkg)
    assert r.returncode == 0, r.stderr
    r = tool("sign", *args, keys / "ut.sec", pkg)
    assert r.returncode != 0 and error in r.stderr, r.stderr
    assert not pkg.with_name("command.f.minisig").exists()


@pytest.mark.parametrize("comment,board_file,ledger,verdict", [
    ("boards:RX-00042\tsequence:7", BOARD_FILE, "{kid} 6\n", "takes"),
    ("boards:RX-00042\tsequence:7", BOARD_FILE, "{kid} 7\n",
     "the board refuses the package: sequence 7 of key id {kid}; this board has taken in 7"),
    ("boards:RX-00040", BOARD_FILE, None,
     "the board refuses the package: made for boards RX-00040; this board is RX-00042"),
    ("release 7", BOARD_FILE + "require = sequence\n", None,
     "the board refuses the package: no sequence; this board requires one"),
    ("release 7", "id = RX-00042\nid = RX-00043\n", None,
     "the board refuses the package: board file {board}: line 2: a key given twice"),
    ("sequence:7", BOARD_FILE, "garbage\n",
     "the board refuses the package: sequence 7 of key id {kid}: the ledger "
     "/var/lib/usb_tools/ledger cannot be used: line 1: not"),
])
def test_ut_pack_verify_predicts_the_boards_decision(tmp_path, tool, keys, signed, comment,
                                                     board_file, ledger, verdict):
    kid = key_id(keys / "ut.pub")
    data, sig = signed("ut", comment=comment)
    (tmp_path / "command.f").write_bytes(data)
    (tmp_path / "command.f.minisig").write_text(sig)
    (tmp_path / "board").write_text(board_file)
    args = ["--key", keys / "ut.pub", "--board-file", tmp_path / "board"]
    if ledger is not None:
        (tmp_path / "ledger").write_text(ledger.format(kid=kid))
        args += ["--ledger", tmp_path / "ledger"]
    r = tool("verify", *args, tmp_path / "command.f")
    if verdict == "takes":
        assert r.returncode == 0, r.stderr
        assert "the board RX-00042 takes it in: boards RX-00042: this board is RX-00042; " \
               "sequence 7: above 6 taken in before" in r.stdout
    else:
        assert r.returncode == 1
        assert verdict.format(kid=kid, board="/etc/usb_tools/board") in r.stderr, r.stderr


@needs_minisign
def test_minisigns_fields_show_in_ut_pack(tmp_path, tool, keys, signed):
    data, sig = signed("mw", comment="boards:RX-00042\ttypes:recorder-v2\tsequence:7")
    (tmp_path / "command.f").write_bytes(data)
    (tmp_path / "command.f.minisig").write_text(sig)
    (tmp_path / "board").write_text(BOARD_FILE)
    r = tool("verify", "--key", keys / "mw.pub", "--board-file", tmp_path / "board",
             tmp_path / "command.f")
    assert r.returncode == 0, r.stderr
    assert "fields: boards RX-00042; types recorder-v2; sequence 7\n" in r.stdout
