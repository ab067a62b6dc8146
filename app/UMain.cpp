#include "app/UMain.h"

// Own
#include "app/nimyaml.h"

// Shared interfaces
#include "ext/core/nimbracore.h"

// File operations
#include "fileop/UActionCommandLine.h"

// Folders
#include "folders/ShlUtils.h"

// Toolkit
#include "lw/LDDEMan.h"
#include "lw/LExceptions.h"
#include "lw/LStrings.h"

// Platform
#include <float.h>
#include <ole2.h>
#include <shellapi.h>
#include <shlobj.h>

// Standard library
#include <exception>
#include <memory>
#include <mutex>

namespace {

TApplication* g_app = nullptr;
const TSkin* g_skin = nullptr;

// How long a second start waits in all for the running instance to take its
// folder.
constexpr DWORD kHandOffTimeout = 10000;
constexpr const wchar_t* kHandOffFailed = L"起動中のウィンドウにフォルダを渡せませんでした.";
constexpr const wchar_t* kFirstWindowFailed = L"最初のウィンドウを開けませんでした.";
constexpr const wchar_t* kHandOffTicketPrefix = L"NimbraHandOff.";

// How long a DDE request for a window's state waits for the window.
constexpr DWORD kStateRequestTimeout = 5000;

// How long shut-down waits for the threads the last folders leave behind
// (their watchers) before the modules are unloaded.
constexpr DWORD kShutdownThreadWait = 10000;

// Answers a DDE request for a piece of the state of the topmost filer
// window, asked of the window's own thread.
bool AnswerStateRequest(std::wstring_view item, std::wstring& answer)
{
    HWND window = FindFilerWindow(nullptr, nullptr);
    if (window == nullptr)
        return false;
    return AskWindowState(window, item, answer, kStateRequestTimeout);
}

// Whether an execute on the DDE topic is taken: only an "open" is, and one
// that names a ticket only when this instance claims it (its sender may have
// given up on it and claimed it back).
bool TakeHandOffCommand(std::wstring_view text)
{
    THandOffCommand command = ParseHandOffCommand(text);
    if (!IsOpenCommand(command))
        return false;
    if (command.Ticket.empty())
        return true;
    // Only tickets of this program: a command must not make us wait on any
    // object of the session.
    if (command.Ticket.rfind(kHandOffTicketPrefix, 0) != 0)
        return false;
    return THandOffTicket::Claim(command.Ticket);
}

} // namespace

// ---------------------------------------------------------------------------
// THandOffTicket

THandOffTicket::THandOffTicket()
{
    static LONG counter = 0;
    std::wstring name = kHandOffTicketPrefix + std::to_wstring(GetCurrentProcessId()) + L"." +
                        std::to_wstring(GetTickCount()) + L"." + std::to_wstring(InterlockedIncrement(&counter));
    FSemaphore.reset(CreateSemaphoreW(nullptr, 1, 1, name.c_str()));
    if (FSemaphore && GetLastError() != ERROR_ALREADY_EXISTS)
        FName = std::move(name);
    else
        FSemaphore.reset();
}

bool THandOffTicket::Withdraw()
{
    return !FSemaphore || WaitForSingleObject(FSemaphore.get(), 0) == WAIT_OBJECT_0;
}

void THandOffTicket::PutBack()
{
    if (FSemaphore)
        ReleaseSemaphore(FSemaphore.get(), 1, nullptr);
}

bool THandOffTicket::Claim(const std::wstring& name)
{
    // A sender that has ended took its ticket with it: nothing to claim.
    UniqueHandle semaphore(OpenSemaphoreW(SYNCHRONIZE | SEMAPHORE_MODIFY_STATE, FALSE, name.c_str()));
    return semaphore && WaitForSingleObject(semaphore.get(), 0) == WAIT_OBJECT_0;
}

TApplication* App()
{
    return g_app;
}

const TSkin* Skin()
{
    return g_skin;
}

