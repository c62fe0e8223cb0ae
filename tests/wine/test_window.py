"""MainWindow of the real program under Wine: its place, style and controls,
fonts, keyboard focus, the port list, labels, the warning shown when no
port is open, closing, and its texts on a Windows whose language is not
Cyrillic. Every port is absent in these tests but the last."""

import os
import shutil
import time

import pytest

from program import (ELAPSED, IDOK, LABELS, NOT_AVAILABLE, PORT_NAMES, PORTS, QUERY,
                     QUERY_TEXT, READY, STATION_TIME, STATUS, SYNC, SYNC_TEXT, TITLE,
                     WINDOW_CLASS, texts_match, warning)
from width import REPO, HarnessError, wait_until

WS_CHILD, WS_VISIBLE, WS_CLIPSIBLINGS = 0x40000000, 0x10000000, 0x04000000
WS_BORDER, WS_VSCROLL, WS_GROUP, WS_TABSTOP = 0x00800000, 0x00200000, 0x00020000, 0x00010000
CBS_DROPDOWNLIST, WS_EX_WINDOWEDGE, HTCAPTION = 0x0003, 0x00000100, 2

MAIN_STYLE = 0xCC0000  # caption, system menu, sizing border
BUTTON_STYLE = 0x50030000
LABEL_STYLE = 0x50020000
COMBO_STYLE = (WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_GROUP | WS_TABSTOP
               | CBS_DROPDOWNLIST)
# Wine keeps these two out of a combo box's style as read back.
DROPPED_BY_WINE_FROM_COMBO = WS_BORDER | WS_VSCROLL

FRAME_TOP_LEFT = (272, 92)
CLIENT_SIZE = (142, 317)
COMBO_LIST_EXTENT = 350

# id: class, x, y, width, height (client coordinates), style
LAYOUT = {
    QUERY: ("Button", 15, 75, 110, 35, BUTTON_STYLE),
    SYNC: ("Button", 15, 210, 110, 35, BUTTON_STYLE),
    STATION_TIME: ("Static", 20, 125, 105, 35, LABEL_STYLE),
    ELAPSED: ("Static", 20, 160, 105, 40, LABEL_STYLE),
    PORTS: ("ComboBox", 15, 5, 95, 23, COMBO_STYLE),
    STATUS: ("Static", 20, 45, 120, 25, LABEL_STYLE),
}

# With every port absent the probe ends on the first entry.
TEXTS_AFTER_START = {QUERY: QUERY_TEXT, SYNC: SYNC_TEXT, STATION_TIME: "", ELAPSED: "",
                     PORTS: "COM1", STATUS: NOT_AVAILABLE}

# Wine's Russian message boxes label the button with Cyrillic letters.
OK_TEXTS = ("OK", "ОК")

# Where the pointer rests when it must not touch the program's window.
POINTER_PARK = (1010, 755)


def focus_sequence(driver, keys):
    """The focused control's id after each key."""
    seen = []
    for key in keys:
        driver.key(key)
        seen.append(driver.focused_id())
    return seen


def activated_focus(driver):
    """Waits until MainWindow is active again; its focus then."""
    def active():
        focus = driver.focus()
        return focus if focus["main_active"] else None
    return wait_until(active, driver.w.bound(3), what="MainWindow to become active")


# ---------------------------------------------------------------- after start-up


@pytest.fixture(scope="class")
def shown(runner):
    """One program for the checks that only look; its window is saved as
    build/wine-tests<width>/window.png (and as docs/window.png when
    STATIONCLOCK_DOCS_SCREENSHOT=1)."""
    driver = runner.start()
    driver.move(*POINTER_PARK)
    time.sleep(0.3)  # let the first paint finish
    folder = runner.session.w.artifacts()
    folder.mkdir(parents=True, exist_ok=True)
    shot = runner.session.screenshot(folder / "window.png", driver.window()["rect"])
    if os.environ.get("STATIONCLOCK_DOCS_SCREENSHOT") == "1":
        shutil.copy(shot, REPO / "docs" / "window.png")
    yield driver
    runner.finish()


