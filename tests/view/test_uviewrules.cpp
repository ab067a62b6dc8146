// The file list view's window-free rules: sort orders and their speed on
// hostile inputs, marks kept across a reload, entry and pane texts, and the
// placing of views in a filer window.

// Own
#include "view/UViewRules.h"

// Platform
#include <windows.h>

// Standard library
#include <algorithm>
#include <cmath>
#include <deque>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr int64_t kGiB = int64_t{1} << 30;

FILETIME MakeTime(uint64_t value) { return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)}; }

TFileItem MakeFile(std::wstring_view name, int64_t size = 0, uint64_t writeTime = 0, uint64_t accessTime = 0)
{
    TFileItem item{};
    SetItemText(item.Name, item.NameLen, name);
    SetItemText(item.DisplayName, item.DisplayNameLen, name);
    item.Kind = kKindFile;
    item.Size = size;
    item.AuxNumber = kNoAuxNumber;
    item.File.LastWriteTime = MakeTime(writeTime);
    item.File.LastAccessTime = MakeTime(accessTime);
    return item;
}

TFileItem MakeDirectory(std::wstring_view name, int64_t size = 0)
{
    TFileItem item = MakeFile(name, size);
    item.Attributes = FILE_ATTRIBUTE_DIRECTORY;
    return item;
}

std::vector<TFileItem*> Pointers(std::deque<TFileItem>& items)
{
    std::vector<TFileItem*> result;
    for (TFileItem& item : items)
        result.push_back(&item);
    return result;
}

std::string Narrow(std::wstring_view text) { return std::string(text.begin(), text.end()); }

} // namespace

void PrintTo(const TTextRun& run, std::ostream* out)
{
    *out << "{" << run.Column << ", \"" << Narrow(run.Text) << "\", role " << static_cast<int>(run.Role) << ", max "
         << run.MaxColumns << "}";
}

// Unique names (so every correct sort agrees) with many equal keys, so the
// display-name tie-break and the directory rule decide much of the order.
TEST(ViewSort, EveryKindMatchesAStableReference)
{
    const wchar_t* stems[] = {L"alpha", L"Beta", L"GAMMA", L"delta", L"資料", L"x"};
    const wchar_t* extensions[] = {L".txt", L".TXT", L".Doc", L"", L".tar.gz", L"."};
    const int64_t sizes[] = {0, 1, 1 * kGiB, 3 * kGiB, 5000};
    const uint64_t times[] = {0, 1, 0x01D000000000000ull, 0x01D000000000001ull};
    std::mt19937 random(42);
    std::deque<TFileItem> items;
    for (int i = 0; i < 300; ++i) {
        std::wstring name = stems[random() % 6] + std::to_wstring(i) + extensions[random() % 6];
        if (random() % 7 == 0)
            items.push_back(MakeDirectory(name, sizes[random() % 5]));
        else
            items.push_back(MakeFile(name, sizes[random() % 5], times[random() % 4], times[random() % 4]));
    }
    std::vector<TFileItem*> original = Pointers(items);
    std::shuffle(original.begin(), original.end(), random);
    for (int kind = 0; kind <= 15; ++kind) {
        auto sortKind = static_cast<uint8_t>(kind);
        std::vector<TFileItem*> expected = original;
        std::stable_sort(expected.begin(), expected.end(), [sortKind](const TFileItem* a, const TFileItem* b) {
            return CompareFileItems(a, b, sortKind) < 0;
        });
        std::vector<TFileItem*> sorted = original;
        SortFileItems(sorted, sortKind);
        EXPECT_EQ(sorted, expected) << "kind " << kind;
    }
}

