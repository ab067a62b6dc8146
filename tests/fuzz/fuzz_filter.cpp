// The filter language: a filter text, a file name and its attribute bits,
// separated by zero bytes. Parses the filter, evaluates it, and matches the
// text as a single wildcard pattern as the file search does.
#include "search/WildCard.h"
#include "tests/fuzz/FuzzInput.h"

namespace {

constexpr size_t kReferenceLength = 48;

wchar_t Fold(wchar_t c)
{
    return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

// The match as its rules say it, recursively, over all split points: "*"
// any run, "?" one character, "." a dot or, at the end of a name without
// any dot, nothing; other characters equal under ASCII folding.
bool ReferenceMatch(std::wstring_view pattern, std::wstring_view name)
{
    const bool noDot = name.find(L'.') == std::wstring_view::npos;
    // known[p][n]: 0 not yet known, 1 no match, 2 match of pattern[p..] at name[n..].
    std::vector<std::vector<uint8_t>> known(pattern.size() + 1, std::vector<uint8_t>(name.size() + 1, 0));
    auto match = [&](auto& self, size_t p, size_t n) -> bool {
        uint8_t& memo = known[p][n];
        if (memo != 0)
            return memo == 2;
        bool result;
        if (p == pattern.size()) {
            result = n == name.size();
        } else if (pattern[p] == L'*') {
            result = false;
            for (size_t k = n; k <= name.size() && !result; ++k)
                result = self(self, p + 1, k);
        } else if (pattern[p] == L'?') {
            result = n < name.size() && self(self, p + 1, n + 1);
        } else if (pattern[p] == L'.' && n == name.size()) {
            result = noDot && self(self, p + 1, n);
        } else {
            result = n < name.size() && Fold(pattern[p]) == Fold(name[n]) && self(self, p + 1, n + 1);
        }
        memo = result ? 2 : 1;
        return result;
    };
    return match(match, 0, 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto fields = fuzz::SplitFields(data, size, 3);
    std::wstring filter = fuzz::WideFromBytes(fields[0]);
    std::wstring name = fuzz::WideFromBytes(fields[1]);
    uint32_t attributes = 0;
    for (char c : fields[2])
        attributes = (attributes << 8) | static_cast<uint8_t>(c);

    try {
        TWildCardExpression expression(filter);
        fuzz::Check(expression.Source() == filter, "the filter does not keep its text");
        bool matches = expression.Matches(name, attributes);
        // Evaluating twice gives the same answer: nothing is consumed.
        fuzz::Check(expression.Matches(name, attributes) == matches, "a filter answers differently the second time");
    } catch (const EWildCardError& e) {
        fuzz::Check(!e.Message().empty(), "a filter error without a message");
    }

    // The token reader on its own, over a text stripped of leading blanks.
    std::wstring_view rest = filter;
    while (!rest.empty() && rest.front() < 33)
        rest.remove_prefix(1);
    try {
        TWildCardToken token = ReadWildCardToken(rest);
        fuzz::Check(token.Length >= 0 && static_cast<size_t>(token.Length) <= rest.size(),
                    "a token longer than its text");
        fuzz::Check((token.Kind == TWildCardTokenKind::End) == (token.Length == 0), "an empty token that is no end");
    } catch (const EWildCardError&) {
    }

    // The whole text as one pattern, against the plain reading of the rules.
    bool matches = MatchesWildCard(filter, name);
    if (filter.size() <= kReferenceLength && name.size() <= kReferenceLength)
        fuzz::Check(matches == ReferenceMatch(filter, name), "the wildcard match departs from its rules");
    // Every character of a name matches itself, wildcard characters included.
    fuzz::Check(MatchesWildCard(name, name), "a name does not match itself");
    return 0;
}
