"""Fixtures for the end-to-end tests under Wine (see README.md here). The
same tests run against either program: --width 64 (stationclock.exe, the
default) or --width 32 (stationclock32.exe under Wine's WoW64, on qemu here)."""

import shutil
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from session import WineSession  # noqa: E402
from station import Station  # noqa: E402
from width import HarnessError, width  # noqa: E402


class ProgramRunner:
    """Starts the program through a driver that is kept while it can be: one
    program at a time (each puts its window at the same place); the driver
    is replaced when the environment changes or it stopped answering."""

    def __init__(self, session):
        self.session = session
        self.driver = None
        self._env = None

    def start(self, ports=None, extra_env=None, args=(), **start_options):
        """Maps the ports (every one absent unless given), starts the program
        and finds its main window. Returns the driver, ready for commands."""
        extra_env = dict(extra_env or {})
        if self.driver is not None and (extra_env != self._env or not self._driver_alive()):
            self.close()
        self.session.map_ports(ports or {})
        if self.driver is None:
            self.driver = self.session.driver(extra_env)
            self._env = extra_env
        if self.driver.status()["running"]:
            raise HarnessError("a program is still running: finish() it first")
        self.driver.start_program(args=args, **start_options)
        return self.driver

    def _driver_alive(self):
        try:
            self.driver.call("ping")
            return True
        except HarnessError:
            return False

    def finish(self):
        """Ends the program if it still runs; a driver in trouble is closed.
        The COM links must still be the ones the test mapped."""
        if self.driver is None:
            return
        try:
            if self.driver.status()["running"]:
                self.driver.kill_program()
        except HarnessError:
            self.close()
        self.session.assert_ports_safe()

    def close(self):
        if self.driver is not None:
            self.driver.close()
            self.driver = None


def pytest_addoption(parser):
    parser.addoption("--keep-wine", action="store_true",
                     help="keep the temporary Wine prefix and logs after the run")
    parser.addoption("--width", choices=("64", "32"), default="64",
                     help="the program under test: 64 or 32 bits")


def pytest_report_header(config):
    return f"program under test: {width(config.getoption('--width')).program_exe()}"


@pytest.fixture(scope="session")
def wine_session(request):
    """The session of the run. One that cannot start ends the run at once
    with one message (not one per test), and leaves its logs."""
    w = width(request.config.getoption("--width"))
    session = None
    try:
        session = WineSession(w, keep=request.config.getoption("--keep-wine"))
        session.start()
    except Exception as e:
        where = ""
        if session is not None:
            kept = w.artifacts() / "failed-start"
            shutil.rmtree(kept, ignore_errors=True)
            shutil.copytree(session.root, kept, ignore=shutil.ignore_patterns("prefix"))
            session.close()
            where = f" (logs in {kept})"
        pytest.exit(f"the Wine session did not start: {type(e).__name__}: {e}{where}",
                    returncode=1)
    except BaseException:
        if session is not None:
            session.close()
        raise
    # Shown as the run goes, not only with a failure.
    with request.config.pluginmanager.get_plugin("capturemanager").global_and_fixture_disabled():
        for note in session.notes:
            print(f"\nWine session: {note}")
    yield session
    session.close()


@pytest.fixture(scope="session")
def runner(wine_session):
    runner = ProgramRunner(wine_session)
    yield runner
    runner.close()


@pytest.fixture
def launch(runner):
    """launch(ports=None, extra_env=None, args=(), exe=None, title=...) ->
    the driver with the program started; the program is ended after the
    test whatever happens."""
    yield runner.start
    runner.finish()


@pytest.fixture
def program(launch):
    """The program started with every port absent; the driver that runs it."""
    return launch()


@pytest.fixture
def stations(wine_session):
    """stations(*options, tz=None) starts a simulated station in the
    session's environment; each is stopped after the test."""
    started = []

    def start(*options, tz=None):
        started.append(Station(wine_session, *options, tz=tz))
        return started[-1]
    yield start
    for station in started:
        station.stop()


@pytest.hookimpl(tryfirst=True, hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if report.when != "call" or not report.failed:
        return
    session = item.funcargs.get("wine_session")
    if session is None or session.display is None:
        return
    folder = session.w.artifacts()
    folder.mkdir(parents=True, exist_ok=True)
    name = item.nodeid.replace("/", "_").replace("::", "-").replace("[", "_").replace("]", "")
    try:
        shot = session.screenshot(folder / f"{name}.png")
        report.sections.append(("screenshot", str(shot)))
        shutil.copy(session.logs / "driver.log", folder / f"{name}.driver.log")
    except Exception:
        pass
