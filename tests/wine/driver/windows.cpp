// The program under test and its windows, seen from another process; the
// driver's own windows; mouse and keyboard input through SendInput, and
// settling: giving the program time to take what was sent.

#include "driver.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>

Program program;

bool ProgramRunning()
{
    return program.started && WaitForSingleObject(program.process.hProcess, 0) == WAIT_TIMEOUT;
}

// The main window that find_window chose.
HWND Main()
{
    if (program.main != nullptr && IsWindow(program.main)) return program.main;
    Fail("no main window: use find_window first");
    return nullptr;
}

LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool* answered)
{
    const UINT crossProcessTimeoutMs = 2000;
    DWORD_PTR result = 0;
    LRESULT done = SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL,
                                       crossProcessTimeoutMs, &result);
    if (answered) *answered = done != 0;
    return done ? LRESULT(result) : 0;
}

// Buttons, labels and top-level windows keep their text with the window
// system, which gives it without asking the program, so also while the
// program is busy. A combo box is asked with WM_GETTEXT, which goes
// unanswered while its thread takes no messages: answered is false then.
std::wstring WindowText(HWND window, bool* answered)
{
    bool got = true;
    std::wstring text(4096, L'\0');
    if (ClassName(window) != "ComboBox") {
        text.resize(std::size_t(InternalGetWindowText(window, text.data(), int(text.size()))));
    } else {
        text.resize(std::size_t(Send(window, WM_GETTEXTLENGTH, 0, 0, &got)) + 1);
        LRESULT copied = got ? Send(window, WM_GETTEXT, text.size(), LPARAM(text.data()), &got) : 0;
        text.resize(std::size_t(copied));
    }
    if (answered) *answered = got;
    return text;
}

std::wstring ComboItem(HWND combo, LRESULT index)
{
    std::wstring item(std::size_t(Send(combo, CB_GETLBTEXTLEN, WPARAM(index), 0)) + 1, L'\0');
    Send(combo, CB_GETLBTEXT, WPARAM(index), LPARAM(item.data()));
    return item.c_str();  // without the terminating NUL
}

