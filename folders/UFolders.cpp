#include "folders/UFolders.h"

// Own
#include "folders/ShlUtils.h"
#include "folders/SysUtilsW.h"

// Toolkit
#include "lw/LExceptions.h"

// Platform
#include <shlobj.h>

// Standard library
#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <exception>
#include <optional>

namespace {

constexpr const wchar_t* kUnit = L"UFolders";
constexpr const wchar_t* kNotAllowed = L"許されない操作です";

TFolderManager* g_folderManager = nullptr;
std::wstring g_myComputerPath;
std::wstring g_recycleBinPath;

// The parsing name of a special folder, or empty when it has no ID list.
std::wstring SpecialFolderParsingName(int csidl)
{
    LPITEMIDLIST list = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, csidl, &list)) || list == nullptr)
        return {};
    UniqueIDList owned(list);
    ComPtr<IShellFolder> desktop = DesktopFolder();
    return desktop ? DisplayNameOf(desktop.get(), owned.get(), SHGDN_FORPARSING) : std::wstring();
}

TPath SpecialFolderLocation(int csidl)
{
    LPITEMIDLIST list = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, csidl, &list)) || list == nullptr)
        return {};
    return TPath::FromIDList(list, SpecialFolderParsingName(csidl));
}

// Shows the hourglass while a folder loads.
class THourglass {
public:
    THourglass() : FPrevious(SetCursor(LoadCursorW(nullptr, IDC_WAIT))) {}
    ~THourglass() { SetCursor(FPrevious); }
    THourglass(const THourglass&) = delete;
    THourglass& operator=(const THourglass&) = delete;

private:
    HCURSOR FPrevious;
};

} // namespace

const std::wstring& MyComputerPath()
{
    return g_myComputerPath;
}

const std::wstring& RecycleBinPath()
{
    return g_recycleBinPath;
}

TFolderManager* FolderManager()
{
    return g_folderManager;
}

// ---------------------------------------------------------------------------
// T0Folder

T0Folder::T0Folder(TPath path)
    : FPath(std::move(path)), FRefreshedEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      FObservable(new TObservable), FItems(std::make_shared<TItems>())
{
    if (!FRefreshedEvent)
        RaiseLastOSError();
}

T0Folder::~T0Folder()
{
    StopWatcher();
}

void T0Folder::FirstLoad()
{
    // The folder is not shared yet, but its load writes records the way a
    // refresh does, and the manager makes folders under the exclusive hold.
    std::optional<TExclusiveLock> lock;
    if (Application() != nullptr)
        lock.emplace();
    THourglass hourglass;
    try {
        Load();
    } catch (...) {
        FReady = false;
    }
}

void T0Folder::ReplaceItems(std::shared_ptr<TItems> items)
{
    CheckLockExclusive(L"the records of a folder (replaced)");
    FItems = std::move(items);
}

void T0Folder::StartWatcher()
{
    if (Application() != nullptr)
        FWatcher = T0Thread::StartThread<TDirWatchThread>(this);
}

void T0Folder::StopWatcher()
{
    if (FWatcher != nullptr) {
        FWatcher->Stop();
        FWatcher = nullptr;
    }
}

void T0Folder::AttachObserver(IObserver* observer)
{
    FObservable->Attach(observer);
}

void T0Folder::DetachObserver(IObserver* observer)
{
    bool had = FObservable->HasObservers();
    FObservable->Detach(observer);
    if (had && !FObservable->HasObservers()) {
        LastObserverDetached();
        // A folder nobody shows is dropped at the next idle step, with its
        // watcher thread and handles: browsing through many folders must
        // not leave a watcher behind in each.
        if (T0Application* app = Application())
            app->RequestHousekeeping();
    }
}

void T0Folder::RefreshFolder()
{
    // The items are replaced: no other thread may read them meanwhile.
    TExclusiveLock lock;
    if (!FReady)
        return;
    // Observers may still read records of the previous array (their marks,
    // their caret) while they update themselves against the new one.
    std::shared_ptr<TItems> previous = FItems;
    {
        THourglass hourglass;
        try {
            Load();
        } catch (...) {
            FReady = false;
        }
    }
    // The event is set once the observers know: a file operation waiting in
    // ResumeWatching(true) then returns to views that show the new state.
    // It is set as well when an observer failed, so that nobody waits for
    // a refresh that is over.
    try {
        FObservable->Notify();
    } catch (...) {
        SetEvent(FRefreshedEvent.get());
        throw;
    }
    SetEvent(FRefreshedEvent.get());
    // Observers are done with the old records; unless somebody still holds
    // the array, it serves the next load.
    if (previous && previous != FItems && previous.use_count() == 1)
        Recycle(std::move(previous));
    previous.reset();
}

void T0Folder::SuspendFolderWatching()
{
    if (FWatcher != nullptr)
        FWatcher->Enable(false);
}

void T0Folder::ResumeFolderWatching(bool wait)
{
    if (FWatcher == nullptr)
        return;
    ResetEvent(FRefreshedEvent.get());
    FWatcher->Enable(true);
    if (wait) {
        // The refresh waited for needs the lock this thread may hold.
        TSuspendShared suspended;
        WaitForSingleObject(FRefreshedEvent.get(), 1000);
    }
}

// ---------------------------------------------------------------------------
// TDirectory

