// The gzip member reader on any bytes (an error or data, never a crash), and
// what the writer makes of the bytes reads back unchanged.
#include "archivers/tar/GzipStream.h"
#include "tests/fuzz/FuzzInput.h"
#include "tests/fuzz/FuzzSource.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    try {
        arcio::TMemoryInput input(data, size);
        tarfmt::TInputSource source(input);
        tarfmt::TGzipSource gzip(source);
        // deflate expands at most about 1032 times; stop well before memory matters.
        fuzz::ReadAll(gzip, 64u << 20);
        fuzz::Check(gzip.StoredName().size() <= 1024, "a stored name beyond the limit");
    } catch (const arcio::EArchiveError&) {
    }

    arcio::TMemoryOutput packed;
    tarfmt::TGzipOutput writer(packed, "name", 1);
    writer.Write(data, size);
    writer.Finish();
    arcio::TMemoryInput again(packed.Data().data(), packed.Data().size());
    tarfmt::TInputSource source(again);
    tarfmt::TGzipSource reader(source);
    fuzz::Check(fuzz::ReadAll(reader, SIZE_MAX) == std::string(reinterpret_cast<const char*>(data), size), "gzip round trip differs");
    return 0;
}
