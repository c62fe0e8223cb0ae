// scdriver: drives stationclock.exe from outside, the way a user would, for
// the end-to-end tests under Wine. It reads one command per line on stdin
// and answers each with one line on stdout:
//
//     ok <json object>
//     err <reason>
//
// Texts travel as the hex digits of their code page 1251 bytes ("-" stands
// for the empty text in a command), so that a test compares exact bytes;
// wtexts gives them as UTF-8 instead.
// Rectangles are [left, top, right, bottom]. Every command that waits takes
// or has a bound; none blocks for good. The command table is at the end of
// the file and tests/wine/README.md describes each command.
//
// The driver starts the program itself, so that it can report the real exit
// code, and keeps it in a job that ends it when the driver goes away.

#include <windows.h>
#include <commctrl.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <deque>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------- output

std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string ToCodePage(const std::wstring& text, UINT codePage = 1251)
{
    if (text.empty()) return std::string();
    int size = WideCharToMultiByte(codePage, 0, text.data(), int(text.size()), nullptr, 0,
                                   nullptr, nullptr);
    std::string out(std::size_t(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(codePage, 0, text.data(), int(text.size()), out.data(), size,
                            nullptr, nullptr);
    return out;
}

std::wstring FromCodePage(const std::string& bytes, UINT codePage)
{
    if (bytes.empty()) return std::wstring();
    int size = MultiByteToWideChar(codePage, 0, bytes.data(), int(bytes.size()), nullptr, 0);
    std::wstring out(std::size_t(size > 0 ? size : 0), L'\0');
    if (size > 0)
        MultiByteToWideChar(codePage, 0, bytes.data(), int(bytes.size()), out.data(), size);
    return out;
}

std::string JsonString(const std::string& ascii)
{
    std::string out = "\"";
    for (unsigned char c : ascii) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

// A JSON object built field by field.
class Json {
public:
    Json& Raw(const char* key, const std::string& value)
    {
        if (!body_.empty()) body_ += ",";
        body_ += JsonString(key) + ":" + value;
        return *this;
    }
    Json& Int(const char* key, long long value)
    {
        return Raw(key, std::to_string(value));
    }
    Json& Bool(const char* key, bool value)
    {
        return Raw(key, value ? "true" : "false");
    }
    Json& Str(const char* key, const std::string& value)
    {
        return Raw(key, JsonString(value));
    }
    Json& Text(const char* key, const std::wstring& value)
    {
        return Str(key, Hex(ToCodePage(value)));
    }
    Json& Utf8(const char* key, const std::wstring& value)
    {
        return Str(key, Hex(ToCodePage(value, CP_UTF8)));
    }
    Json& Rect(const char* key, const RECT& r)
    {
        return Raw(key, "[" + std::to_string(r.left) + "," + std::to_string(r.top) + "," +
                            std::to_string(r.right) + "," + std::to_string(r.bottom) + "]");
    }
    Json& Handle(const char* key, HWND window)
    {
        return Int(key, (long long)(INT_PTR(window)));
    }
    std::string Done() const
    {
        return "{" + body_ + "}";
    }

private:
    std::string body_;
};

std::string JsonList(const std::vector<std::string>& items)
{
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
    return out + "]";
}

HANDLE standardOutput = nullptr;

void WriteLine(const std::string& line)
{
    std::string data = line + "\n";
    DWORD written = 0;
    WriteFile(standardOutput, data.data(), DWORD(data.size()), &written, nullptr);
    FlushFileBuffers(standardOutput);
}

// A command's outcome: the reply line.
struct Reply {
    bool ok;
    std::string body;
};

Reply Ok(const Json& json)
{
    return Reply{true, json.Done()};
}

Reply Err(const std::string& reason)
{
    return Reply{false, reason};
}

// ---------------------------------------------------------------- input lines

// A reader thread hands complete lines to the main thread, which keeps
// pumping its own windows' messages while it waits for them.
struct LineQueue {
    CRITICAL_SECTION lock;
    HANDLE ready = nullptr;
    std::deque<std::string> lines;
    bool ended = false;
};

LineQueue input;

DWORD WINAPI ReadLines(void*)
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    std::string pending;
    char buffer[4096];
    for (;;) {
        DWORD count = 0;
        if (!ReadFile(in, buffer, sizeof buffer, &count, nullptr) || count == 0) break;
        pending.append(buffer, count);
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            EnterCriticalSection(&input.lock);
            input.lines.push_back(line);
            LeaveCriticalSection(&input.lock);
            SetEvent(input.ready);
        }
    }
    EnterCriticalSection(&input.lock);
    input.ended = true;
    LeaveCriticalSection(&input.lock);
    SetEvent(input.ready);
    return 0;
}

// ---------------------------------------------------------------- time and messages

double NowMs()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return double(now.QuadPart) * 1000.0 / double(frequency.QuadPart);
}

void PumpPending()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

// Runs the driver's own message loop for about the given time.
void Pump(double ms)
{
    double end = NowMs() + ms;
    for (;;) {
        PumpPending();
        double left = end - NowMs();
        if (left <= 0) return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, DWORD(left) + 1, QS_ALLINPUT);
    }
}

// Waits for a handle while pumping; true when it was signalled.
bool WaitPumping(HANDLE handle, double ms)
{
    double end = NowMs() + ms;
    for (;;) {
        PumpPending();
        if (WaitForSingleObject(handle, 0) == WAIT_OBJECT_0) return true;
        double left = end - NowMs();
        if (left <= 0) return false;
        MsgWaitForMultipleObjects(1, &handle, FALSE, DWORD(left) + 1, QS_ALLINPUT);
    }
}

// ---------------------------------------------------------------- the program

struct Program {
    PROCESS_INFORMATION process{};
    HANDLE job = nullptr;
    bool started = false;
    HWND main = nullptr;
    double lastInputMs = 0;  // when the last click or key was completed
};

Program program;

bool ProgramRunning()
{
    return program.started && WaitForSingleObject(program.process.hProcess, 0) == WAIT_TIMEOUT;
}

void ForgetProgram()
{
    if (program.process.hProcess) CloseHandle(program.process.hProcess);
    if (program.process.hThread) CloseHandle(program.process.hThread);
    if (program.job) CloseHandle(program.job);
    program = Program{};
}

DWORD WindowProcessId(HWND window)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return pid;
}

bool OwnedByProgram(HWND window)
{
    return program.started && WindowProcessId(window) == program.process.dwProcessId;
}

// ---------------------------------------------------------------- windows of another process

const UINT CrossProcessTimeoutMs = 2000;

LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool* answered = nullptr)
{
    DWORD_PTR result = 0;
    LRESULT done = SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL,
                                       CrossProcessTimeoutMs, &result);
    if (answered) *answered = done != 0;
    return done ? LRESULT(result) : 0;
}

std::string ClassName(HWND window);

// The text of a window of the program. Buttons, labels and top-level windows
// keep their text with the window system, which gives it without asking the
// program, so also while the program is busy. A combo box is asked with
// WM_GETTEXT, which goes unanswered while its thread takes no messages:
// false then.
bool ReadWindowText(HWND window, std::wstring& text)
{
    text.clear();
    if (ClassName(window) != "ComboBox") {
        std::vector<wchar_t> buffer(4096);
        int length = InternalGetWindowText(window, buffer.data(), int(buffer.size()));
        text.assign(buffer.data(), std::size_t(length > 0 ? length : 0));
        return true;
    }
    bool answered = false;
    LRESULT length = Send(window, WM_GETTEXTLENGTH, 0, 0, &answered);
    if (!answered) return false;
    if (length <= 0) return true;
    text.assign(std::size_t(length) + 1, L'\0');
    LRESULT copied = Send(window, WM_GETTEXT, WPARAM(text.size()),
                          reinterpret_cast<LPARAM>(text.data()), &answered);
    text.resize(std::size_t(copied > 0 ? copied : 0));
    return answered;
}

std::wstring WindowText(HWND window)
{
    std::wstring text;
    ReadWindowText(window, text);
    return text;
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

// A screen rectangle in the client coordinates of a window.
RECT InClientOf(HWND window, RECT r)
{
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

HWND ControlById(int id)
{
    if (program.main == nullptr) return nullptr;
    for (HWND child = GetWindow(program.main, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT))
        if (GetWindowLongPtrW(child, GWLP_ID) == id) return child;
    return nullptr;
}

struct Enumerated {
    std::vector<HWND> windows;
};

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM data)
{
    reinterpret_cast<Enumerated*>(data)->windows.push_back(window);
    return TRUE;
}

std::vector<HWND> TopLevelWindows()
{
    Enumerated all;
    EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&all));
    return all.windows;
}

// Visible top-level windows of the program with the given class.
std::vector<HWND> ProgramWindows(const char* className)
{
    std::vector<HWND> found;
    for (HWND w : TopLevelWindows())
        if (OwnedByProgram(w) && IsWindowVisible(w) && ClassName(w) == className)
            found.push_back(w);
    return found;
}

// The dropped list of a combo box: a top-level "ComboLBox" of the program
// that is visible while the list is down.
HWND DroppedList()
{
    std::vector<HWND> lists = ProgramWindows("ComboLBox");
    return lists.empty() ? nullptr : lists.front();
}

// ---------------------------------------------------------------- input

const double ClickHoldMs = 30;

bool SendOne(INPUT event)
{
    return SendInput(1, &event, sizeof event) == 1;
}

// Moves the pointer to a screen point with an absolute SendInput move.
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

bool Settle(bool wait);

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

// A left click at a screen point: move, press, hold briefly, release. A
// click soon after another at the same place waits until it cannot make a
// double click.
Reply ClickAt(int x, int y, bool wait, Json extra = Json())
{
    AvoidDoubleClick(x, y);
    bool exact = false;
    if (!MovePointer(x, y, exact)) return Err("SendInput failed");
    if (!exact) return Err("pointer did not reach " + std::to_string(x) + "," + std::to_string(y));
    INPUT button{};
    button.type = INPUT_MOUSE;
    button.mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    if (!SendOne(button)) return Err("SendInput failed");
    Pump(ClickHoldMs);
    button.mi.dwFlags = MOUSEEVENTF_LEFTUP;
    if (!SendOne(button)) return Err("SendInput failed");
    program.lastInputMs = NowMs();
    lastClick = LastClick{program.lastInputMs, x, y};
    bool settled = Settle(wait);
    return Ok(extra.Int("x", x).Int("y", y).Bool("settled", settled));
}

struct KeyName {
    const char* name;
    WORD key;
    bool extended;
};

const KeyName KeyNames[] = {
    {"tab", VK_TAB, false},       {"space", VK_SPACE, false},   {"enter", VK_RETURN, false},
    {"escape", VK_ESCAPE, false}, {"down", VK_DOWN, true},      {"up", VK_UP, true},
    {"left", VK_LEFT, true},      {"right", VK_RIGHT, true},    {"home", VK_HOME, true},
    {"end", VK_END, true},        {"pageup", VK_PRIOR, true},   {"pagedown", VK_NEXT, true},
    {"f4", VK_F4, false},         {"delete", VK_DELETE, true},  {"backspace", VK_BACK, false},
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

// Presses a key chord such as "tab", "shift+tab" or "alt+f4": modifiers
// down in order, the key down and up, modifiers up in reverse order.
Reply PressKeys(const std::string& chord, bool wait)
{
    std::vector<WORD> modifiers;
    std::string rest = chord;
    for (std::size_t plus; (plus = rest.find('+')) != std::string::npos;) {
        std::string modifier = rest.substr(0, plus);
        rest.erase(0, plus + 1);
        if (modifier == "shift") modifiers.push_back(VK_SHIFT);
        else if (modifier == "ctrl") modifiers.push_back(VK_CONTROL);
        else if (modifier == "alt") modifiers.push_back(VK_MENU);
        else return Err("unknown modifier " + modifier);
    }
    WORD key = 0;
    bool extended = false;
    for (const KeyName& k : KeyNames)
        if (rest == k.name) key = k.key, extended = k.extended;
    if (key == 0 && rest.size() == 1 && ((rest[0] >= 'a' && rest[0] <= 'z') ||
                                         (rest[0] >= '0' && rest[0] <= '9')))
        key = WORD(toupper(rest[0]));
    if (key == 0) return Err("unknown key " + rest);

    for (WORD m : modifiers) {
        if (!SendOne(KeyEvent(m, false, false))) return Err("SendInput failed");
        Pump(5);
    }
    bool sent = SendOne(KeyEvent(key, extended, false));
    Pump(15);
    sent = SendOne(KeyEvent(key, extended, true)) && sent;
    for (auto m = modifiers.rbegin(); m != modifiers.rend(); ++m) {
        Pump(5);
        sent = SendOne(KeyEvent(*m, false, true)) && sent;
    }
    program.lastInputMs = NowMs();
    if (!sent) return Err("SendInput failed");
    bool settled = Settle(wait);
    return Ok(Json().Str("keys", chord).Bool("settled", settled));
}

// Gives the program time to take the input just sent: a short pause, then
// a round trip through its message queue (answered also inside a modal
// loop such as a message box). True when the program answered within the
// cross-process time-out; false when it is busy, gone or not waited for.
bool Settle(bool wait)
{
    Pump(wait ? 40 : 10);
    if (!wait || !ProgramRunning() || program.main == nullptr || !IsWindow(program.main))
        return false;
    bool answered = false;
    Send(program.main, WM_NULL, 0, 0, &answered);
    Pump(10);
    return answered;
}

// ---------------------------------------------------------------- the driver's windows

HWND otherWindow = nullptr;
HWND referenceHost = nullptr;

LRESULT CALLBACK OtherWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(window, message, wParam, lParam);
}

