#include "app/UMain.h"

// Own
#include "app/nimyaml.h"

// Shared interfaces
#include "ext/core/nimbracore.h"

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

namespace {

TApplication* g_app = nullptr;
const TSkin* g_skin = nullptr;

// How long a second start waits for the running instance to take its folder.
constexpr DWORD kHandOffTimeout = 10000;
constexpr const wchar_t* kHandOffFailed = L"起動中のウィンドウにフォルダを渡せませんでした.";

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
    TStateRequest request;
    request.Item = std::wstring(item);
    DWORD_PTR result = 0;
    {
        // The window's thread takes the lock to answer.
        TSuspendShared unlocked;
        if (SendMessageTimeoutW(window, WM_NIMBRA_STATE, 0, reinterpret_cast<LPARAM>(&request), SMTO_ABORTIFHUNG,
                                5000, &result) == 0)
            return false;
    }
    answer = std::move(request.Answer);
    return request.Known;
}

} // namespace

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
    T0GUIThread::Initialize();
    FOleInitialized = SUCCEEDED(OleInitialize(nullptr));
}

void TViewThread::Prepare()
{
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
        if (FReadyEvent != nullptr)
            SetEvent(FReadyEvent);
        throw;
    }
    Application()->EndShared(previous);
    FStartLocation.Clear();
    if (FReadyEvent != nullptr)
        SetEvent(FReadyEvent);
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
    if (window != nullptr && window->Handle() != nullptr)
        DestroyWindow(window->Handle());
    T0GUIThread::Finalize();
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
    if (iid == __uuidof(IKeyTable) && FFilerWindow != nullptr)
        return FFilerWindow->QueryInterface(iid, object);
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
        StartDde(false);
        bool handed = HandOff(BuildOpenCommand(PathToString(start)));
        StopDde(false);
        if (!handed) {
            FExitCode = 1;
            MessageBoxW(nullptr, kHandOffFailed, kProductName, MB_ICONERROR | MB_OK);
        }
    }
}

bool TApplication::HandOff(const std::wstring& command)
{
    // The instance shows its first window a moment before it answers, and
    // the command counts as handed only once it is acknowledged: a client
    // that left before the server read it would lose it. Until then it is
    // tried again, as long as the instance has a window.
    const DWORD start = GetTickCount();
    for (;;) {
        if (DdeExecute(kDdeService, kDdeTopic, command, kHandOffTimeout))
            return true;
        if (GetTickCount() - start >= kHandOffTimeout || FindWindowW(kFilerWindowClass, nullptr) == nullptr)
            return false;
        Sleep(100);
    }
}

void TApplication::Serve(const TCommandLine& commandLine, const TPath& start)
{
    try {
        FOleInitialized = SUCCEEDED(OleInitialize(nullptr));
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
        WaitForSingleObject(ready.get(), INFINITE);
        if (commandLine.DdeServer)
            SetDdeTarget(first);

        SetDdeApplication(static_cast<IExtensionHost*>(this));
        SetDdeRequestHandler(AnswerStateRequest);
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
    WaitForThreads(kShutdownThreadWait);
    for (HMODULE module : FModuleHandles)
        FreeLibrary(module);
    FModuleHandles.clear();
    g_skin = nullptr;
    NimbraSetMain(nullptr);
    if (FOleInitialized) {
        FOleInitialized = false;
        OleUninitialize();
    }
}

TViewThread* TApplication::OpenWindow(const TPath& location, HANDLE ready)
{
    return T0Thread::StartThread<TViewThread>(location, ready);
}

void TApplication::SetDdeTarget(TViewThread* thread)
{
    TExclusiveLock lock;
    FDdeTargetThread = thread;
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
    TPath location = ParsePath(command.Argument);
    TExclusiveLock lock;
    if (TViewThread* target = std::exchange(FDdeTargetThread, nullptr)) {
        // Only the first request lands in the first window.
        TFilerWindow* window = target->FilerWindow();
        if (window != nullptr && window->QueueNavigation(PathToString(location)))
            return true;
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

void STDMETHODCALLTYPE TApplication::GetApplication(IApplication** result)
{
    *result = static_cast<IApplication*>(this);
    AddRef();
}

void STDMETHODCALLTYPE TApplication::GetCurrentThread(IUnknown** result)
{
    T0Thread* thread = CurrentThread();
    *result = thread != nullptr ? static_cast<IUnknown*>(static_cast<IObservable*>(thread)) : nullptr;
    if (*result != nullptr)
        (*result)->AddRef();
}
