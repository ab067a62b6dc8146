// 7-zip32.dll: ZIP archives through the common archiver calling convention.
// Commands: "a -tzip ARCHIVE BASE\ NAMES" packs (creating or updating),
// "x ARCHIVE DEST\ [NAMES]" extracts with folders, "e ARCHIVE DEST\ NAMES"
// without. 7z archives are recognised but not read or written yet.
#include "archivers/zip/ZipCore.h"

// Project
#include "archivers/common/ArcDll.h"

// Platform
#include <windows.h>

// Standard library
#include <algorithm>
#include <set>

namespace {

using arcdll::Fail;

constexpr WORD Version = 100;

int64_t Ticks(const FILETIME& t) { return static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime); }

std::wstring Lower(std::wstring s)
{
    CharLowerBuffW(s.data(), static_cast<DWORD>(s.size()));
    return s;
}

bool EndsWithIgnoringCase(const std::wstring& text, const std::wstring& suffix)
{
    return text.size() >= suffix.size() && Lower(text.substr(text.size() - suffix.size())) == Lower(suffix);
}

// An entry's name as the caller sees it: wide, "\" separators.
std::wstring DisplayName(const zipcore::TEntry& e)
{
    std::wstring name = e.Utf8 ? arcdll::Utf8ToWide(e.Name) : arcdll::AnsiToWide(e.Name);
    std::replace(name.begin(), name.end(), L'/', L'\\');
    if (e.Directory && !name.empty() && name.back() != L'\\') name += L'\\';
    return name;
}

int64_t WriteTimeOf(const zipcore::TEntry& e)
{
    return e.TimeSource == zipcore::TTimeSource::Dos ? arcdll::DosTimeToFileTime(e.DosDate, e.DosTime) : e.WriteTime;
}

bool IsSevenZipFile(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    char head[6] = {};
    DWORD read = 0;
    bool result = ReadFile(file, head, sizeof head, &read, nullptr) && zipcore::LooksLikeSevenZip(head, read);
    ::CloseHandle(file);
    return result;
}

[[noreturn]] void RefuseSevenZip() { Fail(arcerr::NotSupport, L"7z archives are not supported yet; only ZIP archives can be read and written."); }

