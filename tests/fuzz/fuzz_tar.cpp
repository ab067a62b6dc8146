// The tar header reader on any bytes: every entry it gives has exactly the
// data it announces, and a broken archive is an error, never a crash.
#include "archivers/tar/TarFormat.h"
#include "tests/fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    arcio::TMemoryInput input(data, size);
    tarfmt::TInputSource source(input);
    tarfmt::TTarReader reader(source);
    tarfmt::TTarEntry entry;
    try {
        while (reader.Next(entry)) {
            fuzz::Check(!entry.Name.empty(), "an entry without a name");
            fuzz::Check(entry.Name.size() <= tarfmt::MaxMetaSize, "a name beyond the limit");
            uint64_t read = 0;
            char buffer[4096];
            size_t n;
            while ((n = reader.ReadData(buffer, sizeof buffer)) > 0) read += n;
            fuzz::Check(read == entry.Size, "the data read differs from the size announced");
            fuzz::Check(read <= size, "more data than input");
        }
    } catch (const arcio::EArchiveError&) {
    }
    return 0;
}
