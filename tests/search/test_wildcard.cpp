// The filter language: tokens, grammar and its error texts, evaluation, the
// wildcard match (checked against a plain recursive reading of the rules) and
// texts built to exhaust a naive parser, evaluator or matcher.

// Own
#include "search/WildCard.h"

// Standard library
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace {

constexpr uint32_t kReadOnly = 0x1;
constexpr uint32_t kHidden = 0x2;
constexpr uint32_t kArchive = 0x20;

const std::wstring kBadExpression = L"式が間違っています";
const std::wstring kClosingQuote = L"閉じ引用符が必要です";
const std::wstring kOperandExpected = L"属性またはワイルドカードが必要です";

std::string Narrow(std::wstring_view text)
{
    return std::string(text.begin(), text.end());  // for failure output only
}

// The message of the error the text raises, empty when it parses.
std::wstring ParseError(std::wstring_view text)
{
    try {
        TWildCardExpression expression(text);
        return {};
    } catch (const EWildCardError& e) {
        return e.Message();
    }
}

// The tree in prefix form: "*.a" for a pattern, A2 for an attribute mask.
std::wstring Shape(const TWildCardExpressionNode& node)
{
    switch (node.Kind) {
    case TWildCardNodeKind::Pattern:
        return L"\"" + node.Pattern + L"\"";
    case TWildCardNodeKind::Attribute:
        return L"A" + std::to_wstring(node.Attributes);
    case TWildCardNodeKind::Not:
        return L"NOT(" + Shape(*node.Left) + L")";
    case TWildCardNodeKind::And:
        return L"AND(" + Shape(*node.Left) + L"," + Shape(*node.Right) + L")";
    case TWildCardNodeKind::Or:
        return L"OR(" + Shape(*node.Left) + L"," + Shape(*node.Right) + L")";
    case TWildCardNodeKind::Xor:
        return L"XOR(" + Shape(*node.Left) + L"," + Shape(*node.Right) + L")";
    }
    return L"?";
}

// The pattern rules read literally, recursing per character.
wchar_t Upper(wchar_t c)
{
    return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c;
}

bool ReferenceMatch(std::wstring_view pattern, std::wstring_view name, std::size_t p, std::size_t n)
{
    if (p == pattern.size())
        return n == name.size();
    switch (pattern[p]) {
    case L'*':
        for (std::size_t k = n; k <= name.size(); ++k)
            if (ReferenceMatch(pattern, name, p + 1, k))
                return true;
        return false;
    case L'?':
        return n < name.size() && ReferenceMatch(pattern, name, p + 1, n + 1);
    case L'.':
        if (n < name.size() && name[n] == L'.' && ReferenceMatch(pattern, name, p + 1, n + 1))
            return true;
        if (n == name.size() && name.find(L'.') == std::wstring_view::npos)
            return ReferenceMatch(pattern, name, p + 1, n);
        return false;
    default:
        return n < name.size() && Upper(pattern[p]) == Upper(name[n]) &&
               ReferenceMatch(pattern, name, p + 1, n + 1);
    }
}

// Every string over the alphabet up to the given length.
std::vector<std::wstring> AllStrings(std::wstring_view alphabet, std::size_t maxLength)
{
    std::vector<std::wstring> strings{L""};
    for (std::size_t from = 0; from < strings.size(); ++from) {
        if (strings[from].size() == maxLength)
            continue;
        for (wchar_t c : alphabet)
            strings.push_back(strings[from] + c);
    }
    return strings;
}

std::wstring Repeat(std::wstring_view part, std::size_t count)
{
    std::wstring text;
    text.reserve(part.size() * count);
    for (std::size_t i = 0; i < count; ++i)
        text += part;
    return text;
}

} // namespace

