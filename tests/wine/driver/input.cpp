// Mouse and keyboard input through SendInput, and settling: giving the
// program time to take what was sent.

#include "driver.h"

#include <cstdlib>

namespace {

bool SendOne(INPUT event)
{
    return SendInput(1, &event, sizeof event) == 1;
}

// Where and when the last click ended: a click close to it in place and
// time would be taken as the second half of a double click.
struct LastClick {
    double atMs = -1e9;
    int x = -1000, y = -1000;
};

LastClick lastClick;

void AvoidDoubleClick(int x, int y)
{
    int width = GetSystemMetrics(SM_CXDOUBLECLK), height = GetSystemMetrics(SM_CYDOUBLECLK);
    if (std::abs(x - lastClick.x) > width / 2 || std::abs(y - lastClick.y) > height / 2) return;
    double wait = lastClick.atMs + GetDoubleClickTime() + 20 - NowMs();
    if (wait > 0) Pump(wait);
}

struct KeyName {
    const char* name;
    WORD key;
    bool extended;
};

const KeyName KeyNames[] = {
    {"tab", VK_TAB, false},       {"space", VK_SPACE, false}, {"enter", VK_RETURN, false},
    {"escape", VK_ESCAPE, false}, {"down", VK_DOWN, true},    {"up", VK_UP, true},
    {"f4", VK_F4, false},
};

INPUT KeyEvent(WORD key, bool extended, bool up)
{
    INPUT event{};
    event.type = INPUT_KEYBOARD;
    event.ki.wVk = key;
    event.ki.wScan = WORD(MapVirtualKeyW(key, MAPVK_VK_TO_VSC));
    event.ki.dwFlags = (extended ? KEYEVENTF_EXTENDEDKEY : 0) | (up ? KEYEVENTF_KEYUP : 0);
    return event;
}

}  // namespace

// Moves the pointer to a screen point with an absolute move; exact tells
// whether it got there.
bool MovePointer(int x, int y, bool& exact)
{
    int width = GetSystemMetrics(SM_CXSCREEN);
    int height = GetSystemMetrics(SM_CYSCREEN);
    INPUT move{};
    move.type = INPUT_MOUSE;
    move.mi.dx = LONG(((long long)x * 65536 + width - 1) / width);
    move.mi.dy = LONG(((long long)y * 65536 + height - 1) / height);
    move.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    if (!SendOne(move)) return false;
    Pump(10);
    POINT at{};
    GetCursorPos(&at);
    exact = at.x == x && at.y == y;
    return true;
}

// A left click at a screen point: move, press, hold briefly, release. A
// click soon after another at the same place waits until it cannot make a
// double click.
Reply ClickAt(int x, int y, bool wait)
{
    const double holdMs = 30;
    AvoidDoubleClick(x, y);
    bool exact = false;
    if (!MovePointer(x, y, exact)) return Err("SendInput failed");
    if (!exact) return Err("pointer did not reach " + std::to_string(x) + "," + std::to_string(y));
    INPUT button{};
    button.type = INPUT_MOUSE;
    button.mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    if (!SendOne(button)) return Err("SendInput failed");
    Pump(holdMs);
    button.mi.dwFlags = MOUSEEVENTF_LEFTUP;
    if (!SendOne(button)) return Err("SendInput failed");
    program.lastInputMs = NowMs();
    lastClick = LastClick{program.lastInputMs, x, y};
    Settle(wait);
    return Ok();
}

Reply ClickCentre(HWND window, bool wait)
{
    RECT r = ScreenRect(window);
    return ClickAt(int((r.left + r.right) / 2), int((r.top + r.bottom) / 2), wait);
}

// Presses a key chord such as "tab", "shift+tab" or "alt+f4": modifiers
// down in order, the key down and up, modifiers up in reverse order.
Reply PressKeys(const std::string& chord, bool wait)
{
    std::vector<WORD> modifiers;
    std::string rest = chord;
    for (std::size_t plus; (plus = rest.find('+')) != std::string::npos;) {
        std::string modifier = rest.substr(0, plus);
        rest.erase(0, plus + 1);
        if (modifier == "shift")
            modifiers.push_back(VK_SHIFT);
        else if (modifier == "alt")
            modifiers.push_back(VK_MENU);
        else
            return Err("unknown modifier " + modifier);
    }
    const KeyName* key = nullptr;
    for (const KeyName& k : KeyNames)
        if (rest == k.name) key = &k;
    if (key == nullptr) return Err("unknown key " + rest);

    for (WORD m : modifiers) {
        if (!SendOne(KeyEvent(m, false, false))) return Err("SendInput failed");
        Pump(5);
    }
    bool sent = SendOne(KeyEvent(key->key, key->extended, false));
    Pump(15);
    sent = SendOne(KeyEvent(key->key, key->extended, true)) && sent;
    for (auto m = modifiers.rbegin(); m != modifiers.rend(); ++m) {
        Pump(5);
        sent = SendOne(KeyEvent(*m, false, true)) && sent;
    }
    program.lastInputMs = NowMs();
    if (!sent) return Err("SendInput failed");
    Settle(wait);
    return Ok();
}

// Gives the program time to take the input just sent: a short pause, then
// a round trip through its message queue (answered also inside a modal
// loop such as a message box). True when the program answered within the
// cross-process time-out; false when it is busy, gone or not waited for.
bool Settle(bool wait)
{
    Pump(wait ? 40 : 10);
    if (!wait || !ProgramRunning() || !HaveMain()) return false;
    bool answered = false;
    Send(program.main, WM_NULL, 0, 0, &answered);
    Pump(10);
    return answered;
}

// A window of the driver's own, far from the program's, for activation
// tests; made on first use.
HWND OtherWindow()
{
    static HWND other = nullptr;
    if (other != nullptr && IsWindow(other)) return other;
    WNDCLASSW type{};
    type.lpfnWndProc = DefWindowProcW;
    type.hInstance = GetModuleHandleW(nullptr);
    type.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
    type.hbrBackground = reinterpret_cast<HBRUSH>(INT_PTR(COLOR_WINDOW + 1));
    type.lpszClassName = L"ScDriverOther";
    RegisterClassW(&type);
    other = CreateWindowExW(0, L"ScDriverOther", L"scdriver other window", WS_OVERLAPPEDWINDOW, 620,
                            420, 300, 200, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ShowWindow(other, SW_SHOWNOACTIVATE);
    UpdateWindow(other);
    Pump(50);
    return other;
}
