#include "search/UFounds.h"

// Folders
#include "folders/SysUtilsW.h"

// Toolkit
#include "lw/LExceptions.h"
#include "lw/LHandles.h"
#include "lw/LWindows.h"

// Standard library
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace {

constexpr const wchar_t* kUnit = L"UFounds";
constexpr const wchar_t* kNoItemStatus = L"検索";

// Text units a record's name holds, its terminator not counted.
constexpr size_t kNameRoom = sizeof(TFileItem::Name) / sizeof(wchar_t) - 1;

} // namespace

// ---------------------------------------------------------------------------
// TFounds

TFounds::TFounds(const TPath& root, std::wstring filterText)
    : TFolderOf<IFounds>(root), FStopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      FFilterText(std::move(filterText)), FTicks(::GetTickCount)
{
    if (!FStopEvent)
        RaiseLastOSError();
    FReady = true;
    FLastPublished = FTicks();
}

TFounds::~TFounds() = default;

void TFounds::SetTickSource(TTickSource ticks)
{
    FTicks = ticks != nullptr ? ticks : ::GetTickCount;
    FLastPublished = FTicks();
}

void STDMETHODCALLTYPE TFounds::GetDisplayPath(BSTR* result)
{
    AssignBStr(result, FPath.PathView());
}

HRESULT STDMETHODCALLTYPE TFounds::SetPath(BSTR)
{
    // Results are not moved along with their folder: they are given up.
    return GuardedCall([&] {
        TExclusiveLock lock;
        FReady = false;
        SetEvent(FStopEvent.get());
    });
}

void STDMETHODCALLTYPE TFounds::GetParentPath(TPath* result)
{
    // Going up from the results shows the folder that was searched.
    *result = FPath;
}

bool STDMETHODCALLTYPE TFounds::IsWithin(const TPath* path)
{
    return path != nullptr && DirectoryIsWithin(FPath.PathView(), *path);
}

void STDMETHODCALLTYPE TFounds::GetItemPath(const TFileItem* item, TPath* result)
{
    result->Clear();
    if (item != nullptr)
        result->SetPath(CombinePath(FPath.PathView(), std::wstring_view(item->Name, static_cast<size_t>(item->NameLen))));
}

void STDMETHODCALLTYPE TFounds::GetStatusText(const TFileItem* item, BSTR* result)
{
    if (item == nullptr)
        AssignBStr(result, kNoItemStatus);
    else
        AssignBStr(result, std::wstring_view(item->Name, static_cast<size_t>(item->NameLen)));
}

void STDMETHODCALLTYPE TFounds::GetFilterText(BSTR* result)
{
    AssignBStr(result, FFilterText);
}

bool TFounds::Finished() const
{
    CheckLockHeld(L"the state of a search");
    return FFinished;
}

int32_t TFounds::FoundCount() const
{
    CheckLockHeld(L"the state of a search");
    // Once the search is over its records are the shown ones.
    if (FFinished)
        return FItems ? static_cast<int32_t>(FItems->size()) : 0;
    return static_cast<int32_t>(FFound.size());
}

void TFounds::LastObserverDetached()
{
    // Nobody shows the results any more: the walk ends at its next entry.
    SetEvent(FStopEvent.get());
}

void TFounds::Add(const TFileItem& item)
{
    TExclusiveLock lock;
    if (FFound.size() == FFound.capacity())
        FFound.reserve(FFound.size() + 1024);
    FFound.push_back(item);
    DWORD now = FTicks();
    if (PublishDue(now, FLastPublished)) {
        FLastPublished = now;
        Publish();
    }
}

void TFounds::Finish()
{
    TExclusiveLock lock;
    FFinished = true;
    Publish();
    // The working records are all shown now; their room is not needed.
    TItems().swap(FFound);
}

