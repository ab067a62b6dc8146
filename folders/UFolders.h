// Folders: the item record, the folder interfaces and the folder manager.
#pragma once

// Own
#include "folders/UPath.h"

// Shared interfaces
#include "ext/NimbraIntf.h"

// Toolkit
#include "lw/LAppLock.h"
#include "lw/LComPtr.h"
#include "lw/LHandles.h"
#include "lw/LInterfaces.h"
#include "lw/LObjects.h"
#include "lw/LWindows.h"

// Platform
#include <windows.h>

// Standard library
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

// Item capability bits.
enum : uint8_t {
    kCanDelete = 0x01,
    kCanMove = 0x02,
    kCanRename = 0x04,
    kCanCopy = 0x08,
    kCanLink = 0x10,
    kCanEnter = 0x20,
    kHasProperties = 0x40,
    kAllItemCaps = 0x7F,
};

// Folder capability bits.
enum : uint8_t {
    kCanSort = 0x01,
    kCanModify = 0x02,
    kHasParent = 0x04,
};

// Item kinds.
enum : uint8_t {
    kKindShellObject = 0,
    kKindFile = 1,
    kKindDriveRoot = 2,
};

inline constexpr uint16_t kNoAuxNumber = 0xFFFF;

#pragma pack(push, 4)
// One folder entry (1128 bytes; 1132 on 64-bit Windows), stored by value in the folder's item array;
// its layout is shared with the archiver modules, which fill such records.
// Every text is zero-terminated inside its buffer and has its own length.
struct TFileItem {
    int32_t NameLen;
    wchar_t Name[260];
    int32_t DisplayNameLen;
    wchar_t DisplayName[260];
    int64_t Size; // -1 when unknown
    LPITEMIDLIST ChildIDList; // namespace items: relative ID list, owned by the folder
    uint16_t AuxNumber;
    uint8_t Caps;
    uint8_t ViewMark; // the view's scratch byte
    uint8_t Kind;
    uint8_t Reserved[3];
    union {
        struct {
            FILETIME CreationTime;
            FILETIME LastWriteTime;
            FILETIME LastAccessTime;
            int32_t ShortNameLen;
            wchar_t ShortName[14];
        } File;
        struct {
            int32_t DriveType;
            int32_t VolumeLabelLen;
            wchar_t VolumeLabel[12];
            int32_t FileSystemNameLen;
            wchar_t FileSystemName[10];
        } Drive;
    };
    uint32_t Attributes;
};
#pragma pack(pop)

// Module writers: the record is packed to 4 bytes. The two layouts differ
// only from ChildIDList on, which is a pointer.
//
//   field              32-bit   64-bit
//   NameLen                 0        0
//   Name                    4        4
//   DisplayNameLen        524      524
//   DisplayName           528      528
//   Size                 1048     1048
//   ChildIDList          1056     1056
//   AuxNumber            1060     1064
//   Caps, ViewMark       1062     1066
//   Kind                 1064     1068
//   File / Drive union   1068     1072
//   Attributes           1124     1128
//   size                 1128     1132
#if defined(_WIN64)
inline constexpr size_t kFileItemPointerExtra = 4;
static_assert(sizeof(TFileItem) == 1132, "TFileItem is shared with the modules");
#else
inline constexpr size_t kFileItemPointerExtra = 0;
static_assert(sizeof(TFileItem) == 1128, "TFileItem is shared with the modules");
#endif
static_assert(offsetof(TFileItem, NameLen) == 0 && offsetof(TFileItem, Name) == 4);
static_assert(offsetof(TFileItem, DisplayNameLen) == 524 && offsetof(TFileItem, DisplayName) == 528);
static_assert(offsetof(TFileItem, Size) == 1048 && offsetof(TFileItem, ChildIDList) == 1056);
static_assert(offsetof(TFileItem, AuxNumber) == 1060 + kFileItemPointerExtra && offsetof(TFileItem, Caps) == 1062 + kFileItemPointerExtra);
static_assert(offsetof(TFileItem, ViewMark) == 1063 + kFileItemPointerExtra && offsetof(TFileItem, Kind) == 1064 + kFileItemPointerExtra);
static_assert(offsetof(TFileItem, File.CreationTime) == 1068 + kFileItemPointerExtra &&
              offsetof(TFileItem, File.LastWriteTime) == 1076 + kFileItemPointerExtra);
static_assert(offsetof(TFileItem, File.LastAccessTime) == 1084 + kFileItemPointerExtra &&
              offsetof(TFileItem, File.ShortNameLen) == 1092 + kFileItemPointerExtra);
