"""The harness's own guarantees that the other tests lean on: no program
start while a COM link is not the test's, and the pseudo-terminals that
stand in for present and held ports, and the driver's reading of a busy
program."""

import os
import time

import pytest

import harness


@pytest.fixture
def com3_link(wine_session, runner):
    """The prefix's com3 link with every port mapped absent, put back as it
    was after the test."""
    runner.close()
    wine_session.map_ports({})
    link = wine_session.prefix / "dosdevices" / "com3"
    original = os.readlink(link)
    yield link
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(original, link)
    wine_session.assert_ports_safe()


def test_no_start_while_a_com_link_is_missing_or_elsewhere(wine_session, runner, com3_link):
    wine_session.assert_ports_safe()
    # A missing link is the dangerous case: Wine then falls back to
    # /dev/ttyS2 for COM3 by itself.
    os.unlink(com3_link)
    with pytest.raises(harness.UnsafePorts, match="com3"):
        wine_session.assert_ports_safe()
    os.symlink(wine_session.absent_port_path(4), com3_link)
    with wine_session.driver() as driver:
        with pytest.raises(harness.UnsafePorts, match="com3"):
            driver.start_program()
        assert not driver.status()["started"]
    # Mapping the same ports again puts the link right.
    wine_session.map_ports({})
    assert os.readlink(com3_link) == wine_session.absent_port_path(3)


def test_absent_port_path_must_not_exist(wine_session, runner):
    runner.close()
    wine_session.map_ports({})
    path = wine_session.absent_port_path(11)
    open(path, "w").close()
    try:
        with pytest.raises(harness.UnsafePorts, match="com11"):
            wine_session.assert_ports_safe()
    finally:
        os.unlink(path)
    wine_session.assert_ports_safe()


def test_pty_pair_carries_raw_bytes_both_ways():
    every_byte = bytes(range(256))
    with harness.PtyPair() as pty:
        far = os.open(pty.path, os.O_RDWR | os.O_NOCTTY)
        try:
            os.write(far, every_byte)
            received = b""
            while len(received) < len(every_byte):
                chunk = pty.read(timeout=2)
                assert chunk, received
                received += chunk
            assert received == every_byte
            pty.write(every_byte)
            received = b""
            while len(received) < len(every_byte):
                received += os.read(far, 4096)
            assert received == every_byte
        finally:
            os.close(far)


def test_locked_pty_exists_but_cannot_be_opened():
    with harness.LockedPty() as held:
        assert os.path.exists(held.path)
        with pytest.raises(OSError):
            os.open(held.path, os.O_RDWR | os.O_NOCTTY)


def test_labels_are_read_at_once_while_the_program_is_busy(launch):
    query, station_time, status = 0, 3, 6
    with harness.PtyPair() as line:
        driver = launch(ports={1: line.path})
        assert driver.text(status) == "READY"
        # Nothing answers on the line: the query keeps the program busy for
        # seconds without taking messages.
        driver.click_control(query, wait=False)
        harness.wait_until(lambda: line.read(timeout=0.1), 5, what="the query command")
        assert not driver.responds(300)["answered"]
        began = time.monotonic()
        waited = driver.wait_text(station_time, "", 400)
        assert not waited["changed"] and waited["text"] == ""
        assert driver.text(status) == "READY"
        assert time.monotonic() - began < 1.0
