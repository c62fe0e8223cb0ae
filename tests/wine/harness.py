"""End-to-end harness: the real program under Wine on Xvfb, in either width.

A WineSession owns one X server, one Wine prefix and its wineserver for the
whole test run: a win64 prefix for stationclock.exe, or a win32 prefix for
stationclock32.exe, whose 32-bit Wine runs under qemu user emulation on these
machines. Programs are started and driven through scdriver.exe
(tests/wine/driver) of the same width, a Win32 helper that clicks, presses
keys and reads windows the way a user would; Driver wraps it with one method
per driver command.

Serial ports are the dangerous part: on these machines /dev/ttyS0 is the
console, and the program opens COM1..COM20 at start-up. So the tests run in a
mount namespace whose /dev has no serial device and no console
(tests/wine/isolated.sh), and every com1..com20 link of the prefix is written
by the harness itself, to a path the test chose (one that does not exist for
an absent port). Wine's mount manager then finds neither a device nor a
registry mapping and leaves the links alone. Nothing starts the program
before WineSession.assert_ports_safe() has checked all twenty links.

tests/wine/README.md describes the API; conftest.py holds the fixtures.
"""

import ctypes
import fcntl
import json
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
import tty
from pathlib import Path

WINESERVER = "/usr/lib/wine/wineserver64"
# Wine's own fonts (Debian's fonts-wine): Marlett for the caption buttons,
# Tahoma for dialogs.
WINE_FONTS = "/usr/share/wine/fonts"
LOCALE = "ru_RU.UTF-8"
SCREEN = (1024, 768)
PORT_COUNT = 20
SERIAL_DEVICE_PATTERNS = ("ttyS*", "ttyUSB*", "ttyACM*")

REPO = Path(__file__).resolve().parents[2]

# The program's window title, as the driver finds it.
MAIN_TITLE = "Метеостанция"


class Width:
    """What differs between the two programs' runs."""

    def __init__(self, bits, arch, loader, preset, program, first_start_s, slowdown):
        self.bits, self.arch, self.loader, self.preset = bits, arch, loader, preset
        self.program = program
        self.first_start_s = first_start_s  # the first Wine process brings up Wine's services
        self.slowdown = slowdown  # how much longer Wine's own steps take


WIDTHS = {
    64: Width(64, "win64", "/usr/lib/wine/wine64", "win64", "stationclock.exe", 120, 1),
    # Under qemu every Wine process starts slowly; the first one brings up
    # Wine's services in about a minute.
    32: Width(32, "win32", "/usr/lib/wine/wine", "win32", "stationclock32.exe", 400, 6),
}


def width():
    """The width under test: $STATIONCLOCK_WIDTH (64 or 32), 64 by default."""
    bits = int(os.environ.get("STATIONCLOCK_WIDTH", "64"))
    if bits not in WIDTHS:
        raise HarnessError(f"STATIONCLOCK_WIDTH={bits}: 64 or 32")
    return WIDTHS[bits]


class HarnessError(Exception):
    """The test environment could not be set up or misbehaved."""


class UnsafePorts(HarnessError):
    """Some COM1..COM20 link of the prefix is not the one the test asked for."""


class DriverError(HarnessError):
    """The driver answered a command with err."""


class WineCrashed(HarnessError):
    """The wineserver, or a Wine process under qemu, crashed."""


# ---------------------------------------------------------------- paths


def build_dir():
    """The build root: $STATIONCLOCK_BUILD, else the repository's build/."""
    return Path(os.environ.get("STATIONCLOCK_BUILD", REPO / "build"))


def program_exe():
    """The program of the width under test: $STATIONCLOCK_EXE, else
    <build>/win64/stationclock.exe or <build>/win32/stationclock32.exe."""
    w = width()
    return Path(os.environ.get("STATIONCLOCK_EXE", build_dir() / w.preset / w.program))


def driver_exe():
    """scdriver.exe of the width under test: $SCDRIVER_EXE, else
    <build>/<preset>/tests/wine/driver/scdriver.exe."""
    default = build_dir() / width().preset / "tests" / "wine" / "driver" / "scdriver.exe"
    return Path(os.environ.get("SCDRIVER_EXE", default))


