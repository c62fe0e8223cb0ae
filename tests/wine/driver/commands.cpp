// The commands, each with its arguments and reply fields told above it, and
// their table. A control is named by its id among the main window's
// children. Clicks and keys settle (see Settle) unless told "nowait".

#include "driver.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <sstream>

bool quitRequested = false;

namespace {

using Args = std::vector<std::string>;
using Json = nlohmann::json;

// ---------------------------------------------------------------- arguments and replies

std::wstring FromCodePage(const std::string& bytes, UINT codePage = 1251)
{
    std::wstring out(bytes.size(), L'\0');
    int size = MultiByteToWideChar(codePage, 0, bytes.data(), int(bytes.size()), out.data(),
                                   int(out.size()));
    out.resize(std::size_t(size));
    return out;
}

// The hex digits of a text's bytes in the code page.
std::string HexText(const std::wstring& text, UINT codePage = 1251)
{
    std::string bytes(text.size() * 4, '\0'), hex;
    int size = WideCharToMultiByte(codePage, 0, text.data(), int(text.size()), bytes.data(),
                                   int(bytes.size()), nullptr, nullptr);
    bytes.resize(std::size_t(size));
    const char* digits = "0123456789abcdef";
    for (unsigned char c : bytes) hex += {digits[c >> 4], digits[c & 15]};
    return hex;
}

Json RectJson(const RECT& r)
{
    return {r.left, r.top, r.right, r.bottom};
}

long long IntArg(const Args& args, std::size_t i)
{
    char* end = nullptr;
    long long value = i < args.size() ? std::strtoll(args[i].c_str(), &end, 0) : 0;
    if (i >= args.size() || args[i].empty() || *end != '\0')
        Fail("argument " + std::to_string(i + 1) + ": a number expected");
    return value;
}

// A text given as hex of its cp1251 bytes, "-" when empty.
std::wstring TextArg(const Args& args, std::size_t i)
{
    std::string hex = i < args.size() ? args[i] : "", bytes;
    if (hex != "-" && (hex.empty() || hex.size() % 2 != 0 ||
                       hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)) {
        Fail("argument " + std::to_string(i + 1) + ": a text in hex expected");
        return {};
    }
    for (std::size_t at = 0; hex != "-" && at < hex.size(); at += 2)
        bytes += char(std::stoi(hex.substr(at, 2), nullptr, 16));
    return FromCodePage(bytes);
}

// The main window's child with the id in the first argument.
HWND Control(const Args& args)
{
    long long id = IntArg(args, 0);
    HWND control = Failed() ? nullptr : GetDlgItem(Main(), int(id));
    if (control == nullptr) Fail("no control with id " + std::to_string(id));
    return control;
}

bool Wait(const Args& args)
{
    return std::find(args.begin(), args.end(), "nowait") == args.end();
}

LONG_PTR Id(HWND window)
{
    return GetWindowLongPtrW(window, GWLP_ID);
}

DWORD Style(HWND window, int which)
{
    return DWORD(GetWindowLongW(window, which));
}

// The focus and the active window of the main window's thread.
GUITHREADINFO GuiThread()
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(Main(), nullptr), &info))
        Fail("GetGUIThreadInfo failed");
    return info;
}

// The dropped list of a combo box: a top-level "ComboLBox" of the program
// that is visible while the list is down.
HWND DroppedList()
{
    std::vector<HWND> lists = ProgramWindows("ComboLBox");
    return lists.empty() ? nullptr : lists.front();
}

// ---------------------------------------------------------------- the program

// ping -> acp (the driver's ANSI code page), caption_button_font (hex: the
// face Wine gives a request for Marlett, the symbol font it draws the
// caption buttons with; any other face draws letters in their place).
Json Ping(const Args&)
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
    return {{"acp", GetACP()}, {"caption_button_font", HexText(face)}};
}

// start <idle ms> <command line, spaces and all>: starts the program in a
// job that ends it when the driver goes, and waits up to idle ms for it to
// wait for input -> pid, ms (taken).
Json Start(const Args& args)
{
    long long idleMs = IntArg(args, 0);
    if (Failed() || args.size() < 2) return Fail("usage: start <idle ms> <command line>");
    if (ProgramRunning()) return Fail("a program is already running");
    for (HANDLE handle : {program.process.hProcess, program.process.hThread, program.job})
        if (handle) CloseHandle(handle);
    program = Program{};
    std::wstring commandLine = FromCodePage(args[1], CP_UTF8);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    double began = NowMs();
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                        nullptr, nullptr, &startup, &program.process))
        return Fail("CreateProcess failed with error " + std::to_string(GetLastError()));
    program.started = true;
    program.job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(program.job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    AssignProcessToJobObject(program.job, program.process.hProcess);
    ResumeThread(program.process.hThread);
    // WaitForInputIdle blocks without pumping; wait in slices instead.
    while (NowMs() - began < double(idleMs) && ProgramRunning() &&
           WaitForInputIdle(program.process.hProcess, 50) == WAIT_TIMEOUT)
        Pump(0);
    return {{"pid", program.process.dwProcessId}, {"ms", (long long)(NowMs() - began)}};
}

