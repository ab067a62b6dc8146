// Filter expressions: quoted wildcard patterns and attribute words combined
// with NOT, AND, OR (also written ";") and XOR. The file list view filters
// with them and the file search selects the files it reports with them.
#pragma once

// Toolkit
#include "lw/LExceptionBase.h"

// Standard library
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// Every syntax error of a filter text; the message is meant for the user.
class EWildCardError : public Exception {
public:
    using Exception::Exception;
};

enum class TWildCardTokenKind : uint8_t { End = 0, Word = 1, Pattern = 2, Symbol = 3 };

struct TWildCardToken {
    // A quoted pattern's text comes without its quotes and with every doubled
    // quote made single.
    std::wstring Text;
    // Characters the token takes from the front of the text, quotes included.
    int32_t Length = 0;
    TWildCardTokenKind Kind = TWildCardTokenKind::End;
};

// The token at the front of text (which the caller has stripped of leading
// blanks). Raises EWildCardError for a quoted pattern without its closing
// quote and for a character that starts no token.
TWildCardToken ReadWildCardToken(std::wstring_view text);

enum class TWildCardNodeKind : uint8_t { Pattern = 0, Attribute = 1, And = 2, Or = 3, Xor = 4, Not = 5 };

struct TWildCardExpressionNode {
    std::wstring Pattern;  // Pattern
    uint32_t Attributes = 0;  // Attribute: the mask of Win32 attribute bits
    // And, Or, Xor: both operands; Not: the operand in Left.
    std::unique_ptr<TWildCardExpressionNode> Left;
    std::unique_ptr<TWildCardExpressionNode> Right;
    TWildCardNodeKind Kind = TWildCardNodeKind::Pattern;

    TWildCardExpressionNode() = default;
    // Takes the subtrees apart without recursion: a filter may nest as deep
    // as its text is long.
    ~TWildCardExpressionNode();
    TWildCardExpressionNode(const TWildCardExpressionNode&) = delete;
    TWildCardExpressionNode& operator=(const TWildCardExpressionNode&) = delete;
};

// Whether a bare file name matches one wildcard pattern: "*" any run of
// characters, "?" one character, "." a dot or, for a name without any dot,
// the end of the name (so "*.*" takes every name and "*." the names without
// extension). ASCII letters match either case; nothing else is folded.
bool MatchesWildCard(std::wstring_view pattern, std::wstring_view name);

// A parsed filter text, built once and evaluated for every file.
class TWildCardExpression {
public:
    // Raises EWildCardError when the text is not a valid filter.
    explicit TWildCardExpression(std::wstring_view text);
    TWildCardExpression(const TWildCardExpression&) = delete;
    TWildCardExpression& operator=(const TWildCardExpression&) = delete;

    // The text as it was given, for callers that show the current filter.
    const std::wstring& Source() const noexcept { return FSource; }
    const TWildCardExpressionNode& Root() const noexcept { return *FRoot; }

    // Evaluates the filter for a bare file name and its Win32 attribute bits.
    bool Matches(std::wstring_view name, uint32_t attributes) const;

private:
    std::wstring FSource;
    std::unique_ptr<TWildCardExpressionNode> FRoot;
    std::size_t FDepth = 0;  // levels of the tree: the evaluation's stack size
};
