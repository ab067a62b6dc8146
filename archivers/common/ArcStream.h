// What the format cores read from and write to: plain interfaces, so a core
// runs on a Windows file in the library and on a buffer in the tests and the
// native fuzz targets.
#pragma once

// Standard library
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace arcio {

// A broken, truncated or hostile archive, or a failed read or write. Code is
// the library's error number (arcerr below); the message is for the user.
class EArchiveError : public std::runtime_error {
public:
    EArchiveError(int code, const std::string& message) : std::runtime_error(message), FCode(code) {}
    int Code() const noexcept { return FCode; }

private:
    int FCode;
};

// Random-access input.
struct IInput {
    virtual ~IInput() = default;
    virtual uint64_t Size() const = 0;
    // Reads up to count bytes at offset; returns how many were read (fewer
    // only at the end). Throws EArchiveError when the read fails.
    virtual size_t ReadAt(uint64_t offset, void* buffer, size_t count) = 0;
};

// Sequential output.
struct IOutput {
    virtual ~IOutput() = default;
    // Writes everything or throws EArchiveError (a full disk, for one).
    virtual void Write(const void* data, size_t count) = 0;
};

class TMemoryInput : public IInput {
public:
    TMemoryInput(const void* data, size_t size) : FData(static_cast<const uint8_t*>(data)), FSize(size) {}
    uint64_t Size() const override { return FSize; }
    size_t ReadAt(uint64_t offset, void* buffer, size_t count) override
    {
        if (offset >= FSize) return 0;
        size_t n = static_cast<size_t>(std::min<uint64_t>(count, FSize - offset));
        std::memcpy(buffer, FData + offset, n);
        return n;
    }

private:
    const uint8_t* FData;
    size_t FSize;
};

class TMemoryOutput : public IOutput {
public:
    // Refuses to grow beyond limit bytes (a hostile archive's output).
    explicit TMemoryOutput(size_t limit = SIZE_MAX) : FLimit(limit) {}
    void Write(const void* data, size_t count) override;
    std::string& Data() { return FData; }

private:
    std::string FData;
    size_t FLimit;
};

}  // namespace arcio

// The error numbers our libraries return, with the values callers of such
// libraries know. 0 is success.
namespace arcerr {
constexpr int FindEnd = -1;  // FindFirst/FindNext: no more entries
constexpr int FileCrc = 0x800C;
constexpr int FileOpen = 0x800D;
constexpr int NotExist = 0x800F;
constexpr int MakeDirectory = 0x8012;
constexpr int CannotWrite = 0x8013;
constexpr int HuffmanCode = 0x8014;
constexpr int HeaderCrc = 0x8016;
constexpr int HeaderBroken = 0x8017;
constexpr int ArcFileOpen = 0x8018;
constexpr int NotArcFile = 0x8019;
constexpr int CannotRead = 0x801A;
constexpr int CommandName = 0x801C;
constexpr int MoreHeapMemory = 0x801D;
constexpr int HarcIsNotOpened = 0x8021;
constexpr int NotSupport = 0x8023;
constexpr int ResponseRead = 0x802A;
constexpr int NotFilename = 0x802B;
constexpr int UserCancel = 0x8020;  // the user stopped the command
}  // namespace arcerr

inline void arcio::TMemoryOutput::Write(const void* data, size_t count)
{
    if (count > FLimit - FData.size()) throw EArchiveError(arcerr::CannotWrite, "The entry is larger than it may be.");
    FData.append(static_cast<const char*>(data), count);
}
