// The ZIP reader on arbitrary bytes: list, then extract every entry into
// memory bounded by the entry's declared size (never more than 16 MiB here).
#include <cstddef>
#include <cstdint>

#include "archivers/zip/ZipCore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    arcio::TMemoryInput input(data, size);
    try {
        zipcore::TReader reader(input);
        for (const zipcore::TEntry& entry : reader.Entries()) {
            if (entry.Size > (16u << 20)) continue;
            arcio::TMemoryOutput out(static_cast<size_t>(entry.Size));
            try {
                reader.Extract(entry, out);
            } catch (const arcio::EArchiveError&) {
            }
            if (out.Data().size() > entry.Size) __builtin_trap();
        }
    } catch (const arcio::EArchiveError&) {
    }
    return 0;
}
