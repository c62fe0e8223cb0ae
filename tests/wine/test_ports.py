"""Port discovery and selection of the real program under Wine: which port
the probe settles on, what StatusLabel says, reopening on the user's choice,
and the line the program opens."""

from program import IDOK, NOT_AVAILABLE, PORTS, QUERY, READY, STATUS, SYNC, warning
from ptys import LockedPty
from width import wait_until


def assert_warns(driver, button, port):
    driver.click_control(button)
    box = driver.msgbox()
    assert box["found"] and box["title"] == "" and box["text"] == warning(port)
    assert driver.msgbox_press(IDOK)["closed"]


def test_only_com7_present_is_found_and_later_ports_are_not_tried(
        wine_session, launch, stations):
    com7, com8 = stations(), stations()
    driver = launch(ports={7: com7.path, 8: com8.path})
    assert driver.text(PORTS) == "COM7"
    assert driver.combo(PORTS)["selected"] == 6
    assert driver.text(STATUS) == READY
    com7.wait_for("OPEN")
    # The line as the program set it up: 1200 baud, one stop bit. The
    # station looks at the line's settings now and then, so give it a moment.
    wait_until(lambda: [line.words for line in com7.lines("SETTINGS")][-1:]
               == [["1200", "8N1"]], wine_session.w.bound(5), what="1200 8N1 on COM7")
    assert not com8.lines("OPEN")


def test_held_and_absent_ports_are_skipped(launch, stations):
    com3 = stations()
    with LockedPty() as held:
        driver = launch(ports={1: held.path, 3: com3.path})
        assert driver.text(PORTS) == "COM3"
        assert driver.text(STATUS) == READY


def test_two_digit_port_is_found(launch, stations):
    com15 = stations()
    driver = launch(ports={15: com15.path})
    assert driver.text(PORTS) == "COM15"
    assert driver.text(STATUS) == READY
    com15.wait_for("OPEN")


def test_user_choice_reopens_and_a_missing_port_warns_until_a_good_one_is_picked(
        launch, stations):
    com3 = stations()
    driver = launch(ports={3: com3.path})
    assert driver.text(PORTS) == "COM3"
    com3.wait_for("OPEN")

    # An absent port: the open one is closed, nothing reopens it. (Whether
    # clicking the entry already selected counts as a change is up to the
    # list control; the unit tests cover a change event for the same entry.)
    driver.pick_mouse(PORTS, 4)
    assert driver.text(PORTS) == "COM5"
    assert driver.text(STATUS) == NOT_AVAILABLE
    com3.wait_for("CLOSE")
    assert_warns(driver, QUERY, "COM5")
    assert_warns(driver, SYNC, "COM5")
    assert not com3.received()

    # Back to COM3 with the arrow keys, through the absent COM4.
    driver.key("tab")  # from SyncButton, which took the focus when clicked
    assert driver.focused_id() == PORTS
    driver.pick_keys(PORTS, 3)
    assert driver.text(STATUS) == NOT_AVAILABLE
    driver.pick_keys(PORTS, 2)
    assert driver.text(PORTS) == "COM3"
    assert driver.text(STATUS) == READY
    com3.wait_for("OPEN", 2)