def windows_path(path):
    """A Unix path as Wine's Z: drive sees it."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def cp1251_hex(text):
    """A text as the driver takes it: hex of its cp1251 bytes, "-" when empty."""
    return text.encode("cp1251").hex() or "-"


def from_hex(digits):
    """A text the driver reported (hex of cp1251 bytes) as a str."""
    return bytes.fromhex(digits).decode("cp1251")


def locale_available(name=LOCALE):
    out = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.split()
    wanted = name.lower().replace("-", "")
    return any(line.lower().replace("-", "") == wanted for line in out)


def wait_until(condition, timeout, interval=0.02, what="condition"):
    """Polls condition() until it returns a true value, which is returned.
    Raises HarnessError after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise HarnessError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)


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
    number = b""
    deadline = time.monotonic() + 30
    while not number.endswith(b"\n"):
        ready, _, _ = select.select([read_end], [], [], max(0.0, deadline - time.monotonic()))
        chunk = os.read(read_end, 16) if ready else b""
        if not chunk:
            os.close(read_end)
            proc.kill()
            raise HarnessError(f"Xvfb did not report its display (see {log_path})")
        number += chunk
    os.close(read_end)
    return proc, f":{int(number)}"


def end_process(proc, terminate, timeout=10):
    """Lets proc end (asking it to with SIGTERM when terminate), killing it
    when it has not ended after timeout seconds."""
    if terminate:
        proc.terminate()
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def wine_processes(prefix, name_part):
    """Unix pids of the processes of a Wine prefix whose command line
    contains name_part (case-insensitive)."""
    pids = []
    wanted_env = f"WINEPREFIX={prefix}".encode()
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            environ = (entry / "environ").read_bytes().split(b"\0")
            cmdline = (entry / "cmdline").read_bytes().replace(b"\0", b" ")
        except OSError:
            continue
        if wanted_env in environ and name_part.lower().encode() in cmdline.lower():
            pids.append(int(entry.name))
    return pids


