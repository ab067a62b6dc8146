// The scanner of the settings file: a pull parser over the block-indented
// subset of YAML that setting.yaml is written in, and the value syntax of its
// scalars. Standard library only; the settings-reader interface on top of it
// is in nimyaml.h.
#pragma once

// Toolkit
#include "lw/LExceptionBase.h"

// Standard library
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// ---------------------------------------------------------------------------
// Value parsing shared by the reader's typed reads
// ---------------------------------------------------------------------------

// Integer syntax of the settings file: an optional sign, then decimal digits,
// or hexadecimal digits after "$", "x" or "0x" (either letter case). No blanks
// and nothing trailing. A decimal number must lie in the range of the target
// type; a hexadecimal one may use all its bits (so "$FFFFFFFF" is -1 as a
// 32-bit integer, as a colour value written in hex expects).
bool YamlParseInteger32(std::string_view text, int32_t& value) noexcept;
bool YamlParseInteger64(std::string_view text, int64_t& value) noexcept;
// "true"/"false" in any letter case, or an integer (0 is false, any other true).
bool YamlParseBoolean(std::string_view text, bool& value) noexcept;
// Applies the quoting and escapes of a raw value and returns its bytes (UTF-8).
std::string YamlUnescape(std::string_view raw);

// ---------------------------------------------------------------------------
// The cursor
// ---------------------------------------------------------------------------

enum class TYamlEvent : uint8_t {
    None = 0,          // the cursor has failed or was never started
    DocumentEnd = 1,   // all blocks are closed; repeated for every further Next
    MappingStart = 2,  // a block of "key: value" entries begins; Key is its owner's key
    SequenceStart = 3, // a block of "- item" entries begins; Key is its owner's key
    BlockEnd = 4,      // the innermost open block ends
    Scalar = 5,        // one entry with a text value; Key empty for a sequence item
};

// A forward-only cursor over the events of one document. It holds the text
// for its whole life and never rewinds; create a fresh cursor to read again.
class TYamlCursor {
public:
    // Starts the scanner and produces the first event. Raises
    // "YAML Initialization Error" when the scanner cannot start and
    // "YAML Type Error" when the header's type tag does not fit expectedType
    // (an empty expectedType skips the test).
    TYamlCursor(std::string_view expectedType, std::string text);
    TYamlCursor(const TYamlCursor&) = delete;
    TYamlCursor& operator=(const TYamlCursor&) = delete;

    TYamlEvent EventKind() const noexcept { return FEvent; }
    const std::string& Key() const noexcept { return FKey; }
    // The raw value: quotes and escapes still in it.
    const std::string& Value() const noexcept { return FValue; }

    // Advances by one event. Raises "YAML Error" when the text cannot be scanned.
    void Next();
    // Consumes the current node with everything nested in it: a block start
    // up to and including its BlockEnd, any other event by itself. Raises
    // "YAML Structure Error" when scanning fails on the way.
    void Skip();
    // Lower-cases the ASCII letters of Key.
    void LowerCaseKey() noexcept;

protected:
    bool IsKey(const char* name) const noexcept;

private:
    // Scanner state numbers; InBlock + N means N BlockEnd events are pending.
    static constexpr uint32_t StateFailed = 0;
    static constexpr uint32_t StateEnd = 1;
    static constexpr uint32_t StateDocumentStart = 2;
    static constexpr uint32_t StateInBlock = 3;

    bool Start();
    bool TypeFits(std::string_view expectedType) const noexcept;
    // One step of the cursor; false (and the failed state) when scanning fails.
    bool Step() noexcept;
    bool Scan();
    bool ScanDocumentStart();
    bool ScanEntry();
    bool ScanLiteralBlock(size_t keyStart, size_t keyLength);
    bool CloseBlocks(int32_t width);
    bool PushIndentation(int32_t width);
    int32_t TopIndentation() const noexcept { return FIndents.empty() ? -1 : FIndents.back(); }

    bool AtEnd() const noexcept { return FPos >= FText.size(); }
    char Peek() const noexcept { return FText[FPos]; }
    void SkipBlanks() noexcept;
    bool SkipLineBreak() noexcept;
    void SkipBlankLines() noexcept;
    int32_t ConsumeIndentation() noexcept;
    size_t KeyLengthAt(size_t pos) const noexcept;
    void SetEvent(TYamlEvent event, size_t keyStart, size_t keyLength, size_t valueStart, size_t valueLength);

    std::string FText;
    size_t FPos = 0;
    uint32_t FState = StateFailed;
    TYamlEvent FEvent = TYamlEvent::None;
    std::string FTypeTag;
    std::vector<int32_t> FIndents;
    std::string FKey;
    std::string FValue;
};
