#include <windows.h>

#include "app/events.h"
#include "app/window_win32.h"

std::int32_t FetchAndDispatchMessage()
{
    MSG message;
    // A failure to fetch cannot be waited out; treat it as a close request
    // so that the program ends instead of spinning.
    if (GetMessageA(&message, nullptr, 0, 0) == -1) return CloseEvent;
    HWND window = MainWindowHandle();
    bool translated = window != nullptr && GetActiveWindow() == window &&
                      TranslateAcceleratorA(window, MainWindowAccelerators(), &message) != 0;
    if (!translated) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return std::int32_t(message.message);
}
