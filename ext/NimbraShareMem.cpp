#include "ext/NimbraShareMem.h"

// Shared interfaces
#include "ext/core/nimbracore.h"

// Toolkit
#include "lw/LExceptions.h"

// Platform
#include <windows.h>

// Standard library
#include <new>

namespace {

// Constant-initialised: valid before any dynamic initialiser runs.
TMemoryManager g_manager = {nullptr, nullptr, nullptr};

TMemoryManager ResolveSharedManager() noexcept
{
    TMemoryManager shared = {nullptr, nullptr, nullptr};
    HMODULE core = GetModuleHandleA("nimbracore.dll");
    if (core == nullptr)
        return shared;
    shared.GetMem = reinterpret_cast<decltype(shared.GetMem)>(
        reinterpret_cast<void*>(GetProcAddress(core, "Nimbra@SysGetMem")));
    shared.FreeMem = reinterpret_cast<decltype(shared.FreeMem)>(
        reinterpret_cast<void*>(GetProcAddress(core, "Nimbra@SysFreeMem")));
    shared.ReallocMem = reinterpret_cast<decltype(shared.ReallocMem)>(
        reinterpret_cast<void*>(GetProcAddress(core, "Nimbra@SysReallocMem")));
    return shared;
}

bool SameManager(const TMemoryManager& a, const TMemoryManager& b) noexcept
{
    return a.GetMem == b.GetMem && a.FreeMem == b.FreeMem && a.ReallocMem == b.ReallocMem;
}

// An allocation before the initialiser below (from the runtime's own start-up)
// installs the shared heap on the spot. nimbracore.dll is imported statically,
// so the loader has mapped it before any code of this binary runs.
void EnsureInstalled() noexcept
{
    if (g_manager.GetMem != nullptr)
        return;
    TMemoryManager shared = ResolveSharedManager();
    if (shared.GetMem == nullptr || shared.FreeMem == nullptr || shared.ReallocMem == nullptr) {
        OutputDebugStringA("NimbraShareMem: nimbracore.dll is not loaded");
        std::abort();
    }
    g_manager = shared;
}

void* Allocate(size_t size)
{
    EnsureInstalled();
    if (size == 0)
        size = 1;
    for (;;) {
        if (void* block = g_manager.GetMem(size))
            return block;
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr)
            throw std::bad_alloc();
        handler();
    }
}

void Release(void* block) noexcept
{
    if (block != nullptr)
        g_manager.FreeMem(block);
}

struct TInstaller {
    TInstaller() { InstallSharedMemoryManager(); }
};

// Priority 101 is the first one open to programs: this runs before the
// binary's other static initialisers.
__attribute__((init_priority(101))) TInstaller g_installer;

} // namespace

TMemoryManager GetMemoryManager() noexcept
{
    return g_manager;
}

void SetMemoryManager(const TMemoryManager& manager) noexcept
{
    g_manager = manager;
}

void InstallSharedMemoryManager()
{
    TMemoryManager shared = ResolveSharedManager();
    Assert(shared.GetMem != nullptr && shared.FreeMem != nullptr && shared.ReallocMem != nullptr,
           L"NimbraShareMem", L"nimbracore.dll is not loaded");
    // The names resolve to the functions the binary imports statically.
    Assert(shared.GetMem == &NimbraSysGetMem, L"NimbraShareMem", L"nimbracore.dll exports do not match");
    // Installed already by an early allocation, that is, the shared heap itself.
    Assert(g_manager.GetMem == nullptr || SameManager(g_manager, shared), L"NimbraShareMem",
           L"a memory manager is already installed");
    g_manager = shared;
}

void* operator new(size_t size) { return Allocate(size); }
void* operator new[](size_t size) { return Allocate(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept
{
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* block) noexcept { Release(block); }
void operator delete[](void* block) noexcept { Release(block); }
void operator delete(void* block, size_t) noexcept { Release(block); }
void operator delete[](void* block, size_t) noexcept { Release(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { Release(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { Release(block); }
