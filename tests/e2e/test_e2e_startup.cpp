// Start-up, the single instance and the hand-off, with the real program: each
// test copies nimbra.exe beside its own setting.yaml into a sandbox folder,
// starts it under this process as its debugger (to hear a leak report) and
// watches its windows.

// Toolkit
#include "lw/LHandles.h"
#include "lw/LStrings.h"

// Platform
#include <windows.h>

// Standard library
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/Sandbox.h"

namespace {

// One run of nimbra.exe under this process as its debugger, on a thread of
// its own (debug events go to the thread that started the process).
// What "winedbg --command 'bt all'" prints for the threads of one process.
std::string DebuggerBacktraces(DWORD processId)
{
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    std::wstring file = std::wstring(folder) + L"nimbra-stacks-" + std::to_wstring(processId) + L".txt";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    UniqueFileHandle output(CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_TEMPORARY, nullptr));
    if (!output)
        return {};
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = output.get();
    PROCESS_INFORMATION process{};
    std::wstring command = L"winedbg --command \"bt all\"";
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        return {};
    WaitForSingleObject(process.hProcess, 60000);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    output.reset();
    std::string all;
    {
        UniqueFileHandle input(
            CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        char buffer[65536];
        DWORD read = 0;
        while (ReadFile(input.get(), buffer, sizeof buffer, &read, nullptr) && read != 0)
            all.append(buffer, read);
    }
    DeleteFileW(file.c_str());
    // Each thread's part starts "Backtracing for thread xxxx in process pppp".
    char mark[48];
    snprintf(mark, sizeof mark, "in process %04lx ", static_cast<unsigned long>(processId));
    std::string stacks;
    size_t at = 0;
    while ((at = all.find("Backtracing for thread", at)) != std::string::npos) {
        size_t next = all.find("Backtracing for thread", at + 1);
        std::string part = all.substr(at, next == std::string::npos ? std::string::npos : next - at);
        if (part.find(mark) != std::string::npos)
            stacks += part;
        at = next;
    }
    return stacks;
}

class TNimbraRun {
public:
    TNimbraRun(const TSandbox& sandbox, const std::wstring& arguments)
        : FCommand(L"\"" + sandbox.Dir() + L"nimbra.exe\" " + arguments), FDir(sandbox.Dir())
    {
        FStarted.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        FThread.reset(CreateThread(nullptr, 0, DebugLoop, this, 0, nullptr));
        WaitForSingleObject(FStarted.get(), 20000);
    }
    ~TNimbraRun()
    {
        // A run that stopped debugging the process still holds its handle.
        if (FProcess && WaitForSingleObject(FProcess.get(), 1) != WAIT_OBJECT_0)
            TerminateProcess(FProcess.get(), 99);
        WaitForSingleObject(FThread.get(), 20000);
    }
    DWORD ProcessId() const { return FProcessId; }
    bool WaitForExit(DWORD timeout = 20000) { return WaitForSingleObject(FThread.get(), timeout) == WAIT_OBJECT_0; }
    DWORD ExitCode() const { return FExitCode; }
    std::string DebugOutput() const { return FDebugOutput; }

    // The stacks of every thread of a process that does not end, as Wine's
    // debugger prints them; empty where there is no such debugger. The run
    // stops debugging the process first: only one debugger may attach.
    std::string Stacks()
    {
        FDetachEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        FDetachRequested = true;
        if (WaitForSingleObject(FDetachEvent.get(), 10000) != WAIT_OBJECT_0)
            return {};
        return DebuggerBacktraces(FProcessId);
    }

private:
    static DWORD WINAPI DebugLoop(void* param)
    {
        static_cast<TNimbraRun*>(param)->Loop();
        return 0;
    }
    void Loop()
    {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        std::wstring command = FCommand;
        BOOL created = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS,
                                      nullptr, FDir.c_str(), &startup, &process);
        if (created) {
            FProcess.reset(process.hProcess);
            CloseHandle(process.hThread);
            FProcessId = process.dwProcessId;
        }
        SetEvent(FStarted.get());
        if (!created)
            return;
        DEBUG_EVENT event{};
        for (;;) {
            if (!WaitForDebugEvent(&event, 100)) {
                if (GetLastError() != ERROR_SEM_TIMEOUT && GetLastError() != WAIT_TIMEOUT)
                    break;
                if (FDetachRequested) {
                    DebugActiveProcessStop(FProcessId);
                    SetEvent(FDetachEvent.get());
                    return;
                }
                continue;
            }
            DWORD status = DBG_CONTINUE;
            switch (event.dwDebugEventCode) {
            case OUTPUT_DEBUG_STRING_EVENT: {
                const OUTPUT_DEBUG_STRING_INFO& info = event.u.DebugString;
                std::string text(info.nDebugStringLength, '\0');
                SIZE_T read = 0;
                ReadProcessMemory(FProcess.get(), info.lpDebugStringData, text.data(), text.size(), &read);
                text.resize(read);
                while (!text.empty() && text.back() == '\0')
                    text.pop_back();
                FDebugOutput += text + "\n";
                break;
            }
            case CREATE_PROCESS_DEBUG_EVENT:
                CloseHandle(event.u.CreateProcessInfo.hFile);
                break;
            case LOAD_DLL_DEBUG_EVENT:
                CloseHandle(event.u.LoadDll.hFile);
                break;
            case EXCEPTION_DEBUG_EVENT:
                if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                    status = DBG_EXCEPTION_NOT_HANDLED;
                break;
            default:
                break;
            }
            bool exited = event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT;
            if (exited)
                FExitCode = event.u.ExitProcess.dwExitCode;
            ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
            if (exited)
                break;
        }
    }