namespace {

// Brings a found record up to date with its file; false when the file is gone.
bool Restated(TFileItem& item, const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND;
    item.Attributes = data.dwFileAttributes;
    item.File.CreationTime = data.ftCreationTime;
    item.File.LastWriteTime = data.ftLastWriteTime;
    item.File.LastAccessTime = data.ftLastAccessTime;
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        item.Size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

}  // namespace

void TFounds::Load()
{
    CheckLockExclusive(L"the records of a search (refreshed)");
    auto restate = [&](TItems& records) {
        TItems kept;
        kept.reserve(records.size());
        for (TFileItem& item : records) {
            TPath path;
            GetItemPath(&item, &path);
            // A file that cannot be asked about (a drive gone for a moment,
            // no access) keeps its record: only what is surely gone goes.
            if (Restated(item, std::wstring(path.PathView())))
                kept.push_back(item);
        }
        records.swap(kept);
    };
    if (!FFinished) {
        // The search goes on adding to the working records: they are brought
        // up to date, and the views get a copy.
        restate(FFound);
        ReplaceItems(std::make_shared<TItems>(FFound.begin(), FFound.end()));
        return;
    }
    // The views still read the records they hold: a new array replaces them.
    std::shared_ptr<const TItems> shown = FItems;
    if (!shown)
        return;
    auto records = std::make_shared<TItems>(shown->begin(), shown->end());
    restate(*records);
    ReplaceItems(std::move(records));
}

TFounds* AsFounds(IFolder* folder)
{
    if (folder == nullptr)
        return nullptr;
    ComPtr<IFounds> founds = ComPtr<IFolder>(folder).as<IFounds>();
    return dynamic_cast<TFounds*>(founds.get());
}

void TFounds::RecordRenamed(std::wstring_view oldPath, std::wstring_view newPath)
{
    TExclusiveLock lock;
    size_t slash = newPath.find_last_of(L'\\');
    std::wstring_view bareName = slash == std::wstring_view::npos ? newPath : newPath.substr(slash + 1);
    if (newPath.size() >= std::size(TFileItem{}.Name) || bareName.size() >= std::size(TFileItem{}.DisplayName))
        return;
    auto rename = [&](TItems& records) {
        bool found = false;
        for (TFileItem& item : records) {
            TPath path;
            GetItemPath(&item, &path);
            if (SameText(path.PathView(), oldPath) != 0)
                continue;
            std::copy(newPath.begin(), newPath.end(), item.Name);
            item.Name[newPath.size()] = 0;
            item.NameLen = static_cast<int32_t>(newPath.size());
            std::copy(bareName.begin(), bareName.end(), item.DisplayName);
            item.DisplayName[bareName.size()] = 0;
            item.DisplayNameLen = static_cast<int32_t>(bareName.size());
            item.File.ShortNameLen = 0;
            item.File.ShortName[0] = 0;
            found = true;
        }
        return found;
    };
    bool found = false;
    if (!FFinished) {
        found = rename(FFound);
        if (found)
            ReplaceItems(std::make_shared<TItems>(FFound.begin(), FFound.end()));
    } else if (FItems) {
        auto records = std::make_shared<TItems>(FItems->begin(), FItems->end());
        found = rename(*records);
        if (found)
            ReplaceItems(std::move(records));
    }
    if (found)
        FObservable->Notify();
}

void TFounds::Publish()
{
    CheckLockExclusive(L"the records of a search (published)");
    auto shown = std::make_shared<TItems>(FFound.begin(), FFound.end());
    // The views still read records of the array they were shown last (their
    // marks, their caret) while they take up the new one.
    std::shared_ptr<TItems> previous = FItems;
    ReplaceItems(std::move(shown));
    FObservable->Notify();
}

// ---------------------------------------------------------------------------
// Content search

TContentWindows DefaultContentWindows() noexcept
{
#if defined(_WIN64)
    constexpr uint64_t kWholeLimit = uint64_t{256} << 20;
#else
    constexpr uint64_t kWholeLimit = uint64_t{64} << 20;
#endif
    return {kWholeLimit, size_t{32} << 20, size_t{1} << 20};
}

size_t NextWindowStart(const char* window, size_t length, size_t overlap, bool doubleByte)
{
    overlap = std::min(overlap, length);
    size_t nominal = length - overlap;
    // After a line break in the first half of the repeated part: patterns
    // that look at line starts see the same text as in one whole read, and
    // at least half the overlap is repeated.
    for (size_t i = nominal; i < nominal + overlap / 2; ++i)
        if (window[i] == '\n')
            return i + 1;
    if (!doubleByte)
        return nominal;
    // The character that holds the nominal start: the window itself begins
    // at a character start, so its lead bytes are counted from there.
    size_t position = 0;
    while (position < nominal) {
        size_t step = IsDBCSLeadByte(static_cast<BYTE>(window[position])) ? 2 : 1;
        if (position + step > nominal)
            break;
        position += step;
    }
    return position;
}

bool SearchFileContents(HANDLE file, IRegExp* pattern, const TContentWindows& windows, HANDLE stop)
{
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size))
        size.QuadPart = 0;
    uint64_t fileSize = static_cast<uint64_t>(size.QuadPart);
    // A file that fits is one text; a byte more than its size is asked for,
    // so that a file that grew meanwhile is read on rather than cut.
    bool whole = fileSize <= windows.WholeLimit;
    size_t windowSize = whole ? std::max<size_t>(static_cast<size_t>(fileSize) + 1, 65536) : windows.Window;
    size_t overlap = std::min(windows.Overlap, windowSize / 2);
    bool doubleByte = pattern->GetMode() == TRegExpMode::DoubleByte;

    std::unique_ptr<char[]> buffer(new (std::nothrow) char[windowSize]);
    if (!buffer)
        return false;
    size_t held = 0;
    bool first = true;
    for (;;) {
        bool atEnd = false;
        size_t added = 0;
        while (held < windowSize) {
            DWORD want = static_cast<DWORD>(std::min<size_t>(windowSize - held, size_t{1} << 24));
            DWORD got = 0;
            // A file that shrank, or a read that failed, ends the text here.
            if (!ReadFile(file, buffer.get() + held, want, &got, nullptr) || got == 0) {
                atEnd = true;
                break;
            }
            held += got;
            added += got;
        }
        // An empty file is searched once, as an empty text; a window with
        // nothing new was searched already.
        if (added == 0 && !first)
            return false;
        first = false;
        if (SearchRegExp(pattern, buffer.get(), held))
            return true;
        if (atEnd)
            return false;
        if (stop != nullptr && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0)
            return false;
        size_t next = NextWindowStart(buffer.get(), held, overlap, doubleByte);
        std::memmove(buffer.get(), buffer.get() + next, held - next);
        held -= next;
    }
}

