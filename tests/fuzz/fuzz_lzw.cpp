// The LZW (".Z") decoder on any bytes (an error or data, never a crash), and
// what the encoder makes of the bytes decodes back unchanged.
#include "archivers/tar/LzwStream.h"
#include "tests/fuzz/FuzzInput.h"

namespace {

std::string ReadAll(tarfmt::ISource& source, size_t limit)
{
    std::string all;
    char buffer[4096];
    size_t n;
    while (all.size() < limit && (n = source.Read(buffer, sizeof buffer)) > 0) all.append(buffer, n);
    return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    try {
        arcio::TMemoryInput input(data, size);
        tarfmt::TInputSource source(input);
        tarfmt::TLzwSource lzw(source);
        ReadAll(lzw, 64u << 20);
    } catch (const arcio::EArchiveError&) {
    }

    arcio::TMemoryOutput packed;
    tarfmt::TLzwOutput writer(packed);
    writer.Write(data, size);
    writer.Finish();
    arcio::TMemoryInput again(packed.Data().data(), packed.Data().size());
    tarfmt::TInputSource source(again);
    tarfmt::TLzwSource reader(source);
    fuzz::Check(ReadAll(reader, SIZE_MAX) == std::string(reinterpret_cast<const char*>(data), size), "LZW round trip differs");
    return 0;
}
