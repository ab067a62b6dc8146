// Builds shell ID lists by hand for the folder tests.
#pragma once

// Folders
#include "folders/ShlUtils.h"

// Standard library
#include <cstring>
#include <string>
#include <vector>

// An ID list built by hand: one ID per payload, then the terminator.
inline UniqueIDList MakeIDList(const std::vector<std::string>& payloads)
{
    UINT size = 2;
    for (const auto& p : payloads)
        size += static_cast<UINT>(2 + p.size());
    UniqueIDList list = AllocIDList(size);
    BYTE* at = reinterpret_cast<BYTE*>(list.get());
    for (const auto& p : payloads) {
        USHORT cb = static_cast<USHORT>(2 + p.size());
        std::memcpy(at, &cb, 2);
        std::memcpy(at + 2, p.data(), p.size());
        at += cb;
    }
    return list;
}
