// The line protocol: texts and JSON, the reader of command lines, the
// command table and the driver's main loop.

#include "driver.h"

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <deque>

// ---------------------------------------------------------------- texts and JSON

std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string ToCodePage(const std::wstring& text, UINT codePage)
{
    if (text.empty()) return std::string();
    int size = WideCharToMultiByte(codePage, 0, text.data(), int(text.size()), nullptr, 0, nullptr,
                                   nullptr);
    std::string out(std::size_t(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(codePage, 0, text.data(), int(text.size()), out.data(), size, nullptr,
                            nullptr);
    return out;
}

std::wstring FromCodePage(const std::string& bytes, UINT codePage)
{
    if (bytes.empty()) return std::wstring();
    int size = MultiByteToWideChar(codePage, 0, bytes.data(), int(bytes.size()), nullptr, 0);
    std::wstring out(std::size_t(size > 0 ? size : 0), L'\0');
    if (size > 0)
        MultiByteToWideChar(codePage, 0, bytes.data(), int(bytes.size()), out.data(), size);
    return out;
}

std::string JsonString(const std::string& ascii)
{
    std::string out = "\"";
    for (unsigned char c : ascii) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string JsonList(const std::vector<std::string>& items)
{
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
    return out + "]";
}

Json& Json::Raw(const char* key, const std::string& value)
{
    if (!body_.empty()) body_ += ",";
    body_ += JsonString(key) + ":" + value;
    return *this;
}

Json& Json::Int(const char* key, long long value)
{
    return Raw(key, std::to_string(value));
}

Json& Json::Bool(const char* key, bool value)
{
    return Raw(key, value ? "true" : "false");
}

Json& Json::Str(const char* key, const std::string& value)
{
    return Raw(key, JsonString(value));
}

Json& Json::Text(const char* key, const std::wstring& value)
{
    return Str(key, Hex(ToCodePage(value)));
}

Json& Json::Handle(const char* key, HWND window)
{
    return Int(key, (long long)INT_PTR(window));
}

Json& Json::Utf8(const char* key, const std::wstring& value)
{
    return Str(key, Hex(ToCodePage(value, CP_UTF8)));
}

Json& Json::Rect(const char* key, const RECT& r)
{
    return Raw(key, "[" + std::to_string(r.left) + "," + std::to_string(r.top) + "," +
                        std::to_string(r.right) + "," + std::to_string(r.bottom) + "]");
}

std::string Json::Done() const
{
    return "{" + body_ + "}";
}

Reply Ok(const Json& json)
{
    return Reply{true, json.Done()};
}

Reply Err(const std::string& reason)
{
    return Reply{false, reason};
}

// ---------------------------------------------------------------- arguments

bool ParseInt(const std::string& text, long long& value)
{
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, 0);
    return end != nullptr && *end == '\0';
}

bool ParseHex(const std::string& text, std::string& bytes)
{
    bytes.clear();
    if (text == "-") return true;
    if (text.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        long long value = 0;
        if (!ParseInt("0x" + text.substr(i, 2), value)) return false;
        bytes += char(value);
    }
    return true;
}

bool HasFlag(const Args& args, const char* flag)
{
    for (const std::string& a : args)
        if (a == flag) return true;
    return false;
}

// ---------------------------------------------------------------- time and messages

double NowMs()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return double(now.QuadPart) * 1000.0 / double(frequency.QuadPart);
}

void PumpPending()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void Pump(double ms)
{
    double end = NowMs() + ms;
    for (;;) {
        PumpPending();
        double left = end - NowMs();
        if (left <= 0) return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, DWORD(left) + 1, QS_ALLINPUT);
    }
}

// Waits for a handle while pumping; true when it was signalled.
bool WaitPumping(HANDLE handle, double ms)
{
    double end = NowMs() + ms;
    for (;;) {
        PumpPending();
        if (WaitForSingleObject(handle, 0) == WAIT_OBJECT_0) return true;
        double left = end - NowMs();
        if (left <= 0) return false;
        MsgWaitForMultipleObjects(1, &handle, FALSE, DWORD(left) + 1, QS_ALLINPUT);
    }
}

// ---------------------------------------------------------------- command lines