TEST(WildCardTokens, ReadsOneTokenFromTheFront)
{
    struct Row {
        std::wstring_view text;
        TWildCardTokenKind kind;
        std::wstring_view tokenText;
        int32_t length;
    } rows[] = {
        {L"", TWildCardTokenKind::End, L"", 0},
        {L"\"*.txt\" OR", TWildCardTokenKind::Pattern, L"*.txt", 7},
        {L"\"a\"\"b\"", TWildCardTokenKind::Pattern, L"a\"b", 6},
        {L"\"\"", TWildCardTokenKind::Pattern, L"", 2},
        {L"\"\"\"\"", TWildCardTokenKind::Pattern, L"\"", 4},
        {L"\"\"\"\"\"\"x", TWildCardTokenKind::Pattern, L"\"\"", 6},
        {L"\"#\"", TWildCardTokenKind::Pattern, L"#", 3},
        {L"\"a\"#\"", TWildCardTokenKind::Pattern, L"a", 3},
        {L"\"a b\t(\"", TWildCardTokenKind::Pattern, L"a b\t(", 7},
        {L"Hidden2", TWildCardTokenKind::Word, L"Hidden", 6},
        {L"_read_Only)", TWildCardTokenKind::Word, L"_read_Only", 10},
        {L"ORHidden", TWildCardTokenKind::Word, L"ORHidden", 8},
        {L"AND\"x\"", TWildCardTokenKind::Word, L"AND", 3},
        {L"((", TWildCardTokenKind::Symbol, L"(", 1},
        {L")x", TWildCardTokenKind::Symbol, L")", 1},
        {L";;", TWildCardTokenKind::Symbol, L";", 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Narrow(row.text));
        TWildCardToken token = ReadWildCardToken(row.text);
        EXPECT_EQ(token.Kind, row.kind);
        EXPECT_EQ(token.Text, row.tokenText);
        EXPECT_EQ(token.Length, row.length);
    }
}

TEST(WildCardTokens, RejectsUnterminatedQuotesAndStrayCharacters)
{
    struct Row {
        std::wstring_view text;
        std::wstring message;
    } rows[] = {
        {L"\"", kClosingQuote},
        {L"\"abc", kClosingQuote},
        {L"\"ab\"\"", kClosingQuote},  // the last quote is half of a doubled one
        {L"\"ab#", kClosingQuote},
        {L"2", L"不正な文字\"2\"があります"},
        {L"*.txt", L"不正な文字\"*\"があります"},
        {L"＊", L"不正な文字\"＊\"があります"},
        {L"\x7F", L"不正な文字\"\x7F\"があります"},
        {L"\U0002000B", L"不正な文字\"\U0002000B\"があります"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Narrow(row.text));
        try {
            ReadWildCardToken(row.text);
            ADD_FAILURE() << "no error";
        } catch (const EWildCardError& e) {
            EXPECT_EQ(e.Message(), row.message);
        }
    }
}

TEST(WildCardExpression, BuildsTheTreeByPrecedence)
{
    struct Row {
        std::wstring_view text;
        std::wstring_view shape;
    } rows[] = {
        {L"NOT Hidden AND \"*.log\"", L"AND(NOT(A2),\"*.log\")"},
        {L"\"*.a\" OR \"*.b\" AND ReadOnly", L"OR(\"*.a\",AND(\"*.b\",A1))"},
        {L"\"a\" OR \"b\" XOR \"c\"", L"XOR(OR(\"a\",\"b\"),\"c\")"},
        {L"\"a\" XOR \"b\" ; \"c\"", L"OR(XOR(\"a\",\"b\"),\"c\")"},
        {L"\"*.txt\" ; \"*.doc\"", L"OR(\"*.txt\",\"*.doc\")"},
        {L"\"a\" AND \"b\" AND \"c\"", L"AND(AND(\"a\",\"b\"),\"c\")"},
        {L"\"a\" AND (\"b\" OR \"c\")", L"AND(\"a\",OR(\"b\",\"c\"))"},
        {L"NOT (\"a\" OR \"b\") AND NOT \"c\"", L"AND(NOT(OR(\"a\",\"b\")),NOT(\"c\"))"},
        {L"readonly or HIDDEN And System", L"OR(A1,AND(A2,A4))"},
        {L"archive xor Archive", L"XOR(A32,A32)"},
        {L"(((\"x\")))", L"\"x\""},
        {L"not\"a\"and\"b\";\"c\"", L"OR(AND(NOT(\"a\"),\"b\"),\"c\")"},
        {L"\"a\"\"b\"", L"\"a\"b\""},
        {L"\"\"", L"\"\""},
        {L" \t\"a\"\r\nOR\x01\"b\"  \x1F", L"OR(\"a\",\"b\")"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Narrow(row.text));
        TWildCardExpression expression(row.text);
        EXPECT_EQ(Shape(expression.Root()), row.shape);
        EXPECT_EQ(expression.Source(), row.text);
    }
}

