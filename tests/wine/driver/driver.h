// scdriver: drives stationclock.exe from outside, the way a user would, for
// the end-to-end tests under Wine. One command per line on stdin, one reply
// line on stdout: "ok <json object>" or "err <reason>". Each command, its
// arguments and its reply fields are told where it is defined (commands.cpp).
//
// Texts travel as the hex digits of their code page 1251 bytes ("-" stands
// for the empty text in a command). Rectangles are [left, top, right,
// bottom]. Every command that waits has a bound.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// ---------------------------------------------------------------- main.cpp

// A command that fails is answered "err <reason>" with its first failure's
// reason. A procedure that fails records it with Fail and returns; the
// command stops where it checks Failed(). Fail returns "" so that a command
// can end with return Fail(...).
std::string Fail(const std::string& reason);
bool Failed();

double NowMs();
bool Pump(double ms, HANDLE until = nullptr);  // pumps messages; true once `until` is signalled

// commands.cpp
std::string Run(const std::string& line);  // the reply's JSON object
extern bool quitRequested;

// ---------------------------------------------------------------- windows.cpp

struct Program {
    PROCESS_INFORMATION process{};
    HANDLE job = nullptr;
    bool started = false;
    HWND main = nullptr;
    double lastInputMs = 0;  // when the last click or key was completed
};

extern Program program;

bool ProgramRunning();
HWND Main();
LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool* answered = nullptr);
std::wstring WindowText(HWND window, bool* answered = nullptr);
std::wstring ComboItem(HWND combo, LRESULT index);
std::string ClassName(HWND window);
RECT ScreenRect(HWND window);
RECT ClientScreenRect(HWND window);
std::vector<HWND> ChildrenOf(HWND parent);
std::vector<HWND> ProgramWindows(const char* className = nullptr);
HWND OwnWindow(DWORD exStyle, DWORD style, int x, int y, int width, int height);

bool MovePointer(int x, int y);
void ClickCentre(const RECT& r, bool wait, long long dx = 0, long long dy = 0);
void PressKeys(const std::string& chord, bool wait);
bool Settle(bool wait);

// ---------------------------------------------------------------- pixels.cpp

struct FontComparison {
    long ink;          // dark pixels of the control
    long diffDefault;  // pixels whose darkness differs from the DEFAULT_GUI_FONT twin
    long diffSystem;   // the same against the SYSTEM_FONT twin
};

FontComparison CompareFonts(HWND control);
bool LooksLikeWarningIcon(HWND iconControl);
