// Process entry: start-up, the main loop and shutdown.
#include <windows.h>

#include <cstdlib>

#include "app/main_loop.h"
#include "app/window.h"
#include "link/port_selection.h"
#include "link/serial.h"

// Exit code when MainWindow cannot be created: there would be no way to
// close the program, so it ends at once.
constexpr UINT NoWindowExitCode = 1;

// The program uses no exceptions. Should the C++ runtime ever end it through
// std::terminate, it ends at once: the runtime's own handler would bring its
// name demangler and message printer into the program, a third of its code.
namespace __gnu_cxx {
void __verbose_terminate_handler()
{
    std::abort();
}
}  // namespace __gnu_cxx

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
