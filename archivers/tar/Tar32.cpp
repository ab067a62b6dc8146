// tar32.dll: tar archives, alone or inside gzip or LZW (".Z"), and single
// files compressed with either, through the common archiver calls.
//
// Links inside an archive are never followed and never made: a symbolic
// link is skipped on extraction (the output says so); a hard link becomes a
// regular copy of its target when that target is an earlier entry of the
// same archive extracted by the same command, and is skipped otherwise.
//
// Limits against hostile archives: memory per call is the compressor's
// fixed buffers (gzip under 400 KiB; LZW 320 KiB to read, 768 KiB to
// write), 1 MiB for a long name or the extended headers of one entry,
// 32 KiB per name and 64 MiB of names in a listing. On disk, a tar entry
// never gets more than the size its header declares (and the data must be
// there: a tar inside gzip or LZW cannot declare more than the stream
// holds); a single .gz or .Z file gets what its stream decodes to, which the
// stream bounds (deflate expands at most about 1032 times, an LZW code at
// most 64 KiB), as with any tool.

// Platform
#include <windows.h>

// Standard library
#include <algorithm>
#include <map>
#include <memory>
#include <set>

// Project
#include "archivers/common/ArcDll.h"
#include "archivers/tar/GzipStream.h"
#include "archivers/tar/LzwStream.h"
#include "archivers/tar/TarFormat.h"

using namespace tarfmt;

