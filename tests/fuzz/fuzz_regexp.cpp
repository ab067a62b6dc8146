// The regular expression engine: the first byte gives the encoding (high
// bits) and the option flags (low bits), then comes the pattern up to the
// zero character of its encoding (a zero byte, or in the two UTF-16
// encodings a zero unit at an even offset), then the text it is matched
// against.
#include "search/NimRegExp.h"
#include "tests/fuzz/FuzzInput.h"

// Standard library
#include <algorithm>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t flags = data[0] & 0x1F;
    const uint8_t mode = static_cast<uint8_t>((data[0] >> 5) % 7);
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const bool wide = mode == 4 || mode == 5;
    size_t separator = 0;
    if (wide) {
        while (separator + 1 < rest.size() && (rest[separator] != 0 || rest[separator + 1] != 0))
            separator += 2;
        if (separator + 1 >= rest.size())
            separator = rest.size();
    } else {
        separator = std::min(rest.find('\0'), rest.size());
    }
    std::string_view pattern = rest.substr(0, separator);
    rest.remove_prefix(std::min(rest.size(), separator + (wide ? 2 : 1)));
    // The text in a buffer of its own, so that a read past its end is seen.
    std::vector<char> text(rest.begin(), rest.end());
    const char* start = text.data();
    const char* end = start + text.size();

    std::unique_ptr<nimregexp::TProgram> program;
    try {
        program = nimregexp::TProgram::Compile(pattern, flags, mode);
    } catch (const nimregexp::ECompileError&) {
        return 0;
    }
    fuzz::Check(program != nullptr, "a pattern compiled to nothing");

    (void)program->Search(start, text.size());
    // Anchored tries at the front, in the middle and at the very end.
    for (size_t offset : {size_t{0}, text.size() / 2, text.size()}) {
        const char* position = start + offset;
        if (program->MatchAt(start, end, position))
            fuzz::Check(position >= start + offset && position <= end, "a match ends outside the text");
    }
    return 0;
}
