// The host as an archiver module sees it, for the module tests and the
// archive benchmark: it speaks the module interface's version, registers
// the archivers, and keeps each thread's state in the application lock as
// the protocol does, counting the calls that give the hold up.
#pragma once

// Platform
#include <windows.h>

// Standard library
#include <atomic>
#include <string>
#include <vector>

// Shared interfaces
#include "ext/core/nimbracore.h"
#include "folders/UFolders.h"

class TModuleHost : public IMainLink, public IApplication, public IExtensionHost {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (iid == __uuidof(IApplication))
            *object = static_cast<IApplication*>(this);
        else if (iid == __uuidof(IExtensionHost))
            *object = static_cast<IExtensionHost*>(this);
        else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    // IMainLink
    void STDMETHODCALLTYPE GetApplication(IApplication** result) override { *result = this; }
    void STDMETHODCALLTYPE GetCurrentThread(IUnknown** result) override { *result = nullptr; }
    int32_t STDMETHODCALLTYPE GetInterfaceVersion() override { return Version; }

    // IApplication: the calling thread's state as the protocol keeps it.
    int32_t STDMETHODCALLTYPE BeginExclusive() override { return Swap(-1); }
    void STDMETHODCALLTYPE EndExclusive(int32_t previous) override { Swap(previous); }
    int32_t STDMETHODCALLTYPE BeginShared() override { return Swap(State() == 0 ? 1 : State()); }
    void STDMETHODCALLTYPE EndShared(int32_t previous) override { Swap(previous); }
    int32_t STDMETHODCALLTYPE SuspendShared() override
    {
        ++Suspends;
        return Swap(0);
    }
    void STDMETHODCALLTYPE ResumeShared(int32_t previous) override { Swap(previous); }

    // IExtensionHost
    HRESULT STDMETHODCALLTYPE RegisterExtension(IExtension* extension) override
    {
        Extensions.emplace_back(extension);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE FirstExtensionThat(TExtensionTest, void*, IExtension** result) override
    {
        *result = nullptr;
        return S_OK;
    }

    static int32_t& State()
    {
        thread_local int32_t state = 0;
        return state;
    }
    int32_t Swap(int32_t next)
    {
        int32_t previous = State();
        State() = next;
        return previous;
    }

    int32_t Version = kInterfaceVersion;
    std::vector<ComPtr<IExtension>> Extensions;
    std::atomic<int> Suspends{0};
};


inline TModuleHost& TheModuleHost()
{
    static TModuleHost host;
    return host;
}

// Loads a module file; the archiver it registered, or none.
inline ComPtr<IArchiver> LoadArchiverModule(const std::wstring& path, HMODULE& module)
{
    TModuleHost& host = TheModuleHost();
    size_t before = host.Extensions.size();
    module = LoadLibraryW(path.c_str());
    if (module == nullptr || host.Extensions.size() != before + 1)
        return nullptr;
    return host.Extensions.back().as<IArchiver>();
}
