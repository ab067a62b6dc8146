// The application object with real window threads, in this process: what
// the hand-off does with a window that has gone.

// Own
#include "app/UMain.h"

// Toolkit
#include "lw/LExceptions.h"
#include "lw/LHandles.h"

// Platform
#include <windows.h>

// Standard library
#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

// Every allocation of this program is counted, so a test can tell that a
// cycle of work left nothing behind.
namespace {
std::atomic<long> g_liveBlocks{0};
}

void* operator new(size_t size)
{
    void* block = std::malloc(size != 0 ? size : 1);
    if (block == nullptr)
        throw std::bad_alloc();
    ++g_liveBlocks;
    return block;
}

void operator delete(void* block) noexcept
{
    if (block != nullptr) {
        --g_liveBlocks;
        std::free(block);
    }
}

void operator delete(void* block, size_t) noexcept
{
    operator delete(block);
}

namespace {

// A module's listener that fails a window thread's start when armed (within
// one program a listener's exception reaches the thread).
std::atomic<bool> g_failThreadStart{false};

class TFailingListener : public TInterfaced<TInterfacedObject, IExtension, IThreadListener> {
public:
    HRESULT STDMETHODCALLTYPE Initialize() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Finalize() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ThreadStarted(IUnknown*) override
    {
        if (g_failThreadStart)
            throw std::runtime_error("listener failed");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ThreadEnded(IUnknown*) override { return S_OK; }
};

// Reports are collected instead of shown.
std::vector<std::wstring> g_reports;
CRITICAL_SECTION g_reportsLock;

void CollectReport(const std::wstring& message, HWND)
{
    EnterCriticalSection(&g_reportsLock);
    g_reports.push_back(message);
    LeaveCriticalSection(&g_reportsLock);
}

size_t ReportCount()
{
    EnterCriticalSection(&g_reportsLock);
    size_t count = g_reports.size();
    LeaveCriticalSection(&g_reportsLock);
    return count;
}

class TApplicationEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        FApplication = new TApplication;
        FApplication->CreateMainThread();
        // Windows show their folder's display path, from the folder manager.
        FFolders = new TFolderManager(nullptr);
        InitializeCriticalSection(&g_reportsLock);
        SetExceptionDisplay(CollectReport);
        ComPtr<IExtension> listener(new TFailingListener);
        FApplication->RegisterExtension(listener.get());
    }
    void TearDown() override
    {
        T0Object::Free(FFolders);
        FApplication->WaitForThreads(10000);
        T0Object::Free(FApplication);
    }

private:
    TApplication* FApplication = nullptr;
    TFolderManager* FFolders = nullptr;
};

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new TApplicationEnvironment);

bool WaitUntil(const std::function<bool()>& done, DWORD timeout = 10000)
{
    for (DWORD waited = 0; waited < timeout; waited += 20) {
        if (done())
            return true;
        Sleep(20);
    }
    return done();
}

std::wstring Caption(HWND window)
{
    wchar_t text[512] = {};
    GetWindowTextW(window, text, 512);
    return text;
}

TViewThread* OpenAndWait(const std::wstring& folder)
{
    UniqueHandle ready(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    TViewThread* thread = App()->OpenWindow(TPath::FromPath(folder), ready.get());
    EXPECT_EQ(WaitForSingleObject(ready.get(), 10000), WAIT_OBJECT_0);
    return thread;
}

void CloseAndReap(TViewThread* thread)
{
    PostMessageW(thread->FilerWindow()->Handle(), WM_CLOSE, 0, 0);
    ASSERT_EQ(WaitForSingleObject(thread->ThreadHandle(), 10000), WAIT_OBJECT_0);
    App()->FreeFinishedThreads();
}

// The window threads only: folders have watcher threads of their own.
int ViewThreads()
{
    int count = 0;
    App()->ForEachThread([&](T0Thread* thread) { count += dynamic_cast<TViewThread*>(thread) != nullptr; });
    return count;
}

std::wstring TempFolder()
{
    wchar_t temp[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp, length > 3 ? length - 1 : length);
}

} // namespace

