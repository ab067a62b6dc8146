// Interfaces shared by the program, nimbracore and the modules.
#pragma once

// Platform
#include <windows.h>
#include <unknwn.h>
#include <oleauto.h>

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

// A loadable module's start and stop calls.
struct IExtension : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Initialize() = 0;
    virtual HRESULT STDMETHODCALLTYPE Finalize() = 0;
};
__CRT_UUID_DECL(IExtension, 0x06A37D72, 0x465C, 0x4FCE, 0x87, 0x67, 0x9A, 0x72, 0x0B, 0x98, 0x6A, 0x0B)

// An extension with a dialog of its own, offered in the help menu.
struct IConfigurable : IUnknown {
    // The menu caption (a BSTR the caller frees).
    virtual HRESULT STDMETHODCALLTYPE GetCaption(BSTR* caption) = 0;
    // Shows the dialog; runs on a thread of its own.
    virtual HRESULT STDMETHODCALLTYPE Configure() = 0;
};
__CRT_UUID_DECL(IConfigurable, 0x25D60ADA, 0x4ADF, 0x4326, 0xA8, 0xD1, 0xE6, 0xB0, 0x2A, 0x9A, 0x16, 0x4F)

// A test over extensions; data is handed back unchanged.
typedef bool(STDMETHODCALLTYPE* TExtensionTest)(IExtension* candidate, void* data);

// Where modules register themselves while they are loaded.
struct IExtensionHost : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE RegisterExtension(IExtension* extension) = 0;
    // The first registered extension for which test answers true, or null.
    virtual HRESULT STDMETHODCALLTYPE FirstExtensionThat(TExtensionTest test, void* data, IExtension** result) = 0;
};
__CRT_UUID_DECL(IExtensionHost, 0x226F3891, 0xB8EB, 0x42BE, 0x85, 0x0A, 0x6B, 0x53, 0xD7, 0x9A, 0x9B, 0xD2)

// Serves a hand-off command ("[open("path")]"); *served is true when it was served.
struct ICommandHost : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE ExecuteCommand(BSTR command, bool* served) = 0;
};
__CRT_UUID_DECL(ICommandHost, 0x61F67EF6, 0x1ED8, 0x426B, 0x89, 0x43, 0xFB, 0x47, 0x16, 0xA6, 0x70, 0x9E)

struct TPath;

// What the host does for its modules. The thread objects it returns are the
// host's: counted only, valid while their thread runs.
struct IHostServices : IUnknown {
    // The program's folder, with its trailing delimiter.
    virtual HRESULT STDMETHODCALLTYPE GetProgramFolder(BSTR* folder) = 0;
    // The settings' "initial-filter" and "editor".
    virtual HRESULT STDMETHODCALLTYPE GetInitialFilter(BSTR* filter) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetEditor(BSTR* editor) = 0;
    // A new file-manager window on a thread of its own.
    virtual HRESULT STDMETHODCALLTYPE NewViewThread(const TPath* location, IUnknown** thread) = 0;
    // A command-line window on a thread of its own: caption, working folder,
    // the command text, its caret position and selection length.
    virtual HRESULT STDMETHODCALLTYPE NewCommandLineThread(BSTR caption, BSTR folder, BSTR command, int32_t caret,
                                                           int32_t selectionLength, IUnknown** thread) = 0;
    // Starts a command line in a folder, waiting for its end when asked;
    // *created tells whether the process was made.
    virtual HRESULT STDMETHODCALLTYPE RunProcess(BSTR commandLine, BSTR currentFolder, bool wait, bool* created) = 0;
};
__CRT_UUID_DECL(IHostServices, 0x2087F0CF, 0xCFE7, 0x4BF2, 0xAD, 0x24, 0x12, 0x19, 0xF0, 0xF5, 0x81, 0x76)

// Told of every window thread that starts and ends.
struct IThreadListener : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE ThreadStarted(IUnknown* thread) = 0;
    virtual HRESULT STDMETHODCALLTYPE ThreadEnded(IUnknown* thread) = 0;
};
__CRT_UUID_DECL(IThreadListener, 0xFCD38D0C, 0x5D8B, 0x423B, 0xAE, 0x71, 0x44, 0xF6, 0x1B, 0x75, 0x52, 0x01)
