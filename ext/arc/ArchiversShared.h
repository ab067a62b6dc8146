// What the archiver modules share besides the folder bridge: their
// exceptions, the outside library bound by name at first use, and the
// command-line pieces (quoted paths, response files, temporary folders).
#pragma once

// Platform
#include <windows.h>

// Standard library
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// Toolkit
#include "lw/LExceptionBase.h"

// Shared interfaces
#include "ext/NimbraIntf.h"

// The base of every module's exception; each module raises its own class.
class EArchiverError : public Exception {
public:
    using Exception::Exception;
};

// The response file of a pack could not be written.
class EInOutError : public Exception {
public:
    using Exception::Exception;
};

// Raises the module's exception with a message; each module passes its own.
using TRaiseArchiverError = void (*)(const std::wstring& message);

// The outside archiver library of a module. Its functions are bound by
// name when first called: the library is loaded then (with the system's
// "cannot open" boxes off, as the host loads modules), and stays loaded
// until the module is unloaded. Safe to call from several threads.
class TArchiverLibrary {
public:
    TArchiverLibrary(std::wstring fileName, TRaiseArchiverError raise);
    ~TArchiverLibrary();
    TArchiverLibrary(const TArchiverLibrary&) = delete;
    TArchiverLibrary& operator=(const TArchiverLibrary&) = delete;

    const std::wstring& FileName() const { return FFileName; }
    // Loads the library unless it is loaded; raises "...の読み込みに失敗しました.".
    void Load();
    // The function's address; raises the load failure or "...には...APIは存在しません.".
    FARPROC Function(const char* name);
    template <class F>
    F Bind(const char* name)
    {
        return reinterpret_cast<F>(reinterpret_cast<void (*)()>(Function(name)));
    }
    [[noreturn]] void Raise(const std::wstring& message) const;

private:
    std::wstring FFileName;
    TRaiseArchiverError FRaise;
    std::mutex FLock;
    HMODULE FModule = nullptr;
    std::vector<std::pair<std::string, FARPROC>> FBound;
};

// The entry record the libraries fill in FindFirst/FindNext.
struct TArcIndividualInfo {
    DWORD dwOriginalSize;
    DWORD dwCompressedSize;
    DWORD dwCRC;
    UINT uFlag;
    UINT uOSType;
    WORD wRatio;
    WORD wDate;
    WORD wTime;
    char szFileName[513];
    char dummy1[3];
    char szAttribute[8];
    char szMode[8];
};
static_assert(sizeof(TArcIndividualInfo) == 560);

// The library calls of the common convention; Prefix + suffix names each.
using TArcCommandProc = int(WINAPI*)(HWND, LPCSTR, LPSTR, DWORD);
using TArcConfigProc = BOOL(WINAPI*)(HWND, LPSTR, int);
using TArcOpenProc = HANDLE(WINAPI*)(HWND, LPCSTR, DWORD);
using TArcCloseProc = int(WINAPI*)(HANDLE);
using TArcFindFirstProc = int(WINAPI*)(HANDLE, LPCSTR, TArcIndividualInfo*);
using TArcFindNextProc = int(WINAPI*)(HANDLE, TArcIndividualInfo*);
using TArcAttributeProc = int(WINAPI*)(HANDLE);
using TArcUnixTimeProc = DWORD(WINAPI*)(HANDLE);
using TArcFileTimeProc = BOOL(WINAPI*)(HANDLE, FILETIME*);
using TArcTypeProc = int(WINAPI*)(LPCSTR);
using TArcExtractMemProc = int(WINAPI*)(HWND, LPCSTR, LPBYTE, DWORD, void*, LPWORD, LPDWORD);

// Text in the system code page and back.
std::string ToAnsi(std::wstring_view text);
std::wstring FromAnsi(std::string_view text);

