// Unlha32.dll: LZH archives for the archive module. Commands:
//   e [-y] "ARC" "DEST\" ITEM...        extract items without their folders
//   x [-a1] [-x1] [-jsp3] "ARC" "DEST\"  extract everything with folders
//                                       (-a1 keeps the attributes)
//   u [-d1] "ARC" "BASE\" NAME...        add or replace files and folders
//                                       (with their content); -d1 keeps the
//                                       folder names
// and UnlhaExtractMem for one item into the caller's buffer.
#include <windows.h>

// Standard library
#include <algorithm>
#include <memory>

// Project
#include "archivers/common/ArcDll.h"
#include "archivers/lzh/LzhFormat.h"

namespace {

using arcdll::Fail;

constexpr WORD Version = 100;

std::wstring FromBytes(const std::string& bytes, uint32_t codePage)
{
    if (bytes.empty()) return {};
    UINT page = codePage != 0 && IsValidCodePage(codePage) ? codePage : CP_ACP;
    int n = MultiByteToWideChar(page, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(page, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), n);
    return text;
}

// Bytes with 0xFF separators: each part is converted on its own, so a
// separator never joins a double-byte character.
std::wstring PathFromBytes(const std::string& bytes, uint32_t codePage)
{
    std::wstring path;
    size_t start = 0;
    for (;;) {
        size_t separator = bytes.find('\xFF', start);
        path += FromBytes(bytes.substr(start, separator == std::string::npos ? std::string::npos : separator - start), codePage);
        if (separator == std::string::npos) break;
        path += L'\\';
        start = separator + 1;
    }
    return path;
}

std::wstring FromUtf16(const std::u16string& text)
{
    std::wstring path(text.begin(), text.end());
    std::replace(path.begin(), path.end(), L'\xFFFF', L'\\');
    return path;
}

// The entry's name with "\" separators; a folder ends in "\".
std::wstring EntryName(const lzh::TEntry& entry)
{
    std::wstring folder = entry.HasUnicodeDirectory ? FromUtf16(entry.UnicodeDirectory) : PathFromBytes(entry.Directory, entry.CodePage);
    std::wstring name = entry.HasUnicodeName ? FromUtf16(entry.UnicodeName) : PathFromBytes(entry.FileName, entry.CodePage);
    std::replace(folder.begin(), folder.end(), L'/', L'\\');
    std::replace(name.begin(), name.end(), L'/', L'\\');
    if (!folder.empty() && folder.back() != L'\\' && !name.empty()) folder += L'\\';
    std::wstring path = folder + name;
    if (entry.IsDirectory() && !path.empty() && path.back() != L'\\') path += L'\\';
    return path;
}

int64_t WriteTimeOf(const lzh::TEntry& entry)
{
    if (entry.WriteTime != 0) return entry.WriteTime;
    if (entry.HasUnixTime) return arccmd::UnixToFileTime(entry.UnixTime);
    return arcdll::DosTimeToFileTime(static_cast<uint16_t>(entry.DosTime >> 16), static_cast<uint16_t>(entry.DosTime));
}

DWORD AttributesOf(const lzh::TEntry& entry)
{
    DWORD attributes = entry.Attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    if (entry.IsDirectory()) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    return attributes;
}

arcdll::TListedEntry Listed(const lzh::TEntry& entry)
{
    arcdll::TListedEntry listed;
    listed.Name = EntryName(entry);
    listed.Size = entry.OriginalSize;
    listed.PackedSize = entry.PackedSize;
    listed.Crc = entry.Crc;
    listed.Attributes = AttributesOf(entry);
    listed.WriteTime = WriteTimeOf(entry);
    // Archives without Windows times have the write time only.
    listed.CreateTime = entry.CreateTime != 0 ? entry.CreateTime : listed.WriteTime;
    listed.AccessTime = entry.AccessTime != 0 ? entry.AccessTime : listed.WriteTime;
    listed.Method = entry.Method;
    listed.OsType = entry.OsId;
    return listed;
}

std::wstring WithoutTrailingSeparator(std::wstring name)
{
    while (!name.empty() && (name.back() == L'\\' || name.back() == L'/'))
        name.pop_back();
    return name;
}

std::wstring Folder(const arccmd::TCommand& command)
{
    if (!command.Folder.empty()) return command.Folder;
    wchar_t current[MAX_PATH];
    DWORD n = GetCurrentDirectoryW(MAX_PATH, current);
    if (n == 0 || n >= MAX_PATH) Fail(arcerr::MakeDirectory, L"The current folder is unknown.");
    return std::wstring(current) + L"\\";
}

void Extract(const arccmd::TCommand& command, std::wstring& report)
{
    const bool keepFolders = command.Command == L"x" || command.HasSwitch(L"-x1");
    const bool keepAttributes = command.HasSwitch(L"-a1");
    const std::wstring destination = Folder(command);
    arcdll::TFileInput input(command.Archive);
    std::vector<lzh::TEntry> entries = lzh::ReadEntries(input);

    // Every name is checked before anything is written: a hostile entry
    // refuses the whole archive rather than leaving part of it behind.
    struct TJob {
        const lzh::TEntry* Entry;
        std::wstring Path;
        arccmd::TSelected Selected;
    };
    std::vector<TJob> jobs;
    for (const lzh::TEntry& entry : entries) {
        std::wstring name = EntryName(entry);
        arccmd::TSelected selected = arccmd::SelectionOf(command.Names, WithoutTrailingSeparator(name));
        if (selected == arccmd::TSelected::No) continue;
        if (entry.IsDirectory() && !keepFolders) continue;
        jobs.push_back({&entry, arcdll::ExtractionPath(destination, WithoutTrailingSeparator(name), keepFolders), selected});
    }
    if (jobs.empty() && !command.Names.empty()) Fail(arcerr::NotExist, L"No entry of the archive matches the names given.");

    unsigned files = 0;
    arcdll::TExistingFiles existing(L"Unlha32.dll", command.HasSwitch(L"-y") || command.HasSwitch(L"-m1"));
    for (const TJob& job : jobs) {
        const lzh::TEntry& entry = *job.Entry;
        if (entry.IsDirectory()) {
            arcdll::CreateFolders(job.Path);
            continue;
        }
        if (!existing.MayWrite(job.Path, job.Selected)) continue;
        arcdll::TOutputFile output(job.Path);
        lzh::DecodeEntry(input, entry, output);
        output.Commit(WriteTimeOf(entry), entry.CreateTime, entry.AccessTime, keepAttributes ? AttributesOf(entry) : 0);
        ++files;
    }
    // Writing the files moved the folders' times: they are set last, deepest first.
    for (auto it = jobs.rbegin(); it != jobs.rend(); ++it)
        if (it->Entry->IsDirectory()) arcdll::SetFolderTime(it->Path, WriteTimeOf(*it->Entry));
    report = std::to_wstring(files) + L" file(s) extracted." + existing.Note();
}

// ---------------------------------------------------------------------------
// Packing.

// The archive being written, under a temporary name beside its final one;
// it replaces the archive only when complete.
class TArchiveWriter : public arcio::IOutput {
public:
    explicit TArchiveWriter(const std::wstring& finalPath) : FFinal(finalPath)
    {
        size_t slash = finalPath.find_last_of(L"\\/");
        std::wstring folder = slash == std::wstring::npos ? L"." : finalPath.substr(0, slash);
        wchar_t name[MAX_PATH];
        if (!GetTempFileNameW(folder.c_str(), L"lzh", 0, name)) Fail(arcerr::FileOpen, L"The archive " + finalPath + L" cannot be created.");
        FTemporary = name;
        FHandle = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (FHandle == INVALID_HANDLE_VALUE) {
            DeleteFileW(name);
            Fail(arcerr::FileOpen, L"The archive " + finalPath + L" cannot be created.");
        }
    }
    ~TArchiveWriter() override
    {
        if (FHandle != INVALID_HANDLE_VALUE) ::CloseHandle(FHandle);
        if (!FCommitted) DeleteFileW(FTemporary.c_str());
    }
    TArchiveWriter(const TArchiveWriter&) = delete;
    TArchiveWriter& operator=(const TArchiveWriter&) = delete;