static_assert(offsetof(TFileItem, File.ShortName) == 1096 + kFileItemPointerExtra &&
              offsetof(TFileItem, Attributes) == 1124 + kFileItemPointerExtra);
static_assert(offsetof(TFileItem, Drive.DriveType) == 1068 + kFileItemPointerExtra &&
              offsetof(TFileItem, Drive.VolumeLabelLen) == 1072 + kFileItemPointerExtra);
static_assert(offsetof(TFileItem, Drive.VolumeLabel) == 1076 + kFileItemPointerExtra &&
              offsetof(TFileItem, Drive.FileSystemNameLen) == 1100 + kFileItemPointerExtra);
static_assert(offsetof(TFileItem, Drive.FileSystemName) == 1104 + kFileItemPointerExtra);

// Copies text into a fixed item buffer of N units, cut so that the
// terminator fits; sets the length to what was kept.
template <size_t N>
void SetItemText(wchar_t (&buffer)[N], int32_t& length, std::wstring_view text) noexcept
{
    size_t kept = text.size() < N - 1 ? text.size() : N - 1;
    text.copy(buffer, kept);
    buffer[kept] = L'\0';
    length = static_cast<int32_t>(kept);
}

// Allocates item records without clearing them: a loader fills every field
// of a record it adds, and clearing 1128 bytes a record first would cost as
// much again as the filling on a large directory. Copies and explicit
// initialisation ("TFileItem{}") behave as usual.
template <class T>
struct TRecordAllocator : std::allocator<T> {
    using value_type = T;
    template <class U>
    struct rebind {
        using other = TRecordAllocator<U>;
    };
    TRecordAllocator() noexcept = default;
    template <class U>
    TRecordAllocator(const TRecordAllocator<U>&) noexcept
    {
    }
    template <class U>
    void construct(U* place) noexcept(std::is_nothrow_default_constructible_v<U>)
    {
        ::new (static_cast<void*>(place)) U;
    }
    template <class U, class... Args>
    void construct(U* place, Args&&... args)
    {
        ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }
};
template <class T, class U>
bool operator==(const TRecordAllocator<T>&, const TRecordAllocator<U>&) noexcept
{
    return true;
}

// A folder: an array of item records, observers told when it was rebuilt.
struct IFolder : IObservable {
    virtual void STDMETHODCALLTYPE GetPath(TPath* result) = 0;
    virtual TFileItem* STDMETHODCALLTYPE GetItem(int32_t index) = 0;
    virtual int32_t STDMETHODCALLTYPE GetCount() = 0;
    virtual bool STDMETHODCALLTYPE IsReady() = 0;
    virtual void STDMETHODCALLTYPE GetDisplayPath(BSTR* result) = 0;
    virtual uint8_t STDMETHODCALLTYPE GetCapabilities() = 0;
    virtual HRESULT STDMETHODCALLTYPE Refresh() = 0;
    virtual HRESULT STDMETHODCALLTYPE SetPath(BSTR newPath) = 0;
    virtual void STDMETHODCALLTYPE SuspendWatching() = 0;
    virtual void STDMETHODCALLTYPE ResumeWatching(bool wait) = 0;
    virtual void STDMETHODCALLTYPE GetParentPath(TPath* result) = 0;
    virtual bool STDMETHODCALLTYPE IsWithin(const TPath* path) = 0;
    virtual void STDMETHODCALLTYPE GetItemPath(const TFileItem* item, TPath* result) = 0;
    virtual void STDMETHODCALLTYPE GetStatusText(const TFileItem* item, BSTR* result) = 0;
};
__CRT_UUID_DECL(IFolder, 0x065E6DD3, 0x6977, 0x4A1B, 0x8B, 0xEF, 0x9A, 0x91, 0x6F, 0x9A, 0x3D, 0x30)

// A file-system directory.
struct IDirectory : IFolder {
    // A drive root or a share root.
    virtual bool STDMETHODCALLTYPE IsRoot() = 0;
};
__CRT_UUID_DECL(IDirectory, 0x8D98B7A2, 0xED6C, 0x4E23, 0x9E, 0x8F, 0x19, 0xF9, 0x49, 0xCD, 0x84, 0x75)

// A folder of the shell namespace.
struct INameSpace : IFolder {
    virtual bool STDMETHODCALLTYPE IsDesktop() = 0;
    virtual bool STDMETHODCALLTYPE IsMyComputer() = 0;
};
__CRT_UUID_DECL(INameSpace, 0x14831640, 0x75E3, 0x4D4C, 0xAE, 0x12, 0x27, 0xE5, 0x95, 0xFE, 0x5E, 0x7D)

