"""The page build-web/ut_pack.html in headless Chromium, opened from file://:
its packages are the command line's byte for byte, its verdicts are the
board's, it shows a receipt, and the browser's console stays free of errors.
Run by ./scripts/web --test, where the network is switched off."""

import os
import subprocess
import time
from pathlib import Path

import pytest

selenium = pytest.importorskip("selenium", reason="needs Debian's python3-selenium")
from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
GOOD_ROWS = "<0001>{run.sh}\n<0002>{remove_temp_folder}\n"
# Picked in an order that is not the names' order: the page packs them in
# the names' order, byte by byte, as ut_pack create does.
FILES = {"work_list.f": GOOD_ROWS, "run.sh": "#!/bin/sh\necho run\n",
         "data.bin": bytes(range(256)) * 8, "Zeta.txt": "upper case sorts first\n"}


@pytest.fixture(scope="session")
def page_url(request):
    page = Path(request.config.getoption("--web-dir")).resolve() / "ut_pack.html"
    assert page.exists(), f"{page} is not built (./scripts/web)"
    return page.as_uri()


@pytest.fixture(scope="session")
def ut_pack(build_dir):
    path = build_dir / "ut_pack"
    assert path.exists(), f"{path} is not built"

    def run(*args, check=True):
        r = subprocess.run([str(path), *map(str, args)], capture_output=True, text=True)
        assert not check or r.returncode == 0, r.stderr
        return r
    return run


@pytest.fixture
def browser(tmp_path, page_url):
    if not (os.path.exists(CHROMIUM) and os.path.exists(CHROMEDRIVER)):
        pytest.skip("needs Debian's chromium and chromium-driver")
    downloads = tmp_path / "downloads"
    downloads.mkdir()
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", f"--user-data-dir={tmp_path / 'profile'}",
                 # No name resolves: nothing could be fetched even with a network.
                 "--host-resolver-rules=MAP * ~NOTFOUND"]:
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    try:
        driver.execute_cdp_cmd("Browser.setDownloadBehavior",
                               {"behavior": "allow", "downloadPath": str(downloads)})
        driver.get(page_url)
        WebDriverWait(driver, 60).until(
            lambda d: d.execute_script("return document.body.dataset.ready") == "1")
        driver.downloads = downloads
        yield driver
        errors = [e for e in driver.get_log("browser") if e["level"] in ("SEVERE", "WARNING")]
        assert errors == [], "the browser's console shows errors"
    finally:
        driver.quit()


def pick(driver, input_id, paths):
    driver.find_element(By.ID, input_id).send_keys("\n".join(str(p) for p in paths))


def click(driver, button_id):
    driver.find_element(By.ID, button_id).click()


def downloaded(driver, names):
    """Waits for the downloads of `names` to be complete; their bytes."""
    def done(_):
        present = set(os.listdir(driver.downloads))
        return all(n in present for n in names) and not any(
            n.endswith(".crdownload") for n in present)
    WebDriverWait(driver, 60).until(done)
    return {n: (driver.downloads / n).read_bytes() for n in names}


def text_of(driver, element_id):
    return driver.find_element(By.ID, element_id).text


def verdict(driver):
    WebDriverWait(driver, 60).until(lambda d: text_of(d, "verdict") != "")
    return text_of(driver, "verdict")


