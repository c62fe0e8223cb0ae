// Commands that read the program's windows without giving it input. A
// control is named by its id among the main window's children.

#include "driver.h"

#include <climits>

namespace {

// A screen rectangle in the client coordinates of a window.
RECT InClientOf(HWND window, RECT r)
{
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

Json ControlJson(HWND control)
{
    return Json()
        .Int("id", (long long)GetWindowLongPtrW(control, GWLP_ID))
        .Str("class", ClassName(control))
        .Rect("rect", InClientOf(program.main, ScreenRect(control)))
        .Int("style", (long long)DWORD(GetWindowLongW(control, GWL_STYLE)))
        .Int("exstyle", (long long)DWORD(GetWindowLongW(control, GWL_EXSTYLE)))
        .Text("text", WindowText(control))
        .Bool("visible", IsWindowVisible(control) != 0)
        .Bool("enabled", IsWindowEnabled(control) != 0);
}

}  // namespace

// window -> rect, client (both screen), style, exstyle, title, enabled,
// foreground of the main window.
Reply WindowCommand(const Args&)
{
    if (!HaveMain()) return NeedMain();
    HWND w = program.main;
    return Ok(Json()
                  .Rect("rect", ScreenRect(w))
                  .Rect("client", ClientScreenRect(w))
                  .Int("style", (long long)DWORD(GetWindowLongW(w, GWL_STYLE)))
                  .Int("exstyle", (long long)DWORD(GetWindowLongW(w, GWL_EXSTYLE)))
                  .Text("title", WindowText(w))
                  .Bool("enabled", IsWindowEnabled(w) != 0)
                  .Bool("foreground", GetForegroundWindow() == w));
}

// children -> children: the main window's child windows in Z order, each
// id, class, rect (main window's client coordinates), style, exstyle, text,
// visible, enabled.
Reply Children(const Args&)
{
    if (!HaveMain()) return NeedMain();
    std::vector<std::string> items;
    for (HWND child = GetWindow(program.main, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT))
        items.push_back(ControlJson(child).Done());
    return Ok(Json().Raw("children", JsonList(items)));
}

// text <id> -> text.
Reply TextCommand(const Args& args)
{
    Reply error{};
    HWND control = ControlArg(args, 0, error);
    if (control == nullptr) return error;
    return Ok(Json().Text("text", WindowText(control)));
}

// wtexts -> windows: the program's visible top-level windows read as
// Unicode, in no code page of the program's or the driver's; each class,
// title, children (id, text), texts as hex of UTF-8.
Reply WideTexts(const Args&)
{
    std::vector<std::string> windows;
    for (HWND window : ProgramWindows()) {
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

// combo <id> -> items, selected, rect (screen), dropped, and while the list
// is down list: {rect (screen)}.
Reply Combo(const Args& args)
{
    Reply error{};
    HWND combo = ControlArg(args, 0, error);
    if (combo == nullptr) return error;
    std::vector<std::string> items;
    for (LRESULT i = 0, count = Send(combo, CB_GETCOUNT, 0, 0); i < count; ++i)
        items.push_back(JsonString(Hex(ToCodePage(ComboItem(combo, i)))));
    bool dropped = Send(combo, CB_GETDROPPEDSTATE, 0, 0) != 0;
    Json out;
    out.Raw("items", JsonList(items))
        .Int("selected", Send(combo, CB_GETCURSEL, 0, 0))
        .Rect("rect", ScreenRect(combo))
        .Bool("dropped", dropped);
    HWND list = dropped ? DroppedList() : nullptr;
    if (list != nullptr) out.Raw("list", Json().Rect("rect", ScreenRect(list)).Done());
    return Ok(out);
}

// focus -> id (of the main window's child with the keyboard focus, else
// null), main_active.
Reply Focus(const Args&)
{
    if (!HaveMain()) return NeedMain();
    GUITHREADINFO info;
    if (!GuiThreadInfo(info)) return Err("GetGUIThreadInfo failed");
    Json out;
    if (info.hwndFocus != nullptr && GetParent(info.hwndFocus) == program.main)
        out.Int("id", (long long)GetWindowLongPtrW(info.hwndFocus, GWLP_ID));
    else
        out.Raw("id", "null");
    return Ok(out.Bool("main_active", info.hwndActive == program.main));
}

// wait_text <id> <hex> <ms>: waits up to ms until the control's text is no
// longer the given one -> changed, text, since_input_ms (from the end of the
// last click or key). Labels and buttons are read without asking the
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
    std::wstring before = FromCodePage(old), now;
    bool changed = false;
    double at = 0;
    for (double began = NowMs();; Pump(2)) {
        bool read = ReadWindowText(control, now);
        at = NowMs();
        changed = read && now != before;
        if (changed || at - began >= double(ms) || !ProgramRunning()) break;
    }
    return Ok(Json()
                  .Bool("changed", changed)
                  .Text("text", now)
                  .Int("since_input_ms", (long long)(at - program.lastInputMs)));
}

// font_check <id> [text hex] -> ink, diff_default, diff_system (see
// CompareFonts). With a text, the control shows it during the comparison
// (for empty labels) and gets its own back afterwards.
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
        std::wstring shown = FromCodePage(forced);
        Send(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(shown.c_str()));
    }
    Send(control, WM_NULL, 0, 0);
    Pump(100);
    FontComparison fonts{};
    bool compared = CompareFonts(control, fonts);
    if (force) Send(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(original.c_str()));
    Pump(20);
    if (!compared) return Err("could not create the reference controls");
    return Ok(Json()
                  .Int("ink", fonts.ink)
                  .Int("diff_default", fonts.diffDefault)
                  .Int("diff_system", fonts.diffSystem));
}

