#include "app/YamlCursor.h"

// Standard library
#include <limits>
#include <new>
#include <stdexcept>

namespace {

const wchar_t* const kYamlError = L"YAML Error";
const wchar_t* const kYamlStructureError = L"YAML Structure Error";
const wchar_t* const kYamlTypeError = L"YAML Type Error";
const wchar_t* const kYamlInitializationError = L"YAML Initialization Error";

constexpr int32_t kMaxWidth = std::numeric_limits<int32_t>::max();

bool IsBlank(char c) noexcept
{
    return c == ' ' || c == '\t';
}

bool IsLineBreak(char c) noexcept
{
    return c == '\r' || c == '\n';
}

// Letters, digits, "_*+@-" and every byte from 0x80 up, so that UTF-8 encoded
// non-ASCII letters may appear in keys. A key does not begin with "-": that
// is a sequence item.
bool IsKeyChar(char ch) noexcept
{
    auto c = static_cast<unsigned char>(ch);
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '*' ||
           c == '+' || c == '@' || c == '-' || c >= 0x80;
}

int HexDigit(char c) noexcept
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Widths saturate instead of wrapping: a line of millions of tabs must not
// come out shallower than its neighbours.
int32_t SaturatedWidth(int64_t width) noexcept
{
    return width > kMaxWidth ? kMaxWidth : static_cast<int32_t>(width);
}

// The width a tab gives: the next multiple of 256 above the low 8 bits cleared.
int32_t TabWidth(int32_t width) noexcept
{
    return SaturatedWidth(static_cast<int64_t>(width & ~0xFF) + 256);
}

// Measures the indentation at pos and moves pos behind it.
int32_t MeasureIndentation(std::string_view text, size_t& pos) noexcept
{
    int32_t width = 0;
    for (; pos < text.size(); ++pos) {
        if (text[pos] == ' ')
            width = SaturatedWidth(static_cast<int64_t>(width) + 1);
        else if (text[pos] == '\t')
            width = TabWidth(width);
        else
            break;
    }
    return width;
}

// The integer syntax shared by all typed reads: the sign and the magnitude,
// and whether it was written in hex. False when the magnitude exceeds 64 bits.
bool ParseMagnitude(std::string_view text, bool& negative, bool& hex, uint64_t& magnitude) noexcept
{
    size_t pos = 0;
    negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    hex = false;
    if (pos < text.size() && (text[pos] == '$' || text[pos] == 'x' || text[pos] == 'X')) {
        hex = true;
        ++pos;
    } else if (pos + 1 < text.size() && text[pos] == '0' && (text[pos + 1] == 'x' || text[pos + 1] == 'X')) {
        hex = true;
        pos += 2;
    }
    if (pos >= text.size())
        return false;
    const uint64_t base = hex ? 16 : 10;
    magnitude = 0;
    for (; pos < text.size(); ++pos) {
        int digit = HexDigit(text[pos]);
        if (digit < 0 || static_cast<uint64_t>(digit) >= base)
            return false;
        if (magnitude > (std::numeric_limits<uint64_t>::max() - static_cast<uint64_t>(digit)) / base)
            return false;
        magnitude = magnitude * base + static_cast<uint64_t>(digit);
    }
    return true;
}

} // namespace

bool YamlParseInteger32(std::string_view text, int32_t& value) noexcept
{
    bool negative, hex;
    uint64_t magnitude;
    if (!ParseMagnitude(text, negative, hex, magnitude))
        return false;
    if (hex) {
        // A bit pattern of up to 32 bits; a sign negates it in 32 bits.
        if (magnitude > 0xFFFFFFFFu)
            return false;
        uint32_t bits = static_cast<uint32_t>(magnitude);
        value = static_cast<int32_t>(negative ? 0u - bits : bits);
        return true;
    }
    if (negative ? magnitude > 0x80000000u : magnitude > 0x7FFFFFFFu)
        return false;
    value = static_cast<int32_t>(negative ? 0u - static_cast<uint32_t>(magnitude) : static_cast<uint32_t>(magnitude));
    return true;
}

bool YamlParseInteger64(std::string_view text, int64_t& value) noexcept
{
    bool negative, hex;
    uint64_t magnitude;
    if (!ParseMagnitude(text, negative, hex, magnitude))
        return false;
    if (!hex && (negative ? magnitude > 0x8000000000000000u : magnitude > 0x7FFFFFFFFFFFFFFFu))
        return false;
    value = static_cast<int64_t>(negative ? 0u - magnitude : magnitude);
    return true;
}

