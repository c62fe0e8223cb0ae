// scdriver: drives stationclock.exe from outside, the way a user would, for
// the end-to-end tests under Wine. One command per line on stdin, one reply
// line on stdout: "ok <json object>" or "err <reason>". The command table
// is in protocol.cpp; each command's arguments and reply fields are told
// where it is defined (commands_*.cpp).
//
// Texts travel as the hex digits of their code page 1251 bytes ("-" stands
// for the empty text in a command). Rectangles are [left, top, right,
// bottom]. Every command that waits has a bound.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

using Args = std::vector<std::string>;

// ---------------------------------------------------------------- protocol.cpp

std::string Hex(const std::string& bytes);
std::string ToCodePage(const std::wstring& text, UINT codePage = 1251);
std::wstring FromCodePage(const std::string& bytes, UINT codePage = 1251);
std::string JsonString(const std::string& ascii);
std::string JsonList(const std::vector<std::string>& items);

// A JSON object built field by field.
class Json {
public:
    Json& Raw(const char* key, const std::string& value);
    Json& Int(const char* key, long long value);
    Json& Bool(const char* key, bool value);
    Json& Str(const char* key, const std::string& value);
    Json& Text(const char* key, const std::wstring& value);  // hex of cp1251
    Json& Utf8(const char* key, const std::wstring& value);  // hex of UTF-8
    Json& Rect(const char* key, const RECT& r);
    Json& Handle(const char* key, HWND window);
    std::string Done() const;

private:
    std::string body_;
};

struct Reply {
    bool ok;
    std::string body;
};

Reply Ok(const Json& json = Json());
Reply Err(const std::string& reason);

bool ParseInt(const std::string& text, long long& value);
bool ParseHex(const std::string& text, std::string& bytes);
bool HasFlag(const Args& args, const char* flag);

double NowMs();
void PumpPending();
void Pump(double ms);  // runs the driver's own message loop for about ms
bool WaitPumping(HANDLE handle, double ms);

// ---------------------------------------------------------------- program.cpp

struct Program {
    PROCESS_INFORMATION process{};
    HANDLE job = nullptr;
    bool started = false;
    HWND main = nullptr;
    double lastInputMs = 0;  // when the last click or key was completed
};

extern Program program;

bool ProgramRunning();
bool HaveMain();
bool MainEnabled();
Reply NeedMain();
HWND ControlArg(const Args& args, std::size_t i, Reply& error);
bool GuiThreadInfo(GUITHREADINFO& info);

LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool* answered = nullptr);
bool ReadWindowText(HWND window, std::wstring& text);
std::wstring WindowText(HWND window);
std::wstring ComboItem(HWND combo, LRESULT index);
std::string ClassName(HWND window);
RECT ScreenRect(HWND window);
RECT ClientScreenRect(HWND window);
std::vector<HWND> ProgramWindows(const char* className = nullptr);
HWND DroppedList();

// ---------------------------------------------------------------- input.cpp

bool MovePointer(int x, int y, bool& exact);
Reply ClickAt(int x, int y, bool wait);
Reply ClickCentre(HWND window, bool wait);
Reply PressKeys(const std::string& chord, bool wait);
bool Settle(bool wait);
HWND OtherWindow();

// ---------------------------------------------------------------- pixels.cpp

struct FontComparison {
    long ink;          // dark pixels of the control
    long diffDefault;  // pixels whose darkness differs from the DEFAULT_GUI_FONT twin
    long diffSystem;   // the same against the SYSTEM_FONT twin
};

bool CompareFonts(HWND control, FontComparison& out);
bool LooksLikeWarningIcon(HWND iconControl);

// ---------------------------------------------------------------- the commands

extern bool quitRequested;  // set by quit

// commands_program.cpp
Reply Ping(const Args& args);
Reply Start(const Args& args);
Reply Status(const Args& args);
Reply WaitExit(const Args& args);
Reply Kill(const Args& args);
Reply Quit(const Args& args);
Reply FindWindowCommand(const Args& args);
Reply PostClose(const Args& args);
Reply Responds(const Args& args);

// commands_read.cpp
Reply WindowCommand(const Args& args);
Reply Children(const Args& args);
Reply TextCommand(const Args& args);
Reply WideTexts(const Args& args);
Reply Combo(const Args& args);
Reply Focus(const Args& args);
Reply WaitText(const Args& args);
Reply FontCheck(const Args& args);
Reply MessageBoxCommand(const Args& args);
Reply Hit(const Args& args);
Reply CloseBox(const Args& args);

// commands_input.cpp
Reply ClickControl(const Args& args);
Reply Click(const Args& args);
Reply Move(const Args& args);
Reply Key(const Args& args);
Reply PickMouse(const Args& args);
Reply PickKeys(const Args& args);
Reply ActivateOther(const Args& args);
Reply MessageBoxPress(const Args& args);
