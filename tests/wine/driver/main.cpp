// The line protocol: failures, pumping the driver's own messages, and the
// main loop that reads command lines and answers them.

#include "driver.h"

#include <commctrl.h>

namespace {
std::string failure;  // of the command under way
}

std::string Fail(const std::string& reason)
{
    if (failure.empty()) failure = reason;
    return {};
}

bool Failed()
{
    return !failure.empty();
}

// ---------------------------------------------------------------- time and messages

double NowMs()
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return double(now.QuadPart) * 1000.0 / double(frequency.QuadPart);
}

bool Pump(double ms, HANDLE until)
{
    for (double end = NowMs() + ms;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (until != nullptr && WaitForSingleObject(until, 0) == WAIT_OBJECT_0) return true;
        double left = end - NowMs();
        if (left <= 0) return false;
        MsgWaitForMultipleObjects(until ? 1 : 0, &until, FALSE, DWORD(left) + 1, QS_ALLINPUT);
    }
}

// ---------------------------------------------------------------- command lines

namespace {

// A reader thread hands over one line at a time, so that the main thread
// keeps pumping its own windows' messages while it waits for the next.
HANDLE lineReady, lineTaken;
std::string nextLine;
bool inputEnded = false;

DWORD WINAPI ReadLines(void*)
{
    std::string pending;
    char buffer[4096];
    DWORD count = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &count, nullptr) &&
           count > 0) {
        pending.append(buffer, count);
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            nextLine = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!nextLine.empty() && nextLine.back() == '\r') nextLine.pop_back();
            SignalObjectAndWait(lineReady, lineTaken, INFINITE, FALSE);
        }
    }
    inputEnded = true;
    SetEvent(lineReady);
    return 0;
}

// Waits for the next line while pumping; false once input has ended.
bool NextLine(std::string& line)
{
    while (!Pump(60000, lineReady)) continue;
    line = nextLine;
    bool ended = inputEnded;
    ResetEvent(lineReady);
    SetEvent(lineTaken);
    return !ended;
}

void WriteLine(const std::string& line)
{
    std::string data = line + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), data.data(), DWORD(data.size()), &written, nullptr);
}

}  // namespace

int main()
{
    INITCOMMONCONTROLSEX classes{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&classes);
    lineReady = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    lineTaken = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (CreateThread(nullptr, 0, ReadLines, nullptr, 0, nullptr) == nullptr) return 2;
    WriteLine("ready");
    for (std::string line; !quitRequested && NextLine(line);) {
        failure.clear();
        std::string reply = Run(line);
        WriteLine(Failed() ? "err " + failure : "ok " + reply);
    }
    Run("kill");  // whoever drove us is gone or done: leave no program behind
    return 0;
}
