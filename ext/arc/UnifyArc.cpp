// The bridge every archiver module is built from.
#include "ext/arc/UnifyArc.h"

// Shared interfaces
#include "ext/core/nimbracore.h"

// Toolkit
#include "lw/LExceptions.h"

// Standard library
#include <algorithm>
#include <array>
#include <exception>
#include <unordered_map>
#include <unordered_set>

namespace {

constexpr DWORD kOpenMode = 0x402206;

// The wait cursor while an archive is listed; the window under the pointer
// gets its own cursor back afterwards when it belongs to this thread.
class TWaitCursor {
public:
    TWaitCursor() : FPrevious(SetCursor(LoadCursorW(nullptr, IDC_WAIT))) {}
    ~TWaitCursor()
    {
        SetCursor(FPrevious);
        POINT at{};
        if (!GetCursorPos(&at))
            return;
        HWND window = WindowFromPoint(at);
        if (window == nullptr || GetWindowThreadProcessId(window, nullptr) != GetCurrentThreadId())
            return;
        LRESULT hit = SendMessageW(window, WM_NCHITTEST, 0, MAKELPARAM(at.x, at.y));
        SendMessageW(window, WM_SETCURSOR, reinterpret_cast<WPARAM>(window), MAKELPARAM(hit, WM_MOUSEMOVE));
    }
    TWaitCursor(const TWaitCursor&) = delete;
    TWaitCursor& operator=(const TWaitCursor&) = delete;

private:
    HCURSOR FPrevious;
};

// Waits for a thread to end. Meanwhile the calling thread's windows paint
// and the messages other threads send it are answered; input stays queued
// for after the call that is running.
void WaitRepainting(HANDLE thread)
{
    for (;;) {
        DWORD woken = MsgWaitForMultipleObjects(1, &thread, FALSE, 250, QS_PAINT | QS_SENDMESSAGE);
        if (woken == WAIT_OBJECT_0)
            return;
        if (woken == WAIT_FAILED) {
            WaitForSingleObject(thread, INFINITE);
            return;
        }
        // The peek answers sent messages; a window that leaves its region
        // invalid is painted at most a few times per wake.
        MSG message;
        for (int i = 0; i < 16 && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE | PM_QS_PAINT); ++i)
            DispatchMessageW(&message);
    }
}

// The length of the name's bytes up to and including its separator ("/" or
// "\\") after the first skipped ones; npos when it has fewer. The
// second byte of a double-byte character is never taken for a separator.
size_t AnsiSeparatorEnd(std::string_view name, size_t skipped)
{
    static const auto leads = [] {
        std::array<bool, 256> table{};
        for (int byte = 0x80; byte < 256; ++byte)
            table[static_cast<size_t>(byte)] = IsDBCSLeadByte(static_cast<BYTE>(byte)) != FALSE;
        return table;
    }();
    for (size_t i = 0; i < name.size(); ++i) {
        unsigned char byte = static_cast<unsigned char>(name[i]);
        if (leads[byte]) {
            ++i;
        } else if (byte == '/' || byte == '\\') {
            if (skipped == 0)
                return i + 1;
            --skipped;
        }
    }
    return std::string_view::npos;
}

void AssignBStr(BSTR* target, std::wstring_view text)
{
    *target = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

int CompareIgnoringCase(std::wstring_view a, std::wstring_view b)
{
    return CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()), b.data(),
                          static_cast<int>(b.size())) - CSTR_EQUAL;
}

bool StartsWithIgnoringCase(std::wstring_view text, std::wstring_view prefix)
{
    return text.size() >= prefix.size() && CompareIgnoringCase(text.substr(0, prefix.size()), prefix) == 0;
}

void SetRecordName(TFileItem& item, std::wstring_view name)
{
    size_t length = std::min(name.size(), std::size(item.Name) - 1);
    std::copy_n(name.data(), length, item.Name);
    item.Name[length] = 0;
    item.NameLen = static_cast<int32_t>(length);
    std::copy_n(name.data(), length, item.DisplayName);
    item.DisplayName[length] = 0;
    item.DisplayNameLen = static_cast<int32_t>(length);
}

