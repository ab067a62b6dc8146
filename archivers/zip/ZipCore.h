// Reading and writing ZIP archives, free of platform headers: names stay the
// bytes the archive holds (the library converts them), times stay what the
// archive says (the library turns DOS time, which is local, into UTC).
//
// Limits on what a hostile archive can make us spend:
//   - the central directory is read into memory once and may not exceed
//     MaxCentralDirectory bytes; everything else is streamed in 64 KiB steps;
//   - an entry never produces more bytes than its declared size: a deflate
//     stream that goes on is stopped there with an error, one that ends
//     early is an error too;
//   - every offset and size is checked against the file before it is used,
//     so a truncated archive or one pointing outside itself is an error.
#pragma once

// Standard library
#include <cstdint>
#include <string>
#include <vector>

// Project
#include "archivers/common/ArcStream.h"

namespace zipcore {

constexpr uint64_t MaxCentralDirectory = 256ull << 20;

// Windows attribute bits as the archive keeps them.
constexpr uint32_t AttrReadOnly = 0x01, AttrHidden = 0x02, AttrSystem = 0x04, AttrDirectory = 0x10, AttrArchive = 0x20;

constexpr uint16_t MethodStored = 0, MethodDeflate = 8;
constexpr uint16_t FlagEncrypted = 0x0001, FlagDataDescriptor = 0x0008, FlagUtf8 = 0x0800;

// Where an entry's time came from, best first.
enum class TTimeSource { Ntfs, Unix, Dos };

struct TEntry {
    std::string Name;      // as stored, "/" separators; a folder ends in "/"
    bool Utf8 = false;     // Name is UTF-8 (flag bit 11 or a matching Unicode path field); else the system code page
    bool Directory = false;
    bool Encrypted = false;
    uint16_t MadeBy = 0;   // version made by (host in the high byte)
    uint16_t Flags = 0;
    uint16_t Method = 0;
    uint16_t DosTime = 0, DosDate = 0;
    uint32_t Crc = 0;
    uint64_t PackedSize = 0, Size = 0;
    uint64_t LocalOffset = 0;
    uint32_t ExternalAttributes = 0;
    uint32_t Attributes = 0;  // Windows attributes made from the above
    TTimeSource TimeSource = TTimeSource::Dos;
    // FILETIME ticks (UTC) from the NTFS field or the Unix time; 0 when absent.
    int64_t WriteTime = 0, CreateTime = 0, AccessTime = 0;
    std::string RawNameField;  // the header's name bytes, before a Unicode path field replaced Name
    std::string CentralExtra;  // extra fields of the central header, ZIP64 field removed
};

// An archive opened for reading: the central directory is read and checked
// at construction (EArchiveError NotArcFile or HeaderBroken otherwise).
class TReader {
public:
    explicit TReader(arcio::IInput& input);
    const std::vector<TEntry>& Entries() const { return FEntries; }
    // Writes the entry's bytes to output, checking the local header against
    // the central one, the size and the CRC. Throws EArchiveError; output
    // then may hold a part, which the caller throws away.
    void Extract(const TEntry& entry, arcio::IOutput& output);
    // The compressed bytes as stored (for copying an entry unchanged).
    void CopyPacked(const TEntry& entry, arcio::IOutput& output);

private:
    uint64_t DataStart(const TEntry& entry);
    arcio::IInput& FInput;
    std::vector<TEntry> FEntries;
    uint64_t FDataEnd = 0;  // local entries all lie before this (the central directory)
};

// Whether the bytes start like a ZIP archive or a 7z one.
bool LooksLikeSevenZip(const void* head, size_t size);

// Where the central directory of a ZIP archive lies, from its end records
// alone. Throws EArchiveError when the input has none that hold together.
struct TCentralDirectory {
    uint64_t Count = 0;
    uint64_t Size = 0;
    uint64_t Offset = 0;
};
TCentralDirectory LocateCentralDirectory(arcio::IInput& input);

// An output the writer can go back in: it patches each local header after
// the entry's data, and stores an entry over its deflated form when that
// turned out larger.
struct IArchiveOutput : arcio::IOutput {
    virtual uint64_t Position() const = 0;
    virtual void Seek(uint64_t position) = 0;
    // Drops everything after the current position.
    virtual void Truncate() = 0;
};

class TMemoryArchive : public IArchiveOutput {
public:
    void Write(const void* data, size_t count) override;
    uint64_t Position() const override { return FPosition; }
    void Seek(uint64_t position) override { FPosition = position; }
    void Truncate() override { FData.resize(static_cast<size_t>(FPosition)); }
    std::string& Data() { return FData; }

private:
    std::string FData;
    uint64_t FPosition = 0;
};

// A new entry: the name in UTF-8 with "/" separators (a folder ends in "/"),
// its times in FILETIME ticks (UTC) and DOS form (local), attributes.
struct TNewEntry {
    std::string Name;
    bool Directory = false;
    uint16_t DosTime = 0, DosDate = 0;
    int64_t WriteTime = 0, CreateTime = 0, AccessTime = 0;
    uint32_t Attributes = 0;
};

// Where the writer switches to ZIP64; the defaults are the format's own
// bounds, tests lower them to reach the switch with small archives.
struct TWriterLimits {
    uint64_t Max32 = 0xFFFFFFFFull;  // a size or offset this large or larger needs ZIP64
    uint64_t MaxEntries16 = 0xFFFF;  // this many entries or more need ZIP64
};

class TWriter {
public:
    explicit TWriter(IArchiveOutput& output, TWriterLimits limits = {}) : FOut(output), FLimits(limits) {}
    // Adds a file (data of data.Size() bytes; re-read when stored wins) or a
    // folder (data null). Deflate at level 6 unless storing is smaller.
    void Add(const TNewEntry& entry, arcio::IInput* data);
    // Copies an entry of another archive unchanged (compressed bytes as they are).
    void Copy(TReader& reader, const TEntry& entry);
    // Writes the central directory and the end records.
    void Finish();
    size_t Count() const { return FCentral.size(); }

private:
    struct TCentral {
        std::string Name, Extra;
        uint16_t MadeBy, Flags, Method, DosTime, DosDate;
        uint32_t Crc, ExternalAttributes;
        uint64_t PackedSize, Size, LocalOffset;
    };
    void WriteLocal(const TCentral& c, bool zip64Sizes);
    IArchiveOutput& FOut;
    TWriterLimits FLimits;
    std::vector<TCentral> FCentral;
};

uint32_t Crc32(uint32_t crc, const void* data, size_t size);

}  // namespace zipcore
