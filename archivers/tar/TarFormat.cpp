// tar headers.
#include "archivers/tar/TarFormat.h"

// Standard library
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <limits>

// Project
#include "archivers/tar/GzipStream.h"
#include "archivers/tar/LzwStream.h"

namespace tarfmt {

namespace {

constexpr size_t BlockSize = 512;

// Header field offsets and lengths.
constexpr size_t NameAt = 0, NameLength = 100;
constexpr size_t ModeAt = 100, UidAt = 108, GidAt = 116;
constexpr size_t SizeAt = 124, SizeLength = 12;
constexpr size_t TimeAt = 136, TimeLength = 12;
constexpr size_t ChecksumAt = 148, ChecksumLength = 8;
constexpr size_t TypeAt = 156;
constexpr size_t LinkAt = 157, LinkLength = 100;
constexpr size_t MagicAt = 257;
constexpr size_t PrefixAt = 345, PrefixLength = 155;
constexpr size_t GnuAccessTimeAt = 345, GnuChangeTimeAt = 357;

[[noreturn]] void Broken(const std::string& message) { throw arcio::EArchiveError(arcerr::HeaderBroken, message); }

std::string Field(const unsigned char* block, size_t at, size_t length)
{
    const char* text = reinterpret_cast<const char*>(block + at);
    return std::string(text, strnlen(text, length));
}

bool IsUstar(const unsigned char* block) { return std::memcmp(block + MagicAt, "ustar\0", 6) == 0; }
bool IsGnu(const unsigned char* block) { return std::memcmp(block + MagicAt, "ustar  \0", 8) == 0; }

// A numeric field: octal digits (blanks and NULs around them), or base-256
// when the first byte has its high bit set (0xFF first: negative).
std::optional<int64_t> Number(const unsigned char* field, size_t length)
{
    if (field[0] & 0x80) {
        bool negative = field[0] == 0xFF;
        if (!negative && field[0] != 0x80) return std::nullopt;
        uint64_t value = 0;
        for (size_t i = 1; i < length; ++i) {
            uint8_t byte = negative ? static_cast<uint8_t>(~field[i]) : field[i];
            if (value >> 55) return std::nullopt;  // would not fit in 63 bits
            value = (value << 8) | byte;
        }
        if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
        return negative ? -static_cast<int64_t>(value) - 1 : static_cast<int64_t>(value);
    }
    size_t i = 0;
    while (i < length && (field[i] == ' ' || field[i] == 0)) ++i;
    uint64_t value = 0;
    for (; i < length && field[i] >= '0' && field[i] <= '7'; ++i) {
        if (value >> 60) return std::nullopt;
        value = value * 8 + (field[i] - '0');
    }
    for (; i < length; ++i)
        if (field[i] != ' ' && field[i] != 0) return std::nullopt;
    return static_cast<int64_t>(value);
}

bool ChecksumMatches(const unsigned char* block)
{
    std::optional<int64_t> stored = Number(block + ChecksumAt, ChecksumLength);
    if (!stored) return false;
    int64_t unsignedSum = 0, signedSum = 0;
    for (size_t i = 0; i < BlockSize; ++i) {
        bool inField = i >= ChecksumAt && i < ChecksumAt + ChecksumLength;
        unsignedSum += inField ? ' ' : block[i];
        signedSum += inField ? ' ' : static_cast<signed char>(block[i]);
    }
    return *stored == unsignedSum || *stored == signedSum;
}

bool AllZero(const unsigned char* block)
{
    return std::all_of(block, block + BlockSize, [](unsigned char c) { return c == 0; });
}

// Seconds a time in 100 ns ticks can hold, with room to spare (year 30000).
constexpr int64_t MaxSeconds = 900000000000LL;

// A header time in ticks; one beyond the range is unknown (0).
int64_t SecondsToTicks(int64_t seconds)
{
    return seconds > MaxSeconds || seconds < -MaxSeconds ? 0 : seconds * TicksPerSecond;
}

// A pax time: seconds with an optional sign and fraction.
std::optional<int64_t> PaxTime(const std::string& text)
{
    size_t i = 0;
    bool negative = !text.empty() && text[0] == '-';
    if (negative) ++i;
    int64_t seconds = 0;
    size_t digits = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i, ++digits) {
        seconds = seconds * 10 + (text[i] - '0');
        if (seconds > MaxSeconds) return std::nullopt;
    }
    if (digits == 0) return std::nullopt;
    int64_t fraction = 0;
    if (i < text.size() && text[i] == '.') {
        ++i;
        int64_t scale = TicksPerSecond / 10;
        for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i, scale /= 10)
            fraction += (text[i] - '0') * scale;
    }
    if (i != text.size()) return std::nullopt;
    int64_t ticks = seconds * TicksPerSecond + fraction;
    return negative ? -ticks : ticks;
}