    std::wstring FCommand;
    std::wstring FDir;
    UniqueHandle FStarted;
    UniqueHandle FThread;
    UniqueHandle FProcess;
    DWORD FProcessId = 0;
    DWORD FExitCode = STILL_ACTIVE;
    std::string FDebugOutput;
    std::atomic<bool> FDetachRequested{false};
    UniqueHandle FDetachEvent;
};

struct TWindowQuery {
    DWORD ProcessId;
    std::wstring ClassName;
    std::vector<HWND> Found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM param)
{
    auto* query = reinterpret_cast<TWindowQuery*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    wchar_t className[128] = {};
    GetClassNameW(window, className, 128);
    if (pid == query->ProcessId && query->ClassName == className)
        query->Found.push_back(window);
    return TRUE;
}

// The top-level windows of the process with that class.
std::vector<HWND> WindowsOf(DWORD processId, const std::wstring& className = kWindowClass)
{
    TWindowQuery query{processId, className, {}};
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&query));
    return query.Found;
}

std::wstring Caption(HWND window)
{
    wchar_t text[1024] = {};
    GetWindowTextW(window, text, 1024);
    return text;
}

std::vector<std::wstring> Captions(DWORD processId)
{
    std::vector<std::wstring> captions;
    for (HWND window : WindowsOf(processId))
        captions.push_back(Caption(window));
    std::sort(captions.begin(), captions.end());
    return captions;
}

bool HasCaptions(DWORD processId, std::vector<std::wstring> expected)
{
    std::sort(expected.begin(), expected.end());
    return Captions(processId) == expected;
}

void CloseAll(DWORD processId)
{
    for (HWND window : WindowsOf(processId))
        PostMessageW(window, WM_CLOSE, 0, 0);
}

std::wstring WindowsDirectory()
{
    wchar_t path[MAX_PATH];
    UINT length = GetWindowsDirectoryW(path, MAX_PATH);
    return std::wstring(path, length);
}

std::string Narrow(const std::vector<std::wstring>& captions)
{
    std::string text;
    for (const std::wstring& caption : captions)
        text += "[" + UnicodeToUtf8(caption) + "]";
    return text;
}

struct TWindowList {
    DWORD Process;
    std::string Text;
};

BOOL CALLBACK DescribeWindow(HWND window, LPARAM param)
{
    auto* list = reinterpret_cast<TWindowList*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != list->Process || !IsWindowVisible(window))
        return TRUE;
    wchar_t name[128] = {};
    wchar_t caption[256] = {};
    GetClassNameW(window, name, 128);
    GetWindowTextW(window, caption, 256);
    list->Text += "[" + UnicodeToUtf8(name) + ": " + UnicodeToUtf8(caption) + "]";
    return TRUE;
}

// The visible windows a process still has, for a failure message.
std::string VisibleWindows(DWORD processId)
{
    TWindowList list{processId, {}};
    EnumWindows(DescribeWindow, reinterpret_cast<LPARAM>(&list));
    return list.Text;
}

// The instance that serves must be gone before the next test starts one.
void ExpectCleanExit(TNimbraRun& run)
{
    if (!run.WaitForExit()) {
        std::string windows = VisibleWindows(run.ProcessId());
        FAIL() << "the process does not end when its windows are closed; it shows " << windows << "\n"
               << run.DebugOutput() << "\nIts threads:\n"
               << run.Stacks();
    }
    EXPECT_EQ(run.ExitCode(), 0u);
    EXPECT_EQ(run.DebugOutput().find("MemCheck"), std::string::npos) << run.DebugOutput();
}

} // namespace

