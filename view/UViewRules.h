// The file list view's rules that need no window: the sort orders, keeping
// marks across a reload, the texts of an entry and of the status panes, and
// the placing of views side by side in a filer window.
#pragma once

// Folders
#include "folders/UFolders.h"

// Standard library
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// ---------------------------------------------------------------------------
// Sorting

// Sort kinds: odd ones ascending, the even kind one above the exact reverse.
// Kinds above the last sort like kSortByName.
enum : uint8_t {
    kSortNone = 0,
    kSortByNameMixed = 1, // directories mixed with files
    kSortByName = 3,
    kSortByExtension = 5,
    kSortBySize = 7,
    kSortByWriteTime = 9,
    kSortByAccessTime = 11,
    kLastSortKind = 12,
    kInitialSortKind = kSortByName,
};

// Orders two entries for a sort kind: negative, zero or positive. Kind 0 is
// the folder's own order, so every pair compares equal.
int CompareFileItems(const TFileItem* a, const TFileItem* b, uint8_t sortKind);

// Sorts the pointers in place; kind 0 leaves them as they are. Not stable.
void SortFileItems(TFileItem** items, size_t count, uint8_t sortKind);
inline void SortFileItems(std::vector<TFileItem*>& items, uint8_t sortKind)
{
    SortFileItems(items.data(), items.size(), sortKind);
}

namespace ViewSort {

// Ranges this short are finished by insertion sort.
inline constexpr ptrdiff_t kInsertionSortLimit = 21;

template <class T, class Less>
void InsertionSort(T* items, ptrdiff_t first, ptrdiff_t last, Less& less)
{
    for (ptrdiff_t i = first + 1; i <= last; ++i) {
        T moving = std::move(items[i]);
        ptrdiff_t j = i;
        for (; j > first && less(moving, items[j - 1]); --j)
            items[j] = std::move(items[j - 1]);
        items[j] = std::move(moving);
    }
}

template <class T, class Less>
void SiftDown(T* items, ptrdiff_t first, ptrdiff_t root, ptrdiff_t size, Less& less)
{
    for (;;) {
        ptrdiff_t child = 2 * root + 1;
        if (child >= size)
            return;
        if (child + 1 < size && less(items[first + child], items[first + child + 1]))
            ++child;
        if (!less(items[first + root], items[first + child]))
            return;
        std::swap(items[first + root], items[first + child]);
        root = child;
    }
}

// The way out when partitioning keeps going badly: a crafted set of names
// must not turn a refresh into minutes of sorting.
template <class T, class Less>
void HeapSort(T* items, ptrdiff_t first, ptrdiff_t last, Less& less)
{
    ptrdiff_t size = last - first + 1;
    for (ptrdiff_t root = size / 2 - 1; root >= 0; --root)
        SiftDown(items, first, root, size, less);
    for (ptrdiff_t end = size - 1; end > 0; --end) {
        std::swap(items[first], items[first + end]);
        SiftDown(items, first, 0, end, less);
    }
}

// Puts the median of the first, middle and last entries in the middle, the
// smallest first and the largest last, where they stop the partition scans.
template <class T, class Less>
void OrderThree(T* items, ptrdiff_t first, ptrdiff_t middle, ptrdiff_t last, Less& less)
{
    if (less(items[middle], items[first]))
        std::swap(items[middle], items[first]);
    if (less(items[last], items[first]))
        std::swap(items[last], items[first]);
    if (less(items[last], items[middle]))
        std::swap(items[last], items[middle]);
}

// Splits [first, last] around the median of three; returns the last index
// of the lower part, which is never empty and never the whole range.
template <class T, class Less>
ptrdiff_t Partition(T* items, ptrdiff_t first, ptrdiff_t last, Less& less)
{
    ptrdiff_t middle = first + (last - first) / 2;
    OrderThree(items, first, middle, last, less);
    T pivot = items[middle];
    ptrdiff_t i = first;
    ptrdiff_t j = last;
    // Entries equal to the pivot stop both scans, so equal keys split evenly.
    // The bounds only matter for a comparison that contradicts itself.
    for (;;) {
        do
            ++i;
        while (i < last && less(items[i], pivot));
        do
            --j;
        while (j > first && less(pivot, items[j]));
        if (i >= j)
            return j;
        std::swap(items[i], items[j]);
    }
}

// Quicksort over indices with a median-of-three pivot and insertion sort for
// short ranges. It recurses only into the smaller part, so the stack stays
// within log2(count) frames whatever the input.
template <class T, class Less>
void QuickSort(T* items, ptrdiff_t first, ptrdiff_t last, int depthLeft, Less& less)
{
    while (last - first + 1 > kInsertionSortLimit) {
        if (depthLeft-- == 0) {
            HeapSort(items, first, last, less);
            return;
        }
        ptrdiff_t split = Partition(items, first, last, less);
        if (split - first < last - split) {
            QuickSort(items, first, split, depthLeft, less);
            first = split + 1;
        } else {
            QuickSort(items, split + 1, last, depthLeft, less);
            last = split;
        }
    }
    InsertionSort(items, first, last, less);
}

// Sorts count values by less; the view sort with any order.
template <class T, class Less>
void Sort(T* items, size_t count, Less less)
{
    if (count < 2)
        return;
    int depth = 0;
    for (size_t n = count; n > 1; n >>= 1)
        depth += 2;
    QuickSort(items, 0, static_cast<ptrdiff_t>(count) - 1, depth, less);
}

} // namespace ViewSort