namespace {

// A reader thread hands complete lines to the main thread, which keeps
// pumping its own windows' messages while it waits for them.
struct LineQueue {
    CRITICAL_SECTION lock;
    HANDLE ready = nullptr;
    std::deque<std::string> lines;
    bool ended = false;
};

LineQueue input;

DWORD WINAPI ReadLines(void*)
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    std::string pending;
    char buffer[4096];
    for (;;) {
        DWORD count = 0;
        if (!ReadFile(in, buffer, sizeof buffer, &count, nullptr) || count == 0) break;
        pending.append(buffer, count);
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            EnterCriticalSection(&input.lock);
            input.lines.push_back(line);
            LeaveCriticalSection(&input.lock);
            SetEvent(input.ready);
        }
    }
    EnterCriticalSection(&input.lock);
    input.ended = true;
    LeaveCriticalSection(&input.lock);
    SetEvent(input.ready);
    return 0;
}

// Waits for the next line while pumping; false once input has ended.
bool NextLine(std::string& line)
{
    for (;;) {
        EnterCriticalSection(&input.lock);
        bool have = !input.lines.empty(), ended = input.ended;
        if (have) {
            line = input.lines.front();
            input.lines.pop_front();
        }
        LeaveCriticalSection(&input.lock);
        if (have) return true;
        if (ended) return false;
        MsgWaitForMultipleObjects(1, &input.ready, FALSE, INFINITE, QS_ALLINPUT);
        PumpPending();
    }
}

void WriteLine(const std::string& line)
{
    static HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    std::string data = line + "\n";
    DWORD written = 0;
    WriteFile(out, data.data(), DWORD(data.size()), &written, nullptr);
    FlushFileBuffers(out);
}

struct Command {
    const char* name;
    Reply (*run)(const Args&);
    bool lastTakesRest;  // the second argument is the rest of the line, spaces and all
};

const Command Commands[] = {
    {"ping", Ping, false},
    {"start", Start, true},
    {"status", Status, false},
    {"wait_exit", WaitExit, false},
    {"kill", Kill, false},
    {"quit", Quit, false},
    {"find_window", FindWindowCommand, false},
    {"window", WindowCommand, false},
    {"children", Children, false},
    {"text", TextCommand, false},
    {"wtexts", WideTexts, false},
    {"combo", Combo, false},
    {"focus", Focus, false},
    {"responds", Responds, false},
    {"wait_text", WaitText, false},
    {"font_check", FontCheck, false},
    {"msgbox", MessageBoxCommand, false},
    {"click_control", ClickControl, false},
    {"click", Click, false},
    {"move", Move, false},
    {"key", Key, false},
    {"pick_mouse", PickMouse, false},
    {"pick_keys", PickKeys, false},
    {"activate_other", ActivateOther, false},
    {"hit", Hit, false},
    {"close_box", CloseBox, false},
    {"post_close", PostClose, false},
    {"msgbox_press", MessageBoxPress, false},
};

// Splits a line at spaces; with lastTakesRest, whatever follows the first
// argument is kept whole as the second.
Args Words(const std::string& line, bool lastTakesRest)
{
    Args words;
    std::size_t at = 0;
    for (;;) {
        while (at < line.size() && line[at] == ' ') ++at;
        if (at >= line.size()) break;
        if (lastTakesRest && words.size() == 2) {
            words.push_back(line.substr(at));
            break;
        }
        std::size_t end = line.find(' ', at);
        if (end == std::string::npos) end = line.size();
        words.push_back(line.substr(at, end - at));
        at = end;
    }
    return words;
}

Reply Run(const std::string& line)
{
    Args words = Words(line, false);
    if (words.empty()) return Err("empty command");
    for (const Command& c : Commands) {
        if (words[0] != c.name) continue;
        if (c.lastTakesRest) words = Words(line, true);
        return c.run(Args(words.begin() + 1, words.end()));
    }
    return Err("unknown command " + words[0]);
}

}  // namespace

bool quitRequested = false;

int main()
{
    InitializeCriticalSection(&input.lock);
    input.ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    INITCOMMONCONTROLSEX classes{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&classes);
    if (CreateThread(nullptr, 0, ReadLines, nullptr, 0, nullptr) == nullptr) return 2;
    WriteLine("ready");
    for (std::string line; !quitRequested && NextLine(line);) {
        Reply reply = Run(line);
        WriteLine((reply.ok ? "ok " : "err ") + reply.body);
    }
    // Whoever drove us is gone or done: leave no program behind.
    if (ProgramRunning()) {
        TerminateProcess(program.process.hProcess, 255);
        WaitForSingleObject(program.process.hProcess, 5000);
    }
    return 0;
}
