"""32-bit Wine for the smoke test of stationclock32.exe.

These machines cannot run i386 code natively, so 32-bit Wine runs under qemu
user emulation (tests/wine32/setup.sh registers qemu-i386-static for i386
executables). That makes every Wine process start slowly and makes Wine's
own helper processes crash now and then; what stays reliable is used here:

- one win32 prefix is built once and kept in a cache folder; each run works
  on a copy of it;
- one persistent wineserver per run (the native 64-bit one): the first Wine
  process brings up Wine's services under qemu (about a minute), later ones
  start in seconds;
- Wine's mount manager does not apply HKLM\\Software\\Wine\\Ports here, but
  it still makes COM1 a link to /dev/ttyS0, the machine's console. So the
  comN links in $WINEPREFIX/dosdevices are written by the test itself, every
  one of COM1..COM20 (a missing link would make Wine fall back to
  /dev/ttyS<N-1>), and checked before the program starts. smoke.sh also runs
  everything in a mount namespace where /dev/ttyS* are /dev/null.

The program is driven by the 32-bit build of the end-to-end driver
(tests/wine/driver) through tests/wine/harness.py's Driver class.
"""

import fcntl
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
sys.path.insert(0, str(REPO / "tests" / "wine"))

import harness  # noqa: E402

WINE32 = "/usr/lib/wine/wine"
WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver64"
QEMU_RESERVED_VA = "0x81000000"
LOCALE = "ru_RU.UTF-8"
PORT_COUNT = 20
CACHE_ROOT = Path(os.environ.get("STATIONCLOCK_WINE32_CACHE", "/var/cache/stationclock-wine32"))

# Serial devices of the machine that Wine would map to COM ports by itself.
SERIAL_DEVICE_PATTERNS = ("ttyS*", "ttyUSB*", "ttyACM*")

COMMON_CONTROLS_6 = "x86_microsoft.windows.common-controls_6595b64144ccf1df_6.*.manifest"


class Wine32Error(harness.HarnessError):
    """32-bit Wine could not be set up or misbehaved."""


# ---------------------------------------------------------------- COM links


def wanted_links(present, absent_dir):
    """{n: target} for COM1..COM20: present maps port numbers to the paths
    they must reach; every other port gets a path in absent_dir, which must
    not exist."""
    links = {n: str(Path(absent_dir) / f"com{n}") for n in range(1, PORT_COUNT + 1)}
    for n, path in present.items():
        if not 1 <= n <= PORT_COUNT:
            raise ValueError(f"COM{n} is outside COM1..COM{PORT_COUNT}")
        links[n] = str(path)
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


def is_machine_serial_device(path):
    """Whether a path leads (through links) to /dev/ttyS*, /dev/ttyUSB* or
    /dev/ttyACM*."""
    resolved = Path(os.path.realpath(path))
    return resolved.parent == Path("/dev") and any(
        resolved.match(pattern) for pattern in SERIAL_DEVICE_PATTERNS)


def write_links(dosdevices, wanted):
    """Makes com1..com20 exactly the wanted links (replacing whatever is
    there, the mount manager's com1 -> /dev/ttyS0 included). Also removes
    comN links above COM20 that reach a serial device of the machine."""
    dosdevices = Path(dosdevices)
    for n, target in wanted.items():
        entry = dosdevices / f"com{n}"
        if entry.is_symlink() and os.readlink(entry) == target:
            continue
        temporary = dosdevices / f".com{n}.new"
        if os.path.lexists(temporary):
            temporary.unlink()
        temporary.symlink_to(target)
        os.replace(temporary, entry)  # one step: never a missing link
    for entry in dosdevices.glob("com*"):
        if entry.name[3:].isdigit() and int(entry.name[3:]) > PORT_COUNT \
                and is_machine_serial_device(entry):
            entry.unlink()


def serial_devices_masked():
    """The machine's serial devices as this process sees them: [(path,
    masked)], masked when the path is /dev/null (smoke.sh's namespace)."""
    null = os.stat("/dev/null").st_rdev
    found = []
    for pattern in SERIAL_DEVICE_PATTERNS:
        for path in sorted(Path("/dev").glob(pattern)):
            try:
                found.append((str(path), os.stat(path).st_rdev == null))
            except OSError:
                continue
    return found


# ---------------------------------------------------------------- the prefix cache


