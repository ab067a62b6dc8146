// LZH archives without the platform: the entry headers (levels 0, 1 and 2
// with their extended headers), the CRC-16 of headers and data, the level-2
// headers we write, and the codecs of the entry data.
//
// Limits that keep a hostile archive small:
//   - a level-0/1 base header is at most 257 bytes, a level-2 header at most
//     64 KiB, the extended headers of a level-1 entry at most 1 MiB together;
//   - an archive lists at most 1,000,000 entries;
//   - decoding holds one dictionary (at most 64 KiB) and its tables, and an
//     entry's output never exceeds the original size its header declares;
//   - the decoder never reads past the entry's packed size;
//   - packing holds under 1 MiB (window, hash chains, one block of
//     symbols) whatever the file's size.
#pragma once

// Standard library
#include <cstdint>
#include <string>
#include <vector>

// Project
#include "archivers/common/ArcStream.h"

namespace lzh {

// CRC-16 (polynomial 0xA001, reflected, starting at 0) of headers and data.
uint16_t Crc16(uint16_t crc, const void* data, size_t size);

constexpr size_t MaxEntries = 1000000;

// One entry of an archive as its header says it.
struct TEntry {
    std::string Method;  // "-lh5-", "-lhd-", ...
    int Level = 0;
    uint64_t HeaderOffset = 0;  // where its header starts
    uint64_t DataOffset = 0;    // where its packed data starts
    uint64_t PackedSize = 0;
    uint64_t OriginalSize = 0;
    uint16_t Crc = 0;  // of the original data
    uint8_t OsId = 0;
    // Names as stored: bytes in the code page below (0: the system's),
    // Directory with 0xFF separators; a level-0/1 FileName may hold a path
    // with "\" or 0xFF separators.
    std::string FileName;
    std::string Directory;
    uint32_t CodePage = 0;
    // The Unicode name and directory (UTF-16), when the header has them.
    std::u16string UnicodeName;
    std::u16string UnicodeDirectory;
    bool HasUnicodeName = false;
    bool HasUnicodeDirectory = false;
    uint16_t Attributes = 0x20;  // DOS/Windows attributes
    // Times: FILETIME ticks (UTC) from the Windows-times extension, else the
    // Unix time, else the DOS time (local; the platform converts it).
    int64_t CreateTime = 0, WriteTime = 0, AccessTime = 0;
    int64_t UnixTime = 0;
    bool HasUnixTime = false;
    uint32_t DosTime = 0;  // date in the high word, time in the low word
    uint16_t UnixMode = 0;
    bool HasUnixMode = false;

    bool IsDirectory() const { return Method == "-lhd-"; }
};

// Reads every header of an archive. Throws EArchiveError: NotArcFile when
// the input does not start with an LZH header, HeaderBroken/HeaderCrc for a
// damaged or truncated header, NotSupport for a level-3 header.
std::vector<TEntry> ReadEntries(arcio::IInput& input);

// Whether the input starts like an LZH archive (a header's method at offset 2).
bool LooksLikeArchive(arcio::IInput& input);

// Writes an entry's original data to output, decoding its packed data, and
// checks the data's CRC. Writes exactly OriginalSize bytes or throws:
// NotSupport for a method we do not decode, HuffmanCode/HeaderBroken for a
// broken stream, FileCrc when the data does not match its CRC.
void DecodeEntry(arcio::IInput& input, const TEntry& entry, arcio::IOutput& output);

// Decodes one -lh4-..-lh7- stream of packedSize bytes at offset into exactly
// originalSize bytes; returns their CRC-16.
uint16_t DecodeStatic(arcio::IInput& input, uint64_t offset, uint64_t packedSize, uint64_t originalSize, int dictionaryBits,
                      arcio::IOutput& output);

// Compresses size bytes of input (from offset 0) as -lh5- into output.
// Returns false (having written at most limit + a few bytes) as soon as the
// packed data would exceed limit bytes: the caller then stores the data.
// crc receives the CRC-16 of the input when it returns true.
bool EncodeLh5(arcio::IInput& input, uint64_t size, arcio::IOutput& output, uint64_t limit, uint64_t& packedSize,
               uint16_t& crc);

// What we write for an entry: a level-2 header.
struct THeaderInfo {
    std::string Method;  // "-lh0-", "-lh5-", "-lhd-"
    uint32_t PackedSize = 0;
    uint32_t OriginalSize = 0;
    uint16_t Crc = 0;
    uint32_t UnixTime = 0;
    int64_t CreateTime = 0, WriteTime = 0, AccessTime = 0;
    uint16_t Attributes = 0x20;
    std::string FileName;   // system code page
    std::string Directory;  // system code page, 0xFF separators, ending in 0xFF (empty at the root)
    std::u16string UnicodeName;
    std::u16string UnicodeDirectory;  // "\" separators, ending in "\" (empty at the root)
    uint32_t CodePage = 0;            // of FileName/Directory; 0 writes no code-page extension
};
// The header's bytes (its CRC included). Throws HeaderBroken when it would
// not fit the 64 KiB of a level-2 header.
std::string MakeLevel2Header(const THeaderInfo& info);

}  // namespace lzh
