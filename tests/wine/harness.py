"""End-to-end harness: the real stationclock.exe under Wine on Xvfb.

A WineSession owns one X server and one Wine prefix for the whole test run.
Programs are started and driven through scdriver.exe (tests/wine/driver),
a Win32 helper that clicks, presses keys and reads windows the way a user
would; Driver wraps it with one method per driver command.

Serial ports are the dangerous part: on these machines /dev/ttyS0 is the
console, and the program opens COM1..COM20 at start-up. So every COM1..COM20
of the prefix is always mapped to a path the test chose (a path that does not
exist for an absent port), and nothing starts the program before
WineSession.assert_ports_safe() has checked the prefix's dosdevices links.

tests/wine/README.md describes the API; conftest.py holds the fixtures.
"""

import ctypes
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

WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver64"
# Wine's own fonts (Debian's fonts-wine): Marlett for the caption buttons,
# Tahoma for dialogs.
WINE_FONTS = "/usr/share/wine/fonts"
LOCALE = "ru_RU.UTF-8"
SCREEN = (1024, 768)
PORT_COUNT = 20

REPO = Path(__file__).resolve().parents[2]

# The program's window title, as the driver finds it.
MAIN_TITLE = "Метеостанция"


class HarnessError(Exception):
    """The test environment could not be set up or misbehaved."""


class UnsafePorts(HarnessError):
    """Some COM1..COM20 link of the prefix is not the one the test asked for."""


class DriverError(HarnessError):
    """The driver answered a command with err."""


# ---------------------------------------------------------------- paths


def build_dir():
    """The build root: $STATIONCLOCK_BUILD, else the repository's build/."""
    return Path(os.environ.get("STATIONCLOCK_BUILD", REPO / "build"))


def program_exe():
    """stationclock.exe: $STATIONCLOCK_EXE, else <build>/win64/stationclock.exe."""
    return Path(os.environ.get("STATIONCLOCK_EXE", build_dir() / "win64" / "stationclock.exe"))


def driver_exe():
    """scdriver.exe: $SCDRIVER_EXE, else <build>/win64/tests/wine/driver/scdriver.exe."""
    default = build_dir() / "win64" / "tests" / "wine" / "driver" / "scdriver.exe"
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


