// The smallest program of the same shape as stationclock: one window with a
// label that reads "READY" once start-up is over, and a message loop. The
// benchmark measures its start against the real program's.
#include <windows.h>

namespace {

LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CLOSE) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = Procedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = "MinimalWindow";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(0, "MinimalWindow", "Minimal", WS_CAPTION | WS_SYSMENU, 272, 92,
                                  160, 360, nullptr, nullptr, instance, nullptr);
    ShowWindow(window, SW_SHOWNORMAL);
    HWND label = CreateWindowExA(0, "Static", "status", WS_CHILD | WS_VISIBLE, 20, 45, 120, 25,
                                 window, reinterpret_cast<HMENU>(6), instance, nullptr);
    SetWindowTextA(label, "READY");
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    ExitProcess(0);
}
