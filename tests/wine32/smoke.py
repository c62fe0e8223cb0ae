"""Smoke test of the 32-bit program, stationclock32.exe, under 32-bit Wine
(run through tests/wine32/smoke.sh, which installs what it needs and masks
the machine's serial devices).

Against the simulated station on COM3 (every other COM1..COM20 absent) it
checks that the window comes up with its six controls, that the probe finds
the station, that a query shows exactly the texts the reply calls for, that a
sync sends the local time paced as on the real line, and that the window
closes with exit code 0. One line per check, then "N passed, M failed".
"""

import argparse
import contextlib
import datetime
import os
import shutil
import subprocess
import sys
import time
import traceback

import wine32  # also puts tests/wine on the path
import harness  # noqa: E402
from station import Station, frame_of, stationsim_exe, texts_match  # noqa: E402

QUERY, SYNC, STATION_TIME, ELAPSED, PORTS, STATUS = 0, 2, 3, 4, 5, 6
STATION_COM = 3
TITLE = "Метеостанция"
# id: (class, text); None where the text depends on the run.
CONTROLS = {
    QUERY: ("Button", "Спросить"),
    SYNC: ("Button", "Синхро"),
    STATION_TIME: ("Static", None),
    ELAPSED: ("Static", None),
    PORTS: ("ComboBox", None),
    STATUS: ("Static", None),
}
SET_CLOCK_BYTE = 110
# The program pauses 210 ms before each frame byte; the station's timestamps
# of their arrival carry a few ms of scheduling jitter on a busy machine.
SYNC_GAP_MS = 205
STATION_OFFSET_S = -100
REFERENCE_DAYS_BACK = 1234

FIRST_START_S = 400  # the first Wine process brings up Wine's services
PROGRAM_IDLE_MS = 90000


class CheckFailed(Exception):
    pass


def require(condition, message):
    if not condition:
        raise CheckFailed(message)


# ---------------------------------------------------------------- pure checks


def control_problems(window, children):
    """What differs from the main window and its six controls."""
    problems = []
    if window["title"] != TITLE:
        problems.append(f"title {window['title']!r}")
    if not window["visible"]:
        problems.append("window not visible")
    by_id = {c["id"]: c for c in children}
    if len(children) != len(CONTROLS) or set(by_id) != set(CONTROLS):
        problems.append(f"controls {sorted(by_id)} (wanted {sorted(CONTROLS)})")
    for number, (cls, text) in CONTROLS.items():
        child = by_id.get(number)
        if child is None:
            continue
        if child["class"] != cls:
            problems.append(f"control {number} is a {child['class']}")
        if text is not None and child["text"] != text:
            problems.append(f"control {number} reads {child['text']!r} (wanted {text!r})")
        if not child["visible"]:
            problems.append(f"control {number} hidden")
    return problems


def time_fields(moment):
    return [moment.hour, moment.minute, moment.second, moment.day, moment.month,
            moment.year % 100]


def sync_problems(received):
    """What is wrong with the bytes a sync put on the line: received is
    [(mono ms, naive local wall datetime, byte)] from the station's log. They
    must be 110 and the local time at the click (h, m, s, d, mo, yy; the
    second may have turned while the byte travelled), each of the last six at
    least SYNC_GAP_MS after the one before."""
    problems = []
    data = [b for _, _, b in received]
    if len(received) != 7:
        return [f"{len(received)} bytes arrived: {data}"]
    if data[0] != SET_CLOCK_BYTE:
        problems.append(f"first byte {data[0]}, not {SET_CLOCK_BYTE}")
    gaps = [round(b[0] - a[0], 1) for a, b in zip(received, received[1:])]
    if any(gap < SYNC_GAP_MS for gap in gaps):
        problems.append(f"gaps {gaps} ms, some under {SYNC_GAP_MS}")
    elif received[-1][0] - received[0][0] < 6 * 210 - 5:
        problems.append(f"gaps {gaps} ms, together under {6 * 210} ms")
    arrived = received[0][1].replace(microsecond=0)
    candidates = [arrived + datetime.timedelta(seconds=s) for s in (0, -1, 1)]
    if not any(data[1:] == time_fields(t) for t in candidates):
        problems.append(f"fields {data[1:]}, local time at the click {time_fields(arrived)}")
    return problems


