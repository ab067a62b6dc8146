// LZH archives: any bytes as an archive (its headers, then every entry's
// data through its decoder), as a bare -lh4-..-lh7- stream, and as data
// the -lh5- encoder packs and the decoder must give back unchanged.
#include "archivers/lzh/LzhFormat.h"
#include "tests/fuzz/FuzzInput.h"

namespace {

// Declared sizes may be up to 4 GiB: memory is bounded here, and the
// decoder's promise (never more than the declared size) is checked.
constexpr size_t OutputLimit = 1 << 20;

void Archive(const uint8_t* data, size_t size)
{
    arcio::TMemoryInput input(data, size);
    std::vector<lzh::TEntry> entries;
    try {
        entries = lzh::ReadEntries(input);
    } catch (const arcio::EArchiveError&) {
        return;
    }
    for (const lzh::TEntry& entry : entries) {
        fuzz::Check(entry.DataOffset <= size && entry.PackedSize <= size - entry.DataOffset, "an entry's data lies outside the archive");
        arcio::TMemoryOutput output(static_cast<size_t>(std::min<uint64_t>(entry.OriginalSize, OutputLimit)));
        try {
            lzh::DecodeEntry(input, entry, output);
            fuzz::Check(output.Data().size() == entry.OriginalSize, "a decoded entry is not its declared size");
        } catch (const arcio::EArchiveError&) {
        }
        fuzz::Check(output.Data().size() <= entry.OriginalSize, "a decoder wrote past the declared size");
    }
}

void Stream(const uint8_t* data, size_t size)
{
    if (size < 3) return;
    static const int bits[] = {12, 13, 15, 16};
    int dictionaryBits = bits[data[0] & 3];
    size_t original = static_cast<size_t>(data[1] | (data[2] << 8));
    arcio::TMemoryInput input(data + 3, size - 3);
    arcio::TMemoryOutput output(original);
    try {
        lzh::DecodeStatic(input, 0, size - 3, original, dictionaryBits, output);
        fuzz::Check(output.Data().size() == original, "a stream decoded to another size");
    } catch (const arcio::EArchiveError&) {
    }
}

void RoundTrip(const uint8_t* data, size_t size)
{
    arcio::TMemoryInput input(data, size);
    arcio::TMemoryOutput packed;
    uint64_t packedSize = 0;
    uint16_t crc = 0;
    if (!lzh::EncodeLh5(input, size, packed, UINT64_MAX, packedSize, crc)) fuzz::Fail("the encoder gave up without a limit");
    fuzz::Check(crc == lzh::Crc16(0, data, size), "the encoder's CRC is wrong");
    arcio::TMemoryInput again(packed.Data().data(), packed.Data().size());
    arcio::TMemoryOutput output(size);
    try {
        lzh::DecodeStatic(again, 0, packedSize, size, 13, output);
    } catch (const arcio::EArchiveError&) {
        fuzz::Fail("the decoder refused what the encoder made");
    }
    fuzz::Check(output.Data() == std::string(reinterpret_cast<const char*>(data), size), "the round trip changed the data");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Archive(data, size);
    Stream(data, size);
    RoundTrip(data, size);
    return 0;
}