// A folder inside an archive, served by an archiver module: one item read
// whole into memory or extracted to a directory.
struct IArchiveFolder : IFolder {
    // The item's whole contents as a byte string (SysAllocStringByteLen;
    // the caller frees it with SysFreeString).
    virtual HRESULT STDMETHODCALLTYPE ReadItem(const TFileItem* item, BSTR* data) = 0;
    virtual HRESULT STDMETHODCALLTYPE ExtractItem(const TFileItem* item, BSTR destinationFolder) = 0;
};
__CRT_UUID_DECL(IArchiveFolder, 0x30FE4515, 0xF4E0, 0x4584, 0x80, 0x7C, 0xFD, 0xEB, 0x21, 0x45, 0x48, 0x3D)

// A test over the extensions an archiver handles (".zip" and so on).
typedef bool(STDMETHODCALLTYPE* TArchiverExtensionTest)(BSTR extension, void* data);

// What an archiver module offers.
struct IArchiver : IUnknown {
    // Offers each of its extensions to test; *extension is the first one
    // test accepted, or empty.
    virtual HRESULT STDMETHODCALLTYPE FindExtension(TArchiverExtensionTest test, void* data, BSTR* extension) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenArchive(const TPath* location, IFolder** folder) = 0;
    virtual HRESULT STDMETHODCALLTYPE Pack(BSTR archiveName, BSTR baseFolder, int32_t lastIndex, const BSTR* names) = 0;
    virtual HRESULT STDMETHODCALLTYPE Extract(BSTR archiveName, BSTR destinationFolder) = 0;
};
__CRT_UUID_DECL(IArchiver, 0x0C56D618, 0x56CB, 0x4254, 0x92, 0x82, 0x8D, 0xD6, 0x00, 0x5C, 0xB8, 0x1F)

// A module that serves locations with a provider tag.
struct IFolderProvider : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateFolder(const TPath* location, IFolder** folder) = 0;
};
__CRT_UUID_DECL(IFolderProvider, 0x50CBFB83, 0xD50A, 0x4C20, 0xA5, 0x8E, 0x0B, 0xEB, 0x59, 0x01, 0xD4, 0x41)

