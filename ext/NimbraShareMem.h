// Routes the allocation operators of the binary it is linked into through
// the one heap of nimbracore.dll, so memory may be allocated in one binary
// and freed in another.
#pragma once

// Standard library
#include <cstddef>
#include <cstdint>

struct TMemoryManager {
    void*(__stdcall* GetMem)(size_t size);
    int32_t(__stdcall* FreeMem)(void* block);
    void*(__stdcall* ReallocMem)(void* block, size_t size);
};

// The binary's memory manager; all fields are null until one is installed.
TMemoryManager GetMemoryManager() noexcept;
void SetMemoryManager(const TMemoryManager& manager) noexcept;

// Installs the shared heap of the already loaded nimbracore.dll. Runs before
// every other static initialiser of the binary (and earlier still when an
// allocation comes first). Asserts (unit NimbraShareMem) when the binary
// already installed a memory manager of its own.
void InstallSharedMemoryManager();