TFileItem NewRecord(std::wstring_view name)
{
    TFileItem item{};
    SetRecordName(item, name);
    item.Kind = kKindFile;
    item.AuxNumber = kNoAuxNumber;
    return item;
}

// ---------------------------------------------------------------------------
// The archive folder

class TArchiveFolder final : public IArchiveFolder {
public:
    TArchiveFolder(TArchiverModule& module, const TPath& location) : FModule(module), FLocation(location)
    {
        TListing listing = ListAside(FLocation);
        FItems = std::move(listing.Items);
        FReady = listing.Ready;
        FArchiveType = listing.Type;
    }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == __uuidof(IObservable) || iid == __uuidof(IFolder) ||
            iid == __uuidof(IArchiveFolder)) {
            *object = static_cast<IArchiveFolder*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++FCount); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        long count = --FCount;
        if (count == 0)
            delete this;
        return static_cast<ULONG>(count);
    }

    // IObservable
    void STDMETHODCALLTYPE Attach(IObserver* observer) override { FObservers.emplace_back(observer); }
    void STDMETHODCALLTYPE Detach(IObserver* observer) override
    {
        for (size_t i = FObservers.size(); i > 0; --i)
            if (FObservers[i - 1].get() == observer) {
                FObservers.erase(FObservers.begin() + static_cast<ptrdiff_t>(i - 1));
                return;
            }
    }
    bool STDMETHODCALLTYPE HasObservers() override { return !FObservers.empty(); }

    // IFolder
    void STDMETHODCALLTYPE GetPath(TPath* result) override { *result = FLocation; }
    TFileItem* STDMETHODCALLTYPE GetItem(int32_t index) override
    {
        if (index < 0 || static_cast<size_t>(index) >= FItems->size())
            return nullptr;
        return &(*FItems)[static_cast<size_t>(index)];
    }
    int32_t STDMETHODCALLTYPE GetCount() override { return static_cast<int32_t>(FItems->size()); }
    bool STDMETHODCALLTYPE IsReady() override { return FReady; }
    void STDMETHODCALLTYPE GetDisplayPath(BSTR* result) override
    {
        std::wstring text(FLocation.PathView());
        if (!FLocation.SubPathView().empty())
            text += L"/" + std::wstring(FLocation.SubPathView());
        AssignBStr(result, text);
    }
    uint8_t STDMETHODCALLTYPE GetCapabilities() override { return kCanSort | kHasParent; }
    HRESULT STDMETHODCALLTYPE Refresh() override;
    HRESULT STDMETHODCALLTYPE SetPath(BSTR newPath) override
    {
        FLocation.SetPath(std::wstring_view(newPath ? newPath : L"", SysStringLen(newPath)));
        return S_OK;
    }
    void STDMETHODCALLTYPE SuspendWatching() override {}
    void STDMETHODCALLTYPE ResumeWatching(bool) override {}
    void STDMETHODCALLTYPE GetParentPath(TPath* result) override;
    bool STDMETHODCALLTYPE IsWithin(const TPath* path) override;
    void STDMETHODCALLTYPE GetItemPath(const TFileItem* item, TPath* result) override
    {
        result->Clear();
        result->SetPath(FLocation.PathView());
        result->SetSubPath(ItemPathInArchive(FLocation.SubPathView(), NameOf(item)));
    }
    void STDMETHODCALLTYPE GetStatusText(const TFileItem*, BSTR* result) override
    {
        AssignBStr(result, FModule.StatusText(FArchiveType));
    }

    // IArchiveFolder
    HRESULT STDMETHODCALLTYPE ReadItem(const TFileItem* item, BSTR* data) override
    {
        return GuardedCall([&] {
            *data = nullptr;
            auto [archive, itemPath] = Locate(item);
            std::string bytes = FModule.ReadItem(archive, itemPath, NameOf(item),
                                                 static_cast<uint64_t>(std::max<int64_t>(item->Size, 0)));
            *data = SysAllocStringByteLen(bytes.data(), static_cast<UINT>(bytes.size()));
            if (*data == nullptr)
                throw std::bad_alloc();
        });
    }
    HRESULT STDMETHODCALLTYPE ExtractItem(const TFileItem* item, BSTR destinationFolder) override
    {
        return GuardedCall([&] {
            std::wstring destination(destinationFolder ? destinationFolder : L"", SysStringLen(destinationFolder));
            auto [archive, itemPath] = Locate(item);
            FModule.RunCommand(FModule.ExtractItemCommand(archive, destination, itemPath));
        });
    }

