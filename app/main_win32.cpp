// Process entry: start-up, the main loop and shutdown.
#include <windows.h>

#include "app/main_loop.h"
#include "app/window.h"
#include "link/port_selection.h"
#include "link/serial.h"

// Exit code when MainWindow cannot be created: there would be no way to
// close the program, so it ends at once.
constexpr UINT NoWindowExitCode = 1;

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    StartWindowLayer();
    if (!BuildMainWindow()) {
        TearDownMainWindow();
        ExitProcess(NoWindowExitCode);
    }
    FillPortList();
    ProbePorts();
    RunMainLoop();
    CloseAllPorts();
    TearDownMainWindow();
    ExitProcess(0);
}