std::wstring ProgramDirectory()
{
    std::wstring path = ProgramFileName();
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

HMODULE SafeLoadLibrary(const std::wstring& path, UINT errorMode)
{
    // The calling thread's own error mode: the loader honours it, and the
    // other threads' modes stay as they are meanwhile.
    DWORD previousMode = 0;
    bool modeSet = SetThreadErrorMode(errorMode, &previousMode) != FALSE;
    unsigned int controlWord = _control87(0, 0);
    HMODULE module = LoadLibraryW(path.c_str());
    // A library's start-up may change the floating-point control word or
    // leave exceptions pending.
    _clearfp();
    _control87(controlWord, 0xFFFFFFFF);
    if (modeSet)
        SetThreadErrorMode(previousMode, nullptr);
    return module;
}

// ---------------------------------------------------------------------------
// Window captions

std::wstring LocationDisplayName(const TPath& location)
{
    if (location.IDList == nullptr)
        return std::wstring(location.PathView());
    ComPtr<IShellFolder> desktop = DesktopFolder();
    std::wstring name = desktop ? DisplayNameOf(desktop.get(), location.IDList, SHGDN_NORMAL) : std::wstring();
    return name.empty() ? std::wstring(location.PathView()) : name;
}

// ---------------------------------------------------------------------------
// TViewThread

TViewThread::TViewThread(TPath startLocation, HANDLE ready)
    : FStartLocation(std::move(startLocation)), FReadyEvent(ready)
{
}

void TViewThread::Initialize()
{
    try {
        T0GUIThread::Initialize();
        FOleInitialized = SUCCEEDED(OleInitialize(nullptr));
    } catch (...) {
        // The thread goes on to its end without a window: whoever waits for
        // the window hears so now.
        SignalReady(false);
        throw;
    }
}

void TViewThread::Prepare()
{
    try {
        if (TApplication* app = App())
            app->NotifyThreadListeners(this, true);

        int32_t previous = Application()->BeginShared();
        try {
            FActionManager = new TThreadActionManager;
            FActionManager->SetOwner(this);
            auto* window = new TFilerWindow(FStartLocation);
            window->SetOwner(this);
            window->CreateFilerWindow();
            FFilerWindow = window;
            SetMainWindow(FFilerWindow);
            ReadWindowSettingsReporting();
        } catch (...) {
            Application()->EndShared(previous);
            throw;
        }
        Application()->EndShared(previous);
    } catch (...) {
        SignalReady(false);
        throw;
    }
    FStartLocation.Clear();
    SignalReady(true);
}

void TViewThread::SignalReady(bool windowReady)
{
    HANDLE ready = std::exchange(FReadyEvent, nullptr);
    if (ready == nullptr)
        return;
    // Written before the event is set: the waiter reads it after its wait.
    FWindowReady = windowReady;
    SetEvent(ready);
}

void TViewThread::Finalize()
{
    TFilerWindow* window = nullptr;
    {
        // The hand-off reads this thread's window under the lock: from here
        // on it finds none, and the thread is no longer its target.
        TExclusiveLock lock;
        window = std::exchange(FFilerWindow, nullptr);
        if (TApplication* app = App())
            app->ViewThreadEnding(this);
    }
    if (TApplication* app = App())
        app->NotifyThreadListeners(this, false);
    {
        // Other threads walk the views of every window under the exclusive
        // hold (the destination dialog, the idle step): the teardown keeps
        // them out until the views and their windows are gone.
        TSharedLock held;
        if (window != nullptr && window->Handle() != nullptr)
            DestroyWindow(window->Handle());
        T0GUIThread::Finalize();
    }
    // The window let go of its folder: drop what nobody shows any more, so
    // that the watchers stop and the process can end with its last window.
    Application()->RequestHousekeeping();
    if (FOleInitialized)
        OleUninitialize();
}

void TViewThread::ReadWindowSettingsReporting()
{
    TApplication* app = App();
    if (app == nullptr)
        return;
    // A settings error is shown once; the window keeps what was read before
    // it and opens all the same.
    try {
        ReadWindowSettings(app->SettingsText(), FActionManager, *FFilerWindow->KeyAssignment(),
                           *FFilerWindow->MainMenu(), Skin() != nullptr && Skin()->OwnerDraw);
    } catch (...) {
        ShowException(std::current_exception());
    }
    FFilerWindow->MainMenu()->AttachTo(FFilerWindow->Handle());
}

HRESULT TViewThread::GetInterface(REFIID iid, void** object) noexcept
{
    // The window's key assignment itself: menus read its shortcut index.
    if (iid == __uuidof(IKeyTable) && FFilerWindow != nullptr && FFilerWindow->KeyAssignment() != nullptr)
        return FFilerWindow->KeyAssignment()->QueryInterface(iid, object);
    return T0GUIThread::GetInterface(iid, object);
}

// ---------------------------------------------------------------------------
// TApplication

TApplication::TApplication()
{
    g_app = this;
}

TApplication::~TApplication()
{
    Shutdown();
    if (g_app == this)
        g_app = nullptr;
}

HRESULT STDMETHODCALLTYPE TApplication::QueryInterface(REFIID iid, void** object)
{
    return TInterfaced::QueryInterface(iid, object);
}

HRESULT TApplication::GetInterface(REFIID iid, void** object) noexcept
{
    // Every query for the settings reader gets a fresh reader over the
    // settings text; the caller's reference keeps it alive.
    if (iid == __uuidof(ISettingsReader)) {
        try {
            ComPtr<TYamlReader> reader = NewYamlReader("Nimbra", FSettingsText);
            *object = static_cast<ISettingsReader*>(reader.detach());
            return S_OK;
        } catch (...) {
            *object = nullptr;
            return HResultFromCurrentException();
        }
    }
    if (iid == __uuidof(IActionManager) && FGlobalActions != nullptr)
        return FGlobalActions->QueryInterface(iid, object);
    if (iid == __uuidof(IFolderManager) && FFolderManager != nullptr) {
        *object = static_cast<IFolderManager*>(FFolderManager);
        FFolderManager->AddRef();
        return S_OK;
    }
    return TInterfaced::GetInterface(iid, object);
}

void TApplication::Startup()
{
    CreateMainThread();
    TCommandLine commandLine = ParseCommandLine(GetCommandLineW());
    // The folder manager parses locations only in a serving instance; the
    // text form is the same either way.
    TPath start = commandLine.Root ? ParsePath(L"") : ParsePath(commandLine.StartFolder);
    // Relative locations are resolved; from now on the process stays in the
    // temporary directory, so that no browsed directory is kept in use.
    wchar_t temp[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (length > 0 && length <= MAX_PATH)
        SetCurrentDirectoryW(temp);

    HWND running = FindWindowW(kFilerWindowClass, nullptr);
    if (running == nullptr) {
        Serve(commandLine, start);
    } else if (!commandLine.DdeServer) {
        // Another instance serves: hand it the folder and open no window.
        FExitCode = HandOffAndReport(PathToString(start),
                                     [this](const std::wstring& path) { return HandOff(path, kHandOffTimeout); });
    }
}

int HandOffAndReport(const std::wstring& path, const std::function<bool(const std::wstring& path)>& handOff)
{
    try {
        if (handOff(path))
            return 0;
        MessageBoxW(nullptr, kHandOffFailed, kProductName, MB_ICONERROR | MB_OK);
        return 1;
    } catch (...) {
        ShowException(std::current_exception());
        return 2;
    }
}

namespace {

// What the main thread of a second start and its DDE thread share.
struct THandOff {
    std::wstring Command;
    DWORD Timeout = 0;
    std::mutex Lock;
    THandOffTicket Ticket;
    // Whether the outcome is settled, and what it is.
    bool Decided = false;
    bool Taken = false;
    std::exception_ptr Error;

    void Settle(bool taken)
    {
        if (!Decided) {
            Decided = true;
            Taken = taken;
        }
    }
};

// The DDE side of a hand-off, on a thread of its own: connecting asks every
// top-level window, and a window of a busy instance may not answer at all.
// The main thread decides when the time is up, whatever this thread is
// waiting for.
DWORD WINAPI HandOffThread(void* param)
{
    std::shared_ptr<THandOff> handOff;
    {
        std::unique_ptr<std::shared_ptr<THandOff>> given(static_cast<std::shared_ptr<THandOff>*>(param));
        handOff = *given;
    }
    try {
        StartDde(false);
        struct TStop {
            ~TStop()
            {
                try {
                    StopDde(false);
                } catch (...) {
                    // The process ends next.
                }
            }
        } stop;
        // The instance shows its first window a moment before it answers:
        // tried again as long as it has a window and the time allows.
        const DWORD start = GetTickCount();
        for (;;) {
            const DWORD elapsed = GetTickCount() - start;
            if (elapsed >= handOff->Timeout)
                return 0;
            bool acknowledged =
                DdeExecute(kDdeService, kDdeTopic, handOff->Command, handOff->Timeout - elapsed);
            std::lock_guard guard(handOff->Lock);
            if (handOff->Decided)
                return 0;
            if (acknowledged) {
                handOff->Settle(true);
                return 0;
            }
            // Unanswered: taken all the same when the instance holds the
            // ticket (the acknowledgement came too late).
            if (!handOff->Ticket.Withdraw()) {
                handOff->Settle(true);
                return 0;
            }
            handOff->Ticket.PutBack();
            if (FindWindowW(kFilerWindowClass, nullptr) == nullptr)
                return 0;
            Sleep(100);
        }
    } catch (...) {
        std::lock_guard guard(handOff->Lock);
        handOff->Error = std::current_exception();
    }
    return 0;
}

} // namespace

bool TApplication::HandOff(const std::wstring& path, DWORD timeout)
{
    // The command counts as handed only once the instance has taken it: a
    // client that left before the server read it would lose it. The ticket
    // settles what an unanswered try did: the instance claims it when it
    // takes the command, and at the end the client claims it back, so the
    // folder opens exactly when the client says it was taken, and retries
    // never open it twice.
    auto handOff = std::make_shared<THandOff>();
    handOff->Command = BuildOpenCommand(path, handOff->Ticket.Name());
    handOff->Timeout = timeout;
    auto* param = new std::shared_ptr<THandOff>(handOff);
    UniqueHandle thread(CreateThread(nullptr, 0, HandOffThread, param, 0, nullptr));
    if (!thread) {
        delete param;
        RaiseLastOSError();
    }
    // A moment beyond the thread's own limit, for its last try to return.
    WaitForSingleObject(thread.get(), timeout + 1000);
    std::lock_guard guard(handOff->Lock);
    handOff->Settle(!handOff->Ticket.Withdraw());
    // A failure counts only when the instance did not take the folder all
    // the same.
    if (!handOff->Taken && handOff->Error)
        std::rethrow_exception(handOff->Error);
    return handOff->Taken;
}

void TApplication::Serve(const TCommandLine& commandLine, const TPath& start)
{
    try {
        FOleInitialized = SUCCEEDED(OleInitialize(nullptr));
        // Some OLE implementations keep one clipboard window for the whole
        // process, made by the first thread that needs it; it dies with that
        // thread and the clipboard cannot be set any more. This thread lives
        // as long as the process and serves its messages: it makes it.
        // (Nothing of ours is on the clipboard yet: nothing is flushed.)
        if (FOleInitialized)
            OleFlushClipboard();
        NimbraSetMain(this);
        FServing = true;
        FFolderManager = new TFolderManager(static_cast<IExtensionHost*>(this));
        FFolderManager->SetOwner(this);
        FGlobalActions = new TGlobalActionManager;
        FGlobalActions->SetOwner(this);
        SetGlobalActionManager(FGlobalActions);
        FillSkinDefaults(FSettings.Skin);
        // A settings file the reader rejects is reported, and the program
        // goes on with what was read and the defaults: a typing error in the
        // file must not leave the user without a window.
        try {
            ReadSettings();
        } catch (...) {
            ShowException(std::current_exception());
        }
        g_skin = &FSettings.Skin;

        // A module that fails to start is reported; the others and the
        // first window still come.
        for (const ComPtr<IExtension>& extension : FExtensions) {
            try {
                CheckHResult(extension->Initialize());
            } catch (...) {
                ShowException(std::current_exception());
            }
        }

        UniqueHandle ready(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        if (!ready)
            RaiseLastOSError();
        TViewThread* first = OpenWindow(start, ready.get());
        // The window thread signals failure as well as success. Messages
        // sent to this thread meanwhile are answered.
        HANDLE readyHandle = ready.get();
        while (WaitForObjectsOrMessages(1, &readyHandle, INFINITE) != WAIT_OBJECT_0) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
        if (!first->WindowReady()) {
            // Nothing to serve: the program ends when that thread has.
            FExitCode = 1;
            throw Exception(kFirstWindowFailed);
        }
        if (commandLine.DdeServer)
            SetDdeTarget(first);

        SetDdeApplication(static_cast<IExtensionHost*>(this));
        SetDdeRequestHandler(AnswerStateRequest);
        SetDdeCommandFilter(TakeHandOffCommand);
        StartDde(true);
        FDdeStarted = true;
    } catch (...) {
        ShowException(std::current_exception());
    }
}

void TApplication::ReadSettings()
{
    std::string text = ReadSettingsFile(ProgramDirectory() + kSettingsFileName);
    ReadApplicationSettings(text, FSettings, [this](const std::wstring& entry) { LoadModule(entry); });
    // Only a text the reader accepted is kept for the windows and modules:
    // a rejected one would fail every later query the same way.
    FSettingsText = std::move(text);
}

void TApplication::LoadModule(const std::wstring& entry)
{
    // An empty entry would name the program directory itself.
    if (entry.empty())
        return;
    // The wide call: a path through the system code page would lose the
    // characters that code page lacks.
    if (HMODULE module = SafeLoadLibrary(ModulePath(ProgramDirectory(), entry), SEM_NOOPENFILEERRORBOX))
        FModuleHandles.push_back(module);
}

void TApplication::Shutdown()
{
    if (!FServing)
        return;
    FServing = false;
    if (FDdeStarted) {
        FDdeStarted = false;
        try {
            StopDde(true);
        } catch (...) {
            ShowException(std::current_exception());
        }
    }
    SetDdeApplication(nullptr);
    SetDdeRequestHandler(nullptr);
    SetDdeCommandFilter(nullptr);
    for (const ComPtr<IExtension>& extension : FExtensions)
        extension->Finalize();
    FExtensions.clear();
    SetGlobalActionManager(nullptr);
    try {
        T0Object::Free(std::exchange(FGlobalActions, nullptr));
    } catch (...) {
        ShowException(std::current_exception());
    }
    // Everything a module made goes before its library does: the cached
    // folders may be a module's archive folders, and their watchers must
    // have ended before the folders' memory is gone.
    try {
        T0Object::Free(std::exchange(FFolderManager, nullptr));
    } catch (...) {
        ShowException(std::current_exception());
    }
    ReleaseModules(*this, FModuleHandles, kShutdownThreadWait);
    g_skin = nullptr;
    NimbraSetMain(nullptr);
    if (FOleInitialized) {
        FOleInitialized = false;
        OleUninitialize();
    }
}

bool ReleaseModules(T0Application& application, std::vector<HMODULE>& modules, DWORD wait)
{
    // A thread still running may still use a module's objects (a folder's
    // watcher, a window that would not close): then the modules stay loaded
    // and go with the process.
    bool ended = application.WaitForThreads(wait);
    if (ended) {
        for (HMODULE module : modules)
            FreeLibrary(module);
    } else {
        OutputDebugStringW(L"Nimbra: threads still running at exit; the modules stay loaded");
    }
    modules.clear();
    return ended;
}

TViewThread* TApplication::OpenWindow(const TPath& location, HANDLE ready)
{
    return T0Thread::StartThread<TViewThread>(location, ready);
}

void TApplication::SetDdeTarget(TViewThread* thread)
{
    TExclusiveLock lock;
    // A thread whose window is gone (or never came) has ended or is ending:
    // it forgot itself as the target already, or never will.
    FDdeTargetThread = thread != nullptr && thread->FilerWindow() != nullptr ? thread : nullptr;
}

void TApplication::ViewThreadEnding(TViewThread* thread)
{
    if (FDdeTargetThread == thread)
        FDdeTargetThread = nullptr;
}

void TApplication::NotifyThreadListeners(T0Thread* thread, bool started)
{
    TExclusiveLock lock;
    auto* intf = static_cast<IUnknown*>(static_cast<IObservable*>(thread));
    for (const ComPtr<IExtension>& extension : FExtensions) {
        if (ComPtr<IThreadListener> listener = extension.as<IThreadListener>()) {
            HRESULT hr = started ? listener->ThreadStarted(intf) : listener->ThreadEnded(intf);
            (void)hr; // a listener's failure does not stop the window
        }
    }
}

void TApplication::NotifyViewListeners(IFilerView* view, bool created)
{
    for (const ComPtr<IExtension>& extension : FExtensions) {
        if (ComPtr<IViewListener> listener = extension.as<IViewListener>()) {
            HRESULT hr = created ? listener->ViewCreated(view) : listener->ViewDestroyed(view);
            (void)hr; // a listener's failure does not stop the view
        }
    }
}

bool TApplication::ServeCommand(std::wstring_view text)
{
    THandOffCommand command = ParseHandOffCommand(text);
    if (!IsOpenCommand(command))
        return false;
    // Resolving a path may wait on the network (a server that does not
    // answer): done before the lock, so that no window waits for it.
    TPath location = FResolvePath(command.Argument);
    {
        TExclusiveLock lock;
        if (TViewThread* target = std::exchange(FDdeTargetThread, nullptr)) {
            // Only the first request lands in the first window.
            TFilerWindow* window = target->FilerWindow();
            if (window != nullptr && window->QueueNavigation(location))
                return true;
        }
    }
    OpenWindow(location);
    return true;
}

HRESULT STDMETHODCALLTYPE TApplication::RegisterExtension(IExtension* extension)
{
    return GuardedCall([&] {
        if (extension != nullptr)
            FExtensions.emplace_back(extension);
    });
}

HRESULT STDMETHODCALLTYPE TApplication::FirstExtensionThat(TExtensionTest test, void* data, IExtension** result)
{
    if (result == nullptr)
        return E_POINTER;
    *result = nullptr;
    for (const ComPtr<IExtension>& extension : FExtensions) {
        if (test(extension.get(), data)) {
            *result = extension.get();
            extension->AddRef();
            break;
        }
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TApplication::ExecuteCommand(BSTR command, bool* served)
{
    return GuardedCall([&] {
        bool result = ServeCommand(std::wstring_view(command != nullptr ? command : L"", SysStringLen(command)));
        if (served != nullptr)
            *served = result;
    });
}

namespace {

std::wstring TextOf(BSTR text)
{
    return std::wstring(text != nullptr ? text : L"", SysStringLen(text));
}

void AssignText(BSTR* target, std::wstring_view text)
{
    *target = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (*target == nullptr)
        throw std::bad_alloc();
}

// A toolkit thread as the modules see it.
IUnknown* ThreadInterface(T0Thread* thread)
{
    auto* result = thread != nullptr ? static_cast<IUnknown*>(static_cast<IObservable*>(thread)) : nullptr;
    if (result != nullptr)
        result->AddRef();
    return result;
}

} // namespace

HRESULT STDMETHODCALLTYPE TApplication::GetProgramFolder(BSTR* folder)
{
    return GuardedCall([&] { AssignText(folder, ProgramDirectory()); });
}

HRESULT STDMETHODCALLTYPE TApplication::GetInitialFilter(BSTR* filter)
{
    return GuardedCall([&] { AssignText(filter, FSettings.InitialFilter); });
}

HRESULT STDMETHODCALLTYPE TApplication::GetEditor(BSTR* editor)
{
    return GuardedCall([&] { AssignText(editor, FSettings.Editor); });
}

HRESULT STDMETHODCALLTYPE TApplication::NewViewThread(const TPath* location, IUnknown** thread)
{
    return GuardedCall([&] {
        *thread = nullptr;
        if (location == nullptr)
            throw Exception(L"NewViewThread: no location");
        *thread = ThreadInterface(OpenWindow(*location));
    });
}

HRESULT STDMETHODCALLTYPE TApplication::NewCommandLineThread(BSTR caption, BSTR folder, BSTR command, int32_t caret,
                                                              int32_t selectionLength, IUnknown** thread)
{
    return GuardedCall([&] {
        *thread = nullptr;
        *thread = ThreadInterface(T0Thread::StartThread<TCommandLineThread>(TextOf(caption), TextOf(folder),
                                                                             TextOf(command), caret, selectionLength));
    });
}

HRESULT STDMETHODCALLTYPE TApplication::RunProcess(BSTR commandLine, BSTR currentFolder, bool wait, bool* created)
{
    return GuardedCall([&] {
        // CreateProcessW may write into the command line.
        std::wstring line = TextOf(commandLine);
        std::vector<wchar_t> buffer(line.begin(), line.end());
        buffer.push_back(L'\0');
        std::wstring folder = TextOf(currentFolder);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        GetStartupInfoW(&startup);
        PROCESS_INFORMATION process{};
        bool made = CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   folder.empty() ? nullptr : folder.c_str(), &startup, &process) != FALSE;
        if (made) {
            if (wait) {
                // However long the program runs, the other windows go on.
                TSuspendShared unlocked;
                WaitForSingleObject(process.hProcess, INFINITE);
            }
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
        if (created != nullptr)
            *created = made;
    });
}

void STDMETHODCALLTYPE TApplication::GetApplication(IApplication** result)
{
    *result = static_cast<IApplication*>(this);
    AddRef();
}

void STDMETHODCALLTYPE TApplication::GetCurrentThread(IUnknown** result)
{
    *result = ThreadInterface(CurrentThread());
}