void FillFileItem(TFileItem& item, const WIN32_FIND_DATAW& data)
{
    // Every field is set, each text up to and with its terminator; what the
    // buffers hold past the terminator is not part of the record. The name
    // is measured once and copied twice.
    constexpr size_t kNameRoom = sizeof item.Name / sizeof item.Name[0] - 1;
    size_t nameLength = wcsnlen(data.cFileName, kNameRoom);
    std::memcpy(item.Name, data.cFileName, nameLength * sizeof(wchar_t));
    item.Name[nameLength] = L'\0';
    item.NameLen = static_cast<int32_t>(nameLength);
    std::memcpy(item.DisplayName, item.Name, (nameLength + 1) * sizeof(wchar_t));
    item.DisplayNameLen = static_cast<int32_t>(nameLength);
    constexpr size_t kShortRoom = sizeof item.File.ShortName / sizeof item.File.ShortName[0] - 1;
    size_t shortLength = wcsnlen(data.cAlternateFileName, kShortRoom);
    std::memcpy(item.File.ShortName, data.cAlternateFileName, shortLength * sizeof(wchar_t));
    item.File.ShortName[shortLength] = L'\0';
    item.File.ShortNameLen = static_cast<int32_t>(shortLength);
    item.Size = static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    item.File.CreationTime = data.ftCreationTime;
    item.File.LastWriteTime = data.ftLastWriteTime;
    item.File.LastAccessTime = data.ftLastAccessTime;
    item.Attributes = data.dwFileAttributes;
    item.Kind = kKindFile;
    item.AuxNumber = kNoAuxNumber;
    item.Caps = kAllItemCaps;
    item.ViewMark = 0;
    item.Reserved[0] = item.Reserved[1] = item.Reserved[2] = 0;
    item.ChildIDList = nullptr;
}

namespace {

std::atomic<TDriveTypeProbe> g_driveTypeProbe{::GetDriveTypeW};

// Removable and CD-ROM drives are never watched: they are current only
// after an explicit refresh.
bool WatchableDrive(std::wstring_view path)
{
    std::wstring drive = IncludeTrailingBackslash(ExtractFileDrive(path));
    UINT type = g_driveTypeProbe.load()(drive.c_str());
    return type != DRIVE_REMOVABLE && type != DRIVE_CDROM;
}

} // namespace

TDriveTypeProbe SetDriveTypeProbe(TDriveTypeProbe probe)
{
    return g_driveTypeProbe.exchange(probe);
}

TDirectory::TDirectory(std::wstring_view path) : TFolderOf<IDirectory>(TPath::FromPath(NormalizeDirectoryPath(path)))
{
    FirstLoad();
    WatchUnlessRemovable();
}

TDirectory::~TDirectory() = default;

void TDirectory::Recycle(std::shared_ptr<TItems> items)
{
    FSpare = std::move(items);
}

void TDirectory::WatchUnlessRemovable()
{
    if (WatchableDrive(FPath.PathView()))
        StartWatcher();
}


namespace {

// Whether a file's name has an archiver, asked once per extension in a load:
// a large directory holds few different extensions.
class TArchiverCache {
public:
    explicit TArchiverCache(TFolderManager* manager) : FManager(manager) {}

    bool Enterable(const wchar_t* name, size_t length)
    {
        if (FManager == nullptr)
            return false;
        std::wstring_view text(name, length);
        size_t dot = text.find_last_of(L'.');
        // ExtractFileExt: no dot, or a dot that ends the name, gives no
        // extension and so no archiver.
        if (dot == std::wstring_view::npos || dot + 1 == text.size())
            return false;
        std::wstring_view extension = text.substr(dot);
        // Kept by spelling: comparing as the archivers do (ignoring case the
        // way the system locale does) costs a system call; an extension
        // spelt two ways is simply asked about twice.
        for (const auto& [known, enterable] : FKnown)
            if (known == extension)
                return enterable;
        bool enterable = static_cast<bool>(FManager->Archiver(text));
        // Past a few dozen kinds the list would cost more than it saves.
        if (FKnown.size() < 64)
            FKnown.emplace_back(std::wstring(extension), enterable);
        return enterable;
    }

private:
    TFolderManager* FManager;
    std::vector<std::pair<std::wstring, bool>> FKnown;
};

} // namespace

