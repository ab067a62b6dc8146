#include "fileop/UFileOp.h"

// Folders
#include "folders/ShlUtils.h"
#include "folders/SysUtilsW.h"

// Toolkit
#include "lw/LAddDlgs.h"
#include "lw/LCmmCtls.h"
#include "lw/LCmmDlgs.h"
#include "lw/LComPtr.h"
#include "lw/LStdCtls.h"
#include "lw/LExceptions.h"
#include "lw/LHandles.h"
#include "lw/LWindows.h"

// Platform
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <winioctl.h>

// Standard library
#include <algorithm>
#include <cwchar>
#include <functional>
#include <optional>
#include <set>

std::wstring BackupName(std::wstring_view path, int number)
{
    std::wstring extension = ExtractFileExt(path);
    std::wstring_view stem = path.substr(0, path.size() - extension.size());
    wchar_t digits[16];
    swprintf(digits, 16, L".%.3d", number);
    return std::wstring(stem) + digits + extension;
}

std::wstring LinkName(std::wstring_view destinationPath)
{
    std::wstring extension = ExtractFileExt(destinationPath);
    std::wstring_view stem = destinationPath;
    if (SameText(extension, L".exe") == 0)
        stem.remove_suffix(extension.size());
    return std::wstring(stem) + L".lnk";
}

bool IsWithinSource(std::wstring_view destinationPath, std::wstring_view sourcePath)
{
    std::wstring destination = std::wstring(destinationPath) + L"\\";
    std::wstring source = std::wstring(sourcePath) + L"\\";
    if (destination.size() < source.size())
        return false;
    return SameText(std::wstring_view(destination).substr(0, source.size()), source) == 0;
}

bool SamePlace(const TPath& a, const TPath& b)
{
    if (a.ProviderTag != b.ProviderTag)
        return false;
    if ((a.IDList != nullptr) != (b.IDList != nullptr))
        return false;
    if (a.IDList != nullptr)
        return SameIDList(a.IDList, b.IDList);
    return SameText(a.PathView(), b.PathView()) == 0 && SameText(a.SubPathView(), b.SubPathView()) == 0;
}

bool MovesWhole(TFileOperationKind kind, bool destinationExists, std::wstring_view sourcePath,
                std::wstring_view destinationPath)
{
    return kind == TFileOperationKind::Move && !destinationExists &&
           ExtractFileDrive(destinationPath) == ExtractFileDrive(sourcePath);
}

// ---------------------------------------------------------------------------
// The job engine

std::wstring BadFileNameReason(std::wstring_view name)
{
    if (name.empty())
        return L"名前が空です";
    if (name == L"." || name == L"..")
        return L"「.」と「..」はファイル名に使えません";
    for (wchar_t c : name) {
        if (c < 32)
            return L"制御文字はファイル名に使えません";
        if (std::wstring_view(L"\\/:*?\"<>|").find(c) != std::wstring_view::npos)
            return std::wstring(L"「") + c + L"」はファイル名に使えません";
    }
    if (name.back() == L'.' || name.back() == L' ')
        return L"ファイル名の末尾に「.」や空白は使えません";
    // Device names are devices in every folder, with any extension.
    if (IsReservedDeviceName(name)) {
        std::wstring stem(name.substr(0, name.find(L'.')));
        return L"「" + stem + L"」は装置名なのでファイル名に使えません";
    }
    return {};
}

