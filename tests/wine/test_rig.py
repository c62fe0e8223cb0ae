"""The harness's own guarantees that need no Wine prefix (README.md), in
seconds: /usr/bin/python3 -m pytest tests/wine/test_rig.py"""

import os
import re
import subprocess
import sys
import time
from pathlib import Path

import pytest

import ports
from prefixes import cached_prefix, lock_within, prefix_problems
from ptys import LockedPty, PtyPair
import session as session_module
from session import WineSession
from width import HarnessError, width
from wine_processes import WineCrashed, processes


@pytest.fixture
def dosdevices(tmp_path):
    """An empty dosdevices folder, the absent ports' folder and the links
    wanted with COM3 present (through a link of its own, as stationsim's)."""
    folder, absent = tmp_path / "dosdevices", tmp_path / "absent"
    folder.mkdir()
    absent.mkdir()
    port = tmp_path / "port"
    port.symlink_to("/dev/pts/7")
    return folder, absent, ports.wanted_links({3: port}, absent)


def test_wanted_links_name_all_twenty_ports_and_no_other():
    wanted = ports.wanted_links({3: "/x/port"}, "/x/absent")
    assert sorted(wanted) == list(range(1, 21))
    assert (wanted[1], wanted[3], wanted[20]) == ("/x/absent/com1", "/x/port", "/x/absent/com20")
    for number in (0, 21):
        with pytest.raises(HarnessError):
            ports.wanted_links({number: "/x/port"}, "/x/absent")


@pytest.mark.parametrize("damage, problem", [
    # Wine falls back to /dev/ttyS<N-1> for a COMn without a link.
    (lambda d, a: (d / "com7").unlink(), "com7 -> None"),
    (lambda d, a: ((d / "com1").unlink(), (d / "com1").symlink_to("/dev/ttyS0")),
     "com1 -> /dev/ttyS0"),
    (lambda d, a: ((d / "com2").unlink(), (d / "com2").write_text("")), "com2 -> "),
    (lambda d, a: (a / "com5").write_text(""), "com5 -> "),
])
def test_every_wrong_link_is_found_and_written_right(dosdevices, damage, problem):
    folder, absent, wanted = dosdevices
    ports.write_links(folder, wanted)
    assert ports.link_problems(folder, wanted, absent) == []
    damage(folder, absent)
    problems = ports.link_problems(folder, wanted, absent)
    assert len(problems) == 1 and problems[0].startswith(problem), problems
    if not (absent / "com5").exists():
        ports.write_links(folder, wanted)
        assert ports.link_problems(folder, wanted, absent) == []


def test_a_wanted_link_that_reaches_the_console_is_still_a_problem(dosdevices):
    folder, absent, _ = dosdevices
    sneaky = folder.parent / "sneaky"
    sneaky.symlink_to("/dev/ttyS0")
    wanted = ports.wanted_links({4: sneaky}, absent)
    ports.write_links(folder, wanted)
    assert ports.link_problems(folder, wanted, absent) == [
        f"com4 -> {sneaky} reaches a serial device of the machine"]


def test_higher_console_links_are_removed_and_others_kept(dosdevices):
    folder, _, wanted = dosdevices
    (folder / "com21").symlink_to("/dev/ttyS0")
    (folder / "com22").symlink_to("/dev/pts/3")
    (folder / "c:").symlink_to("../drive_c")
    ports.write_links(folder, wanted)
    assert not os.path.lexists(folder / "com21")
    assert os.readlink(folder / "com22") == "/dev/pts/3"
    assert os.readlink(folder / "c:") == "../drive_c"


@pytest.mark.parametrize("path, serial", [
    ("/dev/ttyS0", True), ("/dev/ttyS12", True), ("/dev/ttyUSB0", True),
    ("/dev/ttyACM1", True), ("/dev/console", True), ("/dev/pts/0", False),
    ("/dev/null", False), ("/dev/tty", False), ("/tmp/ttyS0", False)])
def test_serial_devices_of_the_machine_are_recognised(path, serial):
    assert ports.is_machine_serial_device(path) is serial


