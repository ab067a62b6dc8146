// Listing and filtering a directory of 100,000 files, each against a bare
// baseline measured in the same run:
//   ratio listing   = TDirectory load time / bare FindFirstFileW loop time
//   ratio filtering = wildcard expression over the items / plain loop calling the matcher
// Each figure is the median of several interleaved rounds.

// Folders
#include "folders/UFolders.h"

// Search
#include "search/WildCard.h"

// Toolkit
#include "lw/LHandles.h"
#include "lw/LWindows.h"

// Platform
#include <windows.h>

// Standard library
#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "bench/BenchShared.h"

namespace {

constexpr int kFileCount = 100000;
constexpr int kRounds = 7;

// The directory of test files, made once and kept for later runs.
std::wstring BenchDirectory()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring dir = std::wstring(temp) + L"nimbra-bench-100k";
    std::wstring done = dir + L".complete";
    if (GetFileAttributesW(done.c_str()) != INVALID_FILE_ATTRIBUTES)
        return dir;
    std::fprintf(stderr, "creating %d files (once)...\n", kFileCount);
    CreateDirectoryW(dir.c_str(), nullptr);
    const wchar_t* extensions[] = {L".txt", L".cpp", L".h", L".log", L".dat"};
    for (int i = 0; i < kFileCount; ++i) {
        std::wstring name = dir + L"\\file" + std::to_wstring(i) + extensions[i % 5];
        UniqueFileHandle file(CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    }
    UniqueFileHandle marker(CreateFileW(done.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    return dir;
}

// The baseline: every entry read, the names kept, nothing else.
size_t BareListing(const std::wstring& dir)
{
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((dir + L"\\*.*").c_str(), &data));
    size_t count = 0;
    if (!find)
        return 0;
    do {
        ++count;
    } while (FindNextFileW(find.get(), &data));
    return count;
}

} // namespace

int wmain()
{
    OleInitialize(nullptr);
    auto* application = new T0Application;
    application->CreateMainThread();
    std::wstring dir = BenchDirectory();
    ComPtr<TEmptyHost> host(new TEmptyHost);
    TOwned<TFolderManager> manager(new TFolderManager(host.get()));
    ComPtr<IFolder> folder = manager->Folder(TPath::FromPath(dir));
    folder->SuspendWatching();

    // The records are read under a hold of the application lock, as a view
    // reads them.
    auto count = [&] {
        TSharedLock hold;
        return folder->GetCount();
    };
    std::vector<double> bare, loaded, records;
    size_t bareCount = 0;
    for (int round = 0; round < kRounds; ++round) {
        // What storing the records alone costs: fresh memory for as many
        // fixed-size records as the folder holds, each written once.
        size_t itemCount = static_cast<size_t>(count());
        double start = Now();
        {
            std::vector<TFileItem> items(itemCount);
            records.push_back(Now() - start);
        }
        start = Now();
        bareCount = BareListing(dir);
        bare.push_back(Now() - start);
        start = Now();
        folder->Refresh();
        loaded.push_back(Now() - start);
    }
    if (static_cast<size_t>(count()) + 2 != bareCount)
        std::fprintf(stderr, "count mismatch: %d items, %u entries\n", count(),
                     static_cast<unsigned>(bareCount));
    std::printf("ratio listing %.3f\n", Median(loaded) / Median(bare));
    std::fprintf(stderr, "  bare %.1f ms, folder %.1f ms (of which storing the records %.1f ms)\n",
                 Median(bare) * 1000, Median(loaded) * 1000, Median(records) * 1000);

    // Filtering: a realistic expression, against the matcher called in a
    // plain loop for the same decision.
    TWildCardExpression expression(L"(\"*.txt\" OR \"*.cpp\") AND NOT Hidden");
    std::optional<TSharedLock> hold(std::in_place);
    std::vector<double> plain, filtered;
    size_t plainHits = 0, filteredHits = 0;
    for (int round = 0; round < kRounds; ++round) {
        double start = Now();
        plainHits = 0;
        for (int32_t i = 0; i < folder->GetCount(); ++i) {
            const TFileItem* item = folder->GetItem(i);
            std::wstring_view name(item->Name, static_cast<size_t>(item->NameLen));
            if ((MatchesWildCard(L"*.txt", name) || MatchesWildCard(L"*.cpp", name)) &&
                (item->Attributes & FILE_ATTRIBUTE_HIDDEN) == 0)
                ++plainHits;
        }
        plain.push_back(Now() - start);
        start = Now();
        filteredHits = 0;
        for (int32_t i = 0; i < folder->GetCount(); ++i) {
            const TFileItem* item = folder->GetItem(i);
            if (expression.Matches(std::wstring_view(item->Name, static_cast<size_t>(item->NameLen)), item->Attributes))
                ++filteredHits;
        }
        filtered.push_back(Now() - start);
    }
    if (plainHits != filteredHits)
        std::fprintf(stderr, "filter mismatch: %u against %u\n", static_cast<unsigned>(filteredHits),
                     static_cast<unsigned>(plainHits));
    std::printf("ratio filtering %.3f\n", Median(filtered) / Median(plain));
    std::fprintf(stderr, "  plain %.2f ms, expression %.2f ms\n", Median(plain) * 1000, Median(filtered) * 1000);

    hold.reset();
    folder.reset();
    manager.reset();
    for (int i = 0; i < 200 && application->HasThreads(); ++i) {
        Sleep(10);
        application->FreeFinishedThreads();
    }
    T0Object::Free(application);
    OleUninitialize();
    return 0;
}
