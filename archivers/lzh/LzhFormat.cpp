// LZH entry headers: reading levels 0-2 and writing level 2.
#include "archivers/lzh/LzhFormat.h"
#include "archivers/common/ArcBytes.h"

// Standard library
#include <array>

namespace lzh {

namespace {

using arcio::EArchiveError;

const std::array<uint16_t, 256> CrcTable = [] {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? (c >> 1) ^ 0xA001 : c >> 1;
        table[i] = static_cast<uint16_t>(c);
    }
    return table;
}();

using arcio::Get16;
using arcio::Get32;
using arcio::Get64;
using arcio::Put16;
using arcio::Put32;
using arcio::Put64;

[[noreturn]] void Broken(const std::string& what) { throw EArchiveError(arcerr::HeaderBroken, "The archive is broken: " + what + "."); }

// Reads exactly count bytes at offset or reports a truncated header.
std::vector<uint8_t> ReadExactly(arcio::IInput& input, uint64_t offset, size_t count)
{
    std::vector<uint8_t> bytes(count);
    if (count > 0 && input.ReadAt(offset, bytes.data(), count) != count) Broken("a header is cut off");
    return bytes;
}

bool IsMethod(const uint8_t* m)
{
    return m[0] == '-' && m[4] == '-' && ((m[1] == 'l' && (m[2] == 'h' || m[2] == 'z')) || (m[1] == 'p' && m[2] == 'm'));
}

std::u16string Utf16(const uint8_t* p, size_t bytes)
{
    std::u16string text;
    for (size_t i = 0; i + 1 < bytes; i += 2)
        text.push_back(static_cast<char16_t>(Get16(p + i)));
    while (!text.empty() && text.back() == 0)
        text.pop_back();
    return text;
}

std::string Bytes(const uint8_t* p, size_t count)
{
    std::string text(reinterpret_cast<const char*>(p), count);
    size_t zero = text.find('\0');
    if (zero != std::string::npos) text.resize(zero);
    return text;
}

// Applies one extended header (type, then its data) to the entry.
void ApplyExtension(TEntry& entry, uint8_t type, const uint8_t* data, size_t size)
{
    switch (type) {
    case 0x01: entry.FileName = Bytes(data, size); break;
    case 0x02: entry.Directory = Bytes(data, size); break;
    case 0x40:
        if (size >= 2) entry.Attributes = Get16(data);
        break;
    case 0x41:
        if (size >= 24) {
            entry.CreateTime = static_cast<int64_t>(Get64(data));
            entry.WriteTime = static_cast<int64_t>(Get64(data + 8));
            entry.AccessTime = static_cast<int64_t>(Get64(data + 16));
        }
        break;
    case 0x42:
        if (size >= 16) {
            entry.PackedSize = Get64(data);
            entry.OriginalSize = Get64(data + 8);
        }
        break;
    case 0x44:
        entry.UnicodeName = Utf16(data, size);
        entry.HasUnicodeName = true;
        break;
    case 0x45:
        entry.UnicodeDirectory = Utf16(data, size);
        entry.HasUnicodeDirectory = true;
        break;
    case 0x46:
        if (size >= 4) entry.CodePage = Get32(data);
        break;
    case 0x50:
        if (size >= 2) {
            entry.UnixMode = Get16(data);
            entry.HasUnixMode = true;
        }
        break;
    case 0x54:
        if (size >= 4) {
            entry.UnixTime = Get32(data);
            entry.HasUnixTime = true;
        }
        break;
    default: break;  // comments, owners, ...: nothing we show
    }
}

// Walks a chain of extended headers held in memory (level 2): each is
// size (2, counting itself at the end), type, data; the chain ends at a size
// of 0. Returns the offset of the header-CRC field (0 when there is none).
size_t WalkExtensions(TEntry& entry, const std::vector<uint8_t>& header, size_t at, uint16_t next)
{
    size_t crcField = 0;
    while (next != 0) {
        if (next < 3) Broken("an extended header is too short");
        if (next > header.size() - at) Broken("an extended header runs past its header");
        const uint8_t* p = header.data() + at;
        if (p[0] == 0x00 && next >= 5) crcField = at + 1;
        ApplyExtension(entry, p[0], p + 1, next - 3);
        at += next;
        next = Get16(header.data() + at - 2);
    }
    return crcField;
}

TEntry ReadLevel01(arcio::IInput& input, uint64_t offset, const std::vector<uint8_t>& first, uint64_t total)
{
    TEntry entry;
    entry.HeaderOffset = offset;
    size_t headerSize = static_cast<size_t>(first[0]) + 2;
    if (headerSize < 24) Broken("a header is too short");
    std::vector<uint8_t> h = ReadExactly(input, offset, headerSize);
    uint8_t sum = 0;
    for (size_t i = 2; i < headerSize; ++i)
        sum = static_cast<uint8_t>(sum + h[i]);
    if (sum != h[1]) throw EArchiveError(arcerr::HeaderCrc, "The archive is broken: a header's checksum is wrong.");
    entry.Method.assign(reinterpret_cast<const char*>(&h[2]), 5);
    entry.Level = h[20];
    uint32_t skip = Get32(&h[7]);
    entry.OriginalSize = Get32(&h[11]);
    entry.DosTime = Get32(&h[15]);
    entry.Attributes = h[19];
    size_t nameLength = h[21];
    if (22 + nameLength > headerSize) Broken("a name runs past its header");
    entry.FileName = Bytes(&h[22], nameLength);
    size_t at = 22 + nameLength;
    if (at + 2 <= headerSize) entry.Crc = Get16(&h[at]);
    at += 2;
    if (entry.Level == 0) {
        if (at < headerSize) entry.OsId = h[at];
        entry.PackedSize = skip;
        entry.DataOffset = offset + headerSize;
        return entry;
    }
    // Level 1: the OS, then the size of the first extended header in the
    // last two bytes; the extended headers follow and count in skip.
    if (at + 3 > headerSize) Broken("a header is too short");
    entry.OsId = h[at];
    uint16_t next = Get16(&h[headerSize - 2]);
    uint64_t position = offset + headerSize;
    uint64_t extensions = 0;
    while (next != 0) {
        if (next < 3) Broken("an extended header is too short");
        extensions += next;
        if (extensions > skip) Broken("the extended headers are larger than the entry");
        if (extensions > (1u << 20)) Broken("the extended headers are too large");
        if (position + next > total) Broken("an extended header is cut off");
        std::vector<uint8_t> e = ReadExactly(input, position, next);
        ApplyExtension(entry, e[0], e.data() + 1, next - 3);
        position += next;
        next = Get16(&e[next - 2]);
    }
    entry.DataOffset = position;
    // The 64-bit sizes extension replaces the packed size outright.
    if (entry.PackedSize == 0) entry.PackedSize = skip - extensions;
    return entry;
}

TEntry ReadLevel2(arcio::IInput& input, uint64_t offset, const std::vector<uint8_t>& first)
{
    TEntry entry;
    entry.HeaderOffset = offset;
    size_t headerSize = Get16(first.data());
    if (headerSize < 26) Broken("a header is too short");
    std::vector<uint8_t> h = ReadExactly(input, offset, headerSize);
    entry.Method.assign(reinterpret_cast<const char*>(&h[2]), 5);
    entry.Level = 2;
    entry.PackedSize = Get32(&h[7]);
    entry.OriginalSize = Get32(&h[11]);
    entry.UnixTime = Get32(&h[15]);
    entry.HasUnixTime = true;
    entry.Crc = Get16(&h[21]);
    entry.OsId = h[23];
    size_t crcField = WalkExtensions(entry, h, 26, Get16(&h[24]));
    if (crcField != 0) {
        uint16_t stored = Get16(&h[crcField]);
        h[crcField] = h[crcField + 1] = 0;
        if (Crc16(0, h.data(), h.size()) != stored)
            throw EArchiveError(arcerr::HeaderCrc, "The archive is broken: a header's CRC is wrong.");
    }
    entry.DataOffset = offset + headerSize;
    return entry;
}

}  // namespace