    const std::wstring& Temporary() const { return FTemporary; }
    uint64_t Position() const { return FPosition; }

    void Write(const void* data, size_t count) override
    {
        const char* bytes = static_cast<const char*>(data);
        while (count > 0) {
            DWORD chunk = static_cast<DWORD>(std::min<size_t>(count, 1u << 30)), written = 0;
            if (!WriteFile(FHandle, bytes, chunk, &written, nullptr) || written == 0)
                Fail(arcerr::CannotWrite, L"The archive " + FFinal + L" cannot be written (is the disk full?).");
            bytes += written;
            count -= written;
            FPosition += written;
        }
    }

    // Goes back to offset (a header to rewrite, or stored data replacing
    // compressed data); truncate drops what follows.
    void Seek(uint64_t offset, bool truncate)
    {
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(offset);
        if (!SetFilePointerEx(FHandle, at, nullptr, FILE_BEGIN) || (truncate && !SetEndOfFile(FHandle)))
            Fail(arcerr::CannotWrite, L"The archive " + FFinal + L" cannot be written.");
        FPosition = offset;
    }

    void Commit()
    {
        bool closed = ::CloseHandle(FHandle) != FALSE;
        FHandle = INVALID_HANDLE_VALUE;
        if (!closed || !MoveFileExW(FTemporary.c_str(), FFinal.c_str(), MOVEFILE_REPLACE_EXISTING))
            Fail(arcerr::CannotWrite, L"The archive " + FFinal + L" cannot be replaced.");
        FCommitted = true;
    }

private:
    std::wstring FFinal;
    std::wstring FTemporary;
    HANDLE FHandle = INVALID_HANDLE_VALUE;
    uint64_t FPosition = 0;
    bool FCommitted = false;
};

struct TSource {
    std::wstring Name;  // inside the archive, "\" separators
    std::wstring Path;  // on disk
    bool IsFolder = false;
    int64_t CreateTime = 0, WriteTime = 0, AccessTime = 0;
    DWORD Attributes = 0;
};

int64_t Ticks(const FILETIME& t) { return static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime); }