// status -> started (ever, since the driver began), running.
Json Status(const Args&)
{
    return {{"started", program.started}, {"running", ProgramRunning()}};
}

// wait_exit <ms> -> exited, code (once exited).
Json WaitExit(const Args& args)
{
    long long ms = IntArg(args, 0);
    if (Failed() || !program.started) return Fail("no program started");
    if (!Pump(double(ms), program.process.hProcess)) return {{"exited", false}};
    DWORD code = 0;
    GetExitCodeProcess(program.process.hProcess, &code);
    return {{"exited", true}, {"code", code}};
}

// kill: ends the program if it runs -> {}.
Json Kill(const Args&)
{
    if (ProgramRunning()) {
        TerminateProcess(program.process.hProcess, 255);
        Pump(5000, program.process.hProcess);
    }
    return Json::object();
}

// quit: kill, then the driver ends -> {}.
Json Quit(const Args& args)
{
    quitRequested = true;
    return Kill(args);
}

// find_window <title hex> <ms>: waits up to ms for the program's visible
// top-level window with exactly this title, which becomes the main window
// of the other commands -> {}.
Json FindWindowCommand(const Args& args)
{
    std::wstring title = TextArg(args, 0);
    long long ms = IntArg(args, 1);
    if (Failed() || !program.started) return Fail("no program started");
    for (double began = NowMs();; Pump(20)) {
        for (HWND w : ProgramWindows()) {
            if (WindowText(w) != title) continue;
            program.main = w;
            return Json::object();
        }
        if (NowMs() - began >= double(ms) || !ProgramRunning())
            return Fail("no window with that title");
    }
}

// post_close: posts WM_SYSCOMMAND SC_CLOSE to the main window, what the
// window menu's Close item does, and settles -> {}.
Json PostClose(const Args&)
{
    if (Main() == nullptr) return {};
    PostMessageW(program.main, WM_SYSCOMMAND, SC_CLOSE, 0);
    Settle(true);
    return Json::object();
}

// responds <ms> -> answered: whether the main window answered a message
// within ms (a window busy in a long exchange does not).
Json Responds(const Args& args)
{
    UINT ms = UINT(IntArg(args, 0));
    bool answered = SendMessageTimeoutW(Main(), WM_NULL, 0, 0, SMTO_NORMAL, ms, nullptr) != 0;
    return {{"answered", answered}};
}

// ---------------------------------------------------------------- reading windows

// window -> rect, client (both screen), style, exstyle, title, enabled,
// foreground of the main window.
Json WindowCommand(const Args&)
{
    HWND w = Main();
    return {{"rect", RectJson(ScreenRect(w))},
            {"client", RectJson(ClientScreenRect(w))},
            {"style", Style(w, GWL_STYLE)},
            {"exstyle", Style(w, GWL_EXSTYLE)},
            {"title", HexText(WindowText(w))},
            {"enabled", IsWindowEnabled(w) != 0},
            {"foreground", GetForegroundWindow() == w}};
}

// children -> children: the main window's child windows in Z order, each
// id, class, rect (main window's client coordinates), style, exstyle, text,
// visible, enabled.
Json Children(const Args&)
{
    Json children = Json::array();
    for (HWND child : ChildrenOf(Main())) {
        RECT r = ScreenRect(child);
        MapWindowPoints(nullptr, program.main, reinterpret_cast<POINT*>(&r), 2);
        children.push_back({{"id", Id(child)},
                            {"class", ClassName(child)},
                            {"rect", RectJson(r)},
                            {"style", Style(child, GWL_STYLE)},
                            {"exstyle", Style(child, GWL_EXSTYLE)},
                            {"text", HexText(WindowText(child))},
                            {"visible", IsWindowVisible(child) != 0},
                            {"enabled", IsWindowEnabled(child) != 0}});
    }
    return {{"children", children}};
}

// text <id> -> text.
Json TextCommand(const Args& args)
{
    return {{"text", HexText(WindowText(Control(args)))}};
}