def session_folders(name_prefix, parent=None):
    """A new temporary folder for one session with its layout: returns root,
    prefix (not yet made), absent (where absent ports point; stays empty) and
    logs."""
    root = Path(tempfile.mkdtemp(prefix=name_prefix, dir=parent))
    (root / "absent").mkdir()
    (root / "logs").mkdir()
    return root, root / "prefix", root / "absent", root / "logs"


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
    """Xvfb and a fresh Wine prefix (code page 1251) for one test run.

    start() builds the prefix (10-20 s) and maps all ports absent; close()
    stops every Wine process of the prefix and the X server.
    """

    def __init__(self, root=None, keep=False, display=None):
        if not locale_available():
            raise HarnessError(
                f"locale {LOCALE} is missing: run "
                f"sed -i 's/^# {LOCALE}/{LOCALE}/' /etc/locale.gen && locale-gen")
        for tool in (WINE64, WINESERVER):
            if not os.access(tool, os.X_OK):
                raise HarnessError(f"{tool} not found: install wine64")
        if shutil.which("Xvfb") is None:
            raise HarnessError("Xvfb not found: install xvfb")
        self.root, self.prefix, self.absent_dir, self.logs = session_folders("scwine-", root)
        self.keep = keep
        self.display = display  # an X display name; None: a private Xvfb
        self._own_display = display is None
        self.env = None
        self._xvfb = None
        self._server = None
        self._ports = None  # the mapping in force, {n: path} for n in 1..20
        self._drivers = []

    # -- set-up and tear-down

    def start(self):
        if self._own_display:
            self._xvfb, self.display = start_xvfb(self.logs / "xvfb.log")
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("LC_", "WINE", "DISPLAY", "LANG"))}
        env.update({
            "WINEPREFIX": str(self.prefix),
            "WINEARCH": "win64",
            "WINESERVER": WINESERVER,
            "WINEDEBUG": "-all",
            # No Mono or Gecko installer dialogs while the prefix is built.
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
            "LANG": LOCALE,
            "LC_ALL": LOCALE,
            "DISPLAY": self.display,
            # Only matters once a 32-bit Wine is installed next to this one.
            "QEMU_RESERVED_VA": "0x81000000",
        })
        self.env = env
        if not self._copy_cached_prefix():
            self.wine("wineboot", "-i", timeout=300)
        # Windows drawn by Wine itself, title bar and close box included:
        # there is no window manager on the X server.
        self.wine("reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed",
                  "/t", "REG_SZ", "/d", "N", "/f")
        # This Wine looks for its own fonts in "<data dir>\../fonts", a path
        # its file lookup rejects, so without this extra font folder the close
        # box shows the letter "r" instead of Marlett's cross.
        self.wine("reg", "add", r"HKCU\Software\Wine\Fonts", "/v", "Path",
                  "/t", "REG_SZ", "/d", windows_path(WINE_FONTS), "/f")
        self._import_ports(self._full_mapping({}))
        # Let the prefix set-up finish on its own before the server is
        # restarted: killing it half way leaves the prefix incomplete.
        subprocess.run([WINESERVER, "-w"], env=self.env, timeout=120, check=False)
        self._save_cached_prefix()
        self._start_server_and_verify(self._full_mapping({}))
        with self.driver() as driver:
            face = from_hex(driver.call("ping")["caption_button_font"])
        if face != "Marlett":
            raise HarnessError(
                f"Wine finds no Marlett font (it offers {face!r}), so caption buttons "
                f"would show letters: is {WINE_FONTS}/marlett.ttf there (fonts-wine)?")

    def _cached_prefix(self):
        # $STATIONCLOCK_PREFIX_CACHE: a folder that keeps a finished prefix
        # per Wine version, copied instead of building one (10-70 s).
        folder = os.environ.get("STATIONCLOCK_PREFIX_CACHE")
        if not folder:
            return None
        version = subprocess.run([WINE64, "--version"], capture_output=True, text=True,
                                 env=self.env).stdout.strip().replace(" ", "_").replace("/", "_")
        return Path(folder) / f"prefix-{version}-{LOCALE}"

    def _copy_cached_prefix(self):
        cached = self._cached_prefix()
        if cached is None or not (cached / ".complete").exists():
            return False
        subprocess.run(["cp", "-a", "--reflink=auto", str(cached), str(self.prefix)], check=True)
        (self.prefix / ".complete").unlink()
        return True

    def _save_cached_prefix(self):
        cached = self._cached_prefix()
        if cached is None or (cached / ".complete").exists():
            return
        cached.parent.mkdir(parents=True, exist_ok=True)
        partial = Path(tempfile.mkdtemp(prefix="partial-", dir=cached.parent))
        subprocess.run(["cp", "-a", "--reflink=auto", f"{self.prefix}/.", str(partial)],
                       check=True)
        (partial / ".complete").touch()
        shutil.rmtree(cached, ignore_errors=True)
        partial.rename(cached)

    def close(self):
        for driver in list(self._drivers):
            driver.close()
        if self.env is not None:
            subprocess.run([WINESERVER, "-k"], env=self.env, timeout=30, check=False,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            subprocess.run([WINESERVER, "-w"], env=self.env, timeout=30, check=False,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self._server is not None:
            end_process(self._server, terminate=False)
            self._server = None
        if self._xvfb is not None:
            end_process(self._xvfb, terminate=True)
            self._xvfb = None
        if not self.keep:
            # The server writes the registry out as it goes; try again if a
            # file appeared while the folder was being removed.
            for _ in range(5):
                shutil.rmtree(self.root, ignore_errors=True)
                if not self.root.exists():
                    break
                time.sleep(0.5)

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.close()

    # -- running Wine tools

    def wine(self, *args, timeout=60, check=True):
        """Runs wine64 with the session's environment; returns the
        CompletedProcess (stdout and stderr as bytes)."""
        # Output goes through files: Wine's services, started by the first
        # process of a server, inherit the standard handles and outlive the
        # command, so pipes would never reach their end.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            code = subprocess.run([WINE64, *args], env=self.env, stdin=subprocess.DEVNULL,
                                  stdout=out, stderr=err, timeout=timeout).returncode
            out.seek(0)
            err.seek(0)
            result = subprocess.CompletedProcess([WINE64, *args], code, out.read(), err.read())
        if check and code != 0:
            raise HarnessError(f"wine64 {' '.join(args)} failed with {code}: "
                               f"{result.stderr.decode(errors='replace')[-500:]}")
        return result

    # -- serial ports

    def absent_port_path(self, number):
        """The path that stands for an absent COM<number>: it never exists."""
        return str(self.absent_dir / f"com{number}")

    def _full_mapping(self, ports):
        unknown = [n for n in ports if not 1 <= int(n) <= PORT_COUNT]
        if unknown:
            raise HarnessError(f"ports out of COM1..COM{PORT_COUNT}: {unknown}")
        mapping = {n: self.absent_port_path(n) for n in range(1, PORT_COUNT + 1)}
        mapping.update({int(n): str(path) for n, path in ports.items()})
        return mapping

    def _import_ports(self, mapping):
        lines = ["Windows Registry Editor Version 5.00", "",
                 r"[HKEY_LOCAL_MACHINE\Software\Wine\Ports]"]
        for n, path in sorted(mapping.items()):
            escaped = path.replace("\\", "\\\\").replace('"', '\\"')
            lines.append(f'"COM{n}"="{escaped}"')
        reg_file = self.root / "ports.reg"
        reg_file.write_text("\r\n".join(lines) + "\r\n", encoding="utf-16")
        self.wine("reg", "import", windows_path(reg_file))

    def map_ports(self, ports, timeout=20):
        """Maps COMn to ports[n] (a Unix path) and every other COM1..COM20 to a
        path that does not exist, restarts the wineserver so that Wine's mount
        manager applies it, and waits until the dosdevices links show it.

        The restart ends every Wine process of the prefix, so close all
        drivers first. Mapping the ports already in force, with the links
        intact, costs only a check.
        """
        mapping = self._full_mapping(ports)
        if (mapping == self._ports and self._server_alive() and
                not self._link_problems(mapping)):
            return
        if self._drivers:
            raise HarnessError("close the drivers before mapping ports: the wineserver restarts")
        self._ports = None
        self._import_ports(mapping)
        subprocess.run([WINESERVER, "-k"], env=self.env, timeout=30, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([WINESERVER, "-w"], env=self.env, timeout=30, check=False)
        if self._server is not None:
            try:
                self._server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                raise HarnessError("the wineserver did not stop")
            self._server = None
        self._start_server_and_verify(mapping, timeout)

    def _server_alive(self):
        return self._server is not None and self._server.poll() is None

    def _start_server_and_verify(self, mapping, timeout=20):
        # A persistent server: it does not exit when idle, so the mount
        # manager maps the ports once and the links cannot change under a
        # running test.
        with open(self.logs / "wineserver.log", "ab") as log:
            self._server = subprocess.Popen([WINESERVER, "-f", "-p"], env=self.env, stdout=log,
                                            stderr=log, start_new_session=True)
        # Any Wine process brings up the services, the mount manager among them.
        self.wine("reg", "query", r"HKLM\Software\Wine\Ports", timeout=60)
        self._wait_for_links(mapping, timeout)
        self._ports = mapping

    def com_links(self):
        """{n: link target or None} for COM1..COM20 as the prefix has them now."""
        links = {}
        for n in range(1, PORT_COUNT + 1):
            try:
                links[n] = os.readlink(self.prefix / "dosdevices" / f"com{n}")
            except OSError:
                links[n] = None
        return links

    def _link_problems(self, mapping):
        problems = []
        for n, target in self.com_links().items():
            if target != mapping[n]:
                problems.append(f"com{n} -> {target} (wanted {mapping[n]})")
            elif target.startswith(str(self.absent_dir)) and os.path.lexists(target):
                problems.append(f"com{n} -> {target}, which should not exist")
        return problems

    def _wait_for_links(self, mapping, timeout):
        # The mount manager rewrites the links one by one about a second
        # after the server starts; wait until they all match and stay so.
        deadline = time.monotonic() + timeout
        stable_since = None
        while True:
            problems = self._link_problems(mapping)
            now = time.monotonic()
            if not problems:
                stable_since = stable_since or now
                if now - stable_since >= 0.3:
                    return
            else:
                stable_since = None
                if now >= deadline:
                    raise UnsafePorts("COM links did not reach the wanted mapping: "
                                      + "; ".join(problems))
            time.sleep(0.02)

    def assert_ports_safe(self):
        """Raises UnsafePorts unless every COM1..COM20 link points exactly at
        the path the test mapped (so none at /dev/ttyS*, none missing) and the
        wineserver that mapped them still runs."""
        if self._ports is None:
            raise UnsafePorts("no port mapping in force: call map_ports first")
        if not self._server_alive():
            raise UnsafePorts("the wineserver that mapped the ports has stopped")
        problems = self._link_problems(self._ports)
        if problems:
            raise UnsafePorts("; ".join(problems))

    @property
    def ports(self):
        """The mapping in force, {n: path} for COM1..COM20, or None."""
        return dict(self._ports) if self._ports else None

    # -- drivers and screenshots

    def driver(self, extra_env=None):
        """Starts a driver (see Driver); close it, or use it in a with block."""
        return Driver(self, extra_env)

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


# ---------------------------------------------------------------- the driver


class Driver:
    """scdriver.exe running in the session's prefix; one method per command.

    Texts are str in and out (the driver carries them as cp1251 bytes).
    Rectangles are [left, top, right, bottom] lists. A command answered with
    err raises DriverError; a driver that stops answering is killed and
    raises HarnessError. close() ends the program too if it still runs.
    """

    SLACK = 15.0  # seconds allowed on top of a command's own time bound

    def __init__(self, session, extra_env=None, loader=WINE64, ready_timeout=60):
        self.session = session
        exe = driver_exe()
        if not exe.exists():
            raise HarnessError(f"{exe} not found: build the win64 preset")
        env = dict(session.env)
        env.update(extra_env or {})
        self._log = open(session.logs / "driver.log", "ab")
        self._proc = subprocess.Popen([loader, windows_path(exe)], env=env,
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
            ready = select.select([self._proc.stdout], [], [], max(0.0, left))[0]
            if not ready:
                self._kill()
                raise HarnessError(f"driver gave no answer within {timeout} s")
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
        reply = self._read_line(self.SLACK + bound_ms / 1000.0)
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

    def start_program(self, args=(), exe=None, idle_ms=15000, title=MAIN_TITLE,
                      find_ms=10000):
        """Checks the port mapping, starts the program, waits until it is idle
        in its message loop and finds its main window by title (skipped when
        title is None). Returns the start reply: pid, idle, running, ms."""
        self.session.assert_ports_safe()
        command_line = " ".join([f'"{windows_path(exe or program_exe())}"', *args])
        reply = self.call("start", idle_ms, command_line, bound_ms=idle_ms)
        self.pid = reply["pid"]
        if title is not None:
            self.find_window(title, find_ms)
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
