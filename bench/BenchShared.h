// What the benchmarks share: the clock, the statistics and a host
// without extensions.
#pragma once

// Shared interfaces
#include "ext/NimbraIntf.h"

// Toolkit
#include "lw/LComPtr.h"

// Platform
#include <windows.h>

// Standard library
#include <algorithm>
#include <vector>

// Seconds on the performance counter.
inline double Now()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

inline double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// A host without extensions: the archive test of every file runs, as in the
// program.
class TEmptyHost : public TInterfaced<TInterfacedObject, IExtensionHost> {
public:
    HRESULT STDMETHODCALLTYPE RegisterExtension(IExtension*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE FirstExtensionThat(TExtensionTest, void*, IExtension** result) override
    {
        *result = nullptr;
        return S_OK;
    }
};