def fake_prefix(root):
    prefix = root / "prefix"
    windows = prefix / "drive_c" / "windows"
    manifests = windows / "winsxs" / "manifests"
    manifests.mkdir(parents=True)
    for folder, machine in (("system32", "amd64"), ("syswow64", "x86")):
        (windows / folder).mkdir()
        for name in ("kernel32.dll", "user32.dll", "comctl32.dll"):
            (windows / folder / name).write_bytes(b"MZ")
        (manifests / (f"{machine}_microsoft.windows.common-controls_6595b64144ccf1df_"
                      "6.0.2600.2982_none_deadbeef.manifest")).write_text("")
    (prefix / "system.reg").write_text("WINE REGISTRY Version 2\n#arch=win64\n")
    (prefix / "user.reg").write_text('[Software\\\\Wine\\\\X11 Driver]\n"Managed"="N"\n'
                                     '[Software\\\\Wine\\\\Fonts]\n'
                                     '"Path"="Z:\\\\usr\\\\share\\\\wine\\\\fonts"\n')
    (prefix / "dosdevices").mkdir()
    (prefix / "dosdevices" / "c:").symlink_to("../drive_c")
    (prefix / ".complete").write_text("")
    return prefix


@pytest.mark.parametrize("damage, problem", [
    (None, None),
    (lambda p: (p / ".complete").unlink(), "not marked complete"),
    (lambda p: (p / "system.reg").write_text("#arch=win32\n"), "system.reg is not of a win64"),
    (lambda p: (p / "user.reg").write_text('"Managed"="N"\n'), "Wine's font folder"),
    (lambda p: (p / "user.reg").write_text("share\\\\wine\\\\fonts"), "Wine-drawn window"),
    (lambda p: (p / "drive_c/windows/system32/user32.dll").unlink(), "no system32/user32.dll"),
    # A prefix built before 32-bit Wine was installed has no 32-bit half.
    (lambda p: (p / "drive_c/windows/syswow64/kernel32.dll").unlink(),
     "no syswow64/kernel32.dll"),
    (lambda p: [f.unlink() for f in (p / "drive_c/windows/winsxs/manifests").glob("x86_*")],
     "no version 6 common controls for x86"),
    (lambda p: (p / "dosdevices" / "c:").unlink(), "no c: drive"),
    (lambda p: (p / "dosdevices" / "com1").symlink_to("/dev/ttyS0"), "COM links kept"),
])
def test_only_a_finished_prefix_is_reused(tmp_path, damage, problem):
    prefix = fake_prefix(tmp_path)
    if damage is None:
        assert prefix_problems(prefix) == []
        assert prefix_problems(tmp_path / "none")[0] == "not marked complete"
        return
    damage(prefix)
    problems = prefix_problems(prefix)
    assert len(problems) == 1 and problems[0].startswith(problem), problems


def test_a_build_that_fails_every_attempt_says_so_once(tmp_path, monkeypatch):
    cache = tmp_path / "cache"
    monkeypatch.setenv("STATIONCLOCK_PREFIX_CACHE", str(cache))
    logs = tmp_path / "logs"
    logs.mkdir()
    # A crash sign with a process of the half-made prefix still waiting, a
    # step that hangs, a step that fails.
    seeded = {1: [(["sh", "-c", "sleep 600 & echo wineserver crashed; exec sleep 600"], 60)],
              2: [(["sleep", "600"], 1)],
              3: [(["false"], 60)]}
    began = time.monotonic()
    with pytest.raises(HarnessError) as failed:
        cached_prefix(logs, lambda attempt: seeded[attempt])
    assert time.monotonic() - began < 10
    assert re.fullmatch(
        r"no prefix built into \S+: 3 attempts failed: "
        r"attempt 1 failed after \d+ s: prefix-build1.log: wineserver crashed "
        r"\(see prefix-build1.log\); "
        r"attempt 2 failed after [12] s: sleep 600 took over 1 s \(see prefix-build2.log\); "
        r"attempt 3 failed after \d+ s: false ended with 1 \(see prefix-build3.log\)",
        str(failed.value)), str(failed.value)
    assert b"wineserver crashed" in (logs / "prefix-build1.log").read_bytes()
    assert [p.name for p in cache.iterdir()] == ["lock"]
    assert processes(cache) == []


