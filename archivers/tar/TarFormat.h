// tar headers: reading ustar, old v7, GNU (long names and links) and pax
// (extended and global headers) archives, writing ustar with GNU long names,
// and telling the library's archive types apart by their content.
#pragma once

// Standard library
#include <cstdint>
#include <optional>
#include <string>

// Project
#include "archivers/tar/Source.h"

namespace tarfmt {

// A long name (GNU "L"/"K") or an extended header (pax "x"/"g") larger than
// this is refused: names are at most a few kilobytes, and the limit bounds
// the memory a hostile header can take.
constexpr size_t MaxMetaSize = size_t{1} << 20;
// An entry's name or link target longer than this is refused: no Windows
// path is longer, and it bounds what a listing of many entries holds (a
// long name compresses to almost nothing inside gzip).
constexpr size_t MaxNameSize = 32768;

// Times are in 100 ns units since 1970-01-01 UTC (pax times carry fractions).
constexpr int64_t TicksPerSecond = 10000000;

struct TTarEntry {
    std::string Name;      // bytes as stored, "/" separators; a folder ends in "/"
    std::string LinkName;  // hard and symbolic links
    char Type = '0';       // '0' file, '1' hard link, '2' symbolic link, '5' folder, other types as stored
    uint64_t Size = 0;     // bytes of data that follow the header
    uint32_t Mode = 0644;
    int64_t WriteTime = 0;
    std::optional<int64_t> AccessTime, ChangeTime;

    bool IsFolder() const { return Type == '5'; }
    bool IsFile() const { return Type == '0' || Type == '7'; }
};

// Reads the entries of a tar one after the other. Checksums are checked
// (unsigned and signed sums both count); an entry's data is read with
// ReadData, and what is not read is skipped by the next Next.
class TTarReader {
public:
    explicit TTarReader(ISource& source) : FSource(source) {}
    // The next entry, or false at the end (a zero block or the end of the
    // input exactly at a header boundary).
    bool Next(TTarEntry& entry);
    // Reads up to count bytes of the current entry's data; 0 at its end.
    // Data cut short by the end of the input is an error.
    size_t ReadData(void* buffer, size_t count);

private:
    void SkipRest();
    std::string ReadMeta(uint64_t size);
    ISource& FSource;
    uint64_t FRemaining = 0;  // data of the current entry not yet read
    uint64_t FPadding = 0;    // zero bytes after it up to the block
    // pax global values, applied to every later entry
    std::string FGlobal;
};

// Writes a tar: ustar headers, a GNU long-name header before names over 100
// bytes, two zero blocks at the end.
class TTarWriter {
public:
    explicit TTarWriter(arcio::IOutput& output) : FOutput(output) {}
    // Starts an entry (name in UTF-8, "/" separators, a folder ending in
    // "/"); exactly Size bytes of data must follow through WriteData.
    void Begin(const TTarEntry& entry);
    void WriteData(const void* data, size_t count);
    // Ends the entry: fails when fewer bytes than announced were written.
    void End();
    void Finish();

private:
    void WriteHeader(const std::string& name, char type, const TTarEntry& entry, uint64_t size);
    arcio::IOutput& FOutput;
    uint64_t FRemaining = 0;
    uint64_t FWrittenInEntry = 0;
};

// Whether a 512-byte block is a tar header with a valid checksum.
bool IsTarHeader(const unsigned char* block);

// Whether bytes are valid UTF-8 (names are taken as UTF-8 only then).
bool IsValidUtf8(const std::string& text);

// The library's archive types.
enum class TArchiveKind { Unknown = 0, Tar = 1, TarGz = 2, TarZ = 3, Gz = 4, Z = 5, TarBz2 = 6, Bz2 = 7 };

// Decides the type by content: gzip, compress or bzip2 magic, then whether
// the (decompressed) start is a tar header. bzip2 cannot be decompressed
// here: for it the name decides (".tar.bz2", ".tbz", ".tbz2", ".tb2" mean a
// tar inside). archiveName is the path, for that case only.
TArchiveKind DetectKind(arcio::IInput& input, const std::string& archiveName);

}  // namespace tarfmt
