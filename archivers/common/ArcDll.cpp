// The Windows side shared by our archiver libraries.
#include "archivers/common/ArcDll.h"

// Standard library
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <set>

namespace arcdll {

namespace {

struct TArchiveHandle {
    std::vector<TListedEntry> Entries;
    std::wstring Pattern;
    size_t Next = 0;                  // where FindNext goes on
    size_t Current = SIZE_MAX;        // the entry last found
};

std::mutex HandlesLock;
std::set<TArchiveHandle*> Handles;

// Runs f on a live handle under the handles' lock, so a handle closed on
// another thread is never used half-way.
template <typename F>
bool WithHandle(HANDLE handle, F&& f)
{
    std::lock_guard<std::mutex> guard(HandlesLock);
    auto* archive = static_cast<TArchiveHandle*>(handle);
    if (Handles.find(archive) == Handles.end()) return false;
    f(*archive);
    return true;
}

void CopyAnsi(char* target, size_t capacity, std::string_view text)
{
    size_t n = std::min(text.size(), capacity - 1);
    // Never cut a double-byte character in two.
    if (n < text.size() && n > 0) {
        size_t i = 0;
        while (i < n) {
            size_t step = IsDBCSLeadByte(static_cast<BYTE>(text[i])) ? 2 : 1;
            if (i + step > n) break;
            i += step;
        }
        n = i;
    }
    std::memcpy(target, text.data(), n);
    target[n] = 0;
}

void FillInfo(const TListedEntry& entry, TIndividualInfo& info)
{
    std::memset(&info, 0, sizeof info);
    info.dwOriginalSize = static_cast<DWORD>(std::min<uint64_t>(entry.Size, 0xFFFFFFFFu));
    info.dwCompressedSize = static_cast<DWORD>(std::min<uint64_t>(entry.PackedSize, 0xFFFFFFFFu));
    info.dwCRC = entry.Crc;
    info.uOSType = entry.OsType;
    info.wRatio = entry.Size == 0 ? 0 : static_cast<WORD>(std::min<uint64_t>(entry.PackedSize * 1000 / entry.Size, 0xFFFF));
    FileTimeToDosTime(entry.WriteTime, info.wDate, info.wTime);
    CopyAnsi(info.szFileName, sizeof info.szFileName, WideToAnsi(entry.Name));
    char attributes[] = "-----";
    if (entry.Attributes & FILE_ATTRIBUTE_ARCHIVE) attributes[0] = 'A';
    if (entry.Attributes & FILE_ATTRIBUTE_SYSTEM) attributes[1] = 'S';
    if (entry.Attributes & FILE_ATTRIBUTE_HIDDEN) attributes[2] = 'H';
    if (entry.Attributes & FILE_ATTRIBUTE_READONLY) attributes[3] = 'R';
    if (entry.Attributes & FILE_ATTRIBUTE_DIRECTORY) attributes[4] = 'D';
    CopyAnsi(info.szAttribute, sizeof info.szAttribute, attributes);
    CopyAnsi(info.szMode, sizeof info.szMode, entry.Method);
}

int FindFrom(TArchiveHandle& archive, TIndividualInfo* info)
{
    for (size_t i = archive.Next; i < archive.Entries.size(); ++i) {
        const TListedEntry& entry = archive.Entries[i];
        if (archive.Pattern.empty() || arccmd::MatchesPattern(archive.Pattern, entry.Name) ||
            arccmd::IsSelected({archive.Pattern}, entry.Name)) {
            archive.Current = i;
            archive.Next = i + 1;
            if (info) FillInfo(entry, *info);
            return 0;
        }
    }
    archive.Current = SIZE_MAX;
    archive.Next = archive.Entries.size();
    return arcerr::FindEnd;
}

std::wstring Convert(UINT codePage, std::string_view text)
{
    if (text.empty()) return {};
    int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), result.data(), n);
    return result;
}

std::string Convert(UINT codePage, std::wstring_view text)
{
    if (text.empty()) return {};
    int n = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), result.data(), n, nullptr, nullptr);
    return result;
}

std::optional<std::wstring> ReadResponseFile(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    std::string contents;
    char buffer[65536];
    DWORD read = 0;
    bool ok = true;
    // A response file is a list of names: a megabyte of them is already absurd.
    while ((ok = ReadFile(file, buffer, sizeof buffer, &read, nullptr) != FALSE) && read > 0) {
        contents.append(buffer, read);
        if (contents.size() > (64u << 20)) { ok = false; break; }
    }
    ::CloseHandle(file);
    if (!ok) return std::nullopt;
    if (contents.size() >= 3 && contents.compare(0, 3, "\xEF\xBB\xBF") == 0) return Utf8ToWide(contents.substr(3));
    return AnsiToWide(contents);
}

