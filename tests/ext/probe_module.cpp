// A stand-in for a loadable module: it allocates and frees through its own
// allocation operators, which share the heap of nimbracore.dll.
#include <windows.h>

extern "C" __declspec(dllexport) int* ProbeModuleAllocate(int value)
{
    return new int(value);
}

extern "C" __declspec(dllexport) void ProbeModuleFree(int* block)
{
    delete block;
}
