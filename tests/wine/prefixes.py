"""Wine prefixes: the environment of every Wine process, and one finished
64-bit prefix with its 32-bit half per Wine version, built once, watched
step by step, and kept in a cache (/var/cache/stationclock-wine, or
$STATIONCLOCK_PREFIX_CACHE) for both widths' sessions to copy."""

import fcntl
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from width import wait_until
from wine_processes import (ATTEMPTS, LOADER, PROCESS_CRASHED, WINESERVER, Flaky, attempts,
                            log_sign, stop_prefix)

# Wine's own fonts (Debian's fonts-wine): Marlett for the caption buttons,
# Tahoma for dialogs.
WINE_FONTS = "/usr/share/wine/fonts"
LOCALE = "ru_RU.UTF-8"


def windows_path(path):
    """A Unix path as Wine's Z: drive sees it."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def wine_env(prefix, display):
    """The environment of every Wine process of a prefix."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("LC_", "WINE", "DISPLAY", "LANG"))}
    env.update({
        "WINEARCH": "win64",
        "WINESERVER": WINESERVER,
        # A 32-bit program is handed on to the 32-bit loader beside it.
        "WINELOADER": LOADER,
        "WINEDEBUG": "-all",
        # No Mono or Gecko installers, no menu entries: each would be one
        # more process (under qemu a slow one). No crash debugger: a process
        # that crashes ends, its "Unhandled exception ... starting
        # debugger..." line in its log, because Wine cannot start winedbg
        # (which under qemu never ends, and the crashed process waits on it).
        "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d",
        "LANG": LOCALE,
        "LC_ALL": LOCALE,
        # Below 0x81000000 qemu cannot map Wine's shared user data; above it
        # every start costs much more processor time. Only 32-bit Wine
        # processes run under qemu.
        "QEMU_RESERVED_VA": "0x81000000",
    })
    if prefix is not None:
        env["WINEPREFIX"] = str(prefix)
    if display is not None:
        env["DISPLAY"] = display
    return env


COMMON_CONTROLS_6 = "{}_microsoft.windows.common-controls_6595b64144ccf1df_6.*.manifest"
# The 64-bit half, and the 32-bit half that the 32-bit program runs on.
HALVES = (("system32", "amd64"), ("syswow64", "x86"))


def prefix_problems(prefix):
    """Why a folder is not a finished prefix with both halves, as a list of
    texts (empty when it is one)."""
    prefix = Path(prefix)
    problems = []
    if not (prefix / ".complete").exists():
        problems.append("not marked complete")
    try:
        if "#arch=win64" not in (prefix / "system.reg").read_text(errors="replace"):
            problems.append("system.reg is not of a win64 prefix")
    except OSError:
        problems.append("no system.reg")
    try:
        user = (prefix / "user.reg").read_text(errors="replace")
        if '"Managed"="N"' not in user:
            problems.append("Wine-drawn window frames are not set")
        if "share\\\\wine\\\\fonts" not in user.lower():
            problems.append("Wine's font folder is not set")
    except OSError:
        problems.append("no user.reg")
    windows = prefix / "drive_c" / "windows"
    for folder, machine in HALVES:
        for name in ("kernel32.dll", "user32.dll", "comctl32.dll"):
            if not (windows / folder / name).is_file():
                problems.append(f"no {folder}/{name}")
        if not list((windows / "winsxs" / "manifests").glob(COMMON_CONTROLS_6.format(machine))):
            problems.append(f"no version 6 common controls for {machine}")
    if not (prefix / "dosdevices" / "c:").is_symlink():
        problems.append("no c: drive")
    if list((prefix / "dosdevices").glob("com*")):
        problems.append("COM links kept from the prefix set-up")
    return problems


def build_steps():
    """The steps of a build, each a command and its bound in seconds:
    wineboot --init (15-20 s; its 32-bit half runs under qemu), Wine-drawn
    window frames, Wine's font folder. After each step the server must go
    idle by itself: one stopped half way leaves the prefix without the
    version 6 common controls."""
    idle = ([WINESERVER, "-w"], 60)
    return [
        ([LOADER, "wineboot", "--init"], 120), idle,
        # Windows drawn by Wine itself, title bar and close box included:
        # there is no window manager on the X server.
        ([LOADER, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed",
          "/t", "REG_SZ", "/d", "N", "/f"], 30), idle,
        # This Wine looks for its own fonts in "<data dir>\../fonts", a path
        # its file lookup rejects, so without this extra font folder the close
        # box shows the letter "r" instead of Marlett's cross.
        ([LOADER, "reg", "add", r"HKCU\Software\Wine\Fonts", "/v", "Path",
          "/t", "REG_SZ", "/d", windows_path(WINE_FONTS), "/f"], 30), idle,
    ]


