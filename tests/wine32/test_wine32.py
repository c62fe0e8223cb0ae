"""Native tests of what guards and judges the 32-bit smoke test: the COM link
guard (the console must never become a port of the program), the prefix
cache's check, and the pure checks of the sync bytes and the window. They
need no Wine: python3 -m pytest -q tests/wine32/test_wine32.py"""

import datetime
import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

import smoke  # noqa: E402
import wine32  # noqa: E402


# ---------------------------------------------------------------- COM links


@pytest.fixture
def prefix_dirs(tmp_path):
    dosdevices = tmp_path / "dosdevices"
    dosdevices.mkdir()
    absent = tmp_path / "absent"
    absent.mkdir()
    station = tmp_path / "port"
    station.symlink_to("/dev/pts/7")
    wanted = wine32.wanted_links({3: station}, absent)
    return dosdevices, absent, wanted


def test_wanted_links_name_all_twenty_ports():
    wanted = wine32.wanted_links({3: "/tmp/x/port"}, "/tmp/x/absent")
    assert sorted(wanted) == list(range(1, 21))
    assert wanted[3] == "/tmp/x/port"
    assert wanted[1] == "/tmp/x/absent/com1"
    assert wanted[20] == "/tmp/x/absent/com20"


@pytest.mark.parametrize("number", [0, 21])
def test_wanted_links_refuse_ports_outside_the_probed_range(number):
    with pytest.raises(ValueError):
        wine32.wanted_links({number: "/tmp/x"}, "/tmp/absent")


def test_written_links_have_no_problems(prefix_dirs):
    dosdevices, absent, wanted = prefix_dirs
    wine32.write_links(dosdevices, wanted)
    assert wine32.link_problems(dosdevices, wanted, absent) == []
    assert os.readlink(dosdevices / "com3") == wanted[3]


def test_the_mount_managers_console_link_is_a_problem_and_gets_replaced(prefix_dirs):
    dosdevices, absent, wanted = prefix_dirs
    wine32.write_links(dosdevices, wanted)
    (dosdevices / "com1").unlink()
    (dosdevices / "com1").symlink_to("/dev/ttyS0")
    problems = wine32.link_problems(dosdevices, wanted, absent)
    assert len(problems) == 1 and problems[0].startswith("com1 -> /dev/ttyS0")
    wine32.write_links(dosdevices, wanted)
    assert os.readlink(dosdevices / "com1") == wanted[1]
    assert wine32.link_problems(dosdevices, wanted, absent) == []


def test_a_missing_link_is_a_problem(prefix_dirs):
    # Wine falls back to /dev/ttyS<N-1> for a COMn without a link.
    dosdevices, absent, wanted = prefix_dirs
    wine32.write_links(dosdevices, wanted)
    (dosdevices / "com7").unlink()
    assert wine32.link_problems(dosdevices, wanted, absent) == [
        f"com7 -> None (wanted {wanted[7]})"]


def test_an_absent_port_whose_path_exists_is_a_problem(prefix_dirs):
    dosdevices, absent, wanted = prefix_dirs
    wine32.write_links(dosdevices, wanted)
    (absent / "com5").write_text("")
    problems = wine32.link_problems(dosdevices, wanted, absent)
    assert problems == [f"com5 -> {wanted[5]}, which should not exist"]


def test_a_file_in_place_of_a_link_is_a_problem_and_gets_replaced(prefix_dirs):
    dosdevices, absent, wanted = prefix_dirs
    wine32.write_links(dosdevices, wanted)
    (dosdevices / "com2").unlink()
    (dosdevices / "com2").write_text("")
    assert len(wine32.link_problems(dosdevices, wanted, absent)) == 1
    wine32.write_links(dosdevices, wanted)
    assert wine32.link_problems(dosdevices, wanted, absent) == []


def test_a_wanted_link_that_reaches_the_console_is_still_a_problem(tmp_path):
    dosdevices = tmp_path / "dosdevices"
    dosdevices.mkdir()
    sneaky = tmp_path / "port"
    sneaky.symlink_to("/dev/ttyS0")
    wanted = wine32.wanted_links({4: sneaky}, tmp_path / "absent")
    wine32.write_links(dosdevices, wanted)
    problems = wine32.link_problems(dosdevices, wanted, tmp_path / "absent")
    assert problems == [f"com4 -> {sneaky} reaches a serial device of the machine"]