std::string ClassName(HWND window)
{
    char name[256] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

RECT ScreenRect(HWND window)
{
    RECT r{};
    GetWindowRect(window, &r);
    return r;
}

RECT ClientScreenRect(HWND window)
{
    RECT r{};
    GetClientRect(window, &r);
    MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

// A window's child windows in Z order; the desktop's are the top-level ones.
std::vector<HWND> ChildrenOf(HWND parent)
{
    std::vector<HWND> children;
    for (HWND w = GetWindow(parent, GW_CHILD); w != nullptr; w = GetWindow(w, GW_HWNDNEXT))
        children.push_back(w);
    return children;
}

// The program's visible top-level windows, of one class if one is named.
std::vector<HWND> ProgramWindows(const char* className)
{
    std::vector<HWND> found;
    for (HWND w : ChildrenOf(GetDesktopWindow())) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        if (program.started && pid == program.process.dwProcessId && IsWindowVisible(w) &&
            (className == nullptr || ClassName(w) == className))
            found.push_back(w);
    }
    return found;
}

// A window of the driver's own: activate_other's and the font comparison's.
HWND OwnWindow(DWORD exStyle, DWORD style, int x, int y, int width, int height)
{
    static const ATOM windowClass = [] {
        WNDCLASSW type{};
        type.lpfnWndProc = DefWindowProcW;
        type.hInstance = GetModuleHandleW(nullptr);
        type.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
        type.hbrBackground = reinterpret_cast<HBRUSH>(INT_PTR(COLOR_BTNFACE + 1));
        type.lpszClassName = L"ScDriver";
        return RegisterClassW(&type);
    }();
    return CreateWindowExW(exStyle, reinterpret_cast<LPCWSTR>(UINT_PTR(windowClass)), L"scdriver",
                           style, x, y, width, height, nullptr, nullptr, GetModuleHandleW(nullptr),
                           nullptr);
}

// ---------------------------------------------------------------- input

namespace {

void SendMouse(DWORD flags, LONG dx = 0, LONG dy = 0)
{
    INPUT event{INPUT_MOUSE, {{dx, dy, 0, flags, 0, 0}}};
    if (SendInput(1, &event, sizeof event) != 1) Fail("SendInput failed");
}

struct KeyName {
    const char* name;
    WORD key;
    bool extended;
};

const KeyName KeyNames[] = {
    {"tab", VK_TAB, false},       {"space", VK_SPACE, false}, {"enter", VK_RETURN, false},
    {"escape", VK_ESCAPE, false}, {"down", VK_DOWN, true},    {"up", VK_UP, true},
    {"f4", VK_F4, false},         {"shift", VK_SHIFT, false}, {"alt", VK_MENU, false},
};

void SendKey(const KeyName& key, bool up)
{
    DWORD flags = (key.extended ? KEYEVENTF_EXTENDEDKEY : 0) | (up ? KEYEVENTF_KEYUP : 0);
    INPUT event{INPUT_KEYBOARD, {}};
    event.ki = {key.key, WORD(MapVirtualKeyW(key.key, MAPVK_VK_TO_VSC)), flags, 0, 0};
    if (SendInput(1, &event, sizeof event) != 1) Fail("SendInput failed");
}

// Where and when the last click ended: a click close to it in place and
// time would be taken as the second half of a double click.
double lastClickMs = -1e9;
POINT lastClickAt{-1000, -1000};

}  // namespace

// Moves the pointer to a screen point; true when it got there.
bool MovePointer(int x, int y)
{
    long long width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    SendMouse(MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE, LONG((x * 65536LL + width - 1) / width),
              LONG((y * 65536LL + height - 1) / height));
    Pump(10);
    POINT at{};
    GetCursorPos(&at);
    return at.x == x && at.y == y;
}

// A left click at the centre of a screen rectangle moved by dx, dy: move,
// press, hold briefly, release. A click soon after another at the same
// place waits until it cannot make a double click.
void ClickCentre(const RECT& r, bool wait, long long dx, long long dy)
{
    int x = int((r.left + r.right) / 2 + dx), y = int((r.top + r.bottom) / 2 + dy);
    if (std::abs(x - lastClickAt.x) <= GetSystemMetrics(SM_CXDOUBLECLK) / 2 &&
        std::abs(y - lastClickAt.y) <= GetSystemMetrics(SM_CYDOUBLECLK) / 2)
        Pump(lastClickMs + GetDoubleClickTime() + 20 - NowMs());
    if (!MovePointer(x, y)) {
        Fail("pointer did not reach " + std::to_string(x) + "," + std::to_string(y));
        return;
    }
    SendMouse(MOUSEEVENTF_LEFTDOWN);
    Pump(30);
    SendMouse(MOUSEEVENTF_LEFTUP);
    program.lastInputMs = lastClickMs = NowMs();
    lastClickAt = POINT{x, y};
    Settle(wait);
}

// Presses a key chord such as "tab", "shift+tab" or "alt+f4": each key down
// in order, then up in reverse order.
void PressKeys(const std::string& chord, bool wait)
{
    std::vector<const KeyName*> keys;
    for (std::size_t at = 0, plus = 0; plus != std::string::npos; at = plus + 1) {
        plus = chord.find('+', at);
        std::string name = chord.substr(at, plus - at);
        auto key = std::ranges::find(KeyNames, name, &KeyName::name);
        if (key == std::end(KeyNames)) {
            Fail("unknown key " + name);
            return;
        }
        keys.push_back(key);
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        SendKey(*keys[i], false);
        Pump(i + 1 < keys.size() ? 5 : 15);
    }
    for (std::size_t i = keys.size(); i-- > 0;) {
        SendKey(*keys[i], true);
        if (i > 0) Pump(5);
    }
    program.lastInputMs = NowMs();
    Settle(wait);
}

// Gives the program time to take the input just sent: a short pause, then
// a round trip through its message queue (answered also inside a modal
// loop such as a message box). True when the program answered within the
// cross-process time-out; false when it is busy, gone or not waited for.
bool Settle(bool wait)
{
    Pump(wait ? 40 : 10);
    if (!wait) return false;
    bool answered = false;
    Send(program.main, WM_NULL, 0, 0, &answered);
    Pump(10);
    return answered;
}