private:
    ~TArchiveFolder() = default;

    static std::wstring NameOf(const TFileItem* item)
    {
        return std::wstring(item->Name, static_cast<size_t>(std::clamp<int32_t>(item->NameLen, 0, 259)));
    }
    // The archive and the item's path in it. Callers read items without the
    // lock (a copy job, the clipboard), while a rename of the folder holding
    // the archive changes the location under it: the location is read under it.
    std::pair<std::wstring, std::wstring> Locate(const TFileItem* item) const
    {
        THostLockShared lock;
        return {std::wstring(FLocation.PathView()), ItemPath(item)};
    }
    std::wstring ItemPath(const TFileItem* item) const
    {
        return ItemPathInArchive(FLocation.SubPathView(), NameOf(item));
    }

    using TItems = std::vector<TFileItem>;
    struct TListing {
        std::shared_ptr<TItems> Items = std::make_shared<TItems>();
        bool Ready = false;
        uint8_t Type = 0;
    };
    // Lists the archive at a place; touches no field of the folder.
    TListing List(const TPath& location) const;
    // Lists on a thread of its own while the calling thread gives up its
    // hold of the application lock and keeps its windows painted.
    TListing ListAside(const TPath& location) const;
    void Notify();

    TArchiverModule& FModule;
    std::atomic<long> FCount{0};
    TPath FLocation;
    std::shared_ptr<TItems> FItems;
    std::vector<ComPtr<IObserver>> FObservers;
    bool FReady = false;
    uint8_t FArchiveType = 0;
    // Listings started by refreshes, and the one whose records are shown.
    std::atomic<uint64_t> FListings{0};
    uint64_t FShownListing = 0;
};