bool SamePath(const std::wstring& a, const std::wstring& b)
{
    return CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, a.c_str(), -1, b.c_str(), -1) == CSTR_EQUAL;
}

void Collect(const std::wstring& path, const std::wstring& name, const std::vector<std::wstring>& skipped, std::vector<TSource>& sources)
{
    for (const std::wstring& skip : skipped)
        if (SamePath(skip, path)) return;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) Fail(arcerr::NotExist, L"The file " + path + L" cannot be found.");
    TSource source{name, path, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0, Ticks(data.ftCreationTime),
                   Ticks(data.ftLastWriteTime), Ticks(data.ftLastAccessTime), data.dwFileAttributes};
    sources.push_back(source);
    if (!source.IsFolder || (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return;
    std::vector<std::wstring> children;
    do {
        std::wstring child = found.cFileName;
        if (child != L"." && child != L"..") children.push_back(child);
    } while (FindNextFileW(find, &found));
    FindClose(find);
    std::sort(children.begin(), children.end());
    for (const std::wstring& child : children)
        Collect(path + L"\\" + child, name + L"\\" + child, skipped, sources);
}

std::string AnsiPath(const std::wstring& path)
{
    std::string bytes;
    size_t start = 0;
    for (;;) {
        size_t separator = path.find(L'\\', start);
        bytes += arcdll::WideToAnsi(path.substr(start, separator == std::wstring::npos ? std::wstring::npos : separator - start));
        if (separator == std::wstring::npos) break;
        bytes += '\xFF';
        start = separator + 1;
    }
    return bytes;
}

// Copies count bytes of the file into the archive; returns their CRC.
uint16_t Store(arcio::IInput& input, uint64_t count, arcio::IOutput& output)
{
    std::vector<char> buffer(1 << 16);
    uint16_t crc = 0;
    for (uint64_t done = 0; done < count;) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), count - done));
        if (input.ReadAt(done, buffer.data(), want) != want) Fail(arcerr::CannotRead, L"A file changed while it was being packed.");
        crc = lzh::Crc16(crc, buffer.data(), want);
        output.Write(buffer.data(), want);
        done += want;
    }
    return crc;
}

