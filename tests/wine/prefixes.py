"""Wine prefixes: the environment of every Wine process, and a finished
prefix per width and Wine version, built once and kept in a cache
(/var/cache/stationclock-wine, or $STATIONCLOCK_PREFIX_CACHE). Each session
works on a copy of it."""

import fcntl
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

from width import HarnessError

WINESERVER = "/usr/lib/wine/wineserver64"
# Wine's own fonts (Debian's fonts-wine): Marlett for the caption buttons,
# Tahoma for dialogs.
WINE_FONTS = "/usr/share/wine/fonts"
LOCALE = "ru_RU.UTF-8"


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


def stop_server(env, timeout=30):
    for flag in ("-k", "-w"):
        subprocess.run([WINESERVER, flag], env=env, timeout=timeout, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


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


def cached_prefix(w, log):
    """The finished prefix of this width and Wine version, built once (under
    a lock, so that runs side by side build it once) and kept in the cache.
    Returns (path, built_now)."""
    version = subprocess.run([w.loader, "--version"], capture_output=True, text=True,
                             timeout=60, env=wine_env(w, None, None)).stdout.strip()
    cache = Path(os.environ.get("STATIONCLOCK_PREFIX_CACHE", "/var/cache/stationclock-wine"))
    cached = cache / f"{w.arch}-{version.replace(' ', '_').replace('/', '_')}-{LOCALE}"
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