class TestAfterStart:
    def test_window_title_style_and_place(self, shown):
        window = shown.window()
        assert window["title"].encode("cp1251") == TITLE.encode("cp1251")
        assert window["style"] & WS_VISIBLE
        # The window system adds WS_CLIPSIBLINGS to every top-level window
        # and WS_EX_WINDOWEDGE to one with a sizing border.
        assert window["style"] & ~(WS_VISIBLE | WS_CLIPSIBLINGS) == MAIN_STYLE
        assert window["exstyle"] & ~WS_EX_WINDOWEDGE == 0
        left, top, right, bottom = window["rect"]
        assert (left, top) == FRAME_TOP_LEFT
        c_left, c_top, c_right, c_bottom = window["client"]
        assert (c_right - c_left, c_bottom - c_top) == CLIENT_SIZE
        assert left < c_left and top < c_top and c_right < right and c_bottom < bottom
        assert window["enabled"] and window["foreground"]

    def test_controls_places_and_styles(self, shown):
        controls = shown.controls()
        assert sorted(controls) == sorted(LAYOUT)  # and so no control 1
        for number, (cls, x, y, width, height, style) in LAYOUT.items():
            control = controls[number]
            assert control["class"] == cls, number
            assert control["rect"] == [x, y, x + width, y + height], number
            if cls == "ComboBox":
                assert control["style"] & ~DROPPED_BY_WINE_FROM_COMBO == \
                    style & ~DROPPED_BY_WINE_FROM_COMBO, number
            else:
                assert control["style"] == style, number
            assert control["exstyle"] == 0, number
            assert control["visible"] and control["enabled"], number

    def test_texts_after_start(self, shown):
        assert shown.texts() == TEXTS_AFTER_START

    def test_port_list_after_start(self, shown):
        combo = shown.combo(PORTS)
        assert combo["items"] == PORT_NAMES
        assert combo["selected"] == 0
        assert not combo["dropped"]
        assert combo["rect"][3] - combo["rect"][1] == 23

    @pytest.mark.parametrize("control, shown_text", [
        (QUERY, None), (SYNC, None), (PORTS, None), (STATUS, None),
        (STATION_TIME, "12:00:00   Delta 5c. 7/3/2024"),
        (ELAPSED, "Прошло 0 дней (59с.)"),
    ], ids=["query", "sync", "ports", "status", "station-time", "elapsed"])
    def test_control_font_is_default_gui_font(self, shown, control, shown_text):
        # Empty labels show a text of the kind they get later meanwhile.
        shown.move(*POINTER_PARK)
        result = shown.font_check(control, shown_text)
        assert result["ink"] > 0, result
        assert result["diff_default"] == 0, result
        # The comparison tells the fonts apart: the system font differs.
        assert result["diff_system"] > 0, result
        assert shown.text(control) == TEXTS_AFTER_START[control]


# ---------------------------------------------------------------- keyboard focus


@pytest.mark.parametrize("keys, seen", [
    (["tab"] * 4 + ["shift+tab"] * 4, [QUERY, SYNC, PORTS, QUERY, PORTS, SYNC, QUERY, PORTS]),
    (["shift+tab"] * 4, [PORTS, SYNC, QUERY, PORTS]),
], ids=["tab", "shift-tab"])
def test_tab_from_start_up_cycles_the_three_controls(program, keys, seen):
    assert program.focused_id() is None
    assert focus_sequence(program, keys) == seen