void AddSource(const TSource& source, TArchiveWriter& archive)
{
    lzh::THeaderInfo info;
    std::wstring folder, name = source.Name;
    size_t slash = name.find_last_of(L'\\');
    if (source.IsFolder) {
        folder = name + L"\\";
        name.clear();
    } else if (slash != std::wstring::npos) {
        folder = name.substr(0, slash + 1);
        name.erase(0, slash + 1);
    }
    info.FileName = arcdll::WideToAnsi(name);
    info.Directory = AnsiPath(folder);
    info.UnicodeName.assign(name.begin(), name.end());
    info.UnicodeDirectory.assign(folder.begin(), folder.end());
    info.CodePage = GetACP();
    info.CreateTime = source.CreateTime;
    info.WriteTime = source.WriteTime;
    info.AccessTime = source.AccessTime;
    info.UnixTime = static_cast<uint32_t>(std::max<long long>(0, arccmd::FileTimeToUnix(source.WriteTime)));
    info.Attributes = static_cast<uint16_t>(source.Attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_DIRECTORY));
    if (source.IsFolder) {
        info.Method = "-lhd-";
        std::string header = lzh::MakeLevel2Header(info);
        archive.Write(header.data(), header.size());
        return;
    }
    std::unique_ptr<arcdll::TFileInput> opened;
    try {
        opened = std::make_unique<arcdll::TFileInput>(source.Path);
    } catch (const arcio::EArchiveError&) {
        Fail(arcerr::FileOpen, L"The file " + source.Path + L" cannot be read (is it in use?).");
    }
    arcdll::TFileInput& input = *opened;
    const uint64_t size = input.Size();
    if (size > 0xFFFFFFFFu) Fail(arcerr::NotSupport, L"The file " + source.Path + L" is too large for an LZH archive.");
    info.OriginalSize = static_cast<uint32_t>(size);
    info.Method = "-lh5-";
    const uint64_t headerAt = archive.Position();
    std::string header = lzh::MakeLevel2Header(info);
    archive.Write(header.data(), header.size());
    const uint64_t dataAt = archive.Position();
    uint64_t packed = 0;
    uint16_t crc = 0;
    // Compression that does not save a byte gives way to the stored data.
    if (size == 0 || !lzh::EncodeLh5(input, size, archive, size - 1, packed, crc)) {
        archive.Seek(dataAt, true);
        info.Method = "-lh0-";
        crc = Store(input, size, archive);
        packed = size;
    }
    const uint64_t end = archive.Position();
    info.PackedSize = static_cast<uint32_t>(packed);
    info.Crc = crc;
    header = lzh::MakeLevel2Header(info);
    archive.Seek(headerAt, false);
    archive.Write(header.data(), header.size());
    archive.Seek(end, false);
}

