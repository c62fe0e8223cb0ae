"""Wine prefixes: the environment of every Wine process, and a finished
prefix per width and Wine version, built once and kept in a cache
(/var/cache/stationclock-wine, or $STATIONCLOCK_PREFIX_CACHE). Each session
works on a copy of it.

Under qemu a Wine process crashes now and then, and then its prefix's other
processes may wait for ever. So no Wine process here ever waits on Wine's
crash debugger, every step of a build is watched and bounded, and an
attempt that cannot finish is cleared away and made again from nothing. A
build during which a process crashed is used only when no attempt ran
without a crash."""

import fcntl
import os
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

from width import HarnessError

WINESERVER = "/usr/lib/wine/wineserver64"
# Wine's own fonts (Debian's fonts-wine): Marlett for the caption buttons,
# Tahoma for dialogs.
WINE_FONTS = "/usr/share/wine/fonts"
LOCALE = "ru_RU.UTF-8"
ATTEMPTS = 3  # of a prefix build, and of a session's first start

# What a Wine process writes when its wineserver crashed: the others then
# wait for ever. (Under qemu, Wine's helper processes also crash now and then
# with "uncaught target signal"; Wine restarts them, so that is no sign.)
CRASH_SIGNS = (b"wineserver crashed",)
# What Wine writes when a process crashed. With no crash debugger to wait
# on, the process ends and the others go on.
PROCESS_CRASHED = b"starting debugger..."


