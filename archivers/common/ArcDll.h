// The Windows side shared by our archiver libraries: the entry record and
// archive handles of the common calling convention, the command entry
// point's error handling, and files written so that a failure never leaves a
// half-written file under its final name.
#pragma once

// Platform
#include <windows.h>

// Standard library
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

// Project
#include "archivers/common/ArcCommand.h"
#include "archivers/common/ArcStream.h"

namespace arcdll {

// The entry record callers of such libraries pass to FindFirst/FindNext.
struct TIndividualInfo {
    DWORD dwOriginalSize;
    DWORD dwCompressedSize;
    DWORD dwCRC;
    UINT uFlag;
    UINT uOSType;
    WORD wRatio;  // compressed size per mille of the original
    WORD wDate;   // DOS date and time, local
    WORD wTime;
    char szFileName[513];  // system code page
    char dummy1[3];
    char szAttribute[8];
    char szMode[8];
};
static_assert(offsetof(TIndividualInfo, szFileName) == 26 && offsetof(TIndividualInfo, szAttribute) == 542 &&
              offsetof(TIndividualInfo, szMode) == 550 && sizeof(TIndividualInfo) == 560);

// One entry as a library lists it.
struct TListedEntry {
    std::wstring Name;  // "\" separators; a folder entry ends in "\"
    uint64_t Size = 0;
    uint64_t PackedSize = 0;
    uint32_t Crc = 0;
    uint32_t Attributes = FILE_ATTRIBUTE_ARCHIVE;
    // FILETIME ticks, UTC; 0 when the archive does not say.
    int64_t WriteTime = 0;
    int64_t CreateTime = 0;
    int64_t AccessTime = 0;
    std::string Method;  // "-lh5-", "Deflate", ...
    UINT OsType = 0;
};

// An open archive of the enumeration functions. Handles are checked: a
// stale or made-up handle is refused, never followed.
HANDLE OpenHandle(std::vector<TListedEntry> entries);
bool CloseHandle(HANDLE handle);
// 0 and the record of the first (next) entry matching the pattern, FindEnd
// after the last, HarcIsNotOpened for a bad handle.
int FindFirst(HANDLE handle, const char* pattern, TIndividualInfo* info);
int FindNext(HANDLE handle, TIndividualInfo* info);
// Runs f on the current entry (after FindFirst/FindNext found one); false
// when there is none or the handle is bad.
bool WithCurrentEntry(HANDLE handle, const std::function<void(const TListedEntry&)>& f);

// The enumeration exports as every library has them, each caught whole: a
// failure gives the call's failure value, never an exception across the
// export. OpenListing lists the archive (a path in the system code page)
// with list; null when it cannot.
HANDLE OpenListing(const char* archivePath, const std::function<std::vector<TListedEntry>(const std::wstring&)>& list);
int CloseListing(HANDLE handle);                                          // 0, or HarcIsNotOpened
int FindFirstEntry(HANDLE handle, const char* pattern, TIndividualInfo* info);
int FindNextEntry(HANDLE handle, TIndividualInfo* info);
// The current entry's attributes; -1 without one.
int CurrentAttributes(HANDLE handle);
// One of the current entry's times: as FILETIME (FALSE without an entry or
// a time), or in Unix seconds (-1 without an entry, clamped to 0 and
// 0xFFFFFFFE).
using TTimeField = int64_t TListedEntry::*;
BOOL CurrentFileTime(HANDLE handle, FILETIME* time, TTimeField field);
DWORD CurrentUnixTime(HANDLE handle, TTimeField field);
// The settings dialog export: the library's about box.
BOOL ShowConfigDialog(HWND owner, const wchar_t* library);

// The command entry point's frame: converts the line from the system code
// page, parses it (response files read from disk), runs the command and
// turns every failure into an error number with its message in the output
// buffer (system code page, cut to size). What the command reports goes to
// the buffer on success.
int RunCommand(const char* line, char* output, DWORD size, bool hasCommandWord,
               const std::function<void(const arccmd::TCommand& command, std::wstring& report)>& run);

// Text conversions at the edge: the system code page and UTF-8.
std::wstring AnsiToWide(std::string_view text);
std::string WideToAnsi(std::wstring_view text);
std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8Text(std::wstring_view text);

// A failure with a wide message (a name inside it), turned into EArchiveError.
[[noreturn]] void Fail(int code, const std::wstring& message);

// A Windows file as a core's input; opened for reading, others may read.
// The cores read many small pieces that lie one after another (a header,
// a name, the data behind them): small reads are served from a block read
// ahead, large ones go straight to the file. One thread reads at a time.
class TFileInput : public arcio::IInput {
public:
    explicit TFileInput(const std::wstring& path);  // throws ArcFileOpen
    ~TFileInput() override;
    TFileInput(const TFileInput&) = delete;
    TFileInput& operator=(const TFileInput&) = delete;
    uint64_t Size() const override { return FSize; }
    size_t ReadAt(uint64_t offset, void* buffer, size_t count) override;