TEST(Startup, SecondStartHandsItsFolderToTheRunningInstance)
{
    TSandbox sandbox;
    TNimbraRun first(sandbox, L"\"" + sandbox.Folder() + L"\"");
    ASSERT_NE(first.ProcessId(), 0u);
    ASSERT_TRUE(WaitUntil([&] { return WindowsOf(first.ProcessId()).size() == 1; }))
        << "the first start opens one window";
    EXPECT_TRUE(HasCaptions(first.ProcessId(), {sandbox.Folder()})) << Narrow(Captions(first.ProcessId()));

    {
        TNimbraRun second(sandbox, WindowsDirectory());
        ASSERT_TRUE(second.WaitForExit()) << "the second start ends by itself";
        EXPECT_EQ(second.ExitCode(), 0u);
        EXPECT_TRUE(WindowsOf(second.ProcessId()).empty());
    }
    EXPECT_TRUE(WaitUntil([&] { return HasCaptions(first.ProcessId(), {sandbox.Folder(), WindowsDirectory()}); }))
        << Narrow(Captions(first.ProcessId()));

    // A second start with /DDESERVER while an instance runs does nothing.
    {
        TNimbraRun third(sandbox, L"/DDESERVER C:\\");
        ASSERT_TRUE(third.WaitForExit());
        Sleep(500);
        EXPECT_TRUE(HasCaptions(first.ProcessId(), {sandbox.Folder(), WindowsDirectory()}))
            << Narrow(Captions(first.ProcessId()));
    }

    CloseAll(first.ProcessId());
    ExpectCleanExit(first);
}

TEST(Startup, DdeServerLetsTheFirstRequestLandInTheFirstWindow)
{
    TSandbox sandbox;
    TNimbraRun first(sandbox, L"/ddeserver \"" + sandbox.Folder() + L"\"");
    ASSERT_TRUE(WaitUntil([&] { return WindowsOf(first.ProcessId()).size() == 1; }));
    {
        TNimbraRun second(sandbox, WindowsDirectory());
        ASSERT_TRUE(second.WaitForExit());
        EXPECT_EQ(second.ExitCode(), 0u) << "the running instance took the folder";
    }
    EXPECT_TRUE(WaitUntil([&] { return HasCaptions(first.ProcessId(), {WindowsDirectory()}); }))
        << "the first request navigates the first window: " << Narrow(Captions(first.ProcessId()));
    {
        TNimbraRun third(sandbox, L"C:\\");
        ASSERT_TRUE(third.WaitForExit());
        EXPECT_EQ(third.ExitCode(), 0u) << "the running instance took the folder";
    }
    EXPECT_TRUE(WaitUntil([&] { return HasCaptions(first.ProcessId(), {WindowsDirectory(), L"C:\\"}); }))
        << "later requests open windows: " << Narrow(Captions(first.ProcessId()));
    CloseAll(first.ProcessId());
    ExpectCleanExit(first);
}

TEST(Startup, ModulesLoadStartAndStopInOrderAndMissingOnesAreSkipped)
{
    TSandbox sandbox("--- !Nimbra\n"
                     "modules:\n"
                     "  - missing.dll\n"
                     "  - first.dll\n"
                     "  - second.dll\n");
    sandbox.Copy(TestDirectory() + L"e2e_module.dll", L"first.dll");
    sandbox.Copy(TestDirectory() + L"e2e_module.dll", L"second.dll");
    TNimbraRun run(sandbox, L"C:\\");
    ASSERT_TRUE(WaitUntil([&] { return WindowsOf(run.ProcessId()).size() == 1; }));
    EXPECT_TRUE(WindowsOf(run.ProcessId(), L"#32770").empty()) << "a missing module shows no message";
    CloseAll(run.ProcessId());
    ExpectCleanExit(run);
    EXPECT_EQ(sandbox.Read(L"modules.log"), "first registered\n"
                                            "second registered\n"
                                            "first initialize\n"
                                            "first settings-read\n"
                                            "second initialize\n"
                                            "second settings-read\n"
                                            "first thread-started\n"
                                            "second thread-started\n"
                                            "first thread-ended\n"
                                            "second thread-ended\n"
                                            "first finalize\n"
                                            "second finalize\n"
                                            "first released\n"
                                            "second released\n"
                                            "first unloaded\n"
                                            "second unloaded\n");
}

