#include "search/WildCard.h"

// Standard library
#include <algorithm>
#include <utility>
#include <vector>

namespace {

constexpr std::wstring_view kIllegalCharacter = L"不正な文字\"%s\"があります";
constexpr std::wstring_view kBadExpression = L"式が間違っています";
constexpr std::wstring_view kClosingQuoteExpected = L"閉じ引用符が必要です";
constexpr std::wstring_view kOperandExpected = L"属性またはワイルドカードが必要です";

// The Win32 attribute bits the filter words stand for.
struct TAttributeWord {
    std::wstring_view Word;
    uint32_t Mask;
};
constexpr TAttributeWord kAttributeWords[] = {
    {L"Hidden", 0x2},     // FILE_ATTRIBUTE_HIDDEN
    {L"ReadOnly", 0x1},   // FILE_ATTRIBUTE_READONLY
    {L"Archive", 0x20},   // FILE_ATTRIBUTE_ARCHIVE
    {L"System", 0x4},     // FILE_ATTRIBUTE_SYSTEM
};

// Blanks and control characters separate tokens and surround the text.
bool IsBlank(wchar_t c)
{
    return c < 33;
}

bool IsWordCharacter(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || c == L'_';
}

// Only ASCII letters are folded: a full-width "ｔｘｔ" is not "TXT".
wchar_t FoldCase(wchar_t c)
{
    return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - (L'a' - L'A')) : c;
}

bool SameWord(std::wstring_view a, std::wstring_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) { return FoldCase(x) == FoldCase(y); });
}

std::wstring_view TrimLeft(std::wstring_view text)
{
    std::size_t start = 0;
    while (start < text.size() && IsBlank(text[start]))
        ++start;
    return text.substr(start);
}

std::wstring_view Trim(std::wstring_view text)
{
    text = TrimLeft(text);
    std::size_t end = text.size();
    while (end > 0 && IsBlank(text[end - 1]))
        --end;
    return text.substr(0, end);
}

[[noreturn]] void RaiseIllegalCharacter(std::wstring_view text)
{
    // A character outside the basic plane is named whole, not by half.
    std::size_t units = 1;
    if (text.size() >= 2 && text[0] >= 0xD800 && text[0] <= 0xDBFF && text[1] >= 0xDC00 && text[1] <= 0xDFFF)
        units = 2;
    std::wstring message(kIllegalCharacter);
    message.replace(message.find(L"%s"), 2, text.substr(0, units));
    throw EWildCardError(std::move(message));
}

uint32_t AttributeMask(std::wstring_view word)
{
    for (const TAttributeWord& attribute : kAttributeWords)
        if (SameWord(word, attribute.Word))
            return attribute.Mask;
    return 0;
}

// The name has no dot, so a "." of the pattern may stand for its end.
bool HasNoDot(std::wstring_view name)
{
    return name.find(L'.') == std::wstring_view::npos;
}

using TNodePtr = std::unique_ptr<TWildCardExpressionNode>;

TNodePtr MakeNode(TWildCardNodeKind kind, TNodePtr left = nullptr, TNodePtr right = nullptr)
{
    auto node = std::make_unique<TWildCardExpressionNode>();
    node->Kind = kind;
    node->Left = std::move(left);
    node->Right = std::move(right);
    return node;
}

// Frees a tree by rotating left subtrees into right ones, so that every node
// is deleted without children and nothing recurses or allocates.
void DismantleTree(TNodePtr tree) noexcept
{
    while (tree) {
        if (tree->Left) {
            TNodePtr left = std::move(tree->Left);
            tree->Left = std::move(left->Right);
            left->Right = std::move(tree);
            tree = std::move(left);
        } else {
            TNodePtr right = std::move(tree->Right);
            tree.reset();
            tree = std::move(right);
        }
    }
}

std::size_t TreeDepth(const TWildCardExpressionNode& root)
{
    std::vector<std::pair<const TWildCardExpressionNode*, std::size_t>> pending{{&root, 1}};
    std::size_t depth = 0;
    while (!pending.empty()) {
        auto [node, level] = pending.back();
        pending.pop_back();
        depth = std::max(depth, level);
        if (node->Left)
            pending.emplace_back(node->Left.get(), level + 1);
        if (node->Right)
            pending.emplace_back(node->Right.get(), level + 1);
    }
    return depth;
}

// Recursive descent over
//   or-term  := and-term { ("OR" | ";" | "XOR") and-term }
//   and-term := not-term { "AND" not-term }
//   not-term := ["NOT"] primary
//   primary  := pattern | attribute word | "(" or-term ")"
// with the recursion through parentheses kept on an explicit stack: a text
// may open as many parentheses as it is long.
class TParser {
public:
    explicit TParser(std::wstring_view text) : FRest(Trim(text)) {}