def source_folder(tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    for name, data in FILES.items():
        (src / name).write_bytes(data if isinstance(data, bytes) else data.encode())
    return src


@pytest.mark.parametrize("scramble", [False, True], ids=["plain", "scrambled"])
def test_the_page_makes_the_command_line_s_package(browser, ut_pack, tmp_path, scramble):
    src = source_folder(tmp_path)
    expected = tmp_path / "expected" / "command.f"
    expected.parent.mkdir()
    ut_pack("create", *(["--scramble"] if scramble else []), src, expected)
    pick(browser, "files", sorted(src.iterdir(), reverse=True))
    if scramble:
        click(browser, "scramble")
    click(browser, "create")
    made = downloaded(browser, ["command.f"])["command.f"]
    assert made == expected.read_bytes()


def test_a_damaged_package_is_refused(browser, ut_pack, tmp_path):
    src = source_folder(tmp_path)
    package = tmp_path / "stick" / "command.f"
    package.parent.mkdir()
    ut_pack("create", src, package)
    data = bytearray(package.read_bytes())
    data[900] ^= 0x40  # a byte of a packed file: the checksum no longer matches
    package.write_bytes(bytes(data))
    expected = ut_pack("verify", package, check=False)
    assert expected.returncode == 1
    pick(browser, "package", [package])
    click(browser, "check")
    assert verdict(browser).startswith("refused")
    assert "checksum" in verdict(browser).lower() or "crc" in verdict(browser).lower()


def test_a_package_signed_in_the_page_is_good_with_its_key_only(browser, ut_pack, tmp_path):
    keys = tmp_path / "keys"
    keys.mkdir()
    (keys / "password").write_text("a password\n")
    ut_pack("keygen", "--password-file", keys / "password", keys / "release.key",
            keys / "release.pub")
    ut_pack("keygen", "--no-password", keys / "other.key", keys / "other.pub")
    src = source_folder(tmp_path)
    pick(browser, "files", sorted(src.iterdir()))
    pick(browser, "sign-key", [keys / "release.key"])
    browser.find_element(By.ID, "sign-password").send_keys("a password")
    click(browser, "create")
    made = downloaded(browser, ["command.f", "command.f.minisig"])
    # The secret key and its password are gone from the page once used.
    assert browser.find_element(By.ID, "sign-password").get_attribute("value") == ""
    assert browser.execute_script("return document.getElementById('sign-key').files.length") == 0
    stick = tmp_path / "stick"
    stick.mkdir()
    for name, data in made.items():
        (stick / name).write_bytes(data)
    # The command line, as the board checks it, takes it with its key.
    assert ut_pack("verify", "--key", keys / "release.pub", stick / "command.f",
                   check=False).returncode == 0
    pick(browser, "package", [stick / "command.f", stick / "command.f.minisig"])
    pick(browser, "keys", [keys / "release.pub"])
    click(browser, "check")
    assert verdict(browser).startswith("good")
    assert "work_list.f" in text_of(browser, "check-output")
    # The files and rows as tables, from the command line's own facts.
    WebDriverWait(browser, 30).until(
        lambda d: d.find_elements(By.CSS_SELECTOR, "#check-tables table.rows"))
    files = [tr.find_elements(By.TAG_NAME, "td")[1].text for tr in
             browser.find_elements(By.CSS_SELECTOR, "#check-tables table.entries tr")[1:]]
    assert files == sorted(FILES)
    rows = [[td.text for td in tr.find_elements(By.TAG_NAME, "td")[:3]] for tr in
            browser.find_elements(By.CSS_SELECTOR, "#check-tables table.rows tr")[1:]]
    assert rows == [["1", "0001", "run.sh"], ["2", "0002", "remove_temp_folder"]]
    # Another key: refused, as the board refuses it.
    clear(browser, "package", "keys")
    pick(browser, "package", [stick / "command.f", stick / "command.f.minisig"])
    pick(browser, "keys", [keys / "other.pub"])
    click(browser, "check")
    assert verdict(browser).startswith("refused")


def clear(driver, *ids):
    driver.execute_script("for (const id of arguments) document.getElementById(id).value = '';"
                          "document.getElementById('verdict').textContent = '';", *ids)


def test_a_package_signed_for_one_board_and_a_board_file(browser, ut_pack, tmp_path):
    keys = tmp_path / "keys"
    keys.mkdir()
    ut_pack("keygen", "--no-password", keys / "release.key", keys / "release.pub")
    pick(browser, "files", sorted(source_folder(tmp_path).iterdir()))
    pick(browser, "sign-key", [keys / "release.key"])
    browser.find_element(By.ID, "sign-boards").send_keys("RX-00042")
    browser.find_element(By.ID, "sign-sequence").send_keys("7")
    click(browser, "create")
    stick = tmp_path / "stick"
    stick.mkdir()
    for name, data in downloaded(browser, ["command.f", "command.f.minisig"]).items():
        (stick / name).write_bytes(data)
    for board_id, expected in (("RX-00042", "good"), ("RX-00099", "refused")):
        board = tmp_path / board_id / "board"
        board.parent.mkdir()
        board.write_text(f"id = {board_id}\ntype = recorder-v2\n")
        r = ut_pack("verify", "--key", keys / "release.pub", "--board-file", board,
                    stick / "command.f", check=False)
        assert r.returncode == (0 if expected == "good" else 1), r.stderr
        clear(browser, "package", "keys", "board")
        pick(browser, "package", [stick / "command.f", stick / "command.f.minisig"])
        pick(browser, "keys", [keys / "release.pub"])
        pick(browser, "board", [board])
        click(browser, "check")
        assert verdict(browser).startswith(expected), board_id


def test_a_key_pair_made_in_the_page_signs_for_the_board(browser, ut_pack, tmp_path):
    for field in ("keygen-password", "keygen-password-again"):
        browser.find_element(By.ID, field).send_keys("the page's password")
    click(browser, "keygen")
    made = downloaded(browser, ["ut_pack.key", "ut_pack.pub"])
    keys = tmp_path / "keys"
    keys.mkdir()
    for name, data in made.items():
        (keys / name).write_bytes(data)
    (keys / "password").write_text("the page's password\n")
    package = tmp_path / "command.f"
    ut_pack("create", "--sign", keys / "ut_pack.key", "--password-file", keys / "password",
            source_folder(tmp_path), package)
    assert ut_pack("verify", "--key", keys / "ut_pack.pub", package).returncode == 0
    (keys / "password").write_text("another password\n")
    assert ut_pack("sign", "--password-file", keys / "password", keys / "ut_pack.key", package,
                   check=False).returncode == 1, "the secret key is encrypted"


RECEIPT = """usb_tools receipt
board: board
version: 8
time: 10.12.2026 16:12:21 682
package: taken in
signature: not checked
row 1: <0001> service_report.sh: exit status 3
    | report: disk full
    | 
    | giving up
row 2: <0001> fix.sh: not found (exit status 127)
row 3: <0002> remove_temp_folder: done
log:
10.12.2026 16:12:10 189 [I] src/usb_tools.cpp            : main        : [00052] USB_SEARCH PART
10.12.2026 16:12:20 001 [E] src/start_task/execute_task.c: exec_script : [00064] script failed
"""


def test_a_receipt_is_shown_as_a_table(browser, tmp_path):
    receipt = tmp_path / "usb_tools_receipt.txt"
    receipt.write_text(RECEIPT)
    pick(browser, "receipt", [receipt])
    view = browser.find_element(By.ID, "receipt-view")
    WebDriverWait(browser, 30).until(lambda d: view.find_elements(By.TAG_NAME, "table"))
    rows = [[c.text for c in tr.find_elements(By.TAG_NAME, "td")]
            for tr in view.find_elements(By.CSS_SELECTOR, "table.receipt-rows tr")[1:]]
    assert rows == [["1", "0001", "service_report.sh", "exit status 3",
                     "report: disk full\n\ngiving up"],
                    ["2", "0001", "fix.sh", "not found (exit status 127)", ""],
                    ["3", "0002", "remove_temp_folder", "done", ""]]
    assert "taken in" in view.find_element(By.CSS_SELECTOR, "table.receipt-head").text
    errors = view.find_elements(By.CSS_SELECTOR, "table.log tr.level-E")
    assert len(errors) == 1 and "script failed" in errors[0].text
    assert len(view.find_elements(By.CSS_SELECTOR, "table.log tr.level-I")) == 1