TEST(HandOff, TheFirstRequestLandsInTheTargetWindowThroughItsQueue)
{
    TViewThread* first = OpenAndWait(L"C:\\");
    App()->SetDdeTarget(first);
    const std::wstring folder = TempFolder();
    ASSERT_TRUE(App()->ServeCommand(BuildOpenCommand(folder)));
    EXPECT_EQ(App()->DdeTarget(), nullptr) << "only the first request goes to the first window";
    HWND window = first->FilerWindow()->Handle();
    EXPECT_TRUE(WaitUntil([&] { return Caption(window) == folder; })) << Caption(window);
    EXPECT_EQ(ViewThreads(), 1) << "no second window for the first request";
    CloseAndReap(first);
    EXPECT_EQ(ViewThreads(), 0);
}

TEST(HandOff, AnEndedTargetWindowIsForgottenAndTheRequestOpensANewWindow)
{
    TViewThread* first = OpenAndWait(L"C:\\");
    App()->SetDdeTarget(first);
    CloseAndReap(first);
    // The thread object is gone now: nothing may still point at it.
    EXPECT_EQ(App()->DdeTarget(), nullptr);
    ASSERT_EQ(ViewThreads(), 0);

    ASSERT_TRUE(App()->ServeCommand(BuildOpenCommand(TempFolder())));
    TViewThread* opened = nullptr;
    App()->ForEachThread([&](T0Thread* thread) { opened = dynamic_cast<TViewThread*>(thread); });
    ASSERT_NE(opened, nullptr) << "the request opened no window";
    ASSERT_TRUE(WaitUntil([&] { return opened->FilerWindow() != nullptr && IsWindowVisible(opened->FilerWindow()->Handle()); }));
    CloseAndReap(opened);
    EXPECT_EQ(ViewThreads(), 0);
}

TEST(HandOff, ARequestQueuedForAWindowThatClosesOpensAWindowOfItsOwn)
{
    TViewThread* target = OpenAndWait(L"C:\\");
    App()->SetDdeTarget(target);
    const std::wstring folder = TempFolder();
    {
        // The window cannot take either message before both are queued: it
        // closes first, with the acknowledged request still queued.
        TExclusiveLock lock;
        PostMessageW(target->FilerWindow()->Handle(), WM_CLOSE, 0, 0);
        EXPECT_TRUE(App()->ServeCommand(BuildOpenCommand(folder)));
    }
    ASSERT_EQ(WaitForSingleObject(target->ThreadHandle(), 10000), WAIT_OBJECT_0);
    App()->FreeFinishedThreads();
    TViewThread* opened = nullptr;
    ASSERT_TRUE(WaitUntil([&] {
        App()->ForEachThread([&](T0Thread* thread) { opened = dynamic_cast<TViewThread*>(thread); });
        return opened != nullptr && opened->FilerWindow() != nullptr &&
               Caption(opened->FilerWindow()->Handle()) == folder;
    })) << "the request was lost with its window";
    EXPECT_EQ(ViewThreads(), 1);
    CloseAndReap(opened);
    // Once closed, the window takes no more requests: the next one opens a
    // window as well.
    EXPECT_EQ(ViewThreads(), 0);
}

