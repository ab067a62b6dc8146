// Sorting 100,000 entries the way the file list view does (by name,
// directories first), against std::sort with the same comparison in the
// same run:
//   ratio sort = view sort time / std::sort time, shuffled input
// Each time is the best of several rounds on the same input. Sorted,
// reversed and all-equal inputs are timed too, as the view meets them on
// every refresh of a sorted folder.

// View
#include "view/UViewRules.h"

// Platform
#include <windows.h>

// Standard library
#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench/BenchShared.h"

namespace {

constexpr size_t kItemCount = 100000;
constexpr int kRounds = 5;
constexpr uint8_t kBenchKind = kSortByName;
// One entry in this many is a directory.
constexpr unsigned kDirectoryEvery = 12;

// Names as a user's folders hold them: camera and scanner numbers, dated
// reports, mixed case, Japanese names, a few directories.
void FillItems(std::vector<TFileItem>& items)
{
    const wchar_t* stems[] = {L"IMG_", L"DSC", L"Report ", L"report_", L"invoice", L"Meeting Notes ",
                              L"資料", L"データ", L"backup-", L"Photo", L"scan", L"議事録_", L"README", L"setup"};
    const wchar_t* extensions[] = {L".jpg", L".JPG", L".txt", L".docx", L".pdf", L".cpp", L".h", L".zip", L""};
    const wchar_t* directories[] = {L"src", L"Docs", L"Project", L"写真", L"old", L"Backup"};
    std::mt19937 random(12345);
    for (size_t i = 0; i < items.size(); ++i) {
        TFileItem& item = items[i];
        item = TFileItem{};
        item.Kind = kKindFile;
        item.AuxNumber = kNoAuxNumber;
        std::wstring name;
        if (random() % kDirectoryEvery == 0) {
            name = directories[random() % std::size(directories)] + std::to_wstring(random() % 1000);
            item.Attributes = FILE_ATTRIBUTE_DIRECTORY;
        } else {
            name = stems[random() % std::size(stems)] + std::to_wstring(random() % 100000) +
                   extensions[random() % std::size(extensions)];
            item.Attributes = FILE_ATTRIBUTE_ARCHIVE;
            item.Size = random() % 10000000;
        }
        SetItemText(item.Name, item.NameLen, name);
        SetItemText(item.DisplayName, item.DisplayNameLen, name);
    }
}

bool Less(const TFileItem* a, const TFileItem* b) { return CompareFileItems(a, b, kBenchKind) < 0; }

struct TTimes {
    double View;
    double Std;
};

// Best of kRounds for each sort, both starting from the same order.
TTimes TimeSorts(const std::vector<TFileItem*>& input)
{
    TTimes best{1e30, 1e30};
    for (int round = 0; round < kRounds; ++round) {
        std::vector<TFileItem*> work = input;
        double start = Now();
        SortFileItems(work, kBenchKind);
        best.View = std::min(best.View, Now() - start);
        if (!std::is_sorted(work.begin(), work.end(), Less))
            std::fprintf(stderr, "view sort left the entries out of order\n");

        work = input;
        start = Now();
        std::sort(work.begin(), work.end(), Less);
        best.Std = std::min(best.Std, Now() - start);
    }
    return best;
}

void Report(const char* label, const TTimes& times)
{
    std::fprintf(stderr, "  %-9s view %7.1f ms, std::sort %7.1f ms\n", label, times.View * 1000, times.Std * 1000);
}

} // namespace

int wmain()
{
    std::vector<TFileItem> items(kItemCount);
    FillItems(items);
    std::vector<TFileItem*> shuffled;
    shuffled.reserve(items.size());
    for (TFileItem& item : items)
        shuffled.push_back(&item);
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(777));

    TTimes random = TimeSorts(shuffled);
    std::printf("ratio sort %.3f\n", random.View / random.Std);
    std::fflush(stdout);
    Report("shuffled", random);

    std::vector<TFileItem*> sorted = shuffled;
    std::sort(sorted.begin(), sorted.end(), Less);
    Report("sorted", TimeSorts(sorted));
    std::vector<TFileItem*> reversed(sorted.rbegin(), sorted.rend());
    Report("reversed", TimeSorts(reversed));
    std::vector<TFileItem*> equal(kItemCount, &items.front());
    Report("all equal", TimeSorts(equal));
    return 0;
}