// The folder manager, reached through the application object.
struct IFolderManager : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetFolder(const TPath* path, IFolder** folder) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindFolder(const TPath* path, IFolder** folder) = 0;
    virtual HRESULT STDMETHODCALLTYPE RefreshFolders(const TPath* path, bool recursive) = 0;
    virtual HRESULT STDMETHODCALLTYPE RenameFolders(const TPath* oldPath, BSTR newPath) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindArchiver(BSTR fileName, IArchiver** archiver) = 0;
    virtual HRESULT STDMETHODCALLTYPE BrowseForFolder(BSTR title, TPath* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE ParsePath(BSTR text, TPath* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE PathToString(const TPath* path, BSTR* result) = 0;
};
__CRT_UUID_DECL(IFolderManager, 0x0A7B2795, 0x3552, 0x4A4E, 0x95, 0x41, 0x48, 0x30, 0xDF, 0x00, 0x82, 0x6B)

// ---------------------------------------------------------------------------
// Folder objects

class TDirWatchThread;

// The parsing names of My Computer and the Recycle Bin; empty until the
// folder manager exists.
const std::wstring& MyComputerPath();
const std::wstring& RecycleBinPath();

// Common state of every folder: its location, its item array, its observers
// and its watcher. Its life is governed by its interface references.
class T0Folder : public TInterfacedObject {
public:
    using TItems = std::vector<TFileItem, TRecordAllocator<TFileItem>>;

    const TPath& Location() const { return FPath; }
    bool Ready() const { return FReady; }
    // The current item array; a reference keeps it alive across a refresh.
    // Read under the application lock, like every record.
    std::shared_ptr<const TItems> Items() const
    {
        CheckLockHeld(L"the items of a folder");
        return FItems;
    }
    TDirWatchThread* Watcher() const { return FWatcher; }
    HANDLE RefreshedEvent() const { return FRefreshedEvent.get(); }

protected:
    explicit T0Folder(TPath path);
    ~T0Folder() override;

    // Rebuilds the items and decides Ready.
    virtual void Load() = 0;
    // Detach removed the last observer.
    virtual void LastObserverDetached() {}
    // A refresh is over and nobody else holds the array it replaced: a
    // folder may keep it for its next load.
    virtual void Recycle(std::shared_ptr<TItems> /*items*/) {}

    // The first load, with the hourglass, under the exclusive hold;
    // derived constructors call it once their own set-up is done.
    void FirstLoad();
    // Puts a newly built item array in place of the current one: only under
    // the exclusive hold.
    void ReplaceItems(std::shared_ptr<TItems> items);
    void StartWatcher();
    void StopWatcher();

    void AttachObserver(IObserver* observer);
    void DetachObserver(IObserver* observer);
    bool HasAnyObserver() const { return FObservable->HasObservers(); }
    void RefreshFolder();
    void SuspendFolderWatching();
    void ResumeFolderWatching(bool wait);

    TPath FPath;
    UniqueHandle FRefreshedEvent;
    TDirWatchThread* FWatcher = nullptr;
    TOwned<TObservable> FObservable;
    std::shared_ptr<TItems> FItems;
    bool FReady = false;
};

// Implements IUnknown and the common IFolder slots for a folder interface
// Intf (IFolder or one derived from it).
template <class Intf>
class TFolderOf : public T0Folder, public Intf {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == __uuidof(IObservable) || iid == __uuidof(IFolder) || iid == __uuidof(Intf)) {
            *object = static_cast<Intf*>(this);
            _AddRef();
            return S_OK;
        }
        return GetInterface(iid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(_AddRef()); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(_Release()); }

    void STDMETHODCALLTYPE Attach(IObserver* observer) override { AttachObserver(observer); }
    void STDMETHODCALLTYPE Detach(IObserver* observer) override { DetachObserver(observer); }
    bool STDMETHODCALLTYPE HasObservers() override { return HasAnyObserver(); }

    void STDMETHODCALLTYPE GetPath(TPath* result) override { *result = FPath; }
    TFileItem* STDMETHODCALLTYPE GetItem(int32_t index) override
    {
        CheckLockHeld(L"a record of a folder");
        if (index < 0 || static_cast<size_t>(index) >= FItems->size())
            return nullptr;
        return &(*FItems)[static_cast<size_t>(index)];
    }
    int32_t STDMETHODCALLTYPE GetCount() override
    {
        CheckLockHeld(L"the record count of a folder");
        return static_cast<int32_t>(FItems->size());
    }
    bool STDMETHODCALLTYPE IsReady() override { return FReady; }
    HRESULT STDMETHODCALLTYPE Refresh() override
    {
        return GuardedCall([&] { RefreshFolder(); });
    }
    void STDMETHODCALLTYPE SuspendWatching() override { SuspendFolderWatching(); }
    void STDMETHODCALLTYPE ResumeWatching(bool wait) override { ResumeFolderWatching(wait); }

protected:
    using T0Folder::T0Folder;
};

// A file-system directory, watched for changes.
class TDirectory : public TFolderOf<IDirectory> {
public:
    explicit TDirectory(std::wstring_view path);

    bool STDMETHODCALLTYPE IsRoot() override { return FIsRoot; }
    void STDMETHODCALLTYPE GetDisplayPath(BSTR* result) override;
    uint8_t STDMETHODCALLTYPE GetCapabilities() override { return kCanSort | kCanModify | kHasParent; }
    HRESULT STDMETHODCALLTYPE SetPath(BSTR newPath) override;
    void STDMETHODCALLTYPE GetParentPath(TPath* result) override;
    bool STDMETHODCALLTYPE IsWithin(const TPath* path) override;
    void STDMETHODCALLTYPE GetItemPath(const TFileItem* item, TPath* result) override;
    void STDMETHODCALLTYPE GetStatusText(const TFileItem* item, BSTR* result) override;

protected:
    ~TDirectory() override;
    void Load() override;
    void Recycle(std::shared_ptr<TItems> items) override;

private:
    // Starts the watcher unless the directory is on a removable or CD-ROM
    // drive.
    void WatchUnlessRemovable();

    bool FIsRoot = false;
    // The array the last refresh replaced, filled again by the next load:
    // its memory is in place already, where a fresh block of a large
    // directory costs as much as a quarter of the listing.
    std::shared_ptr<TItems> FSpare;
};

// Removable and CD-ROM drives are never watched: a watcher would hold a
// change notification on the medium. Their type is asked of GetDriveTypeW, or
// of a probe a test puts in its place; returns the previous probe.
using TDriveTypeProbe = UINT(WINAPI*)(LPCWSTR root);
TDriveTypeProbe SetDriveTypeProbe(TDriveTypeProbe probe);