void TDirectory::Load()
{
    std::wstring path(FPath.PathView());
    // A device is never opened as a directory.
    if (IsDevicePath(path)) {
        FReady = false;
        return;
    }
    DWORD attributes;
    {
        CriticalErrorsOff errorsOff;
        attributes = GetFileAttributesW(path.c_str());
    }
    FReady = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
             PathIsAccessible(path);
    if (!FReady)
        return;
    FIsRoot = IsRootPath(path);

    WIN32_FIND_DATAW data;
    UniqueFindHandle find;
    {
        CriticalErrorsOff errorsOff;
        // The standard level: the short names are part of the records.
        find.reset(FindFirstFileExW((IncludeTrailingBackslash(path) + L"*.*").c_str(), FindExInfoStandard, &data,
                                    FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
    }
    if (!find)
        return;

    TArchiverCache archivers(FolderManager());
    // Room for 1024 entries, or for what the directory held at the last
    // load and a little more: a refresh of a large directory then neither
    // grows nor copies its array.
    std::shared_ptr<TItems> items = std::move(FSpare);
    if (items)
        items->clear();
    else
        items = std::make_shared<TItems>();
    items->reserve(std::max<size_t>(1024, FItems->size() + 128));
    do {
        const wchar_t* name = data.cFileName;
        if (name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0')))
            continue;
        // Filled in place: the record is not cleared first, every field and
        // every text unit up to its terminator is written.
        TFileItem& item = items->emplace_back();
        FillFileItem(item, data);
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            !archivers.Enterable(item.Name, static_cast<size_t>(item.NameLen)))
            item.Caps &= static_cast<uint8_t>(~kCanEnter);
    } while (FindNextFileW(find.get(), &data));
    // Cut to size once, unless only a little room is left over.
    if (items->capacity() - items->size() > items->size() / 8 + 128)
        items->shrink_to_fit();
    ReplaceItems(std::move(items));
}

void STDMETHODCALLTYPE TDirectory::GetDisplayPath(BSTR* result)
{
    AssignBStr(result, FPath.PathView());
}

HRESULT STDMETHODCALLTYPE TDirectory::SetPath(BSTR newPath)
{
    return GuardedCall([&] {
        // Readers of the path (views, the watcher) must not see the old
        // string freed under them.
        TExclusiveLock lock;
        StopWatcher();
        FPath.SetPath(NormalizeDirectoryPath(std::wstring_view(newPath != nullptr ? newPath : L"", SysStringLen(newPath))));
        WatchUnlessRemovable();
    });
}

std::wstring NormalizeDirectoryPath(std::wstring_view path)
{
    if (path.starts_with(L"\\\\?\\") || path.starts_with(L"\\\\.\\"))
        return std::wstring(path);
    std::wstring text(path);
    std::replace(text.begin(), text.end(), L'/', L'\\');

    // The root, and how many of the parts after it ".." may not remove (the
    // server and the share of a UNC path).
    std::wstring result;
    size_t start = 0;
    size_t fixedParts = 0;
    bool rooted = true;
    wchar_t drive = text.empty() ? L'\0' : static_cast<wchar_t>(towupper(text[0]));
    if (text.size() >= 2 && text[1] == L':' && drive >= L'A' && drive <= L'Z') {
        result = text.substr(0, 2) + L"\\";
        start = 2;
    } else if (text.starts_with(L"\\\\")) {
        result = L"\\\\";
        start = 2;
        fixedParts = 2;
    } else if (text.starts_with(L"\\")) {
        result = L"\\";
        start = 1;
    } else {
        rooted = false;
    }

    std::vector<std::wstring_view> parts;
    std::wstring_view rest = std::wstring_view(text).substr(start);
    while (!rest.empty()) {
        size_t end = rest.find(L'\\');
        std::wstring_view part = rest.substr(0, end);
        rest = end == std::wstring_view::npos ? std::wstring_view() : rest.substr(end + 1);
        if (part.empty() || part == L".")
            continue;
        if (part == L".." && parts.size() > fixedParts && parts.back() != L"..") {
            parts.pop_back();
            continue;
        }
        // Above the root there is nothing; a relative path keeps climbing.
        if (part == L".." && rooted)
            continue;
        parts.push_back(part);
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            result += L'\\';
        result += parts[i];
    }
    return result;
}

TPath DirectoryParentPath(std::wstring_view path)
{
    std::wstring parent = ExtractFileDir(path);
    if (parent == path)
        parent.clear();
    if (path.size() > 2 && path.substr(0, 2) == L"\\\\" && ExtractFileDrive(path) == path)
        return SpecialFolderLocation(CSIDL_NETWORK);
    if (parent.empty())
        return SpecialFolderLocation(CSIDL_DRIVES);
    return TPath::FromPath(parent);
}

void STDMETHODCALLTYPE TDirectory::GetParentPath(TPath* result)
{
    *result = DirectoryParentPath(FPath.PathView());
}

bool DirectoryIsWithin(std::wstring_view path, const TPath& location)
{
    if (location.IDList == nullptr) {
        std::wstring a = IncludeTrailingBackslash(location.PathView());
        std::wstring b = std::wstring(path.substr(0, a.size())) + L"\\";
        // Compare the same number of characters: the own path may be shorter.
        b.resize(std::min(b.size(), a.size()));
        return b.size() == a.size() && SameText(a, b) == 0;
    }
    return IsEmptyIDList(location.IDList) || (!MyComputerPath().empty() && location.PathView() == MyComputerPath());
}

bool STDMETHODCALLTYPE TDirectory::IsWithin(const TPath* path)
{
    return path != nullptr && DirectoryIsWithin(FPath.PathView(), *path);
}

void STDMETHODCALLTYPE TDirectory::GetItemPath(const TFileItem* item, TPath* result)
{
    CheckLockHeld(L"a record of a folder (its path)");
    *result = TPath::FromPath(CombinePath(FPath.PathView(), std::wstring_view(item->Name, item->NameLen)));
}

void STDMETHODCALLTYPE TDirectory::GetStatusText(const TFileItem*, BSTR* result)
{
    AssignBStr(result, L"Ready");
}

// ---------------------------------------------------------------------------
// TDirWatchThread

namespace {

constexpr DWORD kChangeFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE |
                                FILE_NOTIFY_CHANGE_LAST_WRITE;

} // namespace

TDirWatchThread::TDirWatchThread(const T0Folder* folder)
    : FStopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)), FEnableEvent(CreateEventW(nullptr, TRUE, TRUE, nullptr)),
      FWatchedPath(&folder->Location())
{
    if (!FStopEvent || !FEnableEvent)
        RaiseLastOSError();
    std::vector<std::wstring> paths;
    if (FWatchedPath->IDList != nullptr) {
        paths.push_back(SpecialFolderPath(CSIDL_DESKTOPDIRECTORY));
        paths.push_back(SpecialFolderPath(CSIDL_COMMON_DESKTOPDIRECTORY));
    } else {
        paths.emplace_back(FWatchedPath->PathView());
    }
    for (const std::wstring& path : paths) {
        // A notification that cannot be made leaves a watcher that only
        // waits for its stop.
        HANDLE notification = FindFirstChangeNotificationW(path.c_str(), FALSE, kChangeFilter);
        if (notification != INVALID_HANDLE_VALUE)
            FNotifications[FNotificationCount++].reset(notification);
    }
}

