"""The width under test and what follows from it: the program, the driver
and Wine's loader of that width, where they are built, and how long every
wait of the harness may take.

The width comes from the command line (`--width 64|32`) and travels as a
Width object: the session holds it, and everything else asks the session.
"""

import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
BUILD = REPO / "build"


class HarnessError(Exception):
    """The test environment could not be set up or misbehaved."""


class Closes:
    """with-block support for an object that has close()."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class WineCrashed(HarnessError):
    """The wineserver, or a Wine process under qemu, crashed."""


class Width:
    """One of the two programs' runs.

    slowdown is how much longer every step of Wine takes in this width:
    1 for 64-bit Wine, 6 for 32-bit Wine under qemu. bound() applies it to
    every wait on Wine: the prefix build's steps, a session's first start,
    the driver's answers and every wait a test passes to the driver. Not
    scaled: waits on Linux programs, which qemu does not slow (Xvfb,
    ImageMagick's import, stationsim, the grace before a SIGKILL), and a
    test's own checks of the program's time limits (say, a query gives up
    within 7 s), which hold in both widths.
    """

    def __init__(self, bits, arch, loader, preset, program, slowdown):
        self.bits, self.arch, self.loader, self.preset = bits, arch, loader, preset
        self.program = program
        self.slowdown = slowdown

    def bound(self, seconds):
        """A wait of seconds on 64-bit Wine, in this width."""
        return seconds * self.slowdown

    def bound_ms(self, ms):
        return int(ms * self.slowdown)

    def program_exe(self):
        return BUILD / self.preset / self.program

    def driver_exe(self):
        return BUILD / self.preset / "tests" / "wine" / "driver" / "scdriver.exe"

    def artifacts(self):
        """Screenshots and logs that outlive the run."""
        return BUILD / f"wine-tests{self.bits}"


def width(bits):
    """The Width of --width bits (64 or 32)."""
    if int(bits) == 64:
        return Width(64, "win64", "/usr/lib/wine/wine64", "win64", "stationclock.exe", 1)
    if int(bits) == 32:
        # Under qemu every step of Wine takes about six times as long.
        return Width(32, "win32", "/usr/lib/wine/wine", "win32", "stationclock32.exe", 6)
    raise HarnessError(f"width {bits}: 64 or 32")


def stationsim_exe():
    return BUILD / "native" / "tools" / "stationsim" / "stationsim"


def wait_until(condition, timeout, interval=0.02, what="condition"):
    """Polls condition() until it returns a true value, which is returned.
    Raises HarnessError after timeout seconds (already scaled)."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise HarnessError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)