TEST(ViewSort, KeysOfEachKind)
{
    TFileItem small = MakeFile(L"b.txt", 1 * kGiB, 5, 9);
    TFileItem large = MakeFile(L"a.TXT", 3 * kGiB, 0, 0x8000000000000000ull);
    TFileItem plain = MakeFile(L"c", 0, 7, 7);
    TFileItem folder = MakeDirectory(L"z", 0);
    TFileItem otherFolder = MakeDirectory(L"Y", 10 * kGiB);
    TFileItem shown = MakeFile(L"0.txt"); // a display name that sorts last
    SetItemText(shown.DisplayName, shown.DisplayNameLen, L"zzz");
    struct Case {
        const TFileItem* a;
        const TFileItem* b;
        int kind;
        int sign;
    };
    const Case cases[] = {
        {&large, &small, 7, 1},        // 3 GiB after 1 GiB
        {&large, &small, 8, -1},
        {&folder, &small, 3, -1},      // directories first...
        {&folder, &small, 4, 1},       // ...and last in the reversed kinds
        {&folder, &small, 1, 1},       // mixed: by name alone
        {&folder, &otherFolder, 7, 1}, // directories by name, never by size
        {&folder, &small, 13, -1},     // above 12 as 3
        {&folder, &small, 255, -1},
        {&large, &small, 5, -1},       // same extension in another case: by name
        {&plain, &small, 5, -1},       // no extension first
        {&large, &small, 9, -1},       // zero time first
        {&large, &small, 11, 1},       // times compare unsigned
        {&shown, &small, 3, 1},        // by display name...
        {&shown, &small, 1, -1},       // ...but kind 1 by name
        {&large, &small, 0, 0},
    };
    for (const Case& c : cases) {
        int result = CompareFileItems(c.a, c.b, static_cast<uint8_t>(c.kind));
        EXPECT_EQ((result > 0) - (result < 0), c.sign)
            << Narrow(ItemName(*c.a)) << " vs " << Narrow(ItemName(*c.b)) << " kind " << c.kind;
    }
}

TEST(ViewSort, LengthsOutsideTheBuffersAreKeptInside)
{
    TFileItem longName = MakeFile(std::wstring(300, L'a'));
    longName.NameLen = 100000;
    longName.DisplayNameLen = 100000;
    TFileItem negative = MakeFile(L"b");
    negative.NameLen = -5;
    negative.DisplayNameLen = -5;
    EXPECT_EQ(ItemName(longName).size(), 259u);
    EXPECT_EQ(ItemName(negative), L"");
    EXPECT_GT(CompareFileItems(&longName, &negative, kSortByName), 0);
    EXPECT_GT(CompareFileItems(&longName, &negative, kSortByExtension), 0);
}

// Comparisons counted on plain numbers: a quadratic path shows as a count,
// not as a slow test. The adversary decides each answer as the sort asks,
// driving any pivot rule it can into its worst case.
TEST(ViewSort, HostileOrdersStayNearNLogN)
{
    const size_t n = 100000;
    std::vector<std::vector<int>> inputs(4, std::vector<int>(n));
    std::iota(inputs[0].begin(), inputs[0].end(), 0);
    std::iota(inputs[1].rbegin(), inputs[1].rend(), 0);
    for (size_t i = 0; i < n; ++i)
        inputs[3][i] = static_cast<int>(i < n / 2 ? i : n - i); // organ pipe; inputs[2] all equal
    const double limit = 4.0 * n * std::log2(static_cast<double>(n));
    for (auto& values : inputs) {
        size_t comparisons = 0;
        ViewSort::Sort(values.data(), values.size(), [&](int a, int b) {
            ++comparisons;
            return a < b;
        });
        EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
        EXPECT_LT(static_cast<double>(comparisons), limit);
    }

    // The adversary: values frozen only when the sort forces a decision.
    const int count = 20000;
    std::vector<int> frozen(count, count), order(count);
    std::iota(order.begin(), order.end(), 0);
    int nextSolid = 0, candidate = 0;
    size_t comparisons = 0;
    ViewSort::Sort(order.data(), order.size(), [&](int a, int b) {
        ++comparisons;
        if (frozen[a] == count && frozen[b] == count)
            frozen[a == candidate ? a : b] = nextSolid++;
        if (frozen[a] == count)
            candidate = a;
        else if (frozen[b] == count)
            candidate = b;
        return frozen[a] < frozen[b];
    });
    EXPECT_LT(static_cast<double>(comparisons), 4.0 * count * std::log2(static_cast<double>(count)));
}