TArchiveFolder::TListing TArchiveFolder::List(const TPath& location) const
{
    TListing listing;
    TItems& items = *listing.Items;
    items.reserve(1024);
    std::wstring archive(location.PathView());
    listing.Type = FModule.ArchiveType(archive);
    HANDLE handle =
        FModule.Call<TArcOpenProc>("OpenArchive")(nullptr, ToAnsi(AnsiSafePath(archive)).c_str(), kOpenMode);
    if (handle == nullptr)
        return listing;
    // The archive is closed however the listing ends.
    struct TClose {
        TArcCloseProc Close;
        HANDLE Handle;
        ~TClose() { Close(Handle); }
    } close{FModule.Call<TArcCloseProc>("CloseArchive"), handle};

    const bool tar = FModule.Listing() == TListingStyle::Tar;
    std::wstring subPath(location.SubPathView());
    std::wstring prefix;
    if (!subPath.empty()) {
        prefix = subPath + L"/";
        if (!tar)
            std::replace(prefix.begin(), prefix.end(), L'/', L'\\');
    }
    const std::string ansiPrefix = ToAnsi(prefix);
    // Every call of the loop is bound once, before it.
    auto findNext = FModule.Call<TArcFindNextProc>("FindNext");
    auto attributeOf = FModule.Call<TArcAttributeProc>("GetAttribute");
    TArcFileTimeProc writeTimeEx = nullptr, createTimeEx = nullptr, accessTimeEx = nullptr;
    TArcUnixTimeProc writeTime = nullptr, createTime = nullptr, accessTime = nullptr;
    const TTimeStyle times = FModule.Times();
    switch (times) {
    case TTimeStyle::WriteTimeExOrUnix:
        writeTimeEx = FModule.Call<TArcFileTimeProc>("GetWriteTimeEx");
        writeTime = FModule.Call<TArcUnixTimeProc>("GetWriteTime");
        break;
    case TTimeStyle::ThreeUnix:
        writeTime = FModule.Call<TArcUnixTimeProc>("GetWriteTime");
        createTime = FModule.Call<TArcUnixTimeProc>("GetCreateTime");
        accessTime = FModule.Call<TArcUnixTimeProc>("GetAccessTime");
        break;
    case TTimeStyle::ThreeFileTimes:
        writeTimeEx = FModule.Call<TArcFileTimeProc>("GetWriteTimeEx");
        createTimeEx = FModule.Call<TArcFileTimeProc>("GetCreateTimeEx");
        accessTimeEx = FModule.Call<TArcFileTimeProc>("GetAccessTimeEx");
        break;
    case TTimeStyle::WriteTimeEx:
        writeTimeEx = FModule.Call<TArcFileTimeProc>("GetWriteTimeEx");
        break;
    }
    // The names already listed: a folder is synthesized once, however many
    // entries lie below it, without a walk of the list for each.
    std::unordered_set<std::wstring> listed;
    // Where each synthesized folder lies in the list: an explicit entry of
    // that folder, however late it comes, takes the record in its place.
    std::unordered_map<std::wstring, size_t> synthesized;
    // The bytes of the last entry that lay deeper, up to the separator after
    // its folder: the entries of one folder mostly come together, and those
    // that follow are passed over without conversion.
    std::string deeper;
    const size_t depth = static_cast<size_t>(std::count(prefix.begin(), prefix.end(), L'/') +
                                             std::count(prefix.begin(), prefix.end(), L'\\'));
    TArcIndividualInfo info{};
    for (int found = FModule.Call<TArcFindFirstProc>("FindFirst")(handle, "*", &info); found == 0;
         found = findNext(handle, &info)) {
        info.szFileName[sizeof info.szFileName - 1] = 0;
        std::string_view raw(info.szFileName);
        if (!deeper.empty() && raw.size() > deeper.size() && raw.compare(0, deeper.size(), deeper) == 0)
            continue;
        std::wstring rest;
        if (tar) {
            std::wstring name = FromAnsi(raw);
            std::replace(name.begin(), name.end(), L'\\', L'/');
            if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
                continue;
            rest = name.substr(prefix.size());
        } else {
            if (raw.size() <= ansiPrefix.size() || !AnsiStartsWithIgnoringCase(raw, ansiPrefix))
                continue;
            rest = FromAnsi(raw.substr(ansiPrefix.size()));
            std::replace(rest.begin(), rest.end(), L'\\', L'/');
        }
        // The record holds 259 characters; a longer name is cut there.
        if (rest.size() > 259)
            rest.resize(259);
        size_t slash = rest.find(L'/');
        if (slash != std::wstring::npos && slash + 1 == rest.size()) {
            rest.pop_back();  // an explicit folder entry: a direct child
        } else if (slash != std::wstring::npos) {
            // An entry further down: its first folder is shown once.
            std::wstring folder = rest.substr(0, slash);
            size_t end = AnsiSeparatorEnd(raw, depth);
            deeper = end == std::string_view::npos ? std::string_view() : raw.substr(0, end);
            if (!listed.insert(folder).second)
                continue;
            TFileItem item = NewRecord(folder);
            item.Attributes = FILE_ATTRIBUTE_DIRECTORY;
            item.Caps = kCanEnter;
            synthesized.emplace(std::move(folder), items.size());
            items.push_back(item);
            continue;
        }
        if (rest.empty())
            continue;
        TFileItem& item = items.emplace_back(NewRecord(rest));
        switch (times) {
        case TTimeStyle::WriteTimeExOrUnix:
            if (!writeTimeEx(handle, &item.File.LastWriteTime))
                item.File.LastWriteTime = UnixTimeToFileTime(writeTime(handle));
            break;
        case TTimeStyle::ThreeUnix:
            item.File.LastWriteTime = UnixTimeToFileTime(writeTime(handle));
            item.File.CreationTime = UnixTimeToFileTime(createTime(handle));
            item.File.LastAccessTime = UnixTimeToFileTime(accessTime(handle));
            break;
        case TTimeStyle::ThreeFileTimes:
            writeTimeEx(handle, &item.File.LastWriteTime);
            createTimeEx(handle, &item.File.CreationTime);
            accessTimeEx(handle, &item.File.LastAccessTime);
            break;
        case TTimeStyle::WriteTimeEx:
            writeTimeEx(handle, &item.File.LastWriteTime);
            break;
        }
        item.Size = info.dwOriginalSize;
        item.Attributes = static_cast<uint32_t>(attributeOf(handle));
        item.Caps = (item.Attributes & FILE_ATTRIBUTE_DIRECTORY) ? kCanEnter : 0;
        // A folder synthesized before its own explicit entry takes the
        // entry's record in its place, so that it is shown once.
        auto folder = (item.Attributes & FILE_ATTRIBUTE_DIRECTORY) ? synthesized.find(rest) : synthesized.end();
        if (folder != synthesized.end()) {
            items[folder->second] = item;
            items.pop_back();
            synthesized.erase(folder);
        } else if (!tar && items.size() >= 2 &&
                   std::wstring_view(items[items.size() - 2].Name,
                                     static_cast<size_t>(items[items.size() - 2].NameLen)) == rest) {
            items[items.size() - 2] = item;
            items.pop_back();
            synthesized.erase(rest);
        } else {
            listed.insert(std::move(rest));
        }
    }
    items.shrink_to_fit();
    listing.Ready = true;
    return listing;
}