void RegisterDriverClasses()
{
    WNDCLASSW other{};
    other.lpfnWndProc = OtherWindowProcedure;
    other.hInstance = GetModuleHandleW(nullptr);
    other.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
    other.hbrBackground = reinterpret_cast<HBRUSH>(INT_PTR(COLOR_WINDOW + 1));
    other.lpszClassName = L"ScDriverOther";
    RegisterClassW(&other);

    WNDCLASSW host{};
    host.lpfnWndProc = OtherWindowProcedure;
    host.hInstance = GetModuleHandleW(nullptr);
    host.hbrBackground = reinterpret_cast<HBRUSH>(INT_PTR(COLOR_BTNFACE + 1));
    host.lpszClassName = L"ScDriverReference";
    RegisterClassW(&host);
}

// Another application's window, far from the program's, for activation tests.
HWND OtherWindow()
{
    if (otherWindow == nullptr || !IsWindow(otherWindow)) {
        otherWindow = CreateWindowExW(0, L"ScDriverOther", L"scdriver other window",
                                      WS_OVERLAPPEDWINDOW, 620, 420, 300, 200, nullptr, nullptr,
                                      GetModuleHandleW(nullptr), nullptr);
        ShowWindow(otherWindow, SW_SHOWNOACTIVATE);
        UpdateWindow(otherWindow);
        Pump(50);
    }
    return otherWindow;
}

// ---------------------------------------------------------------- screen pixels

struct Pixels {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> data;  // 0x00RRGGBB, rows from the top

    std::uint32_t At(int x, int y) const
    {
        return data[std::size_t(y) * std::size_t(width) + std::size_t(x)];
    }
};

// Copies pixels from a device context into memory.
Pixels CopyPixels(HDC source, int x, int y, int width, int height)
{
    Pixels out;
    if (width <= 0 || height <= 0) return out;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC memory = CreateCompatibleDC(source);
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap != nullptr && bits != nullptr) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width, height, source, x, y, SRCCOPY);
        GdiFlush();
        out.width = width;
        out.height = height;
        const std::uint32_t* p = static_cast<const std::uint32_t*>(bits);
        out.data.assign(p, p + std::size_t(width) * std::size_t(height));
        for (std::uint32_t& v : out.data) v &= 0xFFFFFF;
        SelectObject(memory, old);
    }
    if (bitmap) DeleteObject(bitmap);
    DeleteDC(memory);
    return out;
}

Pixels CaptureScreen(const RECT& r)
{
    HDC screen = GetDC(nullptr);
    Pixels out = CopyPixels(screen, r.left, r.top, r.right - r.left, r.bottom - r.top);
    ReleaseDC(nullptr, screen);
    return out;
}

// Dark pixels: the ink of text drawn in the button text colour.
bool Ink(std::uint32_t pixel)
{
    int red = int(pixel >> 16) & 255, green = int(pixel >> 8) & 255, blue = int(pixel) & 255;
    return red * 30 + green * 59 + blue * 11 < 100 * 100;
}

struct InkComparison {
    long inkA = 0;
    long inkB = 0;
    long differing = 0;
};

// Compares the ink of two captures of the same size; a difference in size
// counts every pixel of the larger one as differing.
InkComparison CompareInk(const Pixels& a, const Pixels& b)
{
    InkComparison out;
    for (std::uint32_t p : a.data) out.inkA += Ink(p);
    for (std::uint32_t p : b.data) out.inkB += Ink(p);
    if (a.width != b.width || a.height != b.height) {
        out.differing = long(std::max(a.data.size(), b.data.size()));
        return out;
    }
    for (std::size_t i = 0; i < a.data.size(); ++i) out.differing += Ink(a.data[i]) != Ink(b.data[i]);
    return out;
}

// A window of the driver's own that holds twins of the program's controls.
HWND ReferenceHost(int width, int height)
{
    if (referenceHost == nullptr || !IsWindow(referenceHost)) {
        referenceHost = CreateWindowExW(WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW, L"ScDriverReference",
                                        L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                        GetModuleHandleW(nullptr), nullptr);
    }
    // Right half of the screen, clear of the program's window and of the
    // other window.
    SetWindowPos(referenceHost, HWND_TOPMOST, 560, 20, width, height,
                 SWP_NOACTIVATE | SWP_SHOWWINDOW);
    return referenceHost;
}