bool YamlParseBoolean(std::string_view text, bool& value) noexcept
{
    auto equalsIgnoringCase = [text](std::string_view word) {
        if (text.size() != word.size())
            return false;
        for (size_t i = 0; i < text.size(); ++i) {
            char c = text[i];
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
            if (c != word[i])
                return false;
        }
        return true;
    };
    if (equalsIgnoringCase("true")) {
        value = true;
        return true;
    }
    if (equalsIgnoringCase("false")) {
        value = false;
        return true;
    }
    int64_t number;
    if (!YamlParseInteger64(text, number))
        return false;
    value = number != 0;
    return true;
}

std::string YamlUnescape(std::string_view raw)
{
    enum class Quote { None, Single, Double };
    Quote quote = Quote::None;
    std::string bytes;
    bytes.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == '\'' && quote != Quote::Double) {
            quote = quote == Quote::None ? Quote::Single : Quote::None;
            continue;
        }
        if (c == '"' && quote != Quote::Single) {
            quote = quote == Quote::None ? Quote::Double : Quote::None;
            continue;
        }
        if (c != '\\' || quote == Quote::Single) {
            bytes += c;
            continue;
        }
        // A backslash at the very end stands for nothing.
        if (++i >= raw.size())
            break;
        switch (raw[i]) {
        case 'n':
        case 'N':
            bytes += '\n';
            break;
        case 'r':
        case 'R':
            bytes += '\r';
            break;
        case 't':
        case 'T':
            bytes += '\t';
            break;
        case 'x':
        case 'X': {
            // "\x" without a first digit is dropped and the next byte read as
            // usual; with only one digit, "\x" and that digit are dropped.
            int high = i + 1 < raw.size() ? HexDigit(raw[i + 1]) : -1;
            if (high < 0)
                break;
            int low = i + 2 < raw.size() ? HexDigit(raw[i + 2]) : -1;
            if (low >= 0)
                bytes += static_cast<char>(high * 16 + low);
            i += low >= 0 ? 2 : 1;
            break;
        }
        default:
            bytes += raw[i];
            break;
        }
    }
    return bytes;
}

// ---------------------------------------------------------------------------
// TYamlCursor
// ---------------------------------------------------------------------------

TYamlCursor::TYamlCursor(std::string_view expectedType, std::string text) : FText(std::move(text))
{
    if (!Start())
        throw Exception(kYamlInitializationError);
    if (!expectedType.empty() && !TypeFits(expectedType))
        throw Exception(kYamlTypeError);
    Next();
}

// Sets the scanner to the whole text: skips a byte-order mark and the
// "--- !type" header line.
bool TYamlCursor::Start()
{
    try {
        FIndents.reserve(16);
    } catch (const std::bad_alloc&) {
        return false;
    }
    FPos = 0;
    if (FText.compare(0, 3, "\xEF\xBB\xBF") == 0)
        FPos = 3;
    if (FText.compare(FPos, 3, "---") == 0) {
        FPos += 3;
        SkipBlanks();
        if (!AtEnd() && Peek() == '!') {
            ++FPos;
            SkipBlanks();
            size_t length = KeyLengthAt(FPos);
            if (length == 0)
                return false;
            FTypeTag.assign(FText, FPos, length);
            FPos += length;
            SkipBlanks();
        }
        SkipLineBreak();
        SkipLineBreak();
    }
    FState = StateDocumentStart;
    return true;
}

// A document without a tag fits any type; a tag fits when it is a leading
// part of the expected type.
bool TYamlCursor::TypeFits(std::string_view expectedType) const noexcept
{
    return expectedType.substr(0, FTypeTag.size()) == FTypeTag;
}

void TYamlCursor::Next()
{
    if (!Step())
        throw Exception(kYamlError);
}

void TYamlCursor::Skip()
{
    // Counted, not recursive: a node may nest thousands of levels deep.
    size_t depth = (FEvent == TYamlEvent::MappingStart || FEvent == TYamlEvent::SequenceStart) ? 1 : 0;
    while (depth > 0) {
        if (!Step())
            throw Exception(kYamlStructureError);
        if (FEvent == TYamlEvent::MappingStart || FEvent == TYamlEvent::SequenceStart)
            ++depth;
        else if (FEvent == TYamlEvent::BlockEnd)
            --depth;
        else if (FEvent == TYamlEvent::DocumentEnd)
            break;
    }
    if (!Step())
        throw Exception(kYamlStructureError);
}

