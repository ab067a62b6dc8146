#include "fileop/UFileOp.h"

// Folders
#include "folders/ShlUtils.h"
#include "folders/SysUtilsW.h"

// Toolkit
#include "lw/LComPtr.h"
#include "lw/LExceptions.h"
#include "lw/LHandles.h"
#include "lw/LWindows.h"

// Platform
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

// Standard library
#include <cwchar>
#include <optional>

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

bool MovesWhole(TFileOperationKind kind, bool parentWhole, bool destinationExists, std::wstring_view sourcePath,
                std::wstring_view destinationPath)
{
    if (parentWhole)
        return true;
    return kind == TFileOperationKind::Move && !destinationExists &&
           ExtractFileDrive(destinationPath) == ExtractFileDrive(sourcePath);
}

// ---------------------------------------------------------------------------
// The job engine

namespace {

constexpr FILEOP_FLAGS kShellFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
constexpr const wchar_t* kFailed = L"の処理に失敗. 続けますか?";
constexpr const wchar_t* kEndlessCopy = L"コピー元の子をコピー先にすると無限コピーになりますので中断.";
constexpr const wchar_t* kNoRecycleHere = L"同じ場所で作業中にゴミ箱送りはできません";
constexpr const wchar_t* kLinkDenied = L"ファイルへのアクセスが拒否されました";

bool IsDotEntry(const wchar_t* name)
{
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

bool IsDirectoryEntry(const WIN32_FIND_DATAW& data)
{
    return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool DirectoryExists(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
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
        // The views react to the changes meanwhile.
        std::optional<TSuspendShared> unlocked;
        if (Application() != nullptr)
            unlocked.emplace();
        result = SHFileOperationW(&operation);
    }
    return result == 0 && !operation.fAnyOperationsAborted;
}

} // namespace

bool MakeNumberedBackup(const std::wstring& path, bool samePlace, HWND owner)
{
    TBackupPlan plan = PlanBackup([&](int number) { return PathIsAccessible(BackupName(path, number)); });
    if (!plan.Next)
        return false;
    for (const TBackupPlan::TRename& rename : plan.Renames)
        RunShellOperation(owner, FO_RENAME, BackupName(path, rename.From), BackupName(path, rename.To), kShellFlags);
    RunShellOperation(owner, samePlace ? FO_COPY : FO_RENAME, path, BackupName(path, *plan.Next), kShellFlags);
    return true;
}

TFileOperationEngine::TFileOperationEngine(TFileOperationKind kind, TPath source, TPath destination,
                                           std::vector<std::wstring> names, TFileOperationUI& ui)
    : FKind(kind), FSource(std::move(source)), FDestination(std::move(destination)), FNames(std::move(names)), FUI(ui)
{
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
    // Every entry below each name, walked without recursion: a tree may be
    // deeper than a thread's stack.
    std::vector<std::wstring> pending;
    for (auto name = FNames.rbegin(); name != FNames.rend(); ++name)
        pending.push_back(CombinePath(FSource.PathView(), *name));
    while (!pending.empty()) {
        std::wstring dir = std::move(pending.back());
        pending.pop_back();
        WIN32_FIND_DATAW data;
        UniqueFindHandle find(FindFirstFileW((dir + L"\\*").c_str(), &data));
        if (!find)
            continue;
        do {
            if (IsDotEntry(data.cFileName))
                continue;
            ++total;
            if (IsDirectoryEntry(data))
                pending.push_back(dir + L"\\" + data.cFileName);
        } while (FindNextFileW(find.get(), &data));
    }
    return total;
}

void TFileOperationEngine::Execute()
{
    FSamePlace = SamePlace(FSource, FDestination);
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
        UniqueFindHandle find(FindFirstFileW(sourcePath.c_str(), &data));
        if (!find) {
            // Gone since it was chosen: said, and the job goes on if the
            // user wants it to.
            if (!FUI.AskContinueAfterFailure(sourcePath + kFailed, KindName()))
                throw EAbort();
            continue;
        }
        find.reset();
        ProcessItem(sourceDir, destinationDir, data, false);
    }
}

void TFileOperationEngine::ProcessItem(const std::wstring& sourceDir, const std::wstring& destinationDir,
                                       const WIN32_FIND_DATAW& item, bool whole)
{
    if (!whole)
        FUI.ShowCurrentItem(item.cFileName);
    std::wstring sourcePath = CombinePath(sourceDir, item.cFileName);
    std::wstring destinationPath = CombinePath(destinationDir, item.cFileName);
    if (FKind == TFileOperationKind::Link || !IsDirectoryEntry(item)) {
        if (!whole)
            ProcessFile(sourcePath, destinationPath, item);
    } else if (IsWithinSource(destinationPath, sourcePath)) {
        FUI.ShowWarning(sourcePath + L"\r\n" + destinationPath + L"\r\n" + kEndlessCopy, KindName());
        return;
    } else {
        ProcessDirectory(sourcePath, destinationPath, item, whole);
    }
    FUI.Step(!whole);
    if (!whole && FUI.CloseRequested())
        throw EAbort();
}

