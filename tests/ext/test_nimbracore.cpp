// nimbracore.dll: its exports, the host registration and the leak report.

// Shared interfaces
#include "ext/NimbraIntf.h"

// Toolkit
#include "lw/LHandles.h"

// Platform
#include <windows.h>

// Standard library
#include <string>

#include <gtest/gtest.h>

namespace {

std::wstring TestDirectory()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L'\\') + 1);
}

struct TCoreExports {
    int32_t(__stdcall* GetInterfaceVersion)();
    void(__stdcall* GetCurrentThread)(IUnknown**);
    void(__stdcall* GetApplication)(IApplication**);
    void(__stdcall* SetMain)(IMainLink*);
    void*(__stdcall* SysReallocMem)(void*, size_t);
    int32_t(__stdcall* SysFreeMem)(void*);
    void*(__stdcall* SysGetMem)(size_t);
};

template <class F>
void Resolve(HMODULE module, const char* name, F& slot)
{
    slot = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

class NimbraCore : public ::testing::Test {
protected:
    void SetUp() override
    {
        FModule.reset(LoadLibraryW((TestDirectory() + L"nimbracore.dll").c_str()));
        ASSERT_TRUE(FModule) << "nimbracore.dll beside the tests";
        HMODULE m = FModule.get();
        Resolve(m, "Nimbra@GetInterfaceVersion", Core.GetInterfaceVersion);
        Resolve(m, "Nimbra@GetCurrentThread", Core.GetCurrentThread);
        Resolve(m, "Nimbra@GetApplication", Core.GetApplication);
        Resolve(m, "Nimbra@SetMain", Core.SetMain);
        Resolve(m, "Nimbra@SysReallocMem", Core.SysReallocMem);
        Resolve(m, "Nimbra@SysFreeMem", Core.SysFreeMem);
        Resolve(m, "Nimbra@SysGetMem", Core.SysGetMem);
    }
    void TearDown() override
    {
        if (Core.SetMain != nullptr)
            Core.SetMain(nullptr);
    }

    UniqueModule FModule;
    TCoreExports Core{};
};

// A host registration that counts its references and answers the three
// forwarded calls.
class TFakeMain : public IMainLink {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override
    {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++Refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --Refs; }
    void STDMETHODCALLTYPE GetApplication(IApplication** result) override
    {
        ++ApplicationCalls;
        *result = nullptr;
    }
    void STDMETHODCALLTYPE GetCurrentThread(IUnknown** result) override
    {
        ++ThreadCalls;
        *result = this;
        AddRef();
    }
    int32_t STDMETHODCALLTYPE GetInterfaceVersion() override { return Version; }

    ULONG Refs = 0;
    int ApplicationCalls = 0;
    int ThreadCalls = 0;
    int32_t Version = kInterfaceVersion;
};

} // namespace

TEST_F(NimbraCore, ExportsTheSevenNamesWithTheirOrdinals)
{
    const char* names[] = {"Nimbra@GetInterfaceVersion", "Nimbra@GetCurrentThread", "Nimbra@GetApplication",
                           "Nimbra@SetMain", "Nimbra@SysReallocMem", "Nimbra@SysFreeMem", "Nimbra@SysGetMem"};
    for (int ordinal = 1; ordinal <= 7; ++ordinal) {
        FARPROC byName = GetProcAddress(FModule.get(), names[ordinal - 1]);
        FARPROC byOrdinal = GetProcAddress(FModule.get(), MAKEINTRESOURCEA(ordinal));
        EXPECT_NE(byName, nullptr) << names[ordinal - 1];
        EXPECT_EQ(byName, byOrdinal) << names[ordinal - 1] << " is not ordinal " << ordinal;
    }
    // No decorated second names.
    EXPECT_EQ(GetProcAddress(FModule.get(), "NimbraSysGetMem@4"), nullptr);
    EXPECT_EQ(GetProcAddress(FModule.get(), "_NimbraSysGetMem@4"), nullptr);
    EXPECT_EQ(GetProcAddress(FModule.get(), MAKEINTRESOURCEA(8)), nullptr);
}