// ---------------------------------------------------------------------------
// Reload

// The indices of the new list to mark after a reload, ascending: for each
// name marked before, the last new entry with exactly that name
// (case-sensitive). Linear in the lengths of both lists.
std::vector<size_t> KeptMarks(std::span<const std::wstring_view> markedNames, std::span<TFileItem* const> newItems);

// The same, reading the marks from the old entries' ViewMark bytes; the old
// records stay valid while the view reloads.
std::vector<size_t> KeptMarks(std::span<const TFileItem* const> oldItems, std::span<TFileItem* const> newItems);

struct TListPosition {
    int32_t TopIndex;
    int32_t CaretIndex; // -1: no caret
};

// Where top and caret go when the list now holds count entries.
TListPosition ClampListPosition(TListPosition old, int32_t count);

// The text of a record's name, its length kept inside the buffer.
std::wstring_view ItemName(const TFileItem& item);
std::wstring_view ItemDisplayName(const TFileItem& item);

// ---------------------------------------------------------------------------
// Texts

// The view's colours, in the order of the skin settings.
enum class TColorRole : uint8_t {
    Background,
    FileName,
    SystemFile,
    Hidden,
    ReadOnly,
    Directory,
    Virtual,
    Selected,
    Line,
    InfoText,
    SelectedInfoText,
};
inline constexpr size_t kColorRoleCount = 11;

// A piece of an entry's info line: Column counts character widths from the
// entry's text origin; MaxColumns, when not 0, is the width the view fits
// the text into (shortening it as list boxes do).
struct TTextRun {
    int32_t Column;
    std::wstring Text;
    TColorRole Role;
    int32_t MaxColumns = 0;

    bool operator==(const TTextRun&) const = default;
};

// Columns of the name line and the info line.
inline constexpr int32_t kNameColumns = 46;
inline constexpr int32_t kNameLineEndColumn = 47;

// The colour of an entry's name line.
TColorRole NameColorRole(const TFileItem& item, bool marked);

// The info line of an entry (the second text line), as placed runs.
std::vector<TTextRun> InfoLineRuns(const TFileItem& item, bool marked);

// A byte count in whole units, rounded down: "1K", "3G", "1023".
std::wstring FormatSize(int64_t bytes);
// The info pane: the size of the marked files, or the free space of the
// drive (none when the system could not tell).
std::wstring SelectedSizeText(int64_t bytes);
std::wstring FreeSpaceText(std::optional<int64_t> bytes);

// The header's counters: marked/count, and with a filter marked/count/total.
std::wstring HeaderCounterText(int32_t marked, int32_t count, std::optional<int32_t> total);

// The display path in the pieces the header wraps between: each piece ends
// after a "\" or "/" or before a "::". The pieces joined give the path.
std::vector<std::wstring> BreakDisplayPath(std::wstring_view path);

// The view pane: one square per view, the current one filled.
std::wstring ViewPaneText(int32_t viewCount, int32_t currentIndex);

// ---------------------------------------------------------------------------
// Filer window layout

struct TViewStripLayout {
    // The client area is wider than all views: shrink it to ClientWidth.
    bool ShrinkClient = false;
    int32_t ClientWidth = 0;
    // Left edge of each view, in the window's order.
    std::vector<int32_t> ViewX;
};

// Places views of width viewWidth side by side in a client area, the strip
// scrolled so that the current view (now at currentX) is in sight.
TViewStripLayout LayoutViewStrip(int32_t viewCount, int32_t viewWidth, int32_t clientWidth, int32_t currentIndex,
                                 int32_t currentX);
