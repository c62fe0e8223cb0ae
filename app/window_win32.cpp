// MainWindow, its controls, keyboard focus and the warning box.
#include "app/window_win32.h"

#include <commctrl.h>
#include <objbase.h>

#include "app/events.h"
#include "app/focus.h"
#include "app/window.h"
#include "support/literals.h"

namespace {

constexpr char WindowClassName[] = "StationClockWindow";
constexpr DWORD MainWindowStyle = 0xCC0000;  // caption, system menu, sizing border
constexpr int ClientWidth = 142;
constexpr int ClientHeight = 317;
constexpr int WindowX = 272;
constexpr int WindowY = 92;
constexpr int ComboClosedHeight = 23;
constexpr int ComboListExtent = 350;
constexpr int ComboProbeItemHeight = 15;
constexpr WORD FocusNextCommand = 100;
constexpr WORD FocusPreviousCommand = 101;
constexpr int ControlSlots = 7;

constexpr DWORD ButtonStyle = WS_CHILD | WS_VISIBLE | WS_GROUP | WS_TABSTOP | BS_PUSHBUTTON;
constexpr DWORD LabelStyle = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT;
constexpr DWORD ComboStyle =
    WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_GROUP | WS_TABSTOP | CBS_DROPDOWNLIST;

struct ControlLayout {
    int number;
    const char* className;
    const char* text;
    DWORD style;
    int x, y, width, height;
};

// In creation order, which is also the keyboard focus order of the
// controls that take the focus.
constexpr ControlLayout Layout[] = {
    {QueryButton, "Button", QueryButtonText, ButtonStyle, 15, 75, 110, 35},
    {SyncButton, "Button", SyncButtonText, ButtonStyle, 15, 210, 110, 35},
    {StationTimeLabel, "Static", "", LabelStyle, 20, 125, 105, 35},
    {ElapsedLabel, "Static", "", LabelStyle, 20, 160, 105, 40},
    {PortCombo, "ComboBox", "", ComboStyle, 15, 5, 95, ComboListExtent},
    {StatusLabel, "Static", "status", LabelStyle, 20, 45, 120, 25},
};

struct WindowState {
    HINSTANCE instance = nullptr;
    ATOM windowClass = 0;
    HWND main = nullptr;
    HWND controls[ControlSlots] = {};
    HACCEL accelerators = nullptr;
    HWND rememberedFocus = nullptr;
    bool comInitialised = false;
};

WindowState window;

HWND ControlHandle(int control)
{
    if (control < 0 || control >= ControlSlots) return nullptr;
    return window.controls[control];
}

int ControlNumber(HWND handle)
{
    for (int number = 0; number < ControlSlots; ++number)
        if (handle != nullptr && window.controls[number] == handle) return number;
    return NoFocus;
}

void MoveFocus(bool backwards)
{
    HWND next = ControlHandle(NextFocusControl(ControlNumber(GetFocus()), backwards));
    if (next != nullptr) SetFocus(next);
}

void OnActivate(WPARAM state)
{
    if (LOWORD(state) == WA_INACTIVE) {
        HWND focused = GetFocus();
        if (focused != nullptr && IsChild(window.main, focused)) window.rememberedFocus = focused;
    } else if (window.rememberedFocus != nullptr && IsWindow(window.rememberedFocus)) {
        SetFocus(window.rememberedFocus);
    }
}

LRESULT CALLBACK MainWindowProcedure(HWND handle, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
        case WM_COMMAND:
            if (lParam == 0 && HIWORD(wParam) == 1) {
                if (LOWORD(wParam) == FocusNextCommand) MoveFocus(false);
                if (LOWORD(wParam) == FocusPreviousCommand) MoveFocus(true);
            } else if (lParam != 0) {
                OnControlCommand(LOWORD(wParam), HIWORD(wParam));
            }
            return 0;
        case WM_CLOSE:
            OnCloseRequest();
            return 0;
        case WM_ACTIVATE:
            // Handled here alone: the default would put the focus on the
            // window itself.
            OnActivate(wParam);
            return 0;
        default:
            return DefWindowProcA(handle, message, wParam, lParam);
    }
}

void FitComboHeight(HWND combo)
{
    SendMessageA(combo, CB_SETITEMHEIGHT, WPARAM(-1), ComboProbeItemHeight);
    RECT outer;
    if (!GetWindowRect(combo, &outer)) return;
    int frame = int(outer.bottom - outer.top) - ComboProbeItemHeight;
    SendMessageA(combo, CB_SETITEMHEIGHT, WPARAM(-1), ComboClosedHeight - frame);
}

void CreateControls()
{
    HGDIOBJ font = GetStockObject(DEFAULT_GUI_FONT);
    for (const ControlLayout& c : Layout) {
        HWND control = CreateWindowExA(0, c.className, c.text, c.style, c.x, c.y, c.width, c.height,
                                       window.main, reinterpret_cast<HMENU>(INT_PTR(c.number)),
                                       window.instance, nullptr);
        if (control == nullptr) continue;
        window.controls[c.number] = control;
        SendMessageA(control, WM_SETFONT, WPARAM(font), TRUE);
    }
    if (HWND combo = ControlHandle(PortCombo)) FitComboHeight(combo);
}

}  // namespace

