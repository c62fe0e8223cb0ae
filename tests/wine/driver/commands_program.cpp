// Commands that start, watch and end the program. The driver starts it
// itself, so that it can report the real exit code, and keeps it in a job
// that ends it when the driver goes away.

#include "driver.h"

namespace {

// The face Wine gives a request for Marlett, the symbol font it draws the
// caption buttons with; any other face draws letters in their place.
std::wstring CaptionButtonFace()
{
    HFONT font = CreateFontW(-13, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, SYMBOL_CHARSET, 0, 0, 0,
                             0, L"Marlett");
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    wchar_t face[LF_FACESIZE] = L"";
    GetTextFaceW(dc, LF_FACESIZE, face);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    DeleteObject(font);
    return face;
}

void ForgetProgram()
{
    if (program.process.hProcess) CloseHandle(program.process.hProcess);
    if (program.process.hThread) CloseHandle(program.process.hThread);
    if (program.job) CloseHandle(program.job);
    program = Program{};
}

void PutInJob(HANDLE process)
{
    program.job = CreateJobObjectW(nullptr, nullptr);
    if (program.job == nullptr) return;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(program.job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    AssignProcessToJobObject(program.job, process);
}

}  // namespace

// ping -> acp (the driver's ANSI code page), caption_button_font (hex: the
// face Wine gives a request for Marlett).
Reply Ping(const Args&)
{
    return Ok(Json().Int("acp", GetACP()).Text("caption_button_font", CaptionButtonFace()));
}

// start <idle ms> <command line, spaces and all>: starts the program and
// waits up to idle ms for it to wait for input -> pid, ms (taken).
Reply Start(const Args& args)
{
    long long idleMs = 0;
    if (args.size() < 2 || !ParseInt(args[0], idleMs)) return Err("usage: start <idle ms> <cmd>");
    if (ProgramRunning()) return Err("a program is already running");
    ForgetProgram();

    std::wstring commandLine = FromCodePage(args[1], CP_UTF8);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    double began = NowMs();
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                        nullptr, nullptr, &startup, &process))
        return Err("CreateProcess failed with error " + std::to_string(GetLastError()));
    program.process = process;
    program.started = true;
    PutInJob(process.hProcess);
    ResumeThread(process.hThread);

    // WaitForInputIdle blocks without pumping; wait in slices instead.
    DWORD idle = WAIT_TIMEOUT;
    while (idle == WAIT_TIMEOUT && NowMs() - began < double(idleMs)) {
        idle = WaitForInputIdle(process.hProcess, 50);
        PumpPending();
        if (WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0) break;
    }
    return Ok(Json().Int("pid", process.dwProcessId).Int("ms", (long long)(NowMs() - began)));
}

// status -> started (ever, since the driver began), running.
Reply Status(const Args&)
{
    return Ok(Json().Bool("started", program.started).Bool("running", ProgramRunning()));
}

// wait_exit <ms> -> exited, code (once exited).
Reply WaitExit(const Args& args)
{
    long long ms = 0;
    if (args.empty() || !ParseInt(args[0], ms)) return Err("usage: wait_exit <ms>");
    if (!program.started) return Err("no program started");
    bool exited = WaitPumping(program.process.hProcess, double(ms));
    Json out;
    out.Bool("exited", exited);
    if (exited) {
        DWORD code = 0;
        GetExitCodeProcess(program.process.hProcess, &code);
        out.Int("code", code);
    }
    return Ok(out);
}

// kill: ends the program if it runs -> {}.
Reply Kill(const Args&)
{
    if (ProgramRunning()) {
        TerminateProcess(program.process.hProcess, 255);
        WaitPumping(program.process.hProcess, 5000);
    }
    return Ok();
}

// quit: kill, then the driver ends -> {}.
Reply Quit(const Args& args)
{
    quitRequested = true;
    return Kill(args);
}

// find_window <title hex> <ms>: waits up to ms for the program's visible
// top-level window with exactly this title, which becomes the main window
// of the other commands -> {}.
Reply FindWindowCommand(const Args& args)
{
    std::string title;
    long long ms = 0;
    if (args.size() < 2 || !ParseHex(args[0], title) || !ParseInt(args[1], ms))
        return Err("usage: find_window <title hex> <ms>");
    if (!program.started) return Err("no program started");
    std::wstring wanted = FromCodePage(title);
    for (double began = NowMs();; Pump(20)) {
        for (HWND w : ProgramWindows()) {
            if (WindowText(w) == wanted) {
                program.main = w;
                return Ok();
            }
        }
        if (NowMs() - began >= double(ms) || !ProgramRunning()) break;
    }
    return Err("no window with that title");
}

// post_close: posts WM_SYSCOMMAND SC_CLOSE to the main window, what the
// window menu's Close item does, and settles -> {}.
Reply PostClose(const Args&)
{
    if (!HaveMain()) return NeedMain();
    PostMessageW(program.main, WM_SYSCOMMAND, SC_CLOSE, 0);
    Settle(true);
    return Ok();
}

// responds <ms> -> answered: whether the main window answered a message
// within ms (a window busy in a long exchange does not).
Reply Responds(const Args& args)
{
    long long ms = 0;
    if (args.empty() || !ParseInt(args[0], ms)) return Err("usage: responds <ms>");
    if (!HaveMain()) return NeedMain();
    DWORD_PTR result = 0;
    bool answered =
        SendMessageTimeoutW(program.main, WM_NULL, 0, 0, SMTO_NORMAL, UINT(ms), &result) != 0;
    return Ok(Json().Bool("answered", answered));
}