TArchiveFolder::TListing TArchiveFolder::ListAside(const TPath& location) const
{
    struct TTask {
        const TArchiveFolder& Folder;
        const TPath& Location;
        TListing Result;
        std::exception_ptr Failure;

        static DWORD WINAPI Run(void* data)
        {
            auto* task = static_cast<TTask*>(data);
            try {
                task->Result = task->Folder.List(task->Location);
            } catch (...) {
                task->Failure = std::current_exception();
            }
            return 0;
        }
    } task{*this, location, {}, nullptr};
    HANDLE thread = CreateThread(nullptr, 0, &TTask::Run, &task, 0, nullptr);
    if (thread == nullptr)
        return List(location);  // no thread to spare: the caller waits
    {
        TWaitCursor wait;
        THostLockSuspended unlocked;
        WaitRepainting(thread);
    }
    CloseHandle(thread);
    if (task.Failure)
        std::rethrow_exception(task.Failure);
    return std::move(task.Result);
}

void TArchiveFolder::Notify()
{
    // An observer that detaches itself while told does not make the next
    // one be skipped.
    std::vector<ComPtr<IObserver>> observers = FObservers;
    for (const ComPtr<IObserver>& observer : observers)
        observer->Update();
}

HRESULT STDMETHODCALLTYPE TArchiveFolder::Refresh()
{
    return GuardedCall([&] {
        if (!FReady)
            return;
        // The lock is given up while the archive is listed: the folder keeps
        // itself alive for the caller, who may hold no reference of its own,
        // and of two refreshes at once the later listing is the one kept.
        ComPtr<IArchiveFolder> self(this);
        const uint64_t serial = ++FListings;
        TListing listing;
        try {
            listing = ListAside(TPath(FLocation));
        } catch (...) {
            listing = TListing();
        }
        THostLockExclusive lock;
        if (serial < FShownListing)
            return;
        FShownListing = serial;
        // Observers still read records of the previous array while they
        // take up the new one.
        std::shared_ptr<TItems> previous = std::move(FItems);
        FItems = std::move(listing.Items);
        FReady = listing.Ready;
        FArchiveType = listing.Type;
        Notify();
    });
}