void TYamlCursor::LowerCaseKey() noexcept
{
    for (char& c : FKey)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
}

bool TYamlCursor::Step() noexcept
{
    bool ok;
    try {
        ok = Scan();
    } catch (const std::bad_alloc&) {
        ok = false;
    } catch (const std::length_error&) {
        ok = false;
    }
    if (!ok) {
        // The reader does not recover: every further step fails too.
        FState = StateFailed;
        FEvent = TYamlEvent::None;
        FKey.clear();
        FValue.clear();
    }
    return ok;
}

bool TYamlCursor::Scan()
{
    switch (FState) {
    case StateFailed:
        return false;
    case StateEnd:
        if (FIndents.empty()) {
            SetEvent(TYamlEvent::DocumentEnd, 0, 0, 0, 0);
        } else {
            FIndents.pop_back();
            SetEvent(TYamlEvent::BlockEnd, 0, 0, 0, 0);
        }
        return true;
    case StateDocumentStart:
        return ScanDocumentStart();
    case StateInBlock:
        return ScanEntry();
    default:
        --FState;
        SetEvent(TYamlEvent::BlockEnd, 0, 0, 0, 0);
        return true;
    }
}

bool TYamlCursor::ScanDocumentStart()
{
    SkipBlankLines();
    if (AtEnd()) {
        SetEvent(TYamlEvent::Scalar, 0, 0, 0, 0);
        FState = StateEnd;
        return true;
    }
    if (Peek() == '|') {
        // The whole document is one literal text.
        ++FPos;
        SkipBlanks();
        if (!SkipLineBreak())
            return false;
        SetEvent(TYamlEvent::Scalar, 0, 0, FPos, FText.size() - FPos);
        FPos = FText.size();
        FState = StateEnd;
        return true;
    }
    // The top-level block starts at column 0.
    if (!PushIndentation(0))
        return false;
    SetEvent(Peek() == '-' ? TYamlEvent::SequenceStart : TYamlEvent::MappingStart, 0, 0, 0, 0);
    FState = StateInBlock;
    return true;
}

// Reads one entry; the position stands on its first byte.
bool TYamlCursor::ScanEntry()
{
    const size_t entryStart = FPos;
    size_t keyStart = FPos;
    size_t keyLength = 0;
    if (!AtEnd() && Peek() == '-') {
        ++FPos;
    } else {
        keyLength = KeyLengthAt(FPos);
        if (keyLength == 0)
            return false;
        FPos += keyLength;
        SkipBlanks();
        if (AtEnd() || Peek() != ':')
            return false;
        ++FPos;
    }
    SkipBlanks();

    if (AtEnd() || IsLineBreak(Peek())) {
        // Nothing after the head: the entry owns the deeper lines below it,
        // or has an empty value when there are none.
        SkipLineBreak();
        SkipBlankLines();
        int32_t width = ConsumeIndentation();
        if (!AtEnd() && width > TopIndentation()) {
            if (!PushIndentation(width))
                return false;
            SetEvent(Peek() == '-' ? TYamlEvent::SequenceStart : TYamlEvent::MappingStart, keyStart, keyLength, 0,
                     0);
            return true;
        }
        SetEvent(TYamlEvent::Scalar, keyStart, keyLength, 0, 0);
        return CloseBlocks(width);
    }

    if (Peek() == '|')
        return ScanLiteralBlock(keyStart, keyLength);

    // "key: inner: value" (or "- inner: value") opens a mapping nested in
    // this entry whose column is that of the inner key; the inner key is read
    // as an entry of its own by the next step.
    size_t innerKeyLength = KeyLengthAt(FPos);
    if (innerKeyLength > 0) {
        size_t pos = FPos + innerKeyLength;
        while (pos < FText.size() && IsBlank(FText[pos]))
            ++pos;
        if (pos < FText.size() && FText[pos] == ':') {
            int64_t width = static_cast<int64_t>(TopIndentation()) + static_cast<int64_t>(FPos - entryStart);
            if (!PushIndentation(SaturatedWidth(width)))
                return false;
            SetEvent(TYamlEvent::MappingStart, keyStart, keyLength, 0, 0);
            return true;
        }
    }

    // A plain value: the rest of the line, trailing blanks and "#" included.
    size_t valueStart = FPos;
    while (!AtEnd() && !IsLineBreak(Peek()))
        ++FPos;
    SetEvent(TYamlEvent::Scalar, keyStart, keyLength, valueStart, FPos - valueStart);
    SkipBlankLines();
    return CloseBlocks(ConsumeIndentation());
}

