// One file search through the program's own code, as "FindFile" runs it:
//   bench_grep.exe <folder> <pattern>
// walks the folder with the filter "*.*", searches every file's contents
// for the pattern (the double-byte code page, letters of either case), and
// prints how many files matched and the seconds the walk took. `make bench`
// times this program from the shell beside GNU grep on the same tree.

// Search
#include "search/RegExp.h"
#include "search/UFounds.h"
#include "search/WildCard.h"

// Folders
#include "folders/UFolders.h"

// Toolkit
#include "lw/LStrings.h"
#include "lw/LWindows.h"

// Platform
#include <windows.h>

// Standard library
#include <cstdio>
#include <memory>
#include <string>

#include "bench/BenchShared.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_grep <folder> <pattern>\n");
        return 2;
    }
    OleInitialize(nullptr);
    auto* application = new T0Application;
    application->CreateMainThread();
    ComPtr<TEmptyHost> host(new TEmptyHost);
    TOwned<TFolderManager> manager(new TFolderManager(host.get()));

    std::string pattern = UnicodeToAnsi(argv[2]);
    double start = Now();
    ComPtr<IFounds> founds = StartSearch(TPath::FromPath(argv[1]),
                                         CreateRegExp(pattern, kRegExpIgnoreCase, TRegExpMode::DoubleByte),
                                         std::make_unique<TWildCardExpression>(L"\"*.*\""));
    auto* object = dynamic_cast<TFounds*>(static_cast<IFounds*>(founds.get()));
    for (;;) {
        {
            TExclusiveLock lock;
            if (object->Finished())
                break;
        }
        Sleep(2);
    }
    double seconds = Now() - start;
    int32_t count;
    {
        TExclusiveLock lock;
        count = founds->GetCount();
    }
    std::printf("files %d seconds %.3f\n", count, seconds);
    // Everything is ended in order, as the program itself ends: with
    // threads and the application left to the process exit, the exit hung
    // under an X display.
    founds.reset();
    manager.reset();
    application->WaitForThreads(10000);
    T0Object::Free(application);
    OleUninitialize();
    return 0;
}
