// The settings reader over any text: walks every event, reads every scalar
// the way the typed reads do, and skips whole nodes as the section readers do.
#include "app/YamlCursor.h"
#include "tests/fuzz/FuzzInput.h"

// Standard library
#include <algorithm>
#include <memory>

namespace {

void ReadScalar(const std::string& value)
{
    // In a buffer of its own size: a string's terminator would hide a read
    // one byte past the value.
    std::unique_ptr<char[]> copy(new char[value.size()]);
    std::copy(value.begin(), value.end(), copy.get());
    std::string_view raw(copy.get(), value.size());
    std::string bytes = YamlUnescape(raw);
    // Quotes and escapes only ever shorten a value.
    fuzz::Check(bytes.size() <= raw.size(), "an unescaped value is longer than its raw text");
    int32_t i32 = 0;
    int64_t i64 = 0;
    bool b = false;
    bool is32 = YamlParseInteger32(raw, i32);
    bool is64 = YamlParseInteger64(raw, i64);
    bool isBoolean = YamlParseBoolean(raw, b);
    // What parses as a 32-bit integer parses as a 64-bit one and as a
    // Boolean, with the same truth.
    fuzz::Check(!is32 || (is64 && isBoolean && b == (i64 != 0)), "the integer parsers disagree");
    fuzz::Check(!is32 || i64 == i32 || static_cast<uint32_t>(i64) == static_cast<uint32_t>(i32),
                "a 32-bit integer reads as another 64-bit value");
}

// Every event consumes text or closes a block opened before, so a document
// has a bounded number of events; a cursor that runs longer loops.
size_t EventBound(size_t size)
{
    return 8 * size + 16;
}

void Walk(const std::string& text)
{
    try {
        TYamlCursor cursor("", text);
        size_t depth = 0;
        for (size_t events = 0;; ++events) {
            fuzz::Check(events <= EventBound(text.size()), "the cursor does not reach the document end");
            switch (cursor.EventKind()) {
            case TYamlEvent::MappingStart:
            case TYamlEvent::SequenceStart:
                ++depth;
                break;
            case TYamlEvent::BlockEnd:
                fuzz::Check(depth > 0, "a block ends that never started");
                --depth;
                break;
            case TYamlEvent::Scalar:
                ReadScalar(cursor.Value());
                break;
            case TYamlEvent::DocumentEnd:
                fuzz::Check(depth == 0, "the document ends inside a block");
                cursor.Next();
                fuzz::Check(cursor.EventKind() == TYamlEvent::DocumentEnd, "the cursor moves past the document end");
                return;
            case TYamlEvent::None:
                fuzz::Fail("a live cursor stands on no event");
            }
            cursor.Next();
        }
    } catch (const Exception&) {
        // A malformed document: the reader's own error, shown to the user.
    }
}

// The section readers' way: skip what they do not know, node by node.
void SkipAll(const std::string& text)
{
    try {
        TYamlCursor cursor("nimbra", text);
        for (size_t steps = 0; cursor.EventKind() != TYamlEvent::DocumentEnd; ++steps) {
            fuzz::Check(steps <= EventBound(text.size()), "skipping does not reach the document end");
            cursor.LowerCaseKey();
            cursor.Skip();
        }
    } catch (const Exception&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    Walk(text);
    SkipAll(text);
    return 0;
}
