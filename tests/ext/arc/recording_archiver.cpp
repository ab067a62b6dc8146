// A stand-in for an outside archiver library that records every call the
// archive modules make, built once per library name (PREFIX is "SevenZip",
// "Tar", "Unlha" or "UnGCA"). The tests tell it what to list, what to
// answer and what an extraction writes, through the Recording* exports, and
// read back the calls with RecordingTake.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <mutex>
#include <string>
#include <vector>

#include "archivers/common/ArcCommand.h"
#include "archivers/common/ArcDll.h"

#define JOIN2(a, b) a##b
#define JOIN(a, b) JOIN2(a, b)
#define NAMED(suffix) JOIN(PREFIX, suffix)
#define EXPORT extern "C" __declspec(dllexport)

namespace {

struct TEntry {
    std::string Name;
    DWORD Size;
    int Attributes;
    DWORD UnixTime;
};

std::mutex Lock;
std::string Calls;
std::vector<TEntry> Entries;
bool Listable = false;
int Result = 0;
std::string Message;
int Type = 1;
std::string Data = "recorded data";
// An open archive: the entries as they were when it was opened, and the one
// a search is on. Listings may run at the same moment on several threads.
struct TListing {
    std::vector<TEntry> Listed;
    size_t Current = 0;
};
TListing& Of(HANDLE handle) { return *static_cast<TListing*>(handle); }
// A listing stops at its first entry until the test lets it go; with
// GateOnce only the next one does.
HANDLE GateReached = nullptr;
HANDLE GateRelease = nullptr;
bool GateOnce = false;

void Record(const std::string& line)
{
    std::lock_guard<std::mutex> guard(Lock);
    Calls += line + "\n";
}

std::string ReadWhole(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<unreadable>";
    char buffer[65536];
    DWORD read = 0;
    ReadFile(file, buffer, sizeof buffer, &read, nullptr);
    CloseHandle(file);
    return std::string(buffer, read);
}

// Does what a command asks of the files: an extraction of named items
// writes the data under each item's file name in the folder; a response
// file's text is recorded, as the library would read it during the call.
void Perform(const std::string& line)
{
    std::wstring wide = arcdll::AnsiToWide(line);
    bool commandWord = !wide.empty() && wide[0] != L'-';
    arccmd::TCommand command;
    try {
        command = arccmd::ParseCommand(wide, commandWord, [](const std::wstring& path) -> std::optional<std::wstring> {
            Record("response " + arcdll::WideToAnsi(path) + "\n" + ReadWhole(path));
            return arcdll::AnsiToWide(ReadWhole(path));
        });
    } catch (...) {
        return;
    }
    bool extract = command.Command == L"e" || command.Command == L"ex" || command.HasSwitch(L"-x");
    if (!extract || command.Folder.empty())
        return;
    for (const std::wstring& name : command.Names) {
        size_t slash = name.find_last_of(L"/\\");
        std::wstring path = command.Folder + (slash == std::wstring::npos ? name : name.substr(slash + 1));
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            continue;
        DWORD written = 0;
        WriteFile(file, Data.data(), static_cast<DWORD>(Data.size()), &written, nullptr);
        CloseHandle(file);
    }
}

FILETIME FileTimeOf(DWORD unixTime)
{
    ULONGLONG ticks = (static_cast<ULONGLONG>(unixTime) + 11644473600ULL) * 10000000ULL;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

int Fill(const TListing& listing, arcdll::TIndividualInfo* info)
{
    if (listing.Current >= listing.Listed.size())
        return -1;
    std::memset(info, 0, sizeof *info);
    const TEntry& entry = listing.Listed[listing.Current];
    info->dwOriginalSize = entry.Size;
    snprintf(info->szFileName, sizeof info->szFileName, "%s", entry.Name.c_str());
    return 0;
}

} // namespace

// Test controls.
EXPORT void RecordingReset()
{
    std::lock_guard<std::mutex> guard(Lock);
    Calls.clear();
    Entries.clear();
    Listable = false;
    Result = 0;
    Message.clear();
    Type = 1;
    Data = "recorded data";
    GateReached = GateRelease = nullptr;
    GateOnce = false;
}

// The next listings signal reached at their first entry and wait there for
// release (ten seconds at most).
EXPORT void RecordingSetGate(HANDLE reached, HANDLE release)
{
    std::lock_guard<std::mutex> guard(Lock);
    GateReached = reached;
    GateRelease = release;
    GateOnce = false;
}

// Only the next listing stops so.
EXPORT void RecordingSetGateOnce(HANDLE reached, HANDLE release)
{
    RecordingSetGate(reached, release);
    std::lock_guard<std::mutex> guard(Lock);
    GateOnce = true;
}

// Lines "name<TAB>size<TAB>attributes<TAB>unix time", names in the code page.
EXPORT void RecordingSetEntries(const char* lines)
{
    std::lock_guard<std::mutex> guard(Lock);
    Entries.clear();
    Listable = true;
    std::string text = lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        TEntry entry{};
        char name[600] = {};
        unsigned long size = 0, unixTime = 0;
        int attributes = 0;
        if (sscanf(line.c_str(), "%599[^\t]\t%lu\t%x\t%lu", name, &size, &attributes, &unixTime) == 4) {
            entry.Name = name;
            entry.Size = size;
            entry.Attributes = attributes;
            entry.UnixTime = unixTime;
            Entries.push_back(entry);
        }
    }
}