def delta_of(text):
    return int(text.split("Delta ")[1].split("c.")[0])


@contextlib.contextmanager
def realtime_children():
    """Processes started inside run with real-time (FIFO) scheduling.

    The station's log times are what the sync's pacing is measured by. With
    both processors busy with Wine under qemu, a station process of normal
    priority is now and then woken a little late and stamps a byte late,
    which makes the next gap look short by that much. Real-time scheduling
    keeps its stamps prompt; the station sleeps in poll() between bytes."""
    try:
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(10))
    except OSError:
        pass  # not allowed: the station runs at normal priority
    try:
        yield
    finally:
        os.sched_setscheduler(0, os.SCHED_OTHER, os.sched_param(0))


# ---------------------------------------------------------------- reporting


class Report:
    def __init__(self, names):
        self.names = list(names)
        self.passed = 0
        self.failed = 0
        self.stopped = None
        self.began = time.monotonic()

    def check(self, name, run):
        """Runs one check: run() returns a detail text or raises. After a
        failure the later checks are not run and count as failed."""
        assert name in self.names, name
        if self.stopped:
            return None
        started = time.monotonic()
        try:
            detail = run()
        except Exception as e:  # every failure is reported, then the run stops
            self.failed += 1
            self.stopped = name
            reason = str(e) or type(e).__name__
            if not isinstance(e, (CheckFailed, harness.HarnessError)):
                reason = "".join(traceback.format_exception_only(type(e), e)).strip()
            print(f"FAIL {name}: {reason} [{time.monotonic() - started:.1f} s]", flush=True)
            return None
        self.passed += 1
        took = time.monotonic() - started
        print(f"ok   {name}" + (f" ({detail})" if detail else "") + f" [{took:.1f} s]",
              flush=True)
        return detail

    def finish(self):
        not_run = self.names[self.names.index(self.stopped) + 1:] if self.stopped else []
        for name in not_run:
            print(f"FAIL {name}: not run after a failure", flush=True)
        self.failed += len(not_run)
        print(f"total {time.monotonic() - self.began:.0f} s", flush=True)
        print(f"{self.passed} passed, {self.failed} failed", flush=True)
        return self.failed == 0


CHECK_SETUP = "32-bit Wine, qemu and the i386 binfmt entry in place"
CHECK_SELF = "self-tests of the port guard and the checks"
CHECK_SAFE = "the machine's serial devices masked, builds present"
CHECK_PREFIX = "win32 prefix ready"
CHECK_STATION = "simulated station on its pseudo-terminal"
CHECK_WINE = "32-bit Wine starts (the 32-bit driver answers)"
CHECK_LINKS = f"COM{STATION_COM} -> station, the other 19 of COM1..COM20 absent, links stable"
CHECK_WINDOW = f"stationclock32.exe shows \"{TITLE}\" with its six controls"
CHECK_PROBE = f"probe picks COM{STATION_COM}, status READY, line set to 1200 8N1"
CHECK_QUERY = "query: both labels exactly as the reply calls for"
CHECK_SYNC = "sync: 110 and the local time, 210 ms apart, station clock set"
CHECK_AFTER = "query after the sync: exact labels, Delta within 2 s"
CHECK_CLOSE = "Alt+F4 ends the program with exit code 0"
CHECK_LINKS_AFTER = "COM links unchanged after the run"
CHECKS = [CHECK_SETUP, CHECK_SELF, CHECK_SAFE, CHECK_PREFIX, CHECK_STATION, CHECK_WINE, CHECK_LINKS,
          CHECK_WINDOW, CHECK_PROBE, CHECK_QUERY, CHECK_SYNC, CHECK_AFTER, CHECK_CLOSE,
          CHECK_LINKS_AFTER]


# ---------------------------------------------------------------- the run


