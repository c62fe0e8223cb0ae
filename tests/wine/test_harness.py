"""The harness's own guarantees that need Wine, or the isolated /dev of an
end-to-end run: no program start while a COM link is not the test's, no
serial device reachable, the driver's reading of a busy program, and a
session that starts again after Wine crashed during its first start. The
rest of the harness's self-tests need no Wine: test_rig.py."""

import os
import threading
import time

import pytest

from ports import UnsafePorts, exposed_serial_devices
from program import QUERY, READY, STATION_TIME, STATUS
from ptys import PtyPair
from session import WineSession


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
        wine_session.wait_until(lambda: line.read(timeout=0.1), 5, what="the query command")
        assert not driver.responds(300)["answered"]
        began = time.monotonic()
        waited = driver.wait_text(STATION_TIME, "", 0)
        assert not waited["changed"] and waited["text"] == ""
        assert driver.text(STATUS) == READY
        assert time.monotonic() - began < 1.0


@pytest.mark.only64("the retry is the same code in both widths, and a second "
                    "session costs a minute under qemu")
def test_a_first_start_that_crashed_starts_again_with_fresh_logs(wine_session, tmp_path):
    session = WineSession(wine_session.w, root=tmp_path)
    server_log = session.logs / "wineserver.log"
    signed = threading.Event()

    def crash_sign():
        # The first attempt's server log gets a crashed process's line.
        while not signed.is_set():
            if server_log.exists():
                with open(server_log, "ab") as log:
                    log.write(b"wineserver crashed, please enable coredumps\n")
                signed.set()
            time.sleep(0.01)
    thread = threading.Thread(target=crash_sign, daemon=True)
    thread.start()
    try:
        session.start()
        assert session.notes == ["first start crashed (wineserver.log: wineserver crashed); "
                                 "again from a fresh copy"]
        assert b"crashed" in (session.root / "logs-crash1" / "wineserver.log").read_bytes()
        assert session.crash() is None
        session.assert_ports_safe()
    finally:
        signed.set()
        session.close()
