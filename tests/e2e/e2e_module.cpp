// A module for the start-up tests: registers one extension while it is
// loaded and logs every call it gets to "modules.log" beside it, one line
// per call, prefixed with its own file name.

// Shared interfaces
#include "ext/NimbraIntf.h"
#include "ext/core/nimbracore.h"

// Toolkit
#include "lw/LComPtr.h"

// Platform
#include <windows.h>

// Standard library
#include <string>

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

class TLoggingExtension : public TInterfaced<TInterfacedObject, IExtension, IThreadListener> {
public:
    ~TLoggingExtension() override { Log("released"); }
    HRESULT STDMETHODCALLTYPE Initialize() override
    {
        Log("initialize");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Finalize() override
    {
        Log("finalize");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ThreadStarted(IUnknown*) override
    {
        Log("thread-started");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ThreadEnded(IUnknown*) override
    {
        Log("thread-ended");
        return S_OK;
    }
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
