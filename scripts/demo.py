"""Runs stationclock.exe under Wine against the simulated station.

The station sits on COM3 (COM1 and COM2 are absent, so the port probe skips
them) with its clock 37 s behind and its second timestamp three days back.
With a display the window opens there for you to use, and this ends when you
close it. Without one it runs headless: it asks the station, saves a
screenshot, sets the station's clock, asks again and shows that Delta shrank.
"""

import datetime
import os
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "wine"))

from program import PORTS, STATUS, SYNC, delta_of  # noqa: E402
from session import WineSession  # noqa: E402
from station import Station, ask  # noqa: E402
from width import BUILD, width  # noqa: E402

STATION_PORT = 3
OFFSET_S = -37


def usable_display():
    display = os.environ.get("DISPLAY")
    if not display:
        return None
    probe = os.system(f"xdpyinfo -display {display} >/dev/null 2>&1")
    return display if probe == 0 else None


def headless(session, station, shots):
    with session.driver() as driver:
        driver.start_program()
        driver.move(1010, 755)
        print(f"port list: {driver.text(PORTS)}, status: {driver.text(STATUS)}")

        first, _ = ask(driver, station, 1)
        shot = session.screenshot(shots / "query.png", driver.window()["rect"])
        print(f"screenshot after the query: {shot}")
        print(f"  station time label: {first[0]}")
        print(f"  elapsed label:      {first[1]}")

        driver.click_control(SYNC)
        station.wait_for("SET")
        received = [byte for _, byte in station.received()][-7:]
        print(f"sync sent: {' '.join(map(str, received))}")

        time.sleep(1.0)
        second, _ = ask(driver, station, 2)
        print("after the sync:")
        print(f"  station time label: {second[0]}")
        print(f"  elapsed label:      {second[1]}")
        before, after = delta_of(first[0]), delta_of(second[0])
        print(f"Delta went from {before} s to {after} s")

        driver.key("alt+f4")
        ended = driver.wait_exit(5000)
        print(f"the program ended with exit code {ended.get('code')}")
        return 0 if abs(after) < abs(before) and ended.get("code") == 0 else 1


def on_display(session):
    with session.driver() as driver:
        driver.start_program()
        print("the window is open; close it to end")
        while not driver.wait_exit(60000)["exited"]:
            pass
    return 0


def main():
    display = usable_display()
    shots = BUILD / "demo"
    shots.mkdir(parents=True, exist_ok=True)
    reference = datetime.datetime.now() - datetime.timedelta(days=3, hours=2)
    with WineSession(width(64), display=display) as session:
        print("Wine prefix ready" + (f" on display {display}" if display else " (headless)"))
        with Station(session, "--offset", str(OFFSET_S), "--reference",
                     reference.strftime("%Y-%m-%d %H:%M:%S")) as station:
            session.map_ports({STATION_PORT: station.path})
            print(f"simulated station on COM{STATION_PORT}, its clock {-OFFSET_S} s behind; "
                  f"its log: {station.log_path}")
            return on_display(session) if display else headless(session, station, shots)


if __name__ == "__main__":
    sys.exit(main())
