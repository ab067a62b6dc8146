// The application object and the window threads that make the toolkit into
// this file manager.
#pragma once

// Own
#include "app/UStartup.h"

// Shared interfaces
#include "ext/NimbraIntf.h"

// Folders
#include "folders/UFolders.h"

// View and actions
#include "actions/UActions.h"
#include "view/UView.h"

// Toolkit
#include "lw/LHandles.h"
#include "lw/LWindows.h"

// Standard library
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// The DDE service a second instance sends its folder to, and the topic.
inline constexpr const wchar_t* kDdeService = L"Nimbra";
inline constexpr const wchar_t* kDdeTopic = L"SYSTEM";
inline constexpr const wchar_t* kProductName = L"Nimbra";
inline constexpr const wchar_t* kSettingsFileName = L"setting.yaml";

// What a window shows in its caption for a location.
std::wstring LocationDisplayName(const TPath& location);

// The thread that owns one top-level filer window.
class TViewThread : public T0GUIThread {
public:
    // ready (may be null) is signalled once the window exists.
    TViewThread(TPath startLocation, HANDLE ready);
    // The window; null once the thread has begun to end (read under the
    // application lock from other threads).
    TFilerWindow* FilerWindow() const { return FFilerWindow; }

    TThreadActionManager* ActionManager() const { return FActionManager; }
    // Whether the window came up; read once the ready event is set (it is
    // set when the thread fails before its window exists, too).
    bool WindowReady() const { return FWindowReady; }

protected:
    void Initialize() override;
    void Prepare() override;
    void Finalize() override;
    // The thread answers the key-table interface for its window.
    HRESULT GetInterface(REFIID iid, void** object) noexcept override;

private:
    void ReadWindowSettingsReporting();
    // Sets the ready event once, saying whether the window came up.
    void SignalReady(bool windowReady);

    TPath FStartLocation;
    TThreadActionManager* FActionManager = nullptr;
    HANDLE FReadyEvent;
    bool FWindowReady = false;
    TFilerWindow* FFilerWindow = nullptr;
    bool FOleInitialized = false;
};

// The one application object.
class TApplication : public TInterfaced<T0Application, IExtensionHost, ICommandHost, IHostServices>, public IMainLink {
public:
    TApplication();
    ~TApplication() override;

    // Start-up: serve, hand off to the running instance, or do nothing.
    void Startup();
    // Shut-down of a serving instance: DDE off, extensions stopped, modules
    // unloaded, host registration cleared. Runs before the object is freed,
    // since the registration holds a reference to it.
    void Shutdown();
    bool Serving() const { return FServing; }
    // What the process returns: not 0 when a hand-off was not taken.
    int ExitCode() const { return FExitCode; }

    const std::string& SettingsText() const { return FSettingsText; }
    const std::wstring& InitialFilter() const { return FSettings.InitialFilter; }
    const std::wstring& Editor() const { return FSettings.Editor; }
    size_t ModuleCount() const { return FModuleHandles.size(); }
    // The loaded modules in load order; fixed once start-up has read the
    // settings.
    const std::vector<HMODULE>& ModuleHandles() const { return FModuleHandles; }
    size_t ExtensionCount() const { return FExtensions.size(); }

    // Serves a hand-off command; true when it was an "open".
    bool ServeCommand(std::wstring_view command);
    // How a handed path becomes a location (ParsePath); a test puts a slow
    // one in its place to see that no window waits for it.
    using TPathResolver = TPath (*)(std::wstring_view text);
    void SetPathResolver(TPathResolver resolver) { FResolvePath = resolver != nullptr ? resolver : &ParsePath; }
    // Starts a new window thread on the location.
    TViewThread* OpenWindow(const TPath& location, HANDLE ready = nullptr);
    // The window thread whose window takes the first hand-off (/DDESERVER).
    void SetDdeTarget(TViewThread* thread);
    TViewThread* DdeTarget() const { return FDdeTargetThread; }
    // A window thread is ending: forgets it; under the exclusive lock.
    void ViewThreadEnding(TViewThread* thread);
    // Tells the extensions that listen of a window thread's start or end.
    void NotifyThreadListeners(T0Thread* thread, bool started);
    // Tells the extensions that listen of a view made or destroyed.
    void NotifyViewListeners(IFilerView* view, bool created);
    TGlobalActionManager* GlobalActions() const { return FGlobalActions; }

