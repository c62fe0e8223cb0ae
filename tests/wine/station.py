"""The simulated station (tools/stationsim) on a pseudo-terminal of its own,
for the end-to-end tests, the benchmark and the demo; and its log."""

import datetime
import os
import subprocess
import tempfile
from pathlib import Path

from program import ELAPSED, QUERY, STATION_TIME, texts_match
from width import Closes, HarnessError, end_process, stationsim_exe, wait_until


class LogLine:
    """One line of the simulator's log: mono (ms, CLOCK_MONOTONIC), wall
    (naive local datetime), event and its words."""

    def __init__(self, line):
        mono, wall, self.event, *self.words = line.split()
        self.mono = float(mono)
        self.wall = datetime.datetime.fromisoformat(wall)

    def numbers(self):
        return [int(word) for word in self.words]

    def frame(self):
        """The 12 data bytes of the frame in a REPLY line (after the start
        byte)."""
        sent = self.numbers()
        start = sent.index(91)
        return sent[start + 1:start + 13]


class Station(Closes):
    """A running stationsim in a session's folder and environment (TZ may be
    given); .path is the link to map a COM port to. args are its options."""

    def __init__(self, session, *args, tz=None):
        self.session = session
        env = dict(session.env, **({"TZ": tz} if tz else {}))
        self.folder = Path(tempfile.mkdtemp(prefix="station-", dir=session.root))
        self.path = str(self.folder / "port")
        self.log_path = self.folder / "station.log"
        self._proc = subprocess.Popen(
            [str(stationsim_exe()), "--link", self.path, "--log", str(self.log_path), *args],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env, text=True,
            start_new_session=True)
        first = self._proc.stdout.readline()
        if not first.startswith("PORT "):
            self.stop()
            raise HarnessError(f"stationsim said {first!r}")
        wait_until(lambda: os.path.islink(self.path), 5, what="the station's link")

    def lines(self, event=None):
        try:
            text = self.log_path.read_text()
        except FileNotFoundError:
            return []
        lines = [LogLine(line) for line in text.splitlines() if line.strip()]
        return [line for line in lines if event is None or line.event == event]

    def wait_for(self, event, count=1, seconds=10):
        """The log's lines of this event once there are count of them."""
        return wait_until(
            lambda: len(self.lines(event)) >= count and self.lines(event),
            self.session.w.bound(seconds),
            what=f"{count} x {event} from the station")

    def received(self):
        """Bytes the station received, as (mono ms, byte)."""
        return [(line.mono, int(line.words[0])) for line in self.lines("RX")]

    def stop(self):
        code = end_process(self._proc, 5)
        self._proc.stdout.close()
        return code

    close = stop


def ask(driver, station, number):
    """Clicks "Спросить" and waits for the station's answer number (from 1)
    to show in the window; returns the two label texts and the REPLY line."""
    driver.click_control(QUERY, wait=False)
    reply = station.wait_for("REPLY", number)[number - 1]
    around = reply.wall.replace(microsecond=0)

    def shown():
        texts = driver.text(STATION_TIME), driver.text(ELAPSED)
        return texts if texts_match(texts, reply.frame(), around) else None
    return wait_until(shown, driver.w.bound(5), what=f"the texts of reply {number}"), reply