std::optional<uint64_t> PaxSize(const std::string& text)
{
    if (text.empty() || text.size() > 18) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return value;
}

// Applies pax records ("LENGTH key=value\n" each) to an entry.
void ApplyPax(const std::string& records, TTarEntry& entry)
{
    size_t at = 0;
    while (at < records.size()) {
        size_t blank = at;
        size_t length = 0;  // at most 8 digits
        while (blank < records.size() && std::isdigit(static_cast<unsigned char>(records[blank])) && blank - at < 8)
            length = length * 10 + static_cast<size_t>(records[blank++] - '0');
        if (blank == at || blank >= records.size() || records[blank] != ' ' || length <= blank - at + 1 ||
            length > records.size() - at || records[at + length - 1] != '\n')
            Broken("An extended (pax) header is damaged.");
        std::string record = records.substr(blank + 1, at + length - 1 - (blank + 1));
        at += length;
        size_t equals = record.find('=');
        if (equals == std::string::npos) Broken("An extended (pax) header is damaged.");
        std::string key = record.substr(0, equals), value = record.substr(equals + 1);
        if (value.empty()) continue;  // a global value unset again
        if (key == "path") {
            entry.Name = value;
        } else if (key == "linkpath") {
            entry.LinkName = value;
        } else if (key == "size") {
            std::optional<uint64_t> size = PaxSize(value);
            if (!size) Broken("An extended (pax) header gives a bad size.");
            entry.Size = *size;
        } else if (key == "mtime" || key == "atime" || key == "ctime") {
            std::optional<int64_t> time = PaxTime(value);
            if (!time) continue;  // a time we cannot read is left out, not fatal
            if (key == "mtime") entry.WriteTime = *time;
            else if (key == "atime") entry.AccessTime = *time;
            else entry.ChangeTime = *time;
        }
    }
}

}  // namespace

bool IsTarHeader(const unsigned char* block) { return !AllZero(block) && ChecksumMatches(block); }

bool IsValidUtf8(const std::string& text)
{
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > text.size()) return false;
        uint32_t code = length == 1 ? c : c & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
        static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

std::string TTarReader::ReadMeta(uint64_t size)
{
    if (size > MaxMetaSize) Broken("A long name or extended header of " + std::to_string(size) + " bytes is larger than the 1 MiB allowed.");
    std::string data(static_cast<size_t>(size), '\0');
    ReadExactly(FSource, data.data(), data.size(), "The tar archive ends inside a long name or extended header.");
    uint64_t padding = (BlockSize - size % BlockSize) % BlockSize;
    FSource.Skip(padding);
    return data;
}

void TTarReader::SkipRest()
{
    if (FRemaining > 0 && FSource.Skip(FRemaining) != FRemaining) Broken("The tar archive ends inside an entry's data.");
    FRemaining = 0;
    // Missing padding after the last entry is only the end of the input.
    FSource.Skip(FPadding);
    FPadding = 0;
}

size_t TTarReader::ReadData(void* buffer, size_t count)
{
    size_t wanted = static_cast<size_t>(std::min<uint64_t>(count, FRemaining));
    if (wanted == 0) return 0;
    size_t n = FSource.Read(buffer, wanted);
    FRemaining -= n;
    if (n < wanted) Broken("The tar archive ends inside an entry's data.");
    return n;
}

