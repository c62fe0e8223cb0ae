// Commands that give the program input. Clicks and keys settle (see
// Settle) unless told "nowait"; input that could not be sent is an error.

#include "driver.h"

namespace {

bool Wait(const Args& args)
{
    return !HasFlag(args, "nowait");
}

bool ParsePoint(const Args& args, std::size_t i, long long& x, long long& y)
{
    return args.size() >= i + 2 && ParseInt(args[i], x) && ParseInt(args[i + 1], y);
}

}  // namespace

// click_control <id> <dx> <dy> [nowait]: clicks the control's centre moved
// by dx, dy -> {}.
Reply ClickControl(const Args& args)
{
    Reply error{};
    HWND control = ControlArg(args, 0, error);
    if (control == nullptr) return error;
    long long dx = 0, dy = 0;
    if (!ParsePoint(args, 1, dx, dy)) return Err("usage: click_control <id> <dx> <dy> [nowait]");
    RECT r = ScreenRect(control);
    return ClickAt(int((r.left + r.right) / 2 + dx), int((r.top + r.bottom) / 2 + dy), Wait(args));
}

// click <x> <y> [nowait]: clicks a screen point -> {}.
Reply Click(const Args& args)
{
    long long x = 0, y = 0;
    if (!ParsePoint(args, 0, x, y)) return Err("usage: click <x> <y> [nowait]");
    return ClickAt(int(x), int(y), Wait(args));
}

// move <x> <y>: moves the pointer to a screen point -> {}.
Reply Move(const Args& args)
{
    long long x = 0, y = 0;
    if (!ParsePoint(args, 0, x, y)) return Err("usage: move <x> <y>");
    bool exact = false;
    if (!MovePointer(int(x), int(y), exact)) return Err("SendInput failed");
    return Ok();
}

// key <chord> [nowait]: presses tab, space, enter, escape, down, up or f4,
// with shift+ and alt+ (say "shift+tab", "alt+f4") -> {}.
Reply Key(const Args& args)
{
    if (args.empty()) return Err("usage: key <chord> [nowait]");
    return PressKeys(args[0], Wait(args));
}

// pick_mouse <combo id> <index>: drops the list with a click on the combo
// box, then clicks the entry's row, found from the dropped list's client
// rectangle, item height and top index; waits for the list to close -> {}.
Reply PickMouse(const Args& args)
{
    Reply error{};
    HWND combo = ControlArg(args, 0, error);
    long long index = 0;
    if (combo == nullptr) return error;
    if (args.size() < 2 || !ParseInt(args[1], index)) return Err("usage: pick_mouse <id> <index>");
    if (Send(combo, CB_GETDROPPEDSTATE, 0, 0) == 0) {
        Reply dropped = ClickCentre(combo, true);
        if (!dropped.ok) return dropped;
    }
    HWND list = nullptr;
    for (double began = NowMs(); NowMs() - began < 2000; Pump(10))
        if ((list = DroppedList()) != nullptr) break;
    if (list == nullptr) return Err("the list did not drop");
    RECT client = ClientScreenRect(list);
    LRESULT height = Send(list, LB_GETITEMHEIGHT, 0, 0);
    LRESULT top = Send(list, LB_GETTOPINDEX, 0, 0);
    if (height <= 0) return Err("no item height");
    long long rowTop = client.top + (index - top) * height;
    if (index < top || rowTop + height > client.bottom) return Err("row not visible");
    Reply clicked = ClickAt(int((client.left + client.right) / 2), int(rowTop + height / 2), true);
    if (!clicked.ok) return clicked;
    for (double began = NowMs(); DroppedList() != nullptr && NowMs() - began < 2000;) Pump(10);
    return Ok();
}

// pick_keys <combo id> <index>: moves the selection of the focused combo
// box with Down and Up, one settled press at a time -> {}.
Reply PickKeys(const Args& args)
{
    Reply error{};
    HWND combo = ControlArg(args, 0, error);
    long long index = 0;
    if (combo == nullptr) return error;
    if (args.size() < 2 || !ParseInt(args[1], index)) return Err("usage: pick_keys <id> <index>");
    GUITHREADINFO info;
    GuiThreadInfo(info);
    if (info.hwndFocus != combo) return Err("the combo box does not have the focus");
    LRESULT count = Send(combo, CB_GETCOUNT, 0, 0);
    int presses = 0;
    for (LRESULT selected; (selected = Send(combo, CB_GETCURSEL, 0, 0)) != index; ++presses) {
        if (presses >= count + 1) return Err("selection stuck at " + std::to_string(selected));
        Reply pressed = PressKeys(selected < index ? "down" : "up", false);
        if (!pressed.ok) return pressed;
        if (!Settle(true)) return Err("the program did not take the key");
    }
    return Ok();
}

// activate_other: clicks into a window of the driver's own so that it
// becomes the foreground window -> other_foreground.
Reply ActivateOther(const Args&)
{
    HWND other = OtherWindow();
    RECT r = ClientScreenRect(other);
    Reply clicked = ClickAt(int((r.left + r.right) / 2), int((r.top + r.bottom) / 2), true);
    if (!clicked.ok) return clicked;
    Pump(30);
    return Ok(Json().Bool("other_foreground", GetForegroundWindow() == other));
}

// msgbox_press <button id> <ms>: clicks a button of the program's message
// box and waits up to ms for the box to go -> closed, main_enabled.
Reply MessageBoxPress(const Args& args)
{
    long long id = 0, ms = 0;
    if (args.size() < 2 || !ParseInt(args[0], id) || !ParseInt(args[1], ms))
        return Err("usage: msgbox_press <button id> <ms>");
    std::vector<HWND> boxes = ProgramWindows("#32770");
    if (boxes.empty()) return Err("no message box");
    HWND box = boxes.front();
    HWND button = GetDlgItem(box, int(id));
    if (button == nullptr || !IsWindowVisible(button)) return Err("no such button");
    Reply clicked = ClickCentre(button, true);
    if (!clicked.ok) return clicked;
    auto shown = [box] { return IsWindow(box) && IsWindowVisible(box); };
    for (double began = NowMs(); shown() && NowMs() - began < double(ms);) Pump(10);
    return Ok(Json().Bool("closed", !shown()).Bool("main_enabled", MainEnabled()));
}