uint16_t Crc16(uint16_t crc, const void* data, size_t size)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i)
        crc = static_cast<uint16_t>(CrcTable[(crc ^ p[i]) & 0xFF] ^ (crc >> 8));
    return crc;
}

bool LooksLikeArchive(arcio::IInput& input)
{
    uint8_t head[22];
    return input.ReadAt(0, head, sizeof head) == sizeof head && IsMethod(head + 2) && head[20] <= 3;
}

std::vector<TEntry> ReadEntries(arcio::IInput& input)
{
    if (!LooksLikeArchive(input)) throw EArchiveError(arcerr::NotArcFile, "The file is not an LZH archive.");
    const uint64_t total = input.Size();
    std::vector<TEntry> entries;
    uint64_t offset = 0;
    for (;;) {
        uint8_t size0 = 0;
        // The end: a zero byte, or (written by some tools) the file's end.
        if (input.ReadAt(offset, &size0, 1) != 1 || size0 == 0) break;
        std::vector<uint8_t> first = ReadExactly(input, offset, 22);
        if (!IsMethod(&first[2])) Broken("a header does not start where the previous entry ends");
        TEntry entry;
        switch (first[20]) {
        case 0:
        case 1: entry = ReadLevel01(input, offset, first, total); break;
        case 2: entry = ReadLevel2(input, offset, first); break;
        case 3: throw EArchiveError(arcerr::NotSupport, "Level-3 headers are not supported.");
        default: Broken("a header has an unknown level");
        }
        if (entry.DataOffset > total || entry.PackedSize > total - entry.DataOffset)
            Broken("an entry's packed size runs past the end of the file");
        offset = entry.DataOffset + entry.PackedSize;
        // A folder holds no data, whatever size its header declares.
        if (entry.IsDirectory()) entry.OriginalSize = 0;
        entries.push_back(std::move(entry));
        if (entries.size() > MaxEntries) Broken("it lists more entries than we read");
    }
    return entries;
}

