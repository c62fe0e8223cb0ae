"""The two station exchanges of the real program under Wine, against the
simulated station: the exact label texts of a query, the bytes and pacing of
a sync, odd replies, and stations that never finish answering."""

import datetime
import threading
import time

import pytest

from program import ELAPSED, PORTS, QUERY, READY, STATION_TIME, STATUS, SYNC, delta_of, texts_match
from ptys import PtyPair
from station import ask
from width import wait_until

GIVE_UP_BOUND_S = 5.0 + 2.0  # reply start limit + frame limit


def label_texts(driver):
    return driver.text(STATION_TIME), driver.text(ELAPSED)


@pytest.mark.parametrize("tz", ["UTC", "EST5EDT"])
def test_query_then_sync_brings_the_station_clock_in_line(launch, stations, tz):
    station = stations("--offset", "-100", tz=tz)
    driver = launch(ports={2: station.path}, extra_env={"TZ": tz})
    assert driver.text(PORTS) == "COM2"
    assert driver.text(STATUS) == READY

    (first, elapsed), reply = ask(driver, station, 1)
    assert delta_of(first) in (97, 98, 99)
    assert elapsed.startswith("Прошло 0 дней (")

    # Sync: 110 and the local time at the click, each byte 210 ms apart.
    sent_from = len(station.received())
    driver.click_control(SYNC)
    station.wait_for("SET")
    received = station.received()[sent_from:]
    assert [b for _, b in received][:1] == [110]
    assert len(received) == 7
    gaps = [b[0] - a[0] for a, b in zip(received, received[1:])]
    assert all(gap >= 205 for gap in gaps), gaps
    assert received[-1][0] - received[0][0] >= 1255
    # The fields are one reading of the local clock, taken after 110 went out
    # and before the first field did (the station stamps what it received
    # a moment later, to the second).
    hour, minute, second, day, month, year = [b for _, b in received[1:]]
    read = datetime.datetime(2000 + year, month, day, hour, minute, second)
    command, first_field = station.lines("RX")[sent_from:sent_from + 2]
    assert (command.wall.replace(microsecond=0) - datetime.timedelta(seconds=1)
            <= read <= first_field.wall), (read, command.wall, first_field.wall)

    # The station now runs about 1.3 s behind the frame's moment.
    (after, _), _ = ask(driver, station, 2)
    assert abs(delta_of(after)) <= 2

    driver.key("alt+f4")
    ended = driver.wait_exit(5000)
    assert ended["exited"] and ended["code"] == 0


def test_odd_replies_show_exactly_what_arrived(launch, stations):
    ahead = datetime.datetime.now() + datetime.timedelta(days=2, hours=1)
    future = "+".join(f"field={i}:{v}" for i, v in zip(
        range(7, 13), (ahead.hour, ahead.minute, ahead.second, ahead.day, ahead.month,
                       ahead.year % 100)))
    modes = ["prefix=5", "trailing=4", "normal", "field=1:200", "field=5:13", future]
    station = stations("--mode", ",".join(modes))
    driver = launch(ports={2: station.path})
    shown = [ask(driver, station, n)[0] for n in range(1, len(modes) + 1)]
    assert shown[3][0].startswith("-56:")
    assert "/13/" in shown[4][0]
    # A second timestamp two days ahead: days counted toward zero.
    assert shown[5][1].startswith("Прошло -2 дней (-")


def test_flush_drops_what_followed_the_last_frame(wine_session, launch):
    good = bytes([10, 20, 30, 4, 5, 13, 1, 2, 3, 4, 5, 13])
    stale = bytes([91, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1])
    with PtyPair() as line:
        answers = [bytes([91]) + good + stale, bytes([91]) + good]
        received = []

        def station():
            for answer in answers:
                while not line.read(1, timeout=10) == b"d":
                    pass
                received.append(time.monotonic())
                line.write(answer)
        thread = threading.Thread(target=station, daemon=True)
        thread.start()
        driver = launch(ports={1: line.path})
        for number in (1, 2):
            driver.click_control(QUERY, wait=False)
            wait_until(lambda: len(received) >= number, wine_session.w.bound(10), what="a query")
            now = datetime.datetime.now().replace(microsecond=0)
            wait_until(lambda: texts_match(label_texts(driver), good, now),
                       wine_session.w.bound(5), what=f"the texts of answer {number}")
            time.sleep(0.3)  # the stale bytes of the first answer have arrived
        thread.join(5)


@pytest.mark.parametrize("mode", ["silent", "short=2", "delay=6000", "short=6", "stream=4000",
                                  "hangup=5"])
def test_station_that_never_finishes_cannot_hold_the_window(launch, stations, mode):
    station = stations("--mode", mode)
    driver = launch(ports={2: station.path})
    before = label_texts(driver)
    started = time.monotonic()
    driver.click_control(QUERY, wait=False)
    station.wait_for("QUERY")
    answered = driver.responds(int(GIVE_UP_BOUND_S * 1000) + 2000)
    took = time.monotonic() - started
    assert answered["answered"] and took <= GIVE_UP_BOUND_S + 1.5, (answered, took)
    assert label_texts(driver) == before
    # The window answers: the list drops and closes, the window closes.
    driver.click_control(PORTS)
    assert driver.combo(PORTS)["dropped"]
    driver.key("escape")
    driver.key("tab")  # Alt+F4 from a button: Wine's list keeps it to itself
    driver.key("alt+f4")
    ended = driver.wait_exit(5000)
    assert ended["exited"] and ended["code"] == 0


def test_clicks_during_a_query_run_two_more_queries_in_order(launch, stations):
    station = stations("--reply-delay", "1200")
    driver = launch(ports={2: station.path})
    driver.click_control(QUERY, wait=False)
    station.wait_for("QUERY")
    driver.click_control(QUERY, wait=False)
    driver.click_control(QUERY, wait=False)
    replies = station.wait_for("REPLY", 3, seconds=15)
    queries = station.lines("QUERY")
    assert len(queries) == 3
    # Each query starts only after the answer to the one before.
    for previous, current in zip(replies, queries[1:]):
        assert current.mono > previous.mono
    time.sleep(1.5)
    assert len(station.lines("QUERY")) == 3
    assert texts_match(label_texts(driver), replies[2].frame(),
                       replies[2].wall.replace(microsecond=0))


def test_closing_during_a_query_ends_the_program_after_the_query(launch, stations):
    station = stations("--reply-delay", "1500")
    driver = launch(ports={2: station.path})
    driver.click_control(QUERY, wait=False)
    station.wait_for("QUERY")
    driver.key("alt+f4", wait=False)
    ended = driver.wait_exit(10000)
    assert ended["exited"] and ended["code"] == 0
    # The reply went out in full before the program let go of the port.
    reply = station.wait_for("REPLY")[0]
    closed = station.wait_for("CLOSE")[-1]
    assert closed.mono >= reply.mono
    assert len(station.lines("TX")) == 13 and not station.lines("TX-LOST")
