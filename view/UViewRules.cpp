// Own
#include "view/UViewRules.h"

// Folders
#include "folders/SysUtilsW.h"

// Platform
#include <windows.h>

// Standard library
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <unordered_set>

namespace {

// ---------------------------------------------------------------------------
// Record texts

// A length as the record states it, kept inside its buffer: records also
// come from archiver modules, which may state anything.
template <size_t N>
std::wstring_view BufferText(const wchar_t (&buffer)[N], int32_t length)
{
    size_t kept = length <= 0 ? 0 : std::min(static_cast<size_t>(length), N - 1);
    return std::wstring_view(buffer, kept);
}

bool IsDirectory(const TFileItem& item) { return (item.Attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// The extension with its dot, as ExtractFileExt gives it, without a copy.
std::wstring_view ExtensionOf(std::wstring_view name)
{
    size_t dot = name.find_last_of(L".\\:");
    if (dot == std::wstring_view::npos || name[dot] != L'.')
        return {};
    return name.substr(dot);
}

// ---------------------------------------------------------------------------
// Sorting

int CompareFileTimes(const FILETIME& a, const FILETIME& b) { return ::CompareFileTime(&a, &b); }

int CompareSizes(int64_t a, int64_t b) { return a < b ? -1 : a > b ? 1 : 0; }

int CompareByDisplayName(const TFileItem& a, const TFileItem& b)
{
    return SameText(ItemDisplayName(a), ItemDisplayName(b));
}

// Two files by the key of the kind; equal keys by display name.
int CompareFiles(const TFileItem& a, const TFileItem& b, uint8_t ascendingKind)
{
    int result = 0;
    switch (ascendingKind) {
    case kSortByExtension:
        result = SameText(ExtensionOf(ItemName(a)), ExtensionOf(ItemName(b)));
        break;
    case kSortBySize:
        result = CompareSizes(a.Size, b.Size);
        break;
    case kSortByWriteTime:
        result = CompareFileTimes(a.File.LastWriteTime, b.File.LastWriteTime);
        break;
    case kSortByAccessTime:
        result = CompareFileTimes(a.File.LastAccessTime, b.File.LastAccessTime);
        break;
    default:
        break;
    }
    return result != 0 ? result : CompareByDisplayName(a, b);
}

int CompareAscending(const TFileItem& a, const TFileItem& b, uint8_t ascendingKind)
{
    if (ascendingKind == kSortByNameMixed)
        return SameText(ItemName(a), ItemName(b));
    bool aIsDirectory = IsDirectory(a);
    bool bIsDirectory = IsDirectory(b);
    if (aIsDirectory != bIsDirectory)
        return aIsDirectory ? -1 : 1;
    if (aIsDirectory)
        return CompareByDisplayName(a, b);
    return CompareFiles(a, b, ascendingKind);
}

} // namespace

std::wstring_view ItemName(const TFileItem& item) { return BufferText(item.Name, item.NameLen); }

std::wstring_view ItemDisplayName(const TFileItem& item)
{
    return BufferText(item.DisplayName, item.DisplayNameLen);
}

int CompareFileItems(const TFileItem* a, const TFileItem* b, uint8_t sortKind)
{
    if (sortKind == kSortNone)
        return 0;
    if (sortKind > kLastSortKind)
        sortKind = kSortByName;
    // The even kinds turn the whole order round, directories included.
    if (sortKind % 2 == 0)
        return CompareAscending(*b, *a, static_cast<uint8_t>(sortKind - 1));
    return CompareAscending(*a, *b, sortKind);
}

namespace {

// An entry with the collation keys of its texts: comparing two keys byte by
// byte orders them as CompareStringW (system locale, ignoring case) orders
// the texts, so the sort asks the system once per entry instead of once per
// comparison.
struct TKeyedItem {
    TFileItem* Item;
    uint32_t NameKey;      // offset of the key of the name the kind compares
    uint32_t ExtensionKey; // offset of the extension's key (kind 5)
};

class TSortKeys {
public:
    uint32_t Add(std::wstring_view text)
    {
        auto offset = static_cast<uint32_t>(FBytes.size());
        int length = ClampedLength(text);
        int size = length > 0 ? LCMapStringW(LOCALE_SYSTEM_DEFAULT, LCMAP_SORTKEY | NORM_IGNORECASE, text.data(),
                                             length, nullptr, 0)
                              : 0;
        if (size <= 0) {
            FBytes.push_back('\0');
            return offset;
        }
        FBytes.resize(offset + static_cast<size_t>(size));
        LCMapStringW(LOCALE_SYSTEM_DEFAULT, LCMAP_SORTKEY | NORM_IGNORECASE, text.data(), length,
                     reinterpret_cast<LPWSTR>(FBytes.data() + offset), size);
        // The key ends with a zero byte; a short answer is ended here.
        FBytes.back() = '\0';
        return offset;
    }
    int Compare(uint32_t a, uint32_t b) const
    {
        int result = std::strcmp(FBytes.data() + a, FBytes.data() + b);
        return result < 0 ? -1 : result > 0 ? 1 : 0;
    }

private:
    static int ClampedLength(std::wstring_view text)
    {
        return static_cast<int>(std::min<size_t>(text.size(), 0x7FFFFFFF));
    }

    std::vector<char> FBytes;
};

int CompareKeyedAscending(const TKeyedItem& a, const TKeyedItem& b, uint8_t ascendingKind, const TSortKeys& keys)
{
    if (ascendingKind == kSortByNameMixed)
        return keys.Compare(a.NameKey, b.NameKey);
    bool aIsDirectory = IsDirectory(*a.Item);
    bool bIsDirectory = IsDirectory(*b.Item);
    if (aIsDirectory != bIsDirectory)
        return aIsDirectory ? -1 : 1;
    int result = 0;
    if (!aIsDirectory) {
        switch (ascendingKind) {
        case kSortByExtension:
            result = keys.Compare(a.ExtensionKey, b.ExtensionKey);
            break;
        case kSortBySize:
            result = CompareSizes(a.Item->Size, b.Item->Size);
            break;
        case kSortByWriteTime:
            result = CompareFileTimes(a.Item->File.LastWriteTime, b.Item->File.LastWriteTime);
            break;
        case kSortByAccessTime:
            result = CompareFileTimes(a.Item->File.LastAccessTime, b.Item->File.LastAccessTime);
            break;
        default:
            break;
        }
    }
    return result != 0 ? result : keys.Compare(a.NameKey, b.NameKey);
}

} // namespace

void SortFileItems(TFileItem** items, size_t count, uint8_t sortKind)
{
    if (sortKind == kSortNone || count < 2)
        return;
    if (sortKind > kLastSortKind)
        sortKind = kSortByName;
    bool reversed = sortKind % 2 == 0;
    auto ascendingKind = static_cast<uint8_t>(reversed ? sortKind - 1 : sortKind);

    TSortKeys keys;
    std::vector<TKeyedItem> keyed(count);
    for (size_t i = 0; i < count; ++i) {
        const TFileItem& item = *items[i];
        keyed[i].Item = items[i];
        keyed[i].NameKey = keys.Add(ascendingKind == kSortByNameMixed ? ItemName(item) : ItemDisplayName(item));
        keyed[i].ExtensionKey = ascendingKind == kSortByExtension ? keys.Add(ExtensionOf(ItemName(item))) : 0;
    }
    ViewSort::Sort(keyed.data(), count, [&](const TKeyedItem& a, const TKeyedItem& b) {
        return reversed ? CompareKeyedAscending(b, a, ascendingKind, keys) < 0
                        : CompareKeyedAscending(a, b, ascendingKind, keys) < 0;
    });
    for (size_t i = 0; i < count; ++i)
        items[i] = keyed[i].Item;
}

// ---------------------------------------------------------------------------
// Reload

std::vector<size_t> KeptMarks(std::span<const std::wstring_view> markedNames, std::span<TFileItem* const> newItems)
{
    std::vector<size_t> marked;
    if (markedNames.empty())
        return marked;
    std::unordered_set<std::wstring_view> waiting(markedNames.begin(), markedNames.end());
    // From the end, so that of several entries with one name the last is
    // marked; a name found is used up.
    for (size_t i = newItems.size(); i-- > 0 && !waiting.empty();) {
        if (waiting.erase(ItemName(*newItems[i])) != 0)
            marked.push_back(i);
    }
    std::reverse(marked.begin(), marked.end());
    return marked;
}

std::vector<size_t> KeptMarks(std::span<const TFileItem* const> oldItems, std::span<TFileItem* const> newItems)
{
    std::vector<std::wstring_view> names;
    for (const TFileItem* item : oldItems) {
        if (item->ViewMark != 0)
            names.push_back(ItemName(*item));
    }
    return KeptMarks(std::span<const std::wstring_view>(names), newItems);
}

TListPosition ClampListPosition(TListPosition old, int32_t count)
{
    TListPosition result = old;
    if (count <= 0) {
        result.TopIndex = 0;
        result.CaretIndex = -1;
        return result;
    }
    result.TopIndex = std::clamp(old.TopIndex, 0, count - 1);
    result.CaretIndex = old.CaretIndex < 0 ? 0 : std::min(old.CaretIndex, count - 1);
    return result;
}

// ---------------------------------------------------------------------------
// Texts

namespace {

constexpr int32_t kExtensionColumn = 9;
constexpr int32_t kSizeColumn = 13;
constexpr int32_t kDateColumn = 24;
constexpr int32_t kTimeColumn = 33;
constexpr int32_t kAttributeColumn = 42;
constexpr int32_t kDriveTypeColumn = 4;
constexpr int32_t kFileSystemColumn = 17;
constexpr int32_t kDriveSizeColumn = 27;
constexpr size_t kDriveLetterLength = 2;

constexpr int64_t kKilo = 1024;
constexpr int64_t kMega = kKilo * 1024;
constexpr int64_t kGiga = kMega * 1024;

constexpr wchar_t kDirectoryText[] = L"<< dir. >>";
constexpr wchar_t kUnknownDriveType[] = L"???         ";
constexpr const wchar_t* kDriveTypeTexts[] = {
    L"Removable   ", // DRIVE_REMOVABLE
    L"Hard-Disk   ", // DRIVE_FIXED
    L"Remote-Drive", // DRIVE_REMOTE
    L"Compact-Disk", // DRIVE_CDROM
    L"RAM-Disk    ", // DRIVE_RAMDISK
};

template <class... Args>
std::wstring Format(const wchar_t* format, Args... args)
{
    wchar_t buffer[64];
    int length = std::swprintf(buffer, std::size(buffer), format, args...);
    return std::wstring(buffer, length > 0 ? static_cast<size_t>(length) : 0);
}

void AddRun(std::vector<TTextRun>& runs, int32_t column, std::wstring_view text, TColorRole role,
            int32_t maxColumns = 0)
{
    if (!text.empty())
        runs.push_back(TTextRun{column, std::wstring(text), role, maxColumns});
}

bool IsZero(const FILETIME& time) { return time.dwLowDateTime == 0 && time.dwHighDateTime == 0; }

// "----" with R, H, S, A in their places for the attributes that are set.
std::wstring AttributeLetters(uint32_t attributes)
{
    std::wstring letters = L"----";
    if (attributes & FILE_ATTRIBUTE_READONLY)
        letters[0] = L'R';
    if (attributes & FILE_ATTRIBUTE_HIDDEN)
        letters[1] = L'H';
    if (attributes & FILE_ATTRIBUTE_SYSTEM)
        letters[2] = L'S';
    if (attributes & FILE_ATTRIBUTE_ARCHIVE)
        letters[3] = L'A';
    return letters;
}

void AddFileRuns(std::vector<TTextRun>& runs, const TFileItem& item, TColorRole infoRole)
{
    std::wstring_view shortName = BufferText(item.File.ShortName, item.File.ShortNameLen);
    std::wstring_view name = shortName.empty() ? ItemName(item) : shortName;
    size_t dot = name.rfind(L'.');
    if (dot == std::wstring_view::npos) {
        AddRun(runs, 0, name, infoRole);
    } else {
        AddRun(runs, 0, name.substr(0, dot), infoRole);
        AddRun(runs, kExtensionColumn, name.substr(dot + 1), TColorRole::Line);
    }

    if (IsDirectory(item))
        AddRun(runs, kSizeColumn, kDirectoryText, infoRole);
    else
        AddRun(runs, kSizeColumn, Format(L"%10lld", static_cast<long long>(item.Size)), infoRole);

    // A time the system cannot convert is shown like an unknown one.
    FILETIME local;
    SYSTEMTIME time;
    if (!IsZero(item.File.LastWriteTime) && ::FileTimeToLocalFileTime(&item.File.LastWriteTime, &local) &&
        ::FileTimeToSystemTime(&local, &time)) {
        AddRun(runs, kDateColumn, Format(L"%02u-%02u-%02u", time.wYear % 100u, unsigned{time.wMonth}, unsigned{time.wDay}), infoRole);
        AddRun(runs, kTimeColumn, Format(L"%02u:%02u:%02u", unsigned{time.wHour}, unsigned{time.wMinute}, unsigned{time.wSecond}), infoRole);
    }

    if (item.AuxNumber == kNoAuxNumber)
        AddRun(runs, kAttributeColumn, AttributeLetters(item.Attributes), infoRole);
    else
        AddRun(runs, kAttributeColumn, Format(L"%4u", static_cast<unsigned>(item.AuxNumber)), infoRole);
}

void AddDriveRuns(std::vector<TTextRun>& runs, const TFileItem& item, TColorRole infoRole)
{
    AddRun(runs, 0, ItemName(item).substr(0, kDriveLetterLength), TColorRole::Line);
    int32_t type = item.Drive.DriveType;
    bool known = type >= DRIVE_REMOVABLE && type <= DRIVE_RAMDISK;
    AddRun(runs, kDriveTypeColumn, known ? kDriveTypeTexts[type - DRIVE_REMOVABLE] : kUnknownDriveType, infoRole);
    AddRun(runs, kFileSystemColumn, BufferText(item.Drive.FileSystemName, item.Drive.FileSystemNameLen), infoRole);
    if (item.Size != -1)
        AddRun(runs, kDriveSizeColumn, Format(L"%19lld", static_cast<long long>(item.Size)), infoRole);
}

} // namespace

TColorRole NameColorRole(const TFileItem& item, bool marked)
{
    if (marked)
        return TColorRole::Selected;
    if (item.Kind == kKindDriveRoot)
        return TColorRole::FileName;
    if (item.Attributes & FILE_ATTRIBUTE_SYSTEM)
        return TColorRole::SystemFile;
    if (item.Attributes & FILE_ATTRIBUTE_HIDDEN)
        return TColorRole::Hidden;
    if (item.Attributes & FILE_ATTRIBUTE_READONLY)
        return TColorRole::ReadOnly;
    if (IsDirectory(item) || (item.Kind != kKindFile && (item.Caps & kCanEnter) != 0))
        return TColorRole::Directory;
    if (item.Kind == kKindShellObject)
        return TColorRole::Virtual;
    return TColorRole::FileName;
}

std::vector<TTextRun> InfoLineRuns(const TFileItem& item, bool marked)
{
    TColorRole infoRole = marked ? TColorRole::SelectedInfoText : TColorRole::InfoText;
    std::vector<TTextRun> runs;
    switch (item.Kind) {
    case kKindFile:
        AddFileRuns(runs, item, infoRole);
        break;
    case kKindDriveRoot:
        AddDriveRuns(runs, item, infoRole);
        break;
    default:
        AddRun(runs, 0, ItemName(item), infoRole, kNameColumns);
        break;
    }
    return runs;
}

std::wstring FormatSize(int64_t bytes)
{
    // Sums of large files do not fit an int: the number is printed whole.
    if (bytes >= kGiga)
        return std::to_wstring(bytes / kGiga) + L"G";
    if (bytes >= kMega)
        return std::to_wstring(bytes / kMega) + L"M";
    if (bytes >= kKilo)
        return std::to_wstring(bytes / kKilo) + L"K";
    return std::to_wstring(bytes);
}

std::wstring SelectedSizeText(int64_t bytes) { return L"Selected: " + FormatSize(bytes); }

std::wstring FreeSpaceText(std::optional<int64_t> bytes)
{
    return bytes ? L"Free: " + FormatSize(*bytes) : std::wstring(L"Free: N/A");
}

std::wstring HeaderCounterText(int32_t marked, int32_t count, std::optional<int32_t> total)
{
    if (total)
        return Format(L"%4d/%4d/%4d", marked, count, *total);
    return Format(L"%4d/%4d", marked, count);
}

std::vector<std::wstring> BreakDisplayPath(std::wstring_view path)
{
    std::vector<std::wstring> pieces;
    size_t start = 0;
    for (size_t i = 1; i < path.size(); ++i) {
        bool afterSeparator = path[i - 1] == L'\\' || path[i - 1] == L'/';
        bool beforeColons = path.substr(i, 2) == L"::";
        if (afterSeparator || beforeColons) {
            pieces.emplace_back(path.substr(start, i - start));
            start = i;
        }
    }
    if (start < path.size())
        pieces.emplace_back(path.substr(start));
    return pieces;
}

std::wstring ViewPaneText(int32_t viewCount, int32_t currentIndex)
{
    std::wstring text;
    for (int32_t i = 0; i < viewCount; ++i)
        text += i == currentIndex ? L'■' : L'□';
    return text;
}

// ---------------------------------------------------------------------------
// Filer window layout

TViewStripLayout LayoutViewStrip(int32_t viewCount, int32_t viewWidth, int32_t clientWidth, int32_t currentIndex,
                                 int32_t currentX)
{
    TViewStripLayout layout;
    layout.ClientWidth = clientWidth;
    if (viewCount <= 0 || viewWidth <= 0)
        return layout;
    currentIndex = std::clamp(currentIndex, 0, viewCount - 1);
    int64_t stripWidth = int64_t{viewCount} * viewWidth;
    int32_t x;
    if (stripWidth < clientWidth) {
        // No empty space beside the views: the client shrinks to the strip.
        layout.ShrinkClient = true;
        layout.ClientWidth = static_cast<int32_t>(stripWidth);
        x = currentIndex * viewWidth;
    } else {
        // The current view wholly in sight, its left part first when even
        // one view is wider than the client.
        x = std::max(std::min(currentX, clientWidth - viewWidth), 0);
        x = std::min(x, currentIndex * viewWidth);
        int64_t stripEnd = x + int64_t{viewCount - currentIndex} * viewWidth;
        if (stripEnd < clientWidth)
            x += static_cast<int32_t>(clientWidth - stripEnd);
    }
    layout.ViewX.reserve(static_cast<size_t>(viewCount));
    for (int32_t i = 0; i < viewCount; ++i)
        layout.ViewX.push_back((i - currentIndex) * viewWidth + x);
    return layout;
}
