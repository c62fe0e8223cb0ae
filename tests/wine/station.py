"""The simulated station (tools/stationsim) for the end-to-end tests, and the
texts the program must show for a reply it sent."""

import datetime
import os
import signal
import subprocess
import tempfile
import time
from pathlib import Path

import harness


def stationsim_exe():
    default = harness.build_dir() / "native" / "tools" / "stationsim" / "stationsim"
    return Path(os.environ.get("STATIONSIM", default))


class LogLine:
    """One line of the simulator's log: mono (ms, CLOCK_MONOTONIC), wall
    (naive local datetime), event and its words."""

    def __init__(self, line):
        mono, wall, self.event, *self.words = line.split()
        self.mono = float(mono)
        self.wall = datetime.datetime.fromisoformat(wall)

    def numbers(self):
        return [int(word) for word in self.words]


class Station:
    """A running stationsim on its own pseudo-terminal; .path is the link to
    map a COM port to."""

    def __init__(self, folder, *args, env=None):
        exe = stationsim_exe()
        if not exe.exists():
            raise harness.HarnessError(f"{exe} not found: build the native preset")
        self.folder = Path(tempfile.mkdtemp(prefix="station-", dir=folder))
        self.path = str(self.folder / "port")
        self.log_path = self.folder / "station.log"
        self._proc = subprocess.Popen(
            [str(exe), "--link", self.path, "--log", str(self.log_path), *args],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env, text=True,
            start_new_session=True)
        first = self._proc.stdout.readline()
        if not first.startswith("PORT "):
            self.stop()
            raise harness.HarnessError(f"stationsim said {first!r}")
        harness.wait_until(lambda: os.path.islink(self.path), 5, what="the station's link")

    def lines(self, event=None):
        try:
            text = self.log_path.read_text()
        except FileNotFoundError:
            return []
        lines = [LogLine(line) for line in text.splitlines() if line.strip()]
        return [line for line in lines if event is None or line.event == event]

    def wait_for(self, event, count=1, timeout=10.0):
        """The log's lines of this event once there are count of them."""
        return harness.wait_until(lambda: len(self.lines(event)) >= count and self.lines(event),
                                  timeout, what=f"{count} x {event} from the station")

    def received(self):
        """Bytes the station received, as (mono ms, byte)."""
        return [(line.mono, int(line.words[0])) for line in self.lines("RX")]

    def stop(self):
        if self._proc.poll() is None:
            self._proc.send_signal(signal.SIGTERM)
            try:
                self._proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self._proc.kill()
                self._proc.wait()
        self._proc.stdout.close()
        return self._proc.returncode

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


# ---------------------------------------------------------------- expected texts

EPOCH = datetime.datetime(1970, 1, 1)


def signed(byte):
    return byte - 256 if byte > 127 else byte


def date_seconds(year, month, day, hour, minute, second):
    """Seconds from 1970 of a local wall-clock reading, or -1 when the fields
    are outside 1970-01-01 .. 2038-01-18 or impossible."""
    try:
        moment = datetime.datetime(year, month, day, hour, minute, second)
    except (ValueError, OverflowError):
        return -1
    if not EPOCH <= moment < datetime.datetime(2038, 1, 19):
        return -1
    return int((moment - EPOCH).total_seconds())


def expected_texts(frame, pc_now):
    """The two label texts for the 12 data bytes of a reply, with the PC's
    local clock reading pc_now (a naive datetime) at the time."""
    d = [signed(b) for b in frame]
    pc = date_seconds(pc_now.year, pc_now.month, pc_now.day, pc_now.hour, pc_now.minute,
                      pc_now.second) - 2
    station = date_seconds(2000 + d[5], d[4], d[3], d[0], d[1], d[2])
    reference = date_seconds(2000 + d[11], d[10], d[9], d[6], d[7], d[8])
    delta, elapsed = pc - station, pc - reference
    days = int(elapsed / 86400)  # toward zero
    first = f"{d[0]}:{d[1]}:{d[2]}   Delta {delta}c. {d[3]}/{d[4]}/20{d[5]}"
    second = f"Прошло {days} дней ({elapsed}с.)"
    return first, second


def frame_of(reply_line):
    """The 12 data bytes of the frame in a REPLY line (after the start byte)."""
    sent = reply_line.numbers()
    start = sent.index(91)
    return sent[start + 1:start + 13]


def texts_match(shown, frame, around):
    """Whether shown (two texts) is what the program shows for the frame with
    the PC clock read at around, give or take a second."""
    return any(tuple(shown) == expected_texts(frame, around + datetime.timedelta(seconds=s))
               for s in (0, -1, 1))


def wall_now():
    """The local wall clock now, as the program reads it."""
    return datetime.datetime.now().replace(microsecond=0)


def monotonic_ms():
    return time.clock_gettime(time.CLOCK_MONOTONIC) * 1000.0