def prefix_problems(prefix):
    """Why a folder is not a finished win32 prefix of this Wine, as a list
    of texts (empty when it is one)."""
    prefix = Path(prefix)
    problems = []
    if not (prefix / ".complete").exists():
        problems.append("not marked complete")
    try:
        system = (prefix / "system.reg").read_text(errors="replace")
        if "#arch=win32" not in system:
            problems.append("system.reg is not of a win32 prefix")
    except OSError:
        problems.append("no system.reg")
    try:
        user = (prefix / "user.reg").read_text(errors="replace")
        if '"Managed"="N"' not in user:
            problems.append("Wine-drawn window frames are not set")
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
    return problems


def wine_version():
    out = subprocess.run([WINE64, "--version"], capture_output=True, text=True, timeout=30,
                         env=base_env(None, None))
    return out.stdout.strip().replace(" ", "_").replace("(", "").replace(")", "")


def base_env(prefix, display):
    """The environment of every 32-bit Wine process."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("LC_", "WINE", "DISPLAY", "LANG"))}
    env.update({
        "WINEARCH": "win32",
        "WINESERVER": WINESERVER,
        "WINELOADER": WINE32,
        "WINEDEBUG": "-all",
        # No Mono or Gecko installers, no menu entries: each would be one
        # more process under qemu.
        "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
        "LANG": LOCALE,
        "LC_ALL": LOCALE,
        # Below 0x81000000 qemu cannot map Wine's shared user data; above it
        # every start costs much more processor time.
        "QEMU_RESERVED_VA": QEMU_RESERVED_VA,
    })
    if prefix is not None:
        env["WINEPREFIX"] = str(prefix)
    if display is not None:
        env["DISPLAY"] = display
    return env


def _stop_server(env, timeout=60):
    subprocess.run([WINESERVER, "-k"], env=env, timeout=timeout, check=False,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run([WINESERVER, "-w"], env=env, timeout=timeout, check=False,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def build_prefix(target, log):
    """Builds a win32 prefix in target (wineboot --init under qemu, about
    two minutes) and marks it complete. No display: wineboot needs none."""
    target = Path(target)
    env = base_env(target, None)
    # A server of its own that ends when the last client goes, so that
    # "wineserver -w" tells when the prefix set-up has really finished:
    # killing it half way leaves the prefix without common controls 6.
    steps = [
        [WINE32, "wineboot", "--init"],
        [WINE32, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed",
         "/t", "REG_SZ", "/d", "N", "/f"],
    ]
    try:
        for step in steps:
            code = subprocess.run(step, env=env, stdin=subprocess.DEVNULL, stdout=log,
                                  stderr=log, timeout=600).returncode
            if code != 0:
                raise Wine32Error(f"{' '.join(step[1:])} failed with {code}")
            subprocess.run([WINESERVER, "-w"], env=env, timeout=300, check=False)
    except subprocess.TimeoutExpired as e:
        _stop_server(env)
        raise Wine32Error(f"{' '.join(e.cmd[1:])} took over {e.timeout} s") from None
    # The prefix set-up mapped the console as COM1; no copy may inherit it.
    for entry in (target / "dosdevices").glob("com*"):
        entry.unlink()
    (target / ".complete").write_text("built by tests/wine32\n")
    problems = prefix_problems(target)
    if problems:
        raise Wine32Error("new prefix incomplete: " + "; ".join(problems))


def cached_prefix(log, rebuild=False):
    """The cached finished prefix for this Wine, built when missing, broken
    or when rebuild is asked. Returns (path, built_now)."""
    cached = CACHE_ROOT / f"prefix-{wine_version()}"
    if not rebuild and not prefix_problems(cached):
        return cached, False
    CACHE_ROOT.mkdir(parents=True, exist_ok=True)
    with open(CACHE_ROOT / "lock", "w") as lock:
        # Another run may be building it right now: wait for it and take
        # its prefix.
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not rebuild and not prefix_problems(cached):
            return cached, False
        return _build_into_cache(cached, log), True


def _build_into_cache(cached, log):
    partial = Path(tempfile.mkdtemp(prefix="partial-", dir=CACHE_ROOT))
    prefix = partial / "prefix"
    try:
        build_prefix(prefix, log)
        shutil.rmtree(cached, ignore_errors=True)
        prefix.rename(cached)
    finally:
        shutil.rmtree(partial, ignore_errors=True)
    return cached


def discard_cached_prefix(cached):
    """Forgets a cached prefix that failed to start: the next run builds a
    new one."""
    try:
        (Path(cached) / ".complete").unlink()
    except OSError:
        pass


# ---------------------------------------------------------------- the session


class Wine32Session:
    """One run's copy of the cached prefix, its persistent wineserver, an X
    server and the COM links. It has what harness.Driver needs of a session:
    env, logs, assert_ports_safe(), wine_processes()."""

    def __init__(self, cached, keep=False):
        self.root, self.prefix, self.absent_dir, self.logs = harness.session_folders("scwine32-")
        self.keep = keep
        subprocess.run(["cp", "-a", "--reflink=auto", str(cached), str(self.prefix)],
                       check=True)
        self.dosdevices = self.prefix / "dosdevices"
        self._wanted = None
        self._server = None
        self._xvfb = None
        self._drivers = []  # harness.Driver keeps its own list here
        self.display = None
        self.env = None

    def start(self, present_ports):
        """Writes the COM links (before any Wine process runs), starts the X
        server and the persistent wineserver."""
        self._wanted = wanted_links(present_ports, self.absent_dir)
        write_links(self.dosdevices, self._wanted)
        self._xvfb, self.display = harness.start_xvfb(self.logs / "xvfb.log")
        self.env = base_env(self.prefix, self.display)
        with open(self.logs / "wineserver.log", "ab") as log:
            self._server = subprocess.Popen([WINESERVER, "-f", "-p"], env=self.env,
                                            stdout=log, stderr=log, start_new_session=True)

    def settle_links(self, quiet_s=3.0, timeout=60.0):
        """Rewrites the COM links until they have stayed right for quiet_s:
        Wine's mount manager makes com1 -> /dev/ttyS0 while the first Wine
        process starts. Raises harness.UnsafePorts when they do not settle."""
        deadline = time.monotonic() + timeout
        right_since = None
        while True:
            now = time.monotonic()
            problems = link_problems(self.dosdevices, self._wanted, self.absent_dir)
            if problems:
                right_since = None
                if now >= deadline:
                    raise harness.UnsafePorts("COM links keep changing: " + "; ".join(problems))
                write_links(self.dosdevices, self._wanted)
            else:
                right_since = right_since or now
                if now - right_since >= quiet_s:
                    return
            time.sleep(0.05)

    def server_alive(self):
        return self._server is not None and self._server.poll() is None

    def assert_ports_safe(self):
        """Raises harness.UnsafePorts unless every COM1..COM20 link is exactly
        the wanted one, the serial devices of the machine are masked in this
        mount namespace, and the wineserver still runs."""
        if self._wanted is None:
            raise harness.UnsafePorts("no port mapping in force")
        if not self.server_alive():
            raise harness.UnsafePorts("the wineserver has stopped")
        unmasked = [path for path, masked in serial_devices_masked() if not masked]
        if unmasked:
            raise harness.UnsafePorts("serial devices not masked: " + ", ".join(unmasked)
                                      + " (run through tests/wine32/smoke.sh)")
        problems = link_problems(self.dosdevices, self._wanted, self.absent_dir)
        if problems:
            raise harness.UnsafePorts("; ".join(problems))

    def wine_processes(self, name_part):
        return harness.wine_processes(self.prefix, name_part)

    def driver(self, ready_timeout):
        return Driver32(self, ready_timeout)

    def close(self):
        for driver in list(self._drivers):
            driver.close()
        if self.env is not None:
            _stop_server(self.env)
        if self._server is not None:
            harness.end_process(self._server, terminate=False)
        # Processes of the prefix that outlived their server (qemu keeps a
        # crashed helper waiting now and then).
        for pid in self.wine_processes(""):
            try:
                os.kill(pid, 9)
            except OSError:
                pass
        if self._xvfb is not None:
            harness.end_process(self._xvfb, terminate=True)
        if not self.keep:
            shutil.rmtree(self.root, ignore_errors=True)


class Driver32(harness.Driver):
    """harness.Driver with the driver run by the 32-bit loader. The first
    Wine process of a new wineserver brings up Wine's services under qemu,
    so its "ready" may take a minute or more."""

    def __init__(self, session, ready_timeout):
        if not harness.driver_exe().exists():
            raise Wine32Error(f"{harness.driver_exe()} not found: build the win32 preset")
        super().__init__(session, loader=WINE32, ready_timeout=ready_timeout)