namespace {

constexpr WORD Version = 100;
constexpr int64_t EpochTicks = arccmd::UnixEpochInFileTimeSeconds * TicksPerSecond;
constexpr size_t CopyBufferSize = 1 << 16;

std::wstring Lower(std::wstring text)
{
    CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

bool EndsWith(const std::wstring& lower, const wchar_t* suffix)
{
    size_t length = wcslen(suffix);
    return lower.size() >= length && lower.compare(lower.size() - length, length, suffix) == 0;
}

// Entry names are UTF-8 when they are valid UTF-8, else in the system code
// page, with "\" separators.
std::wstring NameToWide(const std::string& bytes)
{
    std::wstring name = IsValidUtf8(bytes) ? arcdll::Utf8ToWide(bytes) : arcdll::AnsiToWide(bytes);
    std::replace(name.begin(), name.end(), L'/', L'\\');
    // "tar -C folder ." writes "./name": the "./" says nothing.
    while (name.size() > 2 && name.compare(0, 2, L".\\") == 0) name.erase(0, 2);
    return name;
}

int64_t ToFileTime(int64_t unixTicks) { return std::max<int64_t>(unixTicks + EpochTicks, 0); }

int64_t FileTimeOf(const FILETIME& t)
{
    return static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
}

const wchar_t* KindText(TArchiveKind kind)
{
    switch (kind) {
    case TArchiveKind::Tar: return L"tar";
    case TArchiveKind::TarGz: return L"tar.gz";
    case TArchiveKind::TarZ: return L"tar.Z";
    case TArchiveKind::Gz: return L"gz";
    case TArchiveKind::Z: return L"Z";
    default: return L"";
    }
}

// An archive opened for reading: its type and its contents as a stream
// (decompressed when it is compressed).
class TArchiveReader {
public:
    explicit TArchiveReader(const std::wstring& path) : FPath(path), FInput(path), FRaw(FInput)
    {
        FKind = DetectKind(FInput, arcdll::WideToUtf8Text(path));
        if (FKind == TArchiveKind::Unknown)
            arcdll::Fail(arcerr::NotArcFile, L"" + path + L" is not a tar, gzip or compress (.Z) file.");
        if (FKind == TArchiveKind::TarBz2 || FKind == TArchiveKind::Bz2)
            arcdll::Fail(arcerr::NotSupport, path + L" is compressed with bzip2, which this library does not support.");
        if (FKind == TArchiveKind::TarGz || FKind == TArchiveKind::Gz) FGzip = std::make_unique<TGzipSource>(FRaw);
        if (FKind == TArchiveKind::TarZ || FKind == TArchiveKind::Z) FLzw = std::make_unique<TLzwSource>(FRaw);
    }
    TArchiveKind Kind() const { return FKind; }
    bool IsSingleFile() const { return FKind == TArchiveKind::Gz || FKind == TArchiveKind::Z; }
    ISource& Data() { return FGzip ? static_cast<ISource&>(*FGzip) : FLzw ? static_cast<ISource&>(*FLzw) : FRaw; }
    uint64_t PackedSize() const { return FInput.Size(); }
    // Reads a compressed stream to its end after the tar's end: only there
    // does a damaged or cut stream show (its check value and length).
    void CheckToEnd()
    {
        if (!FGzip && !FLzw) return;
        Data().Skip(UINT64_MAX);
    }

    // The single file's name: the name stored in the gzip header (its last
    // component), else the archive's name without its compression suffix.
    // Known after the data was read.
    std::wstring SingleName() const
    {
        if (FGzip && !FGzip->StoredName().empty()) {
            std::wstring stored = NameToWide(FGzip->StoredName());
            size_t slash = stored.find_last_of(L"\\");
            if (slash != std::wstring::npos) stored.erase(0, slash + 1);
            if (!stored.empty()) return stored;
        }
        std::wstring name = FPath.substr(FPath.find_last_of(L"\\/:") == std::wstring::npos ? 0 : FPath.find_last_of(L"\\/:") + 1);
        std::wstring lower = Lower(name);
        if (EndsWith(lower, L".tgz") || EndsWith(lower, L".taz")) return name.substr(0, name.size() - 4) + L".tar";
        if (EndsWith(lower, L".gz")) return name.substr(0, name.size() - 3);
        if (EndsWith(lower, L".z")) return name.substr(0, name.size() - 2);
        return name + L".out";
    }
    // The single file's time: the gzip header's, else the archive file's.
    int64_t SingleTime() const
    {
        if (FGzip && FGzip->StoredTime() != 0) return ToFileTime(int64_t{FGzip->StoredTime()} * TicksPerSecond);
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (GetFileAttributesExW(FPath.c_str(), GetFileExInfoStandard, &data)) return FileTimeOf(data.ftLastWriteTime);
        return 0;
    }

private:
    std::wstring FPath;
    arcdll::TFileInput FInput;
    TInputSource FRaw;
    TArchiveKind FKind = TArchiveKind::Unknown;
    std::unique_ptr<TGzipSource> FGzip;
    std::unique_ptr<TLzwSource> FLzw;
};

arcdll::TListedEntry Listed(const TTarEntry& entry, TArchiveKind kind)
{
    arcdll::TListedEntry listed;
    listed.Name = NameToWide(entry.Name);
    listed.Size = entry.Size;
    listed.PackedSize = entry.Size;
    if (entry.IsFolder()) {
        listed.Attributes = FILE_ATTRIBUTE_DIRECTORY;
    } else {
        listed.Attributes = FILE_ATTRIBUTE_ARCHIVE;
        if (!(entry.Mode & 0200)) listed.Attributes |= FILE_ATTRIBUTE_READONLY;
    }
    listed.WriteTime = ToFileTime(entry.WriteTime);
    listed.AccessTime = ToFileTime(entry.AccessTime.value_or(entry.WriteTime));
    listed.CreateTime = ToFileTime(entry.ChangeTime.value_or(entry.WriteTime));
    listed.Method = arcdll::WideToAnsi(KindText(kind));
    return listed;
}

// "./" and the like: the folder an archive was made from, written by
// "tar -C folder ." as its first entry. It names the destination itself.
bool IsOnlyDots(const std::string& name)
{
    return name.find_first_not_of("./") == std::string::npos;
}

std::vector<arcdll::TListedEntry> ListArchive(const std::wstring& path)
{
    TArchiveReader reader(path);
    std::vector<arcdll::TListedEntry> entries;
    if (reader.IsSingleFile()) {
        std::vector<char> buffer(CopyBufferSize);
        uint64_t size = 0;
        size_t n;
        while ((n = reader.Data().Read(buffer.data(), buffer.size())) > 0) size += n;
        arcdll::TListedEntry listed;
        listed.Name = reader.SingleName();
        listed.Size = size;
        listed.PackedSize = reader.PackedSize();
        listed.WriteTime = listed.AccessTime = listed.CreateTime = reader.SingleTime();
        listed.Method = arcdll::WideToAnsi(KindText(reader.Kind()));
        entries.push_back(std::move(listed));
        return entries;
    }
    TTarReader tar(reader.Data());
    TTarEntry entry;
    // Names are at most 32 KiB each; the listing as a whole is held to
    // 64 MiB of them, however many entries a small compressed file announces.
    constexpr size_t MaxListedNames = 64u << 20;
    size_t namesSize = 0;
    while (tar.Next(entry)) {
        if (entry.IsFolder() && IsOnlyDots(entry.Name)) continue;
        namesSize += entry.Name.size() + 64;
        if (namesSize > MaxListedNames)
            arcdll::Fail(arcerr::MoreHeapMemory, L"The archive lists more entries than this library holds at once.");
        entries.push_back(Listed(entry, reader.Kind()));
    }
    reader.CheckToEnd();
    return entries;
}

// Copies a source to an output to its end.
uint64_t CopyAll(ISource& source, arcio::IOutput& output)
{
    std::vector<char> buffer(CopyBufferSize);
    uint64_t total = 0;
    size_t n;
    while ((n = source.Read(buffer.data(), buffer.size())) > 0) {
        output.Write(buffer.data(), n);
        total += n;
    }
    return total;
}

// A source over a tar entry's data.
class TEntryData : public ISource {
public:
    explicit TEntryData(TTarReader& reader) : FReader(reader) {}
    size_t Read(void* buffer, size_t count) override { return FReader.ReadData(buffer, count); }

private:
    TTarReader& FReader;
};

std::wstring WithoutTrailingSeparator(std::wstring name)
{
    while (!name.empty() && name.back() == L'\\') name.pop_back();
    return name;
}

// -x: extracts the entries the names select (all without names) to the
// folder, with their folders unless --use-directory=0.
void Extract(const arccmd::TCommand& command, std::wstring& report)
{
    bool keepFolders = command.SwitchValue(L"use-directory").value_or(L"1") != L"0";
    // Without dialogs nobody can be asked: the caller's folder is its own.
    arcdll::TExistingFiles existing(L"tar32.dll", command.SwitchValue(L"display-dialog").value_or(L"1") == L"0");
    TArchiveReader reader(command.Archive);
    size_t extracted = 0;
    std::wstring notes;
    bool singleSelected = false;
    if (reader.IsSingleFile()) {
        // The name is known only once the header is read: read the start first.
        std::vector<char> buffer(CopyBufferSize);
        size_t n = reader.Data().Read(buffer.data(), buffer.size());
        std::wstring name = reader.SingleName();
        singleSelected = arccmd::IsSelected(command.Names, name);
        std::wstring path = singleSelected ? arcdll::ExtractionPath(command.Folder, name, keepFolders) : std::wstring();
        if (singleSelected && existing.MayWrite(path)) {
            arcdll::TOutputFile output(path);
            output.Write(buffer.data(), n);
            CopyAll(reader.Data(), output);
            output.Commit(reader.SingleTime());
            ++extracted;
        }
    } else {
        TTarReader tar(reader.Data());
        TTarEntry entry;
        std::map<std::wstring, std::wstring> written;  // lower-case entry name -> file written for it
        std::vector<std::pair<std::wstring, int64_t>> folders;
        bool anySelected = false;
        while (tar.Next(entry)) {
            std::wstring name = WithoutTrailingSeparator(NameToWide(entry.Name));
            arccmd::TSelected selected = arccmd::SelectionOf(command.Names, name);
            if (selected == arccmd::TSelected::No) continue;
            anySelected = true;
            if (entry.IsFolder()) {
                if (!keepFolders || IsOnlyDots(entry.Name)) continue;
                std::wstring path = arcdll::ExtractionPath(command.Folder, name, true);
                arcdll::CreateFolders(path);
                folders.emplace_back(path, ToFileTime(entry.WriteTime));
                continue;
            }
            if (entry.Type == '2') {
                notes += L"\r\nskipped symbolic link " + name + L" -> " + NameToWide(entry.LinkName);
                continue;
            }
            if (entry.Type == '1') {
                auto target = written.find(Lower(WithoutTrailingSeparator(NameToWide(entry.LinkName))));
                if (target == written.end()) {
                    notes += L"\r\nskipped hard link " + name + L": its target " + NameToWide(entry.LinkName) + L" was not extracted";
                    continue;
                }
                std::wstring path = arcdll::ExtractionPath(command.Folder, name, keepFolders);
                if (!existing.MayWrite(path, selected)) continue;
                arcdll::TFileInput copyFrom(target->second);
                TInputSource source(copyFrom);
                arcdll::TOutputFile output(path);
                CopyAll(source, output);
                output.Commit(ToFileTime(entry.WriteTime), 0, 0, (entry.Mode & 0200) ? 0 : FILE_ATTRIBUTE_READONLY);
                written[Lower(name)] = path;
                ++extracted;
                continue;
            }
            if (!entry.IsFile()) {
                notes += L"\r\nskipped " + name + L" (not a regular file)";
                continue;
            }
            std::wstring path = arcdll::ExtractionPath(command.Folder, name, keepFolders);
            if (!existing.MayWrite(path, selected)) continue;
            arcdll::TOutputFile output(path);
            TEntryData data(tar);
            CopyAll(data, output);
            output.Commit(ToFileTime(entry.WriteTime), ToFileTime(entry.ChangeTime.value_or(entry.WriteTime)),
                          ToFileTime(entry.AccessTime.value_or(entry.WriteTime)),
                          (entry.Mode & 0200) ? 0 : FILE_ATTRIBUTE_READONLY);
            written[Lower(name)] = path;
            ++extracted;
        }
        // Writing files into a folder moves its time: set them last, inner first.
        for (auto it = folders.rbegin(); it != folders.rend(); ++it) arcdll::SetFolderTime(it->first, it->second);
        reader.CheckToEnd();
        if (!command.Names.empty() && !anySelected)
            arcdll::Fail(arcerr::NotExist, L"No entry of " + command.Archive + L" matches the names given.");
    }
    if (reader.IsSingleFile() && !singleSelected)
        arcdll::Fail(arcerr::NotExist, L"No entry of " + command.Archive + L" matches the names given.");
    report = std::to_wstring(extracted) + L" file(s) extracted." + existing.Note() + notes;
}

struct TPackItem {
    std::wstring Path;   // on disk
    std::string Name;    // in the archive: UTF-8, "/" separators, a folder ends in "/"
    bool Folder = false;
    uint64_t Size = 0;
    int64_t WriteTime = 0;  // FILETIME ticks
    DWORD Attributes = 0;
};

class TPackList {
public:
    TPackList(std::wstring base, std::wstring exclude) : FBase(std::move(base)), FExclude(Lower(std::move(exclude)))
    {
        if (!FBase.empty() && FBase.back() != L'\\' && FBase.back() != L'/') FBase += L'\\';
    }

    // A name relative to the base: a file, a folder (with everything below
    // it), "folder\*" (the same), or a pattern in its last component.
    void AddName(std::wstring name)
    {
        std::replace(name.begin(), name.end(), L'/', L'\\');
        if (name.size() >= 2 && name.compare(name.size() - 2, 2, L"\\*") == 0) name.resize(name.size() - 2);
        size_t slash = name.find_last_of(L'\\');
        std::wstring folder = slash == std::wstring::npos ? std::wstring() : name.substr(0, slash + 1);
        std::wstring last = slash == std::wstring::npos ? name : name.substr(slash + 1);
        std::optional<std::wstring> safeFolder = folder.empty() ? std::optional<std::wstring>(L"") : arccmd::SafeRelativePath(folder);
        bool pattern = last.find_first_of(L"*?") != std::wstring::npos;
        std::optional<std::wstring> safeLast = pattern ? std::optional<std::wstring>(last) : arccmd::SafeRelativePath(last);
        if (!safeFolder || !safeLast || safeLast->find(L'\\') != std::wstring::npos || *safeLast == L"..")
            arcdll::Fail(arcerr::NotFilename, L"The name " + name + L" cannot be packed: it leads outside the base folder.");
        std::wstring relativeFolder = safeFolder->empty() ? std::wstring() : *safeFolder + L"\\";
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((FBase + relativeFolder + *safeLast).c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) arcdll::Fail(arcerr::NotExist, L"" + FBase + name + L" does not exist.");
        do {
            std::wstring found = data.cFileName;
            if (found == L"." || found == L"..") continue;
            Add(relativeFolder + found, data);
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }

    std::vector<TPackItem>& Items() { return FItems; }

private:
    void Add(const std::wstring& relative, const WIN32_FIND_DATAW& data)
    {
        std::wstring path = FBase + relative;
        if (Lower(path) == FExclude) return;  // the archive being made
        bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        std::wstring entryName = relative;
        std::replace(entryName.begin(), entryName.end(), L'\\', L'/');
        std::string name = arcdll::WideToUtf8Text(entryName) + (folder ? "/" : "");
        if (!FNames.insert(name).second) return;
        TPackItem item;
        item.Path = path;
        item.Name = name;
        item.Folder = folder;
        item.Size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        item.WriteTime = FileTimeOf(data.ftLastWriteTime);
        item.Attributes = data.dwFileAttributes;
        FItems.push_back(item);
        // A link or junction is packed as an empty folder, never followed.
        if (!folder || (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return;
        WIN32_FIND_DATAW inner;
        HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &inner);
        if (find == INVALID_HANDLE_VALUE) return;
        do {
            std::wstring found = inner.cFileName;
            if (found == L"." || found == L"..") continue;
            Add(relative + L"\\" + found, inner);
        } while (FindNextFileW(find, &inner));
        FindClose(find);
    }

    std::wstring FBase, FExclude;
    std::vector<TPackItem> FItems;
    std::set<std::string> FNames;
};

std::wstring FullPath(const std::wstring& path)
{
    wchar_t buffer[MAX_PATH * 2];
    DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH * 2, buffer, nullptr);
    return n == 0 || n >= MAX_PATH * 2 ? path : std::wstring(buffer, n);
}

// Copies exactly a file's listed size to an output (a file that shrank in
// between is an error, one that grew is cut to the listed size).
void CopyFileData(const TPackItem& item, arcio::IOutput& output)
{
    std::unique_ptr<arcdll::TFileInput> input;
    try {
        input = std::make_unique<arcdll::TFileInput>(item.Path);
    } catch (const arcio::EArchiveError&) {
        arcdll::Fail(arcerr::FileOpen, L"The file " + item.Path + L" cannot be read.");
    }
    std::vector<char> buffer(CopyBufferSize);
    uint64_t done = 0;
    while (done < item.Size) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), item.Size - done));
        size_t n = input->ReadAt(done, buffer.data(), want);
        if (n == 0) arcdll::Fail(arcerr::CannotRead, L"The file " + item.Path + L" shrank while it was being packed.");
        output.Write(buffer.data(), n);
        done += n;
    }
}

