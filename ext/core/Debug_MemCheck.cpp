#include "ext/core/Debug_MemCheck.h"

// Platform
#include <windows.h>

// Standard library
#include <cstdio>

namespace memcheck {

namespace {

volatile LONG g_liveBlocks = 0;
LONG g_baseline = 0;

constexpr size_t kReportBufferSize = 512;

} // namespace

void BlockAllocated() noexcept
{
    InterlockedIncrement(&g_liveBlocks);
}

void BlockFreed() noexcept
{
    InterlockedDecrement(&g_liveBlocks);
}

int32_t LiveBlocks() noexcept
{
    return InterlockedCompareExchange(&g_liveBlocks, 0, 0);
}

void RecordBaseline() noexcept
{
    g_baseline = LiveBlocks();
}

size_t FormatLeakReport(int32_t leaks, bool forDebugger, char* buffer, size_t size) noexcept
{
    int length = snprintf(buffer, size, "%sMemory leaks were %ld times.", forDebugger ? "MemCheck: " : "",
                          static_cast<long>(leaks));
    return length < 0 ? 0 : static_cast<size_t>(length);
}

void ReportLeaks() noexcept
{
    int32_t leaks = LiveBlocks() - g_baseline;
    if (leaks == 0)
        return;
    char text[kReportBufferSize];
    if (IsDebuggerPresent()) {
        FormatLeakReport(leaks, true, text, sizeof text);
        OutputDebugStringA(text);
        return;
    }
    FormatLeakReport(leaks, false, text, sizeof text);
    if (MessageBoxA(nullptr, text, "MemCheck", MB_OK | MB_ICONERROR) == 0)
        OutputDebugStringA(text);
}

} // namespace memcheck
