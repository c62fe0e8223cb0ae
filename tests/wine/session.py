"""A Wine session: Xvfb, a copy of the cached prefix of one width (code page
1251) and its persistent wineserver, for one test run. Programs are started
and driven through the test driver (driver_client.Driver)."""

import os
import select
import shutil
import subprocess
import tempfile
from pathlib import Path

import ports
import wine_processes
from driver_client import Driver, from_hex
from prefixes import LOCALE, WINE_FONTS, cached_prefix, wine_env
from width import HarnessError, end_process, stationsim_exe, wait_until
from wine_processes import LOADER, WINESERVER, WineCrashed, attempts, crash_sign, stop_prefix

SCREEN = (1024, 768)
# The first Wine process of a session brings up Wine's services (native in
# both widths) and the first driver (under qemu in the 32-bit one).
FIRST_START_S = 60
# The program's code page, and an English Windows' in one test.
LOCALES = (LOCALE, "en_US.UTF-8")


def missing_locales():
    out = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.split()
    have = {line.lower().replace("-", "") for line in out}
    return [name for name in LOCALES if name.lower().replace("-", "") not in have]


def start_xvfb(log_path):
    """A private Xvfb (no window manager) on a display it picks itself;
    returns (process, display name)."""
    read_end, write_end = os.pipe()
    with open(log_path, "ab") as log:
        proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0",
             f"{SCREEN[0]}x{SCREEN[1]}x24", "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_end,), stdout=log, stderr=log, start_new_session=True)
    os.close(write_end)
    with os.fdopen(read_end) as reported:  # "<number>\n", or nothing if Xvfb ends
        number = reported.readline() if select.select([reported], [], [], 30)[0] else ""
    if not number.strip().isdigit():
        proc.kill()
        raise HarnessError(f"Xvfb did not report its display (see {log_path})")
    return proc, f":{int(number)}"


def server_sockets(prefix):
    """Where the wineserver of a prefix listens, once it does: Debian's Wine
    keeps its servers in a folder "wine-XXXXXX" of its own in the
    temporary folder (upstream Wine: ".wine-<uid>")."""
    st = os.stat(prefix)
    name = f"server-{st.st_dev:x}-{st.st_ino:x}/socket"
    tmp = Path(os.environ.get("TMPDIR", "/tmp"))
    return [*tmp.glob(f"wine-*/{name}"), *tmp.glob(f".wine-{os.getuid()}/{name}")]