void Update(const arccmd::TCommand& command, std::wstring& report)
{
    if (command.Folder.empty()) Fail(arcerr::CommandName, L"The base folder is missing.");
    if (command.Names.empty()) Fail(arcerr::NotExist, L"No file to pack was given.");
    const bool keepFolders = command.HasSwitch(L"-d1");
    std::wstring base = command.Folder;
    if (base.back() != L'\\' && base.back() != L'/') base += L'\\';

    std::unique_ptr<arcdll::TFileInput> old;
    std::vector<lzh::TEntry> entries;
    if (GetFileAttributesW(command.Archive.c_str()) != INVALID_FILE_ATTRIBUTES) {
        old = std::make_unique<arcdll::TFileInput>(command.Archive);
        entries = lzh::ReadEntries(*old);
    }
    TArchiveWriter archive(command.Archive);
    std::vector<std::wstring> skipped{command.Archive, archive.Temporary()};
    std::vector<TSource> sources;
    for (const std::wstring& given : command.Names) {
        std::wstring name = WithoutTrailingSeparator(given);
        std::replace(name.begin(), name.end(), L'/', L'\\');
        if (!arccmd::SafeRelativePath(name)) Fail(arcerr::NotFilename, L"The name " + given + L" is not inside the base folder.");
        Collect(base + name, name, skipped, sources);
    }
    if (!keepFolders) {
        std::vector<TSource> files;
        for (TSource& source : sources) {
            if (source.IsFolder) continue;
            source.Name.erase(0, source.Name.find_last_of(L'\\') + 1);
            files.push_back(std::move(source));
        }
        sources.swap(files);
    }
    auto replaced = [&](const std::wstring& name) {
        return std::any_of(sources.begin(), sources.end(), [&](const TSource& s) { return SamePath(s.Name, name); });
    };
    std::vector<char> buffer(1 << 16);
    for (const lzh::TEntry& entry : entries) {
        if (replaced(WithoutTrailingSeparator(EntryName(entry)))) continue;
        uint64_t size = entry.DataOffset + entry.PackedSize - entry.HeaderOffset;
        for (uint64_t done = 0; done < size;) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - done));
            if (old->ReadAt(entry.HeaderOffset + done, buffer.data(), want) != want) Fail(arcerr::CannotRead, L"The archive is cut off.");
            archive.Write(buffer.data(), want);
            done += want;
        }
    }
    for (const TSource& source : sources)
        AddSource(source, archive);
    archive.Write("", 1);  // the archive's end
    old.reset();
    archive.Commit();
    report = std::to_wstring(sources.size()) + L" item(s) packed.";
}

std::vector<arcdll::TListedEntry> List(const std::wstring& path)
{
    arcdll::TFileInput input(path);
    std::vector<arcdll::TListedEntry> listed;
    for (const lzh::TEntry& entry : lzh::ReadEntries(input))
        listed.push_back(Listed(entry));
    return listed;
}

// The caller's buffer: never written past its size.
class TBufferOutput : public arcio::IOutput {
public:
    TBufferOutput(BYTE* buffer, DWORD size) : FBuffer(buffer), FSize(size) {}
    void Write(const void* data, size_t count) override
    {
        if (count > FSize - FUsed) Fail(arcerr::CannotWrite, L"The buffer is too small for the entry.");
        std::memcpy(FBuffer + FUsed, data, count);
        FUsed += static_cast<DWORD>(count);
    }
    DWORD Used() const { return FUsed; }

private:
    BYTE* FBuffer;
    DWORD FSize;
    DWORD FUsed = 0;
};

}  // namespace