def wine_env(w, prefix, display):
    """The environment of every Wine process of a prefix."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("LC_", "WINE", "DISPLAY", "LANG"))}
    env.update({
        "WINEARCH": w.arch,
        "WINESERVER": WINESERVER,
        "WINELOADER": w.loader,
        "WINEDEBUG": "-all",
        # No Mono or Gecko installers, no menu entries: each would be one
        # more process (under qemu a slow one).
        "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
        "LANG": LOCALE,
        "LC_ALL": LOCALE,
        # Below 0x81000000 qemu cannot map Wine's shared user data; above it
        # every start costs much more processor time. Without qemu: unused.
        "QEMU_RESERVED_VA": "0x81000000",
    })
    if prefix is not None:
        env["WINEPREFIX"] = str(prefix)
    if display is not None:
        env["DISPLAY"] = display
    return env


# ---------------------------------------------------------------- COM links


def wanted_links(present, absent_dir):
    """{n: target} for COM1..COM20: present maps port numbers to the paths
    they must reach; every other port gets a path in absent_dir, which must
    not exist."""
    links = {n: str(Path(absent_dir) / f"com{n}") for n in range(1, PORT_COUNT + 1)}
    for n, path in present.items():
        if not 1 <= int(n) <= PORT_COUNT:
            raise HarnessError(f"COM{n} is outside COM1..COM{PORT_COUNT}")
        links[int(n)] = str(path)
    return links


def read_links(dosdevices):
    """{n: link target or None} for com1..com20 of a dosdevices folder.
    Anything there that is not a link counts as a problem (target "")."""
    links = {}
    for n in range(1, PORT_COUNT + 1):
        entry = Path(dosdevices) / f"com{n}"
        if entry.is_symlink():
            links[n] = os.readlink(entry)
        elif os.path.lexists(entry):
            links[n] = ""
        else:
            links[n] = None
    return links


def is_machine_serial_device(path):
    """Whether a path leads (through links) to a serial device of the
    machine, or its console."""
    resolved = Path(os.path.realpath(path))
    return resolved == Path("/dev/console") or resolved.parent == Path("/dev") and any(
        resolved.match(pattern) for pattern in SERIAL_DEVICE_PATTERNS)


def link_problems(dosdevices, wanted, absent_dir):
    """What is wrong with com1..com20 of a dosdevices folder, as a list of
    texts; empty when every link is exactly the wanted one, no absent path
    exists and no link reaches a serial device of the machine."""
    problems = []
    for n, target in read_links(dosdevices).items():
        if target != wanted[n]:
            problems.append(f"com{n} -> {target} (wanted {wanted[n]})")
            continue
        if target.startswith(str(absent_dir)) and os.path.lexists(target):
            problems.append(f"com{n} -> {target}, which should not exist")
        if is_machine_serial_device(target):
            problems.append(f"com{n} -> {target} reaches a serial device of the machine")
    return problems


def write_links(dosdevices, wanted):
    """Makes com1..com20 exactly the wanted links, each in one step (never a
    missing link, from which Wine would fall back to /dev/ttyS<N-1>), and
    removes any other comN link that reaches a serial device."""
    dosdevices = Path(dosdevices)
    for n, target in wanted.items():
        entry = dosdevices / f"com{n}"
        if entry.is_symlink() and os.readlink(entry) == target:
            continue
        temporary = dosdevices / f".com{n}.new"
        if os.path.lexists(temporary):
            temporary.unlink()
        temporary.symlink_to(target)
        os.replace(temporary, entry)
    for entry in dosdevices.glob("com*"):
        if entry.name[3:].isdigit() and int(entry.name[3:]) > PORT_COUNT \
                and is_machine_serial_device(entry):
            entry.unlink()


def exposed_serial_devices():
    """Serial devices of the machine, and its console, that this process can
    reach: those that exist and are not /dev/null (tests/wine/isolated.sh
    leaves none)."""
    null = os.stat("/dev/null").st_rdev
    found = []
    for path in [*sorted(p for pattern in SERIAL_DEVICE_PATTERNS
                         for p in Path("/dev").glob(pattern)), Path("/dev/console")]:
        try:
            if os.stat(path).st_rdev != null:
                found.append(str(path))
        except OSError:
            continue
    return found


# ---------------------------------------------------------------- the prefix cache

COMMON_CONTROLS_6 = "*_microsoft.windows.common-controls_6595b64144ccf1df_6.*.manifest"


def prefix_problems(prefix, arch):
    """Why a folder is not a finished prefix of this architecture, as a list
    of texts (empty when it is one)."""
    prefix = Path(prefix)
    problems = []
    if not (prefix / ".complete").exists():
        problems.append("not marked complete")
    try:
        if f"#arch={arch}" not in (prefix / "system.reg").read_text(errors="replace"):
            problems.append(f"system.reg is not of a {arch} prefix")
    except OSError:
        problems.append("no system.reg")
    try:
        user = (prefix / "user.reg").read_text(errors="replace")
        if '"Managed"="N"' not in user:
            problems.append("Wine-drawn window frames are not set")
        if "share\\\\wine\\\\fonts" not in user.lower():
            problems.append("Wine's font folder is not set")
    except OSError:
        problems.append("no user.reg")
    windows = prefix / "drive_c" / "windows"
    for name in ("kernel32.dll", "user32.dll", "comctl32.dll"):
        if not (windows / "system32" / name).is_file():
            problems.append(f"no system32/{name}")
    if not list((windows / "winsxs" / "manifests").glob(COMMON_CONTROLS_6)):
        problems.append("no version 6 common controls")
    if not (prefix / "dosdevices" / "c:").is_symlink():
        problems.append("no c: drive")
    if list((prefix / "dosdevices").glob("com*")):
        problems.append("COM links kept from the prefix set-up")
    return problems


def cache_root():
    return Path(os.environ.get("STATIONCLOCK_PREFIX_CACHE", "/var/cache/stationclock-wine"))


def cached_prefix(w, log):
    """The finished prefix of this width and Wine version, built once (under
    a lock, so that runs side by side build it once) and kept in the cache.
    Returns (path, built_now)."""
    version = subprocess.run([w.loader, "--version"], capture_output=True, text=True,
                             timeout=60, env=wine_env(w, None, None)).stdout.strip()
    cached = cache_root() / f"{w.arch}-{version.replace(' ', '_').replace('/', '_')}-{LOCALE}"
    if not prefix_problems(cached, w.arch):
        return cached, False
    cached.parent.mkdir(parents=True, exist_ok=True)
    with open(cached.parent / "lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not prefix_problems(cached, w.arch):
            return cached, False
        partial = Path(tempfile.mkdtemp(prefix="partial-", dir=cached.parent))
        try:
            build_prefix(w, partial / "prefix", log)
            shutil.rmtree(cached, ignore_errors=True)
            (partial / "prefix").rename(cached)
        finally:
            shutil.rmtree(partial, ignore_errors=True)
    return cached, True


def build_prefix(w, target, log):
    """wineboot --init in target (10-70 s; about two minutes under qemu),
    Wine-drawn window frames, Wine's font folder; no COM links."""
    env = wine_env(w, target, None)
    steps = [
        ["wineboot", "--init"],
        # Windows drawn by Wine itself, title bar and close box included:
        # there is no window manager on the X server.
        ["reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed",
         "/t", "REG_SZ", "/d", "N", "/f"],
        # This Wine looks for its own fonts in "<data dir>\../fonts", a path
        # its file lookup rejects, so without this extra font folder the close
        # box shows the letter "r" instead of Marlett's cross.
        ["reg", "add", r"HKCU\Software\Wine\Fonts", "/v", "Path",
         "/t", "REG_SZ", "/d", windows_path(WINE_FONTS), "/f"],
    ]
    try:
        for step in steps:
            code = subprocess.run([w.loader, *step], env=env, stdin=subprocess.DEVNULL,
                                  stdout=log, stderr=log, timeout=600).returncode
            if code != 0:
                raise HarnessError(f"{' '.join(step)} failed with {code}")
            # Let the prefix set-up finish on its own: a server stopped half
            # way leaves the prefix without the version 6 common controls.
            subprocess.run([WINESERVER, "-w"], env=env, timeout=300, check=False)
    except subprocess.TimeoutExpired as e:
        stop_server(env)
        raise HarnessError(f"{' '.join(e.cmd[1:])} took over {e.timeout} s") from None
    # Wine's mount manager mapped the machine's devices while the prefix was
    # made; no copy may inherit them.
    for entry in (target / "dosdevices").glob("com*"):
        entry.unlink()
    (target / ".complete").write_text("")
    problems = prefix_problems(target, w.arch)
    if problems:
        raise HarnessError("new prefix incomplete: " + "; ".join(problems))