// A twin of one of the program's controls (class, style, size, text), made
// in the reference host with a chosen stock font, to compare rendered text.
HWND MakeTwin(HWND host, HWND original, int font, int x, int y)
{
    std::string className = ClassName(original);
    RECT r = ScreenRect(original);
    DWORD style = DWORD(GetWindowLongW(original, GWL_STYLE));
    style &= ~DWORD(WS_DISABLED);
    std::wstring text = WindowText(original);
    bool combo = className == "ComboBox";
    int height = r.bottom - r.top;
    if (combo) {
        // Created with the dropped extent, as the program does; the closed
        // height comes from the item heights set below.
        height = 350;
        style |= WS_VSCROLL;
    }
    HWND twin = CreateWindowExW(
        DWORD(GetWindowLongW(original, GWL_EXSTYLE)), FromCodePage(className, CP_ACP).c_str(),
        combo ? L"" : text.c_str(), style, x, y, r.right - r.left, height, host, nullptr,
        GetModuleHandleW(nullptr), nullptr);
    if (twin == nullptr) return nullptr;
    SendMessageW(twin, WM_SETFONT, WPARAM(GetStockObject(font)), TRUE);
    if (combo) {
        LRESULT selected = Send(original, CB_GETCURSEL, 0, 0);
        std::wstring item;
        if (selected >= 0) {
            LRESULT length = Send(original, CB_GETLBTEXTLEN, WPARAM(selected), 0);
            if (length > 0) {
                item.assign(std::size_t(length) + 1, L'\0');
                Send(original, CB_GETLBTEXT, WPARAM(selected),
                     reinterpret_cast<LPARAM>(item.data()));
                item.resize(wcslen(item.c_str()));
            }
        }
        if (!item.empty()) {
            SendMessageW(twin, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
            SendMessageW(twin, CB_SETCURSEL, 0, 0);
        }
        // The closed height follows the selection field's height; what
        // CB_GETITEMHEIGHT reports need not be what was set, so set it and
        // correct by what the twin's height turns out to be.
        LRESULT field = Send(original, CB_GETITEMHEIGHT, WPARAM(-1), 0);
        SendMessageW(twin, CB_SETITEMHEIGHT, WPARAM(-1), LPARAM(field));
        RECT got = ScreenRect(twin);
        field += (r.bottom - r.top) - (got.bottom - got.top);
        SendMessageW(twin, CB_SETITEMHEIGHT, WPARAM(-1), LPARAM(field));
        SendMessageW(twin, CB_SETITEMHEIGHT, 0, LPARAM(Send(original, CB_GETITEMHEIGHT, 0, 0)));
    }
    return twin;
}

// ---------------------------------------------------------------- icons

struct IconChoice {
    const char* name;
    LPCWSTR id;
};

const IconChoice StockIcons[] = {
    {"warning", MAKEINTRESOURCEW(32515)},
    {"error", MAKEINTRESOURCEW(32513)},
    {"information", MAKEINTRESOURCEW(32516)},
    {"question", MAKEINTRESOURCEW(32514)},
};

// Draws a stock icon on black and on white; the pixels that agree are the
// icon's opaque ones. Returns how many of those differ on the screen.
long IconDistance(const Pixels& shown, LPCWSTR id, long& opaque)
{
    HICON icon = LoadIconW(nullptr, id);
    opaque = 0;
    if (icon == nullptr) return -1;
    HDC screen = GetDC(nullptr);
    Pixels drawn[2];
    for (int background = 0; background < 2; ++background) {
        HDC memory = CreateCompatibleDC(screen);
        HBITMAP bitmap = CreateCompatibleBitmap(screen, shown.width, shown.height);
        HGDIOBJ old = SelectObject(memory, bitmap);
        RECT all{0, 0, shown.width, shown.height};
        FillRect(memory, &all, HBRUSH(GetStockObject(background ? WHITE_BRUSH : BLACK_BRUSH)));
        DrawIconEx(memory, 0, 0, icon, shown.width, shown.height, 0, nullptr, DI_NORMAL);
        drawn[background] = CopyPixels(memory, 0, 0, shown.width, shown.height);
        SelectObject(memory, old);
        DeleteObject(bitmap);
        DeleteDC(memory);
    }
    ReleaseDC(nullptr, screen);
    long differing = 0;
    for (int y = 0; y < shown.height; ++y)
        for (int x = 0; x < shown.width; ++x) {
            std::uint32_t onBlack = drawn[0].At(x, y);
            if (onBlack != drawn[1].At(x, y)) continue;
            ++opaque;
            differing += onBlack != shown.At(x, y);
        }
    return differing;
}

// ---------------------------------------------------------------- commands

using Args = std::vector<std::string>;

bool ParseInt(const std::string& text, long long& value)
{
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, 0);
    return end != nullptr && *end == '\0';
}

bool ParseHex(const std::string& text, std::string& bytes)
{
    bytes.clear();
    if (text == "-") return true;
    if (text.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        long long value = 0;
        if (!ParseInt("0x" + text.substr(i, 2), value)) return false;
        bytes += char(value);
    }
    return true;
}

// Reads integer argument i, or gives the fallback when it is absent.
bool IntArg(const Args& args, std::size_t i, long long& value, long long fallback)
{
    if (i >= args.size()) {
        value = fallback;
        return true;
    }
    return ParseInt(args[i], value);
}

bool HasFlag(const Args& args, const char* flag)
{
    for (const std::string& a : args)
        if (a == flag) return true;
    return false;
}

Json WindowJson(HWND window)
{
    RECT client{};
    GetClientRect(window, &client);
    return Json()
        .Handle("hwnd", window)
        .Str("class", ClassName(window))
        .Rect("rect", ScreenRect(window))
        .Rect("client", ClientScreenRect(window))
        .Int("style", (long long)DWORD(GetWindowLongW(window, GWL_STYLE)))
        .Int("exstyle", (long long)DWORD(GetWindowLongW(window, GWL_EXSTYLE)))
        .Text("title", WindowText(window))
        .Bool("visible", IsWindowVisible(window) != 0)
        .Bool("enabled", IsWindowEnabled(window) != 0)
        .Bool("foreground", GetForegroundWindow() == window);
}

Json ControlJson(HWND control)
{
    return Json()
        .Int("id", (long long)GetWindowLongPtrW(control, GWLP_ID))
        .Handle("hwnd", control)
        .Str("class", ClassName(control))
        .Rect("rect", InClientOf(program.main, ScreenRect(control)))
        .Int("style", (long long)DWORD(GetWindowLongW(control, GWL_STYLE)))
        .Int("exstyle", (long long)DWORD(GetWindowLongW(control, GWL_EXSTYLE)))
        .Text("text", WindowText(control))
        .Bool("visible", IsWindowVisible(control) != 0)
        .Bool("enabled", IsWindowEnabled(control) != 0);
}

Reply NeedMain()
{
    return Err("no main window: use find_window first");
}

bool HaveMain()
{
    return program.main != nullptr && IsWindow(program.main);
}

HWND ControlArg(const Args& args, std::size_t i, Reply& error)
{
    long long id = 0;
    if (!HaveMain()) {
        error = NeedMain();
        return nullptr;
    }
    if (i >= args.size() || !ParseInt(args[i], id)) {
        error = Err("control id expected");
        return nullptr;
    }
    HWND control = ControlById(int(id));
    if (control == nullptr) error = Err("no control with id " + args[i]);
    return control;
}

// The face Wine gives a request for Marlett, the symbol font it draws the
// caption buttons with; any other face draws letters in their place.
std::wstring CaptionButtonFace()
{
    HFONT font = CreateFontW(-13, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, SYMBOL_CHARSET, 0, 0, 0,
                             0, L"Marlett");
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    wchar_t face[LF_FACESIZE] = L"";
    GetTextFaceW(dc, LF_FACESIZE, face);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    DeleteObject(font);
    return face;
}

Reply Ping(const Args&)
{
    return Ok(Json().Int("screen_width", GetSystemMetrics(SM_CXSCREEN))
                  .Int("screen_height", GetSystemMetrics(SM_CYSCREEN))
                  .Int("acp", GetACP())
                  .Text("caption_button_font", CaptionButtonFace()));
}

