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
size_t Current = 0;
int HandleToken = 0;
// A listing stops at its first entry until the test lets it go.
HANDLE GateReached = nullptr;
HANDLE GateRelease = nullptr;

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

int Fill(arcdll::TIndividualInfo* info)
{
    if (Current >= Entries.size())
        return -1;
    std::memset(info, 0, sizeof *info);
    const TEntry& entry = Entries[Current];
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
}

// The next listings signal reached at their first entry and wait there for
// release (ten seconds at most).
EXPORT void RecordingSetGate(HANDLE reached, HANDLE release)
{
    std::lock_guard<std::mutex> guard(Lock);
    GateReached = reached;
    GateRelease = release;
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
    if (!Listable)
        return nullptr;
    Current = 0;
    return &HandleToken;
}

EXPORT int WINAPI NAMED(CloseArchive)(HANDLE)
{
    Record("CloseArchive");
    return 0;
}

EXPORT int WINAPI NAMED(FindFirst)(HANDLE, LPCSTR pattern, arcdll::TIndividualInfo* info)
{
    Record(std::string("FindFirst ") + pattern);
    Current = 0;
    if (GateReached != nullptr) {
        SetEvent(GateReached);
        WaitForSingleObject(GateRelease, 10000);
    }
    return Fill(info);
}

EXPORT int WINAPI NAMED(FindNext)(HANDLE, arcdll::TIndividualInfo* info)
{
    ++Current;
    return Fill(info);
}

EXPORT int WINAPI NAMED(GetAttribute)(HANDLE) { return Current < Entries.size() ? Entries[Current].Attributes : -1; }
EXPORT DWORD WINAPI NAMED(GetWriteTime)(HANDLE) { return Current < Entries.size() ? Entries[Current].UnixTime : 0; }
EXPORT DWORD WINAPI NAMED(GetCreateTime)(HANDLE) { return Current < Entries.size() ? Entries[Current].UnixTime + 1 : 0; }
EXPORT DWORD WINAPI NAMED(GetAccessTime)(HANDLE) { return Current < Entries.size() ? Entries[Current].UnixTime + 2 : 0; }

// The write time as FILETIME fails for entries whose time is odd, so that
// the fallback to Unix seconds is seen.
EXPORT BOOL WINAPI NAMED(GetWriteTimeEx)(HANDLE, FILETIME* time)
{
    if (Current >= Entries.size() || Entries[Current].UnixTime % 2 != 0)
        return FALSE;
    *time = FileTimeOf(Entries[Current].UnixTime + 10);
    return TRUE;
}
EXPORT BOOL WINAPI NAMED(GetCreateTimeEx)(HANDLE, FILETIME* time)
{
    *time = FileTimeOf(Current < Entries.size() ? Entries[Current].UnixTime + 11 : 0);
    return TRUE;
}
EXPORT BOOL WINAPI NAMED(GetAccessTimeEx)(HANDLE, FILETIME* time)
{
    *time = FileTimeOf(Current < Entries.size() ? Entries[Current].UnixTime + 12 : 0);
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
