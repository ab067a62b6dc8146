// ZIP reading and writing.
#include "archivers/zip/ZipCore.h"
#include "archivers/common/ArcBytes.h"

// Standard library
#include <algorithm>
#include <cstring>
#include <memory>

// Libraries
#include <zlib.h>

namespace zipcore {

using arcio::EArchiveError;

namespace {

constexpr uint32_t SigLocal = 0x04034b50, SigCentral = 0x02014b50, SigEnd = 0x06054b50;
constexpr uint32_t SigEnd64 = 0x06064b50, SigLocator64 = 0x07064b50, SigDescriptor = 0x08074b50;
constexpr uint16_t TagZip64 = 0x0001, TagNtfs = 0x000A, TagUnixTime = 0x5455, TagUnicodePath = 0x7075;
constexpr size_t Chunk = 64 * 1024;
constexpr uint16_t VersionMadeBy = 63;  // host 0 (FAT/Windows attributes), format 6.3
constexpr int64_t UnixEpochTicks = 116444736000000000LL;

[[noreturn]] void Broken(const std::string& what) { throw EArchiveError(arcerr::HeaderBroken, what); }

using arcio::Get16;
using arcio::Get32;
using arcio::Get64;
using arcio::Put16;
using arcio::Put32;
using arcio::Put64;

// Reads exactly count bytes or fails: the archive ends too early.
void ReadExact(arcio::IInput& input, uint64_t offset, void* buffer, size_t count)
{
    if (offset > input.Size() || count > input.Size() - offset) Broken("The archive is truncated.");
    if (count > 0 && input.ReadAt(offset, buffer, count) != count) Broken("The archive is truncated.");
}

// Calls f(tag, data, size) for each well-formed field; a field running past
// the end stops the walk (what follows cannot be trusted).
template <typename F>
void ForEachField(const std::string& extra, F&& f)
{
    const auto* p = reinterpret_cast<const uint8_t*>(extra.data());
    size_t i = 0;
    while (i + 4 <= extra.size()) {
        uint16_t tag = Get16(p + i), size = Get16(p + i + 2);
        if (i + 4 + size > extra.size()) break;
        f(tag, p + i + 4, size);
        i += 4 + size;
    }
}

std::string WithoutField(const std::string& extra, uint16_t removed)
{
    std::string result;
    ForEachField(extra, [&](uint16_t tag, const uint8_t* data, uint16_t size) {
        if (tag == removed) return;
        Put16(result, tag);
        Put16(result, size);
        result.append(reinterpret_cast<const char*>(data), size);
    });
    return result;
}

uint32_t AttributesOf(const TEntry& e)
{
    uint32_t result = 0;
    unsigned host = e.MadeBy >> 8;
    uint32_t mode = e.ExternalAttributes >> 16;
    if ((host == 3 || host == 19) && mode != 0) {  // Unix, macOS: the mode bits
        if ((mode & 0170000) == 0040000) result |= AttrDirectory;
        if ((mode & 0222) == 0) result |= AttrReadOnly;
    } else {
        result = e.ExternalAttributes & (AttrReadOnly | AttrHidden | AttrSystem | AttrDirectory | AttrArchive);
    }
    if (e.Directory) result |= AttrDirectory;
    if (!(result & AttrDirectory) && !(result & (AttrReadOnly | AttrHidden | AttrSystem))) result |= AttrArchive;
    return result;
}

// Reads the ZIP64 field's values for those of the header that are 0xFFFFFFFF.
void ApplyZip64(TEntry& e, const std::string& extra, bool size32Max, bool packed32Max, bool offset32Max)
{
    if (!size32Max && !packed32Max && !offset32Max) return;
    bool found = false;
    ForEachField(extra, [&](uint16_t tag, const uint8_t* data, uint16_t size) {
        if (tag != TagZip64 || found) return;
        found = true;
        size_t at = 0;
        auto next = [&](uint64_t& value) {
            if (at + 8 > size) Broken("A ZIP64 field is too short.");
            value = Get64(data + at);
            at += 8;
        };
        if (size32Max) next(e.Size);
        if (packed32Max) next(e.PackedSize);
        if (offset32Max) next(e.LocalOffset);
    });
    if (!found) Broken("An entry lacks its ZIP64 field.");
}

void ApplyTimes(TEntry& e, const std::string& extra)
{
    bool ntfs = false, unixSeen = false;
    ForEachField(extra, [&](uint16_t tag, const uint8_t* data, uint16_t size) {
        if (tag == TagNtfs && !ntfs && size >= 4) {
            // Reserved 4 bytes, then attributes; attribute 1 holds the three times.
            for (size_t i = 4; i + 4 <= size;) {
                uint16_t attribute = Get16(data + i), length = Get16(data + i + 2);
                if (i + 4 + length > size) break;
                if (attribute == 1 && length >= 24) {
                    e.WriteTime = static_cast<int64_t>(Get64(data + i + 4));
                    e.AccessTime = static_cast<int64_t>(Get64(data + i + 12));
                    e.CreateTime = static_cast<int64_t>(Get64(data + i + 20));
                    ntfs = e.WriteTime > 0;
                }
                i += 4 + length;
            }
        } else if (tag == TagUnixTime && !unixSeen && size >= 5 && (data[0] & 1)) {
            unixSeen = true;
            if (!ntfs) e.WriteTime = static_cast<int64_t>(static_cast<int32_t>(Get32(data + 1))) * 10000000 + UnixEpochTicks;
        }
    });
    if (ntfs) {
        e.TimeSource = TTimeSource::Ntfs;
        if (e.AccessTime < 0) e.AccessTime = 0;
        if (e.CreateTime < 0) e.CreateTime = 0;
    } else if (unixSeen) {
        e.TimeSource = TTimeSource::Unix;
        e.CreateTime = e.AccessTime = 0;
    } else {
        e.TimeSource = TTimeSource::Dos;
        e.WriteTime = e.CreateTime = e.AccessTime = 0;
    }
}

void ApplyUnicodePath(TEntry& e, const std::string& extra)
{
    ForEachField(extra, [&](uint16_t tag, const uint8_t* data, uint16_t size) {
        if (tag != TagUnicodePath || size < 5 || data[0] != 1) return;
        // Only when it was made from this very name: a tool that renamed
        // the entry later would leave a stale one.
        if (Get32(data + 1) != Crc32(0, e.RawNameField.data(), e.RawNameField.size())) return;
        e.Name.assign(reinterpret_cast<const char*>(data + 5), size - 5);
        e.Utf8 = true;
    });
}

bool IsValidUtf8(const std::string& text)
{
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    for (size_t i = 0, n = text.size(); i < n;) {
        uint8_t lead = p[i];
        size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
        if (length == 0 || i + length > n) return false;
        for (size_t k = 1; k < length; ++k)
            if ((p[i + k] & 0xC0) != 0x80) return false;
        i += length;
    }
    return true;
}

// Unix tools store the names as the system gives them, UTF-8 nowadays,
// without saying so; a name from Windows is in its code page. So a name
// from a Unix host that is valid UTF-8 is read as such.
bool IsUnixUtf8Name(const TEntry& e)
{
    unsigned host = e.MadeBy >> 8;
    return (host == 3 || host == 19) && IsValidUtf8(e.Name);
}

class TDeflater {
public:
    TDeflater()
    {
        std::memset(&FStream, 0, sizeof FStream);
        if (deflateInit2(&FStream, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw EArchiveError(arcerr::MoreHeapMemory, "The compressor cannot start.");
    }
    ~TDeflater() { deflateEnd(&FStream); }
    // Compresses input (finish on the last piece) to output; returns the bytes written.
    uint64_t Run(const uint8_t* data, size_t size, bool finish, arcio::IOutput& output)
    {
        uint8_t buffer[Chunk];
        uint64_t written = 0;
        FStream.next_in = const_cast<Bytef*>(data);
        FStream.avail_in = static_cast<uInt>(size);
        int result;
        do {
            FStream.next_out = buffer;
            FStream.avail_out = sizeof buffer;
            result = deflate(&FStream, finish ? Z_FINISH : Z_NO_FLUSH);
            if (result == Z_STREAM_ERROR) throw EArchiveError(arcerr::CannotWrite, "The compressor failed.");
            size_t produced = sizeof buffer - FStream.avail_out;
            if (produced) output.Write(buffer, produced);
            written += produced;
        } while (FStream.avail_out == 0 || (finish && result != Z_STREAM_END));
        return written;
    }

private:
    z_stream FStream;
};

class TInflater {
public:
    TInflater()
    {
        std::memset(&FStream, 0, sizeof FStream);
        if (inflateInit2(&FStream, -MAX_WBITS) != Z_OK) throw EArchiveError(arcerr::MoreHeapMemory, "The decompressor cannot start.");
    }
    ~TInflater() { inflateEnd(&FStream); }
    z_stream& Stream() { return FStream; }

private:
    z_stream FStream;
};

}  // namespace

uint32_t Crc32(uint32_t crc, const void* data, size_t size)
{
    const auto* p = static_cast<const Bytef*>(data);
    while (size > 0) {
        uInt step = static_cast<uInt>(std::min<size_t>(size, 1u << 30));
        crc = static_cast<uint32_t>(crc32(crc, p, step));
        p += step;
        size -= step;
    }
    return crc;
}

bool LooksLikeSevenZip(const void* head, size_t size)
{
    static const uint8_t signature[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
    return size >= 6 && std::memcmp(head, signature, 6) == 0;
}

TCentralDirectory LocateCentralDirectory(arcio::IInput& input)
{
    const uint64_t fileSize = input.Size();
    if (fileSize < 22) throw EArchiveError(arcerr::NotArcFile, "This is not a ZIP archive.");
    // The end record is the last 22 bytes plus a comment of up to 65,535.
    size_t tail = static_cast<size_t>(std::min<uint64_t>(fileSize, 22 + 65535));
    std::vector<uint8_t> buffer(tail);
    ReadExact(input, fileSize - tail, buffer.data(), tail);
    size_t found = SIZE_MAX, loose = SIZE_MAX;
    for (size_t i = tail - 22 + 1; i-- > 0;) {
        if (Get32(&buffer[i]) != SigEnd) continue;
        size_t end = i + 22 + Get16(&buffer[i + 20]);
        if (end == tail) {
            found = i;
            break;
        }
        // Something after the comment: accepted when nothing better exists.
        if (end < tail && loose == SIZE_MAX) loose = i;
    }
    if (found == SIZE_MAX) found = loose;
    if (found == SIZE_MAX) throw EArchiveError(arcerr::NotArcFile, "This is not a ZIP archive (no end of central directory).");
    const uint8_t* end = &buffer[found];
    uint64_t endOffset = fileSize - tail + found;
    uint64_t count = Get16(end + 10), cdSize = Get32(end + 12), cdOffset = Get32(end + 16);
    uint32_t disk = Get16(end + 4), cdDisk = Get16(end + 6);
    uint64_t limit = endOffset;  // the central directory lies before this

    if (endOffset >= 20) {
        uint8_t locator[20];
        ReadExact(input, endOffset - 20, locator, 20);
        if (Get32(locator) == SigLocator64) {
            uint64_t end64 = Get64(locator + 8);
            if (end64 > endOffset - 20 || endOffset - 20 - end64 < 56) Broken("The ZIP64 end record lies outside the archive.");
            uint8_t record[56];
            ReadExact(input, end64, record, 56);
            if (Get32(record) != SigEnd64) Broken("The ZIP64 end record is missing.");
            disk = Get32(record + 16);
            cdDisk = Get32(record + 20);
            count = Get64(record + 32);
            cdSize = Get64(record + 40);
            cdOffset = Get64(record + 48);
            limit = end64;
        }
    }
    if (disk != 0 || cdDisk != 0) throw EArchiveError(arcerr::NotSupport, "Archives split over several disks are not supported.");
    if (cdOffset > limit || cdSize > limit - cdOffset) Broken("The central directory lies outside the archive.");
    if (cdSize > MaxCentralDirectory) throw EArchiveError(arcerr::NotSupport, "The central directory is too large.");
    // Each header takes at least 46 bytes: a count beyond that is a lie.
    if (count > cdSize / 46) Broken("The central directory is shorter than its entry count says.");
    return {count, cdSize, cdOffset};
}

TReader::TReader(arcio::IInput& input) : FInput(input)
{
    const auto [count, cdSize, cdOffset] = LocateCentralDirectory(input);
    FDataEnd = cdOffset;

    std::vector<uint8_t> cd(static_cast<size_t>(cdSize));
    ReadExact(input, cdOffset, cd.data(), cd.size());
    FEntries.reserve(static_cast<size_t>(count));
    size_t at = 0;
    for (uint64_t n = 0; n < count; ++n) {
        if (cd.size() - at < 46 || Get32(&cd[at]) != SigCentral) Broken("A central directory header is broken.");
        const uint8_t* h = &cd[at];
        size_t nameLength = Get16(h + 28), extraLength = Get16(h + 30), commentLength = Get16(h + 32);
        if (cd.size() - at - 46 < nameLength + extraLength + commentLength) Broken("A central directory header runs past its end.");
        TEntry e;
        e.MadeBy = Get16(h + 4);
        e.Flags = Get16(h + 8);
        e.Method = Get16(h + 10);
        e.DosTime = Get16(h + 12);
        e.DosDate = Get16(h + 14);
        e.Crc = Get32(h + 16);
        e.PackedSize = Get32(h + 20);
        e.Size = Get32(h + 24);
        uint32_t diskStart = Get16(h + 34);
        e.ExternalAttributes = Get32(h + 38);
        e.LocalOffset = Get32(h + 42);
        e.RawNameField.assign(reinterpret_cast<const char*>(h + 46), nameLength);
        std::string extra(reinterpret_cast<const char*>(h + 46 + nameLength), extraLength);
        at += 46 + nameLength + extraLength + commentLength;

        ApplyZip64(e, extra, e.Size == 0xFFFFFFFF, e.PackedSize == 0xFFFFFFFF, e.LocalOffset == 0xFFFFFFFF);
        if (diskStart != 0 && diskStart != 0xFFFF) throw EArchiveError(arcerr::NotSupport, "Archives split over several disks are not supported.");
        if (e.LocalOffset >= FDataEnd || FDataEnd - e.LocalOffset < 30) Broken("An entry points outside the archive.");
        e.Name = e.RawNameField;
        e.Utf8 = (e.Flags & FlagUtf8) != 0;
        ApplyUnicodePath(e, extra);
        if (!e.Utf8) e.Utf8 = IsUnixUtf8Name(e);
        e.Directory = !e.Name.empty() && (e.Name.back() == '/' || (e.Utf8 && e.Name.back() == '\\'));
        e.Encrypted = (e.Flags & FlagEncrypted) != 0;
        ApplyTimes(e, extra);
        e.Attributes = AttributesOf(e);
        e.CentralExtra = WithoutField(extra, TagZip64);
        FEntries.push_back(std::move(e));
    }
}

uint64_t TReader::DataStart(const TEntry& e)
{
    uint8_t h[30];
    ReadExact(FInput, e.LocalOffset, h, 30);
    if (Get32(h) != SigLocal) Broken("The local header is missing.");
    size_t nameLength = Get16(h + 26), extraLength = Get16(h + 28);
    std::string name(nameLength, '\0');
    ReadExact(FInput, e.LocalOffset + 30, name.data(), nameLength);
    std::string extra(extraLength, '\0');
    ReadExact(FInput, e.LocalOffset + 30 + nameLength, extra.data(), extraLength);
    if (name != e.RawNameField) Broken("The local header names another entry than the central directory.");
    if (Get16(h + 8) != e.Method) Broken("The local header disagrees with the central directory on the method.");
    if (!(Get16(h + 6) & FlagDataDescriptor)) {
        TEntry local;
        local.PackedSize = Get32(h + 18);
        local.Size = Get32(h + 22);
        ApplyZip64(local, extra, local.Size == 0xFFFFFFFF, local.PackedSize == 0xFFFFFFFF, false);
        if (local.PackedSize != e.PackedSize || local.Size != e.Size || Get32(h + 14) != e.Crc)
            Broken("The local header disagrees with the central directory on the sizes.");
    }
    uint64_t start = e.LocalOffset + 30 + nameLength + extraLength;
    if (start > FDataEnd || e.PackedSize > FDataEnd - start) Broken("The entry's data runs past its end.");
    return start;
}

void TReader::CopyPacked(const TEntry& e, arcio::IOutput& output)
{
    uint64_t at = DataStart(e);
    std::vector<uint8_t> buffer(Chunk);
    for (uint64_t left = e.PackedSize; left > 0;) {
        size_t step = static_cast<size_t>(std::min<uint64_t>(left, Chunk));
        ReadExact(FInput, at, buffer.data(), step);
        output.Write(buffer.data(), step);
        at += step;
        left -= step;
    }
}

void TReader::Extract(const TEntry& e, arcio::IOutput& output)
{
    if (e.Encrypted) throw EArchiveError(arcerr::NotSupport, "The entry is encrypted; encrypted entries are not supported.");
    if (e.Method != MethodStored && e.Method != MethodDeflate)
        throw EArchiveError(arcerr::NotSupport, "The entry's compression method (" + std::to_string(e.Method) + ") is not supported.");
    uint64_t at = DataStart(e);
    uint32_t crc = 0;
    std::vector<uint8_t> in(Chunk), out(Chunk);
    if (e.Method == MethodStored) {
        if (e.PackedSize != e.Size) Broken("A stored entry's sizes disagree.");
        for (uint64_t left = e.Size; left > 0;) {
            size_t step = static_cast<size_t>(std::min<uint64_t>(left, Chunk));
            ReadExact(FInput, at, in.data(), step);
            crc = Crc32(crc, in.data(), step);
            output.Write(in.data(), step);
            at += step;
            left -= step;
        }
    } else {
        TInflater inflater;
        z_stream& z = inflater.Stream();
        uint64_t packedLeft = e.PackedSize, produced = 0;
        int result = Z_OK;
        while (result != Z_STREAM_END) {
            if (z.avail_in == 0 && packedLeft > 0) {
                size_t step = static_cast<size_t>(std::min<uint64_t>(packedLeft, Chunk));
                ReadExact(FInput, at, in.data(), step);
                at += step;
                packedLeft -= step;
                z.next_in = in.data();
                z.avail_in = static_cast<uInt>(step);
            }
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            result = inflate(&z, Z_NO_FLUSH);
            if (result == Z_DATA_ERROR || result == Z_NEED_DICT) Broken("The entry's compressed data is broken.");
            if (result == Z_MEM_ERROR) throw EArchiveError(arcerr::MoreHeapMemory, "Not enough memory to decompress.");
            size_t got = out.size() - z.avail_out;
            // Never write past the declared size, whatever the stream says.
            if (got > e.Size - produced) Broken("The entry expands beyond its declared size.");
            if (got) {
                crc = Crc32(crc, out.data(), got);
                output.Write(out.data(), got);
                produced += got;
            }
            if (result == Z_BUF_ERROR || (result == Z_OK && got == 0 && z.avail_in == 0 && packedLeft == 0))
                Broken("The entry's compressed data ends too early.");
        }
        if (produced != e.Size) Broken("The entry is shorter than its declared size.");
    }
    if (crc != e.Crc) throw EArchiveError(arcerr::FileCrc, "CRC error: the extracted data is damaged.");
}

void TMemoryArchive::Write(const void* data, size_t count)
{
    size_t at = static_cast<size_t>(FPosition);
    if (FData.size() < at + count) FData.resize(at + count);
    std::memcpy(FData.data() + at, data, count);
    FPosition += count;
}

namespace {

// The NTFS times field (FILETIME ticks) and the Unix modification time, so
// tools that know only the latter keep the exact second too.
std::string TimeFields(const TNewEntry& entry)
{
    std::string extra;
    if (entry.WriteTime <= 0) return extra;
    Put16(extra, TagNtfs);
    Put16(extra, 32);
    Put32(extra, 0);
    Put16(extra, 1);
    Put16(extra, 24);
    Put64(extra, static_cast<uint64_t>(entry.WriteTime));
    Put64(extra, static_cast<uint64_t>(entry.AccessTime > 0 ? entry.AccessTime : entry.WriteTime));
    Put64(extra, static_cast<uint64_t>(entry.CreateTime > 0 ? entry.CreateTime : entry.WriteTime));
    int64_t unixTime = (entry.WriteTime - UnixEpochTicks) / 10000000;
    if (unixTime >= INT32_MIN && unixTime <= INT32_MAX) {
        Put16(extra, TagUnixTime);
        Put16(extra, 5);
        extra.push_back(1);
        Put32(extra, static_cast<uint32_t>(static_cast<int32_t>(unixTime)));
    }
    return extra;
}

}  // namespace

void TWriter::WriteLocal(const TCentral& c, bool zip64Sizes)
{
    std::string h;
    Put32(h, SigLocal);
    Put16(h, zip64Sizes ? 45 : 20);
    Put16(h, c.Flags);
    Put16(h, c.Method);
    Put16(h, c.DosTime);
    Put16(h, c.DosDate);
    Put32(h, c.Crc);
    Put32(h, zip64Sizes ? 0xFFFFFFFF : static_cast<uint32_t>(c.PackedSize));
    Put32(h, zip64Sizes ? 0xFFFFFFFF : static_cast<uint32_t>(c.Size));
    std::string extra = c.Extra;
    if (zip64Sizes) {
        std::string z;
        Put16(z, TagZip64);
        Put16(z, 16);
        Put64(z, c.Size);
        Put64(z, c.PackedSize);
        extra = z + extra;
    }
    if (c.Name.size() > 0xFFFF || extra.size() > 0xFFFF) throw EArchiveError(arcerr::NotSupport, "A name is too long for the archive.");
    Put16(h, static_cast<uint16_t>(c.Name.size()));
    Put16(h, static_cast<uint16_t>(extra.size()));
    h += c.Name;
    h += extra;
    FOut.Write(h.data(), h.size());
}

void TWriter::Add(const TNewEntry& entry, arcio::IInput* data)
{
    TCentral c{};
    c.Name = entry.Name;
    c.Extra = TimeFields(entry);
    c.MadeBy = VersionMadeBy;
    c.Flags = FlagUtf8;
    c.Method = MethodStored;
    c.DosTime = entry.DosTime;
    c.DosDate = entry.DosDate;
    c.ExternalAttributes = entry.Attributes & (AttrReadOnly | AttrHidden | AttrSystem | AttrDirectory | AttrArchive);
    if (entry.Directory) c.ExternalAttributes |= AttrDirectory;
    c.LocalOffset = FOut.Position();
    const uint64_t size = data && !entry.Directory ? data->Size() : 0;
    // Known before the data: the compressed size only exceeds the size when
    // storing wins, so the size alone decides the local header's form.
    const bool zip64Sizes = size >= FLimits.Max32;
    c.Size = size;
    WriteLocal(c, zip64Sizes);
    const uint64_t dataStart = FOut.Position();

    auto readAll = [&](auto&& use) {
        std::vector<uint8_t> buffer(Chunk);
        for (uint64_t at = 0; at < size;) {
            size_t step = static_cast<size_t>(std::min<uint64_t>(size - at, Chunk));
            if (data->ReadAt(at, buffer.data(), step) != step)
                throw EArchiveError(arcerr::CannotRead, "The file changed while it was being read.");
            use(buffer.data(), step, at + step == size);
            at += step;
        }
    };
    if (size > 0) {
        uint32_t crc = 0;
        uint64_t packed = 0;
        {
            TDeflater deflater;
            readAll([&](const uint8_t* p, size_t n, bool last) {
                crc = Crc32(crc, p, n);
                packed += deflater.Run(p, n, last, FOut);
            });
        }
        c.Crc = crc;
        if (size < packed) {
            // Storing is smaller: write the bytes over the deflated form.
            FOut.Seek(dataStart);
            uint32_t again = 0;
            readAll([&](const uint8_t* p, size_t n, bool) {
                again = Crc32(again, p, n);
                FOut.Write(p, n);
            });
            if (again != crc) throw EArchiveError(arcerr::CannotRead, "The file changed while it was being read.");
            c.PackedSize = size;
        } else {
            c.Method = MethodDeflate;
            c.PackedSize = packed;
        }
    }
    const uint64_t end = FOut.Position();
    FOut.Seek(c.LocalOffset);
    WriteLocal(c, zip64Sizes);
    FOut.Seek(end);
    FCentral.push_back(std::move(c));
}

void TWriter::Copy(TReader& reader, const TEntry& entry)
{
    TCentral c{};
    c.Name = entry.RawNameField;
    c.Extra = entry.CentralExtra;
    c.MadeBy = entry.MadeBy;
    c.Flags = entry.Flags;
    c.Method = entry.Method;
    c.DosTime = entry.DosTime;
    c.DosDate = entry.DosDate;
    c.Crc = entry.Crc;
    c.ExternalAttributes = entry.ExternalAttributes;
    c.PackedSize = entry.PackedSize;
    c.Size = entry.Size;
    c.LocalOffset = FOut.Position();
    const bool zip64Sizes = c.Size >= FLimits.Max32 || c.PackedSize >= FLimits.Max32;
    WriteLocal(c, zip64Sizes);
    reader.CopyPacked(entry, FOut);
    if (c.Flags & FlagDataDescriptor) {
        // Kept as it was (an encrypted entry's check byte depends on the flag).
        std::string d;
        Put32(d, SigDescriptor);
        Put32(d, c.Crc);
        if (zip64Sizes) {
            Put64(d, c.PackedSize);
            Put64(d, c.Size);
        } else {
            Put32(d, static_cast<uint32_t>(c.PackedSize));
            Put32(d, static_cast<uint32_t>(c.Size));
        }
        FOut.Write(d.data(), d.size());
    }
    FCentral.push_back(std::move(c));
}

void TWriter::Finish()
{
    const uint64_t cdOffset = FOut.Position();
    for (const TCentral& c : FCentral) {
        bool bigSize = c.Size >= FLimits.Max32, bigPacked = c.PackedSize >= FLimits.Max32, bigOffset = c.LocalOffset >= FLimits.Max32;
        // The local header of a big file carries both sizes; the central
        // one names the same when either is big, so readers agree.
        if (bigSize || bigPacked) bigSize = bigPacked = true;
        std::string z;
        if (bigSize || bigPacked || bigOffset) {
            Put16(z, TagZip64);
            Put16(z, static_cast<uint16_t>(8 * (bigSize + bigPacked + bigOffset)));
            if (bigSize) Put64(z, c.Size);
            if (bigPacked) Put64(z, c.PackedSize);
            if (bigOffset) Put64(z, c.LocalOffset);
        }
        std::string extra = z + c.Extra;
        if (extra.size() > 0xFFFF) throw EArchiveError(arcerr::NotSupport, "An entry's extra fields are too long.");
        std::string h;
        Put32(h, SigCentral);
        Put16(h, c.MadeBy);
        Put16(h, z.empty() ? 20 : 45);
        Put16(h, c.Flags);
        Put16(h, c.Method);
        Put16(h, c.DosTime);
        Put16(h, c.DosDate);
        Put32(h, c.Crc);
        Put32(h, bigPacked ? 0xFFFFFFFF : static_cast<uint32_t>(c.PackedSize));
        Put32(h, bigSize ? 0xFFFFFFFF : static_cast<uint32_t>(c.Size));
        Put16(h, static_cast<uint16_t>(c.Name.size()));
        Put16(h, static_cast<uint16_t>(extra.size()));
        Put16(h, 0);  // comment
        Put16(h, 0);  // disk
        Put16(h, 0);  // internal attributes
        Put32(h, c.ExternalAttributes);
        Put32(h, bigOffset ? 0xFFFFFFFF : static_cast<uint32_t>(c.LocalOffset));
        h += c.Name;
        h += extra;
        FOut.Write(h.data(), h.size());
    }
    const uint64_t cdEnd = FOut.Position(), cdSize = cdEnd - cdOffset, count = FCentral.size();
    const bool zip64 = count >= FLimits.MaxEntries16 || cdOffset >= FLimits.Max32 || cdSize >= FLimits.Max32;
    std::string t;
    if (zip64) {
        Put32(t, SigEnd64);
        Put64(t, 44);
        Put16(t, VersionMadeBy);
        Put16(t, 45);
        Put32(t, 0);
        Put32(t, 0);
        Put64(t, count);
        Put64(t, count);
        Put64(t, cdSize);
        Put64(t, cdOffset);
        Put32(t, SigLocator64);
        Put32(t, 0);
        Put64(t, cdEnd);
        Put32(t, 1);
    }
    Put32(t, SigEnd);
    Put16(t, 0);
    Put16(t, 0);
    const uint16_t count16 = zip64 ? 0xFFFF : static_cast<uint16_t>(count);
    Put16(t, count16);
    Put16(t, count16);
    Put32(t, zip64 ? 0xFFFFFFFF : static_cast<uint32_t>(cdSize));
    Put32(t, zip64 ? 0xFFFFFFFF : static_cast<uint32_t>(cdOffset));
    Put16(t, 0);
    FOut.Write(t.data(), t.size());
    FOut.Truncate();
}

}  // namespace zipcore