@pytest.mark.parametrize("keys, focused, come_back", [
    (["tab", "tab"], SYNC, "caption"),
    (["tab", "tab", "tab"], PORTS, "label"),
])
def test_focus_comes_back_when_the_program_is_activated_again(program, keys, focused, come_back):
    window = program.window()
    caption = (window["rect"][0] + 30, (window["rect"][1] + window["client"][1]) // 2)
    assert program.hit(*caption)["main_hit"] == HTCAPTION
    for key in keys:
        program.key(key)
    assert program.focused_id() == focused
    assert program.activate_other()["other_foreground"]
    away = program.focus()
    assert not away["main_active"] and away["id"] is None
    if come_back == "caption":
        program.click(*caption)
    else:
        program.click_control(STATUS)
    assert activated_focus(program)["id"] == focused


# ---------------------------------------------------------------- labels, port list


def test_label_clicks_change_nothing(program):
    program.key("tab")
    before = program.texts()
    focused = program.focused_id()
    for label in LABELS:
        program.click_control(label)
    assert not program.msgbox(300)["found"]
    assert program.texts() == before
    assert program.focused_id() == focused
    assert program.combo(PORTS)["selected"] == 0
    assert program.status()["running"]


def test_port_list_drops_and_picks_with_mouse_and_keys(program):
    closed = program.combo(PORTS)
    top, bottom = closed["rect"][1], closed["rect"][3]

    program.click_control(PORTS)
    dropped = program.combo(PORTS)
    assert dropped["dropped"]
    list_rect = dropped["list"]["rect"]
    assert list_rect[1] >= bottom
    assert list_rect[3] - top <= COMBO_LIST_EXTENT
    program.key("escape")
    assert not program.combo(PORTS)["dropped"]
    assert program.combo(PORTS)["selected"] == 0

    program.pick_mouse(PORTS, 6)
    picked = program.combo(PORTS)
    assert (picked["selected"], picked["dropped"]) == (6, False)
    assert program.text(PORTS) == "COM7"
    assert program.text(STATUS) == NOT_AVAILABLE
    assert program.focused_id() == PORTS

    program.pick_keys(PORTS, 9)
    assert program.text(PORTS) == "COM10"
    program.key("up")
    assert program.combo(PORTS)["selected"] == 8
    assert program.text(PORTS) == "COM9"
    assert program.text(STATUS) == NOT_AVAILABLE

    # The warning names the port now selected.
    program.click_control(QUERY)
    box = program.msgbox()
    assert box["found"] and box["text"] == warning("COM9")
    assert program.msgbox_press(IDOK)["closed"]


# ---------------------------------------------------------------- the warning box


def assert_warning_box(box, port):
    assert box["found"] and box["count"] == 1
    assert box["title"] == ""
    assert box["text"] == warning(port)
    assert [icon["looks_like"] for icon in box["icons"]] == ["warning"]
    assert [button["id"] for button in box["buttons"]] == [IDOK]
    assert box["buttons"][0]["text"] in OK_TEXTS
    assert box["owner_is_main"]
    assert not box["main_enabled"]


@pytest.mark.parametrize("button", [QUERY, SYNC], ids=["query", "sync"])
def test_button_without_open_port_warns_and_window_waits(program, button):
    before = program.texts()
    program.click_control(button)
    box = program.msgbox()
    assert_warning_box(box, "COM1")

    # MainWindow takes no clicks while the box is shown.
    for control in (QUERY, SYNC, PORTS):
        program.click_control(control)
    again = program.msgbox(300)
    assert again["count"] == 1 and again["hwnd"] == box["hwnd"]
    assert not again["main_enabled"]
    assert not program.combo(PORTS)["dropped"]

    pressed = program.msgbox_press(IDOK)
    assert pressed["closed"] and pressed["main_enabled"]
    assert not program.msgbox(300)["found"]
    assert program.texts() == before
    assert program.status()["running"]


def test_warning_box_by_keyboard(program):
    program.key("tab")
    program.key("tab")
    assert program.focused_id() == SYNC
    program.key("space")
    assert_warning_box(program.msgbox(), "COM1")
    program.key("enter")
    assert not program.msgbox(500)["found"]
    assert program.window()["enabled"]
    # Wine gives the owner back the activation when the box closes; on a
    # loaded machine with no window manager, X's focus events now and then
    # take it away again (seen in 3 of 7 loaded runs, both windows left
    # inactive). Then a user clicks the window: the focus must be SYNC.
    try:
        activated_focus(program)
    except HarnessError:
        program.click_control(STATUS)
    assert activated_focus(program)["id"] == SYNC


# ---------------------------------------------------------------- closing


def test_close_box_ends_the_program_with_code_0(program):
    box = program.close_box()
    assert box["found"]
    left, top, right, bottom = box["rect"]
    program.click((left + right) // 2, (top + bottom) // 2)
    ended = program.wait_exit(5000)
    assert ended["exited"] and ended["code"] == 0


@pytest.mark.parametrize("tabs", [
    0,
    1,
    pytest.param(3, marks=pytest.mark.xfail(
        strict=True,
        reason="Wine's combo box answers every WM_SYSKEYDOWN itself, so Alt+F4 "
               "never reaches DefWindowProc while the port list has the focus")),
], ids=["at-start", "query-focused", "port-list-focused"])
def test_alt_f4_ends_the_program_with_code_0(program, tabs):
    for _ in range(tabs):
        program.key("tab")
    program.key("alt+f4")
    ended = program.wait_exit(2000)
    assert ended["exited"] and ended["code"] == 0


# ---------------------------------------------------------------- a Windows of another language


def test_texts_read_cyrillic_under_a_latin_code_page(wine_session, launch, stations):
    # The program's process gets the code page of English Windows (1252), as
    # the driver's does, from the environment; the manifest makes it 1251.
    english = {"LANG": "en_US.UTF-8", "LC_ALL": "en_US.UTF-8"}
    station = stations()
    driver = launch(ports={2: station.path}, extra_env=english, title=None)
    assert driver.call("ping")["acp"] == 1252
    shown = wait_until(lambda: driver.wtexts().get(WINDOW_CLASS), driver.w.bound(10),
                       what="the main window")
    assert [shown[k] for k in ("title", QUERY, SYNC, STATUS)] == \
        [TITLE, QUERY_TEXT, SYNC_TEXT, READY]

    driver.find_window()
    driver.click_control(QUERY, wait=False)
    reply = station.wait_for("REPLY")[0]
    around = reply.wall.replace(microsecond=0)
    wait_until(lambda: texts_match(
        [driver.wtexts()[WINDOW_CLASS][k] for k in (STATION_TIME, ELAPSED)],
        reply.frame(), around), driver.w.bound(5), what="the reply's texts")

    driver.pick_mouse(PORTS, 0)  # COM1, absent: no port open
    driver.click_control(QUERY)
    box = wait_until(lambda: driver.wtexts().get("#32770"), driver.w.bound(5),
                     what="the warning box")
    assert box[0xFFFF] == warning("COM1")