// The archive being written: a temporary file beside it that replaces it
// only when complete. Destroyed without Commit, it leaves the old archive
// as it was and removes the temporary file.
class TArchiveFile : public zipcore::IArchiveOutput {
public:
    explicit TArchiveFile(std::wstring path) : FFinal(std::move(path))
    {
        wchar_t name[64];
        swprintf(name, 64, L".~zip%lx.tmp", static_cast<unsigned long>(GetCurrentProcessId()));
        FTemporary = FFinal + name;
        FHandle = CreateFileW(FTemporary.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (FHandle == INVALID_HANDLE_VALUE) Fail(arcerr::CannotWrite, L"The archive " + FFinal + L" cannot be created.");
    }
    ~TArchiveFile() override
    {
        if (FHandle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(FHandle);
            DeleteFileW(FTemporary.c_str());
        }
    }
    TArchiveFile(const TArchiveFile&) = delete;
    TArchiveFile& operator=(const TArchiveFile&) = delete;

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
    uint64_t Position() const override { return FPosition; }
    void Seek(uint64_t position) override
    {
        LARGE_INTEGER to;
        to.QuadPart = static_cast<LONGLONG>(position);
        if (!SetFilePointerEx(FHandle, to, nullptr, FILE_BEGIN)) Fail(arcerr::CannotWrite, L"The archive " + FFinal + L" cannot be written.");
        FPosition = position;
    }
    void Truncate() override
    {
        if (!SetEndOfFile(FHandle)) Fail(arcerr::CannotWrite, L"The archive " + FFinal + L" cannot be written.");
    }
    void Commit()
    {
        bool closed = ::CloseHandle(FHandle) != FALSE;
        FHandle = INVALID_HANDLE_VALUE;
        if (!closed || !MoveFileExW(FTemporary.c_str(), FFinal.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            DeleteFileW(FTemporary.c_str());
            Fail(arcerr::CannotWrite, L"The archive " + FFinal + L" cannot be replaced.");
        }
    }

private:
    std::wstring FFinal, FTemporary;
    HANDLE FHandle = INVALID_HANDLE_VALUE;
    uint64_t FPosition = 0;
};

// A file or folder to pack: where it is and the name it gets.
struct TSource {
    std::wstring Path;
    std::wstring Name;  // "\" separators, no trailing separator
    WIN32_FIND_DATAW Data;
};

class TSourceList {
public:
    TSourceList(std::wstring base, std::wstring archive) : FBase(std::move(base)), FArchive(Lower(std::move(archive))) {}

    // One name of the command: "dir\*" is the folder with all below it,
    // otherwise a file, a folder (with all below) or a wildcard.
    void AddName(std::wstring name)
    {
        std::replace(name.begin(), name.end(), L'/', L'\\');
        bool below = name.size() >= 2 && name.compare(name.size() - 2, 2, L"\\*") == 0;
        if (below) name.resize(name.size() - 2);
        while (!name.empty() && name.back() == L'\\') name.pop_back();
        std::wstring pattern = FBase + name;
        if (below) {
            WIN32_FIND_DATAW data;
            HANDLE find = FindFirstFileW((FBase + name).c_str(), &data);
            if (find == INVALID_HANDLE_VALUE || !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                if (find != INVALID_HANDLE_VALUE) FindClose(find);
                Fail(arcerr::NotExist, L"The folder " + FBase + name + L" does not exist.");
            }
            FindClose(find);
            Add(FBase + name, name, data);
            return;
        }
        size_t slash = name.find_last_of(L'\\');
        std::wstring parent = slash == std::wstring::npos ? std::wstring() : name.substr(0, slash + 1);
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW(pattern.c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) Fail(arcerr::NotExist, L"The file " + pattern + L" does not exist.");
        do {
            std::wstring found = data.cFileName;
            if (found == L"." || found == L"..") continue;
            Add(FBase + parent + found, parent + found, data);
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }

    std::vector<TSource>& Sources() { return FSources; }

private:
    void Add(const std::wstring& path, const std::wstring& name, const WIN32_FIND_DATAW& data)
    {
        if (Lower(path) == FArchive) return;  // never pack the archive into itself
        std::optional<std::wstring> safe = arccmd::SafeRelativePath(name);
        if (!safe || *safe != name) Fail(arcerr::NotFilename, L"The name " + name + L" cannot be stored in an archive.");
        if (!FSeen.insert(Lower(name)).second) return;
        FSources.push_back({path, name, data});
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return;
        WIN32_FIND_DATAW child;
        HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &child);
        if (find == INVALID_HANDLE_VALUE) return;
        do {
            std::wstring found = child.cFileName;
            if (found == L"." || found == L"..") continue;
            Add(path + L"\\" + found, name + L"\\" + found, child);
        } while (FindNextFileW(find, &child));
        FindClose(find);
    }

    std::wstring FBase, FArchive;
    std::set<std::wstring> FSeen;
    std::vector<TSource> FSources;
};

std::wstring WithoutTrailingSeparator(std::wstring name)
{
    while (!name.empty() && (name.back() == L'\\' || name.back() == L'/')) name.pop_back();
    return name;
}

void Pack(const arccmd::TCommand& command, std::wstring& report)
{
    for (const std::wstring& s : command.Switches)
        if (s.size() > 2 && s.compare(0, 2, L"-t") == 0 && Lower(s) != L"-tzip") {
            if (Lower(s) == L"-t7z") RefuseSevenZip();
            Fail(arcerr::NotSupport, L"The archive type " + s.substr(2) + L" is not supported.");
        }
    if (EndsWithIgnoringCase(command.Archive, L".7z")) RefuseSevenZip();
    if (command.Archive.empty()) Fail(arcerr::CommandName, L"No archive was named.");
    if (command.Names.empty()) Fail(arcerr::CommandName, L"No files were named to pack.");

    std::wstring base = command.Folder;
    if (!base.empty() && base.back() == L'/') base.back() = L'\\';
    TSourceList list(base, command.Archive);
    for (const std::wstring& name : command.Names) list.AddName(name);

    // An existing archive is read first: one that is not a ZIP archive is
    // refused rather than replaced.
    std::unique_ptr<arcdll::TFileInput> oldFile;
    std::unique_ptr<zipcore::TReader> old;
    if (GetFileAttributesW(command.Archive.c_str()) != INVALID_FILE_ATTRIBUTES) {
        if (IsSevenZipFile(command.Archive)) RefuseSevenZip();
        oldFile = std::make_unique<arcdll::TFileInput>(command.Archive);
        try {
            old = std::make_unique<zipcore::TReader>(*oldFile);
        } catch (const arcio::EArchiveError& e) {
            Fail(e.Code(), L"The archive " + command.Archive + L" exists and cannot be updated: " + arcdll::Utf8ToWide(e.what()));
        }
    }

    std::set<std::wstring> replaced;
    for (const TSource& s : list.Sources()) replaced.insert(Lower(s.Name));

    TArchiveFile out(command.Archive);
    zipcore::TWriter writer(out);
    size_t kept = 0;
    if (old) {
        for (const zipcore::TEntry& e : old->Entries()) {
            std::wstring name = WithoutTrailingSeparator(DisplayName(e));
            if (replaced.count(Lower(name))) continue;
            try {
                writer.Copy(*old, e);
            } catch (const arcio::EArchiveError& error) {
                Fail(error.Code(), name + L": " + arcdll::Utf8ToWide(error.what()));
            }
            ++kept;
        }
    }
    for (const TSource& s : list.Sources()) {
        zipcore::TNewEntry entry;
        entry.Directory = (s.Data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        std::wstring name = s.Name;
        std::replace(name.begin(), name.end(), L'\\', L'/');
        entry.Name = arcdll::WideToUtf8Text(entry.Directory ? name + L"/" : name);
        entry.WriteTime = Ticks(s.Data.ftLastWriteTime);
        entry.CreateTime = Ticks(s.Data.ftCreationTime);
        entry.AccessTime = Ticks(s.Data.ftLastAccessTime);
        arcdll::FileTimeToDosTime(entry.WriteTime, entry.DosDate, entry.DosTime);
        entry.Attributes = s.Data.dwFileAttributes;
        try {
            if (entry.Directory) {
                writer.Add(entry, nullptr);
            } else {
                arcdll::TFileInput input(s.Path);
                writer.Add(entry, &input);
            }
        } catch (const arcio::EArchiveError& error) {
            Fail(error.Code(), s.Path + L": " + arcdll::Utf8ToWide(error.what()));
        }
    }
    writer.Finish();
    old.reset();
    oldFile.reset();
    out.Commit();
    report = std::to_wstring(list.Sources().size()) + L" item(s) packed into " + command.Archive;
    if (kept) report += L" (" + std::to_wstring(kept) + L" kept from before)";
    report += L".";
}

std::unique_ptr<zipcore::TReader> OpenReader(arcdll::TFileInput& input, const std::wstring& path)
{
    try {
        return std::make_unique<zipcore::TReader>(input);
    } catch (const arcio::EArchiveError& e) {
        if (IsSevenZipFile(path)) RefuseSevenZip();
        Fail(e.Code(), path + L": " + arcdll::Utf8ToWide(e.what()));
    }
}

void Extract(const arccmd::TCommand& command, std::wstring& report)
{
    const bool keepFolders = command.Command == L"x";
    if (command.Archive.empty()) Fail(arcerr::CommandName, L"No archive was named.");
    arcdll::TFileInput input(command.Archive);
    std::unique_ptr<zipcore::TReader> reader = OpenReader(input, command.Archive);

    size_t extracted = 0;
    int firstError = 0;
    std::wstring errors;
    std::vector<std::pair<std::wstring, int64_t>> folders;
    arcdll::TExistingFiles existing(L"7-zip32.dll", command.HasSwitch(L"-aoa") || command.HasSwitch(L"-y"));
    for (const zipcore::TEntry& e : reader->Entries()) {
        std::wstring name = DisplayName(e);
        arccmd::TSelected selected = arccmd::SelectionOf(command.Names, WithoutTrailingSeparator(name));
        if (selected == arccmd::TSelected::No) continue;
        try {
            if (e.Directory) {
                if (!keepFolders) continue;
                std::wstring path = arcdll::ExtractionPath(command.Folder, name, true);
                arcdll::CreateFolders(WithoutTrailingSeparator(path));
                folders.emplace_back(WithoutTrailingSeparator(path), WriteTimeOf(e));
            } else {
                std::wstring path = arcdll::ExtractionPath(command.Folder, name, keepFolders);
                if (!existing.MayWrite(path, selected)) continue;
                arcdll::TOutputFile out(path);
                reader->Extract(e, out);
                constexpr uint32_t kept = zipcore::AttrReadOnly | zipcore::AttrHidden | zipcore::AttrSystem | zipcore::AttrArchive;
                out.Commit(WriteTimeOf(e), e.CreateTime, e.AccessTime, e.Attributes & kept);
            }
            ++extracted;
        } catch (const arcio::EArchiveError& error) {
            if (error.Code() == arcerr::UserCancel) throw;
            // The other entries are still extracted; the call reports the first failure.
            if (!firstError) firstError = error.Code();
            if (errors.size() < 2000) errors += name + L": " + arcdll::Utf8ToWide(error.what()) + L"\r\n";
        }
    }
    // Writing a folder's files moves its time: folders get theirs last, deepest first.
    std::sort(folders.begin(), folders.end(), [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
    for (const auto& [path, time] : folders) arcdll::SetFolderTime(path, time);
    if (firstError) Fail(firstError, errors);
    report = std::to_wstring(extracted) + L" item(s) extracted from " + command.Archive + L"." + existing.Note();
}

void Run(const arccmd::TCommand& command, std::wstring& report)
{
    std::wstring verb = Lower(command.Command);
    if (verb == L"a")
        Pack(command, report);
    else if (verb == L"x" || verb == L"e")
        Extract(arccmd::TCommand{verb, command.Switches, command.Archive, command.Folder, command.Names}, report);
    else
        Fail(arcerr::CommandName, L"The command \"" + command.Command + L"\" is not known (a, x and e are).");
}

std::vector<arcdll::TListedEntry> List(const std::wstring& path)
{
    arcdll::TFileInput input(path);
    zipcore::TReader reader(input);
    std::vector<arcdll::TListedEntry> result;
    result.reserve(reader.Entries().size());
    for (const zipcore::TEntry& e : reader.Entries()) {
        arcdll::TListedEntry listed;
        listed.Name = DisplayName(e);
        listed.Size = e.Size;
        listed.PackedSize = e.PackedSize;
        listed.Crc = e.Crc;
        listed.Attributes = e.Attributes;
        listed.WriteTime = WriteTimeOf(e);
        listed.CreateTime = e.CreateTime;
        listed.AccessTime = e.AccessTime;
        listed.Method = e.Method == zipcore::MethodStored ? "Store" : e.Method == zipcore::MethodDeflate ? "Deflate" : "Other";
        result.push_back(std::move(listed));
    }
    return result;
}

}  // namespace

extern "C" {

int WINAPI SevenZip(HWND, LPCSTR commandLine, LPSTR output, DWORD outputSize)
{
    try {
        return arcdll::RunCommand(commandLine, output, outputSize, true, Run);
    } catch (...) {
        return arcerr::CannotRead;
    }
}

BOOL WINAPI SevenZipConfigDialog(HWND owner, LPSTR, int) { return arcdll::ShowConfigDialog(owner, L"7-zip32.dll"); }

HANDLE WINAPI SevenZipOpenArchive(HWND, LPCSTR archivePath, DWORD) { return arcdll::OpenListing(archivePath, List); }

int WINAPI SevenZipCloseArchive(HANDLE archive) { return arcdll::CloseListing(archive); }

int WINAPI SevenZipFindFirst(HANDLE archive, LPCSTR pattern, arcdll::TIndividualInfo* info)
{
    return arcdll::FindFirstEntry(archive, pattern, info);
}

int WINAPI SevenZipFindNext(HANDLE archive, arcdll::TIndividualInfo* info) { return arcdll::FindNextEntry(archive, info); }

int WINAPI SevenZipGetAttribute(HANDLE archive) { return arcdll::CurrentAttributes(archive); }

DWORD WINAPI SevenZipGetWriteTime(HANDLE archive) { return arcdll::CurrentUnixTime(archive, &arcdll::TListedEntry::WriteTime); }

BOOL WINAPI SevenZipGetWriteTimeEx(HANDLE archive, FILETIME* time)
{
    return arcdll::CurrentFileTime(archive, time, &arcdll::TListedEntry::WriteTime);
}

int WINAPI SevenZipGetArchiveType(LPCSTR archivePath)
{
    try {
        if (!archivePath) return -1;
        std::wstring path = arcdll::AnsiToWide(archivePath);
        arcdll::TFileInput input(path);
        char head[6] = {};
        if (zipcore::LooksLikeSevenZip(head, input.ReadAt(0, head, sizeof head))) return 2;
        try {
            // The end records tell a ZIP archive; the entries are not read.
            zipcore::LocateCentralDirectory(input);
            return 1;
        } catch (const arcio::EArchiveError&) {
            return 0;
        }
    } catch (...) {
        return -1;
    }
}

WORD WINAPI SevenZipGetVersion() { return Version; }

}  // extern "C"