TEST_F(NimbraCore, SetMainHoldsOneReferenceAndForwards)
{
    TFakeMain first, second;
    Core.SetMain(&first);
    EXPECT_EQ(first.Refs, 1u);
    EXPECT_EQ(Core.GetInterfaceVersion(), 248);
    first.Version = 7;
    EXPECT_EQ(Core.GetInterfaceVersion(), 7);

    IUnknown* thread = nullptr;
    Core.GetCurrentThread(&thread);
    EXPECT_EQ(thread, static_cast<IUnknown*>(&first));
    thread->Release();
    IApplication* app = reinterpret_cast<IApplication*>(1);
    Core.GetApplication(&app);
    EXPECT_EQ(app, nullptr);
    EXPECT_EQ(first.ThreadCalls, 1);
    EXPECT_EQ(first.ApplicationCalls, 1);

    Core.SetMain(&second);
    EXPECT_EQ(first.Refs, 0u) << "the first registration is released exactly once";
    EXPECT_EQ(second.Refs, 1u);
    Core.SetMain(&second);
    EXPECT_EQ(second.Refs, 1u) << "registering the same host again keeps one reference";
    Core.SetMain(nullptr);
    EXPECT_EQ(second.Refs, 0u);
    EXPECT_EQ(first.Refs, 0u);
}

TEST_F(NimbraCore, HeapBlocksAllocateResizeAndFree)
{
    auto* block = static_cast<unsigned char*>(Core.SysGetMem(16));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 16; ++i)
        block[i] = static_cast<unsigned char>(i);
    auto* grown = static_cast<unsigned char*>(Core.SysReallocMem(block, 1 << 20));
    ASSERT_NE(grown, nullptr);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(grown[i], i) << "contents survive the resize";
    EXPECT_EQ(Core.SysFreeMem(grown), 0);

    // A null block allocates; size 0 frees.
    void* fresh = Core.SysReallocMem(nullptr, 8);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(Core.SysReallocMem(fresh, 0), nullptr);
    EXPECT_EQ(Core.SysReallocMem(nullptr, 0), nullptr);
    EXPECT_EQ(Core.SysFreeMem(nullptr), 0);
    // An impossible size fails without touching the block.
    void* kept = Core.SysGetMem(4);
    EXPECT_EQ(Core.SysReallocMem(kept, static_cast<size_t>(-16)), nullptr);
    EXPECT_EQ(Core.SysFreeMem(kept), 0);
    // Nothing is left over for the leak report when the library unloads.
}

namespace {

struct TProbeRun {
    DWORD ExitCode = STILL_ACTIVE;
    std::string Report;        // the text of the "MemCheck" box, if one came up
    std::string DebuggerText;  // what went to the debugger, when run under one
};

struct TFindBox {
    DWORD ProcessId;
    HWND Box;
};

BOOL CALLBACK FindMemCheckBox(HWND window, LPARAM param)
{
    auto* find = reinterpret_cast<TFindBox*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char caption[64] = {};
    GetWindowTextA(window, caption, sizeof caption);
    if (pid == find->ProcessId && std::string(caption) == "MemCheck") {
        find->Box = window;
        return FALSE;
    }
    return TRUE;
}

PROCESS_INFORMATION StartProbe(int leaks, DWORD flags)
{
    std::wstring command = L"\"" + TestDirectory() + L"memcheck_probe.exe\" " + std::to_wstring(leaks);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, flags, nullptr,
                        TestDirectory().c_str(), &startup, &process))
        ADD_FAILURE() << "cannot start memcheck_probe.exe: " << GetLastError();
    return process;
}

// Runs the probe; answers the leak box if one comes up.
TProbeRun RunProbe(int leaks)
{
    TProbeRun run;
    PROCESS_INFORMATION process = StartProbe(leaks, 0);
    UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
    if (!processHandle)
        return run;
    for (int waited = 0; waited < 30000; waited += 50) {
        if (WaitForSingleObject(processHandle.get(), 50) == WAIT_OBJECT_0)
            break;
        TFindBox find{process.dwProcessId, nullptr};
        EnumWindows(FindMemCheckBox, reinterpret_cast<LPARAM>(&find));
        if (find.Box != nullptr && run.Report.empty()) {
            char text[512] = {};
            GetDlgItemTextA(find.Box, 0xFFFF, text, sizeof text);
            run.Report = text;
            PostMessageW(find.Box, WM_COMMAND, IDOK, 0);
        }
    }
    if (WaitForSingleObject(processHandle.get(), 5000) != WAIT_OBJECT_0)
        TerminateProcess(processHandle.get(), 99);
    GetExitCodeProcess(processHandle.get(), &run.ExitCode);
    return run;
}