def windows_path(path):
    """A Unix path as Wine's Z: drive sees it."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


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
        # more process (under qemu a slow one). No crash debugger: a process
        # that crashes ends, its "Unhandled exception ... starting
        # debugger..." line in its log, because Wine cannot start winedbg
        # (which under qemu never ends, and the crashed process waits on it).
        "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d",
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


def wine_processes(prefix, name_part=""):
    """Unix pids of the processes of a Wine prefix whose command line or
    name contains name_part (case-insensitive)."""
    pids = []
    wanted_env = f"WINEPREFIX={prefix}".encode()
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            environ = (entry / "environ").read_bytes().split(b"\0")
            names = (entry / "cmdline").read_bytes() + b" " + (entry / "comm").read_bytes()
        except OSError:
            continue
        if wanted_env in environ and name_part.lower().encode() in names.lower():
            pids.append(int(entry.name))
    return pids


def kill_wine_processes(prefix, name_part=""):
    for pid in wine_processes(prefix, name_part):
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass


def stop_prefix(w, env):
    """Stops the wineserver of env's prefix and every process of that
    prefix, also ones that wait on a server that crashed."""
    for flag in ("-k", "-w"):
        try:
            subprocess.run([WINESERVER, flag], env=env, timeout=w.bound(30), check=False,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            break
    kill_wine_processes(env["WINEPREFIX"])


def log_sign(logs, signs=CRASH_SIGNS):
    """The first of signs found in the logs, as "<log name>: <sign>", or None."""
    for log in logs:
        try:
            text = Path(log).read_bytes()
        except OSError:
            continue
        for sign in signs:
            if sign in text:
                return f"{Path(log).name}: {sign.decode()}"
    return None


def crash_sign(prefix, logs):
    """Why the Wine processes of a prefix may no longer answer: a crash sign
    in one of the logs, or a crash debugger started; None when there is
    none."""
    if wine_processes(prefix, "winedbg"):
        return "a crash debugger runs"
    return log_sign(logs)


def build_steps(w):
    """The steps of a build, each a command and its bound in seconds on
    64-bit Wine: wineboot --init (10-20 s; one to three minutes under qemu),
    Wine-drawn window frames, Wine's font folder. After each step the server
    must go idle by itself: one stopped half way leaves the prefix without
    the version 6 common controls."""
    idle = ([WINESERVER, "-w"], 30)
    return [
        ([w.loader, "wineboot", "--init"], 60), idle,
        # Windows drawn by Wine itself, title bar and close box included:
        # there is no window manager on the X server.
        ([w.loader, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed",
          "/t", "REG_SZ", "/d", "N", "/f"], 20), idle,
        # This Wine looks for its own fonts in "<data dir>\../fonts", a path
        # its file lookup rejects, so without this extra font folder the close
        # box shows the letter "r" instead of Marlett's cross.
        ([w.loader, "reg", "add", r"HKCU\Software\Wine\Fonts", "/v", "Path",
          "/t", "REG_SZ", "/d", windows_path(WINE_FONTS), "/f"], 20), idle,
    ]


def run_watched(w, command, seconds, env, log_path):
    """Runs a step to its end, its output and then its outcome appended to
    log_path. Returns why it failed: it ended with another code than 0, a
    crash sign showed, or it took longer than its bound (then it is killed);
    None when it did not."""
    what = " ".join([Path(command[0]).name, *command[1:4]])
    bound = w.bound(seconds)
    began = time.monotonic()
    with open(log_path, "ab") as log:
        proc = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
                                stdout=log, stderr=log, start_new_session=True)
    while True:
        try:
            code = proc.wait(timeout=0.2)
        except subprocess.TimeoutExpired:
            code = None
        why = log_sign([log_path])
        if code is None and not why and time.monotonic() - began > bound:
            why = f"{what} took over {bound:.0f} s"
        if why or code is not None:
            proc.kill()
            proc.wait()
            why = why or (f"{what} ended with {code}" if code else None)
            with open(log_path, "ab") as log:
                took = time.monotonic() - began
                log.write(f"--- {what}: {why or 'done'} in {took:.0f} s\n".encode())
            return why


def build_prefix(w, target, log_path, steps):
    """One attempt at a finished prefix in target; returns why it failed,
    or None."""
    env = wine_env(w, target, None)
    for command, seconds in steps:
        why = run_watched(w, command, seconds, env, log_path)
        if why:
            return why
    if not target.is_dir():
        return "no prefix was made"
    # Wine's mount manager mapped the machine's devices while the prefix was
    # made; no copy may inherit them.
    for entry in (target / "dosdevices").glob("com*"):
        entry.unlink()
    (target / ".complete").write_text("")
    problems = prefix_problems(target, w.arch)
    return "the new prefix is incomplete: " + "; ".join(problems) if problems else None


class PrefixBuildFailed(HarnessError):
    """Every attempt at building the prefix failed."""


def cached_prefix(w, logs, steps=None):
    """The finished prefix of this width and Wine version, built once and
    kept in the cache. Returns (path, notes on the build, if any).

    Runs side by side build it once: the build holds a lock, and a run that
    waits for another's build waits at most as long as that build may take.
    An attempt that fails is stopped, its half-made prefix removed, and the
    build starts again from nothing, up to ATTEMPTS times; attempt n logs
    to logs/prefix-build<n>.log. So does one during which a Wine process
    crashed, but the first such prefix is kept, and used when no attempt
    runs without a crash. steps(attempt) gives an attempt's steps
    (build_steps by default; a test puts others into some attempts)."""
    steps = steps or (lambda attempt: build_steps(w))
    try:
        version = subprocess.run([w.loader, "--version"], capture_output=True, text=True,
                                 timeout=w.bound(30), env=wine_env(w, None, None)).stdout.strip()
    except subprocess.TimeoutExpired:
        raise HarnessError(f"{w.loader} --version took over {w.bound(30)} s") from None
    cache = Path(os.environ.get("STATIONCLOCK_PREFIX_CACHE", "/var/cache/stationclock-wine"))
    cached = cache / f"{w.arch}-{version.replace(' ', '_').replace('/', '_')}-{LOCALE}"
    if not prefix_problems(cached, w.arch):
        return cached, []
    cached.parent.mkdir(parents=True, exist_ok=True)
    longest = sum(w.bound(seconds) for attempt in range(1, ATTEMPTS + 1)
                  for _, seconds in steps(attempt))
    with open(cached.parent / "lock", "w") as lock:
        lock_within(lock, longest, f"another run's build of {cached.name}")
        if not prefix_problems(cached, w.arch):
            return cached, []
        outcomes = []  # of the attempts that did not give a prefix at once
        spare = None  # the first prefix built while a process crashed
        for attempt in range(1, ATTEMPTS + 1):
            began = time.monotonic()
            partial = Path(tempfile.mkdtemp(prefix="partial-", dir=cached.parent))
            log_name = f"prefix-build{attempt}.log"
            why = build_prefix(w, partial / "prefix", logs / log_name, steps(attempt))
            took = f"{time.monotonic() - began:.0f} s"
            stop_prefix(w, wine_env(w, partial / "prefix", None))
            crashed = why is None and log_sign([logs / log_name], [PROCESS_CRASHED])
            if why is None and not crashed:
                use(partial, cached)
                if spare is not None:
                    shutil.rmtree(spare, ignore_errors=True)
                return cached, [f"prefix built into {cached} in {took}"
                                + "".join(f"; {outcome}" for outcome in outcomes)]
            if crashed:
                outcomes.append(f"attempt {attempt} built one in {took}, but a Wine process "
                                f"crashed during it (see {log_name})")
                if spare is None:
                    spare = partial
                    continue
            else:
                outcomes.append(f"attempt {attempt} failed after {took}: {why} (see {log_name})")
            shutil.rmtree(partial, ignore_errors=True)
        if spare is not None:
            use(spare, cached)
            return cached, [f"prefix built into {cached} by the first attempt that built one, "
                            "as none ran without a crash: " + "; ".join(outcomes)]
    raise PrefixBuildFailed(f"no {w.arch} prefix after {ATTEMPTS} attempts: " + "; ".join(outcomes))


def use(partial, cached):
    """Puts the prefix built in partial into the cache."""
    shutil.rmtree(cached, ignore_errors=True)
    (partial / "prefix").rename(cached)
    shutil.rmtree(partial, ignore_errors=True)


def lock_within(lock, seconds, holder):
    """Takes an exclusive lock on the open file, waiting at most seconds."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return
        except BlockingIOError:
            if time.monotonic() > deadline:
                raise HarnessError(f"{holder} held its lock for over {seconds:.0f} s") from None
            time.sleep(0.1)
