// The regular expression engine: a table of patterns and texts checked
// against written-down results and against a plain recursive matcher of the
// same rules, random patterns compared with that matcher in every mode, bad
// patterns, texts and patterns built to exhaust a recursive engine, and the
// interface the program uses (system locale, counting, search).

// Own
#include "search/NimRegExp.h"
#include "search/RegExp.h"
#include "search/UFounds.h"

// Standard library
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

using namespace nimregexp;

namespace {

struct TCap {
    int32_t Number;
    int Start;
    int End;
    bool operator==(const TCap&) const = default;
};

struct TResult {
    bool Matched = false;
    int End = -1;
    std::vector<TCap> Caps;
    bool operator==(const TResult&) const = default;
};

std::string Show(const TResult& r)
{
    if (!r.Matched)
        return "no match";
    std::string s = "end " + std::to_string(r.End);
    for (const TCap& c : r.Caps)
        s += " (" + std::to_string(c.Number) + ":" + std::to_string(c.Start) + "-" + std::to_string(c.End) + ")";
    return s;
}

struct TCollect {
    const char* Base;
    std::vector<TCap>* Caps;
};

void Collect(int32_t number, const char* start, const char* end, void* data)
{
    auto* c = static_cast<TCollect*>(data);
    c->Caps->push_back({number, static_cast<int>(start - c->Base), static_cast<int>(end - c->Base)});
}

TResult EngineMatch(const TProgram& program, std::string_view text, int at)
{
    TResult r;
    const char* position = text.data() + at;
    TCollect collect{text.data(), &r.Caps};
    r.Matched = program.MatchAt(text.data(), text.data() + text.size(), position, Collect, &collect);
    if (r.Matched)
        r.End = static_cast<int>(position - text.data());
    else
        r.Caps.clear();
    return r;
}

bool Compiles(std::string_view pattern, uint8_t mode = kModeA, uint8_t flags = 0)
{
    try {
        TProgram::Compile(pattern, flags, mode);
        return true;
    } catch (const ECompileError& e) {
        EXPECT_STREQ(e.what(), "Failed to Compile Regular Expression.");
        return false;
    }
}

// ---------------------------------------------------------------------------
// The reference: the rules read plainly, over a tiny tree, recursive and
// slow. It knows ASCII patterns of characters, ".", "^", "$", classes,
// groups with capture numbers, look-aheads and the nine quantifiers, in the
// modes that read ASCII text as one unit per character (N, A, U, E: one
// byte; W, S: two).

struct RNode {
    enum Kind { Char, Any, Class, Group, Look, Quant, LineStart, LineEnd } Kind = Char;
    uint32_t C = 0;
    std::vector<std::pair<uint32_t, uint32_t>> Ranges;
    bool Negative = false;
    std::vector<std::vector<std::unique_ptr<RNode>>> Alts;  // Group
    int Number = -1;                                        // Group capture
    std::unique_ptr<RNode> Body;                            // Look, Quant
    char Q = '*';
    char Modifier = 0;
};

class RParser {
public:
    explicit RParser(std::string_view p) : P(p) {}
    std::unique_ptr<RNode> Whole()
    {
        auto g = GroupBody();
        if (I != P.size())
            return nullptr;
        return g;
    }

private:
    std::string_view P;
    size_t I = 0;
    char Peek() const { return I < P.size() ? P[I] : '\0'; }

    std::unique_ptr<RNode> GroupBody()
    {
        auto g = std::make_unique<RNode>();
        g->Kind = RNode::Group;
        if (Peek() == '?') {
            ++I;
            g->Number = 0;
            while (isdigit(static_cast<unsigned char>(Peek())))
                g->Number = g->Number * 10 + (P[I++] - '0');
            ++I;  // ':'
        }
        for (;;) {
            g->Alts.emplace_back();
            while (I < P.size() && Peek() != '|' && Peek() != ')')
                g->Alts.back().push_back(Piece());
            if (Peek() != '|')
                break;
            ++I;
        }
        return g;
    }

    uint32_t Char()
    {
        if (Peek() == '#') {
            ++I;
            uint32_t v = 0;
            while (isdigit(static_cast<unsigned char>(Peek())))
                v = v * 10 + static_cast<uint32_t>(P[I++] - '0');
            return v;
        }
        return static_cast<unsigned char>(P[I++]);
    }

    std::unique_ptr<RNode> Piece()
    {
        auto n = std::make_unique<RNode>();
        if (Peek() == '=' || Peek() == '~') {
            n->Kind = RNode::Look;
            n->Negative = P[I++] == '~';
            n->Body = Atom();
            return n;
        }
        auto a = Atom();
        if (Peek() != '*' && Peek() != '+' && Peek() != '?')
            return a;
        n->Kind = RNode::Quant;
        n->Q = P[I++];
        if (Peek() == '!' || Peek() == '?')
            n->Modifier = P[I++];
        n->Body = std::move(a);
        return n;
    }