// wtexts -> windows: the program's visible top-level windows read as
// Unicode, in no code page of the program's or the driver's; each class,
// title, children (id, text), texts as hex of UTF-8.
Json WideTexts(const Args&)
{
    Json windows = Json::array();
    for (HWND window : ProgramWindows()) {
        Json children = Json::array();
        for (HWND child : ChildrenOf(window))
            children.push_back({{"id", Id(child)}, {"text", HexText(WindowText(child), CP_UTF8)}});
        windows.push_back({{"class", ClassName(window)},
                           {"title", HexText(WindowText(window), CP_UTF8)},
                           {"children", children}});
    }
    return {{"windows", windows}};
}

// combo <id> -> items, selected, rect (screen), dropped, and while the list
// is down list: {rect (screen)}.
Json Combo(const Args& args)
{
    HWND combo = Control(args);
    Json items = Json::array();
    for (LRESULT i = 0, count = Send(combo, CB_GETCOUNT, 0, 0); i < count; ++i)
        items.push_back(HexText(ComboItem(combo, i)));
    bool dropped = Send(combo, CB_GETDROPPEDSTATE, 0, 0) != 0;
    Json out{{"items", items},
             {"selected", Send(combo, CB_GETCURSEL, 0, 0)},
             {"rect", RectJson(ScreenRect(combo))},
             {"dropped", dropped}};
    HWND list = dropped ? DroppedList() : nullptr;
    if (list != nullptr) out["list"] = {{"rect", RectJson(ScreenRect(list))}};
    return out;
}

// focus -> id (of the main window's child with the keyboard focus, else
// null), main_active.
Json Focus(const Args&)
{
    GUITHREADINFO info = GuiThread();
    bool ours = info.hwndFocus != nullptr && GetParent(info.hwndFocus) == program.main;
    return {{"id", ours ? Json(Id(info.hwndFocus)) : Json(nullptr)},
            {"main_active", info.hwndActive == program.main}};
}

// wait_text <id> <hex> <ms>: waits up to ms until the control's text is no
// longer the given one -> changed, text, since_input_ms (from the end of the
// last click or key). Labels and buttons are read without asking the
// program, so a text that a busy program sets is seen within a few ms.
Json WaitText(const Args& args)
{
    HWND control = Control(args);
    std::wstring before = TextArg(args, 1), now;
    long long ms = IntArg(args, 2);
    if (Failed()) return {};
    bool changed = false, read = false;
    double at = 0;
    for (double began = NowMs();; Pump(2)) {
        now = WindowText(control, &read);
        at = NowMs();
        changed = read && now != before;
        if (changed || at - began >= double(ms) || !ProgramRunning()) break;
    }
    return {{"changed", changed},
            {"text", HexText(now)},
            {"since_input_ms", (long long)(at - program.lastInputMs)}};
}

// font_check <id> [text hex] -> ink, diff_default, diff_system (see
// CompareFonts). With a text, the control shows it during the comparison
// (for empty labels) and gets its own back afterwards.
Json FontCheck(const Args& args)
{
    HWND control = Control(args);
    bool force = args.size() > 1;
    std::wstring original = WindowText(control), shown = force ? TextArg(args, 1) : original;
    if (Failed()) return {};
    if (force) Send(control, WM_SETTEXT, 0, LPARAM(shown.c_str()));
    Send(control, WM_NULL, 0, 0);
    Pump(100);
    FontComparison fonts = CompareFonts(control);
    if (force) Send(control, WM_SETTEXT, 0, LPARAM(original.c_str()));
    Pump(20);
    return {
        {"ink", fonts.ink}, {"diff_default", fonts.diffDefault}, {"diff_system", fonts.diffSystem}};
}