TEST(ViewSort, HundredThousandEntriesSortedReversedAndEqual)
{
    std::deque<TFileItem> items;
    for (int i = 0; i < 100000; ++i)
        items.push_back(MakeFile(L"File" + std::to_wstring(100000 + i) + L".txt"));
    auto less = [](const TFileItem* a, const TFileItem* b) { return CompareFileItems(a, b, kSortByName) < 0; };
    std::vector<TFileItem*> sorted = Pointers(items);
    SortFileItems(sorted, kSortByName);
    EXPECT_TRUE(std::is_sorted(sorted.begin(), sorted.end(), less));
    std::reverse(sorted.begin(), sorted.end());
    SortFileItems(sorted, kSortByName);
    EXPECT_TRUE(std::is_sorted(sorted.begin(), sorted.end(), less));
    std::vector<TFileItem*> equal(100000, &items.front());
    SortFileItems(equal, kSortByName);
    EXPECT_EQ(equal.front(), &items.front());
}

TEST(ViewReload, MarksFollowExactNamesToTheLastDuplicate)
{
    std::deque<TFileItem> fresh = {MakeFile(L"a"), MakeFile(L"b"), MakeFile(L"a"), MakeFile(L"B"), MakeFile(L"A")};
    std::vector<TFileItem*> newItems = Pointers(fresh);
    std::deque<TFileItem> old = {MakeFile(L"b"), MakeFile(L"a"), MakeFile(L"a"), MakeFile(L"gone"), MakeFile(L"x")};
    for (int i = 0; i < 4; ++i)
        old[i].ViewMark = 1;
    EXPECT_EQ(KeptMarks(Pointers(old), newItems), (std::vector<size_t>{1, 2}));

    const std::wstring_view upper[] = {L"A", L"B", L"b"};
    EXPECT_EQ(KeptMarks(upper, newItems), (std::vector<size_t>{1, 3, 4}));
    EXPECT_TRUE(KeptMarks(std::span<const std::wstring_view>(), newItems).empty());
}

TEST(ViewReload, HundredThousandMarkedEntries)
{
    std::deque<TFileItem> items;
    for (int i = 0; i < 100000; ++i)
        items.push_back(MakeFile(L"name" + std::to_wstring(i)));
    std::vector<std::wstring> names;
    for (int i = 99999; i >= 0; i -= 2)
        names.push_back(L"name" + std::to_wstring(i));
    std::vector<std::wstring_view> marked(names.begin(), names.end());
    std::vector<size_t> kept = KeptMarks(marked, Pointers(items));
    ASSERT_EQ(kept.size(), 50000u);
    EXPECT_EQ(kept.front(), 1u);
    EXPECT_EQ(kept.back(), 99999u);
}

TEST(ViewReload, TopAndCaretClamped)
{
    struct Case {
        TListPosition old;
        int32_t count;
        TListPosition expected;
    };
    const Case cases[] = {
        {{5, 7}, 0, {0, -1}}, {{5, 7}, 3, {2, 2}}, {{1, -1}, 3, {1, 0}}, {{-4, 1}, 3, {0, 1}}, {{0, -1}, 0, {0, -1}},
    };
    for (const Case& c : cases) {
        TListPosition result = ClampListPosition(c.old, c.count);
        EXPECT_EQ(result.TopIndex, c.expected.TopIndex) << c.count;
        EXPECT_EQ(result.CaretIndex, c.expected.CaretIndex) << c.count;
    }
}