TEST(StartUp, AWindowThreadThatFailsSaysSoAndIsNoHandOffTarget)
{
    size_t reports = ReportCount();
    g_failThreadStart = true;
    UniqueHandle ready(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    TViewThread* thread = App()->OpenWindow(TPath::FromPath(L"C:\\"), ready.get());
    DWORD waited = WaitForSingleObject(ready.get(), 10000);
    g_failThreadStart = false;
    ASSERT_EQ(waited, WAIT_OBJECT_0) << "the start-up would wait for ever";
    EXPECT_FALSE(thread->WindowReady());
    ASSERT_EQ(WaitForSingleObject(thread->ThreadHandle(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(ReportCount(), reports + 1) << "the failure is reported";
    // The thread has ended; it must not become the target of hand-offs.
    App()->SetDdeTarget(thread);
    EXPECT_EQ(App()->DdeTarget(), nullptr);
    App()->FreeFinishedThreads();
    EXPECT_EQ(ViewThreads(), 0);

    // A window that does come says so.
    TViewThread* good = OpenAndWait(L"C:\\");
    EXPECT_TRUE(good->WindowReady());
    CloseAndReap(good);
}

TEST(HandOff, AHandOffThatThrowsIsReportedAndNotTakenForSuccess)
{
    size_t reports = ReportCount();
    EXPECT_EQ(HandOffAndReport(L"C:\\", [](const std::wstring&) -> bool { throw Exception(L"DDE failed"); }), 2);
    EXPECT_EQ(ReportCount(), reports + 1);
    EXPECT_EQ(HandOffAndReport(L"C:\\", [](const std::wstring& path) { return path == L"C:\\"; }), 0);
}

// A path resolution that hangs, as one naming a server that does not
// answer: it says when it began and waits (at most 5 s) to be let go.
struct TSlowResolver {
    static TPath Resolve(std::wstring_view text)
    {
        SetEvent(g_resolving);
        WaitForSingleObject(g_release, 5000);
        return ParsePath(text);
    }
    static DWORD WINAPI Serve(void* command)
    {
        App()->ServeCommand(*static_cast<std::wstring*>(command));
        return 0;
    }
    static inline HANDLE g_resolving = nullptr;
    static inline HANDLE g_release = nullptr;
};

TEST(HandOff, AHandedPathIsResolvedWithoutTheLockSoNoWindowWaitsForIt)
{
    UniqueHandle resolving(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    TSlowResolver::g_resolving = resolving.get();
    TSlowResolver::g_release = release.get();
    App()->SetPathResolver(&TSlowResolver::Resolve);
    TViewThread* target = OpenAndWait(L"C:\\");
    App()->SetDdeTarget(target);
    const std::wstring folder = TempFolder();
    std::wstring command = BuildOpenCommand(folder);
    UniqueHandle server(CreateThread(nullptr, 0, TSlowResolver::Serve, &command, 0, nullptr));
    ASSERT_EQ(WaitForSingleObject(resolving.get(), 10000), WAIT_OBJECT_0);
    // While the path is being resolved, a writer (any window's idle step)
    // gets the lock at once.
    DWORD start = GetTickCount();
    {
        TExclusiveLock lock;
    }
    DWORD waited = GetTickCount() - start;
    SetEvent(release.get());
    EXPECT_LT(waited, 1000u) << "the lock was held while the path was resolved";
    EXPECT_EQ(WaitForSingleObject(server.get(), 10000), WAIT_OBJECT_0);
    App()->SetPathResolver(nullptr);
    HWND window = target->FilerWindow()->Handle();
    EXPECT_TRUE(WaitUntil([&] { return Caption(window) == folder; })) << "the request still lands";
    CloseAndReap(target);
}

TEST(ShutDown, ModulesStayLoadedWhileAThreadStillRunsAndGoOnceAllHaveEnded)
{
    std::vector<HMODULE> modules{LoadLibraryW(L"probe_module.dll")};
    ASSERT_NE(modules[0], nullptr);
    TViewThread* window = OpenAndWait(L"C:\\");
    EXPECT_FALSE(ReleaseModules(*App(), modules, 100));
    EXPECT_TRUE(modules.empty());
    EXPECT_NE(GetModuleHandleW(L"probe_module.dll"), nullptr) << "unloaded under a running thread";
    CloseAndReap(window);
    {
        // What shut-down does before: no folder is left, so no watcher.
        TExclusiveLock lock;
        FolderManager()->PurgeFolders();
    }
    modules.push_back(GetModuleHandleW(L"probe_module.dll"));
    EXPECT_TRUE(ReleaseModules(*App(), modules, 10000));
    EXPECT_EQ(GetModuleHandleW(L"probe_module.dll"), nullptr);
}

TEST(HandOff, ExactlyOneSideGetsTheTicket)
{
    {
        // The instance claims first: the sender cannot take it back, and a
        // second command with the same ticket is not taken.
        THandOffTicket ticket;
        ASSERT_FALSE(ticket.Name().empty());
        EXPECT_TRUE(THandOffTicket::Claim(ticket.Name()));
        EXPECT_FALSE(THandOffTicket::Claim(ticket.Name()));
        EXPECT_FALSE(ticket.Withdraw());
    }
    {
        // The sender gives up first: a late command is not taken; put back,
        // the ticket can be claimed once more.
        THandOffTicket ticket;
        EXPECT_TRUE(ticket.Withdraw());
        EXPECT_FALSE(THandOffTicket::Claim(ticket.Name()));
        ticket.PutBack();
        EXPECT_TRUE(THandOffTicket::Claim(ticket.Name()));
        EXPECT_FALSE(ticket.Withdraw());
    }
    std::wstring gone;
    {
        THandOffTicket ticket;
        gone = ticket.Name();
    }
    EXPECT_FALSE(THandOffTicket::Claim(gone)) << "a sender that ended took its ticket along";
    THandOffTicket a, b;
    EXPECT_NE(a.Name(), b.Name());
}

// A window on a thread of its own that answers state requests after a
// delay, as a window does whose folder is on a slow network.
struct TSlowAnswerer {
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_NIMBRA_STATE)
            return AnswerWindowState(
                wParam,
                [](void*, std::wstring_view item, std::wstring& answer) {
                    Sleep(g_delay);
                    ++g_answered;
                    answer = L"answer to " + std::wstring(item);
                    return item != L"Unknown";
                },
                nullptr);
        return DefWindowProcW(window, message, wParam, lParam);
    }
    static DWORD WINAPI Thread(void*)
    {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = Proc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"TestSlowAnswerer";
        RegisterClassW(&windowClass);
        g_window = CreateWindowW(L"TestSlowAnswerer", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0)
            DispatchMessageW(&message);
        return 0;
    }
    static inline std::atomic<DWORD> g_delay{0};
    static inline std::atomic<int> g_answered{0};
    static inline std::atomic<HWND> g_window{nullptr};
};

TEST(StateRequest, ALateAnswerAndAStrayMessageWriteNowhere)
{
    DWORD threadId = 0;
    UniqueHandle thread(CreateThread(nullptr, 0, TSlowAnswerer::Thread, nullptr, 0, &threadId));
    ASSERT_TRUE(WaitUntil([] { return TSlowAnswerer::g_window.load() != nullptr; }));
    HWND window = TSlowAnswerer::g_window;

    std::wstring answer;
    ASSERT_TRUE(AskWindowState(window, L"Folder", answer, 5000));
    EXPECT_EQ(answer, L"answer to Folder");
    EXPECT_FALSE(AskWindowState(window, L"Unknown", answer, 5000));

    // Numbers nobody asked under, and what another process might send.
    DWORD_PTR result = 7;
    for (WPARAM stray : {WPARAM(0), WPARAM(0x10), ~WPARAM(0)}) {
        int before = TSlowAnswerer::g_answered;
        ASSERT_NE(SendMessageTimeoutW(window, WM_NIMBRA_STATE, stray, 0x10, SMTO_NORMAL, 5000, &result), 0);
        EXPECT_EQ(result, 0u);
        EXPECT_EQ(TSlowAnswerer::g_answered, before) << "an unknown request was answered";
    }

    // The asker gives up before the answer comes: the answer lands in the
    // request, which goes once the answering side lets go of it too.
    answer = std::wstring();
    answer.shrink_to_fit();
    long blocks = g_liveBlocks;
    TSlowAnswerer::g_delay = 600;
    int before = TSlowAnswerer::g_answered;
    const DWORD start = GetTickCount();
    {
        std::wstring late = L"untouched";
        EXPECT_FALSE(AskWindowState(window, L"Folder", late, 100));
        EXPECT_EQ(late, L"untouched");
        EXPECT_LT(GetTickCount() - start, 500u) << "the asker waits only as long as it said";
    }
    ASSERT_TRUE(WaitUntil([&] { return TSlowAnswerer::g_answered > before; }));
    TSlowAnswerer::g_delay = 0;
    // The window thread is done with it once it answers the next request.
    ASSERT_TRUE(AskWindowState(window, L"Folder", answer, 5000));
    answer = std::wstring();
    answer.shrink_to_fit();
    EXPECT_EQ(g_liveBlocks, blocks) << "the abandoned request was kept";

    PostThreadMessageW(threadId, WM_QUIT, 0, 0);
    WaitForSingleObject(thread.get(), 10000);
}

namespace {

constexpr wchar_t kReleaseEvent[] = L"NimbraTestRunProcessRelease";

} // namespace

// Run as a program of its own by the next test: it ends when the test lets
// it. In the test program's own run the event is not there and it ends at once.
TEST(HostServicesHelper, EndsWhenReleased)
{
    UniqueHandle release(OpenEventW(SYNCHRONIZE, FALSE, kReleaseEvent));
    if (release)
        WaitForSingleObject(release.get(), 20000);
}

// What the host does for modules: its folder, new windows and command-line
// windows on threads of their own, and programs it starts and waits for
// without holding up the other windows.
TEST(HostServices, WindowsCommandLinesAndProcesses)
{
    ComPtr<IHostServices> services;
    ASSERT_EQ(App()->QueryInterface(__uuidof(IHostServices), reinterpret_cast<void**>(services.put())), S_OK);
    WideString folder;
    ASSERT_EQ(services->GetProgramFolder(folder.put()), S_OK);
    wchar_t program[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring own = program;
    EXPECT_EQ(std::wstring(folder.view()), own.substr(0, own.find_last_of(L'\\') + 1));

    const std::wstring temp = TempFolder();
    TPath location = TPath::FromPath(temp);
    ComPtr<IUnknown> window;
    ASSERT_EQ(services->NewViewThread(&location, window.put()), S_OK);
    ASSERT_TRUE(window);
    TViewThread* opened = nullptr;
    ASSERT_TRUE(WaitUntil([&] {
        App()->ForEachThread([&](T0Thread* thread) { opened = opened ? opened : dynamic_cast<TViewThread*>(thread); });
        return opened != nullptr && opened->FilerWindow() != nullptr && Caption(opened->FilerWindow()->Handle()) == temp;
    }));
    window.reset();
    CloseAndReap(opened);

    ComPtr<IUnknown> commandLine;
    ASSERT_EQ(services->NewCommandLineThread(WideString(L"host-services-test").get(), WideString(temp).get(),
                                             WideString(L"echo x").get(), 0, 0, commandLine.put()),
              S_OK);
    HWND commandWindow = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (commandWindow = FindWindowW(nullptr, L"host-services-test")) != nullptr; }));
    commandLine.reset();
    PostMessageW(commandWindow, WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(commandWindow); }));

    bool created = true;
    ASSERT_EQ(services->RunProcess(WideString(L"no-such-program-here.exe").get(), WideString(temp).get(), true, &created),
              S_OK);
    EXPECT_FALSE(created);

    // This thread holds the lock while the program runs; another thread
    // takes it exclusively meanwhile, then lets the program end.
    UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, kReleaseEvent));
    std::atomic<bool> taken{false};
    // Held before the other thread starts: it cannot slip in before the call.
    std::optional<TSharedLock> held(std::in_place);
    std::thread other([&] {
        for (int i = 0; i < 500 && !taken; ++i) {
            if (App()->AppLock().TryExclusive()) {
                App()->AppLock().ReleaseExclusive();
                taken = true;
            }
            Sleep(20);
        }
        SetEvent(release.get());
    });
    std::wstring line = L"\"" + own + L"\" --gtest_filter=HostServicesHelper.EndsWhenReleased";
    created = false;
    EXPECT_EQ(services->RunProcess(WideString(line).get(), WideString(temp).get(), true, &created), S_OK);
    held.reset();
    other.join();
    EXPECT_TRUE(created);
    EXPECT_TRUE(taken) << "the lock was free while the program ran";
}
