// Entering an archive as a folder against the library's own listing:
//   bench_archive.exe <folder of the modules and libraries> <archive.zip>
// The ZIP module is loaded under a stand-in host that registers its
// archiver; opening the archive as a folder (the module lists it through
// 7-zip32.dll and builds the item records) is timed against a plain loop
// over the library's own enumeration of the same archive, with the same
// calls per entry. Prints "ratio archive-open".
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/BenchShared.h"
#include "ext/arc/ArchiversShared.h"
#include "ext/core/nimbracore.h"
#include "folders/UFolders.h"
#include "tests/ext/arc/ModuleHost.h"

namespace {

// Just enough host for a module to register its archiver.
template <class F>
F Function(HMODULE library, const char* name)
{
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_archive <modules folder> <archive.zip>\n");
        return 2;
    }
    std::wstring folder = argv[1];
    if (!folder.empty() && folder.back() != L'\\')
        folder += L'\\';
    std::wstring archive = argv[2];
    TModuleHost& host = TheModuleHost();
    NimbraSetMain(&host);
    // The libraries are found beside the modules.
    SetDllDirectoryW(folder.c_str());
    HMODULE module = nullptr;
    ComPtr<IArchiver> archiver = LoadArchiverModule(folder + L"ArcZip.dll", module);
    HMODULE library = LoadLibraryW((folder + L"7-zip32.dll").c_str());
    if (module == nullptr || library == nullptr || !archiver) {
        std::fprintf(stderr, "bench_archive: the ZIP module or its library does not load\n");
        return 1;
    }
    auto open = Function<TArcOpenProc>(library, "SevenZipOpenArchive");
    auto close = Function<TArcCloseProc>(library, "SevenZipCloseArchive");
    auto first = Function<TArcFindFirstProc>(library, "SevenZipFindFirst");
    auto next = Function<TArcFindNextProc>(library, "SevenZipFindNext");
    auto attribute = Function<TArcAttributeProc>(library, "SevenZipGetAttribute");
    auto timeEx = Function<TArcFileTimeProc>(library, "SevenZipGetWriteTimeEx");
    std::string ansi = ToAnsi(archive);

    size_t entries = 0;
    auto plainLoop = [&] {
        HANDLE handle = open(nullptr, ansi.c_str(), 0x402206);
        TArcIndividualInfo info;
        FILETIME time;
        entries = 0;
        for (int found = first(handle, "*", &info); found == 0; found = next(handle, &info)) {
            attribute(handle);
            timeEx(handle, &time);
            ++entries;
        }
        close(handle);
    };
    int32_t shown = 0;
    auto enter = [&] {
        TPath location = TPath::FromPath(archive);
        ComPtr<IFolder> opened;
        archiver->OpenArchive(&location, opened.put());
        shown = opened ? opened->GetCount() : -1;
    };
    plainLoop();
    enter();
    const int rounds = 5;
    double start = Now();
    for (int i = 0; i < rounds; ++i)
        plainLoop();
    double loop = (Now() - start) / rounds;
    start = Now();
    for (int i = 0; i < rounds; ++i)
        enter();
    double folderTime = (Now() - start) / rounds;
    std::printf("archive-open: %zu entries, %d items at the root; library loop %.3f s, entering as a folder %.3f s\n",
                entries, shown, loop, folderTime);
    std::printf("ratio archive-open %.2f\n", folderTime / loop);
    archiver.reset();
    host.Extensions.clear();
    FreeLibrary(library);
    FreeLibrary(module);
    NimbraSetMain(nullptr);
    return 0;
}
