// The allocation operators of a binary that links NimbraShareMem.

// Own
#include "ext/NimbraShareMem.h"

// Shared interfaces
#include "ext/core/nimbracore.h"

// Toolkit
#include "lw/LExceptions.h"

// Standard library
#include <string>

#include <gtest/gtest.h>

namespace {

TMemoryManager g_shared;
int g_gets = 0;
int g_frees = 0;

void* __stdcall CountingGetMem(size_t size)
{
    ++g_gets;
    return g_shared.GetMem(size);
}

int32_t __stdcall CountingFreeMem(void* block)
{
    ++g_frees;
    return g_shared.FreeMem(block);
}

// Keeps the compiler from eliding a new/delete pair.
template <class T>
T* Escape(T* p)
{
    asm volatile("" : : "g"(p) : "memory");
    return p;
}

} // namespace

TEST(ShareMem, InstalledBeforeTheProgramRunsWithTheCoreExports)
{
    TMemoryManager installed = GetMemoryManager();
    EXPECT_EQ(installed.GetMem, &NimbraSysGetMem);
    EXPECT_EQ(installed.FreeMem, &NimbraSysFreeMem);
    EXPECT_EQ(installed.ReallocMem, &NimbraSysReallocMem);
}

TEST(ShareMem, EveryAllocationOperatorGoesThroughTheManager)
{
    g_shared = GetMemoryManager();
    SetMemoryManager({CountingGetMem, CountingFreeMem, g_shared.ReallocMem});
    int* one = Escape(new int(1));
    int* many = Escape(new int[100]);
    std::wstring* text = Escape(new std::wstring(200, L'あ'));
    delete text;
    delete[] many;
    delete one;
    int* zero = Escape(new int[0]);
    delete[] zero;
    SetMemoryManager(g_shared);
    EXPECT_EQ(g_gets, 5) << "including the string's buffer and a zero-size array";
    EXPECT_EQ(g_frees, 5);
}

TEST(ShareMem, InstallingOverAnotherManagerAsserts)
{
    g_shared = GetMemoryManager();
    // Installing again over the shared heap itself is harmless.
    EXPECT_NO_THROW(InstallSharedMemoryManager());
    SetMemoryManager({CountingGetMem, CountingFreeMem, g_shared.ReallocMem});
    try {
        InstallSharedMemoryManager();
        ADD_FAILURE() << "no assertion";
    } catch (const EAssertionFailed& e) {
        EXPECT_EQ(e.Unit(), L"NimbraShareMem");
    }
    SetMemoryManager(g_shared);
}