void WriteOutput(char* output, DWORD size, std::wstring_view text)
{
    if (!output || size == 0) return;
    CopyAnsi(output, size, WideToAnsi(text));
}

std::atomic<unsigned> TemporaryCounter{0};

}  // namespace

HANDLE OpenHandle(std::vector<TListedEntry> entries)
{
    auto archive = std::make_unique<TArchiveHandle>();
    archive->Entries = std::move(entries);
    std::lock_guard<std::mutex> guard(HandlesLock);
    Handles.insert(archive.get());
    return archive.release();
}

bool CloseHandle(HANDLE handle)
{
    std::lock_guard<std::mutex> guard(HandlesLock);
    auto* archive = static_cast<TArchiveHandle*>(handle);
    if (Handles.erase(archive) == 0) return false;
    delete archive;
    return true;
}

int FindFirst(HANDLE handle, const char* pattern, TIndividualInfo* info)
{
    int result = arcerr::HarcIsNotOpened;
    WithHandle(handle, [&](TArchiveHandle& archive) {
        archive.Pattern = pattern ? AnsiToWide(pattern) : std::wstring();
        if (archive.Pattern == L"*" || archive.Pattern == L"*.*") archive.Pattern.clear();
        archive.Next = 0;
        result = FindFrom(archive, info);
    });
    return result;
}

int FindNext(HANDLE handle, TIndividualInfo* info)
{
    int result = arcerr::HarcIsNotOpened;
    WithHandle(handle, [&](TArchiveHandle& archive) { result = FindFrom(archive, info); });
    return result;
}

bool WithCurrentEntry(HANDLE handle, const std::function<void(const TListedEntry&)>& f)
{
    bool found = false;
    WithHandle(handle, [&](TArchiveHandle& archive) {
        if (archive.Current < archive.Entries.size()) {
            f(archive.Entries[archive.Current]);
            found = true;
        }
    });
    return found;
}

int RunCommand(const char* line, char* output, DWORD size, bool hasCommandWord,
               const std::function<void(const arccmd::TCommand& command, std::wstring& report)>& run)
{
    if (output && size > 0) output[0] = 0;
    try {
        if (!line) Fail(arcerr::CommandName, L"No command line was given.");
        arccmd::TCommand command;
        try {
            command = arccmd::ParseCommand(AnsiToWide(line), hasCommandWord, ReadResponseFile);
        } catch (const arccmd::ECommandError& e) {
            Fail(std::string_view(e.what()).find("response") != std::string_view::npos ? arcerr::ResponseRead
                                                                                          : arcerr::CommandName,
                 Utf8ToWide(e.what()));
        }
        std::wstring report;
        run(command, report);
        WriteOutput(output, size, report);
        return 0;
    } catch (const arcio::EArchiveError& e) {
        WriteOutput(output, size, Utf8ToWide(e.what()));
        return e.Code();
    } catch (const std::bad_alloc&) {
        WriteOutput(output, size, L"Not enough memory.");
        return arcerr::MoreHeapMemory;
    } catch (const std::exception& e) {
        WriteOutput(output, size, Utf8ToWide(e.what()));
        return arcerr::CannotRead;
    }
}

std::wstring AnsiToWide(std::string_view text) { return Convert(CP_ACP, text); }
std::string WideToAnsi(std::wstring_view text) { return Convert(CP_ACP, text); }
std::wstring Utf8ToWide(std::string_view text) { return Convert(CP_UTF8, text); }
std::string WideToUtf8Text(std::wstring_view text) { return Convert(CP_UTF8, text); }

void Fail(int code, const std::wstring& message) { throw arcio::EArchiveError(code, WideToUtf8Text(message)); }

TFileInput::TFileInput(const std::wstring& path)
    : FHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr)),
      FSize(0)
{
    if (FHandle == INVALID_HANDLE_VALUE) Fail(arcerr::ArcFileOpen, L"The archive " + path + L" cannot be opened.");
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(FHandle, &size)) {
        ::CloseHandle(FHandle);
        Fail(arcerr::CannotRead, L"The size of " + path + L" cannot be read.");
    }
    FSize = static_cast<uint64_t>(size.QuadPart);
}

TFileInput::~TFileInput() { ::CloseHandle(FHandle); }