// start <idle ms> <command line>: the rest of the line after the time is the
// command line, given to CreateProcess as it is.
Reply Start(const Args& args, const std::string& rest)
{
    long long idleMs = 0;
    if (args.size() < 2 || !ParseInt(args[0], idleMs)) return Err("usage: start <idle ms> <cmd>");
    if (ProgramRunning()) return Err("a program is already running");
    ForgetProgram();

    std::wstring commandLine = FromCodePage(rest, CP_UTF8);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    double began = NowMs();
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                        CREATE_SUSPENDED, nullptr, nullptr, &startup, &process))
        return Err("CreateProcess failed with error " + std::to_string(GetLastError()));
    program.process = process;
    program.started = true;
    program.job = CreateJobObjectW(nullptr, nullptr);
    if (program.job) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(program.job, JobObjectExtendedLimitInformation, &limits,
                                sizeof limits);
        AssignProcessToJobObject(program.job, process.hProcess);
    }
    ResumeThread(process.hThread);

    // WaitForInputIdle blocks without pumping; wait in slices instead.
    DWORD idle = WAIT_TIMEOUT;
    while (idle == WAIT_TIMEOUT && NowMs() - began < double(idleMs)) {
        idle = WaitForInputIdle(process.hProcess, 50);
        PumpPending();
        if (WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0) break;
    }
    return Ok(Json()
                  .Int("pid", process.dwProcessId)
                  .Bool("idle", idle == 0)
                  .Bool("running", ProgramRunning())
                  .Int("ms", (long long)(NowMs() - began)));
}

Reply Status(const Args&)
{
    Json out;
    out.Bool("started", program.started).Bool("running", ProgramRunning());
    if (program.started) {
        DWORD code = 0;
        GetExitCodeProcess(program.process.hProcess, &code);
        out.Int("pid", program.process.dwProcessId);
        if (!ProgramRunning()) out.Int("code", code);
    }
    out.Bool("main_exists", HaveMain());
    return Ok(out);
}

Reply WaitExit(const Args& args)
{
    long long ms = 0;
    if (!IntArg(args, 0, ms, 5000)) return Err("usage: wait_exit <ms>");
    if (!program.started) return Err("no program started");
    double began = NowMs();
    bool exited = WaitPumping(program.process.hProcess, double(ms));
    Json out;
    out.Bool("exited", exited).Int("ms", (long long)(NowMs() - began));
    if (exited) {
        DWORD code = 0;
        GetExitCodeProcess(program.process.hProcess, &code);
        out.Int("code", code);
    }
    return Ok(out);
}

Reply Kill(const Args&)
{
    bool killed = false;
    if (ProgramRunning()) {
        killed = TerminateProcess(program.process.hProcess, 255) != 0;
        WaitPumping(program.process.hProcess, 5000);
    }
    return Ok(Json().Bool("killed", killed));
}

// find_window <title hex> [ms]: the program's visible top-level window with
// exactly this title becomes the main window of the other commands.
Reply FindWindowCommand(const Args& args)
{
    std::string title;
    long long ms = 0;
    if (args.empty() || !ParseHex(args[0], title) || !IntArg(args, 1, ms, 5000))
        return Err("usage: find_window <title hex> [ms]");
    if (!program.started) return Err("no program started");
    std::wstring wanted = FromCodePage(title, 1251);
    double began = NowMs();
    for (;;) {
        for (HWND w : TopLevelWindows()) {
            if (!OwnedByProgram(w) || !IsWindowVisible(w)) continue;
            wchar_t text[512] = {};
            InternalGetWindowText(w, text, 512);
            if (wanted == text) {
                program.main = w;
                return Ok(Json().Handle("hwnd", w).Int("ms", (long long)(NowMs() - began)));
            }
        }
        if (NowMs() - began >= double(ms) || !ProgramRunning()) break;
        Pump(20);
    }
    return Err("no window with that title");
}

Reply WindowCommand(const Args&)
{
    if (!HaveMain()) return NeedMain();
    return Ok(WindowJson(program.main));
}

Reply Children(const Args&)
{
    if (!HaveMain()) return NeedMain();
    std::vector<std::string> items;
    for (HWND child = GetWindow(program.main, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT))
        items.push_back(ControlJson(child).Done());
    return Ok(Json().Raw("children", JsonList(items)));
}

Reply TextCommand(const Args& args)
{
    Reply error{};
    HWND control = ControlArg(args, 0, error);
    if (control == nullptr) return error;
    return Ok(Json().Text("text", WindowText(control)));
}

Json ListJson(HWND list)
{
    Json out;
    out.Handle("hwnd", list);
    if (list == nullptr) return out;
    return out.Rect("rect", ScreenRect(list))
        .Rect("client", ClientScreenRect(list))
        .Int("top_index", Send(list, LB_GETTOPINDEX, 0, 0))
        .Int("item_height", Send(list, LB_GETITEMHEIGHT, 0, 0));
}

Reply Combo(const Args& args)
{
    Reply error{};
    HWND combo = ControlArg(args, 0, error);
    if (combo == nullptr) return error;
    LRESULT count = Send(combo, CB_GETCOUNT, 0, 0);
    std::vector<std::string> items;
    for (LRESULT i = 0; i < count; ++i) {
        std::wstring item;
        LRESULT length = Send(combo, CB_GETLBTEXTLEN, WPARAM(i), 0);
        if (length > 0) {
            item.assign(std::size_t(length) + 1, L'\0');
            Send(combo, CB_GETLBTEXT, WPARAM(i), reinterpret_cast<LPARAM>(item.data()));
            item.resize(wcslen(item.c_str()));
        }
        items.push_back(JsonString(Hex(ToCodePage(item))));
    }
    bool dropped = Send(combo, CB_GETDROPPEDSTATE, 0, 0) != 0;
    return Ok(Json()
                  .Int("count", count)
                  .Int("selected", Send(combo, CB_GETCURSEL, 0, 0))
                  .Raw("items", JsonList(items))
                  .Rect("rect", ScreenRect(combo))
                  .Int("field_height", Send(combo, CB_GETITEMHEIGHT, WPARAM(-1), 0))
                  .Int("item_height", Send(combo, CB_GETITEMHEIGHT, 0, 0))
                  .Bool("dropped", dropped)
                  .Raw("list", ListJson(dropped ? DroppedList() : nullptr).Done()));
}

