// Keeping marks across a refresh of 100,000 entries, against the refresh
// alone, measured in the same run:
//   ratio reload-marked = (refresh + the view's reload with every entry
//                          marked) / refresh of the same folder unobserved
// Each figure is the median of several interleaved rounds.

// View
#include "view/UView.h"

// Folders
#include "folders/UFolders.h"

// Toolkit
#include "lw/LWindows.h"

// Platform
#include <windows.h>

// Standard library
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/BenchShared.h"

namespace {

constexpr int kRounds = 5;

} // namespace

int wmain()
{
    OleInitialize(nullptr);
    auto* application = new T0Application;
    application->CreateMainThread();
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring dir = std::wstring(temp) + L"nimbra-bench-100k";
    if (GetFileAttributesW((dir + L".complete").c_str()) == INVALID_FILE_ATTRIBUTES) {
        std::fprintf(stderr, "the 100,000 test files are missing (make bench makes them)\n");
        return 1;
    }
    ComPtr<TEmptyHost> host(new TEmptyHost);
    TOwned<TFolderManager> manager(new TFolderManager(host.get()));
    TPath location = TPath::FromPath(dir);
    ComPtr<IFolder> folder = manager->Folder(location);
    folder->SuspendWatching();

    auto* window = new TFilerWindow(location);
    window->CreateFilerWindow();
    TFilerView* view = window->CurrentView();
    // The view observes the folder; a second folder object of the same
    // directory, unobserved, gives the refresh alone.
    std::vector<double> alone, marked;
    int markedAfter = 0;
    for (int round = 0; round < kRounds; ++round) {
        view->MarkAll(true);
        double start = Now();
        {
            TExclusiveLock lock;
            view->Folder()->Refresh();
        }
        marked.push_back(Now() - start);
        markedAfter = view->MarkedCount();

        view->ChangeFolder(nullptr);
        start = Now();
        {
            TExclusiveLock lock;
            folder->Refresh();
        }
        alone.push_back(Now() - start);
        view->ChangeFolder(folder.get());
    }
    if (markedAfter != folder->GetCount())
        std::fprintf(stderr, "marks lost: %d of %d kept\n", markedAfter, folder->GetCount());
    std::printf("ratio reload-marked %.3f\n", Median(marked) / Median(alone));
    std::fprintf(stderr, "  refresh %.1f ms, refresh with the marked view %.1f ms\n", Median(alone) * 1000,
                 Median(marked) * 1000);

    // The views let go of their folders with the window; the watchers end
    // with the folders.
    DestroyWindow(window->Handle());
    T0Object::Free(window);
    folder.reset();
    manager.reset();
    application->WaitForThreads(10000);
    T0Object::Free(application);
    return 0;
}
