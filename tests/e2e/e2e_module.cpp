// A module for the start-up tests: registers one extension while it is
// loaded and logs every call it gets to "modules.log" beside it, one line
// per call, prefixed with its own file name. The extension is also an
// archiver of ".e2earc" files, whose folders are made by this module, and it
// reads the host's settings when it starts.

// Shared interfaces
#include "ext/NimbraIntf.h"
#include "ext/core/nimbracore.h"

// Application and folders: interfaces only
#include "app/nimyaml.h"
#include "folders/UFolders.h"

// Toolkit
#include "lw/LComPtr.h"
#include "lw/LStrings.h"

// Platform
#include <windows.h>

// Standard library
#include <string>
#include <vector>

namespace {

HMODULE g_module = nullptr;

std::wstring ModuleName()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(g_module, path, MAX_PATH);
    std::wstring name = path;
    name = name.substr(name.find_last_of(L'\\') + 1);
    return name.substr(0, name.find_last_of(L'.'));
}

std::wstring ModuleDirectory()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(g_module, path, MAX_PATH);
    std::wstring directory = path;
    return directory.substr(0, directory.find_last_of(L'\\') + 1);
}

std::wstring StallFile()
{
    return ModuleDirectory() + L"stall";
}

void Log(const char* what);

DWORD WINAPI HoldLockWhileStalled(void*)
{
    ComPtr<IApplication> application;
    NimbraGetApplication(application.put());
    if (!application)
        return 0;
    int32_t previous = application->BeginShared();
    Log("stalled");
    for (int waited = 0; waited < 60000 && GetFileAttributesW(StallFile().c_str()) != INVALID_FILE_ATTRIBUTES;
         waited += 50)
        Sleep(50);
    application->EndShared(previous);
    Log("unstalled");
    return 0;
}

void Log(const char* what)
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(g_module, path, MAX_PATH);
    std::wstring logPath = path;
    logPath = logPath.substr(0, logPath.find_last_of(L'\\') + 1) + L"modules.log";
    HANDLE file = CreateFileW(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    std::wstring name = ModuleName();
    std::string line(name.begin(), name.end());
    line += ' ';
    line += what;
    line += '\n';
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

// An empty archive folder: what matters is that its code lives in this
// module, so the host must let go of it before the module is unloaded.
class TModuleFolder : public IFolder {
public:
    TModuleFolder() { Log("folder-made"); }
    virtual ~TModuleFolder() { Log("folder-released"); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (iid == IID_IUnknown || iid == __uuidof(IObservable) || iid == __uuidof(IFolder)) {
            *object = static_cast<IFolder*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&FCount)); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        LONG count = InterlockedDecrement(&FCount);
        if (count == 0)
            delete this;
        return static_cast<ULONG>(count);
    }

    void STDMETHODCALLTYPE Attach(IObserver* observer) override
    {
        observer->AddRef();
        FObservers.push_back(observer);
    }
    void STDMETHODCALLTYPE Detach(IObserver* observer) override
    {
        for (size_t i = FObservers.size(); i-- > 0;) {
            if (FObservers[i] == observer) {
                FObservers.erase(FObservers.begin() + static_cast<ptrdiff_t>(i));
                observer->Release();
                return;
            }
        }
    }
    // Claims to be in use, so housekeeping never drops it: only the folder
    // manager's own end releases it, as with a folder still busy at exit.
    bool STDMETHODCALLTYPE HasObservers() override { return true; }

    void STDMETHODCALLTYPE GetPath(TPath* result) override { result->Clear(); }
    TFileItem* STDMETHODCALLTYPE GetItem(int32_t) override { return nullptr; }
    int32_t STDMETHODCALLTYPE GetCount() override { return 0; }
    bool STDMETHODCALLTYPE IsReady() override { return true; }
    void STDMETHODCALLTYPE GetDisplayPath(BSTR* result) override { *result = SysAllocString(L"e2e archive"); }
    uint8_t STDMETHODCALLTYPE GetCapabilities() override { return 0; }
    HRESULT STDMETHODCALLTYPE Refresh() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetPath(BSTR) override { return E_NOTIMPL; }
    void STDMETHODCALLTYPE SuspendWatching() override {}
    void STDMETHODCALLTYPE ResumeWatching(bool) override {}
    void STDMETHODCALLTYPE GetParentPath(TPath* result) override { result->Clear(); }
    bool STDMETHODCALLTYPE IsWithin(const TPath*) override { return false; }
    void STDMETHODCALLTYPE GetItemPath(const TFileItem*, TPath* result) override { result->Clear(); }
    void STDMETHODCALLTYPE GetStatusText(const TFileItem*, BSTR* result) override { *result = nullptr; }

private:
    LONG FCount = 0;
    std::vector<IObserver*> FObservers;
};

HRESULT STDMETHODCALLTYPE SkipEntry(void*)
{
    return S_OK;
}

class TLoggingExtension : public TInterfaced<TInterfacedObject, IExtension, IThreadListener, IArchiver> {
public:
    ~TLoggingExtension() override { Log("released"); }
    HRESULT STDMETHODCALLTYPE Initialize() override
    {
        Log("initialize");
        // Every module reads its own sections from the settings text.
        ComPtr<IApplication> application;
        NimbraGetApplication(application.put());
        ComPtr<ISettingsReader> reader = application ? application.as<ISettingsReader>() : nullptr;
        Log(reader && SUCCEEDED(reader->ReadMapping(SkipEntry, nullptr)) ? "settings-read" : "settings-failed");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Finalize() override
    {
        Log("finalize");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ThreadStarted(IUnknown*) override
    {
        // While a file "stall" lies beside the module, a thread of the
        // module holds the application lock shared, as a module busy with
        // something slow does: a writer then waits, and so does the
        // instance's hand-off, while the windows still answer.
        if (GetFileAttributesW(StallFile().c_str()) != INVALID_FILE_ATTRIBUTES) {
            if (HANDLE thread = CreateThread(nullptr, 0, HoldLockWhileStalled, nullptr, 0, nullptr))
                CloseHandle(thread);
        }
        Log("thread-started");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ThreadEnded(IUnknown*) override
    {
        Log("thread-ended");
        return S_OK;
    }

    // IArchiver
    HRESULT STDMETHODCALLTYPE FindExtension(TArchiverExtensionTest test, void* data, BSTR* extension) override
    {
        BSTR own = SysAllocString(L".e2earc");
        if (test(own, data)) {
            *extension = own;
        } else {
            *extension = nullptr;
            SysFreeString(own);
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OpenArchive(const TPath*, IFolder** folder) override
    {
        *folder = new TModuleFolder;
        (*folder)->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Pack(BSTR, BSTR, int32_t, const BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Extract(BSTR, BSTR) override { return E_NOTIMPL; }
};

void Register()
{
    if (NimbraGetInterfaceVersion() != kInterfaceVersion) {
        Log("wrong-version");
        return;
    }
    ComPtr<IApplication> application;
    NimbraGetApplication(application.put());
    ComPtr<IExtensionHost> host = application.as<IExtensionHost>();
    if (!host)
        return;
    ComPtr<IExtension> extension(new TLoggingExtension);
    host->RegisterExtension(extension.get());
    Log("registered");
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        Register();
    } else if (reason == DLL_PROCESS_DETACH) {
        Log("unloaded");
    }
    return TRUE;
}
