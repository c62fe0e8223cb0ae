// What the event source needs of MainWindow on Windows.
#pragma once

#include <windows.h>

HWND MainWindowHandle();  // null when MainWindow does not exist
HACCEL MainWindowAccelerators();