    std::unique_ptr<RNode> Atom()
    {
        auto n = std::make_unique<RNode>();
        char c = Peek();
        if (c == '(') {
            ++I;
            n = GroupBody();
            ++I;
        } else if (c == '.') {
            ++I;
            n->Kind = RNode::Any;
        } else if (c == '^') {
            ++I;
            n->Kind = RNode::LineStart;
        } else if (c == '$') {
            ++I;
            n->Kind = RNode::LineEnd;
        } else if (c == '[') {
            ++I;
            n->Kind = RNode::Class;
            if (Peek() == '^') {
                n->Negative = true;
                ++I;
            }
            do {
                uint32_t lo = Char(), hi = lo;
                if (Peek() == '-') {
                    ++I;
                    hi = Char();
                }
                n->Ranges.push_back({lo, hi});
            } while (Peek() != ']');
            ++I;
        } else {
            n->C = Char();
        }
        return n;
    }
};

class RMatcher {
public:
    using K = std::function<bool(int)>;
    RMatcher(std::vector<uint32_t> units, bool fold, bool multiLine)
        : U(std::move(units)), Fold(fold), MultiLine(multiLine)
    {
    }
    std::vector<TCap> Events;

    // The first way the whole pattern matches at pos: its end, or -1.
    int Match(const RNode& root, int pos)
    {
        Events.clear();
        int end = -1;
        if (!Item(root, pos, [&](int e) {
                end = e;
                return true;
            }))
            Events.clear();
        return end;
    }

private:
    std::vector<uint32_t> U;
    bool Fold;
    bool MultiLine;
    int N() const { return static_cast<int>(U.size()); }
    uint32_t F(uint32_t c) const { return Fold && c >= 'a' && c <= 'z' ? c - 32 : c; }
    bool Break(int i) const { return U[i] == 10 || U[i] == 13; }

    // k, taking back the captures it reported when it fails.
    bool Try(const K& k, int pos)
    {
        size_t mark = Events.size();
        if (k(pos))
            return true;
        Events.resize(mark);
        return false;
    }

    std::optional<int> First(const RNode& body, int pos)
    {
        int end = -1;
        size_t mark = Events.size();
        if (Item(body, pos, [&](int e) {
                end = e;
                return true;
            }))
            return end;
        Events.resize(mark);
        return std::nullopt;
    }

    bool Seq(const std::vector<std::unique_ptr<RNode>>& items, size_t i, int pos, const K& k)
    {
        if (i == items.size())
            return Try(k, pos);
        return Item(*items[i], pos, [&](int p) { return Seq(items, i + 1, p, k); });
    }

    bool Item(const RNode& n, int pos, const K& k)
    {
        switch (n.Kind) {
        case RNode::Char:
            return pos < N() && F(U[pos]) == F(n.C) && Try(k, pos + 1);
        case RNode::Any:
            return pos < N() && !(MultiLine && Break(pos)) && Try(k, pos + 1);
        case RNode::Class: {
            if (pos >= N())
                return false;
            bool in = false;
            for (auto [lo, hi] : n.Ranges)
                in = in || (F(U[pos]) >= F(lo) && F(U[pos]) <= F(hi));
            if (n.Negative && MultiLine && Break(pos))
                return false;
            return in != n.Negative && Try(k, pos + 1);
        }
        case RNode::LineStart:
            return (pos == 0 || (MultiLine && Break(pos - 1))) && Try(k, pos);
        case RNode::LineEnd:
            return (pos == N() || (MultiLine && Break(pos))) && Try(k, pos);
        case RNode::Group:
            for (const auto& alt : n.Alts) {
                size_t mark = Events.size();
                bool ok = n.Number < 0 ? Seq(alt, 0, pos, k) : Seq(alt, 0, pos, [&](int p) {
                    if (!k(p))
                        return false;
                    Events.push_back({n.Number, pos, p});
                    return true;
                });
                if (ok)
                    return true;
                Events.resize(mark);
            }
            return false;
        case RNode::Look: {
            size_t mark = Events.size();
            bool found = First(*n.Body, pos).has_value();
            if (n.Negative)
                Events.resize(mark);
            if (found == n.Negative)
                return false;
            if (Try(k, pos))
                return true;
            Events.resize(mark);
            return false;
        }
        case RNode::Quant:
            return Quant(n, pos, k);
        }
        return false;
    }