def stop_server(env, timeout=30):
    for flag in ("-k", "-w"):
        subprocess.run([WINESERVER, flag], env=env, timeout=timeout, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def server_sockets(prefix):
    """Where the wineserver of a prefix listens, once it does: Debian's Wine
    keeps its servers in a folder "wine-XXXXXX" of its own in the
    temporary folder (upstream Wine: ".wine-<uid>")."""
    st = os.stat(prefix)
    name = f"server-{st.st_dev:x}-{st.st_ino:x}/socket"
    tmp = Path(os.environ.get("TMPDIR", "/tmp"))
    return [*tmp.glob(f"wine-*/{name}"), *tmp.glob(f".wine-{os.getuid()}/{name}")]


# What a Wine process writes when its wineserver crashed: the others then
# wait for ever. (Under qemu, Wine's helper processes also crash now and then
# with "uncaught target signal"; Wine restarts them, so that is no sign.)
CRASH_SIGNS = (b"wineserver crashed",)


# ---------------------------------------------------------------- pseudo-terminals


class PtyPair:
    """A pseudo-terminal pair standing in for a present port.

    Map COMn to .path; the test talks to the program through .master (an fd,
    raw mode). The slave end stays open here as well, so that the master sees
    no hang-up before the program opens the port.
    """

    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.master)
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)

    def read(self, count=4096, timeout=0.0):
        """Bytes waiting on the master side, waiting up to timeout seconds for
        the first; b"" when none came."""
        ready, _, _ = select.select([self.master], [], [], timeout)
        return os.read(self.master, count) if ready else b""

    def write(self, data):
        return os.write(self.master, data)

    def close(self):
        for fd in (self.master, self.slave):
            if fd is not None:
                try:
                    os.close(fd)
                except OSError:
                    pass
        self.master = self.slave = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class LockedPty:
    """A pty whose slave was never unlocked: .path exists but every open of
    it fails, as with a port that another program holds."""

    def __init__(self):
        self.master = os.open("/dev/ptmx", os.O_RDWR | os.O_NOCTTY)
        libc = ctypes.CDLL(None, use_errno=True)
        name = ctypes.create_string_buffer(64)
        if libc.ptsname_r(self.master, name, len(name)) != 0:
            os.close(self.master)
            raise HarnessError("ptsname_r failed")
        self.path = name.value.decode()
        try:
            os.close(os.open(self.path, os.O_RDWR | os.O_NOCTTY))
        except OSError:
            return
        self.close()
        raise HarnessError(f"{self.path} opened although its pty was never unlocked")

    def close(self):
        if self.master is not None:
            os.close(self.master)
            self.master = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# ---------------------------------------------------------------- the session