// msgbox <ms>: waits up to ms for the program's message box -> found; once
// found also hwnd, class, count (of boxes shown), title, text (of child
// 0xFFFF), buttons (each id, text), icons (each looks_like: "warning" when
// it is the stock warning icon pixel for pixel, else "unknown"),
// owner_is_main, main_enabled.
Reply MessageBoxCommand(const Args& args)
{
    long long ms = 0;
    if (args.empty() || !ParseInt(args[0], ms)) return Err("usage: msgbox <ms>");
    std::vector<HWND> boxes;
    for (double began = NowMs(); (boxes = ProgramWindows("#32770")).empty(); Pump(15))
        if (NowMs() - began >= double(ms) || !ProgramRunning())
            return Ok(Json().Bool("found", false));
    HWND box = boxes.front();
    std::wstring text;
    std::vector<std::string> buttons, icons;
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        if (!IsWindowVisible(child)) continue;
        LONG_PTR id = GetWindowLongPtrW(child, GWLP_ID);
        std::string className = ClassName(child);
        DWORD style = DWORD(GetWindowLongW(child, GWL_STYLE));
        if (id == 0xFFFF) text = WindowText(child);
        if (className == "Button")
            buttons.push_back(Json().Int("id", id).Text("text", WindowText(child)).Done());
        if (className == "Static" && (style & SS_TYPEMASK) == SS_ICON)
            icons.push_back(
                Json()
                    .Str("looks_like", LooksLikeWarningIcon(child) ? "warning" : "unknown")
                    .Done());
    }
    HWND owner = GetWindow(box, GW_OWNER);
    return Ok(Json()
                  .Bool("found", true)
                  .Handle("hwnd", box)
                  .Str("class", ClassName(box))
                  .Int("count", (long long)boxes.size())
                  .Text("title", WindowText(box))
                  .Text("text", text)
                  .Raw("buttons", JsonList(buttons))
                  .Raw("icons", JsonList(icons))
                  .Bool("owner_is_main", owner != nullptr && owner == program.main)
                  .Bool("main_enabled", MainEnabled()));
}

// hit <x> <y> -> main_hit: the main window's WM_NCHITTEST code at a screen
// point.
Reply Hit(const Args& args)
{
    long long x = 0, y = 0;
    if (args.size() < 2 || !ParseInt(args[0], x) || !ParseInt(args[1], y))
        return Err("usage: hit <x> <y>");
    if (!HaveMain()) return NeedMain();
    return Ok(
        Json().Int("main_hit", (long long)Send(program.main, WM_NCHITTEST, 0, MAKELPARAM(x, y))));
}

// close_box -> found, rect (screen) of the main window's close box, found
// with the window's own hit test (HTCLOSE) along the middle of the caption
// and then down the middle of the box.
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