    bool Quant(const RNode& n, int pos, const K& k)
    {
        size_t start = Events.size();
        auto fail = [&] {
            Events.resize(start);
            return false;
        };
        const RNode& b = *n.Body;
        int cur = pos;
        if (n.Q == '?') {
            if (n.Modifier == '?') {
                if (Try(k, pos))
                    return true;
                auto e = First(b, pos);
                return (e && Try(k, *e)) || fail();
            }
            auto e = First(b, pos);
            if (n.Modifier == '!')
                return Try(k, e ? *e : pos) || fail();
            if (e && Try(k, *e))
                return true;
            Events.resize(start);
            return Try(k, pos);
        }
        if (n.Modifier == '?') {
            if (n.Q == '*') {
                if (Try(k, cur))
                    return true;
            } else {
                auto e = First(b, cur);
                if (!e)
                    return fail();
                if (*e == cur)
                    return Try(k, cur) || fail();
                cur = *e;
                if (Try(k, cur))
                    return true;
            }
            for (;;) {
                // A repetition that does not move was tried already.
                auto e = First(b, cur);
                if (!e || *e == cur)
                    return fail();
                cur = *e;
                if (Try(k, cur))
                    return true;
            }
        }
        std::vector<std::pair<int, size_t>> ends;  // end, events after it
        if (n.Q == '*')
            ends.push_back({pos, Events.size()});
        else {
            auto e = First(b, pos);
            if (!e)
                return fail();
            ends.push_back({*e, Events.size()});
            cur = *e;
            if (*e == pos)
                return Try(k, cur) || fail();
        }
        for (;;) {
            auto e = First(b, cur);
            if (!e || *e == cur)
                break;
            cur = *e;
            ends.push_back({cur, Events.size()});
        }
        if (n.Modifier == '!')
            return Try(k, cur) || fail();
        for (size_t i = ends.size(); i > 0; --i) {
            Events.resize(ends[i - 1].second);
            if (Try(k, ends[i - 1].first))
                return true;
        }
        return fail();
    }
};

int UnitBytes(uint8_t mode) { return mode == kModeW || mode == kModeS ? 2 : 1; }

// ASCII text as the mode writes it.
std::string Encode(std::string_view ascii, uint8_t mode)
{
    std::string out;
    for (char c : ascii) {
        if (mode == kModeS)
            out.push_back('\0');
        out.push_back(c);
        if (mode == kModeW)
            out.push_back('\0');
    }
    return out;
}

TResult ReferenceMatch(std::string_view pattern, uint8_t mode, uint8_t flags, std::string_view ascii, int at)
{
    RParser parser(pattern);
    auto root = parser.Whole();
    EXPECT_TRUE(root) << pattern;
    std::vector<uint32_t> units(ascii.begin(), ascii.end());
    bool fold = (flags & kFlagI) && mode != kModeN;
    RMatcher m(units, fold, (flags & kFlagM) != 0);
    TResult r;
    int end = m.Match(*root, at);
    if (end < 0)
        return r;
    int w = UnitBytes(mode);
    r.Matched = true;
    r.End = end * w;
    for (const TCap& c : m.Events)
        r.Caps.push_back({c.Number, c.Start * w, c.End * w});
    return r;
}

// ---------------------------------------------------------------------------

struct TRow {
    const char* Pattern;
    const char* Text;
    int At;
    int End;  // -1: no match
    std::vector<TCap> Caps;
    uint8_t Flags = 0;
};

// ASCII rows, valid in every mode the reference reads; positions are in
// characters.
const std::vector<TRow>& Table()
{
    static const std::vector<TRow> rows = {
        {"#13#10", "\r\n", 0, 2, {}},
        {"(?1:a|ab)c", "abc", 0, 3, {{1, 0, 2}}},
        {"(a|ab)*c", "abc", 0, -1, {}},
        {"(a|ab)*c", "abc", 2, 3, {}},
        {"a*?b", "aaab", 0, 4, {}},
        {"a+?", "aaab", 0, 1, {}},
        {"a??a", "aa", 0, 1, {}},
        {"a??b", "ab", 0, 2, {}},
        {"a?!a", "a", 0, -1, {}},
        {"a?a", "a", 0, 1, {}},
        {"a*!a", "aaa", 0, -1, {}},
        {"a*a", "aaa", 0, 3, {}},
        {"a+!b", "aab", 0, 3, {}},
        {"a+!", "b", 0, -1, {}},
        {"a+a", "aa", 0, 2, {}},
        {"a+a", "a", 0, -1, {}},
        {"=(abc)", "abc", 0, 0, {}},
        {"=abc", "abc", 0, -1, {}},  // looks at "a" only; "bc" follows
        {"=abc", "bc", 0, -1, {}},
        {"=bbc", "bc", 0, 2, {}},
        {"~(abc).", "abd", 0, 1, {}},
        {"~(abc).", "abc", 0, -1, {}},
        {"", "x", 0, 0, {}},
        {"", "", 0, 0, {}},
        {"[^a]", "\r", 0, -1, {}, kFlagM},
        {"[^a]", "\r", 0, 1, {}},
        {".", "\n", 0, -1, {}, kFlagM},
        {"^b", "a\nb", 2, 3, {}, kFlagM},
        {"^b", "a\nb", 2, -1, {}},
        {"a$", "a\nb", 0, 1, {}, kFlagM},
        {"a$", "a\nb", 0, -1, {}},
        {"(a*)*b", "aab", 0, 3, {}},
        {"(a*)*b", "b", 0, 1, {}},
        {"(=a)*a", "a", 0, 1, {}},
        {"(a?)+!b", "b", 0, 1, {}},
        {"(a?)+?b", "b", 0, 1, {}},
        {"(a*)*?b", "aab", 0, 3, {}},
        {"[]]", "]", 0, 1, {}},
        {"[-a]+", "-a-", 0, 3, {}},
        {"[a-c]+", "abcd", 0, 3, {}},
        {"(?1:a)*a", "aa", 0, 2, {{1, 0, 1}}},
        {"(?1:a)(?2:b)", "ab", 0, 2, {{2, 1, 2}, {1, 0, 1}}},
        {"(?1:(?2:a)+)b", "aab", 0, 3, {{2, 0, 1}, {2, 1, 2}, {1, 0, 2}}},
        {"(?1:a)?ab", "ab", 0, 2, {}},
        {"=(?1:ab)a", "ab", 0, 1, {{1, 0, 2}}},
        {"~(?1:x)a", "a", 0, 1, {}},
        {"(=(?1:a))*a", "a", 0, 1, {}},  // a repetition that does not move is not kept
        {"(=(?1:a))*!a", "a", 0, 1, {{1, 0, 1}}},
        {"(?1:a|b)*?c", "abc", 0, 3, {{1, 0, 1}, {1, 1, 2}}},
        {"(?7:)", "z", 0, 0, {{7, 0, 0}}},
        {"A", "a", 0, 1, {}, kFlagI},
        {"[a-c]", "B", 0, 1, {}, kFlagI},
    };
    return rows;
}

TEST(NimRegExp, TableAgreesWithExpectationsAndReferenceInEveryMode)
{
    for (uint8_t mode : {kModeN, kModeA, kModeU, kModeW, kModeS, kModeE}) {
        for (const TRow& row : Table()) {
            if (mode == kModeN && (row.Flags & kFlagI))
                continue;  // mode N never folds: checked below
            SCOPED_TRACE(std::string("mode ") + std::to_string(mode) + " pattern " + row.Pattern);
            auto program = TProgram::Compile(row.Pattern, row.Flags, mode);
            std::string text = Encode(row.Text, mode);
            int w = UnitBytes(mode);
            TResult expected;
            if (row.End >= 0) {
                expected.Matched = true;
                expected.End = row.End * w;
                for (const TCap& c : row.Caps)
                    expected.Caps.push_back({c.Number, c.Start * w, c.End * w});
            }
            TResult engine = EngineMatch(*program, text, row.At * w);
            EXPECT_EQ(engine, expected) << Show(engine) << " expected " << Show(expected);
            TResult reference = ReferenceMatch(row.Pattern, mode, row.Flags, row.Text, row.At);
            EXPECT_EQ(reference, expected) << "reference: " << Show(reference);
        }
    }
}

TEST(NimRegExp, ModesFlagsAndCodes)
{
    auto matches = [](std::string_view pattern, uint8_t mode, uint8_t flags, std::string_view text) {
        auto program = TProgram::Compile(pattern, flags, mode);
        return EngineMatch(*program, text, 0).End;
    };
    // Options inside a group; mode N never folds.
    EXPECT_EQ(matches("(?i:abc)", kModeA, 0, "ABC"), 3);
    EXPECT_EQ(matches("(?in:abc)", kModeA, 0, "ABC"), -1);
    EXPECT_EQ(matches("(?i:a(?i-:b))", kModeA, 0, "AB"), -1);
    EXPECT_EQ(matches("(?i:a)b", kModeA, 0, "AB"), -1);  // restored after the group
    EXPECT_EQ(matches("?i+m-:a$", kModeA, kFlagM, "A\n"), -1);
    EXPECT_EQ(matches("(?w:a)", kModeA, 0, std::string("a\0", 2)), 2);
    // Codes: decimal, hexadecimal, escapes; bytes by mode.
    EXPECT_EQ(matches("#$41\\x42\\t\\#", kModeA, 0, "AB\t#"), 4);
    EXPECT_EQ(matches("#$3042", kModeW, 0, "\x42\x30"), 2);
    EXPECT_EQ(matches("#$3042", kModeS, 0, "\x30\x42"), 2);
    EXPECT_EQ(matches("#$E38182", kModeU, 0, "\xE3\x81\x82"), 3);
    EXPECT_EQ(matches("#$E38182", kModeU, 0, "\xE3\x81\x83"), -1);
    EXPECT_EQ(matches("#$A4A2", kModeE, 0, "\xA4\xA2"), 2);
    EXPECT_EQ(matches("#321", kModeA, 0, "A"), 2 - 1);  // low byte of 0x141
    EXPECT_EQ(matches("\\q", kModeA, 0, "q"), 1);
    // UTF-8 and EUC characters are whole: "." takes all their bytes, and a
    // literal never matches half of one.
    EXPECT_EQ(matches(".", kModeU, 0, "\xE3\x81\x82"), 3);
    EXPECT_EQ(matches(".", kModeU, 0, "\xC3\xA9"), 2);
    EXPECT_EQ(matches(".", kModeE, 0, "\xA4\xA2"), 2);
    EXPECT_EQ(matches("#$E3", kModeU, 0, "\xE3\x81\x82"), -1);
    // A character cut off by the end of the text: "." stops at the end.
    EXPECT_EQ(matches(".", kModeU, 0, "\xE3\x81"), 2);
    EXPECT_EQ(matches(".", kModeW, 0, "a"), 1);
    EXPECT_EQ(matches("a", kModeW, 0, "a"), -1);
    // The newline escape: LF, CR LF, lone CR.
    EXPECT_EQ(matches("\\n", kModeA, 0, "\n"), 1);
    EXPECT_EQ(matches("\\n", kModeA, 0, "\r\n"), 2);
    EXPECT_EQ(matches("\\n", kModeA, 0, "\rx"), 1);
    EXPECT_EQ(matches("\\n", kModeW, 0, std::string("\r\0\n\0", 4)), 4);
    EXPECT_EQ(matches("\\d+\\s\\w+", kModeA, 0, "42 a_Z9!"), 7);
    EXPECT_EQ(matches("\\D", kModeA, 0, "5"), 1);  // letters in escapes ignore case
    // Word boundaries, and in UTF-16 by unit.
    EXPECT_EQ(matches("a<b", kModeA, 0, "ab"), -1);
    EXPECT_EQ(matches("a><b", kModeA, 0, "ab"), -1);
    EXPECT_EQ(matches("a>[-]<b", kModeA, 0, "a-b"), 3);
    EXPECT_EQ(matches("a>", kModeW, 0, std::string("a\0!\0", 4)), 2);
    EXPECT_EQ(matches("a>", kModeW, 0, std::string("a\0b\0", 4)), -1);
    // Classes: codes inside, ranges by the comparator, negation by "~".
    EXPECT_EQ(matches("[#48-#57]+", kModeA, 0, "123x"), 3);
    EXPECT_EQ(matches("[~a]", kModeA, 0, "a"), -1);
    EXPECT_EQ(matches("[\\]", kModeA, 0, "\\"), 1);
    EXPECT_EQ(matches("[#$3041-#$3093]", kModeW, 0, "\x42\x30"), 2);
    // Captures with hexadecimal numbers.
    auto program = TProgram::Compile("(?$1F:x)", 0, kModeA);
    EXPECT_EQ(EngineMatch(*program, "x", 0).Caps, (std::vector<TCap>{{31, 0, 1}}));
}

// The search skips ahead by the pattern's literal front and its possible
// first bytes; it must find exactly what trying every start finds.
TEST(NimRegExp, SearchShortcutsKeepResults)
{
    auto search = [](std::string_view pattern, uint8_t mode, std::string_view text) {
        return TProgram::Compile(pattern, 0, mode)->Search(text.data(), text.size());
    };
    EXPECT_TRUE(search("(?i:[a-~])", kModeA, "["));  // folded range reaches below "a"
    EXPECT_TRUE(search("(?i:[a-~])", kModeW, std::string("[\0", 2)));
    EXPECT_FALSE(search("(?i:[A-z])", kModeA, "["));  // ... and "z" folds down to "Z"
    EXPECT_TRUE(search("(?i:[A-z])", kModeA, "z"));
    EXPECT_TRUE(search("(?i:b)", kModeL, "xB"));
    EXPECT_TRUE(search("(?i:b)x", kModeE, "\xA4\xA2" "Bx"));
    EXPECT_FALSE(search("#$6200", kModeW, std::string("a\0b\0", 4)));  // "00 62" stands at an odd offset
    EXPECT_TRUE(search("#$6200", kModeW, std::string("a\0\0b", 4)));
    EXPECT_FALSE(search("#$0062", kModeS, std::string("a\0b\0", 4)));
    EXPECT_FALSE(search("#$A2", kModeE, "\xA4\xA2"));  // a trail byte is no start
    EXPECT_TRUE(search("#$A2", kModeA, "\xA4\xA2"));
    EXPECT_TRUE(search("ab", kModeA, "aab"));
    EXPECT_FALSE(search("ab", kModeA, "a"));
    EXPECT_TRUE(search("(|x)y", kModeA, "zy"));
    EXPECT_TRUE(search("a*", kModeA, "zzz"));
    EXPECT_TRUE(search(".*b", kModeA, "aab"));
    EXPECT_TRUE(search("", kModeA, ""));
    EXPECT_FALSE(search("a", kModeA, ""));
}

TEST(NimRegExp, BadPatternsFailToCompile)
{
    const char* bad[] = {
        "]", "a]", "=", "a=", "==a", "-", "!", "a~", "~~a", "[", "[a", "[a-", "[]", "(", "(a", "((a)",
        "(?", "(?i", "(?ia)", "?", "?i", "a\\", ")", "a)", "a**", "*", "+a", "a|*", "(?1a)", "=)", "(=)",
        "[^", "a?!!", "(?:a))",
    };
    for (const char* pattern : bad)
        EXPECT_FALSE(Compiles(pattern)) << pattern;
    EXPECT_FALSE(Compiles(std::string_view("a\0b", 3)));
    EXPECT_FALSE(Compiles(std::string_view("[\0]", 3)));
    EXPECT_FALSE(Compiles("a", 7));
    // The ones that look bad but are not.
    const char* good[] = {"(?:a)", "?:a", "(?1:)", "a|", "|", "()", "[-]", "[]]", "a??", "a*!", "#", "\\x", "(?ik-m+:a)"};
    for (const char* pattern : good)
        EXPECT_TRUE(Compiles(pattern)) << pattern;
}

TEST(NimRegExp, NestingIsBoundedAtCompileTime)
{
    std::string deep(100000, '(');
    EXPECT_FALSE(Compiles(deep));
    deep += "a" + std::string(100000, ')');
    EXPECT_FALSE(Compiles(deep));
    // The exact bound: kMaxNesting levels compile, one more does not.
    std::string ok = std::string(kMaxNesting, '(') + "a" + std::string(kMaxNesting, ')');
    EXPECT_TRUE(Compiles(ok));
    EXPECT_FALSE(Compiles("(" + ok + ")"));
    // Long flat patterns are not nesting.
    std::string flat;
    for (int i = 0; i < 20000; ++i)
        flat += "(a)|";
    EXPECT_TRUE(Compiles(flat + "b"));
}

// Random patterns and texts: the engine and the reference agree on the
// match, its end and its captures at every start, and the search agrees
// with trying every start.
std::string RandomPattern(std::mt19937& random, int depth, int& captures)
{
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    std::string out;
    int items = 1 + pick(depth > 2 ? 2 : 4);
    for (int i = 0; i < items; ++i) {
        std::string atom;
        int kind = pick(depth > 2 ? 6 : 10);
        switch (kind) {
        case 0: case 1: case 2: atom = "a"; break;
        case 3: atom = "b"; break;
        case 4: atom = pick(2) ? "." : "#10"; break;
        case 5: atom = pick(2) ? "[ab]" : "[^a]"; break;
        case 6: atom = pick(2) ? "^" : "$"; break;
        default: {
            std::string inner = RandomPattern(random, depth + 1, captures);
            if (pick(3) == 0)
                inner += "|" + RandomPattern(random, depth + 1, captures);
            atom = pick(2) ? "(?" + std::to_string(++captures) + ":" + inner + ")" : "(" + inner + ")";
            break;
        }
        }
        int q = pick(12);
        if (q == 0 && depth < 3)
            atom = (pick(2) ? "=" : "~") + atom;
        else if (q >= 3) {
            atom += "*+?"[pick(3)];
            int m = pick(3);
            if (m)
                atom += m == 1 ? "!" : "?";
        }
        out += atom;
    }
    return out;
}

TEST(NimRegExp, RandomPatternsAgreeWithReference)
{
    std::mt19937 random(20240611);
    int compared = 0;
    for (int round = 0; round < 3000; ++round) {
        int captures = 0;
        std::string pattern = RandomPattern(random, 0, captures);
        uint8_t flags = static_cast<uint8_t>((random() % 2 ? kFlagM : 0) | (random() % 4 == 0 ? kFlagI : 0));
        uint8_t mode = static_cast<uint8_t>(std::vector<uint8_t>{kModeN, kModeA, kModeU, kModeW, kModeS, kModeE}[random() % 6]);
        std::string ascii;
        int length = static_cast<int>(random() % 7);
        for (int i = 0; i < length; ++i)
            ascii += "aabA\n"[random() % 5];
        SCOPED_TRACE("pattern " + pattern + " mode " + std::to_string(mode) + " flags " + std::to_string(flags));
        auto program = TProgram::Compile(pattern, flags, mode);
        std::string text = Encode(ascii, mode);
        bool anywhere = false;
        for (int at = 0; at <= length; ++at) {
            TResult engine = EngineMatch(*program, text, at * UnitBytes(mode));
            TResult reference = ReferenceMatch(pattern, mode, flags, ascii, at);
            ASSERT_EQ(engine, reference) << "text of " << length << " at " << at << ": " << Show(engine)
                                         << " reference " << Show(reference);
            if (at < length || length == 0)
                anywhere = anywhere || engine.Matched;
            ++compared;
        }
        ASSERT_EQ(program->Search(text.data(), text.size()), anywhere);
    }
    EXPECT_GT(compared, 10000);
}

// ---------------------------------------------------------------------------
// Texts that exhaust a recursive matcher, and repetitions that do not move.

TEST(NimRegExp, HugeTextsEndWithAResult)
{
    const size_t size = 100u << 20;
    std::string text(size, 'a');
    for (size_t i = 1; i < size; i += 2)
        text[i] = 'b';
    auto timed = [&](const char* what, auto&& run) {
        auto start = std::chrono::steady_clock::now();
        bool result = run();
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("[ timing   ] %-40s %.2f s\n", what, seconds);
        return result;
    };
    auto alt = TProgram::Compile("(a|b)*c", 0, kModeA);
    auto anyX = TProgram::Compile(".*x", 0, kModeA);
    const char* end = text.data() + text.size();
    EXPECT_FALSE(timed("MatchAt (a|b)*c, no c", [&] {
        const char* position = text.data();
        return alt->MatchAt(text.data(), end, position);
    }));
    EXPECT_FALSE(timed("MatchAt .*x, no x", [&] {
        const char* position = text.data();
        return anyX->MatchAt(text.data(), end, position);
    }));
    EXPECT_FALSE(timed("Search (a|b)*c, no c", [&] { return alt->Search(text.data(), text.size()); }));
    EXPECT_FALSE(timed("Search .*x, no x", [&] { return anyX->Search(text.data(), text.size()); }));
    text.back() = 'c';
    EXPECT_TRUE(timed("MatchAt (a|b)*c, c last", [&] {
        const char* position = text.data();
        return alt->MatchAt(text.data(), end, position) && position == end;
    }));
    text[1] = 'x';
    EXPECT_TRUE(timed("MatchAt .*x, x second", [&] {
        const char* position = text.data();
        return anyX->MatchAt(text.data(), end, position) && position == text.data() + 2;
    }));
    // Lazy and possessive repetitions and a captured body over the whole text.
    auto lazy = TProgram::Compile("(a|b|x)*?c", 0, kModeA);
    EXPECT_TRUE(timed("MatchAt (a|b|x)*?c", [&] {
        const char* position = text.data();
        return lazy->MatchAt(text.data(), end, position) && position == end;
    }));
    auto possessive = TProgram::Compile("[^c]*!c", 0, kModeA);
    EXPECT_TRUE(timed("MatchAt [^c]*!c", [&] {
        const char* position = text.data();
        return possessive->MatchAt(text.data(), end, position) && position == end;
    }));
    auto captured = TProgram::Compile("(?1:[ab])*x", 0, kModeA);
    EXPECT_TRUE(timed("MatchAt (?1:[ab])*x", [&] {
        const char* position = text.data();
        return captured->MatchAt(text.data(), end, position) && position == text.data() + 2;
    }));
}

// Repetitions in a row try every split of the text between them; from each
// start of a search that is a power of the text's length, unless what
// failed once is not tried again. Without that, these run for hours.
TEST(NimRegExp, RepetitionsInARowDoNotRetryWhatFailed)
{
    std::string text(3000, 'a');
    auto splits = TProgram::Compile(".+.+.+.+[x]$", 0, kModeA);
    EXPECT_FALSE(splits->Search(text.data(), text.size()));
    auto choices = TProgram::Compile("(a|aa)*(a|aa)*(a|aa)*[x]", 0, kModeN);
    EXPECT_FALSE(choices->Search(text.data(), text.size()));
    // The same programs still find what is there, at the tie of the last
    // position too, and an anchored try after a search starts afresh.
    text.back() = 'x';
    EXPECT_TRUE(splits->Search(text.data(), text.size()));
    const char* position = text.data();
    EXPECT_TRUE(choices->MatchAt(text.data(), text.data() + text.size(), position));
    EXPECT_EQ(position, text.data() + text.size());
    EXPECT_TRUE(choices->Search(text.data(), text.size()));
    position = text.data() + text.size() - 1;
    EXPECT_TRUE(choices->MatchAt(text.data(), text.data() + text.size(), position));
}

TEST(NimRegExp, EmptyRepetitionsMakeProgressOrStop)
{
    struct {
        const char* Pattern;
        int End;  // in characters
    } rows[] = {{"(a*)*b", -1}, {"(=a)*", 0},     {"(x?)+!", 0},  {"(a*)*?b", -1},   {"(a?)+?b", -1},
                {"((a*)*)*c", -1}, {"(~x)*!y", -1}, {"(a*|b)*c", -1}, {"(a*)*!", 100000}, {"(a|=a)+?$", 100000}, {"(=a|a)+?$", -1}};
    std::string ascii(100000, 'a');
    for (const auto& row : rows) {
        for (uint8_t mode : {kModeA, kModeW}) {
            SCOPED_TRACE(std::string(row.Pattern) + " mode " + std::to_string(mode));
            auto program = TProgram::Compile(row.Pattern, 0, mode);
            std::string text = Encode(ascii, mode);
            EXPECT_EQ(EngineMatch(*program, text, 0).End, row.End < 0 ? -1 : row.End * UnitBytes(mode));
        }
    }
}

// ---------------------------------------------------------------------------
// The interface the program uses, with the system's locale (code page 932
// in the test run).

struct TWideCollect {
    std::vector<TCap> Caps;
    const char* Base;
};

void STDMETHODCALLTYPE CollectWide(int32_t number, const char* start, const char* end, void* data)
{
    auto* c = static_cast<TWideCollect*>(data);
    c->Caps.push_back({number, static_cast<int>(start - c->Base), static_cast<int>(end - c->Base)});
}

TEST(RegExp, InterfaceCountsCapturesAndFails)
{
    ComPtr<IRegExp> regExp = CreateRegExp("(?3:b+)c", kRegExpIgnoreCase, TRegExpMode::Ansi);
    EXPECT_EQ(regExp->GetMode(), TRegExpMode::Ansi);
    EXPECT_EQ(regExp->GetFlags(), kRegExpIgnoreCase);
    {
        ComPtr<IRegExp> second = regExp;
        EXPECT_EQ(regExp->AddRef(), 3u);
        regExp->Release();
    }
    std::string text = "aBBc";
    TWideCollect collect{{}, text.data()};
    TRegExpContext context{text.data(), text.data() + text.size(), CollectWide, &collect};
    const char* position = text.data() + 1;
    ASSERT_TRUE(regExp->MatchAt(&context, &position));
    EXPECT_EQ(position, text.data() + 4);
    EXPECT_EQ(collect.Caps, (std::vector<TCap>{{3, 1, 3}}));
    EXPECT_TRUE(SearchRegExp(regExp.get(), text.data(), text.size()));
    EXPECT_FALSE(SearchRegExp(regExp.get(), "bbd", 3));

    try {
        CreateRegExp("a\\", 0, TRegExpMode::Ansi);
        ADD_FAILURE() << "compiled";
    } catch (const ERegExpError& e) {
        EXPECT_EQ(e.Message(), L"Failed to Compile Regular Expression.");
    }
}

TEST(RegExp, DoubleByteCodePage)
{
    ASSERT_EQ(GetACP(), 932u) << "run the tests with LC_ALL=ja_JP.UTF-8";
    // "あ" in the code page is 82 A0; a trail byte may look like ASCII.
    ComPtr<IRegExp> literal = CreateRegExp("a", 0, TRegExpMode::DoubleByte);
    EXPECT_FALSE(SearchRegExp(literal.get(), "\x82\x61", 2));
    EXPECT_TRUE(SearchRegExp(CreateRegExp("a", 0, TRegExpMode::Ansi).get(), "\x82\x61", 2));
    // A word starts after a double-byte character even when its trail byte
    // is a letter; counting lead bytes back decides what the byte before is.
    EXPECT_TRUE(SearchRegExp(CreateRegExp("^.<a", 0, TRegExpMode::DoubleByte).get(), "\x82\x61" "a", 3));
    EXPECT_FALSE(SearchRegExp(CreateRegExp("^..<a", 0, TRegExpMode::DoubleByte).get(), "\x82\x82\x61" "a", 4));
    EXPECT_FALSE(SearchRegExp(CreateRegExp("^.>", 0, TRegExpMode::DoubleByte).get(), "\x82\x61" "!", 3));
    // Pattern characters: whole in L, an error in A and E, converted in W and U.
    EXPECT_TRUE(SearchRegExp(CreateRegExp("\x82\xA0", 0, TRegExpMode::DoubleByte).get(), "x\x82\xA0", 3));
    EXPECT_THROW(CreateRegExp("\x82\xA0", 0, TRegExpMode::Ansi), ERegExpError);
    EXPECT_THROW(CreateRegExp("\x82", 0, TRegExpMode::DoubleByte), ERegExpError);
    EXPECT_TRUE(SearchRegExp(CreateRegExp("\x82\xA0", 0, TRegExpMode::Utf16LE).get(), "\x42\x30", 2));
    EXPECT_TRUE(SearchRegExp(CreateRegExp("\x82\xA0", 0, TRegExpMode::Utf8).get(), "\xE3\x81\x82", 3));
    // "." in L takes a whole character; a lead byte at the end stops there.
    ComPtr<IRegExp> two = CreateRegExp("^..$", 0, TRegExpMode::DoubleByte);
    const char* text = "\x82\xA0\x82";
    TRegExpContext context{text, text + 3, nullptr, nullptr};
    const char* position = text;
    EXPECT_TRUE(two->MatchAt(&context, &position));
    // The locale comparison: case with X, kana type with K.
    EXPECT_TRUE(SearchRegExp(CreateRegExp("(?xi:abc)", 0, TRegExpMode::Ansi).get(), "ABC", 3));
    EXPECT_FALSE(SearchRegExp(CreateRegExp("(?x:abc)", 0, TRegExpMode::Ansi).get(), "ABC", 3));
    EXPECT_TRUE(SearchRegExp(CreateRegExp("(?k:\x82\xA0)", 0, TRegExpMode::Utf16LE).get(), "\xA2\x30", 2));
    EXPECT_FALSE(SearchRegExp(CreateRegExp("\x82\xA0", 0, TRegExpMode::Utf16LE).get(), "\xA2\x30", 2));
}

}  // namespace