TEST(Startup, AModulesFoldersGoBeforeTheModuleIsUnloaded)
{
    TSandbox sandbox("--- !Nimbra\n"
                     "modules:\n"
                     "  - arc.dll\n");
    sandbox.Copy(TestDirectory() + L"e2e_module.dll", L"arc.dll");
    sandbox.Write(L"sample.e2earc", "archive");
    TNimbraRun run(sandbox, sandbox.Dir() + L"sample.e2earc");
    ASSERT_TRUE(WaitUntil([&] { return WindowsOf(run.ProcessId()).size() == 1; }));
    CloseAll(run.ProcessId());
    ExpectCleanExit(run);
    std::string log = sandbox.Read(L"modules.log");
    size_t made = log.find("arc folder-made\n");
    size_t released = log.find("arc folder-released\n");
    size_t unloaded = log.find("arc unloaded\n");
    ASSERT_NE(made, std::string::npos) << log;
    ASSERT_NE(released, std::string::npos) << "the module's folder was never released\n" << log;
    EXPECT_LT(released, unloaded) << log;
}

TEST(Startup, ABrokenSettingsFileIsReportedAndTheWindowStillOpens)
{
    // The module is listed before the fault, so it is loaded; the text the
    // reader rejected is not handed to it afterwards.
    TSandbox sandbox("--- !Nimbra\n"
                     "modules:\n"
                     "  - first.dll\n"
                     "initial-filter: \"*\"\n"
                     "    nested: too deep\n");
    sandbox.Copy(TestDirectory() + L"e2e_module.dll", L"first.dll");
    TNimbraRun run(sandbox, L"C:\\");
    std::vector<HWND> boxes;
    wchar_t text[256] = {};
    // The box exists a moment before its text is filled in.
    ASSERT_TRUE(WaitUntil([&] {
        boxes = WindowsOf(run.ProcessId(), L"#32770");
        return !boxes.empty() && GetDlgItemTextW(boxes.front(), 0xFFFF, text, 256) > 0 && IsWindowVisible(boxes.front());
    })) << "the reader's message is shown";
    EXPECT_STREQ(text, L"YAML Error");
    EXPECT_EQ(Caption(boxes.front()), L"Nimbra");
    EXPECT_TRUE(WindowsOf(run.ProcessId()).empty()) << "no window before the message is answered";
    PostMessageW(boxes.front(), WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(WaitUntil([&] { return WindowsOf(run.ProcessId()).size() == 1; }));
    CloseAll(run.ProcessId());
    ExpectCleanExit(run);
    EXPECT_NE(sandbox.Read(L"modules.log").find("first settings-read\n"), std::string::npos)
        << sandbox.Read(L"modules.log");
}

TEST(Startup, RootOpensTheDesktopAndNoParameterTheCurrentFolder)
{
    TSandbox sandbox;
    {
        TNimbraRun run(sandbox, L"/Root");
        ASSERT_TRUE(WaitUntil([&] { return WindowsOf(run.ProcessId()).size() == 1; }));
        std::wstring caption = Caption(WindowsOf(run.ProcessId()).front());
        EXPECT_FALSE(caption.empty());
        EXPECT_EQ(caption.find(L'\\'), std::wstring::npos) << "the desktop, not a directory: " << UnicodeToUtf8(caption);
        CloseAll(run.ProcessId());
        ExpectCleanExit(run);
    }
    {
        // The program starts in the sandbox, so "." is the sandbox folder.
        TNimbraRun run(sandbox, L"");
        ASSERT_TRUE(WaitUntil([&] { return WindowsOf(run.ProcessId()).size() == 1; }));
        EXPECT_TRUE(HasCaptions(run.ProcessId(), {sandbox.Folder()})) << Narrow(Captions(run.ProcessId()));
        CloseAll(run.ProcessId());
        ExpectCleanExit(run);
    }
}

TEST(Startup, AJapaneseFolderNameSurvivesTheHandOff)
{
    TSandbox sandbox;
    std::wstring folder = sandbox.Dir() + L"日本語のフォルダ";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    TNimbraRun first(sandbox, L"C:\\");
    ASSERT_TRUE(WaitUntil([&] { return WindowsOf(first.ProcessId()).size() == 1; }));
    {
        TNimbraRun second(sandbox, L"\"" + folder + L"\"");
        ASSERT_TRUE(second.WaitForExit());
        EXPECT_EQ(second.ExitCode(), 0u) << "the running instance took the folder";
    }
    EXPECT_TRUE(WaitUntil([&] { return HasCaptions(first.ProcessId(), {L"C:\\", folder}); }))
        << Narrow(Captions(first.ProcessId()));
    CloseAll(first.ProcessId());
    ExpectCleanExit(first);
    RemoveDirectoryW(folder.c_str());
}

TEST(Startup, AHandOffToABusyInstanceEndsInTimeAndItsFolderOpensOnce)
{
    TSandbox sandbox("--- !Nimbra\n"
                     "modules:\n"
                     "  - busy.dll\n");
    sandbox.Copy(TestDirectory() + L"e2e_module.dll", L"busy.dll");
    const std::wstring a = sandbox.Dir() + L"a";
    const std::wstring b = sandbox.Dir() + L"b";
    const std::wstring c = sandbox.Dir() + L"c";
    // The sandbox removes files only: the folders go with the test, however
    // it ends (a failed run would leave them for the next one).
    struct TFolders {
        std::vector<std::wstring> Paths;
        ~TFolders()
        {
            for (const std::wstring& path : Paths)
                RemoveDirectoryW(path.c_str());
        }
    } folders{{a, b, c}};
    for (const std::wstring& folder : folders.Paths)
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    TNimbraRun first(sandbox, L"\"" + sandbox.Folder() + L"\"");
    ASSERT_TRUE(WaitUntil([&] { return WindowsOf(first.ProcessId()).size() == 1; }));

    // The window for a makes the module hold the lock; the instance then
    // takes b and waits for the lock to open it: it reads no more commands.
    sandbox.Write(L"stall", "");
    {
        TNimbraRun second(sandbox, L"\"" + a + L"\"");
        ASSERT_TRUE(second.WaitForExit());
        EXPECT_EQ(second.ExitCode(), 0u);
    }
    ASSERT_TRUE(WaitUntil([&] { return sandbox.Read(L"modules.log").find("stalled") != std::string::npos; }));
    {
        TNimbraRun third(sandbox, L"\"" + b + L"\"");
        ASSERT_TRUE(third.WaitForExit());
        EXPECT_EQ(third.ExitCode(), 0u);
    }
    {
        const DWORD start = GetTickCount();
        TNimbraRun fourth(sandbox, L"\"" + c + L"\"");
        std::vector<HWND> boxes;
        ASSERT_TRUE(WaitUntil([&] {
            boxes = WindowsOf(fourth.ProcessId(), L"#32770");
            return !boxes.empty() || fourth.WaitForExit(0);
        }, 30000)) << "the start against a busy instance does not end";
        EXPECT_LT(GetTickCount() - start, 16000u) << "the wait is bounded";
        ASSERT_FALSE(boxes.empty()) << "the folder was not taken, and the user is told so";
        PostMessageW(boxes.front(), WM_COMMAND, IDOK, 0);
        ASSERT_TRUE(fourth.WaitForExit());
        EXPECT_EQ(fourth.ExitCode(), 1u);
    }
    DeleteFileW((sandbox.Dir() + L"stall").c_str());
    ASSERT_TRUE(WaitUntil([&] { return HasCaptions(first.ProcessId(), {sandbox.Folder(), a, b}); }))
        << Narrow(Captions(first.ProcessId()));
    // The user tries again: now c opens, and only once.
    {
        TNimbraRun fifth(sandbox, L"\"" + c + L"\"");
        ASSERT_TRUE(fifth.WaitForExit());
        EXPECT_EQ(fifth.ExitCode(), 0u);
    }
    ASSERT_TRUE(WaitUntil([&] { return Captions(first.ProcessId()).size() >= 4; }));
    Sleep(1500);
    EXPECT_TRUE(HasCaptions(first.ProcessId(), {sandbox.Folder(), a, b, c})) << Narrow(Captions(first.ProcessId()));
    CloseAll(first.ProcessId());
    ExpectCleanExit(first);
}

TEST(Startup, AStateRequestWithAStrayParameterFromAnotherProcessIsIgnored)
{
    TSandbox sandbox;
    TNimbraRun run(sandbox, L"C:\\");
    ASSERT_TRUE(WaitUntil([&] { return WindowsOf(run.ProcessId()).size() == 1; }));
    HWND window = WindowsOf(run.ProcessId()).front();
    const UINT stateMessage = WM_APP + 0x202;
    for (WPARAM number : {WPARAM(0), WPARAM(1), WPARAM(0x10)}) {
        DWORD_PTR result = 0;
        SendMessageTimeoutW(window, stateMessage, number, 0x10, SMTO_NORMAL, 5000, &result);
        EXPECT_EQ(result, 0u);
    }
    EXPECT_FALSE(run.WaitForExit(500)) << "the program ended";
    EXPECT_EQ(WindowsOf(run.ProcessId()).size(), 1u);
    CloseAll(run.ProcessId());
    ExpectCleanExit(run);
}