    TNodePtr Parse()
    {
        // One level per open parenthesis: the terms begun outside of it.
        struct TLevel {
            TNodePtr OrLeft;  // the or-term so far, waiting for OrKind's right operand
            TWildCardNodeKind OrKind = TWildCardNodeKind::Or;
            TNodePtr AndLeft;  // the and-term so far, waiting for its right operand
            bool Negate = false;  // a NOT waiting for its primary
        };
        std::vector<TLevel> levels(1);
        TNodePtr operand;
        for (;;) {
            // A not-term. Only one NOT: a second one is a word in place of a primary.
            TLevel& level = levels.back();
            if (IsKeyword(Peek(), L"NOT")) {
                Consume();
                level.Negate = true;
            }
            const TWildCardToken& token = Peek();
            switch (token.Kind) {
            case TWildCardTokenKind::End:
                throw EWildCardError(std::wstring(kBadExpression));
            case TWildCardTokenKind::Pattern:
                operand = MakeNode(TWildCardNodeKind::Pattern);
                operand->Pattern = token.Text;
                break;
            case TWildCardTokenKind::Word:
                operand = MakeNode(TWildCardNodeKind::Attribute);
                operand->Attributes = AttributeMask(token.Text);
                if (operand->Attributes == 0)
                    throw EWildCardError(std::wstring(kOperandExpected));
                break;
            case TWildCardTokenKind::Symbol:
                if (token.Text != L"(")
                    throw EWildCardError(std::wstring(kBadExpression));
                Consume();
                levels.emplace_back();
                continue;
            }
            Consume();

            // Close every term the operand completes, parentheses included,
            // until an operator asks for the next operand.
            for (;;) {
                TLevel& current = levels.back();
                if (current.Negate) {
                    operand = MakeNode(TWildCardNodeKind::Not, std::move(operand));
                    current.Negate = false;
                }
                if (current.AndLeft)
                    operand = MakeNode(TWildCardNodeKind::And, std::move(current.AndLeft), std::move(operand));
                if (IsKeyword(Peek(), L"AND")) {
                    Consume();
                    current.AndLeft = std::move(operand);
                    break;
                }
                if (current.OrLeft)
                    operand = MakeNode(current.OrKind, std::move(current.OrLeft), std::move(operand));
                const TWildCardToken& next = Peek();
                if (IsKeyword(next, L"OR") || IsSymbol(next, L';') || IsKeyword(next, L"XOR")) {
                    current.OrKind = IsKeyword(next, L"XOR") ? TWildCardNodeKind::Xor : TWildCardNodeKind::Or;
                    Consume();
                    current.OrLeft = std::move(operand);
                    break;
                }
                if (levels.size() == 1) {
                    if (next.Kind != TWildCardTokenKind::End)
                        throw EWildCardError(std::wstring(kBadExpression));
                    return operand;
                }
                // The message users know for a missing ")" is the one for a
                // missing quote.
                if (!IsSymbol(next, L')'))
                    throw EWildCardError(std::wstring(kClosingQuoteExpected));
                Consume();
                levels.pop_back();
            }
        }
    }

private:
    static bool IsKeyword(const TWildCardToken& token, std::wstring_view keyword)
    {
        return token.Kind == TWildCardTokenKind::Word && SameWord(token.Text, keyword);
    }

    static bool IsSymbol(const TWildCardToken& token, wchar_t symbol)
    {
        return token.Kind == TWildCardTokenKind::Symbol && token.Text.size() == 1 && token.Text[0] == symbol;
    }

    // The next token is read once, at the first look at it, which is where
    // its errors are raised.
    const TWildCardToken& Peek()
    {
        if (!FHaveToken) {
            FToken = ReadWildCardToken(FRest);
            FHaveToken = true;
        }
        return FToken;
    }

    void Consume()
    {
        FRest = TrimLeft(FRest.substr(static_cast<std::size_t>(Peek().Length)));
        FHaveToken = false;
    }

    std::wstring_view FRest;
    TWildCardToken FToken;
    bool FHaveToken = false;
};

// One node under evaluation: Stage 0 not begun, 1 left operand done, 2 right
// operand done.
struct TEvaluationStep {
    const TWildCardExpressionNode* Node;
    uint8_t Stage;
    bool LeftValue;
};

// Evaluates the tree on a stack of at least its depth, without recursion.
bool Evaluate(const TWildCardExpressionNode& root, std::wstring_view name, uint32_t attributes,
              TEvaluationStep* stack)
{
    std::size_t top = 0;
    stack[0] = {&root, 0, false};
    bool value = false;
    for (;;) {
        TEvaluationStep& step = stack[top];
        const TWildCardExpressionNode& node = *step.Node;
        const TWildCardExpressionNode* operand = nullptr;
        switch (node.Kind) {
        case TWildCardNodeKind::Pattern:
            value = MatchesWildCard(node.Pattern, name);
            break;
        case TWildCardNodeKind::Attribute:
            value = (node.Attributes & attributes) != 0;
            break;
        case TWildCardNodeKind::Not:
            if (step.Stage == 0) {
                step.Stage = 1;
                operand = node.Left.get();
            } else {
                value = !value;
            }
            break;
        case TWildCardNodeKind::And:
        case TWildCardNodeKind::Or:
        case TWildCardNodeKind::Xor:
            if (step.Stage == 0) {
                step.Stage = 1;
                operand = node.Left.get();
            } else if (step.Stage == 1) {
                // AND and OR settle on the left operand when they can.
                if (node.Kind == TWildCardNodeKind::And && !value)
                    break;
                if (node.Kind == TWildCardNodeKind::Or && value)
                    break;
                step.Stage = 2;
                step.LeftValue = value;
                operand = node.Right.get();
            } else if (node.Kind == TWildCardNodeKind::Xor) {
                value = step.LeftValue != value;
            }
            break;
        }
        if (operand) {
            stack[++top] = {operand, 0, false};
        } else {
            if (top == 0)
                return value;
            --top;
        }
    }
}