std::string MakeLevel2Header(const THeaderInfo& info)
{
    std::string h;
    Put16(h, 0);  // the total size, filled in below
    h += info.Method.substr(0, 5);
    h.resize(7, ' ');
    Put32(h, info.PackedSize);
    Put32(h, info.OriginalSize);
    Put32(h, info.UnixTime);
    h.push_back(0x20);
    h.push_back(2);
    Put16(h, info.Crc);
    h.push_back('W');
    auto extension = [&](uint8_t type, const std::string& data) {
        Put16(h, static_cast<uint16_t>(std::min<size_t>(data.size() + 3, 0xFFFF)));
        h.push_back(static_cast<char>(type));
        h += data;
    };
    auto utf16 = [](const std::u16string& text) {
        std::string bytes;
        for (char16_t c : text)
            Put16(bytes, static_cast<uint16_t>(c));
        return bytes;
    };
    const size_t crcField = h.size() + 3;
    extension(0x00, std::string(2, '\0'));
    if (!info.FileName.empty()) extension(0x01, info.FileName);
    if (!info.Directory.empty()) extension(0x02, info.Directory);
    std::string attributes;
    Put16(attributes, info.Attributes);
    extension(0x40, attributes);
    if (info.WriteTime != 0) {
        std::string times;
        Put64(times, static_cast<uint64_t>(info.CreateTime));
        Put64(times, static_cast<uint64_t>(info.WriteTime));
        Put64(times, static_cast<uint64_t>(info.AccessTime));
        extension(0x41, times);
    }
    if (!info.UnicodeName.empty()) extension(0x44, utf16(info.UnicodeName));
    if (!info.UnicodeDirectory.empty()) extension(0x45, utf16(info.UnicodeDirectory));
    if (info.CodePage != 0) {
        std::string page;
        Put32(page, info.CodePage);
        extension(0x46, page);
    }
    Put16(h, 0);  // the chain's end
    // A total size whose low byte is 0 would read as the archive's end to
    // some tools: such a header gets one byte of padding.
    if ((h.size() & 0xFF) == 0) h.push_back('\0');
    if (h.size() > 0xFFFF) Broken("the names are too long for a header");
    h[0] = static_cast<char>(h.size() & 0xFF);
    h[1] = static_cast<char>(h.size() >> 8);
    uint16_t crc = Crc16(0, h.data(), h.size());
    h[crcField] = static_cast<char>(crc & 0xFF);
    h[crcField + 1] = static_cast<char>(crc >> 8);
    return h;
}

}  // namespace lzh