void TFileOperationEngine::ProcessFile(const std::wstring& sourcePath, std::wstring destinationPath,
                                       const WIN32_FIND_DATAW& item)
{
    if (FKind == TFileOperationKind::Link)
        destinationPath = LinkName(destinationPath);
    bool proceed = true;
    while (PathIsAccessible(destinationPath)) {
        TCollisionMode mode = TCollisionMode::Backup;
        if (!FUI.AskCollision(destinationPath, mode))
            throw EAbort();
        bool again = false;
        switch (mode) {
        case TCollisionMode::Overwrite:
            proceed = !FSamePlace;
            break;
        case TCollisionMode::Backup:
            proceed = MakeBackup(destinationPath) && !FSamePlace;
            break;
        case TCollisionMode::Recycle:
            if (FSamePlace) {
                // Nothing can be recycled here; asking again could go round
                // for ever with "all" chosen, so the file is left.
                FUI.ShowWarning(kNoRecycleHere, KindName());
                proceed = false;
            } else {
                Recycle(destinationPath);
                again = true;
            }
            break;
        case TCollisionMode::OverwriteIfNewer:
            proceed = SourceIsNewer(item, destinationPath);
            break;
        case TCollisionMode::BackupIfNewer:
            proceed = SourceIsNewer(item, destinationPath) && MakeBackup(destinationPath);
            break;
        case TCollisionMode::RecycleIfNewer:
            proceed = SourceIsNewer(item, destinationPath);
            if (proceed)
                Recycle(destinationPath);
            break;
        case TCollisionMode::Rename: {
            std::wstring name = ExtractFileName(destinationPath);
            if (FUI.AskNewName(item.cFileName, name) && !name.empty())
                destinationPath = CombinePath(ExtractFileDir(destinationPath), name);
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
    switch (FKind) {
    case TFileOperationKind::Copy:
        ShellOperation(FO_COPY, sourcePath, destinationPath);
        break;
    case TFileOperationKind::Move:
        ShellOperation(FO_MOVE, sourcePath, destinationPath);
        break;
    case TFileOperationKind::Link:
        CreateLink(sourcePath, destinationPath);
        break;
    }
}

void TFileOperationEngine::ProcessDirectory(const std::wstring& sourcePath, const std::wstring& destinationPath,
                                            const WIN32_FIND_DATAW& item, bool whole)
{
    bool moveWhole = MovesWhole(FKind, whole, DirectoryExists(destinationPath), sourcePath, destinationPath);
    bool created = false;
    if (!moveWhole && !FSamePlace)
        created = CreateDirectoryW(destinationPath.c_str(), nullptr) != FALSE;
    {
        WIN32_FIND_DATAW data;
        UniqueFindHandle find(FindFirstFileW((sourcePath + L"\\*.*").c_str(), &data));
        if (!find)
            RaiseLastOSError(sourcePath);
        do {
            if (!IsDotEntry(data.cFileName))
                ProcessItem(sourcePath, destinationPath, data, moveWhole);
        } while (FindNextFileW(find.get(), &data));
    }
    // Only an empty directory goes: one that still holds skipped or failed
    // items keeps them.
    if (FKind == TFileOperationKind::Move && !moveWhole)
        RemoveDirectoryW(sourcePath.c_str());
    if (moveWhole && !whole) {
        ShellOperation(FO_MOVE, sourcePath, destinationPath);
    } else if (created) {
        UniqueFileHandle directory(CreateFileW(destinationPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                               FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!directory)
            RaiseLastOSError(destinationPath);
        SetFileTime(directory.get(), &item.ftCreationTime, &item.ftLastAccessTime, &item.ftLastWriteTime);
    }
}

void TFileOperationEngine::ShellOperation(UINT function, const std::wstring& from, const std::wstring& to)
{
    if (RunShellOperation(FUI.Owner(), function, from, to, kShellFlags))
        return;
    if (!FUI.AskContinueAfterFailure(from + kFailed, KindName()))
        throw EAbort();
}

bool TFileOperationEngine::MakeBackup(const std::wstring& destinationPath)
{
    // Every slot taken: the destination stays as it is, not overwritten.
    if (MakeNumberedBackup(destinationPath, FSamePlace, FUI.Owner()))
        return true;
    if (!FUI.AskContinueAfterFailure(destinationPath + kFailed, KindName()))
        throw EAbort();
    return false;
}

void TFileOperationEngine::Recycle(const std::wstring& destinationPath)
{
    RunShellOperation(FUI.Owner(), FO_DELETE, destinationPath, {}, FOF_ALLOWUNDO | kShellFlags);
}

bool TFileOperationEngine::SourceIsNewer(const WIN32_FIND_DATAW& item, const std::wstring& destinationPath) const
{
    WIN32_FIND_DATAW existing;
    UniqueFindHandle find(FindFirstFileW(destinationPath.c_str(), &existing));
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