enum class TPackFormat { Tar, TarGz, TarZ, Gz, Z };

// -c: a new archive of the names below the base folder. With -z the
// archive's name decides the compression: ".tgz" and ".tar.gz" a tar in
// gzip, another ".gz" one file in gzip, ".taz" and ".tar.Z" a tar in LZW,
// another ".Z" one file in LZW, any other name a tar in gzip. Without -z a
// plain tar. -B (bzip2) is refused before anything is created.
void Pack(const arccmd::TCommand& command, std::wstring& report)
{
    if (command.HasSwitch(L"-B") || command.HasSwitch(L"-j"))
        arcdll::Fail(arcerr::NotSupport, L"bzip2 compression is not supported: " + command.Archive + L" was not created.");
    if (command.Archive.empty()) arcdll::Fail(arcerr::CommandName, L"No archive name was given.");
    if (command.Names.empty()) arcdll::Fail(arcerr::NotExist, L"No files to pack were given.");
    std::wstring lower = Lower(command.Archive);
    TPackFormat format = TPackFormat::Tar;
    if (command.HasSwitch(L"-z")) {
        if (EndsWith(lower, L".tgz") || EndsWith(lower, L".tar.gz")) format = TPackFormat::TarGz;
        else if (EndsWith(lower, L".gz")) format = TPackFormat::Gz;
        else if (EndsWith(lower, L".taz") || EndsWith(lower, L".tar.z")) format = TPackFormat::TarZ;
        else if (EndsWith(lower, L".z")) format = TPackFormat::Z;
        else format = TPackFormat::TarGz;
    }
    TPackList list(command.Folder, FullPath(command.Archive));
    for (const std::wstring& name : command.Names) list.AddName(name);
    std::vector<TPackItem>& items = list.Items();
    bool single = format == TPackFormat::Gz || format == TPackFormat::Z;
    if (single && (items.size() != 1 || items[0].Folder))
        arcdll::Fail(arcerr::CommandName, L"A .gz or .Z file holds exactly one file: name a .tar.gz (.tgz) or .tar.Z archive to pack several.");

    arcdll::TOutputFile file(command.Archive);
    std::unique_ptr<TGzipOutput> gzip;
    std::unique_ptr<TLzwOutput> lzw;
    arcio::IOutput* sink = &file;
    if (format == TPackFormat::TarGz || format == TPackFormat::Gz) {
        std::string stored;
        uint32_t time = 0;
        if (single) {
            stored = arcdll::WideToUtf8Text(items[0].Path.substr(items[0].Path.find_last_of(L'\\') + 1));
            time = static_cast<uint32_t>(std::max<int64_t>(arccmd::FileTimeToUnix(items[0].WriteTime), 0));
        }
        gzip = std::make_unique<TGzipOutput>(file, stored, time);
        sink = gzip.get();
    } else if (format == TPackFormat::TarZ || format == TPackFormat::Z) {
        lzw = std::make_unique<TLzwOutput>(file);
        sink = lzw.get();
    }
    if (single) {
        CopyFileData(items[0], *sink);
    } else {
        TTarWriter tar(*sink);
        for (const TPackItem& item : items) {
            TTarEntry entry;
            entry.Name = item.Name;
            entry.Type = item.Folder ? '5' : '0';
            bool readOnly = (item.Attributes & FILE_ATTRIBUTE_READONLY) != 0;
            entry.Mode = item.Folder ? 0755 : readOnly ? 0444 : 0644;
            entry.Size = item.Folder ? 0 : item.Size;
            entry.WriteTime = item.WriteTime - EpochTicks;
            tar.Begin(entry);
            if (!item.Folder) {
                struct TToTar : arcio::IOutput {
                    TTarWriter& Tar;
                    explicit TToTar(TTarWriter& tar) : Tar(tar) {}
                    void Write(const void* data, size_t count) override { Tar.WriteData(data, count); }
                } toTar(tar);
                CopyFileData(item, toTar);
            }
            tar.End();
        }
        tar.Finish();
    }
    if (gzip) gzip->Finish();
    if (lzw) lzw->Finish();
    file.Commit(0);
    report = std::to_wstring(items.size()) + L" item(s) packed into " + command.Archive + L".";
}