// The file search's own settings (the double-byte code page, letters of
// either case) through the real engine, over files read whole and read in
// small overlapping windows: a trail byte that looks like a letter never
// starts a match, a UTF-8 text is not the same bytes, and a match across a
// window boundary is found.
TEST(RegExp, FileContentsInTheDoubleByteCodePage)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring path = std::wstring(temp) + L"nimbra-regexp-contents-" + std::to_wstring(GetCurrentProcessId());
    auto searchFile = [&](const std::string& bytes, const char* pattern, const TContentWindows& windows) {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                  0, nullptr);
        EXPECT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        SetFilePointer(file, 0, nullptr, FILE_BEGIN);
        bool found = SearchFileContents(file, CreateRegExp(pattern, kRegExpIgnoreCase, TRegExpMode::DoubleByte).get(),
                                        windows, nullptr);
        CloseHandle(file);
        return found;
    };
    const TContentWindows whole = DefaultContentWindows();
    const TContentWindows small{0, 64, 16};
    // "ア" is 0x83 0x41 in code page 932: its second byte is an "A".
    std::string katakana;
    for (int i = 0; i < 100; ++i)
        katakana += "\x83\x41";
    for (const TContentWindows& windows : {whole, small}) {
        EXPECT_FALSE(searchFile(katakana, "a", windows)) << "a trail byte started a match";
        EXPECT_TRUE(searchFile(katakana + "xa", "a", windows));
        EXPECT_TRUE(searchFile(katakana, "\x83\x41\x83\x41", windows));
        // "検索" in code page 932, and the same text in UTF-8.
        EXPECT_TRUE(searchFile(std::string(70, 'z') + "\x8C\x9F\x8D\xF5", "\x8C\x9F\x8D\xF5", windows));
        EXPECT_FALSE(searchFile(std::string(70, 'z') + "\xE6\xA4\x9C\xE7\xB4\xA2", "\x8C\x9F\x8D\xF5", windows));
        // Across the boundary of the first window (64 bytes).
        EXPECT_TRUE(searchFile(std::string(60, '.') + "NeEdLe" + std::string(60, '.'), "needle", windows));
    }
    DeleteFileW(path.c_str());
}