def run_watched(command, seconds, env, log_path):
    """Runs a step to its end, its output and then its outcome appended to
    log_path. Raises Flaky when it ended with another code than 0, a log
    showed that the wineserver crashed, or it took longer than its bound
    (then it is killed)."""
    what = " ".join([Path(command[0]).name, *command[1:4]])
    began = time.monotonic()
    with open(log_path, "ab") as log:
        proc = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
                                stdout=log, stderr=log, start_new_session=True)
    while True:
        try:
            code = proc.wait(timeout=0.2)
        except subprocess.TimeoutExpired:
            code = None
        why = log_sign([log_path])
        if code is None and not why and time.monotonic() - began > seconds:
            why = f"{what} took over {seconds:.0f} s"
        if why or code is not None:
            proc.kill()
            proc.wait()
            why = why or (f"{what} ended with {code}" if code else None)
            with open(log_path, "ab") as log:
                took = time.monotonic() - began
                log.write(f"--- {what}: {why or 'done'} in {took:.0f} s\n".encode())
            if why:
                raise Flaky(why)
            return


def build_prefix(target, log_path, steps):
    """One attempt at a finished prefix in target; raises Flaky when it
    failed, or when a Wine process crashed during it (what that process
    would have done may be missing)."""
    env = wine_env(target, None)
    for command, seconds in steps:
        run_watched(command, seconds, env, log_path)
    if log_sign([log_path], [PROCESS_CRASHED]):
        raise Flaky("a Wine process crashed during it")
    if not target.is_dir():
        raise Flaky("no prefix was made")
    # Wine's mount manager mapped the machine's devices while the prefix was
    # made; no copy may inherit them.
    for entry in (target / "dosdevices").glob("com*"):
        entry.unlink()
    (target / ".complete").write_text("")
    problems = prefix_problems(target)
    if problems:
        raise Flaky("the new prefix is incomplete: " + "; ".join(problems))


def cached_prefix(logs, steps=None):
    """The finished prefix of this Wine version, built once (under a lock that
    another run waits for at most as long as the build may take) and kept in
    the cache. Returns (its path, the Tried of its build, or None when it was
    there already). A failed attempt is stopped and removed, and the build
    starts again from nothing; attempt n logs to logs/prefix-build<n>.log.
    steps(attempt) gives an attempt's steps (by default build_steps())."""
    steps = steps or (lambda attempt: build_steps())
    version = subprocess.run([LOADER, "--version"], capture_output=True, text=True,
                             timeout=30, env=wine_env(None, None)).stdout.strip()
    cache = Path(os.environ.get("STATIONCLOCK_PREFIX_CACHE", "/var/cache/stationclock-wine"))
    cached = cache / f"win64-{version.replace(' ', '_').replace('/', '_')}-{LOCALE}"
    if not prefix_problems(cached):
        return cached, None
    cache.mkdir(parents=True, exist_ok=True)
    longest = sum(seconds for attempt in range(1, ATTEMPTS + 1) for _, seconds in steps(attempt))
    with open(cache / "lock", "w") as lock:
        lock_within(lock, longest, f"another run's build of {cached.name}")
        if not prefix_problems(cached):
            return cached, None
        partial = None

        def attempt(n):
            nonlocal partial
            partial = Path(tempfile.mkdtemp(prefix="partial-", dir=cache))
            try:
                build_prefix(partial / "prefix", logs / f"prefix-build{n}.log", steps(n))
            except Flaky as e:
                raise Flaky(f"{e} (see prefix-build{n}.log)") from None
            finally:
                stop_prefix(wine_env(partial / "prefix", None))
            shutil.rmtree(cached, ignore_errors=True)
            (partial / "prefix").rename(cached)
            shutil.rmtree(partial)
        tried = attempts(f"no prefix built into {cached}", attempt,
                         lambda n: shutil.rmtree(partial, ignore_errors=True))
    return cached, tried


def lock_within(lock, seconds, holder):
    """Takes an exclusive lock on the open file, waiting at most seconds."""
    def taken():
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return True
        except BlockingIOError:
            return False
    wait_until(taken, seconds, interval=0.1, what=f"{holder} to give up its lock")


if __name__ == "__main__":
    # Builds the cached prefix ahead of the sessions that will use it:
    #     bash tests/wine/isolated.sh /usr/bin/python3 tests/wine/prefixes.py LOGS
    Path(sys.argv[1]).mkdir(parents=True, exist_ok=True)
    path, tried = cached_prefix(Path(sys.argv[1]))
    print(f"{path}: " + ("cached" if tried is None else f"built in {tried.seconds:.0f} s"
                         + "".join(f"; {failure}" for failure in tried.failures)))
