// Sequential reading for the tar library: a tar may sit inside a gzip or an
// LZW stream, and both can only be read front to back, so the tar reader
// takes its bytes from a source rather than from random-access input.
#pragma once

// Standard library
#include <cstdint>
#include <cstring>
#include <string>

// Project
#include "archivers/common/ArcStream.h"

namespace tarfmt {

struct ISource {
    virtual ~ISource() = default;
    // Reads up to count bytes; fewer only at the end of the stream. Throws
    // EArchiveError when the stream is broken.
    virtual size_t Read(void* buffer, size_t count) = 0;
    // Skips count bytes; returns how many were there (fewer at the end).
    virtual uint64_t Skip(uint64_t count)
    {
        char scratch[16384];
        uint64_t done = 0;
        while (done < count) {
            size_t chunk = static_cast<size_t>(std::min<uint64_t>(count - done, sizeof scratch));
            size_t n = Read(scratch, chunk);
            done += n;
            if (n < chunk) break;
        }
        return done;
    }
};

// A source over random-access input, from an offset on; skipping is free.
class TInputSource : public ISource {
public:
    explicit TInputSource(arcio::IInput& input, uint64_t offset = 0) : FInput(input), FOffset(offset) {}
    size_t Read(void* buffer, size_t count) override
    {
        size_t n = FInput.ReadAt(FOffset, buffer, count);
        FOffset += n;
        return n;
    }
    uint64_t Skip(uint64_t count) override
    {
        uint64_t size = FInput.Size();
        uint64_t n = FOffset >= size ? 0 : std::min<uint64_t>(count, size - FOffset);
        FOffset += n;
        return n;
    }
    uint64_t Offset() const { return FOffset; }

private:
    arcio::IInput& FInput;
    uint64_t FOffset;
};

// Reads exactly count bytes or fails with the given message (a truncated
// archive).
inline void ReadExactly(ISource& source, void* buffer, size_t count, const char* what)
{
    if (source.Read(buffer, count) != count) throw arcio::EArchiveError(arcerr::HeaderBroken, what);
}

}  // namespace tarfmt