void STDMETHODCALLTYPE TArchiveFolder::GetParentPath(TPath* result)
{
    *result = FLocation;
    std::wstring_view subPath = FLocation.SubPathView();
    if (!subPath.empty()) {
        size_t slash = subPath.rfind(L'/');
        result->SetSubPath(slash == std::wstring_view::npos ? std::wstring_view() : subPath.substr(0, slash));
        return;
    }
    std::wstring_view path = FLocation.PathView();
    size_t delimiter = path.find_last_of(L"\\:");
    if (delimiter == std::wstring_view::npos) {
        result->SetPath(L"");
        return;
    }
    // A drive root keeps its delimiter: "C:\x.zip" goes to "C:\".
    bool root = delimiter <= 2 && (path[delimiter] == L':' || (delimiter == 2 && path[1] == L':'));
    result->SetPath(path.substr(0, root ? std::min(path.size(), size_t{3}) : delimiter));
}

bool STDMETHODCALLTYPE TArchiveFolder::IsWithin(const TPath* path)
{
    if (path == nullptr)
        return false;
    if (path->IDList != nullptr) {
        ComPtr<IApplication> owned;
        *owned.put() = HostApplication();
        if (!owned)
            return false;
        ComPtr<IFolderManager> manager = owned.as<IFolderManager>();
        ComPtr<IFolder> folder;
        if (!manager || FAILED(manager->GetFolder(path, folder.put())) || !folder)
            return false;
        ComPtr<INameSpace> nameSpace = folder.as<INameSpace>();
        return nameSpace && (nameSpace->IsDesktop() || nameSpace->IsMyComputer());
    }
    std::wstring_view own = FLocation.PathView();
    if (CompareIgnoringCase(path->PathView(), own) == 0) {
        // The archive itself holds every folder inside it.
        if (path->SubPathView().empty())
            return true;
        return StartsWithIgnoringCase(std::wstring(FLocation.SubPathView()) + L"/",
                                      std::wstring(path->SubPathView()) + L"/");
    }
    std::wstring holder(path->PathView());
    if (holder.empty() || holder.back() != L'\\')
        holder += L'\\';
    return StartsWithIgnoringCase(std::wstring(own) + L"\\", holder);
}

// ---------------------------------------------------------------------------
// The archiver

class TUnifiedArchiver final : public IExtension, public IConfigurable, public IArchiver {
public:
    explicit TUnifiedArchiver(TArchiverModule& module) : FModule(module) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == __uuidof(IExtension))
            *object = static_cast<IExtension*>(this);
        else if (iid == __uuidof(IConfigurable))
            *object = static_cast<IConfigurable*>(this);
        else if (iid == __uuidof(IArchiver))
            *object = static_cast<IArchiver*>(this);
        else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++FCount); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        long count = --FCount;
        if (count == 0)
            delete this;
        return static_cast<ULONG>(count);
    }

    // IExtension
    HRESULT STDMETHODCALLTYPE Initialize() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Finalize() override { return S_OK; }

    // IConfigurable
    HRESULT STDMETHODCALLTYPE GetCaption(BSTR* caption) override
    {
        AssignBStr(caption, FModule.Caption());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Configure() override
    {
        return GuardedCall([&] {
            char buffer[1024] = {};
            FModule.Call<TArcConfigProc>("ConfigDialog")(nullptr, buffer, 1);
        });
    }

    // IArchiver
    HRESULT STDMETHODCALLTYPE FindExtension(TArchiverExtensionTest test, void* data, BSTR* extension) override
    {
        return GuardedCall([&] {
            *extension = nullptr;
            for (const std::wstring& offered : FModule.Extensions()) {
                WideString text(offered);
                if (test(text.get(), data)) {
                    AssignBStr(extension, offered);
                    return;
                }
            }
            AssignBStr(extension, L"");
        });
    }
    HRESULT STDMETHODCALLTYPE OpenArchive(const TPath* location, IFolder** folder) override
    {
        return GuardedCall([&] {
            *folder = nullptr;
            FModule.Library.Load();
            *folder = NewArchiveFolder(FModule, *location).detach();
        });
    }
    HRESULT STDMETHODCALLTYPE Pack(BSTR archiveName, BSTR baseFolder, int32_t lastIndex, const BSTR* names) override
    {
        return GuardedCall([&] {
            std::vector<std::wstring> list;
            for (int32_t i = 0; i <= lastIndex; ++i)
                list.emplace_back(names[i] ? names[i] : L"", SysStringLen(names[i]));
            std::wstring archive(archiveName ? archiveName : L"", SysStringLen(archiveName));
            std::wstring base(baseFolder ? baseFolder : L"", SysStringLen(baseFolder));
            std::unique_ptr<TResponseFile> response;
            std::wstring command = FModule.PackCommand(archive, base, list, response);
            THostLockSuspended unlocked;
            FModule.RunCommand(command);
        });
    }
    HRESULT STDMETHODCALLTYPE Extract(BSTR archiveName, BSTR destinationFolder) override
    {
        return GuardedCall([&] {
            std::wstring archive(archiveName ? archiveName : L"", SysStringLen(archiveName));
            std::wstring destination(destinationFolder ? destinationFolder : L"", SysStringLen(destinationFolder));
            std::wstring command = FModule.ExtractCommand(archive, destination);
            THostLockSuspended unlocked;
            FModule.RunCommand(command);
        });
    }

private:
    ~TUnifiedArchiver() = default;

    TArchiverModule& FModule;
    std::atomic<long> FCount{0};
};

} // namespace