// Enough for any filter typed by hand; deeper ones evaluate on the heap.
constexpr std::size_t kInlineDepth = 32;

} // namespace

TWildCardToken ReadWildCardToken(std::wstring_view text)
{
    TWildCardToken token;
    if (text.empty())
        return token;

    const wchar_t first = text[0];
    if (first == L'"') {
        // Up to the first quote that is not doubled; no such quote before the
        // end of the text means the closing quote is missing.
        std::size_t position = 1;
        for (;;) {
            std::size_t quote = text.find(L'"', position);
            if (quote == std::wstring_view::npos)
                throw EWildCardError(std::wstring(kClosingQuoteExpected));
            token.Text.append(text.substr(position, quote - position));
            if (quote + 1 < text.size() && text[quote + 1] == L'"') {
                token.Text += L'"';
                position = quote + 2;
            } else {
                position = quote + 1;
                break;
            }
        }
        token.Kind = TWildCardTokenKind::Pattern;
        token.Length = static_cast<int32_t>(position);
    } else if (IsWordCharacter(first)) {
        std::size_t end = 1;
        while (end < text.size() && IsWordCharacter(text[end]))
            ++end;
        token.Text.assign(text.substr(0, end));
        token.Kind = TWildCardTokenKind::Word;
        token.Length = static_cast<int32_t>(end);
    } else if (first == L'(' || first == L')' || first == L';') {
        token.Text.assign(1, first);
        token.Kind = TWildCardTokenKind::Symbol;
        token.Length = 1;
    } else {
        RaiseIllegalCharacter(text);
    }
    return token;
}

TWildCardExpressionNode::~TWildCardExpressionNode()
{
    DismantleTree(std::move(Left));
    DismantleTree(std::move(Right));
}

// The pattern match, read recursively, is: "*" tries the rest of the pattern
// at every position from here to the end of the name, shortest first; "?"
// takes one character; "." takes a dot, or at the end of a name without any
// dot takes nothing; any other character takes its equal under ASCII folding;
// the end of the pattern needs the end of the name.
//
// Here it runs without recursion, backtracking only to the last "*". That is
// exact because every pattern character but "*" takes exactly one character
// while the name lasts: for a name without dots a "." never matches inside it,
// so it only sends the match back to the last "*", as any mismatch does. The
// one difference from a plain wildcard match is what remains once the name is
// used up: there a "." counts as nothing when the name has no dot, like "*".
bool MatchesWildCard(std::wstring_view pattern, std::wstring_view name)
{
    constexpr std::size_t kNoStar = std::wstring_view::npos;
    std::size_t p = 0;
    std::size_t n = 0;
    std::size_t star = kNoStar;  // the last "*" seen
    std::size_t starTaken = 0;   // where the part of the name after it begins
    while (n < name.size()) {
        if (p < pattern.size()) {
            const wchar_t c = pattern[p];
            if (c == L'*') {
                star = p++;
                starTaken = n;
                continue;
            }
            if (c == L'?' || FoldCase(c) == FoldCase(name[n])) {
                ++p;
                ++n;
                continue;
            }
        }
        if (star == kNoStar)
            return false;
        // Let the last "*" take one character more and try again after it.
        p = star + 1;
        n = ++starTaken;
    }
    int noDot = -1;  // whether the name has no dot, looked up when needed
    for (; p < pattern.size(); ++p) {
        if (pattern[p] == L'*')
            continue;
        if (pattern[p] == L'.') {
            if (noDot < 0)
                noDot = HasNoDot(name) ? 1 : 0;
            if (noDot)
                continue;
        }
        return false;
    }
    return true;
}

TWildCardExpression::TWildCardExpression(std::wstring_view text)
    : FSource(text), FRoot(TParser(text).Parse()), FDepth(TreeDepth(*FRoot))
{
}

bool TWildCardExpression::Matches(std::wstring_view name, uint32_t attributes) const
{
    if (FDepth <= kInlineDepth) {
        TEvaluationStep stack[kInlineDepth];
        return Evaluate(*FRoot, name, attributes, stack);
    }
    std::vector<TEvaluationStep> stack(FDepth);
    return Evaluate(*FRoot, name, attributes, stack.data());
}
