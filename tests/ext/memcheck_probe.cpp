// memcheck_probe <leaks>: passes blocks between itself and a module, frees
// them on the other side, then leaves <leaks> blocks allocated at exit for
// the leak report of nimbracore.dll to find.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

extern "C" __declspec(dllimport) int* ProbeModuleAllocate(int value);
extern "C" __declspec(dllimport) void ProbeModuleFree(int* block);

int wmain(int argc, wchar_t** argv)
{
    int leaks = argc > 1 ? _wtoi(argv[1]) : 0;

    // Allocated by the module, freed by the program, and the other way round.
    int* fromModule = ProbeModuleAllocate(41);
    if (*fromModule != 41)
        return 2;
    delete fromModule;
    ProbeModuleFree(new int(42));

    // Containers grow through realloc-free new/delete pairs; none is left.
    {
        std::vector<std::wstring> names(100, L"ファイル名がかなり長い場合でも共有ヒープに載る");
        names.resize(1000);
    }

    // The list itself is freed at exit, before nimbracore.dll counts; the
    // blocks it points to are not.
    static std::vector<int*> leaked;
    for (int i = 0; i < leaks; ++i)
        leaked.push_back(new int(i));
    return 0;
}