std::optional<TFileIdentity> FileIdentity(const std::wstring& path)
{
    UniqueFileHandle file(CreateFileW(ExtendedPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || !GetFileInformationByHandle(file.get(), &info))
        return std::nullopt;
    return TFileIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

bool IsInsideByIdentity(const std::wstring& path, const std::wstring& directory)
{
    std::optional<TFileIdentity> target = FileIdentity(directory);
    if (!target)
        return false;
    std::wstring current = path;
    while (!current.empty()) {
        if (FileIdentity(current) == target)
            return true;
        std::wstring parent = ExtractFileDir(current);
        if (parent.size() >= current.size())
            break;
        current = std::move(parent);
    }
    return false;
}

namespace {

constexpr FILEOP_FLAGS kShellFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
constexpr const wchar_t* kFailed = L"の処理に失敗. 続けますか?";
constexpr const wchar_t* kEndlessCopy = L"コピー元の子をコピー先にすると無限コピーになりますので中断.";
constexpr const wchar_t* kNoRecycleHere = L"同じ場所で作業中にゴミ箱送りはできません";
constexpr const wchar_t* kLinkDenied = L"ファイルへのアクセスが拒否されました";
constexpr const wchar_t* kSameFile = L"移動元と移動先は同じファイルです. 何もしません.";
constexpr const wchar_t* kLinkLoop = L"リンクが自分の親フォルダを指しているので、中はコピーしません.";
constexpr const wchar_t* kNotFromArchive = L"書庫の中からはコピーだけができます.";

bool IsDotEntry(const wchar_t* name)
{
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

bool IsDirectoryEntry(const WIN32_FIND_DATAW& data)
{
    return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsLinkEntry(const WIN32_FIND_DATAW& data)
{
    return (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           (data.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT || data.dwReserved0 == IO_REPARSE_TAG_SYMLINK);
}

// Whether something has the name (a link counts, whether its target is
// there or not).
bool Exists(const std::wstring& path)
{
    WIN32_FIND_DATAW data;
    return UniqueFindHandle(FindFirstFileW(ExtendedPath(path).c_str(), &data)).get() != INVALID_HANDLE_VALUE ||
           GetFileAttributesW(ExtendedPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool DirectoryExists(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(ExtendedPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

BOOL Rename(const std::wstring& from, const std::wstring& to, DWORD flags = 0)
{
    return MoveFileExW(ExtendedPath(from).c_str(), ExtendedPath(to).c_str(), flags);
}

// The application lock is released while the file system works, so that
// the views react to the changes meanwhile.
class TUnlocked {
public:
    TUnlocked()
    {
        if (Application() != nullptr)
            FSuspended.emplace();
    }

private:
    std::optional<TSuspendShared> FSuspended;
};

// A rename with the application lock released; error says why it failed
// (read before the lock is taken back, which may change the last error).
bool RenameUnlocked(const std::wstring& from, const std::wstring& to, DWORD flags, DWORD& error)
{
    TUnlocked unlocked;
    bool done = Rename(from, to, flags) != FALSE;
    error = done ? 0 : GetLastError();
    return done;
}

// One shell operation from one path to another; true on success.
bool RunShellOperation(HWND owner, UINT function, const std::wstring& from, const std::wstring& to,
                       FILEOP_FLAGS flags)
{
    std::wstring source = from;
    source.append(2, L'\0');
    std::wstring target = to;
    target.append(2, L'\0');
    SHFILEOPSTRUCTW operation{};
    operation.hwnd = owner;
    operation.wFunc = function;
    operation.pFrom = source.c_str();
    operation.pTo = to.empty() ? nullptr : target.c_str();
    operation.fFlags = flags;
    int result;
    {
        TUnlocked unlocked;
        result = SHFileOperationW(&operation);
    }
    return result == 0 && !operation.fAnyOperationsAborted;
}

// Whether the shell can take path as it is written: shorter than MAX_PATH
// and without a name the path parser would trim.
bool ShellCanName(const std::wstring& path)
{
    if (path.size() >= MAX_PATH)
        return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(L'\\', start);
        if (end == std::wstring::npos)
            end = path.size();
        if (end > start && (path[end - 1] == L'.' || path[end - 1] == L' ') &&
            std::wstring_view(path).substr(start, end - start) != L"." &&
            std::wstring_view(path).substr(start, end - start) != L"..")
            return false;
        start = end + 1;
    }
    return true;
}

// Takes a name for this job by making an empty file of it, which only
// succeeds when nothing has it yet: the test for a collision and the claim
// on the name in one step (a look-up of a missing name reads the whole
// folder on some file systems, so a test and then a copy would cost two).
enum class TClaim : uint8_t { Claimed, Taken, Unwritable };
TClaim ClaimName(const std::wstring& path)
{
    {
        TUnlocked unlocked;
        UniqueFileHandle file(CreateFileW(ExtendedPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file)
            return TClaim::Claimed;
    }
    return Exists(path) ? TClaim::Taken : TClaim::Unwritable;
}

// From this size on a file is copied in chunks of our own through a
// temporary name, so that it can be stopped and shows its bytes; smaller
// ones are done in one call, quicker than a second of work.
constexpr uint64_t kLargeFile = 8 * 1024 * 1024;
constexpr DWORD kChunk = 1024 * 1024;

// Removes a file this job made (and perhaps half wrote).
void RemoveOwn(const std::wstring& path)
{
    SetFileAttributesW(ExtendedPath(path).c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(ExtendedPath(path).c_str());
}

uint64_t FileSize(const WIN32_FIND_DATAW& data)
{
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

uint64_t ProcessStartTime(HANDLE process)
{
    FILETIME creation{}, exit{}, kernel{}, user{};
    if (!GetProcessTimes(process, &creation, &exit, &kernel, &user))
        return 0;
    return (static_cast<uint64_t>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
}

// Whether the process that wrote a temporary file still runs: the same
// id and the same start time (ids are reused).
bool WriterRuns(DWORD processId, uint64_t startTime)
{
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process)
        return GetLastError() == ERROR_ACCESS_DENIED; // someone else's: not ours to judge
    DWORD code = 0;
    if (GetExitCodeProcess(process.get(), &code) && code != STILL_ACTIVE)
        return false;
    return ProcessStartTime(process.get()) == startTime;
}

constexpr const wchar_t* kTemporaryFormat = L"~nimbra-%08lx-%016llx-%08lx.tmp";

} // namespace

std::wstring TemporaryName(const std::wstring& folder)
{
    static const uint64_t start = ProcessStartTime(GetCurrentProcess());
    GUID guid{};
    CoCreateGuid(&guid);
    wchar_t name[64];
    swprintf(name, 64, kTemporaryFormat, static_cast<unsigned long>(GetCurrentProcessId()),
             static_cast<unsigned long long>(start), static_cast<unsigned long>(guid.Data1));
    return CombinePath(folder, name);
}

int SweepStaleTemporaries(const std::wstring& folder)
{
    std::vector<std::wstring> stale;
    {
        WIN32_FIND_DATAW data;
        UniqueFindHandle find(FindFirstFileW(ExtendedPath(CombinePath(folder, L"~nimbra-*.tmp")).c_str(), &data));
        if (!find)
            return 0;
        do {
            unsigned long processId = 0, random = 0;
            unsigned long long start = 0;
            wchar_t rest[8] = {};
            // Only the names this program gives, in full.
            if (wcslen(data.cFileName) != 46 || IsDirectoryEntry(data) ||
                swscanf(data.cFileName, L"~nimbra-%8lx-%16llx-%8lx%7ls", &processId, &start, &random, rest) != 4 ||
                wcscmp(rest, L".tmp") != 0)
                continue;
            if (!WriterRuns(processId, start))
                stale.push_back(CombinePath(folder, data.cFileName));
        } while (FindNextFileW(find.get(), &data));
    }
    for (const std::wstring& path : stale)
        RemoveOwn(path);
    return static_cast<int>(stale.size());
}

bool MakeNumberedBackup(const std::wstring& path, bool samePlace, HWND owner)
{
    TBackupPlan plan = PlanBackup([&](int number) { return Exists(BackupName(path, number)); });
    if (!plan.Next)
        return false;
    for (const TBackupPlan::TRename& rename : plan.Renames)
        Rename(BackupName(path, rename.From), BackupName(path, rename.To));
    // A backup that would not move out of the way keeps its number: it is
    // never replaced.
    std::wstring backup = BackupName(path, *plan.Next);
    if (Exists(backup))
        return false;
    {
        TUnlocked unlocked;
        if (samePlace)
            CopyFileW(ExtendedPath(path).c_str(), ExtendedPath(backup).c_str(), TRUE);
        else
            Rename(path, backup);
    }
    // The files tell whether it worked (a file held open stays where it is).
    return Exists(backup) && (samePlace || !Exists(path));
}

TFileOperationEngine::TFileOperationEngine(TFileOperationKind kind, TPath source, TPath destination,
                                           std::vector<std::wstring> names, TFileOperationUI& ui)
    : FKind(kind), FSource(std::move(source)), FDestination(std::move(destination)), FNames(std::move(names)), FUI(ui)
{
    if (FSource.IDList == nullptr) {
        if (!FSource.SubPathView().empty()) {
            FSourceIsArchive = true;
        } else if (!FSource.PathView().empty()) {
            WIN32_FIND_DATAW data;
            UniqueFindHandle find(FindFirstFileW(ExtendedPath(std::wstring(FSource.PathView())).c_str(), &data));
            FSourceIsArchive = find && !IsDirectoryEntry(data);
        }
    }
}

// ---------------------------------------------------------------------------
// Sources inside an archive

namespace {

// The records of an archive folder, copied under the lock: the folder may
// be refreshed while the job goes on.
struct TArchiveSource {
    ComPtr<IArchiveFolder> Folder;
    std::vector<TFileItem> Items;
};

TArchiveSource OpenArchiveSource(const TPath& location)
{
    TArchiveSource source;
    TFolderManager* manager = FolderManager();
    if (manager == nullptr)
        return source;
    TExclusiveLock lock;
    ComPtr<IFolder> folder = manager->Folder(location);
    source.Folder = folder.as<IArchiveFolder>();
    if (source.Folder && folder->IsReady())
        for (int32_t i = 0; i < folder->GetCount(); ++i)
            source.Items.push_back(*folder->GetItem(i));
    return source;
}

std::wstring ItemName(const TFileItem& item)
{
    return std::wstring(item.Name, static_cast<size_t>(std::clamp<int32_t>(item.NameLen, 0, 259)));
}

TPath ChildLocation(const TPath& location, const std::wstring& name)
{
    TPath child = location;
    std::wstring_view subPath = location.SubPathView();
    child.SetSubPath(subPath.empty() ? name : std::wstring(subPath) + L"/" + name);
    return child;
}

// The place an archive item is shown as: archive, "/", inner path.
std::wstring ArchiveItemPath(const TPath& location, const std::wstring& name)
{
    std::wstring path = std::wstring(location.PathView()) + L"/";
    if (!location.SubPathView().empty())
        path += std::wstring(location.SubPathView()) + L"/";
    return path + name;
}

// A folder of its own in the temporary folder, removed with its contents.
class TScratchFolder {
public:
    TScratchFolder()
    {
        wchar_t temp[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH + 1, temp);
        std::wstring base = IncludeTrailingBackslash(temp);
        for (int tries = 0; tries < 100 && FPath.empty(); ++tries) {
            std::wstring path = TemporaryName(base);
            if (CreateDirectoryW(path.c_str(), nullptr))
                FPath = path;
        }
        if (FPath.empty())
            RaiseLastOSError(base);
    }
    ~TScratchFolder()
    {
        WIN32_FIND_DATAW data;
        UniqueFindHandle find(FindFirstFileW((FPath + L"\\*").c_str(), &data));
        if (find) {
            do {
                if (IsDotEntry(data.cFileName))
                    continue;
                std::wstring path = FPath + L"\\" + data.cFileName;
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            } while (FindNextFileW(find.get(), &data));
        }
        find.reset();
        RemoveDirectoryW(FPath.c_str());
    }
    TScratchFolder(const TScratchFolder&) = delete;
    TScratchFolder& operator=(const TScratchFolder&) = delete;
    const std::wstring& Path() const { return FPath; }

private:
    std::wstring FPath;
};

} // namespace

int32_t TFileOperationEngine::ScanArchive()
{
    int32_t total = 0;
    TArchiveSource root = OpenArchiveSource(FSource);
    std::vector<TPath> pending;
    for (const std::wstring& name : FNames) {
        ++total;
        for (const TFileItem& item : root.Items)
            if (SameText(ItemName(item), name) == 0 && (item.Caps & kCanEnter) != 0)
                pending.push_back(ChildLocation(FSource, name));
    }
    // Without recursion: an archive may nest folders deeply.
    while (!pending.empty()) {
        TPath location = std::move(pending.back());
        pending.pop_back();
        TArchiveSource inner = OpenArchiveSource(location);
        for (const TFileItem& item : inner.Items) {
            ++total;
            if ((item.Caps & kCanEnter) != 0)
                pending.push_back(ChildLocation(location, ItemName(item)));
        }
    }
    return total;
}

void TFileOperationEngine::ExecuteArchive()
{
    const std::wstring destinationDir(FDestination.PathView());
    TArchiveSource root = OpenArchiveSource(FSource);
    for (const std::wstring& name : FNames) {
        // The item of exactly that name; an archive made elsewhere may hold
        // another one that differs only in letter case.
        const TFileItem* found = nullptr;
        for (size_t i = root.Items.size(); i > 0 && found == nullptr; --i)
            if (ItemName(root.Items[i - 1]) == name)
                found = &root.Items[i - 1];
        for (size_t i = root.Items.size(); i > 0 && found == nullptr; --i)
            if (SameText(ItemName(root.Items[i - 1]), name) == 0)
                found = &root.Items[i - 1];
        if (found == nullptr || !root.Folder) {
            Failed(ArchiveItemPath(FSource, name));
            continue;
        }
        ProcessArchiveItem(FSource, root.Folder.get(), destinationDir, *found);
    }
}

void TFileOperationEngine::ProcessArchiveItem(const TPath& location, IArchiveFolder* folder,
                                              const std::wstring& destinationDir, const TFileItem& item)
{
    std::wstring name = ItemName(item);
    FUI.ShowCurrentItem(name);
    std::wstring destinationPath = CombinePath(destinationDir, name);
    if (!BadFileNameReason(name).empty()) {
        // A name the archive may hold but no directory can: never written.
        FUI.ShowWarning(ArchiveItemPath(location, name) + L"\r\n" + BadFileNameReason(name), KindName());
    } else if ((item.Caps & kCanEnter) != 0) {
        if (!DirectoryExists(destinationPath) && !CreateDirectoryW(ExtendedPath(destinationPath).c_str(), nullptr)) {
            Failed(destinationPath);
        } else {
            TPath child = ChildLocation(location, name);
            TArchiveSource inner = OpenArchiveSource(child);
            for (const TFileItem& innerItem : inner.Items)
                ProcessArchiveItem(child, inner.Folder.get(), destinationPath, innerItem);
        }
    } else {
        TScratchFolder scratch;
        HRESULT extracted = folder->ExtractItem(&item, WideString(scratch.Path()).get());
        std::wstring extractedPath = CombinePath(scratch.Path(), name);
        WIN32_FIND_DATAW data;
        UniqueFindHandle find(SUCCEEDED(extracted) ? FindFirstFileW(ExtendedPath(extractedPath).c_str(), &data)
                                                   : INVALID_HANDLE_VALUE);
        if (!find) {
            try {
                CheckHResult(extracted);
            } catch (const Exception& error) {
                FUI.ShowWarning(error.Message(), KindName());
            }
            Failed(ArchiveItemPath(location, name));
        } else {
            find.reset();
            ProcessFile(extractedPath, destinationPath, data);
        }
    }
    FUI.Step(true);
    if (FUI.CloseRequested())
        throw EAbort();
}

const wchar_t* TFileOperationEngine::KindName() const
{
    static const wchar_t* const kNames[] = {L"Copy", L"Move", L"Link"};
    return kNames[static_cast<int>(FKind)];
}

int32_t TFileOperationEngine::Scan()
{
    auto total = static_cast<int32_t>(FNames.size());
    if (FKind == TFileOperationKind::Link)
        return total;
    if (FSourceIsArchive)
        return ScanArchive();
    // Every entry below each name, walked without recursion: a tree may be
    // deeper than a thread's stack. Links are counted, not entered: the job
    // moves them as links, and a copy that goes through one counts its
    // entries as it goes.
    std::vector<std::wstring> pending;
    for (auto name = FNames.rbegin(); name != FNames.rend(); ++name) {
        std::wstring path = CombinePath(FSource.PathView(), *name);
        WIN32_FIND_DATAW data;
        UniqueFindHandle find(FindFirstFileW(ExtendedPath(path).c_str(), &data));
        if (find && IsDirectoryEntry(data) && !IsLinkEntry(data))
            pending.push_back(std::move(path));
    }
    // A folder reached a second time (through a link the system shows as a
    // plain folder) is counted, not walked again: a loop of links would
    // make the walk endless.
    std::set<TFileIdentity> walked;
    while (!pending.empty()) {
        std::wstring dir = std::move(pending.back());
        pending.pop_back();
        if (std::optional<TFileIdentity> identity = FileIdentity(dir); identity && !walked.insert(*identity).second)
            continue;
        WIN32_FIND_DATAW data;
        UniqueFindHandle find(FindFirstFileW(ExtendedPath(dir + L"\\*").c_str(), &data));
        if (!find)
            continue;
        do {
            if (IsDotEntry(data.cFileName))
                continue;
            ++total;
            if (IsDirectoryEntry(data) && !IsLinkEntry(data))
                pending.push_back(dir + L"\\" + data.cFileName);
        } while (FindNextFileW(find.get(), &data));
    }
    return total;
}

void TFileOperationEngine::Execute()
{
    if (FSourceIsArchive) {
        // Only copies come out of an archive: the shell cannot move out of
        // one, nor link to what lies inside.
        if (FKind != TFileOperationKind::Copy) {
            FUI.ShowWarning(std::wstring(FSource.PathView()) + L"\r\n" + kNotFromArchive, KindName());
            return;
        }
        ExecuteArchive();
        return;
    }
    const std::wstring destinationDir(FDestination.PathView());
    for (const std::wstring& entry : FNames) {
        // A name with a folder in it (a search result) brings its own folder.
        std::wstring sourceDir(FSource.PathView());
        std::wstring name = entry;
        if (name.find(L'\\') != std::wstring::npos) {
            sourceDir = ExtractFileDir(name);
            name = name.substr(name.find_last_of(L"\\:") + 1);
        }
        std::wstring sourcePath = CombinePath(sourceDir, name);
        WIN32_FIND_DATAW data;
        UniqueFindHandle find(FindFirstFileW(ExtendedPath(sourcePath).c_str(), &data));
        if (!find) {
            // Gone since it was chosen: said, and the job goes on if the
            // user wants it to.
            Failed(sourcePath);
            continue;
        }
        find.reset();
        FWalking.clear();
        ProcessItem(sourceDir, destinationDir, data);
    }
}

void TFileOperationEngine::ProcessItem(const std::wstring& sourceDir, const std::wstring& destinationDir,
                                       const WIN32_FIND_DATAW& item)
{
    FUI.ShowCurrentItem(item.cFileName);
    std::wstring sourcePath = CombinePath(sourceDir, item.cFileName);
    std::wstring destinationPath = CombinePath(destinationDir, item.cFileName);
    if (FKind != TFileOperationKind::Link && IsLinkEntry(item) && ProcessLink(sourcePath, destinationPath, item)) {
        // moved or copied as a link, or reported
    } else if (FKind == TFileOperationKind::Link || !IsDirectoryEntry(item)) {
        ProcessFile(sourcePath, destinationPath, item);
    } else if (IsWithinSource(destinationPath, sourcePath) || IsInsideByIdentity(destinationDir, sourcePath)) {
        // The destination lies in the source, seen by its path or through
        // a link or another spelling of it.
        FUI.ShowWarning(sourcePath + L"\r\n" + destinationPath + L"\r\n" + kEndlessCopy, KindName());
        return;
    } else if (LeadsBack(sourcePath)) {
        // A folder met again below itself, through a link (one the system
        // may not even show as a link): going in would never end.
        FUI.ShowWarning(sourcePath + L"\r\n" + kLinkLoop, KindName());
    } else {
        ProcessDirectory(sourcePath, destinationPath, item);
    }
    FUI.Step(true);
    if (FUI.CloseRequested())
        throw EAbort();
}

bool TFileOperationEngine::LeadsBack(const std::wstring& sourcePath) const
{
    std::optional<TFileIdentity> identity = FileIdentity(sourcePath);
    return identity && std::find(FWalking.begin(), FWalking.end(), *identity) != FWalking.end();
}

namespace {

// A link's own reparse data, as the file system keeps it.
std::optional<std::vector<BYTE>> ReadReparseData(const std::wstring& path)
{
    UniqueFileHandle link(CreateFileW(ExtendedPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!link)
        return std::nullopt;
    std::vector<BYTE> buffer(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
    DWORD size = 0;
    if (!DeviceIoControl(link.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(),
                         static_cast<DWORD>(buffer.size()), &size, nullptr))
        return std::nullopt;
    buffer.resize(size);
    return buffer;
}

// Makes a new link at path with the reparse data of another; false (with
// nothing left) when the file system will not.
bool WriteLink(const std::wstring& path, const std::vector<BYTE>& data, bool directory)
{
    std::wstring extended = ExtendedPath(path);
    if (directory ? !CreateDirectoryW(extended.c_str(), nullptr)
                  : !UniqueFileHandle(CreateFileW(extended.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                  FILE_ATTRIBUTE_NORMAL, nullptr)))
        return false;
    bool written = false;
    {
        UniqueFileHandle link(CreateFileW(extended.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        DWORD size = 0;
        written = link && DeviceIoControl(link.get(), FSCTL_SET_REPARSE_POINT, const_cast<BYTE*>(data.data()),
                                          static_cast<DWORD>(data.size()), nullptr, 0, &size, nullptr);
    }
    if (!written) {
        if (directory)
            RemoveDirectoryW(extended.c_str());
        else
            DeleteFileW(extended.c_str());
    }
    return written;
}

// Removes a link itself, never what it leads to.
bool RemoveLink(const std::wstring& path, bool directory)
{
    std::wstring extended = ExtendedPath(path);
    SetFileAttributesW(extended.c_str(), FILE_ATTRIBUTE_NORMAL | (directory ? FILE_ATTRIBUTE_DIRECTORY : 0));
    return directory ? RemoveDirectoryW(extended.c_str()) != FALSE : DeleteFileW(extended.c_str()) != FALSE;
}

} // namespace

bool TFileOperationEngine::ProcessLink(const std::wstring& sourcePath, const std::wstring& destinationPath,
                                       const WIN32_FIND_DATAW& item)
{
    bool directory = IsDirectoryEntry(item);
    // A copy goes through a link as through a folder or file (one that
    // leads back into the tree is caught as any folder met twice).
    if (FKind == TFileOperationKind::Copy)
        return false;
    // A move takes the link, never what it leads to: a rename on one file
    // system, a new link and the old one removed between two.
    if (Exists(destinationPath)) {
        if (!directory)
            return false; // an existing file: its collision is asked about as any other
        Failed(sourcePath);
        return true;
    }
    DWORD error = 0;
    if (RenameUnlocked(sourcePath, destinationPath, 0, error))
        return true;
    if (error != ERROR_NOT_SAME_DEVICE) {
        Failed(sourcePath);
        return true;
    }
    std::optional<std::vector<BYTE>> data = ReadReparseData(sourcePath);
    if (!data || !WriteLink(destinationPath, *data, directory)) {
        Failed(sourcePath);
        return true;
    }
    if (!RemoveLink(sourcePath, directory))
        Failed(sourcePath);
    return true;
}

void TFileOperationEngine::ProcessFile(const std::wstring& sourcePath, std::wstring destinationPath,
                                       const WIN32_FIND_DATAW& item)
{
    if (FKind == TFileOperationKind::Link)
        destinationPath = LinkName(destinationPath);
    else if (TransferToFreeName(sourcePath, destinationPath, item))
        return; // as most files: nothing had their name
    // The source may be its own destination: the same folder, or another
    // path to it (a link, a junction, another spelling). A move has
    // nothing to do then; a copy makes at most a numbered copy.
    bool samePlace = false;
    if (FKind != TFileOperationKind::Link) {
        std::optional<TFileIdentity> source = FileIdentity(sourcePath);
        samePlace = source && FileIdentity(destinationPath) == source;
        if (samePlace && FKind == TFileOperationKind::Move) {
            FUI.ShowWarning(sourcePath + L"\r\n" + destinationPath + L"\r\n" + kSameFile, KindName());
            return;
        }
    }
    bool proceed = true;
    // Only the overwriting modes put the new file in place of an existing
    // one; the others made room first, or the item is left.
    bool replace = false;
    bool recycle = false;
    while (Exists(destinationPath)) {
        TCollisionMode mode = TCollisionMode::Backup;
        if (!FUI.AskCollision(destinationPath, mode))
            throw EAbort();
        bool again = false;
        switch (mode) {
        case TCollisionMode::Overwrite:
            proceed = !samePlace;
            replace = true;
            break;
        case TCollisionMode::Backup:
            proceed = MakeBackup(destinationPath, samePlace) && !samePlace;
            break;
        case TCollisionMode::Recycle:
        case TCollisionMode::RecycleIfNewer:
            if (samePlace) {
                // Nothing can be recycled here; asking again could go round
                // for ever with "all" chosen, so the file is left.
                FUI.ShowWarning(kNoRecycleHere, KindName());
                proceed = false;
            } else {
                // The old file goes only once the new one is safe beside it.
                proceed = mode == TCollisionMode::Recycle || SourceIsNewer(item, sourcePath, destinationPath);
                recycle = proceed;
            }
            break;
        case TCollisionMode::OverwriteIfNewer:
            proceed = SourceIsNewer(item, sourcePath, destinationPath);
            replace = true;
            break;
        case TCollisionMode::BackupIfNewer:
            proceed = SourceIsNewer(item, sourcePath, destinationPath) && MakeBackup(destinationPath, samePlace) &&
                      !samePlace;
            break;
        case TCollisionMode::Rename: {
            std::wstring name = ExtractFileName(destinationPath);
            for (;;) {
                // Cancel here is Cancel of the whole prompt.
                if (!FUI.AskNewName(item.cFileName, name))
                    throw EAbort();
                std::wstring reason = BadFileNameReason(name);
                if (reason.empty())
                    break;
                FUI.ShowWarning(name + L"\r\n" + reason, KindName());
            }
            destinationPath = CombinePath(ExtractFileDir(destinationPath), name);
            samePlace = samePlace && FileIdentity(destinationPath) == FileIdentity(sourcePath);
            again = true;
            break;
        }
        case TCollisionMode::Skip:
        default:
            proceed = false;
            break;
        }
        if (!again)
            break;
    }
    if (!proceed)
        return;
    if (FKind == TFileOperationKind::Link)
        CreateLink(sourcePath, destinationPath);
    else if (recycle)
        ReplaceByRecycling(sourcePath, destinationPath, item);
    else
        Transfer(sourcePath, destinationPath, item, replace);
}

void TFileOperationEngine::SweepOnce(const std::wstring& folder)
{
    for (const std::wstring& swept : FSwept)
        if (SameText(swept, folder) == 0)
            return;
    FSwept.push_back(folder);
    SweepStaleTemporaries(folder);
}

bool TFileOperationEngine::TransferToFreeName(const std::wstring& sourcePath, const std::wstring& destinationPath,
                                              const WIN32_FIND_DATAW& item)
{
    SweepOnce(ExtractFileDir(destinationPath));
    if (FileSize(item) >= kLargeFile) {
        // Looked for first: a collision is asked about before a long copy.
        if (Exists(destinationPath))
            return false;
        TransferThroughTemporary(sourcePath, destinationPath, item, false);
        return true;
    }
    switch (ClaimName(destinationPath)) {
    case TClaim::Claimed:
        if (!Deliver(sourcePath, destinationPath, item))
            Failed(sourcePath);
        return true;
    case TClaim::Unwritable:
        Failed(sourcePath);
        return true;
    case TClaim::Taken:
    default:
        return false;
    }
}

void TFileOperationEngine::Transfer(const std::wstring& sourcePath, const std::wstring& destinationPath,
                                    const WIN32_FIND_DATAW& item, bool replace)
{
    if (TransferToFreeName(sourcePath, destinationPath, item))
        return;
    // Made room for, yet taken again: it stays.
    if (!replace) {
        Failed(sourcePath);
        return;
    }
    TransferThroughTemporary(sourcePath, destinationPath, item, true);
}

void TFileOperationEngine::TransferThroughTemporary(const std::wstring& sourcePath,
                                                    const std::wstring& destinationPath,
                                                    const WIN32_FIND_DATAW& item, bool replace)
{
    DWORD flags = replace ? MOVEFILE_REPLACE_EXISTING : 0;
    if (FKind == TFileOperationKind::Move) {
        // On one file system a move is a rename, whole at once.
        DWORD error = 0;
        if (RenameUnlocked(sourcePath, destinationPath, flags, error))
            return;
        if (error != ERROR_NOT_SAME_DEVICE) {
            Failed(sourcePath);
            return;
        }
    }
    // The file is written under a temporary name beside its destination and
    // takes its name only once it is there whole: until then a file it is
    // to replace stays as it was.
    std::wstring temporary = TemporaryName(ExtractFileDir(destinationPath));
    if (!CopyChunks(sourcePath, temporary)) {
        Failed(sourcePath);
        return;
    }
    BOOL named;
    {
        TUnlocked unlocked;
        named = Rename(temporary, destinationPath, flags);
    }
    if (!named) {
        // Taken meanwhile, or what is there cannot be replaced.
        RemoveOwn(temporary);
        Failed(sourcePath);
        return;
    }
    SetFileAttributesW(ExtendedPath(destinationPath).c_str(), item.dwFileAttributes & ~FILE_ATTRIBUTE_DIRECTORY);
    FinishMove(sourcePath);
}

void TFileOperationEngine::ReplaceByRecycling(const std::wstring& sourcePath, const std::wstring& destinationPath,
                                              const WIN32_FIND_DATAW& item)
{
    std::wstring folder = ExtractFileDir(destinationPath);
    SweepOnce(folder);
    std::wstring temporary = TemporaryName(folder);
    bool renamed = false;
    if (FKind == TFileOperationKind::Move) {
        // On one file system the source itself waits beside the old file
        // (under a name the sweep leaves alone: it is the only copy).
        std::wstring waiting = temporary.substr(0, temporary.size() - 4) + L".move";
        DWORD error = 0;
        if (RenameUnlocked(sourcePath, waiting, 0, error)) {
            temporary = waiting;
            renamed = true;
        } else if (error != ERROR_NOT_SAME_DEVICE) {
            Failed(sourcePath);
            return;
        }
    }
    if (!renamed && !CopyChunks(sourcePath, temporary)) {
        Failed(sourcePath);
        return;
    }
    auto giveBack = [&] {
        if (!renamed) {
            RemoveOwn(temporary);
            return true;
        }
        TUnlocked unlocked;
        return Rename(temporary, sourcePath) != FALSE;
    };
    if (!Recycle(destinationPath)) {
        if (!giveBack())
            Failed(temporary);
        return;
    }
    BOOL named;
    {
        TUnlocked unlocked;
        named = Rename(temporary, destinationPath);
    }
    if (!named) {
        Failed(giveBack() ? sourcePath : temporary);
        return;
    }
    SetFileAttributesW(ExtendedPath(destinationPath).c_str(), item.dwFileAttributes & ~FILE_ATTRIBUTE_DIRECTORY);
    if (!renamed)
        FinishMove(sourcePath);
}

void TFileOperationEngine::FinishMove(const std::wstring& sourcePath)
{
    if (FKind != TFileOperationKind::Move)
        return;
    // The file is whole at its destination: a source that will not go is
    // reported and stays too.
    SetFileAttributesW(ExtendedPath(sourcePath).c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!DeleteFileW(ExtendedPath(sourcePath).c_str()))
        Failed(sourcePath);
}

bool TFileOperationEngine::CopyChunks(const std::wstring& sourcePath, const std::wstring& targetPath)
{
    UniqueFileHandle source(CreateFileW(ExtendedPath(sourcePath).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!source)
        return false;
    LARGE_INTEGER size{};
    FILETIME created{}, accessed{}, written{};
    if (!GetFileSizeEx(source.get(), &size) || !GetFileTime(source.get(), &created, &accessed, &written))
        return false;
    UniqueFileHandle target(CreateFileW(ExtendedPath(targetPath).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!target)
        return false;
    const auto total = static_cast<uint64_t>(size.QuadPart);
    std::vector<char> buffer(static_cast<size_t>(std::min<uint64_t>(kChunk, std::max<uint64_t>(total, 1))));
    uint64_t done = 0;
    bool ok = true;
    FUI.Progress(0, total);
    DWORD lastAnswer = GetTickCount();
    for (;;) {
        DWORD read = 0, wrote = 0;
        {
            TUnlocked unlocked;
            ok = ReadFile(source.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) &&
                 (read == 0 || (WriteFile(target.get(), buffer.data(), read, &wrote, nullptr) && wrote == read));
        }
        if (!ok || read == 0)
            break;
        done += read;
        // The window answers every tenth of a second or so: Close stops the
        // copy within that and a chunk's time, and the bar moves with the
        // bytes without a repaint per chunk.
        const DWORD now = GetTickCount();
        if (now - lastAnswer < FUI.AnswerInterval())
            continue;
        lastAnswer = now;
        FUI.Progress(done, total);
        if (FUI.CloseRequested()) {
            target.reset();
            RemoveOwn(targetPath);
            throw EAbort();
        }
    }
    // A source that changed its length on the way did not arrive whole.
    ok = ok && done == total && SetFileTime(target.get(), &created, &accessed, &written);
    target.reset();
    if (!ok) {
        RemoveOwn(targetPath);
        return false;
    }
    FUI.Progress(total, total);
    return true;
}

bool TFileOperationEngine::Deliver(const std::wstring& sourcePath, const std::wstring& targetPath,
                                   const WIN32_FIND_DATAW& item)
{
    bool move = FKind == TFileOperationKind::Move;
    BOOL done;
    {
        TUnlocked unlocked;
        done = move ? Rename(sourcePath, targetPath, MOVEFILE_COPY_ALLOWED | MOVEFILE_REPLACE_EXISTING)
                    : CopyFileExW(ExtendedPath(sourcePath).c_str(), ExtendedPath(targetPath).c_str(), nullptr,
                                  nullptr, nullptr, 0);
    }
    if (done)
        return true;
    // Nothing half-written keeps the final name: the target was claimed
    // empty by this job, so it holds nothing of anyone else's. Only a moved
    // file whose source has gone and that is there whole stays.
    WIN32_FILE_ATTRIBUTE_DATA target{};
    bool whole = GetFileAttributesExW(ExtendedPath(targetPath).c_str(), GetFileExInfoStandard, &target) &&
                 target.nFileSizeLow == item.nFileSizeLow && target.nFileSizeHigh == item.nFileSizeHigh;
    if (!move || !whole || Exists(sourcePath))
        RemoveOwn(targetPath);
    return false;
}

void TFileOperationEngine::ProcessDirectory(const std::wstring& sourcePath, const std::wstring& destinationPath,
                                            const WIN32_FIND_DATAW& item)
{
    if (MovesWhole(FKind, DirectoryExists(destinationPath), sourcePath, destinationPath) &&
        MoveWhole(sourcePath, destinationPath))
        return;
    bool created = CreateDirectoryW(ExtendedPath(destinationPath).c_str(), nullptr) != FALSE;
    std::optional<TFileIdentity> identity = FileIdentity(sourcePath);
    if (identity)
        FWalking.push_back(*identity);
    {
        WIN32_FIND_DATAW data;
        UniqueFindHandle find(FindFirstFileW(ExtendedPath(sourcePath + L"\\*").c_str(), &data));
        if (!find) {
            if (identity)
                FWalking.pop_back();
            // Gone (or unreadable) since its parent was read: said, and the
            // job goes on if the user wants it to.
            Failed(sourcePath);
            return;
        }
        do {
            if (!IsDotEntry(data.cFileName))
                ProcessItem(sourcePath, destinationPath, data);
        } while (FindNextFileW(find.get(), &data));
    }
    if (identity)
        FWalking.pop_back();
    // Only an empty directory goes: one that still holds skipped or failed
    // items keeps them.
    if (FKind == TFileOperationKind::Move)
        RemoveDirectoryW(ExtendedPath(sourcePath).c_str());
    if (created) {
        UniqueFileHandle directory(CreateFileW(ExtendedPath(destinationPath).c_str(), GENERIC_READ | GENERIC_WRITE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                               FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!directory)
            RaiseLastOSError(destinationPath);
        SetFileTime(directory.get(), &item.ftCreationTime, &item.ftLastAccessTime, &item.ftLastWriteTime);
    }
}

bool TFileOperationEngine::MoveWhole(const std::wstring& sourcePath, const std::wstring& destinationPath)
{
    DWORD error = 0;
    if (RenameUnlocked(sourcePath, destinationPath, 0, error)) {
        StepOver(destinationPath);
        return true;
    }
    // One drive letter may still hold two file systems: the directory then
    // goes as between drives, and only what arrived leaves the source.
    if (error == ERROR_NOT_SAME_DEVICE)
        return false;
    StepOver(sourcePath);
    Failed(sourcePath);
    return true;
}

void TFileOperationEngine::StepOver(const std::wstring& directory)
{
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW(ExtendedPath(directory + L"\\*").c_str(), &data));
    if (!find)
        return;
    do {
        if (IsDotEntry(data.cFileName))
            continue;
        if (IsDirectoryEntry(data) && !IsLinkEntry(data))
            StepOver(CombinePath(directory, data.cFileName));
        FUI.Step(false);
    } while (FindNextFileW(find.get(), &data));
}

void TFileOperationEngine::Failed(const std::wstring& path)
{
    if (!FUI.AskContinueAfterFailure(path + kFailed, KindName()))
        throw EAbort();
}

bool TFileOperationEngine::MakeBackup(const std::wstring& destinationPath, bool samePlace)
{
    // No backup (every slot taken, or the file held open): the destination
    // stays as it is, not overwritten.
    if (MakeNumberedBackup(destinationPath, samePlace, FUI.Owner()))
        return true;
    Failed(destinationPath);
    return false;
}

bool TFileOperationEngine::Recycle(const std::wstring& destinationPath)
{
    // The shell deletes for good what it cannot put in a recycle bin, and
    // reads names its own way: where there is no bin, or the name would be
    // read as another, the old file stays and that is a failure.
    std::wstring root = IncludeTrailingBackslash(ExtractFileDrive(destinationPath));
    SHQUERYRBINFO bin{};
    bin.cbSize = sizeof bin;
    bool hasBin = !root.empty() && root != L"\\" && SUCCEEDED(SHQueryRecycleBinW(root.c_str(), &bin));
    if (hasBin && ShellCanName(destinationPath)) {
        RunShellOperation(FUI.Owner(), FO_DELETE, destinationPath, {}, FOF_ALLOWUNDO | kShellFlags);
        if (!Exists(destinationPath))
            return true;
    }
    Failed(destinationPath);
    return false;
}

bool TFileOperationEngine::SourceIsNewer(const WIN32_FIND_DATAW& item, const std::wstring& sourcePath,
                                         const std::wstring& destinationPath) const
{
    // One file under two names is never newer than itself.
    if (FileIdentity(sourcePath) == FileIdentity(destinationPath))
        return false;
    WIN32_FIND_DATAW existing;
    UniqueFindHandle find(FindFirstFileW(ExtendedPath(destinationPath).c_str(), &existing));
    return find && CompareFileTime(&item.ftLastWriteTime, &existing.ftLastWriteTime) > 0;
}

void TFileOperationEngine::CreateLink(const std::wstring& sourcePath, const std::wstring& linkPath)
{
    ComPtr<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(link.put()))))
        throw Exception(kLinkDenied);
    link->SetPath(sourcePath.c_str());
    link->SetWorkingDirectory(IncludeTrailingBackslash(ExtractFileDir(sourcePath)).c_str());
    ComPtr<IPersistFile> file = link.as<IPersistFile>();
    if (!file || FAILED(file->Save(linkPath.c_str(), TRUE)))
        throw Exception(kLinkDenied);
}

// ---------------------------------------------------------------------------
// The job's window

const wchar_t* const kCollisionModeLabels[8] = {
    L"上書き",
    L"バックアップ",
    L"既存ファイルをゴミ箱へ",
    L"上書き(タイムスタンプ比較)",
    L"バックアップ(タイムスタンプ比較)",
    L"既存ファイルをゴミ箱へ(タイムスタンプ比較)",
    L"名前を変える",
    L"何もしない",
};

namespace {

constexpr UINT WM_START_JOB = WM_APP + 20;
constexpr UINT kFirstModeId = 200;
constexpr UINT kApplyToAllId = 210;
constexpr int kClientWidth = 320;
constexpr int kCompactHeight = 88;
constexpr RECT kGroupRect{4, 90, 4 + 313, 90 + 188};
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 23;
constexpr DWORD kCompletedPause = 1000;
constexpr int kStepUnits = 100;

} // namespace

TFileOperationWindow::TFileOperationWindow(TFileOperationThread* job) : FJob(job) {}

void TFileOperationWindow::FillWindowClass(WNDCLASSEXW& windowClass)
{
    windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
}

void TFileOperationWindow::CreateJobWindow()
{
    TWindowStruct create;
    // Without WS_CLIPCHILDREN: the group box paints no inside of its own.
    create.Style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;
    create.ExStyle = WS_EX_TOPMOST | WS_EX_TOOLWINDOW;
    create.WindowName = FJob->Engine().KindName();
    CreateHandle(create);
    TFont* font = CurrentGUIThread()->DefaultGUIFont();
    SendMessageW(Handle(), WM_SETFONT, reinterpret_cast<WPARAM>(font->Handle()), FALSE);

    FProgress = new TProgressBar(this);
    FProgress->SetBounds(8, 72, 305, 9);
    FGroup = new TGroupBox(this, L"");
    FGroup->SetBounds(kGroupRect.left, kGroupRect.top, kGroupRect.right - kGroupRect.left,
                      kGroupRect.bottom - kGroupRect.top);
    for (int i = 0; i < 8; ++i) {
        FModes[i] = new TRadioButton(this, kCollisionModeLabels[i], kFirstModeId + static_cast<UINT>(i), i == 0);
        FModes[i]->SetBounds(kGroupRect.left + 8, kGroupRect.top + 20 + 20 * i, 290, 20);
    }
    FAll = new TCheckBox(this, L"以後全て(&A)", kApplyToAllId);
    FAll->SetBounds(kGroupRect.left + 200, kGroupRect.top + 20, 100, 20);
    FOk = new TButton(this, L"OK", IDOK, true);
    FOk->SetBounds(158, kGroupRect.bottom + 7, kButtonWidth, kButtonHeight);
    FCancel = new TButton(this, L"Cancel", IDCANCEL);
    FCancel->SetBounds(237, kGroupRect.bottom + 7, kButtonWidth, kButtonHeight);
    FModes[static_cast<int>(FMode)]->SetChecked(true);

    // Moving and closing are all the system menu offers.
    HMENU system = GetSystemMenu(Handle(), FALSE);
    for (UINT command : {SC_TASKLIST, SC_MAXIMIZE, SC_MINIMIZE, SC_SIZE, SC_RESTORE})
        DeleteMenu(system, command, MF_BYCOMMAND);
    Compact();
    PostMessageW(Handle(), WM_START_JOB, 0, 0);
}

void TFileOperationWindow::Compact()
{
    SetClientSize(Handle(), kClientWidth, kCompactHeight);
    for (T0Window* control : {static_cast<T0Window*>(FGroup), static_cast<T0Window*>(FOk),
                              static_cast<T0Window*>(FCancel), static_cast<T0Window*>(FAll)})
        EnableWindow(control->Handle(), FALSE);
    for (TRadioButton* mode : FModes)
        EnableWindow(mode->Handle(), FALSE);
}

void TFileOperationWindow::Expand()
{
    RECT cancel{};
    GetWindowRect(FCancel->Handle(), &cancel);
    MapWindowPoints(nullptr, Handle(), reinterpret_cast<POINT*>(&cancel), 2);
    SetClientSize(Handle(), kClientWidth, cancel.bottom + 3);
    for (T0Window* control : {static_cast<T0Window*>(FGroup), static_cast<T0Window*>(FOk),
                              static_cast<T0Window*>(FCancel), static_cast<T0Window*>(FAll)})
        EnableWindow(control->Handle(), TRUE);
    for (TRadioButton* mode : FModes)
        EnableWindow(mode->Handle(), TRUE);
    FModes[static_cast<int>(FMode)]->Focus();
}

void TFileOperationWindow::RunJob()
{
    FRunning = true;
    SetWindowTextW(Handle(), FJob->Engine().KindName());
    UpdateWindow(Handle());
    try {
        FTotal = FJob->Engine().Scan();
        FProgress->SetMaximum(FTotal * kStepUnits);
        InvalidateRect(Handle(), nullptr, TRUE);
        FResult = true;
        FJob->Engine().Execute();
        if (FResult) {
            MessageBeep(0);
            // "Completed" stays in view for a moment.
            TSuspendShared unlocked;
            Sleep(kCompletedPause);
        }
    } catch (const EAbort&) {
        // Cancelled or closed: the job ends quietly.
    } catch (...) {
        ShowException(std::current_exception());
    }
    FRunning = false;
    SetTerminated(true);
}

void TFileOperationWindow::ShowCurrentItem(std::wstring_view displayName)
{
    FCurrentItem = displayName;
    InvalidateRect(Handle(), nullptr, TRUE);
    UpdateWindow(Handle());
}

bool TFileOperationWindow::AskCollision(std::wstring_view destinationPath, TCollisionMode& mode)
{
    if (FApplyToAll) {
        mode = FMode;
        return FResult;
    }
    FResult = false;
    SetWindowTextW(FGroup->Handle(), (std::wstring(destinationPath) + L"は既に存在しています").c_str());
    Expand();
    FPrompting = true;
    MessageLoop();
    FPrompting = false;
    SetTerminated(false);
    Compact();
    UpdateWindow(Handle());
    FApplyToAll = FAll->Checked();
    FMode = TCollisionMode::Skip;
    for (int i = 0; i < 8; ++i)
        if (FModes[i]->Checked()) {
            FMode = static_cast<TCollisionMode>(i);
            break;
        }
    mode = FMode;
    return FResult;
}

void TFileOperationWindow::EndPrompt(bool result)
{
    if (!FPrompting)
        return;
    FResult = result;
    SetTerminated(true);
}

bool TFileOperationWindow::AskNewName(std::wstring_view caption, std::wstring& name)
{
    TOwned<TInputDialog> dialog(new TInputDialog(Handle(), std::wstring(caption)));
    dialog->SetText(name);
    if (!dialog->Execute())
        return false;
    name = dialog->Text();
    return true;
}

bool TFileOperationWindow::AskContinueAfterFailure(std::wstring_view text, std::wstring_view caption)
{
    return TMessageBox::Show(Handle(), text, caption, MB_YESNO | MB_ICONHAND | MB_DEFBUTTON2) == IDYES;
}

void TFileOperationWindow::ShowWarning(std::wstring_view text, std::wstring_view caption)
{
    TMessageBox::Show(Handle(), text, caption, MB_ICONEXCLAMATION);
}

void TFileOperationWindow::Step(bool repaint)
{
    ++FDone;
    FProgress->SetPosition(FDone * kStepUnits);
    RECT counter{8, 44, 316, 66};
    InvalidateRect(Handle(), &counter, TRUE);
    if (repaint)
        UpdateWindow(Handle());
}

void TFileOperationWindow::Progress(uint64_t done, uint64_t total)
{
    // The bar moves with the bytes of a large file: each item is
    // kStepUnits on it.
    int part = total == 0 ? 0 : static_cast<int>(done * kStepUnits / total);
    FProgress->SetPosition(FDone * kStepUnits + std::min(part, kStepUnits));
    UpdateWindow(FProgress->Handle());
}

bool TFileOperationWindow::CloseRequested()
{
    // The window answers between items: moving it, closing it, Escape.
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(message.wParam));
            break;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return FCloseRequested;
}

void TFileOperationWindow::Paint(HDC dc)
{
    SetBkMode(dc, TRANSPARENT);
    HGDIOBJ oldFont = SelectObject(dc, CurrentGUIThread()->DefaultGUIFont()->Handle());
    TextOutW(dc, 8, 8, L"From:", 5);
    TextOutW(dc, 8, 28, L"To:", 3);
    auto drawPath = [&](int y, std::wstring_view path) {
        RECT rect{48, y, 48 + 265, y + 20};
        std::wstring text(path);
        for (wchar_t& c : text)
            if (c == L'/')
                c = L'\\';
        DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rect, DT_SINGLELINE | DT_NOPREFIX | DT_PATH_ELLIPSIS);
    };
    drawPath(8, FJob->Source().PathView());
    drawPath(28, FJob->Destination().PathView());
    RECT item{8, 48, 240, 66};
    DrawTextW(dc, FCurrentItem.c_str(), static_cast<int>(FCurrentItem.size()), &item,
              DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
    std::wstring counter;
    int position = FDone;
    if (FTotal == 0) {
        counter = L"Scanning...";
    } else if (position != FTotal) {
        wchar_t text[32];
        swprintf(text, 32, L"%d / %d", position, FTotal);
        counter = text;
    } else {
        counter = L"Completed";
    }
    RECT right{160, 48, 312, 66};
    DrawTextW(dc, counter.c_str(), static_cast<int>(counter.size()), &right, DT_SINGLELINE | DT_RIGHT | DT_NOPREFIX);
    SelectObject(dc, oldFont);
}

void TFileOperationWindow::HandleNotify(TAnyWindow* sender, NMHDR& header, LRESULT& result)
{
    if (header.code == kCommandNotifyBase + BN_CLICKED) {
        if (header.idFrom == IDOK)
            EndPrompt(true);
        else if (header.idFrom == IDCANCEL)
            EndPrompt(false);
    }
    T0MainWindow::HandleNotify(sender, header, result);
}

bool TFileOperationWindow::NavigateKey(UINT key, int shift)
{
    switch (key) {
    case VK_RETURN:
        EndPrompt(true);
        return true;
    case VK_ESCAPE:
        if (FPrompting)
            EndPrompt(false);
        else
            FResult = false; // no completion beep; the job goes on
        return true;
    case VK_UP:
    case VK_DOWN: {
        // The arrows move among the modes and choose them.
        HWND next = GetNextDlgGroupItem(Handle(), GetFocus(), key == VK_UP);
        if (next == nullptr)
            return false;
        SetFocus(next);
        SendMessageW(next, BM_CLICK, 0, 0);
        return true;
    }
    default:
        return T0MainWindow::NavigateKey(key, shift);
    }
}

LRESULT TFileOperationWindow::Dispatch(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_START_JOB:
        RunJob();
        return 0;
    case WM_CLOSE:
        // The job stops after the item in work; the window goes with it.
        FCloseRequested = true;
        if (FPrompting)
            EndPrompt(false);
        if (FRunning)
            return 0;
        return T0MainWindow::Dispatch(message, wParam, lParam);
    default:
        return T0MainWindow::Dispatch(message, wParam, lParam);
    }
}

// ---------------------------------------------------------------------------
// The job's thread

TFileOperationThread::TFileOperationThread(TFileOperationKind kind, std::vector<std::wstring> names,
                                           TPath destination, TPath source)
    : FKind(kind), FNames(std::move(names)), FDestination(std::move(destination)), FSource(std::move(source))
{
}

void TFileOperationThread::Prepare()
{
    FWindow = new TFileOperationWindow(this);
    FWindow->SetOwner(this);
    FEngine = std::make_unique<TFileOperationEngine>(FKind, FSource, FDestination, std::move(FNames), *FWindow);
    FWindow->CreateJobWindow();
    SetMainWindow(FWindow);
}

TFileOperationThread* StartFileOperation(TFileOperationKind kind, std::vector<std::wstring> names,
                                         const TPath& destination, const TPath& source)
{
    return T0Thread::StartThread<TFileOperationThread>(kind, std::move(names), destination, source);
}