// ---------------------------------------------------------------------------
// The search thread

namespace {

// Walks the tree below the root and adds each entry that passes to the
// results. It holds the application lock only inside Add and Finish (and
// briefly shared to ask for archivers); files are read with no hold.
class TGrepThread : public T0Thread {
public:
    TGrepThread(TFounds* founds, HANDLE stopEvent, ComPtr<IRegExp> pattern,
                std::unique_ptr<TWildCardExpression> filter, std::wstring root)
        : FFounds(founds), FPattern(std::move(pattern)), FFilter(std::move(filter)), FRoot(std::move(root)),
          FWindows(DefaultContentWindows())
    {
        HANDLE copy = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), stopEvent, GetCurrentProcess(), &copy, 0, FALSE,
                             DUPLICATE_SAME_ACCESS))
            RaiseLastOSError();
        FStopEvent.reset(copy);
    }

protected:
    void Execute() override
    {
        Walk(IncludeTrailingBackslash(FRoot));
        FFounds->Finish();
    }

    void Finalize() override
    {
        // The folder and the filter go with the walk, not with the thread
        // object, which lives on until the application reaps it.
        FFounds.reset();
        FFilter.reset();
        FPattern.reset();
        FStopEvent.reset();
        T0Thread::Finalize();
    }

private:
    void Walk(const std::wstring& dir)
    {
        WIN32_FIND_DATAW data;
        UniqueFindHandle find;
        {
            CriticalErrorsOff errorsOff;
            find.reset(FindFirstFileExW((dir + L"*").c_str(), FindExInfoStandard, &data, FindExSearchNameMatch,
                                        nullptr, 0));
        }
        if (!find)
            return;
        do {
            if (WaitForSingleObject(FStopEvent.get(), 0) == WAIT_OBJECT_0)
                throw EAbort();
            const wchar_t* name = data.cFileName;
            if (name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0')))
                continue;
            std::wstring_view entry(name);
            bool directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            if (FFilter->Matches(entry, data.dwFileAttributes) && Wanted(dir, data, directory))
                AddResult(dir, data, directory);
            // Below a directory whose own name fails the filter there may
            // still be files that pass.
            if (directory)
                Walk(dir + std::wstring(entry) + L"\\");
        } while (FindNextFileW(find.get(), &data));
    }

    bool Wanted(const std::wstring& dir, const WIN32_FIND_DATAW& data, bool directory)
    {
        if (!FPattern)
            return true;
        if (directory)
            return false;
        std::wstring path = dir + data.cFileName;
        // Sharing only reading: a file somebody is writing is left out, and
        // nobody can change it while it is read.
        UniqueFileHandle file;
        {
            CriticalErrorsOff errorsOff;
            file.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        }
        if (!file)
            return false;
        return SearchFileContents(file.get(), FPattern.get(), FWindows, FStopEvent.get());
    }

    void AddResult(const std::wstring& dir, const WIN32_FIND_DATAW& data, bool directory)
    {
        size_t nameLength = wcsnlen(data.cFileName, MAX_PATH);
        // A full path the record cannot hold is left out: a shortened one
        // would name another file, which a later delete would hit.
        if (dir.size() + nameLength > kNameRoom)
            return;
        TFileItem item;
        FillFileItem(item, data);
        if (!directory && !Enterable(std::wstring_view(data.cFileName, nameLength)))
            item.Caps &= static_cast<uint8_t>(~kCanEnter);
        if (item.File.ShortNameLen == 0)
            SetItemText(item.File.ShortName, item.File.ShortNameLen, std::wstring_view(data.cFileName, nameLength));
        std::wstring full = dir;
        full.append(data.cFileName, nameLength);
        SetItemText(item.Name, item.NameLen, full);
        FFounds->Add(item);
    }

    // Whether a loaded archiver takes the file, asked once per extension.
    bool Enterable(std::wstring_view name)
    {
        std::wstring extension = ExtractFileExt(name);
        if (extension.empty())
            return false;
        for (const auto& [known, enterable] : FArchivers)
            if (known == extension)
                return enterable;
        bool enterable = false;
        {
            TSharedLock lock;
            if (TFolderManager* manager = FolderManager())
                enterable = static_cast<bool>(manager->Archiver(name));
        }
        if (FArchivers.size() < 64)
            FArchivers.emplace_back(std::move(extension), enterable);
        return enterable;
    }

    ComPtr<TFounds> FFounds;
    ComPtr<IRegExp> FPattern;
    std::unique_ptr<TWildCardExpression> FFilter;
    UniqueHandle FStopEvent;
    std::wstring FRoot;
    TContentWindows FWindows;
    std::vector<std::pair<std::wstring, bool>> FArchivers;
};

} // namespace

ComPtr<IFounds> StartSearch(const TPath& root, ComPtr<IRegExp> pattern, std::unique_ptr<TWildCardExpression> filter,
                            TTickSource ticks)
{
    Assert(filter != nullptr, kUnit, L"a search without a filter");
    auto* founds = new TFounds(root, filter->Source());
    ComPtr<IFounds> result(static_cast<IFounds*>(founds));
    if (ticks != nullptr)
        founds->SetTickSource(ticks);
    T0Thread::StartThread<TGrepThread>(founds, founds->StopEvent(), std::move(pattern), std::move(filter),
                                       std::wstring(root.PathView()));
    return result;
}