bool TTarReader::Next(TTarEntry& entry)
{
    std::optional<std::string> longName, longLink, local;
    for (;;) {
        SkipRest();
        unsigned char block[BlockSize];
        size_t n = FSource.Read(block, BlockSize);
        if (n == 0 && !longName && !longLink && !local) return false;
        if (n < BlockSize) Broken("The tar archive ends inside a header.");
        if (AllZero(block)) {
            if (longName || longLink || local) Broken("The tar archive ends after a long name or extended header.");
            return false;
        }
        if (!ChecksumMatches(block)) throw arcio::EArchiveError(arcerr::HeaderCrc, "A tar header's checksum does not match: the archive is damaged.");
        std::optional<int64_t> size = Number(block + SizeAt, SizeLength);
        if (!size || *size < 0) Broken("A tar header gives a bad size.");
        char type = static_cast<char>(block[TypeAt]);
        uint64_t dataSize = static_cast<uint64_t>(*size);
        if (type == 'L' || type == 'K' || type == 'x' || type == 'g') {
            std::string data = ReadMeta(dataSize);
            if (type == 'L' || type == 'K') {
                data.resize(strnlen(data.c_str(), data.size()));
                (type == 'L' ? longName : longLink) = data;
            } else if (type == 'x') {
                if (local && local->size() + data.size() > MaxMetaSize) Broken("The extended headers of an entry are larger than the 1 MiB allowed.");
                local = local.value_or("") + data;
            } else {
                if (FGlobal.size() + data.size() > MaxMetaSize) Broken("The global extended headers are larger than the 1 MiB allowed.");
                FGlobal += data;
            }
            continue;
        }

        entry = TTarEntry();
        entry.Type = type == 0 ? '0' : type;
        entry.Name = Field(block, NameAt, NameLength);
        if (IsUstar(block)) {
            std::string prefix = Field(block, PrefixAt, PrefixLength);
            if (!prefix.empty()) entry.Name = prefix + "/" + entry.Name;
        }
        entry.LinkName = Field(block, LinkAt, LinkLength);
        entry.Mode = static_cast<uint32_t>(Number(block + ModeAt, 8).value_or(0644) & 07777);
        entry.WriteTime = SecondsToTicks(Number(block + TimeAt, TimeLength).value_or(0));
        if (IsGnu(block)) {
            int64_t access = Number(block + GnuAccessTimeAt, 12).value_or(0);
            int64_t change = Number(block + GnuChangeTimeAt, 12).value_or(0);
            if (access > 0) entry.AccessTime = SecondsToTicks(access);
            if (change > 0) entry.ChangeTime = SecondsToTicks(change);
        }
        entry.Size = dataSize;
        if (longName) entry.Name = *longName;
        if (longLink) entry.LinkName = *longLink;
        ApplyPax(FGlobal, entry);
        if (local) ApplyPax(*local, entry);
        // Old archives mark a folder by the trailing "/" alone.
        if (entry.Type == '0' && !entry.Name.empty() && entry.Name.back() == '/') entry.Type = '5';
        if (entry.Name.empty()) Broken("A tar entry has no name.");
        if (entry.Name.size() > MaxNameSize || entry.LinkName.size() > MaxNameSize)
            Broken("A tar entry's name is longer than the 32 KiB allowed.");

        // Links, devices and pipes carry no data; a folder's data (some
        // writers list its contents there) is skipped.
        uint64_t following = entry.Size;
        if (entry.Type == '2' || entry.Type == '3' || entry.Type == '4' || entry.Type == '6') following = entry.Size = 0;
        if (entry.IsFolder()) {
            entry.Size = 0;
            if (entry.Name.back() != '/') entry.Name += '/';
        }
        uint64_t padding = (BlockSize - following % BlockSize) % BlockSize;
        if (entry.IsFolder()) {
            // Not the entry's data: skipped with the padding by the next Next.
            FRemaining = 0;
            FPadding = following + padding;
        } else {
            FRemaining = following;
            FPadding = padding;
        }
        return true;
    }
}

void TTarWriter::WriteHeader(const std::string& name, char type, const TTarEntry& entry, uint64_t size)
{
    unsigned char block[BlockSize] = {};
    std::memcpy(block + NameAt, name.data(), std::min(name.size(), NameLength));
    std::snprintf(reinterpret_cast<char*>(block + ModeAt), 8, "%07o", static_cast<unsigned>(entry.Mode & 07777));
    std::snprintf(reinterpret_cast<char*>(block + UidAt), 8, "%07o", 0u);
    std::snprintf(reinterpret_cast<char*>(block + GidAt), 8, "%07o", 0u);
    auto putNumber = [&](size_t at, int64_t value) {
        if (value >= 0 && value < (int64_t{1} << 33)) {
            std::snprintf(reinterpret_cast<char*>(block + at), 12, "%011llo", static_cast<unsigned long long>(value));
        } else {
            // Base-256, big-endian, for values octal cannot hold.
            uint64_t bits = static_cast<uint64_t>(value);
            for (int i = 11; i >= 1; --i, bits >>= 8) block[at + i] = static_cast<unsigned char>(bits);
            block[at] = value < 0 ? 0xFF : 0x80;
        }
    };
    putNumber(SizeAt, static_cast<int64_t>(size));
    int64_t seconds = entry.WriteTime >= 0 ? entry.WriteTime / TicksPerSecond : -((-entry.WriteTime + TicksPerSecond - 1) / TicksPerSecond);
    putNumber(TimeAt, seconds);
    block[TypeAt] = static_cast<unsigned char>(type);
    std::memcpy(block + LinkAt, entry.LinkName.data(), std::min(entry.LinkName.size(), LinkLength));
    std::memcpy(block + MagicAt, "ustar\0" "00", 8);
    std::memset(block + ChecksumAt, ' ', ChecksumLength);
    unsigned sum = 0;
    for (unsigned char c : block) sum += c;
    std::snprintf(reinterpret_cast<char*>(block + ChecksumAt), 7, "%06o", sum);
    block[ChecksumAt + 7] = ' ';
    FOutput.Write(block, BlockSize);
}