// msgbox <ms>: waits up to ms for the program's message box -> found; once
// found also hwnd, count (of boxes shown), title, text (of child 0xFFFF),
// buttons (each id, text), icons (each looks_like: "warning" when it is the
// stock warning icon pixel for pixel, else "unknown"), owner_is_main,
// main_enabled.
Json MessageBoxCommand(const Args& args)
{
    long long ms = IntArg(args, 0);
    std::vector<HWND> boxes;
    if (Failed()) return {};
    for (double began = NowMs(); (boxes = ProgramWindows("#32770")).empty(); Pump(15))
        if (NowMs() - began >= double(ms) || !ProgramRunning()) return {{"found", false}};
    HWND box = boxes.front();
    std::wstring text;
    Json buttons = Json::array(), icons = Json::array();
    for (HWND child : ChildrenOf(box)) {
        if (!IsWindowVisible(child)) continue;
        std::string className = ClassName(child);
        if (GetWindowLongPtrW(child, GWLP_ID) == 0xFFFF) text = WindowText(child);
        if (className == "Button")
            buttons.push_back({{"id", Id(child)}, {"text", HexText(WindowText(child))}});
        if (className == "Static" && (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
            icons.push_back({{"looks_like", LooksLikeWarningIcon(child) ? "warning" : "unknown"}});
    }
    return {{"found", true},
            {"hwnd", INT_PTR(box)},
            {"count", boxes.size()},
            {"title", HexText(WindowText(box))},
            {"text", HexText(text)},
            {"buttons", buttons},
            {"icons", icons},
            {"owner_is_main", program.main && GetWindow(box, GW_OWNER) == program.main},
            {"main_enabled", IsWindow(program.main) && IsWindowEnabled(program.main)}};
}

// hit <x> <y> -> main_hit: the main window's WM_NCHITTEST code at a screen
// point.
Json Hit(const Args& args)
{
    LPARAM point = MAKELPARAM(IntArg(args, 0), IntArg(args, 1));
    return {{"main_hit", Send(Main(), WM_NCHITTEST, 0, point)}};
}

// close_box -> found, rect (screen) of the main window's close box, found
// with the window's own hit test (HTCLOSE) from the right along the middle
// of the caption and then up and down the middle of the box.
Json CloseBox(const Args&)
{
    RECT r = ScreenRect(Main()), client = ClientScreenRect(program.main);
    auto isClose = [](long x, long y) {
        return Send(program.main, WM_NCHITTEST, 0, MAKELPARAM(x, y)) == HTCLOSE;
    };
    long middle = (r.top + client.top) / 2, right = r.right - 1;
    while (right >= r.left && !isClose(right, middle)) --right;
    if (right < r.left) return {{"found", false}};
    long left = right, top = middle, bottom = middle;
    while (left > r.left && isClose(left - 1, middle)) --left;
    long centre = (left + right) / 2;
    while (top > r.top && isClose(centre, top - 1)) --top;
    while (bottom + 1 < client.top && isClose(centre, bottom + 1)) ++bottom;
    return {{"found", true}, {"rect", RectJson({left, top, right + 1, bottom + 1})}};
}

// ---------------------------------------------------------------- input

// click_control <id> <dx> <dy> [nowait]: clicks the control's centre moved
// by dx, dy -> {}.
Json ClickControl(const Args& args)
{
    HWND control = Control(args);
    long long dx = IntArg(args, 1), dy = IntArg(args, 2);
    if (!Failed()) ClickCentre(ScreenRect(control), Wait(args), dx, dy);
    return Json::object();
}

// click <x> <y> [nowait]: clicks a screen point -> {}.
Json Click(const Args& args)
{
    LONG x = LONG(IntArg(args, 0)), y = LONG(IntArg(args, 1));
    if (!Failed()) ClickCentre({x, y, x, y}, Wait(args));
    return Json::object();
}

// move <x> <y>: moves the pointer to a screen point -> {}.
Json Move(const Args& args)
{
    int x = int(IntArg(args, 0)), y = int(IntArg(args, 1));
    if (!Failed()) MovePointer(x, y);
    return Json::object();
}

// key <chord> [nowait]: presses tab, space, enter, escape, down, up or f4,
// with shift+ and alt+ (say "shift+tab", "alt+f4") -> {}.
Json Key(const Args& args)
{
    if (args.empty()) return Fail("usage: key <chord> [nowait]");
    PressKeys(args[0], Wait(args));
    return Json::object();
}

// pick_mouse <combo id> <index>: drops the list with a click on the combo
// box, then clicks the entry's row, found from the dropped list's client
// rectangle, item height and top index; waits for the list to close -> {}.
Json PickMouse(const Args& args)
{
    HWND combo = Control(args), list = nullptr;
    long long index = IntArg(args, 1);
    if (Failed()) return {};
    if (Send(combo, CB_GETDROPPEDSTATE, 0, 0) == 0) ClickCentre(ScreenRect(combo), true);
    for (double began = NowMs(); (list = DroppedList()) == nullptr; Pump(10))
        if (Failed() || NowMs() - began >= 2000) return Fail("the list did not drop");
    RECT client = ClientScreenRect(list);
    LRESULT height = Send(list, LB_GETITEMHEIGHT, 0, 0), top = Send(list, LB_GETTOPINDEX, 0, 0);
    RECT row{client.left, LONG(client.top + (index - top) * height), client.right, 0};
    row.bottom = LONG(row.top + height);
    if (height <= 0 || index < top || row.bottom > client.bottom) return Fail("row not visible");
    ClickCentre(row, true);
    for (double began = NowMs(); DroppedList() != nullptr && NowMs() - began < 2000;) Pump(10);
    return Json::object();
}

// pick_keys <combo id> <index>: moves the selection of the focused combo
// box with Down and Up, one settled press at a time -> {}.
Json PickKeys(const Args& args)
{
    HWND combo = Control(args);
    long long index = IntArg(args, 1);
    if (Failed()) return {};
    if (GuiThread().hwndFocus != combo) return Fail("the combo box does not have the focus");
    LRESULT count = Send(combo, CB_GETCOUNT, 0, 0), selected;
    for (LRESULT presses = 0; (selected = Send(combo, CB_GETCURSEL, 0, 0)) != index; ++presses) {
        if (presses > count) return Fail("selection stuck at " + std::to_string(selected));
        PressKeys(selected < index ? "down" : "up", false);
        if (Failed() || !Settle(true)) return Fail("the program did not take the key");
    }
    return Json::object();
}

// activate_other: clicks into a window of the driver's own, far from the
// program's, so that it becomes the foreground window -> other_foreground.
Json ActivateOther(const Args&)
{
    static HWND other = nullptr;
    if (other == nullptr) {
        other = OwnWindow(0, WS_OVERLAPPEDWINDOW, 620, 420, 300, 200);
        ShowWindow(other, SW_SHOWNOACTIVATE);
        UpdateWindow(other);
        Pump(50);
    }
    ClickCentre(ClientScreenRect(other), true);
    Pump(30);
    return {{"other_foreground", GetForegroundWindow() == other}};
}

// msgbox_press <button id> <ms>: clicks a button of the program's message
// box and waits up to ms for the box to go -> closed, main_enabled.
Json MessageBoxPress(const Args& args)
{
    long long id = IntArg(args, 0), ms = IntArg(args, 1);
    std::vector<HWND> boxes = ProgramWindows("#32770");
    if (Failed()) return {};
    if (boxes.empty()) return Fail("no message box");
    HWND box = boxes.front(), button = GetDlgItem(box, int(id));
    if (button == nullptr || !IsWindowVisible(button)) return Fail("no such button");
    ClickCentre(ScreenRect(button), true);
    for (double began = NowMs(); IsWindowVisible(box) && NowMs() - began < double(ms);) Pump(10);
    return {{"closed", !IsWindowVisible(box)},
            {"main_enabled", IsWindow(program.main) && IsWindowEnabled(program.main)}};
}

struct Command {
    const char* name;
    Json (*run)(const Args&);
    bool restOfLine = false;  // the second argument is the rest of the line, spaces and all
};

const Command Commands[] = {
    {"ping", Ping},
    {"start", Start, true},
    {"status", Status},
    {"wait_exit", WaitExit},
    {"kill", Kill},
    {"quit", Quit},
    {"find_window", FindWindowCommand},
    {"post_close", PostClose},
    {"responds", Responds},
    {"window", WindowCommand},
    {"children", Children},
    {"text", TextCommand},
    {"wtexts", WideTexts},
    {"combo", Combo},
    {"focus", Focus},
    {"wait_text", WaitText},
    {"font_check", FontCheck},
    {"msgbox", MessageBoxCommand},
    {"hit", Hit},
    {"close_box", CloseBox},
    {"click_control", ClickControl},
    {"click", Click},
    {"move", Move},
    {"key", Key},
    {"pick_mouse", PickMouse},
    {"pick_keys", PickKeys},
    {"activate_other", ActivateOther},
    {"msgbox_press", MessageBoxPress},
};

}  // namespace

// Splits a line at spaces and runs its command.
std::string Run(const std::string& line)
{
    std::istringstream in(line);
    std::string name, word;
    in >> name;
    for (const Command& command : Commands) {
        if (name != command.name) continue;
        Args args;
        while ((!command.restOfLine || args.empty()) && in >> word) args.push_back(word);
        if (command.restOfLine && std::getline(in >> std::ws, word)) args.push_back(word);
        // ASCII, as any text travels in hex; a byte that is not UTF-8 (in a
        // class name) becomes U+FFFD instead of ending the driver.
        return command.run(args).dump(-1, ' ', true, Json::error_handler_t::replace);
    }
    return Fail(name.empty() ? "empty command" : "unknown command " + name);
}