// "|" starts a literal text on the following lines, which must be indented
// deeper than the block. It runs until a line indented less than its first
// line (an empty line included) and keeps every line's indentation and line
// break.
bool TYamlCursor::ScanLiteralBlock(size_t keyStart, size_t keyLength)
{
    ++FPos;
    SkipBlanks();
    if (!SkipLineBreak())
        return false;
    const size_t valueStart = FPos;
    size_t pos = FPos;
    const int32_t firstWidth = MeasureIndentation(FText, pos);
    if (firstWidth <= TopIndentation())
        return false;
    size_t end = FText.size();
    while (pos < FText.size()) {
        if (!IsLineBreak(FText[pos])) {
            ++pos;
            continue;
        }
        if (FText[pos] == '\r')
            ++pos;
        if (pos < FText.size() && FText[pos] == '\n')
            ++pos;
        size_t lineEnd = pos;
        if (MeasureIndentation(FText, pos) < firstWidth) {
            end = lineEnd;
            break;
        }
    }
    SetEvent(TYamlEvent::Scalar, keyStart, keyLength, valueStart, end - valueStart);
    FPos = end;
    SkipBlankLines();
    return CloseBlocks(ConsumeIndentation());
}

// After an entry: the next content line's width decides how many blocks end.
bool TYamlCursor::CloseBlocks(int32_t width)
{
    if (AtEnd()) {
        FState = StateEnd;
        return true;
    }
    // A line deeper than its block without an entry that opened a block.
    if (width > TopIndentation())
        return false;
    // A width between two stacked widths closes the deeper block and goes on
    // in the outer one.
    uint32_t pending = 0;
    while (!FIndents.empty() && FIndents.back() > width) {
        FIndents.pop_back();
        ++pending;
    }
    FState = StateInBlock + pending;
    return true;
}

bool TYamlCursor::PushIndentation(int32_t width)
{
    try {
        FIndents.push_back(width);
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    return true;
}

void TYamlCursor::SkipBlanks() noexcept
{
    while (!AtEnd() && IsBlank(Peek()))
        ++FPos;
}

// A line break is an optional CR followed by an optional LF; true when there
// was one.
bool TYamlCursor::SkipLineBreak() noexcept
{
    size_t start = FPos;
    if (!AtEnd() && Peek() == '\r')
        ++FPos;
    if (!AtEnd() && Peek() == '\n')
        ++FPos;
    return FPos != start;
}

// Skips blank lines and comment lines and stops at the start of the first
// content line, so that its indentation can still be measured.
void TYamlCursor::SkipBlankLines() noexcept
{
    size_t lineStart = FPos;
    size_t pos = FPos;
    while (pos < FText.size()) {
        char c = FText[pos];
        if (IsBlank(c)) {
            ++pos;
        } else if (IsLineBreak(c)) {
            lineStart = ++pos;
        } else if (c == '#') {
            // Only blanks lie before it on its line: a comment to the line end.
            while (pos < FText.size() && !IsLineBreak(FText[pos]))
                ++pos;
        } else {
            FPos = lineStart;
            return;
        }
    }
    FPos = FText.size();
}

int32_t TYamlCursor::ConsumeIndentation() noexcept
{
    return MeasureIndentation(FText, FPos);
}

size_t TYamlCursor::KeyLengthAt(size_t pos) const noexcept
{
    if (pos >= FText.size() || FText[pos] == '-')
        return 0;
    size_t end = pos;
    while (end < FText.size() && IsKeyChar(FText[end]))
        ++end;
    return end - pos;
}

void TYamlCursor::SetEvent(TYamlEvent event, size_t keyStart, size_t keyLength, size_t valueStart,
                           size_t valueLength)
{
    FKey.assign(FText, keyStart, keyLength);
    FValue.assign(FText, valueStart, valueLength);
    FEvent = event;
}

bool TYamlCursor::IsKey(const char* name) const noexcept
{
    return name != nullptr && FKey == name;
}