def test_high_console_links_are_removed_and_others_kept(prefix_dirs):
    dosdevices, absent, wanted = prefix_dirs
    (dosdevices / "com21").symlink_to("/dev/ttyS0")
    (dosdevices / "com22").symlink_to("/dev/pts/3")
    (dosdevices / "c:").symlink_to("../drive_c")
    wine32.write_links(dosdevices, wanted)
    assert not os.path.lexists(dosdevices / "com21")
    assert os.readlink(dosdevices / "com22") == "/dev/pts/3"
    assert os.readlink(dosdevices / "c:") == "../drive_c"


@pytest.mark.parametrize("path, serial", [
    ("/dev/ttyS0", True), ("/dev/ttyS12", True), ("/dev/ttyUSB0", True),
    ("/dev/ttyACM1", True), ("/dev/pts/0", False), ("/dev/null", False),
    ("/dev/tty", False), ("/tmp/ttyS0", False)])
def test_serial_devices_of_the_machine_are_recognised(path, serial):
    assert wine32.is_machine_serial_device(path) is serial


def test_settle_links_undoes_a_late_console_link(prefix_dirs):
    dosdevices, absent, wanted = prefix_dirs
    wine32.write_links(dosdevices, wanted)
    (dosdevices / "com1").unlink()
    (dosdevices / "com1").symlink_to("/dev/ttyS0")
    session = wine32.Wine32Session.__new__(wine32.Wine32Session)
    session.dosdevices, session.absent_dir, session._wanted = dosdevices, absent, wanted
    session.settle_links(quiet_s=0.2, timeout=5)
    assert wine32.link_problems(dosdevices, wanted, absent) == []


# ---------------------------------------------------------------- the prefix cache


def fake_prefix(root):
    prefix = root / "prefix"
    system32 = prefix / "drive_c" / "windows" / "system32"
    system32.mkdir(parents=True)
    for name in ("kernel32.dll", "user32.dll", "comctl32.dll"):
        (system32 / name).write_bytes(b"MZ")
    manifests = prefix / "drive_c" / "windows" / "winsxs" / "manifests"
    manifests.mkdir(parents=True)
    (manifests / ("x86_microsoft.windows.common-controls_6595b64144ccf1df_"
                  "6.0.2600.2982_none_deadbeef.manifest")).write_text("")
    (prefix / "system.reg").write_text("WINE REGISTRY Version 2\n#arch=win32\n")
    (prefix / "user.reg").write_text('[Software\\\\Wine\\\\X11 Driver]\n"Managed"="N"\n')
    (prefix / "dosdevices").mkdir()
    (prefix / "dosdevices" / "c:").symlink_to("../drive_c")
    (prefix / ".complete").write_text("")
    return prefix


def test_a_finished_prefix_has_no_problems(tmp_path):
    assert wine32.prefix_problems(fake_prefix(tmp_path)) == []


@pytest.mark.parametrize("damage, problem", [
    (lambda p: (p / ".complete").unlink(), "not marked complete"),
    (lambda p: (p / "system.reg").write_text("#arch=win64\n"), "system.reg is not of a win32"),
    (lambda p: (p / "user.reg").write_text(""), "Wine-drawn window frames"),
    (lambda p: (p / "drive_c/windows/system32/user32.dll").unlink(), "no system32/user32.dll"),
    (lambda p: [f.unlink() for f in (p / "drive_c/windows/winsxs/manifests").iterdir()],
     "no version 6 common controls"),
    (lambda p: (p / "dosdevices" / "c:").unlink(), "no c: drive"),
])
def test_a_damaged_prefix_is_not_reused(tmp_path, damage, problem):
    prefix = fake_prefix(tmp_path)
    damage(prefix)
    problems = wine32.prefix_problems(prefix)
    assert len(problems) == 1 and problems[0].startswith(problem), problems


def test_a_missing_prefix_is_not_reused(tmp_path):
    assert "not marked complete" in wine32.prefix_problems(tmp_path / "none")


def test_a_discarded_prefix_is_not_reused(tmp_path):
    prefix = fake_prefix(tmp_path)
    wine32.discard_cached_prefix(prefix)
    assert wine32.prefix_problems(prefix) == ["not marked complete"]


def test_wine_processes_see_both_loaders_settings():
    env = wine32.base_env("/tmp/p", ":5")
    assert env["WINEARCH"] == "win32"
    assert env["QEMU_RESERVED_VA"] == "0x81000000"
    assert env["WINESERVER"].endswith("wineserver64")
    assert env["LANG"] == env["LC_ALL"] == "ru_RU.UTF-8"
    assert (env["WINEPREFIX"], env["DISPLAY"]) == ("/tmp/p", ":5")