class WineSession:
    """Xvfb, a copy of the cached prefix of the width under test (code page
    1251) and its persistent wineserver, for one test run.

    start() makes the copy, writes every COM link absent, starts the server
    and a first driver (which brings up Wine's services); when the server or
    a Wine process crashes during that first start (it happens under qemu),
    it starts once more from a fresh copy. close() stops every Wine process
    of the prefix and the X server.
    """

    def __init__(self, root=None, keep=False, display=None):
        self.w = width()
        if not locale_available():
            raise HarnessError(
                f"locale {LOCALE} is missing: run "
                f"sed -i 's/^# {LOCALE}/{LOCALE}/' /etc/locale.gen && locale-gen")
        for tool in (self.w.loader, WINESERVER):
            if not os.access(tool, os.X_OK):
                raise HarnessError(f"{tool} not found: run scripts/install.sh")
        if shutil.which("Xvfb") is None and display is None:
            raise HarnessError("Xvfb not found: install xvfb")
        self.root = Path(tempfile.mkdtemp(prefix=f"scwine{self.w.bits}-", dir=root))
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
        self._xvfb = None
        self._server = None
        self._ports = None  # the mapping in force, {n: path} for n in 1..20
        self._drivers = []

    # -- set-up and tear-down

    def start(self):
        exposed = exposed_serial_devices()
        if exposed:
            raise UnsafePorts("serial devices reachable: " + ", ".join(exposed)
                              + " (run the tests through tests/wine/isolated.sh)")
        with open(self.logs / "prefix.log", "ab") as log:
            cached, built = cached_prefix(self.w, log)
        if built:
            self.notes.append(f"prefix built into {cached}")
        if self._own_display:
            self._xvfb, self.display = start_xvfb(self.logs / "xvfb.log")
        self.env = wine_env(self.w, self.prefix, self.display)
        for attempt in (1, 2):
            try:
                self._first_start(cached)
                return
            except WineCrashed as e:
                if attempt == 2:
                    raise
                self.notes.append(f"first start crashed ({e}); again from a fresh copy")
                self._stop_wine()
                shutil.copytree(self.logs, self.root / f"logs-crash{attempt}", dirs_exist_ok=True)
                shutil.rmtree(self.prefix)

    def _first_start(self, cached):
        subprocess.run(["cp", "-a", "--reflink=auto", str(cached), str(self.prefix)],
                       check=True)
        (self.prefix / ".complete").unlink()
        self.map_ports({})
        self._start_server()
        with self.driver(ready_timeout=self.w.first_start_s) as driver:
            face = from_hex(driver.call("ping")["caption_button_font"])
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
        wait_until(lambda: server_sockets(self.prefix) or self._server.poll() is not None, 30,
                   what="the wineserver's socket")
        if self._server.poll() is not None:
            raise HarnessError(f"the wineserver ended with {self._server.returncode} "
                               f"(see {self.logs / 'wineserver.log'})")

    def crash(self):
        """Why Wine can no longer answer (the server ended, or a process
        crashed), or None."""
        if self._server is not None and self._server.poll() is not None:
            return f"the wineserver ended with {self._server.returncode}"
        for log in (self.logs / "driver.log", self.logs / "wineserver.log"):
            try:
                text = log.read_bytes()
            except OSError:
                continue
            for sign in CRASH_SIGNS:
                if sign in text:
                    return f"{log.name}: {sign.decode()}"
        return None

    def _stop_wine(self):
        for driver in list(self._drivers):
            driver.close()
        if self.env is not None:
            stop_server(self.env)
        if self._server is not None:
            end_process(self._server, terminate=True)
            self._server = None
        # Processes of the prefix that outlived their server (qemu keeps a
        # crashed one waiting now and then).
        for pid in wine_processes(self.prefix, ""):
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass

    def close(self):
        self._stop_wine()
        if self._xvfb is not None:
            end_process(self._xvfb, terminate=True)
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

    def map_ports(self, ports):
        """Maps COMn to ports[n] (a Unix path) and every other COM1..COM20 to a
        path that does not exist, by writing the prefix's links. The program
        opens its ports at start and on the user's choice, so map them before
        either."""
        mapping = wanted_links(ports, self.absent_dir)
        write_links(self.prefix / "dosdevices", mapping)
        self._ports = mapping

    def assert_ports_safe(self):
        """Raises UnsafePorts unless every COM1..COM20 link is exactly the one
        mapped (none missing, none at a serial device, no absent path
        existing), no serial device of the machine is reachable, and the
        session's wineserver still runs."""
        if self._ports is None:
            raise UnsafePorts("no port mapping in force: call map_ports first")
        if self._server is None or self._server.poll() is not None:
            raise UnsafePorts("the session's wineserver is not running")
        exposed = exposed_serial_devices()
        if exposed:
            raise UnsafePorts("serial devices reachable: " + ", ".join(exposed))
        problems = link_problems(self.prefix / "dosdevices", self._ports, self.absent_dir)
        if problems:
            raise UnsafePorts("; ".join(problems))

    # -- drivers and screenshots

    def driver(self, extra_env=None, ready_timeout=None):
        """Starts a driver (see Driver); close it, or use it in a with block."""
        return Driver(self, extra_env, ready_timeout or 30 * self.w.slowdown)

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
        return wine_processes(self.prefix, name_part)