size_t TFileInput::ReadAt(uint64_t offset, void* buffer, size_t count)
{
    if (count == 0) return 0;
    auto inAhead = [&] { return offset >= FAheadAt && offset - FAheadAt < FAhead.size(); };
    if (!inAhead()) {
        if (count >= kReadAhead / 2) return ReadFromFile(offset, buffer, count);
        FAhead.resize(kReadAhead);
        size_t got = ReadFromFile(offset, FAhead.data(), kReadAhead);
        FAhead.resize(got);
        FAheadAt = offset;
        if (got == 0) return 0;
    }
    // What the block holds, then the rest (a piece that runs past its end).
    size_t at = static_cast<size_t>(offset - FAheadAt);
    size_t served = std::min(count, FAhead.size() - at);
    std::memcpy(buffer, FAhead.data() + at, served);
    // A block shorter than asked for ended at the end of the file.
    if (served == count || FAhead.size() < kReadAhead) return served;
    return served + ReadAt(offset + served, static_cast<char*>(buffer) + served, count - served);
}

size_t TFileInput::ReadFromFile(uint64_t offset, void* buffer, size_t count)
{
    size_t total = 0;
    while (total < count) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset + total);
        at.OffsetHigh = static_cast<DWORD>((offset + total) >> 32);
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(count - total, 1u << 30));
        DWORD read = 0;
        if (!ReadFile(FHandle, static_cast<char*>(buffer) + total, chunk, &read, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            Fail(arcerr::CannotRead, L"The archive cannot be read.");
        }
        if (read == 0) break;
        total += read;
    }
    return total;
}