void RunTarCommand(const arccmd::TCommand& command, std::wstring& report)
{
    if (command.HasSwitch(L"-x")) return Extract(command, report);
    if (command.HasSwitch(L"-c")) return Pack(command, report);
    arcdll::Fail(arcerr::CommandName, L"The command line names no command (-x or -c).");
}

template <typename F>
auto Guarded(F&& f, decltype(f()) failure) noexcept -> decltype(f())
{
    try {
        return f();
    } catch (...) {
        return failure;
    }
}

}  // namespace

extern "C" {

int WINAPI Tar(HWND, LPCSTR commandLine, LPSTR output, DWORD outputSize)
{
    return Guarded([&] { return arcdll::RunCommand(commandLine, output, outputSize, false, RunTarCommand); },
                   arcerr::CannotRead);
}

WORD WINAPI TarGetVersion() { return Version; }

BOOL WINAPI TarConfigDialog(HWND owner, LPSTR, int) { return arcdll::ShowConfigDialog(owner, L"tar32.dll"); }

HANDLE WINAPI TarOpenArchive(HWND, LPCSTR archivePath, DWORD) { return arcdll::OpenListing(archivePath, ListArchive); }

int WINAPI TarCloseArchive(HANDLE archive) { return arcdll::CloseListing(archive); }

int WINAPI TarFindFirst(HANDLE archive, LPCSTR pattern, arcdll::TIndividualInfo* info)
{
    return arcdll::FindFirstEntry(archive, pattern, info);
}

int WINAPI TarFindNext(HANDLE archive, arcdll::TIndividualInfo* info) { return arcdll::FindNextEntry(archive, info); }

int WINAPI TarGetAttribute(HANDLE archive) { return arcdll::CurrentAttributes(archive); }

DWORD WINAPI TarGetWriteTime(HANDLE archive) { return arcdll::CurrentUnixTime(archive, &arcdll::TListedEntry::WriteTime); }
DWORD WINAPI TarGetCreateTime(HANDLE archive) { return arcdll::CurrentUnixTime(archive, &arcdll::TListedEntry::CreateTime); }
DWORD WINAPI TarGetAccessTime(HANDLE archive) { return arcdll::CurrentUnixTime(archive, &arcdll::TListedEntry::AccessTime); }
BOOL WINAPI TarGetWriteTimeEx(HANDLE archive, FILETIME* time) { return arcdll::CurrentFileTime(archive, time, &arcdll::TListedEntry::WriteTime); }
BOOL WINAPI TarGetCreateTimeEx(HANDLE archive, FILETIME* time) { return arcdll::CurrentFileTime(archive, time, &arcdll::TListedEntry::CreateTime); }
BOOL WINAPI TarGetAccessTimeEx(HANDLE archive, FILETIME* time) { return arcdll::CurrentFileTime(archive, time, &arcdll::TListedEntry::AccessTime); }

int WINAPI TarGetArchiveType(LPCSTR archivePath)
{
    return Guarded([&] {
        if (!archivePath) return 0;
        std::wstring path = arcdll::AnsiToWide(archivePath);
        arcdll::TFileInput input(path);
        return static_cast<int>(DetectKind(input, arcdll::WideToUtf8Text(path)));
    }, 0);
}

}  // extern "C"
