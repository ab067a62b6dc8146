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

// Standard library
#include <cwchar>
#include <functional>
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

bool MovesWhole(TFileOperationKind kind, bool destinationExists, std::wstring_view sourcePath,
                std::wstring_view destinationPath)
{
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

// Takes a name for this job by making an empty file of it, which only
// succeeds when nothing has it yet: the test for a collision and the claim
// on the name in one step (a look-up of a missing name reads the whole
// folder on some file systems, so a test and then a copy would cost two).
enum class TClaim : uint8_t { Claimed, Taken, Unwritable };
TClaim ClaimName(const std::wstring& path)
{
    {
        TUnlocked unlocked;
        UniqueFileHandle file(
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file)
            return TClaim::Claimed;
    }
    return PathIsAccessible(path) ? TClaim::Taken : TClaim::Unwritable;
}

// From this size on a file goes through a temporary name: opening a file
// so as to replace it (even an empty one of our own) makes some file
// systems write it out when it is closed, which costs more for a large file
// than two more look-ups of names.
constexpr uint64_t kLargeFile = 8 * 1024 * 1024;

// A name in folder for a file on its way, random so that nothing else has
// it.
std::wstring TemporaryName(const std::wstring& folder)
{
    GUID guid{};
    CoCreateGuid(&guid);
    wchar_t name[48];
    swprintf(name, 48, L"~nimbra-%08lx%04x%04x%02x%02x%02x%02x%02x%02x%02x%02x.tmp",
             static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
             guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return CombinePath(folder, name);
}

// Removes a file this job made (and perhaps half wrote).
void RemoveOwn(const std::wstring& path)
{
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
}

uint64_t FileSize(const WIN32_FIND_DATAW& data)
{
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

} // namespace

bool MakeNumberedBackup(const std::wstring& path, bool samePlace, HWND owner)
{
    TBackupPlan plan = PlanBackup([&](int number) { return PathIsAccessible(BackupName(path, number)); });
    if (!plan.Next)
        return false;
    for (const TBackupPlan::TRename& rename : plan.Renames)
        RunShellOperation(owner, FO_RENAME, BackupName(path, rename.From), BackupName(path, rename.To), kShellFlags);
    // A backup that would not move out of the way keeps its number: it is
    // never replaced.
    std::wstring backup = BackupName(path, *plan.Next);
    if (PathIsAccessible(backup))
        return false;
    RunShellOperation(owner, samePlace ? FO_COPY : FO_RENAME, path, backup, kShellFlags);
    // The files tell whether it worked (a file held open stays where it is).
    return PathIsAccessible(backup) && (samePlace || !PathIsAccessible(path));
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
            Failed(sourcePath);
            continue;
        }
        find.reset();
        ProcessItem(sourceDir, destinationDir, data);
    }
}

void TFileOperationEngine::ProcessItem(const std::wstring& sourceDir, const std::wstring& destinationDir,
                                       const WIN32_FIND_DATAW& item)
{
    FUI.ShowCurrentItem(item.cFileName);
    std::wstring sourcePath = CombinePath(sourceDir, item.cFileName);
    std::wstring destinationPath = CombinePath(destinationDir, item.cFileName);
    if (FKind == TFileOperationKind::Link || !IsDirectoryEntry(item)) {
        ProcessFile(sourcePath, destinationPath, item);
    } else if (IsWithinSource(destinationPath, sourcePath)) {
        FUI.ShowWarning(sourcePath + L"\r\n" + destinationPath + L"\r\n" + kEndlessCopy, KindName());
        return;
    } else {
        ProcessDirectory(sourcePath, destinationPath, item);
    }
    FUI.Step(true);
    if (FUI.CloseRequested())
        throw EAbort();
}

