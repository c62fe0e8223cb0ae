// Pixels on the screen: the fonts of the program's controls and the icon
// of its message box, compared with what the driver draws itself (Wine
// does not answer WM_GETFONT or WM_GETICON across processes).

#include "driver.h"

#include <algorithm>
#include <cstdint>

namespace {

using Pixels = std::vector<std::uint32_t>;  // 0x00RRGGBB, rows from the top

// The pixels of a screen rectangle; with an icon, those of the icon drawn
// over a stock brush in a rectangle of that size instead.
Pixels Capture(const RECT& r, HICON icon = nullptr, int brush = BLACK_BRUSH)
{
    int width = r.right - r.left, height = r.bottom - r.top;
    BITMAPINFO info{};
    info.bmiHeader = {sizeof info.bmiHeader, width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HDC screen = GetDC(nullptr), memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    RECT all{0, 0, width, height};
    if (icon == nullptr) {
        BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    } else {
        FillRect(memory, &all, HBRUSH(GetStockObject(brush)));
        DrawIconEx(memory, 0, 0, icon, width, height, 0, nullptr, DI_NORMAL);
    }
    GdiFlush();
    const std::uint32_t* first = static_cast<const std::uint32_t*>(bits);
    Pixels out(first, first + (bits ? std::size_t(width) * std::size_t(height) : 0));
    for (std::uint32_t& pixel : out) pixel &= 0xFFFFFF;
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return out;
}

// Dark pixels: the ink of text drawn in the button text colour.
bool Ink(std::uint32_t pixel)
{
    int red = int(pixel >> 16) & 255, green = int(pixel >> 8) & 255, blue = int(pixel) & 255;
    return red * 30 + green * 59 + blue * 11 < 100 * 100;
}

// Pixels whose darkness differs; a difference in size (the twins have the
// control's width) counts every pixel of the larger capture.
long InkDifference(const Pixels& a, const Pixels& b)
{
    if (a.size() != b.size()) return long(std::max(a.size(), b.size()));
    long differing = 0;
    for (std::size_t i = 0; i < a.size(); ++i) differing += Ink(a[i]) != Ink(b[i]);
    return differing;
}

// Gives a combo box twin the original's selected item and heights.
void CopyComboLook(HWND twin, HWND original)
{
    LRESULT selected = Send(original, CB_GETCURSEL, 0, 0);
    std::wstring item = selected >= 0 ? ComboItem(original, selected) : std::wstring();
    if (!item.empty()) {
        SendMessageW(twin, CB_ADDSTRING, 0, LPARAM(item.c_str()));
        SendMessageW(twin, CB_SETCURSEL, 0, 0);
    }
    // The closed height follows the selection field's height; what
    // CB_GETITEMHEIGHT reports need not be what was set, so set it and
    // correct by what the twin's height turns out to be.
    RECT r = ScreenRect(original);
    LRESULT field = Send(original, CB_GETITEMHEIGHT, WPARAM(-1), 0);
    SendMessageW(twin, CB_SETITEMHEIGHT, WPARAM(-1), LPARAM(field));
    RECT got = ScreenRect(twin);
    field += (r.bottom - r.top) - (got.bottom - got.top);
    SendMessageW(twin, CB_SETITEMHEIGHT, WPARAM(-1), LPARAM(field));
    SendMessageW(twin, CB_SETITEMHEIGHT, 0, LPARAM(Send(original, CB_GETITEMHEIGHT, 0, 0)));
}

// A twin of one of the program's controls (class, style, size, text) in the
// reference host, with a stock font. A combo box is made with the dropped
// extent, as the program does; its closed height comes from the item heights.
HWND MakeTwin(HWND host, HWND original, int font, int y)
{
    std::string className = ClassName(original);
    RECT r = ScreenRect(original);
    bool combo = className == "ComboBox";
    DWORD style = DWORD(GetWindowLongW(original, GWL_STYLE)) & ~DWORD(WS_DISABLED);
    HWND twin = CreateWindowExW(DWORD(GetWindowLongW(original, GWL_EXSTYLE)),
                                std::wstring(className.begin(), className.end()).c_str(),
                                combo ? L"" : WindowText(original).c_str(),
                                combo ? style | WS_VSCROLL : style, 10, y, r.right - r.left,
                                combo ? 350 : r.bottom - r.top, host, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
    SendMessageW(twin, WM_SETFONT, WPARAM(GetStockObject(font)), TRUE);
    if (combo) CopyComboLook(twin, original);
    return twin;
}

}  // namespace

// Renders twins of the control in a window of the driver's own, one with
// DEFAULT_GUI_FONT and one with SYSTEM_FONT, and compares their text pixels
// with the control's. The window lies in the right half of the screen, clear
// of the program's window and of activate_other's.
FontComparison CompareFonts(HWND control)
{
    static HWND host = OwnWindow(WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW, WS_POPUP, 0, 0, 10, 10);
    RECT r = ScreenRect(control);
    int height = r.bottom - r.top;
    SetWindowPos(host, HWND_TOPMOST, 560, 20, r.right - r.left + 20, 2 * height + 30,
                 SWP_NOACTIVATE | SWP_SHOWWINDOW);
    HWND withDefault = MakeTwin(host, control, DEFAULT_GUI_FONT, 10);
    HWND withSystem = MakeTwin(host, control, SYSTEM_FONT, height + 20);
    RedrawWindow(host, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Pump(150);
    Pixels shown = Capture(r);
    FontComparison out{long(std::count_if(shown.begin(), shown.end(), Ink)),
                       InkDifference(shown, Capture(ScreenRect(withDefault))),
                       InkDifference(shown, Capture(ScreenRect(withSystem)))};
    DestroyWindow(withDefault);
    DestroyWindow(withSystem);
    ShowWindow(host, SW_HIDE);
    return out;
}

// Whether an icon control shows the stock warning icon, pixel for pixel.
// Drawn on black and on white, the pixels that agree are the icon's opaque
// ones; each of those must be on the screen.
bool LooksLikeWarningIcon(HWND iconControl)
{
    RECT r = ClientScreenRect(iconControl);
    HICON icon = LoadIconW(nullptr, MAKEINTRESOURCEW(32515));
    Pixels shown = Capture(r), onBlack = Capture(r, icon, BLACK_BRUSH);
    Pixels onWhite = Capture(r, icon, WHITE_BRUSH);
    long opaque = 0;
    for (std::size_t i = 0; i < shown.size() && i < onBlack.size(); ++i) {
        if (onBlack[i] != onWhite[i]) continue;
        ++opaque;
        if (onBlack[i] != shown[i]) return false;
    }
    return opaque > 0;
}
