"""The width under test (`--width 64|32`, a Width that the session holds):
its program and driver, where they are built, how long a wait on them may
take; and the harness's few shared basics."""

import subprocess
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


class Width:
    """One of the two programs' runs, both in the same 64-bit prefix (the
    32-bit program and driver under Wine's WoW64, their code on qemu here).
    slowdown is how much longer the program and the driver take in this
    width (1, or 6 under qemu); bound() applies it to every wait on them and
    to nothing that runs natively in both widths (README.md, "Both widths").
    """

    def __init__(self, bits, preset, program, slowdown):
        self.bits, self.preset, self.program, self.slowdown = bits, preset, program, slowdown

    def bound(self, seconds):
        """A wait of seconds on the 64-bit program, in this width."""
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
        return Width(64, "win64", "stationclock.exe", 1)
    if int(bits) == 32:
        # Under qemu the program's and the driver's code takes about six
        # times as long.
        return Width(32, "win32", "stationclock32.exe", 6)
    raise HarnessError(f"width {bits}: 64 or 32")


def stationsim_exe():
    return BUILD / "native" / "tools" / "stationsim" / "stationsim"


def wait_until(condition, timeout, interval=0.02, what="condition"):
    """Polls condition() until it returns a true value, which is returned.
    Raises HarnessError after timeout seconds (a wait on the program or the
    driver passes its bound: w.bound(seconds))."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise HarnessError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)


def end_process(proc, timeout=10):
    """Asks proc, a Linux program (Xvfb, the wineserver, stationsim), to end
    (SIGTERM) and kills it when it has not after timeout s."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    return proc.returncode