def test_a_build_during_which_a_process_crashed_is_made_again(tmp_path, monkeypatch):
    cache = tmp_path / "cache"
    monkeypatch.setenv("STATIONCLOCK_PREFIX_CACHE", str(cache))
    # Each attempt builds a finished prefix marked with its number; in the
    # first a Wine process crashed.
    seeded = {}
    for attempt, line in ((1, "wine: Unhandled exception 0x000006be at address 7B012866, "
                           "starting debugger..."), (2, "done")):
        fake = fake_prefix(tmp_path / f"fake{attempt}")
        (fake / f"from-attempt{attempt}").write_text("")
        seeded[attempt] = [(["sh", "-c", f'cp -a {fake} "$WINEPREFIX" && echo "{line}"'], 60)]
    seeded[3] = [(["false"], 60)]
    cached, tried = cached_prefix(tmp_path, lambda attempt: seeded[attempt])
    assert tried.retries() == 1
    assert re.fullmatch(r"attempt 1 failed after \d+ s: a Wine process crashed during it "
                        r"\(see prefix-build1.log\)", tried.failures[0]), tried.failures
    assert [p.name for p in cached.iterdir() if p.name.startswith("from")] == ["from-attempt2"]
    assert sorted(p.name for p in cache.iterdir()) == sorted(["lock", cached.name])
    assert prefix_problems(cached) == []


def test_a_build_waits_for_another_runs_build_within_its_bound(tmp_path, monkeypatch):
    monkeypatch.setenv("STATIONCLOCK_PREFIX_CACHE", str(tmp_path))
    with open(tmp_path / "lock", "w") as held:
        lock_within(held, 0, "this test")
        began = time.monotonic()
        # Three attempts of one step bounded to 1 s: the wait gives up after 3 s.
        with pytest.raises(HarnessError, match=r"timed out after 3 s waiting for another "
                                               r"run's build of win64-\S+ to give up its lock"):
            cached_prefix(tmp_path, lambda attempt: [(["true"], 1)])
        assert 3 <= time.monotonic() - began < 5


def test_a_session_that_cannot_start_ends_the_run_with_one_message():
    # Here a missing program, the serial devices outside isolated.sh, or the
    # cache that cannot be made stops it.
    run = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
         "tests/wine/test_harness.py", "--width", "64"],
        cwd=Path(__file__).parents[2], capture_output=True, text=True, timeout=60,
        env={**os.environ, "STATIONCLOCK_PREFIX_CACHE": "/dev/null/cache"})
    assert run.returncode == 1
    assert run.stdout.count("the Wine session did not start: ") == 1, run.stdout


def test_pty_pair_carries_raw_bytes_both_ways():
    every_byte = bytes(range(256))
    with PtyPair() as pty:
        far = os.open(pty.path, os.O_RDWR | os.O_NOCTTY)
        try:
            os.write(far, every_byte)
            received = b""
            while len(received) < len(every_byte):
                chunk = pty.read(timeout=2)
                assert chunk, received
                received += chunk
            assert received == every_byte
            pty.write(every_byte)
            received = b""
            while len(received) < len(every_byte):
                received += os.read(far, 4096)
            assert received == every_byte
        finally:
            os.close(far)


def test_locked_pty_exists_but_cannot_be_opened():
    with LockedPty() as held:
        assert os.path.exists(held.path)
        with pytest.raises(OSError):
            os.open(held.path, os.O_RDWR | os.O_NOCTTY)


def test_signs_of_a_crashed_wine(tmp_path, monkeypatch):
    session = WineSession(width(64), root=tmp_path)
    assert session.crash() is None
    (session.logs / "driver.log").write_bytes(b"noise\nwineserver crashed, please enable coredumps\n")
    assert session.crash() == "driver.log: wineserver crashed"
    (session.logs / "driver.log").write_bytes(b"qemu: uncaught target signal 11\n")
    assert session.crash() is None  # a helper's crash: Wine starts it again
    session._server = subprocess.Popen(["true"])
    session._server.wait()
    assert session.crash() == "the wineserver ended with 0"
    # A server that ends before it listens is a crash: the start retries it.
    monkeypatch.setattr(session_module, "WINESERVER", "/bin/false")
    session.env = {}
    session.prefix.mkdir()
    with pytest.raises(WineCrashed, match="ended with 1 before it listened"):
        session._start_server()