TOutputFile::TOutputFile(std::wstring finalPath) : FFinal(std::move(finalPath)), FHandle(INVALID_HANDLE_VALUE)
{
    size_t slash = FFinal.find_last_of(L"\\/");
    // A name nobody uses yet is written in place: made new, it is deleted
    // again unless it is complete. A file already there is only replaced
    // once the new one is complete, so it is written under a temporary name.
    // The folders are made only when the file cannot be made without them:
    // most entries go into a folder an earlier entry made, and every call
    // saved is a round trip per file.
    auto createNew = [this] {
        return CreateFileW(FFinal.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    };
    auto markDeleteOnClose = [this] {
        FILE_DISPOSITION_INFO disposition{TRUE};
        FDeleteOnClose = SetFileInformationByHandle(FHandle, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
    };
    FHandle = createNew();
    if (FHandle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PATH_NOT_FOUND && slash != std::wstring::npos) {
        CreateFolders(FFinal.substr(0, slash));
        FHandle = createNew();
    }
    if (FHandle != INVALID_HANDLE_VALUE) {
        markDeleteOnClose();
        return;
    }
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
        Fail(arcerr::FileOpen, L"The file " + FFinal + L" cannot be created.");
    std::wstring folder = slash == std::wstring::npos ? std::wstring() : FFinal.substr(0, slash + 1);
    wchar_t name[64];
    swprintf(name, 64, L"~arc%lx-%x.tmp", static_cast<unsigned long>(GetCurrentProcessId()), TemporaryCounter.fetch_add(1));
    FTemporary = folder + name;
    FHandle = CreateFileW(FTemporary.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (FHandle == INVALID_HANDLE_VALUE) Fail(arcerr::FileOpen, L"The file " + FFinal + L" cannot be created.");
    markDeleteOnClose();
}

TOutputFile::~TOutputFile()
{
    if (FHandle != INVALID_HANDLE_VALUE) {
        ::CloseHandle(FHandle);
        if (!FDeleteOnClose) DeleteFileW(Written().c_str());
    }
}

void TOutputFile::Write(const void* data, size_t count)
{
    const char* bytes = static_cast<const char*>(data);
    while (count > 0) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(count, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(FHandle, bytes, chunk, &written, nullptr) || written == 0)
            Fail(arcerr::CannotWrite, L"The file " + FFinal + L" cannot be written (is the disk full?).");
        bytes += written;
        count -= written;
    }
}

void TOutputFile::Commit(int64_t writeTime, int64_t createTime, int64_t accessTime, DWORD attributes)
{
    auto toFileTime = [](int64_t ticks) {
        FILETIME t;
        t.dwLowDateTime = static_cast<DWORD>(ticks);
        t.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
        return t;
    };
    FILETIME write = toFileTime(writeTime), create = toFileTime(createTime), access = toFileTime(accessTime);
    SetFileTime(FHandle, createTime ? &create : nullptr, accessTime ? &access : nullptr, writeTime ? &write : nullptr);
    if (FDeleteOnClose) {
        // Complete: the file is kept when its handle closes.
        FILE_DISPOSITION_INFO disposition{FALSE};
        if (!SetFileInformationByHandle(FHandle, FileDispositionInfo, &disposition, sizeof disposition))
            Fail(arcerr::CannotWrite, L"The file " + FFinal + L" cannot be kept.");
        FDeleteOnClose = false;
    }
    bool closed = ::CloseHandle(FHandle) != FALSE;
    FHandle = INVALID_HANDLE_VALUE;
    if (!closed) {
        DeleteFileW(Written().c_str());
        Fail(arcerr::CannotWrite, L"The file " + FFinal + L" cannot be written.");
    }
    if (!FTemporary.empty()) {
        auto replace = [this] { return MoveFileExW(FTemporary.c_str(), FFinal.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE; };
        bool replaced = replace();
        if (!replaced && GetLastError() == ERROR_ACCESS_DENIED) {
            // A read-only file refuses to be replaced until it is writable.
            DWORD existing = GetFileAttributesW(FFinal.c_str());
            if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_READONLY) &&
                SetFileAttributesW(FFinal.c_str(), existing & ~FILE_ATTRIBUTE_READONLY)) {
                replaced = replace();
                // The file stays as it was, read-only too, when it still cannot be replaced.
                if (!replaced) SetFileAttributesW(FFinal.c_str(), existing);
            }
        }
        if (!replaced) {
            DeleteFileW(FTemporary.c_str());
            Fail(arcerr::CannotWrite, L"The file " + FFinal + L" cannot be replaced.");
        }
    }
    // A new file has the archive bit already; only the others need a call.
    constexpr DWORD kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
    if (attributes & (kept & ~FILE_ATTRIBUTE_ARCHIVE)) SetFileAttributesW(FFinal.c_str(), attributes & kept);
}

namespace {

int AskAboutExisting(const std::wstring& library, const std::wstring& path)
{
    std::wstring text = L"次のファイルは既にあります。\r\n" + path +
                        L"\r\n\r\n上書きしますか?\r\n\r\nはい: このファイルと以降の同じ名前のファイルを上書きします\r\n"
                        L"いいえ: 既にあるファイルはすべて残します\r\nキャンセル: 展開を中止します";
    return MessageBoxW(nullptr, text.c_str(), library.c_str(),
                       MB_YESNOCANCEL | MB_ICONQUESTION | MB_DEFBUTTON2 | MB_SETFOREGROUND | MB_TASKMODAL);
}

}  // namespace

TExistingFiles::TExistingFiles(std::wstring library, bool replace, TAsk ask)
    : FLibrary(std::move(library)), FAsk(ask ? ask : AskAboutExisting), FAnswer(replace ? IDYES : 0)
{
}

bool TExistingFiles::MayWrite(const std::wstring& path, arccmd::TSelected selected)
{
    const bool exactly = selected != arccmd::TSelected::IgnoringCase;
    std::wstring key = path;
    CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
    auto own = FOwn.find(key);
    if (own != FOwn.end()) {
        // A file of this command's own: replaced, unless the entry written
        // there carried the asked name as written and this one does not.
        if (own->second && !exactly) return false;
        own->second = exactly;
        return true;
    }
    if (FAnswer == IDYES) {
        FOwn.emplace(std::move(key), exactly);
        return true;
    }
    DWORD attributes = GetFileAttributesW(path.c_str());
    // Nothing there, or a folder the writing fails on by itself.
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        FOwn.emplace(std::move(key), exactly);
        return true;
    }
    if (FAnswer == 0) {
        int answer = FAsk(FLibrary, path);
        if (answer != IDYES && answer != IDNO) Fail(arcerr::UserCancel, L"The extraction was stopped at " + path + L".");
        FAnswer = answer;
    }
    if (FAnswer == IDYES) {
        FOwn.emplace(std::move(key), exactly);
        return true;
    }
    ++FKept;
    return false;
}

std::wstring TExistingFiles::Note() const
{
    return FKept == 0 ? std::wstring() : L" " + std::to_wstring(FKept) + L" existing file(s) kept.";
}

std::wstring ExtractionPath(const std::wstring& folder, std::wstring_view entryName, bool keepFolders)
{
    std::optional<std::wstring> safe = arccmd::SafeRelativePath(entryName);
    if (!safe) Fail(arcerr::NotFilename, L"The entry name " + std::wstring(entryName) + L" is refused: it would be written outside the destination.");
    if (!keepFolders) {
        size_t slash = safe->find_last_of(L'\\');
        if (slash != std::wstring::npos) safe->erase(0, slash + 1);
    }
    std::wstring path = folder;
    if (!path.empty() && path.back() != L'\\' && path.back() != L'/') path += L'\\';
    path += *safe;
    if (path.size() >= MAX_PATH) Fail(arcerr::NotFilename, L"The path " + path + L" is too long.");
    return path;
}

