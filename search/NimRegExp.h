// The regular expression engine, portable: C++20 standard library only, no
// platform headers, so it also builds natively for fuzzing.
//
// API (namespace nimregexp):
//   std::unique_ptr<TProgram> TProgram::Compile(std::string_view pattern, uint8_t flags, uint8_t mode,
//                                               const TLocale* locale = nullptr);
//       throws ECompileError (what(): "Failed to Compile Regular Expression.") for every bad pattern,
//       nesting deeper than kMaxNesting included. A null locale means TLocale's portable default
//       (ASCII folding, no double-byte lead bytes, the pattern's bytes taken as Latin-1). The locale
//       must outlive the program.
//   bool TProgram::MatchAt(const char* textStart, const char* textEnd, const char*& position,
//                          TCapture capture = nullptr, void* data = nullptr) const;
//       whether the pattern matches starting exactly at position; on success position moves to the
//       end of the match and the captures of that match (and of no failed attempt) are reported.
//   bool TProgram::Search(const char* text, size_t length) const;
//       whether it matches at any character start of the text (an empty text is tried once).
//
// Modes: 0 N bytes, 1 A ANSI, 2 L double-byte ANSI, 3 U UTF-8, 4 W UTF-16LE, 5 S UTF-16BE, 6 E EUC-JP.
// Flags: 0x01 X, 0x02 I, 0x04 K, 0x08 B, 0x10 M.
//
// Matching never recurses: backtracking runs on explicit stacks that grow with the choices actually
// open, so no text overflows the thread's stack. A compiled program keeps its working stacks, so one
// thread at a time may match with it; compile one program per thread to search in parallel.
#pragma once

// Standard library
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace nimregexp {

enum : uint8_t { kModeN = 0, kModeA = 1, kModeL = 2, kModeU = 3, kModeW = 4, kModeS = 5, kModeE = 6 };
enum : uint8_t { kFlagX = 0x01, kFlagI = 0x02, kFlagK = 0x04, kFlagB = 0x08, kFlagM = 0x10 };

// Groups, look-aheads and predefined classes nested deeper than this do not
// compile (the compiler recurses once per level).
constexpr int kMaxNesting = 200;

class ECompileError : public std::runtime_error {
public:
    ECompileError() : std::runtime_error("Failed to Compile Regular Expression.") {}
};

// Capture number matched [start, end).
typedef void (*TCapture)(int32_t number, const char* start, const char* end, void* data);

// What the engine needs of the system's locale. The defaults are portable:
// ASCII case folding only, no lead bytes, pattern bytes read as Latin-1.
class TLocale {
public:
    virtual ~TLocale() = default;
    // Compares two single characters of mode A (userDefault false, the US
    // English locale) or mode L (the user's default locale); ignoreFlags holds
    // the I, K and B bits. Negative, zero or positive.
    virtual int CompareAnsi(bool userDefault, std::string_view a, std::string_view b, uint8_t ignoreFlags) const;
    // Compares two UTF-16 units in the user's default locale.
    virtual int CompareWide(char16_t a, char16_t b, uint8_t ignoreFlags) const;
    // Whether the byte starts a double-byte character of the ANSI code page.
    virtual bool IsLeadByte(uint8_t byte) const;
    // Converts one pattern character (one or two bytes of the ANSI code page)
    // to UTF-16; false unless it gives exactly one unit.
    virtual bool AnsiToUtf16(std::string_view character, char16_t& unit) const;

    static const TLocale& Default();
};

struct TNode;
struct TMatchState;

class TProgram {
public:
    static std::unique_ptr<TProgram> Compile(std::string_view pattern, uint8_t flags, uint8_t mode,
                                             const TLocale* locale = nullptr);
    ~TProgram();
    TProgram(const TProgram&) = delete;
    TProgram& operator=(const TProgram&) = delete;

    bool MatchAt(const char* textStart, const char* textEnd, const char*& position, TCapture capture = nullptr,
                 void* data = nullptr) const;
    bool Search(const char* text, size_t length) const;

    uint8_t Mode() const noexcept { return FMode; }
    uint8_t Flags() const noexcept { return FFlags; }
    // Bytes of the character at position by the pattern's top-level mode (at
    // least 1, never past textEnd).
    size_t CharLength(const char* position, const char* textEnd) const noexcept;

private:
    TProgram() = default;

    std::vector<std::unique_ptr<TNode>> FNodes;  // every node; freed with the program
    TNode* FRoot = nullptr;                      // null: the empty pattern, matching everywhere
    int FSlotCount = 0;                          // capture starts
    int FMemoCount = 0;                          // join nodes of the top level
    uint8_t FMode = 0;
    uint8_t FFlags = 0;
    // The caller's locale with its lead bytes read once: the matcher asks
    // for them at every character.
    std::unique_ptr<TLocale> FLocale;
    // Search shortcuts, each only a necessary condition for a match:
    std::string FPrefix;       // bytes every match starts with
    std::string FRequired;     // bytes every match holds at or after its start
    bool FFirstKnown = false;  // FFirst holds every byte a match can start with
    bool FFirst[256] = {};
    bool FFirstHasLead = false;  // a lead byte is among FFirst
    bool FSecondKnown = false;   // FSecond holds every byte the second character can start with
    bool FSecond[256] = {};
    std::vector<uint64_t> FPairs;  // bit first * 256 + second: FFirst and FSecond together
    std::unique_ptr<TMatchState> FState;  // working stacks, kept between matches

    friend class TCompiler;
};

}  // namespace nimregexp
