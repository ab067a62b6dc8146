// Interfaces shared by the program, nimbracore and the modules.
#pragma once

// Platform
#include <windows.h>
#include <unknwn.h>

// Standard library
#include <cstdint>

// The version of the module interface; a module registers only when the host
// reports this number.
inline constexpr int32_t kInterfaceVersion = 248;

// The application lock as modules take part in it. Each Begin/Suspend call
// returns the calling thread's previous lock state, which the matching
// End/Resume call restores.
struct IApplication : IUnknown {
    virtual int32_t STDMETHODCALLTYPE BeginExclusive() = 0;
    virtual void STDMETHODCALLTYPE EndExclusive(int32_t previous) = 0;
    virtual int32_t STDMETHODCALLTYPE BeginShared() = 0;
    virtual void STDMETHODCALLTYPE EndShared(int32_t previous) = 0;
    virtual int32_t STDMETHODCALLTYPE SuspendShared() = 0;
    virtual void STDMETHODCALLTYPE ResumeShared(int32_t previous) = 0;
};
__CRT_UUID_DECL(IApplication, 0x2F20FD00, 0xAAF6, 0x4859, 0x9B, 0x01, 0x5C, 0xCD, 0xC2, 0xA4, 0x4B, 0xE2)

// What the host registers with nimbracore; nimbracore forwards its three
// exports to these methods. It carries no GUID: nobody queries for it.
struct IMainLink : IUnknown {
    virtual void STDMETHODCALLTYPE GetApplication(IApplication** result) = 0;
    virtual void STDMETHODCALLTYPE GetCurrentThread(IUnknown** result) = 0;
    virtual int32_t STDMETHODCALLTYPE GetInterfaceVersion() = 0;
};
