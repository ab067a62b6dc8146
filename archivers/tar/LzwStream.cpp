// The ".Z" format.
#include "archivers/tar/LzwStream.h"

namespace tarfmt {

namespace {

constexpr uint32_t ClearCode = 256;
constexpr size_t InputBufferSize = 65536;

[[noreturn]] void Broken(const char* message) { throw arcio::EArchiveError(arcerr::HeaderBroken, message); }

uint32_t MaxCodeFor(int width, int maxBits, uint32_t maxMaxCode)
{
    return width >= maxBits ? maxMaxCode : (1u << width) - 1;
}

}  // namespace

bool LooksLikeLzw(const unsigned char* bytes, size_t size)
{
    return size >= 3 && bytes[0] == 0x1F && bytes[1] == 0x9D;
}

TLzwSource::TLzwSource(ISource& compressed) : FCompressed(compressed), FIn(InputBufferSize)
{
    unsigned char header[3];
    if (FCompressed.Read(header, 3) != 3 || !LooksLikeLzw(header, 3)) Broken("This is not a compressed (.Z) file.");
    FMaxBits = header[2] & 0x1F;
    FBlockMode = (header[2] & 0x80) != 0;
    if (FMaxBits < 9 || FMaxBits > 16 || (header[2] & 0x60)) Broken("The compressed (.Z) file uses settings this library does not know.");
    FMaxMaxCode = 1u << FMaxBits;
    FMaxCode = MaxCodeFor(FWidth, FMaxBits, FMaxMaxCode);
    FFree = FBlockMode ? 257 : 256;
    FPrefix.assign(1u << 16, 0);
    FSuffix.assign(1u << 16, 0);
    for (uint32_t i = 0; i < 256; ++i) FSuffix[i] = static_cast<uint8_t>(i);
    // The longest string is one byte per table entry.
    FStack.resize((1u << 16) + 1);
}

bool TLzwSource::NextCode(uint32_t& code)
{
    while (FBits < FWidth) {
        if (FInPos == FInSize) {
            FInSize = FCompressed.Read(FIn.data(), FIn.size());
            FInPos = 0;
            // Bits left over that make no whole code are the end's padding.
            if (FInSize == 0) return false;
        }
        FBitBuffer |= static_cast<uint32_t>(FIn[FInPos++]) << FBits;
        FBits += 8;
    }
    code = FBitBuffer & ((1u << FWidth) - 1);
    FBitBuffer >>= FWidth;
    FBits -= FWidth;
    FCodesInGroup = (FCodesInGroup + 1) % 8;
    return true;
}

void TLzwSource::SkipToGroupEnd()
{
    uint32_t ignored;
    while (FCodesInGroup != 0)
        if (!NextCode(ignored)) break;
    FCodesInGroup = 0;
}

size_t TLzwSource::Read(void* buffer, size_t count)
{
    auto* out = static_cast<uint8_t*>(buffer);
    size_t total = 0;
    while (total < count) {
        if (FStackTop > 0) {
            size_t n = std::min(count - total, FStackTop);
            for (size_t i = 0; i < n; ++i) out[total++] = FStack[--FStackTop];
            continue;
        }
        if (FEnded) break;
        if (FFree > FMaxCode && FWidth < FMaxBits) {
            SkipToGroupEnd();
            ++FWidth;
            FMaxCode = MaxCodeFor(FWidth, FMaxBits, FMaxMaxCode);
        }
        uint32_t code;
        if (!NextCode(code)) {
            FEnded = true;
            break;
        }
        if (FOld == -1) {
            if (code >= 256) Broken("The compressed (.Z) data is damaged: it does not start with a byte.");
            FOld = static_cast<int32_t>(code);
            FFinChar = static_cast<uint8_t>(code);
            FStack[FStackTop++] = FFinChar;
            continue;
        }
        if (code == ClearCode && FBlockMode) {
            // The entry after a clear is made at 256, which no code can name.
            FFree = 256;
            SkipToGroupEnd();
            FWidth = 9;
            FMaxCode = MaxCodeFor(FWidth, FMaxBits, FMaxMaxCode);
            continue;
        }
        uint32_t incode = code;
        if (code >= FFree) {
            if (code > FFree) Broken("The compressed (.Z) data is damaged: a code lies beyond the table.");
            FStack[FStackTop++] = FFinChar;
            code = static_cast<uint32_t>(FOld);
        }
        while (code >= 256) {
            // Every entry's prefix is an earlier entry, so this ends; the
            // bound guards the stack all the same.
            if (FStackTop + 1 >= FStack.size()) Broken("The compressed (.Z) data is damaged.");
            FStack[FStackTop++] = FSuffix[code];
            code = FPrefix[code];
        }
        FFinChar = FSuffix[code];
        FStack[FStackTop++] = FFinChar;
        if (FFree < FMaxMaxCode) {
            FPrefix[FFree] = static_cast<uint16_t>(FOld);
            FSuffix[FFree] = FFinChar;
            ++FFree;
        }
        FOld = static_cast<int32_t>(incode);
    }
    return total;
}

TLzwOutput::TLzwOutput(arcio::IOutput& target) : FTarget(target), FKeys(1u << 17, 0), FValues(1u << 17, 0)
{
    const unsigned char header[3] = {0x1F, 0x9D, 0x80 | 16};
    FTarget.Write(header, 3);
    FGroup.reserve(16);
}

void TLzwOutput::FlushGroup()
{
    // Pads the group of eight codes with zero bits.
    while (FCodesInGroup != 0) {
        FBits += FWidth;
        while (FBits >= 8) {
            FGroup.push_back(static_cast<uint8_t>(FBitBuffer));
            FBitBuffer >>= 8;
            FBits -= 8;
        }
        FCodesInGroup = (FCodesInGroup + 1) % 8;
    }
    if (!FGroup.empty()) FTarget.Write(FGroup.data(), FGroup.size());
    FGroup.clear();
}

void TLzwOutput::PutCode(uint32_t code)
{
    // The reader widens its codes when its next table entry would not fit;
    // its table runs one entry behind ours (it makes none for the first code).
    uint64_t readerFree = FWritten <= 1 ? 257 : std::min<uint64_t>(257 + FWritten - 1, 65536);
    if (readerFree > MaxCodeFor(FWidth, 16, 65536) && FWidth < 16) {
        FlushGroup();
        ++FWidth;
    }
    FBitBuffer |= code << FBits;
    FBits += FWidth;
    while (FBits >= 8) {
        FGroup.push_back(static_cast<uint8_t>(FBitBuffer));
        FBitBuffer >>= 8;
        FBits -= 8;
    }
    FCodesInGroup = (FCodesInGroup + 1) % 8;
    if (FCodesInGroup == 0) {
        FTarget.Write(FGroup.data(), FGroup.size());
        FGroup.clear();
    }
    ++FWritten;
}

void TLzwOutput::Write(const void* data, size_t count)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < count; ++i) {
        uint8_t c = bytes[i];
        if (FPrefix < 0) {
            FPrefix = c;
            continue;
        }
        uint32_t key = ((static_cast<uint32_t>(FPrefix) << 8) | c) + 1;
        size_t slot = (key * 2654435761u) >> 15;  // 17 bits
        while (FKeys[slot] != 0 && FKeys[slot] != key) slot = (slot + 1) & ((1u << 17) - 1);
        if (FKeys[slot] == key) {
            FPrefix = FValues[slot];
            continue;
        }
        PutCode(static_cast<uint32_t>(FPrefix));
        if (FFree < 65536) {
            FKeys[slot] = key;
            FValues[slot] = static_cast<uint16_t>(FFree++);
        }
        FPrefix = c;
    }
}

void TLzwOutput::Finish()
{
    if (FPrefix >= 0) PutCode(static_cast<uint32_t>(FPrefix));
    FPrefix = -1;
    if (FBits > 0) FGroup.push_back(static_cast<uint8_t>(FBitBuffer));
    FBits = 0;
    FBitBuffer = 0;
    if (!FGroup.empty()) FTarget.Write(FGroup.data(), FGroup.size());
    FGroup.clear();
}

}  // namespace tarfmt
