// The LZW (".Z") decoder on any bytes (an error or data, never a crash), and
// what the encoder makes of the bytes decodes back unchanged.
#include "archivers/tar/LzwStream.h"
#include "tests/fuzz/FuzzInput.h"
#include "tests/fuzz/FuzzSource.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    try {
        arcio::TMemoryInput input(data, size);
        tarfmt::TInputSource source(input);
        tarfmt::TLzwSource lzw(source);
        fuzz::ReadAll(lzw, 64u << 20);
    } catch (const arcio::EArchiveError&) {
    }

    arcio::TMemoryOutput packed;
    tarfmt::TLzwOutput writer(packed);
    writer.Write(data, size);
    writer.Finish();
    arcio::TMemoryInput again(packed.Data().data(), packed.Data().size());
    tarfmt::TInputSource source(again);
    tarfmt::TLzwSource reader(source);
    fuzz::Check(fuzz::ReadAll(reader, SIZE_MAX) == std::string(reinterpret_cast<const char*>(data), size), "LZW round trip differs");
    return 0;
}