TEST(WildCardExpression, ReportsEachKindOfSyntaxError)
{
    struct Row {
        std::wstring_view text;
        std::wstring message;
    } rows[] = {
        {L"", kBadExpression},
        {L" \t\r\n\x01 ", kBadExpression},
        {L"\"*.c\" \"*.h\"", kBadExpression},
        {L"()", kBadExpression},
        {L")", kBadExpression},
        {L";\"a\"", kBadExpression},
        {L"NOT", kBadExpression},
        {L"\"a\" OR", kBadExpression},
        {L"(((", kBadExpression},
        {L"\"a\")", kBadExpression},
        {L"(\"a\" ;)", kBadExpression},
        {L"\"a\"ORHidden", kBadExpression},
        {L"\"abc", kClosingQuote},
        {L"\"a\" \"b", kClosingQuote},
        {L"(\"*.c\"", kClosingQuote},
        {L"(\"a\" \"b\")", kClosingQuote},
        {L"(\"a\" Hidden)", kClosingQuote},
        {L"Foo", kOperandExpected},
        {L"Hidden_", kOperandExpected},
        {L"NOT NOT Hidden", kOperandExpected},
        {L"OR \"a\"", kOperandExpected},
        {L"\"a\" AND OR \"b\"", kOperandExpected},
        {L"Hidden2", L"不正な文字\"2\"があります"},
        {L"\"a\" & \"b\"", L"不正な文字\"&\"があります"},
        {L"\"a\" OR　\"b\"", L"不正な文字\"　\"があります"},  // an ideographic space
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Narrow(row.text));
        EXPECT_EQ(ParseError(row.text), row.message);
    }
}

TEST(WildCardExpression, EvaluatesNamesAndAttributes)
{
    struct Row {
        std::wstring_view filter;
        std::wstring_view name;
        uint32_t attributes;
        bool expected;
    } rows[] = {
        {L"\"*.txt\"", L"readme.TXT", 0, true},
        {L"\"*.txt\"", L"readme.ｔｘｔ", 0, false},
        {L"\"*.*\"", L"README", 0, true},
        {L"\"*.*\"", L"a.b", 0, true},
        {L"\"*.\"", L"README", 0, true},
        {L"\"*.\"", L"a.b", 0, false},
        {L"\"a?c\"", L"ac", 0, false},
        {L"\"a?c\"", L"a.c", 0, true},
        {L"\"ä*\"", L"Äpfel", 0, false},
        {L"\"*.txt\" ; \"*.doc\"", L"a.doc", 0, true},
        {L"NOT Hidden AND \"*.log\"", L"x.log", 0, true},
        {L"NOT Hidden AND \"*.log\"", L"x.log", kHidden, false},
        {L"NOT Hidden AND \"*.log\"", L"x.txt", 0, false},
        {L"\"*.a\" OR \"*.b\" AND ReadOnly", L"x.a", 0, true},
        {L"\"*.a\" OR \"*.b\" AND ReadOnly", L"x.b", 0, false},
        {L"\"*.a\" OR \"*.b\" AND ReadOnly", L"x.b", kReadOnly, true},
        {L"\"a\"\"b\"", L"a\"b", 0, true},
        {L"Hidden", L"x", kHidden | kArchive, true},
        {L"Hidden", L"x", kArchive, false},
        {L"SYSTEM", L"x", 0x4, true},
        {L"\"a*\" XOR \"*b\"", L"ab", 0, false},
        {L"\"a*\" XOR \"*b\"", L"ax", 0, true},
        {L"\"a*\" XOR \"*b\"", L"xb", 0, true},
        {L"\"a*\" XOR \"*b\"", L"xx", 0, false},
        {L"NOT (\"*.c\" OR \"*.h\")", L"x.c", 0, false},
        {L"NOT (\"*.c\" OR \"*.h\")", L"x.cpp", 0, true},
        {L"\"\"", L"", 0, true},
        {L"\"\"", L"a", 0, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Narrow(row.filter) + " / " + Narrow(row.name));
        EXPECT_EQ(TWildCardExpression(row.filter).Matches(row.name, row.attributes), row.expected);
    }
}

