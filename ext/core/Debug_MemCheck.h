// Counts the live blocks of the shared heap and reports leaks at unload.
#pragma once

// Standard library
#include <cstddef>
#include <cstdint>

namespace memcheck {

void BlockAllocated() noexcept;
void BlockFreed() noexcept;
int32_t LiveBlocks() noexcept;

// Records the count the leak report compares against (at load).
void RecordBaseline() noexcept;

// Writes "Memory leaks were <n> times." into buffer (512 bytes), prefixed
// with "MemCheck: " when forDebugger; returns the text length.
size_t FormatLeakReport(int32_t leaks, bool forDebugger, char* buffer, size_t size) noexcept;

// At unload: reports the difference between the live count and the baseline,
// to the debugger when one is attached, otherwise in a message box.
void ReportLeaks() noexcept;

} // namespace memcheck