void CreateFolders(const std::wstring& path)
{
    if (path.empty()) return;
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) return;
        Fail(arcerr::MakeDirectory, L"The folder " + path + L" cannot be made: a file has its name.");
    }
    size_t slash = path.find_last_of(L"\\/");
    if (slash != std::wstring::npos && slash > 0 && path[slash - 1] != L':') CreateFolders(path.substr(0, slash));
    if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        Fail(arcerr::MakeDirectory, L"The folder " + path + L" cannot be made.");
}

void SetFolderTime(const std::wstring& path, int64_t writeTime)
{
    if (writeTime == 0) return;
    HANDLE folder = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return;
    FILETIME t{static_cast<DWORD>(writeTime), static_cast<DWORD>(static_cast<uint64_t>(writeTime) >> 32)};
    SetFileTime(folder, nullptr, nullptr, &t);
    ::CloseHandle(folder);
}

int64_t DosTimeToFileTime(uint16_t date, uint16_t time)
{
    FILETIME local, utc;
    if (!DosDateTimeToFileTime(date, time, &local) || !LocalFileTimeToFileTime(&local, &utc)) return 0;
    return static_cast<int64_t>((static_cast<uint64_t>(utc.dwHighDateTime) << 32) | utc.dwLowDateTime);
}

void FileTimeToDosTime(int64_t ticks, uint16_t& date, uint16_t& time)
{
    date = time = 0;
    if (ticks <= 0) return;
    FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32)}, local;
    WORD d = 0, t = 0;
    if (FileTimeToLocalFileTime(&utc, &local) && FileTimeToDosDateTime(&local, &d, &t)) {
        date = d;
        time = t;
    }
}

void ShowAboutBox(HWND owner, const wchar_t* library, const wchar_t* version)
{
    std::wstring text = std::wstring(library) + L"\r\nversion " + version + L"\r\n\r\nNimbra's own archiver library.";
    MessageBoxW(owner, text.c_str(), library, MB_OK | MB_ICONINFORMATION);
}

HANDLE OpenListing(const char* archivePath, const std::function<std::vector<TListedEntry>(const std::wstring&)>& list)
{
    if (!archivePath) return nullptr;
    try {
        return OpenHandle(list(AnsiToWide(archivePath)));
    } catch (...) {
        return nullptr;
    }
}

int CloseListing(HANDLE handle)
{
    try {
        return CloseHandle(handle) ? 0 : arcerr::HarcIsNotOpened;
    } catch (...) {
        return arcerr::HarcIsNotOpened;
    }
}

int FindFirstEntry(HANDLE handle, const char* pattern, TIndividualInfo* info)
{
    try {
        return FindFirst(handle, pattern, info);
    } catch (...) {
        return arcerr::MoreHeapMemory;
    }
}

int FindNextEntry(HANDLE handle, TIndividualInfo* info)
{
    try {
        return FindNext(handle, info);
    } catch (...) {
        return arcerr::MoreHeapMemory;
    }
}

int CurrentAttributes(HANDLE handle)
{
    int attributes = -1;
    try {
        WithCurrentEntry(handle, [&](const TListedEntry& entry) { attributes = static_cast<int>(entry.Attributes); });
    } catch (...) {
    }
    return attributes;
}

BOOL CurrentFileTime(HANDLE handle, FILETIME* time, TTimeField field)
{
    if (!time) return FALSE;
    BOOL found = FALSE;
    try {
        WithCurrentEntry(handle, [&](const TListedEntry& entry) {
            int64_t ticks = entry.*field;
            if (ticks <= 0) return;
            time->dwLowDateTime = static_cast<DWORD>(ticks);
            time->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
            found = TRUE;
        });
    } catch (...) {
    }
    return found;
}

DWORD CurrentUnixTime(HANDLE handle, TTimeField field)
{
    DWORD seconds = static_cast<DWORD>(-1);
    try {
        WithCurrentEntry(handle, [&](const TListedEntry& entry) {
            long long unix = entry.*field > 0 ? arccmd::FileTimeToUnix(entry.*field) : 0;
            seconds = static_cast<DWORD>(std::clamp<long long>(unix, 0, 0xFFFFFFFELL));
        });
    } catch (...) {
    }
    return seconds;
}

BOOL ShowConfigDialog(HWND owner, const wchar_t* library)
{
    try {
        ShowAboutBox(owner, library, L"1.00");
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}

}  // namespace arcdll