void TFileOperationEngine::ProcessFile(const std::wstring& sourcePath, std::wstring destinationPath,
                                       const WIN32_FIND_DATAW& item)
{
    if (FKind == TFileOperationKind::Link)
        destinationPath = LinkName(destinationPath);
    else if (TransferToFreeName(sourcePath, destinationPath, item))
        return; // as most files: nothing had their name
    bool proceed = true;
    // Only the overwriting modes put the new file in place of an existing
    // one; the others made room first, or the item is left.
    bool replace = false;
    while (PathIsAccessible(destinationPath)) {
        TCollisionMode mode = TCollisionMode::Backup;
        if (!FUI.AskCollision(destinationPath, mode))
            throw EAbort();
        bool again = false;
        switch (mode) {
        case TCollisionMode::Overwrite:
            proceed = !FSamePlace;
            replace = true;
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
                // One that stays (held open, a read-only folder) would be
                // asked about for ever with "all" chosen: it is a failure.
                proceed = Recycle(destinationPath);
                again = proceed;
            }
            break;
        case TCollisionMode::OverwriteIfNewer:
            proceed = SourceIsNewer(item, destinationPath);
            replace = true;
            break;
        case TCollisionMode::BackupIfNewer:
            proceed = SourceIsNewer(item, destinationPath) && MakeBackup(destinationPath);
            break;
        case TCollisionMode::RecycleIfNewer:
            proceed = SourceIsNewer(item, destinationPath) && Recycle(destinationPath);
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
    if (FKind == TFileOperationKind::Link)
        CreateLink(sourcePath, destinationPath);
    else
        Transfer(sourcePath, destinationPath, item, replace);
}

bool TFileOperationEngine::TransferToFreeName(const std::wstring& sourcePath, const std::wstring& destinationPath,
                                              const WIN32_FIND_DATAW& item)
{
    if (FileSize(item) >= kLargeFile) {
        // Looked for first: a collision is asked about before a long copy.
        if (PathIsAccessible(destinationPath))
            return false;
        TransferThroughTemporary(sourcePath, destinationPath, false);
        return true;
    }
    switch (ClaimName(destinationPath)) {
    case TClaim::Claimed:
        if (!Deliver(sourcePath, destinationPath, true))
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
    TransferThroughTemporary(sourcePath, destinationPath, true);
}

void TFileOperationEngine::TransferThroughTemporary(const std::wstring& sourcePath, const std::wstring& destinationPath,
                                                    bool replace)
{
    // The file is written under a temporary name beside its destination and
    // takes its name only once it is there whole: until then a file it is
    // to replace stays as it was.
    std::wstring temporary = TemporaryName(ExtractFileDir(destinationPath));
    if (!Deliver(sourcePath, temporary, false)) {
        // Said with the temporary name when what there is of a moved file
        // is there.
        Failed(PathIsAccessible(temporary) ? temporary : sourcePath);
        return;
    }
    bool named;
    {
        TUnlocked unlocked;
        named = MoveFileExW(temporary.c_str(), destinationPath.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0);
    }
    if (named)
        return;
    // Taken meanwhile, or what is there cannot be replaced: a copy is
    // dropped, a moved file goes back where it was (or, if it cannot, stays
    // under the temporary name, which is then reported).
    if (FKind == TFileOperationKind::Copy) {
        RemoveOwn(temporary);
        Failed(sourcePath);
        return;
    }
    bool returned;
    {
        TUnlocked unlocked;
        returned = MoveFileExW(temporary.c_str(), sourcePath.c_str(), MOVEFILE_COPY_ALLOWED);
    }
    Failed(returned ? sourcePath : temporary);
}

namespace {

// One file system call on a worker thread, with its result and error.
struct TWorkerCall {
    std::function<BOOL()> Work;
    BOOL Result = FALSE;
    DWORD Error = 0;
};

DWORD WINAPI RunWorkerCall(void* data)
{
    auto* call = static_cast<TWorkerCall*>(data);
    call->Result = call->Work();
    call->Error = GetLastError();
    return 0;
}

} // namespace

BOOL TFileOperationEngine::CallAnswering(std::function<BOOL()> work)
{
    // A long copy runs on a worker thread while this one keeps the window
    // answering (moved, repainted, closed); the system's progress reports,
    // which would allow the same on one thread, do not come everywhere.
    TWorkerCall call{std::move(work)};
    UniqueHandle worker(CreateThread(nullptr, 0, RunWorkerCall, &call, 0, nullptr));
    if (!worker)
        return call.Work();
    FUI.WaitAnswering(worker.get());
    WaitForSingleObject(worker.get(), INFINITE);
    SetLastError(call.Error);
    return call.Result;
}

bool TFileOperationEngine::Deliver(const std::wstring& sourcePath, const std::wstring& targetPath, bool claimed)
{
    bool move = FKind == TFileOperationKind::Move;
    bool done;
    auto work = [&]() -> BOOL {
        if (move)
            return MoveFileExW(sourcePath.c_str(), targetPath.c_str(),
                               MOVEFILE_COPY_ALLOWED | (claimed ? MOVEFILE_REPLACE_EXISTING : 0));
        return CopyFileExW(sourcePath.c_str(), targetPath.c_str(), nullptr, nullptr, nullptr,
                           claimed ? 0 : COPY_FILE_FAIL_IF_EXISTS);
    };
    {
        TUnlocked unlocked;
        // Through a temporary name go the large files (and replacements):
        // those run while the window keeps answering. Small files are done
        // at once.
        done = (claimed ? work() : CallAnswering(work)) != FALSE;
    }
    if (done)
        return true;
    DWORD error = GetLastError();
    // Someone else's file under a temporary name: not ours to remove.
    if (!claimed && (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS))
        return false;
    // Nothing half-written stays: the target was claimed empty by this job,
    // or had a name nothing else had, so it holds nothing of anyone else's.
    // Only what may be the last of a moved file whose source has gone is
    // kept.
    WIN32_FILE_ATTRIBUTE_DATA target;
    bool empty = GetFileAttributesExW(targetPath.c_str(), GetFileExInfoStandard, &target) &&
                 target.nFileSizeLow == 0 && target.nFileSizeHigh == 0;
    if (!move || empty || PathIsAccessible(sourcePath))
        RemoveOwn(targetPath);
    return false;
}

void TFileOperationEngine::ProcessDirectory(const std::wstring& sourcePath, const std::wstring& destinationPath,
                                            const WIN32_FIND_DATAW& item)
{
    if (MovesWhole(FKind, DirectoryExists(destinationPath), sourcePath, destinationPath) &&
        MoveWhole(sourcePath, destinationPath))
        return;
    bool created = false;
    if (!FSamePlace)
        created = CreateDirectoryW(destinationPath.c_str(), nullptr) != FALSE;
    {
        WIN32_FIND_DATAW data;
        UniqueFindHandle find(FindFirstFileW((sourcePath + L"\\*.*").c_str(), &data));
        if (!find) {
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
    // Only an empty directory goes: one that still holds skipped or failed
    // items keeps them.
    if (FKind == TFileOperationKind::Move)
        RemoveDirectoryW(sourcePath.c_str());
    if (created) {
        UniqueFileHandle directory(CreateFileW(destinationPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                               FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!directory)
            RaiseLastOSError(destinationPath);
        SetFileTime(directory.get(), &item.ftCreationTime, &item.ftLastAccessTime, &item.ftLastWriteTime);
    }
}

bool TFileOperationEngine::MoveWhole(const std::wstring& sourcePath, const std::wstring& destinationPath)
{
    BOOL moved;
    {
        TUnlocked unlocked;
        moved = MoveFileExW(sourcePath.c_str(), destinationPath.c_str(), 0);
    }
    if (moved) {
        StepOver(destinationPath);
        return true;
    }
    // One drive letter may still hold two file systems: the directory then
    // goes as between drives, and only what arrived leaves the source.
    if (GetLastError() == ERROR_NOT_SAME_DEVICE)
        return false;
    StepOver(sourcePath);
    Failed(sourcePath);
    return true;
}

void TFileOperationEngine::StepOver(const std::wstring& directory)
{
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((directory + L"\\*.*").c_str(), &data));
    if (!find)
        return;
    do {
        if (IsDotEntry(data.cFileName))
            continue;
        if (IsDirectoryEntry(data))
            StepOver(CombinePath(directory, data.cFileName));
        FUI.Step(false);
    } while (FindNextFileW(find.get(), &data));
}

void TFileOperationEngine::Failed(const std::wstring& path)
{
    if (!FUI.AskContinueAfterFailure(path + kFailed, KindName()))
        throw EAbort();
}

bool TFileOperationEngine::MakeBackup(const std::wstring& destinationPath)
{
    // No backup (every slot taken, or the file held open): the destination
    // stays as it is, not overwritten.
    if (MakeNumberedBackup(destinationPath, FSamePlace, FUI.Owner()))
        return true;
    Failed(destinationPath);
    return false;
}

bool TFileOperationEngine::Recycle(const std::wstring& destinationPath)
{
    RunShellOperation(FUI.Owner(), FO_DELETE, destinationPath, {}, FOF_ALLOWUNDO | kShellFlags);
    if (!PathIsAccessible(destinationPath))
        return true;
    Failed(destinationPath);
    return false;
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
        FProgress->SetMaximum(FTotal);
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
    FProgress->SetPosition(FProgress->Position() + 1);
    RECT counter{8, 44, 316, 66};
    InvalidateRect(Handle(), &counter, TRUE);
    if (repaint)
        UpdateWindow(Handle());
}

void TFileOperationWindow::WaitAnswering(HANDLE worker)
{
    while (WaitForObjectsOrMessages(1, &worker, INFINITE) == WAIT_OBJECT_0 + 1) {
        // Messages are handled under a shared hold, as on every window
        // thread; the call itself runs without one.
        int32_t previous = Application()->BeginShared();
        CloseRequested();
        Application()->EndShared(previous);
        // The thread is to end (the quit is kept in the queue): the rest is
        // waited for without looking at messages again.
        MSG quit;
        if (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE))
            break;
    }
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
    int position = FProgress != nullptr ? FProgress->Position() : 0;
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