EXPORT void RecordingSetResult(int result, const char* message)
{
    std::lock_guard<std::mutex> guard(Lock);
    Result = result;
    Message = message;
}

EXPORT void RecordingSetType(int type) { Type = type; }

EXPORT void RecordingSetData(const char* data, int size)
{
    std::lock_guard<std::mutex> guard(Lock);
    Data.assign(data, static_cast<size_t>(size));
}

// The calls so far, one per line; then forgotten.
EXPORT int RecordingTake(char* buffer, int size)
{
    std::lock_guard<std::mutex> guard(Lock);
    int n = snprintf(buffer, static_cast<size_t>(size), "%s", Calls.c_str());
    Calls.clear();
    return n;
}

// The library.
EXPORT int WINAPI PREFIX(HWND, LPCSTR line, LPSTR output, DWORD size)
{
    Record(std::string("command ") + line);
    // A library works without the caller's lock: slow enough for a second
    // call to overlap.
    Sleep(50);
    Perform(line);
    if (output != nullptr && size > 0)
        snprintf(output, size, "%s", Message.c_str());
    return Result;
}

#ifndef RECORDING_NO_CONFIG
EXPORT BOOL WINAPI NAMED(ConfigDialog)(HWND, LPSTR, int mode)
{
    Record("ConfigDialog " + std::to_string(mode));
    return TRUE;
}
#endif

EXPORT HANDLE WINAPI NAMED(OpenArchive)(HWND, LPCSTR path, DWORD mode)
{
    char hex[16];
    snprintf(hex, sizeof hex, "%lX", static_cast<unsigned long>(mode));
    Record(std::string("OpenArchive ") + path + " " + hex);
    std::lock_guard<std::mutex> guard(Lock);
    if (!Listable)
        return nullptr;
    return new TListing{Entries};
}

EXPORT int WINAPI NAMED(CloseArchive)(HANDLE handle)
{
    Record("CloseArchive");
    delete &Of(handle);
    return 0;
}

EXPORT int WINAPI NAMED(FindFirst)(HANDLE handle, LPCSTR pattern, arcdll::TIndividualInfo* info)
{
    Record(std::string("FindFirst ") + pattern);
    Of(handle).Current = 0;
    HANDLE reached = nullptr, release = nullptr;
    {
        std::lock_guard<std::mutex> guard(Lock);
        std::swap(reached, GateReached);
        std::swap(release, GateRelease);
        if (!GateOnce) {
            GateReached = reached;
            GateRelease = release;
        }
    }
    if (reached != nullptr) {
        SetEvent(reached);
        WaitForSingleObject(release, 10000);
    }
    return Fill(Of(handle), info);
}

EXPORT int WINAPI NAMED(FindNext)(HANDLE handle, arcdll::TIndividualInfo* info)
{
    ++Of(handle).Current;
    return Fill(Of(handle), info);
}

namespace {

// The entry the search is on, or none.
const TEntry* At(HANDLE handle)
{
    const TListing& listing = Of(handle);
    return listing.Current < listing.Listed.size() ? &listing.Listed[listing.Current] : nullptr;
}

} // namespace

EXPORT int WINAPI NAMED(GetAttribute)(HANDLE h) { return At(h) ? At(h)->Attributes : -1; }
EXPORT DWORD WINAPI NAMED(GetWriteTime)(HANDLE h) { return At(h) ? At(h)->UnixTime : 0; }
EXPORT DWORD WINAPI NAMED(GetCreateTime)(HANDLE h) { return At(h) ? At(h)->UnixTime + 1 : 0; }
EXPORT DWORD WINAPI NAMED(GetAccessTime)(HANDLE h) { return At(h) ? At(h)->UnixTime + 2 : 0; }

// The write time as FILETIME fails for entries whose time is odd, so that
// the fallback to Unix seconds is seen.
EXPORT BOOL WINAPI NAMED(GetWriteTimeEx)(HANDLE h, FILETIME* time)
{
    if (!At(h) || At(h)->UnixTime % 2 != 0)
        return FALSE;
    *time = FileTimeOf(At(h)->UnixTime + 10);
    return TRUE;
}
EXPORT BOOL WINAPI NAMED(GetCreateTimeEx)(HANDLE h, FILETIME* time)
{
    *time = FileTimeOf(At(h) ? At(h)->UnixTime + 11 : 0);
    return TRUE;
}
EXPORT BOOL WINAPI NAMED(GetAccessTimeEx)(HANDLE h, FILETIME* time)
{
    *time = FileTimeOf(At(h) ? At(h)->UnixTime + 12 : 0);
    return TRUE;
}

EXPORT int WINAPI NAMED(GetArchiveType)(LPCSTR path)
{
    Record(std::string("GetArchiveType ") + path);
    return Type;
}

EXPORT int WINAPI NAMED(ExtractMem)(HWND, LPCSTR line, LPBYTE buffer, DWORD size, void* time, LPWORD attributes,
                                    LPDWORD written)
{
    Record(std::string("ExtractMem ") + line + " " + std::to_string(size) + (time || attributes ? " with outputs" : "") +
           (written ? " with size" : ""));
    size_t copied = std::min<size_t>(size, Data.size());
    std::memcpy(buffer, Data.data(), copied);
    if (written) *written = static_cast<DWORD>(copied);
    return Result;
}
