// The results of a file search: a folder of its own that a worker thread
// fills while it walks a directory tree.
#pragma once

// Folders
#include "folders/UFolders.h"

// Search
#include "search/RegExp.h"
#include "search/WildCard.h"

// Platform
#include <windows.h>

// Standard library
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// A folder of search results.
struct IFounds : IFolder {
    // The filter text the search selected its files with.
    virtual void STDMETHODCALLTYPE GetFilterText(BSTR* result) = 0;
};
__CRT_UUID_DECL(IFounds, 0xE26F487A, 0x62DA, 0x4ED7, 0x8E, 0x35, 0x5A, 0xD4, 0x17, 0x14, 0x8F, 0x4C)

inline bool IsFoundsFolder(IFolder* folder)
{
    return folder != nullptr && ComPtr<IFolder>(folder).as<IFounds>() != nullptr;
}

class TFounds;
// The results folder behind a folder, or null when it is another kind.
TFounds* AsFounds(IFolder* folder);

// The views are shown new results at most once in this many milliseconds
// while the search runs: a fast walk must not flood them with repaints.
inline constexpr DWORD kPublishInterval = 1000;

// Whether results found at now (GetTickCount) are shown, the last showing
// having been at lastPublished: only when strictly more than the interval has
// passed. The tick count wraps after 49 days; the difference does not care.
constexpr bool PublishDue(DWORD now, DWORD lastPublished) noexcept
{
    return static_cast<DWORD>(now - lastPublished) > kPublishInterval;
}

using TTickSource = DWORD(WINAPI*)();

// The results folder. Its records are the found entries, named by their
// full paths; the search thread adds them under the exclusive hold of the
// application lock and shows them to the views in batches.
class TFounds : public TFolderOf<IFounds> {
public:
    // A folder for results below root, not searching yet (StartSearch starts
    // one). filterText is what GetFilterText gives.
    TFounds(const TPath& root, std::wstring filterText);

    // IFolder
    void STDMETHODCALLTYPE GetDisplayPath(BSTR* result) override;
    uint8_t STDMETHODCALLTYPE GetCapabilities() override { return kCanSort | kHasParent; }
    HRESULT STDMETHODCALLTYPE SetPath(BSTR newPath) override;
    void STDMETHODCALLTYPE GetParentPath(TPath* result) override;
    bool STDMETHODCALLTYPE IsWithin(const TPath* path) override;
    void STDMETHODCALLTYPE GetItemPath(const TFileItem* item, TPath* result) override;
    void STDMETHODCALLTYPE GetStatusText(const TFileItem* item, BSTR* result) override;
    // IFounds
    void STDMETHODCALLTYPE GetFilterText(BSTR* result) override;

    // A found entry: kept, and shown to the views once more than a second
    // has passed since they were last shown the results. Takes the lock
    // exclusively; the caller holds nothing.
    void Add(const TFileItem& item);
    // The search is over: every result is shown. Takes the lock exclusively.
    void Finish();
    // A found file was renamed (by the rename action on the results): its
    // record takes the new name, so the results keep showing it. Takes the
    // lock exclusively.
    void RecordRenamed(std::wstring_view oldPath, std::wstring_view newPath);

    // Set when the results are no longer wanted (SetPath, the last view
    // left); the search ends at its next entry.
    HANDLE StopEvent() const { return FStopEvent.get(); }
    bool Stopped() const { return WaitForSingleObject(FStopEvent.get(), 0) == WAIT_OBJECT_0; }
    // Whether Finish ran; read under the lock.
    bool Finished() const;
    // The records found so far, shown or not; read under the lock.
    int32_t FoundCount() const;
    // Where the times of the publishing rule come from (GetTickCount unless
    // a test sets its own clock before the search starts).
    void SetTickSource(TTickSource ticks);

protected:
    ~TFounds() override;
    // The records come from the search thread. A refresh (after a file
    // operation on the results) drops the records whose files are gone and
    // takes up the sizes, times and attributes of the others.
    void Load() override;
    void LastObserverDetached() override;

private:
    // Shows the views the records found so far.
    void Publish();

    // The working records; the views see copies (FItems), so the array they
    // hold pointers into stays as it is until they are told of a new one.
    TItems FFound;
    DWORD FLastPublished = 0;
    UniqueHandle FStopEvent;
    std::wstring FFilterText;
    TTickSource FTicks;
    bool FFinished = false;
};

// How a file's contents are read for the content search. A file up to
// WholeLimit bytes is searched as one text. A larger one is read in windows of
// Window bytes; each next window repeats up to Overlap bytes of the one
// before, starting after the last line break in them or, without one, at a
// character start of the double-byte code page. A match is therefore found
// across a window boundary whenever it is no longer than Overlap bytes.
struct TContentWindows {
    uint64_t WholeLimit;
    size_t Window;
    size_t Overlap;
};

// The sizes the search uses: whole texts up to 256 MB on 64-bit Windows and
// 64 MB on 32-bit Windows, windows of 32 MB overlapping by 1 MB beyond.
TContentWindows DefaultContentWindows() noexcept;

// Where the window after window[0, length) begins, as an offset into it: see
// TContentWindows. overlap is less than length.
size_t NextWindowStart(const char* window, size_t length, size_t overlap, bool doubleByte);

// Whether the pattern is found in the rest of an open file, read as
// windows says. stop (may be null) is checked between windows: false when
// it is set. A read error ends the search with what was read so far.
bool SearchFileContents(HANDLE file, IRegExp* pattern, const TContentWindows& windows, HANDLE stop);

// Creates the results folder for a search below root and starts its thread:
// entries whose names and attributes pass filter and, with a pattern, files
// whose contents match it.
ComPtr<IFounds> StartSearch(const TPath& root, ComPtr<IRegExp> pattern, std::unique_ptr<TWildCardExpression> filter,
                            TTickSource ticks = nullptr);