Reply Focus(const Args&)
{
    if (!HaveMain()) return NeedMain();
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    DWORD thread = GetWindowThreadProcessId(program.main, nullptr);
    if (!GetGUIThreadInfo(thread, &info)) return Err("GetGUIThreadInfo failed");
    Json out;
    out.Handle("hwnd", info.hwndFocus);
    if (info.hwndFocus != nullptr && GetParent(info.hwndFocus) == program.main)
        out.Int("id", (long long)GetWindowLongPtrW(info.hwndFocus, GWLP_ID));
    else
        out.Raw("id", "null");
    out.Str("class", info.hwndFocus ? ClassName(info.hwndFocus) : "")
        .Bool("main_active", info.hwndActive == program.main)
        .Handle("active", info.hwndActive)
        .Bool("main_foreground", GetForegroundWindow() == program.main)
        .Handle("foreground", GetForegroundWindow())
        .Handle("capture", info.hwndCapture)
        .Int("flags", info.flags);
    return Ok(out);
}

Reply ClickControl(const Args& args)
{
    Reply error{};
    HWND control = ControlArg(args, 0, error);
    if (control == nullptr) return error;
    long long dx = 0, dy = 0;
    Args numbers;
    for (std::size_t i = 1; i < args.size(); ++i)
        if (args[i] != "nowait") numbers.push_back(args[i]);
    if (!IntArg(numbers, 0, dx, 0) || !IntArg(numbers, 1, dy, 0))
        return Err("usage: click_control <id> [dx dy] [nowait]");
    RECT r = ScreenRect(control);
    int x = int((r.left + r.right) / 2 + dx), y = int((r.top + r.bottom) / 2 + dy);
    return ClickAt(x, y, !HasFlag(args, "nowait"));
}

Reply Click(const Args& args)
{
    long long x = 0, y = 0;
    if (args.size() < 2 || !ParseInt(args[0], x) || !ParseInt(args[1], y))
        return Err("usage: click <x> <y> [nowait]");
    return ClickAt(int(x), int(y), !HasFlag(args, "nowait"));
}

Reply Move(const Args& args)
{
    long long x = 0, y = 0;
    if (args.size() < 2 || !ParseInt(args[0], x) || !ParseInt(args[1], y))
        return Err("usage: move <x> <y>");
    bool exact = false;
    if (!MovePointer(int(x), int(y), exact)) return Err("SendInput failed");
    POINT at{};
    GetCursorPos(&at);
    return Ok(Json().Int("x", at.x).Int("y", at.y).Bool("exact", exact));
}

Reply Key(const Args& args)
{
    if (args.empty()) return Err("usage: key <chord> [nowait]");
    return PressKeys(args[0], !HasFlag(args, "nowait"));
}

// pick_mouse <combo id> <index>: drops the list with a click on the combo
// box, then clicks the entry's row. The row is found from the dropped
// list's client rectangle, its item height and its top index.
Reply PickMouse(const Args& args)
{
    Reply error{};
    HWND combo = ControlArg(args, 0, error);
    long long index = 0;
    if (combo == nullptr) return error;
    if (args.size() < 2 || !ParseInt(args[1], index)) return Err("usage: pick_mouse <id> <index>");
    if (Send(combo, CB_GETDROPPEDSTATE, 0, 0) == 0) {
        Reply dropped = ClickControl(Args{args[0]});
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
    Reply clicked = ClickAt(int((client.left + client.right) / 2), int(rowTop + height / 2), true,
                            Json().Rect("list", ScreenRect(list)).Int("item_height", height));
    if (!clicked.ok) return clicked;
    for (double began = NowMs(); NowMs() - began < 2000 && DroppedList() != nullptr; Pump(10)) {
    }
    return clicked;
}

// pick_keys <combo id> <index>: moves the selection of the focused combo box
// with Down and Up, one press at a time.
Reply PickKeys(const Args& args)
{
    Reply error{};
    HWND combo = ControlArg(args, 0, error);
    long long index = 0;
    if (combo == nullptr) return error;
    if (args.size() < 2 || !ParseInt(args[1], index)) return Err("usage: pick_keys <id> <index>");
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(program.main, nullptr), &info);
    if (info.hwndFocus != combo) return Err("the combo box does not have the focus");
    LRESULT count = Send(combo, CB_GETCOUNT, 0, 0);
    int presses = 0;
    for (LRESULT selected; (selected = Send(combo, CB_GETCURSEL, 0, 0)) != index;) {
        if (presses >= count + 1) return Err("selection stuck at " + std::to_string(selected));
        Reply pressed = PressKeys(selected < index ? "down" : "up", false);
        if (!pressed.ok) return pressed;
        if (!Settle(true)) return Err("the program did not take the key");
        ++presses;
    }
    return Ok(Json().Int("selected", index).Int("presses", presses));
}

// activate_other: clicks into the driver's own window (made on first use)
// so that it becomes the foreground window.
Reply ActivateOther(const Args&)
{
    HWND other = OtherWindow();
    RECT r = ClientScreenRect(other);
    Reply clicked = ClickAt(int((r.left + r.right) / 2), int((r.top + r.bottom) / 2), true);
    if (!clicked.ok) return clicked;
    Pump(30);
    return Ok(Json().Bool("other_foreground", GetForegroundWindow() == other)
                  .Rect("rect", ScreenRect(other)));
}

// hit <x> <y>: what a click at a screen point would reach (the top-level
// window there, and the main window's hit-test code for the point).
Reply Hit(const Args& args)
{
    long long x = 0, y = 0;
    if (args.size() < 2 || !ParseInt(args[0], x) || !ParseInt(args[1], y))
        return Err("usage: hit <x> <y>");
    POINT p{LONG(x), LONG(y)};
    HWND at = WindowFromPoint(p);
    Json out;
    out.Handle("hwnd", at).Str("class", at ? ClassName(at) : "");
    if (HaveMain())
        out.Int("main_hit", (long long)Send(program.main, WM_NCHITTEST, 0, MAKELPARAM(x, y)));
    return Ok(out);
}

