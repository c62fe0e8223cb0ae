// Pixels on the screen: the fonts of the program's controls and the icon
// of its message box, compared with what the driver draws itself (Wine
// does not answer WM_GETFONT or WM_GETICON across processes).

#include "driver.h"

#include <algorithm>
#include <cstdint>
#include <cwchar>

namespace {

struct Pixels {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> data;  // 0x00RRGGBB, rows from the top

    std::uint32_t At(int x, int y) const
    {
        return data[std::size_t(y) * std::size_t(width) + std::size_t(x)];
    }
};

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

long InkPixels(const Pixels& p)
{
    return long(std::count_if(p.data.begin(), p.data.end(), Ink));
}

// Pixels whose darkness differs; a difference in size counts every pixel of
// the larger capture.
long InkDifference(const Pixels& a, const Pixels& b)
{
    if (a.width != b.width || a.height != b.height)
        return long(std::max(a.data.size(), b.data.size()));
    long differing = 0;
    for (std::size_t i = 0; i < a.data.size(); ++i) differing += Ink(a.data[i]) != Ink(b.data[i]);
    return differing;
}

// A window of the driver's own that holds twins of the program's controls,
// in the right half of the screen, clear of the program's window and of the
// other window.
HWND ReferenceHost(int width, int height)
{
    static HWND host = nullptr;
    if (host == nullptr || !IsWindow(host)) {
        WNDCLASSW type{};
        type.lpfnWndProc = DefWindowProcW;
        type.hInstance = GetModuleHandleW(nullptr);
        type.hbrBackground = reinterpret_cast<HBRUSH>(INT_PTR(COLOR_BTNFACE + 1));
        type.lpszClassName = L"ScDriverReference";
        RegisterClassW(&type);
        host = CreateWindowExW(WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW, L"ScDriverReference", L"",
                               WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, GetModuleHandleW(nullptr),
                               nullptr);
    }
    SetWindowPos(host, HWND_TOPMOST, 560, 20, width, height, SWP_NOACTIVATE | SWP_SHOWWINDOW);
    return host;
}

// Gives a combo box twin the original's selected item and heights.
void CopyComboLook(HWND twin, HWND original)
{
    LRESULT selected = Send(original, CB_GETCURSEL, 0, 0);
    std::wstring item = selected >= 0 ? ComboItem(original, selected) : std::wstring();
    if (!item.empty()) {
        SendMessageW(twin, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
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

// A twin of one of the program's controls (class, style, size, text), made
// in the reference host with a chosen stock font.
HWND MakeTwin(HWND host, HWND original, int font, int x, int y)
{
    std::string className = ClassName(original);
    RECT r = ScreenRect(original);
    DWORD style = DWORD(GetWindowLongW(original, GWL_STYLE)) & ~DWORD(WS_DISABLED);
    std::wstring text = WindowText(original);
    bool combo = className == "ComboBox";
    int height = r.bottom - r.top;
    if (combo) {
        // Created with the dropped extent, as the program does; the closed
        // height comes from the item heights.
        height = 350;
        style |= WS_VSCROLL;
    }
    HWND twin = CreateWindowExW(DWORD(GetWindowLongW(original, GWL_EXSTYLE)),
                                FromCodePage(className, CP_ACP).c_str(), combo ? L"" : text.c_str(),
                                style, x, y, r.right - r.left, height, host, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
    if (twin == nullptr) return nullptr;
    SendMessageW(twin, WM_SETFONT, WPARAM(GetStockObject(font)), TRUE);
    if (combo) CopyComboLook(twin, original);
    return twin;
}

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

}  // namespace

// Renders twins of the control in the driver's window, one with
// DEFAULT_GUI_FONT and one with SYSTEM_FONT, and compares their text pixels
// with the control's. False when the twins could not be made.
bool CompareFonts(HWND control, FontComparison& out)
{
    RECT r = ScreenRect(control);
    int width = r.right - r.left, height = r.bottom - r.top;
    HWND host = ReferenceHost(width + 20, 2 * height + 30);
    HWND withDefault = MakeTwin(host, control, DEFAULT_GUI_FONT, 10, 10);
    HWND withSystem = MakeTwin(host, control, SYSTEM_FONT, 10, height + 20);
    bool made = withDefault != nullptr && withSystem != nullptr;
    if (made) {
        RedrawWindow(host, nullptr, nullptr,
                     RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        Pump(150);
        Pixels shown = CaptureScreen(r);
        out.ink = InkPixels(shown);
        out.diffDefault = InkDifference(shown, CaptureScreen(ScreenRect(withDefault)));
        out.diffSystem = InkDifference(shown, CaptureScreen(ScreenRect(withSystem)));
    }
    if (withDefault) DestroyWindow(withDefault);
    if (withSystem) DestroyWindow(withSystem);
    ShowWindow(host, SW_HIDE);
    return made;
}

// Whether an icon control shows the stock warning icon, pixel for pixel.
bool LooksLikeWarningIcon(HWND iconControl)
{
    Pixels shown = CaptureScreen(ClientScreenRect(iconControl));
    long opaque = 0;
    return IconDistance(shown, MAKEINTRESOURCEW(32515), opaque) == 0 && opaque > 0;
}
