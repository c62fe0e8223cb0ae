// The line protocol: texts and JSON, arguments, pumping the driver's own
// messages, and the main loop that reads command lines and answers them.

#include "driver.h"

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>

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

// ---------------------------------------------------------------- texts and JSON

std::wstring FromCodePage(const std::string& bytes, UINT codePage)
{
    std::wstring out(bytes.size(), L'\0');
    int size = MultiByteToWideChar(codePage, 0, bytes.data(), int(bytes.size()), out.data(),
                                   int(out.size()));
    out.resize(std::size_t(size));
    return out;
}

std::string Quote(const std::string& ascii)
{
    std::string out = "\"";
    for (unsigned char c : ascii) {
        bool plain = c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, plain ? "%c" : "\\u%04x", c);
        out += escaped;
    }
    return out + "\"";
}

std::string HexText(const std::wstring& text, UINT codePage)
{
    std::string bytes(text.size() * 4, '\0'), hex;
    int size = WideCharToMultiByte(codePage, 0, text.data(), int(text.size()), bytes.data(),
                                   int(bytes.size()), nullptr, nullptr);
    bytes.resize(std::size_t(size));
    const char* digits = "0123456789abcdef";
    for (unsigned char c : bytes) hex += {digits[c >> 4], digits[c & 15]};
    return Quote(hex);
}

std::string Bool(bool value)
{
    return value ? "true" : "false";
}

std::string RectJson(const RECT& r)
{
    return List({std::to_string(r.left), std::to_string(r.top), std::to_string(r.right),
                 std::to_string(r.bottom)});
}

std::string List(const std::vector<std::string>& items)
{
    std::string out;
    for (const std::string& item : items) out += (out.empty() ? "" : ",") + item;
    return "[" + out + "]";
}

std::string Object(const Fields& fields)
{
    std::string out;
    for (const auto& [key, value] : fields)
        out += (out.empty() ? "" : ",") + Quote(key) + ":" + value;
    return "{" + out + "}";
}

// ---------------------------------------------------------------- arguments

long long IntArg(const Args& args, std::size_t i)
{
    char* end = nullptr;
    long long value = i < args.size() ? std::strtoll(args[i].c_str(), &end, 0) : 0;
    if (i >= args.size() || args[i].empty() || *end != '\0')
        Fail("argument " + std::to_string(i + 1) + ": a number expected");
    return value;
}

// A text given as hex of its cp1251 bytes, "-" when empty.
std::wstring TextArg(const Args& args, std::size_t i)
{
    std::string hex = i < args.size() ? args[i] : "", bytes;
    if (hex != "-" && (hex.empty() || hex.size() % 2 != 0 ||
                       hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)) {
        Fail("argument " + std::to_string(i + 1) + ": a text in hex expected");
        return {};
    }
    for (std::size_t at = 0; hex != "-" && at < hex.size(); at += 2)
        bytes += char(std::stoi(hex.substr(at, 2), nullptr, 16));
    return FromCodePage(bytes);
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
