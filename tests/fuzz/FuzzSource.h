// Reads a stream of the tar library to its end, or to a limit, for the
// fuzz targets of its decoders.
#pragma once

#include <string>

#include "archivers/tar/Source.h"

namespace fuzz {

inline std::string ReadAll(tarfmt::ISource& source, size_t limit)
{
    std::string all;
    char buffer[4096];
    size_t n;
    while (all.size() < limit && (n = source.Read(buffer, sizeof buffer)) > 0) all.append(buffer, n);
    return all;
}

}  // namespace fuzz