std::string TArchiverModule::ReadItem(const std::wstring& archive, const std::wstring& itemPath,
                                      const std::wstring& name, uint64_t)
{
    // A folder of its own: a file of the same name in the temporary folder
    // is neither overwritten nor deleted, and two reads never meet.
    TScratchFolder scratch;
    RunCommand(ReadItemCommand(archive, scratch.Path(), itemPath));
    std::wstring path = scratch.Path() + name;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        RaiseLastOSError();
    std::string bytes;
    LARGE_INTEGER size{};
    bool ok = GetFileSizeEx(file, &size) != FALSE;
    if (ok) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        size_t done = 0;
        while (ok && done < bytes.size()) {
            DWORD read = 0;
            ok = ReadFile(file, bytes.data() + done, static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30)),
                          &read, nullptr) != FALSE && read > 0;
            done += read;
        }
    }
    DWORD error = GetLastError();
    CloseHandle(file);
    if (!ok)
        throw EOSError(error);
    return bytes;
}

void TArchiverModule::RunCommand(const std::wstring& command)
{
    auto entry = Library.Bind<TArcCommandProc>(Prefix.c_str());
    std::vector<char> output(4096, 0);
    int result = entry(nullptr, ToAnsi(command).c_str(), output.data(), 4095);
    if (result == 0)
        return;
    output.back() = 0;
    std::wstring message = FromAnsi(output.data());
    if (message.empty())
        message = Library.FileName() + L": error " + std::to_wstring(result);
    Library.Raise(message);
}

ComPtr<IFolder> NewArchiveFolder(TArchiverModule& module, const TPath& location)
{
    ComPtr<IArchiveFolder> folder(new TArchiveFolder(module, location));
    return folder.as<IFolder>();
}

void RegisterArchiverModule(TArchiverModule* module)
{
    if (NimbraGetInterfaceVersion() != kInterfaceVersion)
        return;
    IApplication* application = nullptr;
    NimbraGetApplication(&application);
    if (application == nullptr)
        return;
    ComPtr<IApplication> owned;
    *owned.put() = application;
    ComPtr<IExtensionHost> host = owned.as<IExtensionHost>();
    if (!host)
        return;
    ComPtr<IExtension> archiver(static_cast<IExtension*>(new TUnifiedArchiver(*module)));
    host->RegisterExtension(archiver.get());
}