// close_box: where the main window's close box is, found with the window's
// own hit test (HTCLOSE) along the middle of the caption and then down the
// middle of the box.
Reply CloseBox(const Args&)
{
    if (!HaveMain()) return NeedMain();
    RECT r = ScreenRect(program.main);
    RECT client = ClientScreenRect(program.main);
    auto isClose = [](long x, long y) {
        return Send(program.main, WM_NCHITTEST, 0, MAKELPARAM(x, y)) == HTCLOSE;
    };
    long middle = (r.top + client.top) / 2;
    long left = LONG_MAX, right = LONG_MIN;
    for (long x = r.right - 1; x >= r.left; --x) {
        if (isClose(x, middle)) {
            left = x;
            if (right < x) right = x;
        } else if (right >= left && left != LONG_MAX) {
            break;
        }
    }
    if (left == LONG_MAX) return Ok(Json().Bool("found", false));
    long centre = (left + right) / 2, top = middle, bottom = middle;
    while (top > r.top && isClose(centre, top - 1)) --top;
    while (bottom + 1 < client.top && isClose(centre, bottom + 1)) ++bottom;
    RECT box{left, top, right + 1, bottom + 1};
    return Ok(Json().Bool("found", true).Rect("rect", box));
}

HWND FindMessageBox(double ms)
{
    double began = NowMs();
    for (;;) {
        std::vector<HWND> boxes = ProgramWindows("#32770");
        if (!boxes.empty()) return boxes.front();
        if (NowMs() - began >= ms || !ProgramRunning()) return nullptr;
        Pump(15);
    }
}

// msgbox [ms]: the program's message box, once it is shown (found: false
// when none appears in time).
Reply MessageBoxCommand(const Args& args)
{
    long long ms = 0;
    if (!IntArg(args, 0, ms, 2000)) return Err("usage: msgbox [ms]");
    HWND box = FindMessageBox(double(ms));
    if (box == nullptr)
        return Ok(Json().Bool("found", false).Int("count", 0).Bool(
            "main_enabled", HaveMain() && IsWindowEnabled(program.main)));
    Json out = WindowJson(box);
    std::wstring text;
    std::vector<std::string> buttons, icons;
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        if (!IsWindowVisible(child)) continue;
        LONG_PTR id = GetWindowLongPtrW(child, GWLP_ID);
        std::string className = ClassName(child);
        DWORD style = DWORD(GetWindowLongW(child, GWL_STYLE));
        if (id == 0xFFFF) text = WindowText(child);
        if (className == "Button") buttons.push_back(ControlJson(child).Done());
        if (className == "Static" && (style & SS_TYPEMASK) == SS_ICON) {
            Pixels shown = CaptureScreen(ClientScreenRect(child));
            Json icon;
            icon.Int("id", (long long)id).Rect("rect", ScreenRect(child));
            const char* best = "unknown";
            long bestDistance = -1;
            for (const IconChoice& choice : StockIcons) {
                long opaque = 0;
                long distance = IconDistance(shown, choice.id, opaque);
                icon.Int(choice.name, distance);
                if (distance == 0 && opaque > 0 && bestDistance != 0) {
                    best = choice.name;
                    bestDistance = 0;
                }
            }
            icons.push_back(icon.Str("looks_like", best).Done());
        }
    }
    HWND owner = GetWindow(box, GW_OWNER);
    return Ok(out.Bool("found", true)
                  .Int("count", (long long)ProgramWindows("#32770").size())
                  .Text("text", text)
                  .Raw("buttons", JsonList(buttons))
                  .Raw("icons", JsonList(icons))
                  .Handle("owner", owner)
                  .Bool("owner_is_main", owner != nullptr && owner == program.main)
                  .Bool("main_enabled", HaveMain() && IsWindowEnabled(program.main)));
}

// msgbox_press <button id> [ms]: clicks a button of the message box and
// waits for the box to go.
Reply MessageBoxPress(const Args& args)
{
    long long id = 0, ms = 0;
    if (args.empty() || !ParseInt(args[0], id) || !IntArg(args, 1, ms, 2000))
        return Err("usage: msgbox_press <button id> [ms]");
    HWND box = FindMessageBox(0);
    if (box == nullptr) return Err("no message box");
    HWND button = GetDlgItem(box, int(id));
    if (button == nullptr || !IsWindowVisible(button)) return Err("no such button");
    RECT r = ScreenRect(button);
    Reply clicked = ClickAt(int((r.left + r.right) / 2), int((r.top + r.bottom) / 2), true);
    if (!clicked.ok) return clicked;
    double began = NowMs();
    while (IsWindow(box) && IsWindowVisible(box) && NowMs() - began < double(ms)) Pump(10);
    return Ok(Json().Bool("closed", !IsWindow(box) || !IsWindowVisible(box))
                  .Bool("main_enabled", HaveMain() && IsWindowEnabled(program.main)));
}

// wait_text <id> <hex> <ms>: waits until the control's text is no longer the
// given one. Elapsed times are from this command and from the end of the
// last click or key press. Labels and buttons are read without asking the
// program, so a text that a busy program sets is seen within a few ms.
Reply WaitText(const Args& args)
{
    Reply error{};
    HWND control = ControlArg(args, 0, error);
    if (control == nullptr) return error;
    std::string old;
    long long ms = 0;
    if (args.size() < 3 || !ParseHex(args[1], old) || !ParseInt(args[2], ms))
        return Err("usage: wait_text <id> <hex> <ms>");
    std::wstring before = FromCodePage(old, 1251);
    double began = NowMs();
    std::wstring now;
    for (;;) {
        bool read = ReadWindowText(control, now);
        double at = NowMs();
        if (read && now != before) {
            return Ok(Json()
                          .Bool("changed", true)
                          .Text("text", now)
                          .Int("ms", (long long)(at - began))
                          .Int("since_input_ms", (long long)(at - program.lastInputMs)));
        }
        if (at - began >= double(ms) || !ProgramRunning()) break;
        Pump(2);
    }
    return Ok(Json()
                  .Bool("changed", false)
                  .Text("text", now)
                  .Int("ms", (long long)(NowMs() - began))
                  .Int("since_input_ms", (long long)(NowMs() - program.lastInputMs)));
}