class WineSession:
    """start() makes the copy, writes every COM link absent, starts the server
    and a first driver (which brings up Wine's services); a first start that
    Wine crashed is made again from a fresh copy (README.md, "Prefixes,
    crashes and retries"). retries counts the attempts made again, of the
    prefix build and of the first start. close() stops every Wine process of
    the prefix and the X server."""

    def __init__(self, w, root=None, keep=False, display=None):
        self.w = w
        if missing_locales():
            raise HarnessError(f"locales {missing_locales()} missing: run scripts/install.sh")
        for tool in (LOADER, WINESERVER, *(["Xvfb"] if display is None else []), "import"):
            if shutil.which(tool) is None:
                raise HarnessError(f"{tool} not found: run scripts/install.sh")
        self.root = Path(tempfile.mkdtemp(prefix=f"scwine{w.bits}-", dir=root))
        self.prefix = self.root / "prefix"
        self.absent_dir = self.root / "absent"
        self.logs = self.root / "logs"
        self.absent_dir.mkdir()
        self.logs.mkdir()
        self.keep = keep
        self.display = display  # an X display name; None: a private Xvfb
        self._own_display = display is None
        self.env = None
        self.notes = []  # what start() had to overcome, one line each
        self.retries = 0
        self._xvfb = None
        self._server = None
        self._ports = None  # the mapping in force, {n: path} for n in 1..20
        self.drivers = []

    # -- set-up and tear-down

    def start(self):
        for exe in (self.w.program_exe(), self.w.driver_exe(), stationsim_exe()):
            if not exe.exists():
                raise HarnessError(f"{exe} is missing: bash scripts/build.sh")
        ports.assert_isolated()
        cached, built = cached_prefix(self.logs)
        if built is not None:
            self.retries += built.retries()
            self.notes.append(f"prefix built into {cached} in {built.seconds:.0f} s"
                              + "".join(f"; {failure}" for failure in built.failures))
        if self._own_display:
            self._xvfb, self.display = start_xvfb(self.logs / "xvfb.log")
        self.env = wine_env(self.prefix, self.display)

        def again(n):
            self._stop_wine()
            shutil.rmtree(self.prefix, ignore_errors=True)
            self.logs.rename(self.root / f"logs-crash{n}")
            self.logs.mkdir()
            for log in (self.root / f"logs-crash{n}").glob("prefix-build*.log"):
                log.rename(self.logs / log.name)
        started = attempts("the first start", lambda n: self._first_start(cached), again)
        self.retries += started.retries()
        self.notes += [f"first start {failure}; again from a fresh copy"
                       for failure in started.failures]

    def _first_start(self, cached):
        subprocess.run(["cp", "-a", "--reflink=auto", str(cached), str(self.prefix)],
                       check=True)
        (self.prefix / ".complete").unlink()
        self.map_ports({})
        self._start_server()
        with self.driver(ready_timeout=self.w.bound(FIRST_START_S)) as driver:
            face = from_hex(driver.call("ping")["caption_button_font"])
        crash = self.crash()
        if crash:
            raise WineCrashed(crash)
        if face != "Marlett":
            raise HarnessError(
                f"Wine finds no Marlett font (it offers {face!r}), so caption buttons "
                f"would show letters: is {WINE_FONTS}/marlett.ttf there (fonts-wine)?")
        self.assert_ports_safe()

    def _start_server(self):
        # A persistent server, which lives until close(). No Wine process may
        # start before it listens: one that finds no socket starts a server of
        # its own, which ends with the last Wine process and takes Wine's
        # services down with it, while this one exits because the other holds
        # the prefix's lock.
        with open(self.logs / "wineserver.log", "ab") as log:
            self._server = subprocess.Popen([WINESERVER, "-f", "-p"], env=self.env,
                                            stdout=log, stderr=log, start_new_session=True)
        wait_until(lambda: server_sockets(self.prefix) or self._server.poll() is not None,
                   30, what="the wineserver's socket")
        if self._server.poll() is not None:
            raise WineCrashed(f"the wineserver ended with {self._server.returncode} "
                              f"before it listened (see wineserver.log)")

    def crash(self):
        """Why Wine can no longer answer (the server ended, or a process
        crashed), or None."""
        if self._server is not None and self._server.poll() is not None:
            return f"the wineserver ended with {self._server.returncode}"
        return crash_sign(self.prefix, [self.logs / "driver.log", self.logs / "wineserver.log"])

    def _stop_wine(self):
        for driver in list(self.drivers):
            driver.close()
        if self.env is not None:
            stop_prefix(self.env)
        if self._server is not None:
            end_process(self._server)
            self._server = None

    def close(self):
        self._stop_wine()
        if self._xvfb is not None:
            end_process(self._xvfb)
            self._xvfb = None
        if not self.keep:
            shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.close()

    # -- serial ports

    def absent_port_path(self, number):
        """The path that stands for an absent COM<number>: it never exists."""
        return str(self.absent_dir / f"com{number}")

    def map_ports(self, present):
        """Maps COMn to present[n] (a Unix path) and every other COM1..COM20 to
        a path that does not exist, by writing the prefix's links. The program
        opens its ports at start and on the user's choice, so map them before
        either."""
        mapping = ports.wanted_links(present, self.absent_dir)
        ports.write_links(self.prefix / "dosdevices", mapping)
        self._ports = mapping

    def assert_ports_safe(self):
        """Raises ports.UnsafePorts unless every COM1..COM20 link is exactly
        the one mapped, no serial device of the machine is reachable, and the
        session's wineserver still runs."""
        if self._server is None or self._server.poll() is not None:
            raise ports.UnsafePorts("the session's wineserver is not running")
        ports.assert_safe(self.prefix / "dosdevices", self._ports, self.absent_dir)

    # -- drivers, waits and screenshots

    def driver(self, extra_env=None, ready_timeout=None):
        """Starts a driver; close it, or use it in a with block."""
        return Driver(self, extra_env, ready_timeout or self.w.bound(30))

    def screenshot(self, path, rect=None):
        """Saves the screen, or the part rect = [left, top, right, bottom] of
        it, as an image file (the type follows the extension)."""
        args = ["import", "-display", self.display, "-window", "root"]
        if rect is not None:
            left, top, right, bottom = rect
            args += ["-crop", f"{right - left}x{bottom - top}+{left}+{top}", "+repage"]
        subprocess.run([*args, str(path)], check=True, timeout=30, env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return Path(path)

    def wine_processes(self, name_part):
        return wine_processes.processes(self.prefix, name_part)
