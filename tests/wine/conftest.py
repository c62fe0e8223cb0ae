"""Fixtures for the end-to-end tests under Wine (see README.md here).

    wine_session   the X server and Wine prefix of the whole run
    runner         starts the program (through one shared driver) on demand
    program        a fresh program for one test, ports all absent; the driver
    launch         a factory: launch(ports={n: path}, extra_env=..., args=...)
    artifacts      a folder for screenshots and logs that outlive the run
"""

import shutil
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402


class ProgramRunner:
    """Starts the program through a driver that is kept while it can be.

    One program runs at a time: every program puts its window at the same
    place. The driver is replaced when the ports or the environment change
    (a new port mapping restarts the wineserver, which ends all drivers) or
    when it stopped answering.
    """

    def __init__(self, session):
        self.session = session
        self.driver = None
        self._env = None

    def start(self, ports=None, extra_env=None, args=(), exe=None, **start_options):
        """Maps the ports (every one absent unless given), starts the program
        and finds its main window. Returns the driver, ready for commands."""
        ports = dict(ports or {})
        extra_env = dict(extra_env or {})
        mapping = self.session._full_mapping(ports)
        if self.driver is not None and (mapping != self.session.ports or
                                        extra_env != self._env or
                                        not self._driver_alive()):
            self.close()
        self.session.map_ports(ports)
        if self.driver is None:
            self.driver = self.session.driver(extra_env)
            self._env = extra_env
        if self.driver.status()["running"]:
            raise harness.HarnessError("a program is still running: finish() it first")
        self.driver.start_program(args=args, exe=exe, **start_options)
        return self.driver

    def _driver_alive(self):
        try:
            self.driver.call("ping")
            return True
        except harness.HarnessError:
            return False

    def finish(self):
        """Ends the program if it still runs; a driver in trouble is closed."""
        if self.driver is None:
            return
        try:
            if self.driver.status()["running"]:
                self.driver.kill_program()
        except harness.HarnessError:
            self.close()

    def close(self):
        if self.driver is not None:
            self.driver.close()
            self.driver = None


def pytest_addoption(parser):
    parser.addoption("--keep-wine", action="store_true",
                     help="keep the temporary Wine prefix and logs after the run")


@pytest.fixture(scope="session")
def artifacts():
    """build/wine-tests/: screenshots of failures and of the window."""
    folder = harness.build_dir() / "wine-tests"
    folder.mkdir(parents=True, exist_ok=True)
    return folder


@pytest.fixture(scope="session")
def wine_session(request):
    for exe in (harness.program_exe(), harness.driver_exe()):
        if not exe.exists():
            pytest.fail(f"{exe} is missing: cmake --preset win64 && "
                        f"cmake --build --preset win64 -j2", pytrace=False)
    session = harness.WineSession(keep=request.config.getoption("--keep-wine"))
    try:
        session.start()
    except BaseException:
        session.close()
        raise
    yield session
    session.close()


@pytest.fixture(scope="session")
def runner(wine_session):
    runner = ProgramRunner(wine_session)
    yield runner
    runner.close()


@pytest.fixture
def launch(runner):
    """launch(ports=None, extra_env=None, args=(), exe=None) -> driver with the
    program started; the program is ended after the test whatever happens."""
    yield runner.start
    runner.finish()


@pytest.fixture
def program(launch):
    """The program started with every port absent; the driver that runs it."""
    return launch()


@pytest.hookimpl(tryfirst=True, hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if report.when != "call" or not report.failed:
        return
    session = item.funcargs.get("wine_session")
    if session is None or session.display is None:
        return
    folder = harness.build_dir() / "wine-tests"
    folder.mkdir(parents=True, exist_ok=True)
    name = item.nodeid.replace("/", "_").replace("::", "-").replace("[", "_").replace("]", "")
    try:
        shot = session.screenshot(folder / f"{name}.png")
        report.sections.append(("screenshot", str(shot)))
        shutil.copy(session.logs / "driver.log", folder / f"{name}.driver.log")
    except Exception:
        pass

