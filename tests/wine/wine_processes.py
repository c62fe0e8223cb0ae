"""Wine's processes, in one place: which belong to a prefix, stopping them,
the signs that Wine crashed, and the attempts loop that a prefix build and a
session's first start share. Every Wine process of the harness runs with the
64-bit loader in a 64-bit prefix; no Wine process ever starts Wine's crash
debugger (see prefixes.wine_env)."""

import os
import signal
import subprocess
import time
from pathlib import Path

from width import HarnessError

LOADER = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver64"
ATTEMPTS = 3  # of a prefix build, and of a session's first start

# What a Wine process writes when its wineserver crashed: the others then
# wait for ever.
SERVER_CRASHED = b"wineserver crashed"
# What Wine writes when a process crashed; with no debugger to wait on, the
# process ends and the others go on.
PROCESS_CRASHED = b"starting debugger..."


class Flaky(HarnessError):
    """A failure that another attempt, made from nothing, may not meet."""


class WineCrashed(Flaky):
    """The wineserver, or a Wine process, crashed."""


def processes(folder, name_part=""):
    """Unix pids of the processes whose WINEPREFIX is folder or lies inside
    it, and whose command line or name contains name_part (any case)."""
    exact, inside = f"WINEPREFIX={folder}".encode(), f"WINEPREFIX={folder}/".encode()
    pids = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            environ = (entry / "environ").read_bytes().split(b"\0")
            names = (entry / "cmdline").read_bytes() + b" " + (entry / "comm").read_bytes()
        except OSError:
            continue
        if (any(v == exact or v.startswith(inside) for v in environ)
                and name_part.lower().encode() in names.lower()):
            pids.append(int(entry.name))
    return pids


def kill(folder, name_part=""):
    for pid in processes(folder, name_part):
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass


def stop_prefix(env, seconds=30):
    """Stops the wineserver of env's prefix and every process of that
    prefix, also ones that wait on a server that crashed."""
    for flag in ("-k", "-w"):
        try:
            subprocess.run([WINESERVER, flag], env=env, timeout=seconds, check=False,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            break
    kill(env["WINEPREFIX"])


def log_sign(logs, signs=(SERVER_CRASHED,)):
    """The first of signs found in the logs, as "<log name>: <sign>", or None."""
    for log in logs:
        try:
            text = Path(log).read_bytes()
        except OSError:
            continue
        for sign in signs:
            if sign in text:
                return f"{Path(log).name}: {sign.decode()}"
    return None


def crash_sign(prefix, logs):
    """Why the Wine processes of a prefix may no longer answer: a crash
    debugger runs, or a log shows that the wineserver crashed; None when
    neither. (A crashed helper process, "uncaught target signal" under qemu,
    is no sign: Wine starts it again.)"""
    if processes(prefix, "winedbg"):
        return "a crash debugger runs"
    return log_sign(logs)


class Tried:
    """What attempts() went through: one text for each attempt that failed
    before one succeeded, and the seconds they took in all."""

    def __init__(self, failures, seconds):
        self.failures, self.seconds = failures, seconds

    def retries(self):
        return len(self.failures)


def attempts(what, attempt, clear, tries=ATTEMPTS):
    """Calls attempt(n) for n = 1, 2 ... until one returns. One that raises
    Flaky is cleared away with clear(n) and made again, up to tries times in
    all; after that raises HarnessError naming each attempt's cause and
    duration. Any other error ends the loop at once. Returns a Tried."""
    failures = []
    first = time.monotonic()
    for n in range(1, tries + 1):
        began = time.monotonic()
        try:
            attempt(n)
            return Tried(failures, time.monotonic() - first)
        except Flaky as e:
            failures.append(f"attempt {n} failed after {time.monotonic() - began:.0f} s: {e}")
            clear(n)
    raise HarnessError(f"{what}: {tries} attempts failed: " + "; ".join(failures))