# ---------------------------------------------------------------- sync bytes


CLICK = datetime.datetime(2031, 3, 9, 23, 59, 59, 700000)


def line_bytes(fields, gaps=(211,) * 6, first=110, at=CLICK):
    mono = [1000.0]
    for gap in gaps:
        mono.append(mono[-1] + gap)
    data = [first, *fields]
    return [(m, at + datetime.timedelta(milliseconds=m - 1000.0), b)
            for m, b in zip(mono, data)]


def test_a_proper_sync_passes():
    assert smoke.sync_problems(line_bytes([23, 59, 59, 9, 3, 31])) == []


def test_a_sync_read_as_the_second_turned_passes():
    assert smoke.sync_problems(line_bytes([0, 0, 0, 10, 3, 31])) == []


def test_a_sync_two_seconds_off_fails():
    problems = smoke.sync_problems(line_bytes([0, 0, 1, 10, 3, 31]))
    assert len(problems) == 1 and problems[0].startswith("fields")


def test_a_sync_with_the_full_year_fails():
    assert smoke.sync_problems(line_bytes([23, 59, 59, 9, 3, 2031 % 256])) != []


def test_a_sync_byte_sooner_than_the_pause_fails():
    problems = smoke.sync_problems(line_bytes([23, 59, 59, 9, 3, 31],
                                              gaps=(211, 211, 204.5, 211, 211, 211)))
    assert len(problems) == 1 and problems[0].startswith("gaps")


def test_a_sync_with_a_wrong_command_byte_fails():
    problems = smoke.sync_problems(line_bytes([23, 59, 59, 9, 3, 31], first=100))
    assert problems == ["first byte 100, not 110"]


def test_a_short_or_long_sync_fails():
    good = line_bytes([23, 59, 59, 9, 3, 31])
    assert smoke.sync_problems(good[:6]) != []
    assert smoke.sync_problems(good + [(9999.0, CLICK, 5)]) != []


# ---------------------------------------------------------------- window and report


def window_reply(**changes):
    window = {"title": smoke.TITLE, "visible": True}
    children = [{"id": n, "class": cls, "text": text or "", "visible": True}
                for n, (cls, text) in smoke.CONTROLS.items()]
    for n, fields in changes.items():
        number = int(n[1:])
        if fields is None:
            children = [c for c in children if c["id"] != number]
        else:
            next(c for c in children if c["id"] == number).update(fields)
    return window, children


def test_the_real_window_passes():
    assert smoke.control_problems(*window_reply()) == []


@pytest.mark.parametrize("changes, problem", [
    ({"c2": None}, "controls [0, 3, 4, 5, 6]"),
    ({"c0": {"class": "Static"}}, "control 0 is a Static"),
    ({"c2": {"text": "Синхр"}}, "control 2 reads 'Синхр'"),
    ({"c6": {"visible": False}}, "control 6 hidden"),
])
def test_a_wrong_window_fails(changes, problem):
    problems = smoke.control_problems(*window_reply(**changes))
    assert len(problems) == 1 and problems[0].startswith(problem), problems


def test_a_wrong_title_or_an_extra_control_fails():
    window, children = window_reply()
    window["title"] = "Meteostation"
    children.append({"id": 1, "class": "Button", "text": "", "visible": True})
    problems = smoke.control_problems(window, children)
    assert problems[0] == "title 'Meteostation'"
    assert problems[1].startswith("controls [0, 1, 2")


def test_the_report_counts_checks_not_run_as_failed(capsys):
    report = smoke.Report(["a", "b", "c", "d"])
    report.check("a", lambda: "fine")
    report.check("b", lambda: smoke.require(False, "broken"))
    report.check("c", lambda: "never")
    assert report.finish() is False
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].startswith("ok   a (fine)")
    assert lines[1].startswith("FAIL b: broken")
    assert lines[2:4] == ["FAIL c: not run after a failure", "FAIL d: not run after a failure"]
    assert lines[-1] == "1 passed, 3 failed"


def test_delta_is_read_from_the_label():
    assert smoke.delta_of("7:29:28   Delta 98c. 7/12/2026") == 98
    assert smoke.delta_of("0:0:5   Delta -1c. 1/1/2030") == -1
