// Turns the fuzzer's bytes into the inputs of the parsers.
#pragma once

// Standard library
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// The program's wide texts are UTF-16. The bytes are read as UTF-8 so that
// the corpus stays readable, but leniently: encoded surrogates are taken as
// they are, and every byte that starts no sequence becomes the lone
// surrogate U+DC00 + byte. So every sequence of UTF-16 units, unpaired
// surrogates included, can be reached.
inline std::wstring WideFromBytes(std::string_view bytes)
{
    std::wstring out;
    out.reserve(bytes.size());
    auto unit = [&](uint32_t c) { out.push_back(static_cast<wchar_t>(c)); };
    for (size_t i = 0; i < bytes.size();) {
        auto b = [&](size_t k) { return static_cast<uint8_t>(bytes[k]); };
        uint8_t lead = b(i);
        size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        bool ok = length != 0 && i + length <= bytes.size();
        for (size_t k = 1; ok && k < length; ++k)
            ok = (b(i + k) & 0xC0) == 0x80;
        if (!ok) {
            unit(0xDC00 + lead);
            ++i;
            continue;
        }
        uint32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k)
            c = (c << 6) | (b(i + k) & 0x3F);
        i += length;
        if (c >= 0x10000 && c <= 0x10FFFF) {
            unit(0xD800 + ((c - 0x10000) >> 10));
            unit(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            unit(c & 0xFFFF);
        }
    }
    return out;
}

// Splits the input at zero bytes into at most count fields; the last field
// takes the rest, zeros included.
inline std::vector<std::string_view> SplitFields(const uint8_t* data, size_t size, size_t count)
{
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> fields;
    while (fields.size() + 1 < count) {
        size_t zero = rest.find('\0');
        if (zero == std::string_view::npos)
            break;
        fields.push_back(rest.substr(0, zero));
        rest.remove_prefix(zero + 1);
    }
    fields.push_back(rest);
    fields.resize(count);
    return fields;
}

// A broken promise of a parser: reported like a crash so that the input is
// kept as a finding.
[[noreturn]] inline void Fail(const char* what)
{
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

inline void Check(bool condition, const char* what)
{
    if (!condition)
        Fail(what);
}

} // namespace fuzz