void TTarWriter::Begin(const TTarEntry& entry)
{
    if (entry.Name.size() > NameLength) {
        // GNU long name: the name with its NUL as the data of a header of its own.
        TTarEntry meta;
        meta.Mode = 0644;
        std::string data = entry.Name;
        data.push_back('\0');
        WriteHeader("././@LongLink", 'L', meta, data.size());
        data.resize((data.size() + BlockSize - 1) / BlockSize * BlockSize, '\0');
        FOutput.Write(data.data(), data.size());
    }
    uint64_t size = entry.IsFolder() ? 0 : entry.Size;
    WriteHeader(entry.Name.substr(0, NameLength), entry.Type, entry, size);
    FRemaining = size;
    FWrittenInEntry = 0;
}

void TTarWriter::WriteData(const void* data, size_t count)
{
    if (count > FRemaining) throw arcio::EArchiveError(arcerr::CannotRead, "A file grew while it was being packed.");
    FOutput.Write(data, count);
    FRemaining -= count;
    FWrittenInEntry += count;
}

void TTarWriter::End()
{
    if (FRemaining != 0) throw arcio::EArchiveError(arcerr::CannotRead, "A file shrank while it was being packed.");
    static const unsigned char zeros[BlockSize] = {};
    size_t padding = static_cast<size_t>((BlockSize - FWrittenInEntry % BlockSize) % BlockSize);
    if (padding) FOutput.Write(zeros, padding);
    FWrittenInEntry = 0;
}

void TTarWriter::Finish()
{
    static const unsigned char zeros[2 * BlockSize] = {};
    FOutput.Write(zeros, sizeof zeros);
}

TArchiveKind DetectKind(arcio::IInput& input, const std::string& archiveName)
{
    unsigned char start[BlockSize] = {};
    size_t n = input.ReadAt(0, start, BlockSize);
    auto startsTar = [](ISource& source) {
        unsigned char block[BlockSize];
        size_t got = 0, step;
        while (got < BlockSize && (step = source.Read(block + got, BlockSize - got)) > 0) got += step;
        return got == BlockSize && IsTarHeader(block);
    };
    // A stream broken at its start still has the compressor's magic: it is
    // that compressor's single file, and reading it reports the damage.
    if (LooksLikeGzip(start, n)) {
        try {
            TInputSource raw(input);
            TGzipSource gzip(raw);
            return startsTar(gzip) ? TArchiveKind::TarGz : TArchiveKind::Gz;
        } catch (const arcio::EArchiveError&) {
            return TArchiveKind::Gz;
        }
    }
    if (LooksLikeLzw(start, n)) {
        try {
            TInputSource raw(input);
            TLzwSource lzw(raw);
            return startsTar(lzw) ? TArchiveKind::TarZ : TArchiveKind::Z;
        } catch (const arcio::EArchiveError&) {
            return TArchiveKind::Z;
        }
    }
    if (n >= 4 && std::memcmp(start, "BZh", 3) == 0 && start[3] >= '1' && start[3] <= '9') {
        std::string lower = archiveName;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        auto endsWith = [&](const char* suffix) {
            size_t length = std::strlen(suffix);
            return lower.size() >= length && lower.compare(lower.size() - length, length, suffix) == 0;
        };
        bool tar = endsWith(".tar.bz2") || endsWith(".tbz") || endsWith(".tbz2") || endsWith(".tb2");
        return tar ? TArchiveKind::TarBz2 : TArchiveKind::Bz2;
    }
    if (n == BlockSize && IsTarHeader(start)) return TArchiveKind::Tar;
    return TArchiveKind::Unknown;
}

}  // namespace tarfmt