TEST(WildCardMatch, AgreesWithTheRecursiveRulesOnEveryShortPair)
{
    // Upper- and lower-case letters on both sides, and dots in names with and
    // without them, which is where the "." rule bites.
    const std::vector<std::wstring> patterns = AllStrings(L"aB.*?", 5);
    const std::vector<std::wstring> names = AllStrings(L"abB.", 4);
    int mismatches = 0;
    for (const std::wstring& pattern : patterns) {
        for (const std::wstring& name : names) {
            bool expected = ReferenceMatch(pattern, name, 0, 0);
            if (MatchesWildCard(pattern, name) != expected && ++mismatches <= 10)
                ADD_FAILURE() << Narrow(pattern) << " / " << Narrow(name) << " should be " << expected;
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(WildCardMatch, AgreesWithTheRecursiveRulesOnLongerRandomPairs)
{
    std::mt19937 random(20240607);
    const std::wstring_view patternAlphabet = L"ab..**?A";
    const std::wstring_view nameAlphabet = L"abA..";
    int matched = 0;
    for (int round = 0; round < 20000; ++round) {
        std::wstring pattern(random() % 11, L' ');
        for (wchar_t& c : pattern)
            c = patternAlphabet[random() % patternAlphabet.size()];
        std::wstring name(random() % 13, L' ');
        for (wchar_t& c : name)
            c = nameAlphabet[random() % nameAlphabet.size()];
        bool expected = ReferenceMatch(pattern, name, 0, 0);
        matched += expected;
        ASSERT_EQ(MatchesWildCard(pattern, name), expected) << Narrow(pattern) << " / " << Narrow(name);
    }
    // Both answers have to be well represented for the comparison to mean much.
    EXPECT_GT(matched, 1000);
    EXPECT_LT(matched, 19000);
}

TEST(WildCardRobustness, DeepNestingParsesEvaluatesAndFrees)
{
    const std::size_t depth = 100000;
    {
        TWildCardExpression expression(std::wstring(depth, L'(') + L"\"*.txt\"" + std::wstring(depth, L')'));
        EXPECT_TRUE(expression.Matches(L"a.txt", 0));
        EXPECT_FALSE(expression.Matches(L"a.doc", 0));
    }
    {
        // A tree as deep as the text: an odd number of NOTs.
        TWildCardExpression expression(Repeat(L"NOT (", depth + 1) + L"\"a\"" + std::wstring(depth + 1, L')'));
        EXPECT_FALSE(expression.Matches(L"a", 0));
        EXPECT_TRUE(expression.Matches(L"b", 0));
    }
    {
        TWildCardExpression expression(Repeat(L"\"a*\" AND (", depth) + L"\"*b\"" + std::wstring(depth, L')'));
        EXPECT_TRUE(expression.Matches(L"ab", 0));
        EXPECT_FALSE(expression.Matches(L"ac", 0));
    }
    EXPECT_EQ(ParseError(std::wstring(depth, L'(') + L"\"a\"" + std::wstring(depth - 1, L')')), kClosingQuote);
    EXPECT_EQ(ParseError(std::wstring(depth, L'(')), kBadExpression);
    // Half-built deep trees are freed on the way out of an error.
    EXPECT_EQ(ParseError(Repeat(L"NOT (Hidden AND (", depth) + L"Foo"), kOperandExpected);
}

TEST(WildCardRobustness, FreesTreesDeeperThanAnyStack)
{
    // Chains down the left, down the right and zig-zag; a million levels
    // are far beyond what freeing by recursion survives.
    for (int shape = 0; shape < 3; ++shape) {
        SCOPED_TRACE(shape);
        auto root = std::make_unique<TWildCardExpressionNode>();
        TWildCardExpressionNode* tip = root.get();
        for (int level = 0; level < 1000000; ++level) {
            auto& next = (shape == 0 || (shape == 2 && level % 2 == 0)) ? tip->Left : tip->Right;
            next = std::make_unique<TWildCardExpressionNode>();
            tip = next.get();
        }
        root.reset();
        EXPECT_EQ(root, nullptr);
    }
}

TEST(WildCardRobustness, LongOperatorChains)
{
    const std::size_t length = 100000;
    {
        TWildCardExpression expression(Repeat(L"\"x\" OR ", length) + L"\"a\"");
        EXPECT_TRUE(expression.Matches(L"a", 0));
        EXPECT_FALSE(expression.Matches(L"b", 0));
    }
    {
        // Every operand true: an odd count of them gives true.
        TWildCardExpression odd(Repeat(L"\"*\" XOR ", length) + L"\"*\"");
        EXPECT_TRUE(odd.Matches(L"a", 0));
        TWildCardExpression even(Repeat(L"\"*\" XOR ", length - 1) + L"\"*\"");
        EXPECT_FALSE(even.Matches(L"a", 0));
    }
    {
        TWildCardExpression expression(Repeat(L"\"*\" AND ", length) + L"\"a\"");
        EXPECT_TRUE(expression.Matches(L"a", 0));
        EXPECT_FALSE(expression.Matches(L"b", 0));
    }
    EXPECT_EQ(ParseError(Repeat(L"\"a\" OR ", length)), kBadExpression);
}

TEST(WildCardRobustness, PathologicalPatternsFinishQuickly)
{
    const std::wstring as(100000, L'a');
    const auto start = std::chrono::steady_clock::now();

    EXPECT_FALSE(MatchesWildCard(L"*a*a*a*a*a*a*a*a*a*a*b", as));
    EXPECT_TRUE(MatchesWildCard(L"*a*a*a*a*a*a*a*a*a*a*b", as + L"b"));
    EXPECT_FALSE(MatchesWildCard(L"*aaaaaaaaaaaaaaaaaaaab", std::wstring(2000, L'a')));
    EXPECT_TRUE(MatchesWildCard(std::wstring(10000, L'*'), as));
    EXPECT_FALSE(MatchesWildCard(std::wstring(10000, L'*') + L"b", as));
    EXPECT_TRUE(MatchesWildCard(std::wstring(100000, L'?'), as));
    EXPECT_FALSE(MatchesWildCard(std::wstring(100000, L'?'), as.substr(1)));
    EXPECT_TRUE(MatchesWildCard(Repeat(L"*.", 50000), as));
    EXPECT_TRUE(MatchesWildCard(L"*.", as));
    EXPECT_FALSE(MatchesWildCard(L"*.", as + L".x"));
    TWildCardExpression expression(L"\"" + Repeat(L"*a", 5000) + L"*b\"");
    EXPECT_FALSE(expression.Matches(std::wstring(5000, L'a'), 0));

    // Generous: a backtracking matcher takes years here, this one milliseconds.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}
