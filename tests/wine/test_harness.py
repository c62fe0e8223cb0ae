"""The harness's own guarantees that need Wine, or the isolated /dev of an
end-to-end run (README.md); the rest need no Wine: test_rig.py."""

import os
import re
import signal
import subprocess
import threading
import time

import pytest

from ports import UnsafePorts, exposed_serial_devices
from prefixes import build_steps, cached_prefix, prefix_problems
from program import QUERY, READY, STATION_TIME, STATUS
from ptys import PtyPair
from session import WineSession
from width import wait_until
from wine_processes import LOADER


def test_no_start_while_a_com_link_is_not_the_tests(wine_session):
    assert exposed_serial_devices() == []
    wine_session.map_ports({})
    link = wine_session.prefix / "dosdevices" / "com3"
    try:
        # A missing link is the dangerous case: Wine then falls back to
        # /dev/ttyS2 for COM3 by itself.
        os.unlink(link)
        with wine_session.driver() as driver:
            with pytest.raises(UnsafePorts, match="com3"):
                driver.start_program()
            os.symlink(wine_session.absent_port_path(4), link)
            with pytest.raises(UnsafePorts, match="com3"):
                driver.start_program()
            assert not driver.status()["started"]
    finally:
        wine_session.map_ports({})
    wine_session.assert_ports_safe()


def test_labels_are_read_at_once_while_the_program_is_busy(wine_session, launch):
    with PtyPair() as line:
        driver = launch(ports={1: line.path})
        assert driver.text(STATUS) == READY
        # Nothing answers on the line: the query keeps the program busy for
        # seconds without taking messages.
        driver.click_control(QUERY, wait=False)
        wait_until(lambda: line.read(timeout=0.1), wine_session.w.bound(5),
                   what="the query command")
        assert not driver.responds(300)["answered"]
        began = time.monotonic()
        waited = driver.wait_text(STATION_TIME, "", 0)
        assert not waited["changed"] and waited["text"] == ""
        assert driver.text(STATUS) == READY
        assert time.monotonic() - began < 1.0


def crashing_step(w):
    """A Wine process of the width under test that crashes at once."""
    rundll32 = "rundll32" if w.bits == 64 else r"C:\windows\syswow64\rundll32.exe"
    return [LOADER, rundll32, "kernel32.dll,DebugBreak"]


def assert_no_debugger_ran(output):
    # The crash shows, and the debugger Wine would start for it did not:
    # it prints the crashed process's backtrace and modules.
    assert b"Unhandled exception" in output, output
    assert b"Backtrace:" not in output and b"Modules:" not in output, output


def test_a_crashed_process_ends_without_a_debugger(wine_session):
    log_path = wine_session.logs / "crash.log"
    with open(log_path, "wb") as log:
        subprocess.run(crashing_step(wine_session.w), env=wine_session.env,
                       stdout=log, stderr=log, timeout=wine_session.w.bound(60))
    assert_no_debugger_ran(log_path.read_bytes())
    assert wine_session.wine_processes("winedbg") == []


def test_a_prefix_build_that_crashed_or_hung_starts_again(wine_session, tmp_path, monkeypatch):
    good, _ = cached_prefix(tmp_path)
    monkeypatch.setenv("STATIONCLOCK_PREFIX_CACHE", str(tmp_path / "cache"))
    # A process that crashes in a finished prefix, a step that hangs, a
    # build from nothing.
    crashing = [(["sh", "-c", f'cp -a "{good}" "$WINEPREFIX"'], 60),
                (crashing_step(wine_session.w), 60)]
    seeded = {1: crashing, 2: [(["sleep", "600"], 1)], 3: build_steps()}
    cached, tried = cached_prefix(tmp_path, lambda attempt: seeded[attempt])
    assert prefix_problems(cached) == []
    assert tried.retries() == 2
    assert re.fullmatch(r"attempt 1 failed after \d+ s: wine64 \S*rundll32\S* "
                        r"kernel32.dll,DebugBreak ended with \d+ \(see prefix-build1.log\)",
                        tried.failures[0]), tried.failures
    assert re.fullmatch(r"attempt 2 failed after [12] s: sleep 600 took over 1 s "
                        r"\(see prefix-build2.log\)", tried.failures[1]), tried.failures
    assert_no_debugger_ran((tmp_path / "prefix-build1.log").read_bytes())
    assert sorted(p.name for p in cached.parent.iterdir()) == sorted(["lock", cached.name])


def sign_in_server_log(session):
    """The first attempt's server log gets a crashed process's line."""
    server_log = session.logs / "wineserver.log"
    if server_log.exists():
        with open(server_log, "ab") as log:
            log.write(b"wineserver crashed, please enable coredumps\n")
        return True
    return False


def first_driver_killed(session):
    """The first attempt's driver ends before it answers."""
    pids = session.wine_processes("scdriver")
    for pid in pids:
        os.kill(pid, signal.SIGKILL)
    return bool(pids)


@pytest.mark.parametrize("seed, why", [
    (sign_in_server_log, "wineserver.log: wineserver crashed"),
    (first_driver_killed, "the driver ended (see driver.log)"),
])
def test_a_first_start_that_crashed_starts_again_with_fresh_logs(wine_session, tmp_path,
                                                                 seed, why):
    session = WineSession(wine_session.w, root=tmp_path)
    seeded = threading.Event()

    def seed_once():
        while not seeded.is_set():
            if seed(session):
                seeded.set()
            time.sleep(0.01)
    thread = threading.Thread(target=seed_once, daemon=True)
    thread.start()
    try:
        session.start()
        assert session.retries == 1, session.notes
        assert re.fullmatch(rf"first start attempt 1 failed after \d+ s: {re.escape(why)}; "
                            "again from a fresh copy", session.notes[0]), session.notes
        assert (session.root / "logs-crash1" / "wineserver.log").exists()
        assert session.crash() is None
        session.assert_ports_safe()
    finally:
        seeded.set()
        session.close()
