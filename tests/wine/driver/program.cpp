// The program under test and its windows, seen from another process.

#include "driver.h"

#include <cwchar>

Program program;

bool ProgramRunning()
{
    return program.started && WaitForSingleObject(program.process.hProcess, 0) == WAIT_TIMEOUT;
}

bool HaveMain()
{
    return program.main != nullptr && IsWindow(program.main);
}

bool MainEnabled()
{
    return HaveMain() && IsWindowEnabled(program.main);
}

Reply NeedMain()
{
    return Err("no main window: use find_window first");
}

// The main window's child with the id in argument i.
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
    for (HWND child = GetWindow(program.main, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT))
        if (GetWindowLongPtrW(child, GWLP_ID) == id) return child;
    error = Err("no control with id " + args[i]);
    return nullptr;
}

// The focus and the active window of the main window's thread.
bool GuiThreadInfo(GUITHREADINFO& info)
{
    info = GUITHREADINFO{};
    info.cbSize = sizeof info;
    return GetGUIThreadInfo(GetWindowThreadProcessId(program.main, nullptr), &info) != 0;
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
// unanswered while its thread takes no messages: false then.
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

std::wstring ComboItem(HWND combo, LRESULT index)
{
    std::wstring item;
    LRESULT length = Send(combo, CB_GETLBTEXTLEN, WPARAM(index), 0);
    if (length > 0) {
        item.assign(std::size_t(length) + 1, L'\0');
        Send(combo, CB_GETLBTEXT, WPARAM(index), reinterpret_cast<LPARAM>(item.data()));
        item.resize(wcslen(item.c_str()));
    }
    return item;
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

namespace {

bool OwnedByProgram(HWND window)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return program.started && pid == program.process.dwProcessId;
}

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM found)
{
    reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
    return TRUE;
}

}  // namespace

// The program's visible top-level windows, of one class if one is named.
std::vector<HWND> ProgramWindows(const char* className)
{
    std::vector<HWND> all, found;
    EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&all));
    for (HWND w : all)
        if (OwnedByProgram(w) && IsWindowVisible(w) &&
            (className == nullptr || ClassName(w) == className))
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