    static constexpr size_t kReadAhead = 64 * 1024;

private:
    size_t ReadFromFile(uint64_t offset, void* buffer, size_t count);

    HANDLE FHandle;
    uint64_t FSize;
    std::vector<uint8_t> FAhead;
    uint64_t FAheadAt = 0;
};

// A file that appears under its final name only complete. A new name is
// written in place and deleted again unless Commit comes; a file already
// there is replaced only by Commit, from a temporary file beside it. Commit
// also sets the times and attributes. Until Commit the file being written is
// marked to be deleted when its handle closes, so that a process ended in
// the middle (the program closed while it unpacks) leaves no part of it.
class TOutputFile : public arcio::IOutput {
public:
    explicit TOutputFile(std::wstring finalPath);  // throws FileOpen / MakeDirectory
    ~TOutputFile() override;
    TOutputFile(const TOutputFile&) = delete;
    TOutputFile& operator=(const TOutputFile&) = delete;
    void Write(const void* data, size_t count) override;
    // Times in FILETIME ticks (0: leave as written).
    void Commit(int64_t writeTime, int64_t createTime = 0, int64_t accessTime = 0, DWORD attributes = 0);

private:
    // The file being written: the final one, or the temporary one beside it.
    const std::wstring& Written() const { return FTemporary.empty() ? FFinal : FTemporary; }

    std::wstring FFinal;
    std::wstring FTemporary;  // empty when the final name is written in place
    HANDLE FHandle;
    bool FDeleteOnClose = false;  // the file system took the mark
};

// What an extraction does with a file already under an entry's name. With
// the command's overwrite switch it is replaced. Otherwise the user is
// asked at the first such file, once for the whole command: replace it and
// every later one, keep them all, or stop (nothing more is written). A file
// this command wrote itself (a later entry of the same name) is replaced
// without a question, except that an entry the names select only once
// letter case is ignored never replaces one they select as written.
class TExistingFiles {
public:
    // Answers IDYES, IDNO or IDCANCEL for the first file found.
    using TAsk = int (*)(const std::wstring& library, const std::wstring& path);
    TExistingFiles(std::wstring library, bool replace, TAsk ask = nullptr);
    // Whether the entry may be written to path; false keeps the file that
    // is there. Fails with UserCancel when the user stops.
    bool MayWrite(const std::wstring& path, arccmd::TSelected selected = arccmd::TSelected::Exactly);
    // What the report adds: how many files were kept, or nothing.
    std::wstring Note() const;

private:
    std::wstring FLibrary;
    TAsk FAsk;
    int FAnswer;  // 0 until asked, then IDYES or IDNO
    size_t FKept = 0;
    // The paths this command writes, upper-cased, and whether the entry
    // written there was selected as written.
    std::map<std::wstring, bool> FOwn;
};

// Where an entry goes when extracted to a folder: the folder (ending in a
// separator or not) and the entry's safe path, or its file name alone when
// folders are not kept. Fails with NotFilename for a name that must be
// refused or a path too long for the system.
std::wstring ExtractionPath(const std::wstring& folder, std::wstring_view entryName, bool keepFolders);
// Creates a folder and its missing parents; fails with MakeDirectory.
void CreateFolders(const std::wstring& path);
// Sets a folder's time after its files are written (their writing moves it).
void SetFolderTime(const std::wstring& path, int64_t writeTime);

// DOS date and time (local) and FILETIME ticks (UTC).
int64_t DosTimeToFileTime(uint16_t date, uint16_t time);
void FileTimeToDosTime(int64_t ticks, uint16_t& date, uint16_t& time);

// The small settings dialog of a library: its name and version.
void ShowAboutBox(HWND owner, const wchar_t* library, const wchar_t* version);

}  // namespace arcdll
