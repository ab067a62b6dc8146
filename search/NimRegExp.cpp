// The regular expression engine: a recursive-descent compiler into a graph
// of matcher nodes (each node knows what follows it) and a backtracking
// matcher that keeps its choices on explicit stacks.

// Own
#include "search/NimRegExp.h"

// Standard library
#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

namespace nimregexp {

// ---------------------------------------------------------------------------
// The portable locale

int TLocale::CompareAnsi(bool, std::string_view a, std::string_view b, uint8_t ignoreFlags) const
{
    auto fold = [ignoreFlags](unsigned char c) -> unsigned char {
        return (ignoreFlags & kFlagI) && c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 32) : c;
    };
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = fold(static_cast<unsigned char>(a[i])), y = fold(static_cast<unsigned char>(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

int TLocale::CompareWide(char16_t a, char16_t b, uint8_t ignoreFlags) const
{
    if (ignoreFlags & kFlagI) {
        if (a >= u'a' && a <= u'z')
            a = static_cast<char16_t>(a - 32);
        if (b >= u'a' && b <= u'z')
            b = static_cast<char16_t>(b - 32);
    }
    return a == b ? 0 : (a < b ? -1 : 1);
}

bool TLocale::IsLeadByte(uint8_t) const { return false; }

bool TLocale::AnsiToUtf16(std::string_view character, char16_t& unit) const
{
    if (character.size() != 1)
        return false;
    unit = static_cast<unsigned char>(character[0]);
    return true;
}

const TLocale& TLocale::Default()
{
    static const TLocale locale;
    return locale;
}

// ---------------------------------------------------------------------------
// Nodes

namespace {

enum class TKind : uint8_t { Empty, Literal, Class, Any, LineStart, LineEnd, WordStart, WordEnd, Alt, Look, Quant, CapStart, CapEnd };
enum class TQuant : uint8_t { Star, StarPossessive, StarLazy, Plus, PlusPossessive, PlusLazy, Opt, OptPossessive, OptLazy };
enum class TCompare : uint8_t { Exact, Fold, Locale };

// One character: up to three bytes in text order (modes N, A, L, U, E) or one
// 16-bit unit (modes W, S).
struct TChar {
    uint32_t Value = 0;
    uint8_t Length = 0;
};

struct TClassItem {
    TChar Low;
    TChar High;
};

}  // namespace

struct TNode {
    TKind Kind = TKind::Empty;
    uint8_t Mode = 0;
    TCompare Compare = TCompare::Exact;
    uint8_t IgnoreFlags = 0;  // I, K, B for the locale comparison
    bool MultiLine = false;
    bool Negative = false;      // Look: "~"; Class: "[^"
    bool BodyCaptures = false;  // Look, Quant: the body holds a capture
    TQuant Quant = TQuant::Star;
    TNode* Next = nullptr;
    TNode* First = nullptr;   // Alt
    TNode* Second = nullptr;  // Alt
    TNode* Body = nullptr;    // Look, Quant
    TChar Char;               // Literal
    std::vector<TClassItem> Items;  // Class
    int Slot = 0;             // CapStart, CapEnd
    int32_t Number = 0;       // CapEnd
    // A node outside every body where ways join (after a repetition, after
    // alternatives): the places already tried from it are remembered.
    int MemoIndex = -1;
};

namespace {

// ---------------------------------------------------------------------------
// Characters in the text by mode

inline bool IsEucLead(uint8_t b) { return b == 0x8E || (b >= 0xA1 && b <= 0xFE); }

inline size_t LeadLength(uint8_t mode, uint8_t b, const TLocale& locale)
{
    switch (mode) {
    case kModeL:
        return locale.IsLeadByte(b) ? 2 : 1;
    case kModeU:
        return b >= 0xC0 && b <= 0xDF ? 2 : (b >= 0xE0 && b <= 0xEF ? 3 : 1);
    case kModeW:
    case kModeS:
        return 2;
    case kModeE:
        return IsEucLead(b) ? 2 : 1;
    default:
        return 1;
    }
}

inline bool IsWide(uint8_t mode) { return mode == kModeW || mode == kModeS; }

inline uint32_t UnitAt(uint8_t mode, const unsigned char* p)
{
    return mode == kModeW ? (p[0] | (p[1] << 8u)) : ((p[0] << 8u) | p[1]);
}

// Left-aligned bytes and the length, so that integer order is byte order.
inline uint32_t SortKey(const TChar& c, uint8_t mode)
{
    if (IsWide(mode))
        return c.Value;
    return ((c.Value << (8 * (3 - c.Length))) << 2) | c.Length;
}

inline TChar FoldAscii(TChar c, uint8_t mode)
{
    if ((IsWide(mode) || c.Length == 1) && c.Value >= 'a' && c.Value <= 'z')
        c.Value -= 32;
    return c;
}

std::string BytesOf(const TChar& c)
{
    std::string bytes;
    for (int i = c.Length - 1; i >= 0; --i)
        bytes.push_back(static_cast<char>((c.Value >> (8 * i)) & 0xFF));
    return bytes;
}

char16_t Utf8ToUnit(const TChar& c)
{
    uint32_t v = c.Value;
    switch (c.Length) {
    case 2:
        return static_cast<char16_t>((((v >> 8) & 0x1F) << 6) | (v & 0x3F));
    case 3:
        return static_cast<char16_t>((((v >> 16) & 0x0F) << 12) | (((v >> 8) & 0x3F) << 6) | (v & 0x3F));
    default:
        return static_cast<char16_t>(v);
    }
}

// Compares a character of the text with one of the pattern by the node's
// comparator.
int CompareChars(const TNode& node, const TChar& text, const TChar& pattern, const TLocale& locale)
{
    switch (node.Compare) {
    case TCompare::Exact:
        break;
    case TCompare::Fold: {
        uint32_t a = SortKey(FoldAscii(text, node.Mode), node.Mode);
        uint32_t b = SortKey(FoldAscii(pattern, node.Mode), node.Mode);
        return a == b ? 0 : (a < b ? -1 : 1);
    }
    case TCompare::Locale:
        if (IsWide(node.Mode))
            return locale.CompareWide(static_cast<char16_t>(text.Value), static_cast<char16_t>(pattern.Value),
                                      node.IgnoreFlags);
        if (node.Mode == kModeU)
            return locale.CompareWide(Utf8ToUnit(text), Utf8ToUnit(pattern), node.IgnoreFlags);
        return locale.CompareAnsi(node.Mode == kModeL, BytesOf(text), BytesOf(pattern), node.IgnoreFlags);
    }
    uint32_t a = SortKey(text, node.Mode), b = SortKey(pattern, node.Mode);
    return a == b ? 0 : (a < b ? -1 : 1);
}

// The character at p, false when the text ends before it does.
inline bool ReadChar(uint8_t mode, const unsigned char* p, const unsigned char* end, const TLocale& locale,
                     TChar& c)
{
    if (p >= end)
        return false;
    size_t length = LeadLength(mode, *p, locale);
    if (static_cast<size_t>(end - p) < length)
        return false;
    if (IsWide(mode)) {
        c.Value = UnitAt(mode, p);
        c.Length = 2;
        return true;
    }
    uint32_t v = 0;
    for (size_t i = 0; i < length; ++i)
        v = (v << 8) | p[i];
    c.Value = v;
    c.Length = static_cast<uint8_t>(length);
    return true;
}

// Bytes of one character at p, clipped at the end of the text.
inline size_t StepLength(uint8_t mode, const unsigned char* p, const unsigned char* end, const TLocale& locale)
{
    size_t length = LeadLength(mode, *p, locale);
    size_t left = static_cast<size_t>(end - p);
    return length < left ? length : left;
}

inline bool IsWordByte(uint32_t c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

inline bool IsBreak(uint32_t c) { return c == 13 || c == 10; }

// The unit or byte at p as seen by line and word tests; false at the end.
inline bool UnitHere(uint8_t mode, const unsigned char* p, const unsigned char* end, uint32_t& c)
{
    if (IsWide(mode)) {
        if (end - p < 2)
            return false;
        c = UnitAt(mode, p);
        return true;
    }
    if (p >= end)
        return false;
    c = *p;
    return true;
}

inline bool UnitBefore(uint8_t mode, const unsigned char* start, const unsigned char* p, uint32_t& c)
{
    if (IsWide(mode)) {
        if (p - start < 2)
            return false;
        c = UnitAt(mode, p - 2);
        return true;
    }
    if (p <= start)
        return false;
    c = p[-1];
    return true;
}

bool WordAt(uint8_t mode, const unsigned char* p, const unsigned char* end, const TLocale& locale)
{
    uint32_t c;
    if (!UnitHere(mode, p, end, c))
        return false;
    if (mode == kModeL && locale.IsLeadByte(static_cast<uint8_t>(c)))
        return false;
    return IsWordByte(c);
}

bool WordBefore(uint8_t mode, const unsigned char* start, const unsigned char* p, const TLocale& locale)
{
    uint32_t c;
    if (!UnitBefore(mode, start, p, c))
        return false;
    if (mode == kModeL) {
        // The byte before is a trail byte when an odd number of lead bytes
        // stands directly before it.
        size_t leads = 0;
        for (const unsigned char* q = p - 1; q > start && locale.IsLeadByte(q[-1]); --q)
            ++leads;
        if (leads % 2 == 1)
            return false;
    }
    return IsWordByte(c);
}

bool ClassHas(const TNode& node, const TChar& c, const TLocale& locale)
{
    for (const TClassItem& item : node.Items) {
        if (item.Low.Length == item.High.Length && item.Low.Value == item.High.Value) {
            if (CompareChars(node, c, item.Low, locale) == 0)
                return true;
        } else if (CompareChars(node, c, item.Low, locale) >= 0 && CompareChars(node, c, item.High, locale) <= 0) {
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// The compiler

// A piece of the graph under construction: its entry and the next-links
// still to be pointed at whatever follows it.
struct TFragment {
    TNode* Entry = nullptr;
    std::vector<TNode**> Holes;
    bool HasCapture = false;
};

char ToLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
uint32_t HexValue(char c)
{
    return c <= '9' ? static_cast<uint32_t>(c - '0') : static_cast<uint32_t>((c | 0x20) - 'a' + 10);
}

}  // namespace

class TCompiler {
public:
    TCompiler(TProgram& program, const TLocale& locale) : FProgram(program), FLocale(locale) {}

    TFragment CompileWhole(std::string_view pattern, uint8_t mode, uint8_t flags, int depth)
    {
        std::string_view saved = FText;
        size_t savedAt = FAt;
        FText = pattern;
        FAt = 0;
        TFragment result = GroupBody(mode, flags, depth);
        if (FAt != FText.size())
            throw ECompileError();
        FText = saved;
        FAt = savedAt;
        return result;
    }

private:
    TProgram& FProgram;
    const TLocale& FLocale;
    std::string_view FText;
    size_t FAt = 0;

    bool AtEnd() const { return FAt >= FText.size(); }
    char Peek() const { return AtEnd() ? '\0' : FText[FAt]; }

    TNode* NewNode(TKind kind, uint8_t mode, uint8_t flags)
    {
        FProgram.FNodes.push_back(std::make_unique<TNode>());
        TNode* node = FProgram.FNodes.back().get();
        node->Kind = kind;
        node->Mode = mode;
        node->MultiLine = (flags & kFlagM) != 0;
        uint8_t folding = flags & (kFlagX | kFlagI | kFlagK | kFlagB);
        node->IgnoreFlags = flags & (kFlagI | kFlagK | kFlagB);
        if (mode == kModeN || folding == 0)
            node->Compare = TCompare::Exact;
        else if (mode == kModeE)
            node->Compare = (flags & kFlagI) ? TCompare::Fold : TCompare::Exact;
        else if (folding == kFlagI)
            node->Compare = TCompare::Fold;
        else
            node->Compare = TCompare::Locale;
        return node;
    }

    TFragment Single(TNode* node)
    {
        TFragment f;
        f.Entry = node;
        f.Holes.push_back(&node->Next);
        return f;
    }

public:
    static void Patch(TFragment& f, TNode* target)
    {
        for (TNode** hole : f.Holes)
            *hole = target;
        f.Holes.clear();
    }

private:
    static void Append(TFragment& a, TFragment&& b)
    {
        if (!a.Entry) {
            a = std::move(b);
            return;
        }
        Patch(a, b.Entry);
        a.Holes = std::move(b.Holes);
        a.HasCapture = a.HasCapture || b.HasCapture;
    }

    // group body := ["?" options [number] ":"] alternation
    TFragment GroupBody(uint8_t mode, uint8_t flags, int depth)
    {
        if (depth > kMaxNesting)
            throw ECompileError();
        bool capture = false;
        uint32_t number = 0;
        if (Peek() == '?') {
            ++FAt;
            for (;;) {
                if (AtEnd())
                    throw ECompileError();
                char c = ToLower(Peek());
                const char* modes = "naluwse";
                const char* m = std::strchr(modes, c);
                if (m && c != '\0') {  // strchr also finds the terminator
                    mode = static_cast<uint8_t>(m - modes);
                    ++FAt;
                    continue;
                }
                uint8_t bit = c == 'x' ? kFlagX : c == 'i' ? kFlagI : c == 'k' ? kFlagK : c == 'b' ? kFlagB
                                                                                      : c == 'm' ? kFlagM : 0;
                if (!bit)
                    break;
                ++FAt;
                if (Peek() == '-') {
                    flags &= static_cast<uint8_t>(~bit);
                    ++FAt;
                } else {
                    flags |= bit;
                    if (Peek() == '+')
                        ++FAt;
                }
            }
            if (Peek() >= '0' && Peek() <= '9') {
                capture = true;
                while (Peek() >= '0' && Peek() <= '9')
                    number = number * 10 + static_cast<uint32_t>(FText[FAt++] - '0');
            } else if (Peek() == '$') {
                capture = true;
                ++FAt;
                while (IsHexDigit(Peek()))
                    number = number * 16 + HexValue(FText[FAt++]);
            }
            if (Peek() != ':' || AtEnd())
                throw ECompileError();
            ++FAt;
        }
        TFragment body = Alternation(mode, flags, depth);
        if (!capture)
            return body;
        TNode* start = NewNode(TKind::CapStart, mode, flags);
        TNode* end = NewNode(TKind::CapEnd, mode, flags);
        start->Slot = end->Slot = FProgram.FSlotCount++;
        end->Number = static_cast<int32_t>(number);
        TFragment result = Single(start);
        Append(result, std::move(body));
        Append(result, Single(end));
        result.HasCapture = true;
        return result;
    }

    TFragment Alternation(uint8_t mode, uint8_t flags, int depth)
    {
        TFragment result = Sequence(mode, flags, depth);
        while (Peek() == '|' && !AtEnd()) {
            ++FAt;
            TFragment other = Sequence(mode, flags, depth);
            TNode* alt = NewNode(TKind::Alt, mode, flags);
            alt->First = result.Entry;
            alt->Second = other.Entry;
            result.Entry = alt;
            result.Holes.insert(result.Holes.end(), other.Holes.begin(), other.Holes.end());
            result.HasCapture = result.HasCapture || other.HasCapture;
        }
        return result;
    }

    // Never empty: an empty sequence is one Empty node.
    TFragment Sequence(uint8_t mode, uint8_t flags, int depth)
    {
        TFragment result;
        for (;;) {
            if (AtEnd() || Peek() == '|' || Peek() == ')')
                break;
            std::optional<TFragment> piece = Piece(mode, flags, depth);
            if (!piece)
                break;
            Append(result, std::move(*piece));
        }
        if (!result.Entry)
            result = Single(NewNode(TKind::Empty, mode, flags));
        return result;
    }

    std::optional<TFragment> Piece(uint8_t mode, uint8_t flags, int depth)
    {
        char c = Peek();
        if (c == '=' || c == '~') {
            ++FAt;
            std::optional<TFragment> body = Atom(mode, flags, depth);
            if (!body)
                throw ECompileError();
            TNode* look = NewNode(TKind::Look, mode, flags);
            look->Negative = c == '~';
            Patch(*body, nullptr);
            look->Body = body->Entry;
            look->BodyCaptures = body->HasCapture;
            TFragment result = Single(look);
            result.HasCapture = body->HasCapture;
            return result;
        }
        std::optional<TFragment> atom = Atom(mode, flags, depth);
        if (!atom)
            return std::nullopt;
        c = Peek();
        if (AtEnd() || (c != '*' && c != '+' && c != '?'))
            return atom;
        ++FAt;
        char modifier = AtEnd() ? '\0' : Peek();
        int form = 0;
        if (modifier == '!' || modifier == '?') {
            form = modifier == '!' ? 1 : 2;
            ++FAt;
        }
        static const TQuant kForms[3][3] = {{TQuant::Star, TQuant::StarPossessive, TQuant::StarLazy},
                                            {TQuant::Plus, TQuant::PlusPossessive, TQuant::PlusLazy},
                                            {TQuant::Opt, TQuant::OptPossessive, TQuant::OptLazy}};
        TNode* quant = NewNode(TKind::Quant, mode, flags);
        quant->Quant = kForms[c == '*' ? 0 : c == '+' ? 1 : 2][form];
        Patch(*atom, nullptr);
        quant->Body = atom->Entry;
        quant->BodyCaptures = atom->HasCapture;
        TFragment result = Single(quant);
        result.HasCapture = atom->HasCapture;
        return result;
    }

    std::optional<TFragment> Atom(uint8_t mode, uint8_t flags, int depth)
    {
        if (AtEnd())
            return std::nullopt;
        char c = FText[FAt];
        switch (c) {
        case '*':
        case '+':
        case '?':
        case ')':
        case '|':
            return std::nullopt;
        case ']':
        case '=':
        case '-':
        case '!':
        case '~':
        case '\0':
            throw ECompileError();
        case '(': {
            ++FAt;
            TFragment body = GroupBody(mode, flags, depth + 1);
            if (AtEnd() || Peek() != ')')
                throw ECompileError();
            ++FAt;
            return body;
        }
        case '[':
            ++FAt;
            return Class(mode, flags);
        case '.':
            ++FAt;
            return Single(NewNode(TKind::Any, mode, flags));
        case '^':
        case '%':
            ++FAt;
            return Single(NewNode(TKind::LineStart, mode, flags));
        case '$':
            ++FAt;
            return Single(NewNode(TKind::LineEnd, mode, flags));
        case '<':
            ++FAt;
            return Single(NewNode(TKind::WordStart, mode, flags));
        case '>':
            ++FAt;
            return Single(NewNode(TKind::WordEnd, mode, flags));
        case '\\':
            return Escape(mode, flags, depth);
        default: {
            TNode* node = NewNode(TKind::Literal, mode, flags);
            node->Char = Character(mode);
            return Single(node);
        }
        }
    }

    TFragment Escape(uint8_t mode, uint8_t flags, int depth)
    {
        ++FAt;
        if (AtEnd() || Peek() == '\0')
            throw ECompileError();
        char c = ToLower(Peek());
        const char* predefined = nullptr;
        switch (c) {
        case 'd':
            predefined = "[0-9]";
            break;
        case 'n':
            predefined = "#10|#13#10?!";
            break;
        case 's':
            predefined = "[#0-#32]";
            break;
        case 'w':
            predefined = "[A-Za-z_0-9]";
            break;
        default:
            break;
        }
        if (predefined) {
            ++FAt;
            return CompileWhole(predefined, mode, flags, depth + 1);
        }
        int code = -1;
        switch (c) {
        case '0': code = 0; break;
        case 'a': code = 7; break;
        case 'b': code = 8; break;
        case 'e': code = 27; break;
        case 'f': code = 12; break;
        case 'l': code = 10; break;
        case 'r': code = 13; break;
        case 't': code = 9; break;
        case 'v': code = 11; break;
        case 'z': code = 26; break;
        case '#': code = '#'; break;
        default: break;
        }
        TNode* node = NewNode(TKind::Literal, mode, flags);
        if (code >= 0) {
            ++FAt;
            node->Char = FromCode(static_cast<uint32_t>(code), mode);
        } else if (c == 'x') {
            ++FAt;
            uint32_t value = 0;
            while (IsHexDigit(Peek()))
                value = value * 16 + HexValue(FText[FAt++]);
            node->Char = FromCode(value, mode);
        } else {
            node->Char = PlainCharacter(mode);
        }
        return Single(node);
    }

    TFragment Class(uint8_t mode, uint8_t flags)
    {
        TNode* node = NewNode(TKind::Class, mode, flags);
        if (Peek() == '^' || Peek() == '~') {
            node->Negative = true;
            ++FAt;
        }
        for (;;) {
            if (AtEnd())
                throw ECompileError();
            TClassItem item;
            item.Low = item.High = Character(mode);
            if (Peek() == '-' && !AtEnd()) {
                ++FAt;
                if (AtEnd())
                    throw ECompileError();
                item.High = Character(mode);
            }
            node->Items.push_back(item);
            if (AtEnd())
                throw ECompileError();
            if (Peek() == ']') {
                ++FAt;
                break;
            }
        }
        return Single(node);
    }

    static TChar FromCode(uint32_t code, uint8_t mode)
    {
        TChar c;
        if (IsWide(mode)) {
            c.Value = code & 0xFFFF;
            c.Length = 2;
        } else if (mode == kModeN || mode == kModeA) {
            c.Value = code & 0xFF;
            c.Length = 1;
        } else {
            c.Value = code & 0xFFFFFF;
            c.Length = code >= 0x10000 ? 3 : (code >= 0x100 ? 2 : 1);
        }
        return c;
    }

    // A character: "#" and "#$" codes, else one character of the pattern.
    TChar Character(uint8_t mode)
    {
        if (Peek() == '#' && !AtEnd()) {
            ++FAt;
            uint32_t value = 0;
            if (Peek() == '$') {
                ++FAt;
                while (IsHexDigit(Peek()))
                    value = value * 16 + HexValue(FText[FAt++]);
            } else {
                while (Peek() >= '0' && Peek() <= '9')
                    value = value * 10 + static_cast<uint32_t>(FText[FAt++] - '0');
            }
            return FromCode(value, mode);
        }
        return PlainCharacter(mode);
    }

    TChar PlainCharacter(uint8_t mode)
    {
        if (AtEnd() || Peek() == '\0')
            throw ECompileError();
        size_t length = 1;
        if (FLocale.IsLeadByte(static_cast<uint8_t>(Peek()))) {
            if (mode == kModeN || mode == kModeA || mode == kModeE)
                throw ECompileError();
            length = 2;
            if (FAt + 2 > FText.size() || FText[FAt + 1] == '\0')
                throw ECompileError();
        }
        std::string_view bytes = FText.substr(FAt, length);
        FAt += length;
        TChar c;
        if (mode == kModeU || IsWide(mode)) {
            char16_t unit;
            if (!FLocale.AnsiToUtf16(bytes, unit))
                throw ECompileError();
            if (IsWide(mode)) {
                c.Value = unit;
                c.Length = 2;
            } else if (unit < 0x80) {
                c.Value = unit;
                c.Length = 1;
            } else if (unit < 0x800) {
                c.Value = ((0xC0u | (unit >> 6)) << 8) | (0x80u | (unit & 0x3F));
                c.Length = 2;
            } else {
                c.Value = ((0xE0u | (unit >> 12)) << 16) | ((0x80u | ((unit >> 6) & 0x3F)) << 8) |
                          (0x80u | (unit & 0x3F));
                c.Length = 3;
            }
            return c;
        }
        for (char b : bytes)
            c.Value = (c.Value << 8) | static_cast<unsigned char>(b);
        c.Length = static_cast<uint8_t>(length);
        return c;
    }
};

// ---------------------------------------------------------------------------
// The matcher's working state

namespace {

enum class TChoiceKind : uint8_t { Retry, BodyFailed, GiveBack, LazyMore, OptionalBody };

// A way back: what to try when everything after it fails, and the heights
// of the other stacks when it was made.
struct TChoice {
    TChoiceKind Kind;
    bool First;  // BodyFailed: the repetition was the first
    const TNode* Node;
    const char* Position;
    size_t Frames;
    size_t Log;
    size_t Trail;
    size_t Runs;
    size_t RunsBase;  // GiveBack, BodyFailed of a greedy repetition: its table
};

// A body being matched as a sub-match.
struct TFrame {
    const TNode* Node;
    const char* Start;
    size_t ChoiceHeight;
    size_t RunsTop;
    size_t RunsBase;
    bool First;
};

// End positions of a greedy repetition: Position, Position + Step, ... Count
// positions, so a repetition of one-byte bodies costs one entry in all.
// A body holding captures keeps one entry per repetition with the length of
// the capture log after it, so that a repetition given back takes its
// captures with it.
struct TRun {
    const char* Position;
    ptrdiff_t Step;
    size_t Count;
    size_t Log;
};

enum class TLogKind : uint8_t { Capture, SubStart, SubEnd };

struct TLogEntry {
    TLogKind Kind;
    int32_t Number;
    const char* Start;
    const char* End;
};

struct TUndo {
    int Slot;
    const char* Old;
};

}  // namespace

// The places a join node of the top level was already reached from. Outside
// every body, what happens after a node depends on nothing but the node and
// the place: the first visit either matched (and matching ended) or failed
// with everything after it, and no way leads back to the same node and
// place before that visit ends. So a second visit fails at once, which keeps
// patterns such as ".+.+.+$" from trying the same continuations over and
// over (the number of tries grows with a power of the text's length
// otherwise). One bit per node and text position, allocated when the node is
// first reached, within a budget; past it nothing more is remembered, which
// costs time but never changes a result.
class TMemo {
public:
    void Reset(const char* textStart, const char* textEnd, size_t nodes)
    {
        for (int index : FUsed)
            FBits[static_cast<size_t>(index)].clear();
        FUsed.clear();
        FBits.resize(nodes);
        FStart = textStart;
        FEnd = textEnd;
        FWords = (static_cast<size_t>(textEnd - textStart) + 1 + 63) / 64;
    }
    bool Holds(const char* textStart, const char* textEnd) const { return FStart == textStart && FEnd == textEnd; }
    // Whether the node was reached at the position before; records it.
    bool Seen(int index, const char* position)
    {
        std::vector<uint64_t>& bits = FBits[static_cast<size_t>(index)];
        if (bits.empty()) {
            if ((FUsed.size() + 1) * FWords > kBudgetWords)
                return false;
            bits.assign(FWords, 0);
            FUsed.push_back(index);
        }
        size_t offset = static_cast<size_t>(position - FStart);
        uint64_t mask = uint64_t{1} << (offset % 64);
        uint64_t& word = bits[offset / 64];
        bool seen = (word & mask) != 0;
        word |= mask;
        return seen;
    }
    bool Kept = false;  // a search keeps what it learned from one start for the next

private:
    static constexpr size_t kBudgetWords = (size_t{64} << 20) / 8;  // 64 MB
    std::vector<std::vector<uint64_t>> FBits;
    std::vector<int> FUsed;
    const char* FStart = nullptr;
    const char* FEnd = nullptr;
    size_t FWords = 0;
};

struct TMatchState {
    TMemo Memo;
    std::vector<TChoice> Choices;
    std::vector<TFrame> Frames;
    std::vector<TRun> Runs;
    std::vector<TLogEntry> Log;
    std::vector<TUndo> Trail;
    std::vector<const char*> Slots;
    std::vector<TLogEntry> Pending, Fired;
    std::vector<size_t> Marks;
};

// ---------------------------------------------------------------------------
// Compilation entry and analysis

namespace {

// Bytes of an exactly compared literal as they stand in the text.
std::string LiteralBytes(const TNode& node)
{
    if (node.Mode == kModeW)
        return {static_cast<char>(node.Char.Value & 0xFF), static_cast<char>(node.Char.Value >> 8)};
    if (node.Mode == kModeS)
        return {static_cast<char>(node.Char.Value >> 8), static_cast<char>(node.Char.Value & 0xFF)};
    return BytesOf(node.Char);
}

inline bool IsAsciiLetter(uint32_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Adds the first bytes of the characters from low to high as the node
// compares them (a superset is fine).
void AddFirstBytes(const TNode& node, const TChar& low, const TChar& high, bool* first)
{
    bool fold = node.Compare == TCompare::Fold;
    uint32_t from, to;
    if (IsWide(node.Mode)) {
        from = low.Value;
        to = high.Value;
    } else {
        from = low.Value >> (8 * (low.Length - 1));
        to = high.Value >> (8 * (high.Length - 1));
    }
    // Folding compares upper case: "a" to "c" is "A" to "C", which the
    // lower-case partners then join.
    if (fold && from >= 'a' && from <= 'z' && (IsWide(node.Mode) || low.Length == 1))
        from -= 32;
    if (fold && to >= 'a' && to <= 'z' && (IsWide(node.Mode) || high.Length == 1))
        to -= 32;
    if (node.Mode == kModeW && (to < from || to - from >= 0xFF)) {
        std::fill(first, first + 256, true);
        return;
    }
    for (uint32_t c = from; c <= to && c <= 0xFFFF; ++c) {
        uint32_t byte = node.Mode == kModeW ? (c & 0xFF) : node.Mode == kModeS ? (c >> 8) : c;
        if (byte > 0xFF)
            break;
        first[byte] = true;
        if (fold && c < 0x80 && IsAsciiLetter(c))
            first[byte ^ 0x20] = true;
    }
}

// The bytes a match can start with; false when any byte may (a match can be
// empty, or starts with "." or a locale comparison), or the pattern has too
// many ways to its first character to follow.
bool FindFirstBytes(const TNode* root, bool* first)
{
    // A node, with the nodes that follow the sub-matches it stands in.
    struct TItem {
        const TNode* Node;
        std::vector<const TNode*> After;
    };
    std::vector<TItem> work{{root, {}}};
    int budget = 10000;
    while (!work.empty()) {
        if (--budget == 0)
            return false;
        TItem item = std::move(work.back());
        work.pop_back();
        const TNode* node = item.Node;
        if (!node) {
            if (item.After.empty())
                return false;  // the match can be empty
            node = item.After.back();
            item.After.pop_back();
            work.push_back({node, std::move(item.After)});
            continue;
        }
        switch (node->Kind) {
        case TKind::Literal:
            if (node->Compare == TCompare::Locale)
                return false;
            AddFirstBytes(*node, node->Char, node->Char, first);
            break;
        case TKind::Class:
            if (node->Negative || node->Compare == TCompare::Locale)
                return false;
            for (const TClassItem& range : node->Items) {
                if (SortKey(range.Low, node->Mode) <= SortKey(range.High, node->Mode) ||
                    node->Compare != TCompare::Exact)
                    AddFirstBytes(*node, range.Low, range.High, first);
            }
            break;
        case TKind::Any:
            return false;
        case TKind::Alt:
            work.push_back({node->First, item.After});
            work.push_back({node->Second, std::move(item.After)});
            break;
        case TKind::Quant: {
            bool optional = node->Quant != TQuant::Plus && node->Quant != TQuant::PlusPossessive &&
                            node->Quant != TQuant::PlusLazy;
            if (optional)
                work.push_back({node->Next, item.After});
            item.After.push_back(node->Next);
            work.push_back({node->Body, std::move(item.After)});
            break;
        }
        default:  // takes nothing from the text
            work.push_back({node->Next, std::move(item.After)});
            break;
        }
    }
    return true;
}

class TCachedLocale : public TLocale {
public:
    explicit TCachedLocale(const TLocale& locale) : FLocale(locale)
    {
        for (int b = 0; b < 256; ++b)
            FLead[b] = locale.IsLeadByte(static_cast<uint8_t>(b));
    }
    int CompareAnsi(bool userDefault, std::string_view a, std::string_view b, uint8_t ignoreFlags) const override
    {
        return FLocale.CompareAnsi(userDefault, a, b, ignoreFlags);
    }
    int CompareWide(char16_t a, char16_t b, uint8_t ignoreFlags) const override
    {
        return FLocale.CompareWide(a, b, ignoreFlags);
    }
    bool IsLeadByte(uint8_t byte) const override { return FLead[byte]; }
    bool AnsiToUtf16(std::string_view character, char16_t& unit) const override
    {
        return FLocale.AnsiToUtf16(character, unit);
    }

private:
    const TLocale& FLocale;
    bool FLead[256];
};

}  // namespace

namespace {

// Gives a memo index to every node of the top level (outside every body)
// that more than one way leads to: the node after a repetition (its
// give-backs reach it from many places) and a node two links point at (the
// end of alternatives). Returns how many there are.
int MarkJoins(TNode* root)
{
    std::vector<TNode*> order, work;
    std::unordered_map<TNode*, int> incoming;
    auto reach = [&](TNode* node, bool join) {
        if (!node)
            return;
        auto [it, first] = incoming.try_emplace(node, 0);
        it->second += join ? 2 : 1;
        if (first) {
            order.push_back(node);
            work.push_back(node);
        }
    };
    reach(root, false);
    while (!work.empty()) {
        TNode* node = work.back();
        work.pop_back();
        reach(node->Next, node->Kind == TKind::Quant);
        if (node->Kind == TKind::Alt) {
            reach(node->First, false);
            reach(node->Second, false);
        }
    }
    int count = 0;
    for (TNode* node : order)
        if (incoming[node] >= 2)
            node->MemoIndex = count++;
    return count;
}

}  // namespace

std::unique_ptr<TProgram> TProgram::Compile(std::string_view pattern, uint8_t flags, uint8_t mode,
                                            const TLocale* locale)
{
    if (mode > kModeE)
        throw ECompileError();
    std::unique_ptr<TProgram> program(new TProgram());
    program->FMode = mode;
    program->FFlags = flags;
    program->FLocale = std::make_unique<TCachedLocale>(locale ? *locale : TLocale::Default());
    try {
        TCompiler compiler(*program, *program->FLocale);
        TFragment whole = compiler.CompileWhole(pattern, mode, flags, 0);
        TCompiler::Patch(whole, nullptr);
        program->FRoot = whole.Entry;
    } catch (const std::bad_alloc&) {
        throw ECompileError();
    }
    if (program->FRoot && program->FRoot->Kind == TKind::Empty && !program->FRoot->Next)
        program->FRoot = nullptr;

    // Every match starts with the exact literals at the front of the pattern
    // and holds the first exact literal that no choice can avoid.
    const TNode* node = program->FRoot;
    bool front = true;
    for (; node; node = node->Next) {
        if (node->Kind == TKind::Literal && node->Compare == TCompare::Exact) {
            std::string bytes = LiteralBytes(*node);
            if (front)
                program->FPrefix += bytes;
            else if (program->FRequired.empty())
                program->FRequired = bytes;
            continue;
        }
        if (node->Kind == TKind::Empty || node->Kind == TKind::CapStart || node->Kind == TKind::CapEnd)
            continue;
        front = false;
        if (node->Kind == TKind::Alt)
            break;
    }
    if (program->FRequired.empty())
        program->FRequired = program->FPrefix;
    if (program->FRoot)
        program->FFirstKnown = FindFirstBytes(program->FRoot, program->FFirst);
    for (int b = 0; b < 256; ++b)
        program->FFirstHasLead |= program->FFirst[b] && program->FLocale->IsLeadByte(static_cast<uint8_t>(b));
    // A pattern that starts with one single-byte character (no lead byte can
    // start it) of the double-byte code page: the bytes the character after
    // it can start with, so that most starts are refused without matching.
    const TNode* root = program->FRoot;
    if (program->FFirstKnown && !program->FFirstHasLead && root && root->Mode == kModeL && root->Next &&
        (root->Kind == TKind::Literal || root->Kind == TKind::Class))
        program->FSecondKnown = FindFirstBytes(root->Next, program->FSecond);
    if (program->FSecondKnown) {
        program->FPairs.assign(65536 / 64, 0);
        for (unsigned first = 0; first < 256; ++first)
            for (unsigned second = 0; second < 256; ++second)
                if (program->FFirst[first] && program->FSecond[second]) {
                    unsigned pair = first << 8 | second;
                    program->FPairs[pair >> 6] |= uint64_t{1} << (pair & 63);
                }
    }
    program->FMemoCount = MarkJoins(program->FRoot);
    program->FState = std::make_unique<TMatchState>();
    return program;
}

TProgram::~TProgram() = default;

size_t TProgram::CharLength(const char* position, const char* textEnd) const noexcept
{
    if (position >= textEnd)
        return 1;
    return StepLength(FMode, reinterpret_cast<const unsigned char*>(position),
                      reinterpret_cast<const unsigned char*>(textEnd), *FLocale);
}

// ---------------------------------------------------------------------------
// Matching

namespace {

void AddRunPosition(std::vector<TRun>& runs, size_t base, const char* position, size_t log, bool captures)
{
    if (runs.size() > base && !captures) {
        TRun& last = runs.back();
        const char* tail = last.Position + last.Step * static_cast<ptrdiff_t>(last.Count - 1);
        if (last.Count == 1) {
            last.Step = position - last.Position;
            last.Count = 2;
            return;
        }
        if (position - tail == last.Step) {
            ++last.Count;
            return;
        }
    }
    runs.push_back({position, 0, 1, log});
}

const char* TakeLastPosition(std::vector<TRun>& runs, size_t& log)
{
    TRun& last = runs.back();
    const char* position = last.Position + last.Step * static_cast<ptrdiff_t>(last.Count - 1);
    log = last.Log;
    if (--last.Count == 0)
        runs.pop_back();
    return position;
}

}  // namespace

// A literal, class or any-character node at p: moves p past the character
// it takes.
inline bool TakeOne(const TNode& node, const unsigned char*, const unsigned char* end, const TLocale& locale,
                    const char*& p)
{
    const auto* at = reinterpret_cast<const unsigned char*>(p);
    if (at >= end)
        return false;
    TChar c;
    if (node.Kind == TKind::Literal) {
        if (!ReadChar(node.Mode, at, end, locale, c))
            return false;
        if (node.Compare == TCompare::Exact ? (c.Value != node.Char.Value || c.Length != node.Char.Length)
                                            : CompareChars(node, c, node.Char, locale) != 0)
            return false;
        p += IsWide(node.Mode) ? 2 : c.Length;
        return true;
    }
    if (node.Kind == TKind::Class) {
        bool has = ReadChar(node.Mode, at, end, locale, c) && ClassHas(node, c, locale);
        if (has == node.Negative)
            return false;
        if (!node.Negative) {
            p += IsWide(node.Mode) ? 2 : c.Length;
            return true;
        }
    }
    // Any character, and what a negated class leaves to it.
    uint32_t unit;
    if (node.MultiLine && UnitHere(node.Mode, at, end, unit) && IsBreak(unit))
        return false;
    p += StepLength(node.Mode, at, end, locale);
    return true;
}

inline bool IsSingleCharacter(const TNode* body)
{
    return body && !body->Next &&
           (body->Kind == TKind::Literal || body->Kind == TKind::Class || body->Kind == TKind::Any);
}

bool TProgram::MatchAt(const char* textStart, const char* textEnd, const char*& position, TCapture capture,
                       void* data) const
{
    if (!FRoot)
        return true;
    TMatchState& s = *FState;
    s.Choices.clear();
    s.Frames.clear();
    s.Runs.clear();
    s.Log.clear();
    s.Trail.clear();
    s.Slots.assign(static_cast<size_t>(FSlotCount), nullptr);
    if (!s.Memo.Kept || !s.Memo.Holds(textStart, textEnd))
        s.Memo.Reset(textStart, textEnd, static_cast<size_t>(FMemoCount));
    const TLocale& locale = *FLocale;
    const auto* start = reinterpret_cast<const unsigned char*>(textStart);
    const auto* end = reinterpret_cast<const unsigned char*>(textEnd);

    const TNode* node = FRoot;
    const char* p = position;
    // Without a callback nothing about captures needs keeping.
    const bool logging = capture != nullptr;

    auto push = [&](TChoiceKind kind, const TNode* at, const char* where, bool first = false, size_t runsBase = 0) {
        s.Choices.push_back({kind, first, at, where, s.Frames.size(), s.Log.size(), s.Trail.size(), s.Runs.size(),
                             runsBase});
    };
    auto startBody = [&](const TNode* q, const char* where, bool first, size_t runsBase) {
        push(TChoiceKind::BodyFailed, q, where, first, runsBase);
        s.Frames.push_back({q, where, s.Choices.size() - 1, s.Runs.size(), runsBase, first});
        if (logging && q->BodyCaptures)
            s.Log.push_back({TLogKind::SubStart, 0, nullptr, nullptr});
        node = q->Body;
        p = where;
    };
    // The greedy repetition's table is complete: the continuation from its
    // last end, then from each shorter one.
    auto giveBack = [&](const TNode* q, size_t runsBase) {
        size_t log;
        p = TakeLastPosition(s.Runs, log);
        s.Log.resize(log);
        if (s.Runs.size() > runsBase)
            push(TChoiceKind::GiveBack, q, nullptr, false, runsBase);
        node = q->Next;
    };

    for (;;) {
        if (node && node->MemoIndex >= 0 && s.Frames.empty() && s.Memo.Seen(node->MemoIndex, p))
            goto fail;
        if (!node) {
            if (s.Frames.empty())
                break;
            // A body matched: its first way is final, and its inner choices go.
            TFrame f = s.Frames.back();
            s.Frames.pop_back();
            s.Choices.resize(f.ChoiceHeight);
            s.Runs.resize(f.RunsTop);
            const TNode* q = f.Node;
            if (logging && q->BodyCaptures)
                s.Log.push_back({TLogKind::SubEnd, 0, nullptr, nullptr});
            if (q->Kind == TKind::Look) {
                if (q->Negative)
                    goto fail;
                node = q->Next;
                p = f.Start;
                continue;
            }
            bool progress = p != f.Start;
            switch (q->Quant) {
            case TQuant::Star:
            case TQuant::Plus:
                if (progress || f.First)
                    AddRunPosition(s.Runs, f.RunsBase, p, s.Log.size(), logging && q->BodyCaptures);
                if (progress)
                    startBody(q, p, false, f.RunsBase);
                else
                    giveBack(q, f.RunsBase);
                continue;
            case TQuant::StarPossessive:
            case TQuant::PlusPossessive:
                if (progress)
                    startBody(q, p, false, 0);
                else
                    node = q->Next;
                continue;
            case TQuant::StarLazy:
            case TQuant::PlusLazy:
                if (!progress && !f.First)
                    goto fail;  // the continuation was tried from here already
                if (progress)
                    push(TChoiceKind::LazyMore, q, p);
                node = q->Next;
                continue;
            case TQuant::Opt:
            case TQuant::OptPossessive:
            case TQuant::OptLazy:
                node = q->Next;
                continue;
            }
            continue;
        }

        switch (node->Kind) {
        case TKind::Empty:
            node = node->Next;
            continue;
        case TKind::Literal:
        case TKind::Class:
        case TKind::Any:
            if (!TakeOne(*node, start, end, locale, p))
                goto fail;
            node = node->Next;
            continue;
        case TKind::LineStart: {
            uint32_t unit;
            const auto* at = reinterpret_cast<const unsigned char*>(p);
            if (at == start || (node->MultiLine && UnitBefore(node->Mode, start, at, unit) && IsBreak(unit))) {
                node = node->Next;
                continue;
            }
            goto fail;
        }
        case TKind::LineEnd: {
            uint32_t unit;
            const auto* at = reinterpret_cast<const unsigned char*>(p);
            if (at == end || (node->MultiLine && UnitHere(node->Mode, at, end, unit) && IsBreak(unit))) {
                node = node->Next;
                continue;
            }
            goto fail;
        }
        case TKind::WordStart:
        case TKind::WordEnd: {
            const auto* at = reinterpret_cast<const unsigned char*>(p);
            bool here = WordAt(node->Mode, at, end, locale);
            bool before = WordBefore(node->Mode, start, at, locale);
            if (node->Kind == TKind::WordStart ? (here && !before) : (before && !here)) {
                node = node->Next;
                continue;
            }
            goto fail;
        }
        case TKind::Alt:
            push(TChoiceKind::Retry, node->Second, p);
            node = node->First;
            continue;
        case TKind::Look:
            startBody(node, p, false, 0);
            continue;
        case TKind::Quant: {
            const TNode* q = node;
            if (IsSingleCharacter(q->Body) && q->Quant != TQuant::StarLazy && q->Quant != TQuant::PlusLazy &&
                q->Quant < TQuant::Opt) {
                // A body of one character has one way to match: repeat it
                // in place.
                bool plus = q->Quant == TQuant::Plus || q->Quant == TQuant::PlusPossessive;
                size_t base = s.Runs.size();
                bool greedy = q->Quant == TQuant::Star || q->Quant == TQuant::Plus;
                if (!plus && greedy)
                    AddRunPosition(s.Runs, base, p, s.Log.size(), false);
                const char* from = p;
                while (TakeOne(*q->Body, start, end, locale, p)) {
                    if (greedy)
                        AddRunPosition(s.Runs, base, p, s.Log.size(), false);
                }
                if (plus && p == from)
                    goto fail;
                if (greedy)
                    giveBack(q, base);
                else
                    node = q->Next;
                continue;
            }
            switch (q->Quant) {
            case TQuant::Star: {
                size_t base = s.Runs.size();
                AddRunPosition(s.Runs, base, p, s.Log.size(), logging && q->BodyCaptures);
                startBody(q, p, false, base);
                continue;
            }
            case TQuant::Plus:
                startBody(q, p, true, s.Runs.size());
                continue;
            case TQuant::StarPossessive:
            case TQuant::OptPossessive:
                startBody(q, p, false, 0);
                continue;
            case TQuant::PlusPossessive:
            case TQuant::PlusLazy:
                startBody(q, p, true, 0);
                continue;
            case TQuant::StarLazy:
                push(TChoiceKind::LazyMore, q, p);
                node = q->Next;
                continue;
            case TQuant::Opt:
                push(TChoiceKind::Retry, q->Next, p);
                startBody(q, p, false, 0);
                continue;
            case TQuant::OptLazy:
                push(TChoiceKind::OptionalBody, q, p);
                node = q->Next;
                continue;
            }
            continue;
        }
        case TKind::CapStart:
            s.Trail.push_back({node->Slot, s.Slots[static_cast<size_t>(node->Slot)]});
            s.Slots[static_cast<size_t>(node->Slot)] = p;
            node = node->Next;
            continue;
        case TKind::CapEnd:
            if (logging)
                s.Log.push_back({TLogKind::Capture, node->Number, s.Slots[static_cast<size_t>(node->Slot)], p});
            node = node->Next;
            continue;
        }

    fail:
        for (;;) {
            if (s.Choices.empty())
                return false;
            TChoice c = s.Choices.back();
            s.Choices.pop_back();
            s.Frames.resize(c.Frames);
            s.Log.resize(c.Log);
            while (s.Trail.size() > c.Trail) {
                s.Slots[static_cast<size_t>(s.Trail.back().Slot)] = s.Trail.back().Old;
                s.Trail.pop_back();
            }
            s.Runs.resize(c.Runs);
            const TNode* q = c.Node;
            switch (c.Kind) {
            case TChoiceKind::Retry:
                node = q;
                p = c.Position;
                break;
            case TChoiceKind::GiveBack:
                giveBack(q, c.RunsBase);
                break;
            case TChoiceKind::LazyMore:
            case TChoiceKind::OptionalBody:
                startBody(q, c.Position, false, 0);
                break;
            case TChoiceKind::BodyFailed:
                if (q->Kind == TKind::Look) {
                    if (!q->Negative)
                        continue;
                    node = q->Next;
                    p = c.Position;
                    break;
                }
                if (c.First)
                    continue;
                switch (q->Quant) {
                case TQuant::Star:
                case TQuant::Plus:
                    giveBack(q, c.RunsBase);
                    break;
                case TQuant::StarPossessive:
                case TQuant::PlusPossessive:
                case TQuant::OptPossessive:
                    node = q->Next;
                    p = c.Position;
                    break;
                default:
                    continue;
                }
                break;
            }
            break;
        }
    }

    position = p;
    if (capture && !s.Log.empty()) {
        // Report as the captures complete: a body's when the body has
        // matched (latest first), the rest of the pattern's at the end.
        s.Pending.clear();
        s.Fired.clear();
        s.Marks.clear();
        for (const TLogEntry& entry : s.Log) {
            switch (entry.Kind) {
            case TLogKind::SubStart:
                s.Marks.push_back(s.Pending.size());
                break;
            case TLogKind::Capture:
                s.Pending.push_back(entry);
                break;
            case TLogKind::SubEnd: {
                size_t mark = s.Marks.back();
                s.Marks.pop_back();
                for (size_t i = s.Pending.size(); i > mark; --i)
                    s.Fired.push_back(s.Pending[i - 1]);
                s.Pending.resize(mark);
                break;
            }
            }
        }
        for (size_t i = s.Pending.size(); i > 0; --i)
            s.Fired.push_back(s.Pending[i - 1]);
        for (const TLogEntry& entry : s.Fired)
            capture(entry.Number, entry.Start, entry.End, data);
    }
    return true;
}

bool TProgram::Search(const char* text, size_t length) const
{
    // What failed from one start fails from every other: the tries share it.
    struct TKeep {
        TMemo& Memo;
        ~TKeep() { Memo.Kept = false; }
    } keep{FState->Memo};
    FState->Memo.Reset(text, text + length, static_cast<size_t>(FMemoCount));
    FState->Memo.Kept = true;
    const char* end = text + length;
    if (!FRoot || length == 0) {
        const char* position = text;
        return MatchAt(text, end, position);
    }
    // No start after the last place the unavoidable literal stands can match.
    const char* lastStart = end;
    if (!FRequired.empty()) {
        if (FRequired.size() > length)
            return false;
        const char* found = std::find_end(text, end, FRequired.begin(), FRequired.end());
        if (found == end)
            return false;
        lastStart = found;
    }
    bool anyByte = FMode == kModeN || FMode == kModeA;
    bool wide = FMode == kModeW || FMode == kModeS;
    if (!FPrefix.empty() && (anyByte || wide)) {
        std::boyer_moore_horspool_searcher searcher(FPrefix.begin(), FPrefix.end());
        const char* from = text;
        while (from <= lastStart) {
            const char* found = std::search(from, end, searcher);
            if (found == end || found > lastStart)
                return false;
            if (wide && (found - text) % 2 != 0) {
                from = found + 1;
                continue;
            }
            const char* position = found;
            if (MatchAt(text, end, position))
                return true;
            from = found + (wide ? 2 : 1);
        }
        return false;
    }
    // A start that passed the byte tables: the front literal, then the matcher.
    auto matchesFrom = [&](const char* at) {
        if (!FPrefix.empty() && (static_cast<size_t>(end - at) < FPrefix.size() ||
                                 std::memcmp(at, FPrefix.data(), FPrefix.size()) != 0))
            return false;
        const char* position = at;
        return MatchAt(text, end, position);
    };
    if (FMode == kModeL && FFirstKnown && !FFirstHasLead) {
        // The double-byte code page without stepping character by character:
        // a byte that may start a match is looked for anywhere, and taken
        // only when it starts a character. It does not when the bytes of
        // lead-byte value right before it are odd in number (the last of
        // them is then its lead byte), which is what stepping from the
        // first byte on would find.
        const auto* bytes = reinterpret_cast<const unsigned char*>(text);
        // Where the first byte is common in the text (a class of letters),
        // both bytes are looked up at once: one table look-up that rarely
        // passes keeps the loop free of branches the processor mispredicts.
        // Where it is rare, the first byte alone is the cheaper test.
        bool pairs = false;
        size_t firstHits = 0;
        for (const char* at = text; at < end && at <= lastStart; ++at) {
            if (pairs) {
                if (end - at < 2)
                    break;
                unsigned pair = static_cast<unsigned>(static_cast<unsigned char>(at[0])) << 8 |
                                static_cast<unsigned char>(at[1]);
                if (!((FPairs[pair >> 6] >> (pair & 63)) & 1))
                    continue;
            } else {
                if (!FFirst[static_cast<unsigned char>(*at)])
                    continue;
                if (FSecondKnown && ++firstHits > 256 && firstHits * 8 > static_cast<size_t>(at - text))
                    pairs = true;
                if (FSecondKnown && (end - at < 2 || !FSecond[static_cast<unsigned char>(at[1])]))
                    continue;
            }
            size_t leads = 0;
            for (size_t back = static_cast<size_t>(at - text); back > 0 && FLocale->IsLeadByte(bytes[back - 1]); --back)
                ++leads;
            if (leads % 2 != 0)
                continue;
            if (matchesFrom(at))
                return true;
        }
        return false;
    }
    for (const char* at = text; at < end && at <= lastStart; at += CharLength(at, end)) {
        if (FFirstKnown && !FFirst[static_cast<unsigned char>(*at)])
            continue;
        if (matchesFrom(at))
            return true;
    }
    return false;
}

}  // namespace nimregexp