    // IUnknown, for every interface of the object (IMainLink included).
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(_AddRef()); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(_Release()); }

    // IExtensionHost
    HRESULT STDMETHODCALLTYPE RegisterExtension(IExtension* extension) override;
    HRESULT STDMETHODCALLTYPE FirstExtensionThat(TExtensionTest test, void* data, IExtension** result) override;
    // ICommandHost
    HRESULT STDMETHODCALLTYPE ExecuteCommand(BSTR command, bool* served) override;
    // IHostServices
    HRESULT STDMETHODCALLTYPE GetProgramFolder(BSTR* folder) override;
    HRESULT STDMETHODCALLTYPE GetInitialFilter(BSTR* filter) override;
    HRESULT STDMETHODCALLTYPE GetEditor(BSTR* editor) override;
    HRESULT STDMETHODCALLTYPE NewViewThread(const TPath* location, IUnknown** thread) override;
    HRESULT STDMETHODCALLTYPE NewCommandLineThread(BSTR caption, BSTR folder, BSTR command, int32_t caret,
                                                   int32_t selectionLength, IUnknown** thread) override;
    HRESULT STDMETHODCALLTYPE RunProcess(BSTR commandLine, BSTR currentFolder, bool wait, bool* created) override;
    // IMainLink
    void STDMETHODCALLTYPE GetApplication(IApplication** result) override;
    void STDMETHODCALLTYPE GetCurrentThread(IUnknown** result) override;
    int32_t STDMETHODCALLTYPE GetInterfaceVersion() override { return kInterfaceVersion; }

protected:
    HRESULT GetInterface(REFIID iid, void** object) noexcept override;

    // Hands a folder to the running instance (DDE started as a client) and
    // waits at most timeout milliseconds in all; true exactly when the
    // instance took it.
    bool HandOff(const std::wstring& path, DWORD timeout);

private:

    void Serve(const TCommandLine& commandLine, const TPath& start);
    void ReadSettings();
    void LoadModule(const std::wstring& entry);

    bool FServing = false;
    int FExitCode = 0;
    TFolderManager* FFolderManager = nullptr;
    TGlobalActionManager* FGlobalActions = nullptr;
    bool FOleInitialized = false;
    bool FDdeStarted = false;
    std::vector<ComPtr<IExtension>> FExtensions;
    std::vector<HMODULE> FModuleHandles;
    // Read and cleared under the application lock; cleared when that
    // thread ends.
    TViewThread* FDdeTargetThread = nullptr;
    TPathResolver FResolvePath = &ParsePath;
    std::string FSettingsText;
    TApplicationSettings FSettings;
};

// The object a second start hands along with its folder (a semaphore of one
// count under a name of its own): the serving instance claims it when it
// takes the command, the sender claims it back when it gives up. Exactly one
// of them succeeds.
class THandOffTicket {
public:
    THandOffTicket();
    // Empty when no ticket could be made (the command then goes without).
    const std::wstring& Name() const { return FName; }
    // The sender takes the ticket back: false when the instance has claimed
    // it. Without a ticket, true.
    bool Withdraw();
    // Undoes a Withdraw that succeeded.
    void PutBack();
    // The serving side: true when it got the ticket of that name.
    static bool Claim(const std::wstring& name);

private:
    UniqueHandle FSemaphore;
    std::wstring FName;
};

// A second start's hand-off and what the process returns for it: 0 when the
// running instance took the folder; 1 when it did not (said in a message
// box); 2 when the hand-off failed with an error (shown).
int HandOffAndReport(const std::wstring& path, const std::function<bool(const std::wstring& path)>& handOff);

// Frees the modules once every thread of the application has ended, waiting
// at most wait milliseconds. When one still runs, the modules stay loaded
// (the thread may still run a module's code) and go with the process. The
// list is emptied either way; whether the modules were freed.
bool ReleaseModules(T0Application& application, std::vector<HMODULE>& modules, DWORD wait);
// The one application object, once made.
TApplication* App();
// The skin of the file lists; published once the settings are read.
const TSkin* Skin();

// The directory of the program file, with its trailing separator.
std::wstring ProgramDirectory();
// LoadLibrary with file-error boxes off and the FPU control word kept.
HMODULE SafeLoadLibrary(const std::wstring& path, UINT errorMode);