// Runs the probe under this process as its debugger, collecting its
// debug output.
TProbeRun DebugProbe(int leaks)
{
    TProbeRun run;
    PROCESS_INFORMATION process = StartProbe(leaks, DEBUG_ONLY_THIS_PROCESS);
    UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
    if (!processHandle)
        return run;
    DEBUG_EVENT event{};
    while (WaitForDebugEvent(&event, 30000)) {
        DWORD status = DBG_CONTINUE;
        if (event.dwDebugEventCode == OUTPUT_DEBUG_STRING_EVENT) {
            const OUTPUT_DEBUG_STRING_INFO& info = event.u.DebugString;
            std::string text(info.nDebugStringLength, '\0');
            SIZE_T read = 0;
            ReadProcessMemory(processHandle.get(), info.lpDebugStringData, text.data(), text.size(), &read);
            text.resize(read);
            while (!text.empty() && text.back() == '\0')
                text.pop_back();
            run.DebuggerText += text;
        } else if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT) {
            CloseHandle(event.u.CreateProcessInfo.hFile);
        } else if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) {
            CloseHandle(event.u.LoadDll.hFile);
        } else if (event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT &&
                   event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
            status = DBG_EXCEPTION_NOT_HANDLED;
        }
        bool exited = event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT;
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
        if (exited)
            break;
    }
    WaitForSingleObject(processHandle.get(), 5000);
    GetExitCodeProcess(processHandle.get(), &run.ExitCode);
    return run;
}

} // namespace

TEST(MemCheck, BlocksCrossBinariesAndNothingIsReportedWhenAllAreFreed)
{
    TProbeRun run = RunProbe(0);
    EXPECT_EQ(run.ExitCode, 0u);
    EXPECT_EQ(run.Report, "");
}

namespace {

// Watches this process for the "MemCheck" box while the library unloads on
// the test's thread, and answers it.
struct TBoxWatch {
    std::string Report;
    volatile bool Done = false;
    UniqueHandle Started{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

DWORD WINAPI WatchForBox(void* param)
{
    auto* watch = static_cast<TBoxWatch*>(param);
    // The first window calls of a thread may load libraries: make them
    // before the unload takes the loader lock.
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    TFindBox warmUp{GetCurrentProcessId(), nullptr};
    EnumWindows(FindMemCheckBox, reinterpret_cast<LPARAM>(&warmUp));
    SetEvent(watch->Started.get());
    while (!watch->Done) {
        TFindBox find{GetCurrentProcessId(), nullptr};
        EnumWindows(FindMemCheckBox, reinterpret_cast<LPARAM>(&find));
        if (find.Box != nullptr) {
            char text[512] = {};
            GetDlgItemTextA(find.Box, 0xFFFF, text, sizeof text);
            watch->Report = text;
            PostMessageW(find.Box, WM_COMMAND, IDOK, 0);
            return 0;
        }
        Sleep(20);
    }
    return 0;
}

} // namespace

TEST_F(NimbraCore, ThreeLeakedBlocksAreReportedInABoxWhenTheLibraryUnloads)
{
    for (int i = 0; i < 3; ++i)
        ASSERT_NE(Core.SysGetMem(32), nullptr);
    Core.SetMain(nullptr);
    Core = TCoreExports{};

    TBoxWatch watch;
    UniqueHandle watcher(CreateThread(nullptr, 0, WatchForBox, &watch, 0, nullptr));
    ASSERT_TRUE(watcher);
    // The unload holds the loader lock, which a starting thread needs.
    ASSERT_EQ(WaitForSingleObject(watch.Started.get(), 10000), WAIT_OBJECT_0);
    // Returns once the box is answered.
    FModule.reset();
    watch.Done = true;
    WaitForSingleObject(watcher.get(), 10000);
    EXPECT_EQ(watch.Report, "Memory leaks were 3 times.");
}

TEST(MemCheck, UnderADebuggerTheReportGoesToTheDebugger)
{
    TProbeRun run = DebugProbe(3);
    EXPECT_EQ(run.DebuggerText, "MemCheck: Memory leaks were 3 times.");
    EXPECT_EQ(run.ExitCode, 0u);
    run = DebugProbe(0);
    EXPECT_EQ(run.DebuggerText, "");
}
