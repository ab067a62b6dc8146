// The ".Z" format: LZW with codes of 9 up to 16 bits, in block mode (a clear
// code restarts the table).
#pragma once

// Standard library
#include <memory>
#include <vector>

// Project
#include "archivers/tar/Source.h"

namespace tarfmt {

// Decodes a ".Z" file read from a source. Codes come in groups of eight;
// when the code width grows or the table is cleared, the rest of the current
// group is padding. A code beyond the table, a first code that is not a
// byte, or a header with a width outside 9..16 is an error. Memory: the
// table (64 Ki entries of prefix and byte), a 64 KiB string stack and a
// 64 KiB input buffer, whatever the input.
class TLzwSource : public ISource {
public:
    explicit TLzwSource(ISource& compressed);
    size_t Read(void* buffer, size_t count) override;

private:
    bool NextCode(uint32_t& code);
    void SkipToGroupEnd();
    ISource& FCompressed;
    std::vector<uint16_t> FPrefix;
    std::vector<uint8_t> FSuffix;
    std::vector<uint8_t> FStack;  // a decoded string, last byte first
    size_t FStackTop = 0;         // bytes of FStack still to give out
    std::vector<uint8_t> FIn;
    size_t FInSize = 0, FInPos = 0;  // bytes in FIn, next byte
    uint32_t FBitBuffer = 0;
    int FBits = 0;                   // bits in FBitBuffer
    unsigned FCodesInGroup = 0;      // codes read since the width changed (mod 8)
    int FWidth = 9, FMaxBits = 16;
    bool FBlockMode = true;
    uint32_t FMaxCode = 511, FMaxMaxCode = 65536, FFree = 257;
    int32_t FOld = -1;
    uint8_t FFinChar = 0;
    bool FEnded = false;
};

// Encodes everything written as a ".Z" file (16 bits, block mode) on the
// given output; Finish writes the last code. Memory: a 128 Ki-entry hash
// table.
class TLzwOutput : public arcio::IOutput {
public:
    explicit TLzwOutput(arcio::IOutput& target);
    void Write(const void* data, size_t count) override;
    void Finish();

private:
    void PutCode(uint32_t code);
    void FlushGroup();
    arcio::IOutput& FTarget;
    std::vector<uint32_t> FKeys;    // (prefix << 8 | byte) + 1; 0 is empty
    std::vector<uint16_t> FValues;
    std::vector<uint8_t> FGroup;    // the current group of codes, packed
    uint32_t FBitBuffer = 0;
    int FBits = 0;
    unsigned FCodesInGroup = 0;
    int FWidth = 9;
    uint32_t FFree = 257;           // next table entry of ours
    uint64_t FWritten = 0;          // codes written
    int32_t FPrefix = -1;           // the string being matched, -1 at the start
};

// Whether bytes start like a ".Z" file.
bool LooksLikeLzw(const unsigned char* bytes, size_t size);

}  // namespace tarfmt