TEST(ViewTexts, SizesAndPanes)
{
    struct Case {
        int64_t bytes;
        const wchar_t* text;
    };
    const Case cases[] = {
        {0, L"0"},           {1023, L"1023"},        {1024, L"1K"},           {1536, L"1K"},
        {1 << 20, L"1M"},    {(1 << 20) - 1, L"1023K"}, {3 * kGiB + 1, L"3G"}, {5000 * kGiB, L"5000G"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FormatSize(c.bytes), c.text) << c.bytes;
    EXPECT_EQ(SelectedSizeText(2 * 600 * 1024), L"Selected: 1M");
    EXPECT_EQ(FreeSpaceText(std::nullopt), L"Free: N/A");
    EXPECT_EQ(FreeSpaceText(4 * kGiB), L"Free: 4G");
    EXPECT_EQ(HeaderCounterText(2, 15, std::nullopt), L"   2/  15");
    EXPECT_EQ(HeaderCounterText(0, 3, 12345), L"   0/   3/12345");
    EXPECT_EQ(ViewPaneText(3, 1), L"□■□");

    EXPECT_EQ(BreakDisplayPath(L"C:\\Windows/System32\\"),
              (std::vector<std::wstring>{L"C:\\", L"Windows/", L"System32\\"}));
    EXPECT_EQ(BreakDisplayPath(L"::{20D04FE0}\\::{Net}a::b"),
              (std::vector<std::wstring>{L"::{20D04FE0}\\", L"::{Net}a", L"::b"}));
    EXPECT_TRUE(BreakDisplayPath(L"").empty());
}

TEST(ViewTexts, InfoLineOfAFile)
{
    // 2005-03-07 09:05:01 local time, stored as UTC like every file time.
    SYSTEMTIME local{2005, 3, 1, 7, 9, 5, 1, 0};
    FILETIME localTime, utc;
    ASSERT_TRUE(SystemTimeToFileTime(&local, &localTime) && LocalFileTimeToFileTime(&localTime, &utc));
    TFileItem item = MakeFile(L"Quarterly report.docx", 3 * kGiB);
    item.File.LastWriteTime = utc;
    SetItemText(item.File.ShortName, item.File.ShortNameLen, L"QUARTE~1.DOC");
    item.Attributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE;
    using R = TColorRole;
    EXPECT_EQ(InfoLineRuns(item, false), (std::vector<TTextRun>{{0, L"QUARTE~1", R::InfoText},
                                                                {9, L"DOC", R::Line},
                                                                {13, L"3221225472", R::InfoText},
                                                                {24, L"05-03-07", R::InfoText},
                                                                {33, L"09:05:01", R::InfoText},
                                                                {42, L"R--A", R::InfoText}}));

    // No short name, no time, a number instead of the attributes, marked.
    TFileItem bare = MakeFile(L"a.b.txt", 12);
    bare.AuxNumber = 7;
    EXPECT_EQ(InfoLineRuns(bare, true), (std::vector<TTextRun>{{0, L"a.b", R::SelectedInfoText},
                                                               {9, L"txt", R::Line},
                                                               {13, L"        12", R::SelectedInfoText},
                                                               {42, L"   7", R::SelectedInfoText}}));
    // A time the system cannot convert shows no date either.
    TFileItem folder = MakeDirectory(L"src");
    folder.File.LastWriteTime = MakeTime(0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(InfoLineRuns(folder, false), (std::vector<TTextRun>{{0, L"src", R::InfoText},
                                                                  {13, L"<< dir. >>", R::InfoText},
                                                                  {42, L"----", R::InfoText}}));
}

TEST(ViewTexts, InfoLineOfDrivesAndShellObjectsAndNameColours)
{
    using R = TColorRole;
    TFileItem drive = MakeFile(L"C:\\");
    drive.Kind = kKindDriveRoot;
    drive.Drive.DriveType = DRIVE_FIXED;
    SetItemText(drive.Drive.FileSystemName, drive.Drive.FileSystemNameLen, L"NTFS");
    drive.Size = 3 * kGiB;
    EXPECT_EQ(InfoLineRuns(drive, false), (std::vector<TTextRun>{{0, L"C:", R::Line},
                                                                 {4, L"Hard-Disk   ", R::InfoText},
                                                                 {17, L"NTFS", R::InfoText},
                                                                 {27, L"         3221225472", R::InfoText}}));
    drive.Size = -1;
    drive.Drive.DriveType = 9;
    drive.Drive.FileSystemNameLen = 0;
    EXPECT_EQ(InfoLineRuns(drive, false),
              (std::vector<TTextRun>{{0, L"C:", R::Line}, {4, L"???         ", R::InfoText}}));

    TFileItem shell = MakeFile(L"::{645FF040-5081-101B-9F08-00AA002F954E}");
    shell.Kind = kKindShellObject;
    EXPECT_EQ(InfoLineRuns(shell, false),
              (std::vector<TTextRun>{{0, std::wstring(ItemName(shell)), R::InfoText, kNameColumns}}));

    TFileItem enterable = shell;
    enterable.Caps = kCanEnter;
    TFileItem hiddenSystem = MakeFile(L"x");
    hiddenSystem.Attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY;
    TFileItem readOnlyFolder = MakeDirectory(L"d");
    readOnlyFolder.Attributes |= FILE_ATTRIBUTE_READONLY;
    TFileItem hiddenDrive = drive;
    hiddenDrive.Attributes = FILE_ATTRIBUTE_HIDDEN;
    EXPECT_EQ(NameColorRole(hiddenSystem, true), R::Selected);
    EXPECT_EQ(NameColorRole(hiddenDrive, false), R::FileName);
    EXPECT_EQ(NameColorRole(hiddenSystem, false), R::SystemFile);
    EXPECT_EQ(NameColorRole(readOnlyFolder, false), R::ReadOnly);
    EXPECT_EQ(NameColorRole(MakeDirectory(L"d"), false), R::Directory);
    EXPECT_EQ(NameColorRole(enterable, false), R::Directory);
    EXPECT_EQ(NameColorRole(shell, false), R::Virtual);
    EXPECT_EQ(NameColorRole(MakeFile(L"f"), false), R::FileName);
}

TEST(ViewLayout, StripKeepsTheCurrentViewInSight)
{
    struct Case {
        int32_t views, clientWidth, current, currentX;
        bool shrink;
        int32_t width;
        std::vector<int32_t> x;
    };
    const Case cases[] = {
        {3, 1000, 2, 800, false, 1000, {-200, 200, 600}}, // focus moved to the rightmost, which stuck out
        {3, 1000, 2, 1500, false, 1000, {-200, 200, 600}}, // entirely beyond the edge
        {3, 1000, 0, -200, false, 1000, {0, 400, 800}},    // back to the leftmost
        {3, 1000, 1, 600, false, 1000, {0, 400, 800}},     // no gap before the first view
        {3, 1100, 2, 600, false, 1100, {-100, 300, 700}},  // nor after the last
        {2, 1000, 1, 400, true, 800, {0, 400}},            // wider than all views
        {1, 300, 0, 0, false, 300, {0}},                   // narrower than one view
    };
    for (const Case& c : cases) {
        TViewStripLayout layout = LayoutViewStrip(c.views, 400, c.clientWidth, c.current, c.currentX);
        EXPECT_EQ(layout.ShrinkClient, c.shrink) << c.clientWidth << " " << c.currentX;
        EXPECT_EQ(layout.ClientWidth, c.width) << c.clientWidth << " " << c.currentX;
        EXPECT_EQ(layout.ViewX, c.x) << c.clientWidth << " " << c.currentX;
    }
    EXPECT_TRUE(LayoutViewStrip(0, 400, 1000, 0, 0).ViewX.empty());
}