HWND MainWindowHandle()
{
    return window.main;
}

HACCEL MainWindowAccelerators()
{
    return window.accelerators;
}

void StartWindowLayer()
{
    INITCOMMONCONTROLSEX classes{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&classes);
    window.comInitialised = SUCCEEDED(CoInitialize(nullptr));
}

bool BuildMainWindow()
{
    window.instance = GetModuleHandleA(nullptr);
    WNDCLASSA windowClass{};
    windowClass.style = CS_DBLCLKS;
    windowClass.lpfnWndProc = MainWindowProcedure;
    windowClass.hInstance = window.instance;
    windowClass.hIcon = LoadIconA(window.instance, MAKEINTRESOURCEA(1));
    windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(INT_PTR(COLOR_BTNFACE + 1));
    windowClass.lpszClassName = WindowClassName;
    window.windowClass = RegisterClassA(&windowClass);

    RECT frame{0, 0, ClientWidth, ClientHeight};
    AdjustWindowRectEx(&frame, MainWindowStyle, FALSE, 0);
    window.main = CreateWindowExA(0, WindowClassName, TitleText, MainWindowStyle, WindowX, WindowY,
                                  int(frame.right - frame.left), int(frame.bottom - frame.top),
                                  nullptr, nullptr, window.instance, nullptr);
    if (window.main == nullptr) return false;

    ShowWindow(window.main, SW_SHOWNORMAL);
    ACCEL keys[] = {{FVIRTKEY, VK_TAB, FocusNextCommand},
                    {FVIRTKEY | FSHIFT, VK_TAB, FocusPreviousCommand}};
    window.accelerators = CreateAcceleratorTableA(keys, 2);
    CreateControls();
    return true;
}

void TearDownMainWindow()
{
    if (window.main != nullptr) DestroyWindow(window.main);
    if (window.accelerators != nullptr) DestroyAcceleratorTable(window.accelerators);
    if (window.windowClass != 0) UnregisterClassA(WindowClassName, window.instance);
    if (window.comInitialised) CoUninitialize();
    window = WindowState{};
}

void AppendItem(int control, const char* text)
{
    if (HWND list = ControlHandle(control))
        SendMessageA(list, CB_INSERTSTRING, WPARAM(-1), reinterpret_cast<LPARAM>(text));
}

void SelectItem(int control, Integer index)
{
    if (HWND list = ControlHandle(control)) SendMessageA(list, CB_SETCURSEL, WPARAM(index), 0);
}

void SetControlText(int control, const char* text)
{
    if (HWND handle = ControlHandle(control)) SetWindowTextA(handle, text);
}

Text GetControlText(int control)
{
    HWND handle = ControlHandle(control);
    if (handle == nullptr) return Text();
    int length = GetWindowTextLengthA(handle);
    if (length <= 0) return Text();
    Text text(std::size_t(length) + 1, '\0');
    int copied = GetWindowTextA(handle, text.data(), length + 1);
    text.resize(std::size_t(copied > 0 ? copied : 0));
    return text;
}

int ShowMessage(const char* title, const char* text, unsigned style)
{
    // Make the box modal for every window of this thread: disable the others
    // and take topmost ones out of the topmost band until it is dismissed.
    struct Changed {
        HWND handle;
        bool disabled;
        bool wasTopmost;
    };
    Changed changed[16];
    int changedCount = 0;
    HWND foreground = GetForegroundWindow();
    DWORD thread = GetCurrentThreadId();
    for (HWND w = GetTopWindow(nullptr); w != nullptr && changedCount < 16;
         w = GetWindow(w, GW_HWNDNEXT)) {
        if (GetWindowThreadProcessId(w, nullptr) != thread || !IsWindowVisible(w)) continue;
        Changed change{w, false, false};
        if (w != foreground && IsWindowEnabled(w)) {
            EnableWindow(w, FALSE);
            change.disabled = true;
        }
        if (GetWindowLongA(w, GWL_EXSTYLE) & WS_EX_TOPMOST) {
            SetWindowPos(w, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
            change.wasTopmost = true;
        }
        if (change.disabled || change.wasTopmost) changed[changedCount++] = change;
    }

    DWORD foregroundProcess = 0;
    if (foreground != nullptr) GetWindowThreadProcessId(foreground, &foregroundProcess);
    HWND owner = foregroundProcess == GetCurrentProcessId() ? foreground : nullptr;
    int answer = MessageBoxA(owner, text, title, style);

    for (int i = 0; i < changedCount; ++i) {
        if (changed[i].disabled) EnableWindow(changed[i].handle, TRUE);
        if (changed[i].wasTopmost)
            SetWindowPos(changed[i].handle, HWND_TOPMOST, 0, 0, 0, 0,
                         SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
    return answer;
}