// A path the system code page can carry, for the libraries' ANSI calls:
// the path itself when it converts without loss, else its short form
// (whose names are plain letters); for a file not made yet, the short form
// of its folder and its own name.
std::wstring AnsiSafePath(std::wstring_view path);

// Text in double quotes (an item's path inside an archive).
std::wstring Quoted(std::wstring_view text);
// A file-system path in double quotes, made safe for the code page; a
// folder with its trailing "\" ensured.
std::wstring QuotedPath(std::wstring_view path);
std::wstring QuotedFolder(std::wstring_view folder);
// The item's path inside the archive: SubPath + "/" + name, or the name at the root.
std::wstring ItemPathInArchive(std::wstring_view subPath, std::wstring_view name);
// Unix seconds as FILETIME ticks.
FILETIME UnixTimeToFileTime(DWORD seconds);

// A response file of its own for one call: a fresh name in the temporary
// folder (two packs at once never share one), written in the system code
// page with CR LF after each line, deleted when the object goes.
class TResponseFile {
public:
    explicit TResponseFile(const std::vector<std::wstring>& lines);  // raises EInOutError
    ~TResponseFile();
    TResponseFile(const TResponseFile&) = delete;
    TResponseFile& operator=(const TResponseFile&) = delete;
    const std::wstring& Path() const { return FPath; }
    // The short form of the path (8.3), for callers that pass it unquoted.
    std::wstring ShortPath() const;

private:
    std::wstring FPath;
};

// A folder of its own in the temporary folder for one extraction, removed
// with what it holds when the object goes.
class TScratchFolder {
public:
    TScratchFolder();
    ~TScratchFolder();
    TScratchFolder(const TScratchFolder&) = delete;
    TScratchFolder& operator=(const TScratchFolder&) = delete;
    const std::wstring& Path() const { return FPath; }  // with its trailing "\"

private:
    std::wstring FPath;
};

// The application as modules reach it, with a reference the caller
// releases; null outside a host.
IApplication* HostApplication();

// A part the calling thread takes in the application lock while the object
// lives, given back when it goes, also when the call fails: Enter returns
// the thread's previous state, which Leave restores.
template <int32_t (STDMETHODCALLTYPE IApplication::*Enter)(), void (STDMETHODCALLTYPE IApplication::*Leave)(int32_t)>
class THostLock {
public:
    THostLock() : FApplication(HostApplication())
    {
        if (FApplication != nullptr)
            FState = (FApplication->*Enter)();
    }
    ~THostLock()
    {
        if (FApplication != nullptr) {
            (FApplication->*Leave)(FState);
            FApplication->Release();
        }
    }
    THostLock(const THostLock&) = delete;
    THostLock& operator=(const THostLock&) = delete;

private:
    IApplication* FApplication = nullptr;
    int32_t FState = 0;
};

// The shared hold given up (a long library call).
using THostLockSuspended = THostLock<&IApplication::SuspendShared, &IApplication::ResumeShared>;
// The lock held exclusively.
using THostLockExclusive = THostLock<&IApplication::BeginExclusive, &IApplication::EndExclusive>;
// The lock held shared.
using THostLockShared = THostLock<&IApplication::BeginShared, &IApplication::EndShared>;

// The names of a pack as the command line ends with them: one name quoted
// after a blank, several through a response file passed after " @" (by its
// short path, or by its full path in quotes). With folderStars a name that
// is a folder below the base gets "\*" inside its quotes.
enum class TResponsePath { Short, QuotedFull };
std::wstring PackNames(const std::wstring& baseFolder, const std::vector<std::wstring>& names, bool folderStars,
                       TResponsePath responsePath, std::unique_ptr<TResponseFile>& response);

// Whether a name ends with suffix, letter case aside, as the system compares.
bool EndsWithIgnoringCase(std::wstring_view text, std::wstring_view suffix);

// Whether the byte string's first bytes equal prefix, letter case aside,
// as the system code page compares.
bool AnsiStartsWithIgnoringCase(std::string_view text, std::string_view prefix);