class Run:
    def __init__(self, options):
        self.options = options
        self.session = None
        self.station = None
        self.driver = None
        self.cached = None

    def setup(self):
        status = os.environ.get("WINE32_SETUP", "")
        require(status.startswith("ok"), f"tests/wine32/setup.sh: {status or 'not run'}")
        return status[2:].strip(" ;")

    def self_tests(self):
        here = os.path.dirname(os.path.abspath(__file__))
        result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                                 os.path.join(here, "test_wine32.py")],
                                capture_output=True, text=True, timeout=120)
        last = (result.stdout.strip().splitlines() or ["no output"])[-1]
        require(result.returncode == 0, f"{last}; python3 -m pytest tests/wine32/test_wine32.py")
        return last

    def safe(self):
        devices = wine32.serial_devices_masked()
        unmasked = [path for path, masked in devices if not masked]
        require(not unmasked, f"not masked: {unmasked} (run through tests/wine32/smoke.sh)")
        for path in (harness.program_exe(), harness.driver_exe(), stationsim_exe()):
            require(path.exists(), f"{path} missing: scripts/build.sh")
        return f"{len(devices)} masked"

    def prefix(self):
        wine32.CACHE_ROOT.mkdir(parents=True, exist_ok=True)
        started = time.monotonic()
        with open(wine32.CACHE_ROOT / "build.log", "ab") as log:
            self.cached, built = wine32.cached_prefix(log, rebuild=self.options.rebuild_prefix)
        self.session = wine32.Wine32Session(self.cached, keep=self.options.keep)
        how = f"built in {time.monotonic() - started:.0f} s" if built else "cached"
        return f"{how}: {self.cached}"

    def station_up(self):
        reference = (datetime.datetime.now() - datetime.timedelta(
            days=REFERENCE_DAYS_BACK, hours=5, minutes=6, seconds=7)).strftime("%Y-%m-%d %H:%M:%S")
        with realtime_children():
            self.station = Station(self.session.root, "--offset", str(STATION_OFFSET_S),
                                   "--reference", reference, env=dict(os.environ))
        return f"{self.station.path} -> {os.path.realpath(self.station.path)}"

    def wine_up(self):
        self.session.start({STATION_COM: self.station.path})
        started = time.monotonic()
        self.driver = self.session.driver(ready_timeout=FIRST_START_S)
        return f"first start {time.monotonic() - started:.0f} s, display {self.session.display}"

    def links(self):
        self.session.settle_links()
        self.session.assert_ports_safe()
        return None

    def window(self):
        reply = self.driver.start_program(idle_ms=PROGRAM_IDLE_MS, find_ms=30000)
        problems = control_problems(self.driver.window(), self.driver.children())
        require(not problems, "; ".join(problems))
        return f"start {reply['ms'] / 1000:.1f} s"

    def probe(self):
        require(self.driver.text(PORTS) == f"COM{STATION_COM}",
                f"port list shows {self.driver.text(PORTS)!r}")
        require(self.driver.text(STATUS) == "READY", f"status {self.driver.text(STATUS)!r}")
        settings = self.station.wait_for("SETTINGS", 1, timeout=5)
        require(settings[-1].words == ["1200", "8N1"], f"line set to {settings[-1].words}")
        return None

    def query(self, number):
        self.driver.click_control(QUERY, wait=False)
        reply = self.station.wait_for("REPLY", number, timeout=20)[number - 1]
        frame = frame_of(reply)
        around = reply.wall.replace(microsecond=0)
        shown = None

        def matches():
            nonlocal shown
            shown = (self.driver.text(STATION_TIME), self.driver.text(ELAPSED))
            return texts_match(shown, frame, around)
        try:
            harness.wait_until(matches, 10, interval=0.1, what="the labels")
        except harness.HarnessError:
            raise CheckFailed(f"labels {shown!r} for frame {frame} at {around}") from None
        return shown

    def first_query(self):
        shown = self.query(1)
        return f"{shown[0]!r} / {shown[1]!r}"

    def sync(self):
        before = len(self.station.lines("RX"))
        self.driver.click_control(SYNC)
        self.station.wait_for("SET", 1, timeout=20)
        received = [(line.mono, line.wall, line.numbers()[0])
                    for line in self.station.lines("RX")[before:]]
        problems = sync_problems(received)
        require(not problems, "; ".join(problems))
        gaps = [f"{b[0] - a[0]:.1f}" for a, b in zip(received, received[1:])]
        return f"{[b for _, _, b in received]}, gaps {', '.join(gaps)} ms"

    def after_sync(self):
        shown = self.query(2)
        delta = delta_of(shown[0])
        require(abs(delta) <= 2, f"Delta {delta} after the sync: {shown[0]!r}")
        return f"{shown[0]!r}"

    def close(self):
        self.driver.key("alt+f4", wait=False)
        ended = self.driver.wait_exit(20000)
        require(ended["exited"], "still running 20 s after Alt+F4")
        require(ended["code"] == 0, f"exit code {ended['code']}")
        return None

    def links_after(self):
        self.session.assert_ports_safe()
        return None

    def save_evidence(self):
        """After a failure: a screenshot, the Wine logs and the station's
        log in build/wine32-smoke/."""
        folder = harness.build_dir() / "wine32-smoke"
        folder.mkdir(parents=True, exist_ok=True)
        if self.session.display is not None:
            subprocess.run(["import", "-display", self.session.display, "-window", "root",
                            str(folder / "screen.png")], timeout=30, check=False,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for log in self.session.logs.glob("*.log"):
            shutil.copy(log, folder / log.name)
        if self.station is not None and self.station.log_path.exists():
            shutil.copy(self.station.log_path, folder / "station.log")
        return folder

    def tear_down(self):
        if self.session is not None:
            try:
                self.session.close()
            except Exception as e:
                print(f"note: tear-down: {e}", flush=True)
        if self.station is not None:
            self.station.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--keep", action="store_true", help="keep the run's prefix and logs")
    parser.add_argument("--rebuild-prefix", action="store_true",
                        help="build the cached prefix anew")
    options = parser.parse_args()

    # The 32-bit builds through the harness's own settings.
    build = harness.build_dir()
    os.environ.setdefault("STATIONCLOCK_EXE", str(build / "win32" / "stationclock32.exe"))
    os.environ.setdefault("SCDRIVER_EXE",
                          str(build / "win32" / "tests" / "wine" / "driver" / "scdriver.exe"))
    # A zone with daylight-saving time and the epoch on 31 December 1969
    # local time: date arithmetic that mixes up zones shows.
    os.environ["TZ"] = os.environ.get("STATIONCLOCK_WINE32_TZ", "EST5EDT")
    time.tzset()

    report = Report(CHECKS)
    run = Run(options)
    try:
        report.check(CHECK_SETUP, run.setup)
        report.check(CHECK_SELF, run.self_tests)
        report.check(CHECK_SAFE, run.safe)
        report.check(CHECK_PREFIX, run.prefix)
        report.check(CHECK_STATION, run.station_up)
        if report.check(CHECK_WINE, run.wine_up) is None and report.stopped == CHECK_WINE \
                and run.cached is not None:
            # A prefix whose first start fails is not trusted again.
            wine32.discard_cached_prefix(run.cached)
            print(f"note: cached prefix {run.cached} discarded; the next run builds it anew")
        report.check(CHECK_LINKS, run.links)
        report.check(CHECK_WINDOW, run.window)
        report.check(CHECK_PROBE, run.probe)
        report.check(CHECK_QUERY, run.first_query)
        report.check(CHECK_SYNC, run.sync)
        report.check(CHECK_AFTER, run.after_sync)
        report.check(CHECK_CLOSE, run.close)
        report.check(CHECK_LINKS_AFTER, run.links_after)
        if run.session is not None and report.stopped:
            print(f"note: screenshot and logs in {run.save_evidence()}", flush=True)
        if run.session is not None and options.keep:
            print(f"note: prefix and logs kept in {run.session.root}", flush=True)
    finally:
        run.tear_down()
    return 0 if report.finish() else 1


if __name__ == "__main__":
    sys.exit(main())
