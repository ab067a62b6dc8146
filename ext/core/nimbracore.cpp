// nimbracore.dll: the host registration that modules reach the program
// through, and the one heap every binary of the process allocates from.

// Own
#include "ext/core/Debug_MemCheck.h"

// Shared interfaces
#include "ext/NimbraIntf.h"

// Platform
#include <windows.h>

namespace {

// The host's registration; empty until the host calls SetMain.
IMainLink* volatile g_main = nullptr;
HANDLE g_heap = nullptr;

} // namespace

// The exports are named in nimbracore.def ("Nimbra@..."), not marked
// dllexport, which would add a second, decorated name.
extern "C" {

int32_t __stdcall NimbraGetInterfaceVersion()
{
    return g_main->GetInterfaceVersion();
}

void __stdcall NimbraGetCurrentThread(IUnknown** result)
{
    g_main->GetCurrentThread(result);
}

void __stdcall NimbraGetApplication(IApplication** result)
{
    g_main->GetApplication(result);
}

void __stdcall NimbraSetMain(IMainLink* main)
{
    if (main != nullptr)
        main->AddRef();
    IMainLink* old = reinterpret_cast<IMainLink*>(
        InterlockedExchangePointer(reinterpret_cast<void* volatile*>(&g_main), main));
    if (old != nullptr)
        old->Release();
}

void* __stdcall NimbraSysGetMem(size_t size)
{
    void* block = HeapAlloc(g_heap, 0, size);
    if (block != nullptr)
        memcheck::BlockAllocated();
    return block;
}

int32_t __stdcall NimbraSysFreeMem(void* block)
{
    if (block == nullptr)
        return 0;
    if (!HeapFree(g_heap, 0, block))
        return 1;
    memcheck::BlockFreed();
    return 0;
}

// A null block allocates; size 0 frees and returns null. On failure the old
// block stays as it was and null is returned.
void* __stdcall NimbraSysReallocMem(void* block, size_t size)
{
    if (block == nullptr)
        return size == 0 ? nullptr : NimbraSysGetMem(size);
    if (size == 0) {
        NimbraSysFreeMem(block);
        return nullptr;
    }
    return HeapReAlloc(g_heap, 0, block, size);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        g_heap = GetProcessHeap();
        memcheck::RecordBaseline();
        break;
    case DLL_PROCESS_DETACH:
        NimbraSetMain(nullptr);
        memcheck::ReportLeaks();
        break;
    default:
        break;
    }
    return TRUE;
}

} // extern "C"
