// gzip through zlib: a source that inflates every member of a gzip file in
// turn, and an output that deflates into one member.
#pragma once

// Standard library
#include <memory>
#include <string>

// Project
#include "archivers/tar/Source.h"

namespace tarfmt {

// Inflates a gzip file read from a source. Members follow each other until
// the input ends or what follows is not another member (trailing zeros that
// some writers pad with are ignored). A member cut short, a bad header or a
// bad CRC/length trailer is an error. Memory: zlib's 32 KiB window and two
// 64 KiB buffers, whatever the input.
class TGzipSource : public ISource {
public:
    explicit TGzipSource(ISource& compressed);
    ~TGzipSource() override;
    TGzipSource(const TGzipSource&) = delete;
    TGzipSource& operator=(const TGzipSource&) = delete;
    size_t Read(void* buffer, size_t count) override;

    // The first member's stored file name (FNAME, bytes as stored, at most
    // 1 KiB) and modification time (Unix seconds, 0 when absent). Known
    // after the first Read.
    const std::string& StoredName() const { return FName; }
    uint32_t StoredTime() const { return FTime; }

private:
    struct TState;
    bool Refill();
    ISource& FCompressed;
    std::unique_ptr<TState> FState;
    std::string FName;
    uint32_t FTime = 0;
};

// Deflates everything written into one gzip member on the given output;
// Finish writes the trailer. name (may be empty) and time go into the header.
class TGzipOutput : public arcio::IOutput {
public:
    TGzipOutput(arcio::IOutput& target, const std::string& name, uint32_t time);
    ~TGzipOutput() override;
    TGzipOutput(const TGzipOutput&) = delete;
    TGzipOutput& operator=(const TGzipOutput&) = delete;
    void Write(const void* data, size_t count) override;
    void Finish();

private:
    struct TState;
    void Pump(int flush);
    arcio::IOutput& FTarget;
    std::unique_ptr<TState> FState;
};

// Whether bytes start like a gzip member (magic and the deflate method).
bool LooksLikeGzip(const unsigned char* bytes, size_t size);

}  // namespace tarfmt