bool TDirWatchThread::Settle(HANDLE notification)
{
    for (;;) {
        if (!FindNextChangeNotification(notification))
            return false;
        DWORD result = WaitForSingleObject(notification, kSettleTime);
        if (result == WAIT_TIMEOUT)
            return true;
        if (result != WAIT_OBJECT_0)
            return false;
    }
}

void TDirWatchThread::Execute()
{
    HANDLE waits[3] = {FStopEvent.get(), nullptr, nullptr};
    for (int i = 0; i < FNotificationCount; ++i)
        waits[i + 1] = FNotifications[i].get();
    for (;;) {
        DWORD result = WaitForMultipleObjects(static_cast<DWORD>(FNotificationCount + 1), waits, FALSE, INFINITE);
        if (result < WAIT_OBJECT_0 + 1 || result > WAIT_OBJECT_0 + static_cast<DWORD>(FNotificationCount))
            break;
        HANDLE notification = waits[result - WAIT_OBJECT_0];
        if (!Settle(notification))
            break;
        // While watching is suspended the settled change waits here; a stop
        // must still end the thread.
        HANDLE enableOrStop[2] = {FStopEvent.get(), FEnableEvent.get()};
        if (WaitForMultipleObjects(2, enableOrStop, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
            break;
        {
            TExclusiveLock lock;
            // A folder stopped while this thread waited for the lock may be
            // gone: its path is read only while the stop is not set.
            if (WaitForSingleObject(FStopEvent.get(), 0) == WAIT_TIMEOUT) {
                if (TFolderManager* manager = FolderManager()) {
                    TPath path = *FWatchedPath;
                    try {
                        manager->Refresh(path, false);
                    } catch (...) {
                        // Contained: the refresh makes the folder not ready.
                    }
                }
            }
        }
        if (!FindNextChangeNotification(notification))
            break;
    }
    WaitForSingleObject(FStopEvent.get(), INFINITE);
}

// ---------------------------------------------------------------------------
// TFolderManager

namespace {

class THousekeeper : public TInterfaced<TInterfacedObject, IObserver> {
public:
    explicit THousekeeper(TFolderManager* manager) : FManager(manager) {}
    void STDMETHODCALLTYPE Update() override { FManager->PurgeFolders(); }

private:
    TFolderManager* FManager;
};

} // namespace

TFolderManager::TFolderManager(IExtensionHost* host) : FHost(host), FHousekeeper(new THousekeeper(this))
{
    g_myComputerPath = SpecialFolderParsingName(CSIDL_DRIVES);
    g_recycleBinPath = SpecialFolderParsingName(CSIDL_BITBUCKET);
    if (Application() != nullptr)
        Application()->Housekeeping()->Attach(FHousekeeper.get());
    g_folderManager = this;
}

TFolderManager::~TFolderManager()
{
    if (g_folderManager == this)
        g_folderManager = nullptr;
    if (Application() != nullptr)
        Application()->Housekeeping()->Detach(FHousekeeper.get());
    // Folders still observed live on with their observers' references.
    FFolders.clear();
}

bool TFolderManager::IsArchiveFile(std::wstring_view path)
{
    if (IsDevicePath(path))
        return false;
    std::wstring name(path);
    DWORD attributes;
    {
        CriticalErrorsOff errorsOff;
        attributes = GetFileAttributesW(name.c_str());
    }
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
           static_cast<bool>(Archiver(name));
}

TPath TFolderManager::FolderLocation(const TPath& path)
{
    if (path.IDList != nullptr || path.ProviderTag != 0)
        return path;
    std::wstring_view subPath = path.SubPathView();
    if (subPath.empty())
        return TPath::FromPath(NormalizeDirectoryPath(path.PathView()));
    // "C:/Windows" parses as C: with the sub-path "Windows": only an archive
    // has places inside a file; anywhere else the sub-path is a directory.
    if (IsArchiveFile(path.PathView()))
        return path;
    std::wstring joined(path.PathView());
    if (!joined.empty())
        joined += L'\\';
    joined += subPath;
    return TPath::FromPath(NormalizeDirectoryPath(joined));
}

ComPtr<IFolder> TFolderManager::FindLocation(const TPath& location)
{
    for (const ComPtr<IFolder>& folder : FFolders) {
        TPath own;
        folder->GetPath(&own);
        if (SamePath(own, location))
            return folder;
    }
    return nullptr;
}

ComPtr<IFolder> TFolderManager::Find(const TPath& path)
{
    // No folder is ever made for a device, and working out its location
    // would probe it.
    if (path.IDList == nullptr && path.ProviderTag == 0 && IsDevicePath(path.PathView()))
        return nullptr;
    TPath location = FolderLocation(path);
    if (location.IDList == nullptr && location.ProviderTag == 0 && IsDevicePath(location.PathView()))
        return nullptr;
    return FindLocation(location);
}

namespace {

constexpr const wchar_t* kDeviceNotFolder = L"デバイスはフォルダとして開けません";

// A device name is refused before anything probes it: opening it as a
// directory would open a serial port or take a pipe instance.
void RefuseDevice(const TPath& path)
{
    if (path.IDList != nullptr || path.ProviderTag != 0)
        return;
    std::wstring_view text = path.PathView();
    if (IsDevicePath(text))
        throw Exception(std::wstring(kDeviceNotFolder) + L": " + std::wstring(text));
}

} // namespace

ComPtr<IFolder> TFolderManager::Folder(const TPath& path)
{
    RefuseDevice(path);
    // Looked up under the location the folder will have, so that every
    // spelling of a place finds the one folder made for it.
    TPath location = FolderLocation(path);
    // A sub-path may name a device too ("C:/NUL").
    RefuseDevice(location);
    if (ComPtr<IFolder> existing = FindLocation(location))
        return existing;
    TExclusiveLock lock;
    // Another thread may have made it while this one waited for the lock, or
    // while the load gave the lock up (a logon prompt).
    if (ComPtr<IFolder> existing = FindLocation(location))
        return existing;
    ComPtr<IFolder> folder = CreateFolder(location);
    if (ComPtr<IFolder> existing = FindLocation(location))
        return existing;
    FFolders.push_back(folder);
    return folder;
}

namespace {

struct TProviderSearch {
    const TPath* Path;
    ComPtr<IFolder> Folder;
};

bool STDMETHODCALLTYPE ProvidesFolder(IExtension* candidate, void* data)
{
    auto* search = static_cast<TProviderSearch*>(data);
    ComPtr<IFolderProvider> provider = ComPtr<IExtension>(candidate).as<IFolderProvider>();
    return provider && SUCCEEDED(provider->CreateFolder(search->Path, search->Folder.put())) && search->Folder;
}

} // namespace

ComPtr<IFolder> TFolderManager::CreateFolder(const TPath& path)
{
    if (path.ProviderTag != 0) {
        TProviderSearch search{&path, nullptr};
        ComPtr<IExtension> provider;
        if (FHost != nullptr)
            FHost->FirstExtensionThat(ProvidesFolder, &search, provider.put());
        Assert(static_cast<bool>(search.Folder), kUnit, L"no module serves the location");
        return search.Folder;
    }
    if (path.IDList != nullptr)
        return NewNameSpace(path);
    std::wstring name(path.PathView());
    if (IsArchiveFile(name)) {
        ComPtr<IFolder> folder;
        CheckHResult(Archiver(name)->OpenArchive(&path, folder.put()));
        if (folder)
            return folder;
    }
    ComPtr<IFolder> directory(new TDirectory(name));
    return directory;
}

namespace {

// One failing folder must not keep the others from their refresh or their
// new place: the walk goes on, and the first failure is raised at its end.
class TFirstFailure {
public:
    // Whether the call succeeded; the failure (its message comes with the
    // calling thread's error information) is kept if it is the first.
    bool Check(HRESULT hr)
    {
        try {
            CheckHResult(hr);
            return true;
        } catch (...) {
            if (!FFirst)
                FFirst = std::current_exception();
            return false;
        }
    }
    void Raise()
    {
        if (FFirst)
            std::rethrow_exception(FFirst);
    }

private:
    std::exception_ptr FFirst;
};

} // namespace

void TFolderManager::Refresh(const TPath& location, bool recursive)
{
    TPath path = FolderLocation(location);
    TExclusiveLock lock;
    // A refresh notifies views, which may open folders: walk a copy.
    std::vector<ComPtr<IFolder>> folders = FFolders;
    TFirstFailure failure;
    for (const ComPtr<IFolder>& folder : folders) {
        TPath own;
        folder->GetPath(&own);
        if (SamePath(own, path) || (recursive && folder->IsWithin(&path)))
            failure.Check(folder->Refresh());
    }
    failure.Raise();
}

void TFolderManager::Rename(const TPath& oldPath, std::wstring_view newPath)
{
    TPath old = FolderLocation(oldPath);
    TExclusiveLock lock;
    size_t oldLength = old.PathView().size();
    std::vector<ComPtr<IFolder>> folders = FFolders;
    TFirstFailure failure;
    for (const ComPtr<IFolder>& folder : folders) {
        TPath own;
        folder->GetPath(&own);
        if (!SamePath(own, old) && !folder->IsWithin(&old))
            continue;
        // What lies below the old place, with its separator: "C:\" has its own.
        std::wstring_view ownPath = own.PathView();
        std::wstring below(ownPath.substr(std::min(oldLength, ownPath.size())));
        if (!below.empty() && below[0] != L'\\')
            below.insert(below.begin(), L'\\');
        std::wstring relocated = std::wstring(newPath) + below;
        WideString text(relocated);
        // A folder left at the old place would show a location that is gone.
        if (failure.Check(folder->SetPath(text.get())))
            failure.Check(folder->Refresh());
    }
    failure.Raise();
}

namespace {

struct TArchiverSearch {
    std::wstring Extension;
    ComPtr<IArchiver> Archiver;
};

bool STDMETHODCALLTYPE SameExtension(BSTR extension, void* data)
{
    auto* wanted = static_cast<const std::wstring*>(data);
    return SameText(std::wstring_view(extension != nullptr ? extension : L"", SysStringLen(extension)), *wanted) == 0;
}

bool STDMETHODCALLTYPE HandlesExtension(IExtension* candidate, void* data)
{
    auto* search = static_cast<TArchiverSearch*>(data);
    ComPtr<IArchiver> archiver = ComPtr<IExtension>(candidate).as<IArchiver>();
    if (!archiver)
        return false;
    WideString found;
    if (FAILED(archiver->FindExtension(SameExtension, &search->Extension, found.put())) || found.length() == 0)
        return false;
    search->Archiver = archiver;
    return true;
}

} // namespace

ComPtr<IArchiver> TFolderManager::Archiver(std::wstring_view fileName)
{
    if (FHost == nullptr)
        return nullptr;
    TArchiverSearch search{ExtractFileExt(fileName), nullptr};
    if (search.Extension.empty())
        return nullptr;
    ComPtr<IExtension> found;
    FHost->FirstExtensionThat(HandlesExtension, &search, found.put());
    return search.Archiver;
}

void TFolderManager::PurgeFolders()
{
    // Dropping the last reference destroys a folder nobody else holds.
    std::vector<ComPtr<IFolder>> dropped;
    auto unobserved = [&](ComPtr<IFolder>& folder) {
        if (folder->HasObservers())
            return false;
        dropped.push_back(std::move(folder));
        return true;
    };
    FFolders.erase(std::remove_if(FFolders.begin(), FFolders.end(), unobserved), FFolders.end());
    FFolders.shrink_to_fit();
}

HRESULT STDMETHODCALLTYPE TFolderManager::GetFolder(const TPath* path, IFolder** folder)
{
    return GuardedCall([&] { *folder = Folder(*path).detach(); });
}

HRESULT STDMETHODCALLTYPE TFolderManager::FindFolder(const TPath* path, IFolder** folder)
{
    return GuardedCall([&] { *folder = Find(*path).detach(); });
}

HRESULT STDMETHODCALLTYPE TFolderManager::RefreshFolders(const TPath* path, bool recursive)
{
    return GuardedCall([&] { Refresh(*path, recursive); });
}

HRESULT STDMETHODCALLTYPE TFolderManager::RenameFolders(const TPath* oldPath, BSTR newPath)
{
    return GuardedCall([&] { Rename(*oldPath, std::wstring_view(newPath ? newPath : L"", SysStringLen(newPath))); });
}

HRESULT STDMETHODCALLTYPE TFolderManager::FindArchiver(BSTR fileName, IArchiver** archiver)
{
    return GuardedCall(
        [&] { *archiver = Archiver(std::wstring_view(fileName ? fileName : L"", SysStringLen(fileName))).detach(); });
}

HRESULT STDMETHODCALLTYPE TFolderManager::BrowseForFolder(BSTR title, TPath* result)
{
    return GuardedCall([&] {
        HWND owner = nullptr;
        if (auto* thread = dynamic_cast<T0GUIThread*>(CurrentThread()); thread != nullptr && thread->MainWindow())
            owner = thread->MainWindow()->Handle();
        BROWSEINFOW info{};
        info.hwndOwner = owner;
        info.lpszTitle = title;
        info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
        LPITEMIDLIST chosen;
        {
            // A modal dialog: other threads must not wait for this one.
            TSuspendShared suspended;
            chosen = SHBrowseForFolderW(&info);
        }
        result->Clear();
        if (chosen == nullptr)
            return;
        UniqueIDList owned(chosen);
        wchar_t path[MAX_PATH] = {};
        if (SHGetPathFromIDListW(owned.get(), path) && path[0] != L'\0') {
            *result = TPath::FromPath(::GetLongPathName(path));
        } else {
            *result = TPath::FromIDList(owned.release());
        }
    });
}

HRESULT STDMETHODCALLTYPE TFolderManager::ParsePath(BSTR text, TPath* result)
{
    return GuardedCall([&] { *result = ::ParsePath(std::wstring_view(text ? text : L"", SysStringLen(text))); });
}

HRESULT STDMETHODCALLTYPE TFolderManager::PathToString(const TPath* path, BSTR* result)
{
    return GuardedCall([&] { AssignBStr(result, ::PathToString(*path)); });
}

// ---------------------------------------------------------------------------
// TNameSpace

namespace {

constexpr SFGAOF kCapsQuery = 0x60000177;

// Frees the child ID lists an item array owns when the array goes.
void FreeChildLists(T0Folder::TItems* items)
{
    for (TFileItem& item : *items)
        CoTaskMemFree(item.ChildIDList);
    delete items;
}

bool IsDriveRootName(std::wstring_view name)
{
    return name.size() == 3 && iswalpha(name[0]) && name[1] == L':' && name[2] == L'\\';
}

bool IsDrivePathName(std::wstring_view name)
{
    return name.size() > 3 && iswalpha(name[0]) && name[1] == L':' && name[2] == L'\\';
}

// "\\server\share": two backslashes, another one after the server, no colon.
bool IsShareName(std::wstring_view name)
{
    return name.size() > 3 && name.substr(0, 2) == L"\\\\" && name.find(L'\\', 3) != std::wstring_view::npos &&
           name.find(L':') == std::wstring_view::npos;
}

std::wstring FilePart(std::wstring_view path)
{
    size_t slash = path.find_last_of(L'\\');
    return std::wstring(slash == std::wstring_view::npos ? path : path.substr(slash + 1));
}

class TNameSpace : public TFolderOf<INameSpace> {
public:
    explicit TNameSpace(const TPath& location) : TFolderOf<INameSpace>(location)
    {
        // The location's text may be any spelling the shell parsed; the
        // folder's own is the shell's parsing name.
        if (ComPtr<IShellFolder> desktop = DesktopFolder())
            FPath.SetPath(DisplayNameOf(desktop.get(), FPath.IDList, SHGDN_FORPARSING));
        std::wstring_view path = FPath.PathView();
        FIsMyComputer = !MyComputerPath().empty() && path == MyComputerPath();
        FIsRecycleBin = !RecycleBinPath().empty() && path == RecycleBinPath();
        FItems = std::shared_ptr<TItems>(new TItems, FreeChildLists);
        FirstLoad();
        // Of the namespace folders only the desktop is watched, through its
        // two directories.
        if (IsEmptyIDList(FPath.IDList))
            StartWatcher();
    }

    bool STDMETHODCALLTYPE IsDesktop() override { return IsEmptyIDList(FPath.IDList); }
    bool STDMETHODCALLTYPE IsMyComputer() override { return FIsMyComputer; }

    void STDMETHODCALLTYPE GetDisplayPath(BSTR* result) override
    {
        std::wstring_view path = FPath.PathView();
        if (IsDesktop() || FDisplayName == path || L"\\\\" + FDisplayName == path)
            AssignBStr(result, FDisplayName);
        else
            AssignBStr(result, FDisplayName + std::wstring(path));
    }
    uint8_t STDMETHODCALLTYPE GetCapabilities() override { return IsDesktop() ? kCanModify : kHasParent; }
    HRESULT STDMETHODCALLTYPE SetPath(BSTR) override
    {
        return GuardedCall([] { throw Exception(kNotAllowed); });
    }
    void STDMETHODCALLTYPE GetParentPath(TPath* result) override
    {
        *result = FPath;
        if (!IsEmptyIDList(result->IDList))
            RemoveLastID(result->IDList);
    }
    bool STDMETHODCALLTYPE IsWithin(const TPath* path) override
    {
        return path != nullptr && path->IDList != nullptr && IDListBeginsWith(FPath.IDList, path->IDList);
    }
    void STDMETHODCALLTYPE GetItemPath(const TFileItem* item, TPath* result) override
    {
        CheckLockHeld(L"a record of a folder (its path)");
        result->Clear();
        // File-system entries and drive roots open as directories (or
        // archives); other shell objects as namespace folders.
        if (item->Kind == kKindShellObject)
            result->IDList = CombineIDLists(FPath.IDList, item->ChildIDList).release();
        result->SetPath(std::wstring_view(item->Name, static_cast<size_t>(item->NameLen)));
    }
    void STDMETHODCALLTYPE GetStatusText(const TFileItem*, BSTR* result) override { AssignBStr(result, L"Ready"); }

protected:
    HRESULT GetInterface(REFIID iid, void** object) noexcept override
    {
        if (iid == IID_IShellFolder) {
            // A shell object belongs to the apartment of the thread that made
            // it: each caller gets one bound on its own thread.
            try {
                if (ComPtr<IShellFolder> folder = BindShellFolder()) {
                    *object = folder.detach();
                    return S_OK;
                }
            } catch (...) {
                // No shell: no shell folder.
            }
            *object = nullptr;
            return E_NOINTERFACE;
        }
        return TFolderOf<INameSpace>::GetInterface(iid, object);
    }

    // The folder's shell folder, bound on the calling thread: the desktop
    // itself, or the desktop's binding of the ID list; empty when the shell
    // cannot bind it.
    ComPtr<IShellFolder> BindShellFolder() const
    {
        ComPtr<IShellFolder> desktop = DesktopFolder();
        if (IsEmptyIDList(FPath.IDList))
            return desktop;
        ComPtr<IShellFolder> folder;
        HRESULT hr = desktop->BindToObject(FPath.IDList, nullptr, IID_IShellFolder,
                                           reinterpret_cast<void**>(folder.put()));
        if (FAILED(hr))
            return nullptr;
        return folder;
    }

    void Load() override
    {
        ComPtr<IShellFolder> desktop = DesktopFolder();
        LPCITEMIDLIST list = FPath.IDList;
        bool isDesktop = IsEmptyIDList(list);

        // The folder's own name, from its parent.
        ComPtr<IShellFolder> parent = desktop;
        if (!isDesktop) {
            UniqueIDList parentList = CloneIDList(list);
            RemoveLastID(parentList.get());
            if (!IsEmptyIDList(parentList.get())) {
                parent.reset();
                desktop->BindToObject(parentList.get(), nullptr, IID_IShellFolder,
                                      reinterpret_cast<void**>(parent.put()));
            }
            if (parent)
                FDisplayName = DisplayNameOf(parent.get(), LastID(list), SHGDN_NORMAL);
        } else {
            FDisplayName = DisplayNameOf(desktop.get(), list, SHGDN_NORMAL);
        }

        // Every shell object of the load is made, used and released on the
        // loading thread (a watcher thread reloads the desktop); the items
        // keep only ID lists and texts.
        ComPtr<IShellFolder> folder = BindShellFolder();
        FReady = static_cast<bool>(folder);
        if (!FReady)
            return;

        constexpr SHCONTF kContents = SHCONTF_FOLDERS | SHCONTF_NONFOLDERS | SHCONTF_INCLUDEHIDDEN;
        ComPtr<IEnumIDList> children;
        HRESULT hr = folder->EnumObjects(nullptr, kContents, children.put());
        std::wstring path(FPath.PathView());
        if ((FAILED(hr) || !children) && path.size() > 2 && path.substr(0, 2) == L"\\\\") {
            // A network server may want the user to log on first.
            NETRESOURCEW resource{};
            resource.dwType = RESOURCETYPE_DISK;
            resource.lpRemoteName = path.data();
            HWND owner = GetActiveWindow();
            DWORD connected;
            {
                TSuspendShared suspended;
                connected = WNetAddConnection3W(owner, &resource, nullptr, nullptr, CONNECT_INTERACTIVE);
            }
            if (connected == NO_ERROR)
                hr = folder->EnumObjects(nullptr, kContents, children.put());
        }
        // S_FALSE: a folder with nothing to enumerate.
        FReady = SUCCEEDED(hr);
        if (!FReady)
            return;

        std::shared_ptr<TItems> items(new TItems, FreeChildLists);
        items->reserve(1024);
        if (children) {
            for (;;) {
                LPITEMIDLIST child = nullptr;
                ULONG fetched = 0;
                if (children->Next(1, &child, &fetched) != S_OK || child == nullptr)
                    break;
                items->emplace_back();
                TFileItem& item = items->back();
                item = TFileItem{};
                item.ChildIDList = child;
                FillChild(folder.get(), item);
            }
        }
        SortInShellOrder(folder.get(), *items);
        ReplaceItems(std::move(items));
    }

private:
    void FillChild(IShellFolder* folder, TFileItem& item)
    {
        LPCITEMIDLIST child = item.ChildIDList;
        std::wstring name = DisplayNameOf(folder, child, SHGDN_FORPARSING);
        if (name.size() > 3 && name.compare(0, 2, L"::") == 0)
            name = FilePart(name);
        SetItemText(item.Name, item.NameLen, name);
        item.AuxNumber = kNoAuxNumber;
        item.Size = -1;

        WIN32_FIND_DATAW data{};
        bool hasData = SUCCEEDED(SHGetDataFromIDListW(folder, child, SHGDFIL_FINDDATA, &data, sizeof data));
        if (!hasData && IsDrivePathName(name)) {
            CriticalErrorsOff errorsOff;
            UniqueFindHandle find(FindFirstFileW(name.c_str(), &data));
            hasData = static_cast<bool>(find);
        }
        if (hasData) {
            item.Kind = kKindFile;
            item.Size = static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
            item.Attributes = data.dwFileAttributes;
            item.File.CreationTime = data.ftCreationTime;
            item.File.LastWriteTime = data.ftLastWriteTime;
            item.File.LastAccessTime = data.ftLastAccessTime;
            if (data.cAlternateFileName[0] != L'\0') {
                SetItemText(item.File.ShortName, item.File.ShortNameLen, data.cAlternateFileName);
            } else {
                wchar_t shortPath[MAX_PATH] = {};
                if (GetShortPathNameW(name.c_str(), shortPath, MAX_PATH) > 0 &&
                    GetShortPathNameW(name.c_str(), shortPath, MAX_PATH) < MAX_PATH)
                    SetItemText(item.File.ShortName, item.File.ShortNameLen, FilePart(shortPath));
            }
            std::wstring display = FIsMyComputer || FIsRecycleBin ? DisplayNameOf(folder, child, SHGDN_INFOLDER)
                                                                  : FilePart(name);
            SetItemText(item.DisplayName, item.DisplayNameLen, display);
        } else if (IsDriveRootName(name)) {
            item.Kind = kKindDriveRoot;
            SetItemText(item.DisplayName, item.DisplayNameLen, DisplayNameOf(folder, child, SHGDN_INFOLDER));
            CriticalErrorsOff errorsOff;
            item.Drive.DriveType = static_cast<int32_t>(GetDriveTypeW(name.c_str()));
            if (item.Drive.DriveType == DRIVE_FIXED) {
                wchar_t label[MAX_PATH + 1] = {}, fileSystem[MAX_PATH + 1] = {};
                if (GetVolumeInformationW(name.c_str(), label, MAX_PATH + 1, nullptr, nullptr, nullptr, fileSystem,
                                          MAX_PATH + 1)) {
                    SetItemText(item.Drive.VolumeLabel, item.Drive.VolumeLabelLen, label);
                    SetItemText(item.Drive.FileSystemName, item.Drive.FileSystemNameLen, fileSystem);
                }
                ULARGE_INTEGER total{};
                if (GetDiskFreeSpaceExW(name.c_str(), nullptr, &total, nullptr))
                    item.Size = static_cast<int64_t>(total.QuadPart);
            }
        } else {
            item.Kind = kKindShellObject;
            SetItemText(item.DisplayName, item.DisplayNameLen, DisplayNameOf(folder, child, SHGDN_NORMAL));
        }

        SFGAOF attributes = kCapsQuery;
        if (FAILED(folder->GetAttributesOf(1, &child, &attributes)))
            attributes = 0;
        uint8_t caps = 0;
        if (attributes & SFGAO_CANDELETE)
            caps |= kCanDelete;
        if (attributes & SFGAO_CANMOVE)
            caps |= kCanMove;
        if (attributes & SFGAO_CANRENAME)
            caps |= kCanRename;
        if (attributes & SFGAO_CANCOPY)
            caps |= kCanCopy;
        if (attributes & SFGAO_CANLINK)
            caps |= kCanLink;
        if (attributes & SFGAO_HASPROPSHEET)
            caps |= kHasProperties;
        if ((attributes & SFGAO_FOLDER) != 0 || (FolderManager() != nullptr && FolderManager()->Archiver(name)))
            caps |= kCanEnter;
        item.Caps = caps;

        if (IsShareName(name)) {
            item.Kind = kKindFile;
            item.Attributes |= FILE_ATTRIBUTE_DIRECTORY;
        }
    }

    // The shell's own order; the view keeps it, since the folder cannot sort.
    static void SortInShellOrder(IShellFolder* folder, TItems& items)
    {
        std::vector<size_t> order(items.size());
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        // A stable merge sort stays safe even if the shell's comparison is
        // not a strict order.
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
            HRESULT hr = folder->CompareIDs(0, items[a].ChildIDList, items[b].ChildIDList);
            return static_cast<short>(HRESULT_CODE(hr)) < 0;
        });
        TItems sorted;
        sorted.reserve(items.size());
        for (size_t index : order)
            sorted.push_back(items[index]);
        items.swap(sorted);
    }

    std::wstring FDisplayName;
    bool FIsRecycleBin = false;
    bool FIsMyComputer = false;
};

} // namespace

ComPtr<IFolder> NewNameSpace(const TPath& location)
{
    return ComPtr<IFolder>(new TNameSpace(location));
}