extern "C" {

int WINAPI Unlha(HWND, LPCSTR commandLine, LPSTR output, DWORD outputSize)
{
    return arcdll::RunCommand(commandLine, output, outputSize, true, [](const arccmd::TCommand& command, std::wstring& report) {
        if (command.Archive.empty()) Fail(arcerr::CommandName, L"No archive was given.");
        if (command.Command == L"e" || command.Command == L"x")
            Extract(command, report);
        else if (command.Command == L"u" || command.Command == L"a")
            Update(command, report);
        else
            Fail(arcerr::CommandName, L"The command \"" + command.Command + L"\" is not known.");
    });
}

BOOL WINAPI UnlhaConfigDialog(HWND owner, LPSTR, int) { return arcdll::ShowConfigDialog(owner, L"Unlha32.dll"); }

HANDLE WINAPI UnlhaOpenArchive(HWND, LPCSTR archivePath, DWORD) { return arcdll::OpenListing(archivePath, List); }

int WINAPI UnlhaCloseArchive(HANDLE handle) { return arcdll::CloseListing(handle); }

int WINAPI UnlhaFindFirst(HANDLE handle, LPCSTR pattern, arcdll::TIndividualInfo* info)
{
    return arcdll::FindFirstEntry(handle, pattern, info);
}

int WINAPI UnlhaFindNext(HANDLE handle, arcdll::TIndividualInfo* info) { return arcdll::FindNextEntry(handle, info); }

int WINAPI UnlhaGetAttribute(HANDLE handle) { return arcdll::CurrentAttributes(handle); }

BOOL WINAPI UnlhaGetWriteTimeEx(HANDLE handle, FILETIME* time) { return arcdll::CurrentFileTime(handle, time, &arcdll::TListedEntry::WriteTime); }
BOOL WINAPI UnlhaGetCreateTimeEx(HANDLE handle, FILETIME* time) { return arcdll::CurrentFileTime(handle, time, &arcdll::TListedEntry::CreateTime); }
BOOL WINAPI UnlhaGetAccessTimeEx(HANDLE handle, FILETIME* time) { return arcdll::CurrentFileTime(handle, time, &arcdll::TListedEntry::AccessTime); }
DWORD WINAPI UnlhaGetWriteTime(HANDLE handle) { return arcdll::CurrentUnixTime(handle, &arcdll::TListedEntry::WriteTime); }
DWORD WINAPI UnlhaGetCreateTime(HANDLE handle) { return arcdll::CurrentUnixTime(handle, &arcdll::TListedEntry::CreateTime); }
DWORD WINAPI UnlhaGetAccessTime(HANDLE handle) { return arcdll::CurrentUnixTime(handle, &arcdll::TListedEntry::AccessTime); }

int WINAPI UnlhaGetArchiveType(LPCSTR archivePath)
{
    if (!archivePath) return -1;
    try {
        arcdll::TFileInput input(arcdll::AnsiToWide(archivePath));
        return lzh::LooksLikeArchive(input) ? 1 : 0;
    } catch (...) {
        return -1;
    }
}

WORD WINAPI UnlhaGetVersion() { return Version; }

// One item's bytes into the caller's buffer; the line is "ARCHIVE" "ITEM"
// (item paths with "/" or "\"). The time argument's layout is the caller's
// business: it is left alone.
int WINAPI UnlhaExtractMem(HWND, LPCSTR commandLine, LPBYTE buffer, DWORD size, void*, LPWORD attributes, LPDWORD written)
{
    if (written) *written = 0;
    return arcdll::RunCommand(commandLine, nullptr, 0, false, [&](const arccmd::TCommand& command, std::wstring&) {
        if (command.Archive.empty() || command.Names.empty()) Fail(arcerr::CommandName, L"The archive and the item must be given.");
        if (!buffer && size > 0) Fail(arcerr::CannotWrite, L"No buffer was given.");
        arcdll::TFileInput input(command.Archive);
        const std::vector<lzh::TEntry> entries = lzh::ReadEntries(input);
        // The item itself, not something below a folder of that name; the
        // first whose name matches as written, else the first that matches
        // once letter case is ignored.
        const std::wstring& item = command.Names.front();
        const lzh::TEntry* chosen = nullptr;
        for (const lzh::TEntry& entry : entries) {
            if (entry.IsDirectory() || !arccmd::MatchesPattern(item, EntryName(entry))) continue;
            if (arccmd::MatchesPattern(item, EntryName(entry), false)) {
                chosen = &entry;
                break;
            }
            if (chosen == nullptr) chosen = &entry;
        }
        if (chosen == nullptr) Fail(arcerr::NotExist, L"The item is not in the archive.");
        if (chosen->OriginalSize > size) Fail(arcerr::CannotWrite, L"The buffer is too small for the entry.");
        TBufferOutput output(buffer, size);
        lzh::DecodeEntry(input, *chosen, output);
        if (written) *written = output.Used();
        if (attributes) *attributes = static_cast<WORD>(AttributesOf(*chosen));
    });
}

}  // extern "C"