// Fills the item record of a directory entry (names, size, times,
// attributes; every capability bit).
void FillFileItem(TFileItem& item, const WIN32_FIND_DATAW& data);

// The one spelling of a directory path under which its folder is kept and
// compared: backslashes only, no empty, "." or ".." parts, no trailing
// backslash except on a drive root ("C:\"); a share root is "\\srv\share".
// Paths beginning with "\\?\" or "\\.\" are taken literally by the system
// and stay as they are.
std::wstring NormalizeDirectoryPath(std::wstring_view path);

// The parent location of a directory path: the directory above; My Computer
// above a drive root; the network neighbourhood above a share root.
TPath DirectoryParentPath(std::wstring_view path);
// Whether the directory path lies at or below the location.
bool DirectoryIsWithin(std::wstring_view path, const TPath& location);

// Watches one directory (or the two desktop directories) and refreshes the
// folders on that path once a burst of changes has settled for 250 ms.
class TDirWatchThread : public T0Thread {
public:
    explicit TDirWatchThread(const T0Folder* folder);
    // Asks the thread to end; the owner forgets it, the application frees
    // it once it has ended.
    void Stop() { SetEvent(FStopEvent.get()); }
    // Holds settled changes back, or lets them through.
    void Enable(bool enable) { enable ? SetEvent(FEnableEvent.get()) : ResetEvent(FEnableEvent.get()); }
    static constexpr DWORD kSettleTime = 250;

protected:
    void Execute() override;

private:
    struct TChangeTraits {
        using Type = HANDLE;
        static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
        static void Close(HANDLE handle) noexcept { FindCloseChangeNotification(handle); }
    };
    using UniqueChangeNotification = UniqueResource<TChangeTraits>;

    bool Settle(HANDLE notification);

    UniqueHandle FStopEvent;
    UniqueChangeNotification FNotifications[2];
    UniqueHandle FEnableEvent;
    const TPath* FWatchedPath;
    int FNotificationCount = 0;
};

// A folder of the shell namespace (the desktop, My Computer, ...).
ComPtr<IFolder> NewNameSpace(const TPath& location);

// Owns every open folder and hands out the shared one for a location.
class TFolderManager : public TInterfaced<T0Object, IObserver, IFolderManager> {
public:
    // host gives the registered extensions (archivers, providers); it may
    // be null.
    explicit TFolderManager(IExtensionHost* host);

    ComPtr<IFolder> Folder(const TPath& path);
    ComPtr<IFolder> Find(const TPath& path);
    void Refresh(const TPath& path, bool recursive);
    void Rename(const TPath& oldPath, std::wstring_view newPath);
    ComPtr<IArchiver> Archiver(std::wstring_view fileName);
    void PurgeFolders();
    size_t FolderCount() const { return FFolders.size(); }

    // IObserver: housekeeping.
    void STDMETHODCALLTYPE Update() override { PurgeFolders(); }

    // IFolderManager
    HRESULT STDMETHODCALLTYPE GetFolder(const TPath* path, IFolder** folder) override;
    HRESULT STDMETHODCALLTYPE FindFolder(const TPath* path, IFolder** folder) override;
    HRESULT STDMETHODCALLTYPE RefreshFolders(const TPath* path, bool recursive) override;
    HRESULT STDMETHODCALLTYPE RenameFolders(const TPath* oldPath, BSTR newPath) override;
    HRESULT STDMETHODCALLTYPE FindArchiver(BSTR fileName, IArchiver** archiver) override;
    HRESULT STDMETHODCALLTYPE BrowseForFolder(BSTR title, TPath* result) override;
    HRESULT STDMETHODCALLTYPE ParsePath(BSTR text, TPath* result) override;
    HRESULT STDMETHODCALLTYPE PathToString(const TPath* path, BSTR* result) override;

protected:
    ~TFolderManager() override;

private:
    // The location under which the folder for path is kept: a directory's
    // path normalised; a sub-path below anything but an archive file names a
    // directory below the path.
    TPath FolderLocation(const TPath& path);
    bool IsArchiveFile(std::wstring_view path);
    ComPtr<IFolder> FindLocation(const TPath& location);
    ComPtr<IFolder> CreateFolder(const TPath& path);

    IExtensionHost* FHost;
    std::vector<ComPtr<IFolder>> FFolders;
    // Attached to the application's housekeeping in the manager's place, so
    // that the attachment does not count as a reference to the manager.
    ComPtr<IObserver> FHousekeeper;
};

// The folder manager of the process, or null.
TFolderManager* FolderManager();