class Driver:
    """scdriver.exe running in the session's prefix; one method per command.

    Texts are str in and out (the driver carries them as cp1251 bytes).
    Rectangles are [left, top, right, bottom] lists. A command answered with
    err raises DriverError; a driver that stops answering is killed and
    raises HarnessError. close() ends the program too if it still runs.
    """

    def __init__(self, session, extra_env=None, ready_timeout=60):
        self.session = session
        # Seconds allowed on top of a command's own time bound.
        self.slack = 15.0 * min(session.w.slowdown, 4)
        exe = driver_exe()
        if not exe.exists():
            raise HarnessError(f"{exe} not found: build the {session.w.preset} preset")
        env = dict(session.env)
        env.update(extra_env or {})
        self._log = open(session.logs / "driver.log", "ab")
        self._proc = subprocess.Popen([session.w.loader, windows_path(exe)], env=env,
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=self._log, start_new_session=True)
        self._buffer = b""
        self.pid = None  # Windows pid of the program, once started
        session._drivers.append(self)
        try:
            line = self._read_line(ready_timeout)
            if line != "ready":
                raise HarnessError(f"driver said {line!r} instead of ready")
        except BaseException:
            self.close()
            raise

    # -- plumbing

    def _read_line(self, timeout):
        deadline = time.monotonic() + timeout
        while b"\n" not in self._buffer:
            left = deadline - time.monotonic()
            ready = select.select([self._proc.stdout], [], [], min(1.0, max(0.0, left)))[0]
            if not ready:
                crash = self.session.crash()
                if crash:
                    self._kill()
                    raise WineCrashed(crash)
                if left <= 0:
                    self._kill()
                    raise HarnessError(f"driver gave no answer within {timeout} s")
                continue
            chunk = os.read(self._proc.stdout.fileno(), 65536)
            if not chunk:
                self._kill()
                raise HarnessError("driver ended (see driver.log)")
            self._buffer += chunk
        line, self._buffer = self._buffer.split(b"\n", 1)
        return line.decode("utf-8").rstrip("\r")

    def call(self, command, *args, bound_ms=0):
        """Sends one command line; returns the reply's JSON object. bound_ms is
        the command's own longest wait, added to the answer time-out."""
        if self._proc is None:
            raise HarnessError("driver is closed")
        line = " ".join([command, *[str(a) for a in args]])
        self._proc.stdin.write(line.encode("utf-8") + b"\n")
        self._proc.stdin.flush()
        reply = self._read_line(self.slack + bound_ms / 1000.0)
        status, _, body = reply.partition(" ")
        if status == "ok":
            return json.loads(body)
        if status == "err":
            raise DriverError(f"{line}: {body}")
        raise HarnessError(f"driver answered {reply!r} to {line!r}")

    def _kill(self):
        if self._proc is not None and self._proc.poll() is None:
            self._proc.kill()
            self._proc.wait()

    def close(self):
        """Ends the program (if it still runs) and the driver."""
        if self._proc is not None:
            if self._proc.poll() is None:
                try:
                    self.call("quit")
                    self._proc.wait(timeout=10)
                except (HarnessError, subprocess.TimeoutExpired, OSError):
                    self._kill()
            self._proc.stdin.close()
            self._proc.stdout.close()
            self._proc = None
        if self in self.session._drivers:
            self.session._drivers.remove(self)
        self._log.close()
        # The program lives in a job that ends with the driver; check anyway
        # once no other driver of the session could own a running program.
        if self.session._drivers:
            return
        for pid in self.session.wine_processes(program_exe().name):
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # -- the program

    def start_program(self, args=(), exe=None, idle_ms=None, title=MAIN_TITLE, find_ms=None):
        """Checks the port mapping, starts the program, waits until it is idle
        in its message loop and finds its main window by title (skipped when
        title is None). Returns the start reply: pid, idle, running, ms."""
        self.session.assert_ports_safe()
        slowdown = self.session.w.slowdown
        idle_ms = idle_ms or 15000 * slowdown
        command_line = " ".join([f'"{windows_path(exe or program_exe())}"', *args])
        reply = self.call("start", idle_ms, command_line, bound_ms=idle_ms)
        self.pid = reply["pid"]
        if title is not None:
            self.find_window(title, find_ms or 10000 * slowdown)
        return reply

    def status(self):
        """started, running, pid, code (once ended), main_exists."""
        return self.call("status")

    def wait_exit(self, ms=5000):
        """Waits for the program to end: exited, code (when exited), ms."""
        return self.call("wait_exit", ms, bound_ms=ms)

    def kill_program(self):
        return self.call("kill", bound_ms=5000)

    # -- windows

    def find_window(self, title=MAIN_TITLE, ms=5000):
        """Makes the program's visible top-level window with this exact title
        the main window of later commands."""
        return self.call("find_window", cp1251_hex(title), ms, bound_ms=ms)

    def window(self):
        """The main window: hwnd, class, rect, client (both in screen
        coordinates), style, exstyle, title, visible, enabled, foreground."""
        return _decode(self.call("window"), "title")

    def children(self):
        """The main window's child windows in Z order, each: id, hwnd, class,
        rect (in the main window's client coordinates), style, exstyle,
        text, visible, enabled."""
        return [_decode(c, "text") for c in self.call("children")["children"]]

    def controls(self):
        """children() as {id: child}."""
        return {c["id"]: c for c in self.children()}

    def text(self, control):
        return from_hex(self.call("text", control)["text"])

    def wtexts(self):
        """Every text of the program's visible top-level windows, read as
        Unicode: {class: {"title": title, id: text of each child}}."""
        def text(digits):
            return bytes.fromhex(digits).decode("utf-8")
        return {w["class"]: {"title": text(w["title"]),
                             **{c["id"]: text(c["text"]) for c in w["children"]}}
                for w in self.call("wtexts")["windows"]}

    def combo(self, control):
        """A combo box: count, selected, items, rect (screen), field_height,
        item_height, dropped, and list (hwnd, rect, client, top_index,
        item_height of the dropped list; hwnd 0 while closed)."""
        reply = self.call("combo", control)
        reply["items"] = [from_hex(i) for i in reply["items"]]
        return reply

    def focus(self):
        """The program's GUI thread focus: id (of the main window's child that
        has the focus, else None), hwnd, class, main_active, active,
        main_foreground, foreground, capture, flags."""
        return self.call("focus")

    def focused_id(self):
        return self.focus()["id"]

    # -- input. Each command settles unless wait=False: it returns once the
    # program has answered a message sent after the input (settled: true),
    # or after 2 s without an answer (settled: false, the program is busy).

    def click_control(self, control, dx=0, dy=0, wait=True):
        """Clicks at the centre of a control of the main window (offset by
        dx, dy); returns the screen point x, y."""
        return self.call("click_control", control, dx, dy, *([] if wait else ["nowait"]))

    def click(self, x, y, wait=True):
        return self.call("click", x, y, *([] if wait else ["nowait"]))

    def move(self, x, y):
        """Moves the pointer (to park it away from the program, say)."""
        return self.call("move", x, y)

    def key(self, chord, wait=True):
        """Presses a key or chord: tab, shift+tab, ctrl+tab, alt+f4, space,
        down, up, left, right, enter, escape, f4, home, end, pageup,
        pagedown, delete, backspace, a-z, 0-9, with shift+, ctrl+, alt+."""
        return self.call("key", chord, *([] if wait else ["nowait"]))

    def pick_mouse(self, control, index):
        """Drops a combo box's list with a click and clicks entry index's
        row; returns the row's point and the list's rect and item_height."""
        return self.call("pick_mouse", control, index, bound_ms=4000)

    def pick_keys(self, control, index):
        """Moves the selection of the focused combo box to index with Down and
        Up; returns selected and presses."""
        return self.call("pick_keys", control, index, bound_ms=10000)

    def activate_other(self):
        """Clicks into a window of the driver's own, making it the foreground
        window; returns other_foreground and its rect."""
        return self.call("activate_other")

    def hit(self, x, y):
        """What is at a screen point: hwnd, class, main_hit (the main window's
        WM_NCHITTEST code there)."""
        return self.call("hit", x, y)

    def close_box(self):
        """found and rect (screen) of the main window's close box."""
        return self.call("close_box")

    def post_close(self):
        """Posts WM_SYSCOMMAND SC_CLOSE to the main window."""
        return self.call("post_close")

    def responds(self, ms):
        """Whether the main window answers a message within ms: answered, ms
        (how long the answer took)."""
        return self.call("responds", ms, bound_ms=ms)

    # -- message boxes

    def msgbox(self, ms=2000):
        """The program's message box (#32770), waiting up to ms for it: found,
        count, hwnd, rect, title, text (child 0xFFFF), buttons (like
        children()), icons (each: id, rect, looks_like = warning, error,
        information, question or unknown), owner, owner_is_main,
        main_enabled. Just found, count, main_enabled when there is none."""
        reply = self.call("msgbox", ms, bound_ms=ms)
        if reply["found"]:
            _decode(reply, "title", "text")
            reply["buttons"] = [_decode(b, "text") for b in reply["buttons"]]
        return reply

    def msgbox_press(self, button_id, ms=2000):
        """Clicks a button of the message box, waits for the box to go:
        closed, main_enabled."""
        return self.call("msgbox_press", button_id, ms, bound_ms=ms + 2000)

    # -- texts over time, fonts

    def wait_text(self, control, old, ms):
        """Waits up to ms for the control's text to differ from old: changed,
        text, ms (since this call), since_input_ms (since the end of the last
        click or key press)."""
        return _decode(self.call("wait_text", control, cp1251_hex(old), ms, bound_ms=ms),
                       "text")

    def font_check(self, control, text=None):
        """Compares the control's rendered text with twins drawn in
        DEFAULT_GUI_FONT and SYSTEM_FONT: ink (dark pixels of the control),
        ink_default, ink_system, diff_default, diff_system (pixels whose
        darkness differs). With text, the control shows it meanwhile."""
        args = [control] + ([] if text is None else [cp1251_hex(text)])
        return self.call("font_check", *args)


def _decode(reply, *keys):
    for key in keys:
        if key in reply:
            reply[key] = from_hex(reply[key])
    return reply