// font_check <id> [text hex]: renders twins of the control in the driver's
// window, one with DEFAULT_GUI_FONT and one with SYSTEM_FONT, and counts the
// text pixels that differ from the program's control. With a text, the
// control shows that text during the comparison (for empty labels) and gets
// its own back afterwards.
Reply FontCheck(const Args& args)
{
    Reply error{};
    HWND control = ControlArg(args, 0, error);
    if (control == nullptr) return error;
    std::string forced;
    bool force = args.size() > 1;
    if (force && !ParseHex(args[1], forced)) return Err("bad text");
    std::wstring original = WindowText(control);
    if (force) {
        std::wstring shown = FromCodePage(forced, 1251);
        Send(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(shown.c_str()));
    }
    Send(control, WM_NULL, 0, 0);
    Pump(100);

    RECT r = ScreenRect(control);
    int width = r.right - r.left, height = r.bottom - r.top;
    HWND host = ReferenceHost(width + 20, 2 * height + 30);
    HWND withDefault = MakeTwin(host, control, DEFAULT_GUI_FONT, 10, 10);
    HWND withSystem = MakeTwin(host, control, SYSTEM_FONT, 10, height + 20);
    Reply result = Err("could not create the reference controls");
    if (withDefault != nullptr && withSystem != nullptr) {
        RedrawWindow(host, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN |
                                                 RDW_UPDATENOW);
        Pump(150);
        Pixels shown = CaptureScreen(ScreenRect(control));
        InkComparison same = CompareInk(shown, CaptureScreen(ScreenRect(withDefault)));
        InkComparison system = CompareInk(shown, CaptureScreen(ScreenRect(withSystem)));
        RECT twinRect = ScreenRect(withDefault);
        result = Ok(Json()
                        .Int("width", width)
                        .Int("height", height)
                        .Int("twin_width", twinRect.right - twinRect.left)
                        .Int("twin_height", twinRect.bottom - twinRect.top)
                        .Int("ink", same.inkA)
                        .Int("ink_default", same.inkB)
                        .Int("ink_system", system.inkB)
                        .Int("diff_default", same.differing)
                        .Int("diff_system", system.differing));
    }
    if (withDefault) DestroyWindow(withDefault);
    if (withSystem) DestroyWindow(withSystem);
    ShowWindow(host, SW_HIDE);
    if (force) Send(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(original.c_str()));
    Pump(20);
    return result;
}

// post_close: posts WM_SYSCOMMAND SC_CLOSE to the main window, what the
// window menu's Close item does.
Reply PostClose(const Args&)
{
    if (!HaveMain()) return NeedMain();
    PostMessageW(program.main, WM_SYSCOMMAND, SC_CLOSE, 0);
    return Ok(Json().Bool("settled", Settle(true)));
}

// responds <ms>: whether the main window answers a message within ms, and
// how long the answer took; a window busy in a long exchange does not.
Reply Responds(const Args& args)
{
    long long ms = 0;
    if (args.empty() || !ParseInt(args[0], ms)) return Err("usage: responds <ms>");
    if (!HaveMain()) return NeedMain();
    double began = NowMs();
    DWORD_PTR result = 0;
    bool answered = SendMessageTimeoutW(program.main, WM_NULL, 0, 0, SMTO_NORMAL, UINT(ms),
                                        &result) != 0;
    return Ok(Json().Bool("answered", answered).Int("ms", (long long)(NowMs() - began)));
}

// wtexts: the texts of the program's visible top-level windows read as
// Unicode, so in no code page of the program's or the driver's: per window
// its class, title and children (id, text), texts as hex of UTF-8.
Reply WideTexts(const Args&)
{
    std::vector<std::string> windows;
    for (HWND window : TopLevelWindows()) {
        if (!OwnedByProgram(window) || !IsWindowVisible(window)) continue;
        std::vector<std::string> children;
        for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
             child = GetWindow(child, GW_HWNDNEXT))
            children.push_back(Json()
                                   .Int("id", (long long)GetWindowLongPtrW(child, GWLP_ID))
                                   .Utf8("text", WindowText(child))
                                   .Done());
        windows.push_back(Json()
                              .Str("class", ClassName(window))
                              .Utf8("title", WindowText(window))
                              .Raw("children", JsonList(children))
                              .Done());
    }
    return Ok(Json().Raw("windows", JsonList(windows)));
}

struct Command {
    const char* name;
    Reply (*run)(const Args&);
};

const Command Commands[] = {
    {"ping", Ping},
    {"status", Status},
    {"wait_exit", WaitExit},
    {"kill", Kill},
    {"find_window", FindWindowCommand},
    {"window", WindowCommand},
    {"children", Children},
    {"text", TextCommand},
    {"wtexts", WideTexts},
    {"combo", Combo},
    {"focus", Focus},
    {"click_control", ClickControl},
    {"click", Click},
    {"move", Move},
    {"key", Key},
    {"pick_mouse", PickMouse},
    {"pick_keys", PickKeys},
    {"activate_other", ActivateOther},
    {"hit", Hit},
    {"close_box", CloseBox},
    {"msgbox", MessageBoxCommand},
    {"msgbox_press", MessageBoxPress},
    {"wait_text", WaitText},
    {"font_check", FontCheck},
    {"post_close", PostClose},
    {"responds", Responds},
};

Reply Run(const std::string& line, bool& quit)
{
    Args words;
    std::size_t at = 0;
    std::string afterFirstArg;
    while (at < line.size()) {
        while (at < line.size() && line[at] == ' ') ++at;
        if (at >= line.size()) break;
        std::size_t end = line.find(' ', at);
        if (end == std::string::npos) end = line.size();
        words.push_back(line.substr(at, end - at));
        if (words.size() == 2) {
            std::size_t next = end;
            while (next < line.size() && line[next] == ' ') ++next;
            afterFirstArg = line.substr(next);
        }
        at = end;
    }
    if (words.empty()) return Err("empty command");
    Args args(words.begin() + 1, words.end());
    if (words[0] == "quit") {
        quit = true;
        Kill(args);
        return Ok(Json());
    }
    if (words[0] == "start") return Start(args, afterFirstArg);
    for (const Command& c : Commands)
        if (words[0] == c.name) return c.run(args);
    return Err("unknown command " + words[0]);
}

}  // namespace

int main()
{
    standardOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    InitializeCriticalSection(&input.lock);
    input.ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    INITCOMMONCONTROLSEX classes{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&classes);
    RegisterDriverClasses();
    HANDLE reader = CreateThread(nullptr, 0, ReadLines, nullptr, 0, nullptr);
    if (reader == nullptr) return 2;
    WriteLine("ready");

    for (bool quit = false; !quit;) {
        std::string line;
        bool have = false, ended = false;
        EnterCriticalSection(&input.lock);
        if (!input.lines.empty()) {
            line = input.lines.front();
            input.lines.pop_front();
            have = true;
        }
        ended = input.ended;
        LeaveCriticalSection(&input.lock);
        if (!have) {
            if (ended) break;
            MsgWaitForMultipleObjects(1, &input.ready, FALSE, INFINITE, QS_ALLINPUT);
            PumpPending();
            continue;
        }
        Reply reply = Run(line, quit);
        WriteLine((reply.ok ? "ok " : "err ") + reply.body);
    }
    // Whoever drove us is gone or done: leave no program behind.
    if (ProgramRunning()) {
        TerminateProcess(program.process.hProcess, 255);
        WaitForSingleObject(program.process.hProcess, 5000);
    }
    return 0;
}