// The double-byte search's shortcuts (a first byte looked for anywhere, the
// second character's bytes checked before matching) find exactly what
// trying every character start finds, over texts full of trail bytes that
// look like letters and digits.
TEST(RegExp, DoubleByteSearchAgreesWithEveryCharacterStart)
{
    ASSERT_EQ(GetACP(), 932u) << "run the tests with LC_ALL=ja_JP.UTF-8";
    const char* const patterns[] = {"[q-z][0-9]", "a1", "[a-c]b", "x[0-9]*!y", "qa", "[p-r]"};
    // Pieces: "ア" (83 41, trail "A"), "ー" (81 5B), "１" (82 50), letters, digits.
    const std::string pieces[] = {"\x83\x41", "\x81\x5B", "\x82\x50", "q", "1", "a", "b", "x", "y", "Z9", "\x82"};
    const std::string run[] = {"q", "\x83\x41", "\x81\x5B", "y"};
    std::mt19937 random(11);
    for (const char* pattern : patterns) {
        ComPtr<IRegExp> regExp = CreateRegExp(pattern, kRegExpIgnoreCase, TRegExpMode::DoubleByte);
        for (int round = 0; round < 410; ++round) {
            std::string text;
            // The last rounds: a long run where the first character is common
            // and the pattern cannot end (the search then looks at two bytes at
            // once), then a short random tail that may hold a match, up to
            // its very last two bytes.
            if (round >= 400)
                for (int i = 0; i < 3000; ++i)
                    text += run[random() % std::size(run)];
            for (int i = static_cast<int>(random() % 12); i > 0; --i)
                text += pieces[random() % std::size(pieces)];
            // Every character start, stepping as the search must.
            bool expected = false;
            TRegExpContext context{text.data(), text.data() + text.size(), nullptr, nullptr};
            for (size_t at = 0; at < text.size() && !expected;) {
                const char* position = text.data() + at;
                expected = regExp->MatchAt(&context, &position);
                at += IsDBCSLeadByte(static_cast<BYTE>(text[at])) ? 2 : 1;
            }
            EXPECT_EQ(SearchRegExp(regExp.get(), text.data(), text.size()), expected)
                << pattern << " in " << testing::PrintToString(text);
        }
    }
}
